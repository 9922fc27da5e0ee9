#ifndef TRANSFERRULES_H
#define TRANSFERRULES_H

class QNetworkRequest;

// The rules every request of the updater follows, whatever it fetches.
namespace TransferRules {

constexpr int MaximumRedirects = 10;

// Priority and redirects.
void prepare(QNetworkRequest &request);

} // namespace TransferRules

#endif // TRANSFERRULES_H
