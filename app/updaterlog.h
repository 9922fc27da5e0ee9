#ifndef UPDATERLOG_H
#define UPDATERLOG_H

#include <QtGlobal>

// Where a GUI program's debug output cannot be seen (Windows sends it to a
// debugger), KORVEL_UPDATER_LOG names a file that gets a copy: every message,
// as the debug output shows it, on a line of its own after a timestamp, in
// UTF-8. The handler that was in place before still gets every message.
// The file is opened once and each line handed to the system at once, so
// that the end by _Exit or a crash loses none. A file larger than
// MaximumLogSize at start keeps only its newest lines, half that size at most.
// Call once, first thing in main; without the variable it does nothing.
void startUpdaterLog();

constexpr qint64 MaximumLogSize = 1024 * 1024;

#endif // UPDATERLOG_H
