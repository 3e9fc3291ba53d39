// Speed of a room page as users come and go. 5,000 users join a room one by one, each as the
// server's join message handled by the server connection, with the event loop run after each as
// it runs between two messages from the network; then 1,000 of them leave the same way. Printed:
// the cost per join around 500 and around 5,000 users, and the whole run against a bare
// QTreeWidget, sorted by name, filled with the same rows (text and flags) one by one and then
// emptied of the same 1,000. Both lists are shown offscreen at the same size with the same
// columns, laid out and painted before the clock starts, and both timings end once the list is
// laid out and painted again. The client is logged in to a test server on 127.0.0.1, which sends
// nothing. Times are the GUI thread's processor time, the best of five rounds (the growth of the
// cost per join: the median of the rounds' own); the clock is read only around the measured
// stretches, so that reading it costs neither side.

#include "ActionSetToolBar.h"
#include "Data.h"
#include "GeneralFunctions.h"
#include "MemStream.h"
#include "QRoomUserListItemWidget.h"
#include "RoomForm.h"
#include "Server.h"
#include "ServerHarness.h"
#include "StoreFunctions.h"
#include "ViewsBench.h"
#include "WireWriter.h"

#include <QApplication>
#include <QHeaderView>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace
{
constexpr int joins = 5000;
constexpr int leaves = 1000;
constexpr int rounds = 5;
// Event loop runs that leave a shown list laid out and painted: its layout and its paint each
// wait for a later run than the change that asks for them.
constexpr int settlingRuns = 4;
const int columnWidths[] = {20, 25, 90, 20, 50, 40};
// The joins averaged for "at N users": the hundred that end there.
constexpr int window = 100;
constexpr quint32 userJoinedRoomCode = 16;
constexpr quint32 userLeftRoomCode = 17;
const char* const countries[] = {"de", "fr", "se", "us", "br", "jp", "zz", ""};

double ThreadClockMilliseconds()
{
    timespec l_now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &l_now);
    return double(l_now.tv_sec) * 1e3 + double(l_now.tv_nsec) / 1e6;
}

QByteArray Name(int i_index)
{
    // Not in join order by name: each row lands somewhere within the list.
    return "user " + QByteArray::number((i_index * 7919) % 100003);
}

quint32 Speed(int i_index)
{
    return quint32(i_index % 7 == 0 ? 0 : 1000 + i_index % 50000);
}

quint32 Files(int i_index)
{
    return quint32((i_index * 31) % 20000);
}

const char* Country(int i_index)
{
    return countries[i_index % std::size(countries)];
}

void Settle()
{
    for (int l_run = 0; l_run < settlingRuns; ++l_run)
        QCoreApplication::processEvents();
}

void Handle(Server& i_server, quint32 i_code, const QByteArray& i_fields)
{
    MemStream l_body;
    l_body.WriteBuffer(i_fields.constData(), static_cast<unsigned long>(i_fields.size()));
    i_server.HandleMessage(int(i_code), l_body);
}

struct Figures
{
    double joinAt500 = 1e300;
    double joinAt5000 = 1e300;
    // Each round's cost per join at 5,000 against that at 500: the two windows of one round
    // share the machine's load of the moment, the best of each taken apart need not.
    std::vector<double> joinGrowths;
    double whole = 1e300;
    double bare = 1e300;
    // The page's list, which the bare one copies.
    QSize listSize;
};

void MeasureRoom(Server& i_server, Figures& i_figures)
{
    std::vector<QByteArray> l_joins, l_leaves;
    for (int l_index = 0; l_index < joins; ++l_index)
        l_joins.push_back(WireWriter()
                              .WriteString("lobby")
                              .WriteString(Name(l_index))
                              .WriteI32(2)
                              .WriteUserStats(Speed(l_index), 0, Files(l_index), 0)
                              .WriteI32(0)
                              .WriteString(Country(l_index))
                              .Bytes());
    for (int l_index = 0; l_index < leaves; ++l_index)
        l_leaves.push_back(
            WireWriter().WriteString("lobby").WriteString(Name(l_index * 5)).Bytes());

    d.RemoveAllItems();
    auto* lp_form = new RoomForm("lobby");
    lp_form->resize(748, 436);
    lp_form->show();
    Settle();
    auto* lp_list = lp_form->findChild<QTreeWidget*>();
    i_figures.listSize = lp_list->size();

    // The joins that end at each window's end are timed together.
    const double l_start = ThreadClockMilliseconds();
    double l_windowStart = 0, l_joinAt500 = 0, l_joinAt5000 = 0;
    for (int l_index = 0; l_index < joins; ++l_index)
    {
        if (l_index == 500 - window || l_index == joins - window)
            l_windowStart = ThreadClockMilliseconds();
        Handle(i_server, userJoinedRoomCode, l_joins[std::size_t(l_index)]);
        QCoreApplication::processEvents();
        if (l_index == 500 - 1)
            l_joinAt500 = (ThreadClockMilliseconds() - l_windowStart) / window * 1000.0;
        if (l_index == joins - 1)
            l_joinAt5000 = (ThreadClockMilliseconds() - l_windowStart) / window * 1000.0;
    }
    for (const QByteArray& l_leave : l_leaves)
    {
        Handle(i_server, userLeftRoomCode, l_leave);
        QCoreApplication::processEvents();
    }
    // Until the rows are in the list: waiting takes no processor time.
    while (lp_list->topLevelItemCount() != joins - leaves)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    Settle();
    const double l_whole = ThreadClockMilliseconds() - l_start;

    i_figures.joinGrowths.push_back(l_joinAt5000 / l_joinAt500);
    i_figures.joinAt500 = std::min(i_figures.joinAt500, l_joinAt500);
    i_figures.joinAt5000 = std::min(i_figures.joinAt5000, l_joinAt5000);
    i_figures.whole = std::min(i_figures.whole, l_whole);
    delete lp_form;
}

void MeasureBareFill(Figures& i_figures)
{
    QTreeWidget l_list;
    l_list.setColumnCount(6);
    l_list.setHeaderLabels({QString(), QString(), QStringLiteral("User"), QString(),
                            QStringLiteral("Files"), QStringLiteral("K/s")});
    for (int l_column = 0; l_column < 6; ++l_column)
        l_list.setColumnWidth(l_column, columnWidths[l_column]);
    l_list.header()->setStretchLastSection(true);
    l_list.setSortingEnabled(true);
    l_list.sortItems(2, Qt::AscendingOrder);
    l_list.resize(i_figures.listSize);
    l_list.show();
    Settle();
    std::vector<QTreeWidgetItem*> l_rows;
    const double l_start = ThreadClockMilliseconds();
    for (int l_index = 0; l_index < joins; ++l_index)
    {
        auto* lp_row = new QTreeWidgetItem();
        lp_row->setText(2, QString::fromLatin1(Name(l_index)));
        lp_row->setIcon(1, QRoomUserListItemWidget::Flag(Country(l_index)));
        lp_row->setText(4, CommafyNumber(Files(l_index)));
        lp_row->setText(5, QRoomUserListItemWidget::SpeedText(Speed(l_index)));
        l_list.addTopLevelItem(lp_row);
        l_rows.push_back(lp_row);
    }
    for (int l_index = 0; l_index < leaves; ++l_index)
        delete l_rows[std::size_t(l_index * 5)];
    Settle();
    i_figures.bare = std::min(i_figures.bare, ThreadClockMilliseconds() - l_start);
}

} // namespace

int RunRoomSection()
{
    ServerHarness l_harness;
    if (!l_harness.LogIn())
    {
        std::fprintf(stderr, "could not log in to the test server\n");
        return 1;
    }
    ActionSetToolBar l_actions;
    DeclareUserDataTypes();
    d.NewType("room_form", true, false, true);
    d["room"]->RelateToType("room_form", One, One, false);

    Figures l_figures;
    for (int l_round = 0; l_round < rounds; ++l_round)
    {
        MeasureRoom(l_harness.Client(), l_figures);
        MeasureBareFill(l_figures);
    }
    std::sort(l_figures.joinGrowths.begin(), l_figures.joinGrowths.end());
    std::printf("room: %d joins one by one, then %d leaves\n", joins, leaves);
    std::printf("  cost per join at %d users: %.1f us\n", 500, l_figures.joinAt500);
    std::printf("  cost per join at %d users: %.1f us\n", joins, l_figures.joinAt5000);
    std::printf("  whole run: %.1f ms; bare QTreeWidget fill of the same rows: %.1f ms\n",
                l_figures.whole, l_figures.bare);
    PrintAim("room: cost per join at 5,000 users against 500",
             l_figures.joinGrowths[l_figures.joinGrowths.size() / 2], "x", 1.5);
    PrintAim("room: whole run against the bare fill", l_figures.whole / l_figures.bare, "x", 3.0);
    l_harness.Reset();
    return 0;
}
