#include "Data.h"
#include "DataSaver.h"
#include "ResizableWindow.h"
#include "SizeManager.h"

#include <QHeaderView>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

namespace
{
// A window that reports its moves as the main window's proxy does.
struct FakeWindow : ResizableWindow
{
    QList<int> m_geometry;
    explicit FakeWindow(QList<int> i_geometry) : m_geometry(i_geometry) {}
    int GetX() override { return m_geometry[0]; }
    int GetY() override { return m_geometry[1]; }
    int GetWidth() override { return m_geometry[2]; }
    int GetHeight() override { return m_geometry[3]; }
    void SetPosition(int i_x, int i_y) override
    {
        m_geometry = {i_x, i_y, GetWidth(), GetHeight()};
    }
    void SetSize(int i_width, int i_height) override
    {
        m_geometry = {GetX(), GetY(), i_width, i_height};
    }
};

// Two panes with handles dragged as the user drags them.
struct Splitter : QSplitter
{
    Splitter()
    {
        addWidget(new QWidget);
        addWidget(new QWidget);
        setHandleWidth(5);
        resize(205, 50);
        show();
    }
    void Drag(int i_position) { moveSplitter(i_position, 1); }
};

std::unique_ptr<QTreeWidget> NewTree()
{
    auto lp_tree = std::make_unique<QTreeWidget>();
    lp_tree->setColumnCount(3);
    lp_tree->show();
    return lp_tree;
}

QList<int> Widths(QTreeWidget& i_tree)
{
    return {i_tree.header()->sectionSize(0), i_tree.header()->sectionSize(1)};
}

// The record's values: a window's four, or the sizes of its panes or columns in order.
QList<int> Stored(const char* ip_type, const char* ip_name)
{
    ItemPtr l_record = d.GetType(ip_type)->HasItem(ip_name);
    QList<int> l_values;
    if (std::string_view(ip_type) == "sizer_window")
    {
        for (const char* lp_value : {"sizer_x", "sizer_y", "sizer_width", "sizer_height"})
            l_values.append(l_record[lp_value].AsInt());
        return l_values;
    }
    const bool l_tree = std::string_view(ip_type) == "sizer_tree";
    for (Item* lp_part :
         l_record.GetItems(l_tree ? "sizer_tree_column" : "sizer_splitter_index")
             .SortNumericBy(l_tree ? "sizer_tree_column_number" : "sizer_splitter_index_number",
                            true))
        l_values.append(ItemPtr(lp_part)["sizer_size"].AsInt());
    return l_values;
}

std::size_t Count(const char* ip_type)
{
    return d.GetType(ip_type)->ItemCount();
}
} // namespace

class TestSizeManager : public QObject
{
    Q_OBJECT

    DataSaver m_saver;
    SizeManager m_sizes;

private slots:
    void cleanup() { d.RemoveAllItems(); }

    // Equal values share an item, one that nothing uses any more goes at once; an incomplete
    // record from a damaged file is completed from the window; a destroyed window is forgotten.
    void windowGeometry()
    {
        auto lp_first = std::make_unique<FakeWindow>(QList<int>{10, 20, 300, 200});
        m_sizes.RegisterResizableWindow(QStringLiteral("main_window"), lp_first.get());
        FakeWindow l_other({77, 88, 300, 200});
        m_sizes.RegisterResizableWindow(QStringLiteral("other"), &l_other);
        emit lp_first->WindowMoved(77, 21);
        emit lp_first->WindowResized(640, 480);
        QCOMPARE(Stored("sizer_window", "main_window"), (QList<int>{77, 21, 640, 480}));
        QVERIFY(!d.GetType("sizer_x")->HasItem(10) && !d.GetType("sizer_y")->HasItem(20));
        emit lp_first->WindowMoved(5, 21);
        QCOMPARE(Count("sizer_x"), std::size_t(2));
        lp_first.reset();
        QCOMPARE(Count("sizer_window_widget"), std::size_t(1));

        FakeWindow l_next({0, 0, 1, 1});
        m_sizes.RegisterResizableWindow(QStringLiteral("main_window"), &l_next);
        QCOMPARE(l_next.m_geometry, (QList<int>{5, 21, 640, 480}));

        ItemPtr(d.GetType("sizer_window")->GetItem("damaged")) += d.GetType("sizer_x")->GetItem(40);
        FakeWindow l_damaged({1, 2, 3, 4});
        m_sizes.RegisterResizableWindow(QStringLiteral("damaged"), &l_damaged);
        QCOMPARE(l_damaged.m_geometry, (QList<int>{40, 2, 3, 4}));
    }

    // Defaults are stored for the next splitter of the name; splitters of a name follow one
    // another until destroyed; two panes of one number from a damaged file do no harm.
    void splitterPanes()
    {
        Splitter l_first;
        const QList<int> l_own = l_first.sizes();
        m_sizes.RegisterSplitter(QStringLiteral("room_splitter"), &l_first, {120, 80});
        QCOMPARE(l_first.sizes(), l_own);
        auto lp_second = std::make_unique<Splitter>();
        m_sizes.RegisterSplitter(QStringLiteral("room_splitter"), lp_second.get(), {});
        QCOMPARE(lp_second->sizes(), (QList<int>{120, 80}));

        l_first.Drag(60);
        QCOMPARE(lp_second->sizes(), (QList<int>{60, 140}));
        QCOMPARE(Stored("sizer_splitter", "room_splitter"), (QList<int>{60, 140}));
        QVERIFY(!d.GetType("sizer_size")->HasItem(120));
        lp_second.reset();
        QCOMPARE(Count("sizer_splitter_widget"), std::size_t(1));

        ItemPtr l_extra = d.GetType("sizer_splitter_index")->NewItem();
        l_extra += d.GetType("sizer_splitter")->GetItem("room_splitter");
        l_extra += d.GetType("sizer_splitter_index_number")->GetItem(0);
        l_first.Drag(90);
        QCOMPARE(Stored("sizer_splitter", "room_splitter").last(), 110);

        Splitter l_plain;
        m_sizes.RegisterSplitter(QStringLiteral("wish_list_splitter"), &l_plain, {});
        QCOMPARE(Stored("sizer_splitter", "wish_list_splitter"), l_plain.sizes());
    }

    // Columns of a name follow one another; a stretched last column is never stored.
    void treeColumns()
    {
        auto lp_first = NewTree();
        lp_first->header()->resizeSection(0, 111);
        m_sizes.RegisterTreeWidget(QStringLiteral("room_user_list"), lp_first.get());
        auto lp_second = NewTree();
        auto lp_third = NewTree();
        m_sizes.RegisterTreeWidget(QStringLiteral("room_user_list"), lp_second.get());
        m_sizes.RegisterTreeWidget(QStringLiteral("room_user_list"), lp_third.get());
        QCOMPARE(Widths(*lp_second), Widths(*lp_first));

        lp_second->header()->resizeSection(1, 66);
        QCOMPARE(Widths(*lp_first), (QList<int>{111, 66}));
        QCOMPARE(Widths(*lp_third), (QList<int>{111, 66}));
        QCOMPARE(Stored("sizer_tree", "room_user_list"), (QList<int>{111, 66}));
        lp_third.reset();
        QCOMPARE(Count("sizer_tree_widget"), std::size_t(2));

        lp_first->header()->setStretchLastSection(false);
        m_sizes.RegisterTreeWidget(QStringLiteral("download_list"), lp_first.get());
        QCOMPARE(Stored("sizer_tree", "download_list").size(), 3);
    }

    // The records survive the data file; the live widgets do not.
    void recordsSurviveTheDataFile()
    {
        QTemporaryDir l_folder;
        const QString l_path = l_folder.filePath(QStringLiteral("data"));
        {
            FakeWindow l_window({1, 2, 3, 4});
            m_sizes.RegisterResizableWindow(QStringLiteral("main_window"), &l_window);
            Splitter l_splitter;
            m_sizes.RegisterSplitter(QStringLiteral("room_splitter"), &l_splitter, {150, 50});
            m_sizes.RegisterTreeWidget(QStringLiteral("user_list"), NewTree().get());
            m_saver.Save(l_path);
        }
        d.RemoveAllItems();
        m_saver.Load(l_path);
        QCOMPARE(Stored("sizer_window", "main_window"), (QList<int>{1, 2, 3, 4}));
        QCOMPARE(Stored("sizer_splitter", "room_splitter"), (QList<int>{150, 50}));
        QCOMPARE(Stored("sizer_tree", "user_list").size(), 2);
    }
};

QTEST_MAIN(TestSizeManager)
#include "tst_sizemanager.moc"
