#include "testtime.h"
#include "utils.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

// Set in the environment of a copy of this binary to make it act as a tiny
// updater: it runs one Utils operation instead of the tests.
static const char childModeVariable[] = "KORVEL_TST_UTILS_CHILD";
// Written to standard output just before startApp; lost if the process ends
// without flushing its buffered output.
static const char childMarker[] = "child-before-startApp";

// What the tests observe in order: fileOutput emissions and debug messages.
static QStringList *recordedEvents = nullptr;
static QtMessageHandler previousHandler = nullptr;

static void recordingHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (recordedEvents && type == QtDebugMsg) {
        recordedEvents->append(QStringLiteral("debug: ") + message);
        return;
    }
    previousHandler(type, context, message);
}

// Records debug messages for the life of the object.
class MessageRecorder
{
public:
    explicit MessageRecorder(QStringList *events)
    {
        recordedEvents = events;
        previousHandler = qInstallMessageHandler(recordingHandler);
    }
    ~MessageRecorder()
    {
        qInstallMessageHandler(previousHandler);
        recordedEvents = nullptr;
    }
};

static bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.flush();
}

static QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

static bool processAlive(pid_t pid)
{
    if (::kill(pid, 0) != 0)
        return false;
    // Reparented programs that end may linger unreaped; a zombie is not running.
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int close = stat.lastIndexOf(')');
    return close < 0 || stat.mid(close + 2, 1) != "Z";
}

enum class HandOff { Missing, File, Directory };
Q_DECLARE_METATYPE(HandOff)

class TestUtils : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void outputFile_data();
    void outputFile();
    void outputFileReadsAgainOnEachCall();
    void handOffPathFixedAtConstruction();

    void deleteFile_data();
    void deleteFile();

    void getFileSize_data();
    void getFileSize();
    void getFileSizeLarge_data();
    void getFileSizeLarge();

    void checkFileExists_data();
    void checkFileExists();

    void copyFile_data();
    void copyFile();

    void installPath();
    void installPathOfAnotherCopy();

    void cleanupHandOff_data();
    void cleanupHandOff();

    void startApp_data();
    void startApp();

private:
    QString handOffFile() const { return home->path() + QStringLiteral("/KorvelWindowsUpdaterTemp.txt"); }
    // A copy of this binary in its own directory, so that KorvelWindows.exe
    // can be placed beside it.
    QString copySelfTo(const QString &dir);
    QProcess::ExitStatus runChild(const QString &binary, const QByteArray &mode, const QString &workDir,
                                  int *exitCode, QByteArray *output);

    QScopedPointer<QTemporaryDir> home;
    QList<pid_t> startedPids;
};

void TestUtils::init()
{
    home.reset(new QTemporaryDir);
    QVERIFY(home->isValid());
    // Utils fixes its hand-off path from HOME when it is constructed.
    qputenv("HOME", QFile::encodeName(home->path()));
}

void TestUtils::cleanup()
{
    for (pid_t pid : qAsConst(startedPids))
        ::kill(pid, SIGTERM);
    for (pid_t pid : qAsConst(startedPids))
        QTRY_VERIFY_WITH_TIMEOUT(!processAlive(pid), testTime(10000));
    startedPids.clear();
    home.reset();
}

void TestUtils::outputFile_data()
{
    QTest::addColumn<HandOff>("handOff");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("lines");

    const QString url = QStringLiteral("http://127.0.0.1:8080/manifest.xml");
    const QString second = QStringLiteral("http://127.0.0.1:8080/other.xml");

    QTest::newRow("no file") << HandOff::Missing << QByteArray() << QStringList();
    QTest::newRow("a directory in its place") << HandOff::Directory << QByteArray() << QStringList();
    QTest::newRow("empty") << HandOff::File << QByteArray() << QStringList();
    QTest::newRow("one line without line end")
            << HandOff::File << url.toUtf8() << QStringList{url};
    QTest::newRow("one line with LF")
            << HandOff::File << url.toUtf8() + "\n" << QStringList{url};
    QTest::newRow("CRLF")
            << HandOff::File << url.toUtf8() + "\r\n" + second.toUtf8() + "\r\n" << QStringList{url, second};
    QTest::newRow("two lines in order")
            << HandOff::File << url.toUtf8() + "\n" + second.toUtf8() << QStringList{url, second};
    // Not an address with its blanks: handed over empty, with a line.
    QTest::newRow("blanks kept")
            << HandOff::File << "  " + url.toUtf8() + "   \n"
            << QStringList{QStringLiteral("  ") + url + QStringLiteral("   ")};
    QTest::newRow("empty middle line")
            << HandOff::File << url.toUtf8() + "\n\n" + second.toUtf8() + "\n"
            << QStringList{url, QString(), second};
    QTest::newRow("only a line end") << HandOff::File << QByteArray("\n") << QStringList{QString()};
    QTest::newRow("UTF-8 byte-order mark")
            << HandOff::File << "\xEF\xBB\xBF" + url.toUtf8() + "\n" << QStringList{url};

    QByteArray utf16("\xFF\xFE", 2);
    for (const QChar c : url + QStringLiteral("\r\n") + second)
        utf16 += char(c.unicode() & 0xff) + QByteArray(1, char(c.unicode() >> 8));
    QTest::newRow("UTF-16 with byte-order mark") << HandOff::File << utf16 << QStringList{url, second};
}

void TestUtils::outputFile()
{
    QFETCH(HandOff, handOff);
    QFETCH(QByteArray, content);
    QFETCH(QStringList, lines);

    if (handOff == HandOff::File)
        QVERIFY(writeFile(handOffFile(), content));
    else if (handOff == HandOff::Directory)
        QVERIFY(QDir().mkdir(handOffFile()));

    Utils utils;
    QStringList events;
    connect(&utils, &Utils::fileOutput, this, [&events](QString output) {
        events.append(QStringLiteral("fileOutput: ") + output);
    });
    {
        MessageRecorder recorder(&events);
        utils.outputFile();
    }

    // Each line is handed over before its debug line, and before the next line.
    QStringList expected;
    for (const QString &line : qAsConst(lines)) {
        const bool blanks = line.startsWith(QLatin1Char(' '));
        if (blanks)
            expected.append(QStringLiteral("debug: Stopped: \"") + line
                            + QStringLiteral("\" \"only http and https addresses are fetched\""));
        expected.append(QStringLiteral("fileOutput: ") + (blanks ? QString() : line));
        expected.append(QStringLiteral("debug: Output:  \"") + line + QLatin1Char('"'));
    }
    // Without an address at the end, one line says why.
    const QString quoted = QLatin1Char('"') + handOffFile() + QLatin1Char('"');
    if (handOff != HandOff::File) {
        QCOMPARE(events.size(), 1);
        QVERIFY2(events.first().startsWith(QStringLiteral("debug: Cannot read ") + quoted + QLatin1Char(' ')),
                 qPrintable(events.first()));
    } else {
        if (lines.isEmpty() || lines.last().isEmpty())
            expected.append(QStringLiteral("debug: No address in ") + quoted);
        QCOMPARE(events, expected);
    }
    // Reading never changes the hand-off file.
    if (handOff == HandOff::File)
        QCOMPARE(readFile(handOffFile()), content);
}

void TestUtils::outputFileReadsAgainOnEachCall()
{
    const QString url = QStringLiteral("http://127.0.0.1:8080/manifest.xml");
    QVERIFY(writeFile(handOffFile(), url.toUtf8() + "\n"));

    Utils utils;
    QSignalSpy spy(&utils, &Utils::fileOutput);
    utils.outputFile();
    utils.outputFile();
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(0).at(0).toString(), url);
    QCOMPARE(spy.at(1).at(0).toString(), url);
}

void TestUtils::handOffPathFixedAtConstruction()
{
    const QString url = QStringLiteral("http://127.0.0.1:8080/manifest.xml");
    QVERIFY(writeFile(handOffFile(), url.toUtf8()));
    Utils utils;

    QTemporaryDir otherHome;
    QVERIFY(otherHome.isValid());
    QVERIFY(writeFile(otherHome.path() + QStringLiteral("/KorvelWindowsUpdaterTemp.txt"), "http://elsewhere/"));
    qputenv("HOME", QFile::encodeName(otherHome.path()));

    QSignalSpy spy(&utils, &Utils::fileOutput);
    utils.outputFile();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), url);

    // cleanup uses the same path.
    utils.cleanup();
    QVERIFY(!QFile::exists(handOffFile()));
    QVERIFY(QFile::exists(otherHome.path() + QStringLiteral("/KorvelWindowsUpdaterTemp.txt")));
}

enum class Target { ExistingFile, MissingName, MissingDirectory, Directory, ReadOnlyFile };
Q_DECLARE_METATYPE(Target)

void TestUtils::deleteFile_data()
{
    QTest::addColumn<Target>("target");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("existsAfter");

    QTest::newRow("existing file") << Target::ExistingFile << QStringLiteral("Removed") << false;
    QTest::newRow("missing name in existing directory")
            << Target::MissingName << QStringLiteral("Removed") << false;
    QTest::newRow("directory missing")
            << Target::MissingDirectory << QStringLiteral("couldn't open file ReadWrite") << false;
    QTest::newRow("a directory") << Target::Directory << QStringLiteral("couldn't open file ReadWrite") << true;
    QTest::newRow("read-only file")
            << Target::ReadOnlyFile << QStringLiteral("couldn't open file ReadWrite") << true;
}

void TestUtils::deleteFile()
{
    QFETCH(Target, target);
    QFETCH(QString, message);
    QFETCH(bool, existsAfter);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path = dir.path() + QStringLiteral("/component.bin");
    switch (target) {
    case Target::ExistingFile:
        QVERIFY(writeFile(path, QByteArray(300, 'x')));
        break;
    case Target::MissingName:
        break;
    case Target::MissingDirectory:
        path = dir.path() + QStringLiteral("/no-such-dir/component.bin");
        break;
    case Target::Directory:
        QVERIFY(QDir().mkdir(path));
        break;
    case Target::ReadOnlyFile:
        if (::geteuid() == 0)
            QSKIP("root opens read-only files for writing, so there is no access failure to observe");
        QVERIFY(writeFile(path, QByteArray(300, 'x')));
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner));
        break;
    }

    Utils utils;
    QStringList events;
    {
        MessageRecorder recorder(&events);
        utils.deleteFile(path);
    }
    QCOMPARE(events, QStringList{QStringLiteral("debug: ") + message});
    QCOMPARE(QFileInfo::exists(path), existsAfter);
    if (target == Target::ReadOnlyFile)
        QCOMPARE(readFile(path), QByteArray(300, 'x'));
    if (target == Target::MissingDirectory)
        QVERIFY(!QFileInfo::exists(dir.path() + QStringLiteral("/no-such-dir")));
}

void TestUtils::getFileSize_data()
{
    QTest::addColumn<Target>("target");
    QTest::addColumn<int>("bytes");
    QTest::addColumn<int>("size");

    QTest::newRow("empty") << Target::ExistingFile << 0 << 0;
    QTest::newRow("1 byte") << Target::ExistingFile << 1 << 1;
    QTest::newRow("149 bytes") << Target::ExistingFile << 149 << 149;
    QTest::newRow("150 bytes") << Target::ExistingFile << 150 << 150;
    QTest::newRow("1 MiB") << Target::ExistingFile << 1048576 << 1048576;
    QTest::newRow("missing") << Target::MissingName << 0 << 0;
    QTest::newRow("directory missing") << Target::MissingDirectory << 0 << 0;
    QTest::newRow("directory") << Target::Directory << 0 << 0;
}

void TestUtils::getFileSize()
{
    QFETCH(Target, target);
    QFETCH(int, bytes);
    QFETCH(int, size);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path = dir.path() + QStringLiteral("/component.bin");
    if (target == Target::ExistingFile)
        QVERIFY(writeFile(path, QByteArray(bytes, 'z')));
    else if (target == Target::MissingDirectory)
        path = dir.path() + QStringLiteral("/no-such-dir/component.bin");
    else if (target == Target::Directory)
        QVERIFY(QDir().mkdir(path));

    QStringList events;
    {
        MessageRecorder recorder(&events);
        QCOMPARE(Utils::getFileSize(path), size);
    }
    QCOMPARE(events, QStringList());
    // Measuring creates nothing.
    QCOMPARE(QFileInfo::exists(path), target == Target::ExistingFile || target == Target::Directory);
}

void TestUtils::getFileSizeLarge_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<int>("size");

    QTest::newRow("2 GiB - 1") << qint64(INT_MAX) << INT_MAX;
    QTest::newRow("2 GiB") << qint64(INT_MAX) + 1 << INT_MAX;
    QTest::newRow("3 GiB") << qint64(3) * 1024 * 1024 * 1024 << INT_MAX;
    // Truncated to 32 bits this would measure 100 bytes, a failed download.
    QTest::newRow("4 GiB + 100") << qint64(4) * 1024 * 1024 * 1024 + 100 << INT_MAX;
}

void TestUtils::getFileSizeLarge()
{
    QFETCH(qint64, bytes);
    QFETCH(int, size);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.path() + QStringLiteral("/large.bin");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (!file.resize(bytes))
            QSKIP("the file system cannot make a file this large");
    }
    struct stat info;
    QVERIFY(::stat(QFile::encodeName(path).constData(), &info) == 0);
    if (qint64(info.st_blocks) * 512 >= bytes)
        QSKIP("the file system does not make sparse files");

    QCOMPARE(Utils::getFileSize(path), size);
}

void TestUtils::checkFileExists_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("exists");

    QTest::newRow("file") << QStringLiteral("file") << true;
    QTest::newRow("empty file") << QStringLiteral("empty") << true;
    QTest::newRow("directory") << QStringLiteral("directory") << false;
    QTest::newRow("missing") << QStringLiteral("missing") << false;
    QTest::newRow("link to a file") << QStringLiteral("link") << true;
    QTest::newRow("dangling link") << QStringLiteral("dangling") << false;
}

void TestUtils::checkFileExists()
{
    QFETCH(QString, kind);
    QFETCH(bool, exists);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.path() + QStringLiteral("/thing");
    const QString other = dir.path() + QStringLiteral("/other");
    if (kind == QLatin1String("file"))
        QVERIFY(writeFile(path, "content"));
    else if (kind == QLatin1String("empty"))
        QVERIFY(writeFile(path, QByteArray()));
    else if (kind == QLatin1String("directory"))
        QVERIFY(QDir().mkdir(path));
    else if (kind == QLatin1String("link"))
        QVERIFY(writeFile(other, "content") && QFile::link(other, path));
    else if (kind == QLatin1String("dangling"))
        QVERIFY(QFile::link(other, path));

    Utils utils;
    QCOMPARE(utils.checkFileExists(path), exists);
}

void TestUtils::copyFile_data()
{
    QTest::addColumn<bool>("sourceExists");
    QTest::addColumn<bool>("targetExists");
    QTest::addColumn<bool>("targetDirExists");
    QTest::addColumn<bool>("result");

    QTest::newRow("success") << true << false << true << true;
    QTest::newRow("existing target") << true << true << true << false;
    QTest::newRow("missing source") << false << false << true << false;
    QTest::newRow("target directory missing") << true << false << false << false;
}

void TestUtils::copyFile()
{
    QFETCH(bool, sourceExists);
    QFETCH(bool, targetExists);
    QFETCH(bool, targetDirExists);
    QFETCH(bool, result);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray sourceContent("source content\n\x00\x01 binary", 25);
    const QByteArray targetContent("old target");
    const QString source = dir.path() + QStringLiteral("/source.bin");
    const QString target = dir.path() + (targetDirExists ? QStringLiteral("/target.bin")
                                                         : QStringLiteral("/missing/target.bin"));
    if (sourceExists)
        QVERIFY(writeFile(source, sourceContent));
    if (targetExists)
        QVERIFY(writeFile(target, targetContent));

    Utils utils;
    QCOMPARE(utils.copyFile(source, target), result);

    if (result)
        QCOMPARE(readFile(target), sourceContent);
    else if (targetExists)
        QCOMPARE(readFile(target), targetContent);
    else
        QVERIFY(!QFileInfo::exists(target));
    if (sourceExists)
        QCOMPARE(readFile(source), sourceContent);
}

void TestUtils::installPath()
{
    // The directory of the running binary, learnt from the kernel rather than Qt.
    const QString self = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    QVERIFY(!self.isEmpty());

    Utils utils;
    const QString path = utils.installPath();
    QVERIFY2(!path.endsWith(QLatin1Char('/')), qPrintable(path));
    QCOMPARE(QFileInfo(path).canonicalFilePath(), QFileInfo(self).canonicalPath());
}

void TestUtils::installPathOfAnotherCopy()
{
    // Not the working directory: a copy elsewhere, started from another directory.
    QTemporaryDir appDir;
    QTemporaryDir workDir;
    QVERIFY(appDir.isValid() && workDir.isValid());
    const QString binary = copySelfTo(appDir.path());
    QVERIFY(!binary.isEmpty());

    int exitCode = -1;
    QByteArray output;
    QCOMPARE(runChild(binary, "installPath", workDir.path(), &exitCode, &output), QProcess::NormalExit);
    QCOMPARE(exitCode, 0);
    const QString path = QString::fromLocal8Bit(output);
    QVERIFY2(!path.endsWith(QLatin1Char('/')), qPrintable(path));
    QCOMPARE(QFileInfo(path).canonicalFilePath(), QFileInfo(appDir.path()).canonicalFilePath());
}

void TestUtils::cleanupHandOff_data()
{
    QTest::addColumn<bool>("present");

    QTest::newRow("present") << true;
    QTest::newRow("absent") << false;
}

void TestUtils::cleanupHandOff()
{
    QFETCH(bool, present);

    if (present)
        QVERIFY(writeFile(handOffFile(), "http://127.0.0.1:8080/manifest.xml\n"));
    const QString neighbour = home->path() + QStringLiteral("/KorvelWindowsUpdaterTemp.txt.keep");
    QVERIFY(writeFile(neighbour, "keep"));

    Utils utils;
    QStringList events;
    {
        MessageRecorder recorder(&events);
        utils.cleanup();
    }
    QCOMPARE(events, QStringList());
    QVERIFY(!QFileInfo::exists(handOffFile()));
    QCOMPARE(QDir(home->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{QStringLiteral("KorvelWindowsUpdaterTemp.txt.keep")});
}

enum class App { Missing, Script, NotExecutable, Directory };
Q_DECLARE_METATYPE(App)

void TestUtils::startApp_data()
{
    QTest::addColumn<App>("app");

    QTest::newRow("no KorvelWindows.exe") << App::Missing;
    QTest::newRow("KorvelWindows.exe present") << App::Script;
    QTest::newRow("KorvelWindows.exe not executable") << App::NotExecutable;
    QTest::newRow("a directory named KorvelWindows.exe") << App::Directory;
}

void TestUtils::startApp()
{
    QFETCH(App, app);

    QTemporaryDir appDir;
    QTemporaryDir workDir;
    QVERIFY(appDir.isValid() && workDir.isValid());
    const QString binary = copySelfTo(appDir.path());
    QVERIFY(!binary.isEmpty());

    const QString program = appDir.path() + QStringLiteral("/KorvelWindows.exe");
    const QString record = workDir.path() + QStringLiteral("/started");
    // The started program gets its own output, as it outlives the updater;
    // exec keeps the recorded pid that of the sleeping process.
    const QByteArray script = "#!/bin/sh\n"
                              "exec >'" + QFile::encodeName(workDir.path()) + "/app.out' 2>&1\n"
                              "{ echo \"$$\"; echo \"$#\"; printf '[%s]\\n' \"$@\"; } >'"
                              + QFile::encodeName(record) + ".tmp'\n"
                              "mv '" + QFile::encodeName(record) + ".tmp' '" + QFile::encodeName(record) + "'\n"
                              "exec sleep 30\n";
    switch (app) {
    case App::Missing:
        break;
    case App::Script:
    case App::NotExecutable:
        QVERIFY(writeFile(program, script));
        QVERIFY(QFile::setPermissions(program, app == App::Script
                                                  ? QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                            | QFileDevice::ExeOwner
                                                  : QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        break;
    case App::Directory:
        QVERIFY(QDir().mkdir(program));
        break;
    }

    int exitCode = -1;
    QByteArray output;
    QCOMPARE(runChild(binary, "startApp", workDir.path(), &exitCode, &output), QProcess::NormalExit);
    QCOMPARE(exitCode, 12);
    // Buffered output written before startApp is not lost.
    QCOMPARE(output, QByteArray(childMarker));

    if (app != App::Script) {
        QVERIFY(!QFileInfo::exists(record));
        return;
    }

    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), testTime(20000));
    const QList<QByteArray> lines = readFile(record).split('\n');
    QVERIFY2(lines.size() >= 2, readFile(record).constData());
    bool ok = false;
    const pid_t pid = lines.at(0).toInt(&ok);
    QVERIFY(ok && pid > 0);
    startedPids.append(pid);
    // The updater has ended; the application it started has not.
    QVERIFY(processAlive(pid));
    QCOMPARE(lines.at(1), QByteArray("0"));
}

QString TestUtils::copySelfTo(const QString &dir)
{
    const QString target = dir + QStringLiteral("/KorvelUpdater");
    if (!QFile::copy(QCoreApplication::applicationFilePath(), target))
        return QString();
    QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return target;
}

QProcess::ExitStatus TestUtils::runChild(const QString &binary, const QByteArray &mode, const QString &workDir,
                                         int *exitCode, QByteArray *output)
{
    // Output goes to a file, not a pipe: a started program may hold on to it.
    const QString outputPath = workDir + QStringLiteral("/updater.out");
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(childModeVariable), QString::fromLatin1(mode));
    child.setProcessEnvironment(env);
    child.setWorkingDirectory(workDir);
    child.setStandardOutputFile(outputPath);
    child.setStandardErrorFile(workDir + QStringLiteral("/updater.err"));
    child.start(binary, QStringList());
    if (!child.waitForFinished(testTime(60000))) {
        qWarning("child did not end: %s", qPrintable(child.errorString()));
        child.kill();
        child.waitForFinished();
        return QProcess::CrashExit;
    }
    *exitCode = child.exitCode();
    *output = readFile(outputPath);
    if (child.exitStatus() != QProcess::NormalExit)
        qWarning("child crashed: %s", readFile(workDir + QStringLiteral("/updater.err")).constData());
    return child.exitStatus();
}

// A child started with the mode variable is a stand-in updater; otherwise
// this is the test run of QTEST_GUILESS_MAIN.
int main(int argc, char *argv[])
{
    const QByteArray mode = qgetenv(childModeVariable);
    if (!mode.isEmpty()) {
        QCoreApplication app(argc, argv);
        Utils utils;
        if (mode == "installPath") {
            std::fputs(qPrintable(utils.installPath()), stdout);
            return 0;
        }
        if (mode == "startApp") {
            // stdout goes to a file, so this stays in the buffer until flushed.
            std::fputs(childMarker, stdout);
            utils.startApp();
            return 1;
        }
        return 2;
    }

    QCoreApplication app(argc, argv);
    TestUtils test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_utils.moc"
