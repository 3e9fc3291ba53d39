#include "ChatLog.h"

#include "Clock.h"
#include "GeneralFunctions.h"
#include "LogPage.h"
#include "StoreFunctions.h"

#include <QDesktopServices>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QUrl>

#include <algorithm>

namespace
{
const QString activityBased = QStringLiteral("activity_based");
const QString longFormat = QStringLiteral("MMM d h:mm:ss ap");
const QString shortFormat = QStringLiteral("h:mm:ss");

QString TimestampSetting()
{
    return FromUtf8(SettingValue("chat_timestamps").AsString());
}

// A chat text on the one line of its entry: each line break becomes a space, so that no part of
// the text starts a line that could pass for another user's.
QString OnOneLine(QString i_text)
{
    std::replace_if(i_text.begin(), i_text.end(), IsLineBreak, QChar(u' '));
    return i_text;
}
} // namespace

ChatLog::ChatLog(QTextBrowser* ip_view, Trimming i_trimming)
    : mp_view(ip_view), m_trimming(i_trimming), m_lastChatTime(Clock::Now())
{
    mp_view->setOpenLinks(false);
    mp_view->setOpenExternalLinks(false);
    LayOutLines(mp_view);
}

QString ChatLog::ActionText(const QString& i_sender, const QString& i_text)
{
    const QString l_trimmed = i_text.trimmed();
    if (!l_trimmed.startsWith(QStringLiteral("/me ")))
        return {};
    return Isolated(i_sender) + QLatin1Char(' ') + l_trimmed.mid(4).trimmed();
}

QString ChatLog::ChatLineHtml(const QString& i_timestampSetting, const QDateTime& i_now,
                              const QString& i_sender, const QString& i_text)
{
    QString l_line;
    if (i_timestampSetting == QStringLiteral("per_message_short"))
        l_line = QStringLiteral("[<font color=\"#0066FF\">") + i_now.toString(shortFormat) +
                 QStringLiteral("</font>]");
    else if (i_timestampSetting == QStringLiteral("per_message_long"))
        l_line = QStringLiteral("[<font color=\"#0066FF\">") + i_now.toString(longFormat) +
                 QStringLiteral("</font>]");
    l_line += QStringLiteral("[<font color=\"#0033FF\">") + EscapeHTML(Isolated(i_sender)) +
              QStringLiteral("</font>] ") + EscapeHTML(i_text);
    return ConvertLinks(l_line);
}

QString ChatLog::StatusLineHtml(const QString& i_text)
{
    return ConvertLinks(QStringLiteral("* <font color=\"green\">") + EscapeHTML(i_text) +
                        QStringLiteral("</font>"));
}

qsizetype ChatLog::HtmlGrowthBound(const QString& i_entry)
{
    // Written back, the paragraph brings its own style and the text may take on the formats of
    // the log's first line; a link becomes an anchor with a styled span; a character that HTML
    // escapes may take an entity of six, a control or separator character may start another
    // paragraph; any other printable ASCII character stays one.
    constexpr qsizetype perParagraph = 300;
    constexpr qsizetype perLink = 128;
    constexpr qsizetype perEscapable = 6;
    qsizetype l_bound = perParagraph;
    for (qsizetype l_index = 0; l_index < i_entry.size(); ++l_index)
    {
        const QChar l_char = i_entry[l_index];
        const char16_t l_code = l_char.unicode();
        if (l_code == u'<' && l_index + 1 < i_entry.size() && i_entry[l_index + 1] == u'a')
            l_bound += perLink;
        if (l_code >= 0x20 && l_code < 0x7f)
            l_bound += (l_code == u'"' || l_code == u'&' || l_code == u'<' || l_code == u'>')
                           ? perEscapable
                           : 1;
        else if (l_code < 0x20 || l_char.isNonCharacter() ||
                 l_char.category() == QChar::Separator_Line ||
                 l_char.category() == QChar::Separator_Paragraph ||
                 l_char.category() == QChar::Other_Control ||
                 l_code == QChar::ObjectReplacementCharacter)
            l_bound += perParagraph;
        else
            l_bound += perEscapable;
    }
    return l_bound;
}

bool ChatLog::OpenUrl(const QUrl& i_url)
{
    const QString l_scheme = i_url.scheme().toLower();
    if (l_scheme != QStringLiteral("http") && l_scheme != QStringLiteral("https"))
        return false;
    return QDesktopServices::openUrl(i_url);
}

ChatLog::LineKind ChatLog::AddChat(const std::string& i_sender, const std::string& i_text)
{
    const QString l_sender = ShownName(i_sender);
    const QString l_text = OnOneLine(FromUtf8(i_text));
    const QString l_action = ActionText(l_sender, l_text);
    if (!l_action.isNull())
    {
        AddStatusMessage(l_action);
        return LineKind::Action;
    }

    const QString l_setting = TimestampSetting();
    const QDateTime l_now = Clock::Now();
    m_lastChatTime = l_now;
    if (!m_chatActive)
    {
        m_chatActive = true;
        if (l_setting == activityBased)
            AddStatusMessage(QStringLiteral("Chat started ") + l_now.toString(longFormat));
    }
    const QString l_line = ChatLineHtml(l_setting, l_now, l_sender, l_text);
    if (m_trimming == Trimming::Never || !TrimAndAppend(l_line))
        Append(l_line);
    return LineKind::Chat;
}

void ChatLog::AddStatusMessage(const QString& i_text)
{
    Append(StatusLineHtml(i_text));
}

void ChatLog::CheckChatInactivity()
{
    if (!m_chatActive || m_lastChatTime.msecsTo(Clock::Now()) < inactivityMs)
        return;
    m_chatActive = false;
    if (TimestampSetting() == activityBased)
        AddStatusMessage(QStringLiteral("Chat ended ") + m_lastChatTime.toString(longFormat));
}

void ChatLog::Append(const QString& i_entry)
{
    mp_view->append(i_entry);
    m_growthBound += HtmlGrowthBound(i_entry);
}

bool ChatLog::TrimAndAppend(const QString& i_line)
{
    // Writing the whole log as HTML costs as much as the log is long: it is done only when
    // what was appended since the last measurement may have taken the log past its limit.
    if (m_measuredLength >= 0 && m_measuredLength + m_growthBound <= maxHtmlLength)
        return false;
    QString l_html = mp_view->document()->toHtml();
    m_growthBound = 0;
    if (l_html.size() <= maxHtmlLength)
    {
        m_measuredLength = l_html.size();
        return false;
    }
    m_measuredLength = -1;
    const qsizetype l_cutEnd = l_html.indexOf(QLatin1Char('\n'), trimmedHtmlLength);
    const qsizetype l_bodyLineEnd =
        l_html.indexOf(QLatin1Char('\n'), l_html.indexOf(QStringLiteral("<body")));
    if (l_cutEnd >= 0 && l_bodyLineEnd >= 0 && l_bodyLineEnd < trimmedHtmlLength)
    {
        // After the body's opening line the written HTML holds one paragraph per line: a cut
        // at a line's end drops whole paragraphs, which go from the document itself rather
        // than by reading what is left anew.
        const int l_dropped = int(QStringView(l_html)
                                      .mid(l_bodyLineEnd + 1, l_cutEnd - l_bodyLineEnd)
                                      .count(QLatin1Char('\n')));
        const QTextBlock l_first = mp_view->document()->findBlockByNumber(l_dropped);
        if (l_first.isValid())
        {
            QTextCursor l_cursor(mp_view->document());
            l_cursor.setPosition(l_first.position(), QTextCursor::KeepAnchor);
            l_cursor.removeSelectedText();
            Append(i_line);
            return true;
        }
    }
    // The cut falls inside a paragraph: what is left is read anew as it stands.
    l_html.remove(0, trimmedHtmlLength);
    l_html.remove(0, l_html.indexOf(QLatin1Char('\n')) + 1);
    mp_view->setUpdatesEnabled(false);
    mp_view->clear();
    mp_view->append(l_html);
    mp_view->append(i_line);
    mp_view->setUpdatesEnabled(true);
    return true;
}
