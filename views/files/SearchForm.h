#pragma once

#include "DataHandler.h"
#include "DataLoadedEventHandler.h"
#include "ItemPtr.h"

#include <QPoint>
#include <QWidget>

#include <string>

class FilterParser;
class Item;
class QLineEdit;
class QPushButton;
class QSplitter;
class QTreeWidget;
class QTreeWidgetItem;
class SearchResultsForm;
class TabWidget;

// The Search page: the search box, a page per manual search and per wish-list entry that got
// results while enabled, and the wish list. Replies are routed to the page of their search.
class SearchForm : public QWidget, public DataHandler, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    explicit SearchForm(QWidget* ip_parent = nullptr);
    ~SearchForm() override;

    // Once at start-up, after the services exist and before the data file is loaded.
    void Init();
    void DataLoaded() override;

    QLineEdit* SearchEdit() const { return mp_searchEdit; }
    TabWidget* SearchTabControl() const { return mp_searchTabs; }
    TabWidget* WishListTabControl() const { return mp_wishTabs; }
    QTreeWidget* WishList() const { return mp_wishList; }

    SearchResultsForm* CreateSearchForm(unsigned int i_token, std::string i_text,
                                        bool i_wishListSearch);
    SearchResultsForm* GetCurrentSearchResultsForm() const;
    // Adds one file of a reply to the page of the widget item.
    void OnSearchResult(ItemPtr i_widget, ItemPtr i_result);
    // Shows the replies that wait on every page.
    void ShowHeldReplies();
    // Filters every row of the page with its filter edit's text.
    void RefilterTab(SearchResultsForm* ip_form);
    // The toolbar's per-page actions, for the page given.
    void ApplyTabAction(SearchResultsForm* ip_form, const std::string& i_action);
    static QTreeWidgetItem* GetNodeUserNode(QTreeWidgetItem* ip_row);

    void OnWishListItemAdded(Item* ip_item);
    void OnWishListItemRemoved(Item* ip_item);
    void OnWishListItemEnabled(Item* ip_item);
    void OnWishListItemDisabled(Item* ip_item);

public slots:
    void OnSearchEntered();
    void OnSearchRequest(unsigned int i_req, std::string i_search, bool i_wishListSearch);
    void OnUserSearchResults(ItemPtr i_searchResults);
    void OnTabCloseRequested(int i_tabIndex);
    void OnWishTabCloseRequested(int i_tabIndex);
    void OnActionBarTriggered(std::string i_action);
    void OnWishListItemCheckStateChanged(int i_state);
    void OnAddToWishListClicked();
    void OnResultDoubleClicked(QTreeWidgetItem* ip_result, int i_column);
    void OnSearchResultsContextMenuRequested(QPoint i_point);
    void OnFilterTextChanged(QString i_text);
    void OnCorrelationClicked(QTreeWidgetItem* ip_item, int i_column);

private:
    void ShowReply(SearchResultsForm* ip_form, ItemPtr i_widget, ItemPtr i_results);
    void ShowHeldReplies(SearchResultsForm* ip_form);
    void AddResult(SearchResultsForm* ip_form, ItemPtr i_widget, ItemPtr i_result,
                   bool i_expandUsers, bool i_expandFolders);
    void FilterNewRow(SearchResultsForm* ip_form, QTreeWidgetItem* ip_row, ItemPtr i_result);
    void CloseTab(TabWidget* ip_tabs, int i_tabIndex);
    void AddWishListItem(const std::string& i_text);
    static ItemPtr WidgetItemOf(QWidget* ip_form);

    QLineEdit* mp_searchEdit;
    QPushButton* mp_searchButton;
    TabWidget* mp_tabWidget;
    TabWidget* mp_searchTabs;
    TabWidget* mp_wishTabs;
    QSplitter* mp_wishSplitter;
    QTreeWidget* mp_wishList;
};
