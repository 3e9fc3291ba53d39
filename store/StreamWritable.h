#pragma once

class OutputStream;

// A record that writes itself to a stream.
class StreamWritable
{
public:
    // Returns false as soon as one underlying write fails.
    virtual bool Write(OutputStream& i_stream) const = 0;

protected:
    StreamWritable() = default;
    StreamWritable(const StreamWritable&) = default;
    StreamWritable& operator=(const StreamWritable&) = default;
    // Records are never deleted through this interface.
    ~StreamWritable() = default;
};
