#include "fileops.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

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

QString fileNameProblem(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("empty");
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return QStringLiteral("holds a folder separator");
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("not a file");
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || QStringLiteral("<>:\"|?*").contains(c))
            return QStringLiteral("holds a character Windows forbids in a name");
    }
    // "name." is "name" on Windows: another file than the one signed or meant.
    if (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        return QStringLiteral("ends in a dot or a blank, which Windows drops");
    // A device whatever the extension ("nul.txt", "COM1 .log"); Windows counts
    // the superscript digits too.
    static const QRegularExpression device(
            QStringLiteral("^(CON|PRN|AUX|NUL|COM[1-9\u00b9\u00b2\u00b3]|LPT[1-9\u00b9\u00b2\u00b3]) *(\\..*)?$"),
            QRegularExpression::CaseInsensitiveOption);
    if (device.match(name).hasMatch())
        return QStringLiteral("a Windows device name");
    static const QRegularExpression own(
            QStringLiteral("^KorvelUpdater\\.(journal|lock|serial)(\\..*)?$|\\.korvel-part$"
                           "|\\.korvel-old(-[0-9]+)?$"),
            QRegularExpression::CaseInsensitiveOption);
    if (own.match(name).hasMatch())
        return QStringLiteral("one of the updater's own files");
    return QString();
}

} // namespace FileOps
