#include "platform/sigpipeguard.h"

#include <cerrno>
#include <ctime>
#include <pthread.h>

SigpipeGuard::SigpipeGuard()
{
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &m_old);
    m_wasBlocked = sigismember(&m_old, SIGPIPE) == 1;
}

SigpipeGuard::~SigpipeGuard()
{
    if (m_wasBlocked)
        return;
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    // Only a SIGPIPE aimed at this thread can be pending here; one sent to the process
    // would have gone to a thread that does not block it.
    sigset_t pending;
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE) == 1) {
        const timespec zero{0, 0};
        int got;
        do {
            got = sigtimedwait(&pipeOnly, nullptr, &zero);
        } while (got < 0 && errno == EINTR);
    }
    pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
}
