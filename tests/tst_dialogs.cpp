#include "AddSharedFolderDialog.h"
#include "ChangeListeningPortDialog.h"
#include "ChangeUsernamePasswordDialog.h"
#include "Data.h"
#include "SharedFilesRescannedDialog.h"
#include "TestSettings.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace
{
// Answers every modal window that opens while it lives, the way the given function says.
class ModalAnswerer
{
public:
    explicit ModalAnswerer(std::function<void(QWidget*)> i_answer)
    {
        QObject::connect(&m_timer, &QTimer::timeout,
                         [i_answer]
                         {
                             if (QWidget* lp_modal = QApplication::activeModalWidget())
                                 i_answer(lp_modal);
                         });
        m_timer.start(5);
    }

private:
    QTimer m_timer;
};

// The title and text of each message box shown, each answered with OK.
class MessageBoxes : public ModalAnswerer
{
public:
    MessageBoxes()
        : ModalAnswerer(
              [this](QWidget* ip_modal)
              {
                  if (auto* lp_box = qobject_cast<QMessageBox*>(ip_modal))
                  {
                      m_seen.append(lp_box->windowTitle() + QLatin1Char('|') + lp_box->text());
                      lp_box->accept();
                  }
              })
    {
    }
    QStringList m_seen;
};

QString SettingText(const char* ip_key)
{
    return QString::fromStdString(TestSettings::Setting(ip_key).AsString());
}

template <typename T> T* Child(QWidget* ip_dialog, const char* ip_name)
{
    return ip_dialog->findChild<T*>(QString::fromLatin1(ip_name));
}

void DeclareSharingVocabulary()
{
    d.NewType("user_list_group", true, false, true);
    d.NewType("shared_folder", true, false, true);
    d.NewType("shared_public", false, true, true);
    d.NewType("shared_userlist", false, true, true);
    Type* lp_folder = d.GetType("shared_folder");
    lp_folder->RelateToType("shared_public", Many, One, false);
    lp_folder->RelateToType("shared_userlist", Many, One, false);
    lp_folder->RelateToType("user_list_group", Many, Many, false);
}

// What a shared folder is open to: "public", "userlist" and its groups' names.
QStringList Access(const char* ip_folder)
{
    ItemPtr l_folder = d.GetType("shared_folder")->HasItem(ip_folder);
    QStringList l_access;
    if (l_folder.IsConnected("shared_public"))
        l_access.append(QStringLiteral("public"));
    if (l_folder.IsConnected("shared_userlist"))
        l_access.append(QStringLiteral("userlist"));
    for (Item* lp_group : l_folder.GetItems("user_list_group"))
        l_access.append(QString::fromStdString(lp_group->Value()));
    return l_access;
}
} // namespace

class TestDialogs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TestSettings::Declare();
        DeclareSharingVocabulary();
    }

    void init()
    {
        d.RemoveAllItems();
        TestSettings::SetSetting("username", "old");
        TestSettings::SetSetting("password", "old secret");
        TestSettings::SetSetting("listening_port", 2235);
    }

    void usernameAndPassword_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("storedName");
        QTest::addColumn<QString>("storedPassword");
        QTest::newRow("trimmed") << "  alice\t"
                                 << " pw "
                                 << "alice"
                                 << "pw";
        QTest::newRow("inner blanks stay") << " a b "
                                           << " p q "
                                           << "a b"
                                           << "p q";
        QTest::newRow("blank name") << "   "
                                    << "pw"
                                    << "old"
                                    << "old secret";
        QTest::newRow("empty password") << "bob"
                                        << ""
                                        << "old"
                                        << "old secret";
    }

    // The normal form shows the stored values in plain text, stores trimmed values, stays open
    // while a field is empty, and frees itself however it closes.
    void usernameAndPassword()
    {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(QString, storedName);
        QFETCH(QString, storedPassword);
        QPointer<ChangeUsernamePasswordDialog> lp_dialog = new ChangeUsernamePasswordDialog(false);
        lp_dialog->show();
        auto* lp_name = Child<QLineEdit>(lp_dialog, "usernameEdit");
        auto* lp_password = Child<QLineEdit>(lp_dialog, "passwordEdit");
        QCOMPARE(lp_dialog->windowTitle(), QStringLiteral("Change Username/Password"));
        QCOMPARE(lp_name->text(), QStringLiteral("old"));
        QCOMPARE(lp_password->text(), QStringLiteral("old secret"));
        QCOMPARE(lp_password->echoMode(), QLineEdit::Normal);

        lp_name->setText(name);
        lp_password->setText(password);
        lp_dialog->accept();
        QCOMPARE(SettingText("username"), storedName);
        QCOMPARE(SettingText("password"), storedPassword);
        const bool l_stored = storedName != QStringLiteral("old");
        QCOMPARE(lp_dialog->isVisible(), !l_stored);
        if (!l_stored)
            lp_dialog->reject();
        QTRY_VERIFY_WITH_TIMEOUT(lp_dialog.isNull(), 10000);
        QCOMPARE(SettingText("username"), storedName);
    }

    // The first-run form is its owner's to destroy.
    void firstRunForm()
    {
        ChangeUsernamePasswordDialog l_dialog(true);
        QCOMPARE(l_dialog.windowTitle(), QStringLiteral("Set Username/Password"));
        QCOMPARE(l_dialog.size(), QSize(303, 120));
        Child<QLineEdit>(&l_dialog, "usernameEdit")->setText(QStringLiteral("carol"));
        l_dialog.show();
        l_dialog.grab().save(QStringLiteral("/tmp/username_dialog.png"));
        l_dialog.accept();
        QCOMPARE(SettingText("username"), QStringLiteral("carol"));
        QVERIFY(!l_dialog.testAttribute(Qt::WA_DeleteOnClose));
    }

    void listeningPort_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("pending");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("stored");
        const QString l_range =
            QStringLiteral("Invalid Port Number|Port number must be in the range of 1 to 65535.");
        const QString l_same =
            QStringLiteral("Port Number Not Changed|Port number has not been changed.");
        const QString l_done = QStringLiteral("Change to Listening Port Pending|Changes to the "
                                              "listening port will take effect after a client "
                                              "restart.");
        QTest::newRow("highest port") << "65535"
                                      << "" << l_done << "65535";
        QTest::newRow("short entry") << "80"
                                     << "" << l_done << "80";
        QTest::newRow("above the range") << "65536"
                                         << "" << l_range << "";
        QTest::newRow("five nines") << "99999"
                                    << "" << l_range << "";
        QTest::newRow("empty") << ""
                               << "" << l_range << "";
        QTest::newRow("letters refused by the mask") << "abc"
                                                     << "" << l_range << "";
        QTest::newRow("port in use while another is pending") << "2235"
                                                              << "3000" << l_same << "3000";
        QTest::newRow("the pending port again") << "3000"
                                                << "3000" << l_done << "3000";
    }

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
        QCOMPARE(lp_port->text(), QStringLiteral("2235"));
        QCOMPARE(lp_port->maxLength(), 5);

        lp_port->clear();
        lp_port->setCursorPosition(0);
        QTest::keyClicks(lp_port, typed);
        {
            MessageBoxes l_boxes;
            lp_dialog->accept();
            QCOMPARE(l_boxes.m_seen, QStringList{box});
        }
        QCOMPARE(SettingText("new_listening_port"), stored);
        QCOMPARE(SettingText("listening_port"), QStringLiteral("2235"));
        if (lp_dialog && lp_dialog->isVisible())
        {
            QVERIFY(stored == pending);
            lp_dialog->reject();
        }
        QTRY_VERIFY_WITH_TIMEOUT(lp_dialog.isNull(), 10000);
    }

    void listeningPortLooks()
    {
        ChangeListeningPortDialog* lp_dialog = new ChangeListeningPortDialog;
        QCOMPARE(lp_dialog->size(), QSize(179, 76));
        QCOMPARE(lp_dialog->windowTitle(), QStringLiteral("Change Listening Port"));
        lp_dialog->show();
        lp_dialog->grab().save(QStringLiteral("/tmp/port_dialog.png"));
        lp_dialog->close();
    }

    // Everybody includes the user list; the groups count only when neither box is ticked.
    void sharedFolderAccessChoices()
    {
        for (const char* lp_group : {"zeta", "alpha", "mid"})
            d.GetType("user_list_group")->GetItem(lp_group);
        QPointer<AddSharedFolderDialog> lp_dialog = new AddSharedFolderDialog;
        lp_dialog->show();
        auto* lp_everyone = Child<QCheckBox>(lp_dialog, "everyoneCheckBox");
        auto* lp_userList = Child<QCheckBox>(lp_dialog, "userListCheckBox");
        auto* lp_groups = Child<QListWidget>(lp_dialog, "groupsListWidget");
        QCOMPARE(lp_dialog->windowTitle(), QStringLiteral("Add Shared Folder"));
        QCOMPARE(lp_dialog->size(), QSize(359, 414));
        QCOMPARE(lp_groups->count(), 3);
        QCOMPARE(lp_groups->item(0)->text(), QStringLiteral("alpha"));
        QCOMPARE(lp_groups->item(2)->text(), QStringLiteral("zeta"));
        QCOMPARE(lp_groups->item(1)->checkState(), Qt::Unchecked);
        QVERIFY(lp_groups->item(1)->flags() & Qt::ItemIsUserCheckable);

        auto l_state = [&] {
            return QList<bool>{lp_userList->isEnabled(), lp_userList->isChecked(),
                               lp_groups->isEnabled()};
        };
        QCOMPARE(l_state(), (QList<bool>{false, true, false}));
        lp_everyone->setChecked(false);
        QCOMPARE(l_state(), (QList<bool>{true, true, false}));
        lp_userList->setChecked(false);
        QCOMPARE(l_state(), (QList<bool>{true, false, true}));
        lp_userList->setChecked(true);
        QCOMPARE(l_state(), (QList<bool>{true, true, false}));
        lp_userList->setChecked(false);
        lp_everyone->setChecked(true);
        QCOMPARE(l_state(), (QList<bool>{false, true, false}));
        lp_everyone->setChecked(false);
        QCOMPARE(l_state(), (QList<bool>{true, true, false}));
        lp_groups->item(0)->setCheckState(Qt::Checked);
        lp_dialog->grab().save(QStringLiteral("/tmp/add_shared_folder.png"));
        lp_dialog->close();
        QTRY_VERIFY_WITH_TIMEOUT(lp_dialog.isNull(), 10000);
    }

    void sharingAFolder_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("everyone");
        QTest::addColumn<bool>("userList");
        QTest::addColumn<QStringList>("groups");
        QTest::addColumn<QStringList>("access");
        const QStringList l_none;
        QTest::newRow("everyone, whatever else shows")
            << "/music" << true << true << QStringList{QStringLiteral("alpha")}
            << QStringList{QStringLiteral("public")};
        QTest::newRow("user list")
            << "/music" << false << true << l_none << QStringList{QStringLiteral("userlist")};
        QTest::newRow("groups") << "/music" << false << false
                                << QStringList{QStringLiteral("zeta"), QStringLiteral("alpha")}
                                << QStringList{QStringLiteral("alpha"), QStringLiteral("zeta")};
        QTest::newRow("nobody") << "/music" << false << false << l_none << l_none;
        QTest::newRow("no folder") << "" << true << true << l_none << l_none;
    }

    void sharingAFolder()
    {
        QFETCH(QString, folder);
        QFETCH(bool, everyone);
        QFETCH(bool, userList);
        QFETCH(QStringList, groups);
        QFETCH(QStringList, access);
        for (const char* lp_group : {"alpha", "zeta"})
            d.GetType("user_list_group")->GetItem(lp_group);
        QPointer<AddSharedFolderDialog> lp_dialog = new AddSharedFolderDialog;
        lp_dialog->show();
        Child<QLineEdit>(lp_dialog, "selectedFolderEdit")->setText(folder);
        Child<QCheckBox>(lp_dialog, "everyoneCheckBox")->setChecked(everyone);
        Child<QCheckBox>(lp_dialog, "userListCheckBox")->setChecked(userList);
        auto* lp_groups = Child<QListWidget>(lp_dialog, "groupsListWidget");
        for (const QString& l_group : groups)
            lp_groups->findItems(l_group, Qt::MatchExactly).first()->setCheckState(Qt::Checked);

        lp_dialog->accept();
        if (folder.isEmpty())
        {
            QVERIFY(lp_dialog->isVisible());
            QCOMPARE(d.GetType("shared_folder")->ItemCount(), std::size_t(0));
            lp_dialog->reject();
        }
        else
        {
            QCOMPARE(d.GetType("shared_folder")->ItemCount(), std::size_t(1));
            QCOMPARE(Access("/music"), access);
        }
        QTRY_VERIFY_WITH_TIMEOUT(lp_dialog.isNull(), 10000);
    }

    // Sharing a shared folder again adds the choice to those it has and makes no new item.
    void sharingAFolderAgain()
    {
        ItemPtr l_folder = d.GetType("shared_folder")->GetItem("/music");
        l_folder.NewItem("shared_userlist");
        auto* lp_dialog = new AddSharedFolderDialog;
        Child<QLineEdit>(lp_dialog, "selectedFolderEdit")->setText(QStringLiteral("/music"));
        lp_dialog->accept();
        QCOMPARE(d.GetType("shared_folder")->ItemCount(), std::size_t(1));
        QCOMPARE(Access("/music"),
                 (QStringList{QStringLiteral("public"), QStringLiteral("userlist")}));
    }

    void choosingTheFolder()
    {
        QTemporaryDir l_folder;
        auto* lp_dialog = new AddSharedFolderDialog;
        lp_dialog->show();
        QString l_caption;
        {
            ModalAnswerer l_answer(
                [&](QWidget* ip_modal)
                {
                    auto* lp_chooser = qobject_cast<QFileDialog*>(ip_modal);
                    if (!lp_chooser || !l_caption.isEmpty())
                        return;
                    l_caption = lp_chooser->windowTitle();
                    QCOMPARE(lp_chooser->fileMode(), QFileDialog::Directory);
                    lp_chooser->setDirectory(l_folder.path());
                    lp_chooser->selectFile(l_folder.path());
                    static_cast<QDialog*>(lp_chooser)->accept();
                });
            Child<QPushButton>(lp_dialog, "pushButton")->click();
        }
        QCOMPARE(l_caption, QStringLiteral("Select Folder to Share"));
        QCOMPARE(Child<QLineEdit>(lp_dialog, "selectedFolderEdit")->text(), l_folder.path());
        lp_dialog->close();
    }

    void rescanCounts()
    {
        QPointer<SharedFilesRescannedDialog> lp_dialog = new SharedFilesRescannedDialog;
        QCOMPARE(lp_dialog->windowTitle(), QStringLiteral("Dialog"));
        QCOMPARE(lp_dialog->size(), QSize(337, 110));
        lp_dialog->Append(QStringLiteral("%1 files added.").arg(12));
        lp_dialog->Append(QStringLiteral("%1 files removed.").arg(3));
        QCOMPARE(Child<QPlainTextEdit>(lp_dialog, "plainTextEdit")->toPlainText(),
                 QStringLiteral("12 files added.\n3 files removed."));
        lp_dialog->setWindowTitle(QStringLiteral("Shared Files Rescanned"));
        lp_dialog->show();
        lp_dialog->grab().save(QStringLiteral("/tmp/rescanned_dialog.png"));
        Child<QDialogButtonBox>(lp_dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
        QTRY_VERIFY_WITH_TIMEOUT(lp_dialog.isNull(), 10000);
    }
};

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
