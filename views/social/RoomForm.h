#pragma once

#include "DataHandler.h"

#include <QTimer>
#include <QWidget>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class ChatLog;
class Item;
class QRoomUserListItemWidget;
class QTreeWidgetItem;
class QUrl;
class Ui_RoomForm;

// The page of one joined room: its chat log, an entry field that sends to the room, and its users
// with flag, note, shared files and speed. It follows the room's users and the user notes in the
// store, survives a lost connection and enters the room again at the next login, and goes when
// the client is no longer in the room.
//
// Rows of users who come and go are put in and taken out of the list together, at most every
// placeDelayMs: a shown list lays out all its rows after every change, and one change per join
// would make a room of many users cost the square of its size.
class RoomForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    static constexpr int placeDelayMs = 100;

    RoomForm(std::string i_room, QWidget* ip_parent = nullptr);
    ~RoomForm() override;

    // Once the page is a tab: its splitter and list keep their sizes, and showing the tab
    // focuses the entry field.
    void Init();
    void AddStatusMessage(const std::string& i_text);

public slots:
    void OnRoomChat(std::string i_room, std::string i_user, std::string i_chat);
    void OnEnterPressed();
    void OnUserItemClicked(QTreeWidgetItem* ip_item, int i_column);
    void OnUserListContextMenuRequested(const QPoint& i_point);
    void OnConnected();
    void OnDisconnected();
    void CheckChatInactivity();
    void OnURLClicked(const QUrl& i_url);
    // Puts the rows of the users who came in their places and removes those of the users who
    // left; the timer calls it.
    void OnPlaceRows();

private:
    void OnUserAdded(Item* ip_user);
    void OnUserRemoved(Item* ip_user);
    void OnLeftRoom(Item* ip_room);
    void OnRoomAutojoinOn(Item* ip_room);
    void OnRoomAutojoinOff(Item* ip_room);
    void OnUserNoteChanged(Item* ip_user);
    void OnUserNoteRemoved(Item* ip_user);
    void OnSortChanged(int i_column, Qt::SortOrder i_order);

    // The row of the user, or null.
    QRoomUserListItemWidget* UserRow(const std::string& i_user) const;

    // Puts the row where the list's order wants it, so that the list never needs a whole sort.
    void PlaceRow(QRoomUserListItemWidget* ip_row);
    void SetNote(Item* ip_user, bool i_hasNote);
    void WriteUserCount();
    void SetAutojoinText(bool i_on);

    std::unique_ptr<Ui_RoomForm> mp_ui;
    std::string m_room;
    std::unique_ptr<ChatLog> mp_log;
    struct UserRowEntry
    {
        QRoomUserListItemWidget* mp_row;
        // The row's place in m_waitingRows while it is outside the list.
        std::size_t m_waitingIndex;
    };
    // Every user in the room: the row in the list, or the row waiting to go in.
    std::unordered_map<std::string, UserRowEntry> m_rows;
    // In the order of joining; null where the user left before the row went in.
    std::vector<QRoomUserListItemWidget*> m_waitingRows;
    // Rows in the list whose users left.
    std::vector<QRoomUserListItemWidget*> m_leftRows;
    QTimer m_placeTimer;
};
