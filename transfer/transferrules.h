#ifndef TRANSFERRULES_H
#define TRANSFERRULES_H

#include <QNetworkAccessManager>
#include <QSet>
#include <QString>
#include <QUrl>

class QNetworkReply;
class QNetworkRequest;

// The rules every request of the updater follows, whatever it fetches: the
// manifest's load (through the QML engine), the signature, the components.
namespace TransferRules {

constexpr int MaximumRedirects = 10;
// A transfer that receives nothing for this long ends as a network error.
constexpr int InactivityLimit = 60000;

// Priority and redirects.
void prepare(QNetworkRequest &request);
// Empty when url may be fetched (http or https); otherwise why not.
QString refusal(const QUrl &url);
// The inactivity bound in force: InactivityLimit, unless a test shortens it
// (KORVEL_INACTIVITY_MS; the updater has no configuration of its own).
int inactivityLimit();
// Holds reply, and the request of every redirect it follows, to at most
// size bytes unread.
void keepBounded(QNetworkReply *reply, qint64 size);

} // namespace TransferRules

// A network access manager whose every request follows the rules: http and
// https only, in the address and in every redirect; never from https to http;
// at most MaximumRedirects; nothing received for the inactivity bound ends the
// transfer; and with a bound, no answer longer than it. A request or redirect
// that breaks a rule ends as a network error, with one "Stopped:" line that
// names the address and the cause.
class RuledNetworkAccessManager : public QNetworkAccessManager
{
    Q_OBJECT

public:
    // maximumSize: the longest answer accepted, 0 for no bound; for a reader
    // that reads only once the reply has finished (the QML engine's model).
    explicit RuledNetworkAccessManager(qint64 maximumSize = 0, QObject *parent = nullptr);

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request,
                                 QIODevice *outgoingData) override;

private:
    void watch(QNetworkReply *reply);
    void stop(QNetworkReply *reply, const QString &cause);

    qint64 maximumSize = 0;
    // Redirects not followed: a client that follows them itself (the QML
    // engine's XmlListModel does) is refused them too.
    QSet<QUrl> refusedTargets;
};

#endif // TRANSFERRULES_H
