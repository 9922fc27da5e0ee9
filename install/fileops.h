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
// Creates one folder in an existing one.
bool makeFolder(const QString &path, QString *error);

// The entry at path as the file system knows it, so that two paths to one
// file are one: its folder's links and junctions resolved (a folder still
// missing by the nearest one that exists), and on Windows short names
// expanded and the letter case folded.
QString identity(const QString &path);

// Why name is never written as a component, on any platform, since the
// manifest is written for Windows: empty when it is a plain file name. Refused:
// a separator, "." and "..", the characters Windows forbids (<>:"|?* and
// control characters), a trailing dot or blank (Windows drops them), the
// device names (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with any extension), the
// updater's own files and its staging and set-aside suffixes.
QString fileNameProblem(const QString &name);
inline bool isPlainFileName(const QString &name) { return fileNameProblem(name).isEmpty(); }

} // namespace FileOps

#endif // FILEOPS_H
