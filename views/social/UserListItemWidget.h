#pragma once

#include <QTreeWidgetItem>

// A row of the User List: online users first, then by name regardless of letter case, whatever
// column the list is sorted by. The row keeps its user's name and online state, which the list
// sets with the text and the icon, so that a sort reads neither the store nor the row's cells.
class UserListItemWidget : public QTreeWidgetItem
{
public:
    explicit UserListItemWidget(QTreeWidget* ip_tree);

    void SetName(const QString& i_name);
    // The state that sorting reads; the icon follows with ShowOnline.
    void SetOnline(bool i_online) { m_online = i_online; }
    void ShowOnline();

    // The User List holds rows of this class only.
    bool operator<(const QTreeWidgetItem& i_other) const override;

private:
    QString m_name;
    bool m_online = false;
};
