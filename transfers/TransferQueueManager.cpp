#include "TransferQueueManager.h"

#include "Data.h"
#include "DataSaver.h"
#include "DownloadThread.h"
#include "EventHandler.h"
#include "GeneralFunctions.h"
#include "ItemSet.h"
#include "Log.h"
#include "MemStream.h"
#include "PathNode.h"
#include "PeerMessageCode.h"
#include "PeerMessenger.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "StoreFunctions.h"
#include "TimerManager.h"
#include "TransferFigures.h"
#include "TransferPaths.h"
#include "UploadThread.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <climits>
#include <list>
#include <set>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

TransferQueueManager* transferQueueManager = nullptr;

const TransferQueueManager::Vocabulary TransferQueueManager::downloads = {
    "download_entry", "download_entry_status", "download_thread",
    "download_file",  "download_socket",       "write_position"};
const TransferQueueManager::Vocabulary TransferQueueManager::uploads = {
    "upload_entry", "upload_entry_status", "upload_thread",
    "upload_file",  "upload_socket",       "read_position"};

namespace
{
const QString category = QStringLiteral("Transfer Queue");

// Only the speed of uploads above this size is reported to the server.
constexpr qint64 reportedUploadSize = 1048576;
// A place in line is asked for again after this long.
constexpr qint64 placeInLineInterval = 600000;
// Hand-shake phases of an upload end after this long.
constexpr qint64 uploadPhaseTimeout = 30000;
// What a download's socket holds at most before the sender has to wait.
constexpr qint64 downloadReadBuffer = 4 << 20;
// A user with more queued uploads than this is worth a log line.
constexpr std::size_t manyQueuedUploads = 1000;
// The most numbered names tried for a finished file whose name is taken.
constexpr int freeNameAttempts = 10000;

const char* const activeDownloadStatuses[] = {"downloading"};
const char* const activeUploadStatuses[] = {"requesting", "connecting", "waiting for offset",
                                            "uploading"};

// Heap values behind the transient attributes of a running transfer.
using Counter = TransferFigures::Counter;
using Speed = TransferFigures::Speed;

void TransferLog(int i_level, const QString& i_message, ItemPtr i_item = ItemPtr())
{
    Log(category, i_level, i_message, i_item);
}

std::string StatusOf(ItemPtr i_entry, const char* ip_statusType)
{
    return i_entry[ip_statusType].AsString();
}

bool HasFlag(ItemPtr i_item, const char* ip_flag)
{
    return i_item && i_item.IsConnected(ip_flag);
}

bool IsOnline(ItemPtr i_user)
{
    return HasFlag(i_user, "is_online");
}

// An entry removed meanwhile (its removal may still be under way) or an item of another kind is
// not acted on: whoever held it has a stale view.
bool IsLiveEntry(ItemPtr i_entry, const char* ip_entryType)
{
    return i_entry && !i_entry->IsRemoved() && i_entry->GetType() == TypeOf(ip_entryType);
}

bool IsActive(ItemPtr i_entry, const char* ip_statusType)
{
    return HasFlag(i_entry[ip_statusType], "is_active");
}

// The remote path as the owner knows it.
std::string RemotePath(ItemPtr i_download)
{
    return i_download["remote_folder"].AsString() + "\\" + i_download["file_name"].AsString();
}

// The entries connected to the status item of that text, without copying the set.
std::size_t EntriesInStatus(const char* ip_statusType, const char* ip_entryType,
                            const char* ip_status)
{
    Item* lp_status = TypeOf(ip_statusType)->HasItem(ip_status);
    if (!lp_status)
        return 0;
    const ItemSet* lp_entries = lp_status->ConnectedItems(TypeOf(ip_entryType));
    return lp_entries ? lp_entries->size() : 0;
}

ItemSet EntriesWithStatus(const char* ip_statusType, const char* ip_entryType,
                          const char* ip_status)
{
    return ItemPtr(TypeOf(ip_statusType)->HasItem(ip_status)).GetItems(ip_entryType);
}

// Looks through the active uploads, which are as few as the slots, rather than through the user's
// queue, which can be as long as the user likes.
bool HasActiveUpload(ItemPtr i_user)
{
    for (const char* lp_status : activeUploadStatuses)
        if (Item* lp_item = TypeOf("upload_entry_status")->HasItem(lp_status))
            if (const ItemSet* lp_entries = lp_item->ConnectedItems(TypeOf("upload_entry")))
                for (Item* lp_upload : *lp_entries)
                    if (ItemPtr(lp_upload)["user"] == i_user)
                        return true;
    return false;
}

template <std::size_t N> bool IsListed(const char* const (&i_table)[N], const std::string& i_text)
{
    for (const char* lp_entry : i_table)
        if (i_text == lp_entry)
            return true;
    return false;
}

// Local paths for disk operations.
QString DiskPath(const QString& i_path)
{
    QString l_path = i_path;
    return l_path.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

QString DownloadFolderSetting()
{
    return FromUtf8(SettingValue("download_folder").AsString());
}

void WriteDefault(const char* ip_key, const Value& i_value)
{
    if (!SettingValue(ip_key))
        SetSetting(ip_key, i_value);
}

template <typename T> ItemPtr ValueItem(const char* ip_type, T* ip_value)
{
    return TypeOf(ip_type)->GetItem(Value(ip_value));
}

void RemoveAttribute(ItemPtr i_entry, const char* ip_type)
{
    if (ItemPtr l_item = i_entry[ip_type])
        l_item.Remove();
}
} // namespace

TransferQueueManager::TransferQueueManager()
{
    transferQueueManager = this;
    DeclareDownloadTypes();
    DeclareUploadTypes();

    PathNode* lp_user = new PathNode(&d, "user");
    new PathNode(lp_user, "is_online", OnConnect);
    d.AddPathEventHandler(lp_user, new EventHandler<TransferQueueManager, Item*>(
                                       this, &TransferQueueManager::OnUserOnline));

    connect(peerMessenger, &PeerMessenger::FileTransferRequested, this,
            &TransferQueueManager::OnFileTransferRequest);
    connect(peerMessenger, &PeerMessenger::FileConnectionRequested, this,
            &TransferQueueManager::OnFileConnection);
    connect(peerMessenger, &PeerMessenger::QueueUploadRequested, this,
            &TransferQueueManager::OnQueueUploadRequested);
    connect(peerMessenger, &PeerMessenger::FileConnectionAccepted, this,
            &TransferQueueManager::OnFileConnectionAccepted);
    connect(peerMessenger, &PeerMessenger::FileTransferResponse, this,
            &TransferQueueManager::OnFileTransferResponse);
    connect(peerMessenger, &PeerMessenger::UploadFailed, this,
            &TransferQueueManager::OnUploadFailedNotification);
    connect(peerMessenger, &PeerMessenger::UploadDenied, this,
            &TransferQueueManager::OnUploadDeniedNotification);
    connect(&timerManager->m_fiveMinutesTimer, &QTimer::timeout, this,
            &TransferQueueManager::PeriodicCheck);
    connect(&timerManager->m_halfMinuteTimer, &QTimer::timeout, this,
            &TransferQueueManager::EveryHalfMinute);
    connect(peerMessenger, &PeerMessenger::DownloadPlaceInLine, this,
            &TransferQueueManager::OnDownloadPlaceInLine);

    // The active statuses carry their flag from the moment they exist, also when the collector
    // has taken them and they are made again.
    for (const char* lp_status : activeDownloadStatuses)
        TypeOf("download_entry_status")->GetItem(lp_status);
    for (const char* lp_status : activeUploadStatuses)
        TypeOf("upload_entry_status")->GetItem(lp_status);

    WriteSettingDefaults();
    DeclareCompleteDownloadTypes();
    dataSaver->AddDataLoadedEventHandler(this);
}

void TransferQueueManager::DeclareDownloadTypes()
{
    struct Declaration
    {
        const char* mp_name;
        bool m_isRoot;
        bool m_isNull;
    };
    static const Declaration declarations[] = {
        {"download_entry", true, true},
        {"file_name", false, false},
        {"remote_folder", false, false},
        {"download_folder", false, false},
        {"transfer_req", false, false},
        {"remote_transfer_req", false, false},
        {"download_socket", true, false},
        {"download_file", true, false},
        {"write_position", false, false},
        {"download_entry_status", false, false},
        {"download_order", false, false},
        {"upload_socket", true, false},
        {"upload_file", true, false},
        {"read_position", false, false},
        {"upload_entry_status", true, false},
        {"upload_order", false, false},
        {"is_active", false, true},
        {"last_receipt_time", false, false},
        {"last_speed_measurement_time", false, false},
        {"bytes_per_second", false, false},
        {"bytes_since_last_receipt", false, false},
        {"place_in_line", false, false},
        {"last_place_in_line_request_time", false, false},
        {"download_thread", true, false},
        {"subfolder_save_level", false, false},
        {"partial_file_name", false, false},
        {"last_status_change_time", false, false},
    };
    for (const Declaration& l_type : declarations)
        d.NewType(l_type.mp_name, l_type.m_isRoot, l_type.m_isNull, true);

    for (const char* lp_type :
         {"user", "file_name", "remote_folder", "file_size", "download_folder",
          "remote_transfer_req", "write_position", "download_entry_status", "place_in_line",
          "subfolder_save_level", "last_status_change_time", "partial_file_name"})
        Relate("download_entry", lp_type, Many, One);
    for (const char* lp_type :
         {"transfer_req", "download_socket", "download_thread", "download_file", "download_order",
          "last_receipt_time", "last_speed_measurement_time", "bytes_per_second",
          "bytes_since_last_receipt"})
        Relate("download_entry", lp_type, One, One);
    Relate("download_entry_status", "is_active", Many, One);
    Relate("user", "last_place_in_line_request_time", Many, One);

    TypeOf("download_entry_status")
        ->m_itemAddedEvent.AddHandler(new EventHandler<TransferQueueManager, Item*>(
            this, &TransferQueueManager::OnDownloadStatusAdded));
    struct Release
    {
        const char* mp_type;
        void (TransferQueueManager::*m_handler)(Item*);
    };
    static const Release releases[] = {
        {"write_position", &TransferQueueManager::FreeValue<Counter>},
        {"read_position", &TransferQueueManager::FreeValue<Counter>},
        {"last_receipt_time", &TransferQueueManager::FreeValue<QDateTime>},
        {"last_speed_measurement_time", &TransferQueueManager::FreeValue<QDateTime>},
        {"bytes_per_second", &TransferQueueManager::FreeValue<Speed>},
        {"bytes_since_last_receipt", &TransferQueueManager::FreeValue<Counter>},
    };
    for (const Release& l_release : releases)
        TypeOf(l_release.mp_type)
            ->m_itemRemovedEvent.AddHandler(
                new EventHandler<TransferQueueManager, Item*>(this, l_release.m_handler));

    dataSaver->AddSavedType("download_entry");
    for (const char* lp_type :
         {"user", "file_name", "remote_folder", "file_size", "download_folder",
          "download_entry_status", "download_order", "subfolder_save_level", "partial_file_name"})
        dataSaver->AddSavedByConnectionType(lp_type, "download_entry");
}

void TransferQueueManager::DeclareUploadTypes()
{
    d.NewType("upload_entry", true, true, true);
    d.NewType("filename_as_requested", false, false, true);
    d.NewType("upload_start_time", false, false, true);
    d.NewType("bytes_uploaded", false, false, true);
    d.NewType("upload_thread", true, false, true);
    d.NewType("effective_upload_order", false, false, true);
    TypeOf("bytes_uploaded")
        ->m_itemRemovedEvent.AddHandler(new EventHandler<TransferQueueManager, Item*>(
            this, &TransferQueueManager::FreeValue<Counter>));
    // file_size: the size the file was offered at, which is what is sent.
    for (const char* lp_type :
         {"user", "shared_file", "read_position", "upload_entry_status", "filename_as_requested",
          "upload_start_time", "bytes_uploaded", "last_status_change_time", "file_size"})
        Relate("upload_entry", lp_type, Many, One);
    for (const char* lp_type :
         {"upload_socket", "upload_file", "upload_order", "transfer_req", "last_receipt_time",
          "last_speed_measurement_time", "bytes_per_second", "bytes_since_last_receipt",
          "upload_thread", "effective_upload_order"})
        Relate("upload_entry", lp_type, One, One);
    Relate("upload_entry_status", "is_active", Many, One);
    TypeOf("upload_entry_status")
        ->m_itemAddedEvent.AddHandler(new EventHandler<TransferQueueManager, Item*>(
            this, &TransferQueueManager::OnUploadStatusAdded));

    d.NewType("denial_reason", false, false, true);
    Relate("denial_reason", "download_entry", One, Many);
    Relate("denial_reason", "upload_entry", One, Many);
}

void TransferQueueManager::DeclareCompleteDownloadTypes()
{
    d.NewType("complete_download", true, true, true);
    static const char* const attributes[] = {
        "complete_download_folder", "complete_download_relative_folder",
        "complete_download_filename", "complete_download_file_size",
        "complete_download_completion_time"};
    for (const char* lp_type : attributes)
        d.NewType(lp_type, false, false, true);
    for (const char* lp_type :
         {"user", "complete_download_folder", "complete_download_relative_folder",
          "complete_download_filename", "complete_download_completion_time",
          "complete_download_file_size", "search_request_text"})
        Relate("complete_download", lp_type, Many, One);
    dataSaver->AddSavedType("complete_download");
    dataSaver->AddSavedByConnectionType("user", "complete_download");
    for (const char* lp_type : attributes)
        dataSaver->AddSavedByConnectionType(lp_type, "complete_download");
}

void TransferQueueManager::WriteSettingDefaults()
{
    WriteDefault("download_folder", QDir::homePath() + QStringLiteral("/Brindlex Downloads"));
    WriteDefault("transfer_order_counter", 1);
    SetSetting("transfer_req_counter", 1);
    if (!SettingValue("upload_speed_limit"))
    {
        SetSetting("upload_speed_limit", 0);
        SetSetting("upload_speed_limit_enabled", "no");
    }
    WriteDefault("upload_slots", 1);
}

void TransferQueueManager::OnDownloadStatusAdded(Item* ip_status)
{
    if (IsListed(activeDownloadStatuses, ip_status->Value()))
        ItemPtr(ip_status).NewItem("is_active");
}

void TransferQueueManager::OnUploadStatusAdded(Item* ip_status)
{
    if (IsListed(activeUploadStatuses, ip_status->Value()))
        ItemPtr(ip_status).NewItem("is_active");
}

template <typename T> void TransferQueueManager::FreeValue(Item* ip_item)
{
    delete ItemPtr(ip_item).AsPtr<T>();
}

TransferQueueManager::~TransferQueueManager()
{
    for (auto& l_thread : m_threads)
        l_thread.second->SignalExit();
    for (auto& l_thread : m_threads)
        l_thread.second->wait();
    // Also the uploads that hold an open file and wait for their connection.
    for (const Vocabulary* lp_vocabulary : {&uploads, &downloads})
        for (const char* lp_type :
             {lp_vocabulary->mp_thread, lp_vocabulary->mp_file, lp_vocabulary->mp_socket})
            for (Item* lp_item : TypeOf(lp_type)->GetItems())
                ReleaseTransfer(ItemPtr(lp_item)[lp_vocabulary->mp_entry], *lp_vocabulary);
    if (transferQueueManager == this)
        transferQueueManager = nullptr;
}

void TransferQueueManager::DataLoaded()
{
    ItemPtr l_queued = TypeOf("download_entry_status")->GetItem("queued");
    std::set<std::string> l_users;
    for (Item* lp_download : TypeOf("download_entry")->GetItems())
    {
        ItemPtr l_download(lp_download);
        if (StatusOf(l_download, "download_entry_status") != "complete")
            l_download += l_queued;
        if (ItemPtr l_user = l_download["user"])
            l_users.insert(l_user.AsString());
    }
    for (const std::string& l_user : l_users)
        gp_server->TrackUser(l_user);
    emit TransfersLoaded();
    DetermineUploadSpeedLimit();
    // Entries saved before they were placed would otherwise never be served.
    m_uploadsAwaitOrder = true;
    OrderWaitingUploads();
}

void TransferQueueManager::RemoveDownload(ItemPtr i_download)
{
    if (!IsLiveEntry(i_download, downloads.mp_entry))
        return;
    ReleaseTransfer(i_download, downloads);
    i_download.Remove();
}

// Statuses

bool TransferQueueManager::ChangeStatus(ItemPtr i_entry, const Vocabulary& i_vocabulary,
                                        const std::string& i_status)
{
    const bool l_wasActive = IsActive(i_entry, i_vocabulary.mp_status);
    ItemPtr l_status = TypeOf(i_vocabulary.mp_status)->GetItem(i_status);
    i_entry += l_status;
    SetValue(i_entry, "last_status_change_time", NowText());
    if (!l_wasActive || HasFlag(l_status, "is_active"))
        return false;
    ReleaseTransfer(i_entry, i_vocabulary);
    return true;
}

void TransferQueueManager::SetDownloadEntryStatus(ItemPtr i_download, std::string i_status)
{
    ChangeStatus(i_download, downloads, i_status);
}

void TransferQueueManager::SetUploadEntryStatus(ItemPtr i_upload, std::string i_status)
{
    if (!ChangeStatus(i_upload, uploads, i_status))
        return;
    if (i_status == "aborted")
    {
        ItemPtr l_user = i_upload["user"];
        TransferLog(
            1,
            QStringLiteral("Upload of %1 to %2 aborted, sending upload failed notification.")
                .arg(LoggedText(FromUtf8(i_upload["shared_file"]["shared_file_name"].AsString())),
                     LoggedName(l_user.AsString())),
            l_user);
        MemStream l_message;
        l_message.Write(PeerMessageCode::UploadFailed);
        l_message.Write(i_upload["filename_as_requested"].AsString());
        peerMessenger->SendMessage(l_user.AsString(), l_message);
    }
    DetermineUploadSpeedLimit();
}

void TransferQueueManager::ReleaseTransfer(ItemPtr i_entry, const Vocabulary& i_vocabulary)
{
    if (ItemPtr l_threadItem = i_entry[i_vocabulary.mp_thread])
    {
        TransferThread* lp_thread = l_threadItem.AsPtr<TransferThread>();
        l_threadItem.Remove();
        lp_thread->SignalExit();
        lp_thread->wait();
        m_threads.erase(lp_thread->Serial());
        delete lp_thread;
    }
    if (ItemPtr l_fileItem = i_entry[i_vocabulary.mp_file])
    {
        QFile* lp_file = l_fileItem.AsPtr<QFile>();
        l_fileItem.Remove();
        delete lp_file;
    }
    if (ItemPtr l_socketItem = i_entry[i_vocabulary.mp_socket])
    {
        QTcpSocket* lp_socket = l_socketItem.AsPtr<QTcpSocket>();
        l_socketItem.Remove();
        lp_socket->disconnect();
        lp_socket->close();
        // Its thread has ended and it emits nothing now: it can go at once.
        delete lp_socket;
    }
    for (const char* lp_type :
         {i_vocabulary.mp_position, "last_receipt_time", "last_speed_measurement_time",
          "bytes_per_second", "bytes_since_last_receipt"})
        RemoveAttribute(i_entry, lp_type);
}

void TransferQueueManager::AttachTransferValues(ItemPtr i_entry, const Vocabulary& i_vocabulary,
                                                qint64 i_position)
{
    const QDateTime l_now = QDateTime::currentDateTime();
    i_entry += ValueItem(i_vocabulary.mp_position, new Counter(i_position));
    i_entry += ValueItem("last_receipt_time", new QDateTime(l_now));
    i_entry += ValueItem("last_speed_measurement_time", new QDateTime(l_now));
    i_entry += ValueItem("bytes_per_second", new Speed(0));
    i_entry += ValueItem("bytes_since_last_receipt", new Counter(0));
}

template <typename Thread>
void TransferQueueManager::StartThread(ItemPtr i_entry, const Vocabulary& i_vocabulary,
                                       QTcpSocket* ip_socket, Thread* ip_thread)
{
    ip_socket->setParent(nullptr);
    ip_socket->moveToThread(ip_thread);
    m_threads[ip_thread->Serial()] = ip_thread;
    i_entry += ValueItem(i_vocabulary.mp_thread, ip_thread);
    ip_thread->start(QThread::InheritPriority);
}

ItemPtr TransferQueueManager::EntryOfThread(quint64 i_serial, const Vocabulary& i_vocabulary)
{
    const auto l_thread = m_threads.find(i_serial);
    if (l_thread == m_threads.end())
        return ItemPtr();
    return TypeOf(i_vocabulary.mp_thread)->HasItem(Value(l_thread->second))[i_vocabulary.mp_entry];
}

void TransferQueueManager::StoreProgress(ItemPtr i_entry, const Vocabulary& i_vocabulary,
                                         qint64 i_offset, int i_bytesPerSecond)
{
    if (Counter* lp_position = i_entry[i_vocabulary.mp_position].AsPtr<Counter>())
        lp_position->store(i_offset);
    if (Speed* lp_speed = i_entry["bytes_per_second"].AsPtr<Speed>())
        lp_speed->store(i_bytesPerSecond);
    if (QDateTime* lp_time = i_entry["last_receipt_time"].AsPtr<QDateTime>())
        *lp_time = QDateTime::currentDateTime();
}

// The download queue

ItemPtr TransferQueueManager::GetDownloadEntry(std::string i_user, std::string i_fileName,
                                               std::string i_remoteFolder)
{
    ItemPtr l_user = TypeOf("user")->HasItem(i_user);
    ItemPtr l_name = TypeOf("file_name")->HasItem(i_fileName);
    ItemPtr l_folder = TypeOf("remote_folder")->HasItem(i_remoteFolder);
    if (!l_user || !l_name || !l_folder)
        return ItemPtr();
    return d.GetItem(ItemSet{l_user, l_name, l_folder}, "download_entry");
}

ItemPtr TransferQueueManager::AddDownload(std::string i_user, std::string i_fileName,
                                          std::string i_remoteFolder, qint64 i_size,
                                          int i_subfolderSaveLevel)
{
    if (ItemPtr l_existing = GetDownloadEntry(i_user, i_fileName, i_remoteFolder))
        return l_existing;
    ItemPtr l_user = User(i_user);
    ItemPtr l_download = TypeOf("download_entry")->NewItem();
    l_download += l_user;
    SetValue(l_download, "file_name", i_fileName);
    SetValue(l_download, "remote_folder", i_remoteFolder);
    SetValue(l_download, "file_size", static_cast<long long>(i_size));
    SetValue(l_download, "subfolder_save_level", i_subfolderSaveLevel);
    const long long l_order = SettingValue("transfer_order_counter").AsInt64();
    SetValue(l_download, "download_order", l_order);
    SetSetting("transfer_order_counter", l_order + 1);
    gp_server->TrackUser(i_user);
    if (DoesDownloadItemCompleteFilenameExist(l_download))
    {
        SetDownloadEntryStatus(l_download, "complete");
        return l_download;
    }
    SetDownloadEntryStatus(l_download, "queued");
    if (IsOnline(l_user))
    {
        peerMessenger->QueueDownload(i_user, RemotePath(l_download));
        RequestDownloadPlaceInLine(l_download);
    }
    return l_download;
}

void TransferQueueManager::RequestDownloadPlaceInLine(ItemPtr i_download)
{
    ItemPtr l_user = i_download["user"];
    TransferLog(1,
                QStringLiteral("Requesting place in line for download of %1 from %2")
                    .arg(LoggedText(FromUtf8(i_download["file_name"].AsString())),
                         LoggedName(l_user.AsString())),
                l_user);
    MemStream l_message;
    l_message.Write(PeerMessageCode::UploadPlaceInLineRequest);
    l_message.Write(RemotePath(i_download));
    peerMessenger->SendMessage(l_user.AsString(), l_message);
}

void TransferQueueManager::RequestUserDownloadsPlaceInLine(std::string i_user)
{
    ItemSet l_downloads = User(i_user).GetItems("download_entry");
    for (Item* lp_download : l_downloads.Connected("download_entry_status", "queued"))
        RequestDownloadPlaceInLine(lp_download);
}

bool TransferQueueManager::IsActivelyDownloadingFromUser(std::string i_user)
{
    ItemPtr l_user = TypeOf("user")->HasItem(i_user);
    return !l_user.GetItems("download_entry")
                .Connected("download_entry_status", "downloading")
                .empty();
}

void TransferQueueManager::OnDownloadPlaceInLine(std::string i_user, std::string i_file,
                                                 int i_place)
{
    if (ItemPtr l_download = GetDownloadEntry(i_user, GetFileName(i_file), GetFolder(i_file)))
        SetValue(l_download, "place_in_line", i_place);
}

void TransferQueueManager::OnUserOnline(Item* ip_user)
{
    ItemPtr l_user(ip_user);
    const std::string l_name = l_user.AsString();
    ItemSet l_downloads = l_user.GetItems("download_entry");
    if (!l_downloads.empty())
    {
        TransferLog(1,
                    QStringLiteral("User %1 went online, processing pending downloads")
                        .arg(LoggedName(l_name)),
                    l_user);
        for (Item* lp_download : l_downloads.SortNumericBy("download_order", true))
        {
            ItemPtr l_download(lp_download);
            const std::string l_status = StatusOf(l_download, "download_entry_status");
            if (l_status == "complete" || l_status == "denied")
                continue;
            if (DoesDownloadItemCompleteFilenameExist(l_download))
            {
                SetDownloadEntryStatus(l_download, "complete");
                continue;
            }
            peerMessenger->QueueDownload(l_name, RemotePath(l_download));
            RequestDownloadPlaceInLine(l_download);
            TransferLog(2,
                        QStringLiteral("Queueing %1")
                            .arg(LoggedText(FromUtf8(l_download["file_name"].AsString()))),
                        l_user);
        }
    }
    StartNewUploads();
}

void TransferQueueManager::OnFileTransferRequest(std::string i_user, int i_direction, uint i_req,
                                                 std::string i_file, qint64)
{
    ItemPtr l_user = User(i_user);
    if (quint32(i_direction) != TransferDirection::Upload)
    {
        TransferLog(1,
                    QStringLiteral("Received download request from %1 for file %2, currently not "
                                   "processing")
                        .arg(LoggedName(i_user), LoggedText(FromUtf8(i_file))),
                    l_user);
        return;
    }
    // Names are filled in by one call: a "%1" in a name would take a later argument.
    TransferLog(1,
                QStringLiteral("Received upload request from %1 for file %2, req %3")
                    .arg(LoggedName(i_user), LoggedText(FromUtf8(i_file)), QString::number(i_req)),
                l_user);
    ItemPtr l_download = GetDownloadEntry(i_user, GetFileName(i_file), GetFolder(i_file));
    if (!l_download)
    {
        TransferLog(2, QStringLiteral("Denied, Cancelled"), l_user);
        peerMessenger->DenyTransferRequest(i_user, i_req, "Cancelled");
        return;
    }
    const std::string l_status = StatusOf(l_download, "download_entry_status");
    if (l_status == "complete")
    {
        TransferLog(2, QStringLiteral("Denied, Complete"), l_user);
        peerMessenger->DenyTransferRequest(i_user, i_req, "Complete");
        return;
    }
    ItemPtr l_req = TypeOf("remote_transfer_req")->GetItem(i_req);
    for (Item* lp_holder : l_req.GetItems("download_entry").Connected(l_user))
        if (lp_holder != l_download)
            l_req -= lp_holder;
    l_download += l_req;
    if (l_status == "downloading")
    {
        TransferLog(2, QStringLiteral("Transfer is already downloading, cancelling..."), l_user);
        SetDownloadEntryStatus(l_download, "aborted");
    }
    peerMessenger->AcceptTransferRequest(i_user, i_req, false, 0);
    TransferLog(2, QStringLiteral("Accepted"), l_user);
}

void TransferQueueManager::OnUploadDeniedNotification(std::string i_user, std::string i_file,
                                                      std::string i_reason)
{
    ItemPtr l_user = User(i_user);
    TransferLog(
        1,
        QStringLiteral("Received peer notification from %1 that upload of %2 was denied, "
                       "reason: %3")
            .arg(LoggedName(i_user), LoggedText(FromUtf8(i_file)), LoggedText(FromUtf8(i_reason))),
        l_user);
    ItemPtr l_download = GetDownloadEntry(i_user, GetFileName(i_file), GetFolder(i_file));
    if (!l_download)
    {
        TransferLog(2, QStringLiteral("Download not found."), l_user);
        return;
    }
    TransferLog(2, QStringLiteral("Download found, marking as denied."), l_user);
    SetValue(l_download, "denial_reason", i_reason);
    SetDownloadEntryStatus(l_download, "denied");
}

void TransferQueueManager::OnUploadFailedNotification(std::string i_user, std::string i_file)
{
    ItemPtr l_user = User(i_user);
    TransferLog(1,
                QStringLiteral("Received peer notification from %1 that upload of %2 failed")
                    .arg(LoggedName(i_user), LoggedText(FromUtf8(i_file))),
                l_user);
    ItemPtr l_download = GetDownloadEntry(i_user, GetFileName(i_file), GetFolder(i_file));
    if (!l_download)
    {
        TransferLog(2, QStringLiteral("Download not found."), l_user);
        return;
    }
    TransferLog(2, QStringLiteral("Download found!"), l_user);
    // A finished or refused download has nothing left to ask for.
    const std::string l_status = StatusOf(l_download, "download_entry_status");
    if (l_status == "complete" || l_status == "denied")
    {
        TransferLog(2,
                    QStringLiteral("Download status %1, not re-queueing %2")
                        .arg(FromUtf8(l_status), LoggedText(FromUtf8(RemotePath(l_download)))),
                    l_user);
        return;
    }
    QueueDownloadIfUserOnline(l_download);
}

void TransferQueueManager::QueueDownloadIfUserOnline(ItemPtr i_download)
{
    ItemPtr l_user = i_download["user"];
    const QString l_path = LoggedText(FromUtf8(RemotePath(i_download)));
    const std::string l_status = StatusOf(i_download, "download_entry_status");
    if (l_status == "local error")
    {
        TransferLog(1,
                    QStringLiteral("Download status %1, not re-queueing %2")
                        .arg(FromUtf8(l_status), l_path),
                    l_user);
        return;
    }
    if (!IsOnline(l_user))
    {
        TransferLog(1,
                    QStringLiteral("User %1 offline, not re-queueing %2")
                        .arg(LoggedName(l_user.AsString()), l_path),
                    l_user);
        return;
    }
    TransferLog(1,
                QStringLiteral("User %1 appears to still be online, re-queueing %2")
                    .arg(LoggedName(l_user.AsString()), l_path),
                l_user);
    peerMessenger->QueueDownload(l_user.AsString(), RemotePath(i_download));
}

void TransferQueueManager::PeriodicCheck()
{
    if (EntriesInStatus("download_entry_status", "download_entry", "downloading") != 0)
        return;
    ItemSet l_candidates = EntriesWithStatus("download_entry_status", "download_entry", "queued") +
                           EntriesWithStatus("download_entry_status", "download_entry", "aborted");
    ItemSet l_online;
    for (Item* lp_download : l_candidates)
        if (IsOnline(ItemPtr(lp_download)["user"]))
            l_online.insert(lp_download);
    if (l_online.empty())
        return;
    TransferLog(1, QStringLiteral("Not currently downloading anything, re-queueing inactive "
                                  "downloads"));
    for (Item* lp_download : l_online.SortNumericBy("download_order", true))
        QueueDownloadIfUserOnline(lp_download);
}

// File connections

void TransferQueueManager::CloseFileConnection(QTcpSocket* ip_socket, const QString& i_reason,
                                               ItemPtr i_user)
{
    ip_socket->disconnect();
    ip_socket->close();
    ip_socket->deleteLater();
    TransferLog(2, i_reason, i_user);
}

bool TransferQueueManager::IsTargetBeingWritten(ItemPtr i_download, const QString& i_path)
{
    for (Item* lp_other :
         EntriesWithStatus("download_entry_status", "download_entry", "downloading"))
        if (lp_other != i_download && QDir::cleanPath(PartialPath(lp_other)) == i_path)
            return true;
    return false;
}

void TransferQueueManager::OnFileConnection(std::string i_user, QTcpSocket* ip_socket,
                                            uint i_requestID)
{
    ItemPtr l_user = User(i_user);
    TransferLog(1,
                QStringLiteral("File connection created by user %1 for req %2")
                    .arg(LoggedName(i_user), QString::number(i_requestID)),
                l_user);
    ItemPtr l_req = TypeOf("remote_transfer_req")->HasItem(i_requestID);
    ItemPtr l_download = l_req ? d.GetItem(l_req, l_user, "download_entry") : ItemPtr();
    if (!l_download)
        return CloseFileConnection(ip_socket, QStringLiteral("Download not found, aborting"),
                                   l_user);
    // A second writer would corrupt the file.
    const std::string l_status = StatusOf(l_download, "download_entry_status");
    if (l_status == "downloading" || l_status == "complete")
        return CloseFileConnection(ip_socket,
                                   QStringLiteral("Download already %1, closing the new connection")
                                       .arg(FromUtf8(l_status)),
                                   l_user);

    const QString l_folder = LocalTargetFolder(l_download, false);
    const QString l_claimed = ClaimPartialPath(l_download);
    if (l_claimed.isEmpty())
    {
        SetDownloadEntryStatus(l_download, "local error");
        return CloseFileConnection(
            ip_socket,
            QStringLiteral("Every name for the partial file in %1 is taken, aborting")
                .arg(LoggedText(l_folder)),
            l_user);
    }
    const QString l_path = QDir::cleanPath(l_claimed);
    if (!IsPathBelowFolder(l_path, DownloadFolderSetting()))
    {
        SetDownloadEntryStatus(l_download, "local error");
        return CloseFileConnection(
            ip_socket,
            QStringLiteral("Path %1 leaves the download folder, aborting").arg(LoggedText(l_path)),
            l_user);
    }
    if (IsTargetBeingWritten(l_download, l_path))
        return CloseFileConnection(
            ip_socket,
            QStringLiteral("Another download is writing %1, closing the connection")
                .arg(LoggedText(l_path)),
            l_user);

    QDir().mkpath(l_folder);
    QFile* lp_file = new QFile(l_path);
    if (!lp_file->open(QIODevice::WriteOnly | QIODevice::Append))
    {
        SetDownloadEntryStatus(l_download, "local error");
        delete lp_file;
        return CloseFileConnection(ip_socket, QStringLiteral("Could not open file, aborting"),
                                   l_user);
    }
    const qint64 l_offset = lp_file->size();
    uchar l_offsetBytes[8];
    qToLittleEndian(l_offset, l_offsetBytes);
    ip_socket->write(reinterpret_cast<const char*>(l_offsetBytes), 8);
    ip_socket->flush();

    l_download += ValueItem("download_socket", ip_socket);
    l_download += ValueItem("download_file", lp_file);
    SetDownloadEntryStatus(l_download, "downloading");
    AttachTransferValues(l_download, downloads, l_offset);

    ip_socket->disconnect();
    // A peer that sends faster than the disk takes the bytes waits instead of filling memory.
    ip_socket->setReadBufferSize(downloadReadBuffer);
    DownloadThread* lp_thread = new DownloadThread(
        ip_socket, lp_file, l_download["file_size"].AsInt64(), l_offset, m_nextSerial++, thread());
    connect(lp_thread, &DownloadThread::DownloadError, this,
            &TransferQueueManager::OnDownloadError);
    connect(lp_thread, &DownloadThread::DownloadProgress, this,
            &TransferQueueManager::OnDownloadProgress);
    connect(lp_thread, &DownloadThread::DownloadComplete, this,
            &TransferQueueManager::OnDownloadComplete);
    StartThread(l_download, downloads, ip_socket, lp_thread);
    TransferLog(2, QStringLiteral("Downloading"), l_user);
}

void TransferQueueManager::OnFileTransferResponse(std::string i_user, uint i_req, bool i_accepted,
                                                  bool, qint64, std::string i_denialReason)
{
    ItemPtr l_user = User(i_user);
    TransferLog(1,
                QStringLiteral("Received file transfer response from user %1 for req %2, "
                               "transfer %3")
                    .arg(LoggedName(i_user), QString::number(i_req),
                         i_accepted ? QStringLiteral("accepted") : QStringLiteral("not accepted")),
                l_user);
    ItemPtr l_req = TypeOf("transfer_req")->HasItem(i_req);
    if (!l_req)
        return TransferLog(2, QStringLiteral("req not found"), l_user);
    if (l_req["download_entry"])
        return TransferLog(2, QStringLiteral("Found download, not processing"), l_user);
    ItemPtr l_upload = l_req["upload_entry"];
    if (!l_upload)
        return TransferLog(2, QStringLiteral("Neither upload or download attached to req, weird"),
                           l_user);
    TransferLog(2, QStringLiteral("Found upload"), l_user);
    if (l_upload["user"] != l_user)
        return TransferLog(2,
                           QStringLiteral("Upload user %1 not the same as user who opened the "
                                          "connection, not doing anything")
                               .arg(LoggedName(l_upload["user"].AsString())),
                           l_user);
    if (!i_accepted)
    {
        TransferLog(2, QStringLiteral("Upload was not accepted, marking denied"), l_user);
        SetValue(l_upload, "denial_reason", i_denialReason);
        SetUploadEntryStatus(l_upload, "denied");
        StartNewUploads();
        return;
    }
    const std::string l_status = StatusOf(l_upload, "upload_entry_status");
    if (l_status != "requesting")
        return TransferLog(2,
                           QStringLiteral("Upload no longer in requesting phase, instead status "
                                          "is %1. Not processing.")
                               .arg(FromUtf8(l_status)),
                           l_user);
    QFile* lp_file = new QFile(SharedFilePath(l_upload["shared_file"]));
    if (!lp_file->open(QIODevice::ReadOnly))
    {
        delete lp_file;
        TransferLog(2,
                    QStringLiteral("File could not be opened, marking local error and sending "
                                   "denial message. Shouldn't we have done this before we "
                                   "requested the transfer?"),
                    l_user);
        peerMessenger->DenyUpload(i_user, l_upload["filename_as_requested"].AsString(),
                                  "File read error.");
        SetUploadEntryStatus(l_upload, "local error");
        StartNewUploads();
        return;
    }
    TransferLog(2, QStringLiteral("Requesting file connection to user"), l_user);
    peerMessenger->RequestFileConnectionToUser(i_user);
    l_upload += ValueItem("upload_file", lp_file);
    SetUploadEntryStatus(l_upload, "connecting");
}

void TransferQueueManager::OnFileConnectionAccepted(std::string i_user, QTcpSocket* ip_socket)
{
    ItemPtr l_user = User(i_user);
    ItemSet l_connecting =
        l_user.GetItems("upload_entry").Connected("upload_entry_status", "connecting");
    if (l_connecting.empty())
    {
        ip_socket->disconnect();
        ip_socket->deleteLater();
        return;
    }
    ItemPtr l_upload = l_connecting.front();
    l_upload += ValueItem("upload_socket", ip_socket);
    SetUploadEntryStatus(l_upload, "uploading");
    AttachTransferValues(l_upload, uploads, 0);
    ip_socket->disconnect();
    UploadThread* lp_thread = new UploadThread(
        ip_socket, l_upload["upload_file"].AsPtr<QFile>(), l_upload["file_size"].AsInt64(),
        l_upload["transfer_req"].AsUInt(), &m_speedLimit, m_nextSerial++, thread());
    connect(lp_thread, &UploadThread::UploadError, this, &TransferQueueManager::OnUploadError);
    connect(lp_thread, &UploadThread::UploadProgress, this,
            &TransferQueueManager::OnUploadProgress);
    connect(lp_thread, &UploadThread::UploadComplete, this,
            &TransferQueueManager::OnUploadComplete);
    StartThread(l_upload, uploads, ip_socket, lp_thread);
}

void TransferQueueManager::OnDownloadProgress(quint64 i_serial, qint64 i_offset,
                                              int i_bytesPerSecond)
{
    if (ItemPtr l_download = EntryOfThread(i_serial, downloads))
    {
        StoreProgress(l_download, downloads, i_offset, i_bytesPerSecond);
        emit DownloadProgressed(l_download);
    }
}

void TransferQueueManager::OnUploadProgress(quint64 i_serial, qint64 i_offset, int i_bytesPerSecond)
{
    if (ItemPtr l_upload = EntryOfThread(i_serial, uploads))
    {
        StoreProgress(l_upload, uploads, i_offset, i_bytesPerSecond);
        emit UploadProgressed(l_upload);
    }
}

// Placement and completion

std::vector<std::string> TransferQueueManager::RelativeComponents(ItemPtr i_download)
{
    const std::string l_remote = i_download["remote_folder"].AsString();
    const long long l_level = i_download["subfolder_save_level"].AsInt64();
    // Walks back from the end only as far as the level reaches: a level beyond the folder's depth
    // keeps the whole folder, once.
    std::vector<std::string> l_components;
    std::size_t l_end = l_remote.size();
    while (l_end > 0 && l_level >= 0 && static_cast<long long>(l_components.size()) <= l_level)
    {
        const std::size_t l_separator = l_remote.find_last_of("\\/", l_end - 1);
        const std::size_t l_start = l_separator == std::string::npos ? 0 : l_separator + 1;
        if (l_start < l_end)
            l_components.push_back(SafePathComponent(l_remote.substr(l_start, l_end - l_start)));
        l_end = l_separator == std::string::npos ? 0 : l_separator;
    }
    std::reverse(l_components.begin(), l_components.end());
    return l_components;
}

std::string TransferQueueManager::RelativeFolder(ItemPtr i_download, char i_separator)
{
    std::string l_relative;
    for (const std::string& l_component : RelativeComponents(i_download))
        l_relative += i_separator + l_component;
    return l_relative;
}

QString TransferQueueManager::LocalTargetFolder(ItemPtr i_download, bool i_complete)
{
    // The download folder is a local path as it stands: only the owner's folder was "\"-separated.
    return DownloadFolderSetting() +
           (i_complete ? QStringLiteral("/complete") : QStringLiteral("/downloading")) +
           FromUtf8(RelativeFolder(i_download, '/'));
}

QString TransferQueueManager::GetDownloadTargetFolder(ItemPtr i_download, bool i_complete)
{
    if (!IsLiveEntry(i_download, downloads.mp_entry))
        return QString();
    QString l_folder = DownloadFolderSetting();
    l_folder.replace(QLatin1Char('/'), QLatin1Char('\\'));
    l_folder += i_complete ? QStringLiteral("\\complete") : QStringLiteral("\\downloading");
    return l_folder + FromUtf8(RelativeFolder(i_download, '\\'));
}

QString TransferQueueManager::GetDownloadTargetPath(ItemPtr i_download, bool i_complete)
{
    if (!IsLiveEntry(i_download, downloads.mp_entry))
        return QString();
    return GetDownloadTargetFolder(i_download, i_complete) + QLatin1Char('\\') +
           FromUtf8(SafePathComponent(i_download["file_name"].AsString()));
}

QString TransferQueueManager::PartialPath(ItemPtr i_download)
{
    ItemPtr l_claimed = i_download["partial_file_name"];
    const std::string l_name =
        l_claimed ? l_claimed.AsString() : i_download["file_name"].AsString();
    return LocalTargetFolder(i_download, false) + QLatin1Char('/') +
           FromUtf8(SafePathComponent(l_name));
}

QString TransferQueueManager::ClaimPartialPath(ItemPtr i_download)
{
    if (i_download["partial_file_name"])
        return PartialPath(i_download);
    const QString l_folder = LocalTargetFolder(i_download, false);
    const QString l_name = FromUtf8(SafePathComponent(i_download["file_name"].AsString()));
    // A name is another's when a download that is not complete keeps its partial file there and
    // claimed it, or came first.
    const auto l_othersName = [&](const QString& i_candidate)
    {
        const QString l_path = l_folder + QLatin1Char('/') + i_candidate;
        ItemSet l_others = i_download["file_name"].GetItems("download_entry");
        for (const char* lp_type : {"file_name", "partial_file_name"})
            if (ItemPtr l_value = TypeOf(lp_type)->HasItem(i_candidate.toStdString()))
                l_others = l_others + l_value.GetItems("download_entry");
        for (Item* lp_other : l_others)
        {
            ItemPtr l_other(lp_other);
            if (l_other == i_download || StatusOf(l_other, "download_entry_status") == "complete" ||
                PartialPath(l_other) != l_path)
                continue;
            if (l_other["partial_file_name"] || l_other->Serial() < i_download->Serial())
                return true;
        }
        return false;
    };
    // A numbered name is taken also by a file of that name on disk: only the download's own name
    // resumes from what is there.
    const auto l_claim = [&](const QString& i_candidate)
    {
        SetValue(i_download, "partial_file_name", i_candidate.toStdString());
        return PartialPath(i_download);
    };
    if (!l_othersName(l_name))
        return l_claim(l_name);
    for (int l_number = 1; l_number <= freeNameAttempts; ++l_number)
    {
        const QString l_candidate = NumberedFileName(l_name, l_number);
        if (!l_othersName(l_candidate) && !QFile::exists(l_folder + QLatin1Char('/') + l_candidate))
            return l_claim(l_candidate);
    }
    return QString();
}

QString TransferQueueManager::GetDownloadRelativeDownloadFolder(ItemPtr i_download)
{
    return FromUtf8(RelativeFolder(i_download, '\\')).mid(1);
}

bool TransferQueueManager::DoesDownloadItemCompleteFilenameExist(ItemPtr i_download)
{
    return QFile::exists(LocalTargetFolder(i_download, true) + QLatin1Char('/') +
                         FromUtf8(SafePathComponent(i_download["file_name"].AsString())));
}

void TransferQueueManager::RemoveDownloadDownloadingFolderIfAppropriate(ItemPtr i_download)
{
    ItemSet l_sameFolder = i_download["remote_folder"].GetItems("download_entry");
    if (!l_sameFolder.NotConnected("download_entry_status", "complete").empty())
        return;
    // Only the relative folder's own levels, from the deepest up, never the "downloading" folder
    // itself.
    QString l_folder = LocalTargetFolder(i_download, false);
    if (!IsPathBelowFolder(l_folder, DownloadFolderSetting()))
        return;
    for (std::size_t l_levels = RelativeComponents(i_download).size(); l_levels > 0; --l_levels)
    {
        // A folder whose path is longer than the system takes was never made; trying costs time in
        // proportion to the path, for every level.
        if (l_folder.size() < PATH_MAX)
            QDir().rmdir(l_folder);
        l_folder.truncate(l_folder.lastIndexOf(QLatin1Char('/')));
    }
}

QString TransferQueueManager::MoveToCompleteFolder(ItemPtr i_download)
{
    const QString l_from = QDir::cleanPath(PartialPath(i_download));
    const QString l_folder = QDir::cleanPath(LocalTargetFolder(i_download, true));
    const QString l_name = FromUtf8(SafePathComponent(i_download["file_name"].AsString()));
    if (!IsPathBelowFolder(l_folder + QLatin1Char('/') + l_name, DownloadFolderSetting()))
        return QString();
    QDir().mkpath(l_folder);
    QString l_chosen = l_name;
    for (int l_number = 1; QFile::exists(l_folder + QLatin1Char('/') + l_chosen); ++l_number)
    {
        if (l_number > freeNameAttempts)
            return QString();
        l_chosen = NumberedFileName(l_name, l_number);
    }
    if (!QDir().rename(l_from, l_folder + QLatin1Char('/') + l_chosen))
        return QString();
    return l_chosen;
}

void TransferQueueManager::OnDownloadComplete(quint64 i_serial)
{
    ItemPtr l_download = EntryOfThread(i_serial, downloads);
    if (!l_download)
        return;
    m_threads[i_serial]->wait();
    const QString l_name = MoveToCompleteFolder(l_download);
    if (l_name.isEmpty())
    {
        ItemPtr l_user = l_download["user"];
        TransferLog(1,
                    QStringLiteral("Could not move finished download %1 of %2 to %3, keeping it in "
                                   "the downloading folder")
                        .arg(LoggedText(PartialPath(l_download)), LoggedName(l_user.AsString()),
                             LoggedText(LocalTargetFolder(l_download, true))),
                    l_user);
        SetDownloadEntryStatus(l_download, "local error");
        return;
    }
    SetDownloadEntryStatus(l_download, "complete");
    RemoveDownloadDownloadingFolderIfAppropriate(l_download);
    RecordCompleteDownload(l_download, l_name);
}

void TransferQueueManager::RecordCompleteDownload(ItemPtr i_download, const QString& i_fileName)
{
    ItemPtr l_user = i_download["user"];
    ItemPtr l_folder =
        TypeOf("complete_download_folder")->GetItem(GetDownloadTargetFolder(i_download, true));
    ItemPtr l_name = TypeOf("complete_download_filename")->GetItem(i_fileName);
    if (!d.GetItems(l_user, l_folder, "complete_download").Connected(l_name).empty())
        return;
    ItemPtr l_record = TypeOf("complete_download")->NewItem();
    l_record += l_user;
    l_record += l_folder;
    SetValue(l_record, "complete_download_relative_folder",
             GetDownloadRelativeDownloadFolder(i_download));
    l_record += l_name;
    SetValue(l_record, "complete_download_file_size", i_download["file_size"].AsString());
    SetValue(l_record, "complete_download_completion_time", NowText());
    if (ItemPtr l_search = i_download["search_request_text"])
        l_record += l_search;
    emit CompleteDownloadAdded(l_record);
}

void TransferQueueManager::OnDownloadError(quint64 i_serial)
{
    if (ItemPtr l_download = EntryOfThread(i_serial, downloads))
        SetDownloadEntryStatus(l_download, "aborted");
}

// The upload queue

void TransferQueueManager::OnQueueUploadRequested(std::string i_user, std::string i_file)
{
    ItemPtr l_user = User(i_user);
    TransferLog(1,
                QStringLiteral("Queue upload requested by %1 for file %2")
                    .arg(LoggedName(i_user), LoggedText(FromUtf8(i_file))),
                l_user);
    std::string l_path = i_file;
    std::replace(l_path.begin(), l_path.end(), '\\', '/');
    ItemPtr l_shared = sharedFoldersManager->GetSharedFileItem(l_path);
    if (!l_shared || !sharedFoldersManager->IsFileSharedWithUser(l_shared, i_user))
    {
        TransferLog(2, QStringLiteral("Denied, file not shared"), l_user);
        peerMessenger->DenyUpload(i_user, i_file, "File not shared.");
        return;
    }
    ItemPtr l_upload = d.GetItem(l_user, l_shared, "upload_entry");
    if (!l_upload)
    {
        l_upload = TypeOf("upload_entry")->NewItem();
        l_upload += l_user;
        l_upload += l_shared;
        SetValue(l_upload, "filename_as_requested", i_file);
        SetUploadEntryStatus(l_upload, "queued");
        const long long l_order = SettingValue("transfer_order_counter").AsInt64();
        SetValue(l_upload, "upload_order", l_order);
        SetSetting("transfer_order_counter", l_order + 1);
        OrderNewUpload(l_upload);
        TransferLog(2, QStringLiteral("Queued"), l_user);
        const ItemSet* lp_uploads =
            static_cast<Item*>(l_user)->ConnectedItems(TypeOf("upload_entry"));
        if (lp_uploads && lp_uploads->size() == manyQueuedUploads + 1)
            TransferLog(1,
                        QStringLiteral("User %1 holds more than %2 queued uploads")
                            .arg(LoggedName(i_user), QString::number(manyQueuedUploads)),
                        l_user);
        gp_server->TrackUser(i_user);
    }
    else
    {
        const std::string l_status = StatusOf(l_upload, "upload_entry_status");
        if (l_status == "queued" || IsActive(l_upload, "upload_entry_status"))
        {
            TransferLog(2, QStringLiteral("Already queued"), l_user);
            return;
        }
        TransferLog(2, QStringLiteral("%1, re-queueing").arg(FromUtf8(l_status)), l_user);
        SetUploadEntryStatus(l_upload, "queued");
    }
    // Whatever else waits has had its chance already: only this user's request is new. A user
    // who floods the queue while offline or while being served costs nothing more per request.
    if (IsOnline(l_user) && !HasActiveUpload(l_user))
        StartNewUploads();
}

int TransferQueueManager::GetUserGroupDownloadPriority(std::string i_user)
{
    ItemPtr l_listed = ItemPtr(TypeOf("user")->HasItem(i_user))["in_user_list"];
    int l_priority = 0;
    for (Item* lp_group : l_listed.GetItems("user_list_group"))
        l_priority = std::max(l_priority, ItemPtr(lp_group)["group_download_priority"].AsInt());
    return l_priority;
}

bool TransferQueueManager::UploadEntrySortCompare(ItemPtr i_a, ItemPtr i_b)
{
    ItemPtr l_userA = i_a["user"];
    ItemPtr l_userB = i_b["user"];
    if (l_userA != l_userB)
    {
        const int l_priorityA = GetUserGroupDownloadPriority(l_userA.AsString());
        const int l_priorityB = GetUserGroupDownloadPriority(l_userB.AsString());
        if (l_priorityA != l_priorityB)
            return l_priorityA > l_priorityB;
        const bool l_privilegedA = HasFlag(l_userA, "is_privileged");
        if (l_privilegedA != HasFlag(l_userB, "is_privileged"))
            return l_privilegedA;
    }
    return i_a["upload_order"].AsInt64() < i_b["upload_order"].AsInt64();
}

void TransferQueueManager::OrderNewUpload(ItemPtr i_upload)
{
    // Its place depends on those that wait before it.
    if (m_uploadsAwaitOrder)
        return;
    if (!m_lastOrderedUpload)
    {
        const std::list<Item*> l_ordered =
            TypeOf("upload_entry")->GetItems().SortNumericBy("effective_upload_order", true);
        m_lastOrderedUpload = l_ordered.empty() ? ItemPtr() : ItemPtr(l_ordered.back());
    }
    if (!m_lastOrderedUpload)
    {
        SetValue(i_upload, "effective_upload_order", 1);
        m_lastOrderedUpload = i_upload;
        return;
    }
    if (UploadEntrySortCompare(m_lastOrderedUpload, i_upload))
    {
        SetValue(i_upload, "effective_upload_order",
                 m_lastOrderedUpload["effective_upload_order"].AsInt64() + 1);
        m_lastOrderedUpload = i_upload;
        return;
    }
    // Going ahead of others renumbers all behind it: the requests read together are placed
    // together, once those in hand are handled, so that a flood renumbers the queue once.
    m_uploadsAwaitOrder = true;
    QMetaObject::invokeMethod(this, &TransferQueueManager::OrderWaitingUploads,
                              Qt::QueuedConnection);
}

void TransferQueueManager::OrderWaitingUploads()
{
    if (!m_uploadsAwaitOrder)
        return;
    m_uploadsAwaitOrder = false;
    // UploadEntrySortCompare as a key: one user's entries share their priority and privilege.
    struct Place
    {
        std::tuple<int, bool, long long> m_key;
        long long m_number;
        Item* mp_upload;
    };
    std::unordered_map<Item*, std::pair<int, bool>> l_users;
    std::vector<Place> l_ordered;
    std::vector<Place> l_waiting;
    for (Item* lp_upload : TypeOf("upload_entry")->GetItems())
    {
        ItemPtr l_upload(lp_upload);
        ItemPtr l_user = l_upload["user"];
        auto [l_found, l_new] = l_users.try_emplace(static_cast<Item*>(l_user));
        if (l_new)
            l_found->second = {GetUserGroupDownloadPriority(l_user.AsString()),
                               HasFlag(l_user, "is_privileged")};
        ItemPtr l_number = l_upload["effective_upload_order"];
        (l_number ? l_ordered : l_waiting)
            .push_back({{-l_found->second.first, !l_found->second.second,
                         l_upload["upload_order"].AsInt64()},
                        l_number ? l_number.AsInt64() : 0,
                        lp_upload});
    }
    if (l_waiting.empty())
        return;
    std::sort(l_ordered.begin(), l_ordered.end(),
              [](const Place& i_a, const Place& i_b) { return i_a.m_number < i_b.m_number; });
    std::sort(l_waiting.begin(), l_waiting.end(),
              [](const Place& i_a, const Place& i_b)
              { return std::get<2>(i_a.m_key) < std::get<2>(i_b.m_key); });
    // Each goes before the first entry it is served ahead of, in the order they came. A queue
    // still in its order is merged with them; one whose priorities changed since it was
    // numbered is walked for each.
    const auto l_ahead = [](const Place& i_a, const Place& i_b) { return i_a.m_key < i_b.m_key; };
    if (std::is_sorted(l_ordered.begin(), l_ordered.end(), l_ahead))
    {
        std::stable_sort(l_waiting.begin(), l_waiting.end(), l_ahead);
        std::vector<Place> l_merged;
        l_merged.reserve(l_ordered.size() + l_waiting.size());
        std::merge(l_ordered.begin(), l_ordered.end(), l_waiting.begin(), l_waiting.end(),
                   std::back_inserter(l_merged), l_ahead);
        l_ordered.swap(l_merged);
    }
    else
        for (const Place& l_place : l_waiting)
            l_ordered.insert(std::find_if(l_ordered.begin(), l_ordered.end(),
                                          [&](const Place& i_other)
                                          { return l_ahead(l_place, i_other); }),
                             l_place);
    long long l_number = 1;
    for (const Place& l_place : l_ordered)
    {
        if (l_place.m_number != l_number)
            SetValue(l_place.mp_upload, "effective_upload_order", l_number);
        ++l_number;
    }
    m_lastOrderedUpload = l_ordered.back().mp_upload;
}

void TransferQueueManager::DetermineUploadsEffectiveOrder()
{
    ItemSet l_uploads = TypeOf("upload_entry")->GetItems();
    std::vector<Item*> l_sorted(l_uploads.begin(), l_uploads.end());
    std::stable_sort(l_sorted.begin(), l_sorted.end(),
                     &TransferQueueManager::UploadEntrySortCompare);
    long long l_number = 1;
    for (Item* lp_upload : l_sorted)
        SetValue(lp_upload, "effective_upload_order", l_number++);
    m_lastOrderedUpload = l_sorted.empty() ? ItemPtr() : ItemPtr(l_sorted.back());
    m_uploadsAwaitOrder = false;
}

int TransferQueueManager::QueuedUploadCount()
{
    return int(EntriesInStatus("upload_entry_status", "upload_entry", "queued"));
}

bool TransferQueueManager::IsFreeToUpload()
{
    return SettingValue("upload_slots").AsUInt() > ActiveUploadCount();
}

SharedFoldersManager::UploadState TransferQueueManager::CurrentUploadState()
{
    if (!transferQueueManager)
        return {};
    return {transferQueueManager->IsFreeToUpload(),
            quint32(transferQueueManager->QueuedUploadCount())};
}

void TransferQueueManager::UnshareUser(std::string i_user)
{
    ItemPtr l_user = User(i_user);
    l_user.NewItem("unshared");
    for (Item* lp_upload : l_user.GetItems("upload_entry"))
    {
        peerMessenger->DenyUpload(i_user, ItemPtr(lp_upload)["filename_as_requested"].AsString(),
                                  "File not shared.");
        RemoveUpload(lp_upload);
    }
}

void TransferQueueManager::ReshareUser(std::string i_user)
{
    User(i_user).Disconnect("unshared");
}

// Uploads

std::size_t TransferQueueManager::ActiveUploadCount()
{
    std::size_t l_count = 0;
    for (const char* lp_status : activeUploadStatuses)
        l_count += EntriesInStatus("upload_entry_status", "upload_entry", lp_status);
    return l_count;
}

void TransferQueueManager::RemoveUpload(ItemPtr i_upload)
{
    if (!IsLiveEntry(i_upload, uploads.mp_entry))
        return;
    ReleaseTransfer(i_upload, uploads);
    if (m_lastOrderedUpload == i_upload)
        m_lastOrderedUpload = ItemPtr();
    i_upload.Remove();
}

QString TransferQueueManager::SharedFilePath(ItemPtr i_shared)
{
    return DiskPath(FromUtf8(i_shared["shared_file_folder"].AsString()) + QLatin1Char('/') +
                    FromUtf8(i_shared["shared_file_name"].AsString()));
}

qint64 TransferQueueManager::OfferedSize(ItemPtr i_shared)
{
    // The file may have changed since the last scan; the downloader expects what is offered.
    const QString l_path = SharedFilePath(i_shared);
    const QFileInfo l_file(l_path);
    if (!l_file.isFile())
        return i_shared["shared_file_size"].AsInt64();
    const qint64 l_size = l_file.size();
    sharedFoldersManager->UpdateSharedFileSize(i_shared, l_path, l_size);
    return l_size;
}

void TransferQueueManager::StartNewUploads()
{
    qint64 l_free = qint64(SettingValue("upload_slots").AsUInt()) - qint64(ActiveUploadCount());
    if (l_free <= 0)
        return;
    OrderWaitingUploads();
    ItemSet l_queued = EntriesWithStatus("upload_entry_status", "upload_entry", "queued");
    // Users found offline or served, each looked at once however many files they queued.
    std::unordered_set<Item*> l_passed;
    for (Item* lp_upload : l_queued.SortNumericBy("effective_upload_order", true))
    {
        ItemPtr l_upload(lp_upload);
        ItemPtr l_user = l_upload["user"];
        if (!l_passed.insert(static_cast<Item*>(l_user)).second || !IsOnline(l_user) ||
            HasActiveUpload(l_user))
            continue;
        const qint64 l_size = OfferedSize(l_upload["shared_file"]);
        const unsigned int l_token = peerMessenger->RequestUpload(
            l_user.AsString(), l_upload["filename_as_requested"].AsString(), l_size);
        SetUploadEntryStatus(l_upload, "requesting");
        SetValue(l_upload, "transfer_req", l_token);
        SetValue(l_upload, "file_size", static_cast<long long>(l_size));
        DetermineUploadSpeedLimit();
        if (--l_free == 0)
            return;
    }
}

void TransferQueueManager::SetUploadSlots(int i_slots)
{
    if (i_slots < 1 || i_slots > 99)
        return;
    const int l_old = SettingValue("upload_slots").AsInt();
    SetSetting("upload_slots", i_slots);
    if (i_slots > l_old)
        StartNewUploads();
}

void TransferQueueManager::SetUploadSpeedLimit(int i_limit)
{
    SetSetting("upload_speed_limit", i_limit);
    DetermineUploadSpeedLimit();
}

void TransferQueueManager::EnableUploadSpeedLimit(bool i_enabled)
{
    SetSetting("upload_speed_limit_enabled", i_enabled ? "yes" : "no");
    DetermineUploadSpeedLimit();
}

void TransferQueueManager::DetermineUploadSpeedLimit()
{
    const int l_limit = SettingValue("upload_speed_limit").AsInt();
    if (l_limit < 1 || SettingValue("upload_speed_limit_enabled").AsString() != "yes")
    {
        m_speedLimit.Clear();
        return;
    }
    ItemSet l_active;
    for (const char* lp_status : activeUploadStatuses)
        l_active.Add(EntriesWithStatus("upload_entry_status", "upload_entry", lp_status));
    const int l_count = int(l_active.size());
    m_speedLimit.Set(l_limit, std::max(1, l_count > 0 ? l_limit / l_count : l_limit));
    for (Item* lp_upload : l_active)
    {
        ItemPtr l_upload(lp_upload);
        if (QDateTime* lp_time = l_upload["last_speed_measurement_time"].AsPtr<QDateTime>())
            *lp_time = QDateTime::currentDateTime();
        if (Counter* lp_bytes = l_upload["bytes_since_last_receipt"].AsPtr<Counter>())
            lp_bytes->store(0);
    }
}

int TransferQueueManager::GetUploadSpeed()
{
    return m_speedLimit.Total();
}

void TransferQueueManager::OnUploadComplete(quint64 i_serial)
{
    ItemPtr l_upload = EntryOfThread(i_serial, uploads);
    if (!l_upload)
        return;
    const Speed* lp_speed = l_upload["bytes_per_second"].AsPtr<Speed>();
    const int l_speed = lp_speed ? lp_speed->load() : 0;
    TransferLog(1, QStringLiteral("Recording upload speed of %1").arg(l_speed));
    if (l_upload["file_size"].AsInt64() > reportedUploadSize && l_speed > 0)
        gp_server->SendUploadSpeed(l_speed);
    SetUploadEntryStatus(l_upload, "complete");
    StartNewUploads();
}

void TransferQueueManager::OnUploadError(quint64 i_serial)
{
    ItemPtr l_upload = EntryOfThread(i_serial, uploads);
    if (!l_upload)
        return;
    SetUploadEntryStatus(l_upload, "aborted");
    StartNewUploads();
}

// Time-outs

void TransferQueueManager::EveryHalfMinute()
{
    ItemSet l_phases;
    for (const char* lp_status : {"requesting", "connecting", "waiting for offset"})
        l_phases.Add(EntriesWithStatus("upload_entry_status", "upload_entry", lp_status));
    const QDateTime l_now = QDateTime::currentDateTime();
    bool l_aborted = false;
    for (Item* lp_upload : l_phases)
    {
        ItemPtr l_upload(lp_upload);
        const QDateTime l_changed = QDateTime::fromString(
            FromUtf8(l_upload["last_status_change_time"].AsString()), Qt::TextDate);
        if (l_changed.msecsTo(l_now) < uploadPhaseTimeout)
            continue;
        const std::string l_status = StatusOf(l_upload, "upload_entry_status");
        TransferLog(
            1,
            QStringLiteral("Upload of %1 to %2 timed out in %3 phase, aborting")
                .arg(LoggedText(FromUtf8(l_upload["shared_file"]["shared_file_name"].AsString())),
                     LoggedName(l_upload["user"].AsString()), FromUtf8(l_status)));
        SetUploadEntryStatus(l_upload, "aborted");
        l_aborted = true;
    }
    if (l_aborted)
        StartNewUploads();

    ItemSet l_users = EntriesWithStatus("download_entry_status", "download_entry", "queued")
                          .GetItems("user")
                          .Connected("is_online");
    for (Item* lp_user : l_users)
    {
        ItemPtr l_user(lp_user);
        if (IsActivelyDownloadingFromUser(l_user.AsString()))
            continue;
        if (ItemPtr l_stamp = l_user["last_place_in_line_request_time"])
        {
            const qint64 l_age =
                QDateTime::fromString(FromUtf8(l_stamp.AsString()), Qt::TextDate).msecsTo(l_now);
            if (l_age < placeInLineInterval)
                continue;
        }
        RequestUserDownloadsPlaceInLine(l_user.AsString());
        SetValue(l_user, "last_place_in_line_request_time", NowText());
    }
}
