#pragma once

class InputStream;

// A record that reads itself from a stream.
class StreamReadable
{
public:
    // Returns false as soon as one underlying read fails; the record may then be partly filled.
    virtual bool Read(InputStream& i_stream) = 0;

protected:
    StreamReadable() = default;
    StreamReadable(const StreamReadable&) = default;
    StreamReadable& operator=(const StreamReadable&) = default;
    // Records are never deleted through this interface.
    ~StreamReadable() = default;
};
