#pragma once
// The one owner of a file descriptor: it closes what it holds when it goes, so no path
// through a function can leak one or close one twice. Moves hand the descriptor on;
// release() gives it up to an owner outside this type (a QSocketNotifier's socket, a
// child process's standard stream).

#include <utility>

class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }

    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    explicit operator bool() const { return isValid(); }

    // Hands the descriptor to the caller, who now closes it.
    int release() { return std::exchange(m_fd, -1); }

    // Closes what is held (if anything) and takes `fd`. Returns what close() returned,
    // for the few callers (a file whose data must have reached the disk) that care.
    int reset(int fd = -1);

private:
    int m_fd = -1;
};
