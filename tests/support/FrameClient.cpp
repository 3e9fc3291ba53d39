#include "FrameClient.h"

#include "WireReader.h"
#include "WireWriter.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>

FrameClient::FrameClient(QObject* ip_parent) : QObject(ip_parent), mp_socket(new QTcpSocket(this))
{
    connect(mp_socket, &QTcpSocket::readyRead, this, &FrameClient::OnReadyRead);
}

bool FrameClient::Connect(quint16 i_port, int i_timeoutMs)
{
    mp_socket->connectToHost(QHostAddress(QHostAddress::LocalHost), i_port);
    return QTest::qWaitFor([this]() { return IsConnected(); }, i_timeoutMs);
}

bool FrameClient::IsConnected() const
{
    return mp_socket->state() == QAbstractSocket::ConnectedState;
}

bool FrameClient::WaitForDisconnected(int i_timeoutMs)
{
    return QTest::qWaitFor(
        [this]() { return mp_socket->state() == QAbstractSocket::UnconnectedState; }, i_timeoutMs);
}

void FrameClient::Close()
{
    mp_socket->disconnectFromHost();
}

void FrameClient::SendMessage(quint32 i_code, const QByteArray& i_fields)
{
    SendRaw(WireWriter::Frame(i_code, i_fields));
}

void FrameClient::SendRaw(const QByteArray& i_bytes)
{
    mp_socket->write(i_bytes);
    mp_socket->flush();
}

bool FrameClient::WaitForWritten(int i_timeoutMs)
{
    return QTest::qWaitFor([this]() { return mp_socket->bytesToWrite() == 0; }, i_timeoutMs);
}

std::optional<QByteArray> FrameClient::Take(quint32 i_code, int i_timeoutMs)
{
    qsizetype l_index = -1;
    const auto l_find = [this, i_code, &l_index]()
    {
        for (qsizetype l_i = 0; l_i < m_frames.size(); ++l_i)
        {
            if (m_frames[l_i].code == i_code)
            {
                l_index = l_i;
                return true;
            }
        }
        return false;
    };
    if (!l_find() && !QTest::qWaitFor(l_find, i_timeoutMs))
    {
        return std::nullopt;
    }
    return m_frames.takeAt(l_index).fields;
}

std::optional<FrameClient::Frame> FrameClient::TakeNext(int i_timeoutMs)
{
    if (m_frames.isEmpty() &&
        !QTest::qWaitFor([this]() { return !m_frames.isEmpty(); }, i_timeoutMs))
    {
        return std::nullopt;
    }
    return m_frames.takeFirst();
}

void FrameClient::OnReadyRead()
{
    ++m_readCount;
    m_input.append(mp_socket->readAll());
    qsizetype l_offset = 0;
    while (m_input.size() - l_offset >= 4)
    {
        const quint32 l_length = WireReader(m_input.mid(l_offset, 4)).ReadU32();
        if (l_length < 4 || l_length > kMaxFrameLength)
        {
            qWarning("frame client: frame length %u refused, closing", l_length);
            m_input.clear();
            mp_socket->abort();
            return;
        }
        if (quint64(m_input.size() - l_offset - 4) < l_length)
        {
            break;
        }
        WireReader l_frame(m_input.mid(l_offset + 4, l_length));
        l_offset += 4 + l_length;
        Frame l_received;
        l_received.code = l_frame.ReadU32();
        l_received.fields = l_frame.ReadRest();
        m_frames.append(l_received);
        emit FrameArrived(l_received.code, l_received.fields);
    }
    m_input.remove(0, l_offset);
}
