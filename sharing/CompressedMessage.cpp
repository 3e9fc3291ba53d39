#include "CompressedMessage.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <memory>
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
    Deflater() : m_ready(deflateInit(&m_stream, Z_BEST_COMPRESSION) == Z_OK) {}
    ~Deflater()
    {
        if (m_ready)
            deflateEnd(&m_stream);
    }
    bool IsReady() const { return m_ready; }
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
    bool m_ready;
};

// Made on first use and kept once made, so that a failure to make it fails one message only.
Deflater* ThreadDeflater()
{
    thread_local std::unique_ptr<Deflater> tp_deflater;
    if (!tp_deflater)
    {
        auto lp_made = std::make_unique<Deflater>();
        if (lp_made->IsReady())
            tp_deflater = std::move(lp_made);
    }
    return tp_deflater.get();
}
} // namespace

std::optional<MemStream> CompressedMessage(quint32 i_code, const MemStream& i_body)
{
    const qint64 l_pending = i_body.GetPendingReadLength();
    // One pass takes at most what zlib's 32-bit counts hold, output room included.
    if (l_pending < 0 || l_pending > qint64(std::numeric_limits<uInt>::max() / 2 - 12))
        return std::nullopt;
    const uLong l_length = static_cast<uLong>(l_pending);
    // Twice the body and 12 bytes always hold level 9's output; compressBound covers the empty
    // body too. With room enough, running out of memory is the only failure.
    const uLong l_room = std::max<uLong>(2 * l_length + 12, compressBound(l_length));
    std::vector<Bytef> l_packed;
    Deflater* lp_deflater = nullptr;
    try
    {
        l_packed.resize(l_room);
        lp_deflater = ThreadDeflater();
    }
    catch (const std::bad_alloc&)
    {
        return std::nullopt;
    }
    if (!lp_deflater)
        return std::nullopt;
    const std::optional<uLong> l_packedSize = lp_deflater->Deflate(
        reinterpret_cast<const Bytef*>(i_body.GetReadBuffer()), l_length, l_packed.data(), l_room);
    if (!l_packedSize)
        return std::nullopt;

    MemStream l_message;
    l_message.Write(i_code);
    l_message.WriteBuffer(l_packed.data(), *l_packedSize);
    return l_message;
}
