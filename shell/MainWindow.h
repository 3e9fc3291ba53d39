#pragma once

#include "ConnectionInfo.h"
#include "DataHandler.h"
#include "ResizableWindow.h"

#include <QMainWindow>
#include <QSystemTrayIcon>

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

class ChatForm;
class DataDialog;
class DataFileLock;
class Item;
class QTreeWidgetItem;
class Server;
class TypeNavigatorDialog;
class Ui_MainWindow;

// The main window and the client's composition root: Init creates the services in order, wires
// them to the window, loads the data file and connects; the destructor disconnects, saves and
// deletes the services. One instance, the global mainWindow.
class MainWindow : public QMainWindow, public DataHandler
{
    Q_OBJECT

public:
    // The window's geometry for the size manager.
    class SizeProxy : public ResizableWindow
    {
    public:
        int GetX() override;
        int GetY() override;
        int GetWidth() override;
        int GetHeight() override;
        void SetPosition(int i_x, int i_y) override;
        void SetSize(int i_width, int i_height) override;
    };

    explicit MainWindow(QWidget* ip_parent = nullptr);
    ~MainWindow() override;

    // Shows the window and starts the client. False when another running client uses the data
    // file: the user was told, and nothing was shown, loaded, connected or started.
    bool Init();
    // Ends the client as closing the window does, at any point: a start-up box or dialog open is
    // closed, the rest of start-up is skipped, and the event loop, if it runs, ends.
    void Quit();
    bool QuitRequested() const { return m_quitRequested; }

    // Where the client keeps its data: a file in the home folder.
    static QString DataFilePath();

    void SetApplicationIcon(QString i_icon);
    void ResetApplicationIcon();

    // The user's chat page, made when missing; the Chat tab is not switched to it.
    ChatForm* GetChatForm(std::string i_user);
    // The user's chat page, brought forward and focused.
    void OpenChatForm(std::string i_user);

    Ui_MainWindow* Ui() const { return mp_ui; }
    QSystemTrayIcon& TrayIcon() { return m_trayIcon; }

public slots:
    void OnConnected();
    void OnConnecting();
    void OnDisconnected();
    void OnConnectMenuOptionClicked();
    void OnDisconnectMenuOptionClicked();
    void OnRoomListItemDoubleClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnToolBarActionTriggered(std::string i_id);
    void OnRoomListItemSelectionChanged();
    void OnFocusChanged(QWidget* ip_old, QWidget* ip_now);
    void OnPrivateChat(std::string i_user, std::string i_text, time_t i_time, bool i_spontaneous);
    void OnConnectionFailed(std::string i_reason);
    void OnRoomTabClosed(int i_index);
    void OnChatTabClosed(int i_index);
    void OnSharedFilesRescanned(int i_added, int i_removed);
    void OnOptionsTabSelectionChanged(int i_index);
    void OnUPnPCheckboxToggled(bool i_checked);
    void OnMinimizeToTrayCheckboxToggled(bool i_checked);
    void OnExpandNewSharesCheckboxToggled(bool i_checked);
    void EveryHalfMinute();
    void EveryFiveMinutes();
    void OnTrayIconActivated(QSystemTrayIcon::ActivationReason i_reason);
    void OnChatTimestampsBoxIndexChanged(int i_index);
    void OnPrivateRoomAddEnabled(bool i_enabled);
    // The store browser and the type navigator, one of each, shown modeless.
    void OnShowData();
    void OnTypeNavigator();
    // Posts a notice: other users cannot connect on the port.
    void OnListeningFailed(quint16 i_port, QString i_reason);

protected:
    void resizeEvent(QResizeEvent* ip_event) override;
    void moveEvent(QMoveEvent* ip_event) override;

private:
    void DeclareTypes();
    void Subscribe();
    void LoadDataFile();
    // A client that could not take the data file's lock runs on, and says so.
    void ReportUnlockedDataFile();
    // A notice about the data file, leading to the Configuration Data page.
    void NoticeOfDataFile(const QString& i_text);
    void ShowSettings();
    // Writes the data file; with i_onlyWhenChanged, not when the store has not changed since the
    // last successful save. A failure is told once until a save succeeds: in the bar of notices,
    // or on standard error at shut-down.
    void SaveDataFile(bool i_onlyWhenChanged);
    // Connects, asking for the user name first when none is stored.
    void ConnectAskingForName();

    void OnRoomAdded(Item* ip_room);
    void OnRoomUserCountChanged(Item* ip_room);
    void OnBecomingRoomOwner(Item* ip_room);
    void OnBecomingRoomOperator(Item* ip_room);
    void OnBecomingRoomMember(Item* ip_room);
    void OnLosingRoomRole(Item* ip_room);
    void OnEnteredRoom(ConnectionInfo& i_info);
    void OnSharedFolderAdded(Item* ip_folder);
    void OnSharedFolderRemoved(Item* ip_folder);
    void OnSharedFolderChange(ConnectionInfo i_info);
    void OnUsernameChanged(Item* ip_global);
    void OnNewListeningPortChanged(Item* ip_global);
    void OnUserOnline(Item* ip_user);
    void OnUserOffline(Item* ip_user);
    void SetChatTabIcon(Item* ip_user, bool i_online);
    // Applies a role change to the room's row: italic, underline and weight, then re-sorts.
    void SetRoomFont(Item* ip_room, int i_italic, int i_underline, int i_weight);

    void RunRoomCommand(const std::string& i_id, const std::string& i_room);
    void RunSharingCommand(const std::string& i_id);
    void RunUserCommand(const std::string& i_id, const std::string& i_user);

    Ui_MainWindow* mp_ui;
    DataDialog* mp_dataDialog = nullptr;
    TypeNavigatorDialog* mp_typeNavigatorDialog = nullptr;
    Server* mp_server = nullptr;
    // Held from start-up until the window, the last save done, is gone.
    std::unique_ptr<DataFileLock> mp_dataFileLock;
    SizeProxy m_sizeProxy;
    QSystemTrayIcon m_trayIcon;
    // The store's change count at the last save; none before the first.
    std::optional<std::uint64_t> m_savedChangeCount;
    bool m_saveFailureReported = false;
    // The data file was loaded or missing, or start-up went on after its failure: saving may
    // replace it.
    bool m_mayReplaceDataFile = false;
    bool m_quitRequested = false;
};

extern MainWindow* mainWindow;
