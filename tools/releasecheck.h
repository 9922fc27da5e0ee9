#ifndef RELEASECHECK_H
#define RELEASECHECK_H

#include <QStringList>

// korvel-manifest --check URL: the release as users will get it, fetched
// with the updater's own transfer rules (RuledNetworkAccessManager: schemes,
// redirects, inactivity, the manifest's bound; the system's proxy). Every
// component, compressed copy and patch is fetched, streamed (memory stays
// flat at any size), and checked for its listed size and SHA-256; a copy
// decodes to its item's file, and with --previous so does each patch whose
// base is there. With --key, the signature and serial are checked as a
// keyed updater checks them.
//
// One line per problem or warning on standard output, then a summary;
// progress on standard error. Nothing is ever written to disk.
// Exit status: 0 when users get exactly the release and nothing else is
// amiss; 1 when they would not (a missing or wrong file, a bad signature, a
// patch that does not apply, korvel-delta/ missing); 3 when they do, but
// a broken transfer cannot resume, or caches keep the manifest too long;
// 2 for a wrong command line.
namespace ReleaseCheck {

// Whether arguments ask for a check.
bool wanted(const QStringList &arguments);
int run(const QStringList &arguments);

} // namespace ReleaseCheck

#endif // RELEASECHECK_H
