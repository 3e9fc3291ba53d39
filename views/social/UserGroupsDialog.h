#pragma once

#include "DataHandler.h"

#include <QDialog>

#include <memory>
#include <string>

class Item;
class QListWidgetItem;
class Ui_UserGroupsDialog;

// The user-list groups of one listed user as a check list: checking a group puts the user's list
// entry in it at once, unchecking takes it out; new groups can be made here and appear in every
// open dialog. Deleted when closed.
class UserGroupsDialog : public QDialog, public DataHandler
{
    Q_OBJECT

public:
    UserGroupsDialog(std::string i_user, QWidget* ip_parent = nullptr);
    ~UserGroupsDialog() override;

    void OnUserGroupAdded(Item* ip_group);

public slots:
    void OnNewGroupButtonClicked();
    void OnGroupItemChanged(QListWidgetItem* ip_row);

private:
    void AddRow(Item* ip_group, bool i_checked);

    std::unique_ptr<Ui_UserGroupsDialog> mp_ui;
    std::string m_user;
};
