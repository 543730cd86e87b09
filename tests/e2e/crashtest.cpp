// SIGKILL while clients are sending, then a restart: every job whose client got all its
// answers is printed exactly once, and nothing is printed truncated.

#include "runningserver.h"

#include "testsupport.h"

#include <QFile>
#include <QMap>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

constexpr int PayloadSize = 200000;

QByteArray jobData(int id)
{
    QByteArray data = QByteArray("JOB ") + QByteArray::number(id).rightJustified(6, '0') + "\n";
    data += QByteArray(PayloadSize, char('a' + id % 26));
    return data;
}

// True when the whole job was acknowledged.
bool sendOne(quint16 port, int id)
{
    LoopbackClient c;
    if (!c.connectTo(port, nullptr, 1000))
        return false;
    const QByteArray n = QByteArray::number(id % 1000).rightJustified(3, '0');
    const QByteArray host = "h" + QByteArray::number(id);
    const QByteArray df = "dfA" + n + host;
    const QByteArray control = "Hh\nPcrash\nl" + df + "\n";
    const QByteArray data = jobData(id);
    QByteArray acks;
    c.send("\x02lp\n");
    acks += c.read(1, 2000);
    c.send("\x02" + QByteArray::number(control.size()) + " cfA" + n + host + "\n");
    acks += c.read(1, 2000);
    c.send(control + QByteArray(1, '\0'));
    acks += c.read(1, 2000);
    c.send("\x03" + QByteArray::number(data.size()) + " " + df + "\n");
    acks += c.read(1, 2000);
    c.send(data + QByteArray(1, '\0'));
    acks += c.read(1, 2000);
    c.close();
    return acks == QByteArray(5, '\0');
}

} // namespace

TEST(Crash, KilledWhileReceivingThenRestartedPrintsEveryAcknowledgedJobOnce)
{
    RunningServer s;
    const QString print = s.appendScript();
    // First run: receive only, so the kill always lands in reception, never in printing.
    ASSERT_TRUE(s.start({QStringLiteral("-lp ") + print + QStringLiteral(" %p/%d")}));

    std::atomic<bool> stop{false};
    std::atomic<int> next{0};
    std::mutex mutex;
    QList<int> acked;
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t)
        senders.emplace_back([&] {
            while (!stop) {
                const int id = next++;
                // Job numbers stay unique: equal queue, user and number are one job.
                if (id >= 1000)
                    break;
                if (sendOne(s.port(), id)) {
                    std::lock_guard lock(mutex);
                    acked << id;
                }
            }
        });
    spinFor(1500);
    s.kill();
    stop = true;
    for (auto& t : senders)
        t.join();
    ASSERT_GT(acked.size(), 10);

    // Second run: printing on.
    QByteArray ini = readFile(s.dir() + QStringLiteral("/lpd.ini"));
    ini.replace("\r\n-lp ", "\r\nlp ");
    ASSERT_TRUE(writeFile(s.dir() + QStringLiteral("/lpd.ini"), ini));
    ASSERT_TRUE(s.restart());

    auto printedJobs = [&] {
        QMap<int, int> count;
        const QByteArray out = readFile(s.outFile());
        const int unit = int(jobData(0).size());
        for (qsizetype pos = 0; pos < out.size(); pos += unit) {
            const QByteArray one = out.mid(pos, unit);
            const int id = one.mid(4, 6).toInt();
            if (one != jobData(id))
                return QMap<int, int>{{-1, 1}}; // truncated or mangled
            count[id] += 1;
        }
        return count;
    };
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto count = printedJobs();
            for (int id : acked)
                if (count.value(id) != 1)
                    return false;
            return true;
        },
        30000));
    spinFor(1500);
    const QMap<int, int> count = printedJobs();
    expectEachPrintedOnce(count, acked);
    s.stop();
}
