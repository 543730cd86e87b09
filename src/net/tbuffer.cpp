#include "net/tbuffer.h"

#include <algorithm>
#include <cstring>

int TBuffer::Write(const char* data, int length)
{
    const int taken = std::clamp(length, 0, Free());
    if (taken > 0)
        std::memcpy(m_data.data() + m_writePos, data, size_t(taken));
    m_writePos += taken;
    return taken;
}

QByteArrayView TBuffer::Peek() const
{
    return QByteArrayView(m_data.data() + m_readPos, m_writePos - m_readPos);
}

void TBuffer::Remove(int count)
{
    m_readPos = std::min(m_writePos, m_readPos + std::max(count, 0));
    if (m_readPos == m_writePos) {
        m_readPos = 0;
        m_writePos = 0;
    }
}
