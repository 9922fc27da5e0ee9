#ifndef INSTANCELOCK_H
#define INSTANCELOCK_H

#include <QString>

// One updater at a time per installation: a lock the operating system holds
// on the file KorvelUpdater.lock in the updater's own folder, through a handle
// that it lets go of when the process ends, however it ends (a kill, a crash,
// a logoff, a power cut). Nothing in the file is read: no process id or host
// name is compared, and nothing is ever taken for stale. The file itself
// stays between runs. A folder where the lock cannot be had (no right to
// create the file) is locked by nobody, so the updater then runs without one.
class InstanceLock
{
public:
    explicit InstanceLock(const QString &folder);
    ~InstanceLock();

    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    static QString fileName(const QString &folder);

    // False only when another running updater holds the lock.
    bool acquire();
    // Lets go of the lock, for an end without destructors.
    void release();

private:
    QString path;
#ifdef Q_OS_WIN
    void *handle = nullptr;
#else
    int fd = -1;
#endif
};

#endif // INSTANCELOCK_H
