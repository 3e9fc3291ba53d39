// Speed of the Users page, section `userlist` of the views benchmark: 5,000 listed users in 20
// groups come online one by one, as the server's status messages of a login set them, then go
// offline one by one; the same for 500 users. Each change is a store event that the page follows;
// the event loop turns once after each batch of changes, as after one read of the server's
// messages. Printed: the cost per user at 500 and at 5,000 (the cost per user should not grow
// with the list), and a bare QTreeWidget filled with the same rows in the same run, against
// which the whole is measured. Times are the GUI thread's processor time, the best of three
// rounds.

#include "ActionSetToolBar.h"
#include "Data.h"
#include "ServerHarness.h"
#include "SizeManager.h"
#include "StoreFunctions.h"
#include "UIFunctions.h"
#include "UserListForm.h"
#include "ViewsBench.h"

#include <QApplication>
#include <QIcon>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace
{
constexpr int UserListGroups = 20;
constexpr int UserListRounds = 3;

std::string UserName(int i_index)
{
    return "user" + std::to_string(i_index * 7919 % 100003);
}

std::string GroupName(int i_index)
{
    return "group" + std::to_string(i_index % UserListGroups);
}

// The list of i_users users, each in one group, shown by a fresh page; returns the page.
std::unique_ptr<UserListForm> MakeListedUsers(int i_users)
{
    Type* lp_users = d["user"];
    Type* lp_groups = d["user_list_group"];
    for (int l_index = 0; l_index < i_users; ++l_index)
        ItemPtr(lp_users->GetItem(UserName(l_index))).NewItem("in_user_list") +=
            lp_groups->GetItem(GroupName(l_index));
    auto lp_form = std::make_unique<UserListForm>();
    lp_form->Init();
    QCoreApplication::processEvents();
    return lp_form;
}

// The milliseconds of every user coming online and then going offline, the event loop turning
// after each batch of i_batch changes.
double OnlineOffline(int i_users, int i_batch)
{
    std::vector<Item*> l_users;
    for (int l_index = 0; l_index < i_users; ++l_index)
        l_users.push_back(d["user"]->HasItem(UserName(l_index)));
    Item* lp_online = d["is_online"]->GetGlobalNullItem();
    return ThreadMilliseconds(
        [&]
        {
            for (int l_index = 0; l_index < i_users; ++l_index)
            {
                ItemPtr(l_users[l_index]) += lp_online;
                if ((l_index + 1) % i_batch == 0)
                    QCoreApplication::processEvents();
            }
            QCoreApplication::processEvents();
            for (int l_index = 0; l_index < i_users; ++l_index)
            {
                ItemPtr(l_users[l_index]) -= lp_online;
                if ((l_index + 1) % i_batch == 0)
                    QCoreApplication::processEvents();
            }
            QCoreApplication::processEvents();
        });
}

// A QTreeWidget filled with the rows the page shows for the users, sorted once.
double BareFill(int i_users)
{
    const QIcon l_icon(QStringLiteral(":/icons/offline_dot_icon"));
    return ThreadMilliseconds(
        [&]
        {
            QTreeWidget l_tree;
            l_tree.setColumnCount(3);
            for (int l_index = 0; l_index < i_users; ++l_index)
            {
                auto* lp_row = new QTreeWidgetItem(&l_tree);
                lp_row->setText(0, QString::fromStdString(UserName(l_index)));
                lp_row->setIcon(0, l_icon);
                lp_row->setText(1, QString::fromStdString(GroupName(l_index)));
            }
            l_tree.sortByColumn(0, Qt::AscendingOrder);
            QCoreApplication::processEvents();
        });
}

void ClearUsers()
{
    for (const char* lp_type :
         {"user_list_node", "in_user_list", "user_list_group", "is_tracked", "user"})
        d[lp_type]->RemoveAllItems();
}

struct UserListFigures
{
    double m_perUser = 0;
    double m_whole = 0;
};

UserListFigures MeasureUserList(int i_users, int i_batch)
{
    UserListFigures l_best{1e30, 1e30};
    for (int l_round = 0; l_round < UserListRounds; ++l_round)
    {
        std::unique_ptr<UserListForm> lp_form = MakeListedUsers(i_users);
        const double l_whole = OnlineOffline(i_users, i_batch);
        lp_form.reset();
        ClearUsers();
        l_best.m_whole = std::min(l_best.m_whole, l_whole);
    }
    l_best.m_perUser = l_best.m_whole * 1000.0 / i_users;
    return l_best;
}

void BenchUserList()
{
    // Five hundred status messages to a read of the server connection.
    constexpr int l_batch = 500;
    const UserListFigures l_small = MeasureUserList(500, l_batch);
    const UserListFigures l_large = MeasureUserList(5000, l_batch);
    double l_bare = 1e30;
    for (int l_round = 0; l_round < UserListRounds; ++l_round)
        l_bare = std::min(l_bare, BareFill(5000));
    std::printf("userlist: 500 users online then offline: %.1f ms, %.2f us per user\n",
                l_small.m_whole, l_small.m_perUser);
    std::printf("userlist: 5,000 users online then offline: %.1f ms, %.2f us per user\n",
                l_large.m_whole, l_large.m_perUser);
    std::printf("userlist: bare QTreeWidget fill of the same 5,000 rows: %.1f ms\n", l_bare);
    PrintAim("userlist cost per user at 5,000 against 500", l_large.m_perUser / l_small.m_perUser,
             "x", 1.5);
    PrintAim("userlist 5,000 users online then offline against the bare fill",
             l_large.m_whole / l_bare, "x", 3.0);
}
} // namespace

int RunUserListSection()
{
    InitIconResources();
    // The server connection stays logged out: watch requests are flagged, not sent.
    ServerHarness l_server;
    DeclareUserDataTypes();
    // The sharing service's flag, as it declares it.
    d.NewType("unshared", false, true, true);
    d["user"]->RelateToType("unshared", Many, One, false);
    SizeManager l_sizes;
    ActionSetToolBar l_actions;
    BenchUserList();
    return 0;
}
