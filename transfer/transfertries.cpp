#include "transfertries.h"

#include <QDebug>

TransferTries::TransferTries(QObject *parent)
    : QObject(parent)
{
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &TransferTries::tick);
}

void TransferTries::start()
{
    timer.stop();
    policy.start();
}

void TransferTries::progressed(qint64 stagedSize)
{
    policy.progressed(stagedSize);
    if (shown && !timer.isActive()) {
        shown = false;
        emit status(QString());
    }
}

bool TransferTries::failed(RetryPolicy::Cause why, qint64 retryAfterMs, const QUrl &url)
{
    const int wait = policy.failed(retryAfterMs);
    if (wait < 0)
        return false;
    qDebug() << "Retry:" << url.toString() << RetryPolicy::causeText(why) << "try"
             << policy.failures() << "failed; the next in" << wait << "ms";
    cause = why;
    left = wait;
    tick();
    return true;
}

void TransferTries::stop()
{
    timer.stop();
    if (shown) {
        shown = false;
        emit status(QString());
    }
}

// Whole seconds of the policy, the odd part first.
void TransferTries::tick()
{
    if (left <= 0) {
        emit due();
        return;
    }
    const int second = qMax(1, RetryPolicy::second());
    emit status(QStringLiteral("%1. Trying again in %2 s")
                .arg(RetryPolicy::causeText(cause)).arg((left + second - 1) / second));
    shown = true;
    const qint64 step = left % second ? left % second : second;
    left -= step;
    timer.start(int(step));
}
