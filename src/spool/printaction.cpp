#include "spool/printaction.h"

#include "config/printerdefinition.h"
#include "platform/supervisor.h"
#include "spool/queuefolder.h"

#include <QFile>

namespace {

// Calls text(piece) for the word's own text and the letter, folder() for the queue folder,
// name(piece) for a file name, in order.
template <class Text, class Name, class Folder>
void fill(const QString& word, const Placeholders& values, Text text, Name name, Folder folder)
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
            folder();
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
        [&](const QString& name) { out += name; }, [&] { out += values.queueDir; });
    return out;
}

QList<QByteArray> nativeArguments(const QStringList& words, const Placeholders& values)
{
    QList<QByteArray> native;
    native.reserve(words.size());
    for (const QString& word : words) {
        QByteArray out;
        const auto text = [&](QStringView piece) { out += QFile::encodeName(piece.toString()); };
        fill(
            word, values, text, [&](const QString& name) { out += spoolName(name); },
            [&] { text(QStringView(values.queueDir)); });
        native << out;
    }
    return native;
}

QList<QByteArray> markedArguments(const QStringList& words, const Placeholders& values)
{
    QList<QByteArray> marked;
    marked.reserve(words.size());
    const QByteArray mark(1, FolderMark);
    for (const QString& word : words) {
        QByteArray out;
        const auto add = [&](const QByteArray& bytes) {
            out += QByteArray(bytes).replace(mark, mark + mark);
        };
        fill(
            word, values, [&](QStringView piece) { add(QFile::encodeName(piece.toString())); },
            [&](const QString& name) { add(spoolName(name)); }, [&] { out += mark + 'p'; });
        marked << out;
    }
    return marked;
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
