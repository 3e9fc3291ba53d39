// The sharing service towards other users and the server, over a TestPeer's messaging connection
// and the test server, decoded with the tests' own readers: the file list within the access rules
// and its reuse until the index changes, one folder's contents, received lists with their caps,
// the counts and own speed of each login, and the wish-list searches.
#include "AttributeTranslationTable.h"
#include "CompressedMessage.h"
#include "Data.h"
#include "FileInfoMap.h"
#include "PeerHarness.h"
#include "PeerMessageCode.h"
#include "PeerMessenger.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "SharingFixture.h"
#include "StoreFunctions.h"
#include "TestPeer.h"
#include "TestPeerMessages.h"
#include "TestSettings.h"
#include "WireReader.h"
#include "WireWriter.h"
#include "WishListSearcher.h"

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <limits>
#include <memory>
#include <tuple>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(SharedFoldersManager::UserShareLimits)

namespace
{
constexpr int timeoutMs = 30000;
using Messages = TestPeerMessages;
using Attributes = QList<Messages::Attribute>;

enum class Access
{
    Public,
    Unshared,
    UserList,
    Group
};

// "name size ext code=value ...", the files joined by ", ".
QString Describe(const QList<Messages::File>& i_files)
{
    QStringList l_files;
    for (const Messages::File& l_file : i_files)
    {
        QString l_text = QString::fromUtf8(l_file.name + ' ' + QByteArray::number(l_file.size));
        if (!l_file.extension.isEmpty())
            l_text += QLatin1Char(' ') + QString::fromUtf8(l_file.extension);
        for (const Messages::Attribute& l_pair : l_file.attributes)
            l_text += u" %1=%2"_s.arg(l_pair.first).arg(l_pair.second);
        l_files << l_text;
    }
    return l_files.join(u", "_s);
}

QString ValueOf(ItemPtr i_item, const char* ip_type)
{
    return QString::fromStdString(i_item[ip_type].AsString());
}

std::size_t Count(const char* ip_type)
{
    return d.GetType(ip_type)->ItemCount();
}
} // namespace

class TestShareReplies : public QObject
{
    Q_OBJECT

    std::unique_ptr<PeerHarness> mp_harness;
    std::unique_ptr<TestPeer> mp_peer;
    std::unique_ptr<WishListSearcher> mp_searcher;
    QTemporaryDir m_disk;
    int m_connection = 0;
    QList<TestServer::ReceivedFrame> m_loginFrames;

    SharedFoldersManager& Manager() { return *sharedFoldersManager; }
    // A path of the test's disk as the index holds it; Remote gives it as peers write it.
    QByteArray Local(const char* ip_path)
    {
        return m_disk.filePath(QString::fromUtf8(ip_path)).toUtf8();
    }
    QByteArray Remote(const char* ip_path) { return Local(ip_path).replace('/', '\\'); }
    ItemPtr Folder(const char* ip_path)
    {
        return d.GetType("shared_folder")->GetItem(Local(ip_path).toStdString());
    }
    ItemPtr File(const char* ip_path)
    {
        return Manager().GetSharedFileItem(Local(ip_path).toStdString());
    }
    void Scan(const char* ip_path)
    {
        Manager().AddSharedFiles(Local(ip_path).toStdString(), Local(ip_path).toStdString());
    }

    void SetAccess(Access i_access)
    {
        ItemPtr l_bob = d.GetType("user")->GetItem("bob");
        l_bob.Disconnect("unshared");
        if (ItemPtr l_entry = l_bob["in_user_list"])
            l_entry.Remove();
        if (i_access == Access::Unshared)
            l_bob += d.GetType("unshared")->GetGlobalNullItem();
        if (i_access == Access::UserList)
            l_bob.NewItem("in_user_list");
        if (i_access == Access::Group)
            l_bob.NewItem("in_user_list") += d.GetType("user_list_group")->GetItem("friends");
    }

    // Sends the bodies and a file-list request, and returns the frames that came back up to the
    // list, which comes last as the client answers in order.
    QList<TestPeer::Frame> Ask(const QList<QByteArray>& i_bodies)
    {
        const qsizetype l_before = mp_peer->Frames(m_connection).size();
        for (const QByteArray& l_body : i_bodies + QList<QByteArray>{Messages::GetSharedFileList()})
            mp_peer->SendBody(m_connection, l_body);
        const auto l_new = [&] { return mp_peer->Frames(m_connection).mid(l_before); };
        const bool l_answered = QTest::qWaitFor(
            [&] { return !l_new().isEmpty() && l_new().last().code == 5; }, timeoutMs);
        return l_answered ? l_new() : QList<TestPeer::Frame>();
    }

    // The file list bob receives: "folder: files | ..." with the disk's path left out.
    QString FileList()
    {
        const QList<TestPeer::Frame> l_frames = Ask({});
        const auto l_list = Messages::ReadShareListContent(
            Messages::CompressedContent(5, l_frames.value(0).body).value_or(QByteArray()));
        if (!l_list || !l_list->table.isEmpty())
            return u"unreadable"_s;
        QStringList l_folders;
        for (const Messages::Folder& l_folder : l_list->folders)
            l_folders << QString::fromUtf8(l_folder.name.mid(Remote("").size() + 1)) + u": "_s +
                             Describe(l_folder.files);
        return l_folders.join(u" | "_s);
    }

    // Bob's list as the peer layer receives it, asked for first, handled once its log line is
    // there. The request has reached bob before the list goes, so that it is no answer of Ask.
    void SendList(const QList<Messages::Folder>& i_folders)
    {
        const int l_frames = int(mp_peer->Frames(m_connection).size());
        mp_harness->Messenger().GetUserSharedFiles("bob");
        QVERIFY(mp_peer->WaitForFrames(m_connection, l_frames + 1));
        const auto l_lines = [this]
        {
            return mp_harness->LogLines(u"Shared"_s)
                .filter(u"Received shared file list from user bob"_s)
                .size();
        };
        const qsizetype l_before = l_lines();
        mp_peer->SendBody(m_connection,
                          Messages::SharedFileList(Messages::ShareListContent(i_folders)));
        QTRY_VERIFY_WITH_TIMEOUT(l_lines() > l_before, timeoutMs);
    }
    ItemPtr BobsShare() { return ItemPtr(d.GetType("user")->GetItem("bob"))["user_share"]; }

private slots:
    void initTestCase()
    {
        QVERIFY(m_disk.isValid());
        mp_harness = std::make_unique<PeerHarness>();
        m_loginFrames = mp_harness->SentFrames(mp_harness->CentralConnection());
        DeclareUserDataTypes();
        mp_searcher = std::make_unique<WishListSearcher>();

        for (const char* lp_file : {"pub/Song.Mp3", "pub/b.txt", "pub/Sub/c.txt", "list/d.txt",
                                    "grp/e.txt", "none/f.txt"})
            QVERIFY(SharingFixture::WriteFile(QString::fromUtf8(Local(lp_file)),
                                              QByteArray(lp_file).right(2)));
        QVERIFY(QDir().mkpath(QString::fromUtf8(Local("pub/Empty"))));
        Folder("pub") += d.GetType("shared_public")->GetGlobalNullItem();
        Folder("list") += d.GetType("shared_userlist")->GetGlobalNullItem();
        Folder("grp") += d.GetType("user_list_group")->GetItem("friends");
        for (const char* lp_folder : {"pub", "list", "grp", "none"})
            Scan(lp_folder);
        // The scanner reads only .mp3 and .MP3: these attributes stay as set.
        SetValue(File("pub/Song.Mp3"), "bitrate", 320);
        SetValue(File("pub/Song.Mp3"), "bitrate_mode", "vbr");

        mp_peer = std::make_unique<TestPeer>();
        QVERIFY(mp_peer->Listen());
        m_connection = mp_harness->DialIn(*mp_peer, "bob", "P", false);
        QVERIFY(PeerHarness::SocketOf("peer_socket", "bob"));
    }

    void cleanupTestCase()
    {
        mp_searcher.reset();
        mp_peer.reset();
        mp_harness.reset();
    }

    void fileListWithinAccess_data()
    {
        QTest::addColumn<Access>("access");
        QTest::addColumn<QString>("list");
        const QString l_public = QStringLiteral(
            "pub: Song.Mp3 2 mp3 0=320 2=1, b.txt 2 | pub\\Empty:  | pub\\Sub: c.txt 2");
        QTest::newRow("public only") << Access::Public << l_public;
        QTest::newRow("unshared") << Access::Unshared << QString();
        QTest::newRow("user list") << Access::UserList << u"list: d.txt 2 | "_s + l_public;
        QTest::newRow("group") << Access::Group << u"grp: e.txt 2 | list: d.txt 2 | "_s + l_public;
        QTest::newRow("public again") << Access::Public << l_public;
    }

    // The rows run in turn, so later ones are answered from the lists kept for earlier ones.
    void fileListWithinAccess()
    {
        QFETCH(Access, access);
        SetAccess(access);
        QTEST(FileList(), "list");
    }

    void keptListFollowsTheIndex_data()
    {
        QTest::addColumn<int>("change");
        QTest::addColumn<QString>("expected");
        QTest::newRow("folder made public") << 0 << "none: f.txt 2";
        QTest::newRow("bitrate") << 1 << "Song.Mp3 2 mp3 0=128 2=1";
        QTest::newRow("new file") << 2 << "new.txt 2";
        QTest::newRow("file removed") << 3 << "pub: Song.Mp3 2 mp3 0=128 2=1 |";
    }

    void keptListFollowsTheIndex()
    {
        QFETCH(int, change);
        QFETCH(QString, expected);
        SetAccess(Access::Public);
        const QString l_before = FileList();
        QCOMPARE(FileList(), l_before);
        const MemStream l_direct = Manager().GetSharedFilesMessage("bob").value();
        QCOMPARE(QByteArray(l_direct.GetReadBuffer(), l_direct.GetPendingReadLength()),
                 mp_peer->Frames(m_connection).last().body);
        if (change == 0)
            Folder("none") += d.GetType("shared_public")->GetGlobalNullItem();
        if (change == 1)
            SetValue(File("pub/Song.Mp3"), "bitrate", 128);
        if (change == 2)
            QVERIFY(SharingFixture::WriteFile(QString::fromUtf8(Local("pub/new.txt")), "nn"));
        if (change == 3)
            QVERIFY(QFile::remove(QString::fromUtf8(Local("pub/b.txt"))) &&
                    QFile::remove(QString::fromUtf8(Local("pub/new.txt"))));
        Scan("pub");
        QVERIFY(!l_before.contains(expected));
        QVERIFY2(FileList().contains(expected), qPrintable(FileList()));
    }

    // A list built on the worker is, byte for byte, the list that the records give: paths that
    // differ only in their separators make one folder, and of two files that end in the same
    // name the first stays. A change made while a list is built reaches the next list.
    void listBuiltOnTheWorker()
    {
        SetAccess(Access::Public);
        ItemPtr l_slashes =
            d.GetType("shared_file_folder")->GetItem((Local("pub") + "/Twin").toStdString());
        ItemPtr l_backslash =
            d.GetType("shared_file_folder")->GetItem((Local("pub") + "\\Twin").toStdString());
        for (auto [lp_folder, lp_name, l_size] :
             {std::tuple(&l_slashes, "t.txt", 1), std::tuple(&l_backslash, "t.txt", 2),
              std::tuple(&l_backslash, "x\\t.txt", 3), std::tuple(&l_backslash, "y\\Z.mP3", 4)})
        {
            Folder("pub") += *lp_folder;
            ItemPtr l_file = lp_folder->NewItem("shared_file");
            l_file += d.GetType("shared_file_name")->GetItem(lp_name);
            l_file += d.GetType("shared_file_size")->GetItem(l_size);
        }
        SetValue(File("pub/Song.Mp3"), "bitrate", 256);
        const auto l_byRecords = [this]
        {
            FileInfoMap l_share;
            for (Item* lp_folder :
                 Manager().GetUserSharedFolders("bob").GetItems("shared_file_folder"))
            {
                std::string l_path = lp_folder->Value();
                std::replace(l_path.begin(), l_path.end(), '/', '\\');
                std::set<FileInfo>& l_files = l_share[l_path];
                for (Item* lp_file : ItemPtr(lp_folder).GetItems("shared_file"))
                    l_files.insert(FileInfo::FromSharedFile(lp_file, false));
            }
            MemStream l_body;
            l_body.Write(l_share);
            l_body.Write(AttributeTranslationTable());
            const MemStream l_message =
                CompressedMessage(PeerMessageCode::SharedFileList, l_body).value();
            return QByteArray(l_message.GetReadBuffer(), l_message.GetPendingReadLength());
        };
        QList<QByteArray> l_sent;
        const QMetaObject::Connection l_ready =
            connect(&Manager(), &SharedFoldersManager::SharedFilesMessageReady,
                    [&](std::string, QByteArray i_message) { l_sent << i_message; });
        const QByteArray l_before = l_byRecords();
        const qsizetype l_framesBefore = mp_peer->Frames(m_connection).size();
        Manager().SendSharedFilesMessage("bob");
        SetValue(File("pub/Song.Mp3"), "bitrate", 192);
        QTRY_COMPARE_WITH_TIMEOUT(l_sent.size(), 1, timeoutMs);
        QCOMPARE(l_sent[0], l_before);
        Manager().SendSharedFilesMessage("bob");
        QTRY_COMPARE_WITH_TIMEOUT(l_sent.size(), 2, timeoutMs);
        QCOMPARE(l_sent[1], l_byRecords());
        QVERIFY(l_sent[1] != l_before);
        // Kept now: the next request is answered at once.
        Manager().SendSharedFilesMessage("bob");
        QCOMPARE(l_sent.size(), 3);
        disconnect(l_ready);
        // Each went to bob too.
        QTRY_COMPARE_WITH_TIMEOUT(mp_peer->Frames(m_connection).size(), l_framesBefore + 3,
                                  timeoutMs);
        QCOMPARE(mp_peer->Frames(m_connection).last().body, l_sent[2]);
        for (ItemPtr l_folder : {l_slashes, l_backslash})
        {
            l_folder.GetItems("shared_file").Remove();
            l_folder.Remove();
        }
        d.RemoveDisconnectedItems();
    }

    void folderContents_data()
    {
        QTest::addColumn<Access>("access");
        QTest::addColumn<QByteArray>("folder");
        QTest::addColumn<QString>("reply");
        QTest::newRow("own files, no attributes")
            << Access::Public << Remote("pub") << "Song.Mp3 2";
        QTest::newRow("slashes") << Access::Public << Local("pub/Sub") << "c.txt 2";
        QTest::newRow("letter case") << Access::Public << Remote("pub/SUB") << "none";
        QTest::newRow("root not visible") << Access::Public << Remote("grp") << "none";
        QTest::newRow("visible to the group") << Access::Group << Remote("grp") << "e.txt 2";
        QTest::newRow("unshared") << Access::Unshared << Remote("pub/Sub") << "none";
        QTest::newRow("not indexed") << Access::Public << Remote("missing") << "none";
    }

    void folderContents()
    {
        QFETCH(Access, access);
        QFETCH(QByteArray, folder);
        SetAccess(access);
        const QList<TestPeer::Frame> l_frames = Ask({Messages::GetSharedFilesInFolder(7, folder)});
        const auto l_contents = Messages::ReadFolderContents(
            Messages::CompressedContent(37, l_frames.value(0).body).value_or(QByteArray()));
        if (l_frames.size() == 1)
            QTEST(u"none"_s, "reply");
        else
        {
            QVERIFY(l_contents && l_contents->token == 7 && l_contents->folderCount == 1 &&
                    l_contents->endMarker == 0);
            QCOMPARE(l_contents->folder, folder);
            QCOMPARE(l_contents->folderAgain, folder);
            QTEST(Describe(l_contents->files), "reply");
        }
        // A name from the network adds no folder to the index.
        QVERIFY(!d.GetType("shared_file_folder")->HasItem(Local("missing").toStdString()));
    }

    void receivedTree()
    {
        SendList({{"Alpha", {{"x", 1, {}, {}}}}, {"Alpha\\Beta", {}}, {"Gamma\\Delta", {}}});
        SendList({{"Other", {{"second", 1, {}, {}}}}});
        QStringList l_folders;
        for (Item* lp_folder : BobsShare().GetItems("user_share_folder"))
        {
            ItemPtr l_parent = ItemPtr(lp_folder)["user_share_folder_parent"]
                                                 ["user_share_folder_child"]["user_share_folder"];
            l_folders << ValueOf(lp_folder, "user_share_folder_name") + QLatin1Char('<') +
                             ValueOf(l_parent, "user_share_folder_name");
        }
        l_folders.sort();
        QCOMPARE(l_folders.join(QLatin1Char(' ')), u"Alpha< Alpha\\Beta<Alpha Gamma\\Delta<"_s);
        QVERIFY(BobsShare().IsConnected("user_share_loaded"));
        // The second list came while the first was held.
        QVERIFY(!d.GetType("user_share_file_name")->HasItem("second"));

        Manager().RemoveUserShare("bob");
        for (const char* lp_type : {"user_share", "user_share_folder", "user_share_folder_parent",
                                    "user_share_folder_child", "user_share_folder_name",
                                    "user_share_file", "user_share_file_name", "user_share_loaded"})
            QVERIFY2(Count(lp_type) == 0, lp_type);
    }

    void receivedAttributes_data()
    {
        QTest::addColumn<Attributes>("attributes");
        // The items set, then the text shown.
        QTest::addColumn<QString>("items");
        QTest::newRow("variable") << Attributes{{2, 5}} << "//vbr: VBR";
        QTest::newRow("unknown code") << Attributes{{7, 1}} << "//:";
        QTest::newRow("all three")
            << Attributes{{0, 192}, {2, 1}, {1, 215}} << "192/215/vbr:192 VBR, 3m35s";
        QTest::newRow("code twice") << Attributes{{0, 128}, {0, 320}} << "320//:320";
    }

    // Each row's list follows the removal of the one before.
    void receivedAttributes()
    {
        QFETCH(Attributes, attributes);
        SendList({{"Music", {{"a.mp3", 10, "mp3", attributes}}}});
        ItemPtr l_file = BobsShare()["user_share_folder"]["user_share_file"];
        QTEST(QStringList({ValueOf(l_file, "bitrate"), ValueOf(l_file, "length_seconds"),
                           ValueOf(l_file, "bitrate_mode")})
                      .join(QLatin1Char('/')) +
                  QLatin1Char(':') + SharedFoldersManager::GetFileItemDisplayString(l_file),
              "items");
        Manager().RemoveUserShare("bob");
    }

    void receivedListsAreCapped_data()
    {
        QTest::addColumn<int>("folders");
        QTest::addColumn<int>("files");
        QTest::addColumn<bool>("kept");
        QTest::newRow("at both caps") << 2 << 3 << true;
        QTest::newRow("a folder more") << 3 << 0 << false;
        QTest::newRow("a file more") << 1 << 4 << false;
    }

    void receivedListsAreCapped()
    {
        QFETCH(int, folders);
        QFETCH(int, files);
        QFETCH(bool, kept);
        const SharedFoldersManager::UserShareLimits l_defaults = Manager().GetUserShareLimits();
        QVERIFY(l_defaults.m_folders == 131072 &&
                qint64(l_defaults.m_files) == PeerMessenger::MaxShareListFiles);
        Manager().SetUserShareLimits({2, 3});
        QList<Messages::Folder> l_list(folders);
        for (int l_index = 0; l_index < folders; ++l_index)
            l_list[l_index].name = QByteArray::number(l_index);
        for (int l_index = 0; l_index < files; ++l_index)
            l_list[0].files.append({QByteArray::number(l_index), 1, {}, {}});
        SendList(l_list);
        Manager().SetUserShareLimits(l_defaults);
        QCOMPARE(Count("user_share_folder") + Count("user_share_file"),
                 std::size_t(kept ? folders + files : 0));
        QCOMPARE(mp_harness->LogLines(u"Shared"_s).last().contains(u"from user bob refused"_s),
                 !kept);
        Manager().RemoveUserShare("bob");
    }

    // A refused list's line names the user as sent, at either limit: no "%" in a name takes a
    // number meant for the line.
    void refusalsNameTheUser_data()
    {
        QTest::addColumn<QByteArray>("user");
        QTest::addColumn<SharedFoldersManager::UserShareLimits>("limits");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("one list") << QByteArray("bob%2")
                                  << SharedFoldersManager::UserShareLimits{2, 3}
                                  << u"1 folders and 4 files, more than 2 folders or 3 files"_s;
        QTest::newRow("all lists")
            << QByteArray("%1%2%3") << SharedFoldersManager::UserShareLimits{2, 4, 3}
            << u"its 4 files and the 0 held from other users are more than 3 files"_s;
    }
    void refusalsNameTheUser()
    {
        QFETCH(QByteArray, user);
        QFETCH(SharedFoldersManager::UserShareLimits, limits);
        QFETCH(QString, refusal);
        QCOMPARE(Count("user_share_file"), 0u);
        const SharedFoldersManager::UserShareLimits l_defaults = Manager().GetUserShareLimits();
        Manager().SetUserShareLimits(limits);
        FileInfoMap l_share;
        for (const char* lp_name : {"a", "b", "c", "d"})
        {
            FileInfo l_file;
            l_file.m_name = lp_name;
            l_share["x"].insert(l_file);
        }
        AttributeTranslationTable l_table;
        Manager().OnUserShare(user.toStdString(), l_share, l_table);
        Manager().SetUserShareLimits(l_defaults);
        QCOMPARE(mp_harness->LogLines(u"Shared"_s).last(), u"Shared file list from user "_s +
                                                               QString::fromUtf8(user) +
                                                               u" refused: "_s + refusal);
    }

    void wishListWait_data()
    {
        QTest::addColumn<quint32>("seconds");
        QTest::addColumn<int>("interval");
        const int l_largest = std::numeric_limits<int>::max();
        QTest::newRow("5 s") << 5u << 5000;
        QTest::newRow("0 keeps the interval") << 0u << 5000;
        QTest::newRow("past 32 bits of milliseconds") << 4294968u << l_largest;
        QTest::newRow("largest period") << 4294967295u << l_largest;
    }

    // Each row starts from the timer that the row before left.
    void wishListWait()
    {
        QFETCH(quint32, seconds);
        QFETCH(int, interval);
        QVERIFY(mp_harness->Deliver(mp_harness->CentralConnection(), 104,
                                    WireWriter().WriteU32(seconds).Bytes()));
        const QTimer& l_timer = mp_searcher->SearchTimer();
        QVERIFY(l_timer.isActive() && !l_timer.isSingleShot());
        QCOMPARE(l_timer.interval(), interval);
        QCOMPARE(mp_harness->LogLines(u"Wish List"_s).last(),
                 seconds == 0 ? u"Wish list wait period of 0 ignored"_s
                              : u"Wish list wait period set to %1 milliseconds"_s.arg(interval));
    }

    void wishListEntriesTakeTurns()
    {
        const auto l_searches = [this](int i_ticks, const char* ip_next)
        {
            for (int l_tick = 0; l_tick < i_ticks; ++l_tick)
                mp_searcher->OnSearchTimerTimeout();
            QStringList l_texts;
            for (const TestServer::ReceivedFrame& l_frame :
                 mp_harness->SentFrames(mp_harness->CentralConnection()))
                if (l_frame.code == 103)
                    l_texts << QString::fromUtf8(WireReader(l_frame.body.mid(4)).ReadString());
            const bool l_next =
                TestSettings::VolatileSetting("wish_list_search_index").AsString() == ip_next;
            return l_texts.join(QLatin1Char(' ')) + (l_next ? QString() : u" (index)"_s);
        };
        const auto l_enable = [](std::initializer_list<const char*> i_texts, bool i_enabled)
        {
            for (const char* lp_text : i_texts)
                if (i_enabled)
                    ItemPtr(d.GetType("wish_list_item")->GetItem(lp_text)) +=
                        d.GetType("wish_list_item_enabled")->GetGlobalNullItem();
                else
                    ItemPtr(d.GetType("wish_list_item")->GetItem(lp_text))
                        .Disconnect("wish_list_item_enabled");
        };
        QCOMPARE(l_searches(1, "0"), QString());
        l_enable({"b", "a", "c"}, true);
        l_enable({"B"}, false);
        QCOMPARE(l_searches(4, "1"), u"a b c a"_s);
        // An index past the list, as removed entries leave it, takes its remainder, then 0.
        TestSettings::SetVolatileSetting("wish_list_search_index", 5);
        QCOMPARE(l_searches(2, "1"), u"c a"_s);
        // With no enabled entry nothing goes out or is logged, and the turn is kept.
        l_enable({"a", "b", "c"}, false);
        const qsizetype l_lines = mp_harness->LogLines(u"Wish List"_s).size();
        QCOMPARE(l_searches(3, "1"), QString());
        QCOMPARE(mp_harness->LogLines(u"Wish List"_s).size(), l_lines);
    }

    // The test server reports back the counts and the upload speed it was told.
    void everyLoginReportsTheShareAndLearnsTheUploadSpeed()
    {
        const auto l_body = [](const QList<TestServer::ReceivedFrame>& i_frames, quint32 i_code)
        {
            for (const TestServer::ReceivedFrame& l_frame : i_frames)
                if (l_frame.code == i_code)
                    return l_frame.body;
            return QByteArray();
        };
        // The first login came before anything was shared.
        QCOMPARE(l_body(m_loginFrames, 35), QByteArray(8, '\0'));
        QCOMPARE(WireReader(l_body(m_loginFrames, 36)).ReadString(), QByteArray("me"));

        mp_harness->Client().SendUploadSpeed(4321);
        mp_harness->SentFrames(mp_harness->CentralConnection());
        mp_harness->Client().Disconnect();
        const int l_connection = mp_harness->LogIn();
        QTRY_COMPARE_WITH_TIMEOUT(TestSettings::Setting("upload_speed").AsInt(), 4321, timeoutMs);
        // pub, pub/Empty, pub/Sub, list, grp and none; b.txt and new.txt were removed.
        QCOMPARE(l_body(mp_harness->SentFrames(l_connection), 35),
                 WireWriter().WriteU32(6).WriteU32(5).Bytes());
    }
};

QTEST_GUILESS_MAIN(TestShareReplies)
#include "tst_sharereplies.moc"
