#include "config/logsink.h"
#include "testsupport.h"

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
}

TEST(LogSink, OptionalCategoriesFollowTheirFlags)
{
    LogSink sink;
    sink.appendConnecting(QStringLiteral("c1"));
    sink.appendReceivedData(QStringLiteral("r1"));
    sink.appendPrinting(QStringLiteral("p1"));
    EXPECT_TRUE(sink.lines().isEmpty());

    sink.connecting = true;
    sink.appendConnecting(QStringLiteral("c2"));
    sink.appendReceivedData(QStringLiteral("r2"));
    sink.printing = true;
    sink.appendPrinting(QStringLiteral("p2"));
    sink.receivedData = true;
    sink.connecting = false;
    sink.appendConnecting(QStringLiteral("c3"));
    sink.appendReceivedData(QStringLiteral("r3"));
    sink.append(QStringLiteral("standard"));
    EXPECT_EQ(sink.lines(), (QStringList{QStringLiteral("c2"), QStringLiteral("p2"),
                                         QStringLiteral("r3"), QStringLiteral("standard")}));
}

TEST(LogSink, OtherThreadsWaitUntilTheirLineIsAppended)
{
    LogSink sink;
    constexpr int kLines = 200;
    std::atomic<int> returned{0};
    std::vector<int> returnedAtAppend;
    QObject::connect(&sink, &LogSink::lineAppended,
                     [&](const QString&) { returnedAtAppend.push_back(returned.load()); });

    auto worker = onThread([&] {
        for (int i = 0; i < kLines; ++i) {
            sink.appendFromAnyThread(QStringLiteral("line %1").arg(i));
            returned.fetch_add(1);
        }
        return true;
    });
    ASSERT_TRUE(awaitResult(worker));

    QStringList expected;
    std::vector<int> expectedReturned;
    for (int i = 0; i < kLines; ++i) {
        expected << QStringLiteral("line %1").arg(i);
        expectedReturned.push_back(i);
    }
    EXPECT_EQ(sink.lines(), expected);
    // While line i is appended, the worker has returned from exactly i calls.
    EXPECT_EQ(returnedAtAppend, expectedReturned);

    // On the owning thread the line is there at once, without an event loop.
    sink.appendFromAnyThread(QStringLiteral("main"));
    EXPECT_EQ(sink.lines().last(), QStringLiteral("main"));
}
