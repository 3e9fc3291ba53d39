#pragma once

#include <QTimer>

// The three repeating timers that drive all periodic work; services connect their slots to
// the timers' timeout() signals.
class TimerManager
{
public:
    TimerManager();
    ~TimerManager();

    QTimer m_halfMinuteTimer;
    QTimer m_fiveMinutesTimer;
    QTimer m_hourTimer;
};

extern TimerManager* timerManager;
