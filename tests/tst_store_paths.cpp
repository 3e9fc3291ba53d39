#include "Data.h"
#include "StoreRecorder.h"
#include "TestSettings.h"

#include <QtTest>

#include <functional>
#include <memory>

namespace
{
// Subscribes to a path and records the root items that it is called with.
class PathWatcher : public DataHandler
{
public:
    void Subscribe(PathNode* ip_root)
    {
        d.AddPathEventHandler(ip_root,
                              new EventHandler<PathWatcher, Item*>(this, &PathWatcher::OnPath));
    }

    void OnPath(Item* ip_root)
    {
        m_roots.append(QString::fromStdString(StoreRecorder::Label(ip_root)));
        if (m_then)
            m_then(ip_root);
    }

    QStringList Take()
    {
        QStringList l_roots;
        l_roots.swap(m_roots);
        return l_roots;
    }

    QStringList m_roots;
    std::function<void(Item*)> m_then;
};

// Declares the user types of the examples under a prefix, so that each case has its own.
struct Users
{
    explicit Users(std::string const& i_prefix)
        : mp_user(d.NewType(i_prefix + "_user", true, false, true)),
          mp_online(d.NewType(i_prefix + "_online", false, true, true)),
          mp_list(d.NewType(i_prefix + "_list", false, true, false)),
          mp_group(d.NewType(i_prefix + "_group", true, false, true))
    {
        mp_user->RelateToType(mp_online, Many, One, false);
        mp_user->RelateToType(mp_list, One, One, false);
        mp_list->RelateToType(mp_group, Many, Many, false);
    }
    std::string Online() const { return mp_online->Name(); }
    std::string List() const { return mp_list->Name(); }
    std::string Group() const { return mp_group->Name(); }

    Type* mp_user;
    Type* mp_online;
    Type* mp_list;
    Type* mp_group;
};
} // namespace

class TestStorePaths : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { SetCrashAssertAborts(false); }

    void onConnectFiresOncePerConnection()
    {
        Users l_types("p1");
        PathWatcher l_watcher;
        auto* lp_root = new PathNode(&d, "p1_user");
        new PathNode(lp_root, "p1_online", OnConnect);
        l_watcher.Subscribe(lp_root);

        ItemPtr l_bob = (*l_types.mp_user)["bob"];
        l_bob.NewItem(l_types.Online());
        QCOMPARE(l_watcher.Take(), StoreRecorder::Lines({"p1_user:bob"}));
        l_bob += l_types.mp_online->GetGlobalItem();
        QVERIFY(l_watcher.Take().isEmpty());
        l_bob.Disconnect(l_types.Online());
        QVERIFY(l_watcher.Take().isEmpty());
        // Connected from the flag's side, the root is still the user.
        l_types.mp_online->GetGlobalItem() += l_bob;
        QCOMPARE(l_watcher.Take(), StoreRecorder::Lines({"p1_user:bob"}));
    }

    void filtersHoldButNeverTrigger()
    {
        Users l_types("p2");
        PathWatcher l_watcher;
        auto* lp_root = new PathNode(&d, "p2_user");
        new PathNode(lp_root, "p2_online", OnConnect);
        new PathNode(lp_root, "p2_list", FilterConnected);
        l_watcher.Subscribe(lp_root);

        ItemPtr l_ann = (*l_types.mp_user)["ann"];
        l_ann.NewItem(l_types.Online());
        QVERIFY(l_watcher.Take().isEmpty());
        l_ann.NewItem(l_types.List());
        QVERIFY(l_watcher.Take().isEmpty());
        l_ann.Disconnect(l_types.Online());
        l_ann.NewItem(l_types.Online());
        QCOMPARE(l_watcher.Take(), StoreRecorder::Lines({"p2_user:ann"}));
    }

    void requiredLinksFireWhenTheLastIsInPlace()
    {
        Type* lp_request = d.NewType("p3_request", true, true, false);
        Type* lp_a = d.NewType("p3_a", false, false, true);
        Type* lp_b = d.NewType("p3_b", false, false, true);
        lp_request->RelateToType(lp_a, Many, One, false);
        lp_request->RelateToType(lp_b, Many, One, false);
        PathWatcher l_watcher;
        auto* lp_root = new PathNode(&d, "p3_request");
        new PathNode(lp_root, "p3_a", RequireConnected);
        new PathNode(lp_root, "p3_b", RequireConnected);
        l_watcher.Subscribe(lp_root);

        ItemPtr l_request = lp_request->NewItem();
        l_request += (*lp_a)["1"];
        QVERIFY(l_watcher.Take().isEmpty());
        l_request += (*lp_b)["x"];
        QCOMPARE(l_watcher.Take(), StoreRecorder::Lines({"p3_request"}));
        l_request += (*lp_a)["2"];
        QCOMPARE(l_watcher.Take(), StoreRecorder::Lines({"p3_request"}));
        l_request.Disconnect("p3_b");
        QVERIFY(l_watcher.Take().isEmpty());
    }

    void requireAbsentFiresOnDisconnection()
    {
        Type* lp_room = d.NewType("p4_room", true, false, true);
        Type* lp_owner = d.NewType("p4_is_owner", false, true, true);
        lp_room->RelateToType(lp_owner, Many, One, false);
        PathWatcher l_watcher;
        auto* lp_root = new PathNode(&d, "p4_room");
        new PathNode(lp_root, "p4_is_owner", RequireAbsent);
        l_watcher.Subscribe(lp_root);

        ItemPtr l_room = (*lp_room)["lobby"];
        l_room.NewItem("p4_is_owner");
        QVERIFY(l_watcher.Take().isEmpty());
        l_room.Disconnect("p4_is_owner");
        QCOMPARE(l_watcher.Take(), StoreRecorder::Lines({"p4_room:lobby"}));
    }

    void anchoredRootIgnoresOtherItems()
    {
        TestSettings::Declare();
        ItemPtr l_port = (*d["global"])["p5_port"];
        PathWatcher l_watcher;
        auto* lp_root = new PathNode(l_port);
        new PathNode(lp_root, "global_value", RequireConnected);
        l_watcher.Subscribe(lp_root);

        TestSettings::SetSetting("p5_other", 1);
        QVERIFY(l_watcher.Take().isEmpty());
        TestSettings::SetSetting("p5_port", 2235);
        TestSettings::SetSetting("p5_port", 2240);
        QCOMPARE(l_watcher.Take(), StoreRecorder::Lines({"global:p5_port", "global:p5_port"}));
    }

    void removedAnchorMatchesNoLaterItem()
    {
        Type* lp_node = d.NewType("p6_node", true, false, true);
        Type* lp_flag = d.NewType("p6_flag", false, true, true);
        lp_node->RelateToType(lp_flag, Many, One, false);
        PathWatcher l_watcher;
        auto* lp_root = new PathNode(lp_node->GetItem("anchor"));
        new PathNode(lp_root, "p6_flag", OnConnect);
        l_watcher.Subscribe(lp_root);
        lp_node->HasItem("anchor").Remove();
        for (int l_index = 0; l_index < 20; ++l_index)
            lp_node->GetItem("n" + std::to_string(l_index))->NewItem("p6_flag");
        lp_node->GetItem("anchor")->NewItem("p6_flag");
        QVERIFY(l_watcher.Take().isEmpty());
    }

    void removingAnItemFiresOnDisconnect()
    {
        Users l_types("p7");
        StoreRecorder l_recorder;
        l_recorder.WatchType(l_types.mp_user);
        PathWatcher l_watcher;
        l_watcher.m_then = [&](Item* ip_user)
        {
            l_recorder.m_log.append(QStringLiteral("path"));
            QVERIFY(ip_user->IsRemoved());
            QCOMPARE(ip_user->Value(), std::string("carl"));
        };
        auto* lp_root = new PathNode(&d, "p7_user");
        new PathNode(lp_root, "p7_online", OnDisconnect);
        l_watcher.Subscribe(lp_root);

        ItemPtr l_carl = (*l_types.mp_user)["carl"];
        l_carl.NewItem(l_types.Online());
        l_recorder.Take();
        l_carl.Remove();
        QCOMPARE(l_recorder.Take(),
                 StoreRecorder::Lines(
                     {"removed p7_user:carl", "disconnected p7_user:carl>p7_online", "path"}));
    }

    void rootWithoutChildrenRegistersNothing()
    {
        d.NewType("p8_lonely", true, false, true);
        PathWatcher l_watcher;
        l_watcher.Subscribe(new PathNode(&d, "p8_lonely"));
        (*d["p8_lonely"])["x"];
        QVERIFY(l_watcher.Take().isEmpty());
    }

    void subscribersOfOnePairComeAndGo()
    {
        Users l_types("p9");
        auto l_subscribe = [](PathWatcher& i_watcher)
        {
            auto* lp_root = new PathNode(&d, "p9_user");
            new PathNode(lp_root, "p9_online", OnConnect);
            i_watcher.Subscribe(lp_root);
        };
        PathWatcher l_stays;
        auto lp_goes = std::make_unique<PathWatcher>();
        l_subscribe(l_stays);
        l_subscribe(*lp_goes);
        ItemPtr l_dan = (*l_types.mp_user)["dan"];
        l_dan.NewItem(l_types.Online());
        QCOMPARE(l_stays.Take(), StoreRecorder::Lines({"p9_user:dan"}));
        QCOMPARE(lp_goes->Take(), StoreRecorder::Lines({"p9_user:dan"}));

        lp_goes.reset();
        l_dan.Disconnect(l_types.Online());
        l_dan.NewItem(l_types.Online());
        QCOMPARE(l_stays.Take(), StoreRecorder::Lines({"p9_user:dan"}));

        // With every subscriber gone the pair's listener goes too; a new one comes with the
        // next subscription.
        {
            PathWatcher l_brief;
            l_subscribe(l_brief);
        }
        PathWatcher l_last;
        l_subscribe(l_last);
        l_dan.Disconnect(l_types.Online());
        l_dan.NewItem(l_types.Online());
        QCOMPARE(l_stays.Take(), StoreRecorder::Lines({"p9_user:dan"}));
        QCOMPARE(l_last.Take(), StoreRecorder::Lines({"p9_user:dan"}));
    }

    void subscriberDestroyedDuringItsPathEvent()
    {
        // The first subscription's handler destroys the second subscriber and then makes a
        // nested event of the same pair, which withdraws the second subscription while the
        // outer walk still holds it.
        Users l_types("p10");
        auto l_subscribe = [](PathWatcher& i_watcher)
        {
            auto* lp_root = new PathNode(&d, "p10_user");
            new PathNode(lp_root, "p10_online", OnConnect);
            i_watcher.Subscribe(lp_root);
        };
        PathWatcher l_first;
        auto lp_second = std::make_unique<PathWatcher>();
        l_subscribe(l_first);
        l_subscribe(*lp_second);
        ItemPtr l_other = (*l_types.mp_user)["other"];
        l_first.m_then = [&](Item* ip_user)
        {
            if (ip_user->Value() != "eve")
                return;
            lp_second.reset();
            l_other.NewItem(l_types.Online());
        };
        ItemPtr l_eve = (*l_types.mp_user)["eve"];
        l_eve.NewItem(l_types.Online());
        QCOMPARE(l_first.Take(), StoreRecorder::Lines({"p10_user:eve", "p10_user:other"}));

        auto* lp_self = new PathWatcher();
        l_subscribe(*lp_self);
        lp_self->m_then = [lp_self](Item*) { delete lp_self; };
        ItemPtr l_fay = (*l_types.mp_user)["fay"];
        l_first.m_then = nullptr;
        l_fay.NewItem(l_types.Online());
        l_fay.Disconnect(l_types.Online());
        l_fay.NewItem(l_types.Online());
        QCOMPARE(l_first.Take(), StoreRecorder::Lines({"p10_user:fay", "p10_user:fay"}));
    }

    void deeperPathFindsTheRoot()
    {
        Users l_types("p11");
        PathWatcher l_watcher;
        auto* lp_root = new PathNode(&d, "p11_user");
        auto* lp_list = new PathNode(lp_root, "p11_list", FilterConnected);
        new PathNode(lp_list, "p11_group", OnConnect);
        l_watcher.Subscribe(lp_root);

        ItemPtr l_friends = (*l_types.mp_group)["friends"];
        ItemPtr l_gil = (*l_types.mp_user)["gil"];
        ItemPtr l_entry = l_gil.NewItem(l_types.List());
        l_entry += l_friends;
        QCOMPARE(l_watcher.Take(), StoreRecorder::Lines({"p11_user:gil"}));

        ItemPtr l_orphan = l_types.mp_list->NewItem();
        l_orphan += l_friends;
        QVERIFY(l_watcher.Take().isEmpty());
    }

    void sixLinksOfAConnectionRequest()
    {
        Type* lp_request = d.NewType("p12_request", true, true, false);
        Type* lp_user = d.NewType("p12_user", true, false, true);
        std::vector<std::string> const l_requestAttributes = {"p12_id", "p12_kind"};
        std::vector<std::string> const l_userAttributes = {"p12_address", "p12_port",
                                                           "p12_obfuscated_port"};
        for (std::string const& l_name : l_requestAttributes)
            lp_request->RelateToType(d.NewType(l_name, false, false, true), Many, One, false);
        for (std::string const& l_name : l_userAttributes)
            lp_user->RelateToType(d.NewType(l_name, false, false, true), Many, One, false);
        lp_request->RelateToType(lp_user, Many, One, false);

        PathWatcher l_watcher;
        auto* lp_root = new PathNode(&d, "p12_request");
        for (std::string const& l_name : l_requestAttributes)
            new PathNode(lp_root, l_name, RequireConnected);
        auto* lp_userNode = new PathNode(lp_root, "p12_user", RequireConnected);
        for (std::string const& l_name : l_userAttributes)
            new PathNode(lp_userNode, l_name, RequireConnected);
        l_watcher.Subscribe(lp_root);

        ItemPtr l_request = lp_request->NewItem();
        ItemPtr l_user = (*lp_user)["hal"];
        l_request += (*d["p12_id"])["7"];
        l_request += (*d["p12_kind"])["P"];
        l_request += l_user;
        l_user += (*d["p12_address"])["127.0.0.1"];
        l_user += (*d["p12_port"])["2235"];
        QVERIFY(l_watcher.Take().isEmpty());
        l_user += (*d["p12_obfuscated_port"])["2236"];
        QCOMPARE(l_watcher.Take(), StoreRecorder::Lines({"p12_request"}));
        l_user += (*d["p12_port"])["2300"];
        QCOMPARE(l_watcher.Take(), StoreRecorder::Lines({"p12_request"}));
    }

    void badPathsAreMisuse()
    {
        d.NewType("p13_a", true, false, true);
        d.NewType("p13_b", false, true, true);
        PathWatcher l_watcher;
        auto* lp_root = new PathNode(&d, "p13_a");
        new PathNode(lp_root, "p13_b", OnConnect);
        bool l_thrown = false;
        try
        {
            l_watcher.Subscribe(lp_root);
        }
        catch (NotRelatedException* lp_exception)
        {
            delete lp_exception;
            l_thrown = true;
        }
        QVERIFY(l_thrown);

        auto* lp_other = new PathNode(&d, "p13_a");
        l_thrown = false;
        try
        {
            new PathNode(lp_other, "p13_missing", OnConnect);
        }
        catch (TypeNotFoundException* lp_exception)
        {
            delete lp_exception;
            l_thrown = true;
        }
        QVERIFY(l_thrown);
        QVERIFY(lp_other->Children().empty());
        delete lp_other;
    }
};

QTEST_GUILESS_MAIN(TestStorePaths)
#include "tst_store_paths.moc"
