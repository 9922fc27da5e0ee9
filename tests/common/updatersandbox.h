#ifndef UPDATERSANDBOX_H
#define UPDATERSANDBOX_H

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

class WineSession;

// The real updater in a throw-away installation: a temporary install directory
// holding a copy of the updater and a fake "KorvelWindows.exe" that records
// its start, a temporary HOME for the hand-off file, a working directory of
// its own, and a sentinel file in every directory an update may write to, so
// that a test can tell whether anything outside the update was touched.
// Its diagnostics are collected.
//
// Two runners. Native: the Linux build, headless (offscreen, software Qt
// Quick); a process still running when the sandbox goes is killed by its pid.
// Wine (KORVEL_RUNNER=wine): the Windows bundle, copied to a folder with a
// blank and non-ASCII letters on the C: drive of a WineSession, with a
// Windows stand-in application, the profile folder as home and a real window;
// a Windows parent reports its exit status, and a stalled run is ended by
// closing its window.
class UpdaterSandbox : public QObject
{
    Q_OBJECT

public:
    enum class App {
        Script,        // records its start and its argument count, then waits for release
        Missing,
        NotExecutable, // native: without its execute bits; Windows: not a program
        Directory,
    };

    // updaterBinary: the built updater (KORVEL_UPDATER_BIN, or KORVEL_UPDATER_KEYED_BIN
    // in a test); the Wine runner takes the bundle, with the Windows build of
    // the keyed updater for the latter.
    explicit UpdaterSandbox(const QString &updaterBinary, QObject *parent = nullptr);
    ~UpdaterSandbox() override;

    static bool usesWine();
    // Why this process's runner cannot run; empty when it can.
    static QString unavailable();
    // A host path as the updater names it (under Wine: "C:/...").
    QString updaterPath(const QString &hostPath) const;

    bool isValid() const { return error.isEmpty(); }
    QString errorText() const { return error; }

    QString root() const { return dir.path(); }
    QString installDir() const;
    QString homeDir() const;
    QString workDir() const;
    QString handOffPath() const;

    void setApp(App kind);
    bool appStarted() const;
    // What the fake application recorded first: "started <argument count>".
    QByteArray appRecord() const;
    // Releases the application and waits for its answer: true when it was
    // still running, which it was when it outlived the updater.
    bool appOutlivedUpdater();
    // Starts the installed application as its user would, before an update;
    // it records its start in "app/<record>" and runs until releaseApp().
    bool runApp(const QString &record);
    void releaseApp(const QString &record);
    // The record's lines after the first: the size of the program file that
    // was started ("image <bytes>").
    QByteArray appRecord(const QString &record) const;

    bool writeHandOff(const QByteArray &content);
    bool handOffExists() const;
    QByteArray handOffContent() const;

    // A directory below the sandbox root (created with its parents), holding
    // a sentinel file. Returns its absolute path.
    QString makeDir(const QString &relativePath);
    void addSentinel(const QString &directory);
    // Sentinels that are gone or changed; empty when all are intact.
    QStringList damagedSentinels() const;
    // Staging, set-aside and journal files anywhere in the sandbox.
    QStringList leftovers() const;

    void setEnvironmentValue(const QString &name, const QString &value);
    // Natively: a command that runs the updater, which is appended to it (strace).
    void setLauncher(const QStringList &command) { launcher = command; }
    // Under Wine: the updater as the first program of the prefix, without the
    // Windows parent, as a user starts it; after killAll() Wine gives it the
    // killed one's process id. Its status is then wine's.
    void setDirect(bool on) { direct = on; }
    // Runs in the child between fork and exec (async-signal-safe calls only).
    void setChildSetup(const std::function<void()> &setup) { childSetup = setup; }
    // Runs the updater as the user "nobody" (root would read and write
    // anything); the sandbox is opened up so that this user can use it.
    bool runAsNobody();
    static bool canRunAsNobody();

    // Also after an earlier run has ended: the diagnostics go on.
    bool start();
    // Runs one more updater in the same installation to its end while this
    // one may run: its exit status, -1000 when it did not end in time.
    int runAnother(QByteArray *output, int timeoutMs);
    qint64 pid() const;
    // Every thread of process pid has run to its end, so its files are
    // closed: a zombie not yet reaped, or nothing. kill() returns before that.
    static bool hasEnded(qint64 pid);
    bool isRunning() const;
    // Waits for the end of the process; false on timeout.
    bool waitForExit(int timeoutMs);
    // Waits until the diagnostics contain text; false on timeout or exit.
    bool waitForOutput(const QByteArray &text, int timeoutMs);
    // True when the process is still running after ms (a stall).
    bool staysRunning(int ms);
    // Ends a stalled process the way its user would, by closing its window
    // (natively: SIGTERM, which the updater takes as such); windowClosed()
    // then tells, and the status should be 0. When that fails, by force.
    void terminate();
    bool windowClosed() const { return closedWindow; }
    // Ends it at once, as a crash or a power cut would.
    void kill();

    // Ended on its own by a signal (not by terminate()).
    bool crashed() const;
    int exitCode() const;
    QByteArray output() const { return diagnostics; }
    // The lines of a sanitizer or a fatal Qt error, if any were written.
    QString faultReport() const;
    // Every line of the diagnostics that shows a download's target path.
    QStringList requestedTargets() const;

    // Manifest building blocks; the arguments are XML text as it stands.
    static QByteArray manifestItem(const QByteArray &name, const QByteArray &url,
                                   const QByteArray &installLocation);
    static QByteArray manifest(const QByteArray &items);
    static QByteArray xmlEscaped(const QString &text);
    // Deterministic content of any size, with every byte value.
    static QByteArray pattern(int size, int seed = 0);

private:
    class Process;

    void fail(const QString &text);
    void prepare(QProcess *updater) const;
    void collect();
    bool closeWindow();
    static QString rootTemplate();

    QString error;
    WineSession *wine = nullptr;
    QTemporaryDir dir{rootTemplate()};
    App app = App::Script;
    QProcessEnvironment environment;
    std::function<void()> childSetup;
    QStringList launcher;
    bool direct = false;
    bool asNobody = false;
    Process *process = nullptr;
    QByteArray diagnostics;
    bool terminatedByUs = false;
    bool closedWindow = false;
    QHash<QString, QByteArray> sentinels;
};

#endif // UPDATERSANDBOX_H
