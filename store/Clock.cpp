#include "Clock.h"

namespace
{
std::function<QDateTime()>& NowFunction()
{
    static std::function<QDateTime()> l_now;
    return l_now;
}
} // namespace

QDateTime Clock::Now()
{
    const std::function<QDateTime()>& l_now = NowFunction();
    return l_now ? l_now() : QDateTime::currentDateTime();
}

bool Clock::IsReplaced()
{
    return bool(NowFunction());
}

void Clock::Set(std::function<QDateTime()> i_now)
{
    NowFunction() = std::move(i_now);
}
