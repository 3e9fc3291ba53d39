#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <functional>

// The sections of views_bench, each run in a process of its own under a QApplication.
int RunBrowseSection();
int RunChatSection();
int RunFinishedSection();
int RunStoreBrowserSection();
int RunRoomSection();
int RunSearchSection();
int RunTransfersSection();
int RunUserListSection();

// The GUI thread's own processor time for the work, in milliseconds: the machine is shared, and
// other programs' work is not the view's.
double ThreadMilliseconds(const std::function<void()>& i_work);
// Prints the aim line of a figure that meets its aim when at most the limit.
void PrintAim(const char* ip_what, double i_figure, const char* ip_unit, double i_limit);

// The longest time that the GUI thread kept a 10 ms timer waiting beyond its period.
class StallWatch : public QObject
{
public:
    StallWatch()
    {
        m_clock.start();
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this,
                [this]
                {
                    const qint64 l_now = m_clock.elapsed();
                    m_longest = std::max(m_longest, l_now - m_last - 10);
                    m_last = l_now;
                });
        m_timer.start(10);
    }
    qint64 Longest() const { return m_longest; }
    // Preparing the data is the benchmark's own work, not the view's.
    void Suspend() { m_timer.stop(); }
    void Resume()
    {
        m_last = m_clock.elapsed();
        m_timer.start(10);
    }

private:
    QElapsedTimer m_clock;
    QTimer m_timer;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};
