#include "testhttpserver.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

TestHttpServer::TestHttpServer(QObject *parent)
    : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

TestHttpServer::~TestHttpServer()
{
    server.close();
    const QList<QTcpSocket *> sockets = pending.keys();
    pending.clear();
    for (QTcpSocket *socket : sockets) {
        // Its disconnected handler would touch pending during the delete.
        disconnect(socket, nullptr, this, nullptr);
        delete socket;
    }
}

bool TestHttpServer::start()
{
    return server.listen(QHostAddress::LocalHost, 0);
}

quint16 TestHttpServer::port() const
{
    return server.serverPort();
}

QUrl TestHttpServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path));
}

void TestHttpServer::setResponse(const QByteArray &path, const TestResponse &response)
{
    responses.insert(path, response);
    turns.remove(path);
}

int TestHttpServer::requestCount(const QByteArray &path) const
{
    int count = 0;
    for (const RecordedRequest &request : received)
        count += request.path == path;
    return count;
}

int TestHttpServer::openConnections() const
{
    return pending.size();
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        pending.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            pending.remove(socket);
            socket->deleteLater();
        });
    }
}

void TestHttpServer::onReadyRead(QTcpSocket *socket)
{
    pending[socket] += socket->readAll();
    int end;
    // answer() may close the socket at once, which drops its entry: look it up anew.
    while (pending.contains(socket) && (end = pending[socket].indexOf("\r\n\r\n")) >= 0) {
        QByteArray &buffer = pending[socket];
        const QList<QByteArray> lines = buffer.left(end).split('\n');
        buffer.remove(0, end + 4);
        RecordedRequest request;
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.path = first.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines[i].indexOf(':');
            if (colon < 0)
                continue;
            request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                   lines[i].mid(colon + 1).trimmed());
        }
        request.range = request.headers.value("range");
        received.append(request);
        emit requestReceived(request.path);
        answer(socket, request);
    }
}

void TestHttpServer::setResponses(const QByteArray &path, const QList<TestResponse> &inTurn)
{
    turns.insert(path, inTurn);
}

void TestHttpServer::answer(QTcpSocket *socket, const RecordedRequest &request)
{
    const QByteArray byAccept = request.path + "\naccept: " + request.headers.value("accept");
    TestResponse response = responses.value(responses.contains(byAccept) ? byAccept : request.path, [] {
        TestResponse notFound;
        notFound.status = 404;
        notFound.body = "not found";
        return notFound;
    }());

    QList<TestResponse> &next = turns[request.path];
    if (!next.isEmpty())
        response = next.size() > 1 ? next.takeFirst() : next.first();
    QByteArray body = response.body;
    int status = response.status;
    QByteArray contentRange;
    const QByteArray ifRange = request.headers.value("if-range");
    if (response.honourRange && request.range.startsWith("bytes=")
        && (ifRange.isEmpty() || ifRange == response.etag)) {
        const qint64 from = request.range.mid(6, request.range.indexOf('-') - 6).toLongLong();
        contentRange = "bytes " + QByteArray::number(from) + '-'
                + QByteArray::number(body.size() - 1) + '/' + QByteArray::number(body.size());
        body = body.mid(int(from));
        status = 206;
    }

    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + " Canned\r\n";
    if (response.chunked)
        head += "Transfer-Encoding: chunked\r\n";
    else if (response.sendContentLength)
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    if (!contentRange.isEmpty())
        head += "Content-Range: " + contentRange + "\r\n";
    if (!response.etag.isEmpty())
        head += "ETag: " + response.etag + "\r\n";
    for (const auto &header : qAsConst(response.headers))
        head += header.first + ": " + header.second + "\r\n";
    if (!response.chunked && !response.sendContentLength)
        head += "Connection: close\r\n";
    head += "\r\n";
    socket->write(head);

    const bool drop = response.dropAfter >= 0;
    const qint64 stopAfter = drop ? response.dropAfter : response.holdAfter;
    const bool closeAtEnd = !response.chunked && !response.sendContentLength;
    sendSlices(socket, body, response.sliceSize, response.sliceDelayMs, stopAfter,
               drop, closeAtEnd, response.chunked);
}

void TestHttpServer::sendSlices(QTcpSocket *socket, QByteArray data, int sliceSize, int delayMs,
                                qint64 stopAfter, bool dropAtStop, bool closeAtEnd, bool chunked)
{
    QPointer<QTcpSocket> guard(socket);
    if (!guard)
        return;
    qint64 allowed = data.size();
    if (stopAfter >= 0)
        allowed = qMin(allowed, stopAfter);
    const int size = sliceSize > 0 ? int(qMin<qint64>(sliceSize, allowed)) : int(allowed);
    const QByteArray slice = data.left(size);
    if (!slice.isEmpty()) {
        if (chunked)
            socket->write(QByteArray::number(slice.size(), 16) + "\r\n" + slice + "\r\n");
        else
            socket->write(slice);
    }
    data.remove(0, size);
    const qint64 nextStop = stopAfter >= 0 ? stopAfter - size : -1;

    const bool stopped = nextStop == 0 && stopAfter >= 0;
    if (data.isEmpty() || stopped) {
        if (chunked && data.isEmpty() && !stopped)
            socket->write("0\r\n\r\n");
        if ((stopped && dropAtStop) || (!stopped && closeAtEnd)) {
            socket->flush();
            socket->disconnectFromHost();
        }
        // Otherwise: complete (keep-alive) or held open on purpose.
        return;
    }
    QTimer::singleShot(delayMs, this, [=] {
        if (guard)
            sendSlices(guard, data, sliceSize, delayMs, nextStop, dropAtStop, closeAtEnd, chunked);
    });
}
