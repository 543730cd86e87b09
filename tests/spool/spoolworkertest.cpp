#include "spool/spoolworker.h"
#include "net/uniquefd.h"
#include "spool/queuefolder.h"

#include "testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

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

// A batch's files are written out together by the pool, yet each answer is told what became
// of its own file and folder, in the order the work was handed over.
TEST(SpoolWorker, EverySyncDecidesItsOwnAnswerInOrder)
{
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/q");
    auto folder = std::make_shared<QueueFolder>(QueueFolder::open(path, true));
    ASSERT_TRUE(folder->isOpen());
    SpoolWorker worker;
    std::vector<std::string> order; // the worker's, until drain()
    for (int i = 0; i < 40; ++i) {
        const QString name = QStringLiteral("df%1").arg(i);
        auto file = std::make_shared<UniqueFd>(folder->createFile(name, 0600));
        ASSERT_TRUE(file->isValid());
        ASSERT_TRUE(writeAll(file->get(), "data", 4));
        worker.writeOut(file, [&order, file, i](bool written) {
            // Closed by the worker before it says so.
            order.push_back((written && !file->isValid() ? "written " : "lost ") +
                            std::to_string(i));
        });
    }
    // A descriptor that cannot be flushed (opened only to name the file) is not written.
    auto unflushable = std::make_shared<UniqueFd>(
        ::open(QFile::encodeName(path + QStringLiteral("/df0")).constData(), O_PATH | O_CLOEXEC));
    worker.writeOut(unflushable, [&](bool written) {
        order.push_back(written ? "written path" : "lost path");
    });
    int folderAnswers = 0;
    bool folderSynced = false;
    worker.runSynced([&] { order.push_back("work"); }, folder, [&](bool synced) {
        folderSynced = synced;
        ++folderAnswers;
    });
    worker.drain();
    std::vector<std::string> expected;
    for (int i = 0; i < 40; ++i)
        expected.push_back("written " + std::to_string(i));
    expected.push_back("lost path");
    expected.push_back("work");
    EXPECT_EQ(order, expected);
    ASSERT_TRUE(waitUntil([&] { return folderAnswers == 1; }));
    EXPECT_TRUE(folderSynced);

    // A folder whose entries cannot reach the disk fails the answer that waits for it.
    const UniqueFd pathOnly(::open(QFile::encodeName(path).constData(), O_PATH | O_CLOEXEC));
    ASSERT_GE(::dup2(pathOnly.get(), folder->fd()), 0);
    worker.runSynced([] {}, folder, [&](bool synced) {
        folderSynced = synced;
        ++folderAnswers;
    });
    ASSERT_TRUE(waitUntil([&] { return folderAnswers == 2; }));
    EXPECT_FALSE(folderSynced);
}
