#pragma once

#include <QtGlobal>

// Codes of the messages of the distributed search tree, a single byte on the wire.
namespace DistributedMessageCode
{
// Carries a peer message, a search request, from the tree's root down.
constexpr quint8 EmbeddedMessage = 3;
constexpr quint8 Level = 4;
constexpr quint8 GroupLeader = 5;
constexpr quint8 ChildDepth = 7;
} // namespace DistributedMessageCode
