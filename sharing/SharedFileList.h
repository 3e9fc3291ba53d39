#pragma once

#include <QtGlobal>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class ItemSet;

// What the whole file list of some shared folders needs of the index, copied from the store in
// one pass without sorting, so that the list can then be built and compressed on any thread.
class SharedFileList
{
public:
    // The folders below the shared folders with their files' bare names, sizes and mp3
    // attributes. Reads the store: GUI thread only.
    static SharedFileList Snapshot(const ItemSet& i_sharedFolders);
    // The message: code 5, then the zlib stream of the folders by "\\" path, their files by name
    // and an empty attribute translation table. Touches no store item.
    // None when the list cannot be compressed.
    std::optional<std::string> BuildMessage() const;

private:
    struct File
    {
        std::uint32_t m_nameOffset = 0;
        std::uint32_t m_nameLength = 0;
        qint64 m_size = 0;
        quint32 m_bitrate = 0;
        bool m_isMp3 = false;
        bool m_hasBitrate = false;
        bool m_hasMode = false;
        bool m_isVariable = false;
    };
    struct Folder
    {
        // The local path with "\\" separators.
        std::string m_key;
        std::uint32_t m_firstFile = 0;
        std::uint32_t m_fileCount = 0;
    };

    std::string_view Name(const File& i_file) const;

    // Every file's name, one after the other.
    std::string m_names;
    std::vector<File> m_files;
    // In the order of the store; two may share a key.
    std::vector<Folder> m_folders;
};
