#include "MainWindow.h"

#include "ActionSetToolBar.h"
#include "AddSharedFolderDialog.h"
#include "CellToolTipDelegate.h"
#include "ChangeListeningPortDialog.h"
#include "ChangeUsernamePasswordDialog.h"
#include "ChatForm.h"
#include "CreateRoomDialog.h"
#include "DNetManager.h"
#include "Data.h"
#include "DataDialog.h"
#include "DataFileLock.h"
#include "DataSaver.h"
#include "DelayedInvoker.h"
#include "DiagnosticsForm.h"
#include "EventToolBar.h"
#include "GeneralFunctions.h"
#include "Log.h"
#include "PeerMessenger.h"
#include "PortForwarder.h"
#include "QRoomListItemWidget.h"
#include "RoomForm.h"
#include "RoomTabWidget.h"
#include "SearchForm.h"
#include "Server.h"
#include "SharedFilesRescannedDialog.h"
#include "SharedFoldersManager.h"
#include "SharesForm.h"
#include "SizeManager.h"
#include "StoreFunctions.h"
#include "TabWidget.h"
#include "TimerManager.h"
#include "ToolTips.h"
#include "TransferQueueManager.h"
#include "TransfersForm.h"
#include "TypeNavigatorDialog.h"
#include "UIFunctions.h"
#include "Ui_MainWindow.h"
#include "UserListForm.h"
#include "UserMenuOptions.h"
#include "UserNoteDialog.h"
#include "WishListSearcher.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QMoveEvent>
#include <QResizeEvent>
#include <QSplitter>
#include <QTabBar>
#include <QTextBrowser>
#include <QTreeWidget>

#include <cstdio>

MainWindow* mainWindow = nullptr;

namespace
{
const QString ConfigurationCategory = QStringLiteral("Configuration Data");
const char* const OnlineDotIcon = ":/icons/online_dot_icon";
const char* const OfflineDotIcon = ":/icons/offline_dot_icon";

// The chat_timestamps values by the index of the timestamps box; any other index is the last.
const char* const TimestampValues[] = {"activity_based", "per_message_short", "per_message_long",
                                       "no_timestamps"};

constexpr int NormalWeight = 50;
constexpr int BoldWeight = 75;
// A role handler leaves this part of the font as it is.
constexpr int Unchanged = -1;

QString Text(const ItemPtr& i_item)
{
    return FromUtf8(i_item.AsString());
}

bool SettingIsYes(const char* ip_key)
{
    return SettingValue(ip_key).AsString() == "yes";
}

const char* YesNo(bool i_yes)
{
    return i_yes ? "yes" : "no";
}

// A modal box whose text shows as written: room names and the server's reasons are never markup.
int ShowBox(QWidget* ip_parent, QMessageBox::Icon i_icon, const QString& i_title,
            const QString& i_text, QMessageBox::StandardButtons i_buttons)
{
    QMessageBox l_box(i_icon, i_title, i_text, i_buttons, ip_parent);
    l_box.setTextFormat(Qt::PlainText);
    if (i_buttons & QMessageBox::No)
        l_box.setDefaultButton(QMessageBox::No);
    return l_box.exec();
}

void Inform(QWidget* ip_parent, const QString& i_title, const QString& i_text)
{
    ShowBox(ip_parent, QMessageBox::Information, i_title, i_text, QMessageBox::Ok);
}

// A question answered Yes; No is the default.
bool Confirm(QWidget* ip_parent, const QString& i_title, const QString& i_text)
{
    return ShowBox(ip_parent, QMessageBox::Question, i_title, i_text,
                   QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

// Adds a page whose tab shows a name from other users as it is; the tab keeps the name's bytes,
// which the shown text may not give back, for TabName.
void AddNamedTab(QTabWidget* ip_tabs, QWidget* ip_page, const QIcon& i_icon, const QString& i_shown,
                 const std::string& i_name)
{
    const int l_tab = ip_tabs->addTab(ip_page, i_icon, EscapeAmpersands(i_shown));
    ip_tabs->tabBar()->setTabData(l_tab, QByteArray::fromStdString(i_name));
    ip_tabs->setTabToolTip(l_tab, PlainToolTip(i_shown));
}

std::string TabName(QTabWidget* ip_tabs, int i_index)
{
    return ip_tabs->tabBar()->tabData(i_index).toByteArray().toStdString();
}

template <typename T, typename A>
EventHandler<MainWindow, A>* Handler(T* ip_window, void (T::*ip_method)(A))
{
    return new EventHandler<MainWindow, A>(ip_window, ip_method);
}

// A subscription to the items of i_root that gain (or lose) the link to i_child.
void SubscribePath(PathNode* ip_root, const char* ip_child, PathNodeRelation i_relation,
                   EventHandlerBase<Item*>* ip_handler)
{
    new PathNode(ip_root, ip_child, i_relation);
    d.AddPathEventHandler(ip_root, ip_handler);
}
} // namespace

int MainWindow::SizeProxy::GetX()
{
    return mainWindow->geometry().x();
}

int MainWindow::SizeProxy::GetY()
{
    return mainWindow->geometry().y();
}

int MainWindow::SizeProxy::GetWidth()
{
    return mainWindow->geometry().width();
}

int MainWindow::SizeProxy::GetHeight()
{
    return mainWindow->geometry().height();
}

void MainWindow::SizeProxy::SetPosition(int i_x, int i_y)
{
    const QRect l_geometry = mainWindow->geometry();
    mainWindow->setGeometry(i_x, i_y, l_geometry.width(), l_geometry.height());
}

void MainWindow::SizeProxy::SetSize(int i_width, int i_height)
{
    const QRect l_geometry = mainWindow->geometry();
    mainWindow->setGeometry(l_geometry.x(), l_geometry.y(), i_width, i_height);
}

MainWindow::MainWindow(QWidget* ip_parent) : QMainWindow(ip_parent), mp_ui(new Ui_MainWindow)
{
    InitIconResources();
    mainWindow = this;
    mp_ui->setupUi(this);
    SetApplicationIcon(QStringLiteral(":/icons/offline_icon"));
    mp_ui->roomList->setColumnWidth(0, 150);
    mp_ui->roomList->setColumnWidth(1, 30);
    mp_ui->roomSplitter->setStretchFactor(0, 1);
    mp_ui->roomSplitter->setStretchFactor(1, 0);
    mp_ui->roomList->setHeaderLabels({tr("Room Name"), tr("Users")});
    mp_ui->sharedFoldersList->setColumnWidth(0, 400);
    mp_ui->sharedFoldersList->setHeaderLabels({tr("Shared folder"), tr("Accessible to")});
    for (QTreeWidget* lp_list : {mp_ui->roomList, mp_ui->sharedFoldersList})
        ShowCellTextsAsToolTips(lp_list);
}

bool MainWindow::Init()
{
    mp_dataDialog = nullptr;
    mp_typeNavigatorDialog = nullptr;
    // Two clients on one data file would log each other out as the same user, and the last to
    // quit would overwrite what the other saved.
    mp_dataFileLock = std::make_unique<DataFileLock>(DataFilePath());
    if (mp_dataFileLock->GetState() == DataFileLock::State::HeldElsewhere)
    {
        // The box alone: no empty window of a client that is not going to run behind it.
        ShowBox(nullptr, QMessageBox::Warning, tr("Data file in use"),
                tr("The data file %1 is in use by another running client. Only one client at a "
                   "time can use it: this one ends.")
                    .arg(DataFilePath()),
                QMessageBox::Ok);
        return false;
    }
    show();
    new TimerManager();
    new DataSaver();
    mp_server = new Server();
    mp_server->CreateData();
    qRegisterMetaType<ItemPtr>("ItemPtr");

    connect(mp_server, &Server::Connected, this, &MainWindow::OnConnected);
    connect(mp_server, &Server::Connecting, this, &MainWindow::OnConnecting);
    connect(mp_server, &Server::Disconnected, this, &MainWindow::OnDisconnected);
    connect(mp_ui->action_Connect, &QAction::triggered, this,
            &MainWindow::OnConnectMenuOptionClicked);
    connect(mp_ui->action_Disconnect, &QAction::triggered, this,
            &MainWindow::OnDisconnectMenuOptionClicked);
    connect(mp_ui->roomList, &QTreeWidget::itemDoubleClicked, this,
            &MainWindow::OnRoomListItemDoubleClicked);

    d.NewType("room_node", true, false, true);
    d["room"]->RelateToType("room_node", One, One, false);
    d["room"]->m_itemAddedEvent.AddHandler(Handler(this, &MainWindow::OnRoomAdded));
    SubscribePath(new PathNode(&d, "room"), "user_count", RequireConnected,
                  Handler(this, &MainWindow::OnRoomUserCountChanged));
    SubscribePath(new PathNode(&d, "room"), "is_owner", RequireConnected,
                  Handler(this, &MainWindow::OnBecomingRoomOwner));
    SubscribePath(new PathNode(&d, "room"), "is_operator", RequireConnected,
                  Handler(this, &MainWindow::OnBecomingRoomOperator));
    SubscribePath(new PathNode(&d, "room"), "is_member", RequireConnected,
                  Handler(this, &MainWindow::OnBecomingRoomMember));
    for (const char* lp_role : {"is_member", "is_operator", "is_owner"})
        SubscribePath(new PathNode(&d, "room"), lp_role, RequireAbsent,
                      Handler(this, &MainWindow::OnLosingRoomRole));
    mp_ui->roomList->sortItems(0, Qt::AscendingOrder);
    d.AddConnectionEventHandler(d["room"], d["in_room"], Handler(this, &MainWindow::OnEnteredRoom));

    actionBar->Init();
    const QString l_room = QStringLiteral(":/icons/room_icon");
    const QString l_browse = QStringLiteral(":/icons/browse_icon");
    // The login actions' icon path lacks the slash after the colon, as it always has.
    const QString l_login = QStringLiteral(":icons/online_icon");
    const std::tuple<const char*, const char*, const char*, QString, bool> l_actions[] = {
        {"room_list", "enter_room", "Enter Room", l_room, false},
        {"room_list", "create_room", "Create Room", l_room, false},
        {"room_list", "refresh_room_list", "Refresh Room List", l_room, false},
        {"room_list", "enable_private_room_add", "Accept Private Room Invitations", l_room, false},
        {"room", "leave_room", "Leave Room", l_room, false},
        {"room", "toggle_room_autojoin", "Toggle Room Autojoin", l_room, false},
        {"room", "give_up_membership", "Give Up Membership", l_room, false},
        {"room", "give_up_ownership", "Give Up Room", l_room, false},
        {"shared_folders", "set_download_folder", "Set Download Folder", l_browse, false},
        {"shared_folders", "share_folder", "Share Folder", l_browse, false},
        {"shared_folders", "unshare_folder", "Unshare Folder", l_browse, false},
        {"shared_folders", "rescan_shares", "Rescan Shares", l_browse, false},
        {"login_options", "set_user_pass", "Change Username/Password", l_login, false},
        {"login_options", "set_listening_port", "Change Listening Port", l_login, false},
        {"user", "message_user", "Message User", QStringLiteral(":/icons/chat_icon"), true},
        {"user", "browse_user", "Browse User's Files", l_browse, true},
        {"user", "add_user", "Add User", QStringLiteral(":/icons/add_user_icon"), true}};
    for (const auto& [lp_set, lp_id, lp_text, l_icon, l_needsRow] : l_actions)
    {
        actionBar->AddSetAction(lp_set, lp_id, lp_text, l_icon.toStdString(), l_needsRow);
        // Each widget is bound once the last action of its set is defined.
        if (std::string(lp_id) == "enable_private_room_add")
        {
            actionBar->RegisterWidget(mp_ui->roomList, QStringLiteral("room_list"));
            actionBar->AddWidgetColumnKey(mp_ui->roomList, QStringLiteral("room"), 0);
        }
        else if (std::string(lp_id) == "rescan_shares")
            actionBar->RegisterWidget(mp_ui->fileSharingOptionsTab,
                                      QStringLiteral("shared_folders"));
        else if (std::string(lp_id) == "set_listening_port")
            actionBar->RegisterWidget(mp_ui->loginOptionsTab, QStringLiteral("login_options"));
    }
    connect(mp_ui->mainToolBar, &ActionSetToolBar::ActionTriggered, this,
            &MainWindow::OnToolBarActionTriggered);
    connect(qApp, &QApplication::focusChanged, this, &MainWindow::OnFocusChanged);

    new PeerMessenger();
    connect(peerMessenger, &PeerMessenger::ListeningFailed, this, &MainWindow::OnListeningFailed);
    DeclareSettingsTypes();
    DeclareUserDataTypes();
    new DelayedInvoker(nullptr);
    new DNetManager();
    new SharedFoldersManager(this);

    d.NewType("user_chat_widget", true, false, true);
    d["user"]->RelateToType("user_chat_widget", One, One, false);
    d.NewType("room_form", true, false, true);
    d["room"]->RelateToType("room_form", One, One, false);
    connect(gp_server, &Server::PrivateChat, this, &MainWindow::OnPrivateChat);

    Type* lp_folder = d["shared_folder"];
    lp_folder->m_itemAddedEvent.AddHandler(Handler(this, &MainWindow::OnSharedFolderAdded));
    lp_folder->m_itemRemovedEvent.AddHandler(Handler(this, &MainWindow::OnSharedFolderRemoved));
    lp_folder->m_connectionEvent.AddHandler(Handler(this, &MainWindow::OnSharedFolderChange));
    lp_folder->m_disconnectionEvent.AddHandler(Handler(this, &MainWindow::OnSharedFolderChange));

    new SizeManager();
    mp_ui->diagnosticsForm->Init();
    new TransferQueueManager();
    sharedFoldersManager->SetUploadStateProvider(&TransferQueueManager::CurrentUploadState);
    mp_ui->transfersForm->Init();
    mp_ui->sharesForm->Init();
    // The user menu sits below the browse page: it opens a user's share through this.
    UserMenuOptions::SetBrowseHandler([](const std::string& i_user)
                                      { sharesForm->OpenShareBrowse(i_user); });
    mp_ui->searchForm->Init();
    new WishListSearcher(this);
    setContextMenuPolicy(Qt::NoContextMenu);

    addToolBarBreak(Qt::TopToolBarArea);
    addToolBar(Qt::TopToolBarArea, new EventToolBar());
    ReportUnlockedDataFile();

    SubscribePath(new PathNode(d["global"]->GetItem("username")), "global_value", RequireConnected,
                  Handler(this, &MainWindow::OnUsernameChanged));
    connect(gp_server, &Server::ConnectionFailed, this, &MainWindow::OnConnectionFailed);

    SetSetting("minimize_to_tray", "yes");
    SetSetting("expand_new_shares", "yes");
    SetSetting("chat_timestamps", "activity_based");
    LoadDataFile();
    SetSetting("data_version", 1);

    // A quit asked for in a start-up box ends start-up there, before the login dialog.
    if (!m_quitRequested)
        ConnectAskingForName();
    if (m_quitRequested)
        return true;

    ShowSettings();
    SubscribePath(new PathNode(d["global"]->GetItem("new_listening_port")), "global_value",
                  RequireConnected, Handler(this, &MainWindow::OnNewListeningPortChanged));

    sizeManager->RegisterResizableWindow(QStringLiteral("main_window"), &m_sizeProxy);
    mp_ui->roomSplitter->setSizes({width() - 220, 220});
    sizeManager->RegisterSplitter(QStringLiteral("room_list_splitter"), mp_ui->roomSplitter, {});
    sizeManager->RegisterTreeWidget(QStringLiteral("room_list"), mp_ui->roomList);
    mp_ui->userListForm->Init();
    connect(&timerManager->m_halfMinuteTimer, &QTimer::timeout, this, &MainWindow::EveryHalfMinute);
    connect(&timerManager->m_fiveMinutesTimer, &QTimer::timeout, this,
            &MainWindow::EveryFiveMinutes);
    connect(&m_trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::OnTrayIconActivated);
    UserNoteDialog::Init();
    activateWindow();
    sharedFoldersManager->Init();
    connect(sharedFoldersManager, &SharedFoldersManager::SharedFilesRescanned, this,
            &MainWindow::OnSharedFilesRescanned);
    RegisterWidgetForTabFocus(mp_ui->usernameEdit, 1);
    RegisterWidgetForTabFocus(mp_ui->sharedFoldersList, 1);
    connect(gp_server, &Server::PrivateRoomAddEnabled, this, &MainWindow::OnPrivateRoomAddEnabled);
    SubscribePath(new PathNode(&d, "user"), "is_online", OnConnect,
                  Handler(this, &MainWindow::OnUserOnline));
    SubscribePath(new PathNode(&d, "user"), "is_online", RequireAbsent,
                  Handler(this, &MainWindow::OnUserOffline));
    // Started, the store is the user's: a data file that failed to load is written over.
    m_mayReplaceDataFile = true;
    return true;
}

void MainWindow::Quit()
{
    m_quitRequested = true;
    if (auto* lp_dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
        lp_dialog->reject();
    QApplication::quit();
}

void MainWindow::OnShowData()
{
    if (!mp_dataDialog)
    {
        mp_dataDialog = new DataDialog(&d, this);
        // Closed and deleted, it is made anew on the next call.
        connect(mp_dataDialog, &QObject::destroyed, this, [this] { mp_dataDialog = nullptr; });
    }
    mp_dataDialog->show();
}

void MainWindow::OnTypeNavigator()
{
    if (!mp_typeNavigatorDialog)
    {
        mp_typeNavigatorDialog = new TypeNavigatorDialog(this);
        mp_typeNavigatorDialog->Init();
    }
    mp_typeNavigatorDialog->show();
}

MainWindow::~MainWindow()
{
    g_showIsOver = true;
    delete mp_dataDialog;
    delete mp_typeNavigatorDialog;
    if (mp_server)
    {
        mp_server->Disconnect();
        d.RemoveDisconnectedItems();
        // A quit during start-up keeps a data file that failed to load as it was.
        if (m_mayReplaceDataFile)
            SaveDataFile(false);
    }
    // Destroying the widgets below emits their signals: none may reach this half-destroyed window.
    qApp->disconnect(this);
    for (QObject* lp_child : findChildren<QObject*>())
        lp_child->disconnect(this);
    delete transferQueueManager;
    delete sharedFoldersManager;
    delete delayedInvoker;
    delete dnetManager;
    delete peerMessenger;
    delete mp_server;
    delete dataSaver;
    delete timerManager;
    delete mp_ui;
    delete sizeManager;
}

QString MainWindow::DataFilePath()
{
    return QDir::homePath() + QStringLiteral("/.Brindlex");
}

void MainWindow::LoadDataFile()
{
    const QString l_path = DataFilePath();
    Log(ConfigurationCategory, 1, QStringLiteral("Loading configuration data from %1").arg(l_path));
    try
    {
        // On a first run the saver has said that there was no file to load.
        if (dataSaver->Load(l_path))
            Log(ConfigurationCategory, 1, QStringLiteral("Data loaded successfully."));
        m_mayReplaceDataFile = true;
    }
    catch (DataLoadFailure&)
    {
        // Loading left the store as it was, defaults included, and kept the bad file aside.
        Log(ConfigurationCategory, 1, QStringLiteral("Failure to load configuration data."));
        Inform(this, tr("Error loading configuration data"),
               tr("Your client configuration data could not be loaded. Starting from scratch..."));
    }
}

void MainWindow::ReportUnlockedDataFile()
{
    if (mp_dataFileLock->GetState() != DataFileLock::State::Failed)
        return;
    const QString l_reason = mp_dataFileLock->FailureReason();
    Log(ConfigurationCategory, 1,
        QStringLiteral("Could not lock %1 (%2): another client could use the same data file at "
                       "the same time.")
            .arg(mp_dataFileLock->Path(), l_reason));
    NoticeOfDataFile(tr("Data file not locked: %1").arg(l_reason));
}

void MainWindow::NoticeOfDataFile(const QString& i_text)
{
    // The page has one notice at a time: the newest about the file takes the place of an
    // earlier one, so that a failed save is not hidden behind the lock's notice.
    QWidget* lp_page = mp_ui->diagnosticsForm->Page(ConfigurationCategory);
    eventToolBar->RemoveEvent(lp_page);
    eventToolBar->AddEvent(i_text, QStringLiteral(":/icons/offline_icon"), lp_page);
}

void MainWindow::ShowSettings()
{
    mp_ui->downloadFolderEdit->setText(Text(SettingValue("download_folder")));
    mp_ui->uPnPCheckBox->setChecked(SettingIsYes("use_upnp"));
    mp_ui->autoExpandSharesCheckBox->setChecked(SettingIsYes("expand_new_shares"));
    if (SettingIsYes("minimize_to_tray"))
    {
        mp_ui->minimizeToTrayCheckBox->setChecked(true);
        m_trayIcon.setVisible(true);
    }
    mp_ui->listeningPortEdit->setText(Text(SettingValue("listening_port")));
    const std::string l_timestamps = SettingValue("chat_timestamps").AsString();
    int l_index = 0;
    while (l_index < 3 && l_timestamps != TimestampValues[l_index])
        ++l_index;
    mp_ui->chatTimestampsBox->setCurrentIndex(l_index);
}

void MainWindow::EveryFiveMinutes()
{
    d.RemoveDisconnectedItems();
    Log(ConfigurationCategory, 1,
        QStringLiteral("Saving configuration data to %1").arg(DataFilePath()));
    SaveDataFile(true);
}

void MainWindow::SaveDataFile(bool i_onlyWhenChanged)
{
    if (i_onlyWhenChanged && m_savedChangeCount == d.ChangeCount())
        return;
    const QString l_reason = dataSaver->Save(DataFilePath());
    if (l_reason.isEmpty())
    {
        m_savedChangeCount = d.ChangeCount();
        m_saveFailureReported = false;
        return;
    }
    // Unrecorded, the change count lets the next turn try again.
    if (g_showIsOver)
        std::fprintf(stderr, "%s\n",
                     qPrintable(tr("Data file %1 not saved: %2").arg(DataFilePath(), l_reason)));
    else if (!m_saveFailureReported)
        NoticeOfDataFile(tr("Data file not saved: %1").arg(l_reason));
    m_saveFailureReported = true;
}

void MainWindow::EveryHalfMinute() {}

void MainWindow::SetApplicationIcon(QString i_icon)
{
    const QIcon l_icon(i_icon);
    QApplication::setWindowIcon(l_icon);
    setWindowIcon(l_icon);
    // The tray shows the application's icon.
    m_trayIcon.setIcon(l_icon);
}

void MainWindow::ResetApplicationIcon()
{
    SetApplicationIcon(mp_server && mp_server->IsConnected()
                           ? QStringLiteral(":/icons/online_icon")
                           : QStringLiteral(":/icons/offline_icon"));
}

void MainWindow::resizeEvent(QResizeEvent* ip_event)
{
    QMainWindow::resizeEvent(ip_event);
    if (!isMaximized())
        emit m_sizeProxy.WindowResized(ip_event->size().width(), ip_event->size().height());
}

void MainWindow::moveEvent(QMoveEvent* ip_event)
{
    QMainWindow::moveEvent(ip_event);
    if (!isMaximized())
        emit m_sizeProxy.WindowMoved(ip_event->pos().x(), ip_event->pos().y());
}

void MainWindow::OnTrayIconActivated(QSystemTrayIcon::ActivationReason i_reason)
{
    if (i_reason != QSystemTrayIcon::Trigger)
        return;
    showNormal();
    activateWindow();
}

void MainWindow::OnConnecting()
{
    mp_ui->action_Connect->setEnabled(false);
    mp_ui->action_Disconnect->setEnabled(false);
}

void MainWindow::OnConnected()
{
    mp_ui->action_Connect->setEnabled(false);
    mp_ui->action_Disconnect->setEnabled(true);
    SetApplicationIcon(QStringLiteral(":/icons/online_icon"));
    mp_server->GetOwnPrivilegesStatus();
    SetSetting("enable_private_room_add", "no");
}

void MainWindow::OnDisconnected()
{
    mp_ui->action_Connect->setEnabled(true);
    mp_ui->action_Disconnect->setEnabled(false);
    SetApplicationIcon(QStringLiteral(":/icons/offline_icon"));
}

void MainWindow::OnConnectionFailed(std::string i_reason)
{
    const QString l_advice = tr("Please change your login settings in the Options tab and try "
                                "reconnecting.");
    if (i_reason == "INVALIDPASS")
        Inform(this, tr("Login Failure: Wrong Password"),
               tr("Login failed. The password you supplied does not match "
                  "your username. ") +
                   l_advice);
    else if (i_reason == "INVALIDUSERNAME")
        Inform(this, tr("Login Failure: Username is Invalid"),
               tr("Login failed. The username you supplied is invalid. ") + l_advice);
    else if (!mp_server->IsAbruptlyDisconnected())
        Inform(
            this, tr("Login Failure"),
            tr("Login failed. Reported failure reason: %1. ").arg(ShownText(FromUtf8(i_reason))) +
                l_advice);
    mp_ui->action_Connect->setEnabled(true);
    mp_ui->action_Disconnect->setEnabled(false);
}

void MainWindow::OnConnectMenuOptionClicked()
{
    ConnectAskingForName();
}

void MainWindow::ConnectAskingForName()
{
    // Without a name there is nothing to log in with: the user is asked for one first.
    if (SettingValue("username").IsNull())
    {
        ChangeUsernamePasswordDialog l_dialog(true);
        l_dialog.exec();
    }
    if (!SettingValue("username").IsNull())
        mp_server->Connect();
}

void MainWindow::OnDisconnectMenuOptionClicked()
{
    mp_server->Disconnect();
}

void MainWindow::OnListeningFailed(quint16 i_port, QString i_reason)
{
    eventToolBar->AddEvent(tr("Not listening on port %1 (%2): choose another listening port")
                               .arg(i_port)
                               .arg(i_reason),
                           QStringLiteral(":/icons/offline_icon"), mp_ui->loginOptionsTab);
}

void MainWindow::OnUsernameChanged(Item* ip_global)
{
    mp_ui->usernameEdit->setText(Text(ItemPtr(ip_global)["global_value"]));
}

void MainWindow::OnNewListeningPortChanged(Item* ip_global)
{
    mp_ui->listeningPortEdit->setText(Text(ItemPtr(ip_global)["global_value"]));
}

void MainWindow::OnRoomAdded(Item* ip_room)
{
    ItemPtr l_room(ip_room);
    if (!l_room["room_node"].IsNull())
        return;
    auto* lp_row = new QRoomListItemWidget(mp_ui->roomList);
    lp_row->setText(0, ShownName(Text(l_room)));
    QRoomListItemWidget::SetRoomName(lp_row, l_room.AsString());
    l_room += d["room_node"]->GetItem(Value(static_cast<QTreeWidgetItem*>(lp_row)));
}

void MainWindow::OnRoomUserCountChanged(Item* ip_room)
{
    ItemPtr l_room(ip_room);
    auto* lp_row = l_room["room_node"].AsPtr<QTreeWidgetItem>();
    if (!lp_row)
        return;
    ItemPtr l_count = l_room["user_count"];
    lp_row->setText(1, l_count.AsInt() != 0 ? Text(l_count) : QString());
}

void MainWindow::OnBecomingRoomOwner(Item* ip_room)
{
    SetRoomFont(ip_room, 1, 1, BoldWeight);
}

void MainWindow::OnBecomingRoomOperator(Item* ip_room)
{
    SetRoomFont(ip_room, 1, Unchanged, BoldWeight);
}

void MainWindow::OnBecomingRoomMember(Item* ip_room)
{
    ItemPtr l_room(ip_room);
    if (l_room.IsConnected("is_owner") || l_room.IsConnected("is_operator"))
        return;
    SetRoomFont(ip_room, 1, Unchanged, Unchanged);
}

void MainWindow::OnLosingRoomRole(Item* ip_room)
{
    ItemPtr l_room(ip_room);
    SetRoomFont(ip_room, l_room.IsConnected("is_member"), l_room.IsConnected("is_owner"),
                l_room.IsConnected("is_operator") ? BoldWeight : NormalWeight);
}

void MainWindow::SetRoomFont(Item* ip_room, int i_italic, int i_underline, int i_weight)
{
    auto* lp_row = ItemPtr(ip_room)["room_node"].AsPtr<QTreeWidgetItem>();
    if (!lp_row)
        return;
    const QVariant l_data = lp_row->data(0, Qt::FontRole);
    QFont l_font = l_data.isValid() ? l_data.value<QFont>() : QFont();
    if (i_italic != Unchanged)
        l_font.setItalic(i_italic != 0);
    if (i_underline != Unchanged)
        l_font.setUnderline(i_underline != 0);
    if (i_weight != Unchanged)
        l_font.setBold(i_weight == BoldWeight);
    lp_row->setFont(0, l_font);
    QTreeWidget* lp_list = mp_ui->roomList;
    lp_list->sortItems(lp_list->sortColumn(), lp_list->header()->sortIndicatorOrder());
}

void MainWindow::OnRoomListItemDoubleClicked(QTreeWidgetItem* ip_item, int i_column)
{
    if (i_column != 0 || !ip_item)
        return;
    mp_server->EnterRoom(QRoomListItemWidget::RoomName(*ip_item), false);
}

void MainWindow::OnRoomListItemSelectionChanged() {}

void MainWindow::OnFocusChanged(QWidget*, QWidget*) {}

void MainWindow::OnEnteredRoom(ConnectionInfo& i_info)
{
    ItemPtr l_room(i_info.first);
    if (!l_room["room_form"].IsNull())
        return;
    auto* lp_form = new RoomForm(l_room.AsString());
    AddNamedTab(mp_ui->roomsTabControl, lp_form, QIcon(), ShownName(Text(l_room)),
                l_room.AsString());
    lp_form->Init();
    FocusWidgetAndParents(lp_form);
}

void MainWindow::OnRoomTabClosed(int i_index)
{
    mp_server->LeaveRoom(TabName(mp_ui->roomsTabControl, i_index));
}

ChatForm* MainWindow::GetChatForm(std::string i_user)
{
    ItemPtr l_user = d["user"]->GetItem(i_user);
    if (ItemPtr l_widget = l_user["user_chat_widget"])
        return l_widget.AsPtr<ChatForm>();
    auto* lp_form = new ChatForm(i_user, this);
    AddNamedTab(mp_ui->chatTabControl, lp_form,
                QIcon(QString::fromLatin1(l_user.IsConnected("is_online") ? OnlineDotIcon
                                                                          : OfflineDotIcon)),
                ShownName(i_user), i_user);
    l_user += d["user_chat_widget"]->GetItem(Value(lp_form));
    mp_server->TrackUser(i_user);
    return lp_form;
}

void MainWindow::OpenChatForm(std::string i_user)
{
    FocusWidgetAndParents(GetChatForm(i_user));
}

void MainWindow::OnPrivateChat(std::string i_user, std::string i_text, time_t, bool)
{
    GetChatForm(i_user)->AddChat(i_user, i_text);
}

void MainWindow::OnChatTabClosed(int i_index)
{
    ItemPtr l_user = d["user"]->GetItem(TabName(mp_ui->chatTabControl, i_index));
    ItemPtr l_widget = l_user["user_chat_widget"];
    if (l_widget.IsNull())
        return;
    l_widget.AsPtr<ChatForm>()->deleteLater();
    l_widget.Remove();
}

void MainWindow::OnUserOnline(Item* ip_user)
{
    SetChatTabIcon(ip_user, true);
}

void MainWindow::OnUserOffline(Item* ip_user)
{
    SetChatTabIcon(ip_user, false);
}

void MainWindow::SetChatTabIcon(Item* ip_user, bool i_online)
{
    auto* lp_form = ItemPtr(ip_user)["user_chat_widget"].AsPtr<ChatForm>();
    if (!lp_form)
        return;
    mp_ui->chatTabControl->setTabIcon(
        mp_ui->chatTabControl->indexOf(lp_form),
        QIcon(QString::fromLatin1(i_online ? OnlineDotIcon : OfflineDotIcon)));
}

void MainWindow::OnSharedFolderAdded(Item* ip_folder)
{
    auto* lp_row = new QTreeWidgetItem(mp_ui->sharedFoldersList);
    lp_row->setText(0, Text(ip_folder));
}

void MainWindow::OnSharedFolderRemoved(Item* ip_folder)
{
    const QList<QTreeWidgetItem*> l_rows =
        mp_ui->sharedFoldersList->findItems(Text(ip_folder), Qt::MatchExactly, 0);
    if (!l_rows.isEmpty())
        delete l_rows.first();
}

void MainWindow::OnSharedFolderChange(ConnectionInfo i_info)
{
    ItemPtr l_folder(i_info.first);
    const std::string l_otherType = ItemPtr(i_info.second)->GetType()->Name();
    if (l_otherType != "shared_public" && l_otherType != "shared_userlist" &&
        l_otherType != "user_list_group")
        return;
    QString l_access;
    if (l_folder.IsConnected("shared_public"))
        l_access = tr("Everyone");
    else if (l_folder.IsConnected("shared_userlist"))
        l_access = tr("User List");
    else
    {
        QStringList l_groups;
        for (Item* lp_group : l_folder.GetItems("user_list_group").SortAlphabetic(true))
            l_groups.append(ShownName(ItemPtr(lp_group).AsString()));
        l_access = l_groups.join(QStringLiteral(", "));
    }
    const QList<QTreeWidgetItem*> l_rows =
        mp_ui->sharedFoldersList->findItems(Text(l_folder), Qt::MatchExactly, 0);
    if (!l_rows.isEmpty())
        l_rows.first()->setText(1, l_access);
}

void MainWindow::OnUPnPCheckboxToggled(bool i_checked)
{
    SetSetting("use_upnp", YesNo(i_checked));
    if (i_checked)
        portForwarder->Init();
}

void MainWindow::OnMinimizeToTrayCheckboxToggled(bool i_checked)
{
    SetSetting("minimize_to_tray", YesNo(i_checked));
    m_trayIcon.setVisible(i_checked);
}

void MainWindow::OnExpandNewSharesCheckboxToggled(bool i_checked)
{
    SetSetting("expand_new_shares", YesNo(i_checked));
}

void MainWindow::OnChatTimestampsBoxIndexChanged(int i_index)
{
    SetSetting("chat_timestamps", TimestampValues[i_index >= 0 && i_index < 3 ? i_index : 3]);
}

void MainWindow::OnPrivateRoomAddEnabled(bool i_enabled)
{
    SetSetting("enable_private_room_add", YesNo(i_enabled));
    actionBar->SetWidgetActionText(mp_ui->roomList, QStringLiteral("enable_private_room_add"),
                                   i_enabled ? tr("Reject Private Room Invitations")
                                             : tr("Accept Private Room Invitations"));
}

void MainWindow::OnSharedFilesRescanned(int i_added, int i_removed)
{
    auto* lp_dialog = new SharedFilesRescannedDialog(this);
    lp_dialog->setAttribute(Qt::WA_DeleteOnClose);
    lp_dialog->Append(tr("%1 files added.").arg(i_added));
    lp_dialog->Append(tr("%1 files removed.").arg(i_removed));
    lp_dialog->setWindowTitle(tr("Shared Files Rescanned"));
    lp_dialog->show();
}

void MainWindow::OnOptionsTabSelectionChanged(int i_index)
{
    if (i_index != -1 &&
        mp_ui->optionsTabControl->tabText(i_index) == QStringLiteral("File Sharing"))
        mp_ui->sharedFoldersList->setFocus(Qt::OtherFocusReason);
}

void MainWindow::OnToolBarActionTriggered(std::string i_id)
{
    RunRoomCommand(i_id, ToLatin1(actionBar->GetKey(QStringLiteral("room"))));
    RunSharingCommand(i_id);
    RunUserCommand(i_id, ToLatin1(actionBar->GetKey(QStringLiteral("user"))));
}

void MainWindow::RunRoomCommand(const std::string& i_id, const std::string& i_room)
{
    if (i_id == "refresh_room_list")
        mp_server->GetRoomList();
    else if (i_id == "enter_room")
        mp_server->EnterRoom(i_room, false);
    else if (i_id == "create_room")
    {
        if (!createRoomDialog)
            createRoomDialog = new CreateRoomDialog(this);
        createRoomDialog->show();
    }
    else if (i_id == "enable_private_room_add")
        mp_server->EnablePrivateRoomAdd(!SettingIsYes("enable_private_room_add"));
    else if (i_id == "leave_room")
        mp_server->LeaveRoom(i_room);
    else if (i_id == "toggle_room_autojoin")
    {
        ItemPtr l_room = d["room"]->GetItem(i_room);
        if (ItemPtr l_autojoin = l_room["room_autojoin"])
            l_room.Disconnect(l_autojoin);
        else
            l_room.NewItem("room_autojoin");
    }
    else if (i_id == "give_up_membership")
    {
        ItemPtr l_room = d["room"]->GetItem(i_room);
        if (!l_room.IsConnected("is_member") || l_room.IsConnected("is_owner"))
            return;
        if (Confirm(this, tr("Give up membership?"),
                    tr("Are you sure you want to give up your membership to the %1 private room?")
                        .arg(ShownName(i_room))))
            mp_server->GiveUpPrivateRoomMembership(i_room);
    }
    else if (i_id == "give_up_ownership")
    {
        if (!ItemPtr(d["room"]->GetItem(i_room)).IsConnected("is_owner"))
            return;
        if (!Confirm(this, tr("Give up membership?"),
                     tr("Are you SURE you want to give up your ownership of the %1 private room?")
                         .arg(ShownName(i_room))) ||
            !Confirm(this, tr("REALLY?"), tr("REALLY?")))
            return;
        mp_server->GiveUpPrivateRoom(i_room);
        mp_server->LeaveRoom(i_room);
    }
}

void MainWindow::RunSharingCommand(const std::string& i_id)
{
    if (i_id == "share_folder")
        (new AddSharedFolderDialog(this))->show();
    else if (i_id == "unshare_folder")
    {
        for (QTreeWidgetItem* lp_row : mp_ui->sharedFoldersList->selectedItems())
        {
            // A row whose text names no shared folder must not make one.
            ItemPtr l_folder = d["shared_folder"]->HasItem(lp_row->text(0));
            if (l_folder.IsNull())
                continue;
            l_folder.Remove();
            d.RemoveDisconnectedItems();
        }
    }
    else if (i_id == "set_download_folder")
    {
        QFileDialog l_dialog(this, tr("Set Download Folder"));
        l_dialog.setFileMode(QFileDialog::Directory);
        if (l_dialog.exec() != QDialog::Accepted || l_dialog.selectedFiles().isEmpty())
            return;
        const QString l_folder = l_dialog.selectedFiles().first();
        SetSetting("download_folder", l_folder);
        mp_ui->downloadFolderEdit->setText(l_folder);
    }
    else if (i_id == "rescan_shares")
        sharedFoldersManager->RescanShares();
    else if (i_id == "set_user_pass")
    {
        if (mp_server->IsConnected())
            Inform(this, tr("Cannot change username while online"),
                   tr("You must be disconnected from the Brindlex server to "
                      "change your username."));
        else
            (new ChangeUsernamePasswordDialog(false, this))->show();
    }
    else if (i_id == "set_listening_port")
        (new ChangeListeningPortDialog(this))->show();
}

void MainWindow::RunUserCommand(const std::string& i_id, const std::string& i_user)
{
    if (i_id == "browse_user")
        peerMessenger->GetUserSharedFiles(i_user);
    else if (i_id == "message_user")
        GetChatForm(i_user)->Focus();
    else if (i_id == "add_user")
        ItemPtr(d["user"]->GetItem(i_user)).NewItem("in_user_list");
}
