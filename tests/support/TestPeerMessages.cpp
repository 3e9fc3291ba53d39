#include "TestPeerMessages.h"

#include "TestObfuscation.h"
#include "WireReader.h"
#include "WireWriter.h"

#include <zlib.h>

namespace
{
constexpr qsizetype g_zlibChunk = 65536;

void WriteTable(WireWriter& io_writer, const TestPeerMessages::TranslationTable& i_table)
{
    io_writer.WriteU32(quint32(i_table.size()));
    for (const auto& l_entry : i_table)
        io_writer.WriteI32(l_entry.first).WriteString(l_entry.second);
}

// Reads the fields in turn; nullopt unless every field is whole and every byte is read.
template <typename T, typename Fields>
std::optional<T> ReadWhole(const QByteArray& i_content, Fields i_fields)
{
    WireReader l_reader(i_content);
    T l_value;
    if (!i_fields(l_reader, l_value) || !l_reader.Ok() || !l_reader.AtEnd())
        return std::nullopt;
    return l_value;
}
} // namespace

QByteArray TestPeerMessages::PeerInit(const QByteArray& i_user, const QByteArray& i_type,
                                      quint32 i_trailing)
{
    WireWriter l_writer;
    l_writer.WriteU8(1).WriteString(i_user).WriteString(i_type).WriteU32(i_trailing);
    return l_writer.Bytes();
}

QByteArray TestPeerMessages::PierceFirewall(quint32 i_token)
{
    WireWriter l_writer;
    l_writer.WriteU8(0).WriteU32(i_token);
    return l_writer.Bytes();
}

QByteArray TestPeerMessages::Frame(const QByteArray& i_body)
{
    return WireWriter::LengthPrefixed(i_body);
}

QByteArray TestPeerMessages::ObfuscatedFrame(const QByteArray& i_body, quint32 i_key)
{
    return TestObfuscation::Obfuscate(Frame(i_body), i_key);
}

QByteArray TestPeerMessages::FrameHeader(quint32 i_length)
{
    WireWriter l_writer;
    l_writer.WriteU32(i_length);
    return l_writer.Bytes();
}

QByteArray TestPeerMessages::ObfuscatedFrameHeader(quint32 i_length, quint32 i_key)
{
    // The transformation runs byte by byte, so the header alone transforms as it does in a frame.
    return TestObfuscation::Obfuscate(FrameHeader(i_length), i_key);
}

QByteArray TestPeerMessages::Message(quint32 i_code, const QByteArray& i_fields)
{
    WireWriter l_writer;
    l_writer.WriteU32(i_code).WriteRaw(i_fields);
    return l_writer.Bytes();
}

QByteArray TestPeerMessages::CompressedMessage(quint32 i_code, const QByteArray& i_content)
{
    return Message(i_code, Compress(i_content));
}

QByteArray TestPeerMessages::Compress(const QByteArray& i_plain, int i_level)
{
    uLongf l_length = compressBound(uLong(i_plain.size()));
    QByteArray l_stream(qsizetype(l_length), '\0');
    const int l_result = compress2(reinterpret_cast<Bytef*>(l_stream.data()), &l_length,
                                   reinterpret_cast<const Bytef*>(i_plain.constData()),
                                   uLong(i_plain.size()), i_level);
    if (l_result != Z_OK)
        qFatal("compress2 failed with %d", l_result);
    l_stream.resize(qsizetype(l_length));
    return l_stream;
}

QByteArray TestPeerMessages::CompressedZeros(quint64 i_count)
{
    z_stream l_zip{};
    if (deflateInit(&l_zip, 9) != Z_OK)
        qFatal("deflateInit failed");
    const QByteArray l_zeros(g_zlibChunk, '\0');
    QByteArray l_out(g_zlibChunk, '\0');
    QByteArray l_stream;
    quint64 l_left = i_count;
    int l_result = Z_OK;
    do
    {
        const uInt l_take = uInt(qMin<quint64>(l_left, quint64(l_zeros.size())));
        l_zip.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(l_zeros.constData()));
        l_zip.avail_in = l_take;
        l_left -= l_take;
        const int l_flush = l_left == 0 ? Z_FINISH : Z_NO_FLUSH;
        do
        {
            l_zip.next_out = reinterpret_cast<Bytef*>(l_out.data());
            l_zip.avail_out = uInt(l_out.size());
            l_result = deflate(&l_zip, l_flush);
            l_stream.append(l_out.constData(), l_out.size() - qsizetype(l_zip.avail_out));
        } while (l_zip.avail_out == 0);
    } while (l_result != Z_STREAM_END);
    deflateEnd(&l_zip);
    return l_stream;
}

std::optional<QByteArray> TestPeerMessages::Inflate(const QByteArray& i_stream, qsizetype i_cap)
{
    z_stream l_zip{};
    if (inflateInit(&l_zip) != Z_OK)
        return std::nullopt;
    l_zip.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(i_stream.constData()));
    l_zip.avail_in = uInt(i_stream.size());
    QByteArray l_plain;
    QByteArray l_out(g_zlibChunk, '\0');
    int l_result = Z_OK;
    while (l_result == Z_OK)
    {
        l_zip.next_out = reinterpret_cast<Bytef*>(l_out.data());
        l_zip.avail_out = uInt(l_out.size());
        l_result = inflate(&l_zip, Z_NO_FLUSH);
        const qsizetype l_produced = l_out.size() - qsizetype(l_zip.avail_out);
        if (l_plain.size() + l_produced > i_cap)
        {
            l_result = Z_BUF_ERROR;
            break;
        }
        l_plain.append(l_out.constData(), l_produced);
        // Input exhausted without the stream's end: a truncated stream.
        if (l_result == Z_OK && l_zip.avail_in == 0 && l_zip.avail_out != 0)
            l_result = Z_DATA_ERROR;
    }
    inflateEnd(&l_zip);
    if (l_result != Z_STREAM_END)
        return std::nullopt;
    return l_plain;
}

QByteArray TestPeerMessages::FileRecord(const File& i_file)
{
    WireWriter l_writer;
    l_writer.WriteU8(1)
        .WriteString(i_file.name)
        .WriteU64(i_file.size)
        .WriteString(i_file.extension);
    l_writer.WriteU32(quint32(i_file.attributes.size()));
    for (const Attribute& l_attribute : i_file.attributes)
        l_writer.WriteU32(l_attribute.first).WriteU32(l_attribute.second);
    return l_writer.Bytes();
}

QByteArray TestPeerMessages::ShareListContent(const QList<Folder>& i_folders,
                                              const TranslationTable& i_table)
{
    WireWriter l_writer;
    l_writer.WriteU32(quint32(i_folders.size()));
    for (const Folder& l_folder : i_folders)
    {
        l_writer.WriteString(l_folder.name).WriteU32(quint32(l_folder.files.size()));
        for (const File& l_file : l_folder.files)
            l_writer.WriteRaw(FileRecord(l_file));
    }
    WriteTable(l_writer, i_table);
    return l_writer.Bytes();
}

QByteArray TestPeerMessages::SearchReplyContent(const QByteArray& i_user, quint32 i_token,
                                                const QList<File>& i_files, quint8 i_freeSlot,
                                                quint32 i_speed, quint32 i_queueLength,
                                                const TranslationTable& i_table)
{
    WireWriter l_writer;
    l_writer.WriteString(i_user).WriteU32(i_token).WriteU32(quint32(i_files.size()));
    for (const File& l_file : i_files)
        l_writer.WriteRaw(FileRecord(l_file));
    l_writer.WriteU8(i_freeSlot).WriteU32(i_speed).WriteU32(i_queueLength);
    WriteTable(l_writer, i_table);
    return l_writer.Bytes();
}

std::optional<TestPeerMessages::File> TestPeerMessages::ReadFileRecord(WireReader& io_reader)
{
    // The client writes every record whole.
    if (io_reader.ReadU8() != 1)
        return std::nullopt;
    File l_file;
    l_file.name = io_reader.ReadString();
    l_file.size = io_reader.ReadU64();
    l_file.extension = io_reader.ReadString();
    const quint32 l_count = io_reader.ReadU32();
    for (quint32 l_index = 0; l_index < l_count && io_reader.Ok(); ++l_index)
    {
        const quint32 l_code = io_reader.ReadU32();
        l_file.attributes.append({l_code, io_reader.ReadU32()});
    }
    if (!io_reader.Ok())
        return std::nullopt;
    return l_file;
}

bool TestPeerMessages::ReadFileRecords(WireReader& io_reader, QList<File>& o_files)
{
    const quint32 l_count = io_reader.ReadU32();
    for (quint32 l_index = 0; l_index < l_count && io_reader.Ok(); ++l_index)
    {
        const std::optional<File> l_file = ReadFileRecord(io_reader);
        if (!l_file)
            return false;
        o_files.append(*l_file);
    }
    return io_reader.Ok();
}

std::optional<TestPeerMessages::ShareList>
TestPeerMessages::ReadShareListContent(const QByteArray& i_content)
{
    WireReader l_reader(i_content);
    ShareList l_list;
    const quint32 l_folders = l_reader.ReadU32();
    for (quint32 l_index = 0; l_index < l_folders && l_reader.Ok(); ++l_index)
    {
        Folder l_folder;
        l_folder.name = l_reader.ReadString();
        if (!ReadFileRecords(l_reader, l_folder.files))
            return std::nullopt;
        l_list.folders.append(l_folder);
    }
    const quint32 l_entries = l_reader.ReadU32();
    for (quint32 l_index = 0; l_index < l_entries && l_reader.Ok(); ++l_index)
    {
        const qint32 l_code = l_reader.ReadI32();
        l_list.table.append({l_code, l_reader.ReadString()});
    }
    if (!l_reader.Ok() || !l_reader.AtEnd())
        return std::nullopt;
    return l_list;
}

std::optional<TestPeerMessages::SearchReply>
TestPeerMessages::ReadSearchReplyContent(const QByteArray& i_content)
{
    return ReadWhole<SearchReply>(i_content,
                                  [](WireReader& io_reader, SearchReply& o_reply)
                                  {
                                      o_reply.user = io_reader.ReadString();
                                      o_reply.token = io_reader.ReadU32();
                                      if (!ReadFileRecords(io_reader, o_reply.files))
                                          return false;
                                      o_reply.freeSlot = io_reader.ReadU8();
                                      o_reply.speed = io_reader.ReadU32();
                                      o_reply.queueLength = io_reader.ReadU32();
                                      o_reply.tableCount = io_reader.ReadU32();
                                      return true;
                                  });
}

std::optional<TestPeerMessages::FolderContents>
TestPeerMessages::ReadFolderContents(const QByteArray& i_content)
{
    return ReadWhole<FolderContents>(i_content,
                                     [](WireReader& io_reader, FolderContents& o_contents)
                                     {
                                         o_contents.token = io_reader.ReadU32();
                                         o_contents.folder = io_reader.ReadString();
                                         o_contents.folderCount = io_reader.ReadU32();
                                         o_contents.folderAgain = io_reader.ReadString();
                                         if (!ReadFileRecords(io_reader, o_contents.files))
                                             return false;
                                         o_contents.endMarker = io_reader.ReadU32();
                                         return true;
                                     });
}

std::optional<QByteArray> TestPeerMessages::CompressedContent(quint32 i_code,
                                                              const QByteArray& i_body)
{
    WireReader l_reader(i_body);
    if (l_reader.ReadU32() != i_code || !l_reader.Ok())
        return std::nullopt;
    return Inflate(l_reader.ReadRest(), 256 * 1024 * 1024);
}

QByteArray TestPeerMessages::GetSharedFileList()
{
    return Message(4, QByteArray());
}

QByteArray TestPeerMessages::SharedFileList(const QByteArray& i_content)
{
    return CompressedMessage(5, i_content);
}

QByteArray TestPeerMessages::FileSearchResult(const QByteArray& i_content)
{
    return CompressedMessage(9, i_content);
}

QByteArray TestPeerMessages::GetSharedFilesInFolder(quint32 i_token, const QByteArray& i_folder)
{
    WireWriter l_writer;
    l_writer.WriteU32(i_token).WriteString(i_folder);
    return Message(36, l_writer.Bytes());
}

QByteArray TestPeerMessages::TransferRequest(quint32 i_direction, quint32 i_token,
                                             const QByteArray& i_file,
                                             std::optional<quint64> i_size)
{
    WireWriter l_writer;
    l_writer.WriteU32(i_direction).WriteU32(i_token).WriteString(i_file);
    if (i_size)
        l_writer.WriteU64(*i_size);
    return Message(40, l_writer.Bytes());
}

QByteArray TestPeerMessages::TransferAllowed(quint32 i_token, std::optional<quint64> i_size)
{
    WireWriter l_writer;
    l_writer.WriteU32(i_token).WriteU8(1);
    if (i_size)
        l_writer.WriteU64(*i_size);
    return Message(41, l_writer.Bytes());
}

QByteArray TestPeerMessages::TransferDenied(quint32 i_token, const QByteArray& i_reason)
{
    WireWriter l_writer;
    l_writer.WriteU32(i_token).WriteU8(0).WriteString(i_reason);
    return Message(41, l_writer.Bytes());
}

QByteArray TestPeerMessages::QueueUpload(const QByteArray& i_file)
{
    WireWriter l_writer;
    l_writer.WriteString(i_file);
    return Message(43, l_writer.Bytes());
}

QByteArray TestPeerMessages::UploadPlaceInLine(const QByteArray& i_file, quint32 i_place)
{
    WireWriter l_writer;
    l_writer.WriteString(i_file).WriteU32(i_place);
    return Message(44, l_writer.Bytes());
}

QByteArray TestPeerMessages::UploadFailed(const QByteArray& i_file)
{
    WireWriter l_writer;
    l_writer.WriteString(i_file);
    return Message(46, l_writer.Bytes());
}

QByteArray TestPeerMessages::UploadDenied(const QByteArray& i_file, const QByteArray& i_reason)
{
    WireWriter l_writer;
    l_writer.WriteString(i_file).WriteString(i_reason);
    return Message(50, l_writer.Bytes());
}

QByteArray TestPeerMessages::DistributedMessage(quint8 i_code, const QByteArray& i_fields)
{
    WireWriter l_writer;
    l_writer.WriteU8(i_code).WriteRaw(i_fields);
    return l_writer.Bytes();
}

QByteArray TestPeerMessages::DistributedEmbedded(quint32 i_innerCode, const QByteArray& i_fields)
{
    WireWriter l_writer;
    l_writer.WriteU32(i_innerCode).WriteRaw(i_fields);
    return DistributedMessage(3, l_writer.Bytes());
}

QByteArray TestPeerMessages::DistributedSearch(const QByteArray& i_user, quint32 i_token,
                                               const QByteArray& i_text)
{
    WireWriter l_writer;
    l_writer.WriteString(i_user).WriteU32(i_token).WriteString(i_text);
    return DistributedEmbedded(49, l_writer.Bytes());
}

QByteArray TestPeerMessages::DistributedLevel(qint32 i_level)
{
    WireWriter l_writer;
    l_writer.WriteI32(i_level);
    return DistributedMessage(4, l_writer.Bytes());
}

QByteArray TestPeerMessages::DistributedGroupLeader(const QByteArray& i_leader)
{
    WireWriter l_writer;
    l_writer.WriteString(i_leader);
    return DistributedMessage(5, l_writer.Bytes());
}

QByteArray TestPeerMessages::DistributedChildDepth(quint32 i_depth)
{
    WireWriter l_writer;
    l_writer.WriteU32(i_depth);
    return DistributedMessage(7, l_writer.Bytes());
}
