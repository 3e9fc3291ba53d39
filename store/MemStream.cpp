#include "MemStream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace
{
constexpr qint32 initialBufferSize = 256;
constexpr qint64 maxBufferSize = std::numeric_limits<qint32>::max();

char* AllocateArray(qint64 i_size)
{
    if (void* lp_data = std::malloc(static_cast<std::size_t>(i_size)))
        return static_cast<char*>(lp_data);
    throw std::bad_alloc();
}
} // namespace

MemStream::Buffer::Buffer(qint32 i_size) : m_bufferSize(i_size), mp_data(AllocateArray(i_size)) {}

MemStream::Buffer::~Buffer()
{
    std::free(mp_data);
}

MemStream::MemStream() : mp_buffer(new Buffer(initialBufferSize)) {}

MemStream::~MemStream() = default;

bool MemStream::CanRead(unsigned long i_length) const
{
    return i_length <= static_cast<unsigned long>(GetPendingReadLength());
}

bool MemStream::ReadBuffer(void* i_destination, unsigned long i_length)
{
    Buffer& l_buffer = *mp_buffer;
    if (i_length > static_cast<unsigned long>(l_buffer.m_writeIndex - l_buffer.m_readIndex))
        return false;
    if (i_length > 0)
        std::memcpy(i_destination, l_buffer.mp_data + l_buffer.m_readIndex, i_length);
    l_buffer.m_readIndex += static_cast<qint32>(i_length);
    return true;
}

bool MemStream::WriteBuffer(const void* i_source, unsigned long i_length)
{
    Buffer& l_buffer = *mp_buffer;
    // Room is kept for one byte more than is held, so the array always stays larger than its
    // contents; the indexes are 32-bit, which bounds the stream.
    if (i_length >= static_cast<unsigned long>(maxBufferSize - l_buffer.m_writeIndex))
        return false;
    const qint64 l_needed = l_buffer.m_writeIndex + static_cast<qint64>(i_length);
    if (l_buffer.m_bufferSize <= l_needed)
    {
        qint64 l_size = l_buffer.m_bufferSize;
        while (l_size <= l_needed)
            l_size *= 2;
        l_size = std::min(l_size, maxBufferSize);
        // realloc keeps every byte held; for a large array it moves the pages instead of
        // copying them.
        void* lp_data = std::realloc(l_buffer.mp_data, static_cast<std::size_t>(l_size));
        if (lp_data == nullptr)
            throw std::bad_alloc();
        l_buffer.mp_data = static_cast<char*>(lp_data);
        l_buffer.m_bufferSize = static_cast<qint32>(l_size);
    }
    if (i_length > 0)
        std::memcpy(l_buffer.mp_data + l_buffer.m_writeIndex, i_source, i_length);
    l_buffer.m_writeIndex = static_cast<qint32>(l_needed);
    return true;
}

qint32 MemStream::GetPendingReadLength() const
{
    return mp_buffer->m_writeIndex - mp_buffer->m_readIndex;
}

char* MemStream::GetReadBuffer()
{
    return mp_buffer->mp_data + mp_buffer->m_readIndex;
}

const char* MemStream::GetReadBuffer() const
{
    return mp_buffer->mp_data + mp_buffer->m_readIndex;
}

void MemStream::EnsureBufferCapacity(qint32 i_size)
{
    Buffer& l_buffer = *mp_buffer;
    if (l_buffer.m_writeIndex != 0)
        qt_assert("mp_buffer->m_writeIndex == 0", __FILE__, __LINE__);
    if (i_size <= l_buffer.m_bufferSize)
        return;
    char* lp_data = AllocateArray(i_size);
    std::free(l_buffer.mp_data);
    l_buffer.mp_data = lp_data;
    l_buffer.m_bufferSize = i_size;
}

char* MemStream::GetWriteBuffer()
{
    return mp_buffer->mp_data + mp_buffer->m_writeIndex;
}

qint32 MemStream::GetWriteIndex() const
{
    return mp_buffer->m_writeIndex;
}

qint32 MemStream::GetBufferSize() const
{
    return mp_buffer->m_bufferSize;
}

void MemStream::AdvanceWriteIndex(qint32 i_length)
{
    Buffer& l_buffer = *mp_buffer;
    const qint64 l_writeIndex = l_buffer.m_writeIndex + static_cast<qint64>(i_length);
    if (i_length < 0 || l_writeIndex > l_buffer.m_bufferSize)
        qt_assert("mp_buffer->m_writeIndex <= mp_buffer->m_bufferSize", __FILE__, __LINE__);
    l_buffer.m_writeIndex = static_cast<qint32>(l_writeIndex);
}

void MemStream::Reset()
{
    mp_buffer->m_readIndex = 0;
    mp_buffer->m_writeIndex = 0;
}
