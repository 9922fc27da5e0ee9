// korvel-manifest: writes the component manifest that KorvelUpdater reads, one
// item per file of a release directory; with a private key, the manifest's
// signature file and, for updaters from before signed manifests, every
// component's.

#include "componentsignature.h"
#include "fileops.h"
#include "sha256.h"

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
#include <QXmlStreamWriter>

#include <algorithm>
#include <cstdio>

namespace {

enum ExitStatus {
    Success = 0,
    InputError = 1,
    UsageError = 2,
};

struct Component
{
    QString name;
    qint64 size = 0;
    QString location;
    // Lower-case hex, when signed.
    QByteArray sha256;
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

// Every file of the directory, sorted by name; subdirectories are skipped, and
// so are the signature files of its components ("<name>.sig").
void listDirectory(const QString &path, const QString &excluded, QVector<QFileInfo> *files)
{
    const QDir dir(path);
    const QLatin1String signatureSuffix(".sig");
    const QFileInfoList entries = dir.entryInfoList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir()) {
            complain(QStringLiteral("skipping the subdirectory %1").arg(quoted(entry.fileName())));
            continue;
        }
        if (!excluded.isEmpty() && entry.absoluteFilePath() == excluded)
            continue;
        const QString name = entry.fileName();
        if (name.endsWith(signatureSuffix)
            && dir.exists(name.left(name.size() - signatureSuffix.size()))) {
            complain(QStringLiteral("skipping the signature %1").arg(quoted(name)));
            continue;
        }
        files->append(entry);
    }
    std::sort(files->begin(), files->end(), [](const QFileInfo &a, const QFileInfo &b) {
        return a.fileName() < b.fileName();
    });
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
        if (!component.sha256.isEmpty())
            writer.writeTextElement(QStringLiteral("sha256"), QString::fromLatin1(component.sha256));
        writer.writeEndElement();
    }
    writer.writeEndElement();
    writer.writeEndDocument();
    return xml;
}

bool readKey(const QString &keyPath, QByteArray *key)
{
    QFile keyFile(keyPath);
    if (!keyFile.open(QIODevice::ReadOnly)) {
        complain(QStringLiteral("cannot read the key %1: %2").arg(quoted(keyPath), keyFile.errorString()));
        return false;
    }
    *key = keyFile.readAll();
    return true;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    // A failed run leaves any earlier file as it was.
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(data) != data.size() || !out.commit()) {
        complain(QStringLiteral("cannot write %1: %2").arg(quoted(path), out.errorString()));
        return false;
    }
    return true;
}

// Hashes every component, and writes "<file>.sig" beside it: updaters from
// before signed manifests check each component by it.
bool signComponents(const QString &keyPath, const QByteArray &key, const QVector<QFileInfo> &files,
                    QVector<Component> *components)
{
    for (int i = 0; i < files.size(); ++i) {
        const QFileInfo &info = files.at(i);
        QFile file(info.filePath());
        if (!file.open(QIODevice::ReadOnly)) {
            complain(QStringLiteral("cannot read %1: %2").arg(quoted(info.filePath()), file.errorString()));
            return false;
        }
        Sha256 hash;
        QByteArray block(1024 * 1024, Qt::Uninitialized);
        qint64 size;
        while ((size = file.read(block.data(), block.size())) > 0)
            hash.add(block.constData(), size);
        if (size < 0) {
            complain(QStringLiteral("cannot read %1: %2").arg(quoted(info.filePath()), file.errorString()));
            return false;
        }
        (*components)[i].sha256 = hash.hex();
        QString error;
        const QByteArray line = ComponentSignature::sign(
                key, ComponentSignature::message(info.fileName(), components->at(i).sha256), &error);
        if (line.isEmpty()) {
            complain(QStringLiteral("cannot sign with %1: %2").arg(quoted(keyPath), error));
            return false;
        }
        if (!writeFile(info.filePath() + QStringLiteral(".sig"), line))
            return false;
    }
    return true;
}

// The manifest, then its signature beside it.
bool writeSigned(const QString &path, const QString &keyPath, const QByteArray &key,
                 const QByteArray &xml)
{
    Sha256 hash;
    hash.add(xml);
    QString error;
    const QByteArray line = ComponentSignature::sign(key, ComponentSignature::releaseMessage(hash.hex()),
                                                     &error);
    if (line.isEmpty()) {
        complain(QStringLiteral("cannot sign with %1: %2").arg(quoted(keyPath), error));
        return false;
    }
    return writeFile(path, xml) && writeFile(path + QStringLiteral(".sig"), line);
}

bool writeOutput(const QString &path, const QByteArray &xml)
{
    if (path.isEmpty() || path == QLatin1String("-")) {
        QFile out;
        if (!out.open(stdout, QIODevice::WriteOnly) || out.write(xml) != xml.size()
                || !out.flush()) {
            complain(QStringLiteral("cannot write to standard output: %1").arg(out.errorString()));
            return false;
        }
        return true;
    }
    return writeFile(path, xml);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvel-manifest"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Writes the component manifest that KorvelUpdater reads: one item per file of\n"
            "DIRECTORY, with its name, version, url (BASE-URL followed by the percent-encoded\n"
            "file name), install location, size in bytes and requireuac flag.\n"
            "\n"
            "Without NAMEs every file of DIRECTORY is listed, sorted by name (by Unicode\n"
            "code units, whatever the locale); subdirectories are skipped with a note, since\n"
            "the updater installs plain files only. With NAMEs only those files are listed,\n"
            "in the order given. The output file is never listed itself.\n"
            "\n"
            "With --sign-key (and --output), the manifest is signed for an updater built\n"
            "with the matching public key: every item gets its component's SHA-256, the\n"
            "manifest a serial, and FILE.sig holds the manifest's Ed25519 signature.\n"
            "NAME.sig is written beside every component too, for keyed updaters from\n"
            "before signed manifests. Signature files are never listed as components.\n"
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
    parser.addOptions({outputOption, versionOption, installOption, locationOption, uacOption,
                       signOption, serialOption});

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

    const QString excluded = outputPath.isEmpty() || outputPath == QLatin1String("-")
            ? QString() : QFileInfo(outputPath).absoluteFilePath();
    if (!checkDirectory(arguments.at(0)))
        return InputError;

    QVector<QFileInfo> files;
    const QStringList selected = arguments.mid(2);
    if (selected.isEmpty()) {
        listDirectory(arguments.at(0), excluded, &files);
    } else {
        QSet<QString> seen;
        const QDir dir(arguments.at(0));
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

    QByteArray key;
    if (signing && (!readKey(parser.value(signOption), &key)
                    || !signComponents(parser.value(signOption), key, files, &components)))
        return InputError;

    const QByteArray xml = writeManifest(components, base, parser.value(versionOption),
                                         parser.isSet(uacOption) ? QStringLiteral("true")
                                                                 : QStringLiteral("false"),
                                         signing ? serial : QString());
    if (signing)
        return writeSigned(outputPath, parser.value(signOption), key, xml) ? Success : InputError;
    return writeOutput(outputPath, xml) ? Success : InputError;
}
