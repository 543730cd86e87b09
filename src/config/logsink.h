#pragma once
// The log: one sink with subscribers (the log view, standard output when headless,
// tests). Lines carry no time stamp. Appending happens on the thread that owns the sink;
// other threads hand their lines over with appendFromAnyThread.

#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>

class LogSink final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LogSink)

public:
    explicit LogSink(QObject* parent = nullptr, int capacity = 20000);

    // Optional categories; the Standard category is always on.
    bool connectingEnabled() const { return m_connecting; }
    void setConnectingEnabled(bool on) { m_connecting = on; }
    bool receivedDataEnabled() const { return m_receivedData; }
    void setReceivedDataEnabled(bool on) { m_receivedData = on; }
    bool printingEnabled() const { return m_printing; }
    void setPrintingEnabled(bool on) { m_printing = on; }

    void append(const QString& line);
    void appendConnecting(const QString& line);
    void appendReceivedData(const QString& line);
    void appendPrinting(const QString& line);
    // From a worker thread: the owning thread appends the line when its loop comes round,
    // in the order the worker handed its lines over. The worker does not wait for that: a
    // print pass that waited for each line printed at the pace of the busy main thread.
    void appendFromAnyThread(const QString& line);

    // The lines still held, oldest first (at most `capacity`).
    QStringList lines() const;
    bool contains(const QString& line) const;
    int capacity() const { return m_capacity; }
    // Drops the oldest lines beyond the new capacity.
    void setCapacity(int capacity);

signals:
    void lineAppended(const QString& line);

private:
    void trim();

    bool m_connecting = false;
    bool m_receivedData = false;
    bool m_printing = false;
    std::deque<QString> m_lines;
    int m_capacity;
};
