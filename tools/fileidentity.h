#ifndef FILEIDENTITY_H
#define FILEIDENTITY_H

#include <QHashFunctions>
#include <QString>
#include <QtGlobal>

// Which file a path or standard output is, whatever the path's spelling: a
// symbolic link, another letter case or a short name all lead to the same
// identity (device and inode on Unix, volume serial and file index on
// Windows).
struct FileIdentity
{
    quint64 volume = 0;
    quint64 file = 0;
    bool valid = false;

    bool operator==(const FileIdentity &other) const
    {
        return valid && other.valid && volume == other.volume && file == other.file;
    }
    bool operator!=(const FileIdentity &other) const { return !(*this == other); }

    // Invalid when the path names nothing (or cannot be opened).
    static FileIdentity of(const QString &path);
    // Invalid unless standard output is a file on a disk.
    static FileIdentity ofStandardOutput();
};

inline uint qHash(const FileIdentity &identity, uint seed = 0)
{
    return ::qHash(identity.file, seed) ^ uint(identity.volume);
}

#endif // FILEIDENTITY_H
