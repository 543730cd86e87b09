#pragma once
// A printer definition is one line: an optional flag ("-" printing disabled, "|" spooling
// disabled, "+" both), the queue name, blanks or tabs, then a print command or "|" and a
// raw target. These helpers are the only reading of that line.

#include <QString>

namespace printerdef {

// Text up to the first blank or tab, flag included.
QString queueToken(const QString& definition);
// The queue token less one leading "+", "-" or "|".
QString queueName(const QString& definition);
// The flag character, or '\0' for none.
QChar flag(const QString& definition);
bool printingDisabled(const QString& definition); // "-" or "+"
bool spoolingDisabled(const QString& definition); // "|" or "+"
// After the queue token and the blanks and tabs that follow: "|target" or a command.
QString actionPart(const QString& definition);
// The raw target when the action part begins with "|", else an empty string.
bool isRaw(const QString& definition);
QString rawTarget(const QString& definition);

} // namespace printerdef
