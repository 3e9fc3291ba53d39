#pragma once

#include <QString>
#include <QTcpServer>
#include <QThread>

#include <atomic>

// The downloading side of one file connection that the client opens, on a thread of its own with
// a blocking socket: listens on 127.0.0.1, takes the first connection whose first message is that
// of a file connection, reads the transfer token, answers offset 0 and reads the expected number of
// bytes, then closes. What arrives is written to a file, or counted and dropped when no path is
// given, so that many large uploads cost no memory on this side.
class FileConnectionReceiver : public QThread
{
public:
    // Port 0 takes any free port.
    FileConnectionReceiver(qint64 i_expected, const QString& i_path = QString(),
                           quint16 i_port = 0);

    bool IsListening() const { return m_server.isListening(); }
    quint16 Port() const { return m_server.serverPort(); }
    qint64 Received() const { return m_received.load(); }

protected:
    void run() override;

private:
    QTcpServer m_server;
    qint64 m_expected;
    QString m_path;
    std::atomic<qint64> m_received{0};
};
