#include "FileConnectionReceiver.h"

#include "WireReader.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>
#include <QtEndian>

#include <memory>

namespace
{
// Longest silence of the other side.
constexpr int waitMs = 60000;
constexpr qsizetype readSize = 1 << 20;
} // namespace

FileConnectionReceiver::FileConnectionReceiver(qint64 i_expected, const QString& i_path,
                                               quint16 i_port)
    : m_expected(i_expected), m_path(i_path)
{
    m_server.listen(QHostAddress(QHostAddress::LocalHost), i_port);
    m_server.moveToThread(this);
}

void FileConnectionReceiver::run()
{
    std::unique_ptr<QTcpSocket> lp_socket;
    // A messaging connection that the client opens to the same user is not the one awaited.
    while (!lp_socket)
    {
        if (!m_server.waitForNewConnection(waitMs))
            return;
        lp_socket.reset(m_server.nextPendingConnection());
        // The first message's frame, then the 4-byte token.
        QByteArray l_opening;
        while (l_opening.size() < 4 ||
               l_opening.size() < 4 + qFromLittleEndian<quint32>(l_opening.constData()) + 4)
        {
            if (lp_socket->bytesAvailable() == 0 && !lp_socket->waitForReadyRead(waitMs))
                return;
            l_opening += lp_socket->read(1);
        }
        WireReader l_reader(l_opening.mid(5));
        l_reader.ReadString();
        if (l_reader.ReadString() != "F")
            lp_socket.reset();
    }
    m_server.close();
    QFile l_file(m_path);
    if (!m_path.isEmpty() && !l_file.open(QIODevice::WriteOnly))
        return;
    lp_socket->write(QByteArray(8, '\0'));
    QByteArray l_buffer(readSize, Qt::Uninitialized);
    while (m_received.load() < m_expected)
    {
        if (lp_socket->bytesAvailable() == 0 && !lp_socket->waitForReadyRead(waitMs))
            return;
        const qint64 l_read = lp_socket->read(l_buffer.data(), l_buffer.size());
        if (l_read < 0 || (l_file.isOpen() && l_file.write(l_buffer.constData(), l_read) != l_read))
            return;
        m_received += l_read;
    }
    lp_socket->close();
}
