#pragma once

#include <QMutex>

// The upload speed limit as the upload threads read it: the total limit, each upload's share and
// the pool of spare bytes that uploads lend one another. Every access takes the one mutex for a
// single read, write or exchange. Limits are in kilobytes per second; 0 means no limit.
class UploadSpeedLimit
{
public:
    // Sets both limits and empties the pool.
    void Set(int i_total, int i_perUpload);
    // No limit; the pool stays as it is.
    void Clear();
    int Total();
    int PerUpload();
    // Pays what it can of the pending bytes from the pool; returns what is left to pay.
    qint64 TakeFromPool(qint64 i_pending);
    void AddToPool(qint64 i_bytes);
    qint64 Pool();

private:
    QMutex m_mutex;
    qint64 m_pool = 0;
    int m_total = 0;
    int m_perUpload = 0;
};
