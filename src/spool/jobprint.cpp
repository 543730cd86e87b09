#include "spool/jobprint.h"

#include "config/logsink.h"
#include "net/uniquefd.h"
#include "platform/printroutes.h"
#include "spool/accounting.h"
#include "spool/printaction.h"
#include "spool/printrecord.h"
#include "spool/queuefolder.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

JobPrint::JobPrint(std::shared_ptr<const SpoolJob> job, PrinterDefinition printer, QString queueDir,
                   Options options, LogSink& log)
    : m_job(std::move(job)), m_printer(std::move(printer)), m_queueDir(std::move(queueDir)),
      m_options(options), m_log(log)
{
}

void JobPrint::log(const QString& line)
{
    m_log.appendFromAnyThread(line);
}

bool JobPrint::fail(const QString& reason)
{
    if (m_reason.isEmpty())
        m_reason = reason;
    return false;
}

bool JobPrint::defer(const QString& reason)
{
    m_deferred = true;
    return fail(reason);
}

bool JobPrint::block(const QString& reason)
{
    m_blocked = true;
    return fail(reason);
}

JobPrint::Outcome JobPrint::notPrinted() const
{
    return m_blocked ? Outcome::Blocked : m_deferred ? Outcome::Deferred : Outcome::Failed;
}

QString JobPrint::recordProblem(const QString& why) const
{
    return QStringLiteral("print record ") + m_queueDir + QStringLiteral("/.:printing ") + why;
}

JobPrint::Result JobPrint::run()
{
    const QueueFolder folder = QueueFolder::open(m_queueDir, false);
    Result result = print(folder);
    // The print's own time: the lines it printed, not the look-ups or waits around them.
    result.durationMs = m_printMs;
    return result;
}

JobPrint::Result JobPrint::print(const QueueFolder& folder)
{
    const SpoolJob& job = *m_job;
    const PrintRoute& route = m_printer.route;
    if (!folder.isOpen() && folder.openError() != 0) {
        // Out of descriptors is no job without its files: it stays as it is for the next try.
        return {Outcome::Deferred,
                QStringLiteral("cannot open ") + m_queueDir + QStringLiteral(": ") +
                    QString::fromLocal8Bit(std::strerror(folder.openError())),
                0};
    }
    if (const QString problem = unusableFolder(folder, job); !problem.isEmpty()) {
        // Something took the folder's place (a link, a folder of another user, another
        // folder renamed there): nothing in it is the job's. The job waits for its folder,
        // which only the operator can give back.
        return {Outcome::Blocked,
                QStringLiteral("queue folder ") + m_queueDir + QLatin1Char(' ') + problem, 0};
    }
    // Without its data files a command would be handed the queue folder itself as its file.
    const QStringList files = job.dataFiles();
    if (files.isEmpty() || !std::all_of(files.cbegin(), files.cend(), [&](const QString& file) {
            return folder.isRegularFile(file);
        })) {
        log(QStringLiteral("Failed: ") + job.controlFile + QStringLiteral(" has no data file"));
        return {Outcome::Failed, QStringLiteral("no data file"), 0};
    }
    // An entry names the control file it was written for by its inode and modification
    // time too: another job that comes under the same name (after this one was removed
    // while a crash left its entry) is never taken for it.
    QString identity;
    struct stat control
    {
    };
    if (folder.isOpen() && ::fstatat(folder.fd(), spoolName(job.controlFile).constData(), &control,
                                     AT_SYMLINK_NOFOLLOW) == 0)
        identity = QLatin1Char('@') + QString::number(quint64(control.st_ino)) + QLatin1Char('.') +
                   QString::number(qint64(control.st_mtim.tv_sec)) +
                   QString::number(control.st_mtim.tv_nsec).rightJustified(9, QLatin1Char('0'));
    if (route.kind == PrintRoute::Kind::Cups || route.kind == PrintRoute::Kind::Ipp)
        m_jobName = jobName(folder);
    // A forwarded job goes whole, under the entry of its first line.
    if (route.kind == PrintRoute::Kind::Lpd)
        return forwardJob(folder, PrintRecord::lineEntry(job.controlFile, 0) + identity);
    // Each print line prints its file once (a repeated line is a copy), under an entry of
    // its own in the print record: a job cut off between two lines prints neither again.
    for (int i = 0; i < job.printLines.size(); ++i) {
        const PrintLine& line = job.printLines[i];
        const Placeholders values{line.dataFile, job.controlFile, m_queueDir,
                                  QString(QLatin1Char(line.letter))};
        // The log shows the folder's path, for people; the command gets the folder that was
        // opened and checked, by its descriptor (see printByCommand).
        const QString shown =
            route.program + QLatin1Char(' ') + fillPlaceholders(route.argumentText, values);
        const QString entry = PrintRecord::lineEntry(job.controlFile, i) + identity;
        const Earlier earlier = folder.isOpen() ? lookUp(folder, entry) : Earlier::Print;
        if (earlier == Earlier::Wait)
            return {notPrinted(), m_reason, 0};
        if (earlier == Earlier::Printed)
            continue;
        QElapsedTimer clock;
        clock.start();
        const bool printed =
            route.isRaw()
                ? printRaw(folder, entry, line, shown)
                : printRecorded(folder, entry, shown, markedArguments(route.argumentWords, values));
        m_printMs += clock.elapsed();
        if (!printed)
            return {notPrinted(), m_reason, 0};
        log(QStringLiteral("Successful: ") + shown);
        if (m_options.stopRequested && *m_options.stopRequested && i + 1 < job.printLines.size())
            return {Outcome::Failed, QStringLiteral("the server stopped"), 0};
    }
    accountPrinted(folder, identity);
    // Its record entries go last, with the files.
    deleteJobFiles(folder, job);
    return {Outcome::Printed, {}, 0};
}

void JobPrint::accountPrinted(const QueueFolder& folder, const QString& identity)
{
    if (!m_options.accounting || !folder.isOpen())
        return;
    const SpoolJob& job = *m_job;
    const QString marker = PrintRecord::lineEntry(job.controlFile, int(job.printLines.size())) +
                           identity;
    QString detail;
    const PrintRecord::Outcome before = PrintRecord::earlier(folder, marker, &detail);
    if (before == PrintRecord::Outcome::Succeeded)
        return;
    // Begun, not ended: killed around the line's write; the file itself tells.
    const bool written =
        before == PrintRecord::Outcome::Unknown && m_options.accounting->containsPrint(job);
    if (!written) {
        UniqueFd begun = PrintRecord::begin(folder, marker);
        begun.reset();
        QString error;
        if (!m_options.accounting->recordPrint(job, true, m_printMs, {}, &error))
            log(QStringLiteral("ERROR: Accounting file ") + m_options.accounting->path() +
                QStringLiteral(": ") + error);
    }
    PrintRecord::recordSuccess(folder, marker);
}

JobPrint::Earlier JobPrint::lookUp(const QueueFolder& folder, const QString& entry)
{
    QString detail;
    const QString shown = entry.section(QLatin1Char('@'), 0, 0);
    switch (PrintRecord::earlier(folder, entry, &detail)) {
    case PrintRecord::Outcome::Held:
        defer(QStringLiteral("its queue's print record is held by an earlier server's print"));
        return Earlier::Wait;
    case PrintRecord::Outcome::Unusable:
        block(recordProblem(detail));
        return Earlier::Wait;
    case PrintRecord::Outcome::Succeeded:
        log(QStringLiteral("Print of ") + shown +
            QStringLiteral(" ended earlier: successful; not printed again"));
        return Earlier::Printed;
    case PrintRecord::Outcome::Failed:
        log(QStringLiteral("Print of ") + shown +
            QStringLiteral(" ended after the server stopped: failed (") + detail +
            QStringLiteral("); printing it again"));
        // That print ended with no server to account for it (its time limit, say).
        if (m_options.accounting) {
            QString error;
            if (!m_options.accounting->recordPrint(
                    *m_job, false, 0, QStringLiteral("ended after the server stopped: ") + detail,
                    &error))
                log(QStringLiteral("ERROR: Accounting file ") + m_options.accounting->path() +
                    QStringLiteral(": ") + error);
        }
        break;
    case PrintRecord::Outcome::Unknown:
        log(QStringLiteral("Print of ") + shown +
            QStringLiteral(" has no recorded end; printing it again"));
        break;
    case PrintRecord::Outcome::None:
        break;
    }
    return Earlier::Print;
}

bool JobPrint::printRaw(const QueueFolder& folder, const QString& entry, const PrintLine& line,
                        const QString& shown)
{
    log(QStringLiteral("Printing to ") + shown);
    // The file goes as it is; only CUPS (when asked to convert) and IPP printers are told
    // what its letter says. It is opened in the folder that was checked, and the route reads
    // that descriptor: a route handed a path would look it up again, perhaps through a link
    // put in the folder's place since.
    const UniqueFd data = folder.openForReading(line.dataFile);
    if (!printRawRoute(data.get(), line))
        return false;
    // A raw print runs inside this process and dies with it, so only its success needs a
    // record: a server killed before the job's files are gone must not print it again.
    if (folder.isOpen())
        PrintRecord::recordSuccess(folder, entry);
    return true;
}

bool JobPrint::printRecorded(const QueueFolder& folder, const QString& entry, const QString& shown,
                             const QList<QByteArray>& words)
{
    // Without its folder a job has no files to print (print() has failed it already).
    if (!folder.isOpen())
        return fail(QStringLiteral("no queue folder"));
    if (supervisorProgram().isEmpty()) {
        // Run directly, the command dies with the server; its success is still recorded, so
        // the other lines of its job can fail and be tried again without it.
        const bool printed = printByCommand(folder, shown, words, -1);
        if (printed)
            PrintRecord::recordSuccess(folder, entry);
        return printed;
    }
    QString problem;
    UniqueFd record = PrintRecord::begin(folder, entry, &problem);
    if (!record && errno == EWOULDBLOCK)
        return defer(QStringLiteral("its queue's print record is held by an earlier print"));
    // Something else in its place, or garbage in it, waits for the operator; no space or
    // no inode for it waits for space.
    if (!record && errno == EBADMSG)
        return block(recordProblem(problem));
    if (!record)
        return defer(QStringLiteral("no print record: ") + problem);
    const bool printed = printByCommand(folder, shown, words, record.get());
    // Let go of it (and of its lock) before an entry is forgotten, which takes the lock anew.
    record.reset();
    if (!printed)
        PrintRecord::forget(folder, entry);
    return printed;
}

bool JobPrint::printRawRoute(int dataFile, const PrintLine& line)
{
    const PrintRoute& route = m_printer.route;
    const int limitMs = m_options.timeLimitMs;
    const PrintedDocument document{m_jobName, m_job->user, line.letter};
    RouteResult result;
    if (!route.problem.isEmpty()) {
        result.reason = route.problem;
    } else if (dataFile < 0) {
        result.reason = QStringLiteral("data file missing");
    } else {
        switch (route.kind) {
        case PrintRoute::Kind::Device:
            result = printToDevice(route.device, dataFile, limitMs);
            break;
        case PrintRoute::Kind::Smb:
            result = printToSmb(route.target, dataFile, limitMs);
            break;
        case PrintRoute::Kind::Socket:
            result = printToSocket(route.host, route.port, dataFile, limitMs);
            break;
        case PrintRoute::Kind::Ipp:
            result = printToIpp(route.target, dataFile, document, limitMs);
            break;
        case PrintRoute::Kind::Cups:
        case PrintRoute::Kind::Lpd:
        case PrintRoute::Kind::Command:
            result = printToCups(route.path, dataFile, limitMs, document, route.convert);
            break;
        }
    }
    // A CUPS printer that is gone comes back only by the operator's hand: the job waits for
    // it, with the reason, instead of failing again and again.
    if (!result.ok && route.kind == PrintRoute::Kind::Cups &&
        result.reason.startsWith(QLatin1String(NoSuchCupsPrinter))) {
        log(QStringLiteral("Failed: ") + route.target + QStringLiteral(" (") + result.reason +
            QLatin1Char(')'));
        return block(result.reason);
    }
    return routeEnded(result);
}

bool JobPrint::routeEnded(const RouteResult& result)
{
    if (!result.ok) {
        log(QStringLiteral("Failed: ") + m_printer.route.target + QStringLiteral(" (") +
            result.reason + QLatin1Char(')'));
        return fail(result.reason);
    }
    return true;
}

JobPrint::Result JobPrint::forwardJob(const QueueFolder& folder, const QString& entry)
{
    const SpoolJob& job = *m_job;
    const PrintRoute& route = m_printer.route;
    const QString shown = route.program;
    const Earlier earlier = folder.isOpen() ? lookUp(folder, entry) : Earlier::Print;
    if (earlier == Earlier::Wait)
        return {notPrinted(), m_reason, 0};
    if (earlier == Earlier::Print) {
        log(QStringLiteral("Forwarding ") + job.controlFile + QStringLiteral(" to ") + shown);
        ForwardedJob forwarded;
        forwarded.controlName = spoolName(job.controlFile);
        std::vector<UniqueFd> open;
        const QStringList files = job.dataFiles();
        for (const QString& name : files) {
            open.push_back(folder.openForReading(name));
            forwarded.dataFiles.append({spoolName(name), open.back().get()});
        }
        RouteResult result;
        result.reason = route.problem;
        if (result.reason.isEmpty() &&
            readForwardedControlFile(folder, files, &forwarded.control, &result.reason))
            result = forwardToLpd(route.host, route.port, route.path, forwarded,
                                  m_options.timeLimitMs);
        if (!routeEnded(result))
            return {notPrinted(), m_reason, 0};
        // As for every raw route, only the success is recorded (see printRaw).
        if (folder.isOpen())
            PrintRecord::recordSuccess(folder, entry);
        log(QStringLiteral("Successful: ") + shown);
    }
    deleteJobFiles(folder, job);
    return {Outcome::Printed, {}, 0};
}

bool JobPrint::readControlFile(const QueueFolder& folder, QByteArray* contents,
                               QString* reason) const
{
    // Control files are a few hundred bytes; one that is not is no job to pass on.
    constexpr qint64 MaxControlFile = 1 << 20;
    const UniqueFd fd = folder.openForReading(m_job->controlFile);
    char buf[8192];
    for (ssize_t n; fd && (n = ::read(fd.get(), buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || contents->size() + n > MaxControlFile) {
            *reason = QStringLiteral("cannot read control file ") + m_job->controlFile;
            return false;
        }
        contents->append(buf, n);
    }
    if (!fd) {
        *reason = QStringLiteral("cannot open control file ") + m_job->controlFile;
        return false;
    }
    return true;
}

QString JobPrint::jobName(const QueueFolder& folder) const
{
    // The J line names the job; the title the job list shows prefers the file names (N).
    QByteArray contents;
    QString ignored;
    if (readControlFile(folder, &contents, &ignored)) {
        for (const QByteArray& line : contents.split('\n')) {
            if (line.startsWith('J') && line.size() > 1)
                return QString::fromLatin1(line.mid(1)).remove(QLatin1Char('\r'));
        }
    }
    return m_job->title;
}

bool JobPrint::readForwardedControlFile(const QueueFolder& folder, const QStringList& dataFiles,
                                        QByteArray* control, QString* reason) const
{
    QByteArray contents;
    if (!readControlFile(folder, &contents, reason))
        return false;
    // The client's lines as they came, less those naming a data file that is not the job's
    // (a name refused at reception): the remote would wait for a file that never comes.
    QSet<QByteArray> names;
    for (const QString& name : dataFiles)
        names.insert(spoolName(name));
    for (const QByteArray& line : contents.split('\n')) {
        if (line.isEmpty())
            continue;
        QByteArray operand = line.mid(1);
        if (operand.endsWith('\r'))
            operand.chop(1);
        const bool namesFile = isPrintLetter(line[0]) || line[0] == 'U';
        if (namesFile && !names.contains(operand))
            continue;
        control->append(line + '\n');
    }
    return true;
}

void JobPrint::logOutput(const QByteArray& output, bool cut)
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
    const QString prefix = QStringLiteral("Output of ") + m_job->queue + QStringLiteral(" (") +
                           m_printer.route.program + QStringLiteral("): ");
    if (cut)
        log(prefix + QStringLiteral("..."));
    for (const QByteArray& line : lines)
        log(prefix + QString::fromLocal8Bit(line).remove(QLatin1Char('\r')));
}

bool JobPrint::printByCommand(const QueueFolder& folder, const QString& shown,
                              const QList<QByteArray>& words, int record)
{
    const PrintRoute& route = m_printer.route;
    const QFileInfo program(route.program);
    if (route.program.isEmpty() || !program.isFile()) {
        log(QStringLiteral("Command not found: ") + shown);
        return fail(QStringLiteral("command not found"));
    }
    log(QStringLiteral("Starting ") + shown);
    const int limitMs = m_options.timeLimitMs;
    // With a record, the supervisor runs the command and writes down how it ended.
    // The folder goes with it: %p names it by a descriptor held while the command runs (the
    // supervisor's, which outlives a server that dies meanwhile), so it leads to the folder
    // that was checked whatever is renamed or linked in its path; the path could lead through
    // a link someone put in its place since.
    const ProcessResult result =
        runProcessArgv(program.absoluteFilePath(), words, program.absolutePath(), limitMs, 4096,
                       record, folder.fd());
    if (!result.started) {
        log(QStringLiteral("Failed: ") + shown);
        return fail(QStringLiteral("command did not start"));
    }
    if (result.leftRunning > 0)
        log(QStringLiteral("Print of ") + m_job->controlFile + QStringLiteral(" left ") +
            QString::number(result.leftRunning) +
            (result.leftRunning == 1 ? QStringLiteral(" process running")
                                     : QStringLiteral(" processes running")));
    const bool failed = result.timedOut || !result.exited || result.exitStatus != 0;
    if (failed || m_options.logSuccessfulOutput)
        logOutput(result.output, result.outputCut);
    if (result.timedOut) {
        const QString limit = limitMs % 60000 == 0
                                  ? QString::number(limitMs / 60000) + QStringLiteral(" min")
                                  : QString::number(limitMs) + QStringLiteral(" ms");
        const QString reason =
            QStringLiteral("ended with its processes at the time limit of ") + limit;
        log(QStringLiteral("Failed: ") + shown + QStringLiteral(" (") + reason + QLatin1Char(')'));
        return fail(reason);
    }
    if (result.exited && result.exitStatus == -1) {
        // Its supervisor ended (and the server ended the command), or something else reaped it.
        log(QStringLiteral("Failed: ") + shown + QStringLiteral(" (its end is unknown)"));
        return fail(QStringLiteral("its end is unknown"));
    }
    if (!result.exited || result.exitStatus != 0) {
        // A command killed by a signal reads like a shell's status for it: 128 + signal.
        const int status = result.exited ? result.exitStatus : 128 + result.exitStatus;
        const QString reason = QStringLiteral("exit status ") + QString::number(status);
        log(QStringLiteral("Failed: ") + shown + QStringLiteral(" (") + reason + QLatin1Char(')'));
        return fail(reason);
    }
    return true;
}
