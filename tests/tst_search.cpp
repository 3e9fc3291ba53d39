// The Search page: rows built from replies, their filters and orders, downloads by double click,
// saved filters shared by the pages, pages closed and wish-list pages, over the real services.
#include "ActionSetToolBar.h"
#include "Data.h"
#include "DelayedInvoker.h"
#include "EventToolBar.h"
#include "ItemSet.h"
#include "PeerHarness.h"
#include "SearchForm.h"
#include "SearchResultsForm.h"
#include "StoreFunctions.h"
#include "TabWidget.h"
#include "TestPeerMessages.h"
#include "TestSettings.h"
#include "TransferPeer.h"
#include "TransferQueueManager.h"
#include "UIFunctions.h"
#include "ViewHarness.h"
#include "WireWriter.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyleOptionViewItem>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <algorithm>
#include <memory>

using namespace Qt::StringLiterals;

namespace
{
constexpr int timeoutMs = ViewHarness::timeoutMs;
constexpr quint32 fileSearchCode = 26;
constexpr quint32 wishListSearchCode = 103;
constexpr quint32 relatedSearchesCode = 153;

// A reply as "user,free,queue,speed:folder/file=size=type value,type value;folder/file..." with
// "\" in folders; the size (1 when left out) and the attribute items are optional.
struct Reply
{
    std::string m_user;
    bool m_free = false;
    int m_queue = 0;
    long long m_speed = 0;
    QList<std::tuple<std::string, std::string, long long, QStringList>> m_files;
};

Reply ParseReply(const QString& i_text)
{
    Reply l_reply;
    const QStringList l_parts = i_text.split(u':');
    const QStringList l_head = l_parts[0].split(u',');
    l_reply.m_user = l_head.value(0).toStdString();
    l_reply.m_free = l_head.value(1) == u"Y"_s;
    l_reply.m_queue = l_head.value(2).toInt();
    l_reply.m_speed = l_head.value(3).toLongLong();
    for (const QString& l_file : l_parts.value(1).split(u';', Qt::SkipEmptyParts))
    {
        const QStringList l_sized = l_file.split(u'=');
        const qsizetype l_slash = l_sized[0].lastIndexOf(u'/');
        l_reply.m_files.append({l_sized[0].left(l_slash).toStdString(),
                                l_sized[0].mid(l_slash + 1).toStdString(),
                                l_sized.value(1, u"1"_s).toLongLong(),
                                l_sized.value(2).split(u',', Qt::SkipEmptyParts)});
    }
    return l_reply;
}

unsigned int g_lastToken = 5000;

ItemPtr Request(const std::string& i_text, bool i_wishList)
{
    ItemPtr l_request = d["search_request"]->NewItem(Value(++g_lastToken));
    l_request += d["search_request_text"]->GetItem(Value(i_text));
    if (i_wishList)
        l_request += d["wishlist_search"]->GetGlobalNullItem();
    return l_request;
}

// Stores a reply as the messaging service does.
ItemPtr Store(ItemPtr i_request, const Reply& i_reply)
{
    ItemPtr l_results = d["search_results"]->NewItem();
    for (const auto& [l_folder, l_name, l_size, l_attributes] : i_reply.m_files)
    {
        ItemPtr l_result = l_results.NewItem("search_result");
        l_result += d["search_result_file_name"]->GetItem(Value(l_name));
        l_result += d["search_result_file_folder"]->GetItem(Value(l_folder));
        l_result += d["file_size"]->GetItem(Value(l_size));
        for (const QString& l_attribute : l_attributes)
        {
            const QStringList l_pair = l_attribute.split(u' ');
            l_result += d[l_pair[0].toStdString()]->GetItem(Value(l_pair[1].toStdString()));
        }
    }
    i_request += l_results;
    if (!i_reply.m_user.empty())
        l_results += User(i_reply.m_user);
    l_results += d["search_results_user_available"]->GetItem(Value(i_reply.m_free ? "yes" : "no"));
    l_results += d["search_results_user_speed"]->GetItem(Value(i_reply.m_speed));
    l_results += d["search_results_uploads_in_queue"]->GetItem(Value(i_reply.m_queue));
    return l_results;
}

// The rows as lines: a user row "user|free|speed", a folder row " folder", a file row
// "  file|size" with "|attributes" when there are any, each with "-" in front when hidden; or only
// the rows that show.
QStringList Dump(QTreeWidget* ip_tree, bool i_visibleOnly = false)
{
    QStringList l_lines;
    const auto l_shows = [](QTreeWidgetItem* ip_row)
    {
        for (; ip_row; ip_row = ip_row->parent())
            if (ip_row->isHidden())
                return false;
        return true;
    };
    const auto l_add = [&](QTreeWidgetItem* ip_row, const QString& i_line)
    {
        if (!i_visibleOnly || l_shows(ip_row))
            l_lines.append((ip_row->isHidden() && !i_visibleOnly ? u"-"_s : QString()) + i_line);
    };
    for (int l_user = 0; l_user < ip_tree->topLevelItemCount(); ++l_user)
    {
        QTreeWidgetItem* lp_user = ip_tree->topLevelItem(l_user);
        l_add(lp_user, lp_user->text(0) + u'|' + lp_user->text(1) + u'|' + lp_user->text(2));
        for (int l_folder = 0; l_folder < lp_user->childCount(); ++l_folder)
        {
            QTreeWidgetItem* lp_folder = lp_user->child(l_folder);
            l_add(lp_folder, u" "_s + lp_folder->text(3));
            for (int l_file = 0; l_file < lp_folder->childCount(); ++l_file)
            {
                QTreeWidgetItem* lp_file = lp_folder->child(l_file);
                const QString l_attributes = lp_file->text(6);
                l_add(lp_file, u"  "_s + lp_file->text(4) + u'|' + lp_file->text(5) +
                                   (l_attributes.isEmpty() ? QString() : u'|' + l_attributes));
            }
        }
    }
    return l_lines;
}

QStringList Split(const char* ip_text)
{
    return QString::fromUtf8(ip_text).split(u'\n', Qt::SkipEmptyParts);
}
} // namespace

class TestSearch : public QObject
{
    Q_OBJECT

    std::unique_ptr<ViewHarness> mp_harness;
    std::unique_ptr<TransferPeer> mp_bob;
    std::unique_ptr<TransferPeer> mp_carl;
    QTemporaryDir m_dir;
    SearchForm* mp_search = nullptr;

    // A manual search's page, opened as the server's announcement of the search opens it.
    SearchResultsForm* Manual(const std::string& i_text, ItemPtr* ip_request = nullptr)
    {
        ItemPtr l_request = Request(i_text, false);
        if (ip_request)
            *ip_request = l_request;
        mp_search->OnSearchRequest(l_request.AsUInt(), i_text, false);
        return qobject_cast<SearchResultsForm*>(
            mp_search->SearchTabControl()->widget(mp_search->SearchTabControl()->count() - 1));
    }

    void Deliver(ItemPtr i_request, const QString& i_reply)
    {
        mp_search->OnUserSearchResults(Store(i_request, ParseReply(i_reply)));
        mp_search->ShowHeldReplies();
    }

    static int Count(const char* ip_type) { return int(d[ip_type]->ItemCount()); }

    // The codes of the frames the client sent the server since the last call.
    QList<quint32> SentCodes()
    {
        QList<quint32> l_codes;
        PeerHarness& l_peers = mp_harness->Peers();
        for (const TestServer::ReceivedFrame& l_frame :
             l_peers.SentFrames(l_peers.CentralConnection()))
            l_codes.append(l_frame.code);
        return l_codes;
    }

    // The tool bar's entries as the user sees them (the privileges group has no text).
    static QStringList ToolBar()
    {
        QStringList l_texts;
        for (QAction* lp_action : actionBar->actions())
            if (lp_action->isVisible() && !lp_action->text().isEmpty())
                l_texts.append(lp_action->text());
        return l_texts;
    }

    // As a user clicks a tool bar entry: the widget takes the focus, the bar shows its set with
    // the widget's own texts, and the entry with that text is clicked.
    static void Click(QWidget* ip_widget, const QString& i_entry)
    {
        FocusWidget(ip_widget);
        QTRY_VERIFY_WITH_TIMEOUT(ToolBar().contains(i_entry), timeoutMs);
        for (QAction* lp_action : actionBar->actions())
            if (lp_action->text() == i_entry)
                return lp_action->trigger();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        mp_harness = std::make_unique<ViewHarness>();
        mp_bob = std::make_unique<TransferPeer>(mp_harness->Peers(), "bob");
        auto* lp_window = new QMainWindow;
        mp_search = new SearchForm(lp_window);
        lp_window->setCentralWidget(mp_search);
        mp_search->Init();
        mp_search->DataLoaded();
        lp_window->resize(900, 500);
        lp_window->show();
        QVERIFY(QTest::qWaitForWindowActive(lp_window));
    }

    void cleanupTestCase()
    {
        mp_carl.reset();
        mp_bob.reset();
        mp_harness.reset();
    }

    void cleanup()
    {
        for (TabWidget* lp_tabs : {mp_search->SearchTabControl(), mp_search->WishListTabControl()})
            while (lp_tabs->count() > 0)
                lp_tabs == mp_search->SearchTabControl() ? mp_search->OnTabCloseRequested(0)
                                                         : mp_search->OnWishTabCloseRequested(0);
        for (Item* lp_entry : d["download_entry"]->GetItems())
            mp_harness->Transfers().RemoveDownload(lp_entry);
        for (const char* lp_type : {"wish_list_item", "saved_filter", "search_request"})
            for (Item* lp_item : d[lp_type]->GetItems())
                ItemPtr(lp_item).Remove();
        d.RemoveDisconnectedItems();
        // No tie outlives its row or page.
        QCOMPARE(Count("search_results_widget"), 0);
        QCOMPARE(Count("search_results_user_node"), 0);
        QCOMPARE(Count("search_results_folder_node"), 0);
        QCOMPARE(Count("search_result_node"), 0);
        QCOMPARE(mp_search->WishList()->topLevelItemCount(), 0);
    }

    void rows_data()
    {
        QTest::addColumn<QStringList>("replies");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("first file opens user, folder and file rows")
            << QStringList{u"ann,Y,0,1536:a\\b\\c/x.mp3=5"_s}
            << Split("ann|Y|1.5\n c/b/a\n  x.mp3|5");
        QTest::newRow("same folder adds a file, another folder a folder")
            << QStringList{u"ann,N,3,0:m/x=1;m/y=2;n/z=3"_s}
            << Split("ann|3|\n m\n  x|1\n  y|2\n n\n  z|3");
        QTest::newRow("users get their own folder rows; a second reply adds rows again")
            << QStringList{u"ann,Y,0,0:m/x=1"_s, u"bob,N,2,2048:m/x=1"_s, u"ann,N,9,4096:m/x=1"_s}
            << Split("ann|Y|\n m\n  x|1\n  x|1\nbob|2|2.0\n m\n  x|1");
        QTest::newRow("sizes past 32 bits in full")
            << QStringList{u"ann,N,1234,153600:m/big=3000000000;m/huge=123456789012"_s}
            << Split("ann|1234|150.0\n m\n  big|3,000,000,000\n  huge|123,456,789,012");
        QTest::newRow("remote text shown as it is")
            << QStringList{u"a&b,Y,0,0:<b>&x<b>/<i>y&z<i>=1"_s}
            << Split("a&b|Y|\n <b>&x<b>\n  <i>y&z<i>|1");
        QTest::newRow("names as every view shows them")
            << QStringList{u"Zo\u00eb\u202E,Y,0,0:m\u2067/x\u202E3pm.exe=1"_s}
            << Split("Zo\u00eb<U+202E>|Y|\n m<U+2067>\n  x<U+202E>3pm.exe|1");
        QTest::newRow("attributes: bitrate, its mode and the length, each alone too")
            << QStringList{u"ann,Y,0,0:m/a=1=bitrate 320,bitrate_mode vbr,length_seconds 4522;"
                           u"m/b=1=bitrate 128,bitrate_mode cbr;m/c=1=length_seconds 3725"_s}
            << Split("ann|Y|\n m\n  a|1|320 VBR, 1h15m22s\n  b|1|128 CBR\n  c|1|, 1h2m5s");
    }

    void rows()
    {
        QFETCH(QStringList, replies);
        QFETCH(QStringList, rows);
        ItemPtr l_request;
        SearchResultsForm* lp_form = Manual("q", &l_request);
        for (const QString& l_reply : replies)
            Deliver(l_request, l_reply);
        QCOMPARE(Dump(lp_form->searchResults()), rows);
        QTreeWidgetItem* lp_user = lp_form->searchResults()->topLevelItem(0);
        QCOMPARE(lp_user->textAlignment(1) & Qt::AlignHorizontal_Mask, int(Qt::AlignHCenter));
        QVERIFY(lp_user->isExpanded() && lp_user->child(0)->isExpanded());
        QCOMPARE(ViewHarness::ToolTipMismatches(lp_form->searchResults()), QStringList());
        // No figure is cut short: each fits its column as the view draws it.
        QTreeWidget* lp_tree = lp_form->searchResults();
        QStyleOptionViewItem l_option;
        l_option.initFrom(lp_tree);
        l_option.font = lp_tree->font();
        for (QTreeWidgetItemIterator l_it(lp_tree); *l_it; ++l_it)
            for (int l_column : {1, 2, 5, 6})
            {
                lp_tree->setCurrentItem(*l_it, l_column);
                QVERIFY2(
                    lp_tree->itemDelegate()->sizeHint(l_option, lp_tree->currentIndex()).width() <=
                        lp_tree->columnWidth(l_column),
                    qPrintable((*l_it)->text(l_column)));
            }
    }

    // The tab shows the search's text on one line, "&" as itself; its tool tip the same, whole.
    void tabTitleAndAmpersand()
    {
        Manual("<b>rock</b> & roll\xe2\x80\xae");
        QCOMPARE(mp_search->SearchTabControl()->tabText(0), u"<b>rock</b> && roll<U+202E>"_s);
        QCOMPARE(ViewHarness::ToolTipOf(mp_search->SearchTabControl(), 0),
                 u"<b>rock</b> & roll<U+202E>"_s);
        Manual("");
        QCOMPARE(mp_search->SearchTabControl()->count(), 2);
        QCOMPARE(mp_search->SearchTabControl()->tabText(1), QString());
    }

    void blankSearchIgnored_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << QString();
        QTest::newRow("spaces, a tab and a no-break space") << u"  \t\u00a0"_s;
    }

    // Typed blanks reach neither the server nor the wish list, by any road.
    void blankSearchIgnored()
    {
        QFETCH(QString, text);
        SentCodes();
        mp_search->SearchEdit()->setText(text);
        emit mp_search->SearchEdit()->returnPressed();
        mp_search->OnAddToWishListClicked();
        const QList<quint32> l_sent = SentCodes();
        for (quint32 l_code : {fileSearchCode, wishListSearchCode, relatedSearchesCode})
            QVERIFY(!l_sent.contains(l_code));
        QCOMPARE(mp_search->SearchTabControl()->count(), 0);
        QCOMPARE(Count("wish_list_item"), 0);
    }

    void arrivalFilter_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("words over folder and file together")
            << u"rock live"_s << u"ann,Y,0,0:rock/live.mp3;rock/studio.mp3;pop/live.mp3"_s
            << Split("ann|Y|\n rock\n  live.mp3|1\n-  studio.mp3|1\n- pop\n-  live.mp3|1");
        QTest::newRow("excluded word") << u"-pop"_s << u"ann,Y,0,0:pop/a;rock/b"_s
                                       << Split("ann|Y|\n- pop\n-  a|1\n rock\n  b|1");
        QTest::newRow("user hidden when its only folder fails")
            << u"zzz"_s << u"ann,Y,0,0:m/a"_s << Split("-ann|Y|\n- m\n-  a|1");
        QTest::newRow("a minimum of one file shows a new row")
            << u"mfif:1"_s << u"ann,Y,0,0:m/a"_s << Split("ann|Y|\n m\n  a|1");
        QTest::newRow("a minimum of files hides every new row")
            << u"mfif:3"_s << u"ann,Y,0,0:m/a;m/b;m/c;m/d"_s
            << Split("-ann|Y|\n- m\n-  a|1\n-  b|1\n-  c|1\n-  d|1");
    }

    void arrivalFilter()
    {
        QFETCH(QString, filter);
        QFETCH(QString, reply);
        QFETCH(QStringList, rows);
        ItemPtr l_request;
        SearchResultsForm* lp_form = Manual("q", &l_request);
        lp_form->filterEdit()->setText(filter);
        Deliver(l_request, reply);
        QCOMPARE(Dump(lp_form->searchResults()), rows);
    }

    void refilter_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QStringList>("visible");
        const char* lp_all =
            "ann|Y|\n rock\n  live one|1\n  studio|1\n  live two|1\n pop\n  live|1";
        QTest::newRow("folder words then file names")
            << u"rock live"_s << Split("ann|Y|\n rock\n  live one|1\n  live two|1");
        QTest::newRow("excluded word in the folder hides it")
            << u"-pop"_s << Split(lp_all).mid(0, 5);
        QTest::newRow("minimum of files counts matches") << u"mfif:3"_s << Split(lp_all).mid(0, 5);
        QTest::newRow("minimum not reached by matches") << u"live mfif:3"_s << QStringList();
        QTest::newRow("cleared shows all") << QString() << Split(lp_all);
    }

    void refilter()
    {
        QFETCH(QString, filter);
        QFETCH(QStringList, visible);
        ItemPtr l_request;
        SearchResultsForm* lp_form = Manual("q", &l_request);
        lp_form->filterEdit()->setText(u"nothing matches this"_s);
        Deliver(l_request, u"ann,Y,0,0:rock/live one;rock/studio;rock/live two;pop/live"_s);
        QVERIFY(Dump(lp_form->searchResults(), true).isEmpty());
        lp_form->filterEdit()->setText(filter);
        // Applied once typing pauses, not at once.
        QVERIFY(lp_form->RefilterTimer()->isActive());
        QTRY_VERIFY_WITH_TIMEOUT(!lp_form->RefilterTimer()->isActive(), timeoutMs);
        QCOMPARE(Dump(lp_form->searchResults(), true), visible);
        QVERIFY(lp_form->searchResults()->updatesEnabled());
    }

    // A folder that a refilter left short of the minimum shows once the file that reaches it
    // arrives, and not before.
    void arrivalAfterRefilter_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("the last file needed")
            << u"mfif:3"_s << Split("ann|Y|\n m\n  a|1\n  b|1\n  c|1");
        QTest::newRow("one file still short")
            << u"mfif:4"_s << Split("-ann|Y|\n- m\n  a|1\n  b|1\n-  c|1");
    }

    void arrivalAfterRefilter()
    {
        QFETCH(QString, filter);
        QFETCH(QStringList, rows);
        ItemPtr l_request;
        SearchResultsForm* lp_form = Manual("q", &l_request);
        // Hidden on arrival, so only the refilter shows them.
        lp_form->filterEdit()->setText(u"zzz"_s);
        Deliver(l_request, u"ann,Y,0,0:m/a;m/b"_s);
        lp_form->filterEdit()->setText(filter);
        QTRY_VERIFY_WITH_TIMEOUT(!lp_form->RefilterTimer()->isActive(), timeoutMs);
        QVERIFY(lp_form->searchResults()->topLevelItem(0)->isHidden());
        Deliver(l_request, u"ann,Y,0,0:m/c"_s);
        QCOMPARE(Dump(lp_form->searchResults()), rows);
    }

    void orders_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QStringList>("users");
        QTest::newRow("available: free first, then shorter queues, faster among equals")
            << u"Order by Available [on]"_s
            << QStringList{u"free fast"_s, u"free slow"_s, u"queue 0"_s, u"queue 2"_s,
                           u"queue 10"_s};
        QTest::newRow("fastest first") << u"Order by Fastest"_s
                                       << QStringList{u"queue 10"_s, u"free fast"_s, u"queue 2"_s,
                                                      u"free slow"_s, u"queue 0"_s};
    }

    void orders()
    {
        QFETCH(QString, action);
        QFETCH(QStringList, users);
        ItemPtr l_request;
        SearchResultsForm* lp_form = Manual("q", &l_request);
        for (const char* lp_reply :
             {"queue 10,N,10,9000:m/b;m/c;m/a", "queue 2,N,2,3000:m/a", "free slow,Y,0,1024:m/a",
              "queue 0,N,0,100:m/a", "free fast,Y,0,5000:m/a"})
            Deliver(l_request, QString::fromUtf8(lp_reply));
        QTreeWidget* lp_tree = lp_form->searchResults();
        Click(lp_tree, action);
        QStringList l_users;
        for (int l_row = 0; l_row < lp_tree->topLevelItemCount(); ++l_row)
            l_users.append(lp_tree->topLevelItem(l_row)->text(0));
        QCOMPARE(l_users, users);
        QTreeWidgetItem* lp_folder =
            lp_tree->findItems(u"queue 10"_s, Qt::MatchExactly)[0]->child(0);
        QCOMPARE(lp_folder->child(0)->text(4) + lp_folder->child(1)->text(4) +
                     lp_folder->child(2)->text(4),
                 u"abc"_s);
    }

    // The page's and the wish list's entries, clicked in turn ("wish list: " names an entry of the
    // wish list's own set, clicked with its first row selected); then the page's rows, the wish
    // list, and the bar's texts with the page focused, "[on]" where the rows are expanded.
    void toolBar_data()
    {
        QTest::addColumn<QStringList>("clicks");
        QTest::addColumn<QString>("state");
        const QString l_add = u"Add to Wishlist"_s;
        const QString l_disable = u"wish list: Disable All Wish List Searches"_s;
        const auto l_row =
            [](const char* ip_name, const QStringList& i_clicks, const char* ip_state)
        { QTest::newRow(ip_name) << i_clicks << QString::fromUtf8(ip_state); };
        l_row("folders collapsed", {u"Expand Folders [on]"_s},
              "users open, folders shut, wish list:");
        l_row("folders expanded again", {u"Expand Folders [on]"_s, u"Expand Folders [off]"_s},
              "users open, folders open, wish list:");
        l_row("users collapsed", {u"Expand Users [on]"_s}, "users shut, folders open, wish list:");
        l_row("added to the wish list once", {l_add, l_add},
              "users open, folders open, wish list: a&b Y");
        l_row("wish list disabled", {l_add, l_disable},
              "users open, folders open, wish list: a&b -");
        l_row("wish list enabled again",
              {l_add, l_disable, u"wish list: Enable All Wish List Searches"_s},
              "users open, folders open, wish list: a&b Y");
        l_row("wish list entry removed", {l_add, u"wish list: Remove Wish List Search"_s},
              "users open, folders open, wish list:");
    }

    void toolBar()
    {
        QFETCH(QStringList, clicks);
        QFETCH(QString, state);
        // Two pages: the entries act on the focused one only.
        ItemPtr l_request;
        SearchResultsForm* lp_other = Manual("other", &l_request);
        Deliver(l_request, u"bob,Y,0,0:m/a"_s);
        SearchResultsForm* lp_form = Manual("a&b", &l_request);
        Deliver(l_request, u"ann,Y,0,0:m/a;n/b"_s);
        QTreeWidget* lp_tree = lp_form->searchResults();
        const QString l_wish = u"wish list: "_s;
        for (const QString& l_click : clicks)
        {
            if (!l_click.startsWith(l_wish))
                Click(lp_tree, l_click);
            else
            {
                mp_search->WishList()->setCurrentItem(mp_search->WishList()->topLevelItem(0));
                Click(mp_search->WishList(), l_click.mid(l_wish.size()));
            }
        }
        QTreeWidgetItem* lp_user = lp_tree->topLevelItem(0);
        const bool l_users = lp_user->isExpanded();
        const bool l_folders = lp_user->child(0)->isExpanded() && lp_user->child(1)->isExpanded();
        QString l_state = u"users %1, folders %2, wish list:"_s.arg(
            l_users ? u"open"_s : u"shut"_s, l_folders ? u"open"_s : u"shut"_s);
        if (QTreeWidgetItem* lp_entry = mp_search->WishList()->topLevelItem(0))
            l_state += u' ' + lp_entry->text(1) + (lp_entry->text(0).isEmpty() ? u" -"_s : u" Y"_s);
        QCOMPARE(l_state, state);
        FocusWidget(lp_tree);
        QTRY_COMPARE_WITH_TIMEOUT(
            ToolBar(),
            (QStringList{u"Order by Available [on]"_s, u"Order by Fastest"_s,
                         u"Expand Folders [%1]"_s.arg(l_folders ? u"on"_s : u"off"_s),
                         u"Expand Users [%1]"_s.arg(l_users ? u"on"_s : u"off"_s),
                         u"Add to Wishlist"_s}),
            timeoutMs);
        QTreeWidgetItem* lp_otherUser = lp_other->searchResults()->topLevelItem(0);
        QVERIFY(lp_otherUser->isExpanded() && lp_otherUser->child(0)->isExpanded());
    }

    void sortAfterFirstReplyAndClosedPage()
    {
        ItemPtr l_request;
        SearchResultsForm* lp_form = Manual("q", &l_request);
        mp_search->ApplyTabAction(lp_form, "order_by_fastest");
        Deliver(l_request, u"slow,N,0,1024:m/a"_s);
        Deliver(l_request, u"fast,N,0,9000:m/a"_s);
        QCOMPARE(lp_form->searchResults()->topLevelItem(0)->text(0), u"slow"_s);
        QTRY_COMPARE_WITH_TIMEOUT(lp_form->searchResults()->topLevelItem(0)->text(0), u"fast"_s,
                                  timeoutMs);

        // A page closed with its sort pending: the sort goes with it, the requests and rows too.
        Deliver(l_request, u"faster,N,0,99999:m/a"_s);
        QPointer<SearchResultsForm> lp_closed = lp_form;
        mp_search->OnTabCloseRequested(0);
        QVERIFY(lp_closed.isNull());
        QCOMPARE(Count("search_request"), 0);
        QCOMPARE(Count("search_result"), 0);
        // A new page is sorted in its turn, wherever it lives.
        ItemPtr l_next;
        SearchResultsForm* lp_new = Manual("q", &l_next);
        mp_search->ApplyTabAction(lp_new, "order_by_fastest");
        Deliver(l_next, u"slow,N,0,1024:m/a"_s);
        Deliver(l_next, u"fast,N,0,9000:m/a"_s);
        QTRY_COMPARE_WITH_TIMEOUT(lp_new->searchResults()->topLevelItem(0)->text(0), u"fast"_s,
                                  timeoutMs);
    }

    void burstOfRepliesShownTogether()
    {
        ItemPtr l_request;
        SearchResultsForm* lp_form = Manual("q", &l_request);
        QSignalSpy l_sorts(lp_form->searchResults()->model(), &QAbstractItemModel::layoutChanged);
        const auto l_reply = [&](const char* ip_user)
        {
            mp_search->OnUserSearchResults(
                Store(l_request, ParseReply(QString::fromLatin1(ip_user) + u",Y,0,0:m/a"_s)));
        };
        for (const char* lp_user : {"ann", "bob", "carl"})
            l_reply(lp_user);
        // The first at once, the others together a moment later.
        QCOMPARE(lp_form->searchResults()->topLevelItemCount(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(lp_form->searchResults()->topLevelItemCount(), 3, timeoutMs);
        // One sort for the three, and none left pending once it ran.
        QTRY_COMPARE_WITH_TIMEOUT(l_sorts.count(), 1, timeoutMs);
        const QList<QTimer*> l_timers = delayedInvoker->findChildren<QTimer*>();
        QVERIFY(std::none_of(l_timers.begin(), l_timers.end(),
                             [](QTimer* ip_timer) { return ip_timer->isActive(); }));
        // A reply after the sort is ordered by a sort of its own.
        l_reply("dan");
        QTRY_COMPARE_WITH_TIMEOUT(l_sorts.count(), 2, timeoutMs);
    }

    void replyForClosedPageDropped()
    {
        ItemPtr l_request;
        Manual("q", &l_request);
        const unsigned int l_token = l_request.AsUInt();
        mp_search->OnTabCloseRequested(0);
        QVERIFY(!d["search_request"]->HasItem(Value(l_token)));
        // A reply to a request that no page holds opens nothing.
        ItemPtr l_orphan = Request("q", false);
        Deliver(l_orphan, u"ann,Y,0,0:m/a"_s);
        QCOMPARE(mp_search->SearchTabControl()->count(), 0);
        QCOMPARE(Count("search_results_widget"), 0);
    }

    void doubleClick_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<QStringList>("queued");
        QTest::newRow("user row: every file, hidden ones too")
            << u"ann"_s << QStringList{u"m\\a"_s, u"n\\b"_s, u"m\\c"_s, u"\\e"_s};
        QTest::newRow("folder row") << u"m"_s << QStringList{u"m\\a"_s, u"m\\c"_s};
        QTest::newRow("file row") << u"c"_s << QStringList{u"m\\c"_s};
        QTest::newRow("folder row without folder text") << u""_s << QStringList{u"\\e"_s};
    }

    void doubleClick()
    {
        QFETCH(QString, row);
        QFETCH(QStringList, queued);
        ItemPtr l_request;
        SearchResultsForm* lp_form = Manual("song search", &l_request);
        Deliver(l_request, u"ann,Y,0,0:m/c=30;n/b=20;m/a=10;/e=5"_s);
        // A result without a name, as a broken reply could leave it, is never queued.
        Deliver(l_request, u"ann,Y,0,0:m/=7"_s);
        lp_form->filterEdit()->setText(u"c"_s);
        QTRY_VERIFY_WITH_TIMEOUT(!lp_form->RefilterTimer()->isActive(), timeoutMs);
        // The row by its own cell: user name, folder text (empty included) or file name.
        QTreeWidgetItem* lp_row = nullptr;
        for (QTreeWidgetItemIterator l_it(lp_form->searchResults()); *l_it && !lp_row; ++l_it)
        {
            const int l_depth = !(*l_it)->parent() ? 0 : !(*l_it)->parent()->parent() ? 1 : 2;
            const int l_column = l_depth == 0 ? 0 : l_depth == 1 ? 3 : 4;
            const int l_wanted = row == u"ann"_s ? 0 : row.isEmpty() || row == u"m"_s ? 1 : 2;
            if (l_depth == l_wanted && (*l_it)->text(l_column) == row)
                lp_row = *l_it;
        }
        QVERIFY(lp_row);
        emit lp_form->searchResults()->itemDoubleClicked(lp_row, 0);
        QStringList l_queued;
        for (Item* lp_entry : d["download_entry"]->GetItems().SortNumericBy("download_order", true))
        {
            ItemPtr l_entry(lp_entry);
            QCOMPARE(l_entry["user"].AsString(), std::string("ann"));
            QCOMPARE(l_entry["search_request_text"].AsString(), std::string("song search"));
            l_queued.append(QString::fromStdString(l_entry["remote_folder"].AsString() + "\\" +
                                                   l_entry["file_name"].AsString()));
        }
        QCOMPARE(l_queued, queued);
        int l_marked = 0;
        for (QTreeWidgetItemIterator l_it(lp_form->searchResults()); *l_it; ++l_it)
            l_marked += (*l_it)->icon(4).isNull() ? 0 : 1;
        QCOMPARE(l_marked, queued.size());
    }

    // The user row's menu acts on the user the reply came from, bytes as they are, where the
    // shown name does not give them back.
    void userRowMenuActsOnTheRowsUser()
    {
        ItemPtr l_request;
        SearchResultsForm* lp_form = Manual("q", &l_request);
        mp_search->SearchTabControl()->setCurrentWidget(lp_form);
        Reply l_reply = ParseReply(u",Y,0,0:m/x=1"_s);
        l_reply.m_user = "b\xe9";
        mp_search->OnUserSearchResults(Store(l_request, l_reply));
        mp_search->ShowHeldReplies();
        QTreeWidget* lp_tree = lp_form->searchResults();
        QCOMPARE(lp_tree->topLevelItem(0)->text(0), u"b\ufffd"_s);
        ViewHarness::RunContextMenu(lp_tree, lp_tree->topLevelItem(0), u"Ignore chat from user"_s);
        QVERIFY(User("b\xe9").IsConnected("is_ignored"));
    }

    void savedFiltersAcrossPages()
    {
        SearchResultsForm* lp_first = Manual("one");
        SearchResultsForm* lp_second = Manual("two");
        lp_second->filterEdit()->setText(u"Live"_s);
        lp_first->filterEdit()->setText(u"  Live   Rock "_s);
        QCOMPARE(lp_first->SaveFilterButton()->text(), u"Save Filter"_s);
        lp_first->OnSaveFilterClicked();
        QCOMPARE(lp_first->SaveFilterButton()->text(), u"Remove Filter"_s);
        for (SearchResultsForm* lp_form : {lp_first, lp_second})
        {
            QCOMPARE(lp_form->SavedFiltersBox()->count(), 2);
            QCOMPARE(lp_form->SavedFiltersBox()->itemText(1), u"live rock"_s);
        }
        QCOMPARE(lp_second->SaveFilterButton()->text(), u"Save Filter"_s);
        lp_second->SavedFiltersBox()->setCurrentIndex(1);
        QCOMPARE(lp_second->filterEdit()->text(), u"live rock"_s);
        QCOMPARE(lp_second->SavedFiltersBox()->currentIndex(), 0);
        QCOMPARE(lp_second->SaveFilterButton()->text(), u"Remove Filter"_s);
        // A page opened later lists it too.
        SearchResultsForm* lp_third = Manual("three");
        QCOMPARE(lp_third->SavedFiltersBox()->itemText(1), u"live rock"_s);
        lp_second->OnSaveFilterClicked();
        for (SearchResultsForm* lp_form : {lp_first, lp_second, lp_third})
            QCOMPARE(lp_form->SavedFiltersBox()->count(), 1);
        QCOMPARE(lp_first->SaveFilterButton()->text(), u"Save Filter"_s);
        lp_first->filterEdit()->setText(u"   "_s);
        lp_first->OnSaveFilterClicked();
        QCOMPARE(Count("saved_filter"), 0);
    }

    // The related searches show by rank, each as its text shows on one line (a line break or
    // direction control from the server marked); a click puts the search's own text in the box.
    void relatedSearchesByRank()
    {
        ItemPtr l_text = d["search_request_text"]->GetItem(Value("jazz"));
        for (const auto& [l_related, l_rank] : {std::pair{"bebop", "5"},
                                                {"swing", "20"},
                                                {"co\nol\xe2\x80\xae", "7"},
                                                {"unranked", ""}})
        {
            ItemPtr l_correlation = l_text.NewItem("search_correlation");
            l_correlation += d["correlation_text"]->GetItem(Value(l_related));
            if (*l_rank)
                l_correlation += d["correlation_rank"]->GetItem(Value(l_rank));
        }
        SearchResultsForm* lp_form = Manual("jazz");
        QTreeWidget* lp_list = lp_form->CorrelationsWidget();
        QVERIFY(!lp_list->isHidden());
        QCOMPARE(lp_list->topLevelItemCount(), 3);
        QCOMPARE(lp_list->topLevelItem(0)->text(0) + u","_s + lp_list->topLevelItem(1)->text(0) +
                     u","_s + lp_list->topLevelItem(2)->text(0),
                 u"swing,co<U+000A>ol<U+202E>,bebop"_s);
        QCOMPARE(ViewHarness::ToolTipMismatches(lp_list), QStringList());
        emit lp_list->itemClicked(lp_list->topLevelItem(1), 0);
        QCOMPARE(mp_search->SearchEdit()->text(), u"co\nol\u202E"_s);
        QVERIFY(Manual("blues")->CorrelationsWidget()->isHidden());
        for (Item* lp_item : l_text.GetItems("search_correlation"))
            ItemPtr(lp_item).Remove();
    }

    // A search typed in the box asks for its related searches; the server's answer, which comes
    // after the page has opened, shows on that page.
    void relatedSearchesLive()
    {
        SentCodes();
        mp_search->SearchEdit()->setText(u"hard bop"_s);
        emit mp_search->SearchEdit()->returnPressed();
        QVERIFY(SentCodes().contains(relatedSearchesCode));
        auto* lp_form = qobject_cast<SearchResultsForm*>(mp_search->SearchTabControl()->widget(0));
        PeerHarness& l_peers = mp_harness->Peers();
        QVERIFY(l_peers.Deliver(l_peers.CentralConnection(), relatedSearchesCode,
                                WireWriter()
                                    .WriteString("hard bop")
                                    .WriteI32(1)
                                    .WriteString("soul jazz")
                                    .WriteI32(9)
                                    .Bytes()));
        QTreeWidget* lp_list = lp_form->CorrelationsWidget();
        QVERIFY(!lp_list->isHidden());
        QCOMPARE(lp_list->topLevelItemCount(), 1);
        QCOMPARE(lp_list->topLevelItem(0)->text(0), u"soul jazz"_s);
        ItemPtr l_text = d["search_request_text"]->GetItem(Value("hard bop"));
        for (Item* lp_item : l_text.GetItems("search_correlation"))
            ItemPtr(lp_item).Remove();
    }

    void wishListPages()
    {
        QVERIFY(!mp_search->WishList()->topLevelItemCount());
        ItemPtr l_wish = d["wish_list_item"]->GetItem(Value("blue note"));
        l_wish += d["wish_list_item_enabled"]->GetGlobalNullItem();
        mp_search->OnWishListItemAdded(l_wish);
        QTreeWidgetItem* lp_row = mp_search->WishList()->topLevelItem(0);
        QCOMPARE(lp_row->text(0), u"Y"_s);
        QCOMPARE(ViewHarness::ToolTipMismatches(mp_search->WishList()), QStringList());
        auto* lp_box = qobject_cast<QCheckBox*>(mp_search->WishList()->itemWidget(lp_row, 0));
        QVERIFY(lp_box && lp_box->isChecked());
        // The box covers the cell: its "Y" does not show around it.
        QCoreApplication::processEvents();
        const auto l_image = [](const QPixmap& i_pixmap)
        { return i_pixmap.toImage().convertToFormat(QImage::Format_RGB32); };
        QCOMPARE(l_image(mp_search->WishList()->viewport()->grab(lp_box->geometry())),
                 l_image(lp_box->grab()));

        // The search itself opens no page; its first reply does.
        ItemPtr l_first = Request("blue note", true);
        mp_search->OnSearchRequest(l_first.AsUInt(), "blue note", true);
        QCOMPARE(mp_search->WishListTabControl()->count(), 0);
        Deliver(l_first, u"ann,Y,0,0:m/a"_s);
        QCOMPARE(mp_search->WishListTabControl()->count(), 1);
        QCOMPARE(mp_search->SearchTabControl()->count(), 0);
        // The notice of a typed entry reads as its tab does.
        ItemPtr l_typedWish = d["wish_list_item"]->GetItem(Value("caf\xc3\xa9"));
        l_typedWish += d["wish_list_item_enabled"]->GetGlobalNullItem();
        ItemPtr l_typed = Request("caf\xc3\xa9", true);
        mp_search->OnSearchRequest(l_typed.AsUInt(), "caf\xc3\xa9", true);
        Deliver(l_typed, u"ann,Y,0,0:m/c"_s);
        QCOMPARE(mp_search->WishListTabControl()->tabText(1), u"café"_s);
        QCOMPARE(eventToolBar->actions().last()->text(), u"café"_s);
        mp_search->OnWishTabCloseRequested(1);
        l_typedWish.Remove();
        // Later searches of the entry feed the same page.
        ItemPtr l_second = Request("blue note", true);
        Deliver(l_second, u"bob,Y,0,0:m/b"_s);
        QCOMPARE(mp_search->WishListTabControl()->count(), 1);
        auto* lp_form =
            qobject_cast<SearchResultsForm*>(mp_search->WishListTabControl()->widget(0));
        QCOMPARE(lp_form->searchResults()->topLevelItemCount(), 2);

        // Disabled: earlier requests keep feeding the page, a new search opens nothing.
        lp_box->setChecked(false);
        QVERIFY(!l_wish.IsConnected("wish_list_item_enabled"));
        QCOMPARE(lp_row->text(0), QString());
        mp_search->OnWishTabCloseRequested(0);
        Deliver(Request("blue note", true), u"carl,Y,0,0:m/c"_s);
        QCOMPARE(mp_search->WishListTabControl()->count(), 0);

        // A reply for a text off the list opens nothing and puts nothing on the list.
        Deliver(Request("not listed", true), u"ann,Y,0,0:m/a"_s);
        QCOMPARE(mp_search->WishListTabControl()->count(), 0);
        QVERIFY(!d["wish_list_item"]->HasItem(Value("not listed")));
        QCOMPARE(Count("wish_list_item"), 1);

        mp_search->OnActionBarTriggered("enable_all_wish_list_items");
        QVERIFY(lp_box->isChecked() && l_wish.IsConnected("wish_list_item_enabled"));
        Deliver(Request("blue note", true), u"dan,Y,0,0:m/d"_s);
        QCOMPARE(mp_search->WishListTabControl()->count(), 1);
        mp_search->OnActionBarTriggered("disable_all_wish_list_items");
        QVERIFY(!l_wish.IsConnected("wish_list_item_enabled"));

        // Removed from the page's tool bar: its row goes, the page stays.
        Click(qobject_cast<SearchResultsForm*>(mp_search->WishListTabControl()->widget(0))
                  ->searchResults(),
              u"Remove from Wish List"_s);
        QVERIFY(!d["wish_list_item"]->HasItem(Value("blue note")));
        QCOMPARE(mp_search->WishList()->topLevelItemCount(), 0);
        QCOMPARE(mp_search->WishListTabControl()->count(), 1);
        QCOMPARE(Count("wish_list_node"), 0);
    }

    // The whole road: a search typed in the box reaches two users through the server, both
    // replies are shown, and a file queued by a double click is received.
    void searchPeerEndToEnd()
    {
        mp_carl = std::make_unique<TransferPeer>(mp_harness->Peers(), "carl");
        for (TransferPeer* lp_peer : {mp_bob.get(), mp_carl.get()})
        {
            lp_peer->SetOnline(true);
            lp_peer->Forget();
        }
        const QString l_downloads = m_dir.filePath(u"downloads"_s);
        TestSettings::SetSetting("download_folder", l_downloads.toStdString());
        mp_search->SearchEdit()->setText(u"blue train"_s);
        emit mp_search->SearchEdit()->returnPressed();
        QVERIFY(mp_search->SearchEdit()->text().isEmpty());
        QCOMPARE(mp_search->SearchTabControl()->count(), 1);
        QCOMPARE(mp_search->SearchTabControl()->tabText(0), u"blue train"_s);
        auto* lp_form = qobject_cast<SearchResultsForm*>(mp_search->SearchTabControl()->widget(0));

        const std::optional<quint32> l_bobToken = mp_bob->TakeSearch("blue train");
        const std::optional<quint32> l_carlToken = mp_carl->TakeSearch("blue train");
        QVERIFY(l_bobToken && l_carlToken);
        mp_bob->Send(TestPeerMessages::FileSearchResult(TestPeerMessages::SearchReplyContent(
            "bob", *l_bobToken,
            {{"Music\\Blue\\blue train.mp3", 6, "mp3", {{0, 192}, {1, 643}, {2, 1}}},
             {"Music\\Blue\\moment's notice.mp3", 7, "mp3", {}}},
            1, 51200, 0)));
        mp_carl->Send(TestPeerMessages::FileSearchResult(TestPeerMessages::SearchReplyContent(
            "carl", *l_carlToken, {{"Jazz\\blue train (live).flac", 9, "flac", {}}}, 0, 0, 3)));
        // Shown as they arrive, then ordered: the free slot first.
        QTRY_COMPARE_WITH_TIMEOUT(Dump(lp_form->searchResults()),
                                  Split("bob|Y|50.0\n Blue/Music\n  blue train.mp3|6|192 VBR, "
                                        "10m43s\n  moment's notice.mp3|7\ncarl|3|\n Jazz\n  "
                                        "blue train (live).flac|9"),
                                  timeoutMs);

        QTreeWidgetItem* lp_file = lp_form->searchResults()->topLevelItem(0)->child(0)->child(0);
        emit lp_form->searchResults()->itemDoubleClicked(lp_file, 4);
        QCOMPARE(Count("download_entry"), 1);
        mp_bob->Offer(900, "Music\\Blue\\blue train.mp3", 6);
        QVERIFY(mp_bob->Take(41));
        auto lp_sender = mp_bob->SendFile(900, QByteArray(6, 'x'));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(l_downloads + u"/complete/Blue/blue train.mp3"_s),
                                 timeoutMs);
        QDir(l_downloads).removeRecursively();
    }

    void snapshot()
    {
        ItemPtr l_request;
        SearchResultsForm* lp_form = Manual("miles davis", &l_request);
        Deliver(l_request, u"ann,Y,0,153600:jazz\\miles/so what.mp3=7340032;jazz\\miles/blue "
                           u"in green.mp3=5242880"_s);
        Deliver(l_request, u"bob,N,4,20480:music/kind of blue.mp3=3000000000"_s);
        lp_form->Sort();
        QVERIFY(!ViewHarness::Snapshot(mp_search->window(), u"search"_s).isEmpty());
    }
};

VIEW_TEST_MAIN(TestSearch)
#include "tst_search.moc"
