#include "releasecheck.h"

#include "componentsignature.h"
#include "filemap.h"
#include "httpanswer.h"
#include "sha256.h"
#include "signedrelease.h"
#include "transferrules.h"
#include "zstdpatch.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QMap>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QUrl>
#include <QVector>
#include <QXmlStreamReader>

#include <cstdio>

namespace {

// Longer than this, a cached manifest keeps users on the old release.
const qint64 CacheLimitSeconds = 300;
// Files at least this large show their progress.
const qint64 ProgressSize = qint64(64) << 20;

struct Source
{
    QUrl url;
    qint64 size = -1;
    QByteArray sha256;
    QByteArray base; // a patch's
};

struct Item
{
    QString name;
    Source whole;
    Source compressed;
    QVector<Source> patches;
};

struct Answer
{
    int status = 0;
    QString error;
    qint64 bytes = 0;
    QByteArray sha256;
    QByteArray body; // only up to the bound asked for
    QHash<QByteArray, QByteArray> headers;
};

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

void progress(const QString &line)
{
    std::fprintf(stderr, "%s\n", qPrintable(line));
}

// What a patch decodes into: a file of the item's size in the temporary
// folder, mapped, so that the decoder's window is the file and not memory.
// Made once per item, for all its patches; removed when it goes.
class Scratch
{
public:
    ~Scratch()
    {
        // Windows removes no file that is still mapped.
        if (output)
            file.unmap(output);
    }

    // Null, with error set, when the file cannot be made.
    char *map(qint64 size)
    {
        if (!output && error.isEmpty()) {
            file.setFileTemplate(QDir(QDir::tempPath()).filePath(QStringLiteral("korvel-check-XXXXXX")));
            if (!file.open())
                error = file.errorString();
            else
                output = FileMap::mapForWriting(&file, size, &error);
            if (!output)
                error = QStringLiteral("no scratch file of %1 bytes in %2: %3")
                        .arg(size).arg(QDir::toNativeSeparators(QDir::tempPath()), error);
        }
        return reinterpret_cast<char *>(output);
    }
    QString error;

private:
    QTemporaryFile file;
    uchar *output = nullptr;
};

class Checker
{
public:
    int problems = 0;
    int warnings = 0;
    qint64 fetchedBytes = 0;
    int fetchedFiles = 0;

    void problem(const QString &text)
    {
        ++problems;
        say(QStringLiteral("problem: ") + text);
    }
    // Said once per kind, with how often it came and one address.
    void warnOnce(const QString &kind, const QUrl &url)
    {
        if (!warned.contains(kind))
            order.append(kind);
        Warning &warning = warned[kind];
        if (warning.count++ == 0)
            warning.example = url;
    }
    void sayWarnings()
    {
        for (const QString &kind : qAsConst(order)) {
            ++warnings;
            const Warning &warning = warned.value(kind);
            say(QStringLiteral("warning: %1 (%2 file(s), such as %3)")
                .arg(kind).arg(warning.count).arg(warning.example.toString()));
        }
    }

    // GET url, streamed: each piece goes to consume. bound: how much of the
    // body to keep in Answer::body (0: none).
    Answer get(const QUrl &url, int bound = 0, const QByteArray &range = QByteArray(),
               const std::function<bool(const QByteArray &)> &consume = {},
               const QString &label = QString(), qint64 expected = -1)
    {
        Answer answer;
        const QString refusal = TransferRules::refusal(url);
        if (!refusal.isEmpty()) {
            answer.error = refusal;
            return answer;
        }
        QNetworkRequest request(url);
        TransferRules::prepare(request);
        if (!range.isEmpty())
            request.setRawHeader("Range", range);
        QNetworkReply *reply = network.get(request);
        reply->setReadBufferSize(1 << 20);
        Sha256 hash;
        QEventLoop loop;
        int shown = 0;
        bool stopped = false;
        const auto take = [&] {
            const QByteArray data = reply->readAll();
            if (data.isEmpty() || stopped)
                return;
            if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() >= 400)
                return;
            answer.bytes += data.size();
            hash.add(data);
            if (answer.body.size() < bound)
                answer.body += data.left(bound - answer.body.size() + 1);
            if (consume && !consume(data))
                stopped = true;
            if (expected >= ProgressSize && !label.isEmpty()) {
                const int percent = int(answer.bytes * 100 / expected);
                if (percent / 10 > shown) {
                    shown = percent / 10;
                    progress(QStringLiteral("  %1: %2 %").arg(label).arg(qMin(percent, 100)));
                }
            }
        };
        QObject::connect(reply, &QNetworkReply::readyRead, &loop, take);
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        if (!reply->isFinished())
            loop.exec();
        take();
        answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() != QNetworkReply::NoError && answer.status < 400)
            answer.error = reply->errorString();
        for (const char *name : {"content-encoding", "accept-ranges", "content-range", "etag",
                                 "last-modified", "cache-control", "expires", "date"}) {
            if (reply->hasRawHeader(name))
                answer.headers.insert(name, HttpAnswer::lastValue(reply, name));
        }
        answer.sha256 = hash.hex();
        reply->deleteLater();
        return answer;
    }

    // One file of the release: there, its size and SHA-256, and what resume needs.
    // decoder: what it decodes to, checked against result (the item's SHA-256).
    bool check(const QString &what, const Source &source, ZstdDecoder *decoder,
               const QByteArray &result, bool *missing = nullptr)
    {
        Sha256 decoded;
        const auto decode = [&](const QByteArray &data) {
            return decoder->write(data.constData(), data.size(), [&](const char *bytes, qint64 size) {
                decoded.add(bytes, size);
                return true;
            });
        };
        const Answer answer = get(source.url, 0, QByteArray(),
                                  decoder ? std::function<bool(const QByteArray &)>(decode)
                                          : std::function<bool(const QByteArray &)>(),
                                  what, source.size);
        ++fetchedFiles;
        fetchedBytes += answer.bytes;
        const QString where = QStringLiteral("%1 (%2)").arg(what, source.url.toString());
        if (!answer.error.isEmpty() || answer.status != 200) {
            if (missing)
                *missing = answer.status == 404;
            problem(QStringLiteral("%1: %2").arg(where, answer.error.isEmpty()
                    ? QStringLiteral("HTTP status %1").arg(answer.status) : answer.error));
            return false;
        }
        const QByteArray encoding = answer.headers.value("content-encoding").toLower();
        if (!encoding.isEmpty() && encoding != "identity")
            warnOnce(QStringLiteral("the server compresses on the fly (Content-Encoding: %1): a broken "
                                    "transfer cannot resume").arg(QString::fromLatin1(encoding)), source.url);
        if (!answer.headers.contains("etag") && !answer.headers.contains("last-modified"))
            warnOnce(QStringLiteral("no ETag or Last-Modified: a cache or a resumed transfer cannot "
                                    "tell a changed file"), source.url);
        bool ok = true;
        if (source.size >= 0 && answer.bytes != source.size) {
            problem(QStringLiteral("%1: %2 bytes, the manifest lists %3").arg(where).arg(answer.bytes)
                    .arg(source.size));
            ok = false;
        } else if (!source.sha256.isEmpty() && answer.sha256 != source.sha256) {
            problem(QStringLiteral("%1: its SHA-256 is not the listed one").arg(where));
            ok = false;
        }
        if (ok && decoder) {
            if (!decoder->finish())
                ok = false;
            else if (decoded.hex() != result)
                ok = false;
            if (!ok)
                problem(QStringLiteral("%1: does not give the item's file (%2)").arg(where,
                        decoder->errorString().isEmpty() ? QStringLiteral("another SHA-256")
                                                         : decoder->errorString()));
        }
        if (answer.bytes > 1) {
            // What a resumed transfer asks for: the rest, from an offset.
            const QByteArray from = QByteArray::number(answer.bytes - 1);
            const Answer rest = get(source.url, 2, "bytes=" + from + '-');
            if (rest.status != 206 || !rest.headers.value("content-range").startsWith("bytes " + from + '-'))
                warnOnce(QStringLiteral("no Range support: a broken transfer starts again from "
                                        "the beginning"), source.url);
        }
        return ok;
    }

    // The earlier file of the release folders whose SHA-256 is base.
    QString baseFile(const QStringList &folders, const QString &name, const QByteArray &base)
    {
        for (const QString &folder : folders) {
            const QString path = QDir(folder).filePath(name);
            if (!hashes.contains(path)) {
                FileMap map;
                Sha256 hash;
                if (map.open(path)) {
                    for (qint64 at = 0; at < map.size(); at += 1 << 20)
                        hash.add(map.data() + at, qMin<qint64>(1 << 20, map.size() - at));
                }
                hashes.insert(path, map.errorString().isEmpty() && QFile::exists(path)
                              ? hash.hex() : QByteArray());
            }
            if (hashes.value(path) == base)
                return path;
        }
        return QString();
    }

    RuledNetworkAccessManager network;

private:
    struct Warning
    {
        int count = 0;
        QUrl example;
    };
    QHash<QString, Warning> warned;
    QStringList order;
    QHash<QString, QByteArray> hashes;
};

QString parseManifest(const QByteArray &xml, const QUrl &base, QVector<Item> *items)
{
    QXmlStreamReader reader(xml);
    Item *item = nullptr;
    int depth = 0;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            ++depth;
            const QStringRef name = reader.name();
            if (depth == 2 && name == QLatin1String("item")) {
                items->append(Item());
                item = &items->last();
                continue;
            }
            if (!item || depth != 3)
                continue;
            const QXmlStreamAttributes attributes = reader.attributes();
            Source source;
            bool ok = true;
            source.size = attributes.value(QLatin1String("size")).toLongLong(&ok);
            if (!ok)
                source.size = -1;
            source.sha256 = attributes.value(QLatin1String("sha256")).toLatin1().toLower();
            source.base = attributes.value(QLatin1String("base")).toLatin1().toLower();
            const QString key = name.toString();
            const QString text = reader.readElementText();
            --depth;
            source.url = base.resolved(QUrl(text.trimmed()));
            if (key == QLatin1String("name"))
                item->name = text;
            else if (key == QLatin1String("url"))
                item->whole.url = source.url;
            else if (key == QLatin1String("filesize"))
                item->whole.size = text.trimmed().isEmpty() ? -1 : text.trimmed().toLongLong();
            else if (key == QLatin1String("sha256"))
                item->whole.sha256 = text.trimmed().toLatin1().toLower();
            else if (key == QLatin1String("compressed"))
                item->compressed = source;
            else if (key == QLatin1String("patch"))
                item->patches.append(source);
        } else if (reader.isEndElement()) {
            if (depth == 2)
                item = nullptr;
            --depth;
        }
    }
    if (reader.hasError())
        return reader.errorString();
    return QString();
}

// What a keyed updater would say of the release: empty when it verifies.
QString verifySigned(const QByteArray &keys, const QByteArray &manifest, const QByteArray &signature)
{
    static QString refusal;
    refusal.clear();
    // SignedRelease says why it refuses in its "Refused:" line.
    const QtMessageHandler before = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &, const QString &message) {
                if (message.startsWith(QLatin1String("Refused:")))
                    refusal = message.mid(9);
            });
    // A folder that does not exist: no serial recorded, nothing read or written.
    SignedRelease release(QDir::temp().filePath(QStringLiteral("korvel-check-no-such-folder")), keys);
    release.verify(manifest, signature);
    qInstallMessageHandler(before);
    if (release.state() == SignedRelease::State::Verified)
        return QString();
    return refusal.isEmpty() ? QStringLiteral("refused") : refusal;
}

// Cache-Control or Expires that lets caches keep the manifest longer than CacheLimitSeconds.
qint64 cacheSeconds(const Answer &answer)
{
    const QString control = QString::fromLatin1(answer.headers.value("cache-control")).toLower();
    if (control.contains(QLatin1String("no-cache")) || control.contains(QLatin1String("no-store")))
        return 0;
    static const QRegularExpression maxAge(QStringLiteral("(?:s-)?max-age=(\\d+)"));
    qint64 longest = -1;
    QRegularExpressionMatchIterator it = maxAge.globalMatch(control);
    while (it.hasNext())
        longest = qMax(longest, it.next().captured(1).toLongLong());
    if (longest >= 0)
        return longest;
    const QDateTime expires = QDateTime::fromString(QString::fromLatin1(answer.headers.value("expires")),
                                                    Qt::RFC2822Date);
    QDateTime date = QDateTime::fromString(QString::fromLatin1(answer.headers.value("date")), Qt::RFC2822Date);
    if (!date.isValid())
        date = QDateTime::currentDateTimeUtc();
    return expires.isValid() ? date.secsTo(expires) : -1;
}

} // namespace

bool ReleaseCheck::wanted(const QStringList &arguments)
{
    for (const QString &argument : arguments) {
        if (argument == QLatin1String("--check") || argument.startsWith(QLatin1String("--check=")))
            return true;
    }
    return false;
}

int ReleaseCheck::run(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Checks the release at URL as users will get it: every component, compressed copy\n"
            "and patch is fetched with the updater's own rules and checked for its listed size\n"
            "and SHA-256. Writes nothing into the release or the --previous folders: a patch\n"
            "applied with --previous is decoded into a scratch file of the item's size in the\n"
            "temporary folder (TMPDIR; TMP on Windows), removed after the item. Exit status:\n"
            "0 when users get exactly the release, 1 when they would not, 3 when they do but\n"
            "resume or caching will not work, 2 for a wrong command line."));
    parser.addHelpOption();
    const QCommandLineOption checkOption(QStringLiteral("check"),
                                         QStringLiteral("The manifest's address."), QStringLiteral("URL"));
    const QCommandLineOption keyOption(QStringLiteral("key"),
                                       QStringLiteral("Verify the signature and serial with this public key."),
                                       QStringLiteral("PUBLIC.pem"));
    const QCommandLineOption previousOption(QStringLiteral("previous"),
                                            QStringLiteral("Folder of an earlier release: each patch from "
                                                           "one of its files is applied; may be repeated."),
                                            QStringLiteral("DIR"));
    parser.addOptions({checkOption, keyOption, previousOption});
    if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "korvel-manifest: %s\n", qPrintable(parser.errorText().isEmpty()
                ? QStringLiteral("--check takes no other arguments") : parser.errorText()));
        return 2;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    const QUrl manifestUrl(parser.value(checkOption), QUrl::StrictMode);
    QByteArray keys;
    if (parser.isSet(keyOption)) {
        QFile key(parser.value(keyOption));
        if (!key.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "korvel-manifest: cannot read %s: %s\n", qPrintable(key.fileName()),
                         qPrintable(key.errorString()));
            return 2;
        }
        keys = key.readAll();
    }
    const QStringList previous = parser.values(previousOption);

    Checker checker;
    const Answer manifest = checker.get(manifestUrl, SignedRelease::MaximumManifestSize);
    if (!manifest.error.isEmpty() || manifest.status != 200
        || manifest.body.size() > SignedRelease::MaximumManifestSize) {
        checker.problem(QStringLiteral("the manifest (%1): %2").arg(manifestUrl.toString(),
                !manifest.error.isEmpty() ? manifest.error
                : manifest.status != 200 ? QStringLiteral("HTTP status %1").arg(manifest.status)
                : QStringLiteral("longer than %1 bytes").arg(SignedRelease::MaximumManifestSize)));
        say(QStringLiteral("summary: the manifest cannot be loaded: users get no update"));
        return 1;
    }
    const qint64 cached = cacheSeconds(manifest);
    if (cached > CacheLimitSeconds)
        checker.warnOnce(QStringLiteral("caches may keep the manifest for %1 s: users stay on the "
                                        "old release that long").arg(cached), manifestUrl);

    const QUrl signatureUrl = ComponentSignature::signatureUrl(manifestUrl);
    const Answer signature = checker.get(signatureUrl, ComponentSignature::MaximumFileSize);
    const bool hasSignature = signature.error.isEmpty() && signature.status == 200;
    if (!keys.isEmpty()) {
        const QString refusal = verifySigned(keys, manifest.body, hasSignature ? signature.body : QByteArray());
        if (!refusal.isEmpty())
            checker.problem(QStringLiteral("a keyed updater refuses the release: %1").arg(refusal));
    } else if (hasSignature) {
        say(QStringLiteral("note: the manifest is signed (%1); --key PUBLIC.pem verifies it")
            .arg(signatureUrl.toString()));
    }

    QVector<Item> items;
    const QString parseError = parseManifest(manifest.body, manifestUrl, &items);
    if (!parseError.isEmpty())
        checker.problem(QStringLiteral("the manifest is not XML the updater reads: %1").arg(parseError));
    qint64 total = 0;
    for (const Item &item : qAsConst(items))
        total += qMax<qint64>(0, item.whole.size);

    int deltas = 0;
    int deltasMissing = 0;
    for (int i = 0; i < items.size(); ++i) {
        const Item &item = items.at(i);
        progress(QStringLiteral("[%1/%2] %3").arg(i + 1).arg(items.size()).arg(item.name));
        checker.check(item.name, item.whole, nullptr, QByteArray());
        if (!item.compressed.url.isEmpty()) {
            ZstdDecoder decoder(item.whole.size);
            bool missing = false;
            ++deltas;
            checker.check(item.name + QStringLiteral(", compressed copy"), item.compressed,
                          item.whole.size >= 0 && !item.whole.sha256.isEmpty() ? &decoder : nullptr,
                          item.whole.sha256, &missing);
            deltasMissing += missing;
        }
        Scratch scratch;
        for (const Source &patch : item.patches) {
            const QString what = item.name + QStringLiteral(", patch from ") + QString::fromLatin1(patch.base.left(16));
            const QString base = checker.baseFile(previous, item.name, patch.base);
            FileMap reference;
            bool apply = !base.isEmpty() && reference.open(base) && item.whole.size >= 0;
            if (!previous.isEmpty() && !apply)
                say(QStringLiteral("note: %1: no such base in the --previous folders, not applied").arg(what));
            ZstdDecoder decoder(item.whole.size, reference.data(), reference.size());
            if (apply && item.whole.size > 0) {
                if (char *output = scratch.map(item.whole.size)) {
                    decoder.setOutput(output, item.whole.size);
                } else {
                    // Still fetched and checked, only not applied.
                    checker.problem(QStringLiteral("%1: cannot be applied: %2").arg(what, scratch.error));
                    apply = false;
                }
            }
            bool missing = false;
            ++deltas;
            checker.check(what, patch, apply ? &decoder : nullptr, item.whole.sha256, &missing);
            deltasMissing += missing;
        }
    }
    if (deltas > 0 && deltasMissing == deltas)
        checker.problem(QStringLiteral("no file of korvel-delta/ is on the server: every user fetches "
                                       "every file whole (upload the folder korvel-delta/ too)"));
    checker.sayWarnings();
    say(QStringLiteral("summary: %1 item(s), %2 bytes listed; %3 file(s), %4 bytes fetched; "
                       "%5 problem(s), %6 warning(s)")
        .arg(items.size()).arg(total).arg(checker.fetchedFiles).arg(checker.fetchedBytes)
        .arg(checker.problems).arg(checker.warnings));
    if (checker.problems > 0)
        return 1;
    return checker.warnings > 0 ? 3 : 0;
}
