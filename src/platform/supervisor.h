#pragma once
// The supervisor of the print commands: one process per server, `spoolmere-supervise
// --supervise` (or the server program itself with that option, where the small one is
// missing), with a socket to the server as descriptor 3. The server hands it each print
// command with the command's output pipe, the job's locked print record and the print's time
// limit; it starts the command (in a process group of its own, every signal at its default,
// only descriptors 0 to 2 open), and when the command ends writes how it ended into the
// record ("exit N" or "signal N"), lets go of the record and tells the server. It ends a
// command that outlives its time limit (the server's one), whether the server lives or not,
// with everything below it and what earlier commands left running. A supervisor whose server died
// goes on until its commands have ended, so their ends are still recorded; then it ends too.
//
// It runs in a session of its own and ignores SIGHUP: a server that dies while the
// supervisor is stopped (SIGSTOP) must not leave it in an orphaned process group, which the
// kernel sends SIGHUP. It is a child subreaper, so whatever a command leaves running
// (daemons included, however deep their chain of setsid) stays below it: it finds them by
// walking /proc, tells the server what a finished command left, and ends those processes
// when a command reaches its time limit or the server goes, and before it ends itself.
//
// It lives as long as the server so that a print costs one process start, not two; it is
// free of Qt so that it starts quickly and does nothing but this.

#include <sys/types.h>

#include <cstdint>
#include <string>

constexpr char SuperviseOption[] = "--supervise";
constexpr int SupervisorSocketFd = 3;

// A request may come with a third descriptor: the queue folder the server opened and checked
// for the print. Its words then mark where that folder goes: this byte and 'p' stand for it,
// the byte twice for the byte itself. The supervisor holds the folder until the command has
// ended and names it /proc/PID/fd/N, its own descriptor of it: a name that leads to that very
// folder whatever is renamed or linked in its path meanwhile, and that still leads there when
// the server has died while the command runs.
constexpr char FolderMark = '\x01';

// `word` with each folder mark replaced by `folder`.
inline std::string unmarkFolder(const char* word, const std::string& folder)
{
    std::string out;
    for (const char* c = word; *c; ++c) {
        if (*c == FolderMark && (c[1] == 'p' || c[1] == FolderMark)) {
            out += c[1] == 'p' ? folder : std::string(1, FolderMark);
            ++c;
        } else {
            out += *c;
        }
    }
    return out;
}

// What comes before the words of a request.
struct SupervisorRequest
{
    int32_t timeoutMs;       // 0: no limit
    int32_t descriptorLimit; // the command's soft RLIMIT_NOFILE; 0: as the supervisor's
};

// What the supervisor tells the server, one message each.
struct SupervisorReply
{
    enum Kind : int32_t
    {
        Started = 1,     // `value` is 0, or the errno of a start that failed
        Ended = 2,       // `value` is the command's wait status
        LeftRunning = 3, // before Ended: `value` processes the command left behind
        TimedOut = 4     // before Ended: the supervisor ended the command at its time limit
    };
    int32_t kind;
    int32_t pid;
    int32_t value;
};

// Serves the server on descriptor 3 until the server is gone and every command has ended.
int runSupervisor();

// Appends a command's end to its print record ("exit N", or "signal N" for a wait status
// of a command killed by a signal).
void appendRecordEnd(int record, int status);

// Starts a print command (argv[0] the program) in `workingDir` (empty: where this program
// is), with standard input /dev/null, standard output and error to `output` and no other
// descriptor, in a process group of its own, every signal at its default and none blocked,
// and a soft descriptor limit of `descriptorLimit` (0: unchanged). With `dieWithStarter` it
// is killed when the thread that started it ends. `mark`, when given, is added to its
// environment ("NAME=value", in place of a variable of that name). Its pid, or -1 with
// `*error` set.
pid_t startPrintCommand(const char* workingDir, char* const* argv, int output, bool dieWithStarter,
                        long descriptorLimit, int* error, const char* mark = nullptr);

// The soft descriptor limit this process started with, before a server raised its own: what
// print commands get (select() in a filter cannot see past 1024).
long printDescriptorLimit();
