#ifndef FILEOPS_H
#define FILEOPS_H

#include <QString>

class QFile;

// The file operations of an update, for staging, the release transaction and
// the records beside them. A rename never falls back to copy and remove, and
// on Windows never replaces an existing file; sync() flushes a file's data,
// or on Linux a folder's entries, to the disk. On failure, error says why.
namespace FileOps {

bool exists(const QString &path);
bool renameFile(const QString &from, const QString &to, QString *error);
bool removeFile(const QString &path);
bool sync(const QString &path, QString *error);
bool sync(QFile *file, QString *error);

// Whether name is a file name within its folder (no separator, ".", ".." or
// empty; on Windows no drive or stream).
bool isPlainFileName(const QString &name);

} // namespace FileOps

#endif // FILEOPS_H
