#include "ViewHarness.h"

#include "ActionSetToolBar.h"
#include "Clock.h"
#include "Data.h"
#include "EventToolBar.h"
#include "KeptSequences.h"
#include "PeerHarness.h"
#include "SizeManager.h"
#include "StoreFunctions.h"
#include "TransferQueueManager.h"
#include "UIFunctions.h"

#include <QAbstractTextDocumentLayout>
#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QGlyphRun>
#include <QHelpEvent>
#include <QLabel>
#include <QMap>
#include <QMenu>
#include <QPixmap>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextLayout>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>

#include <initializer_list>
#include <set>
#include <string>
#include <tuple>
#include <utility>

using namespace Qt::StringLiterals;

namespace
{
// URL schemes whose opening is captured; anything else a view opens would reach the desktop.
const char* const capturedSchemes[] = {"http", "https", "file", "ftp", "mailto"};

// Store types that survive Reset: the settings, which hold the login.
const std::set<std::string> keptTypes = {"global", "vglobal", "global_value"};

QString WithoutMarkers(QString i_text)
{
    // "&&" stands for "&"; a lone "&" marks the shortcut.
    QString l_result;
    l_result.reserve(i_text.size());
    for (qsizetype l_index = 0; l_index < i_text.size(); ++l_index)
    {
        if (i_text[l_index] == QLatin1Char('&'))
        {
            if (l_index + 1 < i_text.size() && i_text[l_index + 1] == QLatin1Char('&'))
                l_result += QLatin1Char('&');
            ++l_index;
            if (l_index < i_text.size() && i_text[l_index] != QLatin1Char('&'))
                l_result += i_text[l_index];
            continue;
        }
        l_result += i_text[l_index];
    }
    return l_result;
}
// The label that shows the tool tip, while there is one.
QLabel* ToolTipLabel()
{
    for (QWidget* lp_window : QApplication::topLevelWidgets())
        if (lp_window->objectName() == u"qtooltip_label"_s)
            return qobject_cast<QLabel*>(lp_window);
    return nullptr;
}
bool IsWithin(QWidget* ip_widget, QWidget* ip_owner)
{
    for (QWidget* lp_widget = ip_widget; lp_widget; lp_widget = lp_widget->parentWidget())
        if (lp_widget == ip_owner)
            return true;
    return false;
}
} // namespace

ViewHarness::ViewHarness()
    : mp_peers(std::make_unique<PeerHarness>(PeerHarness::Services::WholeClient)),
      m_now(StartTime())
{
    InitIconResources();
    for (const char* lp_scheme : capturedSchemes)
        QDesktopServices::setUrlHandler(QString::fromLatin1(lp_scheme), this, "OnOpenUrl");
    Clock::Set([this] { return m_now; });

    // The shell's own store types, as its start-up declares them.
    DeclareUserDataTypes();
    d.NewType("user_chat_widget", true, false, true);
    d["user"]->RelateToType("user_chat_widget", One, One, false);
    d.NewType("room_form", true, false, true);
    d["room"]->RelateToType("room_form", One, One, false);

    mp_sizes = std::make_unique<SizeManager>();
    mp_transfers = std::make_unique<TransferQueueManager>();
    mp_actions = std::make_unique<ActionSetToolBar>();
    mp_actions->Init();
    mp_events = std::make_unique<EventToolBar>();
}

ViewHarness::~ViewHarness()
{
    Reset();
    for (const char* lp_scheme : capturedSchemes)
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(lp_scheme));
    Clock::Set({});
}

QList<QChar> ViewHarness::LineBreaks()
{
    return {QChar(0x000A), QChar(0x000B), QChar(0x000C), QChar(0x000D),
            QChar(0x001C), QChar(0x001D), QChar(0x001E), QChar(0x0085),
            QChar(0x2028), QChar(0x2029), QChar(0xFDD0), QChar(0xFDD1)};
}

void ViewHarness::AddLineBreakRows()
{
    QTest::addColumn<QChar>("lineBreak");
    for (const QChar l_break : LineBreaks())
        QTest::addRow("U+%04X", unsigned(l_break.unicode())) << l_break;
}

QString ViewHarness::BreakMark(QChar i_char)
{
    return QStringLiteral("<U+%1>").arg(i_char.unicode(), 4, 16, QLatin1Char('0')).toUpper();
}

void ViewHarness::AddHiddenCharacterNameRows()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown");
    // The first and the last code point of each range.
    const std::pair<char32_t, char32_t> l_ranges[] = {
        {0x00AD, 0x00AD},  {0x034F, 0x034F}, {0x061C, 0x061C},   {0x115F, 0x1160},
        {0x17B4, 0x17B5},  {0x180B, 0x180F}, {0x200B, 0x200F},   {0x202A, 0x202E},
        {0x2060, 0x206F},  {0x3164, 0x3164}, {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},
        {0xFFA0, 0xFFA0},  {0xFFF0, 0xFFF8}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
        {0xE0000, 0xE0FFF}};
    const auto l_text = [](char32_t i_code)
    { return QStringView(QChar::fromUcs4(i_code)).toString(); };
    const auto l_mark = [](char32_t i_code)
    { return u"<U+%1>"_s.arg(uint(i_code), 4, 16, QLatin1Char('0')).toUpper(); };
    for (const auto& [l_first, l_last] : l_ranges)
    {
        const bool l_one = l_first == l_last;
        QTest::addRow("U+%04X", uint(l_first))
            << u"ali"_s + l_text(l_first) + (l_one ? QString() : l_text(l_last)) + u"ce"_s
            << u"ali"_s + l_mark(l_first) + (l_one ? QString() : l_mark(l_last)) + u"ce"_s;
    }
    // What draws as nothing and is not ignorable: format characters, private use, unassigned
    // code points, noncharacters, the object replacement character, a byte order mark first.
    for (const char32_t l_code : {0x0600, 0xFFF9, 0xFFFB, 0xFFFC, 0xE000, 0x0378, 0xFFFF, 0xF0000})
        QTest::addRow("U+%04X", uint(l_code))
            << u"ali"_s + l_text(l_code) + u"ce"_s << u"ali"_s + l_mark(l_code) + u"ce"_s;
    QTest::newRow("byte order mark first") << u"\uFEFFalice"_s << u"<U+FEFF>alice"_s;
    QTest::newRow("blanks at the ends")
        << u" alice\u00A0\u2800"_s << u"<U+0020>alice<U+00A0><U+2800>"_s;
    QTest::newRow("blank inside") << u"al\u00A0ice"_s << u"al<U+00A0>ice"_s;
    // Joiners and selectors where they join, shown as they are.
    for (const auto& [lp_tag, l_name] : KeptSequences())
        QTest::newRow(lp_tag) << l_name << l_name;
    // The same joiner or selector between letters of one script, where it changes nothing.
    for (const auto& [lp_tag, l_first, l_second] :
         std::initializer_list<std::tuple<const char*, QString, QString>>{
             {"Latin", u"m\u00FC"_s, u"ller"_s},
             {"Cyrillic", u"\u043C\u0430"_s, u"\u0440\u0438\u044F"_s},
             {"Hebrew", u"\u05E9\u05DC"_s, u"\u05D5\u05DD"_s},
             {"Han", u"\u5C71"_s, u"\u7530"_s}})
        for (const char32_t l_code : {0x200C, 0x200D, 0xFE0F})
            QTest::addRow("U+%04X between %s letters", uint(l_code), lp_tag)
                << l_first + l_text(l_code) + l_second << l_first + l_mark(l_code) + l_second;
}

void ViewHarness::AddRightToLeftNameRows()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown");
    QTest::newRow("Hebrew") << u"\u05E9\u05DC\u05D5\u05DD"_s << u"\u05E9\u05DC\u05D5\u05DD"_s;
    QTest::newRow("Arabic") << u"\u0645\u0631\u062D\u0628\u0627"_s
                            << u"\u0645\u0631\u062D\u0628\u0627"_s;
    QTest::newRow("U+200F") << u"\u200Fx] [alice"_s << u"<U+200F>x] [alice"_s;
    QTest::newRow("U+061C") << u"\u061Cx"_s << u"<U+061C>x"_s;
    // Without an isolate, the bracket would pair with the line's own and take in what follows.
    QTest::newRow("bracket") << u"a]\u05E9\u05DC\u05D5\u05DD"_s << u"a]\u05E9\u05DC\u05D5\u05DD"_s;
}

QStringList ViewHarness::DrawnOrder(QTextBrowser* ip_browser, const QStringList& i_parts)
{
    // Laid out in a page wide enough for the line on one row, shown or not.
    ip_browser->setLineWrapMode(QTextEdit::NoWrap);
    QTextDocument* lp_document = ip_browser->document();
    const QTextBlock l_block = lp_document->lastBlock();
    lp_document->documentLayout()->blockBoundingRect(l_block);
    const QTextLayout* lp_layout = l_block.layout();
    if (!lp_layout || lp_layout->lineCount() != 1)
        return {};
    const QTextLine l_line = lp_layout->lineAt(0);
    QMap<qreal, QString> l_byLeft;
    qsizetype l_from = 0;
    for (const QString& l_part : i_parts)
    {
        const qsizetype l_at = l_block.text().indexOf(l_part, l_from);
        if (l_at < 0)
            return {};
        l_from = l_at + l_part.size();
        QRectF l_drawn;
        for (const QGlyphRun& l_run : l_line.glyphRuns(int(l_at), int(l_part.size())))
            l_drawn |= l_run.boundingRect();
        l_byLeft.insert(l_drawn.left(), l_part);
    }
    return l_byLeft.values();
}

QDateTime ViewHarness::StartTime()
{
    return QDateTime(QDate(2011, 5, 2), QTime(14, 5, 9));
}

void ViewHarness::Reset()
{
    // The tool bars' own pop-ups are top-level windows too, and theirs to delete.
    for (QWidget* lp_window : QApplication::topLevelWidgets())
        if (!IsWithin(lp_window, mp_actions.get()) && !IsWithin(lp_window, mp_events.get()) &&
            !m_kept.contains(lp_window))
            lp_window->deleteLater();
    Flush();
    mp_peers->ResetPeers();
    for (Item* lp_download : d.GetType("download_entry")->GetItems())
        mp_transfers->RemoveDownload(lp_download);
    for (Item* lp_upload : d.GetType("upload_entry")->GetItems())
        mp_transfers->RemoveUpload(lp_upload);
    Flush();
    for (Type* lp_type : std::vector<Type*>(d.Types()))
        if (!lp_type->IsRemoved() && !keptTypes.contains(lp_type->Name()))
            lp_type->RemoveAllItems();
    m_now = StartTime();
    m_openedUrls.clear();
}

void ViewHarness::Flush()
{
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

QStringList ViewHarness::Entries(const QMenu& i_menu)
{
    QStringList l_entries;
    for (QAction* lp_action : i_menu.actions())
        l_entries.append(lp_action->isSeparator() ? QStringLiteral("-")
                                                  : WithoutMarkers(lp_action->text()));
    return l_entries;
}

QAction* ViewHarness::Entry(const QMenu& i_menu, const QString& i_text)
{
    for (QAction* lp_action : i_menu.actions())
        if (!lp_action->isSeparator() && WithoutMarkers(lp_action->text()) == i_text)
            return lp_action;
    return nullptr;
}

bool ViewHarness::Trigger(const QMenu& i_menu, const QString& i_text)
{
    QAction* lp_action = Entry(i_menu, i_text);
    if (!lp_action || !lp_action->isEnabled())
        return false;
    lp_action->trigger();
    return true;
}

QStringList ViewHarness::RunContextMenu(QTreeWidget* ip_tree, QTreeWidgetItem* ip_row,
                                        const QString& i_entry)
{
    QStringList l_entries{QStringLiteral("(none)")};
    QTimer::singleShot(0, ip_tree,
                       [&]
                       {
                           auto* lp_menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                           if (!lp_menu)
                               return;
                           l_entries = Entries(*lp_menu);
                           if (!i_entry.isEmpty())
                               Trigger(*lp_menu, i_entry);
                           lp_menu->close();
                       });
    const QPoint l_point =
        ip_row ? ip_tree->visualItemRect(ip_row).center() : QPoint(5, ip_tree->height() - 5);
    emit ip_tree->customContextMenuRequested(l_point);
    Flush();
    return l_entries;
}

QStringList ViewHarness::NoticeTexts()
{
    QStringList l_texts;
    for (QAction* lp_action : eventToolBar->actions())
        if (!lp_action->text().isEmpty())
            l_texts.append(lp_action->text());
    return l_texts;
}

QString ViewHarness::ToolTipAt(QWidget* ip_widget, const QPoint& i_point)
{
    // A tip still showing would answer for a place that has none.
    delete ToolTipLabel();
    QHelpEvent l_event(QEvent::ToolTip, i_point, ip_widget->mapToGlobal(i_point));
    // Each tip shown raises its window, which the offscreen platform warns of every time.
    static QtMessageHandler sp_handler = nullptr;
    sp_handler = qInstallMessageHandler(
        [](QtMsgType i_type, const QMessageLogContext& i_context, const QString& i_message)
        {
            if (i_message != u"This plugin does not support raise()"_s)
                sp_handler(i_type, i_context, i_message);
        });
    QApplication::sendEvent(ip_widget, &l_event);
    qInstallMessageHandler(sp_handler);
    const QLabel* lp_tip = ToolTipLabel();
    if (!lp_tip || !lp_tip->isVisible())
        return {};
    const QString l_text = lp_tip->text();
    if (lp_tip->textFormat() == Qt::PlainText ||
        (lp_tip->textFormat() == Qt::AutoText && !Qt::mightBeRichText(l_text)))
        return l_text;
    QTextDocument l_document;
    l_document.setHtml(l_text);
    return l_document.toRawText();
}

QString ViewHarness::ToolTipOf(QTabWidget* ip_tabs, int i_index)
{
    return ToolTipAt(ip_tabs->tabBar(), ip_tabs->tabBar()->tabRect(i_index).center());
}

QString ViewHarness::ToolTipOf(QAction* ip_notice)
{
    QWidget* lp_button = eventToolBar->widgetForAction(ip_notice);
    return ToolTipAt(lp_button, lp_button->rect().center());
}

QStringList ViewHarness::ToolTipMismatches(QAbstractItemView* ip_view, const QModelIndex& i_parent)
{
    QStringList l_mismatches;
    const QAbstractItemModel* lp_model = ip_view->model();
    for (int l_row = 0; l_row < lp_model->rowCount(i_parent); ++l_row)
        for (int l_column = 0; l_column < lp_model->columnCount(i_parent); ++l_column)
        {
            const QModelIndex l_index = lp_model->index(l_row, l_column, i_parent);
            const QString l_text = l_index.data().toString();
            ip_view->scrollTo(l_index);
            if (const QString l_tip =
                    ToolTipAt(ip_view->viewport(), ip_view->visualRect(l_index).center());
                l_tip != l_text)
                l_mismatches << l_text + u" | "_s + l_tip;
            if (l_column == 0)
                l_mismatches += ToolTipMismatches(ip_view, l_index);
        }
    return l_mismatches;
}

QString ViewHarness::Snapshot(QWidget* ip_widget, const QString& i_name)
{
    const QString l_path =
        QDir::tempPath() + QStringLiteral("/view-") + i_name + QStringLiteral(".png");
    return ip_widget->grab().save(l_path) ? l_path : QString();
}

void ViewHarness::PrepareEnvironment()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
    {
        static QTemporaryDir l_runtime;
        QFile::setPermissions(l_runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                    QFileDevice::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", l_runtime.path().toLocal8Bit());
    }
}

void ViewHarness::OnOpenUrl(const QUrl& i_url)
{
    m_openedUrls.append(i_url);
}

QList<qreal> ContinuationIndents(QTextBrowser* ip_browser, int i_width)
{
    ip_browser->setLineWrapMode(QTextEdit::FixedPixelWidth);
    ip_browser->setLineWrapColumnOrWidth(i_width);
    QTextDocument* lp_document = ip_browser->document();
    // Asking for the size lays the whole document out.
    lp_document->documentLayout()->documentSize();
    QList<qreal> l_indents;
    for (QTextBlock l_block = lp_document->begin(); l_block.isValid(); l_block = l_block.next())
    {
        const QTextLayout* lp_layout = l_block.layout();
        for (int l_line = 1; l_line < lp_layout->lineCount(); ++l_line)
            l_indents.append(lp_layout->lineAt(l_line).naturalTextRect().left() -
                             lp_layout->lineAt(0).naturalTextRect().left());
    }
    return l_indents;
}
