#include "spool/despooler.h"

#include "config/logsink.h"
#include "config/printerdefinition.h"
#include "platform/printroutes.h"
#include "spool/pendingjoblist.h"
#include "spool/printaction.h"

#include <QDir>
#include <QFileInfo>

Despooler::Despooler(PendingJobList& jobs, QStringList printers, QString spoolDir, LogSink& log,
                     QObject* parent)
    : QThread(parent), m_jobs(jobs), m_printers(std::move(printers)),
      m_spoolDir(std::move(spoolDir)), m_log(log)
{
}

QString Despooler::findDefinition(const QStringList& printers, const QString& queue)
{
    for (const QString& def : printers) {
        if (printerdef::queueName(def).compare(queue, Qt::CaseInsensitive) == 0)
            return def;
    }
    return QString();
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
        const QString definition = findDefinition(m_printers, job->queue);
        bool printed = false;
        if (definition.isEmpty())
            log(QStringLiteral("ERROR: Jobfile-Printer ") + job->queue +
                QStringLiteral(" not found."));
        else if (!printerdef::printingDisabled(definition))
            printed = printJob(*job, definition);
        i = m_jobs.finishJob(printed);
        if (printed)
            m_jobs.jobListChanged = true;
    }
}

bool Despooler::printJob(const SpoolJob& job, const QString& definition)
{
    const QString queueDir = m_spoolDir + QLatin1Char('/') + printerdef::queueName(definition);
    const PrintAction action = splitActionPart(printerdef::actionPart(definition));
    const Placeholders values{job.dataFile, job.controlFile, queueDir};
    const QString argumentText = fillPlaceholders(action.argumentText, values);

    bool printed;
    if (action.firstElement.startsWith(QLatin1Char('|'))) {
        log(QStringLiteral("Printing to ") + action.firstElement + QLatin1Char(' ') + argumentText);
        const QString dataPath =
            job.dataFile.isEmpty() ? QString() : queueDir + QLatin1Char('/') + job.dataFile;
        printed = printRaw(action.firstElement, dataPath);
    } else {
        printed = printByCommand(action.firstElement, argumentText,
                                 argumentWords(action.argumentText, values));
    }
    if (!printed)
        return false;

    log(QStringLiteral("Successful: ") + action.firstElement + QLatin1Char(' ') + argumentText);
    deleteJobFiles(queueDir, job);
    return true;
}

bool Despooler::printRaw(const QString& firstElement, const QString& dataPath)
{
    const QString target = firstElement.mid(1);
    RouteResult result;
    if (dataPath.isEmpty() || !QFileInfo(dataPath).isFile()) {
        result.reason = QStringLiteral("data file missing");
    } else if (target.startsWith(QLatin1String("local port "))) {
        result = printToDevice(target.mid(11), dataPath);
    } else if (target.startsWith(QLatin1String("\\\\")) ||
               target.startsWith(QLatin1String("smb://"), Qt::CaseInsensitive)) {
        result = printToSmb(target, dataPath);
    } else {
        result = printToCups(target, dataPath);
    }
    if (!result.ok)
        log(QStringLiteral("Failed: ") + target + QStringLiteral(" (") + result.reason +
            QLatin1Char(')'));
    return result.ok;
}

bool Despooler::printByCommand(const QString& firstElement, const QString& argumentText,
                               const QStringList& words)
{
    const QString shown = firstElement + QLatin1Char(' ') + argumentText;
    const QFileInfo program(firstElement);
    if (firstElement.isEmpty() || !program.isFile()) {
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
