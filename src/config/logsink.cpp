#include "config/logsink.h"

#include <QThread>

#include <algorithm>

LogSink::LogSink(QObject* parent, int capacity) : QObject(parent), m_capacity(std::max(1, capacity))
{
}

void LogSink::append(const QString& line)
{
    m_lines.push_back(line);
    trim();
    emit lineAppended(line);
}

void LogSink::setCapacity(int capacity)
{
    m_capacity = std::max(1, capacity);
    trim();
}

void LogSink::trim()
{
    while (m_lines.size() > static_cast<std::size_t>(m_capacity))
        m_lines.pop_front();
}

void LogSink::appendConnecting(const QString& line)
{
    if (m_connecting)
        append(line);
}

void LogSink::appendReceivedData(const QString& line)
{
    if (m_receivedData)
        append(line);
}

void LogSink::appendPrinting(const QString& line)
{
    if (m_printing)
        append(line);
}

void LogSink::appendFromAnyThread(const QString& line)
{
    if (QThread::currentThread() == thread()) {
        append(line);
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, line] { append(line); }, Qt::QueuedConnection);
}

QStringList LogSink::lines() const
{
    return QStringList(m_lines.begin(), m_lines.end());
}

bool LogSink::contains(const QString& line) const
{
    return std::find(m_lines.begin(), m_lines.end(), line) != m_lines.end();
}
