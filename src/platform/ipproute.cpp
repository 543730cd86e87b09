// The IPP route (ipp:// and ipps://): a job sent to the printer itself with libcups'
// destination API, which needs no CUPS server: a destination made from the URI, a connection
// to the printer, Create-Job and Send-Document, then Get-Job-Attributes until the printer
// says how the job ended. A printer that takes a job only sends "completed" once it has
// printed it, so the print's end is the printer's word, not the end of the upload.
//
// libcups keeps the user name and password callback per thread, so each print sets them on
// the despooler thread it runs on.

#include "platform/cupsapi.h"
#include "platform/datablocks.h"
#include "platform/printroutes.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

namespace {

constexpr int ConnectMs = 10000;
// How long a silent printer is waited for: while it is asked what it is, and once it has a
// job (a printer busy with another job can be slow to answer).
constexpr int QueryIdleSeconds = 5;
constexpr int IdleSeconds = 60;

const char* noPassword(const char*, http_t*, const char*, const char*, void*)
{
    return nullptr;
}

QString text(const char* s)
{
    return s ? QString::fromUtf8(s) : QString();
}

QStringList strings(ipp_attribute_t* attr)
{
    QStringList values;
    const CupsApi& cups = cupsApi();
    for (int i = 0; attr && i < cups.ippGetCount(attr); ++i)
        values << text(cups.ippGetString(attr, i, nullptr));
    return values;
}

class IppPrinter final
{
public:
    IppPrinter(const QString& uri, int timeoutMs)
        : m_uri(uri.toUtf8()),
          m_deadline(timeoutMs > 0 ? std::time(nullptr) + (timeoutMs + 999) / 1000 : 0)
    {
    }
    ~IppPrinter()
    {
        const CupsApi& cups = cupsApi();
        if (m_info)
            cups.cupsFreeDestInfo(m_info);
        if (m_http)
            cups.httpClose(m_http);
        if (m_dest)
            cups.cupsFreeDests(1, m_dest);
    }
    IppPrinter(const IppPrinter&) = delete;
    IppPrinter& operator=(const IppPrinter&) = delete;

    // The destination, the connection and what the printer supports.
    bool open()
    {
        const CupsApi& cups = cupsApi();
        if (!cups.ok())
            return fail(cups.error);
        cups.cupsSetPasswordCB2(noPassword, nullptr);
        m_dest = cups.cupsGetDestWithURI(nullptr, m_uri.constData());
        if (!m_dest)
            return fail(QStringLiteral("not an IPP printer URI"));
        // The device flag connects to the URI's host as it stands; without it libcups spends
        // a minute looking for a destination the printer does not have.
        m_http = cups.cupsConnectDest(m_dest, CUPS_DEST_FLAGS_DEVICE, ConnectMs, nullptr, m_resource,
                                      sizeof m_resource, nullptr, nullptr);
        if (!m_http)
            return fail(QStringLiteral("cannot connect: ") + text(cups.cupsLastErrorString()));
        cups.httpSetTimeout(m_http, 1.0, stillWaiting, this);
        // Asked first in one request: cupsCopyDestInfo tries again for a minute when the
        // printer answers with an error (no such printer, say).
        m_state = state();
        if (!m_state.answered)
            return fail(QStringLiteral("no answer to Get-Printer-Attributes: ") + m_state.problem);
        m_info = cups.cupsCopyDestInfo(m_http, m_dest);
        if (!m_info)
            return fail(QStringLiteral("no answer to Get-Printer-Attributes: ") + lastProblem());
        m_idleSeconds = IdleSeconds;
        return true;
    }

    // What the printer said of itself when the connection was made.
    const IppPrinterState& firstState() const { return m_state; }

    // Create-Job, Send-Document with the data, the end of the document; the job's id.
    int send(DataBlocks& data, const PrintedDocument& document, const QByteArray& format)
    {
        const CupsApi& cups = cupsApi();
        const QByteArray user = document.user.toUtf8();
        cups.cupsSetUser(user.isEmpty() ? nullptr : user.constData());
        const QByteArray title = document.title.toUtf8();
        int jobId = 0;
        const ipp_status_t created = cups.cupsCreateDestJob(m_http, m_dest, m_info, &jobId,
                                                            title.constData(), 0, nullptr);
        cups.cupsSetUser(nullptr);
        if (created > IPP_STATUS_OK_CONFLICTING || jobId == 0) {
            fail(QStringLiteral("the printer refused the job: ") + lastProblem());
            return 0;
        }
        if (cups.cupsStartDestDocument(m_http, m_dest, m_info, jobId, title.constData(),
                                       format.constData(), 0, nullptr, 1) != HTTP_STATUS_CONTINUE) {
            fail(QStringLiteral("the printer refused the document: ") + lastProblem());
            return cancel(jobId);
        }
        char buf[DataBlocks::BlockSize];
        for (;;) {
            const ssize_t n = data.next(buf);
            if (n < 0) {
                fail(data.error());
                return cancel(jobId);
            }
            if (n == 0)
                break;
            if (pastDeadline()) {
                fail(QStringLiteral("the printer took no more data within the time limit"));
                return cancel(jobId);
            }
            if (cups.cupsWriteRequestData(m_http, buf, size_t(n)) != HTTP_STATUS_CONTINUE) {
                fail(QStringLiteral("sending to the printer failed: ") + lastProblem());
                return cancel(jobId);
            }
        }
        if (cups.cupsFinishDestDocument(m_http, m_dest, m_info) > IPP_STATUS_OK_CONFLICTING) {
            fail(QStringLiteral("the printer did not take the document: ") + lastProblem());
            return cancel(jobId);
        }
        return jobId;
    }

    // Asks for the job's state until it has ended; true when it completed.
    bool waitForEnd(int jobId)
    {
        const CupsApi& cups = cupsApi();
        std::chrono::milliseconds pause(100);
        for (;;) {
            ipp_t* request = cups.ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
            cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                              m_uri.constData());
            cups.ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", jobId);
            static const char* const wanted[] = {"job-state", "job-state-reasons",
                                                 "job-state-message"};
            cups.ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                               3, nullptr, wanted);
            ipp_t* response = cups.cupsDoRequest(m_http, request, m_resource);
            if (!response || cups.cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
                cups.ippDelete(response);
                fail(QStringLiteral("no answer about job %1: ").arg(jobId) + lastProblem());
                return false;
            }
            const int state =
                cups.ippGetInteger(cups.ippFindAttribute(response, "job-state", IPP_TAG_ENUM), 0);
            QStringList reasons =
                strings(cups.ippFindAttribute(response, "job-state-reasons", IPP_TAG_KEYWORD));
            reasons.removeAll(QStringLiteral("none"));
            const QString message = text(cups.ippGetString(
                cups.ippFindAttribute(response, "job-state-message", IPP_TAG_TEXT), 0, nullptr));
            cups.ippDelete(response);
            if (state == IPP_JSTATE_COMPLETED)
                return true;
            if (state == IPP_JSTATE_CANCELED || state == IPP_JSTATE_ABORTED) {
                QString why = QStringLiteral("the printer %1 job %2")
                                  .arg(state == IPP_JSTATE_CANCELED ? QStringLiteral("canceled")
                                                                   : QStringLiteral("aborted"))
                                  .arg(jobId);
                const QStringList details = reasons + printerReasons();
                if (!details.isEmpty())
                    why += QStringLiteral(" (") + details.join(QStringLiteral(", ")) + u')';
                if (!message.isEmpty())
                    why += QStringLiteral(": ") + message;
                fail(why);
                return false;
            }
            if (state < IPP_JSTATE_PENDING || state > IPP_JSTATE_COMPLETED) {
                fail(QStringLiteral("the printer reports job %1 in no known state (%2)")
                         .arg(jobId)
                         .arg(state));
                return false;
            }
            if (pastDeadline()) {
                QString why = QStringLiteral("the printer did not complete job %1 within the "
                                             "time limit")
                                  .arg(jobId);
                if (const QStringList r = printerReasons(); !r.isEmpty())
                    why += QStringLiteral(" (") + r.join(QStringLiteral(", ")) + u')';
                fail(why);
                cancel(jobId);
                return false;
            }
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::milliseconds(1000));
        }
    }

    IppPrinterState state()
    {
        const CupsApi& cups = cupsApi();
        IppPrinterState s;
        ipp_t* request = cups.ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
        cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                          m_uri.constData());
        static const char* const wanted[] = {"printer-name", "printer-make-and-model",
                                             "printer-state", "printer-state-reasons",
                                             "document-format-supported"};
        cups.ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 5,
                           nullptr, wanted);
        ipp_t* response = cups.cupsDoRequest(m_http, request, m_resource);
        if (!response || cups.cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
            cups.ippDelete(response);
            s.problem = lastProblem();
            return s;
        }
        s.answered = true;
        s.name = text(cups.ippGetString(cups.ippFindAttribute(response, "printer-name", IPP_TAG_ZERO),
                                        0, nullptr));
        if (s.name.isEmpty())
            s.name = text(cups.ippGetString(
                cups.ippFindAttribute(response, "printer-make-and-model", IPP_TAG_ZERO), 0, nullptr));
        switch (cups.ippGetInteger(cups.ippFindAttribute(response, "printer-state", IPP_TAG_ENUM),
                                   0)) {
        case IPP_PSTATE_IDLE:
            s.state = QStringLiteral("idle");
            break;
        case IPP_PSTATE_PROCESSING:
            s.state = QStringLiteral("processing");
            break;
        case IPP_PSTATE_STOPPED:
            s.state = QStringLiteral("stopped");
            break;
        default:
            s.state = QStringLiteral("unknown");
            break;
        }
        s.reasons = strings(cups.ippFindAttribute(response, "printer-state-reasons", IPP_TAG_KEYWORD));
        s.reasons.removeAll(QStringLiteral("none"));
        s.formats =
            strings(cups.ippFindAttribute(response, "document-format-supported", IPP_TAG_MIMETYPE));
        cups.ippDelete(response);
        return s;
    }

    QString problem() const { return m_problem; }

private:
    bool fail(const QString& why)
    {
        if (m_problem.isEmpty())
            m_problem = why;
        return false;
    }
    int cancel(int jobId)
    {
        const CupsApi& cups = cupsApi();
        // A request cut off halfway leaves the connection unusable: cancel on a new one.
        cups.httpClose(m_http);
        m_http = cups.cupsConnectDest(m_dest, CUPS_DEST_FLAGS_DEVICE, ConnectMs, nullptr,
                                      m_resource, sizeof m_resource, nullptr, nullptr);
        if (m_http) {
            m_deadline = 0;
            cups.httpSetTimeout(m_http, 1.0, stillWaiting, this);
            cups.cupsCancelDestJob(m_http, m_dest, jobId);
        }
        return 0;
    }
    // "printer stopped: media-empty, offline" or nothing when it is fine.
    QStringList printerReasons()
    {
        const IppPrinterState s = state();
        QStringList r;
        if (s.answered && (s.state == QLatin1String("stopped") || !s.reasons.isEmpty()))
            r << QStringLiteral("printer ") + s.state + (s.reasons.isEmpty()
                                                            ? QString()
                                                            : QStringLiteral(": ") +
                                                                  s.reasons.join(QStringLiteral(", ")));
        return r;
    }
    QString lastProblem() const
    {
        const CupsApi& cups = cupsApi();
        if (m_http && cups.httpError(m_http) != 0)
            return QString::fromLocal8Bit(std::strerror(cups.httpError(m_http)));
        return text(cups.cupsLastErrorString());
    }
    bool pastDeadline() const { return m_deadline != 0 && std::time(nullptr) >= m_deadline; }
    static int stillWaiting(http_t* http, void* self)
    {
        const auto* printer = static_cast<const IppPrinter*>(self);
        if (printer->pastDeadline())
            return 0;
        return std::time(nullptr) - cupsApi().httpGetActivity(http) < printer->m_idleSeconds ? 1
                                                                                           : 0;
    }

    const QByteArray m_uri;
    std::time_t m_deadline;
    int m_idleSeconds = QueryIdleSeconds;
    cups_dest_t* m_dest = nullptr;
    http_t* m_http = nullptr;
    cups_dinfo_t* m_info = nullptr;
    char m_resource[1024] = {};
    IppPrinterState m_state;
    QString m_problem;
};

} // namespace

QByteArray documentFormatFor(char letter)
{
    switch (letter) {
    case 'o':
        return QByteArrayLiteral("application/postscript");
    case 'f':
    case 'p':
        return QByteArrayLiteral("text/plain");
    default:
        return QByteArrayLiteral("application/octet-stream");
    }
}

RouteResult printToIpp(const QString& uri, int dataFile, const PrintedDocument& document,
                       int timeoutMs)
{
    RouteResult result;
    DataBlocks data(dataFile);
    if (!data.isOpen()) {
        result.reason = data.error();
        return result;
    }
    IppPrinter printer(uri, timeoutMs);
    if (!printer.open()) {
        result.reason = printer.problem();
        return result;
    }
    // An empty document is refused by most printers and prints nothing on the others.
    if (data.fileSize() == 0) {
        result.ok = true;
        return result;
    }
    // The letter's format when the printer takes it, else the bytes as they are; a printer
    // that lists neither is sent the letter's format, and its refusal says why.
    QByteArray format = documentFormatFor(document.letter);
    const QStringList& formats = printer.firstState().formats;
    const QByteArray asIs = QByteArrayLiteral("application/octet-stream");
    if (!formats.isEmpty() && !formats.contains(QString::fromLatin1(format)) &&
        formats.contains(QString::fromLatin1(asIs)))
        format = asIs;
    const int jobId = printer.send(data, document, format);
    if (jobId == 0 || !printer.waitForEnd(jobId)) {
        result.reason = printer.problem();
        return result;
    }
    result.ok = true;
    return result;
}

IppPrinterState queryIppPrinter(const QString& uri, int timeoutMs)
{
    IppPrinter printer(uri, timeoutMs);
    if (!printer.open()) {
        IppPrinterState s;
        s.problem = printer.problem();
        return s;
    }
    return printer.firstState();
}
