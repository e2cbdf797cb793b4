// Speed of the transfer threads against a raw socket copy.
//
// BM_ThreadsToDisk: 1 GiB from an UploadThread to a DownloadThread over a
//   loopback connection in one process; the uploader reads a file, the
//   downloader appends to a file on disk. The main thread runs the event
//   loop that takes both threads' progress signals; counter slot_ms_per_GiB
//   is the time spent in those slots, scaled to 1 GiB.
// BM_RawLoopbackToDisk/<buffer>: the same bytes from the same file to a
//   file through a plain POSIX socket pair on loopback, one thread each
//   side, with buffers of 8 KiB (the threads' chunk) and 64 KiB.
// BM_QueueDownloadToDisk: the same 1 GiB, received the way the client
//   receives it: the transfer queue takes the file connection, writes the
//   offset, runs its DownloadThread and moves the finished file into the
//   complete folder. Counter main_ms_per_GiB is the main thread's CPU time
//   over the transfer (the queue's progress slots, their event dispatch and
//   the completion), scaled to 1 GiB.
// Target: BM_ThreadsToDisk at least 80% of the raw copy's bytes_per_second.
// Sanitizer builds, or TV_BENCH_SMALL=1, move 32 MiB instead.

#include "QtBenchmarkMain.h"
#include "BenchSupport.h"
#include "DownloadThread.h"
#include "UploadThread.h"
#include "DataSaver.h"
#include "PeerMessenger.h"
#include "SharedFoldersManager.h"
#include "TextConversion.h"
#include "TimerManager.h"
#include "TransferQueueManager.h"
#include "server.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace
{
using benchsupport::IsSmallRun;

qint64 TransferSize()
{
    return IsSmallRun() ? qint64(32) << 20 : qint64(1) << 30;
}

const double GIB = double(qint64(1) << 30);

// The file every benchmark sends, written once with real (non-sparse) data.
const QString& SourceFile()
{
    static QTemporaryDir dir;
    static QString path;
    if (path.isEmpty())
    {
        path = dir.filePath("source");
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            qFatal("cannot create the source file");
        QByteArray block(1 << 20, '\0');
        for (int i = 0; i < block.size(); ++i)
            block[i] = char((i * 131) ^ (i >> 7));
        for (qint64 done = 0; done < TransferSize(); done += block.size())
            f.write(block);
    }
    return path;
}

QString TargetFile()
{
    static QTemporaryDir dir;
    return dir.filePath("target");
}

// Two connected sockets on 127.0.0.1, both without a parent.
std::pair<QTcpSocket*, QTcpSocket*> LoopbackPair()
{
    QTcpServer listener;
    listener.listen(QHostAddress::LocalHost, 0);
    auto* up = new QTcpSocket;
    up->connectToHost(QHostAddress::LocalHost, listener.serverPort());
    if (!up->waitForConnected(10000) || !listener.waitForNewConnection(10000))
        qFatal("loopback connection failed");
    QTcpSocket* down = listener.nextPendingConnection();
    down->setParent(nullptr);
    return {up, down};
}

void BM_ThreadsToDisk(benchmark::State& state)
{
    const qint64 size = TransferSize();
    const QString source = SourceFile();
    double slotNs = 0;
    for (auto _ : state)
    {
        QFile::remove(TargetFile());
        QFile in(source);
        QFile out(TargetFile());
        if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly | QIODevice::Append))
            qFatal("cannot open the files");
        auto [up, down] = LoopbackPair();

        UploadThread uploader(up, &in, 1);
        up->moveToThread(&uploader);
        QObject receiver;
        QElapsedTimer inSlots;
        qint64 slotTotal = 0;
        qint64 lastUp = 0;
        qint64 lastDown = 0;
        int finals = 0;
        QEventLoop loop;
        auto final = [&] {
            if (++finals == 2)
                loop.quit();
        };
        auto progress = [&](qint64& o_last, qint64 i_offset) {
            inSlots.start();
            o_last = i_offset;
            benchmark::DoNotOptimize(o_last);
            slotTotal += inSlots.nsecsElapsed();
        };
        QObject::connect(&uploader, &UploadThread::UploadProgress, &receiver,
                         [&](qint64 i_offset, int) { progress(lastUp, i_offset); });
        QObject::connect(&uploader, &UploadThread::UploadComplete, &receiver, final);
        QObject::connect(&uploader, &UploadThread::UploadError, &receiver, final);
        uploader.start();

        // The downloader's side of the handshake, as the transfer queue does it.
        while (down->bytesAvailable() < 4)
            down->waitForReadyRead(1000);
        down->read(4);
        const qint64 zero = 0;
        down->write(reinterpret_cast<const char*>(&zero), 8);
        down->flush();
        DownloadThread downloader(down, &out, size, 0);
        down->moveToThread(&downloader);
        QObject::connect(&downloader, &DownloadThread::DownloadProgress, &receiver,
                         [&](qint64 i_offset, int) { progress(lastDown, i_offset); });
        QObject::connect(&downloader, &DownloadThread::DownloadComplete, &receiver, final);
        QObject::connect(&downloader, &DownloadThread::DownloadError, &receiver, final);
        downloader.start();

        if (finals < 2)
            loop.exec();
        uploader.wait();
        downloader.wait();
        if (lastDown != size || lastUp != size)
            state.SkipWithError("the transfer did not complete");
        slotNs += double(slotTotal);
        delete up;
        delete down;
    }
    state.SetBytesProcessed(state.iterations() * size);
    state.counters["slot_ms_per_GiB"] = slotNs / 1e6 / double(state.iterations()) * GIB / double(size);
}
BENCHMARK(BM_ThreadsToDisk)->Unit(benchmark::kMillisecond)->UseRealTime();

double MainThreadCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 + usage.ru_stime.tv_sec * 1e3 +
           usage.ru_stime.tv_usec / 1e3;
}

// The managers up to the transfer queue, as the window builds them.
struct QueueWorld
{
    QueueWorld()
    {
        d->Reset();
        Type* global = d->NewType("global", true, false, true);
        global->RelateToType(d->NewType("global_value", false, false, true), Many, One, false);
        if (!timerManager)
            new TimerManager;
        delete dataSaver;
        new DataSaver;
        server = std::make_unique<Server>();
        server->CreateData();
        messenger = std::make_unique<PeerMessenger>();
        shares = std::make_unique<SharedFoldersManager>();
        queue = std::make_unique<TransferQueueManager>();
        SetSetting("download_folder", ToUtf8(folder.path()));
    }
    ~QueueWorld()
    {
        queue.reset();
        shares.reset();
        messenger.reset();
        server.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        d->Reset();
    }
    QTemporaryDir folder;
    std::unique_ptr<Server> server;
    std::unique_ptr<PeerMessenger> messenger;
    std::unique_ptr<SharedFoldersManager> shares;
    std::unique_ptr<TransferQueueManager> queue;
};

void BM_QueueDownloadToDisk(benchmark::State& state)
{
    const qint64 size = TransferSize();
    QueueWorld world;
    TransferQueueManager* queue = world.queue.get();
    double mainMs = 0;
    unsigned int req = 0;
    for (auto _ : state)
    {
        ItemPtr download = queue->AddDownload("bob", "big.bin", "share\\bench", size, 0);
        download += T("remote_transfer_req")->GetItem(Value(++req));
        QFile in(SourceFile());
        if (!in.open(QIODevice::ReadOnly))
            qFatal("cannot open the source file");
        auto [up, down] = LoopbackPair();
        UploadThread uploader(up, &in, int(req));
        up->moveToThread(&uploader);
        QEventLoop loop;
        QObject::connect(queue, &TransferQueueManager::CompleteDownloadAdded, &loop, &QEventLoop::quit);
        uploader.start();
        while (down->bytesAvailable() < 4)
            down->waitForReadyRead(1000);
        down->read(4);

        const double before = MainThreadCpuMs();
        queue->OnFileConnection("bob", down, req);
        loop.exec();
        mainMs += MainThreadCpuMs() - before;
        uploader.wait();
        delete up;

        state.PauseTiming();
        if (download["download_entry_status"].AsString() != "complete")
            state.SkipWithError("the download did not complete");
        queue->RemoveDownload(download);
        T("complete_download")->GetItems().Remove();
        QDir(world.folder.path()).removeRecursively();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * size);
    state.counters["main_ms_per_GiB"] = mainMs / double(state.iterations()) * GIB / double(size);
}
BENCHMARK(BM_QueueDownloadToDisk)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RawLoopbackToDisk(benchmark::State& state)
{
    const qint64 size = TransferSize();
    const size_t buffer = size_t(state.range(0));
    const QByteArray source = QFile::encodeName(SourceFile());
    const QByteArray target = QFile::encodeName(TargetFile());
    for (auto _ : state)
    {
        ::unlink(target.constData());
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listener, 1) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            qFatal("raw listener failed");
        const int sender = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(sender, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
            qFatal("raw connect failed");
        const int receiver = ::accept(listener, nullptr, nullptr);
        ::close(listener);

        std::thread send([&] {
            std::vector<char> b(buffer);
            const int fd = ::open(source.constData(), O_RDONLY);
            for (ssize_t n; (n = ::read(fd, b.data(), b.size())) > 0;)
                for (ssize_t done = 0; done < n;)
                {
                    const ssize_t w = ::write(sender, b.data() + done, size_t(n - done));
                    if (w <= 0)
                        return;
                    done += w;
                }
            ::close(fd);
            ::shutdown(sender, SHUT_WR);
        });
        qint64 received = 0;
        std::thread receive([&] {
            std::vector<char> b(buffer);
            const int fd = ::open(target.constData(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            for (ssize_t n; (n = ::read(receiver, b.data(), b.size())) > 0;)
            {
                if (::write(fd, b.data(), size_t(n)) != n)
                    break;
                received += n;
            }
            ::close(fd);
        });
        send.join();
        receive.join();
        ::close(sender);
        ::close(receiver);
        if (received != size)
            state.SkipWithError("the raw copy did not complete");
    }
    state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_RawLoopbackToDisk)->Arg(8192)->Arg(65536)->Unit(benchmark::kMillisecond)->UseRealTime();
} // namespace

TV_QT_BENCHMARK_MAIN();
