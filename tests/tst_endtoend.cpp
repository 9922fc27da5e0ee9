// The real updater in an UpdaterSandbox beside a fake Korvel application, fed
// by a hand-off file and a real nginx serving the manifest and the components.
// The same cases run for the Linux build and, under Wine, for the Windows
// bundle (KORVEL_RUNNER=wine).

#include "nginxserver.h"
#include "retrypolicy.h"
#include "sandboxchecks.h"
#include "stagedfile.h"
#include "testhttpserver.h"
#include "testtime.h"
#include "updatersandbox.h"
#include "winesession.h"
#include "zstdpatch.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QtTest>

#include <memory>
#include <unistd.h>

using namespace SandboxChecks;

namespace {

struct Component
{
    QString name;
    QString path;     // on the server
    QString location; // "installdir" or a host directory, with a trailing "/" kept
    QByteArray data;
    // Offered as a patch against base (installed before the update), or as
    // a compressed copy; fetched at path + ".patch" or ".zst".
    QByteArray base;
    bool compressed = false;
};

struct Request
{
    QString path;
    int status = 0;
    double start = 0; // seconds since the epoch
    double end = 0;
};

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (char &c : data)
        c = char(generator.bounded(256));
    return data;
}

QByteArray sha256(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// The item's hash and size, and its patch or compressed copy written beside
// it; empty when the item offers neither.
QByteArray offerCheaper(const Component &item, const QString &file, const QByteArray &url)
{
    if (item.base.isNull() && !item.compressed)
        return QByteArray();
    QByteArray encoded;
    QString error;
    const auto sink = [&encoded](const char *data, qint64 size) {
        encoded.append(data, int(size));
        return true;
    };
    const bool patch = !item.base.isNull();
    if (!(patch ? ZstdEncoder::createPatch(item.base.constData(), item.base.size(), item.data.constData(),
                                           item.data.size(), sink, &error)
                : ZstdEncoder::compress(item.data.constData(), item.data.size(), sink, &error))
        || !writeFile(file + QLatin1String(patch ? ".patch" : ".zst"), encoded))
        return QByteArray();
    const QByteArray attributes = "size=\"" + QByteArray::number(encoded.size()) + "\" sha256=\""
            + sha256(encoded) + '"';
    return "<sha256>" + sha256(item.data) + "</sha256>"
            + (patch ? "<patch base=\"" + sha256(item.base) + "\" " + attributes + '>' + url + ".patch</patch>"
                     : "<compressed " + attributes + '>' + url + ".zst</compressed>");
}

// nginx logs "$msec ... $request_time" when a request ends.
QList<Request> parseLog(const QStringList &lines)
{
    QList<Request> requests;
    for (const QString &line : lines) {
        const QStringList fields = line.split(QLatin1Char(' '));
        if (fields.size() < 7)
            continue;
        Request request;
        request.path = fields.at(2);
        request.status = fields.at(3).toInt();
        request.end = fields.at(0).toDouble();
        request.start = request.end - fields.last().toDouble();
        requests.append(request);
    }
    return requests;
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void fullUpdate_data();
    void fullUpdate();
    void failedLastItemStillFinishes_data();
    void failedLastItemStillFinishes();
    void stallsAtFailedTransfer();
    void runningApplicationReplaced();
    void nothingToDo_data();
    void nothingToDo();
    void missingQmlModule();
    void logFile_data();
    void logFile();
    void throughProxy_data();
    void throughProxy();

private:
    QString targetOf(const Component &item) const;
    bool startServer(const QByteArray &directives = QByteArray(), bool tls = false);
    bool publish(const QList<Component> &items);
    QList<Request> requests() const { return parseLog(nginx->accessLog()); }
    void verifyAppStartedAlone();
    void verifyWindow(bool stalled);

    std::unique_ptr<UpdaterSandbox> box;
    std::unique_ptr<NginxServer> nginx;
    QString www;
    QString elsewhere;
};

void TestEndToEnd::initTestCase()
{
    REQUIRE_RUNNER();
}

void TestEndToEnd::init()
{
    box.reset(new UpdaterSandbox(QStringLiteral(KORVEL_UPDATER_BIN)));
    QVERIFY2(box->isValid(), qPrintable(box->errorText()));
    www = box->makeDir(QStringLiteral("www"));
    elsewhere = box->makeDir(QStringLiteral("elsewhere"));
}

void TestEndToEnd::cleanup()
{
    if (QTest::currentTestFailed()) {
        qWarning().noquote() << "updater output:\n" << QString::fromUtf8(tail(*box));
        if (nginx)
            qWarning().noquote() << "access log:\n" << nginx->accessLog().join(QLatin1Char('\n'));
    }
    box.reset();
    nginx.reset();
}

QString TestEndToEnd::targetOf(const Component &item) const
{
    const QString dir = item.location == QLatin1String("installdir") ? box->installDir() : item.location;
    return dir + QLatin1Char('/') + item.name;
}

bool TestEndToEnd::startServer(const QByteArray &directives, bool tls)
{
    nginx.reset(new NginxServer(www));
    nginx->setServerConfig(directives);
    nginx->setTls(tls);
    if (!nginx->start()) {
        qWarning().noquote() << "nginx:" << nginx->errorText();
        return false;
    }
    return true;
}

// The components under www and a manifest listing them; the hand-off file
// names the manifest.
bool TestEndToEnd::publish(const QList<Component> &items)
{
    QByteArray xml;
    for (const Component &item : items) {
        if (!item.data.isNull() && !writeFile(www + item.path, item.data))
            return false;
        const QString location = item.location == QLatin1String("installdir")
                        || QFileInfo(item.location).isRelative()
                ? item.location : box->updaterPath(item.location);
        // A full address: a server of the test's own.
        const QByteArray url = item.path.startsWith(QLatin1String("http:"))
                ? item.path.toUtf8() : nginx->url(item.path).toEncoded();
        QByteArray entry = UpdaterSandbox::manifestItem(item.name.toUtf8(), url, location.toUtf8());
        const QByteArray cheaper = offerCheaper(item, www + item.path, url);
        if (!cheaper.isEmpty()) {
            entry.replace("<filesize>0", "<filesize>" + QByteArray::number(item.data.size()))
                    .replace("  </item>", cheaper + "\n  </item>");
        }
        xml += entry;
    }
    return writeFile(www + QStringLiteral("/manifest.xml"), UpdaterSandbox::manifest(xml))
            && box->writeHandOff(nginx->url(QStringLiteral("/manifest.xml")).toEncoded() + '\n');
}

// Started with no arguments, and still running after the updater ended.
void TestEndToEnd::verifyAppStartedAlone()
{
    QTRY_COMPARE_WITH_TIMEOUT(box->appRecord(), QByteArray("started 0"), testTime(10000));
    QVERIFY2(box->appOutlivedUpdater(), "the application ended with the updater");
}

void TestEndToEnd::fullUpdate_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("http") << false;
    QTest::newRow("https") << true;
}

void TestEndToEnd::fullUpdate()
{
    QFETCH(bool, tls);
    // The updater trusts only the system's certificate authorities; under Wine
    // the test's certificate goes into the prefix's store.
    if (tls && !UpdaterSandbox::usesWine())
        QSKIP("the native updater trusts only the system's authorities; TLS is checked in-process");

    QVERIFY(startServer("location /slow/ { limit_rate 400k; }", tls));
    if (tls) {
        QString error;
        QVERIFY2(WineSession::instance()->trust(nginx->certificatePath(), &error), qPrintable(error));
    }
    QList<Component> items = {
        {QStringLiteral("app-data.bin"), QStringLiteral("/c/app-data.bin"),
         QStringLiteral("installdir"), randomBytes(20000, 1)},
        {QStringLiteral("tiny.bin"), QStringLiteral("/c/tiny.bin"),
         QStringLiteral("installdir"), randomBytes(149, 2)},
        // A trailing "/" gives "//" in the target, which is still the directory.
        {QStringLiteral("edge.bin"), QStringLiteral("/c/edge.bin"),
         elsewhere + QLatin1Char('/'), randomBytes(150, 3)},
        {QStringLiteral("big.bin"), QStringLiteral("/slow/big.bin"),
         elsewhere, randomBytes(4000 * 1024, 4)},
        {QStringLiteral("KorvelWindows.dll"), QStringLiteral("/c/KorvelWindows.dll"),
         QStringLiteral("installdir"), randomBytes(35000, 5).repeated(2), QByteArray(), true},
        {QStringLiteral("KorvelEngine.dll"), QStringLiteral("/c/KorvelEngine.dll"),
         QStringLiteral("installdir"), randomBytes(60000, 7)},
    };
    // The engine's installed build differs from the new one in one place.
    items[5].base = items.at(5).data;
    items[5].base.replace(30000, 100, randomBytes(100, 8));
    QVERIFY(writeFile(targetOf(items.at(5)), items.at(5).base));
    QVERIFY(publish(items));
    // Old files of two components: one is replaced, the other's new build
    // fails the size check and leaves it as it was.
    const QByteArray old = randomBytes(3000, 6);
    QVERIFY(writeFile(targetOf(items.at(1)), old));
    QVERIFY(writeFile(targetOf(items.at(4)), old));
    QVERIFY(box->start());

    // Under Wine, the window half-way through the big item.
    if (UpdaterSandbox::usesWine()) {
        const QString staging = StagedFile::stagingPath(targetOf(items.at(3)));
        // As long as the whole update may take: the updater's start under
        // Wine on a busy machine is most of it.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(staging).size() >= items.at(3).data.size() / 2, ExitMs);
        verifyWindow(false);
    }

    VERIFY_COMPLETES(*box);
    // Software rendering exactly where the display's OpenGL cannot run Qt Quick;
    // the native sandbox's QT_QUICK_BACKEND stands for a user's own choice.
    const QByteArray renderer = !UpdaterSandbox::usesWine()
            ? "renderer: left to Qt, QT_QUICK_BACKEND is set"
            : WineSession::instance()->hasOpenGL2() ? "renderer: OpenGL " : "renderer: software, ";
    QVERIFY2(box->output().contains(renderer), tail(*box).constData());
    for (const Component &item : items) {
        if (item.data.size() > 149)
            QVERIFY2(contents(targetOf(item)) == item.data, qPrintable(targetOf(item)));
    }
    QCOMPARE(contents(targetOf(items.at(1))), old);
    verifyAppStartedAlone();
    VERIFY_NOTHING_LOST(*box);

    // Once each, in manifest order, each one after the one before had ended.
    const QList<Request> log = requests();
    QStringList paths;
    for (const Request &request : log) {
        paths.append(request.path);
        QCOMPARE(request.status, 200);
    }
    // The window's load of the manifest and the updater's own, then each
    // component once.
    QStringList expected = {QStringLiteral("/manifest.xml"), QStringLiteral("/manifest.xml")};
    for (const Component &item : items)
        expected.append(item.path + QLatin1String(!item.base.isNull() ? ".patch" : item.compressed ? ".zst" : ""));
    QCOMPARE(paths, expected);
    // Both times have millisecond resolution.
    for (int i = 2; i < log.size(); ++i)
        QVERIFY2(log.at(i).start >= log.at(i - 1).end - 0.003, qPrintable(log.at(i).path));
}

void TestEndToEnd::failedLastItemStillFinishes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("missingDirectory");

    QTest::newRow("1 byte") << 1 << false;
    QTest::newRow("149 bytes") << 149 << false;
    // Relative: nothing can be written, so the size check fails it.
    QTest::newRow("directory missing") << 5000 << true;
}

void TestEndToEnd::failedLastItemStillFinishes()
{
    QFETCH(int, size);
    QFETCH(bool, missingDirectory);

    QVERIFY(startServer());
    const QString missing = QStringLiteral("no/such/dir");
    const QList<Component> items = {
        {QStringLiteral("first.bin"), QStringLiteral("/first.bin"),
         QStringLiteral("installdir"), randomBytes(5000, 6)},
        {QStringLiteral("last.bin"), QStringLiteral("/last.bin"),
         missingDirectory ? missing : elsewhere, randomBytes(size, 7)},
    };
    QVERIFY(publish(items));
    const QByteArray old = randomBytes(3000, 8);
    if (!missingDirectory)
        QVERIFY(writeFile(targetOf(items.at(1)), old));
    QVERIFY(box->start());

    VERIFY_COMPLETES(*box);
    verifyAppStartedAlone();
    VERIFY_NOTHING_LOST(*box);
    QCOMPARE(contents(targetOf(items.at(0))), items.at(0).data);
    if (missingDirectory)
        QVERIFY(!QFileInfo::exists(box->workDir() + QStringLiteral("/no")));
    else
        QCOMPARE(contents(targetOf(items.at(1))), old);
    QCOMPARE(nginx->requestedPaths(),
             QStringList({QStringLiteral("/manifest.xml"), QStringLiteral("/manifest.xml"),
                          items.at(0).path, items.at(1).path}));
}

// The last of three components, in two folders, is cut off in mid-transfer:
// the update stalls there. Under Wine the window is real: its title, look and
// fixed size are checked before the user closes it. Closing it puts the
// release back: all three old files, and nothing beside them.
void TestEndToEnd::stallsAtFailedTransfer()
{
    QVERIFY(startServer());
    TestHttpServer cutting;
    QVERIFY(cutting.start());
    TestResponse cut;
    cut.body = randomBytes(6000, 10);
    cut.dropAfter = 3000;
    cutting.setResponse("/three.bin", cut);
    const QList<Component> items = {
        {QStringLiteral("one.bin"), QStringLiteral("/one.bin"),
         QStringLiteral("installdir"), randomBytes(4000, 8)},
        {QStringLiteral("two.bin"), QStringLiteral("/two.bin"), elsewhere, randomBytes(4000, 9)},
        {QStringLiteral("three.bin"), cutting.url(QStringLiteral("/three.bin")).toString(),
         QStringLiteral("installdir"), QByteArray()},
    };
    QStringList before[2] = {QDir(box->installDir()).entryList(QDir::Files | QDir::Hidden),
                             QDir(elsewhere).entryList(QDir::Files | QDir::Hidden)};
    for (int i = 0; i < items.size(); ++i) {
        QVERIFY(writeFile(targetOf(items.at(i)), randomBytes(500, 20 + i)));
        before[items.at(i).location == elsewhere ? 1 : 0].append(items.at(i).name);
    }
    QVERIFY(publish(items));
    QVERIFY(box->start());

    QVERIFY2(box->waitForOutput("Error: RemoteHostClosedError", ExitMs), tail(*box).constData());
    QCOMPARE(contents(targetOf(items.at(1))), items.at(1).data);
    if (UpdaterSandbox::usesWine())
        verifyWindow(true);
    VERIFY_STALLS(*box, nginx->url(QStringLiteral("/manifest.xml")).toEncoded() + '\n');
    QVERIFY(box->windowClosed());
    VERIFY_NOTHING_LOST(*box);

    QCOMPARE(nginx->requestedPaths(),
             QStringList({QStringLiteral("/manifest.xml"), QStringLiteral("/manifest.xml"),
                          items.at(0).path, items.at(1).path}));
    // Cut every time at the same byte: no progress, so the retries end.
    QCOMPARE(cutting.requestCount("/three.bin"), RetryPolicy::MaximumFailures);
    for (int i = 0; i < items.size(); ++i)
        QCOMPARE(contents(targetOf(items.at(i))), randomBytes(500, 20 + i));
    // The lock file stays between runs.
    before[0].append(QStringLiteral("KorvelUpdater.lock"));
    for (QStringList &names : before)
        names.sort();
    QCOMPARE(QDir(box->installDir()).entryList(QDir::Files | QDir::Hidden, QDir::Name), before[0]);
    QCOMPARE(QDir(elsewhere).entryList(QDir::Files | QDir::Hidden, QDir::Name), before[1]);
}

// The window under Wine, during a transfer or stalled: found by its exact
// title, drawn dark with the accent-coloured bar of the item in progress;
// stalled, without the bar (the cause stands in its place), and held at 450
// by 180 when Windows is asked to make it larger.
void TestEndToEnd::verifyWindow(bool stalled)
{
    WineSession *wine = WineSession::instance();
    QByteArray output;
    if (stalled) {
        QCOMPARE(wine->run(wine->helper(), {QStringLiteral("window"), QStringLiteral("Korvel update")},
                           &output), 0);
        QVERIFY2(output.contains("client 450x180\n"), output.constData());
        QVERIFY2(output.contains("after resize 450x180\n"), output.constData());
    }

    const QByteArray id = wine->window(QStringLiteral("Korvel update"), true);
    QVERIFY2(id.startsWith("0x"), "no X window titled \"Korvel update\"");
    // A test that runs these cases beside the others names a folder of its own.
    const QString shot = QStringLiteral("%1/window-wine-%2%3.png")
                                 .arg(qEnvironmentVariable("KORVEL_SCREENSHOT_DIR",
                                                           QStringLiteral(KORVEL_BINARY_DIR)),
                                      QLatin1String(QTest::currentTestFunction()),
                                      qEnvironmentVariable("KORVEL_WINE_GL"));
    QFile::remove(shot);
    QCOMPARE(wine->onDisplay(QStringLiteral("import"),
                             {QStringLiteral("-window"), QString::fromLatin1(id), shot}, &output),
             0);
    const QImage image(shot);
    QVERIFY2(!image.isNull(), "no screenshot of the window");
    int dark = 0;
    int accent = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            dark += c.red() < 40 && c.green() < 40 && c.blue() < 40;
            const int dr = c.red(), dg = c.green() - 146, db = c.blue() - 204;
            accent += dr * dr + dg * dg + db * db < 30 * 30;
        }
    }
    const int total = image.width() * image.height();
    qInfo("screenshot %s: %dx%d, %d dark and %d accent pixels", qPrintable(shot), image.width(),
          image.height(), dark, accent);
    QVERIFY2(dark * 100 / total >= 60, "the window is not dark");
    if (stalled)
        QVERIFY2(accent == 0, "a stalled window still shows progress");
    else
        QVERIFY2(accent >= 100, "no accent-coloured progress bar");
}

// The application still runs when its update comes, as when it has just
// started the updater and not yet ended. Windows lets its exe be renamed, not
// replaced: the new build goes in and is the one started, and the old one is
// removed by the next run, once it has ended.
void TestEndToEnd::runningApplicationReplaced()
{
    QVERIFY(startServer());
    const QString app = box->installDir() + QStringLiteral("/KorvelWindows.exe");
    const QByteArray oldBuild = contents(app);
    // The stand-in with a tail that changes nothing it does.
    const QByteArray newBuild = oldBuild + randomBytes(5000, 12);
    QVERIFY(box->runApp(QStringLiteral("old")));
    QCOMPARE(box->appRecord(QStringLiteral("old")), "image " + QByteArray::number(oldBuild.size()));
    QVERIFY(publish({{QStringLiteral("KorvelWindows.exe"), QStringLiteral("/KorvelWindows.exe"),
                      QStringLiteral("installdir"), newBuild}}));
    QVERIFY(box->start());

    QVERIFY2(box->waitForExit(ExitMs), tail(*box).constData());
    QCOMPARE(box->exitCode(), 12);
    QCOMPARE(contents(app), newBuild);
    QTRY_COMPARE_WITH_TIMEOUT(box->appRecord(QStringLiteral("started")),
                              "image " + QByteArray::number(newBuild.size()), testTime(10000));
    verifyAppStartedAlone();

    box->releaseApp(QStringLiteral("old"));
    QVERIFY(publish({{QStringLiteral("other.bin"), QStringLiteral("/other.bin"),
                      QStringLiteral("installdir"), randomBytes(400, 13)}}));
    QVERIFY(box->start());
    VERIFY_COMPLETES(*box);
    VERIFY_NOTHING_LOST(*box);
    QCOMPARE(contents(app), newBuild);
}

void TestEndToEnd::nothingToDo_data()
{
    QTest::addColumn<QByteArray>("manifest"); // null: no manifest published
    QTest::addColumn<QByteArray>("handOff");  // null: no hand-off file
    QTest::addColumn<QString>("requests"); // "none", "manifest" or "at most the manifest"
    QTest::addColumn<QByteArray>("said"); // the start of the line that says why

    const QByteArray address = "@MANIFEST@";
    const QByteArray noItems = "Manifest has no items: ";
    QTest::newRow("no hand-off file") << QByteArray("<model/>") << QByteArray() << QStringLiteral("none")
                                      << QByteArray("Cannot read");
    QTest::newRow("manifest without items")
            << QByteArray("<?xml version=\"1.0\"?>\n<model>\n</model>\n") << address + '\n'
            << QStringLiteral("manifest") << noItems;
    // Only items directly under model are components.
    QTest::newRow("items elsewhere")
            << QByteArray("<model><group><item><name>stray.bin</name><url>@STRAY@</url>"
                          "<installlocation>installdir</installlocation></item></group>"
                          "<stray><name>x</name></stray></model>")
            << address << QStringLiteral("manifest") << noItems;
    QTest::newRow("manifest missing") << QByteArray() << address << QStringLiteral("manifest")
                                      << QByteArray("Manifest error: ");
    QTest::newRow("manifest not XML") << QByteArray("this is no manifest\n") << address
                                      << QStringLiteral("manifest") << noItems;
    // The last line wins, and an empty one leaves the model without a source.
    QTest::newRow("empty last line")
            << QByteArray("<model><item><name>stray.bin</name><url>@STRAY@</url>"
                          "<installlocation>installdir</installlocation></item></model>")
            << address + "\n\n" << QStringLiteral("at most the manifest") << QByteArray("No address in");
}

void TestEndToEnd::nothingToDo()
{
    QFETCH(QByteArray, manifest);
    QFETCH(QByteArray, handOff);
    QFETCH(QString, requests);
    QFETCH(QByteArray, said);

    QVERIFY(startServer());
    const QByteArray manifestUrl = nginx->url(QStringLiteral("/manifest.xml")).toEncoded();
    const QByteArray strayUrl = nginx->url(QStringLiteral("/stray.bin")).toEncoded();
    QVERIFY(writeFile(www + QStringLiteral("/stray.bin"), randomBytes(3000, 10)));
    if (!manifest.isNull())
        QVERIFY(writeFile(www + QStringLiteral("/manifest.xml"), manifest.replace("@STRAY@", strayUrl)));
    if (!handOff.isNull())
        QVERIFY(box->writeHandOff(handOff.replace("@MANIFEST@", manifestUrl)));
    QVERIFY(box->start());

    if (requests == QLatin1String("manifest"))
        QTRY_VERIFY_WITH_TIMEOUT(!nginx->accessLog().isEmpty(), testTime(30000));
    QVERIFY2(box->waitForOutput(said, ExitMs), tail(*box).constData());
    VERIFY_STALLS(*box, handOff);
    QCOMPARE(box->handOffExists(), !handOff.isNull());
    VERIFY_NOTHING_LOST(*box);

    const QStringList paths = nginx->requestedPaths();
    if (requests == QLatin1String("none"))
        QVERIFY2(paths.isEmpty(), qPrintable(paths.join(QLatin1Char(' '))));
    else if (requests == QLatin1String("manifest"))
        QCOMPARE(paths, QStringList({QStringLiteral("/manifest.xml"), QStringLiteral("/manifest.xml")}));
    else
        QVERIFY2(paths.isEmpty() || paths == QStringList(QStringLiteral("/manifest.xml")),
                 qPrintable(paths.join(QLatin1Char(' '))));
    QVERIFY2(!box->output().contains("download: URL="), "a download started");
    QVERIFY(!QFile::exists(box->installDir() + QStringLiteral("/stray.bin")));
}

// A bundle that lacks a QML module the window needs ends at once with -1.
void TestEndToEnd::missingQmlModule()
{
    if (!UpdaterSandbox::usesWine())
        QSKIP("the native build takes its QML modules from the system; tst_startup hides them");
    QVERIFY(QDir(box->installDir() + QStringLiteral("/QtQuick/XmlListModel")).removeRecursively());
    QVERIFY(startServer());
    QVERIFY(publish({{QStringLiteral("one.bin"), QStringLiteral("/one.bin"),
                      QStringLiteral("installdir"), randomBytes(4000, 11)}}));
    QVERIFY(box->start());

    QVERIFY2(box->waitForExit(ExitMs), tail(*box).constData());
    QCOMPARE(box->exitCode(), -1);
    QVERIFY2(box->output().contains("module \"QtQuick.XmlListModel\" is not installed"),
             tail(*box).constData());
    QVERIFY(box->handOffExists());
    QVERIFY(!box->appStarted());
    QVERIFY(nginx->accessLog().isEmpty());
}

void TestEndToEnd::logFile_data()
{
    QTest::addColumn<bool>("writable");
    QTest::newRow("over 1 MiB at start") << true;
    QTest::newRow("read-only") << false;
}

// KORVEL_UPDATER_LOG: after the newest lines of what it held, the log holds
// the lines of the debug output up to the end by status 12; under Wine in a
// folder with non-ASCII letters. One that cannot be opened costs one line.
void TestEndToEnd::logFile()
{
    QFETCH(bool, writable);
    const bool root = geteuid() == 0;
    if (!writable && (UpdaterSandbox::usesWine() || (root && !UpdaterSandbox::canRunAsNobody())))
        QSKIP("root writes read-only files, and Wine lets it");

    QVERIFY(startServer());
    const Component item = {QStringLiteral("one.bin"), QStringLiteral("/one.bin"),
                            QStringLiteral("installdir"), randomBytes(4000, 14)};
    QVERIFY(publish({item}));
    const QString log = box->installDir() + QStringLiteral("/updater.log");
    QByteArray old;
    for (int i = 0; old.size() < 1200 * 1024; ++i)
        old += "old line " + QByteArray::number(i) + ' ' + QByteArray(i % 97, 'x') + '\n';
    QVERIFY(writeFile(log, old));
    QString variable = box->updaterPath(log);
    if (UpdaterSandbox::usesWine())
        variable.replace(QLatin1Char('/'), QLatin1Char('\\'));
    box->setEnvironmentValue(QStringLiteral("KORVEL_UPDATER_LOG"), variable);
    if (!writable) {
        QVERIFY(QFile::setPermissions(log, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        if (root)
            QVERIFY(box->runAsNobody());
    }
    QVERIFY(box->start());
    VERIFY_COMPLETES(*box);
    VERIFY_NOTHING_LOST(*box);
    QCOMPARE(contents(targetOf(item)), item.data);

    QByteArrayList said = box->output().split('\n');
    said.removeAll(QByteArray());
    // Under Wine the last line is the status, from the program that started it.
    if (UpdaterSandbox::usesWine())
        QCOMPARE(said.takeLast(), QByteArray("exit 12"));
    if (!writable) {
        QCOMPARE(('\n' + box->output()).count("\nCannot open the log file \"" + log.toUtf8() + "\" \""), 1);
        QCOMPARE(contents(log), old);
        return;
    }

    QByteArrayList lines = contents(log).replace("\r\n", "\n").split('\n');
    QCOMPARE(lines.takeLast(), QByteArray());
    QByteArray kept;
    while (!lines.isEmpty() && lines.first().startsWith("old line "))
        kept += lines.takeFirst() + '\n';
    QVERIFY2(old.endsWith(kept) && old.at(old.size() - kept.size() - 1) == '\n', kept.left(100).constData());
    QVERIFY2(kept.size() <= 512 * 1024 && kept.size() > 511 * 1024, QByteArray::number(kept.size()).constData());

    QByteArrayList copied;
    for (const QByteArray &line : qAsConst(lines)) {
        const int space = line.indexOf(' ');
        const QString stamp = QString::fromLatin1(line.left(space));
        QVERIFY2(space == 23 + (stamp.endsWith(QLatin1Char('Z')) ? 1 : 6)
                         && QDateTime::fromString(stamp, Qt::ISODateWithMs).isValid(), line.constData());
        copied.append(line.mid(space + 1));
    }
    // Windows' stderr has the letters in its ANSI code page, the log in UTF-8.
    QCOMPARE(copied.size(), said.size());
    for (int i = 0; i < said.size(); ++i) {
        if (QString::fromLatin1(said.at(i)) == QString::fromUtf8(said.at(i)))
            QCOMPARE(copied.at(i), said.at(i));
    }
    const QByteArray target = '"' + box->updaterPath(targetOf(item)).toUtf8() + '"';
    QVERIFY2(copied.contains(target), target.constData());
    // The run from its start to its end, apart from the runs before it.
    QVERIFY2(copied.first().startsWith("Updater started: \""), copied.first().constData());
    QVERIFY2(copied.last().startsWith("Updater ended: status 12, the update is complete; started \""),
             copied.last().constData());
}

void TestEndToEnd::throughProxy_data()
{
    QTest::addColumn<int>("status"); // the proxy's answer for the manifest
    QTest::newRow("passes") << 200;
    QTest::newRow("wants credentials") << 407;
}

// A static proxy, as a corporate network has it: natively from http_proxy,
// under Wine from the user's Internet settings. The test server is the proxy,
// and the origin of a name that does not resolve. A proxy that wants
// credentials stalls the update, and the line says so.
void TestEndToEnd::throughProxy()
{
    QFETCH(int, status);
    TestHttpServer proxy;
    QVERIFY(proxy.start());
    const QByteArray origin = "http://updates.korvel.test";
    const QByteArray data = randomBytes(4000, 15);
    proxy.setResponse(origin + "/one.bin", TestResponse{200, {}, data});
    TestResponse manifest{status, {}, UpdaterSandbox::manifest(UpdaterSandbox::manifestItem(
                                              "one.bin", origin + "/one.bin", "installdir"))};
    if (status == 407)
        manifest.headers = {{"Proxy-Authenticate", "Basic realm=\"Korvel\""}};
    proxy.setResponse(origin + "/manifest.xml", manifest);
    QVERIFY(box->writeHandOff(origin + "/manifest.xml\n"));

    const QString address = QStringLiteral("127.0.0.1:%1").arg(proxy.port());
    WineSession *wine = UpdaterSandbox::usesWine() ? WineSession::instance() : nullptr;
    // The other cases of the session go direct, whatever becomes of this one.
    const auto direct = qScopeGuard([wine] {
        if (wine)
            wine->setProxy(QString());
    });
    if (wine)
        QVERIFY(wine->setProxy(address));
    else
        box->setEnvironmentValue(QStringLiteral("http_proxy"), QStringLiteral("http://") + address);
    QVERIFY(box->start());

    if (status == 407) {
        const QByteArray said = "Manifest error: \"" + origin + "/manifest.xml\" Proxy requires authentication\n";
        QVERIFY2(box->waitForOutput(said, ExitMs), tail(*box).constData());
        VERIFY_STALLS(*box, origin + "/manifest.xml\n");
    } else {
        VERIFY_COMPLETES(*box);
        QCOMPARE(contents(box->installDir() + QStringLiteral("/one.bin")), data);
    }
    VERIFY_NOTHING_LOST(*box);
    QCOMPARE(proxy.requestCount(origin + "/manifest.xml"), 2);
    QCOMPARE(proxy.requestCount(origin + "/one.bin"), status == 407 ? 0 : 1);
}

QTEST_GUILESS_MAIN(TestEndToEnd)

#include "tst_endtoend.moc"
