#include "Data.h"
#include "PeerHarness.h"
#include "StoreFunctions.h"
#include "UserGroupsDialog.h"
#include "UserMenuOptions.h"
#include "UserNoteDialog.h"
#include "ViewHarness.h"
#include "WireWriter.h"

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace
{
const std::string bob = "bob";

QStringList Split(const QString& i_entries)
{
    return i_entries.isEmpty() ? QStringList() : i_entries.split(u'|');
}

// The submenu of the entry with that text, or null.
QMenu* Submenu(const QMenu& i_menu, const QString& i_text)
{
    QAction* lp_action = ViewHarness::Entry(i_menu, i_text);
    return lp_action ? lp_action->menu() : nullptr;
}

void Flag(ItemPtr i_item, const char* ip_flag)
{
    i_item += d[ip_flag]->GetGlobalNullItem();
}

// Rooms as "name:roles", roles among o (owned), p (operated), m (user is member), x (user is
// operator); rooms separated by ";".
void MakeRooms(const QString& i_rooms)
{
    for (const QString& l_room : i_rooms.split(u';', Qt::SkipEmptyParts))
    {
        const QString l_name = l_room.section(u':', 0, 0);
        const QString l_roles = l_room.section(u':', 1);
        ItemPtr l_item = d["room"]->GetItem(l_name.toUtf8().toStdString());
        if (l_roles.contains(u'o'))
            Flag(l_item, "is_owner");
        if (l_roles.contains(u'p'))
            Flag(l_item, "is_operator");
        if (l_roles.contains(u'm'))
            User(bob) += l_item.NewItem("room_members");
        if (l_roles.contains(u'x'))
            User(bob) += l_item.NewItem("room_operators");
    }
}

// The private-room part of a menu: "title[entries]" per room, in order.
QStringList PrivateRooms(const QMenu& i_menu)
{
    QStringList l_rooms;
    QMenu* lp_rooms = Submenu(i_menu, u"Private Rooms"_s);
    if (!lp_rooms)
        return l_rooms;
    for (QAction* lp_action : lp_rooms->actions())
        l_rooms.append(lp_action->text().replace(u"&&"_s, u"&"_s) + u"["_s +
                       ViewHarness::Entries(*lp_action->menu()).join(u'|') + u"]"_s);
    return l_rooms;
}

// The menu's entries as "text=icon", the icon named after the resource that it shows, "?" for
// none or another.
QString EntryIcons(const QMenu& i_menu)
{
    QStringList l_entries;
    for (QAction* lp_action : i_menu.actions())
    {
        QString l_icon = u"?"_s;
        for (const char* lp_name : {"add_user", "browse", "chat", "note", "remove_user", "users"})
            if (!lp_action->icon().isNull() &&
                lp_action->icon().pixmap(16).toImage() ==
                    QIcon(u":/icons/%1_icon"_s.arg(QLatin1String(lp_name))).pixmap(16).toImage())
                l_icon = QLatin1String(lp_name);
        l_entries << (lp_action->isSeparator() ? u"-"_s : lp_action->text() + u'=' + l_icon);
    }
    return l_entries.join(u'|');
}

} // namespace

class TestUserMenu : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        mp_harness = std::make_unique<ViewHarness>();
        UserNoteDialog::Init();
    }
    void cleanupTestCase()
    {
        UserMenuOptions::SetBrowseHandler({});
        mp_harness.reset();
    }
    void init() { mp_harness->Reset(); }

    // The entries follow the user's state, in their fixed order; a view's own entries come first,
    // apart.
    void entriesFollowTheUsersState_data()
    {
        QTest::addColumn<bool>("listed");
        QTest::addColumn<bool>("note");
        QTest::addColumn<bool>("unshared");
        QTest::addColumn<bool>("ignored");
        QTest::addColumn<bool>("viewEntries");
        QTest::addColumn<QString>("entries");
        QTest::newRow("plain") << false << false << false << false << false
                               << u"Message user|Add user to list|Browse user's files|Add user "
                                  "note|-|Unshare files from user|Ignore chat from user"_s;
        QTest::newRow("everything set")
            << true << true << true << true << false
            << u"Message user|Set user's groups|Remove user from list|Browse user's files|Edit "
               "user note|-|Re-share files with user|Receive chat from user"_s;
        QTest::newRow("listed only")
            << true << false << false << false << false
            << u"Message user|Set user's groups|Remove user from list|Browse user's files|Add "
               "user note|-|Unshare files from user|Ignore chat from user"_s;
        QTest::newRow("note and ignored")
            << false << true << false << true << false
            << u"Message user|Add user to list|Browse user's files|Edit user note|-|Unshare "
               "files from user|Receive chat from user"_s;
        QTest::newRow("after a view's entries")
            << false << false << true << false << true
            << u"Download|-|Message user|Add user to list|Browse user's files|Add user "
               "note|-|Re-share files with user|Ignore chat from user"_s;
    }
    void entriesFollowTheUsersState()
    {
        QFETCH(bool, listed);
        QFETCH(bool, note);
        QFETCH(bool, unshared);
        QFETCH(bool, ignored);
        QFETCH(bool, viewEntries);
        QFETCH(QString, entries);
        ItemPtr l_user = User(bob);
        if (listed)
            l_user.NewItem("in_user_list");
        if (note)
            l_user += d["user_note"]->GetItem("pays late");
        if (unshared)
            Flag(l_user, "unshared");
        if (ignored)
            Flag(l_user, "is_ignored");
        QMenu l_menu;
        if (viewEntries)
            l_menu.addAction(u"Download"_s);
        UserMenuOptions l_options(&l_menu, bob);
        QCOMPARE(ViewHarness::Entries(l_menu), Split(entries));
    }

    // Each entry shows its own icon, whatever its wording.
    void entryIcons_data()
    {
        QTest::addColumn<bool>("set");
        QTest::addColumn<QString>("icons");
        QTest::newRow("nothing set")
            << false
            << u"Message user=chat|Add user to list=add_user|Browse user's files=browse|Add user "
               "note=note|-|Unshare files from user=browse|Ignore chat from user=chat"_s;
        QTest::newRow("everything set")
            << true
            << u"Message user=chat|Set user's groups=users|Remove user from list=remove_user|"
               "Browse user's files=browse|Edit user note=note|-|Re-share files with "
               "user=browse|Receive chat from user=chat"_s;
    }
    void entryIcons()
    {
        QFETCH(bool, set);
        QFETCH(QString, icons);
        ItemPtr l_user = User(bob);
        if (set)
        {
            l_user.NewItem("in_user_list");
            l_user += d["user_note"]->GetItem("pays late");
            Flag(l_user, "unshared");
            Flag(l_user, "is_ignored");
        }
        QMenu l_menu;
        UserMenuOptions l_options(&l_menu, bob);
        QCOMPARE(EntryIcons(l_menu), icons);
    }

    // Owned rooms come first, then operated ones, each in byte order; a room both owned and
    // operated shows once with the owner's entries. Names show as every view shows a name.
    void privateRoomsFollowRolesAndOrder_data()
    {
        QTest::addColumn<QString>("rooms");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("none") << u""_s << QStringList();
        QTest::newRow("owned, non-member")
            << u"den:o"_s << QStringList{u"den[Give User Membership]"_s};
        QTest::newRow("owned, member")
            << u"den:om"_s << QStringList{u"den[Remove User's Membership|-|Make User Operator]"_s};
        QTest::newRow("owned, member operator")
            << u"den:omx"_s
            << QStringList{u"den[Remove User's Membership|-|Remove User's Operator Status]"_s};
        QTest::newRow("owned, operator without membership")
            << u"den:ox"_s
            << QStringList{u"den[Give User Membership|-|Remove User's Operator Status]"_s};
        QTest::newRow("operated") << u"hall:p;lab:pm"_s
                                  << QStringList{u"hall[Give User Membership]"_s,
                                                 u"lab[Remove User's Membership]"_s};
        QTest::newRow("owned before operated, byte order")
            << u"zoo:p;bar:o;Yard:o;Attic:p;both:op"_s
            << QStringList{u"Yard[Give User Membership]"_s, u"bar[Give User Membership]"_s,
                           u"both[Give User Membership]"_s, u"Attic[Give User Membership]"_s,
                           u"zoo[Give User Membership]"_s};
        QTest::newRow("names with ampersands")
            << u"R&D:o"_s << QStringList{u"R&D[Give User Membership]"_s};
        QTest::newRow("direction controls shown as marks")
            << u"x\u202Eo:o;y\u202Ep:p"_s
            << QStringList{u"x<U+202E>o[Give User Membership]"_s,
                           u"y<U+202E>p[Give User Membership]"_s};
        QTest::newRow("blanks at the ends shown as marks")
            << u"lobby :o;\u00A0hall:p"_s
            << QStringList{u"lobby<U+0020>[Give User Membership]"_s,
                           u"<U+00A0>hall[Give User Membership]"_s};
    }
    void privateRoomsFollowRolesAndOrder()
    {
        QFETCH(QString, rooms);
        QFETCH(QStringList, expected);
        MakeRooms(rooms);
        QMenu l_menu;
        UserMenuOptions l_options(&l_menu, bob);
        const QStringList l_entries = ViewHarness::Entries(l_menu);
        QCOMPARE(PrivateRooms(l_menu), expected);
        if (expected.isEmpty())
            QCOMPARE(l_entries.last(), u"Ignore chat from user"_s);
        else
            QCOMPARE(l_entries.mid(l_entries.size() - 2),
                     QStringList({u"-"_s, u"Private Rooms"_s}));
    }

    void ownedRoomsStandOut()
    {
        MakeRooms(u"den:o;hall:p"_s);
        QMenu l_menu;
        UserMenuOptions l_options(&l_menu, bob);
        const QList<QAction*> l_rooms = Submenu(l_menu, u"Private Rooms"_s)->actions();
        QVERIFY(l_rooms[0]->font().bold() && l_rooms[0]->font().underline());
        QVERIFY(!l_rooms[0]->icon().isNull());
        QVERIFY(!l_rooms[1]->font().bold() && !l_rooms[1]->font().underline());
        QVERIFY(l_rooms[1]->icon().isNull());
    }

    // Each entry changes the user as it says and opens its dialog; names reach the store byte
    // for byte.
    void entriesChangeTheUser_data()
    {
        QTest::addColumn<QByteArray>("user");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("flag");
        QTest::addColumn<bool>("connected");
        QTest::addColumn<QString>("window");
        QTest::newRow("add to list") << "bob"_ba << u""_s << u"Add user to list"_s
                                     << u"in_user_list"_s << true << u"UserGroupsDialog"_s;
        QTest::newRow("groups") << "bob"_ba << u"in_user_list"_s << u"Set user's groups"_s
                                << u"in_user_list"_s << true << u"UserGroupsDialog"_s;
        QTest::newRow("remove from list")
            << "bob"_ba << u"in_user_list"_s << u"Remove user from list"_s << u"in_user_list"_s
            << false << u""_s;
        QTest::newRow("note") << "b&b"_ba << u""_s << u"Add user note"_s << u"user_note"_s << false
                              << u"UserNoteDialog"_s;
        QTest::newRow("ignore") << "R&D \xe9t\xe9"_ba << u""_s << u"Ignore chat from user"_s
                                << u"is_ignored"_s << true << u""_s;
        QTest::newRow("receive") << "bob"_ba << u"is_ignored"_s << u"Receive chat from user"_s
                                 << u"is_ignored"_s << false << u""_s;
        QTest::newRow("unshare") << "\xff<b>"_ba << u""_s << u"Unshare files from user"_s
                                 << u"unshared"_s << true << u""_s;
        QTest::newRow("re-share") << "bob"_ba << u"unshared"_s << u"Re-share files with user"_s
                                  << u"unshared"_s << false << u""_s;
    }
    void entriesChangeTheUser()
    {
        QFETCH(QByteArray, user);
        QFETCH(QString, setup);
        QFETCH(QString, entry);
        QFETCH(QString, flag);
        QFETCH(bool, connected);
        QFETCH(QString, window);
        const std::string l_name = user.toStdString();
        const std::string l_flag = flag.toStdString();
        if (setup == u"in_user_list"_s)
            User(l_name).NewItem("in_user_list");
        else if (!setup.isEmpty())
            Flag(User(l_name), l_flag.c_str());
        {
            QMenu l_menu;
            UserMenuOptions l_options(&l_menu, l_name);
            QVERIFY(ViewHarness::Trigger(l_menu, entry));
        }
        ViewHarness::Flush();
        QCOMPARE(User(l_name).IsConnected(l_flag), connected);
        QCOMPARE(d["user"]->GetItems().size(), std::size_t(1));
        QStringList l_windows;
        for (QWidget* lp_window : QApplication::topLevelWidgets())
            if (lp_window->isVisible() && lp_window->inherits("QDialog"))
                l_windows.append(QString::fromLatin1(lp_window->metaObject()->className()));
        QCOMPARE(l_windows, Split(window));
        if (window == u"UserNoteDialog"_s)
            QVERIFY(UserNoteDialog::GetDialog(l_name)->isVisible());
    }

    void browseEntryHandsTheNameOver()
    {
        QList<std::string> l_browsed;
        UserMenuOptions::SetBrowseHandler([&](const std::string& i_user)
                                          { l_browsed.append(i_user); });
        const std::string l_name = "a&b\xe9\x01";
        QMenu l_menu;
        UserMenuOptions l_options(&l_menu, l_name);
        QVERIFY(ViewHarness::Trigger(l_menu, u"Browse user's files"_s));
        UserMenuOptions::SetBrowseHandler({});
        QCOMPARE(l_browsed, QList<std::string>{l_name});
    }

    // The item log opens on the menu's user, made when it is missing, and goes when closed.
    void userLogOpensOnTheUser()
    {
        const std::string l_name = "log\xe9";
        QMenu l_menu;
        UserMenuOptions l_options(&l_menu, l_name);
        l_options.OnUserLog();
        QPointer<QWidget> l_dialog;
        for (QWidget* lp_window : QApplication::topLevelWidgets())
            if (lp_window->isVisible() && lp_window->inherits("ItemLogDialog"))
                l_dialog = lp_window;
        QVERIFY(l_dialog);
        QVERIFY(d["user"]->HasItem(l_name));
        l_dialog->close();
        QTRY_VERIFY(!l_dialog);
    }

    // The private-room entries ask the server, with the room of the submenu and the user.
    void roomEntriesAskTheServer_data()
    {
        QTest::addColumn<QString>("rooms");
        QTest::addColumn<QString>("room");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<quint32>("code");
        QTest::newRow("give membership")
            << u"den:o"_s << u"den"_s << u"Give User Membership"_s << 134u;
        QTest::newRow("remove membership")
            << u"caf\u00e9:pm"_s << u"caf\u00e9"_s << u"Remove User's Membership"_s << 135u;
        QTest::newRow("make operator")
            << u"a,b:om"_s << u"a,b"_s << u"Make User Operator"_s << 143u;
        QTest::newRow("remove operator")
            << u"den:ox"_s << u"den"_s << u"Remove User's Operator Status"_s << 144u;
    }
    void roomEntriesAskTheServer()
    {
        QFETCH(QString, rooms);
        QFETCH(QString, room);
        QFETCH(QString, entry);
        QFETCH(quint32, code);
        MakeRooms(rooms);
        const int l_connection = mp_harness->Peers().CentralConnection();
        mp_harness->Peers().SentFrames(l_connection);
        QMenu l_menu;
        UserMenuOptions l_options(&l_menu, bob);
        QMenu* lp_room = Submenu(*Submenu(l_menu, u"Private Rooms"_s), room);
        QVERIFY(lp_room);
        QVERIFY(ViewHarness::Trigger(*lp_room, entry));
        const auto l_frames = mp_harness->Peers().SentFrames(l_connection);
        QCOMPARE(l_frames.size(), 1);
        QCOMPARE(l_frames[0].code, code);
        QCOMPARE(l_frames[0].body,
                 WireWriter().WriteString(room.toUtf8()).WriteString("bob"_ba).Bytes());
    }

private:
    std::unique_ptr<ViewHarness> mp_harness;
};

VIEW_TEST_MAIN(TestUserMenu)
#include "tst_usermenu.moc"
