#pragma once

#include "ConnectionInfo.h"
#include "DataHandler.h"
#include "DataLoadedEventHandler.h"
#include "ItemPtr.h"
#include "ItemSet.h"

#include <QColor>
#include <QDateTime>
#include <QIcon>
#include <QString>
#include <QWidget>

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

class QCheckBox;
class QKeyEvent;
class QSpinBox;
class QTreeWidget;
class QTreeWidgetItem;
class TabWidget;
class TreeWidget;

// The Transfers page: the downloads and uploads as two trees of user > folder > file rows that
// mirror the transfer queue's entries, the upload settings and the options that clear finished
// transfers.
class TransfersForm : public QWidget, public DataHandler, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    explicit TransfersForm(QWidget* ip_parent = nullptr);
    ~TransfersForm() override;

    // Once at start-up, after the transfer queue exists and before the data file is loaded.
    void Init();
    void DataLoaded() override;
    void DeleteSelectedDownloads();

    TreeWidget* DownloadsList() const { return mp_downloadsList; }
    QTreeWidget* UploadsList() const { return mp_uploadsList; }
    TabWidget* TabControl() const { return mp_tabs; }

    // Row texts, shared with whoever shows the same figures.
    static QString TimeLeftText(qint64 i_seconds);
    static QString ProgressText(qint64 i_done, double i_percent);
    // Clamped to 0-100; 0 when there is nothing to count.
    static double Percent(qint64 i_done, qint64 i_total);
    static QString SpeedText(int i_bytesPerSecond);
    static QColor StatusColor(const std::string& i_status);

    // The row of an entry's file, or null.
    QTreeWidgetItem* DownloadRow(ItemPtr i_entry) const;
    QTreeWidgetItem* UploadRow(ItemPtr i_entry) const;
    ItemSet GetNodeDownloadEntryItems(QTreeWidgetItem* ip_row) const;
    ItemSet GetNodeUploadEntryItems(QTreeWidgetItem* ip_row) const;
    QTreeWidgetItem* GetDownloadNodeUserNode(QTreeWidgetItem* ip_row) const;
    QTreeWidgetItem* GetUploadNodeUserNode(QTreeWidgetItem* ip_row) const;

signals:
    void DownloadComplete(ItemPtr i_entry);

public slots:
    void OnDownloadProgress(ItemPtr i_entry);
    void OnUploadProgress(ItemPtr i_entry);
    void OnTransfersLoaded();
    void OnActionBarTriggered(std::string i_id);
    void OnUserOnline(Item* ip_user);
    void OnUserOffline(Item* ip_user);
    void OnUploadSpeedLimitCheckStateChanged(int i_state);
    void OnUploadSpeedLimitSpinValueChanged(int i_value);
    void OnUploadSlotsSpinValueChanged(int i_value);
    void OnDownloadsContextMenuRequested(const QPoint& i_point);
    void OnUploadsContextMenuRequested(const QPoint& i_point);
    void OnItemExpanded(QTreeWidgetItem* ip_row);
    void OnItemCollapsed(QTreeWidgetItem* ip_row);
    void OnCurrentTabChanged(int i_index);
    void OnClearDownloadsCheckStateChanged(int i_state);
    void OnClearUploadsCheckStateChanged(int i_state);
    void EveryHalfMinute();
    void OnDownloadComplete(ItemPtr i_entry);
    void OnDownloadListItemDoubleClicked(QTreeWidgetItem* ip_row, int i_column);
    void OnKeyPressedInDownloadList(QKeyEvent* ip_event);

private:
    // What differs between the two lists; the row operations are shared.
    struct Side
    {
        QTreeWidget* mp_list = nullptr;
        const char* mp_userNode = nullptr;
        const char* mp_folderNode = nullptr;
        const char* mp_fileNode = nullptr;
        const char* mp_statusType = nullptr;
        const char* mp_runningWord = nullptr;
        bool m_expandUsers = true;
        bool m_expandFolders = true;
    };

    void OnDownloadEntryAdded(Item* ip_entry);
    void OnUploadEntryAdded(Item* ip_entry);
    void OnDownloadEntryRemoved(Item* ip_entry);
    void OnUploadEntryRemoved(Item* ip_entry);
    void OnDownloadEntryStatusChange(ConnectionInfo& i_info);
    void OnUploadEntryStatusChange(ConnectionInfo& i_info);
    void OnDownloadPlaceInLine(Item* ip_entry);

    void DeclareNodeTypes(const Side& i_side, const char* ip_folderType, const char* ip_entryType);
    QTreeWidgetItem* AddEntryRow(Side& i_side, ItemPtr i_entry, ItemPtr i_folder,
                                 const QString& i_fileName, const QString& i_size);
    void RemoveEntryRow(Side& i_side, ItemPtr i_entry);
    void RemoveEntries(Side& i_side, const std::vector<Item*>& i_entries);
    void PaintStatus(Side& i_side, ItemPtr i_entry, ItemPtr i_status);
    void ShowProgress(Side& i_side, ItemPtr i_entry, qint64 i_size);
    void RefreshParents();
    void RefreshParent(QTreeWidgetItem* ip_row);
    // What a parent row's recount shows: its status only; its totals too, as the cell's text
    // (rows filled at start or collapsed: a bar on each would make every layout of a long list
    // walk them); or its totals on a bar, which a progress report under the row asks for and
    // which stays.
    enum class Recount
    {
        Status,
        Totals,
        Progress
    };
    void ScheduleRefresh(QTreeWidgetItem* ip_row, Recount i_recount, int i_speed);
    // The row's totals and time left at that speed; nothing when it counts no bytes.
    void ShowTotals(const Side& i_side, QTreeWidgetItem* ip_row, Recount i_recount, int i_speed);
    std::string AggregateStatus(const Side& i_side, QTreeWidgetItem* ip_row) const;
    void ProgressStats(const Side& i_side, QTreeWidgetItem* ip_row, qint64& o_done,
                       qint64& o_remaining, qint64& o_total) const;
    static ItemSet EntriesUnder(QTreeWidgetItem* ip_row);
    QTreeWidgetItem* RowOf(ItemPtr i_node) const;
    ItemPtr NodeOf(const char* ip_type, QTreeWidgetItem* ip_row) const;
    Side& SideOf(QTreeWidgetItem* ip_row);
    QTreeWidgetItem* UserRowAbove(const Side& i_side, QTreeWidgetItem* ip_row) const;
    void DropRow(QTreeWidgetItem* ip_row, const char* ip_nodeType);
    void SetProgressBar(QTreeWidgetItem* ip_row, const QString& i_text, int i_value);
    // The whole file's progress for a finished entry that no transfer reports on.
    void ShowFinishedProgress(Side& i_side, QTreeWidgetItem* ip_row, ItemPtr i_entry);
    void ToggleExpansion(Side& i_side, bool i_users);
    static void SetItemColorByStatus(QTreeWidgetItem* ip_row, const std::string& i_status);
    static qint64 EntrySize(ItemPtr i_entry);
    bool IsDownloadSide(const Side& i_side) const { return &i_side == &m_downloads; }

    TabWidget* mp_tabs = nullptr;
    TreeWidget* mp_downloadsList = nullptr;
    QTreeWidget* mp_uploadsList = nullptr;
    QCheckBox* mp_clearDownloads = nullptr;
    QCheckBox* mp_clearUploads = nullptr;
    QCheckBox* mp_uploadLimit = nullptr;
    QSpinBox* mp_uploadLimitSpin = nullptr;
    QSpinBox* mp_uploadSlotsSpin = nullptr;

    Side m_downloads;
    Side m_uploads;
    bool m_transfersLoaded = false;
    // User rows outside the list for a while: new ones while the saved downloads are shown at
    // once, and those all of whose entries are being removed.
    bool m_filling = false;
    std::vector<QTreeWidgetItem*> m_detachedRows;
    // Folder rows by their user row and folder.
    using FolderKey = std::pair<const QTreeWidgetItem*, const Item*>;
    struct FolderKeyHash
    {
        std::size_t operator()(const FolderKey& i_key) const;
    };
    std::unordered_map<FolderKey, QTreeWidgetItem*, FolderKeyHash> m_folderRows;
    QIcon m_onlineIcon;
    QIcon m_offlineIcon;

    // Downloads whose DownloadComplete is on its way; a removal cancels the delivery.
    std::unordered_set<Item*> m_completing;

    // User and folder rows whose status or totals wait for the next turn of the event loop, so
    // that a burst of events costs one recount per row.
    struct Pending
    {
        Recount m_recount = Recount::Status;
        int m_speed = 0;
    };
    std::unordered_map<QTreeWidgetItem*, Pending> m_pending;
    bool m_refreshQueued = false;
};
