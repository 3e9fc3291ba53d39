#include "DataTabPage.h"

#include "CellToolTipDelegate.h"
#include "Data.h"
#include "StoreRowTexts.h"
#include "ui_DataTabPage.h"

DataTabPage::DataTabPage(Type* ip_type, QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(std::make_unique<Ui_DataTabPage>()), mp_type(ip_type)
{
    mp_ui->setupUi(this);
    ShowCellTextsAsToolTips(mp_ui->itemList);
    ShowCellTextsAsToolTips(mp_ui->itemDataTree);
    mp_type->m_itemAddedEvent.AddHandler(
        new EventHandler<DataTabPage, Item*>(this, &DataTabPage::OnItemAdded));
    mp_type->m_itemRemovedEvent.AddHandler(
        new EventHandler<DataTabPage, Item*>(this, &DataTabPage::OnItemRemoved));
    mp_ui->itemDataTree->setHeaderLabels({tr("Item")});
    connect(mp_ui->itemList, &QListWidget::itemClicked, this, &DataTabPage::OnItemClicked);
}

DataTabPage::~DataTabPage()
{
    RemoveDataHandlers();
}

void DataTabPage::OnItemAdded(Item* ip_item)
{
    auto* lp_row = new QListWidgetItem(ValueText(ip_item));
    mp_ui->itemList->insertItem(0, lp_row);
    m_listRows.emplace(ip_item, lp_row);
    m_listItems.emplace(lp_row, ip_item);
}

void DataTabPage::OnItemRemoved(Item* ip_item)
{
    auto l_found = m_listRows.find(ip_item);
    if (l_found == m_listRows.end())
        return;
    m_listItems.erase(l_found->second);
    delete l_found->second;
    m_listRows.erase(l_found);
}

void DataTabPage::OnItemClicked(QListWidgetItem* ip_row)
{
    mp_ui->itemDataTree->clear();
    auto l_found = m_listItems.find(ip_row);
    if (l_found == m_listItems.end())
        return;
    Item* lp_item = l_found->second;
    auto* lp_top = new QTreeWidgetItem(mp_ui->itemDataTree, {ValueText(lp_item)});
    m_treeRows = 1;
    AddItemSubnodes(lp_item, lp_top, {lp_item->GetType()}, 0);
    mp_ui->itemDataTree->expandAll();
}

void DataTabPage::AddItemSubnodes(Item* ip_item, QTreeWidgetItem* ip_parent,
                                  const TypeSet& i_leftOut, int i_depth)
{
    // The paths through distinct types grow without bound on a densely connected store: the tree
    // stops at its caps.
    if (i_depth >= maxTreeDepth)
        return;
    for (const Item::Connection& l_group : ip_item->Connections())
    {
        if (i_leftOut.contains(l_group.mp_type))
            continue;
        TypeSet l_leftOut = i_leftOut;
        l_leftOut.insert(l_group.mp_type);
        for (Item* lp_connected : l_group.m_items)
        {
            if (m_treeRows >= maxTreeRows)
                return;
            auto* lp_row = new QTreeWidgetItem(ip_parent, {ConnectedRowText(lp_connected)});
            ++m_treeRows;
            AddItemSubnodes(lp_connected, lp_row, l_leftOut, i_depth + 1);
        }
    }
}
