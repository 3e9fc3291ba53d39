#include "Clock.h"
#include "Data.h"
#include "PeerHarness.h"
#include "Server.h"
#include "ViewHarness.h"

#include <QDesktopServices>
#include <QMenu>
#include <QtTest>

// The harness that every view test stands on: what Reset keeps and drops, and what it captures.
class TestViewHarness : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { mp_harness = std::make_unique<ViewHarness>(); }
    void cleanupTestCase() { mp_harness.reset(); }

    void resetKeepsTheLoginAndDropsTheData()
    {
        d["user"]->GetItem("bob");
        auto* lp_window = new QWidget;
        lp_window->show();
        QPointer<QWidget> l_window(lp_window);
        mp_harness->AdvanceSeconds(60);
        QDesktopServices::openUrl(QUrl(QStringLiteral("file:///etc/passwd")));
        QCOMPARE(mp_harness->OpenedUrls().size(), 1);

        mp_harness->Reset();
        QVERIFY(d["user"]->HasItem("bob").IsNull());
        QVERIFY(l_window.isNull());
        QVERIFY(mp_harness->Peers().Client().IsConnected());
        QCOMPARE(Clock::Now(), ViewHarness::StartTime());
        QVERIFY(mp_harness->OpenedUrls().isEmpty());
    }

    void menuEntriesReadWithoutMarkers()
    {
        QMenu l_menu;
        int l_triggered = 0;
        l_menu.addAction(QStringLiteral("&Browse"));
        l_menu.addSeparator();
        connect(l_menu.addAction(QStringLiteral("Tom && Jerry")), &QAction::triggered,
                [&] { ++l_triggered; });
        QCOMPARE(ViewHarness::Entries(l_menu),
                 QStringList({QStringLiteral("Browse"), QStringLiteral("-"),
                              QStringLiteral("Tom & Jerry")}));
        QVERIFY(ViewHarness::Trigger(l_menu, QStringLiteral("Tom & Jerry")));
        QCOMPARE(l_triggered, 1);
    }

private:
    std::unique_ptr<ViewHarness> mp_harness;
};

VIEW_TEST_MAIN(TestViewHarness)
#include "tst_viewharness.moc"
