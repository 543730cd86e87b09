#include "config/logsink.h"
#include "testsupport.h"

#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

TEST(LogSink, KeepsTheNewestLinesUpToItsCapacity)
{
    LogSink sink(nullptr, 3);
    QStringList seen;
    QObject::connect(&sink, &LogSink::lineAppended, [&](const QString& l) { seen << l; });
    for (int i = 0; i < 5; ++i)
        sink.append(QString::number(i));
    EXPECT_EQ(sink.lines(),
              (QStringList{QStringLiteral("2"), QStringLiteral("3"), QStringLiteral("4")}));
    EXPECT_EQ(seen.size(), 5);
    EXPECT_FALSE(sink.contains(QStringLiteral("1")));
    EXPECT_TRUE(sink.contains(QStringLiteral("4")));

    // A smaller capacity drops the oldest at once; a larger one keeps what is there.
    sink.setCapacity(2);
    EXPECT_EQ(sink.lines(), (QStringList{QStringLiteral("3"), QStringLiteral("4")}));
    sink.setCapacity(4);
    sink.append(QStringLiteral("5"));
    EXPECT_EQ(sink.lines(),
              (QStringList{QStringLiteral("3"), QStringLiteral("4"), QStringLiteral("5")}));
}

TEST(LogSink, OptionalCategoriesFollowTheirFlags)
{
    LogSink sink;
    sink.appendConnecting(QStringLiteral("c1"));
    sink.appendReceivedData(QStringLiteral("r1"));
    sink.appendPrinting(QStringLiteral("p1"));
    EXPECT_TRUE(sink.lines().isEmpty());

    sink.setConnectingEnabled(true);
    sink.appendConnecting(QStringLiteral("c2"));
    sink.appendReceivedData(QStringLiteral("r2"));
    sink.setPrintingEnabled(true);
    sink.appendPrinting(QStringLiteral("p2"));
    sink.setReceivedDataEnabled(true);
    sink.setConnectingEnabled(false);
    sink.appendConnecting(QStringLiteral("c3"));
    sink.appendReceivedData(QStringLiteral("r3"));
    sink.append(QStringLiteral("standard"));
    EXPECT_EQ(sink.lines(), (QStringList{QStringLiteral("c2"), QStringLiteral("p2"),
                                         QStringLiteral("r3"), QStringLiteral("standard")}));
}

TEST(LogSink, LinesFromOtherThreadsArriveInOrderOnTheOwningThread)
{
    LogSink sink;
    constexpr int kLines = 200;
    std::vector<bool> onOwner;
    QObject::connect(&sink, &LogSink::lineAppended, [&](const QString&) {
        onOwner.push_back(QThread::currentThread() == sink.thread());
    });

    auto worker = onThread([&] {
        for (int i = 0; i < kLines; ++i)
            sink.appendFromAnyThread(QStringLiteral("line %1").arg(i));
        return true;
    });
    ASSERT_TRUE(awaitResult(worker));
    ASSERT_TRUE(waitUntil([&] { return sink.lines().size() == kLines; }));

    QStringList expected;
    for (int i = 0; i < kLines; ++i)
        expected << QStringLiteral("line %1").arg(i);
    EXPECT_EQ(sink.lines(), expected);
    EXPECT_EQ(onOwner, std::vector<bool>(kLines, true));

    // On the owning thread the line is there at once, without an event loop.
    sink.appendFromAnyThread(QStringLiteral("main"));
    EXPECT_EQ(sink.lines().last(), QStringLiteral("main"));
}
