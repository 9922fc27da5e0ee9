#include "testtime.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The real KorvelUpdater binary as a child process: how its run ends.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void documentNotCreatedEndsWithMinusOne();
    void closingTheWindowEndsWithZero_data();
    void closingTheWindowEndsWithZero();

private:
    QProcessEnvironment childEnvironment(const QString &home) const;
    // Runs the window helper against the Xvfb display; returns its exit code.
    int runCloseWindow(const QStringList &options, QByteArray *output);

    QProcess xvfb;
    QString display;
};

static const QString updaterBinary = productPath(QStringLiteral(KORVEL_UPDATER_BIN));
static const QString windowTitle = QStringLiteral("Korvel update");
// The system interpreter: python3-xlib is a Debian package.
static const QString python = QStringLiteral("/usr/bin/python3");
static const QString closeWindowScript = QStringLiteral(KORVEL_SOURCE_DIR "/tests/tools/closewindow.py");

void TestStartup::initTestCase()
{
    QVERIFY2(QFileInfo(updaterBinary).isExecutable(), qPrintable(updaterBinary));
    QVERIFY2(QFileInfo::exists(closeWindowScript), qPrintable(closeWindowScript));

    // A private X server; it picks a free display number and reports it on stdout.
    xvfb.setProgram(QStringLiteral("Xvfb"));
    xvfb.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                       QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                       QStringLiteral("1024x768x24")});
    xvfb.setProcessChannelMode(QProcess::SeparateChannels);
    xvfb.start();
    QVERIFY2(xvfb.waitForStarted(testTime(30000)), qPrintable(xvfb.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(xvfb.canReadLine() || xvfb.state() != QProcess::Running, testTime(30000));
    const QByteArray number = xvfb.readLine().trimmed();
    QVERIFY2(!number.isEmpty(), xvfb.readAllStandardError().constData());
    display = QLatin1Char(':') + QString::fromLatin1(number);
}

void TestStartup::cleanupTestCase()
{
    if (xvfb.state() != QProcess::NotRunning) {
        xvfb.terminate();
        if (!xvfb.waitForFinished(testTime(10000))) {
            xvfb.kill();
            xvfb.waitForFinished();
        }
    }
}

QProcessEnvironment TestStartup::childEnvironment(const QString &home) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    // Only the binary's own configuration decides where QML modules come from.
    env.remove(QStringLiteral("QML2_IMPORT_PATH"));
    env.remove(QStringLiteral("QML_IMPORT_PATH"));
    env.remove(QStringLiteral("QT_PLUGIN_PATH"));
    env.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
    return env;
}

void TestStartup::documentNotCreatedEndsWithMinusOne()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString appDir = dir.path() + QStringLiteral("/app");
    const QString emptyImports = dir.path() + QStringLiteral("/qml");
    QVERIFY(QDir().mkpath(appDir) && QDir().mkpath(emptyImports));
    const QString binary = appDir + QStringLiteral("/KorvelUpdater");
    QVERIFY(QFile::copy(updaterBinary, binary));

    // No QML modules for the window document; the platform plugin stays found,
    // or the run would abort instead.
    QFile conf(appDir + QStringLiteral("/qt.conf"));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write("[Paths]\nQml2Imports = " + QFile::encodeName(emptyImports) + "\nPlugins = "
               + QFile::encodeName(QLibraryInfo::location(QLibraryInfo::PluginsPath)) + "\n");
    conf.close();

    QProcess updater;
    QProcessEnvironment env = childEnvironment(dir.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    updater.setProcessEnvironment(env);
    updater.setWorkingDirectory(dir.path());
    updater.start(binary, QStringList());
    QVERIFY2(updater.waitForStarted(testTime(30000)), qPrintable(updater.errorString()));
    // A handler that asks to exit before the event loop runs leaves the process running.
    QVERIFY2(updater.waitForFinished(testTime(60000)), "the updater kept running without its window");
    const QByteArray errors = updater.readAllStandardError();
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QVERIFY2(errors.contains("failed to load component"), errors.constData());
    QCOMPARE(updater.exitCode(), 255);
}

void TestStartup::closingTheWindowEndsWithZero_data()
{
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("no arguments") << QStringList();
    // Qt keeps what it does not know; the updater reads no argument itself.
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--korvel-no-such-option")};
    QTest::newRow("unknown words")
            << QStringList{QStringLiteral("extra"), QStringLiteral("http://127.0.0.1:9/manifest.xml")};
}

void TestStartup::closingTheWindowEndsWithZero()
{
    QFETCH(QStringList, arguments);

    QTemporaryDir home;
    QVERIFY(home.isValid());
    QProcess updater;
    QProcessEnvironment env = childEnvironment(home.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("DISPLAY"), display);
    updater.setProcessEnvironment(env);
    updater.setWorkingDirectory(home.path());
    updater.start(updaterBinary, arguments);
    QVERIFY2(updater.waitForStarted(testTime(30000)), qPrintable(updater.errorString()));

    QByteArray output;
    QCOMPARE(runCloseWindow({QStringLiteral("--find-only")}, &output), 0);
    // With no hand-off file the window just waits for the user.
    QCOMPARE(updater.state(), QProcess::Running);

    QCOMPARE(runCloseWindow({}, &output), 0);
    QVERIFY2(updater.waitForFinished(testTime(60000)), "the updater did not end when its window was closed");
    const QByteArray errors = updater.readAllStandardError();
    QVERIFY2(updater.exitStatus() == QProcess::NormalExit, errors.constData());
    QVERIFY2(!errors.contains("failed to load component"), errors.constData());
    QCOMPARE(updater.exitCode(), 0);
}

int TestStartup::runCloseWindow(const QStringList &options, QByteArray *output)
{
    QProcess helper;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    helper.setProcessEnvironment(env);
    helper.start(python, QStringList{closeWindowScript, QStringLiteral("--timeout"), QStringLiteral("60")}
                         + options + QStringList{windowTitle});
    if (!helper.waitForFinished(testTime(90000))) {
        helper.kill();
        helper.waitForFinished();
        return -1;
    }
    *output = helper.readAllStandardOutput();
    const QByteArray errors = helper.readAllStandardError();
    if (!errors.isEmpty())
        qWarning("closewindow.py: %s", errors.constData());
    return helper.exitStatus() == QProcess::NormalExit ? helper.exitCode() : -1;
}

QTEST_GUILESS_MAIN(TestStartup)

#include "tst_startup.moc"
