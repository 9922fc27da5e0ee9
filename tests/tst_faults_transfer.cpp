// The real updater against misbehaving servers and install targets that
// cannot take a component. A transfer that cannot be completed stops the
// update at that item with the hand-off file in place and nothing started;
// nothing crashes, and nothing outside the update is touched.

#include "downloadmanager.h"
#include "keptfiles.h"
#include "nginxserver.h"
#include "signedrelease.h"
#include "stagedfile.h"
#include "testhttpserver.h"
#include "sandboxchecks.h"
#include "testtime.h"
#include "transferrules.h"
#include "updatersandbox.h"
#include "winesession.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSet>
#include <QProcess>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace SandboxChecks;

namespace {

// Each component of the network test: large enough that a third of it is real progress.
const int NetworkSize = 3 * 100 * 1024;

// About eight seconds in six slices (stretched as the waits are), for a test
// to act while it comes in.
TestResponse slowComponent(const QByteArray &body)
{
    TestResponse response;
    response.body = body;
    response.sliceSize = (body.size() + 5) / 6;
    response.sliceDelayMs = testTime(1300);
    return response;
}

// Unmounts the file system it was given when the test ends, however it ends.
struct MountGuard
{
    QByteArray path;
    void release()
    {
        if (!path.isEmpty())
            ::umount2(path.constData(), MNT_DETACH);
        path.clear();
    }
    ~MountGuard() { release(); }
};

// An HTTPS server with canned raw answers per path, for the redirect policy.
class TlsServer : public QTcpServer
{
public:
    QSslCertificate certificate;
    QSslKey key;
    QHash<QByteArray, QByteArray> answers;
    QList<QByteArray> paths;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setLocalCertificate(certificate);
        socket->setPrivateKey(key);
        auto *buffer = new QByteArray;
        connect(socket, &QObject::destroyed, [buffer] { delete buffer; });
        connect(socket, &QSslSocket::readyRead, socket, [this, socket, buffer] {
            *buffer += socket->readAll();
            const int end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QByteArray path = buffer->left(end).split(' ').value(1);
            paths.append(path);
            socket->write(answers.value(path, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n"
                                              "Connection: close\r\n\r\n"));
            socket->disconnectFromHost();
        });
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        socket->startServerEncryption();
    }
};

} // namespace

Q_DECLARE_METATYPE(TestResponse)

// A complete update that also started the application (it starts as the
// updater ends).
#define VERIFY_COMPLETES_AND_STARTS(box)                                                    \
    do {                                                                                    \
        VERIFY_COMPLETES(box);                                                              \
        QTRY_COMPARE_WITH_TIMEOUT((box).appRecord(), QByteArray("started 0"), ExitMs);      \
    } while (false)

class TestFaultsTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void transfer_data();
    void transfer();
    void httpsRedirect_data();
    void httpsRedirect();
    void largeSparseFile();
    void shippedInactivityBound();

    void targetDirectoryMissing_data();
    void targetDirectoryMissing();
    void targetDirectoryReadOnly();
    void targetIsDirectory_data();
    void targetIsDirectory();
    void fullFileSystem_data();
    void fullFileSystem();
    void oldTarget_data();
    void oldTarget();
    void killedThenRunAgain();
    void twoUpdatersAtOnce();
    void network_data();
    void network();

private:
    // Two components: "a.bin" from /c/a into dirA, then "b.bin" from /c/b
    // into the install directory; with c, a third: "c.bin" from /c/c there too.
    void serveTwo(const UpdaterSandbox &box, const QString &dirA, const TestResponse &a,
                  const TestResponse &b, const QByteArray &nameA = "a.bin",
                  const TestResponse *c = nullptr, const QByteArray &nameB = "b.bin");
    QByteArray manifestUrl() const { return server->url(QStringLiteral("/m.xml")).toEncoded(); }

    TestHttpServer *server = nullptr;
    const QByteArray bodyB = UpdaterSandbox::pattern(200, 2);
};

void TestFaultsTransfer::initTestCase()
{
    REQUIRE_RUNNER();
}

void TestFaultsTransfer::init()
{
    server = new TestHttpServer;
    QVERIFY(server->start());
}

void TestFaultsTransfer::cleanup()
{
    delete server;
    server = nullptr;
}

void TestFaultsTransfer::serveTwo(const UpdaterSandbox &box, const QString &dirA,
                                  const TestResponse &a, const TestResponse &b,
                                  const QByteArray &nameA, const TestResponse *c,
                                  const QByteArray &nameB)
{
    server->setResponse("/c/a", a);
    server->setResponse("/c/b", b);
    const QByteArray install = UpdaterSandbox::xmlEscaped(box.updaterPath(box.installDir()));
    QByteArray items =
            UpdaterSandbox::manifestItem(nameA, server->url(QStringLiteral("/c/a")).toEncoded(),
                                         UpdaterSandbox::xmlEscaped(box.updaterPath(dirA)))
            + UpdaterSandbox::manifestItem(nameB, server->url(QStringLiteral("/c/b")).toEncoded(),
                                           install);
    if (c) {
        server->setResponse("/c/c", *c);
        items += UpdaterSandbox::manifestItem("c.bin", server->url(QStringLiteral("/c/c")).toEncoded(),
                                              install);
    }
    TestResponse manifest;
    manifest.body = UpdaterSandbox::manifest(items);
    server->setResponse("/m.xml", manifest);
}

void TestFaultsTransfer::transfer_data()
{
    QTest::addColumn<TestResponse>("response");
    QTest::addColumn<Outcome>("outcome");
    // Completes: the file's content. Stalls: what a partial file is part of.
    QTest::addColumn<QByteArray>("expected");
    // Stalls: a diagnostic line that marks the end of the transfer.
    QTest::addColumn<QByteArray>("waitFor");

    const QByteArray whole = UpdaterSandbox::pattern(1000, 9);
    TestResponse response;
    response.body = whole;

    response.dropAfter = 400;
    QTest::newRow("closed in mid-body") << response << Outcome::Stalls << whole
                                        << QByteArray("Error: RemoteHostClosedError");
    response.dropAfter = -1;
    // Ended by the inactivity bound, shortened here.
    const QByteArray silence = "\" \"nothing received for ";
    response.holdAfter = 0;
    QTest::newRow("headers, then nothing") << response << Outcome::Stalls << whole << silence;
    response.holdAfter = 500;
    QTest::newRow("half the body, then nothing") << response << Outcome::Stalls << whole << silence;
    response.holdAfter = -1;

    response.body.clear();
    QTest::newRow("empty body, Content-Length 0")
            << response << Outcome::Stalls << whole << QByteArray();

    const QByteArray dripped = UpdaterSandbox::pattern(150, 10);
    response.body = dripped;
    response.sliceSize = 1;
    response.sliceDelayMs = 100;
    // Longer than the bound in all, but never silent for it: never cut.
    QTest::newRow("one byte every 100 ms") << response << Outcome::Completes << dripped
                                           << QByteArray();
    response.sliceSize = 0;
    response.sliceDelayMs = 0;

    response.body = whole;
    response.chunked = true;
    QTest::newRow("chunked, no Content-Length") << response << Outcome::Completes << whole
                                                << QByteArray();
    response.chunked = false;
    response.sendContentLength = false;
    QTest::newRow("no Content-Length, ends at close")
            << response << Outcome::Completes << whole << QByteArray();
    response.sendContentLength = true;

    response.status = 302;
    response.body = "<html>moved to /c/real, and this page is long enough to pass as a "
                    "component if it were ever written: padding padding padding padding "
                    "padding padding padding padding.</html>";
    response.headers = {{"Location", "/c/real"}};
    QTest::newRow("302 to another path") << response << Outcome::Completes << whole
                                         << QByteArray();
    response.status = 200;
    response.headers.clear();

    // The threshold: 149 bytes is a failed component, and the update goes on.
    response.body = whole.left(149);
    QTest::newRow("149 bytes") << response << Outcome::Completes << whole.left(149)
                               << QByteArray();
    response.body = whole.left(150);
    QTest::newRow("150 bytes") << response << Outcome::Completes << whole.left(150)
                               << QByteArray();
}

void TestFaultsTransfer::transfer()
{
    QFETCH(TestResponse, response);
    QFETCH(Outcome, outcome);
    QFETCH(QByteArray, expected);
    QFETCH(QByteArray, waitFor);

    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    box.setEnvironmentValue(QStringLiteral("KORVEL_INACTIVITY_MS"), QString::number(testTime(2000)));
    TestResponse b;
    b.body = bodyB;
    serveTwo(box, box.installDir(), response, b);
    TestResponse real;
    real.body = expected;
    server->setResponse("/c/real", real);
    QVERIFY(box.writeHandOff(manifestUrl()));
    // The installed build, which only a whole new one may replace.
    const QString fileA = box.installDir() + QStringLiteral("/a.bin");
    const QByteArray old = UpdaterSandbox::pattern(700, 8);
    QVERIFY(writeFile(fileA, old));

    QVERIFY(box.start());
    if (outcome == Outcome::Completes) {
        VERIFY_COMPLETES_AND_STARTS(box);
        QCOMPARE(contents(fileA), expected.size() > DownloadManager::FailedSizeLimit ? expected : old);
        QCOMPARE(contents(box.installDir() + QStringLiteral("/b.bin")), bodyB);
        QCOMPARE(box.output().count("Failed download: \"" + box.updaterPath(fileA).toUtf8()
                                    + "\" \"149 bytes, 149 or less: the file stays as it was\""),
                 expected.size() == 149 ? 1 : 0);
    } else {
        // Retried a bounded number of times: the stall says so when it comes.
        QVERIFY2(box.waitForOutput("\nStalled: ", ExitMs), tail(box).constData());
        QVERIFY2(box.output().contains(waitFor), tail(box).constData());
        const int tries = server->requestCount("/c/a");
        QVERIFY2(tries >= 1 && tries <= RetryPolicy::MaximumFailures, qPrintable(QString::number(tries)));
        VERIFY_STALLS(box, manifestUrl());
        QCOMPARE(server->requestCount("/c/b"), 0);
        QCOMPARE(contents(fileA), old);
        QVERIFY2(!box.output().contains("finished"), tail(box).constData());
        if (waitFor.isEmpty())
            QVERIFY(!box.output().contains("\nError: "));
    }
    VERIFY_NOTHING_LOST(box);
}

void TestFaultsTransfer::httpsRedirect_data()
{
    QTest::addColumn<bool>("toHttp");
    // The component's manager, or the one the QML engine loads the manifest with.
    QTest::addColumn<bool>("manifest");
    // Proves that the TLS set-up works, so that the refusal below is the
    // redirect policy's and not a failed handshake.
    QTest::newRow("https to https, followed") << false << false;
    QTest::newRow("https to http, refused") << true << false;
    QTest::newRow("manifest, https to https, followed") << false << true;
    QTest::newRow("manifest, https to http, refused") << true << true;
}

// A component that moves from https to http is refused: the redirect page is
// not written and the plain server is never asked. The updater itself trusts
// only the system's certificate authorities (Qt reads fixed system
// directories, no environment variable), so a self-signed server is rejected
// there before any redirect; the manager is checked in this process instead,
// where the test's certificate can be trusted.
void TestFaultsTransfer::httpsRedirect()
{
    QFETCH(bool, toHttp);
    QFETCH(bool, manifest);
    if (!QSslSocket::supportsSsl())
        QSKIP("Qt has no TLS support here");
    if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
        QSKIP("openssl is not installed; it makes the test's certificate");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString error;
    QVERIFY2(NginxServer::makeCertificate(dir.filePath(QStringLiteral("cert.pem")),
                                          dir.filePath(QStringLiteral("key.pem")), &error),
             qPrintable(error));

    TlsServer tls;
    tls.certificate = QSslCertificate(contents(dir.filePath(QStringLiteral("cert.pem"))));
    tls.key = QSslKey(contents(dir.filePath(QStringLiteral("key.pem"))), QSsl::Rsa);
    QVERIFY(!tls.certificate.isNull());
    QVERIFY(!tls.key.isNull());
    QVERIFY(tls.listen(QHostAddress::LocalHost, 0));

    const QByteArray body = UpdaterSandbox::pattern(300, 11);
    TestResponse plain;
    plain.body = body;
    server->setResponse("/file", plain);
    const QByteArray target = toHttp
            ? server->url(QStringLiteral("/file")).toEncoded()
            : "https://127.0.0.1:" + QByteArray::number(tls.serverPort()) + "/file";
    const QByteArray page = "<html>this component has moved, and this page must never be "
                            "taken for it: padding padding padding padding padding padding "
                            "padding padding padding padding padding padding</html>";
    tls.answers.insert("/start", "HTTP/1.1 302 Found\r\nLocation: " + target
                                         + "\r\nContent-Length: "
                                         + QByteArray::number(page.size())
                                         + "\r\nConnection: close\r\n\r\n" + page);
    tls.answers.insert("/file", "HTTP/1.1 200 OK\r\nContent-Length: "
                                        + QByteArray::number(body.size())
                                        + "\r\nConnection: close\r\n\r\n" + body);

    const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
    QSslConfiguration trusting = saved;
    trusting.setCaCertificates({tls.certificate});
    QSslConfiguration::setDefaultConfiguration(trusting);
    struct Restore
    {
        QSslConfiguration configuration;
        ~Restore() { QSslConfiguration::setDefaultConfiguration(configuration); }
    } restore{saved};

    const QUrl start(QStringLiteral("https://127.0.0.1:%1/start").arg(tls.serverPort()));
    if (manifest) {
        RuledNetworkAccessManager network(SignedRelease::MaximumManifestSize);
        QNetworkReply *reply = network.get(QNetworkRequest(start));
        QSignalSpy finished(reply, &QNetworkReply::finished);
        QVERIFY(finished.wait(testTime(30000)));
        QCOMPARE(reply->error(), toHttp ? QNetworkReply::InsecureRedirectError : QNetworkReply::NoError);
        QCOMPARE(reply->readAll(), toHttp ? QByteArray() : body);
        QCOMPARE(server->requestCount("/file"), 0);
        // Nor may the engine's model follow the refused redirect itself.
        if (toHttp) {
            QNetworkReply *again = network.get(QNetworkRequest(QUrl::fromEncoded(target)));
            QSignalSpy refused(again, &QNetworkReply::finished);
            QVERIFY(refused.wait(testTime(30000)));
            QCOMPARE(again->error(), QNetworkReply::ProtocolUnknownError);
            QCOMPARE(server->requestCount("/file"), 0);
        }
        return;
    }
    DownloadManager manager;
    QSignalSpy complete(&manager, &DownloadManager::downloadComplete);
    QSignalSpy failed(&manager, &DownloadManager::downloadError);
    const QString file = dir.filePath(QStringLiteral("component.bin"));
    manager.download(start, file);

    if (toHttp) {
        QVERIFY(failed.wait(testTime(30000)));
        QCOMPARE(failed.first().first().value<QNetworkReply::NetworkError>(),
                 QNetworkReply::InsecureRedirectError);
        QCOMPARE(complete.count(), 0);
        QCOMPARE(server->requestCount("/file"), 0);
        QVERIFY(!contents(file).contains("moved"));
    } else {
        QVERIFY(complete.wait(testTime(30000)));
        QCOMPARE(failed.count(), 0);
        QCOMPARE(contents(file), body);
    }
    QCOMPARE(tls.paths.first(), QByteArray("/start"));
}

// A 3 GiB component is a good one: kept, not taken for a failed download and
// discarded.
void TestFaultsTransfer::largeSparseFile()
{
    const qint64 size = Q_INT64_C(3) * 1024 * 1024 * 1024;
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    if (QStorageInfo(box.root()).bytesAvailable() < Q_INT64_C(8) * 1024 * 1024 * 1024)
        QSKIP("less than 8 GiB free for the 3 GiB component");
    if (!QFileInfo(NginxServer::binary()).isExecutable())
        QSKIP("nginx is not installed");

    const QString www = box.makeDir(QStringLiteral("www"));
    {
        QFile big(www + QStringLiteral("/big.bin"));
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(size)); // sparse: takes no room on the server's side
        QVERIFY(big.seek(size - 4));
        QVERIFY(big.write("tail") == 4);
    }
    NginxServer nginx(www);
    QVERIFY2(nginx.start(), qPrintable(nginx.errorText()));

    server->setResponse("/c/b", TestResponse{200, {}, bodyB});
    TestResponse manifest;
    manifest.body = UpdaterSandbox::manifest(
            UpdaterSandbox::manifestItem("big.bin",
                                         nginx.url(QStringLiteral("/big.bin")).toEncoded(),
                                         box.installDir().toUtf8())
            + UpdaterSandbox::manifestItem("b.bin", server->url(QStringLiteral("/c/b")).toEncoded(),
                                           box.installDir().toUtf8()));
    server->setResponse("/m.xml", manifest);
    QVERIFY(box.writeHandOff(manifestUrl()));

    QVERIFY(box.start());
    QVERIFY2(box.waitForExit(10 * ExitMs), tail(box).constData());
    QVERIFY2(!box.crashed(), tail(box).constData());
    QCOMPARE(box.exitCode(), 12);
    QVERIFY(!box.handOffExists());
    QVERIFY(!box.output().contains("Removed"));
    const QString fileBig = box.installDir() + QStringLiteral("/big.bin");
    QCOMPARE(QFileInfo(fileBig).size(), size);
    QFile check(fileBig);
    QVERIFY(check.open(QIODevice::ReadOnly));
    QCOMPARE(check.read(4096), QByteArray(4096, '\0'));
    QVERIFY(check.seek(size - 4096));
    QCOMPARE(check.read(4096), QByteArray(4092, '\0') + "tail");
    check.close();
    QFile::remove(fileBig);
    QCOMPARE(contents(box.installDir() + QStringLiteral("/b.bin")), bodyB);
    VERIFY_NOTHING_LOST(box);
}

void TestFaultsTransfer::targetDirectoryMissing_data()
{
    // "@" stands for the sandbox; a relative location is the working directory's.
    QTest::addColumn<QString>("location");
    QTest::addColumn<QByteArray>("said");
    QTest::newRow("relative, mistyped") << QStringLiteral("absent/deeper")
                                        << QByteArray("\"its folder does not exist\"");
    // As a pretty-printer writes it, over three lines.
    QTest::newRow("blanks around") << QStringLiteral("\n        @/absent/deeper\n    ")
                                   << QByteArray("(the install location has blanks or line ends around it)\"");
}

// A component whose server sends its headers and then nothing, under the
// bound that ships: the update stalls once it has waited that long, and
// says why. (The other cases shorten the bound.)
void TestFaultsTransfer::shippedInactivityBound()
{
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    TestResponse a;
    a.body = UpdaterSandbox::pattern(1000, 9);
    a.holdAfter = 0;
    serveTwo(box, box.installDir(), a, TestResponse{200, {}, bodyB});
    QVERIFY(box.writeHandOff(manifestUrl()));

    QVERIFY(box.start());
    QVERIFY2(box.waitForOutput("Stopped: \"" + server->url(QStringLiteral("/c/a")).toEncoded()
                                       + "\" \"nothing received for 60 s\"",
                               TransferRules::InactivityLimit + ExitMs),
             tail(box).constData());
    VERIFY_STALLS(box, manifestUrl());
    QCOMPARE(server->requestCount("/c/b"), 0);
    VERIFY_NOTHING_LOST(box);
}

// Nothing can be written into a relative location that does not exist: a
// failed component, with its line, and the update goes on without creating
// it. (A missing absolute one is created: tst_release's killedAtEveryRename.)
void TestFaultsTransfer::targetDirectoryMissing()
{
    QFETCH(QString, location);
    QFETCH(QByteArray, said);
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    const QString absent = location.replace(QLatin1Char('@'), box.root());
    TestResponse a;
    a.body = UpdaterSandbox::pattern(400, 12);
    TestResponse b;
    b.body = bodyB;
    serveTwo(box, absent, a, b);
    QVERIFY(box.writeHandOff(manifestUrl()));

    QVERIFY(box.start());
    VERIFY_COMPLETES_AND_STARTS(box);
    QCOMPARE(server->requestCount("/c/a"), 1);
    QVERIFY(!QFileInfo::exists(box.root() + QStringLiteral("/absent")));
    QVERIFY(!QFileInfo::exists(box.workDir() + QStringLiteral("/absent")));
    QCOMPARE(contents(box.installDir() + QStringLiteral("/b.bin")), bodyB);
    QVERIFY2(box.output().contains("Failed download: ") && box.output().contains(said),
             tail(box).constData());
    VERIFY_NOTHING_LOST(box);
}

// A directory the updater may not write to: no staging file can be made
// there. The updater waits for it a while, then the update stops at that item
// without fetching it. Root writes anywhere, so the updater runs as "nobody".
void TestFaultsTransfer::targetDirectoryReadOnly()
{
    if (geteuid() == 0 && !UpdaterSandbox::canRunAsNobody())
        QSKIP("running as root without a user \"nobody\" to drop to: root writes anywhere");
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    const QString locked = box.makeDir(QStringLiteral("locked"));
    TestResponse a;
    a.body = UpdaterSandbox::pattern(400, 13);
    TestResponse b;
    b.body = bodyB;
    serveTwo(box, locked, a, b);
    QVERIFY(box.writeHandOff(manifestUrl()));
    if (geteuid() == 0)
        QVERIFY(box.runAsNobody());
    QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup
                                          | QFile::ExeGroup | QFile::ReadOther
                                          | QFile::ExeOther));

    QVERIFY(box.start());
    QVERIFY2(box.waitForOutput("Cannot create \"" + box.updaterPath(locked).toUtf8() + "/a.bin.korvel-part\"",
                               testTime(StagedFile::RetryLimit) + ExitMs),
             tail(box).constData());
    VERIFY_STALLS(box, manifestUrl());
    QCOMPARE(server->requestCount("/c/a"), 0);
    QCOMPARE(server->requestCount("/c/b"), 0);
    QVERIFY(!QFileInfo::exists(locked + QStringLiteral("/a.bin")));
    VERIFY_NOTHING_LOST(box);
}

void TestFaultsTransfer::targetIsDirectory_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("a directory at the target path") << QByteArray("a.bin");
    // The target is then the install directory itself, with a trailing "/".
    QTest::newRow("an empty name") << QByteArray();
}

// A directory stands where the component goes: it is neither replaced nor
// emptied, and no removal is tried on it. It is no failed download: the
// update stops there, unfetched. (An empty name is never requested.)
void TestFaultsTransfer::targetIsDirectory()
{
    QFETCH(QByteArray, name);
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    const QString taken = name.isEmpty()
            ? box.installDir()
            : box.makeDir(QStringLiteral("install/") + QString::fromUtf8(name));
    TestResponse a;
    a.body = UpdaterSandbox::pattern(400, 14);
    serveTwo(box, box.installDir(), a, TestResponse{200, {}, bodyB}, name);
    QVERIFY(box.writeHandOff(manifestUrl()));

    QVERIFY(box.start());
    if (name.isEmpty()) {
        VERIFY_COMPLETES_AND_STARTS(box);
        QCOMPARE(box.requestedTargets().first(), box.installDir() + QStringLiteral("/b.bin"));
        QCOMPARE(contents(box.installDir() + QStringLiteral("/b.bin")), bodyB);
    } else {
        QVERIFY2(box.waitForOutput("\" \"a folder stands at the target\"", ExitMs), tail(box).constData());
        VERIFY_STALLS(box, manifestUrl());
        QCOMPARE(server->requestCount("/c/a") + server->requestCount("/c/b"), 0);
    }
    QVERIFY(!box.output().contains("Removed"));
    QVERIFY(!box.output().contains("couldn't open file ReadWrite"));
    QVERIFY(QFileInfo(taken).isDir());
    VERIFY_NOTHING_LOST(box);
}

void TestFaultsTransfer::fullFileSystem_data()
{
    QTest::addColumn<bool>("tmpfs");
    QTest::newRow("tmpfs of 64 KiB") << true;
    QTest::newRow("file size limit of 256 KiB") << false;
}

// A component that does not fit is not a good one: the update stops there,
// with the hand-off file in place and nothing started.
void TestFaultsTransfer::fullFileSystem()
{
    QFETCH(bool, tmpfs);
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    MountGuard guard;
    QString full = box.root() + QStringLiteral("/full");
    QVERIFY(QDir().mkpath(full));
    if (tmpfs) {
        const QByteArray path = QFile::encodeName(full);
        if (::mount("korvel-full", path.constData(), "tmpfs", 0, "size=64k") != 0)
            QSKIP("mounting a tmpfs is not allowed here");
        guard.path = path;
    } else {
        box.setChildSetup([] {
            const rlimit limit = {256 * 1024, 256 * 1024};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            // Ignored, so that the write fails instead of killing the updater.
            ::signal(SIGXFSZ, SIG_IGN);
        });
    }
    box.addSentinel(full);

    const QByteArray big = UpdaterSandbox::pattern(1024 * 1024, 15);
    TestResponse a;
    a.body = big;
    TestResponse b;
    b.body = bodyB;
    serveTwo(box, full, a, b);
    QVERIFY(box.writeHandOff(manifestUrl()));

    QVERIFY(box.start());
    QTRY_COMPARE_WITH_TIMEOUT(server->requestCount("/c/a"), 1, ExitMs);
    VERIFY_STALLS(box, manifestUrl());
    QCOMPARE(server->requestCount("/c/b"), 0);
    // Given up as an internal error, not a network one.
    QVERIFY(!box.output().contains("finished"));
    QVERIFY(!box.output().contains("\nError: "));
    // Nothing of the component stays behind.
    QVERIFY(!QFileInfo::exists(full + QStringLiteral("/a.bin")));
    QVERIFY(!QFileInfo::exists(StagedFile::stagingPath(full + QStringLiteral("/a.bin"))));
    VERIFY_NOTHING_LOST(box);
}

void TestFaultsTransfer::oldTarget_data()
{
    // How the old file is held. Wine: another program has it open without
    // sharing its deletion ("r"; "rw" shares writing). Natively: a bind mount
    // onto itself, which can be neither renamed nor removed either. Or not
    // held but read-only.
    QTest::addColumn<QString>("hold");
    QTest::addColumn<bool>("letGo");
    if (UpdaterSandbox::usesWine()) {
        QTest::newRow("held, then let go") << QStringLiteral("r") << true;
        QTest::newRow("held throughout, sharing writes") << QStringLiteral("rw") << false;
    } else {
        QTest::newRow("read-only") << QStringLiteral("read-only") << true;
        QTest::newRow("held, then let go") << QStringLiteral("mount") << true;
        QTest::newRow("held throughout") << QStringLiteral("mount") << false;
    }
}

// An old file that another program holds, as a virus scanner or a closing
// application does: the updater waits for it and replaces it once it is let
// go; held past the bound, the update stops there, and closing the window
// puts the two components before it, in two folders, back as they were. A
// read-only one is replaced by a read-only one.
void TestFaultsTransfer::oldTarget()
{
    QFETCH(QString, hold);
    QFETCH(bool, letGo);
    const bool wine = UpdaterSandbox::usesWine();
    const bool held = hold != QLatin1String("read-only");
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    const QString dirA = box.makeDir(QStringLiteral("old"));
    const QStringList files = {dirA + QStringLiteral("/a.bin"), box.installDir() + QStringLiteral("/b.bin"),
                               box.installDir() + QStringLiteral("/c.bin")};
    const QString fileC = files.last();
    QList<TestResponse> fresh;
    for (int i = 0; i < files.size(); ++i) {
        QVERIFY(writeFile(files.at(i), UpdaterSandbox::pattern(5000 + i, 16)));
        fresh.append(TestResponse{200, {}, UpdaterSandbox::pattern(300 + i, 17)});
    }
    serveTwo(box, dirA, fresh.at(0), fresh.at(1), "a.bin", &fresh.at(2));
    QVERIFY(box.writeHandOff(manifestUrl()));

    QProcess holder;
    MountGuard mount;
    const QString mark = box.root() + QStringLiteral("/held.mark");
    if (wine) {
        WineSession *session = WineSession::instance();
        holder.setProcessEnvironment(session->environment());
        holder.start(session->wine(),
                     session->command(session->helper(),
                                      {QStringLiteral("hold"), box.updaterPath(fileC), hold,
                                       box.updaterPath(mark)}));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(mark), testTime(30000));
    } else if (held) {
        const QByteArray path = QFile::encodeName(fileC);
        if (::mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) != 0)
            QSKIP("mounting is not allowed here");
        mount.path = path;
    } else {
        QVERIFY(QFile::setPermissions(fileC, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    }
    const QFile::Permissions permissions = QFile::permissions(fileC);

    QVERIFY(box.start());
    if (held && letGo) {
        QTRY_COMPARE_WITH_TIMEOUT(server->requestCount("/c/c"), 1, ExitMs);
        QTest::qWait(3000); // how long it is held
        QFile::remove(mark);
        mount.release();
    }
    if (letGo) {
        VERIFY_COMPLETES_AND_STARTS(box);
        for (int i = 0; i < files.size(); ++i)
            QCOMPARE(contents(files.at(i)), fresh.at(i).body);
        if (!wine)
            QCOMPARE(QFile::permissions(fileC), permissions);
    } else {
        // Under Wine the install path comes in the ANSI code page: match its end.
        QVERIFY2(box.waitForOutput("/c.bin\" \"", testTime(StagedFile::RetryLimit) + ExitMs),
                 tail(box).constData());
        QVERIFY(box.output().contains("Cannot replace "));
        QCOMPARE(contents(files.at(0)), fresh.at(0).body);
        VERIFY_STALLS(box, manifestUrl());
        QVERIFY(box.windowClosed());
        for (int i = 0; i < files.size(); ++i)
            QCOMPARE(contents(files.at(i)), UpdaterSandbox::pattern(5000 + i, 16));
        QVERIFY2(box.leftovers().isEmpty(), qPrintable(box.leftovers().join(QLatin1Char(' '))));
        QFile::remove(mark);
    }
    VERIFY_NOTHING_LOST(box);
    if (wine) {
        QVERIFY(holder.state() == QProcess::NotRunning || holder.waitForFinished(testTime(30000)));
        QCOMPARE(holder.exitCode(), 0);
    }
}

// The updater killed in mid-transfer, then started again: the old file is
// whole meanwhile, and the next run replaces it without appending to what the
// killed one staged, and leaves nothing behind. Killed (the whole Wine
// session) after it replaced itself, the next start puts its old exe and DLL back.
void TestFaultsTransfer::killedThenRunAgain()
{
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    // Windows: the next updater is the release's, with its DLL loaded.
    if (UpdaterSandbox::usesWine()) {
        const QStringList files = {box.installDir() + QStringLiteral("/KorvelUpdater.exe"),
                                   box.installDir() + QStringLiteral("/libwinpthread-1.dll")};
        // Programs still: what follows an image is not loaded.
        const TestResponse fresh[] = {{200, {}, contents(files.at(0)) + UpdaterSandbox::pattern(1000, 21)},
                                      {200, {}, contents(files.at(1)) + UpdaterSandbox::pattern(1000, 22)}};
        TestResponse c{200, {}, UpdaterSandbox::pattern(3000, 23)};
        c.holdAfter = 1000;
        serveTwo(box, box.installDir(), fresh[0], fresh[1], "KorvelUpdater.exe", &c, "libwinpthread-1.dll");
        QVERIFY(box.writeHandOff(manifestUrl()));
        // Each started as the prefix's first program: the next one gets the
        // killed one's process id, so its lock may not depend on it.
        box.setDirect(true);
        WineSession::instance()->killAll();
        QVERIFY(box.start());
        QTRY_COMPARE_WITH_TIMEOUT(server->requestCount("/c/c"), 1, ExitMs);
        box.kill();

        QFile::remove(box.handOffPath());
        const int killedRun = box.output().size();
        QVERIFY(box.start());
        QVERIFY2(box.waitForOutput("Rolled back the update of 3 component(s)", ExitMs), tail(box).constData());
        const QRegularExpression pid(QStringLiteral("Updater started: .* pid (\\d+)\n"));
        const QString output = QString::fromUtf8(box.output());
        const QString killedPid = pid.match(output).captured(1);
        QVERIFY2(!killedPid.isEmpty(), qPrintable(output));
        QCOMPARE(pid.match(output.mid(killedRun)).captured(1), killedPid);
        for (int i = 0; i < 2; ++i)
            QCOMPARE(contents(files.at(i)), fresh[i].body.chopped(1000));
        QVERIFY(!QFileInfo::exists(box.installDir() + QStringLiteral("/KorvelUpdater.journal")));
        box.terminate();

        c.holdAfter = -1;
        server->setResponse("/c/c", c);
        QVERIFY(box.writeHandOff(manifestUrl()));
        QVERIFY(box.start());
        QVERIFY2(box.waitForExit(ExitMs), tail(box).constData());
        QCOMPARE(box.exitCode(), 12);
        for (int i = 0; i < 2; ++i)
            QCOMPARE(contents(files.at(i)), fresh[i].body);
        VERIFY_NOTHING_LOST(box);
        return;
    }
    const QString fileA = box.installDir() + QStringLiteral("/a.bin");
    const QByteArray old = UpdaterSandbox::pattern(700, 18);
    QVERIFY(writeFile(fileA, old));
    TestResponse a = slowComponent(UpdaterSandbox::pattern(60000, 19));
    TestResponse b;
    b.body = bodyB;
    serveTwo(box, box.installDir(), a, b);
    QVERIFY(box.writeHandOff(manifestUrl()));

    QVERIFY(box.start());
    const QString staging = StagedFile::stagingPath(fileA);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(staging).size() > 0, ExitMs);
    a.sliceDelayMs = 0;
    server->setResponse("/c/a", a);
    // The next updater starts as soon as the killed one has ended, before it
    // is reaped: its lock went with its open files.
    const qint64 killed = box.pid();
    QCOMPARE(::kill(pid_t(killed), SIGKILL), 0);
    QTRY_VERIFY_WITH_TIMEOUT(UpdaterSandbox::hasEnded(killed), ExitMs);
    QByteArray output;
    const int status = box.runAnother(&output, ExitMs);
    QVERIFY2(status == 12 && output.contains("Rolled back the update of 1 component(s)"), output.constData());
    box.kill();
    QVERIFY(!box.handOffExists());
    QCOMPARE(contents(fileA), a.body);
    QCOMPARE(contents(box.installDir() + QStringLiteral("/b.bin")), bodyB);
    QVERIFY2(box.leftovers().isEmpty(), qPrintable(box.leftovers().join(QLatin1Char(' '))));
}

// A second updater of the installation while one runs ends at once with 0,
// touching nothing; the first completes. Two started together: one of them.
void TestFaultsTransfer::twoUpdatersAtOnce()
{
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    TestResponse b;
    b.body = bodyB;
    serveTwo(box, box.installDir(), slowComponent(UpdaterSandbox::pattern(3000, 20)), b);
    QVERIFY(box.writeHandOff(manifestUrl()));

    QVERIFY(box.start());
    QTRY_COMPARE_WITH_TIMEOUT(server->requestCount("/c/a"), 1, ExitMs);
    QByteArray output;
    QCOMPARE(box.runAnother(&output, ExitMs), 0);
    QVERIFY2(output.contains("Another updater holds"), output.constData());
    QVERIFY2(output.endsWith("Updater ended: status 0, nothing touched (another updater, or a roll back "
                             "that cannot complete yet)\n"), output.constData());
    QVERIFY2(!output.contains("Output: "), output.constData());
    // The window's load and the updater's own, both by the first updater.
    QCOMPARE(server->requestCount("/m.xml"), 2);
    QCOMPARE(server->requestCount("/c/a"), 1);
    QVERIFY(box.handOffExists());

    VERIFY_COMPLETES_AND_STARTS(box);
    QCOMPARE(contents(box.installDir() + QStringLiteral("/a.bin")), UpdaterSandbox::pattern(3000, 20));
    QCOMPARE(contents(box.installDir() + QStringLiteral("/b.bin")), bodyB);

    // Started together, the lock file of an earlier run beside them (it is no lock).
    QVERIFY(writeFile(box.installDir() + QStringLiteral("/KorvelUpdater.lock"), "1\nKorvelUpdater\nhost\n"));
    server->setResponse("/c/a", TestResponse{200, {}, UpdaterSandbox::pattern(3000, 20)});
    QVERIFY(box.writeHandOff(manifestUrl()));
    const int before = box.output().size();
    QVERIFY(box.start());
    QByteArray second;
    const int other = box.runAnother(&second, ExitMs);
    QVERIFY2(box.waitForExit(ExitMs), tail(box).constData());
    const QByteArray both = box.output().mid(before) + second;
    QCOMPARE(both.count("Another updater holds"), 1);
    QCOMPARE(both.count("Updater ended: status 0, nothing touched"), 1);
    QCOMPARE(QSet<int>({other, box.exitCode()}), QSet<int>({0, 12}));
    QVERIFY(!box.handOffExists());
    VERIFY_NOTHING_LOST(box);
}

QTEST_GUILESS_MAIN(TestFaultsTransfer)

namespace {

// A port that nothing listens on: one the system just gave out and took back.
quint16 deadPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

} // namespace

// How a run ends before the next one starts.
enum class FirstRun { None, Killed, Closed, KeptAltered };
Q_DECLARE_METATYPE(FirstRun)

void TestFaultsTransfer::network_data()
{
    QTest::addColumn<QList<TestResponse>>("answers");
    QTest::addColumn<FirstRun>("firstRun");
    QTest::addColumn<Outcome>("outcome");
    // The Range of each request for the last component, in turn (Qt may
    // send one request twice on a connection the server closed: counted once).
    QTest::addColumn<QList<QByteArray>>("ranges");
    QTest::addColumn<int>("retries");

    const QByteArray body = UpdaterSandbox::pattern(NetworkSize, 31);
    TestResponse good;
    good.body = body;
    good.honourRange = true;
    good.etag = "\"v1\"";
    TestResponse dropped = good;
    dropped.dropAfter = NetworkSize / 3;
    const QByteArray third = "bytes=" + QByteArray::number(NetworkSize / 3) + '-';
    const QByteArray twoThirds = "bytes=" + QByteArray::number(NetworkSize / 3 * 2) + '-';

    QTest::newRow("drop every third") << QList<TestResponse>{dropped} << FirstRun::None
                                      << Outcome::Completes
                                      << QList<QByteArray>{"", third, twoThirds} << 2;
    QTest::newRow("drop once") << QList<TestResponse>{dropped, good} << FirstRun::None
                               << Outcome::Completes << QList<QByteArray>{"", third} << 1;
    TestResponse busy;
    busy.status = 503;
    busy.body = "busy";
    busy.headers = {{"Retry-After", "2"}};
    QTest::newRow("503 with Retry-After, twice") << QList<TestResponse>{busy, busy, good}
                                                 << FirstRun::None << Outcome::Completes
                                                 << QList<QByteArray>{""} << 2;
    TestResponse missing;
    missing.status = 404;
    missing.body = "not here";
    QTest::newRow("404, asked once") << QList<TestResponse>{missing} << FirstRun::None
                                     << Outcome::Stalls << QList<QByteArray>{""} << 0;
    // No answers: nothing listens at the component's address.
    QTest::newRow("dead server, bounded tries") << QList<TestResponse>() << FirstRun::None
                                                << Outcome::Stalls << QList<QByteArray>()
                                                << RetryPolicy::MaximumFailures - 1;
    // The server's file changed between two tries: If-Range gets it whole.
    TestResponse changed = good;
    changed.etag = "\"v2\"";
    changed.body = UpdaterSandbox::pattern(NetworkSize, 32);
    QTest::newRow("another ETag, started over") << QList<TestResponse>{dropped, changed}
                                                << FirstRun::None << Outcome::Completes
                                                << QList<QByteArray>{"", third} << 1;
    // The first run holds at a third of the last component.
    TestResponse held = good;
    held.holdAfter = NetworkSize / 3;
    for (FirstRun end : {FirstRun::Killed, FirstRun::Closed}) {
        QTest::newRow(end == FirstRun::Killed ? "kept across a kill" : "kept across a close")
                << QList<TestResponse>{held, good} << end << Outcome::Completes
                << QList<QByteArray>{"", third} << 0;
    }
    QTest::newRow("kept file altered, fetched again") << QList<TestResponse>{held, good}
                                                      << FirstRun::KeptAltered
                                                      << Outcome::Completes
                                                      << QList<QByteArray>{"", third} << 0;
}

// Three components with their SHA-256; the last one comes through a network
// that fails as the row says. A run that ends early keeps what it verified,
// and the next start uses it without a request.
void TestFaultsTransfer::network()
{
    QFETCH(QList<TestResponse>, answers);
    QFETCH(FirstRun, firstRun);
    QFETCH(Outcome, outcome);
    QFETCH(QList<QByteArray>, ranges);
    QFETCH(int, retries);

    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    const QByteArray install = UpdaterSandbox::xmlEscaped(box.updaterPath(box.installDir()));
    const QStringList names = {QStringLiteral("a.bin"), QStringLiteral("b.bin"), QStringLiteral("c.bin")};
    QByteArray items;
    QList<QByteArray> bodies;
    for (int i = 0; i < names.size(); ++i) {
        const QByteArray body = i == 2 && !answers.isEmpty() ? answers.last().body
                                                             : UpdaterSandbox::pattern(NetworkSize, 40 + i);
        const QByteArray path = "/c/" + names.at(i).toLatin1();
        bodies.append(body);
        if (i < 2) {
            TestResponse response;
            response.body = body;
            server->setResponse(path, response);
        }
        QUrl url = server->url(QString::fromLatin1(path));
        if (i == 2 && answers.isEmpty())
            url.setPort(deadPort());
        QByteArray item = UpdaterSandbox::manifestItem(names.at(i).toLatin1(), url.toEncoded(), install);
        item.replace("<filesize>0</filesize>", "<filesize>" + QByteArray::number(body.size())
                     + "</filesize>\n    <sha256>"
                     + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex() + "</sha256>");
        items += item;
        QVERIFY(writeFile(box.installDir() + QLatin1Char('/') + names.at(i), UpdaterSandbox::pattern(500, 50 + i)));
    }
    TestResponse manifest;
    manifest.body = UpdaterSandbox::manifest(items);
    server->setResponse("/m.xml", manifest);
    server->setResponses("/c/c.bin", answers);
    QVERIFY(box.writeHandOff(manifestUrl()));
    const QString kept = KeptFiles::keptPath(box.installDir() + QStringLiteral("/a.bin"));

    if (firstRun != FirstRun::None) {
        QVERIFY(box.start());
        const QString staging = StagedFile::stagingPath(box.installDir() + QStringLiteral("/c.bin"));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(staging).size() == NetworkSize / 3, ExitMs);
        if (firstRun == FirstRun::Killed)
            box.kill();
        else
            box.terminate();
        QVERIFY(box.waitForExit(ExitMs));
        // After a kill, the next start's roll back keeps them.
        if (firstRun != FirstRun::Killed) {
            for (int i = 0; i < names.size(); ++i)
                QCOMPARE(contents(box.installDir() + QLatin1Char('/') + names.at(i)),
                         UpdaterSandbox::pattern(500, 50 + i));
            QVERIFY2(contents(kept) == bodies.first(), tail(box).constData());
        }
        if (firstRun == FirstRun::KeptAltered) {
            QFile file(kept);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(1000) && file.putChar('x'));
        }
    }
    QVERIFY(box.start());
    if (outcome == Outcome::Completes) {
        VERIFY_COMPLETES_AND_STARTS(box);
        for (int i = 0; i < names.size(); ++i)
            QCOMPARE(contents(box.installDir() + QLatin1Char('/') + names.at(i)), bodies.at(i));
        // Nothing is kept past a commit.
        QVERIFY(!QFileInfo::exists(QFileInfo(kept).path()));
        QVERIFY(!QFileInfo::exists(KeptFiles::indexPath(box.installDir())));
    } else {
        QVERIFY2(box.waitForOutput("\nStalled: ", ExitMs), tail(box).constData());
        VERIFY_STALLS(box, manifestUrl());
        QCOMPARE(contents(kept), bodies.first());
    }
    VERIFY_NOTHING_LOST(box);

    QList<QByteArray> asked;
    for (const RecordedRequest &request : server->requests()) {
        if (request.path == "/c/c.bin" && (asked.isEmpty() || asked.last() != request.range))
            asked.append(request.range);
    }
    QVERIFY2(asked == ranges, (asked.join(' ') + '\n' + tail(box)).constData());
    QCOMPARE(box.output().count("\nRetry: "), retries);
    // Verified in the first run, used in the second without a request.
    QCOMPARE(server->requestCount("/c/a.bin"), firstRun == FirstRun::KeptAltered ? 2 : 1);
    QCOMPARE(server->requestCount("/c/b.bin"), 1);
}

#include "tst_faults_transfer.moc"
