#ifndef STAGEDFILE_H
#define STAGEDFILE_H

#include <QDeadlineTimer>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

// A component on its way to its target path. It is written to a staging file
// beside the target (same folder, so same volume; a suffix that is never
// executable), and only commit() touches the target: the staging file is
// flushed to disk, the old file renamed aside, the staging file renamed in.
// Within a release (a StagingJournal, kept by ReleaseTransaction) the
// set-aside file is kept until the release commits; otherwise it is removed
// at once. Windows lets a running exe
// or a loaded DLL be renamed, not written or removed; a set-aside file that
// cannot be removed yet goes the next time its target is staged or its folder
// is swept.
//
// Creating the staging file and putting it in place wait for files that other
// programs hold and for folders that refuse: they retry from the event loop
// with growing pauses, for at most RetryLimit ms each, then report false with
// one diagnostic line naming the file and the system's error.
// What a release records of the files it stages: the staged file asks it
// before it touches anything, and tells it what it has put in place.
class StagingJournal
{
public:
    virtual ~StagingJournal() = default;

    // Whether the journal names target.
    virtual bool holds(const QString &target) const = 0;
    // Names target before its staging file is made; false, with the reason,
    // when the journal cannot be written.
    virtual bool stage(const QString &target, QString *error) = 0;
    // Names a folder before the release creates it, so that a roll back
    // removes it again; false, with the reason, as stage().
    virtual bool stageFolder(const QString &folder, QString *error) = 0;
    virtual QString journalPath() const = 0;
    // Where the file that stood at target before the release goes aside;
    // empty once that is settled (a later item of the same target).
    virtual QString keptAsidePath(const QString &target) const = 0;
    // The staging file of target has been renamed in.
    virtual void placed(const QString &target) = 0;
};

class StagedFile : public QObject
{
    Q_OBJECT

public:
    static constexpr int RetryLimit = 20000;

    // journal: the release this file belongs to; null to replace it on its own.
    explicit StagedFile(const QString &target, StagingJournal *journal = nullptr,
                        QObject *parent = nullptr);
    // Removes a staging file that was not put in place.
    ~StagedFile() override;

    static QString stagingPath(const QString &target);
    static QString asidePath(const QString &target, int number = 0);
    // The first set-aside name of target that nothing uses; empty when none is free.
    static QString freeAsidePath(const QString &target);
    // What an interrupted run left in a folder: staging files are removed; a
    // set-aside file is removed when its target is there and renamed back
    // when it is not (a run killed between the two renames).
    static void removeLeftovers(const QString &folder);

    QString target() const { return targetPath; }
    // The open staging file; null before open() succeeds, after commit() or
    // discard(), and when the target is a folder or its folder is missing
    // and relative (nothing can be staged: the transfer then counts as
    // failed). A missing absolute folder is created, with its parents.
    QFile *file() const { return staging; }

    // Creates the staging file, empty; emits ready() once, at once or later.
    void open();
    // Before open(): the staging file is this file, renamed, and goes on
    // after its last byte; kept bytes of an earlier run.
    void setStartingFile(const QString &path) { startingFile = path; }
    // Puts the staging file in place; emits committed() once, at once or later.
    void commit();
    // Stops any retry and removes the staging file.
    void discard();
    // Stops any retry and closes the staging file, which stays for the
    // release's roll back to keep or remove. Without a release: discard().
    void leave();

    // For tests: a shorter bound than RetryLimit.
    void setRetryLimit(int ms) { retryLimit = ms; }

signals:
    void ready(bool ok);
    void committed(bool ok);

private:
    enum class Step { None, Open, Commit };

    void attempt();
    bool makeFolders(const QString &folder);
    void failLater();
    bool tryOpen();
    bool tryCommit();
    void placed();
    void closeStaging();

    QString targetPath;
    StagingJournal *journal = nullptr;
    QFile *staging = nullptr;
    // The staging file is ours to remove until it becomes the target.
    bool created = false;
    Step step = Step::None;
    QString lastError;
    int retryLimit = RetryLimit;
    QString startingFile;
    int pause = 0;
    QDeadlineTimer deadline;
    QTimer retryTimer;
};

#endif // STAGEDFILE_H
