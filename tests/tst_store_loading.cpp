#include "Data.h"
#include "DataSaver.h"
#include "LoadArena.h"
#include "StoreRecorder.h"

#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace
{
// What a load is watched through, and whether an item is held before it: a row's bits.
constexpr int watchNothing = 0, watchFileType = 1, watchStore = 2, watchFolderFilePair = 4,
              heldBefore = 8;

// Every item and connection as sorted text.
QStringList Snapshot()
{
    QStringList l_lines;
    for (Type* lp_type : d.Types())
        for (Item* lp_item : lp_type->GetItems())
        {
            l_lines << QString::fromStdString(StoreRecorder::Label(lp_item));
            for (Item::Connection const& l_group : lp_item->Connections())
                for (Item* lp_partner : l_group.m_items)
                    l_lines << QString::fromStdString(StoreRecorder::Label(lp_item) + " > " +
                                                      StoreRecorder::Label(lp_partner));
        }
    l_lines.sort();
    return l_lines;
}
} // namespace

class TestStoreLoading : public QObject
{
    Q_OBJECT

    Type* mp_folder = nullptr;
    Type* mp_file = nullptr;
    Type* mp_shared = nullptr;
    QTemporaryDir m_folder;
    DataSaver m_saver;

    QString Path() const { return m_folder.filePath(QStringLiteral("data")); }

    // What a load of the saved file does through the ordinary calls: the items in id order, then
    // the pairs in order.
    void Replay()
    {
        Item* lp_a = mp_folder->NewItem("a");
        Item* lp_x = mp_file->NewItem("x");
        Item* lp_y = mp_file->NewItem("y");
        Item* lp_shared = mp_shared->NewItem();
        lp_a->Connect(lp_x);
        lp_a->Connect(lp_y);
        lp_x->Connect(lp_shared);
    }

private slots:
    void initTestCase()
    {
        mp_folder = d.NewType("ld_folder", true, false, true);
        mp_file = d.NewType("ld_file", false, false, true);
        mp_shared = d.NewType("ld_shared", false, true, true);
        mp_file->RelateToType(mp_folder, Many, One, false);
        mp_file->RelateToType(mp_shared, Many, One, false);
        for (char const* lp_type : {"ld_folder", "ld_file", "ld_shared"})
            m_saver.AddSavedType(lp_type);
        QVERIFY(m_folder.isValid());
    }

    void init()
    {
        d.RemoveAllItems();
        Replay();
        m_saver.Save(Path());
    }

    void loadTellsWhatTheOrdinaryCallsTell_data()
    {
        QTest::addColumn<int>("watch");
        QTest::newRow("nobody listens") << watchNothing;
        QTest::newRow("a type's events") << watchFileType;
        QTest::newRow("the store's events") << watchStore;
        QTest::newRow("a pair's handlers") << watchFolderFilePair;
        QTest::newRow("an item held before, replaced partner") << (heldBefore | watchFileType);
        QTest::newRow("an item held before, nobody listens") << heldBefore;
    }

    void loadTellsWhatTheOrdinaryCallsTell()
    {
        QFETCH(int, watch);
        auto const l_run = [&](std::function<void()> const& i_fill)
        {
            d.RemoveAllItems();
            if (watch & heldBefore)
                mp_file->NewItem("x")->Connect(mp_folder->NewItem("b"));
            StoreRecorder l_recorder;
            if (watch & watchFileType)
                l_recorder.WatchType(mp_file);
            if (watch & watchStore)
                l_recorder.WatchStore();
            if (watch & watchFolderFilePair)
                l_recorder.WatchConnectionPair(mp_folder, mp_file);
            std::uint64_t const l_changes = d.ChangeCount();
            i_fill();
            l_recorder.m_log << (d.ChangeCount() > l_changes ? QStringLiteral("changed")
                                                             : QStringLiteral("unchanged"))
                             << Snapshot();
            return l_recorder.Take();
        };
        QStringList const l_loaded = l_run([this] { m_saver.Load(Path()); });
        QCOMPARE(l_loaded, l_run([this] { Replay(); }));
        QVERIFY(l_loaded.contains(QStringLiteral("ld_file:x > ld_folder:a")));
    }

    // A handler that removes an item loaded before leaves it out of the connections.
    void itemRemovedDuringTheLoadIsPassedOver()
    {
        d.RemoveAllItems();
        struct Remover : DataHandler
        {
            void OnAdded(Item* ip_item)
            {
                if (ip_item->Value() == "y")
                    d.GetType("ld_folder")->HasItem("a").Remove();
            }
        } l_remover;
        mp_file->m_itemAddedEvent.AddHandler(
            new EventHandler<Remover, Item*>(&l_remover, &Remover::OnAdded));
        m_saver.Load(Path());
        QCOMPARE(Snapshot(),
                 StoreRecorder::Lines({"ld_file:x", "ld_file:x > ld_shared", "ld_file:y",
                                       "ld_shared", "ld_shared > ld_file:x"}));
    }

    void changeCountGrowsWithEveryChangeOnly()
    {
        Item* lp_x = mp_file->HasItem("x");
        Item* lp_a = mp_folder->HasItem("a");
        const auto l_changes = [](const std::function<void()>& i_do)
        {
            std::uint64_t const l_before = d.ChangeCount();
            i_do();
            return d.ChangeCount() != l_before;
        };
        QVERIFY(!l_changes([&] { mp_file->GetItem("x"); }));
        QVERIFY(!l_changes([&] { mp_file->HasItem("none"); }));
        QVERIFY(!l_changes([&] { lp_x->Connect(lp_a); }));
        QVERIFY(l_changes([&] { lp_x->Disconnect(lp_a); }));
        QVERIFY(!l_changes([&] { lp_x->Disconnect(lp_a); }));
        QVERIFY(l_changes([&] { lp_x->Connect(lp_a); }));
        QVERIFY(l_changes([&] { mp_file->GetItem("z"); }));
        QVERIFY(!l_changes([&] { m_saver.Save(Path()); }));
        QVERIFY(l_changes([&] { mp_file->HasItem("z").Remove(); }));
        QVERIFY(!l_changes([&] { d.RemoveDisconnectedItems(); }));
        QVERIFY(l_changes([&] { m_saver.Load(Path()); }));
    }

    // Loaded items, their tables and sets grow, shrink, are copied and removed as items made by
    // the ordinary calls are, and give back all their memory when removed.
    void loadedItemsChangeAndFreeAsOthers()
    {
        Type* lp_hub = d.NewType("ld_group_hub", true, false, true);
        Type* lp_leaf = d.NewType("ld_group_leaf", true, false, true);
        Type* lp_tag = d.NewType("ld_group_tag", true, true, true);
        lp_hub->RelateToType(lp_leaf, Many, Many, false);
        lp_hub->RelateToType(lp_tag, Many, One, false);
        m_saver.AddSavedType("ld_group_hub");
        m_saver.AddSavedType("ld_group_leaf");
        // One, a few, a flat array's most and a chunked set of partners.
        std::vector<int> const l_sizes{1, 3, 64, 700};
        auto const l_leaf = [&](int i_number)
        { return lp_leaf->NewItem(Value("leaf" + std::to_string(i_number))); };
        auto const l_build = [&]
        {
            for (std::size_t l_hub = 0; l_hub < l_sizes.size(); ++l_hub)
            {
                Item* lp_item = lp_hub->NewItem(Value("hub" + std::to_string(l_hub)));
                for (int l_number = 0; l_number < l_sizes[l_hub]; ++l_number)
                    lp_item->Connect(l_leaf(l_number));
            }
        };
        auto const l_change = [&]
        {
            std::vector<Item*> l_hubs;
            for (std::size_t l_hub = 0; l_hub < l_sizes.size(); ++l_hub)
                l_hubs.push_back(lp_hub->HasItem(Value("hub" + std::to_string(l_hub))));
            ItemSet const l_copy = *l_hubs[2]->ConnectedItems(lp_leaf);
            for (std::size_t l_hub = 0; l_hub < l_hubs.size(); ++l_hub)
            {
                l_hubs[l_hub]->Connect(l_leaf(1000 + int(l_hub)));
                l_hubs[l_hub]->NewItem("ld_group_tag");
            }
            l_hubs[1]->Connect(l_leaf(2000));
            for (int l_number = 1; l_number < 700; ++l_number)
                l_hubs[3]->Disconnect(lp_leaf->HasItem(Value("leaf" + std::to_string(l_number))));
            for (int l_number = 0; l_number < 3; ++l_number)
                l_hubs[1]->Disconnect(lp_leaf->HasItem(Value("leaf" + std::to_string(l_number))));
            lp_leaf->HasItem(Value("leaf5")).Remove();
            l_hubs[0]->Remove();
            QCOMPARE(l_copy.size(), std::size_t(64));
        };

        d.RemoveAllItems();
        std::size_t const l_blocks = LoadArena::BlocksInUse();
        l_build();
        m_saver.Save(Path());
        l_change();
        QStringList const l_expected = Snapshot();

        d.RemoveAllItems();
        m_saver.Load(Path());
        QVERIFY(LoadArena::BlocksInUse() > l_blocks);
        l_change();
        QCOMPARE(Snapshot(), l_expected);
        d.RemoveAllItems();
        QCOMPARE(LoadArena::BlocksInUse(), l_blocks);
    }

    // More connection groups than a 16-bit table size holds.
    void itemHoldsManyGroups()
    {
        constexpr int l_types = 33000;
        Type* lp_hub = d.NewType("ld_hub", true, true, true);
        Item* lp_item = lp_hub->NewItem();
        for (int l_type = 0; l_type < l_types; ++l_type)
        {
            Type* lp_type = d.NewType("ld_leaf" + std::to_string(l_type), false, true, true);
            lp_hub->RelateToType(lp_type, Many, Many, false);
            lp_item->Connect(lp_type->NewItem());
        }
        QCOMPARE(lp_item->Connections().size(), std::size_t(l_types));
        QVERIFY(lp_item->IsConnected(std::string_view("ld_leaf0")));
        QVERIFY(lp_item->IsConnected(std::string_view("ld_leaf32999")));
    }
};

QTEST_GUILESS_MAIN(TestStoreLoading)
#include "tst_store_loading.moc"
