#include "Data.h"
#include "DataSaver.h"
#include "StoreFunctions.h"

#include <QTemporaryDir>
#include <QtTest>

class TestSettingsTypes : public QObject
{
    Q_OBJECT

private slots:
    // Settings, wish-list searches and notes are kept; run-time settings and values that no
    // setting holds are not.
    void dataFileKeepsUserData()
    {
        DataSaver l_saver;
        Type* lp_user = d.NewType("user", true, false, true);
        DeclareSettingsTypes();
        DeclareUserDataTypes();
        Type* lp_wish = d.GetType("wish_list_item");
        Type* lp_note = d.GetType("user_note");
        SetSetting("download_folder", "/home/x/Downloads");
        SetVolatileSetting("wish_list_index", 3);
        d.GetType("global_value")->GetItem("orphan");
        ItemPtr(lp_wish->GetItem("some band")).NewItem("wish_list_item_enabled");
        lp_wish->GetItem("disabled search");
        ItemPtr(lp_user->GetItem("noted")) += lp_note->GetItem("a note");
        ItemPtr l_unnoted = lp_user->GetItem("unnoted");
        l_unnoted += lp_note->GetItem("gone soon");
        l_unnoted.Disconnect("user_note");
        lp_user->GetItem("plain");

        QTemporaryDir l_folder;
        const QString l_path = l_folder.filePath(QStringLiteral("data"));
        l_saver.Save(l_path);
        d.RemoveAllItems();
        l_saver.Load(l_path);

        QCOMPARE(SettingValue("download_folder").AsString(), std::string("/home/x/Downloads"));
        QVERIFY(VolatileSettingValue("wish_list_index").IsNull());
        QVERIFY(d.GetType("global_value")->HasItem("orphan").IsNull());
        QVERIFY(lp_wish->HasItem("some band").IsConnected("wish_list_item_enabled"));
        QVERIFY(!lp_wish->HasItem("disabled search").IsConnected("wish_list_item_enabled"));
        QCOMPARE(lp_user->HasItem("noted")["user_note"].AsString(), std::string("a note"));
        QVERIFY(lp_user->HasItem("unnoted").IsNull());
        QVERIFY(lp_user->HasItem("plain").IsNull());
    }
};

QTEST_GUILESS_MAIN(TestSettingsTypes)
#include "tst_settings.moc"
