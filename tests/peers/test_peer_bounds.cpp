// What many peers together can make the client hold, over real sockets.

#include "PeerTestSupport.h"

#include <QElapsedTimer>

#include <sys/socket.h>

#include <cstring>

using namespace peertest;

namespace
{
std::unique_ptr<QTcpSocket> ConnectNarrow(quint16 i_port, int i_host)
{
    return ConnectFrom(i_port, 0x7F000100u + quint32(i_host));
}

// Peers that take 64 KiB at a time, all in turn, until each has the frame
// (or has been closed); true when each got it whole.
bool ReadSlowly(std::vector<std::unique_ptr<QTcpSocket>>& io_readers, const QByteArray& i_frame)
{
    std::vector<qsizetype> got(io_readers.size(), 0);
    bool same = true;
    const bool ended = Spin([&] {
        bool done = true;
        for (size_t k = 0; k < io_readers.size(); ++k)
        {
            const QByteArray bytes = io_readers[k]->read(64 * 1024);
            same = same && got[k] + bytes.size() <= i_frame.size() &&
                   std::memcmp(bytes.constData(), i_frame.constData() + got[k], size_t(bytes.size())) == 0;
            got[k] += bytes.size();
            done = done && (got[k] == i_frame.size() || io_readers[k]->state() != QAbstractSocket::ConnectedState);
        }
        return done;
    });
    return ended && same && std::all_of(got.begin(), got.end(), [&](qsizetype i_got) { return i_got == i_frame.size(); });
}
}

class TestPeerBounds : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_fixture.SetUpStore(); }
    void cleanup() { m_fixture.TearDown(); }
    void WhatPeersTogetherCanMakeUsHoldIsBounded();
    void HonestPeersGetWhatTheyAskFor();

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
    QCOMPARE(T("search_result")->ItemCount(), PeerBounds::MAX_RESULTS_PER_USER + 200);
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
    QVERIFY(HeapInUse() < before + PeerBounds::MAX_PARTIAL_FRAME_BYTES_TOTAL + (16 << 20));
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
    QVERIFY(HeapInUse() < before + size_t(PeerBounds::MAX_OUTPUT_BYTES_TOTAL) + (16 << 20));
}

void TestPeerBounds::HonestPeersGetWhatTheyAskFor()
{
    PeerMessenger* messenger = m_fixture.NewMessenger();
    FakeShares shares;
    const auto ask = [](QTcpSocket* ip_socket) {
        WriteRaw(ip_socket, Frame(PM_GET_SHARED_FILES_IN_FOLDER, U32(1) + Str("A")));
        return FrameReader().Next(ip_socket) == U32(PM_SHARED_FILES_IN_FOLDER) + Zlib(U32(1) + Str("A") + U32(0));
    };
    QSignalSpy queued(messenger, &PeerMessenger::QueueUploadRequested);

    // Many users behind one address: 30 that connect within a second and
    // say who they are are all kept; the bound of the address takes the
    // connections that have been there longer.
    {
        const DescriptorLimit limit(512);
        QVERIFY(limit.Set());
        const size_t bound = PeerBounds::IncomingPerAddressBound();
        const auto identify = [&](std::vector<std::unique_ptr<QTcpSocket>>& io_peers, const QByteArray& i_name, size_t i_count) {
            for (size_t k = 0; k < i_count; ++k)
            {
                io_peers.push_back(ConnectFrom(messenger->ListeningPort(), 0x7F000201u, 65536));
                const QByteArray user = i_name + QByteArray::number(qulonglong(k));
                WriteRaw(io_peers.back().get(), PeerInit(user, "P") + Frame(PM_QUEUE_UPLOAD, Str(user)));
            }
        };
        std::vector<std::unique_ptr<QTcpSocket>> older, newer;
        identify(older, "older", bound);
        QTRY_COMPARE_WITH_TIMEOUT(queued.count(), int(bound), g_waitMs);
        m_fixture.m_now += 5000;
        identify(newer, "newer", 30);
        QTRY_COMPARE_WITH_TIMEOUT(queued.count(), int(bound) + 30, g_waitMs);
        const auto open = [](std::vector<std::unique_ptr<QTcpSocket>>& i_peers) {
            return std::count_if(i_peers.begin(), i_peers.end(), [](const auto& i_peer) {
                i_peer->readAll();
                return i_peer->state() == QAbstractSocket::ConnectedState;
            });
        };
        QTRY_COMPARE_WITH_TIMEOUT(open(older), qsizetype(bound - 30), g_waitMs);
        QCOMPARE(open(newer), 30);
    }

    // Readers that take a large list slowly, all at once, each get it whole.
    shares.m_body = Noise(10 << 20);
    const QByteArray list = Frame(U32(PM_SHARED_FILE_LIST) + shares.m_body);
    const auto browse = [&](std::vector<std::unique_ptr<QTcpSocket>>& io_peers, const QByteArray& i_name, int i_from, int i_count, int i_buffer) {
        for (int k = 0; k < i_count; ++k)
        {
            io_peers.push_back(ConnectFrom(messenger->ListeningPort(), 0x7F000100u + quint32(i_from + k), i_buffer));
            WriteRaw(io_peers.back().get(), PeerInit(i_name + QByteArray::number(k), "P") + Frame(PM_GET_SHARED_FILE_LIST));
        }
        return QTest::qWaitFor([&] { return shares.m_askedBy.size() >= size_t(i_from + i_count); }, g_waitMs);
    };
    std::vector<std::unique_ptr<QTcpSocket>> readers;
    QVERIFY(browse(readers, "reader", 0, 12, 65536));
    QVERIFY(ReadSlowly(readers, list));

    // Peers that ask and never read, then honest readers: the honest ones
    // all get it whole, while what the client holds stays within its bound.
    const size_t before = HeapInUse();
    std::vector<std::unique_ptr<QTcpSocket>> silent, honest;
    QVERIFY(browse(silent, "silent", 12, 40, 4096));
    QVERIFY(browse(honest, "honest", 52, 6, 65536));
    QVERIFY(HeapInUse() < before + size_t(PeerBounds::MAX_OUTPUT_BYTES_TOTAL));
    QVERIFY(ReadSlowly(honest, list));
    QVERIFY(HeapInUse() < before + size_t(PeerBounds::MAX_OUTPUT_BYTES_TOTAL));
    silent.clear();

    // Several large lists we asked for, arriving at once, all arrive,
    // though together they pass the bound on frames being received.
    QSignalSpy lists(messenger, &PeerMessenger::UserShare);
    const QByteArray longList = LongList(240);
    QVERIFY(size_t(longList.size()) * 5 > PeerBounds::MAX_PARTIAL_FRAME_BYTES_TOTAL);
    std::vector<std::unique_ptr<QTcpSocket>> listers;
    for (int k = 0; k < 5; ++k)
    {
        listers.push_back(OpenMessaging(messenger, "lister" + QByteArray::number(k)));
        QVERIFY(ask(listers.back().get()));
        messenger->GetUserSharedFiles("lister" + std::to_string(k));
        QCOMPARE(FrameReader().Next(listers.back().get()), U32(PM_GET_SHARED_FILE_LIST));
    }
    const qsizetype piece = 1 << 20;
    for (qsizetype at = 0; at < longList.size(); at += piece)
    {
        for (auto& lister : listers)
            lister->write(longList.mid(at, piece));
        QVERIFY(Spin([&] {
            return std::all_of(listers.begin(), listers.end(), [&](const auto& i_lister) { return i_lister->bytesToWrite() < 2 * piece; });
        }));
    }
    QTRY_COMPARE_WITH_TIMEOUT(lists.count(), 5, 6 * g_waitMs);

    // A second request to a user before the first list came: both lists are
    // taken, and a third that nobody asked for is not.
    auto twice = OpenMessaging(messenger, "twice");
    QVERIFY(ask(twice.get()));
    messenger->GetUserSharedFiles("twice");
    messenger->GetUserSharedFiles("twice");
    FrameReader twiceReader;
    QCOMPARE(twiceReader.Next(twice.get()), U32(PM_GET_SHARED_FILE_LIST));
    QCOMPARE(twiceReader.Next(twice.get()), U32(PM_GET_SHARED_FILE_LIST));
    const QByteArray shortList = LongList(4);
    QVERIFY(size_t(shortList.size()) > MAX_PEER_REQUEST_FRAME);
    WriteRaw(twice.get(), shortList + shortList);
    QTRY_COMPARE_WITH_TIMEOUT(lists.count(), 7, g_waitMs);
    QVERIFY(ask(twice.get()));
    WriteRaw(twice.get(), shortList);
    QVERIFY(WaitClosed(twice.get()));
    QVERIFY(!m_fixture.Logged("the frames being received on all connections pass"));
    QVERIFY(!m_fixture.Logged("the output waiting on all connections passes"));
}

QTEST_MAIN(TestPeerBounds)
#include "test_peer_bounds.moc"
