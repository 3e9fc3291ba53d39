#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

#include <optional>

class WireReader;

// Builders of everything a test peer puts on a peer connection, written byte by byte without the
// client's stream classes. Bodies are unframed; Frame and ObfuscatedFrame wrap them.
class TestPeerMessages
{
public:
    using Attribute = QPair<quint32, quint32>;
    using TranslationTable = QList<QPair<qint32, QByteArray>>;

    // One shared file as it travels in share lists and search replies.
    struct File
    {
        QByteArray name; // path with "\" between folders
        quint64 size = 0;
        QByteArray extension;
        QList<Attribute> attributes; // (code, value); 0 bitrate, 1 seconds, 2 variable bitrate
    };

    struct Folder
    {
        QByteArray name;
        QList<File> files;
    };

    static constexpr quint32 kMaxFrameLength = 10485760;

    // First messages: direction 1 (the sender connects directly) and direction 0 (the sender
    // answers a relayed request that carried the token).
    static QByteArray PeerInit(const QByteArray& i_user, const QByteArray& i_type,
                               quint32 i_trailing = 0);
    static QByteArray PierceFirewall(quint32 i_token);

    // Framing: u32 length and the body; the obfuscated form is the key and the transformed frame.
    static QByteArray Frame(const QByteArray& i_body);
    static QByteArray ObfuscatedFrame(const QByteArray& i_body, quint32 i_key);
    // The first 4 (8 obfuscated) bytes of a frame of that length, for lengths not worth building.
    static QByteArray FrameHeader(quint32 i_length);
    static QByteArray ObfuscatedFrameHeader(quint32 i_length, quint32 i_key);

    // A peer message body: the u32 code, then the fields.
    static QByteArray Message(quint32 i_code, const QByteArray& i_fields);
    // The u32 code, then the content as one zlib stream (codes 5 and 9).
    static QByteArray CompressedMessage(quint32 i_code, const QByteArray& i_content);

    // zlib: compress2 at the given level; a stream that inflates to i_count zero bytes, made
    // without holding them; inflation that fails past i_cap bytes or on a broken stream.
    static QByteArray Compress(const QByteArray& i_plain, int i_level = 9);
    static QByteArray CompressedZeros(quint64 i_count);
    static std::optional<QByteArray> Inflate(const QByteArray& i_stream, qsizetype i_cap);

    // Records and the contents of the compressed messages.
    static QByteArray FileRecord(const File& i_file);
    static QByteArray ShareListContent(const QList<Folder>& i_folders,
                                       const TranslationTable& i_table = {});
    static QByteArray SearchReplyContent(const QByteArray& i_user, quint32 i_token,
                                         const QList<File>& i_files, quint8 i_freeSlot,
                                         quint32 i_speed, quint32 i_queueLength,
                                         const TranslationTable& i_table = {});

    // Readers of the contents that the client compresses, checked to the last byte; nullopt
    // when the bytes are anything else.
    struct ShareList
    {
        QList<Folder> folders;
        TranslationTable table;
    };
    // Code 37: the token, the folder name twice as requested, the files and the end marker.
    struct FolderContents
    {
        quint32 token = 0;
        QByteArray folder;
        quint32 folderCount = 0;
        QByteArray folderAgain;
        QList<File> files;
        quint32 endMarker = 0;
    };
    // Code 9: who answers, the search's token, the files and what the uploader offers.
    struct SearchReply
    {
        QByteArray user;
        quint32 token = 0;
        QList<File> files;
        quint8 freeSlot = 0;
        quint32 speed = 0;
        quint32 queueLength = 0;
        // The client sends no attribute texts: only their count is read.
        quint32 tableCount = 0;
    };
    static std::optional<ShareList> ReadShareListContent(const QByteArray& i_content);
    static std::optional<SearchReply> ReadSearchReplyContent(const QByteArray& i_content);
    static std::optional<FolderContents> ReadFolderContents(const QByteArray& i_content);
    // The content of a compressed message body (code first), inflated.
    static std::optional<QByteArray> CompressedContent(quint32 i_code, const QByteArray& i_body);

    // Peer message bodies, code first.
    static QByteArray GetSharedFileList();                                                 // 4
    static QByteArray SharedFileList(const QByteArray& i_content);                         // 5
    static QByteArray FileSearchResult(const QByteArray& i_content);                       // 9
    static QByteArray GetSharedFilesInFolder(quint32 i_token, const QByteArray& i_folder); // 36
    // 40; the size is written only when given.
    static QByteArray TransferRequest(quint32 i_direction, quint32 i_token,
                                      const QByteArray& i_file, std::optional<quint64> i_size);
    // 41 allowed; the size is written only when given.
    static QByteArray TransferAllowed(quint32 i_token, std::optional<quint64> i_size);
    static QByteArray TransferDenied(quint32 i_token, const QByteArray& i_reason);        // 41
    static QByteArray QueueUpload(const QByteArray& i_file);                              // 43
    static QByteArray UploadPlaceInLine(const QByteArray& i_file, quint32 i_place);       // 44
    static QByteArray UploadFailed(const QByteArray& i_file);                             // 46
    static QByteArray UploadDenied(const QByteArray& i_file, const QByteArray& i_reason); // 50

    // Distributed messages: one code byte, then the fields; framed plain with Frame.
    static QByteArray DistributedMessage(quint8 i_code, const QByteArray& i_fields);
    static QByteArray DistributedEmbedded(quint32 i_innerCode, const QByteArray& i_fields); // 3
    static QByteArray DistributedSearch(const QByteArray& i_user, quint32 i_token,
                                        const QByteArray& i_text);        // 3, inner 49
    static QByteArray DistributedLevel(qint32 i_level);                   // 4
    static QByteArray DistributedGroupLeader(const QByteArray& i_leader); // 5
    static QByteArray DistributedChildDepth(quint32 i_depth);             // 7

private:
    static std::optional<File> ReadFileRecord(WireReader& io_reader);
    // A u32 count and that many records.
    static bool ReadFileRecords(WireReader& io_reader, QList<File>& o_files);
};
