#pragma once
// A record per running print, beside the job's control file, so that a server that died
// while a print command ran knows at its next start how that print ended. The despooler
// creates it and locks it (flock) before the command starts and hands it to the print
// supervisor (platform/supervisor.h), which holds it while the command runs and writes the
// command's end into it when it ends. The lock lives as long as the command's supervision,
// so a record tells: finished with success, finished with failure, still running (locked),
// or unknown (no end written and nobody holding it: the machine went down, or the
// supervisor was ended with the command). Its name holds a ':', which no client may send.

#include <QString>

class QueueFolder;

namespace PrintRecord {

enum class Outcome
{
    None,      // no record
    Succeeded, // the command exited with status 0
    Failed,    // it exited otherwise or died from a signal
    Unknown    // its end was never written
};

QString nameFor(const QString& controlFile);
// Whether a file name in a queue folder is a record, and then the control file it is for.
bool isRecordName(const QString& name, QString* controlFile = nullptr);

// Creates the record of a print about to start, locked; its descriptor (to be handed to the
// supervisor), or -1.
int begin(const QueueFolder& folder, const QString& controlFile);
// A record of a print that ended with success, for a print that ran without a supervisor.
void recordSuccess(const QueueFolder& folder, const QString& controlFile);
// How the last print of the job ended, waiting first for a supervisor that still runs it.
// `detail` is the end as written ("exit 1", "signal 9").
Outcome earlier(const QueueFolder& folder, const QString& controlFile, QString* detail);
// Whether a supervisor still holds the record.
bool isRunning(const QueueFolder& folder, const QString& controlFile);
void remove(const QueueFolder& folder, const QString& controlFile);

} // namespace PrintRecord
