#include "RoomTabWidget.h"
#include "TabWidget.h"
#include "UIFunctions.h"

#include <QApplication>
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>
#include <QVBoxLayout>

class TestUIFunctions : public QObject
{
    Q_OBJECT

    // A shown, active window holding a tab widget, whose first page has a line edit with the
    // focus and whose second page is empty, and a line edit outside the tab widget.
    struct Window
    {
        Window()
        {
            new QVBoxLayout(&m_window);
            m_window.layout()->addWidget(&m_tabs);
            m_window.layout()->addWidget(&m_outside);
            m_tabs.addTab(&m_first, QStringLiteral("first"));
            m_tabs.addTab(&m_second, QStringLiteral("second"));
            new QVBoxLayout(&m_second);
            auto* lp_entry = new QLineEdit(&m_first);
            m_window.show();
            m_window.activateWindow();
            m_active = QTest::qWaitForWindowActive(&m_window);
            lp_entry->setFocus();
        }
        QWidget m_window;
        bool m_active = false;
        TabWidget m_tabs;
        QLineEdit m_outside;
        QWidget m_first;
        QWidget m_second;
    };

    static bool Focused(QWidget* ip_widget)
    {
        return QTest::qWaitFor([ip_widget] { return ip_widget->hasFocus(); }, 10000);
    }

private slots:
    void focusShowsEveryEnclosingTab_data()
    {
        QTest::addColumn<bool>("andParents");
        QTest::newRow("FocusWidget") << false;
        QTest::newRow("FocusWidgetAndParents") << true;
    }

    void focusShowsEveryEnclosingTab()
    {
        QFETCH(bool, andParents);
        QTabWidget l_outer;
        l_outer.addTab(new QWidget, QStringLiteral("first"));
        auto* lp_outerPage = new QWidget;
        l_outer.addTab(lp_outerPage, QStringLiteral("second"));
        auto* lp_inner = new RoomTabWidget;
        auto* lp_layout = new QVBoxLayout(lp_outerPage);
        lp_layout->addWidget(lp_inner);
        lp_inner->addTab(new QWidget, QStringLiteral("a"));
        auto* lp_innerPage = new QWidget;
        lp_inner->addTab(lp_innerPage, QStringLiteral("b"));
        auto* lp_edit = new QLineEdit(lp_innerPage);
        l_outer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&l_outer));
        QCOMPARE(l_outer.currentIndex(), 0);
        QCOMPARE(lp_inner->currentIndex(), 0);

        if (andParents)
            FocusWidgetAndParents(lp_edit);
        else
            FocusWidget(lp_edit);
        QCOMPARE(lp_inner->currentIndex(), 1);
        QCOMPARE(l_outer.currentIndex(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(lp_edit->hasFocus(), 10000);
    }

    void tabFocusPriorities_data()
    {
        QTest::addColumn<QList<int>>("priorities");
        QTest::addColumn<QList<bool>>("hidden");
        QTest::addColumn<int>("depth");
        QTest::addColumn<int>("winner");
        QTest::newRow("highest wins") << QList<int>{1, 2} << QList<bool>{false, false} << 0 << 1;
        QTest::newRow("first of equals") << QList<int>{1, 1} << QList<bool>{false, false} << 0 << 0;
        QTest::newRow("hidden skipped") << QList<int>{1, 5} << QList<bool>{false, true} << 0 << 0;
        QTest::newRow("zero never") << QList<int>{0, -1} << QList<bool>{false, false} << 0 << -1;
        // Each widget is visited once: searching every descendant from every widget would not end.
        QTest::newRow("deep page") << QList<int>{1, 3} << QList<bool>{false, false} << 60 << 1;
    }

    // Switching to a page, and the search itself, focus its visible marked widget of highest
    // priority, each widget nested in depth plain widgets.
    void tabFocusPriorities()
    {
        QFETCH(QList<int>, priorities);
        QFETCH(QList<bool>, hidden);
        QFETCH(int, depth);
        QFETCH(int, winner);
        Window l_window;
        QVERIFY(l_window.m_active);
        QList<QLineEdit*> l_edits;
        for (int l_index = 0; l_index < priorities.size(); ++l_index)
        {
            QWidget* lp_parent = &l_window.m_second;
            for (int l_level = 0; l_level < depth; ++l_level)
                (lp_parent = new QWidget(lp_parent))->show();
            l_edits.append(new QLineEdit(lp_parent));
            if (depth == 0)
                l_window.m_second.layout()->addWidget(l_edits.last());
            l_edits.last()->setVisible(!hidden[l_index]);
            RegisterWidgetForTabFocus(l_edits.last(), priorities[l_index]);
        }
        l_window.m_tabs.setCurrentIndex(1);
        if (winner >= 0)
            QVERIFY(Focused(l_edits[winner]));

        l_window.m_outside.setFocus();
        QVERIFY(Focused(&l_window.m_outside));
        QCOMPARE(FindWidgetFocusProperty(&l_window.m_second, 0),
                 winner >= 0 ? priorities[winner] : 0);
        QVERIFY(Focused(winner >= 0 ? l_edits[winner] : &l_window.m_outside));
    }
};

QTEST_MAIN(TestUIFunctions)
#include "tst_uifunctions.moc"
