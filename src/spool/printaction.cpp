#include "spool/printaction.h"

#include "config/printerdefinition.h"
#include "spool/queuefolder.h"

#include <QFile>

namespace {

// Calls text(piece) for the word's own text, the queue folder and the letter, name(piece) for a file
// name, in order.
template <class Text, class Name>
void fill(const QString& word, const Placeholders& values, Text text, Name name)
{
    qsizetype from = 0;
    for (qsizetype i = 0; i + 1 < word.size(); ++i) {
        if (word[i] != QLatin1Char('%'))
            continue;
        const QChar next = word[i + 1];
        if (next != QLatin1Char('d') && next != QLatin1Char('c') && next != QLatin1Char('p') &&
            next != QLatin1Char('f'))
            continue;
        text(QStringView(word).mid(from, i - from));
        if (next == QLatin1Char('d'))
            name(values.dataFile);
        else if (next == QLatin1Char('c'))
            name(values.controlFile);
        else if (next == QLatin1Char('f'))
            text(QStringView(values.printLetter));
        else
            text(QStringView(values.queueDir));
        from = ++i + 1;
    }
    text(QStringView(word).mid(from));
}

} // namespace

QString fillPlaceholders(const QString& text, const Placeholders& values)
{
    QString out;
    out.reserve(text.size());
    fill(
        text, values, [&](QStringView piece) { out += piece; },
        [&](const QString& name) { out += name; });
    return out;
}

QList<QByteArray> nativeArguments(const QStringList& words, const Placeholders& values)
{
    QList<QByteArray> native;
    native.reserve(words.size());
    for (const QString& word : words) {
        QByteArray out;
        fill(
            word, values, [&](QStringView piece) { out += QFile::encodeName(piece.toString()); },
            [&](const QString& name) { out += spoolName(name); });
        native << out;
    }
    return native;
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
