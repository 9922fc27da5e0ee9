#include "componentsignature.h"
#include "downloadmanager.h"
#include "instancelock.h"
#include "releasetransaction.h"
#include "renderer.h"
#include "signedrelease.h"
#include "stagedfile.h"
#include "updaterlog.h"
#include "utils.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QUrl>
#include <QtQml>

#include <memory>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <csignal>
#include <unistd.h>
#endif

// Compiled in from the PEM file the build was given; empty for none.
extern const char korvelPublisherKeys[];

#ifdef Q_OS_UNIX
namespace {

int quitPipe[2] = {-1, -1};

void requestQuit(int)
{
    const char byte = 0;
    [[maybe_unused]] const ssize_t written = ::write(quitPipe[1], &byte, 1);
}

// The end of a session (SIGTERM, SIGHUP) or Ctrl+C ends the updater as a
// closed window does, so that an unfinished update is rolled back.
void quitOnSignals(QCoreApplication *app)
{
    if (::pipe(quitPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(quitPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, &QCoreApplication::quit);
    struct sigaction action = {};
    action.sa_handler = requestQuit;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGTERM, SIGHUP, SIGINT})
        sigaction(signal, &action, nullptr);
}

} // namespace
#endif

int main(int argc, char *argv[])
{
    // Before anything else, so that the copy also holds what Qt says on start.
    startUpdaterLog();
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QGuiApplication app(argc, argv);

    const QString folder = QCoreApplication::applicationDirPath();
    // A second updater of this installation would write into the same files.
    InstanceLock lock(folder);
    if (!lock.acquire())
        return 0;
    // Before anything else, a run that was killed or lost its power goes
    // back to the release it started from; the journal stays when it cannot.
    ReleaseTransaction release(folder);
    if (!release.recover())
        return 0;
    StagedFile::removeLeftovers(folder);
    ComponentSignature::setPublisherKeys(QByteArray(korvelPublisherKeys));
    // A keyed build installs only the release its publisher signed.
    std::unique_ptr<SignedRelease> signedRelease;
    if (ComponentSignature::required())
        signedRelease.reset(new SignedRelease(folder));
#ifdef Q_OS_UNIX
    quitOnSignals(&app);
#endif

    QQuickStyle::setStyle(QStringLiteral("Universal"));
    chooseRenderer();

    int status = 0;
    {
        QQmlApplicationEngine engine;
        qmlRegisterType<DownloadManager>("DownloadManager", 1, 0, "DownloadManager");
        qmlRegisterType<Utils>("Utils", 1, 0, "Utils");

        const QUrl url(QStringLiteral("qrc:/main.qml"));
        // Queued, so that the exit request meets a running event loop.
        QObject::connect(&engine, &QQmlApplicationEngine::objectCreated, &app,
                         [url](QObject *object, const QUrl &objectUrl) {
                             if (!object && url == objectUrl)
                                 QCoreApplication::exit(-1);
                         },
                         Qt::QueuedConnection);
        engine.load(url);

        status = app.exec();
    }
    // The window closed before the sequence ended (a complete update never
    // comes back here). The engine is gone, and with it every open staging file.
    release.rollBack();
    return status;
}
