#include "config/printerdefinition.h"

#include <gtest/gtest.h>

#include <vector>

using namespace printerdef;

namespace {

struct Case
{
    const char* definition;
    const char* token;
    const char* name;
    char flag;
    const char* action;
    bool raw;
    const char* target;
};

} // namespace

TEST(PrinterDefinition, Parts)
{
    const Case cases[] = {
        {"lp1 print %d", "lp1", "lp1", '\0', "print %d", false, ""},
        {"-lp1 print %d", "-lp1", "lp1", '-', "print %d", false, ""},
        {"|lp1 print", "|lp1", "lp1", '|', "print", false, ""},
        {"+lp1 print", "+lp1", "lp1", '+', "print", false, ""},
        {"lp1\tprint", "lp1", "lp1", '\0', "print", false, ""},
        {"lp1 \t  \t print  a ", "lp1", "lp1", '\0', "print  a ", false, ""},
        {"lp1", "lp1", "lp1", '\0', "", false, ""},
        {"lp1 ", "lp1", "lp1", '\0', "", false, ""},
        {"lp2 |local port /dev/lp0", "lp2", "lp2", '\0', "|local port /dev/lp0", true,
         "local port /dev/lp0"},
        {"+lp2 \t|\\\\server\\printer", "+lp2", "lp2", '+', "|\\\\server\\printer", true,
         "\\\\server\\printer"},
        {"lp3 |", "lp3", "lp3", '\0', "|", true, ""},
        // A flag counts only in the first position; a second one is part of the name.
        {"--lp1 x", "--lp1", "-lp1", '-', "x", false, ""},
        {"lp-1 x", "lp-1", "lp-1", '\0', "x", false, ""},
        {"", "", "", '\0', "", false, ""},
        {" lp1 x", "", "", '\0', "lp1 x", false, ""},
    };
    for (const Case& c : cases) {
        const QString d = QString::fromLatin1(c.definition);
        SCOPED_TRACE(c.definition);
        EXPECT_EQ(queueToken(d), QString::fromLatin1(c.token));
        EXPECT_EQ(queueName(d), QString::fromLatin1(c.name));
        EXPECT_EQ(flag(d), QChar::fromLatin1(c.flag));
        EXPECT_EQ(actionPart(d), QString::fromLatin1(c.action));
        EXPECT_EQ(isRaw(d), c.raw);
        EXPECT_EQ(rawTarget(d), QString::fromLatin1(c.target));
    }
}

TEST(PrinterDefinition, FlagsDisableWhatTheySay)
{
    EXPECT_FALSE(printingDisabled(QStringLiteral("lp1 x")));
    EXPECT_FALSE(spoolingDisabled(QStringLiteral("lp1 x")));
    EXPECT_TRUE(printingDisabled(QStringLiteral("-lp1 x")));
    EXPECT_FALSE(spoolingDisabled(QStringLiteral("-lp1 x")));
    EXPECT_FALSE(printingDisabled(QStringLiteral("|lp1 x")));
    EXPECT_TRUE(spoolingDisabled(QStringLiteral("|lp1 x")));
    EXPECT_TRUE(printingDisabled(QStringLiteral("+lp1 x")));
    EXPECT_TRUE(spoolingDisabled(QStringLiteral("+lp1 x")));
    // A raw target's bar is no flag.
    EXPECT_FALSE(spoolingDisabled(QStringLiteral("lp2 |local port /dev/lp0")));
}

TEST(PrinterDefinition, NetworkTargetsAndTheirFaults)
{
    struct Target
    {
        const char* definition;
        PrintRoute::Kind kind;
        const char* host;
        int port;
        const char* path;
        const char* problem; // part of the problem text, "" for none
    };
    using K = PrintRoute::Kind;
    const Target targets[] = {
        {"a |socket://printer", K::Socket, "printer", 9100, "", ""},
        {"a |socket://10.0.0.7:9101/", K::Socket, "10.0.0.7", 9101, "", ""},
        {"a |SOCKET://[::1]:9100", K::Socket, "::1", 9100, "", ""},
        {"a |lpd://spooler/raw", K::Lpd, "spooler", 515, "raw", ""},
        {"a |lpd://spooler:1515/raw", K::Lpd, "spooler", 1515, "raw", ""},
        {"a |ipp://laser.local/ipp/print", K::Ipp, "laser.local", 631, "/ipp/print", ""},
        {"a |ipps://laser:8631", K::Ipp, "laser", 8631, "/ipp/print", ""},
        {"a |ipp://127.0.0.1:6310/printers/lab", K::Ipp, "127.0.0.1", 6310, "/printers/lab", ""},
        {"a |socket://printer:99999", K::Socket, "", 0, "", "bad port '99999'"},
        {"a |socket://printer:", K::Socket, "", 0, "", "bad port ''"},
        {"a |socket://printer:9x", K::Socket, "", 0, "", "bad port '9x'"},
        {"a |socket://printer:0", K::Socket, "", 0, "", "bad port '0'"},
        {"a |socket://", K::Socket, "", 0, "", "no host"},
        {"a |ipp://:631/ipp", K::Ipp, "", 0, "", "no host"},
        {"a |socket://printer/queue", K::Socket, "", 0, "", "takes no path"},
        {"a |lpd://spooler", K::Lpd, "", 0, "", "no queue"},
        {"a |lpd://spooler/", K::Lpd, "", 0, "", "no queue"},
        {"a |lpd://spooler/a/b", K::Lpd, "", 0, "", "bad queue"},
        {"a |lpd://spool er/raw", K::Lpd, "", 0, "", "blank or control character"},
        {"a |http://printer/", K::Socket, "", 0, "", "unknown scheme 'http'"},
        {"a |ipp://pr!nter/", K::Ipp, "", 0, "", "bad host 'pr!nter'"},
    };
    for (const Target& t : targets) {
        SCOPED_TRACE(t.definition);
        const QString line = QString::fromLatin1(t.definition);
        const PrintRoute r = PrinterDefinition::parse(line).route;
        EXPECT_EQ(r.kind, t.kind);
        const QString problem = targetProblem(line);
        if (*t.problem == '\0') {
            EXPECT_TRUE(r.problem.isEmpty()) << r.problem.toStdString();
            EXPECT_TRUE(problem.isEmpty());
            EXPECT_EQ(r.host, QString::fromLatin1(t.host));
            EXPECT_EQ(r.port, t.port);
            EXPECT_EQ(r.path, QString::fromLatin1(t.path));
        } else {
            EXPECT_TRUE(problem.contains(QString::fromLatin1(t.problem)) &&
                        problem.startsWith(QStringLiteral("printer definition '") + line))
                << problem.toStdString();
        }
    }
    // What was there before keeps its meaning; a CUPS name has no "/" and no "#".
    const PrintRoute cups = PrinterDefinition::parse(QStringLiteral("a |office")).route;
    EXPECT_EQ(cups.kind, K::Cups);
    EXPECT_EQ(cups.path, QStringLiteral("office"));
    EXPECT_FALSE(cups.convert);
    const PrintRoute converted = PrinterDefinition::parse(QStringLiteral("a |office#convert")).route;
    EXPECT_EQ(converted.kind, K::Cups);
    EXPECT_EQ(converted.path, QStringLiteral("office"));
    EXPECT_TRUE(converted.convert);
    EXPECT_EQ(PrinterDefinition::parse(QStringLiteral("a |smb://host/p")).route.kind, K::Smb);
    EXPECT_EQ(PrinterDefinition::parse(QStringLiteral("a |\\\\host\\p")).route.kind, K::Smb);
    EXPECT_EQ(PrinterDefinition::parse(QStringLiteral("a |local port /dev/lp0")).route.kind,
              K::Device);
}

TEST(PrinterDefinition, CommandWordsGroupAsAShellGroupsThemAndBadDefinitionsSayWhy)
{
    struct Words
    {
        const char* definition;
        std::vector<const char*> words; // program first
    };
    const Words cases[] = {
        // What an administrator writes for sh; the single quotes keep "$0" and >> whole.
        {"lp /bin/sh -c 'cat \"$0\" >> /srv/out' %p/%d",
         {"/bin/sh", "-c", "cat \"$0\" >> /srv/out", "%p/%d"}},
        // Only double quotes: the same words as before.
        {"lp \"/opt/my tools/pr\" -o \"media=A4 sheet\" %p/%d",
         {"/opt/my tools/pr", "-o", "media=A4 sheet", "%p/%d"}},
        {"lp pr a\\ b \"x\\\"y\\z\" 'q\\r' \"\" ''", {"pr", "a b", "x\"y\\z", "q\\r", "", ""}},
        {"lp pr a\"b c\"'d e'f ;|$HOME *", {"pr", "ab cd ef", ";|$HOME", "*"}},
    };
    for (const Words& c : cases) {
        const PrinterDefinition d = PrinterDefinition::parse(QString::fromUtf8(c.definition));
        QStringList expected;
        for (const char* word : c.words)
            expected << QString::fromUtf8(word);
        EXPECT_EQ(QStringList{d.route.program} + d.route.argumentWords, expected) << c.definition;
        EXPECT_TRUE(d.problem().isEmpty()) << c.definition;
    }
    EXPECT_EQ(PrinterDefinition::parse(QStringLiteral("lp /bin/sh -c 'cat %p/%d")).problem(),
              QStringLiteral("a quote is not closed in the print command"));
    EXPECT_EQ(PrinterDefinition::parse(QStringLiteral("lp \"/bin/pr -x")).problem(),
              QStringLiteral("a quote is not closed in the print command"));
    EXPECT_EQ(PrinterDefinition::parse(QStringLiteral("lp  ")).problem(),
              QStringLiteral("no print command"));
    EXPECT_EQ(PrinterDefinition::parse(QStringLiteral("../.../esc /bin/true")).problem(),
              QStringLiteral("the queue name '../.../esc' cannot be a folder's name"));
    EXPECT_EQ(PrinterDefinition::parse(QStringLiteral("-.. /bin/true")).problem(),
              QStringLiteral("the queue name '..' cannot be a folder's name"));
    EXPECT_EQ(PrinterDefinition::parse(QStringLiteral("lp |")).problem(),
              QStringLiteral("no raw target after '|'"));
}
