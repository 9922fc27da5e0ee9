#ifndef STALL_H
#define STALL_H

#include "retrypolicy.h"

#include <QString>

// Why an update stopped before its end, in plain words: the window shows the
// text and the log has it as a "Stalled:" line beside the line of detail, so
// that each stall has one cause, said in both.
namespace Stall {

enum class Cause {
    Manifest,  // the manifest cannot be loaded, read or trusted
    Missing,   // the server has no such component (404, 410)
    Refused,   // a component or its connection failed a check
    Network,   // the server cannot be reached, retries spent
    Server,    // the server answers with an error, retries spent
    Disk,      // a file cannot be created or written
    FileHeld,  // a file cannot be replaced: another program holds it
    Commit,    // the new release cannot be kept as a whole
};

// Two lines: what stopped the update, and that the installed version is kept.
QString text(Cause cause);
// The name a document passes for a cause ("manifest", "commit"); Manifest
// for any other.
Cause fromName(const QString &name);
// A transfer that failed with this HTTP status (0 for none) and, when the
// failure was transient, the retries spent on it.
Cause ofFailure(int httpStatus, RetryPolicy::Cause transient);
// Writes the "Stalled:" line and returns the window's text.
QString report(Cause cause);

} // namespace Stall

#endif // STALL_H
