// The server connection's life: login, refusals, failed and hanging
// attempts, abrupt loss and reconnection, what is re-sent at each login,
// dropped requests, bad input, and the saved part of its schema.

#include "common/TestPorts.h"
#include "ServerTestSupport.h"
#include "TextConversion.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

using namespace servertest;

class TestServerConnection : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void LoginSendsDigestAndVersion();
    void LoginStoresMissingPasswordDefault();
    void ConnectNeedsUserNameAndIsNotRepeated();
    void RefusedLogin_data();
    void RefusedLogin();
    void RefusedTcpConnect();
    void SocketClosedDuringLogin();
    void UnansweredLoginTimesOut();
    void AbruptLossReconnectsAtTick();
    void ReconnectionKeepsTryingAfterSocketErrors();
    void RefusedReconnectionLowersFlag();
    void UserDisconnectStopsReconnection();
    void LoginResendsTrackedUsersAutojoinsOnce();
    void RequestsDroppedWhileNotLoggedIn();
    void MalformedMessagesAreSkipped();
    void BadFrameLength_data();
    void BadFrameLength();
    void SavedSchemaSurvivesRestart();

private:
    Fixture m_fixture;
    TestServer m_ts;
    Server* mp_server = nullptr;
};

void TestServerConnection::init()
{
    m_fixture.SetUp();
    QVERIFY(m_ts.Start({"--accounts", "alice:secret"}));
    m_fixture.Credentials("alice", "secret", m_ts.Port());
    mp_server = m_fixture.NewServer();
}

void TestServerConnection::cleanup()
{
    m_fixture.TearDown();
    mp_server = nullptr;
    m_ts.Stop();
}

void TestServerConnection::LoginSendsDigestAndVersion()
{
    QSignalSpy connecting(mp_server, &Server::Connecting);
    QVERIFY(!mp_server->IsConnected());
    QVERIFY(LogIn(mp_server));
    QCOMPARE(connecting.count(), 1);
    QVERIFY(!mp_server->IsAbruptlyDisconnected());

    const QJsonArray logins = m_ts.Received("alice", SM_LOGIN);
    QCOMPARE(logins.size(), 1);
    const QJsonObject f = FieldsOf(logins[0]);
    QCOMPARE(f["user"].toString(), QString("alice"));
    QCOMPARE(f["digest"].toString(), Md5Hex("alicesecret"));
    QCOMPARE(f["version"].toInt(), 1);
}

void TestServerConnection::LoginStoresMissingPasswordDefault()
{
    // A user name with bytes above 127 travels unchanged, and the digest is
    // taken over those bytes.
    const std::string name = "j\xe9r\xf4me";
    SetSetting("username", name);
    ClearSetting("password");
    QVERIFY(LogIn(mp_server));

    QVERIFY(T("global")->HasItem("password")->IsConnected("global_value"));
    QCOMPARE(GetSetting("password"), std::string());
    const QJsonArray logins = m_ts.Received(QString::fromLatin1(name.c_str()), SM_LOGIN);
    QCOMPARE(logins.size(), 1);
    QCOMPARE(FieldsOf(logins[0])["digest"].toString(), Md5Hex(QByteArray(name.c_str())));
}

void TestServerConnection::ConnectNeedsUserNameAndIsNotRepeated()
{
    QSignalSpy connecting(mp_server, &Server::Connecting);
    QSignalSpy connected(mp_server, &Server::Connected);
    ClearSetting("username");
    mp_server->Connect();
    QCOMPARE(connecting.count(), 0);

    SetSetting("username", "alice");
    mp_server->Connect();
    mp_server->Connect();   // attempt running: nothing more
    QVERIFY(Reached(connected, 1));
    mp_server->Connect();   // logged in: nothing more
    QCOMPARE(connecting.count(), 1);
    QCOMPARE(m_ts.LoginCount("alice"), 1);
}

void TestServerConnection::RefusedLogin_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("option");
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<QString>("reason");

    QTest::newRow("wrong password") << "alice" << "guess" << "" << QJsonValue() << "INVALIDPASS";
    QTest::newRow("unknown user") << "mallory" << "x" << "refuse_new_users" << QJsonValue(true)
                                  << "INVALIDUSERNAME";
    QTest::newRow("other reason") << "alice" << "secret" << "refuse_logins" << QJsonValue("SERVER FULL")
                                  << "SERVER FULL";
}

void TestServerConnection::RefusedLogin()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, option);
    QFETCH(QJsonValue, value);
    QFETCH(QString, reason);
    if (!option.isEmpty())
        QVERIFY(m_ts.Set(option, value));
    SetSetting("username", ToLatin1(user));
    SetSetting("password", ToLatin1(password));

    QSignalSpy failed(mp_server, &Server::ConnectionFailed);
    QSignalSpy connected(mp_server, &Server::Connected);
    QSignalSpy disconnected(mp_server, &Server::Disconnected);
    mp_server->Connect();
    QVERIFY(Reached(failed, 1));
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed[0][0].value<std::string>(), ToLatin1(reason));
    QCOMPARE(connected.count(), 0);
    QCOMPARE(disconnected.count(), 0);
    QVERIFY(!mp_server->IsConnected());
    QVERIFY(!mp_server->IsAbruptlyDisconnected());

    // The attempt is over: a new one may start (and is refused again).
    mp_server->Connect();
    QVERIFY(Reached(failed, 2));
    QCOMPARE(failed.count(), 2);
}

void TestServerConnection::RefusedTcpConnect()
{
    // Reserved, so no listener of a test beside this one takes it meanwhile.
    SetSetting("server_port", std::to_string(FreeListenPort()));
    QSignalSpy failed(mp_server, &Server::ConnectionFailed);
    QSignalSpy connecting(mp_server, &Server::Connecting);
    mp_server->Connect();
    QVERIFY(Reached(failed, 1));
    QCOMPARE(failed[0][0].value<std::string>(), S("socket error"));
    QVERIFY(!mp_server->IsConnected());
    QVERIFY(!mp_server->IsAbruptlyDisconnected());

    // Not stuck in "connecting": the next attempt starts and reaches the server.
    SetSetting("server_port", std::to_string(m_ts.Port()));
    QVERIFY(LogIn(mp_server));
    QCOMPARE(connecting.count(), 2);
}

void TestServerConnection::SocketClosedDuringLogin()
{
    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    // Reads the login frame, then hangs up without an answer.
    QObject::connect(&fake, &QTcpServer::newConnection, [&] {
        QTcpSocket* s = fake.nextPendingConnection();
        QObject::connect(s, &QTcpSocket::readyRead, s, [s] { s->readAll(); s->close(); });
    });
    SetSetting("server_port", std::to_string(fake.serverPort()));

    QSignalSpy failed(mp_server, &Server::ConnectionFailed);
    QSignalSpy connected(mp_server, &Server::Connected);
    mp_server->Connect();
    QVERIFY(Reached(failed, 1));
    QCOMPARE(failed[0][0].value<std::string>(), S("socket error"));
    QCOMPARE(connected.count(), 0);
    QVERIFY(!mp_server->IsAbruptlyDisconnected());
}

void TestServerConnection::UnansweredLoginTimesOut()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    SetSetting("server_port", std::to_string(silent.serverPort()));
    mp_server->SetConnectTimeout(200);

    QSignalSpy failed(mp_server, &Server::ConnectionFailed);
    mp_server->Connect();
    QVERIFY(Reached(failed, 1));
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed[0][0].value<std::string>(), S("socket error"));
    QVERIFY(!mp_server->IsConnected());

    // A late answer from the abandoned connection changes nothing.
    QTcpSocket* late = silent.nextPendingConnection();
    if (late)
        late->write(LE32(9) + LE32(SM_LOGIN) + QByteArray(1, '\1') + LE32(0));
    QTest::qWait(50);
    QVERIFY(!mp_server->IsConnected());
}

void TestServerConnection::AbruptLossReconnectsAtTick()
{
    QVERIFY(m_ts.Set("privileged", QJsonArray{"bob"}));
    QVERIFY(LogIn(mp_server));
    QVERIFY(Sync(m_ts, mp_server, "alice"));
    QVERIFY(HasFlag("bob", "is_privileged"));
    // A watched user who is online.
    QVERIFY(m_ts.Send("alice", SM_USER_STATUS, {Str("carol"), U32(2), Byte(0)}));
    QVERIFY(Sync(m_ts, mp_server, "alice"));
    QVERIFY(HasFlag("carol", "is_online"));

    // No tick acts while nothing was lost.
    HalfMinuteTick();
    QCOMPARE(m_ts.LoginCount("alice"), 1);

    QSignalSpy disconnected(mp_server, &Server::Disconnected);
    QSignalSpy failed(mp_server, &Server::ConnectionFailed);
    QVERIFY(m_ts.Drop("alice"));
    QVERIFY(Reached(disconnected, 1));
    QCOMPARE(disconnected.count(), 1);
    QCOMPARE(failed.count(), 0);
    QVERIFY(!mp_server->IsConnected());
    QVERIFY(mp_server->IsAbruptlyDisconnected());
    QVERIFY(!HasFlag("carol", "is_online"));
    QVERIFY(!HasFlag("bob", "is_privileged"));

    QSignalSpy connected(mp_server, &Server::Connected);
    HalfMinuteTick();
    QVERIFY(Reached(connected, 1));
    QVERIFY(mp_server->IsConnected());
    QCOMPARE(m_ts.LoginCount("alice"), 2);
    // Only the user's own disconnect lowers the flag; while logged in the
    // tick starts nothing.
    QVERIFY(mp_server->IsAbruptlyDisconnected());
    QSignalSpy connecting(mp_server, &Server::Connecting);
    HalfMinuteTick();
    QCOMPARE(connecting.count(), 0);
}

void TestServerConnection::ReconnectionKeepsTryingAfterSocketErrors()
{
    QVERIFY(LogIn(mp_server));
    QSignalSpy disconnected(mp_server, &Server::Disconnected);
    m_ts.Stop();
    QVERIFY(Reached(disconnected, 1));
    QVERIFY(mp_server->IsAbruptlyDisconnected());

    QSignalSpy failed(mp_server, &Server::ConnectionFailed);
    HalfMinuteTick();
    QVERIFY(Reached(failed, 1));
    QCOMPARE(failed[0][0].value<std::string>(), S("socket error"));
    QVERIFY(mp_server->IsAbruptlyDisconnected());

    QVERIFY(m_ts.Start({"--accounts", "alice:secret"}));
    SetSetting("server_port", std::to_string(m_ts.Port()));
    QSignalSpy connected(mp_server, &Server::Connected);
    HalfMinuteTick();
    QVERIFY(Reached(connected, 1));
}

void TestServerConnection::RefusedReconnectionLowersFlag()
{
    QVERIFY(LogIn(mp_server));
    QSignalSpy disconnected(mp_server, &Server::Disconnected);
    QVERIFY(m_ts.Drop("alice"));
    QVERIFY(Reached(disconnected, 1));
    QVERIFY(mp_server->IsAbruptlyDisconnected());

    QVERIFY(m_ts.Set("account", QJsonObject{{"user", "alice"}, {"password", "changed"}}));
    bool flagWhenEmitted = false;
    int attemptsWhileReporting = 0;
    QObject::connect(mp_server, &Server::ConnectionFailed, mp_server, [&](std::string) {
        flagWhenEmitted = mp_server->IsAbruptlyDisconnected();
        // The window reports a refusal in a modal box, whose event loop
        // runs the 30-second tick: that must not start another attempt.
        QSignalSpy connectingInside(mp_server, &Server::Connecting);
        HalfMinuteTick();
        attemptsWhileReporting += connectingInside.count();
    });
    QSignalSpy failed(mp_server, &Server::ConnectionFailed);
    HalfMinuteTick();
    QVERIFY(Reached(failed, 1));
    QCOMPARE(failed[0][0].value<std::string>(), S("INVALIDPASS"));
    QVERIFY(flagWhenEmitted);
    QCOMPARE(attemptsWhileReporting, 0);
    QVERIFY(!mp_server->IsAbruptlyDisconnected());

    // No retry loop with the wrong password.
    QSignalSpy connecting(mp_server, &Server::Connecting);
    HalfMinuteTick();
    HalfMinuteTick();
    QCOMPARE(connecting.count(), 0);
}

void TestServerConnection::UserDisconnectStopsReconnection()
{
    QVERIFY(LogIn(mp_server));
    QVERIFY(m_ts.Send("alice", SM_USER_STATUS, {Str("carol"), U32(1), Byte(1)}));
    QVERIFY(Sync(m_ts, mp_server, "alice"));
    QVERIFY(HasFlag("carol", "is_online"));   // away counts as online
    QVERIFY(HasFlag("carol", "is_privileged"));

    QSignalSpy disconnected(mp_server, &Server::Disconnected);
    mp_server->Disconnect();
    QCOMPARE(disconnected.count(), 1);
    QVERIFY(!mp_server->IsConnected());
    QVERIFY(!mp_server->IsAbruptlyDisconnected());
    QVERIFY(!HasFlag("carol", "is_online"));
    QVERIFY(!HasFlag("carol", "is_privileged"));

    mp_server->Disconnect();   // only while logged in
    QCOMPARE(disconnected.count(), 1);
    QSignalSpy connecting(mp_server, &Server::Connecting);
    HalfMinuteTick();
    QCOMPARE(connecting.count(), 0);
    QVERIFY(QTest::qWaitFor([&] { return m_ts.Users().isEmpty(); }, g_waitMs));
}

void TestServerConnection::LoginResendsTrackedUsersAutojoinsOnce()
{
    // Set up before the first login, as the saved state would be.
    mp_server->TrackUser("bob");
    mp_server->TrackUser("bob");   // once only
    QVERIFY(HasFlag("bob", "is_tracked"));
    ItemPtr(T("room")->GetItem(S("lobby"))).NewItem("room_autojoin");
    T("room")->GetItem(S("quiet"));
    mp_server->GetPeerAddress("dave");

    QVERIFY(LogIn(mp_server));
    QVERIFY(m_ts.WaitFor("alice", SM_GET_PEER_ADDRESS, 1, g_waitMs));
    QVERIFY(Sync(m_ts, mp_server, "alice"));
    QCOMPARE(m_ts.Received("alice", SM_ADD_USER).size(), 1);
    QCOMPARE(FieldsOf(m_ts.Received("alice", SM_ADD_USER)[0])["user"].toString(), QString("bob"));
    const QJsonArray entered = m_ts.Received("alice", SM_ENTER_ROOM);
    QCOMPARE(entered.size(), 1);
    QCOMPARE(FieldsOf(entered[0])["room"].toString(), QString("lobby"));
    QVERIFY(T("room")->HasItem(S("lobby"))->IsConnected("in_room"));
    QCOMPARE(FieldsOf(m_ts.Received("alice", SM_GET_PEER_ADDRESS)[0])["user"].toString(), QString("dave"));

    // Tracked after the login: asked at once.
    mp_server->TrackUser("carol");
    QVERIFY(m_ts.WaitFor("alice", SM_ADD_USER, 2, g_waitMs));

    // The answered address is not asked again; the tracked users are.
    QVERIFY(Sync(m_ts, mp_server, "alice"));
    QSignalSpy disconnected(mp_server, &Server::Disconnected);
    QVERIFY(m_ts.Drop("alice"));
    QVERIFY(Reached(disconnected, 1));
    QSignalSpy connected(mp_server, &Server::Connected);
    HalfMinuteTick();
    QVERIFY(Reached(connected, 1));
    QVERIFY(m_ts.WaitFor("alice", SM_ADD_USER, 4, g_waitMs));
    QVERIFY(Sync(m_ts, mp_server, "alice"));
    QCOMPARE(m_ts.Received("alice", SM_ADD_USER).size(), 4);
    QCOMPARE(m_ts.Received("alice", SM_ENTER_ROOM).size(), 1);
    QCOMPARE(m_ts.Received("alice", SM_GET_PEER_ADDRESS).size(), 1);
    // A lost connection leaves the room joined in the store.
    QVERIFY(T("room")->HasItem(S("lobby"))->IsConnected("in_room"));
}

void TestServerConnection::RequestsDroppedWhileNotLoggedIn()
{
    auto everyRequest = [this] {
        mp_server->GetOwnPrivilegesStatus();
        mp_server->GetRoomList();
        mp_server->EnterRoom("lobby");
        mp_server->SendRoomChat("lobby", "hi");
        mp_server->SendPrivateChat("bob", "hi");
        mp_server->AddUser("bob");
        mp_server->GetSearchCorrelations("jazz");
        mp_server->SendFilesFolders(1, 2);
        mp_server->GetUserStats("bob");
        mp_server->SendUploadSpeed(100);
        mp_server->SetListenPorts(2235, 8973);
        mp_server->ConnectToPeer(1, "bob", "P");
        mp_server->SendCannotConnect(1, "bob");
        mp_server->SendHaveNoParent(true);
        mp_server->SendBranchLevel(1);
        mp_server->SendBranchRoot("bob");
        mp_server->FileSearch("jazz", false);
    };
    everyRequest();
    // While the attempt runs, before the login is accepted.
    QSignalSpy connected(mp_server, &Server::Connected);
    mp_server->Connect();
    everyRequest();
    QVERIFY(Reached(connected, 1));
    QVERIFY(Sync(m_ts, mp_server, "alice"));

    const QJsonArray received = m_ts.Received("alice");
    QCOMPARE(received.size(), 1);
    QCOMPARE(received[0].toObject()["code"].toInt(), int(SM_LOGIN));
    // The store effects of a search happen all the same.
    QCOMPARE(T("search_request")->ItemCount(), size_t(2));
}

void TestServerConnection::MalformedMessagesAreSkipped()
{
    QVERIFY(LogIn(mp_server));
    QVERIFY(Sync(m_ts, mp_server, "alice"));
    QSignalSpy roomChat(mp_server, &Server::RoomChat);
    QSignalSpy disconnected(mp_server, &Server::Disconnected);

    // Room chat cut short after the room name.
    QVERIFY(m_ts.Send("alice", SM_ROOM_CHAT, {Str("lobby")}));
    // An enter-room answer that claims far more users than it holds.
    QVERIFY(m_ts.Send("alice", SM_ENTER_ROOM, {Str("lobby"), U32(1000000000u), U32(0)}));
    // A string whose length runs past the frame.
    QVERIFY(m_ts.Raw("alice", LE32(10) + LE32(SM_LEAVE_ROOM) + LE32(0xfffffff0u) + "ab"));
    // Garbage: an unknown code with random bytes, and a code alone.
    QVERIFY(m_ts.Raw("alice", LE32(12) + LE32(0xdeadbeefu) + QByteArray::fromHex("0102030405060708")));
    QVERIFY(m_ts.Raw("alice", LE32(4) + LE32(SM_PRIVATE_CHAT)));
    QVERIFY(Sync(m_ts, mp_server, "alice"));

    QVERIFY(mp_server->IsConnected());
    QCOMPARE(disconnected.count(), 0);
    QCOMPARE(roomChat.count(), 0);
    QVERIFY(!T("room")->HasItem(S("lobby")) || !T("room")->HasItem(S("lobby"))->IsConnected("in_room"));
    QVERIFY(m_fixture.LoggedLine("Malformed room chat"));
    QVERIFY(m_fixture.LoggedLine("Malformed enter room"));
    QVERIFY(m_fixture.LoggedLine("Malformed leave room"));
    QVERIFY(m_fixture.LoggedLine("Malformed private chat"));
    QVERIFY(m_fixture.LoggedLine("Unknown server message code 3735928559"));
    // A well-formed message afterwards is handled.
    QVERIFY(m_ts.Send("alice", SM_ROOM_CHAT, {Str("lobby"), Str("bob"), Utf8("ok")}));
    QVERIFY(Reached(roomChat, 1));
}

void TestServerConnection::BadFrameLength_data()
{
    QTest::addColumn<quint32>("length");
    QTest::newRow("2 GiB") << 0x80000000u;
    QTest::newRow("one over 16 MiB") << MAX_SERVER_FRAME + 1;
    QTest::newRow("below the code") << 2u;
}

void TestServerConnection::BadFrameLength()
{
    QFETCH(quint32, length);
    QVERIFY(LogIn(mp_server));
    QSignalSpy disconnected(mp_server, &Server::Disconnected);
    QVERIFY(m_ts.Raw("alice", LE32(length) + LE32(SM_ROOM_CHAT) + QByteArray(64, 'x')));
    QVERIFY(Reached(disconnected, 1));
    QVERIFY(!mp_server->IsConnected());
    QVERIFY(mp_server->IsAbruptlyDisconnected());
    QVERIFY(m_fixture.LoggedLine("Bad frame from the server"));

    QSignalSpy connected(mp_server, &Server::Connected);
    HalfMinuteTick();
    QVERIFY(Reached(connected, 1));
}

void TestServerConnection::SavedSchemaSurvivesRestart()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray path = QFile::encodeName(dir.filePath("state"));

    ItemPtr listed = T("user")->GetItem(S("bob"));
    ItemPtr entry = listed.NewItem("in_user_list");
    ItemPtr(T("user_list_group")->GetItem(S("friends"))) += entry;
    ItemPtr(T("user")->GetItem(S("troll"))).NewItem("is_ignored");
    ItemPtr stranger = T("user")->GetItem(S("stranger"));
    stranger.NewItem("is_online");
    stranger.NewItem("is_tracked");
    ItemPtr(T("room")->GetItem(S("lobby"))).NewItem("room_autojoin");
    ItemPtr(T("room")->GetItem(S("quiet"))).NewItem("in_room");
    mp_server->FileSearch("jazz", false);
    dataSaver->Save(path.constData());

    // A new run: fresh store, types, saver and server connection.
    m_fixture.TearDown();
    m_fixture.SetUp();
    mp_server = m_fixture.NewServer();
    dataSaver->Load(path.constData());

    Item* bob = UserItem("bob");
    QVERIFY(bob);
    Item* bobEntry = bob->GetItem("in_user_list");
    QVERIFY(bobEntry);
    QVERIFY(ItemPtr(bobEntry).IsConnected(ItemPtr(T("user_list_group")->HasItem(S("friends")))));
    QVERIFY(HasFlag("troll", "is_ignored"));
    QVERIFY(!UserItem("stranger"));
    QVERIFY(T("room")->HasItem(S("lobby")));
    QVERIFY(T("room")->HasItem(S("lobby"))->IsConnected("room_autojoin"));
    QVERIFY(!T("room")->HasItem(S("quiet")));
    QCOMPARE(T("search_request")->ItemCount(), size_t(0));
    QCOMPARE(T("is_online")->ItemCount(), size_t(0));
}

QTEST_GUILESS_MAIN(TestServerConnection)
#include "test_server.moc"
