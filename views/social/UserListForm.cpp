#include "UserListForm.h"

#include "ActionSetToolBar.h"
#include "AddUserDialog.h"
#include "CellToolTipDelegate.h"
#include "Data.h"
#include "GeneralFunctions.h"
#include "MainWindow.h"
#include "Server.h"
#include "SizeManager.h"
#include "UIFunctions.h"
#include "UserGroupConfigDialog.h"
#include "UserGroupsDialog.h"
#include "UserListItemWidget.h"
#include "UserMenuOptions.h"
#include "ui_UserListForm.h"

#include <QIcon>
#include <QMenu>

#include <vector>

namespace
{
constexpr int userListNoteColumn = 2;
constexpr int plainListNoteColumn = 1;

const char* const nodeTypes[] = {"user_list_node", "unshared_list_node", "ignored_list_node"};

QTreeWidgetItem* RowOf(Item* ip_user, const char* ip_nodeType)
{
    return ItemPtr(ip_user)[ip_nodeType].AsPtr<QTreeWidgetItem>();
}

UserListItemWidget* ListRowOf(Item* ip_user)
{
    return ItemPtr(ip_user)["user_list_node"].AsPtr<UserListItemWidget>();
}

void SetNote(QTreeWidgetItem* ip_row, int i_column, ItemPtr i_note)
{
    if (!ip_row)
        return;
    if (!i_note)
    {
        ip_row->setText(i_column, QString());
        ip_row->setIcon(i_column, QIcon());
        return;
    }
    const std::string l_text = i_note.AsString();
    ip_row->setText(i_column, ShownText(FromUtf8(l_text)));
    ip_row->setIcon(i_column, QIcon(QStringLiteral(":/icons/note_icon")));
}

} // namespace

UserListForm::UserListForm(QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(std::make_unique<Ui_UserListForm>())
{
    mp_ui->setupUi(this);
    mp_ui->userList->setHeaderLabels(
        {QStringLiteral("User"), QStringLiteral("Groups"), QStringLiteral("Note")});
    mp_ui->userList->setColumnWidth(0, 200);
    mp_ui->userList->setColumnWidth(1, 300);
    mp_ui->unsharedList->setHeaderLabels({QStringLiteral("User"), QStringLiteral("Note")});
    mp_ui->unsharedList->setColumnWidth(0, 200);
    mp_ui->ignoredList->setHeaderLabels({QStringLiteral("User"), QStringLiteral("Note")});
    mp_ui->ignoredList->setColumnWidth(0, 200);
    connect(mp_ui->userList, &QWidget::customContextMenuRequested, this,
            &UserListForm::OnUserListContextMenuRequested);
    connect(mp_ui->unsharedList, &QWidget::customContextMenuRequested, this,
            &UserListForm::OnUnsharedListContextMenuRequested);
    connect(mp_ui->ignoredList, &QWidget::customContextMenuRequested, this,
            &UserListForm::OnIgnoredListContextMenuRequested);
    for (QTreeWidget* lp_tree : {mp_ui->userList, mp_ui->unsharedList, mp_ui->ignoredList})
    {
        RegisterWidgetForTabFocus(lp_tree, 1);
        ShowCellTextsAsToolTips(lp_tree);
    }
}

UserListForm::~UserListForm() = default;

void UserListForm::Subscribe(PathNode* ip_root, void (UserListForm::*ip_method)(Item*))
{
    d.AddPathEventHandler(ip_root, new EventHandler<UserListForm, Item*>(this, ip_method));
}

void UserListForm::Init()
{
    // Declared by the first form only: the types outlive a form.
    for (const char* lp_type : nodeTypes)
        if (!d.HasType(lp_type))
            d.NewType(lp_type, true, false, true)->RelateToType("user", One, One, false);

    for (Item* lp_user : d["user"]->GetItems().Connected("in_user_list"))
        AddListRow(lp_user);
    mp_ui->userList->sortByColumn(0, Qt::AscendingOrder);
    for (Item* lp_user : d["user"]->GetItems().Connected("unshared"))
        OnUserUnshared(lp_user);
    mp_ui->unsharedList->setSortingEnabled(true);
    for (Item* lp_user : d["user"]->GetItems().Connected("is_ignored"))
        OnUserIgnored(lp_user);
    mp_ui->ignoredList->setSortingEnabled(true);

    const auto l_watch = [this](const char* ip_child, PathNodeRelation i_relation,
                                const char* ip_condition, void (UserListForm::*ip_method)(Item*))
    {
        auto* lp_root = new PathNode(&d, "user");
        new PathNode(lp_root, ip_child, i_relation);
        if (ip_condition)
            new PathNode(lp_root, ip_condition, FilterConnected);
        Subscribe(lp_root, ip_method);
    };
    l_watch("is_online", OnConnect, "in_user_list", &UserListForm::OnUserOnline);
    l_watch("is_online", OnDisconnect, "in_user_list", &UserListForm::OnUserOffline);
    l_watch("in_user_list", OnConnect, nullptr, &UserListForm::OnUserAddedToList);
    l_watch("in_user_list", OnDisconnect, nullptr, &UserListForm::OnUserRemovedFromList);
    l_watch("unshared", OnConnect, nullptr, &UserListForm::OnUserUnshared);
    l_watch("unshared", OnDisconnect, nullptr, &UserListForm::OnUserReshared);
    l_watch("is_ignored", OnConnect, nullptr, &UserListForm::OnUserIgnored);
    l_watch("is_ignored", OnDisconnect, nullptr, &UserListForm::OnUserUnignored);
    l_watch("user_note", OnConnect, nullptr, &UserListForm::OnUserNoteChanged);
    l_watch("user_note", OnDisconnect, nullptr, &UserListForm::OnUserNoteRemoved);

    actionBar->AddSetAction("user_list", "manual_add_user", "Add User", ":/icons/add_user_icon",
                            false);
    actionBar->AddSetAction("user_list", "configure_user_groups", "Configure User Groups",
                            ":/icons/users_icon", false);
    actionBar->RegisterWidget(mp_ui->userListTab, QStringLiteral("user_list"));
    connect(actionBar, &ActionSetToolBar::ActionTriggered, this,
            &UserListForm::OnActionBarTriggered);

    for (const auto& [l_relation, l_method] :
         {std::pair{OnConnect, &UserListForm::OnUserGroupAdded},
          std::pair{OnDisconnect, &UserListForm::OnUserGroupRemoved}})
    {
        auto* lp_root = new PathNode(&d, "user");
        auto* lp_entry = new PathNode(lp_root, "in_user_list", FilterConnected);
        new PathNode(lp_entry, "user_list_group", l_relation);
        Subscribe(lp_root, l_method);
    }

    sizeManager->RegisterTreeWidget(QStringLiteral("user_list"), mp_ui->userList);
}

UserListItemWidget* UserListForm::AddListRow(Item* ip_user)
{
    ItemPtr l_user(ip_user);
    auto* lp_row = new UserListItemWidget(mp_ui->userList);
    lp_row->SetName(ShownName(l_user.AsString()));
    lp_row->SetOnline(l_user.IsConnected("is_online"));
    lp_row->ShowOnline();
    l_user += d["user_list_node"]->GetItem(lp_row);
    gp_server->TrackUser(l_user.AsString());
    UpdateUserGroupsDisplay(l_user.AsString());
    if (ItemPtr l_note = l_user["user_note"])
        SetNote(lp_row, userListNoteColumn, l_note);
    return lp_row;
}

void UserListForm::OnUserAddedToList(Item* ip_user)
{
    ScheduleSort(AddListRow(ip_user));
}

void UserListForm::OnUserOnline(Item* ip_user)
{
    if (UserListItemWidget* lp_row = ListRowOf(ip_user))
    {
        lp_row->SetOnline(true);
        ScheduleSort(lp_row);
    }
}

void UserListForm::OnUserOffline(Item* ip_user)
{
    if (UserListItemWidget* lp_row = ListRowOf(ip_user))
    {
        lp_row->SetOnline(false);
        ScheduleSort(lp_row);
    }
}

void UserListForm::ScheduleSort(UserListItemWidget* ip_row)
{
    m_movedRows.insert(ip_row);
    if (m_sortPending)
        return;
    m_sortPending = true;
    QMetaObject::invokeMethod(this, &UserListForm::SortUserList, Qt::QueuedConnection);
}

void UserListForm::SortUserList()
{
    m_sortPending = false;
    QTreeWidget* lp_tree = mp_ui->userList;
    const int l_count = lp_tree->topLevelItemCount();
    // Many moved rows: one sort of all costs less than placing each.
    if (m_movedRows.size() * 8 >= l_count)
    {
        for (QTreeWidgetItem* lp_row : std::as_const(m_movedRows))
            static_cast<UserListItemWidget*>(lp_row)->ShowOnline();
        m_movedRows.clear();
        lp_tree->sortByColumn(0, Qt::AscendingOrder);
        return;
    }
    // Otherwise the moved rows are taken out, which leaves the rest in order, and each is put
    // back in its place, found by halving, with its new icon (set while out of the list, where
    // it costs no update). Taking rows out moves the current row and the selection elsewhere:
    // both are put back.
    const QList<QTreeWidgetItem*> l_selected = lp_tree->selectedItems();
    QTreeWidgetItem* lp_current = lp_tree->currentItem();
    std::vector<QTreeWidgetItem*> l_moved;
    for (int l_index = l_count - 1; l_index >= 0; --l_index)
    {
        if (m_movedRows.contains(lp_tree->topLevelItem(l_index)))
            l_moved.push_back(lp_tree->takeTopLevelItem(l_index));
    }
    m_movedRows.clear();
    if (l_moved.empty())
        return;
    for (auto l_row = l_moved.rbegin(); l_row != l_moved.rend(); ++l_row)
    {
        int l_low = 0;
        int l_high = lp_tree->topLevelItemCount();
        while (l_low < l_high)
        {
            const int l_middle = l_low + (l_high - l_low) / 2;
            if (**l_row < *lp_tree->topLevelItem(l_middle))
                l_high = l_middle;
            else
                l_low = l_middle + 1;
        }
        static_cast<UserListItemWidget*>(*l_row)->ShowOnline();
        lp_tree->insertTopLevelItem(l_low, *l_row);
    }
    lp_tree->setCurrentItem(lp_current, 0, QItemSelectionModel::NoUpdate);
    lp_tree->clearSelection();
    for (QTreeWidgetItem* lp_row : l_selected)
        lp_row->setSelected(true);
}

void UserListForm::AddPlainRow(Item* ip_user, QTreeWidget* ip_tree, const char* ip_nodeType)
{
    ItemPtr l_user(ip_user);
    auto* lp_row = new QTreeWidgetItem;
    lp_row->setText(0, ShownName(l_user.AsString()));
    if (ItemPtr l_note = l_user["user_note"])
        SetNote(lp_row, plainListNoteColumn, l_note);
    ip_tree->addTopLevelItem(lp_row);
    l_user += d[ip_nodeType]->GetItem(lp_row);
}

void UserListForm::RemoveRow(Item* ip_user, const char* ip_nodeType)
{
    ItemPtr l_node = ItemPtr(ip_user)[ip_nodeType];
    delete l_node.AsPtr<QTreeWidgetItem>();
    l_node.Remove();
}

void UserListForm::OnUserRemovedFromList(Item* ip_user)
{
    m_movedRows.remove(RowOf(ip_user, "user_list_node"));
    RemoveRow(ip_user, "user_list_node");
}

void UserListForm::OnUserUnshared(Item* ip_user)
{
    AddPlainRow(ip_user, mp_ui->unsharedList, "unshared_list_node");
}

void UserListForm::OnUserReshared(Item* ip_user)
{
    RemoveRow(ip_user, "unshared_list_node");
}

void UserListForm::OnUserIgnored(Item* ip_user)
{
    AddPlainRow(ip_user, mp_ui->ignoredList, "ignored_list_node");
}

void UserListForm::OnUserUnignored(Item* ip_user)
{
    RemoveRow(ip_user, "ignored_list_node");
}

void UserListForm::OnUserNoteChanged(Item* ip_user)
{
    ItemPtr l_note = ItemPtr(ip_user)["user_note"];
    SetNote(RowOf(ip_user, "user_list_node"), userListNoteColumn, l_note);
    SetNote(RowOf(ip_user, "unshared_list_node"), plainListNoteColumn, l_note);
    SetNote(RowOf(ip_user, "ignored_list_node"), plainListNoteColumn, l_note);
}

void UserListForm::OnUserNoteRemoved(Item* ip_user)
{
    SetNote(RowOf(ip_user, "user_list_node"), userListNoteColumn, ItemPtr());
    SetNote(RowOf(ip_user, "unshared_list_node"), plainListNoteColumn, ItemPtr());
    SetNote(RowOf(ip_user, "ignored_list_node"), plainListNoteColumn, ItemPtr());
}

void UserListForm::OnUserGroupAdded(Item* ip_user)
{
    UpdateUserGroupsDisplay(ItemPtr(ip_user).AsString());
}

void UserListForm::OnUserGroupRemoved(Item* ip_user)
{
    UpdateUserGroupsDisplay(ItemPtr(ip_user).AsString());
}

void UserListForm::UpdateUserGroupsDisplay(std::string i_user)
{
    ItemPtr l_user = d["user"]->GetItem(i_user);
    QTreeWidgetItem* lp_row = l_user["user_list_node"].AsPtr<QTreeWidgetItem>();
    if (!lp_row)
        return;
    QStringList l_groups;
    for (Item* lp_group : l_user["in_user_list"].GetItems("user_list_group").SortAlphabetic(true))
        l_groups.append(ShownName(ItemPtr(lp_group).AsString()));
    lp_row->setText(1, l_groups.join(QStringLiteral(", ")));
}

void UserListForm::OnActionBarTriggered(std::string i_id)
{
    if (i_id == "remove_user")
    {
        ItemSet l_users;
        for (QTreeWidgetItem* lp_row : mp_ui->userList->selectedItems())
            if (ItemPtr l_user = ItemPtr(d["user_list_node"]->HasItem(lp_row))["user"])
                l_users.insert(l_user);
        for (Item* lp_user : l_users)
            ItemPtr(lp_user).Disconnect("in_user_list");
    }
    if (i_id == "user_groups")
    {
        auto* lp_dialog =
            new UserGroupsDialog(ToLatin1(actionBar->GetKey(QStringLiteral("user"))), mainWindow);
        lp_dialog->show();
    }
    if (i_id == "configure_user_groups")
    {
        if (!userGroupConfigDialog)
        {
            (new UserGroupConfigDialog(this))->show();
        }
        else
        {
            userGroupConfigDialog->activateWindow();
            userGroupConfigDialog->setFocus(Qt::OtherFocusReason);
        }
    }
    if (i_id == "manual_add_user")
        (new AddUserDialog(this))->show();
}

void UserListForm::ShowMenu(QTreeWidget* ip_tree, const char* ip_nodeType, const QPoint& i_position)
{
    QTreeWidgetItem* lp_row = ip_tree->itemAt(i_position);
    if (!lp_row)
        return;
    // The row's user as the store ties it: the shown name may not give the bytes back.
    QMenu l_menu;
    UserMenuOptions l_options(&l_menu, ItemPtr(d[ip_nodeType]->HasItem(lp_row))["user"].AsString(),
                              nullptr);
    l_menu.exec(ip_tree->viewport()->mapToGlobal(i_position));
}

void UserListForm::OnUserListContextMenuRequested(const QPoint& i_position)
{
    ShowMenu(mp_ui->userList, "user_list_node", i_position);
}

void UserListForm::OnUnsharedListContextMenuRequested(const QPoint& i_position)
{
    ShowMenu(mp_ui->unsharedList, "unshared_list_node", i_position);
}

void UserListForm::OnIgnoredListContextMenuRequested(const QPoint& i_position)
{
    ShowMenu(mp_ui->ignoredList, "ignored_list_node", i_position);
}
