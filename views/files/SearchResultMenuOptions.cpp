#include "SearchResultMenuOptions.h"

#include "Data.h"
#include "Item.h"
#include "ItemSet.h"
#include "ShareForm.h"
#include "SharesForm.h"
#include "TransferQueueManager.h"

#include <QIcon>
#include <QMenu>
#include <QTreeWidgetItem>

namespace
{
const QString g_downloadIcon = QStringLiteral(":/icons/download_icon");

// The reply that a result came in and the search it answers.
ItemPtr ReplyOf(ItemPtr i_result)
{
    return i_result["search_results"];
}

std::string SearchTextOf(ItemPtr i_result)
{
    return ReplyOf(i_result)["search_request"]["search_request_text"].AsString();
}

} // namespace

SearchResultMenuOptions::SearchResultMenuOptions(QMenu* ip_menu, QTreeWidgetItem* ip_row,
                                                 QObject* ip_parent)
    : QObject(ip_parent), mp_row(ip_row)
{
    // The row's kind comes from its ties, never from what its cells show.
    ItemPtr l_fileNode = RowNode("search_result_node");
    ItemPtr l_folderNode = RowNode("search_results_folder_node");
    m_fileNodeSerial = l_fileNode ? l_fileNode->Serial() : 0;
    m_folderNodeSerial = l_folderNode ? l_folderNode->Serial() : 0;
    ItemPtr l_result;
    if (l_fileNode)
    {
        l_result = l_fileNode["search_result"];
        m_folder = l_result["search_result_file_folder"].AsString();
    }
    else if (l_folderNode)
    {
        // Every file row under a folder row answers the tab's search from the row's user; the
        // folder text alone could be another user's or another search's.
        m_folder = l_folderNode["search_result_file_folder"].AsString();
        l_result = l_folderNode["search_result_node"]["search_result"];
    }
    else
        return;
    m_user = ReplyOf(l_result)["user"].AsString();
    m_searchText = SearchTextOf(l_result);

    if (!ip_menu->actions().isEmpty())
        ip_menu->addSeparator();
    if (l_fileNode)
        connect(ip_menu->addAction(QIcon(g_downloadIcon), QStringLiteral("Download File")),
                &QAction::triggered, this, &SearchResultMenuOptions::OnDownloadFile);
    connect(ip_menu->addAction(QIcon(g_downloadIcon), QStringLiteral("Download Folder")),
            &QAction::triggered, this, &SearchResultMenuOptions::OnDownloadFolder);
    connect(ip_menu->addAction(QIcon(QStringLiteral(":/icons/browse_icon")),
                               QStringLiteral("Browse Folder")),
            &QAction::triggered, this, &SearchResultMenuOptions::OnBrowseFolder);
}

SearchResultMenuOptions::~SearchResultMenuOptions() = default;

ItemPtr SearchResultMenuOptions::RowNode(const char* ip_type) const
{
    if (!mp_row)
        return nullptr;
    return d[ip_type]->HasItem(Value(mp_row));
}

ItemPtr SearchResultMenuOptions::RowNode(const char* ip_type, std::uint64_t i_serial) const
{
    ItemPtr l_node = RowNode(ip_type);
    return l_node && l_node->Serial() == i_serial ? l_node : ItemPtr();
}

int SearchResultMenuOptions::DownloadResults(const ItemSet& i_results,
                                             const std::string& i_searchText)
{
    if (!transferQueueManager)
        return 0;
    ItemPtr l_text;
    if (!i_searchText.empty())
        l_text = d["search_request_text"]->GetItem(i_searchText);
    int l_queued = 0;
    for (Item* lp_result : i_results.SortAlphabeticBy("search_result_file_name", true))
    {
        ItemPtr l_result = lp_result;
        const std::string l_user = ReplyOf(l_result)["user"].AsString();
        const std::string l_name = l_result["search_result_file_name"].AsString();
        // A reply may name no file or come from no user: there is nothing to ask anyone for.
        if (l_user.empty() || l_name.empty())
            continue;
        ItemPtr l_download = transferQueueManager->AddDownload(
            l_user, l_name, l_result["search_result_file_folder"].AsString(),
            l_result["file_size"].AsInt64(), 0);
        if (l_text)
            l_download += l_text;
        if (QTreeWidgetItem* lp_row = l_result["search_result_node"].AsPtr<QTreeWidgetItem>())
            lp_row->setIcon(FileColumn, QIcon(g_downloadIcon));
        ++l_queued;
    }
    return l_queued;
}

void SearchResultMenuOptions::OnDownloadFile()
{
    ItemPtr l_result = RowNode("search_result_node", m_fileNodeSerial)["search_result"];
    if (!l_result)
        return;
    ItemSet l_results;
    l_results.insert(l_result);
    DownloadResults(l_results, m_searchText);
}

void SearchResultMenuOptions::OnDownloadFolder()
{
    ItemPtr l_folderNode = RowNode("search_results_folder_node", m_folderNodeSerial);
    if (!l_folderNode)
        l_folderNode =
            RowNode("search_result_node", m_fileNodeSerial)["search_results_folder_node"];
    if (!l_folderNode)
        return;
    // Exactly the file rows listed under the folder row in this tab.
    ItemSet l_results;
    for (Item* lp_fileNode : l_folderNode.GetItems("search_result_node"))
        ItemPtr(lp_fileNode).GetItems("search_result", l_results);
    DownloadResults(l_results, m_searchText);
}

void SearchResultMenuOptions::OnBrowseFolder()
{
    if (m_user.empty() || !sharesForm)
        return;
    if (ShareForm* lp_page = sharesForm->OpenShareBrowse(m_user))
        lp_page->BrowseToFolder(m_folder);
}
