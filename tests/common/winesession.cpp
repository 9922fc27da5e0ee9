#include "winesession.h"

#include "testtime.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <sys/prctl.h>

namespace {

WineSession *session = nullptr;

const char wineBinary[] = "/usr/lib/wine/wine64";
const char wineServer[] = "/usr/lib/wine/wineserver64";

// An X server that does not outlive a test that dies.
class DisplayProcess : public QProcess
{
protected:
    void setupChildProcess() override { ::prctl(PR_SET_PDEATHSIG, SIGKILL); }
};

// Runs a program to its end: its exit status, -1 when it crashed or timed out
// (after timeoutMs, stretched by testTime()).
int runToEnd(const QString &program, const QStringList &arguments, const QProcessEnvironment &env,
             const QString &workDir, int timeoutMs, QByteArray *output)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(workDir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(testTime(timeoutMs))) {
        process.kill();
        process.waitForFinished(testTime(5000));
        return -1;
    }
    if (output)
        *output = process.readAll().replace("\r\n", "\n");
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace

WineSession *WineSession::instance(QString *whyNot)
{
    static bool tried = false;
    static QString failure;
    if (!tried) {
        tried = true;
        session = new WineSession;
        if (session->setUp(&failure)) {
            qAddPostRoutine(&WineSession::shutdown);
        } else {
            delete session;
            session = nullptr;
        }
    }
    if (!session && whyNot)
        *whyNot = failure;
    return session;
}

void WineSession::shutdown()
{
    if (!session)
        return;
    session->killAll();
    if (auto *x = session->xvfb.get()) {
        x->terminate();
        if (!x->waitForFinished(testTime(10000))) {
            x->kill();
            x->waitForFinished(testTime(5000));
        }
    }
    delete session;
    session = nullptr;
}

QString WineSession::bundleDir() const
{
    return qEnvironmentVariable("KORVEL_WIN64_BUILD") + QStringLiteral("/KorvelUpdater-win64");
}

QString WineSession::manifestTool() const
{
    return qEnvironmentVariable("KORVEL_WIN64_BUILD")
            + QStringLiteral("/korvel-manifest-win64/korvel-manifest.exe");
}

QString WineSession::keyedUpdater() const
{
    return qEnvironmentVariable("KORVEL_WIN64_BUILD") + QStringLiteral("/test-bin/KorvelUpdaterTestKeys.exe");
}

QString WineSession::wine() const
{
    return QString::fromLatin1(wineBinary);
}

bool WineSession::setUp(QString *whyNot)
{
    const QString build = qEnvironmentVariable("KORVEL_WIN64_BUILD");
    if (!QFileInfo::exists(bundleDir() + QStringLiteral("/KorvelUpdater.exe"))) {
        *whyNot = QStringLiteral("no Windows build in \"%1\": scripts/windows.sh makes it "
                                 "when KORVEL_QT_WIN64 names a Windows Qt").arg(build);
        return false;
    }
    const QString helperBuilt = qEnvironmentVariable("KORVEL_WINHELPER");
    if (!QFileInfo::exists(helperBuilt)) {
        *whyNot = QStringLiteral("no Windows test helper at \"%1\" (it needs "
                                 "x86_64-w64-mingw32-gcc-posix)").arg(helperBuilt);
        return false;
    }
    if (!QFileInfo(QString::fromLatin1(wineBinary)).isExecutable()) {
        *whyNot = QStringLiteral("Wine is not installed (package wine64)");
        return false;
    }
    if (!dir.isValid()) {
        *whyNot = QStringLiteral("no temporary directory");
        return false;
    }

    // A private X server; it picks a free display number and reports it.
    xvfb.reset(new DisplayProcess);
    const QString gl = qEnvironmentVariable("KORVEL_WINE_GL");
    QStringList xvfbArguments = {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                 QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                                 QStringLiteral("-screen"), QStringLiteral("0"),
                                 QStringLiteral("1024x768x24")};
    if (gl == QLatin1String("none"))
        xvfbArguments << QStringLiteral("-extension") << QStringLiteral("GLX");
    xvfb->start(QStringLiteral("Xvfb"), xvfbArguments);
    xvfb->waitForStarted(testTime(30000));
    const QDeadlineTimer deadline(testTime(30000));
    while (!xvfb->canReadLine() && xvfb->state() == QProcess::Running && !deadline.hasExpired())
        xvfb->waitForReadyRead(100);
    const QByteArray number = xvfb->readLine().trimmed();
    if (number.isEmpty()) {
        *whyNot = QStringLiteral("Xvfb did not start: ")
                + QString::fromLocal8Bit(xvfb->readAllStandardError());
        return false;
    }
    displayName = QLatin1Char(':') + QString::fromLatin1(number);

    prefix = dir.filePath(QStringLiteral("prefix"));
    const QProcessEnvironment system = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    for (const QString &name : {QStringLiteral("HOME"), QStringLiteral("USER"), QStringLiteral("LOGNAME")}) {
        if (system.contains(name))
            env.insert(name, system.value(name));
    }
    // Wine reads Unix paths and arguments in the locale's encoding.
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.insert(QStringLiteral("WINEPREFIX"), prefix);
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    // No Mono or Gecko to offer: nothing here needs .NET or a browser engine.
    env.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
    env.insert(QStringLiteral("DISPLAY"), displayName);
    // Wine keeps Unix variables that begin with QT_ to Unix programs and passes
    // WINEQT_X on as QT_X. Without a console, Qt's default message handler
    // writes to the debugger (OutputDebugString); this sends it to stderr.
    env.insert(QStringLiteral("WINEQT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
    // The test helper's waits stretch as ours do.
    if (system.contains(QStringLiteral("KORVEL_TEST_TIME_SCALE")))
        env.insert(QStringLiteral("KORVEL_TEST_TIME_SCALE"), system.value(QStringLiteral("KORVEL_TEST_TIME_SCALE")));
    // Read by Mesa in Wine's Unix side, where it loads OpenGL for the display.
    if (gl == QLatin1String("1.4")) {
        env.insert(QStringLiteral("LIBGL_ALWAYS_SOFTWARE"), QStringLiteral("1"));
        env.insert(QStringLiteral("MESA_GL_VERSION_OVERRIDE"), QStringLiteral("1.4"));
    }

    QByteArray output;
    if (runToEnd(wine(), {QStringLiteral("wineboot"), QStringLiteral("-i")}, env, dir.path(), 180000,
                 &output) != 0) {
        *whyNot = QStringLiteral("wineboot failed: ") + QString::fromLocal8Bit(output.right(2000));
        return false;
    }
    // Without Z:, nothing of the host is reachable: the bundle must be whole.
    const QString z = prefix + QStringLiteral("/dosdevices/z:");
    QFile::remove(z);
    if (QFileInfo(z).isSymLink() || QFileInfo::exists(z)) {
        *whyNot = QStringLiteral("cannot remove ") + z;
        return false;
    }
    const QString users = driveC() + QStringLiteral("/users");
    for (const QString &user : QDir(users).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (user != QLatin1String("Public"))
            profile = users + QLatin1Char('/') + user;
    }
    if (profile.isEmpty()) {
        *whyNot = QStringLiteral("the new prefix has no user profile");
        return false;
    }
    if (!QDir().mkpath(QFileInfo(helper()).path()) || !QFile::copy(helperBuilt, helper())) {
        *whyNot = QStringLiteral("cannot copy the test helper into the prefix");
        return false;
    }
    return true;
}

QString WineSession::windowsPath(const QString &hostPath) const
{
    const QString root = driveC();
    if (hostPath != root && !hostPath.startsWith(root + QLatin1Char('/')))
        return QString(); // not on C:
    return QStringLiteral("C:") + (hostPath == root ? QStringLiteral("/") : hostPath.mid(root.size()));
}

QStringList WineSession::command(const QString &hostProgram, const QStringList &arguments) const
{
    QString program = windowsPath(hostProgram);
    return QStringList(program.replace(QLatin1Char('/'), QLatin1Char('\\'))) + arguments;
}

int WineSession::run(const QString &hostProgram, const QStringList &arguments, QByteArray *output,
                     int timeoutMs) const
{
    return runToEnd(wine(), command(hostProgram, arguments), env, driveC(), timeoutMs, output);
}

bool WineSession::trust(const QString &pemPath, QString *error) const
{
    const QString copy = QFileInfo(helper()).path() + QLatin1Char('/') + QFileInfo(pemPath).fileName();
    QFile::remove(copy);
    QByteArray output;
    if (!QFile::copy(pemPath, copy)
        || run(helper(), {QStringLiteral("trust"), windowsPath(copy)}, &output) != 0) {
        *error = QStringLiteral("cannot trust ") + pemPath + QStringLiteral(": ")
                + QString::fromLocal8Bit(output);
        return false;
    }
    return true;
}

bool WineSession::setProxy(const QString &address) const
{
    // DefaultConnectionSettings: magic 0x46, a counter, the flags (1 direct,
    // 2 proxy), then the proxy, the bypass list and the script's address,
    // each after its length; little-endian.
    QByteArray value;
    QDataStream stream(&value, QIODevice::WriteOnly);
    stream.setByteOrder(QDataStream::LittleEndian);
    stream << quint32(0x46) << quint32(1) << quint32(address.isEmpty() ? 1 : 3);
    stream.writeBytes(address.toLatin1().constData(), uint(address.size()));
    stream << quint32(0) << quint32(0);
    return run(driveC() + QStringLiteral("/windows/system32/reg.exe"),
               {QStringLiteral("add"),
                QStringLiteral("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections"),
                QStringLiteral("/v"), QStringLiteral("DefaultConnectionSettings"), QStringLiteral("/t"),
                QStringLiteral("REG_BINARY"), QStringLiteral("/d"), QString::fromLatin1(value.toHex()),
                QStringLiteral("/f")},
               nullptr)
            == 0;
}

void WineSession::killAll() const
{
    for (const QString &option : {QStringLiteral("-k"), QStringLiteral("-w")})
        runToEnd(QString::fromLatin1(wineServer), {option}, env, dir.path(), 30000, nullptr);
}

int WineSession::onDisplay(const QString &program, const QStringList &arguments,
                           QByteArray *output) const
{
    QProcessEnvironment host = QProcessEnvironment::systemEnvironment();
    host.insert(QStringLiteral("DISPLAY"), displayName);
    return runToEnd(program, arguments, host, dir.path(), 60000, output);
}

QByteArray WineSession::window(const QString &title, bool findOnly) const
{
    QStringList arguments = {QStringLiteral(KORVEL_SOURCE_DIR "/tests/tools/closewindow.py"),
                             QStringLiteral("--timeout"), QStringLiteral("20")};
    if (findOnly)
        arguments.append(QStringLiteral("--find-only"));
    QByteArray output;
    if (onDisplay(QStringLiteral("/usr/bin/python3"), arguments << title, &output) != 0)
        return QByteArray();
    return output.trimmed();
}
