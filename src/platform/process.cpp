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

} // namespace

ProcessResult runProcess(const QString& program, const QStringList& args, const QString& workingDir)
{
    ProcessResult result;
    std::vector<QByteArray> words;
    words.reserve(size_t(args.size()) + 1);
    words.push_back(QFile::encodeName(program));
    for (const QString& arg : args)
        words.push_back(QFile::encodeName(arg));
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    SpawnSetup setup(QFile::encodeName(workingDir));
    pid_t pid = 0;
    const int err =
        posix_spawn(&pid, argv.front(), &setup.actions, &setup.attr, argv.data(), environ);
    if (err != 0) {
        result.startErrno = err;
        return result;
    }
    result.started = true;

    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0) {
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
