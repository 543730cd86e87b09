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

WordSplit splitWords(const QString& text)
{
    // As a POSIX shell groups words, and no more: nothing is expanded, and ; | > $ * are
    // plain characters of their word.
    WordSplit split;
    QString word;
    bool inWord = false;
    qsizetype i = 0;
    const qsizetype n = text.size();
    const auto endWord = [&] {
        if (inWord) {
            if (split.words.isEmpty())
                split.firstWordEnd = i;
            split.words << word;
        }
        word.clear();
        inWord = false;
    };
    while (i < n) {
        const QChar c = text[i];
        if (isSeparator(c)) {
            endWord();
            ++i;
        } else if (c == u'\\') {
            // A backslash at the very end has nothing to escape and stays.
            word += i + 1 < n ? text[i + 1] : c;
            inWord = true;
            i += 2;
        } else if (c == u'\'') {
            const qsizetype close = text.indexOf(u'\'', i + 1);
            if (close < 0) {
                split.balanced = false;
                word += text.mid(i + 1);
                inWord = true;
                i = n;
                break;
            }
            word += text.mid(i + 1, close - i - 1);
            inWord = true;
            i = close + 1;
        } else if (c == u'"') {
            inWord = true;
            ++i;
            for (;; ++i) {
                if (i >= n) {
                    split.balanced = false;
                    break;
                }
                const QChar q = text[i];
                if (q == u'"') {
                    ++i;
                    break;
                }
                // Inside double quotes a backslash escapes only these; elsewhere it is itself.
                if (q == u'\\' && i + 1 < n &&
                    (text[i + 1] == u'"' || text[i + 1] == u'\\' || text[i + 1] == u'$' ||
                     text[i + 1] == u'`')) {
                    word += text[++i];
                    continue;
                }
                word += q;
            }
        } else {
            word += c;
            inWord = true;
            ++i;
        }
    }
    endWord();
    if (split.words.size() == 1 || split.words.isEmpty())
        split.firstWordEnd = n;
    return split;
}

ActionSplit splitActionPart(const QString& action)
{
    if (action.startsWith(QLatin1Char('|')))
        return {action, QString()};
    const WordSplit split = splitWords(action);
    if (split.words.isEmpty())
        return {QString(), QString()};
    qsizetype rest = split.firstWordEnd;
    while (rest < action.size() && isSeparator(action[rest]))
        ++rest;
    return {split.words.front(), action.mid(rest)};
}

QStringList splitArguments(const QString& argumentText)
{
    return splitWords(argumentText).words;
}

} // namespace printerdef

namespace {

// scheme "://" at the start, RFC 3986's letters for a scheme; empty when the target is no URI
// (a CUPS queue name cannot hold "/", so no CUPS target was ever taken for one).
QString uriScheme(const QString& target)
{
    const qsizetype end = target.indexOf(QLatin1String("://"));
    if (end <= 0 || !target.front().isLetter() || target.front().unicode() > 0x7f)
        return {};
    for (qsizetype i = 0; i < end; ++i) {
        const QChar c = target[i];
        const bool ok = c.unicode() < 0x80 && (c.isLetterOrNumber() || c == u'+' || c == u'-' ||
                                               c == u'.');
        if (!ok)
            return {};
    }
    return target.left(end).toLower();
}

bool isHostCharacter(QChar c)
{
    return c.unicode() < 0x80 && (c.isLetterOrNumber() || c == u'-' || c == u'.' || c == u'_');
}

// host[:port] or [v6 address][:port]: the host, the port (defaultPort when none is given),
// or the problem with them.
QString readAuthority(const QString& authority, quint16 defaultPort, PrintRoute& r)
{
    QString host;
    QString portText;
    bool hasPort = false;
    if (authority.startsWith(u'[')) {
        const qsizetype close = authority.indexOf(u']');
        if (close < 0)
            return QStringLiteral("no closing ']' after the IPv6 address");
        host = authority.mid(1, close - 1);
        const QString rest = authority.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(u':'))
            return QStringLiteral("bad host '%1'").arg(authority);
        hasPort = !rest.isEmpty();
        portText = rest.mid(1);
        for (QChar c : host) {
            if (!(c.unicode() < 0x80 && (c.isLetterOrNumber() || c == u':' || c == u'.' || c == u'%')))
                return QStringLiteral("bad host '%1'").arg(host);
        }
    } else {
        const qsizetype colon = authority.indexOf(u':');
        host = colon < 0 ? authority : authority.left(colon);
        hasPort = colon >= 0;
        portText = colon < 0 ? QString() : authority.mid(colon + 1);
        for (QChar c : host) {
            if (!isHostCharacter(c))
                return QStringLiteral("bad host '%1'").arg(host);
        }
    }
    if (host.isEmpty())
        return QStringLiteral("no host");
    r.host = host;
    r.port = defaultPort;
    if (!hasPort)
        return {};
    bool ok = !portText.isEmpty() && portText.size() <= 5;
    for (QChar c : portText)
        ok = ok && c >= u'0' && c <= u'9';
    const int port = ok ? portText.toInt() : 0;
    if (port < 1 || port > 65535)
        return QStringLiteral("bad port '%1'").arg(portText);
    r.port = quint16(port);
    return {};
}

// Reads socket://, lpd://, ipp:// and ipps:// targets into host, port and path.
QString readNetworkTarget(const QString& scheme, const QString& target, PrintRoute& r)
{
    const QString rest = target.mid(scheme.size() + 3);
    qsizetype end = 0;
    while (end < rest.size() && rest[end] != u'/' && rest[end] != u'?' && rest[end] != u'#')
        ++end;
    const QString path = rest.mid(end);
    r.kind = scheme == QLatin1String("socket") ? PrintRoute::Kind::Socket
             : scheme == QLatin1String("lpd")  ? PrintRoute::Kind::Lpd
                                               : PrintRoute::Kind::Ipp;
    for (QChar c : rest) {
        if (c.isSpace() || c.category() == QChar::Other_Control)
            return QStringLiteral("blank or control character in the URI");
    }
    if (scheme == QLatin1String("socket")) {
        if (!path.isEmpty() && path != QLatin1String("/"))
            return QStringLiteral("a socket:// target takes no path ('%1')").arg(path);
        return readAuthority(rest.left(end), 9100, r);
    }
    if (scheme == QLatin1String("lpd")) {
        const QString queue = path.mid(1);
        if (!path.startsWith(u'/') || queue.isEmpty())
            return QStringLiteral("no queue (lpd://host[:port]/queue)");
        if (queue.contains(u'/') || queue.contains(u'?') || queue.contains(u'#'))
            return QStringLiteral("bad queue '%1'").arg(queue);
        r.path = queue;
        return readAuthority(rest.left(end), 515, r);
    }
    // IPP Everywhere printers answer at /ipp/print.
    r.path = path.isEmpty() || path == QLatin1String("/") ? QStringLiteral("/ipp/print") : path;
    if (!r.path.startsWith(u'/'))
        return QStringLiteral("bad path '%1'").arg(r.path);
    return readAuthority(rest.left(end), 631, r);
}

void readRawTarget(PrintRoute& r)
{
    const QLatin1String localPort("local port ");
    const QString scheme = uriScheme(r.target);
    if (r.target.startsWith(localPort)) {
        r.kind = PrintRoute::Kind::Device;
        r.device = r.target.mid(localPort.size());
    } else if (r.target.startsWith(QLatin1String("\\\\")) || scheme == QLatin1String("smb")) {
        r.kind = PrintRoute::Kind::Smb;
    } else if (scheme == QLatin1String("socket") || scheme == QLatin1String("lpd") ||
               scheme == QLatin1String("ipp") || scheme == QLatin1String("ipps")) {
        r.problem = readNetworkTarget(scheme, r.target, r);
    } else if (!scheme.isEmpty()) {
        r.kind = PrintRoute::Kind::Socket;
        r.problem = QStringLiteral("unknown scheme '%1' (socket, lpd, ipp, ipps or smb)").arg(scheme);
    } else {
        r.kind = PrintRoute::Kind::Cups;
        const QLatin1String convert("#convert");
        r.convert = r.target.endsWith(convert);
        r.path = r.convert ? r.target.chopped(convert.size()) : r.target;
    }
}

} // namespace

QString printerdef::targetProblem(const QString& definition)
{
    const PrinterDefinition d = PrinterDefinition::parse(definition);
    if (d.route.problem.isEmpty())
        return {};
    return QStringLiteral("printer definition '%1': %2").arg(definition, d.route.problem);
}

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
        const WordSplit words = splitWords(actionPart(line));
        r.argumentWords = words.words.mid(1);
        r.balanced = words.balanced;
        return d;
    }
    r.target = action.firstElement.mid(1);
    readRawTarget(r);
    return d;
}

QString PrinterDefinition::problem() const
{
    if (queue.isEmpty())
        return QStringLiteral("no queue name");
    // The queue names its folder in the spool: it must stay one folder inside it.
    if (queue.contains(u'/') || queue == QLatin1String(".") || queue == QLatin1String(".."))
        return QStringLiteral("the queue name '%1' cannot be a folder's name").arg(queue);
    if (route.isRaw())
        return route.target.isEmpty() ? QStringLiteral("no raw target after '|'") : route.problem;
    if (!route.balanced)
        return QStringLiteral("a quote is not closed in the print command");
    if (route.program.isEmpty())
        return QStringLiteral("no print command");
    return {};
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
