#pragma once
// A private smbd for tests: its own smb.conf, state and spool in a temporary folder,
// listening on a free port of 127.0.0.1 only. Its printer shares take guests; each share's
// print command appends the job to a file of its own, so a test can compare what arrived.
// A share "locked" refuses guests.
//
// Samba runs the print command after the client has closed the job, so wait for the output
// (waitForOutput) before reading it.
//
//     PrivateSmb smb;
//     ASSERT_TRUE(smb.start()) << smb.errorText();
//     printToSmb(smb.url(), file);
//     ASSERT_TRUE(smb.waitForOutput(QStringLiteral("printer"), size));

#include "daemonprocess.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class PrivateSmb final
{
public:
    explicit PrivateSmb(const QStringList& printers = {QStringLiteral("printer")});
    ~PrivateSmb();
    PrivateSmb(const PrivateSmb&) = delete;
    PrivateSmb& operator=(const PrivateSmb&) = delete;

    // Starts smbd and waits until its port answers; false with errorText() when not.
    bool start();
    // Ends smbd (SIGTERM, then SIGKILL) and waits.
    void stop();
    bool isRunning() const;
    QString errorText() const { return m_error; }

    quint16 port() const { return m_port; }
    QString dir() const { return m_dir.path(); }
    // smb://127.0.0.1:<port>/<share>, the share name escaped for the URL.
    QString url(const QString& printer = QStringLiteral("printer")) const;
    // The file a share's print command appends its jobs to.
    QString outputFile(const QString& printer = QStringLiteral("printer")) const;
    bool waitForOutput(const QString& printer, qint64 bytes, int timeoutMs = 30000) const;
    // smbd's log, for failure messages.
    QByteArray log() const;

private:
    bool writeConfig();
    bool launch();

    QStringList m_printers;
    QTemporaryDir m_dir;
    DaemonProcess m_smbd;
    quint16 m_port = 0;
    QString m_error;
};
