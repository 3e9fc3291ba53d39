#include "DelayedInvoker.h"
#include "TimerManager.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

// A target whose slot records when it ran.
class Target : public QObject
{
    Q_OBJECT
public:
    QList<qint64> m_sortTimes;
    int m_otherCalls = 0;
    QElapsedTimer* mp_clock = nullptr;

public slots:
    void Sort()
    {
        m_sortTimes.append(mp_clock->elapsed());
        emit Sorted();
    }
    void Other()
    {
        ++m_otherCalls;
        emit Sorted();
    }

signals:
    void Sorted();
};

class TestTimers : public QObject
{
    Q_OBJECT
private slots:
    void timerManagerStartsItsThreeTimers()
    {
        TimerManager l_manager;
        QCOMPARE(timerManager, &l_manager);
        const QTimer* l_timers[] = {&l_manager.m_halfMinuteTimer, &l_manager.m_fiveMinutesTimer,
                                    &l_manager.m_hourTimer};
        const int l_intervals[] = {30000, 300000, 3600000};
        for (int l_index = 0; l_index < 3; ++l_index)
        {
            QVERIFY(l_timers[l_index]->isActive());
            QVERIFY(!l_timers[l_index]->isSingleShot());
            QCOMPARE(l_timers[l_index]->interval(), l_intervals[l_index]);
        }
    }

    void repeatedRequestsWhilePendingRunOnce()
    {
        DelayedInvoker l_invoker(nullptr);
        QElapsedTimer l_clock;
        Target l_target;
        l_target.mp_clock = &l_clock;
        QSignalSpy l_sorted(&l_target, &Target::Sorted);

        l_clock.start();
        l_invoker.Invoke(&l_target, QStringLiteral("1Sort()"), 1000);
        QTimer::singleShot(300,
                           [&] { l_invoker.Invoke(&l_target, QStringLiteral("1Sort()"), 1000); });
        QTimer::singleShot(900,
                           [&] { l_invoker.Invoke(&l_target, QStringLiteral("1Sort()"), 1000); });
        QVERIFY(l_sorted.wait(20000));
        QCOMPARE(l_target.m_sortTimes.size(), 1);
        // Qt's default coarse timers may fire up to 5% early, and elapsed() truncates.
        QVERIFY(l_target.m_sortTimes.first() >= 900);

        // Once the call has run, a new request schedules a new call.
        const qint64 l_again = l_clock.elapsed();
        l_invoker.Invoke(&l_target, QStringLiteral("1Sort()"), 1000);
        QVERIFY(l_sorted.wait(20000));
        QCOMPARE(l_target.m_sortTimes.size(), 2);
        QVERIFY(l_target.m_sortTimes.last() - l_again >= 900);
    }

    void differentSlotsAndTargetsAllRun()
    {
        DelayedInvoker l_invoker(nullptr);
        QElapsedTimer l_clock;
        l_clock.start();
        Target l_first, l_second;
        l_first.mp_clock = l_second.mp_clock = &l_clock;
        QSignalSpy l_firstSpy(&l_first, &Target::Sorted);
        QSignalSpy l_secondSpy(&l_second, &Target::Sorted);

        l_invoker.Invoke(&l_first, QStringLiteral("1Sort()"), 10);
        l_invoker.Invoke(&l_first, QStringLiteral("1Other()"), 10);
        l_invoker.Invoke(&l_second, QStringLiteral("1Sort()"), 10);
        QTRY_COMPARE_WITH_TIMEOUT(l_firstSpy.count(), 2, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(l_secondSpy.count(), 1, 20000);
        QCOMPARE(l_first.m_sortTimes.size(), 1);
        QCOMPARE(l_first.m_otherCalls, 1);
    }

    void destroyedTargetIsForgotten()
    {
        DelayedInvoker l_invoker(nullptr);
        QElapsedTimer l_clock;
        l_clock.start();
        auto* lp_gone = new Target;
        lp_gone->mp_clock = &l_clock;
        l_invoker.Invoke(lp_gone, QStringLiteral("1Sort()"), 60000);
        delete lp_gone;

        // A new object, possibly at the same address, is served at once.
        Target l_next;
        l_next.mp_clock = &l_clock;
        QSignalSpy l_sorted(&l_next, &Target::Sorted);
        l_invoker.Invoke(&l_next, QStringLiteral("1Sort()"), 10);
        QVERIFY(l_sorted.wait(20000));
        QCOMPARE(l_next.m_sortTimes.size(), 1);
    }

    void unknownSlotIsStillCleanedUp()
    {
        DelayedInvoker l_invoker(nullptr);
        QElapsedTimer l_clock;
        l_clock.start();
        Target l_target;
        l_target.mp_clock = &l_clock;
        QSignalSpy l_sorted(&l_target, &Target::Sorted);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("No such slot")));
        l_invoker.Invoke(&l_target, QStringLiteral("1Missing()"), 10);
        l_invoker.Invoke(&l_target, QStringLiteral("1Sort()"), 50);
        QVERIFY(l_sorted.wait(20000));
        QTRY_VERIFY_WITH_TIMEOUT(l_invoker.findChildren<QTimer*>().isEmpty(), 20000);
    }
};

QTEST_GUILESS_MAIN(TestTimers)
#include "tst_timers.moc"
