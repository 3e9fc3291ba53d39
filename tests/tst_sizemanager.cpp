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
// A window that reports its moves and resizes as the main window's proxy does.
class FakeWindow : public ResizableWindow
{
public:
    FakeWindow(int i_x, int i_y, int i_width, int i_height)
        : m_x(i_x), m_y(i_y), m_width(i_width), m_height(i_height)
    {
    }
    int GetX() override { return m_x; }
    int GetY() override { return m_y; }
    int GetWidth() override { return m_width; }
    int GetHeight() override { return m_height; }
    void SetPosition(int i_x, int i_y) override
    {
        m_x = i_x;
        m_y = i_y;
    }
    void SetSize(int i_width, int i_height) override
    {
        m_width = i_width;
        m_height = i_height;
    }
    void Move(int i_x, int i_y)
    {
        SetPosition(i_x, i_y);
        emit WindowMoved(i_x, i_y);
    }
    void Resize(int i_width, int i_height)
    {
        SetSize(i_width, i_height);
        emit WindowResized(i_width, i_height);
    }
    QList<int> Geometry() const { return {m_x, m_y, m_width, m_height}; }

private:
    int m_x, m_y, m_width, m_height;
};

// Drags a handle as the user does.
class Splitter : public QSplitter
{
public:
    Splitter()
    {
        for (int l_pane = 0; l_pane < 2; ++l_pane)
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
    lp_tree->resize(400, 100);
    lp_tree->show();
    return lp_tree;
}

QList<int> Widths(QTreeWidget& i_tree)
{
    return {i_tree.header()->sectionSize(0), i_tree.header()->sectionSize(1)};
}

// The stored values of a record's parts (panes or columns), in number order.
QList<int> Stored(const char* ip_recordType, const char* ip_name, const char* ip_partType,
                  const char* ip_numberType)
{
    QList<int> l_sizes;
    ItemPtr l_record = d.GetType(ip_recordType)->HasItem(ip_name);
    for (Item* lp_part : l_record.GetItems(ip_partType).SortNumericBy(ip_numberType, true))
        l_sizes.append(ItemPtr(lp_part)["sizer_size"].AsInt());
    return l_sizes;
}

QList<int> StoredPanes(const char* ip_name)
{
    return Stored("sizer_splitter", ip_name, "sizer_splitter_index", "sizer_splitter_index_number");
}

QList<int> StoredColumns(const char* ip_name)
{
    return Stored("sizer_tree", ip_name, "sizer_tree_column", "sizer_tree_column_number");
}

QList<int> StoredWindow(const char* ip_name)
{
    ItemPtr l_record = d.GetType("sizer_window")->HasItem(ip_name);
    return {l_record["sizer_x"].AsInt(), l_record["sizer_y"].AsInt(),
            l_record["sizer_width"].AsInt(), l_record["sizer_height"].AsInt()};
}

bool Exists(const char* ip_type, int i_value)
{
    return d.GetType(ip_type)->HasItem(i_value);
}
} // namespace

class TestSizeManager : public QObject
{
    Q_OBJECT

    DataSaver m_saver;
    SizeManager m_sizes;

private slots:
    void cleanup() { d.RemoveAllItems(); }

    // The first registration stores the window, later ones place it; equal values share an
    // item, and a value that nothing uses any more is removed at once.
    void windowGeometryIsStoredAndApplied()
    {
        FakeWindow l_first(10, 20, 300, 200);
        m_sizes.RegisterResizableWindow(QStringLiteral("main_window"), &l_first);
        QCOMPARE(StoredWindow("main_window"), (QList<int>{10, 20, 300, 200}));

        FakeWindow l_other(77, 88, 300, 200);
        m_sizes.RegisterResizableWindow(QStringLiteral("other"), &l_other);
        l_first.Move(77, 21);
        l_first.Resize(640, 480);
        QCOMPARE(StoredWindow("main_window"), (QList<int>{77, 21, 640, 480}));
        QVERIFY(!Exists("sizer_x", 10));
        QVERIFY(!Exists("sizer_y", 20));
        QVERIFY(Exists("sizer_width", 300));
        l_first.Move(5, 21);
        QVERIFY(Exists("sizer_x", 77));
        QCOMPARE(d.GetType("sizer_x")->ItemCount(), std::size_t(2));

        FakeWindow l_next(0, 0, 1, 1);
        m_sizes.RegisterResizableWindow(QStringLiteral("main_window"), &l_next);
        QCOMPARE(l_next.Geometry(), (QList<int>{5, 21, 640, 480}));
    }

    // The record survives the data file; the live windows do not.
    void geometrySurvivesTheDataFile()
    {
        QTemporaryDir l_folder;
        const QString l_path = l_folder.filePath(QStringLiteral("data"));
        {
            FakeWindow l_window(1, 2, 3, 4);
            m_sizes.RegisterResizableWindow(QStringLiteral("main_window"), &l_window);
            Splitter l_splitter;
            m_sizes.RegisterSplitter(QStringLiteral("room_splitter"), &l_splitter, {150, 50});
            auto lp_tree = NewTree();
            m_sizes.RegisterTreeWidget(QStringLiteral("room_user_list"), lp_tree.get());
            m_saver.Save(l_path);
        }
        d.RemoveAllItems();
        m_saver.Load(l_path);
        QCOMPARE(StoredWindow("main_window"), (QList<int>{1, 2, 3, 4}));
        QCOMPARE(StoredPanes("room_splitter"), (QList<int>{150, 50}));
        QCOMPARE(StoredColumns("room_user_list").size(), 2);
        QCOMPARE(d.GetType("sizer_window_widget")->ItemCount(), std::size_t(0));
    }

    // A destroyed window is forgotten, so that another object at its address is not taken for it.
    void destroyedWindowIsForgotten()
    {
        auto lp_window = std::make_unique<FakeWindow>(1, 2, 3, 4);
        m_sizes.RegisterResizableWindow(QStringLiteral("main_window"), lp_window.get());
        QCOMPARE(d.GetType("sizer_window_widget")->ItemCount(), std::size_t(1));
        lp_window.reset();
        QCOMPARE(d.GetType("sizer_window_widget")->ItemCount(), std::size_t(0));
        QCOMPARE(StoredWindow("main_window"), (QList<int>{1, 2, 3, 4}));
    }

    // A record from a damaged data file lacking values: the window keeps its own for those.
    void incompleteWindowRecordKeepsTheWindowsOwnValues()
    {
        ItemPtr l_record = d.GetType("sizer_window")->GetItem("main_window");
        l_record += d.GetType("sizer_x")->GetItem(40);
        FakeWindow l_window(1, 2, 300, 200);
        m_sizes.RegisterResizableWindow(QStringLiteral("main_window"), &l_window);
        QCOMPARE(l_window.Geometry(), (QList<int>{40, 2, 300, 200}));
        QCOMPARE(StoredWindow("main_window"), (QList<int>{40, 2, 300, 200}));
    }

    void splitterDefaultsMirroringAndDestruction()
    {
        Splitter l_first;
        const QList<int> l_own = l_first.sizes();
        m_sizes.RegisterSplitter(QStringLiteral("room_splitter"), &l_first, {120, 80});
        QCOMPARE(l_first.sizes(), l_own);
        QCOMPARE(StoredPanes("room_splitter"), (QList<int>{120, 80}));

        auto lp_second = std::make_unique<Splitter>();
        m_sizes.RegisterSplitter(QStringLiteral("room_splitter"), lp_second.get(), {});
        QCOMPARE(lp_second->sizes(), (QList<int>{120, 80}));

        l_first.Drag(60);
        QCOMPARE(l_first.sizes(), (QList<int>{60, 140}));
        QCOMPARE(lp_second->sizes(), (QList<int>{60, 140}));
        QCOMPARE(StoredPanes("room_splitter"), (QList<int>{60, 140}));
        QVERIFY(!Exists("sizer_size", 120));

        lp_second.reset();
        QCOMPARE(d.GetType("sizer_splitter_widget")->ItemCount(), std::size_t(1));
        l_first.Drag(90);
        QCOMPARE(StoredPanes("room_splitter"), (QList<int>{90, 110}));

        Splitter l_own2;
        m_sizes.RegisterSplitter(QStringLiteral("wish_list_splitter"), &l_own2, {});
        QCOMPARE(StoredPanes("wish_list_splitter"), l_own2.sizes());
    }

    // Two panes of one number, as a damaged data file may hold: the first serves, no crash.
    void duplicatePanesFromTheDataFile()
    {
        Splitter l_splitter;
        ItemPtr l_record = d.GetType("sizer_splitter")->GetItem("room_splitter");
        for (int l_copy = 0; l_copy < 2; ++l_copy)
        {
            ItemPtr l_pane = d.GetType("sizer_splitter_index")->NewItem();
            l_pane += l_record;
            l_pane += d.GetType("sizer_splitter_index_number")->GetItem(0);
            l_pane += d.GetType("sizer_size")->GetItem(70);
        }
        m_sizes.RegisterSplitter(QStringLiteral("room_splitter"), &l_splitter, {});
        l_splitter.Drag(50);
        QCOMPARE(StoredPanes("room_splitter").first(), 50);
    }

    // Columns of one name follow one another; a stretched last column is never stored.
    void treeColumnsMirrorAndSkipTheStretchedLast()
    {
        auto lp_first = NewTree();
        lp_first->header()->resizeSection(0, 111);
        m_sizes.RegisterTreeWidget(QStringLiteral("room_user_list"), lp_first.get());
        QCOMPARE(StoredColumns("room_user_list"),
                 (QList<int>{111, lp_first->header()->sectionSize(1)}));

        auto lp_second = NewTree();
        auto lp_third = NewTree();
        m_sizes.RegisterTreeWidget(QStringLiteral("room_user_list"), lp_second.get());
        m_sizes.RegisterTreeWidget(QStringLiteral("room_user_list"), lp_third.get());
        QCOMPARE(Widths(*lp_second), Widths(*lp_first));

        lp_second->header()->resizeSection(1, 66);
        QCOMPARE(Widths(*lp_first), (QList<int>{111, 66}));
        QCOMPARE(Widths(*lp_third), (QList<int>{111, 66}));
        QCOMPARE(StoredColumns("room_user_list"), (QList<int>{111, 66}));

        lp_third.reset();
        QCOMPARE(d.GetType("sizer_tree_widget")->ItemCount(), std::size_t(2));
        lp_first->header()->resizeSection(0, 99);
        QCOMPARE(Widths(*lp_second), (QList<int>{99, 66}));

        auto lp_wide = NewTree();
        lp_wide->header()->setStretchLastSection(false);
        lp_wide->header()->resizeSection(2, 33);
        m_sizes.RegisterTreeWidget(QStringLiteral("download_list"), lp_wide.get());
        QCOMPARE(StoredColumns("download_list").size(), 3);
        QCOMPARE(StoredColumns("download_list").last(), 33);
    }
};

QTEST_MAIN(TestSizeManager)
#include "tst_sizemanager.moc"
