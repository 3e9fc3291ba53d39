// Section search of the views' benchmarks: 50,000 results (500 users, 100 files each in 10
// folders that every user shares) reaching a search page as 500 replies through the messenger's
// signal, against a bare QTreeWidget filled with the same rows; the same for 5,000 results (cost
// per result should not grow); one filter keystroke over all 50,000; the memory the page adds per
// result. Times are the GUI thread's processor time; a 10 ms timer records the longest stall.
#include "Data.h"
#include "GeneralFunctions.h"
#include "PeerMessenger.h"
#include "ProcessFigures.h"
#include "SearchForm.h"
#include "SearchResultsForm.h"
#include "StoreFunctions.h"
#include "TabWidget.h"
#include "ViewHarness.h"
#include "ViewsBench.h"

#include <QApplication>
#include <QLineEdit>
#include <QMainWindow>
#include <QTest>
#include <QTreeWidget>

#include <cstdio>
#include <string>
#include <vector>

namespace
{
constexpr int FilesPerUser = 100;
constexpr int FoldersPerUser = 10;
unsigned int g_token = 1;

std::string FolderName(int i_folder)
{
    return "Music\\Collection\\Album " + std::to_string(i_folder);
}

std::string FileName(int i_user, int i_file)
{
    return "Track " + std::to_string(i_file) + " by " + std::to_string(i_user) + ".mp3";
}

// One user's reply stored as the messenger stores it.
ItemPtr StoreReply(ItemPtr i_request, int i_user)
{
    ItemPtr l_results = d["search_results"]->NewItem();
    for (int l_file = 0; l_file < FilesPerUser; ++l_file)
    {
        ItemPtr l_result = l_results.NewItem("search_result");
        l_result += d["search_result_file_name"]->GetItem(Value(FileName(i_user, l_file)));
        l_result +=
            d["search_result_file_folder"]->GetItem(Value(FolderName(l_file % FoldersPerUser)));
        l_result += d["file_size"]->GetItem(Value(4000000 + l_file));
        l_result += d["bitrate"]->GetItem(Value(128 + 32 * (l_file % 6)));
    }
    i_request += l_results;
    l_results += User("user " + std::to_string(i_user));
    l_results += d["search_results_user_available"]->GetItem(Value(i_user % 3 ? "no" : "yes"));
    l_results += d["search_results_user_speed"]->GetItem(Value(1024 * (i_user % 97)));
    l_results += d["search_results_uploads_in_queue"]->GetItem(Value(i_user % 7));
    return l_results;
}

struct Fill
{
    double m_ms = 0;
    long long m_heapKb = 0;
    SearchResultsForm* mp_form = nullptr;
};

// A search page receiving every reply, then sorted and painted.
Fill FillPage(SearchForm& i_search, StallWatch& i_stalls, int i_users)
{
    i_stalls.Suspend();
    const std::string l_text = "search of " + std::to_string(i_users);
    ItemPtr l_request = d["search_request"]->NewItem(Value(++g_token));
    l_request += d["search_request_text"]->GetItem(Value(l_text));
    std::vector<ItemPtr> l_replies;
    for (int l_user = 0; l_user < i_users; ++l_user)
        l_replies.push_back(StoreReply(l_request, l_user));
    Fill l_fill;
    const long long l_heapBefore = ProcessFigures::HeapInUseKb();
    i_stalls.Resume();
    l_fill.m_ms +=
        ThreadMilliseconds([&] { i_search.OnSearchRequest(l_request.AsUInt(), l_text, false); });
    l_fill.mp_form = qobject_cast<SearchResultsForm*>(i_search.SearchTabControl()->currentWidget());
    for (ItemPtr l_reply : l_replies)
        l_fill.m_ms += ThreadMilliseconds(
            [&]
            {
                emit peerMessenger->SearchResults(l_reply);
                QCoreApplication::processEvents();
            });
    // Every held reply shown, the page's own sort a second after the last batch, and the paint.
    l_fill.m_ms += ThreadMilliseconds(
        [&]
        {
            while (l_fill.mp_form->HasHeldReplies())
                QTest::qWait(20);
            QTest::qWait(1200);
            i_search.window()->repaint();
        });
    l_fill.m_heapKb = ProcessFigures::HeapInUseKb() - l_heapBefore;
    return l_fill;
}

// The toolkit's floor: the same rows and cells in a bare tree, expanded and painted.
double BareFill(int i_users, QWidget* ip_host)
{
    QTreeWidget l_tree(ip_host);
    l_tree.setColumnCount(7);
    l_tree.resize(ip_host->size());
    l_tree.show();
    return ThreadMilliseconds(
        [&]
        {
            for (int l_user = 0; l_user < i_users; ++l_user)
            {
                auto* lp_user = new QTreeWidgetItem(&l_tree);
                lp_user->setText(0, QString::fromStdString("user " + std::to_string(l_user)));
                lp_user->setText(1, l_user % 3 ? QString::number(l_user % 7) : QStringLiteral("Y"));
                lp_user->setText(2, QString::number(l_user % 97, 'f', 1));
                std::vector<QTreeWidgetItem*> l_folders;
                for (int l_folder = 0; l_folder < FoldersPerUser; ++l_folder)
                {
                    l_folders.push_back(new QTreeWidgetItem(lp_user));
                    l_folders.back()->setText(
                        3, QString::fromStdString(ReversePathname(FolderName(l_folder))));
                }
                for (int l_file = 0; l_file < FilesPerUser; ++l_file)
                {
                    auto* lp_file = new QTreeWidgetItem(l_folders[l_file % FoldersPerUser]);
                    lp_file->setText(4, QString::fromStdString(FileName(l_user, l_file)));
                    lp_file->setText(5, QString::number(4000000 + l_file));
                    lp_file->setText(6, QString::number(128 + 32 * (l_file % 6)));
                }
            }
            l_tree.expandAll();
            l_tree.sortByColumn(1, Qt::DescendingOrder);
            l_tree.repaint();
        });
}
} // namespace

int RunSearchSection()
{
    ViewHarness l_harness;
    QMainWindow l_window;
    auto* lp_search = new SearchForm(&l_window);
    l_window.setCentralWidget(lp_search);
    lp_search->Init();
    l_window.resize(1000, 700);
    l_window.show();
    QCoreApplication::processEvents();
    StallWatch l_stalls;

    const Fill l_small = FillPage(*lp_search, l_stalls, 50);
    const Fill l_large = FillPage(*lp_search, l_stalls, 500);
    const long long l_stall = l_stalls.Longest();
    l_stalls.Suspend();
    const double l_bareMs = BareFill(500, &l_window);

    SearchResultsForm* lp_form = l_large.mp_form;
    lp_form->filterEdit()->setText(QStringLiteral("track 5"));
    const double l_filterMs = ThreadMilliseconds(
        [&]
        {
            lp_search->RefilterTab(lp_form);
            l_window.repaint();
        });

    const double l_perSmall = l_small.m_ms / (50.0 * FilesPerUser);
    const double l_perLarge = l_large.m_ms / (500.0 * FilesPerUser);
    std::printf("search: 50,000 results shown in %.0f ms, bare tree %.0f ms\n", l_large.m_ms,
                l_bareMs);
    std::printf("search: cost per result %.4f ms at 5,000, %.4f ms at 50,000\n", l_perSmall,
                l_perLarge);
    std::printf("search: one filter keystroke over 50,000 results: %.0f ms\n", l_filterMs);
    std::printf("search: memory per result: %.0f bytes\n",
                double(l_large.m_heapKb) * 1024.0 / (500.0 * FilesPerUser));
    PrintAim("search 50,000 results shown / bare tree", l_large.m_ms / l_bareMs, "x", 3.0);
    PrintAim("search cost per result at 50,000 / at 5,000", l_perLarge / l_perSmall, "x", 1.5);
    PrintAim("search longest stall", double(l_stall), "ms", 100.0);
    return 0;
}
