#include "Data.h"
#include "StoreRecorder.h"

#include <QtTest>

class TestStoreCollector : public QObject
{
    Q_OBJECT

    Type* mp_user = nullptr;
    Type* mp_speed = nullptr;
    Type* mp_online = nullptr;
    Type* mp_request = nullptr;
    Type* mp_results = nullptr;
    Type* mp_result = nullptr;

private slots:
    void initTestCase()
    {
        SetCrashAssertAborts(false);
        mp_user = d.NewType("user", true, false, true);
        mp_speed = d.NewType("speed", false, false, true);
        mp_online = d.NewType("is_online", false, true, true);
        mp_request = d.NewType("search_request", true, false, true);
        mp_results = d.NewType("search_results", true, true, false);
        mp_result = d.NewType("search_result", false, true, false);
        mp_user->RelateToType(mp_speed, Many, One, false);
        mp_user->RelateToType(mp_online, Many, One, false);
        mp_request->RelateToType(mp_results, One, Many, true);
        mp_results->RelateToType(mp_result, One, Many, true);
        mp_user->RelateToType(mp_result, One, Many, false);
    }

    // The collector works on the whole store: every case starts from an empty one.
    void init() { d.RemoveAllItems(); }

    void primaryItemsAndAttributesStay()
    {
        ItemPtr l_ann = (*mp_user)["ann"];
        l_ann += (*mp_speed)["100"];
        l_ann.NewItem("is_online");
        (*mp_user)["bob"];
        QCOMPARE(d.RemoveDisconnectedItems(), 0);
        QCOMPARE(mp_user->ItemCount(), std::size_t(2));
        QCOMPARE(mp_speed->ItemCount(), std::size_t(1));
    }

    void oldAttributeValuesGo()
    {
        ItemPtr l_ann = (*mp_user)["ann"];
        l_ann += (*mp_speed)["100"];
        l_ann += (*mp_speed)["200"];
        (*mp_speed)["never_used"];
        StoreRecorder l_recorder;
        l_recorder.WatchType(mp_speed);
        QCOMPARE(d.RemoveDisconnectedItems(), 2);
        QCOMPARE(l_recorder.Take(),
                 StoreRecorder::Lines({"removed speed:100", "removed speed:never_used"}));
        QCOMPARE(l_ann["speed"].AsString(), std::string("200"));
    }

    void sharedFlagLivesWhileOneHolderDoes()
    {
        ItemPtr l_ann = (*mp_user)["ann"];
        ItemPtr l_bob = (*mp_user)["bob"];
        l_ann.NewItem("is_online");
        l_bob.NewItem("is_online");
        l_ann.Disconnect("is_online");
        QCOMPARE(d.RemoveDisconnectedItems(), 0);
        QCOMPARE(mp_online->ItemCount(), std::size_t(1));
        l_bob.Disconnect("is_online");
        QCOMPARE(d.RemoveDisconnectedItems(), 1);
        QCOMPARE(mp_online->ItemCount(), std::size_t(0));
    }

    void resultsOfARemovedRequestGo()
    {
        ItemPtr l_request = (*mp_request)["42"];
        ItemPtr l_results = l_request.NewItem("search_results");
        l_results.NewItem("search_result");
        l_results.NewItem("search_result");
        // A result that a user still refers to outlives its owner for one collection.
        ItemPtr l_kept = l_results.NewItem("search_result");
        (*mp_user)["ann"] += l_kept;
        QCOMPARE(d.RemoveDisconnectedItems(), 0);

        StoreRecorder l_recorder;
        l_recorder.WatchType(mp_results);
        l_recorder.WatchType(mp_result);
        l_request.Remove();
        l_recorder.Take();
        QCOMPARE(d.RemoveDisconnectedItems(), 3);
        QStringList const l_log = l_recorder.Take();
        QCOMPARE(l_log.filter(QStringLiteral("removed ")),
                 StoreRecorder::Lines(
                     {"removed search_results", "removed search_result", "removed search_result"}));
        QCOMPARE(mp_result->ItemCount(), std::size_t(1));
        QCOMPARE(d.RemoveDisconnectedItems(), 1);
        QCOMPARE(mp_result->ItemCount(), std::size_t(0));
        QCOMPARE(d.RemoveDisconnectedItems(), 0);
    }

    void pathsNeverRepeatAType()
    {
        Type* lp_p = d.NewType("gc_p", true, false, true);
        Type* lp_a = d.NewType("gc_a", false, false, true);
        Type* lp_b = d.NewType("gc_b", false, false, true);
        lp_p->RelateToType(lp_a, Many, Many, false);
        lp_a->RelateToType(lp_b, Many, Many, false);
        ItemPtr l_p = (*lp_p)["P"];
        ItemPtr l_a1 = (*lp_a)["A1"];
        ItemPtr l_b = (*lp_b)["B"];
        ItemPtr l_a2 = (*lp_a)["A2"];
        l_p += l_a1;
        l_a1 += l_b;
        l_b += l_a2;
        QCOMPARE(d.RemoveDisconnectedItems(), 1);
        QVERIFY(lp_a->HasItem("A2").IsNull());
        QVERIFY(!lp_a->HasItem("A1").IsNull());
        QVERIFY(!lp_b->HasItem("B").IsNull());
    }

    void handlersRemovingCandidatesDoNotDoubleRemove()
    {
        for (int l_index = 0; l_index < 20; ++l_index)
            (*mp_speed)[l_index];
        struct Remover : DataHandler
        {
            void OnRemoved(Item* ip_item)
            {
                ++m_told;
                // Each removal also removes the next value that the collector still holds.
                ItemPtr l_next = ip_item->GetType()->HasItem(ip_item->AsInt() + 1);
                if (l_next)
                    l_next.Remove();
            }
            int m_told = 0;
        } l_remover;
        mp_speed->m_itemRemovedEvent.AddHandler(
            new EventHandler<Remover, Item*>(&l_remover, &Remover::OnRemoved));
        int const l_count = d.RemoveDisconnectedItems();
        // The first removal takes all the others with it; the collector counts its own.
        QCOMPARE(l_remover.m_told, 20);
        QCOMPARE(l_count, 1);
        QCOMPARE(mp_speed->ItemCount(), std::size_t(0));
        QCOMPARE(d.RemoveDisconnectedItems(), 0);
    }

    void manyUnreachableItemsGoInOneCall()
    {
        Type* lp_bulk = d.NewType("gc_bulk", false, false, true);
        for (int l_index = 0; l_index < 100000; ++l_index)
            (*lp_bulk)[l_index];
        QCOMPARE(d.RemoveDisconnectedItems(), 100000);
        QCOMPARE(lp_bulk->ItemCount(), std::size_t(0));
    }
};

QTEST_GUILESS_MAIN(TestStoreCollector)
#include "tst_store_collector.moc"
