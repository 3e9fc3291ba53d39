#include "SearchResultsForm.h"

#include "CellToolTipDelegate.h"
#include "Data.h"
#include "EventToolBar.h"
#include "FilterHelpDialog.h"
#include "GeneralFunctions.h"
#include "Server.h"
#include "UIFunctions.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

namespace
{
const QString g_saveFilter = QStringLiteral("Save Filter");
const QString g_removeFilter = QStringLiteral("Remove Filter");
constexpr int CorrelationsWidth = 150;
// Long enough to let a word be typed, short enough to feel immediate.
constexpr int RefilterDelayMs = 250;
// Replies closer together than this are shown together.
constexpr int ArrivalBatchMs = 100;

} // namespace

SearchResultsForm::SearchResultsForm(std::string i_searchText, bool i_wishListSearch,
                                     QWidget* ip_parent)
    : QWidget(ip_parent), m_searchText(std::move(i_searchText)), m_wishListSearch(i_wishListSearch)
{
    setObjectName(QStringLiteral("SearchResultsForm"));
    resize(631, 394);
    setWindowTitle(QStringLiteral("Form"));
    auto* lp_outer = new QHBoxLayout(this);
    auto* lp_column = new QVBoxLayout();
    lp_outer->addLayout(lp_column);

    mp_splitter = new QSplitter(Qt::Horizontal, this);
    mp_results = new QTreeWidget(mp_splitter);
    mp_results->setObjectName(QStringLiteral("searchResultsTreeWidget"));
    mp_results->setExpandsOnDoubleClick(false);
    mp_results->setHeaderLabel(QStringLiteral("1"));
    mp_results->setSortingEnabled(false);
    mp_correlations = new QTreeWidget(mp_splitter);
    mp_correlations->setObjectName(QStringLiteral("correlationsWidget"));
    QFont l_font = mp_correlations->font();
    l_font.setPointSize(8);
    mp_correlations->setFont(l_font);
    mp_correlations->setRootIsDecorated(false);
    mp_correlations->setHeaderLabel(QStringLiteral("related searches"));
    mp_correlations->hide();
    for (QTreeWidget* lp_tree : {mp_results, mp_correlations})
        ShowCellTextsAsToolTips(lp_tree);
    lp_column->addWidget(mp_splitter);

    auto* lp_row = new QHBoxLayout();
    auto* lp_spacer = new QLabel(this);
    lp_spacer->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    lp_row->addWidget(lp_spacer);
    mp_filterHelp = new QPushButton(QStringLiteral("Filter Help"), this);
    mp_filterHelp->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    lp_row->addWidget(mp_filterHelp);
    mp_savedFilters = new QComboBox(this);
    mp_savedFilters->setFixedWidth(150);
    mp_savedFilters->addItem(QStringLiteral("-- saved filters"));
    lp_row->addWidget(mp_savedFilters);
    mp_filterEdit = new QLineEdit(this);
    mp_filterEdit->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    mp_filterEdit->setMinimumWidth(200);
    lp_row->addWidget(mp_filterEdit);
    mp_clear = new QPushButton(QStringLiteral("Clear"), this);
    mp_clear->setFixedWidth(60);
    lp_row->addWidget(mp_clear);
    mp_saveFilter = new QPushButton(g_saveFilter, this);
    mp_saveFilter->setFixedWidth(90);
    lp_row->addWidget(mp_saveFilter);
    lp_column->addLayout(lp_row);

    mp_refilterTimer = new QTimer(this);
    mp_refilterTimer->setSingleShot(true);
    mp_refilterTimer->setInterval(RefilterDelayMs);
    mp_arrivalTimer = new QTimer(this);
    mp_arrivalTimer->setSingleShot(true);
    mp_arrivalTimer->setInterval(ArrivalBatchMs);

    connect(mp_filterHelp, &QPushButton::clicked, this, &SearchResultsForm::OnFilterHelpClicked);
    connect(mp_saveFilter, &QPushButton::clicked, this, &SearchResultsForm::OnSaveFilterClicked);
    connect(mp_filterEdit, &QLineEdit::textChanged, this, &SearchResultsForm::OnFilterTextChanged);
    connect(mp_savedFilters, &QComboBox::currentIndexChanged, this,
            &SearchResultsForm::OnSavedFiltersBoxIndexChanged);
    connect(mp_clear, &QPushButton::clicked, this, &SearchResultsForm::OnClearFilterClicked);

    if (m_wishListSearch)
        return;
    PopulateCorrelations();
    if (gp_server)
        connect(gp_server, &Server::SearchCorrelations, this,
                &SearchResultsForm::OnSearchCorrelations);
}

SearchResultsForm::~SearchResultsForm() = default;

void SearchResultsForm::Init()
{
    RegisterWidgetForTabFocus(mp_results, 2);
    Type* lp_type = d["saved_filter"];
    for (Item* lp_item : lp_type->GetItems())
        mp_savedFilters->addItem(FromUtf8(ItemPtr(lp_item).AsString()));
    lp_type->m_itemAddedEvent.AddHandler(
        new EventHandler<SearchResultsForm, Item*>(this, &SearchResultsForm::OnSavedFilterAdded));
    lp_type->m_itemRemovedEvent.AddHandler(
        new EventHandler<SearchResultsForm, Item*>(this, &SearchResultsForm::OnSavedFilterRemoved));
}

void SearchResultsForm::SetSortingParamters(int i_column, Qt::SortOrder i_order)
{
    m_sortColumn = i_column;
    m_sortOrder = i_order;
}

const FilterParser& SearchResultsForm::Filter()
{
    const QString l_text = mp_filterEdit->text();
    if (!m_filterParsed || l_text != m_filterText)
    {
        m_filter = FilterParser();
        m_filter.Parse(l_text);
        m_filterText = l_text;
        m_filterParsed = true;
    }
    return m_filter;
}

void SearchResultsForm::SetVisibleFiles(QTreeWidgetItem* ip_folder, int i_count)
{
    m_visibleFiles.insert(ip_folder, i_count);
}

QString SearchResultsForm::FilterKey(const QString& i_text)
{
    return i_text.simplified().toLower();
}

void SearchResultsForm::Sort()
{
    mp_results->sortByColumn(m_sortColumn, m_sortOrder);
}

void SearchResultsForm::OnFilterHelpClicked()
{
    if (!filterHelpDialog)
        new FilterHelpDialog(this);
    filterHelpDialog->show();
}

void SearchResultsForm::OnSearchCorrelations(std::string i_searchText)
{
    if (i_searchText == m_searchText)
        PopulateCorrelations();
}

void SearchResultsForm::OnFilterTextChanged(QString i_text)
{
    const bool l_saved =
        d["saved_filter"]->HasItem(Value(FilterKey(i_text).toStdString())) != nullptr;
    if (l_saved && mp_saveFilter->text() == g_saveFilter)
        mp_saveFilter->setText(g_removeFilter);
    else if (!l_saved && mp_saveFilter->text() == g_removeFilter)
        mp_saveFilter->setText(g_saveFilter);
}

void SearchResultsForm::OnSaveFilterClicked()
{
    const std::string l_key = FilterKey(mp_filterEdit->text()).toStdString();
    Type* lp_type = d["saved_filter"];
    if (ItemPtr l_saved = lp_type->HasItem(Value(l_key)))
        l_saved.Remove();
    else if (!l_key.empty())
        lp_type->NewItem(Value(l_key));
}

void SearchResultsForm::OnSavedFiltersBoxIndexChanged(int i_index)
{
    if (i_index <= 0)
        return;
    mp_filterEdit->setText(mp_savedFilters->itemText(i_index));
    mp_savedFilters->setCurrentIndex(0);
}

void SearchResultsForm::OnClearFilterClicked()
{
    mp_filterEdit->clear();
}

void SearchResultsForm::PopulateCorrelations()
{
    mp_correlations->clear();
    mp_correlations->hide();
    ItemPtr l_text = d["search_request_text"]->GetItem(Value(m_searchText));
    std::vector<std::pair<long long, QString>> l_ranked;
    for (Item* lp_correlation : l_text.GetItems("search_correlation"))
    {
        ItemPtr l_correlation(lp_correlation);
        ItemPtr l_rank = l_correlation["correlation_rank"];
        if (!l_rank)
            continue;
        l_ranked.emplace_back(l_rank.AsInt64(),
                              FromUtf8(l_correlation["correlation_text"].AsString()));
    }
    if (l_ranked.empty())
        return;
    std::stable_sort(l_ranked.begin(), l_ranked.end(),
                     [](const auto& i_a, const auto& i_b) { return i_a.first > i_b.first; });
    for (const auto& l_entry : l_ranked)
    {
        // The server's text shows marked; a click searches for the text itself.
        auto* lp_row = new QTreeWidgetItem(mp_correlations, QStringList{ShownText(l_entry.second)});
        lp_row->setData(0, CorrelationTextRole, l_entry.second);
    }
    mp_correlations->show();
    mp_splitter->setSizes({width() - CorrelationsWidth, CorrelationsWidth});
}

void SearchResultsForm::OnSavedFilterAdded(Item* ip_item)
{
    mp_savedFilters->addItem(FromUtf8(ItemPtr(ip_item).AsString()));
    OnFilterTextChanged(mp_filterEdit->text());
}

void SearchResultsForm::OnSavedFilterRemoved(Item* ip_item)
{
    const int l_index = mp_savedFilters->findText(FromUtf8(ItemPtr(ip_item).AsString()),
                                                  Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (l_index > 0)
        mp_savedFilters->removeItem(l_index);
    OnFilterTextChanged(mp_filterEdit->text());
}

void SearchResultsForm::showEvent(QShowEvent* ip_event)
{
    QWidget::showEvent(ip_event);
    if (eventToolBar)
        eventToolBar->RemoveEvent(this);
}
