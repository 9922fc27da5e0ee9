#include "downloadmanager.h"
#include "stall.h"
#include "testhttpserver.h"
#include "testtime.h"
#include "utils.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQmlExpression>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtQml>
#include <QtTest>

namespace {

// Debug output of the process, so that tests can read what the document
// asked the download manager for ("download: URL=" and the target path).
QMutex messageMutex;
QStringList messages;
// Warnings about the document itself (a script error in a handler, a
// failed binding): the document must never produce one.
QStringList documentWarnings;
QtMessageHandler previousHandler = nullptr;

void collectMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker locker(&messageMutex);
        if (type == QtDebugMsg)
            messages.append(message);
        else if (message.contains(QLatin1String("main.qml")))
            documentWarnings.append(message);
    }
    previousHandler(type, context, message);
}

QStringList collectedMessages()
{
    QMutexLocker locker(&messageMutex);
    return messages;
}

struct DownloadRequest
{
    QString url;
    QString path;
};

QString unquoted(const QString &text)
{
    if (text.size() >= 2 && text.startsWith(QLatin1Char('"')) && text.endsWith(QLatin1Char('"')))
        return text.mid(1, text.size() - 2);
    return text;
}

// Every download() call so far: its URL line and the path line right after.
QList<DownloadRequest> downloadRequests()
{
    const QString prefix = QStringLiteral("download: URL= ");
    const QStringList lines = collectedMessages();
    QList<DownloadRequest> requests;
    for (int i = 0; i < lines.size(); ++i) {
        if (!lines.at(i).startsWith(prefix))
            continue;
        requests.append({unquoted(lines.at(i).mid(prefix.size())), unquoted(lines.value(i + 1))});
    }
    return requests;
}

struct Component
{
    QString name;
    QString url;
    QString location; // null: no installlocation element at all
};

QByteArray manifest(const QList<Component> &components)
{
    QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<model>\n");
    for (const Component &component : components) {
        xml += QStringLiteral("  <item>\n    <name>%1</name>\n    <version>1.0.0</version>\n"
                              "    <url>%2</url>\n")
                       .arg(component.name.toHtmlEscaped(), component.url.toHtmlEscaped());
        if (!component.location.isNull())
            xml += QStringLiteral("    <installlocation>%1</installlocation>\n")
                           .arg(component.location.toHtmlEscaped());
        xml += QStringLiteral("    <filesize>1000</filesize>\n    <requireuac>false</requireuac>\n"
                              "  </item>\n");
    }
    xml += QStringLiteral("</model>\n");
    return xml.toUtf8();
}

QByteArray bodyOfSize(int size)
{
    QByteArray body;
    body.reserve(size);
    for (int i = 0; i < size; ++i)
        body.append(char('a' + (i * 7 + i / 26) % 26));
    return body;
}

// Headers and no body, then silence: such a transfer never ends by itself,
// so it can never be the one whose completion ends the process.
TestResponse heldResponse()
{
    TestResponse response;
    response.body = bodyOfSize(1000);
    response.holdAfter = 0;
    return response;
}

enum ModelStatus { Ready = 1, Error = 3 };

} // namespace

class tst_Window : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void initialDisplay();
    void windowFrame();
    void counterFollowsSequence();
    void percentage_data();
    void percentage();
    void receivedAmount_data();
    void receivedAmount();
    void signalsThatChangeNothing_data();
    void signalsThatChangeNothing();
    void retryWaitAndStall();
    void targetPath_data();
    void targetPath();
    void manifestWithoutItems_data();
    void manifestWithoutItems();
    void handOffFile_data();
    void handOffFile();
    void realTransfers_data();
    void realTransfers();

private:
    void load();
    bool startSequence(const QList<Component> &components);
    bool completeCurrentItem();
    void writeHandOff(const QByteArray &content);
    QString handOffPath() const;
    QObject *find(const char *objectName) const;
    QString text(const char *objectName) const;
    QObject *initTimer() const;
    QString heldUrl(int item);

    QByteArray originalHome;
    QString originalDir;
    QTemporaryDir *home = nullptr;
    TestHttpServer *server = nullptr;
    QQmlApplicationEngine *engine = nullptr;
    QQuickWindow *window = nullptr;
    DownloadManager *manager = nullptr;
};

void tst_Window::initTestCase()
{
    originalHome = qgetenv("HOME");
    originalDir = QDir::currentPath();
    // As at start-up: the style before any engine exists.
    QQuickStyle::setStyle(QStringLiteral("Universal"));
    qmlRegisterType<DownloadManager>("DownloadManager", 1, 0, "DownloadManager");
    qmlRegisterType<Utils>("Utils", 1, 0, "Utils");
    previousHandler = qInstallMessageHandler(collectMessage);
}

void tst_Window::cleanupTestCase()
{
    qInstallMessageHandler(previousHandler);
    qputenv("HOME", originalHome);
    QDir::setCurrent(originalDir);
}

void tst_Window::init()
{
    {
        QMutexLocker locker(&messageMutex);
        messages.clear();
        documentWarnings.clear();
    }
    home = new QTemporaryDir;
    QVERIFY(home->isValid());
    QVERIFY(QDir(home->path()).mkdir(QStringLiteral("install")));
    // Utils takes its hand-off path from HOME when it is created; relative
    // install locations land here too.
    qputenv("HOME", QFile::encodeName(home->path()));
    QVERIFY(QDir::setCurrent(home->path()));
    server = new TestHttpServer;
    QVERIFY(server->start());
}

void tst_Window::cleanup()
{
    // The engine first: a held transfer must never see its server go away
    // while the document could still react to it.
    delete engine;
    engine = nullptr;
    window = nullptr;
    manager = nullptr;
    delete server;
    server = nullptr;
    QDir::setCurrent(originalDir);
    delete home;
    home = nullptr;

    QMutexLocker locker(&messageMutex);
    QVERIFY2(documentWarnings.isEmpty(), qPrintable(documentWarnings.join(QLatin1Char('\n'))));
}

void tst_Window::load()
{
    engine = new QQmlApplicationEngine;
    engine->load(QUrl(QStringLiteral("qrc:/main.qml")));
    QCOMPARE(engine->rootObjects().size(), 1);
    window = qobject_cast<QQuickWindow *>(engine->rootObjects().constFirst());
    QVERIFY(window);
    manager = qobject_cast<DownloadManager *>(find("downloadManager"));
    QVERIFY(manager);
}

QObject *tst_Window::find(const char *objectName) const
{
    return window->findChild<QObject *>(QLatin1String(objectName));
}

QString tst_Window::text(const char *objectName) const
{
    QObject *object = find(objectName);
    return object ? object->property("text").toString() : QStringLiteral("<missing %1>").arg(QLatin1String(objectName));
}

QObject *tst_Window::initTimer() const
{
    const QList<QObject *> objects = window->findChildren<QObject *>();
    for (QObject *object : objects) {
        if (qstrcmp(object->metaObject()->className(), "QQmlTimer") == 0)
            return object;
    }
    return nullptr;
}

QString tst_Window::handOffPath() const
{
    return home->path() + QStringLiteral("/KorvelWindowsUpdaterTemp.txt");
}

void tst_Window::writeHandOff(const QByteArray &content)
{
    QFile file(handOffPath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

QString tst_Window::heldUrl(int item)
{
    const QByteArray path = "/held/" + QByteArray::number(item);
    server->setResponse(path, heldResponse());
    return server->url(QString::fromLatin1(path)).toString();
}

// Serves the manifest, hands it over and loads the document; true once the
// first item has been requested.
bool tst_Window::startSequence(const QList<Component> &components)
{
    server->setResponse("/manifest.xml", [&] {
        TestResponse response;
        response.body = manifest(components);
        return response;
    }());
    writeHandOff(server->url(QStringLiteral("/manifest.xml")).toString().toUtf8() + '\n');
    load();
    if (QTest::currentTestFailed())
        return false;
    return QTest::qWaitFor([] { return downloadRequests().size() == 1; }, testTime(20000));
}

// Stands in for the manager's completion of the current item. Refuses the
// last item: its completion starts the application and ends this process.
bool tst_Window::completeCurrentItem()
{
    if (window->property("currentIndex").toInt() >= window->property("xmlCount").toInt())
        return false;
    emit manager->downloadComplete();
    return true;
}

void tst_Window::initialDisplay()
{
    load();
    QCOMPARE(text("counterLabel"), QStringLiteral("Downloading (0/0)\n"));
    QCOMPARE(text("percentageLabel"), QStringLiteral("0%"));
    QCOMPARE(find("progressBar")->property("value").toDouble(), 0.0);
    QCOMPARE(text("fileSizeLabel"), QString());
    QObject *model = find("componentsModel");
    QVERIFY(model);
    QCOMPARE(model->property("source").toUrl(), QUrl());
    QCOMPARE(model->property("count").toInt(), 0);

    // Reading the hand-off file waits for a one-shot 100 ms timer.
    QObject *timer = initTimer();
    QVERIFY(timer);
    QCOMPARE(timer->property("interval").toInt(), 100);
    QCOMPARE(timer->property("repeat").toBool(), false);
    QCOMPARE(timer->property("running").toBool(), true);
    QTRY_COMPARE_WITH_TIMEOUT(timer->property("running").toBool(), false, testTime(10000));

    // A percentage alone leaves the amount empty until the first byte count.
    emit manager->progressPercentage(40);
    QCOMPARE(text("fileSizeLabel"), QString());
    QCOMPARE(text("counterLabel"), QStringLiteral("Downloading (0/0)\n"));
    QCOMPARE(downloadRequests().size(), 0);
}

void tst_Window::windowFrame()
{
    load();
    QCOMPARE(window->width(), 450);
    QCOMPARE(window->height(), 180);
    QCOMPARE(window->minimumSize(), QSize(450, 180));
    QCOMPARE(window->maximumSize(), QSize(450, 180));
    QCOMPARE(window->title(), QStringLiteral("Korvel update"));
    QVERIFY(window->isVisible());

    auto *background = window->property("background").value<QQuickItem *>();
    QVERIFY(background);
    QCOMPARE(background->property("color").value<QColor>(), QColor(Qt::black));

    QQmlExpression theme(qmlContext(window), window, QStringLiteral("Universal.theme === Universal.Dark"));
    QCOMPARE(theme.evaluate().toBool(), true);
    QVERIFY(!theme.hasError());
    QQmlExpression accent(qmlContext(window), window, QStringLiteral("Universal.accent"));
    QCOMPARE(accent.evaluate().value<QColor>(), QColor(QStringLiteral("#0092cc")));
    QVERIFY(!accent.hasError());

    // Placement within the 450 by 180 content area.
    auto *counter = qobject_cast<QQuickItem *>(find("counterLabel"));
    auto *bar = qobject_cast<QQuickItem *>(find("progressBar"));
    auto *percentage = qobject_cast<QQuickItem *>(find("percentageLabel"));
    auto *amount = qobject_cast<QQuickItem *>(find("fileSizeLabel"));
    QVERIFY(counter && bar && percentage && amount);
    QCOMPARE(counter->y(), 15.0);
    QCOMPARE(counter->x() + counter->width() / 2, 225.0);
    QCOMPARE(counter->property("color").value<QColor>(), QColor(Qt::white));
    QCOMPARE(counter->property("font").value<QFont>().pointSizeF(), 11.0);
    QVERIFY(qFuzzyCompare(bar->width(), 450 / 1.3));
    QCOMPARE(bar->x() + bar->width() / 2, 225.0);
    QCOMPARE(bar->y() + bar->height() / 2, 90.0);
    QCOMPARE(bar->property("from").toDouble(), 0.0);
    QCOMPARE(bar->property("to").toDouble(), 100.0);
    QCOMPARE(percentage->x() + percentage->width(), 440.0);
    QCOMPARE(percentage->y() + percentage->height() / 2, bar->y() + bar->height() / 2);
    emit manager->downloadedBytes(1536);
    QCOMPARE(amount->y() + amount->height(), 170.0);
    QCOMPARE(amount->x() + amount->width() / 2, 225.0);
}

void tst_Window::counterFollowsSequence()
{
    const QString install = home->path() + QStringLiteral("/install");
    const QList<Component> components = {
        {QStringLiteral("alpha.dll"), heldUrl(1), install},
        {QStringLiteral("KorvelWindows.exe"), heldUrl(2), install},
        {QStringLiteral("gamma.pak"), heldUrl(3), install},
    };
    QVERIFY(startSequence(components));
    QCOMPARE(find("componentsModel")->property("count").toInt(), 3);
    QVERIFY(collectedMessages().contains(QStringLiteral("Xml count: 3")));
    QCOMPARE(text("counterLabel"), QStringLiteral("Downloading (1/3)\nalpha.dll"));

    // Nothing moves on without a completion.
    QVERIFY(!QTest::qWaitFor([] { return downloadRequests().size() > 1; }, testTime(500)));

    // Each next item is requested inside the completion of the one before.
    QVERIFY(completeCurrentItem());
    QCOMPARE(downloadRequests().size(), 2);
    QCOMPARE(text("counterLabel"), QStringLiteral("Downloading (2/3)\nKorvelWindows.exe"));
    // Let it reach the server before the next one replaces it.
    QTRY_COMPARE_WITH_TIMEOUT(server->requestCount("/held/2"), 1, testTime(20000));
    QVERIFY(completeCurrentItem());
    QCOMPARE(downloadRequests().size(), 3);
    QCOMPARE(text("counterLabel"), QStringLiteral("Downloading (3/3)\ngamma.pak"));

    const QList<DownloadRequest> requests = downloadRequests();
    for (int i = 0; i < components.size(); ++i) {
        QCOMPARE(requests.at(i).url, components.at(i).url);
        QCOMPARE(requests.at(i).path, install + QLatin1Char('/') + components.at(i).name);
    }
    QTRY_COMPARE_WITH_TIMEOUT(server->requests().size(), 4, testTime(20000));
    const QList<RecordedRequest> received = server->requests();
    QCOMPARE(received.at(0).path, QByteArray("/manifest.xml"));
    QCOMPARE(received.at(1).path, QByteArray("/held/1"));
    QCOMPARE(received.at(2).path, QByteArray("/held/2"));
    QCOMPARE(received.at(3).path, QByteArray("/held/3"));
    QVERIFY(QFile::exists(handOffPath()));
}

void tst_Window::percentage_data()
{
    QTest::addColumn<int>("reported");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<double>("barValue");

    QTest::newRow("0") << 0 << QStringLiteral("0%") << 0.0;
    QTest::newRow("1") << 1 << QStringLiteral("1%") << 1.0;
    QTest::newRow("57") << 57 << QStringLiteral("57%") << 57.0;
    QTest::newRow("100") << 100 << QStringLiteral("100%") << 100.0;
    // Shown unchanged; the bar itself stays within its range.
    QTest::newRow("-5") << -5 << QStringLiteral("-5%") << 0.0;
    QTest::newRow("250") << 250 << QStringLiteral("250%") << 100.0;
}

void tst_Window::percentage()
{
    QFETCH(int, reported);
    QFETCH(QString, shown);
    QFETCH(double, barValue);

    load();
    // From another value, so that a label stuck at its start shows.
    emit manager->progressPercentage(33);
    QCOMPARE(text("percentageLabel"), QStringLiteral("33%"));
    emit manager->progressPercentage(reported);
    QCOMPARE(text("percentageLabel"), shown);
    QCOMPARE(window->property("downloadPercentage").toInt(), reported);
    QCOMPARE(find("progressBar")->property("value").toDouble(), barValue);
}

void tst_Window::receivedAmount_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("shown");

    QTest::newRow("0") << qint64(0) << QStringLiteral("0 bytes");
    QTest::newRow("1") << qint64(1) << QStringLiteral("1 bytes");
    QTest::newRow("2") << qint64(2) << QStringLiteral("2 bytes");
    QTest::newRow("1023") << qint64(1023) << QStringLiteral("1023 bytes");
    QTest::newRow("1024") << qint64(1024) << QStringLiteral("1 KB");
    QTest::newRow("1025") << qint64(1025) << QStringLiteral("1.0 KB");
    QTest::newRow("1536") << qint64(1536) << QStringLiteral("1.5 KB");
    QTest::newRow("1600") << qint64(1600) << QStringLiteral("1.6 KB");
    QTest::newRow("100000") << qint64(100000) << QStringLiteral("97.7 KB");
    QTest::newRow("1048575") << qint64(1048575) << QStringLiteral("1024.0 KB");
    QTest::newRow("1048576") << qint64(1048576) << QStringLiteral("1 MB");
    QTest::newRow("5000000") << qint64(5000000) << QStringLiteral("4.8 MB");
    QTest::newRow("2^30") << (qint64(1) << 30) << QStringLiteral("1 GB");
    QTest::newRow("3221225472") << qint64(3221225472) << QStringLiteral("3 GB");
    // Past the gigabytes the units go on.
    QTest::newRow("2^40 - 1") << (qint64(1) << 40) - 1 << QStringLiteral("1024.0 GB");
    QTest::newRow("2^40") << (qint64(1) << 40) << QStringLiteral("1 TB");
    QTest::newRow("1.5 * 2^40") << (qint64(3) << 39) << QStringLiteral("1.5 TB");
    QTest::newRow("2^50") << (qint64(1) << 50) << QStringLiteral("1 PB");
    QTest::newRow("3 * 2^50") << (qint64(3) << 50) << QStringLiteral("3 PB");
    QTest::newRow("2^60") << (qint64(1) << 60) << QStringLiteral("1 EB");
    QTest::newRow("largest") << std::numeric_limits<qint64>::max() << QStringLiteral("8 EB");
}

void tst_Window::receivedAmount()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, shown);

    load();
    QCOMPARE(text("fileSizeLabel"), QString());
    emit manager->downloadedBytes(bytes);
    QCOMPARE(text("fileSizeLabel"), shown);
}

void tst_Window::signalsThatChangeNothing_data()
{
    QTest::addColumn<QString>("signal");

    QTest::newRow("downloadStatus") << QStringLiteral("downloadStatus");
    QTest::newRow("downloadPaused") << QStringLiteral("downloadPaused");
    QTest::newRow("downloadResumed") << QStringLiteral("downloadResumed");
    QTest::newRow("recordFailed") << QStringLiteral("recordFailed");
    QTest::newRow("downloadStarted") << QStringLiteral("downloadStarted");
    QTest::newRow("downloadCancelled") << QStringLiteral("downloadCancelled");
    // These two end a transfer without completion: the sequence stays put.
    QTest::newRow("downloadError") << QStringLiteral("downloadError");
    QTest::newRow("internalDownloadError") << QStringLiteral("internalDownloadError");
}

void tst_Window::signalsThatChangeNothing()
{
    QFETCH(QString, signal);

    const QString install = home->path() + QStringLiteral("/install");
    QVERIFY(startSequence({
            {QStringLiteral("one.bin"), heldUrl(1), install},
            {QStringLiteral("two.bin"), heldUrl(2), install},
            {QStringLiteral("three.bin"), heldUrl(3), install},
    }));
    QVERIFY(completeCurrentItem());
    emit manager->progressPercentage(37);
    emit manager->downloadedBytes(1536);

    const auto snapshot = [this] {
        return QStringList{text("counterLabel"), text("percentageLabel"),
                           find("progressBar")->property("value").toString(),
                           text("fileSizeLabel"), window->property("currentIndex").toString(),
                           QString::number(downloadRequests().size())};
    };
    const QStringList before = snapshot();
    QCOMPARE(before.at(0), QStringLiteral("Downloading (2/3)\ntwo.bin"));
    QCOMPARE(before.at(1), QStringLiteral("37%"));
    QCOMPARE(before.at(3), QStringLiteral("1.5 KB"));

    if (signal == QLatin1String("downloadStatus"))
        emit manager->downloadStatus(0.75f);
    else if (signal == QLatin1String("downloadPaused"))
        emit manager->downloadPaused();
    else if (signal == QLatin1String("downloadResumed"))
        emit manager->downloadResumed();
    else if (signal == QLatin1String("recordFailed"))
        emit manager->recordFailed();
    else if (signal == QLatin1String("downloadStarted"))
        emit manager->downloadStarted();
    else if (signal == QLatin1String("downloadCancelled"))
        emit manager->downloadCancelled();
    else if (signal == QLatin1String("downloadError"))
        emit manager->downloadError(QNetworkReply::ContentNotFoundError);
    else if (signal == QLatin1String("internalDownloadError"))
        emit manager->internalDownloadError();
    else
        QFAIL("unknown signal");

    QCOMPARE(snapshot(), before);
    // Nor later: no third item, and the hand-off file stays.
    QVERIFY(!QTest::qWaitFor([] { return downloadRequests().size() > 2; }, testTime(500)));
    QCOMPARE(snapshot(), before);
    QVERIFY(QFile::exists(handOffPath()));
}

// A wait before a retry adds a line and takes nothing away; a stall replaces
// the progress with its cause, in a window of the same size and look.
void tst_Window::retryWaitAndStall()
{
    const QString install = home->path() + QStringLiteral("/install");
    QVERIFY(startSequence({
            {QStringLiteral("one.bin"), heldUrl(1), install},
            {QStringLiteral("two.bin"), heldUrl(2), install},
    }));
    QVERIFY(completeCurrentItem());
    emit manager->progressPercentage(37);
    emit manager->downloadedBytes(1536);
    const auto visible = [this](const char *name) { return find(name)->property("visible").toBool(); };
    QVERIFY(!visible("retryLabel"));

    emit manager->retryStatus(QStringLiteral("Connection lost. Trying again in 8 s"));
    QVERIFY(visible("retryLabel"));
    QCOMPARE(text("retryLabel"), QStringLiteral("Connection lost. Trying again in 8 s"));
    QCOMPARE(text("counterLabel"), QStringLiteral("Downloading (2/2)\ntwo.bin"));
    QCOMPARE(text("percentageLabel"), QStringLiteral("37%"));
    emit manager->retryStatus(QString());
    QVERIFY(!visible("retryLabel"));

    emit manager->retryStatus(QStringLiteral("The server is busy. Trying again in 2 s"));
    const QString stall = Stall::text(Stall::Cause::Network);
    emit manager->stalled(stall);
    QCOMPARE(text("counterLabel"), stall);
    QVERIFY(stall.endsWith(QLatin1String("\nThe installed version is kept.")));
    for (const char *name : {"progressBar", "percentageLabel", "fileSizeLabel", "retryLabel"})
        QVERIFY2(!visible(name), name);
    QCOMPARE(window->size(), QSize(450, 180));
    // Both lines fit: nothing of the text is cut at the window's edges.
    QQuickItem *counter = qobject_cast<QQuickItem *>(find("counterLabel"));
    QVERIFY(counter->width() <= window->width() && counter->property("lineCount").toInt() <= 3);
    QCOMPARE(downloadRequests().size(), 2);
}

void tst_Window::targetPath_data()
{
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");

    // <home> stands for the test's home directory. A name that is no plain
    // file name counts as empty: the target is then the folder itself, which
    // is never requested (the next item is), so these rows create nothing
    // outside <home>.
    const QString nested = QStringLiteral("korvel-window-test-missing/a.bin");
    QTest::newRow("installdir")
            << QStringLiteral("installdir") << nested
            << QCoreApplication::applicationDirPath() + QLatin1Char('/');
    QTest::newRow("absolute")
            << QStringLiteral("<home>/install") << QStringLiteral("b.bin")
            << QStringLiteral("<home>/install/b.bin");
    QTest::newRow("trailing slash doubled")
            << QStringLiteral("<home>/install/") << QStringLiteral("c.bin")
            << QStringLiteral("<home>/install//c.bin");
    QTest::newRow("other case is a path")
            << QStringLiteral("InstallDir") << nested << QStringLiteral("InstallDir/");
    QTest::newRow("trailing blank is a path")
            << QStringLiteral("installdir ") << nested << QStringLiteral("installdir /");
    QTest::newRow("leading blank is a path")
            << QStringLiteral(" installdir") << nested << QStringLiteral(" installdir/");
    QTest::newRow("empty") << QString(QLatin1String("")) << nested << QStringLiteral("/");
    QTest::newRow("absent") << QString() << nested << QStringLiteral("/");
    for (const QString &name : {QStringLiteral("../escaped.bin"), QStringLiteral("sub\\..\\..\\x"),
                                QStringLiteral("."), QStringLiteral("..")})
        QTest::newRow(qPrintable(QStringLiteral("name ") + name))
                << QStringLiteral("<home>/install") << name << QStringLiteral("<home>/install/");
}

void tst_Window::targetPath()
{
    QFETCH(QString, location);
    QFETCH(QString, name);
    QFETCH(QString, expected);

    const QString homePath = home->path();
    if (!location.isNull())
        location.replace(QStringLiteral("<home>"), homePath);
    expected.replace(QStringLiteral("<home>"), homePath);

    // A held item, then another held one that a refused name leads to: the
    // last one never completes here.
    const QString url = heldUrl(1);
    const QString next = heldUrl(2);
    const bool refused = !expected.endsWith(name);
    if (refused)
        expected = homePath + QStringLiteral("/install/next.bin");
    QVERIFY(startSequence({{name, url, location}, {QStringLiteral("next.bin"), next, homePath + QStringLiteral("/install")}}));
    const QList<DownloadRequest> requests = downloadRequests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.at(0).url, refused ? next : url);
    QCOMPARE(requests.at(0).path, expected);
    QCOMPARE(text("counterLabel"), refused ? QStringLiteral("Downloading (2/2)\nnext.bin")
                                           : QStringLiteral("Downloading (1/2)\n") + name);
    QCOMPARE(collectedMessages().filter(QStringLiteral("Not a file name: ")).size(), refused ? 1 : 0);
    QVERIFY(!QFile::exists(homePath + QStringLiteral("/escaped.bin")));
}

void tst_Window::manifestWithoutItems_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    // The one line that says why; MANIFEST stands for the address.
    QTest::addColumn<QString>("said");

    const QByteArray item = "<item><name>x.bin</name><url>URL</url>"
                            "<installlocation>INSTALL</installlocation></item>";
    const QString noItems = QStringLiteral("Manifest has no items: \"MANIFEST\"");
    QTest::newRow("no items") << QByteArray("<?xml version=\"1.0\"?>\n<model></model>\n") << 200
                              << noItems;
    QTest::newRow("items nested deeper")
            << QByteArray("<model><group>" + item + "</group></model>") << 200 << noItems;
    QTest::newRow("items under another root")
            << QByteArray("<catalog>" + item + "</catalog>") << 200 << noItems;
    QTest::newRow("not xml") << QByteArray("this is not a manifest") << 200 << noItems;
    QTest::newRow("truncated") << QByteArray("<model><item><name>x.bin</name>") << 200 << noItems;
    QTest::newRow("not found") << QByteArray("not found") << 404
                               << QStringLiteral("Manifest error: \"MANIFEST\" Error transferring "
                                                 "MANIFEST - server replied: Canned");
}

void tst_Window::manifestWithoutItems()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, said);

    body.replace("URL", heldUrl(1).toUtf8());
    body.replace("INSTALL", QFile::encodeName(home->path() + QStringLiteral("/install")));
    TestResponse response;
    response.status = status;
    response.body = body;
    server->setResponse("/manifest.xml", response);
    writeHandOff(server->url(QStringLiteral("/manifest.xml")).toString().toUtf8() + '\n');
    load();

    QObject *model = find("componentsModel");
    // Ready with no items or an error: either way the model has settled.
    QTRY_VERIFY_WITH_TIMEOUT(model->property("status").toInt() == Ready
                                     || model->property("status").toInt() == Error,
                             testTime(20000));
    QCOMPARE(model->property("count").toInt(), 0);
    QCOMPARE(downloadRequests().size(), 0);
    QCOMPARE(server->requestCount("/held/1"), 0);
    // Nothing to do is no progress: the window says the update stopped.
    QTRY_COMPARE_WITH_TIMEOUT(text("counterLabel"), Stall::text(Stall::Cause::Manifest), testTime(5000));
    QVERIFY(QFile::exists(handOffPath()));
    said.replace(QStringLiteral("MANIFEST"), server->url(QStringLiteral("/manifest.xml")).toString());
    QTRY_COMPARE_WITH_TIMEOUT(collectedMessages().filter(QStringLiteral("Manifest ")),
                              QStringList(said), testTime(10000));
}

void tst_Window::handOffFile_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("requested");

    // FIRST and LAST stand for two manifests with one item each.
    QTest::newRow("one line") << true << QByteArray("LAST\n") << QStringLiteral("LAST")
                              << QStringLiteral("last.bin");
    QTest::newRow("no line end") << true << QByteArray("LAST") << QStringLiteral("LAST")
                                 << QStringLiteral("last.bin");
    QTest::newRow("last line wins") << true << QByteArray("FIRST\nLAST\n")
                                    << QStringLiteral("LAST") << QStringLiteral("last.bin");
    QTest::newRow("empty last line") << true << QByteArray("FIRST\n\n") << QString()
                                     << QString();
    QTest::newRow("empty file") << true << QByteArray() << QString() << QString();
    QTest::newRow("missing file") << false << QByteArray() << QString() << QString();
}

void tst_Window::handOffFile()
{
    QFETCH(bool, present);
    QFETCH(QByteArray, content);
    QFETCH(QString, source);
    QFETCH(QString, requested);

    const QString install = home->path() + QStringLiteral("/install");
    const QString first = server->url(QStringLiteral("/first.xml")).toString();
    const QString last = server->url(QStringLiteral("/last.xml")).toString();
    TestResponse firstManifest;
    firstManifest.body = manifest({{QStringLiteral("first.bin"), heldUrl(1), install}});
    server->setResponse("/first.xml", firstManifest);
    TestResponse lastManifest;
    lastManifest.body = manifest({{QStringLiteral("last.bin"), heldUrl(2), install}});
    server->setResponse("/last.xml", lastManifest);

    content.replace("FIRST", first.toUtf8());
    content.replace("LAST", last.toUtf8());
    source.replace(QStringLiteral("FIRST"), first);
    source.replace(QStringLiteral("LAST"), last);
    if (present)
        writeHandOff(content);
    load();

    QObject *timer = initTimer();
    QVERIFY(timer);
    QTRY_COMPARE_WITH_TIMEOUT(timer->property("running").toBool(), false, testTime(10000));
    QObject *model = find("componentsModel");
    QCOMPARE(model->property("source").toUrl(), QUrl(source));

    if (requested.isEmpty()) {
        QVERIFY(!QTest::qWaitFor([] { return !downloadRequests().isEmpty(); }, testTime(1000)));
        QCOMPARE(model->property("count").toInt(), 0);
        QCOMPARE(text("counterLabel"), QStringLiteral("Downloading (0/0)\n"));
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(downloadRequests().size(), 1, testTime(20000));
        QCOMPARE(downloadRequests().at(0).path, install + QLatin1Char('/') + requested);
        // The load that a later line cancelled is no manifest error.
        QCOMPARE(collectedMessages().filter(QStringLiteral("Manifest ")), QStringList());
        QCOMPARE(text("counterLabel"), QStringLiteral("Downloading (1/1)\n") + requested);
    }
}

void tst_Window::realTransfers_data()
{
    QTest::addColumn<int>("firstSize");
    QTest::addColumn<int>("secondStatus");
    QTest::addColumn<bool>("thirdRequested");

    QTest::newRow("two files, then the held last") << 4000 << 200 << true;
    // 149 bytes or less is a failed download, and the sequence goes on.
    QTest::newRow("small first file") << 149 << 200 << true;
    QTest::newRow("404 at item 2 stops") << 4000 << 404 << false;
}

void tst_Window::realTransfers()
{
    QFETCH(int, firstSize);
    QFETCH(int, secondStatus);
    QFETCH(bool, thirdRequested);

    const QString install = home->path() + QStringLiteral("/install");
    TestResponse first;
    first.body = bodyOfSize(firstSize);
    server->setResponse("/files/first.bin", first);
    TestResponse second;
    second.status = secondStatus;
    second.body = bodyOfSize(300);
    server->setResponse("/files/second.bin", second);

    const QList<Component> components = {
        {QStringLiteral("first.bin"), server->url(QStringLiteral("/files/first.bin")).toString(), install},
        {QStringLiteral("second.bin"), server->url(QStringLiteral("/files/second.bin")).toString(), install},
        {QStringLiteral("third.bin"), heldUrl(3), install},
    };
    QVERIFY(startSequence(components));

    if (thirdRequested) {
        QTRY_COMPARE_WITH_TIMEOUT(server->requestCount("/held/3"), 1, testTime(20000));
        QCOMPARE(text("counterLabel"), QStringLiteral("Downloading (3/3)\nthird.bin"));
        QFile written(install + QStringLiteral("/second.bin"));
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), second.body);
        // Until the held item reports, the display keeps the previous item's end.
        QCOMPARE(text("percentageLabel"), QStringLiteral("100%"));
        QCOMPARE(text("fileSizeLabel"), QStringLiteral("300 bytes"));
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(server->requestCount("/files/second.bin"), 1, testTime(20000));
        QVERIFY(QTest::qWaitFor([&components] {
            return collectedMessages().contains(QStringLiteral("Error: ContentNotFoundError \"%1\"")
                                                        .arg(components.at(1).url));
        }, testTime(20000)));
        QVERIFY(!QTest::qWaitFor([this] { return server->requestCount("/held/3") > 0; }, testTime(1000)));
        QCOMPARE(downloadRequests().size(), 2);
        // Not the first item's figures: the cause, and no progress.
        QCOMPARE(text("counterLabel"), Stall::text(Stall::Cause::Missing));
        QVERIFY(!find("progressBar")->property("visible").toBool());
        QVERIFY(QFile::exists(handOffPath()));
    }

    // A failed (small) file is removed later by the manager; a good one stays.
    if (firstSize > DownloadManager::FailedSizeLimit) {
        QFile written(install + QStringLiteral("/first.bin"));
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), first.body);
    }

    // One at a time: each request follows the end of the one before.
    const QStringList lines = collectedMessages();
    const QString prefix = QStringLiteral("download: URL= ");
    QStringList order;
    for (const QString &line : lines) {
        if (line.startsWith(prefix))
            order << QStringLiteral("request");
        else if (line == QLatin1String("finished") || line.startsWith(QLatin1String("Error:")))
            order << QStringLiteral("end");
    }
    const QStringList expected = thirdRequested
            ? QStringList{QStringLiteral("request"), QStringLiteral("end"), QStringLiteral("request"),
                          QStringLiteral("end"), QStringLiteral("request")}
            : QStringList{QStringLiteral("request"), QStringLiteral("end"), QStringLiteral("request"),
                          QStringLiteral("end")};
    QCOMPARE(order, expected);
    const QList<RecordedRequest> received = server->requests();
    QCOMPARE(received.value(0).path, QByteArray("/manifest.xml"));
    QCOMPARE(received.value(1).path, QByteArray("/files/first.bin"));
    QCOMPARE(received.value(2).path, QByteArray("/files/second.bin"));
    QCOMPARE(received.size(), thirdRequested ? 4 : 3);
}

QTEST_MAIN(tst_Window)

#include "tst_window.moc"
