#include "UploadPacer.h"

#include "UploadSpeedLimit.h"

#include <chrono>

namespace
{
constexpr qint64 nanosecondsPerSecond = 1000000000;
constexpr qint64 bytesPerKilobyte = 1024;
} // namespace

UploadPacer::UploadPacer(UploadSpeedLimit* ip_limit, Clock i_clock)
    : mp_limit(ip_limit), m_clock(std::move(i_clock))
{
}

qint64 UploadPacer::SteadyNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void UploadPacer::Start()
{
    m_share = mp_limit->Total();
    m_owed = 0;
    m_earnedFraction = 0;
    m_settledAt = m_clock();
}

bool UploadPacer::ReadShare()
{
    const int l_share = mp_limit->PerUpload();
    if (l_share == m_share)
        return false;
    // What was sent while there was no limit is free; what the old share earned is paid at it.
    if (m_share == 0)
        m_owed = 0;
    else
        Settle();
    m_share = l_share;
    m_earnedFraction = 0;
    m_settledAt = m_clock();
    return true;
}

void UploadPacer::Settle()
{
    const qint64 l_now = m_clock();
    const qint64 l_elapsed = l_now - m_settledAt;
    m_settledAt = l_now;
    if (l_elapsed <= 0)
        return;
    // In 128 bits: a high share over a long pause leaves 64 bits behind.
    const __int128 l_earned = __int128(m_share) * bytesPerKilobyte * l_elapsed + m_earnedFraction;
    const qint64 l_bytes = qint64(l_earned / nanosecondsPerSecond);
    m_earnedFraction = qint64(l_earned % nanosecondsPerSecond);
    if (l_bytes <= m_owed)
    {
        m_owed -= l_bytes;
        return;
    }
    mp_limit->AddToPool(l_bytes - m_owed);
    m_owed = 0;
}

qint64 UploadPacer::Delay()
{
    if (m_share == 0)
        return 0;
    Settle();
    m_owed = mp_limit->TakeFromPool(m_owed);
    if (m_owed == 0)
        return 0;
    // Rounded up, so that the debt is paid when the wait ends.
    const __int128 l_rate = __int128(m_share) * bytesPerKilobyte;
    const __int128 l_debt = __int128(m_owed) * nanosecondsPerSecond - m_earnedFraction;
    return qint64((l_debt + l_rate - 1) / l_rate);
}

void UploadPacer::Sent(qint64 i_bytes)
{
    m_owed += i_bytes;
}
