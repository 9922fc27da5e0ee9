#include "retrypolicy.h"

#include <QLocale>
#include <QRandomGenerator>

namespace {

qint64 scaled(qint64 ms)
{
    return ms * RetryPolicy::second() / 1000;
}

} // namespace

RetryPolicy::Cause RetryPolicy::transientCause(QNetworkReply::NetworkError code, int httpStatus)
{
    switch (httpStatus) {
    case 408:
        return Cause::ConnectionLost;
    case 429:
    case 503:
        return Cause::ServerBusy;
    case 500:
    case 502:
    case 504:
        return Cause::ServerError;
    default:
        break;
    }
    // Any other status is the server's answer, and it stays.
    if (httpStatus >= 400)
        return Cause::None;
    switch (code) {
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TimeoutError:
    // The inactivity bound aborts the reply.
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionClosedError:
        return Cause::ConnectionLost;
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
        return Cause::Unreachable;
    default:
        return Cause::None;
    }
}

QString RetryPolicy::causeText(Cause cause)
{
    switch (cause) {
    case Cause::ConnectionLost:
        return QStringLiteral("Connection lost");
    case Cause::Unreachable:
        return QStringLiteral("The server cannot be reached");
    case Cause::ServerBusy:
        return QStringLiteral("The server is busy");
    case Cause::ServerError:
        return QStringLiteral("The server had an error");
    case Cause::None:
        break;
    }
    return QString();
}

qint64 RetryPolicy::retryAfter(const QByteArray &value, const QDateTime &now)
{
    const QByteArray text = value.trimmed();
    if (text.isEmpty())
        return -1;
    bool ok = false;
    const qint64 seconds = text.toLongLong(&ok);
    if (ok)
        return seconds < 0 ? -1 : qMin(seconds, qint64(24 * 3600)) * 1000;
    // "Sun, 06 Nov 1994 08:49:37 GMT"
    const QDateTime when = QLocale::c().toDateTime(QString::fromLatin1(text.left(25)),
                                                   QStringLiteral("ddd, dd MMM yyyy HH:mm:ss"));
    if (!when.isValid())
        return -1;
    QDateTime utc = when;
    utc.setTimeSpec(Qt::UTC);
    return qMax(qint64(0), now.msecsTo(utc));
}

int RetryPolicy::second()
{
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("KORVEL_RETRY_MS", &ok);
    return ok && ms >= 0 ? ms : 1000;
}

void RetryPolicy::start()
{
    inRow = 0;
    largest = 0;
    sinceProgress.start();
}

void RetryPolicy::progressed(qint64 stagedSize)
{
    // A server that ignores Range sends the same first bytes again: no progress.
    if (stagedSize < largest + ProgressStep)
        return;
    largest = stagedSize;
    inRow = 0;
    sinceProgress.start();
}

int RetryPolicy::failed(qint64 retryAfterMs)
{
    ++inRow;
    if (inRow >= MaximumFailures || sinceProgress.elapsed() >= scaled(NoProgressLimit))
        return -1;
    const qint64 grown = qMin(qint64(LongestWait), qint64(FirstWait) << (inRow - 1));
    // Half fixed, half random: updaters that lost one link come back apart.
    qint64 wait = grown / 2 + QRandomGenerator::global()->bounded(int(grown / 2) + 1);
    if (retryAfterMs >= 0)
        wait = qMax(wait, qMin(retryAfterMs, qint64(LongestRetryAfter)));
    return int(scaled(wait));
}
