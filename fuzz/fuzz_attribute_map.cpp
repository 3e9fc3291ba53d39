#include "AttributeMap.h"
#include "StreamChecks.h"

// A shared file's extension and attribute pairs, as peers send them, one after another.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    CheckValueRun<AttributeMap>(ip_data, i_size);
    return 0;
}
