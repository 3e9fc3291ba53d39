#include "Data.h"
#include "FolderListing.h"
#include "SharedFolderInfo.h"
#include "SharingFixture.h"
#include "TestPeerMessages.h"
#include "TestSettings.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <optional>

#include <sys/stat.h>

namespace
{
QString S(const char* ip_text)
{
    return QString::fromUtf8(ip_text);
}

// The values of the items, sorted, joined by blanks.
QString Values(const ItemSet& i_items)
{
    QStringList l_values;
    for (Item* lp_item : i_items)
        l_values << QString::fromStdString(lp_item->Value());
    l_values.sort();
    return l_values.join(QLatin1Char(' '));
}

// What a scan result sets on a file.
QString Attributes(ItemPtr i_file)
{
    QStringList l_values;
    for (const char* lp_type :
         {"mpeg_version", "channel_mode", "audio_frequency", "bitrate_mode", "bitrate"})
        l_values << QString::fromStdString(i_file[lp_type].AsString());
    return l_values.join(QLatin1Char('/'));
}

QByteArray Unread(const MemStream& i_stream)
{
    return QByteArray(i_stream.GetReadBuffer(), i_stream.GetPendingReadLength());
}

// Deletes a file from disk whenever a `shared_file` item appears: a file that vanishes while
// its folder is being scanned.
class RemoveOnNewFile : public DataHandler
{
public:
    explicit RemoveOnNewFile(QString i_path) : m_path(std::move(i_path))
    {
        d.GetType("shared_file")
            ->m_itemAddedEvent.AddHandler(
                new EventHandler<RemoveOnNewFile, Item*>(this, &RemoveOnNewFile::OnFile));
    }
    void OnFile(Item*) { QFile::remove(m_path); }

private:
    QString m_path;
};

const TestFrame cbr320{1, 3, 1, 14, 0, 1};
} // namespace

class TestSharedFolders : public QObject
{
    Q_OBJECT

    std::unique_ptr<SharingFixture> mp_fixture;
    QTemporaryDir m_disk;

    SharedFoldersManager& Manager() { return mp_fixture->Manager(); }
    QString Path(const char* ip_relative) { return m_disk.filePath(S(ip_relative)); }
    std::string Bytes(const char* ip_relative) { return Path(ip_relative).toStdString(); }
    ItemPtr File(const char* ip_relative)
    {
        return Manager().GetSharedFileItem(Bytes(ip_relative));
    }
    void Write(const char* ip_relative, const QByteArray& i_bytes)
    {
        QVERIFY(SharingFixture::WriteFile(Path(ip_relative), i_bytes));
    }
    ItemPtr Share(const char* ip_relative)
    {
        return d.GetType("shared_folder")->GetItem(Bytes(ip_relative));
    }
    // The folders of a shared folder, relative to the test's disk.
    QString FoldersOf(const char* ip_shared)
    {
        return Values(Share(ip_shared).GetItems("shared_file_folder"))
            .remove(m_disk.path() + QLatin1Char('/'));
    }
    // "files added, files removed".
    QString Rescan()
    {
        QSignalSpy l_spy(&Manager(), &SharedFoldersManager::SharedFilesRescanned);
        Manager().RescanShares();
        return l_spy.value(0).value(0).toString() + QLatin1Char(' ') +
               l_spy.value(0).value(1).toString();
    }

private slots:
    void initTestCase()
    {
        mp_fixture = std::make_unique<SharingFixture>();
        QVERIFY(m_disk.isValid());
    }

    // Start-up order: the data file is loaded before Init. The index, the scan flags and the
    // attributes survive; tokens are built again by the first rescan, which reads no scanned
    // file again. Every later test runs after this Init.
    void indexSurvivesARestart()
    {
        Write("k/a.mp3", TestFrame().Frames(20));
        Write("k/Sub/b.txt", "b");
        Manager().AddSharedFiles(Bytes("k"), Bytes("k"));
        QTRY_VERIFY_WITH_TIMEOUT(File("k/a.mp3").IsConnected("is_scanned"), 10000);
        dataSaver->Save(Path("data"));
        d.RemoveAllItems();
        dataSaver->Load(Path("data"));
        QCOMPARE(FoldersOf("k"), S("k k/Sub"));
        QCOMPARE(d.GetType("search_token")->ItemCount(), std::size_t(0));
        ItemPtr l_song = File("k/A.MP3");
        QCOMPARE(Attributes(l_song), S("1/joint stereo/0/cbr/128"));

        QSignalSpy l_requests(&Manager(), &SharedFoldersManager::MP3ScanRequired);
        QSignalSpy l_rescans(&Manager(), &SharedFoldersManager::SharedFilesRescanned);
        Manager().Init();
        QCOMPARE(l_rescans.value(0), QVariantList({0, 0}));
        QCOMPARE(l_requests.size(), 0);
        QVERIFY(Values(l_song.GetItems("search_token")).contains(S("a.mp3")));
    }

    void indexesAFolderTree()
    {
        Write("s/Two Birds-Live.MP3", cbr320.Frames(40));
        Write("s/notes.txt", "12345");
        Write("s/sub/notes.txt", "1");
        Write("s/sub/x.Mp3", TestFrame().Frames(40));
        Write("s/.hidden/a.mp3", TestFrame().Frames(40));
        QSignalSpy l_requests(&Manager(), &SharedFoldersManager::MP3ScanRequired);
        Share("s");

        QCOMPARE(FoldersOf("s"), S("s s/sub"));
        QCOMPARE(l_requests.size(), 1);
        QCOMPARE(l_requests[0][0].toString(),
                 QString::fromLatin1(Path("s/Two Birds-Live.MP3").toUtf8()));
        // One name item serves both files of that name.
        QCOMPARE(File("s/notes.txt")["shared_file_name"].GetItems("shared_file").size(),
                 std::size_t(2));
        QTRY_COMPARE_WITH_TIMEOUT(Attributes(File("s/Two Birds-Live.MP3")),
                                  S("1/joint stereo/0/cbr/320"), 10000);
    }

    // What a folder lists: files and folders, links followed, by name whatever the case; hidden
    // entries, pipes and broken links left out (a pipe named .mp3 would block its reader).
    void listsFilesAndFolders()
    {
        Write("ls/b.txt", "b");
        Write("ls/A.txt", "a");
        Write("ls/.hidden", "h");
        Write("ls/Sub/c.txt", "c");
        QVERIFY(mkfifo(Bytes("ls/pipe.mp3").c_str(), 0600) == 0);
        QVERIFY(QFile::link(Path("ls/A.txt"), Path("ls/file link")));
        QVERIFY(QFile::link(Path("ls/Sub"), Path("ls/folder link")));
        QVERIFY(QFile::link(Path("ls/none"), Path("ls/broken link")));
        FolderListing l_listing(Bytes("ls"));
        QStringList l_entries;
        for (const FolderListing::Entry& l_entry : l_listing.Entries())
            l_entries << S(l_entry.m_name.c_str()) + (l_entry.m_isFolder ? S("/") : S(""));
        QCOMPARE(l_entries.join(QLatin1Char('|')), S("A.txt|b.txt|file link|folder link/|Sub/"));
        QCOMPARE(l_listing.FileSize(l_listing.Entries().at(2)), std::optional<qint64>(1));
        QVERIFY(QFile::remove(Path("ls/A.txt")));
        l_listing.Release();
        QCOMPARE(l_listing.FileSize(l_listing.Entries().at(0)), std::nullopt);
        QVERIFY(FolderListing(Bytes("ls/none")).Entries().empty());
    }

    void tokenisesFolderAndName_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("tokens");
        QTest::newRow("separators") << S("/F") << S("A_b c") << S("a a_b b c f");
        QTest::newRow("two passes") << S("/srv/Music") << S("Two Birds-Live.MP3")
                                    << S("birds birds-live.mp3 live mp3 music srv two");
        QTest::newRow("high bytes")
            << S("x") << S("\u00c9t\u00e9.mp3") << S("mp3 x \u00c9t\u00e9 \u00c9t\u00e9.mp3");
    }

    void tokenisesFolderAndName()
    {
        QFETCH(QString, folder);
        QFETCH(QString, name);
        ItemPtr l_file = d.GetType("shared_file_folder")->GetItem(folder.toStdString());
        l_file = l_file.NewItem("shared_file");
        l_file += d.GetType("shared_file_name")->GetItem(name.toStdString());
        Manager().TokenizeSharedFile(l_file);
        QTEST(Values(l_file.GetItems("search_token")), "tokens");
        l_file.Remove();
    }

    void rescansFollowTheDisk()
    {
        Write("r/a.txt", "abc");
        Write("r/b.mp3", TestFrame().Frames(100));
        Write("r/bad.mp3", "no frames");
        Write("r/sub/c.txt", "c");
        Write("r/sub/d.txt", "d");
        Share("r");
        QTRY_VERIFY_WITH_TIMEOUT(File("r/b.mp3").IsConnected("is_scanned"), 10000);

        // Scanned files are not read again; one that failed is asked for at every rescan.
        QSignalSpy l_requests(&Manager(), &SharedFoldersManager::MP3ScanRequired);
        QCOMPARE(Rescan(), S("0 0"));
        QCOMPARE(l_requests.size(), 1);
        Write("r/e.txt", "e");
        QCOMPARE(Rescan(), S("1 0"));
        QVERIFY(QFile::remove(Path("r/a.txt")));
        QCOMPARE(Rescan(), S("0 1"));
        QVERIFY(QDir(Path("r/sub")).removeRecursively());
        QCOMPARE(Rescan(), S("0 2"));
        QVERIFY(d.GetType("shared_file_folder")->HasItem(Bytes("r/sub")).IsNull());

        // A file that changed size is offered at its new size and read again.
        l_requests.clear();
        Write("r/b.mp3", TestFrame().Frames(90) + cbr320.Frames(20));
        QCOMPARE(Rescan(), S("0 0"));
        ItemPtr l_song = File("r/b.mp3");
        QCOMPARE(l_requests.size(), 2);
        QCOMPARE(Attributes(l_song), S("////"));
        QTRY_COMPARE_WITH_TIMEOUT(Attributes(l_song), S("1/joint stereo/0/vbr/162"), 10000);
    }

    // A file rewritten at another length is indexed, and listed to other users, at its new length
    // after the next rescan, however its length changed.
    void rescanTakesANewLength_data()
    {
        QTest::addColumn<int>("length");
        QTest::newRow("grown") << 70000;
        QTest::newRow("shrunk") << 2;
        QTest::newRow("emptied") << 0;
    }

    void rescanTakesANewLength()
    {
        QFETCH(int, length);
        Write("w/a.txt", "abc");
        Share("w") += d.GetType("shared_public")->GetGlobalNullItem();
        const auto l_private = qScopeGuard([this] { Share("w").Disconnect("shared_public"); });
        Rescan();
        QCOMPARE(File("w/a.txt")["shared_file_size"].AsInt64(), qint64(3));
        // The list is built before the change, and kept.
        Manager().GetSharedFilesMessage("bob");
        Write("w/a.txt", QByteArray(length, 'x'));
        QCOMPARE(Rescan(), S("0 0"));
        QCOMPARE(File("w/a.txt")["shared_file_size"].AsInt64(), qint64(length));
        const auto l_list = TestPeerMessages::ReadShareListContent(
            TestPeerMessages::CompressedContent(
                5, Unread(Manager().GetSharedFilesMessage("bob").value()))
                .value_or(QByteArray()));
        QVERIFY(l_list && l_list->folders.size() == 1 && l_list->folders[0].files.size() == 1);
        QCOMPARE(l_list->folders[0].files[0].size, quint64(length));
    }

    // A link back to a folder being scanned is left out; other links are followed. A file gone
    // since the listing is not indexed.
    void linksAndVanishingFiles()
    {
        Write("l/deep/a.txt", "a");
        Write("l/b.txt", "b");
        Write("l/c.txt", "c");
        Write("outside/x.txt", "x");
        QVERIFY(QFile::link(Path("l"), Path("l/loop")));
        QVERIFY(QFile::link(S(".."), Path("l/deep/back")));
        QVERIFY(QFile::link(Path("outside"), Path("l/out")));
        {
            RemoveOnNewFile l_remover(Path("l/c.txt"));
            Share("l");
        }
        QCOMPARE(FoldersOf("l"), S("l l/deep l/out"));
        QVERIFY(File("l/c.txt").IsNull());
        QVERIFY(!File("l/out/x.txt").IsNull());
        QCOMPARE(Rescan(), S("0 0"));
    }

    void nestedSharedFolders()
    {
        Write("n/inner/a.txt", "a");
        Share("n");
        Share("n/inner");
        QCOMPARE(Rescan(), S("0 0"));
        QCOMPARE(FoldersOf("n"), S("n n/inner"));
        QCOMPARE(FoldersOf("n/inner"), S("n/inner"));
    }

    // A rescan that finds the disk as it was changes nothing in the store: the same files, names,
    // sizes and words, and the store's change count stays.
    void unchangedRescanChangesNothing()
    {
        Write("u/a b.txt", "a");
        Write("u/Sub/C-d.MP3", cbr320.Frames(10));
        Share("u");
        QTRY_VERIFY_WITH_TIMEOUT(File("u/Sub/C-d.MP3").IsConnected("is_scanned"), 10000);
        QCOMPARE(Rescan(), S("0 0"));
        const auto l_index = [this]
        {
            QStringList l_files;
            for (Item* lp_file : Share("u").GetItems("shared_file_folder").GetItems("shared_file"))
                l_files << QString::number(lp_file->Serial()) + QLatin1Char(' ') +
                               Values(ItemPtr(lp_file).GetItems("shared_file_name")) +
                               QLatin1Char(' ') +
                               Values(ItemPtr(lp_file).GetItems("shared_file_size")) +
                               QLatin1Char(' ') + Values(ItemPtr(lp_file).GetItems("search_token"));
            return l_files.join(QLatin1Char('|'));
        };
        const QString l_before = l_index();
        const std::uint64_t l_changes = d.ChangeCount();
        QCOMPARE(Rescan(), S("0 0"));
        QCOMPARE(d.ChangeCount(), l_changes);
        QCOMPARE(l_index(), l_before);
        QVERIFY(File("u/a b.txt").IsConnected(d.GetType("search_token")->HasItem("b.txt")));
    }

    void findsFilesWhateverTheCase_data()
    {
        Write("p/Music/Song.mp3", "1");
        Write("p/Music/song.MP3", "22");
        Write("p/Music/Other.txt", "333");
        Write("q/Other.txt", "4");
        Share("p");
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("found");
        QTest::newRow("exact") << Path("p/Music/Song.mp3") << S("Song.mp3");
        QTest::newRow("exact twin") << Path("p/Music/song.MP3") << S("song.MP3");
        QTest::newRow("case, doubled separator") << Path("p/music//OTHER.TXT") << S("Other.txt");
        QTest::newRow("other separator")
            << Path("p/Music/Other.txt").replace(QLatin1Char('/'), QLatin1Char('\\')) << S("");
        QTest::newRow("parent step") << Path("p/Music/../Music/Other.txt") << S("");
        QTest::newRow("not indexed") << Path("p/Music/none.txt") << S("");
        QTest::newRow("not shared") << Path("q/Other.txt") << S("");
    }

    void findsFilesWhateverTheCase()
    {
        QFETCH(QString, request);
        ItemPtr l_file = Manager().GetSharedFileItem(request.toStdString());
        QTEST(QString::fromStdString(l_file["shared_file_name"].AsString()), "found");
    }

    // A result goes to the file of that exact path; one for a file that left the index is
    // dropped.
    void storesScanResults()
    {
        Manager().OnMP3Scanned(QString::fromLatin1(Path("p/Music/song.MP3").toUtf8()), 2, S("mono"),
                               1, true, 99);
        QCOMPARE(Attributes(File("p/Music/song.MP3")), S("2/mono/1/vbr/99"));
        QCOMPARE(Attributes(File("p/Music/Song.mp3")), S("////"));
        Manager().OnMP3Scanned(QString::fromLatin1(Path("p/gone.mp3").toUtf8()), 1, S("mono"), 0,
                               false, 12345);
        QVERIFY(d.GetType("bitrate")->HasItem(12345).IsNull());
    }

    // Folders for public, user-list, group A, nobody, and public plus group B, one file each.
    void accessRules_data()
    {
        Type* lp_user = d.GetType("user");
        ItemPtr l_groupA = d.GetType("user_list_group")->GetItem("A");
        ItemPtr l_groupB = d.GetType("user_list_group")->GetItem("B");
        ItemPtr l_public = d.GetType("shared_public")->GetGlobalNullItem();
        for (const char* lp_kind : {"pub", "list", "ga", "none", "pubgb"})
            Write((std::string("acc/") + lp_kind + "/f.txt").c_str(), "f");
        Share("acc/pub") += l_public;
        Share("acc/list") += d.GetType("shared_userlist")->GetGlobalNullItem();
        Share("acc/ga") += l_groupA;
        Share("acc/none");
        Share("acc/pubgb") += l_public;
        Share("acc/pubgb") += l_groupB;
        lp_user->GetItem("stranger");
        ItemPtr(lp_user->GetItem("friend")).NewItem("in_user_list");
        ItemPtr(lp_user->GetItem("memberA")).NewItem("in_user_list") += l_groupA;
        ItemPtr l_banned = lp_user->GetItem("banned");
        l_banned.NewItem("in_user_list") += l_groupA;
        l_banned.NewItem("unshared");
        ItemPtr(lp_user->GetItem("bannedStranger")).NewItem("unshared");

        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("visible");
        QTest::newRow("no user item") << S("nobody") << S("pub pubgb");
        QTest::newRow("not on the list") << S("stranger") << S("pub pubgb");
        QTest::newRow("on the list") << S("friend") << S("list pub pubgb");
        QTest::newRow("in group A") << S("memberA") << S("ga list pub pubgb");
        QTest::newRow("unshared member") << S("banned") << S("");
        QTest::newRow("unshared stranger") << S("bannedStranger") << S("");
    }

    void accessRules()
    {
        QFETCH(QString, user);
        const std::string l_user = user.toStdString();
        const ItemSet l_visible = Manager().GetUserSharedFolders(l_user);
        QTEST(Values(l_visible.Connected("shared_file_folder")).remove(Path("acc/")), "visible");
        // The file rule agrees with the folder rule, and no user item is made for a name.
        for (const std::string l_folder :
             {"acc/pub", "acc/list", "acc/ga", "acc/none", "acc/pubgb"})
            QCOMPARE(Manager().IsFileSharedWithUser(File((l_folder + "/f.txt").c_str()), l_user),
                     l_visible.contains(Share(l_folder.c_str())));
        QVERIFY(d.GetType("user")->HasItem("nobody").IsNull());
    }

    // Records by name; a presence byte of 0 repeats the record before it; any end marker.
    void folderContentsRecord()
    {
        SharedFolderInfo l_folder;
        MemStream l_stream;
        l_stream.Write(l_folder);
        QCOMPARE(Unread(l_stream), QByteArray(8, '\0'));
        FileInfo l_file;
        l_file.m_name = "b";
        l_stream.Write(quint32(3));
        l_stream.Write(l_file);
        l_stream.Write(quint8(0));
        l_file.m_name = "a";
        l_stream.Write(l_file);
        l_stream.Write(quint32(7));
        QVERIFY(l_folder.Read(l_stream) && l_folder.Read(l_stream));
        QCOMPARE(l_folder.m_files.size(), std::size_t(2));
        QCOMPARE(l_folder.m_files.begin()->m_name, std::string("a"));
        l_stream.Write(quint32(0));
        QVERIFY(!l_folder.Read(l_stream));
    }

    void recordsOfOwnFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QByteArray>("attributes");
        QTest::newRow("vbr mp3") << S("a.mp3") << S("vbr")
                                 << QByteArray::fromHex("030000006d70330200000000000000c0000000"
                                                        "0200000001000000");
        QTest::newRow("unscanned MP3")
            << S("C.MP3") << S("") << QByteArray::fromHex("030000006d703300000000");
        QTest::newRow("other file")
            << S("d.txt") << S("cbr") << QByteArray::fromHex("0000000000000000");
    }

    void recordsOfOwnFiles()
    {
        QFETCH(QString, name);
        QFETCH(QString, mode);
        ItemPtr l_file = d.GetType("shared_file_folder")->GetItem("/x/y")->NewItem("shared_file");
        l_file += d.GetType("shared_file_name")->GetItem(name.toStdString());
        l_file += d.GetType("shared_file_size")->GetItem("5000000000");
        if (!mode.isEmpty())
        {
            l_file += d.GetType("bitrate_mode")->GetItem(mode.toStdString());
            l_file += d.GetType("bitrate")->GetItem(192);
        }
        const FileInfo l_full = FileInfo::FromSharedFile(l_file, true);
        QCOMPARE(QString::fromStdString(l_full.m_name), S("\\x\\y\\") + name);
        QCOMPARE(l_full.m_size, qint64(5000000000));
        MemStream l_attributes;
        l_attributes.Write(l_full.m_attributes);
        QTEST(Unread(l_attributes), "attributes");
        l_file.Remove();
    }

    // Only the own user's statistics set upload_speed, as signed decimal text.
    void ownStatisticsGiveTheUploadSpeed()
    {
        UserStats l_stats;
        l_stats.m_averageSpeed = 4000000000U;
        TestSettings::SetSetting("username", "alice");
        Manager().OnReceivedUserStats("Alice", l_stats);
        QVERIFY(TestSettings::Setting("upload_speed").IsNull());
        Manager().OnReceivedUserStats("alice", l_stats);
        QCOMPARE(TestSettings::Setting("upload_speed").AsString(), std::string("-294967296"));
    }

    // Shut-down with requests still queued: the worker stops without reading them all.
    void destructionStopsTheScanner()
    {
        for (int l_request = 0; l_request < 1000; ++l_request)
            emit Manager().MP3ScanRequired(QString::fromLatin1(Path("r/b.mp3").toUtf8()));
        mp_fixture->DestroyManager();
        QCOMPARE(sharedFoldersManager, nullptr);
    }
};

QTEST_GUILESS_MAIN(TestSharedFolders)
#include "tst_sharedfolders.moc"
