#include "spool/despooler.h"

#include "config/logsink.h"
#include "config/printerdefinition.h"
#include "platform/printroutes.h"
#include "spool/pendingjoblist.h"
#include "spool/printaction.h"
#include "spool/printrecord.h"
#include "spool/queuefolder.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

Despooler::Despooler(PendingJobList& jobs, QList<PrinterDefinition> printers, QString spoolDir,
                     LogSink& log, QObject* parent)
    : QThread(parent), m_jobs(jobs), m_printers(std::move(printers)),
      m_spoolDir(std::move(spoolDir)), m_log(log)
{
}

void Despooler::log(const QString& line)
{
    m_log.appendFromAnyThread(line);
}

void Despooler::run()
{
    int i = 0;
    for (;;) {
        if (m_stopRequested)
            break;
        std::shared_ptr<const SpoolJob> job = m_jobs.beginJob(i);
        if (!job)
            break;
        const PrinterDefinition* printer = findPrinter(m_printers, job->queue);
        bool printed = false;
        if (!printer)
            log(QStringLiteral("ERROR: Jobfile-Printer ") + job->queue +
                QStringLiteral(" not found."));
        else if (!printer->printingDisabled)
            printed = printJob(*job, *printer);
        i = m_jobs.finishJob(printed);
        if (printed)
            m_jobs.markChanged();
    }
    // Between passes a queue folder holds jobs only.
    for (const QString& dir : std::as_const(m_printedFolders))
        PrintRecord::tidy(QueueFolder::open(dir, false));
}

bool Despooler::printJob(const SpoolJob& job, const PrinterDefinition& printer)
{
    const PrintRoute& route = printer.route;
    const QString queueDir = m_spoolDir + QLatin1Char('/') + printer.queue;
    const QueueFolder folder = QueueFolder::open(queueDir, false);
    // Without its data files a command would be handed the queue folder itself as its file.
    const QStringList files = job.dataFiles();
    if (files.isEmpty() || !std::all_of(files.cbegin(), files.cend(), [&](const QString& file) {
            return folder.isRegularFile(file);
        })) {
        log(QStringLiteral("Failed: ") + job.controlFile + QStringLiteral(" has no data file"));
        return false;
    }

    if (!m_printedFolders.contains(queueDir))
        m_printedFolders << queueDir;
    // Each print line prints its file once (a repeated line is a copy), under an entry of
    // its own in the print record: a job cut off between two lines prints neither again.
    for (int i = 0; i < job.printLines.size(); ++i) {
        const PrintLine& line = job.printLines[i];
        const Placeholders values{line.dataFile, job.controlFile, queueDir,
                                  QString(QLatin1Char(line.letter))};
        const QString shown =
            route.program + QLatin1Char(' ') + fillPlaceholders(route.argumentText, values);
        const QString entry = PrintRecord::lineEntry(job.controlFile, i);
        const bool printed =
            route.isRaw()
                ? printRawRecorded(entry, line.dataFile, folder, route, shown, queueDir)
                : printRecorded(job.queue, entry, folder, route, shown,
                                nativeArguments(route.argumentWords, values));
        if (!printed)
            return false;
        log(QStringLiteral("Successful: ") + shown);
        // The lines printed so far are recorded; the rest waits for the next start.
        if (m_stopRequested && i + 1 < job.printLines.size())
            return false;
    }

    deleteJobFiles(queueDir, job);
    // Last: until the job's files are gone, the record keeps it from printing again.
    PrintRecord::forget(folder, job.controlFile);
    return true;
}

bool Despooler::endedEarlier(const QString& entry, const QueueFolder& folder)
{
    if (!folder.isOpen())
        return false;
    // A print of this line that an earlier pass or server started.
    QString detail;
    switch (PrintRecord::earlier(folder, entry, &detail)) {
    case PrintRecord::Outcome::Succeeded:
        log(QStringLiteral("Print of ") + entry + QStringLiteral(" ended earlier: successful"));
        return true;
    case PrintRecord::Outcome::Failed:
        log(QStringLiteral("Print of ") + entry +
            QStringLiteral(" ended after the server stopped: failed (") + detail +
            QStringLiteral("); printing it again"));
        break;
    case PrintRecord::Outcome::Unknown:
        log(QStringLiteral("Print of ") + entry +
            QStringLiteral(" has no recorded end; printing it again"));
        break;
    case PrintRecord::Outcome::None:
        break;
    }
    return false;
}

bool Despooler::printRawRecorded(const QString& entry, const QString& dataFile,
                                 const QueueFolder& folder, const PrintRoute& route,
                                 const QString& shown, const QString& queueDir)
{
    if (endedEarlier(entry, folder))
        return true;
    log(QStringLiteral("Printing to ") + shown);
    // The file goes as it is, whatever its letter says.
    if (!printRaw(route, spoolFilePath(queueDir, dataFile)))
        return false;
    // A raw print runs inside this process and dies with it, so only its success needs a
    // record: a server killed before the job's files are gone must not print it again.
    if (folder.isOpen())
        PrintRecord::recordSuccess(folder, entry);
    return true;
}

bool Despooler::printRecorded(const QString& queue, const QString& entry,
                              const QueueFolder& folder, const PrintRoute& route,
                              const QString& shown, const QList<QByteArray>& words)
{
    if (!folder.isOpen())
        return printByCommand(queue, route, shown, words, -1);
    if (endedEarlier(entry, folder))
        return true;
    if (supervisorProgram().isEmpty()) {
        // Run directly, the command dies with the server; its success is still recorded, so
        // the other lines of its job can fail and be tried again without it.
        const bool printed = printByCommand(queue, route, shown, words, -1);
        if (printed)
            PrintRecord::recordSuccess(folder, entry);
        return printed;
    }
    const int record = PrintRecord::begin(folder, entry);
    if (record < 0) {
        log(QStringLiteral("Failed: ") + shown + QStringLiteral(" (no print record)"));
        return false;
    }
    const bool printed = printByCommand(queue, route, shown, words, record);
    ::close(record);
    if (!printed)
        PrintRecord::forget(folder, entry);
    return printed;
}

bool Despooler::printRaw(const PrintRoute& route, const QByteArray& dataPath)
{
    RouteResult result;
    struct stat st
    {
    };
    if (::stat(dataPath.constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        result.reason = QStringLiteral("data file missing");
    } else {
        switch (route.kind) {
        case PrintRoute::Kind::Device:
            result = printToDevice(route.device, dataPath, m_printTimeLimitMs);
            break;
        case PrintRoute::Kind::Smb:
            result = printToSmb(route.target, dataPath);
            break;
        case PrintRoute::Kind::Cups:
        case PrintRoute::Kind::Command:
            result = printToCups(route.target, dataPath, m_printTimeLimitMs);
            break;
        }
    }
    if (!result.ok)
        log(QStringLiteral("Failed: ") + route.target + QStringLiteral(" (") + result.reason +
            QLatin1Char(')'));
    return result.ok;
}

void Despooler::logOutput(const QString& queue, const QString& command, const QByteArray& output,
                          bool cut)
{
    // The tail the process layer kept is a few KiB; a command that writes a character per
    // line still gets no more than this many lines.
    constexpr qsizetype MaxLines = 40;
    QList<QByteArray> lines = output.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    if (lines.size() > MaxLines) {
        lines = lines.mid(lines.size() - MaxLines);
        cut = true;
    }
    const QString prefix = QStringLiteral("Output of ") + queue + QStringLiteral(" (") + command +
                           QStringLiteral("): ");
    if (cut)
        log(prefix + QStringLiteral("..."));
    for (const QByteArray& line : lines)
        log(prefix + QString::fromLocal8Bit(line).remove(QLatin1Char('\r')));
}

bool Despooler::printByCommand(const QString& queue, const PrintRoute& route, const QString& shown,
                               const QList<QByteArray>& words, int record)
{
    const QFileInfo program(route.program);
    if (route.program.isEmpty() || !program.isFile()) {
        log(QStringLiteral("Command not found: ") + shown);
        return false;
    }
    log(QStringLiteral("Starting ") + shown);
    // With a record, the supervisor runs the command and writes down how it ended.
    const ProcessResult result =
        runProcessArgv(program.absoluteFilePath(), words, program.absolutePath(),
                       m_printTimeLimitMs, 4096, record);
    if (!result.started) {
        log(QStringLiteral("Failed: ") + shown);
        return false;
    }
    const bool failed = result.timedOut || !result.exited || result.exitStatus != 0;
    if (failed || m_logSuccessfulOutput)
        logOutput(queue, route.program, result.output, result.outputCut);
    if (result.timedOut) {
        const QString limit =
            m_printTimeLimitMs % 60000 == 0
                ? QString::number(m_printTimeLimitMs / 60000) + QStringLiteral(" min")
                : QString::number(m_printTimeLimitMs) + QStringLiteral(" ms");
        log(QStringLiteral("Failed: ") + shown +
            QStringLiteral(" (ended with its processes at the time limit of ") + limit +
            QLatin1Char(')'));
        return false;
    }
    if (result.exited && result.exitStatus == -1) {
        // Its supervisor ended (and the server ended the command), or something else reaped it.
        log(QStringLiteral("Failed: ") + shown + QStringLiteral(" (its end is unknown)"));
        return false;
    }
    if (!result.exited || result.exitStatus != 0) {
        // A command killed by a signal reads like a shell's status for it: 128 + signal.
        const int status = result.exited ? result.exitStatus : 128 + result.exitStatus;
        log(QStringLiteral("Failed: ") + shown + QStringLiteral(" (exit status ") +
            QString::number(status) + QLatin1Char(')'));
        return false;
    }
    return true;
}
