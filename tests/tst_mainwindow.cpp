// The main window and the client program against the test central server on 127.0.0.1:2242. The
// store is one per process, so each start-up runs in a child process with a home of its own.
#include "ActionSetToolBar.h"
#include "ChatForm.h"
#include "CreateRoomDialog.h"
#include "Data.h"
#include "DataDialog.h"
#include "DataSaver.h"
#include "DiagnosticsForm.h"
#include "EventToolBar.h"
#include "GeneralFunctions.h"
#include "MainWindow.h"
#include "PeerMessenger.h"
#include "PortForwarder.h"
#include "RoomTabWidget.h"
#include "Server.h"
#include "SharedFilesRescannedDialog.h"
#include "SharedFoldersManager.h"
#include "SharingFixture.h"
#include "StoreFunctions.h"
#include "TabWidget.h"
#include "TestServer.h"
#include "TimerManager.h"
#include "TypeNavigatorDialog.h"
#include "UIFunctions.h"
#include "Ui_MainWindow.h"
#include "ViewHarness.h"
#include "WireWriter.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QtTest>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

using namespace Qt::StringLiterals;

namespace
{
constexpr int kTimeoutMs = 30000;
const char* const kChildVariable = "MAINWINDOW_TEST_CHILD";
constexpr quint32 kWatchUser = 5, kRoomChat = 13, kPrivateMessage = 22, kAcknowledge = 23;

using Settings = QList<QPair<const char*, QString>>;

// Peer ports of their own: the client listens where it can. Ports found free beforehand could
// be taken by another program while a slow machine starts the client.
const Settings kAnyPeerPorts = {{"listening_port", u"0"_s}, {"obfuscated_listening_port", u"0"_s}};

// A user who logs in at start, with no gateway search.
Settings LoginSettings(const QString& i_user)
{
    return Settings{{"username", i_user}, {"password", u"pw"_s}, {"use_upnp", u"no"_s}} +
           kAnyPeerPorts;
}

// The file's identity: a save replaces it by a new file.
QPair<quint64, qint64> FileStamp(const QString& i_path)
{
    struct stat l_stat = {};
    stat(QFile::encodeName(i_path).constData(), &l_stat);
    return {quint64(l_stat.st_ino), qint64(l_stat.st_mtim.tv_nsec) + l_stat.st_mtim.tv_sec};
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<TimerManager> mp_timers;
    std::unique_ptr<DataSaver> mp_dataSaver;
    std::unique_ptr<Server> mp_server;
    std::unique_ptr<TestServer> mp_central;
    QTemporaryDir m_homes;
    QTimer m_answerer;
    QStringList m_seen;
    // The name the login dialog is given; with none it is cancelled.
    QString m_loginName;

    static bool InChild() { return qEnvironmentVariableIsSet(kChildVariable); }
    static QString DataFile(const QString& i_home) { return i_home + u"/.Brindlex"_s; }
    static QString Setting(const char* ip_key)
    {
        return QString::fromStdString(SettingValue(ip_key).AsString());
    }
    static QByteArray Strings(const QList<QByteArray>& i_strings)
    {
        WireWriter l_writer;
        for (const QByteArray& l_string : i_strings)
            l_writer.WriteString(l_string);
        return l_writer.Bytes();
    }

    // A program with a home of its own; as a child, this test runs its current function again.
    static std::unique_ptr<QProcess> Launch(const QString& i_home, bool i_child)
    {
        auto lp_process = std::make_unique<QProcess>();
        QProcessEnvironment l_environment = QProcessEnvironment::systemEnvironment();
        if (i_child)
            l_environment.insert(QString::fromLatin1(kChildVariable), u"1"_s);
        l_environment.insert(u"HOME"_s, i_home);
        l_environment.insert(u"LD_PRELOAD"_s, QStringLiteral(LOOPBACK_BIND_LIBRARY));
        // The sanitizers' runtime, when there is one, no longer comes first.
        l_environment.insert(u"ASAN_OPTIONS"_s, l_environment.value(u"ASAN_OPTIONS"_s) +
                                                    u":verify_asan_link_order=0"_s);
        lp_process->setProcessEnvironment(l_environment);
        lp_process->setProcessChannelMode(QProcess::MergedChannels);
        lp_process->start(i_child ? QCoreApplication::applicationFilePath()
                                  : QCoreApplication::applicationDirPath() + u"/../client"_s,
                          i_child ? QStringList{QString::fromLatin1(QTest::currentTestFunction())}
                                  : QStringList());
        // Until the program runs, the fork holds this test's signal handlers.
        lp_process->waitForStarted(kTimeoutMs);
        return lp_process;
    }

    // Waits for the program's end, after stopping it as a session's end does when asked: it must
    // exit in order. Its output is shown whole: a failure message would cut it short.
    void Finish(QProcess& i_process, bool i_stop = false)
    {
        if (i_stop)
            i_process.terminate();
        QTRY_VERIFY_WITH_TIMEOUT(i_process.state() == QProcess::NotRunning, 4 * kTimeoutMs);
        if (i_process.exitStatus() == QProcess::NormalExit && i_process.exitCode() == 0)
            return;
        const QByteArray l_output = i_process.readAll();
        std::fwrite(l_output.constData(), 1, size_t(l_output.size()), stderr);
        QFAIL("the program failed: its output is above");
    }

    // The local addresses of the process's listening sockets, in the kernel's hexadecimal.
    static QStringList ListeningAddresses(qint64 i_pid)
    {
        QSet<QByteArray> l_inodes;
        const QString l_descriptors = u"/proc/%1/fd"_s.arg(i_pid);
        for (const QString& l_name : QDir(l_descriptors).entryList(QDir::Files | QDir::System))
            if (const QString l_target = QFile::symLinkTarget(l_descriptors + u'/' + l_name);
                l_target.contains(u"socket:["_s))
                l_inodes << l_target.section(u'[', 1).chopped(1).toLatin1();
        QStringList l_addresses;
        for (const char* lp_table : {"/proc/net/tcp", "/proc/net/tcp6"})
        {
            QFile l_file(QString::fromLatin1(lp_table));
            // The local address and port, the state ("0A" is listening), then the inode tenth.
            if (l_file.open(QIODevice::ReadOnly))
                for (const QByteArray& l_line : l_file.readAll().split('\n'))
                    if (const QList<QByteArray> l_fields = l_line.simplified().split(' ');
                        l_fields.size() > 9 && l_fields[3] == "0A" &&
                        l_inodes.contains(l_fields[9]))
                        l_addresses << QString::fromLatin1(l_fields[1].chopped(5));
        }
        return l_addresses;
    }

    // Whether the process has its handler for SIGTERM in place (the caught-signal mask).
    static bool CatchesTermination(qint64 i_pid)
    {
        QFile l_status(u"/proc/%1/status"_s.arg(i_pid));
        if (l_status.open(QIODevice::ReadOnly))
            for (const QByteArray& l_line : l_status.readAll().split('\n'))
                if (l_line.startsWith("SigCgt:"))
                    return (l_line.mid(7).trimmed().toULongLong(nullptr, 16) >> (SIGTERM - 1)) & 1;
        return false;
    }

    // A new home whose data file holds only these settings and rooms to join at login.
    QString Home(const QString& i_name, const Settings& i_settings,
                 const QStringList& i_autojoinRooms = {})
    {
        QDir(m_homes.path()).mkpath(i_name);
        d.RemoveAllItems();
        for (const auto& [lp_key, l_value] : i_settings)
            SetSetting(lp_key, l_value);
        for (const QString& l_room : i_autojoinRooms)
            ItemPtr(d["room"]->GetItem(l_room)).NewItem("room_autojoin");
        dataSaver->Save(DataFile(m_homes.filePath(i_name)));
        return m_homes.filePath(i_name);
    }

    // A failed load throws, which fails the test.
    void Load(const QString& i_home)
    {
        d.RemoveAllItems();
        dataSaver->Load(DataFile(i_home));
    }

    // The frames of the code that a connection sent, as their fields.
    QList<QByteArray> Sent(int i_connection, quint32 i_code)
    {
        QList<QByteArray> l_fields;
        for (const auto& l_frame : mp_central->ReceivedFrames(i_connection, i_code))
            l_fields.append(l_frame.body);
        return l_fields;
    }

    // In the child: starts the window, answering what start-up shows modally (message boxes
    // with OK, the login dialog with m_loginName, the gateway search kept off the network)
    // and recording it.
    std::unique_ptr<MainWindow> StartWindow()
    {
        connect(&m_answerer, &QTimer::timeout,
                [this]
                {
                    auto* lp_modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
                    if (auto* lp_box = qobject_cast<QMessageBox*>(lp_modal))
                        m_seen << lp_box->windowTitle() + (lp_box->textFormat() == Qt::PlainText
                                                               ? u""_s
                                                               : u" as markup"_s);
                    else if (lp_modal)
                    {
                        m_seen << u"login"_s;
                        portForwarder->UseFixedDevices({}, 1);
                        for (const char* lp_edit : {"usernameEdit", "passwordEdit"})
                            lp_modal->findChild<QLineEdit*>(QString::fromLatin1(lp_edit))
                                ->setText(m_loginName);
                    }
                    if (lp_modal && m_loginName.isEmpty() && !qobject_cast<QMessageBox*>(lp_modal))
                        lp_modal->reject();
                    else if (lp_modal)
                        lp_modal->accept();
                });
        m_answerer.start(10);
        auto lp_window = std::make_unique<MainWindow>();
        lp_window->Init();
        return lp_window;
    }

private slots:
    void initTestCase()
    {
        if (InChild())
            return;
        // The vocabulary of the data file, to write and read it here.
        mp_timers = std::make_unique<TimerManager>();
        mp_dataSaver = std::make_unique<DataSaver>();
        mp_server = std::make_unique<Server>(u"127.0.0.1"_s, 1);
        mp_server->CreateData();
        DeclareSettingsTypes();
        DeclareUserDataTypes();
        mp_central = std::make_unique<TestServer>();
        QVERIFY2(mp_central->Listen(TestServer::kDefaultPort),
                 "the client's central server port 2242 is taken on 127.0.0.1");
    }

    // A damaged data file is kept aside and the defaults stand, not an empty store; the peer port
    // that another program holds has a notice; the user is asked for a name, cancels, is asked
    // again by "Connect", logs in and chats, with lines as long as a message carries.
    void damagedDataFileThenFirstRunLogsInAndChats()
    {
        if (InChild())
        {
            std::unique_ptr<MainWindow> lp_window = StartWindow();
            Ui_MainWindow* lp_ui = lp_window->Ui();
            QCOMPARE(m_seen, (QStringList{u"Error loading configuration data"_s, u"login"_s}));
            m_loginName = u"alice"_s;
            lp_ui->action_Connect->trigger();
            QCOMPARE(m_seen.size(), 3);
            // The notice is shown whole: the bar has room for it. Notices share the bar: a long
            // one is cut to what the others leave, and none widens the window; when it goes, the
            // others have their room again. Direction controls show as marks.
            const QString l_notice = u"Not listening on port 2235 (The bound address is already "
                                     "in use): choose another listening port"_s;
            QCOMPARE(eventToolBar->actions().first()->text(), l_notice);
            eventToolBar->AddEvent(QString(300, u'w'), u":/icons/offline_icon"_s, lp_ui->chatTab);
            eventToolBar->AddEvent(u"x\u202Ey"_s, u":/icons/offline_icon"_s, lp_ui->transfersTab);
            const QList<QAction*> l_notices = eventToolBar->actions();
            QTRY_VERIFY_WITH_TIMEOUT(
                std::all_of(l_notices.begin(), l_notices.end(),
                            [](QAction* ip_notice)
                            { return eventToolBar->widgetForAction(ip_notice)->isVisible(); }),
                kTimeoutMs);
            QVERIFY(l_notices.at(1)->text().endsWith(u'\u2026'));
            QCOMPARE(l_notices.at(2)->text(), u"x<U+202E>y"_s);
            QVERIFY(eventToolBar->minimumSizeHint().width() <= lp_window->width());
            eventToolBar->RemoveEvent(lp_ui->chatTab);
            QCOMPARE(eventToolBar->actions().first()->text(), l_notice);
            QVERIFY(diagnosticsForm->Lines(u"Configuration Data"_s)
                        .last()
                        .endsWith(u"Failure to load configuration data."_s));
            // One store browser at a time; a deleted one is made anew.
            lp_window->OnShowData();
            lp_window->OnShowData();
            QCOMPARE(lp_window->findChildren<DataDialog*>().size(), 1);
            delete lp_window->findChild<DataDialog*>();
            lp_window->OnShowData();
            QCOMPARE(lp_window->findChildren<DataDialog*>().size(), 1);
            QVERIFY(lp_window->findChild<DataDialog*>()->isVisible());
            lp_window->OnTypeNavigator();
            lp_window->OnTypeNavigator();
            QCOMPARE(lp_window->findChildren<TypeNavigatorDialog*>().size(), 1);
            QCOMPARE(Setting("listening_port") + Setting("download_folder"),
                     u"2235"_s + QDir::homePath() + u"/Brindlex Downloads"_s);
            QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), kTimeoutMs);
            lp_window->OpenChatForm("bob");
            QWidget* lp_chat = lp_ui->chatTabControl->currentWidget();
            auto* lp_entry = lp_chat->findChild<QLineEdit*>();
            QTest::keyClicks(lp_entry, u"hello bob\r"_s);
            // The longest line is sent whole; one longer in bytes as sent stays, and says why.
            for (const QChar l_char : {u'x', u'\u00e9'})
            {
                lp_entry->setText(QString(MaxChatLineLength, l_char));
                QCOMPARE(lp_entry->text().size(), MaxChatLineLength);
                QTest::keyClick(lp_entry, Qt::Key_Return);
            }
            QCOMPARE(lp_entry->text().size(), MaxChatLineLength);
            QVERIFY(lp_chat->findChild<QTextBrowser*>()->toPlainText().endsWith(
                u"Not sent: the line takes 262144 bytes, a message carries at most 131072."_s));
            gp_server->EnterRoom("lobby", false);
            QTRY_COMPARE_WITH_TIMEOUT(lp_ui->roomsTabControl->count(), 1, kTimeoutMs);
            QWidget* lp_room = lp_ui->roomsTabControl->widget(0);
            QTest::keyClicks(lp_room->findChild<QLineEdit*>(u"chatEdit"_s), u"hi room\r"_s);
            // The server passes the line to every member of the room, the sender too.
            QTRY_VERIFY_WITH_TIMEOUT(
                lp_room->findChild<QTextBrowser*>()->toPlainText().contains(u"[alice] hi room"_s),
                kTimeoutMs);
            return;
        }
        QSignalSpy l_logins(mp_central.get(), &TestServer::LoggedIn);
        // Another program holds the default peer port.
        QTcpServer l_holder;
        QVERIFY(l_holder.listen(QHostAddress::LocalHost, 2235));
        const QString l_home = Home(u"first"_s, {});
        const QByteArray l_damaged = QByteArrayLiteral("\x01\x00\x00\x00 not a data file");
        QVERIFY(SharingFixture::WriteFile(DataFile(l_home), l_damaged));
        Finish(*Launch(l_home, true));
        QFile l_kept(DataFile(l_home) + u".bad"_s);
        QVERIFY(l_kept.open(QIODevice::ReadOnly) && l_kept.readAll() == l_damaged);
        QCOMPARE(l_logins.size(), 1);
        const int l_connection = l_logins.at(0).at(0).toInt();
        QCOMPARE(Sent(l_connection, kPrivateMessage) + Sent(l_connection, kRoomChat),
                 (QList<QByteArray>{Strings({"bob", "hello bob"}),
                                    Strings({"bob", QByteArray(MaxChatLineLength, 'x')}),
                                    Strings({"lobby", "hi room"})}));
        Load(l_home);
        QCOMPARE(Setting("username"), u"alice"_s);
    }

    // A first run finds no data file: the Configuration Data page says so, not that data was
    // loaded.
    void firstRunSaysNoDataFile()
    {
        if (InChild())
        {
            std::unique_ptr<MainWindow> lp_window = StartWindow();
            QCOMPARE(m_seen, QStringList{u"login"_s});
            const QStringList l_lines = diagnosticsForm->Lines(u"Configuration Data"_s);
            QCOMPARE(l_lines.size(), 2);
            QVERIFY(l_lines.last().endsWith(u"] No data file found; a new one will be written."_s));
            return;
        }
        QDir(m_homes.path()).mkpath(u"fresh"_s);
        Finish(*Launch(m_homes.filePath(u"fresh"_s), true));
    }

    // The Options page and the five-minute save, shared folders, the room dialog and notices, in
    // one logged-in window.
    void optionsRoomsAndNotices()
    {
        if (InChild())
        {
            std::unique_ptr<MainWindow> lp_window = StartWindow();
            Ui_MainWindow* lp_ui = lp_window->Ui();
            QCOMPARE(m_seen, QStringList());
            QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), kTimeoutMs);

            // The five-minute save writes only what changed since the last save.
            const QString l_path = MainWindow::DataFilePath();
            lp_window->EveryFiveMinutes();
            const auto l_saved = FileStamp(l_path);
            lp_window->EveryFiveMinutes();
            QCOMPARE(FileStamp(l_path), l_saved);
            lp_ui->autoExpandSharesCheckBox->setChecked(true);
            lp_ui->chatTimestampsBox->setCurrentIndex(3);
            lp_window->EveryFiveMinutes();
            QVERIFY(FileStamp(l_path) != l_saved);

            // Only rescans the user asks for are reported, also when they find nothing.
            QTemporaryDir l_shared;
            d["shared_folder"]->NewItem(l_shared.path());
            QVERIFY(lp_window->findChildren<SharedFilesRescannedDialog*>().isEmpty());
            sharedFoldersManager->RescanShares();
            QTRY_COMPARE_WITH_TIMEOUT(lp_window->findChildren<SharedFilesRescannedDialog*>().size(),
                                      1, kTimeoutMs);

            // Groups show as every view shows a name.
            ItemPtr(d["shared_folder"]->GetItem(l_shared.path())) +=
                d["user_list_group"]->GetItem("x\xe2\x80\xae");
            QCOMPARE(lp_ui->sharedFoldersList->topLevelItem(0)->text(1), u"x<U+202E>"_s);
            QCOMPARE(ViewHarness::ToolTipMismatches(lp_ui->sharedFoldersList), QStringList());

            // Unsharing acts on every selected row; a row that names no shared folder makes none.
            QTreeWidget* lp_list = lp_ui->sharedFoldersList;
            auto* lp_stray = new QTreeWidgetItem(lp_list, {u"/no/such/folder"_s});
            lp_list->selectAll();
            lp_window->OnToolBarActionTriggered("unshare_folder");
            QVERIFY(d["shared_folder"]->GetItems().empty());
            QCOMPARE(lp_list->topLevelItemCount(), 1);
            QCOMPARE(lp_list->topLevelItem(0), lp_stray);

            // Names from other users keep their "&" in tab titles and tool bar texts, and the
            // tabs still name their room and user.
            const std::string l_room = "<b>x</b>&amp;";
            gp_server->EnterRoom(l_room, false);
            QTRY_COMPARE_WITH_TIMEOUT(lp_ui->roomsTabControl->count(), 1, kTimeoutMs);
            actionBar->SetWidgetActionText(lp_ui->roomList, u"enter_room"_s, u"&Enter"_s);
            lp_ui->roomList->setFocus();
            const auto l_firstAction = [lp_ui]
            {
                const QList<QAction*> l_actions = lp_ui->mainToolBar->actions();
                return l_actions.isEmpty() ? QString() : l_actions.first()->text();
            };
            QTRY_COMPARE_WITH_TIMEOUT(l_firstAction(), u"&&Enter"_s, kTimeoutMs);
            actionBar->SetWidgetActionText(lp_ui->roomList, u"refresh_room_list"_s, u"R&R"_s);
            QCOMPARE(lp_ui->mainToolBar->actions().at(2)->text(), u"R&&R"_s);
            const std::string l_sender = "<b>Zo\xc3\xab</b>&co";
            lp_window->GetChatForm(l_sender)->AddChat(l_sender, "hi");
            const QList<QPair<QTabWidget*, QString>> l_titles = {
                {lp_ui->roomsTabControl, u"<b>x</b>&&amp;"_s},
                {lp_ui->chatTabControl, u"<b>Zo\u00eb</b>&&co"_s}};
            for (const auto& [lp_tabs, l_title] : l_titles)
                QCOMPARE(lp_tabs->tabText(lp_tabs->count() - 1), l_title);
            lp_window->OnRoomTabClosed(0);
            QTRY_COMPARE_WITH_TIMEOUT(lp_ui->roomsTabControl->count(), 0, kTimeoutMs);

            // A notice shows a peer's text as it is, and goes with its page.
            QCOMPARE(eventToolBar->actions().size(), 1);
            QCOMPARE(eventToolBar->actions().at(0)->text(), u"<b>Zo\u00eb</b>&&co"_s);
            QCOMPARE(ViewHarness::ToolTipOf(eventToolBar->actions().at(0)),
                     u"<b>Zo\u00eb</b>&co"_s);
            lp_window->OnChatTabClosed(lp_ui->chatTabControl->count() - 1);
            QTRY_VERIFY_WITH_TIMEOUT(!eventToolBar->isVisible(), kTimeoutMs);
            QVERIFY(d["event_toolbar_action"]->GetItems().empty());

            // A second Create Room keeps the one dialog.
            lp_window->OnToolBarActionTriggered("create_room");
            lp_window->OnToolBarActionTriggered("create_room");
            QCOMPARE(lp_window->findChildren<CreateRoomDialog*>().size(), 1);
            delete createRoomDialog;
            QVERIFY(!createRoomDialog);

            // Clicking a notice brings its page forward, among others.
            lp_ui->tabControl->setCurrentWidget(lp_ui->roomsTab);
            emit gp_server->PrivateChat("hal", "one", 0, true);
            lp_window->GetChatForm("ivy")->AddChat("ivy", "ping");
            QCOMPARE(eventToolBar->actions().size(), 2);
            eventToolBar->actions().at(1)->trigger();
            QCOMPARE(lp_ui->tabControl->currentWidget(), lp_ui->chatTab);
            QCOMPARE(lp_ui->chatTabControl->tabText(lp_ui->chatTabControl->currentIndex()),
                     u"ivy"_s);
            QCOMPARE(eventToolBar->actions().size(), 1);

            // The server's reason shows as text, on the line of the box that gives it, its line
            // breaks and direction controls marked: no part of it reads as the client's own.
            m_answerer.stop();
            QStringList l_boxes;
            QTimer l_reader;
            connect(&l_reader, &QTimer::timeout,
                    [&l_boxes]
                    {
                        if (auto* lp_box =
                                qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                        {
                            l_boxes << lp_box->windowTitle() + u": "_s + lp_box->text() +
                                           (lp_box->textFormat() == Qt::PlainText ? u""_s
                                                                                  : u" (markup)"_s);
                            lp_box->accept();
                        }
                    });
            l_reader.start(10);
            lp_window->OnConnectionFailed("<b>busy</b>\n\nYour account is locked\xe2\x80\xae");
            QCOMPARE(l_boxes,
                     QStringList{u"Login Failure: Login failed. Reported failure reason: "
                                 "<b>busy</b><U+000A><U+000A>Your account is locked<U+202E>. "
                                 "Please change your login settings in the Options tab and try "
                                 "reconnecting."_s});
            QVERIFY(m_seen.isEmpty());
            return;
        }
        const QString l_home =
            Home(u"options"_s,
                 LoginSettings(u"dave"_s) + Settings{{"expand_new_shares", u"no"_s},
                                                     {"chat_timestamps", u"per_message_long"_s}});
        Finish(*Launch(l_home, true));
        Load(l_home);
        QCOMPARE(Setting("expand_new_shares") + Setting("chat_timestamps"), u"yesno_timestamps"_s);
    }

    // Names whose bytes their shown text does not give back: not UTF-8, U+FFFD itself, "&", 255
    // bytes, a direction override, shown in the room's row and tab as text with the override
    // marked, and that text whole, as it is, in their tool tips; so is a name like markup. Each
    // room opens from its row, takes the tool bar's entries and leaves by its tab; each chat tab
    // closes; neither makes another room or user.
    void namesKeptWithTheirTabs()
    {
        if (InChild())
        {
            std::unique_ptr<MainWindow> lp_window = StartWindow();
            Ui_MainWindow* lp_ui = lp_window->Ui();
            QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), kTimeoutMs);
            QTabWidget* lp_rooms = lp_ui->roomsTabControl;
            const auto l_click = [](QWidget* ip_widget, const QString& i_entry)
            {
                FocusWidgetAndParents(ip_widget);
                QAction* lp_found = nullptr;
                QTRY_VERIFY_WITH_TIMEOUT((lp_found = actionBar->actions().value(0)) &&
                                             lp_found->text() == i_entry,
                                         kTimeoutMs);
                if (!QTest::currentTestFailed())
                    lp_found->trigger();
            };
            const QList<std::pair<std::string, QString>> l_names = {
                {"caf\xe9", u"caf\uFFFD"_s},
                {"\xef\xbf\xbd", u"\uFFFD"_s},
                {"&", u"&"_s},
                {std::string(254, 'n') + '\xe9', QString(254, u'n') + u'\uFFFD'},
                {"x\xe2\x80\xae"
                 "3pm.exe",
                 u"x<U+202E>3pm.exe"_s},
                {"lob\xe2\x81\xa0"
                 "by ",
                 u"lob<U+2060>by<U+0020>"_s},
                {"<b>administrator</b>&lt;\xe2\x80\x8b"
                 "administrator",
                 u"<b>administrator</b>&lt;<U+200B>administrator"_s},
                {"\xef\xbb\xbf"
                 "alice",
                 u"<U+FEFF>alice"_s}};
            for (const auto& [l_name, l_shown] : l_names)
            {
                ItemPtr l_room = d["room"]->GetItem(l_name);
                const std::size_t l_rooms = d["room"]->ItemCount();
                auto* lp_row = l_room["room_node"].AsPtr<QTreeWidgetItem>();
                QVERIFY(lp_row);
                QCOMPARE(lp_row->text(0), l_shown);
                QCOMPARE(ViewHarness::ToolTipMismatches(lp_ui->roomList), QStringList());
                lp_window->OnRoomListItemDoubleClicked(lp_row, 0);
                QTRY_VERIFY_WITH_TIMEOUT(l_room.IsConnected("in_room"), kTimeoutMs);
                QCOMPARE(lp_rooms->tabText(0), QString(l_shown).replace(u"&"_s, u"&&"_s));
                QCOMPARE(ViewHarness::ToolTipOf(lp_rooms, 0), l_shown);
                l_click(lp_rooms->widget(0)->findChild<QLineEdit*>(u"chatEdit"_s), u"Leave Room"_s);
                QTRY_COMPARE_WITH_TIMEOUT(lp_rooms->count(), 0, kTimeoutMs);
                lp_ui->roomList->setCurrentItem(lp_row);
                l_click(lp_ui->roomList, u"Enter Room"_s);
                QTRY_VERIFY_WITH_TIMEOUT(l_room.IsConnected("in_room"), kTimeoutMs);
                lp_window->OnToolBarActionTriggered("toggle_room_autojoin");
                QVERIFY(l_room.IsConnected("room_autojoin"));
                lp_window->OnRoomTabClosed(0);
                QTRY_COMPARE_WITH_TIMEOUT(lp_rooms->count(), 0, kTimeoutMs);

                const std::size_t l_users = d["user"]->ItemCount();
                lp_window->OpenChatForm(l_name);
                QTabWidget* lp_chats = lp_ui->chatTabControl;
                QCOMPARE(lp_chats->tabText(lp_chats->currentIndex()),
                         QString(l_shown).replace(u"&"_s, u"&&"_s));
                QCOMPARE(ViewHarness::ToolTipOf(lp_chats, lp_chats->currentIndex()), l_shown);
                lp_window->OnChatTabClosed(lp_chats->currentIndex());
                QVERIFY(ItemPtr(d["user"]->GetItem(l_name))["user_chat_widget"].IsNull());
                QTRY_COMPARE_WITH_TIMEOUT(lp_chats->count(), 0, kTimeoutMs);
                QCOMPARE(d["room"]->ItemCount(), l_rooms);
                QCOMPARE(d["user"]->ItemCount(), l_users + 1);
            }
            return;
        }
        Finish(*Launch(Home(u"names"_s, LoginSettings(u"nell"_s)), true));
    }

    // The boxes that ask before giving up a private room show its name as every view shows a
    // name: a line break, a direction override and blanks at its ends marked; declined, no other
    // box follows.
    void giveUpBoxesMarkTheRoomName()
    {
        if (InChild())
        {
            std::unique_ptr<MainWindow> lp_window = StartWindow();
            m_answerer.stop();
            QTabWidget* lp_rooms = lp_window->Ui()->roomsTabControl;
            QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), kTimeoutMs);
            const std::string l_name = "\xc2\xa0R\nD\xe2\x80\xaex ";
            gp_server->EnterRoom(l_name, false);
            QTRY_COMPARE_WITH_TIMEOUT(lp_rooms->count(), 1, kTimeoutMs);
            // The room list of the login came before the room: it clears no role set now.
            ItemPtr l_room = d["room"]->GetItem(l_name);
            l_room.NewItem("is_member");
            FocusWidgetAndParents(lp_rooms->widget(0)->findChild<QLineEdit*>(u"chatEdit"_s));
            QTRY_COMPARE_WITH_TIMEOUT(actionBar->GetKey(u"room"_s), FromLatin1(l_name), kTimeoutMs);

            QStringList l_texts;
            QTimer l_decliner;
            connect(&l_decliner, &QTimer::timeout,
                    [&l_texts]
                    {
                        if (auto* lp_box =
                                qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                        {
                            l_texts << lp_box->text();
                            lp_box->button(QMessageBox::No)->click();
                        }
                    });
            l_decliner.start(10);
            lp_window->OnToolBarActionTriggered("give_up_membership");
            l_room.NewItem("is_owner");
            lp_window->OnToolBarActionTriggered("give_up_ownership");
            QCOMPARE(l_texts,
                     (QStringList{u"Are you sure you want to give up your membership to the "
                                  "<U+00A0>R<U+000A>D<U+202E>x<U+0020> private room?"_s,
                                  u"Are you SURE you want to give up your ownership of the "
                                  "<U+00A0>R<U+000A>D<U+202E>x<U+0020> private room?"_s}));
            return;
        }
        Finish(*Launch(Home(u"giveup"_s, LoginSettings(u"gil"_s)), true));
    }

    // The client program, twice: both log in and join the room they join at login, each
    // acknowledges the other's private message and asks for the sender's status, and both stop
    // on SIGTERM leaving data files that load.
    void twoClientsMeetInARoomAndChat()
    {
        const QStringList l_users = {u"ann"_s, u"ben"_s};
        std::vector<std::unique_ptr<QProcess>> l_clients;
        for (const QString& l_user : l_users)
            l_clients.push_back(Launch(Home(l_user, LoginSettings(l_user), {u"lobby"_s}), false));
        QTRY_VERIFY_WITH_TIMEOUT(mp_central->RoomMembers("lobby").size() == 2, kTimeoutMs);
        // The clients a test starts are reachable on the loopback address only.
        for (auto& lp_client : l_clients)
            QTRY_COMPARE_WITH_TIMEOUT(ListeningAddresses(lp_client->processId()),
                                      QStringList(2, u"0100007F"_s), kTimeoutMs);
        const int l_ann = mp_central->ConnectionOf("ann");
        const int l_ben = mp_central->ConnectionOf("ben");
        QVERIFY(l_ann != 0 && l_ben != 0);
        mp_central->ActAs(l_ann, kPrivateMessage, Strings({"ben", "hello ben"}));
        mp_central->ActAs(l_ben, kPrivateMessage, Strings({"ann", "hello ann"}));
        mp_central->ActAs(l_ann, kRoomChat, Strings({"lobby", "hello room"}));
        for (const auto& [l_connection, l_other] :
             {std::pair{l_ann, "ben"}, std::pair{l_ben, "ann"}})
        {
            QTRY_COMPARE_WITH_TIMEOUT(Sent(l_connection, kAcknowledge).size(), 1, kTimeoutMs);
            QTRY_VERIFY_WITH_TIMEOUT(Sent(l_connection, kWatchUser).contains(Strings({l_other})),
                                     kTimeoutMs);
        }
        for (auto& lp_process : l_clients)
            Finish(*lp_process, true);
        for (const QString& l_user : l_users)
        {
            Load(m_homes.filePath(l_user));
            QVERIFY(ItemPtr(d["room"]->HasItem("lobby")).IsConnected("room_autojoin"));
        }
    }

    // One client at a time on a data file: a second one on the same home says so, with no window
    // behind the box, and ends without loading, saving, listening or logging in; a client killed
    // outright does not stop the next start.
    void secondClientOnOneHomeEnds()
    {
        if (InChild())
        {
            std::unique_ptr<MainWindow> lp_window = StartWindow();
            QCOMPARE(m_seen, QStringList{u"Data file in use"_s});
            QVERIFY(!lp_window->isVisible());
            QVERIFY(!gp_server && !peerMessenger);
            return;
        }
        QSignalSpy l_logins(mp_central.get(), &TestServer::LoggedIn);
        const QString l_home = Home(u"shared"_s, LoginSettings(u"cat"_s));
        std::unique_ptr<QProcess> lp_first = Launch(l_home, false);
        QTRY_COMPARE_WITH_TIMEOUT(l_logins.size(), 1, kTimeoutMs);
        const auto l_stamp = FileStamp(DataFile(l_home));
        Finish(*Launch(l_home, true));
        QCOMPARE(FileStamp(DataFile(l_home)), l_stamp);
        QCOMPARE(l_logins.size(), 1);
        kill(pid_t(lp_first->processId()), SIGKILL);
        QTRY_VERIFY_WITH_TIMEOUT(lp_first->state() == QProcess::NotRunning, kTimeoutMs);
        std::unique_ptr<QProcess> lp_next = Launch(l_home, false);
        QTRY_COMPARE_WITH_TIMEOUT(l_logins.size(), 2, kTimeoutMs);
        Finish(*lp_next, true);
    }

    // A lock file that cannot be taken, here a link in its place, leaves the client running
    // unlocked, and it says why on the Configuration Data page and in a notice. A save that fails
    // says why there too, in the notice's place, once until a save succeeds, and is tried again
    // at the next turn though nothing changed; one that fails at shut-down says why on standard
    // error. A directory in the data file's place refuses the save, also for root.
    void dataFileTroubleSaysSo()
    {
        // What the system says of a link opened as a file not to follow, and of a directory
        // renamed over, in the client's locale.
        const QString l_unlocked = QString::fromLocal8Bit(std::strerror(ELOOP));
        const QString l_unsaved = QString::fromLocal8Bit(std::strerror(EISDIR));
        if (InChild())
        {
            std::unique_ptr<MainWindow> lp_window = StartWindow();
            Ui_MainWindow* lp_ui = lp_window->Ui();
            QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), kTimeoutMs);
            const QString l_path = MainWindow::DataFilePath();
            QVERIFY(diagnosticsForm->Lines(u"Configuration Data"_s)
                        .first()
                        .endsWith(u"] Could not lock "_s + l_path + u".lock ("_s + l_unlocked +
                                  u"): another client could use the same data file at the "
                                  "same time."_s));
            const auto l_notice = [] { return eventToolBar->actions().first()->text(); };
            QCOMPARE(l_notice(), u"Data file not locked: "_s + l_unlocked);

            const auto l_blockSaves = [&l_path]
            { QVERIFY(QFile::remove(l_path) && QDir().mkdir(l_path)); };
            l_blockSaves();
            lp_ui->chatTimestampsBox->setCurrentIndex(2);
            lp_window->EveryFiveMinutes();
            QCOMPARE(eventToolBar->actions().size(), 1);
            QCOMPARE(l_notice(), u"Data file not saved: "_s + l_unsaved);
            QVERIFY(diagnosticsForm->Lines(u"Configuration Data"_s)
                        .last()
                        .endsWith(u"] Failure to save configuration data to "_s + l_path + u": "_s +
                                  l_unsaved + u"."_s));
            // Clicked, the notice brings the Configuration Data log page forward, wherever the
            // Diagnostics page and its log pages stood.
            auto* lp_sections = diagnosticsForm->findChild<QTabWidget*>(u"tabWidget"_s);
            auto* lp_logs = diagnosticsForm->findChild<QTabWidget*>(u"logTabWidget"_s);
            lp_logs->setCurrentWidget(diagnosticsForm->Page(u"Elsewhere"_s));
            lp_sections->setCurrentIndex(0);
            lp_ui->tabControl->setCurrentWidget(lp_ui->roomsTab);
            eventToolBar->actions().first()->trigger();
            QTextBrowser* lp_page = diagnosticsForm->Page(u"Configuration Data"_s);
            QCOMPARE(lp_logs->currentWidget(), lp_page);
            QVERIFY(lp_page->isVisible());

            lp_ui->tabControl->setCurrentWidget(lp_ui->roomsTab);
            lp_window->EveryFiveMinutes();
            QVERIFY(!eventToolBar->isVisible());
            QVERIFY(QDir().rmdir(l_path));
            lp_window->EveryFiveMinutes();
            QVERIFY(QFileInfo(l_path).isFile());
            l_blockSaves();
            lp_ui->chatTimestampsBox->setCurrentIndex(1);
            lp_window->EveryFiveMinutes();
            QCOMPARE(l_notice(), u"Data file not saved: "_s + l_unsaved);
            return;
        }
        QSignalSpy l_logins(mp_central.get(), &TestServer::LoggedIn);
        const QString l_home = Home(u"troubled"_s, LoginSettings(u"una"_s));
        QVERIFY(QFile::link(m_homes.filePath(u"elsewhere"_s), DataFile(l_home) + u".lock"_s));
        std::unique_ptr<QProcess> lp_child = Launch(l_home, true);
        Finish(*lp_child);
        QCOMPARE(l_logins.size(), 1);
        QVERIFY(lp_child->readAll().contains(
            (u"Data file "_s + DataFile(l_home) + u" not saved: "_s + l_unsaved).toLocal8Bit()));
    }

    // A signal while a dialog of the start-up waits, before the application's own loop (the
    // first start's name dialog, or the box of a data file that failed to load): the client
    // closes it and exits, with no dialog after it (it spun on the unread signal for ever, or
    // went on to the name dialog). It saves, but never over a file that failed to load, which
    // is kept aside too.
    void signalDuringAStartDialog_data()
    {
        QTest::addColumn<QByteArray>("damaged");
        QTest::newRow("name dialog") << QByteArray();
        QTest::newRow("load failure box") << QByteArrayLiteral("\x01\x00\x00\x00 damaged");
    }
    void signalDuringAStartDialog()
    {
        QFETCH(QByteArray, damaged);
        const QString l_home = Home(QString::fromLatin1(QTest::currentDataTag()),
                                    Settings{{"use_upnp", u"no"_s}} + kAnyPeerPorts);
        if (!damaged.isEmpty())
            QVERIFY(SharingFixture::WriteFile(DataFile(l_home), damaged));
        std::unique_ptr<QProcess> lp_client = Launch(l_home, false);
        QTRY_VERIFY_WITH_TIMEOUT(CatchesTermination(lp_client->processId()), kTimeoutMs);
        Finish(*lp_client, true);
        if (damaged.isEmpty())
        {
            // The defaults set before the dialog are in the file: the client saved on the signal.
            Load(l_home);
            QCOMPARE(Setting("minimize_to_tray") + Setting("chat_timestamps"),
                     u"yesactivity_based"_s);
            return;
        }
        for (const QString& l_file : {DataFile(l_home), DataFile(l_home) + u".bad"_s})
        {
            QFile l_kept(l_file);
            QVERIFY(l_kept.open(QIODevice::ReadOnly) && l_kept.readAll() == damaged);
        }
    }

    // A FIFO in the data file's place does not hold start-up: it fails to load as a directory
    // does, the window shows and the client goes on to log in.
    void fifoDataFileFailsToLoad()
    {
        if (InChild())
        {
            std::unique_ptr<MainWindow> lp_window = StartWindow();
            QCOMPARE(m_seen, (QStringList{u"Error loading configuration data"_s, u"login"_s}));
            QVERIFY(lp_window->isVisible());
            return;
        }
        const QString l_home = Home(u"fifo"_s, {});
        QVERIFY(QFile::remove(DataFile(l_home)));
        QCOMPARE(mkfifo(QFile::encodeName(DataFile(l_home)).constData(), 0600), 0);
        Finish(*Launch(l_home, true));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
