#pragma once

#include "AttributeTranslationTable.h"
#include "ConnectionWatch.h"
#include "DataHandler.h"
#include "FileInfoMap.h"
#include "FolderListing.h"
#include "ItemPtr.h"
#include "ItemSet.h"
#include "MP3Scanner.h"
#include "MemStream.h"
#include "UserStats.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QThread>
#include <QThreadPool>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class Item;
class SearchParser;
class Type;
struct ConnectionInfo;

// The index of the own shared folders, kept in the store: one `shared_folder` per shared folder,
// one `shared_file_folder` per folder on disk below it (itself included, all connected to the
// shared folder), one `shared_file` per file with its name, size, search tokens and MP3
// attributes. Scans run on the GUI thread; MP3 files are read by the scanner on a worker thread.
// Answers other users' requests for the file list and for one folder, and their searches from the
// distributed network, within each folder's access; holds the lists received from them, and
// reports the share's counts to the server at login.
// Also declares the types of the share lists received from other users and the `unshared` flag.
class SharedFoldersManager : public QObject, public DataHandler
{
    Q_OBJECT

public:
    // The most that a list received from another user may hold; a larger list is refused whole,
    // and so is one that would make the lists held from all users pass their file count.
    struct UserShareLimits
    {
        std::size_t m_folders;
        std::size_t m_files;
        std::size_t m_allFiles = 3000000;
    };
    // What a search reply tells of the own uploads; the transfer service provides it.
    struct UploadState
    {
        bool m_freeSlot = false;
        quint32 m_queued = 0;
    };
    using UploadStateProvider = std::function<UploadState()>;
    // Compressed file lists kept at once, one per set of shared folders that users may see.
    static constexpr std::size_t MaxCachedFileLists = 16;
    // A search matching more visible files than this gets no answer.
    static constexpr std::size_t MaxSearchResults = 200;
    // Words a search may hold that are matched within file names ("-word", "*part"): each is
    // looked for in every candidate's name, so a text of thousands of them would make one search
    // cost thousands of passes over the index. A search with more gets no answer.
    static constexpr std::size_t MaxSearchNameWords = 32;

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

    // Answers another user's search when between 1 and MaxSearchResults files that the user may
    // see hold every included word, contain every "*part" and no "-word" in their names. The
    // cost grows with the files of the rarest included word, or with the distinct names when
    // those are at most twice as many and there are words to match within names, and stops
    // at the first file past the limit.
    void ProcessSearch(std::string i_user, quint32 i_req, std::string i_searchText);
    // The message that ProcessSearch sends, code word first; none when the search gets no answer.
    std::optional<MemStream> BuildSearchReply(const std::string& i_user, quint32 i_req,
                                              const std::string& i_searchText);

    // The whole shared-file list message for the user: code 5, then the zlib stream of the folders
    // the user may see, their files and an empty attribute translation table. Built once per set
    // of visible shared folders until the index changes; every call returns a copy of its own.
    // None when it could not be compressed (logged).
    std::optional<MemStream> GetSharedFilesMessage(std::string i_user);
    // Sends the user the same message through the messenger: at once when a kept copy serves,
    // otherwise once a worker thread has built and compressed it from a copy of the index taken
    // now. A list built while the index changed is sent to those who asked before, not kept.
    void SendSharedFilesMessage(std::string i_user);

    // Records the size a shared file was found to have since it was indexed (i_path is where it
    // lies on disk); an MP3 file is scanned again.
    void UpdateSharedFileSize(ItemPtr i_file, const QString& i_path, qint64 i_size);

    // Where search replies learn the upload state; without one they tell of no free slot and
    // nothing queued.
    void SetUploadStateProvider(UploadStateProvider i_provider)
    {
        m_uploadStateProvider = std::move(i_provider);
    }

    // Deletes the list received from the user, if one is held, and forgets one still asked for.
    void RemoveUserShare(const std::string& i_user);
    // A file's bitrate, bitrate mode and play length as one line, for instance "192 VBR, 3m35s".
    static QString GetFileItemDisplayString(ItemPtr i_file);

    // For tests: waits for the file lists being built and sends them now.
    void FinishFileLists();
    // For tests: the caps on received lists.
    void SetUserShareLimits(const UserShareLimits& i_limits) { m_userShareLimits = i_limits; }
    const UserShareLimits& GetUserShareLimits() const { return m_userShareLimits; }

signals:
    // i_file carries the path's bytes one character each.
    void MP3ScanRequired(QString i_file);
    void SharedFilesRescanned(int i_filesAdded, int i_filesRemoved);
    // SendSharedFilesMessage's answer, as it goes to the messenger.
    void SharedFilesMessageReady(std::string i_user, QByteArray i_message);

public slots:
    // Stores a scan result on the file, replacing older attributes.
    void OnMP3Scanned(QString i_file, int i_mpegVersion, QString i_channelMode, int i_frequency,
                      bool i_isVBR, int i_bitrate);
    // The server's statistics of a user; those of the own user give the upload speed.
    void OnReceivedUserStats(std::string i_user, UserStats i_stats);
    // Tells the server the size of the share and asks for the own statistics, at every login.
    void OnConnectedToServer();
    // Another user's list becomes store items, unless one from that user is held already.
    void OnUserShare(std::string i_user, FileInfoMap& i_share,
                     AttributeTranslationTable& i_translationTable);
    // Sends the whole shared-file list that the user may see.
    void OnSharedFileListRequested(std::string i_user);
    // Sends the files of one folder, when the user may see it.
    void OnFilesInFoldersRequested(std::string i_user, quint32 i_req, std::string i_folder);
    // Another user's search from the distributed network.
    void OnDNetSearchRequest(std::string i_user, quint32 i_req, std::string i_searchText);

private:
    void DeclareIndexTypes();
    void DeclareUserShareTypes();
    void OnSharedFolderAdded(Item* ip_folder);
    // A new size: the audio attributes are forgotten with the old one.
    void ResizeSharedFile(ItemPtr i_file, qint64 i_size);
    void ScanIfDue(ItemPtr i_file, const std::string& i_name, const QString& i_path);
    // A new file or folder name lacks its lowercase partner until a lookup needs one: made at
    // once, they would double the cost of loading the data file and of scanning new files.
    void OnLookupNameAdded(Item* ip_name);
    // Connects every file and folder name to the item of its lowercased value.
    void GiveLowercasePartners();
    // The search words of a folder's path, which every file below it shares: each pass's words
    // as text, and their items once a file first needs them.
    struct FolderWords
    {
        std::vector<std::string> m_words[2];
        std::vector<Item*> m_items[2];
        bool m_resolved[2] = {false, false};
    };
    // Indexes one file of the folder: ip_known is its item when the folder already held it;
    // i_folderPath ends with a separator.
    void AddSharedFile(Item* ip_folder, Item* ip_known, const std::string& i_name,
                       const std::string& i_folderPath, qint64 i_size, FolderWords& i_words);
    static FolderWords WordsOfFolder(const std::string& i_folder);
    // Connects the file to the folder's words and those of its name, each once.
    void LinkWords(Item* ip_file, FolderWords& i_words, const std::string& i_name);

    // A file list being built on the worker, and who waits for it.
    struct FileListBuild
    {
        std::vector<std::uint64_t> m_key;
        std::uint64_t m_generation = 0;
        std::vector<std::string> m_users;
    };
    // The serials of the shared folders that a user may see: the key of the kept lists.
    static std::vector<std::uint64_t> FileListKey(const ItemSet& i_sharedFolders);
    void KeepFileList(std::vector<std::uint64_t> i_key, std::string i_message);
    // An empty message: the list could not be compressed (logged).
    void OnFileListBuilt(std::uint64_t i_build, std::optional<std::string> i_message);
    void DeliverFileList(const std::string& i_user, const std::string& i_message);
    // Hears of changes to the index while kept lists, lists being built or the known coverage
    // of the shared folders depend on it.
    void WatchIndex();
    // Any change to files, folders or their access forgets the compressed lists.
    void OnIndexChanged();
    // The files that answer the search, in serial order; empty when none or too many do.
    std::vector<Item*> FindSearchMatches(const SearchParser& i_parser, const std::string& i_user);
    // Whether every file lies in a folder of some shared folder; known until the index changes.
    bool IsEveryFileShared();
    // Whether every file has a name; known until the index changes.
    bool IsEveryFileNamed();
    // Whether every file is connected to an item of ip_holders that is connected to an item of
    // ip_required (any item when null); io_known keeps the answer.
    bool IsEveryFileHeld(std::optional<bool>& io_known, Type* ip_holders, Type* ip_required);
    // Whether the list is within the caps; logs the refusal when not.
    bool IsUserShareAcceptable(const std::string& i_user, const FileInfoMap& i_share);

    QThread m_workerThread;
    MP3Scanner m_scanner;
    ConnectionWatch m_indexWatch;
    qint32 m_filesAdded = 0;
    qint32 m_filesRemoved = 0;
    std::set<std::string> m_foldersInProgress;
    // The folders in progress as found on disk: a link back to one of them is a cycle.
    std::set<FolderListing::Identity> m_foldersOnDiskInProgress;
    // Kept from file to file so that linking a file's words allocates nothing.
    struct WordBuffers
    {
        std::string m_name;
        std::vector<std::string_view> m_words;
        std::vector<Item*> m_items;
    } m_wordBuffers;
    // Set by a scan that left items for the collector: files removed, sizes replaced.
    bool m_madeGarbage = false;
    // While a rescan runs, the folders that the scan of one shared folder reached.
    std::set<Item*> m_reachedFolders;
    bool m_rescanning = false;
    Type* mp_fileType = nullptr;
    Type* mp_nameType = nullptr;
    Type* mp_sizeType = nullptr;
    Type* mp_tokenType = nullptr;
    Type* mp_scannedType = nullptr;
    Type* mp_lowerNameType = nullptr;
    Type* mp_lowerFolderType = nullptr;
    bool m_hasLowercasePartners = true;
    Type* mp_fileFolderType = nullptr;
    Type* mp_sharedFolderType = nullptr;
    UserShareLimits m_userShareLimits;
    UploadStateProvider m_uploadStateProvider;
    // By the serials of the visible shared folders, in serial order.
    std::map<std::vector<std::uint64_t>, std::string> m_fileListCache;
    // Grows with every change to the files, folders or their access.
    std::uint64_t m_indexGeneration = 0;
    std::map<std::uint64_t, FileListBuild> m_fileListBuilds;
    std::uint64_t m_nextFileListBuild = 1;
    // One thread: lists are built one after another.
    QThreadPool m_fileListBuilder;
    // Known until the index changes.
    std::optional<bool> m_everyFileShared;
    std::optional<bool> m_everyFileNamed;
};

extern SharedFoldersManager* sharedFoldersManager;
