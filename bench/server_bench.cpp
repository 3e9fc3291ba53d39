// Cost of the two largest server messages, a room list (code 64) and a room join (code 14), at
// two sizes each, handled by Server::HandleMessage while a view follows the store's events. The
// cost per room or user must stay about the same when the message grows tenfold.
#include "Data.h"
#include "MemStream.h"
#include "Server.h"
#include "ServerHarness.h"
#include "TestSettings.h"
#include "WireWriter.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

namespace
{
constexpr int rounds = 5;

using Clock = std::chrono::steady_clock;

// What a room list and a room's user list would subscribe to.
class ViewStandIn : public DataHandler
{
public:
    ViewStandIn()
    {
        Type* lp_room = d.GetType("room");
        Type* lp_user = d.GetType("user");
        lp_room->m_itemAddedEvent.AddHandler(
            new EventHandler<ViewStandIn, Item*>(this, &ViewStandIn::OnItem));
        lp_user->m_itemAddedEvent.AddHandler(
            new EventHandler<ViewStandIn, Item*>(this, &ViewStandIn::OnItem));
        for (const char* lp_type : {"user_count", "is_private", "is_owner", "is_member"})
            Watch(lp_room, d.GetType(lp_type));
        Watch(lp_room, lp_user);
        for (const char* lp_type : {"average_download_speed", "shared_files_count", "country_code"})
            Watch(lp_user, d.GetType(lp_type));
    }

    long m_events = 0;

private:
    void Watch(Type* ip_a, Type* ip_b)
    {
        d.AddConnectionEventHandler(
            ip_a, ip_b,
            new EventHandler<ViewStandIn, ConnectionInfo&>(this, &ViewStandIn::OnConnection));
        d.AddDisconnectionEventHandler(
            ip_a, ip_b,
            new EventHandler<ViewStandIn, ConnectionInfo&>(this, &ViewStandIn::OnConnection));
    }
    void OnItem(Item*) { ++m_events; }
    void OnConnection(ConnectionInfo&) { ++m_events; }
};

QByteArray Name(const char* ip_prefix, int i_index)
{
    return QByteArray(ip_prefix) + QByteArray::number(i_index).rightJustified(6, '0');
}

// Public rooms, and one in fifty owned or a member of (half of those operated); i_shift changes
// every room's count.
QByteArray RoomList(int i_rooms, int i_shift)
{
    QList<QByteArray> l_public, l_owned, l_member, l_operated;
    QList<qint32> l_publicCounts, l_ownedCounts, l_memberCounts;
    for (int l_index = 0; l_index < i_rooms; ++l_index)
    {
        const QByteArray l_name = Name("room ", l_index);
        const qint32 l_count = (l_index + i_shift) % 300;
        if (l_index % 50 == 1)
        {
            l_owned.append(l_name);
            l_ownedCounts.append(l_count);
        }
        else if (l_index % 50 == 2)
        {
            l_member.append(l_name);
            l_memberCounts.append(l_count);
            if (l_index % 100 == 2)
                l_operated.append(l_name);
        }
        else
        {
            l_public.append(l_name);
            l_publicCounts.append(l_count);
        }
    }
    return WireWriter()
        .WriteStringList(l_public)
        .WriteI32List(l_publicCounts)
        .WriteStringList(l_owned)
        .WriteI32List(l_ownedCounts)
        .WriteStringList(l_member)
        .WriteI32List(l_memberCounts)
        .WriteStringList(l_operated)
        .Bytes();
}

QByteArray RoomJoin(int i_users, int i_offset)
{
    QList<QByteArray> l_users, l_countries;
    QList<qint32> l_statuses, l_slots;
    WireWriter l_stats;
    for (int l_index = 0; l_index < i_users; ++l_index)
    {
        l_users.append(Name("user ", l_index + i_offset));
        l_statuses.append(2);
        l_slots.append(0);
        l_stats.WriteUserStats(quint32(1000 + l_index % 5000), 0, quint32(l_index % 20000), 0);
        l_countries.append(Name("C", l_index % 200));
    }
    return WireWriter()
        .WriteString("lobby")
        .WriteStringList(l_users)
        .WriteI32List(l_statuses)
        .WriteI32(i_users)
        .WriteRaw(l_stats.Bytes())
        .WriteI32List(l_slots)
        .WriteStringList(l_countries)
        .WriteString("owner")
        .WriteStringList({"user 000001", "user 000002"})
        .Bytes();
}

MemStream Body(const QByteArray& i_fields)
{
    MemStream l_body;
    l_body.WriteBuffer(i_fields.constData(), static_cast<unsigned long>(i_fields.size()));
    return l_body;
}

double Microseconds(Clock::duration i_duration)
{
    return std::chrono::duration<double, std::micro>(i_duration).count();
}

// The fastest of the rounds, each on an emptied store, of a first message and of a second one
// that updates or replaces what the first made.
struct Figures
{
    double first = 1e300;
    double second = 1e300;
    long events = 0;
};

Figures Measure(ServerHarness& i_harness, quint32 i_code, const QByteArray& i_first,
                const QByteArray& i_second)
{
    Figures l_figures;
    for (int l_round = 0; l_round < rounds; ++l_round)
    {
        d.RemoveAllItems();
        TestSettings::SetSetting("accept_room_list", "yes");
        ViewStandIn l_view;
        MemStream l_first = Body(i_first);
        const Clock::time_point l_start = Clock::now();
        i_harness.Client().HandleMessage(int(i_code), l_first);
        const Clock::time_point l_middle = Clock::now();
        MemStream l_second = Body(i_second);
        i_harness.Client().HandleMessage(int(i_code), l_second);
        const Clock::time_point l_end = Clock::now();
        l_figures.first = std::min(l_figures.first, Microseconds(l_middle - l_start));
        l_figures.second = std::min(l_figures.second, Microseconds(l_end - l_middle));
        l_figures.events = l_view.m_events;
    }
    return l_figures;
}

void Report(const char* ip_what, const char* ip_unit, int i_small, const Figures& i_smallFigures,
            int i_large, const Figures& i_largeFigures)
{
    const double l_smallFirst = i_smallFigures.first / i_small;
    const double l_largeFirst = i_largeFigures.first / i_large;
    const double l_smallSecond = i_smallFigures.second / i_small;
    const double l_largeSecond = i_largeFigures.second / i_large;
    std::printf("%s, first message (makes the items):\n", ip_what);
    std::printf("  %6d %s: %8.3f us per %s (%ld store events seen)\n", i_small, ip_unit,
                l_smallFirst, ip_unit, i_smallFigures.events);
    std::printf("  %6d %s: %8.3f us per %s (%ld store events seen)\n", i_large, ip_unit,
                l_largeFirst, ip_unit, i_largeFigures.events);
    std::printf("  ratio of the per-%s costs: %.2f\n", ip_unit, l_largeFirst / l_smallFirst);
    std::printf("%s, second message (updates or replaces them):\n", ip_what);
    std::printf("  %6d %s: %8.3f us per %s\n", i_small, ip_unit, l_smallSecond, ip_unit);
    std::printf("  %6d %s: %8.3f us per %s\n", i_large, ip_unit, l_largeSecond, ip_unit);
    std::printf("  ratio of the per-%s costs: %.2f\n", ip_unit, l_largeSecond / l_smallSecond);
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication l_application(argc, argv);
    ServerHarness l_harness;
    if (!l_harness.LogIn())
    {
        std::fprintf(stderr, "could not log in to the test server\n");
        return 1;
    }

    constexpr int smallRooms = 5000;
    constexpr int largeRooms = 50000;
    const Figures l_smallList =
        Measure(l_harness, 64, RoomList(smallRooms, 0), RoomList(smallRooms, 1));
    const Figures l_largeList =
        Measure(l_harness, 64, RoomList(largeRooms, 0), RoomList(largeRooms, 1));
    Report("Room list (code 64)", "room", smallRooms, l_smallList, largeRooms, l_largeList);

    // The second join names the same number of users, half of them new.
    constexpr int smallUsers = 2000;
    constexpr int largeUsers = 20000;
    const Figures l_smallJoin =
        Measure(l_harness, 14, RoomJoin(smallUsers, 0), RoomJoin(smallUsers, smallUsers / 2));
    const Figures l_largeJoin =
        Measure(l_harness, 14, RoomJoin(largeUsers, 0), RoomJoin(largeUsers, largeUsers / 2));
    Report("Room join (code 14)", "user", smallUsers, l_smallJoin, largeUsers, l_largeJoin);

    l_harness.Reset();
    return 0;
}
