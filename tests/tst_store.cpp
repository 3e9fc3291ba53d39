#include "Data.h"
#include "StoreRecorder.h"
#include "TestSettings.h"

#include <QtTest>

#include <climits>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
// True when the call throws a pointer to E (which is then freed), false otherwise.
template <typename E, typename F> bool ThrowsMisuse(F i_call)
{
    try
    {
        i_call();
    }
    catch (E* lp_exception)
    {
        delete lp_exception;
        return true;
    }
    catch (...)
    {
        return false;
    }
    return false;
}

QString Text(std::string const& i_text)
{
    return QString::fromStdString(i_text);
}
} // namespace

class TestStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { SetCrashAssertAborts(false); }

    void valuesAreDecimalText()
    {
        QCOMPARE(Text(Value(-5).AsString()), QStringLiteral("-5"));
        QCOMPARE(Text(Value(0U).AsString()), QStringLiteral("0"));
        QCOMPARE(Text(Value(LLONG_MIN).AsString()), QStringLiteral("-9223372036854775808"));
        QCOMPARE(Text(Value(ULLONG_MAX).AsString()), QStringLiteral("18446744073709551615"));
        QCOMPARE(Text(Value(std::string("a\0b", 3)).AsString()), Text(std::string("a\0b", 3)));
        QCOMPARE(Text(Value("ab\0cd").AsString()), QStringLiteral("ab"));
        QString l_text = QString::fromUtf8("h\xc3\xa9llo");
        QCOMPARE(Value(l_text).AsString(), std::string("h\xc3\xa9llo"));
        l_text.insert(2, QChar(0));
        QCOMPARE(Value(l_text).AsString(), std::string("h\xc3\xa9"));
        char l_buffer[] = "plain";
        QCOMPARE(Value(l_buffer).AsString(), std::string("plain"));
    }

    void pointersKeepTheirFullWidth()
    {
        Type* lp_type = d.NewType("ptr_object", false, false, true);
        auto* lp_wide = reinterpret_cast<QObject*>(std::uintptr_t(0x7ffd12345678ULL));
        QCOMPARE(Text(Value(lp_wide).AsString()), QStringLiteral("140724908873336"));
        ItemPtr l_item = (*lp_type)[lp_wide];
        QCOMPARE(l_item.AsPtr<QObject>(), lp_wide);
        QCOMPARE(l_item->AsPtr<QObject>(), lp_wide);

        auto* lp_heap = new QByteArray("live");
        ItemPtr l_live = (*lp_type)[lp_heap];
        QCOMPARE(l_live.AsPtr<QByteArray>(), lp_heap);
        QCOMPARE(*l_live.AsPtr<QByteArray>(), QByteArray("live"));
        delete lp_heap;
        QCOMPARE(ItemPtr().AsPtr<QByteArray>(), nullptr);
    }

    void numbersAreReadLikeTheCLibrary()
    {
        Type* lp_type = d.NewType("number", false, false, true);
        auto l_read = [lp_type](char const* ip_text) { return (*lp_type)[ip_text]; };
        QCOMPARE(l_read("12abc").AsInt(), 12);
        QCOMPARE(l_read(" 42").AsInt(), 42);
        QCOMPARE(l_read("abc").AsInt(), 0);
        QCOMPARE(l_read("99999999999").AsInt(), INT_MAX);
        QCOMPARE(l_read("-99999999999").AsInt(), INT_MIN);
        QCOMPARE(l_read("-1").AsUInt(), 4294967295U);
        QCOMPARE(l_read("-4294967295").AsUInt(), 1U);
        QCOMPARE(l_read("4294967296").AsUInt(), 4294967295U);
        QCOMPARE(l_read("-4294967296").AsUInt(), 4294967295U);
        QCOMPARE(l_read("4294967295").AsUInt(), 4294967295U);
        QCOMPARE(l_read("-9000000000").AsInt64(), -9000000000LL);
        QCOMPARE(l_read("18446744073709551615").AsUInt64(), ULLONG_MAX);
    }

    void lookupsByValue()
    {
        StoreRecorder l_recorder;
        Type* lp_plain = d.NewType("lk_plain", true, false, false);
        Type* lp_auto = d.NewType("lk_auto", true, false, true);
        l_recorder.WatchType(lp_plain);
        l_recorder.WatchType(lp_auto);
        QCOMPARE(d.GetType("lk_plain"), lp_plain);
        QCOMPARE(d["lk_auto"], lp_auto);
        QCOMPARE(d.HasType("lk_missing"), nullptr);

        QCOMPARE(lp_plain->GetItem("bob"), nullptr);
        QVERIFY(lp_plain->HasItem("bob").IsNull());
        QVERIFY(l_recorder.Take().isEmpty());

        Item* lp_bob = lp_plain->NewItem("bob");
        QVERIFY(lp_bob);
        QCOMPARE(lp_plain->NewItem("bob"), lp_bob);
        QCOMPARE(lp_plain->GetItem("bob"), lp_bob);
        QCOMPARE(l_recorder.Take(), StoreRecorder::Lines({"added lk_plain:bob"}));

        QVERIFY(lp_auto->HasItem("Ann").IsNull());
        Item* lp_ann = lp_auto->GetItem("Ann");
        Item* lp_lowerAnn = (*lp_auto)["ann"];
        QVERIFY(lp_ann && lp_lowerAnn && lp_ann != lp_lowerAnn);
        QCOMPARE((*lp_auto)["Ann"], ItemPtr(lp_ann));
        QCOMPARE(l_recorder.Take(),
                 StoreRecorder::Lines({"added lk_auto:Ann", "added lk_auto:ann"}));
        QCOMPARE(lp_auto->ItemCount(), std::size_t(2));

        Data::TypeTable l_types;
        d.GetTypes(l_types);
        QCOMPARE(l_types.at("lk_auto"), lp_auto);
        QVERIFY(std::find(d.Types().begin(), d.Types().end(), lp_plain) <
                std::find(d.Types().begin(), d.Types().end(), lp_auto));

        QVERIFY(i("lk_plain", "nobody").IsNull());
        QVERIFY(lp_plain->HasItem("nobody").IsNull());
        QCOMPARE(i("lk_plain", "bob"), ItemPtr(lp_bob));
        QCOMPARE(g("lk_auto").size(), std::size_t(2));
        QVERIFY(!i("lk_auto", "Cy").IsNull());
        QCOMPARE(i("lk_auto", "Cy"), lp_auto->HasItem("Cy"));
    }

    void flagItemIsMadeOnce()
    {
        StoreRecorder l_recorder;
        Type* lp_flag = d.NewType("gn_flag", false, true, true);
        l_recorder.WatchType(lp_flag);
        Item* lp_first = lp_flag->GetGlobalNullItem();
        QCOMPARE(lp_flag->GetGlobalNullItem(), lp_first);
        QCOMPARE(lp_flag->GetGlobalItem(), ItemPtr(lp_first));
        QCOMPARE(l_recorder.Take(), StoreRecorder::Lines({"added gn_flag"}));
        Item* lp_second = lp_flag->NewItem();
        QVERIFY(lp_second != lp_first);
        QCOMPARE(lp_flag->GetGlobalNullItem(), lp_first);
        QCOMPARE(lp_flag->ItemCount(), std::size_t(2));
        QCOMPARE(lp_first->Value(), std::string());
    }

    void newItemFollowsTheRelationsEnds()
    {
        StoreRecorder l_recorder;
        Type* lp_owner = d.NewType("ni_owner", true, false, true);
        Type* lp_child = d.NewType("ni_child", true, true, false);
        Type* lp_flag = d.NewType("ni_flag", false, true, true);
        Type* lp_companion = d.NewType("ni_companion", false, true, false);
        d.NewType("ni_valued", false, false, true);
        d.NewType("ni_unrelated", false, true, true);
        lp_owner->RelateToType(lp_child, One, Many, false);
        lp_owner->RelateToType(lp_flag, Many, One, false);
        lp_owner->RelateToType("ni_companion", One, One, false);
        lp_owner->RelateToType("ni_valued", Many, One, false);
        for (Type* lp_type : {lp_owner, lp_child, lp_flag, lp_companion})
            l_recorder.WatchType(lp_type);

        ItemPtr l_a = (*lp_owner)["a"];
        ItemPtr l_b = (*lp_owner)["b"];
        l_recorder.Take();

        ItemPtr l_child1 = l_a.NewItem("ni_child");
        ItemPtr l_child2 = l_a.NewItem("ni_child");
        QVERIFY(l_child1 && l_child2 && l_child1 != l_child2);
        QCOMPARE(l_a.GetItems("ni_child").size(), std::size_t(2));
        QCOMPARE(l_recorder.Take(),
                 StoreRecorder::Lines({"added ni_child", "connected ni_owner:a>ni_child",
                                       "connected ni_child>ni_owner:a", "added ni_child",
                                       "connected ni_owner:a>ni_child",
                                       "connected ni_child>ni_owner:a"}));

        ItemPtr l_flagA = l_a.NewItem("ni_flag");
        ItemPtr l_flagB = l_b.NewItem("ni_flag");
        QCOMPARE(l_flagA, l_flagB);
        QCOMPARE(l_flagA, lp_flag->GetGlobalItem());
        QCOMPARE(l_a.NewItem("ni_flag"), l_flagA);
        QCOMPARE(l_flagA->Connections()[0].m_items.size(), std::size_t(2));
        l_a.Disconnect("ni_flag");
        QVERIFY(!l_a.IsConnected("ni_flag"));
        QVERIFY(l_b.IsConnected("ni_flag"));

        ItemPtr l_companionA = l_a.NewItem("ni_companion");
        ItemPtr l_companionB = l_b.NewItem("ni_companion");
        QVERIFY(l_companionA && l_companionB && l_companionA != l_companionB);
        l_recorder.Take();
        QCOMPARE(l_a.NewItem("ni_companion"), l_companionA);
        QVERIFY(l_recorder.Take().isEmpty());

        QVERIFY(ThrowsMisuse<NullTypeException>([&] { l_a.NewItem("ni_valued"); }));
        QVERIFY(ThrowsMisuse<NotRelatedException>([&] { l_a.NewItem("ni_unrelated"); }));
        QVERIFY(ThrowsMisuse<TypeNotFoundException>([&] { l_a.NewItem("ni_missing"); }));
    }

    void connectingAndDisconnecting()
    {
        StoreRecorder l_recorder;
        Type* lp_user = d.NewType("cd_user", true, false, true);
        Type* lp_speed = d.NewType("cd_speed", false, false, true);
        d.NewType("cd_other", false, false, true);
        lp_user->RelateToType(lp_speed, Many, One, false);
        l_recorder.WatchType(lp_user);
        l_recorder.WatchType(lp_speed);
        l_recorder.WatchStore();
        l_recorder.WatchConnectionPair(lp_user, lp_speed);
        l_recorder.WatchConnectionPair(lp_speed, lp_user);
        l_recorder.WatchDisconnectionPair(lp_speed, lp_user);

        ItemPtr l_user = (*lp_user)["u"];
        ItemPtr l_fast = (*lp_speed)["100"];
        l_recorder.Take();
        QCOMPARE(l_user += l_fast, l_fast);
        QCOMPARE(l_recorder.Take(),
                 StoreRecorder::Lines(
                     {"connected cd_user:u>cd_speed:100", "store-connected cd_user:u>cd_speed:100",
                      "connected cd_speed:100>cd_user:u", "pair cd_user:u>cd_speed:100",
                      "pair cd_speed:100>cd_user:u"}));
        QCOMPARE(l_user.Connect(l_fast), l_fast);
        QVERIFY(l_recorder.Take().isEmpty());
        QCOMPARE(l_user["cd_speed"], l_fast);
        QCOMPARE(l_fast["cd_user"], l_user);
        QVERIFY(l_user.IsConnected(l_fast));
        QVERIFY(l_user.IsConnected(lp_speed));

        // Connected from the other side: the pair handlers still get (user, speed).
        ItemPtr l_slow = (*lp_speed)["5"];
        ItemPtr l_other = (*lp_user)["v"];
        l_recorder.Take();
        l_slow += l_other;
        QCOMPARE(l_recorder.Take(),
                 StoreRecorder::Lines({"connected cd_speed:5>cd_user:v",
                                       "store-connected cd_speed:5>cd_user:v",
                                       "connected cd_user:v>cd_speed:5",
                                       "pair cd_speed:5>cd_user:v", "pair cd_user:v>cd_speed:5"}));

        // Disconnecting two items that were not connected still tells everyone.
        QCOMPARE(l_user -= l_slow, l_slow);
        QCOMPARE(l_recorder.Take(), StoreRecorder::Lines({"disconnected cd_user:u>cd_speed:5",
                                                          "store-disconnected cd_user:u>cd_speed:5",
                                                          "disconnected cd_speed:5>cd_user:u",
                                                          "pair-off cd_speed:5>cd_user:u"}));
        QVERIFY(l_user.IsConnected(l_fast));

        QVERIFY(l_user["cd_other"].IsNull());
        QVERIFY(ThrowsMisuse<TypeNotFoundException>([&] { l_user["cd_missing"]; }));
        ItemPtr l_unrelated = (*d["cd_other"])["x"];
        l_recorder.Take();
        QVERIFY(ThrowsMisuse<NotRelatedException>([&] { l_user += l_unrelated; }));
        QVERIFY(l_recorder.Take().isEmpty());
    }

    void oneEndReplacesItsPartner()
    {
        StoreRecorder l_recorder;
        Type* lp_a = d.NewType("oe_a", true, false, true);
        Type* lp_b = d.NewType("oe_b", true, false, true);
        lp_a->RelateToType(lp_b, One, One, false);
        ItemPtr l_a1 = (*lp_a)["a1"], l_a2 = (*lp_a)["a2"];
        ItemPtr l_b1 = (*lp_b)["b1"], l_b2 = (*lp_b)["b2"];
        l_a1 += l_b1;
        l_a2 += l_b2;
        l_recorder.WatchType(lp_a);
        l_recorder.WatchType(lp_b);

        l_a1 += l_b2;
        QCOMPARE(
            l_recorder.Take(),
            StoreRecorder::Lines({"disconnected oe_a:a1>oe_b:b1", "disconnected oe_b:b1>oe_a:a1",
                                  "disconnected oe_b:b2>oe_a:a2", "disconnected oe_a:a2>oe_b:b2",
                                  "connected oe_a:a1>oe_b:b2", "connected oe_b:b2>oe_a:a1"}));
        QCOMPARE(l_a1.GetItems("oe_b"), ItemSet(l_b2));
        QCOMPARE(l_b2.GetItems("oe_a"), ItemSet(l_a1));
        QVERIFY(l_b1.IsDisconnectedFromAll());
        QVERIFY(l_a2.IsDisconnectedFromAll());
    }

    void settingsHoldOneValue()
    {
        TestSettings::Declare();
        TestSettings::Declare();
        QVERIFY(TestSettings::Setting("st_switch").IsNull());
        QCOMPARE(TestSettings::Setting("st_switch").AsString(), std::string());
        QVERIFY(!(*d["global"])["st_switch"].IsConnected("global_value"));

        TestSettings::SetSetting("st_switch", "yes");
        TestSettings::SetSetting("st_other", "yes");
        QCOMPARE(TestSettings::Setting("st_switch").AsString(), std::string("yes"));
        ItemPtr l_yes = (*d["global_value"])["yes"];
        QCOMPARE(l_yes.GetItems("global").size(), std::size_t(2));

        StoreRecorder l_recorder;
        l_recorder.WatchType(d["global"]);
        TestSettings::SetSetting("st_switch", 12);
        QCOMPARE(TestSettings::Setting("st_switch").AsInt(), 12);
        QCOMPARE(l_recorder.Take(),
                 StoreRecorder::Lines({"disconnected global:st_switch>global_value:yes",
                                       "connected global:st_switch>global_value:12"}));
        QCOMPARE((*d["global"])["st_switch"].GetItems("global_value").size(), std::size_t(1));
        QVERIFY(!d["global_value"]->HasItem("yes").IsNull());

        TestSettings::SetVolatileSetting("st_switch", "no");
        QCOMPARE(TestSettings::VolatileSetting("st_switch").AsString(), std::string("no"));
        QCOMPARE(TestSettings::Setting("st_switch").AsInt(), 12);
    }

    void removingAnItem()
    {
        Type* lp_user = d.NewType("rm_user", true, false, true);
        Type* lp_speed = d.NewType("rm_speed", false, false, true);
        Type* lp_flag = d.NewType("rm_flag", false, true, true);
        lp_user->RelateToType(lp_speed, Many, One, false);
        lp_user->RelateToType(lp_flag, Many, One, false);
        ItemPtr l_user = (*lp_user)["u"];
        ItemPtr l_speed = (*lp_speed)["9"];
        l_user += l_speed;
        l_user.NewItem("rm_flag");

        struct Reader : DataHandler
        {
            void OnRemoved(Item* ip_item)
            {
                m_seen = ItemPtr(ip_item)["rm_speed"].AsString() + "/" + ip_item->Value() + "/" +
                         std::to_string(ip_item->Connections().size());
            }
            std::string m_seen;
        } l_reader;
        lp_user->m_itemRemovedEvent.AddHandler(
            new EventHandler<Reader, Item*>(&l_reader, &Reader::OnRemoved));
        StoreRecorder l_recorder;
        l_recorder.WatchType(lp_user);
        l_recorder.WatchStore();

        std::uint64_t const l_serial = l_user->Serial();
        l_user.Remove();
        QCOMPARE(Text(l_reader.m_seen), QStringLiteral("9/u/2"));
        QCOMPARE(l_recorder.Take(),
                 StoreRecorder::Lines({"removed rm_user:u", "store-removed rm_user:u",
                                       "disconnected rm_user:u>rm_speed:9",
                                       "store-disconnected rm_user:u>rm_speed:9",
                                       "disconnected rm_user:u>rm_flag",
                                       "store-disconnected rm_user:u>rm_flag"}));
        QVERIFY(lp_user->HasItem("u").IsNull());
        QVERIFY(l_speed.IsDisconnectedFromAll());
        QCOMPARE(lp_speed->HasItem("9"), l_speed);
        QCOMPARE(lp_flag->ItemCount(), std::size_t(1));
        ItemPtr l_again = (*lp_user)["u"];
        QVERIFY(l_again->Serial() > l_serial);
    }

    void removingAllItems()
    {
        Type* lp_word = d.NewType("ra_word", true, false, true);
        StoreRecorder l_recorder;
        l_recorder.WatchType(lp_word);
        (*lp_word)["c"];
        (*lp_word)["a"];
        (*lp_word)["b"];
        l_recorder.Take();
        lp_word->RemoveAllItems();
        QCOMPARE(l_recorder.Take(), StoreRecorder::Lines({"removed ra_word:a", "removed ra_word:b",
                                                          "removed ra_word:c"}));
        QCOMPARE(lp_word->ItemCount(), std::size_t(0));
    }

    void nullHandleReadsAreSafe()
    {
        ItemPtr l_null;
        QVERIFY(l_null.IsNull());
        QVERIFY(l_null["anything"]["at_all"].IsNull());
        QCOMPARE(l_null.AsString(), std::string());
        QCOMPARE(std::string(l_null.AsCStr()), std::string());
        QCOMPARE(l_null.AsInt(), 0);
        QCOMPARE(l_null.AsUInt(), 0U);
        QCOMPARE(l_null.AsInt64(), 0LL);
        QCOMPARE(l_null.AsUInt64(), 0ULL);
        QVERIFY(l_null.GetItems("anything").empty());
        ItemSet l_filled{d.NewType("nh_thing", false, true, true)->NewItem()};
        l_null.GetItems("anything", l_filled);
        QVERIFY(l_filled.empty());
        QVERIFY(!l_null);
    }

    void misuseThrowsTheNamedException()
    {
        Type* lp_valued = d.NewType("mu_valued", true, false, true);
        Type* lp_null = d.NewType("mu_null", false, true, true);
        lp_valued->RelateToType(lp_null, Many, One, false);
        QVERIFY(ThrowsMisuse<TypeAlreadyExistsException>(
            [] { d.NewType("mu_valued", false, false, false); }));
        QVERIFY(ThrowsMisuse<TypeNotFoundException>([] { d.GetType("mu_missing"); }));
        QVERIFY(ThrowsMisuse<TypeNotFoundException>([] { d["mu_missing"]; }));
        QVERIFY(ThrowsMisuse<TypeNotFoundException>([] { g("mu_missing"); }));
        QVERIFY(ThrowsMisuse<TypeNotFoundException>([] { i("mu_missing", "x"); }));
        QVERIFY(ThrowsMisuse<TypeNotFoundException>(
            [&] { lp_valued->RelateToType("mu_missing", Many, Many, false); }));
        QVERIFY(ThrowsMisuse<AlreadyRelatedException>(
            [&] { lp_valued->RelateToType(lp_null, One, One, false); }));
        QVERIFY(ThrowsMisuse<AlreadyRelatedException>(
            [&] { lp_null->RelateToType(lp_valued, One, One, false); }));
        QVERIFY(ThrowsMisuse<NotRelatedException>([&] { lp_valued->GetRelation(lp_valued); }));
        QVERIFY(ThrowsMisuse<NullTypeException>([&] { lp_null->GetItem("x"); }));
        QVERIFY(ThrowsMisuse<NullTypeException>([&] { (*lp_null)["x"]; }));
        QVERIFY(ThrowsMisuse<NullTypeException>([&] { lp_null->HasItem("x"); }));
        QVERIFY(ThrowsMisuse<NullTypeException>([&] { lp_null->NewItem("x"); }));
        QVERIFY(ThrowsMisuse<NullTypeException>([&] { lp_valued->NewItem(); }));
        QVERIFY(ThrowsMisuse<NullTypeException>([&] { lp_valued->GetGlobalNullItem(); }));
        QVERIFY(ThrowsMisuse<NullTypeException>([&] { lp_valued->GetGlobalItem(); }));
        ItemPtr l_item = (*lp_valued)["v"];
        QVERIFY(ThrowsMisuse<TypeNotFoundException>([&] { l_item.IsConnected("mu_missing"); }));
        QVERIFY(ThrowsMisuse<TypeNotFoundException>([&] { l_item.Disconnect("mu_missing"); }));
        QVERIFY(ThrowsMisuse<TypeNotFoundException>([&] { l_item.GetItem("mu_missing"); }));
        QVERIFY(ThrowsMisuse<NotRelatedException>([&] { l_item.GetItems("mu_valued"); }));

        struct Subscriber : DataHandler
        {
            void On(ConnectionInfo&) {}
        } l_subscriber;
        auto* lp_handler =
            new EventHandler<Subscriber, ConnectionInfo&>(&l_subscriber, &Subscriber::On);
        QVERIFY(ThrowsMisuse<NotRelatedException>(
            [&] { d.AddConnectionEventHandler(lp_valued, lp_valued, lp_handler); }));
        QVERIFY(ThrowsMisuse<NotRelatedException>(
            [&] { d.AddDisconnectionEventHandler(lp_valued, lp_valued, lp_handler); }));
        delete lp_handler;
    }

    void misuseStopsTheProcessByDefault()
    {
        pid_t const l_child = fork();
        QVERIFY(l_child >= 0);
        if (l_child == 0)
        {
            std::signal(SIGABRT, SIG_DFL);
            SetCrashAssertAborts(true);
            try
            {
                d.GetType("ab_missing");
            }
            catch (...)
            {
            }
            _exit(0);
        }
        int l_status = 0;
        QCOMPARE(waitpid(l_child, &l_status, 0), l_child);
        QVERIFY(WIFSIGNALED(l_status));
        QCOMPARE(WTERMSIG(l_status), SIGABRT);
    }

    void identityOrderIsCreationOrder()
    {
        Type* lp_word = d.NewType("io_word", true, false, true);
        Type* lp_flag = d.NewType("io_flag", false, true, true);
        lp_word->RelateToType(lp_flag, Many, One, false);
        // Free some memory first so that later items may reuse lower addresses.
        std::vector<Item*> l_made;
        for (int l_index = 0; l_index < 50; ++l_index)
            l_made.push_back(lp_word->GetItem("tmp" + std::to_string(l_index)));
        for (Item* lp_item : l_made)
            lp_item->Remove();
        std::vector<Item*> l_created;
        for (char const* lp_value : {"m", "z", "a", "q", "b"})
            l_created.push_back(lp_word->GetItem(lp_value));
        ItemSet const l_all = g("io_word");
        QCOMPARE(std::vector<Item*>(l_all.begin(), l_all.end()), l_created);
        ItemPtr l_flag = lp_flag->GetGlobalItem();
        for (auto l_it = l_created.rbegin(); l_it != l_created.rend(); ++l_it)
            ItemPtr(*l_it) += l_flag;
        ItemSet const l_flagged = l_flag.GetItems("io_word");
        QCOMPARE(std::vector<Item*>(l_flagged.begin(), l_flagged.end()), l_created);
        for (std::size_t l_index = 1; l_index < l_created.size(); ++l_index)
            QVERIFY(l_created[l_index - 1]->Serial() < l_created[l_index]->Serial());
    }

    void uniqueItemWalks()
    {
        Type* lp_user = d.NewType("uq_user", true, false, true);
        Type* lp_entry = d.NewType("uq_entry", true, true, false);
        Type* lp_size = d.NewType("uq_size", false, false, true);
        Type* lp_state = d.NewType("uq_state", false, true, false);
        lp_user->RelateToType(lp_entry, One, Many, false);
        lp_entry->RelateToType(lp_size, Many, One, false);
        lp_entry->RelateToType(lp_state, One, One, false);

        ItemPtr l_lonely = (*lp_user)["lonely"];
        Item::UniqueItemMap l_found;
        l_lonely->GetUniqueToItems(l_found);
        QVERIFY(l_found.empty());

        ItemPtr l_user = (*lp_user)["u"];
        ItemPtr l_entry1 = l_user.NewItem("uq_entry");
        ItemPtr l_entry2 = l_user.NewItem("uq_entry");
        ItemPtr l_state = l_entry1.NewItem("uq_state");
        ItemPtr l_size = (*lp_size)["10"];
        l_entry1 += l_size;
        l_entry2 += l_size;

        l_user->GetUniqueToItems(l_found);
        QCOMPARE(l_found.size(), std::size_t(3));
        QCOMPARE(l_found.at(l_entry1), Item::Path({lp_user, lp_entry}));
        QCOMPARE(l_found.at(l_entry2), Item::Path({lp_user, lp_entry}));
        QCOMPARE(l_found.at(l_state), Item::Path({lp_user, lp_entry, lp_state}));

        Item::UniqueItemMap l_referred;
        l_entry1->GetUniqueItems(l_referred);
        QCOMPARE(l_referred.size(), std::size_t(3));
        QCOMPARE(l_referred.at(l_user), Item::Path({lp_entry, lp_user}));
        QCOMPARE(l_referred.at(l_size), Item::Path({lp_entry, lp_size}));
        QCOMPARE(l_referred.at(l_state), Item::Path({lp_entry, lp_state}));
    }

    void removingATypeClearsItsTraces()
    {
        Type* lp_keep = d.NewType("tr_keep", true, false, true);
        Type* lp_gone = d.NewType("tr_gone", false, false, true);
        lp_keep->RelateToType(lp_gone, Many, One, false);
        StoreRecorder l_recorder;
        l_recorder.WatchConnectionPair(lp_keep, lp_gone);
        ItemPtr l_keep = (*lp_keep)["k"];
        l_keep += (*lp_gone)["g"];
        l_recorder.Take();

        struct TypeWatcher : DataHandler
        {
            void OnRemoved(Type* ip_type) { m_names.push_back(ip_type->Name()); }
            std::vector<std::string> m_names;
        } l_watcher;
        d.m_typeRemovedEvent.AddHandler(
            new EventHandler<TypeWatcher, Type*>(&l_watcher, &TypeWatcher::OnRemoved));
        lp_gone->Remove();
        QCOMPARE(l_watcher.m_names, std::vector<std::string>{"tr_gone"});
        QCOMPARE(d.HasType("tr_gone"), nullptr);
        QVERIFY(l_keep.IsDisconnectedFromAll());
        Type::RelationMap l_relations;
        lp_keep->GetRelatedTypes(l_relations);
        QVERIFY(l_relations.empty());

        Type* lp_new = d.NewType("tr_gone", false, false, true);
        lp_keep->RelateToType(lp_new, Many, One, false);
        l_keep += (*lp_new)["g"];
        QCOMPARE(l_keep["tr_gone"].AsString(), std::string("g"));
        QVERIFY(l_recorder.Take().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestStore)
#include "tst_store.moc"
