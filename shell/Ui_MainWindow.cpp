#include "Ui_MainWindow.h"

#include "ActionSetToolBar.h"
#include "DiagnosticsForm.h"
#include "MainWindow.h"
#include "RoomTabWidget.h"
#include "SearchForm.h"
#include "SharesForm.h"
#include "TabWidget.h"
#include "TransfersForm.h"
#include "UserListForm.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace
{
// A main tab page: a plain widget whose one layout holds one child.
template <typename Layout> Layout* PageLayout(QWidget* ip_page, const char* ip_name)
{
    auto* lp_layout = new Layout(ip_page);
    lp_layout->setSpacing(6);
    lp_layout->setContentsMargins(11, 11, 11, 11);
    lp_layout->setObjectName(QString::fromLatin1(ip_name));
    return lp_layout;
}

// Puts the one child into the page's layout and the page into the tab widget.
template <typename Layout>
Layout* FillPage(QTabWidget* ip_tabs, QWidget* ip_page, const char* ip_layoutName,
                 QWidget* ip_child)
{
    Layout* lp_layout = PageLayout<Layout>(ip_page, ip_layoutName);
    lp_layout->addWidget(ip_child);
    ip_tabs->addTab(ip_page, QString());
    return lp_layout;
}

template <typename T> T* Named(T* ip_object, const char* ip_name)
{
    ip_object->setObjectName(QString::fromLatin1(ip_name));
    return ip_object;
}

QString Tr(const char* ip_text)
{
    return QApplication::translate("MainWindow", ip_text);
}

// Widgets of fixed geometry keep their place but grow to show their whole text in the font in
// use; a field to the right of a grown label moves along.
void FitText(QWidget* ip_widget, QWidget* ip_field = nullptr)
{
    const QSize l_hint = ip_widget->sizeHint();
    ip_widget->resize(qMax(ip_widget->width(), l_hint.width()),
                      qMax(ip_widget->height(), l_hint.height()));
    constexpr int Gap = 6;
    const int l_end = ip_widget->geometry().right() + Gap;
    if (ip_field && ip_field->x() < l_end)
        ip_field->move(l_end, ip_field->y());
}
} // namespace

void Ui_MainWindow::setupUi(MainWindow* ip_window)
{
    if (ip_window->objectName().isEmpty())
        ip_window->setObjectName(QStringLiteral("MainWindow"));
    ip_window->resize(1000, 600);
    QIcon l_icon;
    l_icon.addFile(QStringLiteral(":/icons/offline_icon"), QSize(), QIcon::Normal, QIcon::Off);
    ip_window->setWindowIcon(l_icon);
    ip_window->setDockNestingEnabled(true);

    action_Connect = Named(new QAction(ip_window), "action_Connect");
    action_Disconnect = Named(new QAction(ip_window), "action_Disconnect");
    action_Disconnect->setEnabled(false);
    action_Data = Named(new QAction(ip_window), "action_Data");

    centralWidget = Named(new QWidget(ip_window), "centralWidget");
    gridLayout_2 = Named(new QGridLayout(centralWidget), "gridLayout_2");
    gridLayout_2->setSpacing(6);
    gridLayout_2->setContentsMargins(11, 11, 11, 11);
    tabControl = Named(new TabWidget(centralWidget), "tabControl");

    transfersTab = Named(new QWidget(), "transfersTab");
    transfersForm = Named(new TransfersForm(transfersTab), "transfersForm");
    horizontalLayout_6 =
        FillPage<QHBoxLayout>(tabControl, transfersTab, "horizontalLayout_6", transfersForm);

    roomsTab = Named(new QWidget(), "roomsTab");
    roomSplitter = Named(new QSplitter(roomsTab), "roomSplitter");
    roomSplitter->setOrientation(Qt::Horizontal);
    roomsTabControl = Named(new TabWidget(roomSplitter), "roomsTabControl");
    roomsTabControl->setTabsClosable(false);
    roomSplitter->addWidget(roomsTabControl);
    roomList = Named(new QTreeWidget(roomSplitter), "roomList");
    roomList->setColumnCount(2);
    roomList->setIconSize(QSize(16, 11));
    roomList->setRootIsDecorated(false);
    roomList->setItemsExpandable(false);
    roomList->setSortingEnabled(true);
    roomSplitter->addWidget(roomList);
    horizontalLayout =
        FillPage<QHBoxLayout>(tabControl, roomsTab, "horizontalLayout", roomSplitter);

    chatTab = Named(new QWidget(), "chatTab");
    chatTabControl = Named(new RoomTabWidget(chatTab), "chatTabControl");
    chatTabControl->setTabsClosable(true);
    horizontalLayout_2 =
        FillPage<QHBoxLayout>(tabControl, chatTab, "horizontalLayout_2", chatTabControl);

    searchTab = Named(new QWidget(), "searchTab");
    searchForm = Named(new SearchForm(searchTab), "searchForm");
    verticalLayout_2 = FillPage<QVBoxLayout>(tabControl, searchTab, "verticalLayout_2", searchForm);

    tab_2 = Named(new QWidget(), "tab_2");
    userListForm = Named(new UserListForm(tab_2), "userListForm");
    horizontalLayout_8 =
        FillPage<QHBoxLayout>(tabControl, tab_2, "horizontalLayout_8", userListForm);

    sharesTab = Named(new QWidget(), "sharesTab");
    sharesForm = Named(new SharesForm(sharesTab), "sharesForm");
    horizontalLayout_7 =
        FillPage<QHBoxLayout>(tabControl, sharesTab, "horizontalLayout_7", sharesForm);

    optionsTab = Named(new QWidget(), "optionsTab");
    optionsTabControl = Named(new TabWidget(optionsTab), "optionsTabControl");
    optionsTabControl->setTabShape(QTabWidget::Triangular);

    loginOptionsTab = Named(new QWidget(), "loginOptionsTab");
    label_2 = Named(new QLabel(loginOptionsTab), "label_2");
    label_2->setGeometry(QRect(20, 30, 61, 16));
    usernameEdit = Named(new QLineEdit(loginOptionsTab), "usernameEdit");
    usernameEdit->setGeometry(QRect(110, 30, 191, 20));
    usernameEdit->setReadOnly(true);
    label_4 = Named(new QLabel(loginOptionsTab), "label_4");
    label_4->setGeometry(QRect(20, 70, 71, 16));
    listeningPortEdit = Named(new QLineEdit(loginOptionsTab), "listeningPortEdit");
    listeningPortEdit->setGeometry(QRect(110, 70, 101, 20));
    listeningPortEdit->setReadOnly(true);
    uPnPCheckBox = Named(new QCheckBox(loginOptionsTab), "uPnPCheckBox");
    uPnPCheckBox->setGeometry(QRect(40, 100, 70, 17));
    optionsTabControl->addTab(loginOptionsTab, QString());

    fileSharingOptionsTab = Named(new QWidget(), "fileSharingOptionsTab");
    horizontalLayout_9 = PageLayout<QHBoxLayout>(fileSharingOptionsTab, "horizontalLayout_9");
    verticalLayout = Named(new QVBoxLayout(), "verticalLayout");
    verticalLayout->setSpacing(6);
    horizontalLayout_5 = Named(new QHBoxLayout(), "horizontalLayout_5");
    horizontalLayout_5->setSpacing(6);
    label_3 = Named(new QLabel(fileSharingOptionsTab), "label_3");
    label_3->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    horizontalLayout_5->addWidget(label_3);
    downloadFolderEdit = Named(new QLineEdit(fileSharingOptionsTab), "downloadFolderEdit");
    downloadFolderEdit->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    downloadFolderEdit->setMaximumWidth(500);
    downloadFolderEdit->setReadOnly(true);
    horizontalLayout_5->addWidget(downloadFolderEdit);
    downloadFolderSpacer = Named(new QLabel(fileSharingOptionsTab), "downloadFolderSpacer");
    horizontalLayout_5->addWidget(downloadFolderSpacer);
    verticalLayout->addLayout(horizontalLayout_5);
    label = Named(new QLabel(fileSharingOptionsTab), "label");
    verticalLayout->addWidget(label);
    sharedFoldersList = Named(new QTreeWidget(fileSharingOptionsTab), "sharedFoldersList");
    sharedFoldersList->setColumnCount(2);
    // Unsharing acts on every selected folder.
    sharedFoldersList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    verticalLayout->addWidget(sharedFoldersList);
    horizontalLayout_9->addLayout(verticalLayout);
    optionsTabControl->addTab(fileSharingOptionsTab, QString());

    tab_3 = Named(new QWidget(), "tab_3");
    minimizeToTrayCheckBox = Named(new QCheckBox(tab_3), "minimizeToTrayCheckBox");
    minimizeToTrayCheckBox->setGeometry(QRect(20, 20, 321, 17));
    autoExpandSharesCheckBox = Named(new QCheckBox(tab_3), "autoExpandSharesCheckBox");
    autoExpandSharesCheckBox->setGeometry(QRect(20, 50, 331, 17));
    label_5 = Named(new QLabel(tab_3), "label_5");
    label_5->setGeometry(QRect(22, 82, 84, 16));
    chatTimestampsBox = Named(new QComboBox(tab_3), "chatTimestampsBox");
    chatTimestampsBox->setGeometry(QRect(112, 82, 158, 27));
    chatTimestampsBox->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    optionsTabControl->addTab(tab_3, QString());
    horizontalLayout_4 =
        FillPage<QHBoxLayout>(tabControl, optionsTab, "horizontalLayout_4", optionsTabControl);

    tab = Named(new QWidget(), "tab");
    diagnosticsForm = Named(new DiagnosticsForm(tab), "diagnosticsForm");
    horizontalLayout_3 =
        FillPage<QHBoxLayout>(tabControl, tab, "horizontalLayout_3", diagnosticsForm);

    gridLayout_2->addWidget(tabControl, 0, 0, 1, 1);
    ip_window->setCentralWidget(centralWidget);

    menuBar = Named(new QMenuBar(ip_window), "menuBar");
    menuBar->setGeometry(QRect(0, 0, 1000, 25));
    menuConnection = Named(new QMenu(menuBar), "menuConnection");
    ip_window->setMenuBar(menuBar);
    mainToolBar = Named(new ActionSetToolBar(ip_window), "mainToolBar");
    mainToolBar->setContextMenuPolicy(Qt::NoContextMenu);
    mainToolBar->setMovable(false);
    mainToolBar->setIconSize(QSize(16, 16));
    mainToolBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    ip_window->addToolBar(Qt::TopToolBarArea, mainToolBar);
    statusBar = Named(new QStatusBar(ip_window), "statusBar");
    ip_window->setStatusBar(statusBar);

    menuBar->addAction(menuConnection->menuAction());
    menuConnection->addAction(action_Connect);
    menuConnection->addAction(action_Disconnect);

    retranslateUi(ip_window);

    QObject::connect(roomList, &QTreeWidget::itemSelectionChanged, ip_window,
                     &MainWindow::OnRoomListItemSelectionChanged);
    QObject::connect(roomsTabControl, &QTabWidget::tabCloseRequested, ip_window,
                     &MainWindow::OnRoomTabClosed);
    QObject::connect(chatTabControl, &QTabWidget::tabCloseRequested, ip_window,
                     &MainWindow::OnChatTabClosed);
    QObject::connect(optionsTabControl, &QTabWidget::currentChanged, ip_window,
                     &MainWindow::OnOptionsTabSelectionChanged);
    QObject::connect(uPnPCheckBox, &QCheckBox::toggled, ip_window,
                     &MainWindow::OnUPnPCheckboxToggled);
    QObject::connect(minimizeToTrayCheckBox, &QCheckBox::toggled, ip_window,
                     &MainWindow::OnMinimizeToTrayCheckboxToggled);
    QObject::connect(autoExpandSharesCheckBox, &QCheckBox::toggled, ip_window,
                     &MainWindow::OnExpandNewSharesCheckboxToggled);
    QObject::connect(chatTimestampsBox, &QComboBox::currentIndexChanged, ip_window,
                     &MainWindow::OnChatTimestampsBoxIndexChanged);

    tabControl->setCurrentIndex(1);
    roomsTabControl->setCurrentIndex(-1);
    optionsTabControl->setCurrentIndex(0);

    QMetaObject::connectSlotsByName(ip_window);
}

void Ui_MainWindow::retranslateUi(MainWindow* ip_window)
{
    ip_window->setWindowTitle(Tr("BrindlexQt nightly build 3/16/2012"));
    action_Connect->setText(Tr("&Connect"));
    action_Disconnect->setText(Tr("&Disconnect"));
    action_Data->setText(Tr("&Data"));
    const std::pair<QWidget*, const char*> l_mainTabs[] = {
        {transfersTab, "Transfers"}, {roomsTab, "Rooms"}, {chatTab, "Chat"},
        {searchTab, "Search"},       {tab_2, "Users"},    {sharesTab, "Browse"},
        {optionsTab, "Options"},     {tab, "Diagnostics"}};
    for (const auto& [lp_page, lp_text] : l_mainTabs)
        tabControl->setTabText(tabControl->indexOf(lp_page), Tr(lp_text));
    const std::pair<QWidget*, const char*> l_optionTabs[] = {
        {loginOptionsTab, "Login"}, {fileSharingOptionsTab, "File Sharing"}, {tab_3, "UI"}};
    for (const auto& [lp_page, lp_text] : l_optionTabs)
        optionsTabControl->setTabText(optionsTabControl->indexOf(lp_page), Tr(lp_text));
    label_2->setText(Tr("Username"));
    label_4->setText(Tr("Listening port"));
    uPnPCheckBox->setText(Tr("use UPnP"));
    label_3->setText(Tr("Download Folder"));
    downloadFolderSpacer->setText(QString());
    label->setText(Tr("Shared Folders"));
    minimizeToTrayCheckBox->setText(Tr("Minimize to tray [Windows only]"));
    autoExpandSharesCheckBox->setText(Tr("Auto-expand newly browsed shares"));
    label_5->setText(Tr("Chat timestamps:"));
    chatTimestampsBox->clear();
    chatTimestampsBox->insertItems(0, {Tr("Activity based"), Tr("Per message (short)"),
                                       Tr("Per message (long)"), Tr("No timestamps")});
    menuConnection->setTitle(Tr("Connection"));
    FitText(label_2, usernameEdit);
    FitText(label_4, listeningPortEdit);
    FitText(label_5, chatTimestampsBox);
    for (QWidget* lp_box :
         {static_cast<QWidget*>(uPnPCheckBox), static_cast<QWidget*>(minimizeToTrayCheckBox),
          static_cast<QWidget*>(autoExpandSharesCheckBox)})
        FitText(lp_box);
}
