// Random bytes from many clients, some of them after a valid start: the server answers or
// closes, never crashes, and writes nothing outside its spool.

#include "serverfixture.h"

#include <QDirIterator>

#include <random>

namespace {

QByteArray randomBytes(std::mt19937& rng, int maxLength)
{
    std::uniform_int_distribution<int> length(0, maxLength);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> pick(0, 9);
    QByteArray out;
    const int n = length(rng);
    for (int i = 0; i < n; ++i) {
        // Line ends, zeros, separators and slashes often: they steer the state machine.
        static const char interesting[] = {'\n', '\r', '\0', ' ', '/', '.', '\x02', '\x03'};
        out.append(pick(rng) < 3 ? interesting[byte(rng) % sizeof interesting] : char(byte(rng)));
    }
    return out;
}

} // namespace

class HostileInput : public ServerFixture
{
};

TEST_F(HostileInput, RandomBytesNeverCrashTheServerOrEscapeTheSpool)
{
    Settings s = defaults();
    s.maxConn = 1000;
    startServer(s);
    std::mt19937 rng(20261207);
    const QList<QByteArray> prefixes = {"",
                                        "\x02lp\n",
                                        "\x02lp\n\x02",
                                        "\x02lp\n\x03",
                                        "\x02lp\n\x03"
                                        "0 dfA001h\n",
                                        "\x05lp root ",
                                        "\x04lp "};
    std::vector<QByteArray> inputs;
    for (int i = 0; i < 300; ++i)
        inputs.push_back(prefixes[int(rng() % prefixes.size())] + randomBytes(rng, 3000));
    for (size_t start = 0; start < inputs.size(); start += 30) {
        std::vector<std::future<bool>> batch;
        for (size_t i = start; i < std::min(inputs.size(), start + 30); ++i)
            batch.push_back(onThread([this, bytes = inputs[i]] {
                LoopbackClient c;
                if (!c.connectTo(port))
                    return false;
                c.send(bytes);
                c.shutdownWrite();
                c.readAll(3000);
                return true;
            }));
        for (auto& f : batch)
            EXPECT_TRUE(awaitResult(f, 20000));
    }
    // Still serving.
    const QByteArray answer = client([&] { return queueState(port); });
    EXPECT_TRUE(answer.startsWith("short queue for printer lp\n"));
    // Everything written is inside the spool folder.
    QDirIterator it(dir.path(), QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        EXPECT_TRUE(path.startsWith(dir.path() + QStringLiteral("/spool/")) ||
                    path == dir.path() + QStringLiteral("/lpd.ini") ||
                    path == dir.path() + QStringLiteral("/lpd.ini.spool"))
            << path.toStdString();
    }
}
