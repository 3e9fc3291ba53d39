#include "ToolTips.h"

QString PlainToolTip(const QString& i_text)
{
    if (i_text.isEmpty())
        return {};
    return QStringLiteral("<p style=\"white-space:pre\">") + i_text.toHtmlEscaped() +
           QStringLiteral("</p>");
}
