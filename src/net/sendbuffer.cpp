#include "net/sendbuffer.h"

#include <algorithm>
#include <cstring>

int SendBuffer::write(const char* data, int length)
{
    const int taken = std::clamp(length, 0, freeSpace());
    if (taken > 0)
        std::memcpy(m_data.data() + m_writePos, data, size_t(taken));
    m_writePos += taken;
    return taken;
}

QByteArrayView SendBuffer::peek() const
{
    return QByteArrayView(m_data.data() + m_readPos, m_writePos - m_readPos);
}

void SendBuffer::remove(int count)
{
    m_readPos = std::min(m_writePos, m_readPos + std::max(count, 0));
    if (m_readPos == m_writePos) {
        m_readPos = 0;
        m_writePos = 0;
    }
}
