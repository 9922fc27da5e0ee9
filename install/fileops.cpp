#include "fileops.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
std::wstring nativePath(const QString &path)
{
    QString native = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    // MoveFileEx takes longer paths only in their extended form.
    if (native.size() >= MAX_PATH && !native.startsWith(QLatin1String("\\\\")))
        native.prepend(QLatin1String("\\\\?\\"));
    return native.toStdWString();
}
#endif

} // namespace

namespace FileOps {

bool exists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

bool renameFile(const QString &from, const QString &to, QString *error)
{
#ifdef Q_OS_WIN
    const bool ok = MoveFileExW(nativePath(from).c_str(), nativePath(to).c_str(), 0);
#else
    const bool ok = std::rename(QFile::encodeName(from).constData(),
                                QFile::encodeName(to).constData()) == 0;
#endif
    if (!ok && error)
        *error = qt_error_string();
    return ok;
}

bool removeFile(const QString &path)
{
    if (QFile::remove(path))
        return true;
    // Windows refuses to delete a read-only file, and the old component may be one.
    return QFile::setPermissions(path, QFile::permissions(path) | QFile::WriteOwner)
            && QFile::remove(path);
}

bool sync(const QString &path, QString *error)
{
#ifdef Q_OS_WIN
    // Folders need no flush: NTFS journals their entries. Any handle that may
    // write flushes the whole file, also while another handle has it open.
    if (QFileInfo(path).isDir())
        return true;
    const HANDLE file = CreateFileW(nativePath(path).c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = file != INVALID_HANDLE_VALUE && FlushFileBuffers(file);
    if (!ok && error)
        *error = qt_error_string();
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return ok;
#else
    // fsync flushes the file's pages whichever descriptor wrote them.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::fsync(fd) == 0;
    if (!ok && error)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    if (fd >= 0)
        ::close(fd);
    return ok;
#endif
}

bool sync(QFile *file, QString *error)
{
#ifdef Q_OS_WIN
    return sync(file->fileName(), error);
#else
    // The data and the size, not the times: one write less for a small file.
    const bool ok = ::fdatasync(file->handle()) == 0;
    if (!ok && error)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    return ok;
#endif
}

bool isPlainFileName(const QString &name)
{
    QString plain = name;
#ifdef Q_OS_WIN
    // Windows drops trailing dots and blanks (".. " is ".."), and reads a
    // colon as a drive ("C:x") or a stream.
    while (plain.endsWith(QLatin1Char('.')) || plain.endsWith(QLatin1Char(' ')))
        plain.chop(1);
    if (plain.contains(QLatin1Char(':')))
        plain.clear();
#endif
    return !plain.isEmpty() && plain != QLatin1String(".") && plain != QLatin1String("..")
            && !plain.contains(QLatin1Char('/')) && !plain.contains(QLatin1Char('\\'));
}

} // namespace FileOps
