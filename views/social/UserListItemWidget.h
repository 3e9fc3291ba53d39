#pragma once

#include <QTreeWidgetItem>

// A row of the User List: online users first, then by name regardless of letter case, whatever
// column the list is sorted by.
class UserListItemWidget : public QTreeWidgetItem
{
public:
    explicit UserListItemWidget(QTreeWidget* ip_tree);

    bool operator<(const QTreeWidgetItem& i_other) const override;
};
