#pragma once

#include "InputStream.h"

#include <zlib.h>

#include <vector>

// Reads a zlib stream as it inflates, a window at a time, so that decoding a compressed body
// holds what it decodes and not the whole inflated body besides. The output is capped: past the
// cap, as on a broken stream, reads fail.
class InflatingInputStream final : public InputStream
{
public:
    InflatingInputStream(const char* ip_data, qint64 i_length, qint64 i_cap);
    ~InflatingInputStream() override;
    InflatingInputStream(const InflatingInputStream&) = delete;
    InflatingInputStream& operator=(const InflatingInputStream&) = delete;

    bool ReadBuffer(void* i_destination, unsigned long i_length) override;
    // Inflates what is left unread; true when the stream ended well within the cap.
    bool Finish();
    // Bytes inflated so far.
    qint64 Inflated() const { return m_inflated; }

protected:
    bool CanRead(unsigned long i_length) const override;

private:
    // Inflates until i_length bytes are waiting or the stream can give no more.
    bool Fill(unsigned long i_length);

    z_stream m_stream{};
    qint64 m_cap;
    qint64 m_inflated = 0;
    bool m_ended = false;
    bool m_failed = false;
    std::vector<char> m_window;
    std::size_t m_start = 0;
    std::size_t m_end = 0;
};
