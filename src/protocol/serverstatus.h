#pragma once
// What the running server is doing, for `spoolmere --status`: the listener, the sessions,
// per queue its waiting jobs, the print running now, the last failure and the next try,
// and the last lines of the accounting file. The server answers with a JSON document over
// the control channel; the command prints it as it came (--json) or as text.

#include <QByteArray>
#include <QJsonObject>
#include <QString>

class LpdServer;

namespace ServerStatus {

// Jobs listed per queue; the count tells of the rest.
constexpr int MaxJobsListed = 50;
constexpr int AccountingLines = 10;

QJsonObject collect(LpdServer& server);
QByteArray document(LpdServer& server);
// The document as an operator reads it.
QString text(const QJsonObject& status);

} // namespace ServerStatus
