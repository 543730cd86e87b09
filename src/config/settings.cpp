#include "config/settings.h"

#include "config/printerdefinition.h"
#include "net/socketresolver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

#include <array>

#include <arpa/inet.h>

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
const QString kMaxPerHost = QStringLiteral("MAXPERHOST");
const QString kSync = QStringLiteral("SYNC");
const QString kAccounting = QStringLiteral("ACCOUNTING");

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
    Listen,
    MaxPerHost,
    Sync,
    Accounting
};

Section keywordSection(const QString& line)
{
    static const std::array<std::pair<const QString*, Section>, 13> keywords{{
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
        {&kMaxPerHost, Section::MaxPerHost},
        {&kSync, Section::Sync},
        {&kAccounting, Section::Accounting},
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

// The offset of the first byte that is not part of a well-formed UTF-8 sequence; -1 when
// there is none.
qsizetype firstNonUtf8Byte(QByteArrayView bytes)
{
    qsizetype i = 0;
    const qsizetype n = bytes.size();
    while (i < n) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        int follow = 0;
        unsigned min = 0;
        if (b < 0x80) {
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            follow = 1;
            min = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            follow = 2;
            min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            follow = 3;
            min = 0x10000;
        } else {
            return i;
        }
        if (i + follow >= n)
            return i;
        unsigned code = b & (0x3F >> follow);
        for (int k = 1; k <= follow; ++k) {
            const auto c = static_cast<unsigned char>(bytes[i + k]);
            if ((c & 0xC0) != 0x80)
                return i;
            code = (code << 6) | (c & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return i;
        i += follow + 1;
    }
    return -1;
}

// The file is UTF-8; one that is not valid UTF-8 was written by an older version in
// Latin-1 and is read as that, so old files keep working after an update. `badOffset` gets
// the offset in the file of the first byte that made it Latin-1 (-1 for UTF-8).
QString decodeSettingsText(const QByteArray& text, qsizetype* badOffset = nullptr)
{
    QByteArrayView bytes(text);
    qsizetype skipped = 0;
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        bytes = bytes.sliced(3);
        skipped = 3;
    }
    const qsizetype bad = firstNonUtf8Byte(bytes);
    if (badOffset)
        *badOffset = bad < 0 ? -1 : bad + skipped;
    if (bad >= 0)
        return QString::fromLatin1(bytes);
    return QString::fromUtf8(bytes);
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

bool isIpAddressText(const QString& text)
{
    unsigned char address[16];
    const QByteArray bytes = text.toLatin1();
    return ::inet_pton(AF_INET6, bytes.constData(), address) == 1 ||
           ::inet_pton(AF_INET, bytes.constData(), address) == 1;
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
    s.maxPerHost = Settings().maxPerHost;
    s.syncReceivedFiles = Settings().syncReceivedFiles;

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
        case Section::MaxPerHost:
            s.maxPerHost = decimalOr(line, Settings().maxPerHost);
            break;
        case Section::Sync:
            s.syncReceivedFiles = decimalOr(line, 1) != 0;
            break;
        case Section::Accounting:
            s.accounting = line;
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
    if (settings.maxPerHost != Settings().maxPerHost)
        lines << kMaxPerHost << QString::number(settings.maxPerHost) << QString();
    if (settings.loggingBits() != 0)
        lines << kLogging << QString::number(settings.loggingBits()) << QString();
    if (settings.printTimeoutMinutes != Settings().printTimeoutMinutes)
        lines << kPrintTimeout << QString::number(settings.printTimeoutMinutes) << QString();
    if (settings.stopWaitSeconds != Settings().stopWaitSeconds)
        lines << kStopWait << QString::number(settings.stopWaitSeconds) << QString();
    if (settings.syncReceivedFiles != Settings().syncReceivedFiles)
        lines << kSync << QString::number(settings.syncReceivedFiles ? 1 : 0) << QString();
    if (!settings.accounting.isEmpty())
        lines << kAccounting << settings.accounting << QString();
    lines << kPrinters << settings.printers << QString();
    lines << kHosts << settings.hosts;

    QByteArray out;
    for (const QString& line : lines) {
        out += line.toUtf8();
        out += "\r\n";
    }
    return out;
}

bool loadSettingsFile(const QString& path, Settings& settings, QString* problem, QString* warning)
{
    auto fail = [&](const QString& why) {
        // These two are reset before the file is even tried, so they hold without a file.
        settings.timeoutMinutes = 1;
        settings.maxConn = 10;
        settings.printTimeoutMinutes = Settings().printTimeoutMinutes;
        settings.stopWaitSeconds = Settings().stopWaitSeconds;
        settings.maxPerHost = Settings().maxPerHost;
        settings.syncReceivedFiles = Settings().syncReceivedFiles;
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
    qsizetype badOffset = -1;
    bool anyKeyword = false;
    for (const QString& line : splitLines(decodeSettingsText(text, &badOffset))) {
        if (keywordSection(line) != Section::None) {
            anyKeyword = true;
            break;
        }
    }
    // Even an empty file says nothing wrong; bytes without a single keyword are not lpd.ini.
    if (!text.isEmpty() && !anyKeyword)
        return fail(QStringLiteral("it holds no settings"));
    if (badOffset >= 0 && warning)
        *warning = QStringLiteral("byte %1 is not UTF-8: read as Latin-1").arg(badOffset);
    settings = parsed;
    return true;
}

QStringList unusableSettings(const Settings& s)
{
    QStringList faults;
    quint16 port = 0;
    if (s.port.isEmpty() || !resolvePort(s.port, false, &port).isEmpty())
        faults << QStringLiteral("PORT '%1' is not a port").arg(s.port);
    else if (port == 0)
        faults << QStringLiteral("PORT %1 would be a port the kernel picks").arg(s.port);
    if (!s.listenAddress.isEmpty() && !isIpAddressText(s.listenAddress))
        faults << QStringLiteral("LISTEN '%1' is not an IP address").arg(s.listenAddress);
    const auto count = [&](const char* key, int value) {
        if (value < 1)
            faults << QStringLiteral("%1 %2 is below 1").arg(QLatin1String(key)).arg(value);
    };
    count("TIMEOUT", s.timeoutMinutes);
    count("MAXCONN", s.maxConn);
    count("MAXPERHOST", s.maxPerHost);
    for (const QString& def : s.printers) {
        if (printerdef::queueName(def).isEmpty())
            faults << QStringLiteral("printer definition '%1' has no queue name").arg(def);
        else if (const QString problem = printerdef::targetProblem(def); !problem.isEmpty())
            faults << problem;
    }
    return faults;
}

Settings clampedSettings(Settings s, QStringList* changes)
{
    quint16 port = 0;
    if (!s.port.isEmpty() && resolvePort(s.port, false, &port).isEmpty() && port == 0) {
        if (changes)
            *changes << QStringLiteral("PORT %1 would be a port the kernel picks - using 515")
                            .arg(s.port);
        s.port = QStringLiteral("515");
    }
    const auto clamp = [&](const char* key, int& value) {
        if (value >= 1)
            return;
        if (changes)
            *changes
                << QStringLiteral("%1 %2 is below 1 - using 1").arg(QLatin1String(key)).arg(value);
        value = 1;
    };
    clamp("TIMEOUT", s.timeoutMinutes);
    clamp("MAXCONN", s.maxConn);
    clamp("MAXPERHOST", s.maxPerHost);
    return s;
}

bool readUsableSettings(const QString& path, Settings& settings, QStringList* problems,
                        QString* warning)
{
    QStringList faults;
    QString problem;
    Settings fresh;
    if (!QFileInfo::exists(path))
        faults << QStringLiteral("it is missing");
    else if (!loadSettingsFile(path, fresh, &problem, warning))
        faults << problem;
    else if (QFileInfo(path).size() == 0)
        // An editor's failed save or a full disk, not a wish for every default.
        faults << QStringLiteral("it is empty");
    else
        faults = unusableSettings(fresh);
    if (problems)
        *problems = faults;
    if (!faults.isEmpty())
        return false;
    settings = fresh;
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
