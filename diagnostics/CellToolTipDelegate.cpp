#include "CellToolTipDelegate.h"

#include "ToolTips.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QToolTip>

CellToolTipDelegate::CellToolTipDelegate(QObject* ip_parent) : QStyledItemDelegate(ip_parent) {}

bool CellToolTipDelegate::helpEvent(QHelpEvent* ip_event, QAbstractItemView* ip_view,
                                    const QStyleOptionViewItem& i_option,
                                    const QModelIndex& i_index)
{
    if (ip_event->type() != QEvent::ToolTip || !i_index.isValid())
        return QStyledItemDelegate::helpEvent(ip_event, ip_view, i_option, i_index);
    const QString l_tip = PlainToolTip(i_index.data(Qt::DisplayRole).toString());
    // The tip goes when the pointer leaves the cell; an empty cell hides the last one.
    QToolTip::showText(ip_event->globalPos(), l_tip, ip_view->viewport(),
                       ip_view->visualRect(i_index));
    ip_event->setAccepted(!l_tip.isEmpty());
    return true;
}

void ShowCellTextsAsToolTips(QAbstractItemView* ip_view)
{
    ip_view->setItemDelegate(new CellToolTipDelegate(ip_view));
}
