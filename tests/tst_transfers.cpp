// Downloads through real sockets on 127.0.0.1: the client downloads, test peers own the files.
#include "Data.h"
#include "DataSaver.h"
#include "EventHandler.h"
#include "FileConnectionSender.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "Server.h"
#include "SharedFoldersManager.h"
#include "SharingFixture.h"
#include "TestPeerMessages.h"
#include "TestSettings.h"
#include "TransferFigures.h"
#include "TransferHarness.h"
#include "TransferPaths.h"
#include "TransferPeer.h"
#include "TransferQueueManager.h"
#include "TransferThread.h"
#include "WireReader.h"
#include "WireWriter.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTest>

#include <csignal>
#include <memory>

#include <sys/resource.h>

using namespace Qt::StringLiterals;

namespace
{
using Ending = FileConnectionSender::Ending;
constexpr int timeoutMs = TransferHarness::timeoutMs;

QByteArray Pattern(qint64 i_size)
{
    QByteArray l_bytes(i_size, Qt::Uninitialized);
    for (qint64 l_index = 0; l_index < i_size; ++l_index)
        l_bytes[l_index] = char((l_index * 31 + 7) % 251);
    return l_bytes;
}

QByteArray ReadFile(const QString& i_path)
{
    QFile l_file(i_path);
    return l_file.open(QIODevice::ReadOnly) ? l_file.readAll() : QByteArray("<missing>");
}

// Asks the transfer service for a download's targets while the download's removal is under way,
// as a holder of the entry that has not heard of the removal yet would.
class RemovalWitness : public DataHandler
{
public:
    explicit RemovalWitness(TransferQueueManager& i_manager) : m_manager(i_manager)
    {
        d.GetType("download_entry")
            ->m_itemRemovedEvent.AddHandler(
                new EventHandler<RemovalWitness, Item*>(this, &RemovalWitness::OnRemoved));
    }
    QStringList m_targets;

private:
    void OnRemoved(Item* ip_download)
    {
        m_targets << m_manager.GetDownloadTargetFolder(ip_download, true)
                  << m_manager.GetDownloadTargetPath(ip_download, false);
    }
    TransferQueueManager& m_manager;
};

// Lowers the file-size limit of the process for its lifetime; a write past it fails instead of
// ending the process.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t i_bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        mp_savedHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit l_limit = m_saved;
        l_limit.rlim_cur = i_bytes;
        setrlimit(RLIMIT_FSIZE, &l_limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, mp_savedHandler);
    }

private:
    rlimit m_saved{};
    void (*mp_savedHandler)(int);
};
} // namespace

class TransfersTest : public QObject
{
    Q_OBJECT

    TransferHarness m_t;
    quint32 m_nextToken = 100;

    TransferQueueManager& Manager() { return m_t.Manager(); }
    TransferPeer& Bob() { return m_t.Bob(); }
    static std::string Status(ItemPtr i_item) { return i_item["download_entry_status"].AsString(); }
    static bool WaitForStatus(ItemPtr i_download, const char* ip_status)
    {
        return QTest::qWaitFor([&] { return Status(i_download) == ip_status; }, timeoutMs);
    }
    // Bytes of the file that the client holds, as its thread last reported.
    static qint64 Written(ItemPtr i_download) { return TransferFigures::Position(i_download); }
    QString Path(const QByteArray& i_path) { return m_t.Path(u"D/"_s + QString::fromUtf8(i_path)); }

    // The owner offers its file; returns the client's reason to refuse it, empty if it accepts.
    QByteArray Offer(TransferPeer& i_owner, quint32 i_token, const QByteArray& i_path,
                     qint64 i_size)
    {
        i_owner.Offer(i_token, i_path, quint64(i_size));
        const auto l_fields = i_owner.Take(41);
        if (!l_fields)
            return "<no answer>";
        WireReader l_reader(*l_fields);
        return l_reader.ReadU32() != i_token ? "<another token>"
               : l_reader.ReadU8() != 0      ? QByteArray()
                                             : l_reader.ReadString();
    }

    quint32 OfferAccepted(TransferPeer& i_owner, const QByteArray& i_path, qint64 i_size)
    {
        if (!Offer(i_owner, m_nextToken, i_path, i_size).isEmpty())
            qWarning("the offer was not accepted");
        return m_nextToken++;
    }

    // The owner offers the download's file and sends all of it; true when the download ends
    // complete.
    bool Fetch(ItemPtr i_download, const QByteArray& i_path, const QByteArray& i_bytes)
    {
        auto lp_sender = Bob().SendFile(OfferAccepted(Bob(), i_path, i_bytes.size()), i_bytes);
        return WaitForStatus(i_download, "complete") && lp_sender->Finish();
    }

    // The paths of bob's queue requests up to the one for f\\z.mp3, which the tests ask last.
    QByteArrayList QueueRequests()
    {
        QByteArrayList l_paths;
        while (l_paths.isEmpty() || l_paths.back() != "f\\z.mp3")
        {
            const auto l_fields = Bob().Take(43);
            if (!l_fields)
                return l_paths << "<none>";
            l_paths << WireReader(*l_fields).ReadString();
        }
        return l_paths;
    }

    // bob's 5000-byte f\\a.mp3, offered, accepted and sent up to i_stopAt, then ended so.
    std::unique_ptr<FileConnectionSender> Start(ItemPtr& o_download, qint64 i_stopAt,
                                                Ending i_ending = Ending::Stall)
    {
        o_download = Manager().AddDownload("bob", "a.mp3", "f", 5000, 0);
        return Bob().SendFile(OfferAccepted(Bob(), "f\\a.mp3", 5000), Pattern(5000), i_ending,
                              i_stopAt);
    }

private slots:
    void initTestCase() { QVERIFY(m_t.IsValid()); }

    void init()
    {
        TestSettings::SetSetting("download_folder", Path({}));
        m_t.Reset(true);
    }

    void cleanup()
    {
        for (Item* lp_download : d.GetType("download_entry")->GetItems())
            Manager().RemoveDownload(lp_download);
        d.GetType("complete_download")->GetItems().Remove();
        sharedFoldersManager->RemoveUserShare("bob");
        QDir(Path({})).removeRecursively();
    }

    // From the offer to the finished file: a partial file resumes, names from the owner
    // (folder\name) never leave the download folder, a taken name in the complete folder gets a
    // numbered one, and a move that cannot be made keeps the partial file as a local error.
    void download_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("partial");
        // Where the file ends, then files already there.
        QTest::addColumn<QByteArray>("files");
        QTest::newRow("fresh") << "music\\album\\a.mp3"_ba << 0 << "complete/album/a.mp3"_ba;
        QTest::newRow("resume") << "music\\album\\a.mp3"_ba << 1000 << "complete/album/a.mp3"_ba;
        QTest::newRow("whole partial") << "music\\a.mp3"_ba << 5000 << "complete/music/a.mp3"_ba;
        QTest::newRow("dot dot") << "..\\..\\x"_ba << 0 << "complete/__/x"_ba;
        QTest::newRow("slashes") << "a/..\\b"_ba << 0 << "complete/__/b"_ba;
        QTest::newRow("empty") << "\\"_ba << 0 << "complete/_"_ba;
        QTest::newRow("control") << "d\x01r\\f\x1f"_ba << 0 << "complete/d_r/f_"_ba;
        QTest::newRow("taken") << "f\\a.mp3"_ba << 0 << "complete/f/a (1).mp3|complete/f/a.mp3"_ba;
        QTest::newRow("taken twice")
            << "f\\a.mp3"_ba << 0
            << "complete/f/a (2).mp3|complete/f/a (1).mp3|complete/f/a.mp3"_ba;
        QTest::newRow("no folder") << "f\\a.mp3"_ba << 0 << "downloading/f/a.mp3|complete"_ba;
    }

    void download()
    {
        QFETCH(QByteArray, path);
        QFETCH(int, partial);
        QFETCH(QByteArray, files);
        const QList<QByteArray> l_files = files.split('|');
        const QByteArray l_bytes = Pattern(5000);
        const bool l_moves = l_files[0].startsWith("complete/");
        const QString l_partial =
            Path("downloading/" + l_files[0].mid(l_files[0].indexOf('/') + 1));
        QVERIFY(partial == 0 || SharingFixture::WriteFile(l_partial, l_bytes.left(partial)));
        const qsizetype l_split = path.lastIndexOf('\\');
        ItemPtr l_download = Manager().AddDownload("bob", path.mid(l_split + 1).toStdString(),
                                                   path.left(l_split).toStdString(), 5000, 0);
        // Written after queuing: a file there before would mark the download complete.
        for (const QByteArray& l_file : l_files.mid(1))
            QVERIFY(SharingFixture::WriteFile(Path(l_file), "old"));
        auto lp_sender = Bob().SendFile(OfferAccepted(Bob(), path, 5000), l_bytes);
        QVERIFY(WaitForStatus(l_download, l_moves ? "complete" : "local error"));
        QVERIFY(lp_sender->Finish());
        QCOMPARE(lp_sender->ReceivedOffset(), qint64(partial));
        QCOMPARE(ReadFile(Path(l_files[0])), l_bytes);
        QVERIFY(!l_moves || !QFile::exists(l_partial));
        QVERIFY(!l_download["download_thread"] && !l_download["write_position"]);
        QStringList l_records;
        for (Item* lp_record : d.GetType("complete_download")->GetItems())
            l_records << QString::fromStdString(
                ItemPtr(lp_record)["complete_download_filename"].AsString());
        QCOMPARE(l_records,
                 l_moves ? QStringList{QFileInfo(Path(l_files[0])).fileName()} : QStringList());
    }

    // A name longer than a file system takes is shortened where it is placed: it keeps its
    // extension and whole characters, and names that start alike stay apart.
    void longNames_data()
    {
        QTest::addColumn<QByteArrayList>("names");
        const QByteArray l_long(296, 'n');
        QTest::newRow("300 bytes") << QByteArrayList{l_long + ".mp3"};
        QTest::newRow("two-byte characters")
            << QByteArrayList{QString(148, QChar(0xe9)).toUtf8() + ".mp3"};
        QTest::newRow("alike at the start")
            << QByteArrayList{l_long + ".mp3", l_long.left(295) + "m.mp3"};
    }

    void longNames()
    {
        QFETCH(QByteArrayList, names);
        const QByteArray l_bytes = Pattern(5000);
        for (const QByteArray& l_name : names)
        {
            ItemPtr l_download = Manager().AddDownload("bob", l_name.toStdString(), "f", 5000, 0);
            QCOMPARE(Status(l_download), "queued");
            QVERIFY(Fetch(l_download, "f\\" + l_name, l_bytes));
        }
        const QFileInfoList l_files = QDir(Path("complete/f")).entryInfoList(QDir::Files);
        QCOMPARE(l_files.size(), names.size());
        for (const QFileInfo& l_file : l_files)
        {
            QVERIFY(l_file.fileName().toUtf8().size() <= 255);
            QVERIFY(l_file.fileName().endsWith(u".mp3"_s));
            QVERIFY(!l_file.fileName().contains(QChar::ReplacementCharacter));
            QCOMPARE(ReadFile(l_file.filePath()), l_bytes);
        }
    }

    // Where a finished file lands: a save level keeps at most the owner's whole folder, once; the
    // download folder's own path counts as it stands, backslash and all; the emptied partial
    // folders go and the "downloading" folder itself stays.
    void placement_data()
    {
        // The download folder below the test's folder, empty for the test's folder itself.
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QByteArray>("remote");
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("relative");
        QTest::newRow("within the folder") << QString() << "music\\a\\b"_ba << 1 << u"a/b"_s;
        QTest::newRow("past the folder") << QString() << "C:\\x"_ba << 100000 << u"C:/x"_s;
        QTest::newRow("past a one-level folder") << QString() << "music"_ba << 3 << u"music"_s;
        QTest::newRow("no folder") << QString() << QByteArray() << 2 << QString();
        QTest::newRow("backslash in the download folder") << u"E\\F"_s << "f"_ba << 0 << u"f"_s;
    }

    void placement()
    {
        QFETCH(QString, folder);
        QFETCH(QByteArray, remote);
        QFETCH(int, level);
        QFETCH(QString, relative);
        const QString l_downloads = Path(folder.toUtf8());
        TestSettings::SetSetting("download_folder", l_downloads);
        ItemPtr l_download =
            Manager().AddDownload("bob", "a.mp3", remote.toStdString(), 5000, level);
        QVERIFY(Fetch(l_download, remote + "\\a.mp3", Pattern(5000)));
        const QString l_subfolder = relative.isEmpty() ? QString() : relative + u'/';
        QCOMPARE(ReadFile(l_downloads + u"/complete/"_s + l_subfolder + u"a.mp3"_s), Pattern(5000));
        const QDir l_partials(l_downloads + u"/downloading"_s);
        QVERIFY(l_partials.exists() && l_partials.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot));
        const QStringList l_top =
            folder.isEmpty() ? QStringList{u"complete"_s, u"downloading"_s} : QStringList{folder};
        QCOMPARE(QDir(Path({})).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), l_top);
        ItemPtr l_record = d.GetType("complete_download")->GetItems().front();
        QCOMPARE(QString::fromStdString(l_record["complete_download_relative_folder"].AsString()),
                 relative.replace(u'/', u'\\'));
    }

    // Numbered names: the number goes before the extension, a leading dot starts no extension,
    // and a name at the length limit is cut before its number.
    void numberedNames()
    {
        const struct
        {
            QString name;
            int number;
            QString numbered;
        } l_rows[] = {
            {u"x.cfg"_s, 1, u"x (1).cfg"_s},
            {u"x"_s, 1, u"x (1)"_s},
            {u".cfg"_s, 1, u".cfg (1)"_s},
            {u"a.b.c"_s, 2, u"a.b (2).c"_s},
            {QString(251, u'n') + u".mp3"_s, 10000, QString(243, u'n') + u" (10000).mp3"_s}};
        for (const auto& l_row : l_rows)
            QCOMPARE(NumberedFileName(l_row.name, l_row.number), l_row.numbered);
    }

    // A path component from another user: separators and what a shown name marks (controls,
    // line separators, direction controls, a leading byte order mark) become "_", one for each
    // character, names that would mean a folder become underscores, anything else stays, joiners
    // that join among it.
    void safeComponents()
    {
        const struct
        {
            std::string component, safe;
        } l_rows[] = {{"a\\b", "a_b"},
                      {"a/b", "a_b"},
                      {"a\x7f", "a_"},
                      {".", "_"},
                      {"..", "__"},
                      {"", "_"},
                      {"...", "..."},
                      {"x.mp3", "x.mp3"},
                      {"invoice\u202Efdp.exe", "invoice_fdp.exe"},
                      {"\xEF\xBB\xBF"
                       "alice\uFFFC\U000F0000",
                       "_alice__"},
                      {"\u0645\u06CC\u200C\u062E\U0001F3F4\U000E0067\U000E0062\U000E0065"
                       "\U000E006E\U000E0067\U000E007F",
                       "\u0645\u06CC\u200C\u062E\U0001F3F4\U000E0067\U000E0062\U000E0065"
                       "\U000E006E\U000E0067\U000E007F"}};
        for (const auto& l_row : l_rows)
            QCOMPARE(SafePathComponent(l_row.component), l_row.safe);
        // Line breaks of two and three bytes too.
        QCOMPARE(SafePathComponent("a\nb\rc\vd\fe\xc2\x85"
                                   "f\xe2\x80\xa8"
                                   "g\xe2\x80\xa9"
                                   "h"),
                 std::string("a_b_c_d_e_f_g_h"));
        // Bytes that are not UTF-8 triple in length on disk: the cut counts them as written.
        const std::string l_latin1 = SafePathComponent(std::string(200, '\xe9') + ".mp3");
        QVERIFY(l_latin1.size() <= maxNameBytes);
        QVERIFY(l_latin1.ends_with(".mp3"));
        QCOMPARE(QString::fromStdString(l_latin1).toStdString(), l_latin1);
    }

    // While bob's download writes a.mp3, carol's takes the next free numbered name: a stray
    // numbered file that no download knows is never appended to, and with every numbered name
    // taken the download is a local error that writes nothing.
    void numberedPartialNames_data()
    {
        QTest::addColumn<int>("strays");
        QTest::newRow("stray numbered name") << 1;
        QTest::newRow("every numbered name taken") << 10000;
    }

    void numberedPartialNames()
    {
        QFETCH(int, strays);
        const bool l_free = strays < 10000;
        ItemPtr l_first;
        auto lp_stalled = Start(l_first, 1000);
        QVERIFY(WaitForStatus(l_first, "downloading"));
        const auto l_stray = [this](int i_number)
        { return Path("downloading/f/a (" + QByteArray::number(i_number) + ").mp3"); };
        for (int l_number = 1; l_number <= strays; ++l_number)
            QVERIFY(SharingFixture::WriteFile(l_stray(l_number), "stray"));
        ItemPtr l_second = Manager().AddDownload("carol", "a.mp3", "f", 5000, 0);
        auto lp_sender =
            m_t.Carol().SendFile(OfferAccepted(m_t.Carol(), "f\\a.mp3", 5000), Pattern(5000));
        QVERIFY(WaitForStatus(l_second, l_free ? "complete" : "local error"));
        QVERIFY(lp_sender->Finish());
        QCOMPARE(lp_sender->ReceivedOffset(), l_free ? qint64(0) : qint64(-1));
        QCOMPARE(ReadFile(l_stray(strays)), "stray"_ba);
        QCOMPARE(QDir(Path("downloading/f")).entryList(QDir::Files).size(), strays + 1);
        QCOMPARE(QFile::exists(Path("complete/f/a.mp3")), l_free);
        Manager().RemoveDownload(l_first);
        QVERIFY(lp_stalled->Finish());
    }

    // A write or flush that fails at the end (here past the file-size limit) never ends in
    // "complete": the download is aborted and nothing reaches the complete folder.
    void failedWrite_data()
    {
        QTest::addColumn<int>("limit");
        QTest::newRow("limit within the file") << 3000;
        QTest::newRow("limit at the last byte") << 4999;
    }

    void failedWrite()
    {
        QFETCH(int, limit);
        ItemPtr l_download = Manager().AddDownload("bob", "a.mp3", "f", 5000, 0);
        {
            const FileSizeLimit l_limit{rlim_t(limit)};
            auto lp_sender = Bob().SendFile(OfferAccepted(Bob(), "f\\a.mp3", 5000), Pattern(5000));
            QVERIFY2(WaitForStatus(l_download, "aborted"), Status(l_download).c_str());
            QVERIFY(lp_sender->Finish());
        }
        QVERIFY(!QDir(Path("complete")).exists());
        QVERIFY(d.GetType("complete_download")->GetItems().empty());
    }

    // With no download folder set, an offered download is a local error and nothing is written
    // anywhere, neither below the working folder nor below the root.
    void emptyDownloadFolder()
    {
        TestSettings::SetSetting("download_folder", QString());
        const auto l_made = []
        {
            QList<bool> l_exists;
            for (const QString& l_folder : {u"/downloading"_s, u"/complete"_s})
                l_exists << QFileInfo::exists(l_folder) << QFileInfo::exists(l_folder.mid(1));
            return l_exists;
        };
        const QList<bool> l_before = l_made();
        ItemPtr l_download = Manager().AddDownload("bob", "a.mp3", "f", 5000, 0);
        auto lp_sender = Bob().SendFile(OfferAccepted(Bob(), "f\\a.mp3", 5000), Pattern(5000));
        QVERIFY(WaitForStatus(l_download, "local error"));
        QVERIFY(lp_sender->Finish());
        QCOMPARE(lp_sender->ReceivedOffset(), qint64(-1));
        QCOMPARE(l_made(), l_before);
    }

    // Names in other users' lists and search results are kept as they came (up to a NUL byte),
    // and a download started from one ends in the complete folder. A folder's contents sent
    // unasked are let pass.
    void namesFromListsAndResults_data()
    {
        QTest::addColumn<bool>("fromList");
        QTest::addColumn<QByteArray>("folder");
        // A listed name that holds a separator names no file that an offer can name.
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QByteArray>("name");
        const QByteArray l_nul = "x\0..\\..\\y"_ba;
        for (bool l_list : {true, false})
        {
            const char* lp_source = l_list ? "list: " : "result: ";
            QTest::addRow("%sdot dots", lp_source) << l_list << "..\\..\\.."_ba << true << ".."_ba;
            QTest::addRow("%sslashes", lp_source)
                << l_list << "/etc/../a\\..\\.."_ba << !l_list << "../../b"_ba;
            QTest::addRow("%sroots", lp_source)
                << l_list << "\\\\host\\..\\C:"_ba << !l_list << "/c"_ba;
            QTest::addRow("%scontrol characters", lp_source)
                << l_list << "\x01\\\x1f..\\\x7f"_ba << true << "d\x02\n"_ba;
            QTest::addRow("%sNUL", lp_source) << l_list << l_nul << true << l_nul;
        }
    }

    void namesFromListsAndResults()
    {
        QFETCH(bool, fromList);
        QFETCH(QByteArray, folder);
        QFETCH(QByteArray, name);
        QFETCH(bool, accepted);
        const QByteArray l_bytes = Pattern(2000);
        const TestPeerMessages::File l_file{fromList ? name : folder + '\\' + name, 2000, {}, {}};
        ItemPtr l_stored;
        std::string l_folder;
        std::string l_name;
        if (fromList)
        {
            // A folder's contents: the token and the folder, then what a list of it would hold.
            const QByteArray l_list = TestPeerMessages::ShareListContent({{folder, {l_file}}});
            Bob().Send(TestPeerMessages::CompressedMessage(
                37, WireWriter().WriteU32(7).WriteString(folder).Bytes() + l_list));
            m_t.Peers().Messenger().GetUserSharedFiles("bob");
            Bob().Send(TestPeerMessages::SharedFileList(l_list));
            QTRY_VERIFY_WITH_TIMEOUT(
                l_stored = ItemPtr(d.GetType("user")->GetItem(
                    "bob"))["user_share"]["user_share_folder"]["user_share_file"],
                timeoutMs);
            l_folder = l_stored["user_share_folder"]["user_share_folder_name"].AsString();
            l_name = l_stored["user_share_file_name"].AsString();
            QCOMPARE(l_folder + '|' + l_name,
                     std::string(folder.constData()) + '|' + name.constData());
        }
        else
        {
            const quint32 l_token = m_t.Peers().Client().FileSearch("query", false);
            Bob().Send(TestPeerMessages::FileSearchResult(
                TestPeerMessages::SearchReplyContent("bob", l_token, {l_file}, 1, 0, 0)));
            QTRY_VERIFY_WITH_TIMEOUT(
                l_stored =
                    ItemPtr(d.GetType("search_request")
                                ->HasItem(Value(l_token)))["search_results"]["search_result"],
                timeoutMs);
            l_folder = l_stored["search_result_file_folder"].AsString();
            l_name = l_stored["search_result_file_name"].AsString();
            const std::string l_path(l_file.name.constData());
            QVERIFY(l_path.starts_with(l_folder) && l_path.ends_with(l_name));
        }
        ItemPtr l_download = Manager().AddDownload("bob", l_name, l_folder, l_bytes.size(), 9);
        // The owner offers the path that the client asks for.
        const quint32 l_token = m_nextToken++;
        const QByteArray l_refusal = Offer(
            Bob(), l_token, QByteArray::fromStdString(l_folder + '\\' + l_name), l_bytes.size());
        QVERIFY(!l_refusal.startsWith('<'));
        QCOMPARE(l_refusal.isEmpty(), accepted);
        if (accepted)
        {
            auto lp_sender = Bob().SendFile(l_token, l_bytes);
            QVERIFY(WaitForStatus(l_download, "complete"));
            QVERIFY(lp_sender->Finish());
        }
        QStringList l_copies;
        for (QDirIterator l_files(m_t.Path({}), QDir::Files, QDirIterator::Subdirectories);
             l_files.hasNext();)
            if (ReadFile(l_files.next()) == l_bytes)
                l_copies << l_files.filePath();
        QCOMPARE(l_copies.size(), int(accepted));
        for (const QString& l_copy : l_copies)
            QVERIFY2(l_copy.startsWith(Path("complete/")), qPrintable(l_copy));
    }

    // An offer for no download is cancelled, one for a finished download is complete.
    void refusedOffers()
    {
        QCOMPARE(Offer(Bob(), 7, "f\\done.mp3", 1), "Cancelled"_ba);
        QVERIFY(SharingFixture::WriteFile(Path("complete/f/done.mp3"), "x"));
        QCOMPARE(Status(Manager().AddDownload("bob", "done.mp3", "f", 1, 0)), "complete");
        QCOMPARE(Offer(Bob(), 7, "f\\done.mp3", 1), "Complete"_ba);
    }

    // A file connection naming no download is closed before its offset, and nothing is written.
    void unknownTokenIsClosed()
    {
        Manager().AddDownload("bob", "a.mp3", "f", 10, 0);
        auto lp_sender = Bob().SendFile(4242, Pattern(10));
        QVERIFY(lp_sender->Finish());
        QCOMPARE(lp_sender->ReceivedOffset(), qint64(-1));
        QVERIFY(!QDir(Path("downloading")).exists());
    }

    // An owner that stops sending, or closes early, aborts the download and keeps what arrived.
    void interrupted_data()
    {
        QTest::addColumn<int>("ending");
        QTest::newRow("stall") << int(Ending::Stall);
        QTest::newRow("close") << int(Ending::Close);
    }

    void interrupted()
    {
        QFETCH(int, ending);
        TransferThread::SetWaitMilliseconds(300);
        ItemPtr l_download;
        auto lp_sender = Start(l_download, 1000, Ending(ending));
        QVERIFY(WaitForStatus(l_download, "aborted"));
        QVERIFY(lp_sender->Finish());
        QCOMPARE(ReadFile(Path("downloading/f/a.mp3")), Pattern(1000));
        QVERIFY(!l_download["download_socket"] && !l_download["download_file"]);
    }

    // Two writers on one file would corrupt it: a second connection for a running download is
    // closed, and another user's download to the same path keeps a partial file of its own.
    void oneWriterPerFile_data()
    {
        QTest::addColumn<bool>("otherUser");
        QTest::newRow("same download") << false;
        QTest::newRow("same target, other user") << true;
    }

    void oneWriterPerFile()
    {
        QFETCH(bool, otherUser);
        ItemPtr l_first;
        quint32 l_token = m_nextToken; // the one that Start's offer takes
        auto lp_stalled = Start(l_first, 1000);
        QVERIFY(WaitForStatus(l_first, "downloading"));
        QTRY_COMPARE_WITH_TIMEOUT(lp_stalled->BytesSent(), qint64(1000), timeoutMs);
        ItemPtr l_second = l_first;
        TransferPeer& l_owner = otherUser ? m_t.Carol() : Bob();
        if (otherUser)
        {
            l_second = Manager().AddDownload("carol", "a.mp3", "f", 5000, 0);
            l_token = OfferAccepted(l_owner, "f\\a.mp3", 5000);
        }
        auto lp_late = l_owner.SendFile(l_token, Pattern(5000));
        QVERIFY(lp_late->Finish());
        QCOMPARE(lp_late->ReceivedOffset(), otherUser ? qint64(0) : qint64(-1));
        QVERIFY(WaitForStatus(l_second, otherUser ? "complete" : "downloading"));
        Manager().RemoveDownload(l_first);
        QVERIFY(lp_stalled->Finish());
        QCOMPARE(ReadFile(Path("downloading/f/a.mp3")), Pattern(1000));
    }

    // A new offer for a running download stops its thread at once, not after its socket's wait;
    // the ended thread's late signals never reach the transfer that follows.
    void newOfferStopsRunningDownload()
    {
        ItemPtr l_download;
        auto lp_stalled = Start(l_download, 100);
        QTRY_COMPARE_WITH_TIMEOUT(Written(l_download), qint64(100), timeoutMs);
        const quint64 l_oldSerial = l_download["download_thread"].AsPtr<TransferThread>()->Serial();
        const quint32 l_token = OfferAccepted(Bob(), "f\\a.mp3", 5000);
        QCOMPARE(Status(l_download), "aborted");
        QVERIFY(lp_stalled->Finish());
        QVERIFY(lp_stalled->PeerClosed());
        auto lp_sender = Bob().SendFile(l_token, Pattern(5000), Ending::Stall, 1000);
        QTRY_COMPARE_WITH_TIMEOUT(Written(l_download), qint64(1000), timeoutMs);
        QCOMPARE(lp_sender->ReceivedOffset(), qint64(100));
        Manager().OnDownloadProgress(l_oldSerial, 4999, 1);
        Manager().OnDownloadComplete(l_oldSerial);
        Manager().OnDownloadError(l_oldSerial);
        QCOMPARE(Written(l_download), qint64(1000));
        QVERIFY(TransferFigures::LastReceiptTime(l_download).isValid());
        QVERIFY(TransferFigures::BytesPerSecond(l_download) >= 0);
        QCOMPARE(Status(l_download), "downloading");
        Manager().RemoveDownload(l_download);
        QVERIFY(lp_sender->Finish());
    }

    // The check every download path passes before anything is written.
    void pathBelowFolder()
    {
        const struct
        {
            QString path, folder;
            bool below;
        } l_rows[] = {{u"/d/a/b"_s, u"/d/"_s, true}, {u"/d"_s, u"/d"_s, false},
                      {u"/dd/a"_s, u"/d"_s, false},  {u"/d/../e/a"_s, u"/d"_s, false},
                      {u"/a"_s, u"/"_s, true},       {u"/"_s, u"/"_s, false},
                      {u"/a"_s, QString(), false}};
        for (const auto& l_row : l_rows)
            QVERIFY2(IsPathBelowFolder(l_row.path, l_row.folder) == l_row.below,
                     qPrintable(l_row.path + u" in "_s + l_row.folder));
    }

    // A download that is gone has no target: neither one whose removal is under way nor a null one
    // leads to the download folder itself. Removing a download or an upload takes only an entry
    // of its own kind.
    void goneDownloadHasNoTarget()
    {
        ItemPtr l_download = Manager().AddDownload("bob", "a.mp3", "f", 5000, 0);
        {
            RemovalWitness l_witness(Manager());
            Manager().RemoveDownload(l_download);
            QCOMPARE(l_witness.m_targets, (QStringList{QString(), QString()}));
        }
        QCOMPARE(Manager().GetDownloadTargetFolder(ItemPtr(), true), QString());
        l_download = Manager().AddDownload("bob", "a.mp3", "f", 5000, 0);
        ItemPtr l_upload = d.GetType("upload_entry")->NewItem();
        Manager().RemoveUpload(l_download);
        Manager().RemoveDownload(l_upload);
        QCOMPARE(d.GetType("download_entry")->ItemCount() + d.GetType("upload_entry")->ItemCount(),
                 std::size_t(2));
        Manager().RemoveUpload(l_upload);
    }

    // Owners' notices: a failure re-queues only what is still wanted; a denial keeps its reason.
    void ownerNotices_data()
    {
        // Named by the download's status.
        QTest::addColumn<bool>("requeued");
        QTest::newRow("aborted") << true;
        QTest::newRow("complete") << false;
        QTest::newRow("denied") << false;
        QTest::newRow("local error") << false;
    }

    void ownerNotices()
    {
        QFETCH(bool, requeued);
        ItemPtr l_download = Manager().AddDownload("bob", "a.mp3", "f", 1, 0);
        QVERIFY(Bob().Take(51));
        Manager().SetDownloadEntryStatus(l_download, QTest::currentDataTag());
        const int l_before = Bob().Count(43);
        m_t.Peers().Messenger().UploadFailed("bob", "f\\a.mp3");
        Bob().Send(TestPeerMessages::UploadPlaceInLine("f\\a.mp3", 3));
        QTRY_COMPARE_WITH_TIMEOUT(l_download["place_in_line"].AsString(), "3", timeoutMs);
        QCOMPARE(Bob().Count(43) - l_before, requeued ? 1 : 0);
        Bob().Send(TestPeerMessages::UploadDenied("f\\a.mp3", "File not shared."));
        QTRY_COMPARE_WITH_TIMEOUT(l_download["denial_reason"].AsString(), "File not shared.",
                                  timeoutMs);
        QCOMPARE(Status(l_download), "denied");
    }

    // Which downloads the owner is asked for again, by status: when the owner comes online, and
    // by the five-minute check while the owner stays online.
    void askedAgain_data()
    {
        QTest::addColumn<bool>("online");
        QTest::addColumn<bool>("periodic");
        QTest::newRow("queued") << true << true;
        QTest::newRow("aborted") << true << true;
        QTest::newRow("local error") << true << false;
        QTest::newRow("denied") << false << false;
        QTest::newRow("complete") << false << false;
    }

    void askedAgain()
    {
        QFETCH(bool, online);
        QFETCH(bool, periodic);
        Bob().SetOnline(false);
        ItemPtr l_download = Manager().AddDownload("bob", "a.mp3", "f", 1, 0);
        Manager().SetDownloadEntryStatus(l_download, QTest::currentDataTag());
        Manager().AddDownload("bob", "z.mp3", "f", 1, 0);
        const QByteArrayList l_both{"f\\a.mp3"_ba, "f\\z.mp3"_ba};
        Bob().SetOnline(true);
        QCOMPARE(QueueRequests(), online ? l_both : l_both.mid(1));
        Manager().PeriodicCheck();
        QCOMPARE(QueueRequests(), periodic ? l_both : l_both.mid(1));
        QCOMPARE(Status(l_download), QTest::currentDataTag());
    }

    // A running download is saved as its entry, queued after loading, and no pointer. Whatever
    // takes the unused status items (the collector, a store emptied by a data file that could not
    // be read), the active statuses come back flagged.
    void saveAndLoad()
    {
        ItemPtr(d.GetType("download_entry_status")->HasItem("downloading")).Remove();
        d.GetType("is_active")->GetItems().Remove();
        d.RemoveDisconnectedItems();
        ItemPtr l_download;
        auto lp_sender = Start(l_download, 100);
        QVERIFY(WaitForStatus(l_download, "downloading"));
        QVERIFY(l_download["download_entry_status"].IsConnected("is_active"));
        QVERIFY(Manager().IsActivelyDownloadingFromUser("bob"));
        const QString l_file = m_t.Path(u"data"_s);
        dataSaver->Save(l_file);
        Manager().RemoveDownload(l_download);
        QVERIFY(lp_sender->Finish());
        d.RemoveDisconnectedItems();
        dataSaver->Load(l_file);
        QCOMPARE(Status(Manager().GetDownloadEntry("bob", "a.mp3", "f")), "queued");
        for (const char* lp_type :
             {"download_socket", "download_file", "download_thread", "write_position",
              "last_receipt_time", "bytes_per_second", "remote_transfer_req"})
            QCOMPARE(d.GetType(lp_type)->ItemCount(), std::size_t(0));
    }
};

QTEST_GUILESS_MAIN(TransfersTest)
#include "tst_transfers.moc"
