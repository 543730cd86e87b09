// What an operator asks a running server: `spoolmere --status` (text and JSON) while one
// queue prints, one fails and one holds its jobs, and the accounting file's lines for jobs
// that printed, failed and were removed.

#include "runningserver.h"

#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

namespace {

QJsonObject queueOf(const QJsonObject& status, const QString& name)
{
    for (const QJsonValue& q : status.value(QStringLiteral("queues")).toArray()) {
        if (q.toObject().value(QStringLiteral("queue")).toString() == name)
            return q.toObject();
    }
    return {};
}

QStringList accountingLines(RunningServer& s)
{
    return QString::fromUtf8(readFile(s.dir() + QStringLiteral("/spool/accounting.log")))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The accounting line of a job, split into its fields; empty while there is none.
QStringList accountingFields(RunningServer& s, const QString& queue, const QString& outcome)
{
    for (const QString& line : accountingLines(s)) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() == 11 && fields[1] == queue && fields[8] == outcome)
            return fields;
    }
    return {};
}

} // namespace

TEST(Status, ShowsWaitingPrintingAndFailingQueuesAndTheAccountingOfEveryEnd)
{
    RunningServer s;
    const QString release = s.dir() + QStringLiteral("/release");
    const QString slow = s.dir() + QStringLiteral("/slow.sh");
    // Prints once the test lets it.
    ASSERT_TRUE(writeScript(slow, "while [ ! -e \"" + QFile::encodeName(release) +
                                      "\" ]; do sleep 0.05; done\ncat \"$1\" >> \"" +
                                      QFile::encodeName(s.outFile()) + "\"\n"));
    ASSERT_TRUE(
        s.start({QStringLiteral("lp ") + slow + QStringLiteral(" %p/%d"),
                 QStringLiteral("bad /bin/false %p/%d"), QStringLiteral("-held /bin/true")}));
    // The client names the job after its file: a tab in it must not split the line.
    const QString file = s.dir() + QStringLiteral("/job\tone.txt");
    ASSERT_TRUE(writeFile(file, "twelve bytes"));

    ASSERT_EQ(rlpr(s.port(), QStringLiteral("bad"), file).exitCode, 0);
    ASSERT_TRUE(waitUntil(
        [&] {
            return !accountingFields(s, QStringLiteral("bad"), QStringLiteral("failed")).isEmpty();
        },
        20000))
        << s.log().toStdString();
    ASSERT_EQ(rlpr(s.port(), QStringLiteral("held"), file).exitCode, 0);
    ASSERT_EQ(rlpr(s.port(), QStringLiteral("lp"), file).exitCode, 0);

    // Asked while lp prints: the JSON document names each queue's state.
    QJsonObject status;
    ASSERT_TRUE(waitUntil(
        [&] {
            const CommandResult r = s.status(true);
            status = QJsonDocument::fromJson(r.output).object();
            return r.exitCode == 0 &&
                   queueOf(status, QStringLiteral("lp")).contains(QStringLiteral("running"));
        },
        20000))
        << s.log().toStdString();
    EXPECT_EQ(status.value(QStringLiteral("port")).toInt(), s.port());
    EXPECT_TRUE(status.value(QStringLiteral("listening")).toBool());
    const QJsonObject bad = queueOf(status, QStringLiteral("bad"));
    EXPECT_EQ(bad.value(QStringLiteral("waiting")).toInt(), 1);
    EXPECT_TRUE(bad.value(QStringLiteral("lastFailure"))
                    .toString()
                    .contains(QStringLiteral("exit status 1")))
        << QJsonDocument(bad).toJson().toStdString();
    EXPECT_FALSE(bad.value(QStringLiteral("nextRetry")).toString().isEmpty());
    const QJsonObject held = queueOf(status, QStringLiteral("held"));
    EXPECT_FALSE(held.value(QStringLiteral("printingEnabled")).toBool(true));
    ASSERT_EQ(held.value(QStringLiteral("jobs")).toArray().size(), 1);
    const QJsonObject heldJob = held.value(QStringLiteral("jobs")).toArray()[0].toObject();
    EXPECT_EQ(heldJob.value(QStringLiteral("bytes")).toInt(), 12);
    EXPECT_EQ(status.value(QStringLiteral("accounting"))
                  .toObject()
                  .value(QStringLiteral("last"))
                  .toArray()
                  .size(),
              1);

    // The same as text, for the eye.
    const QString text = QString::fromUtf8(s.status(false).output);
    EXPECT_TRUE(text.contains(QStringLiteral("listening on [::]:%1").arg(s.port())))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("  printing job "))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("  last failure: "))) << text.toStdString();
    EXPECT_TRUE(
        text.contains(QStringLiteral("queue held (/bin/true): 1 waiting, printing disabled")))
        << text.toStdString();

    // Printed, and removed by its owner: one line each, the client's tab made a blank.
    ASSERT_TRUE(writeFile(release, ""));
    ASSERT_TRUE(waitUntil(
        [&] {
            return !accountingFields(s, QStringLiteral("lp"), QStringLiteral("printed")).isEmpty();
        },
        20000))
        << s.log().toStdString();
    const CommandResult removed = runCommand(
        QStringLiteral("rlprm"),
        {QStringLiteral("-N"), QStringLiteral("--port=%1").arg(s.port()), QStringLiteral("-H"),
         QStringLiteral("127.0.0.1"), QStringLiteral("-P"), QStringLiteral("held"),
         QString::number(heldJob.value(QStringLiteral("number")).toInt())});
    ASSERT_EQ(removed.exitCode, 0) << removed.output.toStdString();
    ASSERT_TRUE(waitUntil([&] {
        return !accountingFields(s, QStringLiteral("held"), QStringLiteral("removed")).isEmpty();
    }));

    const QStringList printed =
        accountingFields(s, QStringLiteral("lp"), QStringLiteral("printed"));
    EXPECT_EQ(printed[2], QStringLiteral("root"));
    EXPECT_EQ(printed[5], s.dir() + QStringLiteral("/job one.txt"));
    EXPECT_EQ(printed[6], QStringLiteral("12"));
    EXPECT_TRUE(printed[7].startsWith(slow));
    EXPECT_GT(printed[9].toDouble(), 0.0);
    const QStringList failed = accountingFields(s, QStringLiteral("bad"), QStringLiteral("failed"));
    EXPECT_TRUE(failed[10].contains(QStringLiteral("exit status 1")))
        << failed.join(u'|').toStdString();
    const QStringList gone = accountingFields(s, QStringLiteral("held"), QStringLiteral("removed"));
    EXPECT_EQ(gone[4], QString::number(heldJob.value(QStringLiteral("number")).toInt()));
    EXPECT_TRUE(gone[10].contains(QStringLiteral("127.0.0.1"))) << gone.join(u'|').toStdString();
    // The status shows the newest lines.
    const QJsonArray last = QJsonDocument::fromJson(s.status(true).output)
                                .object()
                                .value(QStringLiteral("accounting"))
                                .toObject()
                                .value(QStringLiteral("last"))
                                .toArray();
    ASSERT_FALSE(last.isEmpty());
    EXPECT_EQ(last.last().toString(), accountingLines(s).last());
}
