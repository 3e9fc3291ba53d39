#include "AttributeMap.h"
#include "AttributeTranslationTable.h"
#include "FileInfo.h"
#include "FileInfoMap.h"
#include "MemStream.h"

#include <QRandomGenerator>
#include <QTest>

#include <list>
#include <set>
#include <string>

namespace
{
QByteArray Unread(const MemStream& i_stream)
{
    return QByteArray(i_stream.GetReadBuffer(), i_stream.GetPendingReadLength());
}

MemStream StreamOf(const QByteArray& i_bytes)
{
    MemStream l_stream;
    l_stream.WriteBuffer(i_bytes.constData(), static_cast<unsigned long>(i_bytes.size()));
    return l_stream;
}

QByteArray Hex(const char* i_hex)
{
    return QByteArray::fromHex(QByteArray(i_hex));
}

QByteArray U32(quint32 i_value)
{
    MemStream l_stream;
    l_stream.Write(i_value);
    return Unread(l_stream);
}

template <class Record> QByteArray Encoded(const Record& i_record)
{
    MemStream l_stream;
    l_stream.Write(i_record);
    return Unread(l_stream);
}

FileInfo Mp3(const std::string& i_name, qint64 i_size)
{
    FileInfo l_file;
    l_file.m_name = i_name;
    l_file.m_size = i_size;
    l_file.m_attributes.m_extension = "mp3";
    l_file.m_attributes.Add(AttributeMap::Bitrate, 320);
    l_file.m_attributes.Add(AttributeMap::VariableBitrate, 1);
    return l_file;
}

// 'a\b.mp3', 4294967298 bytes, mp3 at 320 kbit/s, variable bitrate.
const char* const mp3Hex = "01"
                           "07000000"
                           "615c622e6d7033"
                           "0200000001000000"
                           "03000000"
                           "6d7033"
                           "02000000"
                           "0000000040010000"
                           "0200000001000000";
} // namespace

class TestRecords : public QObject
{
    Q_OBJECT

private slots:
    void FileInfoEncoding();
    void FileInfoEndMarker();
    void NamesEndAtFirstZero();
    void LengthLimits();
    void TruncatedRecordsFail();
    void AttributeListKeepsWireOrder();
    void Ordering();
    void FolderMap();
    void FolderMapLimits();
    void TranslationTableAndResultList();
    void GarbageNeverCrashes();
};

void TestRecords::FileInfoEncoding()
{
    QCOMPARE(Encoded(FileInfo()), Hex("01"
                                      "00000000"
                                      "0000000000000000"
                                      "00000000"
                                      "00000000"));
    QCOMPARE(Encoded(FileInfo()).size(), 21);

    const FileInfo l_file = Mp3("a\\b.mp3", 0x100000002LL);
    QCOMPARE(Encoded(l_file), Hex(mp3Hex));

    MemStream l_stream = StreamOf(Hex(mp3Hex));
    FileInfo l_read;
    QVERIFY(l_read.Read(l_stream));
    QCOMPARE(l_read.m_name, l_file.m_name);
    QCOMPARE(l_read.m_size, l_file.m_size);
    QCOMPARE(l_read.m_attributes, l_file.m_attributes);
    QCOMPARE(l_stream.GetPendingReadLength(), 0);

    FileInfo l_negative;
    l_negative.m_size = -1;
    MemStream l_negativeStream = StreamOf(Encoded(l_negative));
    QVERIFY(l_read.Read(l_negativeStream));
    QCOMPARE(l_read.m_size, qint64(-1));
}

void TestRecords::FileInfoEndMarker()
{
    MemStream l_stream = StreamOf(Hex("00ff"));
    FileInfo l_file = Mp3("kept", 3);
    QVERIFY(l_file.Read(l_stream));
    QCOMPARE(l_file.m_name, std::string("kept"));
    QCOMPARE(l_file.m_size, qint64(3));
    QCOMPARE(l_file.m_attributes.m_attributes.size(), std::size_t(2));
    QCOMPARE(Unread(l_stream), Hex("ff"));
}

void TestRecords::NamesEndAtFirstZero()
{
    MemStream l_stream = StreamOf(Hex("01"
                                      "03000000610062"
                                      "0500000000000000"
                                      "04000000"
                                      "6d700033"
                                      "00000000"
                                      "2a000000"));
    FileInfo l_file;
    QVERIFY(l_file.Read(l_stream));
    QCOMPARE(l_file.m_name, std::string("a"));
    QCOMPARE(l_file.m_size, qint64(5));
    QCOMPARE(l_file.m_attributes.m_extension, std::string("mp"));
    quint32 l_next;
    QVERIFY(l_stream.Read(l_next));
    QCOMPARE(l_next, 42u);
}

void TestRecords::LengthLimits()
{
    const quint32 l_limit = InputStream::MaxReadLength;

    FileInfo l_longest;
    l_longest.m_name.assign(l_limit, 'n');
    l_longest.m_attributes.m_extension.assign(l_limit, 'e');
    for (quint32 l_index = 0; l_index < l_limit; ++l_index)
        l_longest.m_attributes.Add(l_index, l_index);
    MemStream l_accepted = StreamOf(Encoded(l_longest));
    FileInfo l_read;
    QVERIFY(l_read.Read(l_accepted));
    QCOMPARE(l_read.m_name, l_longest.m_name);
    QCOMPARE(l_read.m_attributes, l_longest.m_attributes);

    // A name one byte too long fails once its length has been read.
    MemStream l_longName = StreamOf(Hex("01") + U32(l_limit + 1) + QByteArray(l_limit + 1, 'n'));
    QVERIFY(!l_read.Read(l_longName));
    QCOMPARE(l_longName.GetPendingReadLength(), qint32(l_limit + 1));

    AttributeMap l_attributes;
    MemStream l_longExtension = StreamOf(U32(l_limit + 1) + QByteArray(l_limit + 1, 'e'));
    QVERIFY(!l_attributes.Read(l_longExtension));
    QCOMPARE(l_longExtension.GetPendingReadLength(), qint32(l_limit + 1));

    // Too many pairs: the extension and the count are consumed, no pair, and the old list is gone.
    l_attributes.Add(9, 9);
    MemStream l_manyPairs =
        StreamOf(Hex("0100000078") + U32(l_limit + 1) + Hex("0100000002000000"));
    QVERIFY(!l_attributes.Read(l_manyPairs));
    QCOMPARE(l_attributes.m_extension, std::string("x"));
    QVERIFY(l_attributes.m_attributes.empty());
    QCOMPARE(l_manyPairs.GetPendingReadLength(), 8);
}

void TestRecords::TruncatedRecordsFail()
{
    const QByteArray l_bytes = Hex(mp3Hex);
    for (qsizetype l_length = 0; l_length < l_bytes.size(); ++l_length)
    {
        MemStream l_stream = StreamOf(l_bytes.left(l_length));
        FileInfo l_file;
        QVERIFY2(!l_file.Read(l_stream), qPrintable(QString::number(l_length)));
    }
}

void TestRecords::AttributeListKeepsWireOrder()
{
    MemStream l_stream = StreamOf(Hex("00000000"
                                      "03000000"
                                      "0000000080000000"
                                      "0200000001000000"
                                      "00000000c0000000"));
    AttributeMap l_attributes;
    l_attributes.m_extension = "old";
    l_attributes.Add(1, 1);
    QVERIFY(l_attributes.Read(l_stream));
    QCOMPARE(l_attributes.m_extension, std::string());
    const std::vector<std::pair<quint32, quint32>> l_expected{{0, 128}, {2, 1}, {0, 192}};
    QCOMPARE(l_attributes.m_attributes, l_expected);
    QCOMPARE(Encoded(l_attributes), Hex("00000000"
                                        "03000000"
                                        "0000000080000000"
                                        "0200000001000000"
                                        "00000000c0000000"));

    MemStream l_cut = StreamOf(Hex("00000000"
                                   "03000000"
                                   "0000000080000000"
                                   "02000000"));
    // The code of the cut pair is consumed; only its missing value failed.
    QVERIFY(!l_attributes.Read(l_cut));
    QCOMPARE(l_attributes.m_attributes.size(), std::size_t(1));
    QCOMPARE(l_cut.GetPendingReadLength(), 0);
}

void TestRecords::Ordering()
{
    const std::set<FileInfo> l_files{Mp3("b", 1),  Mp3("a", 5), Mp3("ab", 0), Mp3("\xc3\xa9", 0),
                                     Mp3("a", -1), Mp3("z", 0), FileInfo(),   Mp3("a", 5)};
    std::list<std::pair<std::string, qint64>> l_order;
    for (const FileInfo& l_file : l_files)
        l_order.emplace_back(l_file.m_name, l_file.m_size);
    // One record per name: the first inserted stays.
    const std::list<std::pair<std::string, qint64>> l_expected{{"", 0},  {"a", 5}, {"ab", 0},
                                                               {"b", 1}, {"z", 0}, {"\xc3\xa9", 0}};
    QCOMPARE(l_order, l_expected);

    FileInfo l_plain = Mp3("a", 5);
    l_plain.m_attributes = AttributeMap();
    QVERIFY(!(l_plain == Mp3("a", 5)));
    QVERIFY(Mp3("a", 5) == Mp3("a", 5));
    QVERIFY(!(Mp3("a", 5) == Mp3("a", 6)));
}

void TestRecords::FolderMap()
{
    FileInfoMap l_map;
    l_map["x\\y"].insert(Mp3("a\\b.mp3", 0x100000002LL));
    l_map["a"];
    QCOMPARE(Encoded(l_map), Hex("02000000"
                                 "0100000061"
                                 "00000000"
                                 "03000000785c79"
                                 "01000000") +
                                 Hex(mp3Hex));

    MemStream l_stream = StreamOf(Encoded(l_map));
    FileInfoMap l_read{{"stale", {}}};
    QVERIFY(l_stream.Read(l_read));
    QCOMPARE(l_read.size(), std::size_t(2));
    QCOMPARE(l_read["x\\y"].size(), std::size_t(1));
    QCOMPARE(l_read["x\\y"].begin()->m_attributes, Mp3("", 0).m_attributes);

    // A repeated folder takes the later set; a record named as an earlier one is dropped.
    MemStream l_repeated;
    l_repeated.Write(quint32(2));
    l_repeated.Write(std::string("f"));
    l_repeated.Write(std::set<FileInfo>{Mp3("old", 1)});
    l_repeated.Write(std::string("f"));
    l_repeated.Write(quint32(3));
    l_repeated.Write(Mp3("new", 1));
    FileInfo l_twin = Mp3("new", 1);
    l_twin.m_attributes = AttributeMap();
    l_repeated.Write(l_twin);
    l_repeated.Write(Mp3("new", 2));
    QVERIFY(l_repeated.Read(l_read));
    QCOMPARE(l_read.size(), std::size_t(1));
    const std::set<FileInfo>& l_files = l_read["f"];
    QCOMPARE(l_files.size(), std::size_t(1));
    QCOMPARE(l_files.begin()->m_size, qint64(1));
    QCOMPARE(l_files.begin()->m_name, std::string("new"));
    QCOMPARE(l_files.begin()->m_attributes.m_attributes.size(), std::size_t(2));
}

void TestRecords::FolderMapLimits()
{
    // A folder with too many files fails before its first record; earlier folders stay.
    MemStream l_stream;
    l_stream.Write(quint32(2));
    l_stream.Write(std::string("a"));
    l_stream.Write(std::set<FileInfo>{Mp3("x", 1)});
    l_stream.Write(std::string("b"));
    l_stream.Write(InputStream::MaxReadLength + 1);
    l_stream.Write(Mp3("y", 1));
    FileInfoMap l_map;
    QVERIFY(!l_stream.Read(l_map));
    QCOMPARE(l_map.size(), std::size_t(1));
    QVERIFY(l_map.count("a"));
    QCOMPARE(Unread(l_stream), Encoded(Mp3("y", 1)));

    MemStream l_tooMany = StreamOf(U32(InputStream::MaxReadLength + 1));
    QVERIFY(!l_tooMany.Read(l_map));
    QVERIFY(l_map.empty());

    // The limit counts records, end markers included.
    MemStream l_largest;
    l_largest.Write(quint32(1));
    l_largest.Write(std::string("f"));
    l_largest.Write(InputStream::MaxReadLength);
    const QByteArray l_markers(InputStream::MaxReadLength, '\0');
    l_largest.WriteBuffer(l_markers.constData(), InputStream::MaxReadLength);
    QVERIFY(l_largest.Read(l_map));
    QCOMPARE(l_map["f"].size(), std::size_t(1));
    QCOMPARE(l_largest.GetPendingReadLength(), 0);
}

void TestRecords::TranslationTableAndResultList()
{
    const AttributeTranslationTable l_table{{-5, "minus"}, {0, "bitrate"}};
    QCOMPARE(Encoded(l_table), Hex("02000000"
                                   "fbffffff05000000"
                                   "6d696e7573"
                                   "0000000007000000"
                                   "62697472617465"));
    MemStream l_stream = StreamOf(Encoded(l_table));
    AttributeTranslationTable l_read;
    QVERIFY(l_stream.Read(l_read));
    QCOMPARE(l_read, l_table);

    // Search results arrive as a list: order and duplicates are kept.
    const std::list<FileInfo> l_results{Mp3("b", 1), Mp3("a", 1), Mp3("b", 1)};
    MemStream l_resultStream = StreamOf(Encoded(l_results));
    std::list<FileInfo> l_readResults;
    QVERIFY(l_resultStream.Read(l_readResults));
    QCOMPARE(l_readResults, l_results);
}

void TestRecords::GarbageNeverCrashes()
{
    FileInfoMap l_map;
    l_map["music\\x"] = {Mp3("one.mp3", 10), Mp3("two.mp3", 20)};
    l_map["docs"] = {FileInfo()};
    MemStream l_valid;
    l_valid.Write(l_map);
    l_valid.Write(AttributeTranslationTable{{1, "length"}});
    const QByteArray l_bytes = Unread(l_valid);

    QRandomGenerator l_random(20240607);
    for (int l_round = 0; l_round < 3000; ++l_round)
    {
        QByteArray l_mutated = l_bytes.left(l_random.bounded(int(l_bytes.size()) + 1));
        const int l_changes = l_random.bounded(1, 6);
        for (int l_change = 0; l_change < l_changes && !l_mutated.isEmpty(); ++l_change)
            l_mutated[l_random.bounded(int(l_mutated.size()))] = char(l_random.bounded(256));
        MemStream l_stream = StreamOf(l_mutated);
        FileInfoMap l_read;
        AttributeTranslationTable l_table;
        if (l_stream.Read(l_read))
            l_stream.Read(l_table);
        QVERIFY(l_stream.GetPendingReadLength() >= 0);
    }
}

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
