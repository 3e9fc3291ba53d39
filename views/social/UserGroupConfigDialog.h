#pragma once

#include "DataHandler.h"

#include <QDialog>

#include <memory>

class Item;
class QListWidgetItem;
class Ui_UserGroupConfigDialog;

// The user-list groups with the download priority of each (0 to 99, 0 meaning none). The list
// follows groups made and removed anywhere. At most one exists, userGroupConfigDialog; deleted
// when closed.
class UserGroupConfigDialog : public QDialog, public DataHandler
{
    Q_OBJECT

public:
    explicit UserGroupConfigDialog(QWidget* ip_parent = nullptr);
    ~UserGroupConfigDialog() override;

    void OnUserGroupAdded(Item* ip_group);
    void OnUserGroupRemoved(Item* ip_group);

public slots:
    void OnCurrentGroupItemChanged(QListWidgetItem* ip_current, QListWidgetItem* ip_previous);
    void OnPrioritySpinValueChanged(int i_value);

private:
    std::unique_ptr<Ui_UserGroupConfigDialog> mp_ui;
};

extern UserGroupConfigDialog* userGroupConfigDialog;
