#include "updatesession.h"

#include "instancelock.h"
#include "releasetransaction.h"
#include "signedrelease.h"
#include "stagedfile.h"

#include <QTimer>
#include <QUrl>

namespace {

UpdateSession *current = nullptr;

} // namespace

UpdateSession::UpdateSession(const QString &folder, const QByteArray &publisherKeys,
                             QObject *parent)
    : QObject(parent)
    , folder(folder)
    , lock(new InstanceLock(folder))
    , transaction(new ReleaseTransaction(folder))
{
    // A keyed build installs only the release its publisher signed; any
    // build reads the manifest for the cheaper ways to each file.
    release.reset(new SignedRelease(folder, publisherKeys, this));
    if (!current)
        current = this;
}

UpdateSession::~UpdateSession()
{
    if (current == this)
        current = nullptr;
}

UpdateSession *UpdateSession::instance()
{
    return current;
}

bool UpdateSession::begin()
{
    // A second updater of this installation would write into the same files.
    if (!lock->acquire())
        return false;
    // Before anything else, a run that was killed or lost its power goes
    // back to the release it started from; the journal stays when it cannot.
    if (!transaction->recover())
        return false;
    StagedFile::removeLeftovers(folder);
    return true;
}

StagingJournal *UpdateSession::journal() const
{
    return transaction.get();
}

bool UpdateSession::commit()
{
    // The serial first: once the release is kept, it is never older than
    // the one recorded.
    if (!release->commit())
        return false;
    return transaction->commit();
}

bool UpdateSession::rollBack()
{
    return transaction->rollBack();
}

void UpdateSession::releaseLock()
{
    lock->release();
}

void UpdateSession::handOffLine(const QString &line)
{
    address = line;
    // Every line comes within one call: the last one is known once it returns.
    if (!fetchPending) {
        fetchPending = true;
        QTimer::singleShot(0, this, &UpdateSession::fetchRelease);
    }
}

void UpdateSession::fetchRelease()
{
    fetchPending = false;
    if (!address.isEmpty())
        release->fetch(QUrl(address));
}
