#include "signedrelease.h"

#include "componentsignature.h"
#include "fileops.h"
#include "releasetransaction.h"
#include "sha256.h"
#include "transferrules.h"

#include <QDebug>
#include <QFile>
#include <QMetaEnum>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSaveFile>
#include <QXmlStreamReader>

namespace {

QString errorName(QNetworkReply::NetworkError code)
{
    return QString::fromLatin1(QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(code));
}

// Decimal digits only, at most 64 bits: no sign, blank or exponent.
bool parseSerial(const QString &text, quint64 *value)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,20}$"));
    bool ok = false;
    *value = digits.match(text).hasMatch() ? text.toULongLong(&ok, 10) : 0;
    return ok;
}

bool isSha256(const QString &text)
{
    static const QRegularExpression sha256(QStringLiteral("^[0-9a-f]{64}$"));
    return sha256.match(text).hasMatch();
}

// A size in decimal bytes; -1 for anything else.
qint64 parseSize(const QString &text)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,18}$"));
    return digits.match(text).hasMatch() ? text.toLongLong() : -1;
}

// <compressed> or <patch>: its address as text, its size and SHA-256 (and a
// patch's base) as attributes. One that is not whole is left out: the whole
// file is always there.
void readSource(QXmlStreamReader *xml, SignedRelease::Delta *delta)
{
    const bool patch = xml->name() == QLatin1String("patch");
    const QXmlStreamAttributes attributes = xml->attributes();
    SignedRelease::Patch source;
    source.size = parseSize(attributes.value(QLatin1String("size")).toString());
    const QString sha256 = attributes.value(QLatin1String("sha256")).toString();
    const QString base = attributes.value(QLatin1String("base")).toString();
    source.url = QUrl(xml->readElementText(QXmlStreamReader::IncludeChildElements));
    if (source.size < 0 || !isSha256(sha256) || !source.url.isValid()
        || source.url.isRelative() || (patch && !isSha256(base)))
        return;
    source.sha256 = sha256.toLatin1();
    if (patch) {
        source.base = base.toLatin1();
        delta->patches.append(source);
    } else {
        delta->compressed = source;
    }
}

} // namespace

SignedRelease::SignedRelease(const QString &folder, const QByteArray &publisherKeys,
                             QObject *parent)
    : QObject(parent)
    , folder(folder)
    , keys(publisherKeys.trimmed().isEmpty() ? nullptr : new PublisherKeys(publisherKeys))
{
}

SignedRelease::~SignedRelease() = default;

QString SignedRelease::serialPath(const QString &folder)
{
    return folder + QStringLiteral("/KorvelUpdater.serial");
}

void SignedRelease::fetch(const QUrl &manifest)
{
    if (currentState != State::Idle)
        return;
    currentState = State::Fetching;
    address = manifest;
    const auto get = [this](const QUrl &url, QByteArray *data, qint64 bound) {
        QNetworkRequest request(url);
        // The components' own rules, redirects included.
        TransferRules::prepare(request);
        QNetworkReply *reply = network.get(request);
        connect(reply, &QNetworkReply::readyRead, this, [reply, data, bound] {
            *data += reply->readAll();
            // Never hold more of an endless answer than the bound.
            if (data->size() > bound)
                reply->abort();
        });
        connect(reply, &QNetworkReply::finished, this, &SignedRelease::fetched);
        return reply;
    };
    manifestReply = get(manifest, &manifestData, MaximumManifestSize);
    if (keys)
        signatureReply = get(ComponentSignature::signatureUrl(manifest), &signatureData,
                             ComponentSignature::MaximumFileSize);
}

void SignedRelease::fetched()
{
    // Both may have finished before the first of their signals arrives.
    if (!manifestReply || !manifestReply->isFinished()
        || (signatureReply && !signatureReply->isFinished()))
        return;
    const QNetworkReply::NetworkError manifestError = manifestReply->error();
    const QNetworkReply::NetworkError signatureError =
            signatureReply ? signatureReply->error() : QNetworkReply::NoError;
    manifestData += manifestReply->readAll();
    manifestReply->deleteLater();
    if (signatureReply) {
        signatureData += signatureReply->readAll();
        signatureReply->deleteLater();
    }
    manifestReply = signatureReply = nullptr;

    // An answer cut at its bound is refused for its size, not as an error.
    if (manifestData.size() <= MaximumManifestSize && manifestError != QNetworkReply::NoError) {
        refuse(QStringLiteral("cannot fetch the manifest (%1)").arg(errorName(manifestError)));
    } else if (signatureData.size() <= ComponentSignature::MaximumFileSize
               && signatureError != QNetworkReply::NoError) {
        refuse(QStringLiteral("no manifest signature at %1 (%2)")
                       .arg(ComponentSignature::signatureUrl(address).toString(),
                            errorName(signatureError)));
    } else {
        verify(manifestData, signatureData);
    }
    manifestData.clear();
    signatureData.clear();
}

void SignedRelease::verify(const QByteArray &manifest, const QByteArray &signatureFile)
{
    if (manifest.size() > MaximumManifestSize) {
        refuse(QStringLiteral("the manifest is longer than %1 bytes").arg(MaximumManifestSize));
        return;
    }
    if (signatureFile.size() > ComponentSignature::MaximumFileSize) {
        refuse(QStringLiteral("the signature file is longer than %1 bytes")
                       .arg(ComponentSignature::MaximumFileSize));
        return;
    }
    QString problem;
    if (keys) {
        Sha256 hash;
        hash.add(manifest);
        // Nothing of the manifest is read before its signature verifies.
        problem = keys->check(signatureFile, ComponentSignature::releaseMessage(hash.hex()));
    }
    if (problem.isEmpty())
        problem = parse(manifest);
    if (problem.isEmpty() && keys)
        problem = checkSerial();
    if (!problem.isEmpty()) {
        refuse(problem);
        return;
    }
    currentState = State::Verified;
    if (keys)
        qDebug() << "Signed release:" << serial << "with" << items.size() << "item(s)";
    emit settled();
}

// The items as the document reads them: "item" children of "model", each
// field the text of its element, nothing trimmed, "installdir" resolved.
QString SignedRelease::parse(const QByteArray &manifest)
{
    items.clear();
    byTarget.clear();
    QXmlStreamReader xml(manifest);
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("model")
        || !xml.namespaceUri().isEmpty()) {
        return xml.hasError() ? QStringLiteral("the manifest is not XML: %1 (line %2)")
                                        .arg(xml.errorString()).arg(xml.lineNumber())
                              : QStringLiteral("the manifest has no <model> element");
    }
    const QString serialText = xml.attributes().value(QLatin1String("serial")).toString();
    if (keys && !parseSerial(serialText, &serial))
        return QStringLiteral("the serial '%1' is not a decimal integer of 64 bits").arg(serialText);

    static const QStringList fieldNames = {QStringLiteral("name"), QStringLiteral("url"),
                                           QStringLiteral("installlocation"),
                                           QStringLiteral("sha256"), QStringLiteral("filesize")};
    while (xml.readNextStartElement()) {
        if (xml.name() != QLatin1String("item") || !xml.namespaceUri().isEmpty()) {
            xml.skipCurrentElement();
            continue;
        }
        const int number = items.size() + 1;
        QHash<QString, QString> fields;
        Delta delta;
        while (xml.readNextStartElement()) {
            const QString field = xml.name().toString();
            if (xml.namespaceUri().isEmpty() && (field == QLatin1String("compressed")
                                                 || field == QLatin1String("patch"))) {
                readSource(&xml, &delta);
                continue;
            }
            if (!fieldNames.contains(field) || !xml.namespaceUri().isEmpty()) {
                xml.skipCurrentElement();
                continue;
            }
            const QString text = xml.readElementText(QXmlStreamReader::IncludeChildElements);
            // One value each, as the document sees one; a size that is not
            // one only costs the cheaper transfers.
            if (fields.contains(field) && field != QLatin1String("filesize"))
                return QStringLiteral("item %1 has two <%2> elements").arg(number).arg(field);
            if (fields.contains(field))
                fields.insert(field, QString());
            else
                fields.insert(field, text);
        }
        // The updater would skip such an item: a signed release is whole or refused.
        const QString name = fields.value(QStringLiteral("name"));
        const QString nameProblem = FileOps::fileNameProblem(name);
        if (!nameProblem.isEmpty() && keys)
            return QStringLiteral("item %1 has a name that is never written: %2 (%3)")
                    .arg(number).arg(name, nameProblem);
        // Read only for its cheaper transfers: the item is never fetched.
        if (!nameProblem.isEmpty())
            continue;
        Item item;
        item.url = QUrl(fields.value(QStringLiteral("url")));
        item.target = targetOf(fields.value(QStringLiteral("name")),
                               fields.value(QStringLiteral("installlocation")));
        const QString sha256 = fields.value(QStringLiteral("sha256"));
        if (isSha256(sha256)) {
            item.delta = delta;
            item.delta.sha256 = sha256.toLatin1();
            item.delta.size = parseSize(fields.value(QStringLiteral("filesize")));
        } else if (keys) {
            return QStringLiteral("item %1 has no <sha256> of 64 lower-case hex digits").arg(number);
        }
        const QString key = ReleaseTransaction::key(item.target);
        if (byTarget.contains(key)) {
            if (keys)
                return QStringLiteral("items %1 and %2 have the same target %3")
                        .arg(byTarget.value(key) + 1).arg(number).arg(item.target);
            // Read only for its cheaper transfers: the first item of a target.
            continue;
        }
        byTarget.insert(key, items.size());
        items.append(item);
    }
    while (!xml.atEnd())
        xml.readNext();
    if (xml.hasError())
        return QStringLiteral("the manifest is not XML: %1 (line %2)")
                .arg(xml.errorString()).arg(xml.lineNumber());
    return QString();
}

QString SignedRelease::targetOf(const QString &name, const QString &installLocation) const
{
    const QString path = installLocation == QLatin1String("installdir") ? folder : installLocation;
    return path + QLatin1Char('/') + (FileOps::isPlainFileName(name) ? name : QString());
}

QString SignedRelease::checkSerial() const
{
    QFile record(serialPath(folder));
    if (!record.exists())
        return QString();
    quint64 installed = 0;
    if (!record.open(QIODevice::ReadOnly)
        || !parseSerial(QString::fromLatin1(record.read(64)).trimmed(), &installed))
        return QStringLiteral("the installed serial in %1 cannot be read").arg(record.fileName());
    if (serial < installed)
        return QStringLiteral("the serial %1 is older than the installed %2").arg(serial).arg(installed);
    return QString();
}

int SignedRelease::find(const QUrl &url, const QString &target, QByteArray *sha256Hex,
                        QString *reason) const
{
    reason->clear();
    if (currentState != State::Verified) {
        if (currentState != State::Refused)
            *reason = QStringLiteral("no signed manifest was fetched");
        return -1;
    }
    const int at = byTarget.value(ReleaseTransaction::key(target), -1);
    if (at < 0 || items.at(at).target != target) {
        *reason = QStringLiteral("not in the signed manifest");
        return -1;
    }
    if (items.at(at).url != url) {
        *reason = QStringLiteral("the signed manifest has another address for it: %1")
                          .arg(items.at(at).url.toString());
        return -1;
    }
    *sha256Hex = items.at(at).delta.sha256;
    return at;
}

QSet<QString> SignedRelease::targets() const
{
    QSet<QString> all;
    for (const Item &item : items)
        all.insert(item.target);
    return all;
}

SignedRelease::Delta SignedRelease::delta(int item) const
{
    return item >= 0 && item < items.size() ? items.at(item).delta : Delta();
}

void SignedRelease::settle(int item)
{
    if (item >= 0 && item < items.size())
        items[item].settled = true;
}

bool SignedRelease::commit()
{
    if (!keys)
        return true;
    if (currentState != State::Verified)
        return false;
    for (const Item &item : qAsConst(items)) {
        if (!item.settled) {
            refuse(QStringLiteral("an item was held back: %1").arg(item.target));
            return false;
        }
    }
    // Flushed before it replaces the record: never a torn serial.
    QSaveFile record(serialPath(folder));
    QString error;
    const QByteArray text = QByteArray::number(serial) + '\n';
    if (!record.open(QIODevice::WriteOnly) || record.write(text) != text.size() || !record.commit()
        || !FileOps::sync(folder, &error)) {
        qDebug() << "Cannot write" << record.fileName()
                 << (error.isEmpty() ? record.errorString() : error);
        return false;
    }
    return true;
}

void SignedRelease::refuse(const QString &reason)
{
    currentState = State::Refused;
    items.clear();
    byTarget.clear();
    if (keys)
        qDebug() << "Refused:" << address.toString() << reason;
    else
        qDebug() << "No cheaper transfers:" << address.toString() << reason;
    emit settled();
}
