#include "UserGroupsDialog.h"

#include "CellToolTipDelegate.h"
#include "Data.h"
#include "GeneralFunctions.h"
#include "UIFunctions.h"
#include "ui_UserGroupsDialog.h"

UserGroupsDialog::UserGroupsDialog(std::string i_user, QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(std::make_unique<Ui_UserGroupsDialog>()), m_user(std::move(i_user))
{
    mp_ui->setupUi(this);
    // Closing ends the dialog and, with it, its store handler.
    setAttribute(Qt::WA_DeleteOnClose);
    ShowCellTextsAsToolTips(mp_ui->groupListWidget);
    Type* lp_groups = d["user_list_group"];
    lp_groups->m_itemAddedEvent.AddHandler(
        new EventHandler<UserGroupsDialog, Item*>(this, &UserGroupsDialog::OnUserGroupAdded));
    setWindowTitle(QStringLiteral("User Groups for [") +
                   EscapeTitlePlaceholders(ShownName(m_user)) + QStringLiteral("]"));
    ItemPtr l_listEntry = ItemPtr(d["user"]->GetItem(m_user))["in_user_list"];
    for (Item* lp_group : lp_groups->GetItems())
        AddRow(lp_group, l_listEntry.IsConnected(lp_group));
    // Only now: building the rows changes nothing in the store.
    connect(mp_ui->groupListWidget, &QListWidget::itemChanged, this,
            &UserGroupsDialog::OnGroupItemChanged);
    connect(mp_ui->newGroupButton, &QPushButton::clicked, this,
            &UserGroupsDialog::OnNewGroupButtonClicked);
}

UserGroupsDialog::~UserGroupsDialog() = default;

void UserGroupsDialog::AddRow(Item* ip_group, bool i_checked)
{
    const std::string l_name = ItemPtr(ip_group).AsString();
    auto* lp_row = new QListWidgetItem(ShownName(l_name));
    // The shown name may not give the bytes back.
    lp_row->setData(Qt::UserRole, FromLatin1(l_name));
    lp_row->setFlags(lp_row->flags() | Qt::ItemIsUserCheckable);
    lp_row->setCheckState(i_checked ? Qt::Checked : Qt::Unchecked);
    mp_ui->groupListWidget->addItem(lp_row);
}

void UserGroupsDialog::OnUserGroupAdded(Item* ip_group)
{
    AddRow(ip_group, false);
}

void UserGroupsDialog::OnNewGroupButtonClicked()
{
    const QString l_name = mp_ui->newGroupEdit->text().trimmed();
    mp_ui->newGroupEdit->clear();
    if (l_name.isEmpty())
        return;
    // Taken as UTF-8, as every name shows.
    d["user_list_group"]->GetItem(l_name.toUtf8().toStdString());
}

void UserGroupsDialog::OnGroupItemChanged(QListWidgetItem* ip_row)
{
    const Qt::CheckState l_state = ip_row->checkState();
    if (l_state == Qt::PartiallyChecked || ip_row->text().isEmpty())
        return;
    // A user taken off the list meanwhile has no entry to put in a group.
    ItemPtr l_listEntry = ItemPtr(d["user"]->GetItem(m_user))["in_user_list"];
    if (!l_listEntry)
        return;
    ItemPtr l_group =
        d["user_list_group"]->GetItem(ToLatin1(ip_row->data(Qt::UserRole).toString()));
    const bool l_connected = l_listEntry.IsConnected(l_group);
    if (l_state == Qt::Checked && !l_connected)
        l_listEntry += l_group;
    else if (l_state == Qt::Unchecked && l_connected)
        l_listEntry -= l_group;
}
