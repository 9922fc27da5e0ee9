#include "itemplan.h"

#include "zstdpatch.h"

#include <QFileInfo>

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
