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

// The real updater in a throw-away installation: a temporary install directory
// holding a copy of the updater and a fake "KorvelWindows.exe" that records
// its start, a temporary HOME for the hand-off file, a working directory of
// its own, and a sentinel file in every directory an update may write to, so
// that a test can tell whether anything outside the update was touched.
// The updater runs headless (offscreen, software Qt Quick); its diagnostics
// are collected. A process still running when the sandbox goes is killed by
// its pid.
class UpdaterSandbox : public QObject
{
    Q_OBJECT

public:
    enum class App {
        Script,        // records its start and its argument count, then ends
        Missing,
        NotExecutable, // the recording script without its execute bits
        Directory,
    };

    // updaterBinary: the built updater (KORVEL_UPDATER_BIN in a test).
    explicit UpdaterSandbox(const QString &updaterBinary, QObject *parent = nullptr);
    ~UpdaterSandbox() override;

    bool isValid() const { return error.isEmpty(); }
    QString errorText() const { return error; }

    QString root() const { return dir.path(); }
    QString installDir() const;
    QString homeDir() const;
    QString workDir() const;
    QString handOffPath() const;

    void setApp(App kind);
    bool appStarted() const;
    // What the fake application recorded: "started <argument count>".
    QByteArray appRecord() const;

    bool writeHandOff(const QByteArray &content);
    bool handOffExists() const;
    QByteArray handOffContent() const;

    // A directory below the sandbox root (created with its parents), holding
    // a sentinel file. Returns its absolute path.
    QString makeDir(const QString &relativePath);
    void addSentinel(const QString &directory);
    // Sentinels that are gone or changed; empty when all are intact.
    QStringList damagedSentinels() const;

    void setEnvironmentValue(const QString &name, const QString &value);
    // Runs in the child between fork and exec (async-signal-safe calls only).
    void setChildSetup(const std::function<void()> &setup) { childSetup = setup; }
    // Runs the updater as the user "nobody" (root would read and write
    // anything); the sandbox is opened up so that this user can use it.
    bool runAsNobody();
    static bool canRunAsNobody();

    bool start();
    qint64 pid() const;
    bool isRunning() const;
    // Waits for the end of the process; false on timeout.
    bool waitForExit(int timeoutMs);
    // Waits until the diagnostics contain text; false on timeout or exit.
    bool waitForOutput(const QByteArray &text, int timeoutMs);
    // True when the process is still running after ms (a stall).
    bool staysRunning(int ms);
    // Ends a stalled process by its pid.
    void terminate();

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
    void collect();

    QString error;
    QTemporaryDir dir;
    App app = App::Script;
    QProcessEnvironment environment;
    std::function<void()> childSetup;
    bool asNobody = false;
    Process *process = nullptr;
    QByteArray diagnostics;
    bool terminatedByUs = false;
    QHash<QString, QByteArray> sentinels;
};

#endif // UPDATERSANDBOX_H
