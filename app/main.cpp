#include "downloadmanager.h"
#include "renderer.h"
#include "updaterlog.h"
#include "updatesession.h"
#include "utils.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QUrl>
#include <QtQml>

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
QSocketNotifier *quitOnSignals(QCoreApplication *app)
{
    if (::pipe(quitPipe) != 0)
        return nullptr;
    auto *notifier = new QSocketNotifier(quitPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, &QCoreApplication::quit);
    struct sigaction action = {};
    action.sa_handler = requestQuit;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGTERM, SIGHUP, SIGINT})
        sigaction(signal, &action, nullptr);
    return notifier;
}

} // namespace
#endif

int main(int argc, char *argv[])
{
    // Before anything else, so that the copy also holds what Qt says on start.
    startUpdaterLog();
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QGuiApplication app(argc, argv);

    // The lock, the release and what the publisher signed, for the whole run.
    UpdateSession session(QCoreApplication::applicationDirPath(), QByteArray(korvelPublisherKeys));
    if (!session.begin())
        return 0;
#ifdef Q_OS_UNIX
    QSocketNotifier *quitNotifier = quitOnSignals(&app);
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
        // The hand-off file's address also names the release a keyed build
        // checks; the document reads it from its timer, after this.
        QObject::connect(&engine, &QQmlApplicationEngine::objectCreated, &session,
                         [&session](QObject *object) {
                             if (!object)
                                 return;
                             for (Utils *utils : object->findChildren<Utils *>())
                                 QObject::connect(utils, &Utils::fileOutput, &session,
                                                  &UpdateSession::handOffLine);
                         });
        engine.load(url);

        status = app.exec();
    }
#ifdef Q_OS_UNIX
    // The pipe is never read: a signal would now quit every wait of the roll
    // back at once, and a quit holds for every event loop after it.
    if (quitNotifier)
        quitNotifier->setEnabled(false);
#endif
    // The window closed before the sequence ended (a complete update never
    // comes back here). The engine is gone, and with it every open staging file.
    session.rollBack();
    return status;
}
