#include "platform/clock.h"
#include "testsupport.h"

#include <QDateTime>

#include <gtest/gtest.h>

#include <atomic>

TEST(Clock, CanBeReplacedAndRestored)
{
    std::atomic<qint64> fake{1'000'000};
    Clock::setForTesting([&] { return fake.load(); });
    EXPECT_EQ(Clock::nowMs(), 1'000'000);
    fake += 60'000;
    EXPECT_EQ(Clock::nowMs(), 1'060'000);
    auto other = onThread([] { return Clock::nowMs(); });
    EXPECT_EQ(awaitResult(other), 1'060'000);

    Clock::setForTesting({});
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    const qint64 now = Clock::nowMs();
    EXPECT_GE(now, before);
    EXPECT_LE(now, QDateTime::currentMSecsSinceEpoch());
}
