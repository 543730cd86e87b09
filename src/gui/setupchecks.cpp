#include "gui/setupchecks.h"

#include "config/printerdefinition.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <sys/stat.h>

namespace setupcheck {

namespace {

bool isBlankOrTab(QChar c)
{
    return c == u' ' || c == u'\t';
}

bool isAsciiAlnum(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

bool allIn(const QString& text, bool (*inSet)(QChar))
{
    return std::all_of(text.begin(), text.end(), inSet);
}

bool inQueueNameSet(QChar c)
{
    return isAsciiAlnum(c) || c == u'-' || c == u'.';
}

bool inRawTargetSet(QChar c)
{
    return isAsciiAlnum(c) || c == u' ' || c == u'(' || c == u')' || c == u'-' || c == u'.' ||
           c == u'\\' || c == u'_' || c == u'/';
}

bool startsWellFormed(const QString& text)
{
    return !text.isEmpty() && text.front() != u'-' && text.front() != u'.';
}

} // namespace

bool isValidQueueName(const QString& name)
{
    return startsWellFormed(name) && name.size() <= 31 && allIn(name, inQueueNameSet);
}

QString queueNameRule()
{
    return QStringLiteral("A name has 1 to 31 characters: letters A-Z and a-z, digits, \"-\" "
                          "and \".\", and does not begin with \"-\" or \".\".");
}

QString networkTargetProblem(const QString& target)
{
    const PrintRoute route = PrinterDefinition::parse(QStringLiteral("q |") + target).route;
    const bool network = route.kind == PrintRoute::Kind::Socket ||
                         route.kind == PrintRoute::Kind::Lpd || route.kind == PrintRoute::Kind::Ipp;
    if (!network)
        return {};
    return route.problem.isEmpty() ? QString() : target + QStringLiteral(": ") + route.problem;
}

bool isValidRawTarget(const QString& target)
{
    // A network printer's URI is checked as the server reads it.
    const PrintRoute::Kind kind = PrinterDefinition::parse(QStringLiteral("q |") + target).route.kind;
    if (kind == PrintRoute::Kind::Socket || kind == PrintRoute::Kind::Lpd ||
        kind == PrintRoute::Kind::Ipp)
        return target.size() <= 255 && networkTargetProblem(target).isEmpty();
    const QLatin1String smbScheme("smb://");
    const QString rest =
        target.startsWith(smbScheme, Qt::CaseInsensitive) ? target.mid(smbScheme.size()) : target;
    return startsWellFormed(rest) && target.size() <= 255 && allIn(rest, inRawTargetSet);
}

QString rawTargetRule()
{
    return QStringLiteral("A target typed by hand has 1 to 255 characters: letters A-Z and a-z, "
                          "digits, blanks and ( ) - . _ / \\, does not begin with \"-\" or "
                          "\".\", and may begin with smb://; or a network printer: "
                          "socket://host[:port], lpd://host[:port]/queue, "
                          "ipp://host[:port]/path or ipps://host[:port]/path.");
}

QString spoolDirProblem(const QString& path, const QString& baseDir)
{
    if (path.isEmpty())
        return spoolDirProblem(QStringLiteral("spool"), baseDir);
    const QFileInfo info(QDir(baseDir), path);
    const QString shown = QDir::cleanPath(info.absoluteFilePath());
    if (info.isDir())
        return {};
    if (info.exists())
        return QStringLiteral("The spool folder %1 cannot be used: it is a file, not a folder.")
            .arg(shown);
    // mkdir itself, for the system's reason (a missing parent, no permission, a full disk).
    if (::mkdir(QFile::encodeName(shown).constData(), 0755) == 0)
        return {};
    const int error = errno;
    return QStringLiteral("The spool folder %1 cannot be created: %2.")
        .arg(shown, QString::fromLocal8Bit(std::strerror(error)));
}

QString portProblem(const QString& text)
{
    const QString trimmed = text.trimmed();
    bool number = false;
    const uint port = trimmed.toUInt(&number);
    if (number && port >= 1 && port <= 65535)
        return {};
    if (!number && !trimmed.isEmpty() &&
        ::getservbyname(trimmed.toLocal8Bit().constData(), "tcp") != nullptr)
        return {};
    return QStringLiteral("The port \"%1\" cannot be used: enter a number from 1 to 65535 or a "
                          "service name from /etc/services.")
        .arg(text);
}

PrinterFields readDefinition(const QString& definition)
{
    PrinterFields fields;
    qsizetype i = 0;
    for (; i < definition.size() && !isBlankOrTab(definition[i]); ++i) {
        const QChar c = definition[i];
        if (i == 0 && c == u'+') {
            fields.printingDisabled = true;
            fields.spoolingDisabled = true;
        } else if (i == 0 && c == u'-') {
            fields.printingDisabled = true;
        } else if (i == 0 && c == u'|') {
            fields.spoolingDisabled = true;
        } else {
            fields.name += c;
        }
    }
    while (i < definition.size() && isBlankOrTab(definition[i]))
        ++i;
    if (i < definition.size() && definition[i] == u'|') {
        fields.raw = true;
        fields.target = definition.mid(i + 1);
    } else {
        fields.command = definition.mid(i);
    }
    return fields;
}

QString buildDefinition(const PrinterFields& f)
{
    QString d;
    if (f.printingDisabled && f.spoolingDisabled)
        d = QStringLiteral("+");
    else if (f.printingDisabled)
        d = QStringLiteral("-");
    else if (f.spoolingDisabled)
        d = QStringLiteral("|");
    d += f.name;
    if (f.raw)
        d += QStringLiteral(" |") + f.target;
    else
        d += QLatin1Char(' ') + f.command;
    return d;
}

QStringList localPortTargets(const QString& devRoot)
{
    QCollator natural;
    natural.setNumericMode(true);
    const auto devices = [&](const QString& folder, const QString& pattern) {
        const QDir dir(folder);
        QStringList names = dir.entryList({pattern}, QDir::AllEntries | QDir::System |
                                                         QDir::Hidden | QDir::NoDotAndDotDot);
        names.erase(
            std::remove_if(names.begin(), names.end(),
                           [&](const QString& n) { return QFileInfo(dir.filePath(n)).isDir(); }),
            names.end());
        std::sort(names.begin(), names.end(), natural);
        QStringList targets;
        for (const QString& n : names)
            targets << QStringLiteral("local port ") + dir.filePath(n);
        return targets;
    };
    return devices(devRoot, QStringLiteral("lp*")) +
           devices(devRoot + QStringLiteral("/usb"), QStringLiteral("lp*")) +
           devices(devRoot, QStringLiteral("ttyS*")) + devices(devRoot, QStringLiteral("ttyUSB*")) +
           devices(devRoot, QStringLiteral("ttyACM*"));
}

} // namespace setupcheck
