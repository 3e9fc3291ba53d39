#pragma once

#include "LogSink.h"

#include <QHash>
#include <QStringList>

// The diagnostics view's log pages, one per category. Until the view itself exists it keeps
// each category's lines in memory.
class DiagnosticsForm : public LogSink
{
public:
    DiagnosticsForm();
    ~DiagnosticsForm() override;

    void Log(const QString& i_category, int i_level, const QString& i_message,
             ItemPtr i_item) override;

    QStringList Lines(const QString& i_category) const;

private:
    QHash<QString, QStringList> m_pages;
};

extern DiagnosticsForm* diagnosticsForm;
