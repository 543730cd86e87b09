// Log lines on their way to the journal, and how the program knows its output goes there.

#include "platform/servicemanager.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

TEST(ServiceManager, JournalLinesCarryTheirPriorityOnEveryPhysicalLine)
{
    EXPECT_EQ(servicemanager::journalLine(QStringLiteral("ERROR: Command too long.")),
              QByteArray("<3>ERROR: Command too long.\n"));
    EXPECT_EQ(servicemanager::journalLine(QStringLiteral("Remote 127.0.0.1 connected")),
              QByteArray("<6>Remote 127.0.0.1 connected\n"));
    // A socket report spans two lines; a line that merely mentions an error is not one.
    EXPECT_EQ(servicemanager::journalLine(QStringLiteral("ERROR: Error 10048 in function Bind\r\n"
                                                         "Address already in use")),
              QByteArray("<3>ERROR: Error 10048 in function Bind\n<3>Address already in use\n"));
    EXPECT_EQ(servicemanager::journalLine(QStringLiteral("Failed: x (ERROR: y) \u00e9")),
              QByteArray("<3>Failed: x (ERROR: y) \xc3\xa9\n"));
    // `journalctl -p err` shows every failure, `-p warning` what needs a look, `-p notice`
    // the strangers; a line that merely mentions such a word keeps <6>.
    const QList<std::pair<const char*, const char*>> priorities = {
        {"Command not found: /opt/x", "<3>"},
        {"Error 10024 in function Accept", "<3>"},
        {"WARNING: Settings file /e/lpd.ini: MAXCONN 0 is below 1 - using 1", "<4>"},
        {"Out of file descriptors - connections dropped", "<4>"},
        {"Waiting: cfA001h for lp (no print record: No space left on device); next attempt", "<4>"},
        {"Remote 10.0.0.9 no permission.", "<5>"},
        {"ERROR: Receive Job for nosuch - no such printer.", "<4>"},
        {"Successful: /bin/true Failed: ", "<6>"},
        {"Remote 10.0.0.9 connected", "<6>"},
    };
    for (const auto& [line, priority] : priorities)
        EXPECT_EQ(servicemanager::journalLine(QString::fromUtf8(line)),
                  QByteArray(priority) + line + '\n');
}

TEST(ServiceManager, OnlyTheStreamJournalStreamNamesIsTheJournal)
{
    const QByteArray saved = qgetenv("JOURNAL_STREAM");
    struct stat st
    {
    };
    ASSERT_EQ(::fstat(STDOUT_FILENO, &st), 0);
    qunsetenv("JOURNAL_STREAM");
    EXPECT_FALSE(servicemanager::standardOutputIsJournal());
    qputenv("JOURNAL_STREAM", QByteArray::number(qulonglong(st.st_dev)) + ':' +
                                  QByteArray::number(qulonglong(st.st_ino)));
    EXPECT_TRUE(servicemanager::standardOutputIsJournal());
    // Redirected elsewhere after systemd started us: plain lines again.
    qputenv("JOURNAL_STREAM", QByteArray::number(qulonglong(st.st_dev)) + ':' +
                                  QByteArray::number(qulonglong(st.st_ino) + 1));
    EXPECT_FALSE(servicemanager::standardOutputIsJournal());
    qputenv("JOURNAL_STREAM", "garbage");
    EXPECT_FALSE(servicemanager::standardOutputIsJournal());
    // Nobody to notify outside systemd.
    qunsetenv("NOTIFY_SOCKET");
    EXPECT_FALSE(servicemanager::notify("READY=1"));
    if (saved.isNull())
        qunsetenv("JOURNAL_STREAM");
    else
        qputenv("JOURNAL_STREAM", saved);
}

TEST(ServiceManager, ReadinessReachesTheNotifySocketThroughLibsystemd)
{
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("notify")));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    qputenv("NOTIFY_SOCKET", path);
    EXPECT_TRUE(servicemanager::notify("READY=1"));
    qunsetenv("NOTIFY_SOCKET");
    char buffer[64] = {};
    const ssize_t n = ::recv(fd, buffer, sizeof buffer - 1, MSG_DONTWAIT);
    EXPECT_EQ(QByteArray(buffer, n > 0 ? int(n) : 0), QByteArray("READY=1"));
    ::close(fd);
}
