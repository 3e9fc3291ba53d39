#pragma once

#include "DataHandler.h"
#include "DataLoadedEventHandler.h"
#include "ItemPtr.h"
#include "SharedFoldersManager.h"
#include "UploadSpeedLimit.h"

#include <QObject>
#include <QString>

#include <string>
#include <unordered_map>
#include <vector>

class Item;
class QTcpSocket;
class TransferThread;

// The transfer service: every download, upload and finished download as items of the store,
// their statuses, the download queue with the files' owners, the upload queue and its order,
// the file connections and their threads, the placement of finished files and the upload speed
// limit. Everything here runs on the GUI thread; the transfer threads report through queued
// signals that carry their serial.
class TransferQueueManager : public QObject, public DataHandler, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    // The type names that one direction of transfers keeps its running transfer under.
    struct Vocabulary
    {
        const char* mp_entry;
        const char* mp_status;
        const char* mp_thread;
        const char* mp_file;
        const char* mp_socket;
        const char* mp_position;
    };
    static const Vocabulary downloads;
    static const Vocabulary uploads;

    // Needs the user, file size, search text, shared file and settings types, the timers, the
    // data saver, the server and the peer messenger.
    TransferQueueManager();
    // Stops every transfer thread (all are asked first, then waited for) and frees what the
    // running transfers hold.
    ~TransferQueueManager() override;

    void DataLoaded() override;

    // Entries. An entry that is gone already, or is no entry of that kind, is left alone.
    void RemoveDownload(ItemPtr i_download);
    void RemoveUpload(ItemPtr i_upload);

    // Statuses; leaving an active status releases the thread, file, socket and values.
    void SetDownloadEntryStatus(ItemPtr i_download, std::string i_status);
    void SetUploadEntryStatus(ItemPtr i_upload, std::string i_status);

    // The download queue.
    ItemPtr AddDownload(std::string i_user, std::string i_fileName, std::string i_remoteFolder,
                        qint64 i_size, int i_subfolderSaveLevel);
    ItemPtr GetDownloadEntry(std::string i_user, std::string i_fileName,
                             std::string i_remoteFolder);
    void QueueDownloadIfUserOnline(ItemPtr i_download);
    void RequestDownloadPlaceInLine(ItemPtr i_download);
    void RequestUserDownloadsPlaceInLine(std::string i_user);
    bool IsActivelyDownloadingFromUser(std::string i_user);
    void OnUserOnline(Item* ip_user);

    // Placement of downloads: folders and paths "\"-separated, every name from a peer made safe;
    // empty for a download that is gone.
    QString GetDownloadTargetFolder(ItemPtr i_download, bool i_complete);
    QString GetDownloadTargetPath(ItemPtr i_download, bool i_complete);
    QString GetDownloadRelativeDownloadFolder(ItemPtr i_download);
    bool DoesDownloadItemCompleteFilenameExist(ItemPtr i_download);
    void RemoveDownloadDownloadingFolderIfAppropriate(ItemPtr i_download);

    // The upload queue and its serving order: group priority, then privileges, then arrival.
    void OrderNewUpload(ItemPtr i_upload);
    // Numbers the entries still waiting for a place, and the queue behind them.
    void OrderWaitingUploads();
    static bool UploadEntrySortCompare(ItemPtr i_a, ItemPtr i_b);
    static int GetUserGroupDownloadPriority(std::string i_user);
    // Both cost the same however long the queue is: they answer every search.
    int QueuedUploadCount();
    bool IsFreeToUpload();
    // The sharing service's provider of both: the transfer service's state while there is one.
    static SharedFoldersManager::UploadState CurrentUploadState();
    void UnshareUser(std::string i_user);
    void ReshareUser(std::string i_user);

    // Uploads.
    void StartNewUploads();
    void SetUploadSlots(int i_slots);
    void SetUploadSpeedLimit(int i_limit);
    void EnableUploadSpeedLimit(bool i_enabled);
    void DetermineUploadSpeedLimit();
    int GetUploadSpeed();
    UploadSpeedLimit& SpeedLimit() { return m_speedLimit; }

signals:
    void DownloadProgressed(ItemPtr i_download);
    void UploadProgressed(ItemPtr i_upload);
    void TransfersLoaded();
    void CompleteDownloadAdded(ItemPtr i_download);

public slots:
    void OnFileTransferRequest(std::string i_user, int i_direction, uint i_req, std::string i_file,
                               qint64 i_fileSize);
    void OnFileConnection(std::string i_user, QTcpSocket* ip_socket, uint i_requestID);
    void OnQueueUploadRequested(std::string i_user, std::string i_file);
    void OnFileConnectionAccepted(std::string i_user, QTcpSocket* ip_socket);
    void OnFileTransferResponse(std::string i_user, uint i_req, bool i_accepted,
                                bool i_receivedFileSize, qint64 i_fileSize,
                                std::string i_denialReason);
    void OnUploadFailedNotification(std::string i_user, std::string i_file);
    void OnUploadDeniedNotification(std::string i_user, std::string i_file, std::string i_reason);
    void OnDownloadPlaceInLine(std::string i_user, std::string i_file, int i_place);
    void PeriodicCheck();
    void EveryHalfMinute();
    void OnDownloadProgress(quint64 i_serial, qint64 i_offset, int i_bytesPerSecond);
    void OnDownloadComplete(quint64 i_serial);
    void OnDownloadError(quint64 i_serial);
    void OnUploadProgress(quint64 i_serial, qint64 i_offset, int i_bytesPerSecond);
    void OnUploadComplete(quint64 i_serial);
    void OnUploadError(quint64 i_serial);
    // Sorts every upload and numbers the serving order again from 1.
    void DetermineUploadsEffectiveOrder();

private:
    void DeclareDownloadTypes();
    void DeclareUploadTypes();
    void DeclareCompleteDownloadTypes();
    void WriteSettingDefaults();
    void OnDownloadStatusAdded(Item* ip_status);
    void OnUploadStatusAdded(Item* ip_status);
    template <typename T> void FreeValue(Item* ip_item);

    // A status change of either direction; true when the entry left an active status.
    bool ChangeStatus(ItemPtr i_entry, const Vocabulary& i_vocabulary, const std::string& i_status);
    // Stops and frees what a running transfer holds: the thread is asked to stop, then waited.
    void ReleaseTransfer(ItemPtr i_entry, const Vocabulary& i_vocabulary);
    // Connects the transient values of a transfer that starts; the position starts at i_position.
    void AttachTransferValues(ItemPtr i_entry, const Vocabulary& i_vocabulary, qint64 i_position);
    // Hands the socket to the thread, connects its signals and starts it.
    template <typename Thread>
    void StartThread(ItemPtr i_entry, const Vocabulary& i_vocabulary, QTcpSocket* ip_socket,
                     Thread* ip_thread);
    // The entry whose running thread has the serial; null when that thread has been released.
    ItemPtr EntryOfThread(quint64 i_serial, const Vocabulary& i_vocabulary);
    void StoreProgress(ItemPtr i_entry, const Vocabulary& i_vocabulary, qint64 i_offset,
                       int i_bytesPerSecond);
    // Refuses a file connection that no download may take now.
    void CloseFileConnection(QTcpSocket* ip_socket, const QString& i_reason, ItemPtr i_user);
    bool IsTargetBeingWritten(ItemPtr i_download, const QString& i_path);
    // Where the download keeps its partial file, as a local path: the name it has claimed in the
    // downloading folder, else its own file name.
    QString PartialPath(ItemPtr i_download);
    // Claims the partial file's name for a download that has none yet: its own file name, unless
    // an earlier download of another user keeps its partial file there; then the first free
    // numbered name, so that no download resumes from another's bytes. Empty text when every
    // numbered name is taken.
    QString ClaimPartialPath(ItemPtr i_download);
    // Moves the finished file to the complete folder under a free name; the name or empty text.
    QString MoveToCompleteFolder(ItemPtr i_download);
    void RecordCompleteDownload(ItemPtr i_download, const QString& i_fileName);
    // The trailing levels of the remote folder that the download keeps, as safe components: at
    // most the folder's own depth, however large the save level.
    std::vector<std::string> RelativeComponents(ItemPtr i_download);
    // The relative folder, each component led by the separator; empty when there is none.
    std::string RelativeFolder(ItemPtr i_download, char i_separator);
    // GetDownloadTargetFolder as a local path: the download folder as set, then the relative
    // folder "/"-separated.
    QString LocalTargetFolder(ItemPtr i_download, bool i_complete);
    // The number of upload entries in active statuses, kept with the statuses.
    std::size_t ActiveUploadCount();
    static QString SharedFilePath(ItemPtr i_shared);
    // The size of the shared file as it is now, recorded in the index when it changed; a file
    // that cannot be seen keeps the indexed size (its opening fails later).
    static qint64 OfferedSize(ItemPtr i_shared);

    UploadSpeedLimit m_speedLimit;
    ItemPtr m_lastOrderedUpload;
    // Entries wait for a place; new ones wait with them (OrderWaitingUploads places them).
    bool m_uploadsAwaitOrder = false;
    // The running threads by serial: a queued signal names its thread by serial.
    std::unordered_map<quint64, TransferThread*> m_threads;
    quint64 m_nextSerial = 1;
};

extern TransferQueueManager* transferQueueManager;
