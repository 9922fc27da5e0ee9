#include "downloadmanager.h"
#include "stagedfile.h"
#include "nginxserver.h"
#include "testtime.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray randomBytes(int size, quint32 seed = 11)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    return data;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Peak resident memory of this process in kB, from the point of the last reset.
qint64 peakResidentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

bool resetPeakResident()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

// Access log fields: end time, method, uri, status, body bytes, "range", request time.
QStringList logLinesFor(const NginxServer &nginx, const QString &uri)
{
    QStringList result;
    for (const QString &line : nginx.accessLog()) {
        if (line.section(QLatin1Char(' '), 2, 2) == uri)
            result.append(line);
    }
    return result;
}

} // namespace

class TestDownloadManagerNginx : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void severalMegabytes();
    void pauseThenResumeAnsweredWith206();
    void memoryStaysFlat_data();
    void memoryStaysFlat();

private:
    QTemporaryDir root;
    QTemporaryDir downloads;
    NginxServer *nginx = nullptr;
};

void TestDownloadManagerNginx::initTestCase()
{
    if (!QFileInfo::exists(NginxServer::binary()))
        QSKIP("nginx is not installed (scripts/common.sh installs it)");
    QVERIFY(root.isValid());
    QVERIFY(downloads.isValid());
    QVERIFY(writeFile(root.filePath(QStringLiteral("component.bin")), randomBytes(8 * 1024 * 1024, 1)));
    QVERIFY(writeFile(root.filePath(QStringLiteral("slow/part.bin")), randomBytes(1024 * 1024, 2)));
    // A large file without the disk space: nginx sends its zeros all the same.
    QFile large(root.filePath(QStringLiteral("large.bin")));
    QVERIFY(large.open(QIODevice::WriteOnly));
    QVERIFY(large.resize(qint64(256) * 1024 * 1024));
    large.close();

    nginx = new NginxServer(root.path());
    nginx->setServerConfig("location /slow/ { limit_rate 256k; }\n"
                           "location = /moved { return 302 /large.bin; }\n");
    QVERIFY2(nginx->start(), qPrintable(nginx->errorText()));
}

void TestDownloadManagerNginx::cleanupTestCase()
{
    delete nginx;
    nginx = nullptr;
}

void TestDownloadManagerNginx::severalMegabytes()
{
    DownloadManager manager;
    QSignalSpy complete(&manager, &DownloadManager::downloadComplete);
    QSignalSpy failed(&manager, &DownloadManager::recordFailed);
    const QString target = downloads.filePath(QStringLiteral("component.bin"));
    manager.download(nginx->url(QStringLiteral("/component.bin")), target);
    QVERIFY(complete.wait(testTime(30000)));
    QCOMPARE(failed.count(), 0);
    QVERIFY(contents(target) == contents(root.filePath(QStringLiteral("component.bin"))));

    QTRY_COMPARE_WITH_TIMEOUT(logLinesFor(*nginx, QStringLiteral("/component.bin")).size(), 1, testTime(10000));
    const QStringList fields = logLinesFor(*nginx, QStringLiteral("/component.bin")).first().split(QLatin1Char(' '));
    QCOMPARE(fields.value(1), QStringLiteral("GET"));
    QCOMPARE(fields.value(3), QStringLiteral("200"));
    QCOMPARE(fields.value(5), QStringLiteral("\"-\""));
}

// A rate-limited location, so that the pause lands mid-transfer.
void TestDownloadManagerNginx::pauseThenResumeAnsweredWith206()
{
    const QString source = root.filePath(QStringLiteral("slow/part.bin"));
    const qint64 total = QFileInfo(source).size();
    DownloadManager manager;
    QSignalSpy complete(&manager, &DownloadManager::downloadComplete);
    QSignalSpy percentages(&manager, &DownloadManager::progressPercentage);
    const QString target = downloads.filePath(QStringLiteral("part.bin"));
    manager.download(nginx->url(QStringLiteral("/slow/part.bin")), target);
    const QString staging = StagedFile::stagingPath(target);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(staging).size() >= 128 * 1024, testTime(20000));

    manager.pause();
    const qint64 partial = QFileInfo(staging).size();
    QVERIFY2(partial < total, "the pause came too late");
    percentages.clear();
    manager.resume();
    QVERIFY(complete.wait(testTime(30000)));
    QVERIFY(contents(target) == contents(source));
    // The whole file's share: past the partial file from the first report on.
    QVERIFY(!percentages.isEmpty());
    QVERIFY(percentages.first().first().toInt() >= int(partial * 100 / total));
    QCOMPARE(percentages.last().first().toInt(), 100);

    QTRY_COMPARE_WITH_TIMEOUT(logLinesFor(*nginx, QStringLiteral("/slow/part.bin")).size(), 2, testTime(20000));
    QStringList resumed;
    for (const QString &line : logLinesFor(*nginx, QStringLiteral("/slow/part.bin"))) {
        if (line.section(QLatin1Char(' '), 3, 3) == QLatin1String("206"))
            resumed.append(line);
    }
    QCOMPARE(resumed.size(), 1);
    const QStringList fields = resumed.first().split(QLatin1Char(' '));
    QCOMPARE(fields.value(5), QStringLiteral("\"bytes=%1-\"").arg(partial));
    QCOMPARE(fields.value(4).toLongLong(), total - partial);
}

void TestDownloadManagerNginx::memoryStaysFlat_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("direct") << QStringLiteral("/large.bin");
    // Qt does not carry the read bound over to the request of a redirect.
    QTest::newRow("through a 302") << QStringLiteral("/moved");
}

// 256 MB from a local nginx arrive far faster than Qt reports progress; the
// process must not hold them in memory on the way to the file.
void TestDownloadManagerNginx::memoryStaysFlat()
{
    QFETCH(QString, path);
    if (!resetPeakResident())
        QSKIP("the peak resident size cannot be reset here");
    const qint64 before = peakResidentKb();
    QVERIFY(before > 0);

    DownloadManager manager;
    QSignalSpy complete(&manager, &DownloadManager::downloadComplete);
    const QString target = downloads.filePath(QStringLiteral("large.bin"));
    manager.download(nginx->url(path), target);
    QVERIFY(complete.wait(testTime(60000)));
    const qint64 growth = peakResidentKb() - before;
    QCOMPARE(QFileInfo(target).size(), qint64(256) * 1024 * 1024);
    QVERIFY2(growth < 64 * 1024, qPrintable(QStringLiteral("peak grew by %1 kB").arg(growth)));
    qInfo("peak resident growth: %lld kB", growth);
    QFile::remove(target);
}

QTEST_GUILESS_MAIN(TestDownloadManagerNginx)
#include "tst_downloadmanager_nginx.moc"
