#ifndef ITEMPLAN_H
#define ITEMPLAN_H

#include <QByteArray>
#include <QObject>
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

    // Why a result of size bytes (at most limit) is a failed download at target.
    static QString failure(const QString &target, int size, int limit);

    Way way = Way::Whole;
    // The patch or copy, for those ways.
    ItemSource source;
};

class KeptFiles;

// What an earlier run kept of an item (KeptFiles) that this one may start
// from: the verified file, to be hashed again before it is used, or the
// partial of the same address, to go on from with If-Range. Anything else
// kept of the target goes.
struct KeptUse
{
    enum class Kind { None, Whole, Partial };

    static KeptUse choose(KeptFiles *kept, const QString &target, const QUrl &url,
                          const ItemDelta &delta, ItemPlan::Way way);

    Kind kind = Kind::None;
    QString path;
    QByteArray validator;
};

class FileHash;

// Decides how an item comes, hashing what it must from the event loop: the
// installed file, when it may be the item or a patch's base, and a kept
// whole file, which is used only when it is still the listed file (and the
// signed one). planned() follows, at once or later.
class ItemPlanner : public QObject
{
    Q_OBJECT

public:
    explicit ItemPlanner(QObject *parent = nullptr);
    ~ItemPlanner() override;

    // signedSha256: what a kept file must also be; empty in a build without keys.
    void start(const ItemDelta &delta, const QString &target, const QUrl &url, KeptFiles *kept,
               const QByteArray &signedSha256);
    // No planned() follows.
    void stop();

signals:
    void planned(const ItemPlan &plan, const KeptUse &use);

private:
    void hash(const QString &path, void (ItemPlanner::*then)(const QByteArray &));
    void installedHashed(const QByteArray &sha256Hex);
    void keptHashed(const QByteArray &sha256Hex);

    FileHash *fileHash = nullptr;
    ItemDelta delta;
    QString target;
    QUrl url;
    KeptFiles *kept = nullptr;
    QByteArray signedSha256;
    ItemPlan plan;
    KeptUse use;
};

#endif // ITEMPLAN_H
