#pragma once

#include <QtGlobal>

#include <functional>

class UploadSpeedLimit;

// Paces one upload to its share of the speed limit. Bytes sent are owed; time at the share pays
// for them, to the nanosecond. A debt left over after a wait is carried to the next block, and an
// allowance left unused is lent to the other uploads through the limit's pool, so that the rate
// holds however coarse the sleeps are and however small the blocks.
class UploadPacer
{
public:
    // Nanoseconds of a monotonic clock.
    using Clock = std::function<qint64()>;

    explicit UploadPacer(UploadSpeedLimit* ip_limit, Clock i_clock = SteadyNanoseconds);

    // The upload starts: nothing owed, the total limit as the share last seen.
    void Start();
    // At the start of each pass: reads the share; true when it changed since the last pass.
    bool ReadShare();
    // Nanoseconds to wait before the next block may go; 0 when it may go now. Settles the
    // account at the share read last; ask again after the wait.
    qint64 Delay();
    void Sent(qint64 i_bytes);

    static qint64 SteadyNanoseconds();

private:
    // Pays what the time since the last settlement earned at the share.
    void Settle();

    UploadSpeedLimit* mp_limit;
    Clock m_clock;
    // Kilobytes per second; 0 means no limit.
    int m_share = 0;
    // Bytes sent and not yet paid for.
    qint64 m_owed = 0;
    qint64 m_settledAt = 0;
    // What the time since the last settlement earned below one byte, in byte-nanoseconds.
    qint64 m_earnedFraction = 0;
};
