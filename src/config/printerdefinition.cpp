#include "config/printerdefinition.h"

namespace printerdef {

namespace {

bool isSeparator(QChar c)
{
    return c == u' ' || c == u'\t';
}

bool isFlag(QChar c)
{
    return c == u'+' || c == u'-' || c == u'|';
}

qsizetype tokenLength(const QString& definition)
{
    qsizetype i = 0;
    while (i < definition.size() && !isSeparator(definition[i]))
        ++i;
    return i;
}

} // namespace

QString queueToken(const QString& definition)
{
    return definition.left(tokenLength(definition));
}

QString queueName(const QString& definition)
{
    const QString token = queueToken(definition);
    if (!token.isEmpty() && isFlag(token.front()))
        return token.mid(1);
    return token;
}

QChar flag(const QString& definition)
{
    if (!definition.isEmpty() && isFlag(definition.front()))
        return definition.front();
    return QChar(u'\0');
}

bool printingDisabled(const QString& definition)
{
    const QChar f = flag(definition);
    return f == u'-' || f == u'+';
}

bool spoolingDisabled(const QString& definition)
{
    const QChar f = flag(definition);
    return f == u'|' || f == u'+';
}

QString actionPart(const QString& definition)
{
    qsizetype i = tokenLength(definition);
    while (i < definition.size() && isSeparator(definition[i]))
        ++i;
    return definition.mid(i);
}

bool isRaw(const QString& definition)
{
    return actionPart(definition).startsWith(u'|');
}

QString rawTarget(const QString& definition)
{
    const QString action = actionPart(definition);
    return action.startsWith(u'|') ? action.mid(1) : QString();
}

ActionSplit splitActionPart(const QString& action)
{
    const QChar quote = QLatin1Char('"');
    const QChar blank = QLatin1Char(' ');
    auto trimLeadingBlanks = [](const QString& s) {
        qsizetype i = 0;
        while (i < s.size() && isSeparator(s[i]))
            ++i;
        return s.mid(i);
    };
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

QStringList splitArguments(const QString& argumentText)
{
    QStringList words;
    QString word;
    bool inWord = false;
    bool quoted = false;
    for (QChar c : argumentText) {
        if (c == QLatin1Char('"')) {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && isSeparator(c)) {
            if (inWord)
                words << word;
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words << word;
    return words;
}

} // namespace printerdef

PrinterDefinition PrinterDefinition::parse(const QString& line)
{
    using namespace printerdef;
    PrinterDefinition d;
    d.text = line;
    d.queueToken = printerdef::queueToken(line);
    d.queue = printerdef::queueName(line);
    d.printingDisabled = printerdef::printingDisabled(line);
    d.spoolingDisabled = printerdef::spoolingDisabled(line);
    const ActionSplit action = splitActionPart(actionPart(line));
    PrintRoute& r = d.route;
    r.program = action.firstElement;
    r.argumentText = action.argumentText;
    if (!action.firstElement.startsWith(QLatin1Char('|'))) {
        r.kind = PrintRoute::Kind::Command;
        r.argumentWords = splitArguments(action.argumentText);
        return d;
    }
    r.target = action.firstElement.mid(1);
    const QLatin1String localPort("local port ");
    if (r.target.startsWith(localPort)) {
        r.kind = PrintRoute::Kind::Device;
        r.device = r.target.mid(localPort.size());
    } else if (r.target.startsWith(QLatin1String("\\\\")) ||
               r.target.startsWith(QLatin1String("smb://"), Qt::CaseInsensitive)) {
        r.kind = PrintRoute::Kind::Smb;
    } else {
        r.kind = PrintRoute::Kind::Cups;
    }
    return d;
}

QList<PrinterDefinition> parsePrinterDefinitions(const QStringList& lines)
{
    QList<PrinterDefinition> printers;
    printers.reserve(lines.size());
    for (const QString& line : lines)
        printers << PrinterDefinition::parse(line);
    return printers;
}

const PrinterDefinition* findPrinter(const QList<PrinterDefinition>& printers, const QString& queue)
{
    for (const PrinterDefinition& p : printers) {
        if (p.queue.compare(queue, Qt::CaseInsensitive) == 0)
            return &p;
    }
    return nullptr;
}
