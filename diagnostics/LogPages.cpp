#include "LogPages.h"

#include "Log.h"

LogPages::LogPages()
{
    gp_logSink = this;
}

LogPages::~LogPages()
{
    if (gp_logSink == this)
        gp_logSink = nullptr;
}

void LogPages::Log(const QString& i_category, int i_level, const QString& i_message, ItemPtr)
{
    QStringList& l_page = m_pages[i_category];
    // The oldest tenth goes at once, so that dropping lines costs nothing per line.
    if (l_page.size() >= MaxLinesPerPage)
        l_page.remove(0, MaxLinesPerPage / 10);
    l_page.append(FormatLogLine(i_level, i_message));
}

QStringList LogPages::Lines(const QString& i_category) const
{
    return m_pages.value(i_category);
}
