#include "DataDialog.h"

#include "CellToolTipDelegate.h"
#include "Data.h"
#include "StoreRowTexts.h"
#include "ui_DataDialog.h"

#include <QHeaderView>

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace
{
constexpr int typeListWidth = 300;
// An item's row text with its first code units packed into numbers that order as the text does:
// sorting a million of them rarely needs to read the texts themselves.
struct SortEntry
{
    static constexpr int packedUnits = 12;

    explicit SortEntry(Item* ip_item) : m_text(ValueText(ip_item)), mp_item(ip_item)
    {
        const qsizetype l_units = std::min<qsizetype>(m_text.size(), packedUnits);
        for (qsizetype l_unit = 0; l_unit < l_units; ++l_unit)
            m_prefix[l_unit / 4] |= std::uint64_t(m_text.at(l_unit).unicode())
                                    << (16 * (3 - l_unit % 4));
    }

    bool operator<(const SortEntry& i_other) const
    {
        if (m_prefix != i_other.m_prefix)
            return m_prefix < i_other.m_prefix;
        return m_text < i_other.m_text;
    }

    std::array<std::uint64_t, packedUnits / 4> m_prefix{};
    QString m_text;
    Item* mp_item;
};

enum TypeColumn
{
    NameColumn = 0,
    KindColumn = 1,
    CountColumn = 2,
    TypeColumnCount = 3
};
} // namespace

DataDialog::DataDialog(Data* ip_data, QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(std::make_unique<Ui_DataDialog>()), mp_data(ip_data)
{
    mp_ui->setupUi(this);
    for (QAbstractItemView* lp_view : {static_cast<QAbstractItemView*>(mp_ui->typeList),
                                       static_cast<QAbstractItemView*>(mp_ui->itemList),
                                       static_cast<QAbstractItemView*>(mp_ui->itemDataTree)})
        ShowCellTextsAsToolTips(lp_view);
    mp_ui->typeSplitter->setSizes({typeListWidth, width() - typeListWidth});
    mp_ui->typeSplitter->setStretchFactor(0, 0);
    mp_ui->typeSplitter->setStretchFactor(1, 1);
    QTreeWidget* lp_types = mp_ui->typeList;
    lp_types->setColumnCount(TypeColumnCount);
    lp_types->setHeaderLabels({tr("Type"), QString(), QStringLiteral("#")});
    lp_types->header()->setSectionResizeMode(QHeaderView::ResizeToContents);

    Data::TypeTable l_types;
    mp_data->GetTypes(l_types);
    QList<QTreeWidgetItem*> l_rows;
    l_rows.reserve(qsizetype(l_types.size()));
    for (const auto& [l_name, lp_type] : l_types)
    {
        auto* lp_row = new QTreeWidgetItem(
            {QString::fromUtf8(l_name),
             lp_type->IsNull() ? QStringLiteral("null   ") : QStringLiteral("value   "),
             QString::number(lp_type->ItemCount())});
        l_rows.append(lp_row);
        m_typeRows.emplace(lp_type, lp_row);
        m_rowTypes.emplace(lp_row, lp_type);
    }
    lp_types->addTopLevelItems(l_rows);
    lp_types->sortItems(NameColumn, Qt::AscendingOrder);

    // Stores hold a million items of one type: rows of one height spare the list from measuring
    // each.
    mp_ui->itemList->setUniformItemSizes(true);
    mp_ui->itemList->sortItems(Qt::AscendingOrder);
    mp_ui->itemList->setSortingEnabled(true);
    mp_ui->itemDataTree->setUniformRowHeights(true);
    setAttribute(Qt::WA_DeleteOnClose);

    connect(lp_types, &QTreeWidget::itemSelectionChanged, this,
            &DataDialog::OnTypeItemSelectionChanged);
    connect(mp_ui->itemList, &QListWidget::itemClicked, this, &DataDialog::OnItemClicked);
    connect(mp_ui->itemDataTree, &QTreeWidget::itemExpanded, this,
            &DataDialog::OnDataSubItemExpanded);

    mp_data->m_itemAddedEvent.AddHandler(
        new EventHandler<DataDialog, Item*>(this, &DataDialog::OnItemAdded));
    mp_data->m_itemRemovedEvent.AddHandler(
        new EventHandler<DataDialog, Item*>(this, &DataDialog::OnItemRemoved));
    mp_data->m_typeRemovedEvent.AddHandler(
        new EventHandler<DataDialog, Type*>(this, &DataDialog::OnTypeRemoved));
}

DataDialog::~DataDialog()
{
    RemoveDataHandlers();
}

void DataDialog::OnTypeItemSelectionChanged()
{
    const QList<QTreeWidgetItem*> l_selected = mp_ui->typeList->selectedItems();
    if (l_selected.isEmpty())
        return;
    mp_currentType = nullptr;
    ClearList();
    ClearTree();
    auto l_found = m_rowTypes.find(l_selected.first());
    if (l_found == m_rowTypes.end() || l_found->second->IsNull())
        return;
    mp_currentType = l_found->second;

    // Sorted here once, by the order the list keeps, and added in one go with sorting off: the
    // list would otherwise place each of a million rows on its own.
    const ItemSet& l_items = mp_currentType->Items();
    std::vector<SortEntry> l_sorted;
    l_sorted.reserve(l_items.size());
    for (Item* lp_item : l_items)
        l_sorted.emplace_back(lp_item);
    std::sort(l_sorted.begin(), l_sorted.end());
    QStringList l_texts;
    l_texts.reserve(qsizetype(l_sorted.size()));
    for (SortEntry& l_entry : l_sorted)
        l_texts.append(std::move(l_entry.m_text));

    QListWidget* lp_list = mp_ui->itemList;
    lp_list->setSortingEnabled(false);
    lp_list->addItems(l_texts);
    lp_list->setSortingEnabled(true);
    m_listItems.reserve(l_sorted.size());
    for (std::size_t l_row = 0; l_row < l_sorted.size(); ++l_row)
        m_listItems.emplace(lp_list->item(int(l_row)), l_sorted[l_row].mp_item);
}

void DataDialog::OnItemClicked(QListWidgetItem* ip_row)
{
    ClearTree();
    auto l_found = m_listItems.find(ip_row);
    if (l_found == m_listItems.end())
        return;
    mp_currentItem = l_found->second;
    auto* lp_top = new QTreeWidgetItem(mp_ui->itemDataTree, {ValueText(mp_currentItem)});
    AddItemSubnodes(mp_currentItem, lp_top, {mp_currentItem->GetType()});
    RecordTreeRow(lp_top, mp_currentItem);
}

void DataDialog::OnDataSubItemExpanded(QTreeWidgetItem* ip_row)
{
    // Only a row that holds nothing but the marker is still to be loaded.
    if (ip_row->childCount() != 1 || m_treeItems.contains(ip_row->child(0)))
        return;
    auto l_found = m_treeItems.find(ip_row);
    if (l_found == m_treeItems.end())
        return;
    delete ip_row->takeChild(0);
    Item* lp_item = l_found->second;
    AddItemSubnodes(lp_item, ip_row, {lp_item->GetType()});
    mp_ui->itemDataTree->setCurrentItem(ip_row);
}

void DataDialog::OnItemAdded(Item* ip_item)
{
    Type* lp_type = ip_item->GetType();
    if (!m_typeRows.contains(lp_type))
        return;
    ShowCount(lp_type);
    if (lp_type != mp_currentType)
        return;
    auto* lp_row = new QListWidgetItem(ValueText(ip_item));
    mp_ui->itemList->addItem(lp_row);
    m_listItems.emplace(lp_row, ip_item);
}

void DataDialog::OnItemRemoved(Item* ip_item)
{
    Type* lp_type = ip_item->GetType();
    if (!m_typeRows.contains(lp_type))
        return;
    ShowCount(lp_type);
    if (QListWidgetItem* lp_row = lp_type == mp_currentType ? ListRow(ip_item) : nullptr)
    {
        m_listItems.erase(lp_row);
        delete lp_row;
    }
    if (ip_item == mp_currentItem)
    {
        ClearTree();
        return;
    }
    for (auto l_rows = m_treeRows.find(ip_item); l_rows != m_treeRows.end();
         l_rows = m_treeRows.find(ip_item))
    {
        QTreeWidgetItem* lp_row = *l_rows->second.begin();
        ForgetTreeRows(lp_row);
        delete lp_row;
    }
}

void DataDialog::OnTypeRemoved(Type* ip_type)
{
    auto l_found = m_typeRows.find(ip_type);
    if (l_found == m_typeRows.end())
        return;
    if (ip_type == mp_currentType)
    {
        mp_currentType = nullptr;
        ClearList();
        ClearTree();
    }
    m_rowTypes.erase(l_found->second);
    delete l_found->second;
    m_typeRows.erase(l_found);
}

void DataDialog::AddItemSubnodes(Item* ip_item, QTreeWidgetItem* ip_parent,
                                 const TypeSet& i_leftOut)
{
    for (const Item::Connection& l_group : ip_item->Connections())
    {
        if (i_leftOut.contains(l_group.mp_type))
            continue;
        for (Item* lp_connected : l_group.m_items)
        {
            auto* lp_row = new QTreeWidgetItem(ip_parent, {ConnectedRowText(lp_connected)});
            if (!lp_connected->IsDisconnectedFromAll())
                new QTreeWidgetItem(lp_row, {unloadedRowText});
            RecordTreeRow(lp_row, lp_connected);
        }
        ip_parent->setExpanded(true);
    }
}

void DataDialog::ClearTree()
{
    mp_ui->itemDataTree->clear();
    m_treeRows.clear();
    m_treeItems.clear();
    mp_currentItem = nullptr;
}

void DataDialog::ClearList()
{
    mp_ui->itemList->clear();
    m_listItems.clear();
}

void DataDialog::RecordTreeRow(QTreeWidgetItem* ip_row, Item* ip_item)
{
    m_treeRows[ip_item].insert(ip_row);
    m_treeItems.emplace(ip_row, ip_item);
}

void DataDialog::ForgetTreeRows(QTreeWidgetItem* ip_row)
{
    std::vector<QTreeWidgetItem*> l_pending{ip_row};
    while (!l_pending.empty())
    {
        QTreeWidgetItem* lp_row = l_pending.back();
        l_pending.pop_back();
        for (int l_child = 0; l_child < lp_row->childCount(); ++l_child)
            l_pending.push_back(lp_row->child(l_child));
        auto l_found = m_treeItems.find(lp_row);
        if (l_found == m_treeItems.end())
            continue;
        auto l_rows = m_treeRows.find(l_found->second);
        l_rows->second.erase(lp_row);
        if (l_rows->second.empty())
            m_treeRows.erase(l_rows);
        m_treeItems.erase(l_found);
    }
}

void DataDialog::ShowCount(const Type* ip_type)
{
    m_typeRows.at(ip_type)->setText(CountColumn, QString::number(ip_type->ItemCount()));
}

QListWidgetItem* DataDialog::ListRow(const Item* ip_item) const
{
    const QListWidget* lp_list = mp_ui->itemList;
    const QString l_text = ValueText(ip_item);
    int l_first = 0;
    int l_count = lp_list->count();
    while (l_count > 0)
    {
        const int l_half = l_count / 2;
        if (lp_list->item(l_first + l_half)->text() < l_text)
        {
            l_first += l_half + 1;
            l_count -= l_half + 1;
        }
        else
            l_count = l_half;
    }
    // Values that are not UTF-8 may share a text: the row is the one that names this item.
    for (int l_row = l_first; l_row < lp_list->count() && lp_list->item(l_row)->text() == l_text;
         ++l_row)
    {
        auto l_found = m_listItems.find(lp_list->item(l_row));
        if (l_found != m_listItems.end() && l_found->second == ip_item)
            return lp_list->item(l_row);
    }
    return nullptr;
}
