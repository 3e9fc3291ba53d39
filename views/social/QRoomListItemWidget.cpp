#include "QRoomListItemWidget.h"

#include "Data.h"

QRoomListItemWidget::QRoomListItemWidget(QTreeWidget* ip_parent) : QTreeWidgetItem(ip_parent) {}

bool QRoomListItemWidget::operator<(const QTreeWidgetItem& i_other) const
{
    const int l_column = treeWidget() ? treeWidget()->sortColumn() : 0;
    if (l_column != 0)
        return text(l_column).toLongLong() < i_other.text(l_column).toLongLong();
    const auto* lp_other = dynamic_cast<const QRoomListItemWidget*>(&i_other);
    const int l_rank = Rank();
    const int l_otherRank = lp_other ? lp_other->Rank() : 3;
    if (l_rank != l_otherRank)
        return l_rank < l_otherRank;
    return text(0) < i_other.text(0);
}

int QRoomListItemWidget::Rank() const
{
    const ItemPtr l_room = ::d["room"]->HasItem(text(0));
    if (l_room.IsConnected("is_owner"))
        return 0;
    if (l_room.IsConnected("is_operator"))
        return 1;
    return l_room.IsConnected("is_member") ? 2 : 3;
}
