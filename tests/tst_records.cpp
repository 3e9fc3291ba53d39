#include "AttributeMap.h"
#include "AttributeTranslationTable.h"
#include "FileInfo.h"
#include "FileInfoMap.h"
#include "MemStream.h"

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

template <class Record> QByteArray Encoded(const Record& i_record)
{
    MemStream l_stream;
    l_stream.Write(i_record);
    return Unread(l_stream);
}

QByteArray U32(quint32 i_value)
{
    return Encoded(i_value);
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

// "extension code=value,...".
QString Describe(const AttributeMap& i_attributes)
{
    QStringList l_pairs;
    for (const auto& [l_code, l_value] : i_attributes.m_attributes)
        l_pairs << QStringLiteral("%1=%2").arg(l_code).arg(l_value);
    return QString::fromStdString(i_attributes.m_extension) + QLatin1Char(' ') +
           l_pairs.join(QLatin1Char(','));
}

QString Describe(const FileInfo& i_file)
{
    return QStringLiteral("%1 %2 ").arg(QString::fromStdString(i_file.m_name)).arg(i_file.m_size) +
           Describe(i_file.m_attributes);
}

// Blanks between fields are skipped. 'a\b.mp3', 4294967298 bytes, mp3 at 320 kbit/s, variable
// bitrate.
const char* const mp3Hex = "01 07000000 615c622e6d7033 0200000001000000 03000000 6d7033 "
                           "02000000 0000000040010000 0200000001000000";
const char* const threePairsHex = "00000000 03000000 0000000080000000 0200000001000000 "
                                  "00000000c0000000";
} // namespace

class TestRecords : public QObject
{
    Q_OBJECT

private slots:
    // Byte for byte both ways; sizes past 32 bits or negative, and the longest fields, survive.
    void fileInfoEncoding()
    {
        QCOMPARE(Encoded(FileInfo()), Hex("01 00000000 0000000000000000 00000000 00000000"));
        QCOMPARE(Encoded(Mp3("a\\b.mp3", 0x100000002LL)), Hex(mp3Hex));
        AttributeMap l_pairs;
        for (const auto& [l_code, l_value] : {std::pair{0u, 128u}, {2u, 1u}, {0u, 192u}})
            l_pairs.Add(l_code, l_value);
        QCOMPARE(Encoded(l_pairs), Hex(threePairsHex));

        const quint32 l_limit = InputStream::MaxReadLength;
        FileInfo l_longest;
        l_longest.m_name.assign(l_limit, 'n');
        l_longest.m_attributes.m_extension.assign(l_limit, 'e');
        for (quint32 l_index = 0; l_index < l_limit; ++l_index)
            l_longest.m_attributes.Add(l_index, l_index);
        for (const FileInfo& l_file : {Mp3("a\\b.mp3", 0x100000002LL), Mp3("", -1), l_longest})
        {
            MemStream l_stream = StreamOf(Encoded(l_file));
            FileInfo l_read;
            QVERIFY(l_read.Read(l_stream) && l_read == l_file);
            QCOMPARE(l_stream.GetPendingReadLength(), 0);
        }
    }

    // Each read starts from a record that holds "kept 3 mp3 0=320,2=1" or "old 9=9": what it holds
    // after, and how many bytes are left unread.
    void reads_data()
    {
        QTest::addColumn<bool>("file");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("result");
        QTest::addColumn<int>("unread");
        const quint32 l_limit = InputStream::MaxReadLength;
        QTest::newRow("end marker keeps the record")
            << true << Hex("00ff") << "kept 3 mp3 0=320,2=1" << 1;
        QTest::newRow("names end at the first zero")
            << true << Hex("01 03000000610062 0500000000000000 04000000 6d700033 00000000 2a000000")
            << "a 5 mp " << 4;
        // A field one byte too long fails once its length has been read.
        QTest::newRow("name too long")
            << true << Hex("01") + U32(l_limit + 1) + QByteArray(l_limit + 1, 'n')
            << "refused: kept 3 mp3 0=320,2=1" << int(l_limit + 1);
        QTest::newRow("extension too long")
            << false << U32(l_limit + 1) + QByteArray(l_limit + 1, 'e') << "refused: old 9=9"
            << int(l_limit + 1);
        // The extension and the count are consumed, no pair, and the old list is gone.
        QTest::newRow("too many pairs")
            << false << Hex("0100000078") + U32(l_limit + 1) + Hex("0100000002000000")
            << "refused: x " << 8;
        QTest::newRow("wire order, codes repeat")
            << false << Hex(threePairsHex) << " 0=128,2=1,0=192" << 0;
        // The code of the cut pair is consumed; only its missing value failed.
        QTest::newRow("cut pair") << false << Hex(threePairsHex).left(20) << "refused:  0=128" << 0;
    }

    void reads()
    {
        QFETCH(bool, file);
        QFETCH(QByteArray, bytes);
        MemStream l_stream = StreamOf(bytes);
        FileInfo l_file = Mp3("kept", 3);
        AttributeMap l_attributes;
        l_attributes.m_extension = "old";
        l_attributes.Add(9, 9);
        const bool l_read = file ? l_file.Read(l_stream) : l_attributes.Read(l_stream);
        QTEST((l_read ? QString() : QStringLiteral("refused: ")) +
                  (file ? Describe(l_file) : Describe(l_attributes)),
              "result");
        QTEST(int(l_stream.GetPendingReadLength()), "unread");
    }

    void truncatedRecordsFail()
    {
        const QByteArray l_bytes = Hex(mp3Hex);
        for (qsizetype l_length = 0; l_length < l_bytes.size(); ++l_length)
        {
            MemStream l_stream = StreamOf(l_bytes.left(l_length));
            FileInfo l_file;
            QVERIFY2(!l_file.Read(l_stream), qPrintable(QString::number(l_length)));
        }
    }

    void ordering()
    {
        const std::set<FileInfo> l_files{Mp3("b", 1),        Mp3("a", 5),  Mp3("ab", 0),
                                         Mp3("\xc3\xa9", 0), Mp3("a", -1), Mp3("z", 0),
                                         FileInfo(),         Mp3("a", 5)};
        std::list<std::pair<std::string, qint64>> l_order;
        for (const FileInfo& l_file : l_files)
            l_order.emplace_back(l_file.m_name, l_file.m_size);
        // One record per name: the first inserted stays.
        const std::list<std::pair<std::string, qint64>> l_expected{
            {"", 0}, {"a", 5}, {"ab", 0}, {"b", 1}, {"z", 0}, {"\xc3\xa9", 0}};
        QCOMPARE(l_order, l_expected);
        FileInfo l_plain = Mp3("a", 5);
        l_plain.m_attributes = AttributeMap();
        QVERIFY(!(l_plain == Mp3("a", 5)));
    }

    void folderMap()
    {
        FileInfoMap l_map;
        l_map["x\\y"].insert(Mp3("a\\b.mp3", 0x100000002LL));
        l_map["a"];
        QCOMPARE(Encoded(l_map),
                 Hex("02000000 0100000061 00000000 03000000785c79 01000000") + Hex(mp3Hex));
        // What the map held before is gone.
        MemStream l_stream = StreamOf(Encoded(l_map));
        FileInfoMap l_read{{"stale", {}}};
        QVERIFY(l_stream.Read(l_read));
        QCOMPARE(Encoded(l_read), Encoded(l_map));

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
        QCOMPARE(Encoded(l_read["f"]), Encoded(std::set<FileInfo>{Mp3("new", 1)}));
    }

    void folderMapLimits()
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

    void translationTableAndResultList()
    {
        const AttributeTranslationTable l_table{{-5, "minus"}, {0, "bitrate"}};
        QCOMPARE(Encoded(l_table),
                 Hex("02000000 fbffffff05000000 6d696e7573 0000000007000000 62697472617465"));
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
};

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
