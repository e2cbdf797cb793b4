// What many peers together can make the client hold, over real sockets.

#include "PeerTestSupport.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace peertest;

namespace
{
QByteArray Noise(int i_size)
{
    QByteArray noise(i_size, '\0');
    quint32 word = 12345;
    for (char& c : noise)
        c = char((word = word * 1664525u + 1013904223u) >> 24);
    return noise;
}

QByteArray SearchReply(const QByteArray& i_user, int i_files)
{
    QByteArray body = Str(i_user) + U32(7) + U32(quint32(i_files));
    for (int k = 0; k < i_files; ++k)
        body += FileRecord("A\\f" + QByteArray::number(k), 1);
    return Frame(U32(PM_FILE_SEARCH_RESULT) + Zlib(body + B8(0) + U32(0) + U32(0) + U32(0)));
}

// A peer at 127.0.1.i_host whose system buffers take next to nothing: what
// it does not read waits in the client.
std::unique_ptr<QTcpSocket> ConnectNarrow(quint16 i_port, int i_host)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int size = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F000100u + quint32(i_host));
    ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(i_port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto socket = std::make_unique<QTcpSocket>();
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 || !socket->setSocketDescriptor(fd))
        return nullptr;
    socket->setReadBufferSize(4096);
    return socket;
}
}

class TestPeerBounds : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_fixture.SetUpStore(); }
    void cleanup() { m_fixture.TearDown(); }
    void WhatPeersTogetherCanMakeUsHoldIsBounded();

private:
    Fixture m_fixture;
};

void TestPeerBounds::WhatPeersTogetherCanMakeUsHoldIsBounded()
{
    PeerMessenger* messenger = m_fixture.NewMessenger();
    FakeShares shares;
    // A folder request and its answer: what the peer sent before is handled.
    const auto ask = [](QTcpSocket* ip_socket) {
        WriteRaw(ip_socket, Frame(PM_GET_SHARED_FILES_IN_FOLDER, U32(1) + Str("A")));
        return FrameReader().Next(ip_socket) == U32(PM_SHARED_FILES_IN_FOLDER) + Zlib(U32(1) + Str("A") + U32(0));
    };
    const auto logCount = [&](const QString& i_part) {
        return std::count_if(m_fixture.m_log.begin(), m_fixture.m_log.end(),
                             [&](const QString& i_line) { return i_line.contains(i_part); });
    };

    // Someone claiming the name of a user we talk to asks for much and goes:
    // what is read after it has gone is answered nowhere, least of all on
    // the real user's connection.
    auto victim = OpenMessaging(messenger, "victim");
    QVERIFY(victim && ask(victim.get()));
    auto claimer = OpenMessaging(messenger, "victim");
    QByteArray requests;
    for (int k = 0; k < 1500; ++k)
        requests += Frame(PM_GET_SHARED_FILE_LIST) + Frame(PM_GET_SHARED_FILES_IN_FOLDER, U32(1000 + k) + Str("A"));
    WriteRaw(claimer.get(), requests);
    QCOMPARE(::shutdown(int(claimer->socketDescriptor()), SHUT_WR), 0);
    QTRY_VERIFY_WITH_TIMEOUT(m_fixture.Logged("(type P): closed by the other side"), g_waitMs);
    QCOMPARE(logCount("Dropping replies to user victim"), 1);
    QVERIFY(ask(victim.get()));
    QVERIFY(!m_fixture.Logged("Connecting to user victim"));

    // A search keeps so many results from one user; others' still come in.
    T("search_request")->NewItem(std::string("7"));
    auto flooder = OpenMessaging(messenger, "flooder");
    for (int k = 0; k < 4; ++k)
        WriteRaw(flooder.get(), SearchReply("flooder", 2000));
    WriteRaw(victim.get(), SearchReply("victim", 200));
    QVERIFY(ask(flooder.get()) && ask(victim.get()));
    QCOMPARE(T("search_result")->ItemCount(), PeerMessenger::MAX_RESULTS_PER_USER + 200);
    QCOMPARE(logCount("Dropping search results of user flooder for search 7"), 1);

    // A request announcing 64 MiB is refused at its head; replies to our
    // search may be large, but the frames being received on all connections
    // together stay within their bound, and go with their connections.
    auto folder = OpenMessaging(messenger, "folder");
    WriteRaw(folder.get(), U32(64u << 20) + U32(PM_GET_SHARED_FILES_IN_FOLDER) + QByteArray(1000, 'x'));
    QVERIFY(WaitClosed(folder.get()));
    const QByteArray stalled = U32(30u << 20) + U32(PM_FILE_SEARCH_RESULT) + Noise((30 << 20) - 1000);
    const size_t before = HeapInUse();
    std::vector<std::unique_ptr<QTcpSocket>> peers;
    for (int k = 0; k < 6; ++k)
    {
        peers.push_back(OpenMessaging(messenger, "half" + QByteArray::number(k)));
        WriteRaw(peers.back().get(), stalled);
    }
    for (auto& peer : peers)
        QVERIFY(QTest::qWaitFor([&] { return peer->bytesToWrite() == 0 || !peer->isValid(); }, 6 * g_waitMs));
    QVERIFY(ask(victim.get()));
    QVERIFY(m_fixture.Logged("the frames being received on all connections pass"));
    QVERIFY(HeapInUse() < before + PeerMessenger::MAX_PARTIAL_FRAME_BYTES_TOTAL + (16 << 20));
    peers.clear();
    QVERIFY(QTest::qWaitFor(
        [&] {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            return HeapInUse() < before + (16 << 20);
        },
        g_waitMs));

    // Many peers ask for much and never read: the output waiting on all
    // connections stays within its bound, and an honest peer is served.
    shares.m_body = Noise(1 << 20);
    shares.m_askedBy.clear();
    for (int k = 0; k < 40; ++k)
    {
        peers.push_back(ConnectNarrow(messenger->ListeningPort(), 1 + k));
        QVERIFY(peers.back());
        WriteRaw(peers.back().get(), PeerInit("reader" + QByteArray::number(k), "P"));
        for (int n = 0; n < 7; ++n)
            WriteRaw(peers.back().get(), Frame(PM_GET_SHARED_FILE_LIST));
    }
    // Each is answered in full or closed.
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(peers.begin(), peers.end(),
                                         [&, k = 0](auto&) mutable {
                                             const std::string name = "reader" + std::to_string(k++);
                                             return std::count(shares.m_askedBy.begin(), shares.m_askedBy.end(), name) == 7 ||
                                                    m_fixture.Logged(QString("user %1 (type P): the output waiting")
                                                                         .arg(QString::fromStdString(name)));
                                         }),
                             6 * g_waitMs);
    QVERIFY(ask(victim.get()));
    QVERIFY(logCount("the output waiting on all connections passes") > 0);
    QVERIFY(HeapInUse() < before + size_t(PeerMessenger::MAX_OUTPUT_BYTES_TOTAL) + (16 << 20));
}

QTEST_MAIN(TestPeerBounds)
#include "test_peer_bounds.moc"
