#include "Data.h"
#include "DataSaver.h"
#include "StoreFunctions.h"

#include <QTemporaryDir>
#include <QtTest>

class TestSettingsTypes : public QObject
{
    Q_OBJECT

    DataSaver m_saver;
    QTemporaryDir m_folder;

    // Saves, empties the store and loads it back.
    void Reload()
    {
        const QString l_path = m_folder.filePath(QStringLiteral("data"));
        m_saver.Save(l_path);
        d.RemoveAllItems();
        m_saver.Load(l_path);
    }

private slots:
    void initTestCase()
    {
        d.NewType("user", true, false, true);
        DeclareSettingsTypes();
        DeclareUserDataTypes();
    }

    void init() { d.RemoveAllItems(); }

    // Settings, wish-list searches and notes are kept; run-time settings and values that no
    // setting holds are not.
    void dataFileKeepsUserData()
    {
        SetSetting("download_folder", "/home/x/Downloads");
        SetVolatileSetting("wish_list_index", 3);
        d.GetType("global_value")->GetItem("orphan");
        ItemPtr(d.GetType("wish_list_item")->GetItem("some band"))
            .NewItem("wish_list_item_enabled");
        d.GetType("wish_list_item")->GetItem("disabled search");
        ItemPtr(d.GetType("user")->GetItem("noted")) += d.GetType("user_note")->GetItem("a note");
        ItemPtr l_unnoted = d.GetType("user")->GetItem("unnoted");
        l_unnoted += d.GetType("user_note")->GetItem("gone soon");
        l_unnoted.Disconnect("user_note");
        d.GetType("user")->GetItem("plain");
        Reload();

        QCOMPARE(SettingValue("download_folder").AsString(), std::string("/home/x/Downloads"));
        QVERIFY(VolatileSettingValue("wish_list_index").IsNull());
        QVERIFY(d.GetType("global_value")->HasItem("orphan").IsNull());
        QVERIFY(d.GetType("wish_list_item")
                    ->HasItem("some band")
                    .IsConnected("wish_list_item_enabled"));
        QVERIFY(!d.GetType("wish_list_item")
                     ->HasItem("disabled search")
                     .IsConnected("wish_list_item_enabled"));
        QCOMPARE(d.GetType("user")->HasItem("noted")["user_note"].AsString(),
                 std::string("a note"));
        QVERIFY(d.GetType("user")->HasItem("unnoted").IsNull());
        QVERIFY(d.GetType("user")->HasItem("plain").IsNull());
    }
};

QTEST_GUILESS_MAIN(TestSettingsTypes)
#include "tst_settings.moc"
