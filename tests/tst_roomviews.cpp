#include "ActionSetToolBar.h"
#include "CreateRoomDialog.h"
#include "Data.h"
#include "FrameClient.h"
#include "PeerHarness.h"
#include "QRoomListItemWidget.h"
#include "QRoomUserListItemWidget.h"
#include "RoomForm.h"
#include "Server.h"
#include "StoreFunctions.h"
#include "TestPeer.h"
#include "UserNoteDialog.h"
#include "ViewHarness.h"
#include "WireReader.h"
#include "WireWriter.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QtTest>

using namespace Qt::StringLiterals;
using Row = QRoomUserListItemWidget;

namespace
{
constexpr quint32 RoomChatCode = 13;
constexpr quint32 EnterRoomCode = 14;
constexpr quint32 LeaveRoomCode = 15;

struct Report
{
    std::string name;
    std::string country;
    qint64 files;
    qint64 speed;
};

// The server connection's way of reporting a user in a room: the user in the room, then the
// three attributes.
void Join(const std::string& i_room, const Report& i_user)
{
    ItemPtr l_user = User(i_user.name);
    ItemPtr(d["room"]->GetItem(i_room)) += l_user;
    SetValue(l_user, "average_download_speed", i_user.speed);
    SetValue(l_user, "shared_files_count", i_user.files);
    SetValue(l_user, "country_code", i_user.country);
}

void Leave(const std::string& i_room, const std::string& i_user)
{
    ItemPtr(d["room"]->GetItem(i_room)) -= User(i_user);
}

QTreeWidget* UserList(RoomForm* ip_form)
{
    return ip_form->findChild<QTreeWidget*>(u"userList"_s);
}

// The rows in the list's order; with i_place, after the waiting rows went in and those of the
// users who left went out.
QStringList Names(RoomForm* ip_form, bool i_place = true)
{
    if (i_place)
        ip_form->OnPlaceRows();
    QStringList l_names;
    QTreeWidget* lp_list = UserList(ip_form);
    for (int l_index = 0; l_index < lp_list->topLevelItemCount(); ++l_index)
        l_names.append(lp_list->topLevelItem(l_index)->text(Row::NameColumn));
    return l_names;
}

QTreeWidgetItem* RowOf(RoomForm* ip_form, const QString& i_name)
{
    ip_form->OnPlaceRows();
    const auto l_rows = UserList(ip_form)->findItems(i_name, Qt::MatchExactly, Row::NameColumn);
    return l_rows.size() == 1 ? l_rows.first() : nullptr;
}

// The log as the user reads it.
QString LogText(RoomForm* ip_form)
{
    return ip_form->findChild<QTextBrowser*>(u"chatView"_s)->toPlainText();
}

QString UserCount(const std::string& i_room)
{
    return QString::fromStdString(ItemPtr(d["room"]->GetItem(i_room))["user_count"].AsString());
}

bool SameImage(const QIcon& i_icon, const QString& i_file)
{
    return !i_icon.isNull() &&
           i_icon.pixmap(QSize(16, 11)).toImage().convertToFormat(QImage::Format_ARGB32) ==
               QImage(i_file).convertToFormat(QImage::Format_ARGB32);
}

// Opens a page for each room that the client enters, as the main window does.
class RoomOpener : public DataHandler
{
public:
    RoomOpener()
    {
        d.AddConnectionEventHandler(
            d["room"], d["in_room"],
            new EventHandler<RoomOpener, ConnectionInfo&>(this, &RoomOpener::OnEnteredRoom));
    }
    QPointer<RoomForm> mp_form;

private:
    void OnEnteredRoom(ConnectionInfo& i_info)
    {
        mp_form = new RoomForm(ItemPtr(i_info.first).AsString());
        mp_form->Init();
    }
};
} // namespace

class TestRoomViews : public QObject
{
    Q_OBJECT

    std::unique_ptr<ViewHarness> mp_harness;

    Server& Client() { return mp_harness->Peers().Client(); }
    TestServer& Central() { return mp_harness->Peers().Central(); }

    // The frames of the code that the client sent since the last call.
    QList<QByteArray> Sent(quint32 i_code)
    {
        QList<QByteArray> l_bodies;
        for (const auto& l_frame : mp_harness->Peers().SentFrames(Central().ConnectionOf("me")))
            if (l_frame.code == i_code)
                l_bodies.append(l_frame.body);
        return l_bodies;
    }

    void LogInAgain()
    {
        if (!Client().IsConnected())
            QVERIFY(mp_harness->Peers().LogIn() != 0);
    }

private slots:
    void initTestCase()
    {
        mp_harness = std::make_unique<ViewHarness>();
        UserNoteDialog::Init();
    }
    void cleanupTestCase() { mp_harness.reset(); }
    void init()
    {
        LogInAgain();
        mp_harness->Reset();
    }

    // Each row shows what the user's first full report said: flag only for a two-letter ASCII
    // code with a flag, files with separators, speed in K/s with one decimal and none for 0, the
    // name as every view shows it, its bytes kept whole; each cell's tool tip is its whole text.
    void userRowCells_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QByteArray>("country");
        QTest::addColumn<qint64>("files");
        QTest::addColumn<qint64>("speed");
        // The flag shown ("-" for none), the files and the speed cell.
        QTest::addColumn<QStringList>("cells");
        const auto l_row = [](const char* ip_name, const char* ip_country, qint64 i_files,
                              qint64 i_speed, const char* ip_cells, const char* ip_shown = nullptr)
        {
            QTest::addRow("%s, %s", ip_name, ip_country)
                << QByteArray(ip_name) << QString::fromUtf8(ip_shown ? ip_shown : ip_name)
                << QByteArray(ip_country) << i_files << i_speed
                << QString::fromLatin1(ip_cells).split(u'|');
        };
        l_row("alice", "DE", 1000, 1536, "de|1,000|1.5");
        l_row("bob", "fr", 0, 0, "fr||");
        l_row("carol", "", 12345678, 1024, "-|12,345,678|1.0");
        l_row("dave", "D", 1, 1, "-|1|0.0");
        l_row("eve", "DEU", 5, 102400, "-|5|100.0");
        l_row("frank", "/.", 5, 0, "-|5|");
        l_row("gina", "\xc3\xa9", 5, 0, "-|5|");
        l_row("hal", "zz", 5, 0, "-|5|");
        l_row("a&b \xe9", "se", 7, 2048, "se|7|2.0", "a&b \xef\xbf\xbd");
        l_row("Zo\xc3\xab", "", 1, 0, "-|1|");
        l_row("x\xe2\x80\xaeyz", "", 1, 0, "-|1|", "x<U+202E>yz");
        l_row("ali\xe2\x80\x8b"
              "ce ",
              "", 1, 0, "-|1|", "ali<U+200B>ce<U+0020>");
        l_row("\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x92\xbb", "", 1, 0, "-|1|");
        l_row("<b>administrator</b>&lt;\xe2\x80\x8b"
              "administrator",
              "", 1, 0, "-|1|", "<b>administrator</b>&lt;<U+200B>administrator");
    }
    void userRowCells()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, shown);
        QFETCH(QByteArray, country);
        QFETCH(qint64, files);
        QFETCH(qint64, speed);
        QFETCH(QStringList, cells);
        RoomForm l_form("lobby");
        Join("lobby", {name.toStdString(), country.toStdString(), files, speed});

        QTreeWidgetItem* lp_row = RowOf(&l_form, shown);
        QVERIFY(lp_row);
        QCOMPARE(static_cast<Row*>(lp_row)->Name(), name.toStdString());
        const QIcon l_flag = lp_row->icon(Row::FlagColumn);
        QVERIFY(cells[0] == u"-"_s
                    ? l_flag.isNull()
                    : SameImage(l_flag, u":/resources/flags/"_s + cells[0] + u".png"_s));
        QCOMPARE(lp_row->text(Row::FilesColumn), cells[1]);
        QCOMPARE(lp_row->text(Row::SpeedColumn), cells[2]);
        QCOMPARE(ViewHarness::ToolTipMismatches(lp_row->treeWidget()), QStringList());
        QVERIFY(lp_row->icon(Row::NoteColumn).isNull());
        for (int l_column : {int(Row::NoneColumn), int(Row::FlagColumn), int(Row::NoteColumn)})
            QVERIFY(lp_row->text(l_column).isEmpty());
        QCOMPARE(UserCount("lobby"), u"1"_s);
    }

    // A user gets a row once all three attributes came; a second report, with other figures or
    // through another attribute connected anew, adds no row and changes none; leaving removes
    // the row, and user_count follows the room's users.
    void oneRowPerUser()
    {
        RoomForm l_form("lobby");
        ItemPtr l_user = User("alice");
        ItemPtr(d["room"]->GetItem("lobby")) += l_user;
        SetValue(l_user, "average_download_speed", 1024);
        SetValue(l_user, "shared_files_count", 3);
        QCOMPARE(Names(&l_form), QStringList());
        SetValue(l_user, "country_code", "de");
        QCOMPARE(Names(&l_form), QStringList{u"alice"_s});

        Join("lobby", {"alice", "fr", 999, 4096});
        Join("lobby", {"bob", "", 1, 0});
        QCOMPARE(Names(&l_form), (QStringList{u"alice"_s, u"bob"_s}));
        QCOMPARE(RowOf(&l_form, u"alice"_s)->text(Row::FilesColumn), u"3"_s);
        QCOMPARE(RowOf(&l_form, u"alice"_s)->text(Row::SpeedColumn), u"1.0"_s);
        QCOMPARE(UserCount("lobby"), u"2"_s);

        // Another room's users are not this page's.
        Join("other", {"carol", "", 1, 0});
        Leave("other", "bob");
        QCOMPARE(Names(&l_form), (QStringList{u"alice"_s, u"bob"_s}));

        Leave("lobby", "alice");
        QCOMPARE(Names(&l_form), QStringList{u"bob"_s});
        QCOMPARE(UserCount("lobby"), u"1"_s);
        Join("lobby", {"alice", "fr", 999, 4096});
        QCOMPARE(RowOf(&l_form, u"alice"_s)->text(Row::FilesColumn), u"999"_s);
        QCOMPARE(UserCount("lobby"), u"2"_s);
    }

    // Users who leave before their rows went in leave no row behind and take no other user's row
    // with them, in a batch large enough to go in with one sort of a list already holding rows.
    void usersLeavingBeforeTheirRowsGoIn()
    {
        RoomForm l_form("lobby");
        Join("lobby", {"m", "", 1, 0});
        QCOMPARE(Names(&l_form), QStringList{u"m"_s});
        QStringList l_expected{u"m"_s};
        for (int l_index = 0; l_index < 30; ++l_index)
        {
            const std::string l_name = "u" + std::to_string(10 + l_index);
            Join("lobby", {l_name, "", l_index, 0});
            if (l_index % 3 == 0)
                Leave("lobby", l_name);
            else
                l_expected.append(QString::fromStdString(l_name));
        }
        // Gone and back before the rows went in: one row.
        Leave("lobby", "u11");
        Join("lobby", {"u11", "", 1, 0});
        l_expected.sort();
        QCOMPARE(Names(&l_form, false), QStringList{u"m"_s});
        QCOMPARE(UserCount("lobby"), QString::number(l_expected.size()));
        QCOMPARE(Names(&l_form), l_expected);
    }

    // The note icon follows the user's note; a click on it opens the note dialog, a click on a
    // row without a note or on another column does nothing.
    void noteColumn()
    {
        RoomForm l_form("lobby");
        Join("lobby", {"alice", "", 1, 0});
        Join("lobby", {"bob", "", 1, 0});
        User("alice") += d["user_note"]->GetItem("friend");
        QTreeWidgetItem* lp_alice = RowOf(&l_form, u"alice"_s);
        QVERIFY(!lp_alice->icon(Row::NoteColumn).isNull());
        QVERIFY(RowOf(&l_form, u"bob"_s)->icon(Row::NoteColumn).isNull());

        emit UserList(&l_form)->itemClicked(RowOf(&l_form, u"bob"_s), Row::NoteColumn);
        emit UserList(&l_form)->itemClicked(lp_alice, Row::NameColumn);
        QVERIFY(!User("alice")["user_note_dialog"]);
        QVERIFY(!User("bob")["user_note_dialog"]);
        emit UserList(&l_form)->itemClicked(lp_alice, Row::NoteColumn);
        QVERIFY(User("alice")["user_note_dialog"]);
        QVERIFY(User("alice")["user_note_dialog"].AsPtr<QWidget>()->isVisible());

        User("alice").Disconnect("user_note");
        QVERIFY(lp_alice->icon(Row::NoteColumn).isNull());
        // A user who joins with a note shows it at once.
        User("carol") += d["user_note"]->GetItem("friend");
        Join("lobby", {"carol", "", 1, 0});
        QVERIFY(!RowOf(&l_form, u"carol"_s)->icon(Row::NoteColumn).isNull());
    }

    // Rows join in the list's order under any sort column and direction: names without regard
    // to case, numbers as numbers, then by name; changing the sort re-sorts.
    void rowOrder_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<bool>("ascending");
        QTest::addColumn<QStringList>("expected");
        QTest::addRow("name") << int(Row::NameColumn) << true
                              << QStringList{u"abc"_s, u"ABD"_s, u"b10"_s, u"B9"_s, u"zed"_s};
        QTest::addRow("name descending")
            << int(Row::NameColumn) << false
            << QStringList{u"zed"_s, u"B9"_s, u"b10"_s, u"ABD"_s, u"abc"_s};
        QTest::addRow("files") << int(Row::FilesColumn) << true
                               << QStringList{u"zed"_s, u"abc"_s, u"b10"_s, u"B9"_s, u"ABD"_s};
        QTest::addRow("speed") << int(Row::SpeedColumn) << true
                               << QStringList{u"abc"_s, u"b10"_s, u"B9"_s, u"zed"_s, u"ABD"_s};
        QTest::addRow("speed descending")
            << int(Row::SpeedColumn) << false
            << QStringList{u"ABD"_s, u"zed"_s, u"B9"_s, u"b10"_s, u"abc"_s};
        QTest::addRow("flag") << int(Row::FlagColumn) << true
                              << QStringList{u"abc"_s, u"zed"_s, u"b10"_s, u"ABD"_s, u"B9"_s};
        QTest::addRow("note") << int(Row::NoteColumn) << true
                              << QStringList{u"abc"_s, u"ABD"_s, u"b10"_s, u"zed"_s, u"B9"_s};
    }
    void rowOrder()
    {
        QFETCH(int, column);
        QFETCH(bool, ascending);
        QFETCH(QStringList, expected);
        User("B9") += d["user_note"]->GetItem("n");
        const std::vector<Report> l_users = {{"zed", "de", 12, 2048},
                                             {"b10", "fr", 100, 0},
                                             {"ABD", "se", 1000, 1024000},
                                             {"abc", "", 100, 0},
                                             {"B9", "se", 100, 1024}};
        const Qt::SortOrder l_order = ascending ? Qt::AscendingOrder : Qt::DescendingOrder;
        {
            // Sorted before the users come: each goes straight to its place.
            RoomForm l_form("lobby");
            UserList(&l_form)->header()->setSortIndicator(column, l_order);
            for (const Report& l_user : l_users)
                Join("lobby", l_user);
            QCOMPARE(Names(&l_form), expected);
        }
        // Sorted after, by clicks on the header: the rows are sorted there.
        RoomForm l_form("second");
        for (const Report& l_user : l_users)
            Join("second", l_user);
        Names(&l_form);
        l_form.show();
        QHeaderView* lp_header = UserList(&l_form)->header();
        const QPoint l_section(lp_header->sectionViewportPosition(column) + 5, 5);
        for (int l_clicks = 0; l_clicks < 2 && (lp_header->sortIndicatorSection() != column ||
                                                lp_header->sortIndicatorOrder() != l_order);
             ++l_clicks)
            QTest::mouseClick(lp_header->viewport(), Qt::LeftButton, {}, l_section);
        QCOMPARE(lp_header->sortIndicatorOrder(), l_order);
        QCOMPARE(Names(&l_form), expected);
        QCOMPARE(UserList(&l_form)->sortColumn(), column);
    }

    // Every column orders the rows strictly and weakly: never a row before itself, never both
    // ways, and rows that tie with a third tie with each other.
    void rowsAreStrictlyWeaklyOrdered()
    {
        std::vector<std::unique_ptr<Row>> l_rows;
        for (const char* lp_name : {"a", "A", "b", "1,000", "999", "é", "É", ""})
            for (qint64 l_number : {0LL, 9LL, 1000LL})
                for (const char* lp_country : {"", "de", "DE"})
                    l_rows.push_back(std::make_unique<Row>(lp_name, lp_country, l_number,
                                                           1000 - l_number, l_number == 9));
        for (int l_column = 0; l_column < Row::ColumnCount; ++l_column)
        {
            const auto l_less = [l_column](const auto& a, const auto& b)
            { return a->LessThan(*b, l_column); };
            for (const auto& a : l_rows)
            {
                QVERIFY(!l_less(a, a));
                for (const auto& b : l_rows)
                {
                    QVERIFY(!(l_less(a, b) && l_less(b, a)));
                    for (const auto& c : l_rows)
                    {
                        if (l_less(a, b) && l_less(b, c))
                            QVERIFY(l_less(a, c));
                        const bool l_tieAB = !l_less(a, b) && !l_less(b, a);
                        const bool l_tieBC = !l_less(b, c) && !l_less(c, b);
                        if (l_tieAB && l_tieBC)
                            QVERIFY(!l_less(a, c) && !l_less(c, a));
                    }
                }
            }
        }
    }

    // The room list: owned, operated, member rooms first, each group by name without regard to
    // case; by the user column, by number of users.
    void roomListOrder_data()
    {
        QTest::addColumn<int>("column");
        QTest::addColumn<QStringList>("expected");
        QTest::addRow("by name") << 0
                                 << QStringList{u"own&op"_s, u"zown"_s, u"op&member"_s, u"member"_s,
                                                u"abc"_s,    u"ABD"_s,  u"plain"_s};
        QTest::addRow("by users") << 1
                                  << QStringList{u"plain"_s,     u"abc"_s,  u"ABD"_s,   u"member"_s,
                                                 u"op&member"_s, u"zown"_s, u"own&op"_s};
    }
    void roomListOrder()
    {
        QFETCH(int, column);
        QFETCH(QStringList, expected);
        const struct
        {
            const char* name;
            const char* users;
            std::vector<const char*> roles;
        } l_rooms[] = {{"plain", "", {}},
                       {"ABD", "12", {}},
                       {"abc", "5", {}},
                       {"member", "13", {"is_member"}},
                       {"op&member", "50", {"is_operator", "is_member"}},
                       {"zown", "100", {"is_owner"}},
                       {"own&op", "1000", {"is_operator", "is_owner"}}};
        QTreeWidget l_list;
        l_list.setColumnCount(2);
        for (const auto& l_room : l_rooms)
        {
            for (const char* lp_role : l_room.roles)
                ItemPtr(d["room"]->GetItem(l_room.name)) += d[lp_role]->GetGlobalNullItem();
            auto* lp_row = new QRoomListItemWidget(&l_list);
            lp_row->setText(0, QString::fromUtf8(l_room.name));
            QRoomListItemWidget::SetRoomName(lp_row, l_room.name);
            lp_row->setText(1, QString::fromLatin1(l_room.users));
        }
        l_list.sortItems(column, Qt::AscendingOrder);
        QStringList l_names;
        for (int l_index = 0; l_index < l_list.topLevelItemCount(); ++l_index)
            l_names.append(l_list.topLevelItem(l_index)->text(0));
        QCOMPARE(l_names, expected);
        // Two rooms of equal count are equal.
        QTreeWidgetItem* lp_first = l_list.topLevelItem(0);
        QVERIFY(!(*lp_first < *lp_first));
    }

    // The tool bar's room set: the auto-join text follows the room's flag; the give-up actions
    // show by the user's role in the room when the page opens.
    void toolBarTexts_data()
    {
        QTest::addColumn<QStringList>("roles");
        QTest::addColumn<QStringList>("shown");
        const QString l_leave = u"Leave Room"_s;
        QTest::addRow("public") << QStringList() << QStringList{l_leave, u"Auto-Join Room [off]"_s};
        QTest::addRow("member") << QStringList{u"is_member"_s}
                                << QStringList{l_leave, u"Auto-Join Room [off]"_s,
                                               u"Give Up Membership"_s};
        QTest::addRow("owner") << QStringList{u"is_member"_s, u"is_owner"_s}
                               << QStringList{l_leave, u"Auto-Join Room [off]"_s,
                                              u"Give Up Room"_s};
        QTest::addRow("auto-join")
            << QStringList{u"room_autojoin"_s} << QStringList{l_leave, u"Auto-Join Room [on]"_s};
    }
    void toolBarTexts()
    {
        QFETCH(QStringList, roles);
        QFETCH(QStringList, shown);
        // The shell's set, as its start-up declares it.
        for (const auto& [lp_id, lp_text] : {std::pair{"leave_room", "Leave Room"},
                                             {"toggle_room_autojoin", "Toggle Room Autojoin"},
                                             {"give_up_membership", "Give Up Membership"},
                                             {"give_up_ownership", "Give Up Room"}})
            actionBar->AddSetAction("room", lp_id, lp_text, ":/icons/room_icon", false);
        ItemPtr l_room = d["room"]->GetItem("a&b");
        for (const QString& l_role : roles)
            l_room += d[l_role.toStdString()]->GetGlobalNullItem();
        RoomForm l_form("a&b");
        l_form.show();
        l_form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&l_form));
        QWidget* lp_entry = l_form.findChild<QLineEdit*>(u"chatEdit"_s);
        lp_entry->setFocus();
        const auto l_shown = []
        {
            // The privileges group is the last three actions.
            QStringList l_texts;
            const QList<QAction*> l_actions = actionBar->actions();
            for (QAction* lp_action : l_actions.mid(0, l_actions.size() - 3))
                if (lp_action->isVisible())
                    l_texts.append(lp_action->text());
            return l_texts;
        };
        QTRY_COMPARE(l_shown(), shown);
        QCOMPARE(actionBar->GetKey(u"room"_s), u"a&b"_s);

        const bool l_on = roles.contains(u"room_autojoin"_s);
        if (l_on)
            l_room.Disconnect("room_autojoin");
        else
            l_room.NewItem("room_autojoin");
        QStringList l_toggled = shown;
        l_toggled[1] = l_on ? u"Auto-Join Room [off]"_s : u"Auto-Join Room [on]"_s;
        QTRY_COMPARE(l_shown(), l_toggled);
    }

    // Disconnected, the page keeps its rows and log and says so; a line typed then stays in the
    // field with a line saying it was not sent; at the next login it says so and enters the room
    // again.
    void disconnectAndReconnect()
    {
        RoomForm l_form("lobby");
        Join("lobby", {"alice", "", 1, 0});
        mp_harness->SetNow(QDateTime(QDate(2011, 5, 2), QTime(9, 8, 7)));
        Central().DropConnection(mp_harness->Peers().CentralConnection());
        QTRY_VERIFY_WITH_TIMEOUT(!Client().IsConnected(), ViewHarness::timeoutMs);
        QVERIFY(LogText(&l_form).endsWith(u"* Disconnected at 9:08:07."_s));
        QCOMPARE(Names(&l_form), QStringList{u"alice"_s});

        auto* lp_entry = l_form.findChild<QLineEdit*>(u"chatEdit"_s);
        lp_entry->setText(u"hello"_s);
        emit lp_entry->returnPressed();
        QCOMPARE(lp_entry->text(), u"hello"_s);
        QVERIFY(LogText(&l_form).endsWith(u"* Not sent: the client is not connected."_s));

        mp_harness->AdvanceSeconds(3600);
        QVERIFY(mp_harness->Peers().LogIn() != 0);
        QVERIFY(LogText(&l_form).contains(u"* Reconnected at 10:08:07."_s));
        const QList<QByteArray> l_entries = Sent(EnterRoomCode);
        QCOMPARE(l_entries.size(), 1);
        WireReader l_entry(l_entries.first());
        QCOMPARE(l_entry.ReadString(), "lobby"_ba);
        QCOMPARE(l_entry.ReadU32(), 0u);
        // The test server answers with the room as it is now: the client alone.
        QTRY_COMPARE_WITH_TIMEOUT(Names(&l_form, false), QStringList{u"me"_s},
                                  ViewHarness::timeoutMs);

        // Logged in, the line goes and the field empties; an empty field sends nothing.
        emit lp_entry->returnPressed();
        QVERIFY(lp_entry->text().isEmpty());
        emit lp_entry->returnPressed();
        const QList<QByteArray> l_chats = Sent(RoomChatCode);
        QCOMPARE(l_chats.size(), 1);
        WireReader l_chat(l_chats.first());
        QCOMPARE(l_chat.ReadString(), "lobby"_ba);
        QCOMPARE(l_chat.ReadString(), "hello"_ba);
    }

    // The page goes once the client is out of the room, after the store's event and not within
    // it; a new entry meanwhile gets a page of its own.
    void pageLeavesWithTheRoom()
    {
        ItemPtr l_room = d["room"]->GetItem("lobby");
        l_room.NewItem("in_room");
        QPointer<RoomForm> lp_form = new RoomForm("lobby");
        Join("lobby", {"alice", "", 1, 0});
        bool l_aliveInEvent = false;
        auto* lp_watch = new PathNode(l_room);
        new PathNode(lp_watch, "in_room", OnDisconnect);
        struct Watch : DataHandler
        {
            QPointer<RoomForm>* mp_form;
            bool* mp_alive;
            void On(Item*) { *mp_alive = !mp_form->isNull(); }
        } l_watch;
        l_watch.mp_form = &lp_form;
        l_watch.mp_alive = &l_aliveInEvent;
        d.AddPathEventHandler(lp_watch, new EventHandler<Watch, Item*>(&l_watch, &Watch::On));

        l_room.Disconnect("in_room");
        l_room.Disconnect("user");
        QVERIFY(l_aliveInEvent);
        QVERIFY(lp_form);
        QVERIFY(!l_room["room_form"]);
        ViewHarness::Flush();
        QVERIFY(!lp_form);
    }

    // The create-room dialog: a blank name does nothing; logged out, it stays with what was
    // typed and says why; logged in, it asks for the trimmed name with the private flag and
    // goes, and the next one is new.
    void createRoomDialog_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("isPrivate");
        QTest::addColumn<QByteArray>("sent");
        QTest::addRow("blank") << u"   "_s << false << QByteArray();
        QTest::addRow("public, trimmed") << u"  new room  "_s << false << "new room"_ba;
        QTest::addRow("private, UTF-8") << u"caf\u00e9 & co"_s << true << "caf\xc3\xa9 & co"_ba;
    }
    void createRoomDialog()
    {
        QFETCH(QString, typed);
        QFETCH(bool, isPrivate);
        QFETCH(QByteArray, sent);
        Sent(EnterRoomCode);
        QPointer<CreateRoomDialog> lp_dialog = new CreateRoomDialog();
        QCOMPARE(::createRoomDialog, lp_dialog.data());
        lp_dialog->show();
        lp_dialog->findChild<QLineEdit*>(u"roomNameEdit"_s)->setText(typed);
        lp_dialog->findChild<QCheckBox*>(u"createPrivateCheckBox"_s)->setChecked(isPrivate);
        auto* lp_button = lp_dialog->findChild<QPushButton*>(u"createRoomButton"_s);
        auto* lp_status = lp_dialog->findChild<QLabel*>(u"statusLabel"_s);

        if (!sent.isEmpty())
        {
            Client().Disconnect();
            QTRY_VERIFY_WITH_TIMEOUT(!Client().IsConnected(), ViewHarness::timeoutMs);
            lp_button->click();
            ViewHarness::Flush();
            QVERIFY(lp_dialog && lp_dialog->isVisible());
            QCOMPARE(lp_dialog->findChild<QLineEdit*>(u"roomNameEdit"_s)->text(), typed);
            QVERIFY(lp_status->isVisible());
            QCOMPARE(lp_status->text(), u"Not sent: the client is not connected."_s);
            LogInAgain();
        }
        lp_button->click();
        ViewHarness::Flush();
        const QList<QByteArray> l_entries = Sent(EnterRoomCode);
        if (sent.isEmpty())
        {
            QVERIFY(lp_dialog && lp_dialog->isVisible());
            QVERIFY(l_entries.isEmpty());
            return;
        }
        QVERIFY(!lp_dialog);
        QVERIFY(!::createRoomDialog);
        QCOMPARE(l_entries.size(), 1);
        WireReader l_entry(l_entries.first());
        QCOMPARE(l_entry.ReadString(), sent);
        QCOMPARE(l_entry.ReadU32(), isPrivate ? 1u : 0u);
    }

    // Two users in one room through the server: each sees the other, named alike in the list
    // and in the chat lines, their chat reaches the page, the own line only as the server relays
    // it, and a user who leaves goes from the list.
    void twoUsersInOneRoom()
    {
        RoomOpener l_opener;
        TestPeer l_alicePeer;
        Central().SetUserCountry("Zo\xc3\xab", "SE");
        auto lp_alice = mp_harness->Peers().LogInPeer("Zo\xc3\xab", l_alicePeer);
        lp_alice->SendMessage(EnterRoomCode, WireWriter().WriteString("café").WriteU32(0).Bytes());
        QVERIFY(lp_alice->Take(EnterRoomCode, ViewHarness::timeoutMs));

        Client().EnterRoom("café", false);
        QTRY_VERIFY_WITH_TIMEOUT(l_opener.mp_form, ViewHarness::timeoutMs);
        RoomForm* lp_form = l_opener.mp_form;
        QTRY_COMPARE_WITH_TIMEOUT(Names(lp_form, false), (QStringList{u"me"_s, u"Zo\u00eb"_s}),
                                  ViewHarness::timeoutMs);
        QVERIFY(!RowOf(lp_form, u"Zo\u00eb"_s)->icon(Row::FlagColumn).isNull());
        QCOMPARE(UserCount("café"), u"2"_s);

        lp_alice->SendMessage(RoomChatCode,
                              WireWriter().WriteString("café").WriteString("hi <b>me</b>").Bytes());
        QTRY_VERIFY_WITH_TIMEOUT(LogText(lp_form).contains(u"[Zo\u00eb] hi <b>me</b>"_s),
                                 ViewHarness::timeoutMs);
        auto* lp_entry = lp_form->findChild<QLineEdit*>(u"chatEdit"_s);
        lp_entry->setText(u"hello alice"_s);
        emit lp_entry->returnPressed();
        QVERIFY(!LogText(lp_form).contains(u"hello alice"_s));
        QTRY_VERIFY_WITH_TIMEOUT(LogText(lp_form).contains(u"[me] hello alice"_s),
                                 ViewHarness::timeoutMs);
        QVERIFY(lp_alice->Take(RoomChatCode, ViewHarness::timeoutMs));

        lp_form->resize(748, 436);
        const QString l_picture = ViewHarness::Snapshot(lp_form, u"room"_s);
        QVERIFY(!l_picture.isEmpty());

        lp_alice->SendMessage(LeaveRoomCode, WireWriter().WriteString("café").Bytes());
        QTRY_COMPARE_WITH_TIMEOUT(Names(lp_form, false), QStringList{u"me"_s},
                                  ViewHarness::timeoutMs);
        QCOMPARE(UserCount("café"), u"1"_s);

        // Leaving through the server takes the page away.
        Client().LeaveRoom("café");
        QTRY_VERIFY_WITH_TIMEOUT(!l_opener.mp_form, ViewHarness::timeoutMs);
    }
};

VIEW_TEST_MAIN(TestRoomViews)
#include "tst_roomviews.moc"
