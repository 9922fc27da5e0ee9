// The real updater binary, installed in a temporary directory beside a fake
// Korvel application, fed by a hand-off file in a temporary home and a real
// nginx serving the manifest and the components.

#include "nginxserver.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <csignal>
#include <sys/types.h>

namespace {

struct Component
{
    QString name;
    QString path;     // on the server
    QString location; // the manifest's installlocation text
    QByteArray data;
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

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// True while the process exists and has not ended; the fake application is
// not our child, so it may linger as a zombie until init reaps it.
bool processAlive(qint64 pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int close = stat.lastIndexOf(')');
    return close > 0 && close + 2 < stat.size() && stat.at(close + 2) != 'Z';
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

QByteArray manifestFor(const QList<Component> &items, const QUrl &base)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<model>\n";
    for (const Component &item : items) {
        QUrl url = base;
        url.setPath(item.path);
        xml += "  <item>\n    <name>" + item.name.toUtf8() + "</name>\n"
               "    <version>1.0.0</version>\n"
               "    <url>" + url.toEncoded() + "</url>\n"
               "    <installlocation>" + item.location.toUtf8() + "</installlocation>\n"
               "    <filesize>" + QByteArray::number(item.data.size()) + "</filesize>\n"
               "    <requireuac>false</requireuac>\n  </item>\n";
    }
    return xml + "</model>\n";
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void fullUpdate();
    void failedLastItemStillFinishes_data();
    void failedLastItemStillFinishes();
    void stallsAtFailedTransfer();
    void nothingToDo_data();
    void nothingToDo();

private:
    QString path(const QString &name) const { return root->filePath(name); }
    QString installDir() const { return path(QStringLiteral("install")); }
    QString elsewhere() const { return path(QStringLiteral("elsewhere")); }
    QString handOffPath() const { return path(QStringLiteral("home/KorvelWindowsUpdaterTemp.txt")); }
    QString appRecord() const { return path(QStringLiteral("record/app-started")); }
    QString targetOf(const Component &item) const;

    bool startServer(const QByteArray &directives = QByteArray());
    bool publish(const QList<Component> &items);
    void startUpdater();
    QList<Request> requests() const { return parseLog(nginx->accessLog()); }
    qint64 appPid() const;
    void verifyAppStartedAlone();
    void verifyUntouched();

    std::unique_ptr<QTemporaryDir> root;
    std::unique_ptr<NginxServer> nginx;
    std::unique_ptr<QProcess> updater;
    QByteArray diagnostics;
    QByteArray fakeApp;
};

static const QByteArray sentinel = "left alone by the updater\n";

void TestEndToEnd::init()
{
    root.reset(new QTemporaryDir);
    QVERIFY(root->isValid());
    diagnostics.clear();
    for (const char *dir : {"install", "elsewhere", "home", "record", "www"})
        QVERIFY(QDir(root->path()).mkpath(QLatin1String(dir)));

    const QString binary = installDir() + QStringLiteral("/KorvelUpdater");
    QVERIFY(QFile::copy(QStringLiteral(KORVEL_UPDATER_BIN), binary));

    // Records its pid and arguments, then lives on so that the test can see
    // it outlive the updater. Its own output, so it holds none of ours.
    const QByteArray record = appRecord().toUtf8();
    fakeApp = "#!/bin/sh\n"
              "exec >'" + path(QStringLiteral("record/app-output.txt")).toUtf8() + "' 2>&1 </dev/null\n"
              "printf '%s\\n' \"$$\" \"$#\" \"$@\" > '" + record + ".part'\n"
              "mv '" + record + ".part' '" + record + "'\n"
              "exec sleep 30\n";
    const QString app = installDir() + QStringLiteral("/KorvelWindows.exe");
    QVERIFY(writeFile(app, fakeApp));
    QVERIFY(QFile::setPermissions(app, QFile::permissions(app) | QFile::ExeOwner));

    QVERIFY(writeFile(installDir() + QStringLiteral("/sentinel.txt"), sentinel));
    QVERIFY(writeFile(elsewhere() + QStringLiteral("/sentinel.txt"), sentinel));
}

void TestEndToEnd::cleanup()
{
    if (updater && updater->state() != QProcess::NotRunning) {
        ::kill(pid_t(updater->processId()), SIGTERM);
        if (!updater->waitForFinished(10000)) {
            ::kill(pid_t(updater->processId()), SIGKILL);
            updater->waitForFinished(5000);
        }
    }
    const qint64 app = appPid();
    if (app > 0 && processAlive(app))
        ::kill(pid_t(app), SIGTERM);
    if (QTest::currentTestFailed()) {
        if (updater)
            diagnostics += updater->readAll();
        qWarning().noquote() << "updater output:\n" << QString::fromUtf8(diagnostics);
        if (nginx)
            qWarning().noquote() << "access log:\n" << nginx->accessLog().join(QLatin1Char('\n'));
    }
    updater.reset();
    nginx.reset();
    root.reset();
}

QString TestEndToEnd::targetOf(const Component &item) const
{
    const QString dir = item.location == QLatin1String("installdir") ? installDir() : item.location;
    return dir + QLatin1Char('/') + item.name;
}

bool TestEndToEnd::startServer(const QByteArray &directives)
{
    nginx.reset(new NginxServer(path(QStringLiteral("www"))));
    nginx->setServerConfig(directives);
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
    for (const Component &item : items) {
        if (!item.data.isNull() && !writeFile(path(QStringLiteral("www") + item.path), item.data))
            return false;
    }
    return writeFile(path(QStringLiteral("www/manifest.xml")), manifestFor(items, nginx->url(QString())))
            && writeFile(handOffPath(), nginx->url(QStringLiteral("/manifest.xml")).toEncoded() + '\n');
}

void TestEndToEnd::startUpdater()
{
    updater.reset(new QProcess);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), path(QStringLiteral("home")));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
    updater->setProcessEnvironment(env);
    updater->setWorkingDirectory(root->path());
    updater->setProcessChannelMode(QProcess::MergedChannels);
    connect(updater.get(), &QProcess::readyRead, this,
            [this] { diagnostics += updater->readAll(); });
    updater->start(installDir() + QStringLiteral("/KorvelUpdater"), QStringList());
    QVERIFY2(updater->waitForStarted(10000), qPrintable(updater->errorString()));
}

qint64 TestEndToEnd::appPid() const
{
    if (!root)
        return -1;
    const QList<QByteArray> lines = readFile(appRecord()).split('\n');
    return lines.isEmpty() ? -1 : lines.first().toLongLong();
}

void TestEndToEnd::verifyAppStartedAlone()
{
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(appRecord()), 10000);
    const QList<QByteArray> lines = readFile(appRecord()).split('\n');
    QVERIFY(lines.size() >= 2);
    QCOMPARE(lines.at(1), QByteArray("0")); // no arguments
    QVERIFY2(processAlive(appPid()), "the application ended with the updater");
}

void TestEndToEnd::verifyUntouched()
{
    QCOMPARE(readFile(installDir() + QStringLiteral("/sentinel.txt")), sentinel);
    QCOMPARE(readFile(elsewhere() + QStringLiteral("/sentinel.txt")), sentinel);
    QCOMPARE(readFile(installDir() + QStringLiteral("/KorvelWindows.exe")), fakeApp);
}

void TestEndToEnd::fullUpdate()
{
    // The big item is slow enough that the updater still runs well past the
    // removal of the failed 149-byte item, five seconds after its transfer.
    QVERIFY(startServer("location /slow/ { limit_rate 400k; }"));
    const QList<Component> items = {
        {QStringLiteral("app-data.bin"), QStringLiteral("/c/app-data.bin"),
         QStringLiteral("installdir"), randomBytes(20000, 1)},
        {QStringLiteral("tiny.bin"), QStringLiteral("/c/tiny.bin"),
         QStringLiteral("installdir"), randomBytes(149, 2)},
        // A trailing "/" gives "//" in the target, which is still the directory.
        {QStringLiteral("edge.bin"), QStringLiteral("/c/edge.bin"),
         elsewhere() + QLatin1Char('/'), randomBytes(150, 3)},
        {QStringLiteral("big.bin"), QStringLiteral("/slow/big.bin"),
         elsewhere(), randomBytes(4000 * 1024, 4)},
        {QStringLiteral("KorvelWindows.dll"), QStringLiteral("/c/KorvelWindows.dll"),
         QStringLiteral("installdir"), randomBytes(70000, 5)},
    };
    QVERIFY(publish(items));
    startUpdater();

    const QString tiny = targetOf(items.at(1));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(tiny).size() == 149, 30000);
    QCOMPARE(readFile(tiny), items.at(1).data);

    QDeadlineTimer deadline(30000);
    while (QFile::exists(tiny) && !deadline.hasExpired())
        QTest::qWait(10);
    const double goneAt = QDateTime::currentMSecsSinceEpoch() / 1000.0;
    QVERIFY2(!QFile::exists(tiny), "the failed 149-byte file was never removed");
    QCOMPARE(updater->state(), QProcess::Running);

    QVERIFY(updater->waitForFinished(120000));
    QCOMPARE(updater->exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater->exitCode(), 12);

    for (const Component &item : items) {
        if (item.data.size() > 149)
            QVERIFY2(readFile(targetOf(item)) == item.data, qPrintable(targetOf(item)));
    }
    QVERIFY(!QFile::exists(handOffPath()));
    verifyAppStartedAlone();
    verifyUntouched();

    // Once each, in manifest order, each one after the one before had ended.
    const QList<Request> log = requests();
    QStringList paths;
    for (const Request &request : log) {
        paths.append(request.path);
        QCOMPARE(request.status, 200);
    }
    QStringList expected = {QStringLiteral("/manifest.xml")};
    for (const Component &item : items)
        expected.append(item.path);
    QCOMPARE(paths, expected);
    // Both times have millisecond resolution.
    for (int i = 1; i < log.size(); ++i)
        QVERIFY2(log.at(i).start >= log.at(i - 1).end - 0.003, qPrintable(log.at(i).path));

    // The failed file went about five seconds after its transfer (a coarse
    // timer may fire 5% early), before the updater ended.
    const double tinyDone = log.at(2).end;
    QVERIFY2(goneAt - tinyDone > 4.5, qPrintable(QString::number(goneAt - tinyDone)));
    QVERIFY2(goneAt - tinyDone < 8.0, qPrintable(QString::number(goneAt - tinyDone)));
    QVERIFY(goneAt < log.last().end);
}

void TestEndToEnd::failedLastItemStillFinishes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("missingDirectory");

    QTest::newRow("1 byte") << 1 << false;
    QTest::newRow("149 bytes") << 149 << false;
    // Nothing can be written, so the size check fails it.
    QTest::newRow("directory missing") << 5000 << true;
}

void TestEndToEnd::failedLastItemStillFinishes()
{
    QFETCH(int, size);
    QFETCH(bool, missingDirectory);

    QVERIFY(startServer());
    const QString missing = path(QStringLiteral("no/such/dir"));
    const QList<Component> items = {
        {QStringLiteral("first.bin"), QStringLiteral("/first.bin"),
         QStringLiteral("installdir"), randomBytes(5000, 6)},
        {QStringLiteral("last.bin"), QStringLiteral("/last.bin"),
         missingDirectory ? missing : elsewhere(), randomBytes(size, 7)},
    };
    QVERIFY(publish(items));
    startUpdater();

    QVERIFY(updater->waitForFinished(60000));
    QCOMPARE(updater->exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater->exitCode(), 12);
    QVERIFY(!QFile::exists(handOffPath()));
    verifyAppStartedAlone();
    verifyUntouched();
    QCOMPARE(readFile(targetOf(items.at(0))), items.at(0).data);
    if (missingDirectory) {
        QVERIFY(!QFileInfo::exists(missing));
    } else {
        // The updater ended before the delayed removal was due.
        QCOMPARE(readFile(targetOf(items.at(1))), items.at(1).data);
    }
    QCOMPARE(nginx->requestedPaths(),
             QStringList({QStringLiteral("/manifest.xml"), items.at(0).path, items.at(1).path}));
}

void TestEndToEnd::stallsAtFailedTransfer()
{
    QVERIFY(startServer());
    const QList<Component> items = {
        {QStringLiteral("one.bin"), QStringLiteral("/one.bin"),
         QStringLiteral("installdir"), randomBytes(4000, 8)},
        {QStringLiteral("two.bin"), QStringLiteral("/missing/two.bin"),
         elsewhere(), QByteArray()}, // not published: 404
        {QStringLiteral("three.bin"), QStringLiteral("/three.bin"),
         QStringLiteral("installdir"), randomBytes(4000, 9)},
    };
    QVERIFY(publish(items));
    startUpdater();

    QTRY_VERIFY_WITH_TIMEOUT(diagnostics.contains("Error: ContentNotFoundError"), 30000);
    // Nothing marks "will never end by itself"; give it a few seconds.
    QVERIFY(!updater->waitForFinished(3000));
    QCOMPARE(updater->state(), QProcess::Running);

    QCOMPARE(nginx->requestedPaths(),
             QStringList({QStringLiteral("/manifest.xml"), items.at(0).path, items.at(1).path}));
    QCOMPARE(parseLog(nginx->accessLog()).last().status, 404);
    QVERIFY(QFile::exists(handOffPath()));
    QVERIFY(!QFile::exists(appRecord()));
    QCOMPARE(readFile(targetOf(items.at(0))), items.at(0).data);
    QCOMPARE(QFileInfo(targetOf(items.at(1))).size(), 0); // none of the 404 page
    QVERIFY(!QFile::exists(targetOf(items.at(2))));
    verifyUntouched();

    // Offscreen has no window to close: end it by its pid.
    ::kill(pid_t(updater->processId()), SIGTERM);
    QVERIFY(updater->waitForFinished(10000));
    QVERIFY(!QFile::exists(appRecord()));
}

void TestEndToEnd::nothingToDo_data()
{
    QTest::addColumn<QByteArray>("manifest"); // null: no manifest published
    QTest::addColumn<QByteArray>("handOff");  // null: no hand-off file
    QTest::addColumn<QString>("requests"); // "none", "manifest" or "at most the manifest"

    const QByteArray address = "@MANIFEST@";
    QTest::newRow("no hand-off file") << QByteArray("<model/>") << QByteArray() << QStringLiteral("none");
    QTest::newRow("manifest without items")
            << QByteArray("<?xml version=\"1.0\"?>\n<model>\n</model>\n") << address + '\n' << QStringLiteral("manifest");
    // Only items directly under model are components.
    QTest::newRow("items elsewhere")
            << QByteArray("<model><group><item><name>stray.bin</name><url>@STRAY@</url>"
                          "<installlocation>installdir</installlocation></item></group>"
                          "<stray><name>x</name></stray></model>")
            << address << QStringLiteral("manifest");
    QTest::newRow("manifest missing") << QByteArray() << address << QStringLiteral("manifest");
    QTest::newRow("manifest not XML") << QByteArray("this is no manifest\n") << address << QStringLiteral("manifest");
    // The last line wins, and an empty one leaves the model without a source.
    QTest::newRow("empty last line")
            << QByteArray("<model><item><name>stray.bin</name><url>@STRAY@</url>"
                          "<installlocation>installdir</installlocation></item></model>")
            << address + "\n\n" << QStringLiteral("at most the manifest");
}

void TestEndToEnd::nothingToDo()
{
    QFETCH(QByteArray, manifest);
    QFETCH(QByteArray, handOff);
    QFETCH(QString, requests);

    QVERIFY(startServer());
    const QByteArray manifestUrl = nginx->url(QStringLiteral("/manifest.xml")).toEncoded();
    const QByteArray strayUrl = nginx->url(QStringLiteral("/stray.bin")).toEncoded();
    QVERIFY(writeFile(path(QStringLiteral("www/stray.bin")), randomBytes(3000, 10)));
    if (!manifest.isNull())
        QVERIFY(writeFile(path(QStringLiteral("www/manifest.xml")),
                          manifest.replace("@STRAY@", strayUrl)));
    if (!handOff.isNull())
        QVERIFY(writeFile(handOffPath(), handOff.replace("@MANIFEST@", manifestUrl)));
    startUpdater();

    if (requests == QLatin1String("manifest"))
        QTRY_VERIFY_WITH_TIMEOUT(!nginx->accessLog().isEmpty(), 30000);
    // Nothing marks "nothing will happen"; give it a few seconds.
    QVERIFY(!updater->waitForFinished(3000));
    QCOMPARE(updater->state(), QProcess::Running);

    const QStringList paths = nginx->requestedPaths();
    if (requests == QLatin1String("none"))
        QVERIFY2(paths.isEmpty(), qPrintable(paths.join(QLatin1Char(' '))));
    else if (requests == QLatin1String("manifest"))
        QCOMPARE(paths, QStringList(QStringLiteral("/manifest.xml")));
    else
        QVERIFY2(paths.isEmpty() || paths == QStringList(QStringLiteral("/manifest.xml")),
                 qPrintable(paths.join(QLatin1Char(' '))));
    QVERIFY2(!diagnostics.contains("download: URL="), "a download started");
    QCOMPARE(QFile::exists(handOffPath()), !handOff.isNull());
    QVERIFY(!QFile::exists(installDir() + QStringLiteral("/stray.bin")));
    QVERIFY(!QFile::exists(appRecord()));
    verifyUntouched();

    ::kill(pid_t(updater->processId()), SIGTERM);
    QVERIFY(updater->waitForFinished(10000));
    QVERIFY(!QFile::exists(appRecord()));
}

QTEST_GUILESS_MAIN(TestEndToEnd)

#include "tst_endtoend.moc"
