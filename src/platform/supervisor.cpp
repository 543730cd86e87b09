#include "platform/supervisor.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

void initPrintSpawnAttributes(posix_spawnattr_t* attr)
{
    posix_spawnattr_init(attr);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(attr, &all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(attr, &none);
    posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
}

int runSupervisor(int argc, char** argv)
{
    if (argc < 3)
        return 127;
    // The command must not hold the record: its lock tells whether this supervisor lives.
    ::fcntl(SupervisedRecordFd, F_SETFD, FD_CLOEXEC);
    posix_spawnattr_t attr;
    initPrintSpawnAttributes(&attr);
    pid_t pid = 0;
    int status = 127 << 8;
    if (posix_spawn(&pid, argv[2], nullptr, &attr, argv + 2, environ) == 0) {
        pid_t waited;
        do {
            waited = ::waitpid(pid, &status, 0);
        } while (waited < 0 && errno == EINTR);
        if (waited < 0)
            status = 127 << 8;
    }
    posix_spawnattr_destroy(&attr);
    char line[32];
    const int length = WIFSIGNALED(status)
                           ? std::snprintf(line, sizeof line, "signal %d\n", WTERMSIG(status))
                           : std::snprintf(line, sizeof line, "exit %d\n", WEXITSTATUS(status));
    [[maybe_unused]] const ssize_t written = ::pwrite(SupervisedRecordFd, line, size_t(length), 0);
    if (WIFSIGNALED(status)) {
        ::signal(WTERMSIG(status), SIG_DFL);
        ::raise(WTERMSIG(status));
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}
