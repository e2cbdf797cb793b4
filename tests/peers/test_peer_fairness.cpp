// What one peer holds or floods is its own, over real loopback sockets:
// while hostile peers hold the client, honest ones are answered at once and
// once, users who said who they are keep their connections, a list we asked
// for arrives, and the client's memory stays within its bounds. The clock
// stands still, so no hostile peer counts as stalled: what frees the honest
// ones is never the closing of the stalled.

#include "PeerTestSupport.h"
#include "common/TestServer.h"

#include <QElapsedTimer>

#include <map>
#include <numeric>

#include <poll.h>
#include <sys/ioctl.h>
#include <linux/sockios.h>

using namespace peertest;

namespace
{
const qint64 g_MiB = 1024 * 1024;
// The output all big answers together may hold.
const qint64 g_bigPart = PeerBounds::MAX_OUTPUT_BYTES_TOTAL - PeerBounds::SMALL_ANSWER_RESERVE;

quint32 Address(int i_b, int i_c, int i_d) { return 0x7F000000u | quint32(i_b) << 16 | quint32(i_c) << 8 | quint32(i_d); }

// The messages a raw peer received so far.
class Inbox
{
public:
    explicit Inbox(QTcpSocket* ip_socket) : mp_socket(ip_socket) {}
    const std::vector<QByteArray>& Poll()
    {
        m_buffer += mp_socket->readAll();
        while (m_buffer.size() >= 4 && m_buffer.size() >= 4 + qsizetype(ToU32(m_buffer)))
        {
            m_messages.push_back(m_buffer.mid(4, qsizetype(ToU32(m_buffer))));
            m_buffer.remove(0, 4 + m_messages.back().size());
        }
        return m_messages;
    }

private:
    QTcpSocket* mp_socket;
    QByteArray m_buffer;
    std::vector<QByteArray> m_messages;
};

// Shares whose folder "Big" has a large reply that does not compress.
class BigFolderShares : public FakeShares
{
public:
    static constexpr int BIG_REPLY_BYTES = 6700 * 1024;
    MemStream GetFolderContentsMessage(std::string i_user, unsigned int i_req, std::string i_folder, bool i_reached) override
    {
        if (i_folder != "Big")
            return FakeShares::GetFolderContentsMessage(i_user, i_req, i_folder, i_reached);
        ++m_bigReplies;
        return m_bigReply;
    }
    size_t FolderContentsSize(std::string i_user, std::string i_folder, bool i_reached) override
    {
        return i_folder == "Big" ? m_bigReply.Size() : FakeShares::FolderContentsSize(i_user, i_folder, i_reached);
    }
    size_t m_bigReplies = 0;
    MemStream m_bigReply = [] {
        MemStream m;
        m.WriteUInt32(PM_SHARED_FILES_IN_FOLDER);
        const QByteArray noise = Noise(BIG_REPLY_BYTES);
        m.WriteBytes(noise.constData(), size_t(noise.size()));
        return m;
    }();
};

QByteArray FolderRequest(quint32 i_req, const QByteArray& i_folder)
{
    return Frame(PM_GET_SHARED_FILES_IN_FOLDER, U32(i_req) + Str(i_folder));
}
QByteArray PlaceRequest(const QByteArray& i_file) { return Frame(PM_UPLOAD_PLACE_IN_LINE_REQUEST, Str(i_file)); }

// A peer that reads at its own rate: what it received, and the last of it.
// It reads from the system as it goes, as a peer on a slow link takes what
// arrives: Qt, left to fill a buffer of its own, takes from the system only
// once that buffer is empty, and the sender sees seconds of nothing taken
// that no link makes.
struct Reader
{
    Reader(quint16 i_port, quint32 i_address, qint64 i_rate, const QByteArray& i_first, int i_buffer = 0, int i_segment = 0)
        : socket(ConnectFrom(i_port, i_address, i_buffer > 0 ? i_buffer : i_rate < 4096 ? 4096 : 256 * 1024, i_segment)),
          rate(i_rate)
    {
        socket->setReadBufferSize(1);
        WriteRaw(socket.get(), i_first);
        clock.start();
    }
    // A pause: what it may take is counted from now.
    void Pause() { clock.start(), from = got; }
    // What it may take by now, of what has come: a read sized by the rate
    // alone would make a buffer as large as all it missed, each time.
    void Pump()
    {
        qint64 want = std::max<qint64>(rate * clock.elapsed() / 1000 - (got - from), 0);
        // What Qt took is older than what the system holds.
        QByteArray bytes = socket->read(std::min(want, socket->bytesAvailable()));
        want -= bytes.size();
        const int fd = int(socket->socketDescriptor());
        if (want > 0 && fd >= 0 && !ended)
        {
            const qsizetype at = bytes.size();
            bytes.resize(at + qsizetype(std::min<qint64>(want, 1 << 20)));
            const ssize_t n = ::recv(fd, bytes.data() + at, size_t(bytes.size() - at), MSG_DONTWAIT);
            ended = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
            bytes.resize(at + std::max<qsizetype>(qsizetype(n), 0));
        }
        got += bytes.size();
        tail = (tail + bytes).right(64);
    }
    bool Open() const { return !ended && socket->state() == QAbstractSocket::ConnectedState; }
    bool ended = false;
    std::unique_ptr<QTcpSocket> socket;
    qint64 rate, got = 0, from = 0;
    QElapsedTimer clock;
    QByteArray tail;
};
}

class TestPeerFairness : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_fixture.SetUpStore(); }
    void cleanup() { m_fixture.TearDown(); }
    void HonestRequestsWhileOthersHoldTheOutput();
    void HonestUsersKeptAndAnsweredOnce();
    void ReadersThatKeepReadingAreNotClosed();
    void SmallAnswersFindRoomWhileReadersHoldTheTotal();
    void ManySmallHoldersStayWithinTheTotal();

private:
    Fixture m_fixture;
};

void TestPeerFairness::HonestRequestsWhileOthersHoldTheOutput()
{
    const DescriptorLimit limit(4096);
    QVERIFY(limit.Set());
    PeerMessenger* messenger = m_fixture.NewMessenger();
    BigFolderShares shares;
    FakeUploads uploads;
    uploads.m_known = "song";
    uploads.m_place = 3;
    const quint16 port = messenger->ListeningPort();
    const size_t heapAtStart = HeapInUse();

    // Ten peers, each from its own address, ask four times for the big
    // folder (one at a time fits in what a party may hold): five never
    // read, five read 256 KiB every two seconds.
    std::vector<std::unique_ptr<QTcpSocket>> holders;
    for (int k = 0; k < 10; ++k)
    {
        holders.push_back(ConnectFrom(port, Address(0, 1, 1 + k)));
        QVERIFY(holders.back());
        WriteRaw(holders.back().get(), PeerInit("holder" + QByteArray::number(k), "P") + FolderRequest(1, "Big") +
                                           FolderRequest(2, "Big") + FolderRequest(3, "Big") + FolderRequest(4, "Big"));
    }
    QElapsedTimer clock;
    clock.start();
    qint64 trickled = 0;
    const auto trickle = [&] {
        if (clock.elapsed() / 2000 <= trickled)
            return;
        trickled = clock.elapsed() / 2000;
        // Past the socket's small buffer, from the system's.
        static char bytes[256 * 1024];
        for (size_t k = 1; k < holders.size(); k += 2)
            ::recv(int(holders[k]->socketDescriptor()), bytes, sizeof bytes - size_t(holders[k]->read(4096).size()), MSG_DONTWAIT);
    };
    // Until the client has taken their requests up to the bound on all
    // output but its reserve for small answers, and then no more of them
    // for a second.
    size_t replies = 0;
    QElapsedTimer still;
    still.start();
    (void)SpinWhileMoving(
        [&] {
            if (replies != shares.m_bigReplies)
                replies = shares.m_bigReplies, still.restart();
            return qint64(replies) * BigFolderShares::BIG_REPLY_BYTES >= g_bigPart && still.elapsed() > 1000;
        },
        [&] { return qint64(shares.m_bigReplies); }, trickle);
    QVERIFY(qint64(shares.m_bigReplies) * BigFolderShares::BIG_REPLY_BYTES >= g_bigPart);
    QVERIFY(HeapInUse() < heapAtStart + size_t(PeerBounds::MAX_OUTPUT_BYTES_TOTAL + 24 * g_MiB));

    // Honest peers ask for a small folder, the share list and a place in
    // line: each is answered at once.
    std::vector<std::unique_ptr<QTcpSocket>> honest;
    std::vector<Inbox> inboxes;
    for (int k = 0; k < 3; ++k)
    {
        honest.push_back(ConnectFrom(port, Address(0, 2, 1 + k), 65536));
        QVERIFY(honest.back());
        inboxes.emplace_back(honest.back().get());
        WriteRaw(honest.back().get(), PeerInit("honest" + QByteArray::number(k), "P"));
    }
    const auto ask = [&](quint32 i_round) {
        WriteRaw(honest[0].get(), FolderRequest(i_round, "Small"));
        WriteRaw(honest[1].get(), Frame(PM_GET_SHARED_FILE_LIST));
        WriteRaw(honest[2].get(), PlaceRequest("song"));
        return Spin([&] { return std::all_of(inboxes.begin(), inboxes.end(), [&](Inbox& i_in) { return i_in.Poll().size() >= i_round; }); },
                    trickle, g_waitMs);
    };
    QVERIFY(ask(1));

    // Meanwhile 400 peers each send a place-in-line request and junk after
    // it: the client takes a small part of it, not a buffer a peer.
    const int flooders = std::min(400, int(PeerBounds::IncomingBound()) - 40);
    const QByteArray junk = Noise(int(2 * g_MiB), 99);
    const size_t heapBeforeFlood = HeapInUse();
    size_t heapPeak = heapBeforeFlood;
    std::vector<std::unique_ptr<QTcpSocket>> flood;
    std::vector<qint64> pushed(size_t(flooders), 0);
    for (int k = 0; k < flooders; ++k)
    {
        flood.push_back(ConnectFrom(port, Address(0, 4 + k / 200, 1 + k % 200)));
        QVERIFY(flood.back());
        const int sendBuffer = 256 * 1024;
        ::setsockopt(int(flood.back()->socketDescriptor()), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        WriteRaw(flood.back().get(), PeerInit("flood" + QByteArray::number(k), "P") + PlaceRequest("none"));
    }
    const auto push = [&] {
        trickle();
        for (int k = 0; k < flooders; ++k)
        {
            const ssize_t sent = pushed[k] >= junk.size() ? 0 : ::send(int(flood[k]->socketDescriptor()), junk.constData() + pushed[k], size_t(junk.size() - pushed[k]), MSG_DONTWAIT | MSG_NOSIGNAL);
            pushed[k] += std::max<ssize_t>(sent, 0);
        }
        heapPeak = std::max(heapPeak, HeapInUse());
    };
    QVERIFY(ask(2));
    // Until the client takes no more of the junk.
    (void)SpinWhileMoving([] { return false; }, [&] { return std::accumulate(pushed.begin(), pushed.end(), qint64(0)); },
                          push, 2000);
    QVERIFY2(heapPeak < heapBeforeFlood + size_t(PeerBounds::MAX_OUTPUT_BYTES_TOTAL + 48 * g_MiB),
             qPrintable(QString("the flood grew the heap by %1 MiB").arg(double(heapPeak - heapBeforeFlood) / double(g_MiB))));

    // A big share list we asked for arrives while they all hold the client.
    QSignalSpy lists(messenger, &PeerMessenger::UserShare);
    auto lister = ConnectFrom(port, Address(0, 3, 1), 65536);
    QVERIFY(lister);
    WriteRaw(lister.get(), PeerInit("lister", "P"));
    QVERIFY(Spin([&] { return m_fixture.Logged("User lister opened a connection of type P"); }));
    messenger->GetUserSharedFiles("lister");
    QCOMPARE(FrameReader().Next(lister.get()), U32(PM_GET_SHARED_FILE_LIST));
    lister->write(LongList(80));
    // While the client takes more of it.
    const auto unsent = [&] {
        int unacked = 0;
        ::ioctl(int(lister->socketDescriptor()), SIOCOUTQ, &unacked);
        return lister->bytesToWrite() + unacked;
    };
    QVERIFY(SpinWhileMoving([&] { return lists.count() > 0; }, unsent, push));

    // Each request got one answer, and the list was taken once.
    (void)Spin([] { return false; }, push, 1000);
    QCOMPARE(lists.count(), 1);
    const QByteArray list = U32(PM_SHARED_FILE_LIST) + shares.m_body;
    const QByteArray place = U32(PM_UPLOAD_PLACE_IN_LINE) + Str("song") + U32(3);
    for (quint32 n = 1; n <= 2; ++n)
        QCOMPARE(inboxes[0].Poll()[n - 1], U32(PM_SHARED_FILES_IN_FOLDER) + Zlib(U32(n) + Str("Small") + U32(0)));
    QCOMPARE(inboxes[1].Poll(), std::vector<QByteArray>({list, list}));
    QCOMPARE(inboxes[2].Poll(), std::vector<QByteArray>({place, place}));
    QCOMPARE(inboxes[0].Poll().size(), size_t(2));
}

void TestPeerFairness::HonestUsersKeptAndAnsweredOnce()
{
    TestServer testServer;
    QVERIFY(testServer.Start());
    Server server;
    server.CreateData();
    PeerMessenger* messenger = m_fixture.NewMessenger();
    QVERIFY(m_fixture.LogIn(&server, testServer.Port()));
    FakeUploads uploads;
    uploads.m_known = "song";
    uploads.m_place = 5;
    const quint16 port = messenger->ListeningPort();

    // A searcher reads our answer and closes a second later without a
    // word: it had it, and it does not come again.
    ScriptedUser searcher;
    QVERIFY(searcher.LogIn(testServer.Port(), "searcher"));
    searcher.SetPorts(searcher.m_listener.serverPort(), 0);
    QVERIFY(testServer.WaitFor("searcher", SM_SET_LISTEN_PORTS, 1, g_waitMs));
    const QByteArray answer = SearchReply("alice", 3).mid(4);
    messenger->SendAnswer("searcher", Stream(answer));
    {
        std::unique_ptr<QTcpSocket> first(Accept(searcher.m_listener));
        QVERIFY(first);
        FrameReader reader;
        QCOMPARE(reader.Next(first.get()), U32(PM_PEER_INIT) + Str("alice") + Str("P") + U32(0));
        QCOMPARE(reader.Next(first.get()), answer);
        QTest::qWait(1000);
        m_fixture.m_now += 1000;
    }
    QVERIFY(!Accept(searcher.m_listener, 4000));

    // Sixteen users behind one address said who they are, ten idle and six
    // to answer our search, while connections from there that never say
    // who they are come and go, up to forty at once.
    {
        const DescriptorLimit limit(256);
        QVERIFY(limit.Set() && limit.Now() == 256);
        const quint32 shared = Address(9, 9, 9);
        std::vector<std::unique_ptr<QTcpSocket>> known;
        for (int k = 0; k < 16; ++k)
        {
            known.push_back(ConnectFrom(port, shared, 65536));
            QVERIFY(known.back());
            WriteRaw(known.back().get(), PeerInit("user" + QByteArray::number(k), "P"));
        }
        QVERIFY(Spin([&] { return m_fixture.Logged("User user15 opened a connection of type P"); }));
        m_fixture.m_now += 5000;
        std::deque<std::vector<std::unique_ptr<QTcpSocket>>> rounds;
        for (int round = 0; round < 20; ++round)
        {
            rounds.emplace_back();
            for (int k = 0; k < 10; ++k)
                rounds.back().push_back(ConnectFrom(port, shared));
            (void)Spin([] { return false; }, {}, 50);
            m_fixture.m_now += 1000;
            if (rounds.size() == 4)
                rounds.pop_front();
        }
        rounds.clear();
        QSignalSpy results(messenger, &PeerMessenger::SearchResults);
        T("search_request")->NewItem(std::string("7"));
        for (int k = 10; k < 16; ++k)
            WriteRaw(known[k].get(), SearchReply("user" + QByteArray::number(k), 2));
        QVERIFY(SpinWhileMoving([&] { return results.count() == 6; }, [&] { return qint64(results.count()); }));
        QVERIFY(std::all_of(known.begin(), known.end(), [](const auto& i_socket) {
            i_socket->readAll();
            return i_socket->state() == QAbstractSocket::ConnectedState;
        }));
    }

    // 1,100 connections that never say who they are, where the descriptors
    // allow; an honest request is then answered, once.
    const DescriptorLimit limit(5000);
    QVERIFY(limit.Set());
    const int count = int(std::min<rlim_t>(1100, limit.Now() > 512 ? (limit.Now() - 256) / 2 : 128));
    const size_t before = HeapInUse();
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int k = 0; k < count; ++k)
        idle.push_back(ConnectFrom(port, Address(0, 6, 1 + k % 4)));
    auto asker = ConnectFrom(port, Address(0, 7, 1), 65536);
    QVERIFY(asker);
    Inbox inbox(asker.get());
    WriteRaw(asker.get(), PeerInit("asker", "P") + PlaceRequest("song"));
    QVERIFY(Spin([&] { return !inbox.Poll().empty(); }, {}, g_waitMs));
    (void)Spin([] { return false; }, {}, 500);
    QCOMPARE(inbox.Poll(), std::vector<QByteArray>({U32(PM_UPLOAD_PLACE_IN_LINE) + Str("song") + U32(5)}));
    QVERIFY(HeapInUse() < before + size_t(48 * g_MiB));
}

// Past the bound on all output, what gives way is what does not drain: a
// peer that keeps reading is never closed for it, whatever it holds.
void TestPeerFairness::ReadersThatKeepReadingAreNotClosed()
{
    const DescriptorLimit limit(4096);
    QVERIFY(limit.Set());
    PeerMessenger* messenger = m_fixture.NewMessenger();
    BigFolderShares shares;
    shares.m_body = Noise(int(17.5 * g_MiB), 5);
    const qint64 listFrame = 8 + shares.m_body.size(), bigFrame = 8 + BigFolderShares::BIG_REPLY_BYTES;
    const quint16 port = messenger->ListeningPort();
    const auto peer = [&](quint32 i_address, qint64 i_rate, const QByteArray& i_requests) {
        return std::make_unique<Reader>(port, i_address, i_rate, PeerInit("p" + QByteArray::number(i_address), "P") + i_requests);
    };
    const QByteArray big = FolderRequest(1, "Big") + FolderRequest(2, "Big");
    // A small party asks every 200 ms while asking is on.
    auto small = ConnectFrom(port, Address(1, 0, 1), 65536);
    WriteRaw(small.get(), PeerInit("small", "P"));
    Inbox answers(small.get());
    QElapsedTimer clock;
    clock.start();
    quint32 asked = 0;
    bool asking = true;
    const auto ask = [&] {
        answers.Poll();
        if (asking && clock.elapsed() / 200 >= asked)
            WriteRaw(small.get(), FolderRequest(++asked, "Small"));
    };
    const auto answered = [&] { return answers.Poll().size() == asked; };
    const auto answerCount = [&] { return qint64(answers.Poll().size()); };

    // Ten peers read 200 bytes a second of two big folders each and come
    // back when closed; an honest reader has the list whole meanwhile.
    std::vector<std::unique_ptr<Reader>> trickles;
    for (int k = 0; k < 10; ++k)
        trickles.push_back(peer(Address(1, 1, 1 + k), 200, big));
    QVERIFY(SpinWhileMoving([&] { return qint64(shares.m_bigReplies) * BigFolderShares::BIG_REPLY_BYTES >= g_bigPart; },
                            [&] { return qint64(shares.m_bigReplies); }));
    auto lister = peer(Address(1, 2, 1), 2000000, Frame(PM_GET_SHARED_FILE_LIST));
    int comeBacks = 0;
    const auto hostile = [&] {
        ask();
        lister->Pump();
        for (auto& trickle : trickles)
            if (!trickle->Open())
                trickle = peer(Address(1, 3, 1 + comeBacks++ % 250), 200, big);
            else
                trickle->Pump();
    };
    QVERIFY(SpinWhileMoving([&] { return lister->got >= listFrame; }, [&] { return lister->got; }, hostile));
    QVERIFY(lister->Open() && lister->got == listFrame);
    asking = false;
    QVERIFY(SpinWhileMoving(answered, answerCount, hostile));
    trickles.clear();

    // A busy day: eight peers read big folders at 1 MB/s, asking again
    // as they have each; two read the list at 2 and 8 MB/s, and the slower
    // one asks for a file of ours midway. None is closed, and our answer
    // reaches it after the list.
    connect(messenger, &PeerMessenger::QueueUploadRequested, this,
            [&](std::string i_user, std::string i_file) { messenger->DenyUpload(i_user, i_file, "Queued"); });
    std::vector<std::unique_ptr<Reader>> readers;
    for (int k = 0; k < 8; ++k)
        readers.push_back(peer(Address(1, 4, 1 + k), 1000000, big));
    readers.push_back(peer(Address(1, 5, 1), 8000000, Frame(PM_GET_SHARED_FILE_LIST)));
    readers.push_back(peer(Address(1, 5, 2), 2000000, Frame(PM_GET_SHARED_FILE_LIST)));
    asking = true;
    const QByteArray denied = Frame(U32(PM_UPLOAD_DENIED) + Str("song") + Str("Queued"));
    bool queued = false;
    const auto busy = [&] {
        ask();
        for (size_t k = 0; k < readers.size(); ++k)
        {
            const qint64 had = readers[k]->got / bigFrame;
            readers[k]->Pump();
            if (k < 8 && readers[k]->got / bigFrame > had)
                WriteRaw(readers[k]->socket.get(), FolderRequest(quint32(had + 3), "Big"));
        }
        if (!queued && readers[9]->got > 4 * g_MiB)
            queued = true, WriteRaw(readers[9]->socket.get(), Frame(PM_QUEUE_UPLOAD, Str("song")));
    };
    // What each reader took, and the client's reasons for closing any.
    const size_t logFrom = m_fixture.m_log.size();
    const auto state = [&] {
        QString text = "taken:";
        for (const auto& reader : readers)
            text += QString(" %1%2").arg(reader->got).arg(reader->Open() ? "" : " (closed)");
        for (size_t k = logFrom; k < m_fixture.m_log.size(); ++k)
            if (m_fixture.m_log[k].startsWith("Closing connection"))
                text += "; " + m_fixture.m_log[k];
        return text.toLocal8Bit();
    };
    // Readers that have theirs ask again: what counts is what they take
    // toward it.
    const auto toward = [&](size_t i_k) {
        return std::min(readers[i_k]->got, i_k < 8 ? bigFrame : i_k == 8 ? listFrame : listFrame + denied.size());
    };
    const auto taken = [&] {
        qint64 sum = 0;
        for (size_t k = 0; k < readers.size(); ++k)
            sum += toward(k);
        return sum;
    };
    QVERIFY2(SpinWhileMoving([&] { return taken() == 8 * bigFrame + 2 * listFrame + denied.size(); }, taken, busy),
             state().constData());
    QVERIFY2(readers[9]->got == listFrame + denied.size() && readers[9]->tail.endsWith(denied), state().constData());
    asking = false;
    QVERIFY2(SpinWhileMoving(answered, answerCount, busy), state().constData());
    QVERIFY2(std::all_of(readers.begin(), readers.end(), [](const auto& i_reader) { return i_reader->Open(); }), state().constData());
}

// Eight slow readers and a reader of the list hold the total: small
// answers come from the reserve at once, a party flooding queue requests
// holds no more than its own bound, and a reader in bursts is judged by its
// reading, while a party under its share keeps asking for room.
void TestPeerFairness::SmallAnswersFindRoomWhileReadersHoldTheTotal()
{
    const DescriptorLimit limit(4096);
    QVERIFY(limit.Set());
    PeerMessenger* messenger = m_fixture.NewMessenger();
    BigFolderShares shares;
    shares.m_body = Noise(int(17.5 * g_MiB), 5);
    const qint64 listFrame = 8 + shares.m_body.size();
    connect(messenger, &PeerMessenger::QueueUploadRequested, this,
            [&](std::string i_user, std::string i_file) { messenger->DenyUpload(i_user, i_file, "Not shared"); });
    const quint16 port = messenger->ListeningPort();
    const auto peer = [&](quint32 i_address, qint64 i_rate, const QByteArray& i_requests) {
        return std::make_unique<Reader>(port, i_address, i_rate, PeerInit("p" + QByteArray::number(i_address), "P") + i_requests);
    };
    std::vector<std::unique_ptr<Reader>> readers;
    for (int k = 0; k < 8; ++k)
        readers.push_back(peer(Address(2, 1, 1 + k), 20000 + k * 20000 / 7, FolderRequest(1, "Big") + FolderRequest(2, "Big")));
    const auto readersTook = [&] {
        return std::accumulate(readers.begin(), readers.end(), qint64(0), [](qint64 i_sum, const auto& i_r) { return i_sum + i_r->got; });
    };
    const auto pumpReaders = [&] {
        for (auto& reader : readers)
            reader->Pump();
    };
    QVERIFY(SpinWhileMoving([&] { return shares.m_bigReplies >= 8; }, [&] { return qint64(shares.m_bigReplies); }, pumpReaders));

    // A reader of the list: 5 s at 2 MB/s, 35 s nothing, and again.
    auto bursts = peer(Address(2, 2, 1), 2000000, Frame(PM_GET_SHARED_FILE_LIST));
    // A party under its share asks for a big folder, and so for room.
    auto prober = peer(Address(2, 2, 2), 1000000, FolderRequest(1, "Big"));
    // A flooder of queue requests with long names, read at 20 KB/s.
    auto flooder = peer(Address(2, 3, 1), 20000, QByteArray());
    const int floods = 3000;
    QByteArray requests;
    for (int k = 0; k < floods; ++k)
        requests += Frame(PM_QUEUE_UPLOAD, Str(QByteArray(3990, 'n') + QByteArray::number(1000000000 + k)));
    const qint64 denial = 8 + 4 + 4000 + 4 + 10;
    qint64 pushed = 0, flooderHeldMost = 0;
    QSignalSpy queued(messenger, &PeerMessenger::QueueUploadRequested);
    // Five small parties ask for a small folder, again as each is answered.
    std::vector<std::unique_ptr<QTcpSocket>> smalls;
    std::vector<Inbox> inboxes;
    std::vector<qint64> askedAt(5, 0);
    std::vector<size_t> askedBy(5, 0);
    for (int k = 0; k < 5; ++k)
    {
        smalls.push_back(ConnectFrom(port, Address(2, 4, 1 + k), 65536));
        inboxes.emplace_back(smalls.back().get());
        WriteRaw(smalls.back().get(), PeerInit("small" + QByteArray::number(k), "P"));
    }
    quint32 asked = 0;
    qint64 waitedMost = 0;  // in bytes the readers took meanwhile
    QElapsedTimer clock;
    clock.start();
    const auto busy = [&] {
        pumpReaders();
        prober->Pump();
        const qint64 phase = clock.elapsed() % 40000;
        phase < 5000 ? bursts->Pump() : bursts->Pause();
        flooder->Pump();
        if (pushed < requests.size())
            pushed += std::max<ssize_t>(::send(int(flooder->socket->socketDescriptor()), requests.constData() + pushed,
                                               size_t(requests.size() - pushed), MSG_DONTWAIT | MSG_NOSIGNAL), 0);
        flooderHeldMost = std::max(flooderHeldMost, (queued.count() - flooder->got / denial) * denial);
        for (size_t k = 0; k < smalls.size(); ++k)
            if (inboxes[k].Poll().size() == askedBy[k])
            {
                if (askedBy[k]++ > 0)
                    waitedMost = std::max(waitedMost, readersTook() - askedAt[k]);
                askedAt[k] = readersTook();
                WriteRaw(smalls[k].get(), FolderRequest(++asked, "Small"));
            }
    };
    const auto state = [&] {
        QString text = QString("list %1 of %2, flooder answered %3 of %4 taken, held at most %5, small answers waited "
                               "for %6 bytes of reading")
                           .arg(bursts->got)
                           .arg(listFrame)
                           .arg(flooder->got / denial)
                           .arg(queued.count())
                           .arg(flooderHeldMost)
                           .arg(waitedMost);
        for (const QString& line : m_fixture.m_log)
            if (line.startsWith("Closing connection"))
                text += "; " + line;
        return text.toLocal8Bit();
    };
    QVERIFY2(SpinWhileMoving([&] { return bursts->got >= listFrame; }, [&] { return bursts->got + flooder->got + asked; }, busy),
             state().constData());
    // Then the flooder reads at full speed: every answer comes.
    flooder->rate = 1 << 30;
    QVERIFY2(SpinWhileMoving([&] { return flooder->got == floods * denial; }, [&] { return flooder->got; }, busy), state().constData());
    // Each small answer came within 5 s of the readers' reading, the
    // flooder's held answers stayed within its bound, and nobody was closed.
    QVERIFY2(waitedMost <= 5 * 240000 && flooderHeldMost <= PeerBounds::MAX_UNSENT_BYTES, state().constData());
    QVERIFY2(std::all_of(readers.begin(), readers.end(), [](const auto& i_r) { return i_r->Open(); }) && bursts->Open() &&
                 prober->Open() && flooder->Open() && !m_fixture.Logged("Closing connection"),
             state().constData());
}

// A thousand parties, each owed just under the small-party size in denials
// of queue requests and none reading: all they hold together, in the
// client's queues and in its sockets' send queues, stays within the total,
// a party that asks once as they do is answered meanwhile, and one that
// asks as they do and reads slowly throughout keeps its connection.
void TestPeerFairness::ManySmallHoldersStayWithinTheTotal()
{
    const DescriptorLimit limit(4096);
    QVERIFY(limit.Set());
    PeerMessenger* messenger = m_fixture.NewMessenger();
    std::map<std::string, qint64> denied;
    connect(messenger, &PeerMessenger::QueueUploadRequested, this, [&](std::string i_user, std::string i_file) {
        ++denied[i_user];
        messenger->DenyUpload(i_user, i_file, "Not shared");
    });
    const quint16 port = messenger->ListeningPort();
    const int parties = 1000, asks = 64;
    QVERIFY(int(PeerBounds::IncomingBound()) > parties);
    const qint64 denial = 4 + 4 + 4 + 3900 + 4 + 10;
    QVERIFY(asks * denial < PeerBounds::SMALL_PARTY_BYTES && asks * denial > PeerBounds::SMALL_PARTY_BYTES * 95 / 100);
    QByteArray requests;
    for (int k = 0; k < asks; ++k)
        requests += Frame(PM_QUEUE_UPLOAD, Str(QByteArray(3890, 'n') + QByteArray::number(1000000000 + k)));
    auto reader = std::make_unique<Reader>(port, Address(3, 8, 1), 3000, PeerInit("reader", "P") + requests, 16384, 1460);
    std::vector<std::unique_ptr<QTcpSocket>> holders;
    std::vector<qint64> pushed(size_t(parties), 0);
    for (int k = 0; k < parties; ++k)
    {
        holders.push_back(ConnectFrom(port, Address(3, k / 250, 1 + k % 250)));
        QVERIFY(holders.back());
        WriteRaw(holders.back().get(), PeerInit("holder" + QByteArray::number(k), "P"));
    }
    // What the client holds for them: the denials it made for those still
    // connected, less what reached them.
    const auto held = [&] {
        qint64 sum = 0;
        for (int k = 0; k < parties; ++k)
        {
            const int fd = int(holders[k]->socketDescriptor());
            pollfd state{fd, POLLRDHUP, 0};
            if (fd < 0 || holders[k]->state() != QAbstractSocket::ConnectedState || ::poll(&state, 1, 0) != 0)
                continue;
            int arrived = 0;
            ::ioctl(fd, FIONREAD, &arrived);
            sum += denied["holder" + std::to_string(k)] * denial - arrived - holders[k]->bytesAvailable();
        }
        return sum;
    };
    qint64 heldMost = 0;
    const auto push = [&] {
        reader->Pump();
        for (int k = 0; k < parties; ++k)
        {
            const int fd = int(holders[k]->socketDescriptor());
            const ssize_t sent = fd < 0 || pushed[k] >= requests.size()
                                     ? 0
                                     : ::send(fd, requests.constData() + pushed[k], size_t(requests.size() - pushed[k]),
                                              MSG_DONTWAIT | MSG_NOSIGNAL);
            pushed[k] += std::max<ssize_t>(sent, 0);
        }
        heldMost = std::max(heldMost, held());
    };
    const auto made = [&] {
        return std::accumulate(denied.begin(), denied.end(), qint64(0), [](qint64 i_sum, const auto& i_d) { return i_sum + i_d.second; });
    };
    const auto state = [&] {
        QString text = QString("held at most %1 bytes, %2 denials made, the slow reader took %3").arg(heldMost).arg(made()).arg(reader->got);
        for (const QString& line : m_fixture.m_log)
            if (line.contains("to user reader "))
                text += "; " + line;
        return text.toLocal8Bit();
    };
    QVERIFY2(SpinWhileMoving([&] { return heldMost >= PeerBounds::MAX_OUTPUT_BYTES_TOTAL - PeerBounds::SMALL_ANSWER_RESERVE; },
                             made, push),
             state().constData());
    // Until the client takes no more of them.
    (void)SpinWhileMoving([] { return false; }, made, push, 2000);

    // The party asks as they do, so it needs as much room as any of them.
    auto honest = ConnectFrom(port, Address(3, 9, 1), 65536);
    QVERIFY(honest);
    Inbox inbox(honest.get());
    const QByteArray name = QByteArray(3890, 'h') + QByteArray::number(1000000000);
    WriteRaw(honest.get(), PeerInit("honest", "P") + Frame(PM_QUEUE_UPLOAD, Str(name)));
    QVERIFY2(Spin([&] { return !inbox.Poll().empty(); }, push), state().constData());
    QCOMPARE(inbox.Poll(), std::vector<QByteArray>({U32(PM_UPLOAD_DENIED) + Str(name) + Str("Not shared")}));
    QVERIFY2(heldMost <= PeerBounds::MAX_OUTPUT_BYTES_TOTAL, state().constData());
    QVERIFY2(reader->Open() && !m_fixture.Logged("to user reader "), state().constData());
}

QTEST_MAIN(TestPeerFairness)
#include "test_peer_fairness.moc"
