#include "Data.h"
#include "DownloadMenuOptions.h"
#include "PeerHarness.h"
#include "Server.h"
#include "StoreFunctions.h"
#include "TestSettings.h"
#include "TransferQueueManager.h"
#include "Type.h"
#include "ViewHarness.h"

#include <QDir>
#include <QFile>
#include <QMenu>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

class TestDownloadMenu : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        mp_harness = std::make_unique<ViewHarness>();
        QVERIFY(m_dir.isValid());
        // Downloads from a search carry its text; the search pages declare that tie.
        if (!TypeOf("download_entry")->IsRelated(TypeOf("search_request_text")))
            Relate("download_entry", "search_request_text", Many, One);
    }
    void cleanupTestCase() { mp_harness.reset(); }
    void init()
    {
        mp_harness->Reset();
        QDir(Downloads()).removeRecursively();
        QDir(m_dir.filePath(u"outside"_s)).removeRecursively();
        QVERIFY(QDir().mkpath(Downloads() + u"/complete"_s));
        QVERIFY(QDir().mkpath(m_dir.filePath(u"outside"_s)));
        TestSettings::SetSetting("download_folder", Downloads().toStdString());
    }

    // The entries follow the downloads under the row: their number, the first one's status and
    // search; a view's own entries come first, apart.
    void entriesFollowTheDownloads_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("search");
        QTest::addColumn<bool>("viewEntries");
        QTest::addColumn<QString>("entries");
        QTest::newRow("one finished, searched")
            << 1 << u"complete"_s << u"tom & jerry"_s << false
            << u"Open File|Open Folder|-|Remove download|Re-run Search: tom & jerry"_s;
        QTest::newRow("one queued, browsed")
            << 1 << u"queued"_s << QString() << false << u"Open Folder|-|Remove download"_s;
        QTest::newRow("several finished, searched")
            << 3 << u"complete"_s << u"q"_s << false
            << u"Open Folder|-|Remove downloads|Re-run Search: q"_s;
        QTest::newRow("after a view's entries") << 1 << u"downloading"_s << QString() << true
                                                << u"Other|-|Open Folder|-|Remove download"_s;
        QTest::newRow("none") << 0 << QString() << QString() << true << u"Other"_s;
    }
    void entriesFollowTheDownloads()
    {
        QFETCH(int, count);
        QFETCH(QString, status);
        QFETCH(QString, search);
        QFETCH(bool, viewEntries);
        QFETCH(QString, entries);
        ItemSet l_downloads;
        for (int l_index = 0; l_index < count; ++l_index)
            l_downloads.insert(Download(u"f%1.mp3"_s.arg(l_index), status, search));
        QMenu l_menu;
        if (viewEntries)
            l_menu.addAction(u"Other"_s);
        DownloadMenuOptions l_options(&l_menu, l_downloads);
        QCOMPARE(ViewHarness::Entries(l_menu).join(u'|'), entries);
    }

    // Removing takes every download under the row; re-running sends the first one's search
    // again, as typed.
    void removeAndRerun()
    {
        ItemSet l_downloads;
        for (const QString& l_name : {u"a"_s, u"b"_s, u"c"_s})
            l_downloads.insert(Download(l_name, u"queued"_s, u"a&b ü"_s));
        QMenu l_menu;
        DownloadMenuOptions l_options(&l_menu, l_downloads);
        QSignalSpy l_searches(gp_server, &Server::SearchRequested);
        QVERIFY(ViewHarness::Trigger(l_menu, u"Re-run Search: a&b ü"_s));
        QCOMPARE(l_searches.size(), 1);
        QCOMPARE(l_searches[0][1].value<std::string>(), u"a&b ü"_s.toUtf8().toStdString());
        QCOMPARE(l_searches[0][2].toBool(), false);
        QVERIFY(ViewHarness::Trigger(l_menu, u"Remove downloads"_s));
        QCOMPARE(g("download_entry").size(), std::size_t(0));
    }

    // Downloads under the row may go while the menu is open (cleared, answered by a peer, cleaned
    // up); the picked entry acts only on those still there, never on downloads made since, which
    // may lie where the gone ones were.
    void downloadsGoneWhileOpen_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("gone");
        QTest::newRow("remove several, some gone") << u"Remove downloads"_s << 3 << 2;
        QTest::newRow("open file") << u"Open File"_s << 1 << 1;
    }
    void downloadsGoneWhileOpen()
    {
        QFETCH(QString, entry);
        QFETCH(int, count);
        QFETCH(int, gone);
        std::vector<ItemPtr> l_downloads;
        for (int l_index = 0; l_index < count; ++l_index)
            l_downloads.push_back(Download(u"f%1.mp3"_s.arg(l_index), u"complete"_s, QString()));
        QMenu l_menu;
        DownloadMenuOptions l_options(
            &l_menu, ItemSet(std::vector<Item*>(l_downloads.begin(), l_downloads.end())));
        for (int l_index = 0; l_index < gone; ++l_index)
            mp_harness->Transfers().RemoveDownload(l_downloads[std::size_t(l_index)]);
        for (int l_index = 0; l_index < 8; ++l_index)
            Download(u"later%1.mp3"_s.arg(l_index), u"complete"_s, QString());
        QVERIFY(ViewHarness::Trigger(l_menu, entry));
        QCOMPARE(g("download_entry").size(), std::size_t(8));
        QCOMPARE(mp_harness->OpenedUrls(), QList<QUrl>());
    }

    // Opening hands the desktop only paths inside the download folder; a folder that does not
    // exist yet is still inside it.
    void opensOnlyInsideTheDownloadFolder_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("remoteFolder");
        QTest::addColumn<QString>("linkOut");
        QTest::addColumn<QString>("opened");
        QTest::newRow("file") << u"Open File"_s << u"music\\album"_s << QString()
                              << u"/complete/album/song.mp3"_s;
        QTest::newRow("folder") << u"Open Folder"_s << u"music\\album"_s << QString()
                                << u"/complete/album"_s;
        QTest::newRow("folder not made yet")
            << u"Open Folder"_s << u"music\\later"_s << QString() << u"/complete/later"_s;
        QTest::newRow("file behind a link out")
            << u"Open File"_s << u"music\\album"_s << u"album"_s << QString();
        QTest::newRow("folder behind a link out")
            << u"Open Folder"_s << u"music\\album"_s << u"album"_s << QString();
        QTest::newRow("complete folder a link out")
            << u"Open Folder"_s << u"music\\album"_s << u"."_s << QString();
    }
    void opensOnlyInsideTheDownloadFolder()
    {
        QFETCH(QString, entry);
        QFETCH(QString, remoteFolder);
        QFETCH(QString, linkOut);
        QFETCH(QString, opened);
        const QString l_outside = m_dir.filePath(u"outside"_s);
        QFile l_target(l_outside + u"/song.mp3"_s);
        QVERIFY(l_target.open(QIODevice::WriteOnly));
        l_target.close();
        if (linkOut == u"."_s)
        {
            QVERIFY(QDir(Downloads() + u"/complete"_s).removeRecursively());
            QVERIFY(QFile::link(l_outside, Downloads() + u"/complete"_s));
            QVERIFY(QDir().mkpath(l_outside + u"/album"_s));
        }
        else if (!linkOut.isEmpty())
            QVERIFY(QFile::link(l_outside, Downloads() + u"/complete/"_s + linkOut));
        else
        {
            QVERIFY(QDir().mkpath(Downloads() + u"/complete/album"_s));
            QVERIFY(QFile::copy(l_target.fileName(), Downloads() + u"/complete/album/song.mp3"_s));
        }
        ItemPtr l_download = mp_harness->Transfers().AddDownload("bob", "song.mp3",
                                                                 remoteFolder.toStdString(), 1, 0);
        SetValue(l_download, "download_entry_status", "complete");
        QMenu l_menu;
        DownloadMenuOptions l_options(&l_menu, ItemSet(l_download));
        QVERIFY(ViewHarness::Trigger(l_menu, entry));
        const QList<QUrl> l_expected = opened.isEmpty()
                                           ? QList<QUrl>()
                                           : QList<QUrl>{QUrl::fromLocalFile(Downloads() + opened)};
        QCOMPARE(mp_harness->OpenedUrls(), l_expected);
    }

    // Paths from elsewhere that climb out or lie outside are refused as well, with a line on the
    // transfer queue's log page.
    void refusesPathsOutside_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("opened");
        QTest::newRow("inside") << u"/complete"_s << true;
        QTest::newRow("inside, backslashes") << u"\\complete\\x"_s << true;
        QTest::newRow("climbing out") << u"/complete/../../outside"_s << false;
        QTest::newRow("climbing out, backslashes") << u"\\complete\\..\\..\\outside"_s << false;
        QTest::newRow("the download folder itself") << QString() << false;
        QTest::newRow("a sibling with the same start") << u"2/complete"_s << false;
    }
    void refusesPathsOutside()
    {
        QFETCH(QString, path);
        QFETCH(bool, opened);
        QVERIFY(QDir().mkpath(Downloads() + u"2/complete"_s));
        const qsizetype l_lines = mp_harness->Peers().LogLines(u"Transfer Queue"_s).size();
        QCOMPARE(DownloadMenuOptions::OpenDownloadedPath(Downloads() + path), opened);
        QCOMPARE(mp_harness->OpenedUrls().size(), opened ? 1 : 0);
        QCOMPARE(mp_harness->Peers().LogLines(u"Transfer Queue"_s).size() - l_lines,
                 opened ? 0 : 1);
    }

private:
    QString Downloads() const { return m_dir.filePath(u"downloads"_s); }

    ItemPtr Download(const QString& i_name, const QString& i_status, const QString& i_search)
    {
        ItemPtr l_download =
            mp_harness->Transfers().AddDownload("bob", i_name.toStdString(), "music\\album", 1, 0);
        SetValue(l_download, "download_entry_status", i_status.toStdString());
        if (!i_search.isEmpty())
            SetValue(l_download, "search_request_text", i_search.toUtf8().toStdString());
        return l_download;
    }

    std::unique_ptr<ViewHarness> mp_harness;
    QTemporaryDir m_dir;
};

VIEW_TEST_MAIN(TestDownloadMenu)
#include "tst_downloadmenu.moc"
