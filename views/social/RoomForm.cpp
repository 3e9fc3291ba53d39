#include "RoomForm.h"

#include "ActionSetToolBar.h"
#include "CellToolTipDelegate.h"
#include "ChatLog.h"
#include "Clock.h"
#include "Data.h"
#include "GeneralFunctions.h"
#include "QRoomUserListItemWidget.h"
#include "Server.h"
#include "SizeManager.h"
#include "TimerManager.h"
#include "UIFunctions.h"
#include "UserMenuOptions.h"
#include "UserNoteDialog.h"
#include "ui_RoomForm.h"

#include <QHeaderView>
#include <QMenu>

#include <algorithm>

namespace
{
using Row = QRoomUserListItemWidget;

EventHandler<RoomForm, Item*>* Handler(RoomForm* ip_form, void (RoomForm::*ip_method)(Item*))
{
    return new EventHandler<RoomForm, Item*>(ip_form, ip_method);
}

// A subscription to the items of the root that gain (or lose) the link to the child.
void Subscribe(PathNode* ip_root, const char* ip_child, PathNodeRelation i_relation,
               EventHandlerBase<Item*>* ip_handler)
{
    new PathNode(ip_root, ip_child, i_relation);
    d.AddPathEventHandler(ip_root, ip_handler);
}

QString TimeText()
{
    return Clock::Now().toString(QStringLiteral("h:mm:ss"));
}
} // namespace

RoomForm::RoomForm(std::string i_room, QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(std::make_unique<Ui_RoomForm>()), m_room(std::move(i_room))
{
    mp_ui->setupUi(this);
    mp_log = std::make_unique<ChatLog>(mp_ui->chatView, ChatLog::Trimming::AtLimit);
    mp_ui->chatEdit->setMaxLength(MaxChatLineLength);
    mp_ui->splitter->setSizes({280, 250});
    mp_ui->splitter->setStretchFactor(0, 1);
    mp_ui->splitter->setStretchFactor(1, 0);

    QTreeWidget* lp_list = mp_ui->userList;
    lp_list->setColumnCount(Row::ColumnCount);
    ShowCellTextsAsToolTips(lp_list);
    lp_list->setHeaderLabels({QString(), QString(), tr("User"), QString(), tr("Files"), tr("K/s")});
    lp_list->headerItem()->setIcon(Row::NoteColumn, QIcon(QStringLiteral(":/icons/note_icon")));
    const int l_widths[] = {20, 25, 90, 20, 50, 40};
    for (int l_column = 0; l_column < Row::ColumnCount; ++l_column)
        lp_list->setColumnWidth(l_column, l_widths[l_column]);
    // The list orders itself as the view's own sorting would, but places each new row where it
    // belongs instead of sorting the whole list after every join.
    QHeaderView* lp_header = lp_list->header();
    lp_header->setStretchLastSection(true);
    lp_header->setSortIndicator(Row::NameColumn, Qt::AscendingOrder);
    lp_header->setSortIndicatorShown(true);
    lp_header->setSectionsClickable(true);
    connect(lp_header, &QHeaderView::sortIndicatorChanged, this, &RoomForm::OnSortChanged);

    connect(lp_list, &QTreeWidget::itemClicked, this, &RoomForm::OnUserItemClicked);
    connect(mp_ui->chatEdit, &QLineEdit::returnPressed, this, &RoomForm::OnEnterPressed);
    connect(lp_list, &QWidget::customContextMenuRequested, this,
            &RoomForm::OnUserListContextMenuRequested);
    connect(mp_ui->chatView, &QTextBrowser::anchorClicked, this, &RoomForm::OnURLClicked);
    m_placeTimer.setSingleShot(true);
    m_placeTimer.setInterval(placeDelayMs);
    connect(&m_placeTimer, &QTimer::timeout, this, &RoomForm::OnPlaceRows);

    ItemPtr l_room = d["room"]->GetItem(m_room);
    // The shell opens no second page for a room that has this one.
    l_room += d["room_form"]->GetItem(Value(this));

    auto* lp_users = new PathNode(&d, "user");
    new PathNode(lp_users, l_room, RequireConnected);
    for (const char* lp_attribute : {"average_download_speed", "shared_files_count"})
        new PathNode(lp_users, lp_attribute, RequireConnected);
    Subscribe(lp_users, "country_code", RequireConnected, Handler(this, &RoomForm::OnUserAdded));
    auto* lp_leaving = new PathNode(&d, "user");
    new PathNode(lp_leaving, l_room, OnDisconnect);
    d.AddPathEventHandler(lp_leaving, Handler(this, &RoomForm::OnUserRemoved));
    connect(gp_server, &Server::RoomChat, this, &RoomForm::OnRoomChat);
    Subscribe(new PathNode(l_room), "in_room", OnDisconnect, Handler(this, &RoomForm::OnLeftRoom));

    actionBar->RegisterWidget(this, QStringLiteral("room"));
    // The name's bytes one character each, as the room list's rows keep them.
    actionBar->AddWidgetKey(this, QStringLiteral("room"), FromLatin1(m_room));
    SetAutojoinText(l_room.IsConnected("room_autojoin"));
    actionBar->SetWidgetActionHidden(this, QStringLiteral("give_up_membership"),
                                     !l_room.IsConnected("is_member") ||
                                         l_room.IsConnected("is_owner"));
    actionBar->SetWidgetActionHidden(this, QStringLiteral("give_up_ownership"),
                                     !l_room.IsConnected("is_owner"));
    Subscribe(new PathNode(l_room), "room_autojoin", OnConnect,
              Handler(this, &RoomForm::OnRoomAutojoinOn));
    Subscribe(new PathNode(l_room), "room_autojoin", OnDisconnect,
              Handler(this, &RoomForm::OnRoomAutojoinOff));

    connect(gp_server, &Server::Connected, this, &RoomForm::OnConnected);
    connect(gp_server, &Server::Disconnected, this, &RoomForm::OnDisconnected);
    connect(&timerManager->m_halfMinuteTimer, &QTimer::timeout, this,
            &RoomForm::CheckChatInactivity);

    Subscribe(new PathNode(&d, "user"), "user_note", OnConnect,
              Handler(this, &RoomForm::OnUserNoteChanged));
    Subscribe(new PathNode(&d, "user"), "user_note", OnDisconnect,
              Handler(this, &RoomForm::OnUserNoteRemoved));
}

RoomForm::~RoomForm()
{
    for (Row* lp_row : m_waitingRows)
        delete lp_row;
    if (g_showIsOver)
        return;
    d["room_form"]->HasItem(Value(this)).Remove();
}

void RoomForm::Init()
{
    sizeManager->RegisterSplitter(QStringLiteral("room_splitter"), mp_ui->splitter, {});
    sizeManager->RegisterTreeWidget(QStringLiteral("room_user_list"), mp_ui->userList);
    RegisterWidgetForTabFocus(mp_ui->chatEdit, 1);
}

void RoomForm::AddStatusMessage(const std::string& i_text)
{
    mp_log->AddStatusMessage(FromUtf8(i_text));
}

QRoomUserListItemWidget* RoomForm::UserRow(const std::string& i_user) const
{
    const auto l_found = m_rows.find(i_user);
    return l_found == m_rows.end() ? nullptr : l_found->second.mp_row;
}

void RoomForm::OnRoomChat(std::string i_room, std::string i_user, std::string i_chat)
{
    if (i_room == m_room)
        mp_log->AddChat(i_user, i_chat);
}

void RoomForm::OnEnterPressed()
{
    const QString l_text = mp_ui->chatEdit->text();
    if (l_text.isEmpty())
        return;
    // The server connection would drop the line: keep it in the field for a later try.
    if (!gp_server->IsConnected())
    {
        mp_log->AddStatusMessage(QStringLiteral("Not sent: the client is not connected."));
        return;
    }
    const std::string l_line = l_text.toUtf8().toStdString();
    if (const QString l_reason = ChatLineTooLongText(l_line); !l_reason.isEmpty())
    {
        mp_log->AddStatusMessage(l_reason);
        return;
    }
    gp_server->SendRoomChat(m_room, l_line);
    mp_ui->chatEdit->clear();
}

void RoomForm::OnUserItemClicked(QTreeWidgetItem* ip_item, int i_column)
{
    if (!ip_item || i_column != Row::NoteColumn)
        return;
    const std::string l_user = static_cast<Row*>(ip_item)->Name();
    if (ItemPtr(d["user"]->GetItem(l_user)).IsConnected("user_note"))
        UserNoteDialog::GetDialog(l_user)->setVisible(true);
}

void RoomForm::OnUserListContextMenuRequested(const QPoint& i_point)
{
    auto* lp_row = static_cast<Row*>(mp_ui->userList->itemAt(i_point));
    if (!lp_row)
        return;
    QMenu l_menu;
    UserMenuOptions l_options(&l_menu, lp_row->Name());
    l_menu.exec(mp_ui->userList->viewport()->mapToGlobal(i_point));
}

void RoomForm::OnConnected()
{
    mp_log->AddStatusMessage(QStringLiteral("Reconnected at %1.").arg(TimeText()));
    gp_server->EnterRoom(m_room, false);
}

void RoomForm::OnDisconnected()
{
    mp_log->AddStatusMessage(QStringLiteral("Disconnected at %1.").arg(TimeText()));
}

void RoomForm::CheckChatInactivity()
{
    mp_log->CheckChatInactivity();
}

void RoomForm::OnURLClicked(const QUrl& i_url)
{
    ChatLog::OpenUrl(i_url);
}

void RoomForm::OnUserAdded(Item* ip_user)
{
    ItemPtr l_user(ip_user);
    const std::string l_name = l_user.AsString();
    // A user is shown as first reported: later counts, speed or country leave the row alone.
    const auto [l_entry, l_new] = m_rows.try_emplace(l_name, UserRowEntry{nullptr, 0});
    if (!l_new)
        return;
    auto* lp_row =
        new Row(l_name, l_user["country_code"].AsString(), l_user["shared_files_count"].AsInt64(),
                l_user["average_download_speed"].AsInt64(), l_user.IsConnected("user_note"));
    l_entry->second = UserRowEntry{lp_row, m_waitingRows.size()};
    m_waitingRows.push_back(lp_row);
    if (!m_placeTimer.isActive())
        m_placeTimer.start();
    WriteUserCount();
}

void RoomForm::OnUserRemoved(Item* ip_user)
{
    const auto l_found = m_rows.find(ip_user->AsString());
    if (l_found == m_rows.end())
        return;
    const UserRowEntry l_entry = l_found->second;
    m_rows.erase(l_found);
    Row* lp_row = l_entry.mp_row;
    if (!lp_row->treeWidget())
    {
        m_waitingRows[l_entry.m_waitingIndex] = nullptr;
        delete lp_row;
    }
    else
    {
        m_leftRows.push_back(lp_row);
        if (!m_placeTimer.isActive())
            m_placeTimer.start();
    }
    WriteUserCount();
}

void RoomForm::OnLeftRoom(Item*)
{
    // Deleted only once the store's event is over; until then the page does nothing more, and a
    // new entry into the room gets a new page.
    RemoveDataHandlers();
    m_placeTimer.stop();
    disconnect(gp_server, nullptr, this, nullptr);
    disconnect(&timerManager->m_halfMinuteTimer, nullptr, this, nullptr);
    d["room_form"]->HasItem(Value(this)).Remove();
    deleteLater();
}

void RoomForm::OnRoomAutojoinOn(Item*)
{
    SetAutojoinText(true);
}

void RoomForm::OnRoomAutojoinOff(Item*)
{
    SetAutojoinText(false);
}

void RoomForm::OnUserNoteChanged(Item* ip_user)
{
    SetNote(ip_user, true);
}

void RoomForm::OnUserNoteRemoved(Item* ip_user)
{
    SetNote(ip_user, false);
}

void RoomForm::SetNote(Item* ip_user, bool i_hasNote)
{
    Row* lp_row = UserRow(ip_user->AsString());
    if (!lp_row)
        return;
    lp_row->SetNote(i_hasNote);
    QTreeWidget* lp_list = mp_ui->userList;
    // A waiting row takes its place when it goes in.
    if (lp_row->treeWidget() && lp_list->header()->sortIndicatorSection() == Row::NoteColumn)
        PlaceRow(
            static_cast<Row*>(lp_list->takeTopLevelItem(lp_list->indexOfTopLevelItem(lp_row))));
}

void RoomForm::OnPlaceRows()
{
    m_placeTimer.stop();
    for (Row* lp_row : m_leftRows)
        delete lp_row;
    m_leftRows.clear();
    QList<QTreeWidgetItem*> l_rows;
    l_rows.reserve(qsizetype(m_waitingRows.size()));
    for (Row* lp_row : m_waitingRows)
        if (lp_row)
            l_rows.append(lp_row);
    m_waitingRows.clear();
    QTreeWidget* lp_list = mp_ui->userList;
    const int l_column = lp_list->header()->sortIndicatorSection();
    const bool l_ascending = lp_list->header()->sortIndicatorOrder() == Qt::AscendingOrder;
    // In the list's order among themselves, as its stable sort would leave them.
    std::stable_sort(l_rows.begin(), l_rows.end(),
                     [&](const QTreeWidgetItem* ip_left, const QTreeWidgetItem* ip_right)
                     {
                         const auto* lp_left = static_cast<const Row*>(ip_left);
                         const auto* lp_right = static_cast<const Row*>(ip_right);
                         return l_ascending ? lp_left->LessThan(*lp_right, l_column)
                                            : lp_right->LessThan(*lp_left, l_column);
                     });
    // Into an empty list, as when entering a room, they go in as they stand.
    if (lp_list->topLevelItemCount() == 0)
    {
        lp_list->addTopLevelItems(l_rows);
        return;
    }
    // Many at once: one sort costs less than a place found for each.
    if (l_rows.size() > lp_list->topLevelItemCount() / 4 + 16)
    {
        lp_list->addTopLevelItems(l_rows);
        lp_list->sortItems(l_column, lp_list->header()->sortIndicatorOrder());
        return;
    }
    for (QTreeWidgetItem* lp_row : l_rows)
        PlaceRow(static_cast<Row*>(lp_row));
}

void RoomForm::OnSortChanged(int i_column, Qt::SortOrder i_order)
{
    mp_ui->userList->sortItems(i_column, i_order);
}

void RoomForm::PlaceRow(QRoomUserListItemWidget* ip_row)
{
    QTreeWidget* lp_list = mp_ui->userList;
    const int l_column = lp_list->header()->sortIndicatorSection();
    const bool l_ascending = lp_list->header()->sortIndicatorOrder() == Qt::AscendingOrder;
    // After the rows it ties with, as a stable sort would leave it.
    int l_low = 0;
    int l_high = lp_list->topLevelItemCount();
    while (l_low < l_high)
    {
        const int l_middle = l_low + (l_high - l_low) / 2;
        const auto* lp_other = static_cast<const Row*>(lp_list->topLevelItem(l_middle));
        const bool l_before = l_ascending ? ip_row->LessThan(*lp_other, l_column)
                                          : lp_other->LessThan(*ip_row, l_column);
        if (l_before)
            l_high = l_middle;
        else
            l_low = l_middle + 1;
    }
    lp_list->insertTopLevelItem(l_low, ip_row);
}

void RoomForm::WriteUserCount()
{
    ItemPtr l_room = d["room"]->GetItem(m_room);
    const ItemSet* lp_users = l_room->ConnectedItems(d["user"]);
    l_room += d["user_count"]->GetItem(Value(lp_users ? lp_users->size() : std::size_t(0)));
}

void RoomForm::SetAutojoinText(bool i_on)
{
    actionBar->SetWidgetActionText(this, QStringLiteral("toggle_room_autojoin"),
                                   i_on ? tr("Auto-Join Room [on]") : tr("Auto-Join Room [off]"));
}
