#include "TransfersForm.h"

#include "ActionSetToolBar.h"
#include "CellToolTipDelegate.h"
#include "Clock.h"
#include "CompleteDownloadsForm.h"
#include "Data.h"
#include "DataSaver.h"
#include "DownloadMenuOptions.h"
#include "EventHandler.h"
#include "GeneralFunctions.h"
#include "Log.h"
#include "PathNode.h"
#include "SizeManager.h"
#include "StoreFunctions.h"
#include "TabWidget.h"
#include "TimerManager.h"
#include "TransferFigures.h"
#include "TransferListItem.h"
#include "TransferQueueManager.h"
#include "TreeWidget.h"
#include "UIFunctions.h"
#include "UserMenuOptions.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QSpinBox>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <utility>

using namespace Qt::StringLiterals;

namespace
{
constexpr int statusColumn = 3;
constexpr int progressColumn = 4;
constexpr int etaColumn = 5;
constexpr int speedColumn = 6;
constexpr int sizeColumn = 7;
constexpr int placeColumn = 8;
constexpr qint64 uploadIdleMs = 299999;
constexpr int checkedState = 2;
constexpr int uncheckedState = 0;

const char* const onlineIcon = ":/icons/online_dot_icon";
const char* const offlineIcon = ":/icons/offline_dot_icon";
const char* const transferIcon = ":/icons/transfer_icon";

bool SettingIsYes(const char* ip_key)
{
    return SettingValue(ip_key).AsString() == "yes";
}

TransferListItem* ListItem(QTreeWidgetItem* ip_row)
{
    return static_cast<TransferListItem*>(ip_row);
}

// Calls i_visit with every file row at or under the row.
template <typename Visit> void ForEachFileRow(QTreeWidgetItem* ip_row, const Visit& i_visit)
{
    if (ListItem(ip_row)->Entry())
    {
        i_visit(*ListItem(ip_row));
        return;
    }
    for (int l_child = 0; l_child < ip_row->childCount(); ++l_child)
        ForEachFileRow(ip_row->child(l_child), i_visit);
}

// The speed, progress and size columns are as wide as the fastest speed a report can carry (2^31
// bytes a second; loopback and local networks reach six figures of kilobytes) and the progress and
// size of a file of gigabytes need in the tree's font: narrower, they would be cut off.
void WidenFigureColumns(QTreeWidget* ip_list)
{
    FitColumnToText(ip_list, speedColumn, QStringLiteral("2097152.0"), 12);
    FitColumnToText(ip_list, progressColumn, QStringLiteral("9,999,999,999 (100.0%)"), 24);
    FitColumnToSizes(ip_list, sizeColumn);
}

QTreeWidget* SetUpList(QTreeWidget* ip_list, const QStringList& i_labels,
                       const QList<int>& i_widths)
{
    ip_list->setContextMenuPolicy(Qt::CustomContextMenu);
    ip_list->setHeaderLabels(i_labels);
    for (int l_column = 0; l_column < i_widths.size(); ++l_column)
        ip_list->setColumnWidth(l_column, i_widths[l_column]);
    ip_list->header()->setSectionsMovable(false);
    // Every row is one line high: a list of varying heights measures each row above the one it
    // places, which made every progress report cost the whole list.
    ip_list->setUniformRowHeights(true);
    ShowCellTextsAsToolTips(ip_list);
    return ip_list;
}
} // namespace

TransfersForm::TransfersForm(QWidget* ip_parent)
    : QWidget(ip_parent), m_onlineIcon(QString::fromLatin1(onlineIcon)),
      m_offlineIcon(QString::fromLatin1(offlineIcon))
{
    setObjectName(QStringLiteral("TransfersForm"));
    setWindowTitle(QStringLiteral("Form"));
    resize(761, 396);
    auto* lp_layout = new QHBoxLayout(this);
    mp_tabs = new TabWidget(this);
    mp_tabs->setObjectName(QStringLiteral("transfersTabControl"));
    mp_tabs->setContextMenuPolicy(Qt::CustomContextMenu);
    mp_tabs->setTabShape(QTabWidget::Triangular);
    lp_layout->addWidget(mp_tabs);

    auto* lp_downloadsTab = new QWidget();
    lp_downloadsTab->setObjectName(QStringLiteral("downloadsTab"));
    auto* lp_downloadsLayout = new QVBoxLayout(lp_downloadsTab);
    mp_downloadsList = new TreeWidget(lp_downloadsTab);
    mp_downloadsList->setObjectName(QStringLiteral("downloadsList"));
    mp_clearDownloads = new QCheckBox(QStringLiteral("Clear Complete Downloads"), lp_downloadsTab);
    mp_clearDownloads->setObjectName(QStringLiteral("clearDownloadsCheckBox"));
    lp_downloadsLayout->addWidget(mp_downloadsList);
    lp_downloadsLayout->addWidget(mp_clearDownloads);
    mp_tabs->addTab(lp_downloadsTab, QStringLiteral("Downloads"));

    auto* lp_uploadsTab = new QWidget();
    lp_uploadsTab->setObjectName(QStringLiteral("uploadsTab"));
    auto* lp_uploadsLayout = new QVBoxLayout(lp_uploadsTab);
    mp_uploadsList = new QTreeWidget(lp_uploadsTab);
    mp_uploadsList->setObjectName(QStringLiteral("uploadsList"));
    lp_uploadsLayout->addWidget(mp_uploadsList);
    auto* lp_row = new QHBoxLayout();
    mp_clearUploads =
        new QCheckBox(QStringLiteral("Clear Complete/Aborted Uploads"), lp_uploadsTab);
    mp_clearUploads->setObjectName(QStringLiteral("clearUploadsCheckBox"));
    mp_uploadLimit = new QCheckBox(QStringLiteral("Limit Upload Speed to"), lp_uploadsTab);
    mp_uploadLimit->setObjectName(QStringLiteral("uploadLimitCheckBox"));
    mp_uploadLimitSpin = new QSpinBox(lp_uploadsTab);
    mp_uploadLimitSpin->setObjectName(QStringLiteral("uploadLimitSpinBox"));
    mp_uploadLimitSpin->setRange(0, 99999);
    mp_uploadSlotsSpin = new QSpinBox(lp_uploadsTab);
    mp_uploadSlotsSpin->setObjectName(QStringLiteral("uploadSlotsSpinBox"));
    mp_uploadSlotsSpin->setRange(1, 99);
    lp_row->addWidget(mp_clearUploads);
    lp_row->addWidget(mp_uploadLimit);
    lp_row->addWidget(mp_uploadLimitSpin);
    lp_row->addWidget(new QLabel(QStringLiteral("Kilobytes Per Second"), lp_uploadsTab));
    lp_row->addWidget(mp_uploadSlotsSpin);
    lp_row->addWidget(new QLabel(QStringLiteral("Upload Slots"), lp_uploadsTab));
    lp_row->addWidget(new QLabel(lp_uploadsTab), 1);
    lp_uploadsLayout->addLayout(lp_row);
    mp_tabs->addTab(lp_uploadsTab, QStringLiteral("Uploads"));
    mp_tabs->setCurrentIndex(0);

    const QStringList l_labels{u"User"_s,     u"Folder"_s, u"File"_s, u"Status"_s,
                               u"Progress"_s, u"   ETA"_s, u"Kbs"_s,  u"Size"_s};
    const QList<int> l_widths{100, 125, 125, 100, 140, 80, 40, 90};
    SetUpList(mp_downloadsList, l_labels + QStringList{u"Place"_s}, l_widths + QList<int>{40});
    SetUpList(mp_uploadsList, l_labels, l_widths);
    mp_uploadsList->header()->setStretchLastSection(false);
    WidenFigureColumns(mp_downloadsList);
    WidenFigureColumns(mp_uploadsList);

    m_downloads = {mp_downloadsList,     "download_list_user_node", "download_list_folder_node",
                   "download_list_node", "download_entry_status",   "downloading"};
    m_uploads = {mp_uploadsList,     "upload_list_user_node", "upload_list_folder_node",
                 "upload_list_node", "upload_entry_status",   "uploading"};

    connect(mp_tabs, &QTabWidget::currentChanged, this, &TransfersForm::OnCurrentTabChanged);
    connect(mp_downloadsList, &QWidget::customContextMenuRequested, this,
            &TransfersForm::OnDownloadsContextMenuRequested);
    connect(mp_uploadsList, &QWidget::customContextMenuRequested, this,
            &TransfersForm::OnUploadsContextMenuRequested);
    connect(mp_downloadsList, &QTreeWidget::itemDoubleClicked, this,
            &TransfersForm::OnDownloadListItemDoubleClicked);
    connect(mp_downloadsList, &TreeWidget::KeyPressed, this,
            &TransfersForm::OnKeyPressedInDownloadList);
}

TransfersForm::~TransfersForm() = default;

void TransfersForm::DeclareNodeTypes(const Side& i_side, const char* ip_folderType,
                                     const char* ip_entryType)
{
    d.NewType(i_side.mp_userNode, true, false, true)->RelateToType("user", One, One, false);
    d.NewType(i_side.mp_fileNode, true, false, true)->RelateToType(ip_entryType, One, One, false);
    Type* lp_folder = d.NewType(i_side.mp_folderNode, true, false, true);
    lp_folder->RelateToType(i_side.mp_userNode, Many, One, false);
    lp_folder->RelateToType(ip_folderType, Many, One, false);
    lp_folder->RelateToType(i_side.mp_fileNode, One, Many, false);
}

void TransfersForm::Init()
{
    qRegisterMetaType<ItemPtr>();
    const auto l_entryPath = [this](const char* ip_root, std::initializer_list<const char*> i_kids,
                                    void (TransfersForm::*ip_method)(Item*))
    {
        auto* lp_root = new PathNode(&d, ip_root);
        for (const char* lp_child : i_kids)
            new PathNode(lp_root, lp_child, RequireConnected);
        d.AddPathEventHandler(lp_root, new EventHandler<TransfersForm, Item*>(this, ip_method));
    };
    l_entryPath("download_entry", {"user", "file_name", "file_size", "remote_folder"},
                &TransfersForm::OnDownloadEntryAdded);
    DeclareNodeTypes(m_downloads, "remote_folder", "download_entry");
    d.AddConnectionEventHandler(d["download_entry_status"], d["download_entry"],
                                new EventHandler<TransfersForm, ConnectionInfo&>(
                                    this, &TransfersForm::OnDownloadEntryStatusChange));
    d.AddConnectionEventHandler(d["upload_entry_status"], d["upload_entry"],
                                new EventHandler<TransfersForm, ConnectionInfo&>(
                                    this, &TransfersForm::OnUploadEntryStatusChange));
    connect(transferQueueManager, &TransferQueueManager::DownloadProgressed, this,
            &TransfersForm::OnDownloadProgress);
    connect(transferQueueManager, &TransferQueueManager::UploadProgressed, this,
            &TransfersForm::OnUploadProgress);
    l_entryPath("upload_entry", {"user", "shared_file"}, &TransfersForm::OnUploadEntryAdded);
    DeclareNodeTypes(m_uploads, "shared_file_folder", "upload_entry");
    m_transfersLoaded = false;
    connect(transferQueueManager, &TransferQueueManager::TransfersLoaded, this,
            &TransfersForm::OnTransfersLoaded);
    d["download_entry"]->m_itemRemovedEvent.AddHandler(
        new EventHandler<TransfersForm, Item*>(this, &TransfersForm::OnDownloadEntryRemoved));
    d["upload_entry"]->m_itemRemovedEvent.AddHandler(
        new EventHandler<TransfersForm, Item*>(this, &TransfersForm::OnUploadEntryRemoved));

    actionBar->AddSetAction("downloads", "expand_download_folders", "Expand Folders", transferIcon,
                            false);
    actionBar->AddSetAction("downloads", "expand_download_users", "Expand Users", transferIcon,
                            false);
    actionBar->AddSetAction("downloads", "clear_complete_downloads", "Clear Complete", transferIcon,
                            false);
    actionBar->RegisterWidget(mp_downloadsList, QStringLiteral("downloads"));
    actionBar->SetWidgetActionText(mp_downloadsList, QStringLiteral("expand_download_folders"),
                                   QStringLiteral("Expand Folders [on]"));
    actionBar->SetWidgetActionText(mp_downloadsList, QStringLiteral("expand_download_users"),
                                   QStringLiteral("Expand Users [on]"));
    actionBar->AddSetAction("uploads", "expand_upload_folders", "Expand Folders", transferIcon,
                            false);
    actionBar->AddSetAction("uploads", "expand_upload_users", "Expand Users", transferIcon, false);
    actionBar->AddSetAction("uploads", "clear_complete_and_aborted_uploads",
                            "Clear Complete and Aborted", transferIcon, false);
    actionBar->RegisterWidget(mp_uploadsList, QStringLiteral("uploads"));
    actionBar->SetWidgetActionText(mp_uploadsList, QStringLiteral("expand_upload_folders"),
                                   QStringLiteral("Expand Folders [on]"));
    actionBar->SetWidgetActionText(mp_uploadsList, QStringLiteral("expand_upload_users"),
                                   QStringLiteral("Expand Users [on]"));
    connect(actionBar, &ActionSetToolBar::ActionTriggered, this,
            &TransfersForm::OnActionBarTriggered);

    auto* lp_online = new PathNode(&d, "user");
    new PathNode(lp_online, "is_online", OnConnect);
    d.AddPathEventHandler(
        lp_online, new EventHandler<TransfersForm, Item*>(this, &TransfersForm::OnUserOnline));
    auto* lp_offline = new PathNode(&d, "user");
    new PathNode(lp_offline, "is_online", OnDisconnect);
    d.AddPathEventHandler(
        lp_offline, new EventHandler<TransfersForm, Item*>(this, &TransfersForm::OnUserOffline));
    l_entryPath("download_entry", {"place_in_line"}, &TransfersForm::OnDownloadPlaceInLine);
    dataSaver->AddDataLoadedEventHandler(this);
    for (QTreeWidget* lp_list : {static_cast<QTreeWidget*>(mp_downloadsList), mp_uploadsList})
    {
        connect(lp_list, &QTreeWidget::itemExpanded, this, &TransfersForm::OnItemExpanded);
        connect(lp_list, &QTreeWidget::itemCollapsed, this, &TransfersForm::OnItemCollapsed);
    }
    mp_downloadsList->setFocus();
    connect(&timerManager->m_halfMinuteTimer, &QTimer::timeout, this,
            &TransfersForm::EveryHalfMinute);
    connect(this, &TransfersForm::DownloadComplete, this, &TransfersForm::OnDownloadComplete,
            Qt::QueuedConnection);
    RegisterWidgetForTabFocus(mp_downloadsList, 1);
    RegisterWidgetForTabFocus(mp_uploadsList, 1);
}

void TransfersForm::DataLoaded()
{
    mp_uploadLimitSpin->setValue(SettingValue("upload_speed_limit").AsInt());
    mp_uploadSlotsSpin->setValue(SettingValue("upload_slots").AsInt());
    mp_uploadLimit->setChecked(SettingIsYes("upload_speed_limit_enabled"));
    mp_clearDownloads->setChecked(SettingIsYes("clear_complete_downloads"));
    mp_clearUploads->setChecked(SettingIsYes("clear_complete_aborted_uploads"));
    // Only now: restoring the widgets above must write nothing back.
    connect(mp_uploadLimitSpin, &QSpinBox::valueChanged, this,
            &TransfersForm::OnUploadSpeedLimitSpinValueChanged);
    connect(mp_uploadLimit, &QCheckBox::stateChanged, this,
            &TransfersForm::OnUploadSpeedLimitCheckStateChanged);
    connect(mp_clearDownloads, &QCheckBox::stateChanged, this,
            &TransfersForm::OnClearDownloadsCheckStateChanged);
    connect(mp_clearUploads, &QCheckBox::stateChanged, this,
            &TransfersForm::OnClearUploadsCheckStateChanged);
    connect(mp_uploadSlotsSpin, &QSpinBox::valueChanged, this,
            &TransfersForm::OnUploadSlotsSpinValueChanged);
    sizeManager->RegisterTreeWidget(QStringLiteral("download_list"), mp_downloadsList);
    sizeManager->RegisterTreeWidget(QStringLiteral("upload_list"), mp_uploadsList);
    WidenFigureColumns(mp_downloadsList);
    WidenFigureColumns(mp_uploadsList);
}

void TransfersForm::OnTransfersLoaded()
{
    m_transfersLoaded = true;
    ItemSet l_ordered;
    for (Item* lp_entry : d["download_entry"]->GetItems())
        if (ItemPtr(lp_entry).IsConnected("download_order"))
            l_ordered.insert(lp_entry);
    // The new user rows join the list together at the end: a row that joins a shown list
    // announces itself, and each row added under it would too.
    m_filling = true;
    for (Item* lp_entry : l_ordered.SortNumericBy("download_order", true))
        OnDownloadEntryAdded(lp_entry);
    m_filling = false;
    const QList<QTreeWidgetItem*> l_users(m_detachedRows.begin(), m_detachedRows.end());
    m_detachedRows.clear();
    mp_downloadsList->addTopLevelItems(l_users);
    for (QTreeWidgetItem* lp_user : l_users)
    {
        // An empty finished file gets its bar now that its row is in the list.
        ForEachFileRow(lp_user,
                       [this](TransferListItem& i_row)
                       {
                           if (i_row.Status() == "complete" && EntrySize(i_row.Entry()) <= 0)
                               ShowFinishedProgress(m_downloads, &i_row, i_row.Entry());
                       });
        lp_user->setExpanded(m_downloads.m_expandUsers);
        for (int l_folder = 0; l_folder < lp_user->childCount(); ++l_folder)
        {
            lp_user->child(l_folder)->setExpanded(m_downloads.m_expandFolders);
            // No progress report comes for what finished or stopped in an earlier run: the
            // parents' totals are counted now.
            ScheduleRefresh(lp_user->child(l_folder), Recount::Totals, 0);
        }
    }
}

// ---- Texts and colours ----

QString TransfersForm::TimeLeftText(qint64 i_seconds)
{
    const qint64 l_seconds = std::max<qint64>(i_seconds, 0);
    QString l_text = QStringLiteral("%1s").arg(l_seconds % 60);
    if (l_seconds >= 60)
        l_text.prepend(QStringLiteral("%1m:").arg((l_seconds / 60) % 60));
    if (l_seconds >= 3600)
        l_text.prepend(QStringLiteral("%1h:").arg(l_seconds / 3600));
    return QStringLiteral("   ") + l_text;
}

double TransfersForm::Percent(qint64 i_done, qint64 i_total)
{
    if (i_total <= 0)
        return 0;
    return std::clamp(double(i_done) * 100.0 / double(i_total), 0.0, 100.0);
}

QString TransfersForm::ProgressText(qint64 i_done, double i_percent)
{
    const QString l_done = i_done > 0 ? CommafyNumber(i_done) : QString::number(i_done);
    return QStringLiteral("%1 (%2%)").arg(l_done, QString::number(i_percent, 'f', 1));
}

QString TransfersForm::SpeedText(int i_bytesPerSecond)
{
    return QString::number(double(i_bytesPerSecond) / 1024.0, 'f', 1);
}

QColor TransfersForm::StatusColor(const std::string& i_status)
{
    if (i_status == "complete")
        return QColor(0, 100, 0);
    if (i_status == "downloading" || i_status == "uploading" || i_status == "connecting")
        return QColor(0, 0, 255);
    if (i_status == "queued")
        return QColor(51, 102, 255);
    if (i_status == "denied" || i_status == "aborted" || i_status == "local error")
        return QColor(255, 10, 71);
    return QColor(Qt::black);
}

void TransfersForm::SetItemColorByStatus(QTreeWidgetItem* ip_row, const std::string& i_status)
{
    ListItem(ip_row)->SetRowColor(StatusColor(i_status));
}

// ---- Rows and their nodes ----

QTreeWidgetItem* TransfersForm::RowOf(ItemPtr i_node) const
{
    if (!i_node)
        return nullptr;
    return reinterpret_cast<QTreeWidgetItem*>(static_cast<std::uintptr_t>(i_node.AsUInt64()));
}

ItemPtr TransfersForm::NodeOf(const char* ip_type, QTreeWidgetItem* ip_row) const
{
    return d[ip_type]->HasItem(Value(ip_row));
}

QTreeWidgetItem* TransfersForm::DownloadRow(ItemPtr i_entry) const
{
    return RowOf(i_entry[m_downloads.mp_fileNode]);
}

QTreeWidgetItem* TransfersForm::UploadRow(ItemPtr i_entry) const
{
    return RowOf(i_entry[m_uploads.mp_fileNode]);
}

TransfersForm::Side& TransfersForm::SideOf(QTreeWidgetItem* ip_row)
{
    return ip_row->treeWidget() == mp_uploadsList ? m_uploads : m_downloads;
}

ItemSet TransfersForm::EntriesUnder(QTreeWidgetItem* ip_row)
{
    ItemSet l_entries;
    if (ip_row)
        ForEachFileRow(ip_row,
                       [&](const TransferListItem& i_row) { l_entries.insert(i_row.Entry()); });
    return l_entries;
}

ItemSet TransfersForm::GetNodeDownloadEntryItems(QTreeWidgetItem* ip_row) const
{
    return EntriesUnder(ip_row);
}

ItemSet TransfersForm::GetNodeUploadEntryItems(QTreeWidgetItem* ip_row) const
{
    return EntriesUnder(ip_row);
}

QTreeWidgetItem* TransfersForm::UserRowAbove(const Side& i_side, QTreeWidgetItem* ip_row) const
{
    QTreeWidgetItem* lp_row = ip_row;
    while (lp_row && lp_row->parent())
        lp_row = lp_row->parent();
    return lp_row && NodeOf(i_side.mp_userNode, lp_row) ? lp_row : nullptr;
}

QTreeWidgetItem* TransfersForm::GetDownloadNodeUserNode(QTreeWidgetItem* ip_row) const
{
    return UserRowAbove(m_downloads, ip_row);
}

QTreeWidgetItem* TransfersForm::GetUploadNodeUserNode(QTreeWidgetItem* ip_row) const
{
    return UserRowAbove(m_uploads, ip_row);
}

qint64 TransfersForm::EntrySize(ItemPtr i_entry)
{
    return i_entry["file_size"] ? i_entry["file_size"].AsInt64()
                                : i_entry["shared_file"]["shared_file_size"].AsInt64();
}

std::size_t TransfersForm::FolderKeyHash::operator()(const FolderKey& i_key) const
{
    return std::hash<const void*>()(i_key.first) * 31 + std::hash<const void*>()(i_key.second);
}

QTreeWidgetItem* TransfersForm::AddEntryRow(Side& i_side, ItemPtr i_entry, ItemPtr i_folder,
                                            const QString& i_fileName, const QString& i_size)
{
    ItemPtr l_user = i_entry["user"];
    if (!l_user || !i_folder)
        return nullptr;
    QTreeWidgetItem* lp_userRow = RowOf(l_user[i_side.mp_userNode]);
    if (!lp_userRow)
    {
        lp_userRow = new TransferListItem();
        l_user += d[i_side.mp_userNode]->NewItem(Value(lp_userRow));
        lp_userRow->setText(0, ShownName(l_user.AsString()));
        if (IsDownloadSide(i_side))
            lp_userRow->setIcon(0, l_user.IsConnected("is_online") ? m_onlineIcon : m_offlineIcon);
        if (m_filling)
            m_detachedRows.push_back(lp_userRow);
        else
        {
            i_side.mp_list->addTopLevelItem(lp_userRow);
            lp_userRow->setExpanded(i_side.m_expandUsers);
        }
    }
    // Found through the rows, as the store would find it only by intersecting two sets of nodes.
    QTreeWidgetItem*& lp_folderRow = m_folderRows[{lp_userRow, i_folder.operator->()}];
    if (!lp_folderRow)
    {
        auto* lp_newRow = new TransferListItem();
        lp_folderRow = lp_newRow;
        ItemPtr l_folderNode = d[i_side.mp_folderNode]->NewItem(Value(lp_folderRow));
        lp_newRow->SetNode(l_folderNode);
        lp_newRow->SetFolder(i_folder);
        l_folderNode += l_user[i_side.mp_userNode];
        l_folderNode += i_folder;
        lp_folderRow->setText(1, ShownText(FromUtf8(ReversePathname(i_folder.AsString()))));
        lp_userRow->addChild(lp_folderRow);
        if (lp_folderRow->treeWidget())
            lp_folderRow->setExpanded(i_side.m_expandFolders);
    }
    // Filled before it joins the list, which then announces one new row, not each cell.
    auto* lp_fileRow = new TransferListItem();
    lp_fileRow->setText(2, ShownText(i_fileName));
    lp_fileRow->setText(sizeColumn, i_size);
    lp_fileRow->SetEntry(i_entry.operator->());
    ItemPtr l_fileNode = d[i_side.mp_fileNode]->NewItem(Value(lp_fileRow));
    i_entry += l_fileNode;
    l_fileNode += ListItem(lp_folderRow)->Node();
    lp_folderRow->addChild(lp_fileRow);
    return lp_fileRow;
}

void TransfersForm::OnDownloadEntryAdded(Item* ip_entry)
{
    ItemPtr l_entry(ip_entry);
    if (!m_transfersLoaded || DownloadRow(l_entry))
        return;
    AddEntryRow(m_downloads, l_entry, l_entry["remote_folder"],
                FromUtf8(l_entry["file_name"].AsString()),
                CommafyNumber(l_entry["file_size"].AsInt64()));
    if (ItemPtr l_status = l_entry[m_downloads.mp_statusType])
        PaintStatus(m_downloads, l_entry, l_status);
}

void TransfersForm::OnUploadEntryAdded(Item* ip_entry)
{
    ItemPtr l_entry(ip_entry);
    if (UploadRow(l_entry))
        return;
    ItemPtr l_file = l_entry["shared_file"];
    AddEntryRow(m_uploads, l_entry, l_file["shared_file_folder"],
                FromUtf8(GetFileName(l_file["shared_file_name"].AsString())),
                CommafyNumber(l_file["shared_file_size"].AsInt64()));
    if (ItemPtr l_status = l_entry[m_uploads.mp_statusType])
        PaintStatus(m_uploads, l_entry, l_status);
}

void TransfersForm::DropRow(QTreeWidgetItem* ip_row, const char* ip_nodeType)
{
    m_pending.erase(ip_row);
    if (!ip_row->parent())
        std::erase(m_detachedRows, ip_row);
    if (Item* lp_folder = ListItem(ip_row)->Folder())
        m_folderRows.erase({ip_row->parent(), lp_folder});
    if (ItemPtr l_node = NodeOf(ip_nodeType, ip_row))
        l_node->Remove();
    delete ip_row;
}

void TransfersForm::RemoveEntryRow(Side& i_side, ItemPtr i_entry)
{
    QTreeWidgetItem* lp_fileRow = RowOf(i_entry[i_side.mp_fileNode]);
    if (!lp_fileRow)
        return;
    QTreeWidgetItem* lp_folderRow = lp_fileRow->parent();
    DropRow(lp_fileRow, i_side.mp_fileNode);
    if (!lp_folderRow)
        return;
    if (lp_folderRow->childCount() > 0)
    {
        ScheduleRefresh(lp_folderRow, Recount::Totals, 0);
        return;
    }
    QTreeWidgetItem* lp_userRow = lp_folderRow->parent();
    DropRow(lp_folderRow, i_side.mp_folderNode);
    if (!lp_userRow)
        return;
    if (lp_userRow->childCount() > 0)
        ScheduleRefresh(lp_userRow, Recount::Totals, 0);
    else
        DropRow(lp_userRow, i_side.mp_userNode);
}

void TransfersForm::OnDownloadEntryRemoved(Item* ip_entry)
{
    m_completing.erase(ip_entry);
    RemoveEntryRow(m_downloads, ip_entry);
}

void TransfersForm::OnUploadEntryRemoved(Item* ip_entry)
{
    RemoveEntryRow(m_uploads, ip_entry);
}

// ---- Status ----

void TransfersForm::PaintStatus(Side& i_side, ItemPtr i_entry, ItemPtr i_status)
{
    QTreeWidgetItem* lp_row = RowOf(i_entry[i_side.mp_fileNode]);
    if (!lp_row)
        return;
    const std::string l_word = i_status.AsString();
    ListItem(lp_row)->SetStatus(l_word);
    SetItemColorByStatus(lp_row, l_word);
    if (l_word == "complete")
    {
        if (IsDownloadSide(i_side))
        {
            m_completing.insert(i_entry.operator->());
            emit DownloadComplete(i_entry);
        }
        lp_row->setText(progressColumn, QString());
        ShowFinishedProgress(i_side, lp_row, i_entry);
    }
    if (IsDownloadSide(i_side) && !lp_row->data(placeColumn, Qt::DisplayRole).isNull())
        lp_row->setText(placeColumn, QString());
    const std::string l_shown = l_word == "denied" ? i_entry["denial_reason"].AsString() : l_word;
    lp_row->setText(statusColumn, ShownText(FromUtf8(l_shown).toLower()));
    // Rows shown at once are recounted together when they join the list.
    if (!m_filling)
        ScheduleRefresh(lp_row->parent(), Recount::Status, 0);
}

void TransfersForm::ShowFinishedProgress(Side& i_side, QTreeWidgetItem* ip_row, ItemPtr i_entry)
{
    // No progress report comes for a file with no bytes, nor for a download finished in an
    // earlier run: the entry's size tells all there is. The cell's text serves where no bar is,
    // since a bar on every finished row would make each layout of a long list walk them all; a
    // row being built outside the list gets its bar when it joins.
    QTreeWidget* lp_list = ip_row->treeWidget();
    if (EntrySize(i_entry) <= 0)
    {
        if (lp_list)
            ShowProgress(i_side, i_entry, 0);
    }
    else if (!lp_list || !lp_list->itemWidget(ip_row, progressColumn))
        ip_row->setText(progressColumn, ProgressText(EntrySize(i_entry), 100.0));
}

void TransfersForm::OnDownloadEntryStatusChange(ConnectionInfo& i_info)
{
    // The pair arrives in either order; the entry is the one of the entry type.
    ItemPtr l_entry = i_info.first, l_status = i_info.second;
    if (l_entry->GetType() != d["download_entry"])
        std::swap(l_entry, l_status);
    PaintStatus(m_downloads, l_entry, l_status);
}

void TransfersForm::OnUploadEntryStatusChange(ConnectionInfo& i_info)
{
    ItemPtr l_entry = i_info.first, l_status = i_info.second;
    if (l_entry->GetType() != d["upload_entry"])
        std::swap(l_entry, l_status);
    PaintStatus(m_uploads, l_entry, l_status);
}

std::string TransfersForm::AggregateStatus(const Side& i_side, QTreeWidgetItem* ip_row) const
{
    std::size_t l_files = 0, l_running = 0, l_queued = 0, l_complete = 0, l_denied = 0,
                l_aborted = 0;
    ForEachFileRow(ip_row,
                   [&](const TransferListItem& i_row)
                   {
                       const std::string& l_word = i_row.Status();
                       ++l_files;
                       l_running += l_word == i_side.mp_runningWord;
                       l_queued += l_word == "queued";
                       l_complete += l_word == "complete";
                       l_denied += l_word == "denied";
                       l_aborted += l_word == "aborted";
                   });
    if (l_running)
        return i_side.mp_runningWord;
    if (l_queued)
        return "queued";
    if (l_complete == l_files)
        return "complete";
    if (l_denied)
        return "denied";
    if (l_aborted)
        return "aborted";
    return {};
}

void TransfersForm::ProgressStats(const Side& i_side, QTreeWidgetItem* ip_row, qint64& o_done,
                                  qint64& o_remaining, qint64& o_total) const
{
    o_done = o_remaining = o_total = 0;
    ForEachFileRow(ip_row,
                   [&](const TransferListItem& i_row)
                   {
                       ItemPtr l_entry(i_row.Entry());
                       const std::string& l_word = i_row.Status();
                       const qint64 l_size = EntrySize(l_entry);
                       if (l_word == "complete")
                       {
                           o_done += l_size;
                           o_total += l_size;
                       }
                       else if (l_word == "aborted" || l_word == i_side.mp_runningWord ||
                                l_word == "queued")
                       {
                           const qint64 l_position = TransferFigures::Position(l_entry);
                           o_done += l_position;
                           o_remaining += l_size - l_position;
                           o_total += l_size;
                       }
                   });
}

// Recounting a parent row's entries on every event would make a burst of n events cost n
// times the row's size: the recount waits for the event loop's next turn and runs once.
void TransfersForm::ScheduleRefresh(QTreeWidgetItem* ip_row, Recount i_recount, int i_speed)
{
    for (QTreeWidgetItem* lp_row = ip_row; lp_row; lp_row = lp_row->parent())
    {
        Pending& l_pending = m_pending[lp_row];
        l_pending.m_recount = std::max(l_pending.m_recount, i_recount);
        if (i_recount != Recount::Status)
            l_pending.m_speed = i_speed;
    }
    if (!m_refreshQueued)
    {
        m_refreshQueued = true;
        QTimer::singleShot(0, this, &TransfersForm::RefreshParents);
    }
}

void TransfersForm::RefreshParents()
{
    m_refreshQueued = false;
    const auto l_rows = std::move(m_pending);
    m_pending.clear();
    for (const auto& [lp_row, l_pending] : l_rows)
    {
        Side& l_side = SideOf(lp_row);
        const std::string l_aggregate = AggregateStatus(l_side, lp_row);
        if (!lp_row->isExpanded())
            lp_row->setText(statusColumn, QString::fromStdString(l_aggregate));
        SetItemColorByStatus(lp_row, l_aggregate);
        // A user row with one expanded folder shows nothing the folder row does not.
        if (l_pending.m_recount == Recount::Status ||
            (!lp_row->parent() && lp_row->isExpanded() && lp_row->childCount() <= 1))
            continue;
        ShowTotals(l_side, lp_row, l_pending.m_recount, l_pending.m_speed);
    }
}

void TransfersForm::ShowTotals(const Side& i_side, QTreeWidgetItem* ip_row, Recount i_recount,
                               int i_speed)
{
    qint64 l_done, l_remaining, l_total;
    ProgressStats(i_side, ip_row, l_done, l_remaining, l_total);
    if (l_total == 0)
        return;
    ip_row->setText(etaColumn, TimeLeftText(i_speed > 0 ? l_remaining / i_speed : 0));
    const double l_percent = Percent(l_done, l_total);
    if (i_recount == Recount::Progress || i_side.mp_list->itemWidget(ip_row, progressColumn))
        SetProgressBar(ip_row, ProgressText(l_done, l_percent), int(l_percent));
    else
        ip_row->setText(progressColumn, ProgressText(l_done, l_percent));
}

void TransfersForm::SetProgressBar(QTreeWidgetItem* ip_row, const QString& i_text, int i_value)
{
    auto* lp_bar =
        qobject_cast<QProgressBar*>(ip_row->treeWidget()->itemWidget(ip_row, progressColumn));
    if (!lp_bar)
    {
        // The bar takes over from a finished row's text.
        ip_row->setText(progressColumn, QString());
        lp_bar = new QProgressBar();
        lp_bar->setMaximumHeight(14);
        ip_row->treeWidget()->setItemWidget(ip_row, progressColumn, lp_bar);
    }
    lp_bar->setFormat(i_text);
    lp_bar->setValue(i_value);
}

// ---- Progress ----

void TransfersForm::ShowProgress(Side& i_side, ItemPtr i_entry, qint64 i_size)
{
    QTreeWidgetItem* lp_row = RowOf(i_entry[i_side.mp_fileNode]);
    if (!lp_row)
        return;
    const qint64 l_position = TransferFigures::Position(i_entry);
    const int l_speed = TransferFigures::BytesPerSecond(i_entry);
    lp_row->setText(
        etaColumn,
        TimeLeftText(l_speed > 0 ? std::max<qint64>(i_size - l_position, 0) / l_speed : 0));
    // A file of size 0 is whole once complete and empty before.
    const double l_percent =
        i_size > 0 ? Percent(l_position, i_size)
                   : (i_entry[i_side.mp_statusType].AsString() == "complete" ? 100.0 : 0.0);
    SetProgressBar(lp_row, ProgressText(l_position, l_percent), int(l_percent));
    QTreeWidgetItem* lp_folderRow = lp_row->parent();
    QTreeWidgetItem* lp_userRow = lp_folderRow ? lp_folderRow->parent() : nullptr;
    QTreeWidgetItem* lp_speedRow = lp_row;
    if (lp_userRow && !lp_userRow->isExpanded())
        lp_speedRow = lp_userRow;
    else if (lp_folderRow && !lp_folderRow->isExpanded())
        lp_speedRow = lp_folderRow;
    lp_speedRow->setText(speedColumn, SpeedText(l_speed));
    ScheduleRefresh(lp_folderRow, Recount::Progress, l_speed);
}

void TransfersForm::OnDownloadProgress(ItemPtr i_entry)
{
    ShowProgress(m_downloads, i_entry, i_entry["file_size"].AsInt64());
}

void TransfersForm::OnUploadProgress(ItemPtr i_entry)
{
    ShowProgress(m_uploads, i_entry, i_entry["shared_file"]["shared_file_size"].AsInt64());
}

void TransfersForm::OnDownloadPlaceInLine(Item* ip_entry)
{
    ItemPtr l_entry(ip_entry);
    if (QTreeWidgetItem* lp_row = DownloadRow(l_entry))
        lp_row->setText(placeColumn, FromUtf8(l_entry["place_in_line"].AsString()));
}

void TransfersForm::OnItemExpanded(QTreeWidgetItem* ip_row)
{
    Side& l_side = SideOf(ip_row);
    if (ListItem(ip_row)->Entry())
        return;
    for (int l_column : {statusColumn, progressColumn, etaColumn, speedColumn})
        ip_row->setText(l_column, QString());
    if (QWidget* lp_bar = l_side.mp_list->itemWidget(ip_row, progressColumn))
    {
        l_side.mp_list->removeItemWidget(ip_row, progressColumn);
        lp_bar->deleteLater();
    }
}

void TransfersForm::OnItemCollapsed(QTreeWidgetItem* ip_row)
{
    Side& l_side = SideOf(ip_row);
    if (ListItem(ip_row)->Entry())
        return;
    ip_row->setText(statusColumn, QString::fromStdString(AggregateStatus(l_side, ip_row)));
    // Finished and stopped downloads get no progress report that would bring the totals back; the
    // count costs what the status above did.
    ShowTotals(l_side, ip_row, Recount::Totals, 0);
}

void TransfersForm::OnUserOnline(Item* ip_user)
{
    if (QTreeWidgetItem* lp_row = RowOf(ItemPtr(ip_user)[m_downloads.mp_userNode]))
        lp_row->setIcon(0, m_onlineIcon);
}

void TransfersForm::OnUserOffline(Item* ip_user)
{
    if (QTreeWidgetItem* lp_row = RowOf(ItemPtr(ip_user)[m_downloads.mp_userNode]))
        lp_row->setIcon(0, m_offlineIcon);
}

// ---- Settings ----

void TransfersForm::OnUploadSlotsSpinValueChanged(int i_value)
{
    transferQueueManager->SetUploadSlots(i_value);
}

void TransfersForm::OnUploadSpeedLimitSpinValueChanged(int i_value)
{
    mp_uploadLimit->setChecked(i_value != 0);
    transferQueueManager->SetUploadSpeedLimit(i_value);
}

void TransfersForm::OnUploadSpeedLimitCheckStateChanged(int i_state)
{
    if (i_state == checkedState || i_state == uncheckedState)
        transferQueueManager->EnableUploadSpeedLimit(i_state == checkedState);
}

namespace
{
void StoreClearOption(const char* ip_key, int i_state)
{
    if (i_state == checkedState)
        SetSetting(ip_key, "yes");
    else if (i_state == uncheckedState)
        ItemPtr(d["global"]->GetItem(ip_key)).Disconnect("global_value");
}
} // namespace

void TransfersForm::OnClearDownloadsCheckStateChanged(int i_state)
{
    StoreClearOption("clear_complete_downloads", i_state);
}

void TransfersForm::OnClearUploadsCheckStateChanged(int i_state)
{
    StoreClearOption("clear_complete_aborted_uploads", i_state);
}

void TransfersForm::OnCurrentTabChanged(int) {}

// ---- Actions ----

void TransfersForm::ToggleExpansion(Side& i_side, bool i_users)
{
    bool& l_flag = i_users ? i_side.m_expandUsers : i_side.m_expandFolders;
    l_flag = !l_flag;
    const QString l_id =
        QString::fromLatin1(IsDownloadSide(i_side) ? "expand_download_%1" : "expand_upload_%1")
            .arg(i_users ? QStringLiteral("users") : QStringLiteral("folders"));
    actionBar->SetWidgetActionText(
        i_side.mp_list, l_id,
        QStringLiteral("Expand %1 [%2]")
            .arg(i_users ? QStringLiteral("Users") : QStringLiteral("Folders"),
                 l_flag ? QStringLiteral("on") : QStringLiteral("off")));
    for (int l_user = 0; l_user < i_side.mp_list->topLevelItemCount(); ++l_user)
    {
        QTreeWidgetItem* lp_user = i_side.mp_list->topLevelItem(l_user);
        if (i_users)
            lp_user->setExpanded(l_flag);
        else
            for (int l_folder = 0; l_folder < lp_user->childCount(); ++l_folder)
                lp_user->child(l_folder)->setExpanded(l_flag);
    }
}

void TransfersForm::OnActionBarTriggered(std::string i_id)
{
    if (i_id == "expand_download_folders")
        ToggleExpansion(m_downloads, false);
    else if (i_id == "expand_download_users")
        ToggleExpansion(m_downloads, true);
    else if (i_id == "expand_upload_folders")
        ToggleExpansion(m_uploads, false);
    else if (i_id == "expand_upload_users")
        ToggleExpansion(m_uploads, true);
    else if (i_id == "clear_complete_downloads")
    {
        const ItemSet l_complete =
            ItemPtr(d["download_entry_status"]->GetItem("complete")).GetItems("download_entry");
        RemoveEntries(m_downloads, std::vector<Item*>(l_complete.begin(), l_complete.end()));
    }
    else if (i_id == "clear_complete_and_aborted_uploads")
    {
        std::vector<Item*> l_finished;
        for (Item* lp_entry : d["upload_entry"]->GetItems())
        {
            ItemPtr l_status = ItemPtr(lp_entry)["upload_entry_status"];
            if (!l_status.IsConnected("is_active") && l_status.AsString() != "queued")
                l_finished.push_back(lp_entry);
        }
        RemoveEntries(m_uploads, l_finished);
    }
    else if (i_id == "remove_download")
        DeleteSelectedDownloads();
    else if (i_id == "dl_add_user")
    {
        const QList<QTreeWidgetItem*> l_selected = mp_downloadsList->selectedItems();
        if (QTreeWidgetItem* lp_userRow =
                l_selected.isEmpty() ? nullptr : GetDownloadNodeUserNode(l_selected.front()))
            if (ItemPtr l_user = NodeOf(m_downloads.mp_userNode, lp_userRow)["user"])
                l_user.NewItem("in_user_list");
    }
    else if (i_id == "complete_downloads")
    {
        if (!completeDownloadsForm)
        {
            auto* lp_form = new CompleteDownloadsForm(this);
            mp_tabs->addTab(lp_form, QStringLiteral("Complete"));
            lp_form->Init();
        }
        completeDownloadsForm->show();
    }
}

void TransfersForm::EveryHalfMinute()
{
    const QDateTime l_now = Clock::Now();
    if (!SettingIsYes("clear_complete_aborted_uploads"))
        return;
    for (Item* lp_entry : d["upload_entry"]->GetItems())
    {
        ItemPtr l_entry(lp_entry);
        if (l_entry["upload_entry_status"].AsString() == "queued")
            continue;
        const QDateTime l_changed = QDateTime::fromString(
            FromUtf8(l_entry["last_status_change_time"].AsString()), Qt::TextDate);
        const QDateTime l_received = TransferFigures::LastReceiptTime(l_entry);
        QDateTime l_reference = l_changed;
        if (l_received.isValid() && (!l_reference.isValid() || l_received > l_reference))
            l_reference = l_received;
        if (l_reference.isValid() && l_reference.msecsTo(l_now) > uploadIdleMs)
            transferQueueManager->RemoveUpload(l_entry);
    }
}

void TransfersForm::OnDownloadComplete(ItemPtr i_entry)
{
    // The entry may have gone while the signal waited: its address then means nothing.
    if (m_completing.erase(i_entry.operator->()) == 0)
        return;
    if (SettingIsYes("clear_complete_downloads"))
        transferQueueManager->RemoveDownload(i_entry);
}

// ---- Keys, double click, menus ----

void TransfersForm::DeleteSelectedDownloads()
{
    ItemSet l_entries;
    for (QTreeWidgetItem* lp_row : mp_downloadsList->selectedItems())
        l_entries.Add(EntriesUnder(lp_row));
    RemoveEntries(m_downloads, std::vector<Item*>(l_entries.begin(), l_entries.end()));
}

// A row taken from a shown list costs a pass over every open row of the list, so rows taken one
// by one would cost their number times the open rows: a user row all of whose entries go leaves
// the list first, in one change, and its rows then go outside the list.
void TransfersForm::RemoveEntries(Side& i_side, const std::vector<Item*>& i_entries)
{
    std::unordered_map<QTreeWidgetItem*, int> l_goingPerUser;
    for (Item* lp_entry : i_entries)
        if (QTreeWidgetItem* lp_row = RowOf(ItemPtr(lp_entry)[i_side.mp_fileNode]))
            if (lp_row->parent() && lp_row->parent()->parent())
                ++l_goingPerUser[lp_row->parent()->parent()];
    std::vector<QTreeWidgetItem*> l_leaving;
    for (const auto& [lp_user, l_going] : l_goingPerUser)
    {
        int l_files = 0;
        for (int l_folder = 0; l_folder < lp_user->childCount(); ++l_folder)
            l_files += lp_user->child(l_folder)->childCount();
        if (l_files == l_going)
            l_leaving.push_back(lp_user);
    }
    if (int(l_leaving.size()) == i_side.mp_list->topLevelItemCount())
        i_side.mp_list->invisibleRootItem()->takeChildren();
    else
        for (QTreeWidgetItem* lp_user : l_leaving)
            i_side.mp_list->takeTopLevelItem(i_side.mp_list->indexOfTopLevelItem(lp_user));
    m_detachedRows.insert(m_detachedRows.end(), l_leaving.begin(), l_leaving.end());
    for (Item* lp_entry : i_entries)
    {
        if (IsDownloadSide(i_side))
            transferQueueManager->RemoveDownload(lp_entry);
        else
            transferQueueManager->RemoveUpload(lp_entry);
    }
    // The row of an entry that the queue kept comes back.
    for (QTreeWidgetItem* lp_user : std::exchange(m_detachedRows, {}))
    {
        i_side.mp_list->addTopLevelItem(lp_user);
        lp_user->setExpanded(i_side.m_expandUsers);
        for (int l_folder = 0; l_folder < lp_user->childCount(); ++l_folder)
            lp_user->child(l_folder)->setExpanded(i_side.m_expandFolders);
    }
}

void TransfersForm::OnKeyPressedInDownloadList(QKeyEvent* ip_event)
{
    if (ip_event->key() == Qt::Key_Delete)
        DeleteSelectedDownloads();
}

void TransfersForm::OnDownloadListItemDoubleClicked(QTreeWidgetItem* ip_row, int)
{
    if (Item* lp_entry = ListItem(ip_row)->Entry())
        DownloadMenuOptions::OpenFinishedFile(lp_entry);
}

void TransfersForm::OnDownloadsContextMenuRequested(const QPoint& i_point)
{
    QTreeWidgetItem* lp_row = mp_downloadsList->itemAt(i_point);
    if (!lp_row)
        return;
    const std::string l_user =
        NodeOf(m_downloads.mp_userNode, GetDownloadNodeUserNode(lp_row))["user"].AsString();
    QMenu l_menu;
    DownloadMenuOptions l_downloads(&l_menu, GetNodeDownloadEntryItems(lp_row), nullptr);
    UserMenuOptions l_users(&l_menu, l_user, nullptr);
    l_menu.exec(mp_downloadsList->viewport()->mapToGlobal(i_point));
}

void TransfersForm::OnUploadsContextMenuRequested(const QPoint& i_point)
{
    QTreeWidgetItem* lp_row = mp_uploadsList->itemAt(i_point);
    if (!lp_row)
        return;
    const std::string l_user =
        NodeOf(m_uploads.mp_userNode, GetUploadNodeUserNode(lp_row))["user"].AsString();
    QMenu l_menu;
    UserMenuOptions l_users(&l_menu, l_user, nullptr);
    l_menu.exec(mp_uploadsList->viewport()->mapToGlobal(i_point));
}
