#ifndef HTTPANSWER_H
#define HTTPANSWER_H

#include <QByteArray>

class QNetworkReply;

// What a component's response says of itself, read as the last response of
// any followed redirects.
namespace HttpAnswer {

int status(const QNetworkReply *reply);
// The value of a header in the last response: after a followed redirect Qt
// may append it to the redirect's own ("0, 67108864").
QByteArray lastValue(const QNetworkReply *reply, const char *name);
// The first byte of a 206's Content-Range; -1 for any other answer.
qint64 rangeStart(const QNetworkReply *reply);
// The whole file's length as announced, for an answer that continues at
// offset; -1 when it is not announced, -2 when a 206 does not start at offset.
qint64 announcedSize(const QNetworkReply *reply, qint64 offset);
// What a later If-Range may carry: a strong ETag, else Last-Modified; empty
// when the answer has neither, and then nothing may be resumed.
QByteArray validator(const QNetworkReply *reply);

} // namespace HttpAnswer

#endif // HTTPANSWER_H
