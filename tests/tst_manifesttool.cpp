#include "nginxserver.h"
#include "sandboxchecks.h"
#include "testtime.h"
#include "updatersandbox.h"
#include "winesession.h"
#include "zstdpatch.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>
#include <QXmlStreamReader>
#include <QtTest>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString S(const char *text)
{
    return QString::fromUtf8(text);
}

QStringList L(std::initializer_list<QString> items)
{
    return QStringList(items);
}

struct ToolRun
{
    int status = -1;
    QByteArray out;
    QString err;
};

// input: fed to the tool, which then runs without a controlling terminal,
// so that OpenSSL reads a passphrase from it. stdoutFile: standard output
// goes there, as a shell's "> FILE" sends it.
ToolRun runTool(const QStringList &arguments, const QByteArray &input = QByteArray(),
                const QString &stdoutFile = QString())
{
    QProcess process;
    if (!stdoutFile.isEmpty())
        process.setStandardOutputFile(stdoutFile);
    const QString tool = productPath(QStringLiteral(KORVEL_MANIFEST_BIN));
    if (input.isEmpty()) {
        process.start(tool, arguments);
    } else {
        process.start(QStringLiteral("setsid"), QStringList(tool) + arguments);
        process.write(input);
        process.closeWriteChannel();
    }
    ToolRun run;
    if (!process.waitForFinished(testTime(60000)) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.status = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

// Bytes that differ from file to file, so a mix-up of two components shows.
QByteArray content(const QString &name, int size)
{
    QByteArray data;
    data.reserve(size);
    const QByteArray seed = name.toUtf8();
    for (int i = 0; i < size; ++i)
        data.append(char((i * 131 + seed.at(i % seed.size()) * 7 + i / 251) & 0xff));
    return data;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray sha256(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// <compressed> or <patch>.
struct Delta
{
    QString url;
    QString size;
    QString sha256;
    QString base;
};

struct Item
{
    QString name;
    QString version;
    QString url;
    QString installLocation;
    QString fileSize;
    QString requireUac;
    QString sha256;
    Delta compressed;
    QVector<Delta> patches;
};

// The manifest as the updater's query "/model/item" sees it, then the
// elements for delta updates in their fixed order; an element out of place
// makes the parse fail.
bool parseManifest(const QByteArray &xml, QVector<Item> *items, QString *error)
{
    static const QStringList fields = {
        QStringLiteral("name"), QStringLiteral("version"), QStringLiteral("url"),
        QStringLiteral("installlocation"), QStringLiteral("filesize"),
        QStringLiteral("requireuac"), QStringLiteral("sha256")};
    QXmlStreamReader reader(xml);
    if (!reader.readNextStartElement() || reader.name() != QLatin1String("model")) {
        *error = QStringLiteral("no model element");
        return false;
    }
    while (reader.readNextStartElement()) {
        if (reader.name() != QLatin1String("item")) {
            *error = QStringLiteral("unexpected ") + reader.name().toString();
            return false;
        }
        QStringList values;
        // The compressed copy first, when there is one.
        QVector<Delta> deltas;
        while (reader.readNextStartElement()) {
            const QString field = reader.name().toString();
            const bool delta = values.size() == fields.size()
                    && (field == QLatin1String("patch")
                        || (field == QLatin1String("compressed") && deltas.isEmpty()));
            if (!delta && (values.size() == fields.size() || field != fields.at(values.size()))) {
                *error = QStringLiteral("unexpected field ") + field;
                return false;
            }
            if (delta) {
                if (field == QLatin1String("patch") && deltas.isEmpty())
                    deltas.append(Delta());
                const QXmlStreamAttributes attributes = reader.attributes();
                deltas.append({QString(), attributes.value(QLatin1String("size")).toString(),
                               attributes.value(QLatin1String("sha256")).toString(),
                               attributes.value(QLatin1String("base")).toString()});
                deltas.last().url = reader.readElementText();
            } else {
                values.append(reader.readElementText());
            }
        }
        if (values.size() != fields.size()) {
            *error = QStringLiteral("missing fields");
            return false;
        }
        if (deltas.isEmpty())
            deltas.append(Delta());
        items->append({values.at(0), values.at(1), values.at(2), values.at(3), values.at(4),
                       values.at(5), values.at(6), deltas.first(), deltas.mid(1)});
    }
    if (reader.hasError()) {
        *error = reader.errorString();
        return false;
    }
    return true;
}

// Decodes a compressed copy or, with a reference, a patch, as an updater
// will: the SHA-256 of the result, empty with the reason in error.
QByteArray decodeFile(const QString &path, qint64 maxOutput, const QByteArray &reference,
                      QString *error)
{
    const QByteArray input = readFile(path);
    ZstdDecoder decoder(maxOutput, reference.constData(), reference.size());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    // In small pieces, as a download brings them.
    for (int at = 0; at < input.size(); at += 4000) {
        if (!decoder.write(input.constData() + at, qMin(4000, input.size() - at),
                           [&](const char *data, qint64 size) {
                               hash.addData(data, int(size));
                               return true;
                           })) {
            *error = decoder.errorString();
            return QByteArray();
        }
    }
    if (!decoder.finish()) {
        *error = decoder.errorString();
        return QByteArray();
    }
    return hash.result().toHex();
}

// Every file below dir with its bytes, folders as "/".
QMap<QString, QByteArray> snapshot(const QString &dir)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(path.mid(dir.size()), it.fileInfo().isDir() ? QByteArray("/") : readFile(path));
    }
    return files;
}

// "<uri> <status>" per request. The decoded URI may hold blanks, and nginx
// writes a quote, a backslash and every byte outside printable ASCII as \xHH.
QStringList servedPaths(const NginxServer &nginx)
{
    static const QRegularExpression line(QStringLiteral("^\\S+ GET (.*) (\\d{3}) \\d+ \"[^\"]*\" \\S+$"));
    QStringList paths;
    for (const QString &entry : nginx.accessLog()) {
        const QRegularExpressionMatch match = line.match(entry);
        if (!match.hasMatch())
            return {QStringLiteral("unexpected log line: ") + entry};
        const QByteArray escaped = match.captured(1).toLatin1();
        QByteArray uri;
        for (int i = 0; i < escaped.size(); ++i) {
            if (escaped.mid(i, 2) == "\\x" && i + 3 < escaped.size()) {
                uri.append(char(escaped.mid(i + 2, 2).toInt(nullptr, 16)));
                i += 3;
            } else {
                uri.append(escaped.at(i));
            }
        }
        paths.append(QString::fromUtf8(uri) + QLatin1Char(' ') + match.captured(2));
    }
    return paths;
}

} // namespace

class tst_ManifestTool : public QObject
{
    Q_OBJECT

private slots:
    void help();
    void errors_data();
    void errors();
    void shape();
    void names_data();
    void names();
    void determinism();
    void largePatchFindsItsReference();
    void outputFileIsNotListed_data();
    void outputFileIsNotListed();
    void publisherFilesKept_data();
    void publisherFilesKept();
    void killedAtEveryRename();
    void roundTrip();
};

void tst_ManifestTool::help()
{
    const ToolRun run = runTool({QStringLiteral("--help")});
    QCOMPARE(run.status, 0);
    const QString text = QString::fromUtf8(run.out);
    QVERIFY(text.contains(QLatin1String("DIRECTORY BASE-URL")));
    QVERIFY(text.contains(QLatin1String("subdirectories are skipped")));
    for (const char *option : {"--output", "--component-version", "--install-location",
                               "--location", "--require-uac", "--previous", "korvel-delta"})
        QVERIFY2(text.contains(QLatin1String(option)), option);
}

void tst_ManifestTool::errors_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");

    // "@" stands for the release directory, "@@" for the temporary directory.
    const QString dir = QStringLiteral("@");
    const QString base = QStringLiteral("http://127.0.0.1/release/");
    QTest::newRow("missing directory") << S("files") << L({S("@@/nowhere"), base}) << 1
                                       << S("the directory \"@@/nowhere\" does not exist");
    QTest::newRow("directory is a file") << S("files") << L({S("@/a.bin"), base}) << 1
                                         << S("\"@/a.bin\" is not a directory");
    QTest::newRow("empty directory") << S("empty") << L({dir, base}) << 1
                                     << S("no component files in \"@\"");
    QTest::newRow("only a subdirectory") << S("subdir only") << L({dir, base}) << 1
                                         << S("no component files in \"@\"");
    QTest::newRow("dangling link") << S("dangling link") << L({dir, base}) << 1
                                   << S("cannot read \"@/gone.bin\": no such file");
    QTest::newRow("named file missing") << S("files") << L({dir, base, S("x.bin")}) << 1
                                        << S("cannot read \"@/x.bin\": no such file");
    QTest::newRow("pipe") << S("fifo") << L({dir, base}) << 1
                          << S("\"@/pipe\" is not a regular file");
    QTest::newRow("backslash in a file") << S("backslash") << L({dir, base}) << 1
                                         << S("the file name \"a\\b.bin\" holds \"/\" or \"\\\"");
    QTest::newRow("control character") << S("newline") << L({dir, base}) << 1
                                       << S("the file name \"a\nb.bin\" holds a control character");
    QTest::newRow("empty name") << S("files") << L({dir, base, S("")}) << 1
                                << S("a component needs a non-empty file name");
    QTest::newRow("slash in a name") << S("subdir") << L({dir, base, S("sub/c.bin")}) << 1
                                     << S("the file name \"sub/c.bin\" holds \"/\" or \"\\\"");
    QTest::newRow("backslash in a name") << S("files") << L({dir, base, S("sub\\c.bin")}) << 1
                                         << S("the file name \"sub\\c.bin\" holds \"/\" or \"\\\"");
    QTest::newRow("dot dot") << S("files") << L({dir, base, S("..")}) << 1
                             << S("the file name \"..\" is not a file");
    // What the updater would never write, refused at publishing time.
    for (const QString &name : SandboxChecks::refusedNames()) {
        // The updater's lock file is skipped instead (shape()).
        if (!name.contains(QLatin1Char('\t')) && !name.endsWith(QLatin1String(".lock"), Qt::CaseInsensitive))
            QTest::addRow("refused name %s", qPrintable(name))
                    << S("named ") + name << L({dir, base}) << 1
                    << S("the file name \"%1\" is refused (").arg(name);
    }
    QTest::newRow("directory named") << S("subdir") << L({dir, base, S("sub")}) << 1
                                     << S("\"@/sub\" is a directory");
    QTest::newRow("name twice") << S("files") << L({dir, base, S("a.bin"), S("a.bin")}) << 1
                                << S("the file name \"a.bin\" is given twice");
    QTest::newRow("ftp") << S("files") << L({dir, S("ftp://127.0.0.1/release/")}) << 1
                         << S("the base URL \"ftp://127.0.0.1/release/\" is not an http or https address");
    QTest::newRow("file url") << S("files") << L({dir, S("file:///srv/release/")}) << 1
                              << S("the base URL \"file:///srv/release/\" is not an http or https address");
    QTest::newRow("no scheme") << S("files") << L({dir, S("127.0.0.1/release")}) << 1
                               << S("the base URL \"127.0.0.1/release\" is not an http or https address");
    QTest::newRow("no host") << S("files") << L({dir, S("http:///release")}) << 1
                             << S("the base URL \"http:///release\" has no host");
    QTest::newRow("query") << S("files") << L({dir, S("http://127.0.0.1/get?file=")}) << 1
                           << S("the base URL \"http://127.0.0.1/get?file=\" has a query or fragment");
    QTest::newRow("unknown location") << S("files")
                                      << L({dir, base, S("--location"), S("x.bin=/opt")}) << 1
                                      << S("--location \"x.bin=/opt\" does not name a listed component");
    QTest::newRow("empty location") << S("files")
                                    << L({dir, base, S("--location"), S("a.bin=")}) << 1
                                    << S("the install location of \"a.bin\" is empty");
    QTest::newRow("no base url") << S("files") << L({dir}) << 2
                                 << S("expected a DIRECTORY and a BASE-URL");
    QTest::newRow("unknown option") << S("files") << L({dir, base, S("--frobnicate")}) << 2
                                    << S("Unknown option 'frobnicate'");
    const QString key = S(KORVEL_SOURCE_DIR "/tests/data/test-publisher-1.key.pem");
    QTest::newRow("signing key missing")
            << S("files") << L({dir, base, S("-o"), S("@@/m.xml"), S("--sign-key"), S("@@/none.pem")})
            << 1 << S("cannot read the key \"@@/none.pem\"");
    // A public key, or one of another kind, signs nothing.
    QTest::newRow("signing key not private")
            << S("files")
            << L({dir, base, S("-o"), S("@@/m.xml"), S("--sign-key"),
                  S(KORVEL_SOURCE_DIR "/tests/data/test-publisher-keys.pub.pem")})
            << 1 << S("cannot sign with");
    QTest::newRow("previous missing") << S("files") << L({dir, base, S("--previous"), S("@@/old")})
                                      << 1 << S("the directory \"@@/old\" does not exist");
    QTest::newRow("serial unsigned") << S("files") << L({dir, base, S("--serial"), S("5")}) << 2
                                     << S("--serial is for a signed manifest");
    QTest::newRow("serial past 64 bits")
            << S("files")
            << L({dir, base, S("-o"), S("@@/m.xml"), S("--sign-key"), key, S("--serial"),
                  S("18446744073709551616")})
            << 2 << S("--serial \"18446744073709551616\" is not a decimal integer of 64 bits");
    // Permissions do not stop root.
    if (geteuid() != 0) {
        QTest::newRow("unreadable directory") << S("closed dir") << L({dir, base}) << 1
                                              << S("cannot read the directory \"@\"");
        QTest::newRow("unreadable file") << S("closed file") << L({dir, base}) << 1
                                         << S("cannot read \"@/a.bin\": ");
    }
}

void tst_ManifestTool::errors()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, message);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString dir = tmp.filePath(QStringLiteral("release"));
    QVERIFY(QDir().mkpath(dir));
    if (setup != QLatin1String("empty") && setup != QLatin1String("subdir only")) {
        QVERIFY(writeFile(dir + QStringLiteral("/a.bin"), content(QStringLiteral("a"), 300)));
        QVERIFY(writeFile(dir + QStringLiteral("/b.bin"), content(QStringLiteral("b"), 300)));
    }
    if (setup.startsWith(QLatin1String("subdir"))) {
        QVERIFY(QDir().mkpath(dir + QStringLiteral("/sub")));
        QVERIFY(writeFile(dir + QStringLiteral("/sub/c.bin"), content(QStringLiteral("c"), 300)));
    } else if (setup == QLatin1String("dangling link")) {
        QVERIFY(QFile::link(tmp.filePath(QStringLiteral("missing")),
                            dir + QStringLiteral("/gone.bin")));
    } else if (setup == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(dir + QStringLiteral("/pipe")).constData(), 0600), 0);
    } else if (setup.startsWith(QLatin1String("named "))) {
        QVERIFY(writeFile(dir + QLatin1Char('/') + setup.mid(6), "x"));
    } else if (setup == QLatin1String("backslash")) {
        QVERIFY(writeFile(dir + QStringLiteral("/a\\b.bin"), "x"));
    } else if (setup == QLatin1String("newline")) {
        QVERIFY(writeFile(dir + QStringLiteral("/a\nb.bin"), "x"));
    } else if (setup == QLatin1String("closed dir")) {
        QVERIFY(QFile::setPermissions(dir, QFileDevice::Permissions()));
    } else if (setup == QLatin1String("closed file")) {
        QVERIFY(QFile::setPermissions(dir + QStringLiteral("/a.bin"), QFileDevice::Permissions()));
    }

    for (QString &argument : arguments)
        argument.replace(QLatin1String("@@"), tmp.path()).replace(QLatin1Char('@'), dir);
    message.replace(QLatin1String("@@"), tmp.path()).replace(QLatin1Char('@'), dir);
    const QString output = tmp.filePath(QStringLiteral("manifest.xml"));
    const ToolRun run = runTool(arguments + QStringList{QStringLiteral("-o"), output});

    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                          | QFileDevice::ExeOwner);
    QCOMPARE(run.status, status);
    QVERIFY2(run.err.contains(QStringLiteral("korvel-manifest: ") + message), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
    QVERIFY(!QFile::exists(output));
    QVERIFY(!QFile::exists(dir + QStringLiteral("/a.bin.sig")));
    QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/korvel-delta")));
}

void tst_ManifestTool::shape()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("b.dat")), QByteArray(2049, 'b')));
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("a.exe")), QByteArray(151, 'a')));
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("c.cfg")), QByteArray()));
    QVERIFY(QDir(tmp.path()).mkdir(QStringLiteral("skipped")));
    // What an installed folder holds beside the components between runs.
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("KorvelUpdater.lock")), QByteArray()));
    QVERIFY(QDir(tmp.path()).mkdir(QStringLiteral("KorvelUpdater.kept")));
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("KorvelUpdater.kept.index")), "b.dat\n"));

    const ToolRun plain = runTool({tmp.path(), QStringLiteral("https://updates.example.org/korvel")});
    QCOMPARE(plain.status, 0);
    // With the manifest on standard output, what the tool made goes to standard error.
    const qint64 copy = QFileInfo(tmp.filePath(QStringLiteral("korvel-delta/b.dat.zst"))).size();
    const qint64 small = QFileInfo(tmp.filePath(QStringLiteral("korvel-delta/a.exe.zst"))).size();
    QString err = plain.err;
    for (const char *line : {"the updater's lock file \"KorvelUpdater.lock\"",
                             "the updater's kept downloads \"KorvelUpdater.kept\"",
                             "the index of the updater's kept downloads \"KorvelUpdater.kept.index\""}) {
        const QString skipped = QStringLiteral("korvel-manifest: skipping ") + S(line) + QLatin1Char('\n');
        QVERIFY2(err.count(skipped) == 1, qPrintable(plain.err));
        err.remove(skipped);
    }
    QCOMPARE(err, QStringLiteral("korvel-manifest: skipping the subdirectory \"skipped\"\n"
                                       "a.exe: 151 bytes; compressed copy %1 bytes (%2 %)\n"
                                       "b.dat: 2049 bytes; compressed copy %3 bytes (%4 %)\n"
                                       "c.cfg: 0 bytes; no compressed copy (not below 95 % of the file)\n"
                                       "release: 3 components, 2200 bytes; korvel-delta/ %5 bytes\n"
                                       "a new installation fetches %5 bytes (%6 %)\n"
                                       "upload \"%7\" with its folder korvel-delta/, then check it with "
                                       "korvel-manifest --check\n")
             .arg(small).arg(small * 100.0 / 151, 0, 'f', 1).arg(copy)
             .arg(copy * 100.0 / 2049, 0, 'f', 1).arg(small + copy)
             .arg((small + copy) * 100.0 / 2200, 0, 'f', 1).arg(tmp.path()));
    const auto item = [&](const char *name, const QByteArray &data) {
        const QByteArray compressed = readFile(tmp.filePath(QStringLiteral("korvel-delta/"))
                                               + QLatin1String(name) + QStringLiteral(".zst"));
        // Nothing to gain from a copy of an empty file.
        const QByteArray copyElement = data.isEmpty() ? QByteArray()
                : "        <compressed size=\"" + QByteArray::number(compressed.size()) + "\" sha256=\""
                  + sha256(compressed) + "\">https://updates.example.org/korvel/korvel-delta/" + name
                  + ".zst</compressed>\n";
        return "    <item>\n"
               "        <name>" + QByteArray(name) + "</name>\n"
               "        <version></version>\n"
               "        <url>https://updates.example.org/korvel/" + name + "</url>\n"
               "        <installlocation>installdir</installlocation>\n"
               "        <filesize>" + QByteArray::number(data.size()) + "</filesize>\n"
               "        <requireuac>false</requireuac>\n"
               "        <sha256>" + sha256(data) + "</sha256>\n"
               + copyElement + "    </item>\n";
    };
    const QByteArray expected = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                "<model>\n"
            + item("a.exe", QByteArray(151, 'a')) + item("b.dat", QByteArray(2049, 'b'))
            + item("c.cfg", QByteArray()) + "</model>\n";
    QCOMPARE(plain.out, expected);

    // Options, escaping in every field, and files named in the order wanted.
    const ToolRun options = runTool({tmp.path(), QStringLiteral("http://127.0.0.1:8080/a&b/"),
                                     QStringLiteral("c.cfg"), QStringLiteral("a.exe"),
                                     QStringLiteral("--component-version"), QStringLiteral("2.0 <beta> & \"rc\""),
                                     QStringLiteral("--install-location"), QStringLiteral("C:/Korvel & Co"),
                                     QStringLiteral("--location"), QStringLiteral("a.exe=D:\\<bin>"),
                                     QStringLiteral("--require-uac")});
    QCOMPARE(options.status, 0);
    QVERIFY2(!options.err.contains(QStringLiteral("korvel-manifest:")), qPrintable(options.err));
    QVERIFY(options.out.contains("<version>2.0 &lt;beta&gt; &amp; &quot;rc&quot;</version>"));
    QVector<Item> items;
    QString error;
    QVERIFY2(parseManifest(options.out, &items, &error), qPrintable(error));
    QCOMPARE(items.size(), 2);
    QCOMPARE(items.at(0).name, QStringLiteral("c.cfg"));
    QCOMPARE(items.at(0).url, QStringLiteral("http://127.0.0.1:8080/a&b/c.cfg"));
    QCOMPARE(items.at(0).installLocation, QStringLiteral("C:/Korvel & Co"));
    QCOMPARE(items.at(0).fileSize, QStringLiteral("0"));
    QCOMPARE(items.at(1).name, QStringLiteral("a.exe"));
    QCOMPARE(items.at(1).installLocation, QStringLiteral("D:\\<bin>"));
    QCOMPARE(items.at(1).fileSize, QStringLiteral("151"));
    for (const Item &item : items) {
        QCOMPARE(item.version, QStringLiteral("2.0 <beta> & \"rc\""));
        QCOMPARE(item.requireUac, QStringLiteral("true"));
    }
}

void tst_ManifestTool::names_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("encoded");

    QTest::newRow("ampersand") << S("a&b.bin") << S("a%26b.bin");
    QTest::newRow("brackets") << S("[tag]{x}.dat") << S("%5Btag%5D%7Bx%7D.dat");
    QTest::newRow("quotes") << S("say 'it's'.txt") << S("say%20%27it%27s%27.txt");
    QTest::newRow("blanks") << S(" two  blanks .cfg") << S("%20two%20%20blanks%20.cfg");
    QTest::newRow("umlauts") << S("Grüße.dat") << S("Gr%C3%BC%C3%9Fe.dat");
    QTest::newRow("cjk") << S("日本.bin") << S("%E6%97%A5%E6%9C%AC.bin");
    QTest::newRow("url delimiters") << S("100% #1=y;z+w.bin") << S("100%25%20%231%3Dy%3Bz%2Bw.bin");
    QTest::newRow("unreserved") << S("A-z_0.9~") << S("A-z_0.9~");
    QTest::newRow("hidden") << S(".hidden") << S(".hidden");
}

void tst_ManifestTool::names()
{
    QFETCH(QString, name);
    QFETCH(QString, encoded);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(writeFile(tmp.filePath(name), "12345"));
    const ToolRun run = runTool({tmp.path(), QStringLiteral("http://127.0.0.1:8080/rel ease")});
    QCOMPARE(run.status, 0);

    QVector<Item> items;
    QString error;
    QVERIFY2(parseManifest(run.out, &items, &error), qPrintable(error));
    QCOMPARE(items.size(), 1);
    QCOMPARE(items.at(0).name, name);
    QCOMPARE(items.at(0).fileSize, QStringLiteral("5"));
    QCOMPARE(items.at(0).url, QStringLiteral("http://127.0.0.1:8080/rel%20ease/") + encoded);
    // What the updater does with the text: a URL whose path decodes to the name.
    const QUrl url(items.at(0).url);
    QVERIFY(url.isValid());
    QCOMPARE(url.path(QUrl::FullyDecoded), QStringLiteral("/rel ease/") + name);
}

void tst_ManifestTool::determinism()
{
    const QStringList names = {QStringLiteral("b.bin"), QStringLiteral("Ä.bin"),
                               QStringLiteral("a.bin"), QStringLiteral("B.bin"),
                               QStringLiteral("a b.bin"), QStringLiteral("a.bin.old")};
    QTemporaryDir first;
    QTemporaryDir second;
    QVERIFY(first.isValid() && second.isValid());
    for (int i = 0; i < names.size(); ++i) {
        QVERIFY(writeFile(first.filePath(names.at(i)), content(names.at(i), 200 + i)));
        const QString &reversed = names.at(names.size() - 1 - i);
        QVERIFY(writeFile(second.filePath(reversed), content(reversed, 200 + names.indexOf(reversed))));
    }

    const QString base = QStringLiteral("http://127.0.0.1/r/");
    const ToolRun one = runTool({first.path(), base});
    const ToolRun two = runTool({second.path(), base});
    QCOMPARE(one.status, 0);
    QCOMPARE(two.status, 0);
    QCOMPARE(one.out, two.out);
    QCOMPARE(runTool({first.path(), base}).out, one.out);

    QVector<Item> items;
    QString error;
    QVERIFY2(parseManifest(one.out, &items, &error), qPrintable(error));
    QStringList order;
    for (const Item &item : items)
        order.append(item.name);
    // By code units: upper case before lower case, non-ASCII last.
    QCOMPARE(order, QStringList({QStringLiteral("B.bin"), QStringLiteral("a b.bin"),
                                 QStringLiteral("a.bin"), QStringLiteral("a.bin.old"),
                                 QStringLiteral("b.bin"), QStringLiteral("Ä.bin")}));
}

// Random bytes, 150 KB changed, at a size where zstd's optimal parser once
// lost the reference: the patch must stay about the size of the change.
void tst_ManifestTool::largePatchFindsItsReference()
{
    const int size = 72 << 20;
    QByteArray base(size, Qt::Uninitialized);
    QRandomGenerator generator(33);
    generator.fillRange(reinterpret_cast<quint32 *>(base.data()), size / 4);
    QByteArray data = base;
    for (int at = 1 << 20; at < (1 << 20) + 150000; ++at)
        data[at] = char(generator.generate());
    QByteArray patch;
    QString error;
    QVERIFY2(ZstdEncoder::createPatch(base.constData(), base.size(), data.constData(), data.size(),
                                      [&](const char *bytes, qint64 length) {
                                          patch.append(bytes, int(length));
                                          return true;
                                      },
                                      &error),
             qPrintable(error));
    QVERIFY2(patch.size() < 200000, qPrintable(QString::number(patch.size())));
}

void tst_ManifestTool::outputFileIsNotListed_data()
{
    QTest::addColumn<QString>("via");
    QTest::newRow("its path") << S("path");
    // "korvel-manifest DIR URL > DIR/manifest.xml": the shell makes the file first.
    QTest::newRow("standard output") << S("stdout");
    // The folder named through a link, the output by its real path.
    QTest::newRow("through a link") << S("link");
}

void tst_ManifestTool::outputFileIsNotListed()
{
    QFETCH(QString, via);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString dir = tmp.filePath(QStringLiteral("release"));
    QVERIFY(QDir().mkpath(dir));
    QVERIFY(writeFile(dir + QStringLiteral("/a.bin"), "abc"));
    const QString link = tmp.filePath(QStringLiteral("link"));
    QVERIFY(QFile::link(dir, link));
    const QString manifest = dir + QStringLiteral("/manifest.xml");
    QStringList arguments = {via == QLatin1String("link") ? link : dir, QStringLiteral("http://127.0.0.1/")};
    if (via != QLatin1String("stdout"))
        arguments << QStringLiteral("-o") << manifest;
    const auto run = [&] {
        const ToolRun tool = runTool(arguments, QByteArray(),
                                     via == QLatin1String("stdout") ? manifest : QString());
        return tool.status == 0 ? readFile(manifest) : QByteArray();
    };

    const QByteArray written = run();
    QVERIFY(written.contains("<name>a.bin</name>"));
    QVERIFY(!written.contains("manifest.xml"));
    // A second run sees the first manifest in the directory and still leaves it out.
    QCOMPARE(run(), written);
    QCOMPARE(runTool({dir, QStringLiteral("http://127.0.0.1/"), QStringLiteral("a.bin")}).out,
             written);
}

void tst_ManifestTool::publisherFilesKept_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");

    // "@" stands for the release directory, "^" for a link to it, "@@" for
    // the temporary directory. "earlier" rows run the tool once before,
    // signed, and then change b.bin, so that a second run would change
    // every file it writes.
    const QString base = S("http://127.0.0.1/r/");
    const QStringList sign = {S("--sign-key"), S(KORVEL_SOURCE_DIR "/tests/data/test-publisher-1.key.pem"),
                              S("--serial"), S("2")};
    QTest::newRow("output is a component") << S("plain") << L({S("@"), base, S("-o"), S("@/a.bin")})
            << 1 << S("the output file would replace the component \"a.bin\"");
    QTest::newRow("output is a named component")
            << S("plain") << L({S("@"), base, S("a.bin"), S("b.bin"), S("-o"), S("@/b.bin")})
            << 1 << S("the output file would replace the component \"b.bin\"");
    QTest::newRow("output through a link is a component")
            << S("plain") << L({S("@"), base, S("-o"), S("^/a.bin")})
            << 1 << S("the output file would replace the component \"a.bin\"");
    QTest::newRow("signature is a component")
            << S("data.sig") << (L({S("@"), base, S("-o"), S("@@/m.xml")}) + sign)
            << 1 << S("the signature of \"data\" would replace the component \"data.sig\"");
    QTest::newRow("manifest's signature is a component")
            << S("manifest.xml.sig") << (L({S("@"), base, S("-o"), S("@/manifest.xml")}) + sign)
            << 1 << S("the manifest's signature would replace the component \"manifest.xml.sig\"");
    // A failed write leaves everything as it was, the earlier manifest with its signature.
    QTest::newRow("signature cannot be written")
            << S("earlier, signature a folder") << (L({S("@"), base, S("-o"), S("@/manifest.xml")}) + sign)
            << 1 << S("cannot write \"@/manifest.xml.sig\": it is not a file");
    QTest::newRow("delta folder cannot be made")
            << S("earlier, delta folder a file") << (L({S("@"), base, S("-o"), S("@/manifest.xml")}) + sign)
            << 1 << S("cannot make the folder \"@/korvel-delta\"");
    QTest::newRow("output folder missing")
            << S("earlier") << (L({S("@"), base, S("-o"), S("@@/none/manifest.xml")}) + sign)
            << 1 << S("cannot write \"@@/none/manifest.xml");
    // What the tool says beside what it leaves.
    QTest::newRow("stale signature removed")
            << S("earlier") << L({S("@"), base, S("-o"), S("@/manifest.xml")})
            << 0 << S("removed \"@/manifest.xml.sig\": the manifest is not signed now");
    QTest::newRow("stale component signature removed")
            << S("earlier") << L({S("@"), base, S("-o"), S("@@/m.xml")})
            << 0 << S("removed \"@/b.bin.sig\": the release is not signed now");
    QTest::newRow("unlisted patch removed")
            << S("earlier, data gone") << (L({S("@"), base, S("-o"), S("@/manifest.xml")}) + sign)
            << 0 << S("removed korvel-delta/data.zst: no item lists it any more");
    QTest::newRow("previous is the release")
            << S("plain") << L({S("@"), base, S("-o"), S("@@/m.xml"), S("--previous"), S("^")})
            << 0 << S("warning: --previous \"@@/link\" is the release itself");
    QTest::newRow("previous shares nothing")
            << S("plain") << L({S("@"), base, S("-o"), S("@@/m.xml"), S("--previous"), S("@@")})
            << 0 << S("warning: --previous \"@@\" holds no file of the release's names");
    QTest::newRow("what a user of a previous fetches")
            << S("previous") << L({S("@"), base, S("-o"), S("@@/m.xml"), S("--previous"), S("@@/old")})
            << 0 << S("a user of \"@@/old\" fetches ");
    // Three signatures, one passphrase.
    QTest::newRow("encrypted key")
            << S("encrypted key")
            << L({S("@"), base, S("-o"), S("@/manifest.xml"), S("--sign-key"), S("@@/encrypted.pem")})
            << 0 << S("Enter PEM pass phrase:");
}

void tst_ManifestTool::publisherFilesKept()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, message);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString dir = tmp.filePath(QStringLiteral("release"));
    QVERIFY(QDir().mkpath(dir));
    QVERIFY(QFile::link(dir, tmp.filePath(QStringLiteral("link"))));
    for (const char *name : {"a.bin", "b.bin", "data"})
        QVERIFY(writeFile(dir + QLatin1Char('/') + QLatin1String(name), content(S(name), 300)));
    // Compressible, so that its copy is written.
    if (setup.endsWith(QLatin1String("data gone")))
        QVERIFY(writeFile(dir + QStringLiteral("/data"), QByteArray(300, 'd')));
    if (setup == QLatin1String("data.sig") || setup == QLatin1String("manifest.xml.sig"))
        QVERIFY(writeFile(dir + QLatin1Char('/') + setup, "not a signature\n"));
    if (setup.startsWith(QLatin1String("earlier"))) {
        const ToolRun earlier = runTool({dir, QStringLiteral("http://127.0.0.1/r/"), QStringLiteral("-o"),
                                         dir + QStringLiteral("/manifest.xml"), QStringLiteral("--sign-key"),
                                         S(KORVEL_SOURCE_DIR "/tests/data/test-publisher-1.key.pem"),
                                         QStringLiteral("--serial"), QStringLiteral("1")});
        QVERIFY2(earlier.status == 0, qPrintable(earlier.err));
        QVERIFY(writeFile(dir + QStringLiteral("/b.bin"), content(QStringLiteral("b2"), 300)));
    }
    if (setup.endsWith(QLatin1String("signature a folder"))) {
        QVERIFY(QFile::remove(dir + QStringLiteral("/manifest.xml.sig")));
        QVERIFY(QDir(dir).mkdir(QStringLiteral("manifest.xml.sig")));
    } else if (setup.endsWith(QLatin1String("data gone"))) {
        QVERIFY(QFile::remove(dir + QStringLiteral("/data")) && QFile::remove(dir + QStringLiteral("/data.sig")));
    } else if (setup == QLatin1String("previous")) {
        QVERIFY(QDir().mkpath(tmp.filePath(QStringLiteral("old"))));
        QVERIFY(writeFile(tmp.filePath(QStringLiteral("old/a.bin")), content(S("a.bin"), 300)));
        QVERIFY(writeFile(tmp.filePath(QStringLiteral("old/b.bin")), content(S("b.bin"), 290)));
    } else if (setup.endsWith(QLatin1String("delta folder a file"))) {
        QVERIFY(QDir(dir + QStringLiteral("/korvel-delta")).removeRecursively());
        QVERIFY(writeFile(dir + QStringLiteral("/korvel-delta"), "in the way"));
    } else if (setup == QLatin1String("encrypted key")) {
        QCOMPARE(QProcess::execute(QStringLiteral("openssl"),
                                   {QStringLiteral("pkey"), QStringLiteral("-aes256"), QStringLiteral("-in"),
                                    S(KORVEL_SOURCE_DIR "/tests/data/test-publisher-1.key.pem"),
                                    QStringLiteral("-passout"), QStringLiteral("pass:secret"),
                                    QStringLiteral("-out"), tmp.filePath(QStringLiteral("encrypted.pem"))}),
                 0);
    }

    for (QString &argument : arguments)
        argument.replace(QLatin1String("@@"), tmp.path()).replace(QLatin1Char('^'), tmp.filePath(QStringLiteral("link")))
                .replace(QLatin1Char('@'), dir);
    message.replace(QLatin1String("@@"), tmp.path()).replace(QLatin1Char('@'), dir);
    const QMap<QString, QByteArray> before = snapshot(tmp.path());
    const ToolRun run = runTool(arguments, status == 0 ? QByteArray("secret\n") : QByteArray());
    QCOMPARE(run.status, status);
    QVERIFY2(run.err.count(message) + QString::fromUtf8(run.out).count(message) == 1,
             qPrintable(run.err + QString::fromUtf8(run.out)));
    if (status != 0)
        QVERIFY(snapshot(tmp.path()) == before);
    else if (!arguments.contains(QStringLiteral("--sign-key")))
        QCOMPARE(QDir(dir).entryList({QStringLiteral("*.sig")}, QDir::Files), QStringList());
    else if (arguments.contains(QStringLiteral("@/manifest.xml").replace(QLatin1Char('@'), dir)))
        QCOMPARE(QFileInfo(dir + QStringLiteral("/manifest.xml.sig")).size() > 0,
                 arguments.contains(QStringLiteral("--sign-key")));
}

// Killed at each of its renames, the tool leaves what the next run undoes:
// the release from before (or, past the last rename, the new one), with no
// temporary file listed or left; run again, it writes the new release.
void tst_ManifestTool::killedAtEveryRename()
{
    if (QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty())
        QSKIP("needs strace");
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QStringList sign = {QStringLiteral("--sign-key"),
                              S(KORVEL_SOURCE_DIR "/tests/data/test-publisher-1.key.pem"),
                              QStringLiteral("--serial"), QStringLiteral("2")};
    // An earlier signed release, then b.bin changed, c.bin new and d.bin
    // gone: the next run replaces, adds and removes files.
    const auto prepare = [&](const QString &dir) {
        QDir(dir).removeRecursively();
        QDir().mkpath(dir);
        for (const char *name : {"a.bin", "b.bin", "d.bin"})
            writeFile(dir + QLatin1Char('/') + QLatin1String(name), QByteArray(3000, *name));
        const ToolRun earlier = runTool(QStringList{dir, QStringLiteral("http://127.0.0.1/r/"), QStringLiteral("-o"),
                                                    dir + QStringLiteral("/manifest.xml")} + sign);
        writeFile(dir + QStringLiteral("/b.bin"), QByteArray(3000, 'B'));
        writeFile(dir + QStringLiteral("/c.bin"), QByteArray(3000, 'c'));
        QFile::remove(dir + QStringLiteral("/d.bin"));
        QFile::remove(dir + QStringLiteral("/d.bin.sig"));
        return earlier.status == 0;
    };
    const QString dir = tmp.filePath(QStringLiteral("release"));
    const QStringList arguments = QStringList{dir, QStringLiteral("http://127.0.0.1/r/"), QStringLiteral("-o"),
                                              dir + QStringLiteral("/manifest.xml")} + sign;
    QVERIFY(prepare(dir));
    const QMap<QString, QByteArray> before = snapshot(dir);
    QCOMPARE(runTool(arguments).status, 0);
    const QMap<QString, QByteArray> after = snapshot(dir);
    QVERIFY(after != before);

    const auto restore = [&] {
        QDir(dir).removeRecursively();
        QDir().mkpath(dir);
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            if (it.value() == "/")
                QDir().mkpath(dir + it.key());
            else
                writeFile(dir + it.key(), it.value());
        }
        return snapshot(dir) == before;
    };
    for (int rename = 1;; ++rename) {
        QVERIFY(restore());
        QProcess strace;
        // The leak check cannot run under a tracer, and would fail every run.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (environment.contains(QStringLiteral("ASAN_OPTIONS")))
            environment.insert(QStringLiteral("ASAN_OPTIONS"),
                               environment.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":detect_leaks=0"));
        strace.setProcessEnvironment(environment);
        strace.start(QStringLiteral("strace"),
                     QStringList{QStringLiteral("-f"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                                 QStringLiteral("-e"), QStringLiteral("trace=rename,renameat,renameat2"),
                                 QStringLiteral("-e"),
                                 QStringLiteral("inject=rename,renameat,renameat2:signal=KILL:when=%1").arg(rename),
                                 productPath(QStringLiteral(KORVEL_MANIFEST_BIN))} + arguments);
        QVERIFY(strace.waitForFinished(testTime(60000)));
        if (strace.exitCode() == 0)
            break; // no rename left to kill at
        QVERIFY2(rename < 40, "the tool never got through");
        // A run that then fails undoes the stopped one first.
        const ToolRun failed = runTool({dir, QStringLiteral("http://127.0.0.1/r/"), QStringLiteral("none.bin")});
        QCOMPARE(failed.status, 1);
        const QMap<QString, QByteArray> left = snapshot(dir);
        QVERIFY2(left == before || left == after, qPrintable(QStringList(left.keys()).join(QLatin1Char(' '))));
        QCOMPARE(runTool(arguments).status, 0);
        QVERIFY2(snapshot(dir) == after, qPrintable(QStringLiteral("killed at rename %1").arg(rename)));
    }
}

// The manifest written by the tool drives the real updater against nginx.
// Under Wine both are the Windows programs, and every name is one Windows
// allows, non-ASCII ones included.
void tst_ManifestTool::roundTrip()
{
    const bool wine = UpdaterSandbox::usesWine();
    if (wine)
        REQUIRE_RUNNER();
    // Signed by the tool, checked by an updater built with the public key.
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_KEYED_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    const QString key = box.root() + QStringLiteral("/publisher.pem");
    QVERIFY(QFile::copy(QStringLiteral(KORVEL_SOURCE_DIR "/tests/data/test-publisher-2.key.pem"), key));
    const QString www = box.makeDir(QStringLiteral("www"));
    const QString release = www + S("/re lease \u0141\u00f3d\u017a");
    const QString dataDir = box.makeDir(QStringLiteral("data & more"));
    QVERIFY(QDir().mkpath(release));

    QList<QPair<QString, int>> files = {
        {QStringLiteral("KorvelCore & <Engine>.dll"), 1536 * 1024 + 7},
        {QStringLiteral("say \"it's\" here.cfg"), 151},
        {QStringLiteral("two  blanks .txt"), 4096},
        {S("Gr\u00fc\u00dfe-\u00f1-\u65e5\u672c.dat"), 70000},
        {QStringLiteral("100% #1?x=y;z+w.bin"), 333},
        {QStringLiteral("percent 100% & #hash;.bin"), 333},
        {QStringLiteral("data file.bin"), 200000},
        {QStringLiteral("noise.bin"), 100000},
    };
    // Names that Windows cannot create are refused on every platform.
    {
        static const QRegularExpression notOnWindows(QStringLiteral("[<>:\"|?*]"));
        files.erase(std::remove_if(files.begin(), files.end(),
                                   [](const QPair<QString, int> &file) {
                                       return file.first.contains(notOnWindows);
                                   }),
                    files.end());
    }
    // Two earlier releases, for patches: every component a little different
    // in each, but "data file.bin" the same in the later one, "two  blanks
    // .txt" new, and noise.bin noise that no patch shortens.
    QHash<QString, QByteArray> data;
    const QStringList previous = {box.root() + QStringLiteral("/previous 1"),
                                  box.root() + QStringLiteral("/previous 2")};
    QHash<QByteArray, QByteArray> earlier;
    for (const auto &file : files) {
        const bool noise = file.first == QLatin1String("noise.bin");
        const auto bytes = [&] {
            QByteArray bytes = noise ? QByteArray(file.second, Qt::Uninitialized) : content(file.first, file.second);
            if (noise)
                QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), file.second / 4);
            return bytes;
        };
        data.insert(file.first, bytes());
        QVERIFY(writeFile(release + QLatin1Char('/') + file.first, data.value(file.first)));
        for (int i = 0; i < previous.size() && file.first != QLatin1String("two  blanks .txt"); ++i) {
            QByteArray old = bytes();
            if (i == 0 || file.first != QLatin1String("data file.bin"))
                old.replace(old.size() / 3, 12, "release " + QByteArray::number(i) + " of old");
            QVERIFY(QDir().mkpath(previous.at(i)));
            QVERIFY(writeFile(previous.at(i) + QLatin1Char('/') + file.first, old));
            earlier.insert(sha256(old), old);
        }
    }

    NginxServer nginx(www);
    QVERIFY2(nginx.start(), qPrintable(nginx.errorText()));
    const QString manifest = www + QStringLiteral("/manifest.xml");
    QStringList arguments = {box.updaterPath(release),
                             nginx.url(QFileInfo(release).fileName().prepend(QLatin1Char('/'))
                                       + QLatin1Char('/')).toString(),
                             QStringLiteral("--location"),
                             QStringLiteral("data file.bin=") + box.updaterPath(dataDir),
                             QStringLiteral("--sign-key"), box.updaterPath(key),
                             QStringLiteral("-o"), box.updaterPath(manifest),
                             QStringLiteral("--previous"), box.updaterPath(previous.at(0)),
                             QStringLiteral("--previous"), box.updaterPath(previous.at(1))};
    // The tool's exit status, and what it printed.
    QString windowsTool;
    const auto runBuiltTool = [&](const QStringList &arguments, QByteArray *output) {
        if (wine)
            return WineSession::instance()->run(windowsTool, arguments, output);
        const ToolRun tool = runTool(arguments);
        *output = tool.out + tool.err.toUtf8();
        return tool.status;
    };
    if (wine) {
        // The tool in its own folder, as a publisher on Windows unpacks it.
        WineSession *session = WineSession::instance();
        const QString toolDir = box.root() + QStringLiteral("/korvel-manifest-win64");
        QVERIFY(QDir().mkpath(toolDir));
        for (const QFileInfo &file : QDir(QFileInfo(session->manifestTool()).path()).entryInfoList(QDir::Files))
            QVERIFY(QFile::copy(file.filePath(), toolDir + QLatin1Char('/') + file.fileName()));
        windowsTool = toolDir + QStringLiteral("/korvel-manifest.exe");
    }
    QByteArray output;
    QVERIFY2(runBuiltTool(arguments, &output) == 0, output.constData());
    QVERIFY(box.writeHandOff(nginx.url(QStringLiteral("/manifest.xml")).toEncoded() + '\n'));
    // What a publisher with only OpenSSL would check (the host's openssl):
    // the manifest's signature, and each component's for older updaters.
    const QByteArray written = readFile(manifest);
    QVERIFY(QRegularExpression(QStringLiteral("<model serial=\"[0-9]{10}\">"))
                    .match(QString::fromUtf8(written)).hasMatch());
    QList<QPair<QByteArray, QString>> signatures = {
            {"korvel-release-v1\n" + QCryptographicHash::hash(written, QCryptographicHash::Sha256).toHex()
                     + '\n',
             manifest + QStringLiteral(".sig")}};
    for (const auto &file : wine ? decltype(files)() : files) {
        const QString path = release + QLatin1Char('/') + file.first;
        const QByteArray sha256 = QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha256).toHex();
        QVERIFY(written.contains("<sha256>" + sha256 + "</sha256>"));
        signatures.append({"korvel-component-v1\n" + file.first.toUtf8() + '\n' + sha256 + '\n',
                           path + QStringLiteral(".sig")});
    }
    for (const auto &signature : signatures) {
        QVERIFY(writeFile(box.root() + QStringLiteral("/message"), signature.first));
        QVERIFY(writeFile(box.root() + QStringLiteral("/signature"),
                          QByteArray::fromBase64(readFile(signature.second))));
        QCOMPARE(QProcess::execute(QStringLiteral("openssl"),
                                   {QStringLiteral("pkeyutl"), QStringLiteral("-verify"),
                                    QStringLiteral("-rawin"), QStringLiteral("-inkey"), key,
                                    QStringLiteral("-in"), box.root() + QStringLiteral("/message"),
                                    QStringLiteral("-sigfile"), box.root() + QStringLiteral("/signature")}),
                 0);
    }

    // Every compressed copy and patch decodes, as an updater will decode it,
    // to its component; a patch only where it is clearly smaller.
    QVector<Item> items;
    QString error;
    QVERIFY2(parseManifest(written, &items, &error), qPrintable(error));
    QCOMPARE(items.size(), files.size());
    const QHash<QString, int> patchCounts = {{S("Gr\u00fc\u00dfe-\u00f1-\u65e5\u672c.dat"), 2},
                                             {S("data file.bin"), 1}, {S("noise.bin"), 0},
                                             {S("two  blanks .txt"), 0}};
    for (const Item &item : items) {
        const QByteArray &bytes = data.value(item.name);
        QCOMPARE(item.sha256.toLatin1(), sha256(bytes));
        const auto encoded = [](const QString &name) { return QString::fromLatin1(QUrl::toPercentEncoding(name)); };
        const QString deltaUrl = item.url.left(item.url.size() - encoded(item.name).size())
                + QStringLiteral("korvel-delta/");
        QVector<Delta> deltas = item.patches;
        // Noise is not worth a copy: its file is what comes.
        QVERIFY(item.compressed.url.isEmpty() || item.name != QLatin1String("noise.bin"));
        QVERIFY(!QFileInfo::exists(release + QStringLiteral("/korvel-delta/noise.bin.zst")));
        if (!item.compressed.url.isEmpty())
            deltas.prepend(item.compressed);
        const qint64 without = item.compressed.url.isEmpty() ? bytes.size() : item.compressed.size.toLongLong();
        for (const Delta &delta : deltas) {
            const QString name = item.name + (delta.base.isEmpty() ? QStringLiteral(".zst")
                    : QStringLiteral(".from-") + delta.base.left(16) + QStringLiteral(".zstpatch"));
            const QByteArray file = readFile(release + QStringLiteral("/korvel-delta/") + name);
            QCOMPARE(delta.url, deltaUrl + encoded(name));
            QCOMPARE(delta.size, QString::number(file.size()));
            QCOMPARE(delta.sha256.toLatin1(), sha256(file));
            QVERIFY2(delta.base.isEmpty() || delta.size.toLongLong() * 10 <= without * 9,
                     qPrintable(name));
            const QByteArray reference = earlier.value(delta.base.toLatin1());
            QVERIFY(delta.base.isEmpty() || !reference.isEmpty());
            QCOMPARE(decodeFile(release + QStringLiteral("/korvel-delta/") + name, bytes.size(), reference,
                                &error), sha256(bytes));
            // One byte more than allowed, or another earlier file, is refused.
            QVERIFY(decodeFile(release + QStringLiteral("/korvel-delta/") + name, bytes.size() - 1, reference,
                               &error).isEmpty());
            if (!delta.base.isEmpty()) {
                QVERIFY(decodeFile(release + QStringLiteral("/korvel-delta/") + name, bytes.size(),
                                   QByteArray(reference.size(), 'x'), &error).isEmpty());
            }
        }
        if (patchCounts.contains(item.name))
            QCOMPARE(item.patches.size(), patchCounts.value(item.name));
    }

    // The updater starts from the later earlier release: each component
    // comes the cheapest way the manifest offers, once.
    const QString releasePath = QLatin1Char('/') + QFileInfo(release).fileName() + QLatin1Char('/');
    QStringList expected = {QStringLiteral("/manifest.xml 200"), QStringLiteral("/manifest.xml 200"),
                            QStringLiteral("/manifest.xml.sig 200")};
    for (const Item &item : items) {
        const QString dir = item.name == QLatin1String("data file.bin") ? dataDir : box.installDir();
        const QByteArray old = readFile(previous.at(1) + QLatin1Char('/') + item.name);
        if (!old.isNull())
            QVERIFY(writeFile(dir + QLatin1Char('/') + item.name, old));
        if (old == data.value(item.name))
            continue;
        Delta way = item.compressed;
        if (way.url.isEmpty())
            way.url = item.url;
        for (const Delta &patch : item.patches) {
            if (patch.base.toLatin1() == sha256(old))
                way = patch;
        }
        // A way larger than the file itself is never taken.
        const bool cheaper = way.size.toLongLong() <= item.fileSize.toLongLong();
        expected.append(QUrl::fromPercentEncoding(QUrl(cheaper ? way.url : item.url).path(QUrl::FullyEncoded).toLatin1())
                        + QStringLiteral(" 200"));
        QVERIFY(!cheaper || way.url == item.url
                || expected.last().startsWith(releasePath + QStringLiteral("korvel-delta/")));
    }
    QVERIFY(box.start());
    VERIFY_COMPLETES(box);
    for (const auto &file : files) {
        const QString dir = file.first == QLatin1String("data file.bin") ? dataDir : box.installDir();
        const QByteArray installed = readFile(dir + QLatin1Char('/') + file.first);
        QVERIFY2(installed == data.value(file.first),
                 qPrintable(file.first + QStringLiteral(" differs\n") + QString::fromUtf8(box.output())));
    }
    QTRY_COMPARE_WITH_TIMEOUT(box.appRecord(), QByteArray("started 0"), testTime(30000));
    VERIFY_NOTHING_LOST(box);
    // No signature of a component's own, no whole file but where the way
    // is larger; the manifest twice
    // (the document and the check), its signature once.
    QStringList served = servedPaths(nginx);
    served.sort();
    expected.sort();
    QCOMPARE(served, expected);

    // The release as served, checked as a publisher checks it before the
    // application is pointed at it: as written, then listed with one wrong hash.
    const QString publicKey = box.root() + QStringLiteral("/publisher.pub.pem");
    QVERIFY(QFile::copy(QStringLiteral(KORVEL_SOURCE_DIR "/tests/data/test-publisher-keys.pub.pem"), publicKey));
    QCOMPARE(runBuiltTool({QStringLiteral("--check"), nginx.url(QStringLiteral("/manifest.xml")).toString(),
                           QStringLiteral("--key"), box.updaterPath(publicKey)},
                          &output),
             0);
    QVERIFY2(output.contains("0 problem(s), 0 warning(s)"), output.constData());
    const QByteArray listed = "<sha256>" + items.first().sha256.toLatin1() + "</sha256>";
    QVERIFY(writeFile(www + QStringLiteral("/wrong.xml"),
                      QByteArray(written).replace(listed, "<sha256>" + sha256("other bytes") + "</sha256>")));
    QCOMPARE(runBuiltTool({QStringLiteral("--check"), nginx.url(QStringLiteral("/wrong.xml")).toString()}, &output),
             1);
    // The item's name only natively: a Windows console gets its code page.
    QVERIFY2(output.contains("): its SHA-256 is not the listed one")
                     && (wine || output.contains("problem: " + items.first().name.toUtf8() + " (")),
             output.constData());
}

QTEST_GUILESS_MAIN(tst_ManifestTool)
#include "tst_manifesttool.moc"
