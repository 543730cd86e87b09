// The AppSocket route (socket://host[:port], HP's JetDirect port 9100): the data file as it
// is on a connection of its own, then a half-close; the printer closes its side once it has
// taken the job. What it sends back meanwhile (PJL status from some printers) is read and
// dropped, so that it never fills the window and stalls our writes.

#include "platform/datablocks.h"
#include "platform/printerpeer.h"
#include "platform/printroutes.h"

RouteResult printToSocket(const QString& host, quint16 port, int dataFile, int timeoutMs)
{
    RouteResult result;
    DataBlocks data(dataFile);
    if (!data.isOpen()) {
        result.reason = data.error();
        return result;
    }
    PrinterPeer printer(timeoutMs);
    if (!printer.connectTo(host, port)) {
        result.reason = printer.error();
        return result;
    }
    if (!printer.sendFile(data)) {
        result.reason = printer.error();
        return result;
    }
    if (!printer.finishSending() || !printer.waitForClose()) {
        result.reason = printer.error();
        return result;
    }
    result.ok = true;
    return result;
}
