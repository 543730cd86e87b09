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
    ++m_queues[queueKey(m_entries.back().job->queue)];
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
    ++m_queues[queueKey(m_entries.back().job->queue)];
}

void PendingJobList::forget(const Entry& e)
{
    const auto it = m_displays.find(e.display.toCaseFolded());
    if (it != m_displays.end() && --it.value() <= 0)
        m_displays.erase(it);
    const auto job = m_jobs.find(jobKey(*e.job));
    if (job != m_jobs.end() && --job.value() <= 0)
        m_jobs.erase(job);
    const auto queue = m_queues.find(queueKey(e.job->queue));
    if (queue != m_queues.end() && --queue.value() <= 0)
        m_queues.erase(queue);
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

bool PendingJobList::containsJob(const QString& key) const
{
    QMutexLocker lock(&m_mutex);
    return m_jobs.contains(key);
}

namespace {

// Visits the first entry of every queue not in `seen` (by queueKey), in list order. The walk
// ends once every queue with an entry (`queues` of them) is accounted for, so a long queue
// behind the others costs nothing.
template <typename Visit>
void forEachQueueHead(const std::vector<PendingJobList::Entry>& entries, qsizetype queues,
                      QSet<QString> seen, Visit visit)
{
    for (const PendingJobList::Entry& e : entries) {
        if (seen.size() >= queues)
            break;
        QString key = queueKey(e.job->queue);
        if (seen.contains(key))
            continue;
        visit(e, key);
        seen.insert(std::move(key));
    }
}

} // namespace

std::vector<std::shared_ptr<const SpoolJob>>
PendingJobList::queueHeads(const QSet<QString>& skip) const
{
    std::vector<std::shared_ptr<const SpoolJob>> heads;
    QMutexLocker lock(&m_mutex);
    QSet<QString> seen;
    for (const QString& queue : skip) {
        if (m_queues.contains(queue))
            seen.insert(queue);
    }
    forEachQueueHead(m_entries, m_queues.size(), std::move(seen),
                     [&](const Entry& e, const QString&) {
                         if (!e.printing)
                             heads.push_back(e.job);
                     });
    return heads;
}

bool PendingJobList::beginPrint(const SpoolJob* job)
{
    QMutexLocker lock(&m_mutex);
    for (Entry& e : m_entries) {
        if (e.job.get() == job) {
            e.printing = true;
            return true;
        }
    }
    return false;
}

std::shared_ptr<const SpoolJob> PendingJobList::beginJob(int i)
{
    QMutexLocker lock(&m_mutex);
    if (i < 0 || i >= int(m_entries.size()))
        return nullptr;
    m_entries[size_t(i)].printing = true;
    return m_entries[size_t(i)].job;
}

void PendingJobList::endPrint(const SpoolJob* job, bool remove)
{
    QMutexLocker lock(&m_mutex);
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->job.get() != job)
            continue;
        it->printing = false;
        if (remove) {
            forget(*it);
            m_entries.erase(it);
        }
        return;
    }
}

bool PendingJobList::isPrinting(const QString& display) const
{
    QMutexLocker lock(&m_mutex);
    for (const Entry& e : m_entries) {
        if (e.printing && e.display.compare(display, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

void PendingJobList::setRetryAt(const QString& key, qint64 atMs, const QString& waitReason)
{
    QMutexLocker lock(&m_mutex);
    if (atMs > 0)
        m_retryAt.insert(key, {atMs, waitReason});
    else
        m_retryAt.remove(key);
}

qint64 PendingJobList::retryAt(const QString& key) const
{
    QMutexLocker lock(&m_mutex);
    return m_retryAt.value(key).atMs;
}

std::vector<PendingJobList::RetryingHead> PendingJobList::retryingHeads() const
{
    std::vector<RetryingHead> heads;
    QMutexLocker lock(&m_mutex);
    if (m_retryAt.isEmpty())
        return heads;
    forEachQueueHead(m_entries, m_queues.size(), {}, [&](const Entry& e, const QString& key) {
        if (const auto retry = m_retryAt.constFind(key); retry != m_retryAt.constEnd())
            heads.push_back({e.job, e.display, retry->atMs, retry->waitReason});
    });
    return heads;
}

int PendingJobList::removeIf(const std::function<Verdict(const Entry&)>& decide,
                             const std::function<void(const SpoolJob&)>& onRemoved)
{
    QMutexLocker lock(&m_mutex);
    int removed = 0;
    for (int i = 0; i < int(m_entries.size());) {
        if (m_entries[size_t(i)].printing) {
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
        ++removed;
        if (verdict == Verdict::RemoveAndStop)
            break;
    }
    return removed;
}
