#pragma once
// Job data for the route tests: every byte value, and larger files that are not a whole
// number of blocks.

#include <QByteArray>
#include <QFile>
#include <QString>

#include "net/uniquefd.h"
#include "platform/printroutes.h"
#include "testsupport.h"

#include <fcntl.h>

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

// The routes read an open descriptor, as the spool hands them; the tests name their files
// by path, and a file that cannot be opened reaches the route as -1.
inline UniqueFd openDataFile(const QString& path)
{
    return UniqueFd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
}

inline RouteResult printToDevice(const QString& device, const QString& path, int timeoutMs = 0)
{
    return printToDevice(device, openDataFile(path).get(), timeoutMs);
}

inline RouteResult printToCups(const QString& queue, const QString& path, int timeoutMs = 0)
{
    return printToCups(queue, openDataFile(path).get(), timeoutMs);
}

inline RouteResult printToSmb(const QString& target, const QString& path)
{
    return printToSmb(target, openDataFile(path).get());
}
