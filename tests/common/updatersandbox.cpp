#include "updatersandbox.h"

#include "testtime.h"
#include "winesession.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char sentinelName[] = ".korvel-sentinel";
const uid_t nobodyId = 65534;

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(content) == content.size() && file.flush();
}

bool copyTree(const QString &from, const QString &to)
{
    QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = to + source.mid(from.size());
        if (!QDir().mkpath(QFileInfo(target).path()) || !QFile::copy(source, target))
            return false;
    }
    return true;
}

const char windowTitle[] = "Korvel update";
const char fastUnwinder[] = ":fast_unwind_on_malloc=1:detect_leaks=0";

} // namespace

static bool windowsStatus(const QByteArray &output, int *status);

// Qt 5 offers the child's set-up between fork and exec only to a subclass.
class UpdaterSandbox::Process : public QProcess
{
public:
    std::function<void()> setup;

protected:
    void setupChildProcess() override
    {
        if (setup)
            setup();
    }
};

UpdaterSandbox::UpdaterSandbox(const QString &updaterBinary, QObject *parent)
    : QObject(parent)
{
    if (usesWine()) {
        wine = WineSession::instance(&error);
        if (!wine)
            return;
    }
    if (!dir.isValid()) {
        fail(QStringLiteral("no temporary directory"));
        return;
    }
    for (const QString &sub : {installDir(), homeDir(), workDir(), dir.filePath(QStringLiteral("app")),
                               dir.filePath(QStringLiteral("runtime"))}) {
        if (!QDir().mkpath(sub)) {
            fail(QStringLiteral("cannot create ") + sub);
            return;
        }
    }
    QFile::setPermissions(dir.filePath(QStringLiteral("runtime")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (wine) {
        if (!copyTree(wine->bundleDir(), installDir())) {
            fail(QStringLiteral("cannot copy the bundle ") + wine->bundleDir());
            return;
        }
        // The keyed build is the same program with other keys compiled in.
        const QString exe = installDir() + QStringLiteral("/KorvelUpdater.exe");
        if (QFileInfo(updaterBinary).fileName() == QLatin1String("KorvelUpdaterTestKeys")
            && !(QFile::remove(exe) && QFile::copy(wine->keyedUpdater(), exe))) {
            fail(QStringLiteral("cannot copy the keyed build ") + wine->keyedUpdater());
            return;
        }
        // The profile outlives every sandbox of the session.
        QFile::remove(handOffPath());
    } else if (!QFile::copy(productPath(updaterBinary), installDir() + QStringLiteral("/KorvelUpdater"))) {
        fail(QStringLiteral("cannot copy ") + productPath(updaterBinary));
        return;
    }
    addSentinel(installDir());
    addSentinel(homeDir());
    addSentinel(workDir());

    if (wine) {
        environment = wine->environment();
        environment.insert(QStringLiteral("KORVEL_APP_RECORD"),
                           updaterPath(dir.filePath(QStringLiteral("app/started"))));
    } else {
        environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), homeDir());
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.filePath(QStringLiteral("runtime")));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
        // The default message category must reach us whatever the system's rules.
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("default.debug=true"));
        environment.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
        // Under ASan: the updater ends by _Exit, by our signal or after our
        // SIGTERM, which Qt's own leaks at that end would fail; the leak check
        // of a whole run is runAnother()'s. So the slow unwinder that the
        // check's readable traces need would only slow it down (twice over,
        // for a start of Qt Quick).
        const QString asan = environment.value(QStringLiteral("ASAN_OPTIONS"));
        if (!asan.isEmpty())
            environment.insert(QStringLiteral("ASAN_OPTIONS"), asan + QLatin1String(fastUnwinder));
    }
    setApp(App::Script);
}

UpdaterSandbox::~UpdaterSandbox()
{
    terminate();
    writeFile(dir.filePath(QStringLiteral("app/started.release")), QByteArray());
    if (wine)
        QFile::remove(handOffPath());
    // An application the updater started may still write its record while the
    // folder goes, and so keep it; once it is gone, the application ends.
    const QDeadlineTimer deadline(testTime(2000));
    while (!dir.remove() && QFileInfo::exists(dir.path()) && !deadline.hasExpired())
        QThread::msleep(20);
}

bool UpdaterSandbox::usesWine()
{
    return qEnvironmentVariable("KORVEL_RUNNER") == QLatin1String("wine");
}

QString UpdaterSandbox::unavailable()
{
    QString why;
    if (usesWine())
        WineSession::instance(&why);
    return why;
}

QString UpdaterSandbox::rootTemplate()
{
    WineSession *session = usesWine() ? WineSession::instance() : nullptr;
    return (session ? session->driveC() : QDir::tempPath()) + QStringLiteral("/korvel-sandbox-XXXXXX");
}

QString UpdaterSandbox::updaterPath(const QString &hostPath) const
{
    return wine ? wine->windowsPath(hostPath) : hostPath;
}

void UpdaterSandbox::fail(const QString &text)
{
    if (error.isEmpty())
        error = text;
}

QString UpdaterSandbox::installDir() const
{
    return dir.filePath(wine ? QStringLiteral("Program Files/Korvel Z\u00fcrich \u0141\u00f3d\u017a")
                             : QStringLiteral("install"));
}

QString UpdaterSandbox::homeDir() const
{
    return wine ? wine->profileDir() : dir.filePath(QStringLiteral("home"));
}

QString UpdaterSandbox::workDir() const
{
    return dir.filePath(QStringLiteral("work"));
}

QString UpdaterSandbox::handOffPath() const
{
    return homeDir() + QStringLiteral("/KorvelWindowsUpdaterTemp.txt");
}

void UpdaterSandbox::setApp(App kind)
{
    app = kind;
    const QString path = installDir() + QStringLiteral("/KorvelWindows.exe");
    QDir(path).removeRecursively();
    QFile::remove(path);
    const QString record = dir.filePath(QStringLiteral("app/started"));
    QFile::remove(record);

    if (kind == App::Missing)
        return;
    if (kind == App::Directory) {
        if (!QDir().mkpath(path))
            fail(QStringLiteral("cannot create the application directory"));
        return;
    }
    if (wine) {
        if (kind == App::Script ? !QFile::copy(wine->helper(), path)
                                : !writeFile(path, "this is no program\r\n"))
            fail(QStringLiteral("cannot write the application"));
        return;
    }
    // Its own output, so that it never writes into the updater's channels.
    const QByteArray polls = QByteArray::number(testTime(60000) / 50);
    const QByteArray script = "#!/bin/sh\n"
                              "exec >/dev/null 2>&1 </dev/null\n"
                              "record=${KORVEL_APP_RECORD:-'" + record.toUtf8() + "'}\n"
                              "echo \"started $#\" >> \"$record\"\n"
                              "echo \"image $(wc -c < \"$0\")\" >> \"$record\"\n"
                              "i=0\n"
                              // The sandbox writes the release as it goes; a
                              // poll that misses it still sees the folder gone.
                              "while [ ! -e \"$record.release\" ] && [ -d \"${record%/*}\" ] && [ $i -lt "
                              + polls + " ]; do\n"
                              "    sleep 0.05; i=$((i + 1))\n"
                              "done\n"
                              "[ -e \"$record.release\" ] && echo released >> \"$record\"\n";
    if (!writeFile(path, script)) {
        fail(QStringLiteral("cannot write the application"));
        return;
    }
    QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup
            | QFile::ReadOther;
    if (kind == App::Script)
        permissions |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    QFile::setPermissions(path, permissions);
}

bool UpdaterSandbox::appStarted() const
{
    return QFile::exists(dir.filePath(QStringLiteral("app/started")));
}

QByteArray UpdaterSandbox::appRecord() const
{
    QFile file(dir.filePath(QStringLiteral("app/started")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readLine().trimmed();
}

bool UpdaterSandbox::appOutlivedUpdater()
{
    const QString record = dir.filePath(QStringLiteral("app/started"));
    if (!writeFile(record + QStringLiteral(".release"), QByteArray()))
        return false;
    const QDeadlineTimer deadline(testTime(20000));
    while (!deadline.hasExpired()) {
        QFile file(record);
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains("released"))
            return true;
        QThread::msleep(50);
    }
    return false;
}

bool UpdaterSandbox::runApp(const QString &record)
{
    auto *app = new QProcess(this);
    QProcessEnvironment env = environment;
    env.insert(QStringLiteral("KORVEL_APP_RECORD"),
               updaterPath(dir.filePath(QStringLiteral("app/") + record)));
    app->setProcessEnvironment(env);
    const QString program = installDir() + QStringLiteral("/KorvelWindows.exe");
    if (wine)
        app->start(wine->wine(), wine->command(program, {}));
    else
        app->start(program, QStringList());
    if (!app->waitForStarted(testTime(10000)))
        return false;
    const QDeadlineTimer deadline(testTime(30000));
    while (appRecord(record).isEmpty() && !deadline.hasExpired())
        QThread::msleep(50);
    return !appRecord(record).isEmpty();
}

void UpdaterSandbox::releaseApp(const QString &record)
{
    writeFile(dir.filePath(QStringLiteral("app/") + record + QStringLiteral(".release")), QByteArray());
    for (QProcess *app : findChildren<QProcess *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (app != process && app->state() != QProcess::NotRunning)
            app->waitForFinished(testTime(30000));
    }
}

QByteArray UpdaterSandbox::appRecord(const QString &record) const
{
    QFile file(dir.filePath(QStringLiteral("app/") + record));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    file.readLine();
    return file.readLine().trimmed();
}

bool UpdaterSandbox::writeHandOff(const QByteArray &content)
{
    return writeFile(handOffPath(), content);
}

bool UpdaterSandbox::handOffExists() const
{
    return QFileInfo::exists(handOffPath());
}

QByteArray UpdaterSandbox::handOffContent() const
{
    QFile file(handOffPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QString UpdaterSandbox::makeDir(const QString &relativePath)
{
    const QString path = dir.filePath(relativePath);
    if (!QDir().mkpath(path))
        fail(QStringLiteral("cannot create ") + path);
    addSentinel(path);
    return path;
}

void UpdaterSandbox::addSentinel(const QString &directory)
{
    const QString path = directory + QLatin1Char('/') + QLatin1String(sentinelName);
    const QByteArray content = "not part of any update: " + path.toUtf8() + '\n';
    if (!writeFile(path, content))
        fail(QStringLiteral("cannot write ") + path);
    sentinels.insert(path, content);
}

QStringList UpdaterSandbox::damagedSentinels() const
{
    QStringList damaged;
    for (auto it = sentinels.cbegin(); it != sentinels.cend(); ++it) {
        QFile file(it.key());
        if (!file.open(QIODevice::ReadOnly) || file.readAll() != it.value())
            damaged.append(it.key());
    }
    return damaged;
}

void UpdaterSandbox::setEnvironmentValue(const QString &name, const QString &value)
{
    environment.insert(name, value);
}

QStringList UpdaterSandbox::leftovers() const
{
    QStringList found;
    // The lock file stays between runs: only the system's lock on it counts.
    QDirIterator it(dir.path(), {QStringLiteral("*.korvel-part"), QStringLiteral("*.korvel-old*"),
                                 QStringLiteral("KorvelUpdater.journal*")},
                    QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        found.append(it.next());
    return found;
}

bool UpdaterSandbox::canRunAsNobody()
{
    return !usesWine() && geteuid() == 0 && getpwuid(nobodyId) != nullptr;
}

bool UpdaterSandbox::runAsNobody()
{
    if (!canRunAsNobody())
        return false;
    asNobody = true;
    // Everybody may pass and read; home, work and the application's record
    // are writable, so that nothing fails for want of rights we meant to give.
    const auto open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
            | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    const auto shared = open | QFile::WriteGroup | QFile::WriteOther;
    QFile::setPermissions(dir.path(), open);
    QFile::setPermissions(installDir(), shared);
    QFile::setPermissions(homeDir(), shared);
    QFile::setPermissions(workDir(), shared);
    QFile::setPermissions(dir.filePath(QStringLiteral("app")), shared);
    const QByteArray runtime = QFile::encodeName(dir.filePath(QStringLiteral("runtime")));
    if (::chown(runtime.constData(), nobodyId, nobodyId) != 0)
        return false;
    return true;
}

void UpdaterSandbox::prepare(QProcess *updater) const
{
    if (wine && direct) {
        updater->setProgram(wine->wine());
        updater->setArguments(wine->command(installDir() + QStringLiteral("/KorvelUpdater.exe"), {}));
    } else if (wine) {
        // A Windows parent, so that the status is the one Windows reports.
        updater->setProgram(wine->wine());
        updater->setArguments(wine->command(
                wine->helper(), {QStringLiteral("run"),
                                 updaterPath(installDir() + QStringLiteral("/KorvelUpdater.exe"))
                                         .replace(QLatin1Char('/'), QLatin1Char('\\'))}));
    } else if (!launcher.isEmpty()) {
        updater->setProgram(launcher.first());
        updater->setArguments(launcher.mid(1) << installDir() + QStringLiteral("/KorvelUpdater"));
    } else {
        updater->setProgram(installDir() + QStringLiteral("/KorvelUpdater"));
    }
    updater->setWorkingDirectory(workDir());
    updater->setProcessEnvironment(environment);
    updater->setProcessChannelMode(QProcess::MergedChannels);
}

int UpdaterSandbox::runAnother(QByteArray *output, int timeoutMs)
{
    QProcess updater;
    prepare(&updater);
    // This one ends through main and so in the leak check, whose suppressions
    // need the slow unwinder's whole stacks.
    QProcessEnvironment env = environment;
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               env.value(QStringLiteral("ASAN_OPTIONS")).remove(QLatin1String(fastUnwinder)));
    updater.setProcessEnvironment(env);
    updater.start();
    // The test's own servers answer from this thread's event loop.
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(&updater, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
            &QEventLoop::quit);
    timer.start(timeoutMs);
    if (updater.state() != QProcess::NotRunning)
        loop.exec();
    if (updater.state() != QProcess::NotRunning) {
        updater.kill();
        updater.waitForFinished(5000);
        return -1000;
    }
    *output = updater.readAll().replace("\r\n", "\n");
    int status = updater.exitCode();
    if (wine && !windowsStatus(*output, &status))
        return -1000;
    return status;
}

bool UpdaterSandbox::start()
{
    if (!isValid() || isRunning())
        return false;
    delete process;
    terminatedByUs = false;
    process = new Process;
    process->setParent(this);
    prepare(process);
    const bool nobody = asNobody;
    const std::function<void()> extra = childSetup;
    process->setup = [nobody, extra] {
        if (extra)
            extra();
        if (nobody) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(nobodyId) != 0
                || ::setuid(nobodyId) != 0)
                ::_exit(127);
        }
        // Never outlive a test that dies; set last, a change of user clears it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    };
    connect(process, &QProcess::readyRead, this, &UpdaterSandbox::collect);
    process->start();
    return process->waitForStarted(testTime(10000));
}

qint64 UpdaterSandbox::pid() const
{
    return process ? process->processId() : 0;
}

bool UpdaterSandbox::hasEnded(qint64 pid)
{
    // The first thread may be a zombie while another still winds down.
    QDirIterator threads(QStringLiteral("/proc/%1/task").arg(pid), QDir::Dirs | QDir::NoDotAndDotDot);
    while (threads.hasNext()) {
        QFile stat(threads.next() + QStringLiteral("/stat"));
        const QByteArray line = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
        const QByteArray state = line.mid(line.lastIndexOf(") ") + 2, 1);
        if (!state.isEmpty() && state != "Z" && state != "X")
            return false;
    }
    return true;
}

bool UpdaterSandbox::isRunning() const
{
    return process && process->state() != QProcess::NotRunning;
}

void UpdaterSandbox::collect()
{
    if (!process)
        return;
    diagnostics += process->readAll();
    if (wine)
        diagnostics.replace("\r\n", "\n");
}

bool UpdaterSandbox::waitForExit(int timeoutMs)
{
    if (!isRunning()) {
        collect();
        return process != nullptr;
    }
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
            &QEventLoop::quit);
    timer.start(timeoutMs);
    loop.exec();
    collect();
    return !isRunning();
}

bool UpdaterSandbox::waitForOutput(const QByteArray &text, int timeoutMs)
{
    collect();
    if (diagnostics.contains(text))
        return true;
    if (!isRunning())
        return false;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
            &QEventLoop::quit);
    connect(process, &QProcess::readyRead, &loop, [&] {
        collect();
        if (diagnostics.contains(text))
            loop.quit();
    });
    timer.start(timeoutMs);
    loop.exec();
    collect();
    return diagnostics.contains(text);
}

bool UpdaterSandbox::staysRunning(int ms)
{
    return !waitForExit(ms) && isRunning();
}

void UpdaterSandbox::terminate()
{
    if (!isRunning())
        return;
    // Natively the updater takes SIGTERM as its window closed.
    if (wine)
        closedWindow = closeWindow() && waitForExit(testTime(30000));
    else
        closedWindow = ::kill(pid_t(process->processId()), SIGTERM) == 0
                && waitForExit(testTime(30000)) && process->exitStatus() == QProcess::NormalExit;
    if (!closedWindow)
        kill();
}

void UpdaterSandbox::kill()
{
    if (!isRunning())
        return;
    terminatedByUs = true;
    if (wine)
        wine->killAll();
    else
        ::kill(pid_t(process->processId()), SIGKILL);
    if (!process->waitForFinished(testTime(10000))) {
        ::kill(pid_t(process->processId()), SIGKILL);
        process->waitForFinished(testTime(5000));
    }
    collect();
}

bool UpdaterSandbox::closeWindow()
{
    return !wine->window(QLatin1String(windowTitle), false).isEmpty();
}

// Under Wine the helper that started the updater ends with "exit <status>".
static bool windowsStatus(const QByteArray &output, int *status)
{
    const int at = output.lastIndexOf("exit ");
    if (at < 0 || (at > 0 && output.at(at - 1) != '\n'))
        return false;
    bool ok = false;
    *status = output.mid(at + 5).trimmed().toInt(&ok);
    return ok;
}

bool UpdaterSandbox::crashed() const
{
    if (!process || terminatedByUs || process->state() != QProcess::NotRunning)
        return false;
    if (wine && !direct) {
        // An NTSTATUS error (0xC...) is how Windows ends a crashed program.
        int status = 0;
        return !windowsStatus(diagnostics, &status) || (quint32(status) >= 0xC0000000u);
    }
    return process->exitStatus() == QProcess::CrashExit;
}

int UpdaterSandbox::exitCode() const
{
    int status = -1;
    if (wine && !direct)
        return windowsStatus(diagnostics, &status) ? status : -1000;
    return process ? process->exitCode() : -1;
}

QString UpdaterSandbox::faultReport() const
{
    static const QByteArray markers[] = {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                                         "runtime error:", "ASSERT failure", "QFATAL",
                                         "Segmentation fault", "wine: Unhandled"};
    QStringList found;
    for (const QByteArray &line : diagnostics.split('\n')) {
        for (const QByteArray &marker : markers) {
            if (line.contains(marker)) {
                found.append(QString::fromLocal8Bit(line.left(300)));
                break;
            }
        }
    }
    return found.join(QLatin1Char('\n'));
}

QStringList UpdaterSandbox::requestedTargets() const
{
    // The manager writes the target as a quoted line right after the URL line.
    QStringList targets;
    const QList<QByteArray> lines = diagnostics.split('\n');
    for (int i = 0; i + 1 < lines.size(); ++i) {
        const QByteArray next = lines.at(i + 1);
        if (lines.at(i).startsWith("download: URL=") && next.startsWith('"')
            && next.endsWith('"'))
            targets.append(QString::fromLocal8Bit(next.mid(1, next.size() - 2)));
    }
    return targets;
}

QByteArray UpdaterSandbox::manifestItem(const QByteArray &name, const QByteArray &url,
                                        const QByteArray &installLocation)
{
    return "  <item>\n    <name>" + name + "</name>\n    <version>1.0.0</version>\n"
           "    <url>" + url + "</url>\n    <installlocation>" + installLocation
            + "</installlocation>\n    <filesize>0</filesize>\n"
              "    <requireuac>false</requireuac>\n  </item>\n";
}

QByteArray UpdaterSandbox::manifest(const QByteArray &items)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<model>\n" + items + "</model>\n";
}

QByteArray UpdaterSandbox::xmlEscaped(const QString &text)
{
    return text.toHtmlEscaped().toUtf8();
}

QByteArray UpdaterSandbox::pattern(int size, int seed)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((quint32(i) * 131 + quint32(seed) * 17 + quint32(i) / 256) & 0xff);
    return data;
}
