#pragma once
// Socket errors keep the classic numbering (10035 would block, 10048 address in use, ...)
// so that log lines and reports read the same whatever platform the server runs on.

#include <QString>

#include <stdexcept>

class ESocketException final : public std::runtime_error
{
public:
    // code 0 means a report without an error code (the bare text).
    ESocketException(int code, const QString& message);
    int Code() const { return m_code; }
    QString Message() const { return m_message; }

private:
    int m_code;
    QString m_message;
};

// errno -> classic socket error number (EWOULDBLOCK 10035, EADDRINUSE 10048, ...).
int wsockErrorFromErrno(int err);
// Description of a classic code, "Not a WinSock error" for an unknown one.
QString WSocketErrorDesc(int code);
// "Error " + code + " in function " + reportName + CR LF + description.
QString wsockErrorText(int code, const QString& reportName);
