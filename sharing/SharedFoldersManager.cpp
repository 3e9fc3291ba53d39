#include "SharedFoldersManager.h"

#include "AttributeTranslationTable.h"
#include "CompressedMessage.h"
#include "DNetManager.h"
#include "Data.h"
#include "DataSaver.h"
#include "FileInfoMap.h"
#include "GeneralFunctions.h"
#include "InputStream.h"
#include "Log.h"
#include "PeerMessageCode.h"
#include "PeerMessenger.h"
#include "SearchMatcher.h"
#include "SearchParser.h"
#include "Server.h"
#include "SharedFileList.h"
#include "SharedFolderInfo.h"
#include "StoreFunctions.h"

#include <QCoreApplication>
#include <QDir>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

SharedFoldersManager* sharedFoldersManager = nullptr;

namespace
{
// What a scan result sets on a file; a file whose size changed loses them to be read again.
const char* const g_audioTypes[] = {"mpeg_version", "channel_mode", "audio_frequency",
                                    "bitrate_mode", "bitrate"};

struct TypeDeclaration
{
    const char* mp_name;
    bool m_isRoot;
    bool m_isNull;
};

// An A item holds at most one B item when y is One; a B item holds at most one A item when x is
// One.
struct Relation
{
    const char* mp_a;
    const char* mp_b;
    OneOrMany m_x;
    OneOrMany m_y;
};

// Every type of the subsystem creates its items on lookup.
const TypeDeclaration g_indexTypes[] = {
    {"shared_file", false, true},
    {"shared_file_name", false, false},
    {"shared_file_lowercase_name", false, false},
    {"shared_file_folder", false, false},
    {"shared_file_folder_lowercase_name", false, false},
    {"shared_file_size", false, false},
    {"shared_public", false, true},
    {"shared_userlist", false, true},
    {"is_scanned", false, true},
};

const Relation g_indexRelations[] = {
    {"shared_folder", "shared_file_folder", Many, Many},
    {"shared_file", "shared_file_folder", Many, One},
    {"shared_file_folder", "shared_file_folder_lowercase_name", Many, One},
    {"shared_file", "shared_file_name", Many, One},
    {"shared_file_name", "shared_file_lowercase_name", Many, One},
    {"shared_file", "shared_file_size", Many, One},
    {"shared_folder", "shared_public", Many, One},
    {"shared_folder", "shared_userlist", Many, One},
    {"shared_folder", "user_list_group", Many, Many},
};

// The share lists received from other users.
const TypeDeclaration g_userShareTypes[] = {
    {"user_share", true, true},
    {"user_share_loaded", false, true},
    {"user_share_folder", false, true},
    {"user_share_folder_parent", false, true},
    {"user_share_folder_child", false, true},
    {"user_share_folder_name", false, false},
    {"user_share_file", false, true},
    {"user_share_file_name", false, false},
};

const Relation g_userShareRelations[] = {
    {"user_share", "user", One, One},
    {"user_share", "user_share_loaded", Many, One},
    {"user_share", "user_share_folder", One, Many},
    {"user_share_folder", "user_share_folder_name", Many, One},
    {"user_share_folder", "user_share_file", One, Many},
    {"user_share_folder", "user_share_folder_parent", One, One},
    {"user_share_folder", "user_share_folder_child", One, Many},
    {"user_share_folder_parent", "user_share_folder_child", One, One},
    {"user_share_file", "user_share_file_name", Many, One},
    {"user_share_file", "file_size", Many, One},
};

template <std::size_t N> void Declare(const TypeDeclaration (&i_types)[N])
{
    for (const TypeDeclaration& l_type : i_types)
        d.NewType(l_type.mp_name, l_type.m_isRoot, l_type.m_isNull, true);
}

template <std::size_t N> void Relate(const Relation (&i_relations)[N])
{
    for (const Relation& l_relation : i_relations)
        ::Relate(l_relation.mp_a, l_relation.mp_b, l_relation.m_x, l_relation.m_y);
}

std::string Bytes(const QString& i_text)
{
    return i_text.toUtf8().toStdString();
}

bool IsMp3Name(const std::string& i_name)
{
    if (i_name.size() <= 4)
        return false;
    const std::string_view l_end = std::string_view(i_name).substr(i_name.size() - 4);
    return l_end == ".mp3" || l_end == ".MP3";
}

char LowerAscii(char i_byte)
{
    return i_byte >= 'A' && i_byte <= 'Z' ? char(i_byte - 'A' + 'a') : i_byte;
}

// The passes of the tokeniser, as bits: the first takes ASCII letters, digits and bytes of 128 and
// above into its words, the second every byte but spaces and slashes.
constexpr std::uint8_t FirstPass = 1;
constexpr std::uint8_t SecondPass = 2;

constexpr bool IsFirstPassValue(int i_byte)
{
    return i_byte >= 128 || (i_byte >= 'a' && i_byte <= 'z') || (i_byte >= 'A' && i_byte <= 'Z') ||
           (i_byte >= '0' && i_byte <= '9');
}

// The passes whose words take each byte: one look-up a byte while splitting.
constexpr std::array<std::uint8_t, 256> g_passesOfByte = []
{
    std::array<std::uint8_t, 256> l_passes{};
    for (int l_byte = 0; l_byte < 256; ++l_byte)
        l_passes[std::size_t(l_byte)] =
            std::uint8_t((IsFirstPassValue(l_byte) ? FirstPass : 0) |
                         (l_byte != ' ' && l_byte != '/' && l_byte != '\\' ? SecondPass : 0));
    return l_passes;
}();

bool InPass(char i_byte, std::uint8_t i_pass)
{
    return (g_passesOfByte[static_cast<unsigned char>(i_byte)] & i_pass) != 0;
}

// The maximal runs of bytes that the pass takes, appended in order.
template <typename Token>
void Split(const std::string& i_text, std::uint8_t i_pass, std::vector<Token>& i_tokens)
{
    std::size_t l_start = 0;
    while (l_start < i_text.size())
    {
        while (l_start < i_text.size() && !InPass(i_text[l_start], i_pass))
            ++l_start;
        std::size_t l_end = l_start;
        while (l_end < i_text.size() && InPass(i_text[l_end], i_pass))
            ++l_end;
        if (l_end > l_start)
            i_tokens.emplace_back(std::string_view(i_text).substr(l_start, l_end - l_start));
        l_start = l_end;
    }
}

std::string WithSeparator(std::string i_path, char i_from, char i_to)
{
    std::replace(i_path.begin(), i_path.end(), i_from, i_to);
    return i_path;
}

void Shared(const QString& i_message)
{
    Log(QStringLiteral("Shared"), 1, i_message);
}

// A reply that cannot be compressed is logged and not sent: the requester gets nothing.
std::optional<MemStream> CompressedReply(quint32 i_code, const MemStream& i_body,
                                         const QString& i_what)
{
    std::optional<MemStream> l_message = CompressedMessage(i_code, i_body);
    if (!l_message)
        Shared(QStringLiteral("Could not compress the %1 (%2 bytes), not sending it")
                   .arg(i_what, QString::number(i_body.GetPendingReadLength())));
    return l_message;
}

void FileListNotCompressed()
{
    Shared(QStringLiteral("Could not compress the file list, not sending it"));
}

// The file connected to both items, or null.
Item* CommonFile(Item* ip_folder, Item* ip_name, Type* ip_fileType)
{
    const ItemSet* lp_inFolder = ip_folder->ConnectedItems(ip_fileType);
    const ItemSet* lp_named = ip_name->ConnectedItems(ip_fileType);
    if (!lp_inFolder || !lp_named)
        return nullptr;
    if (lp_named->size() < lp_inFolder->size())
        std::swap(lp_inFolder, lp_named);
    for (Item* lp_file : *lp_inFolder)
        if (lp_named->contains(lp_file))
            return lp_file;
    return nullptr;
}
} // namespace

SharedFoldersManager::SharedFoldersManager(QObject* ip_parent)
    : QObject(ip_parent), m_indexWatch([this] { OnIndexChanged(); }),
      m_userShareLimits{InputStream::MaxReadLength,
                        static_cast<std::size_t>(PeerMessenger::MaxShareListFiles)}
{
    sharedFoldersManager = this;
    m_fileListBuilder.setMaxThreadCount(1);
    DeclareIndexTypes();
    DeclareUserShareTypes();

    d.NewType("search_token", false, false, true);
    Relate("search_token", "shared_file", Many, Many);

    for (const char* lp_type : g_audioTypes)
        Relate("shared_file", lp_type, Many, One);
    Relate("shared_file", "is_scanned", Many, One);
    dataSaver->AddSavedType("is_scanned");
    dataSaver->AddSavedByConnectionType("shared_file", "shared_file_folder");
    dataSaver->AddSavedByConnectionType("shared_file_folder", "shared_folder");
    for (const char* lp_type : {"shared_file_name", "shared_file_size"})
        dataSaver->AddSavedByConnectionType(lp_type, "shared_file");
    for (const char* lp_type : g_audioTypes)
        dataSaver->AddSavedByConnectionType(lp_type, "shared_file");

    for (const char* lp_type : {"bitrate_mode", "bitrate", "length_seconds"})
        Relate("user_share_file", lp_type, Many, One);

    m_workerThread.start();
    m_scanner.moveToThread(&m_workerThread);
    connect(this, &SharedFoldersManager::MP3ScanRequired, &m_scanner,
            &MP3Scanner::OnMP3ScanRequired);
    connect(&m_scanner, &MP3Scanner::MP3Scanned, this, &SharedFoldersManager::OnMP3Scanned);
    if (gp_server)
    {
        connect(gp_server, &Server::Connected, this, &SharedFoldersManager::OnConnectedToServer);
        connect(gp_server, &Server::ReceivedUserStats, this,
                &SharedFoldersManager::OnReceivedUserStats);
    }

    d.NewType("unshared", false, true, true);
    Relate("user", "unshared", Many, One);
    dataSaver->AddSavedType("unshared");
    dataSaver->AddSavedByConnectionType("user", "unshared");

    mp_fileType = d.GetType("shared_file");
    mp_nameType = d.GetType("shared_file_name");
    mp_sizeType = d.GetType("shared_file_size");
    mp_tokenType = d.GetType("search_token");
    mp_scannedType = d.GetType("is_scanned");
    mp_fileFolderType = d.GetType("shared_file_folder");
    mp_sharedFolderType = d.GetType("shared_folder");
    if (dnetManager)
        connect(dnetManager, &DNetManager::DNetSearchRequest, this,
                &SharedFoldersManager::OnDNetSearchRequest);
}

SharedFoldersManager::~SharedFoldersManager()
{
    // A list being built reports to this object: let it end first; its report is then dropped.
    m_fileListBuilder.waitForDone();
    m_scanner.Quit();
    m_workerThread.exit(0);
    m_workerThread.wait();
    if (sharedFoldersManager == this)
        sharedFoldersManager = nullptr;
}

void SharedFoldersManager::DeclareIndexTypes()
{
    d.NewType("shared_folder", true, false, true);
    dataSaver->AddSavedType("shared_folder");
    Declare(g_indexTypes);
    Relate(g_indexRelations);
    dataSaver->AddSavedByConnectionType("shared_public", "shared_folder");
    dataSaver->AddSavedByConnectionType("shared_userlist", "shared_folder");

    mp_lowerNameType = d.GetType("shared_file_lowercase_name");
    mp_lowerFolderType = d.GetType("shared_file_folder_lowercase_name");
    for (const char* lp_type : {"shared_file_name", "shared_file_folder"})
        d.GetType(lp_type)->m_itemAddedEvent.AddHandler(
            new EventHandler<SharedFoldersManager, Item*>(
                this, &SharedFoldersManager::OnLookupNameAdded));
}

void SharedFoldersManager::DeclareUserShareTypes()
{
    Declare(g_userShareTypes);
    Relate(g_userShareRelations);
    if (peerMessenger)
    {
        connect(peerMessenger, &PeerMessenger::UserShare, this, &SharedFoldersManager::OnUserShare);
        connect(peerMessenger, &PeerMessenger::SharedFilesInFolderRequested, this,
                &SharedFoldersManager::OnFilesInFoldersRequested);
        connect(peerMessenger, &PeerMessenger::SharedFileListRequested, this,
                &SharedFoldersManager::OnSharedFileListRequested);
    }
}

void SharedFoldersManager::Init()
{
    d.GetType("shared_folder")
        ->m_itemAddedEvent.AddHandler(new EventHandler<SharedFoldersManager, Item*>(
            this, &SharedFoldersManager::OnSharedFolderAdded));
    RescanShares();
}

void SharedFoldersManager::RescanShares()
{
    m_filesAdded = 0;
    m_filesRemoved = 0;
    m_madeGarbage = false;
    // Folders still on disk stay connected as they were: a rescan that finds nothing new
    // changes nothing in the store.
    m_rescanning = true;
    for (Item* lp_sharedFolder : g("shared_folder"))
    {
        if (lp_sharedFolder->IsRemoved())
            continue;
        m_reachedFolders.clear();
        AddSharedFiles(lp_sharedFolder->Value(), lp_sharedFolder->Value());
        if (const ItemSet* lp_folders = lp_sharedFolder->ConnectedItems(mp_fileFolderType))
            for (Item* lp_folder : ItemSet(*lp_folders))
                if (!m_reachedFolders.contains(lp_folder) && !lp_sharedFolder->IsRemoved())
                    lp_sharedFolder->Disconnect(lp_folder);
    }
    m_rescanning = false;
    m_reachedFolders.clear();
    for (Item* lp_folder : g("shared_file_folder").NotConnected("shared_folder"))
    {
        m_madeGarbage = true;
        if (const ItemSet* lp_files = lp_folder->ConnectedItems(mp_fileType))
            m_filesRemoved += static_cast<qint32>(lp_files->size());
    }
    // What no root reaches any more came from this rescan or from removals since the last one.
    if (m_madeGarbage)
        d.RemoveDisconnectedItems();
    emit SharedFilesRescanned(m_filesAdded, m_filesRemoved);
}

void SharedFoldersManager::AddSharedFiles(const std::string& i_sharedFolder,
                                          const std::string& i_folder)
{
    if (!m_foldersInProgress.insert(i_folder).second)
        return;
    FolderListing l_listing(i_folder);
    // A link back to a folder whose scan is running would be listed again under ever longer
    // paths.
    if (l_listing.IsListed() && !m_foldersOnDiskInProgress.insert(l_listing.GetIdentity()).second)
    {
        m_foldersInProgress.erase(i_folder);
        Log(QStringLiteral("Shared"), 1,
            QStringLiteral("Not adding folder %1: it leads back to a folder being added")
                .arg(LoggedText(FromUtf8(i_folder))));
        return;
    }
    Log(QStringLiteral("Shared"), 1,
        QStringLiteral("Adding folder %1 as part of sharing %2")
            .arg(LoggedText(FromUtf8(i_folder)), LoggedText(FromUtf8(i_sharedFolder))));

    Item* lp_folder = mp_fileFolderType->GetItem(i_folder);
    if (m_rescanning)
        m_reachedFolders.insert(lp_folder);
    ItemPtr(mp_sharedFolderType->GetItem(i_sharedFolder)) += lp_folder;

    // The files indexed in this folder by name; those the listing does not show again vanished,
    // and so does a second item of one name, which only a damaged data file can hold.
    std::unordered_map<std::string_view, Item*> l_notYetSeen;
    ItemSet l_vanished;
    if (const ItemSet* lp_files = lp_folder->ConnectedItems(mp_fileType))
    {
        l_notYetSeen.reserve(lp_files->size());
        for (Item* lp_file : *lp_files)
        {
            const ItemSet* lp_names = lp_file->ConnectedItems(mp_nameType);
            const std::string_view l_name =
                lp_names ? std::string_view(lp_names->front()->Value()) : std::string_view();
            if (!l_notYetSeen.emplace(l_name, lp_file).second)
                l_vanished.insert(lp_file);
        }
    }

    // Subfolders and files go by the cleaned absolute path, as a folder view gives them.
    std::string l_path;
    if (!l_listing.Entries().empty())
    {
        l_path = Bytes(QDir(FromUtf8(i_folder)).absolutePath());
        if (l_path.empty() || l_path.back() != '/')
            l_path += '/';
    }
    FolderWords l_words = WordsOfFolder(i_folder);
    for (const FolderListing::Entry& l_entry : l_listing.Entries())
    {
        if (l_entry.m_isFolder)
        {
            l_listing.Release();
            AddSharedFiles(i_sharedFolder, l_path + l_entry.m_name);
            continue;
        }
        // A fresh look at the file: one removed since the listing is no file any more, and a
        // known one goes with the files not seen.
        const std::optional<qint64> l_size = l_listing.FileSize(l_entry);
        if (!l_size)
            continue;
        Item* lp_known = nullptr;
        if (auto l_at = l_notYetSeen.find(l_entry.m_name); l_at != l_notYetSeen.end())
        {
            lp_known = l_at->second;
            l_notYetSeen.erase(l_at);
        }
        AddSharedFile(lp_folder, lp_known, l_entry.m_name, l_path, *l_size, l_words);
    }

    for (const auto& l_file : l_notYetSeen)
        l_vanished.insert(l_file.second);
    if (!l_vanished.empty())
    {
        l_vanished.Remove();
        m_filesRemoved += static_cast<qint32>(l_vanished.size());
        m_madeGarbage = true;
    }
    m_foldersInProgress.erase(i_folder);
    if (l_listing.IsListed())
        m_foldersOnDiskInProgress.erase(l_listing.GetIdentity());
}

void SharedFoldersManager::AddSharedFile(Item* ip_folder, Item* ip_known, const std::string& i_name,
                                         const std::string& i_folderPath, qint64 i_size,
                                         FolderWords& i_words)
{
    ItemPtr l_file = ip_known;
    if (!l_file)
    {
        l_file = ItemPtr(ip_folder).NewItem("shared_file");
        l_file += mp_nameType->GetItem(i_name);
        l_file += mp_sizeType->GetItem(Value(static_cast<long long>(i_size)));
        ++m_filesAdded;
    }
    else if (ip_known->ConnectedItems(mp_sizeType) == nullptr ||
             ip_known->ConnectedItems(mp_sizeType)->front()->AsInt64() != i_size)
    {
        ResizeSharedFile(l_file, i_size);
        m_madeGarbage = true;
    }
    if (IsMp3Name(i_name) && !l_file->IsConnected(mp_scannedType))
        emit MP3ScanRequired(QString::fromLatin1(i_folderPath + i_name));
    // A file's words follow from its folder and name, which never change: one that has them
    // has them all.
    if (!l_file.IsNull() && !l_file->ConnectedItems(mp_tokenType))
        LinkWords(l_file, i_words, i_name);
}

void SharedFoldersManager::ResizeSharedFile(ItemPtr i_file, qint64 i_size)
{
    // Peers must get the file as it is now; its audio attributes may have changed with it.
    i_file += mp_sizeType->GetItem(Value(static_cast<long long>(i_size)));
    for (const char* lp_type : g_audioTypes)
        i_file.Disconnect(lp_type);
    i_file.Disconnect("is_scanned");
}

void SharedFoldersManager::ScanIfDue(ItemPtr i_file, const std::string& i_name,
                                     const QString& i_path)
{
    if (IsMp3Name(i_name) && !i_file.IsConnected("is_scanned"))
        emit MP3ScanRequired(QString::fromLatin1(i_path.toUtf8()));
}

void SharedFoldersManager::UpdateSharedFileSize(ItemPtr i_file, const QString& i_path,
                                                qint64 i_size)
{
    if (i_file["shared_file_size"].AsInt64() == i_size)
        return;
    ResizeSharedFile(i_file, i_size);
    ScanIfDue(i_file, i_file["shared_file_name"].AsString(), i_path);
}

bool SharedFoldersManager::IsSearchTokenSeparator(unsigned char i_byte)
{
    return !IsFirstPassValue(i_byte);
}

SharedFoldersManager::FolderWords SharedFoldersManager::WordsOfFolder(const std::string& i_folder)
{
    FolderWords l_words;
    std::string l_text = i_folder;
    for (char& l_byte : l_text)
        l_byte = LowerAscii(l_byte);
    Split(l_text, FirstPass, l_words.m_words[0]);
    Split(l_text, SecondPass, l_words.m_words[1]);
    return l_words;
}

void SharedFoldersManager::LinkWords(Item* ip_file, FolderWords& i_words, const std::string& i_name)
{
    // The text is the folder, "\\" and the name; "\\" parts words in both passes, so the folder's
    // words come first in each pass and the name's after them. Items are looked up in that
    // order, so new ones are made in the order of the words.
    std::string& l_name = m_wordBuffers.m_name;
    l_name.assign(i_name);
    for (char& l_byte : l_name)
        l_byte = LowerAscii(l_byte);
    std::vector<Item*>& l_items = m_wordBuffers.m_items;
    std::vector<std::string_view>& l_nameWords = m_wordBuffers.m_words;
    l_items.clear();
    for (int l_pass = 0; l_pass < 2; ++l_pass)
    {
        if (!i_words.m_resolved[l_pass])
        {
            for (const std::string& l_word : i_words.m_words[l_pass])
                i_words.m_items[l_pass].push_back(mp_tokenType->GetItem(l_word));
            i_words.m_resolved[l_pass] = true;
        }
        l_items.insert(l_items.end(), i_words.m_items[l_pass].begin(),
                       i_words.m_items[l_pass].end());
        l_nameWords.clear();
        Split(l_name, l_pass == 0 ? FirstPass : SecondPass, l_nameWords);
        for (std::string_view l_word : l_nameWords)
            // A word of the second pass made of first-pass bytes only is a word of the first
            // pass, linked already.
            if (l_pass == 0 || !std::all_of(l_word.begin(), l_word.end(),
                                            [](char i_byte) { return InPass(i_byte, FirstPass); }))
                l_items.push_back(mp_tokenType->GetItem(std::string(l_word)));
    }
    std::sort(l_items.begin(), l_items.end());
    l_items.erase(std::unique(l_items.begin(), l_items.end()), l_items.end());
    // A store handler that starts another scan meanwhile gets buffers of its own.
    std::vector<Item*> l_connected = std::move(l_items);
    for (Item* lp_word : l_connected)
        if (!ip_file->IsRemoved() && !lp_word->IsRemoved())
            ip_file->Connect(lp_word);
    l_connected.clear();
    m_wordBuffers.m_items = std::move(l_connected);
}

void SharedFoldersManager::TokenizeSharedFile(ItemPtr i_file)
{
    FolderWords l_words = WordsOfFolder(i_file["shared_file_folder"].AsString());
    LinkWords(i_file, l_words, i_file["shared_file_name"].AsString());
}

void SharedFoldersManager::OnSharedFolderAdded(Item* ip_folder)
{
    AddSharedFiles(ip_folder->Value(), ip_folder->Value());
}

void SharedFoldersManager::OnLookupNameAdded(Item*)
{
    m_hasLowercasePartners = false;
}

void SharedFoldersManager::GiveLowercasePartners()
{
    if (m_hasLowercasePartners)
        return;
    for (auto [lp_type, lp_lowerType] : {std::pair(mp_nameType, mp_lowerNameType),
                                         std::pair(mp_fileFolderType, mp_lowerFolderType)})
        for (Item* lp_item : lp_type->Items())
            if (!lp_item->ConnectedItems(lp_lowerType) && !lp_item->IsRemoved())
                lp_item->Connect(lp_lowerType->GetItem(GetAbsoluteFileName(lp_item->Value())));
    m_hasLowercasePartners = true;
}

void SharedFoldersManager::OnMP3Scanned(QString i_file, int i_mpegVersion, QString i_channelMode,
                                        int i_frequency, bool i_isVBR, int i_bitrate)
{
    const std::string l_path = i_file.toLatin1().toStdString();
    Log(QStringLiteral("MP3 Scanning"), 1,
        QStringLiteral("Scanned %1").arg(LoggedText(FromUtf8(l_path))));
    ItemPtr l_file = GetSharedFileItem(l_path);
    if (!l_file)
        return;
    SetValue(l_file, "mpeg_version", i_mpegVersion);
    SetValue(l_file, "channel_mode", i_channelMode.toLatin1().toStdString());
    SetValue(l_file, "audio_frequency", i_frequency);
    SetValue(l_file, "bitrate_mode", i_isVBR ? "vbr" : "cbr");
    SetValue(l_file, "bitrate", i_bitrate);
    l_file += d.GetType("is_scanned")->GetGlobalNullItem();
}

ItemSet SharedFoldersManager::GetUserSharedFolders(const std::string& i_user)
{
    ItemPtr l_user = d.GetType("user")->HasItem(i_user);
    if (l_user && l_user.IsConnected("unshared"))
        return ItemSet();
    ItemSet l_folders = g("shared_public").GetItems("shared_folder");
    ItemPtr l_inUserList = l_user["in_user_list"];
    if (!l_inUserList)
        return l_folders;
    l_folders.Add(g("shared_userlist").GetItems("shared_folder"));
    l_folders.Add(l_inUserList.GetItems("user_list_group").GetItems("shared_folder"));
    return l_folders;
}

bool SharedFoldersManager::IsFileSharedWithUser(ItemPtr i_file, const std::string& i_user)
{
    // Looked up, not created: a name from the network must not add a user to the store.
    ItemPtr l_user = d.GetType("user")->HasItem(i_user);
    if (l_user && l_user.IsConnected("unshared"))
        return false;
    const ItemSet l_folders = i_file["shared_file_folder"].GetItems("shared_folder");
    if (!l_folders.Connected("shared_public").empty())
        return true;
    ItemPtr l_inUserList = l_user["in_user_list"];
    if (!l_inUserList)
        return false;
    if (!l_folders.Connected("shared_userlist").empty())
        return true;
    return !l_folders.GetItems("user_list_group")
                .Common(l_inUserList.GetItems("user_list_group"))
                .empty();
}

ItemPtr SharedFoldersManager::GetSharedFileItem(const std::string& i_path)
{
    ItemPtr l_folder = d.GetType("shared_file_folder")->HasItem(GetFolder(i_path));
    ItemPtr l_name = mp_nameType->HasItem(GetFileName(i_path));
    if (l_folder && l_name)
        if (Item* lp_file = CommonFile(l_folder, l_name, mp_fileType))
            return lp_file;

    GiveLowercasePartners();
    const std::string l_path = GetAbsoluteFileName(i_path);
    const ItemSet l_folders = d.GetType("shared_file_folder_lowercase_name")
                                  ->HasItem(GetFolder(l_path))
                                  .GetItems("shared_file_folder");
    const ItemSet l_names = d.GetType("shared_file_lowercase_name")
                                ->HasItem(GetFileName(l_path))
                                .GetItems("shared_file_name");
    for (Item* lp_folder : l_folders)
        for (Item* lp_name : l_names)
            if (Item* lp_file = CommonFile(lp_folder, lp_name, mp_fileType))
                return lp_file;
    return ItemPtr();
}

std::vector<std::uint64_t> SharedFoldersManager::FileListKey(const ItemSet& i_sharedFolders)
{
    std::vector<std::uint64_t> l_key;
    l_key.reserve(i_sharedFolders.size());
    for (Item* lp_folder : i_sharedFolders)
        l_key.push_back(lp_folder->Serial());
    return l_key;
}

void SharedFoldersManager::KeepFileList(std::vector<std::uint64_t> i_key, std::string i_message)
{
    WatchIndex();
    if (m_fileListCache.size() >= MaxCachedFileLists && !m_fileListCache.contains(i_key))
        m_fileListCache.erase(m_fileListCache.begin());
    m_fileListCache.insert_or_assign(std::move(i_key), std::move(i_message));
}

std::optional<MemStream> SharedFoldersManager::GetSharedFilesMessage(std::string i_user)
{
    Shared(QStringLiteral("Shared file list requested by user %1").arg(LoggedName(i_user)));
    const ItemSet l_sharedFolders = GetUserSharedFolders(i_user);
    std::vector<std::uint64_t> l_key = FileListKey(l_sharedFolders);
    auto l_cached = m_fileListCache.find(l_key);
    if (l_cached == m_fileListCache.end())
    {
        std::optional<std::string> l_built =
            SharedFileList::Snapshot(l_sharedFolders).BuildMessage();
        if (!l_built)
        {
            FileListNotCompressed();
            return std::nullopt;
        }
        KeepFileList(l_key, std::move(*l_built));
        l_cached = m_fileListCache.find(l_key);
    }
    // Copies of a stream share their bytes and read position: the caller gets bytes of its own.
    MemStream l_message;
    l_message.WriteBuffer(l_cached->second.data(), l_cached->second.size());
    return l_message;
}

void SharedFoldersManager::SendSharedFilesMessage(std::string i_user)
{
    Shared(QStringLiteral("Shared file list requested by user %1").arg(LoggedName(i_user)));
    const ItemSet l_sharedFolders = GetUserSharedFolders(i_user);
    std::vector<std::uint64_t> l_key = FileListKey(l_sharedFolders);
    if (auto l_cached = m_fileListCache.find(l_key); l_cached != m_fileListCache.end())
    {
        DeliverFileList(i_user, l_cached->second);
        return;
    }
    for (auto& [l_id, l_build] : m_fileListBuilds)
        if (l_build.m_key == l_key && l_build.m_generation == m_indexGeneration)
        {
            l_build.m_users.push_back(std::move(i_user));
            return;
        }
    WatchIndex();
    const std::uint64_t l_id = m_nextFileListBuild++;
    m_fileListBuilds.emplace(l_id, FileListBuild{std::move(l_key), m_indexGeneration, {i_user}});
    // Compressing the list of a large share takes a second or more: never on this thread.
    m_fileListBuilder.start(
        [this, l_id, l_list = SharedFileList::Snapshot(l_sharedFolders)]
        {
            std::optional<std::string> l_message = l_list.BuildMessage();
            QMetaObject::invokeMethod(
                this,
                [this, l_id, l_message = std::move(l_message)]
                { OnFileListBuilt(l_id, l_message); },
                Qt::QueuedConnection);
        });
}

void SharedFoldersManager::FinishFileLists()
{
    m_fileListBuilder.waitForDone();
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void SharedFoldersManager::OnFileListBuilt(std::uint64_t i_build,
                                           std::optional<std::string> i_message)
{
    auto l_found = m_fileListBuilds.find(i_build);
    if (l_found == m_fileListBuilds.end())
        return;
    FileListBuild l_build = std::move(l_found->second);
    m_fileListBuilds.erase(l_found);
    if (!i_message)
    {
        // Those who asked get nothing, as for any reply that cannot be compressed.
        FileListNotCompressed();
        return;
    }
    for (const std::string& l_user : l_build.m_users)
        DeliverFileList(l_user, *i_message);
    // A list that misses a change made while it was built must not answer later requests.
    if (l_build.m_generation == m_indexGeneration)
        KeepFileList(std::move(l_build.m_key), std::move(*i_message));
}

void SharedFoldersManager::DeliverFileList(const std::string& i_user, const std::string& i_message)
{
    MemStream l_message;
    l_message.WriteBuffer(i_message.data(), i_message.size());
    if (peerMessenger)
        peerMessenger->SendMessage(i_user, l_message);
    emit SharedFilesMessageReady(i_user, QByteArray(i_message.data(), qsizetype(i_message.size())));
}

void SharedFoldersManager::WatchIndex()
{
    // Every file and folder of a list hangs from these two, as do the access flags and groups.
    m_indexWatch.Start({mp_fileType, mp_sharedFolderType});
}

void SharedFoldersManager::OnIndexChanged()
{
    ++m_indexGeneration;
    m_fileListCache.clear();
    m_everyFileShared.reset();
    m_everyFileNamed.reset();
    // Nothing depends on the index now: the store's events go unheard until something does.
    m_indexWatch.Stop();
}

void SharedFoldersManager::OnSharedFileListRequested(std::string i_user)
{
    SendSharedFilesMessage(std::move(i_user));
}

void SharedFoldersManager::OnFilesInFoldersRequested(std::string i_user, quint32 i_req,
                                                     std::string i_folder)
{
    // Looked up, not created: a name from the network must not add a folder to the index.
    ItemPtr l_folder = d.GetType("shared_file_folder")->HasItem(WithSeparator(i_folder, '\\', '/'));
    if (!l_folder ||
        GetUserSharedFolders(i_user).Common(l_folder.GetItems("shared_folder")).empty())
        return;

    SharedFolderInfo l_contents;
    if (const ItemSet* lp_files = l_folder->ConnectedItems(mp_fileType))
        for (Item* lp_file : *lp_files)
        {
            ItemPtr l_file(lp_file);
            FileInfo l_info;
            l_info.m_name = l_file["shared_file_name"].AsString();
            l_info.m_size = l_file["shared_file_size"].AsInt64();
            l_contents.m_files.insert(std::move(l_info));
        }
    MemStream l_body;
    l_body.Write(i_req);
    l_body.Write(i_folder);
    const quint32 l_folderCount = 1;
    l_body.Write(l_folderCount);
    l_body.Write(i_folder);
    l_body.Write(l_contents);
    std::optional<MemStream> l_message = CompressedReply(PeerMessageCode::SharedFilesInFolder,
                                                         l_body, QStringLiteral("folder contents"));
    if (l_message)
        peerMessenger->SendMessage(i_user, *l_message);
}

void SharedFoldersManager::OnDNetSearchRequest(std::string i_user, quint32 i_req,
                                               std::string i_searchText)
{
    ProcessSearch(std::move(i_user), i_req, std::move(i_searchText));
}

void SharedFoldersManager::ProcessSearch(std::string i_user, quint32 i_req,
                                         std::string i_searchText)
{
    std::optional<MemStream> l_reply = BuildSearchReply(i_user, i_req, i_searchText);
    if (!l_reply)
        return;
    Log(QStringLiteral("Search"), 1,
        QStringLiteral("Sending search results to user %1 for search string %2")
            .arg(LoggedName(i_user), LoggedText(FromUtf8(i_searchText))));
    peerMessenger->SendMessage(i_user, *l_reply);
}

std::optional<MemStream> SharedFoldersManager::BuildSearchReply(const std::string& i_user,
                                                                quint32 i_req,
                                                                const std::string& i_searchText)
{
    SearchParser l_parser;
    if (!l_parser.SetSearchText(i_searchText))
        return std::nullopt;
    const std::vector<Item*> l_matches = FindSearchMatches(l_parser, i_user);
    if (l_matches.empty())
        return std::nullopt;

    // Ordered by the full path, which is each record's name.
    std::set<FileInfo> l_files;
    for (Item* lp_file : l_matches)
        l_files.insert(FileInfo::FromSharedFile(lp_file, true));
    MemStream l_body;
    l_body.Write(SettingValue("username").AsString());
    l_body.Write(i_req);
    l_body.Write(l_files);
    const UploadState l_uploads = m_uploadStateProvider ? m_uploadStateProvider() : UploadState();
    l_body.Write(quint8(l_uploads.m_freeSlot ? 1 : 0));
    l_body.Write(quint32(SettingValue("upload_speed").AsInt()));
    l_body.Write(l_uploads.m_queued);
    l_body.Write(AttributeTranslationTable());
    return CompressedReply(PeerMessageCode::FileSearchResult, l_body,
                           QStringLiteral("search reply"));
}

std::vector<Item*> SharedFoldersManager::FindSearchMatches(const SearchParser& i_parser,
                                                           const std::string& i_user)
{
    const std::set<std::string>& l_excluded = i_parser.GetExcludedTokenSet();
    const std::set<std::string>& l_parts = i_parser.GetIncludedPartTokenSet();
    if (l_excluded.size() + l_parts.size() > MaxSearchNameWords)
    {
        Log(QStringLiteral("Search"), 1,
            QStringLiteral("Search from user %1 refused: %2 words to match within names, more "
                           "than %3")
                .arg(LoggedName(i_user), QString::number(l_excluded.size() + l_parts.size()),
                     QString::number(MaxSearchNameWords)));
        return {};
    }

    SearchMatcher l_matcher(
        {mp_fileType, mp_tokenType, mp_nameType, mp_fileFolderType, mp_sharedFolderType}, i_parser);
    if (!l_matcher.MayMatch())
        return {};
    ItemSet l_visible = GetUserSharedFolders(i_user);
    const bool l_seesEveryFile =
        l_visible.size() == mp_sharedFolderType->ItemCount() && IsEveryFileShared();
    return l_matcher.Find(
        std::move(l_visible), l_seesEveryFile, [this] { return IsEveryFileNamed(); },
        MaxSearchResults);
}

bool SharedFoldersManager::IsEveryFileShared()
{
    return IsEveryFileHeld(m_everyFileShared, mp_fileFolderType, mp_sharedFolderType);
}

bool SharedFoldersManager::IsEveryFileNamed()
{
    return IsEveryFileHeld(m_everyFileNamed, mp_nameType, nullptr);
}

bool SharedFoldersManager::IsEveryFileHeld(std::optional<bool>& io_known, Type* ip_holders,
                                           Type* ip_required)
{
    if (!io_known)
    {
        // A file has at most one holder of each type: the counts add up to the files held.
        std::size_t l_held = 0;
        for (Item* lp_holder : ip_holders->Items())
            if (!ip_required || lp_holder->ConnectedItems(ip_required))
                if (const ItemSet* lp_files = lp_holder->ConnectedItems(mp_fileType))
                    l_held += lp_files->size();
        io_known = l_held == mp_fileType->ItemCount();
        WatchIndex();
    }
    return *io_known;
}

bool SharedFoldersManager::IsUserShareAcceptable(const std::string& i_user,
                                                 const FileInfoMap& i_share)
{
    std::size_t l_files = 0;
    for (const auto& l_folder : i_share)
        l_files += l_folder.second.size();
    if (i_share.size() > m_userShareLimits.m_folders || l_files > m_userShareLimits.m_files)
    {
        Shared(QStringLiteral("Shared file list from user %1 refused: %2 folders and %3 files, "
                              "more than %4 folders or %5 files")
                   .arg(LoggedName(i_user), QString::number(i_share.size()),
                        QString::number(l_files), QString::number(m_userShareLimits.m_folders),
                        QString::number(m_userShareLimits.m_files)));
        return false;
    }
    const std::size_t l_held = d.GetType("user_share_file")->ItemCount();
    if (l_held + l_files <= m_userShareLimits.m_allFiles)
        return true;
    Shared(QStringLiteral("Shared file list from user %1 refused: its %2 files and the %3 held "
                          "from other users are more than %4 files")
               .arg(LoggedName(i_user), QString::number(l_files), QString::number(l_held),
                    QString::number(m_userShareLimits.m_allFiles)));
    return false;
}

void SharedFoldersManager::OnUserShare(std::string i_user, FileInfoMap& i_share,
                                       AttributeTranslationTable&)
{
    Shared(QStringLiteral("Received shared file list from user %1").arg(LoggedName(i_user)));
    ItemPtr l_user = d.GetType("user")->GetItem(i_user);
    if (l_user["user_share"] || !IsUserShareAcceptable(i_user, i_share))
        return;

    Type* lp_folderNameType = d.GetType("user_share_folder_name");
    Type* lp_fileNameType = d.GetType("user_share_file_name");
    Type* lp_sizeType = d.GetType("file_size");
    Type* lp_bitrateType = d.GetType("bitrate");
    Type* lp_lengthType = d.GetType("length_seconds");
    Type* lp_modeType = d.GetType("bitrate_mode");

    ItemPtr l_share = l_user.NewItem("user_share");
    // The folders of this list by name: a parent comes before its children in byte order. The
    // names are the list's own, not copies: a list may hold many long paths.
    std::unordered_map<std::string_view, Item*> l_folders;
    for (const auto& [l_name, l_files] : i_share)
    {
        ItemPtr l_folder = l_share.NewItem("user_share_folder");
        l_folder += lp_folderNameType->GetItem(l_name);
        l_folders.emplace(l_name, static_cast<Item*>(l_folder));
        if (auto l_parent = l_folders.find(GetParentFolder(l_name));
            l_parent != l_folders.end() && l_parent->second != static_cast<Item*>(l_folder))
            l_folder.NewItem("user_share_folder_parent") +=
                ItemPtr(l_parent->second).NewItem("user_share_folder_child");

        for (const FileInfo& l_info : l_files)
        {
            ItemPtr l_file = l_folder.NewItem("user_share_file");
            l_file += lp_fileNameType->GetItem(l_info.m_name);
            l_file += lp_sizeType->GetItem(Value(static_cast<long long>(l_info.m_size)));
            for (const auto& [l_code, l_value] : l_info.m_attributes.m_attributes)
            {
                const int l_signed = static_cast<qint32>(l_value);
                if (l_code == AttributeMap::Bitrate)
                    l_file += lp_bitrateType->GetItem(Value(l_signed));
                else if (l_code == AttributeMap::LengthSeconds)
                    l_file += lp_lengthType->GetItem(Value(l_signed));
                else if (l_code == AttributeMap::VariableBitrate)
                    l_file += lp_modeType->GetItem(l_value != 0 ? "vbr" : "cbr");
            }
        }
    }
    l_share.NewItem("user_share_loaded");
}

void SharedFoldersManager::RemoveUserShare(const std::string& i_user)
{
    if (peerMessenger)
        peerMessenger->ForgetShareListRequest(i_user);
    ItemPtr l_share = d.GetType("user")->HasItem(i_user)["user_share"];
    if (!l_share)
        return;
    const ItemSet l_folders = l_share.GetItems("user_share_folder");
    l_folders.GetItems("user_share_file").Remove();
    l_folders.Remove();
    l_share.Remove();
    d.RemoveDisconnectedItems();
}

QString SharedFoldersManager::GetFileItemDisplayString(ItemPtr i_file)
{
    QString l_text;
    if (ItemPtr l_bitrate = i_file["bitrate"])
        l_text += QString::number(l_bitrate.AsInt());
    const auto l_hasMode = [&i_file](const char* ip_mode)
    {
        ItemPtr l_mode = d.GetType("bitrate_mode")->HasItem(ip_mode);
        return l_mode && i_file && i_file.IsConnected(l_mode);
    };
    if (l_hasMode("vbr"))
        l_text += QStringLiteral(" VBR");
    else if (l_hasMode("cbr"))
        l_text += QStringLiteral(" CBR");
    if (ItemPtr l_length = i_file["length_seconds"])
        l_text += QStringLiteral(", ") + QString::fromStdString(FormatSeconds(l_length.AsInt64()));
    return l_text;
}

void SharedFoldersManager::OnConnectedToServer()
{
    gp_server->SendFilesFolders(static_cast<int>(d.GetType("shared_file_folder")->ItemCount()),
                                static_cast<int>(mp_fileType->ItemCount()));
    gp_server->GetUserStats(SettingValue("username").AsString());
}

void SharedFoldersManager::OnReceivedUserStats(std::string i_user, UserStats i_stats)
{
    ItemPtr l_username = SettingValue("username");
    if (l_username.IsNull() || i_user != l_username.AsString())
        return;
    SetSetting("upload_speed", static_cast<int>(i_stats.m_averageSpeed));
}
