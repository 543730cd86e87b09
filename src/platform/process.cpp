// Print commands run as their own program with an argument vector, never through a shell,
// so nothing in a client's file name can become a command.
//
// The child starts with every signal at its default and none blocked: the server ignores
// SIGPIPE and its threads may block signals, and both would otherwise carry over into
// programs that expect a normal start (a pipeline that should end on SIGPIPE, say).

#include "platform/printroutes.h"
#include "platform/supervisor.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <set>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

class SpawnSetup final
{
public:
    explicit SpawnSetup(const QByteArray& workingDir)
    {
        posix_spawn_file_actions_init(&actions);
        if (!workingDir.isEmpty())
            posix_spawn_file_actions_addchdir_np(&actions, workingDir.constData());
        // Every signal at its default and none blocked, whatever this program set.
        posix_spawnattr_init(&attr);
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigdefault(&attr, &all);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~SpawnSetup()
    {
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
};

QList<QByteArray> encodedWords(const QStringList& words)
{
    QList<QByteArray> encoded;
    encoded.reserve(words.size());
    for (const QString& word : words)
        encoded << QFile::encodeName(word);
    return encoded;
}

// The program and its arguments as the argv of a new process.
class ArgVector final
{
public:
    ArgVector(const QString& program, const QStringList& args)
        : ArgVector(program, encodedWords(args))
    {
    }
    ArgVector(const QString& program, const QList<QByteArray>& args)
    {
        m_words.reserve(size_t(args.size()) + 1);
        m_words.push_back(QFile::encodeName(program));
        m_words.insert(m_words.end(), args.cbegin(), args.cend());
        m_argv.reserve(m_words.size() + 1);
        for (QByteArray& word : m_words)
            m_argv.push_back(word.data());
        m_argv.push_back(nullptr);
    }

    char* const* argv() const { return m_argv.data(); }

private:
    std::vector<QByteArray> m_words;
    std::vector<char*> m_argv;
};

// How long a command ended for its time limit may take to finish after SIGTERM.
constexpr qint64 KillGraceMs = 3000;

qint64 monotonicMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The process groups of the print commands running now, for the end of the server.
class RunningProcesses final
{
public:
    void add(pid_t pid)
    {
        std::lock_guard lock(m_mutex);
        m_groups.insert(pid);
    }
    void remove(pid_t pid)
    {
        std::lock_guard lock(m_mutex);
        m_groups.erase(pid);
    }
    bool empty() const
    {
        std::lock_guard lock(m_mutex);
        return m_groups.empty();
    }
    void signalAll(int signal) const
    {
        std::lock_guard lock(m_mutex);
        for (pid_t group : m_groups)
            ::kill(-group, signal);
    }

private:
    mutable std::mutex m_mutex;
    std::set<pid_t> m_groups;
};

RunningProcesses& running()
{
    static RunningProcesses processes;
    return processes;
}

// The last bytes of a program's output: a command that writes without end costs at most
// twice the limit in memory.
class OutputTail final
{
public:
    explicit OutputTail(qsizetype keep) : m_keep(std::max<qsizetype>(keep, 0)) {}

    // False at the end of the stream, on an error, or when nothing waits on a
    // non-blocking descriptor.
    bool readFrom(int fd)
    {
        char buf[65536];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0)
            return errno == EINTR;
        if (n == 0)
            return false;
        m_bytes.append(buf, n);
        if (m_bytes.size() > 2 * m_keep) {
            m_bytes.remove(0, m_bytes.size() - m_keep);
            m_cut = true;
        }
        return true;
    }
    QByteArray bytes() const
    {
        if (m_bytes.size() <= m_keep)
            return m_bytes;
        return m_bytes.right(m_keep);
    }
    bool cut() const { return m_cut || m_bytes.size() > m_keep; }

private:
    qsizetype m_keep;
    QByteArray m_bytes;
    bool m_cut = false;
};

pid_t waitForChild(pid_t pid, int* status)
{
    pid_t waited;
    do {
        waited = ::waitpid(pid, status, 0);
    } while (waited < 0 && errno == EINTR);
    return waited;
}

} // namespace

namespace {

QString& supervisorPath()
{
    static QString path;
    return path;
}

// The server's side of the print supervisor: started with the first supervised print, and
// again after it died. One print at a time talks to it.
class SupervisorLink final
{
public:
    std::mutex& mutex() { return m_mutex; }

    // The socket to a running supervisor, or -1 with `*error` set.
    int socket(int* error)
    {
        if (m_socket >= 0)
            return m_socket;
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
            *error = errno;
            return -1;
        }
        const QByteArray program = QFile::encodeName(supervisorPath());
        char* argv[] = {const_cast<char*>(program.constData()), const_cast<char*>(SuperviseOption),
                        nullptr};
        SpawnSetup setup({});
        posix_spawn_file_actions_adddup2(&setup.actions, pair[1], SupervisorSocketFd);
        // A group of its own: a Ctrl-C meant for the server must not end it, or the ends of
        // the running prints would go unrecorded.
        short flags = 0;
        posix_spawnattr_getflags(&setup.attr, &flags);
        posix_spawnattr_setflags(&setup.attr, short(flags | POSIX_SPAWN_SETPGROUP));
        posix_spawnattr_setpgroup(&setup.attr, 0);
        const int err = posix_spawn(&m_pid, argv[0], &setup.actions, &setup.attr, argv, environ);
        ::close(pair[1]);
        if (err != 0) {
            ::close(pair[0]);
            *error = err;
            return -1;
        }
        m_socket = pair[0];
        return m_socket;
    }

    // After the supervisor went away (or said something that makes no sense).
    void drop()
    {
        if (m_socket < 0)
            return;
        ::close(m_socket);
        m_socket = -1;
        int status = 0;
        waitForChild(m_pid, &status);
        m_pid = -1;
    }

private:
    std::mutex m_mutex;
    int m_socket = -1;
    pid_t m_pid = -1;
};

SupervisorLink& supervisorLink()
{
    static SupervisorLink link;
    return link;
}

// Hands a command to the supervisor with its output pipe and record; its pid, or -1 with
// `*error` set.
pid_t startSupervised(int link, const ArgVector& words, const QByteArray& workingDir, int output,
                      int record, int* error)
{
    QByteArray request = workingDir;
    request += '\0';
    for (char* const* word = words.argv(); *word; ++word) {
        request += *word;
        request += '\0';
    }
    iovec io{request.data(), size_t(request.size())};
    alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(2 * sizeof(int));
    const int fds[2] = {output, record};
    std::memcpy(CMSG_DATA(rights), fds, sizeof fds);
    ssize_t sent;
    do {
        sent = ::sendmsg(link, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    SupervisorReply reply{};
    ssize_t got = -1;
    if (sent == request.size()) {
        do {
            got = ::recv(link, &reply, sizeof reply, 0);
        } while (got < 0 && errno == EINTR);
    }
    if (got != ssize_t(sizeof reply) || reply.kind != SupervisorReply::Started) {
        *error = sent < 0 ? errno : EPIPE;
        return -1;
    }
    if (reply.value != 0) {
        *error = reply.value;
        return -1;
    }
    return pid_t(reply.pid);
}

// The end of a command the supervisor runs, if it has said so: true with `*status` (-1 when
// the supervisor went away: the command is ended then, and its end is unknown).
bool supervisedEnd(int link, pid_t pid, int* status)
{
    SupervisorReply reply{};
    const ssize_t got = ::recv(link, &reply, sizeof reply, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return false;
    if (got == ssize_t(sizeof reply) && reply.kind == SupervisorReply::Ended && reply.pid == pid) {
        *status = reply.value;
        return true;
    }
    // Without a supervisor nothing would record its end: a print that went on now would
    // be printed again.
    ::kill(-pid, SIGKILL);
    *status = -1;
    supervisorLink().drop();
    return true;
}

} // namespace

void setSupervisorProgram(const QString& path)
{
    supervisorPath() = path;
}

QString supervisorProgram()
{
    return supervisorPath();
}

ProcessResult runProcess(const QString& program, const QStringList& args, const QString& workingDir,
                         int timeoutMs, qsizetype keepOutputBytes, int recordFd)
{
    return runProcessArgv(program, encodedWords(args), workingDir, timeoutMs, keepOutputBytes,
                          recordFd);
}

ProcessResult runProcessArgv(const QString& program, const QList<QByteArray>& args,
                             const QString& workingDir, int timeoutMs, qsizetype keepOutputBytes,
                             int recordFd)
{
    ProcessResult result;
    const bool supervised = recordFd >= 0 && !supervisorPath().isEmpty();
    std::unique_lock<std::mutex> supervisorLock;
    int link = -1;
    if (supervised) {
        supervisorLock = std::unique_lock(supervisorLink().mutex());
        link = supervisorLink().socket(&result.startErrno);
        if (link < 0)
            return result;
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        result.startErrno = errno;
        return result;
    }
    const ArgVector words(program, args);
    pid_t pid = 0;
    if (supervised) {
        int error = 0;
        pid = startSupervised(link, words, QFile::encodeName(workingDir), out[1], recordFd, &error);
        if (pid < 0) {
            if (error == EPIPE)
                supervisorLink().drop();
            ::close(out[0]);
            ::close(out[1]);
            result.startErrno = error;
            return result;
        }
    } else {
        int err = 0;
        pid = startPrintCommand(QFile::encodeName(workingDir).constData(), words.argv(), out[1],
                                false, &err);
        if (pid < 0) {
            ::close(out[0]);
            ::close(out[1]);
            result.startErrno = err;
            return result;
        }
    }
    ::close(out[1]);
    result.started = true;
    running().add(pid);

    // The child's end is seen through a pidfd (or the supervisor's word) beside the pipe;
    // without either, by looking every few milliseconds.
    const int pidFd = supervised ? -1 : int(::syscall(SYS_pidfd_open, pid, 0));
    const int endFd = supervised ? link : pidFd;
    OutputTail tail(keepOutputBytes);
    bool pipeOpen = true;
    int status = 0;
    const qint64 started = monotonicMs();
    qint64 killAt = 0; // when SIGKILL follows the SIGTERM of a time-out
    for (;;) {
        if (supervised) {
            if (supervisedEnd(link, pid, &status))
                break;
        } else {
            const pid_t waited = ::waitpid(pid, &status, WNOHANG);
            if (waited == pid)
                break;
            if (waited < 0 && errno == ECHILD) {
                status = -1; // someone else reaped it (a SIGCHLD handler): its end is unknown
                break;
            }
        }
        const qint64 now = monotonicMs();
        if (timeoutMs > 0 && !result.timedOut && now - started >= timeoutMs) {
            result.timedOut = true;
            ::kill(-pid, SIGTERM);
            killAt = now + KillGraceMs;
        }
        if (killAt > 0 && now >= killAt) {
            ::kill(-pid, SIGKILL);
            killAt = 0;
        }
        int waitMs = endFd >= 0 ? 1000 : 10;
        if (timeoutMs > 0 && !result.timedOut)
            waitMs = int(std::min<qint64>(waitMs, started + timeoutMs - now));
        if (killAt > 0)
            waitMs = int(std::min<qint64>(waitMs, killAt - now));
        pollfd watched[2];
        nfds_t count = 0;
        if (pipeOpen)
            watched[count++] = {out[0], POLLIN, 0};
        if (endFd >= 0)
            watched[count++] = {endFd, POLLIN, 0};
        const int ready = ::poll(watched, count, std::max(waitMs, 0));
        if (ready > 0 && pipeOpen && watched[0].revents != 0)
            pipeOpen = tail.readFrom(out[0]);
    }
    // What is still in the pipe; a process the command left behind may hold it open, so
    // this does not wait for its end.
    const int fl = ::fcntl(out[0], F_GETFL);
    ::fcntl(out[0], F_SETFL, fl | O_NONBLOCK);
    while (pipeOpen && tail.readFrom(out[0])) {
    }
    ::close(out[0]);
    if (pidFd >= 0)
        ::close(pidFd);
    if (result.timedOut)
        ::kill(-pid, SIGKILL); // what is left of its group
    running().remove(pid);
    result.output = tail.bytes();
    result.outputCut = tail.cut();

    if (status == -1) {
        result.exited = true;
        result.exitStatus = -1;
    } else if (WIFEXITED(status)) {
        result.exited = true;
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.exitStatus = WTERMSIG(status);
    }
    return result;
}

void endRunningProcesses(int graceMs)
{
    running().signalAll(SIGTERM);
    const qint64 until = monotonicMs() + graceMs;
    while (!running().empty() && monotonicMs() < until)
        ::usleep(10000);
    running().signalAll(SIGKILL);
}

QByteArray processOutput(const QString& program, const QStringList& args,
                         const std::atomic<bool>* cancel, qsizetype maxBytes)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return {};
    const ArgVector words(program, args);
    SpawnSetup setup({});
    // dup2 onto standard output clears close-on-exec there; the pipe's own ends stay closed.
    posix_spawn_file_actions_adddup2(&setup.actions, out[1], STDOUT_FILENO);
    pid_t pid = 0;
    const int err =
        posix_spawn(&pid, words.argv()[0], &setup.actions, &setup.attr, words.argv(), environ);
    ::close(out[1]);
    if (err != 0) {
        ::close(out[0]);
        return {};
    }

    QByteArray output;
    bool complete = true;
    for (;;) {
        if (cancel && cancel->load()) {
            complete = false;
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        // Woken now and then to see whether the answer is still wanted.
        const int ready = ::poll(&p, 1, 200);
        if (ready < 0 && errno != EINTR) {
            complete = false;
            break;
        }
        if (ready <= 0)
            continue;
        char buf[4096];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (output.size() + n > maxBytes) {
            complete = false;
            break;
        }
        output.append(buf, n);
    }
    ::close(out[0]);
    if (!complete)
        ::kill(pid, SIGKILL);
    int status = 0;
    if (waitForChild(pid, &status) < 0 || !complete || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return {};
    return output;
}
