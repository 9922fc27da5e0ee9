#include "downloadmanager.h"
#include "retrypolicy.h"
#include "stagedfile.h"
#include "testhttpserver.h"
#include "testtime.h"
#include "utils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QRandomGenerator>
#include <QSignalBlocker>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>

namespace {

QStringList *capturedLines = nullptr;
QtMessageHandler previousHandler = nullptr;

// The manager's own diagnostics are kept for comparison; Qt's go on as usual.
void captureDebug(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (capturedLines && type == QtDebugMsg && qstrcmp(context.category, "default") == 0) {
        // The stall's plain words follow its line of detail; the window test reads them.
        if (!message.startsWith(QLatin1String("Stalled:")))
            capturedLines->append(message);
        return;
    }
    previousHandler(type, context, message);
}

QByteArray randomBytes(int size, quint32 seed = 7)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    const int words = size / 4;
    generator.fillRange(reinterpret_cast<quint32 *>(data.data()), words);
    for (int i = words * 4; i < size; ++i)
        data[i] = char(generator.generate());
    return data;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qint64 sizeOf(const QString &path)
{
    return QFileInfo(path).size();
}

// How many descriptors of this process refer to the file: tells whether the
// manager still holds it open.
int openDescriptors(const QString &path)
{
    const QString target = QFileInfo(path).absoluteFilePath();
    const QDir fds(QStringLiteral("/proc/self/fd"));
    int count = 0;
    for (const QString &entry : fds.entryList(QDir::Files | QDir::System))
        count += QFileInfo(fds.filePath(entry)).symLinkTarget() == target;
    return count;
}

QStringList report(int percentage, const QString &status, qint64 bytes)
{
    return {QStringLiteral("progressPercentage %1").arg(percentage),
            QStringLiteral("downloadStatus ") + status,
            QStringLiteral("downloadedBytes %1").arg(bytes)};
}

// One downloadStarted for each try.
QStringList started(int tries)
{
    QStringList events;
    for (int i = 0; i < tries; ++i)
        events << QStringLiteral("downloadStarted");
    return events;
}

QString errorEvent(QNetworkReply::NetworkError code)
{
    return QStringLiteral("downloadError %1").arg(int(code));
}

QString errorName(QNetworkReply::NetworkError code)
{
    return QString::fromLatin1(QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(code));
}

bool isProgress(const QString &event)
{
    return event.startsWith(QLatin1String("progressPercentage"))
            || event.startsWith(QLatin1String("downloadStatus"))
            || event.startsWith(QLatin1String("downloadedBytes"));
}

// Every signal of a manager, in emission order, with its values.
class SignalLog
{
public:
    explicit SignalLog(DownloadManager *manager)
    {
        auto add = [this](const QString &event) { events.append(event); };
        QObject::connect(manager, &DownloadManager::downloadStatus, manager,
                         [=](float status) { add(QStringLiteral("downloadStatus %1").arg(double(status))); });
        QObject::connect(manager, &DownloadManager::downloadPaused, manager,
                         [=] { add(QStringLiteral("downloadPaused")); });
        QObject::connect(manager, &DownloadManager::downloadResumed, manager,
                         [=] { add(QStringLiteral("downloadResumed")); });
        QObject::connect(manager, &DownloadManager::internalDownloadError, manager,
                         [=] { add(QStringLiteral("internalDownloadError")); });
        QObject::connect(manager, &DownloadManager::downloadComplete, manager,
                         [=] { add(QStringLiteral("downloadComplete")); });
        QObject::connect(manager, &DownloadManager::recordFailed, manager,
                         [=] { add(QStringLiteral("recordFailed")); });
        QObject::connect(manager, &DownloadManager::downloadStarted, manager,
                         [=] { add(QStringLiteral("downloadStarted")); });
        QObject::connect(manager, &DownloadManager::downloadCancelled, manager,
                         [=] { add(QStringLiteral("downloadCancelled")); });
        QObject::connect(manager, &DownloadManager::progressPercentage, manager,
                         [=](int percentage) { add(QStringLiteral("progressPercentage %1").arg(percentage)); });
        QObject::connect(manager, &DownloadManager::downloadError, manager,
                         [=](QNetworkReply::NetworkError code) { add(errorEvent(code)); });
        QObject::connect(manager, &DownloadManager::downloadedBytes, manager,
                         [=](qint64 bytes) { add(QStringLiteral("downloadedBytes %1").arg(bytes)); });
    }

    QStringList withoutProgress() const
    {
        QStringList result;
        for (const QString &event : events) {
            if (!isProgress(event))
                result.append(event);
        }
        return result;
    }

    // The numbers of one progress signal, in order.
    QList<qint64> values(const QString &signal) const
    {
        QList<qint64> result;
        for (const QString &event : events) {
            if (event.startsWith(signal + QLatin1Char(' ')))
                result.append(event.section(QLatin1Char(' '), 1).toLongLong());
        }
        return result;
    }

    QStringList statuses() const
    {
        QStringList result;
        for (const QString &event : events) {
            if (event.startsWith(QLatin1String("downloadStatus ")))
                result.append(event.section(QLatin1Char(' '), 1));
        }
        return result;
    }

    QStringList events;
};

// Lowers the process's file size limit, so that writes past it fail as on a
// full disk instead of killing the process.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        savedHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved;
        lowered.rlim_cur = bytes;
        active = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, savedHandler);
    }
    bool active = false;

private:
    rlimit saved {};
    void (*savedHandler)(int) = nullptr;
};

} // namespace

class TestDownloadManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void completeDownload();
    void progressReport_data();
    void progressReport();
    void failedSizeRemovedAtOnce();
    void pauseAndResume();
    void pauseWithoutTransfer_data();
    void pauseWithoutTransfer();
    void cancel_data();
    void cancel();
    void cancelBeforeAnyDownload();
    void networkErrorLeavesOldFile();
    void zeroByteReport_data();
    void zeroByteReport();
    void emptyFileName();
    void existingTargetReplaced_data();
    void existingTargetReplaced();
    void redirects_data();
    void redirects();
    void requestSettings();
    void resumedRange_data();
    void resumedRange();
    void unknownTotal_data();
    void unknownTotal();
    void fileSizeHeldAtIntMaximum_data();
    void fileSizeHeldAtIntMaximum();
    void largeFinishedFileNotFailed_data();
    void largeFinishedFileNotFailed();
    void errorPageNotWritten_data();
    void errorPageNotWritten();
    void retryPolicy_data();
    void retryPolicy();
    void largeBody_data();
    void largeBody();
    void writeFailure_data();
    void writeFailure();
    void dataHeldAtFinished();
    void abandonedConnectionsReleased_data();
    void abandonedConnectionsReleased();

private:
    QString path(const QString &name) const { return dir->filePath(name); }
    // Where a transfer into path(name) writes until it is put in place.
    QString staging(const QString &name) const { return StagedFile::stagingPath(path(name)); }
    // Only what the test wrote, and what was put in place: no staging or
    // set-aside file left.
    QStringList files() const { return QDir(dir->path()).entryList(QDir::Files, QDir::Name); }
    QString urlLine(const QString &urlPath) const
    {
        return QStringLiteral("download: URL= \"%1\"").arg(server->url(urlPath).toString());
    }
    QString pathLine(const QString &name) const
    {
        return QLatin1Char('"') + path(name) + QLatin1Char('"');
    }
    void serve(const QByteArray &urlPath, const QByteArray &body, int status = 200);
    bool waitForRequests(int count);
    void startHeld(DownloadManager &manager, SignalLog &log, const QString &name, qint64 partial);

    QTemporaryDir *dir = nullptr;
    TestHttpServer *server = nullptr;
    QStringList lines;
};

void TestDownloadManager::initTestCase()
{
    previousHandler = qInstallMessageHandler(captureDebug);
    capturedLines = &lines;
}

void TestDownloadManager::cleanupTestCase()
{
    capturedLines = nullptr;
    qInstallMessageHandler(previousHandler);
}

void TestDownloadManager::init()
{
    dir = new QTemporaryDir;
    QVERIFY(dir->isValid());
    server = new TestHttpServer;
    QVERIFY(server->start());
    lines.clear();
}

void TestDownloadManager::cleanup()
{
    delete server;
    server = nullptr;
    delete dir;
    dir = nullptr;
}

void TestDownloadManager::serve(const QByteArray &urlPath, const QByteArray &body, int status)
{
    TestResponse response;
    response.status = status;
    response.body = body;
    server->setResponse(urlPath, response);
}

bool TestDownloadManager::waitForRequests(int count)
{
    QElapsedTimer clock;
    clock.start();
    while (server->requests().size() < count && clock.elapsed() < testTime(10000))
        QTest::qWait(10);
    return server->requests().size() >= count;
}

// A transfer whose headers have arrived and whose body never comes, so that
// reports can be driven by hand. With a partial size: paused at a file of that
// size and resumed, the resumed request held the same way.
void TestDownloadManager::startHeld(DownloadManager &manager, SignalLog &log, const QString &name,
                                    qint64 partial)
{
    TestResponse held;
    held.body = QByteArray(4096, 'h');
    held.holdAfter = 0;
    // Announces no length, so that a file grown by hand still counts as whole.
    held.sendContentLength = false;
    server->setResponse("/held", held);
    const int before = server->requests().size();
    manager.download(server->url(QStringLiteral("/held")), path(name));
    QVERIFY(waitForRequests(before + 1));
    if (partial == 0)
        return;

    {
        QFile grow(staging(name));
        QVERIFY(grow.open(QIODevice::ReadWrite));
        QVERIFY(grow.resize(partial));
    }
    manager.pause();
    held.status = 206;
    held.headers = {{"Content-Range", "bytes " + QByteArray::number(partial) + '-'
                                              + QByteArray::number(partial + held.body.size() - 1) + "/*"}};
    server->setResponse("/held", held);
    log.events.clear();
    lines.clear();
    manager.resume();
    QCOMPARE(log.events, QStringList({QStringLiteral("downloadStarted"),
                                      QStringLiteral("downloadResumed")}));
    QCOMPARE(lines, QStringList{QStringLiteral("resume()")});
    QVERIFY(waitForRequests(before + 2));
    QCOMPARE(server->requests().last().range, "bytes=" + QByteArray::number(partial) + '-');
}

void TestDownloadManager::completeDownload()
{
    const QByteArray body = randomBytes(300000);
    TestResponse response;
    response.body = body;
    response.sliceSize = 50000;
    response.sliceDelayMs = 30;
    server->setResponse("/component.bin", response);

    DownloadManager manager;
    SignalLog log(&manager);
    QSignalSpy complete(&manager, &DownloadManager::downloadComplete);
    manager.download(server->url(QStringLiteral("/component.bin")), path(QStringLiteral("component.bin")));
    QVERIFY(complete.wait(testTime(10000)));

    QCOMPARE(contents(path(QStringLiteral("component.bin"))), body);
    QCOMPARE(openDescriptors(path(QStringLiteral("component.bin"))), 0);
    QCOMPARE(files(), QStringList{QStringLiteral("component.bin")});
    QCOMPARE(log.withoutProgress(), QStringList({QStringLiteral("downloadStarted"),
                                                 QStringLiteral("downloadComplete")}));
    QCOMPARE(log.events.mid(log.events.size() - 4),
             report(100, QStringLiteral("1"), body.size()) << QStringLiteral("downloadComplete"));
    // Reports come in triples, in this order.
    const QStringList progress = log.events.mid(1, log.events.size() - 2);
    QCOMPARE(progress.size() % 3, 0);
    for (int i = 0; i < progress.size(); i += 3) {
        QVERIFY(progress[i].startsWith(QLatin1String("progressPercentage ")));
        QVERIFY(progress[i + 1].startsWith(QLatin1String("downloadStatus ")));
        QVERIFY(progress[i + 2].startsWith(QLatin1String("downloadedBytes ")));
    }
    QCOMPARE(lines, QStringList({urlLine(QStringLiteral("/component.bin")),
                                 pathLine(QStringLiteral("component.bin")),
                                 QStringLiteral("finished")}));
    QCOMPARE(server->requests().size(), 1);
    QCOMPARE(server->requests().first().method, QByteArray("GET"));
    QVERIFY(server->requests().first().range.isEmpty());
}

void TestDownloadManager::progressReport_data()
{
    QTest::addColumn<qint64>("partial");
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("512 of 2048") << qint64(0) << qint64(512) << qint64(2048)
                                 << report(25, QStringLiteral("0.25"), 512);
    QTest::newRow("2 of 3 truncated") << qint64(0) << qint64(2) << qint64(3)
                                      << report(66, QStringLiteral("0.666667"), 2);
    QTest::newRow("all of it") << qint64(0) << qint64(2048) << qint64(2048)
                               << report(100, QStringLiteral("1"), 2048);
    QTest::newRow("unknown total") << qint64(0) << qint64(512) << qint64(-1)
                                   << report(0, QStringLiteral("0"), 512);
    QTest::newRow("zero total") << qint64(0) << qint64(512) << qint64(0)
                                << report(0, QStringLiteral("0"), 512);
    QTest::newRow("resumed at 1000") << qint64(1000) << qint64(500) << qint64(1000)
                                     << report(75, QStringLiteral("0.5"), 500);
    QTest::newRow("resumed, unknown total") << qint64(1000) << qint64(500) << qint64(-1)
                                            << report(0, QStringLiteral("0"), 500);
    QTest::newRow("resumed, zero total") << qint64(1000) << qint64(500) << qint64(0)
                                         << report(0, QStringLiteral("0"), 500);
    QTest::newRow("resumed at 1, whole is zero") << qint64(1) << qint64(5) << qint64(-1)
                                                 << report(0, QStringLiteral("0"), 5);
    // Past the 32-bit range: the offset must not wrap.
    QTest::newRow("resumed past 2 GiB") << qint64(2147483748) << qint64(100) << qint64(1000)
                                        << report(99, QStringLiteral("0.1"), 100);
}

void TestDownloadManager::progressReport()
{
    QFETCH(qint64, partial);
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(QStringList, expected);

    DownloadManager manager;
    SignalLog log(&manager);
    startHeld(manager, log, QStringLiteral("driven.bin"), partial);
    if (QTest::currentTestFailed())
        return;

    log.events.clear();
    QVERIFY(QMetaObject::invokeMethod(&manager, "downloadProgress", Qt::DirectConnection,
                                      Q_ARG(qint64, received), Q_ARG(qint64, total)));
    QCOMPARE(log.events, expected);

    // A later component starts from scratch: no Range, percentage from 0.
    const int before = server->requests().size();
    manager.download(server->url(QStringLiteral("/held")), path(QStringLiteral("next.bin")));
    QVERIFY(waitForRequests(before + 1));
    QVERIFY(server->requests().last().range.isEmpty());
    log.events.clear();
    QVERIFY(QMetaObject::invokeMethod(&manager, "downloadProgress", Qt::DirectConnection,
                                      Q_ARG(qint64, 512), Q_ARG(qint64, 2048)));
    QCOMPARE(log.events, report(25, QStringLiteral("0.25"), 512));
}

// 149 bytes is a failed download, 150 a good one. A failed result is removed
// at once and never reaches its target: an old file there stays as it was.
void TestDownloadManager::failedSizeRemovedAtOnce()
{
    serve("/149", randomBytes(149, 1));
    serve("/10", randomBytes(10, 2));
    serve("/150", randomBytes(150, 3));
    const QByteArray old = randomBytes(5000, 4);
    {
        QFile file(path(QStringLiteral("149")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(old) == old.size());
    }

    DownloadManager manager;
    SignalLog log(&manager);
    const QStringList sequence = {QStringLiteral("149"), QStringLiteral("10"), QStringLiteral("150")};
    int next = 0;
    // As the update sequence does: the next component from inside the handler.
    connect(&manager, &DownloadManager::downloadComplete, this, [&] {
        if (next < sequence.size()) {
            const QString name = sequence.at(next++);
            manager.download(server->url(QLatin1Char('/') + name), path(name));
        }
    });
    manager.download(server->url(QStringLiteral("/149")), path(sequence.at(next++)));
    QTRY_COMPARE_WITH_TIMEOUT(log.withoutProgress().count(QStringLiteral("downloadComplete")), 3, testTime(10000));

    QCOMPARE(log.withoutProgress(), QStringList({
        QStringLiteral("downloadStarted"), QStringLiteral("recordFailed"), QStringLiteral("downloadComplete"),
        QStringLiteral("downloadStarted"), QStringLiteral("recordFailed"), QStringLiteral("downloadComplete"),
        QStringLiteral("downloadStarted"), QStringLiteral("downloadComplete")}));
    QCOMPARE(contents(path(QStringLiteral("149"))), old);
    QCOMPARE(contents(path(QStringLiteral("150"))), randomBytes(150, 3));
    QCOMPARE(files(), QStringList({QStringLiteral("149"), QStringLiteral("150")}));

    // Called directly, the clean-up takes a staging file, never a component.
    {
        QFile stale(staging(QStringLiteral("150")));
        QVERIFY(stale.open(QIODevice::WriteOnly));
    }
    lines.clear();
    manager.failedCleanup();
    QCOMPARE(lines, QStringList{QStringLiteral("Removed")});
    QCOMPARE(files(), QStringList({QStringLiteral("149"), QStringLiteral("150")}));
}

void TestDownloadManager::pauseAndResume()
{
    const QByteArray body = randomBytes(512 * 1024);
    TestResponse response;
    response.body = body;
    response.honourRange = true;
    response.sliceSize = 16 * 1024;
    response.sliceDelayMs = 10;
    server->setResponse("/big", response);

    DownloadManager manager;
    SignalLog log(&manager);
    QSignalSpy complete(&manager, &DownloadManager::downloadComplete);
    const QString target = path(QStringLiteral("big"));
    const QString partFile = staging(QStringLiteral("big"));
    manager.download(server->url(QStringLiteral("/big")), target);
    QTRY_VERIFY_WITH_TIMEOUT(log.values(QStringLiteral("downloadedBytes")).size() >= 1
                             && sizeOf(partFile) >= 64 * 1024, testTime(10000));

    manager.pause();
    QVERIFY(log.events.endsWith(QStringLiteral("downloadPaused")));
    QCOMPARE(lines.last(), QStringLiteral("pause()"));
    QCOMPARE(openDescriptors(partFile), 1);
    QTRY_COMPARE_WITH_TIMEOUT(server->openConnections(), 0, testTime(10000));
    const qint64 partial = sizeOf(partFile);
    QVERIFY(partial < body.size());
    QCOMPARE(contents(partFile), body.left(int(partial)));
    QVERIFY(!QFile::exists(target));

    log.events.clear();
    manager.resume();
    QVERIFY(complete.wait(testTime(10000)));
    QCOMPARE(server->requests().size(), 2);
    QCOMPARE(server->requests().last().range, "bytes=" + QByteArray::number(partial) + '-');
    QCOMPARE(log.withoutProgress(), QStringList({QStringLiteral("downloadStarted"),
                                                 QStringLiteral("downloadResumed"),
                                                 QStringLiteral("downloadComplete")}));
    QCOMPARE(log.values(QStringLiteral("progressPercentage")).last(), qint64(100));
    QCOMPARE(log.values(QStringLiteral("downloadedBytes")).last(), body.size() - partial);
    QCOMPARE(log.statuses().last(), QStringLiteral("1"));
    QCOMPARE(contents(target), body);
    QCOMPARE(openDescriptors(target), 0);
    QCOMPARE(files(), QStringList{QStringLiteral("big")});
    QCOMPARE(lines.mid(lines.size() - 2), QStringList({QStringLiteral("resume()"),
                                                       QStringLiteral("finished")}));
}

void TestDownloadManager::pauseWithoutTransfer_data()
{
    QTest::addColumn<bool>("downloadFirst");
    QTest::newRow("before any download") << false;
    QTest::newRow("after a complete one") << true;
}

void TestDownloadManager::pauseWithoutTransfer()
{
    QFETCH(bool, downloadFirst);
    serve("/small", randomBytes(400));

    DownloadManager manager;
    SignalLog log(&manager);
    if (downloadFirst) {
        QSignalSpy complete(&manager, &DownloadManager::downloadComplete);
        manager.download(server->url(QStringLiteral("/small")), path(QStringLiteral("small")));
        QVERIFY(complete.wait(testTime(10000)));
    }
    log.events.clear();
    lines.clear();
    manager.pause();
    QCOMPARE(lines, QStringList{QStringLiteral("pause()")});
    QVERIFY(log.events.isEmpty());
    // Nothing to resume either: no request goes out.
    const int requests = server->requests().size();
    manager.resume();
    QVERIFY(log.events.isEmpty());
    QCOMPARE(server->requests().size(), requests);
}

void TestDownloadManager::cancel_data()
{
    QTest::addColumn<bool>("earlierComponent");
    QTest::addColumn<bool>("dataArrived");
    QTest::addColumn<QStringList>("expectedLines");

    const QString safe = QStringLiteral("Safe Cancelled");
    const QString cancelled = QStringLiteral("Download cancelled");
    QTest::newRow("nothing received") << false << false << QStringList({safe, cancelled});
    QTest::newRow("after data") << false << true << QStringList({cancelled});
    // The count of the earlier transfer is still held.
    QTest::newRow("later component before data") << true << false << QStringList({cancelled});
}

void TestDownloadManager::cancel()
{
    QFETCH(bool, earlierComponent);
    QFETCH(bool, dataArrived);
    QFETCH(QStringList, expectedLines);

    serve("/earlier", randomBytes(400));
    const QByteArray body = randomBytes(64 * 1024);
    TestResponse response;
    response.body = body;
    response.holdAfter = dataArrived ? 1000 : 0;
    // Two slices: Qt holds back a report that comes too soon after the headers.
    response.sliceSize = 500;
    response.sliceDelayMs = 150;
    server->setResponse("/current", response);

    DownloadManager manager;
    SignalLog log(&manager);
    if (earlierComponent) {
        QSignalSpy complete(&manager, &DownloadManager::downloadComplete);
        manager.download(server->url(QStringLiteral("/earlier")), path(QStringLiteral("earlier")));
        QVERIFY(complete.wait(testTime(10000)));
        // Let the finished request's connection go, so the count below is the new one's.
        QTRY_COMPARE_WITH_TIMEOUT(server->openConnections(), 1, testTime(10000));
    }
    log.events.clear();
    const QString target = path(QStringLiteral("current"));
    const int before = server->requests().size();
    manager.download(server->url(QStringLiteral("/current")), target);
    QVERIFY(waitForRequests(before + 1));
    if (dataArrived)
        QTRY_VERIFY_WITH_TIMEOUT(log.values(QStringLiteral("downloadedBytes")).contains(1000), testTime(10000));

    log.events.clear();
    lines.clear();
    manager.cancel();
    QCOMPARE(lines, expectedLines);
    QCOMPARE(log.events, QStringList{QStringLiteral("downloadCancelled")});
    // Neither the target nor a staging file: cancelled is as if never begun.
    QCOMPARE(openDescriptors(staging(QStringLiteral("current"))), 0);
    QVERIFY(!QFile::exists(target));
    QCOMPARE(files(), earlierComponent ? QStringList{QStringLiteral("earlier")} : QStringList());
    // The abort reaches the connection.
    QTRY_COMPARE_WITH_TIMEOUT(server->openConnections(), 0, testTime(10000));
    QCoreApplication::processEvents();
    QCOMPARE(log.events, QStringList{QStringLiteral("downloadCancelled")});
}

void TestDownloadManager::cancelBeforeAnyDownload()
{
    DownloadManager manager;
    SignalLog log(&manager);
    manager.cancel();
    QCOMPARE(lines, QStringList({QStringLiteral("Safe Cancelled"), QStringLiteral("Download cancelled")}));
    QCOMPARE(log.events, QStringList{QStringLiteral("downloadCancelled")});
}

void TestDownloadManager::networkErrorLeavesOldFile()
{
    const QByteArray body = randomBytes(100000);
    const QByteArray old = randomBytes(50000, 8);
    TestResponse response;
    response.body = body;
    response.dropAfter = 30000;
    server->setResponse("/dropped", response);

    DownloadManager manager;
    SignalLog log(&manager);
    QSignalSpy failed(&manager, &DownloadManager::downloadError);
    const QString target = path(QStringLiteral("dropped"));
    {
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(old) == old.size());
    }
    manager.download(server->url(QStringLiteral("/dropped")), target);
    QVERIFY(failed.wait(testTime(10000)));
    QTRY_COMPARE_WITH_TIMEOUT(server->openConnections(), 0, testTime(10000));
    QCoreApplication::processEvents();

    // The same first bytes each time, from a server that cannot resume: no progress.
    QCOMPARE(log.withoutProgress(), started(RetryPolicy::MaximumFailures)
                                            << errorEvent(QNetworkReply::RemoteHostClosedError));
    QCOMPARE(contents(target), old);
    QCOMPARE(files(), QStringList{QStringLiteral("dropped")});
    QCOMPARE(lines.last(), QStringLiteral("Error: RemoteHostClosedError \"%1\"")
                                   .arg(server->url(QStringLiteral("/dropped")).toString()));
    QVERIFY(!lines.contains(QStringLiteral("finished")));
}

void TestDownloadManager::zeroByteReport_data()
{
    QTest::addColumn<bool>("driven");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("empty body") << false
                                << (QStringList{QStringLiteral("internalDownloadError")}
                                    + report(0, QStringLiteral("0"), 0));
    QTest::newRow("0 of 2048") << true
                               << (QStringList{QStringLiteral("internalDownloadError")}
                                   + report(0, QStringLiteral("0"), 0));
}

void TestDownloadManager::zeroByteReport()
{
    QFETCH(bool, driven);
    QFETCH(QStringList, expected);
    serve("/empty", QByteArray());

    DownloadManager manager;
    SignalLog log(&manager);
    QSignalSpy gaveUp(&manager, &DownloadManager::internalDownloadError);
    const QString target = path(QStringLiteral("zero"));
    if (driven) {
        startHeld(manager, log, QStringLiteral("zero"), 0);
        log.events.clear();
        QVERIFY(QMetaObject::invokeMethod(&manager, "downloadProgress", Qt::DirectConnection,
                                          Q_ARG(qint64, 0), Q_ARG(qint64, 2048)));
        QTRY_COMPARE_WITH_TIMEOUT(server->openConnections(), 0, testTime(10000));
    } else {
        manager.download(server->url(QStringLiteral("/empty")), target);
        QVERIFY(gaveUp.wait(testTime(10000)));
        QCOMPARE(log.events.takeFirst(), QStringLiteral("downloadStarted"));
    }
    QCoreApplication::processEvents();

    QCOMPARE(log.events, expected);
    QVERIFY(files().isEmpty());
    QCOMPARE(openDescriptors(staging(QStringLiteral("zero"))), 0);
    QVERIFY(!lines.contains(QStringLiteral("finished")));
    QCOMPARE(lines.filter(QStringLiteral("Nothing received: \"http://")).size(), 1);
}

void TestDownloadManager::emptyFileName()
{
    serve("/ignored", randomBytes(400, 1));
    serve("/real", randomBytes(400, 2));

    DownloadManager manager;
    SignalLog log(&manager);
    manager.download(server->url(QStringLiteral("/ignored")), QString());
    QCOMPARE(lines, QStringList{urlLine(QStringLiteral("/ignored"))});
    QVERIFY(log.events.isEmpty());
    QVERIFY(QDir(dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());

    // A real download afterwards: the server sees only that one.
    QSignalSpy complete(&manager, &DownloadManager::downloadComplete);
    manager.download(server->url(QStringLiteral("/real")), path(QStringLiteral("real")));
    QVERIFY(complete.wait(testTime(10000)));
    QCOMPARE(server->requests().size(), 1);
    QCOMPARE(server->requests().first().path, QByteArray("/real"));
    QCOMPARE(QDir(dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList{QStringLiteral("real")});
}

void TestDownloadManager::existingTargetReplaced_data()
{
    // How long the old file is held (-1: throughout). A file bind-mounted onto
    // itself can be neither renamed nor removed, as on Windows one that
    // another program holds open.
    QTest::addColumn<int>("heldMs");
    QTest::newRow("not held") << 0;
    QTest::newRow("held, then let go") << 1500;
    QTest::newRow("held throughout") << -1;
}

// The old file is replaced only by renames, waited for while it is held, and
// left whole when it stays held; its permissions pass to the new file. The
// release comes from this thread's event loop, so a manager that blocked it
// while waiting would never see it.
void TestDownloadManager::existingTargetReplaced()
{
    QFETCH(int, heldMs);
    const QByteArray body = randomBytes(300);
    serve("/new", body);
    const QString target = path(QStringLiteral("component"));
    const QByteArray old(5000, 'x');
    {
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(old) == old.size());
    }
    QVERIFY(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                          | QFile::ReadGroup | QFile::ExeGroup));
    const QFile::Permissions permissions = QFile::permissions(target);
    struct Mount
    {
        QByteArray path;
        void release()
        {
            if (!path.isEmpty())
                ::umount2(path.constData(), MNT_DETACH);
            path.clear();
        }
        ~Mount() { release(); }
    } mount;
    if (heldMs != 0) {
        const QByteArray file = QFile::encodeName(target);
        if (::mount(file.constData(), file.constData(), nullptr, MS_BIND, nullptr) != 0)
            QSKIP("mounting is not allowed here");
        mount.path = file;
    }
    if (heldMs > 0)
        QTimer::singleShot(heldMs, this, [&mount] { mount.release(); });

    DownloadManager manager;
    SignalLog log(&manager);
    manager.download(server->url(QStringLiteral("/new")), target);
    const QStringList ends = {QStringLiteral("downloadComplete"), QStringLiteral("internalDownloadError")};
    QTRY_VERIFY_WITH_TIMEOUT(log.events.contains(ends.first()) || log.events.contains(ends.last()),
                             testTime(StagedFile::RetryLimit + 10000));
    QCOMPARE(log.withoutProgress(), QStringList({QStringLiteral("downloadStarted"),
                                                 heldMs < 0 ? ends.last() : ends.first()}));
    if (heldMs < 0) {
        QCOMPARE(contents(target), old);
        QVERIFY2(lines.last().startsWith(QStringLiteral("Cannot replace ") + pathLine(QStringLiteral("component"))),
                 qPrintable(lines.last()));
    } else {
        QCOMPARE(contents(target), body);
        QCOMPARE(QFile::permissions(target), permissions);
    }
    QCOMPARE(files(), QStringList{QStringLiteral("component")});
}

void TestDownloadManager::redirects_data()
{
    QTest::addColumn<int>("hops");
    QTest::addColumn<bool>("relative");
    QTest::addColumn<bool>("arrives");

    QTest::newRow("one 302") << 1 << false << true;
    QTest::newRow("relative location") << 1 << true << true;
    QTest::newRow("ten hops") << 10 << false << true;
    QTest::newRow("eleven hops") << 11 << false << false;
}

void TestDownloadManager::redirects()
{
    QFETCH(int, hops);
    QFETCH(bool, relative);
    QFETCH(bool, arrives);

    const QByteArray body = randomBytes(3000);
    serve("/target", body);
    // Large enough to pass the size check if it were taken for the component.
    const QByteArray page = "<html>moved</html>" + QByteArray(300, ' ');
    for (int i = 0; i < hops; ++i) {
        const QString next = i + 1 == hops ? QStringLiteral("/target") : QStringLiteral("/hop%1").arg(i + 1);
        TestResponse response;
        response.status = 302;
        response.body = page;
        response.headers.append({"Location", relative ? next.toUtf8() : server->url(next).toEncoded()});
        server->setResponse("/hop" + QByteArray::number(i), response);
    }

    DownloadManager manager;
    SignalLog log(&manager);
    QSignalSpy complete(&manager, &DownloadManager::downloadComplete);
    QSignalSpy failed(&manager, &DownloadManager::downloadError);
    const QString target = path(QStringLiteral("redirected"));
    manager.download(server->url(QStringLiteral("/hop0")), target);
    QTRY_VERIFY_WITH_TIMEOUT(complete.count() + failed.count() > 0, testTime(10000));

    if (arrives) {
        QCOMPARE(log.withoutProgress(), QStringList({QStringLiteral("downloadStarted"),
                                                     QStringLiteral("downloadComplete")}));
        QCOMPARE(contents(target), body);
        QCOMPARE(server->requestCount("/target"), 1);
    } else {
        QCOMPARE(log.withoutProgress(), QStringList({QStringLiteral("downloadStarted"),
                                                     errorEvent(QNetworkReply::TooManyRedirectsError)}));
        QVERIFY(!contents(target).contains("moved"));
        QCOMPARE(server->requestCount("/target"), 0);
    }
}

// What every request carries. The https-to-http refusal needs a TLS server;
// the policy that makes Qt refuse it is checked here instead.
void TestDownloadManager::requestSettings()
{
    DownloadManager manager;
    SignalLog log(&manager);
    startHeld(manager, log, QStringLiteral("settings"), 1000);
    const QList<QNetworkReply *> replies = manager.findChildren<QNetworkReply *>();
    QVERIFY(!replies.isEmpty());
    QNetworkReply *reply = nullptr;
    for (QNetworkReply *candidate : replies) {
        if (!candidate->isFinished())
            reply = candidate;
    }
    QVERIFY(reply);
    const QNetworkRequest request = reply->request();
    QCOMPARE(request.attribute(QNetworkRequest::RedirectPolicyAttribute).toInt(),
             int(QNetworkRequest::NoLessSafeRedirectPolicy));
    QCOMPARE(request.maximumRedirectsAllowed(), 10);
    QCOMPARE(request.priority(), QNetworkRequest::HighPriority);
    QCOMPARE(request.rawHeader("Range"), QByteArray("bytes=1000-"));
    QCOMPARE(reply->readBufferSize(), DownloadManager::ReadBufferSize);
    QVERIFY(reply->readBufferSize() > 0);
}

void TestDownloadManager::resumedRange_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<bool>("whole");
    // Sends the whole file again: written from the start.
    QTest::newRow("200, whole body") << 200 << QByteArray() << true;
    QTest::newRow("206 from the offset") << 206 << QByteArray("bytes 1000-2999/3000") << true;
    // Would put the wrong bytes after the partial file, or announce another file.
    QTest::newRow("206 from elsewhere") << 206 << QByteArray("bytes 0-1999/3000") << false;
    QTest::newRow("206, another total") << 206 << QByteArray("bytes 1000-2999/5000") << false;
}

// What a server answers to a resumed request decides whether the result is
// the component; one that is not never reaches the target.
void TestDownloadManager::resumedRange()
{
    QFETCH(int, status);
    QFETCH(QByteArray, contentRange);
    QFETCH(bool, whole);
    const QByteArray body = randomBytes(3000);
    TestResponse first;
    first.body = body;
    first.holdAfter = 1000;
    server->setResponse("/whole", first);

    DownloadManager manager;
    SignalLog log(&manager);
    const QString target = path(QStringLiteral("whole"));
    manager.download(server->url(QStringLiteral("/whole")), target);
    QTRY_COMPARE_WITH_TIMEOUT(sizeOf(staging(QStringLiteral("whole"))), qint64(1000), testTime(10000));
    manager.pause();

    TestResponse second;
    second.status = status;
    second.body = status == 200 ? body : body.mid(1000);
    if (!contentRange.isEmpty())
        second.headers = {{"Content-Range", contentRange}};
    second.sliceSize = 500;
    second.sliceDelayMs = 120;
    server->setResponse("/whole", second);
    log.events.clear();
    manager.resume();
    QTRY_VERIFY_WITH_TIMEOUT(log.events.contains(QStringLiteral("downloadComplete"))
                                     || log.events.contains(QStringLiteral("internalDownloadError")),
                             testTime(10000));
    // Not the rest of the file: every later try starts it over.
    const QList<RecordedRequest> requests = server->requests();
    QCOMPARE(requests.at(1).range, QByteArray("bytes=1000-"));
    QCOMPARE(requests.size(), whole ? 2 : 1 + RetryPolicy::MaximumFailures);
    QCOMPARE(requests.last().range, whole ? QByteArray("bytes=1000-") : QByteArray());
    QCOMPARE(log.withoutProgress().last(),
             whole ? QStringLiteral("downloadComplete") : QStringLiteral("internalDownloadError"));
    QCOMPARE(files(), whole ? QStringList{QStringLiteral("whole")} : QStringList());
    if (!whole) {
        QVERIFY2(lines.last().startsWith(QStringLiteral("Incomplete: ") + pathLine(QStringLiteral("whole"))),
                 qPrintable(lines.last()));
        return;
    }
    QCOMPARE(contents(target), body);
    if (status != 200)
        return;

    // Counted from the start of the file, not from the stale offset.
    const QList<qint64> percentages = log.values(QStringLiteral("progressPercentage"));
    const QList<qint64> bytes = log.values(QStringLiteral("downloadedBytes"));
    QCOMPARE(percentages.size(), bytes.size());
    QVERIFY(bytes.first() < body.size());
    for (int i = 0; i < bytes.size(); ++i)
        QCOMPARE(percentages[i], bytes[i] * 100 / body.size());
}

void TestDownloadManager::unknownTotal_data()
{
    QTest::addColumn<bool>("chunked");
    QTest::newRow("chunked") << true;
    QTest::newRow("no Content-Length") << false;
}

void TestDownloadManager::unknownTotal()
{
    QFETCH(bool, chunked);
    const QByteArray body = randomBytes(20000);
    TestResponse response;
    response.body = body;
    response.chunked = chunked;
    response.sendContentLength = false;
    response.sliceSize = 5000;
    response.sliceDelayMs = 120;
    server->setResponse("/unknown", response);

    DownloadManager manager;
    SignalLog log(&manager);
    QSignalSpy complete(&manager, &DownloadManager::downloadComplete);
    const QString target = path(QStringLiteral("unknown"));
    manager.download(server->url(QStringLiteral("/unknown")), target);
    QVERIFY(complete.wait(testTime(10000)));

    QCOMPARE(contents(target), body);
    // Qt's last report, at the end, gives the received count as the total.
    QList<qint64> percentages = log.values(QStringLiteral("progressPercentage"));
    QStringList statuses = log.statuses();
    QVERIFY2(percentages.size() >= 2, "no report before the end");
    QCOMPARE(percentages.takeLast(), qint64(100));
    QCOMPARE(statuses.takeLast(), QStringLiteral("1"));
    for (qint64 percentage : qAsConst(percentages))
        QCOMPARE(percentage, qint64(0));
    for (const QString &status : qAsConst(statuses))
        QCOMPARE(status, QStringLiteral("0"));
    QCOMPARE(log.values(QStringLiteral("downloadedBytes")).last(), qint64(body.size()));
}

void TestDownloadManager::fileSizeHeldAtIntMaximum_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("expected");
    QTest::newRow("150") << qint64(150) << 150;
    QTest::newRow("2 GiB - 1") << qint64(2147483647) << 2147483647;
    QTest::newRow("2 GiB") << qint64(2147483648) << 2147483647;
    QTest::newRow("4 GiB + 100") << qint64(4294967396) << 2147483647;
}

void TestDownloadManager::fileSizeHeldAtIntMaximum()
{
    QFETCH(qint64, size);
    QFETCH(int, expected);
    QFile file(path(QStringLiteral("sparse")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.resize(size));
    file.close();
    QCOMPARE(Utils::getFileSize(file.fileName()), expected);
}

void TestDownloadManager::largeFinishedFileNotFailed_data()
{
    QTest::addColumn<qint64>("size");
    QTest::newRow("2 GiB + 100") << qint64(2147483748);
    QTest::newRow("4 GiB + 100") << qint64(4294967396);
}

void TestDownloadManager::largeFinishedFileNotFailed()
{
    QFETCH(qint64, size);
    DownloadManager manager;
    SignalLog log(&manager);
    const QString target = path(QStringLiteral("large"));
    startHeld(manager, log, QStringLiteral("large"), 0);
    {
        QFile grow(staging(QStringLiteral("large")));
        QVERIFY(grow.open(QIODevice::ReadWrite));
        QVERIFY(grow.resize(size));
    }
    log.events.clear();
    QVERIFY(QMetaObject::invokeMethod(&manager, "finished", Qt::DirectConnection));
    QCOMPARE(log.events, QStringList{QStringLiteral("downloadComplete")});
    QCOMPARE(sizeOf(target), size);
}

void TestDownloadManager::errorPageNotWritten_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("tries");
    QTest::newRow("404") << 404 << int(QNetworkReply::ContentNotFoundError) << 1;
    QTest::newRow("403") << 403 << int(QNetworkReply::ContentAccessDenied) << 1;
    QTest::newRow("500") << 500 << int(QNetworkReply::InternalServerError)
                         << RetryPolicy::MaximumFailures;
}

void TestDownloadManager::errorPageNotWritten()
{
    QFETCH(int, status);
    QFETCH(int, code);
    QFETCH(int, tries);
    serve("/missing", "<html>error page</html>" + QByteArray(400, ' '), status);

    DownloadManager manager;
    SignalLog log(&manager);
    QSignalSpy failed(&manager, &DownloadManager::downloadError);
    const QString target = path(QStringLiteral("missing"));
    manager.download(server->url(QStringLiteral("/missing")), target);
    QVERIFY(failed.wait(testTime(10000)));
    QCoreApplication::processEvents();

    QCOMPARE(log.withoutProgress(), started(tries) << errorEvent(QNetworkReply::NetworkError(code)));
    QCOMPARE(server->requestCount("/missing"), tries);
    QVERIFY(files().isEmpty());
    QCOMPARE(lines.last(), QStringLiteral("Error: %1 \"%2\"")
                                   .arg(errorName(QNetworkReply::NetworkError(code)),
                                        server->url(QStringLiteral("/missing")).toString()));
}

Q_DECLARE_METATYPE(RetryPolicy::Cause)

void TestDownloadManager::retryPolicy_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("status");
    QTest::addColumn<RetryPolicy::Cause>("cause");
    using C = RetryPolicy::Cause;
    QTest::newRow("closed") << int(QNetworkReply::RemoteHostClosedError) << 0 << C::ConnectionLost;
    QTest::newRow("inactivity bound") << int(QNetworkReply::OperationCanceledError) << 0
                                      << C::ConnectionLost;
    QTest::newRow("refused") << int(QNetworkReply::ConnectionRefusedError) << 0 << C::Unreachable;
    QTest::newRow("host not found") << int(QNetworkReply::HostNotFoundError) << 0 << C::Unreachable;
    QTest::newRow("proxy") << int(QNetworkReply::ProxyConnectionRefusedError) << 0 << C::Unreachable;
    QTest::newRow("408") << int(QNetworkReply::UnknownContentError) << 408 << C::ConnectionLost;
    QTest::newRow("429") << int(QNetworkReply::UnknownContentError) << 429 << C::ServerBusy;
    QTest::newRow("503") << int(QNetworkReply::ServiceUnavailableError) << 503 << C::ServerBusy;
    QTest::newRow("502") << int(QNetworkReply::UnknownServerError) << 502 << C::ServerError;
    QTest::newRow("404") << int(QNetworkReply::ContentNotFoundError) << 404 << C::None;
    QTest::newRow("403") << int(QNetworkReply::ContentAccessDenied) << 403 << C::None;
    QTest::newRow("501") << int(QNetworkReply::OperationNotImplementedError) << 501 << C::None;
    QTest::newRow("TLS") << int(QNetworkReply::SslHandshakeFailedError) << 0 << C::None;
    QTest::newRow("redirect refused") << int(QNetworkReply::InsecureRedirectError) << 0 << C::None;
}

// Which failures are tried again, the waits between tries, and the budget.
void TestDownloadManager::retryPolicy()
{
    QFETCH(int, code);
    QFETCH(int, status);
    QFETCH(RetryPolicy::Cause, cause);
    QCOMPARE(RetryPolicy::transientCause(QNetworkReply::NetworkError(code), status), cause);
    if (QByteArray(QTest::currentDataTag()) != "closed")
        return;

    // In this test's seconds (KORVEL_RETRY_MS): half fixed, half jitter, doubling.
    const qint64 second = RetryPolicy::second();
    RetryPolicy policy;
    policy.start();
    for (int failure = 1; failure < RetryPolicy::MaximumFailures; ++failure) {
        const qint64 grown = qMin(qint64(RetryPolicy::LongestWait), qint64(1000) << (failure - 1));
        const int wait = policy.failed(-1);
        QVERIFY2(wait >= grown * second / 2000 && wait <= grown * second / 1000, qPrintable(QString::number(wait)));
    }
    QCOMPARE(policy.failed(-1), -1);
    // Real progress starts the count again; the same first bytes do not.
    policy.start();
    for (int failure = 1; failure < RetryPolicy::MaximumFailures; ++failure) {
        policy.progressed(RetryPolicy::ProgressStep * failure);
        QVERIFY(policy.failed(-1) >= 0);
    }
    for (int failure = 2; failure < RetryPolicy::MaximumFailures; ++failure) {
        policy.progressed(RetryPolicy::ProgressStep * (RetryPolicy::MaximumFailures - 1));
        QVERIFY(policy.failed(-1) >= 0);
    }
    QCOMPARE(policy.failed(-1), -1);
    // Retry-After is honoured, up to its bound.
    policy.start();
    QCOMPARE(policy.failed(20000), int(20000 * second / 1000));
    QCOMPARE(policy.failed(3600000), int(RetryPolicy::LongestRetryAfter * second / 1000));
    const QDateTime now = QDateTime::fromString(QStringLiteral("2026-11-06T08:49:30Z"), Qt::ISODate);
    QCOMPARE(RetryPolicy::retryAfter("7", now), qint64(7000));
    QCOMPARE(RetryPolicy::retryAfter("Fri, 06 Nov 2026 08:49:37 GMT", now), qint64(7000));
    QCOMPARE(RetryPolicy::retryAfter("soon", now), qint64(-1));
}

void TestDownloadManager::largeBody_data()
{
    QTest::addColumn<bool>("redirected");
    QTest::newRow("direct") << false;
    QTest::newRow("through a 302") << true;
}

// A bounded reply buffer must be drained as data arrives, or the transfer
// stalls; and the bound must survive a redirect.
void TestDownloadManager::largeBody()
{
    QFETCH(bool, redirected);
    const QByteArray body = randomBytes(64 * 1024 * 1024);
    serve("/large", body);
    TestResponse redirect;
    redirect.status = 302;
    redirect.headers.append({"Location", server->url(QStringLiteral("/large")).toEncoded()});
    server->setResponse("/moved", redirect);

    DownloadManager manager;
    SignalLog log(&manager);
    QSignalSpy complete(&manager, &DownloadManager::downloadComplete);
    const QString target = path(QStringLiteral("large"));
    manager.download(server->url(redirected ? QStringLiteral("/moved") : QStringLiteral("/large")), target);
    QVERIFY(complete.wait(testTime(30000)));
    QCOMPARE(log.withoutProgress(), QStringList({QStringLiteral("downloadStarted"),
                                                 QStringLiteral("downloadComplete")}));
    QCOMPARE(log.values(QStringLiteral("downloadedBytes")).last(), qint64(body.size()));
    QCOMPARE(sizeOf(target), qint64(body.size()));
    QVERIFY(contents(target) == body);
}

void TestDownloadManager::writeFailure_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("size");
    QTest::newRow("well past the limit") << 256 * 1024 << 2 * 1024 * 1024;
    QTest::newRow("one byte past") << 256 * 1024 << 256 * 1024 + 1;
}

void TestDownloadManager::writeFailure()
{
    QFETCH(int, limit);
    QFETCH(int, size);
    serve("/full", randomBytes(size));

    DownloadManager manager;
    SignalLog log(&manager);
    QSignalSpy gaveUp(&manager, &DownloadManager::internalDownloadError);
    const QString target = path(QStringLiteral("full"));
    {
        FileSizeLimit fileLimit{rlim_t(limit)};
        QVERIFY(fileLimit.active);
        manager.download(server->url(QStringLiteral("/full")), target);
        QVERIFY(gaveUp.wait(testTime(10000)));
        QCoreApplication::processEvents();
    }

    QCOMPARE(log.withoutProgress(), QStringList({QStringLiteral("downloadStarted"),
                                                 QStringLiteral("internalDownloadError")}));
    QCOMPARE(openDescriptors(staging(QStringLiteral("full"))), 0);
    QVERIFY(files().isEmpty());
    QCOMPARE(lines.filter(QStringLiteral("Cannot write \"%1\" \"").arg(staging(QStringLiteral("full")))).size(), 1);
}

// Data that the reply still holds when it ends belongs in the file. Blocking
// the reply's signals keeps it all in the reply until finished is called.
void TestDownloadManager::dataHeldAtFinished()
{
    const QByteArray body = randomBytes(5000);
    serve("/held-data", body);

    DownloadManager manager;
    SignalLog log(&manager);
    const QString target = path(QStringLiteral("held-data"));
    manager.download(server->url(QStringLiteral("/held-data")), target);
    QNetworkReply *reply = manager.findChild<QNetworkReply *>();
    QVERIFY(reply);
    {
        const QSignalBlocker blocker(reply);
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), testTime(10000));
    }
    QCOMPARE(reply->bytesAvailable(), qint64(body.size()));
    QVERIFY(QMetaObject::invokeMethod(&manager, "finished", Qt::DirectConnection));
    QCOMPARE(log.events, QStringList({QStringLiteral("downloadStarted"),
                                      QStringLiteral("downloadComplete")}));
    QCOMPARE(contents(target), body);
}

void TestDownloadManager::abandonedConnectionsReleased_data()
{
    QTest::addColumn<bool>("resumeEach");
    QTest::newRow("pause and resume") << true;
    QTest::newRow("cancel") << false;
}

// Eight abandoned transfers against one host: more than Qt's six connections
// per host, which an abort that never reaches its connection would use up.
void TestDownloadManager::abandonedConnectionsReleased()
{
    QFETCH(bool, resumeEach);
    const QByteArray body = randomBytes(1024 * 1024);
    TestResponse response;
    response.body = body;
    response.honourRange = true;
    response.sliceSize = 16 * 1024;
    response.sliceDelayMs = 15;
    server->setResponse("/slow", response);
    serve("/after", randomBytes(400));

    DownloadManager manager;
    SignalLog log(&manager);
    QSignalSpy complete(&manager, &DownloadManager::downloadComplete);
    const QString target = path(QStringLiteral("slow"));
    for (int round = 0; round < 8; ++round) {
        log.events.clear();
        if (!resumeEach || round == 0)
            manager.download(server->url(QStringLiteral("/slow")), target);
        else
            manager.resume();
        QTRY_VERIFY_WITH_TIMEOUT(!log.values(QStringLiteral("downloadedBytes")).isEmpty(), testTime(10000));
        if (resumeEach)
            manager.pause();
        else
            manager.cancel();
        QTRY_COMPARE_WITH_TIMEOUT(server->openConnections(), 0, testTime(10000));
    }
    QCOMPARE(server->requestCount("/slow"), 8);
    QCOMPARE(complete.count(), 0);

    if (resumeEach) {
        manager.resume();
        QVERIFY(complete.wait(testTime(15000)));
        QCOMPARE(contents(target), body);
        complete.clear();
    }
    manager.download(server->url(QStringLiteral("/after")), path(QStringLiteral("after")));
    QVERIFY(complete.wait(testTime(10000)));
    QCOMPARE(contents(path(QStringLiteral("after"))), randomBytes(400));
}

QTEST_GUILESS_MAIN(TestDownloadManager)
#include "tst_downloadmanager.moc"
