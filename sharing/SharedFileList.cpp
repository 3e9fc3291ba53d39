#include "SharedFileList.h"

#include "AttributeTranslationTable.h"
#include "CompressedMessage.h"
#include "Data.h"
#include "FileInfo.h"
#include "GeneralFunctions.h"
#include "MemStream.h"
#include "PeerMessageCode.h"

#include <algorithm>
#include <numeric>
#include <string_view>

namespace
{
std::string WithBackslashes(std::string i_path)
{
    std::replace(i_path.begin(), i_path.end(), '/', '\\');
    return i_path;
}

char LowerAscii(char i_byte)
{
    return i_byte >= 'A' && i_byte <= 'Z' ? char(i_byte - 'A' + 'a') : i_byte;
}

bool EndsWithMp3(std::string_view i_name)
{
    if (i_name.size() < 4)
        return false;
    const std::string_view l_end = i_name.substr(i_name.size() - 4);
    return l_end[0] == '.' && LowerAscii(l_end[1]) == 'm' && LowerAscii(l_end[2]) == 'p' &&
           l_end[3] == '3';
}

const std::string* ValueOf(Item* ip_item, Type* ip_type)
{
    const ItemSet* lp_items = ip_item->ConnectedItems(ip_type);
    return lp_items ? &lp_items->front()->Value() : nullptr;
}
} // namespace

SharedFileList SharedFileList::Snapshot(const ItemSet& i_sharedFolders)
{
    Type* lp_fileType = d.GetType("shared_file");
    Type* lp_nameType = d.GetType("shared_file_name");
    Type* lp_sizeType = d.GetType("shared_file_size");
    Type* lp_bitrateType = d.GetType("bitrate");
    Type* lp_modeType = d.GetType("bitrate_mode");

    SharedFileList l_list;
    for (Item* lp_folder : i_sharedFolders.GetItems("shared_file_folder"))
    {
        Folder l_folder;
        l_folder.m_key = WithBackslashes(lp_folder->Value());
        l_folder.m_firstFile = std::uint32_t(l_list.m_files.size());
        if (const ItemSet* lp_files = lp_folder->ConnectedItems(lp_fileType))
            for (Item* lp_item : *lp_files)
            {
                const std::string* lp_name = ValueOf(lp_item, lp_nameType);
                const std::string_view l_stored = lp_name ? *lp_name : std::string_view();
                File l_file;
                l_file.m_nameOffset = std::uint32_t(l_list.m_names.size());
                // The bare name is the last part of the whole "\\" path: the stored name, unless
                // it holds a separator or is empty.
                if (l_stored.empty() || l_stored.find_first_of("/\\") != std::string_view::npos)
                {
                    const std::string l_path =
                        WithBackslashes(lp_folder->Value() + '/' + std::string(l_stored));
                    l_list.m_names += GetFileName(l_path);
                    l_file.m_isMp3 = GetFileExtension(l_path) == "mp3";
                }
                else
                {
                    l_list.m_names += l_stored;
                    l_file.m_isMp3 = EndsWithMp3(l_stored);
                }
                l_file.m_nameLength = std::uint32_t(l_list.m_names.size() - l_file.m_nameOffset);
                const ItemSet* lp_size = lp_item->ConnectedItems(lp_sizeType);
                l_file.m_size = lp_size ? lp_size->front()->AsInt64() : 0;
                if (l_file.m_isMp3)
                {
                    if (const ItemSet* lp_bitrate = lp_item->ConnectedItems(lp_bitrateType))
                    {
                        l_file.m_hasBitrate = true;
                        l_file.m_bitrate = static_cast<quint32>(lp_bitrate->front()->AsInt());
                    }
                    if (const std::string* lp_mode = ValueOf(lp_item, lp_modeType))
                    {
                        l_file.m_hasMode = true;
                        l_file.m_isVariable = *lp_mode == "vbr";
                    }
                }
                l_list.m_files.push_back(l_file);
            }
        l_folder.m_fileCount = std::uint32_t(l_list.m_files.size()) - l_folder.m_firstFile;
        l_list.m_folders.push_back(std::move(l_folder));
    }
    return l_list;
}

std::string_view SharedFileList::Name(const File& i_file) const
{
    return std::string_view(m_names).substr(i_file.m_nameOffset, i_file.m_nameLength);
}

std::optional<std::string> SharedFileList::BuildMessage() const
{
    // Folders by path, files by name; of equal names within a path the first in store order
    // stays, as a set keeps the first one inserted.
    std::vector<std::uint32_t> l_folders(m_folders.size());
    std::iota(l_folders.begin(), l_folders.end(), 0);
    std::stable_sort(l_folders.begin(), l_folders.end(),
                     [this](std::uint32_t i_a, std::uint32_t i_b)
                     { return m_folders[i_a].m_key < m_folders[i_b].m_key; });

    MemStream l_body;
    quint32 l_pathCount = 0;
    for (std::size_t l_at = 0; l_at < l_folders.size(); ++l_at)
        if (l_at == 0 || m_folders[l_folders[l_at]].m_key != m_folders[l_folders[l_at - 1]].m_key)
            ++l_pathCount;
    l_body.Write(l_pathCount);

    std::vector<std::uint32_t> l_files;
    FileInfo l_record;
    for (std::size_t l_at = 0; l_at < l_folders.size();)
    {
        const std::string& l_key = m_folders[l_folders[l_at]].m_key;
        l_files.clear();
        for (; l_at < l_folders.size() && m_folders[l_folders[l_at]].m_key == l_key; ++l_at)
        {
            const Folder& l_folder = m_folders[l_folders[l_at]];
            for (std::uint32_t l_file = 0; l_file < l_folder.m_fileCount; ++l_file)
                l_files.push_back(l_folder.m_firstFile + l_file);
        }
        std::stable_sort(l_files.begin(), l_files.end(),
                         [this](std::uint32_t i_a, std::uint32_t i_b)
                         { return Name(m_files[i_a]) < Name(m_files[i_b]); });
        l_files.erase(std::unique(l_files.begin(), l_files.end(),
                                  [this](std::uint32_t i_a, std::uint32_t i_b)
                                  { return Name(m_files[i_a]) == Name(m_files[i_b]); }),
                      l_files.end());

        l_body.Write(l_key);
        l_body.Write(static_cast<quint32>(l_files.size()));
        for (std::uint32_t l_index : l_files)
        {
            const File& l_file = m_files[l_index];
            l_record.m_name.assign(Name(l_file));
            l_record.m_size = l_file.m_size;
            l_record.m_attributes = AttributeMap();
            if (l_file.m_isMp3)
            {
                l_record.m_attributes.m_extension = "mp3";
                if (l_file.m_hasBitrate)
                    l_record.m_attributes.Add(AttributeMap::Bitrate, l_file.m_bitrate);
                if (l_file.m_hasMode)
                    l_record.m_attributes.Add(AttributeMap::VariableBitrate,
                                              l_file.m_isVariable ? 1 : 0);
            }
            l_body.Write(l_record);
        }
    }
    l_body.Write(AttributeTranslationTable());
    const std::optional<MemStream> l_message =
        CompressedMessage(PeerMessageCode::SharedFileList, l_body);
    if (!l_message)
        return std::nullopt;
    return std::string(l_message->GetReadBuffer(), std::size_t(l_message->GetPendingReadLength()));
}
