// The real updater against misbehaving servers and install targets that
// cannot take a component. A transfer that cannot be completed stops the
// update at that item with the hand-off file in place and nothing started;
// nothing crashes, and nothing outside the update is touched.

#include "downloadmanager.h"
#include "nginxserver.h"
#include "testhttpserver.h"
#include "sandboxchecks.h"
#include "testtime.h"
#include "updatersandbox.h"
#include "winesession.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
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

// The file a failed transfer leaves: what arrived, and nothing else.
bool isPartialOf(const QString &path, const QByteArray &whole)
{
    const QByteArray data = contents(path);
    return QFileInfo(path).isFile() && data.size() < whole.size() && whole.startsWith(data);
}

// Longer than the 5000 ms after which a failed component is removed, so that
// a wrong removal happens while the updater still runs.
TestResponse slowComponent(const QByteArray &body)
{
    TestResponse response;
    response.body = body;
    response.sliceSize = (body.size() + 5) / 6;
    response.sliceDelayMs = 1300;
    return response;
}

// Unmounts the file system it was given when the test ends, however it ends.
struct MountGuard
{
    QByteArray path;
    ~MountGuard()
    {
        if (!path.isEmpty())
            ::umount2(path.constData(), MNT_DETACH);
    }
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

    void targetDirectoryMissing();
    void targetDirectoryReadOnly();
    void targetIsDirectory_data();
    void targetIsDirectory();
    void fullFileSystem_data();
    void fullFileSystem();
    void oldTarget_data();
    void oldTarget();

private:
    // Two components: "a.bin" from /c/a into dirA, then "b.bin" from /c/b
    // into the install directory.
    void serveTwo(const UpdaterSandbox &box, const QString &dirA, const TestResponse &a,
                  const TestResponse &b, const QByteArray &nameA = "a.bin");
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
                                  const QByteArray &nameA)
{
    server->setResponse("/c/a", a);
    server->setResponse("/c/b", b);
    TestResponse manifest;
    manifest.body = UpdaterSandbox::manifest(
            UpdaterSandbox::manifestItem(nameA, server->url(QStringLiteral("/c/a")).toEncoded(),
                                         UpdaterSandbox::xmlEscaped(box.updaterPath(dirA)))
            + UpdaterSandbox::manifestItem("b.bin",
                                           server->url(QStringLiteral("/c/b")).toEncoded(),
                                           UpdaterSandbox::xmlEscaped(box.updaterPath(box.installDir()))));
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
    response.holdAfter = 0;
    QTest::newRow("headers, then nothing") << response << Outcome::Stalls << whole << QByteArray();
    response.holdAfter = 500;
    QTest::newRow("half the body, then nothing")
            << response << Outcome::Stalls << whole << QByteArray();
    response.holdAfter = -1;

    response.body.clear();
    QTest::newRow("empty body, Content-Length 0")
            << response << Outcome::Stalls << whole << QByteArray();

    const QByteArray dripped = UpdaterSandbox::pattern(150, 10);
    response.body = dripped;
    response.sliceSize = 1;
    response.sliceDelayMs = 100;
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
    TestResponse b;
    b.body = bodyB;
    serveTwo(box, box.installDir(), response, b);
    TestResponse real;
    real.body = expected;
    server->setResponse("/c/real", real);
    QVERIFY(box.writeHandOff(manifestUrl()));

    QVERIFY(box.start());
    const QString fileA = box.installDir() + QStringLiteral("/a.bin");
    if (outcome == Outcome::Completes) {
        VERIFY_COMPLETES_AND_STARTS(box);
        QCOMPARE(contents(fileA), expected);
        QCOMPARE(contents(box.installDir() + QStringLiteral("/b.bin")), bodyB);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(server->requestCount("/c/a"), 1, ExitMs);
        if (!waitFor.isEmpty())
            QVERIFY2(box.waitForOutput(waitFor, ExitMs), tail(box).constData());
        VERIFY_STALLS(box, manifestUrl());
        QCOMPARE(server->requestCount("/c/b"), 0);
        QVERIFY2(isPartialOf(fileA, expected), qPrintable(fileA));
        QVERIFY(!box.output().contains("finished"));
        if (waitFor.isEmpty())
            QVERIFY(!box.output().contains("\nError: "));
    }
    VERIFY_NOTHING_LOST(box);
}

void TestFaultsTransfer::httpsRedirect_data()
{
    QTest::addColumn<bool>("toHttp");
    // Proves that the TLS set-up works, so that the refusal below is the
    // redirect policy's and not a failed handshake.
    QTest::newRow("https to https, followed") << false;
    QTest::newRow("https to http, refused") << true;
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

    DownloadManager manager;
    QSignalSpy complete(&manager, &DownloadManager::downloadComplete);
    QSignalSpy failed(&manager, &DownloadManager::downloadError);
    const QString file = dir.filePath(QStringLiteral("component.bin"));
    manager.download(QUrl(QStringLiteral("https://127.0.0.1:%1/start").arg(tls.serverPort())),
                     file);

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

// A 3 GiB component is a good one: kept, not taken for a failed download. The
// next component takes longer than the delay of a failed one's removal, so a
// wrong removal would happen before the updater ends.
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

    server->setResponse("/c/b", slowComponent(bodyB));
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

// Nothing can be written into a directory that does not exist: a failed
// component, and the update goes on without creating it.
void TestFaultsTransfer::targetDirectoryMissing()
{
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    const QString absent = box.root() + QStringLiteral("/absent/deeper");
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
    QCOMPARE(contents(box.installDir() + QStringLiteral("/b.bin")), bodyB);
    VERIFY_NOTHING_LOST(box);
}

// A directory the updater may not write to: a failed component, the update
// goes on. Root writes anywhere, so the updater runs as "nobody" then.
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
    VERIFY_COMPLETES_AND_STARTS(box);
    QCOMPARE(server->requestCount("/c/a"), 1);
    QVERIFY(!QFileInfo::exists(locked + QStringLiteral("/a.bin")));
    QCOMPARE(contents(box.installDir() + QStringLiteral("/b.bin")), bodyB);
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
// emptied, and no removal is tried on it; the second component takes longer
// than the delay after which a failed one's file would go.
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
    serveTwo(box, box.installDir(), a, slowComponent(bodyB), name);
    QVERIFY(box.writeHandOff(manifestUrl()));

    QVERIFY(box.start());
    VERIFY_COMPLETES_AND_STARTS(box);
    QVERIFY(!box.output().contains("Removed"));
    QVERIFY(!box.output().contains("couldn't open file ReadWrite"));
    QCOMPARE(box.requestedTargets().first(),
             box.installDir() + QLatin1Char('/') + QString::fromUtf8(name));
    QVERIFY(QFileInfo(taken).isDir());
    QCOMPARE(contents(box.installDir() + QStringLiteral("/b.bin")), bodyB);
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
    QVERIFY(isPartialOf(full + QStringLiteral("/a.bin"), big));
    VERIFY_NOTHING_LOST(box);
}

void TestFaultsTransfer::oldTarget_data()
{
    // Native: the updater runs as "nobody" in a directory it may not change.
    // Wine: another program holds the old file open, with or without letting
    // others write (Wine ignores the read-only attribute for root, so holding
    // is how a file that cannot be written is made there).
    QTest::addColumn<QString>("held"); // "rw", "r", or empty: not held
    QTest::addColumn<bool>("writable");
    if (UpdaterSandbox::usesWine()) {
        QTest::newRow("held with write sharing") << QStringLiteral("rw") << true;
        QTest::newRow("held without write sharing") << QStringLiteral("r") << false;
    } else {
        QTest::newRow("writable, directory locked") << QString() << true;
        QTest::newRow("read-only, directory locked") << QString() << false;
    }
}

// An old file at the target that cannot be removed. One that can be written
// is replaced whole, not overwritten at its start; one that cannot is a failed
// component that stays as it was, also once it could be removed again: the
// second component takes longer than the delay of a failed one's removal.
void TestFaultsTransfer::oldTarget()
{
    QFETCH(QString, held);
    QFETCH(bool, writable);
    const bool wine = UpdaterSandbox::usesWine();
    if (!wine && geteuid() == 0 && !UpdaterSandbox::canRunAsNobody())
        QSKIP("running as root without a user \"nobody\" to drop to: root writes anywhere");
    UpdaterSandbox box(QStringLiteral(KORVEL_UPDATER_BIN));
    QVERIFY2(box.isValid(), qPrintable(box.errorText()));
    const QString dirA = box.makeDir(QStringLiteral("old"));
    const QString fileA = dirA + QStringLiteral("/a.bin");
    const QByteArray old = UpdaterSandbox::pattern(writable ? 5000 : 100, 16);
    {
        QFile file(fileA);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(old) == old.size());
    }
    TestResponse a;
    a.body = UpdaterSandbox::pattern(300, 17);
    serveTwo(box, dirA, a, slowComponent(bodyB));
    QVERIFY(box.writeHandOff(manifestUrl()));

    QProcess holder;
    const QString mark = box.root() + QStringLiteral("/held.mark");
    if (wine) {
        WineSession *session = WineSession::instance();
        holder.setProcessEnvironment(session->environment());
        holder.start(session->wine(),
                     session->command(session->helper(),
                                      {QStringLiteral("hold"), box.updaterPath(fileA), held,
                                       box.updaterPath(mark)}));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(mark), testTime(30000));
    } else {
        if (geteuid() == 0)
            QVERIFY(box.runAsNobody());
        const auto everyone = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
        const auto write = QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther;
        QVERIFY(QFile::setPermissions(fileA, writable ? everyone | write : everyone));
        QVERIFY(QFile::setPermissions(dirA, everyone | QFile::ExeOwner | QFile::ExeGroup
                                                    | QFile::ExeOther));
    }

    QVERIFY(box.start());
    QTRY_COMPARE_WITH_TIMEOUT(server->requestCount("/c/b"), 1, ExitMs);
    QFile::remove(mark); // the holder lets go while the update goes on
    VERIFY_COMPLETES_AND_STARTS(box);
    QCOMPARE(contents(fileA), writable ? a.body : old);
    QCOMPARE(contents(box.installDir() + QStringLiteral("/b.bin")), bodyB);
    QVERIFY(!box.output().contains("Removed"));
    VERIFY_NOTHING_LOST(box);
    if (wine) {
        QVERIFY(holder.state() == QProcess::NotRunning || holder.waitForFinished(testTime(30000)));
        QCOMPARE(holder.exitCode(), 0);
    }
}

QTEST_GUILESS_MAIN(TestFaultsTransfer)

#include "tst_faults_transfer.moc"
