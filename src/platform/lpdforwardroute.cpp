// The LPD forwarding route (lpd://host[:port]/queue): the job goes on as an RFC 1179 client
// sends it, with the client's own file names and control file (its H line names the host the
// job came from). The data files go first and the control file last, as BSD lpr does: a
// remote that is cut off before the control file has no job, only files it drops.
//
// Every command and file is answered with one byte; 0 means taken. Anything else, or a
// closed connection, fails the print with what the remote said.

#include "platform/datablocks.h"
#include "platform/printerpeer.h"
#include "platform/printroutes.h"

namespace {

// What a remote wrote after its refusal, made safe for one log line.
QString remoteWords(const QByteArray& bytes)
{
    QString words;
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u == '\n' || u == '\r' || u == '\t')
            words += QLatin1Char(' ');
        else if (u < 0x20 || u == 0x7f)
            words += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            words += QLatin1Char(c);
    }
    return words.simplified();
}

class LpdForward final
{
public:
    LpdForward(PrinterPeer& remote, RouteResult& result) : m_remote(remote), m_result(result) {}

    // Sends `bytes` and reads the one-byte answer; `what` names the step for the reason.
    bool step(const QByteArray& bytes, const QString& what)
    {
        if (!m_remote.sendAll(bytes))
            return fail(what);
        return acknowledged(what);
    }
    bool acknowledged(const QString& what)
    {
        char answer = 0;
        const ssize_t n = m_remote.receive(&answer, 1);
        if (n < 0)
            return fail(what);
        if (n == 0) {
            m_result.reason =
                m_remote.peerName() + QStringLiteral(" closed the connection at ") + what;
            return false;
        }
        if (answer == 0)
            return true;
        // Its words, when it says more (LPRng does), up to its close or a second's silence.
        char buf[512];
        QByteArray words;
        PrinterPeer& r = m_remote;
        r.finishSending();
        for (ssize_t got; words.size() < 512 && (got = r.receive(buf, sizeof buf, 1000)) > 0;)
            words.append(buf, got);
        m_result.reason = m_remote.peerName() + QStringLiteral(" refused ") + what +
                          QStringLiteral(" (answer %1)").arg(int(static_cast<unsigned char>(answer)));
        if (const QString said = remoteWords(words); !said.isEmpty())
            m_result.reason += QStringLiteral(": ") + said;
        return false;
    }
    bool fail(const QString& what)
    {
        m_result.reason = m_remote.error() + QStringLiteral(" (at ") + what + QLatin1Char(')');
        return false;
    }

private:
    PrinterPeer& m_remote;
    RouteResult& m_result;
};

} // namespace

RouteResult forwardToLpd(const QString& host, quint16 port, const QString& queue,
                         const ForwardedJob& job, int timeoutMs)
{
    RouteResult result;
    PrinterPeer remote(timeoutMs);
    if (!remote.connectTo(host, port)) {
        result.reason = remote.error();
        return result;
    }
    LpdForward lpd(remote, result);
    if (!lpd.step('\x02' + queue.toUtf8() + '\n', QStringLiteral("the receive-job command")))
        return result;
    for (const ForwardedFile& file : job.dataFiles) {
        DataBlocks data(file.fd);
        const QString what = QStringLiteral("data file ") + QString::fromUtf8(file.name);
        if (!data.isOpen() || data.fileSize() < 0) {
            result.reason = what + QStringLiteral(": ") +
                            (data.isOpen() ? QStringLiteral("not a regular file") : data.error());
            return result;
        }
        if (!lpd.step('\x03' + QByteArray::number(data.fileSize()) + ' ' + file.name + '\n', what))
            return result;
        if (!remote.sendFile(data) || !remote.sendAll(QByteArray(1, '\0'))) {
            lpd.fail(what);
            return result;
        }
        if (!lpd.acknowledged(what))
            return result;
    }
    const QString what = QStringLiteral("control file ") + QString::fromUtf8(job.controlName);
    if (!lpd.step('\x02' + QByteArray::number(job.control.size()) + ' ' + job.controlName + '\n',
                  what) ||
        !lpd.step(job.control + '\0', what))
        return result;
    remote.markDone();
    result.ok = true;
    return result;
}
