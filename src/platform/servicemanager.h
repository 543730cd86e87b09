#pragma once
// What a server run by systemd tells it and how its log reaches the journal. Outside
// systemd (no NOTIFY_SOCKET, no JOURNAL_STREAM) both do nothing and map no library.

#include <QByteArray>
#include <QString>

namespace servicemanager {

// True when standard output is still the stream systemd handed over as the journal
// (JOURNAL_STREAM names its device and inode), not a file or pipe it was redirected to.
bool standardOutputIsJournal();

// A log line as the journal takes it: "<3>" before failures ("ERROR: ", "Failed: ", "Command
// not found: ", a socket's "Error N in function ..."), "<4>" before warnings (and a lack of
// descriptors, an idle client closed, a job that could not be tried: "Waiting: ", a request
// for a queue that is not here: "... - no such printer."), "<5>" before a
// refused host, "<6>" before the rest; every physical line of a multi-line report carries the
// prefix so that no part of it loses its priority.
QByteArray journalLine(const QString& line);

// sd_notify(3) through libsystemd, opened only when NOTIFY_SOCKET is set. False when there
// is nobody to tell or the library is missing.
bool notify(const char* state);

} // namespace servicemanager
