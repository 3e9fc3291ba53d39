#pragma once

#include "DataHandler.h"
#include "ItemPtr.h"
#include "ItemSet.h"
#include "MP3Scanner.h"
#include "MemStream.h"
#include "UserStats.h"

#include <QObject>
#include <QString>
#include <QThread>

#include <set>
#include <string>

class Item;
class Type;

// The index of the own shared folders, kept in the store: one `shared_folder` per shared folder,
// one `shared_file_folder` per folder on disk below it (itself included, all connected to the
// shared folder), one `shared_file` per file with its name, size, search tokens and MP3
// attributes. Scans run on the GUI thread; MP3 files are read by the scanner on a worker thread.
// Also declares the types of the share lists received from other users and the `unshared` flag.
class SharedFoldersManager : public QObject, public DataHandler
{
    Q_OBJECT

public:
    explicit SharedFoldersManager(QObject* ip_parent = nullptr);
    // Stops the scanner and waits for its thread; a scan in progress finishes first.
    ~SharedFoldersManager() override;

    // After the data file is loaded: new shared folders are scanned as they appear, and every
    // shared folder is rescanned.
    void Init();
    // Scans every shared folder again, drops what vanished and emits SharedFilesRescanned.
    void RescanShares();
    // Scans a folder on disk, with its subfolders, as part of the shared folder.
    void AddSharedFiles(const std::string& i_sharedFolder, const std::string& i_folder);
    // Connects the file to the search tokens of its lowercased folder and name.
    void TokenizeSharedFile(ItemPtr i_file);
    // Bytes below 128 that are no ASCII letter or digit.
    static bool IsSearchTokenSeparator(unsigned char i_byte);

    // The shared folders that the user may see.
    ItemSet GetUserSharedFolders(const std::string& i_user);
    // Whether the user may have the `shared_file`.
    bool IsFileSharedWithUser(ItemPtr i_file, const std::string& i_user);
    // The own `shared_file` that a local path names, whatever its letter case and doubled
    // separators; an exact match wins over others that differ in case. Null when none.
    ItemPtr GetSharedFileItem(const std::string& i_path);

    // The whole body of a shared-file list message for the user: code 5, then the zlib stream of
    // the folders the user may see and the attribute translation table. For now an empty list.
    MemStream GetSharedFilesMessage(std::string i_user);

signals:
    // i_file carries the path's bytes one character each.
    void MP3ScanRequired(QString i_file);
    void SharedFilesRescanned(int i_filesAdded, int i_filesRemoved);

public slots:
    // Stores a scan result on the file, replacing older attributes.
    void OnMP3Scanned(QString i_file, int i_mpegVersion, QString i_channelMode, int i_frequency,
                      bool i_isVBR, int i_bitrate);
    // The server's statistics of a user; those of the own user give the upload speed.
    void OnReceivedUserStats(std::string i_user, UserStats i_stats);

private:
    void DeclareIndexTypes();
    void DeclareUserShareTypes();
    void OnSharedFolderAdded(Item* ip_folder);
    void OnSharedFileNameAdded(Item* ip_name);
    void OnSharedFileFolderAdded(Item* ip_folder);
    // Indexes one file of the folder: i_known is its item when the folder already held it.
    void AddSharedFile(ItemPtr i_folder, ItemPtr i_known, const std::string& i_name,
                       const QString& i_path, qint64 i_size);

    QThread m_workerThread;
    MP3Scanner m_scanner;
    qint32 m_filesAdded = 0;
    qint32 m_filesRemoved = 0;
    std::set<std::string> m_foldersInProgress;
    // The resolved paths of the folders in progress: a link back to one of them is a cycle.
    std::set<QString> m_resolvedFoldersInProgress;
    Type* mp_fileType = nullptr;
    Type* mp_nameType = nullptr;
    Type* mp_sizeType = nullptr;
    Type* mp_tokenType = nullptr;
};

extern SharedFoldersManager* sharedFoldersManager;
