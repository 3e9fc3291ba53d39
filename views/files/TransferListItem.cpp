#include "TransferListItem.h"

void TransferListItem::SetRowColor(const QColor& i_color)
{
    if (m_brush.style() == Qt::SolidPattern && m_brush.color() == i_color)
        return;
    m_brush = QBrush(i_color, Qt::SolidPattern);
    emitDataChanged();
}

QVariant TransferListItem::data(int i_column, int i_role) const
{
    if (i_role == Qt::ForegroundRole && m_brush.style() != Qt::NoBrush)
        return m_brush;
    return QTreeWidgetItem::data(i_column, i_role);
}
