#pragma once

#include <QtGlobal>

// Codes of the messages exchanged between users on a peer connection; the numbers are the wire's.
namespace PeerMessageCode
{
constexpr quint32 Say = 1;
constexpr quint32 GetSharedFileList = 4;
constexpr quint32 SharedFileList = 5;
constexpr quint32 FileSearchRequest = 8;
constexpr quint32 FileSearchResult = 9;
constexpr quint32 InviteUserToRoom = 10;
constexpr quint32 CancelledQueuedTransfer = 14;
constexpr quint32 UserInfoRequest = 15;
constexpr quint32 UserInfoReply = 16;
constexpr quint32 SendConnectToken = 33;
constexpr quint32 MoveDownloadToTop = 34;
constexpr quint32 GetSharedFilesInFolder = 36;
constexpr quint32 SharedFilesInFolder = 37;
constexpr quint32 TransferRequest = 40;
constexpr quint32 TransferResponse = 41;
constexpr quint32 PlaceholdUpload = 42;
constexpr quint32 QueueUpload = 43;
constexpr quint32 UploadPlaceInLine = 44;
constexpr quint32 UploadFailed = 46;
constexpr quint32 ExactFileSearchRequest = 47;
constexpr quint32 QueuedDownloads = 48;
constexpr quint32 IndirectFileSearchRequest = 49;
constexpr quint32 UploadDenied = 50;
constexpr quint32 UploadPlaceInLineRequest = 51;
constexpr quint32 Nothing = 52;
} // namespace PeerMessageCode

// The first message on a new peer connection, a single byte rather than a u32.
namespace PeerInitCode
{
// Answers a connection request that came through the server, naming its token.
constexpr quint8 PierceFirewall = 0;
// Opens a connection of this client's own, naming the user and the connection type.
constexpr quint8 PeerInit = 1;
} // namespace PeerInitCode

// The direction field of a transfer request.
namespace TransferDirection
{
// The sender offers to upload: the request carries the file's size.
constexpr quint32 Upload = 1;
} // namespace TransferDirection
