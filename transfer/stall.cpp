#include "stall.h"

#include <QDebug>

namespace Stall {

namespace {

QString firstLine(Cause cause)
{
    switch (cause) {
    case Cause::Manifest:
        return QStringLiteral("Update stopped: the list of components cannot be read.");
    case Cause::Missing:
        return QStringLiteral("Update stopped: a component is missing on the server.");
    case Cause::Refused:
        return QStringLiteral("Update stopped: a download failed its check.");
    case Cause::Network:
        return QStringLiteral("Update stopped: the server cannot be reached.");
    case Cause::Server:
        return QStringLiteral("Update stopped: the server answers with an error.");
    case Cause::Disk:
        return QStringLiteral("Update stopped: a file cannot be written (disk full?).");
    case Cause::FileHeld:
        return QStringLiteral("Update stopped: another program holds a file.");
    case Cause::Commit:
        return QStringLiteral("Update stopped: the new version cannot be kept.");
    }
    return QString();
}

} // namespace

QString text(Cause cause)
{
    return firstLine(cause) + QStringLiteral("\nThe installed version is kept.");
}

Cause fromName(const QString &name)
{
    return name == QLatin1String("commit") ? Cause::Commit : Cause::Manifest;
}

Cause ofFailure(int httpStatus, RetryPolicy::Cause transient)
{
    if (httpStatus == 404 || httpStatus == 410)
        return Cause::Missing;
    if (httpStatus >= 400 || transient == RetryPolicy::Cause::ServerBusy
        || transient == RetryPolicy::Cause::ServerError)
        return Cause::Server;
    // TLS, a refused redirect or scheme: the connection failed a check.
    return transient == RetryPolicy::Cause::None ? Cause::Refused : Cause::Network;
}

QString report(Cause cause)
{
    qDebug() << "Stalled:" << firstLine(cause);
    return text(cause);
}

} // namespace Stall
