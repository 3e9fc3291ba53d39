#pragma once

#include "InputStream.h"
#include "OutputStream.h"
#include "rcptr.h"

// An in-memory byte stream that one writes at its end and reads from its front. Copies share the
// bytes and both indexes: reading through one copy advances the others, so a message body passed
// by value costs one count increment, never a copy of its bytes.
class MemStream : public virtual InputStream, public virtual OutputStream
{
public:
    // The shared storage: bytes [0, m_writeIndex) are held, [m_readIndex, m_writeIndex) unread.
    // Bytes before the read index stay until Reset.
    class Buffer
    {
    public:
        explicit Buffer(qint32 i_size);
        ~Buffer();
        Buffer(const Buffer&) = delete;
        Buffer& operator=(const Buffer&) = delete;

        qint32 m_readIndex = 0;
        qint32 m_writeIndex = 0;
        qint32 m_bufferSize;
        char* mp_data;
    };

    MemStream();
    MemStream(const MemStream&) = default;
    MemStream& operator=(const MemStream&) = default;
    ~MemStream() override;

    bool ReadBuffer(void* i_destination, unsigned long i_length) override;
    // Appends the bytes; fails, writing nothing, only when the stream would outgrow 2^31 - 1 bytes.
    bool WriteBuffer(const void* i_source, unsigned long i_length) override;

    qint32 GetPendingReadLength() const;
    // The first unread byte; valid until the array is replaced by a write or EnsureBufferCapacity.
    char* GetReadBuffer();
    const char* GetReadBuffer() const;

    // Receiving a frame straight into the array: on an empty stream, make room for i_size bytes,
    // place up to that many at GetWriteBuffer, then AdvanceWriteIndex by their number.
    void EnsureBufferCapacity(qint32 i_size);
    char* GetWriteBuffer();
    qint32 GetWriteIndex() const;
    qint32 GetBufferSize() const;
    void AdvanceWriteIndex(qint32 i_length);
    // Forgets every byte and keeps the capacity.
    void Reset();

protected:
    bool CanRead(unsigned long i_length) const override;

private:
    rcptr<Buffer> mp_buffer;
};
