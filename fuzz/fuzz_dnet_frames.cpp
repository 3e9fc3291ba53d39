#include "PeerScene.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzClient::Instance().ListenForPeers();
    return 0;
}

// Bytes on a distributed connection as the node's frame reader receives them, after the first
// message that hands the connection over to it. The first byte of the input chooses: bit 0 the
// side (set: a child, "kid", connected directly; clear: a parent candidate, "dan", answering the
// client's relayed request), bit 1 the obfuscated port for the first message, bit 2 whether the
// first chunk goes in one write with the first message, so that it waits in the socket before the
// hand-over. The rest is a run of chunks, each a length byte and that many bytes (fewer at the
// end), written one at a time with the client reading each before the next. Each input starts
// from an empty store.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    if (i_size == 0)
        return 0;
    const bool l_child = (ip_data[0] & 1) != 0;
    const bool l_obfuscated = (ip_data[0] & 2) != 0;
    const bool l_together = (ip_data[0] & 4) != 0;
    FuzzClient& l_client = FuzzClient::Instance();
    PeerMessenger& l_messenger = l_client.Messenger();
    PeerScene::Plant();
    PeerDialer l_peer;
    Require(l_peer.Dial(l_obfuscated ? l_messenger.ObfuscatedListeningPort()
                                     : l_messenger.ListeningPort()),
            "the client accepts a connection");
    // Bytes to go with the next chunk.
    QByteArray l_pending =
        l_child ? PeerScene::DirectFirstMessage("kid", "D", l_obfuscated)
                : PeerScene::RelayedFirstMessage(PeerScene::distributedToken, l_obfuscated);
    if (!l_together)
    {
        l_peer.Send(l_pending);
        l_pending.clear();
        Require(d.GetType(l_child ? "dnet_child" : "dnet_parent_candidate")->ItemCount() == 1,
                "the node takes the connection");
    }
    ForEachChunk(ip_data + 1, i_size - 1,
                 [&](std::uint8_t, const std::uint8_t* ip_chunk, std::size_t i_length)
                 {
                     l_pending.append(reinterpret_cast<const char*>(ip_chunk), qsizetype(i_length));
                     l_peer.Send(l_pending);
                     l_pending.clear();
                 });
    if (!l_pending.isEmpty())
        l_peer.Send(l_pending);
    l_peer.Close();
    l_client.ResetStore();
    return 0;
}
