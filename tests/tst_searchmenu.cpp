// The context-menu entries of a search's result rows: which rows get which entries, the downloads
// they queue and the browse page they open, over the real transfer queue and browse page.
#include "Data.h"
#include "ItemSet.h"
#include "SearchResultMenuOptions.h"
#include "ShareForm.h"
#include "SharesForm.h"
#include "StoreFunctions.h"
#include "TransferQueueManager.h"
#include "ViewHarness.h"

#include <QMainWindow>
#include <QMenu>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>

#include <map>
#include <memory>
#include <utility>

using namespace Qt::StringLiterals;

namespace
{
constexpr int timeoutMs = ViewHarness::timeoutMs;

// The row ties of a results tree and the search text of a download, as the search page
// declares them.
void DeclareRowTies()
{
    if (d.HasType("search_result_node"))
        return;
    d.NewType("search_results_user_node", false, false, true);
    d.NewType("search_results_folder_node", false, false, true);
    d.NewType("search_result_node", false, false, true);
    d["search_results_user_node"]->RelateToType("user", Many, One, false);
    d["search_results_user_node"]->RelateToType("search_results_folder_node", One, Many, true);
    d["search_results_folder_node"]->RelateToType("search_result_file_folder", Many, One, false);
    d["search_result_node"]->RelateToType("search_result", One, One, false);
    d["search_result_node"]->RelateToType("search_results_folder_node", Many, One, false);
    d["search_request_text"]->RelateToType("download_entry", One, Many, false);
}

// One tab's results tree: a user row per user, a folder row per folder of that user, a file row
// per result, each tied to the store as the search page ties them.
class ResultTree
{
public:
    // A reply of the user to the search with that text; an empty user makes a reply from no one.
    ItemPtr Reply(const std::string& i_user, const std::string& i_searchText)
    {
        ItemPtr l_request = d["search_request"]->NewItem(std::to_string(++m_lastToken));
        l_request += d["search_request_text"]->GetItem(i_searchText);
        ItemPtr l_reply = l_request.NewItem("search_results");
        if (!i_user.empty())
            l_reply += d["user"]->GetItem(i_user);
        return l_reply;
    }

    // A file of the reply with its row; the rows of its user and folder are made when missing.
    // A given row serves as the first row that is made.
    QTreeWidgetItem* AddFile(ItemPtr i_reply, const std::string& i_user,
                             const std::string& i_folder, const std::string& i_name,
                             const char* ip_size = "1000", QTreeWidgetItem* ip_made = nullptr)
    {
        const auto l_row = [&ip_made](QTreeWidgetItem* ip_parent, const QStringList& i_texts)
        {
            QTreeWidgetItem* lp_row = std::exchange(ip_made, nullptr);
            if (!lp_row)
                return new QTreeWidgetItem(ip_parent, i_texts);
            for (int l_column = 0; l_column < i_texts.size(); ++l_column)
                lp_row->setText(l_column, i_texts[l_column]);
            ip_parent->addChild(lp_row);
            return lp_row;
        };
        ItemPtr l_result = i_reply.NewItem("search_result");
        l_result += d["search_result_file_name"]->NewItem(i_name);
        l_result += d["search_result_file_folder"]->NewItem(i_folder);
        l_result += d["file_size"]->NewItem(ip_size);

        auto& [lp_userRow, l_userNode] = m_users[i_user];
        if (!lp_userRow)
        {
            lp_userRow = new QTreeWidgetItem(
                &m_tree, {QString::fromLatin1(i_user.data(), qsizetype(i_user.size()))});
            l_userNode = d["search_results_user_node"]->NewItem(Value(lp_userRow));
            if (!i_user.empty())
                l_userNode += d["user"]->GetItem(i_user);
        }
        auto& [lp_folderRow, l_folderNode] = m_folders[{i_user, i_folder}];
        if (!lp_folderRow)
        {
            lp_folderRow = l_row(lp_userRow, {{}, {}, {}, QString::fromStdString(i_folder)});
            l_folderNode = d["search_results_folder_node"]->NewItem(Value(lp_folderRow));
            l_folderNode += l_userNode;
            l_folderNode += d["search_result_file_folder"]->GetItem(i_folder);
        }
        QTreeWidgetItem* lp_fileRow =
            l_row(lp_folderRow, {{}, {}, {}, {}, QString::fromStdString(i_name)});
        ItemPtr l_fileNode = d["search_result_node"]->NewItem(Value(lp_fileRow));
        l_fileNode += l_result;
        l_fileNode += l_folderNode;
        return lp_fileRow;
    }

    QTreeWidgetItem* UserRow(const std::string& i_user) { return m_users[i_user].first; }
    QTreeWidgetItem* FolderRow(const std::string& i_user, const std::string& i_folder)
    {
        return m_folders[{i_user, i_folder}].first;
    }
    // The file names of the rows that show the queued-download mark.
    QStringList Marked() const
    {
        QStringList l_names;
        for (QTreeWidgetItemIterator l_row(const_cast<QTreeWidget*>(&m_tree)); *l_row; ++l_row)
            if (!(*l_row)->icon(SearchResultMenuOptions::FileColumn).isNull())
                l_names << (*l_row)->text(SearchResultMenuOptions::FileColumn);
        l_names.sort();
        return l_names;
    }

private:
    QTreeWidget m_tree;
    std::map<std::string, std::pair<QTreeWidgetItem*, ItemPtr>> m_users;
    std::map<std::pair<std::string, std::string>, std::pair<QTreeWidgetItem*, ItemPtr>> m_folders;
    static inline int m_lastToken = 0;
};

// The queued downloads in queue order, as "user|folder|file|save level|search text".
QStringList Downloads()
{
    QStringList l_downloads;
    for (Item* lp_entry : d["download_entry"]->GetItems().SortNumericBy("download_order", true))
    {
        ItemPtr l_entry = lp_entry;
        l_downloads << QString::fromStdString(
            l_entry["user"].AsString() + '|' + l_entry["remote_folder"].AsString() + '|' +
            l_entry["file_name"].AsString() + '|' + l_entry["subfolder_save_level"].AsString() +
            '|' + l_entry["search_request_text"].AsString());
    }
    return l_downloads;
}
} // namespace

class TestSearchMenu : public QObject
{
    Q_OBJECT

    std::unique_ptr<ViewHarness> mp_harness;
    SharesForm* mp_shares = nullptr;
    std::unique_ptr<ResultTree> mp_tree;

    // The tab of the user "a&b": two folders, the second file of "music\rock" before the first
    // in the tree; "carol" answers another search with a folder of the same name.
    QTreeWidgetItem* BuildTab()
    {
        ItemPtr l_reply = mp_tree->Reply("a&b", "rock");
        QTreeWidgetItem* lp_row = mp_tree->AddFile(l_reply, "a&b", "music\\rock", "b.mp3");
        mp_tree->AddFile(l_reply, "a&b", "music\\rock", "a.mp3", "3000000000");
        mp_tree->AddFile(l_reply, "a&b", "music\\jazz", "j.mp3");
        mp_tree->AddFile(l_reply, "a&b", "", "e.mp3");
        mp_tree->AddFile(mp_tree->Reply("carol", "stones"), "carol", "music\\rock", "c.mp3");
        return lp_row;
    }

    QTreeWidgetItem* RowOfKind(const QString& i_kind, QTreeWidgetItem* ip_fileRow)
    {
        if (i_kind == u"file"_s)
            return ip_fileRow;
        if (i_kind == u"folder"_s)
            return mp_tree->FolderRow("a&b", "music\\rock");
        if (i_kind == u"unnamed folder"_s)
            return mp_tree->FolderRow("a&b", "");
        if (i_kind == u"user"_s)
            return mp_tree->UserRow("a&b");
        return nullptr;
    }

private slots:
    void initTestCase()
    {
        mp_harness = std::make_unique<ViewHarness>();
        DeclareRowTies();
        auto* lp_window = new QMainWindow;
        mp_shares = new SharesForm(lp_window);
        lp_window->setCentralWidget(mp_shares);
        mp_shares->Init();
        lp_window->show();
    }

    void cleanupTestCase() { mp_harness.reset(); }

    void init() { mp_tree = std::make_unique<ResultTree>(); }

    void cleanup()
    {
        while (mp_shares->TabControl()->count() > 0)
            mp_shares->OnTabCloseRequested(0);
        for (Item* lp_entry : d["download_entry"]->GetItems())
            mp_harness->Transfers().RemoveDownload(lp_entry);
        mp_tree.reset();
        // Ties are keyed by row addresses, which later rows may take again.
        for (const char* lp_type : {"search_result_node", "search_results_folder_node",
                                    "search_results_user_node", "search_request"})
            d[lp_type]->RemoveAllItems();
        d.RemoveDisconnectedItems();
        ViewHarness::Flush();
    }

    // Only file and folder rows get entries, after a separator when the menu has some already.
    void entries_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<bool>("filled");
        QTest::addColumn<QStringList>("entries");
        const QStringList l_file{u"Download File"_s, u"Download Folder"_s, u"Browse Folder"_s};
        const QStringList l_folder = l_file.mid(1);
        QTest::newRow("file row") << u"file"_s << false << l_file;
        QTest::newRow("folder row") << u"folder"_s << false << l_folder;
        QTest::newRow("file row after other entries")
            << u"file"_s << true << (QStringList{u"Earlier"_s, u"-"_s} + l_file);
        QTest::newRow("folder row without text") << u"unnamed folder"_s << false << l_folder;
        QTest::newRow("user row") << u"user"_s << false << QStringList();
        QTest::newRow("no row") << u"none"_s << true << QStringList{u"Earlier"_s};
        QTest::newRow("untied row") << u"untied"_s << false << QStringList();
    }

    void entries()
    {
        QFETCH(QString, row);
        QFETCH(bool, filled);
        QFETCH(QStringList, entries);
        QTreeWidgetItem* lp_fileRow = BuildTab();
        QTreeWidgetItem l_untied({u"x"_s, {}, {}, u"folder"_s, u"file"_s});
        QMenu l_menu;
        if (filled)
            l_menu.addAction(u"Earlier"_s);
        SearchResultMenuOptions l_options(&l_menu, row == u"untied"_s ? &l_untied
                                                                      : RowOfKind(row, lp_fileRow));
        QCOMPARE(ViewHarness::Entries(l_menu), entries);
    }

    // Each entry queues exactly the clicked file or the files listed under the clicked folder
    // row, in file-name order, tied to the row's search and marked; queuing again adds nothing.
    void downloads_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QStringList>("queued");
        QTest::addColumn<QStringList>("marked");
        const QString l_a = u"a&b|music\\rock|a.mp3|0|rock"_s;
        const QString l_b = u"a&b|music\\rock|b.mp3|0|rock"_s;
        QTest::newRow("file") << u"file"_s << u"Download File"_s << QStringList{l_b}
                              << QStringList{u"b.mp3"_s};
        QTest::newRow("folder of a file row")
            << u"file"_s << u"Download Folder"_s << QStringList{l_a, l_b}
            << QStringList{u"a.mp3"_s, u"b.mp3"_s};
        QTest::newRow("folder row") << u"folder"_s << u"Download Folder"_s << QStringList{l_a, l_b}
                                    << QStringList{u"a.mp3"_s, u"b.mp3"_s};
    }

    void downloads()
    {
        QFETCH(QString, row);
        QFETCH(QString, entry);
        QFETCH(QStringList, queued);
        QFETCH(QStringList, marked);
        QTreeWidgetItem* lp_fileRow = BuildTab();
        for (int l_time = 0; l_time < 2; ++l_time)
        {
            QMenu l_menu;
            SearchResultMenuOptions l_options(&l_menu, RowOfKind(row, lp_fileRow));
            QVERIFY(ViewHarness::Trigger(l_menu, entry));
            QCOMPARE(Downloads(), queued);
            QCOMPARE(mp_tree->Marked(), marked);
        }
        // The size goes in whole, beyond 32 bits.
        if (queued.size() == 2)
            QCOMPARE(ItemPtr(mp_harness->Transfers().GetDownloadEntry("a&b", "a.mp3",
                                                                      "music\\rock"))["file_size"]
                         .AsString(),
                     std::string("3000000000"));
    }

    // The clicked row may go while the menu is open (its tab closed); a row made since, which may
    // lie where it was, is never taken for it.
    void rowGoneWhileOpen_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<QString>("entry");
        QTest::newRow("file") << u"file"_s << u"Download File"_s;
        QTest::newRow("folder") << u"folder"_s << u"Download Folder"_s;
    }

    void rowGoneWhileOpen()
    {
        QFETCH(QString, row);
        QFETCH(QString, entry);
        QTreeWidgetItem* lp_row = RowOfKind(row, BuildTab());
        ItemPtr l_reply = mp_tree->Reply("dave", "later");
        mp_tree->AddFile(l_reply, "dave", "later", "l0.mp3");
        QMenu l_menu;
        SearchResultMenuOptions l_options(&l_menu, lp_row);
        ItemSet l_ties;
        for (const char* lp_type : {"search_result_node", "search_results_folder_node"})
            l_ties.insert(d[lp_type]->HasItem(Value(lp_row)));
        l_ties.Add(l_ties.GetItems("search_result_node"));
        l_ties.Remove();
        delete lp_row;
        // The allocator most often hands the gone row's block to the next row made.
        mp_tree->AddFile(l_reply, "dave", row == u"file"_s ? "later" : "later2", "l1.mp3", "1000",
                         new QTreeWidgetItem());
        QVERIFY(ViewHarness::Trigger(l_menu, entry));
        QCOMPARE(Downloads(), QStringList());
        QCOMPARE(mp_tree->Marked(), QStringList());
    }

    // A result without a file name or without a user is never asked for; the others of its
    // folder still are.
    void refusesEmptyNames_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("name");
        QTest::newRow("no file name") << u"dave"_s << QString();
        QTest::newRow("no user") << QString() << u"x.mp3"_s;
    }

    void refusesEmptyNames()
    {
        QFETCH(QString, user);
        QFETCH(QString, name);
        ItemPtr l_reply = mp_tree->Reply(user.toStdString(), "empty");
        QTreeWidgetItem* lp_bad =
            mp_tree->AddFile(l_reply, user.toStdString(), "share", name.toStdString());
        mp_tree->AddFile(l_reply, user.toStdString(), "share", "z.mp3");

        QMenu l_fileMenu;
        SearchResultMenuOptions l_file(&l_fileMenu, lp_bad);
        QVERIFY(ViewHarness::Trigger(l_fileMenu, u"Download File"_s));
        QCOMPARE(Downloads(), QStringList());

        QMenu l_folderMenu;
        SearchResultMenuOptions l_folder(&l_folderMenu, lp_bad);
        QVERIFY(ViewHarness::Trigger(l_folderMenu, u"Download Folder"_s));
        const QStringList l_expected =
            user.isEmpty() ? QStringList() : QStringList{user + u"|share|z.mp3|0|empty"_s};
        QCOMPARE(Downloads(), l_expected);
        QCOMPARE(mp_tree->Marked(), user.isEmpty() ? QStringList() : QStringList{u"z.mp3"_s});
    }

    // The browse page opens the row's user, once, and goes to the row's folder when the list
    // comes.
    void browsesFolder_data()
    {
        QTest::addColumn<QString>("row");
        QTest::newRow("file row") << u"file"_s;
        QTest::newRow("folder row") << u"folder"_s;
    }

    void browsesFolder()
    {
        QFETCH(QString, row);
        QTreeWidgetItem* lp_fileRow = BuildTab();
        for (int l_time = 0; l_time < 2; ++l_time)
        {
            QMenu l_menu;
            SearchResultMenuOptions l_options(&l_menu, RowOfKind(row, lp_fileRow));
            QVERIFY(ViewHarness::Trigger(l_menu, u"Browse Folder"_s));
        }
        QCOMPARE(mp_shares->TabControl()->count(), 1);
        ShareForm* lp_page = mp_shares->FindShareForm("a&b");
        QVERIFY(lp_page);
        QCOMPARE(mp_shares->TabControl()->currentWidget(), lp_page);

        ItemPtr l_share = ItemPtr(d["user"]->GetItem("a&b")).NewItem("user_share");
        ItemPtr l_parent;
        for (const char* lp_path : {"music", "music\\rock"})
        {
            ItemPtr l_folder = l_share.NewItem("user_share_folder");
            l_folder += d["user_share_folder_name"]->GetItem(lp_path);
            if (l_parent)
                l_folder.NewItem("user_share_folder_parent") +=
                    l_parent.NewItem("user_share_folder_child");
            l_parent = l_folder;
        }
        l_share.NewItem("user_share_loaded");
        QTRY_VERIFY_WITH_TIMEOUT(lp_page->FolderTree()->currentItem(), timeoutMs);
        QCOMPARE(lp_page->FolderTree()->currentItem()->text(0), u"rock"_s);
        QVERIFY(lp_page->FolderTree()->currentItem()->parent());
    }
};

VIEW_TEST_MAIN(TestSearchMenu)
#include "tst_searchmenu.moc"
