#ifndef TRANSFERTRIES_H
#define TRANSFERTRIES_H

#include "retrypolicy.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

// The tries of one transfer under its RetryPolicy: after a failed try, the
// wait, counted down in the window's words, then due() for the next one.
class TransferTries : public QObject
{
    Q_OBJECT

public:
    explicit TransferTries(QObject *parent = nullptr);

    // A new transfer, or the same one by another way.
    void start();
    // Bytes came: the wait's line goes, and progress counts.
    void progressed(qint64 stagedSize);
    // A try of url failed; false when the retries are spent. Otherwise one
    // "Retry:" line, and due() follows after the wait.
    bool failed(RetryPolicy::Cause cause, qint64 retryAfterMs, const QUrl &url);
    // No try follows; the wait's line goes.
    void stop();

signals:
    // "Connection lost. Trying again in 8 s", then the count down; empty
    // once it is over.
    void status(const QString &text);
    void due();

private:
    void tick();

    RetryPolicy policy;
    QTimer timer;
    qint64 left = 0;
    RetryPolicy::Cause cause = RetryPolicy::Cause::None;
    bool shown = false;
};

#endif // TRANSFERTRIES_H
