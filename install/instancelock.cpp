#include "instancelock.h"

#include <QDebug>
#include <QDir>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

InstanceLock::InstanceLock(const QString &folder)
    : path(fileName(folder))
{
}

InstanceLock::~InstanceLock()
{
    release();
}

QString InstanceLock::fileName(const QString &folder)
{
    return folder + QStringLiteral("/KorvelUpdater.lock");
}

#ifdef Q_OS_WIN

bool InstanceLock::acquire()
{
    if (handle)
        return true;
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    // No sharing: while this handle is open, no other process opens the file
    // at all. The handle is not inherited, so the application that the
    // updater starts never holds it.
    for (const DWORD access : {DWORD(GENERIC_READ | GENERIC_WRITE), DWORD(GENERIC_READ)}) {
        HANDLE opened = CreateFileW(name.c_str(), access, 0, nullptr,
                                    access & GENERIC_WRITE ? OPEN_ALWAYS : OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (opened != INVALID_HANDLE_VALUE) {
            handle = opened;
            return true;
        }
        if (GetLastError() == ERROR_SHARING_VIOLATION || GetLastError() == ERROR_LOCK_VIOLATION) {
            qDebug() << "Another updater holds" << path;
            return false;
        }
        // A folder that may not be written: an existing file still locks, read-only.
    }
    return true;
}

void InstanceLock::release()
{
    if (!handle)
        return;
    CloseHandle(HANDLE(handle));
    handle = nullptr;
}

#else

bool InstanceLock::acquire()
{
    if (fd >= 0)
        return true;
    const QByteArray name = QFile::encodeName(path);
    // Close-on-exec: the application that the updater starts never holds it.
    fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    // A folder that may not be written: an existing file still locks, read-only.
    if (fd < 0)
        fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true;
    // Bound to this open file, which the kernel closes as the process dies,
    // before its parent has reaped it.
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0)
        return true;
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    fd = -1;
    if (held)
        qDebug() << "Another updater holds" << path;
    return !held;
}

void InstanceLock::release()
{
    if (fd < 0)
        return;
    ::close(fd);
    fd = -1;
}

#endif
