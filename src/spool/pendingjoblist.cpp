#include "spool/pendingjoblist.h"

// Equal under this folding is what QString::compare calls equal ignoring case: both use
// the simple case folding of the Unicode tables.
PendingJobList::Entry PendingJobList::prepare(SpoolJob job, QString* key)
{
    job.reportLine = reportLine(job);
    *key = jobKey(job);
    const QString display = displayString(job);
    return {display, std::make_shared<const SpoolJob>(std::move(job)), {}};
}

bool PendingJobList::addIfNew(SpoolJob job, QStringList claimedFiles)
{
    QString key;
    Entry entry = prepare(std::move(job), &key);
    entry.claimedFiles = std::move(claimedFiles);
    const QString display = entry.display.toCaseFolded();
    QMutexLocker lock(&m_mutex);
    if (m_jobs.contains(key))
        return false;
    m_entries.push_back(std::move(entry));
    m_jobs.insert(key, 1);
    ++m_displays[display];
    return true;
}

void PendingJobList::append(SpoolJob job, QStringList claimedFiles)
{
    QString key;
    Entry entry = prepare(std::move(job), &key);
    entry.claimedFiles = std::move(claimedFiles);
    const QString display = entry.display.toCaseFolded();
    QMutexLocker lock(&m_mutex);
    for (const QString& path : std::as_const(entry.claimedFiles))
        m_claimed.insert(path);
    m_entries.push_back(std::move(entry));
    ++m_jobs[key];
    ++m_displays[display];
}

void PendingJobList::forget(const Entry& e)
{
    const auto it = m_displays.find(e.display.toCaseFolded());
    if (it != m_displays.end() && --it.value() <= 0)
        m_displays.erase(it);
    const auto job = m_jobs.find(jobKey(*e.job));
    if (job != m_jobs.end() && --job.value() <= 0)
        m_jobs.erase(job);
    for (const QString& path : e.claimedFiles)
        m_claimed.remove(path);
}

bool PendingJobList::claimFile(const QString& path)
{
    QMutexLocker lock(&m_mutex);
    if (m_claimed.contains(path))
        return false;
    m_claimed.insert(path);
    return true;
}

void PendingJobList::releaseFile(const QString& path)
{
    QMutexLocker lock(&m_mutex);
    m_claimed.remove(path);
}

bool PendingJobList::isClaimed(const QString& path) const
{
    QMutexLocker lock(&m_mutex);
    return m_claimed.contains(path);
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
    const QString key = display.toCaseFolded();
    QMutexLocker lock(&m_mutex);
    return m_displays.contains(key);
}

std::shared_ptr<const SpoolJob> PendingJobList::beginJob(int i)
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
        forget(m_entries[size_t(current)]);
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
                             const std::function<void(const SpoolJob&)>& onRemoved)
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
        forget(m_entries[size_t(i)]);
        m_entries.erase(m_entries.begin() + i);
        if (m_current > i)
            --m_current;
        ++removed;
        if (verdict == Verdict::RemoveAndStop)
            break;
    }
    return removed;
}
