#include "QRoomListItemWidget.h"

#include "Data.h"
#include "GeneralFunctions.h"

namespace
{
// 0 owned, 1 operated, 2 member, 3 none. Sorting looks rooms up without making any.
int Rank(const QTreeWidgetItem& i_row)
{
    const ItemPtr l_room = d["room"]->HasItem(QRoomListItemWidget::RoomName(i_row));
    if (l_room.IsConnected("is_owner"))
        return 0;
    if (l_room.IsConnected("is_operator"))
        return 1;
    return l_room.IsConnected("is_member") ? 2 : 3;
}
} // namespace

QRoomListItemWidget::QRoomListItemWidget(QTreeWidget* ip_parent) : QTreeWidgetItem(ip_parent) {}

QRoomListItemWidget::~QRoomListItemWidget() = default;

bool QRoomListItemWidget::operator<(const QTreeWidgetItem& i_other) const
{
    const QTreeWidget* lp_list = treeWidget();
    if (lp_list && lp_list->sortColumn() != 0)
        return text(1).toLongLong() < i_other.text(1).toLongLong();
    const int l_rank = Rank(*this);
    const int l_otherRank = Rank(i_other);
    if (l_rank != l_otherRank)
        return l_rank < l_otherRank;
    return text(0).compare(i_other.text(0), Qt::CaseInsensitive) < 0;
}

void QRoomListItemWidget::SetRoomName(QTreeWidgetItem* ip_row, const std::string& i_name)
{
    ip_row->setData(0, Qt::UserRole, FromLatin1(i_name));
}

std::string QRoomListItemWidget::RoomName(const QTreeWidgetItem& i_row)
{
    return ToLatin1(i_row.data(0, Qt::UserRole).toString());
}
