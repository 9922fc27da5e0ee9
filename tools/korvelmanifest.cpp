// korvel-manifest: writes the component manifest that KorvelUpdater reads, one
// item per file of a release directory; beside the components, in
// korvel-delta/, a compressed copy of each and patches from earlier releases;
// with a private key, the manifest's signature file and, for updaters from
// before signed manifests, every component's.

#include "componentsignature.h"
#include "fileidentity.h"
#include "fileops.h"
#include "releasecheck.h"
#include "releasewriter.h"
#include "sha256.h"
#include "zstdpatch.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QUrl>
#include <QVector>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

enum ExitStatus {
    Success = 0,
    InputError = 1,
    UsageError = 2,
};

// The folder of the release directory that holds compressed copies and
// patches: a subfolder, so that no later run lists them as components.
const QLatin1String DeltaFolder("korvel-delta");

// A file of korvel-delta/.
struct Delta
{
    QString fileName;
    qint64 size = 0;
    QByteArray sha256;
    // A patch's earlier file.
    QByteArray baseSha256;
};

struct Component
{
    QString name;
    qint64 size = 0;
    QString location;
    // Lower-case hex.
    QByteArray sha256;
    Delta compressed;
    QVector<Delta> patches;
};

void complain(const QString &message)
{
    std::fprintf(stderr, "korvel-manifest: %s\n", qPrintable(message));
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// The updater builds each target as "<install path>/<name>", so the name must
// be one plain path element; XML cannot carry most control characters, and
// parsers turn a carriage return into a line feed.
QString nameProblem(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("a component needs a non-empty file name");
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return QStringLiteral("the file name %1 holds \"/\" or \"\\\"; the updater needs a plain "
                              "file name").arg(quoted(name));
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("the file name %1 is not a file").arg(quoted(name));
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QStringLiteral("the file name %1 holds a control character, which the "
                                  "manifest cannot carry").arg(quoted(name));
    }
    // What the updater refuses to write, told at publishing time.
    const QString refused = FileOps::fileNameProblem(name);
    if (!refused.isEmpty())
        return QStringLiteral("the file name %1 is refused (%2): the updater never writes it")
                .arg(quoted(name), refused);
    return QString();
}

bool checkBaseUrl(const QString &text, QString *base)
{
    const QUrl url(text.trimmed(), QUrl::TolerantMode);
    const QString scheme = url.scheme();
    if (!url.isValid()
            || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
            || url.host().isEmpty()) {
        complain(QStringLiteral("the base URL %1 is not an http or https address")
                 .arg(quoted(text)));
        return false;
    }
    if (url.hasQuery() || url.hasFragment()) {
        complain(QStringLiteral("the base URL %1 has a query or fragment; file names are "
                                "appended to its path").arg(quoted(text)));
        return false;
    }
    *base = url.toString(QUrl::FullyEncoded);
    if (!base->endsWith(QLatin1Char('/')))
        *base += QLatin1Char('/');
    return true;
}

bool checkDirectory(const QString &path)
{
    const QFileInfo dirInfo(path);
    if (!dirInfo.exists()) {
        complain(QStringLiteral("the directory %1 does not exist").arg(quoted(path)));
        return false;
    }
    if (!dirInfo.isDir()) {
        complain(QStringLiteral("%1 is not a directory").arg(quoted(path)));
        return false;
    }
    if (!dirInfo.isReadable() || !dirInfo.isExecutable()) {
        complain(QStringLiteral("cannot read the directory %1").arg(quoted(path)));
        return false;
    }
    return true;
}

// The files the tool itself writes, and standard output when it is a file:
// an earlier run's manifest or signature there is never a component.
struct OwnFiles
{
    FileIdentity output;
    FileIdentity outputSignature;
    FileIdentity standardOutput;
};

// An earlier manifest: XML whose root is "model". An empty file is what a
// shell's "> FILE" leaves before the tool starts.
bool looksLikeManifest(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    if (file.size() == 0)
        return true;
    QXmlStreamReader reader(file.read(64 * 1024));
    return reader.readNextStartElement() && reader.name() == QLatin1String("model");
}

// A signature file as the tool writes it: one line of Base64, 64 bytes.
bool looksLikeSignature(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > ComponentSignature::MaximumFileSize)
        return false;
    const QByteArray line = file.readAll().trimmed();
    const auto decoded = QByteArray::fromBase64Encoding(line, QByteArray::AbortOnBase64DecodingErrors);
    return !line.contains('\n') && decoded && (*decoded).size() == ComponentSignature::SignatureSize;
}

QString replaceProblem(const QString &what, const QString &component)
{
    return QStringLiteral("%1 would replace the component %2; choose another name")
            .arg(what, quoted(component));
}

// Every file of the directory, sorted by name; subdirectories are skipped,
// and so are the tool's own files: the signatures of its components
// ("<name>.sig"), the manifest and its signature. False when an output file
// would replace a component.
bool listDirectory(const QString &path, const OwnFiles &own, QVector<QFileInfo> *files)
{
    const QDir dir(path);
    const QLatin1String signatureSuffix(".sig");
    const QFileInfoList entries = dir.entryInfoList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (entry.isDir()) {
            if (name != DeltaFolder)
                complain(QStringLiteral("skipping the subdirectory %1").arg(quoted(name)));
            continue;
        }
        // An installed folder holds the updater's lock between runs.
        if (name.compare(QLatin1String("KorvelUpdater.lock"), Qt::CaseInsensitive) == 0) {
            complain(QStringLiteral("skipping the updater's lock file %1").arg(quoted(name)));
            continue;
        }
        // Compared by identity: a link to the folder, another letter case
        // or a short name leads to the same file.
        const FileIdentity identity = FileIdentity::of(entry.filePath());
        if (identity == own.standardOutput)
            continue;
        if (identity == own.output) {
            if (looksLikeManifest(entry.filePath()))
                continue;
            complain(replaceProblem(QStringLiteral("the output file"), name));
            return false;
        }
        if (identity == own.outputSignature) {
            if (looksLikeSignature(entry.filePath()))
                continue;
            complain(replaceProblem(QStringLiteral("the manifest's signature"), name));
            return false;
        }
        if (name.endsWith(signatureSuffix)
            && dir.exists(name.left(name.size() - signatureSuffix.size()))
            && looksLikeSignature(entry.filePath())) {
            complain(QStringLiteral("skipping the signature %1").arg(quoted(name)));
            continue;
        }
        files->append(entry);
    }
    std::sort(files->begin(), files->end(), [](const QFileInfo &a, const QFileInfo &b) {
        return a.fileName() < b.fileName();
    });
    return true;
}

bool measure(const QFileInfo &info, qint64 *size)
{
    const QString path = info.filePath();
    if (!info.exists()) {
        complain(QStringLiteral("cannot read %1: no such file").arg(quoted(path)));
        return false;
    }
    // Opening a pipe or a device for reading could block or never end.
    if (!info.isFile()) {
        complain(QStringLiteral("%1 is not a regular file").arg(quoted(path)));
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        complain(QStringLiteral("cannot read %1: %2").arg(quoted(path), file.errorString()));
        return false;
    }
    *size = file.size();
    return true;
}

// "NAME=DIR" where NAME may itself hold "=": the split is the one whose left
// side names a component.
bool splitOverride(const QString &text, const QSet<QString> &names, QString *name, QString *dir)
{
    for (int i = text.indexOf(QLatin1Char('=')); i >= 0;
         i = text.indexOf(QLatin1Char('='), i + 1)) {
        if (names.contains(text.left(i))) {
            *name = text.left(i);
            *dir = text.mid(i + 1);
            return true;
        }
    }
    return false;
}

// serial: empty when the manifest is not signed.
QByteArray writeManifest(const QVector<Component> &components, const QString &base,
                         const QString &version, const QString &requireUac, const QString &serial)
{
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.setAutoFormattingIndent(4);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("model"));
    if (!serial.isEmpty())
        writer.writeAttribute(QStringLiteral("serial"), serial);
    for (const Component &component : components) {
        writer.writeStartElement(QStringLiteral("item"));
        writer.writeTextElement(QStringLiteral("name"), component.name);
        writer.writeTextElement(QStringLiteral("version"), version);
        writer.writeTextElement(QStringLiteral("url"),
                                base + QString::fromLatin1(QUrl::toPercentEncoding(component.name)));
        writer.writeTextElement(QStringLiteral("installlocation"), component.location);
        writer.writeTextElement(QStringLiteral("filesize"), QString::number(component.size));
        writer.writeTextElement(QStringLiteral("requireuac"), requireUac);
        writer.writeTextElement(QStringLiteral("sha256"), QString::fromLatin1(component.sha256));
        const auto url = [&](const Delta &delta) {
            return base + DeltaFolder + QLatin1Char('/')
                    + QString::fromLatin1(QUrl::toPercentEncoding(delta.fileName));
        };
        writer.writeStartElement(QStringLiteral("compressed"));
        writer.writeAttribute(QStringLiteral("size"), QString::number(component.compressed.size));
        writer.writeAttribute(QStringLiteral("sha256"), QString::fromLatin1(component.compressed.sha256));
        writer.writeCharacters(url(component.compressed));
        writer.writeEndElement();
        for (const Delta &patch : component.patches) {
            writer.writeStartElement(QStringLiteral("patch"));
            writer.writeAttribute(QStringLiteral("base"), QString::fromLatin1(patch.baseSha256));
            writer.writeAttribute(QStringLiteral("size"), QString::number(patch.size));
            writer.writeAttribute(QStringLiteral("sha256"), QString::fromLatin1(patch.sha256));
            writer.writeCharacters(url(patch));
            writer.writeEndElement();
        }
        writer.writeEndElement();
    }
    writer.writeEndElement();
    writer.writeEndDocument();
    return xml;
}

bool readKey(const QString &keyPath, ComponentSignature::PrivateKey *key)
{
    QFile keyFile(keyPath);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        complain(QStringLiteral("cannot read the key %1: %2").arg(quoted(keyPath), keyFile.errorString()));
        return false;
    }
    // Once: an encrypted key asks for its passphrase here, and only here.
    QString error;
    if (!key->read(keyFile.readAll(), &error)) {
        complain(QStringLiteral("cannot sign with %1: %2").arg(quoted(keyPath), error));
        return false;
    }
    return true;
}

// A file's bytes for reading, mapped rather than read: a patch's decoder and
// encoder take them in place.
class MappedFile
{
public:
    bool open(const QString &path)
    {
        file.setFileName(path);
        if (!file.open(QIODevice::ReadOnly)) {
            complain(QStringLiteral("cannot read %1: %2").arg(quoted(path), file.errorString()));
            return false;
        }
        if (file.size() == 0)
            return true;
        bytes = reinterpret_cast<const char *>(file.map(0, file.size()));
        if (!bytes)
            complain(QStringLiteral("cannot read %1: %2").arg(quoted(path), file.errorString()));
        return bytes;
    }
    const char *data() const { return bytes ? bytes : ""; }
    qint64 size() const { return file.size(); }
    QByteArray sha256() const
    {
        Sha256 hash;
        for (qint64 at = 0; at < size(); at += 1 << 20)
            hash.add(data() + at, qMin<qint64>(1 << 20, size() - at));
        return hash.hex();
    }

private:
    QFile file;
    const char *bytes = nullptr;
};

// Writes what produce() gives into a staged file, and measures it.
bool stageDelta(ReleaseWriter *writer, const QString &target,
                const std::function<bool(const ZstdSink &, QString *)> &produce, Delta *delta,
                QFile **staged)
{
    QFile *file = writer->stage(target);
    if (!file) {
        complain(writer->errorString());
        return false;
    }
    Sha256 hash;
    qint64 size = 0;
    QString error;
    const bool written = produce([&](const char *data, qint64 length) {
        hash.add(data, length);
        size += length;
        return file->write(data, length) == length;
    }, &error);
    if (!written || !file->flush()) {
        complain(QStringLiteral("cannot write %1: %2")
                 .arg(quoted(target), file->error() != QFileDevice::NoError ? file->errorString() : error));
        return false;
    }
    delta->fileName = QFileInfo(target).fileName();
    delta->size = size;
    delta->sha256 = hash.hex();
    *staged = file;
    return true;
}

// Decodes the staged patch against its earlier file, as an updater will:
// true when the result is the new file.
bool patchApplies(QFile *patchFile, const MappedFile &base, const Component &component)
{
    MappedFile patch;
    if (!patch.open(patchFile->fileName()))
        return false;
    ZstdDecoder decoder(component.size, base.data(), base.size());
    Sha256 hash;
    const bool decoded = decoder.write(patch.data(), patch.size(), [&](const char *data, qint64 size) {
        hash.add(data, size);
        return true;
    }) && decoder.finish();
    return decoded && decoder.decodedSize() == component.size && hash.hex() == component.sha256;
}

// The component's compressed copy, and a patch from each earlier release
// whose file of that name differs, where it is at most 90 % of the copy.
bool stageDeltas(ReleaseWriter *writer, const QString &deltaDir, const MappedFile &file,
                 const QStringList &previousDirs, Component *component)
{
    QFile *staged = nullptr;
    if (!stageDelta(writer, deltaDir + QLatin1Char('/') + component->name + QStringLiteral(".zst"),
                    [&](const ZstdSink &sink, QString *error) {
                        return ZstdEncoder::compress(file.data(), file.size(), sink, error);
                    },
                    &component->compressed, &staged))
        return false;

    QSet<QByteArray> bases = {component->sha256};
    for (const QString &previousDir : previousDirs) {
        const QFileInfo baseInfo(QDir(previousDir).filePath(component->name));
        if (!baseInfo.isFile())
            continue;
        MappedFile base;
        if (!base.open(baseInfo.filePath()))
            return false;
        const QByteArray baseSha256 = base.sha256();
        if (bases.contains(baseSha256))
            continue; // the same file, or one already patched from
        bases.insert(baseSha256);
        if (file.size() > ZstdEncoder::PatchSizeLimit || base.size() > ZstdEncoder::PatchSizeLimit) {
            complain(QStringLiteral("no patch for %1 from %2: patches are made for files of at "
                                    "most 2 GiB").arg(quoted(component->name), quoted(previousDir)));
            continue;
        }
        Delta patch;
        patch.baseSha256 = baseSha256;
        const QString target = deltaDir + QLatin1Char('/') + component->name + QStringLiteral(".from-")
                + QString::fromLatin1(baseSha256.left(16)) + QStringLiteral(".zstpatch");
        if (!stageDelta(writer, target,
                        [&](const ZstdSink &sink, QString *error) {
                            return ZstdEncoder::createPatch(base.data(), base.size(), file.data(),
                                                            file.size(), sink, error);
                        },
                        &patch, &staged))
            return false;
        if (patch.size * 10 > component->compressed.size * 9) {
            writer->discard(staged);
            continue;
        }
        if (!patchApplies(staged, base, *component)) {
            complain(QStringLiteral("the patch for %1 from %2 does not give the new file; left out")
                     .arg(quoted(component->name), quoted(previousDir)));
            writer->discard(staged);
            continue;
        }
        component->patches.append(patch);
    }
    return true;
}

// Hashes every component and stages its compressed copy and patches; with a
// key, "<file>.sig" beside it: updaters from before signed manifests check
// each component by it.
bool stageComponents(ReleaseWriter *writer, const QString &releaseDir, const QStringList &previousDirs,
                     const QString &keyPath, const ComponentSignature::PrivateKey *key,
                     const QVector<QFileInfo> &files, QVector<Component> *components)
{
    const QString deltaDir = QDir(releaseDir).filePath(DeltaFolder);
    if (!writer->makeFolder(deltaDir)) {
        complain(writer->errorString());
        return false;
    }
    for (int i = 0; i < files.size(); ++i) {
        const QFileInfo &info = files.at(i);
        Component &component = (*components)[i];
        MappedFile file;
        if (!file.open(info.filePath()))
            return false;
        component.sha256 = file.sha256();
        if (key) {
            QString error;
            const QByteArray line = key->sign(
                    ComponentSignature::message(info.fileName(), component.sha256), &error);
            if (line.isEmpty()) {
                complain(QStringLiteral("cannot sign with %1: %2").arg(quoted(keyPath), error));
                return false;
            }
            if (!writer->stage(info.filePath() + QStringLiteral(".sig"), line)) {
                complain(writer->errorString());
                return false;
            }
        }
        if (!stageDeltas(writer, deltaDir, file, previousDirs, &component))
            return false;
    }
    return true;
}

// The manifest, and its signature beside it.
bool stageManifest(ReleaseWriter *writer, const QString &path, const QString &keyPath,
                   const ComponentSignature::PrivateKey *key, const QByteArray &xml)
{
    if (key) {
        Sha256 hash;
        hash.add(xml);
        QString error;
        const QByteArray line = key->sign(ComponentSignature::releaseMessage(hash.hex()), &error);
        if (line.isEmpty()) {
            complain(QStringLiteral("cannot sign with %1: %2").arg(quoted(keyPath), error));
            return false;
        }
        if (!writer->stage(path + QStringLiteral(".sig"), line)) {
            complain(writer->errorString());
            return false;
        }
    }
    if (!writer->stage(path, xml)) {
        complain(writer->errorString());
        return false;
    }
    return true;
}

bool writeStandardOutput(const QByteArray &xml)
{
    QFile out;
    if (!out.open(stdout, QIODevice::WriteOnly) || out.write(xml) != xml.size() || !out.flush()) {
        complain(QStringLiteral("cannot write to standard output: %1").arg(out.errorString()));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvel-manifest"));
    if (ReleaseCheck::wanted(QCoreApplication::arguments()))
        return ReleaseCheck::run(QCoreApplication::arguments());

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Writes the component manifest that KorvelUpdater reads: one item per file of\n"
            "DIRECTORY, with its name, version, url (BASE-URL followed by the percent-encoded\n"
            "file name), install location, size in bytes, requireuac flag and SHA-256.\n"
            "\n"
            "Beside the components, in DIRECTORY/korvel-delta/, it writes a zstd-compressed\n"
            "copy of every component (NAME.zst) and, with --previous, patches from earlier\n"
            "releases (NAME.from-HASH.zstpatch), listed in each item for updaters that can\n"
            "use them; \"url\" still names the whole file. Upload DIRECTORY as it is.\n"
            "\n"
            "Without NAMEs every file of DIRECTORY is listed, sorted by name (by Unicode\n"
            "code units, whatever the locale); subdirectories are skipped with a note, since\n"
            "the updater installs plain files only. With NAMEs only those files are listed,\n"
            "in the order given. The output file is never listed itself.\n"
            "\n"
            "With --sign-key (and --output), the manifest is signed for an updater built\n"
            "with the matching public key: the manifest gets a serial, and FILE.sig holds\n"
            "its Ed25519 signature.\n"
            "NAME.sig is written beside every component too, for keyed updaters from\n"
            "before signed manifests. Signature files are never listed as components.\n"
            "\n"
            "No output or signature file ever replaces a component: such a run stops, and\n"
            "a run that fails leaves DIRECTORY and the output file as they were.\n"
            "\n"
            "A file name must not be empty, hold \"/\", \"\\\" or a control character.\n"
            "Exit status: 0 on success, 1 for a directory, file, name or URL that cannot be\n"
            "used, 2 for a wrong command line."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("DIRECTORY"),
                                 QStringLiteral("Directory holding the component files."));
    parser.addPositionalArgument(QStringLiteral("BASE-URL"),
                                 QStringLiteral("http or https address the files are served under."));
    parser.addPositionalArgument(QStringLiteral("NAME"),
                                 QStringLiteral("Only these files, in this order."),
                                 QStringLiteral("[NAME...]"));
    const QCommandLineOption outputOption(
            {QStringLiteral("o"), QStringLiteral("output")},
            QStringLiteral("Write the manifest to FILE instead of standard output."),
            QStringLiteral("FILE"));
    const QCommandLineOption versionOption(
            QStringLiteral("component-version"),
            QStringLiteral("Version written for every component (default: empty)."),
            QStringLiteral("VERSION"));
    const QCommandLineOption installOption(
            QStringLiteral("install-location"),
            QStringLiteral("Install location of every component (default: \"installdir\", "
                           "the updater's own directory)."),
            QStringLiteral("DIR"), QStringLiteral("installdir"));
    const QCommandLineOption locationOption(
            QStringLiteral("location"),
            QStringLiteral("Install location of the one component NAME; may be repeated."),
            QStringLiteral("NAME=DIR"));
    const QCommandLineOption uacOption(
            QStringLiteral("require-uac"),
            QStringLiteral("Mark every component as needing elevated rights (default: false)."));
    const QCommandLineOption signOption(
            QStringLiteral("sign-key"),
            QStringLiteral("Sign the release with this Ed25519 private key (PEM): FILE.sig "
                           "beside the manifest, NAME.sig beside every component."),
            QStringLiteral("PRIVATE.pem"));
    const QCommandLineOption serialOption(
            QStringLiteral("serial"),
            QStringLiteral("The signed release's serial, higher than any before (default: the "
                           "time in seconds since 1970)."),
            QStringLiteral("N"));
    const QCommandLineOption previousOption(
            QStringLiteral("previous"),
            QStringLiteral("Folder of an earlier release's components: a patch from its file of "
                           "the same name, where that is at most 90 % of the compressed copy; "
                           "may be repeated."),
            QStringLiteral("DIR"));
    parser.addOptions({outputOption, versionOption, installOption, locationOption, uacOption,
                       signOption, serialOption, previousOption});

    if (!parser.parse(QCoreApplication::arguments())) {
        complain(parser.errorText());
        return UsageError;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return Success;
    }
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() < 2) {
        complain(QStringLiteral("expected a DIRECTORY and a BASE-URL (see --help)"));
        return UsageError;
    }

    const QString outputPath = parser.value(outputOption);
    const bool signing = parser.isSet(signOption);
    if (signing && (outputPath.isEmpty() || outputPath == QLatin1String("-"))) {
        complain(QStringLiteral("--sign-key needs --output FILE: the signature goes beside it"));
        return UsageError;
    }
    if (parser.isSet(serialOption) && !signing) {
        complain(QStringLiteral("--serial is for a signed manifest (--sign-key)"));
        return UsageError;
    }
    QString serial = parser.value(serialOption);
    if (parser.isSet(serialOption)) {
        // Decimal digits that fit 64 bits, as the updater reads them.
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,20}$"));
        bool ok = false;
        if (digits.match(serial).hasMatch())
            serial.toULongLong(&ok, 10);
        if (!ok) {
            complain(QStringLiteral("--serial %1 is not a decimal integer of 64 bits")
                     .arg(quoted(serial)));
            return UsageError;
        }
    }
    if (signing && serial.isEmpty())
        serial = QString::number(QDateTime::currentSecsSinceEpoch());

    QString base;
    if (!checkBaseUrl(arguments.at(1), &base))
        return InputError;

    const bool toStandardOutput = outputPath.isEmpty() || outputPath == QLatin1String("-");
    OwnFiles own;
    if (toStandardOutput) {
        own.standardOutput = FileIdentity::ofStandardOutput();
    } else {
        own.output = FileIdentity::of(outputPath);
        own.outputSignature = FileIdentity::of(outputPath + QStringLiteral(".sig"));
    }
    const QString releaseDir = arguments.at(0);
    if (!checkDirectory(releaseDir))
        return InputError;
    const QStringList previousDirs = parser.values(previousOption);
    for (const QString &previousDir : previousDirs) {
        if (!checkDirectory(previousDir))
            return InputError;
    }

    QVector<QFileInfo> files;
    const QStringList selected = arguments.mid(2);
    if (selected.isEmpty()) {
        if (!listDirectory(releaseDir, own, &files))
            return InputError;
    } else {
        QSet<QString> seen;
        const QDir dir(releaseDir);
        for (const QString &name : selected) {
            const QString problem = nameProblem(name);
            if (!problem.isEmpty()) {
                complain(problem);
                return InputError;
            }
            if (seen.contains(name)) {
                complain(QStringLiteral("the file name %1 is given twice").arg(quoted(name)));
                return InputError;
            }
            seen.insert(name);
            const QFileInfo info(dir.filePath(name));
            if (info.isDir()) {
                complain(QStringLiteral("%1 is a directory").arg(quoted(info.filePath())));
                return InputError;
            }
            const FileIdentity identity = FileIdentity::of(info.filePath());
            if (identity == own.output || identity == own.outputSignature
                || identity == own.standardOutput) {
                complain(replaceProblem(QStringLiteral("the output file"), name));
                return InputError;
            }
            files.append(info);
        }
    }

    if (files.isEmpty()) {
        complain(QStringLiteral("no component files in %1").arg(quoted(arguments.at(0))));
        return InputError;
    }

    QVector<Component> components;
    QSet<QString> names;
    for (const QFileInfo &info : files) {
        Component component;
        component.name = info.fileName();
        const QString problem = nameProblem(component.name);
        if (!problem.isEmpty()) {
            complain(problem);
            return InputError;
        }
        if (!measure(info, &component.size))
            return InputError;
        component.location = parser.value(installOption);
        names.insert(component.name);
        components.append(component);
    }

    QHash<QString, QString> overrides;
    for (const QString &text : parser.values(locationOption)) {
        QString name;
        QString dir;
        if (!splitOverride(text, names, &name, &dir)) {
            complain(QStringLiteral("--location %1 does not name a listed component (NAME=DIR)")
                     .arg(quoted(text)));
            return InputError;
        }
        overrides.insert(name, dir);
    }
    for (Component &component : components) {
        component.location = overrides.value(component.name, component.location);
        // The updater would put the file at the file system root.
        if (component.location.isEmpty()) {
            complain(QStringLiteral("the install location of %1 is empty")
                     .arg(quoted(component.name)));
            return InputError;
        }
    }

    if (signing) {
        // Its own signature would replace a component of the same name.
        QHash<FileIdentity, QString> identities;
        for (const QFileInfo &info : files)
            identities.insert(FileIdentity::of(info.filePath()), info.fileName());
        for (const QFileInfo &info : files) {
            const FileIdentity signature = FileIdentity::of(info.filePath() + QStringLiteral(".sig"));
            if (identities.contains(signature)) {
                complain(replaceProblem(QStringLiteral("the signature of ") + quoted(info.fileName()),
                                        identities.value(signature)));
                return InputError;
            }
        }
    }

    ComponentSignature::PrivateKey key;
    if (signing && !readKey(parser.value(signOption), &key))
        return InputError;
    const ComponentSignature::PrivateKey *signingKey = signing ? &key : nullptr;

    // Nothing takes its place until everything is written.
    ReleaseWriter writer;
    if (!stageComponents(&writer, releaseDir, previousDirs, parser.value(signOption), signingKey,
                         files, &components))
        return InputError;
    const QByteArray xml = writeManifest(components, base, parser.value(versionOption),
                                         parser.isSet(uacOption) ? QStringLiteral("true")
                                                                 : QStringLiteral("false"),
                                         signing ? serial : QString());
    if (!toStandardOutput
        && !stageManifest(&writer, outputPath, parser.value(signOption), signingKey, xml))
        return InputError;
    if (!writer.commit()) {
        complain(writer.errorString());
        return InputError;
    }
    if (toStandardOutput)
        return writeStandardOutput(xml) ? Success : InputError;
    return Success;
}
