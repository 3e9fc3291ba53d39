#include "OutputStream.h"

OutputStream::~OutputStream() = default;

bool OutputStream::Write(const std::string& i_value)
{
    if (!Write(static_cast<quint32>(i_value.size())))
        return false;
    return WriteBuffer(i_value.data(), i_value.size());
}
