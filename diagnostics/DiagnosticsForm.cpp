#include "DiagnosticsForm.h"

#include "Log.h"

DiagnosticsForm* diagnosticsForm = nullptr;

DiagnosticsForm::DiagnosticsForm()
{
    diagnosticsForm = this;
    gp_logSink = this;
}

DiagnosticsForm::~DiagnosticsForm()
{
    if (gp_logSink == this)
        gp_logSink = nullptr;
    if (diagnosticsForm == this)
        diagnosticsForm = nullptr;
}

void DiagnosticsForm::Log(const QString& i_category, int i_level, const QString& i_message, ItemPtr)
{
    m_pages[i_category].append(FormatLogLine(i_level, i_message));
}

QStringList DiagnosticsForm::Lines(const QString& i_category) const
{
    return m_pages.value(i_category);
}
