#include "AttributeTranslationTable.h"
#include "FileInfoMap.h"
#include "SharedFoldersManager.h"
#include "TestSettings.h"

#include <QtEndian>
#include <QtTest>

#include <zlib.h>

class TestSharedFolders : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSettings::Declare(); }

    void constructorSetsTheGlobal()
    {
        SharedFoldersManager l_manager;
        QCOMPARE(sharedFoldersManager, &l_manager);
    }

    // Code 5, then a level-9 zlib stream of an empty folder map and an empty attribute table.
    void sharedFilesMessageOfAnEmptyShare()
    {
        SharedFoldersManager l_manager;
        MemStream l_message = l_manager.GetSharedFilesMessage("bob");
        quint32 l_code = 0;
        QVERIFY(l_message.Read(l_code));
        QCOMPARE(l_code, quint32(5));

        QByteArray const l_packed(l_message.GetReadBuffer(), l_message.GetPendingReadLength());
        QCOMPARE(l_packed.left(2).toHex(), QByteArray("78da"));
        Bytef l_unpacked[64];
        uLongf l_unpackedSize = sizeof l_unpacked;
        QCOMPARE(uncompress(l_unpacked, &l_unpackedSize,
                            reinterpret_cast<const Bytef*>(l_packed.constData()),
                            uLong(l_packed.size())),
                 Z_OK);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(l_unpacked), qsizetype(l_unpackedSize)),
                 QByteArray(8, '\0'));

        MemStream l_body;
        l_body.WriteBuffer(l_unpacked, l_unpackedSize);
        FileInfoMap l_folders{{"x", {}}};
        AttributeTranslationTable l_table{{1, "y"}};
        QVERIFY(l_body.Read(l_folders));
        QVERIFY(l_body.Read(l_table));
        QVERIFY(l_folders.empty());
        QVERIFY(l_table.empty());
        QCOMPARE(l_body.GetPendingReadLength(), 0);
    }

    // Only the own user's statistics set upload_speed, as signed decimal text.
    void ownStatisticsGiveTheUploadSpeed()
    {
        SharedFoldersManager l_manager;
        UserStats l_stats;
        l_stats.m_averageSpeed = 1234;

        l_manager.OnReceivedUserStats("alice", l_stats);
        QVERIFY(TestSettings::Setting("upload_speed").IsNull());

        TestSettings::SetSetting("username", "alice");
        l_manager.OnReceivedUserStats("bob", l_stats);
        QVERIFY(TestSettings::Setting("upload_speed").IsNull());

        l_manager.OnReceivedUserStats("alice", l_stats);
        QCOMPARE(TestSettings::Setting("upload_speed").AsString(), std::string("1234"));

        l_stats.m_averageSpeed = 4000000000U;
        l_manager.OnReceivedUserStats("alice", l_stats);
        QCOMPARE(TestSettings::Setting("upload_speed").AsString(), std::string("-294967296"));
    }
};

QTEST_GUILESS_MAIN(TestSharedFolders)
#include "tst_sharedfolders.moc"
