#ifndef DOWNLOADMANAGER_H
#define DOWNLOADMANAGER_H

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QUrl>

// Fetches one file at a time over HTTP into a local file, reporting progress
// as a percentage, a fraction and a byte count. A finished file of 149 bytes
// or less, or a target that could not be opened, counts as failed
// (recordFailed); a file it wrote is removed 5000 ms later, and whatever else
// stands at the target is left alone.
// A transfer ends in exactly one of downloadComplete, downloadError or
// internalDownloadError, unless pause() or cancel() comes first.
class DownloadManager : public QObject
{
    Q_OBJECT

public:
    explicit DownloadManager(QObject *parent = nullptr);
    ~DownloadManager() override;

    // Largest amount the reply may hold before it stops reading the socket;
    // readyRead moves it into the file, so memory stays flat.
    static constexpr qint64 ReadBufferSize = 1024 * 1024;
    static constexpr int MaximumRedirects = 10;
    // A finished file of this size or less is a failed download.
    static constexpr int FailedSizeLimit = 149;
    static constexpr int FailedCleanupDelay = 5000;

signals:
    void downloadStatus(float currentStatus);
    void downloadPaused();
    void downloadResumed();
    void internalDownloadError();
    void downloadComplete();
    void recordFailed();
    void downloadStarted();
    void downloadCancelled();
    void progressPercentage(int percentage);
    void downloadError(QNetworkReply::NetworkError code);
    void downloadedBytes(qint64 bytesReceived);

public slots:
    void cancel();
    void download(QUrl url, QString fileName);
    void pause();
    void resume();
    void finished();
    void failedCleanup();

private slots:
    void download(QNetworkRequest &request);
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void error(QNetworkReply::NetworkError code);

private:
    void checkResponse();
    bool drainReply();
    void cutLoose();
    void giveUp();
    void dropFile();
    void removeLater(const QString &fileName);

    QNetworkAccessManager *networkManager = nullptr;
    QNetworkRequest currentRequest;
    QNetworkReply *currentReply = nullptr;
    QFile *targetFile = nullptr;
    qint64 resumeOffset = 0;
    QString currentFileName;
    qint64 lastBytesReceived = 0;
    // An HTTP error page is not the component: its body never reaches the file.
    bool discardBody = false;
};

#endif // DOWNLOADMANAGER_H
