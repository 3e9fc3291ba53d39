#include "LogTime.h"

#include "Clock.h"

#include <QDateTime>

QString LogTime::Now()
{
    // A clock put in place by a test gives whole date-times: those are formatted as they come.
    if (Clock::IsReplaced())
        return Clock::Now().toString(Qt::TextDate);
    thread_local LogTime t_time;
    return t_time.Text(QDateTime::currentMSecsSinceEpoch());
}

QString LogTime::Text(qint64 i_msecsSinceEpoch)
{
    // Rounded down, also before the epoch, so that every moment of a second shares its text.
    const qint64 l_second = i_msecsSinceEpoch / 1000 - (i_msecsSinceEpoch % 1000 < 0 ? 1 : 0);
    if (!m_valid || l_second != m_second)
    {
        m_text = QDateTime::fromMSecsSinceEpoch(l_second * 1000).toString(Qt::TextDate);
        m_second = l_second;
        m_valid = true;
    }
    return m_text;
}
