#ifndef SIGNEDRELEASE_H
#define SIGNEDRELEASE_H

#include "itemplan.h"
#include "transferrules.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVector>

#include <memory>

class PublisherKeys;
class QNetworkReply;

// The release a keyed updater may install: the manifest as the publisher
// signed it (ComponentSignature), fetched with its signature file apart from
// the document's own load of the same address, so that a manifest altered on
// the way can neither add, move, swap nor hold back a component.
//
// The signed manifest carries a "serial" attribute on "model" (a decimal
// integer that only goes up from release to release) and a "sha256" element
// in every item. Each download must be one of its items (the same address,
// the same target), with its bytes; the commit needs every item installed or
// failed, and records the serial in the updater's folder. A release older
// than the recorded one is refused before anything is fetched.
//
// Every refusal writes one "Refused:" line with its reason.
//
// An item may also offer cheaper ways to its file (delta()): its <sha256>,
// a compressed copy and patches from earlier releases' files. In a build
// without keys the manifest is fetched alone and read only for those: nothing
// is refused, and an item it does not name is fetched whole, as always.
class SignedRelease : public QObject
{
    Q_OBJECT

public:
    enum class State { Idle, Fetching, Verified, Refused };

    using Source = ItemSource;
    using Patch = ItemPatch;
    using Delta = ItemDelta;

    // folder: the updater's own, for "installdir" and the recorded serial;
    // publisherKeys: the PEM text of the keys a release must be signed with,
    // empty to read the manifest only for its cheaper transfers.
    SignedRelease(const QString &folder, const QByteArray &publisherKeys,
                  QObject *parent = nullptr);
    ~SignedRelease() override;

    static QString serialPath(const QString &folder);

    // Bounds on what is fetched: no more is ever held.
    static constexpr int MaximumManifestSize = 4 * 1024 * 1024;

    State state() const { return currentState; }
    bool isSigned() const { return keys != nullptr; }
    // Fetches the manifest and its signature; settled() follows.
    void fetch(const QUrl &manifest);
    // Checks a fetched manifest and its signature file.
    void verify(const QByteArray &manifest, const QByteArray &signatureFile);

    // The signed item that a download must be, by its address and target:
    // its index, and its SHA-256 in sha256Hex. -1 when there is none, with the
    // reason (empty when the release itself was refused, which said so).
    int find(const QUrl &url, const QString &target, QByteArray *sha256Hex, QString *reason) const;
    // What the item offers besides its address; empty without a signed or
    // read release.
    Delta delta(int item) const;
    // Every item's target, once the release has been read.
    QSet<QString> targets() const;
    // The item was installed, or failed as a download.
    void settle(int item);
    // The end of the sequence: every item settled, and the serial recorded.
    // False, with its line, when not.
    bool commit();

signals:
    void settled();

private:
    struct Item
    {
        QUrl url;
        QString target;
        Delta delta;
        bool settled = false;
    };

    void fetched();
    void refuse(const QString &reason);
    QString parse(const QByteArray &manifest);
    QString checkSerial() const;
    QString targetOf(const QString &name, const QString &installLocation) const;

    QString folder;
    std::unique_ptr<PublisherKeys> keys;
    RuledNetworkAccessManager network;
    QUrl address;
    QNetworkReply *manifestReply = nullptr;
    QNetworkReply *signatureReply = nullptr;
    QByteArray manifestData;
    QByteArray signatureData;
    State currentState = State::Idle;
    quint64 serial = 0;
    QVector<Item> items;
    QHash<QString, int> byTarget;
};

#endif // SIGNEDRELEASE_H
