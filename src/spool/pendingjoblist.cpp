#include "spool/pendingjoblist.h"

#include <algorithm>

// Equal under this folding is what QString::compare calls equal ignoring case: both use
// the simple case folding of the Unicode tables.
PendingJobList::Node PendingJobList::prepare(SpoolJob job, QStringList claimedFiles)
{
    job.reportLine = reportLine(job);
    Node node;
    node.jobKey = jobKey(job);
    node.entry.display = displayString(job);
    node.foldedDisplay = node.entry.display.toCaseFolded();
    node.entry.queueKey = queueKey(job.queue);
    node.entry.job = std::make_shared<const SpoolJob>(std::move(job));
    node.entry.claimedFiles = std::move(claimedFiles);
    return node;
}

void PendingJobList::insert(Node node)
{
    const auto it = m_entries.insert(m_entries.end(), std::move(node));
    it->sequence = m_nextSequence++;
    m_byJob.insert(it->entry.job.get(), it);
    ++m_jobs[it->jobKey];
    ++m_displays[it->foldedDisplay];
    QueueJobs& queue = m_queues[it->entry.queueKey];
    it->inQueue = queue.jobs.insert(queue.jobs.end(), it);
    if (queue.jobs.size() == 1)
        updateReady(it->entry.queueKey, queue);
}

PendingJobList::Nodes::iterator PendingJobList::erase(Nodes::iterator node)
{
    const auto display = m_displays.find(node->foldedDisplay);
    if (display != m_displays.end() && --display.value() <= 0)
        m_displays.erase(display);
    const auto job = m_jobs.find(node->jobKey);
    if (job != m_jobs.end() && --job.value() <= 0)
        m_jobs.erase(job);
    for (const QString& path : std::as_const(node->entry.claimedFiles))
        m_claimed.remove(path);
    m_byJob.remove(node->entry.job.get());
    const auto queue = m_queues.find(node->entry.queueKey);
    if (queue != m_queues.end()) {
        queue->second.jobs.erase(node->inQueue);
        updateReady(queue->first, queue->second);
        if (queue->second.jobs.empty())
            m_queues.erase(queue);
    }
    return m_entries.erase(node);
}

void PendingJobList::updateReady(const QString& key, QueueJobs& queue)
{
    const Node* head = queue.jobs.empty() ? nullptr : &*queue.jobs.front();
    const quint64 since = head && !head->entry.printing ? head->sequence : 0;
    if (since == queue.readySince)
        return;
    if (queue.readySince)
        m_ready.erase(queue.readySince);
    if (since)
        m_ready.emplace(since, key);
    queue.readySince = since;
}

bool PendingJobList::addIfNew(SpoolJob job, QStringList claimedFiles)
{
    Node node = prepare(std::move(job), std::move(claimedFiles));
    QMutexLocker lock(&m_mutex);
    if (m_jobs.contains(node.jobKey))
        return false;
    insert(std::move(node));
    return true;
}

void PendingJobList::append(SpoolJob job, QStringList claimedFiles)
{
    Node node = prepare(std::move(job), std::move(claimedFiles));
    QMutexLocker lock(&m_mutex);
    for (const QString& path : std::as_const(node.entry.claimedFiles))
        m_claimed.insert(path);
    insert(std::move(node));
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
    for (const Node& n : m_entries)
        out << n.entry.display;
    return out;
}

std::vector<PendingJobList::Entry> PendingJobList::snapshot() const
{
    QMutexLocker lock(&m_mutex);
    std::vector<Entry> out;
    out.reserve(m_entries.size());
    for (const Node& n : m_entries)
        out.push_back(n.entry);
    return out;
}

std::vector<PendingJobList::Entry> PendingJobList::queueEntries(const QString& key) const
{
    std::vector<Entry> out;
    QMutexLocker lock(&m_mutex);
    const auto queue = m_queues.find(key);
    if (queue == m_queues.end())
        return out;
    out.reserve(queue->second.jobs.size());
    for (const Nodes::iterator& n : queue->second.jobs)
        out.push_back(n->entry);
    return out;
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

std::vector<std::shared_ptr<const SpoolJob>>
PendingJobList::queueHeads(const QSet<QString>& skip, qsizetype limit) const
{
    std::vector<std::shared_ptr<const SpoolJob>> heads;
    QMutexLocker lock(&m_mutex);
    for (const auto& [sequence, key] : m_ready) {
        if (limit >= 0 && qsizetype(heads.size()) >= limit)
            break;
        if (skip.contains(key))
            continue;
        heads.push_back(m_queues.at(key).jobs.front()->entry.job);
    }
    return heads;
}

bool PendingJobList::beginPrint(const SpoolJob* job)
{
    QMutexLocker lock(&m_mutex);
    const auto node = m_byJob.constFind(job);
    if (node == m_byJob.constEnd())
        return false;
    Entry& entry = node.value()->entry;
    entry.printing = true;
    updateReady(entry.queueKey, m_queues.at(entry.queueKey));
    return true;
}

std::shared_ptr<const SpoolJob> PendingJobList::beginJob(int i)
{
    QMutexLocker lock(&m_mutex);
    if (i < 0 || i >= int(m_entries.size()))
        return nullptr;
    Entry& entry = std::next(m_entries.begin(), i)->entry;
    entry.printing = true;
    updateReady(entry.queueKey, m_queues.at(entry.queueKey));
    return entry.job;
}

void PendingJobList::endPrint(const SpoolJob* job, bool remove)
{
    QMutexLocker lock(&m_mutex);
    const auto node = m_byJob.constFind(job);
    if (node == m_byJob.constEnd())
        return;
    const Nodes::iterator it = node.value();
    it->entry.printing = false;
    if (remove)
        erase(it);
    else
        updateReady(it->entry.queueKey, m_queues.at(it->entry.queueKey));
}

bool PendingJobList::isPrinting(const QString& display) const
{
    const QString key = display.toCaseFolded();
    QMutexLocker lock(&m_mutex);
    return std::any_of(m_entries.begin(), m_entries.end(), [&](const Node& n) {
        return n.entry.printing && n.foldedDisplay == key;
    });
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
    std::vector<std::pair<quint64, RetryingHead>> heads;
    {
        QMutexLocker lock(&m_mutex);
        for (auto retry = m_retryAt.constBegin(); retry != m_retryAt.constEnd(); ++retry) {
            const auto queue = m_queues.find(retry.key());
            if (queue == m_queues.end())
                continue;
            const Node& head = *queue->second.jobs.front();
            heads.push_back({head.sequence,
                             {head.entry.job, head.entry.display, retry->atMs, retry->waitReason}});
        }
    }
    std::sort(heads.begin(), heads.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<RetryingHead> inOrder;
    inOrder.reserve(heads.size());
    for (auto& head : heads)
        inOrder.push_back(std::move(head.second));
    return inOrder;
}

int PendingJobList::removeAmong(const std::vector<Nodes::iterator>& candidates,
                                const std::function<Verdict(const Entry&)>& decide,
                                const std::function<void(const SpoolJob&)>& onRemoved)
{
    int removed = 0;
    for (const Nodes::iterator& node : candidates) {
        if (node->entry.printing)
            continue;
        const Verdict verdict = decide(node->entry);
        if (verdict == Verdict::Stop)
            break;
        if (verdict == Verdict::Keep)
            continue;
        if (onRemoved)
            onRemoved(*node->entry.job);
        erase(node);
        ++removed;
        if (verdict == Verdict::RemoveAndStop)
            break;
    }
    return removed;
}

int PendingJobList::removeIf(const std::function<Verdict(const Entry&)>& decide,
                             const std::function<void(const SpoolJob&)>& onRemoved)
{
    QMutexLocker lock(&m_mutex);
    std::vector<Nodes::iterator> all;
    all.reserve(m_entries.size());
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it)
        all.push_back(it);
    return removeAmong(all, decide, onRemoved);
}

int PendingJobList::removeIf(const QString& key, const std::function<Verdict(const Entry&)>& decide,
                             const std::function<void(const SpoolJob&)>& onRemoved)
{
    QMutexLocker lock(&m_mutex);
    const auto queue = m_queues.find(key);
    if (queue == m_queues.end())
        return 0;
    const std::vector<Nodes::iterator> jobs(queue->second.jobs.begin(), queue->second.jobs.end());
    return removeAmong(jobs, decide, onRemoved);
}
