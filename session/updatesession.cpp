#include "updatesession.h"

#include "instancelock.h"
#include "keptfiles.h"
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
    , keptFiles(new KeptFiles(folder))
    , transaction(new ReleaseTransaction(folder))
{
    transaction->setKeeper(keptFiles.get());
    // A keyed build installs only the release its publisher signed; any
    // build reads the manifest for the cheaper ways to each file.
    release.reset(new SignedRelease(folder, publisherKeys, this));
    connect(release.get(), &SignedRelease::settled, this, &UpdateSession::releaseSettled);
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

SignedRelease *UpdateSession::currentRelease()
{
    return current ? current->release.get() : nullptr;
}

KeptFiles *UpdateSession::currentKept()
{
    return current ? current->keptFiles.get() : nullptr;
}

bool UpdateSession::keyed()
{
    return current && current->release->isSigned();
}

void UpdateSession::settle(int item)
{
    if (current)
        current->release->settle(item);
}

bool UpdateSession::begin()
{
    // A second updater of this installation would write into the same files.
    if (!lock->acquire())
        return false;
    // Before anything else, a run that was killed or lost its power goes
    // back to the release it started from; the journal stays when it cannot.
    // What it had verified, or was fetching, is kept on the way.
    keptFiles->load();
    if (!transaction->recover())
        return false;
    keptFiles->settle();
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
    if (!transaction->commit())
        return false;
    keptFiles->clear();
    return true;
}

bool UpdateSession::rollBack()
{
    if (!transaction->rollBack())
        return false;
    keptFiles->settle();
    return true;
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

// What the manifest no longer names is of no use to any later start.
void UpdateSession::releaseSettled()
{
    if (release->state() == SignedRelease::State::Verified)
        keptFiles->prune(release->targets());
}

void UpdateSession::fetchRelease()
{
    fetchPending = false;
    if (!address.isEmpty())
        release->fetch(QUrl(address));
}
