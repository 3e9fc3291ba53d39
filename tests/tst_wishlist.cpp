// The wish-list searcher against the test server: the interval that the server prescribes, with
// the periods a timer cannot take as given, and the turn of the enabled entries.
#include "Data.h"
#include "Server.h"
#include "ServerHarness.h"
#include "StoreFunctions.h"
#include "TestSettings.h"
#include "WireReader.h"
#include "WireWriter.h"
#include "WishListSearcher.h"

#include <QTest>

#include <limits>
#include <memory>

class TestWishList : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServerHarness> mp_harness;
    std::unique_ptr<WishListSearcher> mp_searcher;
    int m_connection = 0;

    void SetEntry(const char* ip_text, bool i_enabled)
    {
        ItemPtr l_entry = d.GetType("wish_list_item")->GetItem(ip_text);
        if (i_enabled)
            l_entry += d.GetType("wish_list_item_enabled")->GetGlobalNullItem();
        else
            l_entry.Disconnect("wish_list_item_enabled");
    }

    // The texts of the wish-list searches sent since the last call, after i_ticks ticks.
    QStringList Searches(int i_ticks)
    {
        for (int l_tick = 0; l_tick < i_ticks; ++l_tick)
            mp_searcher->OnSearchTimerTimeout();
        QStringList l_texts;
        for (const TestServer::ReceivedFrame& l_frame : mp_harness->SentFrames(m_connection))
        {
            // Frames of the login and of earlier tests are not searches.
            if (l_frame.code != 103 && l_frame.code != 26)
                continue;
            WireReader l_reader(l_frame.body);
            l_reader.ReadU32();
            l_texts << QString::number(l_frame.code) + QLatin1Char(' ') +
                           QString::fromUtf8(l_reader.ReadString());
        }
        return l_texts;
    }

    static QString Index()
    {
        return QString::fromStdString(
            TestSettings::VolatileSetting("wish_list_search_index").AsString());
    }

private slots:
    void initTestCase()
    {
        mp_harness = std::make_unique<ServerHarness>();
        DeclareUserDataTypes();
        mp_searcher = std::make_unique<WishListSearcher>();
        m_connection = mp_harness->LogIn();
        QVERIFY(m_connection != 0);
    }

    void cleanupTestCase()
    {
        mp_searcher.reset();
        mp_harness.reset();
    }

    void waitPeriod_data()
    {
        QTest::addColumn<quint32>("seconds");
        QTest::addColumn<int>("interval");
        const int l_largest = std::numeric_limits<int>::max();
        QTest::newRow("0 before any period: no timer") << 0u << -1;
        QTest::newRow("5 s") << 5u << 5000;
        QTest::newRow("0 keeps the interval") << 0u << 5000;
        QTest::newRow("past 32 bits of milliseconds") << 4294968u << l_largest;
        QTest::newRow("largest period") << 4294967295u << l_largest;
        QTest::newRow("60 s") << 60u << 60000;
    }

    // Rows run in order: each starts from the timer that the row before left.
    void waitPeriod()
    {
        QFETCH(quint32, seconds);
        QFETCH(int, interval);
        QVERIFY(mp_harness->Deliver(m_connection, 104, WireWriter().WriteU32(seconds).Bytes()));
        const QTimer& l_timer = mp_searcher->SearchTimer();
        QCOMPARE(l_timer.isActive() ? l_timer.interval() : -1, interval);
        QVERIFY(!l_timer.isSingleShot());
        const QString l_line = mp_harness->LogLines(QStringLiteral("Wish List")).last();
        if (seconds == 0)
            QVERIFY2(l_line.endsWith(QStringLiteral("Wish list wait period of 0 ignored")),
                     qPrintable(l_line));
        else
            QVERIFY2(
                l_line.endsWith(
                    QStringLiteral("Wish list wait period set to %1 milliseconds").arg(interval)),
                qPrintable(l_line));
    }

    void entriesTakeTurns()
    {
        QCOMPARE(Index(), QStringLiteral("0"));
        QCOMPARE(Searches(1), QStringList());
        QCOMPARE(Index(), QStringLiteral("0"));

        for (const char* lp_text : {"b", "a", "c"})
            SetEntry(lp_text, true);
        SetEntry("B", false);
        QCOMPARE(Searches(4).join(QLatin1Char(',')), QStringLiteral("103 a,103 b,103 c,103 a"));
        QCOMPARE(Index(), QStringLiteral("1"));

        // An index past the list, as removing entries leaves it, takes its remainder and
        // starts over.
        TestSettings::SetVolatileSetting("wish_list_search_index", 5);
        QCOMPARE(Searches(2).join(QLatin1Char(',')), QStringLiteral("103 c,103 a"));

        // With no enabled entry nothing goes out and the turn is kept.
        for (const char* lp_text : {"a", "b", "c"})
            SetEntry(lp_text, false);
        const qsizetype l_lines = mp_harness->LogLines(QStringLiteral("Wish List")).size();
        QCOMPARE(Searches(3), QStringList());
        QCOMPARE(Index(), QStringLiteral("1"));
        QCOMPARE(mp_harness->LogLines(QStringLiteral("Wish List")).size(), l_lines);
    }
};

QTEST_GUILESS_MAIN(TestWishList)
#include "tst_wishlist.moc"
