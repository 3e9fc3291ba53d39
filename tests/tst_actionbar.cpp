#include "ActionSetToolBar.h"
#include "Data.h"
#include "TestSettings.h"

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

using namespace Qt::StringLiterals;

// The bar declares its vocabulary once per process: one bar serves every test, each of which
// builds its widgets on a fresh central widget that the next one destroys.
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

    // The visible texts of the set shown; the privileges group is the last three actions.
    QStringList Shown() const
    {
        QStringList l_texts;
        for (QAction* lp_action : mp_bar->actions().mid(0, mp_bar->actions().size() - 3))
            if (lp_action->isVisible())
                l_texts.append(lp_action->text());
        return l_texts;
    }

    QAction* Action(const QString& i_text) const
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

public slots:
    void OnOpenUrl(const QUrl& i_url) { m_opened = i_url; }

private slots:
    void initTestCase()
    {
        TestSettings::Declare();
        mp_window = std::make_unique<QMainWindow>();
        mp_bar = new ActionSetToolBar(mp_window.get());
        mp_window->addToolBar(mp_bar);
        connect(mp_bar, &ActionSetToolBar::ActionTriggered, this,
                [this](std::string i_id)
                {
                    m_triggered.append(QString::fromStdString(i_id) + QLatin1Char(':') +
                                       mp_bar->GetKey(u"room"_s));
                });
        mp_window->show();
        mp_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(mp_window.get()));
    }

    void init()
    {
        mp_page = new QWidget;
        new QVBoxLayout(mp_page);
        mp_window->setCentralWidget(mp_page);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        mp_outside = Add<QLineEdit>();
        m_triggered.clear();
    }

    void cleanupTestCase() { mp_window.reset(); }

    // Actions show in definition order over all sets, from the registered widget that encloses
    // the focus; a tab widget or its bar stands for its current page.
    void focusShowsTheSetOfTheEnclosingRegisteredWidget()
    {
        mp_bar->AddSetAction("t1_list", "enter", "Enter", ":/icons/room_icon", false);
        mp_bar->AddSetAction("t1_page", "leave", "Leave", ":/icons/room_icon", false);
        mp_bar->AddSetAction("t1_list", "create", "Create", ":/icons/room_icon", false);
        auto* lp_list = Add<QTreeWidget>();
        mp_bar->RegisterWidget(lp_list, u"t1_list"_s);
        auto* lp_tabs = Add<QTabWidget>();
        auto* lp_roomPage = new QWidget;
        auto* lp_entry = new QLineEdit(lp_roomPage);
        lp_tabs->addTab(lp_roomPage, u"room"_s);
        mp_bar->RegisterWidget(lp_roomPage, u"t1_page"_s);

        QVERIFY(Focus(lp_list));
        QCOMPARE(Shown(), (QStringList{u"Enter"_s, u"Create"_s}));
        QCOMPARE(PrivilegesButton()->focusPolicy(), Qt::NoFocus);
        QVERIFY(Focus(lp_entry));
        QCOMPARE(Shown(), QStringList{u"Leave"_s});
        for (QWidget* lp_tabsFocus : QList<QWidget*>{lp_tabs->tabBar(), lp_tabs})
        {
            QVERIFY(Focus(mp_outside));
            QCOMPARE(mp_bar->actions().size(), 3);
            QVERIFY(Focus(lp_tabsFocus));
            QCOMPARE(Shown(), QStringList{u"Leave"_s});
        }
    }

    // Each widget sees its own texts and hidden actions, also where two overrides share a text.
    void textsAndHiddenActionsPerWidget()
    {
        mp_bar->AddSetAction("t2", "join", "Join", ":/icons/room_icon", false);
        mp_bar->AddSetAction("t2", "part", "Part", ":/icons/room_icon", false);
        auto* lp_first = Add<QLineEdit>();
        auto* lp_second = Add<QLineEdit>();
        mp_bar->RegisterWidget(lp_first, u"t2"_s);
        mp_bar->RegisterWidget(lp_second, u"t2"_s);
        mp_bar->SetWidgetActionText(lp_first, u"join"_s, u"Same"_s);
        mp_bar->SetWidgetActionText(lp_second, u"part"_s, u"Same"_s);
        QVERIFY(Focus(lp_first));
        QCOMPARE(Shown(), (QStringList{u"Same"_s, u"Part"_s}));
        QVERIFY(Focus(lp_second));
        QCOMPARE(Shown(), (QStringList{u"Join"_s, u"Same"_s}));

        mp_bar->SetWidgetActionText(lp_second, u"part"_s, u"Other"_s);
        mp_bar->SetWidgetActionHidden(lp_second, u"join"_s, true);
        QCOMPARE(Shown(), QStringList{u"Other"_s});
    }

    // Fixed keys are given when the focus arrives (again within one widget, without rebuilding),
    // column keys from the first selected row on a click; an action that needs a row does
    // nothing without one, others keep the keys' earlier values.
    void keysGoWithTheTriggeredAction()
    {
        mp_bar->AddSetAction("t3_list", "enter", "Enter", ":/icons/room_icon", false);
        mp_bar->AddSetAction("t3_list", "info", "Info", ":/icons/room_icon", true);
        mp_bar->AddSetAction("t3_page", "leave", "Leave", ":/icons/room_icon", false);
        auto* lp_list = Add<QTreeWidget>();
        lp_list->setSelectionMode(QAbstractItemView::MultiSelection);
        for (const char* lp_room : {"alpha", "beta", "gamma"})
            new QTreeWidgetItem(lp_list, {QString::fromLatin1(lp_room)});
        mp_bar->RegisterWidget(lp_list, u"t3_list"_s);
        mp_bar->AddWidgetColumnKey(lp_list, u"room"_s, 0);
        auto* lp_roomPage = Add<QWidget>();
        auto* lp_entry = Add<QLineEdit>(lp_roomPage);
        auto* lp_second = Add<QLineEdit>(lp_roomPage);
        mp_bar->RegisterWidget(lp_roomPage, u"t3_page"_s);
        const QString l_fixed = u"Café ñ 部屋"_s;
        mp_bar->AddWidgetKey(lp_roomPage, u"room"_s, l_fixed);

        QVERIFY(Focus(lp_list));
        Action(u"Info"_s)->trigger();
        Action(u"Enter"_s)->trigger();
        lp_list->topLevelItem(2)->setSelected(true);
        lp_list->topLevelItem(0)->setSelected(true);
        const QString l_firstRow = lp_list->selectedItems().first()->text(0);
        Action(u"Info"_s)->trigger();
        QVERIFY(Focus(lp_entry));
        QAction* lp_leave = Action(u"Leave"_s);
        lp_leave->trigger();
        lp_list->clearSelection();
        QVERIFY(Focus(lp_list));
        Action(u"Enter"_s)->trigger();
        QCOMPARE(m_triggered, (QStringList{u"enter:"_s, u"info:"_s + l_firstRow,
                                           u"leave:"_s + l_fixed, u"enter:"_s + l_fixed}));
        QCOMPARE(mp_bar->GetKey(u"never_given"_s), QString());

        QVERIFY(Focus(lp_entry));
        lp_leave = Action(u"Leave"_s);
        ItemPtr(d.GetType("active_action_key")->GetItem("room")) +=
            d.GetType("active_action_value")->GetItem("elsewhere");
        QVERIFY(Focus(lp_second));
        QCOMPARE(Action(u"Leave"_s), lp_leave);
        QCOMPARE(mp_bar->GetKey(u"room"_s), l_fixed);
    }

    // A widget made where a destroyed one stood finds nothing of the old one's registration.
    void destroyedWidgetLeavesNothingBehind()
    {
        mp_bar->AddSetAction("t4", "leave", "Leave", ":/icons/room_icon", false);
        alignas(QLineEdit) unsigned char l_place[sizeof(QLineEdit)];
        auto* lp_room = new (l_place) QLineEdit(mp_page);
        lp_room->show();
        mp_bar->RegisterWidget(lp_room, u"t4"_s);
        mp_bar->AddWidgetKey(lp_room, u"room"_s, u"closed"_s);
        mp_bar->SetWidgetActionText(lp_room, u"leave"_s, u"Stale"_s);
        QVERIFY(Focus(lp_room));
        QCOMPARE(Shown(), QStringList{u"Stale"_s});
        lp_room->~QLineEdit();
        QCOMPARE(mp_bar->actions().size(), 3);

        auto* lp_next = new (l_place) QLineEdit(mp_page);
        auto l_end = qScopeGuard([lp_next] { lp_next->~QLineEdit(); });
        lp_next->show();
        QVERIFY(Focus(lp_next));
        QCOMPARE(mp_bar->actions().size(), 3);
        mp_bar->RegisterWidget(lp_next, u"t4"_s);
        QVERIFY(Focus(mp_outside));
        QVERIFY(Focus(lp_next));
        QCOMPARE(Shown(), QStringList{u"Leave"_s});
        ItemPtr l_item = d.GetType("toolbar_action_widget")->HasItem(Value(lp_next));
        QVERIFY(l_item.GetItems("action_key_value_pair").empty());
    }

    // The list that supplies column keys may go while the page that holds it stays shown.
    void destroyedSelectionListIsNotRead()
    {
        mp_bar->AddSetAction("t5", "browse", "Browse", ":/icons/browse_icon", true);
        auto* lp_userPage = Add<QWidget>();
        auto* lp_users = Add<QTreeWidget>(lp_userPage);
        auto* lp_editor = new QLineEdit;
        lp_users->setItemWidget(new QTreeWidgetItem(lp_users), 0, lp_editor);
        mp_bar->RegisterWidget(lp_userPage, u"t5"_s);
        mp_bar->AddWidgetColumnKey(lp_userPage, u"room"_s, 0);
        QVERIFY(Focus(lp_editor));
        delete lp_users;
        Action(u"Browse"_s)->trigger();
        QCOMPARE(m_triggered.size(), 1);
    }

    void privilegesDays_data()
    {
        QTest::addColumn<qlonglong>("seconds");
        QTest::addColumn<QString>("text");
        const QString l_support = u"Support Brindlex!"_s;
        QTest::newRow("none") << 0LL << l_support;
        QTest::newRow("negative") << -100LL << l_support;
        QTest::newRow("one second") << 1LL << u"0 Days Left"_s;
        QTest::newRow("a day and a half less a second") << 129599LL << u"1 Days Left"_s;
        QTest::newRow("a day and a half") << 129600LL << u"2 Days Left"_s;
        QTest::newRow("largest from the server") << 2147483647LL << u"24855 Days Left"_s;
        QTest::newRow("largest in the data file")
            << 9223372036854775807LL << u"106751991167301 Days Left"_s;
    }

    // From the server's report, and from the stored setting when the button is made again.
    void privilegesDays()
    {
        QFETCH(qlonglong, seconds);
        QFETCH(QString, text);
        if (seconds <= INT_MAX)
        {
            mp_bar->OnReceivedOwnPrivilegesStatus(int(seconds));
            QCOMPARE(PrivilegesButton()->text(), text);
        }
        TestSettings::SetSetting("privileges_time_left", seconds);
        QVERIFY(Focus(Add<QLineEdit>()));
        QCOMPARE(PrivilegesButton()->text(), text);
    }

    // The user's name is one query value, whatever it holds.
    void privilegesButtonOpensThePageForTheUser()
    {
        const QString l_name = u"a&b c#d=é+"_s;
        TestSettings::SetSetting("username", Value(l_name));
        QDesktopServices::setUrlHandler(u"https"_s, this, "OnOpenUrl");
        PrivilegesButton()->click();
        QDesktopServices::unsetUrlHandler(u"https"_s);
        QVERIFY(!m_opened.hasFragment());
        const QList<QPair<QString, QString>> l_items =
            QUrlQuery(m_opened).queryItems(QUrl::FullyDecoded);
        QCOMPARE(l_items.size(), 1);
        QCOMPARE(l_items.first().second, l_name);
    }
};

QTEST_MAIN(TestActionBar)
#include "tst_actionbar.moc"
