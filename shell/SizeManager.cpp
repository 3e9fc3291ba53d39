#include "SizeManager.h"

#include "Data.h"
#include "DataSaver.h"
#include "ResizableWindow.h"

#include <QHeaderView>
#include <QScopedValueRollback>
#include <QSplitter>
#include <QTreeWidget>

SizeManager* sizeManager = nullptr;

namespace
{
// Live widgets are named by their address as an object, the form their destroyed signal gives.
Value Address(QObject* ip_object)
{
    return Value(ip_object);
}

ItemPtr LiveItem(const char* ip_type, QObject* ip_object)
{
    return d.GetType(ip_type)->HasItem(Address(ip_object));
}

// The record no longer copies sizes to a destroyed widget; the record itself stays.
void ForgetLiveItem(const char* ip_type, QObject* ip_object)
{
    if (ItemPtr l_live = LiveItem(ip_type, ip_object))
        l_live.Remove();
}

// The other live widgets of the record; they are live, as destroyed ones are forgotten.
template <typename T> QList<T*> Siblings(ItemPtr i_record, ItemPtr i_live, const char* ip_liveType)
{
    QList<T*> l_siblings;
    for (Item* lp_other : i_record.GetItems(ip_liveType))
        if (lp_other != i_live)
            if (auto* lp_sibling = qobject_cast<T*>(lp_other->AsPtr<QObject>()))
                l_siblings.append(lp_sibling);
    return l_siblings;
}

// The columns that are remembered: all but a last one that stretches to the list's width.
int RememberedColumns(QHeaderView* ip_header)
{
    const int l_count = ip_header->count();
    return ip_header->stretchLastSection() && l_count > 0 ? l_count - 1 : l_count;
}

// The record's parts (panes or columns), ascending by number.
std::list<Item*> PartsInOrder(ItemPtr i_record, const char* ip_partType, const char* ip_numberType)
{
    return i_record.GetItems(ip_partType).SortNumericBy(ip_numberType, true);
}
} // namespace

SizeManager::SizeManager(QObject* ip_parent) : QObject(ip_parent)
{
    sizeManager = this;

    d.NewType("sizer_window", true, false, true);
    d.NewType("sizer_window_widget", true, false, true);
    d.NewType("sizer_x", false, false, true);
    d.NewType("sizer_y", false, false, true);
    d.NewType("sizer_width", false, false, true);
    d.NewType("sizer_height", false, false, true);
    d.NewType("sizer_size", false, false, true);
    d.NewType("sizer_tree", true, false, true);
    d.NewType("sizer_tree_widget", true, false, true);
    d.NewType("sizer_tree_column_number", false, false, true);
    d.NewType("sizer_tree_column", false, true, true);
    d.NewType("sizer_splitter", true, false, true);
    d.NewType("sizer_splitter_widget", true, false, true);
    d.NewType("sizer_splitter_index_number", false, false, true);
    d.NewType("sizer_splitter_index", false, true, true);

    // RelateToType(B, what each B holds, what each A holds, owns).
    Type* lp_window = d.GetType("sizer_window");
    lp_window->RelateToType("sizer_window_widget", One, One, false);
    lp_window->RelateToType("sizer_x", Many, One, false);
    lp_window->RelateToType("sizer_y", Many, One, false);
    lp_window->RelateToType("sizer_width", Many, One, false);
    lp_window->RelateToType("sizer_height", Many, One, false);
    d.GetType("sizer_tree")->RelateToType("sizer_tree_widget", One, Many, false);
    Type* lp_column = d.GetType("sizer_tree_column");
    lp_column->RelateToType("sizer_tree", Many, One, false);
    lp_column->RelateToType("sizer_tree_column_number", Many, One, false);
    lp_column->RelateToType("sizer_size", Many, One, false);
    d.GetType("sizer_splitter")->RelateToType("sizer_splitter_widget", One, Many, false);
    Type* lp_pane = d.GetType("sizer_splitter_index");
    lp_pane->RelateToType("sizer_splitter", Many, One, false);
    lp_pane->RelateToType("sizer_splitter_index_number", Many, One, false);
    lp_pane->RelateToType("sizer_size", Many, One, false);

    for (const char* lp_type :
         {"sizer_window", "sizer_tree", "sizer_tree_column_number", "sizer_tree_column",
          "sizer_splitter", "sizer_splitter_index_number", "sizer_splitter_index", "sizer_x",
          "sizer_y", "sizer_width", "sizer_height", "sizer_size"})
        dataSaver->AddSavedType(lp_type);
}

SizeManager::~SizeManager()
{
    if (sizeManager == this)
        sizeManager = nullptr;
}

void SizeManager::RegisterResizableWindow(QString i_name, ResizableWindow* ip_window)
{
    Type* lp_windows = d.GetType("sizer_window");
    ItemPtr l_record = lp_windows->HasItem(i_name);
    const bool l_known = l_record;
    if (!l_known)
        l_record = lp_windows->GetItem(i_name);

    // A record read from the data file may lack values: the window keeps its own for those.
    const std::pair<const char*, int> l_own[] = {{"sizer_x", ip_window->GetX()},
                                                 {"sizer_y", ip_window->GetY()},
                                                 {"sizer_width", ip_window->GetWidth()},
                                                 {"sizer_height", ip_window->GetHeight()}};
    for (const auto& [lp_type, l_value] : l_own)
        if (!l_record[lp_type])
            ReplaceValue(l_record, lp_type, l_value);
    if (l_known)
    {
        ip_window->SetPosition(l_record["sizer_x"].AsInt(), l_record["sizer_y"].AsInt());
        ip_window->SetSize(l_record["sizer_width"].AsInt(), l_record["sizer_height"].AsInt());
    }

    l_record += d.GetType("sizer_window_widget")->GetItem(Address(ip_window));
    connect(ip_window, &ResizableWindow::WindowMoved, this, &SizeManager::OnWindowMoved,
            Qt::UniqueConnection);
    connect(ip_window, &ResizableWindow::WindowResized, this, &SizeManager::OnWindowResized,
            Qt::UniqueConnection);
    connect(ip_window, &QObject::destroyed, this, &SizeManager::OnWindowDestroyed,
            Qt::UniqueConnection);
}

void SizeManager::RegisterSplitter(QString i_name, QSplitter* ip_splitter,
                                   QList<int> i_defaultSizes)
{
    Type* lp_splitters = d.GetType("sizer_splitter");
    ItemPtr l_record = lp_splitters->HasItem(i_name);
    if (!l_record)
    {
        l_record = lp_splitters->GetItem(i_name);
        const QList<int> l_sizes = i_defaultSizes.isEmpty() ? ip_splitter->sizes() : i_defaultSizes;
        for (int l_index = 0; l_index < l_sizes.size(); ++l_index)
            ReplaceValue(
                Part(l_record, "sizer_splitter_index", "sizer_splitter_index_number", l_index),
                "sizer_size", l_sizes[l_index]);
    }
    else
    {
        QList<int> l_sizes;
        for (Item* lp_pane :
             PartsInOrder(l_record, "sizer_splitter_index", "sizer_splitter_index_number"))
            l_sizes.append(ItemPtr(lp_pane)["sizer_size"].AsInt());
        ip_splitter->setSizes(l_sizes);
    }

    l_record += d.GetType("sizer_splitter_widget")->GetItem(Address(ip_splitter));
    connect(ip_splitter, &QSplitter::splitterMoved, this, &SizeManager::OnSplitterMoved,
            Qt::UniqueConnection);
    connect(ip_splitter, &QObject::destroyed, this, &SizeManager::OnSplitterDestroyed,
            Qt::UniqueConnection);
}

void SizeManager::RegisterTreeWidget(QString i_name, QTreeWidget* ip_tree)
{
    QHeaderView* lp_header = ip_tree->header();
    Type* lp_trees = d.GetType("sizer_tree");
    ItemPtr l_record = lp_trees->HasItem(i_name);
    if (!l_record)
    {
        l_record = lp_trees->GetItem(i_name);
        for (int l_column = 0; l_column < RememberedColumns(lp_header); ++l_column)
            ReplaceValue(Part(l_record, "sizer_tree_column", "sizer_tree_column_number", l_column),
                         "sizer_size", lp_header->sectionSize(l_column));
    }
    else
    {
        const bool l_stretches = lp_header->stretchLastSection();
        for (Item* lp_column :
             PartsInOrder(l_record, "sizer_tree_column", "sizer_tree_column_number"))
        {
            const int l_number = ItemPtr(lp_column)["sizer_tree_column_number"].AsInt();
            if (l_stretches && l_number == lp_header->count() - 1)
                continue;
            lp_header->resizeSection(l_number, ItemPtr(lp_column)["sizer_size"].AsInt());
        }
    }

    l_record += d.GetType("sizer_tree_widget")->GetItem(Address(ip_tree));
    connect(lp_header, &QHeaderView::sectionResized, this, &SizeManager::OnTreeColumnResizedMoved,
            Qt::UniqueConnection);
    connect(ip_tree, &QObject::destroyed, this, &SizeManager::OnTreeDestroyed,
            Qt::UniqueConnection);
}

void SizeManager::StoreSenderWindowValues(const char* ip_firstType, int i_first,
                                          const char* ip_secondType, int i_second)
{
    ItemPtr l_record = LiveItem("sizer_window_widget", sender())["sizer_window"];
    if (!l_record)
        return;
    ReplaceValue(l_record, ip_firstType, i_first);
    ReplaceValue(l_record, ip_secondType, i_second);
}

void SizeManager::OnWindowMoved(int i_x, int i_y)
{
    StoreSenderWindowValues("sizer_x", i_x, "sizer_y", i_y);
}

void SizeManager::OnWindowResized(int i_width, int i_height)
{
    StoreSenderWindowValues("sizer_width", i_width, "sizer_height", i_height);
}

void SizeManager::OnWindowDestroyed(QObject* ip_window)
{
    ForgetLiveItem("sizer_window_widget", ip_window);
}

void SizeManager::OnSplitterMoved(int, int)
{
    if (m_applying)
        return;
    auto* lp_splitter = qobject_cast<QSplitter*>(sender());
    if (!lp_splitter)
        return;
    ItemPtr l_live = LiveItem("sizer_splitter_widget", lp_splitter);
    ItemPtr l_record = l_live["sizer_splitter"];
    if (!l_record)
        return;

    const QList<int> l_sizes = lp_splitter->sizes();
    for (int l_index = 0; l_index < l_sizes.size(); ++l_index)
        ReplaceValue(Part(l_record, "sizer_splitter_index", "sizer_splitter_index_number", l_index),
                     "sizer_size", l_sizes[l_index]);

    QScopedValueRollback<bool> l_applying(m_applying, true);
    for (QSplitter* lp_sibling : Siblings<QSplitter>(l_record, l_live, "sizer_splitter_widget"))
        lp_sibling->setSizes(l_sizes);
}

void SizeManager::OnSplitterDestroyed(QObject* ip_splitter)
{
    ForgetLiveItem("sizer_splitter_widget", ip_splitter);
}

void SizeManager::OnTreeColumnResizedMoved(int, int, int)
{
    if (m_applying)
        return;
    auto* lp_header = qobject_cast<QHeaderView*>(sender());
    auto* lp_tree = lp_header ? qobject_cast<QTreeWidget*>(lp_header->parent()) : nullptr;
    if (!lp_tree)
        return;
    ItemPtr l_live = LiveItem("sizer_tree_widget", lp_tree);
    ItemPtr l_record = l_live["sizer_tree"];
    if (!l_record)
        return;

    const QList<QTreeWidget*> l_siblings =
        Siblings<QTreeWidget>(l_record, l_live, "sizer_tree_widget");
    QScopedValueRollback<bool> l_applying(m_applying, true);
    for (int l_column = 0; l_column < RememberedColumns(lp_header); ++l_column)
    {
        const int l_size = lp_header->sectionSize(l_column);
        ReplaceValue(Part(l_record, "sizer_tree_column", "sizer_tree_column_number", l_column),
                     "sizer_size", l_size);
        for (QTreeWidget* lp_sibling : l_siblings)
            lp_sibling->header()->resizeSection(l_column, l_size);
    }
}

void SizeManager::OnTreeDestroyed(QObject* ip_tree)
{
    ForgetLiveItem("sizer_tree_widget", ip_tree);
}

ItemPtr SizeManager::Part(ItemPtr i_record, const char* ip_partType, const char* ip_numberType,
                          int i_number)
{
    ItemPtr l_number = d.GetType(ip_numberType)->GetItem(i_number);
    // A data file may hold two parts of one number: the first serves.
    const ItemSet l_parts = d.GetItems(i_record, l_number, ip_partType);
    if (!l_parts.empty())
        return l_parts.front();
    ItemPtr l_part = d.GetType(ip_partType)->NewItem();
    l_part += i_record;
    l_part += l_number;
    return l_part;
}

void SizeManager::ReplaceValue(ItemPtr i_item, const char* ip_type, int i_value)
{
    ItemPtr l_old = i_item[ip_type];
    ItemPtr l_new = i_item += d.GetType(ip_type)->GetItem(i_value);
    if (l_old && l_old != l_new && l_old.IsDisconnectedFromAll())
        l_old.Remove();
}
