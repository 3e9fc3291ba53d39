#include "FileInfo.h"

#include "GeneralFunctions.h"
#include "InputStream.h"
#include "OutputStream.h"

#include <algorithm>

namespace
{
// Each file of a list opens with this byte; a zero one stands for an entry without a file.
constexpr quint8 fileEntryCode = 1;
constexpr quint8 emptyEntryCode = 0;
} // namespace

bool FileInfo::Read(InputStream& i_stream)
{
    quint8 l_present;
    if (!i_stream.Read(l_present))
        return false;
    if (l_present == emptyEntryCode)
        return true;
    return i_stream.Read(m_name) && i_stream.Read(m_size) && m_attributes.Read(i_stream);
}

bool FileInfo::Write(OutputStream& i_stream) const
{
    return i_stream.Write(fileEntryCode) && i_stream.Write(m_name) && i_stream.Write(m_size) &&
           m_attributes.Write(i_stream);
}

bool FileInfo::operator<(const FileInfo& i_other) const
{
    // std::string compares its bytes as unsigned chars.
    return m_name < i_other.m_name;
}

bool FileInfo::operator==(const FileInfo& i_other) const
{
    return m_name == i_other.m_name && m_size == i_other.m_size &&
           m_attributes == i_other.m_attributes;
}

FileInfo FileInfo::FromSharedFile(ItemPtr i_file, bool i_fullPath)
{
    std::string l_path =
        i_file["shared_file_folder"].AsString() + '/' + i_file["shared_file_name"].AsString();
    std::replace(l_path.begin(), l_path.end(), '/', '\\');

    FileInfo l_info;
    l_info.m_name = i_fullPath ? l_path : GetFileName(l_path);
    l_info.m_size = i_file["shared_file_size"].AsInt64();
    if (GetFileExtension(l_path) != "mp3")
        return l_info;
    l_info.m_attributes.m_extension = "mp3";
    if (ItemPtr l_bitrate = i_file["bitrate"])
        l_info.m_attributes.Add(AttributeMap::Bitrate, static_cast<quint32>(l_bitrate.AsInt()));
    if (ItemPtr l_mode = i_file["bitrate_mode"])
        l_info.m_attributes.Add(AttributeMap::VariableBitrate, l_mode.AsString() == "vbr" ? 1 : 0);
    return l_info;
}
