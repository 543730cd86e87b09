#pragma once
// Takes up the jobs an earlier run left in the spool: at start, and again after the
// settings changed (while connections may be receiving and a print may run). What a job is
// follows the one rule of spooljob.h, so every job the live server acknowledged is found
// again, whatever its files are called.

#include <QString>

class LogSink;
class PendingJobList;
class Spool;

class SpoolRecovery final
{
public:
    SpoolRecovery(PendingJobList& jobs, const Spool& spool, LogSink& log)
        : m_jobs(jobs), m_spool(spool), m_log(log)
    {
    }

    // Lists the complete jobs of one queue folder in arrival order and
    // removes what can never complete. Files that waiting jobs or open connections hold
    // are left alone.
    void recoverQueue(const QString& queue);

private:
    PendingJobList& m_jobs;
    const Spool& m_spool;
    LogSink& m_log;
};
