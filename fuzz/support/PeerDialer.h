#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <functional>

// Another user's client on 127.0.0.1, dialing this client's listening ports or answering on a port
// of its own when the client dials it: a plain socket outside the event loop, so that what it
// writes reaches the client exactly as written. After every write the event loop runs until the
// client has read the bytes and handled what they made it queue; whatever the client sends back is
// thrown away. The connection ends with a reset, so that neither side keeps it waiting: tens of
// thousands of them would make new connections slow.
class PeerDialer
{
public:
    PeerDialer() = default;
    PeerDialer(const PeerDialer&) = delete;
    PeerDialer& operator=(const PeerDialer&) = delete;
    ~PeerDialer();

    // Connects to the port and runs the event loop until the client has accepted the connection
    // (an uninitialized socket item stands for it); false when it did not.
    bool Dial(quint16 i_port);
    // The port where this side listens for the client, the only one besides the client's own that
    // the network guard lets the client dial: fuzzed addresses that name it lead the client here.
    static quint16 ListeningPort();
    // Resets the connections that wait there from earlier, has the client dial (i_dial), and runs
    // the event loop until the client has connected and sent its first message, which is thrown
    // away, or closed the connection; false when it did not connect.
    bool Answer(const std::function<void()>& i_dial);

    // Writes the bytes and lets the client read them. A connection that the client has reset is
    // closed here, and nothing more is written on it.
    void Send(const char* ip_bytes, qsizetype i_size);
    void Send(const QByteArray& i_bytes) { Send(i_bytes.constData(), i_bytes.size()); }
    // Runs the event loop once and throws away what the client sent.
    void Drain();
    // Resets the connection.
    void Close();

private:
    void Discard();

    int m_socket = -1;
};
