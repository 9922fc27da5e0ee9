#include "itemplan.h"

#include "filehash.h"
#include "keptfiles.h"
#include "zstdpatch.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

QString ItemPlan::failure(const QString &target, int size, int limit)
{
    if (!QFileInfo(target).dir().exists()) {
        // A pretty-printed <installlocation> keeps its line ends and blanks.
        if (!target.isEmpty() && target.front().isSpace())
            return QStringLiteral("its folder does not exist (the install location has blanks "
                                  "or line ends around it)");
        return QStringLiteral("its folder does not exist");
    }
    return QStringLiteral("%1 bytes, %2 or less: the file stays as it was").arg(size).arg(limit);
}

bool ItemPlan::worthHashing(const ItemDelta &delta, const QString &installed)
{
    const QFileInfo info(installed);
    if (delta.sha256.isEmpty() || !info.isFile())
        return false;
    const bool mayMatch = delta.size < 0 || info.size() == delta.size;
    const bool mayBeBase = !delta.patches.isEmpty() && info.size() <= ZstdEncoder::PatchSizeLimit;
    return mayMatch || mayBeBase;
}

ItemPlan ItemPlan::choose(const ItemDelta &delta, const QString &installed,
                          const QByteArray &installedSha256)
{
    ItemPlan plan;
    if (!installedSha256.isEmpty() && installedSha256 == delta.sha256) {
        plan.way = Way::Unchanged;
        return plan;
    }
    if (delta.size < 0)
        return plan;
    const bool patchable = delta.size <= ZstdEncoder::PatchSizeLimit
            && QFileInfo(installed).size() <= ZstdEncoder::PatchSizeLimit;
    for (const ItemPatch &patch : delta.patches) {
        if (patchable && !installedSha256.isEmpty() && patch.base == installedSha256
            && patch.size <= delta.size) {
            plan.way = Way::Patch;
            plan.source = patch;
            return plan;
        }
    }
    if (!delta.compressed.url.isEmpty() && delta.compressed.size <= delta.size) {
        plan.way = Way::Compressed;
        plan.source = delta.compressed;
    }
    return plan;
}

KeptUse KeptUse::choose(KeptFiles *kept, const QString &target, const QUrl &url,
                        const ItemDelta &delta, ItemPlan::Way way)
{
    KeptUse use;
    if (!kept)
        return use;
    const KeptFiles::Record record = kept->find(target, &use.path);
    const bool whole = record.whole && !delta.sha256.isEmpty() && record.sha256 == delta.sha256;
    // A patch or a copy would cost less than the rest of the file.
    const bool partial = !record.whole && way == ItemPlan::Way::Whole && delta.size != 0
            && record.url == url && !record.validator.isEmpty()
            && (delta.size < 0 || QFileInfo(use.path).size() <= delta.size);
    if (use.path.isEmpty() || !(whole || partial)) {
        kept->drop(target);
        return KeptUse();
    }
    use.kind = whole ? Kind::Whole : Kind::Partial;
    use.validator = partial ? record.validator : QByteArray();
    return use;
}

ItemPlanner::ItemPlanner(QObject *parent)
    : QObject(parent)
{
}

ItemPlanner::~ItemPlanner()
{
    stop();
}

void ItemPlanner::start(const ItemDelta &itemDelta, const QString &itemTarget, const QUrl &itemUrl,
                        KeptFiles *keptFiles, const QByteArray &itemSignedSha256)
{
    stop();
    delta = itemDelta;
    target = itemTarget;
    url = itemUrl;
    kept = keptFiles;
    signedSha256 = itemSignedSha256;
    if (ItemPlan::worthHashing(delta, target))
        hash(target, &ItemPlanner::installedHashed);
    else
        installedHashed(QByteArray());
}

void ItemPlanner::stop()
{
    delete fileHash;
    fileHash = nullptr;
}

void ItemPlanner::hash(const QString &path, void (ItemPlanner::*then)(const QByteArray &))
{
    fileHash = new FileHash(path, this);
    connect(fileHash, &FileHash::done, this, then);
    fileHash->start();
}

void ItemPlanner::installedHashed(const QByteArray &sha256Hex)
{
    if (fileHash) {
        fileHash->deleteLater();
        fileHash = nullptr;
    }
    plan = ItemPlan::choose(delta, target, sha256Hex);
    use = plan.way == ItemPlan::Way::Unchanged ? KeptUse()
                                               : KeptUse::choose(kept, target, url, delta, plan.way);
    if (use.kind == KeptUse::Kind::Whole)
        hash(use.path, &ItemPlanner::keptHashed);
    else
        emit planned(plan, use);
}

// A kept file altered since it was verified is never used.
void ItemPlanner::keptHashed(const QByteArray &sha256Hex)
{
    fileHash->deleteLater();
    fileHash = nullptr;
    if (sha256Hex == delta.sha256 && (signedSha256.isEmpty() || sha256Hex == signedSha256)) {
        plan.way = ItemPlan::Way::Whole;
    } else {
        qDebug() << "Not used:" << use.path << "its SHA-256 is not the listed one";
        kept->drop(target);
        use = KeptUse();
    }
    emit planned(plan, use);
}
