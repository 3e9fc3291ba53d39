#include "InputStream.h"

#include <cstring>
#include <memory>

InputStream::~InputStream() = default;

bool InputStream::CanRead(unsigned long) const
{
    return true;
}

namespace
{
// Strings up to this length are read through the stack: reading into a string that already has
// room allocates nothing, and the source need not be asked first whether the bytes are there.
constexpr quint32 stackStringLength = 256;

std::size_t ValueLength(const char* i_bytes, std::size_t i_length)
{
    const void* lp_zero = std::memchr(i_bytes, 0, i_length);
    return lp_zero ? static_cast<std::size_t>(static_cast<const char*>(lp_zero) - i_bytes)
                   : i_length;
}
} // namespace

bool InputStream::Read(std::string& i_value)
{
    quint32 l_length;
    if (!Read(l_length))
        return false;
    if (l_length > MaxReadLength)
        return false;
    if (l_length <= stackStringLength)
    {
        char l_bytes[stackStringLength];
        if (!ReadBuffer(l_bytes, l_length))
            return false;
        i_value.assign(l_bytes, ValueLength(l_bytes, l_length));
        return true;
    }
    if (!CanRead(l_length))
        return false;
    std::unique_ptr<char[]> lp_bytes(new char[l_length]);
    if (!ReadBuffer(lp_bytes.get(), l_length))
        return false;
    i_value.assign(lp_bytes.get(), ValueLength(lp_bytes.get(), l_length));
    return true;
}
