#ifndef ITEMPLAN_H
#define ITEMPLAN_H

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QVector>

// A file the item's file can be made from.
struct ItemSource
{
    QUrl url;
    qint64 size = -1;
    QByteArray sha256;
};

// A patch, against the earlier file whose SHA-256 is base.
struct ItemPatch : ItemSource
{
    QByteArray base;
};

// What a release offers of one item besides its address.
struct ItemDelta
{
    // The whole file's size (<filesize>), -1 when the manifest does not say.
    qint64 size = -1;
    // Lower-case hex; empty when the manifest has none.
    QByteArray sha256;
    // No url when there is none.
    ItemSource compressed;
    QVector<ItemPatch> patches;
};

// How one item comes: not at all when the installed file is already the
// item, else the cheapest way its release offers, else the whole file. A way
// listed as larger than the file itself is never chosen, and without the
// file's size nothing can bound a decoded result, so only the whole file.
struct ItemPlan
{
    enum class Way { Unchanged, Whole, Compressed, Patch };

    // Whether the file installed at the target is worth its hash: only a file
    // that may be the item, or a patch's base; a huge stray file would take
    // minutes of CPU for nothing.
    static bool worthHashing(const ItemDelta &delta, const QString &installed);
    // installedSha256: the installed file's, empty when it was not hashed.
    static ItemPlan choose(const ItemDelta &delta, const QString &installed,
                           const QByteArray &installedSha256);

    Way way = Way::Whole;
    // The patch or copy, for those ways.
    ItemSource source;
};

#endif // ITEMPLAN_H
