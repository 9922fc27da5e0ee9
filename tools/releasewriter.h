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

    bool commit();
    QString errorString() const { return error; }

private:
    struct Staged;
    void rollBack(int done);
    std::vector<std::unique_ptr<Staged>> staged;
    QStringList madeFolders;
    QString error;
};

#endif // RELEASEWRITER_H
