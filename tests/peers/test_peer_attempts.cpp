// Connections the messenger makes, directly and through the server at once,
// against the scripted central server: the first way up wins and the other
// is closed, unsent messages flushed in order and capped, failure reported
// when both ways fail (and the unsent messages discarded), relayed requests
// answered with a pierce or refused, "F" and "D" connections, the listening
// ports sent at login, what a claim of a name makes us say, and the address
// book's bound. Alice is the messenger; bob is a scripted client with a raw
// server connection and a listener of the test's own.

#include "PeerAddressBook.h"
#include "PeerTestSupport.h"
#include "common/TestServer.h"
#include "server.h"

#include <QJsonArray>
#include <QJsonObject>

#include <unistd.h>

using namespace peertest;

namespace
{
// A relayed request as the server forwards it.
struct Relay
{
    QByteArray user;
    QByteArray type;
    quint32 ip = 0;
    quint32 port = 0;
    quint32 token = 0;
};

Relay ParseRelay(const QByteArray& i_message)
{
    Relay r;
    int at = 4;
    r.user = StrAt(i_message, at);
    r.type = StrAt(i_message, at);
    r.ip = ToU32(i_message, at);
    r.port = ToU32(i_message, at + 4);
    r.token = ToU32(i_message, at + 8);
    return r;
}

QByteArray Message(quint32 i_n)
{
    return U32(PM_QUEUE_UPLOAD) + Str("file " + QByteArray::number(i_n));
}
}

class TestPeerAttempts : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void ListenPortsSentAtLogin();
    void DirectWinsAndALateRelayedAnswerIsKept();
    void ScrambledDirectConnection();
    void IndirectWhenDirectRefused();
    void UnsentQueueKeepsTheNewest();
    void BothWaysFailedReportsAndDiscards();
    void PierceTimeLimit();
    void OfflineUser();
    void RelayedRequestAnswered();
    void RelayedRequestUnreachable();
    void FileConnections();
    void DistributedConnectionToAddress();
    void ClaimedNameTakesNothingMeantForTheUser();
    void ServerComingAndGoing();
    void WhatClaimantsMakeUsSayStaysWithThem();

private:
    // Ports that refuse: nothing listens there.
    static quint16 ClosedPort() { return FreePort(); }
    bool WaitPortsSet(const QByteArray& i_user, int i_count);

    Fixture m_fixture;
    TestServer m_ts;
    Server* mp_server = nullptr;
    PeerMessenger* mp_messenger = nullptr;
    std::unique_ptr<ScriptedUser> mp_bob;
};

void TestPeerAttempts::init()
{
    m_fixture.SetUpStore();
    QVERIFY(m_ts.Start());
    mp_server = new Server;
    mp_server->CreateData();
    mp_messenger = m_fixture.NewMessenger();
    QVERIFY(m_fixture.LogIn(mp_server, m_ts.Port()));
    mp_bob = std::make_unique<ScriptedUser>();
    QVERIFY(mp_bob->LogIn(m_ts.Port(), "bob"));
}

void TestPeerAttempts::cleanup()
{
    m_fixture.TearDown();
    mp_messenger = nullptr;
    delete mp_server;
    mp_server = nullptr;
    mp_bob.reset();
    m_ts.Stop();
}

bool TestPeerAttempts::WaitPortsSet(const QByteArray& i_user, int i_count)
{
    return m_ts.WaitFor(QString::fromLatin1(i_user), SM_SET_LISTEN_PORTS, i_count, g_waitMs);
}

void TestPeerAttempts::ListenPortsSentAtLogin()
{
    QVERIFY(WaitPortsSet("alice", 1));
    const QJsonObject f = m_ts.Received("alice", SM_SET_LISTEN_PORTS)[0].toObject()["fields"].toObject();
    QCOMPARE(f["port"].toInt(), int(mp_messenger->ListeningPort()));
    QCOMPARE(f["scrambled_port"].toInt(), int(mp_messenger->ObfuscatedListeningPort()));

    // Every login sends them again.
    QSignalSpy connected(mp_server, &Server::Connected);
    QVERIFY(m_ts.Drop("alice"));
    QVERIFY(QTest::qWaitFor([&] { return mp_server->IsAbruptlyDisconnected(); }, g_waitMs));
    mp_server->OnHalfMinuteTimer();
    QVERIFY(connected.wait(g_waitMs));
    QVERIFY(WaitPortsSet("alice", 2));
}

void TestPeerAttempts::DirectWinsAndALateRelayedAnswerIsKept()
{
    QSignalSpy queued(mp_messenger, &PeerMessenger::QueueUploadRequested);
    mp_bob->SetPorts(mp_bob->m_listener.serverPort(), 0);
    QVERIFY(WaitPortsSet("bob", 1));

    for (quint32 n = 1; n <= 3; ++n)
        mp_messenger->SendMessage("bob", Stream(Message(n)));
    QTcpSocket* direct = Accept(mp_bob->m_listener);
    QVERIFY(direct);
    FrameReader reader;
    QCOMPARE(reader.Next(direct), U32(PM_PEER_INIT) + Str("alice") + Str("P") + U32(0));
    for (quint32 n = 1; n <= 3; ++n)
        QCOMPARE(reader.Next(direct), Message(n));

    // The request through the server reached bob too. He answers it after
    // the direct way won and sends on that newer connection: it is kept, so
    // what he sends there is not lost.
    const Relay relay = ParseRelay(mp_bob->NextFromServer(SM_CONNECT_TO_PEER));
    QCOMPARE(relay.user, QByteArray("alice"));
    QCOMPARE(relay.type, QByteArray("P"));
    QCOMPARE(relay.port, quint32(mp_messenger->ListeningPort()));
    QVERIFY(relay.token != 0);
    auto late = ConnectRaw(quint16(relay.port));
    QVERIFY(late);
    WriteRaw(late.get(), Pierce(relay.token) + Frame(Message(7)));
    QTRY_COMPARE_WITH_TIMEOUT(queued.count(), 1, g_waitMs);
    QCOMPARE(queued[0][0].value<std::string>(), std::string("bob"));
    QCOMPARE(queued[0][1].value<std::string>(), std::string("file 7"));

    // A second answer with that token answers nothing.
    auto again = ConnectRaw(quint16(relay.port));
    QVERIFY(again);
    WriteRaw(again.get(), Pierce(relay.token));
    QVERIFY(WaitClosed(again.get()));

    // Later messages use an open connection; no new attempt.
    mp_messenger->SendMessage("bob", Stream(Message(4)));
    QVERIFY(QTest::qWaitFor([&] { return late->bytesAvailable() > 0 || direct->bytesAvailable() > 0; }, g_waitMs));
    QCOMPARE(m_ts.Received("alice", SM_CONNECT_TO_PEER).size(), 1);
    QVERIFY(late->state() == QAbstractSocket::ConnectedState);
    delete direct;
}

void TestPeerAttempts::ScrambledDirectConnection()
{
    QTcpServer scrambledListener;
    QVERIFY(scrambledListener.listen(QHostAddress::LocalHost, 0));
    mp_bob->SetPorts(mp_bob->m_listener.serverPort(), scrambledListener.serverPort());
    QVERIFY(WaitPortsSet("bob", 1));

    mp_messenger->SendMessage("bob", Stream(Message(1)));
    QTcpSocket* direct = Accept(scrambledListener);
    QVERIFY(direct);
    FrameReader reader(true);
    QCOMPARE(reader.Next(direct), U32(PM_PEER_INIT) + Str("alice") + Str("P") + U32(0));
    QCOMPARE(reader.Next(direct), Message(1));

    QSignalSpy queued(mp_messenger, &PeerMessenger::QueueUploadRequested);
    WriteRaw(direct, Scramble(Frame(Message(9)), 0x5a5a5a5a));
    QVERIFY(queued.wait(g_waitMs));
    QCOMPARE(queued[0][1].value<std::string>(), std::string("file 9"));
    QVERIFY(!mp_bob->m_listener.hasPendingConnections());
    delete direct;
}

void TestPeerAttempts::IndirectWhenDirectRefused()
{
    mp_bob->SetPorts(ClosedPort(), 0);
    QVERIFY(WaitPortsSet("bob", 1));

    for (quint32 n = 1; n <= 3; ++n)
        mp_messenger->SendMessage("bob", Stream(Message(n)));
    const Relay relay = ParseRelay(mp_bob->NextFromServer(SM_CONNECT_TO_PEER));
    QCOMPARE(relay.type, QByteArray("P"));
    QVERIFY(QTest::qWaitFor([&] { return m_fixture.Logged("cannot connect"); }, g_waitMs));

    auto pierced = ConnectRaw(quint16(relay.port));
    QVERIFY(pierced);
    WriteRaw(pierced.get(), Pierce(relay.token));
    FrameReader reader;
    for (quint32 n = 1; n <= 3; ++n)
        QCOMPARE(reader.Next(pierced.get()), Message(n));

    // The pierced connection is bob's messaging connection both ways.
    QSignalSpy queued(mp_messenger, &PeerMessenger::QueueUploadRequested);
    WriteRaw(pierced.get(), Frame(Message(7)));
    QVERIFY(queued.wait(g_waitMs));
    QCOMPARE(queued[0][0].value<std::string>(), std::string("bob"));
}

void TestPeerAttempts::UnsentQueueKeepsTheNewest()
{
    mp_bob->SetPorts(mp_bob->m_listener.serverPort(), 0);
    QVERIFY(WaitPortsSet("bob", 1));

    const quint32 total = PeerBounds::MAX_UNSENT_MESSAGES + 2;
    for (quint32 n = 1; n <= total; ++n)
        mp_messenger->SendMessage("bob", Stream(Message(n)));
    QVERIFY(m_fixture.Logged("More than 1000 unsent messages for user bob, dropping the oldest"));

    QTcpSocket* direct = Accept(mp_bob->m_listener);
    QVERIFY(direct);
    FrameReader reader;
    QCOMPARE(ToU32(reader.Next(direct)), quint32(PM_PEER_INIT));
    for (quint32 n = 3; n <= total; ++n)
        QCOMPARE(reader.Next(direct), Message(n));
    mp_messenger->SendMessage("bob", Stream(Message(0)));
    QCOMPARE(reader.Next(direct), Message(0));
    delete direct;
}

void TestPeerAttempts::BothWaysFailedReportsAndDiscards()
{
    QSignalSpy failed(mp_messenger, &PeerMessenger::ConnectionToUserFailed);
    mp_bob->SetPorts(ClosedPort(), 0);
    QVERIFY(WaitPortsSet("bob", 1));

    mp_messenger->SendMessage("bob", Stream(Message(1)));
    mp_messenger->SendMessage("bob", Stream(Message(2)));
    const Relay relay = ParseRelay(mp_bob->NextFromServer(SM_CONNECT_TO_PEER));
    // Direct refused, but the way through the server is still open.
    QVERIFY(QTest::qWaitFor([&] { return m_fixture.Logged("cannot connect"); }, g_waitMs));
    QTest::qWait(50);
    QCOMPARE(failed.count(), 0);

    mp_bob->SendToServer(SM_CANNOT_CONNECT, U32(relay.token) + Str("alice"));
    QVERIFY(failed.wait(g_waitMs));
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed[0][0].value<std::string>(), std::string("bob"));
    QCOMPARE(failed[0][1].value<std::string>(), std::string("P"));
    QVERIFY(m_fixture.Logged("Discarding 2 unsent message(s) for user bob"));

    // The discarded messages are gone for good.
    mp_bob->SetPorts(mp_bob->m_listener.serverPort(), 0);
    QVERIFY(WaitPortsSet("bob", 2));
    mp_messenger->SendMessage("bob", Stream(Message(3)));
    QTcpSocket* direct = Accept(mp_bob->m_listener);
    QVERIFY(direct);
    FrameReader reader;
    QCOMPARE(ToU32(reader.Next(direct)), quint32(PM_PEER_INIT));
    QCOMPARE(reader.Next(direct), Message(3));
    delete direct;
}

void TestPeerAttempts::PierceTimeLimit()
{
    QSignalSpy failed(mp_messenger, &PeerMessenger::ConnectionToUserFailed);
    mp_bob->SetPorts(ClosedPort(), 0);
    QVERIFY(WaitPortsSet("bob", 1));

    mp_messenger->RequestFileConnectionToUser("bob");
    const Relay relay = ParseRelay(mp_bob->NextFromServer(SM_CONNECT_TO_PEER));
    QCOMPARE(relay.type, QByteArray("F"));
    QVERIFY(QTest::qWaitFor([&] { return m_fixture.Logged("cannot connect"); }, g_waitMs));

    m_fixture.Tick(59999);
    QTest::qWait(50);
    QCOMPARE(failed.count(), 0);
    m_fixture.Tick(1);
    QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, g_waitMs);
    QCOMPARE(failed[0][1].value<std::string>(), std::string("F"));

    // A pierce after that is an answer to nothing.
    auto late = ConnectRaw(quint16(relay.port));
    QVERIFY(late);
    WriteRaw(late.get(), Pierce(relay.token));
    QVERIFY(WaitClosed(late.get()));
}

void TestPeerAttempts::OfflineUser()
{
    QSignalSpy failed(mp_messenger, &PeerMessenger::ConnectionToUserFailed);
    mp_messenger->GetUserSharedFiles("carol");
    QVERIFY(failed.wait(g_waitMs));
    QCOMPARE(failed[0][0].value<std::string>(), std::string("carol"));
    QCOMPARE(m_ts.Received("alice", SM_GET_PEER_ADDRESS).size(), 1);
    QCOMPARE(m_ts.Received("alice", SM_CONNECT_TO_PEER).size(), 1);
}

void TestPeerAttempts::RelayedRequestAnswered()
{
    QSignalSpy queued(mp_messenger, &PeerMessenger::QueueUploadRequested);
    mp_bob->SetPorts(mp_bob->m_listener.serverPort(), 0);
    QVERIFY(WaitPortsSet("bob", 1));
    mp_bob->SendToServer(SM_CONNECT_TO_PEER, U32(77) + Str("alice") + Str("P"));

    QTcpSocket* pierced = Accept(mp_bob->m_listener);
    QVERIFY(pierced);
    FrameReader reader;
    QCOMPARE(reader.Next(pierced), U32(PM_PIERCE_FIREWALL) + U32(77));
    WriteRaw(pierced, Frame(Message(5)));
    QVERIFY(queued.wait(g_waitMs));
    QCOMPARE(queued[0][0].value<std::string>(), std::string("bob"));

    // It is alice's messaging connection to bob as well.
    mp_messenger->SendMessage("bob", Stream(Message(6)));
    QCOMPARE(reader.Next(pierced), Message(6));
    QCOMPARE(m_ts.Received("alice", SM_GET_PEER_ADDRESS).size(), 0);
    delete pierced;
}

void TestPeerAttempts::RelayedRequestUnreachable()
{
    mp_bob->SetPorts(ClosedPort(), 0);
    QVERIFY(WaitPortsSet("bob", 1));
    mp_bob->SendToServer(SM_CONNECT_TO_PEER, U32(78) + Str("alice") + Str("P"));

    const QByteArray refusal = mp_bob->NextFromServer(SM_CANNOT_CONNECT);
    QCOMPARE(refusal, U32(SM_CANNOT_CONNECT) + U32(78) + Str("alice"));
    const QJsonArray sent = m_ts.Received("alice", SM_CANNOT_CONNECT);
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent[0].toObject()["fields"].toObject()["user"].toString(), QString("bob"));
}

void TestPeerAttempts::FileConnections()
{
    mp_bob->SetPorts(mp_bob->m_listener.serverPort(), 0);
    QVERIFY(WaitPortsSet("bob", 1));

    // Ours: the socket is handed over once the first message is out.
    QTcpSocket* accepted = nullptr;
    connect(mp_messenger, &PeerMessenger::FileConnectionAccepted, this,
            [&](std::string i_user, QTcpSocket* ip_socket) {
                QCOMPARE(i_user, std::string("bob"));
                accepted = ip_socket;
            });
    mp_messenger->RequestFileConnectionToUser("bob");
    QTcpSocket* bobSide = Accept(mp_bob->m_listener);
    QVERIFY(bobSide);
    QTRY_VERIFY_WITH_TIMEOUT(accepted != nullptr, g_waitMs);
    QVERIFY(accepted->parent() == nullptr);
    FrameReader reader;
    QCOMPARE(reader.Next(bobSide), U32(PM_PEER_INIT) + Str("alice") + Str("F") + U32(0));
    accepted->write(U32(41));
    accepted->flush();
    QVERIFY(QTest::qWaitFor([&] { return bobSide->bytesAvailable() >= 4; }, g_waitMs));
    QCOMPARE(bobSide->readAll(), U32(41));
    delete accepted;
    delete bobSide;

    // Bob's, through the server: alice pierces and waits for the number.
    QTcpSocket* requested = nullptr;
    unsigned int req = 0;
    connect(mp_messenger, &PeerMessenger::FileConnectionRequested, this,
            [&](std::string, QTcpSocket* ip_socket, unsigned int i_req) {
                requested = ip_socket;
                req = i_req;
            });
    mp_bob->SendToServer(SM_CONNECT_TO_PEER, U32(79) + Str("alice") + Str("F"));
    QTcpSocket* pierced = Accept(mp_bob->m_listener);
    QVERIFY(pierced);
    QCOMPARE(FrameReader().Next(pierced), U32(PM_PIERCE_FIREWALL) + U32(79));
    WriteRaw(pierced, U32(42) + "DATA");
    QTRY_VERIFY_WITH_TIMEOUT(requested != nullptr, g_waitMs);
    QCOMPARE(req, 42u);
    QVERIFY(QTest::qWaitFor([&] { return requested->bytesAvailable() >= 4; }, g_waitMs));
    QCOMPARE(requested->readAll(), QByteArray("DATA"));
    delete requested;
    delete pierced;
}

void TestPeerAttempts::DistributedConnectionToAddress()
{
    QSignalSpy opened(mp_messenger, &PeerMessenger::DistributedConnectionOpened);
    mp_messenger->RequestDistributedConnection("bob", QHostAddress(QHostAddress::LocalHost).toIPv4Address(),
                                               mp_bob->m_listener.serverPort());
    // A second request while the first is under way is not another attempt.
    mp_messenger->RequestDistributedConnection("bob", QHostAddress(QHostAddress::LocalHost).toIPv4Address(),
                                               mp_bob->m_listener.serverPort());
    QTcpSocket* bobSide = Accept(mp_bob->m_listener);
    QVERIFY(bobSide);
    QVERIFY(opened.count() == 1 || opened.wait(g_waitMs));
    QCOMPARE(opened[0][1].value<std::string>(), std::string("bob"));
    QCOMPARE(opened[0][2].toBool(), true);
    FrameReader reader;
    QCOMPARE(reader.Next(bobSide), U32(PM_PEER_INIT) + Str("alice") + Str("D") + U32(0));
    // No address was asked for: it was given.
    QVERIFY(m_ts.WaitFor("alice", SM_CONNECT_TO_PEER, 1, g_waitMs));
    QCOMPARE(m_ts.Received("alice", SM_CONNECT_TO_PEER).size(), 1);
    QCOMPARE(m_ts.Received("alice", SM_GET_PEER_ADDRESS).size(), 0);

    QSignalSpy message(mp_messenger, &PeerMessenger::DistributedMessage);
    WriteRaw(bobSide, Frame(DM_BRANCH_LEVEL, U32(2)));
    QVERIFY(message.wait(g_waitMs));
    QCOMPARE(message[0][0].value<quint64>(), opened[0][0].value<quint64>());
    delete bobSide;
}

void TestPeerAttempts::ClaimedNameTakesNothingMeantForTheUser()
{
    QSignalSpy lists(mp_messenger, &PeerMessenger::UserShare);
    mp_bob->SetPorts(mp_bob->m_listener.serverPort(), 0);
    ScriptedUser carol;
    QVERIFY(carol.LogIn(m_ts.Port(), "carol"));
    QVERIFY(WaitPortsSet("bob", 1));
    // Someone elsewhere says it is bob, and only listens.
    auto impostor = ConnectFrom(mp_messenger->ListeningPort(), 0x7F080001u, 65536);
    QVERIFY(impostor);
    WriteRaw(impostor.get(), PeerInit("bob", "P"));
    QTRY_VERIFY_WITH_TIMEOUT(m_fixture.Logged("User bob opened a connection of type P"), g_waitMs);

    // Answers to bob's searches and the request for his list go to bob, at
    // the address the server gives for him.
    const auto answer = [](quint32 i_n) {
        return U32(PM_FILE_SEARCH_RESULT) + Zlib(Str("alice") + U32(i_n) + U32(0) + B8(1) + U32(0) + U32(0));
    };
    for (quint32 n = 1; n <= 5; ++n)
        mp_messenger->SendAnswer("bob", Stream(answer(n)));
    mp_messenger->GetUserSharedFiles("bob");
    QTcpSocket* bob = Accept(mp_bob->m_listener);
    QVERIFY(bob);
    FrameReader reader;
    QCOMPARE(reader.Next(bob), U32(PM_PEER_INIT) + Str("alice") + Str("P") + U32(0));
    for (quint32 n = 1; n <= 5; ++n)
        QCOMPARE(reader.Next(bob), answer(n));
    QCOMPARE(reader.Next(bob), U32(PM_GET_SHARED_FILE_LIST));

    // Behind bob's own address a second party says it is bob and sends a
    // list that does not inflate; one from elsewhere is not even looked at.
    // Neither answers the request: bob's list, coming meanwhile, is taken.
    const QByteArray list = Frame(U32(PM_SHARED_FILE_LIST) + Zlib(U32(1) + Str("A") + U32(1) + FileRecord("x", 1) + U32(0)));
    bob->write(list.left(list.size() / 2));
    bob->flush();
    auto nearby = OpenMessaging(mp_messenger, "bob");
    WriteRaw(nearby.get(), Frame(PM_SHARED_FILE_LIST, QByteArray(200, 'x')));
    WriteRaw(impostor.get(), Frame(PM_SHARED_FILE_LIST, QByteArray(200, 'x')));
    QVERIFY(WaitClosed(nearby.get()));
    QTRY_VERIFY_WITH_TIMEOUT(m_fixture.Logged("not from the user's address"), g_waitMs);
    WriteRaw(bob, list.mid(list.size() / 2));
    QTRY_COMPARE_WITH_TIMEOUT(lists.count(), 1, g_waitMs);
    QCOMPARE(lists[0][0].value<std::string>(), std::string("bob"));

    // Two users behind one address, each known by name, get their own.
    auto fromCarol = OpenMessaging(mp_messenger, "carol");
    QTRY_VERIFY_WITH_TIMEOUT(m_fixture.Logged("User carol opened a connection of type P"), g_waitMs);
    mp_messenger->QueueDownload("carol", "for carol");
    mp_messenger->QueueDownload("bob", "for bob");
    QCOMPARE(FrameReader().Next(fromCarol.get()), U32(PM_QUEUE_UPLOAD) + Str("for carol"));
    QCOMPARE(reader.Next(bob), U32(PM_QUEUE_UPLOAD) + Str("for bob"));

    // Nor is a transfer of bob's handed to it, once bob has answered from
    // his own address what the server relays to him after our first request.
    QSignalSpy files(mp_messenger, &PeerMessenger::FileConnectionRequested);
    auto fileFromElsewhere = ConnectFrom(mp_messenger->ListeningPort(), 0x7F080001u, 65536);
    WriteRaw(fileFromElsewhere.get(), PeerInit("bob", "F") + U32(1));
    QVERIFY(!mp_bob->NextFromServer(SM_CONNECT_TO_PEER).isEmpty());
    auto proof = ConnectRaw(mp_messenger->ListeningPort());
    WriteRaw(proof.get(), Pierce(ParseRelay(mp_bob->NextFromServer(SM_CONNECT_TO_PEER)).token));
    QVERIFY(WaitClosed(fileFromElsewhere.get()));
    QCOMPARE(files.count(), 0);

    // The party claiming the name from elsewhere, still open, got nothing.
    QVERIFY(impostor->state() == QAbstractSocket::ConnectedState);
    QCOMPARE(impostor->readAll(), QByteArray());
}

void TestPeerAttempts::ServerComingAndGoing()
{
    QSignalSpy connected(mp_server, &Server::Connected);
    QSignalSpy given(mp_server, &Server::PeerAddressReceived);
    const auto relogin = [&] {
        const int logins = connected.count() + 1;
        return m_ts.Drop("alice") && QTest::qWaitFor([&] { return mp_server->IsAbruptlyDisconnected(); }, g_waitMs) &&
               (mp_server->OnHalfMinuteTimer(), QTest::qWaitFor([&] { return connected.count() == logins; }, g_waitMs));
    };
    const auto relayed = [&] { return m_ts.Received("alice", SM_CONNECT_TO_PEER).size(); };

    // The server calls bob offline, then reports him online: an answer to
    // his search and a browse reach him.
    mp_bob->SetPorts(mp_bob->m_listener.serverPort(), 0);
    QVERIFY(WaitPortsSet("bob", 1));
    QSignalSpy status(mp_server, &Server::UserStatusReceived);
    QVERIFY(m_ts.Send("alice", SM_GET_PEER_ADDRESS, {QJsonArray{"latin1", "bob"}, QJsonArray{"u32", 0}, QJsonArray{"u32", 0}, QJsonArray{"u32", 0}}));
    QVERIFY(m_ts.Send("alice", SM_USER_STATUS, {QJsonArray{"latin1", "bob"}, QJsonArray{"u32", 2}, QJsonArray{"byte", 0}}));
    QTRY_COMPARE_WITH_TIMEOUT(status.count(), 1, g_waitMs);
    const QByteArray answer = U32(PM_FILE_SEARCH_RESULT) + Zlib(Str("alice") + U32(1) + U32(0) + B8(1) + U32(0) + U32(0));
    mp_messenger->SendAnswer("bob", Stream(answer));
    mp_messenger->GetUserSharedFiles("bob");
    QTcpSocket* bob = Accept(mp_bob->m_listener);
    QVERIFY(bob);
    FrameReader reader;
    QCOMPARE(ToU32(reader.Next(bob)), quint32(PM_PEER_INIT));
    QCOMPARE(reader.Next(bob), answer);
    QCOMPARE(reader.Next(bob), U32(PM_GET_SHARED_FILE_LIST));

    // The server drops twice while an attempt to carol waits for her
    // address; the queue asks again at each login, as the transfer queue
    // does. After the third login she gets each request once.
    ScriptedUser carol;
    QVERIFY(carol.LogIn(m_ts.Port(), "carol"));
    carol.SetPorts(carol.m_listener.serverPort(), 0);
    QVERIFY(WaitPortsSet("carol", 1) && m_ts.Set("address_delay", 600));
    const QByteArray place = U32(PM_UPLOAD_PLACE_IN_LINE_REQUEST) + Str("song");
    const auto askCarol = [&] {
        mp_messenger->QueueDownload("carol", "song");
        mp_messenger->SendMessage("carol", Stream(place));
    };
    const int base = relayed();
    askCarol();
    const QMetaObject::Connection asking = connect(mp_server, &Server::Connected, this, askCarol);
    for (int login = 2; login <= 3; ++login)
    {
        QVERIFY(m_ts.WaitFor("alice", SM_CONNECT_TO_PEER, base + login - 1, g_waitMs));
        QVERIFY(login < 3 || m_ts.Set("address_delay", 0));
        QVERIFY(relogin());
    }
    QTcpSocket* toCarol = Accept(carol.m_listener);
    QVERIFY(toCarol);
    disconnect(asking);
    FrameReader carols;
    QCOMPARE(ToU32(carols.Next(toCarol)), quint32(PM_PEER_INIT));
    QCOMPARE(carols.Next(toCarol), U32(PM_QUEUE_UPLOAD) + Str("song"));
    QCOMPARE(carols.Next(toCarol), place);
    mp_messenger->SendMessage("carol", Stream(Message(9)));
    QCOMPARE(carols.Next(toCarol), Message(9));

    // A direct connect to dave is under way at the drop, to a listener whose
    // line is full: it ends with the attempt, and after the login the
    // kept request and a browse reach him and his list comes.
    ScriptedUser dave;
    QVERIFY(dave.LogIn(m_ts.Port(), "dave"));
    dave.SetPorts(dave.m_listener.serverPort(), 0);
    const int full = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    QVERIFY(::bind(full, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 && ::listen(full, 0) == 0 &&
            ::getsockname(full, reinterpret_cast<sockaddr*>(&at), &length) == 0);
    auto filler = ConnectRaw(ntohs(at.sin_port));
    QVERIFY(filler && WaitPortsSet("dave", 1));
    QVERIFY(m_ts.Set("peer_addresses", QJsonObject{{"dave", QJsonArray{"127.0.0.1", int(ntohs(at.sin_port))}}}));
    const int answers = given.count();
    mp_messenger->QueueDownload("dave", "tune");
    QTRY_COMPARE_WITH_TIMEOUT(given.count(), answers + 1, g_waitMs);
    QVERIFY(m_ts.Set("peer_addresses", QJsonObject{}) && relogin());
    mp_messenger->GetUserSharedFiles("dave");
    QTcpSocket* toDave = Accept(dave.m_listener);
    QVERIFY(toDave);
    FrameReader daves;
    QCOMPARE(ToU32(daves.Next(toDave)), quint32(PM_PEER_INIT));
    QCOMPARE(daves.Next(toDave), U32(PM_QUEUE_UPLOAD) + Str("tune"));
    QCOMPARE(daves.Next(toDave), U32(PM_GET_SHARED_FILE_LIST));
    QSignalSpy lists(mp_messenger, &PeerMessenger::UserShare);
    WriteRaw(toDave, Frame(U32(PM_SHARED_FILE_LIST) + Zlib(U32(1) + Str("A") + U32(1) + FileRecord("x", 1) + U32(0))));
    QTRY_COMPARE_WITH_TIMEOUT(lists.count(), 1, g_waitMs);
    ::close(full);

    // Erin's client took our relayed request and went away. The server's
    // word that she is online right after the attempt began changes
    // nothing; a while later it asks her anew at once.
    ScriptedUser erin;
    QVERIFY(erin.LogIn(m_ts.Port(), "erin"));
    const auto asked = [&](int i_code, const QString& i_user, int i_from = 0) {
        const QJsonArray all = m_ts.Received("alice", i_code);
        int n = 0;
        for (int k = i_from; k < all.size(); ++k)
            n += all[k].toObject()["fields"].toObject()["user"].toString() == i_user;
        return n;
    };
    // Whatever the status made the client send has reached the server once
    // a later message of ours has.
    const auto online = [&](const char* i_user) {
        const int fence = m_ts.Received("alice", SM_GET_USER_STATS).size() + 1;
        const int seen = status.count() + 1;
        return m_ts.Send("alice", SM_USER_STATUS, {QJsonArray{"latin1", i_user}, QJsonArray{"u32", 2}, QJsonArray{"byte", 0}}) &&
               QTest::qWaitFor([&] { return status.count() == seen; }, g_waitMs) &&
               (mp_server->GetUserStats("fence"), m_ts.WaitFor("alice", SM_GET_USER_STATS, fence, g_waitMs));
    };
    mp_messenger->GetUserSharedFiles("erin");
    QTRY_COMPARE_WITH_TIMEOUT(asked(SM_CONNECT_TO_PEER, "erin"), 1, g_waitMs);
    QVERIFY(online("erin"));
    QCOMPARE(asked(SM_CONNECT_TO_PEER, "erin"), 1);
    m_fixture.m_now += PeerAttempts::RENEW_AFTER_MS;
    QVERIFY(online("erin"));
    QTRY_COMPARE_WITH_TIMEOUT(asked(SM_CONNECT_TO_PEER, "erin"), 2, g_waitMs);

    // Kept while the server is away: answers to searchers, then a browse of
    // fay. After the login fay and erin, for whom requests of ours wait, are
    // asked first, and each user's address is asked for once, not again by
    // the server's own list of what it asked.
    const int relayedBefore = m_ts.Received("alice", SM_CONNECT_TO_PEER).size();
    const int addressesBefore = m_ts.Received("alice", SM_GET_PEER_ADDRESS).size();
    const int logins = connected.count() + 1;
    QVERIFY(m_ts.Drop("alice") && QTest::qWaitFor([&] { return mp_server->IsAbruptlyDisconnected(); }, g_waitMs));
    for (const char* searcher : {"s1", "s2", "s3"})
        mp_messenger->SendAnswer(searcher, Stream(answer));
    mp_messenger->GetUserSharedFiles("fay");
    mp_server->OnHalfMinuteTimer();
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), logins, g_waitMs);
    QTRY_VERIFY_WITH_TIMEOUT(m_ts.Received("alice", SM_CONNECT_TO_PEER).size() >= relayedBefore + 5 &&
                                 m_ts.Received("alice", SM_GET_PEER_ADDRESS).size() >= addressesBefore + 5,
                             g_waitMs);
    QCOMPARE(asked(SM_CONNECT_TO_PEER, "fay", relayedBefore) + asked(SM_CONNECT_TO_PEER, "erin", relayedBefore), 2);
    QCOMPARE(asked(SM_CONNECT_TO_PEER, "fay", relayedBefore + 2) + asked(SM_CONNECT_TO_PEER, "erin", relayedBefore + 2), 0);
    for (const char* user : {"erin", "fay", "s1", "s2", "s3"})
        QVERIFY2(asked(SM_GET_PEER_ADDRESS, user, addressesBefore) == 1, user);
    delete toCarol;
    delete toDave;
    delete bob;
}

void TestPeerAttempts::WhatClaimantsMakeUsSayStaysWithThem()
{
    // The transfer queue denies a file we do not share, at once.
    QSignalSpy asked(mp_messenger, &PeerMessenger::QueueUploadRequested);
    connect(mp_messenger, &PeerMessenger::QueueUploadRequested, mp_messenger,
            [this](std::string i_user, std::string i_file) { mp_messenger->DenyUpload(i_user, i_file, "File not shared."); });
    const auto denial = [](const QByteArray& i_file) {
        return U32(PM_UPLOAD_DENIED) + Str(i_file) + Str("File not shared.");
    };

    // Forty users the server knows, each claimed by a party at an address
    // of its own that asks a thousand files with 30,000-byte names and never
    // reads. The client holds no more than the output it lets each party
    // have: nothing is kept for the users.
    const int parties = 40, requests = 1000;
    const QByteArray longName(30000, 'n');
    std::vector<std::unique_ptr<ScriptedUser>> users;
    std::vector<std::unique_ptr<QTcpSocket>> claimants;
    for (int k = 0; k < parties; ++k)
    {
        users.push_back(std::make_unique<ScriptedUser>());
        QVERIFY(users.back()->LogIn(m_ts.Port(), "user" + QByteArray::number(k)));
        users.back()->SetPorts(users.back()->m_listener.serverPort(), 0);
        QVERIFY(WaitPortsSet("user" + QByteArray::number(k), 1));
    }
    const size_t before = HeapInUse();
    for (int k = 0; k < parties; ++k)
    {
        claimants.push_back(ConnectFrom(mp_messenger->ListeningPort(), 0x7F0A0001u + quint32(k)));
        QVERIFY(claimants.back());
        WriteRaw(claimants.back().get(), PeerInit("user" + QByteArray::number(k), "P"));
    }
    std::vector<int> sent(parties, 0);
    qint64 written = 0;
    const auto feed = [&] {
        for (int k = 0; k < parties; ++k)
            while (sent[k] < requests && claimants[k]->state() == QAbstractSocket::ConnectedState &&
                   claimants[k]->bytesToWrite() < 65536)
            {
                const QByteArray request = Frame(PM_QUEUE_UPLOAD, Str(longName + QByteArray::number(sent[k]++)));
                claimants[k]->write(request);
                written += request.size();
            }
    };
    const auto allTaken = [&] {
        return asked.count() == parties * requests &&
               std::all_of(claimants.begin(), claimants.end(), [](auto& i_c) { return i_c->bytesToWrite() == 0; });
    };
    // Until all is taken, or the client stops reading what has no room.
    SpinWhileMoving(allTaken, [&] { return written + asked.count(); }, feed);
    QVERIFY2(HeapInUse() < before + parties * size_t(PeerBounds::MAX_UNSENT_BYTES) + (64 << 20),
             qPrintable(QString("%1 MiB more held").arg((HeapInUse() - before) >> 20)));
    // Each real user, asked for something of ours, gets that first; a
    // request of his own is answered to him.
    for (int k = 0; k < parties; ++k)
    {
        const QByteArray user = "user" + QByteArray::number(k);
        mp_messenger->QueueDownload(user.toStdString(), "fence");
        std::unique_ptr<QTcpSocket> toUser(Accept(users[k]->m_listener));
        QVERIFY(toUser);
        FrameReader reader;
        QCOMPARE(reader.Next(toUser.get()), U32(PM_PEER_INIT) + Str("alice") + Str("P") + U32(0));
        QVERIFY2(reader.Next(toUser.get()) == U32(PM_QUEUE_UPLOAD) + Str("fence"), user.constData());
        if (k == 0)
        {
            WriteRaw(toUser.get(), Frame(PM_QUEUE_UPLOAD, Str("missing")));
            QCOMPARE(reader.Next(toUser.get()), denial("missing"));
        }
    }
    claimants.clear();
    users.clear();

    // Carol: three queue requests and three place-in-line requests of ours
    // wait for her while her address is slow to come. A party claims her
    // and asks 1,100 files: its denials are its own, and when carol answers
    // our relayed request she gets ours, in order, and nothing else.
    QVERIFY(m_ts.Set("address_delay", 600));
    ScriptedUser carol;
    QVERIFY(carol.LogIn(m_ts.Port(), "carol"));
    carol.SetPorts(carol.m_listener.serverPort(), 0);
    QVERIFY(WaitPortsSet("carol", 1));
    std::vector<QByteArray> ours;
    for (int n = 1; n <= 3; ++n)
    {
        const QByteArray file = "mine " + QByteArray::number(n);
        mp_messenger->QueueDownload("carol", file.toStdString());
        ours.push_back(U32(PM_QUEUE_UPLOAD) + Str(file));
        ours.push_back(U32(PM_UPLOAD_PLACE_IN_LINE_REQUEST) + Str(file));
        mp_messenger->SendMessage("carol", Stream(ours.back()));
    }
    const Relay relay = ParseRelay(carol.NextFromServer(SM_CONNECT_TO_PEER));
    QVERIFY(relay.token != 0);
    const int base = asked.count();
    auto claimant = ConnectFrom(mp_messenger->ListeningPort(), 0x7F0B0001u, 1 << 20);
    QVERIFY(claimant);
    QByteArray flood = PeerInit("carol", "P");
    for (int n = 0; n < 1100; ++n)
        flood += Frame(PM_QUEUE_UPLOAD, Str("not mine " + QByteArray::number(n)));
    WriteRaw(claimant.get(), flood);
    FrameReader claimantReader;
    for (int n = 0; n < 1100; ++n)
        QCOMPARE(claimantReader.Next(claimant.get()), denial("not mine " + QByteArray::number(n)));
    QCOMPARE(asked.count(), base + 1100);
    auto fromCarol = ConnectRaw(mp_messenger->ListeningPort());
    QVERIFY(fromCarol);
    WriteRaw(fromCarol.get(), Pierce(relay.token));
    FrameReader carols;
    for (const QByteArray& message : ours)
        QCOMPARE(carols.Next(fromCarol.get()), message);
    mp_messenger->QueueDownload("carol", "fence");
    QCOMPARE(carols.Next(fromCarol.get()), U32(PM_QUEUE_UPLOAD) + Str("fence"));

    // The address book full of users in use takes 30,000 more answers: the
    // users in use are asked for a round at a time, not for each answer,
    // and the book stays within its bound, those in use kept.
    std::set<std::string> inUse;
    size_t rounds = 0;
    PeerAddressBook book([] { return qint64(0); }, [&] {
        ++rounds;
        return inUse;
    });
    for (size_t k = 0; k < PeerAddressBook::MAX_USERS; ++k)
    {
        inUse.insert("busy" + std::to_string(k));
        book.NoteGiven("busy" + std::to_string(k), quint32(k + 1));
    }
    const size_t more = 30000;
    for (size_t k = 0; k < more; ++k)
        book.NoteGiven("searcher" + std::to_string(k), 0x7F000001u);
    QVERIFY2(book.Size() <= PeerAddressBook::MAX_USERS, qPrintable(QString::number(book.Size())));
    QVERIFY2(rounds <= more / PeerAddressBook::ROOM_AT_ONCE + 1, qPrintable(QString::number(rounds)));
    QCOMPARE(book.Given("busy0"), 1u);
    QCOMPARE(book.Given("busy9999"), 10000u);
    // Once they are idle, the book takes answers again.
    inUse.clear();
    for (size_t k = 0; k <= PeerAddressBook::ROOM_AT_ONCE; ++k)
        book.NoteGiven("later" + std::to_string(k), 0x7F000002u);
    QCOMPARE(book.Given("later" + std::to_string(PeerAddressBook::ROOM_AT_ONCE)), 0x7F000002u);
    QVERIFY(book.Size() <= PeerAddressBook::MAX_USERS);
}

QTEST_MAIN(TestPeerAttempts)
#include "test_peer_attempts.moc"
