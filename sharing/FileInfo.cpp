#include "FileInfo.h"

#include "InputStream.h"
#include "OutputStream.h"

bool FileInfo::Read(InputStream& i_stream)
{
    quint8 l_present;
    if (!i_stream.Read(l_present))
        return false;
    if (l_present == 0)
        return true;
    return i_stream.Read(m_name) && i_stream.Read(m_size) && m_attributes.Read(i_stream);
}

bool FileInfo::Write(OutputStream& i_stream) const
{
    return i_stream.Write(quint8(1)) && i_stream.Write(m_name) && i_stream.Write(m_size) &&
           m_attributes.Write(i_stream);
}

bool FileInfo::operator<(const FileInfo& i_other) const
{
    // std::string compares its bytes as unsigned chars.
    const int l_order = m_name.compare(i_other.m_name);
    return l_order < 0 || (l_order == 0 && m_size < i_other.m_size);
}

bool FileInfo::operator==(const FileInfo& i_other) const
{
    return m_size == i_other.m_size && m_name == i_other.m_name;
}
