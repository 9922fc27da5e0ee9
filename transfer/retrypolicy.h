#ifndef RETRYPOLICY_H
#define RETRYPOLICY_H

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QNetworkReply>
#include <QString>

// When a failed try of one transfer is tried again, and after how long.
// Only a failure that may pass by itself is retried: a connection refused,
// closed, reset or timed out, a network or proxy that is not there yet, and
// the HTTP statuses 408, 429, 500, 502, 503 and 504. The waits grow from
// about 1 s to about 30 s, with jitter, and honour Retry-After up to 60 s.
// At most MaximumFailures tries in a row fail; a try that brought real
// progress (the staged file past its largest size so far by ProgressStep)
// starts the count again. After NoProgressLimit ms without progress, the
// transfer is given up.
class RetryPolicy
{
public:
    // What the window says of the wait.
    enum class Cause { None, ConnectionLost, Unreachable, ServerBusy, ServerError };

    static constexpr int MaximumFailures = 5;
    static constexpr qint64 ProgressStep = 64 * 1024;
    static constexpr int FirstWait = 1000;
    static constexpr int LongestWait = 30000;
    static constexpr int LongestRetryAfter = 60000;
    static constexpr int NoProgressLimit = 120000;

    // None for a failure that stays: it stalls at once.
    static Cause transientCause(QNetworkReply::NetworkError code, int httpStatus);
    static QString causeText(Cause cause);
    // Retry-After in ms (seconds, or an HTTP date); -1 when absent or unreadable.
    static qint64 retryAfter(const QByteArray &value, const QDateTime &now);
    // What one second of the policy lasts, in ms: 1000, unless a test
    // shortens every wait (KORVEL_RETRY_MS).
    static int second();

    // A new transfer: nothing failed yet.
    void start();
    // The staged file has this size now.
    void progressed(qint64 stagedSize);
    // A try failed: the wait in ms before the next, or -1 to give up.
    int failed(qint64 retryAfterMs);
    int failures() const { return inRow; }

private:
    int inRow = 0;
    qint64 largest = 0;
    QElapsedTimer sinceProgress;
};

#endif // RETRYPOLICY_H
