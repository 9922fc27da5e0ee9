#include "transferrules.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <memory>

namespace TransferRules {

void prepare(QNetworkRequest &request)
{
    request.setPriority(QNetworkRequest::HighPriority);
    // Qt follows no redirects by default and would hand us the 302 page as the
    // component. This policy follows http and https only, never from https to
    // http. (Qt's user-verified policy loses its way after a few hops.)
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(MaximumRedirects);
}

QString refusal(const QUrl &url)
{
    // file:// would read the local disk, and on Windows a file://host/ address
    // connects to that host's share with the user's credentials.
    const QString scheme = url.scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return QStringLiteral("only http and https addresses are fetched");
    return QString();
}

int inactivityLimit()
{
    static const int limit = [] {
        bool ok = false;
        const int ms = qEnvironmentVariableIntValue("KORVEL_INACTIVITY_MS", &ok);
        return ok && ms > 0 ? ms : InactivityLimit;
    }();
    return limit;
}

void keepBounded(QNetworkReply *reply, qint64 size)
{
    reply->setReadBufferSize(size);
    // Qt sends the request of a followed redirect from the event loop, unbounded;
    // the bound set on its headers comes too late on a busy GUI thread (measured:
    // 180 MB of 256 MB buffered). Set it again right after that request starts,
    // and once its headers are in.
    QObject::connect(reply, &QNetworkReply::redirected, reply, [reply, size] {
        QMetaObject::invokeMethod(reply, [reply, size] { reply->setReadBufferSize(size); },
                                  Qt::QueuedConnection);
    });
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply,
                     [reply, size] { reply->setReadBufferSize(size); });
}

} // namespace TransferRules

namespace {

// The answer to a request that is never sent: a network error, reported from
// the event loop as every reply's end is.
class RefusedReply : public QNetworkReply
{
public:
    RefusedReply(QNetworkAccessManager::Operation operation, const QNetworkRequest &request,
                 const QString &cause, QObject *parent)
        : QNetworkReply(parent)
    {
        setRequest(request);
        setUrl(request.url());
        setOperation(operation);
        QIODevice::open(QIODevice::ReadOnly);
        setError(ProtocolUnknownError, cause);
        setFinished(true);
        QMetaObject::invokeMethod(this, [this] {
            emit errorOccurred(ProtocolUnknownError);
            emit finished();
        }, Qt::QueuedConnection);
    }

    void abort() override {}

protected:
    qint64 readData(char *, qint64) override { return -1; }
};

// When the reply last received something; cheap to mark on every read.
struct Activity
{
    QElapsedTimer last;
    bool stopped = false;
};

} // namespace

RuledNetworkAccessManager::RuledNetworkAccessManager(qint64 maximumSize, QObject *parent)
    : QNetworkAccessManager(parent)
    , maximumSize(maximumSize)
{
}

QNetworkReply *RuledNetworkAccessManager::createRequest(Operation op, const QNetworkRequest &request,
                                                        QIODevice *outgoingData)
{
    // A refused redirect has had its line already.
    if (refusedTargets.contains(request.url()))
        return new RefusedReply(op, request, QStringLiteral("a redirect that was refused"), this);
    const QString cause = TransferRules::refusal(request.url());
    if (!cause.isEmpty()) {
        qDebug() << "Stopped:" << request.url().toString() << cause;
        return new RefusedReply(op, request, cause, this);
    }
    QNetworkRequest ruled(request);
    TransferRules::prepare(ruled);
    QNetworkReply *reply = QNetworkAccessManager::createRequest(op, ruled, outgoingData);
    watch(reply);
    return reply;
}

void RuledNetworkAccessManager::watch(QNetworkReply *reply)
{
    auto activity = std::make_shared<Activity>();
    activity->last.start();
    const int limit = TransferRules::inactivityLimit();
    auto *timer = new QTimer(reply);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, reply, timer, activity, limit] {
        const qint64 left = limit - activity->last.elapsed();
        if (left > 0) {
            timer->start(int(left));
            return;
        }
        activity->stopped = true;
        stop(reply, QStringLiteral("nothing received for %1 s").arg(limit / 1000.0));
    });
    timer->start(limit);
    const auto received = [activity] { activity->last.restart(); };
    connect(reply, &QNetworkReply::metaDataChanged, timer, received);
    connect(reply, &QNetworkReply::readyRead, timer, received);
    connect(reply, &QNetworkReply::redirected, timer, received);
    connect(reply, &QNetworkReply::finished, timer, &QTimer::stop);
    if (maximumSize > 0) {
        // Before the reply finishes: Qt reports progress at most every 100 ms,
        // and a fast answer ends before its first report. Its reader (the QML
        // engine's model) reads nothing before the end, so what the reply
        // holds is what came.
        const auto bound = [this, reply, activity] {
            const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
            if (activity->stopped || (announced <= maximumSize && reply->bytesAvailable() <= maximumSize))
                return;
            activity->stopped = true;
            stop(reply, QStringLiteral("longer than %1 bytes").arg(maximumSize));
        };
        connect(reply, &QNetworkReply::metaDataChanged, this, bound);
        connect(reply, &QNetworkReply::readyRead, this, bound);
    }
    // A redirect that Qt did not follow (another scheme, https to http, too
    // many): its line, and a client that follows it itself (the QML engine's
    // model does) is refused it.
    connect(reply, &QNetworkReply::finished, this, [this, reply, activity] {
        if (activity->stopped || reply->error() == QNetworkReply::NoError)
            return;
        // Qt refuses another scheme before it sets the redirect's target.
        QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        if (target.isEmpty())
            target = QUrl::fromEncoded(reply->rawHeader("Location"));
        if (target.isEmpty())
            return;
        target = reply->url().resolved(target);
        refusedTargets.insert(target);
        QString cause = TransferRules::refusal(target);
        if (cause.isEmpty())
            cause = reply->error() == QNetworkReply::InsecureRedirectError
                    ? QStringLiteral("never from https to plain http")
                    : reply->errorString();
        qDebug() << "Stopped:" << reply->request().url().toString()
                 << QStringLiteral("a redirect to %1: %2").arg(target.toString(), cause);
    });
}

void RuledNetworkAccessManager::stop(QNetworkReply *reply, const QString &cause)
{
    // The address that was asked for, whatever redirects followed.
    qDebug() << "Stopped:" << reply->request().url().toString() << cause;
    reply->abort();
}
