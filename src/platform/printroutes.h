#pragma once
// The raw print routes and print-command processes. Each call blocks until done and is
// made from the despooler thread, never from the main thread. A route that is refused or
// cut short anywhere returns false with a reason for the log.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>

#include "platform/supervisor.h"

// The raw routes read the data file from a descriptor the caller opened (and keeps): the
// spool opens it inside the queue folder it checked, so no route looks a path up again,
// which could lead through a link put in the folder's place since. A descriptor of -1 fails
// ("cannot open data file") before anything is sent.

struct RouteResult
{
    bool ok = false;
    QString reason; // empty on success
};

// Writes the data file unchanged to an existing device node or file, in 1024-byte blocks;
// a failed or short write fails, and so does a device that has not taken everything
// within timeoutMs (0: no limit).
RouteResult printToDevice(const QString& devicePath, int dataFile, int timeoutMs = 0);

// What a print line tells the printers that take more than bytes (CUPS, IPP).
struct PrintedDocument
{
    QString title; // the job's name: the control file's J line, else N; may be empty
    QString user;  // P
    char letter = 'f';
};

// The document format a print letter names: "l" as it is (application/octet-stream), "o"
// PostScript, "f" and "p" plain text, any other as it is.
QByteArray documentFormatFor(char letter);

// A job on a CUPS queue, named by the document's title and user. Raw unless `convert`:
// then in the format its letter names, for CUPS to convert.
// Ends (and cancels the job) when CUPS has not taken everything within timeoutMs (0: no
// limit beyond the connection's own for a silent server).
// The reason printToCups gives, followed by the name, when CUPS has no such queue.
inline constexpr char NoSuchCupsPrinter[] = "no such printer: ";
RouteResult printToCups(const QString& queue, int dataFile, int timeoutMs = 0,
                        const PrintedDocument& document = {}, bool convert = false);

// A raw print job on an SMB printer, written as \\host\printer or smb://host[:port]/printer,
// as guest through libsmbclient's context API; one that is not done within timeoutMs (0: no
// limit beyond the client's own for a silent server) fails.
RouteResult printToSmb(const QString& target, int dataFile, int timeoutMs = 0);

// The data file to an AppSocket printer (socket://host:port): written whole, then a
// half-close, then the printer's close; all within timeoutMs (0: the idle limit only).
RouteResult printToSocket(const QString& host, quint16 port, int dataFile, int timeoutMs = 0);

// A job forwarded to another LPD: its data files, then its control file, each under the
// client's own name.
struct ForwardedFile
{
    QByteArray name;
    int fd = -1; // open for reading; the caller keeps it
};
struct ForwardedJob
{
    QByteArray controlName;
    QByteArray control;
    QList<ForwardedFile> dataFiles;
};
RouteResult forwardToLpd(const QString& host, quint16 port, const QString& queue,
                         const ForwardedJob& job, int timeoutMs = 0);

// One IPP job on the printer at `uri` (ipp:// or ipps://), through libcups without a CUPS
// server, in the format the document's letter names or else one the printer takes. Ends
// when the printer reports the job completed (aborted or canceled: failed, with the
// printer's reasons), within timeoutMs (0: the idle limit only).
RouteResult printToIpp(const QString& uri, int dataFile, const PrintedDocument& document,
                       int timeoutMs = 0);

// What an IPP printer says of itself, for the printer dialog's Test and --status.
struct IppPrinterState
{
    bool answered = false;
    QString problem; // why it did not answer
    QString name;    // printer-name (else printer-make-and-model)
    QString state;   // "idle", "processing", "stopped"
    QStringList reasons; // printer-state-reasons other than "none"
    QStringList formats; // document-format-supported
};
IppPrinterState queryIppPrinter(const QString& uri, int timeoutMs);

// The smb:// URL for an SMB printer path: \\host\printer (or //host/printer) becomes
// smb://host/printer with the share name escaped for the URL; an smb:// URL is kept as it
// stands. Empty when the text is neither.
QString smbUrlFromTarget(const QString& target);

struct ProcessResult
{
    bool started = false;
    int startErrno = 0;
    bool exited = false;   // ended by exit(); else killed by a signal
    int exitStatus = 0;    // exit status, or the signal number when !exited; -1: end unknown
    bool timedOut = false; // ended with its process group when the time limit passed
    // The last bytes the program wrote to its standard output and error (both go to one
    // pipe, so their lines stay in order); `outputCut` when earlier ones were dropped.
    QByteArray output;
    bool outputCut = false;
    // Processes a supervised command left running when it ended (daemons, background jobs).
    int leftRunning = 0;
};

// posix_spawn of `program` with argv = program + args, no shell, current directory
// `workingDir`, the server's environment, standard input /dev/null, in a process group of
// its own. Waits until it exits, or until timeoutMs (0: no limit) has passed: then its
// group gets SIGTERM and, a few seconds later, SIGKILL. Keeps the last keepOutputBytes of
// what it writes.
// With a `recordFd` (a print record, see spool/printrecord.h) the supervisor starts the
// program and writes its end into the record, when there is a supervisor program. With a
// `folderFd` (a print's queue folder) the arguments mark the folder (see FolderMark in
// platform/supervisor.h), and whoever runs the command names it by its own descriptor.
ProcessResult runProcess(const QString& program, const QStringList& args, const QString& workingDir,
                         int timeoutMs = 0, qsizetype keepOutputBytes = 4096, int recordFd = -1);
// The same with the arguments as the bytes of the argv: a spooled file's name is the
// client's bytes, which no text in the file system's encoding gives back.
ProcessResult runProcessArgv(const QString& program, const QList<QByteArray>& args,
                             const QString& workingDir, int timeoutMs = 0,
                             qsizetype keepOutputBytes = 4096, int recordFd = -1,
                             int folderFd = -1);

// Clears the calling thread's ambient capabilities, so that no program started from it
// inherits one (under the service CAP_NET_BIND_SERVICE: a filter that reads client data
// must not bind a privileged port); the process keeps what it has itself. Called first
// thing in main, before any thread exists: threads made later inherit the cleared set.
void clearInheritedCapabilities();

// The supervisor program (see platform/supervisor.h); empty (the default, as in tests that
// run the despooler inside another program) runs print commands without a supervisor.
void setSupervisorProgram(const QString& path);
QString supervisorProgram();

// Ends every process group runProcess still waits for (at shut-down): SIGTERM, then
// SIGKILL for those still there after graceMs.
void endRunningProcesses(int graceMs);

// Runs `program` with argv = program + args like runProcess and returns what it wrote to
// its standard output (at most maxBytes; more ends the program). Empty when it could not
// start, did not exit with status 0, or *cancel was raised (it is then killed).
QByteArray processOutput(const QString& program, const QStringList& args,
                         const std::atomic<bool>* cancel, qsizetype maxBytes);

// Names of the printers the local CUPS knows (cupsGetDests); empty when no CUPS server
// answers.
QStringList cupsPrinterNames();
