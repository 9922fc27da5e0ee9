#ifndef INSTANCELOCK_H
#define INSTANCELOCK_H

#include <QLockFile>
#include <QString>

// One updater at a time per installation: a lock file in the updater's own
// folder. A crashed holder does not keep it (QLockFile finds that its process
// is gone), and neither does a lock that names this very process. A folder
// where no lock can be made is locked by nobody, so the updater then runs
// without one.
class InstanceLock
{
public:
    explicit InstanceLock(const QString &folder);

    static QString fileName(const QString &folder);

    // False only when another running updater holds the lock.
    bool acquire();
    // Lets go of the lock, for an end without destructors.
    void release();

private:
    bool namesThisProcess() const;

    QString path;
    QLockFile lockFile;
};

#endif // INSTANCELOCK_H
