#include "MD5.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

namespace
{
std::string HexOf(MD5& i_md5)
{
    std::unique_ptr<char[]> l_hex(i_md5.hex_digest());
    return std::string(l_hex.get());
}

std::string DigestInOnePiece(const QByteArray& i_data)
{
    MD5 l_md5;
    l_md5.update(reinterpret_cast<const unsigned char*>(i_data.constData()),
                 static_cast<unsigned int>(i_data.size()));
    l_md5.finalize();
    return HexOf(l_md5);
}

std::string DigestInPieces(const QByteArray& i_data, qsizetype i_pieceSize)
{
    MD5 l_md5;
    for (qsizetype l_at = 0; l_at < i_data.size(); l_at += i_pieceSize)
    {
        const qsizetype l_length = qMin(i_pieceSize, i_data.size() - l_at);
        l_md5.update(reinterpret_cast<const unsigned char*>(i_data.constData() + l_at),
                     static_cast<unsigned int>(l_length));
    }
    l_md5.finalize();
    return HexOf(l_md5);
}

std::string Oracle(const QByteArray& i_data)
{
    return QCryptographicHash::hash(i_data, QCryptographicHash::Md5).toHex().toStdString();
}

QByteArray RandomBytes(qsizetype i_size)
{
    QByteArray l_data(i_size, Qt::Uninitialized);
    for (char& l_byte : l_data)
        l_byte = static_cast<char>(QRandomGenerator::global()->bounded(256));
    return l_data;
}

// Captures what the digest writes to std::cerr while alive.
class CerrCapture
{
public:
    CerrCapture() : mp_old(std::cerr.rdbuf(m_text.rdbuf())) {}
    ~CerrCapture() { std::cerr.rdbuf(mp_old); }
    std::string Text() const { return m_text.str(); }

private:
    std::ostringstream m_text;
    std::streambuf* mp_old;
};
} // namespace

class TestMd5 : public QObject
{
    Q_OBJECT

private slots:
    void Rfc1321Suite_data();
    void Rfc1321Suite();
    void MatchesOracleAtEveryLengthAroundBlocks();
    void PiecesAcrossBlockBoundary_data();
    void PiecesAcrossBlockBoundary();
    void EmptyPiecesChangeNothing();
    void LongInputs();
    void BitCountCarriesIntoHighWord();
    void HexDigestIsLowercase();
    void RawDigestMatchesHex();
    void StreamConstructors();
    void OutputOperator();
    void MisuseIsReportedAndHarmless();
    void CopyKeepsIndependentState();
};

void TestMd5::Rfc1321Suite_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("digest");
    QTest::newRow("empty") << QByteArray() << QByteArray("d41d8cd98f00b204e9800998ecf8427e");
    QTest::newRow("a") << QByteArray("a") << QByteArray("0cc175b9c0f1b6a831c399e269772661");
    QTest::newRow("abc") << QByteArray("abc") << QByteArray("900150983cd24fb0d6963f7d28e17f72");
    QTest::newRow("message digest")
        << QByteArray("message digest") << QByteArray("f96b697d7cb7938d525a2f31aaf161d0");
    QTest::newRow("alphabet") << QByteArray("abcdefghijklmnopqrstuvwxyz")
                              << QByteArray("c3fcd3d76192e4007dfb496cca67e13b");
    QTest::newRow("alphanumeric")
        << QByteArray("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")
        << QByteArray("d174ab98d277d9f5a5611c2c9f419d9f");
    QTest::newRow("80 digits") << QByteArray("1234567890123456789012345678901234567890"
                                             "1234567890123456789012345678901234567890")
                               << QByteArray("57edf4a22be3c955ac49da2e2107b67a");
}

void TestMd5::Rfc1321Suite()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, digest);
    QCOMPARE(DigestInOnePiece(input), digest.toStdString());
    QCOMPARE(DigestInPieces(input, 1), digest.toStdString());
}

void TestMd5::MatchesOracleAtEveryLengthAroundBlocks()
{
    // Every length up to three blocks covers the padding boundaries 55/56 and 63/64/65.
    const QByteArray l_data = RandomBytes(200);
    for (qsizetype l_length = 0; l_length <= l_data.size(); ++l_length)
    {
        const QByteArray l_input = l_data.left(l_length);
        QCOMPARE(DigestInOnePiece(l_input), Oracle(l_input));
    }
}

void TestMd5::PiecesAcrossBlockBoundary_data()
{
    QTest::addColumn<int>("pieceSize");
    for (int l_size : {1, 3, 55, 56, 63, 64, 65, 127, 128, 129, 1000})
        QTest::newRow(qPrintable(QString::number(l_size))) << l_size;
}

void TestMd5::PiecesAcrossBlockBoundary()
{
    QFETCH(int, pieceSize);
    for (qsizetype l_length : {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 1000, 4099})
    {
        const QByteArray l_input = RandomBytes(l_length);
        QCOMPARE(DigestInPieces(l_input, pieceSize), Oracle(l_input));
    }
}

void TestMd5::EmptyPiecesChangeNothing()
{
    const QByteArray l_input = RandomBytes(130);
    MD5 l_md5;
    const auto* l_bytes = reinterpret_cast<const unsigned char*>(l_input.constData());
    l_md5.update(l_bytes, 0);
    l_md5.update(l_bytes, 60);
    l_md5.update(l_bytes + 60, 0);
    l_md5.update(l_bytes + 60, 70);
    l_md5.update(nullptr, 0);
    l_md5.finalize();
    QCOMPARE(HexOf(l_md5), Oracle(l_input));
}

void TestMd5::LongInputs()
{
    const QByteArray l_input = RandomBytes(3 * 1000 * 1000 + 17);
    QCOMPARE(DigestInOnePiece(l_input), Oracle(l_input));
    QCOMPARE(DigestInPieces(l_input, 4093), Oracle(l_input));

    // The classic million 'a's.
    QCOMPARE(DigestInPieces(QByteArray(1000000, 'a'), 1000),
             std::string("7707d6ae4e027c70eea2a935c2296f21"));
}

void TestMd5::BitCountCarriesIntoHighWord()
{
    // 2^32 bits is 512 MiB: hashing a little more makes the low word of the count wrap.
    const QByteArray l_chunk = RandomBytes(1 << 20);
    const int l_chunks = 513;
    MD5 l_md5;
    QCryptographicHash l_oracle(QCryptographicHash::Md5);
    for (int i = 0; i < l_chunks; ++i)
    {
        l_md5.update(reinterpret_cast<const unsigned char*>(l_chunk.constData()),
                     static_cast<unsigned int>(l_chunk.size()));
        l_oracle.addData(l_chunk);
    }
    l_md5.update(reinterpret_cast<const unsigned char*>(l_chunk.constData()), 5);
    l_oracle.addData(l_chunk.left(5));
    l_md5.finalize();
    QCOMPARE(HexOf(l_md5), l_oracle.result().toHex().toStdString());
}

void TestMd5::HexDigestIsLowercase()
{
    MD5 l_md5;
    l_md5.update(reinterpret_cast<const unsigned char*>("userpassword"), 12);
    l_md5.finalize();
    const std::string l_hex = HexOf(l_md5);
    QCOMPARE(l_hex.size(), std::size_t(32));
    for (char l_char : l_hex)
        QVERIFY((l_char >= '0' && l_char <= '9') || (l_char >= 'a' && l_char <= 'f'));
    QCOMPARE(l_hex, Oracle("userpassword"));
}

void TestMd5::RawDigestMatchesHex()
{
    MD5 l_md5;
    l_md5.update(reinterpret_cast<const unsigned char*>("abc"), 3);
    l_md5.finalize();
    std::unique_ptr<unsigned char[]> l_raw(l_md5.raw_digest());
    QVERIFY(l_raw);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(l_raw.get()), 16),
             QCryptographicHash::hash("abc", QCryptographicHash::Md5));
}

void TestMd5::StreamConstructors()
{
    const QByteArray l_input = RandomBytes(5000);
    const std::string l_expected = Oracle(l_input);

    std::istringstream l_stream(l_input.toStdString());
    MD5 l_fromStream(l_stream);
    QCOMPARE(HexOf(l_fromStream), l_expected);
    QVERIFY(l_stream.eof());

    QTemporaryFile l_file;
    QVERIFY(l_file.open());
    QCOMPARE(l_file.write(l_input), l_input.size());
    l_file.close();
    const std::string l_path = l_file.fileName().toStdString();

    std::ifstream l_fileStream(l_path, std::ios::binary);
    MD5 l_fromFileStream(l_fileStream);
    QCOMPARE(HexOf(l_fromFileStream), l_expected);
    QVERIFY(l_fileStream.is_open());

    // The handle is closed by the digest.
    MD5 l_fromHandle(std::fopen(l_path.c_str(), "rb"));
    QCOMPARE(HexOf(l_fromHandle), l_expected);

    // A file that could not be opened gives the digest of nothing rather than a crash.
    MD5 l_fromMissing(static_cast<FILE*>(nullptr));
    QCOMPARE(HexOf(l_fromMissing), Oracle(QByteArray()));

    std::istringstream l_empty;
    MD5 l_fromEmpty(l_empty);
    QCOMPARE(HexOf(l_fromEmpty), Oracle(QByteArray()));
}

void TestMd5::OutputOperator()
{
    MD5 l_md5;
    l_md5.update(reinterpret_cast<const unsigned char*>("a"), 1);
    l_md5.finalize();
    std::ostringstream l_out;
    l_out << l_md5 << '|';
    QCOMPARE(l_out.str(), std::string("0cc175b9c0f1b6a831c399e269772661|"));
}

void TestMd5::MisuseIsReportedAndHarmless()
{
    MD5 l_open;
    {
        CerrCapture l_capture;
        // Not finalized: both digests are empty and may be freed like any other result.
        std::unique_ptr<unsigned char[]> l_raw(l_open.raw_digest());
        std::unique_ptr<char[]> l_hex(l_open.hex_digest());
        QVERIFY(!l_raw);
        QVERIFY(l_hex);
        QCOMPARE(l_hex[0], '\0');
        QCOMPARE(l_capture.Text(),
                 std::string("MD5::raw_digest:  Can't get digest if you haven't finalized the "
                             "digest!\nMD5::hex_digest:  Can't get digest if you haven't "
                             "finalized the digest!\n"));
    }

    MD5 l_md5;
    l_md5.update(reinterpret_cast<const unsigned char*>("abc"), 3);
    l_md5.finalize();
    const std::string l_before = HexOf(l_md5);
    {
        CerrCapture l_capture;
        l_md5.update(reinterpret_cast<const unsigned char*>("more"), 4);
        l_md5.finalize();
        QCOMPARE(l_capture.Text(), std::string("MD5::update:  Can't update a finalized digest!\n"
                                               "MD5::finalize:  Already finalized this digest!\n"));
    }
    QCOMPARE(HexOf(l_md5), l_before);
    QCOMPARE(l_before, Oracle("abc"));

    {
        CerrCapture l_capture;
        std::ostringstream l_out;
        l_out << l_open;
        QCOMPARE(l_out.str(), std::string());
    }
}

void TestMd5::CopyKeepsIndependentState()
{
    MD5 l_first;
    l_first.update(reinterpret_cast<const unsigned char*>("hello "), 6);
    MD5 l_second = l_first;
    l_first.update(reinterpret_cast<const unsigned char*>("world"), 5);
    l_second.update(reinterpret_cast<const unsigned char*>("there"), 5);
    l_first.finalize();
    l_second.finalize();
    QCOMPARE(HexOf(l_first), Oracle("hello world"));
    QCOMPARE(HexOf(l_second), Oracle("hello there"));
}

QTEST_GUILESS_MAIN(TestMd5)
#include "tst_md5.moc"
