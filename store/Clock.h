#pragma once

#include <QDateTime>

#include <functional>

// The local date and time that the views and the log show. Tests put a clock of their own in
// place of the system's, so that what a view shows at a given time can be checked.
class Clock
{
public:
    static QDateTime Now();
    // Whether a test's clock stands in for the system's.
    static bool IsReplaced();
    // An empty function brings the system clock back. Main thread only.
    static void Set(std::function<QDateTime()> i_now);
};
