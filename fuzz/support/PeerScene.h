#pragma once

// What the targets that play another user use besides.
#include "FuzzClient.h"
#include "PeerDialer.h"
#include "PeerMessenger.h"

#include <QTcpSocket>

// What another user's bytes can refer to, planted in an empty store as the client's own actions
// leave it, so that a fuzzer can find it from the seeds: the relayed connection requests that the
// client has pending (it asked the server to have these users connect to it), one search of the
// client, queued downloads from "bob" and "eve" and a public shared file "\\share\\music\\song.mp3"
// that nothing on disk holds. Also the first messages that the targets send, framed as on the wire.
class PeerScene
{
public:
    // Relayed requests pending under these tokens: a messaging connection from "ann", a file
    // connection from "fay" and a distributed connection from "dan".
    static constexpr quint32 messagingToken = 1;
    static constexpr quint32 fileToken = 2;
    static constexpr quint32 distributedToken = 3;
    // The token of the client's search "query".
    static constexpr quint32 searchToken = 1;
    // The downloads of "f.bin" from bob and eve, in the remote folder "..\\up" that climbs
    // upwards and saved with that folder; their owners have asked to send them under this token,
    // so a file connection that names it starts the download.
    static constexpr quint32 transferToken = 5;
    static constexpr qint64 downloadSize = 64;

    static void Plant();

    // A first message of a direct connection, and one that answers a relayed request: a frame,
    // obfuscated with a fixed key when asked.
    static QByteArray DirectFirstMessage(const char* ip_user, const char* ip_type,
                                         bool i_obfuscated);
    static QByteArray RelayedFirstMessage(quint32 i_token, bool i_obfuscated);

    // Plants the scene, then "bob" opens a messaging connection to the client's listening port
    // through the dialer and comes online, so that the downloads from him are queued with him and
    // uploads to him may start; the client's socket of it.
    static QTcpSocket* BobConnects(PeerDialer& i_bob);
    // Ends the connection of a refused message, as the reading loop ends it.
    static void Drop(QTcpSocket* ip_socket);
    // A peer message of the code whose body is the bytes compressed at the level.
    static MemStream Compressed(quint32 i_code, const std::uint8_t* ip_data, std::size_t i_size,
                                int i_level);
};
