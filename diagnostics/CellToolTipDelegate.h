#pragma once

#include <QStyledItemDelegate>

// Draws cells as the default does; a cell's tool tip is its whole text as plain text
// (PlainToolTip), made when the pointer rests on the cell, so that rows keep no copy of it.
class CellToolTipDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit CellToolTipDelegate(QObject* ip_parent = nullptr);

    bool helpEvent(QHelpEvent* ip_event, QAbstractItemView* ip_view,
                   const QStyleOptionViewItem& i_option, const QModelIndex& i_index) override;
};

// Gives each cell of the list or tree its whole text as its tool tip (PlainToolTip), made when
// the pointer rests on the cell: rows keep no second copy of their texts.
void ShowCellTextsAsToolTips(QAbstractItemView* ip_view);
