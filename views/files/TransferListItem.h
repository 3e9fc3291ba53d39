#pragma once

#include <QBrush>
#include <QTreeWidgetItem>

#include <string>

class Item;

// A row of the Transfers page. A file row knows its entry and the status it shows, so that the
// rows above it count their files' statuses without reading the store. The status colour covers
// every column and is set in one step: a colour set column by column would announce a change,
// and repaint, once per column.
class TransferListItem : public QTreeWidgetItem
{
public:
    TransferListItem() = default;

    // The entry of a file row; null for user and folder rows. The row goes with its entry.
    Item* Entry() const { return mp_entry; }
    void SetEntry(Item* ip_entry) { mp_entry = ip_entry; }
    // The folder of a folder row and the store's node of that row, which goes with the row; null
    // for user and file rows.
    Item* Folder() const { return mp_folder; }
    void SetFolder(Item* ip_folder) { mp_folder = ip_folder; }
    Item* Node() const { return mp_node; }
    void SetNode(Item* ip_node) { mp_node = ip_node; }
    const std::string& Status() const { return m_status; }
    void SetStatus(const std::string& i_status) { m_status = i_status; }

    // Announces a change only when the colour differs.
    void SetRowColor(const QColor& i_color);
    QVariant data(int i_column, int i_role) const override;

private:
    Item* mp_entry = nullptr;
    Item* mp_folder = nullptr;
    Item* mp_node = nullptr;
    std::string m_status;
    QBrush m_brush;
};
