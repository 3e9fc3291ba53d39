#pragma once

#include "TransferThread.h"

class UploadSpeedLimit;

// Sends a shared file over a file connection: the transfer token, then, from the start offset
// that the peer answers, the rest of the file, paced to the upload speed limit.
class UploadThread : public TransferThread
{
    Q_OBJECT

public:
    UploadThread(QTcpSocket* ip_socket, QFile* ip_file, quint32 i_transferToken,
                 UploadSpeedLimit* ip_limit, quint64 i_serial, QThread* ip_home);

    // Bytes that a pass at the share (kilobytes per second) could have sent in the elapsed
    // milliseconds, less what it did send; in 64 bits, as high limits and long passes need.
    static qint64 PacingCredit(int i_limit, qint64 i_elapsedMilliseconds, qint64 i_pending);

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
    // Pays for the bytes sent since the last pass at the upload's share of the limit.
    void Pace();

    quint32 m_transferToken;
    UploadSpeedLimit* mp_limit;
    // Pacing: the share seen at the last pass, bytes sent and not yet paid for, and the clock.
    int m_lastLimit = 0;
    qint64 m_pending = 0;
    QElapsedTimer m_pacingClock;
};
