#include "TimerManager.h"

TimerManager* timerManager = nullptr;

TimerManager::TimerManager()
{
    timerManager = this;
    m_halfMinuteTimer.start(30000);
    m_fiveMinutesTimer.start(300000);
    m_hourTimer.start(3600000);
}

TimerManager::~TimerManager()
{
    if (timerManager == this)
        timerManager = nullptr;
}
