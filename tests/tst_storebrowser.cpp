#include "Data.h"
#include "DataDialog.h"
#include "DataTabPage.h"
#include "ItemLogDialog.h"
#include "StoreRowTexts.h"
#include "TypeNavigatorDialog.h"
#include "ViewHarness.h"

#include <QComboBox>
#include <QListWidget>
#include <QPointer>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace
{
QStringList ListTexts(const QListWidget* ip_list)
{
    QStringList l_texts;
    for (int l_row = 0; l_row < ip_list->count(); ++l_row)
        l_texts.append(ip_list->item(l_row)->text());
    return l_texts;
}

// A tree as indented lines: two blanks per level.
QStringList TreeLines(const QTreeWidget* ip_tree)
{
    QStringList l_lines;
    std::function<void(const QTreeWidgetItem*, int)> l_add =
        [&](const QTreeWidgetItem* ip_row, int i_level)
    {
        l_lines.append(QString(2 * i_level, u' ') + ip_row->text(0));
        for (int l_child = 0; l_child < ip_row->childCount(); ++l_child)
            l_add(ip_row->child(l_child), i_level + 1);
    };
    for (int l_row = 0; l_row < ip_tree->topLevelItemCount(); ++l_row)
        l_add(ip_tree->topLevelItem(l_row), 0);
    return l_lines;
}

QTreeWidgetItem* FindRow(const QTreeWidget* ip_tree, const QString& i_text)
{
    const QList<QTreeWidgetItem*> l_rows =
        ip_tree->findItems(i_text, Qt::MatchExactly | Qt::MatchRecursive);
    return l_rows.isEmpty() ? nullptr : l_rows.first();
}

int Depth(const QTreeWidgetItem* ip_row)
{
    int l_depth = 0;
    for (; ip_row->parent(); ip_row = ip_row->parent())
        ++l_depth;
    return l_depth;
}

QStringList Tabs(const QTabWidget* ip_tabs)
{
    QStringList l_titles;
    for (int l_index = 0; l_index < ip_tabs->count(); ++l_index)
        l_titles.append(ip_tabs->tabText(l_index));
    return l_titles;
}

QString PageText(const QTabWidget* ip_tabs, int i_index)
{
    return qobject_cast<QTextBrowser*>(ip_tabs->widget(i_index))->toPlainText();
}

// Whether any text of the browser is a link.
bool HasAnchor(const QTextBrowser* ip_page)
{
    for (QTextBlock l_block = ip_page->document()->begin(); l_block.isValid();
         l_block = l_block.next())
        for (auto l_it = l_block.begin(); !l_it.atEnd(); ++l_it)
            if (l_it.fragment().charFormat().isAnchor())
                return true;
    return false;
}

void Relate(std::string_view i_a, std::string_view i_b, OneOrMany i_aEnd, OneOrMany i_bEnd)
{
    d[i_a]->RelateToType(i_b, i_aEnd, i_bEnd, false);
}
} // namespace

class TestStoreBrowser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The type navigator and the item log read the one store: their schema, declared once.
        for (const char* lp_name :
             {"nx", "ny", "nz", "pa", "pd1", "pd2", "pb1", "pb2", "pc",       "np",     "nq", "c0",
              "c1", "c2", "c3", "c4", "c5",  "c6",  "c7",  "cs",  "<i>m</i>", "k&amp;", "fs", "ft"})
            d.NewType(lp_name, false, false, false);
        d.NewType("nn", false, true, false);
        Relate("nx", "ny", Many, One);
        Relate("ny", "nz", Many, Many);
        // Parallel chains pa-pb1-pc and pa-pb2-pc; a longer one pa-pd1-pd2-pc met first.
        Relate("pa", "pd1", Many, One);
        Relate("pa", "pb1", Many, One);
        Relate("pa", "pb2", Many, One);
        Relate("pd1", "pd2", Many, One);
        Relate("pd2", "pc", Many, One);
        Relate("pb1", "pc", Many, One);
        Relate("pb2", "pc", Many, One);
        Relate("np", "nn", Many, One);
        Relate("nn", "nq", One, One);
        for (int l_step = 0; l_step < 6; ++l_step)
            Relate("c" + std::to_string(l_step), "c" + std::to_string(l_step + 1), Many, One);
        Relate("c6", "c7", Many, One);
        Relate("<i>m</i>", "k&amp;", Many, One);
        // Three fully connected layers of ten between fs and ft: a thousand paths of five types.
        for (int l_layer = 0; l_layer < 3; ++l_layer)
            for (int l_index = 0; l_index < 10; ++l_index)
                d.NewType("f" + std::to_string(l_layer) + "_" + std::to_string(l_index), false,
                          false, false);
        for (int l_index = 0; l_index < 10; ++l_index)
        {
            const std::string l_suffix = "_" + std::to_string(l_index);
            Relate("fs", "f0" + l_suffix, Many, Many);
            Relate("f2" + l_suffix, "ft", Many, Many);
            for (int l_other = 0; l_other < 10; ++l_other)
            {
                const std::string l_otherSuffix = "_" + std::to_string(l_other);
                Relate("f0" + l_suffix, "f1" + l_otherSuffix, Many, Many);
                Relate("f1" + l_suffix, "f2" + l_otherSuffix, Many, Many);
            }
        }

        d.NewType("subject", true, false, true);
        d.NewType("item_log", false, true, false);
        d["item_log"]->RelateToType("subject", Many, One, false);
        for (const char* lp_attribute :
             {"log_time", "log_area", "log_level", "log_text", "log_order"})
        {
            d.NewType(lp_attribute, false, false, true);
            d["item_log"]->RelateToType(lp_attribute, Many, One, false);
        }
    }

    // Each test of the store browser and the type page gets a store of its own.
    void init()
    {
        mp_store = std::make_unique<Data>();
        Data& l_store = *mp_store;
        l_store.NewType("global", true, false, true);
        l_store.NewType("is_online", false, true, false);
        l_store.NewType("user", true, false, true);
        l_store.NewType("country_code", false, false, true);
        l_store.NewType("empty_type", false, false, true);
        l_store["user"]->RelateToType("is_online", Many, One, false);
        l_store["user"]->RelateToType("country_code", Many, One, false);
        l_store["global"]->NewItem("username");
        l_store["global"]->NewItem("listening_port");
        for (const char* lp_name : {"bob", "alice", "Zed", "<b>x</b>"})
            l_store["user"]->NewItem(lp_name);
        ItemPtr l_alice = l_store["user"]->HasItem("alice");
        l_alice += l_store["is_online"]->GetGlobalNullItem();
        l_alice += l_store["country_code"]->GetItem("DE");
        ItemPtr(l_store["user"]->HasItem("bob")) += l_store["country_code"]->GetItem("DE");
    }

    void cleanup()
    {
        delete mp_dialog.data();
        mp_store.reset();
    }

    void typeRows_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<QStringList>("texts");
        QTest::newRow("country_code") << 0 << QStringList{u"country_code"_s, u"value   "_s, u"1"_s};
        QTest::newRow("empty_type") << 1 << QStringList{u"empty_type"_s, u"value   "_s, u"0"_s};
        QTest::newRow("global") << 2 << QStringList{u"global"_s, u"value   "_s, u"2"_s};
        QTest::newRow("is_online") << 3 << QStringList{u"is_online"_s, u"null   "_s, u"1"_s};
        QTest::newRow("user") << 4 << QStringList{u"user"_s, u"value   "_s, u"4"_s};
    }

    void typeRows()
    {
        QFETCH(int, row);
        QFETCH(QStringList, texts);
        QTreeWidget* lp_types = Browser()->findChild<QTreeWidget*>(u"typeList"_s);
        QCOMPARE(lp_types->topLevelItemCount(), 5);
        QTreeWidgetItem* lp_row = lp_types->topLevelItem(row);
        QCOMPARE((QStringList{lp_row->text(0), lp_row->text(1), lp_row->text(2)}), texts);
    }

    void selectType_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QStringList>("items");
        QTest::newRow("null type") << u"is_online"_s << QStringList();
        QTest::newRow("no items") << u"empty_type"_s << QStringList();
        // Byte order, upper case first; markup shown as typed.
        QTest::newRow("users") << u"user"_s
                               << QStringList{u"<b>x</b>"_s, u"Zed"_s, u"alice"_s, u"bob"_s};
    }

    void selectType()
    {
        QFETCH(QString, type);
        QFETCH(QStringList, items);
        SelectType(u"global"_s);
        ClickItem(u"username"_s);
        QCOMPARE(Tree()->topLevelItemCount(), 1);
        SelectType(type);
        QCOMPARE(ListTexts(List()), items);
        QVERIFY(List()->isSortingEnabled());
        QCOMPARE(Tree()->topLevelItemCount(), 0);
    }

    void itemTree()
    {
        SelectType(u"user"_s);
        ClickItem(u"alice"_s);
        const QStringList l_clicked{u"alice"_s, u"  [is_online, null]"_s, u"    ~~unloaded~~"_s,
                                    u"  [country_code] DE"_s, u"    ~~unloaded~~"_s};
        QCOMPARE(TreeLines(Tree()), l_clicked);
        // Expanded, a row shows every connection but those to its own type, the way back too, in
        // the store's order.
        QTreeWidgetItem* lp_country = FindRow(Tree(), u"[country_code] DE"_s);
        lp_country->setExpanded(true);
        const QStringList l_expanded{u"alice"_s,
                                     u"  [is_online, null]"_s,
                                     u"    ~~unloaded~~"_s,
                                     u"  [country_code] DE"_s,
                                     u"    [user] bob"_s,
                                     u"      ~~unloaded~~"_s,
                                     u"    [user] alice"_s,
                                     u"      ~~unloaded~~"_s};
        QCOMPARE(TreeLines(Tree()), l_expanded);
        QCOMPARE(Tree()->currentItem(), lp_country);
        lp_country->setExpanded(false);
        lp_country->setExpanded(true);
        QCOMPARE(TreeLines(Tree()), l_expanded);
        // Every cell shows its whole text in its tool tip, as plain text; the item's rows are
        // read at the top, as reading one below would load it.
        for (QAbstractItemView* lp_view :
             {static_cast<QAbstractItemView*>(Browser()->findChild<QTreeWidget*>(u"typeList"_s)),
              static_cast<QAbstractItemView*>(List())})
            QCOMPARE(ViewHarness::ToolTipMismatches(lp_view), QStringList());
        QTreeWidgetItem* lp_top = Tree()->topLevelItem(0);
        QCOMPARE(
            ViewHarness::ToolTipAt(Tree()->viewport(), Tree()->visualItemRect(lp_top).center()),
            lp_top->text(0));
    }

    void liveAddAndRemove()
    {
        SelectType(u"user"_s);
        (*mp_store)["user"]->NewItem("carol");
        (*mp_store)["user"]->NewItem("b");
        (*mp_store)["global"]->NewItem("other");
        QCOMPARE(ListTexts(List()),
                 (QStringList{u"<b>x</b>"_s, u"Zed"_s, u"alice"_s, u"b"_s, u"bob"_s, u"carol"_s}));
        QCOMPARE(TypeRow(u"user"_s)->text(2), u"6"_s);
        QCOMPARE(TypeRow(u"global"_s)->text(2), u"3"_s);
        ClickItem(u"carol"_s);
        QCOMPARE(TreeLines(Tree()), QStringList{u"carol"_s});

        ClickItem(u"alice"_s);
        FindRow(Tree(), u"[country_code] DE"_s)->setExpanded(true);
        // Bob is shown only on a sub-row: that row goes with its children.
        ItemPtr((*mp_store)["user"]->HasItem("bob")).Remove();
        QCOMPARE(ListTexts(List()),
                 (QStringList{u"<b>x</b>"_s, u"Zed"_s, u"alice"_s, u"b"_s, u"carol"_s}));
        QCOMPARE(TypeRow(u"user"_s)->text(2), u"5"_s);
        QCOMPARE(TreeLines(Tree()).size(), 6);
        QVERIFY(!FindRow(Tree(), u"[user] bob"_s));
        // The country is shown on a row whose subtree holds alice again.
        ItemPtr((*mp_store)["country_code"]->HasItem("DE")).Remove();
        QCOMPARE(TreeLines(Tree()),
                 (QStringList{u"alice"_s, u"  [is_online, null]"_s, u"    ~~unloaded~~"_s}));
        FindRow(Tree(), u"[is_online, null]"_s)->setExpanded(true);
        QCOMPARE(TreeLines(Tree()), (QStringList{u"alice"_s, u"  [is_online, null]"_s,
                                                 u"    [user] alice"_s, u"      ~~unloaded~~"_s}));
        // The item at the top goes: the tree empties.
        ItemPtr((*mp_store)["user"]->HasItem("alice")).Remove();
        QCOMPARE(Tree()->topLevelItemCount(), 0);
        QCOMPARE(ListTexts(List()), (QStringList{u"<b>x</b>"_s, u"Zed"_s, u"b"_s, u"carol"_s}));
        // A type taken out of the store takes its row.
        (*mp_store)["user"]->Remove();
        QVERIFY(!TypeRow(u"user"_s));
        QCOMPARE(List()->count(), 0);
    }

    // Values that are not UTF-8 show alike; a removal takes the row of the removed item.
    void removalOfTextsAlike()
    {
        for (const char* lp_value : {"\xff", "\xfe", "a"})
            (*mp_store)["empty_type"]->NewItem(lp_value);
        SelectType(u"empty_type"_s);
        QCOMPARE(List()->count(), 3);
        ItemPtr(((*mp_store)["empty_type"])->HasItem("\xfe")).Remove();
        QCOMPARE(List()->count(), 2);
        ClickItem(u"a"_s);
        emit List()->itemClicked(List()->item(1));
        QCOMPARE(Tree()->topLevelItem(0)->text(0), QString::fromUtf8("\xff"));
        ItemPtr(((*mp_store)["empty_type"])->HasItem("\xff")).Remove();
        QCOMPARE(ListTexts(List()), QStringList{u"a"_s});
        QCOMPARE(Tree()->topLevelItemCount(), 0);
    }

    void closingDeletes()
    {
        Browser()->close();
        QTRY_VERIFY(mp_dialog.isNull());
        (*mp_store)["user"]->NewItem("after");
    }

    void typePage()
    {
        Data& l_store = *mp_store;
        l_store.NewType("t1", true, false, true);
        l_store.NewType("t2", false, false, true);
        l_store.NewType("t3", false, false, true);
        l_store["t1"]->RelateToType("t2", Many, Many, false);
        l_store["t2"]->RelateToType("t3", Many, Many, false);
        ItemPtr l_old = l_store["t1"]->NewItem("old");
        DataTabPage l_page(l_store["t1"]);
        auto* lp_list = l_page.findChild<QListWidget*>(u"itemList"_s);
        auto* lp_tree = l_page.findChild<QTreeWidget*>(u"itemDataTree"_s);
        QCOMPARE(lp_tree->headerItem()->text(0), u"Item"_s);
        QCOMPARE(lp_list->count(), 0);
        ItemPtr l_x = l_store["t1"]->NewItem("x");
        ItemPtr l_w = l_store["t1"]->NewItem("w");
        QCOMPARE(ListTexts(lp_list), (QStringList{u"w"_s, u"x"_s}));
        ItemPtr l_y = l_store["t2"]->NewItem("y");
        l_x += l_y;
        l_w += l_y;
        l_y += l_store["t3"]->NewItem("z");
        emit lp_list->itemClicked(lp_list->item(1));
        QCOMPARE(TreeLines(lp_tree), (QStringList{u"x"_s, u"  [t2] y"_s, u"    [t3] z"_s}));
        QVERIFY(lp_tree->topLevelItem(0)->isExpanded() &&
                lp_tree->topLevelItem(0)->child(0)->isExpanded());
        for (QAbstractItemView* lp_view :
             {static_cast<QAbstractItemView*>(lp_list), static_cast<QAbstractItemView*>(lp_tree)})
            QCOMPARE(ViewHarness::ToolTipMismatches(lp_view), QStringList());
        l_w.Remove();
        l_old.Remove();
        QCOMPARE(ListTexts(lp_list), QStringList{u"x"_s});
    }

    void typePageCaps_data()
    {
        QTest::addColumn<int>("chain");
        QTest::addColumn<int>("fanOut");
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("depth");
        QTest::newRow("within the caps") << 4 << 3 << 1 + 3 + 3 << 4;
        QTest::newRow("deep chain")
            << 12 << 1 << 1 + DataTabPage::maxTreeDepth << DataTabPage::maxTreeDepth;
        QTest::newRow("wide") << 2 << 30000 << DataTabPage::maxTreeRows << 2;
    }

    // A chain of types k0-k1-...; the top item holds fanOut items of k1, the first of which
    // starts a chain of one item per type.
    void typePageCaps()
    {
        QFETCH(int, chain);
        QFETCH(int, fanOut);
        QFETCH(int, rows);
        QFETCH(int, depth);
        Data& l_store = *mp_store;
        for (int l_type = 0; l_type <= chain; ++l_type)
            l_store.NewType("k" + std::to_string(l_type), true, false, true);
        for (int l_type = 0; l_type < chain; ++l_type)
            l_store["k" + std::to_string(l_type)]->RelateToType("k" + std::to_string(l_type + 1),
                                                                Many, Many, false);
        DataTabPage l_page(l_store["k0"]);
        ItemPtr l_top = l_store["k0"]->NewItem("top");
        for (int l_index = 0; l_index < fanOut; ++l_index)
            l_top += l_store["k1"]->NewItem(std::to_string(l_index));
        ItemPtr l_link = l_store["k1"]->HasItem("0");
        for (int l_type = 2; l_type <= chain; ++l_type)
        {
            ItemPtr l_next = l_store["k" + std::to_string(l_type)]->NewItem("n");
            l_link += l_next;
            l_link = l_next;
        }
        auto* lp_list = l_page.findChild<QListWidget*>(u"itemList"_s);
        auto* lp_tree = l_page.findChild<QTreeWidget*>(u"itemDataTree"_s);
        emit lp_list->itemClicked(lp_list->item(0));
        int l_rows = 0;
        int l_depth = 0;
        for (QTreeWidgetItemIterator l_it(lp_tree); *l_it; ++l_it)
        {
            ++l_rows;
            l_depth = std::max(l_depth, Depth(*l_it));
        }
        QCOMPARE(l_rows, rows);
        QCOMPARE(l_depth, depth);
    }

    void navigatorBoxes_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QStringList>("to");
        QTest::newRow("chain of three") << u"nx"_s << QStringList{u"ny"_s, u"nz"_s};
        // c7 lies seven relations away.
        QTest::newRow("chain of eight")
            << u"c0"_s << QStringList{u"c1"_s, u"c2"_s, u"c3"_s, u"c4"_s, u"c5"_s, u"c6"_s};
        QTest::newRow("unrelated") << u"cs"_s << QStringList();
    }

    void navigatorBoxes()
    {
        QFETCH(QString, from);
        QFETCH(QStringList, to);
        TypeNavigatorDialog l_dialog;
        l_dialog.Init();
        auto* lp_from = l_dialog.findChild<QComboBox*>(u"fromTypeBox"_s);
        auto* lp_to = l_dialog.findChild<QComboBox*>(u"toTypeBox"_s);
        QCOMPARE(lp_from->count(), qsizetype(d.Types().size()));
        QCOMPARE(lp_from->itemText(0), u"<i>m</i>"_s);
        lp_from->setCurrentText(from);
        QStringList l_offered;
        for (int l_index = 0; l_index < lp_to->count(); ++l_index)
            l_offered.append(lp_to->itemText(l_index));
        QCOMPARE(l_offered, to);
        if (to.isEmpty())
            QVERIFY(l_dialog.findChild<QTextBrowser*>(u"chartEdit"_s)->toPlainText().isEmpty());
    }

    void navigatorPaths_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QList<bool>>("green");
        QTest::newRow("one step") << u"nx"_s << u"ny"_s << QStringList{u"[2] nx -> ny"_s}
                                  << QList<bool>{true};
        QTest::newRow("chain of three")
            << u"nx"_s << u"nz"_s << QStringList{u"[3] nx -> ny => nz"_s} << QList<bool>{false};
        QTest::newRow("shortest first")
            << u"pa"_s << u"pc"_s
            << QStringList{u"[3] pa -> pb1 -> pc"_s, u"[3] pa -> pb2 -> pc"_s,
                           u"[4] pa -> pd1 -> pd2 -> pc"_s}
            << QList<bool>{true, true, true};
        QTest::newRow("null type")
            << u"np"_s << u"nq"_s << QStringList{u"[3] np -> nn [null] -> nq"_s}
            << QList<bool>{true};
        QTest::newRow("seven types")
            << u"c0"_s << u"c6"_s << QStringList{u"[7] c0 -> c1 -> c2 -> c3 -> c4 -> c5 -> c6"_s}
            << QList<bool>{true};
        QTest::newRow("markup in names")
            << u"<i>m</i>"_s << u"k&amp;"_s << QStringList{u"[2] <i>m</i> -> k&amp;"_s}
            << QList<bool>{true};
    }

    void navigatorPaths()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QStringList, lines);
        QFETCH(QList<bool>, green);
        TypeNavigatorDialog l_dialog;
        l_dialog.Init();
        l_dialog.findChild<QComboBox*>(u"fromTypeBox"_s)->setCurrentText(from);
        l_dialog.findChild<QComboBox*>(u"toTypeBox"_s)->setCurrentText(to);
        auto* lp_chart = l_dialog.findChild<QTextBrowser*>(u"chartEdit"_s);
        QCOMPARE(lp_chart->toPlainText().split(u'\n'), lines);
        QCOMPARE(lp_chart->openLinks(), false);
        QVERIFY(!HasAnchor(lp_chart));
        QList<bool> l_green;
        for (QTextBlock l_block = lp_chart->document()->begin(); l_block.isValid();
             l_block = l_block.next())
        {
            const QTextCharFormat l_format = l_block.begin().fragment().charFormat();
            l_green.append(l_format.foreground().color() == QColor(u"green"_s) &&
                           l_format.fontWeight() == QFont::Bold);
        }
        QCOMPARE(l_green, green);
    }

    // Paths through more types are never listed, even where a shorter one exists.
    void navigatorLongPaths()
    {
        Relate("c0", "cs", Many, One);
        Relate("cs", "c7", Many, One);
        TypeNavigatorDialog l_dialog;
        l_dialog.FindPath("c0", "c7");
        QCOMPARE(l_dialog.Paths().size(), std::size_t(1));
        QCOMPARE(l_dialog.Paths().front(), (TypeNavigatorDialog::Path{"c0", "cs", "c7"}));
        std::set<std::string> l_related;
        l_dialog.GetRelatedTypes("c1", l_related, 1);
        QVERIFY(l_related.contains("c7"));
        QVERIFY(l_related.contains("c1"));
    }

    void navigatorPathCap()
    {
        TypeNavigatorDialog l_dialog;
        l_dialog.FindPath("fs", "ft");
        QCOMPARE(l_dialog.Paths().size(), std::size_t(TypeNavigatorDialog::maxPaths));
        for (const TypeNavigatorDialog::Path& l_path : l_dialog.Paths())
            QCOMPARE(l_path.size(), std::size_t(5));
        QCOMPARE(l_dialog.Paths().front(),
                 (TypeNavigatorDialog::Path{"fs", "f0_0", "f1_0", "f2_0", "ft"}));
    }

    void itemLogOpening()
    {
        ItemPtr l_subject = d["subject"]->GetItem("alice");
        AddEntry(l_subject, "2", "B", "2", "second");
        AddEntry(l_subject, "1", "A", "1", "first");
        AddEntry(l_subject, "3", "A", "1", "third");
        auto* lp_dialog = new ItemLogDialog(l_subject);
        QPointer<ItemLogDialog> l_guard(lp_dialog);
        auto* lp_tabs = lp_dialog->findChild<QTabWidget*>(u"logTabWidget"_s);
        QCOMPARE(Tabs(lp_tabs), (QStringList{u"All"_s, u"A"_s, u"B"_s}));
        QCOMPARE(PageText(lp_tabs, 0), u"[t1] first\n[t2]    second\n[t3] third"_s);
        QCOMPARE(PageText(lp_tabs, 1), u"[t1] first\n[t3] third"_s);
        QCOMPARE(PageText(lp_tabs, 2), u"[t2]    second"_s);
        // Later entries go at the end, whatever their order; a new area adds a tab.
        AddEntry(l_subject, "0", "C", "3", "later");
        AddEntry(l_subject, "0", "A", "1", "again");
        AddEntry(d["subject"]->GetItem("bob"), "9", "D", "1", "elsewhere");
        QCOMPARE(Tabs(lp_tabs), (QStringList{u"All"_s, u"A"_s, u"B"_s, u"C"_s}));
        QVERIFY(PageText(lp_tabs, 0).endsWith(u"[t0]       later\n[t0] again"_s));
        QCOMPARE(PageText(lp_tabs, 3), u"[t0]       later"_s);
        QVERIFY(!ViewHarness::Snapshot(lp_dialog, u"item-log"_s).isEmpty());
        lp_dialog->close();
        QTRY_VERIFY(l_guard.isNull());
        AddEntry(l_subject, "4", "A", "1", "closed");
    }

    void itemLogText_data()
    {
        QTest::addColumn<QString>("area");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("tabs");
        QTest::addColumn<QString>("all");
        QTest::newRow("markup") << u"<b>A</b>"_s
                                << u"<b>x</b> <a href=\"http://example.com/\">l</a> &amp;"_s
                                << QStringList{u"All"_s, u"<b>A</b>"_s}
                                << u"[t] <b>x</b> <a href=\"http://example.com/\">l</a> &amp;"_s;
        QTest::newRow("link") << u"A"_s << u"see http://example.com/ now"_s
                              << QStringList{u"All"_s, u"A"_s}
                              << u"[t] see http://example.com/ now"_s;
        QTest::newRow("ampersand area")
            << u"A&B"_s << u"x"_s << QStringList{u"All"_s, u"A&&B"_s} << u"[t] x"_s;
        QTest::newRow("area All") << u"All"_s << u"x"_s << QStringList{u"All"_s}
                                  << u"[t] x\n[t] x"_s;
        QTest::newRow("breaks and hidden characters")
            << u"A"_s << u"a\u2029[t] forged\u202E \u200Bx"_s << QStringList{u"All"_s, u"A"_s}
            << u"[t] a<U+2029>[t] forged<U+202E> <U+200B>x"_s;
    }

    // A line keeps its time stamp first whatever the first letter of its text.
    void itemLogLinesRunLeftToRight_data() { ViewHarness::AddRightToLeftNameRows(); }
    void itemLogLinesRunLeftToRight()
    {
        QFETCH(QString, name);
        QFETCH(QString, shown);
        ItemPtr l_subject = d["subject"]->NewItem(QTest::currentDataTag());
        ItemLogDialog l_dialog(l_subject);
        AddEntry(l_subject, "1", "A", "1", name.toStdString(), "1");
        for (QTextBrowser* lp_page : l_dialog.findChildren<QTextBrowser*>())
            QCOMPARE(ViewHarness::DrawnOrder(lp_page, {u"[1]"_s, shown}),
                     (QStringList{u"[1]"_s, shown}));
    }

    void itemLogText()
    {
        QFETCH(QString, area);
        QFETCH(QString, text);
        QFETCH(QStringList, tabs);
        QFETCH(QString, all);
        ItemPtr l_subject = d["subject"]->NewItem(QTest::currentDataTag());
        ItemLogDialog l_dialog(l_subject);
        AddEntry(l_subject, "1", area.toUtf8().toStdString(), "1", text.toUtf8().toStdString(),
                 "t");
        auto* lp_tabs = l_dialog.findChild<QTabWidget*>(u"logTabWidget"_s);
        QCOMPARE(Tabs(lp_tabs), tabs);
        QCOMPARE(PageText(lp_tabs, 0), all);
        for (QTextBrowser* lp_page : l_dialog.findChildren<QTextBrowser*>())
            QVERIFY(!HasAnchor(lp_page) && !lp_page->openLinks());
    }

    // A line that wraps draws its continuation lines indented at every width, on the page of
    // its area and the page of all: no text wrapped to a line's start passes for a line of its
    // own.
    void itemLogWrappedLinesIndented()
    {
        ItemPtr l_subject = d["subject"]->NewItem("wrapped");
        ItemLogDialog l_dialog(l_subject);
        AddEntry(l_subject, "1", "A", "1",
                 QString(u"filler "_s.repeated(60) + u"[t] forged"_s).toStdString(), "t");
        const QList<QTextBrowser*> l_pages = l_dialog.findChildren<QTextBrowser*>();
        QCOMPARE(l_pages.size(), 2);
        for (QTextBrowser* lp_page : l_pages)
            for (const int l_width : {300, 900})
            {
                const QList<qreal> l_indents = ContinuationIndents(lp_page, l_width);
                QVERIFY(!l_indents.isEmpty());
                QVERIFY(*std::min_element(l_indents.cbegin(), l_indents.cend()) > 0);
            }
    }

    void itemLogDates()
    {
        ItemPtr l_subject = d["subject"]->GetItem("dates");
        ItemPtr l_early = AddEntry(l_subject, "1", "A", "1", "x", "Mon May 2 14:05:09 2011");
        ItemPtr l_late = AddEntry(l_subject, "2", "A", "1", "y", "Tue May 3 04:05:06 2011");
        QVERIFY(ItemLogDialog::CompareLogItemDates(l_early, l_late));
        QVERIFY(!ItemLogDialog::CompareLogItemDates(l_late, l_early));
    }

    void snapshots()
    {
        SelectType(u"user"_s);
        ClickItem(u"alice"_s);
        FindRow(Tree(), u"[country_code] DE"_s)->setExpanded(true);
        QVERIFY(!ViewHarness::Snapshot(Browser(), u"store-browser"_s).isEmpty());
        TypeNavigatorDialog l_navigator;
        l_navigator.Init();
        l_navigator.findChild<QComboBox*>(u"fromTypeBox"_s)->setCurrentText(u"pa"_s);
        l_navigator.findChild<QComboBox*>(u"toTypeBox"_s)->setCurrentText(u"pc"_s);
        QVERIFY(!ViewHarness::Snapshot(&l_navigator, u"type-navigator"_s).isEmpty());
        DataTabPage l_page((*mp_store)["user"]);
        (*mp_store)["user"]->NewItem("dave");
        ItemPtr((*mp_store)["user"]->HasItem("dave")) += (*mp_store)["country_code"]->GetItem("FR");
        auto* lp_list = l_page.findChild<QListWidget*>(u"itemList"_s);
        emit lp_list->itemClicked(lp_list->item(0));
        QVERIFY(!ViewHarness::Snapshot(&l_page, u"type-page"_s).isEmpty());
    }

private:
    DataDialog* Browser()
    {
        if (!mp_dialog)
            mp_dialog = new DataDialog(mp_store.get());
        return mp_dialog;
    }
    QListWidget* List() { return Browser()->findChild<QListWidget*>(u"itemList"_s); }
    QTreeWidget* Tree() { return Browser()->findChild<QTreeWidget*>(u"itemDataTree"_s); }
    QTreeWidgetItem* TypeRow(const QString& i_type)
    {
        const QList<QTreeWidgetItem*> l_rows =
            Browser()->findChild<QTreeWidget*>(u"typeList"_s)->findItems(i_type, Qt::MatchExactly);
        return l_rows.isEmpty() ? nullptr : l_rows.first();
    }
    void SelectType(const QString& i_type)
    {
        Browser()->findChild<QTreeWidget*>(u"typeList"_s)->setCurrentItem(TypeRow(i_type));
    }
    void ClickItem(const QString& i_value)
    {
        const QList<QListWidgetItem*> l_rows = List()->findItems(i_value, Qt::MatchExactly);
        QCOMPARE(l_rows.size(), 1);
        emit List()->itemClicked(l_rows.first());
    }
    // An entry: connected to its attributes first, then to the item it is about.
    static ItemPtr AddEntry(ItemPtr i_subject, const std::string& i_order,
                            const std::string& i_area, const std::string& i_level,
                            const std::string& i_text, std::string i_time = {})
    {
        ItemPtr l_entry = d["item_log"]->NewItem();
        if (i_time.empty())
            i_time = "t" + i_order;
        const std::pair<const char*, std::string> l_attributes[] = {{"log_time", i_time},
                                                                    {"log_area", i_area},
                                                                    {"log_level", i_level},
                                                                    {"log_text", i_text},
                                                                    {"log_order", i_order}};
        for (const auto& [lp_type, l_value] : l_attributes)
            l_entry += d[lp_type]->GetItem(l_value);
        l_entry += i_subject;
        return l_entry;
    }

    std::unique_ptr<Data> mp_store;
    QPointer<DataDialog> mp_dialog;
};

VIEW_TEST_MAIN(TestStoreBrowser)
#include "tst_storebrowser.moc"
