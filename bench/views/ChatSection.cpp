// Speed of the chat log, section `chat` of the views' benchmarks: a flood of 10,000 chat lines
// into a room page's log that stands at its 250,000-character limit, against the first lines into
// an empty log (which stays below the limit), per line; and, for scale, one writing of a full log
// as HTML, which a size check on every line would cost. Times are the GUI thread's processor
// time, offscreen, with the event loop run after every line as arriving messages run it.

#include "ChatLog.h"
#include "Data.h"
#include "StoreFunctions.h"
#include "ViewsBench.h"

#include <QApplication>
#include <QTextBrowser>

#include <cstdio>
#include <ctime>
#include <functional>
#include <string>

namespace
{
constexpr int FloodLines = 10000;
constexpr int EmptyLogLines = 500;

// Lines of a busy room: different senders, now and then a link and characters to escape.
void AddLines(ChatLog& i_log, int i_first, int i_count)
{
    for (int l_line = i_first; l_line < i_first + i_count; ++l_line)
    {
        std::string l_text = "line " + std::to_string(l_line) + " of a busy room, said & <meant>";
        if (l_line % 7 == 0)
            l_text += " see https://example.com/page?id=" + std::to_string(l_line);
        i_log.AddChat("user" + std::to_string(l_line % 50), l_text);
        QCoreApplication::processEvents();
    }
}

void ChatSection()
{
    DeclareSettingsTypes();
    SetSetting("chat_timestamps", "per_message_short");

    QTextBrowser l_emptyView;
    l_emptyView.resize(567, 330);
    l_emptyView.show();
    ChatLog l_emptyLog(&l_emptyView, ChatLog::Trimming::AtLimit);
    const double l_emptyMs = ThreadMilliseconds([&] { AddLines(l_emptyLog, 0, EmptyLogLines); });
    const double l_emptyPerLine = l_emptyMs * 1000.0 / EmptyLogLines;
    std::printf("chat: %d lines into an empty log: %.1f us per line (log %lld characters of "
                "HTML)\n",
                EmptyLogLines, l_emptyPerLine,
                static_cast<long long>(l_emptyView.document()->toHtml().size()));

    QTextBrowser l_view;
    l_view.resize(567, 330);
    l_view.show();
    ChatLog l_log(&l_view, ChatLog::Trimming::AtLimit);
    // Well past the limit: the log has been cut at least once and stands just below it.
    const int l_filled =
        2 * ChatLog::maxHtmlLength / (l_emptyView.document()->toHtml().size() / EmptyLogLines);
    AddLines(l_log, 0, l_filled);
    std::printf("chat: the log at its limit after %d lines (%lld characters of HTML)\n", l_filled,
                static_cast<long long>(l_view.document()->toHtml().size()));
    qsizetype l_html = 0;
    const double l_toHtmlMs =
        ThreadMilliseconds([&] { l_html = l_view.document()->toHtml().size(); });
    std::printf("chat: writing that log as HTML once: %.2f ms\n", l_toHtmlMs);

    const double l_floodMs = ThreadMilliseconds([&] { AddLines(l_log, l_filled, FloodLines); });
    const double l_floodPerLine = l_floodMs * 1000.0 / FloodLines;
    std::printf("chat: %d lines into the log at its limit: %.1f us per line (log %lld characters "
                "of HTML after)\n",
                FloodLines, l_floodPerLine,
                static_cast<long long>(l_view.document()->toHtml().size()));
    const double l_ratio = l_floodPerLine / l_emptyPerLine;
    std::printf("aim: chat: cost per line at the log's limit against an empty log: %.2fx (aim "
                "2x): %s\n",
                l_ratio, l_ratio <= 2.0 ? "met" : "not met");
}
} // namespace

int RunChatSection()
{
    ChatSection();
    return 0;
}
