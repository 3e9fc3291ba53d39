#include "StreamChecks.h"
#include "UserStats.h"

// User statistics records as the server sends them, one after another.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    CheckValueRun<UserStats>(ip_data, i_size);
    return 0;
}
