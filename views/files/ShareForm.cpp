#include "ShareForm.h"

#include "ActionSetToolBar.h"
#include "CellToolTipDelegate.h"
#include "Data.h"
#include "EventToolBar.h"
#include "FilterHelpDialog.h"
#include "FilterParser.h"
#include "GeneralFunctions.h"
#include "LogPage.h"
#include "PeerMessenger.h"
#include "SharedFoldersManager.h"
#include "StoreFunctions.h"
#include "TransferQueueManager.h"
#include "UIFunctions.h"
#include "ui_ShareForm.h"

#include <QHeaderView>
#include <QIcon>
#include <QStringDecoder>
#include <QTabWidget>
#include <QTreeWidgetItemIterator>

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace
{
const QString g_browseIcon = QStringLiteral(":/icons/browse_icon");
const QString g_downloadIcon = QStringLiteral(":/icons/download_icon");

ItemPtr TieOf(const char* ip_type, QTreeWidgetItem* ip_row)
{
    return ip_row ? d[ip_type]->HasItem(Value(ip_row)) : ItemPtr();
}

void RemoveTie(const char* ip_type, QTreeWidgetItem* ip_row)
{
    if (ItemPtr l_tie = TieOf(ip_type, ip_row))
        l_tie.Remove();
}

// The text shown for a name from the list, which is also what the filter tests.
QString NameText(const std::string& i_name)
{
    return ShownText(FromUtf8(i_name));
}

// Tests file names against filters, decoding each name into one reused buffer: a filter runs
// over every file of a share.
class FileFilter
{
public:
    FileFilter() : mp_nameType(d["user_share_file_name"]) {}

    // Attribute conditions read the file's items; without any the file need not be looked at.
    bool Matches(const FilterParser& i_filter, Item* ip_file)
    {
        const ItemSet* lp_names = ip_file->ConnectedItems(mp_nameType);
        const std::string_view l_bytes = lp_names && !lp_names->empty()
                                             ? std::string_view(lp_names->front()->Value())
                                             : std::string_view();
        // UTF-16 never takes more units than UTF-8 takes bytes.
        m_name.resize(qsizetype(l_bytes.size()));
        QStringDecoder l_decoder(QStringDecoder::Utf8);
        const QChar* lp_end = l_decoder.appendToBuffer(m_name.data(), QByteArrayView(l_bytes));
        m_name.truncate(lp_end - m_name.constData());
        return i_filter.IsMatching(m_name, nullptr, i_filter.HasAttributes() ? ip_file : nullptr) ==
               FilterParser::Matches;
    }

private:
    Type* mp_nameType;
    QString m_name;
};

void SetHidden(QTreeWidgetItem* ip_row, bool i_hidden)
{
    if (ip_row->isHidden() != i_hidden)
        ip_row->setHidden(i_hidden);
}

bool IsShownWithAncestors(QTreeWidgetItem* ip_row)
{
    for (QTreeWidgetItem* lp_row = ip_row; lp_row; lp_row = lp_row->parent())
        if (lp_row->isHidden())
            return false;
    return true;
}
} // namespace

ShareForm::ShareForm(std::string i_user, QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(std::make_unique<Ui_ShareForm>()), m_user(std::move(i_user))
{
    mp_ui->setupUi(this);
    LayOutLines(mp_ui->messageBrowser);
    for (QWidget* lp_widget : std::initializer_list<QWidget*>{
             mp_ui->folderTree, mp_ui->fileList, mp_ui->filterEdit, mp_ui->filterHelpButton})
        lp_widget->hide();

    mp_ui->folderTree->setHeaderLabels({QStringLiteral("Folder")});
    mp_ui->fileList->setHeaderLabels(
        {QStringLiteral("File"), QStringLiteral("Size"), QStringLiteral("Attributes")});
    mp_ui->fileList->setColumnWidth(0, 200);
    mp_ui->fileList->setColumnWidth(1, 70);
    // The stretched last column gives way.
    FitColumnToSizes(mp_ui->fileList, 1);
    mp_ui->fileList->header()->setStretchLastSection(true);
    for (QTreeWidget* lp_tree : {mp_ui->folderTree, mp_ui->fileList})
        ShowCellTextsAsToolTips(lp_tree);

    if (actionBar)
    {
        actionBar->RegisterWidget(mp_ui->folderTree, QStringLiteral("share_folders"));
        actionBar->RegisterWidget(mp_ui->fileList, QStringLiteral("share_files"));
    }

    ItemPtr(d["user_share_tab"]->GetItem(Value(this))) += d["user"]->GetItem(m_user);
    d["user_share"]->m_itemRemovedEvent.AddHandler(
        new EventHandler<ShareForm, Item*>(this, &ShareForm::OnShareRemoved));
    mp_ui->messageBrowser->append(QStringLiteral("Requesting file list..."));
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::ConnectionToUserFailed, this,
                &ShareForm::OnConnectionToUserFailed);

    connect(mp_ui->folderTree, &QTreeWidget::currentItemChanged, this,
            &ShareForm::OnCurrentItemChanged);
    connect(mp_ui->fileList, &QTreeWidget::currentItemChanged, this, &ShareForm::OnFileItemChanged);
    connect(mp_ui->filterEdit, &QLineEdit::textChanged, this, &ShareForm::OnFilterTextChanged);
    connect(mp_ui->filterHelpButton, &QPushButton::clicked, this, &ShareForm::OnFilterHelpClicked);

    m_filterTimer.setSingleShot(true);
    m_filterTimer.setInterval(FilterDelayMs);
    connect(&m_filterTimer, &QTimer::timeout, this, [this] { ApplyFilter(m_pendingFilter); });
}

ShareForm::~ShareForm()
{
    // A tie left behind would be found by a later row or tab at the same address.
    RemoveRowTies();
    if (ItemPtr l_tab = d["user_share_tab"]->HasItem(Value(this)))
        l_tab.Remove();
}

QTreeWidget* ShareForm::FolderTree() const
{
    return mp_ui->folderTree;
}

QTreeWidget* ShareForm::FileList() const
{
    return mp_ui->fileList;
}

void ShareForm::SetShare(ItemPtr i_share)
{
    if (m_share)
    {
        if (i_share != ItemPtr(m_share) && sharedFoldersManager)
            sharedFoldersManager->RemoveUserShare(m_user);
        return;
    }
    m_listArrived = true;
    m_share = i_share;

    const ItemSet* lp_folders = i_share->ConnectedItems(d["user_share_folder"]);
    if (!lp_folders || lp_folders->empty())
    {
        mp_ui->messageBrowser->append(
            QStringLiteral("No files returned. The user is either not sharing any files, or is "
                           "sharing all of their files privately."));
        if (eventToolBar)
            eventToolBar->AddEvent(ShownName(m_user), g_browseIcon, mp_ui->messageBrowser);
        return;
    }

    m_deepestLevel = 0;
    mp_ui->folderTree->setUpdatesEnabled(false);
    // Rows of a list that was removed while shown make way for the new one.
    RemoveRowTies();
    mp_ui->fileList->clear();
    mp_ui->folderTree->clear();
    BuildFolderTree(*lp_folders);
    ItemPtr l_expand = SettingValue("expand_new_shares");
    if (l_expand.IsNull() || l_expand.AsString() == "yes")
        mp_ui->folderTree->expandAll();
    mp_ui->folderTree->setUpdatesEnabled(true);

    if (actionBar)
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this,
                &ShareForm::OnActionBarTriggered, Qt::UniqueConnection);
    m_expandedLevel = 0;
    mp_ui->messageBrowser->hide();
    for (QWidget* lp_widget : std::initializer_list<QWidget*>{
             mp_ui->folderTree, mp_ui->fileList, mp_ui->filterEdit, mp_ui->filterHelpButton})
        lp_widget->show();
    if (eventToolBar)
        eventToolBar->AddEvent(ShownName(m_user), g_browseIcon, mp_ui->folderTree);
    connect(mp_ui->folderTree, &QTreeWidget::itemDoubleClicked, this,
            &ShareForm::OnFolderDoubleClicked, Qt::UniqueConnection);
    connect(mp_ui->fileList, &QTreeWidget::itemDoubleClicked, this, &ShareForm::OnFileDoubleClicked,
            Qt::UniqueConnection);
    if (!m_folderToShow.empty())
        BrowseToFolder(m_folderToShow);
}

void ShareForm::BuildFolderTree(const ItemSet& i_folders)
{
    Type* lp_nameType = d["user_share_folder_name"];
    Type* lp_nodeType = d["user_share_folder_node"];

    // In byte order a parent path comes before the paths below it; equal paths keep the order of
    // the list.
    std::vector<std::pair<std::string, Item*>> l_folders;
    l_folders.reserve(i_folders.size());
    for (Item* lp_folder : i_folders)
    {
        const ItemSet* lp_names = lp_folder->ConnectedItems(lp_nameType);
        l_folders.emplace_back(
            lp_names && !lp_names->empty() ? lp_names->front()->Value() : std::string(), lp_folder);
    }
    std::stable_sort(l_folders.begin(), l_folders.end(),
                     [](const auto& i_a, const auto& i_b) { return i_a.first < i_b.first; });

    struct Placed
    {
        QTreeWidgetItem* mp_row;
        int m_depth;
    };
    // The first folder of a path is the parent of the paths below it.
    std::unordered_map<std::string, Placed> l_rows;
    l_rows.reserve(l_folders.size());
    QList<QTreeWidgetItem*> l_topRows;
    for (const auto& [l_path, lp_folder] : l_folders)
    {
        const std::string l_parentPath = GetParentFolder(l_path);
        QTreeWidgetItem* lp_parentRow = nullptr;
        int l_depth = 0;
        if (l_parentPath != l_path)
            if (auto l_parent = l_rows.find(l_parentPath); l_parent != l_rows.end())
            {
                lp_parentRow = l_parent->second.mp_row;
                l_depth = l_parent->second.m_depth + 1;
                if (l_depth > MaxFolderDepth)
                {
                    lp_parentRow = lp_parentRow->parent();
                    l_depth = MaxFolderDepth;
                }
            }
        QTreeWidgetItem* lp_row = new QTreeWidgetItem;
        lp_row->setText(0, NameText(GetFileName(l_path)));
        if (lp_parentRow)
            lp_parentRow->addChild(lp_row);
        else
            l_topRows.append(lp_row);
        l_rows.emplace(l_path, Placed{lp_row, l_depth});
        m_deepestLevel = std::max(m_deepestLevel, l_depth);
        ItemPtr(lp_nodeType->GetItem(Value(lp_row))) += lp_folder;
    }
    mp_ui->folderTree->addTopLevelItems(l_topRows);
}

ItemPtr ShareForm::FolderOf(QTreeWidgetItem* ip_row) const
{
    return TieOf("user_share_folder_node", ip_row)["user_share_folder"];
}

ItemPtr ShareForm::FileOf(QTreeWidgetItem* ip_row) const
{
    return TieOf("user_share_file_node", ip_row)["user_share_file"];
}

QTreeWidgetItem* ShareForm::RowOfFolder(ItemPtr i_folder) const
{
    for (QTreeWidgetItemIterator l_row(mp_ui->folderTree); *l_row; ++l_row)
        if (FolderOf(*l_row) == i_folder)
            return *l_row;
    return nullptr;
}

void ShareForm::ClearFileList()
{
    for (int l_index = 0; l_index < mp_ui->fileList->topLevelItemCount(); ++l_index)
        RemoveTie("user_share_file_node", mp_ui->fileList->topLevelItem(l_index));
    mp_ui->fileList->clear();
}

void ShareForm::OnCurrentItemChanged(QTreeWidgetItem* ip_current, QTreeWidgetItem*)
{
    FillFileList(ip_current);
}

void ShareForm::OnFileItemChanged(QTreeWidgetItem*, QTreeWidgetItem*) {}

void ShareForm::FillFileList(QTreeWidgetItem* ip_current)
{
    ClearFileList();
    ItemPtr l_folder = FolderOf(ip_current);
    if (!l_folder)
        return;

    // Words found in the names of the folder and those above it are not asked of its files.
    FilterParser l_filter;
    l_filter.Parse(mp_ui->filterEdit->text());
    for (QTreeWidgetItem* lp_row = ip_current; lp_row; lp_row = lp_row->parent())
    {
        FilterParser l_remainder;
        l_filter.IsMatching(lp_row->text(0), &l_remainder, nullptr);
        l_filter = l_remainder;
    }

    const ItemSet* lp_files = l_folder->ConnectedItems(d["user_share_file"]);
    if (!lp_files)
        return;
    Type* lp_nodeType = d["user_share_file_node"];
    FileFilter l_files;
    QList<QTreeWidgetItem*> l_rows;
    for (Item* lp_file : *lp_files)
    {
        if (!l_files.Matches(l_filter, lp_file))
            continue;
        ItemPtr l_file(lp_file);
        QTreeWidgetItem* lp_row = new QTreeWidgetItem;
        lp_row->setText(0, NameText(l_file["user_share_file_name"].AsString()));
        lp_row->setText(1, CommafyNumber(l_file["file_size"].AsInt64()));
        lp_row->setText(2, SharedFoldersManager::GetFileItemDisplayString(l_file));
        ItemPtr(lp_nodeType->GetItem(Value(lp_row))) += l_file;
        l_rows.append(lp_row);
    }
    mp_ui->fileList->addTopLevelItems(l_rows);
}

void ShareForm::OnFilterTextChanged(QString i_text)
{
    m_pendingFilter = i_text;
    m_filterTimer.start();
}

void ShareForm::ApplyFilter(const QString& i_text)
{
    m_filterTimer.stop();
    FilterParser l_filter;
    l_filter.Parse(i_text);
    mp_ui->folderTree->setUpdatesEnabled(false);
    for (int l_index = 0; l_index < mp_ui->folderTree->topLevelItemCount(); ++l_index)
        ApplyFolderRule(mp_ui->folderTree->topLevelItem(l_index), l_filter);
    mp_ui->folderTree->setUpdatesEnabled(true);

    QTreeWidgetItem* lp_current = mp_ui->folderTree->currentItem();
    if (!lp_current)
        return;
    if (IsShownWithAncestors(lp_current))
        FillFileList(lp_current);
    else
        ClearFileList();
}

void ShareForm::ApplyFolderRule(QTreeWidgetItem* ip_top, const FilterParser& i_filter)
{
    Type* lp_fileType = d["user_share_file"];
    FileFilter l_files;
    // A row is shown when the words not in the names above it are in its own name and nothing
    // else is asked, when enough of its own files match what is left, or when a row below shows.
    struct Frame
    {
        QTreeWidgetItem* mp_row;
        FilterParser m_remainder;
        bool m_candidate;
        int m_nextChild;
    };
    const auto l_enter =
        [&](QTreeWidgetItem* ip_row, const FilterParser& i_rowFilter, std::vector<Frame>& io_stack)
    {
        FilterParser l_remainder;
        const int l_result = i_rowFilter.IsMatching(ip_row->text(0), &l_remainder, nullptr);
        if (l_result == FilterParser::FilteredOut)
        {
            SetHidden(ip_row, true);
            return;
        }
        bool l_candidate = l_result != FilterParser::Matches || l_remainder.HasAttributes() ||
                           l_remainder.MinFilesInFolder() != 0;
        if (l_candidate)
            if (ItemPtr l_folder = FolderOf(ip_row))
                if (const ItemSet* lp_files = l_folder->ConnectedItems(lp_fileType))
                {
                    const int l_needed = std::max(1, l_remainder.MinFilesInFolder());
                    int l_matching = 0;
                    for (Item* lp_file : *lp_files)
                        if (l_files.Matches(l_remainder, lp_file) && ++l_matching >= l_needed)
                        {
                            l_candidate = false;
                            break;
                        }
                }
        io_stack.push_back(Frame{ip_row, std::move(l_remainder), l_candidate, 0});
    };

    std::vector<Frame> l_stack;
    l_enter(ip_top, i_filter, l_stack);
    while (!l_stack.empty())
    {
        Frame& l_frame = l_stack.back();
        if (l_frame.m_nextChild < l_frame.mp_row->childCount())
        {
            QTreeWidgetItem* lp_child = l_frame.mp_row->child(l_frame.m_nextChild++);
            const FilterParser l_rowFilter = l_frame.m_remainder;
            l_enter(lp_child, l_rowFilter, l_stack);
            continue;
        }
        const bool l_visible = !l_frame.m_candidate;
        SetHidden(l_frame.mp_row, !l_visible);
        l_stack.pop_back();
        if (l_visible && !l_stack.empty())
            l_stack.back().m_candidate = false;
    }
}

void ShareForm::ExpandAll()
{
    mp_ui->folderTree->expandAll();
    ShowExpandedLevel(0);
}

void ShareForm::CollapseAll()
{
    mp_ui->folderTree->collapseAll();
    ShowExpandedLevel(0);
}

void ShareForm::ShowExpandedLevel(int i_level)
{
    m_expandedLevel = i_level;
    if (actionBar)
        actionBar->SetWidgetActionText(mp_ui->folderTree, QStringLiteral("expand_level"),
                                       i_level == 0
                                           ? QStringLiteral("Expand Level")
                                           : QStringLiteral("Expand Level [%1]").arg(i_level));
}

void ShareForm::ExpandLevel()
{
    if (m_expandedLevel == m_deepestLevel)
        return;
    mp_ui->folderTree->expandToDepth(m_expandedLevel);
    ShowExpandedLevel(m_expandedLevel + 1);
}

bool ShareForm::IsCurrentTab() const
{
    for (QWidget* lp_parent = parentWidget(); lp_parent; lp_parent = lp_parent->parentWidget())
        if (QTabWidget* lp_tabs = qobject_cast<QTabWidget*>(lp_parent))
            return lp_tabs->currentWidget() == this;
    return !m_deleted;
}

void ShareForm::OnActionBarTriggered(std::string i_action)
{
    if (m_deleted || !IsCurrentTab())
        return;
    if (i_action == "download_share_folder")
    {
        for (QTreeWidgetItem* lp_row : mp_ui->folderTree->selectedItems())
            if (ItemPtr l_folder = FolderOf(lp_row))
                DownloadFolder(l_folder);
    }
    else if (i_action == "download_share_file")
    {
        for (QTreeWidgetItem* lp_row : mp_ui->fileList->selectedItems())
            DownloadFile(lp_row);
    }
}

void ShareForm::OnFolderDoubleClicked(QTreeWidgetItem* ip_item, int)
{
    if (ItemPtr l_folder = FolderOf(ip_item))
        DownloadFolder(l_folder);
}

void ShareForm::OnFileDoubleClicked(QTreeWidgetItem* ip_item, int)
{
    DownloadFile(ip_item);
}

void ShareForm::DownloadFile(QTreeWidgetItem* ip_row)
{
    ItemPtr l_file = FileOf(ip_row);
    if (!l_file || !transferQueueManager)
        return;
    ItemPtr l_folder = l_file["user_share_folder"];
    transferQueueManager->AddDownload(
        l_folder["user_share"]["user"].AsString(), l_file["user_share_file_name"].AsString(),
        l_folder["user_share_folder_name"].AsString(), l_file["file_size"].AsInt64(), 0);
    ip_row->setIcon(0, QIcon(g_downloadIcon));
}

void ShareForm::DownloadFolder(ItemPtr i_folder)
{
    if (!transferQueueManager)
        return;
    Type* lp_fileType = d["user_share_file"];
    Type* lp_childType = d["user_share_folder_child"];
    std::unordered_set<Item*> l_queuedFiles;
    // The chosen folder's own files keep only its name; those below it at any depth, two levels.
    std::vector<std::pair<Item*, int>> l_pending{{i_folder, 0}};
    std::unordered_set<Item*> l_seen{i_folder};
    while (!l_pending.empty())
    {
        const auto [lp_folder, l_level] = l_pending.back();
        l_pending.pop_back();
        ItemPtr l_folder(lp_folder);
        const std::string l_user = l_folder["user_share"]["user"].AsString();
        const std::string l_path = l_folder["user_share_folder_name"].AsString();
        if (const ItemSet* lp_files = lp_folder->ConnectedItems(lp_fileType))
            for (Item* lp_file : *lp_files)
            {
                ItemPtr l_file(lp_file);
                transferQueueManager->AddDownload(l_user, l_file["user_share_file_name"].AsString(),
                                                  l_path, l_file["file_size"].AsInt64(), l_level);
                l_queuedFiles.insert(lp_file);
            }
        if (const ItemSet* lp_children = lp_folder->ConnectedItems(lp_childType))
        {
            // Pushed in reverse, so that subfolders are queued in the order of the list.
            std::vector<Item*> l_subfolders;
            for (Item* lp_child : *lp_children)
                if (Item* lp_sub =
                        ItemPtr(lp_child)["user_share_folder_parent"]["user_share_folder"])
                    if (l_seen.insert(lp_sub).second)
                        l_subfolders.push_back(lp_sub);
            for (auto l_sub = l_subfolders.rbegin(); l_sub != l_subfolders.rend(); ++l_sub)
                l_pending.emplace_back(*l_sub, 1);
        }
    }
    for (int l_index = 0; l_index < mp_ui->fileList->topLevelItemCount(); ++l_index)
    {
        QTreeWidgetItem* lp_row = mp_ui->fileList->topLevelItem(l_index);
        if (l_queuedFiles.count(FileOf(lp_row)))
            lp_row->setIcon(0, QIcon(g_downloadIcon));
    }
}

void ShareForm::BrowseToFolder(std::string i_folder)
{
    if (!m_share)
    {
        m_folderToShow = std::move(i_folder);
        return;
    }
    ItemPtr l_name = d["user_share_folder_name"]->HasItem(i_folder);
    if (!l_name)
        return;
    // A list may name one path twice: the first of its folders is the one shown.
    ItemPtr l_folder;
    if (const ItemSet* lp_folders = l_name->ConnectedItems(d["user_share_folder"]))
        for (Item* lp_folder : *lp_folders)
            if (ItemPtr(lp_folder)["user_share"] == ItemPtr(m_share))
            {
                l_folder = lp_folder;
                break;
            }
    QTreeWidgetItem* lp_row = l_folder ? RowOfFolder(l_folder) : nullptr;
    if (!lp_row)
        return;
    mp_ui->folderTree->scrollToItem(lp_row, QAbstractItemView::PositionAtTop);
    mp_ui->folderTree->setCurrentItem(lp_row);
}

void ShareForm::OnConnectionToUserFailed(std::string i_user, std::string i_connectionType)
{
    if (m_listArrived || i_user != m_user || i_connectionType != "P")
        return;
    m_listArrived = true;
    const int l_port = SettingValue("listening_port").AsInt();
    mp_ui->messageBrowser->append(
        QStringLiteral("A connection could not be successfully formed to the user. If this is "
                       "happening to you a lot, <a href=\"%1/porttest.php?port=%2\">Check here</a> "
                       "to make sure that your port is open.")
            .arg(QLatin1String(PortTestAddress))
            .arg(l_port));
    if (eventToolBar)
        eventToolBar->AddEvent(ShownName(m_user), g_browseIcon, mp_ui->messageBrowser);
}

void ShareForm::OnShareRemoved(Item* ip_share)
{
    if (ip_share == m_share)
        m_share = nullptr;
}

void ShareForm::Delete()
{
    if (m_deleted)
        return;
    m_deleted = true;
    m_share = nullptr;
    if (sharedFoldersManager)
        sharedFoldersManager->RemoveUserShare(m_user);
    if (ItemPtr l_tab = d["user_share_tab"]->HasItem(Value(this)))
        l_tab.Remove();
    hide();
    deleteLater();
}

void ShareForm::RemoveRowTies()
{
    for (QTreeWidgetItemIterator l_row(mp_ui->folderTree); *l_row; ++l_row)
        RemoveTie("user_share_folder_node", *l_row);
    for (int l_index = 0; l_index < mp_ui->fileList->topLevelItemCount(); ++l_index)
        RemoveTie("user_share_file_node", mp_ui->fileList->topLevelItem(l_index));
}

void ShareForm::showEvent(QShowEvent* ip_event)
{
    QWidget::showEvent(ip_event);
    if (eventToolBar)
        eventToolBar->RemoveEvent(mp_ui->folderTree);
}

void ShareForm::OnFilterHelpClicked()
{
    if (!filterHelpDialog)
        new FilterHelpDialog(this);
    filterHelpDialog->show();
    filterHelpDialog->raise();
}
