// Two clients used as a person uses them: each is the real main window with every service, in a
// child process with a home of its own, worked through its widgets by a script of steps on its
// standard input, against the test central server on 127.0.0.1:2242.
#include "Data.h"
#include "DataSaver.h"
#include "MainWindow.h"
#include "Server.h"
#include "SharingFixture.h"
#include "StoreFunctions.h"
#include "TestServer.h"
#include "TimerManager.h"
#include "WindowDriver.h"

#include <QApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace
{
// Each step waits in the child up to a minute; the answer may take a little longer to come.
constexpr int stepTimeoutMs = 90000;
const char* const gp_childArgument = "--drive-window";

// An MP3 file: frames of MPEG-1 Layer III at 128 kbit/s and 44.1 kHz, 417 bytes each.
QByteArray Mp3Bytes(int i_frames)
{
    QByteArray l_bytes;
    for (int l_frame = 0; l_frame < i_frames; ++l_frame)
    {
        QByteArray l_body(417 - 4, Qt::Uninitialized);
        for (qsizetype l_index = 0; l_index < l_body.size(); ++l_index)
            l_body[l_index] = char((l_index * 7 + l_frame) % 251);
        l_bytes += QByteArray("\xff\xfb\x90\x00", 4) + l_body;
    }
    return l_bytes;
}

QByteArray FileBytes(int i_size, int i_seed)
{
    QByteArray l_bytes(i_size, Qt::Uninitialized);
    for (int l_index = 0; l_index < i_size; ++l_index)
        l_bytes[l_index] = char((l_index * 31 + i_seed) % 253);
    return l_bytes;
}

// In the child: the program's own start-up, with a driver listening on standard input.
int RunWindow(int argc, char** argv)
{
    QApplication l_application(argc, argv);
    WindowDriver l_driver;
    int l_result = 0;
    {
        MainWindow l_window;
        l_window.Init();
        l_result = l_application.exec();
    }
    return l_result;
}

// B's shared files, below its shared folder.
QList<QPair<QString, QByteArray>> BobsFiles()
{
    return {{u"live/tour song.mp3"_s, Mp3Bytes(300)},
            {u"live/tour setlist.txt"_s, FileBytes(2000, 2)},
            {u"photos/tour stage.jpg"_s, FileBytes(150000, 3)},
            {u"photos/tour crowd.jpg"_s, FileBytes(90000, 4)},
            {u"encore/notes.txt"_s, FileBytes(3000, 5)},
            {u"encore/bonus.bin"_s, FileBytes(70000, 6)}};
}

// One client process and its home.
struct Client
{
    QString m_name;
    QString m_home;
    std::unique_ptr<QProcess> mp_process;
};
} // namespace

#define STEP(client, ...) QVERIFY2(Do(client, {__VA_ARGS__}), qPrintable(m_failure))

class TestRoadsWindows : public QObject
{
    Q_OBJECT

    QTemporaryDir m_disk;
    TestServer m_central;
    std::unique_ptr<TimerManager> mp_timers;
    std::unique_ptr<DataSaver> mp_saver;
    std::unique_ptr<Server> mp_server;
    Client m_a{u"alice"_s, {}, {}};
    Client m_b{u"bob"_s, {}, {}};
    QString m_failure;
    QString m_answer;

    static QString DataFile(const Client& i_client) { return i_client.m_home + u"/.Brindlex"_s; }
    static QString Downloads(const Client& i_client) { return i_client.m_home + u"/Downloads"_s; }

    // A first start that asks for nothing on the network beyond the test server.
    void WriteHome(Client& io_client)
    {
        io_client.m_home = m_disk.filePath(io_client.m_name);
        QVERIFY(QDir().mkpath(io_client.m_home));
        d.RemoveAllItems();
        SetSetting("use_upnp", "no");
        SetSetting("listening_port", 0);
        SetSetting("obfuscated_listening_port", 0);
        SetSetting("download_folder", Downloads(io_client));
        dataSaver->Save(DataFile(io_client));
    }

    void Start(Client& io_client)
    {
        auto& lp_process = io_client.mp_process = std::make_unique<QProcess>();
        QProcessEnvironment l_environment = QProcessEnvironment::systemEnvironment();
        l_environment.insert(u"HOME"_s, io_client.m_home);
        l_environment.insert(u"LD_PRELOAD"_s, QStringLiteral(LOOPBACK_BIND_LIBRARY));
        l_environment.insert(u"ASAN_OPTIONS"_s, l_environment.value(u"ASAN_OPTIONS"_s) +
                                                    u":verify_asan_link_order=0"_s);
        lp_process->setProcessEnvironment(l_environment);
        lp_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        lp_process->start(QCoreApplication::applicationFilePath(),
                          {QString::fromLatin1(gp_childArgument)});
        lp_process->waitForStarted(stepTimeoutMs);
    }

    // One step of the script; its answer is kept in m_answer, or why it failed in m_failure.
    bool Do(Client& i_client, const QStringList& i_step)
    {
        QProcess& l_process = *i_client.mp_process;
        l_process.write(i_step.join(u'\t').toUtf8() + '\n');
        const bool l_answered = QTest::qWaitFor(
            [&] { return l_process.canReadLine() || l_process.state() == QProcess::NotRunning; },
            stepTimeoutMs);
        QString l_line = QString::fromUtf8(l_process.readLine()).chopped(1);
        m_answer = l_line.section(u'\t', 1);
        m_answer.replace(u"\\n"_s, u"\n"_s).replace(u"\\\\"_s, u"\\"_s);
        if (l_answered && l_line.startsWith(u"ok\t"_s))
            return true;
        m_failure = i_client.m_name + u": "_s + i_step.join(u' ') + u": "_s +
                    (l_line.isEmpty() ? u"no answer"_s : m_answer);
        return false;
    }

    // The window closes as a person closes it; the program saves and ends in order (the
    // sanitizer build's leak report makes the exit code non-zero).
    bool Quit(Client& i_client)
    {
        if (!Do(i_client, {u"close"_s, u"MainWindow"_s}))
            return false;
        QProcess& l_process = *i_client.mp_process;
        m_failure = i_client.m_name + u" did not end in order"_s;
        return QTest::qWaitFor([&] { return l_process.state() == QProcess::NotRunning; },
                               stepTimeoutMs) &&
               l_process.exitStatus() == QProcess::NormalExit && l_process.exitCode() == 0;
    }

    // The first start asks for a name; the client then logs in.
    void LogIn(Client& i_client)
    {
        STEP(i_client, u"type"_s, u"ChangeUsernamePasswordDialog/usernameEdit"_s, i_client.m_name);
        STEP(i_client, u"type"_s, u"ChangeUsernamePasswordDialog/passwordEdit"_s, u"pw"_s);
        Picture(i_client, u"ChangeUsernamePasswordDialog"_s, u"login"_s);
        STEP(i_client, u"click"_s, u"ChangeUsernamePasswordDialog/buttonBox"_s, u"OK"_s);
        QTRY_VERIFY_WITH_TIMEOUT(m_central.ConnectionOf(i_client.m_name.toLatin1()) != 0,
                                 stepTimeoutMs);
    }

    // Shares the folder through the Options page, the share dialog and the folder chooser.
    void Share(Client& i_client, const QString& i_folder)
    {
        STEP(i_client, u"tab"_s, u"tabControl"_s, u"Options"_s);
        STEP(i_client, u"tab"_s, u"optionsTabControl"_s, u"File Sharing"_s);
        STEP(i_client, u"click"_s, u"sharedFoldersList"_s);
        STEP(i_client, u"trigger"_s, u"Share Folder"_s);
        STEP(i_client, u"click"_s, u"AddSharedFolderDialog/pushButton"_s);
        STEP(i_client, u"type"_s, u"QFileDialog/fileNameEdit"_s, i_folder);
        STEP(i_client, u"key"_s, u"QFileDialog/fileNameEdit"_s, u"Return"_s);
        STEP(i_client, u"await"_s, u"AddSharedFolderDialog/selectedFolderEdit"_s, i_folder);
        STEP(i_client, u"await"_s, u"AddSharedFolderDialog/everyoneCheckBox"_s, u"[x]"_s);
        Picture(i_client, u"AddSharedFolderDialog"_s, u"share"_s);
        STEP(i_client, u"click"_s, u"AddSharedFolderDialog/buttonBox"_s, u"OK"_s);
        STEP(i_client, u"await"_s, u"sharedFoldersList"_s, i_folder + u" | Everyone"_s);
    }

    // The download priority of A's group "friends", set through the group dialog when given;
    // m_answer holds the priority shown.
    void SetPriority(const QString& i_priority)
    {
        STEP(m_a, u"tab"_s, u"tabControl"_s, u"Users"_s);
        STEP(m_a, u"click"_s, u"UserListForm/userList"_s);
        STEP(m_a, u"trigger"_s, u"Configure User Groups"_s);
        STEP(m_a, u"click"_s, u"UserGroupConfigDialog/groupList"_s, u"friends"_s);
        if (!i_priority.isEmpty())
        {
            // The shown priority, 0, goes first.
            STEP(m_a, u"key"_s, u"UserGroupConfigDialog/prioritySpinBox"_s, u"End"_s);
            STEP(m_a, u"key"_s, u"UserGroupConfigDialog/prioritySpinBox"_s, u"Backspace"_s);
            STEP(m_a, u"type"_s, u"UserGroupConfigDialog/prioritySpinBox"_s, i_priority);
        }
        STEP(m_a, u"show"_s, u"UserGroupConfigDialog/prioritySpinBox"_s);
        const QString l_shown = m_answer;
        Picture(m_a, u"UserGroupConfigDialog"_s, u"group-config"_s);
        STEP(m_a, u"close"_s, u"UserGroupConfigDialog"_s);
        m_answer = l_shown;
    }

    // With ROAD_PICTURES naming a folder, pictures of windows as the road goes, to look at.
    void Picture(Client& i_client, const QString& i_widget, const QString& i_name)
    {
        const QString l_folder = qEnvironmentVariable("ROAD_PICTURES");
        if (!l_folder.isEmpty())
            STEP(i_client, u"grab"_s, i_widget,
                 u"%1/%2-%3.png"_s.arg(l_folder, i_client.m_name, i_name));
    }

    // Every page of both windows.
    void PicturePages()
    {
        if (qEnvironmentVariableIsEmpty("ROAD_PICTURES"))
            return;
        for (Client* lp_client : {&m_a, &m_b})
            for (const QString& l_page : {u"Transfers"_s, u"Rooms"_s, u"Chat"_s, u"Search"_s,
                                          u"Users"_s, u"Browse"_s, u"Options"_s, u"Diagnostics"_s})
            {
                STEP(*lp_client, u"tab"_s, u"tabControl"_s, l_page);
                Picture(*lp_client, u"MainWindow"_s, l_page.toLower());
            }
    }

    static bool SameFile(const QString& i_path, const QByteArray& i_bytes)
    {
        QFile l_file(i_path);
        return l_file.open(QIODevice::ReadOnly) && l_file.readAll() == i_bytes;
    }

private slots:
    void cleanupTestCase()
    {
        for (Client* lp_client : {&m_a, &m_b})
            if (lp_client->mp_process)
            {
                lp_client->mp_process->kill();
                lp_client->mp_process->waitForFinished(stepTimeoutMs);
            }
    }

    void initTestCase()
    {
        QVERIFY(m_disk.isValid());
        QVERIFY2(m_central.Listen(TestServer::kDefaultPort),
                 "the client's central server port 2242 is taken on 127.0.0.1");
        // The vocabulary of the data file, to write the homes here.
        mp_timers = std::make_unique<TimerManager>();
        mp_saver = std::make_unique<DataSaver>();
        mp_server = std::make_unique<Server>(u"127.0.0.1"_s, 1);
        mp_server->CreateData();
        DeclareSettingsTypes();
        DeclareUserDataTypes();
    }

    void bothLogInAndShare()
    {
        WriteHome(m_a);
        WriteHome(m_b);
        const QString l_aShare = m_a.m_home + u"/letters"_s;
        QVERIFY(SharingFixture::WriteFile(l_aShare + u"/note to bob.txt"_s, FileBytes(5000, 1)));
        const QString l_bShare = m_b.m_home + u"/tour"_s;
        for (const auto& [l_path, l_bytes] : BobsFiles())
            QVERIFY(SharingFixture::WriteFile(l_bShare + u'/' + l_path, l_bytes));

        // Both log in and share a folder.
        for (Client* lp_client : {&m_a, &m_b})
        {
            Start(*lp_client);
            LogIn(*lp_client);
            if (QTest::currentTestFailed())
                return;
        }
        for (const auto& [lp_client, l_folder] : {std::pair{&m_a, l_aShare}, {&m_b, l_bShare}})
        {
            Share(*lp_client, l_folder);
            if (QTest::currentTestFailed())
                return;
        }

        // B's diagnostics tell when the song is scanned, the last step of indexing a share.
        STEP(m_b, u"tab"_s, u"tabControl"_s, u"Diagnostics"_s);
        STEP(m_b, u"await"_s, u"diagnosticsForm"_s, u"MP3 Scanning"_s);
        STEP(m_b, u"tab"_s, u"diagnosticsForm"_s, u"MP3 Scanning"_s);
        STEP(m_b, u"await"_s, u"diagnosticsForm"_s, u"tour song.mp3"_s);
    }

    // A searches; B's files come as results; a filter keeps the song, which a double click
    // downloads; the photos come as a folder through the result menu.
    void searchAndDownload()
    {
        // B limits its uploads, so that the transfers are seen moving.
        STEP(m_b, u"tab"_s, u"tabControl"_s, u"Transfers"_s);
        STEP(m_b, u"tab"_s, u"transfersTabControl"_s, u"Uploads"_s);
        STEP(m_b, u"key"_s, u"uploadLimitSpinBox"_s, u"End"_s);
        STEP(m_b, u"key"_s, u"uploadLimitSpinBox"_s, u"Backspace"_s);
        // A limit typed in turns the limit on.
        STEP(m_b, u"type"_s, u"uploadLimitSpinBox"_s, u"50"_s);
        STEP(m_b, u"await"_s, u"uploadLimitCheckBox"_s, u"[x]"_s);

        STEP(m_a, u"tab"_s, u"tabControl"_s, u"Search"_s);
        STEP(m_a, u"type"_s, u"searchEdit"_s, u"tour"_s);
        STEP(m_a, u"key"_s, u"searchEdit"_s, u"Return"_s);
        STEP(m_a, u"await"_s, u"searchResultsTreeWidget"_s, u"tour crowd.jpg"_s);
        STEP(m_a, u"await"_s, u"searchResultsTreeWidget"_s, u"tour song.mp3"_s);
        STEP(m_a, u"type"_s, u"SearchResultsForm/QLineEdit"_s, u"song"_s);
        STEP(m_a, u"absent"_s, u"searchResultsTreeWidget"_s, u"tour crowd.jpg"_s);
        // The song's frame header gives its bit rate.
        STEP(m_a, u"await"_s, u"searchResultsTreeWidget"_s, u"tour song.mp3 | 125,100 | 128 CBR"_s);
        STEP(m_a, u"dclick"_s, u"searchResultsTreeWidget"_s, u"tour song.mp3"_s);
        STEP(m_a, u"click"_s, u"SearchResultsForm"_s, u"Clear"_s);
        STEP(m_a, u"await"_s, u"searchResultsTreeWidget"_s, u"tour crowd.jpg"_s);
        STEP(m_a, u"menu"_s, u"searchResultsTreeWidget"_s, u"tour stage.jpg"_s,
             u"Download Folder"_s);

        STEP(m_a, u"tab"_s, u"tabControl"_s, u"Transfers"_s);
        // Both Transfers pages show the transfers moving, then each complete; the files arrive
        // whole.
        STEP(m_a, u"await"_s, u"downloadsList"_s, u"tour stage.jpg | downloading"_s);
        STEP(m_b, u"await"_s, u"uploadsList"_s, u"tour stage.jpg | uploading"_s);
        for (const char* lp_name : {"tour song.mp3", "tour crowd.jpg", "tour stage.jpg"})
        {
            const QString l_row = QString::fromLatin1(lp_name) + u" | complete"_s;
            STEP(m_a, u"await"_s, u"downloadsList"_s, l_row);
            STEP(m_b, u"await"_s, u"uploadsList"_s, l_row);
        }
        STEP(m_a, u"absent"_s, u"downloadsList"_s, u"tour setlist.txt"_s);
        STEP(m_b, u"key"_s, u"uploadLimitCheckBox"_s, u"Space"_s);
        STEP(m_b, u"await"_s, u"uploadLimitCheckBox"_s, u"[ ]"_s);
        const QString l_complete = Downloads(m_a) + u"/complete/"_s;
        for (const auto& [l_path, l_bytes] : BobsFiles())
            QCOMPARE(SameFile(l_complete + l_path, l_bytes),
                     l_path.endsWith(u".jpg"_s) || l_path.endsWith(u".mp3"_s));
    }

    // A makes a room, which B finds in the room list and enters; A browses B through the user
    // menu of the room; the Browse page shows B's folders; A downloads one of them.
    void browseFromARoom()
    {
        STEP(m_a, u"tab"_s, u"tabControl"_s, u"Rooms"_s);
        STEP(m_a, u"click"_s, u"roomList"_s);
        STEP(m_a, u"trigger"_s, u"Create Room"_s);
        STEP(m_a, u"type"_s, u"CreateRoomDialog/roomNameEdit"_s, u"lobby"_s);
        Picture(m_a, u"CreateRoomDialog"_s, u"create-room"_s);
        STEP(m_a, u"click"_s, u"CreateRoomDialog/createRoomButton"_s);
        STEP(m_a, u"await"_s, u"roomsTabControl"_s, u"lobby"_s);
        STEP(m_b, u"tab"_s, u"tabControl"_s, u"Rooms"_s);
        STEP(m_b, u"click"_s, u"roomList"_s);
        STEP(m_b, u"trigger"_s, u"Refresh Room List"_s);
        STEP(m_b, u"await"_s, u"roomList"_s, u"lobby"_s);
        STEP(m_b, u"dclick"_s, u"roomList"_s, u"lobby"_s);
        STEP(m_b, u"await"_s, u"roomsTabControl"_s, u"lobby"_s);

        STEP(m_a, u"await"_s, u"RoomForm/userList"_s, u"bob"_s);
        STEP(m_a, u"menu"_s, u"RoomForm/userList"_s, u"bob"_s, u"Browse user's files"_s);
        STEP(m_a, u"tab"_s, u"tabControl"_s, u"Browse"_s);
        STEP(m_a, u"await"_s, u"ShareForm/folderTree"_s, u"encore"_s);
        STEP(m_a, u"await"_s, u"ShareForm/folderTree"_s, u"photos"_s);
        STEP(m_a, u"dclick"_s, u"ShareForm/folderTree"_s, u"encore"_s);
        STEP(m_a, u"tab"_s, u"tabControl"_s, u"Transfers"_s);
        STEP(m_a, u"await"_s, u"downloadsList"_s, u"bonus.bin | complete"_s);
        STEP(m_a, u"await"_s, u"downloadsList"_s, u"notes.txt | complete"_s);
        const QString l_complete = Downloads(m_a) + u"/complete/"_s;
        for (const auto& [l_path, l_bytes] : BobsFiles())
            if (l_path.startsWith(u"encore/"_s))
                QVERIFY2(SameFile(l_complete + l_path, l_bytes), qPrintable(l_path));
    }

    // They chat in the room and in private; A puts B on the user list in a group, with a note,
    // and the list follows B going offline and coming back.
    void chatAndTheUserList()
    {
        STEP(m_a, u"tab"_s, u"tabControl"_s, u"Rooms"_s);
        STEP(m_a, u"type"_s, u"RoomForm/chatEdit"_s, u"hello room"_s);
        STEP(m_a, u"key"_s, u"RoomForm/chatEdit"_s, u"Return"_s);
        STEP(m_b, u"await"_s, u"RoomForm/chatView"_s, u"[alice] hello room"_s);
        STEP(m_a, u"menu"_s, u"RoomForm/userList"_s, u"bob"_s, u"Message user"_s);
        STEP(m_a, u"tab"_s, u"tabControl"_s, u"Chat"_s);
        STEP(m_a, u"await"_s, u"chatTabControl"_s, u"bob"_s);
        STEP(m_a, u"type"_s, u"ChatForm/chatEdit"_s, u"hi bob"_s);
        STEP(m_a, u"key"_s, u"ChatForm/chatEdit"_s, u"Return"_s);
        STEP(m_b, u"tab"_s, u"tabControl"_s, u"Chat"_s);
        STEP(m_b, u"await"_s, u"ChatForm/chatView"_s, u"[alice] hi bob"_s);
        STEP(m_b, u"type"_s, u"ChatForm/chatEdit"_s, u"hi alice"_s);
        STEP(m_b, u"key"_s, u"ChatForm/chatEdit"_s, u"Return"_s);
        STEP(m_a, u"await"_s, u"ChatForm/chatView"_s, u"[bob] hi alice"_s);

        STEP(m_a, u"tab"_s, u"tabControl"_s, u"Rooms"_s);
        STEP(m_a, u"menu"_s, u"RoomForm/userList"_s, u"bob"_s, u"Add user to list"_s);
        STEP(m_a, u"tab"_s, u"tabControl"_s, u"Users"_s);
        STEP(m_a, u"await"_s, u"UserListForm/userList"_s, u"bob"_s);
        STEP(m_a, u"menu"_s, u"UserListForm/userList"_s, u"bob"_s, u"Set user's groups"_s);
        STEP(m_a, u"type"_s, u"UserGroupsDialog/newGroupEdit"_s, u"friends"_s);
        STEP(m_a, u"click"_s, u"UserGroupsDialog/newGroupButton"_s);
        STEP(m_a, u"await"_s, u"UserGroupsDialog/groupListWidget"_s, u"[ ] friends"_s);
        STEP(m_a, u"click"_s, u"UserGroupsDialog/groupListWidget"_s, u"friends"_s);
        STEP(m_a, u"key"_s, u"UserGroupsDialog/groupListWidget"_s, u"Space"_s);
        STEP(m_a, u"await"_s, u"UserGroupsDialog/groupListWidget"_s, u"[x] friends"_s);
        Picture(m_a, u"UserGroupsDialog"_s, u"groups"_s);
        STEP(m_a, u"close"_s, u"UserGroupsDialog"_s);
        STEP(m_a, u"menu"_s, u"UserListForm/userList"_s, u"bob"_s, u"Add user note"_s);
        STEP(m_a, u"type"_s, u"UserNoteDialog/noteEdit"_s, u"met on tour"_s);
        Picture(m_a, u"UserNoteDialog"_s, u"note"_s);
        STEP(m_a, u"click"_s, u"UserNoteDialog/saveButton"_s);
        STEP(m_a, u"await"_s, u"UserListForm/userList"_s, u"met on tour"_s);
        STEP(m_a, u"await"_s, u"UserListForm/userList"_s, u"bob | friends | "_s);
        const QString l_online = m_answer;

        STEP(m_b, u"trigger"_s, u"Disconnect"_s);
        STEP(m_a, u"absent"_s, u"UserListForm/userList"_s, l_online);
        STEP(m_a, u"await"_s, u"UserListForm/userList"_s, u"bob | friends | "_s);
        STEP(m_b, u"trigger"_s, u"Connect"_s);
        STEP(m_a, u"await"_s, u"UserListForm/userList"_s, l_online);
        PicturePages();
    }

    // A saves a filter, puts the search on the wish list, gives the group a priority and queues
    // a file of B's while B is away; both quit and start again from their data files, and all of
    // it is there; the queued file comes when B is back.
    void restartFromTheDataFiles()
    {
        STEP(m_a, u"tab"_s, u"tabControl"_s, u"Search"_s);
        STEP(m_a, u"type"_s, u"SearchResultsForm/QLineEdit"_s, u"jpg"_s);
        STEP(m_a, u"click"_s, u"SearchResultsForm"_s, u"Save Filter"_s);
        STEP(m_a, u"await"_s, u"SearchResultsForm/QComboBox"_s, u"jpg"_s);
        STEP(m_a, u"click"_s, u"searchResultsTreeWidget"_s, u"tour crowd.jpg"_s);
        STEP(m_a, u"trigger"_s, u"Add to Wishlist"_s);
        STEP(m_a, u"await"_s, u"wishList"_s, u"tour"_s);
        SetPriority(u"3"_s);
        QVERIFY2(Quit(m_b), qPrintable(m_failure));
        STEP(m_a, u"tab"_s, u"tabControl"_s, u"Browse"_s);
        STEP(m_a, u"click"_s, u"ShareForm/folderTree"_s, u"live"_s);
        STEP(m_a, u"dclick"_s, u"ShareForm/fileList"_s, u"tour setlist.txt"_s);
        STEP(m_a, u"tab"_s, u"tabControl"_s, u"Transfers"_s);
        STEP(m_a, u"await"_s, u"downloadsList"_s, u"tour setlist.txt | queued"_s);
        QVERIFY2(Quit(m_a), qPrintable(m_failure));

        Start(m_a);
        STEP(m_a, u"await"_s, u"downloadsList"_s, u"tour setlist.txt | queued"_s);
        STEP(m_a, u"await"_s, u"wishList"_s, u"tour"_s);
        STEP(m_a, u"tab"_s, u"tabControl"_s, u"Users"_s);
        STEP(m_a, u"await"_s, u"UserListForm/userList"_s, u"met on tour"_s);
        STEP(m_a, u"await"_s, u"UserListForm/userList"_s, u"bob | friends | "_s);
        SetPriority(QString());
        QCOMPARE(m_answer, u"3"_s);
        STEP(m_a, u"tab"_s, u"tabControl"_s, u"Search"_s);
        STEP(m_a, u"type"_s, u"searchEdit"_s, u"tour"_s);
        STEP(m_a, u"key"_s, u"searchEdit"_s, u"Return"_s);
        STEP(m_a, u"await"_s, u"SearchResultsForm/QComboBox"_s, u"jpg"_s);

        Start(m_b);
        STEP(m_b, u"tab"_s, u"tabControl"_s, u"Options"_s);
        STEP(m_b, u"tab"_s, u"optionsTabControl"_s, u"File Sharing"_s);
        STEP(m_b, u"await"_s, u"sharedFoldersList"_s, m_b.m_home + u"/tour | Everyone"_s);
        STEP(m_a, u"tab"_s, u"tabControl"_s, u"Transfers"_s);
        STEP(m_a, u"await"_s, u"downloadsList"_s, u"tour setlist.txt | complete"_s);
        QVERIFY(SameFile(Downloads(m_a) + u"/complete/live/tour setlist.txt"_s,
                         BobsFiles().at(1).second));
    }

    void bothQuit()
    {
        QVERIFY2(Quit(m_a), qPrintable(m_failure));
        QVERIFY2(Quit(m_b), qPrintable(m_failure));
    }
};

int main(int argc, char** argv)
{
    if (argc == 2 && qstrcmp(argv[1], gp_childArgument) == 0)
        return RunWindow(argc, argv);
    QCoreApplication l_application(argc, argv);
    TestRoadsWindows l_test;
    return QTest::qExec(&l_test, argc, argv);
}

#include "tst_roads_windows.moc"
