#include "spool/despooler.h"

#include "config/logsink.h"
#include "config/printerdefinition.h"
#include "platform/printroutes.h"
#include "spool/pendingjoblist.h"
#include "spool/printaction.h"

#include <QDir>
#include <QFileInfo>

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
}

bool Despooler::printJob(const SpoolJob& job, const PrinterDefinition& printer)
{
    const PrintRoute& route = printer.route;
    const QString queueDir = m_spoolDir + QLatin1Char('/') + printer.queue;
    const Placeholders values{job.dataFile, job.controlFile, queueDir};
    const QString shown =
        route.program + QLatin1Char(' ') + fillPlaceholders(route.argumentText, values);

    bool printed;
    if (route.isRaw()) {
        log(QStringLiteral("Printing to ") + shown);
        const QString dataPath =
            job.dataFile.isEmpty() ? QString() : queueDir + QLatin1Char('/') + job.dataFile;
        printed = printRaw(route, dataPath);
    } else {
        printed = printByCommand(route, shown, fillPlaceholders(route.argumentWords, values));
    }
    if (!printed)
        return false;

    log(QStringLiteral("Successful: ") + shown);
    deleteJobFiles(queueDir, job);
    return true;
}

bool Despooler::printRaw(const PrintRoute& route, const QString& dataPath)
{
    RouteResult result;
    if (dataPath.isEmpty() || !QFileInfo(dataPath).isFile()) {
        result.reason = QStringLiteral("data file missing");
    } else {
        switch (route.kind) {
        case PrintRoute::Kind::Device:
            result = printToDevice(route.device, dataPath);
            break;
        case PrintRoute::Kind::Smb:
            result = printToSmb(route.target, dataPath);
            break;
        case PrintRoute::Kind::Cups:
        case PrintRoute::Kind::Command:
            result = printToCups(route.target, dataPath);
            break;
        }
    }
    if (!result.ok)
        log(QStringLiteral("Failed: ") + route.target + QStringLiteral(" (") + result.reason +
            QLatin1Char(')'));
    return result.ok;
}

bool Despooler::printByCommand(const PrintRoute& route, const QString& shown,
                               const QStringList& words)
{
    const QFileInfo program(route.program);
    if (route.program.isEmpty() || !program.isFile()) {
        log(QStringLiteral("Command not found: ") + shown);
        return false;
    }
    log(QStringLiteral("Starting ") + shown);
    const ProcessResult result =
        runProcess(program.absoluteFilePath(), words, program.absolutePath());
    if (!result.started) {
        log(QStringLiteral("Failed: ") + shown);
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
