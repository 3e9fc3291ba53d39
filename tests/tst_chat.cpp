#include "ChatForm.h"
#include "ChatLog.h"
#include "Data.h"
#include "EventToolBar.h"
#include "GeneralFunctions.h"
#include "LogPage.h"
#include "PeerHarness.h"
#include "RoomForm.h"
#include "Server.h"
#include "StoreFunctions.h"
#include "UIFunctions.h"
#include "ViewHarness.h"
#include "WireWriter.h"

#include <QAction>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QScopeGuard>
#include <QTextBlock>
#include <QTextBrowser>
#include <QToolButton>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace
{
const QString started = u"* Chat started May 2 2:05:09 pm"_s;

QStringList Split(const QString& i_lines)
{
    return i_lines.isEmpty() ? QStringList() : i_lines.split(u'|');
}

// The log's entries as the user reads them, one per paragraph.
QStringList Entries(QTextBrowser& i_view)
{
    QStringList l_entries;
    if (i_view.document()->isEmpty())
        return l_entries;
    for (QTextBlock l_block = i_view.document()->begin(); l_block.isValid();
         l_block = l_block.next())
        l_entries.append(l_block.text());
    return l_entries;
}

// Every link target in the log, in order.
QStringList Links(QTextBrowser& i_view)
{
    QStringList l_links;
    for (QTextBlock l_block = i_view.document()->begin(); l_block.isValid();
         l_block = l_block.next())
        for (auto l_it = l_block.begin(); !l_it.atEnd(); ++l_it)
            if (const QString l_href = l_it.fragment().charFormat().anchorHref(); !l_href.isEmpty())
                l_links.append(l_href);
    return l_links;
}

void SetTimestamps(const char* ip_setting)
{
    SetSetting("chat_timestamps", ip_setting);
}

// What each notice's button shows ("&&" draws as "&"); the bar is hidden while it holds only its
// placeholder.
QStringList NoticeButtonTexts()
{
    QStringList l_texts;
    if (!eventToolBar->isHidden())
        for (QAction* lp_action : eventToolBar->actions())
            l_texts.append(
                qobject_cast<QToolButton*>(eventToolBar->widgetForAction(lp_action))->text());
    return l_texts;
}

// A chat page for each partner, not shown, each with a line that posts its notice.
std::vector<std::unique_ptr<ChatForm>> ChatLines(const QStringList& i_partners)
{
    std::vector<std::unique_ptr<ChatForm>> l_forms;
    for (const QString& l_partner : i_partners)
    {
        l_forms.push_back(std::make_unique<ChatForm>(l_partner.toStdString()));
        l_forms.back()->AddChat(l_partner.toStdString(), "hi");
    }
    return l_forms;
}

// A line from the sender, in a room's page and in a private one, draws its parts in this order.
void DrawnInOrder(const std::string& i_sender, const std::string& i_text,
                  const QStringList& i_parts)
{
    RoomForm l_room("lobby");
    l_room.OnRoomChat("lobby", i_sender, i_text);
    ChatForm l_private(i_sender);
    l_private.AddChat(i_sender, i_text);
    for (QWidget* lp_page : {static_cast<QWidget*>(&l_room), static_cast<QWidget*>(&l_private)})
        QCOMPARE(ViewHarness::DrawnOrder(lp_page->findChild<QTextBrowser*>(u"chatView"_s), i_parts),
                 i_parts);
}
} // namespace

class TestChat : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { mp_harness = std::make_unique<ViewHarness>(); }
    void cleanupTestCase() { mp_harness.reset(); }
    void init()
    {
        mp_harness->Reset();
        SetTimestamps("activity_based");
    }

    // The exact markup of a chat line under each time stamp setting; only http(s) links are
    // made, and the sender and the text never add markup.
    void chatLineHtml_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("html");
        const QString l_name = u"[<font color=\"#0033FF\">bob</font>] "_s;
        QTest::newRow("short") << u"per_message_short"_s << u"bob"_s << u"hi"_s
                               << u"[<font color=\"#0066FF\">14:05:09</font>]"_s + l_name + u"hi"_s;
        QTest::newRow("long") << u"per_message_long"_s << u"bob"_s << u"hi"_s
                              << u"[<font color=\"#0066FF\">May 2 2:05:09 pm</font>]"_s + l_name +
                                     u"hi"_s;
        QTest::newRow("activity") << u"activity_based"_s << u"bob"_s << u"hi"_s << l_name + u"hi"_s;
        QTest::newRow("none") << u"no_timestamps"_s << u"bob"_s << u"hi"_s << l_name + u"hi"_s;
        QTest::newRow("unknown setting")
            << u"Per_Message_Short"_s << u"bob"_s << u"hi"_s << l_name + u"hi"_s;
        QTest::newRow("empty text") << u""_s << u"bob"_s << u""_s << l_name;
        QTest::newRow("text not trimmed")
            << u""_s << u"bob"_s << u"  hi  "_s << l_name + u"  hi  "_s;
        QTest::newRow("escaped") << u""_s << u"<b>&amp;\"'"_s << u"<i>x</i> & \"y\""_s
                                 << u"[<font color=\"#0033FF\">&lt;b&gt;&amp;amp;\"'</font>] "
                                    "&lt;i&gt;x&lt;/i&gt; &amp; \"y\""_s;
        QTest::newRow("link") << u""_s << u"bob"_s << u"see https://a.b/c?d=1&e=2 now"_s
                              << l_name + u"see <a href=\"https://a.b/c?d=1&amp;e=2\">"
                                          "https://a.b/c?d=1&amp;e=2</a> now"_s;
        QTest::newRow("no other schemes")
            << u""_s << u"bob"_s << u"javascript:alert(1) file:///etc/passwd ftp://x"_s
            << l_name + u"javascript:alert(1) file:///etc/passwd ftp://x"_s;
        QTest::newRow("quotes cannot leave a link")
            << u""_s << u"bob"_s << u"http://a.b/\"onclick=\"x"_s
            << l_name + u"<a href=\"http://a.b/\">http://a.b/</a>\"onclick=\"x"_s;
    }
    void chatLineHtml()
    {
        QFETCH(QString, setting);
        QFETCH(QString, sender);
        QFETCH(QString, text);
        QFETCH(QString, html);
        QCOMPARE(ChatLog::ChatLineHtml(setting, ViewHarness::StartTime(), sender, text), html);
    }

    void statusLineHtml_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("html");
        QTest::newRow("plain") << u"alice waves"_s
                               << u"* <font color=\"green\">alice waves</font>"_s;
        QTest::newRow("escaped") << u"a <b> & c"_s
                                 << u"* <font color=\"green\">a &lt;b&gt; &amp; c</font>"_s;
        QTest::newRow("link") << u"a http://x.y b"_s
                              << u"* <font color=\"green\">a <a href=\"http://x.y\">http://x.y</a> "
                                 "b</font>"_s;
    }
    void statusLineHtml()
    {
        QFETCH(QString, text);
        QFETCH(QString, html);
        QCOMPARE(ChatLog::StatusLineHtml(text), html);
    }

    // What a sequence of lines leaves in the log, per setting and for action lines.
    void linesInTheLog_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("texts");
        QTest::addColumn<QString>("entries");
        QTest::addColumn<QString>("kinds");
        QTest::newRow("activity") << u"activity_based"_s << u"hi|ho"_s
                                  << started + u"|[bob] hi|[bob] ho"_s << u"cc"_s;
        QTest::newRow("short") << u"per_message_short"_s << u"hi"_s << u"[14:05:09][bob] hi"_s
                               << u"c"_s;
        QTest::newRow("long") << u"per_message_long"_s << u"hi"_s << u"[May 2 2:05:09 pm][bob] hi"_s
                              << u"c"_s;
        QTest::newRow("none") << u"no_timestamps"_s << u"hi"_s << u"[bob] hi"_s << u"c"_s;
        QTest::newRow("action") << u"activity_based"_s << u"/me waves"_s << u"* bob waves"_s
                                << u"a"_s;
        QTest::newRow("action after blanks")
            << u"activity_based"_s << u"  /me   waves  "_s << u"* bob waves"_s << u"a"_s;
        QTest::newRow("action escaped")
            << u"no_timestamps"_s << u"/me <3 & more"_s << u"* bob <3 & more"_s << u"a"_s;
        QTest::newRow("me alone") << u"no_timestamps"_s << u"/me"_s << u"[bob] /me"_s << u"c"_s;
        QTest::newRow("me and blanks")
            << u"no_timestamps"_s << u"/me   "_s << u"[bob] /me "_s << u"c"_s;
        QTest::newRow("upper case")
            << u"no_timestamps"_s << u"/ME waves"_s << u"[bob] /ME waves"_s << u"c"_s;
        QTest::newRow("action does not start a chat")
            << u"activity_based"_s << u"/me waves|hi"_s
            << u"* bob waves|"_s + started + u"|[bob] hi"_s << u"ac"_s;
    }
    void linesInTheLog()
    {
        QFETCH(QString, setting);
        QFETCH(QString, texts);
        QFETCH(QString, entries);
        QFETCH(QString, kinds);
        SetTimestamps(setting.toLatin1().constData());
        QTextBrowser l_view;
        ChatLog l_log(&l_view, ChatLog::Trimming::Never);
        QString l_kinds;
        for (const QString& l_text : Split(texts))
            l_kinds += l_log.AddChat("bob", l_text.toStdString()) == ChatLog::LineKind::Action
                           ? u'a'
                           : u'c';
        QCOMPARE(Entries(l_view), Split(entries));
        QCOMPARE(l_kinds, kinds);
    }

    // Names and texts show as typed, whatever they hold, and only http(s) becomes a link.
    void nothingButLinksIsMarkup_data()
    {
        QTest::addColumn<QByteArray>("sender");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("links");
        QTest::newRow("tags") << "<b>bob</b>"_ba
                              << "<img src=\"file:///etc/x\"> <a href=x>y</a>"_ba << QStringList();
        QTest::newRow("entities") << "&amp;"_ba
                                  << "&lt;&#60;&nbsp;"_ba << QStringList();
        QTest::newRow("schemes") << "javascript:alert(1)"_ba
                                 << "file:///etc/passwd javascript:x data:text/html,<b>"_ba
                                 << QStringList();
        QTest::newRow("http in name and text")
            << "http://bob.example"_ba
            << "go https://x.y/?a=\"1\""_ba
            << QStringList{u"http://bob.example"_s, u"https://x.y/?a="_s};
        QTest::newRow("utf-8") << "b\xc3\xb6"_ba
                               << "\xe2\x82\xac <3"_ba << QStringList();
    }
    void nothingButLinksIsMarkup()
    {
        QFETCH(QByteArray, sender);
        QFETCH(QByteArray, text);
        QFETCH(QStringList, links);
        SetTimestamps("no_timestamps");
        QTextBrowser l_view;
        ChatLog l_log(&l_view, ChatLog::Trimming::Never);
        l_log.AddChat(sender.toStdString(), text.toStdString());
        QCOMPARE(Entries(l_view), QStringList{u"["_s + QString::fromUtf8(sender) + u"] "_s +
                                              QString::fromUtf8(text)});
        QCOMPARE(Links(l_view), links);
    }

    // A sender whose name holds what draws as nothing, or blanks at its ends, shows the marks
    // in a room's page and a private one, and in the private page's notice, so that no name
    // passes for another; the text keeps every character.
    void hiddenCharactersInSendersShowAsMarks_data() { ViewHarness::AddHiddenCharacterNameRows(); }
    void hiddenCharactersInSendersShowAsMarks()
    {
        QFETCH(QString, name);
        QFETCH(QString, shown);
        SetTimestamps("no_timestamps");
        const std::string l_sender = name.toStdString();
        RoomForm l_room("lobby");
        l_room.OnRoomChat("lobby", l_sender, "a" + l_sender + "z");
        ChatForm l_private(l_sender);
        l_private.AddChat(l_sender, "a" + l_sender + "z");
        // A name that holds a right-to-left letter is isolated in the line.
        const QString l_entry = u"["_s + Isolated(shown) + u"] a"_s + name + u"z"_s;
        for (QWidget* lp_page : {static_cast<QWidget*>(&l_room), static_cast<QWidget*>(&l_private)})
            QCOMPARE(Entries(*lp_page->findChild<QTextBrowser*>(u"chatView"_s)),
                     QStringList{l_entry});
        QCOMPARE(ViewHarness::NoticeTexts(), QStringList{shown});
    }

    // A line keeps its order whatever the first letter of its sender: the time stamp, the
    // sender, then the text, in a room's page and a private one; the name reads in its own
    // direction and moves nothing beside it.
    void rightToLeftSendersKeepTheOrder_data() { ViewHarness::AddRightToLeftNameRows(); }
    void rightToLeftSendersKeepTheOrder()
    {
        QFETCH(QString, name);
        QFETCH(QString, shown);
        const std::string l_sender = name.toStdString();
        const std::pair<const char*, QString> l_settings[] = {
            {"per_message_short", u"14:05:09"_s}, {"per_message_long", u"May 2 2:05:09 pm"_s}};
        for (const auto& [lp_setting, l_stamp] : l_settings)
        {
            SetTimestamps(lp_setting);
            DrawnInOrder(l_sender, "3 hi", {l_stamp, u"["_s, shown, u"]"_s, u"3"_s, u"hi"_s});
        }
    }

    // An action line keeps its order too: the sender, then the text, whose first number the
    // sender's letters or Arabic digits do not draw before it.
    void actionLinesKeepTheOrder_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("number");
        QTest::newRow("Hebrew sender") << u"\u05E9\u05DC\u05D5\u05DD"_s << u"3"_s;
        QTest::newRow("Arabic digits") << u"\u0663"_s << u"\u0664"_s;
    }
    void actionLinesKeepTheOrder()
    {
        QFETCH(QString, sender);
        QFETCH(QString, number);
        DrawnInOrder(sender.toStdString(), (u"/me "_s + number + u" apples"_s).toStdString(),
                     {u"*"_s, sender, number, u"apples"_s});
    }

    // A line that wraps draws its continuation lines indented at every width, so that filler
    // words cannot push a forged "[alice]" to where a line of its own starts: in a room's page
    // and a private one, chat and action lines alike, and in a room's log that a trim read anew.
    void wrappedLinesIndented()
    {
        SetTimestamps("per_message_short");
        std::string l_filler;
        while (l_filler.size() < 400)
            l_filler += "filler ";
        const std::string l_forgery = l_filler + "[alice] I am the real alice";
        RoomForm l_room("lobby");
        ChatForm l_private("bob");
        for (const std::string& l_text : {l_forgery, "/me " + l_forgery})
        {
            l_room.OnRoomChat("lobby", "bob", l_text);
            l_private.AddChat("bob", l_text);
        }
        // A paragraph longer than the log may hold: the next line follows the rest of it read
        // anew from its HTML.
        QTextBrowser l_trimmed;
        ChatLog l_log(&l_trimmed, ChatLog::Trimming::AtLimit);
        std::string l_long;
        while (l_long.size() < 260000)
            l_long += l_filler;
        l_log.AddChat("bob", l_long);
        l_log.AddChat("bob", l_forgery);
        QVERIFY(Entries(l_trimmed).first().size() < 250000);
        for (QTextBrowser* lp_view :
             {l_room.findChild<QTextBrowser*>(u"chatView"_s),
              l_private.findChild<QTextBrowser*>(u"chatView"_s), &l_trimmed})
            for (const int l_width : {300, 900, 1600})
            {
                const QList<qreal> l_indents = ContinuationIndents(lp_view, l_width);
                QVERIFY(!l_indents.isEmpty());
                QVERIFY2(*std::min_element(l_indents.cbegin(), l_indents.cend()) > 0,
                         qPrintable(lp_view->objectName() + QString::number(l_width)));
            }
    }

    // No character of a text or a sender starts a line of its own, in a room's page or a
    // private one, under each time stamp setting: in a text it shows as a space, in a sender (and
    // the private page's notice, which bears the partner's name) as its mark, and each message
    // stays one entry.
    void breaksStartNoLine_data() { ViewHarness::AddLineBreakRows(); }
    void breaksStartNoLine()
    {
        QFETCH(QChar, lineBreak);
        const std::string l_break = QString(lineBreak).toStdString();
        const std::string l_spoofer = "ps" + l_break + "[alice";
        const QString l_mark = ViewHarness::BreakMark(lineBreak);
        const struct
        {
            const char* mp_setting;
            QString m_stamp;
        } l_settings[] = {{"activity_based", {}},
                          {"per_message_short", u"[14:05:09]"_s},
                          {"per_message_long", u"[May 2 2:05:09 pm]"_s}};
        for (const auto& l_setting : l_settings)
        {
            SetTimestamps(l_setting.mp_setting);
            RoomForm l_room("lobby");
            ChatForm l_private(l_spoofer);
            for (QWidget* lp_page :
                 {static_cast<QWidget*>(&l_room), static_cast<QWidget*>(&l_private)})
            {
                const auto l_send = [&](const std::string& i_sender, const std::string& i_text)
                {
                    if (lp_page == &l_room)
                        l_room.OnRoomChat("lobby", i_sender, i_text);
                    else
                        l_private.AddChat(i_sender, i_text);
                };
                l_send("plainpeer", "PS text" + l_break + "[alice] forged");
                l_send(l_spoofer, "from a spoofing sender name");
                l_send("plainpeer", "/me waves" + l_break + "[alice] forged");
                QStringList l_lines;
                if (l_setting.m_stamp.isEmpty())
                    l_lines.append(started);
                l_lines << l_setting.m_stamp + u"[plainpeer] PS text [alice] forged"_s
                        << l_setting.m_stamp + u"[ps"_s + l_mark +
                               u"[alice] from a spoofing sender name"_s
                        << u"* plainpeer waves [alice] forged"_s;
                QCOMPARE(Entries(*lp_page->findChild<QTextBrowser*>(u"chatView"_s)), l_lines);
            }
            QCOMPARE(ViewHarness::NoticeTexts(), QStringList{u"ps"_s + l_mark + u"[alice"_s});
        }
    }

    void onlyWebLinksOpen_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("opened");
        QTest::newRow("http") << u"http://a.b/c"_s << true;
        QTest::newRow("https") << u"HTTPS://a.b/c"_s << true;
        QTest::newRow("file") << u"file:///etc/passwd"_s << false;
        QTest::newRow("javascript") << u"javascript:alert(1)"_s << false;
        QTest::newRow("mailto") << u"mailto:a@b.c"_s << false;
        QTest::newRow("relative") << u"etc/passwd"_s << false;
    }
    void onlyWebLinksOpen()
    {
        QFETCH(QString, url);
        QFETCH(bool, opened);
        ChatLog::OpenUrl(QUrl(url));
        QCOMPARE(mp_harness->OpenedUrls().size(), opened ? 1 : 0);
    }

    // A chat ends at the first check 300 s after its last line, named after that line's time;
    // action lines neither postpone nor restart it. The state changes under every setting, the
    // lines are written only under activity_based.
    void chatStartsAndEnds_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("entries");
        QTest::newRow("activity") << u"activity_based"_s
                                  << started + u"|[bob] a|[bob] b|* bob waves|* Chat ended May 2 "
                                               "2:10:08 pm|* bob nods|* Chat started May 2 "
                                               "2:15:10 pm|[bob] c"_s;
        QTest::newRow("none") << u"no_timestamps"_s
                              << u"[bob] a|[bob] b|* bob waves|* bob nods|[bob] c"_s;
    }
    void chatStartsAndEnds()
    {
        QFETCH(QString, setting);
        QFETCH(QString, entries);
        SetTimestamps(setting.toLatin1().constData());
        QTextBrowser l_view;
        ChatLog l_log(&l_view, ChatLog::Trimming::Never);
        l_log.AddChat("bob", "a");
        mp_harness->AdvanceSeconds(299);
        l_log.AddChat("bob", "b");
        mp_harness->AdvanceSeconds(200);
        l_log.AddChat("bob", "/me waves");
        mp_harness->AdvanceSeconds(99);
        l_log.CheckChatInactivity();
        QVERIFY(l_log.IsChatActive());
        mp_harness->AdvanceSeconds(1);
        l_log.CheckChatInactivity();
        QVERIFY(!l_log.IsChatActive());
        l_log.CheckChatInactivity();
        l_log.AddChat("bob", "/me nods");
        QVERIFY(!l_log.IsChatActive());
        mp_harness->AdvanceSeconds(2);
        l_log.AddChat("bob", "c");
        QCOMPARE(Entries(l_view), Split(entries));
    }

    // A log of exactly the limit keeps its oldest lines; one character more and the next chat
    // line comes after the rebuilt log, as cutting the written HTML says.
    void trimmingBoundary_data()
    {
        QTest::addColumn<int>("beyond");
        QTest::addColumn<bool>("trimmed");
        QTest::newRow("at the limit") << 0 << false;
        QTest::newRow("one beyond") << 1 << true;
    }
    void trimmingBoundary()
    {
        QFETCH(int, beyond);
        QFETCH(bool, trimmed);
        SetTimestamps("no_timestamps");
        // A filler line adds its constant markup plus one character per letter.
        auto l_fill = [](QTextBrowser& i_view, ChatLog& i_log)
        {
            for (int l_line = 0; i_view.document()->toHtml().size() < 240000; ++l_line)
                if (l_line % 5 == 4)
                    i_log.AddChat("\xc3\xa9ve", "/me waves at http://c.d \"x\"");
                else
                    i_log.AddChat("bob", "line " + std::to_string(l_line) + " <&> http://a.b/" +
                                             std::string(200, 'x'));
        };
        QTextBrowser l_probe;
        ChatLog l_probeLog(&l_probe, ChatLog::Trimming::AtLimit);
        l_fill(l_probe, l_probeLog);
        const qsizetype l_filled = l_probe.document()->toHtml().size();
        l_probeLog.AddStatusMessage(u"x"_s);
        const qsizetype l_statusMarkup = l_probe.document()->toHtml().size() - l_filled - 1;

        QTextBrowser l_view;
        ChatLog l_log(&l_view, ChatLog::Trimming::AtLimit);
        l_fill(l_view, l_log);
        QCOMPARE(l_view.document()->toHtml().size(), l_filled);
        l_log.AddStatusMessage(
            QString(ChatLog::maxHtmlLength - l_filled - l_statusMarkup + beyond, u'x'));
        const QString l_before = l_view.document()->toHtml();
        QCOMPARE(l_before.size(), ChatLog::maxHtmlLength + beyond);

        l_log.AddChat("bob", "last");
        QCOMPARE(Entries(l_view).first() == u"[bob] line 0 <&> http://a.b/"_s + QString(200, u'x'),
                 !trimmed);
        QTextBrowser l_expected;
        if (trimmed)
        {
            QString l_rest = l_before.mid(ChatLog::trimmedHtmlLength);
            l_expected.append(l_rest.mid(l_rest.indexOf(u'\n') + 1));
        }
        else
            l_expected.setHtml(l_before);
        l_expected.append(
            ChatLog::ChatLineHtml(u"no_timestamps"_s, mp_harness->Now(), u"bob"_s, u"last"_s));
        QCOMPARE(l_view.document()->toHtml(), l_expected.document()->toHtml());
    }

    // A cut inside the one long paragraph of a log keeps the rest of it, read anew.
    void trimmingInsideAParagraph()
    {
        SetTimestamps("no_timestamps");
        QTextBrowser l_view;
        ChatLog l_log(&l_view, ChatLog::Trimming::AtLimit);
        l_log.AddChat("bob", std::string(260000, 'y'));
        const QString l_before = l_view.document()->toHtml();
        l_log.AddChat("bob", "last");
        QTextBrowser l_expected;
        LayOutLines(&l_expected);
        QString l_rest = l_before.mid(ChatLog::trimmedHtmlLength);
        l_expected.append(l_rest.mid(l_rest.indexOf(u'\n') + 1));
        l_expected.append(u"[<font color=\"#0033FF\">bob</font>] last"_s);
        QCOMPARE(l_view.document()->toHtml(), l_expected.document()->toHtml());
        QCOMPARE(Entries(l_view).size(), 2);
    }

    // What an entry can add to the log's HTML stays within the bound that decides when the log
    // must be measured, however hostile the text.
    void growthBoundHolds_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("text");
        QTest::newRow("plain") << u"bob"_s << u"hello there"_s;
        QTest::newRow("empty") << u""_s << u""_s;
        QTest::newRow("quotes") << u"\"\""_s << QString(500, u'"');
        QTest::newRow("markup") << u"<<>>"_s << QString(100, u'<') + QString(100, u'&');
        QTest::newRow("no-break spaces") << u"bob"_s << QString(300, QChar(0xa0));
        QTest::newRow("separators") << u"bob"_s << QString(300, QChar(0x2028));
        QTest::newRow("tabs and breaks") << u"bob"_s << u"a\tb\nc\rd\u2029e"_s.repeated(50);
        QTest::newRow("links") << u"bob"_s << u"http://a.b "_s.repeated(100);
        QTest::newRow("frame marks")
            << u"bob"_s << u"a\ufdd0b\ufdd1c\ufffcd\u0000e\u0085"_s.repeated(50);
        QTest::newRow("right to left") << u"\u05d0\u05d1"_s << u"\u05e9\u05dc\u05d5\u05dd"_s;
        QTest::newRow("punctuation") << u"b.o-b"_s << u"';:,.!?()[]{}=+*/\\|~`^%$#@"_s;
        QTest::newRow("emoji") << u"bob"_s << u"\U0001F600"_s.repeated(100);
    }
    void growthBoundHolds()
    {
        QFETCH(QString, sender);
        QFETCH(QString, text);
        // A log whose first line has a format of its own, and one rebuilt from written HTML.
        QTextBrowser l_fresh;
        l_fresh.append(ChatLog::ChatLineHtml(u"per_message_short"_s, mp_harness->Now(), u"a"_s,
                                             u"http://a.b <b>"_s));
        QTextBrowser l_rebuilt;
        for (int l_line = 0; l_line < 20; ++l_line)
            l_rebuilt.append(ChatLog::ChatLineHtml(u"per_message_long"_s, mp_harness->Now(), u"a"_s,
                                                   u"https://c.d/e & \"f\""_s));
        const QString l_html = l_rebuilt.document()->toHtml();
        l_rebuilt.clear();
        l_rebuilt.append(l_html.mid(l_html.indexOf(u"<p"_s, 600)));
        for (QTextBrowser* lp_view : {&l_fresh, &l_rebuilt})
            for (const QString& l_entry :
                 {ChatLog::ChatLineHtml(u"per_message_long"_s, mp_harness->Now(), sender, text),
                  ChatLog::StatusLineHtml(sender + u" "_s + text)})
            {
                const qsizetype l_before = lp_view->document()->toHtml().size();
                lp_view->append(l_entry);
                QVERIFY2(lp_view->document()->toHtml().size() - l_before <=
                             ChatLog::HtmlGrowthBound(l_entry),
                         qPrintable(l_entry.left(80)));
            }
    }

    // The page echoes an own line at once, styled like the partner's, then sends it; every chat
    // line posts a notice titled with the partner, which showing the page withdraws.
    void pageEchoesSendsAndNotifies()
    {
        ChatForm l_form("bob&co");
        auto* lp_edit = l_form.findChild<QLineEdit*>(u"chatEdit"_s);
        auto* lp_view = l_form.findChild<QTextBrowser*>(u"chatView"_s);
        const int l_connection = mp_harness->Peers().CentralConnection();
        mp_harness->Peers().SentFrames(l_connection);

        QTest::keyClick(lp_edit, Qt::Key_Return);
        QVERIFY(Entries(*lp_view).isEmpty());
        lp_edit->setText(u"hello <there>"_s);
        QTest::keyClick(lp_edit, Qt::Key_Return);
        QCOMPARE(Entries(*lp_view), QStringList({started, u"[me] hello <there>"_s}));
        QVERIFY(lp_edit->text().isEmpty());
        const auto l_frames = mp_harness->Peers().SentFrames(l_connection);
        QCOMPARE(l_frames.size(), 1);
        QCOMPARE(l_frames[0].code, 22u);
        QCOMPARE(l_frames[0].body,
                 WireWriter().WriteString("bob&co"_ba).WriteString("hello <there>"_ba).Bytes());
        QCOMPARE(ViewHarness::NoticeTexts(), QStringList{u"bob&&co"_s});

        l_form.show();
        QVERIFY(ViewHarness::NoticeTexts().isEmpty());
        l_form.hide();
        l_form.AddChat("bob&co", "/me waves");
        QVERIFY(ViewHarness::NoticeTexts().isEmpty());
        l_form.AddChat("bob&co", "hi");
        l_form.AddChat("bob&co", "again");
        QCOMPARE(ViewHarness::NoticeTexts(), QStringList{u"bob&&co"_s});
        QCOMPARE(Entries(*lp_view).mid(2),
                 QStringList({u"* bob&co waves"_s, u"[bob&co] hi"_s, u"[bob&co] again"_s}));
    }

    // A notice's button shows its text as it is: dots, spaces at its ends and '&' too, whole or
    // cut.
    void noticeButtonsShowTheirText_data()
    {
        QTest::addColumn<QString>("partner");
        QTest::addColumn<QString>("shown");
        QTest::newRow("dots and ampersand") << u"x...y & z"_s << u"x...y && z"_s;
        QTest::newRow("spaces inside") << u"x  y"_s << u"x <U+0020>y"_s;
        QTest::newRow("spaces at the ends")
            << u"  x y  "_s << u"<U+0020><U+0020>x y<U+0020><U+0020>"_s;
        QTest::newRow("cut") << u"x...y & "_s + QString(300, u'w') << u"x...y && w"_s;
    }
    void noticeButtonsShowTheirText()
    {
        QFETCH(QString, partner);
        QFETCH(QString, shown);
        const auto l_forms = ChatLines({partner});
        const QStringList l_texts = NoticeButtonTexts();
        QCOMPARE(l_texts.size(), 1);
        QCOMPARE(l_texts[0].left(shown.size()), shown);
        QCOMPARE(l_texts[0].endsWith(u'…'), partner.size() > 100);
        QVERIFY(!ViewHarness::Snapshot(eventToolBar, u"notice"_s).isEmpty());
    }

    // The bar in a window spans it: in a narrow one notices are cut, each keeping enough of its
    // start to tell it apart; as the window widens, they show whole. Cut notices that hold '&',
    // which a button shows as "&&", still fit: none goes behind the extension button.
    void noticesFitTheWindow()
    {
        QMainWindow l_window;
        l_window.addToolBar(eventToolBar);
        // The harness keeps the bar past the window.
        const auto l_giveBack = qScopeGuard(
            [&]
            {
                l_window.removeToolBar(eventToolBar);
                eventToolBar->setParent(nullptr);
            });
        l_window.resize(400, 300);
        l_window.show();
        QStringList l_partners;
        for (int l_index = 10; l_index < 18; ++l_index)
            l_partners.append(u"partner %1 of a name"_s.arg(l_index));
        auto l_forms = ChatLines(l_partners);
        QTRY_VERIFY_WITH_TIMEOUT(NoticeButtonTexts().at(0).endsWith(u'…'), ViewHarness::timeoutMs);
        const QStringList l_cut = NoticeButtonTexts();
        for (qsizetype l_index = 0; l_index < l_cut.size(); ++l_index)
            QVERIFY2(l_cut[l_index].endsWith(u'…') &&
                         l_cut[l_index].startsWith(l_partners[l_index].left(10)),
                     qPrintable(l_cut[l_index]));
        l_window.resize(1600, 300);
        QTRY_COMPARE_WITH_TIMEOUT(NoticeButtonTexts(), l_partners, ViewHarness::timeoutMs);

        l_forms.clear();
        l_window.resize(1000, 300);
        l_partners.clear();
        for (int l_index = 1; l_index <= 6; ++l_index)
            l_partners.append(u"R&D & Q&A partner %1 of a name"_s.arg(l_index));
        l_forms = ChatLines(l_partners);
        const auto l_shownButtons = []
        {
            const QList<QAction*> l_notices = eventToolBar->actions();
            return std::count_if(l_notices.begin(), l_notices.end(),
                                 [](QAction* ip_notice)
                                 { return eventToolBar->widgetForAction(ip_notice)->isVisible(); });
        };
        QTRY_VERIFY_WITH_TIMEOUT(NoticeButtonTexts().at(0).endsWith(u'…'), ViewHarness::timeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(l_shownButtons(), 6, ViewHarness::timeoutMs);
        for (const QString& l_text : NoticeButtonTexts())
            QVERIFY2(l_text.startsWith(u"R&&D && Q&&A"_s), qPrintable(l_text));
    }

    // The page ties itself to the user for its life; its log menu is the partner's user menu.
    void pageTieAndMenu()
    {
        auto* lp_form = new ChatForm("bob");
        QCOMPARE(User("bob")["user_chat_widget"].AsPtr<ChatForm>(), lp_form);
        auto* lp_view = lp_form->findChild<QTextBrowser*>(u"chatView"_s);
        QCOMPARE(lp_view->contextMenuPolicy(), Qt::CustomContextMenu);
        std::unique_ptr<QMenu> lp_menu = lp_form->MakeContextMenu();
        QCOMPARE(ViewHarness::Entries(*lp_menu).mid(0, 2),
                 QStringList({u"Message user"_s, u"Add user to list"_s}));
        QVERIFY(ViewHarness::Trigger(*lp_menu, u"Ignore chat from user"_s));
        QVERIFY(User("bob").IsConnected("is_ignored"));
        delete lp_form;
        QVERIFY(User("bob")["user_chat_widget"].IsNull());
        QVERIFY(d["user_chat_widget"]->GetItems().empty());
    }

    // The half-minute tick ends the chat; Focus puts the cursor in the entry field.
    void pageTicksAndFocus()
    {
        ChatForm l_form("bob");
        auto* lp_view = l_form.findChild<QTextBrowser*>(u"chatView"_s);
        l_form.AddChat("bob", "hi");
        mp_harness->AdvanceSeconds(300);
        PeerHarness::Tick();
        QCOMPARE(Entries(*lp_view),
                 QStringList({started, u"[bob] hi"_s, u"* Chat ended May 2 2:05:09 pm"_s}));
        l_form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&l_form));
        l_form.Focus();
        QTRY_VERIFY_WITH_TIMEOUT(l_form.findChild<QLineEdit*>(u"chatEdit"_s)->hasFocus(),
                                 ViewHarness::timeoutMs);
    }

    // A click on a link goes to the desktop's handler and the log stays where it is.
    void linkClickOpensWithoutNavigation()
    {
        ChatForm l_form("bob");
        l_form.resize(567, 364);
        l_form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&l_form));
        auto* lp_view = l_form.findChild<QTextBrowser*>(u"chatView"_s);
        l_form.AddChat("bob", "see http://example.com/a?b=1&c=2 file:///etc/passwd");
        const QString l_text = lp_view->toPlainText();
        QTextCursor l_cursor(lp_view->document());
        l_cursor.setPosition(lp_view->document()->toPlainText().indexOf(u"example"_s));
        const QPoint l_point = lp_view->cursorRect(l_cursor).center();
        QSignalSpy l_clicked(lp_view, &QTextBrowser::anchorClicked);
        QTest::mouseClick(lp_view->viewport(), Qt::LeftButton, {}, l_point);
        QCOMPARE(l_clicked.size(), 1);
        QCOMPARE(mp_harness->OpenedUrls(), QList<QUrl>{QUrl(u"http://example.com/a?b=1&c=2"_s)});
        QCOMPARE(lp_view->toPlainText(), l_text);
        QVERIFY(lp_view->source().isEmpty());
        l_form.OnURLClicked(QUrl(u"file:///etc/passwd"_s));
        l_form.OnURLClicked(QUrl(u"javascript:alert(1)"_s));
        QCOMPARE(mp_harness->OpenedUrls().size(), 1);
        l_form.AddChat("me", "/me looks");
        QVERIFY(!ViewHarness::Snapshot(&l_form, u"chat"_s).isEmpty());
    }

    // Logged out, nothing claims to be sent: no echo, a status line, the typed text kept. Last:
    // it ends the login.
    void loggedOutLineIsNotEchoed()
    {
        ChatForm l_form("bob");
        auto* lp_edit = l_form.findChild<QLineEdit*>(u"chatEdit"_s);
        auto* lp_view = l_form.findChild<QTextBrowser*>(u"chatView"_s);
        mp_harness->Peers().Client().Disconnect();
        QTRY_VERIFY_WITH_TIMEOUT(!gp_server->IsConnected(), ViewHarness::timeoutMs);
        lp_edit->setText(u"hello"_s);
        QTest::keyClick(lp_edit, Qt::Key_Return);
        QCOMPARE(Entries(*lp_view), QStringList{u"* Not sent: the client is not connected."_s});
        QCOMPARE(lp_edit->text(), u"hello"_s);
        QVERIFY(ViewHarness::NoticeTexts().isEmpty());
    }

private:
    std::unique_ptr<ViewHarness> mp_harness;
};

VIEW_TEST_MAIN(TestChat)
#include "tst_chat.moc"
