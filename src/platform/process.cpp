// Print commands run as their own program with an argument vector, never through a shell,
// so nothing in a client's file name can become a command.
//
// The child starts with every signal at its default and none blocked: the server ignores
// SIGPIPE and its threads may block signals, and both would otherwise carry over into
// programs that expect a normal start (a pipeline that should end on SIGPIPE, say).

#include "platform/printroutes.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
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

// The program and its arguments as the argv of a new process.
class ArgVector final
{
public:
    ArgVector(const QString& program, const QStringList& args)
    {
        m_words.reserve(size_t(args.size()) + 1);
        m_words.push_back(QFile::encodeName(program));
        for (const QString& arg : args)
            m_words.push_back(QFile::encodeName(arg));
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

pid_t waitForChild(pid_t pid, int* status)
{
    pid_t waited;
    do {
        waited = ::waitpid(pid, status, 0);
    } while (waited < 0 && errno == EINTR);
    return waited;
}

} // namespace

ProcessResult runProcess(const QString& program, const QStringList& args, const QString& workingDir)
{
    ProcessResult result;
    const ArgVector words(program, args);
    SpawnSetup setup(QFile::encodeName(workingDir));
    pid_t pid = 0;
    const int err =
        posix_spawn(&pid, words.argv()[0], &setup.actions, &setup.attr, words.argv(), environ);
    if (err != 0) {
        result.startErrno = err;
        return result;
    }
    result.started = true;
    int status = 0;
    if (waitForChild(pid, &status) < 0) {
        // Someone else reaped the child (a SIGCHLD handler); its end is unknown.
        result.exited = true;
        result.exitStatus = -1;
        return result;
    }
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.exitStatus = WTERMSIG(status);
    }
    return result;
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
