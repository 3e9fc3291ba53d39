#pragma once

#include "MemStream.h"

#include <QtGlobal>

#include <optional>

// A peer message whose body travels compressed: the u32 code, then the zlib stream (level 9) of
// the whole unread body, with no length before it; the stream runs to the end of the message.
// None when it cannot be made (memory ran out, or a body too long for one zlib pass).
std::optional<MemStream> CompressedMessage(quint32 i_code, const MemStream& i_body);
