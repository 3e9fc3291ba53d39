#include "AttributeTranslationTable.h"
#include "CompressedMessage.h"
#include "Data.h"
#include "FileInfoMap.h"
#include "SharedFolderInfo.h"
#include "SharingFixture.h"
#include "TestSettings.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <zlib.h>

#include <memory>

namespace
{
QStringList Values(const ItemSet& i_items)
{
    QStringList l_values;
    for (Item* lp_item : i_items)
        l_values << QString::fromStdString(lp_item->Value());
    l_values.sort();
    return l_values;
}

QByteArray Unread(const MemStream& i_stream)
{
    return QByteArray(i_stream.GetReadBuffer(), i_stream.GetPendingReadLength());
}

// Deletes a file from disk when the first `shared_file` item appears: a file that vanishes
// while its folder is being scanned.
class RemoveOnFirstFile : public DataHandler
{
public:
    explicit RemoveOnFirstFile(QString i_path) : m_path(std::move(i_path))
    {
        d.GetType("shared_file")
            ->m_itemAddedEvent.AddHandler(
                new EventHandler<RemoveOnFirstFile, Item*>(this, &RemoveOnFirstFile::OnFile));
    }
    void OnFile(Item*) { QFile::remove(m_path); }

private:
    QString m_path;
};
} // namespace

class TestSharedFolders : public QObject
{
    Q_OBJECT

    std::unique_ptr<SharingFixture> mp_fixture;
    QTemporaryDir m_disk;

    SharedFoldersManager& Manager() { return mp_fixture->Manager(); }
    QString Path(const QString& i_relative) { return m_disk.filePath(i_relative); }
    std::string Bytes(const QString& i_relative) { return Path(i_relative).toStdString(); }
    ItemPtr File(const QString& i_relative)
    {
        return Manager().GetSharedFileItem(Bytes(i_relative));
    }
    void Write(const QString& i_relative, const QByteArray& i_bytes)
    {
        QVERIFY(SharingFixture::WriteFile(Path(i_relative), i_bytes));
    }
    void Share(const QString& i_relative)
    {
        d.GetType("shared_folder")->GetItem(Bytes(i_relative));
    }
    QStringList FoldersOf(const QString& i_shared)
    {
        QStringList l_folders;
        for (const QString& l_folder : Values(d.GetType("shared_folder")
                                                  ->HasItem(Bytes(i_shared))
                                                  .GetItems("shared_file_folder")))
            l_folders << QDir(m_disk.path()).relativeFilePath(l_folder);
        return l_folders;
    }
    QList<QVariant> Rescan()
    {
        QSignalSpy l_spy(&Manager(), &SharedFoldersManager::SharedFilesRescanned);
        Manager().RescanShares();
        return l_spy.value(0);
    }
    static QList<QVariant> Counts(int i_added, int i_removed) { return {i_added, i_removed}; }

private slots:
    void initTestCase()
    {
        mp_fixture = std::make_unique<SharingFixture>();
        QVERIFY(m_disk.isValid());
        QCOMPARE(sharedFoldersManager, &Manager());
    }

    // Start-up order: the data file is loaded before Init. The index, the scan flags and the
    // attributes survive; tokens are built again by the first rescan, which reads no scanned
    // file again. Every later test runs after this Init.
    void indexSurvivesARestart()
    {
        Write(QStringLiteral("k/a.mp3"), TestFrame().Frames(20));
        Write(QStringLiteral("k/Sub/b.txt"), "b");
        const std::string l_shared = Bytes(QStringLiteral("k"));
        Manager().AddSharedFiles(l_shared, l_shared);
        QTRY_VERIFY_WITH_TIMEOUT(File(QStringLiteral("k/a.mp3")).IsConnected("is_scanned"), 10000);
        const QString l_dataFile = Path(QStringLiteral("data"));
        dataSaver->Save(l_dataFile);
        d.RemoveAllItems();
        dataSaver->Load(l_dataFile);

        QCOMPARE(d.GetType("shared_file")->ItemCount(), std::size_t(2));
        QCOMPARE(FoldersOf(QStringLiteral("k")),
                 QStringList({QStringLiteral("k"), QStringLiteral("k/Sub")}));
        QCOMPARE(d.GetType("search_token")->ItemCount(), std::size_t(0));
        ItemPtr l_song = File(QStringLiteral("k/A.MP3"));
        QVERIFY(l_song.IsConnected("is_scanned"));
        QCOMPARE(l_song["bitrate"].AsString(), std::string("128"));

        QSignalSpy l_requests(&Manager(), &SharedFoldersManager::MP3ScanRequired);
        QSignalSpy l_rescans(&Manager(), &SharedFoldersManager::SharedFilesRescanned);
        Manager().Init();
        QCOMPARE(l_rescans.value(0), Counts(0, 0));
        QCOMPARE(l_requests.size(), 0);
        QVERIFY(Values(l_song.GetItems("search_token")).contains(QStringLiteral("a.mp3")));
    }

    void indexesAFolderTree()
    {
        Write(QStringLiteral("s/Two Birds-Live.MP3"), TestFrame{1, 3, 1, 14, 0, 1}.Frames(40));
        Write(QStringLiteral("s/notes.txt"), "12345");
        Write(QStringLiteral("s/sub/notes.txt"), "1");
        Write(QStringLiteral("s/sub/x.Mp3"), TestFrame().Frames(40));
        Write(QStringLiteral("s/.mp3"), TestFrame().Frames(40));
        Write(QStringLiteral("s/.hidden/a.txt"), "1");
        QSignalSpy l_requests(&Manager(), &SharedFoldersManager::MP3ScanRequired);
        Share(QStringLiteral("s"));

        QCOMPARE(FoldersOf(QStringLiteral("s")),
                 QStringList({QStringLiteral("s"), QStringLiteral("s/sub")}));
        QCOMPARE(l_requests.size(), 1);
        QCOMPARE(l_requests[0][0].toString(),
                 QString::fromLatin1(Path(QStringLiteral("s/Two Birds-Live.MP3")).toUtf8()));
        ItemPtr l_notes = File(QStringLiteral("s/notes.txt"));
        QCOMPARE(l_notes["shared_file_size"].AsString(), std::string("5"));
        // One name item serves both files of that name; each file keeps its own folder.
        QCOMPARE(l_notes["shared_file_name"].GetItems("shared_file").size(), std::size_t(2));
        QVERIFY(File(QStringLiteral("s/sub/notes.txt")) != l_notes);
        QCOMPARE(l_notes["shared_file_name"]["shared_file_lowercase_name"].AsString(),
                 std::string("notes.txt"));

        ItemPtr l_song = File(QStringLiteral("s/Two Birds-Live.MP3"));
        QTRY_VERIFY_WITH_TIMEOUT(l_song.IsConnected("is_scanned"), 10000);
        QCOMPARE(l_song["mpeg_version"].AsString(), std::string("1"));
        QCOMPARE(l_song["channel_mode"].AsString(), std::string("joint stereo"));
        QCOMPARE(l_song["audio_frequency"].AsString(), std::string("0"));
        QCOMPARE(l_song["bitrate_mode"].AsString(), std::string("cbr"));
        QCOMPARE(l_song["bitrate"].AsString(), std::string("320"));
        const QStringList l_tokens = Values(l_song.GetItems("search_token"));
        for (const char* lp_token : {"s", "two", "birds", "live", "mp3", "birds-live.mp3"})
            QVERIFY2(l_tokens.contains(QLatin1String(lp_token)), lp_token);
    }

    void tokenisesFolderAndName_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("tokens");
        QTest::newRow("separators") << "/F"
                                    << "A_b c"
                                    << "a a_b b c f";
        QTest::newRow("two passes") << "/srv/Music"
                                    << "Two Birds-Live.MP3"
                                    << "birds birds-live.mp3 live mp3 music srv two";
        QTest::newRow("high bytes") << "x"
                                    << "\u00c9t\u00e9.mp3"
                                    << "mp3 x \u00c9t\u00e9 \u00c9t\u00e9.mp3";
    }

    void tokenisesFolderAndName()
    {
        QFETCH(QString, folder);
        QFETCH(QString, name);
        ItemPtr l_file = d.GetType("shared_file_folder")->GetItem(folder.toStdString());
        l_file = l_file.NewItem("shared_file");
        l_file += d.GetType("shared_file_name")->GetItem(name.toStdString());
        Manager().TokenizeSharedFile(l_file);
        QTEST(Values(l_file.GetItems("search_token")).join(QLatin1Char(' ')), "tokens");
        l_file.Remove();
        d.RemoveDisconnectedItems();
    }

    void rescansFollowTheDisk()
    {
        Write(QStringLiteral("r/a.txt"), "abc");
        Write(QStringLiteral("r/b.mp3"), TestFrame().Frames(100));
        Write(QStringLiteral("r/bad.mp3"), "no frames");
        Write(QStringLiteral("r/sub/c.txt"), "c");
        Write(QStringLiteral("r/sub/d.txt"), "d");
        Share(QStringLiteral("r"));
        QTRY_VERIFY_WITH_TIMEOUT(File(QStringLiteral("r/b.mp3")).IsConnected("is_scanned"), 10000);

        // Scanned files are not read again; one that failed is asked for at every rescan.
        QSignalSpy l_requests(&Manager(), &SharedFoldersManager::MP3ScanRequired);
        QCOMPARE(Rescan(), Counts(0, 0));
        QCOMPARE(l_requests.size(), 1);

        Write(QStringLiteral("r/e.txt"), "e");
        QCOMPARE(Rescan(), Counts(1, 0));
        QVERIFY(QFile::remove(Path(QStringLiteral("r/a.txt"))));
        QCOMPARE(Rescan(), Counts(0, 1));
        QVERIFY(File(QStringLiteral("r/a.txt")).IsNull());
        QVERIFY(QDir(Path(QStringLiteral("r/sub"))).removeRecursively());
        QCOMPARE(Rescan(), Counts(0, 2));
        QVERIFY(d.GetType("shared_file_folder")->HasItem(Bytes(QStringLiteral("r/sub"))).IsNull());

        // A file that changed size is offered at its new size and read again.
        l_requests.clear();
        Write(QStringLiteral("r/b.mp3"),
              TestFrame().Frames(90) + TestFrame{1, 3, 1, 14, 0, 1}.Frames(20));
        QCOMPARE(Rescan(), Counts(0, 0));
        ItemPtr l_song = File(QStringLiteral("r/b.mp3"));
        QCOMPARE(l_song["shared_file_size"].AsInt(), 110 * 128);
        QCOMPARE(l_requests.size(), 2);
        QVERIFY(!l_song.IsConnected("is_scanned"));
        QVERIFY(!l_song.IsConnected("bitrate"));
        QTRY_COMPARE_WITH_TIMEOUT(l_song["bitrate_mode"].AsString(), std::string("vbr"), 10000);
        QCOMPARE(l_song["bitrate"].AsString(), std::string("162"));
    }

    // A link back to a folder being scanned is left out; other links are followed.
    void followsLinksWithoutLooping()
    {
        Write(QStringLiteral("l/deep/a.txt"), "a");
        Write(QStringLiteral("outside/x.txt"), "x");
        QVERIFY(QFile::link(Path(QStringLiteral("l")), Path(QStringLiteral("l/loop"))));
        QVERIFY(QFile::link(QStringLiteral(".."), Path(QStringLiteral("l/deep/back"))));
        QVERIFY(QFile::link(Path(QStringLiteral("outside")), Path(QStringLiteral("l/out"))));
        Share(QStringLiteral("l"));
        QCOMPARE(
            FoldersOf(QStringLiteral("l")),
            QStringList({QStringLiteral("l"), QStringLiteral("l/deep"), QStringLiteral("l/out")}));
        QVERIFY(!File(QStringLiteral("l/out/x.txt")).IsNull());
        QCOMPARE(Rescan(), Counts(0, 0));
    }

    void fileRemovedDuringAScan()
    {
        Write(QStringLiteral("m/a.txt"), "a");
        Write(QStringLiteral("m/b.txt"), "b");
        Write(QStringLiteral("m/c.txt"), "c");
        {
            RemoveOnFirstFile l_remover(Path(QStringLiteral("m/b.txt")));
            Share(QStringLiteral("m"));
        }
        QVERIFY(!File(QStringLiteral("m/a.txt")).IsNull());
        QVERIFY(File(QStringLiteral("m/b.txt")).IsNull());
        QVERIFY(!File(QStringLiteral("m/c.txt")).IsNull());
    }

    void nestedSharedFolders()
    {
        Write(QStringLiteral("n/inner/a.txt"), "a");
        Share(QStringLiteral("n"));
        Share(QStringLiteral("n/inner"));
        QCOMPARE(Rescan(), Counts(0, 0));
        QCOMPARE(FoldersOf(QStringLiteral("n")),
                 QStringList({QStringLiteral("n"), QStringLiteral("n/inner")}));
        QCOMPARE(FoldersOf(QStringLiteral("n/inner")), QStringList({QStringLiteral("n/inner")}));
    }

    void findsFilesWhateverTheCase_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<bool>("backslashes");
        QTest::addColumn<QString>("found");
        QTest::newRow("exact") << "p/Music/Song.mp3" << false << "Song.mp3";
        QTest::newRow("exact twin") << "p/Music/song.MP3" << false << "song.MP3";
        QTest::newRow("case and doubled separators")
            << "p/music//OTHER.TXT" << false << "Other.txt";
        QTest::newRow("other separator") << "p/Music/Other.txt" << true << "";
        QTest::newRow("parent step") << "p/Music/../Music/Other.txt" << false << "";
        QTest::newRow("not indexed") << "p/Music/none.txt" << false << "";
        QTest::newRow("unshared folder") << "q/Other.txt" << false << "";
    }

    void findsFilesWhateverTheCase()
    {
        QFETCH(QString, request);
        QFETCH(bool, backslashes);
        if (!d.GetType("shared_folder")->HasItem(Bytes(QStringLiteral("p"))))
        {
            Write(QStringLiteral("p/Music/Song.mp3"), "1");
            Write(QStringLiteral("p/Music/song.MP3"), "22");
            Write(QStringLiteral("p/Music/Other.txt"), "333");
            Write(QStringLiteral("q/Other.txt"), "4");
            Share(QStringLiteral("p"));
        }
        QString l_request = Path(request);
        if (backslashes)
            l_request.replace(QLatin1Char('/'), QLatin1Char('\\'));
        ItemPtr l_file = Manager().GetSharedFileItem(l_request.toStdString());
        QTEST(QString::fromStdString(l_file["shared_file_name"].AsString()), "found");
    }

    // A result goes to the file of that exact path; one for a file that left the index is
    // dropped.
    void storesScanResults()
    {
        const QString l_twin = Path(QStringLiteral("p/Music/song.MP3"));
        Manager().OnMP3Scanned(QString::fromLatin1(l_twin.toUtf8()), 2, QStringLiteral("mono"), 1,
                               true, 99);
        QCOMPARE(File(QStringLiteral("p/Music/song.MP3"))["bitrate"].AsString(), std::string("99"));
        QVERIFY(!File(QStringLiteral("p/Music/Song.mp3")).IsConnected("bitrate"));

        const std::size_t l_bitrates = d.GetType("bitrate")->ItemCount();
        Manager().OnMP3Scanned(QString::fromLatin1(Path(QStringLiteral("p/gone.mp3")).toUtf8()), 1,
                               QStringLiteral("mono"), 0, false, 12345);
        QCOMPARE(d.GetType("bitrate")->ItemCount(), l_bitrates);
    }

    // Who sees which shared folder: public, user-list, group A, no access, and public plus group
    // B folders, each holding one file.
    void accessRules_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("visible");
        QTest::newRow("no user item") << "nobody"
                                      << "pub pubgb";
        QTest::newRow("not on the list") << "stranger"
                                         << "pub pubgb";
        QTest::newRow("on the list") << "friend"
                                     << "list pub pubgb";
        QTest::newRow("in group A") << "memberA"
                                    << "ga list pub pubgb";
        QTest::newRow("in group B") << "memberB"
                                    << "list pub pubgb";
        QTest::newRow("unshared member") << "banned"
                                         << "";
        QTest::newRow("unshared stranger") << "bannedStranger"
                                           << "";
    }

    void accessRules()
    {
        QFETCH(QString, user);
        QFETCH(QString, visible);
        const QStringList l_kinds =
            QStringLiteral("pub list ga none pubgb").split(QLatin1Char(' '));
        Type* lp_shared = d.GetType("shared_folder");
        if (!lp_shared->HasItem(Bytes(QStringLiteral("acc/pub"))))
        {
            for (const QString& l_kind : l_kinds)
                Write(QStringLiteral("acc/") + l_kind + QStringLiteral("/f.txt"), "f");
            ItemPtr l_groupA = d.GetType("user_list_group")->GetItem("A");
            ItemPtr l_groupB = d.GetType("user_list_group")->GetItem("B");
            ItemPtr l_public = d.GetType("shared_public")->GetGlobalNullItem();
            const auto l_folder = [&](const char* ip_kind) {
                return ItemPtr(
                    lp_shared->GetItem(Bytes(QStringLiteral("acc/") + QLatin1String(ip_kind))));
            };
            l_folder("pub") += l_public;
            l_folder("list") += d.GetType("shared_userlist")->GetGlobalNullItem();
            l_folder("ga") += l_groupA;
            l_folder("none");
            l_folder("pubgb") += l_public;
            l_folder("pubgb") += l_groupB;

            Type* lp_user = d.GetType("user");
            lp_user->GetItem("stranger");
            ItemPtr(lp_user->GetItem("friend")).NewItem("in_user_list");
            ItemPtr(lp_user->GetItem("memberA")).NewItem("in_user_list") += l_groupA;
            ItemPtr(lp_user->GetItem("memberB")).NewItem("in_user_list") += l_groupB;
            ItemPtr l_banned = lp_user->GetItem("banned");
            l_banned.NewItem("in_user_list") += l_groupA;
            l_banned.NewItem("unshared");
            ItemPtr(lp_user->GetItem("bannedStranger")).NewItem("unshared");
        }

        const std::string l_user = user.toStdString();
        QStringList l_seen;
        for (const QString& l_folder : Values(Manager().GetUserSharedFolders(l_user)))
            if (l_folder.startsWith(Path(QStringLiteral("acc/"))))
                l_seen << QFileInfo(l_folder).fileName();
        l_seen.sort();
        QCOMPARE(l_seen.join(QLatin1Char(' ')), visible);
        // The file rule agrees with the folder rule.
        for (const QString& l_kind : l_kinds)
            QCOMPARE(Manager().IsFileSharedWithUser(
                         File(QStringLiteral("acc/") + l_kind + QStringLiteral("/f.txt")), l_user),
                     l_seen.contains(l_kind));
        QVERIFY(d.GetType("user")->HasItem("nobody").IsNull());
    }

    void folderContentsRecord()
    {
        SharedFolderInfo l_folder;
        MemStream l_empty;
        l_empty.Write(l_folder);
        QCOMPARE(Unread(l_empty), QByteArray(8, '\0'));

        // Records by name; a presence byte of 0 repeats the record before it; any end marker.
        MemStream l_stream;
        l_stream.Write(quint32(3));
        FileInfo l_file;
        l_file.m_name = "b";
        l_stream.Write(l_file);
        l_stream.Write(quint8(0));
        l_file.m_name = "a";
        l_stream.Write(l_file);
        l_stream.Write(quint32(7));
        QVERIFY(l_folder.Read(l_stream));
        QCOMPARE(l_folder.m_files.size(), std::size_t(2));
        QCOMPARE(l_folder.m_files.begin()->m_name, std::string("a"));
        MemStream l_written;
        l_written.Write(l_folder);
        QCOMPARE(Unread(l_written).size(), 4 + 2 * 22 + 4);
        QCOMPARE(Unread(l_written).right(4), QByteArray(4, '\0'));

        MemStream l_noMarker;
        l_noMarker.Write(quint32(0));
        QVERIFY(!l_folder.Read(l_noMarker));
    }

    void recordsOfOwnFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("bitrate");
        QTest::addColumn<QByteArray>("attributes");
        QTest::newRow("vbr mp3") << "a.mp3"
                                 << "vbr" << 192
                                 << QByteArray::fromHex("030000006d70330200000000000000c0000000"
                                                        "0200000001000000");
        QTest::newRow("cbr mp3") << "b.mp3"
                                 << "cbr" << 128
                                 << QByteArray::fromHex("030000006d703302000000000000008000000002"
                                                        "00000000000000");
        QTest::newRow("unscanned MP3") << "C.MP3"
                                       << "" << 0 << QByteArray::fromHex("030000006d703300000000");
        QTest::newRow("other file") << "d.txt"
                                    << "vbr" << 128 << QByteArray::fromHex("0000000000000000");
    }

    void recordsOfOwnFiles()
    {
        QFETCH(QString, name);
        QFETCH(QString, mode);
        QFETCH(int, bitrate);
        ItemPtr l_file = d.GetType("shared_file_folder")->GetItem("/x/y");
        l_file = l_file.NewItem("shared_file");
        l_file += d.GetType("shared_file_name")->GetItem(name.toStdString());
        l_file += d.GetType("shared_file_size")->GetItem("5000000000");
        if (!mode.isEmpty())
        {
            l_file += d.GetType("bitrate_mode")->GetItem(mode.toStdString());
            l_file += d.GetType("bitrate")->GetItem(bitrate);
        }
        const FileInfo l_full = FileInfo::FromSharedFile(l_file, true);
        QCOMPARE(QString::fromStdString(l_full.m_name), QStringLiteral("\\x\\y\\") + name);
        QCOMPARE(l_full.m_size, qint64(5000000000));
        MemStream l_attributes;
        l_attributes.Write(l_full.m_attributes);
        QTEST(Unread(l_attributes), "attributes");
        QCOMPARE(QString::fromStdString(FileInfo::FromSharedFile(l_file, false).m_name), name);
        l_file.Remove();
    }

    void compressedMessage()
    {
        MemStream l_body;
        l_body.Write(std::string(1000, 'z'));
        MemStream l_message = CompressedMessage(37, l_body);
        quint32 l_code = 0;
        QVERIFY(l_message.Read(l_code));
        QCOMPARE(l_code, quint32(37));
        const QByteArray l_packed = Unread(l_message);
        QCOMPARE(l_packed.left(2).toHex(), QByteArray("78da"));
        QByteArray l_unpacked(2000, '\0');
        uLongf l_size = uLongf(l_unpacked.size());
        QCOMPARE(uncompress(reinterpret_cast<Bytef*>(l_unpacked.data()), &l_size,
                            reinterpret_cast<const Bytef*>(l_packed.constData()),
                            uLong(l_packed.size())),
                 Z_OK);
        QCOMPARE(l_unpacked.left(qsizetype(l_size)), Unread(l_body));
    }

    // Only the own user's statistics set upload_speed, as signed decimal text.
    void ownStatisticsGiveTheUploadSpeed()
    {
        UserStats l_stats;
        l_stats.m_averageSpeed = 4000000000U;
        Manager().OnReceivedUserStats("alice", l_stats);
        QVERIFY(TestSettings::Setting("upload_speed").IsNull());
        TestSettings::SetSetting("username", "alice");
        Manager().OnReceivedUserStats("Alice", l_stats);
        QVERIFY(TestSettings::Setting("upload_speed").IsNull());
        Manager().OnReceivedUserStats("alice", l_stats);
        QCOMPARE(TestSettings::Setting("upload_speed").AsString(), std::string("-294967296"));
    }

    // Shut-down with requests still queued: the worker stops without reading them all.
    void destructionStopsTheScanner()
    {
        const QString l_path = QString::fromLatin1(Path(QStringLiteral("r/b.mp3")).toUtf8());
        for (int l_request = 0; l_request < 1000; ++l_request)
            emit Manager().MP3ScanRequired(l_path);
        mp_fixture->DestroyManager();
        QCOMPARE(sharedFoldersManager, nullptr);
    }
};

QTEST_GUILESS_MAIN(TestSharedFolders)
#include "tst_sharedfolders.moc"
