#pragma once

#include <QDateTime>
#include <QString>

#include <string>

class QTextBrowser;
class QUrl;

// The log of a conversation, shared by the room and private chat pages: chat lines with the
// chosen time stamps, "/me" action lines, status lines, the start and end of a chat after
// minutes without lines, escaped text with http(s) links, and, for rooms, a bound on its size.
class ChatLog
{
public:
    enum class Trimming
    {
        Never,
        AtLimit
    };
    enum class LineKind
    {
        Action,
        Chat
    };

    // A log longer than this, as HTML, loses its oldest part before the next chat line.
    static constexpr qsizetype maxHtmlLength = 250000;
    // How much of the oldest HTML goes then, up to the end of the line it ends in.
    static constexpr qsizetype trimmedHtmlLength = 50000;
    // A chat ends at the first check this long after its last line.
    static constexpr qint64 inactivityMs = 300000;

    // Turns off the browser's own link handling: the page opens links through OpenUrl.
    ChatLog(QTextBrowser* ip_view, Trimming i_trimming);

    // One line from the sender (both byte strings; the text is UTF-8); says whether it was
    // written as an action or a chat line.
    LineKind AddChat(const std::string& i_sender, const std::string& i_text);
    void AddStatusMessage(const QString& i_text);
    // Ends the chat after the time without lines; called on the half-minute tick.
    void CheckChatInactivity();

    // The entries as they are appended, without the log.
    static QString ChatLineHtml(const QString& i_timestampSetting, const QDateTime& i_now,
                                const QString& i_sender, const QString& i_text);
    static QString StatusLineHtml(const QString& i_text);
    // The text of an action line ("/me ..."), or a null string for any other text.
    static QString ActionText(const QString& i_sender, const QString& i_text);
    // An upper bound of what an appended entry can add to the log's HTML.
    static qsizetype HtmlGrowthBound(const QString& i_entry);

    // Hands the URL to the desktop when it is http or https; anything else is left alone.
    static bool OpenUrl(const QUrl& i_url);

    bool IsChatActive() const { return m_chatActive; }

private:
    void Append(const QString& i_entry);
    // Before a chat line: cuts the oldest part when the log has grown past its limit. Returns
    // true when the line was appended with the rebuilt log.
    bool TrimAndAppend(const QString& i_line);

    QTextBrowser* mp_view;
    Trimming m_trimming;
    bool m_chatActive = false;
    QDateTime m_lastChatTime;
    // The HTML length at the last measurement (-1: unknown), and a bound of the growth since.
    qsizetype m_measuredLength = -1;
    qsizetype m_growthBound = 0;
};
