#include "platform/supervisor.h"

#include "net/uniquefd.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <map>
#include <set>
#include <string>
#include <sys/resource.h>
#include <vector>

extern char** environ;

// vfork and exec rather than posix_spawn: a supervised command is to die with its
// supervisor (PR_SET_PDEATHSIG), as nobody would record its end otherwise and the print
// would be printed again, and there is no spawn attribute for that. The child makes system
// calls only, with every signal blocked until its handlers are the defaults, as posix_spawn
// does: a handler of the starter must never run in the child, which shares its memory.
namespace {

// Taken before main, before a server raises its own limit.
const long startingDescriptorLimit = [] {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 0L;
    return long(limit.rlim_cur);
}();

} // namespace

long printDescriptorLimit()
{
    return startingDescriptorLimit;
}

pid_t startPrintCommand(const char* workingDir, char* const* argv, int output, bool dieWithStarter,
                        long descriptorLimit, int* error, const char* mark)
{
    // Made before the fork: the child may not allocate.
    std::vector<char*> environment;
    if (mark) {
        const size_t nameLength = size_t(std::strchr(mark, '=') - mark) + 1;
        for (char** entry = environ; *entry; ++entry) {
            if (std::strncmp(*entry, mark, nameLength) != 0)
                environment.push_back(*entry);
        }
        environment.push_back(const_cast<char*>(mark));
        environment.push_back(nullptr);
    }
    // Past this the loop below would cost more than it is worth; close_range exists anyway
    // on every kernel this runs on.
    rlimit current{};
    ::getrlimit(RLIMIT_NOFILE, &current);
    const int highestFd = int(std::min<rlim_t>(current.rlim_cur, 65536));
    // The child's errno when it could not run the command; closed by a successful exec.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        *error = errno;
        return -1;
    }
    UniqueFd reportRead(report[0]);
    UniqueFd reportWrite(report[1]);
    sigset_t all;
    sigfillset(&all);
    sigset_t before;
    ::pthread_sigmask(SIG_SETMASK, &all, &before);
    const pid_t starter = ::getpid();
    const pid_t pid = ::vfork();
    if (pid == 0) {
        // Raw: the child shares this process's memory until the exec, so the owners above
        // must not change.
        ::close(report[0]);
        int failure = 0;
        if (dieWithStarter) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != starter)
                ::_exit(127);
        }
        // Its own group, so that whatever it starts can be ended with it.
        ::setpgid(0, 0);
        // Whatever the starter or its launcher set: a command that inherits an ignored
        // SIGCHLD loses its own children's exit statuses.
        for (int signal = 1; signal < NSIG; ++signal)
            ::signal(signal, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        // Nothing to read from: a command that asks for input ends instead of waiting for
        // ever.
        const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if ((*workingDir != '\0' && ::chdir(workingDir) != 0) || nothing < 0 ||
            ::dup2(nothing, STDIN_FILENO) < 0 || ::dup2(output, STDOUT_FILENO) < 0 ||
            ::dup2(output, STDERR_FILENO) < 0) {
            failure = errno;
        } else {
            // Only 0, 1 and 2 reach the command, whatever this process holds open; the
            // report pipe still closes at the exec.
            if (::syscall(SYS_close_range, 3U, ~0U, 1U << 2 /* CLOSE_RANGE_CLOEXEC */) != 0) {
                for (int fd = 3; fd < highestFd; ++fd)
                    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            }
            // A filter built on select() breaks with descriptors past 1024, and a server
            // raises its own limit far beyond.
            if (descriptorLimit > 0) {
                rlimit limit = current;
                limit.rlim_cur = std::min<rlim_t>(rlim_t(descriptorLimit), limit.rlim_max);
                ::setrlimit(RLIMIT_NOFILE, &limit);
            }
            ::execve(argv[0], argv, mark ? environment.data() : environ);
            failure = errno;
        }
        [[maybe_unused]] const ssize_t told = ::write(report[1], &failure, sizeof failure);
        ::_exit(127);
    }
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    reportWrite.reset();
    if (pid < 0) {
        *error = forkError;
        return -1;
    }
    ::setpgid(pid, pid);
    int failure = 0;
    ssize_t n;
    do {
        n = ::read(reportRead.get(), &failure, sizeof failure);
    } while (n < 0 && errno == EINTR);
    reportRead.reset();
    if (n == ssize_t(sizeof failure)) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        *error = failure != 0 ? failure : EINVAL;
        return -1;
    }
    *error = 0;
    return pid;
}

void appendRecordEnd(int record, int status)
{
    char line[32];
    const int length = WIFSIGNALED(status)
                           ? std::snprintf(line, sizeof line, "signal %d\n", WTERMSIG(status))
                           : std::snprintf(line, sizeof line, "exit %d\n", WEXITSTATUS(status));
    const off_t end = ::lseek(record, 0, SEEK_END);
    if (end < 0)
        return;
    [[maybe_unused]] const ssize_t written = ::pwrite(record, line, size_t(length), end);
}

namespace {

// A request: the working folder, the program and its arguments, each ended by a NUL, with
// the command's output pipe and its print record as SCM_RIGHTS.
constexpr size_t MaxRequestBytes = 128 * 1024;

// How long a command ended for its time limit may take to finish after SIGTERM.
constexpr long long KillGraceMs = 3000;

long long monotonicMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Marks each command's environment, and so that of everything it starts, with the command's
// number: what a command leaves running is told apart from what another one left, however
// it left its group and session (a daemon's setsid).
constexpr char PrintMark[] = "SPOOLMERE_PRINT=";

struct Command
{
    unsigned long long number; // its PrintMark
    pid_t pid;
    UniqueFd pidFd;         // none where the kernel has no pidfd: then the loop looks every few ms
    UniqueFd record;        // held (with its lock) until the command's end is written
    long long deadline = 0; // its time limit (monotonic ms; 0: none)
    long long killAt = 0;   // SIGKILL after the SIGTERM of the time limit
    int leftRunning = 0;    // processes of its own that came here while it still ran
    UniqueFd folder;        // its queue folder, which its arguments name, until it ends
};

// Every live process below this one, read from /proc: it is a subreaper, so whatever a
// command starts stays below it however it leaves its group and session (a daemon's setsid
// chain), until it ends. Zombies are left out: they are ended already.
std::vector<pid_t> descendants(const std::vector<pid_t>& roots)
{
    std::multimap<pid_t, pid_t> byParent;
    if (DIR* proc = ::opendir("/proc")) {
        while (const dirent* entry = ::readdir(proc)) {
            char* end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (pid <= 0 || *end != '\0')
                continue;
            char path[64];
            std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
            const UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC));
            char text[512];
            const ssize_t n = file.isValid() ? ::read(file.get(), text, sizeof text - 1) : -1;
            if (n <= 0)
                continue;
            text[n] = '\0';
            // "pid (name) state ppid": the name may hold anything, ')' too.
            const char* close = std::strrchr(text, ')');
            char state = 0;
            long parent = 0;
            if (close && std::sscanf(close + 1, " %c %ld", &state, &parent) == 2 && state != 'Z' &&
                state != 'X')
                byParent.emplace(pid_t(parent), pid_t(pid));
        }
        ::closedir(proc);
    }
    std::vector<pid_t> found;
    std::vector<pid_t> next = roots;
    while (!next.empty()) {
        const pid_t parent = next.back();
        next.pop_back();
        const auto [first, last] = byParent.equal_range(parent);
        for (auto it = first; it != last; ++it) {
            found.push_back(it->second);
            next.push_back(it->second);
        }
    }
    return found;
}

bool isCommand(const std::vector<struct Command>& commands, pid_t pid)
{
    return std::any_of(commands.begin(), commands.end(),
                       [&](const struct Command& c) { return c.pid == pid; });
}

// This process's children: the commands, and the first of what they left running.
std::vector<pid_t> children()
{
    std::vector<pid_t> found;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/children", int(::getpid()));
    FILE* file = std::fopen(path, "re");
    if (!file)
        return found;
    int pid;
    while (std::fscanf(file, "%d", &pid) == 1)
        found.push_back(pid_t(pid));
    std::fclose(file);
    return found;
}

// What commands left running: every process below this one that is no running command and
// does not come from one.
std::vector<pid_t> leftRunning(const std::vector<struct Command>& commands)
{
    // Whatever was left running has an ancestor among the children here: with none but
    // commands there is nothing to walk /proc for (the common case, once per print).
    const std::vector<pid_t> direct = children();
    if (std::all_of(direct.begin(), direct.end(),
                    [&](pid_t pid) { return isCommand(commands, pid); }))
        return {};
    std::vector<pid_t> running;
    for (const struct Command& command : commands)
        running.push_back(command.pid);
    std::vector<pid_t> ofCommands = descendants(running);
    ofCommands.insert(ofCommands.end(), running.begin(), running.end());
    std::sort(ofCommands.begin(), ofCommands.end());
    std::vector<pid_t> left;
    for (pid_t pid : descendants({::getpid()})) {
        if (!std::binary_search(ofCommands.begin(), ofCommands.end(), pid))
            left.push_back(pid);
    }
    return left;
}

// Processes commands left behind that have been counted already, from the last look.
std::set<pid_t>& leftovers()
{
    static std::set<pid_t> pids;
    return pids;
}

// Leftovers counted for a command that still runs (by its number), so that one that ends
// first is no longer counted.
std::map<pid_t, unsigned long long>& countedForRunning()
{
    static std::map<pid_t, unsigned long long> owners;
    return owners;
}

// The number of the command a process comes from, read from the mark in its environment;
// 0 when it has none (it cleared its environment) or cannot be read.
unsigned long long printOf(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/environ", int(pid));
    const UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC));
    if (!file.isValid())
        return 0;
    std::string text(1 << 16, '\0');
    ssize_t n;
    do {
        n = ::read(file.get(), text.data(), text.size() - 1);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return 0;
    text.resize(size_t(n));
    for (size_t at = 0; at < text.size(); at = text.find('\0', at) + 1) {
        if (text.compare(at, sizeof PrintMark - 1, PrintMark) == 0)
            return std::strtoull(text.c_str() + at + sizeof PrintMark - 1, nullptr, 10);
        if (text.find('\0', at) == std::string::npos)
            break;
    }
    return 0;
}

// Signals what commands left running, however deep below this process and in whatever
// group or session.
void signalLeftovers(const std::vector<struct Command>& commands, int signal)
{
    for (pid_t pid : leftRunning(commands)) {
        ::kill(pid, signal);
        ::kill(-pid, signal);
    }
}

// Signals a command's group and every process below it.
void signalCommand(const struct Command& command, int signal)
{
    ::kill(-command.pid, signal);
    for (pid_t pid : descendants({command.pid}))
        ::kill(pid, signal);
}

// Reaps what has ended below this process without telling anyone: for the last sweep.
void reapQuietly()
{
    int status = 0;
    while (::waitpid(-1, &status, WNOHANG) > 0) {
    }
}

// Kills what commands left running until nothing is left: a killed parent's children come
// up here and are met by the next round. Bounded, against a fork bomb.
void killLeftovers(const std::vector<struct Command>& commands)
{
    for (int round = 0; round < 100; ++round) {
        const std::vector<pid_t> left = leftRunning(commands);
        if (left.empty())
            return;
        for (pid_t pid : left) {
            ::kill(pid, SIGKILL);
            ::kill(-pid, SIGKILL);
        }
        if (commands.empty())
            reapQuietly();
        ::usleep(round < 10 ? 1000 : 10000);
    }
}

void reply(int socket, SupervisorReply::Kind kind, pid_t pid, int value)
{
    if (socket < 0)
        return;
    const SupervisorReply message{kind, int32_t(pid), int32_t(value)};
    // A server that is gone cannot be told; the record still is.
    while (::send(socket, &message, sizeof message, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
}

// Reads one request and starts its command. False when the server is gone.
bool serveRequest(int socket, std::vector<Command>& commands, std::vector<char>& buffer)
{
    alignas(cmsghdr) char control[CMSG_SPACE(3 * sizeof(int))];
    iovec io{buffer.data(), buffer.size() - 1};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    if (n < 0)
        return errno == EINTR || errno == EAGAIN;
    if (n == 0)
        return false;
    UniqueFd fds[3];
    int fdCount = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            UniqueFd received(fd); // closed here unless it is one of those a request has
            if (fdCount < 3)
                fds[fdCount++] = std::move(received);
        }
    }
    // The header, then the words: working folder, program, arguments.
    SupervisorRequest header{};
    const bool whole = size_t(n) > sizeof header;
    if (whole)
        std::memcpy(&header, buffer.data(), sizeof header);
    buffer[size_t(n)] = '\0';
    std::vector<char*> words;
    for (size_t at = sizeof header; whole && at < size_t(n);
         at += std::strlen(buffer.data() + at) + 1)
        words.push_back(buffer.data() + at);
    // With the folder, the program and its arguments name it by this process's descriptor.
    std::vector<std::string> unmarked;
    if (fdCount == 3) {
        const std::string folder =
            "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fds[2].get());
        for (size_t i = 1; i < words.size(); ++i)
            unmarked.push_back(unmarkFolder(words[i], folder));
        for (size_t i = 0; i < unmarked.size(); ++i)
            words[i + 1] = unmarked[i].data();
    }
    words.push_back(nullptr);
    int error = EINVAL;
    pid_t pid = -1;
    static unsigned long long lastNumber = 0;
    const unsigned long long number = ++lastNumber;
    const std::string mark = PrintMark + std::to_string(number);
    if (fdCount >= 2 && words.size() >= 3 && !(message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)))
        pid = startPrintCommand(words[0], words.data() + 1, fds[0].get(), true,
                                header.descriptorLimit, &error, mark.c_str());
    fds[0].reset();
    if (pid > 0) {
        const long long deadline = header.timeoutMs > 0 ? monotonicMs() + header.timeoutMs : 0;
        commands.push_back({number, pid, UniqueFd(int(::syscall(SYS_pidfd_open, pid, 0))),
                            std::move(fds[1]), deadline, 0, 0, std::move(fds[2])});
    } else {
        fds[1].reset();
        fds[2].reset();
    }
    reply(socket, SupervisorReply::Started, pid, pid > 0 ? 0 : error);
    return true;
}

// The leftovers that came since the last look, each given to the command it comes from by
// the mark it carries: `ended`'s (or with no mark), one still running's (told at its end),
// or what a leftover of an earlier one left (told by nobody). The number given to `ended`;
// `*anyNew` when any came.
int countNewLeftovers(std::vector<Command>& commands, unsigned long long ended, bool* anyNew)
{
    int left = 0;
    std::vector<pid_t> now = leftRunning(commands);
    std::sort(now.begin(), now.end());
    for (pid_t pid : now) {
        if (!leftovers().insert(pid).second)
            continue;
        *anyNew = true;
        const unsigned long long owner = printOf(pid);
        const auto running = std::find_if(commands.begin(), commands.end(),
                                          [&](const Command& c) { return c.number == owner; });
        if (running != commands.end()) {
            ++running->leftRunning;
            countedForRunning().emplace(pid, owner);
        } else if (owner == 0 || owner == ended) {
            ++left;
        }
    }
    // Ended ones are forgotten: their numbers may come back.
    for (auto it = leftovers().begin(); it != leftovers().end();)
        it =
            std::binary_search(now.begin(), now.end(), *it) ? std::next(it) : leftovers().erase(it);
    return left;
}

// Reaps every child that has ended: a command's end is recorded and reported, with what it
// left running; a leftover is forgotten.
void reapEnded(int socket, std::vector<Command>& commands)
{
    for (;;) {
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, WNOHANG);
        if (pid < 0 && errno == EINTR)
            continue;
        if (pid <= 0)
            break;
        const auto it = std::find_if(commands.begin(), commands.end(),
                                     [&](const Command& c) { return c.pid == pid; });
        if (it == commands.end()) {
            if (const auto counted = countedForRunning().find(pid);
                counted != countedForRunning().end()) {
                for (Command& command : commands) {
                    if (command.number == counted->second)
                        --command.leftRunning;
                }
                countedForRunning().erase(counted);
            }
            continue;
        }
        Command ended = std::move(*it);
        commands.erase(it);
        if (ended.killAt > 0)
            ::kill(-ended.pid, SIGKILL); // what is left of its group after its time limit
        // A daemon that forks on its way out of the command's session may not be there at
        // the first look: a few more, while new ones turn up.
        bool anyNew = false;
        int left = ended.leftRunning + countNewLeftovers(commands, ended.number, &anyNew);
        for (int look = 0; look < 5 && anyNew; ++look) {
            ::usleep(2000);
            anyNew = false;
            left += countNewLeftovers(commands, ended.number, &anyNew);
        }
        for (auto counted = countedForRunning().begin(); counted != countedForRunning().end();)
            counted = counted->second == ended.number ? countedForRunning().erase(counted)
                                                      : std::next(counted);
        if (left > 0)
            reply(socket, SupervisorReply::LeftRunning, ended.pid, left);
        if (ended.killAt > 0)
            reply(socket, SupervisorReply::TimedOut, ended.pid, 0);
        appendRecordEnd(ended.record.get(), status);
        // Closing it lets go of the lock once the server has closed its copy too.
        ended.record.reset();
        ended.pidFd.reset();
        reply(socket, SupervisorReply::Ended, ended.pid, status);
    }
}

// Ends commands past their time limit: SIGTERM to their group, to everything below them
// and to what commands left running, SIGKILL a few seconds later (`*sweepAt` then, for what
// was left running). The time until the next step, or -1.
int enforceTimeLimits(std::vector<Command>& commands, long long* sweepAt)
{
    const long long now = monotonicMs();
    long long next = -1;
    for (Command& command : commands) {
        if (command.deadline > 0 && command.killAt == 0 && now >= command.deadline) {
            signalCommand(command, SIGTERM);
            signalLeftovers(commands, SIGTERM);
            command.killAt = now + KillGraceMs;
            *sweepAt = command.killAt;
        } else if (command.killAt > 0 && now >= command.killAt) {
            signalCommand(command, SIGKILL);
            command.killAt = now + KillGraceMs;
        }
        const long long at = command.killAt > 0 ? command.killAt : command.deadline;
        if (at > 0 && (next < 0 || at - now < next))
            next = std::max(at - now, 0LL);
    }
    if (*sweepAt > 0 && (next < 0 || *sweepAt - now < next))
        next = std::max(*sweepAt - now, 0LL);
    return int(next);
}

} // namespace

int runSupervisor()
{
    struct stat st
    {
    };
    if (::fstat(SupervisorSocketFd, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        std::fputs("The print supervisor is started by the server, not by hand.\n", stderr);
        return 2;
    }
    UniqueFd socket(SupervisorSocketFd);
    // Print commands must not hold the server's socket.
    ::fcntl(socket.get(), F_SETFD, FD_CLOEXEC);
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGHUP, SIG_IGN);
    // A Ctrl-C meant for the server, or the end of its session, must not end the prints.
    ::setsid();
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::vector<Command> commands;
    std::vector<char> buffer(MaxRequestBytes + 1);
    std::vector<pollfd> watched;
    // When what commands left running is killed: a few seconds after a time limit's or the
    // server's end's SIGTERM.
    long long sweepAt = 0;
    while (socket.isValid() || !commands.empty() || sweepAt > 0) {
        watched.clear();
        if (socket.isValid())
            watched.push_back({socket.get(), POLLIN, 0});
        bool everyPidFd = true;
        for (const Command& command : commands) {
            if (command.pidFd.isValid())
                watched.push_back({command.pidFd.get(), POLLIN, 0});
            else
                everyPidFd = false;
        }
        // Leftovers are reaped on the way; they wake nobody.
        int waitMs = everyPidFd ? 1000 : 10;
        const int limit = enforceTimeLimits(commands, &sweepAt);
        if (limit >= 0)
            waitMs = std::min(waitMs, limit);
        const int ready = ::poll(watched.data(), nfds_t(watched.size()), waitMs);
        if (ready < 0 && errno != EINTR)
            break;
        reapEnded(socket.get(), commands);
        if (ready > 0 && socket.isValid() && watched[0].revents != 0 &&
            !serveRequest(socket.get(), commands, buffer)) {
            socket.reset();
            // The server is gone: what finished prints left running goes with it.
            signalLeftovers(commands, SIGTERM);
            sweepAt = monotonicMs() + KillGraceMs;
        }
        if (sweepAt > 0 && monotonicMs() >= sweepAt) {
            killLeftovers(commands);
            sweepAt = 0;
        }
    }
    // Nothing outlives the supervisor: what is left would be nobody's to end.
    killLeftovers(commands);
    return 0;
}
