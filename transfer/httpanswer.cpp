#include "httpanswer.h"

#include <QNetworkReply>
#include <QRegularExpression>

namespace HttpAnswer {

int status(const QNetworkReply *reply)
{
    return reply ? reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
}

QByteArray lastValue(const QNetworkReply *reply, const char *name)
{
    const QByteArray value = reply->rawHeader(name);
    return value.mid(value.lastIndexOf(',') + 1).trimmed();
}

namespace {

// "bytes <first>-<last>/<total>"
QRegularExpressionMatch contentRange(const QNetworkReply *reply)
{
    static const QRegularExpression range(QStringLiteral("^bytes (\\d+)-\\d+/(\\d+|\\*)$"));
    return range.match(QString::fromLatin1(lastValue(reply, "Content-Range")));
}

} // namespace

qint64 rangeStart(const QNetworkReply *reply)
{
    if (status(reply) != 206)
        return -1;
    const QRegularExpressionMatch match = contentRange(reply);
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

qint64 announcedSize(const QNetworkReply *reply, qint64 offset)
{
    if (!reply)
        return -1;
    if (status(reply) == 206) {
        const QRegularExpressionMatch match = contentRange(reply);
        if (!match.hasMatch())
            return -1;
        if (match.captured(1).toLongLong() != offset)
            return -2;
        return match.captured(2) == QLatin1String("*") ? -1 : match.captured(2).toLongLong();
    }
    // Qt unpacks a compressed body, whose announced length is the packed one.
    const QByteArray encoding = lastValue(reply, "Content-Encoding").toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return -1;
    bool ok = false;
    const qint64 length = lastValue(reply, "Content-Length").toLongLong(&ok);
    return ok ? offset + length : -1;
}

QByteArray validator(const QNetworkReply *reply)
{
    // A weak ETag never matches an If-Range; an ETag may itself hold commas.
    const QByteArray etag = reply->rawHeader("ETag").trimmed();
    if (etag.startsWith('"') && etag.endsWith('"') && etag.size() > 1 && !etag.contains("\", "))
        return etag;
    const QByteArray modified = reply->rawHeader("Last-Modified").trimmed();
    return modified.contains(" GMT") && modified.count(',') == 1 ? modified : QByteArray();
}

} // namespace HttpAnswer
