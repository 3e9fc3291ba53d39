#include "SharedFolderInfo.h"

#include "InputStream.h"
#include "OutputStream.h"

namespace
{
// What follows a folder's files; a reader skips it.
constexpr quint32 endMarker = 0;
} // namespace

bool SharedFolderInfo::Read(InputStream& i_stream)
{
    m_files.clear();
    quint32 l_count;
    if (!i_stream.Read(l_count) || l_count > InputStream::MaxReadLength)
        return false;
    FileInfo l_file;
    for (quint32 l_index = 0; l_index < l_count; ++l_index)
    {
        if (!l_file.Read(i_stream))
            return false;
        m_files.insert(l_file);
    }
    quint32 l_endMarker;
    return i_stream.Read(l_endMarker);
}

bool SharedFolderInfo::Write(OutputStream& i_stream) const
{
    return i_stream.Write(m_files) && i_stream.Write(endMarker);
}
