#include "config/settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

#include <array>

namespace {

const QString kSpoolDir = QStringLiteral("SPOOLDIR");
const QString kPort = QStringLiteral("PORT");
const QString kPrinters = QStringLiteral("PRINTERS");
const QString kHosts = QStringLiteral("HOSTS");
const QString kTimeout = QStringLiteral("TIMEOUT");
const QString kMaxConn = QStringLiteral("MAXCONN");
const QString kLogging = QStringLiteral("LOGGING");
const QString kPrintTimeout = QStringLiteral("PRINTTIMEOUT");
const QString kStopWait = QStringLiteral("STOPWAIT");
const QString kListen = QStringLiteral("LISTEN");

enum class Section
{
    None,
    SpoolDir,
    Port,
    Printers,
    Hosts,
    Timeout,
    MaxConn,
    Logging,
    PrintTimeout,
    StopWait,
    Listen
};

Section keywordSection(const QString& line)
{
    static const std::array<std::pair<const QString*, Section>, 10> keywords{{
        {&kSpoolDir, Section::SpoolDir},
        {&kPort, Section::Port},
        {&kPrinters, Section::Printers},
        {&kHosts, Section::Hosts},
        {&kTimeout, Section::Timeout},
        {&kMaxConn, Section::MaxConn},
        {&kLogging, Section::Logging},
        {&kPrintTimeout, Section::PrintTimeout},
        {&kStopWait, Section::StopWait},
        {&kListen, Section::Listen},
    }};
    for (const auto& [word, section] : keywords) {
        if (line == *word)
            return section;
    }
    return Section::None;
}

// Only an optional sign and digits count as a number; QString::toInt alone would also take
// surrounding blanks, which the file never means.
int decimalOr(const QString& line, int fallback)
{
    int i = 0;
    if (i < line.size() && (line[i] == u'+' || line[i] == u'-'))
        ++i;
    if (i == line.size())
        return fallback;
    for (; i < line.size(); ++i) {
        if (line[i] < u'0' || line[i] > u'9')
            return fallback;
    }
    bool ok = false;
    const int value = line.toInt(&ok, 10);
    return ok ? value : fallback;
}

// The file is UTF-8; one that is not valid UTF-8 was written by an older version in
// Latin-1 and is read as that, so old files keep working after an update.
QString decodeSettingsText(const QByteArray& text)
{
    QByteArrayView bytes(text);
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes = bytes.sliced(3);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = utf8.decode(bytes);
    if (utf8.hasError())
        return QString::fromLatin1(bytes);
    return decoded;
}

// Splits at CR LF, LF or a lone CR; a final line end does not start another line.
QStringList splitLines(const QString& text)
{
    QStringList lines;
    const qsizetype size = text.size();
    qsizetype start = 0;
    qsizetype i = 0;
    while (i < size) {
        const QChar c = text[i];
        if (c != u'\r' && c != u'\n') {
            ++i;
            continue;
        }
        lines.append(text.mid(start, i - start));
        i += (c == u'\r' && i + 1 < size && text[i + 1] == u'\n') ? 2 : 1;
        start = i;
    }
    if (start < size)
        lines.append(text.mid(start));
    return lines;
}

} // namespace

int Settings::loggingBits() const
{
    return (logConnecting ? 1 : 0) + (logReceivedData ? 2 : 0) + (logPrinting ? 4 : 0);
}

void Settings::setLoggingBits(int value)
{
    logConnecting = (value & 1) != 0;
    logReceivedData = (value & 2) != 0;
    logPrinting = (value & 4) != 0;
}

Settings parseSettings(const QByteArray& text, Settings base)
{
    Settings s = std::move(base);
    s.timeoutMinutes = 1;
    s.maxConn = 10;
    s.printTimeoutMinutes = Settings().printTimeoutMinutes;
    s.stopWaitSeconds = Settings().stopWaitSeconds;

    Section section = Section::None;
    for (const QString& line : splitLines(decodeSettingsText(text))) {
        // The keyword test comes first so that a keyword opens its section even right
        // after a value line.
        if (const Section opened = keywordSection(line); opened != Section::None) {
            section = opened;
            continue;
        }
        if (line.isEmpty() || line.front() == u' ') {
            section = Section::None;
            continue;
        }
        switch (section) {
        case Section::None:
            break;
        case Section::SpoolDir:
            s.spoolDir = line;
            break;
        case Section::Port:
            s.port = line;
            break;
        case Section::Printers:
            s.printers.append(line);
            break;
        case Section::Hosts:
            s.hosts.append(line);
            break;
        case Section::Timeout:
            s.timeoutMinutes = decimalOr(line, 1);
            break;
        case Section::MaxConn:
            s.maxConn = decimalOr(line, 10);
            break;
        case Section::Logging:
            s.setLoggingBits(decimalOr(line, 1));
            break;
        case Section::PrintTimeout: {
            const int minutes = decimalOr(line, Settings().printTimeoutMinutes);
            s.printTimeoutMinutes = minutes < 0 ? Settings().printTimeoutMinutes : minutes;
            break;
        }
        case Section::StopWait: {
            const int seconds = decimalOr(line, Settings().stopWaitSeconds);
            s.stopWaitSeconds = seconds < 0 ? Settings().stopWaitSeconds : seconds;
            break;
        }
        case Section::Listen:
            s.listenAddress = line;
            break;
        }
    }
    return s;
}

QByteArray serializeSettings(const Settings& settings)
{
    QStringList lines;
    lines << kSpoolDir << settings.spoolDir << QString();
    if (settings.port != QLatin1String("515"))
        lines << kPort << settings.port << QString();
    if (settings.listenAddress != Settings().listenAddress)
        lines << kListen << settings.listenAddress << QString();
    if (settings.timeoutMinutes != 1)
        lines << kTimeout << QString::number(settings.timeoutMinutes) << QString();
    if (settings.maxConn != 10)
        lines << kMaxConn << QString::number(settings.maxConn) << QString();
    if (settings.loggingBits() != 0)
        lines << kLogging << QString::number(settings.loggingBits()) << QString();
    if (settings.printTimeoutMinutes != Settings().printTimeoutMinutes)
        lines << kPrintTimeout << QString::number(settings.printTimeoutMinutes) << QString();
    if (settings.stopWaitSeconds != Settings().stopWaitSeconds)
        lines << kStopWait << QString::number(settings.stopWaitSeconds) << QString();
    lines << kPrinters << settings.printers << QString();
    lines << kHosts << settings.hosts;

    QByteArray out;
    for (const QString& line : lines) {
        out += line.toUtf8();
        out += "\r\n";
    }
    return out;
}

bool loadSettingsFile(const QString& path, Settings& settings, QString* problem)
{
    auto fail = [&](const QString& why) {
        // These two are reset before the file is even tried, so they hold without a file.
        settings.timeoutMinutes = 1;
        settings.maxConn = 10;
        settings.printTimeoutMinutes = Settings().printTimeoutMinutes;
        settings.stopWaitSeconds = Settings().stopWaitSeconds;
        // A missing file is the first start, not a problem.
        if (problem && !why.isEmpty())
            *problem = why;
        return false;
    };
    const QFileInfo info(path);
    if (!info.exists())
        return fail(QString());
    if (info.isDir())
        return fail(QStringLiteral("it is a folder"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());
    QByteArray text = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return fail(file.errorString());
    const Settings parsed = parseSettings(text, settings);
    bool anyKeyword = false;
    for (const QString& line : splitLines(decodeSettingsText(text))) {
        if (keywordSection(line) != Section::None) {
            anyKeyword = true;
            break;
        }
    }
    // Even an empty file says nothing wrong; bytes without a single keyword are not lpd.ini.
    if (!text.isEmpty() && !anyKeyword)
        return fail(QStringLiteral("it holds no settings"));
    settings = parsed;
    return true;
}

bool saveSettingsFile(const QString& path, const Settings& settings)
{
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    // QSaveFile writes beside the target and renames over it on commit, so a failed write
    // (full disk, no permission) leaves the previous file whole.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray text = serializeSettings(settings);
    // Without a commit the destructor throws the temporary file away. The explicit flush
    // matters: QSaveFile::commit overlooks a short write of its buffer (a full disk) and
    // would rename a truncated file over the good one.
    if (file.write(text) != text.size() || !file.flush())
        return false;
    return file.commit();
}

QString locateSettingsFile()
{
    const QString fromEnv = qEnvironmentVariable("SPOOLMERE_CONFIG");
    if (!fromEnv.isEmpty())
        return fromEnv;

    const QString programDir = QCoreApplication::applicationDirPath();
    const QString besideProgram = QDir(programDir).filePath(QStringLiteral("lpd.ini"));
    if (QFileInfo::exists(besideProgram) || QFileInfo(programDir).isWritable())
        return besideProgram;

    // Relative values of XDG_CONFIG_HOME are to be ignored, as the base-directory rules say.
    QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (configHome.isEmpty() || QDir::isRelativePath(configHome))
        configHome = QDir::home().filePath(QStringLiteral(".config"));
    return QDir(configHome).filePath(QStringLiteral("spoolmere/lpd.ini"));
}

QString effectiveSpoolDir(const QString& spoolDirSetting, const QString& settingsPath)
{
    const QDir iniDir = QFileInfo(settingsPath).absoluteDir();
    // An empty setting must never turn into the root of the file system.
    if (spoolDirSetting.isEmpty())
        return iniDir.filePath(QStringLiteral("spool"));
    if (QDir::isRelativePath(spoolDirSetting))
        return iniDir.filePath(spoolDirSetting);
    return spoolDirSetting;
}
