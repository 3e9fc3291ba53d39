#pragma once

#include "MemStream.h"

#include <QtGlobal>

// A peer message whose body travels compressed: the u32 code, then the zlib stream (level 9) of
// the whole unread body, with no length before it; the stream runs to the end of the message.
MemStream CompressedMessage(quint32 i_code, const MemStream& i_body);
