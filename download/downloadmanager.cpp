#include "downloadmanager.h"

#include "componentwriter.h"
#include "httpanswer.h"
#include "keptfiles.h"
#include "signedrelease.h"
#include "transferrules.h"
#include "updatesession.h"
#include "utils.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QTimer>

namespace {

const char *codeName(QNetworkReply::NetworkError code)
{
    return QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(code);
}

} // namespace

DownloadManager::DownloadManager(QObject *parent)
    : QObject(parent)
    , networkManager(new RuledNetworkAccessManager(0, this))
{
    qRegisterMetaType<QNetworkReply::NetworkError>();
    connect(&tries, &TransferTries::status, this, &DownloadManager::retryStatus);
    connect(&tries, &TransferTries::due, this, &DownloadManager::sendTry);
    connect(&planner, &ItemPlanner::planned, this, &DownloadManager::planned);
}

DownloadManager::~DownloadManager()
{
    // An unfinished staging file stays for the roll back, which may keep it.
    if (way == Way::Whole && UpdateSession::currentKept())
        dropStaged(true);
}

void DownloadManager::cancel()
{
    if (lastBytesReceived == 0)
        qDebug() << "Safe Cancelled";
    // The target was never touched; the staging file is of no further use.
    stopItem();
    checking = false;
    qDebug() << "Download cancelled";
    emit downloadCancelled();
}

void DownloadManager::download(QUrl url, QString fileName)
{
    resumeOffset = 0;
    currentRequest = QNetworkRequest(url);
    if (fileName.isEmpty()) {
        qDebug() << "download: URL=" << url.toString();
        return;
    }

    // A reply that still runs here would go on writing into the new file.
    stopItem();
    currentFileName = fileName;
    delta = ItemDelta();
    way = Way::Whole;
    signedItem = -1;
    keptFile.clear();
    keptWhole = false;
    validator.clear();
    fetchedAgain = false;
    // Refused before anything runs: no request, nothing staged, and none of
    // the lines of a transfer. Outcomes come from the event loop, as always.
    const QString name = fileName.mid(fileName.lastIndexOf(QLatin1Char('/')) + 1);
    // An empty name is one the document refused, and said so.
    if (name.isEmpty() || !Utils::isFileName(name)) {
        QMetaObject::invokeMethod(this, &DownloadManager::skip, Qt::QueuedConnection);
        return;
    }
    const QString refusal = TransferRules::refusal(url);
    if (!refusal.isEmpty()) {
        qDebug() << "Stopped:" << url.toString() << refusal;
        QTimer::singleShot(0, this, [this] {
            stall(Stall::Cause::Refused);
            emit downloadError(QNetworkReply::ProtocolUnknownError);
        });
        return;
    }
    if (UpdateSession::currentRelease()) {
        // Answered from the event loop, as every outcome is.
        checking = true;
        QMetaObject::invokeMethod(this, &DownloadManager::checkSigned, Qt::QueuedConnection);
        return;
    }
    stage();
}

// Nothing is staged or fetched before the signed release names the transfer.
void DownloadManager::checkSigned()
{
    if (!checking)
        return;
    SignedRelease *release = UpdateSession::currentRelease();
    QObject::disconnect(releaseWait);
    if (release && release->state() == SignedRelease::State::Fetching) {
        releaseWait = connect(release, &SignedRelease::settled, this, &DownloadManager::checkSigned);
        return;
    }
    checking = false;
    QString reason = QStringLiteral("no signed release");
    signedItem = release ? release->find(currentRequest.url(), currentFileName, &signedSha256, &reason)
                         : -1;
    if (signedItem < 0 && UpdateSession::keyed()) {
        // A release refused as a whole has said so once.
        if (!reason.isEmpty())
            qDebug() << "Refused:" << currentFileName << reason;
        stall(reason.isEmpty() ? Stall::Cause::Manifest : Stall::Cause::Refused);
        emit internalDownloadError();
        return;
    }
    delta = release ? release->delta(signedItem) : ItemDelta();
    planner.start(delta, currentFileName, currentRequest.url(), UpdateSession::currentKept(),
                  UpdateSession::keyed() ? signedSha256 : QByteArray());
}

void DownloadManager::planned(const ItemPlan &plan, const KeptUse &use)
{
    if (plan.way == Way::Unchanged) {
        unchanged();
        return;
    }
    way = plan.way;
    cheaper = plan.source;
    keptFile = use.path;
    keptWhole = use.kind == KeptUse::Kind::Whole;
    validator = use.validator;
    stage();
}

// Nothing is fetched and the target is not touched; the window shows the
// item done, as after a transfer.
void DownloadManager::unchanged()
{
    qDebug() << "Unchanged:" << currentFileName;
    UpdateSession::settle(signedItem);
    showDone();
    emit downloadComplete();
}

void DownloadManager::showDone()
{
    emit progressPercentage(100);
    emit downloadStatus(1);
    emit downloadedBytes(0);
}

// An item that is not fetched: the sequence goes on, as after a failed download.
void DownloadManager::skip()
{
    emit recordFailed();
    emit downloadComplete();
}

// The transfer runs: only now its lines.
void DownloadManager::stage()
{
    if (keptWhole)
        qDebug() << "From kept:" << keptFile;
    else
        qDebug() << "download: URL=" << (way == Way::Whole ? currentRequest.url() : cheaper.url).toString();
    qDebug() << currentFileName;
    tries.start();
    UpdateSession *session = UpdateSession::instance();
    const bool hashing = UpdateSession::keyed() || way != Way::Whole || !delta.sha256.isEmpty();
    writer = new ComponentWriter(currentFileName, session ? session->journal() : nullptr,
                                 hashing, this);
    connect(writer, &ComponentWriter::ready, this, &DownloadManager::stagingReady);
    connect(writer, &ComponentWriter::committed, this, &DownloadManager::placed);
    if (!keptFile.isEmpty())
        writer->adopt(keptFile);
    QString error;
    if (way != Way::Whole && !writer->setEncoding(way == Way::Patch ? ComponentWriter::Encoding::Patch
                                                                    : ComponentWriter::Encoding::Compressed,
                                                  delta.size, &error)) {
        qDebug() << "Whole file:" << currentFileName << error;
        way = Way::Whole;
        writer->restartPlain();
    }
    writer->open();
}

QNetworkRequest &DownloadManager::transferRequest()
{
    return way == Way::Whole ? currentRequest : cheaperRequest;
}

void DownloadManager::stagingReady(bool ok)
{
    // Whichever way was chosen, the whole file would find the same folder: the
    // update stops here. A folder at the target is not replaced either.
    const bool folder = ok && !writer->isWriting() && QFileInfo(currentFileName).isDir();
    if (folder)
        qDebug() << "Cannot replace" << currentFileName << QStringLiteral("a folder stands at the target");
    if (!ok || folder) {
        way = Way::Whole;
        giveUp(Stall::Cause::Disk);
        return;
    }
    // Nothing can be written when the folder is missing: that fails as the whole file.
    if (way != Way::Whole && !writer->isWriting()) {
        way = Way::Whole;
        writer->restartPlain();
    }
    if (keptWhole && writer->isWriting()) {
        showDone();
        writer->close();
        writer->commit();
        return;
    }
    if (way != Way::Whole)
        cheaperRequest = QNetworkRequest(cheaper.url);
    sendTry();
}

// Each try asks for what is still missing, when the server can be trusted
// to send the rest of the same file; else for all of it.
void DownloadManager::sendTry()
{
    QNetworkRequest &request = transferRequest();
    resumeOffset = writer && !validator.isEmpty() ? writer->size() : 0;
    if (resumeOffset == 0 && writer && writer->size() > 0)
        writer->restart();
    request.setRawHeader(QByteArrayLiteral("Range"), resumeOffset > 0
                         ? "bytes=" + QByteArray::number(resumeOffset) + '-' : QByteArray());
    request.setRawHeader(QByteArrayLiteral("If-Range"), resumeOffset > 0 ? validator : QByteArray());
    download(request);
}

void DownloadManager::stopItem()
{
    cutLoose();
    dropStaged();
    tries.stop();
    planner.stop();
}

// A transfer cut short: the rest, or the stall.
void DownloadManager::retryOrStall()
{
    if (!retryLater(RetryPolicy::Cause::ConnectionLost, -1))
        giveUp(Stall::Cause::Network);
}

// False when the retries are spent: the caller stalls as without them.
bool DownloadManager::retryLater(RetryPolicy::Cause cause, qint64 retryAfterMs)
{
    if (!tries.failed(cause, retryAfterMs, transferRequest().url()))
        return false;
    // What came stays: the next try goes on from it.
    drainReply();
    cutLoose();
    return true;
}

void DownloadManager::stall(Stall::Cause cause)
{
    tries.stop();
    emit stalled(Stall::report(cause));
}

void DownloadManager::pause()
{
    qDebug() << "pause()";
    if (!currentReply)
        return;
    disconnect(currentReply, nullptr, this, nullptr);
    // Keep what has arrived; resume() takes its offset from the file's size.
    drainReply();
    currentReply->abort();
    drainReply();
    currentReply->deleteLater();
    currentReply = nullptr;
    emit downloadPaused();
}

void DownloadManager::resume()
{
    qDebug() << "resume()";
    // Only a paused transfer has an open partial file and no reply.
    if (currentReply || !writer || !writer->isWriting())
        return;
    resumeOffset = writer->size();
    transferRequest().setRawHeader(QByteArrayLiteral("Range"),
                                   "bytes=" + QByteArray::number(resumeOffset) + '-');
    download(transferRequest());
    emit downloadResumed();
}

void DownloadManager::finished()
{
    qDebug() << "finished";
    if (way != Way::Whole) {
        finishCheaper();
        return;
    }
    // Qt may still hold the last bytes without another report to come.
    if (!drainReply()) {
        giveUp(Stall::Cause::Disk);
        return;
    }
    const qint64 expected = HttpAnswer::announcedSize(currentReply, resumeOffset);

    // Nothing was staged when the target's folder is missing: that measures
    // 0, a failed download.
    const bool written = writer && writer->isWriting();
    const qint64 length = written ? writer->size() : 0;
    // A connection that ended early, or a range that was not the rest.
    if (written && expected != -1 && length != expected) {
        qDebug() << "Incomplete:" << currentFileName << length << "of" << expected << "bytes";
        if (expected == -2)
            validator.clear();
        retryOrStall();
        return;
    }
    if (currentReply) {
        currentReply->deleteLater();
        currentReply = nullptr;
    }
    const int size = written ? Utils::getFileSize(ComponentWriter::stagingPath(currentFileName)) : 0;
    // In a keyed build the signed hash decides, whatever the size.
    if (!written || (size <= FailedSizeLimit && !UpdateSession::keyed())) {
        failedDownload(size);
        return;
    }
    const QByteArray sha256 = UpdateSession::keyed() ? signedSha256 : delta.sha256;
    if (!sha256.isEmpty() && writer->sha256Hex() != sha256) {
        // A proxy that corrupts: once more, from the start.
        if (!fetchedAgain) {
            fetchedAgain = true;
            qDebug() << "Fetched again:" << currentRequest.url().toString()
                     << "its SHA-256 is not the listed one";
            validator.clear();
            sendTry();
            return;
        }
        // Nothing of it reaches the target.
        if (UpdateSession::keyed()) {
            qDebug() << "Refused:" << currentFileName << "its SHA-256 is not the signed one";
            dropStaged();
            stall(Stall::Cause::Refused);
            emit internalDownloadError();
            return;
        }
    }
    // downloadComplete or internalDownloadError follows from placed().
    writer->close();
    writer->commit();
}

// A compressed copy or a patch is whole only as the file the item lists.
void DownloadManager::finishCheaper()
{
    if (!drainReply()) {
        fallBack(writer->errorString());
        return;
    }
    const qint64 expected = HttpAnswer::announcedSize(currentReply, resumeOffset);
    const int status = HttpAnswer::status(currentReply);
    const qint64 received = writer->size();
    // Cut short: the decoder keeps its state, and the next try goes on.
    if (status < 400 && received < cheaper.size && (expected == -1 || received != expected)
        && retryLater(RetryPolicy::Cause::ConnectionLost, -1)) {
        return;
    }
    currentReply->deleteLater();
    currentReply = nullptr;
    if (status >= 400 || !writer->decodedProblem(expected, cheaper, delta.sha256).isEmpty()) {
        fallBack(status >= 400 ? QStringLiteral("HTTP status %1").arg(status) : writer->errorString());
        return;
    }
    // The same rule as for the whole file: the result decides, not the way.
    const int size = Utils::getFileSize(ComponentWriter::stagingPath(currentFileName));
    if (size <= FailedSizeLimit && !UpdateSession::keyed()) {
        failedDownload(size);
        return;
    }
    writer->commit();
}

// The old file stays as it was, and the update goes on; the updater may end
// right after this. Only a missing folder settles a signed item unfetched.
void DownloadManager::failedDownload(int size)
{
    qDebug() << "Failed download:" << currentFileName << ItemPlan::failure(currentFileName, size, FailedSizeLimit);
    dropStaged();
    UpdateSession::settle(signedItem);
    emit recordFailed();
    emit downloadComplete();
}

// Once per item: the whole file, from the start, in the same run.
void DownloadManager::fallBack(const QString &reason)
{
    qDebug() << "Whole file:" << currentFileName
             << (way == Way::Patch ? "the patch" : "the compressed copy")
             << cheaper.url.toString() << "failed:" << reason;
    cutLoose();
    way = Way::Whole;
    validator.clear();
    tries.start();
    writer->restartPlain();
    qDebug() << "download: URL=" << currentRequest.url().toString();
    sendTry();
}

void DownloadManager::placed(bool ok)
{
    // A verified file is kept if this release does not commit.
    const QByteArray sha256 = writer && !delta.sha256.isEmpty()
            && (keptWhole || writer->sha256Hex() == delta.sha256) ? delta.sha256 : QByteArray();
    dropStaged();
    if (!ok) {
        stall(Stall::Cause::FileHeld);
        emit internalDownloadError();
        return;
    }
    if (KeptFiles *kept = UpdateSession::currentKept())
        kept->noteInstalled(currentFileName, sha256);
    UpdateSession::settle(signedItem);
    emit downloadComplete();
}

void DownloadManager::failedCleanup()
{
    // A failed result is removed at once; this clears a staging file that
    // no transfer holds any more.
    if (writer && writer->target() == currentFileName)
        return;
    Utils cleaner;
    cleaner.deleteFile(ComponentWriter::stagingPath(currentFileName));
}

void DownloadManager::download(QNetworkRequest &request)
{
    TransferRules::prepare(request);

    // An earlier reply has finished or been cut loose by now.
    if (currentReply)
        currentReply->deleteLater();
    currentReply = networkManager->get(request);
    discardBody = false;

    connect(currentReply, &QNetworkReply::finished, this, &DownloadManager::finished);
    connect(currentReply, &QNetworkReply::downloadProgress,
            this, &DownloadManager::downloadProgress);
    connect(currentReply, &QNetworkReply::errorOccurred, this, &DownloadManager::error);
    connect(currentReply, &QNetworkReply::metaDataChanged, this, &DownloadManager::checkResponse);
    TransferRules::keepBounded(currentReply, ReadBufferSize);
    // Progress reports come at most every 100 ms; without this the reply
    // would stall on its bounded buffer between them.
    connect(currentReply, &QNetworkReply::readyRead, this, [this] {
        if (!drainReply())
            giveUp(Stall::Cause::Disk);
    });
    emit downloadStarted();
}

void DownloadManager::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    lastBytesReceived = bytesReceived;
    if (!drainReply()) {
        giveUp(Stall::Cause::Disk);
        return;
    }

    int percentage = 0;
    float status = 0;
    if (bytesReceived != 0) {
        // An unknown (-1) or zero total gives no meaningful share: report 0.
        const qint64 whole = resumeOffset + bytesTotal;
        if (bytesTotal > 0 && whole > 0) {
            percentage = int((resumeOffset + bytesReceived) * 100 / whole);
            status = float(bytesReceived) / float(bytesTotal);
        }
        if (writer && !discardBody)
            tries.progressed(writer->size());
    } else {
        qDebug() << "Nothing received:" << currentRequest.url().toString();
        giveUp(Stall::Cause::Server);
    }
    emit progressPercentage(percentage);
    emit downloadStatus(status);
    emit downloadedBytes(bytesReceived);
}

void DownloadManager::error(QNetworkReply::NetworkError code)
{
    const int status = HttpAnswer::status(currentReply);
    const RetryPolicy::Cause cause = RetryPolicy::transientCause(code, status);
    if (cause != RetryPolicy::Cause::None && currentReply
        && retryLater(cause, RetryPolicy::retryAfter(HttpAnswer::lastValue(currentReply, "Retry-After"),
                                                    QDateTime::currentDateTimeUtc()))) {
        return;
    }
    if (way != Way::Whole) {
        fallBack(QString::fromLatin1(codeName(code)));
        return;
    }
    // The target stays as it was; what came of the file is kept for the
    // next start, if the update does not commit.
    dropStaged(true);
    cutLoose();
    // The address last: lines that match on the code alone still do.
    qDebug() << "Error:" << codeName(code) << currentRequest.url().toString();
    stall(Stall::ofFailure(status, cause));
    emit downloadError(code);
}

void DownloadManager::checkResponse()
{
    if (!currentReply)
        return;
    const int status = HttpAnswer::status(currentReply);
    // A cheaper way's error page fails that way (finishCheaper()).
    discardBody = status >= 400;
    if (discardBody || !writer || status == 0)
        return;
    if (status == 206 && HttpAnswer::rangeStart(currentReply) != resumeOffset) {
        // Another part than the rest: nothing of it is the file's.
        qDebug() << "Incomplete:" << currentFileName << "a range that does not start at"
                 << resumeOffset;
        discardBody = true;
        validator.clear();
        retryOrStall();
        return;
    }
    if (resumeOffset > 0 && status != 206) {
        // The whole file: the server ignored the range, or the file changed
        // since (If-Range). Never a splice of two files.
        writer->restart();
        resumeOffset = 0;
    }
    if (resumeOffset == 0) {
        validator = HttpAnswer::validator(currentReply);
        if (way == Way::Whole && UpdateSession::currentKept() && !validator.isEmpty())
            UpdateSession::currentKept()->notePartial(currentFileName, currentRequest.url(), validator);
    }
}

// Moves what the reply holds into the file. False only when a write to the
// open file failed, which must never pass for a good download.
bool DownloadManager::drainReply()
{
    // An aborted reply is closed and has nothing left to give.
    if (!currentReply || !currentReply->isOpen())
        return true;
    const QByteArray data = currentReply->readAll();
    if (discardBody || !writer)
        return true;
    return writer->write(data);
}

void DownloadManager::cutLoose()
{
    if (!currentReply)
        return;
    // Only our own connections: cutting Qt's internal ones as well would keep
    // the HTTP connection of the aborted reply busy for good.
    disconnect(currentReply, nullptr, this, nullptr);
    // A reply that reported an error is ending by itself; aborting it again
    // makes Qt report a second error.
    if (currentReply->error() == QNetworkReply::NoError)
        currentReply->abort();
}

// The transfer cannot be completed (nothing received, or the file cannot take
// the data): no downloadComplete may follow.
void DownloadManager::giveUp(Stall::Cause cause)
{
    if (way != Way::Whole && writer) {
        fallBack(writer->errorString().isEmpty() ? QStringLiteral("nothing received")
                                                 : writer->errorString());
        return;
    }
    // Bytes that the network cut short are worth keeping; a file that
    // cannot be written is not.
    dropStaged(cause == Stall::Cause::Network);
    cutLoose();
    stall(cause);
    emit internalDownloadError();
}

void DownloadManager::dropStaged(bool leave)
{
    if (!writer)
        return;
    // May run inside the writer's own signal: no delete there.
    writer->disconnect(this);
    leave ? writer->leave() : writer->discard();
    writer->deleteLater();
    writer = nullptr;
}
