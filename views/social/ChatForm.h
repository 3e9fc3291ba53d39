#pragma once

#include <QWidget>

#include <string>

class QLineEdit;
class QPlainTextEdit;

// The page of one private chat: the lines exchanged with the user and an entry field that sends.
class ChatForm : public QWidget
{
    Q_OBJECT

public:
    ChatForm(std::string i_user, QWidget* ip_parent = nullptr);

    // Appends a line and posts the page's notice.
    void AddChat(std::string i_sender, std::string i_text);
    void Focus();

public slots:
    void OnReturnPressed();

private:
    void AppendLine(const std::string& i_sender, const std::string& i_text);

    std::string m_user;
    QPlainTextEdit* mp_lines;
    QLineEdit* mp_entry;
};
