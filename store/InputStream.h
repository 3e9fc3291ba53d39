#pragma once

#include "StreamReadable.h"

#include <QtEndian>
#include <QtGlobal>
#include <list>
#include <map>
#include <set>
#include <string>
#include <utility>

// A source of bytes in the wire encoding: little-endian integers, strings and containers that
// carry a 32-bit length or count. Every read returns true only when the whole value was read; a
// failing primitive consumes nothing, while what came before it in the same value stays consumed.
class InputStream
{
public:
    // Largest string length and container count that a reader accepts.
    static constexpr quint32 MaxReadLength = 131072;

    virtual ~InputStream();

    // Copies the next i_length bytes to i_destination; consumes nothing and returns false when
    // fewer bytes remain.
    virtual bool ReadBuffer(void* i_destination, unsigned long i_length) = 0;

    bool Read(quint8& i_value) { return ReadBuffer(&i_value, 1); }
    bool Read(qint32& i_value);
    bool Read(quint32& i_value);
    bool Read(qint64& i_value);
    bool Read(quint64& i_value);
    // A u32 length and that many bytes; the value ends at the first zero byte among them, all of
    // them are consumed. i_value changes only on success.
    bool Read(std::string& i_value);
    bool Read(StreamReadable& i_record) { return i_record.Read(*this); }

    // Containers: a u32 count of at most MaxReadLength and the elements. The destination is
    // cleared first and keeps the elements read before a failing one.
    template <class T> bool Read(std::list<T>& i_list);
    // An element equal to one already read is dropped.
    template <class T, class C> bool Read(std::set<T, C>& i_set);
    // A repeated key takes the later value.
    template <class K, class V, class C> bool Read(std::map<K, V, C>& i_map);
    // The two members one after the other, without a count.
    template <class A, class B> bool Read(std::pair<A, B>& i_pair);

protected:
    InputStream() = default;
    InputStream(const InputStream&) = default;
    InputStream& operator=(const InputStream&) = default;

    // Whether i_length more bytes can be read. Sources that cannot tell say yes; the string
    // reader asks before it allocates, so that a length field alone never buys memory.
    virtual bool CanRead(unsigned long i_length) const;

private:
    bool ReadCount(quint32& i_count);
};

inline bool InputStream::Read(quint32& i_value)
{
    uchar l_bytes[4];
    if (!ReadBuffer(l_bytes, sizeof l_bytes))
        return false;
    i_value = qFromLittleEndian<quint32>(l_bytes);
    return true;
}

inline bool InputStream::Read(qint32& i_value)
{
    quint32 l_value;
    if (!Read(l_value))
        return false;
    i_value = static_cast<qint32>(l_value);
    return true;
}

inline bool InputStream::Read(quint64& i_value)
{
    uchar l_bytes[8];
    if (!ReadBuffer(l_bytes, sizeof l_bytes))
        return false;
    i_value = qFromLittleEndian<quint64>(l_bytes);
    return true;
}

inline bool InputStream::Read(qint64& i_value)
{
    quint64 l_value;
    if (!Read(l_value))
        return false;
    i_value = static_cast<qint64>(l_value);
    return true;
}

inline bool InputStream::ReadCount(quint32& i_count)
{
    return Read(i_count) && i_count <= MaxReadLength;
}

// Elements are inserted one by one as they are read, never reserved from the count, so the memory
// taken grows only with the bytes actually received.
template <class T> bool InputStream::Read(std::list<T>& i_list)
{
    i_list.clear();
    quint32 l_count;
    if (!ReadCount(l_count))
        return false;
    for (quint32 l_index = 0; l_index < l_count; ++l_index)
    {
        T l_element{};
        if (!Read(l_element))
            return false;
        i_list.push_back(std::move(l_element));
    }
    return true;
}

template <class T, class C> bool InputStream::Read(std::set<T, C>& i_set)
{
    i_set.clear();
    quint32 l_count;
    if (!ReadCount(l_count))
        return false;
    for (quint32 l_index = 0; l_index < l_count; ++l_index)
    {
        T l_element{};
        if (!Read(l_element))
            return false;
        i_set.insert(std::move(l_element));
    }
    return true;
}

template <class K, class V, class C> bool InputStream::Read(std::map<K, V, C>& i_map)
{
    i_map.clear();
    quint32 l_count;
    if (!ReadCount(l_count))
        return false;
    for (quint32 l_index = 0; l_index < l_count; ++l_index)
    {
        K l_key{};
        V l_value{};
        if (!Read(l_key) || !Read(l_value))
            return false;
        i_map.insert_or_assign(std::move(l_key), std::move(l_value));
    }
    return true;
}

template <class A, class B> bool InputStream::Read(std::pair<A, B>& i_pair)
{
    return Read(i_pair.first) && Read(i_pair.second);
}
