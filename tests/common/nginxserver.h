#ifndef NGINXSERVER_H
#define NGINXSERVER_H

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

// A real nginx for one test: its own config, pid file, logs and temp paths in
// a temporary directory, on a free loopback port, serving files from root.
// Stopped by its pid when the object goes.
class NginxServer
{
public:
    explicit NginxServer(const QString &root);
    ~NginxServer();

    // Directives added inside the server block, e.g.
    // "location /slow/ { limit_rate 100k; }".
    void setServerConfig(const QByteArray &directives) { extra = directives; }
    // Serves https with a certificate of its own for 127.0.0.1.
    void setTls(bool on) { tls = on; }
    QString certificatePath() const;
    bool start();
    void stop();

    quint16 port() const { return listenPort; }
    qint64 pid() const;
    QUrl url(const QString &path) const;
    QString errorText() const { return lastError; }

    // One access log line per request: "<end time> <method> <uri> <status>
    // <bytes sent> <range header> <request time>".
    QString accessLogPath() const;
    QStringList accessLog() const;
    // The request paths in the order nginx finished them.
    QStringList requestedPaths() const;

    static QString binary();
    // A new self-signed certificate for 127.0.0.1 and its key, as PEM files.
    static bool makeCertificate(const QString &certPath, const QString &keyPath, QString *error);

private:
    bool startOnce();

    QString root;
    QByteArray extra;
    bool tls = false;
    QTemporaryDir dir;
    QProcess process;
    quint16 listenPort = 0;
    QString lastError;
};

#endif // NGINXSERVER_H
