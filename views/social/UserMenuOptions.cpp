#include "UserMenuOptions.h"

#include "Data.h"
#include "GeneralFunctions.h"
#include "ItemLogDialog.h"
#include "ItemSet.h"
#include "MainWindow.h"
#include "Server.h"
#include "StoreFunctions.h"
#include "TransferQueueManager.h"
#include "UIFunctions.h"
#include "UserGroupsDialog.h"
#include "UserNoteDialog.h"

#include <QAction>
#include <QFont>
#include <QIcon>
#include <QMenu>

#include <list>
#include <utility>

namespace
{
std::function<void(const std::string&)> g_browseHandler;

bool IsRoomRole(ItemPtr i_user, ItemPtr i_room, const char* ip_roleType)
{
    return i_user.IsConnected(i_room.NewItem(ip_roleType));
}

void ShowGroupsDialog(const std::string& i_user)
{
    auto* lp_dialog = new UserGroupsDialog(i_user, mainWindow);
    lp_dialog->setVisible(true);
}
} // namespace

UserMenuOptions::UserMenuOptions(QMenu* ip_menu, std::string i_user, QObject* ip_parent)
    : QObject(ip_parent), m_user(std::move(i_user))
{
    if (!ip_menu->actions().isEmpty())
        ip_menu->addSeparator();
    ItemPtr l_user = User(m_user);

    AddEntry(ip_menu, QStringLiteral("Message user"), ":/icons/chat_icon",
             &UserMenuOptions::OnMessageUser, m_user);
    if (l_user.IsConnected("in_user_list"))
    {
        AddEntry(ip_menu, QStringLiteral("Set user's groups"), ":/icons/users_icon",
                 &UserMenuOptions::OnSetUserGroups, m_user);
        AddEntry(ip_menu, QStringLiteral("Remove user from list"), ":/icons/remove_user_icon",
                 &UserMenuOptions::OnRemoveUser, m_user);
    }
    else
        AddEntry(ip_menu, QStringLiteral("Add user to list"), ":/icons/add_user_icon",
                 &UserMenuOptions::OnAddUser, m_user);
    AddEntry(ip_menu, QStringLiteral("Browse user's files"), ":/icons/browse_icon",
             &UserMenuOptions::OnBrowseUser, m_user);
    AddEntry(ip_menu,
             l_user.IsConnected("user_note") ? QStringLiteral("Edit user note")
                                             : QStringLiteral("Add user note"),
             ":/icons/note_icon", &UserMenuOptions::OnUserNote, m_user);
    ip_menu->addSeparator();
    if (l_user.IsConnected("unshared"))
        AddEntry(ip_menu, QStringLiteral("Re-share files with user"), ":/icons/browse_icon",
                 &UserMenuOptions::OnReshareFilesWithUser, m_user);
    else
        AddEntry(ip_menu, QStringLiteral("Unshare files from user"), ":/icons/browse_icon",
                 &UserMenuOptions::OnUnshareFilesFromUser, m_user);
    if (l_user.IsConnected("is_ignored"))
        AddEntry(ip_menu, QStringLiteral("Receive chat from user"), ":/icons/chat_icon",
                 &UserMenuOptions::OnUnignoreUser, m_user);
    else
        AddEntry(ip_menu, QStringLiteral("Ignore chat from user"), ":/icons/chat_icon",
                 &UserMenuOptions::OnIgnoreUser, m_user);
    AddPrivateRooms(ip_menu);
}

UserMenuOptions::~UserMenuOptions() = default;

void UserMenuOptions::SetBrowseHandler(std::function<void(const std::string&)> i_handler)
{
    g_browseHandler = std::move(i_handler);
}

void UserMenuOptions::AddEntry(QMenu* ip_menu, const QString& i_text, const char* ip_icon,
                               void (UserMenuOptions::*ip_slot)(), const std::string& i_value)
{
    QAction* lp_action = ip_icon ? ip_menu->addAction(QIcon(QString::fromLatin1(ip_icon)), i_text)
                                 : ip_menu->addAction(i_text);
    connect(lp_action, &QAction::triggered, this, ip_slot);
    lp_action->setData(FromLatin1(i_value));
}

void UserMenuOptions::AddPrivateRooms(QMenu* ip_menu)
{
    ItemPtr l_user = User(m_user);
    ItemSet l_ownedSet = d["is_owner"]->GetGlobalItem().GetItems("room");
    const std::list<Item*> l_owned = l_ownedSet.SortAlphabetic(true);
    const std::list<Item*> l_operated =
        d["is_operator"]->GetGlobalItem().GetItems("room").SortAlphabetic(true);
    if (l_owned.empty() && l_operated.empty())
        return;

    ip_menu->addSeparator();
    QMenu* lp_rooms = ip_menu->addMenu(QStringLiteral("Private Rooms"));
    for (Item* lp_room : l_owned)
    {
        const std::string l_room = ItemPtr(lp_room).AsString();
        QMenu* lp_menu = lp_rooms->addMenu(QIcon(QStringLiteral(":/icons/chat_icon")),
                                           EscapeAmpersands(ShownName(l_room)));
        QFont l_font = lp_menu->menuAction()->font();
        l_font.setWeight(QFont::Bold);
        l_font.setUnderline(true);
        lp_menu->menuAction()->setFont(l_font);
        const bool l_member = IsRoomRole(l_user, lp_room, "room_members");
        const bool l_operator = IsRoomRole(l_user, lp_room, "room_operators");
        if (l_member)
            AddEntry(lp_menu, QStringLiteral("Remove User's Membership"), nullptr,
                     &UserMenuOptions::OnRemoveUserMembership, l_room);
        else
            AddEntry(lp_menu, QStringLiteral("Give User Membership"), nullptr,
                     &UserMenuOptions::OnAddUserMembership, l_room);
        if (l_member && !l_operator)
        {
            lp_menu->addSeparator();
            AddEntry(lp_menu, QStringLiteral("Make User Operator"), nullptr,
                     &UserMenuOptions::OnAddUserOperatorship, l_room);
        }
        if (l_operator)
        {
            lp_menu->addSeparator();
            AddEntry(lp_menu, QStringLiteral("Remove User's Operator Status"), nullptr,
                     &UserMenuOptions::OnRemoveUserOperatorship, l_room);
        }
    }
    for (Item* lp_room : l_operated)
    {
        if (l_ownedSet.contains(lp_room))
            continue;
        const std::string l_room = ItemPtr(lp_room).AsString();
        QMenu* lp_menu = lp_rooms->addMenu(EscapeAmpersands(ShownName(l_room)));
        if (IsRoomRole(l_user, lp_room, "room_members"))
            AddEntry(lp_menu, QStringLiteral("Remove User's Membership"), nullptr,
                     &UserMenuOptions::OnRemoveUserMembership, l_room);
        else
            AddEntry(lp_menu, QStringLiteral("Give User Membership"), nullptr,
                     &UserMenuOptions::OnAddUserMembership, l_room);
    }
}

std::string UserMenuOptions::SenderValue() const
{
    auto* lp_action = qobject_cast<QAction*>(sender());
    return lp_action ? ToLatin1(lp_action->data().toString()) : m_user;
}

void UserMenuOptions::OnMessageUser()
{
    if (mainWindow)
        mainWindow->OpenChatForm(SenderValue());
}

void UserMenuOptions::OnSetUserGroups()
{
    ShowGroupsDialog(SenderValue());
}

void UserMenuOptions::OnAddUser()
{
    const std::string l_user = SenderValue();
    User(l_user).NewItem("in_user_list");
    ShowGroupsDialog(l_user);
}

void UserMenuOptions::OnRemoveUser()
{
    User(SenderValue()).Disconnect("in_user_list");
}

void UserMenuOptions::OnBrowseUser()
{
    if (g_browseHandler)
        g_browseHandler(SenderValue());
}

void UserMenuOptions::OnUserLog()
{
    (new ItemLogDialog(d["user"]->GetItem(m_user)))->show();
}

void UserMenuOptions::OnUnshareFilesFromUser()
{
    if (transferQueueManager)
        transferQueueManager->UnshareUser(SenderValue());
}

void UserMenuOptions::OnReshareFilesWithUser()
{
    if (transferQueueManager)
        transferQueueManager->ReshareUser(SenderValue());
}

void UserMenuOptions::OnIgnoreUser()
{
    User(SenderValue()) += d["is_ignored"]->GetGlobalNullItem();
}

void UserMenuOptions::OnUnignoreUser()
{
    User(SenderValue()).Disconnect("is_ignored");
}

void UserMenuOptions::OnAddUserMembership()
{
    gp_server->AddPrivateRoomMember(SenderValue(), m_user);
}

void UserMenuOptions::OnRemoveUserMembership()
{
    gp_server->RemovePrivateRoomMember(SenderValue(), m_user);
}

void UserMenuOptions::OnAddUserOperatorship()
{
    gp_server->AddPrivateRoomOperator(SenderValue(), m_user);
}

void UserMenuOptions::OnRemoveUserOperatorship()
{
    gp_server->RemovePrivateRoomOperator(SenderValue(), m_user);
}

void UserMenuOptions::OnUserNote()
{
    UserNoteDialog::GetDialog(m_user)->setVisible(true);
}
