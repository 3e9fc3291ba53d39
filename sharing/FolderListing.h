#pragma once

#include <QtGlobal>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

// The entries of one folder on disk that the share index takes: files and folders (links
// followed), hidden entries and anything else left out, sorted by name ignoring case as a folder
// view lists them. Read with one pass over the folder; a file is looked at when its size is asked
// for, so that one removed meanwhile is seen as gone. A folder that cannot be read lists nothing.
// Holds a descriptor of the folder only from the first size asked for until Release.
class FolderListing
{
public:
    struct Entry
    {
        // The name as the listing gives it: invalid UTF-8 stands replaced.
        std::string m_name;
        bool m_isFolder = false;
        // The bytes on disk, when they differ from m_name.
        std::string m_diskName;
    };
    // Which folder this is on disk, whatever path leads to it.
    using Identity = std::pair<dev_t, ino_t>;

    explicit FolderListing(const std::string& i_folder);
    ~FolderListing();
    FolderListing(const FolderListing&) = delete;
    FolderListing& operator=(const FolderListing&) = delete;

    // Whether the folder could be read.
    bool IsListed() const { return m_isListed; }
    // Meaningful when listed.
    Identity GetIdentity() const { return m_identity; }
    const std::vector<Entry>& Entries() const { return m_entries; }
    // The file's size now; none when it is no longer a file.
    std::optional<qint64> FileSize(const Entry& i_entry);
    // Gives back the folder's descriptor, as before going down into a subfolder: a deep tree
    // must not hold one per level.
    void Release();

private:
    std::string m_folder;
    bool m_isListed = false;
    int m_fd = -1;
    Identity m_identity{};
    std::vector<Entry> m_entries;
};
