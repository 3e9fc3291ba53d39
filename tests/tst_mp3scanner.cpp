#include "MP3Scanner.h"
#include "SharingFixture.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace
{
// Joint stereo, frequency index 0, protection bit set.
QByteArray Frames(int i_count, int i_bitrateIndex, int i_version = 1, int i_layer = 3)
{
    return TestFrame{i_version, i_layer, 1, i_bitrateIndex, 0, 1}.Frames(i_count);
}
} // namespace

// Garbage input and out-of-range headers are left to the scanner's fuzz target.
class TestMP3Scanner : public QObject
{
    Q_OBJECT

    QTemporaryDir m_folder;
    MP3Scanner m_scanner;

    // "version/channel mode/frequency/cbr or vbr/bitrate", or "" when the scan fails.
    QString Scan(const QString& i_path)
    {
        int l_version = 0, l_frequency = 0, l_bitrate = 0;
        std::string l_mode;
        bool l_isVBR = false;
        if (!m_scanner.ScanMP3(i_path.toStdString(), l_version, l_mode, l_frequency, l_isVBR,
                               l_bitrate))
            return QString();
        return QStringLiteral("%1/%2/%3/%4/%5")
            .arg(l_version)
            .arg(QString::fromStdString(l_mode))
            .arg(l_frequency)
            .arg(QLatin1String(l_isVBR ? "vbr" : "cbr"))
            .arg(l_bitrate);
    }
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
        QTest::addColumn<QString>("result");
        const QString l_fails;
        QTest::newRow("cbr 320") << Frames(50, 14) << "1/joint stereo/0/cbr/320";
        QTest::newRow("mpeg-2 mono") << TestFrame{2, 3, 1, 8, 2, 3}.Frames(20) << "2/mono/2/cbr/64";
        // 98 % is variable, with the truncated mean; 99 % is constant.
        QTest::newRow("98 %") << Frames(98, 9) + Frames(2, 14) << "1/joint stereo/0/vbr/131";
        QTest::newRow("99 %") << Frames(99, 9) + Frames(1, 14) << "1/joint stereo/0/cbr/128";
        QTest::newRow("mpeg-2.5 ties") << Frames(10, 9) + Frames(10, 9, 25) << l_fails;
        // Equal MPEG-1 and MPEG-2 votes elect MPEG-2; only its frames count.
        QTest::newRow("version tie")
            << Frames(10, 14) + Frames(10, 9, 2) << "2/joint stereo/0/cbr/80";
        // Ties of channel modes go to the higher mode; protection set must outnumber clear.
        QTest::newRow("channel tie") << TestFrame{1, 3, 1, 9, 0, 0}.Frames(10) + Frames(10, 14)
                                     << "1/joint stereo/0/cbr/320";
        QTest::newRow("protection tie") << Frames(10, 9) + TestFrame{1, 3, 0, 14, 0, 1}.Frames(10)
                                        << "1/joint stereo/0/cbr/320";
        QTest::newRow("layer II") << Frames(30, 9, 1, 2) << l_fails;
        // Layer I votes for MPEG-1 before it is refused, outvoting the MPEG-2 frames.
        QTest::newRow("layer I votes") << Frames(30, 9, 1, 1) + Frames(10, 9, 2) << l_fails;
        // A header needs one more byte after it in the same 64 KiB read.
        QTest::newRow("bare header") << TestFrame().Header() << l_fails;
        QTest::newRow("and a byte") << TestFrame().Header() + '\0' << "1/joint stereo/0/cbr/128";
        QTest::newRow("across reads") << QByteArray(65533, '\0') + Frames(1, 9) << l_fails;
        QTest::newRow("end of a read")
            << QByteArray(65531, '\0') + Frames(1, 9) << "1/joint stereo/0/cbr/128";
    }

    void scansHeaders()
    {
        QFETCH(QByteArray, bytes);
        QTEST(Scan(Write(bytes)), "result");
    }

    // What is no regular file fails at once instead of blocking the worker thread.
    void refusesWhatIsNoFile()
    {
        QVERIFY(Scan(m_folder.filePath(QStringLiteral("missing.mp3"))).isEmpty());
        QVERIFY(Scan(m_folder.path()).isEmpty());
        const QString l_fifo = m_folder.filePath(QStringLiteral("fifo.mp3"));
        QCOMPARE(::mkfifo(l_fifo.toLocal8Bit().constData(), 0600), 0);
        QVERIFY(Scan(l_fifo).isEmpty());
    }

    // Only the head of a huge file is read: the frames beyond it do not count.
    void readsABoundedHead()
    {
        QFile l_file(m_folder.filePath(QStringLiteral("huge.mp3")));
        QVERIFY(l_file.open(QIODevice::WriteOnly));
        l_file.write(Frames(512, 9));
        QVERIFY(l_file.seek(MP3Scanner::MaxScannedBytes));
        l_file.write(Frames(5120, 14));
        l_file.close();
        QCOMPARE(Scan(l_file.fileName()), QStringLiteral("1/joint stereo/0/cbr/128"));
    }

    void quitStopsLaterScans()
    {
        const QString l_path = Write(Frames(10, 9));
        QVERIFY(!Scan(l_path).isEmpty());
        m_scanner.Quit();
        QVERIFY(Scan(l_path).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestMP3Scanner)
#include "tst_mp3scanner.moc"
