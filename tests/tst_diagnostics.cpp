#include "Data.h"
#include "DiagnosticsForm.h"
#include "DownloadMenuOptions.h"
#include "GeneralFunctions.h"
#include "Log.h"
#include "LogForm.h"
#include "LogSink.h"
#include "LogTime.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "StoreExceptions.h"
#include "TransferQueueManager.h"
#include "ViewHarness.h"
#include "WireWriter.h"

#include <QTabWidget>
#include <QTextBlock>
#include <QTextBrowser>
#include <QThread>
#include <QTreeWidget>
#include <QtTest>

#include <ctime>

using namespace Qt::StringLiterals;

namespace
{
// The line that the harness's clock gives a message at level 1.
const QString stamp = u"[Mon May 2 14:05:09 2011] "_s;

void SetFlag(const char* ip_user, const char* ip_flag, bool i_set)
{
    ItemPtr l_user = d["user"]->GetItem(ip_user);
    ItemPtr l_flag = d[ip_flag]->GetGlobalNullItem();
    if (i_set)
        l_user += l_flag;
    else
        l_user -= l_flag;
}
} // namespace

class TestDiagnostics : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { mp_harness = std::make_unique<ViewHarness>(); }
    void cleanupTestCase() { mp_harness.reset(); }
    void init()
    {
        mp_harness->Reset();
        mp_form = std::make_unique<DiagnosticsForm>();
        mp_form->Init();
    }
    void cleanup() { mp_form.reset(); }

    void lineFormat_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("line");
        QTest::newRow("level 0") << 0 << stamp + u"x"_s;
        QTest::newRow("level 1") << 1 << stamp + u"x"_s;
        QTest::newRow("level 2") << 2 << stamp + u"   x"_s;
        QTest::newRow("level 3") << 3 << stamp + u"      x"_s;
    }

    void lineFormat()
    {
        QFETCH(int, level);
        QFETCH(QString, line);
        Log(u"server"_s, level, u"x"_s);
        QCOMPARE(mp_form->Lines(u"server"_s), QStringList{line});
    }

    // A category gets its page with its first line, at the right end; later lines join it. A
    // title shows "&" as typed, not as a shortcut marker.
    void firstLineOfCategoryAddsPageAtRight()
    {
        auto* lp_tabs = mp_form->findChild<QTabWidget*>(u"logTabWidget"_s);
        QCOMPARE(lp_tabs->count(), 0);
        Log(u"server"_s, 1, u"a"_s);
        Log(u"Search & Wish List"_s, 1, u"b"_s);
        mp_harness->AdvanceSeconds(1);
        Log(u"server"_s, 2, u"c"_s);
        QCOMPARE(lp_tabs->count(), 2);
        QCOMPARE(lp_tabs->tabText(0), u"server"_s);
        QCOMPARE(lp_tabs->tabText(1), u"Search && Wish List"_s);
        QCOMPARE(mp_form->Lines(u"server"_s),
                 QStringList({stamp + u"a"_s, u"[Mon May 2 14:05:10 2011]    c"_s}));
        QCOMPARE(mp_form->Lines(u"Search & Wish List"_s), QStringList{stamp + u"b"_s});
    }

    // Lines carry other users' names and searches: markup among them shows as typed, and no
    // link comes of it; a direction control shows as its mark rather than turning the line
    // around.
    void markupShownAsText()
    {
        const QString l_message =
            u"<b>bold</b> <a href=\"file:///etc/passwd\">x</a> &amp; <img src=\"y\">"_s;
        Log(u"Search"_s, 1, l_message + u"\u202E"_s);
        QCOMPARE(mp_form->Lines(u"Search"_s), QStringList{stamp + l_message + u"<U+202E>"_s});
        auto* lp_page = mp_form->findChild<QTextBrowser*>();
        QVERIFY(!lp_page->openLinks() && !lp_page->openExternalLinks());
        for (QTextBlock l_block = lp_page->document()->begin(); l_block.isValid();
             l_block = l_block.next())
            for (auto l_fragment = l_block.begin(); !l_fragment.atEnd(); ++l_fragment)
            {
                QVERIFY(!l_fragment.fragment().charFormat().isAnchor());
                QVERIFY(!l_fragment.fragment().charFormat().isImageFormat());
            }
    }

    // A remote name or path that holds a line break keeps its log line whole: the break shows as
    // its mark, and no part of the name passes for a line of its own.
    void breaksKeepTheLineWhole_data() { ViewHarness::AddLineBreakRows(); }
    void breaksKeepTheLineWhole()
    {
        QFETCH(QChar, lineBreak);
        const QString l_mark = ViewHarness::BreakMark(lineBreak);
        const QString l_forged =
            u"[Tue Dec 8 06:00:00 2026] Forged line: upload of /etc/shadow accepted"_s;
        Log(u"Peer Messenger"_s, 1, u"Message from log"_s + lineBreak + l_forged);
        QTRY_COMPARE_WITH_TIMEOUT(mp_form->findChild<QTextBrowser*>()->toPlainText(),
                                  stamp + u"Message from log"_s + l_mark + l_forged, 20000);
    }

    // A name logged with a right-to-left letter or mark leaves the line in its order: the time
    // stamp, then the message as written, the name one unit of it that moves no number beside it.
    void rightToLeftNamesKeepTheOrder_data() { ViewHarness::AddRightToLeftNameRows(); }
    void rightToLeftNamesKeepTheOrder()
    {
        QFETCH(QString, name);
        QFETCH(QString, shown);
        const QString l_message = LoggedName(name.toStdString()) + u" 3 files"_s;
        Log(u"Peer Messenger"_s, 1, l_message);
        auto* lp_page = mp_form->findChild<QTextBrowser*>();
        QTRY_COMPARE_WITH_TIMEOUT(lp_page->toPlainText(), stamp + l_message, 20000);
        const QStringList l_parts{stamp.trimmed(), shown, u"3"_s, u"files"_s};
        QCOMPARE(ViewHarness::DrawnOrder(lp_page, l_parts), l_parts);
    }

    // A line that wraps draws its continuation lines indented at every width, so that a remote
    // name or path wrapped to a line's start cannot pass for a line of its own.
    void wrappedLinesIndented()
    {
        const std::string l_name =
            QString(u"filler "_s.repeated(30) + u"[Tue Dec 8 06:00:00 2026] Forged: x"_s)
                .toStdString();
        Log(u"Peer Messenger"_s, 1, u"Accepted connection to user "_s + LoggedName(l_name));
        Log(u"Peer Messenger"_s, 1,
            u"Scanned "_s + LoggedText(u"/share/a"_s + QString(400, u' ') +
                                       u"[12:00:02] Port 2235 successfully mapped."_s));
        QCOMPARE(mp_form->Lines(u"Peer Messenger"_s).size(), 2);
        for (int l_width = 300; l_width <= 1400; l_width += 100)
        {
            const QList<qreal> l_indents =
                ContinuationIndents(mp_form->findChild<QTextBrowser*>(), l_width);
            QVERIFY(l_indents.size() >= 2);
            QVERIFY2(*std::min_element(l_indents.cbegin(), l_indents.cend()) > 0,
                     qPrintable(QString::number(l_width)));
        }
    }

    // Remote names and texts in the lines of the messenger, the distributed network node and
    // the transfer queue, as logged: each one unit of its line, its line breaks marked.
    void remoteTextsLoggedAsUnits_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("logged");
        QTest::newRow("right to left")
            << u"\u05E9\u05DC\u05D5\u05DD"_s << u"\u2068\u05E9\u05DC\u05D5\u05DD\u2069"_s;
        QTest::newRow("line break") << u"x\n[12:00:02] forged"_s << u"x<U+000A>[12:00:02] forged"_s;
    }
    void remoteTextsLoggedAsUnits()
    {
        QFETCH(QString, text);
        QFETCH(QString, logged);
        // The lines as logged, before the page marks them again.
        PeerHarness& l_peers = mp_harness->Peers();
        gp_logSink = &l_peers;
        const std::string l_text = text.toStdString();
        l_peers.Messenger().QueueDownload(l_text, "x");
        QVERIFY(l_peers.Deliver(l_peers.CentralConnection(), 102,
                                WireWriter()
                                    .WriteI32(1)
                                    .WriteString(text.toUtf8())
                                    .WriteU32(0x7F000001)
                                    .WriteI32(1)
                                    .Bytes()));
        mp_harness->Transfers().OnUploadDeniedNotification(l_text, l_text, l_text);
        QVERIFY(!DownloadMenuOptions::OpenDownloadedPath(text));
        QVERIFY(l_peers.LogLines(u"Peer Messenger"_s)
                    .contains(u"Send PM_QUEUE_UPLOAD message to user "_s + logged));
        QVERIFY(l_peers.LogLines(u"Distributed Network"_s)
                    .contains(u"Attempting parent connection to "_s + logged));
        const QStringList l_transfers = l_peers.LogLines(u"Transfer Queue"_s);
        QVERIFY(l_transfers.contains(u"Received peer notification from "_s + logged +
                                     u" that upload of "_s + logged + u" was denied, reason: "_s +
                                     logged));
        QVERIFY(l_transfers.contains(u"Not opening "_s + logged +
                                     u": it is not inside the download folder."_s));
    }

    // Lines from another thread reach the page through the main thread's event loop, in order.
    void linesFromWorkerThreadArriveQueued()
    {
        constexpr int l_count = 200;
        std::unique_ptr<QThread> lp_worker(QThread::create(
            []
            {
                for (int l_line = 0; l_line < l_count; ++l_line)
                    Log(u"Transfer Queue"_s, 2, QString::number(l_line));
            }));
        lp_worker->start();
        QVERIFY(lp_worker->wait(30000));
        QVERIFY(mp_form->Lines(u"Transfer Queue"_s).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(mp_form->Lines(u"Transfer Queue"_s).size(), l_count, 20000);
        QCOMPARE(mp_form->Lines(u"Transfer Queue"_s).last(), stamp + u"   199"_s);
    }

    // Before the view exists, and after it is gone, lines are dropped; a new view starts empty.
    void linesWithoutViewDropped()
    {
        Log(u"server"_s, 1, u"kept"_s);
        mp_form.reset();
        Log(u"server"_s, 1, u"dropped"_s);
        mp_form = std::make_unique<DiagnosticsForm>();
        mp_form->Init();
        QVERIFY(mp_form->Lines(u"server"_s).isEmpty());
        Log(u"server"_s, 1, u"shown"_s);
        QCOMPARE(mp_form->Lines(u"server"_s), QStringList{stamp + u"shown"_s});
    }

    // Peers can make the client log without end: a page keeps its newest lines, in order.
    void pageKeepsItsNewestLines()
    {
        const int l_total = DiagnosticsForm::MaxLinesPerPage + 25;
        for (int l_line = 1; l_line <= l_total; ++l_line)
            Log(u"Peer Messenger"_s, 1, QString::number(l_line));
        const QStringList l_page = mp_form->Lines(u"Peer Messenger"_s);
        QCOMPARE(l_page.size(), DiagnosticsForm::MaxLinesPerPage);
        QCOMPARE(l_page.first(), stamp + u"26"_s);
        QCOMPARE(l_page.last(), stamp + QString::number(l_total));
    }

    // The lines of one turn reach their pages together once the turn is over, in order and on
    // lines of their own after those of earlier turns; a turn that logs more than a page holds
    // leaves the page its newest lines.
    void linesOfTurnAppendedAfterIt_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("turns");
        QTest::newRow("a few lines") << 3 << 1;
        QTest::newRow("a second turn") << 3 << 2;
        QTest::newRow("more than a page holds") << DiagnosticsForm::MaxLinesPerPage + 25 << 1;
    }

    void linesOfTurnAppendedAfterIt()
    {
        QFETCH(int, count);
        QFETCH(int, turns);
        const int l_total = count * turns;
        for (int l_line = 1; l_line <= l_total; ++l_line)
        {
            Log(u"Peer Messenger"_s, 1, QString::number(l_line));
            Log(u"server"_s, 1, QString::number(l_line));
            if (l_line % count != 0)
                continue;
            const QString l_last = stamp + QString::number(l_line);
            const QList<QTextBrowser*> l_pages = mp_form->findChildren<QTextBrowser*>();
            QCOMPARE(l_pages.size(), 2);
            for (QTextBrowser* lp_page : l_pages)
                QVERIFY(!lp_page->toPlainText().endsWith(l_last));
            for (QTextBrowser* lp_page : l_pages)
                QTRY_VERIFY_WITH_TIMEOUT(lp_page->toPlainText().endsWith(l_last), 20000);
        }
        const int l_kept = std::min(l_total, int(DiagnosticsForm::MaxLinesPerPage));
        for (QTextBrowser* lp_page : mp_form->findChildren<QTextBrowser*>())
        {
            const QStringList l_lines = lp_page->toPlainText().split(u'\n');
            QCOMPARE(l_lines.size(), l_kept);
            QCOMPARE(l_lines.first(), stamp + QString::number(l_total - l_kept + 1));
            QCOMPARE(l_lines.last(), stamp + QString::number(l_total));
        }
    }

    // The time stamp of a line is the local time in Qt's text format, also about a change of the
    // zone's offset: early and late in the second before it and in the second it begins.
    void timeStampText_data()
    {
        QTest::addColumn<QDateTime>("moment");
        QTest::newRow("summer time begins") << QDateTime(QDate(2011, 3, 27), QTime(1, 0), Qt::UTC);
        QTest::newRow("summer time ends") << QDateTime(QDate(2011, 10, 30), QTime(1, 0), Qt::UTC);
    }

    void timeStampText()
    {
        QFETCH(QDateTime, moment);
        const QByteArray l_oldZone = qgetenv("TZ");
        qputenv("TZ", "Europe/Berlin");
        tzset();
        LogTime l_time;
        QStringList l_texts;
        QStringList l_qtTexts;
        for (qint64 l_offset : {-1000, -1, 0, 999})
        {
            const qint64 l_ms = moment.toMSecsSinceEpoch() + l_offset;
            l_texts.append(l_time.Text(l_ms));
            l_qtTexts.append(QDateTime::fromMSecsSinceEpoch(l_ms).toString(Qt::TextDate));
        }
        l_oldZone.isNull() ? qunsetenv("TZ") : qputenv("TZ", l_oldZone);
        tzset();
        QCOMPARE(l_texts, l_qtTexts);
    }

    // Init runs once: a second call is refused as the store refuses a type declared twice.
    void secondInitRefused()
    {
        SetCrashAssertAborts(false);
        bool l_refused = false;
        try
        {
            mp_form->Init();
        }
        catch (TypeAlreadyExistsException* lp_exception)
        {
            delete lp_exception;
            l_refused = true;
        }
        SetCrashAssertAborts(true);
        QVERIFY(l_refused);
    }

    // Rows follow tracking and the online state; an untracked user's tie goes with its row.
    void trackedUsers()
    {
        auto* lp_tree = mp_form->findChild<QTreeWidget*>(u"trackedUsersTree"_s);
        const auto l_rows = [lp_tree]
        {
            QStringList l_rows;
            for (int l_index = 0; l_index < lp_tree->topLevelItemCount(); ++l_index)
                l_rows.append(lp_tree->topLevelItem(l_index)->text(0) + u":"_s +
                              lp_tree->topLevelItem(l_index)->text(1));
            return l_rows;
        };
        SetFlag("bob", "is_online", true);
        SetFlag("bob", "is_tracked", true);
        SetFlag("carol", "is_online", true);
        SetFlag("d\xc3\xa9sir\xc3\xa9", "is_tracked", true);
        QCOMPARE(l_rows(), QStringList({u"bob:Online"_s, u"d\u00e9sir\u00e9:Offline"_s}));

        SetFlag("bob", "is_online", false);
        QCOMPARE(l_rows(), QStringList({u"bob:Offline"_s, u"d\u00e9sir\u00e9:Offline"_s}));

        SetFlag("bob", "is_tracked", false);
        QCOMPARE(l_rows(), QStringList{u"d\u00e9sir\u00e9:Offline"_s});
        QCOMPARE(d["track_user_node"]->ItemCount(), std::size_t(1));
        SetFlag("bob", "is_online", true);
        QCOMPARE(l_rows(), QStringList{u"d\u00e9sir\u00e9:Offline"_s});

        SetFlag("bob", "is_tracked", true);
        QCOMPARE(l_rows(), QStringList({u"d\u00e9sir\u00e9:Offline"_s, u"bob:Online"_s}));
        QCOMPARE(d["track_user_node"]->ItemCount(), std::size_t(2));

        // A name the column cuts short shows whole in its tool tip, as plain text.
        SetFlag("<b>administrator</b>&lt;\xe2\x80\x8b"
                "administrator",
                "is_tracked", true);
        QCOMPARE(ViewHarness::ToolTipMismatches(lp_tree), QStringList());
    }

    void look()
    {
        SetFlag("bob", "is_online", true);
        SetFlag("bob", "is_tracked", true);
        for (const char* lp_category : {"Configuration Data", "server", "Peer Messenger"})
            Log(QString::fromLatin1(lp_category), 2, u"<i>started</i>"_s);
        mp_form->resize(600, 300);
        QVERIFY(!ViewHarness::Snapshot(mp_form.get(), u"diagnostics-logs"_s).isEmpty());
        mp_form->findChild<QTabWidget*>(u"tabWidget"_s)->setCurrentIndex(0);
        QVERIFY(!ViewHarness::Snapshot(mp_form.get(), u"diagnostics-users"_s).isEmpty());
        LogForm l_logForm;
        QVERIFY(!ViewHarness::Snapshot(&l_logForm, u"logform"_s).isEmpty());
    }

private:
    std::unique_ptr<ViewHarness> mp_harness;
    std::unique_ptr<DiagnosticsForm> mp_form;
};

VIEW_TEST_MAIN(TestDiagnostics)
#include "tst_diagnostics.moc"
