#include "CentralStandIn.h"
#include "PeerScene.h"
#include "Server.h"

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
    FuzzClient::Instance().ListenForPeers();
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
    int l_redials = 0;
    ForEachChunk(ip_data + 1, i_size - 1,
                 [&](std::uint8_t i_lengthByte, const std::uint8_t* ip_chunk, std::size_t i_length)
                 {
                     if (i_lengthByte == 0 && ++l_redials <= maxRedials)
                     {
                         l_dialer.Close();
                         l_obfuscated = !l_obfuscated;
                         Require(l_dialer.Dial(l_port()), "the client accepts another connection");
                     }
                     else if (i_length > 0)
                         l_dialer.Send(reinterpret_cast<const char*>(ip_chunk),
                                       qsizetype(i_length));
                 });
    l_dialer.Close();
    l_client.Central().Drain();
    l_client.ResetStore();
    return 0;
}
