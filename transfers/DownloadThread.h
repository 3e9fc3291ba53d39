#pragma once

#include "TransferThread.h"

// Reads a file connection into the partial file, from the start offset to the file's end.
class DownloadThread : public TransferThread
{
    Q_OBJECT

public:
    DownloadThread(QTcpSocket* ip_socket, QFile* ip_file, qint64 i_fileSize, qint64 i_startOffset,
                   quint64 i_serial, QThread* ip_home);

signals:
    void DownloadProgress(quint64 i_serial, qint64 i_offset, int l_bytesPerSecond);
    void DownloadComplete(quint64 i_serial);
    void DownloadError(quint64 i_serial);

protected:
    bool Perform() override;
    void Ended(bool i_done) override;
    void Progressed(qint64 i_position, int i_bytesPerSecond) override;

private:
    qint64 m_fileSize;
    qint64 m_position;
};
