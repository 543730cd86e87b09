#pragma once
// A connection of our own to the CUPS server the environment names (CUPS_SERVER, else
// client.conf, else the local scheduler).
//
// libcups' default connection is cached per thread, with the server name read once per
// thread, and it waits without limit on a scheduler that accepts connections but no longer
// answers (libcups retries for minutes). This one reads the environment afresh, and gives
// up after IdleSeconds without traffic, or at once when its cancel flag is raised.
// The server never asks for a password: a prompt would wait on a terminal nobody watches.

#include <QString>
#include <QStringList>

#include <cups/http.h>

#include <atomic>
#include <ctime>

class CupsConnection final
{
public:
    static constexpr int ConnectMs = 10000;
    static constexpr int IdleSeconds = 30;

    explicit CupsConnection(const std::atomic<bool>* cancel = nullptr);
    ~CupsConnection();
    CupsConnection(const CupsConnection&) = delete;
    CupsConnection& operator=(const CupsConnection&) = delete;

    // Null when the server could not be reached.
    http_t* get() const { return m_http; }
    // A wait on the server ends at this time (time()) too; 0 for none.
    void setDeadline(std::time_t deadline) { m_deadline = deadline; }
    bool pastDeadline() const { return m_deadline != 0 && std::time(nullptr) >= m_deadline; }
    // A request cut off halfway leaves the connection unusable; start over.
    void reopen();
    // "the CUPS server host:port does not answer"
    QString unreachable() const;
    // Why the last request failed: the connection's own error (a timeout, a reset) or else
    // what the server said.
    QString lastProblem() const;

private:
    void open();
    void close();
    static int stillWaiting(http_t* http, void* self);
    QString serverName() const;

    const std::atomic<bool>* m_cancel;
    http_t* m_http = nullptr;
    std::time_t m_deadline = 0;
};

// cupsPrinterNames, given up as soon as *cancel is raised.
QStringList cupsPrinterNames(const std::atomic<bool>* cancel);

// The server asks for the list in a helper process, this program started with
// CupsListOption, so that the background refresh never maps libcups and GnuTLS into the
// server (several MiB). Without a helper the list is asked for in this process.
inline constexpr char CupsListOption[] = "--list-cups-printers";
void setCupsListHelper(const QString& program);
// The helper's side: the names, one per line, on standard output.
int printCupsPrinterNames();
