#pragma once

#include "LogSink.h"

#include <QHash>
#include <QStringList>

// The log pages, one per category, kept in memory; the diagnostics view shows them. A page keeps
// only its newest lines: peers can make the client log without end, and the log must not grow
// with them. Building one makes it the receiver of Log.
class LogPages : public LogSink
{
public:
    static constexpr qsizetype MaxLinesPerPage = 5000;

    LogPages();
    ~LogPages() override;

    void Log(const QString& i_category, int i_level, const QString& i_message,
             ItemPtr i_item) override;

    QStringList Lines(const QString& i_category) const;

private:
    QHash<QString, QStringList> m_pages;
};
