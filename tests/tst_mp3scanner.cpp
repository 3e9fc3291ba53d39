#include "MP3Scanner.h"
#include "SharingFixture.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace
{
TestFrame Frame(int i_bitrateIndex, int i_version = 1)
{
    TestFrame l_frame;
    l_frame.m_bitrateIndex = i_bitrateIndex;
    l_frame.m_version = i_version;
    return l_frame;
}

struct Result
{
    bool m_ok = false;
    int m_version = 0;
    std::string m_channelMode;
    int m_frequency = -1;
    bool m_isVBR = false;
    int m_bitrate = 0;
};

Result Scan(MP3Scanner& i_scanner, const QString& i_path)
{
    Result l_result;
    l_result.m_ok =
        i_scanner.ScanMP3(i_path.toStdString(), l_result.m_version, l_result.m_channelMode,
                          l_result.m_frequency, l_result.m_isVBR, l_result.m_bitrate);
    return l_result;
}
} // namespace

class TestMP3Scanner : public QObject
{
    Q_OBJECT

    QTemporaryDir m_folder;
    MP3Scanner m_scanner;

    QString Write(const QByteArray& i_bytes)
    {
        const QString l_path = m_folder.filePath(QStringLiteral("f.mp3"));
        if (!SharingFixture::WriteFile(l_path, i_bytes))
            qFatal("cannot write the test file");
        return l_path;
    }

private slots:
    void scansHeaders_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("version");
        QTest::addColumn<QString>("channelMode");
        QTest::addColumn<int>("frequency");
        QTest::addColumn<bool>("isVBR");
        QTest::addColumn<int>("bitrate");

        TestFrame l_mono2 = Frame(8, 2);
        l_mono2.m_channelMode = 3;
        l_mono2.m_frequency = 2;
        TestFrame l_stereo = Frame(9);
        l_stereo.m_channelMode = 0;
        TestFrame l_clear = Frame(14);
        l_clear.m_protectionBit = 0;
        TestFrame l_layer2 = Frame(9);
        l_layer2.m_layer = 2;
        TestFrame l_layer1 = Frame(9);
        l_layer1.m_layer = 1;
        TestFrame l_badFrequency = Frame(9);
        l_badFrequency.m_frequency = 3;

        QTest::newRow("cbr 320") << Frame(14).Frames(50) << true << 1 << "joint stereo" << 0
                                 << false << 320;
        QTest::newRow("mpeg-2 mono")
            << l_mono2.Frames(20) << true << 2 << "mono" << 2 << false << 64;
        // 98 % is variable, with the truncated mean; 99 % is constant.
        QTest::newRow("98 percent") << Frame(9).Frames(98) + Frame(14).Frames(2) << true << 1
                                    << "joint stereo" << 0 << true << 131;
        QTest::newRow("99 percent") << Frame(9).Frames(99) + Frame(14).Frames(1) << true << 1
                                    << "joint stereo" << 0 << false << 128;
        QTest::newRow("mpeg-2.5") << Frame(9, 25).Frames(10) << false << 0 << "" << -1 << false
                                  << -1;
        QTest::newRow("mpeg-2.5 ties") << Frame(9).Frames(10) + Frame(9, 25).Frames(10) << false
                                       << 0 << "" << -1 << false << -1;
        // Equal MPEG-1 and MPEG-2 votes elect MPEG-2; only its frames count.
        QTest::newRow("version tie") << Frame(14).Frames(10) + Frame(9, 2).Frames(10) << true << 2
                                     << "joint stereo" << 0 << false << 80;
        // A tie of channel modes goes to the higher mode.
        QTest::newRow("channel tie") << l_stereo.Frames(10) + Frame(14).Frames(10) << true << 1
                                     << "joint stereo" << 0 << false << 320;
        // Protection set must outnumber clear.
        QTest::newRow("protection tie") << Frame(9).Frames(10) + l_clear.Frames(10) << true << 1
                                        << "joint stereo" << 0 << false << 320;
        QTest::newRow("layer II") << l_layer2.Frames(30) << false << 0 << "" << -1 << false << -1;
        // Layer I votes for MPEG-1 before it is rejected, outvoting the MPEG-2 frames.
        QTest::newRow("layer I votes") << l_layer1.Frames(30) + Frame(9, 2).Frames(10) << false << 0
                                       << "" << -1 << false << -1;
        QTest::newRow("reserved frequency")
            << l_badFrequency.Frames(30) << false << 0 << "" << -1 << false << -1;
        QTest::newRow("reserved version")
            << Frame(9, 0).Frames(30) << false << 0 << "" << -1 << false << -1;
        QTest::newRow("empty") << QByteArray() << false << 0 << "" << -1 << false << -1;
        QTest::newRow("no sync") << QByteArray("hello, no frames here").repeated(500) << false << 0
                                 << "" << -1 << false << -1;
        // A header needs one byte after it in the same read.
        QTest::newRow("bare header") << Frame(9).Header() << false << 0 << "" << -1 << false << -1;
        QTest::newRow("header and a byte")
            << Frame(9).Header() + '\0' << true << 1 << "joint stereo" << 0 << false << 128;
        QTest::newRow("across reads") << QByteArray(65533, '\0') + Frame(9).Frames(1) << false << 0
                                      << "" << -1 << false << -1;
        QTest::newRow("last in a read") << QByteArray(65531, '\0') + Frame(9).Frames(1) << true << 1
                                        << "joint stereo" << 0 << false << 128;
    }

    void scansHeaders()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, ok);
        const Result l_result = Scan(m_scanner, Write(bytes));
        QCOMPARE(l_result.m_ok, ok);
        if (!ok)
            return;
        QTEST(l_result.m_version, "version");
        QTEST(QString::fromStdString(l_result.m_channelMode), "channelMode");
        QTEST(l_result.m_frequency, "frequency");
        QTEST(l_result.m_isVBR, "isVBR");
        QTEST(l_result.m_bitrate, "bitrate");
    }

    // Files that are no regular file fail at once instead of blocking the worker thread.
    void refusesWhatIsNoFile()
    {
        QVERIFY(!Scan(m_scanner, m_folder.filePath(QStringLiteral("missing.mp3"))).m_ok);
        QVERIFY(!Scan(m_scanner, m_folder.path()).m_ok);
        const QString l_fifo = m_folder.filePath(QStringLiteral("fifo.mp3"));
        QCOMPARE(::mkfifo(l_fifo.toLocal8Bit().constData(), 0600), 0);
        QVERIFY(!Scan(m_scanner, l_fifo).m_ok);
    }

    // Random bytes give a result or none, never a crash.
    void garbageNeverCrashes()
    {
        QRandomGenerator l_random(1234);
        for (int l_round = 0; l_round < 50; ++l_round)
        {
            QByteArray l_bytes(l_random.bounded(1, 20000), '\0');
            for (char& l_byte : l_bytes)
                l_byte = char(l_random.bounded(256));
            const Result l_result = Scan(m_scanner, Write(l_bytes));
            QVERIFY(!l_result.m_ok || (l_result.m_bitrate >= 8 && l_result.m_bitrate <= 320));
        }
    }

    // Only the head of a huge file is read: the frames beyond it do not count.
    void readsABoundedHead()
    {
        const QString l_path = m_folder.filePath(QStringLiteral("huge.mp3"));
        QFile l_file(l_path);
        QVERIFY(l_file.open(QIODevice::WriteOnly));
        l_file.write(Frame(9).Frames(512));
        QVERIFY(l_file.seek(MP3Scanner::MaxScannedBytes));
        l_file.write(Frame(14).Frames(5120));
        l_file.close();
        const Result l_result = Scan(m_scanner, l_path);
        QVERIFY(l_result.m_ok);
        QCOMPARE(l_result.m_isVBR, false);
        QCOMPARE(l_result.m_bitrate, 128);
    }

    void quitStopsLaterScans()
    {
        const QString l_path = Write(Frame(9).Frames(10));
        QVERIFY(Scan(m_scanner, l_path).m_ok);
        m_scanner.Quit();
        QVERIFY(!Scan(m_scanner, l_path).m_ok);
    }
};

QTEST_GUILESS_MAIN(TestMP3Scanner)
#include "tst_mp3scanner.moc"
