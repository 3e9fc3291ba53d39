// A central server on 127.0.0.1 for trying the client on one machine without a network:
//   test_server [port]        (default 2242)
// Any user name logs in; the first login of a name sets its password for the run.

#include "TestServer.h"

#include <QCoreApplication>

#include <cstdio>

namespace
{
// Names are bytes from the network: show them without control characters.
QByteArray Printable(const QByteArray& i_bytes)
{
    QByteArray l_shown = i_bytes;
    for (char& l_char : l_shown)
    {
        if (quint8(l_char) < 0x20 || l_char == 0x7F)
        {
            l_char = '?';
        }
    }
    return l_shown;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication l_application(argc, argv);

    quint16 l_port = TestServer::kDefaultPort;
    const QStringList l_arguments = QCoreApplication::arguments();
    if (l_arguments.size() > 2)
    {
        std::fprintf(stderr, "usage: test_server [port]\n");
        return 2;
    }
    if (l_arguments.size() == 2)
    {
        bool l_ok = false;
        const uint l_value = l_arguments.at(1).toUInt(&l_ok);
        if (!l_ok || l_value == 0 || l_value > 65535)
        {
            std::fprintf(stderr, "test_server: invalid port %s\n", argv[1]);
            return 2;
        }
        l_port = quint16(l_value);
    }

    TestServer l_server;
    l_server.SetRecording(false);
    if (!l_server.Listen(l_port))
    {
        std::fprintf(stderr, "test_server: cannot listen on 127.0.0.1:%u\n", unsigned(l_port));
        return 1;
    }
    std::printf("test_server: listening on 127.0.0.1:%u\n", unsigned(l_server.Port()));
    std::fflush(stdout);

    QObject::connect(&l_server, &TestServer::ClientConnected,
                     [](int i_connection)
                     {
                         std::printf("connection %d opened\n", i_connection);
                         std::fflush(stdout);
                     });
    QObject::connect(&l_server, &TestServer::ClientDisconnected,
                     [](int i_connection)
                     {
                         std::printf("connection %d closed\n", i_connection);
                         std::fflush(stdout);
                     });
    QObject::connect(&l_server, &TestServer::LoggedIn,
                     [](int i_connection, const QByteArray& i_user)
                     {
                         std::printf("connection %d logged in as %s\n", i_connection,
                                     Printable(i_user).constData());
                         std::fflush(stdout);
                     });
    QObject::connect(&l_server, &TestServer::LoginRefused,
                     [](int i_connection, const QByteArray& i_user, const QByteArray& i_reason)
                     {
                         std::printf("connection %d refused as %s: %s\n", i_connection,
                                     Printable(i_user).constData(),
                                     Printable(i_reason).constData());
                         std::fflush(stdout);
                     });
    QObject::connect(&l_server, &TestServer::FrameReceived,
                     [](int i_connection, quint32 i_code, const QByteArray& i_body)
                     {
                         std::printf("connection %d sent message %u (%lld bytes)\n", i_connection,
                                     i_code, static_cast<long long>(i_body.size()));
                         std::fflush(stdout);
                     });

    return l_application.exec();
}
