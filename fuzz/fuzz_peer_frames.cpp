#include "FuzzChecks.h"
#include "FuzzClient.h"
#include "PeerDialer.h"
#include "PeerMessenger.h"
#include "PeerScene.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace
{
constexpr int maxRedials = 2;
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzClient& l_client = FuzzClient::Instance();
    l_client.ListenForPeers();
    l_client.ResetStore();
    return 0;
}

// Bytes from another user's client on a connection to this client's listening port, from the
// first byte on: the first message, then peer messages, in plain or obfuscated frames. The first
// byte of the input chooses the port (odd: obfuscated); the rest is a run of chunks, each a length
// byte and that many bytes (fewer at the end), written one at a time with the client reading each
// before the next. A length byte of 0 resets the connection and dials again, on the other port;
// only the first few count. Each input starts from an empty store with relayed requests pending
// and a search made (see PeerScene.h).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    if (i_size == 0)
        return 0;
    FuzzClient& l_client = FuzzClient::Instance();
    PeerMessenger& l_messenger = l_client.Messenger();
    PeerScene::Plant();
    bool l_obfuscated = (ip_data[0] & 1) != 0;
    const auto l_port = [&]
    { return l_obfuscated ? l_messenger.ObfuscatedListeningPort() : l_messenger.ListeningPort(); };
    PeerDialer l_dialer;
    Require(l_dialer.Dial(l_port()), "the client accepts a connection");
    std::size_t l_offset = 1;
    int l_redials = 0;
    while (l_offset < i_size)
    {
        const std::size_t l_length =
            std::min<std::size_t>(ip_data[l_offset], i_size - l_offset - 1);
        if (ip_data[l_offset] == 0 && ++l_redials <= maxRedials)
        {
            l_dialer.Close();
            l_obfuscated = !l_obfuscated;
            Require(l_dialer.Dial(l_port()), "the client accepts another connection");
        }
        else if (l_length > 0)
            l_dialer.Send(reinterpret_cast<const char*>(ip_data + l_offset + 1),
                          qsizetype(l_length));
        l_offset += 1 + l_length;
    }
    l_dialer.Close();
    l_client.ResetStore();
    return 0;
}
