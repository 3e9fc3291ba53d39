#pragma once

class ActionSetToolBar;
class DiagnosticsForm;
class MainWindow;
class QAction;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QSplitter;
class QStatusBar;
class QTreeWidget;
class QVBoxLayout;
class QWidget;
class RoomTabWidget;
class SearchForm;
class SharesForm;
class TabWidget;
class TransfersForm;
class UserListForm;

// The widgets of the main window, built in the manner of generated set-up code. Every widget is
// owned by its Qt parent.
class Ui_MainWindow
{
public:
    QAction* action_Connect;
    QAction* action_Disconnect;
    QAction* action_Data;
    QWidget* centralWidget;
    QGridLayout* gridLayout_2;
    TabWidget* tabControl;
    QWidget* transfersTab;
    QHBoxLayout* horizontalLayout_6;
    TransfersForm* transfersForm;
    QWidget* roomsTab;
    QHBoxLayout* horizontalLayout;
    QSplitter* roomSplitter;
    TabWidget* roomsTabControl;
    QTreeWidget* roomList;
    QWidget* chatTab;
    QHBoxLayout* horizontalLayout_2;
    RoomTabWidget* chatTabControl;
    QWidget* searchTab;
    QVBoxLayout* verticalLayout_2;
    SearchForm* searchForm;
    QWidget* tab_2;
    QHBoxLayout* horizontalLayout_8;
    UserListForm* userListForm;
    QWidget* sharesTab;
    QHBoxLayout* horizontalLayout_7;
    SharesForm* sharesForm;
    QWidget* optionsTab;
    QHBoxLayout* horizontalLayout_4;
    TabWidget* optionsTabControl;
    QWidget* loginOptionsTab;
    QLabel* label_2;
    QLineEdit* usernameEdit;
    QLabel* label_4;
    QLineEdit* listeningPortEdit;
    QCheckBox* uPnPCheckBox;
    QWidget* fileSharingOptionsTab;
    QHBoxLayout* horizontalLayout_9;
    QVBoxLayout* verticalLayout;
    QHBoxLayout* horizontalLayout_5;
    QLabel* label_3;
    QLineEdit* downloadFolderEdit;
    QLabel* downloadFolderSpacer;
    QLabel* label;
    QTreeWidget* sharedFoldersList;
    QWidget* tab_3;
    QCheckBox* minimizeToTrayCheckBox;
    QCheckBox* autoExpandSharesCheckBox;
    QLabel* label_5;
    QComboBox* chatTimestampsBox;
    QWidget* tab;
    QHBoxLayout* horizontalLayout_3;
    DiagnosticsForm* diagnosticsForm;
    QMenuBar* menuBar;
    QMenu* menuConnection;
    ActionSetToolBar* mainToolBar;
    QStatusBar* statusBar;

    void setupUi(MainWindow* ip_window);
    void retranslateUi(MainWindow* ip_window);
};
