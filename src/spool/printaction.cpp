#include "spool/printaction.h"

namespace {

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

QString trimLeadingBlanks(const QString& s)
{
    qsizetype i = 0;
    while (i < s.size() && isBlank(s[i]))
        ++i;
    return s.mid(i);
}

} // namespace

PrintAction splitActionPart(const QString& action)
{
    const QChar quote = QLatin1Char('"');
    const QChar blank = QLatin1Char(' ');
    if (action.startsWith(QLatin1Char('|')))
        return {action, QString()};
    if (action.startsWith(quote)) {
        const qsizetype close = action.indexOf(quote, 1);
        if (close >= 0)
            return {action.mid(1, close - 1), trimLeadingBlanks(action.mid(close + 1))};
        const qsizetype space = action.indexOf(blank, 1);
        if (space >= 0)
            return {action.mid(1, space - 1), trimLeadingBlanks(action.mid(space + 1))};
        return {action.mid(1), QString()};
    }
    const qsizetype space = action.indexOf(blank);
    if (space >= 0)
        return {action.left(space), trimLeadingBlanks(action.mid(space + 1))};
    return {action, QString()};
}

QString fillPlaceholders(const QString& text, const Placeholders& values)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('%') && i + 1 < text.size()) {
            const QChar next = text[i + 1];
            if (next == QLatin1Char('d')) {
                out += values.dataFile;
                ++i;
                continue;
            }
            if (next == QLatin1Char('c')) {
                out += values.controlFile;
                ++i;
                continue;
            }
            if (next == QLatin1Char('p')) {
                out += values.queueDir;
                ++i;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

QStringList argumentWords(const QString& argumentText, const Placeholders& values)
{
    QStringList words;
    QString word;
    bool inWord = false;
    bool quoted = false;
    for (QChar c : argumentText) {
        if (c == QLatin1Char('"')) {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && isBlank(c)) {
            if (inWord)
                words << fillPlaceholders(word, values);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words << fillPlaceholders(word, values);
    return words;
}
