// An update as one unit: whatever ends it before its last component (a kill
// at any rename, a journal left by one), the installation is the release it
// had or the new one, never a mix; and no file is renamed into place before
// its data is on disk. A keyed updater installs exactly the release its
// publisher signed, and never one older than it has.

#include "componentsignature.h"
#include "keptfiles.h"
#include "releasetransaction.h"
#include "sandboxchecks.h"
#include "signedrelease.h"
#include "stagedfile.h"
#include "testhttpserver.h"
#include "testtime.h"
#include "zstdpatch.h"
#include "updatersandbox.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QSet>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <unistd.h>

using namespace SandboxChecks;

namespace {

const int Items = 3;

QByteArray oldBody(int i)
{
    return UpdaterSandbox::pattern(600 + i, 40 + i);
}

QByteArray newBody(int i)
{
    return UpdaterSandbox::pattern(3000 + i, 50 + i);
}

// The file a target names, whichever folder path reaches it.
QString sameFile(const QString &target)
{
    const QFileInfo info(target);
    return QFileInfo(info.path()).canonicalFilePath() + QLatin1Char('/') + info.fileName();
}

// "old" or "new" when every target holds that release, else what each holds.
// Items 0 and 1 may name one file: its old body is 0's, its new one 1's. The
// folder "new" is not there before.
QByteArray release(const QStringList &targets)
{
    QByteArray states;
    for (int i = 0; i < targets.size(); ++i) {
        const bool shared = i < 2 && sameFile(targets.at(0)) == sameFile(targets.at(1));
        const int first = shared ? 0 : i;
        const int last = shared ? 1 : i;
        const QByteArray data = contents(targets.at(i));
        const int fresh = targets.at(i).indexOf(QLatin1String("/new/"));
        const bool old = fresh >= 0 ? !QFileInfo::exists(targets.at(i).left(fresh + 4)) : data == oldBody(first);
        states += data == newBody(last) ? "new " : old ? "old " : "other ";
    }
    if (states == QByteArray("old ").repeated(targets.size()))
        return "old";
    if (states == QByteArray("new ").repeated(targets.size()))
        return "new";
    return states;
}

int count(const UpdaterSandbox &box, const QByteArray &text)
{
    return box.output().count(text);
}

QByteArray sha256(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// A manifest's signature file as a publisher with nothing but OpenSSL makes
// it; the hash is Qt's, so neither half shares code with the updater.
QByteArray signedBy(const QString &key, const QByteArray &manifest)
{
    QTemporaryDir dir;
    const QString message = dir.filePath(QStringLiteral("message"));
    if (!writeFile(message, "korvel-release-v1\n" + sha256(manifest) + '\n'))
        return QByteArray();
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("pkeyutl"), QStringLiteral("-sign"), QStringLiteral("-rawin"),
                   QStringLiteral("-inkey"), QStringLiteral(KORVEL_SOURCE_DIR "/tests/data/") + key,
                   QStringLiteral("-in"), message});
    if (!openssl.waitForFinished(ExitMs) || openssl.exitCode() != 0)
        return QByteArray();
    return openssl.readAllStandardOutput().toBase64() + '\n';
}

// A signed release's manifest: each item's SHA-256, the serial on "model".
QByteArray signedManifest(const QList<QByteArray> &items, const QByteArray &serial)
{
    return UpdaterSandbox::manifest(items.join()).replace("<model>", "<model serial=\"" + serial + "\">");
}

QByteArray signedItem(const QByteArray &name, const QByteArray &url, const QByteArray &location,
                      const QByteArray &body)
{
    return UpdaterSandbox::manifestItem(name, url, location)
            .replace("  </item>", "    <sha256>" + sha256(body) + "</sha256>\n  </item>");
}

QByteArray zstd(const QByteArray &data, const QByteArray *reference = nullptr)
{
    QByteArray out;
    QString error;
    const auto sink = [&out](const char *bytes, qint64 size) {
        out.append(bytes, int(size));
        return true;
    };
    const bool ok = reference ? ZstdEncoder::createPatch(reference->constData(), reference->size(),
                                                         data.constData(), data.size(), sink, &error)
                              : ZstdEncoder::compress(data.constData(), data.size(), sink, &error);
    return ok ? out : QByteArray();
}

} // namespace

class TestRelease : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void killedAtEveryRename_data();
    void killedAtEveryRename();
    void journalAtStart_data();
    void journalAtStart();
    void signedRelease_data();
    void signedRelease();
    void badSignedRelease_data();
    void badSignedRelease();
    void cheaperTransfers_data();
    void cheaperTransfers();
    void notInstalledNeverCompletes_data();
    void notInstalledNeverCompletes();
    void releaseCheck_data();
    void releaseCheck();

private:
    // Three components, each "<folder>/<name>": the folder "install", or
    // one below the sandbox ("alias" links to the install folder).
    QStringList publish(UpdaterSandbox &box, const QStringList &paths);
    bool startAgain(UpdaterSandbox &box, bool handOff);

    TestHttpServer *server = nullptr;
};

void TestRelease::initTestCase()
{
    REQUIRE_RUNNER();
}

void TestRelease::init()
{
    server = new TestHttpServer;
    QVERIFY(server->start());
}

void TestRelease::cleanup()
{
    delete server;
    server = nullptr;
}

QStringList TestRelease::publish(UpdaterSandbox &box, const QStringList &paths)
{
    box.makeDir(QStringLiteral("other"));
    QFile::link(box.installDir(), box.root() + QStringLiteral("/alias"));
    QStringList targets;
    QByteArray items;
    for (int i = 0; i < Items; ++i) {
        const QFileInfo item(paths.at(i));
        const QString folder = item.path() == QLatin1String("install")
                ? box.installDir() : box.root() + QLatin1Char('/') + item.path();
        const QByteArray path = "/c" + QByteArray::number(i);
        targets.append(folder + QLatin1Char('/') + item.fileName());
        server->setResponse(path, TestResponse{200, {}, newBody(i)});
        items += UpdaterSandbox::manifestItem(item.fileName().toUtf8(),
                                              server->url(QString::fromLatin1(path)).toEncoded(),
                                              UpdaterSandbox::xmlEscaped(folder));
    }
    server->setResponse("/m.xml", TestResponse{200, {}, UpdaterSandbox::manifest(items)});
    return targets;
}

// A start without a hand-off file goes no further than its own folder: it
// recovers, sweeps, shows the window and waits.
bool TestRelease::startAgain(UpdaterSandbox &box, bool handOff)
{
    const int shown = count(box, "renderer:");
    if (handOff ? !box.writeHandOff(server->url(QStringLiteral("/m.xml")).toEncoded())
                : QFile::exists(box.handOffPath()) && !QFile::remove(box.handOffPath()))
        return false;
    if (!box.start())
        return false;
    if (handOff)
        return true;
    QDeadlineTimer deadline(ExitMs);
    while (count(box, "renderer:") == shown && box.isRunning() && !deadline.hasExpired())
        QTest::qWait(20);
    return count(box, "renderer:") > shown;
}

void TestRelease::killedAtEveryRename_data()
{
    QTest::addColumn<QString>("items");
    QTest::newRow("three files in two folders") << "install/c0.bin other/c1.bin install/c2.bin";
    // Two paths to one file are one target: its old file is kept once.
    QTest::newRow("one file through a link to its folder") << "install/c0.bin alias/c0.bin install/c2.bin";
    QTest::newRow("the same new file twice, in a missing folder") << "new/deeper/n.bin new/deeper/n.bin install/c2.bin";
}

// The updater killed at each rename of a complete update in turn (strace
// injects the kill; the product has no hook for it). The next start, before
// it reads the hand-off file, leaves one release, without the folders the
// update created; then the update completes.
void TestRelease::killedAtEveryRename()
{
    QFETCH(QString, items);
    if (QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty())
        QSKIP("strace is not installed");
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    // Qt's cache of the compiled document would add renames of its own.
    box.setEnvironmentValue(QStringLiteral("QML_DISABLE_DISK_CACHE"), QStringLiteral("1"));
    const QStringList targets = publish(box, items.split(QLatin1Char(' ')));
    const auto writeOld = [&] {
        QDir(box.root() + QStringLiteral("/new")).removeRecursively();
        for (int i = Items - 1; i >= 0; --i) {
            if (!targets.at(i).contains(QLatin1String("/new/")) && !writeFile(targets.at(i), oldBody(i)))
                return false;
        }
        return true;
    };
    const QString renames = QStringLiteral("rename,renameat,renameat2");

    // Traced whole: every file is flushed before the rename that names it.
    const QString trace = box.root() + QStringLiteral("/trace.txt");
    QVERIFY(writeOld());
    // Without -f: the GUI thread does the file work, and the started
    // application is not waited for.
    box.setLauncher({QStringLiteral("strace"), QStringLiteral("-y"),
                     QStringLiteral("-o"), trace, QStringLiteral("-e"),
                     QStringLiteral("trace=fsync,fdatasync,") + renames});
    QVERIFY(startAgain(box, true));
    VERIFY_COMPLETES(box);
    QCOMPARE(release(targets), QByteArray("new"));
    static const QRegularExpression flush(QStringLiteral("f(?:data)?sync\\(\\d+<(.*)>\\) = 0$"));
    static const QRegularExpression rename(QStringLiteral("rename\\w*\\(.*\"(.*)\", .*\"(.*)\"(?:, \\d+)?\\) = 0$"));
    QSet<QString> flushed;
    int renamed = 0;
    for (const QByteArray &line : contents(trace).split('\n')) {
        const QString call = QString::fromUtf8(line);
        const QRegularExpressionMatch synced = flush.match(call);
        if (synced.hasMatch())
            flushed.insert(synced.captured(1));
        const QRegularExpressionMatch moved = rename.match(call);
        if (!moved.hasMatch())
            continue;
        ++renamed;
        // The journal and every component come in whole.
        const QString to = moved.captured(2);
        if (targets.contains(to) || to.endsWith(QLatin1String(".journal")))
            QVERIFY2(flushed.contains(sameFile(moved.captured(1))), qPrintable(call));
    }
    // The journal's own, and one or two for each component.
    QVERIFY2(renamed >= 1 + Items, contents(trace).constData());

    qInfo("%d renames, each a kill point", renamed);
    for (int n = 1; n <= renamed; ++n) {
        QVERIFY(writeOld());
        box.setLauncher({QStringLiteral("strace"), QStringLiteral("-o"),
                         QStringLiteral("/dev/null"), QStringLiteral("-e"),
                         QStringLiteral("trace=") + renames, QStringLiteral("-e"),
                         QStringLiteral("inject=%1:signal=KILL:when=%2").arg(renames).arg(n)});
        QVERIFY(startAgain(box, true));
        QVERIFY2(box.waitForExit(ExitMs), tail(box).constData());
        QVERIFY2(!box.handOffContent().isEmpty(), qPrintable(QStringLiteral("killed at rename %1").arg(n)));

        box.setLauncher({});
        QVERIFY2(startAgain(box, false), tail(box).constData());
        const QByteArray after = release(targets);
        QVERIFY2(after == "old" || after == "new",
                 qPrintable(QStringLiteral("killed at rename %1: %2").arg(n).arg(QString::fromLatin1(after))));
        box.terminate();
        QVERIFY(box.windowClosed());
        QVERIFY2(box.leftovers().isEmpty(), qPrintable(box.leftovers().join(QLatin1Char(' '))));

        QVERIFY(startAgain(box, true));
        VERIFY_COMPLETES(box);
        QCOMPARE(release(targets), QByteArray("new"));
    }
    VERIFY_NOTHING_LOST(box);
}

void TestRelease::journalAtStart_data()
{
    // What the journal holds for the target t.bin (new) beside its set-aside
    // t.bin.korvel-old (old) and a staging file; whether it is rolled back.
    QTest::addColumn<QByteArray>("journal");
    QTest::addColumn<bool>("trusted");

    // <t> stands for the target's path, <check> for the line's own check.
    const QByteArray header = "korvel-journal 1\n";
    const QByteArray good = "1\t<t>\t<t>.korvel-old\t<check>\n";
    QTest::newRow("whole") << header + good << true;
    // Held by another program, or its rights changed: kept for a start that can read it.
    QTest::newRow("whole, unreadable at first") << header + good << true;
    // An append that never finished covers nothing that was touched.
    QTest::newRow("last line cut short") << header + good + good.left(20) << true;
    QTest::newRow("garbage") << QByteArray("\x7f\x45\x4c\x46 not a journal\n") << false;
    QTest::newRow("header cut short") << header.left(10) << false;
    QTest::newRow("a line that fails its check")
            << header + "1\t<t>\t<t>.korvel-old\t0badc0de\n" << false;
    QTest::newRow("a set-aside file that is not the target's")
            << header + "1\t<t>\t<t>.other\t<check>\n" << false;
}

// A journal found at start: a whole one is rolled back before anything else;
// one that cannot be read is set aside and trusted with nothing, and the
// folder's sweep takes the staging and set-aside files.
void TestRelease::journalAtStart()
{
    QFETCH(QByteArray, journal);
    QFETCH(bool, trusted);

    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    const QString target = box.installDir() + QStringLiteral("/t.bin");
    QVERIFY(writeFile(target, newBody(0)));
    QVERIFY(writeFile(StagedFile::asidePath(target), oldBody(0)));
    QVERIFY(writeFile(StagedFile::stagingPath(target), newBody(1)));
    const QString path = ReleaseTransaction::journalPath(box.installDir());
    QList<QByteArray> lines = journal.replace("<t>", QUrl::toPercentEncoding(target)).split('\n');
    for (QByteArray &line : lines) {
        const int at = line.indexOf("\t<check>");
        if (at >= 0)
            line = line.left(at) + '\t'
                    + QCryptographicHash::hash(line.left(at), QCryptographicHash::Md5).toHex().left(8);
    }
    journal = lines.join('\n');
    QVERIFY(writeFile(path, journal));
    if (QByteArray(QTest::currentDataTag()).contains("unreadable")) {
        // Root reads anything.
        if (geteuid() == 0 && !(UpdaterSandbox::canRunAsNobody() && box.runAsNobody()))
            QSKIP("running as root without a user \"nobody\" to drop to");
        QVERIFY(QFile::setPermissions(path, {}));
        QVERIFY(box.start());
        QVERIFY2(box.waitForExit(ExitMs), tail(box).constData());
        QCOMPARE(box.exitCode(), 0);
        QCOMPARE(count(box, "Cannot read the journal \"" + path.toUtf8() + "\" \""), 1);
        QCOMPARE(contents(path), journal);
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    }

    QVERIFY2(startAgain(box, false), tail(box).constData());
    QCOMPARE(contents(target), trusted ? oldBody(0) : newBody(0));
    QCOMPARE(count(box, "Rolled back the update of 1 component(s)"), trusted ? 1 : 0);
    QCOMPARE(count(box, "Unreadable journal set aside:"), trusted ? 0 : 1);
    QCOMPARE(contents(path + QStringLiteral(".bad")), trusted ? QByteArray() : journal);
    QFile::remove(path + QStringLiteral(".bad"));
    box.terminate();
    QVERIFY(box.windowClosed());
    QVERIFY2(box.leftovers().isEmpty(), qPrintable(box.leftovers().join(QLatin1Char(' '))));
    VERIFY_NOTHING_LOST(box);
}

void TestRelease::signedRelease_data()
{
    // What the document is served (the manifest altered on the way, or not),
    // what the check gets, and the line of the refusal, if any.
    QTest::addColumn<QString>("attack");
    QTest::addColumn<QByteArray>("refused");

    QTest::newRow("all good") << QString() << QByteArray();
    QTest::newRow("manifest altered after signing")
            << "altered" << QByteArray("matches no publisher key: the manifest may have been altered "
                                       "after signing, or signed with another key");
    QTest::newRow(".sig missing") << "no sig" << QByteArray("no manifest signature at");
    QTest::newRow("a stranger's key") << "stranger" << QByteArray("matches no publisher key");
    QTest::newRow("installlocation changed") << "location" << QByteArray("not in the signed manifest");
    QTest::newRow("URL swapped for another signed item's")
            << "swap" << QByteArray("the signed manifest has another address for it");
    QTest::newRow("component replaced by an older signed one")
            << "older component" << QByteArray("its SHA-256 is not the signed one");
    QTest::newRow("item dropped") << "drop" << QByteArray("an item was held back");
    QTest::newRow("older serial after a newer one") << "older release"
                                                    << QByteArray("the serial 200 is older than the installed 300");
    QTest::newRow("same serial twice") << "same release" << QByteArray();
    // The signed hash decides, whatever the size: no answer of 149 bytes or
    // less holds an old component back, and a genuine one that small installs.
    QTest::newRow("an altered tiny answer") << "tiny answer" << QByteArray("its SHA-256 is not the signed one");
    QTest::newRow("a genuine tiny component") << "tiny component" << QByteArray();
    // A component kept by an earlier run: used only with the signed hash.
    QTest::newRow("a kept component") << "kept" << QByteArray();
    QTest::newRow("a kept component altered on disk") << "kept altered" << QByteArray();
}

// A keyed updater installs only the release that was signed, whole; a
// refusal says why once, fetches nothing more, and leaves the old release.
void TestRelease::signedRelease()
{
    QFETCH(QString, attack);
    QFETCH(QByteArray, refused);

    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_KEYED_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    const QByteArray a = UpdaterSandbox::pattern(3000, 61);
    const QByteArray b = UpdaterSandbox::pattern(attack == QLatin1String("tiny component") ? 1 : 2000, 62);
    const QByteArray old = UpdaterSandbox::pattern(500, 63);
    const QString fileA = box.installDir() + QStringLiteral("/a.bin");
    const QString fileB = box.installDir() + QStringLiteral("/b.bin");
    QVERIFY(writeFile(fileA, old) && writeFile(fileB, old));
    const QString serial = SignedRelease::serialPath(box.installDir());
    if (attack.endsWith(QLatin1String(" release")))
        QVERIFY(writeFile(serial, attack == QLatin1String("same release") ? "200\n" : "300\n"));

    const QByteArray urlA = server->url(QStringLiteral("/c/a")).toEncoded();
    const QByteArray urlB = server->url(QStringLiteral("/c/b")).toEncoded();
    const QByteArray itemA = signedItem("a.bin", urlA, "installdir", a);
    const QByteArray itemB = signedItem("b.bin", urlB, "installdir", b);
    const QByteArray manifest = signedManifest({itemA, itemB}, "200");
    server->setResponse("/c/a", TestResponse{200, {}, attack == QLatin1String("older component") ? old
                                                     : attack == QLatin1String("tiny answer") ? a.left(149)
                                                                                               : a});
    server->setResponse("/c/b", TestResponse{200, {}, b});
    server->setResponse("/m.xml", TestResponse{200, {}, manifest});
    if (attack != QLatin1String("no sig"))
        server->setResponse("/m.xml.sig", TestResponse{200, {}, signedBy(
            attack == QLatin1String("stranger") ? QStringLiteral("test-stranger.key.pem")
                                                : QStringLiteral("test-publisher-2.key.pem"), manifest)});
    // Altered for all, or only for the document (Qt's manifest model asks
    // for XML by name), as a man in the middle may tell the two apart.
    QByteArray served = manifest;
    if (attack == QLatin1String("altered"))
        server->setResponse("/m.xml", TestResponse{200, {}, served.replace("<version>1.0.0", "<version>1.0.1")});
    else if (attack == QLatin1String("location"))
        served.replace("installdir", UpdaterSandbox::xmlEscaped(box.updaterPath(box.makeDir(QStringLiteral("other")))));
    else if (attack == QLatin1String("swap"))
        served.replace(urlA, urlB);
    else if (attack == QLatin1String("drop"))
        served.replace(itemB, QByteArray());
    server->setResponse("/m.xml", "application/xml,*/*", TestResponse{200, {}, served});
    QVERIFY(box.writeHandOff(server->url(QStringLiteral("/m.xml")).toEncoded()));
    if (attack.startsWith(QLatin1String("kept"))) {
        KeptFiles kept(box.installDir());
        kept.noteWhole(fileA, sha256(a));
        QVERIFY(QDir().mkpath(QFileInfo(KeptFiles::keptPath(fileA)).path()));
        QVERIFY(writeFile(KeptFiles::keptPath(fileA), attack == QLatin1String("kept") ? a
                                                      : QByteArray(a).replace(1000, 1, "x")));
    }

    QVERIFY(box.start());
    if (refused.isEmpty()) {
        VERIFY_COMPLETES(box);
        QCOMPARE(server->requestCount("/c/a"), attack == QLatin1String("kept") ? 0 : 1);
        QVERIFY(!QFileInfo::exists(KeptFiles::indexPath(box.installDir())));
        QCOMPARE(contents(fileA), a);
        QCOMPARE(contents(fileB), b);
        QCOMPARE(contents(serial), QByteArray("200\n"));
        // The signed release replaces the components' own signatures.
        QCOMPARE(server->requestCount("/c/a.sig") + server->requestCount("/c/b.sig"), 0);
    } else {
        QVERIFY2(box.waitForOutput(refused, ExitMs), tail(box).constData());
        VERIFY_STALLS(box, server->url(QStringLiteral("/m.xml")).toEncoded());
        QCOMPARE(count(box, "Refused: "), 1);
        // A release refused as a whole fetches no component.
        if (refused.contains("key") || refused.contains("signature") || refused.contains("serial"))
            QCOMPARE(server->requestCount("/c/a") + server->requestCount("/c/b"), 0);
        QCOMPARE(contents(fileA), old);
        QCOMPARE(contents(fileB), old);
        QCOMPARE(contents(serial), QByteArray(attack == QLatin1String("older release") ? "300\n" : ""));
    }
    QVERIFY2(box.leftovers().isEmpty(), qPrintable(box.leftovers().join(QLatin1Char(' '))));
    VERIFY_NOTHING_LOST(box);
}

void TestRelease::badSignedRelease_data()
{
    // A signed manifest, its signature file (null: the manifest's own), and
    // the reason it is refused.
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QString>("reason");

    const QByteArray item = signedItem("a.bin", "http://127.0.0.1/a", "/opt/k", "a");
    const QByteArray good = signedManifest({item}, "7");
    QTest::newRow("good") << good << QByteArray() << QString();
    QTest::newRow("signature over 1 KiB") << good << QByteArray(1025, 'A') << "longer than 1024 bytes";
    QTest::newRow("signature not Base64") << good << QByteArray("not a signature!\n") << "not one line of Base64";
    QTest::newRow("manifest over 4 MiB")
            << good + "<!--" + QByteArray(SignedRelease::MaximumManifestSize, '-') + "-->"
            << QByteArray() << "longer than 4194304 bytes";
    QTest::newRow("XML cut short") << good.left(good.size() - 12) << QByteArray() << "the manifest is not XML";
    QTest::newRow("not XML") << QByteArray("\x7f\x45\x4c\x46") << QByteArray() << "the manifest is not XML";
    QTest::newRow("two items with one target")
            << signedManifest({item, signedItem("a.bin", "http://127.0.0.1/b", "/opt/k", "b")}, "7")
            << QByteArray() << "items 1 and 2 have the same target /opt/k/a.bin";
    QTest::newRow("a field twice") << QByteArray(good).replace("</item>", "<url>x</url></item>")
                                   << QByteArray() << "item 1 has two <url> elements";
    for (const char *serial : {"", "-1", "+1", " 1", "1e3", "0x10", "18446744073709551616"})
        QTest::addRow("serial \"%s\"", serial)
                << signedManifest({item}, serial) << QByteArray() << "is not a decimal integer of 64 bits";
    QTest::newRow("no serial") << QByteArray(good).replace(" serial=\"7\"", "") << QByteArray()
                               << "the serial '' is not";
    QTest::newRow("sha256 upper case") << QByteArray(good).replace(sha256("a"), sha256("a").toUpper())
                                       << QByteArray() << "item 1 has no <sha256>";
    QTest::newRow("a name never written") << signedManifest({signedItem("NUL", "http://127.0.0.1/a", "/opt/k", "a")}, "7")
                                          << QByteArray() << "item 1 has a name that is never written: NUL (a Windows device name)";
    QTest::newRow("sha256 missing") << signedManifest({UpdaterSandbox::manifestItem("a.bin", "u", "l")}, "7")
                                    << QByteArray() << "item 1 has no <sha256>";
}

// What a signed manifest may hold: anything else is refused, never read on.
void TestRelease::badSignedRelease()
{
    QFETCH(QByteArray, manifest);
    QFETCH(QByteArray, signature);
    QFETCH(QString, reason);

    QFile keys(QStringLiteral(KORVEL_SOURCE_DIR "/tests/data/test-publisher-keys.pub.pem"));
    QFile key(QStringLiteral(KORVEL_SOURCE_DIR "/tests/data/test-publisher-1.key.pem"));
    QVERIFY(keys.open(QIODevice::ReadOnly) && key.open(QIODevice::ReadOnly));
    QString error;
    if (signature.isNull())
        signature = ComponentSignature::sign(key.readAll(), "korvel-release-v1\n" + sha256(manifest) + '\n', &error);
    QVERIFY2(!signature.isEmpty(), qPrintable(error));

    QTemporaryDir folder;
    SignedRelease release(folder.path(), keys.readAll());
    if (!reason.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Refused: .*")
                                                            + QRegularExpression::escape(reason)));
    release.verify(manifest, signature);
    QCOMPARE(release.state(), reason.isEmpty() ? SignedRelease::State::Verified : SignedRelease::State::Refused);
    QByteArray hash;
    const int item = release.find(QUrl(QStringLiteral("http://127.0.0.1/a")), QStringLiteral("/opt/k/a.bin"),
                                  &hash, &error);
    QCOMPARE(item, reason.isEmpty() ? 0 : -1);
    QCOMPARE(hash, reason.isEmpty() ? sha256("a") : QByteArray());
}

QTEST_GUILESS_MAIN(TestRelease)

void TestRelease::cheaperTransfers_data()
{
    QTest::addColumn<bool>("keyed");
    QTest::addColumn<QString>("installed"); // what stands at the target: "same", "base", "other"
    QTest::addColumn<QString>("offered");   // "all", "not here" (the other item has its hash), "nowhere"
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QStringList>("fetched"); // the item's requests, in order
    QTest::addColumn<QByteArray>("said");
    QTest::addColumn<int>("size"); // the item's; 0 for 300000

    const QString whole = QStringLiteral("/c/a");
    const QString copy = QStringLiteral("/c/a.zst");
    const QString patch = QStringLiteral("/c/a.patch");
    QTest::newRow("unchanged") << false << "same" << "all" << "" << QStringList() << QByteArray("Unchanged: ") << 0;
    QTest::newRow("patched") << false << "base" << "all" << "" << QStringList{patch} << QByteArray() << 0;
    // Decoded into the mapped staging file: no size bound below 2 GiB.
    QTest::newRow("patched, over 64 MiB") << false << "base" << "all" << "" << QStringList{patch}
                                          << QByteArray() << (72 << 20);
    // Truncated by another program once the patch is asked for: its map loses its pages.
    QTest::newRow("installed file shrinks while the patch comes in") << false << "base" << "all" << "shrink"
                                                                     << QStringList{patch, whole}
                                                                     << QByteArray("shrank from") << 0;
    QTest::newRow("installed file matches no base") << false << "other" << "all" << ""
                                                    << QStringList{copy} << QByteArray() << 0;
    QTest::newRow("corrupted patch") << false << "base" << "all" << "patch" << QStringList{patch, whole}
                                     << QByteArray("Whole file: ") << 0;
    QTest::newRow("missing patch") << false << "base" << "all" << "missing" << QStringList{patch, whole}
                                   << QByteArray("ContentNotFoundError") << 0;
    QTest::newRow("corrupted compressed copy") << false << "other" << "all" << "copy"
                                               << QStringList{copy, whole} << QByteArray("Whole file: ") << 0;
    QTest::newRow("item without the new elements") << false << "same" << "not here" << ""
                                                   << QStringList{whole} << QByteArray() << 0;
    QTest::newRow("old-format manifest") << false << "same" << "nowhere" << "" << QStringList{whole}
                                         << QByteArray() << 0;
    // A copy listed as larger than the file is never fetched.
    QTest::newRow("compressed copy larger than the file") << false << "other" << "all" << "inflated"
                                                          << QStringList{whole} << QByteArray() << 0;
    // A good patch, but to other bytes than the signed ones.
    QTest::newRow("keyed: patch altered after signing") << true << "base" << "all" << "forged"
                                                        << QStringList{patch, whole}
                                                        << QByteArray("Whole file: ") << 0;
}

// Each item the cheapest way the manifest offers, and the whole file when that
// way fails in any way; never a result other than the listed file.
void TestRelease::cheaperTransfers()
{
    QFETCH(bool, keyed);
    QFETCH(QString, installed);
    QFETCH(QString, offered);
    QFETCH(QString, damage);
    QFETCH(QStringList, fetched);
    QFETCH(QByteArray, said);
    QFETCH(int, size);

    UpdaterSandbox box(keyed ? QStringLiteral(KORVEL_UPDATER_KEYED_BIN) : QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    const QByteArray a = UpdaterSandbox::pattern(size ? size : 300000, 71);
    QByteArray base = a;
    base.replace(1000, 5000, UpdaterSandbox::pattern(7000, 72));
    const QByteArray b = UpdaterSandbox::pattern(2000, 73);
    const QString fileA = box.installDir() + QStringLiteral("/a.bin");
    const QString fileB = box.installDir() + QStringLiteral("/b.bin");
    const QByteArray before = installed == QLatin1String("same") ? a
            : installed == QLatin1String("base") ? base : UpdaterSandbox::pattern(900, 74);
    QVERIFY(writeFile(fileA, before));

    QByteArray patch = zstd(a, &base);
    QByteArray copy = zstd(a);
    QVERIFY(!patch.isEmpty() && !copy.isEmpty());
    QByteArray itemA = UpdaterSandbox::manifestItem("a.bin", server->url(QStringLiteral("/c/a")).toEncoded(),
                                                    "installdir");
    if (offered == QLatin1String("all")) {
        const QByteArray extra = "<sha256>" + sha256(a) + "</sha256><compressed size=\""
                + QByteArray::number(damage == QLatin1String("inflated") ? a.size() + 1 : copy.size())
                + "\" sha256=\"" + sha256(copy) + "\">"
                + server->url(QStringLiteral("/c/a.zst")).toEncoded() + "</compressed><patch base=\""
                + sha256(base) + "\" size=\"" + QByteArray::number(patch.size()) + "\" sha256=\""
                + sha256(patch) + "\">" + server->url(QStringLiteral("/c/a.patch")).toEncoded() + "</patch>";
        itemA.replace("<filesize>0", "<filesize>" + QByteArray::number(a.size()))
                .replace("  </item>", extra + "\n  </item>");
    }
    const QByteArray urlB = server->url(QStringLiteral("/c/b")).toEncoded();
    const QByteArray itemB = offered == QLatin1String("nowhere") && !keyed
            ? UpdaterSandbox::manifestItem("b.bin", urlB, "installdir")
            : signedItem("b.bin", urlB, "installdir", b);
    const QByteArray manifest = signedManifest({itemA, itemB}, "1");
    server->setResponse("/m.xml", TestResponse{200, {}, manifest});
    if (keyed)
        server->setResponse("/m.xml.sig", TestResponse{200, {}, signedBy(QStringLiteral("test-publisher-1.key.pem"), manifest)});
    server->setResponse("/c/a", TestResponse{200, {}, a});
    server->setResponse("/c/b", TestResponse{200, {}, b});
    // Damaged past the frame's header, so that it fails while it decodes.
    if (damage == QLatin1String("forged"))
        patch = zstd(UpdaterSandbox::pattern(a.size(), 75), &base);
    if (damage == QLatin1String("patch"))
        patch[patch.size() / 2] = char(patch.at(patch.size() / 2) ^ 0x55);
    if (damage == QLatin1String("copy"))
        copy[copy.size() / 2] = char(copy.at(copy.size() / 2) ^ 0x55);
    if (damage == QLatin1String("shrink")) {
        connect(server, &TestHttpServer::requestReceived, this, [fileA](const QByteArray &path) {
            if (path == "/c/a.patch")
                QFile::resize(fileA, 0);
        });
    }
        if (damage != QLatin1String("missing"))
        server->setResponse("/c/a.patch", TestResponse{200, {}, patch});
    server->setResponse("/c/a.zst", TestResponse{200, {}, copy});
    QVERIFY(box.writeHandOff(server->url(QStringLiteral("/m.xml")).toEncoded()));

    QVERIFY(box.start());
    VERIFY_COMPLETES(box);
    QCOMPARE(contents(fileA), a);
    QCOMPARE(contents(fileB), b);
    QStringList paths;
    for (const RecordedRequest &request : server->requests()) {
        if (request.path.startsWith("/c/a"))
            paths.append(QString::fromLatin1(request.path));
    }
    QCOMPARE(paths, fetched);
    if (!said.isEmpty())
        QVERIFY2(count(box, said) == 1, tail(box).constData());
    QCOMPARE(count(box, "Whole file: "), fetched.size() > 1 ? 1 : 0);
    // Twice at most: the document's load and the native one.
    QVERIFY(server->requestCount("/m.xml") <= 2);
    QVERIFY2(box.leftovers().isEmpty(), qPrintable(box.leftovers().join(QLatin1Char(' '))));
    VERIFY_NOTHING_LOST(box);
}

void TestRelease::notInstalledNeverCompletes_data()
{
    QTest::addColumn<bool>("keyed");
    QTest::addColumn<bool>("cheaper"); // a compressed copy listed for the item
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("said"); // empty: installed

    // A stall's line, or a real failed download's (none when keyed: installed).
    const QList<QPair<const char *, QByteArray>> faults{
        {"unwritable install folder", "Cannot write "}, {"file where a folder must be made", "Cannot create the folder "},
        {"folder at the target", "\" \"a folder stands at the target\""}, {"tiny", "\"25 bytes, 149 or less"},
        {"tiny, copy missing", "\"25 bytes, 149 or less"}};
    for (const bool keyed : {false, true}) {
        for (const bool cheaper : {false, true}) {
            for (const auto &fault : faults) {
                if (cheaper || !QByteArray(fault.first).contains("missing"))
                    QTest::addRow("%s, %s, %s", keyed ? "keyed" : "unkeyed", cheaper ? "copy listed" : "whole only",
                                  fault.first)
                            << keyed << cheaper << fault.first << (keyed && fault.second.contains("25") ? QByteArray() : fault.second);
            }
        }
    }
    // It waits for the folder as for a held file: one row of that wait.
    QTest::newRow("keyed, copy listed, folder at the staging name")
            << true << true << "folder at the staging name" << QByteArray("Cannot create ");
}

// Status 12 follows only items that were installed, or real failed downloads
// (149 bytes or less in an unkeyed build, a missing folder), whichever way the
// item comes; a keyed updater records no serial for a release it did not install.
void TestRelease::notInstalledNeverCompletes()
{
    QFETCH(bool, keyed);
    QFETCH(bool, cheaper);
    QFETCH(QString, fault);
    QFETCH(QByteArray, said);

    UpdaterSandbox box(keyed ? QStringLiteral(KORVEL_UPDATER_KEYED_BIN) : QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    const bool locked = fault == QLatin1String("unwritable install folder");
    if (locked && (UpdaterSandbox::usesWine() || (geteuid() == 0 && !UpdaterSandbox::canRunAsNobody())))
        QSKIP("root writes anywhere, and there is no user \"nobody\" to drop to");
    const bool tiny = fault.startsWith(QLatin1String("tiny"));
    // Compressible, so that its copy is the cheaper way.
    const QByteArray a = tiny ? QByteArray(25, 'k') : QByteArray("korvel component ").repeated(300);
    const QByteArray b = UpdaterSandbox::pattern(2000, 82);
    const QByteArray old = UpdaterSandbox::pattern(700, 83);
    const bool blocked = fault.startsWith(QLatin1String("file where"));
    QVERIFY(!blocked || writeFile(box.root() + QStringLiteral("/blocker"), "a file"));
    const QString folder = blocked ? box.root() + QStringLiteral("/blocker/sub") : box.installDir();
    const QString fileA = folder + QStringLiteral("/a.bin");
    const QString fileB = box.installDir() + QStringLiteral("/b.bin");
    if (fault.startsWith(QLatin1String("folder at the")))
        box.makeDir(QStringLiteral("install/a.bin") + QLatin1String(fault.endsWith(QLatin1String("name")) ? ".korvel-part" : ""));
    else if (!blocked)
        QVERIFY(writeFile(fileA, old));
    QVERIFY(writeFile(fileB, old));

    const QByteArray copy = zstd(a);
    QVERIFY(!copy.isEmpty() && copy.size() < a.size());
    const QByteArray location = UpdaterSandbox::xmlEscaped(box.updaterPath(folder));
    const QByteArray urlA = server->url(QStringLiteral("/c/a")).toEncoded();
    QByteArray itemA = keyed ? signedItem("a.bin", urlA, location, a) : UpdaterSandbox::manifestItem("a.bin", urlA, location);
    if (cheaper)
        itemA.replace("<filesize>0", "<filesize>" + QByteArray::number(a.size()))
                .replace("  </item>", (keyed ? QByteArray() : "<sha256>" + sha256(a) + "</sha256>") + "<compressed size=\""
                                 + QByteArray::number(copy.size()) + "\" sha256=\"" + sha256(copy) + "\">"
                                 + urlA + ".zst</compressed>\n  </item>");
    const QByteArray urlB = server->url(QStringLiteral("/c/b")).toEncoded();
    const QByteArray manifest = signedManifest({itemA, keyed ? signedItem("b.bin", urlB, "installdir", b)
                                                             : UpdaterSandbox::manifestItem("b.bin", urlB, "installdir")}, "5");
    server->setResponse("/m.xml", TestResponse{200, {}, manifest});
    if (keyed)
        server->setResponse("/m.xml.sig", TestResponse{200, {}, signedBy(QStringLiteral("test-publisher-1.key.pem"), manifest)});
    server->setResponse("/c/a", TestResponse{200, {}, a});
    server->setResponse("/c/b", TestResponse{200, {}, b});
    if (!fault.endsWith(QLatin1String("missing")))
        server->setResponse("/c/a.zst", TestResponse{200, {}, copy});
    QVERIFY(box.writeHandOff(server->url(QStringLiteral("/m.xml")).toEncoded()));
    QVERIFY(!locked || geteuid() != 0 || box.runAsNobody());
    const auto readOnly = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther;
    QVERIFY(!locked || QFile::setPermissions(box.installDir(), readOnly));

    QVERIFY(box.start());
    if (tiny) {
        VERIFY_COMPLETES(box);
        QCOMPARE(contents(fileA), keyed ? a : old);
        QCOMPARE(count(box, "Failed download: "), keyed ? 0 : 1);
        QVERIFY2(said.isEmpty() || box.output().contains(said), tail(box).constData());
    } else {
        QVERIFY2(box.waitForOutput(said, testTime(StagedFile::RetryLimit) + ExitMs), tail(box).constData());
        VERIFY_STALLS(box, server->url(QStringLiteral("/m.xml")).toEncoded());
        QCOMPARE(count(box, "Failed download: "), 0);
        QVERIFY(!QFileInfo(fileA).isFile() || contents(fileA) == old);
        QFile::setPermissions(box.installDir(), readOnly | QFile::WriteOwner);
    }
    QCOMPARE(contents(fileB), tiny ? b : old);
    QCOMPARE(contents(SignedRelease::serialPath(box.installDir())), QByteArray(keyed && tiny ? "5\n" : ""));
    QVERIFY2(box.leftovers().isEmpty(), qPrintable(box.leftovers().join(QLatin1Char(' '))));
    VERIFY_NOTHING_LOST(box);
}

#include "tst_release.moc"


void TestRelease::releaseCheck_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("keyed");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("said");

    QTest::newRow("good release") << "" << true << 0 << QByteArray("0 problem(s), 0 warning(s)");
    QTest::newRow("missing component") << "missing" << true << 1 << QByteArray("a.bin (");
    QTest::newRow("wrong size") << "size" << true << 1 << QByteArray("300001 bytes, the manifest lists 300000");
    QTest::newRow("wrong hash") << "hash" << true << 1 << QByteArray("its SHA-256 is not the listed one");
    QTest::newRow("korvel-delta/ missing") << "delta" << true << 1 << QByteArray("no file of korvel-delta/");
    QTest::newRow("bad signature") << "signature" << true << 1
                                   << QByteArray("a keyed updater refuses the release: ");
    QTest::newRow("patch that does not apply") << "patch" << false << 1
                                               << QByteArray("does not give the item's file");
    QTest::newRow("no room for the patch's scratch file") << "scratch" << true << 1
            << QByteArray(": cannot be applied: no scratch file of 300000 bytes in ");
    QTest::newRow("no Range support") << "range" << true << 3 << QByteArray("warning: no Range support");
    QTest::newRow("compressed on the fly") << "encoded" << true << 3
            << QByteArray("the server compresses on the fly (Content-Encoding: deflate)");
    QTest::newRow("manifest cached for a day") << "cached" << true << 3
            << QByteArray("caches may keep the manifest for 86400 s");
}

// korvel-manifest --check on a release the tool wrote, served with one fault each.
void TestRelease::releaseCheck()
{
    QFETCH(QString, damage);
    QFETCH(bool, keyed);
    QFETCH(int, status);
    QFETCH(QByteArray, said);

    QTemporaryDir dir;
    const QString release = dir.filePath(QStringLiteral("release"));
    const QString previous = dir.filePath(QStringLiteral("previous"));
    QVERIFY(QDir().mkpath(release) && QDir().mkpath(previous));
    const QByteArray a = UpdaterSandbox::pattern(300000, 71);
    QByteArray base = a;
    base.replace(1000, 5000, UpdaterSandbox::pattern(7000, 72));
    QVERIFY(writeFile(release + QStringLiteral("/a.bin"), a));
    QVERIFY(writeFile(release + QStringLiteral("/b.bin"), UpdaterSandbox::pattern(2000, 73)));
    QVERIFY(writeFile(previous + QStringLiteral("/a.bin"), base));
    const QString tool = productPath(QStringLiteral(KORVEL_MANIFEST_BIN));
    QCOMPARE(QProcess::execute(tool, {release, server->url(QStringLiteral("/r/")).toString(),
                                      QStringLiteral("-o"), release + QStringLiteral("/manifest.xml"),
                                      QStringLiteral("--previous"), previous, QStringLiteral("--sign-key"),
                                      QStringLiteral(KORVEL_SOURCE_DIR "/tests/data/test-publisher-1.key.pem")}),
             0);

    QByteArray manifest = contents(release + QStringLiteral("/manifest.xml"));
    QDirIterator files(release, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        const QByteArray name = QDir(release).relativeFilePath(path).toUtf8();
        QByteArray data = contents(path);
        if ((damage == QLatin1String("missing") && name == "a.bin")
            || (damage == QLatin1String("delta") && name.startsWith("korvel-delta/")))
            continue;
        if (damage == QLatin1String("size") && name == "a.bin")
            data += 'x';
        if (damage == QLatin1String("hash") && name == "a.bin")
            data[7] = char(data.at(7) ^ 1);
        if (damage == QLatin1String("signature") && name == "manifest.xml.sig")
            data = signedBy(QStringLiteral("test-stranger.key.pem"), manifest);
        if (damage == QLatin1String("patch") && name.endsWith(".zstpatch")) {
            // Listed as it is, but made for other bytes.
            const QByteArray other = zstd(UpdaterSandbox::pattern(a.size(), 75), &base);
            manifest.replace(sha256(data), sha256(other))
                    .replace("size=\"" + QByteArray::number(data.size()) + '"',
                             "size=\"" + QByteArray::number(other.size()) + '"');
            data = other;
        }
        TestResponse response{200, {{"ETag", "\"" + sha256(data).left(8) + '"'}}, data};
        response.honourRange = damage != QLatin1String("range");
        if (damage == QLatin1String("encoded") && name == "b.bin") {
            response.headers.append(qMakePair(QByteArray("Content-Encoding"), QByteArray("deflate")));
            response.body = qCompress(data).mid(4);
        }
        server->setResponse("/r/" + name, response);
    }
    TestResponse answer{200, {}, manifest};
    if (damage == QLatin1String("cached"))
        answer.headers.append(qMakePair(QByteArray("Cache-Control"), QByteArray("public, max-age=86400")));
    server->setResponse("/r/manifest.xml", answer);

    QStringList arguments = {QStringLiteral("--check"), server->url(QStringLiteral("/r/manifest.xml")).toString(),
                             QStringLiteral("--previous"), previous};
    if (keyed)
        arguments << QStringLiteral("--key") << QStringLiteral(KORVEL_SOURCE_DIR "/tests/data/test-publisher-keys.pub.pem");
    const QDateTime before = QFileInfo(release).lastModified();
    qRegisterMetaType<QProcess::ExitStatus>();
    QProcess check;
    // A patch decodes into a scratch file there; a plain file leaves it no room.
    const QString temporary = dir.filePath(QStringLiteral("tmp"));
    QVERIFY(damage == QLatin1String("scratch") ? writeFile(temporary, "") : QDir().mkpath(temporary));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), temporary);
    check.setProcessEnvironment(environment);
    QSignalSpy ended(&check, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    // The server runs in this process: wait without blocking it.
    check.start(tool, arguments);
    QVERIFY(ended.wait(testTime(60000)));
    const QByteArray out = check.readAllStandardOutput();
    QVERIFY2(check.exitCode() == status && out.contains(said), out.constData());
    // Without korvel-delta/: its three files, then the folder.
    QCOMPARE(out.count("problem: "), damage == QLatin1String("delta") ? 4 : status == 1 ? 1 : 0);
    // Every file of the release fetched, each with one probe of its end.
    QVERIFY(server->requestCount("/r/b.bin") == 2);
    QCOMPARE(QFileInfo(release).lastModified(), before);
    QVERIFY(damage == QLatin1String("scratch") || QDir(temporary).isEmpty());
}
