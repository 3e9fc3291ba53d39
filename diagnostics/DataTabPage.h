#pragma once

#include "DataHandler.h"

#include <QWidget>

#include <memory>
#include <unordered_map>
#include <unordered_set>

class Item;
class QListWidgetItem;
class QTreeWidgetItem;
class Type;
class Ui_DataTabPage;

// Watches one item type: lists the items added while it exists, newest first, and shows a
// clicked item with what it reaches in a tree built at once, each path passing a type at most
// once. The tree is cut at maxTreeDepth levels below the clicked item and at maxTreeRows rows.
class DataTabPage : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    static constexpr int maxTreeDepth = 8;
    static constexpr int maxTreeRows = 10000;

    DataTabPage(Type* ip_type, QWidget* ip_parent = nullptr);
    ~DataTabPage() override;

    // Store handlers: items of the watched type.
    void OnItemAdded(Item* ip_item);
    void OnItemRemoved(Item* ip_item);

public slots:
    void OnItemClicked(QListWidgetItem* ip_row);

private:
    using TypeSet = std::unordered_set<const Type*>;

    // The rows below the parent: the item's connected items, leaving out those of the given
    // types, each with its own subtree; i_depth is the parent's level.
    void AddItemSubnodes(Item* ip_item, QTreeWidgetItem* ip_parent, const TypeSet& i_leftOut,
                         int i_depth);

    std::unique_ptr<Ui_DataTabPage> mp_ui;
    Type* mp_type;
    std::unordered_map<const Item*, QListWidgetItem*> m_listRows;
    std::unordered_map<const QListWidgetItem*, Item*> m_listItems;
    int m_treeRows = 0;
};
