// The whole client under a long load, as a user runs it: the real main window with every service
// (offscreen), made and started as the program does, logged in to the test server on
// 127.0.0.1:2242 and sharing a folder. Twenty other users, each a test peer logged in to the same
// server, run in a second process (forked before anything else starts): they answer each search
// with all their files, send their share lists, upload what the client downloads and download what
// the client shares, chat in a room at 20 lines a second, and leave and enter the room and log out
// and in again. The client searches every 3 seconds from the Search page, downloads from the
// results by a double click, browses a user every 10 seconds from the Browse page and keeps the
// room page open; finished transfers clear themselves, as the Transfers page's options do.
//
// Printed: RSS and the store's size over time, the GUI thread's longest stall (how late a 10 ms
// timer fires), and what is left once every page is closed, the transfers removed and the idle
// connections expired, against a count taken before the load: store items by type, peer
// connections, sockets, log pages. The program fails (exit status 1) only when something is left
// over or the load did not reach the client at all: the figures of time and memory depend on the
// machine.
//
// Usage: client_soak [--short] [--seconds N]  (10 minutes; --short: 2 minutes)
#include "BenchOptions.h"
#include "Data.h"
#include "DataSaver.h"
#include "DiagnosticsForm.h"
#include "ForkedLoad.h"
#include "LineReader.h"
#include "MainWindow.h"
#include "ObjectCensus.h"
#include "PeerHarness.h"
#include "PeerMessenger.h"
#include "ProcessFigures.h"
#include "RoomTabWidget.h"
#include "SearchForm.h"
#include "SearchResultMenuOptions.h"
#include "SearchResultsForm.h"
#include "Server.h"
#include "SharesForm.h"
#include "SoakPeer.h"
#include "StoreCensus.h"
#include "StoreFunctions.h"
#include "TabWidget.h"
#include "TestServer.h"
#include "TimerManager.h"
#include "TransferQueueManager.h"
#include "Ui_MainWindow.h"
#include "ViewHarness.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTimer>
#include <QTreeWidget>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace
{
constexpr int peerCount = 20;
const QByteArray roomName = "soak";
constexpr int clientFiles = 30;
// For the full ten minutes; shorter runs do proportionally less.
constexpr int fullSeconds = 600;
constexpr int transfersPerFullRun = 200;
constexpr int searchPeriodMs = 3000;
constexpr int browsePeriodMs = 10000;
constexpr int chatPeriodMs = 50;
constexpr int roomHopPeriodMs = 2000;
constexpr int reloginPeriodMs = 15000;
// A user who already reported a file is not shown it again while a page holds it: each search's
// page is closed before the next search.
constexpr int searchPagesKept = 1;
constexpr double rssGrowthAimPercent = 5.0;
constexpr qint64 stallAimMs = 200;
constexpr int waitMs = 60000;

struct Options
{
    int seconds = fullSeconds;
};

QByteArray PeerName(int i_index)
{
    return "peer" + QByteArray::number(i_index + 1).rightJustified(2, '0');
}

int Scaled(int i_fullCount, int i_seconds)
{
    return std::max(1, int(qint64(i_fullCount) * i_seconds / fullSeconds));
}

// ---- The other users (second process) ----

class Load
{
public:
    Load(int i_toClient, int i_fromClient) : m_toClient(i_toClient), m_commands(i_fromClient) {}

    int Run();

private:
    void Go(quint16 i_clientPort, int i_seconds);
    void Stop();
    SoakPeer& Peer(int i_index) { return *m_peers[size_t(i_index)]; }
    void StartTimer(QTimer& i_timer, int i_periodMs, std::function<void()> i_step);

    int m_toClient;
    LineReader m_commands;
    TestServer m_server;
    std::vector<std::unique_ptr<SoakPeer>> m_peers;
    std::vector<bool> m_inRoom;
    QList<QByteArray> m_clientFiles;
    QTimer m_chat, m_roomHop, m_relogin, m_uploads, m_commandTimer;
    QList<QByteArray> m_pending;
    bool m_loggingIn = false;
    bool m_running = false;
    long long m_lines = 0;
    int m_hop = 0, m_relog = 0, m_upload = 0;
};

void Load::StartTimer(QTimer& i_timer, int i_periodMs, std::function<void()> i_step)
{
    QObject::connect(&i_timer, &QTimer::timeout, i_step);
    i_timer.start(i_periodMs);
}

int Load::Run()
{
    if (!m_server.Listen(TestServer::kDefaultPort))
    {
        LineReader::Write(m_toClient, "failed: port 2242 of 127.0.0.1 is taken");
        return 1;
    }
    m_server.SetRecording(false);
    for (int l_index = 0; l_index < peerCount; ++l_index)
    {
        m_peers.push_back(std::make_unique<SoakPeer>(m_server.Port(), PeerName(l_index)));
        Peer(l_index).LogIn();
        Peer(l_index).EnterRoom(roomName);
        m_inRoom.push_back(true);
    }
    (void)QTest::qWaitFor([this] { return m_server.RoomMembers(roomName).size() == peerCount; },
                          waitMs);
    LineReader::Write(m_toClient, "ready");
    // Commands wait for any login under way: a login waits for the server with the event loop
    // running, and a command run inside that wait would outlast it.
    m_commands.m_onLine = [this](const QByteArray& i_line) { m_pending.append(i_line); };
    // The client ended without a word.
    m_commands.m_onEnd = [this] { m_pending.append("quit"); };
    QObject::connect(&m_commandTimer, &QTimer::timeout,
                     [this]
                     {
                         if (m_loggingIn || m_pending.isEmpty())
                             return;
                         const QList<QByteArray> l_words = m_pending.takeFirst().split(' ');
                         if (l_words[0] == "go" && l_words.size() == 3)
                             Go(quint16(l_words[1].toUInt()), l_words[2].toInt());
                         else if (l_words[0] == "stop")
                             Stop();
                         else if (l_words[0] == "quit")
                             QCoreApplication::quit();
                     });
    m_commandTimer.start(50);
    return QCoreApplication::exec();
}

void Load::Go(quint16 i_clientPort, int i_seconds)
{
    m_running = true;
    for (auto& lp_peer : m_peers)
        lp_peer->SetClientPort(i_clientPort);
    // The client's file names, as its share list gives them, for the users' download requests.
    QObject::connect(&Peer(0), &SoakPeer::ClientListReceived,
                     [this](const QList<QByteArray>& i_paths) { m_clientFiles = i_paths; });
    Peer(0).BrowseClient();

    StartTimer(m_chat, chatPeriodMs,
               [this]
               {
                   // The next user in the room says a line.
                   for (int l_try = 0; l_try < peerCount; ++l_try)
                   {
                       const int l_index = int(m_lines++ % peerCount);
                       if (m_inRoom[size_t(l_index)])
                       {
                           Peer(l_index).Say(roomName, "line " + QByteArray::number(m_lines) +
                                                           " of the soak, from " +
                                                           PeerName(l_index));
                           return;
                       }
                   }
               });
    StartTimer(m_roomHop, roomHopPeriodMs,
               [this]
               {
                   // One user leaves the room and comes back a second later.
                   const int l_index = m_hop++ % peerCount;
                   if (!m_inRoom[size_t(l_index)] || !Peer(l_index).IsLoggedIn())
                       return;
                   Peer(l_index).LeaveRoom(roomName);
                   m_inRoom[size_t(l_index)] = false;
                   QTimer::singleShot(1000, &m_roomHop,
                                      [this, l_index]
                                      {
                                          if (!m_running || !Peer(l_index).IsLoggedIn())
                                              return;
                                          Peer(l_index).EnterRoom(roomName);
                                          m_inRoom[size_t(l_index)] = true;
                                      });
               });
    StartTimer(m_relogin, reloginPeriodMs,
               [this]
               {
                   // One user logs out, and in again five seconds later.
                   const int l_index = (7 * m_relog++) % peerCount;
                   if (!Peer(l_index).IsLoggedIn())
                       return;
                   Peer(l_index).LogOut();
                   m_inRoom[size_t(l_index)] = false;
                   QTimer::singleShot(5000, &m_relogin,
                                      [this, l_index]
                                      {
                                          if (!m_running)
                                              return;
                                          m_loggingIn = true;
                                          Peer(l_index).LogIn();
                                          m_loggingIn = false;
                                          Peer(l_index).EnterRoom(roomName);
                                          m_inRoom[size_t(l_index)] = true;
                                      });
               });
    const int l_uploads = Scaled(transfersPerFullRun, i_seconds);
    StartTimer(m_uploads, i_seconds * 1000 / l_uploads,
               [this]
               {
                   // A user asks the client for one of its files.
                   if (m_clientFiles.isEmpty())
                       return;
                   const int l_index = (3 * m_upload) % peerCount;
                   if (Peer(l_index).IsLoggedIn())
                       Peer(l_index).QueueFromClient(
                           m_clientFiles[m_upload % m_clientFiles.size()]);
                   ++m_upload;
               });
}

void Load::Stop()
{
    m_running = false;
    for (QTimer* lp_timer : {&m_chat, &m_roomHop, &m_relogin, &m_uploads})
        lp_timer->stop();
    // Every user back online and in the room, as before the load.
    for (int l_index = 0; l_index < peerCount; ++l_index)
    {
        if (!Peer(l_index).IsLoggedIn())
            Peer(l_index).LogIn();
        if (!m_inRoom[size_t(l_index)])
            Peer(l_index).EnterRoom(roomName);
        m_inRoom[size_t(l_index)] = true;
    }
    // The file connections end by themselves: the last bytes of each.
    (void)QTest::qWaitFor(
        [this]
        {
            int l_running = 0;
            for (auto& lp_peer : m_peers)
                l_running += lp_peer->TransfersRunning();
            return l_running == 0;
        },
        waitMs);
    SoakPeer::Figures l_sum;
    for (auto& lp_peer : m_peers)
    {
        const SoakPeer::Figures& l_figures = lp_peer->GetFigures();
        l_sum.searchesAnswered += l_figures.searchesAnswered;
        l_sum.listsSent += l_figures.listsSent;
        l_sum.filesSent += l_figures.filesSent;
        l_sum.filesReceived += l_figures.filesReceived;
        l_sum.bytesReceived += l_figures.bytesReceived;
    }
    LineReader::Write(m_toClient, "stopped " + QByteArray::number(l_sum.searchesAnswered) + ' ' +
                                      QByteArray::number(l_sum.listsSent) + ' ' +
                                      QByteArray::number(l_sum.filesSent) + ' ' +
                                      QByteArray::number(l_sum.filesReceived) + ' ' +
                                      QByteArray::number(l_sum.bytesReceived) + ' ' +
                                      QByteArray::number(m_lines) + ' ' +
                                      QByteArray::number(m_upload));
}

// ---- The client (this process) ----

struct Census
{
    StoreCensus::Counts items;
    std::size_t connections = 0;
    long long sockets = 0;
    long long objects = 0;
    long long heapKb = 0;
    std::map<std::string, long long> classes;
    // The window's actions by the class of their owner: tool bars, menus.
    std::map<std::string, int> actionOwners;
    int pages = 0;
};

// What the client keeps by design once the load is over, each bounded by what it stands for, not
// by the length of the run: every user met (the store keeps users; users transferred with stay
// watched for the rest of the run), each search text, a log page per category, the remembered
// sizes of each kind of widget, the tool bar's state, settings and the status words.
struct Kept
{
    const char* mp_type;
    const char* mp_reason;
    std::size_t m_bound;
};

std::size_t LeftItems(const StoreCensus::Counts& i_before, const StoreCensus::Counts& i_after,
                      int i_searches)
{
    const std::size_t l_users = peerCount + 1;
    const std::size_t l_few = 64;
    const Kept l_kept[] = {{"user", "one per user met", l_users},
                           {"user_address", "one per user met", l_users},
                           {"user_port", "one per user met", l_users},
                           {"user_obfuscated_port", "one per user met", l_users},
                           {"country_code", "one per user met", l_users},
                           {"average_download_speed", "one per user met", l_users},
                           {"shared_files_count", "one per user met", l_users},
                           {"track_user_node", "one per user watched", l_users},
                           {"is_online", "one flag item", 1},
                           {"is_tracked", "one flag item", 1},
                           {"search_request_text", "one per search text", std::size_t(i_searches)},
                           {"log", "one per log category", l_few},
                           {"log_widget", "one per log category", l_few},
                           {"sizer_size", "one per kind of widget", l_few},
                           {"sizer_splitter", "one per kind of widget", l_few},
                           {"sizer_splitter_index", "one per kind of widget", l_few},
                           {"sizer_tree", "one per kind of widget", l_few},
                           {"sizer_tree_column", "one per kind of widget", l_few},
                           {"active_action_key", "the tool bar's state", l_few},
                           {"active_action_value", "the tool bar's state", l_few},
                           {"global", "one per setting", l_few},
                           {"global_value", "one per setting", l_few},
                           {"download_entry_status", "one per status word", l_few},
                           {"upload_entry_status", "one per status word", l_few}};
    std::size_t l_left = 0;
    std::printf("  store items by type, before / after the load:\n");
    for (const auto& [l_type, l_count] : i_after)
    {
        const auto l_was = i_before.find(l_type);
        const std::size_t l_earlier = l_was == i_before.end() ? 0 : l_was->second;
        if (l_count == l_earlier)
            continue;
        const Kept* lp_kept = nullptr;
        for (const Kept& l_entry : l_kept)
            if (l_type == l_entry.mp_type)
                lp_kept = &l_entry;
        const bool l_within = lp_kept && l_count <= lp_kept->m_bound;
        const std::size_t l_grown = l_count > l_earlier ? l_count - l_earlier : 0;
        l_left += l_within ? 0 : l_grown;
        std::printf("    %-28s %6zu / %6zu  %s\n", l_type.c_str(), l_earlier, l_count,
                    l_within      ? (std::string("kept: ") + lp_kept->mp_reason).c_str()
                    : l_grown > 0 ? "LEFT OVER"
                                  : "");
    }
    return l_left;
}

class Client
{
public:
    Client(const Options& i_options, const QString& i_home, int i_toLoad, int i_fromLoad)
        : m_options(i_options), m_home(i_home), m_toLoad(i_toLoad), m_replies(i_fromLoad)
    {
    }

    int Run();

private:
    Ui_MainWindow& Ui() { return *mainWindow->Ui(); }
    double Elapsed() const { return double(m_clock.elapsed()) / 1000.0; }
    void SearchStep();
    void DownloadFrom(SearchResultsForm* ip_page);
    void BrowseStep();
    void Sample();
    int OpenPages();
    // Closes every page, removes the transfers and lets the idle connections expire.
    void Tidy();
    Census Take();
    int CheckDownloads();

    Options m_options;
    QString m_home;
    int m_toLoad;
    LineReader m_replies;
    std::unique_ptr<MainWindow> mp_window;
    QElapsedTimer m_clock;
    qint64 m_steadyOffset = 0;
    // The stall timer: when it last fired, and the latest it has been.
    QElapsedTimer m_sinceTick;
    qint64 m_longestStall = 0;
    double m_longestStallAt = 0;
    int m_searches = 0;
    int m_downloadPicks = 0;
    int m_downloadsStarted = 0;
    int m_downloadsAimed = 0;
    int m_fewestAnswering = peerCount;
    long long m_resultsShown = 0;
    int m_browses = 0;
    struct RssSample
    {
        double seconds;
        long long rssKb;
        long long logLines;
    };
    std::vector<RssSample> m_rss;
};

void Client::SearchStep()
{
    TabWidget* lp_tabs = Ui().searchForm->SearchTabControl();
    if (lp_tabs->count() > 0)
        DownloadFrom(qobject_cast<SearchResultsForm*>(lp_tabs->widget(lp_tabs->count() - 1)));
    while (lp_tabs->count() >= searchPagesKept)
        Ui().searchForm->OnTabCloseRequested(0);
    QLineEdit* lp_edit = Ui().searchForm->SearchEdit();
    lp_edit->setText(QStringLiteral("soak %1").arg(++m_searches));
    QTest::keyClick(lp_edit, Qt::Key_Return);
}

void Client::DownloadFrom(SearchResultsForm* ip_page)
{
    if (!ip_page)
        return;
    QTreeWidget* lp_tree = ip_page->searchResults();
    m_fewestAnswering = std::min(m_fewestAnswering, lp_tree->topLevelItemCount());
    for (QTreeWidgetItemIterator l_row(lp_tree); *l_row; ++l_row)
        m_resultsShown += (*l_row)->childCount() == 0 ? 1 : 0;
    // Each file of each user once, spread over the users; a file whose user is offline just now
    // is passed over.
    const double l_share = std::min(1.0, Elapsed() / m_options.seconds);
    while (m_downloadsStarted < int(l_share * m_downloadsAimed) &&
           m_downloadPicks < peerCount * SoakPeer::filesShared)
    {
        const int l_pick = m_downloadPicks++;
        const QByteArray l_user = PeerName(l_pick % peerCount);
        const QString l_file = QString::fromLatin1("soak-" + l_user + '-' +
                                                   QByteArray::number(l_pick / peerCount) + ".bin");
        const QList<QTreeWidgetItem*> l_rows = lp_tree->findItems(
            l_file, Qt::MatchExactly | Qt::MatchRecursive, SearchResultMenuOptions::FileColumn);
        if (l_rows.isEmpty())
            continue;
        Ui().searchForm->OnResultDoubleClicked(l_rows.first(), 0);
        ++m_downloadsStarted;
    }
}

void Client::BrowseStep()
{
    QTabWidget* lp_tabs = sharesForm->TabControl();
    while (lp_tabs->count() > 0)
        sharesForm->OnTabCloseRequested(0);
    sharesForm->OpenShareBrowse(PeerName(m_browses++ % peerCount).toStdString());
}

int Client::OpenPages()
{
    return Ui().searchForm->SearchTabControl()->count() +
           Ui().searchForm->WishListTabControl()->count() + sharesForm->TabControl()->count() +
           Ui().roomsTabControl->count() + Ui().chatTabControl->count();
}

void Client::Sample()
{
    const ProcessFigures::MemoryFigures l_memory = ProcessFigures::Memory();
    std::size_t l_items = 0;
    for (Type* lp_type : d.Types())
        l_items += lp_type->IsRemoved() ? 0 : lp_type->ItemCount();
    long long l_logLines = 0;
    for (QTextBrowser* lp_page : diagnosticsForm->findChildren<QTextBrowser*>())
        l_logLines += lp_page->document()->blockCount();
    m_rss.push_back({Elapsed(), l_memory.rssKb, l_logLines});
    std::printf("  %4.0f s  RSS %6.1f MB (heap %6.1f MB)  store items %7zu  downloads %3zu  "
                "uploads %3zu  connections %3zu  log lines %6lld  longest stall so far %lld ms\n",
                Elapsed(), double(l_memory.rssKb) / 1024.0, double(l_memory.heapInUseKb) / 1024.0,
                l_items, d.GetType("download_entry")->ItemCount(),
                d.GetType("upload_entry")->ItemCount(), PeerHarness::ConnectionItems(), l_logLines,
                m_longestStall);
    std::fflush(stdout);
}

Census Client::Take()
{
    Census l_census;
    l_census.items = StoreCensus::Take();
    l_census.connections = PeerHarness::ConnectionItems() + d.GetType("dnet_child")->ItemCount() +
                           d.GetType("dnet_parent_candidate")->ItemCount();
    l_census.sockets = ObjectCensus::Sockets();
    l_census.objects = ObjectCensus::Objects();
    l_census.classes = ObjectCensus::ByClass();
    l_census.heapKb = ProcessFigures::HeapInUseKb();
    for (QAction* lp_action : mainWindow->findChildren<QAction*>())
        ++l_census.actionOwners[lp_action->parent()->metaObject()->className()];
    l_census.pages = OpenPages();
    return l_census;
}

void Client::Tidy()
{
    while (Ui().searchForm->SearchTabControl()->count() > 0)
        Ui().searchForm->OnTabCloseRequested(0);
    while (sharesForm->TabControl()->count() > 0)
        sharesForm->OnTabCloseRequested(0);
    for (int l_tab = Ui().chatTabControl->count() - 1; l_tab >= 0; --l_tab)
        mainWindow->OnChatTabClosed(l_tab);
    for (int l_tab = Ui().roomsTabControl->count() - 1; l_tab >= 0; --l_tab)
        mainWindow->OnRoomTabClosed(l_tab);
    (void)QTest::qWaitFor([this] { return Ui().roomsTabControl->count() == 0; }, waitMs);
    for (Item* lp_download : d.GetType("download_entry")->GetItems())
        transferQueueManager->RemoveDownload(lp_download);
    for (Item* lp_upload : d.GetType("upload_entry")->GetItems())
        transferQueueManager->RemoveUpload(lp_upload);
    // Connections idle for an hour on the messenger's clock expire at its next half-minute tick.
    for (int l_tick = 0; l_tick < 20 && PeerHarness::ConnectionItems() > 0; ++l_tick)
    {
        m_steadyOffset += 3600000;
        PeerHarness::Tick();
        (void)QTest::qWaitFor([] { return PeerHarness::ConnectionItems() == 0; }, 1000);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

int Client::CheckDownloads()
{
    // What arrived, byte for byte.
    int l_matching = 0;
    const QString l_complete = m_home + QStringLiteral("/downloads/complete");
    for (QDirIterator l_file(l_complete, QDir::Files, QDirIterator::Subdirectories);
         l_file.hasNext();)
    {
        const QString l_path = l_file.next();
        QFile l_read(l_path);
        const QByteArray l_user = l_file.fileName().section(QLatin1Char('-'), 1, 1).toLatin1();
        const QByteArray l_shared = "soak\\" + l_user + '\\' + l_file.fileName().toLatin1();
        if (l_read.open(QIODevice::ReadOnly) && l_read.readAll() == SoakPeer::FileBytes(l_shared))
            ++l_matching;
    }
    return l_matching;
}

int Client::Run()
{
    const QByteArray l_ready = m_replies.Next(2 * waitMs);
    if (l_ready != "ready")
    {
        std::fprintf(stderr, "the other users did not start: %s\n", l_ready.constData());
        return 1;
    }
    mp_window = std::make_unique<MainWindow>();
    mp_window->Init();
    // Expiry reads the steady clock through this, so that the end can move it on.
    peerMessenger->SetSteadyClock(
        [this]
        {
            return std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                       .count() +
                   m_steadyOffset;
        });
    // The users all come from 127.0.0.1, each standing for a machine of its own.
    PeerMessenger::Limits l_limits = peerMessenger->GetLimits();
    l_limits.m_connectionsPerAddress = 100 * peerCount;
    peerMessenger->SetLimits(l_limits);
    // The shared folder, as the Options page adds one.
    const QString l_share = m_home + QStringLiteral("/share");
    ItemPtr(d.GetType("shared_folder")->NewItem(l_share.toStdString())).NewItem("shared_public");
    const bool l_started = QTest::qWaitFor(
        [this]
        {
            return d.GetType("shared_file")->ItemCount() == clientFiles &&
                   !Ui().roomList->findItems(QString::fromLatin1(roomName), Qt::MatchExactly)
                        .isEmpty() &&
                   peerMessenger->ListeningPort() != 0;
        },
        waitMs);
    if (!l_started)
    {
        std::fprintf(stderr, "the client did not log in and share its folder\n");
        return 1;
    }
    const Census l_before = Take();

    m_downloadsAimed = Scaled(transfersPerFullRun, m_options.seconds);
    std::printf("Client soak: the main window with every service, %d other users (a second "
                "process), %d s; searches every %d s, a browse every %d s, %d downloads and %d "
                "uploads, room chat at %d lines a second, users leaving and entering the room and "
                "logging out and in\n",
                peerCount, m_options.seconds, searchPeriodMs / 1000, browsePeriodMs / 1000,
                m_downloadsAimed, m_downloadsAimed, 1000 / chatPeriodMs);
    std::fflush(stdout);
    mainWindow->OnRoomListItemDoubleClicked(
        Ui().roomList->findItems(QString::fromLatin1(roomName), Qt::MatchExactly).first(), 0);
    LineReader::Write(m_toLoad, "go " + QByteArray::number(peerMessenger->ListeningPort()) + ' ' +
                                    QByteArray::number(m_options.seconds));

    QTimer l_stall, l_search, l_browse;
    l_stall.setTimerType(Qt::PreciseTimer);
    QObject::connect(&l_stall, &QTimer::timeout,
                     [this]
                     {
                         const qint64 l_late = m_sinceTick.restart() - 10;
                         if (l_late > m_longestStall)
                         {
                             m_longestStall = l_late;
                             m_longestStallAt = Elapsed();
                         }
                     });
    QObject::connect(&l_search, &QTimer::timeout, [this] { SearchStep(); });
    QObject::connect(&l_browse, &QTimer::timeout, [this] { BrowseStep(); });
    m_clock.start();
    m_sinceTick.start();
    l_stall.start(10);
    l_search.start(searchPeriodMs);
    l_browse.start(browsePeriodMs);
    // An event loop of its own, as the program's: QTest's waits sleep between their turns.
    QEventLoop l_loop;
    QTimer l_sample;
    const int l_samplePeriod = m_options.seconds > 300 ? 30 : 10;
    QObject::connect(&l_sample, &QTimer::timeout,
                     [&]
                     {
                         Sample();
                         // The soak's own measuring is not the client's stall.
                         m_sinceTick.restart();
                         if (Elapsed() >= m_options.seconds - 1)
                             l_loop.quit();
                     });
    l_sample.start(l_samplePeriod * 1000);
    l_loop.exec();
    l_sample.stop();
    l_search.stop();
    l_browse.stop();

    LineReader::Write(m_toLoad, "stop");
    const QList<QByteArray> l_load = m_replies.Next(2 * waitMs).split(' ');
    // Downloads still under way may finish; the rest are removed.
    (void)QTest::qWaitFor([] { return d.GetType("download_entry")->ItemCount() == 0; }, 20000);
    l_stall.stop();
    const int l_downloadsDone = int(d.GetType("complete_download")->ItemCount());
    const int l_downloadsIntact = CheckDownloads();
    Tidy();
    // The list of finished downloads is the user's record, kept on purpose: emptied here, so that
    // what remains is what nothing keeps.
    for (Item* lp_record : d.GetType("complete_download")->GetItems())
        ItemPtr(lp_record).Remove();
    const Census l_after = Take();

    std::printf("Load:\n");
    std::printf("  searches %d; results shown %lld; fewest users answering one search %d of %d; "
                "searches answered by the users %s\n",
                m_searches, m_resultsShown, m_fewestAnswering, peerCount,
                l_load.value(1).constData());
    std::printf("  browses %d; share lists sent by the users %s\n", m_browses,
                l_load.value(2).constData());
    std::printf("  downloads started %d, finished %d, byte for byte %d (files sent by the users "
                "%s)\n",
                m_downloadsStarted, l_downloadsDone, l_downloadsIntact,
                l_load.value(3).constData());
    std::printf("  uploads asked for %s, received whole by the users %s (%.1f MB)\n",
                l_load.value(7).constData(), l_load.value(4).constData(),
                l_load.value(5).toDouble() / 1048576.0);
    std::printf("  room chat lines %s\n", l_load.value(6).constData());

    std::printf("Left after every page was closed, the transfers removed and the connections "
                "expired (against before the load):\n");
    const std::size_t l_leftItems = LeftItems(l_before.items, l_after.items, m_searches);
    std::printf("  store items before / after:    %zu / %zu\n", StoreCensus::Total(l_before.items),
                StoreCensus::Total(l_after.items));
    std::printf("  peer connection items:         %zu / %zu\n", l_before.connections,
                l_after.connections);
    std::printf("  sockets alive:                 %lld / %lld\n", l_before.sockets,
                l_after.sockets);
    std::printf("  objects alive:                 %lld / %lld\n", l_before.objects,
                l_after.objects);
    ObjectCensus::PrintChanges(l_before.classes, l_after.classes);
    for (const auto& [l_owner, l_count] : l_after.actionOwners)
        if (const auto l_was = l_before.actionOwners.find(l_owner);
            l_was == l_before.actionOwners.end() || l_was->second != l_count)
            std::printf("    actions of a %s: %d -> %d\n", l_owner.c_str(),
                        l_was == l_before.actionOwners.end() ? 0 : l_was->second, l_count);
    std::printf("  pages open:                    %d / %d\n", l_before.pages, l_after.pages);
    std::printf("  downloads / uploads listed:    %zu / %zu\n",
                d.GetType("download_entry")->ItemCount(), d.GetType("upload_entry")->ItemCount());
    int l_pagesOverCap = 0;
    const QList<QTextBrowser*> l_logPages = diagnosticsForm->findChildren<QTextBrowser*>();
    int l_longestLog = 0;
    for (QTextBrowser* lp_page : l_logPages)
    {
        l_longestLog = std::max(l_longestLog, lp_page->document()->blockCount());
        l_pagesOverCap += lp_page->document()->blockCount() > DiagnosticsForm::MaxLinesPerPage;
    }
    std::printf("  log pages %lld, the longest %d lines (at most %d)\n",
                static_cast<long long>(l_logPages.size()), l_longestLog,
                DiagnosticsForm::MaxLinesPerPage);

    // What the log pages hold, measured by emptying them once everything else is counted.
    const long long l_heapWithLogs = ProcessFigures::HeapInUseKb();
    long long l_logLines = 0;
    for (QTextBrowser* lp_page : l_logPages)
        l_logLines += lp_page->document()->blockCount();
    for (QTextBrowser* lp_page : l_logPages)
        lp_page->clear();
    const long long l_heapWithoutLogs = ProcessFigures::Memory().heapInUseKb;
    const double l_bytesPerLogLine =
        1024.0 * double(l_heapWithLogs - l_heapWithoutLogs) / double(std::max(1LL, l_logLines));
    std::printf("  heap in use before the load %.1f MB, after it %.1f MB, of which the log pages "
                "%.1f MB (about %.0f bytes a line)\n",
                double(l_before.heapKb) / 1024.0, double(l_heapWithLogs) / 1024.0,
                double(l_heapWithLogs - l_heapWithoutLogs) / 1024.0, l_bytesPerLogLine);
    std::printf("RSS over the run (MB):");
    for (const RssSample& l_sample : m_rss)
        std::printf(" %.0fs:%.1f", l_sample.seconds, double(l_sample.rssKb) / 1024.0);
    std::printf("\n");
    // The second half: from the sample at the middle to the last.
    const RssSample* lp_middle = &m_rss.back();
    for (const RssSample& l_sample : m_rss)
        if (l_sample.seconds >= m_options.seconds / 2.0 - 1)
        {
            lp_middle = &l_sample;
            break;
        }
    const double l_growth =
        100.0 * double(m_rss.back().rssKb - lp_middle->rssKb) / double(lp_middle->rssKb);
    const std::size_t l_left = l_leftItems + l_after.connections +
                               std::size_t(std::max(0LL, l_after.sockets - l_before.sockets)) +
                               std::size_t(l_after.pages) +
                               d.GetType("download_entry")->ItemCount() +
                               d.GetType("upload_entry")->ItemCount() + std::size_t(l_pagesOverCap);
    // The log pages fill up to their bound within the run: their share of the growth.
    const double l_logGrowthKb =
        double(m_rss.back().logLines - lp_middle->logLines) * l_bytesPerLogLine / 1024.0;
    std::printf("  RSS growth over the second half without the log pages' growth (%lld lines): "
                "%+.1f %%\n",
                m_rss.back().logLines - lp_middle->logLines,
                100.0 * (double(m_rss.back().rssKb - lp_middle->rssKb) - l_logGrowthKb) /
                    double(lp_middle->rssKb));
    std::printf("aim: client soak RSS growth over the second half: %+.1f %% (aim %.0f %%): %s\n",
                l_growth, rssGrowthAimPercent, l_growth <= rssGrowthAimPercent ? "met" : "not met");
    std::printf("aim: client soak things left over (items, connections, sockets, pages, "
                "transfers): %zu (aim 0): %s\n",
                l_left, l_left == 0 ? "met" : "not met");
    std::printf("aim: client soak longest GUI stall: %lld ms at %.0f s (aim %lld ms): %s\n",
                m_longestStall, m_longestStallAt, stallAimMs,
                m_longestStall <= stallAimMs ? "met" : "not met");
    std::fflush(stdout);
    LineReader::Write(m_toLoad, "quit");
    mp_window.reset();

    // Time and memory depend on the machine; what is left over, or a load that never reached the
    // client, does not.
    const bool l_loadReached = m_resultsShown > 0 && l_downloadsDone > 0 &&
                               l_load.value(4).toInt() > 0 && l_load.value(2).toInt() > 0;
    if (!l_loadReached)
        std::fprintf(stderr, "the load did not reach the client\n");
    return l_left == 0 && l_loadReached ? 0 : 1;
}

// The data file of a user who has logged in before: name and password, no gateway search, peer
// ports of the system's choosing, downloads below the home, finished transfers cleared. Written by
// the client's own data saver, in a process of its own: the store is one per process.
bool WriteDataFile(const QString& i_home)
{
    const pid_t l_writer = fork();
    if (l_writer == 0)
    {
        int l_argc = 1;
        char l_name[] = "client_soak";
        char* l_argv[] = {l_name, nullptr};
        QCoreApplication l_application(l_argc, l_argv);
        TimerManager l_timers;
        DataSaver l_saver;
        Server l_server(QStringLiteral("127.0.0.1"), 1);
        l_server.CreateData();
        DeclareSettingsTypes();
        DeclareUserDataTypes();
        const QString l_downloads = i_home + QStringLiteral("/downloads");
        const std::pair<const char*, QString> l_settings[] = {
            {"username", QStringLiteral("me")},
            {"password", QStringLiteral("pw")},
            {"use_upnp", QStringLiteral("no")},
            {"listening_port", QStringLiteral("0")},
            {"obfuscated_listening_port", QStringLiteral("0")},
            {"download_folder", l_downloads},
            {"clear_complete_downloads", QStringLiteral("yes")},
            {"clear_complete_aborted_uploads", QStringLiteral("yes")}};
        for (const auto& [lp_key, l_value] : l_settings)
            SetSetting(lp_key, l_value);
        l_saver.Save(i_home + QStringLiteral("/.Brindlex"));
        _exit(0);
    }
    int l_status = 0;
    return l_writer > 0 && waitpid(l_writer, &l_status, 0) == l_writer && WIFEXITED(l_status) &&
           WEXITSTATUS(l_status) == 0;
}

bool WriteSharedFiles(const QString& i_home)
{
    QDir(i_home).mkpath(QStringLiteral("share"));
    for (int l_file = 0; l_file < clientFiles; ++l_file)
    {
        QFile l_out(i_home + QStringLiteral("/share/shared-%1.bin").arg(l_file));
        if (!l_out.open(QIODevice::WriteOnly) ||
            l_out.write(SoakPeer::FileBytes("client" + QByteArray::number(l_file))) < 0)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    // Every socket of this program and of the users is bound to the loopback address only.
    if (!qEnvironmentVariableIsSet("CLIENT_SOAK_LOOPBACK"))
    {
        setenv("CLIENT_SOAK_LOOPBACK", "1", 1);
        setenv("LD_PRELOAD", LOOPBACK_BIND_LIBRARY, 1);
        execv("/proc/self/exe", argv);
        std::perror("exec");
        return 1;
    }
    Options l_options;
    std::vector<char*> l_arguments;
    for (int l_index = 0; l_index < argc; ++l_index)
    {
        if (std::strcmp(argv[l_index], "--short") == 0)
            l_options.seconds = fullSeconds / 5;
        else
            l_arguments.push_back(argv[l_index]);
    }
    BenchOptions::Parse(int(l_arguments.size()), l_arguments.data(),
                        {{"--seconds", &l_options.seconds, 20}});

    QTemporaryDir l_home;
    if (!l_home.isValid() || !WriteSharedFiles(l_home.path()) || !WriteDataFile(l_home.path()))
    {
        std::fprintf(stderr, "cannot prepare the client's home\n");
        return 1;
    }
    setenv("HOME", QFile::encodeName(l_home.path()).constData(), 1);
    ViewHarness::PrepareEnvironment();

    const ForkedLoad::Ends l_load = ForkedLoad::Start(
        [argc, argv](int i_fromClient, int i_toClient)
        {
            int l_argc = argc;
            QCoreApplication l_application(l_argc, argv);
            Load l_users(i_toClient, i_fromClient);
            return l_users.Run();
        });
    if (l_load.m_pid < 0)
        return 1;

    ObjectCensus::Start();
    int l_result = 1;
    {
        QApplication l_application(argc, argv);
        Client l_client(l_options, l_home.path(), l_load.m_toLoad, l_load.m_fromLoad);
        l_result = l_client.Run();
    }
    ObjectCensus::Stop();
    ::close(l_load.m_toLoad);
    waitpid(l_load.m_pid, nullptr, 0);
    return l_result;
}
