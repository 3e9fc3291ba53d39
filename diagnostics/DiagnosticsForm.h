#pragma once

#include "LogSink.h"

#include <QHash>
#include <QStringList>

// The diagnostics view's log pages, one per category. Until the view itself exists it keeps
// each category's lines in memory. A page keeps only its newest lines: peers can make the client
// log without end, and the log must not grow with them.
class DiagnosticsForm : public LogSink
{
public:
    static constexpr qsizetype MaxLinesPerPage = 5000;

    DiagnosticsForm();
    ~DiagnosticsForm() override;

    void Log(const QString& i_category, int i_level, const QString& i_message,
             ItemPtr i_item) override;

    QStringList Lines(const QString& i_category) const;

private:
    QHash<QString, QStringList> m_pages;
};

extern DiagnosticsForm* diagnosticsForm;
