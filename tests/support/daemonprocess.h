#pragma once
// A test server program run in the foreground: started, waited for until its port on
// 127.0.0.1 answers, and stopped with SIGTERM (SIGKILL when it does not go).

#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class DaemonProcess final
{
public:
    ~DaemonProcess() { stop(); }

    // Empty when the program runs and answers on port; otherwise why not ("did not start:
    // ..." or "does not answer"). Its output goes to outputFile.
    QString start(const QString& program, const QStringList& args, const QString& outputFile,
                  quint16 port);
    void stop();
    bool isRunning() const;

    // A free port can be taken by someone else before the server binds it: picks one,
    // writes the configuration for it and launches, up to three times.
    static bool onFreePort(quint16& port, const std::function<bool()>& writeConfig,
                           const std::function<bool()>& launch);

private:
    std::unique_ptr<QProcess> m_process;
};
