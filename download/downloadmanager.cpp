#include "downloadmanager.h"

#include "componentwriter.h"
#include "filehash.h"
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
}

DownloadManager::~DownloadManager()
{
    // The replies go with networkManager; an unfinished staging file goes
    // with its writer, unless the roll back keeps it for the next start.
    if (way == Way::Whole && kept())
        dropStaged(true);
}

void DownloadManager::cancel()
{
    if (lastBytesReceived == 0)
        qDebug() << "Safe Cancelled";
    cutLoose();
    tries.stop();
    checking = false;
    delete installedHash;
    installedHash = nullptr;
    // The target was never touched; the staging file is of no further use.
    dropStaged();
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
    cutLoose();
    dropStaged();
    tries.stop();
    delete installedHash;
    installedHash = nullptr;
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
    if (signedRelease()) {
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
    SignedRelease *release = signedRelease();
    QObject::disconnect(releaseWait);
    if (release && release->state() == SignedRelease::State::Fetching) {
        releaseWait = connect(release, &SignedRelease::settled, this, &DownloadManager::checkSigned);
        return;
    }
    checking = false;
    QString reason = QStringLiteral("no signed release");
    signedItem = release ? release->find(currentRequest.url(), currentFileName, &signedSha256, &reason)
                         : -1;
    if (signedItem < 0 && keyed()) {
        // A release refused as a whole has said so once.
        if (!reason.isEmpty())
            qDebug() << "Refused:" << currentFileName << reason;
        stall(reason.isEmpty() ? Stall::Cause::Manifest : Stall::Cause::Refused);
        emit internalDownloadError();
        return;
    }
    delta = release ? release->delta(signedItem) : ItemDelta();
    if (!ItemPlan::worthHashing(delta, currentFileName)) {
        installedHashed(QByteArray());
        return;
    }
    // What is installed decides: the same file, or the base of a patch.
    installedHash = new FileHash(currentFileName, this);
    connect(installedHash, &FileHash::done, this, &DownloadManager::installedHashed);
    installedHash->start();
}

void DownloadManager::installedHashed(const QByteArray &sha256Hex)
{
    if (installedHash) {
        installedHash->deleteLater();
        installedHash = nullptr;
    }
    const ItemPlan plan = ItemPlan::choose(delta, currentFileName, sha256Hex);
    if (plan.way == Way::Unchanged) {
        unchanged();
        return;
    }
    way = plan.way;
    cheaper = plan.source;
    // What an earlier run kept of this item: a verified file, once hashed
    // again, or the partial of the same address; nothing else.
    KeptFiles *keptFiles = kept();
    const KeptFiles::Record record = keptFiles ? keptFiles->find(currentFileName, &keptFile)
                                               : KeptFiles::Record();
    keptWhole = record.whole && !delta.sha256.isEmpty() && record.sha256 == delta.sha256;
    const bool partial = !record.whole && way == Way::Whole && delta.size != 0
            && record.url == currentRequest.url() && !record.validator.isEmpty()
            && (delta.size < 0 || QFileInfo(keptFile).size() <= delta.size);
    if (keptFile.isEmpty() || !(keptWhole || partial)) {
        keptFile.clear();
        keptWhole = false;
        if (keptFiles)
            keptFiles->drop(currentFileName);
        stage();
        return;
    }
    if (partial) {
        validator = record.validator;
        stage();
        return;
    }
    installedHash = new FileHash(keptFile, this);
    connect(installedHash, &FileHash::done, this, &DownloadManager::keptHashed);
    installedHash->start();
}

// A kept file altered since it was verified is never used.
void DownloadManager::keptHashed(const QByteArray &sha256Hex)
{
    installedHash->deleteLater();
    installedHash = nullptr;
    if (sha256Hex != delta.sha256 || (keyed() && sha256Hex != signedSha256)) {
        qDebug() << "Not used:" << keptFile << "its SHA-256 is not the listed one";
        kept()->drop(currentFileName);
        keptFile.clear();
        keptWhole = false;
    } else {
        way = Way::Whole;
    }
    stage();
}

// Nothing is fetched and the target is not touched; the window shows the
// item done, as after a transfer.
void DownloadManager::unchanged()
{
    qDebug() << "Unchanged:" << currentFileName;
    settleSigned();
    emit progressPercentage(100);
    emit downloadStatus(1);
    emit downloadedBytes(0);
    emit downloadComplete();
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
    const bool hashing = keyed() || way != Way::Whole || !delta.sha256.isEmpty();
    writer = new ComponentWriter(currentFileName, session ? session->journal() : nullptr,
                                 hashing, this);
    connect(writer, &ComponentWriter::ready, this, &DownloadManager::stagingReady);
    connect(writer, &ComponentWriter::committed, this, &DownloadManager::placed);
    if (!keptFile.isEmpty())
        writer->adopt(keptFile);
    if (way != Way::Whole) {
        QString error;
        const auto encoding = way == Way::Patch ? ComponentWriter::Encoding::Patch
                                                : ComponentWriter::Encoding::Compressed;
        if (!writer->setEncoding(encoding, delta.size, &error)) {
            qDebug() << "Whole file:" << currentFileName << error;
            way = Way::Whole;
            writer->restartPlain();
        }
    }
    writer->open();
}

QNetworkRequest &DownloadManager::transferRequest()
{
    if (way == Way::Whole)
        return currentRequest;
    return cheaperRequest;
}

SignedRelease *DownloadManager::signedRelease()
{
    UpdateSession *session = UpdateSession::instance();
    return session ? session->signedRelease() : nullptr;
}

KeptFiles *DownloadManager::kept()
{
    UpdateSession *session = UpdateSession::instance();
    return session ? session->kept() : nullptr;
}

bool DownloadManager::keyed()
{
    const SignedRelease *release = signedRelease();
    return release && release->isSigned();
}

void DownloadManager::stagingReady(bool ok)
{
    // Whichever way was chosen: the whole file would find the same folder,
    // so the update stops here, with the staging file's own line.
    if (!ok) {
        way = Way::Whole;
        giveUp(Stall::Cause::Disk);
        return;
    }
    // A folder is not a component: nothing is fetched and nothing replaced.
    if (!writer->isWriting() && QFileInfo(currentFileName).isDir()) {
        qDebug() << "Cannot replace" << currentFileName << QStringLiteral("a folder stands at the target");
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
        emit progressPercentage(100);
        emit downloadStatus(1);
        emit downloadedBytes(0);
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

// A whole file that is not what was listed (a proxy that corrupts) comes
// once more, from the start.
bool DownloadManager::fetchAgain()
{
    if (fetchedAgain)
        return false;
    fetchedAgain = true;
    qDebug() << "Fetched again:" << currentRequest.url().toString() << "its SHA-256 is not the listed one";
    validator.clear();
    writer->restart();
    sendTry();
    return true;
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
    const QString stagingFile = ComponentWriter::stagingPath(currentFileName);
    const bool written = writer && writer->isWriting();
    const qint64 length = written ? writer->size() : 0;
    // A connection that ended early, or a range that was not the rest.
    if (written && expected != -1 && length != expected) {
        qDebug() << "Incomplete:" << currentFileName << length << "of" << expected << "bytes";
        if (expected == -2)
            validator.clear();
        if (!retryLater(RetryPolicy::Cause::ConnectionLost, -1))
            giveUp(Stall::Cause::Network);
        return;
    }
    if (currentReply) {
        currentReply->deleteLater();
        currentReply = nullptr;
    }
    const int size = written ? Utils::getFileSize(stagingFile) : 0;
    // In a keyed build the signed hash decides, whatever the size.
    if (!written || (size <= FailedSizeLimit && !keyed())) {
        failedDownload(size);
        return;
    }
    const QByteArray sha256 = keyed() ? signedSha256 : delta.sha256;
    if (!sha256.isEmpty() && writer->sha256Hex() != sha256) {
        if (fetchAgain())
            return;
        // downloadComplete or internalDownloadError follows from placed().
        if (keyed()) {
            refuse(QStringLiteral("its SHA-256 is not the signed one"));
            return;
        }
    }
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
    QString problem;
    if (status >= 400)
        problem = QStringLiteral("HTTP status %1").arg(status);
    else if ((expected != -1 && received != expected) || received != cheaper.size)
        problem = QStringLiteral("%1 bytes, not %2").arg(received).arg(cheaper.size);
    else if (!writer->close())
        problem = writer->errorString();
    else if (writer->receivedSha256Hex() != cheaper.sha256)
        problem = QStringLiteral("its SHA-256 is not the listed one");
    else if (writer->sha256Hex() != delta.sha256)
        problem = QStringLiteral("the result's SHA-256 is not the item's");
    if (!problem.isEmpty()) {
        fallBack(problem);
        return;
    }
    // The same rule as for the whole file: the result decides, not the way.
    const int size = Utils::getFileSize(ComponentWriter::stagingPath(currentFileName));
    if (size <= FailedSizeLimit && !keyed()) {
        failedDownload(size);
        return;
    }
    writer->commit();
}

// The old file stays as it was, and the update goes on; the updater may end
// right after this. Only a missing folder settles a signed item unfetched.
void DownloadManager::failedDownload(int size)
{
    QString why = QStringLiteral("%1 bytes, %2 or less: the file stays as it was")
            .arg(size).arg(FailedSizeLimit);
    if (!QFileInfo(currentFileName).dir().exists()) {
        // A pretty-printed <installlocation> keeps its line ends and blanks.
        why = currentFileName.front().isSpace()
                ? QStringLiteral("its folder does not exist (the install location has blanks "
                                 "or line ends around it)")
                : QStringLiteral("its folder does not exist");
    }
    qDebug() << "Failed download:" << currentFileName << why;
    dropStaged();
    settleSigned();
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

// The signed item of this transfer is installed, or failed as a download.
void DownloadManager::settleSigned()
{
    SignedRelease *release = signedRelease();
    if (release)
        release->settle(signedItem);
}

// Nothing of the component reaches its target.
void DownloadManager::refuse(const QString &reason)
{
    qDebug() << "Refused:" << currentFileName << reason;
    dropStaged();
    stall(Stall::Cause::Refused);
    emit internalDownloadError();
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
    if (kept() && !sha256.isEmpty())
        kept()->noteWhole(currentFileName, sha256);
    else if (kept())
        kept()->drop(currentFileName);
    settleSigned();
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
    currentReply->setReadBufferSize(ReadBufferSize);
    discardBody = false;

    connect(currentReply, &QNetworkReply::finished, this, &DownloadManager::finished);
    connect(currentReply, &QNetworkReply::downloadProgress,
            this, &DownloadManager::downloadProgress);
    connect(currentReply, &QNetworkReply::errorOccurred, this, &DownloadManager::error);
    connect(currentReply, &QNetworkReply::metaDataChanged, this, &DownloadManager::checkResponse);
    // Qt sends the request of a followed redirect from the event loop, unbounded;
    // the bound set on its headers comes too late on a busy GUI thread (measured:
    // 180 MB of 256 MB buffered). Set it again right after that request starts.
    connect(currentReply, &QNetworkReply::redirected, this, [this] {
        QNetworkReply *reply = currentReply;
        QMetaObject::invokeMethod(reply, [reply] { reply->setReadBufferSize(ReadBufferSize); },
                                  Qt::QueuedConnection);
    });
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
    Stall::Cause why = Stall::Cause::Refused;
    if (status == 404 || status == 410)
        why = Stall::Cause::Missing;
    else if (status >= 400 || cause == RetryPolicy::Cause::ServerBusy
             || cause == RetryPolicy::Cause::ServerError)
        why = Stall::Cause::Server;
    else if (cause != RetryPolicy::Cause::None)
        why = Stall::Cause::Network;
    stall(why);
    emit downloadError(code);
}

void DownloadManager::checkResponse()
{
    if (!currentReply)
        return;
    // Qt does not carry the bound over to the request of a followed redirect.
    currentReply->setReadBufferSize(ReadBufferSize);

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
        if (!retryLater(RetryPolicy::Cause::ConnectionLost, -1))
            giveUp(Stall::Cause::Network);
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
        if (way == Way::Whole && kept() && !validator.isEmpty())
            kept()->notePartial(currentFileName, currentRequest.url(), validator);
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
    if (leave && kept())
        writer->leave();
    else
        writer->discard();
    writer->deleteLater();
    writer = nullptr;
}
