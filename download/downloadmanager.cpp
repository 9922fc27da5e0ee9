#include "downloadmanager.h"

#include "utils.h"

#include <QDebug>
#include <QFileInfo>
#include <QMetaEnum>
#include <QTimer>

DownloadManager::DownloadManager(QObject *parent)
    : QObject(parent)
    , networkManager(new QNetworkAccessManager(this))
{
    qRegisterMetaType<QNetworkReply::NetworkError>();
}

DownloadManager::~DownloadManager()
{
    // The replies go with networkManager; the file is ours.
    delete targetFile;
}

void DownloadManager::cancel()
{
    if (lastBytesReceived != 0) {
        cutLoose();
        if (targetFile)
            targetFile->close();
    } else {
        qDebug() << "Safe Cancelled";
        cutLoose();
    }
    qDebug() << "Download cancelled";
    emit downloadCancelled();
}

void DownloadManager::download(QUrl url, QString fileName)
{
    qDebug() << "download: URL=" << url.toString();
    resumeOffset = 0;
    currentRequest = QNetworkRequest(url);
    if (fileName.isEmpty())
        return;

    // A reply that still runs here would go on writing into the new file.
    cutLoose();
    dropFile();

    if (QFile::exists(fileName))
        QFile::remove(fileName);
    targetFile = new QFile(fileName);
    currentFileName = fileName;
    qDebug() << fileName;
    // Deliberately unchecked: a target that cannot be opened ends as a failed
    // download. Truncated, because an old file that could not be removed (on
    // Windows, one another program holds open) would otherwise keep its tail.
    // Unbuffered, so that a full disk shows at the write.
    targetFile->open(QIODevice::ReadWrite | QIODevice::Truncate | QIODevice::Unbuffered);
    download(currentRequest);
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
    if (currentReply || !targetFile || !targetFile->isOpen())
        return;
    resumeOffset = targetFile->size();
    currentRequest.setRawHeader(QByteArrayLiteral("Range"),
                                "bytes=" + QByteArray::number(resumeOffset) + '-');
    download(currentRequest);
    emit downloadResumed();
}

void DownloadManager::finished()
{
    qDebug() << "finished";
    // Qt may still hold the last bytes without another report to come.
    if (!drainReply()) {
        giveUp();
        return;
    }
    // Whatever stands at a path we could not open (a read-only file, one that
    // another program holds) is neither the component nor ours to remove.
    const bool written = targetFile && targetFile->isOpen();
    dropFile();
    if (currentReply) {
        currentReply->deleteLater();
        currentReply = nullptr;
    }

    const QString measuredFile = currentFileName;
    const int size = written ? Utils::getFileSize(measuredFile) : 0;
    if (size <= FailedSizeLimit) {
        emit recordFailed();
        if (written || !QFileInfo::exists(measuredFile))
            removeLater(measuredFile);
    }
    emit downloadComplete();
}

void DownloadManager::failedCleanup()
{
    Utils cleaner;
    cleaner.deleteFile(currentFileName);
}

void DownloadManager::download(QNetworkRequest &request)
{
    request.setPriority(QNetworkRequest::HighPriority);
    // Qt follows no redirects by default and would hand us the 302 page as the component.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(MaximumRedirects);

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
        giveUp();
    }
    emit progressPercentage(percentage);
    emit downloadStatus(status);
    emit downloadedBytes(bytesReceived);
}

void DownloadManager::error(QNetworkReply::NetworkError code)
{
    // What arrived before the error still belongs to the partial file.
    drainReply();
    dropFile();
    cutLoose();
    qDebug() << "Error:" << QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(code);
    emit downloadError(code);
}

void DownloadManager::checkResponse()
{
    if (!currentReply)
        return;
    // Qt does not carry the bound over to the request of a followed redirect.
    currentReply->setReadBufferSize(ReadBufferSize);

    const int status = currentReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    discardBody = status >= 400;
    if (resumeOffset > 0 && status == 200 && targetFile && targetFile->isOpen()) {
        // The server ignored the range and sends the whole file: start over.
        targetFile->resize(0);
        targetFile->seek(0);
        resumeOffset = 0;
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
    if (data.isEmpty() || discardBody || !targetFile || !targetFile->isOpen())
        return true;
    return targetFile->write(data) == data.size();
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
    dropFile();
    cutLoose();
    emit internalDownloadError();
}

void DownloadManager::dropFile()
{
    if (!targetFile)
        return;
    targetFile->close();
    delete targetFile;
    targetFile = nullptr;
}

void DownloadManager::removeLater(const QString &fileName)
{
    // The manager as context: a pending removal dies with it.
    QTimer::singleShot(FailedCleanupDelay, this, [fileName] {
        Utils cleaner;
        cleaner.deleteFile(fileName);
    });
}
