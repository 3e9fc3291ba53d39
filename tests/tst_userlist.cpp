// The Users page and its dialogs: the three lists kept in step with the store, the add-user
// dialog's checks and answers, the group priorities, and a user added through the test server.
#include "ActionSetToolBar.h"
#include "AddUserDialog.h"
#include "Data.h"
#include "FrameClient.h"
#include "PeerHarness.h"
#include "Server.h"
#include "TestPeer.h"
#include "UserGroupConfigDialog.h"
#include "UserListForm.h"
#include "UserNoteDialog.h"
#include "ViewHarness.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace
{
template <typename T> T* Child(QWidget* ip_parent, const char* ip_name)
{
    return ip_parent->findChild<T*>(QString::fromLatin1(ip_name));
}

ItemPtr User(const QByteArray& i_name)
{
    return d["user"]->GetItem(i_name.toStdString());
}

ItemPtr Group(const QByteArray& i_name)
{
    return d["user_list_group"]->GetItem(i_name.toStdString());
}

void SetNote(const QByteArray& i_user, const char* ip_note)
{
    ItemPtr l_user = User(i_user);
    l_user.Disconnect("user_note");
    if (ip_note)
        l_user += d["user_note"]->GetItem(ip_note);
}

QString IconName(const QIcon& i_icon)
{
    if (i_icon.isNull())
        return QString();
    const QImage l_image = i_icon.pixmap(16).toImage();
    for (const char* lp_name : {"online_dot_icon", "offline_dot_icon", "note_icon"})
        if (QIcon(u":/icons/"_s + QLatin1StringView(lp_name)).pixmap(16).toImage() == l_image)
            return QString::fromLatin1(lp_name).section(u'_', 0, 0);
    return u"?"_s;
}

// Each row as "text [icon]" per column, joined by " | ", in the order shown.
QStringList Rows(QTreeWidget* ip_tree)
{
    QStringList l_rows;
    for (int l_index = 0; l_index < ip_tree->topLevelItemCount(); ++l_index)
    {
        QTreeWidgetItem* lp_row = ip_tree->topLevelItem(l_index);
        QStringList l_cells;
        for (int l_column = 0; l_column < ip_tree->columnCount(); ++l_column)
        {
            const QString l_icon = IconName(lp_row->icon(l_column));
            l_cells.append(lp_row->text(l_column) +
                           (l_icon.isEmpty() ? QString() : u" ["_s + l_icon + u"]"_s));
        }
        l_rows.append(l_cells.join(u" | "_s));
    }
    return l_rows;
}

// Runs the tree's context menu at the row's centre (or at a point on no row); the menu, if one
// opens, is read, the entry with the text triggered, and closed. Returns the entries, or
// "(none)" when no menu opened.
int SortCount(QTreeWidget* ip_tree, const std::function<void()>& i_change)
{
    QSignalSpy l_sorts(ip_tree->model(), &QAbstractItemModel::layoutChanged);
    i_change();
    ViewHarness::Flush();
    return int(l_sorts.count());
}

} // namespace

class TestUserList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        mp_harness = std::make_unique<ViewHarness>();
        UserNoteDialog::Init();
    }
    void cleanupTestCase() { mp_harness.reset(); }
    // The server answers only where a test asks it to: its answers would undo the online states
    // that the tests set by hand.
    void init()
    {
        mp_harness->Reset();
        mp_harness->Peers().Central().SetAutomaticReplies(false);
    }

    // The checks in their order: empty, then logged in, then already listed; a name that passes
    // waits for the server, and nothing is written to the store before its answer.
    void addUserChecks_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("loggedIn");
        QTest::addColumn<bool>("listed");
        QTest::addColumn<QString>("status");
        QTest::newRow("empty") << QString() << true << false << u"User name must not be empty."_s;
        QTest::newRow("blanks while logged out")
            << u" \t "_s << false << false << u"User name must not be empty."_s;
        QTest::newRow("logged out")
            << u"bob"_s << false << false << u"Must be online to add a user to your list."_s;
        QTest::newRow("listed while logged out")
            << u"bob"_s << false << true << u"Must be online to add a user to your list."_s;
        QTest::newRow("listed") << u" bob "_s << true << true << u"User already in list."_s;
        QTest::newRow("new, blanks around") << u" bob "_s << true << false << u"Adding user..."_s;
    }

    void addUserChecks()
    {
        QFETCH(QString, typed);
        QFETCH(bool, loggedIn);
        QFETCH(bool, listed);
        QFETCH(QString, status);
        if (listed)
            User("bob").NewItem("in_user_list");
        const std::size_t l_users = d["user"]->ItemCount();
        mp_harness->Peers().Central().SetAutomaticReplies(false);
        if (!loggedIn)
        {
            gp_server->Disconnect();
            QTRY_VERIFY_WITH_TIMEOUT(!gp_server->IsConnected(), ViewHarness::timeoutMs);
        }
        const int l_connection = mp_harness->Peers().Central().ConnectionOf("me");
        if (loggedIn)
            mp_harness->Peers().SentFrames(l_connection);

        auto* lp_dialog = new AddUserDialog;
        Child<QLineEdit>(lp_dialog, "userNameEdit")->setText(typed);
        Child<QPushButton>(lp_dialog, "addFriendButton")->click();
        QCOMPARE(Child<QLineEdit>(lp_dialog, "statusEdit")->text(), status);
        const bool l_waiting = status == u"Adding user..."_s;
        QCOMPARE(Child<QLineEdit>(lp_dialog, "userNameEdit")->isReadOnly(), l_waiting);
        QCOMPARE(Child<QPushButton>(lp_dialog, "addFriendButton")->isEnabled(), !l_waiting);
        QCOMPARE(d["user"]->ItemCount(), l_users);
        if (loggedIn)
        {
            QStringList l_watched;
            for (const TestServer::ReceivedFrame& l_frame :
                 mp_harness->Peers().SentFrames(l_connection))
                if (l_frame.code == 5)
                    l_watched.append(QString::fromLatin1(l_frame.body.mid(4)));
            QCOMPARE(l_watched, l_waiting ? QStringList{u"bob"_s} : QStringList());
        }

        mp_harness->Peers().Central().SetAutomaticReplies(true);
        if (!loggedIn)
            QVERIFY(mp_harness->Peers().LogIn() != 0);
    }

    // Only the answer for the pending name, byte for byte, ends the wait; each open dialog
    // waits for its own name.
    void addUserAnswers_data()
    {
        QTest::addColumn<QByteArray>("answered");
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QString>("status");
        QTest::newRow("exists") << "b\xc3\xa9"_ba << true << u"User added to list."_s;
        QTest::newRow("does not exist")
            << "b\xc3\xa9"_ba << false << u"User name does not exist."_s;
        QTest::newRow("other name") << "carol"_ba << true << u"Adding user..."_s;
        QTest::newRow("other case") << "B\xc3\xa9"_ba << true << u"Adding user..."_s;
        QTest::newRow("other encoding") << "b\xe9"_ba << true << u"Adding user..."_s;
    }

    void addUserAnswers()
    {
        QFETCH(QByteArray, answered);
        QFETCH(bool, exists);
        QFETCH(QString, status);
        mp_harness->Peers().Central().SetAutomaticReplies(false);
        auto* lp_dialog = new AddUserDialog;
        auto* lp_other = new AddUserDialog;
        // The dialog takes the typed name as UTF-8.
        Child<QLineEdit>(lp_dialog, "userNameEdit")->setText(u"b\u00e9"_s);
        Child<QPushButton>(lp_dialog, "addFriendButton")->click();
        Child<QLineEdit>(lp_other, "userNameEdit")->setText(u"carol"_s);
        Child<QPushButton>(lp_other, "addFriendButton")->click();
        mp_harness->Peers().Central().SetAutomaticReplies(true);
        QCOMPARE(Child<QLineEdit>(lp_dialog, "statusEdit")->text(), u"Adding user..."_s);

        const QByteArray l_pending = "b\xc3\xa9"_ba;
        emit gp_server->AddUserResponse(answered.toStdString(), exists);
        QCOMPARE(Child<QLineEdit>(lp_dialog, "statusEdit")->text(), status);
        const bool l_waiting = status == u"Adding user..."_s;
        QCOMPARE(Child<QPushButton>(lp_dialog, "addFriendButton")->isEnabled(), !l_waiting);
        QCOMPARE(Child<QLineEdit>(lp_dialog, "userNameEdit")->isReadOnly(), l_waiting);
        QCOMPARE(ItemPtr(d["user"]->HasItem(l_pending.toStdString())).IsConnected("in_user_list"),
                 status == u"User added to list."_s);
        QCOMPARE(Child<QLineEdit>(lp_other, "statusEdit")->text(),
                 answered == "carol"_ba ? u"User added to list."_s : u"Adding user..."_s);
        QCOMPARE(User("carol").IsConnected("in_user_list"), answered == "carol"_ba);
        if (!l_waiting)
        {
            // Idle again: another name can be added.
            Child<QLineEdit>(lp_dialog, "userNameEdit")->setText(u"b\u00e9"_s);
            Child<QPushButton>(lp_dialog, "addFriendButton")->click();
            QCOMPARE(Child<QLineEdit>(lp_dialog, "statusEdit")->text(),
                     exists ? u"User already in list."_s : u"Adding user..."_s);
        }
    }

    // Rows, icons, groups in byte order and notes of the three lists, the same whether the store
    // held the users before the page was made or they came after; one user in all three lists.
    // Direction controls in names and groups show as marks; each cell's tool tip is its text.
    void threeLists_data()
    {
        QTest::addColumn<bool>("storeFirst");
        QTest::newRow("filled at start") << true;
        QTest::newRow("followed") << false;
    }

    void threeLists()
    {
        QFETCH(bool, storeFirst);
        const QByteArray l_carol = "carol\xe2\x80\xae", l_dave = "dave\xe2\x80\xae";
        const auto l_fill = [&]
        {
            ItemPtr l_entry = User("alice").NewItem("in_user_list");
            for (const char* lp_group : {"b", "\xe9t\xe9", "a", "B", "x\xe2\x80\xae"})
                l_entry += Group(lp_group);
            User("Bob").NewItem("in_user_list");
            User("Bob") += d["is_online"]->GetGlobalNullItem();
            User(l_carol) += d["unshared"]->GetGlobalNullItem();
            User(l_dave) += d["is_ignored"]->GetGlobalNullItem();
            SetNote(l_dave, "quiet");
            User("caf\xc3\xa9").NewItem("in_user_list");
            User("caf\xc3\xa9") += d["unshared"]->GetGlobalNullItem();
            User("caf\xc3\xa9") += d["is_ignored"]->GetGlobalNullItem();
            SetNote("caf\xc3\xa9", "na\xc3\xafve <b>x</b>");
        };
        if (storeFirst)
            l_fill();
        auto* lp_form = new UserListForm;
        lp_form->Init();
        if (!storeFirst)
            l_fill();
        ViewHarness::Flush();

        auto* lp_users = Child<QTreeWidget>(lp_form, "userList");
        auto* lp_unshared = Child<QTreeWidget>(lp_form, "unsharedList");
        auto* lp_ignored = Child<QTreeWidget>(lp_form, "ignoredList");
        QCOMPARE(Rows(lp_users), (QStringList{
                                     u"Bob [online] |  | "_s,
                                     u"alice [offline] | B, a, b, x<U+202E>, \ufffdt\ufffd | "_s,
                                     u"caf\u00e9 [offline] |  | na\u00efve <b>x</b> [note]"_s,
                                 }));
        QVERIFY(ViewHarness::Snapshot(lp_form, u"userlist"_s).size() > 0);
        lp_unshared->sortItems(0, Qt::AscendingOrder);
        lp_ignored->sortItems(0, Qt::AscendingOrder);
        QCOMPARE(Rows(lp_unshared),
                 (QStringList{u"caf\u00e9 | na\u00efve <b>x</b> [note]"_s, u"carol<U+202E> | "_s}));
        QCOMPARE(Rows(lp_ignored), (QStringList{u"caf\u00e9 | na\u00efve <b>x</b> [note]"_s,
                                                u"dave<U+202E> | quiet [note]"_s}));
        for (QTreeWidget* lp_list : {lp_users, lp_unshared, lp_ignored})
            QCOMPARE(ViewHarness::ToolTipMismatches(lp_list), QStringList());

        // A new note shows in all three lists; no note clears text and icon in all three.
        SetNote("caf\xc3\xa9", "new");
        QCOMPARE(Rows(lp_users).at(2), u"caf\u00e9 [offline] |  | new [note]"_s);
        QCOMPARE(Rows(lp_unshared).at(0), u"caf\u00e9 | new [note]"_s);
        QCOMPARE(Rows(lp_ignored).at(0), u"caf\u00e9 | new [note]"_s);
        SetNote("caf\xc3\xa9", nullptr);
        QCOMPARE(Rows(lp_users).at(2), u"caf\u00e9 [offline] |  | "_s);
        QCOMPARE(Rows(lp_unshared).at(0), u"caf\u00e9 | "_s);
        QCOMPARE(Rows(lp_ignored).at(0), u"caf\u00e9 | "_s);

        // Groups follow; the last one gone leaves the cell empty.
        ItemPtr l_entry = User("alice")["in_user_list"];
        l_entry -= Group("a");
        l_entry -= Group("B");
        QCOMPARE(Rows(lp_users).at(1), u"alice [offline] | b, x<U+202E>, \ufffdt\ufffd | "_s);
        l_entry.Disconnect("user_list_group");
        QCOMPARE(Rows(lp_users).at(1), u"alice [offline] |  | "_s);

        // Leaving the list takes only the User List row, and its node; the user stays tracked.
        User("caf\xc3\xa9").Disconnect("in_user_list");
        User(l_carol).Disconnect("unshared");
        User(l_dave).Disconnect("is_ignored");
        QCOMPARE(lp_users->topLevelItemCount(), 2);
        QCOMPARE(Rows(lp_unshared), QStringList{u"caf\u00e9 | "_s});
        QCOMPARE(Rows(lp_ignored), QStringList{u"caf\u00e9 | "_s});
        QCOMPARE(d["user_list_node"]->ItemCount(), std::size_t(2));
        QCOMPARE(d["unshared_list_node"]->ItemCount(), std::size_t(1));
        QCOMPARE(d["ignored_list_node"]->ItemCount(), std::size_t(1));
        QVERIFY(User("caf\xc3\xa9").IsConnected("is_tracked"));
        QVERIFY(!User(l_carol).IsConnected("is_tracked"));
    }

    // Online users first, each part in name order regardless of case; one sort per turn of the
    // event loop however many users change in it.
    void orderAndOneSortPerTurn()
    {
        auto* lp_form = new UserListForm;
        lp_form->Init();
        auto* lp_users = Child<QTreeWidget>(lp_form, "userList");
        QCOMPARE(
            SortCount(lp_users,
                      []
                      {
                          for (int l_index = 0; l_index < 200; ++l_index)
                              User("user" + QByteArray::number(l_index)).NewItem("in_user_list");
                          for (const char* lp_name : {"bob", "Alice", "ALICE", "carol"})
                              User(lp_name).NewItem("in_user_list");
                      }),
            1);
        const auto l_names = [lp_users]
        {
            QStringList l_result;
            for (int l_index = 0; l_index < lp_users->topLevelItemCount(); ++l_index)
                if (!lp_users->topLevelItem(l_index)->text(0).startsWith(u"user"_s))
                    l_result.append(lp_users->topLevelItem(l_index)->text(0));
            return l_result;
        };
        QCOMPARE(l_names(), (QStringList{u"Alice"_s, u"ALICE"_s, u"bob"_s, u"carol"_s}));

        QCOMPARE(SortCount(lp_users,
                           []
                           {
                               for (int l_index = 0; l_index < 200; l_index += 2)
                                   User("user" + QByteArray::number(l_index)) +=
                                       d["is_online"]->GetGlobalNullItem();
                               User("bob") += d["is_online"]->GetGlobalNullItem();
                               User("carol") += d["is_online"]->GetGlobalNullItem();
                           }),
                 1);
        QCOMPARE(l_names(), (QStringList{u"bob"_s, u"carol"_s, u"Alice"_s, u"ALICE"_s}));
        QCOMPARE(lp_users->topLevelItem(0)->text(0), u"bob"_s);
        QCOMPARE(lp_users->topLevelItem(1)->text(0), u"carol"_s);
        QCOMPARE(lp_users->topLevelItem(2)->text(0), u"user0"_s);

        // A user already online when added shows online at once and goes among the online. A
        // few moved rows are put in place without a sort of all, and keep their selection.
        User("Dan") += d["is_online"]->GetGlobalNullItem();
        QCOMPARE(SortCount(lp_users, [] { User("Dan").NewItem("in_user_list"); }), 0);
        QCOMPARE(l_names(), (QStringList{u"bob"_s, u"carol"_s, u"Dan"_s, u"Alice"_s, u"ALICE"_s}));
        QTreeWidgetItem* lp_bob = lp_users->topLevelItem(0);
        lp_users->setCurrentItem(lp_bob);
        QCOMPARE(SortCount(lp_users,
                           []
                           {
                               User("bob").Disconnect("is_online");
                               User("Alice") += d["is_online"]->GetGlobalNullItem();
                           }),
                 0);
        QCOMPARE(l_names(), (QStringList{u"Alice"_s, u"carol"_s, u"Dan"_s, u"ALICE"_s, u"bob"_s}));
        QCOMPARE(lp_users->currentItem(), lp_bob);
        QCOMPARE(lp_users->selectedItems(), QList<QTreeWidgetItem*>{lp_bob});
        for (int l_index = 1; l_index < lp_users->topLevelItemCount(); ++l_index)
            QVERIFY(!(*lp_users->topLevelItem(l_index) < *lp_users->topLevelItem(l_index - 1)));
        // Changes that move nothing sort nothing.
        QCOMPARE(SortCount(lp_users, [] { SetNote("bob", "x"); }), 0);
        QCOMPARE(lp_users->topLevelItem(0)->text(0), u"Alice"_s);
    }

    // The menu is the user menu of the row's user, bytes as they are, also where the shown name
    // does not give them back; empty space opens none.
    void menusForTheRowsUser_data()
    {
        QTest::addColumn<QString>("list");
        QTest::newRow("user list") << u"userList"_s;
        QTest::newRow("unshared") << u"unsharedList"_s;
        QTest::newRow("ignored") << u"ignoredList"_s;
    }

    void menusForTheRowsUser()
    {
        QFETCH(QString, list);
        const QByteArray l_name = "\xe9ve & \xc3\xa9"_ba;
        User(l_name).NewItem("in_user_list");
        User(l_name) += d["unshared"]->GetGlobalNullItem();
        User(l_name) += d["is_ignored"]->GetGlobalNullItem();
        auto* lp_form = new UserListForm;
        lp_form->Init();
        lp_form->show();
        auto* lp_tree = lp_form->findChild<QTreeWidget*>(list);
        QCOMPARE(lp_tree->topLevelItem(0)->text(0), u"\ufffdve & \u00e9"_s);
        const std::size_t l_users = d["user"]->ItemCount();

        QCOMPARE(ViewHarness::RunContextMenu(lp_tree, nullptr), QStringList{u"(none)"_s});
        const QStringList l_entries = ViewHarness::RunContextMenu(lp_tree, lp_tree->topLevelItem(0),
                                                                  u"Receive chat from user"_s);
        QVERIFY(l_entries.contains(u"Remove user from list"_s));
        QVERIFY(l_entries.contains(u"Re-share files with user"_s));
        QVERIFY(!User(l_name).IsConnected("is_ignored"));
        QCOMPARE(d["user"]->ItemCount(), l_users);
        QCOMPARE(Child<QTreeWidget>(lp_form, "ignoredList")->topLevelItemCount(), 0);
    }

    // The spin box edits the current group's priority: disabled without one, 0 means none, equal
    // values share one item; the list follows groups made and removed elsewhere. Each row's tool
    // tip is its text.
    void groupPriorities()
    {
        auto* lp_dialog = new UserGroupConfigDialog;
        auto* lp_list = Child<QListWidget>(lp_dialog, "groupList");
        auto* lp_spin = Child<QSpinBox>(lp_dialog, "prioritySpinBox");
        QCOMPARE(lp_list->count(), 0);
        QVERIFY(!lp_spin->isEnabled());

        for (const char* lp_group : {"b", "\xe9t\xe9", "a&b"})
            Group(lp_group);
        QCOMPARE(lp_list->count(), 3);
        QCOMPARE(lp_list->item(2)->text(), u"\ufffdt\ufffd"_s);
        QCOMPARE(ViewHarness::ToolTipMismatches(lp_list), QStringList());
        const std::size_t l_groups = d["user_list_group"]->ItemCount();

        const auto l_set = [&](int i_row, int i_value)
        {
            lp_list->setCurrentRow(i_row);
            lp_spin->setValue(i_value);
        };
        lp_list->setCurrentRow(2);
        QVERIFY(lp_spin->isEnabled());
        QCOMPARE(lp_spin->value(), 0);
        QCOMPARE(Child<QGroupBox>(lp_dialog, "groupBox")->title(), u"\ufffdt\ufffd"_s);
        l_set(2, 3);
        l_set(1, 3);
        ItemPtr l_priority = Group("\xe9t\xe9")["group_download_priority"];
        QCOMPARE(l_priority.AsString(), std::string("3"));
        QCOMPARE(Group("b")["group_download_priority"], l_priority);
        QCOMPARE(d["group_download_priority"]->ItemCount(), std::size_t(1));
        l_set(1, 5);
        QCOMPARE(Group("b")["group_download_priority"].AsInt(), 5);
        QCOMPARE(Group("\xe9t\xe9")["group_download_priority"].AsInt(), 3);
        l_set(2, 0);
        QVERIFY(!Group("\xe9t\xe9").IsConnected("group_download_priority"));
        lp_list->setCurrentRow(1);
        QCOMPARE(lp_spin->value(), 5);
        lp_list->setCurrentRow(0);
        QCOMPARE(Child<QGroupBox>(lp_dialog, "groupBox")->title(), u"a&&b"_s);
        QCOMPARE(d["user_list_group"]->ItemCount(), l_groups);

        lp_list->setCurrentItem(nullptr);
        QVERIFY(!lp_spin->isEnabled());
        // Of two groups that show alike, the one removed takes its own row.
        Group("\xeat\xea") += d["group_download_priority"]->GetItem("7");
        Group("\xe9t\xe9").Remove();
        QCOMPARE(lp_list->count(), 3);
        lp_list->setCurrentRow(2);
        QCOMPARE(lp_spin->value(), 7);
    }

    // The tool bar's "configure_user_groups" opens one dialog and later focuses it; closed, the
    // next one is new. "manual_add_user" opens a new add-user dialog each time.
    void oneGroupConfigDialog()
    {
        auto* lp_form = new UserListForm;
        lp_form->Init();
        lp_form->show();
        emit actionBar->ActionTriggered("configure_user_groups");
        QPointer<UserGroupConfigDialog> l_first = userGroupConfigDialog;
        QVERIFY(l_first);
        QVERIFY(l_first->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::activeWindow(), l_first.data(),
                                  ViewHarness::timeoutMs);
        lp_form->activateWindow();
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::activeWindow(), lp_form, ViewHarness::timeoutMs);
        emit actionBar->ActionTriggered("configure_user_groups");
        QCOMPARE(lp_form->findChildren<UserGroupConfigDialog*>().size(), 1);
        QCOMPARE(userGroupConfigDialog, l_first.data());
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::activeWindow(), l_first.data(),
                                  ViewHarness::timeoutMs);

        l_first->close();
        ViewHarness::Flush();
        QVERIFY(l_first.isNull());
        QVERIFY(!userGroupConfigDialog);
        emit actionBar->ActionTriggered("configure_user_groups");
        QVERIFY(userGroupConfigDialog);

        emit actionBar->ActionTriggered("manual_add_user");
        emit actionBar->ActionTriggered("manual_add_user");
        QCOMPARE(lp_form->findChildren<AddUserDialog*>().size(), 2);
    }

    // Through the test server: a user who exists is added, shown offline, then online and
    // offline as the server reports, the typed name as typed; one who does not exist is not
    // added.
    void addThroughServer()
    {
        TestServer& l_central = mp_harness->Peers().Central();
        l_central.SetAutomaticReplies(true);
        l_central.SetPassword("Zo\xc3\xab", "pw");
        l_central.SetNoSuchUser("nobody");
        auto* lp_form = new UserListForm;
        lp_form->Init();
        auto* lp_dialog = new AddUserDialog(lp_form);
        auto* lp_status = Child<QLineEdit>(lp_dialog, "statusEdit");

        Child<QLineEdit>(lp_dialog, "userNameEdit")->setText(u"nobody"_s);
        Child<QPushButton>(lp_dialog, "addFriendButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(lp_status->text(), u"User name does not exist."_s,
                                  ViewHarness::timeoutMs);
        QVERIFY(!User("nobody").IsConnected("in_user_list"));

        Child<QLineEdit>(lp_dialog, "userNameEdit")->setText(u"Zo\u00eb"_s);
        Child<QPushButton>(lp_dialog, "addFriendButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(lp_status->text(), u"User added to list."_s,
                                  ViewHarness::timeoutMs);
        auto* lp_users = Child<QTreeWidget>(lp_form, "userList");
        QCOMPARE(Rows(lp_users), QStringList{u"Zo\u00eb [offline] |  | "_s});

        TestPeer l_peer;
        std::unique_ptr<FrameClient> lp_alice = mp_harness->Peers().LogInPeer("Zo\xc3\xab", l_peer);
        QTRY_COMPARE_WITH_TIMEOUT(Rows(lp_users), QStringList{u"Zo\u00eb [online] |  | "_s},
                                  ViewHarness::timeoutMs);
        lp_alice->Close();
        QTRY_COMPARE_WITH_TIMEOUT(Rows(lp_users), QStringList{u"Zo\u00eb [offline] |  | "_s},
                                  ViewHarness::timeoutMs);
    }

private:
    std::unique_ptr<ViewHarness> mp_harness;
};

VIEW_TEST_MAIN(TestUserList)
#include "tst_userlist.moc"
