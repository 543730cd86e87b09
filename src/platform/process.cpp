// Print commands run as their own program with an argument vector, never through a shell,
// so nothing in a client's file name can become a command.
//
// The child starts with every signal at its default and none blocked: the server ignores
// SIGPIPE and its threads may block signals, and both would otherwise carry over into
// programs that expect a normal start (a pipeline that should end on SIGPIPE, say).

#include "net/uniquefd.h"
#include "platform/printroutes.h"
#include "platform/supervisor.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <set>
#include <spawn.h>
#include <linux/capability.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

void clearInheritedCapabilities()
{
    // A kernel before 4.3 has no ambient set, and then nothing to clear.
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    // The inheritable set too: a program file with inheritable file capabilities would
    // otherwise still gain them. Permitted and effective stay as they are.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return;
    bool inheritable = false;
    for (auto& set : data) {
        inheritable = inheritable || set.inheritable != 0;
        set.inheritable = 0;
    }
    if (inheritable)
        ::syscall(SYS_capset, &header, data);
}

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

// How long the supervisor may take to start a command (a vfork and an exec). One that does
// not answer in this time (stopped, or hung) is ended, and the print was never started.
constexpr int SupervisorStartLimitMs = 10000;
// How long past a command's time limit its end may take to come from the supervisor, which
// ends it itself: a SIGTERM, a SIGKILL after the grace, then the report.
constexpr qint64 SupervisorEndSlackMs = 2 * KillGraceMs + 5000;

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
// again after it died. Prints of several queues run through it at once: starting one is
// serialised (the supervisor answers requests in order), and a reader thread hands each
// end to the print it belongs to through that print's eventfd, so no print waits for
// another's.
class SupervisorConnection final
{
public:
    SupervisorConnection(UniqueFd socket, pid_t pid) : m_socket(std::move(socket)), m_pid(pid) {}

    // Ends a supervisor that does not answer: its commands die with it (their ends unknown,
    // so their jobs stay), every print waiting on it is told, and the next print starts a
    // new one. A stopped process is killed too.
    void abandon()
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_abandoned)
                return;
            m_abandoned = true;
            m_dead = true;
            m_started.notify_all();
        }
        ::kill(m_pid, SIGKILL);
        shutDown();
    }

    // Sends a request and waits for its start; the command's pid, or -1 with `*error` set.
    // On success `*endFd` becomes readable once the command's end is known (see takeEnd).
    // `folder`: the print's queue folder, which the request's words mark, or -1.
    pid_t start(const QByteArray& request, int output, int record, int folder, int* endFd,
                int* error)
    {
        std::lock_guard starting(m_startMutex);
        UniqueFd efd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!efd.isValid()) {
            *error = errno;
            return -1;
        }
        iovec io{const_cast<char*>(request.constData()), size_t(request.size())};
        const int fds[3] = {output, record, folder};
        const size_t fdCount = folder >= 0 ? 3 : 2;
        alignas(cmsghdr) char control[CMSG_SPACE(3 * sizeof(int))] = {};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(fdCount * sizeof(int));
        cmsghdr* rights = CMSG_FIRSTHDR(&message);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(fdCount * sizeof(int));
        std::memcpy(CMSG_DATA(rights), fds, fdCount * sizeof(int));
        ssize_t sent;
        do {
            sent = ::sendmsg(m_socket.get(), &message, MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        std::unique_lock lock(m_mutex);
        if (sent != request.size()) {
            *error = sent < 0 ? errno : EPIPE;
            lock.unlock();
            efd.reset();
            shutDown();
            return -1;
        }
        const bool answered =
            m_started.wait_for(lock, std::chrono::milliseconds(SupervisorStartLimitMs),
                               [&] { return m_dead || !m_startReplies.empty(); });
        if (!answered) {
            // A late answer must not start a print nobody waits for: it never comes.
            lock.unlock();
            efd.reset();
            abandon();
            *error = ETIMEDOUT;
            return -1;
        }
        if (m_startReplies.empty()) {
            *error = EPIPE;
            lock.unlock();
            efd.reset();
            return -1;
        }
        const SupervisorReply reply = m_startReplies.front();
        m_startReplies.pop_front();
        if (reply.value != 0 || reply.pid <= 0) {
            *error = reply.value != 0 ? reply.value : EINVAL;
            lock.unlock();
            efd.reset();
            return -1;
        }
        // The reader made the waiter at the start reply: what it heard since (what the
        // command left, its end) is in it already.
        Waiter& waiter = m_waiters[reply.pid];
        waiter.eventFd = std::move(efd);
        if (waiter.ended)
            tell(waiter);
        else if (m_dead)
            finish(waiter, -1);
        *endFd = waiter.eventFd.get();
        return reply.pid;
    }

    // The command's end once it is known: true with `*status` (-1 when the supervisor went
    // away: its end is unknown). The end's eventfd is closed then, with its waiter.
    bool takeEnd(pid_t pid, int* status, int* leftRunning, bool* timedOut)
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_waiters.find(pid);
        if (it == m_waiters.end())
            return false;
        if (!it->second.ended)
            return false;
        *status = it->second.status;
        *leftRunning = it->second.leftRunning;
        *timedOut = it->second.timedOut;
        m_waiters.erase(it);
        return true;
    }

    bool dead() const
    {
        std::lock_guard lock(m_mutex);
        return m_dead;
    }

    // Ends the connection: the reader sees the end and fails every print still waiting.
    void shutDown() { ::shutdown(m_socket.get(), SHUT_RDWR); }

    void readReplies()
    {
        for (;;) {
            SupervisorReply reply{};
            const ssize_t got = ::recv(m_socket.get(), &reply, sizeof reply, 0);
            if (got < 0 && errno == EINTR)
                continue;
            std::lock_guard lock(m_mutex);
            if (got != ssize_t(sizeof reply)) {
                m_dead = true;
                for (auto& [pid, waiter] : m_waiters)
                    finish(waiter, -1);
                m_started.notify_all();
                break;
            }
            if (reply.kind == SupervisorReply::Started) {
                // The waiter is made here, not by the starting thread once it wakes: what
                // the supervisor says next about a quick command must find it.
                if (reply.value == 0 && reply.pid > 0)
                    m_waiters[reply.pid] = Waiter{};
                m_startReplies.push_back(reply);
                m_started.notify_all();
            } else if (const auto it = m_waiters.find(reply.pid); it == m_waiters.end()) {
                continue;
            } else if (reply.kind == SupervisorReply::LeftRunning) {
                it->second.leftRunning = reply.value;
            } else if (reply.kind == SupervisorReply::TimedOut) {
                it->second.timedOut = true;
            } else if (reply.kind == SupervisorReply::Ended) {
                finish(it->second, reply.value);
            }
        }
        // The socket stays open until the connection goes: a start or a shutDown on another
        // thread may still use it, and its number must not be reused meanwhile.
        int status = 0;
        waitForChild(m_pid, &status);
    }

private:
    struct Waiter
    {
        UniqueFd eventFd;
        bool ended = false;
        int status = 0;
        int leftRunning = 0;
        bool timedOut = false;
    };

    static void finish(Waiter& waiter, int status)
    {
        if (waiter.ended)
            return;
        waiter.ended = true;
        waiter.status = status;
        tell(waiter);
    }

    // Wakes the print that waits for the end (none yet when it has not taken its start).
    static void tell(const Waiter& waiter)
    {
        if (!waiter.eventFd.isValid())
            return;
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t told = ::write(waiter.eventFd.get(), &one, sizeof one);
    }

    const UniqueFd m_socket;
    const pid_t m_pid;
    std::mutex m_startMutex;
    mutable std::mutex m_mutex;
    std::condition_variable m_started;
    std::deque<SupervisorReply> m_startReplies;
    std::map<pid_t, Waiter> m_waiters;
    bool m_dead = false;
    bool m_abandoned = false;
};

std::mutex& supervisorMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Never destroyed: its reader thread may outlive the end of main.
std::shared_ptr<SupervisorConnection>& currentSupervisor()
{
    static auto* current = new std::shared_ptr<SupervisorConnection>;
    return *current;
}

// The running supervisor, started when a print needs it and none runs.
std::shared_ptr<SupervisorConnection> supervisorConnection(int* error)
{
    std::lock_guard lock(supervisorMutex());
    std::shared_ptr<SupervisorConnection>* current = &currentSupervisor();
    if (*current && !(*current)->dead())
        return *current;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        *error = errno;
        return nullptr;
    }
    UniqueFd ours(pair[0]);
    UniqueFd theirs(pair[1]);
    const QByteArray program = QFile::encodeName(supervisorPath());
    char* argv[] = {const_cast<char*>(program.constData()), const_cast<char*>(SuperviseOption),
                    nullptr};
    SpawnSetup setup({});
    posix_spawn_file_actions_adddup2(&setup.actions, theirs.get(), SupervisorSocketFd);
    pid_t pid = -1;
    const int err = posix_spawn(&pid, argv[0], &setup.actions, &setup.attr, argv, environ);
    theirs.reset();
    if (err != 0) {
        *error = err;
        return nullptr;
    }
    *current = std::make_shared<SupervisorConnection>(std::move(ours), pid);
    std::thread([connection = *current] { connection->readReplies(); }).detach();
    return *current;
}

// A request: the header, then the working folder, the program and its arguments, each
// ended by a NUL.
QByteArray supervisorRequest(const ArgVector& words, const QByteArray& workingDir, int timeoutMs)
{
    SupervisorRequest header{};
    header.timeoutMs = timeoutMs;
    header.descriptorLimit = printDescriptorLimit();
    QByteArray request(reinterpret_cast<const char*>(&header), sizeof header);
    request += workingDir;
    request += '\0';
    for (char* const* word = words.argv(); *word; ++word) {
        request += *word;
        request += '\0';
    }
    return request;
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
                             int recordFd, int folderFd)
{
    ProcessResult result;
    const bool supervised = recordFd >= 0 && !supervisorPath().isEmpty();
    std::shared_ptr<SupervisorConnection> link;
    if (supervised) {
        link = supervisorConnection(&result.startErrno);
        if (!link)
            return result;
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        result.startErrno = errno;
        return result;
    }
    UniqueFd outRead(out[0]);
    UniqueFd outWrite(out[1]);
    QList<QByteArray> unmarked;
    if (folderFd >= 0 && !supervised) {
        // Run here, the command dies with this process, whose descriptor names the folder.
        const std::string folder =
            "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(folderFd);
        for (const QByteArray& arg : args)
            unmarked << QByteArray::fromStdString(unmarkFolder(arg.constData(), folder));
    }
    const ArgVector words(program, folderFd >= 0 && !supervised ? unmarked : args);
    pid_t pid = 0;
    int endFd = -1;
    if (supervised) {
        int error = 0;
        // The supervisor ends the command at its limit, with what it started and what
        // earlier commands left running, and says so; whether this server lives or not.
        pid = link->start(supervisorRequest(words, QFile::encodeName(workingDir), timeoutMs),
                          outWrite.get(), recordFd, folderFd, &endFd, &error);
        if (pid < 0) {
            result.startErrno = error;
            return result;
        }
    } else {
        int err = 0;
        pid = startPrintCommand(QFile::encodeName(workingDir).constData(), words.argv(),
                                outWrite.get(), false, printDescriptorLimit(), &err);
        if (pid < 0) {
            result.startErrno = err;
            return result;
        }
    }
    outWrite.reset();
    result.started = true;
    running().add(pid);

    // The child's end is seen through a pidfd (or the supervisor's word) beside the pipe;
    // without either, by looking every few milliseconds.
    UniqueFd pidFd(supervised ? -1 : int(::syscall(SYS_pidfd_open, pid, 0)));
    if (!supervised)
        endFd = pidFd.get();
    OutputTail tail(keepOutputBytes);
    bool pipeOpen = true;
    int status = 0;
    const qint64 started = monotonicMs();
    qint64 killAt = 0; // when SIGKILL follows the SIGTERM of a time-out
    for (;;) {
        if (supervised) {
            if (link->takeEnd(pid, &status, &result.leftRunning, &result.timedOut)) {
                // Without a supervisor nothing would record its end: a print that went on
                // now would be printed again.
                if (status == -1)
                    ::kill(-pid, SIGKILL);
                break;
            }
            // Its end is overdue: the supervisor is stopped or hung, and would hold this
            // thread (and the server's stop) for ever.
            if (timeoutMs > 0 && monotonicMs() - started >= timeoutMs + SupervisorEndSlackMs)
                link->abandon();
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
        if (!supervised && timeoutMs > 0 && !result.timedOut && now - started >= timeoutMs) {
            result.timedOut = true;
            ::kill(-pid, SIGTERM);
            killAt = now + KillGraceMs;
        }
        if (killAt > 0 && now >= killAt) {
            ::kill(-pid, SIGKILL);
            killAt = 0;
        }
        int waitMs = endFd >= 0 ? 1000 : 10;
        if (!supervised && timeoutMs > 0 && !result.timedOut)
            waitMs = int(std::min<qint64>(waitMs, started + timeoutMs - now));
        if (killAt > 0)
            waitMs = int(std::min<qint64>(waitMs, killAt - now));
        pollfd watched[2];
        nfds_t count = 0;
        if (pipeOpen)
            watched[count++] = {outRead.get(), POLLIN, 0};
        if (endFd >= 0)
            watched[count++] = {endFd, POLLIN, 0};
        const int ready = ::poll(watched, count, std::max(waitMs, 0));
        if (ready > 0 && pipeOpen && watched[0].revents != 0)
            pipeOpen = tail.readFrom(outRead.get());
    }
    // What is still in the pipe; a process the command left behind may hold it open, so
    // this does not wait for its end.
    const int fl = ::fcntl(outRead.get(), F_GETFL);
    ::fcntl(outRead.get(), F_SETFL, fl | O_NONBLOCK);
    while (pipeOpen && tail.readFrom(outRead.get())) {
    }
    outRead.reset();
    pidFd.reset();
    if (result.timedOut && !supervised)
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
    // A killed command's end comes from the supervisor at once; one that does not come
    // means a supervisor that cannot answer (stopped), which would hold the prints' threads.
    const qint64 answerBy = monotonicMs() + 1000;
    while (!running().empty() && monotonicMs() < answerBy)
        ::usleep(10000);
    if (!running().empty()) {
        std::lock_guard lock(supervisorMutex());
        if (const std::shared_ptr<SupervisorConnection>& link = currentSupervisor())
            link->abandon();
    }
}

QByteArray processOutput(const QString& program, const QStringList& args,
                         const std::atomic<bool>* cancel, qsizetype maxBytes)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return {};
    UniqueFd outRead(out[0]);
    UniqueFd outWrite(out[1]);
    const ArgVector words(program, args);
    SpawnSetup setup({});
    // dup2 onto standard output clears close-on-exec there; the pipe's own ends stay closed.
    posix_spawn_file_actions_adddup2(&setup.actions, outWrite.get(), STDOUT_FILENO);
    pid_t pid = 0;
    const int err =
        posix_spawn(&pid, words.argv()[0], &setup.actions, &setup.attr, words.argv(), environ);
    outWrite.reset();
    if (err != 0)
        return {};

    QByteArray output;
    bool complete = true;
    for (;;) {
        if (cancel && cancel->load()) {
            complete = false;
            break;
        }
        pollfd p{outRead.get(), POLLIN, 0};
        // Woken now and then to see whether the answer is still wanted.
        const int ready = ::poll(&p, 1, 200);
        if (ready < 0 && errno != EINTR) {
            complete = false;
            break;
        }
        if (ready <= 0)
            continue;
        char buf[4096];
        const ssize_t n = ::read(outRead.get(), buf, sizeof buf);
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
    outRead.reset();
    if (!complete)
        ::kill(pid, SIGKILL);
    int status = 0;
    if (waitForChild(pid, &status) < 0 || !complete || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return {};
    return output;
}
