#pragma once
// The log view shows when each line came, in front of it. The log itself, a saved log and
// the headless output stay as the server wrote them, so the time is taken off again there.

#include <QRegularExpression>
#include <QString>
#include <QTime>

namespace logtime {

inline QString withTime(const QString& line, const QTime& time)
{
    return time.toString(QStringLiteral("HH:mm:ss")) + QStringLiteral("  ") + line;
}

inline QString withoutTime(const QString& shown)
{
    static const QRegularExpression prefix(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d  "));
    const QRegularExpressionMatch m = prefix.match(shown);
    return m.hasMatch() ? shown.mid(m.capturedLength()) : shown;
}

} // namespace logtime
