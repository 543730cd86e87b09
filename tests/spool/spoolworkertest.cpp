#include "spool/spoolworker.h"

#include "testsupport.h"

#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

TEST(SpoolWorker, RunsWorkInOrderOffThisThreadAndReportsBackHere)
{
    SpoolWorker worker;
    std::vector<int> order; // touched by the worker only, until drain()
    std::atomic<bool> offThread{true};
    QThread* const here = QThread::currentThread();
    for (int i = 0; i < 100; ++i)
        worker.post([&, i] {
            order.push_back(i);
            if (QThread::currentThread() == here)
                offThread = false;
        });
    bool doneHere = false;
    bool doneAfterWork = false;
    worker.run([&] { order.push_back(100); },
               [&] {
                   doneHere = QThread::currentThread() == here;
                   doneAfterWork = order.size() == 101;
               });
    worker.drain();
    std::vector<int> expected;
    for (int i = 0; i <= 100; ++i)
        expected.push_back(i);
    EXPECT_EQ(order, expected);
    EXPECT_TRUE(offThread);
    // `done` waits for this thread's event loop.
    EXPECT_FALSE(doneHere);
    ASSERT_TRUE(waitUntil([&] { return doneHere; }));
    EXPECT_TRUE(doneAfterWork);
}

TEST(SpoolWorker, FinishesWhatWasHandedOverBeforeItGoes)
{
    std::atomic<int> ran{0};
    {
        SpoolWorker worker;
        for (int i = 0; i < 50; ++i)
            worker.post([&] {
                QThread::usleep(200);
                ++ran;
            });
    }
    EXPECT_EQ(ran.load(), 50);
}
