#include "RoomTabWidget.h"
#include "TabWidget.h"
#include "TreeWidget.h"
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
    void focusShowsEveryEnclosingTab()
    {
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

        FocusWidgetAndParents(lp_edit);
        QCOMPARE(lp_inner->currentIndex(), 1);
        QCOMPARE(l_outer.currentIndex(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(lp_edit->hasFocus(), 10000);
    }

    void tabFocusPriorities_data()
    {
        QTest::addColumn<QList<int>>("priorities");
        QTest::addColumn<QList<bool>>("hidden");
        QTest::addColumn<int>("winner");
        QTest::newRow("highest wins") << QList<int>{1, 2} << QList<bool>{false, false} << 1;
        QTest::newRow("first of equals") << QList<int>{1, 1} << QList<bool>{false, false} << 0;
        QTest::newRow("hidden skipped") << QList<int>{1, 5} << QList<bool>{false, true} << 0;
        QTest::newRow("zero never") << QList<int>{0, -1} << QList<bool>{false, false} << -1;
    }

    // Switching to a page focuses its visible marked widget of highest priority.
    void tabFocusPriorities()
    {
        QFETCH(QList<int>, priorities);
        QFETCH(QList<bool>, hidden);
        QFETCH(int, winner);
        Window l_window;
        QList<QLineEdit*> l_edits;
        for (int l_index = 0; l_index < priorities.size(); ++l_index)
        {
            l_edits.append(new QLineEdit(&l_window.m_second));
            l_window.m_second.layout()->addWidget(l_edits.last());
            l_edits.last()->setVisible(!hidden[l_index]);
            RegisterWidgetForTabFocus(l_edits.last(), priorities[l_index]);
        }
        QVERIFY(l_window.m_active);
        l_window.m_tabs.setCurrentIndex(1);
        if (winner >= 0)
            QVERIFY(Focused(l_edits[winner]));

        l_window.m_outside.setFocus();
        QVERIFY(Focused(&l_window.m_outside));
        QCOMPARE(FindWidgetFocusProperty(&l_window.m_second, 0),
                 winner >= 0 ? priorities[winner] : 0);
        QVERIFY(Focused(winner >= 0 ? l_edits[winner] : &l_window.m_outside));
    }

    // Registering a visible widget focuses it at once; a hidden one is only marked.
    void registeringFocusesOnlyAVisibleWidget()
    {
        Window l_window;
        QVERIFY(l_window.m_active);
        auto* lp_hidden = new QLineEdit(&l_window.m_second);
        RegisterWidgetForTabFocus(lp_hidden, 1);
        auto* lp_shown = new QLineEdit(&l_window.m_first);
        lp_shown->show();
        RegisterWidgetForTabFocus(lp_shown, 1);
        QVERIFY(Focused(lp_shown));
        QCOMPARE(lp_hidden->property("get_focus").toInt(), 1);
    }

    // Each widget of a deep page is visited once: a walk that searched every descendant from
    // every widget would not end.
    void deepPage()
    {
        Window l_window;
        QVERIFY(l_window.m_active);
        QWidget* lp_parent = &l_window.m_second;
        for (int l_depth = 0; l_depth < 60; ++l_depth)
        {
            lp_parent = new QWidget(lp_parent);
            lp_parent->show();
        }
        auto* lp_deepest = new QLineEdit(lp_parent);
        lp_deepest->show();
        RegisterWidgetForTabFocus(lp_deepest, 3);
        l_window.m_tabs.setCurrentIndex(1);
        QVERIFY(Focused(lp_deepest));
    }

    void treeAnnouncesKeysBeforeHandlingThem()
    {
        TreeWidget l_tree;
        for (const char* lp_text : {"a", "b"})
            new QTreeWidgetItem(&l_tree, {QString::fromLatin1(lp_text)});
        l_tree.setCurrentItem(l_tree.topLevelItem(0));
        QStringList l_seen;
        connect(&l_tree, &TreeWidget::KeyPressed, this,
                [&](QKeyEvent* ip_event)
                {
                    l_seen.append(QString::number(ip_event->key()) + QLatin1Char(':') +
                                  l_tree.currentItem()->text(0));
                });
        QTest::keyClick(&l_tree, Qt::Key_Down);
        QCOMPARE(l_seen, QStringList{QString::number(Qt::Key_Down) + QStringLiteral(":a")});
        QCOMPARE(l_tree.currentItem()->text(0), QStringLiteral("b"));
    }
};

QTEST_MAIN(TestUIFunctions)
#include "tst_uifunctions.moc"
