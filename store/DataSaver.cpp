#include "DataSaver.h"

#include "Data.h"
#include "GeneralFunctions.h"
#include "ItemLoader.h"
#include "Log.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <new>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

DataSaver* dataSaver = nullptr;

namespace
{
QString const g_category = QStringLiteral("Configuration Data");
// Links followed from the data file's path before the save gives up, as the system's own limit.
constexpr int g_maxLinks = 40;

// An open-addressing table from a non-zero 64-bit key to a 32-bit number: the place of an id
// in a file whose ids are spread wide. Sized once for its number of keys.
class KeyTable
{
public:
    explicit KeyTable(std::size_t i_count)
    {
        std::size_t l_size = 16;
        while (l_size < 2 * i_count)
            l_size *= 2;
        m_shift = 64 - std::countr_zero(l_size);
        m_mask = l_size - 1;
        m_slots.assign(l_size, Slot{0, 0});
    }

    // Sets the number of the key, replacing the one it had.
    void Put(std::uint64_t i_key, std::uint32_t i_value)
    {
        std::size_t l_index = Index(i_key);
        while (m_slots[l_index].m_key != 0 && m_slots[l_index].m_key != i_key)
            l_index = (l_index + 1) & m_mask;
        m_slots[l_index] = Slot{i_key, i_value};
    }

    // The number of the key, or null when the key was never put.
    std::uint32_t const* Find(std::uint64_t i_key) const
    {
        for (std::size_t l_index = Index(i_key); m_slots[l_index].m_key != 0;
             l_index = (l_index + 1) & m_mask)
            if (m_slots[l_index].m_key == i_key)
                return &m_slots[l_index].m_value;
        return nullptr;
    }

private:
    // Key and number side by side: one cache line per look-up.
    struct Slot
    {
        std::uint64_t m_key;
        std::uint32_t m_value;
    };

    std::size_t Index(std::uint64_t i_key) const
    {
        return static_cast<std::size_t>((i_key * 0x9E3779B97F4A7C15ULL) >> m_shift);
    }

    int m_shift;
    std::size_t m_mask;
    std::vector<Slot> m_slots;
};

std::uint64_t IdKey(std::int32_t i_id)
{
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(i_id)) + 1;
}

// Builds the file's bytes in a buffer that outlives it, so that the file is written with a few
// large writes and later saves reuse the buffer's pages. The buffer only grows; its first Size()
// bytes are the file's.
class FileWriter
{
public:
    explicit FileWriter(std::string& i_buffer) : m_bytes(i_buffer) {}

    void WriteType(std::int32_t i_value) { qToLittleEndian(i_value, Claim(4)); }
    void WriteType(bool i_value) { *Claim(1) = i_value ? 1 : 0; }
    void WriteString(std::string const& i_value)
    {
        WriteType(Count(i_value.size()));
        std::memcpy(Claim(i_value.size()), i_value.data(), i_value.size());
    }
    // A count or length as the file holds it; one beyond its range cannot be saved.
    static std::int32_t Count(std::size_t i_count)
    {
        if (i_count > INT32_MAX)
            throw DataSaveFailure();
        return static_cast<std::int32_t>(i_count);
    }
    std::size_t Size() const { return m_size; }

private:
    // The next i_count bytes of the file.
    char* Claim(std::size_t i_count)
    {
        if (i_count > m_bytes.size() - m_size)
            m_bytes.resize(std::max(2 * m_bytes.size(), m_size + i_count));
        char* lp_at = m_bytes.data() + m_size;
        m_size += i_count;
        return lp_at;
    }

    std::string& m_bytes;
    std::size_t m_size = 0;
};

// Reads the file's bytes, checking every length and count against what is left of them, so
// that no number in the file makes the reader allocate more than the file holds.
class FileReader
{
public:
    FileReader(char const* ip_bytes, std::size_t i_size) : mp_bytes(ip_bytes), m_size(i_size) {}

    std::int32_t ReadType()
    {
        Need(4, "a number");
        std::int32_t const l_value = qFromLittleEndian<std::int32_t>(mp_bytes + m_offset);
        m_offset += 4;
        return l_value;
    }
    bool ReadBool()
    {
        Need(1, "a flag");
        char const l_value = mp_bytes[m_offset++];
        if (l_value != 0 && l_value != 1)
            Fail(QStringLiteral("a flag other than 0 or 1"));
        return l_value == 1;
    }
    // The bytes up to the first zero byte; all the string's bytes are consumed.
    std::string_view ReadString()
    {
        std::int32_t const l_length = ReadType();
        if (l_length < 0)
            Fail(QStringLiteral("a negative length"));
        Need(static_cast<std::size_t>(l_length), "a string");
        char const* lp_start = mp_bytes + m_offset;
        m_offset += static_cast<std::size_t>(l_length);
        char const* lp_zero =
            static_cast<char const*>(std::memchr(lp_start, 0, static_cast<std::size_t>(l_length)));
        return std::string_view(lp_start, lp_zero ? static_cast<std::size_t>(lp_zero - lp_start)
                                                  : static_cast<std::size_t>(l_length));
    }
    // A count of records each at least i_recordSize bytes long, all of which must fit in the
    // rest of the file.
    std::size_t ReadCount(std::size_t i_recordSize)
    {
        std::int32_t const l_count = ReadType();
        if (l_count < 0)
            Fail(QStringLiteral("a negative count"));
        if (static_cast<std::size_t>(l_count) > (m_size - m_offset) / i_recordSize)
            Fail(
                QStringLiteral("a count of %1 that the rest of the file cannot hold").arg(l_count));
        return static_cast<std::size_t>(l_count);
    }

    [[noreturn]] void Fail(QString const& i_reason)
    {
        m_reason = i_reason;
        throw DataLoadFailure();
    }
    QString const& Reason() const { return m_reason; }
    std::size_t Offset() const { return m_offset; }

private:
    void Need(std::size_t i_length, char const* ip_what)
    {
        if (i_length > m_size - m_offset)
            Fail(QStringLiteral("the file ends inside %1").arg(QLatin1String(ip_what)));
    }

    char const* mp_bytes;
    std::size_t m_size;
    std::size_t m_offset = 0;
    QString m_reason;
};

// One saved item as the file gives it, checked and not yet in the store.
struct ItemInfo
{
    std::int32_t m_id;
    // Index into ParsedFile::m_types.
    std::uint32_t m_type;
    std::string_view m_value;
};

// The place of each id of a file. The ids that the writer gives (1, 2, 3...) index an array; ids
// spread wider than twice their number go through a hash table.
class IdIndex
{
public:
    explicit IdIndex(std::vector<ItemInfo> const& i_records)
    {
        if (i_records.empty())
            return;
        auto const [l_min, l_max] = std::minmax_element(i_records.begin(), i_records.end(),
                                                        [](ItemInfo const& i_a, ItemInfo const& i_b)
                                                        { return i_a.m_id < i_b.m_id; });
        m_first = l_min->m_id;
        std::int64_t const l_range = std::int64_t(l_max->m_id) - l_min->m_id + 1;
        if (l_range <= std::int64_t(2 * i_records.size() + 16))
            m_dense.assign(std::size_t(l_range), Absent);
        else
        {
            m_isHashed = true;
            m_hashed = KeyTable(i_records.size());
        }
    }

    void Put(std::int32_t i_id, std::uint32_t i_place)
    {
        if (m_isHashed)
            m_hashed.Put(IdKey(i_id), i_place);
        else
            m_dense[std::size_t(std::int64_t(i_id) - m_first)] = i_place;
    }

    // The place of the id, or null when no record has it.
    std::uint32_t const* Find(std::int32_t i_id) const
    {
        if (m_isHashed)
            return m_hashed.Find(IdKey(i_id));
        std::int64_t const l_offset = std::int64_t(i_id) - m_first;
        if (l_offset < 0 || l_offset >= std::int64_t(m_dense.size()) ||
            m_dense[std::size_t(l_offset)] == Absent)
            return nullptr;
        return &m_dense[std::size_t(l_offset)];
    }

private:
    static constexpr std::uint32_t Absent = UINT32_MAX;

    std::int64_t m_first = 0;
    std::vector<std::uint32_t> m_dense;
    bool m_isHashed = false;
    KeyTable m_hashed{0};
};

// A whole file, read and checked before anything of it reaches the store.
struct ParsedFile
{
    std::vector<Type*> m_types;
    // The items to make, in ascending id order, each id once.
    std::vector<ItemInfo> m_items;
    // Indexes into m_items, ascending, each pair once: the first is connected to the second.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> m_connections;
    std::size_t m_unrelatedConnections = 0;
};

// Creates the first free name that i_nameOf gives for 0, 1, 2..., readable and writable by the
// owner only; returns its descriptor, or -1 with errno set.
template <typename NameOf> int CreateFirstFree(NameOf i_nameOf, QString& i_created)
{
    for (int l_number = 0; l_number < INT_MAX; ++l_number)
    {
        QString const l_name = i_nameOf(l_number);
        int const l_fd = ::open(QFile::encodeName(l_name).constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (l_fd >= 0)
        {
            i_created = l_name;
            return l_fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

// Writes the pieces one after the other and flushes them to the disk; returns 0 or the error.
template <std::size_t Count>
int WriteAndSync(int i_fd, std::array<std::string_view, Count> const& i_pieces)
{
    for (std::string_view l_piece : i_pieces)
        while (!l_piece.empty())
        {
            ssize_t const l_written =
                ::write(i_fd, l_piece.data(), std::min<std::size_t>(l_piece.size(), 1 << 30));
            if (l_written < 0 && errno == EINTR)
                continue;
            if (l_written <= 0)
                return l_written < 0 ? errno : EIO;
            l_piece.remove_prefix(static_cast<std::size_t>(l_written));
        }
    return ::fsync(i_fd) == 0 ? 0 : errno;
}

// The folder that holds i_path, as the system names it.
QByteArray FolderOf(QString const& i_path)
{
    QByteArray const l_path = QFile::encodeName(i_path);
    qsizetype const l_slash = l_path.lastIndexOf('/');
    return l_slash < 0 ? QByteArray(".") : l_path.left(l_slash == 0 ? 1 : l_slash);
}

// Makes a rename in the folder of i_path durable; a failure only weakens that.
void SyncFolder(QString const& i_path)
{
    int const l_fd = ::open(FolderOf(i_path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (l_fd < 0)
        return;
    ::fsync(l_fd);
    ::close(l_fd);
}

// Whether a save may put its file in the place of what is at i_path: a regular file, or nothing.
bool IsReplaceable(QString const& i_path)
{
    struct stat l_status;
    return ::lstat(QFile::encodeName(i_path).constData(), &l_status) != 0 ||
           S_ISREG(l_status.st_mode);
}

// Writes the pieces to a new file beside i_path, named by the first free "P.n", and flushes
// them; returns 0 or the error, with i_name set whenever a named file was made. The file is
// written without a name and named only once whole, so that a save killed while writing leaves
// nothing behind; where the folder's file system cannot do that, the file is named from the start.
template <std::size_t Count>
int WriteTemporary(QString const& i_path, std::array<std::string_view, Count> const& i_pieces,
                   QString& i_name)
{
    auto const l_nameOf = [&i_path](int i_number)
    { return i_path + QLatin1Char('.') + QString::number(i_number + 1); };
    int l_fd =
        ::open(FolderOf(i_path).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (l_fd >= 0)
    {
        QByteArray const l_self = "/proc/self/fd/" + QByteArray::number(l_fd);
        int l_error = WriteAndSync(l_fd, i_pieces);
        for (int l_number = 0; l_error == 0 && l_number < INT_MAX; ++l_number)
        {
            QString const l_name = l_nameOf(l_number);
            if (::linkat(AT_FDCWD, l_self.constData(), AT_FDCWD,
                         QFile::encodeName(l_name).constData(), AT_SYMLINK_FOLLOW) == 0)
            {
                i_name = l_name;
                break;
            }
            if (errno != EEXIST)
                l_error = errno;
        }
        if (::close(l_fd) != 0 && l_error == 0)
            l_error = errno;
        if (!i_name.isEmpty())
            return l_error;
    }
    l_fd = CreateFirstFree(l_nameOf, i_name);
    if (l_fd < 0)
        return errno;
    int l_error = WriteAndSync(l_fd, i_pieces);
    if (::close(l_fd) != 0 && l_error == 0)
        l_error = errno;
    return l_error;
}

enum class ReadResult
{
    Read,
    Missing,
    Unreadable
};

ReadResult ReadWholeFile(QString const& i_path, std::unique_ptr<char[]>& i_bytes,
                         std::size_t& i_size, QString& i_error)
{
    // Without waiting: a FIFO or a device in the file's place would block the open; it is
    // refused below like any other path that is not a regular file.
    int const l_fd =
        ::open(QFile::encodeName(i_path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (l_fd < 0)
    {
        int const l_error = errno;
        i_error = ErrorText(l_error);
        return l_error == ENOENT ? ReadResult::Missing : ReadResult::Unreadable;
    }
    struct stat l_status;
    if (::fstat(l_fd, &l_status) != 0 || !S_ISREG(l_status.st_mode))
    {
        i_error = QStringLiteral("not a regular file");
        ::close(l_fd);
        return ReadResult::Unreadable;
    }
    std::size_t const l_size = static_cast<std::size_t>(l_status.st_size);
    try
    {
        i_bytes = std::make_unique_for_overwrite<char[]>(l_size);
    }
    catch (std::bad_alloc const&)
    {
        i_error = QStringLiteral("too large to read");
        ::close(l_fd);
        return ReadResult::Unreadable;
    }
    i_size = 0;
    while (i_size < l_size)
    {
        ssize_t const l_read = ::read(l_fd, i_bytes.get() + i_size, l_size - i_size);
        if (l_read < 0 && errno == EINTR)
            continue;
        if (l_read < 0)
        {
            int const l_error = errno;
            i_error = ErrorText(l_error);
            ::close(l_fd);
            return ReadResult::Unreadable;
        }
        if (l_read == 0)
            break;
        i_size += static_cast<std::size_t>(l_read);
    }
    ::close(l_fd);
    return ReadResult::Read;
}

// Copies a file that could not be loaded beside it, so that the next save does not destroy
// what may still be recovered by hand; returns the copy's name, empty when none could be made.
QString KeepAside(QString const& i_path, char const* ip_bytes, std::size_t i_size)
{
    QString l_name;
    int const l_fd = CreateFirstFree(
        [&i_path](int i_number)
        {
            return i_number == 0 ? i_path + QStringLiteral(".bad")
                                 : i_path + QStringLiteral(".bad.") + QString::number(i_number);
        },
        l_name);
    if (l_fd < 0)
    {
        int const l_error = errno;
        Log(g_category, 1,
            QStringLiteral("Could not keep a copy of %1: %2.").arg(i_path, ErrorText(l_error)));
        return QString();
    }
    int const l_error = WriteAndSync(l_fd, std::array{std::string_view(ip_bytes, i_size)});
    ::close(l_fd);
    if (l_error != 0)
    {
        ::unlink(QFile::encodeName(l_name).constData());
        Log(g_category, 1,
            QStringLiteral("Could not keep a copy of %1 as %2: %3.")
                .arg(i_path, l_name, ErrorText(l_error)));
        return QString();
    }
    return l_name;
}

// Reads and checks the whole file. Only the types that the program saves are taken; the records
// of any other type, declared or not, are read over.
template <typename IsSaved> ParsedFile Parse(FileReader& i_reader, IsSaved i_isSaved)
{
    ParsedFile l_file;
    // Each type once, whatever the file repeats.
    std::map<Type*, std::uint32_t, TypeLess> l_typeIndexes;
    std::vector<ItemInfo> l_records;

    // A type record is at least a name length, a flag and an item count.
    std::size_t const l_typeCount = i_reader.ReadCount(9);
    for (std::size_t l_typeNumber = 0; l_typeNumber < l_typeCount; ++l_typeNumber)
    {
        std::string_view const l_name = i_reader.ReadString();
        bool const l_isNull = i_reader.ReadBool();
        Type* lp_type = d.HasType(l_name);
        if (lp_type && !i_isSaved(lp_type))
            lp_type = nullptr;
        if (lp_type && lp_type->IsNull() != l_isNull)
            i_reader.Fail(QStringLiteral("the null flag of type %1 disagrees with its declaration")
                              .arg(FromUtf8(std::string(l_name))));
        std::uint32_t l_typeIndex = 0;
        if (lp_type)
        {
            auto const [l_entry, l_added] =
                l_typeIndexes.emplace(lp_type, std::uint32_t(l_file.m_types.size()));
            if (l_added)
                l_file.m_types.push_back(lp_type);
            l_typeIndex = l_entry->second;
        }

        std::size_t const l_itemCount = i_reader.ReadCount(l_isNull ? 4 : 8);
        // Room at once for a large type; still doubling, for a file of many small types.
        if (lp_type && l_records.capacity() - l_records.size() < l_itemCount)
            l_records.reserve(std::max(l_records.size() + l_itemCount, 2 * l_records.capacity()));
        for (std::size_t l_itemNumber = 0; l_itemNumber < l_itemCount; ++l_itemNumber)
        {
            std::int32_t const l_id = i_reader.ReadType();
            std::string_view const l_value = l_isNull ? std::string_view() : i_reader.ReadString();
            if (lp_type)
                l_records.push_back(ItemInfo{l_id, l_typeIndex, l_value});
        }
    }

    std::size_t const l_connectionCount = i_reader.ReadCount(8);
    std::vector<std::pair<std::int32_t, std::int32_t>> l_pairs(l_connectionCount);
    for (auto& [l_first, l_second] : l_pairs)
    {
        l_first = i_reader.ReadType();
        l_second = i_reader.ReadType();
    }

    // A later record of an id replaces an earlier one.
    IdIndex l_places(l_records);
    for (std::size_t l_index = 0; l_index < l_records.size(); ++l_index)
        l_places.Put(l_records[l_index].m_id, std::uint32_t(l_index));
    std::vector<std::uint32_t> l_order;
    l_order.reserve(l_records.size());
    for (std::size_t l_index = 0; l_index < l_records.size(); ++l_index)
        if (*l_places.Find(l_records[l_index].m_id) == l_index)
            l_order.push_back(std::uint32_t(l_index));
    auto const l_byId = [&l_records](std::uint32_t i_a, std::uint32_t i_b)
    { return l_records[i_a].m_id < l_records[i_b].m_id; };
    bool const l_inOrder = std::is_sorted(l_order.begin(), l_order.end(), l_byId);
    if (l_inOrder && l_order.size() == l_records.size())
        // As the writer leaves them: every record kept, in id order, placed where it stands.
        l_file.m_items = std::move(l_records);
    else
    {
        if (!l_inOrder)
            std::sort(l_order.begin(), l_order.end(), l_byId);
        l_file.m_items.reserve(l_order.size());
        for (std::uint32_t l_index : l_order)
        {
            l_places.Put(l_records[l_index].m_id, std::uint32_t(l_file.m_items.size()));
            l_file.m_items.push_back(l_records[l_index]);
        }
    }

    std::size_t const l_typeTotal = l_file.m_types.size();
    std::vector<char> l_related(l_typeTotal * l_typeTotal);
    for (std::size_t l_a = 0; l_a < l_typeTotal; ++l_a)
        for (std::size_t l_b = 0; l_b < l_typeTotal; ++l_b)
            l_related[l_a * l_typeTotal + l_b] =
                l_file.m_types[l_a]->IsRelated(l_file.m_types[l_b]);

    // A pair naming an id without a record (a type not loaded, or no record at all) is dropped;
    // so is one between types that are not, or no longer, related. The types of the records are
    // read from a compact copy, which the caches hold.
    std::vector<std::uint32_t> l_typeOf(l_file.m_items.size());
    for (std::size_t l_place = 0; l_place < l_typeOf.size(); ++l_place)
        l_typeOf[l_place] = l_file.m_items[l_place].m_type;
    l_file.m_connections.reserve(l_pairs.size());
    for (auto const& [l_first, l_second] : l_pairs)
    {
        std::uint32_t const* lp_first = l_places.Find(l_first);
        std::uint32_t const* lp_second = l_places.Find(l_second);
        if (!lp_first || !lp_second)
            continue;
        if (!l_related[l_typeOf[*lp_first] * l_typeTotal + l_typeOf[*lp_second]])
        {
            ++l_file.m_unrelatedConnections;
            continue;
        }
        l_file.m_connections.emplace_back(*lp_first, *lp_second);
    }
    if (!std::is_sorted(l_file.m_connections.begin(), l_file.m_connections.end()))
        std::sort(l_file.m_connections.begin(), l_file.m_connections.end());
    l_file.m_connections.erase(
        std::unique(l_file.m_connections.begin(), l_file.m_connections.end()),
        l_file.m_connections.end());
    return l_file;
}

// Makes the items in ascending id order, then connects each to its partners, with the events of
// the ordinary store operations. Items of a valued type merge into those already in the store,
// such as defaults.
void Apply(ParsedFile const& i_file)
{
    ItemLoader l_loader(&d, i_file.m_types);
    std::vector<std::size_t> l_counts(i_file.m_types.size());
    for (ItemInfo const& l_info : i_file.m_items)
        ++l_counts[l_info.m_type];
    for (std::uint32_t l_type = 0; l_type < l_counts.size(); ++l_type)
        l_loader.Expect(l_type, l_counts[l_type]);
    // Far enough ahead for the memory to answer, near enough for the slots to stay cached.
    constexpr std::size_t l_ahead = 16;
    std::vector<ItemInfo> const& l_items = i_file.m_items;
    for (std::size_t l_index = 0; l_index < l_items.size(); ++l_index)
    {
        if (l_index + l_ahead < l_items.size())
            l_loader.Prefetch(l_items[l_index + l_ahead].m_type,
                              l_items[l_index + l_ahead].m_value);
        l_loader.Add(l_items[l_index].m_type, l_items[l_index].m_value);
    }
    l_loader.Connect(i_file.m_connections);
}
} // namespace

DataSaver::DataSaver()
{
    dataSaver = this;
}

void DataSaver::AddSavedType(std::string i_type)
{
    m_savedTypes.insert(d.GetType(i_type));
}

void DataSaver::AddSavedByConnectionType(std::string i_type, std::string i_connectedType)
{
    Type* lp_type = d.GetType(i_type);
    Type* lp_connectedType = d.GetType(i_connectedType);
    m_savedByConnectionTypes[lp_type].insert(lp_connectedType);
}

void DataSaver::AddDataLoadedEventHandler(DataLoadedEventHandler* ip_handler)
{
    m_dataLoadedEventHandlers.insert(ip_handler);
}

void DataSaver::RemoveDataLoadedEventHandler(DataLoadedEventHandler* ip_handler)
{
    m_dataLoadedEventHandlers.erase(ip_handler);
}

void DataSaver::EmitDataLoaded()
{
    // A handler may register another one.
    std::set<DataLoadedEventHandler*> const l_handlers = m_dataLoadedEventHandlers;
    for (DataLoadedEventHandler* lp_handler : l_handlers)
        lp_handler->DataLoaded();
}

bool DataSaver::IsSaved(Type* ip_type) const
{
    return m_savedTypes.contains(ip_type) || m_savedByConnectionTypes.contains(ip_type);
}

std::size_t DataSaver::Serialize()
{
    std::vector<Type*> l_types;
    std::vector<char> l_typeSaved;
    for (Type* lp_type : d.Types())
    {
        bool const l_saved = IsSaved(lp_type);
        if (l_saved)
            l_types.push_back(lp_type);
        if (l_typeSaved.size() <= lp_type->Serial())
            l_typeSaved.resize(lp_type->Serial() + 1);
        l_typeSaved[lp_type->Serial()] = l_saved;
    }

    FileWriter l_writer(m_head);
    l_writer.WriteType(FileWriter::Count(l_types.size()));

    // Ids are 1, 2, 3... in writing order: the item of id n is m_items[n - 1], and the item
    // holds its id, so that its partners find it without a table. Every item of a saved type is
    // given its id or 0 here, before any partner's id is read. The items of l_types[t] are
    // m_items[l_starts[t]] up to m_items[l_starts[t + 1]].
    m_items.clear();
    std::vector<std::size_t> l_starts;
    for (Type* lp_type : l_types)
    {
        l_starts.push_back(m_items.size());
        if (m_savedTypes.contains(lp_type))
            m_items.insert(m_items.end(), lp_type->Items().begin(), lp_type->Items().end());
        else
        {
            std::set<Type*, TypeLess> const& l_needed = m_savedByConnectionTypes.at(lp_type);
            for (Item* lp_item : lp_type->Items())
            {
                lp_item->m_fileId = 0;
                if (std::any_of(l_needed.begin(), l_needed.end(),
                                [lp_item](Type* ip_needed)
                                { return lp_item->IsConnected(ip_needed); }))
                    m_items.push_back(lp_item);
            }
        }

        l_writer.WriteString(lp_type->Name());
        l_writer.WriteType(lp_type->IsNull());
        l_writer.WriteType(FileWriter::Count(m_items.size() - l_starts.back()));
        for (std::size_t l_index = l_starts.back(); l_index < m_items.size(); ++l_index)
        {
            Item* lp_item = m_items[l_index];
            std::int32_t const l_id = FileWriter::Count(l_index + 1);
            lp_item->m_fileId = static_cast<std::uint32_t>(l_id);
            l_writer.WriteType(l_id);
            if (!lp_type->IsNull())
                l_writer.WriteString(lp_item->Value());
        }
    }
    l_starts.push_back(m_items.size());

    // Each connection once, from its end with the smaller id: partners of an earlier type are
    // passed over unread, since their ids are smaller. Items come in id order, their groups in
    // type order and the members of a group in serial order, so the pairs come out sorted; the
    // sort is only a safeguard. The items are far larger than the caches: partners, and the
    // items ahead, are fetched early, so that many reads wait for memory at once rather than
    // one after the other.
    constexpr std::size_t l_ahead = 16;
    ConnectionRecords& l_pairs = m_connections;
    l_pairs.clear();
    std::vector<std::pair<std::uint32_t, Item*>> l_pending;
    auto const l_lookUp = [&l_pairs, &l_pending]
    {
        for (auto const& l_entry : l_pending)
            __builtin_prefetch(&l_entry.second->m_fileId);
        for (auto const& [l_id, lp_partner] : l_pending)
            if (lp_partner->m_fileId > l_id)
                l_pairs.emplace_back(l_id, lp_partner->m_fileId);
        l_pending.clear();
    };
    for (std::size_t l_typeIndex = 0; l_typeIndex < l_types.size(); ++l_typeIndex)
    {
        std::uint64_t const l_typeSerial = l_types[l_typeIndex]->Serial();
        for (std::size_t l_index = l_starts[l_typeIndex]; l_index < l_starts[l_typeIndex + 1];
             ++l_index)
        {
            if (l_index + 2 * l_ahead < m_items.size())
                __builtin_prefetch(m_items[l_index + 2 * l_ahead]);
            if (l_index + l_ahead < m_items.size())
                __builtin_prefetch(m_items[l_index + l_ahead]->Connections().data());
            std::uint32_t const l_id = static_cast<std::uint32_t>(l_index + 1);
            for (Item::Connection const& l_group : m_items[l_index]->Connections())
            {
                std::uint64_t const l_groupSerial = l_group.mp_type->Serial();
                if (l_groupSerial < l_typeSerial || l_groupSerial >= l_typeSaved.size() ||
                    !l_typeSaved[l_groupSerial])
                    continue;
                for (Item* lp_partner : l_group.m_items)
                    l_pending.emplace_back(l_id, lp_partner);
            }
            if (l_pending.size() >= 4 * l_ahead)
                l_lookUp();
        }
    }
    l_lookUp();
    if (!std::is_sorted(l_pairs.begin(), l_pairs.end()))
        std::sort(l_pairs.begin(), l_pairs.end());

    l_writer.WriteType(FileWriter::Count(l_pairs.size()));
    return l_writer.Size();
}

int DataSaver::FinalTarget(QString const& i_path, QString& i_target)
{
    QString l_path = i_path;
    for (int l_followed = 0;; ++l_followed)
    {
        QByteArray const l_name = QFile::encodeName(l_path);
        struct stat l_status;
        if (::lstat(l_name.constData(), &l_status) != 0 || !S_ISLNK(l_status.st_mode))
            break;
        if (l_followed == g_maxLinks)
            return ELOOP;
        std::array<char, PATH_MAX> l_text;
        ssize_t const l_size = ::readlink(l_name.constData(), l_text.data(), l_text.size());
        if (l_size < 0)
            return errno;
        if (std::size_t(l_size) == l_text.size())
            return ENAMETOOLONG;
        QByteArray const l_target(l_text.data(), l_size);
        // A name that does not survive the trip through QString would lead the save elsewhere.
        QString const l_decoded = QFile::decodeName(l_target);
        if (QFile::encodeName(l_decoded) != l_target)
            return EILSEQ;
        l_path = l_target.startsWith('/')
                     ? l_decoded
                     : QFile::decodeName(FolderOf(l_path)) + QLatin1Char('/') + l_decoded;
    }
    i_target = l_path;
    return 0;
}

QString DataSaver::Save(QString i_path)
{
    std::size_t l_headSize = 0;
    QString l_reason;
    try
    {
        l_headSize = Serialize();
    }
    catch (DataSaveFailure const&)
    {
        l_reason = QStringLiteral("the store is too large");
    }
    catch (std::bad_alloc const&)
    {
        l_reason = QStringLiteral("out of memory");
    }
    // A data file kept as a link into another folder stays one: its target is written, so the
    // temporary file is made and renamed in the target's folder. Only a regular file is replaced
    // there: a device, a FIFO or a folder that the link leads to stays as it is.
    QString l_target;
    int l_error = FinalTarget(i_path, l_target);
    if (l_error == 0 && l_target != i_path && !IsReplaceable(l_target))
        l_reason = QStringLiteral("not a regular file");
    if (!l_reason.isEmpty())
    {
        Log(g_category, 1,
            QStringLiteral("Failure to save configuration data to %1: %2.").arg(i_path, l_reason));
        return l_reason;
    }

    // On a little-endian machine a pair of 32-bit numbers in memory is the file's connection
    // record, so the records are written as they are.
    static_assert(std::endian::native == std::endian::little &&
                  sizeof(ConnectionRecords::value_type) == 8);
    QString l_temporary;
    if (l_error == 0)
        l_error = WriteTemporary(
            l_target,
            std::array{std::string_view(m_head.data(), l_headSize),
                       std::string_view(reinterpret_cast<char const*>(m_connections.data()),
                                        8 * m_connections.size())},
            l_temporary);
    QByteArray const l_temporaryName = QFile::encodeName(l_temporary);
    if (l_error == 0 &&
        ::rename(l_temporaryName.constData(), QFile::encodeName(l_target).constData()) != 0)
        l_error = errno;
    if (l_error == 0)
    {
        SyncFolder(l_target);
        return QString();
    }
    l_reason = ErrorText(l_error);
    if (!l_target.isEmpty() && l_temporary.isEmpty())
        Log(g_category, 1,
            QStringLiteral("Failure to save configuration data: cannot create a file beside %1: "
                           "%2.")
                .arg(l_target, l_reason));
    else
    {
        if (!l_temporary.isEmpty())
            ::unlink(l_temporaryName.constData());
        Log(g_category, 1,
            QStringLiteral("Failure to save configuration data to %1: %2.").arg(i_path, l_reason));
    }
    return l_reason;
}

bool DataSaver::Load(QString i_path)
{
    std::unique_ptr<char[]> l_bytes;
    std::size_t l_size = 0;
    QString l_error;
    switch (ReadWholeFile(i_path, l_bytes, l_size, l_error))
    {
        case ReadResult::Missing:
            Log(g_category, 1, QStringLiteral("No data file found; a new one will be written."));
            EmitDataLoaded();
            return false;
        case ReadResult::Unreadable:
            Log(g_category, 1,
                QStringLiteral("Could not read the configuration data in %1: %2.")
                    .arg(i_path, l_error));
            EmitDataLoaded();
            throw DataLoadFailure();
        case ReadResult::Read:
            break;
    }

    FileReader l_reader(l_bytes.get(), l_size);
    ParsedFile l_file;
    try
    {
        l_file = Parse(l_reader, [this](Type* ip_type) { return IsSaved(ip_type); });
    }
    catch (DataLoadFailure const&)
    {
        QString const l_copy = KeepAside(i_path, l_bytes.get(), l_size);
        Log(g_category, 1,
            QStringLiteral("The configuration data in %1 is damaged (%2 at byte %3)%4.")
                .arg(i_path, l_reader.Reason(), QString::number(l_reader.Offset()),
                     l_copy.isEmpty() ? QString() : QStringLiteral("; kept as ") + l_copy));
        EmitDataLoaded();
        throw DataLoadFailure();
    }
    if (l_file.m_unrelatedConnections > 0)
        Log(g_category, 1,
            QStringLiteral("Skipped %1 connections of %2 between types that are not related.")
                .arg(l_file.m_unrelatedConnections)
                .arg(i_path));
    Apply(l_file);
    EmitDataLoaded();
    return true;
}
