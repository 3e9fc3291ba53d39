#include "ToolTips.h"

#include "CellToolTipDelegate.h"

#include <QAbstractItemView>

QString PlainToolTip(const QString& i_text)
{
    if (i_text.isEmpty())
        return {};
    return QStringLiteral("<p style=\"white-space:pre\">") + i_text.toHtmlEscaped() +
           QStringLiteral("</p>");
}

void ShowCellTextsAsToolTips(QAbstractItemView* ip_view)
{
    ip_view->setItemDelegate(new CellToolTipDelegate(ip_view));
}
