#pragma once

#include "ChatLog.h"

#include <QWidget>

#include <memory>
#include <string>

class QMenu;
class QUrl;
class Ui_ChatForm;

// The page of a private conversation with one user: its log and an entry field that echoes and
// sends. Every chat line posts a notice, which goes when the page is shown. The user_chat_widget
// item named after the page's address ties it to the user.
class ChatForm : public QWidget
{
    Q_OBJECT

public:
    ChatForm(std::string i_user, QWidget* ip_parent = nullptr);
    ~ChatForm() override;

    // One line from the sender (the user, or the own name for echoed lines), both byte strings.
    void AddChat(std::string i_sender, std::string i_text);
    void AddStatusMessage(const QString& i_text);
    void Focus();

    // The partner's user menu, as a right click in the log shows it; owns its entries.
    std::unique_ptr<QMenu> MakeContextMenu() const;

public slots:
    void OnEnter();
    void CheckChatInactivity();
    void OnContextMenuRequested(const QPoint& i_point);
    void OnURLClicked(const QUrl& i_url);

protected:
    void showEvent(QShowEvent* ip_event) override;

private:
    std::unique_ptr<Ui_ChatForm> mp_ui;
    std::string m_user;
    std::unique_ptr<ChatLog> mp_log;
};
