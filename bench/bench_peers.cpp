// Speed of the peer network's heavy messages.
//
// BM_StoreSearchReplies: search replies of 200 files each, sent by 50 raw
//   peers (each within the results kept of one user for one search) over
//   loopback "P" connections to a listening PeerMessenger, taken
//   all the way: frame reading, inflate, decode, the stored items and the
//   SearchResults signal. 100 distinct replies per iteration, answering one
//   search_request. /0: their items are removed between iterations
//   (untimed); /1: ten iterations, all 1,000 replies kept under the one
//   search, as a popular search gathers them.
//   Target: 1,000 replies (200,000 results) per second (counter replies/s).
// BM_DecodeSearchReply: inflate and decode alone of one such reply, to tell
//   decoding from storing.
// BM_DecodeShareList: a share list of 100,000 files in 5,000 folders,
//   inflated and parsed into a FileInfoMap. Target: under 300 ms.
// BM_ManyReadersOfOneList: 12 peers ask for one share list of 18 MiB (a
//   tenth in a small run) at once over loopback and read it to its end.
//   Counters: the time until all 12 have it whole, and the most heap and
//   resident memory the sending took over what the process had before.
//   Target: held memory about one list, not one per reader.
// BM_ListWhileTricklersHoldTheTotal: ten peers each ask for three folder
//   replies of 6.7 MiB (one at a time within what a party may hold) and
//   read 200 bytes a second, holding all the output the client allows for
//   big answers (what the system's buffers took aside); an honest peer then asks for a share list of
//   17.5 MiB (a tenth in a small run) and reads it as fast as it can.
//   Counters: the time until it has the list whole (median of the runs),
//   and how many tricklers gave way for it.
//   Target: within seconds, the tricklers giving way rather than the reader.
// BM_ServerAwayWithAnswersWaiting: answers to 15,000 searchers (1,500 in a
//   small run), as many as the client keeps, wait for connections to
//   searchers that cannot be reached (the
//   scripted server answers no address and cannot relay to them); the server
//   connection drops and the client logs in again. Counters: the longest the
//   event loop did not turn from the drop until the requests after the login
//   have settled (max_stall_ms), and the relayed requests sent after the login
//   (relayed_after_login). Target: no stall over 500 ms; the login comes.
// BM_ServerAwayWithTheBookFull: queue requests of ours wait for 10,000 users
//   and answers for 30,000 searchers (1,000 and 3,000 in a small run), none
//   of them reachable; the server refuses every relayed request and gives
//   the addresses 20 s late, so that they meet the client all at once, the
//   address book full of users in use, as the server connection drops. The
//   client logs in again and asks for its users anew. Counters: the longest
//   the event loop did not turn from the drop to the login (max_stall_drop_ms)
//   and from the login until the requests after it have settled
//   (max_stall_login_ms), and the relayed requests after the login.
//   Target: no stall over 500 ms; the login comes.
// BM_SmallAnswerWhileReadersHoldTheTotal: ten peers each ask for two folder
//   replies of 6.7 MiB and read 30 KB/s, holding all the output the client
//   allows but its reserve for small answers; a small party then asks for a
//   small folder twenty times, again as each answer comes.
//   Counters: the median and the longest time to a small answer, and how
//   many readers were closed.
//   Target: well under a second, nobody closed.

#include "BenchSupport.h"
#include "common/TestEnvironment.h"
#include "common/TestServer.h"
#include "QtBenchmarkMain.h"
#include "Compression.h"
#include "FrameCodec.h"
#include "MemStream.h"
#include "PeerMessageDecoders.h"
#include "PeerMessenger.h"
#include "PeerProviders.h"
#include "ProtocolCodes.h"
#include "server.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QJsonObject>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace
{
const int REPLY_FILES = 200;
const int REPLIES_PER_ITERATION = 100;
const int REPLIERS = 50;
const int SHARE_FOLDERS = 5000;
const int SHARE_FILES_PER_FOLDER = 20;
const quint32 SEARCH = 7;

// An audio file as shares list them: a path, a size, the extension and
// bitrate, length and VBR attributes; every 10th file a cover without them.
void WriteFile(MemStream& io_out, const std::string& i_name, int i_n)
{
    FileInfo file(i_name, 3000000 + qint64(i_n) * 7919);
    if (i_n % 10 == 9)
    {
        file.m_name += ".jpg";
        file.m_attributes.m_extension = "jpg";
    }
    else
    {
        file.m_name += ".mp3";
        file.m_attributes.m_extension = "mp3";
        file.m_attributes.Add(ATTRIBUTE_BITRATE, i_n % 3 ? 320 : 192);
        file.m_attributes.Add(ATTRIBUTE_LENGTH, 120 + i_n % 300);
        file.m_attributes.Add(ATTRIBUTE_VBR, i_n % 4 == 0);
    }
    file.Write(io_out);
}

// Reply i: 200 files under 10 album folders of its own.
std::string SearchReplyBody(int i_reply)
{
    MemStream body;
    body.WriteString("replier" + std::to_string(i_reply % REPLIERS));
    body.WriteUInt32(SEARCH);
    body.WriteUInt32(REPLY_FILES);
    for (int n = 0; n < REPLY_FILES; ++n)
    {
        const std::string path = "Music\\Artist " + std::to_string(i_reply) + "\\Album " +
                                 std::to_string(n / 20) + "\\" + std::to_string(n % 20 + 1) +
                                 " - Track title number " + std::to_string(n);
        WriteFile(body, path, n);
    }
    body.WriteByte(1);
    body.WriteUInt32(250000);
    body.WriteUInt32(3);
    body.WriteUInt32(0);
    return std::string(body.Data(), body.Size());
}

std::string Compressed(const std::string& i_body)
{
    std::string z;
    Compression::Compress(i_body.data(), i_body.size(), z);
    return z;
}

QByteArray Frame(quint32 i_code, const std::string& i_fields)
{
    MemStream m;
    m.WriteUInt32(i_code);
    m.WriteBytes(i_fields.data(), i_fields.size());
    return FrameCodec::Encode(m);
}

using benchsupport::FreePort;

// Runs the event loop until i_done or 60 s have passed.
template <typename F>
bool SpinUntil(F i_done)
{
    QElapsedTimer clock;
    clock.start();
    while (!i_done())
    {
        if (clock.elapsed() > 60000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

// A messenger named alice, listening on free ports, in a fresh store.
std::unique_ptr<PeerMessenger> StartMessenger()
{
    ResetSettingsTypes();
    auto messenger = std::make_unique<PeerMessenger>();
    SetSetting("username", "alice");
    SetSetting("listening_port", std::to_string(FreePort()));
    SetSetting("obfuscated_listening_port", std::to_string(FreePort()));
    messenger->DataLoaded();
    return messenger;
}

void BM_StoreSearchReplies(benchmark::State& state)
{
    auto messenger = StartMessenger();

    // Reply r goes on the connection of replier r % REPLIERS.
    std::vector<QByteArray> wire(REPLIERS);
    for (int r = 0; r < REPLIES_PER_ITERATION; ++r)
        wire[size_t(r % REPLIERS)] += Frame(PM_FILE_SEARCH_RESULT, Compressed(SearchReplyBody(r)));

    int received = 0;
    size_t results = 0;
    QObject::connect(messenger.get(), &PeerMessenger::SearchResults, messenger.get(), [&](ItemPtr i_reply) {
        ++received;
        results += i_reply.GetItems("search_result").size();
    });

    std::vector<std::unique_ptr<QTcpSocket>> peers;
    for (int k = 0; k < REPLIERS; ++k)
    {
        peers.push_back(std::make_unique<QTcpSocket>());
        if (!benchsupport::OpenMessaging(*peers.back(), messenger->ListeningPort(), "replier" + std::to_string(k)))
        {
            state.SkipWithError("cannot connect to the messenger");
            return;
        }
    }

    const bool keep = state.range(0) != 0;
    Type* requests = T("search_request");
    requests->NewItem(Value(SEARCH));
    for (auto _ : state)
    {
        const int target = received + REPLIES_PER_ITERATION;
        for (int k = 0; k < REPLIERS; ++k)
            peers[size_t(k)]->write(wire[size_t(k)]);
        if (!SpinUntil([&] { return received >= target; }))
        {
            state.SkipWithError("the replies did not all arrive");
            break;
        }
        if (keep)
            continue;
        state.PauseTiming();
        requests->HasItem(Value(SEARCH))->Remove();
        d->RemoveDisconnectedItems();
        requests->NewItem(Value(SEARCH));
        state.ResumeTiming();
    }
    if (results != size_t(received) * REPLY_FILES)
        state.SkipWithError("a reply was not stored whole");
    state.SetItemsProcessed(int64_t(results));
    state.counters["replies/s"] = benchmark::Counter(double(received), benchmark::Counter::kIsRate);

    for (auto& peer : peers)
        peer->abort();
    messenger.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    d->Reset();
}
BENCHMARK(BM_StoreSearchReplies)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StoreSearchReplies)->Arg(1)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DecodeSearchReply(benchmark::State& state)
{
    const std::string z = Compressed(SearchReplyBody(0));
    size_t files = 0;
    for (auto _ : state)
    {
        std::string body;
        PeerDecoders::SearchResult reply;
        if (!Compression::Inflate(z.data(), z.size(), body) ||
            !PeerDecoders::DecodeSearchResult(body.data(), body.size(), reply))
        {
            state.SkipWithError("the reply does not decode");
            break;
        }
        files += reply.m_files.size();
        benchmark::DoNotOptimize(reply);
    }
    state.SetItemsProcessed(int64_t(files));
}
BENCHMARK(BM_DecodeSearchReply)->Unit(benchmark::kMicrosecond);

void BM_DecodeShareList(benchmark::State& state)
{
    static const std::string z = [] {
        MemStream body;
        body.WriteUInt32(SHARE_FOLDERS);
        for (int f = 0; f < SHARE_FOLDERS; ++f)
        {
            const std::string folder = "Music\\Artist " + std::to_string(f / 10) + "\\Album " + std::to_string(f % 10);
            body.WriteString(folder);
            body.WriteUInt32(SHARE_FILES_PER_FOLDER);
            for (int n = 0; n < SHARE_FILES_PER_FOLDER; ++n)
                WriteFile(body, std::to_string(n + 1) + " - Track title number " + std::to_string(f * 20 + n), n);
        }
        body.WriteUInt32(1);
        body.WriteInt32(ATTRIBUTE_BITRATE);
        body.WriteString("bitrate");
        return Compressed(std::string(body.Data(), body.Size()));
    }();
    size_t files = 0;
    for (auto _ : state)
    {
        std::string body;
        PeerDecoders::SharedFileList list;
        if (!Compression::Inflate(z.data(), z.size(), body) ||
            !PeerDecoders::DecodeSharedFileList(body.data(), body.size(), list))
        {
            state.SkipWithError("the share list does not decode");
            break;
        }
        for (const auto& folder : list.m_share)
            files += folder.second.size();
        benchmark::DoNotOptimize(list);
    }
    if (files != size_t(state.iterations()) * SHARE_FOLDERS * SHARE_FILES_PER_FOLDER)
        state.SkipWithError("files are missing from the share list");
    state.SetItemsProcessed(int64_t(files));
}
BENCHMARK(BM_DecodeShareList)->Unit(benchmark::kMillisecond);

// One share list for everyone, as the shares hand it out.
class OneList : public ShareListProvider
{
public:
    explicit OneList(QByteArray i_message) : m_message(std::move(i_message)) { gp_shareListProvider = this; }
    ~OneList() override { gp_shareListProvider = nullptr; }
    QByteArray GetSharedFilesReply(std::string, bool) override { return m_message; }
    MemStream GetFolderContentsMessage(std::string, unsigned int, std::string, bool) override { return MemStream(); }

private:
    QByteArray m_message;
};

double HeapMiB()
{
    const struct mallinfo2 info = mallinfo2();
    return double(info.uordblks + info.hblkhd) / (1 << 20);
}

void BM_ManyReadersOfOneList(benchmark::State& state)
{
    const int readers = 12;
    const qsizetype size = benchsupport::IsSmallRun() ? (18 << 20) / 10 : 18 << 20;
    auto messenger = StartMessenger();
    // Bytes that do not compress, as a compressed list's do not.
    QByteArray message(size, Qt::Uninitialized);
    quint32 word = 12345;
    for (char& c : message)
        c = char((word = word * 1664525u + 1013904223u) >> 24);
    qToLittleEndian<quint32>(PM_SHARED_FILE_LIST, message.data());
    const OneList list(message);
    const qsizetype frame = 4 + size;

    double seconds = 0, heap = 0, resident = 0;
    for (auto _ : state)
    {
        std::vector<std::unique_ptr<QTcpSocket>> peers;
        for (int k = 0; k < readers; ++k)
        {
            peers.push_back(std::make_unique<QTcpSocket>());
            // The readers hold little of their own: what is measured is the client's.
            peers.back()->setReadBufferSize(64 * 1024);
            if (!benchsupport::OpenMessaging(*peers.back(), messenger->ListeningPort(), "reader" + std::to_string(k)))
            {
                state.SkipWithError("cannot connect to the messenger");
                return;
            }
        }
        const double heapBefore = HeapMiB();
        const double residentBefore = benchsupport::ResidentMiB();
        double heapPeak = heapBefore, residentPeak = residentBefore;
        std::vector<qsizetype> got(readers, 0);
        QElapsedTimer timer;
        timer.start();
        for (auto& peer : peers)
            peer->write(FrameCodec::Encode(NewMessage(PM_GET_SHARED_FILE_LIST)));
        const bool whole = SpinUntil([&] {
            heapPeak = std::max(heapPeak, HeapMiB());
            residentPeak = std::max(residentPeak, benchsupport::ResidentMiB());
            for (int k = 0; k < readers; ++k)
                got[k] += peers[k]->readAll().size();
            return std::all_of(got.begin(), got.end(), [&](qsizetype i_got) { return i_got >= frame; });
        });
        seconds = double(timer.nsecsElapsed()) / 1e9;
        if (!whole)
        {
            state.SkipWithError("a reader did not get the whole list");
            break;
        }
        heap = heapPeak - heapBefore;
        resident = residentPeak - residentBefore;
        for (auto& peer : peers)
            peer->abort();
        peers.clear();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    state.counters["list MiB"] = double(size) / (1 << 20);
    state.counters["all whole s"] = seconds;
    state.counters["heap peak MiB"] = heap;
    state.counters["resident peak MiB"] = resident;

    messenger.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    d->Reset();
}
BENCHMARK(BM_ManyReadersOfOneList)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// A share list, and a folder whose reply is large, for everyone.
class ListAndBigFolder : public OneList
{
public:
    using OneList::OneList;
    MemStream GetFolderContentsMessage(std::string, unsigned int, std::string i_folder, bool) override
    {
        if (i_folder == "Small")
        {
            MemStream m;
            m.WriteUInt32(PM_SHARED_FILES_IN_FOLDER);
            m.WriteBytes(m_folder.constData(), 2000);
            return m;
        }
        ++m_replies;
        MemStream m;
        m.WriteUInt32(PM_SHARED_FILES_IN_FOLDER);
        m.WriteBytes(m_folder.constData(), size_t(m_folder.size()));
        return m;
    }
    size_t FolderContentsSize(std::string, std::string i_folder, bool) override
    {
        return 4 + (i_folder == "Small" ? 2000 : size_t(m_folder.size()));
    }
    int m_replies = 0;
    QByteArray m_folder = QByteArray(6700 * 1024, 'f');
};

// A messaging connection whose system buffer takes a few KiB only.
std::unique_ptr<QTcpSocket> NarrowPeer(quint16 i_port, const std::string& i_user)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int size = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(i_port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto peer = std::make_unique<QTcpSocket>();
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 || !peer->setSocketDescriptor(fd))
        return nullptr;
    peer->setReadBufferSize(size);
    MemStream init = NewMessage(PM_PEER_INIT);
    init.WriteString(i_user);
    init.WriteString("P");
    init.WriteUInt32(0);
    peer->write(FrameCodec::Encode(init));
    return peer;
}

QByteArray FolderRequest(quint32 i_req, const std::string& i_folder)
{
    MemStream ask = NewMessage(PM_GET_SHARED_FILES_IN_FOLDER);
    ask.WriteUInt32(i_req);
    ask.WriteString(i_folder);
    return FrameCodec::Encode(ask);
}

// Counts the connections closed to make room in the output, for its life.
struct GiveWays
{
    GiveWays()
    {
        SetLogSink([this](const QString&, int, const QString& i_text, ItemPtr) {
            m_count += i_text.contains("output waiting on all connections");
        });
    }
    ~GiveWays() { ClearLogSink(); }
    operator double() const { return double(m_count); }
    int m_count = 0;
};

// Ten narrow peers, each asking for the big folder i_asks times and reading
// i_rate bytes a second; Hold() returns once the client takes no more of
// their requests, with what failed.
class BigFolderReaders
{
public:
    BigFolderReaders(qint64 i_rate, const std::string& i_name) : m_rate(i_rate), m_name(i_name) {}
    const char* Hold(PeerMessenger& io_messenger, const ListAndBigFolder& i_shares, int i_asks)
    {
        QByteArray asks;
        for (int n = 1; n <= i_asks; ++n)
            asks += FolderRequest(quint32(n), "Big");
        for (int k = 0; k < 10; ++k)
        {
            m_peers.push_back(NarrowPeer(io_messenger.ListeningPort(), m_name + std::to_string(k)));
            if (!m_peers.back())
                return "cannot connect to the messenger";
            m_peers.back()->write(asks);
        }
        m_taken.assign(m_peers.size(), 0);
        m_clock.start();
        const int before = i_shares.m_replies;
        int replies = before;
        QElapsedTimer still;
        still.start();
        if (!SpinUntil([&] {
                Read();
                if (replies != i_shares.m_replies)
                    replies = i_shares.m_replies, still.restart();
                return still.elapsed() > 1000;
            }) || replies - before < 9)
            return "the readers were not answered";
        return nullptr;
    }
    void Read()
    {
        for (size_t k = 0; k < m_peers.size(); ++k)
            m_taken[k] += m_peers[k]->read(std::max<qint64>(m_rate * m_clock.elapsed() / 1000 - m_taken[k], 0)).size();
    }

private:
    qint64 m_rate;
    std::string m_name;
    std::vector<std::unique_ptr<QTcpSocket>> m_peers;
    std::vector<qint64> m_taken;
    QElapsedTimer m_clock;
};

void BM_ListWhileTricklersHoldTheTotal(benchmark::State& state)
{
    const qsizetype size = benchsupport::IsSmallRun() ? (35 << 20) / 20 : (35 << 20) / 2;
    auto messenger = StartMessenger();
    QByteArray message(size, 'l');
    qToLittleEndian<quint32>(PM_SHARED_FILE_LIST, message.data());
    ListAndBigFolder shares(message);
    std::vector<double> seconds;
    const GiveWays closed;
    for (auto _ : state)
    {
        BigFolderReaders tricklers(200, "trickler");
        if (const char* failed = tricklers.Hold(*messenger, shares, 3))
        {
            state.SkipWithError(failed);
            return;
        }
        QTcpSocket reader;
        if (!benchsupport::OpenMessaging(reader, messenger->ListeningPort(), "reader"))
        {
            state.SkipWithError("cannot connect to the messenger");
            return;
        }
        QElapsedTimer timer;
        timer.start();
        reader.write(FrameCodec::Encode(NewMessage(PM_GET_SHARED_FILE_LIST)));
        qsizetype got = 0;
        const bool whole = SpinUntil([&] {
            tricklers.Read();
            got += reader.readAll().size();
            return got >= 4 + size || reader.state() != QAbstractSocket::ConnectedState;
        });
        seconds.push_back(double(timer.nsecsElapsed()) / 1e9);
        if (!whole || got < 4 + size)
        {
            state.SkipWithError("the reader did not get the whole list");
            break;
        }
        reader.abort();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    state.counters["list MiB"] = double(size) / (1 << 20);
    state.counters["list whole s"] = benchsupport::Median(seconds);
    state.counters["folder replies"] = shares.m_replies / double(seconds.size());
    state.counters["tricklers closed"] = closed / double(seconds.size());

    messenger.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    d->Reset();
}
BENCHMARK(BM_ListWhileTricklersHoldTheTotal)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SmallAnswerWhileReadersHoldTheTotal(benchmark::State& state)
{
    auto messenger = StartMessenger();
    ListAndBigFolder shares{QByteArray()};
    std::vector<double> seconds;
    const GiveWays closed;
    for (auto _ : state)
    {
        BigFolderReaders readers(30000, "reader");
        if (const char* failed = readers.Hold(*messenger, shares, 2))
        {
            state.SkipWithError(failed);
            return;
        }
        QTcpSocket small;
        if (!benchsupport::OpenMessaging(small, messenger->ListeningPort(), "small"))
        {
            state.SkipWithError("cannot connect to the messenger");
            return;
        }
        qsizetype got = 0;
        for (quint32 n = 1; n <= 20; ++n)
        {
            QElapsedTimer timer;
            timer.start();
            small.write(FolderRequest(n, "Small"));
            const qsizetype want = got + 4 + 4 + 2000;
            if (!SpinUntil([&] {
                    readers.Read();
                    got += small.readAll().size();
                    return got >= want || small.state() != QAbstractSocket::ConnectedState;
                }) || got < want)
            {
                state.SkipWithError("the small party was not answered");
                return;
            }
            seconds.push_back(double(timer.nsecsElapsed()) / 1e9);
        }
        small.abort();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    state.counters["small answer s"] = benchsupport::Median(seconds);
    state.counters["longest s"] = seconds.empty() ? 0 : *std::max_element(seconds.begin(), seconds.end());
    state.counters["readers closed"] = double(closed);

    messenger.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    d->Reset();
}
BENCHMARK(BM_SmallAnswerWhileReadersHoldTheTotal)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

// Relayed requests the scripted server has had from alice.
int RelayedFromAlice(TestServer& io_server)
{
    return io_server.Command({{"cmd", "wait"}, {"user", "alice"}, {"code", qint64(SM_CONNECT_TO_PEER)}, {"count", 0}, {"timeout", 0}})
        .value("count")
        .toInt();
}

// Until every relayed request alice sent has been refused, and no more have
// come for half a second.
bool AllRelayedRefused(TestServer& io_server, const int& i_refused)
{
    for (int count = -1, now = RelayedFromAlice(io_server); count != now;)
    {
        count = now;
        if (!benchsupport::WaitUntil([&] { return i_refused >= count; }, 180000))
            return false;
        benchsupport::WaitUntil([] { return false; }, 500);
        now = RelayedFromAlice(io_server);
    }
    return true;
}

// An answer of three files, as most are, compressed.
std::string SmallAnswer()
{
    MemStream body;
    body.WriteString("alice");
    body.WriteUInt32(SEARCH);
    body.WriteUInt32(3);
    for (int n = 0; n < 3; ++n)
        WriteFile(body, "Music\\Artist\\Album\\Track " + std::to_string(n), n);
    body.WriteByte(1);
    body.WriteUInt32(250000);
    body.WriteUInt32(0);
    body.WriteUInt32(0);
    return Compressed(std::string(body.Data(), body.Size()));
}

// Alice logged in to a scripted server whose address answers come
// i_addressDelayS late, counting her logins and the relayed requests the
// server refused; the drop benchmarks start from here.
struct AliceLoggedIn
{
    TestServer ts;
    std::unique_ptr<Server> server;
    std::unique_ptr<PeerMessenger> messenger;
    int logins = 0;
    int refused = 0;

    bool Start(int i_addressDelayS)
    {
        if (!ts.Start({"--accounts", "alice:pw"}) || !ts.Set("address_delay", i_addressDelayS))
            return false;
        server = std::make_unique<Server>();
        server->CreateData();
        messenger = std::make_unique<PeerMessenger>();
        SetSetting("username", "alice");
        SetSetting("password", "pw");
        SetSetting("server_host", "127.0.0.1");
        SetSetting("server_port", std::to_string(ts.Port()));
        SetSetting("listening_port", std::to_string(FreePort()));
        SetSetting("obfuscated_listening_port", std::to_string(FreePort()));
        messenger->DataLoaded();
        QObject::connect(server.get(), &Server::Connected, [this] { ++logins; });
        // The diagnostics view takes every line; here they are only counted.
        SetLogSink([this](const QString&, int, const QString& i_text, ItemPtr) {
            refused += i_text.contains(QLatin1String("cannot connect to us"));
        });
        server->Connect();
        return true;
    }
    bool LoggedIn()
    {
        return benchsupport::WaitUntil([&] { return logins == 1; }, 20000);
    }
    // An answer of i_answer to each of i_count searchers.
    void AnswerSearchers(int i_count, const std::string& i_answer)
    {
        MemStream message;
        message.WriteUInt32(PM_FILE_SEARCH_RESULT);
        message.WriteBytes(i_answer.data(), i_answer.size());
        for (int k = 0; k < i_count; ++k)
            messenger->SendAnswer("searcher" + std::to_string(k), message);
    }
    // Before the store is reset.
    void End()
    {
        ClearLogSink();
        messenger.reset();
        server.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    ~AliceLoggedIn() { End(); }
};

// Until no more relayed requests come from alice for half a second; how
// many came since i_before.
int RelayedUntilQuiet(TestServer& io_server, int i_before)
{
    for (int count = -1, now = i_before; count != now;)
    {
        count = now;
        benchsupport::WaitUntil([] { return false; }, 500);
        now = RelayedFromAlice(io_server);
    }
    return RelayedFromAlice(io_server) - i_before;
}

void BM_ServerAwayWithAnswersWaiting(benchmark::State& state)
{
    if (qEnvironmentVariableIsEmpty("TV_TESTSERVER"))
        qputenv("TV_TESTSERVER", TV_TESTSERVER_SCRIPT);
    const int searchers = benchsupport::IsSmallRun() ? 1500 : 15000;
    const std::string answer = SmallAnswer();
    double longest = 0, relayedAfter = 0;
    for (auto _ : state)
    {
        state.PauseTiming();
        ResetTestEnvironment();
        AliceLoggedIn alice;
        if (!alice.Start(600))
        {
            state.SkipWithError("the scripted server did not start");
            break;
        }
        TestServer& ts = alice.ts;
        Server* server = alice.server.get();
        const int& logins = alice.logins;
        const int& refused = alice.refused;
        bool ready = alice.LoggedIn();
        if (ready)
            alice.AnswerSearchers(searchers, answer);
        // As many as the client keeps.
        ready = ready && AllRelayedRefused(ts, refused);
        if (!ready)
        {
            state.SkipWithError("the answers did not come to wait");
            break;
        }
        state.ResumeTiming();

        // The event loop's turns, from the drop on.
        QElapsedTimer turns;
        qint64 last = 0, stall = 0;
        QTimer beat;
        QObject::connect(&beat, &QTimer::timeout, [&] {
            stall = std::max(stall, turns.elapsed() - last);
            last = turns.elapsed();
        });
        turns.start();
        beat.start(1);
        const bool back = ts.Drop("alice") && benchsupport::WaitUntil([&] { return server->IsAbruptlyDisconnected(); }, 20000) &&
                          (server->OnHalfMinuteTimer(), benchsupport::WaitUntil([&] { return logins == 2; }, 120000));
        const int after = back ? RelayedUntilQuiet(ts, RelayedFromAlice(ts)) : 0;
        beat.stop();
        stall = std::max(stall, turns.elapsed() - last);
        if (!back)
        {
            state.SkipWithError("the client did not log in again");
            break;
        }
        longest = std::max(longest, double(stall));
        relayedAfter = double(after);

        state.PauseTiming();
        alice.End();
        d->Reset();
        state.ResumeTiming();
    }
    state.counters["max_stall_ms"] = longest;
    state.counters["relayed_after_login"] = relayedAfter;
}
BENCHMARK(BM_ServerAwayWithAnswersWaiting)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ServerAwayWithTheBookFull(benchmark::State& state)
{
    if (qEnvironmentVariableIsEmpty("TV_TESTSERVER"))
        qputenv("TV_TESTSERVER", TV_TESTSERVER_SCRIPT);
    const bool small = benchsupport::IsSmallRun();
    const int owners = small ? 1000 : 10000;
    const int searchers = small ? 3000 : 30000;
    const int addressDelayS = 20;
    const std::string answer = SmallAnswer();
    double longestAtDrop = 0, longestAtLogin = 0, relayedAfter = 0;
    for (auto _ : state)
    {
        state.PauseTiming();
        ResetTestEnvironment();
        AliceLoggedIn alice;
        if (!alice.Start(addressDelayS))
        {
            state.SkipWithError("the scripted server did not start");
            break;
        }
        TestServer& ts = alice.ts;
        Server* server = alice.server.get();
        PeerMessenger* messenger = alice.messenger.get();
        const int& logins = alice.logins;
        const int& refused = alice.refused;
        bool ready = alice.LoggedIn();
        for (int k = 0; ready && k < owners; ++k)
            messenger->QueueDownload("owner" + std::to_string(k), "Music\\Artist\\Album\\Track.mp3");
        if (ready)
            alice.AnswerSearchers(searchers, answer);
        ready = ready && AllRelayedRefused(ts, refused);
        if (!ready)
        {
            state.SkipWithError("the requests did not come to wait");
            break;
        }
        // The addresses come due while the window does not turn: the client
        // meets them all at once.
        QThread::sleep(addressDelayS + 1);
        state.ResumeTiming();

        QElapsedTimer turns;
        qint64 last = 0, atDrop = 0, atLogin = 0;
        QTimer beat;
        const auto note = [&] {
            const qint64 now = turns.elapsed();
            (logins >= 2 ? atLogin : atDrop) = std::max(logins >= 2 ? atLogin : atDrop, now - last);
            last = now;
        };
        QObject::connect(&beat, &QTimer::timeout, note);
        turns.start();
        beat.start(1);
        const bool back = ts.Drop("alice") && benchsupport::WaitUntil([&] { return server->IsAbruptlyDisconnected(); }, 120000) &&
                          ts.Set("address_delay", 0) &&
                          (server->OnHalfMinuteTimer(), benchsupport::WaitUntil([&] { return logins == 2; }, 120000));
        const int after = back ? RelayedUntilQuiet(ts, RelayedFromAlice(ts)) : 0;
        beat.stop();
        note();
        longestAtDrop = std::max(longestAtDrop, double(atDrop));
        longestAtLogin = std::max(longestAtLogin, double(atLogin));
        if (!back)
        {
            state.counters["max_stall_drop_ms"] = longestAtDrop;
            state.SkipWithError("the client did not log in again");
            break;
        }
        relayedAfter = double(after);

        state.PauseTiming();
        alice.End();
        d->Reset();
        state.ResumeTiming();
    }
    state.counters["max_stall_drop_ms"] = longestAtDrop;
    state.counters["max_stall_login_ms"] = longestAtLogin;
    state.counters["relayed_after_login"] = relayedAfter;
}
BENCHMARK(BM_ServerAwayWithTheBookFull)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

TV_QT_BENCHMARK_MAIN()
