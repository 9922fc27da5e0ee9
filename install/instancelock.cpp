#include "instancelock.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSysInfo>

InstanceLock::InstanceLock(const QString &folder)
    : path(fileName(folder))
    , lockFile(path)
{
    // An update may take hours; only a holder that is gone makes a lock stale.
    lockFile.setStaleLockTime(0);
}

QString InstanceLock::fileName(const QString &folder)
{
    return folder + QStringLiteral("/KorvelUpdater.lock");
}

bool InstanceLock::acquire()
{
    if (lockFile.tryLock(0))
        return true;
    if (lockFile.error() == QLockFile::LockFailedError && namesThisProcess()
        && lockFile.removeStaleLockFile() && lockFile.tryLock(0))
        return true;
    if (lockFile.error() == QLockFile::LockFailedError) {
        qDebug() << "Another updater holds" << path;
        return false;
    }
    return true;
}

// A killed updater's process id comes back to a later one: Wine gives it to
// the next program at once, Windows after a reboot. QLockFile then finds the
// id running under the updater's name, but that process is this one.
bool InstanceLock::namesThisProcess() const
{
    qint64 pid = 0;
    QString host;
    QString application;
    return lockFile.getLockInfo(&pid, &host, &application)
            && pid == QCoreApplication::applicationPid() && host == QSysInfo::machineHostName();
}

void InstanceLock::release()
{
    // Only a lock this process holds is removed.
    lockFile.unlock();
}
