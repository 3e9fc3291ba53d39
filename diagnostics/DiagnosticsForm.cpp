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
    QStringList& l_page = m_pages[i_category];
    // The oldest tenth goes at once, so that dropping lines costs nothing per line.
    if (l_page.size() >= MaxLinesPerPage)
        l_page.remove(0, MaxLinesPerPage / 10);
    l_page.append(FormatLogLine(i_level, i_message));
}

QStringList DiagnosticsForm::Lines(const QString& i_category) const
{
    return m_pages.value(i_category);
}
