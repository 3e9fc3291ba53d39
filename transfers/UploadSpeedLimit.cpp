#include "UploadSpeedLimit.h"

void UploadSpeedLimit::Set(int i_total, int i_perUpload)
{
    QMutexLocker l_lock(&m_mutex);
    m_total = i_total;
    m_perUpload = i_perUpload;
    m_pool = 0;
}

void UploadSpeedLimit::Clear()
{
    QMutexLocker l_lock(&m_mutex);
    m_total = 0;
    m_perUpload = 0;
}

int UploadSpeedLimit::Total()
{
    QMutexLocker l_lock(&m_mutex);
    return m_total;
}

int UploadSpeedLimit::PerUpload()
{
    QMutexLocker l_lock(&m_mutex);
    return m_perUpload;
}

qint64 UploadSpeedLimit::TakeFromPool(qint64 i_pending)
{
    QMutexLocker l_lock(&m_mutex);
    if (i_pending >= m_pool)
    {
        i_pending -= m_pool;
        m_pool = 0;
        return i_pending;
    }
    m_pool -= i_pending;
    return 0;
}

void UploadSpeedLimit::AddToPool(qint64 i_bytes)
{
    QMutexLocker l_lock(&m_mutex);
    m_pool += i_bytes;
}

qint64 UploadSpeedLimit::Pool()
{
    QMutexLocker l_lock(&m_mutex);
    return m_pool;
}
