// The real updater against bad input: hand-off files and manifests as a real
// deployment may meet them, and a missing or broken application to start.
// Whatever the input, nothing crashes, nothing outside the update is touched,
// and an update that does not complete leaves the hand-off file in place and
// starts nothing.

#include "testhttpserver.h"
#include "sandboxchecks.h"
#include "updatersandbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTcpServer>
#include <QTextCodec>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace SandboxChecks;

namespace {

// A port that refuses connections: the holder is bound to it and never
// listens, and keeps any other server (of a test running beside this one)
// from taking it meanwhile.
QByteArray refusingPort(QTcpSocket *holder)
{
    holder->bind(QHostAddress::LocalHost, 0, QAbstractSocket::DontShareAddress);
    return QByteArray::number(holder->localPort());
}

// A port that takes connections and never answers: the server listens and
// accepts none, so they wait in its backlog.
QByteArray silentPort(QTcpServer *server)
{
    server->listen(QHostAddress::LocalHost, 0);
    server->pauseAccepting();
    return QByteArray::number(server->serverPort());
}

// A short inactivity bound for the tests, and its line's wording.
const int InactivityMs = testTime(2000);
QByteArray silenceCause()
{
    return "\"nothing received for " + QByteArray::number(InactivityMs / 1000.0) + " s\"";
}

} // namespace

Q_DECLARE_METATYPE(TestResponse)
Q_DECLARE_METATYPE(UpdaterSandbox::App)

class TestFaultsInput : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void handOff_data();
    void handOff();
    void unreadableHandOff();
    void application_data();
    void application();

    void manifestStarvesNothing_data();
    void manifestStarvesNothing();
    void itemsOnlyDirectlyUnderModel();
    void hugeManifest();
    void tenThousandItems();
    void namesWithEntitiesAndNonAscii();
    void refusedNames();
    void componentUrl_data();
    void componentUrl();
    void installDirLookAlikes();
    void emptyInstallLocation();

private:
    // A manifest at /m.xml with one good component into the install directory.
    void serveGoodManifest(const UpdaterSandbox &box);
    QByteArray goodManifest(const UpdaterSandbox &box) const;
    QByteArray manifestUrl() const { return server->url(QStringLiteral("/m.xml")).toEncoded(); }

    TestHttpServer *server = nullptr;
    const QByteArray goodBody = UpdaterSandbox::pattern(300, 1);
};

void TestFaultsInput::init()
{
    server = new TestHttpServer;
    QVERIFY(server->start());
}

void TestFaultsInput::cleanup()
{
    delete server;
    server = nullptr;
}

QByteArray TestFaultsInput::goodManifest(const UpdaterSandbox &box) const
{
    return UpdaterSandbox::manifest(UpdaterSandbox::manifestItem(
            "good.bin", server->url(QStringLiteral("/c/good")).toEncoded(),
            box.installDir().toUtf8()));
}

void TestFaultsInput::serveGoodManifest(const UpdaterSandbox &box)
{
    TestResponse component;
    component.body = goodBody;
    server->setResponse("/c/good", component);
    TestResponse manifest;
    manifest.body = goodManifest(box);
    server->setResponse("/m.xml", manifest);
}

void TestFaultsInput::handOff_data()
{
    // "%M" stands for the good manifest's address, "%O" for another manifest's,
    // "%L" for an address of 10 MB, "%U" for "%M" in UTF-16 with its mark,
    // "%B" for 2 MiB without a line end, "%F" for a named pipe, "%G" for
    // the good manifest as a local file.
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Outcome>("outcome");
    // For a stall, the start of the line that says why, if any.
    QTest::addColumn<QByteArray>("said");

    QByteArray garbage(64 * 1024, Qt::Uninitialized);
    QRandomGenerator generator(5);
    for (char &byte : garbage)
        byte = char(generator.bounded(256));

    const QByteArray unread = "Cannot read";
    const QByteArray noAddress = "No address in";
    const QByteArray tooLarge = "\" \"larger than 1048576 bytes\"";
    QTest::newRow("missing") << false << QByteArray() << Outcome::Stalls << unread;
    QTest::newRow("a directory") << false << QByteArray("%D") << Outcome::Stalls << unread;
    QTest::newRow("empty") << true << QByteArray() << Outcome::Stalls << noAddress;
    // Nothing names this one's cause: the model is left without a source.
    QTest::newRow("binary garbage") << true << garbage << Outcome::Stalls << QByteArray();
    QTest::newRow("one line of 10 MB") << true << QByteArray("%L\n") << Outcome::Stalls << tooLarge;
    QTest::newRow("2 MiB without a line end") << true << QByteArray("%B") << Outcome::Stalls << tooLarge;
    // Read by the manifest's model itself, past every rule of a transfer.
    QTest::newRow("a file:// address") << true << QByteArray("file://%G\n") << Outcome::Stalls
                                       << QByteArray("\" \"only http and https addresses are fetched\"");
    // It would block the window's thread, and signals with it.
    QTest::newRow("a named pipe") << false << QByteArray("%F") << Outcome::Stalls
                                  << QByteArray("\" \"not a regular file\"");
    QTest::newRow("UTF-16 with byte-order mark")
            << true << QByteArray("%U") << Outcome::Completes << QByteArray();
    QTest::newRow("CRLF ends") << true << QByteArray("%M\r\n") << Outcome::Completes << QByteArray();
    QTest::newRow("CRLF, last line empty")
            << true << QByteArray("%M\r\n\r\n") << Outcome::Stalls << noAddress;
    QTest::newRow("several lines, the last wins")
            << true << QByteArray("%O\n%O\n%M\n") << Outcome::Completes << QByteArray();
    QTest::newRow("several lines, the last empty")
            << true << QByteArray("%M\n\n") << Outcome::Stalls << noAddress;
}

void TestFaultsInput::handOff()
{
    QFETCH(bool, present);
    QFETCH(QByteArray, content);
    QFETCH(Outcome, outcome);
    QFETCH(QByteArray, said);

    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    serveGoodManifest(box);

    // The other manifest is good too: had an earlier line won, its
    // component would have been fetched.
    TestResponse other;
    other.body = UpdaterSandbox::manifest(UpdaterSandbox::manifestItem(
            "other.bin", server->url(QStringLiteral("/c/other")).toEncoded(),
            box.installDir().toUtf8()));
    server->setResponse("/o.xml", other);

    // A manifest address of 10 MB: the line must reach the model whole.
    const QByteArray query = '?' + QByteArray(10 * 1024 * 1024, 'a');
    server->setResponse("/m.xml" + query, TestResponse{200, {}, goodManifest(box)});
    if (content == "%U") {
        // Exactly one mark: the codec would add another of its own.
        QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
        const QString line = QString::fromUtf8(manifestUrl()) + QLatin1Char('\n');
        content = QByteArray("\xff\xfe", 2)
                + QTextCodec::codecForName("UTF-16LE")->fromUnicode(line.constData(),
                                                                   line.size(), &state);
    }
    content.replace("%M", manifestUrl());
    content.replace("%O", server->url(QStringLiteral("/o.xml")).toEncoded());
    content.replace("%L", manifestUrl() + query);
    content.replace("%B", QByteArray(2 * 1024 * 1024, 'a'));
    const QByteArray local = box.workDir().toUtf8() + "/m.xml";
    QVERIFY(writeFile(QString::fromUtf8(local), goodManifest(box)));
    content.replace("%G", local);
    const bool pipe = content == "%F";
    if (pipe)
        QCOMPARE(::mkfifo(QFile::encodeName(box.handOffPath()).constData(), 0600), 0);
    if (present)
        QVERIFY(box.writeHandOff(content));
    if (content == "%D") {
        QVERIFY(QDir().mkpath(box.handOffPath()));
        box.addSentinel(box.handOffPath());
        content.clear();
    }

    QVERIFY(box.start());
    if (outcome == Outcome::Completes) {
        VERIFY_COMPLETES(box);
        QCOMPARE(contents(box.installDir() + QStringLiteral("/good.bin")), goodBody);
        // The application starts as the updater ends.
        QTRY_COMPARE_WITH_TIMEOUT(box.appRecord(), QByteArray("started 0"), ExitMs);
        QCOMPARE(box.output().count("Updater ended: status 12, the update is complete; started "), 1);
    } else if (pipe) {
        // Nothing reads the pipe, this test neither; the signal still ends the updater.
        QVERIFY2(box.waitForOutput(said, ExitMs), tail(box).constData());
        QVERIFY(box.staysRunning(stallMs()));
        box.terminate();
        QVERIFY(box.windowClosed());
        QCOMPARE(box.exitCode(), 0);
    } else {
        if (said.isEmpty())
            QVERIFY(box.staysRunning(testTime(2000)));
        else
            QVERIFY2(box.waitForOutput(said, ExitMs), tail(box).constData());
        VERIFY_STALLS(box, content);
        if (box.windowClosed())
            QVERIFY2(box.output().endsWith("Updater ended: status 0, the window closed; rolled back\n"),
                     tail(box).constData());
        QCOMPARE(box.handOffExists(), present || QFileInfo(box.handOffPath()).isDir());
        QVERIFY(!QFileInfo::exists(box.installDir() + QStringLiteral("/good.bin")));
    }
    QCOMPARE(server->requestCount("/c/other"), 0);
    QCOMPARE(server->requestCount("/c/good"), outcome == Outcome::Completes ? 1 : 0);
    QVERIFY2(box.output().startsWith("Updater started: \""), tail(box).constData());
    VERIFY_NOTHING_LOST(box);
}

// Root reads any file: the updater runs as "nobody" here.
void TestFaultsInput::unreadableHandOff()
{
    if (!UpdaterSandbox::canRunAsNobody() && geteuid() == 0)
        QSKIP("running as root without a user \"nobody\" to drop to: root reads any file");

    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    serveGoodManifest(box);
    QVERIFY(box.writeHandOff(manifestUrl() + '\n'));
    QVERIFY(QFile::setPermissions(box.handOffPath(), QFile::WriteOwner));
    if (geteuid() == 0)
        QVERIFY(box.runAsNobody());

    QVERIFY(box.start());
    QVERIFY2(box.waitForOutput("Cannot read", ExitMs), tail(box).constData());
    VERIFY_STALLS(box, manifestUrl() + '\n');
    QVERIFY(!box.output().contains("Output: "));
    QCOMPARE(server->requestCount("/m.xml"), 0);
    VERIFY_NOTHING_LOST(box);
}

void TestFaultsInput::application_data()
{
    QTest::addColumn<UpdaterSandbox::App>("app");
    QTest::newRow("missing") << UpdaterSandbox::App::Missing;
    QTest::newRow("not executable") << UpdaterSandbox::App::NotExecutable;
    QTest::newRow("a directory") << UpdaterSandbox::App::Directory;
}

// Whatever stands at "KorvelWindows.exe", the update ends with status 12.
void TestFaultsInput::application()
{
    QFETCH(UpdaterSandbox::App, app);
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    box.setApp(app);
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    serveGoodManifest(box);
    QVERIFY(box.writeHandOff(manifestUrl() + '\n'));

    QVERIFY(box.start());
    VERIFY_COMPLETES(box);
    QVERIFY(!box.appStarted());
    QCOMPARE(contents(box.installDir() + QStringLiteral("/good.bin")), goodBody);
    VERIFY_NOTHING_LOST(box);
}

void TestFaultsInput::manifestStarvesNothing_data()
{
    // Each manifest names the good component, but none of them may start it.
    // Where the address points: "" the test's server, "refused" a port that
    // refuses, "silent" one that never answers.
    QTest::addColumn<QByteArray>("where");
    QTest::addColumn<TestResponse>("response");
    // The one line that names the failure; %A stands for the address.
    QTest::addColumn<QByteArray>("said");

    const QByteArray item = UpdaterSandbox::manifestItem("good.bin", "%C", "%I");
    const QByteArray valid = UpdaterSandbox::manifest(item);
    const QByteArray noItems = "Manifest has no items: \"%A\"";

    TestResponse response;
    QTest::newRow("connection refused")
            << QByteArray("refused") << response << QByteArray("Manifest error: \"%A\" Connection refused");
    QTest::newRow("a server that never answers")
            << QByteArray("silent") << response << QByteArray("Stopped: \"%A\" " + silenceCause());
    // A local file that holds a good manifest: never read.
    response.status = 302;
    response.headers = {{"Location", "file://%F"}};
    QTest::newRow("302 to file://")
            << QByteArray() << response
            << QByteArray("Stopped: \"%A\" \"a redirect to file://%F: only http and https addresses are fetched\"");
    response.headers.clear();

    const QByteArray replied = "Manifest error: \"%A\" Error transferring %A - server replied: Canned";
    response.status = 404;
    response.body = valid;
    QTest::newRow("404 with a manifest as its page") << QByteArray() << response << replied;
    response.status = 500;
    QTest::newRow("500 with a manifest as its page") << QByteArray() << response << replied;

    response.status = 200;
    response.body = "this is not XML <model> at all\n" + item;
    QTest::newRow("not XML") << QByteArray() << response << noItems;
    response.body = valid.left(valid.indexOf("</item>") - 5);
    QTest::newRow("truncated XML") << QByteArray() << response << noItems;
    response.body = UpdaterSandbox::manifest("  <name>good.bin</name>\n  <url>%C</url>\n");
    QTest::newRow("model without item") << QByteArray() << response << noItems;
    response.body = UpdaterSandbox::manifest("  <group>\n" + item + "  </group>\n");
    QTest::newRow("item in a nested element") << QByteArray() << response << noItems;
    response.body = "<models>\n" + item + "</models>\n";
    QTest::newRow("item under another root") << QByteArray() << response << noItems;
    response.body = "<?xml version=\"1.0\"?>\n<root><model>\n" + item + "</model></root>\n";
    QTest::newRow("model not the root") << QByteArray() << response << noItems;
}

void TestFaultsInput::manifestStarvesNothing()
{
    QFETCH(QByteArray, where);
    QFETCH(TestResponse, response);
    QFETCH(QByteArray, said);

    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    box.setEnvironmentValue(QStringLiteral("KORVEL_INACTIVITY_MS"), QString::number(InactivityMs));
    serveGoodManifest(box);
    const QByteArray local = box.workDir().toUtf8() + "/m.xml";
    QVERIFY(writeFile(QString::fromUtf8(local), goodManifest(box)));
    response.body.replace("%C", server->url(QStringLiteral("/c/good")).toEncoded());
    response.body.replace("%I", box.installDir().toUtf8());
    for (auto &header : response.headers)
        header.second.replace("%F", local);
    server->setResponse("/m.xml", response);

    QTcpSocket holder;
    QTcpServer silent;
    const QByteArray address = where == "refused" ? "http://127.0.0.1:" + refusingPort(&holder) + "/m.xml"
            : where == "silent"                   ? "http://127.0.0.1:" + silentPort(&silent) + "/m.xml"
                                                  : manifestUrl();
    said.replace("%A", address);
    said.replace("%F", local);
    QVERIFY(box.writeHandOff(address + '\n'));

    QVERIFY(box.start());
    QVERIFY2(box.waitForOutput(said + '\n', ExitMs), tail(box).constData());
    // The window's load and the updater's own.
    QTRY_COMPARE_WITH_TIMEOUT(server->requestCount("/m.xml"), where.isEmpty() ? 2 : 0, ExitMs);
    VERIFY_STALLS(box, address + '\n');
    QCOMPARE(box.output().count("Manifest "), 1);
    QCOMPARE(server->requestCount("/c/good"), 0);
    QVERIFY(!box.output().contains("download: URL="));
    VERIFY_NOTHING_LOST(box);
}

// Only items directly under model are components; the others stay untouched.
void TestFaultsInput::itemsOnlyDirectlyUnderModel()
{
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    serveGoodManifest(box);
    const QByteArray install = box.installDir().toUtf8();
    const QByteArray stray = UpdaterSandbox::manifestItem(
            "stray.bin", server->url(QStringLiteral("/c/stray")).toEncoded(), install);
    TestResponse manifest;
    manifest.body = UpdaterSandbox::manifest(
            "  <group>\n" + stray + "  </group>\n"
            + UpdaterSandbox::manifestItem(
                    "good.bin", server->url(QStringLiteral("/c/good")).toEncoded(), install)
            + "  <a><b>\n" + stray + "  </b></a>\n");
    server->setResponse("/m.xml", manifest);
    QVERIFY(box.writeHandOff(manifestUrl()));

    QVERIFY(box.start());
    VERIFY_COMPLETES(box);
    QVERIFY(box.output().contains("Xml count: 1"));
    QCOMPARE(server->requestCount("/c/stray"), 0);
    QCOMPARE(contents(box.installDir() + QStringLiteral("/good.bin")), goodBody);
    QVERIFY(!QFileInfo::exists(box.installDir() + QStringLiteral("/stray.bin")));
    VERIFY_NOTHING_LOST(box);
}

// A manifest just over 4 MiB around one component: refused, as a keyed
// build refuses it, whichever way it would have been read.
void TestFaultsInput::hugeManifest()
{
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    serveGoodManifest(box);
    QByteArray padding;
    padding.reserve(4 * 1024 * 1024 + 1024);
    const QByteArray note = "  <note>" + QByteArray(1000, 'n') + "</note>\n";
    while (padding.size() < 4 * 1024 * 1024)
        padding += note;
    TestResponse manifest;
    manifest.body = UpdaterSandbox::manifest(
            padding
            + UpdaterSandbox::manifestItem("good.bin",
                                           server->url(QStringLiteral("/c/good")).toEncoded(),
                                           box.installDir().toUtf8()));
    server->setResponse("/m.xml", manifest);
    QVERIFY(box.writeHandOff(manifestUrl()));

    QVERIFY(box.start());
    QVERIFY2(box.waitForOutput("Stopped: \"" + manifestUrl() + "\" \"longer than 4194304 bytes\"", ExitMs),
             tail(box).constData());
    VERIFY_STALLS(box, manifestUrl());
    QCOMPARE(server->requestCount("/c/good"), 0);
    VERIFY_NOTHING_LOST(box);
}

// The first items are fetched in order; the third holds the sequence.
void TestFaultsInput::tenThousandItems()
{
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    const QByteArray install = box.makeDir(QStringLiteral("many")).toUtf8();
    QByteArray items;
    for (int i = 0; i < 10000; ++i) {
        const QByteArray n = QByteArray::number(i);
        items += UpdaterSandbox::manifestItem(
                "c" + n + ".bin",
                server->url(QStringLiteral("/c/") + QString::number(i)).toEncoded(),
                install);
    }
    TestResponse manifest;
    manifest.body = UpdaterSandbox::manifest(items);
    server->setResponse("/m.xml", manifest);
    TestResponse component;
    component.body = UpdaterSandbox::pattern(200, 3);
    server->setResponse("/c/0", component);
    server->setResponse("/c/1", component);
    TestResponse held = component;
    held.holdAfter = 0;
    server->setResponse("/c/2", held);
    QVERIFY(box.writeHandOff(manifestUrl()));

    QVERIFY(box.start());
    QVERIFY2(box.waitForOutput("Xml count: 10000", ExitMs), tail(box).constData());
    QTRY_COMPARE_WITH_TIMEOUT(server->requestCount("/c/2"), 1, ExitMs);
    const QString c1 = QString::fromUtf8(install) + QStringLiteral("/c1.bin");
    QCOMPARE(contents(c1), component.body);
    // Closed while stalled: the release goes back to what it was.
    VERIFY_STALLS(box, manifestUrl());
    QVERIFY(!QFileInfo::exists(c1));
    QCOMPARE(server->requests().size(), 5);
    QCOMPARE(server->requests().at(2).path, QByteArray("/c/0"));
    QCOMPARE(server->requests().at(3).path, QByteArray("/c/1"));
    VERIFY_NOTHING_LOST(box);
}

// Names arrive as the XML means them, and are used as they are.
void TestFaultsInput::namesWithEntitiesAndNonAscii()
{
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    // File names are local 8-bit text in Qt 5: make that UTF-8 on both sides.
    box.setEnvironmentValue(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    const QString first = QStringLiteral("R&D ['alpha'] 'x'.bin");
    const QString second = QString::fromUtf8("Grüße, Ærø, Ελληνικά, 日本語 \xF0\x9F\x93\xA6.bin");
    const QByteArray install = box.installDir().toUtf8();
    TestResponse one;
    one.body = UpdaterSandbox::pattern(400, 4);
    server->setResponse("/c/one", one);
    TestResponse two;
    two.body = UpdaterSandbox::pattern(500, 5);
    server->setResponse("/c/two", two);
    TestResponse manifest;
    manifest.body = UpdaterSandbox::manifest(
            UpdaterSandbox::manifestItem("R&amp;D &#x5B;&apos;alpha&apos;&#93; &apos;x&apos;.bin",
                                         server->url(QStringLiteral("/c/one")).toEncoded(),
                                         install)
            + UpdaterSandbox::manifestItem(
                    "Gr&#252;&#xDF;e, \xC3\x86r\xC3\xB8, \xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD"
                    "\xCE\xB9\xCE\xBA\xCE\xAC, \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E &#x1F4E6;.bin",
                    server->url(QStringLiteral("/c/two")).toEncoded(), install));
    server->setResponse("/m.xml", manifest);
    QVERIFY(box.writeHandOff(manifestUrl()));

    QVERIFY(box.start());
    VERIFY_COMPLETES(box);
    QCOMPARE(contents(box.installDir() + QLatin1Char('/') + first), one.body);
    QCOMPARE(contents(box.installDir() + QLatin1Char('/') + second), two.body);
    VERIFY_NOTHING_LOST(box);
}

void TestFaultsInput::componentUrl_data()
{
    QTest::addColumn<QByteArray>("url");
    QTest::addColumn<QByteArray>("error");
    // Refused before any request, with the line that names it.
    const QByteArray refused = "\" \"only http and https addresses are fetched\"";
    QTest::newRow("empty") << QByteArray() << refused;
    QTest::newRow("ftp://") << QByteArray("ftp://127.0.0.1:%P/c.bin") << refused;
    QTest::newRow("foo://") << QByteArray("foo://127.0.0.1/c.bin") << refused;
    QTest::newRow("no scheme") << QByteArray("c.bin") << refused;
    // A local file of a good size: never copied.
    QTest::newRow("file://") << QByteArray("file://%F") << refused;
}

// An address the manager may not fetch is a network error: the sequence stops
// there, nothing is fetched or written, and nothing is started.
void TestFaultsInput::componentUrl()
{
    QFETCH(QByteArray, url);
    QFETCH(QByteArray, error);

    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    serveGoodManifest(box);
    QTcpSocket holder;
    url.replace("%P", refusingPort(&holder));
    const QByteArray local = box.workDir().toUtf8() + "/c.bin";
    QVERIFY(writeFile(QString::fromUtf8(local), goodBody));
    url.replace("%F", local);
    error.prepend("Stopped: \"" + url);
    TestResponse manifest;
    manifest.body = UpdaterSandbox::manifest(
            UpdaterSandbox::manifestItem("bad.bin", url, box.installDir().toUtf8())
            + UpdaterSandbox::manifestItem("good.bin",
                                           server->url(QStringLiteral("/c/good")).toEncoded(),
                                           box.installDir().toUtf8()));
    server->setResponse("/m.xml", manifest);
    QVERIFY(box.writeHandOff(manifestUrl()));

    QVERIFY(box.start());
    QVERIFY2(box.waitForOutput(error, ExitMs), tail(box).constData());
    VERIFY_STALLS(box, manifestUrl());
    QCOMPARE(server->requestCount("/c/good"), 0);
    QCOMPARE(box.requestedTargets(), QStringList());
    QVERIFY(!QFileInfo::exists(box.installDir() + QStringLiteral("/bad.bin")));
    VERIFY_NOTHING_LOST(box);
}

// Only the exact "installdir" is the marker: look-alikes are directory paths,
// relative to the updater's working directory.
void TestFaultsInput::installDirLookAlikes()
{
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    const QString blank = box.makeDir(QStringLiteral("work/installdir "));
    const QString upper = box.makeDir(QStringLiteral("work/InstallDir"));
    TestResponse one;
    one.body = UpdaterSandbox::pattern(400, 6);
    server->setResponse("/c/one", one);
    TestResponse two;
    two.body = UpdaterSandbox::pattern(500, 7);
    server->setResponse("/c/two", two);
    TestResponse manifest;
    manifest.body = UpdaterSandbox::manifest(
            UpdaterSandbox::manifestItem("one.bin",
                                         server->url(QStringLiteral("/c/one")).toEncoded(),
                                         "installdir ")
            + UpdaterSandbox::manifestItem(
                    "two.bin", server->url(QStringLiteral("/c/two")).toEncoded(), "InstallDir"));
    server->setResponse("/m.xml", manifest);
    QVERIFY(box.writeHandOff(manifestUrl()));

    QVERIFY(box.start());
    VERIFY_COMPLETES(box);
    QCOMPARE(box.requestedTargets(),
             QStringList({QStringLiteral("installdir /one.bin"),
                          QStringLiteral("InstallDir/two.bin")}));
    QCOMPARE(contents(blank + QStringLiteral("/one.bin")), one.body);
    QCOMPARE(contents(upper + QStringLiteral("/two.bin")), two.body);
    QVERIFY(!QFileInfo::exists(box.installDir() + QStringLiteral("/one.bin")));
    QVERIFY(!QFileInfo::exists(box.installDir() + QStringLiteral("/two.bin")));
    VERIFY_NOTHING_LOST(box);
}

// An empty install location means the file system's root. The name is no
// file name there, so nothing can be written: the component fails and the
// update goes on.
void TestFaultsInput::emptyInstallLocation()
{
    const QString absent = QStringLiteral("korvel-faults-absent-%1")
                                   .arg(QRandomGenerator::global()->generate());
    if (QFileInfo::exists(QLatin1Char('/') + absent))
        QSKIP("the probe directory exists in /");

    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    serveGoodManifest(box);
    TestResponse manifest;
    manifest.body = UpdaterSandbox::manifest(
            UpdaterSandbox::manifestItem(absent.toUtf8() + "/root.bin",
                                         server->url(QStringLiteral("/c/good")).toEncoded(), "")
            + UpdaterSandbox::manifestItem("good.bin",
                                           server->url(QStringLiteral("/c/good")).toEncoded(),
                                           box.installDir().toUtf8()));
    server->setResponse("/m.xml", manifest);
    QVERIFY(box.writeHandOff(manifestUrl()));

    QVERIFY(box.start());
    VERIFY_COMPLETES(box);
    // The refused name is never requested.
    QCOMPARE(box.requestedTargets(), QStringList(box.installDir() + QStringLiteral("/good.bin")));
    QVERIFY(box.output().contains("Not a file name: \"" + absent.toUtf8() + "/root.bin\""));
    QVERIFY(!QFileInfo::exists(QLatin1Char('/') + absent));
    QCOMPARE(contents(box.installDir() + QStringLiteral("/good.bin")), goodBody);
    VERIFY_NOTHING_LOST(box);
}

// Names that are never written, whatever they are served with: one line
// each, no request, and the update goes on to its end.
void TestFaultsInput::refusedNames()
{
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    serveGoodManifest(box);
    const QStringList names = SandboxChecks::refusedNames();
    QByteArray items;
    for (int i = 0; i < names.size(); ++i) {
        const QString path = QStringLiteral("/c/n%1").arg(i);
        server->setResponse(path.toLatin1(), TestResponse{200, {}, goodBody});
        items += UpdaterSandbox::manifestItem(UpdaterSandbox::xmlEscaped(names.at(i)),
                                              server->url(path).toEncoded(), "installdir");
    }
    items += UpdaterSandbox::manifestItem("good.bin", server->url(QStringLiteral("/c/good")).toEncoded(),
                                          "installdir");
    server->setResponse("/m.xml", TestResponse{200, {}, UpdaterSandbox::manifest(items)});
    QVERIFY(box.writeHandOff(manifestUrl()));

    QVERIFY(box.start());
    VERIFY_COMPLETES(box);
    QCOMPARE(box.output().count("Not a file name: "), names.size());
    for (int i = 0; i < names.size(); ++i) {
        QVERIFY2(!QFileInfo::exists(box.installDir() + QLatin1Char('/') + names.at(i)), qPrintable(names.at(i)));
        QCOMPARE(server->requestCount(QStringLiteral("/c/n%1").arg(i).toLatin1()), 0);
    }
    QCOMPARE(box.requestedTargets(), QStringList(box.installDir() + QStringLiteral("/good.bin")));
    QCOMPARE(contents(box.installDir() + QStringLiteral("/good.bin")), goodBody);
    VERIFY_NOTHING_LOST(box);
}

QTEST_GUILESS_MAIN(TestFaultsInput)

#include "tst_faults_input.moc"
