#include "FileInfo.h"
#include "StreamChecks.h"

namespace
{
// Records compare by name and size only; a read must also keep the attributes.
bool SameRecord(const FileInfo& i_a, const FileInfo& i_b)
{
    return i_a == i_b && i_a.m_attributes == i_b.m_attributes;
}
} // namespace

// File records as peers send them, end markers included, one after another.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    CheckValueRun<FileInfo>(ip_data, i_size, SameRecord);
    return 0;
}
