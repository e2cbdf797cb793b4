// Speed of the download queue with a large queue: 100,000 queued downloads,
// 50,000 from one user ("big", for whom a raw peer holds a "P" connection to
// a listening PeerMessenger) and 50,000 from 1,000 others. Target: every
// operation under 100 ms on the main thread. The ordered passes send in
// slices on later event-loop turns; their time is the first slice, and the
// counters give the whole pass and the longest slice.
//
// BM_AddDownload: one more download (the fixture stays the same size).
// BM_UserOnline: "big" comes online: 50,000 queue and 50,000 place-in-line
//   requests in order.
// BM_PeriodicCheck: the five-minute check with "big" online: 50,000 queue
//   requests in order.
// BM_SetDownloadEntryStatus, BM_RemoveDownload: one entry.
// BM_DataLoaded: the start after loading, with every tenth download saved
//   as "aborted".
// The time to add all 100,000 is the counter add_all_ms of BM_AddDownload.
// Sanitizer builds, or TV_BENCH_SMALL=1, use a tenth of the queue.

#include "BenchSupport.h"
#include "common/TestEnvironment.h"
#include "QtBenchmarkMain.h"

#include "DataSaver.h"
#include "PeerMessenger.h"
#include "ProtocolCodes.h"
#include "SharedFoldersManager.h"
#include "TimerManager.h"
#include "TransferQueueManager.h"
#include "server.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

namespace
{
const char* const BIG = "big";

int Scale(int i_full)
{
    return benchsupport::IsSmallRun() ? i_full / 10 : i_full;
}

QByteArray U32(quint32 i_value)
{
    QByteArray b(4, '\0');
    qToLittleEndian<quint32>(i_value, b.data());
    return b;
}
QByteArray Str(const QByteArray& i_bytes) { return U32(quint32(i_bytes.size())) + i_bytes; }
QByteArray Frame(const QByteArray& i_message) { return U32(quint32(i_message.size())) + i_message; }

using benchsupport::FreePort;

// The start-up order up to the transfer queue, the queue filled, and the
// raw peer of "big".
class Queue
{
public:
    static Queue& Get()
    {
        static Queue queue;
        return queue;
    }

    TransferQueueManager* Manager() const { return mp_queue; }
    double AddAllMs() const { return m_addAllMs; }

    void SetOnline(const char* ip_user, bool i_online)
    {
        ItemPtr user = T("user")->GetItem(ip_user);
        ItemPtr flag = T("is_online")->GetGlobalNullItem();
        if (i_online)
            user += flag;
        else
            user -= flag;
    }

    // Reads away what the client sent the peer.
    void Drain()
    {
        QCoreApplication::processEvents();
        mp_peer->readAll();
    }

    // Runs the rest of a sliced pass; returns the longest event-loop turn.
    double FinishPasses()
    {
        double longest = 0;
        while (mp_queue->IsPassRunning())
        {
            QElapsedTimer turn;
            turn.start();
            QCoreApplication::processEvents();
            longest = std::max(longest, turn.nsecsElapsed() / 1e6);
            mp_peer->readAll();
        }
        Drain();
        return longest;
    }

    int NextFile() { return m_nextFile++; }

private:
    Queue()
    {
        ResetTestEnvironment();
        mp_server = new Server;
        mp_server->CreateData();
        mp_messenger = new PeerMessenger;
        mp_shares = new SharedFoldersManager;
        mp_queue = new TransferQueueManager;
        SetSetting("username", "alice");
        // The complete-file check looks here, never at the user's folder.
        SetSetting("download_folder", m_folder.path().toUtf8().toStdString());
        SetSetting("listening_port", std::to_string(FreePort()));
        SetSetting("obfuscated_listening_port", std::to_string(FreePort()));
        dataSaver->NotifyDataLoaded();

        // The peer of "big": a "P" connection the client knows before the
        // queue sends anything.
        mp_peer = std::make_unique<QTcpSocket>();
        mp_peer->connectToHost(QHostAddress::LocalHost, mp_messenger->ListeningPort());
        if (!mp_peer->waitForConnected(10000))
            qFatal("cannot reach the listener");
        bool known = false;
        QMetaObject::Connection sync = QObject::connect(mp_messenger, &PeerMessenger::DownloadPlaceInLine,
                                                        [&](std::string, std::string, int) { known = true; });
        mp_peer->write(Frame(U32(PM_PEER_INIT) + Str(BIG) + Str("P") + U32(0)));
        mp_peer->write(Frame(U32(PM_UPLOAD_PLACE_IN_LINE) + Str("sync\\x") + U32(1)));
        mp_peer->flush();
        if (!benchsupport::WaitUntil([&] { return known; }, 10000))
            qFatal("the client did not take the peer's connection");
        QObject::disconnect(sync);

        // Everyone offline while the queue is filled, as after a start.
        const int perSide = Scale(50000);
        const int others = Scale(1000);
        QElapsedTimer timer;
        timer.start();
        for (int n = 0; n < perSide; ++n)
        {
            mp_queue->AddDownload(BIG, "track " + std::to_string(n) + ".mp3", "music\\big\\album " + std::to_string(n / 12),
                                  4000000 + n, 0);
            mp_queue->AddDownload("user " + std::to_string(n % others), "file " + std::to_string(n) + ".flac",
                                  "share\\folder " + std::to_string(n / 20), 30000000 + n, 1);
        }
        m_addAllMs = timer.nsecsElapsed() / 1e6;
    }

    Server* mp_server;
    PeerMessenger* mp_messenger;
    SharedFoldersManager* mp_shares;
    TransferQueueManager* mp_queue;
    std::unique_ptr<QTcpSocket> mp_peer;
    QTemporaryDir m_folder;
    double m_addAllMs = 0;
    int m_nextFile = 0;
};

void BM_AddDownload(benchmark::State& io_state)
{
    Queue& queue = Queue::Get();
    for (auto _ : io_state)
    {
        const std::string name = "extra " + std::to_string(queue.NextFile()) + ".mp3";
        ItemPtr download = queue.Manager()->AddDownload(BIG, name, "music\\big\\extra", 5000000, 0);
        benchmark::DoNotOptimize(download);
        io_state.PauseTiming();
        queue.Manager()->RemoveDownload(download);
        io_state.ResumeTiming();
    }
    io_state.counters["add_all_ms"] = queue.AddAllMs();
    io_state.counters["downloads"] = double(T("download_entry")->ItemCount());
}

void BM_UserOnline(benchmark::State& io_state)
{
    Queue& queue = Queue::Get();
    double whole = 0;
    double longest = 0;
    for (auto _ : io_state)
    {
        QElapsedTimer pass;
        pass.start();
        queue.SetOnline(BIG, true);
        io_state.PauseTiming();
        longest = std::max(longest, queue.FinishPasses());
        whole = std::max(whole, pass.nsecsElapsed() / 1e6);
        queue.SetOnline(BIG, false);
        io_state.ResumeTiming();
    }
    io_state.counters["whole_pass_ms"] = whole;
    io_state.counters["longest_turn_ms"] = longest;
}

void BM_PeriodicCheck(benchmark::State& io_state)
{
    Queue& queue = Queue::Get();
    queue.SetOnline(BIG, true);
    queue.FinishPasses();
    double whole = 0;
    double longest = 0;
    for (auto _ : io_state)
    {
        QElapsedTimer pass;
        pass.start();
        queue.Manager()->PeriodicCheck();
        io_state.PauseTiming();
        longest = std::max(longest, queue.FinishPasses());
        whole = std::max(whole, pass.nsecsElapsed() / 1e6);
        io_state.ResumeTiming();
    }
    queue.SetOnline(BIG, false);
    io_state.counters["whole_pass_ms"] = whole;
    io_state.counters["longest_turn_ms"] = longest;
}

void BM_SetDownloadEntryStatus(benchmark::State& io_state)
{
    Queue& queue = Queue::Get();
    ItemPtr download = queue.Manager()->GetDownloadEntry(BIG, "track 7.mp3", "music\\big\\album 0");
    bool aborted = false;
    for (auto _ : io_state)
    {
        aborted = !aborted;
        queue.Manager()->SetDownloadEntryStatus(download, aborted ? "aborted" : "queued");
    }
    queue.Manager()->SetDownloadEntryStatus(download, "queued");
}

void BM_RemoveDownload(benchmark::State& io_state)
{
    Queue& queue = Queue::Get();
    for (auto _ : io_state)
    {
        io_state.PauseTiming();
        const std::string name = "removed " + std::to_string(queue.NextFile()) + ".mp3";
        ItemPtr download = queue.Manager()->AddDownload(BIG, name, "music\\big\\album 1", 5000000, 0);
        io_state.ResumeTiming();
        queue.Manager()->RemoveDownload(download);
    }
}

void BM_DataLoaded(benchmark::State& io_state)
{
    Queue& queue = Queue::Get();
    ItemPtr aborted = T("download_entry_status")->GetItem("aborted");
    for (auto _ : io_state)
    {
        io_state.PauseTiming();
        size_t n = 0;
        for (Item* download : T("download_entry")->GetItems())
            if (n++ % 10 == 0)
                ItemPtr(download) += aborted;
        io_state.ResumeTiming();
        queue.Manager()->DataLoaded();
    }
}

} // namespace

BENCHMARK(BM_AddDownload)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UserOnline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeriodicCheck)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SetDownloadEntryStatus)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RemoveDownload)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DataLoaded)->Unit(benchmark::kMillisecond);

TV_QT_BENCHMARK_MAIN()
