#include "downloadmanager.h"
#include "renderer.h"
#include "signedrelease.h"
#include "transferrules.h"
#include "updaterlog.h"
#include "updatesession.h"
#include "utils.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlNetworkAccessManagerFactory>
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

namespace {

// The manifest's load through the QML engine obeys the transfer rules too,
// with the bound of the keyed check. May be called from the engine's threads.
class RuledManagerFactory : public QQmlNetworkAccessManagerFactory
{
public:
    QNetworkAccessManager *create(QObject *parent) override
    {
        return new RuledNetworkAccessManager(SignedRelease::MaximumManifestSize, parent);
    }
};

} // namespace

int main(int argc, char *argv[])
{
    // Before anything else, so that the copy also holds what Qt says on start.
    startUpdaterLog();
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QGuiApplication app(argc, argv);
    // One line where each run starts, and one where it ends: runs appended
    // to one log file read apart.
    qDebug() << "Updater started:" << QCoreApplication::applicationDirPath() << "pid"
             << QCoreApplication::applicationPid();

    // The lock, the release and what the publisher signed, for the whole run.
    UpdateSession session(QCoreApplication::applicationDirPath(), QByteArray(korvelPublisherKeys));
    if (!session.begin()) {
        qDebug() << "Updater ended: status 0, nothing touched (another updater, or a roll back "
                    "that cannot complete yet)";
        return 0;
    }
#ifdef Q_OS_UNIX
    QSocketNotifier *quitNotifier = quitOnSignals(&app);
#endif

    QQuickStyle::setStyle(QStringLiteral("Universal"));
    chooseRenderer();

    int status = 0;
    {
        // Outlives the engine.
        RuledManagerFactory networkFactory;
        QQmlApplicationEngine engine;
        engine.setNetworkAccessManagerFactory(&networkFactory);
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
    const bool rolledBack = session.rollBack();
    if (status == 0)
        qDebug() << "Updater ended: status 0, the window closed;"
                 << (rolledBack ? "rolled back" : "the roll back is not complete");
    else
        qDebug() << "Updater ended: status" << status << "the window could not be created";
    return status;
}
