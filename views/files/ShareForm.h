#pragma once

#include "DataHandler.h"
#include "ItemPtr.h"

#include <QTimer>
#include <QWidget>

#include <memory>
#include <string>

class FilterParser;
class Item;
class ItemSet;
class QTreeWidget;
class QTreeWidgetItem;
class Ui_ShareForm;

// One tab of the Browse page: what one other user shares. A message area while the list is on
// its way; then the user's folder tree, the current folder's files and a filter line. Rows are
// tied to the received list by `user_share_folder_node` and `user_share_file_node` items keyed by
// the row's address; a tie goes with its row.
class ShareForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    // Deeper folders are attached at this depth: the toolkit's rows free their children
    // recursively.
    static constexpr int MaxFolderDepth = 512;
    // Typing restarts this wait; the filter runs once the typing pauses.
    static constexpr int FilterDelayMs = 250;
    static constexpr const char* PortTestAddress = "http://www.porttest.net";

    ShareForm(std::string i_user, QWidget* ip_parent);
    ~ShareForm() override;

    // Shows a received list once; a later one is dropped.
    void SetShare(ItemPtr i_share);
    // Selects the folder with that full remote path, or remembers it until the list is shown.
    void BrowseToFolder(std::string i_folder);
    void ExpandAll();
    void CollapseAll();
    void ExpandLevel();
    // Drops the user's list and the tab's tie; the view goes once control is back in the loop.
    void Delete();

    const std::string& User() const { return m_user; }
    QTreeWidget* FolderTree() const;
    QTreeWidget* FileList() const;
    int DeepestLevel() const { return m_deepestLevel; }
    int ExpandedLevel() const { return m_expandedLevel; }
    // The filter now applied to the rows (the typed text once the typing pauses).
    void ApplyFilter(const QString& i_text);

protected:
    void showEvent(QShowEvent* ip_event) override;

public slots:
    void OnCurrentItemChanged(QTreeWidgetItem* ip_current, QTreeWidgetItem* ip_previous);
    void OnFileItemChanged(QTreeWidgetItem*, QTreeWidgetItem*);
    void OnActionBarTriggered(std::string i_action);
    void OnFilterTextChanged(QString i_text);
    void OnFilterHelpClicked();
    void OnConnectionToUserFailed(std::string i_user, std::string i_connectionType);
    void OnFolderDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnFileDoubleClicked(QTreeWidgetItem* ip_item, int i_column);

private:
    void OnShareRemoved(Item* ip_share);
    void BuildFolderTree(const ItemSet& i_folders);
    // The folder tie of a row, or null.
    ItemPtr FolderOf(QTreeWidgetItem* ip_row) const;
    ItemPtr FileOf(QTreeWidgetItem* ip_row) const;
    QTreeWidgetItem* RowOfFolder(ItemPtr i_folder) const;
    void ClearFileList();
    void FillFileList(QTreeWidgetItem* ip_current);
    // Whether the row stays visible under the filter; hides what it does not show.
    void ApplyFolderRule(QTreeWidgetItem* ip_top, const FilterParser& i_filter);
    void DownloadFile(QTreeWidgetItem* ip_row);
    void DownloadFolder(ItemPtr i_folder);
    void RemoveRowTies();
    // The level and the text that Expand Level shows for the tree.
    void ShowExpandedLevel(int i_level);
    bool IsCurrentTab() const;

    std::unique_ptr<Ui_ShareForm> mp_ui;
    Item* m_share = nullptr;
    int m_deepestLevel = 0;
    int m_expandedLevel = 0;
    std::string m_user;
    bool m_listArrived = false;
    std::string m_folderToShow;
    QTimer m_filterTimer;
    QString m_pendingFilter;
    bool m_deleted = false;
};
