#include "UIFunctions.h"

#include <QApplication>
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>
#include <QVBoxLayout>

class TestUIFunctions : public QObject
{
    Q_OBJECT
private slots:
    void focusShowsEveryEnclosingTab()
    {
        QTabWidget l_outer;
        l_outer.addTab(new QWidget, QStringLiteral("first"));
        auto* lp_outerPage = new QWidget;
        l_outer.addTab(lp_outerPage, QStringLiteral("second"));
        auto* lp_inner = new QTabWidget;
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
};

QTEST_MAIN(TestUIFunctions)
#include "tst_uifunctions.moc"
