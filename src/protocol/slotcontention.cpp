#include "protocol/slotcontention.h"

#include <QHash>
#include <QSet>

#include <algorithm>

namespace {

qint64 bytesPerSecond(const SlotHolder& holder)
{
    return holder.progressBytes * 1000 / std::max<qint64>(holder.heldMs, 1);
}

} // namespace

QList<int> slotsToGiveUp(const QList<SlotHolder>& holders, const QStringList& waitingAddresses,
                         const SlotRules& rules)
{
    if (holders.size() < rules.maxSessions || waitingAddresses.isEmpty())
        return {};
    QHash<QString, int> held;
    QSet<QString> addresses;
    for (const SlotHolder& holder : holders) {
        ++held[holder.address];
        addresses.insert(holder.address);
    }
    for (const QString& address : waitingAddresses)
        addresses.insert(address);
    const int share =
        std::clamp(rules.maxSessions / int(addresses.size()), 1, std::max(rules.maxPerAddress, 1));

    QList<const SlotHolder*> candidates;
    for (const SlotHolder& holder : holders) {
        if (holder.canGiveUp && holder.heldMs >= rules.minimumHoldMs &&
            bytesPerSecond(holder) < rules.slowBytesPerSecond)
            candidates << &holder;
    }
    // The slowest first, the longest held among equals.
    std::sort(candidates.begin(), candidates.end(), [](const SlotHolder* a, const SlotHolder* b) {
        const qint64 rateA = bytesPerSecond(*a);
        const qint64 rateB = bytesPerSecond(*b);
        return rateA != rateB ? rateA < rateB : a->heldMs > b->heldMs;
    });

    QList<int> chosen;
    for (const QString& waiting : waitingAddresses) {
        if (held.value(waiting) >= share)
            continue;
        // From the address that holds the most slots beyond its share, else (for a client
        // whose address holds none) from whoever is slowest.
        auto victim = candidates.end();
        int most = share;
        for (auto it = candidates.begin(); it != candidates.end(); ++it) {
            if (held.value((*it)->address) > most) {
                most = held.value((*it)->address);
                victim = it;
            }
        }
        if (victim == candidates.end() && held.value(waiting) == 0) {
            victim = std::find_if(candidates.begin(), candidates.end(),
                                  [&](const SlotHolder* h) { return h->address != waiting; });
        }
        if (victim == candidates.end())
            continue;
        chosen << (*victim)->id;
        --held[(*victim)->address];
        ++held[waiting];
        candidates.erase(victim);
    }
    return chosen;
}
