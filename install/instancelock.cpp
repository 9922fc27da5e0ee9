#include "instancelock.h"

#include <QDebug>

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
    if (lockFile.error() == QLockFile::LockFailedError) {
        qDebug() << "Another updater holds" << path;
        return false;
    }
    return true;
}

void InstanceLock::release()
{
    // Only a lock this process holds is removed.
    lockFile.unlock();
}
