#include "CompressedMessage.h"

#include <zlib.h>

#include <algorithm>
#include <new>
#include <optional>
#include <vector>

namespace
{
// One compressor per thread, reset for each message: making one costs more than compressing a
// search reply, and a reset one writes the same bytes as compress2 at that level.
class Deflater
{
public:
    Deflater()
    {
        if (deflateInit(&m_stream, Z_BEST_COMPRESSION) != Z_OK)
            throw std::bad_alloc();
    }
    ~Deflater() { deflateEnd(&m_stream); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // The size written, or none when the room was too small.
    std::optional<uLong> Deflate(const Bytef* ip_in, uLong i_length, Bytef* ip_out, uLong i_room)
    {
        if (deflateReset(&m_stream) != Z_OK)
            return std::nullopt;
        m_stream.next_in = const_cast<Bytef*>(ip_in);
        m_stream.avail_in = uInt(i_length);
        m_stream.next_out = ip_out;
        m_stream.avail_out = uInt(i_room);
        if (deflate(&m_stream, Z_FINISH) != Z_STREAM_END)
            return std::nullopt;
        return m_stream.total_out;
    }

private:
    z_stream m_stream{};
};
} // namespace

MemStream CompressedMessage(quint32 i_code, const MemStream& i_body)
{
    const uLong l_length = static_cast<uLong>(i_body.GetPendingReadLength());
    // Twice the body and 12 bytes always hold level 9's output; compressBound covers the empty
    // body too. With room enough, running out of memory is the only failure.
    const uLong l_room = std::max<uLong>(2 * l_length + 12, compressBound(l_length));
    std::vector<Bytef> l_packed(l_room);
    thread_local Deflater t_deflater;
    const std::optional<uLong> l_packedSize = t_deflater.Deflate(
        reinterpret_cast<const Bytef*>(i_body.GetReadBuffer()), l_length, l_packed.data(), l_room);
    if (!l_packedSize)
        throw std::bad_alloc();

    MemStream l_message;
    l_message.Write(i_code);
    l_message.WriteBuffer(l_packed.data(), *l_packedSize);
    return l_message;
}
