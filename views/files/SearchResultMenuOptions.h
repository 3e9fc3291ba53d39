#pragma once

#include "ItemPtr.h"

#include <QObject>

#include <cstdint>
#include <string>

class ItemSet;
class QMenu;
class QTreeWidgetItem;

// The search-result entries of a results tree's context menu: downloading the file or the folder
// of a row and browsing the row's folder. The view owns the menu and keeps this object for as long
// as it runs the menu; what the entries act on is captured when the menu is built, and a row that
// has gone by the time an entry is picked is not acted on.
class SearchResultMenuOptions : public QObject
{
    Q_OBJECT

public:
    // The results tree column that shows the file name and the queued-download mark.
    static constexpr int FileColumn = 4;

    SearchResultMenuOptions(QMenu* ip_menu, QTreeWidgetItem* ip_row, QObject* ip_parent = nullptr);
    ~SearchResultMenuOptions() override;

    // Queues the results in increasing byte order of their file names, ties each download to the
    // search text (when there is one) and marks the result's own row. A result without a user or
    // a file name is skipped. Returns how many were queued.
    static int DownloadResults(const ItemSet& i_results, const std::string& i_searchText);

public slots:
    void OnDownloadFile();
    void OnDownloadFolder();
    void OnBrowseFolder();

private:
    // The row's tie of that kind, never created; with a serial, only the tie the menu was built
    // on: a row made since may have the gone row's address.
    ItemPtr RowNode(const char* ip_type) const;
    ItemPtr RowNode(const char* ip_type, std::uint64_t i_serial) const;

    QTreeWidgetItem* mp_row;
    std::uint64_t m_fileNodeSerial = 0;
    std::uint64_t m_folderNodeSerial = 0;
    std::string m_searchText;
    std::string m_user;
    std::string m_folder;
};
