#pragma once

#include <QApplication>
#include <QDateTime>
#include <QList>
#include <QModelIndex>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <memory>

class ActionSetToolBar;
class EventToolBar;
class PeerHarness;
class QAbstractItemView;
class QAction;
class QMenu;
class QTabWidget;
class QTextBrowser;
class QTreeWidget;
class QTreeWidgetItem;
class SizeManager;
class TransferQueueManager;

// What the tests of views share, made once per test program (the store's types are declared
// once): the client's real services as the start-up of the application makes them, logged in as
// "me" to a test server on 127.0.0.1 (the peer harness), the transfer queue, the shell's pieces
// that views use without a main window (size manager, action and notice tool bars, the shell's
// store types), a clock of the test's own, and every URL that a view asks the desktop to open,
// captured instead of opened.
//
// Views are built by the tests themselves, on the offscreen platform (VIEW_TEST_MAIN). Menus are
// checked as plain QMenu objects through Entries and Trigger; a view's own context menu, which it
// runs with exec, through RunContextMenu.
class ViewHarness : public QObject
{
    Q_OBJECT

public:
    static constexpr int timeoutMs = 20000;

    ViewHarness();
    ~ViewHarness() override;

    PeerHarness& Peers() { return *mp_peers; }
    TransferQueueManager& Transfers() { return *mp_transfers; }

    // Between tests: every top-level window deleted (a test keeps none of its own past Reset),
    // peer connections ended, transfers removed, the store emptied except the settings and the
    // login, the clock back at its start and the captured URLs forgotten.
    void Reset();
    // A window that Reset keeps: a view that the program builds once (its types are declared
    // once) and that the test builds once too.
    void Keep(QWidget* ip_window) { m_kept.append(ip_window); }

    // The clock that Clock::Now reads (the times views and the log show): fixed until the test
    // moves it. The services keep the system clock.
    void SetNow(const QDateTime& i_now) { m_now = i_now; }
    void AdvanceSeconds(qint64 i_seconds) { m_now = m_now.addSecs(i_seconds); }
    QDateTime Now() const { return m_now; }
    // Where the clock stands after Reset: 2 May 2011, 14:05:09 local time.
    static QDateTime StartTime();

    // The URLs given to QDesktopServices::openUrl since the last Reset, in order.
    QList<QUrl> OpenedUrls() const { return m_openedUrls; }

    // Runs posted events and deferred deletions, so that what a view scheduled has happened.
    static void Flush();

    // The texts of a menu's entries in order, without shortcut markers ('&&' shows as '&'); a
    // separator is "-".
    static QStringList Entries(const QMenu& i_menu);
    // The entry with that text (as Entries shows it), or null.
    static QAction* Entry(const QMenu& i_menu, const QString& i_text);
    // Triggers the entry with that text; false when there is none or it is disabled.
    static bool Trigger(const QMenu& i_menu, const QString& i_text);
    // Asks the tree for its context menu at the row (empty space below the rows without one),
    // triggers the entry with that text if one is given, and closes the menu; returns the menu's
    // entries, or "(none)" when no menu opened.
    static QStringList RunContextMenu(QTreeWidget* ip_tree, QTreeWidgetItem* ip_row,
                                      const QString& i_entry = QString());

    // Every character that ends a line or a paragraph in some part of Qt's text layout, for rows
    // that send each in a remote text; and the mark that text shown on one line has for it.
    static QList<QChar> LineBreaks();
    // One data row for each, in the column "lineBreak" (QChar).
    static void AddLineBreakRows();
    static QString BreakMark(QChar i_char);

    // Names that would pass for "alice": one with a code point of each range of those that draw as
    // nothing (Default_Ignorable_Code_Point), those beyond the first plane included, and ones
    // with blanks at their ends; and names whose joiners and selectors draw (Persian, emoji). The
    // columns "name" (QString) and "shown" (QString, the name as every view shows it).
    static void AddHiddenCharacterNameRows();
    // Names that start with a right-to-left letter or mark (Hebrew, Arabic, U+200F, U+061C) or
    // end in a bracket after one, for rows that show each in a line of the client's: the columns
    // "name" (QString) and "shown" (QString, the name as the line shows it).
    static void AddRightToLeftNameRows();
    // The parts, found one after the other in the text of the browser's last paragraph, in the
    // order they are drawn from left to right (by the left edge of each); empty when the
    // paragraph does not hold them.
    static QStringList DrawnOrder(QTextBrowser* ip_browser, const QStringList& i_parts);

    // The texts of the notices in the bar, as its actions hold them ("&" doubled).
    static QStringList NoticeTexts();

    // The text of the tool tip that the pointer resting there shows, read as the tool tip
    // draws it (as markup when Qt takes it for markup); empty when none shows. At a point of the
    // widget, in the middle of a tab or of a notice's button.
    static QString ToolTipAt(QWidget* ip_widget, const QPoint& i_point);
    static QString ToolTipOf(QTabWidget* ip_tabs, int i_index);
    static QString ToolTipOf(QAction* ip_notice);
    // The cells of the list or tree (below the parent) whose tool tip, each cell scrolled to,
    // does not read as their text, each as "text | tool tip".
    static QStringList ToolTipMismatches(QAbstractItemView* ip_view,
                                         const QModelIndex& i_parent = {});
    // Renders the widget offscreen into /tmp/view-<name>.png, to be looked at; returns the path,
    // empty when it could not be written.
    static QString Snapshot(QWidget* ip_widget, const QString& i_name);

    // Before the QApplication: the offscreen platform unless the environment names one, and a
    // private runtime folder.
    static void PrepareEnvironment();

public slots:
    void OnOpenUrl(const QUrl& i_url);

private:
    std::unique_ptr<PeerHarness> mp_peers;
    std::unique_ptr<SizeManager> mp_sizes;
    std::unique_ptr<TransferQueueManager> mp_transfers;
    std::unique_ptr<ActionSetToolBar> mp_actions;
    std::unique_ptr<EventToolBar> mp_events;
    QDateTime m_now;
    QList<QUrl> m_openedUrls;
    QList<QPointer<QWidget>> m_kept;
};

// QTEST_MAIN for views.
#define VIEW_TEST_MAIN(TestObject)                                                                 \
    int main(int argc, char** argv)                                                                \
    {                                                                                              \
        ViewHarness::PrepareEnvironment();                                                         \
        QApplication l_application(argc, argv);                                                    \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        TestObject l_test;                                                                         \
        return QTest::qExec(&l_test, argc, argv);                                                  \
    }

// How far right of its paragraph's first line each drawn line after the first starts, in pixels,
// for every paragraph of the browser laid out at that width. A wrapped line that does not start
// right of it (0 or less) could pass for a line of its own.
QList<qreal> ContinuationIndents(QTextBrowser* ip_browser, int i_width);
