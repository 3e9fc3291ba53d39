#pragma once

#include <QTreeWidgetItem>

// A row of the room list: column 0 the room name, column 1 its user count. Rows sort the own
// rooms first, then those the user operates, then those the user is a member of, then by name;
// the other columns sort by number.
class QRoomListItemWidget : public QTreeWidgetItem
{
public:
    explicit QRoomListItemWidget(QTreeWidget* ip_parent);

    bool operator<(const QTreeWidgetItem& i_other) const override;

private:
    // 0 owned, 1 operated, 2 member, 3 none.
    int Rank() const;
};
