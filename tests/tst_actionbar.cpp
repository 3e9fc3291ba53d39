#include "ActionSetToolBar.h"
#include "Data.h"
#include "ServerHarness.h"
#include "TestSettings.h"
#include "UIFunctions.h"
#include "WireWriter.h"

#include <QDesktopServices>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <QUrlQuery>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>
#include <new>

// The bar declares its vocabulary once per process: one bar in one window serves every test;
// each test builds its widgets on a fresh central widget, which the next one destroys.
class TestActionBar : public QObject
{
    Q_OBJECT

    std::unique_ptr<QMainWindow> mp_window;
    ActionSetToolBar* mp_bar = nullptr;
    QWidget* mp_page = nullptr;
    QLineEdit* mp_outside = nullptr;
    QStringList m_triggered;
    QUrl m_opened;

    template <typename T> T* Add(QWidget* ip_parent = nullptr)
    {
        auto* lp_widget = new T(ip_parent ? ip_parent : mp_page);
        if (!ip_parent)
            mp_page->layout()->addWidget(lp_widget);
        lp_widget->show();
        return lp_widget;
    }

    static bool Focus(QWidget* ip_widget)
    {
        ip_widget->setFocus(Qt::OtherFocusReason);
        return QTest::qWaitFor([ip_widget] { return ip_widget->hasFocus(); }, 10000);
    }

    // The visible texts of the set shown, without the privileges group at the end.
    QStringList Shown() const
    {
        QStringList l_texts;
        const QList<QAction*> l_actions = mp_bar->actions();
        for (QAction* lp_action : l_actions.mid(0, l_actions.size() - 3))
            if (lp_action->isVisible())
                l_texts.append(lp_action->text());
        return l_texts;
    }

    QAction* Shown(const QString& i_text) const
    {
        for (QAction* lp_action : mp_bar->actions())
            if (lp_action->text() == i_text)
                return lp_action;
        return nullptr;
    }

    QPushButton* PrivilegesButton() const
    {
        return qobject_cast<QPushButton*>(mp_bar->widgetForAction(mp_bar->actions().last()));
    }

    std::size_t Count(const char* ip_type) const { return d.GetType(ip_type)->ItemCount(); }

public slots:
    void OnOpenUrl(const QUrl& i_url) { m_opened = i_url; }

private slots:
    void initTestCase()
    {
        mp_window = std::make_unique<QMainWindow>();
        mp_bar = new ActionSetToolBar(mp_window.get());
        mp_bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        mp_bar->setIconSize(QSize(16, 16));
        mp_window->addToolBar(mp_bar);
        TestSettings::Declare();
        connect(mp_bar, &ActionSetToolBar::ActionTriggered, this,
                [this](std::string i_id)
                {
                    m_triggered.append(QString::fromStdString(i_id) + QLatin1Char(':') +
                                       mp_bar->GetKey(QStringLiteral("room")));
                });
        mp_window->resize(600, 300);
        mp_window->show();
        mp_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(mp_window.get()));
    }

    void init()
    {
        mp_page = new QWidget;
        new QVBoxLayout(mp_page);
        mp_window->setCentralWidget(mp_page);
        mp_outside = Add<QLineEdit>();
        m_triggered.clear();
    }

    void cleanupTestCase() { mp_window.reset(); }

    // Actions show in the order of their definition over all sets, from the registered widget
    // that encloses the focus; a tab widget or its bar stands for its current page.
    void focusShowsTheSetOfTheEnclosingRegisteredWidget()
    {
        mp_bar->AddSetAction("t1_list", "enter", "Enter", ":/icons/room_icon", false);
        mp_bar->AddSetAction("t1_page", "leave", "Leave", ":/icons/room_icon", false);
        mp_bar->AddSetAction("t1_list", "create", "Create", ":/icons/room_icon", false);
        auto* lp_list = Add<QTreeWidget>();
        mp_bar->RegisterWidget(lp_list, QStringLiteral("t1_list"));
        auto* lp_tabs = Add<QTabWidget>();
        auto* lp_roomPage = new QWidget;
        auto* lp_entry = new QLineEdit(lp_roomPage);
        lp_tabs->addTab(lp_roomPage, QStringLiteral("room"));
        lp_tabs->addTab(new QWidget, QStringLiteral("other"));
        mp_bar->RegisterWidget(lp_roomPage, QStringLiteral("t1_page"));

        QVERIFY(Focus(lp_list));
        QCOMPARE(Shown(), (QStringList{QStringLiteral("Enter"), QStringLiteral("Create")}));
        QVERIFY(!Shown(QStringLiteral("Enter"))->icon().isNull());
        QVERIFY(PrivilegesButton());
        QCOMPARE(PrivilegesButton()->focusPolicy(), Qt::NoFocus);
        QVERIFY(Focus(lp_entry));
        QCOMPARE(Shown(), QStringList{QStringLiteral("Leave")});
        QVERIFY(Focus(mp_outside));
        QCOMPARE(mp_bar->actions().size(), 3);
        QVERIFY(Focus(lp_tabs->tabBar()));
        QCOMPARE(Shown(), QStringList{QStringLiteral("Leave")});
        QVERIFY(Focus(mp_outside));
        QVERIFY(Focus(lp_tabs));
        QCOMPARE(Shown(), QStringList{QStringLiteral("Leave")});

        QTest::qWait(50);
        mp_window->grab().save(QStringLiteral("/tmp/actionbar.png"));
    }

    // Each widget sees its own texts and hidden actions, even where two overrides share a text.
    void textsAndHiddenActionsPerWidget()
    {
        mp_bar->AddSetAction("t2", "join", "Join", ":/icons/room_icon", false);
        mp_bar->AddSetAction("t2", "part", "Part", ":/icons/room_icon", false);
        auto* lp_first = Add<QLineEdit>();
        auto* lp_second = Add<QLineEdit>();
        mp_bar->RegisterWidget(lp_first, QStringLiteral("t2"));
        mp_bar->RegisterWidget(lp_second, QStringLiteral("t2"));
        mp_bar->SetWidgetActionText(lp_first, QStringLiteral("join"), QStringLiteral("Same"));
        mp_bar->SetWidgetActionText(lp_second, QStringLiteral("part"), QStringLiteral("Same"));

        QVERIFY(Focus(lp_first));
        QCOMPARE(Shown(), (QStringList{QStringLiteral("Same"), QStringLiteral("Part")}));
        QVERIFY(Focus(lp_second));
        QCOMPARE(Shown(), (QStringList{QStringLiteral("Join"), QStringLiteral("Same")}));

        mp_bar->SetWidgetActionText(lp_second, QStringLiteral("part"), QStringLiteral("Other"));
        mp_bar->SetWidgetActionHidden(lp_second, QStringLiteral("join"), true);
        QCOMPARE(Shown(), QStringList{QStringLiteral("Other")});
        mp_bar->SetWidgetActionHidden(lp_second, QStringLiteral("join"), false);
        QCOMPARE(Shown(), QStringList{QStringLiteral("Other")});
        QVERIFY(Focus(lp_first));
        QCOMPARE(Shown(), (QStringList{QStringLiteral("Same"), QStringLiteral("Part")}));
        QVERIFY(Focus(lp_second));
        QCOMPARE(Shown(), (QStringList{QStringLiteral("Join"), QStringLiteral("Other")}));
    }

    // Fixed keys are set when the focus arrives, column keys from the first selected row when
    // an action is clicked; an action that needs a row does nothing without one.
    void keysGoWithTheTriggeredAction()
    {
        mp_bar->AddSetAction("t3_list", "enter", "Enter", ":/icons/room_icon", false);
        mp_bar->AddSetAction("t3_list", "info", "Info", ":/icons/room_icon", true);
        mp_bar->AddSetAction("t3_page", "leave", "Leave", ":/icons/room_icon", false);
        auto* lp_list = Add<QTreeWidget>();
        lp_list->setColumnCount(2);
        lp_list->setSelectionMode(QAbstractItemView::MultiSelection);
        for (const char* lp_room : {"alpha", "beta", "gamma"})
            new QTreeWidgetItem(lp_list, {QString::fromLatin1(lp_room), QStringLiteral("x")});
        mp_bar->RegisterWidget(lp_list, QStringLiteral("t3_list"));
        mp_bar->AddWidgetColumnKey(lp_list, QStringLiteral("room"), 0);
        mp_bar->AddWidgetColumnKey(lp_list, QStringLiteral("owner"), 5);
        auto* lp_roomPage = Add<QWidget>();
        auto* lp_entry = new QLineEdit(lp_roomPage);
        lp_entry->show();
        mp_bar->RegisterWidget(lp_roomPage, QStringLiteral("t3_page"));
        mp_bar->AddWidgetKey(lp_roomPage, QStringLiteral("room"), QStringLiteral("Café ñ 部屋"));

        QVERIFY(Focus(lp_list));
        QAction* lp_enter = Shown(QStringLiteral("Enter"));
        Shown(QStringLiteral("Info"))->trigger();
        QVERIFY(m_triggered.isEmpty());
        lp_enter->trigger();
        QCOMPARE(m_triggered, QStringList{QStringLiteral("enter:")});

        lp_list->topLevelItem(2)->setSelected(true);
        lp_list->topLevelItem(0)->setSelected(true);
        const QString l_first = lp_list->selectedItems().first()->text(0);
        Shown(QStringLiteral("Info"))->trigger();
        QCOMPARE(m_triggered.last(), QStringLiteral("info:") + l_first);
        QCOMPARE(mp_bar->GetKey(QStringLiteral("owner")), QString());
        QCOMPARE(mp_bar->GetKey(QStringLiteral("never_given")), QString());

        QVERIFY(Focus(lp_entry));
        QCOMPARE(mp_bar->GetKey(QStringLiteral("room")), QStringLiteral("Café ñ 部屋"));
        Shown(QStringLiteral("Leave"))->trigger();
        QCOMPARE(m_triggered.last(), QStringLiteral("leave:Café ñ 部屋"));

        lp_list->clearSelection();
        QVERIFY(Focus(lp_list));
        lp_enter = Shown(QStringLiteral("Enter"));
        lp_enter->trigger();
        QCOMPARE(m_triggered.last(), QStringLiteral("enter:Café ñ 部屋"));

        // Within one widget nothing is rebuilt, but its fixed keys are given again.
        auto* lp_second = new QLineEdit(lp_roomPage);
        lp_second->show();
        QVERIFY(Focus(lp_entry));
        QAction* lp_leave = Shown(QStringLiteral("Leave"));
        ItemPtr(d.GetType("active_action_key")->GetItem("room")) +=
            d.GetType("active_action_value")->GetItem("elsewhere");
        QVERIFY(Focus(lp_second));
        QCOMPARE(Shown(QStringLiteral("Leave")), lp_leave);
        QCOMPARE(mp_bar->GetKey(QStringLiteral("room")), QStringLiteral("Café ñ 部屋"));
    }

    // A widget made where a destroyed one stood finds none of its registration.
    void destroyedWidgetLeavesNothingBehind()
    {
        mp_bar->AddSetAction("t4_room", "leave", "Leave", ":/icons/room_icon", false);
        mp_bar->AddSetAction("t4_other", "other", "Other", ":/icons/room_icon", false);
        const std::size_t l_pairs = Count("action_key_value_pair");
        const std::size_t l_widgets = Count("toolbar_action_widget");
        alignas(QLineEdit) unsigned char l_place[sizeof(QLineEdit)];

        auto* lp_room = new (l_place) QLineEdit(mp_page);
        lp_room->show();
        mp_bar->RegisterWidget(lp_room, QStringLiteral("t4_room"));
        mp_bar->AddWidgetKey(lp_room, QStringLiteral("room"), QStringLiteral("closed"));
        mp_bar->AddWidgetColumnKey(lp_room, QStringLiteral("user"), 0);
        mp_bar->SetWidgetActionText(lp_room, QStringLiteral("other"), QStringLiteral("Stale"));
        mp_bar->SetWidgetActionHidden(lp_room, QStringLiteral("other"), true);
        QVERIFY(Focus(lp_room));
        QCOMPARE(Shown(), QStringList{QStringLiteral("Leave")});
        lp_room->~QLineEdit();
        QCOMPARE(mp_bar->actions().size(), 3);
        QCOMPARE(Count("toolbar_action_widget"), l_widgets);
        QCOMPARE(Count("action_key_value_pair"), l_pairs);

        auto* lp_next = new (l_place) QLineEdit(mp_page);
        lp_next->show();
        QVERIFY(Focus(lp_next));
        QCOMPARE(mp_bar->actions().size(), 3);
        mp_bar->RegisterWidget(lp_next, QStringLiteral("t4_other"));
        QVERIFY(Focus(mp_outside));
        QVERIFY(Focus(lp_next));
        QCOMPARE(Shown(), QStringList{QStringLiteral("Other")});
        mp_bar->AddWidgetKey(lp_next, QStringLiteral("room"), QStringLiteral("open"));
        QVERIFY(Focus(mp_outside));
        QVERIFY(Focus(lp_next));
        QCOMPARE(mp_bar->GetKey(QStringLiteral("room")), QStringLiteral("open"));
        lp_next->~QLineEdit();
    }

    // The list that supplies column keys may go while the page that holds it stays shown.
    void destroyedSelectionListIsNotRead()
    {
        mp_bar->AddSetAction("t5", "browse", "Browse", ":/icons/browse_icon", true);
        auto* lp_userPage = Add<QWidget>();
        new QVBoxLayout(lp_userPage);
        auto* lp_users = Add<QTreeWidget>(lp_userPage);
        lp_userPage->layout()->addWidget(lp_users);
        auto* lp_row = new QTreeWidgetItem(lp_users, {QStringLiteral("bob")});
        auto* lp_editor = new QLineEdit;
        lp_users->setItemWidget(lp_row, 0, lp_editor);
        mp_bar->RegisterWidget(lp_userPage, QStringLiteral("t5"));
        mp_bar->AddWidgetColumnKey(lp_userPage, QStringLiteral("room"), 0);
        QVERIFY(Focus(lp_editor));
        QCOMPARE(Shown(), QStringList{QStringLiteral("Browse")});

        delete lp_users;
        QCOMPARE(Shown(), QStringList{QStringLiteral("Browse")});
        Shown(QStringLiteral("Browse"))->trigger();
        QCOMPARE(m_triggered.size(), 1);
    }

    void privilegesDays_data()
    {
        QTest::addColumn<qlonglong>("seconds");
        QTest::addColumn<QString>("text");
        const QString l_support = QStringLiteral("Support Brindlex!");
        QTest::newRow("none") << 0LL << l_support;
        QTest::newRow("negative") << -100LL << l_support;
        QTest::newRow("one second") << 1LL << QStringLiteral("0 Days Left");
        QTest::newRow("half a day") << 43200LL << QStringLiteral("1 Days Left");
        QTest::newRow("a day and a half less a second")
            << 129599LL << QStringLiteral("1 Days Left");
        QTest::newRow("a day and a half") << 129600LL << QStringLiteral("2 Days Left");
        QTest::newRow("largest from the server")
            << 2147483647LL << QStringLiteral("24855 Days Left");
        QTest::newRow("largest in the data file")
            << 9223372036854775807LL << QStringLiteral("106751991167301 Days Left");
    }

    // From the server's report, and from the stored setting when the button is made again.
    void privilegesDays()
    {
        QFETCH(qlonglong, seconds);
        QFETCH(QString, text);
        if (seconds >= INT_MIN && seconds <= INT_MAX)
        {
            mp_bar->OnReceivedOwnPrivilegesStatus(int(seconds));
            QCOMPARE(PrivilegesButton()->text(), text);
        }
        TestSettings::SetSetting("privileges_time_left", seconds);
        auto* lp_other = Add<QLineEdit>();
        QVERIFY(Focus(lp_other));
        QCOMPARE(PrivilegesButton()->text(), text);
        TestSettings::SetSetting("privileges_time_left", 0);
    }

    // The server's report of the own privileges reaches the button once the bar is initialised.
    void privilegesFollowTheServer()
    {
        ServerHarness l_harness;
        mp_bar->Init();
        const int l_connection = l_harness.LogIn();
        QVERIFY(l_connection);
        QVERIFY(l_harness.Deliver(l_connection, 92, WireWriter().WriteI32(3 * 86400).Bytes()));
        QCOMPARE(PrivilegesButton()->text(), QStringLiteral("3 Days Left"));
        TestSettings::SetSetting("privileges_time_left", 0);
    }

    // The user's name is one query value, whatever it holds.
    void privilegesButtonOpensThePageForTheUser()
    {
        const QString l_name = QStringLiteral("a&b c#d=é+");
        TestSettings::SetSetting("username", Value(l_name));
        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "OnOpenUrl");
        PrivilegesButton()->click();
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QVERIFY(m_opened.isValid());
        QVERIFY(!m_opened.hasFragment());
        const QUrlQuery l_query(m_opened);
        QCOMPARE(l_query.queryItems().size(), 1);
        QCOMPARE(l_query.queryItems(QUrl::FullyDecoded).first().second, l_name);
    }

    // While the program shuts down, focus changes and clicks are ignored.
    void shutDownIgnoresFocusAndClicks()
    {
        mp_bar->AddSetAction("t6", "go", "Go", ":/icons/room_icon", false);
        auto* lp_list = Add<QTreeWidget>();
        mp_bar->RegisterWidget(lp_list, QStringLiteral("t6"));
        QVERIFY(Focus(lp_list));
        QAction* lp_go = Shown(QStringLiteral("Go"));
        g_showIsOver = true;
        QVERIFY(Focus(mp_outside));
        QCOMPARE(Shown(QStringLiteral("Go")), lp_go);
        lp_go->trigger();
        g_showIsOver = false;
        QVERIFY(m_triggered.isEmpty());
    }
};

QTEST_MAIN(TestActionBar)
#include "tst_actionbar.moc"
