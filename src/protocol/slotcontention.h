#pragma once
// Which session slots are given up when clients wait and every slot is taken.
//
// Design note. MAXPERHOST only chooses who gets a slot that frees, and slow senders never
// free theirs: ten connections trickling data just above the progress rate keep a client of
// another host out for as long as they like, and thirty hosts with three each keep out a
// thirty-first. So while clients wait, a slot is taken back from a session that has held it
// for a while and moves little data: first from an address that holds more than its share
// of the slots (MAXCONN over the addresses that hold or want one, and no more than
// MAXPERHOST), then, for a client whose
// address holds no slot at all, from the slowest such session of anyone. The slot goes to
// the waiting client whose address holds the fewest slots. A client sending faster than
// the slow rate, or one that has held its slot for less than the minimum, keeps it: it will
// be done soon, and a job never goes round in circles for want of a slot.

#include <QList>
#include <QString>
#include <QStringList>

struct SlotHolder
{
    int id = 0;
    QString address;
    qint64 heldMs = 0;        // since its slot was given
    qint64 progressBytes = 0; // command and file bytes it has sent since
    bool canGiveUp = true;    // not closing already, no file work under way
};

struct SlotRules
{
    int maxSessions = 10;
    int maxPerAddress = 3; // MAXPERHOST: the most an address keeps while others wait
    qint64 minimumHoldMs = 15000;
    qint64 slowBytesPerSecond = 64 * 1024;
};

// The ids of the sessions to give up their slots, one for each waiting address that should
// have one. `waitingAddresses`: each address that has a client waiting, once, in the order
// the waiting clients would be given slots.
QList<int> slotsToGiveUp(const QList<SlotHolder>& holders, const QStringList& waitingAddresses,
                         const SlotRules& rules);
