#ifndef UPDATESESSION_H
#define UPDATESESSION_H

#include <QObject>
#include <QString>

#include <memory>

class InstanceLock;
class KeptFiles;
class ReleaseTransaction;
class SignedRelease;
class StagingJournal;

// What one run of the updater holds for as long as the process lives: the
// instance lock, the release transaction and, in a keyed build, the signed
// release. main() makes the one instance and the document's types reach it
// through instance(), as QCoreApplication::instance(); a test may make its
// own. Without one (the tests of single parts) files are replaced one by one
// and nothing is signed.
//
// main() calls begin() before the window exists and rollBack() after it has
// closed; DownloadManager stages through journal() and asks signedRelease();
// Utils calls commit() at the end of the sequence and releaseLock() right
// before the process ends.
class UpdateSession : public QObject
{
    Q_OBJECT

public:
    // folder: the updater's own; publisherKeys: the PEM text of the keys a
    // release must be signed with, empty for an unkeyed build.
    UpdateSession(const QString &folder, const QByteArray &publisherKeys,
                  QObject *parent = nullptr);
    ~UpdateSession() override;

    static UpdateSession *instance();
    // The instance's, or null without one.
    static SignedRelease *currentRelease();
    static KeptFiles *currentKept();
    // A build with publisher keys: its signed release decides.
    static bool keyed();
    // The signed item is installed, or failed as a download.
    static void settle(int item);

    // The lock, then the roll back of what a killed run left, then its
    // leftovers in the folder. False when the updater must end here: another
    // updater holds the lock, or the roll back cannot complete yet.
    bool begin();
    StagingJournal *journal() const;
    // What earlier runs of this release kept for this one.
    KeptFiles *kept() const { return keptFiles.get(); }
    // Signed only in a keyed build (SignedRelease::isSigned()).
    SignedRelease *signedRelease() const { return release.get(); }

    // Keeps the release as a whole, at the end of the sequence; false when
    // it cannot (the update then stalls and is rolled back).
    bool commit();
    // Every file back as it was before the run; false when one could not be.
    bool rollBack();
    // For an end without destructors: the next updater may start at once.
    void releaseLock();

public slots:
    // A line of the hand-off file: the release of the last one is fetched,
    // as the document loads the last one.
    void handOffLine(const QString &line);

private:
    void fetchRelease();
    void releaseSettled();

    QString folder;
    std::unique_ptr<InstanceLock> lock;
    std::unique_ptr<KeptFiles> keptFiles;
    std::unique_ptr<ReleaseTransaction> transaction;
    std::unique_ptr<SignedRelease> release;
    QString address;
    bool fetchPending = false;
};

#endif // UPDATESESSION_H
