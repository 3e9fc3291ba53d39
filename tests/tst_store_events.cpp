#include "Data.h"
#include "StoreRecorder.h"

#include <QtTest>

#include <functional>
#include <memory>

namespace
{
// A subscriber whose handler runs a test-given action.
class Hook : public DataHandler
{
public:
    explicit Hook(std::string i_name, std::vector<std::string>* ip_calls = nullptr)
        : m_name(std::move(i_name)), mp_calls(ip_calls)
    {
    }

    void Watch(Event<Item*>& i_event)
    {
        i_event.AddHandler(new EventHandler<Hook, Item*>(this, &Hook::OnItem));
    }
    void Watch(Event<ConnectionInfo>& i_event)
    {
        i_event.AddHandler(new EventHandler<Hook, ConnectionInfo>(this, &Hook::OnConnection));
    }
    void WatchDisconnectionPair(Type* ip_a, Type* ip_b)
    {
        d.AddDisconnectionEventHandler(
            ip_a, ip_b, new EventHandler<Hook, ConnectionInfo&>(this, &Hook::OnPair));
    }

    void OnItem(Item* ip_item)
    {
        Record();
        if (m_onItem)
            m_onItem(ip_item);
    }
    void OnConnection(ConnectionInfo i_info)
    {
        Record();
        if (m_onConnection)
            m_onConnection(i_info);
    }
    void OnPair(ConnectionInfo& i_info)
    {
        Record();
        if (m_onConnection)
            m_onConnection(i_info);
    }

    std::function<void(Item*)> m_onItem;
    std::function<void(ConnectionInfo)> m_onConnection;
    int m_called = 0;

private:
    void Record()
    {
        ++m_called;
        if (mp_calls)
            mp_calls->push_back(m_name);
    }

    std::string m_name;
    std::vector<std::string>* mp_calls;
};

QStringList RemovedLines(QStringList const& i_log)
{
    QStringList l_removed;
    for (QString const& l_line : i_log)
        if (l_line.startsWith(QStringLiteral("removed ")))
            l_removed.append(l_line);
    return l_removed;
}
} // namespace

class TestStoreEvents : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { SetCrashAssertAborts(false); }

    void notifyingWithoutHandlersDoesNothing()
    {
        Event<Item*> l_event;
        Item* lp_nothing = nullptr;
        l_event.Notify(lp_nothing);
        QVERIFY(l_event.IsEmpty());
    }

    void handlersRunInCreationOrder()
    {
        Type* lp_type = d.NewType("ho_thing", true, false, true);
        std::vector<std::string> l_calls;
        Hook l_first("first", &l_calls), l_second("second", &l_calls);
        auto* lp_firstHandler = new EventHandler<Hook, Item*>(&l_first, &Hook::OnItem);
        auto* lp_secondHandler = new EventHandler<Hook, Item*>(&l_second, &Hook::OnItem);
        lp_type->m_itemAddedEvent.AddHandler(lp_secondHandler);
        lp_type->m_itemAddedEvent.AddHandler(lp_firstHandler);
        lp_type->m_itemAddedEvent.AddHandler(lp_secondHandler);
        (*lp_type)["x"];
        QCOMPARE(l_calls, (std::vector<std::string>{"first", "second"}));
    }

    void handlerAddedDuringNotificationWaitsForTheNext()
    {
        Type* lp_type = d.NewType("ad_thing", true, false, true);
        Hook l_adder("adder");
        std::unique_ptr<Hook> lp_late;
        l_adder.m_onItem = [&](Item*)
        {
            if (lp_late)
                return;
            lp_late = std::make_unique<Hook>("late");
            lp_late->Watch(lp_type->m_itemAddedEvent);
        };
        l_adder.Watch(lp_type->m_itemAddedEvent);
        (*lp_type)["one"];
        QCOMPARE(lp_late->m_called, 0);
        (*lp_type)["two"];
        QCOMPARE(lp_late->m_called, 1);
    }

    void subscriberDestroyedDuringNotificationIsNotCalled()
    {
        Type* lp_type = d.NewType("dd_thing", true, false, true);
        Hook l_killer("killer");
        auto lp_victim = std::make_unique<Hook>("victim");
        l_killer.Watch(lp_type->m_itemAddedEvent);
        lp_victim->Watch(lp_type->m_itemAddedEvent);
        Hook* lp_victimSeen = lp_victim.get();
        int l_victimCalls = 0;
        lp_victim->m_onItem = [&](Item*) { ++l_victimCalls; };
        l_killer.m_onItem = [&](Item*) { lp_victim.reset(); };
        QCOMPARE(lp_type->m_itemAddedEvent.HandlerCount(), std::size_t(2));
        (*lp_type)["x"];
        QVERIFY(lp_victimSeen);
        QCOMPARE(l_victimCalls, 0);
        // The walk that met the removed handler deleted it.
        QCOMPARE(lp_type->m_itemAddedEvent.HandlerCount(), std::size_t(1));
    }

    void removedHandlersAreDeletedByTheNextWalk()
    {
        Type* lp_type = d.NewType("lz_thing", true, false, true);
        Hook l_stays("stays");
        l_stays.Watch(lp_type->m_itemAddedEvent);
        {
            Hook l_goes("goes");
            l_goes.Watch(lp_type->m_itemAddedEvent);
            l_goes.Watch(lp_type->m_itemRemovedEvent);
        }
        QCOMPARE(lp_type->m_itemAddedEvent.HandlerCount(), std::size_t(2));
        QCOMPARE(lp_type->m_itemRemovedEvent.HandlerCount(), std::size_t(1));
        (*lp_type)["x"];
        QCOMPARE(l_stays.m_called, 1);
        QCOMPARE(lp_type->m_itemAddedEvent.HandlerCount(), std::size_t(1));
        QCOMPARE(lp_type->m_itemRemovedEvent.HandlerCount(), std::size_t(1));
        (*lp_type)["x"].Remove();
        QCOMPARE(lp_type->m_itemRemovedEvent.HandlerCount(), std::size_t(0));
    }

    void nestedWalkLeavesTheOuterCopyIntact()
    {
        // The outer walk still holds the victim's handler when a nested walk of the same event
        // meets it removed: it must not be freed under the outer walk.
        Type* lp_type = d.NewType("nw_thing", true, false, true);
        Hook l_first("first");
        auto lp_victim = std::make_unique<Hook>("victim");
        l_first.Watch(lp_type->m_itemAddedEvent);
        lp_victim->Watch(lp_type->m_itemAddedEvent);
        l_first.m_onItem = [&](Item* ip_item)
        {
            if (ip_item->Value() != "outer")
                return;
            lp_victim.reset();
            (*lp_type)["inner"];
        };
        (*lp_type)["outer"];
        QCOMPARE(l_first.m_called, 2);
        QCOMPARE(lp_type->m_itemAddedEvent.HandlerCount(), std::size_t(1));
    }

    void handlerMayDestroyItsOwnSubscriber()
    {
        Type* lp_type = d.NewType("os_thing", true, false, true);
        auto* lp_self = new Hook("self");
        lp_self->Watch(lp_type->m_itemAddedEvent);
        lp_self->m_onItem = [lp_self](Item*) { delete lp_self; };
        Hook l_after("after");
        l_after.Watch(lp_type->m_itemAddedEvent);
        (*lp_type)["x"];
        QCOMPARE(l_after.m_called, 1);
        (*lp_type)["y"];
        QCOMPARE(l_after.m_called, 2);
        QCOMPARE(lp_type->m_itemAddedEvent.HandlerCount(), std::size_t(1));
    }

    void changeIsToldInOrder()
    {
        StoreRecorder l_recorder;
        Type* lp_user = d.NewType("ord_user", true, false, true);
        Type* lp_flag = d.NewType("ord_flag", false, true, true);
        lp_user->RelateToType(lp_flag, Many, One, false);
        l_recorder.WatchType(lp_user);
        l_recorder.WatchType(lp_flag);
        l_recorder.WatchStore();
        l_recorder.WatchConnectionPair(lp_user, lp_flag);
        l_recorder.WatchDisconnectionPair(lp_user, lp_flag);

        ItemPtr l_user = (*lp_user)["u"];
        l_user.NewItem("ord_flag");
        QCOMPARE(
            l_recorder.Take(),
            StoreRecorder::Lines({"added ord_user:u", "store-added ord_user:u", "added ord_flag",
                                  "store-added ord_flag", "connected ord_user:u>ord_flag",
                                  "store-connected ord_user:u>ord_flag",
                                  "connected ord_flag>ord_user:u", "pair ord_user:u>ord_flag"}));
        l_user.Remove();
        QCOMPARE(l_recorder.Take(),
                 StoreRecorder::Lines(
                     {"removed ord_user:u", "store-removed ord_user:u",
                      "disconnected ord_user:u>ord_flag", "store-disconnected ord_user:u>ord_flag",
                      "disconnected ord_flag>ord_user:u", "pair-off ord_user:u>ord_flag"}));

        struct TypeWatcher : DataHandler
        {
            void OnAdded(Type* ip_type) { m_names.push_back(ip_type->Name()); }
            std::vector<std::string> m_names;
        } l_types;
        d.m_typeAddedEvent.AddHandler(
            new EventHandler<TypeWatcher, Type*>(&l_types, &TypeWatcher::OnAdded));
        d.NewType("ord_later", false, false, false);
        QCOMPARE(l_types.m_names, std::vector<std::string>{"ord_later"});
    }

    void replacedPartnerIsToldBeforeTheNewConnection()
    {
        Type* lp_setting = d.NewType("rp_setting", true, false, true);
        Type* lp_value = d.NewType("rp_value", false, false, true);
        lp_setting->RelateToType(lp_value, Many, One, false);
        StoreRecorder l_recorder;
        l_recorder.WatchConnectionPair(lp_setting, lp_value);
        l_recorder.WatchDisconnectionPair(lp_setting, lp_value);
        ItemPtr l_setting = (*lp_setting)["s"];
        l_setting += (*lp_value)["1"];
        l_setting += (*lp_value)["2"];
        QCOMPARE(l_recorder.Take(), StoreRecorder::Lines({"pair rp_setting:s>rp_value:1",
                                                          "pair-off rp_setting:s>rp_value:1",
                                                          "pair rp_setting:s>rp_value:2"}));
        QCOMPARE(l_setting.GetItems("rp_value").size(), std::size_t(1));
    }

    void removalDuringTypeWalkRemovesEachOnce()
    {
        Type* lp_type = d.NewType("rw_item", true, false, true);
        for (char const* lp_value : {"a", "b", "c", "d"})
            (*lp_type)[lp_value];
        StoreRecorder l_recorder;
        l_recorder.WatchType(lp_type);
        Hook l_remover("remover");
        l_remover.m_onItem = [&](Item* ip_item)
        {
            // Removing "a" also removes "c" and "a" itself again; the walk holds both.
            if (ip_item->Value() == "a")
            {
                lp_type->HasItem("c").Remove();
                ip_item->Remove();
            }
        };
        l_remover.Watch(lp_type->m_itemRemovedEvent);
        lp_type->RemoveAllItems();
        QCOMPARE(RemovedLines(l_recorder.Take()),
                 StoreRecorder::Lines({"removed rw_item:a", "removed rw_item:c",
                                       "removed rw_item:b", "removed rw_item:d"}));
        QCOMPARE(lp_type->ItemCount(), std::size_t(0));
    }

    void removalDuringConnectionWalk()
    {
        // Removing an item walks a copy of its connections; a disconnection handler removes
        // partners that the copy still holds.
        Type* lp_hub = d.NewType("cw_hub", true, false, true);
        Type* lp_leaf = d.NewType("cw_leaf", false, false, true);
        lp_hub->RelateToType(lp_leaf, Many, Many, false);
        ItemPtr l_hub = (*lp_hub)["hub"];
        for (char const* lp_value : {"1", "2", "3", "4"})
            l_hub += (*lp_leaf)[lp_value];
        StoreRecorder l_recorder;
        l_recorder.WatchType(lp_leaf);
        Hook l_remover("remover");
        l_remover.m_onConnection = [&](ConnectionInfo i_info)
        {
            if (i_info.second->Value() == "1")
            {
                lp_leaf->HasItem("3").Remove();
                lp_leaf->HasItem("4").Remove();
            }
        };
        l_remover.Watch(lp_hub->m_disconnectionEvent);
        l_hub.Remove();
        QCOMPARE(l_recorder.Take(),
                 StoreRecorder::Lines({"removed cw_leaf:3", "disconnected cw_leaf:3>cw_hub:hub",
                                       "removed cw_leaf:4", "disconnected cw_leaf:4>cw_hub:hub",
                                       "disconnected cw_leaf:1>cw_hub:hub",
                                       "disconnected cw_leaf:2>cw_hub:hub"}));
        QCOMPARE(lp_leaf->ItemCount(), std::size_t(2));
        QVERIFY(lp_leaf->HasItem("1").IsDisconnectedFromAll());
    }

    void removalDuringSetWalks()
    {
        Type* lp_node = d.NewType("sw_node", true, false, true);
        Type* lp_tag = d.NewType("sw_tag", false, true, true);
        lp_node->RelateToType(lp_tag, Many, Many, false);
        std::vector<ItemPtr> l_nodes;
        for (char const* lp_value : {"a", "b", "c", "d", "e"})
        {
            l_nodes.push_back((*lp_node)[lp_value]);
            l_nodes.back().NewItem("sw_tag");
        }
        Hook l_remover("remover");
        l_remover.m_onConnection = [&](ConnectionInfo i_info)
        {
            if (i_info.first->Value() == "b")
                lp_node->HasItem("d").Remove();
        };
        l_remover.Watch(lp_node->m_disconnectionEvent);

        ItemSet const l_all = g("sw_node");
        l_all.Disconnect("sw_tag");
        QCOMPARE(lp_node->ItemCount(), std::size_t(4));
        for (char const* lp_value : {"a", "b", "c", "e"})
            QVERIFY(lp_node->HasItem(lp_value).IsDisconnectedFromAll());

        StoreRecorder l_recorder;
        l_recorder.WatchType(lp_node);
        Hook l_removedHook("removed");
        l_removedHook.m_onItem = [&](Item* ip_item)
        {
            if (ip_item->Value() == "a")
                lp_node->HasItem("e").Remove();
        };
        l_removedHook.Watch(lp_node->m_itemRemovedEvent);
        ItemSet const l_rest = g("sw_node");
        l_rest.Remove();
        QCOMPARE(RemovedLines(l_recorder.Take()),
                 StoreRecorder::Lines({"removed sw_node:a", "removed sw_node:e",
                                       "removed sw_node:b", "removed sw_node:c"}));
        QCOMPARE(lp_node->ItemCount(), std::size_t(0));
    }

    void disconnectByTypeSkipsWhatHandlersDropped()
    {
        Type* lp_user = d.NewType("dt_user", true, false, true);
        Type* lp_room = d.NewType("dt_room", true, false, true);
        lp_user->RelateToType(lp_room, Many, Many, false);
        ItemPtr l_user = (*lp_user)["u"];
        for (char const* lp_value : {"r1", "r2", "r3"})
            l_user += (*lp_room)[lp_value];
        StoreRecorder l_recorder;
        l_recorder.WatchType(lp_room);
        Hook l_remover("remover");
        l_remover.m_onConnection = [&](ConnectionInfo i_info)
        {
            if (i_info.second->Value() == "r1")
                lp_room->HasItem("r3").Remove();
        };
        l_remover.Watch(lp_user->m_disconnectionEvent);
        l_user.Disconnect("dt_room");
        QCOMPARE(l_recorder.Take(),
                 StoreRecorder::Lines({"removed dt_room:r3", "disconnected dt_room:r3>dt_user:u",
                                       "disconnected dt_room:r1>dt_user:u",
                                       "disconnected dt_room:r2>dt_user:u"}));
        QVERIFY(l_user.IsDisconnectedFromAll());
    }

    void connectingToARemovedItemIsRefused()
    {
        Type* lp_user = d.NewType("cr_user", true, false, true);
        Type* lp_note = d.NewType("cr_note", false, false, true);
        lp_user->RelateToType(lp_note, Many, Many, false);
        ItemPtr l_user = (*lp_user)["u"];
        ItemPtr l_note = (*lp_note)["n"];
        Hook l_clinger("clinger");
        l_clinger.m_onItem = [&](Item* ip_item) { ItemPtr(ip_item) += l_note; };
        l_clinger.Watch(lp_user->m_itemRemovedEvent);
        l_user.Remove();
        QVERIFY(l_note.IsDisconnectedFromAll());
    }

    void replacementHandlerRemovingTheNewPartner()
    {
        // While a One end drops its old partner, a handler removes the new one: the connection
        // is abandoned and nothing keeps a pointer to the removed item.
        Type* lp_setting = d.NewType("rh_setting", true, false, true);
        Type* lp_value = d.NewType("rh_value", false, false, true);
        lp_setting->RelateToType(lp_value, Many, One, false);
        ItemPtr l_setting = (*lp_setting)["s"];
        l_setting += (*lp_value)["old"];
        ItemPtr l_new = (*lp_value)["new"];
        Hook l_remover("remover");
        l_remover.m_onConnection = [&](ConnectionInfo) { l_new.Remove(); };
        l_remover.Watch(lp_setting->m_disconnectionEvent);
        StoreRecorder l_recorder;
        l_recorder.WatchType(lp_setting);
        l_setting += l_new;
        QVERIFY(l_setting.IsDisconnectedFromAll());
        QVERIFY(lp_value->HasItem("new").IsNull());
        QCOMPARE(l_recorder.Take(),
                 StoreRecorder::Lines({"disconnected rh_setting:s>rh_value:old"}));
    }

    void removingTheAnnouncedItemIsMisuse()
    {
        Type* lp_type = d.NewType("ra_thing", true, false, true);
        Hook l_remover("remover");
        l_remover.m_onItem = [](Item* ip_item) { ip_item->Remove(); };
        l_remover.Watch(lp_type->m_itemAddedEvent);
        Hook l_later("later");
        l_later.m_onItem = [](Item* ip_item) { QVERIFY(ip_item->IsRemoved()); };
        l_later.Watch(lp_type->m_itemAddedEvent);
        QCOMPARE(lp_type->GetItem("x"), nullptr);
        QCOMPARE(l_later.m_called, 1);
        QCOMPARE(lp_type->ItemCount(), std::size_t(0));
    }

    void pairHandlersRemovedLazily()
    {
        Type* lp_a = d.NewType("pl_a", true, false, true);
        Type* lp_b = d.NewType("pl_b", false, true, true);
        lp_a->RelateToType(lp_b, Many, One, false);
        auto lp_hook = std::make_unique<Hook>("pair");
        lp_hook->WatchDisconnectionPair(lp_a, lp_b);
        ItemPtr l_a = (*lp_a)["a"];
        l_a.NewItem("pl_b");
        l_a.Disconnect("pl_b");
        QCOMPARE(lp_hook->m_called, 1);
        lp_hook.reset();
        l_a.NewItem("pl_b");
        l_a.Disconnect("pl_b");
    }
};

QTEST_GUILESS_MAIN(TestStoreEvents)
#include "tst_store_events.moc"
