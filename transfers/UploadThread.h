#pragma once

#include "TransferThread.h"
#include "UploadPacer.h"

class UploadSpeedLimit;

// Sends a shared file over a file connection: the transfer token, then, from the start offset
// that the peer answers, the rest of the file up to the size it was offered at, paced to the
// upload speed limit.
class UploadThread : public TransferThread
{
    Q_OBJECT

public:
    UploadThread(QTcpSocket* ip_socket, QFile* ip_file, qint64 i_size, quint32 i_transferToken,
                 UploadSpeedLimit* ip_limit, quint64 i_serial, QThread* ip_home);

signals:
    void UploadProgress(quint64 i_serial, qint64 i_offset, int l_bytesPerSecond);
    void UploadComplete(quint64 i_serial);
    void UploadError(quint64 i_serial);

protected:
    bool Perform() override;
    void Ended(bool i_done) override;
    void Progressed(qint64 i_position, int i_bytesPerSecond) override;

private:
    bool ReadStartOffset(qint64& o_offset);
    // Sleeps until the next block may go at the upload's share of the limit; false when asked to
    // stop meanwhile.
    bool Pace();

    qint64 m_size;
    quint32 m_transferToken;
    UploadPacer m_pacer;
};
