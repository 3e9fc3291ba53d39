#include "AttributeMap.h"

#include "InputStream.h"
#include "OutputStream.h"

bool AttributeMap::Read(InputStream& i_stream)
{
    if (!i_stream.Read(m_extension))
        return false;
    m_attributes.clear();
    quint32 l_count;
    if (!i_stream.Read(l_count) || l_count > InputStream::MaxReadLength)
        return false;
    // Pairs are appended as they arrive rather than reserved from the count: an untrusted count
    // must not buy memory that the data never fills.
    for (quint32 l_index = 0; l_index < l_count; ++l_index)
    {
        std::pair<quint32, quint32> l_pair;
        if (!i_stream.Read(l_pair))
            return false;
        m_attributes.push_back(l_pair);
    }
    return true;
}

bool AttributeMap::Write(OutputStream& i_stream) const
{
    if (!i_stream.Write(m_extension) || !i_stream.Write(static_cast<quint32>(m_attributes.size())))
        return false;
    for (const auto& l_pair : m_attributes)
        if (!i_stream.Write(l_pair))
            return false;
    return true;
}

bool AttributeMap::operator==(const AttributeMap& i_other) const
{
    return m_extension == i_other.m_extension && m_attributes == i_other.m_attributes;
}
