#ifndef KEPTFILES_H
#define KEPTFILES_H

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QString>
#include <QUrl>

// What a run that did not commit leaves for the next start of the same
// release: each component that arrived whole and verified against its
// listed SHA-256, and the partial file of an interrupted whole-file
// transfer, with its address and validator. A kept file is never part of the
// installation: it waits in a folder "KorvelUpdater.kept" beside its target
// (the same volume, so it comes and goes by a rename), and an index in the
// updater's folder names it.
//
// A run notes each verified file as it is put in place (noteWhole()) and
// each whole-file transfer as it starts (notePartial()), on disk before the
// roll back that may need them; the roll back, after a close or at the next
// start after a kill, hands over this run's files (keep()) instead of
// removing them. Only a file whose last note says what it is is kept. The
// user hashes a kept file again before it is used: the note is a hint, never
// proof.
class KeptFiles
{
public:
    struct Record
    {
        QString target;
        // Whole and verified with sha256, or a partial of url.
        bool whole = false;
        QByteArray sha256;
        QUrl url;
        QByteArray validator;
    };

    explicit KeptFiles(const QString &folder);
    KeptFiles(const KeptFiles &) = delete;
    KeptFiles &operator=(const KeptFiles &) = delete;

    static QString indexPath(const QString &folder);
    static QString keptPath(const QString &target);

    // Reads the index of earlier runs.
    void load();
    // After the roll back of a killed run: a record without its file goes.
    void settle();

    void noteWhole(const QString &target, const QByteArray &sha256);
    // target has been put in place: verified with sha256, or (empty) not.
    void noteInstalled(const QString &target, const QByteArray &sha256)
    {
        if (sha256.isEmpty())
            drop(target);
        else
            noteWhole(target, sha256);
    }
    void notePartial(const QString &target, const QUrl &url, const QByteArray &validator);
    // From a roll back: file is this run's file of target, placed or (staging)
    // still being written. True when it was kept, moved away from file.
    bool keep(const QString &file, const QString &target, bool staging);

    // The kept file of target, if there is one; path empty when none.
    Record find(const QString &target, QString *path) const;
    // The kept file goes, with its record (also when it is used up).
    void drop(const QString &target);
    // Targets the release does not name any more.
    void prune(const QSet<QString> &targets);
    // The release committed: nothing more is kept.
    void clear();

private:
    void note(const Record &record);
    void append(const QByteArray &line);
    void rewrite();
    static void removeFolderIfEmpty(const QString &target);

    QString folder;
    QHash<QString, Record> records;
    QFile index;
};

#endif // KEPTFILES_H
