#pragma once

#include "ItemPtr.h"
#include "ItemSet.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <vector>

class QMenu;

// The download entries of the downloads list's context menu: adds them to a menu the view owns
// for the download entries under the clicked row, and carries out the picked one. The view
// keeps the object for as long as it runs the menu; downloads that go while it is open (cleared,
// answered by a peer, cleaned up) are left out of what the picked entry does.
class DownloadMenuOptions : public QObject
{
    Q_OBJECT

public:
    DownloadMenuOptions(QMenu* ip_menu, ItemSet i_downloads, QObject* ip_parent = nullptr);
    ~DownloadMenuOptions() override;

    // Open the finished file, or the folder where the finished file is or will be, of the
    // download. File and folder names come from other users, so only a path that really lies
    // under the download folder is handed to the desktop; anything else is refused and logged.
    // True when the path was handed over.
    static bool OpenFinishedFile(ItemPtr i_download);
    static bool OpenFinishedFolder(ItemPtr i_download);
    // The same for a local path, "\\" or "/"-separated.
    static bool OpenDownloadedPath(const QString& i_path);

public slots:
    void OnRemoveDownloads();
    void OnRerunSearch();
    void OnOpenFile();
    void OnOpenFolder();

private:
    // A download as the menu saw it. The serial tells the entry from a later one that the store
    // put at the same address.
    struct Captured
    {
        Item* mp_entry;
        std::uint64_t m_serial;
    };

    // The captured downloads that still exist, in the store's order.
    std::vector<ItemPtr> LiveDownloads() const;

    std::vector<Captured> m_downloads;
    QString m_searchText;
};
