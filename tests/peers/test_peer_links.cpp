// Connections that other clients open to the messenger: the first message
// and its time limit, scrambled connections against the documented test
// vectors, the hand-over of file connections with nothing read beyond the
// request number, "D" connections, idle time-outs, and the listeners'
// ports and their recovery from a failed accept. No central server here.

#include "PeerTestSupport.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

using namespace peertest;

class TestPeerLinks : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void FirstMessageRules_data();
    void FirstMessageRules();
    void FirstMessageTimeLimit();
    void ScrambledConnectionMatchesVectors();
    void FileConnectionHandOver_data();
    void FileConnectionHandOver();
    void FileConnectionWithoutTakerClosed();
    void IdleMessagingClosedDistributedKept();
    void DistributedConnectionFromPeer();
    void OwnNameAndNoServerGiveUp();
    void ListeningPorts();
    void ListenersRecoverFromFailedAccept();

private:
    Fixture m_fixture;
    PeerMessenger* mp_messenger = nullptr;
};

void TestPeerLinks::init()
{
    m_fixture.SetUpStore();
    mp_messenger = m_fixture.NewMessenger();
    QVERIFY(mp_messenger->ListeningPort() != 0);
    QVERIFY(mp_messenger->ObfuscatedListeningPort() != 0);
}

void TestPeerLinks::cleanup()
{
    m_fixture.TearDown();
    mp_messenger = nullptr;
}

void TestPeerLinks::FirstMessageRules_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("peer init") << PeerInit("bob", "P") << true;
    QTest::newRow("another message first") << Frame(PM_QUEUE_UPLOAD, Str("x")) << false;
    QTest::newRow("unknown type") << PeerInit("bob", "X") << false;
    QTest::newRow("no user name") << PeerInit("", "P") << false;
    QTest::newRow("init cut short") << Frame(PM_PEER_INIT, Str("bob")) << false;
    QTest::newRow("pierce with a token of no request") << Pierce(12345) << false;
    QTest::newRow("first frame of a megabyte") << U32(1024 * 1024) + U32(PM_PEER_INIT) << false;
}

void TestPeerLinks::FirstMessageRules()
{
    QFETCH(QByteArray, first);
    QFETCH(bool, accepted);
    auto bob = ConnectRaw(mp_messenger->ListeningPort());
    QVERIFY(bob);
    QSignalSpy queued(mp_messenger, &PeerMessenger::QueueUploadRequested);
    WriteRaw(bob.get(), first + Frame(PM_QUEUE_UPLOAD, Str("after")));
    if (accepted)
    {
        QVERIFY(queued.wait(g_waitMs));
        QCOMPARE(queued[0][0].value<std::string>(), std::string("bob"));
    }
    else
    {
        QVERIFY(WaitClosed(bob.get()));
        QCOMPARE(queued.count(), 0);
    }
}

void TestPeerLinks::FirstMessageTimeLimit()
{
    auto silent = ConnectRaw(mp_messenger->ListeningPort());
    QVERIFY(silent);
    QVERIFY(QTest::qWaitFor([&] { return m_fixture.Logged("Incoming connection"); }, g_waitMs));
    // Half a first frame does not count.
    WriteRaw(silent.get(), PeerInit("bob", "P").left(6));
    m_fixture.Tick(29999);
    QTest::qWait(50);
    QCOMPARE(silent->state(), QAbstractSocket::ConnectedState);
    m_fixture.Tick(1);
    QVERIFY(WaitClosed(silent.get()));
}

void TestPeerLinks::ScrambledConnectionMatchesVectors()
{
    // The scrambler of this test reproduces the documented vectors.
    const QByteArray vector1 = QByteArray::fromHex("040302010003020197b22062");
    const QByteArray vector2 = QByteArray::fromHex("040302010c03020197b22062d69699af");
    QCOMPARE(Scramble(Frame(PM_GET_SHARED_FILE_LIST), 0x01020304), vector1);
    QCOMPARE(Scramble(QByteArray::fromHex("080000000400000000000000"), 0x01020304), vector2);

    FakeShares shares;
    auto bob = ConnectRaw(mp_messenger->ObfuscatedListeningPort());
    QVERIFY(bob);
    // First message under one key, the share-list request exactly as the vector has it.
    WriteRaw(bob.get(), Scramble(PeerInit("bob", "P"), 0xdeadbeef) + vector1);
    FrameReader reader(true);
    const QByteArray reply = reader.Next(bob.get());
    QCOMPARE(reply, U32(PM_SHARED_FILE_LIST) + shares.m_body);
    QCOMPARE(shares.m_askedBy, std::vector<std::string>{"bob"});

    // What the messenger sends is scrambled too, each frame with its own key.
    mp_messenger->QueueDownload("bob", "A\\x");
    mp_messenger->QueueDownload("bob", "A\\x");
    QCOMPARE(reader.Next(bob.get()), U32(PM_QUEUE_UPLOAD) + Str("A\\x"));
    QCOMPARE(reader.Next(bob.get()), U32(PM_QUEUE_UPLOAD) + Str("A\\x"));

    // A plain frame on the scrambled port reads as a frame still coming;
    // it never becomes a first message and the time limit ends it.
    auto plain = ConnectRaw(mp_messenger->ObfuscatedListeningPort());
    QVERIFY(plain);
    WriteRaw(plain.get(), PeerInit("carol", "P"));
    QTest::qWait(50);
    m_fixture.Tick(30000);
    QVERIFY(WaitClosed(plain.get()));
    QVERIFY(!m_fixture.Logged("User carol"));
}

void TestPeerLinks::FileConnectionHandOver_data()
{
    QTest::addColumn<bool>("scrambled");
    QTest::addColumn<bool>("inPieces");
    QTest::newRow("plain, at once") << false << false;
    QTest::newRow("plain, request number in pieces") << false << true;
    QTest::newRow("scrambled, at once") << true << false;
    QTest::newRow("scrambled, request number in pieces") << true << true;
}

void TestPeerLinks::FileConnectionHandOver()
{
    QFETCH(bool, scrambled);
    QFETCH(bool, inPieces);

    QTcpSocket* handed = nullptr;
    std::string user;
    unsigned int req = 0;
    int calls = 0;
    connect(mp_messenger, &PeerMessenger::FileConnectionRequested, this,
            [&](std::string i_user, QTcpSocket* ip_socket, unsigned int i_req) {
                ++calls;
                user = i_user;
                handed = ip_socket;
                req = i_req;
                // The handed socket must carry no signal of the messenger:
                // nothing but the new owner reads it.
                ip_socket->setParent(this);
            });

    const quint16 port = scrambled ? mp_messenger->ObfuscatedListeningPort() : mp_messenger->ListeningPort();
    auto bob = ConnectRaw(port);
    QVERIFY(bob);
    const QByteArray init = PeerInit("bob", "F");
    // Only the first frame is scrambled; after it the bytes are raw.
    const QByteArray first = scrambled ? Scramble(init, 0x11223344) : init;
    const QByteArray raw = U32(0xA1B2C3D4) + "RAWDATA";
    if (inPieces)
    {
        WriteRaw(bob.get(), first + raw.left(2));
        QTest::qWait(100);
        QCOMPARE(calls, 0);
        WriteRaw(bob.get(), raw.mid(2));
    }
    else
    {
        WriteRaw(bob.get(), first + raw);
    }
    QTRY_COMPARE_WITH_TIMEOUT(calls, 1, g_waitMs);
    QCOMPARE(user, std::string("bob"));
    QCOMPARE(req, 0xA1B2C3D4u);

    // Exactly four bytes were read: the rest waits in the socket.
    QVERIFY(QTest::qWaitFor([&] { return handed->bytesAvailable() >= 7; }, g_waitMs));
    QCOMPARE(handed->readAll(), QByteArray("RAWDATA"));
    WriteRaw(bob.get(), "MORE");
    QVERIFY(QTest::qWaitFor([&] { return handed->bytesAvailable() >= 4; }, g_waitMs));
    QCOMPARE(handed->readAll(), QByteArray("MORE"));

    // The messenger has let go: closing from either side is no business of it.
    handed->write("OFFSET!!");
    handed->flush();
    QVERIFY(QTest::qWaitFor([&] { return bob->bytesAvailable() >= 8; }, g_waitMs));
    QCOMPARE(bob->readAll(), QByteArray("OFFSET!!"));
    delete handed;
}

void TestPeerLinks::FileConnectionWithoutTakerClosed()
{
    auto bob = ConnectRaw(mp_messenger->ListeningPort());
    QVERIFY(bob);
    WriteRaw(bob.get(), PeerInit("bob", "F") + U32(7));
    QVERIFY(WaitClosed(bob.get()));
    QVERIFY(m_fixture.Logged("Nobody takes the file connection of user bob"));
}

void TestPeerLinks::IdleMessagingClosedDistributedKept()
{
    QSignalSpy opened(mp_messenger, &PeerMessenger::DistributedConnectionOpened);
    auto messaging = OpenMessaging(mp_messenger);
    auto distributed = ConnectRaw(mp_messenger->ListeningPort());
    QVERIFY(messaging && distributed);
    WriteRaw(distributed.get(), PeerInit("carol", "D"));
    QVERIFY(opened.wait(g_waitMs));

    m_fixture.Tick(5 * 60 * 1000 - 1);
    QTest::qWait(50);
    QCOMPARE(messaging->state(), QAbstractSocket::ConnectedState);
    m_fixture.Tick(1);
    QVERIFY(WaitClosed(messaging.get()));
    m_fixture.Tick(60 * 60 * 1000);
    QTest::qWait(50);
    QCOMPARE(distributed->state(), QAbstractSocket::ConnectedState);
}

void TestPeerLinks::DistributedConnectionFromPeer()
{
    QSignalSpy opened(mp_messenger, &PeerMessenger::DistributedConnectionOpened);
    QSignalSpy message(mp_messenger, &PeerMessenger::DistributedMessage);
    QSignalSpy closed(mp_messenger, &PeerMessenger::DistributedConnectionClosed);
    auto carol = ConnectRaw(mp_messenger->ListeningPort());
    QVERIFY(carol);
    WriteRaw(carol.get(), PeerInit("carol", "D") + Frame(DM_BRANCH_LEVEL, U32(3)));
    QVERIFY(message.wait(g_waitMs));
    QCOMPARE(opened.count(), 1);
    const quint64 id = opened[0][0].value<quint64>();
    QCOMPARE(opened[0][1].value<std::string>(), std::string("carol"));
    QCOMPARE(opened[0][2].toBool(), false);
    QCOMPARE(message[0][0].value<quint64>(), id);
    QCOMPARE(message[0][2].toByteArray(), U32(DM_BRANCH_LEVEL) + U32(3));

    FrameReader reader;
    QVERIFY(mp_messenger->SendDistributedMessage(id, Stream(U32(DM_BRANCH_ROOT) + Str("alice"))));
    QCOMPARE(reader.Next(carol.get()), U32(DM_BRANCH_ROOT) + Str("alice"));
    QVERIFY(!mp_messenger->SendDistributedMessage(id + 1000, Stream(U32(DM_BRANCH_LEVEL) + U32(0))));

    // Closed by the other side: announced.
    carol->abort();
    QVERIFY(closed.wait(g_waitMs));
    QCOMPARE(closed[0][0].value<quint64>(), id);
    QVERIFY(!mp_messenger->SendDistributedMessage(id, Stream(U32(DM_BRANCH_LEVEL) + U32(0))));

    // A frame over the distributed limit closes, also announced.
    auto dave = ConnectRaw(mp_messenger->ListeningPort());
    QVERIFY(dave);
    WriteRaw(dave.get(), PeerInit("dave", "D") + U32(MAX_DISTRIBUTED_FRAME + 1));
    QVERIFY(WaitClosed(dave.get()));
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 2, g_waitMs);

    // Closed by the distributed network: not announced.
    auto erin = ConnectRaw(mp_messenger->ListeningPort());
    QVERIFY(erin);
    WriteRaw(erin.get(), PeerInit("erin", "D"));
    QTRY_COMPARE_WITH_TIMEOUT(opened.count(), 3, g_waitMs);
    mp_messenger->CloseDistributedConnection(opened[2][0].value<quint64>());
    QVERIFY(WaitClosed(erin.get()));
    QTest::qWait(50);
    QCOMPARE(closed.count(), 2);
}

void TestPeerLinks::OwnNameAndNoServerGiveUp()
{
    QSignalSpy failed(mp_messenger, &PeerMessenger::ConnectionToUserFailed);
    mp_messenger->GetUserSharedFiles("alice");
    mp_messenger->RequestFileConnectionToUser("alice");
    QVERIFY(m_fixture.Logged("Not sending a message to our own user name"));
    QVERIFY(m_fixture.Logged("Not connecting to our own user name"));

    // Without a server the only way left is none: given up, reported later.
    mp_messenger->GetUserSharedFiles("bob");
    QCOMPARE(failed.count(), 0);
    QVERIFY(failed.wait(g_waitMs));
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed[0][0].value<std::string>(), std::string("bob"));
    QCOMPARE(failed[0][1].value<std::string>(), std::string("P"));
    QVERIFY(m_fixture.Logged("Discarding 1 unsent message(s) for user bob"));
}

void TestPeerLinks::ListeningPorts()
{
    delete mp_messenger;
    m_fixture.mp_messenger = mp_messenger = new PeerMessenger;

    // A pending port replaces the one in use, and its key goes.
    QTcpServer occupied;
    QVERIFY(occupied.listen(QHostAddress::AnyIPv4, 0));
    const quint16 fresh = FreePort();
    SetSetting("new_listening_port", std::to_string(fresh));
    SetSetting("obfuscated_listening_port", std::to_string(occupied.serverPort()));
    mp_messenger->DataLoaded();
    QCOMPARE(GetSetting("listening_port"), std::to_string(fresh));
    QVERIFY(!T("global")->HasItem(std::string("new_listening_port")));
    QCOMPARE(mp_messenger->ListeningPort(), fresh);
    // A port that cannot be opened is logged and reported as none.
    QCOMPARE(mp_messenger->ObfuscatedListeningPort(), quint16(0));
    QVERIFY(m_fixture.Logged(QString("Cannot listen for scrambled peer connections on port %1")
                                 .arg(occupied.serverPort())));

    // A key without a value is no pending port: nothing moves, the key stays.
    delete mp_messenger;
    m_fixture.mp_messenger = mp_messenger = new PeerMessenger;
    QVERIFY(T("global")->GetItem(std::string("new_listening_port")));
    mp_messenger->DataLoaded();
    QCOMPARE(GetSetting("listening_port"), std::to_string(fresh));
    QVERIFY(T("global")->HasItem(std::string("new_listening_port")));
    QCOMPARE(mp_messenger->ListeningPort(), fresh);

    // Absent settings get the defaults.
    delete mp_messenger;
    m_fixture.mp_messenger = mp_messenger = new PeerMessenger;
    ClearSetting("listening_port");
    ClearSetting("obfuscated_listening_port");
    mp_messenger->DataLoaded();
    QCOMPARE(GetSetting("listening_port"), std::string("2235"));
    QCOMPARE(GetSetting("obfuscated_listening_port"), std::string("8973"));
}

void TestPeerLinks::ListenersRecoverFromFailedAccept()
{
    // A connection waits at each port, already made by the system.
    auto plain = std::make_unique<QTcpSocket>();
    auto scrambled = std::make_unique<QTcpSocket>();
    plain->connectToHost(QHostAddress::LocalHost, mp_messenger->ListeningPort());
    scrambled->connectToHost(QHostAddress::LocalHost, mp_messenger->ObfuscatedListeningPort());
    QVERIFY(plain->waitForConnected(g_waitMs) && scrambled->waitForConnected(g_waitMs));

    // The process runs out of descriptors: a lowered limit, filled up.
    rlimit original{};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &original), 0);
    const int probe = open("/dev/null", O_RDONLY);
    QVERIFY(probe >= 0);
    std::vector<int> taken{probe};
    rlimit lowered = original;
    lowered.rlim_cur = std::min<rlim_t>(original.rlim_cur, rlim_t(probe) + 64);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    for (int fd; (fd = dup(probe)) >= 0;)
        taken.push_back(fd);
    const bool failed = QTest::qWaitFor(
        [&] {
            return m_fixture.Logged("Cannot accept peer connections") &&
                   m_fixture.Logged("Cannot accept scrambled peer connections");
        },
        g_waitMs);
    for (int fd : taken)
        close(fd);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &original), 0);
    QVERIFY(failed);
    QVERIFY(!m_fixture.Logged("Incoming"));

    // With descriptors free again both listeners take their connection on
    // their own, and it works.
    QSignalSpy queued(mp_messenger, &PeerMessenger::QueueUploadRequested);
    WriteRaw(plain.get(), PeerInit("bob", "P") + Frame(PM_QUEUE_UPLOAD, Str("a")));
    WriteRaw(scrambled.get(), Scramble(PeerInit("carol", "P"), 7) + Scramble(Frame(PM_QUEUE_UPLOAD, Str("b")), 9));
    QTRY_COMPARE_WITH_TIMEOUT(queued.count(), 2, 6 * g_waitMs);
    QVERIFY(m_fixture.Logged("Incoming connection") && m_fixture.Logged("Incoming scrambled connection"));
    // Later connections are taken at once, and the failure was told once.
    auto later = ConnectRaw(mp_messenger->ListeningPort());
    QVERIFY(later);
    WriteRaw(later.get(), PeerInit("dave", "P") + Frame(PM_QUEUE_UPLOAD, Str("c")));
    QTRY_COMPARE_WITH_TIMEOUT(queued.count(), 3, g_waitMs);
    QCOMPARE(std::count_if(m_fixture.m_log.begin(), m_fixture.m_log.end(),
                           [](const QString& i_line) { return i_line.startsWith("Cannot accept"); }),
             2);
}

QTEST_MAIN(TestPeerLinks)
#include "test_peer_links.moc"
