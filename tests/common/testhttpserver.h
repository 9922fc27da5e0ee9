#ifndef TESTHTTPSERVER_H
#define TESTHTTPSERVER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

// What the server answers for one path.
struct TestResponse
{
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    bool sendContentLength = true;
    bool chunked = false;
    // Answer a "Range: bytes=N-" request with 206 and the rest of the body,
    // unless its If-Range is not etag (then 200 and the whole body).
    bool honourRange = false;
    // Sent as the ETag header when not empty.
    QByteArray etag;
    // Body bytes per write and the pause between writes (0: all at once).
    int sliceSize = 0;
    int sliceDelayMs = 0;
    // After this many body bytes: close the connection (drop) or stop sending
    // and keep it open (hold). -1: neither.
    qint64 dropAfter = -1;
    qint64 holdAfter = -1;
};

// What the client sent.
struct RecordedRequest
{
    QByteArray method;
    QByteArray path;
    QByteArray range;
    QHash<QByteArray, QByteArray> headers; // names in lower case
};

// A small HTTP/1.1 server on 127.0.0.1 (port chosen by the system) with
// canned answers per path and a record of every request.
class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    explicit TestHttpServer(QObject *parent = nullptr);
    // Closes the connections still open (held ones included) before the
    // members they refer to go.
    ~TestHttpServer() override;

    bool start();
    quint16 port() const;
    QUrl url(const QString &path) const;
    void setResponse(const QByteArray &path, const TestResponse &response);
    // One answer per request, in turn; the last one for every request after.
    void setResponses(const QByteArray &path, const QList<TestResponse> &inTurn);
    // For requests of path whose Accept header is exactly accept only.
    void setResponse(const QByteArray &path, const QByteArray &accept, const TestResponse &response)
    {
        setResponse(path + "\naccept: " + accept, response);
    }
    QList<RecordedRequest> requests() const { return received; }
    int requestCount(const QByteArray &path) const;
    // Sockets still open on the server side.
    int openConnections() const;

signals:
    void requestReceived(const QByteArray &path);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const RecordedRequest &request);
    void sendSlices(QTcpSocket *socket, QByteArray data, int sliceSize, int delayMs,
                    qint64 stopAfter, bool dropAtStop, bool closeAtEnd, bool chunked);

    QTcpServer server;
    QHash<QByteArray, TestResponse> responses;
    QHash<QByteArray, QList<TestResponse>> turns;
    QHash<QTcpSocket *, QByteArray> pending;
    QList<RecordedRequest> received;
};

#endif // TESTHTTPSERVER_H
