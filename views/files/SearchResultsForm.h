#pragma once

#include "DataHandler.h"
#include "FilterParser.h"
#include "ItemPtr.h"

#include <QHash>
#include <QWidget>

#include <string>
#include <utility>
#include <vector>

class Item;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSplitter;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

// The page of one search: its results tree, the related searches the server suggests for its
// text, and the filter row with the saved filters that every page shares.
class SearchResultsForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    // Where a row of the correlations list keeps the related search's own text.
    static constexpr int CorrelationTextRole = Qt::UserRole;

    SearchResultsForm(std::string i_searchText, bool i_wishListSearch, QWidget* ip_parent);
    ~SearchResultsForm() override;

    // Once the search view has set up the tree: fills and follows the saved-filter box.
    void Init();

    QTreeWidget* searchResults() const { return mp_results; }
    QLineEdit* filterEdit() const { return mp_filterEdit; }
    QTreeWidget* CorrelationsWidget() const { return mp_correlations; }
    QComboBox* SavedFiltersBox() const { return mp_savedFilters; }
    QPushButton* SaveFilterButton() const { return mp_saveFilter; }
    QSplitter* Splitter() const { return mp_splitter; }

    const std::string& SearchText() const { return m_searchText; }
    bool IsWishListSearch() const { return m_wishListSearch; }
    void SetSortingParamters(int i_column, Qt::SortOrder i_order);

    // The filter of the edit's current text, parsed once per change of the text.
    const FilterParser& Filter();
    // Files shown under a folder row, kept as rows arrive and are filtered.
    int VisibleFiles(QTreeWidgetItem* ip_folder) const { return m_visibleFiles.value(ip_folder); }
    void SetVisibleFiles(QTreeWidgetItem* ip_folder, int i_count);
    // Fires once typing in the filter edit pauses.
    QTimer* RefilterTimer() const { return mp_refilterTimer; }
    // Runs while replies that arrived shortly after another wait to be shown together: the tree
    // lays out all its rows once per turn of the event loop in which rows were added.
    QTimer* ArrivalTimer() const { return mp_arrivalTimer; }
    void HoldReply(ItemPtr i_results) { m_heldReplies.push_back(i_results); }
    bool HasHeldReplies() const { return !m_heldReplies.empty(); }
    std::vector<ItemPtr> TakeHeldReplies() { return std::exchange(m_heldReplies, {}); }

    static QString FilterKey(const QString& i_text);

public slots:
    void Sort();
    void OnFilterHelpClicked();
    void OnSearchCorrelations(std::string i_searchText);
    void OnFilterTextChanged(QString i_text);
    void OnSaveFilterClicked();
    void OnSavedFiltersBoxIndexChanged(int i_index);
    void OnClearFilterClicked();

public:
    void PopulateCorrelations();
    void OnSavedFilterAdded(Item* ip_item);
    void OnSavedFilterRemoved(Item* ip_item);

protected:
    void showEvent(QShowEvent* ip_event) override;

private:
    QSplitter* mp_splitter;
    QTreeWidget* mp_results;
    QTreeWidget* mp_correlations;
    QPushButton* mp_filterHelp;
    QComboBox* mp_savedFilters;
    QLineEdit* mp_filterEdit;
    QPushButton* mp_clear;
    QPushButton* mp_saveFilter;
    QTimer* mp_refilterTimer;
    QTimer* mp_arrivalTimer;
    std::vector<ItemPtr> m_heldReplies;
    int m_sortColumn = 1;
    Qt::SortOrder m_sortOrder = Qt::DescendingOrder;
    std::string m_searchText;
    bool m_wishListSearch;
    FilterParser m_filter;
    QString m_filterText;
    bool m_filterParsed = false;
    QHash<QTreeWidgetItem*, int> m_visibleFiles;
};
