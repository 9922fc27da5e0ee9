#include "instancelock.h"

#include <QDebug>

InstanceLock *InstanceLock::current = nullptr;

InstanceLock::InstanceLock(const QString &folder)
    : path(fileName(folder))
    , lockFile(path)
{
    // An update may take hours; only a holder that is gone makes a lock stale.
    lockFile.setStaleLockTime(0);
}

InstanceLock::~InstanceLock()
{
    if (current == this)
        current = nullptr;
}

QString InstanceLock::fileName(const QString &folder)
{
    return folder + QStringLiteral("/KorvelUpdater.lock");
}

bool InstanceLock::acquire()
{
    if (lockFile.tryLock(0)) {
        current = this;
        return true;
    }
    if (lockFile.error() == QLockFile::LockFailedError) {
        qDebug() << "Another updater holds" << path;
        return false;
    }
    return true;
}

void InstanceLock::release()
{
    if (current)
        current->lockFile.unlock();
    current = nullptr;
}
