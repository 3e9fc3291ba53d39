#pragma once

#include "StreamWritable.h"

#include <QtEndian>
#include <QtGlobal>
#include <list>
#include <map>
#include <set>
#include <string>
#include <utility>

// A sink of bytes in the wire encoding: little-endian integers, strings and containers preceded
// by their 32-bit length or count. Writers impose no limit. Every write stops at the first
// failing primitive and returns its result.
class OutputStream
{
public:
    virtual ~OutputStream();

    virtual bool WriteBuffer(const void* i_source, unsigned long i_length) = 0;

    bool Write(quint8 i_value) { return WriteBuffer(&i_value, 1); }
    bool Write(qint32 i_value) { return Write(static_cast<quint32>(i_value)); }
    bool Write(quint32 i_value);
    bool Write(qint64 i_value) { return Write(static_cast<quint64>(i_value)); }
    bool Write(quint64 i_value);
    // Flags are single bytes and characters are no integers: say which width is meant. This also
    // refuses a string literal, which would otherwise turn into a bool.
    bool Write(bool) = delete;
    bool Write(char) = delete;
    // The u32 byte length, zero bytes included, then the bytes.
    bool Write(const std::string& i_value);
    bool Write(const StreamWritable& i_record) { return i_record.Write(*this); }

    template <class T> bool Write(const std::list<T>& i_list);
    template <class T, class C> bool Write(const std::set<T, C>& i_set);
    template <class K, class V, class C> bool Write(const std::map<K, V, C>& i_map);
    template <class A, class B> bool Write(const std::pair<A, B>& i_pair);

protected:
    OutputStream() = default;
    OutputStream(const OutputStream&) = default;
    OutputStream& operator=(const OutputStream&) = default;

private:
    template <class Container> bool WriteElements(const Container& i_container);
};

inline bool OutputStream::Write(quint32 i_value)
{
    uchar l_bytes[4];
    qToLittleEndian(i_value, l_bytes);
    return WriteBuffer(l_bytes, sizeof l_bytes);
}

inline bool OutputStream::Write(quint64 i_value)
{
    uchar l_bytes[8];
    qToLittleEndian(i_value, l_bytes);
    return WriteBuffer(l_bytes, sizeof l_bytes);
}

template <class Container> bool OutputStream::WriteElements(const Container& i_container)
{
    if (!Write(static_cast<quint32>(i_container.size())))
        return false;
    for (const auto& l_element : i_container)
        if (!Write(l_element))
            return false;
    return true;
}

template <class T> bool OutputStream::Write(const std::list<T>& i_list)
{
    return WriteElements(i_list);
}

template <class T, class C> bool OutputStream::Write(const std::set<T, C>& i_set)
{
    return WriteElements(i_set);
}

template <class K, class V, class C> bool OutputStream::Write(const std::map<K, V, C>& i_map)
{
    return WriteElements(i_map);
}

template <class A, class B> bool OutputStream::Write(const std::pair<A, B>& i_pair)
{
    return Write(i_pair.first) && Write(i_pair.second);
}
