#ifndef RELEASETRANSACTION_H
#define RELEASETRANSACTION_H

#include "stagedfile.h"

class KeptFiles;

#include <QFile>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

// One update as one unit: until commit(), every file that the update replaces
// stays beside its target (set aside), and a journal in the updater's folder
// names every target, with its staging and set-aside file. The journal is on
// disk before the files it names are touched. rollBack() puts every target
// back as it was before the run: the set-aside file restored, a file that
// was not there removed, the staging file removed.
//
// The journal: the line "korvel-journal 1", then one line per target, each
// appended and flushed before its staging file is made:
//     <1 if the target existed, else 0> TAB <target> TAB <set-aside file> TAB
//     <the first 8 hex digits of the MD5 of what precedes the last TAB>
// and one line per folder the run creates, appended and flushed before it
// is made:
//     d TAB <folder> TAB <check, as above>
// with the paths percent-encoded. A last line without its line feed is an
// append that never finished, and covers nothing that was touched. The
// folder lines came later under the same header: a journal without them
// reads as before, and one with them is written only by an updater that
// reads them (an older one would set it aside as unreadable).
//
// Targets are compared as the file system identifies them (key()): two
// paths to one file are one target, and only the first names its old file.
//
// The update's session (UpdateSession) owns the one instance, behind the
// instance lock: recover() rolls back what a killed run left, and rollBack()
// what a run ended before its sequence did. Each StagedFile of the release
// stages and puts its file in place through it (StagingJournal); the session
// commits at the end of the sequence.
class ReleaseTransaction : public StagingJournal
{
public:
    explicit ReleaseTransaction(const QString &folder);
    ~ReleaseTransaction() override;
    ReleaseTransaction(const ReleaseTransaction &) = delete;
    ReleaseTransaction &operator=(const ReleaseTransaction &) = delete;

    static QString journalPath(const QString &folder);
    // The file a target names, as the file system compares names.
    static QString key(const QString &target);
    QString journalPath() const override { return journalPath(folder); }

    // Rolls back what the journal of an earlier run names. A journal that
    // is not one is set aside unused. False when it cannot be read now, or
    // a file could not be restored in time: the journal then stays for the
    // next start.
    bool recover();

    bool holds(const QString &target) const override;
    bool stage(const QString &target, QString *error) override;
    bool stageFolder(const QString &folder, QString *error) override;
    QString keptAsidePath(const QString &target) const override;
    void placed(const QString &target) override;

    // The end of the sequence: the journal goes, and with it every set-aside
    // file. False when the journal cannot be removed.
    bool commit();
    // Every target back as it was before the run; true when nothing was
    // staged. False when a file could not be restored in time.
    bool rollBack();
    // A roll back hands this run's verified files and partials to kept
    // instead of removing them.
    void setKeeper(KeptFiles *kept) { keeper = kept; }

private:
    struct Entry
    {
        QString target;
        QString aside;
        bool existed = false;
        // The old file is aside, or was absent when the target was first placed.
        bool settled = false;
    };

    bool append(const QByteArray &line, QString *error);
    bool restore(const Entry &entry, QString *error) const;
    bool removeJournal(QString *error);
    void syncFolders();
    bool parse(const QByteArray &journal);

    QString folder;
    // Open for appending once written.
    QFile journal;
    QVector<Entry> entries;
    QHash<QString, int> index;
    QSet<QString> folders;
    // The folders this run created, outermost first.
    QStringList madeFolders;
    bool journalWritten = false;
    // A failed append may have left half a line: nothing more is added.
    bool broken = false;
    KeptFiles *keeper = nullptr;
};

#endif // RELEASETRANSACTION_H
