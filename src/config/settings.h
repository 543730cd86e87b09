#pragma once
// lpd.ini: sections opened by a keyword line, ended by an empty line or one that begins
// with a blank; CR LF line ends; keys at their default are left out when writing.

#include <QByteArray>
#include <QString>
#include <QStringList>

struct Settings
{
    QString spoolDir;
    QString port = QStringLiteral("515");
    // "::" takes IPv6 and IPv4 clients; "0.0.0.0" IPv4 only; or one address of this host.
    QString listenAddress = QStringLiteral("::");
    QStringList printers; // printer definitions, one line each
    QStringList hosts;    // allowed-host prefixes
    int timeoutMinutes = 1;
    int maxConn = 10;
    // While clients of other addresses wait for a session slot, the slots one address may
    // hold.
    int maxPerHost = 3;
    // How long one print (command or raw write) may take before it is ended and counts as
    // failed; 0 for no limit.
    int printTimeoutMinutes = 60;
    // How long a running print may go on when the server stops before it is ended (its job
    // then stays for the next start); 0 ends it at once.
    int stopWaitSeconds = 30;
    // A received file, and its entry in the queue folder, reach the disk before the answer
    // that accepts a job; 0 in lpd.ini trades that for speed.
    bool syncReceivedFiles = true;
    // The accounting file (spool/accounting.h): empty for "accounting.log" in the spool
    // folder, "off" for none, else its name (relative to lpd.ini's folder).
    QString accounting;
    bool logConnecting = false;
    bool logReceivedData = false;
    bool logPrinting = false;

    int loggingBits() const;
    void setLoggingBits(int value);
    bool operator==(const Settings&) const = default;
};

// Pure reader and writer of the file's text. The reader accepts CR LF, LF and lone CR.
// It starts from `base` (the caller's defaults) and resets TIMEOUT/MAXCONN first.
// `faults` gets what the text itself gets wrong, one line each with its line number: an
// unknown keyword (and the known one it is nearest to), a number with anything else on
// its line. Such a value keeps its key's default.
Settings parseSettings(const QByteArray& text, Settings base = Settings(),
                       QStringList* faults = nullptr);
QByteArray serializeSettings(const Settings& settings);

// Reads the file; a missing, unreadable or unparsable file leaves the defaults. Returns
// whether the file was read; `problem` tells why a file that is there could not be used,
// `warning` what was odd about one that could (bytes that are not UTF-8), `faults` what
// parseSettings found wrong in it.
bool loadSettingsFile(const QString& path, Settings& settings, QString* problem = nullptr,
                      QString* warning = nullptr, QStringList* faults = nullptr);

// Why the server cannot run with these values, one text each; empty when it can: a port
// or address that is not one, counts below 1, printer definitions without a queue, with a
// queue that cannot be a folder, without a print command or with an unbalanced quote.
QStringList unusableSettings(const Settings& settings);
// Why the server's user cannot keep its spool in `spoolDir`, with the path and the
// system's reason; empty when it can. The user is whoever calls this, or, when root calls,
// `asUser` if there is such a user.
QString spoolFolderProblem(const QString& spoolDir, const QString& asUser = QString());
// A value as a message shows it: in single quotes, control characters as \xNN.
QString quotedSetting(const QString& value);
// The values the server cannot run with put back to usable ones (a PORT that is not one,
// or 0, to 515; counts below 1 to 1), with one line each saying so.
Settings clampedSettings(Settings settings, QStringList* changes);
// lpd.ini as a reload takes it: the settings, or the reasons it cannot be used (missing,
// unreadable, empty, not lpd.ini, faults of its text, values the server cannot use, a
// spool folder it cannot write); `warning` as for loadSettingsFile.
bool readUsableSettings(const QString& path, Settings& settings, QStringList* problems,
                        QString* warning = nullptr);
// Writes a temporary file beside `path` and renames it over; false on any failure.
bool saveSettingsFile(const QString& path, const Settings& settings);

// What decides where lpd.ini lives.
struct SettingsPlace
{
    QString configVariable; // SPOOLMERE_CONFIG
    QString programDir;
    bool besideProgramExists = false;
    bool programDirWritable = false;
    QString installedProgramDir; // where the package puts the program (/usr/bin)
    QString serviceConfig;       // the service's lpd.ini (/etc/spoolmere/lpd.ini)
    bool runsAsServiceOrRoot = false;
    QString configHome; // XDG_CONFIG_HOME
    QString home;
};
// SPOOLMERE_CONFIG if set. The installed program run by root or the service's user: the
// service's file; by anyone else: $XDG_CONFIG_HOME/spoolmere/lpd.ini. A program elsewhere
// (a build, a copy): beside the program when that folder is writable or already holds
// lpd.ini, else $XDG_CONFIG_HOME/spoolmere/lpd.ini.
QString settingsFileFor(const SettingsPlace& place);
// settingsFileFor this process.
QString locateSettingsFile();

// The spool folder a setting names; an empty setting means "spool" beside lpd.ini.
QString effectiveSpoolDir(const QString& spoolDirSetting, const QString& settingsPath);
