#ifndef RELEASEWRITER_H
#define RELEASEWRITER_H

#include <QString>
#include <QStringList>

#include <vector>

#include <memory>

class QFile;

// Writes a set of files so that all of them take their place, or none does:
// each is written under a temporary name in its target's folder and flushed
// to the disk; commit() then moves every existing target aside, renames the
// new files in, and only at the end removes what was moved aside. A failure
// anywhere (or a writer destroyed without commit) leaves every target as it
// was and no temporary file behind.
//
// A process killed during commit() leaves its journal: recover() then puts
// every target back as it was before. Temporary names all hold
// ".korvel-new-", so that no later run takes them for anything else.
class ReleaseWriter
{
public:
    ReleaseWriter();
    ~ReleaseWriter();
    ReleaseWriter(const ReleaseWriter &) = delete;
    ReleaseWriter &operator=(const ReleaseWriter &) = delete;

    // An open, empty file that will become target; null on failure. The
    // writer owns it. A target that exists must be a file.
    QFile *stage(const QString &target);
    bool stage(const QString &target, const QByteArray &data);
    // Drops a staged file that is not wanted after all.
    void discard(QFile *file);
    // A folder for targets, made now and removed again unless committed.
    bool makeFolder(const QString &path);
    // A file to remove along with the rest, or not at all.
    void remove(const QString &target);
    // Where commit() notes its steps while it renames.
    void setJournal(const QString &path) { journal = path; }

    // Undoes what a killed commit() did, by its journal; true when there was
    // none, or everything is back.
    static bool recover(const QString &journal, QString *error);
    // A temporary name of this writer's (a killed process leaves them).
    static bool isLeftover(const QString &fileName);
    // Removes the leftovers in folder; their names.
    static QStringList removeLeftovers(const QString &folder);

    bool commit();
    QString errorString() const { return error; }

private:
    struct Staged;
    void rollBack(int done);
    std::vector<std::unique_ptr<Staged>> staged;
    QStringList madeFolders;
    QString journal;
    QString error;
};

#endif // RELEASEWRITER_H
