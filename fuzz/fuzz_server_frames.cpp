#include "CentralStandIn.h"
#include "FuzzClient.h"

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
    int l_reconnections = 0;
    ForEachChunk(
        ip_data, i_size,
        [&](std::uint8_t i_lengthByte, const std::uint8_t* ip_chunk, std::size_t i_length)
        {
            if (i_lengthByte == 0 && ++l_reconnections <= maxReconnections)
                Require(l_central.Close() && l_central.Open(), "the client connects again");
            else if (i_length > 0)
                l_central.Send(reinterpret_cast<const char*>(ip_chunk), qsizetype(i_length));
        });
    Require(l_central.Close(), "the client notices the end of the connection");
    l_client.ResetStore();
    return 0;
}
