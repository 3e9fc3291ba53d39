#include "ChatForm.h"

#include "Data.h"
#include "EventToolBar.h"
#include "GeneralFunctions.h"
#include "Server.h"
#include "StoreFunctions.h"
#include "TimerManager.h"
#include "UIFunctions.h"
#include "UserMenuOptions.h"
#include "ui_ChatForm.h"

#include <QMenu>
#include <QUrl>

ChatForm::ChatForm(std::string i_user, QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(std::make_unique<Ui_ChatForm>()), m_user(std::move(i_user))
{
    mp_ui->setupUi(this);
    mp_ui->chatEdit->setMaxLength(MaxChatLineLength);
    User(m_user) += d["user_chat_widget"]->GetItem(Value(this));
    RegisterWidgetForTabFocus(mp_ui->chatEdit, 1);
    mp_log = std::make_unique<ChatLog>(mp_ui->chatView, ChatLog::Trimming::Never);
    if (timerManager)
        connect(&timerManager->m_halfMinuteTimer, &QTimer::timeout, this,
                &ChatForm::CheckChatInactivity);
    connect(mp_ui->chatEdit, &QLineEdit::returnPressed, this, &ChatForm::OnEnter);
    connect(mp_ui->chatView, &QWidget::customContextMenuRequested, this,
            &ChatForm::OnContextMenuRequested);
    connect(mp_ui->chatView, &QTextBrowser::anchorClicked, this, &ChatForm::OnURLClicked);
}

ChatForm::~ChatForm()
{
    mp_ui.reset();
    ItemPtr(d["user_chat_widget"]->HasItem(Value(this))).Remove();
}

void ChatForm::AddChat(std::string i_sender, std::string i_text)
{
    if (mp_log->AddChat(i_sender, i_text) == ChatLog::LineKind::Action || !eventToolBar)
        return;
    eventToolBar->AddEvent(ShownName(m_user), QStringLiteral(":/icons/chat_icon"), mp_ui->chatEdit);
}

void ChatForm::AddStatusMessage(const QString& i_text)
{
    mp_log->AddStatusMessage(i_text);
}

void ChatForm::Focus()
{
    FocusWidget(mp_ui->chatEdit);
}

std::unique_ptr<QMenu> ChatForm::MakeContextMenu() const
{
    auto lp_menu = std::make_unique<QMenu>();
    new UserMenuOptions(lp_menu.get(), m_user, lp_menu.get());
    return lp_menu;
}

void ChatForm::OnEnter()
{
    const QString l_typed = mp_ui->chatEdit->text();
    if (l_typed.isEmpty())
        return;
    // A line is echoed only when it can go out: the server connection drops it while logged out.
    if (!gp_server || !gp_server->IsConnected())
    {
        AddStatusMessage(QStringLiteral("Not sent: the client is not connected."));
        return;
    }
    const std::string l_text = l_typed.toUtf8().toStdString();
    if (const QString l_reason = ChatLineTooLongText(l_text); !l_reason.isEmpty())
    {
        AddStatusMessage(l_reason);
        return;
    }
    AddChat(SettingValue("username").AsString(), l_text);
    gp_server->SendPrivateChat(m_user, l_text);
    mp_ui->chatEdit->clear();
}

void ChatForm::CheckChatInactivity()
{
    mp_log->CheckChatInactivity();
}

void ChatForm::OnContextMenuRequested(const QPoint& i_point)
{
    std::unique_ptr<QMenu> lp_menu = MakeContextMenu();
    lp_menu->exec(mp_ui->chatView->viewport()->mapToGlobal(i_point));
}

void ChatForm::OnURLClicked(const QUrl& i_url)
{
    ChatLog::OpenUrl(i_url);
}

void ChatForm::showEvent(QShowEvent* ip_event)
{
    QWidget::showEvent(ip_event);
    if (eventToolBar)
        eventToolBar->RemoveEvent(mp_ui->chatEdit);
}
