// What the sharing service answers to other users and keeps of theirs, over a real messaging
// connection from a TestPeer and decoded with the test peer's own readers: the whole file list
// within the access rules and its reuse until the index changes, one folder's contents, the
// lists received from others with their caps, and the counts and statistics of each login.
#include "Data.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "SharingFixture.h"
#include "StoreFunctions.h"
#include "TestPeer.h"
#include "TestPeerMessages.h"
#include "TestSettings.h"
#include "WireReader.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace
{
constexpr int timeoutMs = 30000;

using Messages = TestPeerMessages;

enum class Access
{
    Public,
    Unshared,
    UserList,
    Group
};

// "name size ext a=b ...": one file as received.
QString Describe(const Messages::File& i_file)
{
    QString l_text = QString::fromUtf8(i_file.name + ' ' + QByteArray::number(i_file.size));
    if (!i_file.extension.isEmpty())
        l_text += QLatin1Char(' ') + QString::fromUtf8(i_file.extension);
    for (const Messages::Attribute& l_pair : i_file.attributes)
        l_text += QStringLiteral(" %1=%2").arg(l_pair.first).arg(l_pair.second);
    return l_text;
}

QString Describe(const QList<Messages::File>& i_files)
{
    QStringList l_files;
    for (const Messages::File& l_file : i_files)
        l_files << Describe(l_file);
    return l_files.join(QStringLiteral(", "));
}

Messages::File MakeFile(const QByteArray& i_name, QList<Messages::Attribute> i_attributes = {})
{
    return Messages::File{i_name, 10, QByteArray(), i_attributes};
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
    QTemporaryDir m_disk;
    int m_connection = 0;
    QList<TestServer::ReceivedFrame> m_loginFrames;

    SharedFoldersManager& Manager() { return *sharedFoldersManager; }
    // The disk's path as the index holds it, and as peers name it.
    QByteArray Local(const char* ip_relative)
    {
        return m_disk.filePath(QString::fromUtf8(ip_relative)).toUtf8();
    }
    QByteArray Remote(const char* ip_relative) { return Local(ip_relative).replace('/', '\\'); }
    ItemPtr Shared(const char* ip_relative)
    {
        return d.GetType("shared_folder")->GetItem(Local(ip_relative).toStdString());
    }
    ItemPtr SharedFile(const char* ip_relative)
    {
        return Manager().GetSharedFileItem(Local(ip_relative).toStdString());
    }
    void Scan(const char* ip_relative)
    {
        Manager().AddSharedFiles(Local(ip_relative).toStdString(),
                                 Local(ip_relative).toStdString());
    }
    void Write(const char* ip_relative, const QByteArray& i_bytes)
    {
        QVERIFY(SharingFixture::WriteFile(QString::fromUtf8(Local(ip_relative)), i_bytes));
    }

    void SetAccess(Access i_access)
    {
        ItemPtr l_bob = d.GetType("user")->GetItem("bob");
        l_bob.Disconnect("unshared");
        if (ItemPtr l_entry = l_bob["in_user_list"])
            l_entry.Remove();
        if (i_access == Access::Unshared)
            l_bob += d.GetType("unshared")->GetGlobalNullItem();
        if (i_access == Access::UserList || i_access == Access::Group)
        {
            ItemPtr l_entry = l_bob.NewItem("in_user_list");
            if (i_access == Access::Group)
                l_entry += d.GetType("user_list_group")->GetItem("friends");
        }
    }

    // Sends the body and returns the body of the next frame that comes back.
    QByteArray Ask(const QByteArray& i_body)
    {
        const int l_before = int(mp_peer->Frames(m_connection).size());
        mp_peer->SendBody(m_connection, i_body);
        if (!mp_peer->WaitForFrames(m_connection, l_before + 1, timeoutMs))
            return QByteArray();
        return mp_peer->Frames(m_connection).at(l_before).body;
    }

    // The file list bob receives: "folder: files | ..." with the disk's path left out.
    QString FileList()
    {
        const std::optional<QByteArray> l_content =
            Messages::CompressedContent(5, Ask(Messages::GetSharedFileList()));
        const auto l_list = Messages::ReadShareListContent(l_content.value_or(QByteArray()));
        if (!l_list || !l_list->table.isEmpty())
            return QStringLiteral("unreadable");
        QStringList l_folders;
        for (const Messages::Folder& l_folder : l_list->folders)
            l_folders << QString::fromUtf8(l_folder.name)
                                 .remove(QString::fromUtf8(Remote("")) + QLatin1Char('\\')) +
                             QStringLiteral(": ") + Describe(l_folder.files);
        return l_folders.join(QStringLiteral(" | "));
    }

    // The reply to a folder request, or "none" when the client sends nothing: a file-list
    // request follows it, and its reply is the next frame when the first got none.
    QString FolderContents(const QByteArray& i_folder)
    {
        const qsizetype l_before = mp_peer->Frames(m_connection).size();
        mp_peer->SendBody(m_connection, Messages::GetSharedFilesInFolder(7, i_folder));
        mp_peer->SendBody(m_connection, Messages::GetSharedFileList());
        if (!QTest::qWaitFor(
                [&]
                {
                    const QList<TestPeer::Frame> l_frames = mp_peer->Frames(m_connection);
                    return l_frames.size() > l_before && l_frames.last().code == 5;
                },
                timeoutMs))
            return QStringLiteral("no marker");
        const QList<TestPeer::Frame> l_frames = mp_peer->Frames(m_connection).mid(l_before);
        if (l_frames.size() == 1)
            return QStringLiteral("none");
        const auto l_contents = Messages::ReadFolderContents(
            Messages::CompressedContent(37, l_frames.first().body).value_or(QByteArray()));
        if (!l_contents || l_contents->token != 7 || l_contents->folder != i_folder ||
            l_contents->folderCount != 1 || l_contents->folderAgain != i_folder ||
            l_contents->endMarker != 0)
            return QStringLiteral("unreadable");
        return Describe(l_contents->files);
    }

    // Bob's list as the peer layer receives it; waits until it is handled.
    void SendList(const QList<Messages::Folder>& i_folders)
    {
        const qsizetype l_lines = ReceivedLines();
        mp_peer->SendBody(m_connection,
                          Messages::SharedFileList(Messages::ShareListContent(i_folders)));
        QTRY_VERIFY_WITH_TIMEOUT(ReceivedLines() > l_lines, timeoutMs);
    }
    qsizetype ReceivedLines() const
    {
        return mp_harness->LogLines(QStringLiteral("Shared"))
            .filter(QStringLiteral("Received shared file list from user bob"))
            .size();
    }
    ItemPtr BobsShare() { return ItemPtr(d.GetType("user")->GetItem("bob"))["user_share"]; }
    // "name<parent" for each folder of bob's list, by name.
    QString Tree()
    {
        QStringList l_folders;
        for (Item* lp_folder : BobsShare().GetItems("user_share_folder"))
        {
            ItemPtr l_folder(lp_folder);
            QString l_text = ValueOf(l_folder, "user_share_folder_name");
            ItemPtr l_parent = l_folder["user_share_folder_parent"]["user_share_folder_child"]
                                       ["user_share_folder"];
            if (l_parent)
                l_text += QLatin1Char('<') + ValueOf(l_parent, "user_share_folder_name");
            l_folders << l_text;
        }
        l_folders.sort();
        return l_folders.join(QStringLiteral(", "));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_disk.isValid());
        mp_harness = std::make_unique<PeerHarness>();
        m_loginFrames = mp_harness->SentFrames(mp_harness->CentralConnection());

        Write("pub/Song.Mp3", "abc");
        Write("pub/b.txt", "b");
        Write("pub/Sub/c.txt", "cc");
        QVERIFY(QDir().mkpath(QString::fromUtf8(Local("pub/Empty"))));
        Write("list/d.txt", "d");
        Write("grp/e.txt", "e");
        Write("none/f.txt", "f");
        Shared("pub") += d.GetType("shared_public")->GetGlobalNullItem();
        Shared("list") += d.GetType("shared_userlist")->GetGlobalNullItem();
        Shared("grp") += d.GetType("user_list_group")->GetItem("friends");
        Shared("none");
        for (const char* lp_folder : {"pub", "list", "grp", "none"})
            Scan(lp_folder);
        // The extension is not one that the scanner reads: the attributes stay as set here.
        SetValue(SharedFile("pub/Song.Mp3"), "bitrate", 320);
        SetValue(SharedFile("pub/Song.Mp3"), "bitrate_mode", "vbr");

        mp_peer = std::make_unique<TestPeer>();
        QVERIFY(mp_peer->Listen());
        m_connection = mp_harness->DialIn(*mp_peer, "bob", "P", false);
        QVERIFY(PeerHarness::SocketOf("peer_socket", "bob"));
    }

    void cleanupTestCase()
    {
        mp_peer.reset();
        mp_harness.reset();
    }

    void fileListWithinAccess_data()
    {
        QTest::addColumn<Access>("access");
        QTest::addColumn<QString>("list");
        const QString l_public = QStringLiteral(
            "pub: Song.Mp3 3 mp3 0=320 2=1, b.txt 1 | pub\\Empty:  | pub\\Sub: c.txt 2");
        QTest::newRow("public only") << Access::Public << l_public;
        QTest::newRow("unshared") << Access::Unshared << QString();
        QTest::newRow("on the user list")
            << Access::UserList << QStringLiteral("list: d.txt 1 | ") + l_public;
        QTest::newRow("in the group")
            << Access::Group << QStringLiteral("grp: e.txt 1 | list: d.txt 1 | ") + l_public;
        QTest::newRow("public again") << Access::Public << l_public;
    }

    // The rows run one after another, so each visibility is answered from its kept list.
    void fileListWithinAccess()
    {
        QFETCH(Access, access);
        QFETCH(QString, list);
        SetAccess(access);
        QCOMPARE(FileList(), list);
    }

    void repeatedListIsTheSameUntilTheIndexChanges_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("expected");
        QTest::newRow("folder made public") << "public"
                                            << "none: f.txt 1";
        QTest::newRow("bitrate") << "bitrate"
                                 << "Song.Mp3 3 mp3 0=128 2=1";
        QTest::newRow("new file") << "file"
                                  << "new.txt 4";
        QTest::newRow("file removed") << "removed"
                                      << "pub: Song.Mp3 3 mp3 0=128 2=1 |";
    }

    void repeatedListIsTheSameUntilTheIndexChanges()
    {
        QFETCH(QString, change);
        QFETCH(QString, expected);
        SetAccess(Access::Public);
        const QString l_before = FileList();
        QCOMPARE(FileList(), l_before);
        const MemStream l_direct = Manager().GetSharedFilesMessage("bob");
        QCOMPARE(QByteArray(l_direct.GetReadBuffer(), l_direct.GetPendingReadLength()),
                 mp_peer->Frames(m_connection).last().body);

        if (change == QLatin1String("public"))
            Shared("none") += d.GetType("shared_public")->GetGlobalNullItem();
        else if (change == QLatin1String("bitrate"))
            SetValue(SharedFile("pub/Song.Mp3"), "bitrate", 128);
        else if (change == QLatin1String("file"))
        {
            Write("pub/new.txt", "1234");
            Scan("pub");
        }
        else
        {
            QVERIFY(QFile::remove(QString::fromUtf8(Local("pub/b.txt"))));
            QVERIFY(QFile::remove(QString::fromUtf8(Local("pub/new.txt"))));
            Scan("pub");
        }
        QVERIFY(!l_before.contains(expected));
        QVERIFY2(FileList().contains(expected), qPrintable(FileList()));
    }

    void folderContents_data()
    {
        QTest::addColumn<Access>("access");
        QTest::addColumn<QByteArray>("folder");
        QTest::addColumn<QString>("reply");
        QTest::newRow("own files only, no attributes")
            << Access::Public << Remote("pub") << "Song.Mp3 3";
        QTest::newRow("sub-folder") << Access::Public << Remote("pub/Sub") << "c.txt 2";
        QTest::newRow("slashes") << Access::Public << Local("pub/Sub") << "c.txt 2";
        QTest::newRow("empty folder") << Access::Public << Remote("pub/Empty") << "";
        QTest::newRow("other letter case")
            << Access::Public << Remote("pub/Sub").replace("Sub", "SUB") << "none";
        QTest::newRow("root not visible") << Access::Public << Remote("grp") << "none";
        QTest::newRow("root visible to the group") << Access::Group << Remote("grp") << "e.txt 1";
        QTest::newRow("unshared") << Access::Unshared << Remote("pub/Sub") << "none";
        QTest::newRow("not indexed") << Access::Public << Remote("missing") << "none";
    }

    void folderContents()
    {
        QFETCH(Access, access);
        QFETCH(QByteArray, folder);
        QFETCH(QString, reply);
        SetAccess(access);
        QCOMPARE(FolderContents(folder), reply);
        // A name from the network adds no folder to the index.
        QVERIFY(!d.GetType("shared_file_folder")->HasItem(Local("missing").toStdString()));
    }

    void receivedTree()
    {
        SendList({{"Alpha", {MakeFile("x")}}, {"Alpha\\Beta", {}}, {"Gamma\\Delta", {}}});
        QCOMPARE(Tree(), QStringLiteral("Alpha, Alpha\\Beta<Alpha, Gamma\\Delta"));
        QVERIFY(BobsShare().IsConnected("user_share_loaded"));

        // A second list while the first is held is logged and dropped.
        SendList({{"Other", {MakeFile("second")}}});
        QCOMPARE(Tree(), QStringLiteral("Alpha, Alpha\\Beta<Alpha, Gamma\\Delta"));
        QVERIFY(!d.GetType("user_share_file_name")->HasItem("second"));

        Manager().RemoveUserShare("bob");
        for (const char* lp_type : {"user_share", "user_share_folder", "user_share_folder_parent",
                                    "user_share_folder_child", "user_share_folder_name",
                                    "user_share_file", "user_share_file_name", "user_share_loaded"})
            QVERIFY2(Count(lp_type) == 0, lp_type);
    }

    void receivedAttributes_data()
    {
        QTest::addColumn<QList<Messages::Attribute>>("attributes");
        QTest::addColumn<QString>("items");
        QTest::addColumn<QString>("display");
        using A = QList<Messages::Attribute>;
        QTest::newRow("variable") << A{{2, 5}} << "//vbr"
                                  << " VBR";
        QTest::newRow("constant") << A{{2, 0}} << "//cbr"
                                  << " CBR";
        QTest::newRow("unknown code") << A{{7, 1}} << "//"
                                      << "";
        QTest::newRow("all three") << A{{0, 192}, {2, 1}, {1, 215}} << "192/215/vbr"
                                   << "192 VBR, 3m35s";
        QTest::newRow("length only") << A{{1, 59}} << "/59/"
                                     << ", 0m59s";
        QTest::newRow("code twice, the last holds") << A{{0, 128}, {0, 320}} << "320//"
                                                    << "320";
    }

    // Each row's list replaces the one before: after RemoveUserShare a list is accepted again.
    void receivedAttributes()
    {
        QFETCH(QList<Messages::Attribute>, attributes);
        QFETCH(QString, items);
        QFETCH(QString, display);
        SendList({{"Music", {MakeFile("a.mp3", attributes)}}});
        ItemPtr l_file = BobsShare()["user_share_folder"]["user_share_file"];
        QCOMPARE(ValueOf(l_file, "user_share_file_name"), QStringLiteral("a.mp3"));
        QCOMPARE(ValueOf(l_file, "file_size"), QStringLiteral("10"));
        QCOMPARE(QStringList({ValueOf(l_file, "bitrate"), ValueOf(l_file, "length_seconds"),
                              ValueOf(l_file, "bitrate_mode")})
                     .join(QLatin1Char('/')),
                 items);
        QCOMPARE(SharedFoldersManager::GetFileItemDisplayString(l_file), display);
        Manager().RemoveUserShare("bob");
    }

    void receivedListsAreCapped_data()
    {
        QTest::addColumn<int>("folders");
        QTest::addColumn<int>("files");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("at both caps") << 2 << 3 << true;
        QTest::newRow("a folder more") << 3 << 0 << false;
        QTest::newRow("a file more") << 1 << 4 << false;
    }

    void receivedListsAreCapped()
    {
        QFETCH(int, folders);
        QFETCH(int, files);
        QFETCH(bool, accepted);
        const SharedFoldersManager::UserShareLimits l_defaults = Manager().GetUserShareLimits();
        QCOMPARE(l_defaults.m_folders, std::size_t(131072));
        QCOMPARE(l_defaults.m_files, std::size_t(PeerMessenger::MaxShareListFiles));
        Manager().SetUserShareLimits({2, 3});
        QList<Messages::Folder> l_list;
        for (int l_folder = 0; l_folder < folders; ++l_folder)
            l_list.append({"F" + QByteArray::number(l_folder), {}});
        for (int l_file = 0; l_file < files; ++l_file)
            l_list[0].files.append(MakeFile("f" + QByteArray::number(l_file)));
        SendList(l_list);
        Manager().SetUserShareLimits(l_defaults);

        QCOMPARE(bool(BobsShare()), accepted);
        QCOMPARE(Count("user_share_folder"), std::size_t(accepted ? folders : 0));
        QCOMPARE(Count("user_share_file"), std::size_t(accepted ? files : 0));
        QCOMPARE(mp_harness->LogLines(QStringLiteral("Shared"))
                         .filter(QStringLiteral("Shared file list from user bob refused"))
                         .size() > 0,
                 !accepted);
        Manager().RemoveUserShare("bob");
    }

    // The test server keeps the counts and the upload speed it is told and reports them back.
    void everyLoginReportsTheShareAndLearnsTheUploadSpeed()
    {
        const auto l_frame = [](const QList<TestServer::ReceivedFrame>& i_frames, quint32 i_code)
        {
            for (const TestServer::ReceivedFrame& l_frame : i_frames)
                if (l_frame.code == i_code)
                    return l_frame.body;
            return QByteArray();
        };
        // The first login came before anything was shared.
        QCOMPARE(l_frame(m_loginFrames, 35), QByteArray(8, '\0'));
        QCOMPARE(WireReader(l_frame(m_loginFrames, 36)).ReadString(), QByteArray("me"));

        mp_harness->Client().SendUploadSpeed(4321);
        mp_harness->SentFrames(mp_harness->CentralConnection());
        mp_harness->Client().Disconnect();
        const int l_connection = mp_harness->LogIn();
        QVERIFY(l_connection != 0);
        QTRY_COMPARE_WITH_TIMEOUT(TestSettings::Setting("upload_speed").AsInt(), 4321, timeoutMs);
        const QList<TestServer::ReceivedFrame> l_frames = mp_harness->SentFrames(l_connection);
        WireReader l_counts(l_frame(l_frames, 35));
        // pub, pub/Empty, pub/Sub, list, grp and none; b.txt and new.txt were removed.
        QCOMPARE(l_counts.ReadU32(), quint32(6));
        QCOMPARE(l_counts.ReadU32(), quint32(5));
        QVERIFY(l_counts.Ok() && l_counts.AtEnd());
    }
};

QTEST_GUILESS_MAIN(TestShareReplies)
#include "tst_sharereplies.moc"
