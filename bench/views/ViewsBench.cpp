#include "ViewsBench.h"

#include <cstdio>
#include <ctime>

double ThreadMilliseconds(const std::function<void()>& i_work)
{
    timespec l_start{}, l_end{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &l_start);
    i_work();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &l_end);
    return double(l_end.tv_sec - l_start.tv_sec) * 1e3 +
           double(l_end.tv_nsec - l_start.tv_nsec) / 1e6;
}

void PrintAim(const char* ip_what, double i_figure, const char* ip_unit, double i_limit)
{
    std::printf("aim: %s: %.2f %s (aim %.2f %s): %s\n", ip_what, i_figure, ip_unit, i_limit,
                ip_unit, i_figure <= i_limit ? "met" : "not met");
}
