#pragma once
// One block of the send queue: 1460 bytes, one TCP segment's worth on Ethernet.

#include <QByteArrayView>

#include <array>
#include <cstddef>

class SendBuffer final
{
public:
    static constexpr int Size = 1460;

    // Appends as much as fits; returns the number of bytes taken.
    int write(const char* data, int length);
    // The part written but not yet removed.
    QByteArrayView peek() const;
    // Advances the read position; when everything written is read both positions reset.
    void remove(int count);
    int freeSpace() const { return Size - m_writePos; }

private:
    std::array<char, Size> m_data{};
    int m_writePos = 0;
    int m_readPos = 0;
};
