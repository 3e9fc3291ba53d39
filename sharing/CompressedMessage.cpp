#include "CompressedMessage.h"

#include <zlib.h>

#include <algorithm>
#include <new>
#include <vector>

MemStream CompressedMessage(quint32 i_code, const MemStream& i_body)
{
    const uLong l_length = static_cast<uLong>(i_body.GetPendingReadLength());
    // Twice the body and 12 bytes always hold level 9's output; compressBound covers the empty
    // body too. With room enough, running out of memory is the only failure.
    uLongf l_packedSize = std::max<uLong>(2 * l_length + 12, compressBound(l_length));
    std::vector<Bytef> l_packed(l_packedSize);
    if (compress2(l_packed.data(), &l_packedSize,
                  reinterpret_cast<const Bytef*>(i_body.GetReadBuffer()), l_length,
                  Z_BEST_COMPRESSION) != Z_OK)
        throw std::bad_alloc();

    MemStream l_message;
    l_message.Write(i_code);
    l_message.WriteBuffer(l_packed.data(), l_packedSize);
    return l_message;
}
