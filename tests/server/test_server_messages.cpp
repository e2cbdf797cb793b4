// What the server connection does with each server message: the store it
// writes, the signals it emits and their order, chat filtering, and the
// requests of the peer and distributed networks.

#include "ServerTestSupport.h"

using namespace servertest;

namespace
{
// One connection or disconnection of the store, as "+a=x|b=y" with the two
// ends in name order, so the record does not depend on which end fired.
QString Describe(bool i_connect, const ConnectionInfo& i_info)
{
    QString a = QString::fromLatin1(i_info.from->GetType()->GetName().c_str()) + '=' +
                QString::fromLatin1(i_info.from->GetValue().c_str());
    QString b = QString::fromLatin1(i_info.to->GetType()->GetName().c_str()) + '=' +
                QString::fromLatin1(i_info.to->GetValue().c_str());
    if (b < a)
        std::swap(a, b);
    return (i_connect ? QLatin1String("+") : QLatin1String("-")) + a + '|' + b;
}
}

class TestServerMessages : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void EnterRoomReplacesMembersInOrder();
    void RoomNoticesAndLeaving();
    void IgnoredUsersChatSuppressedButAcknowledged();
    void AddUserAnswerSignalsBeforeStoring();
    void UserStatusAndPrivilegedList();
    void OwnPrivilegesAndUserStats();
    void RoomListCounts();
    void SearchesAreNumberedAndRecorded();
    void SearchCorrelationsReplacePrevious();
    void PeerMessagesBothWays();
    void DistributedNetworkMessages();

private:
    bool LogInAlice();

    Fixture m_fixture;
    TestServer m_ts;
    Server* mp_server = nullptr;
    QStringList m_events;
    bool m_recording = false;
};

void TestServerMessages::init()
{
    m_fixture.SetUp();
    QVERIFY(m_ts.Start({"--accounts", "alice:secret"}));
    m_fixture.Credentials("alice", "secret", m_ts.Port());
    mp_server = m_fixture.NewServer();
    m_events.clear();
    m_recording = false;
    d->connected.Add(new FunctionHandler<ConnectionInfo&>([this](ConnectionInfo& i_info) {
        if (m_recording)
            m_events << Describe(true, i_info);
    }));
    d->disconnected.Add(new FunctionHandler<ConnectionInfo&>([this](ConnectionInfo& i_info) {
        if (m_recording)
            m_events << Describe(false, i_info);
    }));
}

void TestServerMessages::cleanup()
{
    m_recording = false;
    m_fixture.TearDown();
    mp_server = nullptr;
    m_ts.Stop();
}

bool TestServerMessages::LogInAlice()
{
    return LogIn(mp_server) && Sync(m_ts, mp_server, "alice");
}

void TestServerMessages::EnterRoomReplacesMembersInOrder()
{
    QVERIFY(LogInAlice());
    ItemPtr lobby = T("room")->GetItem(S("lobby"));
    ItemPtr(T("user")->GetItem(S("stale"))) += lobby;
    ItemPtr(T("user")->GetItem(S("elsewhere"))) += T("room")->GetItem(S("other"));

    m_recording = true;
    QVERIFY(m_ts.Send("alice", SM_ENTER_ROOM,
                      Fields({Str("lobby"), U32(2),
                              Str("bob"), U32(2), Stats(1536, 7, 42, 3), Str("DE"),
                              Str("carol"), U32(0), Stats(0, 0, 0, 0), Str("")})));
    QVERIFY(Sync(m_ts, mp_server, "alice"));
    m_recording = false;

    const QStringList expected{
        "+in_room=|room=lobby",
        "-room=lobby|user=stale",
        "+average_download_speed=1536|user=bob",
        "+shared_files_count=42|user=bob",
        "+country_code=DE|user=bob",
        "+room=lobby|user=bob",
        "+average_download_speed=0|user=carol",
        "+shared_files_count=0|user=carol",
        "+country_code=|user=carol",
        "+room=lobby|user=carol",
    };
    QCOMPARE(m_events, expected);
    QVERIFY(lobby.IsConnected("in_room"));
    QCOMPARE(lobby.GetItems("user").size(), size_t(2));
    // Other rooms are left alone.
    QVERIFY(UserItem("elsewhere")->IsConnected("room"));

    // Entering again replaces the members; statistics that changed move to
    // their new value items.
    QVERIFY(m_ts.Send("alice", SM_ENTER_ROOM,
                      Fields({Str("lobby"), U32(1), Str("bob"), U32(2), Stats(2048, 7, 43, 3), Str("DE")})));
    QVERIFY(Sync(m_ts, mp_server, "alice"));
    QCOMPARE(lobby.GetItems("user").size(), size_t(1));
    QCOMPARE(ValueOf("bob", "average_download_speed"), S("2048"));
    QCOMPARE(ValueOf("bob", "shared_files_count"), S("43"));
    QVERIFY(!UserItem("carol")->IsConnected("room"));
}

void TestServerMessages::RoomNoticesAndLeaving()
{
    QVERIFY(LogInAlice());
    // The real round trip: the server answers with its members (us).
    mp_server->EnterRoom("lobby");
    QVERIFY(QTest::qWaitFor([] { return T("room")->HasItem(S("lobby")) &&
                                        T("room")->HasItem(S("lobby"))->IsConnected("in_room"); },
                            g_waitMs));
    Item* lobby = T("room")->HasItem(S("lobby"));
    QVERIFY(UserItem("alice")->IsConnected(lobby));

    QVERIFY(m_ts.Send("alice", SM_USER_JOINED_ROOM,
                      Fields({Str("lobby"), Str("bob"), U32(2), Stats(10, 0, 5, 1), Str("FR")})));
    // A notice about a room we are not in changes nothing.
    QVERIFY(m_ts.Send("alice", SM_USER_JOINED_ROOM,
                      Fields({Str("attic"), Str("dave"), U32(2), Stats(10, 0, 5, 1), Str("FR")})));
    QVERIFY(Sync(m_ts, mp_server, "alice"));
    QVERIFY(UserItem("bob")->IsConnected(lobby));
    QCOMPARE(ValueOf("bob", "country_code"), S("FR"));
    QVERIFY(!UserItem("dave") || !UserItem("dave")->IsConnected("room"));

    QVERIFY(m_ts.Send("alice", SM_USER_LEFT_ROOM, {Str("lobby"), Str("bob")}));
    QVERIFY(m_ts.Send("alice", SM_USER_LEFT_ROOM, {Str("lobby"), Str("nobody")}));
    QVERIFY(Sync(m_ts, mp_server, "alice"));
    QVERIFY(!UserItem("bob")->IsConnected(lobby));

    // Leaving a room we are not in sends nothing.
    mp_server->LeaveRoom("attic");
    mp_server->LeaveRoom("lobby");
    QVERIFY(QTest::qWaitFor([lobby] { return !lobby->IsConnected("in_room"); }, g_waitMs));
    const QJsonArray leaves = m_ts.Received("alice", SM_LEAVE_ROOM);
    QCOMPARE(leaves.size(), 1);
    QCOMPARE(FieldsOf(leaves[0])["room"].toString(), QString("lobby"));
}

void TestServerMessages::IgnoredUsersChatSuppressedButAcknowledged()
{
    QVERIFY(LogInAlice());
    ItemPtr(T("user")->GetItem(S("troll"))).NewItem("is_ignored");

    std::vector<std::string> roomLines;
    std::vector<std::string> privateLines;
    std::vector<int> acksAtSignal;
    QObject::connect(mp_server, &Server::RoomChat, mp_server,
                     [&](std::string i_room, std::string i_user, std::string i_text) {
                         roomLines.push_back(i_room + "/" + i_user + "/" + i_text);
                     });
    QObject::connect(mp_server, &Server::PrivateChat, mp_server,
                     [&](std::string i_user, std::string i_text, time_t i_time, bool i_spontaneous) {
                         privateLines.push_back(i_user + "/" + i_text + "/" + std::to_string(i_time) + "/" +
                                                (i_spontaneous ? "1" : "0"));
                     });

    const QString smile = QString::fromUtf8("\xe2\x98\xba");
    QVERIFY(m_ts.Send("alice", SM_ROOM_CHAT, {Str("lobby"), Str("troll"), Utf8("spam")}));
    QVERIFY(m_ts.Send("alice", SM_ROOM_CHAT, {Str("lobby"), Str("bob"), Utf8(smile)}));
    QVERIFY(m_ts.Send("alice", SM_PRIVATE_CHAT, {U32(7), U32(1000), Str("troll"), Utf8("spam"), Byte(1)}));
    QVERIFY(m_ts.Send("alice", SM_PRIVATE_CHAT, {U32(8), U32(2000), Str("bob"), Utf8("hello"), Byte(0)}));
    QVERIFY(m_ts.WaitFor("alice", SM_PRIVATE_CHAT_ACK, 2, g_waitMs));
    QVERIFY(Sync(m_ts, mp_server, "alice"));

    QCOMPARE(roomLines, (std::vector<std::string>{"lobby/bob/\xe2\x98\xba"}));
    QCOMPARE(privateLines, (std::vector<std::string>{"bob/hello/2000/0"}));
    const QJsonArray acks = m_ts.Received("alice", SM_PRIVATE_CHAT_ACK);
    QCOMPARE(acks.size(), 2);
    QCOMPARE(FieldsOf(acks[0])["id"].toInt(), 7);
    QCOMPARE(FieldsOf(acks[1])["id"].toInt(), 8);

    // A real message through the server: held for us, delivered, acknowledged.
    mp_server->SendPrivateChat("alice", "note to self");
    QVERIFY(QTest::qWaitFor([&] { return privateLines.size() == 2; }, g_waitMs));
    QVERIFY(m_ts.WaitFor("alice", SM_PRIVATE_CHAT_ACK, 3, g_waitMs));
    QVERIFY(QTest::qWaitFor([&] {
        return m_ts.Command({{"cmd", "held"}, {"user", "alice"}})["messages"].toArray().isEmpty();
    }, g_waitMs));
}

void TestServerMessages::AddUserAnswerSignalsBeforeStoring()
{
    QVERIFY(LogInAlice());
    QStringList answers;
    QObject::connect(mp_server, &Server::AddUserResponse, mp_server, [&](std::string i_user, bool i_added) {
        // Nothing of the answer is stored yet when the signal comes.
        answers << QString::fromLatin1(i_user.c_str()) + (i_added ? "+" : "-") +
                       (HasFlag(i_user, "is_online") ? "online" : "") + QString::fromLatin1(ValueOf(i_user, "country_code").c_str());
    });

    QVERIFY(m_ts.Send("alice", SM_ADD_USER, Fields({Str("bob"), Byte(1), U32(2), Stats(4096, 1, 12, 2), Str("NL")})));
    QVERIFY(m_ts.Send("alice", SM_ADD_USER, Fields({Str("carol"), Byte(1), U32(0), Stats(0, 0, 3, 1)})));
    QVERIFY(m_ts.Send("alice", SM_ADD_USER, {Str("ghost"), Byte(0)}));
    QVERIFY(Sync(m_ts, mp_server, "alice"));

    QCOMPARE(answers, (QStringList{"bob+", "carol+", "ghost-"}));
    QVERIFY(HasFlag("bob", "is_online"));
    QCOMPARE(ValueOf("bob", "country_code"), S("NL"));
    QCOMPARE(ValueOf("bob", "average_download_speed"), S("4096"));
    QCOMPARE(ValueOf("bob", "shared_files_count"), S("12"));
    QVERIFY(!HasFlag("carol", "is_online"));
    QCOMPARE(ValueOf("carol", "shared_files_count"), S("3"));
    QVERIFY(!UserItem("ghost"));

    // The real round trip through AddUser: an unknown user does not exist.
    QSignalSpy responses(mp_server, &Server::AddUserResponse);
    mp_server->AddUser("nobody-here");
    QVERIFY(Reached(responses, 1));
    QCOMPARE(responses[0][0].value<std::string>(), S("nobody-here"));
    QCOMPARE(responses[0][1].toBool(), false);
}

void TestServerMessages::UserStatusAndPrivilegedList()
{
    QVERIFY(LogInAlice());
    QVERIFY(m_ts.Send("alice", SM_USER_STATUS, {Str("bob"), U32(2), Byte(0)}));
    QVERIFY(m_ts.Send("alice", SM_USER_STATUS, {Str("carol"), U32(1), Byte(0)}));
    QVERIFY(Sync(m_ts, mp_server, "alice"));
    QVERIFY(HasFlag("bob", "is_online"));
    QVERIFY(HasFlag("carol", "is_online"));
    QVERIFY(m_ts.Send("alice", SM_USER_STATUS, {Str("bob"), U32(0), Byte(0)}));
    QVERIFY(Sync(m_ts, mp_server, "alice"));
    QVERIFY(!HasFlag("bob", "is_online"));

    // The privileged list replaces the previous one.
    QVERIFY(m_ts.Set("privileged", QJsonArray{"bob", "carol"}));
    QVERIFY(Sync(m_ts, mp_server, "alice"));
    QVERIFY(HasFlag("bob", "is_privileged"));
    QVERIFY(HasFlag("carol", "is_privileged"));
    QVERIFY(m_ts.Set("privileged", QJsonArray{"carol", "dave"}));
    QVERIFY(Sync(m_ts, mp_server, "alice"));
    QVERIFY(!HasFlag("bob", "is_privileged"));
    QVERIFY(HasFlag("carol", "is_privileged"));
    QVERIFY(HasFlag("dave", "is_privileged"));

    // Tracking follows a real user's status through the server.
    TestServer& ts = m_ts;
    mp_server->TrackUser("alice");
    QVERIFY(ts.WaitFor("alice", SM_ADD_USER, 1, g_waitMs));
    QVERIFY(QTest::qWaitFor([] { return HasFlag("alice", "is_online"); }, g_waitMs));
    mp_server->UntrackUser("alice");
    mp_server->UntrackUser("alice");   // once only
    QVERIFY(ts.WaitFor("alice", SM_UNTRACK_USER, 1, g_waitMs));
    QVERIFY(Sync(m_ts, mp_server, "alice"));
    QCOMPARE(ts.Received("alice", SM_UNTRACK_USER).size(), 1);
    QVERIFY(!HasFlag("alice", "is_tracked"));
}

void TestServerMessages::OwnPrivilegesAndUserStats()
{
    QVERIFY(m_ts.Set("privileges_seconds", 86400 * 3));
    QVERIFY(m_ts.Set("stats", QJsonObject{{"user", "bob"}, {"speed", 5000}, {"uploads", 9}, {"files", 70}, {"folders", 4}}));
    QVERIFY(LogInAlice());
    QCOMPARE(GetSetting("privileges_time_left"), std::string());

    QSignalSpy privileges(mp_server, &Server::ReceivedOwnPrivilegesStatus);
    int storedWhenSignalled = -1;
    QObject::connect(mp_server, &Server::ReceivedOwnPrivilegesStatus, mp_server,
                     [&](int) { storedWhenSignalled = std::atoi(GetSetting("privileges_time_left").c_str()); });
    mp_server->GetOwnPrivilegesStatus();
    QVERIFY(Reached(privileges, 1));
    QCOMPARE(privileges[0][0].toInt(), 86400 * 3);
    QCOMPARE(storedWhenSignalled, 86400 * 3);

    QSignalSpy stats(mp_server, &Server::ReceivedUserStats);
    mp_server->GetUserStats("bob");
    QVERIFY(Reached(stats, 1));
    QCOMPARE(stats[0][0].value<std::string>(), S("bob"));
    QCOMPARE(stats[0][1].value<UserStats>(), UserStats(5000, 9, 70, 4));
    QCOMPARE(ValueOf("bob", "average_download_speed"), S("5000"));

    // What the client reports about itself reaches the server.
    mp_server->SendFilesFolders(3, 120);
    mp_server->SendUploadSpeed(777);
    QVERIFY(m_ts.WaitFor("alice", SM_SEND_UPLOAD_SPEED, 1, g_waitMs));
    const QJsonObject me = m_ts.Users()[0].toObject();
    QCOMPARE(me["folders"].toInt(), 3);
    QCOMPARE(me["files"].toInt(), 120);
    QCOMPARE(me["upload_speed"].toInt(), 777);
}

void TestServerMessages::RoomListCounts()
{
    QVERIFY(m_ts.Set("rooms", QJsonArray{"lobby", "quiet"}));
    QVERIFY(LogInAlice());
    mp_server->EnterRoom("lobby");
    QVERIFY(m_ts.WaitFor("alice", SM_ENTER_ROOM, 1, g_waitMs));
    mp_server->GetRoomList();
    QVERIFY(QTest::qWaitFor([] { return T("room")->HasItem(S("quiet")) &&
                                        T("room")->HasItem(S("quiet"))->IsConnected("user_count"); },
                            g_waitMs));
    QCOMPARE(ItemPtr(T("room")->HasItem(S("lobby")))["user_count"].AsString(), S("1"));
    QCOMPARE(ItemPtr(T("room")->HasItem(S("quiet")))["user_count"].AsString(), S("0"));

    // A later list moves a room to its new count.
    QVERIFY(m_ts.Send("alice", SM_ROOM_LIST, {U32(1), Str("quiet"), U32(12)}));
    QVERIFY(Sync(m_ts, mp_server, "alice"));
    QCOMPARE(ItemPtr(T("room")->HasItem(S("quiet")))["user_count"].AsString(), S("12"));
    QCOMPARE(ItemPtr(T("room")->HasItem(S("quiet"))).GetItems("user_count").size(), size_t(1));
}

void TestServerMessages::SearchesAreNumberedAndRecorded()
{
    QVERIFY(LogInAlice());
    std::vector<std::string> announced;
    QObject::connect(mp_server, &Server::SearchRequested, mp_server,
                     [&](unsigned int i_req, std::string i_text, bool i_wish) {
                         // The request exists when the signal comes.
                         const bool recorded = T("search_request")->HasItem(Value(i_req)) != nullptr;
                         announced.push_back(std::to_string(i_req) + "/" + i_text + (i_wish ? "/wish" : "") +
                                             (recorded ? "" : "/missing"));
                     });

    const unsigned int first = mp_server->FileSearch("jazz", false);
    const unsigned int second = mp_server->FileSearch("jazz", true);
    const unsigned int third = mp_server->FileSearch("", false);
    QCOMPARE(second, first + 1);
    QCOMPARE(third, first + 2);
    QCOMPARE(announced, (std::vector<std::string>{std::to_string(first) + "/jazz",
                                                  std::to_string(second) + "/jazz/wish",
                                                  std::to_string(third) + "/"}));

    ItemPtr r1 = T("search_request")->HasItem(Value(first));
    ItemPtr r2 = T("search_request")->HasItem(Value(second));
    QCOMPARE(r1["search_request_text"].AsString(), S("jazz"));
    QVERIFY(r1["search_request_text"] == r2["search_request_text"]);
    QVERIFY(!r1.IsConnected("wishlist_search"));
    QVERIFY(r2.IsConnected("wishlist_search"));

    QVERIFY(m_ts.WaitFor("alice", SM_FILE_SEARCH, 2, g_waitMs));
    QVERIFY(m_ts.WaitFor("alice", SM_WISH_LIST_SEARCH, 1, g_waitMs));
    const QJsonArray searches = m_ts.Received("alice", SM_FILE_SEARCH);
    QCOMPARE(FieldsOf(searches[0])["token"].toInteger(), qint64(first));
    QCOMPARE(FieldsOf(searches[0])["text"].toString(), QString("jazz"));
    QCOMPARE(FieldsOf(searches[1])["text"].toString(), QString());
    QCOMPARE(FieldsOf(m_ts.Received("alice", SM_WISH_LIST_SEARCH)[0])["token"].toInteger(), qint64(second));
}

void TestServerMessages::SearchCorrelationsReplacePrevious()
{
    QVERIFY(LogInAlice());
    QVERIFY(m_ts.Set("correlations", QJsonObject{{"jazz", QJsonArray{QJsonArray{"bebop", 2}, QJsonArray{"swing", 1}}}}));
    QSignalSpy correlations(mp_server, &Server::SearchCorrelations);
    mp_server->GetSearchCorrelations("jazz");
    QVERIFY(Reached(correlations, 1));
    QCOMPARE(correlations[0][0].value<std::string>(), S("jazz"));

    auto related = [] {
        QStringList out;
        ItemPtr text = T("search_request_text")->HasItem(S("jazz"));
        for (Item* c : text.GetItems("search_correlation").SortNumericBy("correlation_rank"))
            out << QString::fromUtf8(ItemPtr(c)["correlation_text"].AsCStr()) + ":" +
                       QString::fromLatin1(ItemPtr(c)["correlation_rank"].AsCStr());
        return out;
    };
    QCOMPARE(related(), (QStringList{"swing:1", "bebop:2"}));

    const QString cafe = QString::fromUtf8("caf\xc3\xa9");
    QVERIFY(m_ts.Set("correlations", QJsonObject{{"jazz", QJsonArray{QJsonArray{cafe, 5}}}}));
    mp_server->GetSearchCorrelations("jazz");
    QVERIFY(Reached(correlations, 2));
    QCOMPARE(related(), (QStringList{cafe + ":5"}));
    QCOMPARE(T("search_correlation")->ItemCount(), size_t(1));

    // An empty answer leaves none.
    QVERIFY(m_ts.Send("alice", SM_SEARCH_CORRELATIONS, {Utf8("jazz"), U32(0)}));
    QVERIFY(Reached(correlations, 3));
    QVERIFY(related().isEmpty());
}

void TestServerMessages::PeerMessagesBothWays()
{
    QVERIFY(LogInAlice());
    mp_server->SetListenPorts(2235, 8973);
    QVERIFY(m_ts.WaitFor("alice", SM_SET_LISTEN_PORTS, 1, g_waitMs));

    QSignalSpy addresses(mp_server, &Server::PeerAddressReceived);
    mp_server->GetPeerAddress("alice");
    QVERIFY(Reached(addresses, 1));
    QCOMPARE(addresses[0][0].value<std::string>(), S("alice"));
    QCOMPARE(addresses[0][1].toUInt(), 0x7f000001u);
    QCOMPARE(addresses[0][2].toUInt(), 2235u);
    QCOMPARE(addresses[0][3].toUInt(), 8973u);
    mp_server->GetPeerAddress("offline-user");
    QVERIFY(Reached(addresses, 2));
    QCOMPARE(addresses[1][1].toUInt(), 0u);
    QCOMPARE(addresses[1][2].toUInt(), 0u);

    // Our request to an absent user comes back as impossible.
    QSignalSpy impossible(mp_server, &Server::PeerConnectionImpossible);
    mp_server->ConnectToPeer(41, "offline-user", "P");
    QVERIFY(Reached(impossible, 1));
    QCOMPARE(impossible[0][0].toUInt(), 41u);
    QCOMPARE(impossible[0][1].value<std::string>(), S("offline-user"));
    QCOMPARE(FieldsOf(m_ts.Received("alice", SM_CONNECT_TO_PEER)[0])["type"].toString(), QString("P"));
    QVERIFY(m_fixture.LoggedLine("Asking the server for an indirect connection to offline-user (type P)"));

    // A relayed request from another user.
    QSignalSpy requested(mp_server, &Server::PeerConnectionRequested);
    QVERIFY(m_ts.Send("alice", SM_CONNECT_TO_PEER,
                      {Str("bob"), Str("F"), F("ip", "10.1.2.3"), U32(2240), U32(99)}));
    QVERIFY(Reached(requested, 1));
    QCOMPARE(requested[0][0].value<std::string>(), S("bob"));
    QCOMPARE(requested[0][1].value<std::string>(), S("F"));
    QCOMPARE(requested[0][2].toUInt(), 0x0a010203u);
    QCOMPARE(requested[0][3].toUInt(), 2240u);
    QCOMPARE(requested[0][4].toUInt(), 99u);
    // A port that cannot exist makes the request malformed.
    QVERIFY(m_ts.Send("alice", SM_CONNECT_TO_PEER,
                      {Str("bob"), Str("F"), F("ip", "10.1.2.3"), U32(70000), U32(100)}));
    QVERIFY(Sync(m_ts, mp_server, "alice"));
    QCOMPARE(requested.count(), 1);

    mp_server->SendCannotConnect(99, "bob");
    QVERIFY(m_ts.WaitFor("alice", SM_CANNOT_CONNECT, 1, g_waitMs));
    const QJsonObject cannot = FieldsOf(m_ts.Received("alice", SM_CANNOT_CONNECT)[0]);
    QCOMPARE(cannot["token"].toInt(), 99);
    QCOMPARE(cannot["user"].toString(), QString("bob"));
}

void TestServerMessages::DistributedNetworkMessages()
{
    QVERIFY(LogInAlice());
    QSignalSpy parents(mp_server, &Server::PossibleParentsReceived);
    mp_server->SendHaveNoParent(true);
    mp_server->SendBranchLevel(0);
    mp_server->SendBranchRoot("alice");
    QVERIFY(Reached(parents, 1));
    QVERIFY(parents[0][0].value<std::vector<PossibleParent>>().empty());
    QVERIFY(m_ts.WaitFor("alice", SM_BRANCH_ROOT, 1, g_waitMs));
    const QJsonObject me = m_ts.Users()[0].toObject();
    QCOMPARE(me["no_parent"].toBool(), true);
    QCOMPARE(me["level"].toInt(), 0);
    QCOMPARE(me["root"].toString(), QString("alice"));

    QVERIFY(m_ts.Send("alice", SM_POSSIBLE_PARENTS,
                      {U32(2), Str("bob"), F("ip", "192.168.0.7"), U32(2235), Str("carol"), F("ip", "10.0.0.1"), U32(1)}));
    QVERIFY(Reached(parents, 2));
    const auto list = parents[1][0].value<std::vector<PossibleParent>>();
    QCOMPARE(list.size(), size_t(2));
    QCOMPARE(list[0].user, S("bob"));
    QCOMPARE(list[0].ip, 0xc0a80007u);
    QCOMPARE(list[0].port, 2235u);
    QCOMPARE(list[1].user, S("carol"));

    // As a branch root we receive searches from the server, our own included.
    QSignalSpy searches(mp_server, &Server::DistributedSearchReceived);
    const unsigned int token = mp_server->FileSearch("blue train", false);
    QVERIFY(Reached(searches, 1));
    QCOMPARE(searches[0][0].value<std::string>(), S("alice"));
    QCOMPARE(searches[0][1].toUInt(), token);
    QCOMPARE(searches[0][2].value<std::string>(), S("blue train"));

    QSignalSpy interval(mp_server, &Server::WishListIntervalChanged);
    QVERIFY(m_ts.Set("wish_interval", 0));
    QVERIFY(Reached(interval, 1));
    QCOMPARE(interval[0][0].toUInt(), 0u);
}

QTEST_GUILESS_MAIN(TestServerMessages)
#include "test_server_messages.moc"
