#include "componentsignature.h"
#include "downloadmanager.h"
#include "instancelock.h"
#include "renderer.h"
#include "stagedfile.h"
#include "updaterlog.h"
#include "utils.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QUrl>
#include <QtQml>

// Compiled in from the PEM file the build was given; empty for none.
extern const char korvelPublisherKeys[];

int main(int argc, char *argv[])
{
    // Before anything else, so that the copy also holds what Qt says on start.
    startUpdaterLog();
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QGuiApplication app(argc, argv);

    // A second updater of this installation would write into the same files.
    InstanceLock lock(QCoreApplication::applicationDirPath());
    if (!lock.acquire())
        return 0;
    StagedFile::removeLeftovers(QCoreApplication::applicationDirPath());
    ComponentSignature::setPublisherKeys(QByteArray(korvelPublisherKeys));

    QQuickStyle::setStyle(QStringLiteral("Universal"));
    chooseRenderer();

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

    return app.exec();
}
