// Remote text in every view: names, file and folder names, room names, search and chat texts
// that hold markup, "&", control characters, direction overrides, very long words and bytes
// that are not UTF-8. Each reaches its view as the services deliver it; then every widget on
// screen is read as it renders: nothing is markup but the chat's own http(s) links, nothing
// opens a local file, and the text shows as sent or visibly replaced.
#include "ChatForm.h"
#include "CompleteDownloadsForm.h"
#include "Data.h"
#include "DataDialog.h"
#include "DataTabPage.h"
#include "DiagnosticsForm.h"
#include "DownloadMenuOptions.h"
#include "EventToolBar.h"
#include "GeneralFunctions.h"
#include "ItemLogDialog.h"
#include "ItemSet.h"
#include "LogSink.h"
#include "PeerHarness.h"
#include "RoomForm.h"
#include "RoomTabWidget.h"
#include "SearchForm.h"
#include "Server.h"
#include "ShareForm.h"
#include "SharesForm.h"
#include "StoreFunctions.h"
#include "TabWidget.h"
#include "TestPeerMessages.h"
#include "TestSettings.h"
#include "TransferPeer.h"
#include "TransferQueueManager.h"
#include "TransfersForm.h"
#include "UIFunctions.h"
#include "UserGroupsDialog.h"
#include "UserListForm.h"
#include "UserMenuOptions.h"
#include "UserNoteDialog.h"
#include "ViewHarness.h"
#include "WireWriter.h"

#include <QAction>
#include <QFontMetricsF>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QPainter>
#include <QProxyStyle>
#include <QRegularExpression>
#include <QStyleOptionTab>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QWindow>

using namespace Qt::StringLiterals;
using Messages = TestPeerMessages;

namespace
{
enum class View
{
    Room,
    PrivateChat,
    UserList,
    UserMenu,
    Search,
    Browse,
    Transfers,
    CompleteDownloads,
    Diagnostics,
    StoreBrowser,
    ItemLog,
    UserDialogs
};

// How a widget shows a text that may be read as markup.
QString Rendered(const QString& i_text, Qt::TextFormat i_format)
{
    if (i_format == Qt::PlainText || (i_format == Qt::AutoText && !Qt::mightBeRichText(i_text)))
        return i_text;
    QTextDocument l_document;
    l_document.setHtml(i_text);
    return l_document.toPlainText();
}

// A tab, menu or button text as shown: "&&" is "&", a single "&" marks a shortcut.
QString WithoutMnemonics(const QString& i_text)
{
    QString l_shown;
    for (qsizetype l_index = 0; l_index < i_text.size(); ++l_index)
        if (i_text[l_index] != u'&' || (++l_index < i_text.size() && i_text[l_index] == u'&'))
            l_shown += i_text.mid(l_index, 1);
        else if (l_index < i_text.size())
            l_shown += i_text[l_index];
    return l_shown;
}

struct Screen
{
    // Where each text shows ("tree", "document", "tab", "title", "menu", "notice", ...).
    QMultiHash<QString, QString> m_texts;
    QStringList m_faults;
};

// Whether a character draws as nothing or as something else than itself, by Qt's copy of
// Unicode's data: controls, format characters, surrogates, private use, unassigned code points,
// noncharacters, line and paragraph separators and the object replacement character. The texts
// here hold no sequence that joins, so no such character may show as itself.
bool IsHiddenCharacter(char32_t i_code)
{
    switch (QChar::category(i_code))
    {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Other_Surrogate:
        case QChar::Other_PrivateUse:
        case QChar::Other_NotAssigned:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            return true;
        default:
            return QChar::isNonCharacter(i_code) || i_code == QChar::ObjectReplacementCharacter;
    }
}

// Each character of the text that shows as itself though it draws as nothing.
void FindHiddenCharacters(const QString& i_place, const QString& i_text, Screen& io_screen)
{
    for (const char32_t l_code : i_text.toUcs4())
        if (IsHiddenCharacter(l_code))
            io_screen.m_faults << u"U+%1 as itself in %2: %3"_s.arg(
                QString::number(uint(l_code), 16).toUpper(), i_place, i_text.left(80));
}

void ReadMenu(const QMenu* ip_menu, Screen& io_screen)
{
    io_screen.m_texts.insert(u"menu"_s, WithoutMnemonics(ip_menu->title()));
    for (const QAction* lp_action : ip_menu->actions())
        io_screen.m_texts.insert(u"menu"_s, WithoutMnemonics(lp_action->text()));
}

// The text as sent, read as Latin-1 or as UTF-8 (a byte order mark at its start kept), up to its
// first zero byte (where text from the network ends); a control or blank character may show as
// itself, as white space, as a visible replacement or as its code point ("<U+000A>"), never as
// nothing; any other character that draws as nothing as itself or as its code point
// ("<U+202E>"), as itself only where ReadScreen allows it.
QList<QRegularExpression> Patterns(QByteArray i_bytes)
{
    i_bytes.truncate(i_bytes.indexOf('\0') < 0 ? i_bytes.size() : i_bytes.indexOf('\0'));
    QString l_utf8 = QString::fromUtf8(i_bytes);
    if (i_bytes.startsWith("\xef\xbb\xbf"))
        l_utf8.prepend(QChar(QChar::ByteOrderMark));
    QList<QRegularExpression> l_patterns;
    for (const QString& l_text : {QString::fromLatin1(i_bytes), l_utf8})
    {
        QString l_pattern;
        for (const char32_t l_code : l_text.toUcs4())
        {
            const QString l_mark = u"<U\\+%1>"_s.arg(
                QString::number(uint(l_code), 16).toUpper().rightJustified(4, u'0'));
            const QString l_itself = u"\\x{%1}"_s.arg(uint(l_code), 0, 16);
            if (QChar::category(l_code) == QChar::Other_Control || QChar::isSpace(l_code))
                l_pattern += u"(?:%1|\\s+|[\\x{2400}-\\x{2426}\\x{25A1}\\x{FFFD}]|%2)"_s.arg(
                    l_itself, l_mark);
            else if (IsHiddenCharacter(l_code))
                l_pattern += u"(?:%1|%2)"_s.arg(l_itself, l_mark);
            else
                l_pattern += QRegularExpression::escape(QStringView(QChar::fromUcs4(l_code)));
        }
        l_patterns.append(QRegularExpression(l_pattern));
    }
    return l_patterns;
}

// A chat text keeps every character as sent (its sender is read in the room's list and tabs);
// every other document shows each hidden character as its mark.
enum class ChatTexts
{
    AsSent,
    None
};

void ReadDocument(QTextEdit* ip_edit, ChatTexts i_chat, Screen& io_screen)
{
    io_screen.m_texts.insert(u"document"_s, ip_edit->document()->toPlainText());
    for (QTextBlock l_block = ip_edit->document()->begin(); l_block.isValid();
         l_block = l_block.next())
    {
        // What the user edits is the user's own text, kept whole.
        if (i_chat == ChatTexts::None && ip_edit->isReadOnly())
            FindHiddenCharacters(u"document"_s, l_block.text(), io_screen);
        for (auto l_it = l_block.begin(); !l_it.atEnd(); ++l_it)
        {
            const QTextCharFormat l_format = l_it.fragment().charFormat();
            if (l_format.isImageFormat())
                io_screen.m_faults << u"image in %1"_s.arg(ip_edit->objectName());
            const QUrl l_link(l_format.anchorHref());
            if (l_link.isEmpty())
                continue;
            if (l_link.scheme() != u"http"_s && l_link.scheme() != u"https"_s)
                io_screen.m_faults << u"link to %1"_s.arg(l_link.toString());
            // Following every link: only the chat's own may open, and only in a browser.
            if (auto* lp_browser = qobject_cast<QTextBrowser*>(ip_edit))
                emit lp_browser->anchorClicked(l_link);
        }
    }
}

// Every text that the widgets on screen show, read as they render it; a label that holds the
// text reads it as plain text.
Screen ReadScreen(const QList<QRegularExpression>& i_patterns, ChatTexts i_chat)
{
    Screen l_screen;
    auto& l_texts = l_screen.m_texts;
    for (QWidget* lp_widget : QApplication::allWidgets())
    {
        // The title as the window system got it, "[*]" taken as the place of a modified star.
        if (lp_widget->isWindow() && lp_widget->windowHandle())
            l_texts.insert(u"title"_s, lp_widget->windowHandle()->title());
        l_texts.insert(u"tooltip"_s, Rendered(lp_widget->toolTip(), Qt::AutoText));
        if (auto* lp_label = qobject_cast<QLabel*>(lp_widget);
            lp_label && Rendered(lp_label->text(), lp_label->textFormat()) != lp_label->text() &&
            std::any_of(i_patterns.begin(), i_patterns.end(),
                        [&](const auto& i_pattern)
                        { return i_pattern.match(lp_label->text()).hasMatch(); }))
            l_screen.m_faults << u"markup in %1"_s.arg(lp_label->objectName());
        if (auto* lp_edit = qobject_cast<QTextEdit*>(lp_widget))
            ReadDocument(lp_edit, i_chat, l_screen);
        else if (auto* lp_bar = qobject_cast<QTabBar*>(lp_widget))
            for (int l_index = 0; l_index < lp_bar->count(); ++l_index)
            {
                l_texts.insert(u"tab"_s, WithoutMnemonics(lp_bar->tabText(l_index)));
                l_texts.insert(u"tooltip"_s, Rendered(lp_bar->tabToolTip(l_index), Qt::AutoText));
            }
        else if (auto* lp_menu = qobject_cast<QMenu*>(lp_widget))
            ReadMenu(lp_menu, l_screen);
        else if (auto* lp_list = qobject_cast<QListWidget*>(lp_widget))
            for (int l_row = 0; l_row < lp_list->count(); ++l_row)
                l_texts.insert(u"list"_s, lp_list->item(l_row)->text());
        else if (auto* lp_tree = qobject_cast<QTreeWidget*>(lp_widget))
            for (QTreeWidgetItemIterator l_row(lp_tree); *l_row; ++l_row)
                for (int l_column = 0; l_column < lp_tree->columnCount(); ++l_column)
                {
                    l_texts.insert(u"tree"_s, (*l_row)->text(l_column));
                    l_texts.insert(u"tooltip"_s,
                                   Rendered((*l_row)->toolTip(l_column), Qt::AutoText));
                }
    }
    for (const QAction* lp_action : eventToolBar->actions())
    {
        l_texts.insert(u"notice"_s, WithoutMnemonics(lp_action->text()));
        l_texts.insert(u"tooltip"_s, Rendered(lp_action->toolTip(), Qt::AutoText));
    }
    for (auto l_it = l_texts.cbegin(); l_it != l_texts.cend(); ++l_it)
        if (l_it.key() != u"document"_s)
            FindHiddenCharacters(l_it.key(), l_it.value(), l_screen);
    return l_screen;
}

// The tab labels a tab bar paints, as the user reads them, while the bar uses this style.
class TabLabels : public QProxyStyle
{
public:
    mutable QStringList m_shown;

    void drawControl(ControlElement i_element, const QStyleOption* ip_option, QPainter* ip_painter,
                     const QWidget* ip_widget) const override
    {
        if (const auto* lp_tab = qstyleoption_cast<const QStyleOptionTab*>(ip_option);
            lp_tab && i_element == CE_TabBarTabLabel)
            m_shown.append(WithoutMnemonics(lp_tab->text));
        QProxyStyle::drawControl(i_element, ip_option, ip_painter, ip_widget);
    }
};

ItemPtr Room(const QByteArray& i_name)
{
    return d["room"]->GetItem(i_name.toStdString());
}

ItemPtr User(const QByteArray& i_name)
{
    return d["user"]->GetItem(i_name.toStdString());
}

// A text cut short where it cannot show whole: a beginning of the text as sent, then "…".
bool IsCutShort(const QString& i_shown, const QByteArray& i_bytes)
{
    if (!i_shown.endsWith(u'…') || i_shown.size() < 17)
        return false;
    const QString l_start = i_shown.chopped(1);
    return (QString::fromLatin1(i_bytes).startsWith(l_start) ||
            QString::fromUtf8(i_bytes).startsWith(l_start));
}

template <typename T> T* Child(QWidget* ip_parent, const char* ip_name)
{
    return ip_parent->findChild<T*>(QString::fromLatin1(ip_name));
}

// The tests' own judge of what a reader cannot tell apart, knowing nothing of the Unicode
// properties that the program reads: each code point c, of those asked, for which "ali" + c + "ce"
// draws, pixel for pixel in the pages' font, exactly as "alice".
QtMessageHandler gp_previousHandler = nullptr;

QImage Drawn(const QString& i_text)
{
    const QFontMetricsF l_metrics(QApplication::font());
    // Room on every side for marks that reach beyond their letters.
    const int l_height = int(l_metrics.height()) * 3;
    QImage l_image(int(l_metrics.horizontalAdvance(i_text)) + l_height * 2, l_height,
                   QImage::Format_Grayscale8);
    l_image.fill(Qt::white);
    QPainter l_painter(&l_image);
    l_painter.setFont(QApplication::font());
    l_painter.drawText(QPointF(l_height, l_metrics.height() + l_metrics.ascent()), i_text);
    return l_image;
}

template <typename Ask> QList<char32_t> DrawnAsNothingInAlice(Ask i_ask)
{
    const QFontMetricsF l_metrics(QApplication::font());
    const QImage l_alice = Drawn(u"alice"_s);
    // A font without shaping tables for a script warns once per font and script, and the scan
    // meets every script.
    gp_previousHandler = qInstallMessageHandler(
        [](QtMsgType i_type, const QMessageLogContext& i_context, const QString& i_message)
        {
            if (!i_message.contains(u"OpenType support missing"_s))
                gp_previousHandler(i_type, i_context, i_message);
        });
    QList<char32_t> l_found;
    for (char32_t l_code = 0; l_code <= QChar::LastValidCodePoint; ++l_code)
    {
        if (QChar::isSurrogate(l_code) || !i_ask(l_code))
            continue;
        const QString l_with = u"ali"_s + QStringView(QChar::fromUcs4(l_code)).toString() + u"ce"_s;
        // Texts of other widths cannot draw alike: most differ there, at the cost of a layout.
        if (l_metrics.horizontalAdvance(l_with) == l_metrics.horizontalAdvance(u"alice"_s) &&
            Drawn(l_with) == l_alice)
            l_found.append(l_code);
    }
    qInstallMessageHandler(gp_previousHandler);
    return l_found;
}

QMainWindow* Window(QWidget* ip_view)
{
    auto* lp_window = new QMainWindow;
    ip_view->setParent(lp_window);
    lp_window->setCentralWidget(ip_view);
    lp_window->resize(900, 500);
    return lp_window;
}
} // namespace

class TestHostileViews : public QObject
{
    Q_OBJECT

    std::unique_ptr<ViewHarness> mp_harness;
    QTemporaryDir m_dir;
    // Built once, as the main window builds them.
    QPointer<SharesForm> mp_shares;
    QPointer<TransfersForm> mp_transfers;
    // Another user whose client sends lists and replies over the network, new for each test.
    std::unique_ptr<TransferPeer> mp_bob;

    void Show(View i_view, const QByteArray& i_text)
    {
        const std::string l_text = i_text.toStdString();
        switch (i_view)
        {
            case View::Room:
            {
                Room(i_text).NewItem("in_room");
                auto* lp_form = new RoomForm(l_text);
                lp_form->Init();
                // A tab titled with the room's name, as the main window adds it.
                auto* lp_tabs = new TabWidget;
                lp_tabs->addTab(lp_form, EscapeAmpersands(ShownName(l_text)));
                Window(lp_tabs);
                ItemPtr(Room(i_text)) += User(i_text);
                SetValue(User(i_text), "average_download_speed", 1);
                SetValue(User(i_text), "shared_files_count", 1);
                SetValue(User(i_text), "country_code", l_text);
                User(i_text) += d["user_note"]->GetItem(l_text);
                PeerHarness& l_peers = mp_harness->Peers();
                QVERIFY(l_peers.Deliver(l_peers.Central().ConnectionOf("me"), 13,
                                        WireWriter()
                                            .WriteString(i_text)
                                            .WriteString(i_text)
                                            .WriteString(i_text)
                                            .Bytes()));
                lp_form->AddStatusMessage(l_text);
                lp_form->OnPlaceRows();
                return;
            }
            case View::PrivateChat:
            {
                auto* lp_form = new ChatForm(l_text);
                auto* lp_tabs = new RoomTabWidget;
                lp_tabs->addTab(lp_form, EscapeAmpersands(ShownName(l_text)));
                Window(lp_tabs);
                lp_form->AddChat(l_text, l_text);
                return;
            }
            case View::UserList:
            {
                ItemPtr l_entry = User(i_text).NewItem("in_user_list");
                l_entry += d["user_list_group"]->GetItem(l_text);
                User(i_text) += d["user_note"]->GetItem(l_text);
                User(i_text).NewItem("is_online");
                auto* lp_form = new UserListForm;
                lp_form->Init();
                Window(lp_form);
                lp_form->UpdateUserGroupsDisplay(l_text);
                return;
            }
            case View::UserMenu:
            {
                ItemPtr(d["is_owner"]->GetGlobalItem()) += Room(i_text);
                ItemPtr(d["is_operator"]->GetGlobalItem()) += Room(i_text + "2");
                auto* lp_menu = new QMenu;
                new UserMenuOptions(lp_menu, l_text, lp_menu);
                return;
            }
            case View::Search:
            {
                ItemPtr l_searched = d["search_request_text"]->GetItem(Value(l_text));
                ItemPtr l_correlation = l_searched.NewItem("search_correlation");
                l_correlation += d["correlation_text"]->GetItem(Value(l_text));
                l_correlation += d["correlation_rank"]->GetItem(Value(1));
                ItemPtr(d["wish_list_item"]->GetItem(Value(l_text))) +=
                    d["wish_list_item_enabled"]->GetGlobalNullItem();
                auto* lp_search = new SearchForm;
                Window(lp_search);
                lp_search->Init();
                lp_search->DataLoaded();
                // A manual search and a wish-list search of the same text.
                for (const unsigned int l_token : {7000u, 7001u})
                {
                    ItemPtr l_request = d["search_request"]->NewItem(Value(l_token));
                    l_request += l_searched;
                    if (l_token == 7001u)
                        l_request += d["wishlist_search"]->GetGlobalNullItem();
                    lp_search->OnSearchRequest(l_token, l_text, l_token == 7001u);
                    ItemPtr l_results = d["search_results"]->NewItem();
                    ItemPtr l_result = l_results.NewItem("search_result");
                    l_result += d["search_result_file_name"]->GetItem(Value(l_text));
                    l_result += d["search_result_file_folder"]->GetItem(Value(l_text));
                    l_result += d["file_size"]->GetItem(Value(1));
                    l_request += l_results;
                    l_results += User(i_text);
                    lp_search->OnUserSearchResults(l_results);
                }
                // bob's reply to the manual search, over the network.
                mp_bob->SetOnline(true);
                mp_bob->Send(Messages::FileSearchResult(Messages::SearchReplyContent(
                    "bob", 7000, {{i_text + '\\' + i_text, 1, "mp3", {}}}, 1, 0, 0)));
                QTRY_COMPARE_WITH_TIMEOUT(d["search_results"]->ItemCount(), std::size_t(3),
                                          ViewHarness::timeoutMs);
                lp_search->ShowHeldReplies();
                return;
            }
            case View::Browse:
            {
                if (!mp_shares)
                {
                    mp_shares = new SharesForm;
                    mp_harness->Keep(Window(mp_shares));
                    mp_shares->Init();
                }
                // The user's tab waits for a list that cannot come; bob's list names a folder
                // and a file with the text and comes over the network.
                mp_shares->OpenShareBrowse(l_text)->OnConnectionToUserFailed(l_text, "P");
                mp_bob->SetOnline(true);
                ShareForm* lp_form = mp_shares->OpenShareBrowse("bob");
                QVERIFY(mp_bob->Take(4));
                mp_bob->Send(Messages::SharedFileList(
                    Messages::ShareListContent({{i_text, {{i_text, 1, "mp3", {}}}}})));
                QTRY_VERIFY_WITH_TIMEOUT(lp_form->FolderTree()->topLevelItemCount(),
                                         ViewHarness::timeoutMs);
                lp_form->BrowseToFolder(l_text);
                return;
            }
            case View::Transfers:
            {
                if (!mp_transfers)
                {
                    mp_transfers = new TransfersForm;
                    mp_harness->Keep(Window(mp_transfers));
                    mp_transfers->Init();
                    mp_transfers->DataLoaded();
                    emit mp_harness->Transfers().TransfersLoaded();
                }
                ItemPtr l_download =
                    mp_harness->Transfers().AddDownload(l_text, l_text, l_text, 1, 0);
                // Found by a search of the text: the row's menu offers to run it again.
                l_download += d["search_request_text"]->GetItem(l_text);
                auto* lp_menu = new QMenu;
                new DownloadMenuOptions(lp_menu, ItemSet(l_download), lp_menu);
                return;
            }
            case View::CompleteDownloads:
            {
                ItemPtr l_record = d["complete_download"]->NewItem();
                l_record += User(i_text);
                for (const char* lp_field :
                     {"complete_download_filename", "complete_download_relative_folder",
                      "complete_download_file_size", "complete_download_completion_time"})
                    SetValue(l_record, lp_field, l_text);
                auto* lp_form = new CompleteDownloadsForm;
                lp_form->Init();
                Window(lp_form);
                return;
            }
            case View::Diagnostics:
            {
                auto* lp_form = new DiagnosticsForm;
                lp_form->Init();
                Window(lp_form);
                User(i_text).NewItem("is_tracked");
                // bob offers a file of that name: the transfer queue logs it.
                mp_bob->SetOnline(true);
                mp_bob->Offer(1, i_text, 1);
                QTRY_VERIFY_WITH_TIMEOUT(
                    lp_form->Lines(u"Transfer Queue"_s).join(u'\n').contains(u"upload request"_s),
                    ViewHarness::timeoutMs);
                return;
            }
            case View::StoreBrowser:
            {
                // The type page lists the items made while it is open.
                (new DataTabPage(d["user"]))->show();
                User(i_text);
                auto* lp_dialog = new DataDialog(&d);
                lp_dialog->show();
                auto* lp_types = Child<QTreeWidget>(lp_dialog, "typeList");
                lp_types->setCurrentItem(lp_types->findItems(u"user"_s, Qt::MatchExactly).value(0));
                auto* lp_items = Child<QListWidget>(lp_dialog, "itemList");
                QVERIFY(lp_items->count() > 0);
                emit lp_items->itemClicked(lp_items->item(0));
                return;
            }
            case View::ItemLog:
            {
                ItemPtr l_entry = d["item_log"]->NewItem();
                User(i_text) += l_entry;
                for (const char* lp_field : {"log_time", "log_text"})
                    SetValue(l_entry, lp_field, l_text);
                SetValue(l_entry, "log_area", "peer");
                SetValue(l_entry, "log_level", 1);
                SetValue(l_entry, "log_order", 1);
                (new ItemLogDialog(User(i_text)))->show();
                return;
            }
            case View::UserDialogs:
                User(i_text) += d["user_note"]->GetItem(l_text);
                (new UserGroupsDialog(l_text))->show();
                UserNoteDialog::GetDialog(l_text)->show();
                return;
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        mp_harness = std::make_unique<ViewHarness>();
        TestSettings::SetSetting("download_folder", m_dir.path().toStdString());
        UserNoteDialog::Init();
        // The log of an item, which only its inspector reads.
        d.NewType("item_log", false, true, false);
        d["item_log"]->RelateToType("user", Many, One, false);
        for (const char* lp_field : {"log_time", "log_area", "log_level", "log_text", "log_order"})
        {
            d.NewType(lp_field, false, false, true);
            d["item_log"]->RelateToType(lp_field, Many, One, false);
        }
    }
    void cleanupTestCase()
    {
        mp_bob.reset();
        mp_harness.reset();
    }
    void init()
    {
        if (!mp_harness->Peers().Client().IsConnected())
            QVERIFY(mp_harness->Peers().LogIn() != 0);
        mp_harness->Reset();
        mp_bob = std::make_unique<TransferPeer>(mp_harness->Peers(), "bob");
        // The log goes to the harness again after a diagnostics view took it.
        gp_logSink = &mp_harness->Peers();
    }
    void cleanup()
    {
        mp_bob.reset();
        while (mp_shares && mp_shares->TabControl()->count() > 0)
            mp_shares->OnTabCloseRequested(0);
        for (QWidget* lp_kept :
             {static_cast<QWidget*>(mp_shares), static_cast<QWidget*>(mp_transfers)})
            if (lp_kept)
                lp_kept->window()->hide();
        mp_harness->Reset();
    }

    // Cut short to the least, a tab shows the first two characters of its title as its neighbours
    // do, an ampersand among them as itself.
    void cutTabsKeepTheirFirstCharacters_data()
    {
        QTest::addColumn<bool>("chats");
        QTest::newRow("rooms") << false;
        QTest::newRow("private chats") << true;
    }
    void cutTabsKeepTheirFirstCharacters()
    {
        QFETCH(bool, chats);
        TabLabels l_labels;
        std::unique_ptr<QTabWidget> lp_tabs(chats ? static_cast<QTabWidget*>(new RoomTabWidget)
                                                  : new TabWidget);
        lp_tabs->setTabsClosable(chats);
        lp_tabs->tabBar()->setStyle(&l_labels);
        QStringList l_expected;
        for (const QString& l_name :
             {u"alice in wonderland"_s, u"R&D <b>user</b>"_s, u"bob the builder"_s, u"&&x..."_s})
        {
            lp_tabs->addTab(new QWidget, EscapeAmpersands(l_name));
            l_expected.append(l_name.left(2) + u'…');
        }
        // Narrow enough for every tab to be at its least width, wide enough to paint all four.
        lp_tabs->resize(chats ? 300 : 180, 100);
        lp_tabs->show();
        QVERIFY(QTest::qWaitForWindowExposed(lp_tabs.get()));
        l_labels.m_shown.clear();
        QVERIFY(!ViewHarness::Snapshot(lp_tabs.get(), u"cut-tabs"_s).isEmpty());
        l_expected.sort();
        l_labels.m_shown.sort();
        QCOMPARE(l_labels.m_shown, l_expected);
    }

    // No character that draws as nothing between "ali" and "ce", in the font the pages use,
    // shows as itself: the judge is how each code point draws, not the properties the program
    // reads.
    void noCharacterHidesInAName()
    {
        // The judge itself: a letter draws, a zero width space draws as nothing.
        QCOMPARE(DrawnAsNothingInAlice([](char32_t i_code) { return i_code == u'x'; }),
                 QList<char32_t>());
        QCOMPARE(DrawnAsNothingInAlice([](char32_t i_code) { return i_code == 0x200B; }),
                 QList<char32_t>{0x200B});
        const QList<char32_t> l_hidden = DrawnAsNothingInAlice(
            [](char32_t i_code)
            {
                const QString l_name =
                    u"ali"_s + QStringView(QChar::fromUcs4(i_code)).toString() + u"ce"_s;
                return ShownText(l_name) == l_name;
            });
        QStringList l_codes;
        for (const char32_t l_code : l_hidden)
            l_codes << u"U+%1"_s.arg(uint(l_code), 4, 16, QLatin1Char('0')).toUpper();
        QVERIFY2(l_hidden.isEmpty(), qPrintable(l_codes.join(u' ')));
    }

    // One table of hostile texts crossed with one row per view and the places in it where the
    // text shows.
    void remoteTextShowsAsSent_data()
    {
        QTest::addColumn<int>("view");
        QTest::addColumn<QStringList>("places");
        QTest::addColumn<QByteArray>("text");
        const QList<std::pair<const char*, QByteArray>> l_texts{
            {"bold", "<b>x</b>"},
            {"image", "<img src=file:///etc/passwd>"},
            {"link", "<a href=file:///etc/passwd>x</a>"},
            {"ampersands", "a&b &amp; &&c [*]"},
            {"controls", "a\x01z\tb\nc\rd\x1b[31me\x7f"
                         "f\xc2\x85g"},
            {"zero byte", QByteArray("before\0after", 12)},
            {"override", "abc\xe2\x80\xaetxt.exe"},
            {"placeholders", "%1 %2 %3 %L1 %%"},
            {"web link", "see http://a.b/c&d<b>e</b> file:///etc/passwd"},
            {"long word", QByteArray(10000, 'w')},
            {"not UTF-8", "\xff\xfe x\xc0\xaf y\xed\xa0\x80 z\xe9"},
            {"hidden", "\xef\xbb\xbf"
                       "ali\xef\xbf\xbc\xef\xbf\xb9\xee\x80\x80\xf3\xa0\x80\x81"
                       "ce\xe2\x80\x8d"}};
        const QList<std::tuple<const char*, View, const char*>> l_views{
            {"room", View::Room, "tab tree document"},
            {"private chat", View::PrivateChat, "tab document notice tooltip"},
            {"user list", View::UserList, "tree"},
            {"user menu", View::UserMenu, "menu"},
            {"search", View::Search, "tab tree notice"},
            {"browse", View::Browse, "tab tree notice"},
            {"transfers", View::Transfers, "tree menu"},
            {"complete downloads", View::CompleteDownloads, "tree"},
            {"diagnostics", View::Diagnostics, "document tree"},
            {"store browser", View::StoreBrowser, "list tree"},
            {"item log", View::ItemLog, "document"},
            {"user dialogs", View::UserDialogs, "title document"}};
        for (const auto& [lp_view, l_view, lp_places] : l_views)
            for (const auto& [lp_text, l_text] : l_texts)
                QTest::addRow("%s: %s", lp_view, lp_text)
                    << int(l_view) << QString::fromLatin1(lp_places).split(u' ') << l_text;
    }
    void remoteTextShowsAsSent()
    {
        QFETCH(int, view);
        QFETCH(QStringList, places);
        QFETCH(QByteArray, text);
        Show(View(view), text);
        if (QTest::currentTestFailed())
            return;
        ViewHarness::Flush();
        // Read before the views are shown: shown, they withdraw their notices.
        const QList<QRegularExpression> l_patterns = Patterns(text);
        const Screen l_screen =
            ReadScreen(l_patterns, View(view) == View::Room || View(view) == View::PrivateChat
                                       ? ChatTexts::AsSent
                                       : ChatTexts::None);
        QVERIFY2(l_screen.m_faults.isEmpty(), qPrintable(l_screen.m_faults.join(u"\n"_s)));
        for (const QUrl& l_opened : mp_harness->OpenedUrls())
            QVERIFY2(l_opened.scheme().startsWith(u"http"_s), qPrintable(l_opened.toString()));
        for (const QString& l_place : places)
        {
            bool l_shown = false;
            for (const QString& l_text : l_screen.m_texts.values(l_place))
                for (const QRegularExpression& l_pattern : l_patterns)
                    l_shown =
                        l_shown || l_pattern.match(l_text).hasMatch() || IsCutShort(l_text, text);
            QVERIFY2(l_shown, qPrintable(u"not shown as sent: "_s + l_place + u": "_s +
                                         l_screen.m_texts.values(l_place).join(u'|').left(300)));
        }

        // Shown and painted: a long word neither widens a window past a screen nor pushes a
        // tab's close button out of reach.
        for (QWidget* lp_window : QApplication::topLevelWidgets())
            if (!qobject_cast<QMenu*>(lp_window) && !lp_window->isVisible())
                lp_window->show();
        ViewHarness::Flush();
        for (QWidget* lp_window : QApplication::topLevelWidgets())
        {
            lp_window->grab();
            QVERIFY2(lp_window->minimumSizeHint().width() < 2000,
                     lp_window->metaObject()->className());
        }
        for (QWidget* lp_widget : QApplication::allWidgets())
            if (auto* lp_bar = qobject_cast<QTabBar*>(lp_widget); lp_bar && lp_bar->isVisible())
                for (int l_index = 0; l_index < lp_bar->count(); ++l_index)
                    QVERIFY2(lp_bar->tabRect(l_index).right() <= lp_bar->width(),
                             qPrintable(lp_bar->parentWidget()->objectName()));
    }
};

VIEW_TEST_MAIN(TestHostileViews)
#include "tst_hostileviews.moc"
