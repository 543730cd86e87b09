// The built program against the LPD clients that sites run, each with its own tools: rlpr
// with rlpq and rlprm, CUPS' lpd backend in each of its modes, and LPRng's lpr, lpq and lprm
// (unpacked from Debian's package into the build folder, never installed, and run with a
// configuration of their own). Every job arrives byte-exact, files ending in zeros included;
// the client's own lpq lists it and its own lprm removes it.

#include "runningserver.h"

#include "testsupport.h"

#include <QDir>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// Files that end in zeros, where a server that takes the last data byte for the terminator
// loses it, and one of zeros only.
QList<QByteArray> zeroEndedFiles()
{
    return {QByteArray(3, '\0'), QByteArray("eighteen bytes ok.") + '\0',
            QByteArray(1000, 'k') + QByteArray(24, '\0'), QByteArray(70000, '\0'),
            QByteArray("plain text\n")};
}

class Interop : public ::testing::Test
{
protected:
    RunningServer s;

    // Queue lp prints each job into a file of its own under printed/; queue hold keeps its
    // jobs (printing disabled) for the listings.
    void SetUp() override
    {
        ASSERT_TRUE(QDir().mkpath(printedDir()));
        const QString print = s.dir() + QStringLiteral("/print.sh");
        ASSERT_TRUE(
            writeScript(print, "cp \"$1\" \"$(mktemp -p \"$(dirname \"$0\")/printed\")\"\n"));
        ASSERT_TRUE(s.start({QStringLiteral("lp ") + print + QStringLiteral(" %p/%d"),
                             QStringLiteral("-hold /bin/true")},
                            {QStringLiteral("127."), QStringLiteral("::1")}));
    }

    QString printedDir() const { return s.dir() + QStringLiteral("/printed"); }

    QString writeInput(int i, const QByteArray& bytes) const
    {
        const QString path = s.dir() + QStringLiteral("/input%1.bin").arg(i);
        writeFile(path, bytes);
        return path;
    }

    // Waits until exactly these contents have been printed, in any order.
    ::testing::AssertionResult printedAre(QList<QByteArray> expected)
    {
        std::sort(expected.begin(), expected.end());
        QList<QByteArray> got;
        const bool same = waitUntil(
            [&] {
                got.clear();
                for (const QString& name : QDir(printedDir()).entryList(QDir::Files))
                    got << readFile(printedDir() + QLatin1Char('/') + name);
                std::sort(got.begin(), got.end());
                return got == expected;
            },
            30000);
        if (same)
            return ::testing::AssertionSuccess();
        QByteArray sizes;
        for (const QByteArray& g : got)
            sizes += QByteArray::number(g.size()) + ' ';
        return ::testing::AssertionFailure() << "printed sizes: " << sizes.constData() << "\n"
                                             << s.log().toStdString();
    }

    bool holdIsEmpty() const
    {
        return waitUntil([&] { return QDir(s.spool(QStringLiteral("hold"))).isEmpty(); });
    }
};

// The job lines of a listing: user, number, file or title, size.
QList<QStringList> jobLines(const QByteArray& listing)
{
    static const QRegularExpression job(QStringLiteral("^(\\S+) +(\\d+) (.*?) +(\\d+) bytes$"));
    QList<QStringList> jobs;
    for (const QString& line : QString::fromUtf8(listing).split(QLatin1Char('\n'))) {
        if (const auto m = job.match(line); m.hasMatch())
            jobs << QStringList{m.captured(1), m.captured(2), m.captured(3), m.captured(4)};
    }
    return jobs;
}

} // namespace

TEST_F(Interop, Rlpr)
{
    auto rl = [&](const char* tool, const char* queue, const QStringList& args) {
        return runCommand(QString::fromLatin1(tool),
                          QStringList{QStringLiteral("-N"),
                                      QStringLiteral("--port=%1").arg(s.port()),
                                      QStringLiteral("-H"), QStringLiteral("127.0.0.1"),
                                      QStringLiteral("-P"), QString::fromLatin1(queue)} +
                              args);
    };
    // Several files in one command, then each alone.
    const QList<QByteArray> files = zeroEndedFiles();
    QStringList paths;
    for (qsizetype i = 0; i < files.size(); ++i)
        paths << writeInput(int(i), files[i]);
    const CommandResult all = rl("rlpr", "lp", paths);
    ASSERT_EQ(all.exitCode, 0) << all.output.toStdString();
    for (const QString& path : paths)
        ASSERT_EQ(rl("rlpr", "lp", {path}).exitCode, 0);
    EXPECT_TRUE(printedAre(files + files));

    // The print letters rlpr sends for -c, -d, -f (r) and -t each print their file; -#3
    // repeats the print line: three copies.
    QList<QByteArray> expected = files + files;
    for (const char* flag : {"-c", "-d", "-f", "-t"}) {
        ASSERT_EQ(rl("rlpr", "lp", {QString::fromLatin1(flag), paths[1]}).exitCode, 0) << flag;
        expected << files[1];
    }
    ASSERT_EQ(rl("rlpr", "lp", {QStringLiteral("-#3"), paths[0]}).exitCode, 0);
    expected << files[0] << files[0] << files[0];
    EXPECT_TRUE(printedAre(expected));

    // Listed by rlpq with its size, removed by rlprm.
    ASSERT_EQ(rl("rlpr", "hold", {paths[2]}).exitCode, 0);
    const QList<QStringList> listed = jobLines(rl("rlpq", "hold", {}).output);
    ASSERT_EQ(listed.size(), 1);
    EXPECT_EQ(listed[0][3], QString::number(files[2].size()));
    EXPECT_EQ(rl("rlprm", "hold", {listed[0][1]}).exitCode, 0);
    EXPECT_TRUE(jobLines(rl("rlpq", "hold", {}).output).isEmpty());
    EXPECT_TRUE(holdIsEmpty());
}

TEST_F(Interop, CupsLpdBackend)
{
    // Each mode with a file that ends in zeros: the reserved source port of RFC 1179, none,
    // the stream mode (no count, no terminator), and over IPv6.
    const QStringList uris = {QStringLiteral("lpd://127.0.0.1:%1/lp"),
                              QStringLiteral("lpd://127.0.0.1:%1/lp?reserve=none"),
                              QStringLiteral("lpd://127.0.0.1:%1/lp?reserve=none&mode=stream"),
                              QStringLiteral("lpd://[::1]:%1/lp?reserve=none")};
    const QList<QByteArray> files = zeroEndedFiles();
    QList<QByteArray> sent;
    for (qsizetype i = 0; i < uris.size(); ++i) {
        const QByteArray& bytes = files[i % files.size()];
        const CommandResult r =
            runCommand(QStringLiteral("/usr/lib/cups/backend/lpd"),
                       {QStringLiteral("1"), QStringLiteral("alice"), QStringLiteral("a title"),
                        QStringLiteral("1"), QString(), writeInput(int(i), bytes)},
                       120000, {QStringLiteral("DEVICE_URI=") + uris[i].arg(s.port())});
        EXPECT_EQ(r.exitCode, 0) << uris[i].toStdString() << r.output.toStdString();
        sent << bytes;
        EXPECT_TRUE(printedAre(sent)) << uris[i].toStdString();
    }
}

TEST_F(Interop, LprngClient)
{
    // LPRng reads its configuration only from /etc; its programs run in a mount namespace of
    // their own, where an overlay puts this test's lpd.conf and an empty printcap there.
    const QString etc = s.dir() + QStringLiteral("/lprng-etc");
    ASSERT_TRUE(QDir().mkpath(etc + QStringLiteral("/upper/lprng")));
    ASSERT_TRUE(QDir().mkpath(etc + QStringLiteral("/work")));
    ASSERT_TRUE(writeFile(etc + QStringLiteral("/upper/lprng/lpd.conf"), "# the test's client\n"));
    ASSERT_TRUE(writeFile(etc + QStringLiteral("/upper/printcap"), ""));
    auto lprng = [&](const char* tool, const char* queue, const QStringList& args) {
        return runCommand(
            QStringLiteral("unshare"),
            QStringList{
                QStringLiteral("-m"), QStringLiteral("--propagation"), QStringLiteral("private"),
                QStringLiteral("sh"), QStringLiteral("-c"),
                QStringLiteral("mount -t overlay overlay -o lowerdir=/etc,upperdir=\"$0/upper\","
                               "workdir=\"$0/work\" /etc && exec \"$@\""),
                etc, QStringLiteral(LPRNG_CLIENT_DIR "/usr/bin/") + QString::fromLatin1(tool),
                QStringLiteral("-P") + QString::fromLatin1(queue) + QStringLiteral("@127.0.0.1%") +
                    QString::number(s.port())} +
                args);
    };
    const QList<QByteArray> files = zeroEndedFiles();
    for (qsizetype i = 0; i < files.size(); ++i) {
        const CommandResult r = lprng("lpr", "lp", {writeInput(int(i), files[i])});
        ASSERT_EQ(r.exitCode, 0) << r.output.toStdString();
    }
    // Several files in one job, each printed.
    QStringList several;
    for (int i = 0; i < 3; ++i)
        several << writeInput(10 + i, files[i]);
    ASSERT_EQ(lprng("lpr", "lp", several).exitCode, 0);
    EXPECT_TRUE(printedAre(files + files.mid(0, 3)));

    // A queue it does not know gets words, not a bare refusal byte.
    const CommandResult unknown = lprng("lpq", "nosuch", {});
    EXPECT_TRUE(unknown.output.contains("nosuch")) << unknown.output.toStdString();
    EXPECT_FALSE(unknown.output.contains('\1')) << unknown.output.toStdString();

    // Listed by LPRng's lpq under the file's name and size, removed by its lprm.
    const QString held = writeInput(9, files[2]);
    ASSERT_EQ(lprng("lpr", "hold", {held}).exitCode, 0);
    const CommandResult listing = lprng("lpq", "hold", {});
    const QList<QStringList> listed = jobLines(listing.output);
    ASSERT_EQ(listed.size(), 1) << listing.output.toStdString();
    EXPECT_TRUE(listed[0][2].endsWith(QStringLiteral("input9.bin")))
        << listing.output.toStdString();
    EXPECT_EQ(listed[0][3], QString::number(files[2].size()));
    const CommandResult removed = lprng("lprm", "hold", {listed[0][1]});
    EXPECT_EQ(removed.exitCode, 0) << removed.output.toStdString();
    EXPECT_TRUE(jobLines(lprng("lpq", "hold", {}).output).isEmpty());
    EXPECT_TRUE(holdIsEmpty());

    // "lprm all", sent to a queue named in other letters: every held job goes.
    ASSERT_EQ(lprng("lpr", "HOLD", {held}).exitCode, 0);
    ASSERT_EQ(lprng("lpr", "hold", several).exitCode, 0);
    EXPECT_EQ(jobLines(lprng("lpq", "Hold", {}).output).size(), 2);
    EXPECT_EQ(lprng("lprm", "hold", {QStringLiteral("all")}).exitCode, 0);
    EXPECT_TRUE(jobLines(lprng("lpq", "hold", {}).output).isEmpty());
    EXPECT_TRUE(holdIsEmpty());
}
