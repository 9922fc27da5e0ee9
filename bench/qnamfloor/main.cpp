// The cost of Qt's HTTP stack alone: GETs the given URLs one after another
// with a bare QNetworkAccessManager, each next request from the finished
// handler of the one before, as the updater does. No files, no window.
//   qnamfloor URL...   (or the URLs one a line on standard input)

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTextStream>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList urls = app.arguments().mid(1);
    if (urls.isEmpty()) {
        QTextStream in(stdin);
        while (!in.atEnd())
            urls.append(in.readLine());
    }

    QNetworkAccessManager manager;
    QElapsedTimer timer;
    int next = 0;
    qint64 bytes = 0;
    std::function<void()> request = [&] {
        if (next == urls.size()) {
            std::printf("%d requests, %lld bytes in %lld ms\n", int(urls.size()), bytes,
                        timer.elapsed());
            app.quit();
            return;
        }
        QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(urls.at(next++))));
        QObject::connect(reply, &QNetworkReply::finished, &app, [&, reply] {
            bytes += reply->readAll().size();
            reply->deleteLater();
            request();
        });
    };
    timer.start();
    request();
    return app.exec();
}
