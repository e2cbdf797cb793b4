// An honest peer gets through while others hold the client's doors, over
// real sockets, with a scripted server.

#include "PeerTestSupport.h"
#include "common/TestServer.h"

#include <sys/resource.h>

using namespace peertest;

class TestPeerDoors : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_fixture.SetUpStore();
        QVERIFY(m_ts.Start());
        mp_server = new Server;
        mp_server->CreateData();
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &m_limit) == 0);
    }
    void cleanup()
    {
        ::setrlimit(RLIMIT_NOFILE, &m_limit);
        m_fixture.TearDown();
        delete mp_server;
        m_ts.Stop();
    }
    void HonestPeersGetThrough();

private:
    Fixture m_fixture;
    TestServer m_ts;
    Server* mp_server = nullptr;
    rlimit m_limit{};
};

void TestPeerDoors::HonestPeersGetThrough()
{
    PeerMessenger* messenger = m_fixture.NewMessenger();
    QVERIFY(m_fixture.LogIn(mp_server, m_ts.Port()));
    QSignalSpy asked(messenger, &PeerMessenger::QueueUploadRequested);

    // With few descriptors, many idle connections from many addresses, and
    // more from one: a new peer is still accepted and read.
    rlimit lowered = m_limit;
    lowered.rlim_cur = std::min<rlim_t>(512, m_limit.rlim_max);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int k = 0; k < 260; ++k)
    {
        auto socket = std::make_unique<QTcpSocket>();
        const int host = k < 220 ? 2 + k % 20 : 99;
        socket->bind(QHostAddress(QString("127.0.0.%1").arg(host)));
        socket->connectToHost(QHostAddress::LocalHost, messenger->ListeningPort());
        QVERIFY(QTest::qWaitFor([&] { return socket->state() == QAbstractSocket::ConnectedState; }, g_waitMs));
        if (k % 2 == 0)
            WriteRaw(socket.get(), PeerInit("idle" + QByteArray::number(k), "P"));
        idle.push_back(std::move(socket));
    }
    auto honest = OpenMessaging(messenger, "honest");
    QVERIFY(honest);
    WriteRaw(honest.get(), Frame(PM_QUEUE_UPLOAD, Str("after the idle ones")));
    QVERIFY(asked.wait(g_waitMs));
    const auto open = [&](int i_from, int i_to) {
        return std::count_if(idle.begin() + i_from, idle.begin() + i_to, [](const auto& i_socket) {
            i_socket->readAll();
            return i_socket->state() == QAbstractSocket::ConnectedState;
        });
    };
    QTRY_VERIFY_WITH_TIMEOUT(open(0, 260) < 128 && open(220, 260) <= 32, g_waitMs);
    idle.clear();
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &m_limit), 0);

    // A burst of frames from the server is handled in turns: a peer's
    // request sent when the burst has begun is answered long before its end.
    const int burst = 2000;
    QByteArray searches;
    for (int k = 0; k < burst; ++k)
        searches += Frame(SM_DISTRIBUTED_SEARCH, Str("searcher") + U32(quint32(k)) + Str("some text"));
    int searched = 0;
    int searchedWhenAnswered = -1;
    connect(mp_server, &Server::DistributedSearchReceived, this, [&] {
        if (++searched == 1)
            WriteRaw(honest.get(), Frame(PM_QUEUE_UPLOAD, Str("during the burst")));
    });
    connect(messenger, &PeerMessenger::QueueUploadRequested, this, [&](std::string, std::string i_file) {
        if (i_file == "during the burst")
            searchedWhenAnswered = searched;
    });
    QVERIFY(m_ts.Raw("alice", searches));
    QTRY_COMPARE_WITH_TIMEOUT(searched, burst, 6 * g_waitMs);
    QVERIFY2(searchedWhenAnswered >= 0 && searchedWhenAnswered < burst / 2,
             qPrintable(QString("answered after %1 searches").arg(searchedWhenAnswered)));

    // Relayed connects to an address that never accepts take most of the
    // connect slots, never all: a connect of the client's own goes at once.
    // Once its places in line are taken, it answers no further connect.
    QTcpServer silent;
    silent.setListenBacklogSize(0);
    silent.setMaxPendingConnections(1);
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    QByteArray relays;
    for (quint32 k = 1; k <= 400; ++k)
        relays += Frame(SM_CONNECT_TO_PEER, Str("relayed" + QByteArray::number(k)) + Str("P") + U32(0x7F000001) +
                                                U32(silent.serverPort()) + U32(k));
    QVERIFY(m_ts.Raw("alice", relays + Frame(SM_DISTRIBUTED_SEARCH, Str("searcher") + U32(0) + Str("marker"))));
    QTRY_COMPARE_WITH_TIMEOUT(searched, burst + 1, g_waitMs);
    QTcpServer own;
    QVERIFY(own.listen(QHostAddress::LocalHost, 0));
    messenger->RequestDistributedConnection("bob", 0x7F000001, own.serverPort());
    QTcpSocket* ours = Accept(own);
    QVERIFY(ours);
    QCOMPARE(FrameReader().Next(ours), U32(PM_PEER_INIT) + Str("alice") + Str("D") + U32(0));

    // A frame still coming in keeps its connection from counting as idle
    // (when making room, as at the idle limit). Its first bytes come in
    // the same read pass as the whole frame before it, 4 minutes later.
    connect(messenger, &PeerMessenger::QueueUploadRequested, this, [&](std::string, std::string i_file) {
        if (i_file == "then a long one")
            m_fixture.m_now += 4 * 60 * 1000;
    });
    WriteRaw(honest.get(), Frame(PM_QUEUE_UPLOAD, Str("then a long one")) + U32(200000) + U32(PM_QUEUE_UPLOAD));
    QVERIFY(asked.wait(g_waitMs));
    m_fixture.Tick(60 * 1000 + 1);
    QVERIFY(!m_fixture.Logged("user honest (type P): idle"));

    // What the server sent before closing is handled, however many turns
    // it would take.
    QVERIFY(m_ts.Raw("alice", searches));
    QVERIFY(m_ts.Drop("alice", true));
    QTRY_COMPARE_WITH_TIMEOUT(searched, 2 * burst + 1, g_waitMs);
}

QTEST_MAIN(TestPeerDoors)
#include "test_peer_doors.moc"
