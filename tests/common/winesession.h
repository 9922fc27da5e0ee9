#ifndef WINESESSION_H
#define WINESESSION_H

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// The Windows build's world for one test process: a new Wine prefix whose Z:
// drive is gone, so a program sees only the prefix's C: drive, and an Xvfb
// display for its windows. Set up on first use; its processes are ended
// (wineserver -k) and the display stopped when the application object goes.
//
// It finds the Windows build in KORVEL_WIN64_BUILD (the bundle
// KorvelUpdater-win64/ and the tool's korvel-manifest-win64/, as scripts/windows.sh
// makes them) and the test helper in KORVEL_WINHELPER. KORVEL_WINE_GL makes
// the display's OpenGL one that cannot run Qt Quick: "none" (an X server
// without GLX) or "1.4" (Mesa in software, claiming OpenGL 1.4).
class WineSession
{
public:
    // Null when the session cannot be had; whyNot then says why.
    static WineSession *instance(QString *whyNot = nullptr);

    QString bundleDir() const;
    // korvel-manifest.exe in its folder, beside the DLLs it loads.
    QString manifestTool() const;
    // The Windows build of the updater with the test publisher keys.
    QString keyedUpdater() const;
    QString driveC() const { return prefix + QStringLiteral("/drive_c"); }
    // %USERPROFILE%, where the hand-off file goes.
    QString profileDir() const { return profile; }
    QString display() const { return displayName; }
    // False when KORVEL_WINE_GL took OpenGL 2 away.
    bool hasOpenGL2() const { return qEnvironmentVariableIsEmpty("KORVEL_WINE_GL"); }
    // The helper inside the prefix: the stand-in application and tools.
    QString helper() const { return driveC() + QStringLiteral("/korvel-tools/winhelper.exe"); }

    // A path below drive_c as a Windows program sees it ("C:/...").
    QString windowsPath(const QString &hostPath) const;
    // What a Windows program gets: nothing of the test's own environment but
    // what Wine needs, and Qt's messages on stderr instead of the debugger.
    QProcessEnvironment environment() const { return env; }
    // The Unix command that starts a Windows program of the prefix.
    QString wine() const;
    QStringList command(const QString &hostProgram, const QStringList &arguments) const;

    // Runs a Windows program to its end; its exit status, -1 on a timeout.
    int run(const QString &hostProgram, const QStringList &arguments, QByteArray *output,
            int timeoutMs = 120000) const;
    // Adds a PEM certificate to the prefix's trusted roots.
    bool trust(const QString &pemPath, QString *error) const;
    // Sets the user's Internet settings to a static proxy ("host:port"), or
    // back to a direct connection for an empty address.
    bool setProxy(const QString &address) const;
    // Ends every process of the prefix.
    void killAll() const;
    // Waits for the top-level window with this title on the display and,
    // unless findOnly, sends it WM_DELETE_WINDOW as a window manager's close
    // button does. Its X window id ("0x..."), empty when none appeared.
    QByteArray window(const QString &title, bool findOnly) const;
    // Runs a host program against the display; its exit status.
    int onDisplay(const QString &program, const QStringList &arguments, QByteArray *output) const;

private:
    WineSession() = default;
    bool setUp(QString *whyNot);
    static void shutdown();

    QTemporaryDir dir;
    QString prefix;
    QString profile;
    QString displayName;
    std::unique_ptr<QProcess> xvfb;
    QProcessEnvironment env;
};

#endif // WINESESSION_H
