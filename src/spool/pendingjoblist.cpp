#include "spool/pendingjoblist.h"

bool PendingJobList::addIfNew(Tlpdjob job)
{
    const QString display = displayString(job);
    QMutexLocker lock(&m_mutex);
    for (const Entry& e : m_entries) {
        if (e.display.compare(display, Qt::CaseInsensitive) == 0)
            return false;
    }
    m_entries.push_back({display, std::make_shared<const Tlpdjob>(std::move(job))});
    return true;
}

void PendingJobList::append(Tlpdjob job)
{
    const QString display = displayString(job);
    QMutexLocker lock(&m_mutex);
    m_entries.push_back({display, std::make_shared<const Tlpdjob>(std::move(job))});
}

int PendingJobList::count() const
{
    QMutexLocker lock(&m_mutex);
    return int(m_entries.size());
}

QStringList PendingJobList::displayStrings() const
{
    QMutexLocker lock(&m_mutex);
    QStringList out;
    out.reserve(qsizetype(m_entries.size()));
    for (const Entry& e : m_entries)
        out << e.display;
    return out;
}

std::vector<PendingJobList::Entry> PendingJobList::snapshot() const
{
    QMutexLocker lock(&m_mutex);
    return m_entries;
}

bool PendingJobList::containsDisplay(const QString& display) const
{
    QMutexLocker lock(&m_mutex);
    for (const Entry& e : m_entries) {
        if (e.display.compare(display, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

std::shared_ptr<const Tlpdjob> PendingJobList::beginJob(int i)
{
    QMutexLocker lock(&m_mutex);
    if (i < 0 || i >= int(m_entries.size())) {
        m_current = -1;
        return nullptr;
    }
    m_current = i;
    return m_entries[size_t(i)].job;
}

int PendingJobList::finishJob(bool remove)
{
    QMutexLocker lock(&m_mutex);
    const int current = m_current;
    m_current = -1;
    if (current < 0)
        return 0;
    if (remove && current < int(m_entries.size())) {
        m_entries.erase(m_entries.begin() + current);
        return current;
    }
    return current + 1;
}

int PendingJobList::currentIndex() const
{
    QMutexLocker lock(&m_mutex);
    return m_current;
}

int PendingJobList::removeIf(const std::function<Verdict(const Entry&)>& decide,
                             const std::function<void(const Tlpdjob&)>& onRemoved)
{
    QMutexLocker lock(&m_mutex);
    int removed = 0;
    for (int i = 0; i < int(m_entries.size());) {
        if (i == m_current) {
            ++i;
            continue;
        }
        const Verdict verdict = decide(m_entries[size_t(i)]);
        if (verdict == Verdict::Stop)
            break;
        if (verdict == Verdict::Keep) {
            ++i;
            continue;
        }
        if (onRemoved)
            onRemoved(*m_entries[size_t(i)].job);
        m_entries.erase(m_entries.begin() + i);
        if (m_current > i)
            --m_current;
        ++removed;
        if (verdict == Verdict::RemoveAndStop)
            break;
    }
    return removed;
}
