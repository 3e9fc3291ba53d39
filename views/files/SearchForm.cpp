#include "SearchForm.h"

#include "ActionSetToolBar.h"
#include "CellToolTipDelegate.h"
#include "Data.h"
#include "DataSaver.h"
#include "DelayedInvoker.h"
#include "EventToolBar.h"
#include "FilterParser.h"
#include "GeneralFunctions.h"
#include "PeerMessenger.h"
#include "SearchResultListItem.h"
#include "SearchResultMenuOptions.h"
#include "SearchResultsForm.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "SizeManager.h"
#include "StoreFunctions.h"
#include "TabWidget.h"
#include "ToolTips.h"
#include "TransferQueueManager.h"
#include "UIFunctions.h"
#include "UserMenuOptions.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>
#include <utility>

namespace
{
constexpr int FreeColumn = 1;
constexpr int SpeedColumn = 2;
constexpr int FolderColumn = 3;
constexpr int FileColumn = 4;
constexpr int SizeColumn = 5;
constexpr int AttributesColumn = 6;
constexpr int SortDelayMs = 1000;
constexpr std::size_t MaxRowsPerTurn = 5000;
const QString g_downloadIcon = QStringLiteral(":/icons/download_icon");
const QString g_searchIcon = QStringLiteral(":/icons/search_icon");
const QString g_wishListIcon = QStringLiteral(":/icons/wishlist_icon");

ItemPtr NodeOf(const char* ip_type, const void* ip_object)
{
    return TypeOf(ip_type)->HasItem(Value(ip_object));
}

template <typename T> T* RowOf(ItemPtr i_node)
{
    return i_node ? i_node.AsPtr<T>() : nullptr;
}

void DeclareTypes()
{
    d.NewType("search_results_widget", true, false, true);
    d.NewType("expand_folders", false, false, true);
    d.NewType("expand_users", false, false, true);
    d.NewType("search_results_user_node", false, false, true);
    d.NewType("search_results_folder_node", false, false, true);
    d.NewType("search_result_node", false, false, true);
    Relate("search_results_widget", "search_request", One, Many);
    Relate("search_results_widget", "wish_list_item", One, One);
    Relate("search_results_widget", "expand_folders", Many, One);
    Relate("search_results_widget", "expand_users", Many, One);
    Relate("search_results_widget", "search_results_user_node", One, Many, true);
    Relate("search_results_user_node", "user", Many, One);
    Relate("search_results_user_node", "search_results_folder_node", One, Many, true);
    Relate("search_results_folder_node", "search_result_file_folder", Many, One);
    Relate("search_result_node", "search_result", One, One);
    Relate("search_result_node", "search_results_folder_node", Many, One);
    d.NewType("wish_list_node", true, false, true);
    d.NewType("wish_list_node_checkbox", true, false, true);
    Relate("wish_list_item", "wish_list_node", One, One);
    Relate("wish_list_node", "wish_list_node_checkbox", One, One);
    Relate("search_request_text", "download_entry", One, Many);
    d.NewType("saved_filter", true, false, true);
    if (dataSaver)
    {
        // A download started from a search keeps the search's text across restarts.
        dataSaver->AddSavedByConnectionType("search_request_text", "download_entry");
        dataSaver->AddSavedType("saved_filter");
    }
}

// Queues the files, in increasing name order, each linked to the text of its own search.
void QueueDownloads(const ItemSet& i_results)
{
    if (!transferQueueManager)
        return;
    const QIcon l_icon(g_downloadIcon);
    for (Item* lp_result : i_results.SortAlphabeticBy("search_result_file_name", true))
    {
        ItemPtr l_result(lp_result);
        ItemPtr l_results = l_result["search_results"];
        const std::string l_user = l_results["user"].AsString();
        const std::string l_name = l_result["search_result_file_name"].AsString();
        if (l_user.empty() || l_name.empty())
            continue;
        ItemPtr l_entry = transferQueueManager->AddDownload(
            l_user, l_name, l_result["search_result_file_folder"].AsString(),
            l_result["file_size"].AsInt64(), 0);
        if (ItemPtr l_text = l_results["search_request"]["search_request_text"]; l_entry && l_text)
            l_text += l_entry;
        if (auto* lp_row = RowOf<QTreeWidgetItem>(l_result["search_result_node"]))
            lp_row->setIcon(FileColumn, l_icon);
    }
}

void AddFilesOfFolderNode(ItemPtr i_folderNode, ItemSet& i_results)
{
    for (Item* lp_node : i_folderNode.GetItems("search_result_node"))
        if (ItemPtr l_result = ItemPtr(lp_node)["search_result"])
            i_results.insert(l_result);
}
} // namespace

SearchForm::SearchForm(QWidget* ip_parent) : QWidget(ip_parent)
{
    setObjectName(QStringLiteral("SearchForm"));
    resize(757, 447);
    setWindowTitle(QStringLiteral("Form"));
    auto* lp_layout = new QHBoxLayout(this);
    mp_tabWidget = new TabWidget(this);
    lp_layout->addWidget(mp_tabWidget);

    auto* lp_manual = new QWidget();
    auto* lp_manualLayout = new QVBoxLayout(lp_manual);
    auto* lp_box = new QHBoxLayout();
    mp_searchEdit = new QLineEdit(lp_manual);
    mp_searchEdit->setObjectName(QStringLiteral("searchEdit"));
    mp_searchButton = new QPushButton(QStringLiteral("Search"), lp_manual);
    lp_box->addWidget(mp_searchEdit);
    lp_box->addWidget(mp_searchButton);
    lp_manualLayout->addLayout(lp_box);
    auto* lp_manualSplitter = new QSplitter(Qt::Horizontal, lp_manual);
    mp_searchTabs = new TabWidget(lp_manualSplitter);
    lp_manualLayout->addWidget(lp_manualSplitter);
    mp_tabWidget->addTab(lp_manual, QStringLiteral("Manual Searches"));

    auto* lp_wish = new QWidget();
    auto* lp_wishLayout = new QHBoxLayout(lp_wish);
    mp_wishSplitter = new QSplitter(Qt::Horizontal, lp_wish);
    mp_wishTabs = new TabWidget(mp_wishSplitter);
    mp_wishList = new QTreeWidget(mp_wishSplitter);
    mp_wishList->setObjectName(QStringLiteral("wishList"));
    mp_wishList->setRootIsDecorated(false);
    mp_wishList->setSortingEnabled(true);
    mp_wishList->setHeaderLabel(QStringLiteral("Wish List Item"));
    lp_wishLayout->addWidget(mp_wishSplitter);
    mp_tabWidget->addTab(lp_wish, QStringLiteral("Wish List Searches"));
    mp_tabWidget->setCurrentIndex(0);

    for (TabWidget* lp_tabs : {mp_searchTabs, mp_wishTabs})
    {
        QSizePolicy l_policy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        l_policy.setVerticalStretch(1);
        lp_tabs->setSizePolicy(l_policy);
        lp_tabs->setContextMenuPolicy(Qt::CustomContextMenu);
        lp_tabs->setTabsClosable(true);
    }
    connect(mp_searchEdit, &QLineEdit::returnPressed, this, &SearchForm::OnSearchEntered);
    connect(mp_searchButton, &QPushButton::clicked, this, &SearchForm::OnSearchEntered);
}

SearchForm::~SearchForm() = default;

void SearchForm::Init()
{
    if (gp_server)
        connect(gp_server, &Server::SearchRequested, this, &SearchForm::OnSearchRequest);
    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::SearchResults, this,
                &SearchForm::OnUserSearchResults);
    // Types are the store's for the life of the process; a second page made by a test reuses them.
    if (!d.HasType("search_results_widget"))
        DeclareTypes();
    TypeOf("wish_list_item")
        ->m_itemRemovedEvent.AddHandler(
            new EventHandler<SearchForm, Item*>(this, &SearchForm::OnWishListItemRemoved));
    connect(mp_searchTabs, &QTabWidget::tabCloseRequested, this, &SearchForm::OnTabCloseRequested);
    connect(mp_wishTabs, &QTabWidget::tabCloseRequested, this,
            &SearchForm::OnWishTabCloseRequested);
    if (actionBar)
    {
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this,
                &SearchForm::OnActionBarTriggered);
        static bool s_actionsAdded = false;
        if (!s_actionsAdded)
        {
            s_actionsAdded = true;
            const std::string l_search = ":/icons/search_icon";
            const std::string l_wish = ":/icons/wishlist_icon";
            actionBar->AddSetAction("search_results", "order_by_available", "Order by Available",
                                    l_search, false);
            actionBar->AddSetAction("search_results", "order_by_fastest", "Order by Fastest",
                                    l_search, false);
            actionBar->AddSetAction("search_results", "expand_folders", "Expand Folders", l_search,
                                    false);
            actionBar->AddSetAction("search_results", "expand_users", "Expand Users", l_search,
                                    false);
            actionBar->AddSetAction("search_results", "add_remove_wishlist", "Add to Wishlist",
                                    l_wish, false);
            actionBar->AddSetAction("wish_list", "remove_wish_list_item", "Remove Wish List Search",
                                    l_wish, false);
            actionBar->AddSetAction("wish_list", "enable_all_wish_list_items",
                                    "Enable All Wish List Searches", l_wish, false);
            actionBar->AddSetAction("wish_list", "disable_all_wish_list_items",
                                    "Disable All Wish List Searches", l_wish, false);
        }
        actionBar->RegisterWidget(mp_wishList, QStringLiteral("wish_list"));
    }
    mp_wishList->setColumnCount(2);
    mp_wishList->setHeaderLabels({QString(), QStringLiteral("Wish List Search")});
    mp_wishList->header()->setSectionResizeMode(QHeaderView::Fixed);
    mp_wishList->setColumnWidth(0, 20);
    mp_wishList->setSortingEnabled(true);
    mp_wishList->sortByColumn(1, Qt::AscendingOrder);
    ShowCellTextsAsToolTips(mp_wishList);
    if (dataSaver)
        dataSaver->AddDataLoadedEventHandler(this);
    RegisterWidgetForTabFocus(mp_searchEdit, 1);
    RegisterWidgetForTabFocus(mp_wishList, 1);
}

void SearchForm::DataLoaded()
{
    for (Item* lp_item : TypeOf("wish_list_item")->GetItems())
        OnWishListItemAdded(lp_item);
    const QList<int> l_sizes{std::max(0, width() - 200), 200};
    mp_wishSplitter->setSizes(l_sizes);
    if (sizeManager)
        sizeManager->RegisterSplitter(QStringLiteral("wish_list_splitter"), mp_wishSplitter,
                                      l_sizes);
}

void SearchForm::OnSearchEntered()
{
    // Blanks alone would search for nothing and open an empty page at each press.
    if (mp_searchEdit->text().trimmed().isEmpty())
        return;
    const std::string l_text = mp_searchEdit->text().toUtf8().toStdString();
    if (gp_server)
    {
        gp_server->FileSearch(l_text, false);
        gp_server->GetSearchCorrelations(l_text);
    }
    mp_searchEdit->clear();
}

void SearchForm::OnSearchRequest(unsigned int i_req, std::string i_search, bool i_wishListSearch)
{
    if (!i_wishListSearch)
        CreateSearchForm(i_req, std::move(i_search), false);
}

SearchResultsForm* SearchForm::CreateSearchForm(unsigned int i_token, std::string i_text,
                                                bool i_wishListSearch)
{
    ItemPtr l_request = TypeOf("search_request")->HasItem(Value(i_token));
    ItemPtr l_wish;
    if (i_wishListSearch)
    {
        l_wish = TypeOf("wish_list_item")->HasItem(Value(i_text));
        if (!l_wish)
            return nullptr;
        if (ItemPtr l_widget = l_wish["search_results_widget"])
        {
            if (l_request)
                l_widget += l_request;
            return RowOf<SearchResultsForm>(l_widget);
        }
    }
    TabWidget* lp_tabs = i_wishListSearch ? mp_wishTabs : mp_searchTabs;
    auto* lp_form = new SearchResultsForm(i_text, i_wishListSearch, lp_tabs);
    QTreeWidget* lp_tree = lp_form->searchResults();
    lp_tree->setColumnCount(7);
    lp_tree->setHeaderLabels({QStringLiteral("User"), QStringLiteral("Free"), QStringLiteral("K/s"),
                              QStringLiteral("Folder"), QStringLiteral("File"),
                              QStringLiteral("Size"), QStringLiteral("Attributes")});
    // Never narrower than the widest usual figure in the tree's font: a number cut short reads as
    // another number ("15..." for 150.0).
    const std::pair<int, const char*> l_columns[] = {{100, ""},
                                                     {40, "0000"},
                                                     {40, "00000.0"},
                                                     {150, ""},
                                                     {170, ""},
                                                     {70, "000,000,000,000"},
                                                     {100, "000 VBR, 00h00m00s"}};
    const int l_margins =
        2 * (lp_tree->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, lp_tree) + 1);
    for (int l_column = 0; l_column < 7; ++l_column)
        lp_tree->setColumnWidth(l_column,
                                std::max(l_columns[l_column].first,
                                         lp_tree->fontMetrics().horizontalAdvance(
                                             QString::fromLatin1(l_columns[l_column].second)) +
                                             l_margins));
    lp_tree->header()->setStretchLastSection(false);
    lp_tree->header()->setSectionsMovable(false);
    lp_tree->header()->setSectionsClickable(false);
    lp_tree->expandAll();

    // Remote text, shown on one line: "&" would otherwise mark a shortcut in the title.
    const QString l_title = ShownText(FromUtf8(i_text));
    const int l_tab =
        lp_tabs->addTab(lp_form, QIcon(i_wishListSearch ? g_wishListIcon : g_searchIcon),
                        EscapeAmpersands(l_title));
    lp_tabs->setTabToolTip(l_tab, PlainToolTip(l_title));
    ItemPtr l_widget = TypeOf("search_results_widget")->NewItem(Value(lp_form));
    if (l_request)
        l_widget += l_request;
    if (i_wishListSearch)
    {
        l_widget += l_wish;
        if (eventToolBar)
            eventToolBar->AddEvent(FromUtf8(i_text), g_wishListIcon, lp_form);
    }
    connect(lp_tree, &QTreeWidget::itemDoubleClicked, this, &SearchForm::OnResultDoubleClicked);
    if (actionBar)
    {
        actionBar->RegisterWidget(lp_form, QStringLiteral("search_results"));
        actionBar->AddWidgetKey(lp_form, QStringLiteral("widget"),
                                FromUtf8(Value(lp_form).AsString()));
        if (i_wishListSearch)
            actionBar->SetWidgetActionText(lp_form, QStringLiteral("add_remove_wishlist"),
                                           QStringLiteral("Remove from Wish List"));
        actionBar->SetWidgetActionText(lp_form, QStringLiteral("order_by_available"),
                                       QStringLiteral("Order by Available [on]"));
        actionBar->SetWidgetActionText(lp_form, QStringLiteral("order_by_fastest"),
                                       QStringLiteral("Order by Fastest"));
        actionBar->SetWidgetActionText(lp_form, QStringLiteral("expand_folders"),
                                       QStringLiteral("Expand Folders [on]"));
        actionBar->SetWidgetActionText(lp_form, QStringLiteral("expand_users"),
                                       QStringLiteral("Expand Users [on]"));
    }
    l_widget += TypeOf("expand_folders")->GetItem(Value("yes"));
    l_widget += TypeOf("expand_users")->GetItem(Value("yes"));
    lp_form->SetSortingParamters(FreeColumn, Qt::DescendingOrder);
    if (!i_wishListSearch)
        FocusWidget(lp_tree);
    lp_tree->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lp_tree, &QTreeWidget::customContextMenuRequested, this,
            &SearchForm::OnSearchResultsContextMenuRequested);
    connect(lp_form->filterEdit(), &QLineEdit::textChanged, this, &SearchForm::OnFilterTextChanged);
    connect(lp_form->RefilterTimer(), &QTimer::timeout, this,
            [this, lp_form] { RefilterTab(lp_form); });
    connect(lp_form->ArrivalTimer(), &QTimer::timeout, this,
            [this, lp_form] { ShowHeldReplies(lp_form); });
    if (sizeManager)
        sizeManager->RegisterTreeWidget(QStringLiteral("search_results"), lp_tree);
    lp_form->Init();
    connect(lp_form->CorrelationsWidget(), &QTreeWidget::itemClicked, this,
            &SearchForm::OnCorrelationClicked);
    return lp_form;
}

SearchResultsForm* SearchForm::GetCurrentSearchResultsForm() const
{
    for (TabWidget* lp_tabs : {mp_searchTabs, mp_wishTabs})
        if (lp_tabs->isVisible())
            return qobject_cast<SearchResultsForm*>(lp_tabs->currentWidget());
    return nullptr;
}

ItemPtr SearchForm::WidgetItemOf(QWidget* ip_form)
{
    return ip_form ? NodeOf("search_results_widget", ip_form) : ItemPtr();
}

void SearchForm::OnUserSearchResults(ItemPtr i_searchResults)
{
    ItemPtr l_request = i_searchResults["search_request"];
    if (!l_request)
        return;
    if (!l_request["search_results_widget"])
    {
        if (!l_request.IsConnected("wishlist_search"))
            return;
        const std::string l_text = l_request["search_request_text"].AsString();
        ItemPtr l_wish = TypeOf("wish_list_item")->HasItem(Value(l_text));
        if (!l_wish || !l_wish.IsConnected("wish_list_item_enabled"))
            return;
        CreateSearchForm(l_request.AsUInt(), l_text, true);
    }
    ItemPtr l_widget = l_request["search_results_widget"];
    auto* lp_form = RowOf<SearchResultsForm>(l_widget);
    if (!lp_form)
        return;
    // A reply right after another waits a little, so that a burst of replies costs the tree one
    // layout instead of one per reply.
    if (lp_form->ArrivalTimer()->isActive())
        lp_form->HoldReply(i_searchResults);
    else
    {
        ShowReply(lp_form, l_widget, i_searchResults);
        lp_form->ArrivalTimer()->start();
    }
    if (delayedInvoker)
        delayedInvoker->Invoke(lp_form, QStringLiteral("1Sort()"), SortDelayMs);
}

void SearchForm::ShowReply(SearchResultsForm* ip_form, ItemPtr i_widget, ItemPtr i_results)
{
    const bool l_expandUsers = i_widget["expand_users"].AsString() == "yes";
    const bool l_expandFolders = i_widget["expand_folders"].AsString() == "yes";
    for (Item* lp_result : i_results.GetItems("search_result"))
        AddResult(ip_form, i_widget, lp_result, l_expandUsers, l_expandFolders);
}

void SearchForm::ShowHeldReplies(SearchResultsForm* ip_form)
{
    const std::vector<ItemPtr> l_replies = ip_form->TakeHeldReplies();
    if (l_replies.empty())
        return;
    ItemPtr l_widget = WidgetItemOf(ip_form);
    // A long burst is shown over several turns, so the page never stalls long on one.
    std::size_t l_shown = 0;
    for (std::size_t l_index = 0; l_index < l_replies.size(); ++l_index)
    {
        if (l_shown >= MaxRowsPerTurn)
        {
            ip_form->HoldReply(l_replies[l_index]);
            continue;
        }
        ShowReply(ip_form, l_widget, l_replies[l_index]);
        l_shown += l_replies[l_index].GetItems("search_result").size();
    }
    if (l_shown >= MaxRowsPerTurn)
        ip_form->ArrivalTimer()->start();
    // Rows shown after the batch's sort ran are ordered by a sort of their own.
    if (delayedInvoker)
        delayedInvoker->Invoke(ip_form, QStringLiteral("1Sort()"), SortDelayMs);
}

void SearchForm::ShowHeldReplies()
{
    for (TabWidget* lp_tabs : {mp_searchTabs, mp_wishTabs})
        for (int l_index = 0; l_index < lp_tabs->count(); ++l_index)
            if (auto* lp_form = qobject_cast<SearchResultsForm*>(lp_tabs->widget(l_index)))
                ShowHeldReplies(lp_form);
}

void SearchForm::OnSearchResult(ItemPtr i_widget, ItemPtr i_result)
{
    if (auto* lp_form = RowOf<SearchResultsForm>(i_widget))
        AddResult(lp_form, i_widget, i_result, i_widget["expand_users"].AsString() == "yes",
                  i_widget["expand_folders"].AsString() == "yes");
}

void SearchForm::AddResult(SearchResultsForm* ip_form, ItemPtr i_widget, ItemPtr i_result,
                           bool i_expandUsers, bool i_expandFolders)
{
    QTreeWidget* lp_tree = ip_form->searchResults();
    ItemPtr l_results = i_result["search_results"];
    ItemPtr l_user = l_results["user"];
    if (!l_user)
        return;

    ItemPtr l_userNode = d.GetItem(i_widget, l_user, "search_results_user_node");
    QTreeWidgetItem* lp_userRow = RowOf<QTreeWidgetItem>(l_userNode);
    if (!lp_userRow)
    {
        lp_userRow = new SearchResultListItem(lp_tree);
        lp_userRow->setText(0, ShownName(l_user.AsString()));
        l_userNode = TypeOf("search_results_user_node")->NewItem(Value(lp_userRow));
        l_userNode += i_widget;
        l_userNode += l_user;
        lp_userRow->setText(
            FreeColumn, l_results["search_results_user_available"].AsString() == "yes"
                            ? QStringLiteral("Y")
                            : FromUtf8(l_results["search_results_uploads_in_queue"].AsString()));
        const long long l_speed = l_results["search_results_user_speed"].AsInt64();
        if (l_speed != 0)
            lp_userRow->setText(SpeedColumn, QStringLiteral("%1").arg(
                                                 static_cast<double>(l_speed) / 1024.0, 0, 'f', 1));
        lp_userRow->setTextAlignment(FreeColumn, Qt::AlignHCenter);
    }

    ItemPtr l_folder = i_result["search_result_file_folder"];
    ItemPtr l_folderNode =
        l_folder ? d.GetItem(l_userNode, l_folder, "search_results_folder_node") : ItemPtr();
    QTreeWidgetItem* lp_folderRow = RowOf<QTreeWidgetItem>(l_folderNode);
    if (!lp_folderRow)
    {
        lp_folderRow = new SearchResultListItem(lp_userRow);
        lp_folderRow->setText(FolderColumn,
                              ShownText(FromUtf8(ReversePathname(l_folder.AsString()))));
        l_folderNode = TypeOf("search_results_folder_node")->NewItem(Value(lp_folderRow));
        l_userNode += l_folderNode;
        if (l_folder)
            l_folderNode += l_folder;
    }

    auto* lp_fileRow = new SearchResultListItem(lp_folderRow);
    lp_fileRow->setText(FileColumn,
                        ShownText(FromUtf8(i_result["search_result_file_name"].AsString())));
    lp_fileRow->setText(SizeColumn, CommafyNumber(i_result["file_size"].AsInt64()));
    lp_fileRow->setText(AttributesColumn, SharedFoldersManager::GetFileItemDisplayString(i_result));
    if (i_expandUsers)
        lp_userRow->setExpanded(true);
    if (i_expandFolders)
        lp_folderRow->setExpanded(true);
    ItemPtr l_fileNode = TypeOf("search_result_node")->NewItem(Value(lp_fileRow));
    l_fileNode += i_result;
    l_fileNode += l_folderNode;
    FilterNewRow(ip_form, lp_fileRow, i_result);
}

void SearchForm::FilterNewRow(SearchResultsForm* ip_form, QTreeWidgetItem* ip_row, ItemPtr i_result)
{
    QTreeWidgetItem* lp_folderRow = ip_row->parent();
    QTreeWidgetItem* lp_userRow = lp_folderRow->parent();
    const FilterParser& l_filter = ip_form->Filter();
    // Kept per folder, so a new row costs the same however many rows the folder holds.
    const int l_visible = ip_form->VisibleFiles(lp_folderRow) + 1;
    const int l_minimum = l_filter.MinFilesInFolder();
    const bool l_passes =
        (l_minimum < 1 || l_visible >= l_minimum) &&
        l_filter.IsMatching(lp_folderRow->text(FolderColumn) + ip_row->text(FileColumn), nullptr,
                            i_result) == FilterParser::Matches;
    if (l_passes)
    {
        ip_form->SetVisibleFiles(lp_folderRow, l_visible);
        lp_folderRow->setHidden(false);
        lp_userRow->setHidden(false);
        return;
    }
    ip_row->setHidden(true);
    if (lp_folderRow->childCount() == 1)
    {
        lp_folderRow->setHidden(true);
        if (lp_userRow->childCount() == 1)
            lp_userRow->setHidden(true);
    }
}

void SearchForm::OnFilterTextChanged(QString)
{
    for (QObject* lp_object = sender(); lp_object; lp_object = lp_object->parent())
        if (auto* lp_form = qobject_cast<SearchResultsForm*>(lp_object))
        {
            // Typing restarts the wait, so a word is applied once, not per key.
            lp_form->RefilterTimer()->start();
            return;
        }
}

void SearchForm::RefilterTab(SearchResultsForm* ip_form)
{
    QTreeWidget* lp_tree = ip_form->searchResults();
    const FilterParser& l_filter = ip_form->Filter();
    const bool l_attributes = l_filter.HasAttributes();
    const int l_minimum = l_filter.MinFilesInFolder();
    Type* lp_nodeType = TypeOf("search_result_node");
    // Hiding rows one by one with updates on would lay out the tree after each.
    lp_tree->setUpdatesEnabled(false);
    for (int l_user = 0; l_user < lp_tree->topLevelItemCount(); ++l_user)
    {
        QTreeWidgetItem* lp_userRow = lp_tree->topLevelItem(l_user);
        bool l_anyFolder = false;
        for (int l_folder = 0; l_folder < lp_userRow->childCount(); ++l_folder)
        {
            QTreeWidgetItem* lp_folderRow = lp_userRow->child(l_folder);
            FilterParser l_residue;
            if (l_filter.IsMatching(lp_folderRow->text(FolderColumn), &l_residue, ItemPtr()) ==
                FilterParser::FilteredOut)
            {
                lp_folderRow->setHidden(true);
                continue;
            }
            int l_shown = 0;
            for (int l_file = 0; l_file < lp_folderRow->childCount(); ++l_file)
            {
                QTreeWidgetItem* lp_fileRow = lp_folderRow->child(l_file);
                ItemPtr l_item = l_attributes
                                     ? lp_nodeType->HasItem(Value(lp_fileRow))["search_result"]
                                     : ItemPtr();
                const bool l_match = l_residue.IsMatching(lp_fileRow->text(FileColumn), nullptr,
                                                          l_item) == FilterParser::Matches;
                lp_fileRow->setHidden(!l_match);
                if (l_match)
                    ++l_shown;
            }
            ip_form->SetVisibleFiles(lp_folderRow, l_shown);
            const bool l_hidden = l_shown == 0 || l_shown < l_minimum;
            lp_folderRow->setHidden(l_hidden);
            l_anyFolder = l_anyFolder || !l_hidden;
        }
        lp_userRow->setHidden(!l_anyFolder);
    }
    lp_tree->setUpdatesEnabled(true);
}

void SearchForm::OnResultDoubleClicked(QTreeWidgetItem* ip_result, int)
{
    ItemSet l_results;
    if (ItemPtr l_userNode = NodeOf("search_results_user_node", ip_result))
    {
        for (Item* lp_folderNode : l_userNode.GetItems("search_results_folder_node"))
            AddFilesOfFolderNode(lp_folderNode, l_results);
    }
    else if (ItemPtr l_folderNode = NodeOf("search_results_folder_node", ip_result))
        AddFilesOfFolderNode(l_folderNode, l_results);
    else if (ItemPtr l_result = NodeOf("search_result_node", ip_result)["search_result"])
        l_results.insert(l_result);
    QueueDownloads(l_results);
}

QTreeWidgetItem* SearchForm::GetNodeUserNode(QTreeWidgetItem* ip_row)
{
    if (NodeOf("search_results_user_node", ip_row))
        return ip_row;
    if (NodeOf("search_results_folder_node", ip_row))
        return ip_row->parent();
    return ip_row->parent() ? ip_row->parent()->parent() : nullptr;
}

void SearchForm::OnSearchResultsContextMenuRequested(QPoint i_point)
{
    auto* lp_tree = qobject_cast<QTreeWidget*>(sender());
    if (!lp_tree)
        return;
    QTreeWidgetItem* lp_row = lp_tree->itemAt(i_point);
    QTreeWidgetItem* lp_userRow = lp_row ? GetNodeUserNode(lp_row) : nullptr;
    if (!lp_userRow)
        return;
    auto lp_menu = std::make_unique<QMenu>();
    SearchResultMenuOptions l_result(lp_menu.get(), lp_row);
    // The row's user as the store ties it: the shown name may not give the bytes back.
    UserMenuOptions l_user(lp_menu.get(),
                           NodeOf("search_results_user_node", lp_userRow)["user"].AsString());
    lp_menu->exec(lp_tree->viewport()->mapToGlobal(i_point));
}

void SearchForm::OnCorrelationClicked(QTreeWidgetItem* ip_item, int)
{
    if (ip_item)
        mp_searchEdit->setText(ip_item->data(0, SearchResultsForm::CorrelationTextRole).toString());
}

void SearchForm::OnTabCloseRequested(int i_tabIndex)
{
    CloseTab(mp_searchTabs, i_tabIndex);
}

void SearchForm::OnWishTabCloseRequested(int i_tabIndex)
{
    CloseTab(mp_wishTabs, i_tabIndex);
}

void SearchForm::CloseTab(TabWidget* ip_tabs, int i_tabIndex)
{
    QWidget* lp_page = ip_tabs->widget(i_tabIndex);
    ItemPtr l_widget = WidgetItemOf(lp_page);
    if (!l_widget)
        return;
    const ItemSet l_requests = l_widget.GetItems("search_request");
    l_widget.Remove();
    ip_tabs->removeTab(i_tabIndex);
    // Deleted now, not later: a pending sort goes with it and a new page may take its address.
    delete lp_page;
    for (Item* lp_request : l_requests)
    {
        for (Item* lp_results : ItemPtr(lp_request).GetItems("search_results"))
            ItemPtr(lp_results).Remove();
        ItemPtr(lp_request).Remove();
    }
    d.RemoveDisconnectedItems();
}

void SearchForm::OnActionBarTriggered(std::string i_action)
{
    if (i_action == "expand_folders" || i_action == "expand_users" ||
        i_action == "order_by_available" || i_action == "order_by_fastest")
    {
        if (!actionBar)
            return;
        bool l_ok = false;
        const quintptr l_address = actionBar->GetKey(QStringLiteral("widget")).toULongLong(&l_ok);
        if (!l_ok)
            return;
        // Only a page that still exists has a widget item with its address.
        if (ItemPtr l_widget = TypeOf("search_results_widget")
                                   ->HasItem(Value(static_cast<unsigned long long>(l_address))))
            ApplyTabAction(RowOf<SearchResultsForm>(l_widget), i_action);
        return;
    }
    if (i_action == "remove_wish_list_item")
    {
        std::vector<ItemPtr> l_items;
        for (QTreeWidgetItem* lp_row : mp_wishList->selectedItems())
            if (ItemPtr l_item = NodeOf("wish_list_node", lp_row)["wish_list_item"])
                l_items.push_back(l_item);
        for (ItemPtr l_item : l_items)
            l_item.Remove();
        return;
    }
    if (i_action == "enable_all_wish_list_items" || i_action == "disable_all_wish_list_items")
    {
        const bool l_enable = i_action == "enable_all_wish_list_items";
        for (Item* lp_item : TypeOf("wish_list_item")->GetItems())
            if (auto* lp_box =
                    RowOf<QCheckBox>(ItemPtr(lp_item)["wish_list_node"]["wish_list_node_checkbox"]))
                lp_box->setChecked(l_enable);
        return;
    }
    if (i_action == "add_remove_wishlist")
    {
        ItemPtr l_widget = WidgetItemOf(GetCurrentSearchResultsForm());
        ItemPtr l_request = l_widget["search_request"];
        if (!l_request)
            return;
        const std::string l_text = l_request["search_request_text"].AsString();
        if (!l_request.IsConnected("wishlist_search"))
            AddWishListItem(l_text);
        else if (ItemPtr l_wish = TypeOf("wish_list_item")->HasItem(Value(l_text)))
            l_wish.Remove();
    }
}

void SearchForm::ApplyTabAction(SearchResultsForm* ip_form, const std::string& i_action)
{
    ItemPtr l_widget = WidgetItemOf(ip_form);
    if (!l_widget)
        return;
    const auto l_text = [ip_form](const char* ip_id, const char* ip_text)
    {
        if (actionBar)
            actionBar->SetWidgetActionText(ip_form, QString::fromLatin1(ip_id),
                                           QString::fromLatin1(ip_text));
    };
    QTreeWidget* lp_tree = ip_form->searchResults();
    if (i_action == "expand_folders" || i_action == "expand_users")
    {
        const bool l_folders = i_action == "expand_folders";
        const char* lp_type = l_folders ? "expand_folders" : "expand_users";
        const bool l_expand = l_widget[lp_type].AsString() == "no";
        l_widget += TypeOf(lp_type)->GetItem(Value(l_expand ? "yes" : "no"));
        if (l_folders)
            l_text(lp_type, l_expand ? "Expand Folders [on]" : "Expand Folders [off]");
        else
            l_text(lp_type, l_expand ? "Expand Users [on]" : "Expand Users [off]");
        for (int l_user = 0; l_user < lp_tree->topLevelItemCount(); ++l_user)
        {
            QTreeWidgetItem* lp_userRow = lp_tree->topLevelItem(l_user);
            if (!l_folders)
                lp_userRow->setExpanded(l_expand);
            else
                for (int l_folder = 0; l_folder < lp_userRow->childCount(); ++l_folder)
                    lp_userRow->child(l_folder)->setExpanded(l_expand);
        }
        return;
    }
    const bool l_fastest = i_action == "order_by_fastest";
    l_text("order_by_available", l_fastest ? "Order by Available" : "Order by Available [on]");
    l_text("order_by_fastest", l_fastest ? "Order by Fastest [on]" : "Order by Fastest");
    ip_form->SetSortingParamters(l_fastest ? SpeedColumn : FreeColumn, Qt::DescendingOrder);
    ip_form->Sort();
}

void SearchForm::AddWishListItem(const std::string& i_text)
{
    Type* lp_type = TypeOf("wish_list_item");
    // The wish list would send a blank entry to the server again and again.
    if (FromUtf8(i_text).trimmed().isEmpty() || lp_type->HasItem(Value(i_text)))
        return;
    ItemPtr l_item = lp_type->GetItem(Value(i_text));
    l_item += TypeOf("wish_list_item_enabled")->GetGlobalNullItem();
    OnWishListItemAdded(l_item);
}

void SearchForm::OnAddToWishListClicked()
{
    AddWishListItem(mp_searchEdit->text().toUtf8().toStdString());
}

void SearchForm::OnWishListItemAdded(Item* ip_item)
{
    ItemPtr l_item(ip_item);
    auto* lp_row = new QTreeWidgetItem(mp_wishList);
    lp_row->setText(1, ShownText(FromUtf8(l_item.AsString())));
    auto* lp_box = new QCheckBox();
    // Opaque, so that the cell's "Y" stays under the box instead of showing beside it.
    lp_box->setBackgroundRole(QPalette::Base);
    lp_box->setAutoFillBackground(true);
    mp_wishList->setItemWidget(lp_row, 0, lp_box);
    lp_row->setTextAlignment(0, Qt::AlignHCenter);
    if (l_item.IsConnected("wish_list_item_enabled"))
    {
        lp_row->setText(0, QStringLiteral("Y"));
        lp_box->setChecked(true);
    }
    ItemPtr l_node = TypeOf("wish_list_node")->NewItem(Value(lp_row));
    l_item += l_node;
    l_node += TypeOf("wish_list_node_checkbox")->NewItem(Value(lp_box));
    connect(lp_box, &QCheckBox::stateChanged, this, &SearchForm::OnWishListItemCheckStateChanged);
}

void SearchForm::OnWishListItemCheckStateChanged(int i_state)
{
    ItemPtr l_node = NodeOf("wish_list_node_checkbox", sender())["wish_list_node"];
    ItemPtr l_item = l_node["wish_list_item"];
    auto* lp_row = RowOf<QTreeWidgetItem>(l_node);
    if (!l_item || !lp_row)
        return;
    if (i_state == Qt::Checked)
    {
        l_item += TypeOf("wish_list_item_enabled")->GetGlobalNullItem();
        lp_row->setText(0, QStringLiteral("Y"));
    }
    else if (i_state == Qt::Unchecked)
    {
        l_item.Disconnect("wish_list_item_enabled");
        lp_row->setText(0, QString());
    }
}

void SearchForm::OnWishListItemRemoved(Item* ip_item)
{
    ItemPtr l_node = ItemPtr(ip_item)["wish_list_node"];
    delete RowOf<QTreeWidgetItem>(l_node);
    l_node["wish_list_node_checkbox"].Remove();
    l_node.Remove();
}

void SearchForm::OnWishListItemEnabled(Item* ip_item)
{
    if (auto* lp_box =
            RowOf<QCheckBox>(ItemPtr(ip_item)["wish_list_node"]["wish_list_node_checkbox"]))
        lp_box->setEnabled(true);
}

void SearchForm::OnWishListItemDisabled(Item* ip_item)
{
    if (auto* lp_box =
            RowOf<QCheckBox>(ItemPtr(ip_item)["wish_list_node"]["wish_list_node_checkbox"]))
        lp_box->setEnabled(false);
}
