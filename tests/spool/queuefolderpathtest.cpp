// A queue folder is refused when a folder on the way to it can be changed by another user,
// whether that folder is on the path as written or only where a link on the way leads.

#include "spool/queuefolder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

TEST(QueueFolderPath, AFolderOthersCanChangeIsFoundAsWrittenAndBehindALink)
{
    QTemporaryDir dir;
    const QString base = dir.path();
    // Ours alone: opened.
    const QueueFolder plain = QueueFolder::open(base + QStringLiteral("/ours/spool/lp"), true);
    EXPECT_TRUE(plain.isOpen()) << plain.problem().toStdString();

    // Writable by everyone, without the sticky bit, on the path as written.
    const QString open = base + QStringLiteral("/open");
    ASSERT_TRUE(QDir().mkpath(open + QStringLiteral("/spool")));
    ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0777), 0);
    const QueueFolder written = QueueFolder::open(open + QStringLiteral("/spool/lp"), true);
    EXPECT_FALSE(written.isOpen());
    EXPECT_EQ(written.problem(), QStringLiteral("is reached through ") + open +
                                     QStringLiteral(", which another user can change"));

    // The same folder reached through a link of ours: the path as written looks safe.
    const QString link = base + QStringLiteral("/ours/via");
    ASSERT_TRUE(QFile::link(open, link));
    const QueueFolder linked = QueueFolder::open(link + QStringLiteral("/spool/lp"), true);
    EXPECT_FALSE(linked.isOpen());
    EXPECT_EQ(linked.problem(), QStringLiteral("is reached through ") + open +
                                    QStringLiteral(", which another user can change"));

    // A link to a folder that is ours alone is followed and found safe.
    ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0700), 0);
    const QueueFolder safe = QueueFolder::open(link + QStringLiteral("/spool/lp"), true);
    EXPECT_TRUE(safe.isOpen()) << safe.problem().toStdString();
}
