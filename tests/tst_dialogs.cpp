#include "AddSharedFolderDialog.h"
#include "ChangeListeningPortDialog.h"
#include "ChangeUsernamePasswordDialog.h"
#include "Data.h"
#include "TestSettings.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace
{
// Keeps the title of every message box shown while it lives, answering each with OK.
class MessageBoxes
{
public:
    MessageBoxes()
    {
        QObject::connect(&m_timer, &QTimer::timeout,
                         [this]
                         {
                             auto* lp_box =
                                 qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                             if (!lp_box)
                                 return;
                             m_seen.append(lp_box->windowTitle());
                             lp_box->accept();
                         });
        m_timer.start(5);
    }
    QStringList m_seen;

private:
    QTimer m_timer;
};

// A data row of text columns.
void Row(const char* ip_name, std::initializer_list<const char*> i_columns)
{
    QTestData& l_row = QTest::newRow(ip_name);
    for (const char* lp_column : i_columns)
        l_row << QString::fromUtf8(lp_column);
}

QString SettingText(const char* ip_key)
{
    return QString::fromStdString(TestSettings::Setting(ip_key).AsString());
}

template <typename T> T* Child(QWidget* ip_dialog, const char* ip_name)
{
    return ip_dialog->findChild<T*>(QString::fromLatin1(ip_name));
}

// What the shared folder is open to: "public", "userlist" and its groups.
QStringList Access(const char* ip_folder)
{
    ItemPtr l_folder = d.GetType("shared_folder")->HasItem(ip_folder);
    QStringList l_access;
    if (!l_folder)
        return l_access;
    for (const char* lp_flag : {"shared_public", "shared_userlist"})
        if (l_folder.IsConnected(lp_flag))
            l_access.append(QString::fromLatin1(lp_flag + 7));
    for (Item* lp_group : l_folder.GetItems("user_list_group"))
        l_access.append(QString::fromLatin1(lp_group->Value()));
    return l_access;
}
} // namespace

class TestDialogs : public QObject
{
    Q_OBJECT

private slots:
    // The sharing vocabulary as the sharing service and the server declare it.
    void initTestCase()
    {
        TestSettings::Declare();
        d.NewType("user_list_group", true, false, true);
        Type* lp_folder = d.NewType("shared_folder", true, false, true);
        for (const char* lp_flag : {"shared_public", "shared_userlist"})
            lp_folder->RelateToType(d.NewType(lp_flag, false, true, true), Many, One, false);
        lp_folder->RelateToType("user_list_group", Many, Many, false);
    }

    void init()
    {
        d.RemoveAllItems();
        TestSettings::SetSetting("username", "old");
        TestSettings::SetSetting("password", "old secret");
        TestSettings::SetSetting("listening_port", 2235);
        for (const char* lp_group : {"zeta", "alpha", "mid", "\xe9t\xe9", "x\xe2\x80\xae"})
            d.GetType("user_list_group")->GetItem(lp_group);
    }

    void usernameAndPassword_data()
    {
        for (const char* lp_column : {"name", "password", "stored"})
            QTest::addColumn<QString>(lp_column);
        Row("trimmed", {"  alice\t", " pw ", "alice|pw"});
        Row("inner blanks stay", {" a b ", " p q ", "a b|p q"});
        Row("blank name", {"   ", "pw", ""});
        Row("empty password", {"bob", "", ""});
    }

    // The normal form shows the stored values in plain text, stores trimmed values, stays open
    // while a field is empty, and frees itself however it closes.
    void usernameAndPassword()
    {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(QString, stored);
        QPointer<ChangeUsernamePasswordDialog> lp_dialog = new ChangeUsernamePasswordDialog(false);
        lp_dialog->show();
        auto* lp_name = Child<QLineEdit>(lp_dialog, "usernameEdit");
        auto* lp_password = Child<QLineEdit>(lp_dialog, "passwordEdit");
        QCOMPARE(lp_name->text() + QLatin1Char('|') + lp_password->text(), u"old|old secret"_s);
        QCOMPARE(lp_password->echoMode(), QLineEdit::Normal);
        lp_name->setText(name);
        lp_password->setText(password);
        lp_dialog->accept();
        QCOMPARE(lp_dialog->isVisible(), stored.isEmpty());
        QCOMPARE(SettingText("username") + QLatin1Char('|') + SettingText("password"),
                 stored.isEmpty() ? u"old|old secret"_s : stored);
        lp_dialog->reject();
        QTRY_VERIFY_WITH_TIMEOUT(lp_dialog.isNull(), 10000);

        ChangeUsernamePasswordDialog l_firstRun(true);
        QVERIFY(!l_firstRun.testAttribute(Qt::WA_DeleteOnClose));
    }

    void listeningPort_data()
    {
        for (const char* lp_column : {"typed", "pending", "box", "stored"})
            QTest::addColumn<QString>(lp_column);
        Row("highest port", {"65534", "", "Change to Listening Port Pending", "65534"});
        Row("no port above it", {"65535", "", "Invalid Port Number", ""});
        Row("short entry", {"80", "", "Change to Listening Port Pending", "80"});
        Row("above the range", {"65536", "", "Invalid Port Number", ""});
        Row("empty", {"", "", "Invalid Port Number", ""});
        Row("port in use while another is pending",
            {"2235", "3000", "Port Number Not Changed", "3000"});
        Row("the pending port again", {"3000", "3000", "Change to Listening Port Pending", "3000"});
    }

    // The port is checked, stored as pending and announced; the dialog frees itself however it
    // closes.
    void listeningPort()
    {
        QFETCH(QString, typed);
        QFETCH(QString, pending);
        QFETCH(QString, box);
        QFETCH(QString, stored);
        if (!pending.isEmpty())
            TestSettings::SetSetting("new_listening_port", Value(pending));
        QPointer<ChangeListeningPortDialog> lp_dialog = new ChangeListeningPortDialog;
        lp_dialog->show();
        auto* lp_port = Child<QLineEdit>(lp_dialog, "portEdit");
        QCOMPARE(lp_port->text(), u"2235"_s);
        lp_port->clear();
        QTest::keyClicks(lp_port, typed);
        {
            MessageBoxes l_seen;
            lp_dialog->accept();
            QCOMPARE(l_seen.m_seen, QStringList{box});
        }
        QCOMPARE(SettingText("new_listening_port"), stored);
        QCOMPARE(SettingText("listening_port"), u"2235"_s);
        QCOMPARE(lp_dialog && lp_dialog->isVisible(), !box.endsWith(u"Pending"_s));
        if (lp_dialog)
            lp_dialog->reject();
        QTRY_VERIFY_WITH_TIMEOUT(lp_dialog.isNull(), 10000);
    }

    void sharingAFolder_data()
    {
        for (const char* lp_column : {"folder", "sharedBefore", "boxes", "groups", "access"})
            QTest::addColumn<QString>(lp_column);
        Row("everyone, whatever else shows", {"/music", "", "11", "zeta", "public"});
        Row("user list", {"/music", "", "01", "", "userlist"});
        // A group whose name is not UTF-8: the row gives its bytes, which the shown name cannot.
        Row("groups", {"/music", "", "00", "zeta \xef\xbf\xbdt\xef\xbf\xbd alpha",
                       "zeta alpha \xc3\xa9t\xc3\xa9"});
        Row("nobody", {"/music", "", "00", "", ""});
        Row("no folder", {"", "", "11", "", ""});
        Row("shared again adds", {"/music", "/music", "11", "", "public userlist"});
    }

    void sharingAFolder()
    {
        QFETCH(QString, folder);
        QFETCH(QString, sharedBefore);
        QFETCH(QString, boxes);
        QFETCH(QString, groups);
        QFETCH(QString, access);
        if (!sharedBefore.isEmpty())
            ItemPtr(d.GetType("shared_folder")->GetItem(sharedBefore)).NewItem("shared_userlist");
        QPointer<AddSharedFolderDialog> lp_dialog = new AddSharedFolderDialog;
        lp_dialog->show();
        Child<QLineEdit>(lp_dialog, "selectedFolderEdit")->setText(folder);
        Child<QCheckBox>(lp_dialog, "everyoneCheckBox")->setChecked(boxes[0] == QLatin1Char('1'));
        Child<QCheckBox>(lp_dialog, "userListCheckBox")->setChecked(boxes[1] == QLatin1Char('1'));
        auto* lp_groups = Child<QListWidget>(lp_dialog, "groupsListWidget");
        QCOMPARE(lp_groups->findItems(u"x<U+202E>"_s, Qt::MatchExactly).size(), 1);
        for (const QString& l_group : groups.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            lp_groups->findItems(l_group, Qt::MatchExactly).first()->setCheckState(Qt::Checked);
        lp_dialog->accept();
        QCOMPARE(lp_dialog && lp_dialog->isVisible(), folder.isEmpty());
        QCOMPARE(d.GetType("shared_folder")->ItemCount(), std::size_t(folder.isEmpty() ? 0 : 1));
        QCOMPARE(Access("/music").join(QLatin1Char(' ')), access);
        if (lp_dialog)
            lp_dialog->reject();
        QTRY_VERIFY_WITH_TIMEOUT(lp_dialog.isNull(), 10000);
    }
};

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
