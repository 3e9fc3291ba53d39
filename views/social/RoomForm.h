#pragma once

#include "ConnectionInfo.h"
#include "DataHandler.h"

#include <QWidget>

#include <string>

class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPlainTextEdit;

// The page of one joined room: its chat, its users (a double click opens a private chat) and an
// entry field that sends to the room.
// It deletes itself, and so leaves its tab, when the room is left.
class RoomForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    RoomForm(std::string i_room, QWidget* ip_parent = nullptr);
    ~RoomForm() override;

    // Registers with the tool bar and follows the room in the store.
    void Init();

public slots:
    void OnRoomChat(std::string i_room, std::string i_user, std::string i_text);
    void OnReturnPressed();
    void OnUserDoubleClicked(QListWidgetItem* ip_item);

private:
    void OnRoomLeft(ConnectionInfo& i_info);
    void OnUsersChanged(ConnectionInfo& i_info);
    void ShowUsers();

    std::string m_room;
    QListWidget* mp_users;
    QPlainTextEdit* mp_lines;
    QLineEdit* mp_entry;
};
