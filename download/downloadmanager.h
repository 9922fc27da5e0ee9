#ifndef DOWNLOADMANAGER_H
#define DOWNLOADMANAGER_H

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QUrl>

#include "itemplan.h"
#include "transfertries.h"
#include "stall.h"

class ComponentWriter;
class KeptFiles;
class SignedRelease;

// Fetches one file at a time over HTTP, reporting progress as a percentage, a
// fraction and a byte count. The data goes to a staging file beside the
// target (ComponentWriter); the target changes only when the transfer is whole:
// no error, more than 149 bytes, and as long as the server announced.
// A result of 149 bytes or less counts as failed (recordFailed, then
// downloadComplete), whichever way it came, and is removed at once, leaving
// the target as it was, as does a target whose folder is missing; a
// "Failed download:" line says why. A staging file that cannot be made, on
// any way, and a folder at the target are no failed download: the transfer
// ends in internalDownloadError.
// A target whose name is never written (FileOps::fileNameProblem) is not
// fetched at all and counts as failed; an address that is not http or https
// is not fetched either and ends in downloadError. Neither writes the
// "download: URL=" line, which only a transfer that runs writes.
// In a build with publisher keys (an UpdateSession with a SignedRelease), a
// transfer starts only once the signed release names its address and target,
// and the component is put in place only with the signed SHA-256, whatever
// its size.
// A transfer ends in exactly one of downloadComplete, downloadError or
// internalDownloadError (which also reports a staging file that could not be
// made or put in place in time, and a component the signed release refuses),
// unless pause() or cancel() comes first.
//
// An item the release lists with its SHA-256 (SignedRelease::delta()) is
// fetched the cheapest way it offers: not at all when the target already has
// that hash; else a patch against the file at the target, or a compressed
// copy; else, or when the cheaper way fails in any way, the whole file, with
// a line saying why. A result that is not the listed hash is never put in place.
//
// A failure that may pass by itself (RetryPolicy) is tried again after a
// wait, which retryStatus() counts down; a partial transfer goes on where it
// stopped (Range, with If-Range), else from the start. A whole file that is
// not its listed hash is fetched once more from the start. Within an update
// session, a verified file and the partial of a whole-file transfer are kept
// for the next start when the update does not commit (KeptFiles), and used
// then once they are found sound again. Every stall says its cause with
// stalled(), before downloadError or internalDownloadError.
class DownloadManager : public QObject
{
    Q_OBJECT

public:
    explicit DownloadManager(QObject *parent = nullptr);
    ~DownloadManager() override;

    // Largest amount the reply may hold before it stops reading the socket;
    // readyRead moves it into the file, so memory stays flat.
    static constexpr qint64 ReadBufferSize = 1024 * 1024;
    // A finished file of this size or less is a failed download.
    static constexpr int FailedSizeLimit = 149;

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
    // What the window says of a wait before the next try; empty once bytes
    // come again.
    void retryStatus(const QString &text);
    // Why the update stopped, in plain words (Stall::text()).
    void stalled(const QString &text);

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
    using Way = ItemPlan::Way;

    void checkSigned();
    void planned(const ItemPlan &plan, const KeptUse &use);
    void unchanged();
    // The window shows the item done, without a transfer.
    void showDone();
    void skip();
    void stage();
    void finishCheaper();
    void fallBack(const QString &reason);
    QNetworkRequest &transferRequest();
    void sendTry();
    bool retryLater(RetryPolicy::Cause cause, qint64 retryAfterMs);
    void retryOrStall();
    void stall(Stall::Cause cause);
    // The reply, the staging file, the wait and the planning of the item: gone.
    void stopItem();
    void failedDownload(int size);
    void stagingReady(bool ok);
    void placed(bool ok);
    void checkResponse();
    bool drainReply();
    void cutLoose();
    void giveUp(Stall::Cause cause);
    void dropStaged(bool leave = false);

    QNetworkAccessManager *networkManager = nullptr;
    QNetworkRequest currentRequest;
    QNetworkReply *currentReply = nullptr;
    ComponentWriter *writer = nullptr;
    qint64 resumeOffset = 0;
    QString currentFileName;
    qint64 lastBytesReceived = 0;
    // An HTTP error page is not the component: its body never reaches the file.
    bool discardBody = false;
    // What the signed release says of the current transfer.
    bool checking = false;
    QMetaObject::Connection releaseWait;
    int signedItem = -1;
    QByteArray signedSha256;
    // What the release offers of the current item, and the way it comes.
    ItemDelta delta;
    Way way = Way::Whole;
    ItemSource cheaper;
    QNetworkRequest cheaperRequest;
    ItemPlanner planner;
    // A kept file of an earlier run that this transfer starts from, and
    // whether it is the whole verified file.
    QString keptFile;
    bool keptWhole = false;
    // Tries of the current way, and the wait before the next.
    TransferTries tries;
    // What If-Range carries; empty when nothing may be resumed.
    QByteArray validator;
    bool fetchedAgain = false;
};

#endif // DOWNLOADMANAGER_H
