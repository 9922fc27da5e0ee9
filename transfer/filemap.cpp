#include "filemap.h"

#include <QDir>
#include <QFile>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

FileMap::~FileMap()
{
    close();
}

#ifdef Q_OS_WIN

bool FileMap::open(const QString &path)
{
    close();
    const QString native = QDir::toNativeSeparators(path);
    // Open to others for everything they may do to it while it is mapped.
    file = CreateFileW(reinterpret_cast<const wchar_t *>(native.utf16()), GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size;
    if (file == INVALID_HANDLE_VALUE) {
        file = nullptr;
    } else if (GetFileSizeEx(file, &size)) {
        length = size.QuadPart;
        if (length == 0)
            return true;
        mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping)
            bytes = static_cast<const char *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
        if (bytes)
            return true;
    }
    error = qt_error_string(int(GetLastError()));
    close();
    return false;
}

void FileMap::close()
{
    if (bytes)
        UnmapViewOfFile(bytes);
    if (mapping)
        CloseHandle(mapping);
    if (file)
        CloseHandle(file);
    bytes = nullptr;
    mapping = nullptr;
    file = nullptr;
    length = 0;
}

uchar *FileMap::mapForWriting(QFile *file, qint64 size, QString *error)
{
    // NTFS gives the new length its clusters at once.
    uchar *map = file->resize(size) ? file->map(0, size) : nullptr;
    if (!map)
        *error = file->errorString();
    return map;
}

void FileMap::flush(uchar *map, qint64 size)
{
    FlushViewOfFile(map, SIZE_T(size));
}

// Windows never takes a mapped page away (see the header).
bool FileMap::guarded(Range, Range, void (*work)(void *), void *context)
{
    work(context);
    return true;
}

#else

bool FileMap::open(const QString &path)
{
    close();
    descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (descriptor >= 0 && ::fstat(descriptor, &status) == 0) {
        length = status.st_size;
        if (length == 0)
            return true;
        void *map = ::mmap(nullptr, size_t(length), PROT_READ, MAP_SHARED, descriptor, 0);
        if (map != MAP_FAILED) {
            bytes = static_cast<const char *>(map);
            return true;
        }
    }
    error = qt_error_string(errno);
    close();
    return false;
}

void FileMap::close()
{
    if (bytes)
        ::munmap(const_cast<char *>(bytes), size_t(length));
    if (descriptor >= 0)
        ::close(descriptor);
    bytes = nullptr;
    descriptor = -1;
    length = 0;
}

uchar *FileMap::mapForWriting(QFile *file, qint64 size, QString *error)
{
    // A sparse file would take its blocks only as the map is written, and a
    // full disk would then be a fault.
    const int result = ::posix_fallocate(file->handle(), 0, size);
    if (result != 0) {
        *error = qt_error_string(result);
        return nullptr;
    }
    uchar *map = file->map(0, size);
    if (!map)
        *error = file->errorString();
    return map;
}

void FileMap::flush(uchar *, qint64)
{
}

namespace {

struct Guard
{
    sigjmp_buf jump;
    FileMap::Range ranges[2];
    struct sigaction before;
};

thread_local Guard *active = nullptr;

bool inside(const FileMap::Range &range, const void *address)
{
    const char *begin = static_cast<const char *>(range.begin);
    const char *at = static_cast<const char *>(address);
    return begin && at >= begin && at < begin + range.size;
}

void onBusError(int signal, siginfo_t *info, void *context)
{
    Guard *guard = active;
    if (guard && (inside(guard->ranges[0], info->si_addr) || inside(guard->ranges[1], info->si_addr)))
        siglongjmp(guard->jump, 1);
    // Not ours: what would have happened without this handler.
    if (!guard || !(guard->before.sa_flags & SA_SIGINFO)) {
        const auto handler = guard ? guard->before.sa_handler : SIG_DFL;
        if (handler != SIG_DFL && handler != SIG_IGN) {
            handler(signal);
            return;
        }
        // The faulting instruction runs again and meets the default.
        struct sigaction fallback = {};
        fallback.sa_handler = SIG_DFL;
        sigaction(SIGBUS, &fallback, nullptr);
        return;
    }
    guard->before.sa_sigaction(signal, info, context);
}

} // namespace

bool FileMap::guarded(Range first, Range second, void (*work)(void *), void *context)
{
    Guard guard;
    guard.ranges[0] = first;
    guard.ranges[1] = second;
    struct sigaction action = {};
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    // Installed only for the call: outside it, faults are left to whoever
    // handled them before (a sanitizer, or the default).
    if (sigaction(SIGBUS, &action, &guard.before) != 0) {
        work(context);
        return true;
    }
    active = &guard;
    // The signal mask is saved too: the jump leaves the handler, where SIGBUS is blocked.
    const bool completed = sigsetjmp(guard.jump, 1) == 0;
    if (completed)
        work(context);
    active = nullptr;
    sigaction(SIGBUS, &guard.before, nullptr);
    return completed;
}

#endif
