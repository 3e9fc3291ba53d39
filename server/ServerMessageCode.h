#pragma once

#include <QtGlobal>

// Codes of the messages exchanged with the central server; the numbers are the wire's.
namespace ServerMessageCode
{
constexpr quint32 Login = 1;
constexpr quint32 SetWaitPort = 2;
constexpr quint32 GetUserAddress = 3;
constexpr quint32 AddUser = 5;
constexpr quint32 RemoveUser = 6;
constexpr quint32 GetUserStatus = 7;
constexpr quint32 RoomChat = 13;
constexpr quint32 EnterRoom = 14;
constexpr quint32 LeaveRoom = 15;
constexpr quint32 UserJoinedRoom = 16;
constexpr quint32 UserLeftRoom = 17;
constexpr quint32 ConnectToPeer = 18;
constexpr quint32 PrivateChat = 22;
constexpr quint32 AcknowledgePrivateChat = 23;
constexpr quint32 FileSearch = 26;
constexpr quint32 SharedFoldersFiles = 35;
constexpr quint32 GetUserStats = 36;
constexpr quint32 RoomList = 64;
constexpr quint32 PrivilegedUsers = 69;
constexpr quint32 DNetHasParent = 71;
constexpr quint32 DNetParentMinSpeed = 83;
constexpr quint32 DNetParentSpeedConnectionRatio = 84;
constexpr quint32 PrivilegesStatus = 92;
constexpr quint32 DNetMessage = 93;
constexpr quint32 DNetCanParent = 100;
constexpr quint32 PossibleParents = 102;
constexpr quint32 WishListSearch = 103;
constexpr quint32 WishListWait = 104;
constexpr quint32 UploadSpeed = 121;
constexpr quint32 DNetLevel = 126;
constexpr quint32 DNetGroupLeader = 127;
constexpr quint32 DNetDeliveryReport = 128;
constexpr quint32 DNetChildDepth = 129;
constexpr quint32 DNetReset = 130;
constexpr quint32 PrivateRoomMembers = 133;
constexpr quint32 AddPrivateRoomMember = 134;
constexpr quint32 RemovePrivateRoomMember = 135;
constexpr quint32 GiveUpPrivateRoomMembership = 136;
constexpr quint32 GiveUpPrivateRoom = 137;
constexpr quint32 PrivateRoomAdded = 139;
constexpr quint32 PrivateRoomRemoved = 140;
constexpr quint32 EnablePrivateRoomAdd = 141;
constexpr quint32 AddPrivateRoomOperator = 143;
constexpr quint32 RemovePrivateRoomOperator = 144;
constexpr quint32 OwnOperatorStatus = 145;
constexpr quint32 PrivateRoomOperators = 148;
constexpr quint32 SearchCorrelations = 153;
constexpr quint32 CantConnectToPeer = 1001;
} // namespace ServerMessageCode
