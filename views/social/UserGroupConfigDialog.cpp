#include "UserGroupConfigDialog.h"

#include "CellToolTipDelegate.h"
#include "Data.h"
#include "GeneralFunctions.h"
#include "UIFunctions.h"
#include "ui_UserGroupConfigDialog.h"

#include <string>

UserGroupConfigDialog* userGroupConfigDialog = nullptr;

namespace
{
// A row keeps its group's name as bytes one character each: the shown name may not give them
// back.
QString KeptName(Item* ip_group)
{
    return FromLatin1(ItemPtr(ip_group).AsString());
}

ItemPtr GroupOf(const QListWidgetItem* ip_row)
{
    return d["user_list_group"]->GetItem(ToLatin1(ip_row->data(Qt::UserRole).toString()));
}
} // namespace

UserGroupConfigDialog::UserGroupConfigDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(std::make_unique<Ui_UserGroupConfigDialog>())
{
    userGroupConfigDialog = this;
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    ShowCellTextsAsToolTips(mp_ui->groupList);
    Type* lp_groups = d["user_list_group"];
    lp_groups->m_itemAddedEvent.AddHandler(new EventHandler<UserGroupConfigDialog, Item*>(
        this, &UserGroupConfigDialog::OnUserGroupAdded));
    lp_groups->m_itemRemovedEvent.AddHandler(new EventHandler<UserGroupConfigDialog, Item*>(
        this, &UserGroupConfigDialog::OnUserGroupRemoved));
    for (Item* lp_group : lp_groups->GetItems())
        OnUserGroupAdded(lp_group);
    mp_ui->prioritySpinBox->setEnabled(false);
    connect(mp_ui->groupList, &QListWidget::currentItemChanged, this,
            &UserGroupConfigDialog::OnCurrentGroupItemChanged);
    connect(mp_ui->prioritySpinBox, &QSpinBox::valueChanged, this,
            &UserGroupConfigDialog::OnPrioritySpinValueChanged);
}

UserGroupConfigDialog::~UserGroupConfigDialog()
{
    userGroupConfigDialog = nullptr;
}

void UserGroupConfigDialog::OnUserGroupAdded(Item* ip_group)
{
    auto* lp_row = new QListWidgetItem(ShownName(ItemPtr(ip_group).AsString()), mp_ui->groupList);
    lp_row->setData(Qt::UserRole, KeptName(ip_group));
}

void UserGroupConfigDialog::OnUserGroupRemoved(Item* ip_group)
{
    const QString l_name = KeptName(ip_group);
    for (int l_index = 0; l_index < mp_ui->groupList->count(); ++l_index)
        if (mp_ui->groupList->item(l_index)->data(Qt::UserRole).toString() == l_name)
        {
            delete mp_ui->groupList->item(l_index);
            return;
        }
}

void UserGroupConfigDialog::OnCurrentGroupItemChanged(QListWidgetItem* ip_current, QListWidgetItem*)
{
    if (!ip_current)
    {
        mp_ui->prioritySpinBox->setEnabled(false);
        mp_ui->groupBox->setTitle(QString());
        return;
    }
    mp_ui->prioritySpinBox->setEnabled(true);
    mp_ui->groupBox->setTitle(EscapeAmpersands(ip_current->text()));
    mp_ui->prioritySpinBox->setValue(GroupOf(ip_current)["group_download_priority"].AsInt());
}

void UserGroupConfigDialog::OnPrioritySpinValueChanged(int i_value)
{
    QListWidgetItem* lp_row = mp_ui->groupList->currentItem();
    if (!lp_row)
        return;
    ItemPtr l_group = GroupOf(lp_row);
    if (i_value <= 0)
    {
        l_group.Disconnect("group_download_priority");
        return;
    }
    l_group += d["group_download_priority"]->GetItem(std::to_string(i_value));
}
