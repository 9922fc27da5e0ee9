#include "fileidentity.h"

#include <QDir>
#include <QFile>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
FileIdentity identityOf(HANDLE handle)
{
    FileIdentity identity;
    BY_HANDLE_FILE_INFORMATION info;
    if (handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info)) {
        identity.volume = info.dwVolumeSerialNumber;
        identity.file = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        identity.valid = true;
    }
    return identity;
}
#else
FileIdentity identityOf(const struct stat &info)
{
    FileIdentity identity;
    identity.volume = quint64(info.st_dev);
    identity.file = quint64(info.st_ino);
    identity.valid = true;
    return identity;
}
#endif

} // namespace

FileIdentity FileIdentity::of(const QString &path)
{
#ifdef Q_OS_WIN
    // No access asked for: a file that another program holds still answers;
    // backup semantics let a folder be opened too.
    const QString native = QDir::toNativeSeparators(path);
    const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(native.utf16()), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const FileIdentity identity = identityOf(handle);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return identity;
#else
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return FileIdentity();
    return identityOf(info);
#endif
}

FileIdentity FileIdentity::ofStandardOutput()
{
#ifdef Q_OS_WIN
    const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK)
        return FileIdentity();
    return identityOf(handle);
#else
    struct stat info;
    if (::fstat(STDOUT_FILENO, &info) != 0 || !S_ISREG(info.st_mode))
        return FileIdentity();
    return identityOf(info);
#endif
}
