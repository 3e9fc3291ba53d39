#pragma once

#include "DataHandler.h"

#include <QDialog>

#include <memory>
#include <unordered_map>
#include <unordered_set>

class Data;
class Item;
class QListWidgetItem;
class QTreeWidgetItem;
class Type;
class Ui_DataDialog;

// Inspector of the whole store: every type with its kind and item count, the items of the
// selected type, and the clicked item's connections in a tree loaded one level per expansion.
// Follows items as they are added and removed. Deletes itself when closed.
class DataDialog : public QDialog, public DataHandler
{
    Q_OBJECT

public:
    DataDialog(Data* ip_data, QWidget* ip_parent = nullptr);
    ~DataDialog() override;

    // Store handlers: every item of every type.
    void OnItemAdded(Item* ip_item);
    void OnItemRemoved(Item* ip_item);
    // A type taken out of the store takes its row with it.
    void OnTypeRemoved(Type* ip_type);

public slots:
    void OnTypeItemSelectionChanged();
    void OnItemClicked(QListWidgetItem* ip_row);
    void OnDataSubItemExpanded(QTreeWidgetItem* ip_row);

private:
    using TypeSet = std::unordered_set<const Type*>;

    // One level of rows under the parent: the item's connected items, leaving out those of the
    // given types.
    void AddItemSubnodes(Item* ip_item, QTreeWidgetItem* ip_parent, const TypeSet& i_leftOut);
    void ClearTree();
    void ClearList();
    void RecordTreeRow(QTreeWidgetItem* ip_row, Item* ip_item);
    // Forgets the row and every row below it.
    void ForgetTreeRows(QTreeWidgetItem* ip_row);
    void ShowCount(const Type* ip_type);
    // The list row of an item of the current type, found by its text in the sorted list; null
    // when it has none.
    QListWidgetItem* ListRow(const Item* ip_item) const;

    std::unique_ptr<Ui_DataDialog> mp_ui;
    Data* mp_data;
    std::unordered_map<const Type*, QTreeWidgetItem*> m_typeRows;
    std::unordered_map<const QTreeWidgetItem*, Type*> m_rowTypes;
    std::unordered_map<const QListWidgetItem*, Item*> m_listItems;
    std::unordered_map<const Item*, std::unordered_set<QTreeWidgetItem*>> m_treeRows;
    std::unordered_map<const QTreeWidgetItem*, Item*> m_treeItems;
    Type* mp_currentType = nullptr;
    Item* mp_currentItem = nullptr;
};
