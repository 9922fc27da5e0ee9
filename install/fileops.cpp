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
#include <sys/stat.h>
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

// An existing folder's path with every link resolved; empty when it is missing.
QString canonicalFolder(const QString &path)
{
#ifdef Q_OS_WIN
    // The handle's own path: junctions, links and short names resolved, the
    // letter case as stored.
    const HANDLE folder = CreateFileW(nativePath(path).c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return QString();
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(folder, &buffer[0], DWORD(buffer.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(folder);
    if (length == 0 || length >= buffer.size())
        return QString();
    QString name = QString::fromWCharArray(buffer.data(), int(length));
    if (name.startsWith(QLatin1String("\\\\?\\UNC\\")))
        name = QLatin1String("\\\\") + name.mid(8);
    else if (name.startsWith(QLatin1String("\\\\?\\")))
        name = name.mid(4);
    return QDir::fromNativeSeparators(name);
#else
    const QFileInfo info(path);
    return info.isDir() ? info.canonicalFilePath() : QString();
#endif
}

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

bool makeFolder(const QString &path, QString *error)
{
#ifdef Q_OS_WIN
    const bool ok = CreateDirectoryW(nativePath(path).c_str(), nullptr);
#else
    const bool ok = ::mkdir(QFile::encodeName(path).constData(), 0777) == 0;
#endif
    if (!ok && error)
        *error = qt_error_string();
    return ok;
}

QString identity(const QString &path)
{
    const QFileInfo info(path);
    QString folder = info.absolutePath();
    QStringList missing;
    QString known = canonicalFolder(folder);
    while (known.isEmpty()) {
        const QFileInfo up(folder);
        if (up.path() == folder)
            break;
        missing.prepend(up.fileName());
        folder = up.path();
        known = canonicalFolder(folder);
    }
    QString name = info.fileName();
#ifdef Q_OS_WIN
    // An existing file's long name, whichever name reached it.
    WIN32_FIND_DATAW found;
    const HANDLE find = name.contains(QLatin1Char('*')) || name.contains(QLatin1Char('?'))
            ? INVALID_HANDLE_VALUE
            : FindFirstFileW(nativePath(path).c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        name = QString::fromWCharArray(found.cFileName);
        FindClose(find);
    }
#endif
    QString result = known.isEmpty() ? folder : known;
    if (!missing.isEmpty())
        result = QDir::cleanPath(result + QLatin1Char('/') + missing.join(QLatin1Char('/')));
    if (!result.endsWith(QLatin1Char('/')))
        result += QLatin1Char('/');
    result += name;
#ifdef Q_OS_WIN
    return result.toCaseFolded();
#else
    return result;
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
            QStringLiteral("^KorvelUpdater\\.(journal|lock|serial|kept)(\\..*)?$|\\.korvel-part$"
                           "|\\.korvel-old(-[0-9]+)?$"),
            QRegularExpression::CaseInsensitiveOption);
    if (own.match(name).hasMatch())
        return QStringLiteral("one of the updater's own files");
    return QString();
}

} // namespace FileOps
