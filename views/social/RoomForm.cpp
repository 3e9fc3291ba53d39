#include "RoomForm.h"

#include "ActionSetToolBar.h"
#include "Data.h"
#include "MainWindow.h"
#include "Server.h"
#include "StoreFunctions.h"
#include "UIFunctions.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QVBoxLayout>

RoomForm::RoomForm(std::string i_room, QWidget* ip_parent)
    : QWidget(ip_parent), m_room(std::move(i_room)), mp_users(new QListWidget(this)),
      mp_lines(new QPlainTextEdit(this)), mp_entry(new QLineEdit(this))
{
    setObjectName(QStringLiteral("roomForm"));
    mp_lines->setObjectName(QStringLiteral("roomLines"));
    mp_lines->setReadOnly(true);
    // Focusing the page puts the cursor in its entry field.
    setFocusProxy(mp_entry);
    mp_entry->setObjectName(QStringLiteral("roomEntry"));
    mp_entry->setMaxLength(MaxChatLineLength);
    mp_users->setObjectName(QStringLiteral("roomUsers"));
    mp_users->setSortingEnabled(true);
    mp_users->setMaximumWidth(200);
    auto* lp_chat = new QVBoxLayout();
    lp_chat->addWidget(mp_lines);
    lp_chat->addWidget(mp_entry);
    auto* lp_layout = new QHBoxLayout(this);
    lp_layout->addLayout(lp_chat, 1);
    lp_layout->addWidget(mp_users);
    connect(mp_entry, &QLineEdit::returnPressed, this, &RoomForm::OnReturnPressed);
    connect(mp_users, &QListWidget::itemDoubleClicked, this, &RoomForm::OnUserDoubleClicked);
}

RoomForm::~RoomForm()
{
    if (g_showIsOver)
        return;
    ItemPtr l_room = d["room"]->HasItem(m_room);
    if (ItemPtr l_link = l_room["room_form"])
        l_link.Remove();
}

void RoomForm::Init()
{
    actionBar->RegisterWidget(this, QStringLiteral("room"));
    actionBar->AddWidgetKey(this, QStringLiteral("room"), QString::fromStdString(m_room));
    ItemPtr l_room = d["room"]->GetItem(m_room);
    l_room += d["room_form"]->GetItem(Value(this));
    d.AddDisconnectionEventHandler(
        d["room"], d["in_room"],
        new EventHandler<RoomForm, ConnectionInfo&>(this, &RoomForm::OnRoomLeft));
    for (auto l_add : {&Data::AddConnectionEventHandler, &Data::AddDisconnectionEventHandler})
        (d.*l_add)(d["room"], d["user"],
                   new EventHandler<RoomForm, ConnectionInfo&>(this, &RoomForm::OnUsersChanged));
    connect(gp_server, &Server::RoomChat, this, &RoomForm::OnRoomChat);
    ShowUsers();
}

void RoomForm::OnRoomChat(std::string i_room, std::string i_user, std::string i_text)
{
    if (i_room != m_room)
        return;
    // Plain text: what other users send is never markup.
    mp_lines->appendPlainText(QStringLiteral("[%1] %2").arg(QString::fromStdString(i_user),
                                                            QString::fromStdString(i_text)));
}

void RoomForm::OnReturnPressed()
{
    const std::string l_text = mp_entry->text().toStdString();
    if (l_text.empty() || !gp_server->IsConnected() || !ChatLineFits(l_text, mp_lines))
        return;
    gp_server->SendRoomChat(m_room, l_text);
    mp_entry->clear();
}

void RoomForm::OnUserDoubleClicked(QListWidgetItem* ip_item)
{
    mainWindow->OpenChatForm(ip_item->text().toStdString());
}

void RoomForm::OnRoomLeft(ConnectionInfo& i_info)
{
    if (ItemPtr(i_info.first).AsString() == m_room)
        deleteLater();
}

void RoomForm::OnUsersChanged(ConnectionInfo& i_info)
{
    if (ItemPtr(i_info.first).AsString() == m_room)
        ShowUsers();
}

void RoomForm::ShowUsers()
{
    mp_users->clear();
    for (Item* lp_user : ItemPtr(d["room"]->GetItem(m_room)).GetItems("user"))
        mp_users->addItem(QString::fromStdString(ItemPtr(lp_user).AsString()));
}
