#pragma once

#include "DataHandler.h"

#include <QSet>
#include <QWidget>

#include <memory>
#include <string>

class Item;
class PathNode;
class QPoint;
class QTreeWidget;
class QTreeWidgetItem;
class Ui_UserListForm;
class UserListItemWidget;

// The Users page: the own user list with online state, groups and notes, the users the own
// shares are withheld from, and the ignored users, each kept in step with the store. Every row is
// tied to its user by a node item valued with the row's address.
class UserListForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    explicit UserListForm(QWidget* ip_parent = nullptr);
    ~UserListForm() override;

    // Once the data file is loaded and the first login started.
    void Init();

    void OnUserOnline(Item* ip_user);
    void OnUserOffline(Item* ip_user);
    void OnUserAddedToList(Item* ip_user);
    void OnUserRemovedFromList(Item* ip_user);
    void OnUserUnshared(Item* ip_user);
    void OnUserReshared(Item* ip_user);
    void OnUserIgnored(Item* ip_user);
    void OnUserUnignored(Item* ip_user);
    void OnUserNoteChanged(Item* ip_user);
    void OnUserNoteRemoved(Item* ip_user);
    void OnUserGroupAdded(Item* ip_user);
    void OnUserGroupRemoved(Item* ip_user);

    void UpdateUserGroupsDisplay(std::string i_user);

public slots:
    void OnActionBarTriggered(std::string i_id);
    void OnUserListContextMenuRequested(const QPoint& i_position);
    void OnUnsharedListContextMenuRequested(const QPoint& i_position);
    void OnIgnoredListContextMenuRequested(const QPoint& i_position);

private:
    // Many users change at once (at login every listed user comes online): the rows that changed
    // are put in place once per turn of the event loop, all together.
    void ScheduleSort(UserListItemWidget* ip_row);
    void SortUserList();
    // A plain row of the Unshared or Ignored list.
    UserListItemWidget* AddListRow(Item* ip_user);
    void AddPlainRow(Item* ip_user, QTreeWidget* ip_tree, const char* ip_nodeType);
    void RemoveRow(Item* ip_user, const char* ip_nodeType);
    void ShowMenu(QTreeWidget* ip_tree, const char* ip_nodeType, const QPoint& i_position);
    void Subscribe(PathNode* ip_root, void (UserListForm::*ip_method)(Item*));

    std::unique_ptr<Ui_UserListForm> mp_ui;
    // Rows whose place may have changed since the last sort.
    QSet<QTreeWidgetItem*> m_movedRows;
    bool m_sortPending = false;
};
