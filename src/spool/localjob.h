#pragma once
// A file of this machine queued as if a remote client had sent it: copied into the queue
// folder as a data file, described by a control file, both complete before the caller
// lists the job.

#include "spool/spooljob.h"

#include <QString>

struct LocalJobResult
{
    bool ok = false;
    SpoolJob job;  // the record to list when ok
    QString error; // the log line when not ok
};

// The control file name for local job number n: "cfA" + n in at least three digits +
// "localhost" (cfA000localhost, cfA1000localhost).
QString localControlFileName(int number);

// Writes dfA<nnn>localhost (a copy of sourcePath) and then cfA<nnn>localhost into
// queueDir, creating the folder when missing; nnn is the smallest number whose control file
// does not exist yet. Nothing is left behind when it fails.
LocalJobResult submitLocalJob(const QString& queueDir, const QString& queue,
                              const QString& sourcePath);
