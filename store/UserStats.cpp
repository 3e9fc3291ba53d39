#include "UserStats.h"

#include "InputStream.h"
#include "OutputStream.h"

bool UserStats::Read(InputStream& i_stream)
{
    return i_stream.Read(m_averageSpeed) && i_stream.Read(m_reserved64) &&
           i_stream.Read(m_sharedFilesCount) && i_stream.Read(m_reserved32);
}

bool UserStats::Write(OutputStream& i_stream) const
{
    return i_stream.Write(m_averageSpeed) && i_stream.Write(m_reserved64) &&
           i_stream.Write(m_sharedFilesCount) && i_stream.Write(m_reserved32);
}

bool UserStats::operator==(const UserStats& i_other) const
{
    return m_averageSpeed == i_other.m_averageSpeed && m_reserved64 == i_other.m_reserved64 &&
           m_sharedFilesCount == i_other.m_sharedFilesCount && m_reserved32 == i_other.m_reserved32;
}
