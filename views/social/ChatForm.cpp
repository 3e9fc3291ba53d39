#include "ChatForm.h"

#include "EventToolBar.h"
#include "Server.h"
#include "StoreFunctions.h"
#include "UIFunctions.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QVBoxLayout>

ChatForm::ChatForm(std::string i_user, QWidget* ip_parent)
    : QWidget(ip_parent), m_user(std::move(i_user)), mp_lines(new QPlainTextEdit(this)),
      mp_entry(new QLineEdit(this))
{
    setObjectName(QStringLiteral("chatForm"));
    mp_lines->setObjectName(QStringLiteral("chatLines"));
    mp_lines->setReadOnly(true);
    // Focusing the page puts the cursor in its entry field.
    setFocusProxy(mp_entry);
    mp_entry->setObjectName(QStringLiteral("chatEntry"));
    mp_entry->setMaxLength(MaxChatLineLength);
    auto* lp_layout = new QVBoxLayout(this);
    lp_layout->addWidget(mp_lines);
    lp_layout->addWidget(mp_entry);
    connect(mp_entry, &QLineEdit::returnPressed, this, &ChatForm::OnReturnPressed);
}

void ChatForm::AddChat(std::string i_sender, std::string i_text)
{
    AppendLine(i_sender, i_text);
    if (eventToolBar)
        eventToolBar->AddEvent(
            QStringLiteral("Private message from %1").arg(QString::fromStdString(i_sender)),
            QStringLiteral(":/icons/chat_icon"), this);
}

void ChatForm::Focus()
{
    mp_entry->setFocus(Qt::OtherFocusReason);
}

void ChatForm::OnReturnPressed()
{
    const std::string l_text = mp_entry->text().toStdString();
    if (l_text.empty() || !gp_server || !gp_server->IsConnected() ||
        !ChatLineFits(l_text, mp_lines))
        return;
    gp_server->SendPrivateChat(m_user, l_text);
    AppendLine(SettingValue("username").AsString(), l_text);
    mp_entry->clear();
}

void ChatForm::AppendLine(const std::string& i_sender, const std::string& i_text)
{
    // Plain text: what other users send is never markup.
    mp_lines->appendPlainText(QStringLiteral("[%1] %2").arg(QString::fromStdString(i_sender),
                                                            QString::fromStdString(i_text)));
}
