#include "config/settings.h"

#include "config/printerdefinition.h"
#include "net/socketresolver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

#include <algorithm>
#include <array>
#include <optional>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

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

const std::array<std::pair<const QString*, Section>, 13>& keywordTable()
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
    return keywords;
}

Section keywordSection(const QString& line)
{
    for (const auto& [word, section] : keywordTable()) {
        if (line == *word)
            return section;
    }
    return Section::None;
}

// Only an optional sign and digits count as a number; QString::toInt alone would also take
// surrounding blanks, which the file never means.
std::optional<int> decimal(const QString& line)
{
    int i = 0;
    if (i < line.size() && (line[i] == u'+' || line[i] == u'-'))
        ++i;
    if (i == line.size())
        return std::nullopt;
    for (; i < line.size(); ++i) {
        if (line[i] < u'0' || line[i] > u'9')
            return std::nullopt;
    }
    bool ok = false;
    const int value = line.toInt(&ok, 10);
    return ok ? std::optional<int>(value) : std::nullopt;
}

int editDistance(const QString& a, const QString& b)
{
    QList<int> row(b.size() + 1);
    for (qsizetype j = 0; j <= b.size(); ++j)
        row[j] = int(j);
    for (qsizetype i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = int(i);
        for (qsizetype j = 1; j <= b.size(); ++j) {
            const int above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                               diagonal + (a[i - 1].toUpper() == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
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

// The known keyword a mistyped one most likely meant ("PRINTER", "printers", "PORTS"); empty
// when none is close.
QString nearestKeyword(const QString& word)
{
    QString best;
    int bestDistance = 3;
    for (const auto& entry : keywordTable()) {
        const int distance = editDistance(word, *entry.first);
        if (distance < bestDistance) {
            best = *entry.first;
            bestDistance = distance;
        }
    }
    return best;
}

} // namespace

QString quotedSetting(const QString& value)
{
    // An operator reads these on a terminal: a control byte in the file must not act there.
    QString shown = QStringLiteral("'");
    for (const QChar c : value) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F || (c.unicode() >= 0x80 && c.unicode() < 0xA0))
            shown += QStringLiteral("\\x%1").arg(int(c.unicode()), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown + QLatin1Char('\'');
}

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

Settings parseSettings(const QByteArray& text, Settings base, QStringList* faults)
{
    Settings s = std::move(base);
    s.timeoutMinutes = 1;
    s.maxConn = 10;
    s.printTimeoutMinutes = Settings().printTimeoutMinutes;
    s.stopWaitSeconds = Settings().stopWaitSeconds;
    s.maxPerHost = Settings().maxPerHost;
    s.syncReceivedFiles = Settings().syncReceivedFiles;

    const auto fault = [faults](int lineNumber, const QString& what) {
        if (faults)
            *faults << QStringLiteral("line %1: ").arg(lineNumber) + what;
    };
    // A number with anything else on its line ("5l5", "5 15", "51.5") is a typing error,
    // not the leading digits; it is reported and its key keeps the default.
    const auto number = [&](int lineNumber, const QString& key, const QString& line,
                            int fallback) {
        const std::optional<int> value = decimal(line);
        if (!value)
            fault(lineNumber, key + QLatin1Char(' ') + quotedSetting(line) +
                                  QStringLiteral(" is not a whole number"));
        return value.value_or(fallback);
    };

    Section section = Section::None;
    // Lines outside any section after one that was reported belong to it: one report each.
    bool strayReported = false;
    int lineNumber = 0;
    for (const QString& line : splitLines(decodeSettingsText(text))) {
        ++lineNumber;
        // The keyword test comes first so that a keyword opens its section even right
        // after a value line.
        if (const Section opened = keywordSection(line); opened != Section::None) {
            section = opened;
            strayReported = false;
            continue;
        }
        if (line.isEmpty() || line.front() == u' ') {
            section = Section::None;
            strayReported = false;
            continue;
        }
        switch (section) {
        case Section::None: {
            if (strayReported)
                break;
            strayReported = true;
            const QString near = nearestKeyword(line);
            fault(lineNumber, QStringLiteral("unknown keyword ") + quotedSetting(line) +
                                  (near.isEmpty() ? QStringLiteral(", ignored with what follows")
                                                  : QStringLiteral(" (did you mean ") + near +
                                                        QStringLiteral("?)")));
            break;
        }
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
            s.timeoutMinutes = number(lineNumber, kTimeout, line, 1);
            break;
        case Section::MaxConn:
            s.maxConn = number(lineNumber, kMaxConn, line, 10);
            break;
        case Section::Logging:
            s.setLoggingBits(number(lineNumber, kLogging, line, 1));
            break;
        case Section::PrintTimeout: {
            const int minutes =
                number(lineNumber, kPrintTimeout, line, Settings().printTimeoutMinutes);
            s.printTimeoutMinutes = minutes < 0 ? Settings().printTimeoutMinutes : minutes;
            break;
        }
        case Section::StopWait: {
            const int seconds = number(lineNumber, kStopWait, line, Settings().stopWaitSeconds);
            s.stopWaitSeconds = seconds < 0 ? Settings().stopWaitSeconds : seconds;
            break;
        }
        case Section::Listen:
            s.listenAddress = line;
            break;
        case Section::MaxPerHost:
            s.maxPerHost = number(lineNumber, kMaxPerHost, line, Settings().maxPerHost);
            break;
        case Section::Sync:
            s.syncReceivedFiles = number(lineNumber, kSync, line, 1) != 0;
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

bool loadSettingsFile(const QString& path, Settings& settings, QString* problem, QString* warning,
                      QStringList* faults)
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
    QStringList textFaults;
    const Settings parsed = parseSettings(text, settings, &textFaults);
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
    if (faults)
        *faults = textFaults;
    settings = parsed;
    return true;
}

QStringList unusableSettings(const Settings& s)
{
    QStringList faults;
    // A number is digits alone; a name starts with a letter. "5l5" is neither, whatever
    // the resolver would make of its leading digit.
    const bool numeric = !s.port.isEmpty() && s.port.front().isDigit();
    const bool allDigits =
        std::all_of(s.port.begin(), s.port.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    quint16 port = 0;
    if (s.port.isEmpty() || (numeric && !allDigits) ||
        !resolvePort(s.port, false, &port).isEmpty())
        faults << QStringLiteral("PORT %1 is not a port (a number from 1 to 65535 or a service "
                                 "name)")
                      .arg(quotedSetting(s.port));
    else if (port == 0)
        faults << QStringLiteral("PORT %1 would be a port the kernel picks").arg(s.port);
    if (!s.listenAddress.isEmpty() && !isIpAddressText(s.listenAddress))
        faults << QStringLiteral("LISTEN %1 is not an IP address").arg(quotedSetting(s.listenAddress));
    const auto count = [&](const char* key, int value) {
        if (value < 1)
            faults << QStringLiteral("%1 %2 is below 1").arg(QLatin1String(key)).arg(value);
    };
    count("TIMEOUT", s.timeoutMinutes);
    count("MAXCONN", s.maxConn);
    count("MAXPERHOST", s.maxPerHost);
    for (const QString& def : s.printers) {
        const QString problem = PrinterDefinition::parse(def).problem();
        if (!problem.isEmpty())
            faults << QStringLiteral("printer definition %1: ").arg(quotedSetting(def)) + problem;
    }
    return faults;
}

namespace {

// access() as another user: a child takes that user's ids and groups and asks. The errno
// of the answer, 0 when allowed; -1 when the child could not become that user.
int accessAs(const passwd& user, const QByteArray& path, int mode)
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (::initgroups(user.pw_name, user.pw_gid) != 0 || ::setgid(user.pw_gid) != 0 ||
            ::setuid(user.pw_uid) != 0)
            ::_exit(255);
        ::_exit(::access(path.constData(), mode) == 0 ? 0 : errno);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) == 255)
        return -1;
    return WEXITSTATUS(status);
}

} // namespace

QString spoolFolderProblem(const QString& spoolDir, const QString& asUser)
{
    // The server makes a missing folder (and its missing parents): what it needs is to be
    // allowed to write in the nearest one that exists. Checked with access(), that is as the
    // user and in the file system view (a service's read-only paths) of whoever asks.
    QString existing = QDir::cleanPath(QDir(spoolDir).absolutePath());
    while (!QFileInfo::exists(existing) && existing != QLatin1String("/"))
        existing = QFileInfo(existing).absolutePath();
    const QString which = existing == QDir::cleanPath(spoolDir)
                              ? QString()
                              : QStringLiteral(" (to make it in ") + existing + QLatin1Char(')');
    if (!QFileInfo(existing).isDir())
        return QStringLiteral("spool folder ") + spoolDir + which + QStringLiteral(": not a folder");
    const QByteArray native = QFile::encodeName(existing);
    int error = ::access(native.constData(), W_OK | X_OK) == 0 ? 0 : errno;
    QString by;
    // Root may write anywhere; whether the service's user may is what counts.
    const QByteArray userName = asUser.toLocal8Bit();
    if (const passwd* user = asUser.isEmpty() || ::geteuid() != 0
                                 ? nullptr
                                 : ::getpwnam(userName.constData());
        user && error == 0) {
        by = QStringLiteral(" by user ") + asUser;
        error = accessAs(*user, native, W_OK | X_OK);
        if (error < 0)
            return QStringLiteral("spool folder ") + spoolDir + QStringLiteral(": cannot check it") +
                   by;
    }
    if (error != 0)
        return QStringLiteral("spool folder ") + spoolDir + which + QStringLiteral(" cannot be written") +
               by + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error));
    return {};
}

Settings clampedSettings(Settings s, QStringList* changes)
{
    Settings portOnly;
    portOnly.port = s.port;
    if (const QStringList portFaults = unusableSettings(portOnly); !portFaults.isEmpty()) {
        if (changes)
            *changes << portFaults.front() + QStringLiteral(" - using 515");
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
    if (!QFileInfo::exists(path)) {
        faults << QStringLiteral("it is missing");
    } else if (!loadSettingsFile(path, fresh, &problem, warning, &faults)) {
        faults << problem;
    } else if (QFileInfo(path).size() == 0) {
        // An editor's failed save or a full disk, not a wish for every default.
        faults << QStringLiteral("it is empty");
    } else {
        faults += unusableSettings(fresh);
        // The service's file is checked as the service's user, whoever asks.
        const bool serviceFile =
            QFileInfo(path).absoluteFilePath() == QStringLiteral(SPOOLMERE_SERVICE_CONFIG);
        if (const QString spool =
                spoolFolderProblem(effectiveSpoolDir(fresh.spoolDir, path),
                                   serviceFile ? QStringLiteral(SPOOLMERE_SERVICE_USER) : QString());
            !spool.isEmpty())
            faults << spool;
    }
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

QString settingsFileFor(const SettingsPlace& place)
{
    if (!place.configVariable.isEmpty())
        return place.configVariable;
    const QString besideProgram = QDir(place.programDir).filePath(QStringLiteral("lpd.ini"));
    const bool installed = !place.installedProgramDir.isEmpty() &&
                           QDir::cleanPath(place.programDir) ==
                               QDir::cleanPath(place.installedProgramDir);
    if (installed) {
        // Root and the service's user mean the service: a check or a server started by hand
        // reads what the service reads, never a file beside /usr/bin/spoolmere.
        if (place.runsAsServiceOrRoot)
            return place.serviceConfig;
    } else if (place.besideProgramExists || place.programDirWritable) {
        return besideProgram;
    }
    // Relative values of XDG_CONFIG_HOME are to be ignored, as the base-directory rules say.
    QString configHome = place.configHome;
    if (configHome.isEmpty() || QDir::isRelativePath(configHome))
        configHome = QDir(place.home).filePath(QStringLiteral(".config"));
    return QDir(configHome).filePath(QStringLiteral("spoolmere/lpd.ini"));
}

QString locateSettingsFile()
{
    SettingsPlace place;
    place.configVariable = qEnvironmentVariable("SPOOLMERE_CONFIG");
    place.programDir = QCoreApplication::applicationDirPath();
    place.besideProgramExists =
        QFileInfo::exists(QDir(place.programDir).filePath(QStringLiteral("lpd.ini")));
    place.programDirWritable = QFileInfo(place.programDir).isWritable();
    place.installedProgramDir = QStringLiteral(SPOOLMERE_INSTALLED_BINDIR);
    place.serviceConfig = QStringLiteral(SPOOLMERE_SERVICE_CONFIG);
    const passwd* user = ::getpwuid(::geteuid());
    place.runsAsServiceOrRoot =
        ::geteuid() == 0 || (user && std::strcmp(user->pw_name, SPOOLMERE_SERVICE_USER) == 0);
    place.configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    place.home = QDir::homePath();
    return settingsFileFor(place);
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
