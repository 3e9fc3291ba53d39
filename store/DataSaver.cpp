#include "DataSaver.h"

#include "Data.h"
#include "Log.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

DataSaver* dataSaver = nullptr;

namespace
{
QString const g_category = QStringLiteral("Configuration Data");

// An open-addressing table from a non-zero 64-bit key to a 32-bit number: the id of an item
// while saving, the place of an id while loading. Sized once for its number of keys.
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
        m_keys.assign(l_size, 0);
        m_values.resize(l_size);
    }

    // Sets the number of the key, replacing the one it had.
    void Put(std::uint64_t i_key, std::uint32_t i_value)
    {
        std::size_t l_slot = Slot(i_key);
        while (m_keys[l_slot] != 0 && m_keys[l_slot] != i_key)
            l_slot = (l_slot + 1) & m_mask;
        m_keys[l_slot] = i_key;
        m_values[l_slot] = i_value;
    }

    // The number of the key, or null when the key was never put.
    std::uint32_t const* Find(std::uint64_t i_key) const
    {
        for (std::size_t l_slot = Slot(i_key); m_keys[l_slot] != 0; l_slot = (l_slot + 1) & m_mask)
            if (m_keys[l_slot] == i_key)
                return &m_values[l_slot];
        return nullptr;
    }

private:
    std::size_t Slot(std::uint64_t i_key) const
    {
        return static_cast<std::size_t>((i_key * 0x9E3779B97F4A7C15ULL) >> m_shift);
    }

    int m_shift;
    std::size_t m_mask;
    std::vector<std::uint64_t> m_keys;
    std::vector<std::uint32_t> m_values;
};

std::uint64_t ItemKey(Item* ip_item)
{
    return reinterpret_cast<std::uintptr_t>(ip_item);
}

std::uint64_t IdKey(std::int32_t i_id)
{
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(i_id)) + 1;
}

// Builds the file's bytes in memory, so that the file itself is written in one go.
class FileWriter
{
public:
    void WriteType(std::int32_t i_value)
    {
        char l_bytes[4];
        qToLittleEndian(i_value, l_bytes);
        m_bytes.append(l_bytes, sizeof l_bytes);
    }
    void WriteType(bool i_value) { m_bytes.push_back(i_value ? 1 : 0); }
    void WriteString(std::string const& i_value)
    {
        WriteType(Count(i_value.size()));
        m_bytes.append(i_value);
    }
    // A count or length as the file holds it; one beyond its range cannot be saved.
    static std::int32_t Count(std::size_t i_count)
    {
        if (i_count > INT32_MAX)
            throw DataSaveFailure();
        return static_cast<std::int32_t>(i_count);
    }
    std::string& Bytes() { return m_bytes; }

private:
    std::string m_bytes;
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
            Fail(QStringLiteral("a count of %1 that the rest of the file cannot hold").arg(l_count));
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

QString ErrorText(int i_error)
{
    return QString::fromLocal8Bit(std::strerror(i_error));
}

// Creates the first free name that i_name gives for 0, 1, 2..., readable and writable by the
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

// Writes every byte and flushes them to the disk; returns 0 or the error.
int WriteAndSync(int i_fd, char const* ip_bytes, std::size_t i_size)
{
    while (i_size > 0)
    {
        ssize_t const l_written = ::write(i_fd, ip_bytes, std::min<std::size_t>(i_size, 1 << 30));
        if (l_written < 0 && errno == EINTR)
            continue;
        if (l_written <= 0)
            return l_written < 0 ? errno : EIO;
        ip_bytes += l_written;
        i_size -= static_cast<std::size_t>(l_written);
    }
    return ::fsync(i_fd) == 0 ? 0 : errno;
}

// Makes a rename in the folder of i_path durable; a failure only weakens that.
void SyncFolder(QString const& i_path)
{
    QByteArray l_folder = QFile::encodeName(i_path);
    qsizetype const l_slash = l_folder.lastIndexOf('/');
    l_folder = l_slash < 0 ? QByteArray(".") : l_folder.left(l_slash == 0 ? 1 : l_slash);
    int const l_fd = ::open(l_folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (l_fd < 0)
        return;
    ::fsync(l_fd);
    ::close(l_fd);
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
    int const l_fd = ::open(QFile::encodeName(i_path).constData(), O_RDONLY | O_CLOEXEC);
    if (l_fd < 0)
    {
        i_error = ErrorText(errno);
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Unreadable;
    }
    struct stat l_status;
    if (::fstat(l_fd, &l_status) != 0 || !S_ISREG(l_status.st_mode))
    {
        i_error = QStringLiteral("not a regular file");
        ::close(l_fd);
        return ReadResult::Unreadable;
    }
    std::size_t const l_size = static_cast<std::size_t>(l_status.st_size);
    i_bytes = std::make_unique_for_overwrite<char[]>(l_size);
    i_size = 0;
    while (i_size < l_size)
    {
        ssize_t const l_read = ::read(l_fd, i_bytes.get() + i_size, l_size - i_size);
        if (l_read < 0 && errno == EINTR)
            continue;
        if (l_read < 0)
        {
            i_error = ErrorText(errno);
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
                                 : QStringLiteral("%1.bad.%2").arg(i_path).arg(i_number);
        },
        l_name);
    if (l_fd < 0)
    {
        Log(g_category, 1,
            QStringLiteral("Could not keep a copy of %1: %2.").arg(i_path, ErrorText(errno)));
        return QString();
    }
    int const l_error = WriteAndSync(l_fd, ip_bytes, i_size);
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

std::string DataSaver::Serialize() const
{
    std::vector<Type*> l_types;
    std::uint64_t l_lastSerial = 0;
    for (Type* lp_type : d.Types())
        if (IsSaved(lp_type))
        {
            l_types.push_back(lp_type);
            l_lastSerial = std::max(l_lastSerial, lp_type->Serial());
        }
    std::vector<char> l_typeSaved(l_lastSerial + 1, 0);
    for (Type* lp_type : l_types)
        l_typeSaved[lp_type->Serial()] = 1;

    FileWriter l_writer;
    l_writer.WriteType(FileWriter::Count(l_types.size()));

    // Ids are 1, 2, 3... in writing order: the item of id n is l_items[n - 1].
    std::vector<Item*> l_items;
    for (Type* lp_type : l_types)
    {
        ItemSet const l_all = lp_type->GetItems();
        std::vector<Item*> l_written;
        if (m_savedTypes.contains(lp_type))
            l_written.assign(l_all.begin(), l_all.end());
        else
        {
            std::set<Type*, TypeLess> const& l_needed = m_savedByConnectionTypes.at(lp_type);
            for (Item* lp_item : l_all)
                if (std::any_of(l_needed.begin(), l_needed.end(),
                                [lp_item](Type* ip_needed) { return lp_item->IsConnected(ip_needed); }))
                    l_written.push_back(lp_item);
        }

        l_writer.WriteString(lp_type->Name());
        l_writer.WriteType(lp_type->IsNull());
        l_writer.WriteType(FileWriter::Count(l_written.size()));
        for (Item* lp_item : l_written)
        {
            l_items.push_back(lp_item);
            l_writer.WriteType(FileWriter::Count(l_items.size()));
            if (!lp_type->IsNull())
                l_writer.WriteString(lp_item->Value());
        }
    }

    KeyTable l_ids(l_items.size());
    for (std::size_t l_index = 0; l_index < l_items.size(); ++l_index)
        l_ids.Put(ItemKey(l_items[l_index]), static_cast<std::uint32_t>(l_index + 1));

    // Each connection once, from its end with the smaller id. Items come in id order, their
    // groups in type order and the members of a group in serial order, so the pairs come out
    // sorted; the sort is only a safeguard.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> l_pairs;
    for (std::size_t l_index = 0; l_index < l_items.size(); ++l_index)
    {
        std::uint32_t const l_id = static_cast<std::uint32_t>(l_index + 1);
        for (Item::Connection const& l_group : l_items[l_index]->Connections())
        {
            if (l_group.mp_type->Serial() > l_lastSerial || !l_typeSaved[l_group.mp_type->Serial()])
                continue;
            for (Item* lp_partner : l_group.m_items)
            {
                std::uint32_t const* lp_partnerId = l_ids.Find(ItemKey(lp_partner));
                if (lp_partnerId && *lp_partnerId > l_id)
                    l_pairs.emplace_back(l_id, *lp_partnerId);
            }
        }
    }
    if (!std::is_sorted(l_pairs.begin(), l_pairs.end()))
        std::sort(l_pairs.begin(), l_pairs.end());

    l_writer.WriteType(FileWriter::Count(l_pairs.size()));
    std::string& l_bytes = l_writer.Bytes();
    std::size_t l_offset = l_bytes.size();
    l_bytes.resize(l_offset + 8 * l_pairs.size());
    for (auto const& [l_first, l_second] : l_pairs)
    {
        qToLittleEndian(static_cast<std::int32_t>(l_first), l_bytes.data() + l_offset);
        qToLittleEndian(static_cast<std::int32_t>(l_second), l_bytes.data() + l_offset + 4);
        l_offset += 8;
    }
    return std::move(l_bytes);
}

void DataSaver::Save(QString i_path)
{
    std::string l_bytes;
    try
    {
        l_bytes = Serialize();
    }
    catch (DataSaveFailure const&)
    {
        Log(g_category, 1,
            QStringLiteral("Failure to save configuration data to %1: the store is too large.")
                .arg(i_path));
        return;
    }

    QString l_temporary;
    int const l_fd = CreateFirstFree(
        [&i_path](int i_number) { return QStringLiteral("%1.%2").arg(i_path).arg(i_number + 1); },
        l_temporary);
    if (l_fd < 0)
    {
        Log(g_category, 1,
            QStringLiteral("Failure to save configuration data: cannot create a file beside %1: "
                           "%2.")
                .arg(i_path, ErrorText(errno)));
        return;
    }
    QByteArray const l_temporaryName = QFile::encodeName(l_temporary);
    int l_error = WriteAndSync(l_fd, l_bytes.data(), l_bytes.size());
    if (::close(l_fd) != 0 && l_error == 0)
        l_error = errno;
    if (l_error == 0 && ::rename(l_temporaryName.constData(), QFile::encodeName(i_path).constData()) != 0)
        l_error = errno;
    if (l_error != 0)
    {
        ::unlink(l_temporaryName.constData());
        Log(g_category, 1,
            QStringLiteral("Failure to save configuration data to %1: %2.")
                .arg(i_path, ErrorText(l_error)));
        return;
    }
    SyncFolder(i_path);
}

void DataSaver::Load(QString i_path)
{
    std::unique_ptr<char[]> l_bytes;
    std::size_t l_size = 0;
    QString l_error;
    switch (ReadWholeFile(i_path, l_bytes, l_size, l_error))
    {
        case ReadResult::Missing:
            EmitDataLoaded();
            return;
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
        l_file = Parse(l_reader);
    }
    catch (DataLoadFailure const&)
    {
        QString const l_copy = KeepAside(i_path, l_bytes.get(), l_size);
        Log(g_category, 1,
            QStringLiteral("The configuration data in %1 is damaged (%2 at byte %3)%4.")
                .arg(i_path, l_reader.Reason())
                .arg(l_reader.Offset())
                .arg(l_copy.isEmpty() ? QString() : QStringLiteral("; kept as ") + l_copy));
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
}
