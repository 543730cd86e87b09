#include "config/settings.h"
#include "config/printerdefinition.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const QByteArray kDefaultsFile = "SPOOLDIR\r\n\r\n\r\nPRINTERS\r\n\r\nHOSTS\r\n";

Settings parse(const char* text)
{
    return parseSettings(QByteArray(text));
}

Settings exampleSettings()
{
    Settings s;
    s.spoolDir = QStringLiteral("c:\\lpdspool");
    s.port = QStringLiteral("5515");
    s.timeoutMinutes = 5;
    s.logConnecting = true;
    s.logReceivedData = true;
    s.printers = {QStringLiteral("lp1 /usr/local/bin/printjob %d %p"),
                  QStringLiteral("lp2 |local port /dev/lp0")};
    s.hosts = {QStringLiteral("192.168.0.10"), QStringLiteral("192.168.1.")};
    return s;
}

} // namespace

TEST(Settings, MissingFileKeepsDefaultsAndResetsTimeoutAndMaxConn)
{
    QTemporaryDir dir;
    Settings s;
    EXPECT_FALSE(loadSettingsFile(dir.filePath(QStringLiteral("lpd.ini")), s));
    EXPECT_EQ(s, Settings());

    Settings changed;
    changed.timeoutMinutes = 7;
    changed.maxConn = 3;
    changed.port = QStringLiteral("9100");
    EXPECT_FALSE(loadSettingsFile(dir.filePath(QStringLiteral("lpd.ini")), changed));
    EXPECT_EQ(changed.timeoutMinutes, 1);
    EXPECT_EQ(changed.maxConn, 10);
    EXPECT_EQ(changed.port, QStringLiteral("9100"));
}

TEST(Settings, AllDefaultsWriteSixLinesAndReadBack)
{
    EXPECT_EQ(serializeSettings(Settings()), kDefaultsFile);
    EXPECT_EQ(parseSettings(kDefaultsFile), Settings());
}

TEST(Settings, ExampleFileIsWrittenByteForByte)
{
    const QByteArray expected = "SPOOLDIR\r\nc:\\lpdspool\r\n\r\n"
                                "PORT\r\n5515\r\n\r\n"
                                "TIMEOUT\r\n5\r\n\r\n"
                                "LOGGING\r\n3\r\n\r\n"
                                "PRINTERS\r\nlp1 /usr/local/bin/printjob %d %p\r\n"
                                "lp2 |local port /dev/lp0\r\n\r\n"
                                "HOSTS\r\n192.168.0.10\r\n192.168.1.\r\n";
    EXPECT_EQ(serializeSettings(exampleSettings()), expected);
    EXPECT_EQ(parseSettings(expected), exampleSettings());

    Settings s;
    s.maxConn = 25;
    s.logPrinting = true;
    EXPECT_EQ(serializeSettings(s),
              "SPOOLDIR\r\n\r\n\r\nMAXCONN\r\n25\r\n\r\nLOGGING\r\n4\r\n\r\nPRINTERS\r\n\r\n"
              "HOSTS\r\n");

    // The print time limit is written back when it is not the default (60), and read again;
    // 0 means none, a negative value the default.
    s.printTimeoutMinutes = 0;
    const QByteArray limited = serializeSettings(s);
    EXPECT_TRUE(limited.contains("\r\nPRINTTIMEOUT\r\n0\r\n\r\n")) << limited.constData();
    EXPECT_EQ(parseSettings(limited), s);
    EXPECT_EQ(parseSettings("PRINTTIMEOUT\r\n-5\r\n").printTimeoutMinutes, 60);
    EXPECT_EQ(parseSettings("PRINTTIMEOUT\r\n1\r\n").printTimeoutMinutes, 1);
    EXPECT_EQ(parseSettings("STOPWAIT\r\n-1\r\n").stopWaitSeconds, 30);
    s.stopWaitSeconds = 5;
    EXPECT_EQ(parseSettings(serializeSettings(s)).stopWaitSeconds, 5);
    // Syncing received files is on unless switched off, and written only when off.
    EXPECT_TRUE(parseSettings("SYNC\r\nyes\r\n").syncReceivedFiles);
    s.syncReceivedFiles = false;
    EXPECT_TRUE(serializeSettings(s).contains("\r\nSYNC\r\n0\r\n\r\n"));
    EXPECT_EQ(parseSettings(serializeSettings(s)), s);
    // The accounting file: written back when named, and "off" kept as it is.
    s.accounting = QStringLiteral("off");
    EXPECT_EQ(parseSettings(serializeSettings(s)).accounting, QStringLiteral("off"));
    EXPECT_FALSE(serializeSettings(Settings()).contains("ACCOUNTING"));
}

TEST(Settings, SectionBoundaries)
{
    // A keyword right after a value line opens its section.
    Settings s = parse("SPOOLDIR\r\n/var/spool/x\r\nPORT\r\n5515\r\nHOSTS\r\nh1\r\n");
    EXPECT_EQ(s.spoolDir, QStringLiteral("/var/spool/x"));
    EXPECT_EQ(s.port, QStringLiteral("5515"));
    EXPECT_EQ(s.hosts, QStringList{QStringLiteral("h1")});

    // "PORT " is no keyword: a value of the section it stands in, or ignored outside one.
    s = parse("HOSTS\r\nh1\r\nPORT \r\n5000\r\n\r\nPORT \r\n6000\r\n");
    EXPECT_EQ(s.hosts,
              (QStringList{QStringLiteral("h1"), QStringLiteral("PORT "), QStringLiteral("5000")}));
    EXPECT_EQ(s.port, QStringLiteral("515"));

    // Lines before any keyword, and after a line beginning with a blank, are ignored.
    s = parse("garbage\r\nPRINTERS\r\nlp1 cmd\r\n lp2 cmd\r\nlp3 cmd\r\n");
    EXPECT_EQ(s.printers, QStringList{QStringLiteral("lp1 cmd")});

    // Keywords are case-sensitive.
    s = parse("hosts\r\nh1\r\n");
    EXPECT_TRUE(s.hosts.isEmpty());
}

TEST(Settings, EntriesThatEndTheirSectionAreLostOnReading)
{
    Settings s;
    s.printers = {QStringLiteral("lp1 a"), QString(), QStringLiteral("lp2 b")};
    s.hosts = {QStringLiteral("a"), QStringLiteral(" b"), QStringLiteral("c")};
    const QByteArray text = serializeSettings(s);
    EXPECT_TRUE(text.contains("PRINTERS\r\nlp1 a\r\n\r\nlp2 b\r\n\r\nHOSTS\r\na\r\n b\r\nc\r\n"));
    const Settings back = parseSettings(text);
    EXPECT_EQ(back.printers, QStringList{QStringLiteral("lp1 a")});
    EXPECT_EQ(back.hosts, QStringList{QStringLiteral("a")});

    // A host entry that is a keyword opens that section on reading.
    s = Settings();
    s.hosts = {QStringLiteral("a"), QStringLiteral("PORT"), QStringLiteral("5000")};
    const Settings keyword = parseSettings(serializeSettings(s));
    EXPECT_EQ(keyword.hosts, QStringList{QStringLiteral("a")});
    EXPECT_EQ(keyword.port, QStringLiteral("5000"));
}

TEST(Settings, LaterValueWins)
{
    Settings s =
        parse("SPOOLDIR\r\n/a\r\n/b\r\n\r\nPORT\r\n1\r\n\r\nSPOOLDIR\r\n/c\r\nPORT\r\n2\r\n");
    EXPECT_EQ(s.spoolDir, QStringLiteral("/c"));
    EXPECT_EQ(s.port, QStringLiteral("2"));
    s = parse("SPOOLDIR\r\n/a\r\n/b\r\n");
    EXPECT_EQ(s.spoolDir, QStringLiteral("/b"));
}

TEST(Settings, Numbers)
{
    struct Case
    {
        const char* value;
        int timeout;
        int maxConn;
    };
    const Case cases[] = {{"0", 0, 0},
                          {"-3", -3, -3},
                          {"+42", 42, 42},
                          {"007", 7, 7},
                          {"2147483647", 2147483647, 2147483647},
                          {"2147483648", 1, 10},
                          {"abc", 1, 10},
                          {"5 ", 1, 10},
                          {"5x", 1, 10},
                          {"0x10", 1, 10},
                          {"-", 1, 10},
                          {"1.5", 1, 10}};
    for (const Case& c : cases) {
        const QByteArray v(c.value);
        Settings s = parseSettings("TIMEOUT\r\n" + v + "\r\nMAXCONN\r\n" + v + "\r\n");
        EXPECT_EQ(s.timeoutMinutes, c.timeout) << c.value;
        EXPECT_EQ(s.maxConn, c.maxConn) << c.value;
    }

    // Values out of the dialog's range are kept and written back as they are.
    Settings s = parse("TIMEOUT\r\n-3\r\n");
    EXPECT_TRUE(serializeSettings(s).contains("\r\nTIMEOUT\r\n-3\r\n\r\n"));

    // The caller's timeout and maximum are reset even when the file does not set them.
    Settings base;
    base.timeoutMinutes = 50;
    base.maxConn = 2;
    base.spoolDir = QStringLiteral("/keep");
    s = parseSettings("HOSTS\r\nh\r\n", base);
    EXPECT_EQ(s.timeoutMinutes, 1);
    EXPECT_EQ(s.maxConn, 10);
    EXPECT_EQ(s.spoolDir, QStringLiteral("/keep"));
}

TEST(Settings, LoggingBits)
{
    Settings s = parse("LOGGING\r\n8\r\n");
    EXPECT_FALSE(s.logConnecting || s.logReceivedData || s.logPrinting);
    EXPECT_FALSE(serializeSettings(s).contains("LOGGING"));

    s = parse("LOGGING\r\ngarbage\r\n");
    EXPECT_TRUE(s.logConnecting);
    EXPECT_FALSE(s.logReceivedData || s.logPrinting);

    s = parse("LOGGING\r\n13\r\n"); // 8 + 4 + 1
    EXPECT_TRUE(s.logConnecting);
    EXPECT_FALSE(s.logReceivedData);
    EXPECT_TRUE(s.logPrinting);
    EXPECT_TRUE(serializeSettings(s).contains("\r\nLOGGING\r\n5\r\n\r\n"));

    for (int bits = 0; bits < 8; ++bits) {
        Settings b;
        b.setLoggingBits(bits);
        EXPECT_EQ(b.loggingBits(), bits);
        EXPECT_EQ(parseSettings(serializeSettings(b)), b);
    }
}

TEST(Settings, LineEndsAndEightBitText)
{
    const Settings expected = parse("PORT\r\n5515\r\n\r\nHOSTS\r\na\r\nb\r\n");
    EXPECT_EQ(parse("PORT\n5515\n\nHOSTS\na\nb"), expected);
    EXPECT_EQ(parse("PORT\r5515\r\rHOSTS\ra\rb\r"), expected);
    EXPECT_EQ(parse("PORT\r\n5515\n\rHOSTS\ra\r\nb"), expected);

    // Every Latin-1 character but CR and LF survives a round trip, NUL included; the
    // file holds them as UTF-8.
    QByteArray bytes;
    for (int c = 1; c < 256; ++c) {
        if (c != '\r' && c != '\n')
            bytes.append(static_cast<char>(c));
    }
    bytes.append('\0');
    Settings s;
    s.printers = {QString::fromLatin1(bytes)};
    s.spoolDir = QString::fromLatin1("/spool/\xe9t\xe9");
    const QByteArray text = serializeSettings(s);
    EXPECT_TRUE(text.contains(s.printers[0].toUtf8()));
    EXPECT_TRUE(text.startsWith("SPOOLDIR\r\n/spool/\xc3\xa9t\xc3\xa9\r\n"));
    EXPECT_EQ(parseSettings(text), s);
}

TEST(Settings, ReadsUtf8AndFallsBackToLatin1ForOldFiles)
{
    // Written by hand in a UTF-8 editor, BOM and all.
    const Settings utf8 =
        parse("\xEF\xBB\xBFSPOOLDIR\n/srv/sp\xC3\xB6\xC3\xB6l\n\nPRINTERS\n"
              "lp /opt/na\xC3\xAFve/print %d\n\xE2\x82\xAC \"/x/\xE6\x89\x93\" %d\n");
    EXPECT_EQ(utf8.spoolDir, QStringLiteral("/srv/sp\u00f6\u00f6l"));
    EXPECT_EQ(utf8.printers, QStringList({QStringLiteral("lp /opt/na\u00efve/print %d"),
                                          QStringLiteral("\u20ac \"/x/\u6253\" %d")}));
    // An old file: one byte that is not UTF-8 makes the whole file Latin-1, as it was.
    const Settings latin1 = parse("SPOOLDIR\r\n/srv/sp\xF6\xF6l\r\n\r\nHOSTS\r\n\xC3\xB6\r\n");
    EXPECT_EQ(latin1.spoolDir, QStringLiteral("/srv/sp\u00f6\u00f6l"));
    EXPECT_EQ(latin1.hosts, QStringList({QStringLiteral("\u00c3\u00b6")}));
}

TEST(Settings, PrintCommandBeginningWithBarReadsBackAsRaw)
{
    Settings s;
    s.printers = {QStringLiteral("lp1 ") + QStringLiteral("|notraw arg")};
    const Settings back = parseSettings(serializeSettings(s));
    ASSERT_EQ(back.printers.size(), 1);
    const PrinterDefinition printer = PrinterDefinition::parse(back.printers[0]);
    EXPECT_TRUE(printer.route.isRaw());
    EXPECT_EQ(printer.route.target, QStringLiteral("notraw arg"));
}

TEST(Settings, GarbageNeverBreaksTheReader)
{
    QByteArray huge(1 << 20, 'x');
    Settings s = parseSettings("HOSTS\r\n" + huge + "\r\nPORT\r\n" + huge);
    ASSERT_EQ(s.hosts.size(), 1);
    EXPECT_EQ(s.hosts[0].size(), huge.size());
    EXPECT_EQ(s.port.size(), huge.size());
    EXPECT_EQ(parseSettings(serializeSettings(s)), s);

    // Whatever the reader makes of random bytes, writing it and reading again changes nothing.
    const QByteArray pieces[] = {"SPOOLDIR", "PORT",    "PRINTERS", "HOSTS", "TIMEOUT",
                                 "MAXCONN",  "LOGGING", "\r",       "\n",    "\r\n",
                                 " ",        "\t",      "-1",       "9",     "\0"};
    QRandomGenerator rng(1179);
    for (int round = 0; round < 2000; ++round) {
        QByteArray text;
        const int parts = static_cast<int>(rng.bounded(60));
        for (int i = 0; i < parts; ++i) {
            if (rng.bounded(2) == 0)
                text += pieces[rng.bounded(static_cast<int>(std::size(pieces)))];
            else
                text += static_cast<char>(rng.bounded(256));
        }
        const Settings once = parseSettings(text);
        EXPECT_EQ(parseSettings(serializeSettings(once)), once) << text.toHex().constData();
    }
}

TEST(SettingsFile, SaveReplacesTheFileByRename)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("lpd.ini"));
    const QString oldLink = dir.filePath(QStringLiteral("old"));
    ASSERT_TRUE(writeFile(path, "old content\r\n"));
    ASSERT_EQ(::link(QFile::encodeName(path).constData(), QFile::encodeName(oldLink).constData()),
              0);

    ASSERT_TRUE(saveSettingsFile(path, exampleSettings()));
    EXPECT_EQ(readFile(path), serializeSettings(exampleSettings()));
    // An in-place rewrite would have changed the hard link too.
    EXPECT_EQ(readFile(oldLink), "old content\r\n");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
              (QStringList{QStringLiteral("lpd.ini"), QStringLiteral("old")}));

    Settings back;
    EXPECT_TRUE(loadSettingsFile(path, back));
    EXPECT_EQ(back, exampleSettings());

    // The first save creates the file, and its folder.
    const QString fresh = dir.filePath(QStringLiteral("sub/dir/lpd.ini"));
    ASSERT_TRUE(saveSettingsFile(fresh, Settings()));
    EXPECT_EQ(readFile(fresh), kDefaultsFile);
}

TEST(SettingsFile, FailedSaveReturnsFalseAndKeepsTheOldFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("lpd.ini"));
    ASSERT_TRUE(writeFile(path, kDefaultsFile));

    // A full disk: files may not grow beyond a few bytes while saving.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = saved;
    tiny.rlim_cur = 8;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    const bool saved1 = saveSettingsFile(path, exampleSettings());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(saved1);
    EXPECT_EQ(readFile(path), kDefaultsFile);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("lpd.ini")});

    // A folder that cannot exist because a file stands in its place.
    EXPECT_FALSE(saveSettingsFile(path + QStringLiteral("/lpd.ini"), exampleSettings()));
    EXPECT_EQ(readFile(path), kDefaultsFile);

    // A read-only folder (root writes anyway, so only checked for other users).
    if (geteuid() != 0) {
        ASSERT_TRUE(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));
        EXPECT_FALSE(saveSettingsFile(path, exampleSettings()));
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        EXPECT_EQ(readFile(path), kDefaultsFile);
    }
}

TEST(SettingsFile, LocationAndSpoolFolder)
{
    const QByteArray savedEnv = qgetenv("SPOOLMERE_CONFIG");
    qputenv("SPOOLMERE_CONFIG", "/etc/elsewhere/my.ini");
    EXPECT_EQ(locateSettingsFile(), QStringLiteral("/etc/elsewhere/my.ini"));
    if (!savedEnv.isNull())
        qputenv("SPOOLMERE_CONFIG", savedEnv);
    else
        qunsetenv("SPOOLMERE_CONFIG");

    // The installed program finds the service's file for root and the service's user, so a
    // check or a server started by hand reads what the service reads; anyone else's is in
    // their own folder; a build or copy elsewhere keeps its lpd.ini beside it.
    const auto place = [](const char* programDir, bool root, bool writable, bool beside) {
        SettingsPlace p;
        p.programDir = QString::fromLatin1(programDir);
        p.installedProgramDir = QStringLiteral("/usr/bin");
        p.serviceConfig = QStringLiteral("/etc/spoolmere/lpd.ini");
        p.runsAsServiceOrRoot = root;
        p.programDirWritable = writable;
        p.besideProgramExists = beside;
        p.home = QStringLiteral("/home/someone");
        return p;
    };
    EXPECT_EQ(settingsFileFor(place("/usr/bin", true, true, false)),
              QStringLiteral("/etc/spoolmere/lpd.ini"));
    EXPECT_EQ(settingsFileFor(place("/usr/bin/", true, true, true)),
              QStringLiteral("/etc/spoolmere/lpd.ini"));
    EXPECT_EQ(settingsFileFor(place("/usr/bin", false, false, false)),
              QStringLiteral("/home/someone/.config/spoolmere/lpd.ini"));
    EXPECT_EQ(settingsFileFor(place("/opt/sm", true, true, false)),
              QStringLiteral("/opt/sm/lpd.ini"));
    EXPECT_EQ(settingsFileFor(place("/opt/sm", false, false, true)),
              QStringLiteral("/opt/sm/lpd.ini"));
    SettingsPlace elsewhere = place("/opt/sm", false, false, false);
    elsewhere.configHome = QStringLiteral("/home/someone/.cfg");
    EXPECT_EQ(settingsFileFor(elsewhere), QStringLiteral("/home/someone/.cfg/spoolmere/lpd.ini"));
    elsewhere.configHome = QStringLiteral("relative");
    EXPECT_EQ(settingsFileFor(elsewhere), QStringLiteral("/home/someone/.config/spoolmere/lpd.ini"));
    SettingsPlace named = place("/usr/bin", true, true, false);
    named.configVariable = QStringLiteral("/srv/lpd.ini");
    EXPECT_EQ(settingsFileFor(named), QStringLiteral("/srv/lpd.ini"));

    const QString ini = QStringLiteral("/opt/spoolmere/lpd.ini");
    EXPECT_EQ(effectiveSpoolDir(QString(), ini), QStringLiteral("/opt/spoolmere/spool"));
    EXPECT_EQ(effectiveSpoolDir(QStringLiteral("jobs"), ini),
              QStringLiteral("/opt/spoolmere/jobs"));
    EXPECT_EQ(effectiveSpoolDir(QStringLiteral("/var/spool/lpd"), ini),
              QStringLiteral("/var/spool/lpd"));
}
