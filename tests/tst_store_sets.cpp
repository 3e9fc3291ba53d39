#include "Data.h"

#include <QtTest>

#include <random>
#include <set>

namespace
{
std::vector<Item*> Members(ItemSet const& i_set)
{
    return std::vector<Item*>(i_set.begin(), i_set.end());
}

QStringList Values(std::list<Item*> const& i_items)
{
    QStringList l_values;
    for (Item* lp_item : i_items)
        l_values.append(QString::fromStdString(lp_item->Value()));
    return l_values;
}

QStringList Words(char const* ip_words)
{
    return QString::fromUtf8(ip_words).split(QLatin1Char(' '));
}
} // namespace

class TestStoreSets : public QObject
{
    Q_OBJECT

    Type* mp_item = nullptr;
    std::vector<Item*> m_items;

private slots:
    void initTestCase()
    {
        SetCrashAssertAborts(false);
        mp_item = d.NewType("set_item", true, false, true);
        for (int l_index = 0; l_index < 5000; ++l_index)
            m_items.push_back(mp_item->GetItem(l_index));
    }

    void growingAndShrinkingKeepsTheOrder()
    {
        // Random inserts and erases against std::set, across every storage size.
        std::mt19937 l_random(7);
        std::uniform_int_distribution<std::size_t> l_pick(0, m_items.size() - 1);
        ItemSet l_set;
        std::set<Item*, ItemLess> l_reference;
        for (int l_round = 0; l_round < 60000; ++l_round)
        {
            Item* lp_item = m_items[l_pick(l_random)];
            // Grow for a while, then shrink back to nothing.
            bool const l_growing = (l_round / 15000) % 2 == 0;
            bool const l_insert = l_growing ? l_random() % 4 != 0 : l_random() % 4 == 0;
            if (l_insert)
                QCOMPARE(l_set.insert(lp_item), l_reference.insert(lp_item).second);
            else
                QCOMPARE(l_set.erase(lp_item), l_reference.erase(lp_item));
            if (l_round % 997 == 0 || l_set.size() < 80)
            {
                QCOMPARE(l_set.size(), l_reference.size());
                QVERIFY(
                    std::equal(l_set.begin(), l_set.end(), l_reference.begin(), l_reference.end()));
                QCOMPARE(l_set.contains(lp_item), l_reference.contains(lp_item));
            }
        }
        for (Item* lp_item : m_items)
            l_set.erase(lp_item);
        QVERIFY(l_set.empty());
        QVERIFY(l_set.begin() == l_set.end());
    }

    void appendingInOrderFillsChunks()
    {
        ItemSet l_set;
        for (Item* lp_item : m_items)
            QVERIFY(l_set.insert(lp_item));
        QCOMPARE(Members(l_set), m_items);
        ItemSet l_copy = l_set;
        QVERIFY(l_copy == l_set);
        for (std::size_t l_index = 0; l_index < m_items.size(); l_index += 2)
            l_copy.erase(m_items[l_index]);
        QCOMPARE(l_copy.size(), m_items.size() / 2);
        QCOMPARE(l_set.size(), m_items.size());
        QCOMPARE(l_copy.front(), m_items[1]);
        ItemSet l_moved = std::move(l_copy);
        QVERIFY(l_copy.empty());
        QCOMPARE(l_moved.size(), m_items.size() / 2);
    }

    void setAlgebra()
    {
        std::vector<Item*> l_even, l_third;
        for (std::size_t l_index = 0; l_index < 300; ++l_index)
        {
            if (l_index % 2 == 0)
                l_even.push_back(m_items[l_index]);
            if (l_index % 3 == 0)
                l_third.push_back(m_items[l_index]);
        }
        ItemSet const l_evens(l_even);
        ItemSet const l_thirds(l_third);
        ItemSet const l_common = l_evens.Common(l_thirds);
        QCOMPARE(l_common.size(), std::size_t(50));
        for (Item* lp_item : l_common)
            QCOMPARE(lp_item->AsInt() % 6, 0);
        QVERIFY(l_evens.Common(ItemSet()).empty());
        QCOMPARE(ItemSet{m_items[4]}.Common(l_evens), ItemSet{m_items[4]});

        ItemSet const l_union = l_evens + l_thirds;
        QCOMPARE(l_union.size(), std::size_t(200));
        ItemSet l_added = l_thirds;
        l_added.Add(l_evens);
        QVERIFY(l_added == l_union);
        l_added.Add(ItemSet{m_items[1]});
        QCOMPARE(l_added.size(), std::size_t(201));

        ItemSet const l_listed{m_items[9], m_items[2], m_items[9], nullptr};
        QCOMPARE(Members(l_listed), (std::vector<Item*>{m_items[2], m_items[9]}));
        QVERIFY(ItemPtr(ItemSet()).IsNull());
        QCOMPARE(ItemPtr(ItemSet{m_items[3]}), ItemPtr(m_items[3]));
    }

    void connectionFilters()
    {
        Type* lp_user = d.NewType("cf_user", true, false, true);
        Type* lp_online = d.NewType("cf_online", false, true, true);
        Type* lp_room = d.NewType("cf_room", true, false, true);
        lp_user->RelateToType(lp_online, Many, One, false);
        lp_user->RelateToType(lp_room, Many, Many, false);
        ItemPtr l_ann = (*lp_user)["ann"], l_bob = (*lp_user)["bob"], l_cy = (*lp_user)["cy"];
        ItemPtr l_lobby = (*lp_room)["lobby"], l_den = (*lp_room)["den"];
        l_ann.NewItem("cf_online");
        l_bob.NewItem("cf_online");
        l_ann += l_lobby;
        l_cy += l_lobby;
        l_cy += l_den;
        ItemSet const l_users = g("cf_user");

        QCOMPARE(l_users.Connected("cf_online"), (ItemSet{l_ann, l_bob}));
        QCOMPARE(l_users.NotConnected("cf_online"), ItemSet{l_cy});
        QCOMPARE(l_users.Connected(l_lobby), (ItemSet{l_ann, l_cy}));
        QCOMPARE(l_users.NotConnected(l_lobby), ItemSet{l_bob});
        QCOMPARE(l_users.Connected(g("cf_room")), (ItemSet{l_ann, l_cy}));
        QCOMPARE(ItemSet{l_ann}.Connected(g("cf_room")), ItemSet{l_ann});
        QCOMPARE(l_users.Connected("cf_room", "den"), ItemSet{l_cy});
        QCOMPARE(l_users.NotConnected("cf_room", "den"), (ItemSet{l_ann, l_bob}));

        QCOMPARE(l_users.NotConnected(ItemSet()), l_users);
        QVERIFY(l_users.NotConnected(ItemPtr()).empty());
        QVERIFY(l_users.Connected(ItemPtr()).empty());
        QVERIFY(l_users.Connected("cf_room", "attic").empty());
        QVERIFY(l_users.NotConnected("cf_room", "attic").empty());
        QVERIFY(lp_room->HasItem("attic").IsNull());

        QCOMPARE(l_users.GetItems("cf_room"), (ItemSet{l_lobby, l_den}));
        QCOMPARE(d.GetItems(l_users, "cf_room"), (ItemSet{l_lobby, l_den}));
        QCOMPARE(l_ann.GetItems("cf_room"), ItemSet{l_lobby});
    }

    void commonNeighbours()
    {
        Type* lp_user = d.NewType("cn_user", true, false, true);
        Type* lp_file = d.NewType("cn_file", false, false, true);
        Type* lp_entry = d.NewType("cn_entry", true, true, false);
        lp_user->RelateToType(lp_entry, One, Many, false);
        lp_file->RelateToType(lp_entry, One, Many, false);
        ItemPtr l_ann = (*lp_user)["ann"], l_bob = (*lp_user)["bob"];
        ItemPtr l_song = (*lp_file)["song"], l_film = (*lp_file)["film"];
        ItemPtr l_annSong = l_ann.NewItem("cn_entry");
        l_annSong += l_song;
        ItemPtr l_annFilm = l_ann.NewItem("cn_entry");
        l_annFilm += l_film;
        ItemPtr l_bobSong = l_bob.NewItem("cn_entry");
        l_bobSong += l_song;

        QCOMPARE(d.GetItem(l_ann, l_song, "cn_entry"), l_annSong);
        QCOMPARE(d.GetItem(l_bob, l_song, "cn_entry"), l_bobSong);
        QVERIFY(d.GetItem(l_bob, l_film, "cn_entry").IsNull());
        QCOMPARE(d.GetItems(l_ann, l_ann, "cn_entry"), (ItemSet{l_annSong, l_annFilm}));
        QVERIFY(d.GetItemSubset(ItemSet(), "cn_entry").empty());
        QCOMPARE(d.GetItemSubset(ItemSet{l_song}, "cn_entry"), (ItemSet{l_annSong, l_bobSong}));
        QVERIFY(d.GetItemSubset(ItemSet{l_song, (*lp_user)["nobody"]}, "cn_entry").empty());
        QVERIFY(d.GetItemSubset(ItemSet{l_ann, l_bob}, "cn_entry").empty());
    }

    void sortsByValue()
    {
        Type* lp_word = d.NewType("so_word", false, false, true);
        ItemSet l_words;
        for (char const* lp_value : {"b", "B", "a", "ab"})
            l_words.insert((*lp_word)[lp_value]);
        QCOMPARE(Values(l_words.SortAlphabetic(true)), Words("B a ab b"));
        QCOMPARE(Values(l_words.SortAlphabetic(false)), Words("b ab a B"));

        Type* lp_number = d.NewType("so_number", false, false, true);
        ItemSet l_numbers;
        for (char const* lp_value : {"10", "9", "-1", "x"})
            l_numbers.insert((*lp_number)[lp_value]);
        QCOMPARE(Values(l_numbers.SortNumeric(true)), Words("-1 x 9 10"));
        QCOMPARE(Values(l_numbers.SortNumeric(false)), Words("10 9 x -1"));

        Type* lp_high = d.NewType("so_high", false, false, true);
        ItemSet l_bytes{(*lp_high)["\xc3\xa9"], (*lp_high)["z"]};
        QCOMPARE(l_bytes.SortAlphabetic(true).front()->Value(), std::string("z"));
    }

    void sortsByAttribute()
    {
        Type* lp_user = d.NewType("sa_user", true, false, true);
        Type* lp_speed = d.NewType("sa_speed", false, false, true);
        lp_user->RelateToType(lp_speed, Many, One, false);
        ItemPtr l_first = (*lp_user)["first"], l_second = (*lp_user)["second"];
        ItemPtr l_third = (*lp_user)["third"];
        (*lp_user)["none"];
        l_first += (*lp_speed)["200"];
        l_second += (*lp_speed)["30"];
        l_third += (*lp_speed)["200"];
        ItemSet const l_users = g("sa_user");
        QCOMPARE(Values(l_users.SortNumericBy("sa_speed", true)), Words("second first third"));
        QCOMPARE(Values(l_users.SortNumericBy("sa_speed", false)), Words("third first second"));
        QCOMPARE(Values(l_users.SortAlphabeticBy("sa_speed", true)), Words("first third second"));
        QCOMPARE(Values(l_users.SortAlphabeticBy("sa_speed", false)), Words("second third first"));
    }
};

QTEST_GUILESS_MAIN(TestStoreSets)
#include "tst_store_sets.moc"
