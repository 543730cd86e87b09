#pragma once
// Socket errors carry the Winsock numbers (10035 would block, 10048 address in use, ...)
// that our log lines and reports use, so that they read the same on every platform.

#include <QString>

#include <stdexcept>

class SocketError final : public std::runtime_error
{
public:
    // code 0 means a report without an error code (the bare text).
    SocketError(int code, const QString& message);
    int code() const { return m_code; }
    QString message() const { return m_message; }

private:
    int m_code;
    QString m_message;
};

// errno -> Winsock error number (EWOULDBLOCK 10035, EADDRINUSE 10048, ...).
int socketErrorFromErrno(int err);
// Description of such a code, "Not a WinSock error" for an unknown one.
QString socketErrorText(int code);
// "Error " + code + " in function " + reportName + CR LF + description.
QString socketErrorReport(int code, const QString& reportName);
// What people read: the system's own words (strerror) for the errno a code came from;
// the report's text for a report without a code.
QString systemErrorText(const SocketError& error);
// An address and port as one word: "[::]:515", "127.0.0.1:515".
QString endpointText(const QString& address, const QString& port);
