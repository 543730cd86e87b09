// The CUPS route: a job named by its title and user, raw or in the format its print letter
// names, sent block by block on a connection of our own (see CupsConnection), and the list of
// CUPS printers.

#include "platform/cupsapi.h"
#include "platform/cupsconnection.h"
#include "platform/datablocks.h"
#include "platform/printroutes.h"

#include <cstdio>

namespace {

// Asks the scheduler about the queue itself, in one request on our connection.
// cupsGetNamedDest would do more: for a name the scheduler does not know it browses the
// network (DNS-SD) and then the default connection, which has no time limit.
bool queueExists(http_t* http, const char* name)
{
    const CupsApi& cups = cupsApi();
    char uri[HTTP_MAX_URI];
    cups.httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost",
                          cups.ippPort(), "/printers/%s", name);
    ipp_t* request = cups.ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                      "printer-name");
    cups.ippDelete(cups.cupsDoRequest(http, request, "/"));
    return cups.cupsLastError() <= IPP_STATUS_OK_CONFLICTING;
}

// A job whose document was cut off must not print what arrived: the half-sent request
// goes with its connection, and the job is cancelled on a new one.
void abandonJob(CupsConnection& cups, const char* queue, int jobId)
{
    cups.reopen();
    if (cups.get())
        cupsApi().cupsCancelJob2(cups.get(), queue, jobId, 0);
}

} // namespace

RouteResult printToCups(const QString& queue, int dataFile, int timeoutMs,
                        const PrintedDocument& document, bool convert)
{
    RouteResult result;
    if (queue.isEmpty()) {
        result.reason = QStringLiteral("no printer named");
        return result;
    }
    DataBlocks data(dataFile);
    if (!data.isOpen()) {
        result.reason = data.error();
        return result;
    }

    const CupsApi& api = cupsApi();
    CupsConnection cups;
    if (!cups.get()) {
        result.reason = cups.unreachable();
        return result;
    }
    if (timeoutMs > 0)
        cups.setDeadline(std::time(nullptr) + (timeoutMs + 999) / 1000);
    const QByteArray queueName = queue.toUtf8();
    const char* name = queueName.constData();
    if (!queueExists(cups.get(), name)) {
        result.reason =
            api.cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND
                ? QLatin1String(NoSuchCupsPrinter) + queue
                : QStringLiteral("cannot ask CUPS about %1: %2").arg(queue, cups.lastProblem());
        return result;
    }
    // CUPS refuses a document without data ("No file in print request"). An empty job has
    // nothing to print, so once the queue is known to exist it is done.
    if (data.fileSize() == 0) {
        result.ok = true;
        return result;
    }

    // libcups sends the thread's user as requesting-user-name; the next print on this thread
    // may be another client's.
    const QByteArray user = document.user.toUtf8();
    const QByteArray title = document.title.toUtf8();
    const char* jobName = title.isEmpty() ? nullptr : title.constData();
    api.cupsSetUser(user.isEmpty() ? nullptr : user.constData());
    const int jobId = api.cupsCreateJob(cups.get(), name, jobName, 0, nullptr);
    api.cupsSetUser(nullptr);
    if (jobId == 0) {
        result.reason = QStringLiteral("CUPS refused the job: ") + cups.lastProblem();
        return result;
    }
    const QByteArray format = convert ? documentFormatFor(document.letter) : QByteArray(CUPS_FORMAT_RAW);
    if (api.cupsStartDocument(cups.get(), name, jobId, jobName, format.constData(), 1) !=
        HTTP_STATUS_CONTINUE) {
        result.reason = QStringLiteral("CUPS refused the document: ") + cups.lastProblem();
        abandonJob(cups, name, jobId);
        return result;
    }

    char buf[DataBlocks::BlockSize];
    for (;;) {
        const ssize_t n = data.next(buf);
        if (n < 0) {
            result.reason = data.error();
            abandonJob(cups, name, jobId);
            return result;
        }
        if (n == 0)
            break;
        if (cups.pastDeadline()) {
            result.reason = QStringLiteral("CUPS took no more data within the time limit");
            abandonJob(cups, name, jobId);
            return result;
        }
        if (api.cupsWriteRequestData(cups.get(), buf, size_t(n)) != HTTP_STATUS_CONTINUE) {
            result.reason = QStringLiteral("sending to CUPS failed: ") + cups.lastProblem();
            abandonJob(cups, name, jobId);
            return result;
        }
    }

    if (api.cupsFinishDocument(cups.get(), name) > IPP_STATUS_OK_CONFLICTING) {
        result.reason = QStringLiteral("CUPS did not take the document: ") + cups.lastProblem();
        abandonJob(cups, name, jobId);
        return result;
    }
    result.ok = true;
    return result;
}

QStringList cupsPrinterNames()
{
    return cupsPrinterNames(nullptr);
}

namespace {

QString& cupsListHelper()
{
    static QString program;
    return program;
}

QStringList namesFromHelper(const QString& helper, const std::atomic<bool>* cancel)
{
    // Printer names are at most 127 bytes; a megabyte is far more than any real list.
    const QByteArray out = processOutput(helper, {QLatin1String(CupsListOption)}, cancel, 1 << 20);
    QStringList names;
    for (const QByteArray& line : out.split('\n')) {
        if (!line.isEmpty())
            names.append(QString::fromUtf8(line));
    }
    return names;
}

} // namespace

void setCupsListHelper(const QString& program)
{
    cupsListHelper() = program;
}

int printCupsPrinterNames()
{
    for (const QString& name : cupsPrinterNames(nullptr)) {
        const QByteArray line = name.toUtf8() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

QStringList cupsPrinterNames(const std::atomic<bool>* cancel)
{
    const QString helper = cupsListHelper();
    if (!helper.isEmpty())
        return namesFromHelper(helper, cancel);
    CupsConnection cups(cancel);
    if (!cups.get())
        return {};
    const CupsApi& api = cupsApi();
    cups_dest_t* dests = nullptr;
    const int count = api.cupsGetDests2(cups.get(), &dests);
    QStringList names;
    for (int i = 0; i < count; ++i) {
        // An instance (name/instance) is a set of options on a printer, not a printer.
        if (!dests[i].instance)
            names.append(QString::fromUtf8(dests[i].name));
    }
    api.cupsFreeDests(count, dests);
    names.removeDuplicates();
    return names;
}
