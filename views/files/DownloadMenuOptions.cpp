#include "DownloadMenuOptions.h"

#include "GeneralFunctions.h"
#include "Item.h"
#include "Log.h"
#include "Server.h"
#include "StoreFunctions.h"
#include "TransferQueueManager.h"
#include "Type.h"
#include "UIFunctions.h"

#include <QAction>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QMenu>
#include <QUrl>

#include <unordered_map>
#include <vector>

namespace
{
// The path with every link resolved. A path that does not exist yet (the folder of a download
// still running) resolves through its deepest existing ancestor; a dangling link resolves to
// nothing, so it is never followed out.
QString ResolvedPath(const QString& i_path)
{
    QString l_existing = QDir::cleanPath(QFileInfo(i_path).absoluteFilePath());
    QString l_rest;
    while (!QFileInfo::exists(l_existing) && !QFileInfo(l_existing).isSymLink())
    {
        const qsizetype l_slash = l_existing.lastIndexOf(QLatin1Char('/'));
        if (l_slash <= 0)
            return QString();
        l_rest = l_existing.mid(l_slash) + l_rest;
        l_existing.truncate(l_slash);
    }
    const QString l_canonical = QFileInfo(l_existing).canonicalFilePath();
    return l_canonical.isEmpty() ? QString() : l_canonical + l_rest;
}
} // namespace

bool DownloadMenuOptions::OpenDownloadedPath(const QString& i_targetPath)
{
    QString l_path = i_targetPath;
    l_path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const std::string l_setting = SettingValue("download_folder").AsString();
    const QString l_folder = l_setting.empty() ? QString() : ResolvedPath(FromUtf8(l_setting));
    const QString l_resolved = ResolvedPath(l_path);
    const QString l_prefix =
        l_folder.endsWith(QLatin1Char('/')) ? l_folder : l_folder + QLatin1Char('/');
    if (l_folder.isEmpty() || l_resolved.isEmpty() || !l_resolved.startsWith(l_prefix))
    {
        Log(QStringLiteral("Transfer Queue"), 1,
            QStringLiteral("Not opening %1: it is not inside the download folder.")
                .arg(LoggedText(l_path)));
        return false;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(l_path));
    return true;
}

DownloadMenuOptions::DownloadMenuOptions(QMenu* ip_menu, ItemSet i_downloads, QObject* ip_parent)
    : QObject(ip_parent)
{
    if (i_downloads.empty())
        return;
    m_downloads.reserve(i_downloads.size());
    for (Item* lp_download : i_downloads)
        m_downloads.push_back({lp_download, lp_download->Serial()});
    if (!ip_menu->actions().isEmpty())
        ip_menu->addSeparator();
    ItemPtr l_first = i_downloads.front();
    if (m_downloads.size() == 1 && l_first["download_entry_status"].AsString() == "complete")
        connect(ip_menu->addAction(QStringLiteral("Open File")), &QAction::triggered, this,
                &DownloadMenuOptions::OnOpenFile);
    connect(ip_menu->addAction(QStringLiteral("Open Folder")), &QAction::triggered, this,
            &DownloadMenuOptions::OnOpenFolder);
    ip_menu->addSeparator();
    connect(ip_menu->addAction(QIcon(QStringLiteral(":/icons/transfer_icon")),
                               m_downloads.size() == 1 ? QStringLiteral("Remove download")
                                                       : QStringLiteral("Remove downloads")),
            &QAction::triggered, this, &DownloadMenuOptions::OnRemoveDownloads);
    ItemPtr l_search = l_first["search_request_text"];
    if (l_search)
    {
        const std::string l_text = l_search.AsString();
        m_searchText = FromUtf8(l_text);
        connect(ip_menu->addAction(
                    QIcon(QStringLiteral(":/icons/search_icon")),
                    EscapeAmpersands(QStringLiteral("Re-run Search: ") + ShownText(m_searchText))),
                &QAction::triggered, this, &DownloadMenuOptions::OnRerunSearch);
    }
}

DownloadMenuOptions::~DownloadMenuOptions() = default;

bool DownloadMenuOptions::OpenFinishedFile(ItemPtr i_download)
{
    const QString l_path = transferQueueManager->GetDownloadTargetPath(i_download, true);
    return !l_path.isEmpty() && OpenDownloadedPath(l_path);
}

bool DownloadMenuOptions::OpenFinishedFolder(ItemPtr i_download)
{
    const QString l_folder = transferQueueManager->GetDownloadTargetFolder(i_download, true);
    return !l_folder.isEmpty() && OpenDownloadedPath(l_folder);
}

void DownloadMenuOptions::OnRemoveDownloads()
{
    for (ItemPtr l_download : LiveDownloads())
        transferQueueManager->RemoveDownload(l_download);
}

void DownloadMenuOptions::OnRerunSearch()
{
    const QByteArray l_text = m_searchText.toUtf8();
    gp_server->FileSearch(l_text.toStdString(), false);
}

void DownloadMenuOptions::OnOpenFile()
{
    const std::vector<ItemPtr> l_live = LiveDownloads();
    if (!l_live.empty())
        OpenFinishedFile(l_live.front());
}

void DownloadMenuOptions::OnOpenFolder()
{
    const std::vector<ItemPtr> l_live = LiveDownloads();
    if (!l_live.empty())
        OpenFinishedFolder(l_live.front());
}

std::vector<ItemPtr> DownloadMenuOptions::LiveDownloads() const
{
    // A captured address may be freed by now: it is only compared, never followed, until a live
    // entry of the store is found at it.
    std::unordered_map<Item*, std::uint64_t> l_captured;
    for (const Captured& l_download : m_downloads)
        l_captured.emplace(l_download.mp_entry, l_download.m_serial);
    std::vector<ItemPtr> l_live;
    for (Item* lp_entry : TypeOf("download_entry")->Items())
        if (const auto l_found = l_captured.find(lp_entry);
            l_found != l_captured.end() && l_found->second == lp_entry->Serial())
            l_live.push_back(lp_entry);
    return l_live;
}
