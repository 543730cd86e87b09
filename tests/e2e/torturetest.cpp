// Sixteen clients stream jobs of mixed sizes to three queues while jobs print through a
// command (the queues in parallel), and the
// server is ended again and again at random moments (SIGKILL, or SIGTERM), started again
// each time, then left to drain: every job whose client got all its answers is printed
// exactly once and byte-exact, nothing is printed cut off, and the spool ends empty. The
// server is started with SIGCHLD ignored, as some launchers leave it.

#include "runningserver.h"

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

constexpr int Clients = 16;
constexpr int Cycles = 20;
constexpr int MaxJobs = 700;
const char* const Queues[] = {"lp", "lp2", "lp3"};

QByteArray jobData(int id)
{
    static const int sizes[] = {1, 700, 9000, 70000, 260000};
    QByteArray data = QByteArray("JOB ") + QByteArray::number(id).rightJustified(6, '0') + "\n";
    data += QByteArray(sizes[id % 5], char('a' + id % 26));
    return data;
}

QByteArray dataName(int id)
{
    return "dfA" + QByteArray::number(id % 1000).rightJustified(3, '0') + "t" +
           QByteArray::number(id);
}

// True when the whole job was acknowledged.
bool sendOne(quint16 port, int id)
{
    LoopbackClient c;
    if (!c.connectTo(port, nullptr, 1000))
        return false;
    const QByteArray df = dataName(id);
    const QByteArray cf = "cf" + df.mid(2);
    const QByteArray control = "Ht\nPtorture\nl" + df + "\n";
    c.send("\x02" + QByteArray(Queues[id % 3]) + "\n");
    QByteArray acks = c.read(1, 3000);
    acks += sendJobFiles(c, cf, control, df, jobData(id));
    return acks == QByteArray(5, '\0');
}

void torture(bool kill)
{
    RunningServer s;
    const QString out = s.dir() + QStringLiteral("/out");
    ASSERT_TRUE(QDir().mkpath(out));
    // Each print in a file of its own: a print cut off shows as a short file, and a print
    // left running by a killed server never mixes with the next one's bytes.
    const QString print = s.dir() + QStringLiteral("/print.sh");
    ASSERT_TRUE(writeScript(
        print, "sleep 0.03\ncat \"$1\" > \"$(dirname \"$0\")/out/$(basename \"$1\").$$\"\n"));
    s.setChildSignalIgnored(true);
    QStringList printers;
    for (const char* queue : Queues)
        printers << QString::fromLatin1(queue) + QLatin1Char(' ') + print +
                        QStringLiteral(" %p/%d");
    ASSERT_TRUE(s.start(printers, {QStringLiteral("127.")}, "MAXCONN\r\n64\r\n\r\n"));

    std::atomic<bool> stop{false};
    std::atomic<int> next{0};
    std::mutex mutex;
    QList<int> acked;
    std::vector<std::thread> senders;
    for (int t = 0; t < Clients; ++t)
        senders.emplace_back([&] {
            while (!stop) {
                const int id = next++;
                if (id >= MaxJobs)
                    break;
                if (sendOne(s.port(), id)) {
                    std::lock_guard lock(mutex);
                    acked << id;
                }
            }
        });
    auto ackedCount = [&] {
        std::lock_guard lock(mutex);
        return int(acked.size());
    };
    for (int cycle = 0; cycle < Cycles; ++cycle) {
        // Long enough for the first pass after a start to be printing when the end comes,
        // and, however busy the machine, until the server has taken a few jobs since its
        // last start: a cycle that ends before any job arrived tests nothing.
        const int before = ackedCount();
        spinFor(1000 + int(QRandomGenerator::global()->bounded(2000)));
        ASSERT_TRUE(waitUntil(
            [&] { return ackedCount() >= before + 5 || next >= MaxJobs; }, 120000))
            << "no job acknowledged in cycle " << cycle;
        if (kill)
            s.kill();
        else
            s.stop();
        ASSERT_TRUE(s.restart()) << "cycle " << cycle;
    }
    stop = true;
    for (auto& t : senders)
        t.join();

    auto printed = [&] {
        QMap<int, int> count;
        for (const QString& name : QDir(out).entryList(QDir::Files)) {
            const int id =
                name.section(QLatin1Char('t'), 1).section(QLatin1Char('.'), 0, 0).toInt();
            if (readFile(out + QLatin1Char('/') + name) != jobData(id))
                count[-1] += 1; // cut off or mangled
            count[id] += 1;
        }
        return count;
    };
    auto spoolLeft = [&] {
        QStringList left;
        for (const char* queue : Queues) {
            left += QDir(s.spool(QString::fromLatin1(queue)))
                        .entryList(QDir::Files | QDir::Hidden | QDir::System);
            left.removeOne(QStringLiteral(".:printing"));
            left.removeOne(QStringLiteral(".lck"));
        }
        return left;
    };
    auto spoolEmpty = [&] { return spoolLeft().isEmpty(); };
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto count = printed();
            for (int id : acked)
                if (count.value(id) == 0)
                    return false;
            return spoolEmpty();
        },
        120000));
    const QMap<int, int> count = printed();
    expectEachPrintedOnce(count, acked);
    EXPECT_TRUE(spoolEmpty()) << spoolLeft().join(u' ').toStdString();
    s.stop();
}

} // namespace

TEST(Torture, KilledAtRandomMomentsEveryAcknowledgedJobPrintsExactlyOnce)
{
    torture(true);
}

TEST(Torture, StoppedAtRandomMomentsEveryAcknowledgedJobPrintsExactlyOnce)
{
    torture(false);
}
