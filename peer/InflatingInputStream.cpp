#include "InflatingInputStream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace
{
constexpr std::size_t chunk = 65536;
} // namespace

InflatingInputStream::InflatingInputStream(const char* ip_data, qint64 i_length, qint64 i_cap)
    : m_cap(i_cap)
{
    if (inflateInit(&m_stream) != Z_OK)
        throw std::bad_alloc();
    m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(ip_data));
    m_stream.avail_in = static_cast<uInt>(i_length);
}

InflatingInputStream::~InflatingInputStream()
{
    inflateEnd(&m_stream);
}

bool InflatingInputStream::CanRead(unsigned long i_length) const
{
    return const_cast<InflatingInputStream*>(this)->Fill(i_length);
}

bool InflatingInputStream::ReadBuffer(void* i_destination, unsigned long i_length)
{
    if (!Fill(i_length))
        return false;
    std::memcpy(i_destination, m_window.data() + m_start, i_length);
    m_start += i_length;
    return true;
}

bool InflatingInputStream::Fill(unsigned long i_length)
{
    while (m_end - m_start < i_length)
    {
        if (m_ended || m_failed)
            return false;
        // Unread bytes move to the front; the window grows only for a value longer than it.
        if (m_start > 0)
        {
            std::memmove(m_window.data(), m_window.data() + m_start, m_end - m_start);
            m_end -= m_start;
            m_start = 0;
        }
        const std::size_t l_size = std::max(m_end + chunk, std::size_t(i_length));
        if (m_window.size() < l_size)
            m_window.resize(l_size);
        m_stream.next_out = reinterpret_cast<Bytef*>(m_window.data() + m_end);
        m_stream.avail_out = static_cast<uInt>(m_window.size() - m_end);
        const int l_result = inflate(&m_stream, Z_NO_FLUSH);
        const std::size_t l_produced = m_window.size() - m_end - m_stream.avail_out;
        m_end += l_produced;
        m_inflated += static_cast<qint64>(l_produced);
        if (l_result == Z_MEM_ERROR)
            throw std::bad_alloc();
        m_ended = l_result == Z_STREAM_END;
        m_failed = m_inflated > m_cap || (l_result != Z_OK && !m_ended) ||
                   (l_result == Z_OK && l_produced == 0 && m_stream.avail_in == 0);
        if (m_failed)
            return false;
    }
    return true;
}

bool InflatingInputStream::Finish()
{
    while (!m_ended && !m_failed)
    {
        m_start = m_end;
        Fill(1);
    }
    return m_ended && !m_failed;
}
