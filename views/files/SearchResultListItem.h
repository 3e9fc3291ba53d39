#pragma once

#include <QTreeWidgetItem>

// A row of a search's results tree. Its order: by availability (column 1) or speed (column 2)
// for the rows of users, and by file name for the rows of files; see operator<.
class SearchResultListItem : public QTreeWidgetItem
{
public:
    explicit SearchResultListItem(QTreeWidget* ip_tree);
    explicit SearchResultListItem(QTreeWidgetItem* ip_parent);
    ~SearchResultListItem() override;

    bool operator<(const QTreeWidgetItem& i_other) const override;
};
