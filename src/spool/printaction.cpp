#include "spool/printaction.h"

#include "config/printerdefinition.h"

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

QStringList fillPlaceholders(const QStringList& words, const Placeholders& values)
{
    QStringList filled;
    filled.reserve(words.size());
    for (const QString& word : words)
        filled << fillPlaceholders(word, values);
    return filled;
}

QStringList argumentWords(const QString& argumentText, const Placeholders& values)
{
    return fillPlaceholders(printerdef::splitArguments(argumentText), values);
}
