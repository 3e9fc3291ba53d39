#pragma once

#include "ItemPtr.h"

#include <QDateTime>
#include <QtGlobal>

#include <atomic>

// The figures of a running transfer that its entry's transient attributes point to: the bytes
// written (a download's write_position) or read (an upload's read_position), the measured speed
// and the time of the last progress report. The transfer threads update them while the views
// read them, hence the atomics. An entry that is not running has none: the readers give 0 and an
// invalid time.
class TransferFigures
{
public:
    using Counter = std::atomic<qint64>;
    using Speed = std::atomic<int>;

    static qint64 Position(ItemPtr i_entry)
    {
        const Counter* lp_position = i_entry["write_position"].AsPtr<Counter>();
        if (!lp_position)
            lp_position = i_entry["read_position"].AsPtr<Counter>();
        return lp_position ? lp_position->load() : 0;
    }

    static int BytesPerSecond(ItemPtr i_entry)
    {
        const Speed* lp_speed = i_entry["bytes_per_second"].AsPtr<Speed>();
        return lp_speed ? lp_speed->load() : 0;
    }

    static QDateTime LastReceiptTime(ItemPtr i_entry)
    {
        const QDateTime* lp_time = i_entry["last_receipt_time"].AsPtr<QDateTime>();
        return lp_time ? *lp_time : QDateTime();
    }
};
