#include "downloadmanager.h"

#include "componentwriter.h"
#include "filehash.h"
#include "transferrules.h"
#include "updatesession.h"
#include "utils.h"
#include "zstdpatch.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QRegularExpression>
#include <QTimer>

DownloadManager::DownloadManager(QObject *parent)
    : QObject(parent)
    , networkManager(new RuledNetworkAccessManager(0, this))
{
    qRegisterMetaType<QNetworkReply::NetworkError>();
}

DownloadManager::~DownloadManager()
{
    // The replies go with networkManager; an unfinished staging file goes
    // with its writer, also when the window is closed mid-transfer.
}

void DownloadManager::cancel()
{
    if (lastBytesReceived == 0)
        qDebug() << "Safe Cancelled";
    cutLoose();
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
    delete installedHash;
    installedHash = nullptr;
    currentFileName = fileName;
    delta = SignedRelease::Delta();
    way = Way::Whole;
    signedItem = -1;
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
        QTimer::singleShot(0, this, [this] { emit downloadError(QNetworkReply::ProtocolUnknownError); });
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
        emit internalDownloadError();
        return;
    }
    delta = release ? release->delta(signedItem) : SignedRelease::Delta();
    // Only a file that may be the item itself, or a patch's base, is worth its
    // hash: a huge stray file would take minutes of CPU for nothing.
    const QFileInfo installed(currentFileName);
    const bool mayMatch = delta.size < 0 || installed.size() == delta.size;
    const bool mayBeBase = !delta.patches.isEmpty() && installed.size() <= ZstdEncoder::PatchSizeLimit;
    if (delta.sha256.isEmpty() || !installed.isFile() || !(mayMatch || mayBeBase)) {
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
    if (!sha256Hex.isEmpty() && sha256Hex == delta.sha256) {
        unchanged();
        return;
    }
    // Decoded output is bounded by the item's size: without one, only the whole file.
    way = Way::Whole;
    if (delta.size >= 0) {
        const bool patchable = delta.size <= ZstdEncoder::PatchSizeLimit
                && QFileInfo(currentFileName).size() <= ZstdEncoder::PatchSizeLimit;
        // A way listed as larger than the file itself is never cheaper.
        for (const SignedRelease::Patch &patch : qAsConst(delta.patches)) {
            if (patchable && !sha256Hex.isEmpty() && patch.base == sha256Hex
                && patch.size <= delta.size) {
                way = Way::Patch;
                cheaper = patch;
                break;
            }
        }
        if (way == Way::Whole && !delta.compressed.url.isEmpty()
            && delta.compressed.size <= delta.size) {
            way = Way::Compressed;
            cheaper = delta.compressed;
        }
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
    qDebug() << "download: URL=" << (way == Way::Whole ? currentRequest.url() : cheaper.url).toString();
    qDebug() << currentFileName;
    UpdateSession *session = UpdateSession::instance();
    const bool hashing = keyed() || way != Way::Whole;
    writer = new ComponentWriter(currentFileName, session ? session->journal() : nullptr,
                                 hashing, this);
    connect(writer, &ComponentWriter::ready, this, &DownloadManager::stagingReady);
    connect(writer, &ComponentWriter::committed, this, &DownloadManager::placed);
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
        giveUp();
        return;
    }
    // A folder is not a component: nothing is fetched and nothing replaced.
    if (!writer->isWriting() && QFileInfo(currentFileName).isDir()) {
        qDebug() << "Cannot replace" << currentFileName << QStringLiteral("a folder stands at the target");
        way = Way::Whole;
        giveUp();
        return;
    }
    // Nothing can be written when the folder is missing: that fails as the whole file.
    if (way != Way::Whole && !writer->isWriting()) {
        way = Way::Whole;
        writer->restartPlain();
    }
    if (way != Way::Whole)
        cheaperRequest = QNetworkRequest(cheaper.url);
    download(transferRequest());
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
        giveUp();
        return;
    }
    const qint64 expected = announcedSize();
    if (currentReply) {
        currentReply->deleteLater();
        currentReply = nullptr;
    }

    // Nothing was staged when the target's folder is missing: that measures
    // 0, a failed download.
    const QString stagingFile = ComponentWriter::stagingPath(currentFileName);
    const bool written = writer && writer->isWriting();
    if (written)
        writer->close();
    const int size = written ? Utils::getFileSize(stagingFile) : 0;
    // In a keyed build the signed hash decides, whatever the size.
    if (!written || (size <= FailedSizeLimit && !keyed())) {
        failedDownload(size);
        return;
    }
    const qint64 length = QFileInfo(stagingFile).size();
    if (expected != -1 && length != expected) {
        qDebug() << "Incomplete:" << currentFileName << length << "of" << expected << "bytes";
        giveUp();
        return;
    }
    // downloadComplete or internalDownloadError follows from placed().
    if (keyed() && writer->sha256Hex() != signedSha256) {
        refuse(QStringLiteral("its SHA-256 is not the signed one"));
        return;
    }
    writer->commit();
}

// A compressed copy or a patch is whole only as the file the item lists.
void DownloadManager::finishCheaper()
{
    if (!drainReply()) {
        fallBack(writer->errorString());
        return;
    }
    const qint64 expected = announcedSize();
    const int status = currentReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    currentReply->deleteLater();
    currentReply = nullptr;
    const qint64 received = writer->size();
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
    qDebug() << "Failed download:" << currentFileName << failure(size);
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
    resumeOffset = 0;
    writer->restartPlain();
    qDebug() << "download: URL=" << currentRequest.url().toString();
    download(currentRequest);
}

// Why nothing was written, or what was: the line of an item left out.
QString DownloadManager::failure(int size) const
{
    const QFileInfo target(currentFileName);
    if (!target.dir().exists()) {
        // A pretty-printed <installlocation> keeps its line ends and blanks.
        if (!currentFileName.isEmpty() && currentFileName.front().isSpace())
            return QStringLiteral("its folder does not exist (the install location has blanks "
                                  "or line ends around it)");
        return QStringLiteral("its folder does not exist");
    }
    return QStringLiteral("%1 bytes, %2 or less: the file stays as it was")
            .arg(size).arg(FailedSizeLimit);
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
    emit internalDownloadError();
}

void DownloadManager::placed(bool ok)
{
    dropStaged();
    if (ok) {
        settleSigned();
        emit downloadComplete();
    } else {
        emit internalDownloadError();
    }
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
            giveUp();
    });
    emit downloadStarted();
}

void DownloadManager::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    lastBytesReceived = bytesReceived;
    if (!drainReply()) {
        giveUp();
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
    } else {
        qDebug() << "Nothing received:" << currentRequest.url().toString();
        giveUp();
    }
    emit progressPercentage(percentage);
    emit downloadStatus(status);
    emit downloadedBytes(bytesReceived);
}

void DownloadManager::error(QNetworkReply::NetworkError code)
{
    if (way != Way::Whole) {
        fallBack(QString::fromLatin1(
                QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(code)));
        return;
    }
    // The target stays as it was; the partial staging file is of no use to
    // a sequence that stops here.
    dropStaged();
    cutLoose();
    // The address last: lines that match on the code alone still do.
    qDebug() << "Error:" << QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(code)
             << currentRequest.url().toString();
    emit downloadError(code);
}

void DownloadManager::checkResponse()
{
    if (!currentReply)
        return;
    // Qt does not carry the bound over to the request of a followed redirect.
    currentReply->setReadBufferSize(ReadBufferSize);

    const int status = currentReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // A cheaper way's error page fails that way (finishCheaper()).
    discardBody = status >= 400;
    if (resumeOffset > 0 && status == 200 && writer) {
        // The server ignored the range and sends the whole file: start over.
        writer->restart();
        resumeOffset = 0;
    }
}

// The value of a header in the last response: after a followed redirect Qt
// may append it to the redirect's own ("0, 67108864").
static QByteArray lastValue(const QNetworkReply *reply, const char *name)
{
    const QByteArray value = reply->rawHeader(name);
    return value.mid(value.lastIndexOf(',') + 1).trimmed();
}

// The whole component's length as the server announced it; -1 when it did
// not, -2 when a resumed part does not start where the file ends.
qint64 DownloadManager::announcedSize() const
{
    if (!currentReply)
        return -1;
    if (currentReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 206) {
        // "bytes <first>-<last>/<total>"
        static const QRegularExpression range(QStringLiteral("^bytes (\\d+)-\\d+/(\\d+|\\*)$"));
        const QRegularExpressionMatch match =
                range.match(QString::fromLatin1(lastValue(currentReply, "Content-Range")));
        if (!match.hasMatch())
            return -1;
        if (match.captured(1).toLongLong() != resumeOffset)
            return -2;
        return match.captured(2) == QLatin1String("*") ? -1 : match.captured(2).toLongLong();
    }
    // Qt unpacks a compressed body, whose announced length is the packed one.
    const QByteArray encoding = lastValue(currentReply, "Content-Encoding").toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return -1;
    bool ok = false;
    const qint64 length = lastValue(currentReply, "Content-Length").toLongLong(&ok);
    return ok ? resumeOffset + length : -1;
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
void DownloadManager::giveUp()
{
    if (way != Way::Whole && writer) {
        fallBack(writer->errorString().isEmpty() ? QStringLiteral("nothing received")
                                                 : writer->errorString());
        return;
    }
    dropStaged();
    cutLoose();
    emit internalDownloadError();
}

void DownloadManager::dropStaged()
{
    if (!writer)
        return;
    // May run inside the writer's own signal: no delete there.
    writer->disconnect(this);
    writer->discard();
    writer->deleteLater();
    writer = nullptr;
}
