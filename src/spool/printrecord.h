#pragma once
// The print record of a queue folder, so that a server that died while a print command
// ran knows at its next start how that print ended. It is one file per folder, rewritten
// in place: creating and removing a file per print cost more than a short print itself in
// a folder where jobs come and go.
//
// It is made with the first print in the folder and stays, and holds an entry per print
// line whose print ran but whose job's files are not gone yet: the line's entry (lineEntry),
// and the command's end ("exit N" or "signal N") once it has ended. Before a command starts,
// the print rewrites the record with the line's entry last
// and locks it (flock), and hands it to the print supervisor (platform/supervisor.h), which holds
// it while the command runs and appends the command's end. So the job's entry tells: finished with
// success, finished with failure, still running (the record is locked), or unknown (no end written
// and nobody holding the record: the machine went down, or the supervisor was ended with the
// command). Its name holds a ':', which no client may send.
//
// A record that is something else than a regular file, or holds anything but entries, ends
// and blank lines (garbage: a torn or hand-edited file), is unusable: nothing in it is
// trusted, nothing is written over it, and the queue's jobs wait until the operator mends
// or removes it, because a broken line may have been the end of a print that finished.

#include "net/uniquefd.h"

#include <QString>

class QueueFolder;

namespace PrintRecord {

enum class Outcome
{
    None,      // no entry for the job
    Succeeded, // the command exited with status 0
    Failed,    // it exited otherwise or died from a signal
    Unknown,   // its end was never written
    Held,      // a print holds the record now (an earlier server's, still running)
    Unusable   // the record is not a regular file or does not parse
};

bool isRecordName(const QString& name);

// The entry of one print line of a job. Each line has its own, so a job of several files (or
// copies) that was cut off between two of them prints neither of the finished ones again.
// The '/' keeps it apart from every name a client may send. The functions below take a
// line's entry, or a bare control file name for an entry of its own.
QString lineEntry(const QString& controlFile, int line);

// The record with the job's entry last, locked and open (to be handed to the
// supervisor), or none: errno EWOULDBLOCK when a print holds it (it is never waited for),
// EBADMSG when it is unusable, else the system's error; `problem` says why ("is not a
// regular file", "does not parse: line 3 is not an entry", "No space left on device").
// Entries of jobs whose control file is gone are dropped on the way.
UniqueFd begin(const QueueFolder& folder, const QString& controlFile, QString* problem = nullptr);
// An entry for a print that ended with success, for one that ran without a supervisor.
void recordSuccess(const QueueFolder& folder, const QString& controlFile);
// How the job's last print ended; Held, without waiting, while a supervisor still runs one.
// `detail` is the end as written ("exit 1", "signal 9"), or why the record is unusable.
Outcome earlier(const QueueFolder& folder, const QString& controlFile, QString* detail);
// Drops an entry (a control file name drops the entries of all its lines): its files are
// gone, or it is to be printed again anyway.
void forget(const QueueFolder& folder, const QString& controlFile);
// Makes the folder's record if it has none. Unless a print holds it: drops the entries of
// jobs that are gone. Else the job the print runs, or empty.
QString tidy(const QueueFolder& folder);

// Makes the folder's record (empty) if it has none.
void make(const QueueFolder& folder);
// Whether the folder's record tells nothing: there is none, or it holds no entry and no
// print holds it. Such a record may be replaced by another folder's.
bool holdsNothing(const QueueFolder& folder);
// Whether a print (an earlier server's, perhaps) holds the record now.
bool isHeld(const QueueFolder& folder);

} // namespace PrintRecord
