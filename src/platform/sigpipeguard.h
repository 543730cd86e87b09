#pragma once
// Writing to a pipe, FIFO or socket whose reader has gone raises SIGPIPE, which would end
// the whole server. While a guard lives, SIGPIPE is blocked on this thread only, so the
// write fails with EPIPE instead; a SIGPIPE left pending is consumed before the mask is
// restored.

#include <signal.h>

class SigpipeGuard final
{
public:
    SigpipeGuard();
    ~SigpipeGuard();
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t m_old;
    bool m_wasBlocked = false;
};
