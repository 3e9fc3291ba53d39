#pragma once

#include <QString>
#include <QtGlobal>

// The time stamp of log lines: the local date and time in Qt's text date format. Turning a moment
// into local time looks the time zone up (a file read by the C library), which costs more than the
// rest of a line; the text is therefore made once per second and reused for the lines of that
// second. Each second is converted on its own, so a change of the zone's offset shows from the
// first second it applies to.
class LogTime
{
public:
    // The text for the current time of Clock, made on this thread's own LogTime.
    static QString Now();

    // The text for a moment in milliseconds since the epoch.
    QString Text(qint64 i_msecsSinceEpoch);

private:
    bool m_valid = false;
    qint64 m_second = 0;
    QString m_text;
};
