#include "FolderListing.h"

#include "GeneralFunctions.h"

#include <QString>

#include <algorithm>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
bool IsAscii(const std::string& i_text)
{
    return std::all_of(i_text.begin(), i_text.end(),
                       [](char i_byte) { return static_cast<unsigned char>(i_byte) < 0x80; });
}

char LowerAscii(char i_byte)
{
    return i_byte >= 'A' && i_byte <= 'Z' ? char(i_byte - 'A' + 'a') : i_byte;
}

// The name as text gives it back: bytes that are no UTF-8 become replacement characters.
std::string AsListed(const std::string& i_name)
{
    return FromUtf8(i_name).toUtf8().toStdString();
}

// A folder view's order: the lower-cased names' UTF-16 units compared; names equal but for case
// by their bytes, so that the order is the same at every listing.
bool ListedBefore(const std::string& i_a, const std::string& i_b)
{
    int l_order = 0;
    if (IsAscii(i_a) && IsAscii(i_b))
    {
        const std::size_t l_common = std::min(i_a.size(), i_b.size());
        for (std::size_t l_at = 0; l_at < l_common && l_order == 0; ++l_at)
            l_order = LowerAscii(i_a[l_at]) - LowerAscii(i_b[l_at]);
        if (l_order == 0)
            l_order = i_a.size() < i_b.size() ? -1 : i_a.size() > i_b.size() ? 1 : 0;
    }
    else
        l_order = QString::fromUtf8(i_a.data(), qsizetype(i_a.size()))
                      .toLower()
                      .compare(QString::fromUtf8(i_b.data(), qsizetype(i_b.size())).toLower());
    return l_order != 0 ? l_order < 0 : i_a < i_b;
}
} // namespace

FolderListing::FolderListing(const std::string& i_folder) : m_folder(i_folder)
{
    const int l_fd = open(i_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (l_fd < 0)
        return;
    struct stat l_folder;
    DIR* lp_dir = fstat(l_fd, &l_folder) == 0 ? fdopendir(l_fd) : nullptr;
    if (!lp_dir)
    {
        close(l_fd);
        return;
    }
    m_isListed = true;
    m_identity = {l_folder.st_dev, l_folder.st_ino};
    while (const dirent* lp_entry = readdir(lp_dir))
    {
        // Hidden entries, "." and ".." among them.
        if (lp_entry->d_name[0] == '.')
            continue;
        bool l_isFolder = lp_entry->d_type == DT_DIR;
        if (lp_entry->d_type != DT_DIR && lp_entry->d_type != DT_REG)
        {
            // A link or an entry of unknown kind: what it leads to decides.
            struct stat l_target;
            if (fstatat(dirfd(lp_dir), lp_entry->d_name, &l_target, 0) != 0 ||
                !(S_ISDIR(l_target.st_mode) || S_ISREG(l_target.st_mode)))
                continue;
            l_isFolder = S_ISDIR(l_target.st_mode);
        }
        Entry& l_entry = m_entries.emplace_back();
        l_entry.m_name = lp_entry->d_name;
        l_entry.m_isFolder = l_isFolder;
        if (!IsAscii(l_entry.m_name))
            if (std::string l_listed = AsListed(l_entry.m_name); l_listed != l_entry.m_name)
            {
                l_entry.m_diskName = std::move(l_entry.m_name);
                l_entry.m_name = std::move(l_listed);
            }
    }
    closedir(lp_dir);
    std::sort(m_entries.begin(), m_entries.end(),
              [](const Entry& i_a, const Entry& i_b)
              { return ListedBefore(i_a.m_name, i_b.m_name); });
}

FolderListing::~FolderListing()
{
    Release();
}

void FolderListing::Release()
{
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

std::optional<qint64> FolderListing::FileSize(const Entry& i_entry)
{
    if (m_fd < 0 && m_isListed)
        m_fd = open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::string& l_name = i_entry.m_diskName.empty() ? i_entry.m_name : i_entry.m_diskName;
    struct stat l_file;
    if (m_fd < 0 || fstatat(m_fd, l_name.c_str(), &l_file, 0) != 0 || !S_ISREG(l_file.st_mode))
        return std::nullopt;
    return qint64(l_file.st_size);
}
