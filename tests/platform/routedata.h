#pragma once
// Job data for the route tests: every byte value, and larger files that are not a whole
// number of blocks.

#include <QByteArray>
#include <QString>

#include "testsupport.h"

inline QByteArray everyByteValue()
{
    QByteArray bytes(256, '\0');
    for (int i = 0; i < 256; ++i)
        bytes[i] = char(i);
    return bytes;
}

// Deterministic noise, so a mismatch can be reproduced.
inline QByteArray noise(qsizetype size)
{
    QByteArray bytes(size, '\0');
    quint32 state = 0x2545f491u;
    for (qsizetype i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = char(state & 0xff);
    }
    return bytes;
}

inline QString writeDataFile(const QString& dir, const QString& name, const QByteArray& bytes)
{
    const QString path = dir + QLatin1Char('/') + name;
    return writeFile(path, bytes) ? path : QString();
}
