#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QtEndian>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>

// A promise that no sanitizer watches: a broken one is named and aborts, so that libFuzzer keeps
// the input as a crash.
inline void Require(bool i_condition, const char* ip_what)
{
    if (i_condition)
        return;
    std::fprintf(stderr, "fuzz check failed: %s\n", ip_what);
    std::abort();
}

// The input as a run of chunks, each a length byte and that many bytes (fewer at the end):
// i_chunk(length byte, bytes, size) for each.
template <class Chunk>
void ForEachChunk(const std::uint8_t* ip_data, std::size_t i_size, Chunk i_chunk)
{
    for (std::size_t l_offset = 0; l_offset < i_size;)
    {
        const std::size_t l_length =
            std::min<std::size_t>(ip_data[l_offset], i_size - l_offset - 1);
        i_chunk(ip_data[l_offset], ip_data + l_offset + 1, l_length);
        l_offset += 1 + l_length;
    }
}

// The input as a run of records as the wire frames them, each a u32 length and that many bytes
// (fewer at the end): i_record(bytes, size) for each until it returns false.
template <class Record>
void ForEachRecord(const std::uint8_t* ip_data, std::size_t i_size, Record i_record)
{
    for (std::size_t l_offset = 0; i_size - l_offset >= 4;)
    {
        const std::size_t l_length = std::min<std::size_t>(
            qFromLittleEndian<quint32>(ip_data + l_offset), i_size - l_offset - 4);
        if (!i_record(ip_data + l_offset + 4, l_length))
            return;
        l_offset += 4 + l_length;
    }
}

// Runs the event loop until the condition holds; false when it did not within ten seconds, far
// longer than any step on loopback takes.
template <class Condition> bool WaitUntil(Condition i_condition)
{
    const QDeadlineTimer l_deadline(10000);
    while (!i_condition())
    {
        if (l_deadline.hasExpired())
            return false;
        QCoreApplication::processEvents();
    }
    return true;
}

// Has closing the socket reset the connection: every closed connection would wait on this side
// for minutes, and tens of thousands of them make each new connection slow to set up.
inline void ResetOnClose(int i_socket)
{
    const linger l_reset{1, 0};
    ::setsockopt(i_socket, SOL_SOCKET, SO_LINGER, &l_reset, sizeof l_reset);
}
