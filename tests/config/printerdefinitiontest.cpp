#include "config/printerdefinition.h"

#include <gtest/gtest.h>

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
