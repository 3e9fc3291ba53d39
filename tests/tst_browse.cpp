// Browsing another user's shared files: the Browse page's tabs and one user's tab, over the real
// sharing, messaging and transfer services on 127.0.0.1.
#include "ActionSetToolBar.h"
#include "Data.h"
#include "EventToolBar.h"
#include "FilterHelpDialog.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "ShareForm.h"
#include "SharedFoldersManager.h"
#include "SharesForm.h"
#include "SharingFixture.h"
#include "TestPeerMessages.h"
#include "TestSettings.h"
#include "TransferPeer.h"
#include "TransferQueueManager.h"
#include "ViewHarness.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <memory>
#include <unordered_map>

using namespace Qt::StringLiterals;
using Messages = TestPeerMessages;

namespace
{
constexpr int timeoutMs = ViewHarness::timeoutMs;

// A received list as "path*file,file|path*..." with files as name or name=size.
using FolderList = QList<QPair<QByteArray, QByteArrayList>>;

FolderList ParseFolders(const QByteArray& i_text)
{
    FolderList l_folders;
    for (const QByteArray& l_folder : i_text.split('|'))
    {
        const qsizetype l_colon = l_folder.indexOf('*');
        const QByteArray l_files = l_colon < 0 ? QByteArray() : l_folder.mid(l_colon + 1);
        l_folders.append({l_folder.left(l_colon < 0 ? l_folder.size() : l_colon),
                          l_files.isEmpty() ? QByteArrayList() : l_files.split(',')});
    }
    return l_folders;
}

// Stores a list as the sharing service does, except that a path may come twice, and marks it
// loaded; parents are linked to the first folder of their path.
void StoreShare(const std::string& i_user, const FolderList& i_folders)
{
    ItemPtr l_share = ItemPtr(d["user"]->GetItem(i_user)).NewItem("user_share");
    std::unordered_map<std::string, Item*> l_byPath;
    for (const auto& [l_path, l_files] : i_folders)
    {
        ItemPtr l_folder = l_share.NewItem("user_share_folder");
        l_folder += d["user_share_folder_name"]->GetItem(l_path.toStdString());
        const qsizetype l_split = l_path.lastIndexOf('\\');
        if (auto l_parent = l_byPath.find(l_path.left(l_split).toStdString());
            l_split >= 0 && l_parent != l_byPath.end())
            l_folder.NewItem("user_share_folder_parent") +=
                ItemPtr(l_parent->second).NewItem("user_share_folder_child");
        l_byPath.emplace(l_path.toStdString(), l_folder);
        for (const QByteArray& l_file : l_files)
        {
            const QByteArrayList l_parts = l_file.split('=');
            ItemPtr l_item = l_folder.NewItem("user_share_file");
            l_item += d["user_share_file_name"]->GetItem(l_parts[0].toStdString());
            l_item += d["file_size"]->GetItem(l_parts.value(1, "1").toStdString());
        }
    }
    l_share.NewItem("user_share_loaded");
}

QString RowPath(QTreeWidgetItem* ip_row)
{
    QString l_path = ip_row->text(0);
    for (QTreeWidgetItem* lp_up = ip_row->parent(); lp_up; lp_up = lp_up->parent())
        l_path = lp_up->text(0) + u'\\' + l_path;
    return l_path;
}

// The tree as "name(child,child),name"; only rows shown when i_shownOnly.
QString Shape(QTreeWidgetItem* ip_row, bool i_shownOnly)
{
    QStringList l_children;
    for (int l_index = 0; l_index < ip_row->childCount(); ++l_index)
        if (!i_shownOnly || !ip_row->child(l_index)->isHidden())
            l_children << Shape(ip_row->child(l_index), i_shownOnly);
    return ip_row->text(0) +
           (l_children.isEmpty() ? QString() : u'(' + l_children.join(u',') + u')');
}

QString Shape(QTreeWidget* ip_tree, bool i_shownOnly = false)
{
    QStringList l_rows;
    for (int l_index = 0; l_index < ip_tree->topLevelItemCount(); ++l_index)
        if (!i_shownOnly || !ip_tree->topLevelItem(l_index)->isHidden())
            l_rows << Shape(ip_tree->topLevelItem(l_index), i_shownOnly);
    return l_rows.join(u',');
}

QString Files(QTreeWidget* ip_list)
{
    QStringList l_names;
    for (int l_index = 0; l_index < ip_list->topLevelItemCount(); ++l_index)
        l_names << ip_list->topLevelItem(l_index)->text(0);
    return l_names.join(u',');
}

QTreeWidgetItem* FindRow(QTreeWidget* ip_tree, const QString& i_path)
{
    for (QTreeWidgetItemIterator l_row(ip_tree); *l_row; ++l_row)
        if (RowPath(*l_row) == i_path)
            return *l_row;
    return nullptr;
}

// What was queued: "folder\file level" sorted.
QStringList Downloads()
{
    QStringList l_entries;
    for (Item* lp_entry : d["download_entry"]->GetItems())
    {
        ItemPtr l_entry(lp_entry);
        l_entries << QString::fromStdString(l_entry["remote_folder"].AsString() + '\\' +
                                            l_entry["file_name"].AsString() + ' ' +
                                            l_entry["subfolder_save_level"].AsString());
    }
    l_entries.sort();
    return l_entries;
}

const QByteArray g_music = "Music*a.mp3|Music\\Rock*rock1.mp3,live.mp3,song.mp3|"
                           "Music\\Live 1999*x.mp3|Music\\Live 1999\\Disc*y.mp3|"
                           "Docs*f1.txt,f2.txt,f3.txt|Über*über.txt";
} // namespace

class BrowseTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ViewHarness> mp_harness;
    std::unique_ptr<TransferPeer> mp_bob;
    QTemporaryDir m_dir;
    SharesForm* mp_shares = nullptr;

    // The user's tab with the list shown (handed over once control is back in the loop).
    ShareForm* Browse(const std::string& i_user, const QByteArray& i_folders)
    {
        ShareForm* lp_form = mp_shares->OpenShareBrowse(i_user);
        StoreShare(i_user, ParseFolders(i_folders));
        QCoreApplication::processEvents();
        return lp_form;
    }

    static QString ExpandLevelText()
    {
        for (QAction* lp_action : actionBar->actions())
            if (lp_action->isVisible() && lp_action->text().startsWith(u"Expand Level"_s))
                return lp_action->text();
        return QString();
    }

    static int Count(const char* ip_type) { return int(d[ip_type]->ItemCount()); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        mp_harness = std::make_unique<ViewHarness>();
        mp_bob = std::make_unique<TransferPeer>(mp_harness->Peers(), "bob");
        auto* lp_window = new QMainWindow;
        mp_shares = new SharesForm(lp_window);
        lp_window->setCentralWidget(mp_shares);
        mp_shares->Init();
        lp_window->resize(800, 500);
        lp_window->show();
    }

    void cleanupTestCase()
    {
        mp_bob.reset();
        mp_harness.reset();
    }

    void init()
    {
        mp_bob->SetOnline(false);
        TestSettings::SetSetting("expand_new_shares", "yes");
    }

    void cleanup()
    {
        while (mp_shares->TabControl()->count() > 0)
            mp_shares->OnTabCloseRequested(0);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (Item* lp_entry : d["download_entry"]->GetItems())
            mp_harness->Transfers().RemoveDownload(lp_entry);
        for (const char* lp_user : {"alice", "bob", "carol", "<b>jos\xc3\xa9</b>&lt;"})
            sharedFoldersManager->RemoveUserShare(lp_user);
        // No tie outlives its row or tab.
        QCOMPARE(Count("user_share_tab"), 0);
        QCOMPARE(Count("user_share_folder_node"), 0);
        QCOMPARE(Count("user_share_file_node"), 0);
    }

    // Rows from unsorted paths: the last component shown, a parent before its children, upper
    // case first, the first of two folders of one path the parent, names as text; each row's
    // tool tip, and each of its files', is its text.
    void treeShape_data()
    {
        QTest::addColumn<QByteArray>("folders");
        QTest::addColumn<QString>("shape");
        QTest::addColumn<int>("deepest");
        QTest::newRow("nested") << "Music\\Rock\\70s|Music|Music\\Rock"_ba << u"Music(Rock(70s))"_s
                                << 2;
        QTest::newRow("drive") << "E:\\Music"_ba << u"Music"_s << 0;
        QTest::newRow("case") << "music|Music"_ba << u"Music,music"_s << 0;
        QTest::newRow("parent missing") << "A\\B\\C|A"_ba << u"A,C"_s << 0;
        QTest::newRow("path twice")
            << "Music*a|Music*b|Music\\Rock"_ba << u"Music(Rock),Music"_s << 1;
        QTest::newRow("markup") << "<b>x<b>*<i>f</i>&lt;|<b>x<b>\\<a href=\"file:x\">y"_ba
                                << u"<b>x<b>(<a href=\"file:x\">y)"_s << 1;
        QTest::newRow("utf-8") << "Über\\Ärger"_ba << u"Ärger"_s << 0;
        QTest::newRow("direction controls") << "x\xe2\x80\xae"
                                               "3pm|x\xe2\x80\xae"
                                               "3pm\\y\xe2\x81\xa9"_ba
                                            << u"x<U+202E>3pm(y<U+2069>)"_s << 1;
        for (const QChar l_break : ViewHarness::LineBreaks())
        {
            const QByteArray l_bytes = QString(l_break).toUtf8();
            const QString l_mark = ViewHarness::BreakMark(l_break);
            QTest::addRow("break U+%04X", unsigned(l_break.unicode()))
                << "A|LF dir" + l_bytes + "hidden dir|LF dir" + l_bytes + "hidden dir\\sub" +
                       l_bytes + "dir"
                << u"A,LF dir"_s + l_mark + u"hidden dir(sub"_s + l_mark + u"dir)"_s << 1;
        }
    }
    void treeShape()
    {
        QFETCH(QByteArray, folders);
        QFETCH(QString, shape);
        QFETCH(int, deepest);
        ShareForm* lp_form = Browse("alice", folders);
        QCOMPARE(Shape(lp_form->FolderTree()), shape);
        QCOMPARE(lp_form->DeepestLevel(), deepest);
        QVERIFY(lp_form->FolderTree()->isVisibleTo(lp_form));
        QCOMPARE(Count("user_share_folder_node"), folders.count('|') + 1);
        // The first folder of a doubled path is the one gone to.
        lp_form->BrowseToFolder("Music");
        if (QTest::currentDataTag() == "path twice"_ba)
            QCOMPARE(Files(lp_form->FileList()), u"a"_s);
        // Each folder is one row of one line, whatever its name holds.
        QTreeWidget* lp_tree = lp_form->FolderTree();
        lp_tree->expandAll();
        QSet<int> l_heights;
        for (QTreeWidgetItemIterator l_row(lp_tree); *l_row; ++l_row)
            l_heights.insert(lp_tree->visualItemRect(*l_row).height());
        QCOMPARE(l_heights.size(), 1);
        lp_tree->setCurrentItem(lp_tree->topLevelItem(0));
        for (QTreeWidget* lp_list : {lp_tree, lp_form->FileList()})
            QCOMPARE(ViewHarness::ToolTipMismatches(lp_list), QStringList());
    }

    // Expand Level opens one more depth per step up to the deepest; Collapse All starts over.
    void expandLevel_data()
    {
        QTest::addColumn<QByteArray>("folders");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("levels");
        const QByteArray l_deep = "A|A\\B|A\\B\\C|A\\B\\C\\D";
        QTest::newRow("flat") << "A|B"_ba << u"EE"_s << u"0,0"_s;
        QTest::newRow("deep") << l_deep << u"EEEE"_s << u"1,2,3,3"_s;
        QTest::newRow("collapse") << l_deep << u"EECE"_s << u"1,2,0,1"_s;
        QTest::newRow("expand all") << l_deep << u"EAE"_s << u"1,0,1"_s;
    }
    void expandLevel()
    {
        QFETCH(QByteArray, folders);
        QFETCH(QString, steps);
        QFETCH(QString, levels);
        TestSettings::SetSetting("expand_new_shares", "no");
        ShareForm* lp_form = Browse("alice", folders);
        // The tool bar shows the tree's actions while the tree has the focus.
        lp_form->FolderTree()->setFocus();
        QTRY_VERIFY(!ExpandLevelText().isEmpty());
        QStringList l_levels;
        for (QChar l_step : steps)
        {
            const std::string l_action = l_step == u'E'   ? "expand_level"
                                         : l_step == u'C' ? "collapse_all"
                                                          : "expand_all";
            emit actionBar->ActionTriggered(l_action);
            const int l_level = lp_form->ExpandedLevel();
            l_levels << QString::number(l_level);
            QCOMPARE(ExpandLevelText(),
                     l_level ? u"Expand Level [%1]"_s.arg(l_level) : u"Expand Level"_s);
        }
        QCOMPARE(l_levels.join(u','), levels);
        if (QTest::currentDataTag() == "collapse"_ba)
        {
            QTreeWidgetItem* lp_top = lp_form->FolderTree()->topLevelItem(0);
            QVERIFY(lp_top->isExpanded() && !lp_top->child(0)->isExpanded());
        }
    }

    // The filter over folders (their names and the names above them, their own files, the
    // folders below) and over the current folder's files; non-ASCII words match.
    void filter_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("files");
        const QString l_all = u"Docs,Music(Live 1999(Disc),Rock),Über"_s;
        QTest::newRow("empty") << QString() << u"Music\\Rock"_s << l_all
                               << u"rock1.mp3,live.mp3,song.mp3"_s;
        QTest::newRow("rock") << u"rock"_s << u"Music\\Rock"_s << u"Music(Rock)"_s
                              << u"rock1.mp3,live.mp3,song.mp3"_s;
        QTest::newRow("word in file")
            << u"song"_s << u"Music\\Rock"_s << u"Music(Rock)"_s << u"song.mp3"_s;
        QTest::newRow("mfif:3") << u"mfif:3"_s << u"Docs"_s << u"Docs,Music(Rock)"_s
                                << u"f1.txt,f2.txt,f3.txt"_s;
        QTest::newRow("-live") << u"-live"_s << u"Music\\Rock"_s << u"Docs,Music(Rock),Über"_s
                               << u"rock1.mp3,song.mp3"_s;
        QTest::newRow("non-ascii") << u"über"_s << u"Über"_s << u"Über"_s << u"über.txt"_s;
        QTest::newRow("ancestor hidden")
            << u"-music"_s << u"Music\\Rock"_s << u"Docs,Über"_s << QString();
        QTest::newRow("nothing") << u"zzz"_s << u"Music\\Rock"_s << QString() << QString();
    }
    void filter()
    {
        QFETCH(QString, filter);
        QFETCH(QString, current);
        QFETCH(QString, shown);
        QFETCH(QString, files);
        ShareForm* lp_form = Browse("alice", g_music);
        QTreeWidgetItem* lp_current = FindRow(lp_form->FolderTree(), current);
        QVERIFY(lp_current);
        lp_form->FolderTree()->setCurrentItem(lp_current);
        // Applying the filter renews the current folder's files.
        QSignalSpy l_applied(lp_form->FileList()->model(), &QAbstractItemModel::modelReset);
        lp_form->findChild<QLineEdit*>(u"filterEdit"_s)->setText(filter);
        // Typing is applied once it pauses (an unchanged text is not applied again); what it
        // shows is then checked at once, so a tree that comes out wrong fails the row instead of
        // being waited on.
        if (!filter.isEmpty())
        {
            QVERIFY(l_applied.isEmpty());
            QVERIFY(l_applied.wait(timeoutMs));
        }
        QCOMPARE(Shape(lp_form->FolderTree(), true), shown);
        QCOMPARE(Files(lp_form->FileList()), files);
        QCOMPARE(Count("user_share_file_node"), lp_form->FileList()->topLevelItemCount());
    }

    // A folder's own files keep one folder level, those below it two; a file alone one.
    void downloadLevels_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<bool>("folder");
        QTest::addColumn<QStringList>("queued");
        QTest::newRow("folder with two levels below")
            << u"Music"_s << true
            << QStringList{u"Music\\Live 1999\\Disc\\y.mp3 1"_s, u"Music\\Live 1999\\x.mp3 1"_s,
                           u"Music\\Rock\\live.mp3 1"_s,         u"Music\\Rock\\rock1.mp3 1"_s,
                           u"Music\\Rock\\song.mp3 1"_s,         u"Music\\a.mp3 0"_s};
        QTest::newRow("leaf folder")
            << u"Docs"_s << true
            << QStringList{u"Docs\\f1.txt 0"_s, u"Docs\\f2.txt 0"_s, u"Docs\\f3.txt 0"_s};
        QTest::newRow("file") << u"f2.txt"_s << false << QStringList{u"Docs\\f2.txt 0"_s};
    }
    void downloadLevels()
    {
        QFETCH(QString, row);
        QFETCH(bool, folder);
        QFETCH(QStringList, queued);
        ShareForm* lp_form = Browse("alice", g_music);
        QTreeWidget* lp_tree = lp_form->FolderTree();
        lp_tree->setCurrentItem(FindRow(lp_tree, u"Docs"_s));
        if (folder)
            lp_form->OnFolderDoubleClicked(FindRow(lp_tree, row), 0);
        else
            lp_form->OnFileDoubleClicked(FindRow(lp_form->FileList(), row), 0);
        QCOMPARE(Downloads(), queued);
        // Rows of the current folder that were queued show it.
        QStringList l_marked;
        for (int l_index = 0; l_index < lp_form->FileList()->topLevelItemCount(); ++l_index)
            if (!lp_form->FileList()->topLevelItem(l_index)->icon(0).isNull())
                l_marked << lp_form->FileList()->topLevelItem(l_index)->text(0);
        QCOMPARE(l_marked.size(), queued.filter(u"Docs\\"_s).size());
    }

    // Sizes of gigabytes show whole: the stretched last column gives way.
    void sizesShowWhole()
    {
        ShareForm* lp_form = Browse("alice", "A*a=9999999999,b=2097152000,c=1");
        lp_form->BrowseToFolder("A");
        QTreeWidget* lp_list = lp_form->FileList();
        QCOMPARE(lp_list->topLevelItem(0)->text(1), u"9,999,999,999"_s);
        const int l_width = lp_list->columnWidth(1);
        lp_list->resizeColumnToContents(1);
        QVERIFY(l_width >= lp_list->columnWidth(1));
    }

    // A folder asked for before the list came is gone to when it comes; the last one asked wins.
    void browseToFolderBeforeArrival()
    {
        ShareForm* lp_form = mp_shares->OpenShareBrowse("alice");
        lp_form->BrowseToFolder("Music");
        lp_form->BrowseToFolder("Music\\Rock");
        StoreShare("alice", ParseFolders(g_music));
        QTRY_VERIFY(lp_form->FolderTree()->currentItem());
        QCOMPARE(RowPath(lp_form->FolderTree()->currentItem()), u"Music\\Rock"_s);
        QCOMPARE(Files(lp_form->FileList()), u"rock1.mp3,live.mp3,song.mp3"_s);
        lp_form->BrowseToFolder("Nowhere");
        QCOMPARE(RowPath(lp_form->FolderTree()->currentItem()), u"Music\\Rock"_s);
    }

    // The hint: once, for a failed messaging connection to this tab's user, while nothing is
    // shown; a list after it is shown.
    void connectionHint_data()
    {
        QTest::addColumn<QStringList>("failures");
        QTest::addColumn<int>("hints");
        QTest::newRow("P") << QStringList{u"alice P"_s} << 1;
        QTest::newRow("P twice") << QStringList{u"alice P"_s, u"alice P"_s} << 1;
        QTest::newRow("file connection") << QStringList{u"alice F"_s} << 0;
        QTest::newRow("other user") << QStringList{u"alicE P"_s} << 0;
        QTest::newRow("after the list") << QStringList{u"list"_s, u"alice P"_s} << 0;
    }
    void connectionHint()
    {
        QFETCH(QStringList, failures);
        QFETCH(int, hints);
        ShareForm* lp_form = mp_shares->OpenShareBrowse("alice");
        auto* lp_messages = lp_form->findChild<QTextBrowser*>(u"messageBrowser"_s);
        for (const QString& l_failure : failures)
        {
            if (l_failure == u"list"_s)
            {
                StoreShare("alice", ParseFolders("A*x"));
                QCoreApplication::processEvents();
                continue;
            }
            const QStringList l_parts = l_failure.split(u' ');
            emit peerMessenger->ConnectionToUserFailed(l_parts[0].toStdString(),
                                                       l_parts[1].toStdString());
        }
        QCOMPARE(lp_messages->toHtml().count(u"Check here"_s), hints);
        QCOMPARE(lp_messages->toHtml().count(u"porttest.php?port="_s), hints);
        StoreShare("alice", ParseFolders("A*x"));
        QTRY_COMPARE(Shape(lp_form->FolderTree()), u"A"_s);
    }

    // What comes for a tab while another is in front, a list, an empty list or a failed
    // connection, has a notice titled with the tab's user; the notice's and the tab's tool tips
    // show the name whole, as it is.
    void noticeNamesTheUser_data()
    {
        QTest::addColumn<QString>("event");
        for (const char* lp_event : {"list", "no files", "no connection"})
            QTest::newRow(lp_event) << QString::fromLatin1(lp_event);
    }
    void noticeNamesTheUser()
    {
        QFETCH(QString, event);
        const std::string l_user = "<b>jos\xc3\xa9</b>&lt;";
        mp_shares->OpenShareBrowse(l_user);
        mp_shares->OpenShareBrowse("alice");
        if (event == u"list"_s)
            StoreShare(l_user, ParseFolders("A*x"));
        else if (event == u"no files"_s)
            ItemPtr(d["user"]->GetItem(l_user)).NewItem("user_share").NewItem("user_share_loaded");
        else
            emit peerMessenger->ConnectionToUserFailed(l_user, "P");
        // A failed connection, should one come besides, has its notice by that name too.
        QTRY_VERIFY_WITH_TIMEOUT(!ViewHarness::NoticeTexts().isEmpty(), timeoutMs);
        const QString l_shown = u"<b>jos\u00e9</b>&lt;"_s;
        for (QAction* lp_notice : eventToolBar->actions())
        {
            QCOMPARE(lp_notice->text(), u"<b>jos\u00e9</b>&&lt;"_s);
            QCOMPARE(ViewHarness::ToolTipOf(lp_notice), l_shown);
        }
        QCOMPARE(ViewHarness::ToolTipOf(mp_shares->TabControl(), 0), l_shown);
    }

    // Lists that no tab waits for are dropped; a list without folders is reported.
    void listWithoutTab()
    {
        ShareForm* lp_form = mp_shares->OpenShareBrowse("alice");
        QPointer<ShareForm> l_closed(lp_form);
        mp_shares->OnTabCloseRequested(0);
        QVERIFY(!mp_shares->FindShareForm("alice"));
        // Neither the tab nor the list goes inside the call or the store event that ends it.
        QVERIFY(l_closed);
        StoreShare("alice", ParseFolders("A*x"));
        QVERIFY(ItemPtr(d["user"]->HasItem("alice"))["user_share"]);
        QTRY_VERIFY(!ItemPtr(d["user"]->HasItem("alice"))["user_share"]);
        QCOMPARE(mp_shares->TabControl()->count(), 0);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!l_closed);

        lp_form = mp_shares->OpenShareBrowse("alice");
        ItemPtr(d["user"]->GetItem("alice")).NewItem("user_share").NewItem("user_share_loaded");
        QTRY_VERIFY(lp_form->findChild<QTextBrowser*>(u"messageBrowser"_s)
                        ->toPlainText()
                        .contains(u"No files returned."_s));
        QVERIFY(!lp_form->FolderTree()->isVisibleTo(lp_form));
    }

    // The list removed while shown: the rows stay, lead nowhere, and queue nothing.
    void listRemovedWhileShown()
    {
        ShareForm* lp_form = Browse("alice", g_music);
        QTreeWidget* lp_tree = lp_form->FolderTree();
        lp_tree->setCurrentItem(FindRow(lp_tree, u"Docs"_s));
        sharedFoldersManager->RemoveUserShare("alice");
        QCOMPARE(Count("user_share_folder_node"), 0);
        QCOMPARE(Count("user_share_file_node"), 0);
        lp_form->OnFolderDoubleClicked(FindRow(lp_tree, u"Music"_s), 0);
        lp_form->OnFileDoubleClicked(lp_form->FileList()->topLevelItem(0), 0);
        QCOMPARE(Count("download_entry"), 0);
        lp_tree->setCurrentItem(FindRow(lp_tree, u"Music"_s));
        QCOMPARE(lp_form->FileList()->topLevelItemCount(), 0);
        lp_form->BrowseToFolder("Docs");
        QCOMPARE(RowPath(lp_tree->currentItem()), u"Music"_s);
        // A list that comes after replaces the rows.
        StoreShare("alice", ParseFolders("Docs*f"));
        QTRY_COMPARE(Shape(lp_tree), u"Docs"_s);
        QCOMPARE(Files(lp_form->FileList()), u"f"_s);
    }

    // One help window for every tab; it goes with the tab that made it.
    void filterHelp()
    {
        ShareForm* lp_alice = Browse("alice", "A");
        ShareForm* lp_carol = mp_shares->OpenShareBrowse("carol");
        auto* lp_button = lp_alice->findChild<QPushButton*>(u"filterHelpButton"_s);
        QVERIFY(lp_button->isVisibleTo(lp_alice));
        lp_button->click();
        QPointer<FilterHelpDialog> l_dialog(filterHelpDialog);
        QVERIFY(l_dialog && l_dialog->isVisible());
        lp_carol->OnFilterHelpClicked();
        QCOMPARE(filterHelpDialog, l_dialog.data());
        mp_shares->OnTabCloseRequested(mp_shares->TabControl()->indexOf(lp_alice));
        ViewHarness::Flush();
        QVERIFY(!l_dialog && !filterHelpDialog);
    }

    // Ten thousand nested folders: built, filtered, queued and freed without deep recursion;
    // folders below the cap hang at it.
    void deepNesting()
    {
        QByteArray l_folders;
        QByteArray l_path = "d";
        for (int l_level = 0; l_level < 10000; ++l_level)
        {
            l_folders += (l_level ? "|" : "") + l_path + "*f";
            l_path += "\\d";
        }
        ShareForm* lp_form = Browse("alice", l_folders);
        QCOMPARE(lp_form->DeepestLevel(), ShareForm::MaxFolderDepth);
        QTreeWidgetItem* lp_row = lp_form->FolderTree()->topLevelItem(0);
        for (int l_level = 0; l_level < ShareForm::MaxFolderDepth - 1; ++l_level)
            lp_row = lp_row->child(0);
        QCOMPARE(lp_row->childCount(), 10000 - ShareForm::MaxFolderDepth);
        lp_form->ApplyFilter(u"zzz"_s);
        QVERIFY(lp_form->FolderTree()->topLevelItem(0)->isHidden());
        lp_form->ApplyFilter(u"mfif:1"_s);
        QVERIFY(!lp_form->FolderTree()->topLevelItem(0)->isHidden());
        lp_form->OnFolderDoubleClicked(lp_form->FolderTree()->topLevelItem(0), 0);
        QCOMPARE(Count("download_entry"), 10000);
    }

    // A tab's title shows "&" and direction controls as characters. One tab per user however
    // often it is opened; the list is asked for once. Then the whole road: the list comes from
    // the peer, a folder is queued, and its files arrive.
    void browsePeerEndToEnd()
    {
        mp_bob->SetOnline(true);
        mp_bob->Forget();
        const QString l_downloads = m_dir.filePath(u"downloads"_s);
        TestSettings::SetSetting("download_folder", l_downloads.toStdString());
        ShareForm* lp_form = mp_shares->OpenShareBrowse("b&\xe2\x80\xae"
                                                        "b");
        QCOMPARE(mp_shares->TabControl()->tabText(0), u"b&&<U+202E>b"_s);
        mp_shares->OnTabCloseRequested(0);

        lp_form = mp_shares->OpenShareBrowse("bob");
        QCOMPARE(mp_shares->OpenShareBrowse("bob"), lp_form);
        QCOMPARE(mp_shares->TabControl()->count(), 1);
        QVERIFY(mp_bob->Take(4));
        const QList<Messages::Folder> l_share = {
            {"music\\album", {{"a.mp3", 3, "mp3", {}}, {"b.mp3", 4, "mp3", {}}}},
            {"music\\album\\cd2", {{"c.mp3", 5, "mp3", {}}}}};
        mp_bob->Send(Messages::SharedFileList(Messages::ShareListContent(l_share)));
        QTRY_COMPARE_WITH_TIMEOUT(Shape(lp_form->FolderTree()), u"album(cd2)"_s, timeoutMs);
        QCOMPARE(mp_bob->Count(4), 1);

        QTreeWidgetItem* lp_album = lp_form->FolderTree()->topLevelItem(0);
        lp_form->FolderTree()->setCurrentItem(lp_album);
        lp_album->setSelected(true);
        emit actionBar->ActionTriggered("download_share_folder");
        QCOMPARE(Downloads(), (QStringList{u"music\\album\\a.mp3 0"_s, u"music\\album\\b.mp3 0"_s,
                                           u"music\\album\\cd2\\c.mp3 1"_s}));
        QVERIFY(!ViewHarness::Snapshot(mp_shares->window(), u"browse"_s).isEmpty());

        quint32 l_token = 300;
        std::vector<std::unique_ptr<FileConnectionSender>> l_senders;
        for (const auto& [l_path, l_size] :
             {std::pair{"music\\album\\a.mp3"_ba, 3}, std::pair{"music\\album\\b.mp3"_ba, 4},
              std::pair{"music\\album\\cd2\\c.mp3"_ba, 5}})
        {
            mp_bob->Offer(l_token, l_path, quint64(l_size));
            const auto l_answer = mp_bob->Take(41);
            QVERIFY(l_answer);
            l_senders.push_back(mp_bob->SendFile(l_token++, QByteArray(l_size, 'x')));
        }
        for (const char* lp_file : {"album/a.mp3", "album/b.mp3", "album/cd2/c.mp3"})
            QTRY_VERIFY_WITH_TIMEOUT(
                QFile::exists(l_downloads + u"/complete/"_s + QString::fromLatin1(lp_file)),
                timeoutMs);
        QDir(l_downloads).removeRecursively();
    }
};

VIEW_TEST_MAIN(BrowseTest)
#include "tst_browse.moc"
