// The names of the files a client sends stay the client's bytes: on disk, in a print
// command's argument, through a restart's recovery and through removal, also where they
// are no UTF-8 at all and the spool folder's own path is UTF-8.

#include "runningserver.h"

#include "testsupport.h"

#include <QFile>
#include <QSet>

#include <gtest/gtest.h>

#include <dirent.h>

namespace {

struct NamedJob
{
    QByteArray queue;
    QByteArray user;
    QByteArray suffix; // after "cfA" / "dfA"
    QByteArray data;
};

// The names in a folder as the file system holds them, the lock files' shared stamp and the
// print record aside.
QSet<QByteArray> namesIn(const QByteArray& folder)
{
    QSet<QByteArray> names;
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return names;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != ".." && name != ".lck" && name != ".:printing")
            names.insert(name);
    }
    ::closedir(dir);
    return names;
}

QSet<QByteArray> filesOf(const QList<NamedJob>& jobs)
{
    QSet<QByteArray> names;
    for (const NamedJob& job : jobs)
        names << "cfA" + job.suffix << "dfA" + job.suffix;
    return names;
}

QByteArray send(quint16 port, const NamedJob& job)
{
    LoopbackClient c;
    if (!c.connectTo(port))
        return "connect failed";
    c.send("\x02" + job.queue + "\n");
    const QByteArray first = c.read(1);
    const QByteArray df = "dfA" + job.suffix;
    return first + sendJobFiles(c, "cfA" + job.suffix, "Hh\nP" + job.user + "\nl" + df + "\n", df,
                                job.data);
}

QByteArray ask(quint16 port, const QByteArray& line)
{
    LoopbackClient c;
    c.connectTo(port);
    c.send(line);
    return c.readAll(5000);
}

} // namespace

TEST(Names, ClientBytesStayTheFileNamesThroughPrintRecoveryAndRemoval)
{
    RunningServer s;
    const QString device = s.dir() + QStringLiteral("/device");
    ASSERT_TRUE(writeFile(device, {}));
    const QByteArray spool = QFile::encodeName(s.dir()) + "/sp\xC3\xB6\xC3\xB6l";
    // Receive only: the jobs wait in the spool for the restart.
    ASSERT_TRUE(s.start({QStringLiteral("-lp ") + s.appendScript() + QStringLiteral(" %p/%d"),
                         QStringLiteral("-dev |local port ") + device},
                        {QStringLiteral("127.")}, "SPOOLDIR\r\n" + spool + "\r\n\r\n"));

    const NamedJob latin{"lp", "alice", "001h\xE9", "e acute \xE9 as one byte\n"};
    const NamedJob utf8{"lp", "bob", "002h\xC3\xA9", "e acute as UTF-8\n"};
    const NamedJob removed{"lp", "carol", "003h\xE9\xFF", "never printed\n"};
    const NamedJob raw{"dev", "dave", "004h\xE9", QByteArray("raw \0\xE9\xFF", 7)};
    for (const NamedJob& job : {latin, utf8, removed, raw})
        ASSERT_EQ(send(s.port(), job), QByteArray(5, '\0')) << job.suffix.toHex().constData();

    EXPECT_EQ(namesIn(spool + "/lp"), filesOf({latin, utf8, removed}));
    EXPECT_EQ(namesIn(spool + "/dev"), filesOf({raw}));
    // Listed once each connection has handed its job over.
    QByteArray report;
    EXPECT_TRUE(waitUntil([&] {
        report = ask(s.port(), "\x03lp\n");
        return report.contains("alice") && report.contains("bob") && report.contains("carol");
    })) << report.constData();

    const QByteArray answer = ask(s.port(), "\x05lp carol 3\n");
    EXPECT_TRUE(answer.contains("carol 3\n")) << answer.constData();
    EXPECT_EQ(namesIn(spool + "/lp"), filesOf({latin, utf8}));

    // Printing on: the restart's recovery finds the waiting jobs by their names, and the
    // command is handed the path of the very file.
    QByteArray ini = readFile(s.dir() + QStringLiteral("/lpd.ini"));
    ini.replace("\r\n-lp ", "\r\nlp ").replace("\r\n-dev ", "\r\ndev ");
    ASSERT_TRUE(writeFile(s.dir() + QStringLiteral("/lpd.ini"), ini));
    ASSERT_TRUE(s.restart());
    EXPECT_TRUE(waitUntil([&] { return readFile(s.outFile()) == latin.data + utf8.data; }, 20000))
        << readFile(s.outFile()).constData() << s.log().toStdString();
    EXPECT_TRUE(waitUntil([&] { return readFile(device) == raw.data; }, 20000))
        << s.log().toStdString();
    EXPECT_TRUE(waitUntil([&] { return namesIn(spool + "/lp").isEmpty(); }))
        << s.log().toStdString();
    EXPECT_TRUE(waitUntil([&] { return namesIn(spool + "/dev").isEmpty(); }))
        << s.log().toStdString();
    s.stop();
}
