#include "AllocationProbe.h"
#include "Data.h"
#include "DataFileLock.h"
#include "DataSaver.h"
#include "GeneralFunctions.h"
#include "LogSink.h"
#include "StoreRecorder.h"
#include "TestSettings.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// The folders flushed to the disk, by their paths: only a crash would show a save's rename made
// durable in another folder than its own. The system's fsync is wrapped for the whole program.
static QStringList g_flushedFolders;

extern "C" int fsync(int i_fd)
{
    static auto* const lp_system = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    struct stat l_status;
    if (::fstat(i_fd, &l_status) == 0 && S_ISDIR(l_status.st_mode))
        g_flushedFolders << QFileInfo(QStringLiteral("/proc/self/fd/%1").arg(i_fd)).symLinkTarget();
    return lp_system(i_fd);
}

namespace
{
class LogRecorder : public LogSink
{
public:
    void Log(const QString& i_category, int, const QString& i_message, ItemPtr) override
    {
        m_lines << i_category + QStringLiteral(": ") + i_message;
    }
    QStringList m_lines;
};

class LoadedCounter : public DataLoadedEventHandler
{
public:
    void DataLoaded() override { ++m_calls; }
    int m_calls = 0;
};

// Builds a data file by hand.
class FileBuilder
{
public:
    FileBuilder& Int(qint32 i_value)
    {
        char l_bytes[4];
        qToLittleEndian(i_value, l_bytes);
        m_bytes.append(l_bytes, 4);
        return *this;
    }
    FileBuilder& Flag(char i_value)
    {
        m_bytes.append(i_value);
        return *this;
    }
    FileBuilder& Str(QByteArray const& i_text)
    {
        Int(qint32(i_text.size()));
        m_bytes.append(i_text);
        return *this;
    }
    // A type record's head: name, null flag and item count.
    FileBuilder& Type(QByteArray const& i_name, bool i_isNull, qint32 i_count)
    {
        return Str(i_name).Flag(i_isNull ? 1 : 0).Int(i_count);
    }
    QByteArray m_bytes;
};

QString Label(Item* ip_item)
{
    QString l_label = QString::fromStdString(ip_item->GetType()->Name());
    if (!ip_item->GetType()->IsNull())
        l_label += QStringLiteral(":") + QString::fromStdString(ip_item->Value());
    return l_label;
}

// Every item and every connection of the store as sorted text.
QStringList Snapshot()
{
    QStringList l_lines;
    for (Type* lp_type : d.Types())
        for (Item* lp_item : lp_type->GetItems())
        {
            l_lines << Label(lp_item);
            for (Item::Connection const& l_group : lp_item->Connections())
                for (Item* lp_partner : l_group.m_items)
                    l_lines << Label(lp_item) + QStringLiteral(" > ") + Label(lp_partner);
        }
    l_lines.sort();
    return l_lines;
}

QByteArray ReadAll(QString const& i_path)
{
    QFile l_file(i_path);
    if (!l_file.open(QIODevice::ReadOnly))
        return QByteArray();
    return l_file.readAll();
}

void WriteAll(QString const& i_path, QByteArray const& i_bytes)
{
    QFile l_file(i_path);
    QVERIFY(l_file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(l_file.write(i_bytes), i_bytes.size());
}

// The text of the symbolic link at the path, empty when it is none.
QByteArray LinkText(QString const& i_path)
{
    char l_text[PATH_MAX];
    ssize_t const l_size = ::readlink(QFile::encodeName(i_path).constData(), l_text, sizeof l_text);
    return l_size < 0 ? QByteArray() : QByteArray(l_text, l_size);
}

QStringList Entries(QString const& i_folder)
{
    return QDir(i_folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System);
}

// The texts of a chain of i_links links from the data file to store/data: "store/hop1", "hop2"...
QByteArrayList Chain(int i_links)
{
    QByteArrayList l_texts;
    for (int l_hop = 1; l_hop < i_links; ++l_hop)
        l_texts << (l_hop == 1 ? "store/hop" : "hop") + QByteArray::number(l_hop);
    l_texts << (i_links == 1 ? "store/data" : "data");
    return l_texts;
}

mode_t Mode(QString const& i_path)
{
    struct stat l_status;
    if (::stat(QFile::encodeName(i_path).constData(), &l_status) != 0)
        return 0;
    return l_status.st_mode & 07777;
}

// The saver of the application's kind: settings, listed users, auto-joined rooms, downloads.
void RegisterSavedTypes(DataSaver& i_saver)
{
    i_saver.AddSavedType("global");
    i_saver.AddSavedByConnectionType("global_value", "global");
    i_saver.AddSavedType("in_user_list");
    i_saver.AddSavedByConnectionType("user", "in_user_list");
    i_saver.AddSavedByConnectionType("user", "download_entry");
    i_saver.AddSavedType("room_autojoin");
    i_saver.AddSavedByConnectionType("room", "room_autojoin");
    i_saver.AddSavedType("download_entry");
    i_saver.AddSavedByConnectionType("file_size", "download_entry");
}

std::string Numbered(char const* ip_prefix, int i_number)
{
    std::string l_text = ip_prefix;
    l_text += std::to_string(i_number);
    return l_text;
}

ItemPtr Named(char const* ip_type, char const* ip_value)
{
    return d.GetType(ip_type)->GetItem(Value(ip_value));
}
} // namespace

class TestDataFile : public QObject
{
    Q_OBJECT

private:
    QString Path() const { return m_folder->filePath(QStringLiteral("data")); }
    // Loads and reports whether DataLoadFailure came out.
    bool LoadFails(DataSaver& i_saver, QString const& i_path)
    {
        try
        {
            i_saver.Load(i_path);
        }
        catch (DataLoadFailure const&)
        {
            return true;
        }
        return false;
    }
    // Fills the store with saved and unsaved items of every kind.
    void FillStore()
    {
        TestSettings::SetSetting("username", "alice");
        TestSettings::SetSetting("listening_port", "2235");
        TestSettings::SetVolatileSetting("session", "volatile");
        for (char const* lp_name : {"bob", "carol"})
            Named("user", lp_name).NewItem("in_user_list");
        Named("user", "eve");
        ItemPtr l_lobby = Named("room", "lobby");
        l_lobby += d.GetType("room_autojoin")->GetGlobalItem();
        l_lobby += Named("user", "bob");
        Named("room", "quiet") += Named("user", "carol");
        Named("peer_socket", "140737488355328") += Named("user", "bob");
        for (auto const& [lp_user, lp_size] : {std::pair{"dave", "1000"}, {"bob", "2000"}})
        {
            ItemPtr l_download = d.GetType("download_entry")->NewItem();
            l_download += Named("user", lp_user);
            l_download += Named("file_size", lp_size);
        }
    }

    std::unique_ptr<QTemporaryDir> m_folder;
    LogRecorder m_log;

private slots:
    void initTestCase()
    {
        gp_logSink = &m_log;
        TestSettings::Declare();
        d.NewType("user", true, false, true);
        d.NewType("in_user_list", false, true, true)->RelateToType("user", One, Many, false);
        d.NewType("room", true, false, true)->RelateToType("user", Many, Many, false);
        d.NewType("room_autojoin", false, true, true)->RelateToType("room", One, Many, false);
        d.NewType("peer_socket", false, false, true)->RelateToType("user", Many, One, false);
        Type* lp_download = d.NewType("download_entry", true, true, false);
        lp_download->RelateToType("user", Many, One, false);
        d.NewType("file_size", false, false, true)
            ->RelateToType("download_entry", One, Many, false);
    }

    void init()
    {
        d.RemoveAllItems();
        m_log.m_lines.clear();
        m_folder = std::make_unique<QTemporaryDir>();
        QVERIFY(m_folder->isValid());
    }

    void cleanupTestCase() { gp_logSink = nullptr; }

    // Types in declaration order, items in creation order (not value order), each connection
    // once as (smaller id, larger id), sorted.
    void writesTheExactBytes()
    {
        DataSaver l_saver;
        l_saver.AddSavedType("room_autojoin");
        l_saver.AddSavedByConnectionType("room", "room_autojoin");
        l_saver.AddSavedType("global");
        l_saver.AddSavedByConnectionType("global_value", "global");

        l_saver.Save(Path());
        QCOMPARE(ReadAll(Path()).toHex(), QByteArray("04000000"
                                                     "06000000676c6f62616c0000000000"
                                                     "0c000000676c6f62616c5f76616c75650000000000"
                                                     "04000000726f6f6d0000000000"
                                                     "0d000000726f6f6d5f6175746f6a6f696e0100000000"
                                                     "00000000"));

        TestSettings::SetSetting("zeta", "b");
        TestSettings::SetSetting("alpha", "a");
        Named("global_value", "orphan");
        Named("room", "lobby") += d.GetType("room_autojoin")->GetGlobalItem();
        Named("room", "quiet");
        l_saver.Save(Path());
        QCOMPARE(ReadAll(Path()).toHex(), QByteArray("04000000"
                                                     "06000000676c6f62616c00"
                                                     "02000000"
                                                     "01000000040000007a657461"
                                                     "020000000500000061"
                                                     "6c706861"
                                                     "0c000000676c6f62616c5f76616c756500"
                                                     "02000000"
                                                     "030000000100000062"
                                                     "040000000100000061"
                                                     "04000000726f6f6d00"
                                                     "01000000"
                                                     "05000000050000006c6f626279"
                                                     "0d000000726f6f6d5f6175746f6a6f696e01"
                                                     "01000000"
                                                     "06000000"
                                                     "03000000"
                                                     "0100000003000000"
                                                     "0200000004000000"
                                                     "0500000006000000"));
        QVERIFY(m_log.m_lines.isEmpty());
    }

    void roundTripKeepsExactlyTheSavedState()
    {
        DataSaver l_saver;
        RegisterSavedTypes(l_saver);
        FillStore();
        l_saver.Save(Path());
        QByteArray const l_first = ReadAll(Path());

        // What must come back: everything but the unsaved items and their connections.
        for (ItemPtr l_gone :
             {Named("user", "eve"), Named("room", "quiet"), Named("peer_socket", "140737488355328"),
              Named("vglobal", "session"), Named("global_value", "volatile")})
            l_gone.Remove();
        QStringList const l_expected = Snapshot();
        d.RemoveAllItems();

        LoadedCounter l_counter;
        l_saver.AddDataLoadedEventHandler(&l_counter);
        l_saver.AddDataLoadedEventHandler(&l_counter);
        QVERIFY(l_saver.Load(Path()));
        QCOMPARE(l_counter.m_calls, 1);
        QCOMPARE(Snapshot(), l_expected);
        QCOMPARE(TestSettings::Setting("username").AsString(), std::string("alice"));

        // Items come back in id order, so a second save writes the same bytes.
        l_saver.Save(Path());
        QCOMPARE(ReadAll(Path()), l_first);
        QVERIFY(m_log.m_lines.isEmpty());
    }

    // Enough items and connections that the saver's look-ups run in many batches.
    void largerStoreRoundTrip()
    {
        DataSaver l_saver;
        RegisterSavedTypes(l_saver);
        ItemPtr l_autojoin = d.GetType("room_autojoin")->GetGlobalItem();
        for (int l_room = 0; l_room < 500; ++l_room)
            (*d.GetType("room"))[Value(Numbered("r", l_room))] += l_autojoin;
        for (int l_user = 0; l_user < 3000; ++l_user)
        {
            ItemPtr l_item = (*d.GetType("user"))[Value(Numbered("u", l_user))];
            if (l_user % 3 != 0)
                l_item.NewItem("in_user_list");
            l_item += (*d.GetType("room"))[Value(Numbered("r", l_user % 500))];
            l_item += (*d.GetType("room"))[Value(Numbered("r", l_user * 7 % 500))];
        }
        l_saver.Save(Path());
        QByteArray const l_first = ReadAll(Path());
        d.GetType("user")->GetItems().NotConnected(std::string_view("in_user_list")).Remove();
        QStringList const l_expected = Snapshot();
        d.RemoveAllItems();
        l_saver.Load(Path());
        QCOMPARE(Snapshot(), l_expected);
        l_saver.Save(Path());
        QCOMPARE(ReadAll(Path()), l_first);
    }

    // Values merge into items that exist before the load, such as defaults.
    void loadMergesIntoDefaults()
    {
        DataSaver l_saver;
        RegisterSavedTypes(l_saver);
        TestSettings::SetSetting("listening_port", "4000");
        l_saver.Save(Path());
        d.RemoveAllItems();
        TestSettings::SetSetting("listening_port", "2235");
        TestSettings::SetSetting("download_folder", "/downloads");
        l_saver.Load(Path());
        QCOMPARE(TestSettings::Setting("listening_port").AsString(), std::string("4000"));
        QCOMPARE(TestSettings::Setting("download_folder").AsString(), std::string("/downloads"));
        QCOMPARE(d.GetType("global")->ItemCount(), std::size_t(2));
    }

    void missingFileIsAFirstRun()
    {
        DataSaver l_saver;
        RegisterSavedTypes(l_saver);
        LoadedCounter l_first;
        LoadedCounter l_second;
        l_saver.AddDataLoadedEventHandler(&l_first);
        l_saver.AddDataLoadedEventHandler(&l_second);
        TestSettings::SetSetting("listening_port", "2235");
        QStringList const l_before = Snapshot();
        QVERIFY(!l_saver.Load(Path()));
        QCOMPARE(l_first.m_calls, 1);
        QCOMPARE(l_second.m_calls, 1);
        QCOMPARE(Snapshot(), l_before);
        // Not that data was loaded: that there was none, and that saving will make the file.
        QCOMPARE(m_log.m_lines, QStringList(QStringLiteral(
                                    "Configuration Data: No data file found; a new one will be "
                                    "written.")));
        QCOMPARE(QDir(m_folder->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList());
    }

    // Cut anywhere, even inside the last connection record, the file changes nothing in the
    // store, is kept aside byte for byte, and the handlers still apply their defaults.
    void truncatedFileChangesNothing()
    {
        DataSaver l_saver;
        RegisterSavedTypes(l_saver);
        LoadedCounter l_counter;
        l_saver.AddDataLoadedEventHandler(&l_counter);
        FillStore();
        l_saver.Save(Path());
        QByteArray const l_whole = ReadAll(Path());
        QVERIFY(l_whole.size() > 100);

        d.RemoveAllItems();
        TestSettings::SetSetting("listening_port", "1");
        Named("user", "frank").NewItem("in_user_list");
        QStringList const l_before = Snapshot();
        for (qsizetype l_size = 0; l_size < l_whole.size(); ++l_size)
        {
            QByteArray const l_cut = l_whole.left(l_size);
            WriteAll(Path(), l_cut);
            l_counter.m_calls = 0;
            QVERIFY2(LoadFails(l_saver, Path()), qPrintable(QString::number(l_size)));
            QCOMPARE(l_counter.m_calls, 1);
            QCOMPARE(Snapshot(), l_before);
            QCOMPARE(ReadAll(Path() + QStringLiteral(".bad")), l_cut);
            QVERIFY(QFile::remove(Path() + QStringLiteral(".bad")));
        }
        QVERIFY(m_log.m_lines.last().startsWith(
            QStringLiteral("Configuration Data: The configuration data in ")));
    }

    void craftedFilesAreRefused_data()
    {
        QTest::addColumn<QByteArray>("file");
        auto const l_valid = [] { return FileBuilder().Int(1).Type("global", false, 1).Int(1); };
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("negative type count") << FileBuilder().Int(-1).m_bytes;
        QTest::newRow("type count beyond the file")
            << FileBuilder().Int(INT32_MAX).Type("global", false, 0).m_bytes;
        QTest::newRow("negative name length") << FileBuilder().Int(1).Int(-5).m_bytes;
        QTest::newRow("name length beyond the file")
            << FileBuilder().Int(1).Int(INT32_MAX).Flag(0).Int(0).Int(0).m_bytes;
        QTest::newRow("negative item count")
            << FileBuilder().Int(1).Type("global", false, -1).m_bytes;
        QTest::newRow("item count beyond the file")
            << FileBuilder().Int(1).Type("global", false, INT32_MAX).Int(1).Str("x").Int(0).m_bytes;
        QTest::newRow("item count beyond the file, undeclared type")
            << FileBuilder().Int(1).Type("nothing", true, 100000000).Int(1).Int(0).m_bytes;
        QTest::newRow("negative value length") << l_valid().Int(-1).Int(0).m_bytes;
        QTest::newRow("value length beyond the file")
            << l_valid().Int(0x10000000).Int(0).Int(0).m_bytes;
        QTest::newRow("negative connection count") << l_valid().Str("x").Int(-1).m_bytes;
        QTest::newRow("connection count beyond the file")
            << l_valid().Str("x").Int(INT32_MAX).Int(1).Int(1).m_bytes;
        QTest::newRow("null flag where the type has values")
            << FileBuilder().Int(1).Type("global", true, 1).Int(1).Int(0).m_bytes;
        QTest::newRow("values where the type has none")
            << FileBuilder().Int(1).Type("in_user_list", false, 1).Int(1).Str("x").Int(0).m_bytes;
        QTest::newRow("flag neither 0 nor 1")
            << FileBuilder().Int(1).Str("global").Flag(2).Int(0).Int(0).m_bytes;
    }

    void craftedFilesAreRefused()
    {
        QFETCH(QByteArray, file);
        DataSaver l_saver;
        RegisterSavedTypes(l_saver);
        LoadedCounter l_counter;
        l_saver.AddDataLoadedEventHandler(&l_counter);
        TestSettings::SetSetting("listening_port", "2235");
        QStringList const l_before = Snapshot();
        WriteAll(Path(), file);

        AllocationProbe l_probe;
        bool const l_failed = LoadFails(l_saver, Path());
        l_probe.Stop();
        QVERIFY(l_failed);
        QVERIFY2(l_probe.Largest() < 64 * 1024, qPrintable(QString::number(l_probe.Largest())));
        QCOMPARE(l_counter.m_calls, 1);
        QCOMPARE(Snapshot(), l_before);
        QCOMPARE(ReadAll(Path() + QStringLiteral(".bad")), file);
        QCOMPARE(ReadAll(Path()), file);
    }

    // Only saved types load: a declared type that is not saved (here one whose values are
    // addresses) is read over like an undeclared one, with every connection touching it.
    void onlySavedTypesLoad()
    {
        DataSaver l_saver;
        RegisterSavedTypes(l_saver);
        QByteArray const l_file = FileBuilder()
                                      .Int(4)
                                      .Type("peer_socket", false, 1)
                                      .Int(1)
                                      .Str("140737488355328")
                                      .Type("no_longer_declared", false, 1)
                                      .Int(2)
                                      .Str("old")
                                      .Type("user", false, 1)
                                      .Int(3)
                                      .Str("bob")
                                      .Type("in_user_list", true, 1)
                                      .Int(4)
                                      .Int(3)
                                      .Int(1)
                                      .Int(3)
                                      .Int(3)
                                      .Int(2)
                                      .Int(3)
                                      .Int(4)
                                      .m_bytes;
        WriteAll(Path(), l_file);
        l_saver.Load(Path());
        QCOMPARE(
            Snapshot(),
            QStringList({QStringLiteral("in_user_list"), QStringLiteral("in_user_list > user:bob"),
                         QStringLiteral("user:bob"), QStringLiteral("user:bob > in_user_list")}));
        QVERIFY(m_log.m_lines.isEmpty());
    }

    // Ids need no order; a pair naming an id without a record is dropped; a repeated id takes
    // the later record; a repeated or reversed pair connects once; a pair of unrelated types is
    // dropped and logged.
    void idsAndPairsAreTakenAsTheyCome()
    {
        DataSaver l_saver;
        RegisterSavedTypes(l_saver);
        QByteArray const l_file = FileBuilder()
                                      .Int(3)
                                      .Type("room", false, 3)
                                      .Int(-7)
                                      .Str("first")
                                      .Int(50)
                                      .Str("lobby")
                                      .Int(-7)
                                      .Str("second")
                                      .Type("room_autojoin", true, 1)
                                      .Int(2)
                                      .Type("global", false, 1)
                                      .Int(9)
                                      .Str("username")
                                      .Int(6)
                                      .Int(2)
                                      .Int(50)
                                      .Int(50)
                                      .Int(2)
                                      .Int(2)
                                      .Int(50)
                                      .Int(-7)
                                      .Int(2)
                                      .Int(50)
                                      .Int(12345)
                                      .Int(9)
                                      .Int(50)
                                      .m_bytes;
        WriteAll(Path(), l_file);
        StoreRecorder l_recorder;
        l_recorder.WatchConnectionPair(d.GetType("room"), d.GetType("room_autojoin"));
        l_saver.Load(Path());
        QCOMPARE(Snapshot(),
                 QStringList(
                     {QStringLiteral("global:username"), QStringLiteral("room:lobby"),
                      QStringLiteral("room:lobby > room_autojoin"), QStringLiteral("room:second"),
                      QStringLiteral("room:second > room_autojoin"),
                      QStringLiteral("room_autojoin"), QStringLiteral("room_autojoin > room:lobby"),
                      QStringLiteral("room_autojoin > room:second")}));
        QCOMPARE(l_recorder.Take().size(), 2);
        QCOMPARE(m_log.m_lines.size(), 1);
        QVERIFY(m_log.m_lines[0].contains(QStringLiteral("Skipped 1 connections")));
    }

    void savedByConnectionTypes()
    {
        DataSaver l_saver;
        RegisterSavedTypes(l_saver);
        ItemPtr l_lobby = Named("room", "lobby");
        l_lobby += d.GetType("room_autojoin")->GetGlobalItem();
        Named("room", "quiet") += Named("user", "bob");
        l_lobby += Named("user", "carol");
        Named("user", "carol").NewItem("in_user_list");
        l_saver.Save(Path());
        d.RemoveAllItems();
        l_saver.Load(Path());
        QCOMPARE(Snapshot(),
                 QStringList(
                     {QStringLiteral("in_user_list"), QStringLiteral("in_user_list > user:carol"),
                      QStringLiteral("room:lobby"), QStringLiteral("room:lobby > room_autojoin"),
                      QStringLiteral("room:lobby > user:carol"), QStringLiteral("room_autojoin"),
                      QStringLiteral("room_autojoin > room:lobby"), QStringLiteral("user:carol"),
                      QStringLiteral("user:carol > in_user_list"),
                      QStringLiteral("user:carol > room:lobby")}));
    }

    // The file holds the password: only its owner may read it, also when an older file was
    // readable by others.
    void fileIsReadableByItsOwnerOnly()
    {
        DataSaver l_saver;
        RegisterSavedTypes(l_saver);
        TestSettings::SetSetting("password", "secret");
        WriteAll(Path(), "old");
        QVERIFY(::chmod(QFile::encodeName(Path()).constData(), 0644) == 0);
        l_saver.Save(Path());
        QCOMPARE(Mode(Path()), mode_t(0600));
        QVERIFY(ReadAll(Path()).contains("secret"));
    }

    // A temporary name left by an earlier save is not touched; the next free one is used.
    void takenTemporaryNameIsSkipped()
    {
        DataSaver l_saver;
        RegisterSavedTypes(l_saver);
        TestSettings::SetSetting("username", "alice");
        WriteAll(Path() + QStringLiteral(".1"), "left over");
        QCOMPARE(l_saver.Save(Path()), QString());
        QCOMPARE(ReadAll(Path() + QStringLiteral(".1")), QByteArray("left over"));
        QVERIFY(!QFile::exists(Path() + QStringLiteral(".2")));
        QVERIFY(ReadAll(Path()).contains("alice"));
    }

    // The rename replaces the file at once; when it cannot, the old file stays as it was and
    // the temporary file is removed, and the caller is told why. A directory in the file's place
    // refuses the rename, also for root.
    void failedSaveLeavesTheFile()
    {
        DataSaver l_saver;
        RegisterSavedTypes(l_saver);
        TestSettings::SetSetting("username", "alice");
        QVERIFY(QDir().mkpath(Path()));
        WriteAll(Path() + QStringLiteral("/inside"), "kept");
        QCOMPARE(l_saver.Save(Path()), QString::fromLocal8Bit(std::strerror(EISDIR)));
        QCOMPARE(ReadAll(Path() + QStringLiteral("/inside")), QByteArray("kept"));
        QCOMPARE(QDir(m_folder->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList({QStringLiteral("data")}));
        QCOMPARE(m_log.m_lines.size(), 1);
        QVERIFY(m_log.m_lines[0].startsWith(
            QStringLiteral("Configuration Data: Failure to save configuration data to ")));

        m_log.m_lines.clear();
        QCOMPARE(l_saver.Save(m_folder->filePath(QStringLiteral("missing/data"))),
                 QString::fromLocal8Bit(std::strerror(ENOENT)));
        QCOMPARE(m_log.m_lines.size(), 1);
        QVERIFY(m_log.m_lines[0].contains(QStringLiteral("cannot create a file beside")));
    }

    // The data file kept as a link into another folder stays a link: the save writes the end of
    // its chain, each relative target taken from the folder of the link that holds it, as a file
    // of its owner's only, made in that folder and flushed there, and the next start loads it. A
    // chain that does not end in a regular file, or in a free name in a folder, fails the save,
    // is logged by the data file's path and leaves every link and what it leads to as it was.
    void linkKeepsItsTarget_data()
    {
        QTest::addColumn<QByteArrayList>("chain");
        // What stands at store/data before the save ("file", "fifo", "device"), or "elsewhere":
        // nothing, store being a folder on another file system than the data file's.
        QTest::addColumn<QString>("end");
        // For a failed save: its reason, and its log line with the data file's folder as %1.
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("logged");
        QString const l_failed =
            QStringLiteral("Failure to save configuration data to %1/data: %2.");
        QString const l_notFile = QStringLiteral("not a regular file");
        QTest::newRow("existing file")
            << Chain(1) << QStringLiteral("file") << QString() << QString();
        QTest::newRow("file not yet made, on another file system")
            << Chain(1) << QStringLiteral("elsewhere") << QString() << QString();
        QTest::newRow("40 relative links") << Chain(40) << QString() << QString() << QString();
        QTest::newRow("41 links") << Chain(41) << QString() << ErrorText(ELOOP) << l_failed;
        QTest::newRow("target's folder missing")
            << QByteArrayList{"absent/data"} << QString() << ErrorText(ENOENT)
            << QStringLiteral("Failure to save configuration data: cannot create a file beside "
                              "%1/absent/data: %2.");
        QTest::newRow("name lost in the file name encoding")
            << QByteArrayList{"x\xff"} << QString() << ErrorText(EILSEQ) << l_failed;
        QTest::newRow("FIFO") << Chain(1) << QStringLiteral("fifo") << l_notFile << l_failed;
        QTest::newRow("device") << Chain(1) << QStringLiteral("device") << l_notFile << l_failed;
    }
    void linkKeepsItsTarget()
    {
        QFETCH(QByteArrayList, chain);
        QFETCH(QString, end);
        QFETCH(QString, reason);
        QFETCH(QString, logged);
        DataSaver l_saver;
        RegisterSavedTypes(l_saver);
        TestSettings::SetSetting("username", "alice");
        QString const l_store = m_folder->filePath(QStringLiteral("store"));
        QString const l_written = l_store + QStringLiteral("/data");
        QByteArray const l_name = QFile::encodeName(l_written);
        QTemporaryDir l_other(QStringLiteral("/dev/shm/datafile-XXXXXX"));
        if (end != QStringLiteral("elsewhere"))
            QVERIFY(QDir().mkpath(l_store));
        else if (!l_other.isValid() ||
                 QStorageInfo(l_other.path()) == QStorageInfo(m_folder->path()))
            QSKIP("No other file system to write in.");
        else
            QVERIFY(QFile::link(l_other.path(), l_store));
        QStringList l_links;
        for (qsizetype l_link = 0; l_link < chain.size(); ++l_link)
        {
            l_links << (l_link == 0 ? Path() : l_store + QStringLiteral("/hop%1").arg(l_link));
            QCOMPARE(
                ::symlink(chain[l_link].constData(), QFile::encodeName(l_links.last()).constData()),
                0);
        }
        if (end == QStringLiteral("file"))
            WriteAll(l_written, "old");
        else if (end == QStringLiteral("fifo"))
            QCOMPARE(::mkfifo(l_name.constData(), 0644), 0);
        else if (end == QStringLiteral("device") &&
                 ::mknod(l_name.constData(), S_IFCHR | 0644, makedev(1, 3)) != 0)
            QSKIP("No right to make a device node.");
        QStringList const l_before = Entries(m_folder->path());
        QStringList const l_storeBefore = Entries(l_store);
        g_flushedFolders.clear();

        QCOMPARE(l_saver.Save(Path()), reason);
        for (qsizetype l_link = 0; l_link < chain.size(); ++l_link)
            QCOMPARE(LinkText(l_links[l_link]), chain[l_link]);
        QCOMPARE(Entries(m_folder->path()), l_before);
        if (!reason.isEmpty())
        {
            QCOMPARE(Entries(l_store), l_storeBefore);
            QVERIFY(!QFileInfo(l_written).isFile());
            QCOMPARE(m_log.m_lines, QStringList(QStringLiteral("Configuration Data: ") +
                                                logged.arg(m_folder->path(), reason)));
            return;
        }
        QCOMPARE(Entries(l_store).size(), chain.size());
        QCOMPARE(Mode(l_written), mode_t(0600));
        QCOMPARE(g_flushedFolders, QStringList(QFileInfo(l_store).canonicalFilePath()));
        d.RemoveAllItems();
        QVERIFY(l_saver.Load(Path()));
        QCOMPARE(TestSettings::Setting("username").AsString(), std::string("alice"));
        QVERIFY(m_log.m_lines.isEmpty());
    }

    // A damaged file is kept beside the file under the first free name, readable by its owner
    // only; the file itself stays until the next save replaces it. A folder whose name looks like
    // a message's place keeps its copy too.
    void damagedFileIsKeptAside_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("plain") << QString();
        QTest::newRow("percent sign") << QStringLiteral("a%1b");
    }
    void damagedFileIsKeptAside()
    {
        QFETCH(QString, folder);
        QVERIFY(folder.isEmpty() || QDir(m_folder->path()).mkdir(folder));
        const QString l_path =
            folder.isEmpty() ? Path() : m_folder->filePath(folder + QStringLiteral("/data"));
        DataSaver l_saver;
        RegisterSavedTypes(l_saver);
        LoadedCounter l_counter;
        l_saver.AddDataLoadedEventHandler(&l_counter);
        WriteAll(l_path, "damaged");
        WriteAll(l_path + QStringLiteral(".bad"), "older");
        QVERIFY(LoadFails(l_saver, l_path));
        QCOMPARE(l_counter.m_calls, 1);
        QCOMPARE(ReadAll(l_path + QStringLiteral(".bad")), QByteArray("older"));
        QCOMPARE(ReadAll(l_path + QStringLiteral(".bad.1")), QByteArray("damaged"));
        QCOMPARE(Mode(l_path + QStringLiteral(".bad.1")), mode_t(0600));
        QCOMPARE(ReadAll(l_path), QByteArray("damaged"));
        QVERIFY(m_log.m_lines.last().endsWith(QStringLiteral("; kept as ") + l_path +
                                              QStringLiteral(".bad.1.")));

        TestSettings::SetSetting("username", "alice");
        l_saver.Save(l_path);
        l_saver.Load(l_path);
        QCOMPARE(TestSettings::Setting("username").AsString(), std::string("alice"));
        QCOMPARE(ReadAll(l_path + QStringLiteral(".bad.1")), QByteArray("damaged"));
    }

    // A path that exists but cannot be read is not a first run: the load fails. A FIFO with no
    // writer fails at once, as a directory does, for what it is rather than as an empty, damaged
    // file: nothing is kept aside.
    void unreadableFileFails()
    {
        DataSaver l_saver;
        RegisterSavedTypes(l_saver);
        LoadedCounter l_counter;
        l_saver.AddDataLoadedEventHandler(&l_counter);
        QVERIFY(QDir().mkpath(Path()));
        QCOMPARE(::mkfifo(QFile::encodeName(Path() + QStringLiteral(".fifo")).constData(), 0600),
                 0);
        for (QString const& l_path : {Path(), Path() + QStringLiteral(".fifo")})
        {
            m_log.m_lines.clear();
            QVERIFY(LoadFails(l_saver, l_path));
            QCOMPARE(m_log.m_lines,
                     QStringList(QStringLiteral("Configuration Data: Could not read the "
                                                "configuration data in %1: not a regular file.")
                                     .arg(l_path)));
        }
        QCOMPARE(l_counter.m_calls, 2);
        QCOMPARE(Entries(m_folder->path()),
                 QStringList({QStringLiteral("data"), QStringLiteral("data.fifo")}));
    }

    // Data files that lead to one file share its lock, beside it, so that a client on another
    // home whose data file leads there ends as on the same home; a chain that leads nowhere
    // keeps the lock beside the path.
    void linksToOneFileShareTheLock()
    {
        QString const l_shared = m_folder->filePath(QStringLiteral("shared"));
        QString const l_other = m_folder->filePath(QStringLiteral("other"));
        QString const l_loop = m_folder->filePath(QStringLiteral("loop"));
        QVERIFY(QFile::link(QStringLiteral("shared"), Path()) && QFile::link(l_shared, l_other) &&
                QFile::link(l_loop, l_loop));
        DataFileLock l_lock(Path());
        QCOMPARE(l_lock.Path(), l_shared + QStringLiteral(".lock"));
        QCOMPARE(DataFileLock(l_other).GetState(), DataFileLock::State::HeldElsewhere);
        QCOMPARE(DataFileLock(l_loop).Path(), l_loop + QStringLiteral(".lock"));
    }

    // The lock goes with the client: a program that it started keeps no share of it.
    void lockNotKeptByStartedProgram()
    {
        QProcess l_program;
        {
            DataFileLock l_lock(Path());
            QCOMPARE(l_lock.GetState(), DataFileLock::State::Held);
            l_program.start(QStringLiteral("sleep"), {QStringLiteral("60")});
            QVERIFY(l_program.waitForStarted());
        }
        QCOMPARE(DataFileLock(Path()).GetState(), DataFileLock::State::Held);
        l_program.kill();
        QVERIFY(l_program.waitForFinished());
    }
};

QTEST_GUILESS_MAIN(TestDataFile)
#include "tst_datafile.moc"
