#include "CentralStandIn.h"
#include "FuzzChecks.h"
#include "FuzzClient.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace
{
constexpr int maxReconnections = 2;
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzClient::Instance();
    return 0;
}

// Bytes from the central server as the client's socket receives them, from the login on: the
// input is a run of chunks, each a length byte and that many bytes (fewer at the end), written
// one at a time with the client reading each before the next, so that frames arrive whole, cut
// anywhere, or several in one read. A length byte of 0 drops the connection, whatever frame is
// half received, and the client connects again; only the first few count, since each costs as
// much as many chunks. Each input starts from an empty store.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    FuzzClient& l_client = FuzzClient::Instance();
    CentralStandIn& l_central = l_client.Central();
    Require(l_central.Open(), "the client connects and sends its login");
    std::size_t l_offset = 0;
    int l_reconnections = 0;
    while (l_offset < i_size)
    {
        const std::size_t l_length =
            std::min<std::size_t>(ip_data[l_offset], i_size - l_offset - 1);
        if (ip_data[l_offset] == 0 && ++l_reconnections <= maxReconnections)
            Require(l_central.Close() && l_central.Open(), "the client connects again");
        else if (l_length > 0)
            l_central.Send(reinterpret_cast<const char*>(ip_data + l_offset + 1),
                           qsizetype(l_length));
        l_offset += 1 + l_length;
    }
    Require(l_central.Close(), "the client notices the end of the connection");
    l_client.ResetStore();
    return 0;
}
