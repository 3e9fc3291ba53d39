#pragma once

#include <QTreeWidgetItem>

#include <string>

// A row of the room list: column 0 the room name, column 1 its user count. By name, the rooms the
// user owns come first, then those the user operates, then those the user is a member of, then
// the others, each group by name without regard to case; by any other column, by user count.
class QRoomListItemWidget : public QTreeWidgetItem
{
public:
    explicit QRoomListItemWidget(QTreeWidget* ip_parent);
    ~QRoomListItemWidget() override;

    bool operator<(const QTreeWidgetItem& i_other) const override;

    // The room's name stays with the row, its bytes one character each, as the key of the tool
    // bar's column: the shown name may not give the bytes back.
    static void SetRoomName(QTreeWidgetItem* ip_row, const std::string& i_name);
    static std::string RoomName(const QTreeWidgetItem& i_row);
};
