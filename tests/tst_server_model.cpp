// The store vocabulary of users and rooms and of peer connections: how the relations hold their
// partners, what the data file keeps, and the time item that each messaging socket owns.
#include "Data.h"
#include "DataSaver.h"
#include "PeerMessenger.h"
#include "Server.h"
#include "ServerHarness.h"
#include "WireWriter.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace
{
Type* T(const char* ip_name)
{
    return d.GetType(ip_name);
}

ItemPtr User(const char* ip_name)
{
    return T("user")->GetItem(ip_name);
}

ItemPtr Room(const char* ip_name)
{
    return T("room")->GetItem(ip_name);
}
} // namespace

class TestServerModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void valuesAreSharedAndReplaced();
    void userListGroupsAndRoomRoles();
    void dataFileKeepsListsAndMarks();
    void dataFileKeepsGroupPriorities();
    void eachMessagingSocketOwnsItsTime();
    void attemptsHoldOnePartnerPerOneEnd();
    void resultsGoWithTheirSearch();
    void portsAnnouncedAtLogin();

private:
    std::unique_ptr<ServerHarness> mp_harness;
    QTemporaryDir m_folder;
};

void TestServerModel::initTestCase()
{
    QVERIFY(m_folder.isValid());
    mp_harness = std::make_unique<ServerHarness>();
}

void TestServerModel::init()
{
    mp_harness->Reset();
}

void TestServerModel::cleanupTestCase()
{
    mp_harness->Reset();
    mp_harness.reset();
}

void TestServerModel::valuesAreSharedAndReplaced()
{
    ItemPtr l_amy = User("amy");
    ItemPtr l_bob = User("bob");
    l_amy += T("country_code")->GetItem("FR");
    l_bob += T("country_code")->GetItem("FR");
    l_amy += T("country_code")->GetItem("DE");
    QCOMPARE(l_amy["country_code"].AsString(), std::string("DE"));
    QCOMPARE(l_amy.GetItems("country_code").size(), 1u);
    QCOMPARE(l_bob["country_code"].AsString(), std::string("FR"));

    ItemPtr l_lobby = Room("lobby");
    ItemPtr l_hall = Room("hall");
    l_lobby += T("user_count")->GetItem(5);
    l_hall += T("user_count")->GetItem(5);
    QCOMPARE(static_cast<Item*>(l_lobby["user_count"]), static_cast<Item*>(l_hall["user_count"]));
    l_lobby += T("user_count")->GetItem(6);
    QCOMPARE(l_lobby["user_count"].AsString(), std::string("6"));
    QCOMPARE(l_hall["user_count"].AsString(), std::string("5"));

    // Flags are one shared item.
    l_amy.NewItem("is_online");
    l_bob.NewItem("is_online");
    QCOMPARE(T("is_online")->ItemCount(), 1u);
}

void TestServerModel::userListGroupsAndRoomRoles()
{
    ItemPtr l_amy = User("amy");
    ItemPtr l_bob = User("bob");
    ItemPtr l_friends = T("user_list_group")->GetItem("friends");
    ItemPtr l_work = T("user_list_group")->GetItem("work");
    ItemPtr l_listed = l_amy.NewItem("in_user_list");
    l_listed += l_friends;
    l_listed += l_work;
    l_bob.NewItem("in_user_list") += l_friends;
    QCOMPARE(l_amy.GetItems("in_user_list").size(), 1u);
    QCOMPARE(l_listed.GetItems("user_list_group").size(), 2u);
    QCOMPARE(l_friends.GetItems("in_user_list").size(), 2u);
    QVERIFY(static_cast<Item*>(l_amy["in_user_list"]) != static_cast<Item*>(l_bob["in_user_list"]));

    // Each room has its own role holders; an owner replaces the last one.
    ItemPtr l_den = Room("den");
    ItemPtr l_hut = Room("hut");
    l_den.NewItem("room_owner") += l_amy;
    l_hut.NewItem("room_owner") += l_amy;
    QVERIFY(static_cast<Item*>(l_den["room_owner"]) != static_cast<Item*>(l_hut["room_owner"]));
    l_den["room_owner"] += l_bob;
    QCOMPARE(l_den["room_owner"]["user"].AsString(), std::string("bob"));
    QCOMPARE(l_hut["room_owner"]["user"].AsString(), std::string("amy"));

    // Address requests are one item per user.
    mp_harness->Client().GetUserAddress("amy");
    mp_harness->Client().GetUserAddress("bob");
    QCOMPARE(T("user_address_request")->ItemCount(), 2u);
}

void TestServerModel::dataFileKeepsListsAndMarks()
{
    Room("autojoined").NewItem("room_autojoin");
    Room("visited");
    User("listed").NewItem("in_user_list") += T("user_list_group")->GetItem("friends");
    User("ignored").NewItem("is_ignored");
    ItemPtr l_plain = User("plain");
    l_plain.NewItem("is_online");
    l_plain.NewItem("is_tracked");

    const QString l_path = m_folder.filePath(QStringLiteral("data"));
    dataSaver->Save(l_path);
    d.RemoveAllItems();
    dataSaver->Load(l_path);

    QVERIFY(T("room")->HasItem("autojoined").IsConnected("room_autojoin"));
    QVERIFY(!T("room")->HasItem("visited"));
    QCOMPARE(T("user")->HasItem("listed")["in_user_list"]["user_list_group"].AsString(),
             std::string("friends"));
    QVERIFY(T("user")->HasItem("ignored").IsConnected("is_ignored"));
    QVERIFY(!T("user")->HasItem("plain"));
    QCOMPARE(T("is_tracked")->ItemCount(), 0u);
}

// A group's download priority comes back as it was; a priority that no group holds is not kept.
void TestServerModel::dataFileKeepsGroupPriorities()
{
    ItemPtr l_three = T("group_download_priority")->GetItem("3");
    ItemPtr(T("user_list_group")->GetItem("a")) += l_three;
    ItemPtr(T("user_list_group")->GetItem("b")) += l_three;
    T("user_list_group")->GetItem("c");
    ItemPtr(T("user_list_group")->GetItem("d")) += T("group_download_priority")->GetItem("99");
    T("group_download_priority")->GetItem("7");

    const QString l_path = m_folder.filePath(QStringLiteral("priorities"));
    dataSaver->Save(l_path);
    d.RemoveAllItems();
    dataSaver->Load(l_path);

    const auto l_priority = [](const char* ip_group)
    { return T("user_list_group")->HasItem(ip_group)["group_download_priority"]; };
    QCOMPARE(l_priority("a").AsString(), std::string("3"));
    QCOMPARE(l_priority("b"), l_priority("a"));
    QVERIFY(T("user_list_group")->HasItem("c"));
    QVERIFY(!l_priority("c"));
    QCOMPARE(l_priority("d").AsInt(), 99);
    QVERIFY(!T("group_download_priority")->HasItem("7"));
}

void TestServerModel::eachMessagingSocketOwnsItsTime()
{
    const QDateTime l_before = QDateTime::currentDateTime().addSecs(-1);
    ItemPtr l_first = T("peer_socket")->NewItem("1001");
    ItemPtr l_second = T("peer_socket")->NewItem("1002");
    ItemPtr l_firstTime = l_first["last_activity_time"];
    ItemPtr l_secondTime = l_second["last_activity_time"];
    QVERIFY(l_firstTime && l_secondTime);
    QVERIFY(static_cast<Item*>(l_firstTime) != static_cast<Item*>(l_secondTime));
    QVERIFY(*l_firstTime.AsPtr<QDateTime>() >= l_before);
    QVERIFY(*l_secondTime.AsPtr<QDateTime>() <= QDateTime::currentDateTime());

    // Removing a socket removes its time item only; the sanitizer sees each time freed once.
    l_first.Remove();
    QCOMPARE(T("last_activity_time")->ItemCount(), 1u);
    QCOMPARE(static_cast<Item*>(T("last_activity_time")->GetItems().front()),
             static_cast<Item*>(l_secondTime));
    QVERIFY(l_secondTime.AsPtr<QDateTime>()->isValid());
    l_second.Remove();
    QCOMPARE(T("last_activity_time")->ItemCount(), 0u);
}

void TestServerModel::attemptsHoldOnePartnerPerOneEnd()
{
    ItemPtr l_attempt = T("connect_to_peer_request")->NewItem();
    l_attempt += T("connect_to_peer_request_status")->GetItem("getting_address");
    l_attempt += T("connect_to_peer_request_status")->GetItem("connecting");
    QCOMPARE(l_attempt.GetItems("connect_to_peer_request_status").size(), 1u);
    QCOMPARE(l_attempt["connect_to_peer_request_status"].AsString(), std::string("connecting"));

    ItemPtr l_socket = T("connect_to_peer_request_socket")->GetItem("42");
    l_attempt += l_socket;
    ItemPtr l_other = T("connect_to_peer_request_socket")->GetItem("43");
    l_attempt += l_other;
    QCOMPARE(l_attempt["connect_to_peer_request_socket"].AsString(), std::string("43"));
    QVERIFY(!l_socket.IsConnected("connect_to_peer_request"));

    // A user keeps one address, port and obfuscated port.
    ItemPtr l_amy = User("amy");
    l_amy += T("user_port")->GetItem(2234);
    l_amy += T("user_port")->GetItem(2240);
    QCOMPARE(l_amy.GetItems("user_port").size(), 1u);
}

void TestServerModel::resultsGoWithTheirSearch()
{
    const unsigned l_token = mp_harness->Client().FileSearch("jazz", false);
    ItemPtr l_search = T("search_request")->HasItem(Value(l_token));
    QVERIFY(l_search);
    ItemPtr l_results = l_search.NewItem("search_results");
    l_results += User("amy");
    ItemPtr l_result = l_results.NewItem("search_result");
    l_result += T("search_result_file_name")->GetItem("tune.mp3");
    l_search.Remove();
    d.RemoveDisconnectedItems();
    QCOMPARE(T("search_results")->ItemCount(), 0u);
    QCOMPARE(T("search_result")->ItemCount(), 0u);
    // The text stays: it is primary, and other searches may share it.
    QVERIFY(T("search_request_text")->HasItem("jazz"));
}

void TestServerModel::portsAnnouncedAtLogin()
{
    // The peer layer announces the ports it listens on, whatever the settings hold now.
    const int l_connection = mp_harness->LogIn();
    QVERIFY(l_connection);
    const QList<TestServer::ReceivedFrame> l_sent = mp_harness->SentFrames(l_connection);
    QCOMPARE(l_sent.size(), 2);
    QCOMPARE(l_sent[1].code, 2u);
    QCOMPARE(l_sent[1].body, WireWriter()
                                 .WriteU32(peerMessenger->ListeningPort())
                                 .WriteU32(1)
                                 .WriteU32(peerMessenger->ObfuscatedListeningPort())
                                 .Bytes());
}

QTEST_GUILESS_MAIN(TestServerModel)
#include "tst_server_model.moc"
