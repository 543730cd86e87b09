#pragma once
// A private cupsd for tests: its own configuration, spool, logs and backends in a temporary
// folder, listening on a free port of 127.0.0.1 only. While it lives, CUPS_SERVER points
// libcups (and so the print routes) at it.
//
// Queues are raw queues on a test backend ("testfile:/abs/path") that appends every job
// byte for byte to that file, so a test can compare what CUPS passed on with what it sent.
//
//     PrivateCups cups;
//     ASSERT_TRUE(cups.start()) << cups.errorText();
//     ASSERT_TRUE(cups.addQueue("lab", cups.outputFor("lab"))) << cups.errorText();

#include "daemonprocess.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <optional>

class PrivateCups final
{
public:
    PrivateCups();
    ~PrivateCups(); // stops cupsd and restores CUPS_SERVER
    PrivateCups(const PrivateCups&) = delete;
    PrivateCups& operator=(const PrivateCups&) = delete;

    // Starts cupsd and waits until it answers; false with errorText() when it does not.
    bool start();
    // Ends cupsd (SIGTERM, then SIGKILL) and waits; CUPS_SERVER keeps pointing at the
    // silent port so that a test can see the routes fail.
    void stop();
    bool isRunning() const;
    QString errorText() const { return m_error; }

    quint16 port() const { return m_port; }
    QString server() const; // "127.0.0.1:<port>"
    QString dir() const { return m_dir.path(); }

    // A raw queue, enabled and accepting, whose jobs are appended to outputFile.
    bool addQueue(const QString& name, const QString& outputFile);
    // A file in the private folder for a queue's output; it does not exist before a job.
    // Beside it, OUTPUT.jobs has a line per job: user, title and format, tab-separated.
    QString outputFor(const QString& queue) const;
    // Runs a CUPS command-line tool (lpadmin, lpstat, cupsreject, ...) against this server;
    // false with errorText() when it fails. Its standard output goes to *output.
    bool runTool(const QString& tool, const QStringList& args, QByteArray* output = nullptr);
    // Waits until the file holds at least bytes bytes (backends write after the job is in).
    bool waitForOutput(const QString& file, qint64 bytes, int timeoutMs = 30000) const;
    // The scheduler's error log, for failure messages.
    QByteArray errorLog() const;

private:
    bool writeConfig();
    bool launch();

    QTemporaryDir m_dir;
    DaemonProcess m_cupsd;
    quint16 m_port = 0;
    QString m_error;
    std::optional<QByteArray> m_savedServer;
    bool m_serverSet = false;
};
