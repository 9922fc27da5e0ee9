#include "nginxserver.h"

#include "testtime.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <csignal>
#include <unistd.h>

NginxServer::NginxServer(const QString &root)
    : root(root)
{
}

NginxServer::~NginxServer()
{
    stop();
}

QString NginxServer::binary()
{
    return QStringLiteral("/usr/sbin/nginx");
}

qint64 NginxServer::pid() const
{
    return process.processId();
}

QUrl NginxServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2%3")
                        .arg(tls ? QStringLiteral("https") : QStringLiteral("http"))
                        .arg(listenPort)
                        .arg(path));
}

QString NginxServer::certificatePath() const
{
    return dir.filePath(QStringLiteral("cert.pem"));
}

bool NginxServer::makeCertificate(const QString &certPath, const QString &keyPath, QString *error)
{
    QProcess make;
    make.setProcessChannelMode(QProcess::MergedChannels);
    make.start(QStringLiteral("openssl"),
               {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
                QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1"),
                QStringLiteral("-keyout"), keyPath, QStringLiteral("-out"), certPath});
    if (make.waitForFinished(testTime(60000)) && make.exitStatus() == QProcess::NormalExit
        && make.exitCode() == 0)
        return true;
    *error = QStringLiteral("openssl could not make a certificate: ") + make.errorString()
            + QLatin1Char(' ') + QString::fromLocal8Bit(make.readAll());
    return false;
}

QString NginxServer::accessLogPath() const
{
    return dir.filePath(QStringLiteral("access.log"));
}

QStringList NginxServer::accessLog() const
{
    QFile file(accessLogPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList NginxServer::requestedPaths() const
{
    QStringList paths;
    for (const QString &line : accessLog())
        paths.append(line.section(QLatin1Char(' '), 2, 2));
    return paths;
}

bool NginxServer::start()
{
    // The port is free when we look and may be taken before nginx binds it.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (startOnce())
            return true;
    }
    return false;
}

bool NginxServer::startOnce()
{
    if (!dir.isValid()) {
        lastError = QStringLiteral("no temporary directory");
        return false;
    }
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0)) {
            lastError = probe.errorString();
            return false;
        }
        listenPort = probe.serverPort();
    }

    // Quoted: a temporary folder may hold blanks.
    const auto quoted = [](QByteArray path) {
        return '"' + path.replace('\\', "\\\\").replace('"', "\\\"") + '"';
    };
    const QByteArray d = dir.path().toUtf8();
    const auto in = [&](const char *name) { return quoted(d + '/' + name); };
    QByteArray listen = "    listen 127.0.0.1:" + QByteArray::number(listenPort);
    if (tls) {
        const QString key = dir.filePath(QStringLiteral("key.pem"));
        if (!QFile::exists(certificatePath())
            && !makeCertificate(certificatePath(), key, &lastError))
            return false;
        listen += " ssl;\n    ssl_certificate " + quoted(certificatePath().toUtf8())
                + ";\n    ssl_certificate_key " + quoted(key.toUtf8());
    }
    QByteArray conf;
    if (geteuid() == 0)
        conf += "user root;\n"; // the workers must read the test's private directories
    conf += "daemon off;\nworker_processes 1;\npid " + in("nginx.pid") + ";\n"
            "error_log " + in("error.log") + " info;\n"
            "events { worker_connections 256; }\n"
            "http {\n"
            "  default_type application/octet-stream;\n"
            "  log_format korvel '$msec $request_method $uri $status $body_bytes_sent "
            "\"$http_range\" $request_time';\n"
            "  access_log " + in("access.log") + " korvel;\n"
            "  client_body_temp_path " + in("client_body") + ";\n"
            "  proxy_temp_path " + in("proxy") + ";\n"
            "  fastcgi_temp_path " + in("fastcgi") + ";\n"
            "  uwsgi_temp_path " + in("uwsgi") + ";\n"
            "  scgi_temp_path " + in("scgi") + ";\n"
            "  sendfile on;\n"
            "  keepalive_requests 100000;\n"
            "  server {\n"
            + listen + ";\n"
            "    root " + quoted(root.toUtf8()) + ";\n"
            + extra + "\n"
            "  }\n"
            "}\n";
    QFile file(dir.filePath(QStringLiteral("nginx.conf")));
    if (!file.open(QIODevice::WriteOnly) || file.write(conf) != conf.size()) {
        lastError = file.errorString();
        return false;
    }
    file.close();

    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(binary(), {QStringLiteral("-p"), dir.path(), QStringLiteral("-e"),
                             dir.filePath(QStringLiteral("error.log")), QStringLiteral("-c"),
                             file.fileName()});
    if (!process.waitForStarted(testTime(10000))) {
        lastError = process.errorString();
        return false;
    }

    const QDeadlineTimer deadline(testTime(10000));
    while (!deadline.hasExpired()) {
        if (process.state() != QProcess::Running) {
            lastError = QString::fromUtf8(process.readAll());
            QFile log(dir.filePath(QStringLiteral("error.log")));
            if (log.open(QIODevice::ReadOnly))
                lastError += QString::fromUtf8(log.readAll());
            return false;
        }
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, listenPort);
        if (socket.waitForConnected(200))
            return true;
        QThread::msleep(50);
    }
    lastError = QStringLiteral("nginx did not answer on its port");
    stop();
    return false;
}

void NginxServer::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(process.processId()), SIGTERM);
    if (!process.waitForFinished(testTime(10000))) {
        ::kill(pid_t(process.processId()), SIGKILL);
        process.waitForFinished(testTime(5000));
    }
}
