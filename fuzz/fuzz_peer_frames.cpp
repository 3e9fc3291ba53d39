#include "CentralStandIn.h"
#include "FuzzChecks.h"
#include "FuzzClient.h"
#include "MemStream.h"
#include "PeerDialer.h"
#include "PeerMessenger.h"
#include "PeerScene.h"
#include "Server.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace
{
constexpr int maxRedials = 2;
constexpr int userAddressCode = 3;
constexpr int relayedRequestCode = 18;
constexpr quint32 loopbackAddress = 0x7f000001;
constexpr quint32 relayedToken = 7;
const char* const connectionTypes[] = {"P", "F", "D", "P"};

// The server's answer to the client's request for eve's address (code 3), or eve's request
// relayed by the server (code 18): she listens on this side's port, obfuscated when asked.
void TellWhereEveListens(int i_code, const char* ip_type, bool i_obfuscated)
{
    const quint32 l_port = PeerDialer::ListeningPort();
    MemStream l_message;
    l_message.Write(std::string("eve"));
    if (i_code == relayedRequestCode)
        l_message.Write(std::string(ip_type));
    l_message.Write(loopbackAddress);
    l_message.Write(l_port);
    if (i_code == relayedRequestCode)
    {
        l_message.Write(relayedToken);
        l_message.Write(quint8(0));
    }
    l_message.Write(quint32(i_obfuscated ? 1 : 0));
    if (i_code == relayedRequestCode)
        l_message.Write(l_port);
    else
        l_message.Write(quint16(l_port));
    FuzzClient::Instance().Client().HandleMessage(i_code, l_message);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzClient& l_client = FuzzClient::Instance();
    l_client.ListenForPeers();
    l_client.ResetStore();
    return 0;
}

// Bytes from another user's client on a connection to this client's listening port, from the
// first byte on: the first message, then peer messages, in plain or obfuscated frames; or, on a
// connection that the client dialed, what comes after the client's first message. The first byte
// of the input chooses: bit 0 obfuscation (the port dialed, or the one eve gives), bits 1-2 who
// dials (1: the client, having asked for eve's address; 2: the client, answering eve's request
// relayed by the server; else eve, who dials in), bits 3-4 the type of a connection the client
// dials (0 or 3: messaging, 1: file, 2: distributed). The rest is a run of chunks, each a length
// byte and that many bytes (fewer at the end), written one at a time with the client reading each
// before the next. A length byte of 0 resets the connection and dials again, on the other port;
// only the first few count. Each input starts, the client logged in, from an empty store with
// relayed requests pending and a search made (see PeerScene.h).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    if (i_size == 0)
        return 0;
    FuzzClient& l_client = FuzzClient::Instance();
    PeerMessenger& l_messenger = l_client.Messenger();
    l_client.LogIn();
    PeerScene::Plant();
    bool l_obfuscated = (ip_data[0] & 1) != 0;
    const auto l_port = [&]
    { return l_obfuscated ? l_messenger.ObfuscatedListeningPort() : l_messenger.ListeningPort(); };
    const int l_caller = (ip_data[0] >> 1) & 3;
    const char* lp_type = connectionTypes[(ip_data[0] >> 3) & 3];
    PeerDialer l_dialer;
    if (l_caller == 1)
        Require(l_dialer.Answer(
                    [&]
                    {
                        l_messenger.ConnectToUser("eve", lp_type);
                        TellWhereEveListens(userAddressCode, lp_type, l_obfuscated);
                    }),
                "the client dials eve");
    else if (l_caller == 2)
        Require(l_dialer.Answer(
                    [&] { TellWhereEveListens(relayedRequestCode, lp_type, l_obfuscated); }),
                "the client answers eve's request");
    else
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
    l_client.Central().Drain();
    l_client.ResetStore();
    return 0;
}
