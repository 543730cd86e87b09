#include "platform/supervisor.h"

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

#include <cerrno>
#include <vector>

extern char** environ;

// vfork and exec rather than posix_spawn: a supervised command is to die with its
// supervisor (PR_SET_PDEATHSIG), as nobody would record its end otherwise and the print
// would be printed again, and there is no spawn attribute for that. The child makes system
// calls only, with every signal blocked until its handlers are the defaults, as posix_spawn
// does: a handler of the starter must never run in the child, which shares its memory.
pid_t startPrintCommand(const char* workingDir, char* const* argv, int output, bool dieWithStarter,
                        int* error)
{
    // The child's errno when it could not run the command; closed by a successful exec.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        *error = errno;
        return -1;
    }
    sigset_t all;
    sigfillset(&all);
    sigset_t before;
    ::pthread_sigmask(SIG_SETMASK, &all, &before);
    const pid_t starter = ::getpid();
    const pid_t pid = ::vfork();
    if (pid == 0) {
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
        const int nothing = ::open("/dev/null", O_RDONLY);
        if ((*workingDir != '\0' && ::chdir(workingDir) != 0) || nothing < 0 ||
            ::dup2(nothing, STDIN_FILENO) < 0 || ::dup2(output, STDOUT_FILENO) < 0 ||
            ::dup2(output, STDERR_FILENO) < 0) {
            failure = errno;
        } else {
            ::execve(argv[0], argv, environ);
            failure = errno;
        }
        [[maybe_unused]] const ssize_t told = ::write(report[1], &failure, sizeof failure);
        ::_exit(127);
    }
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    ::close(report[1]);
    if (pid < 0) {
        *error = forkError;
        ::close(report[0]);
        return -1;
    }
    ::setpgid(pid, pid);
    int failure = 0;
    ssize_t n;
    do {
        n = ::read(report[0], &failure, sizeof failure);
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);
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

struct Command
{
    pid_t pid;
    int pidFd;  // -1 where the kernel has no pidfd: then the loop looks every few ms
    int record; // held (with its lock) until the command's end is written
};

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
    alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))];
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
    int fds[2] = {-1, -1};
    int fdCount = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            if (fdCount < 2)
                fds[fdCount++] = fd;
            else
                ::close(fd);
        }
    }
    // The words: working folder, program, arguments.
    buffer[size_t(n)] = '\0';
    std::vector<char*> words;
    for (size_t at = 0; at < size_t(n); at += std::strlen(buffer.data() + at) + 1)
        words.push_back(buffer.data() + at);
    words.push_back(nullptr);
    int error = EINVAL;
    pid_t pid = -1;
    if (fdCount == 2 && words.size() >= 3 && !(message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)))
        pid = startPrintCommand(words[0], words.data() + 1, fds[0], true, &error);
    if (fds[0] >= 0)
        ::close(fds[0]);
    if (pid > 0) {
        commands.push_back({pid, int(::syscall(SYS_pidfd_open, pid, 0)), fds[1]});
    } else if (fds[1] >= 0) {
        ::close(fds[1]);
    }
    reply(socket, SupervisorReply::Started, pid, pid > 0 ? 0 : error);
    return true;
}

// Records and reports every command that has ended.
void reapEnded(int socket, std::vector<Command>& commands)
{
    for (auto it = commands.begin(); it != commands.end();) {
        int status = 0;
        const pid_t waited = ::waitpid(it->pid, &status, WNOHANG);
        if (waited == 0 || (waited < 0 && errno == EINTR)) {
            ++it;
            continue;
        }
        if (waited < 0)
            status = 127 << 8; // not ours any more: its end is unknown, so it counts as failed
        appendRecordEnd(it->record, status);
        // Closing it lets go of the lock once the server has closed its copy too.
        ::close(it->record);
        if (it->pidFd >= 0)
            ::close(it->pidFd);
        reply(socket, SupervisorReply::Ended, it->pid, status);
        it = commands.erase(it);
    }
}

} // namespace

int runSupervisor()
{
    int socket = SupervisorSocketFd;
    struct stat st
    {
    };
    if (::fstat(socket, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        std::fputs("The print supervisor is started by the server, not by hand.\n", stderr);
        return 2;
    }
    // Print commands must not hold the server's socket.
    ::fcntl(socket, F_SETFD, FD_CLOEXEC);
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<Command> commands;
    std::vector<char> buffer(MaxRequestBytes + 1);
    std::vector<pollfd> watched;
    while (socket >= 0 || !commands.empty()) {
        watched.clear();
        if (socket >= 0)
            watched.push_back({socket, POLLIN, 0});
        bool everyPidFd = true;
        for (const Command& command : commands) {
            if (command.pidFd >= 0)
                watched.push_back({command.pidFd, POLLIN, 0});
            else
                everyPidFd = false;
        }
        const int ready = ::poll(watched.data(), nfds_t(watched.size()), everyPidFd ? -1 : 10);
        if (ready < 0 && errno != EINTR)
            break;
        reapEnded(socket, commands);
        if (ready > 0 && socket >= 0 && watched[0].revents != 0 &&
            !serveRequest(socket, commands, buffer)) {
            ::close(socket);
            socket = -1;
        }
    }
    return 0;
}
