// Uploads between real client processes (tv_transfer_node) through the
// scripted server on loopback:
// - one large file, set against a raw loopback copy (a socket loop whose
//   receiver writes to disk) measured in the same run;
// - the total speed limit with 1 and 4 downloading users, and switched on
//   while a download runs: the bytes received over the window against the
//   limit times the window;
// - 50 uploads at once, limited and unlimited: stalls, aborts, the total
//   rate and the uploader's main-thread load.
// Small runs (sanitizers, TV_BENCH_SMALL) move a little data over short
// windows; the full run moves 1 GiB and measures over 20 s.

#include "BenchSupport.h"
#include "QtBenchmarkMain.h"
#include "common/TestServer.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <thread>
#include <vector>

using namespace benchsupport;

namespace
{

const int kWaitMs = 300000;

bool WaitUntil(const std::function<bool()>& i_done, int i_ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!i_done())
    {
        if (timer.elapsed() > i_ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// One tv_transfer_node and the lines it printed.
class Node
{
public:
    ~Node()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(30000))
            m_process.kill();
        m_process.waitForFinished(30000);
    }

    bool Start(const QString& i_user, quint16 i_port, const QString& i_home, const QStringList& i_options = {})
    {
        QDir().mkpath(i_home);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", i_home);
        m_process.setProcessEnvironment(environment);
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(TV_TRANSFER_NODE, QStringList{"--user", i_user, "--password", "pw", "--server-port",
                                                      QString::number(i_port)} + i_options);
        return m_process.waitForStarted(kWaitMs) && Wait("LOGGED_IN");
    }

    bool Has(const QByteArray& i_line)
    {
        m_buffer += m_process.readAllStandardOutput();
        int end;
        while ((end = m_buffer.indexOf('\n')) >= 0)
        {
            m_lines.append(m_buffer.left(end));
            m_buffer.remove(0, end + 1);
        }
        return m_lines.contains(i_line);
    }

    bool Wait(const QByteArray& i_line, int i_ms = kWaitMs)
    {
        return WaitUntil([&] { return Has(i_line); }, i_ms);
    }

    void Command(const QByteArray& i_line) { m_process.write(i_line + "\n"); }

    qint64 Pid() const { return m_process.processId(); }

private:
    QProcess m_process;
    QByteArray m_buffer;
    QList<QByteArray> m_lines;
};

QByteArray Wire(const QString& i_path)
{
    return QFile::encodeName(i_path).replace('/', '\\');
}

bool MakeFile(const QString& i_path, qint64 i_size, bool i_sparse)
{
    QDir().mkpath(QFileInfo(i_path).path());
    QFile f(i_path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    if (i_sparse)
        return f.resize(i_size);
    QByteArray block(1 << 20, '\0');
    for (int k = 0; k < block.size(); ++k)
        block[k] = char(k * 7 + k / 251);
    for (qint64 left = i_size; left > 0; left -= block.size())
        if (f.write(block.constData(), qMin<qint64>(left, block.size())) < 0)
            return false;
    return true;
}

qint64 FileSize(const QString& i_path)
{
    return QFileInfo(i_path).size();
}

// A raw copy of the file over a loopback TCP connection: a sender thread
// reading the file, a receiver writing it to disk. Seconds taken.
double RawLoopbackCopy(const QString& i_source, const QString& i_target)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    QElapsedTimer timer;
    timer.start();
    std::thread sender([&] {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        {
            QFile in(i_source);
            if (in.open(QIODevice::ReadOnly))
            {
                std::vector<char> buffer(8192);
                for (qint64 n; (n = in.read(buffer.data(), qint64(buffer.size()))) > 0;)
                    for (qint64 sent = 0; sent < n;)
                    {
                        const ssize_t w = ::send(s, buffer.data() + sent, size_t(n - sent), 0);
                        if (w <= 0)
                            break;
                        sent += w;
                    }
            }
        }
        ::close(s);
    });
    const int r = ::accept(listener, nullptr, nullptr);
    QFile out(i_target);
    out.open(QIODevice::WriteOnly);
    std::vector<char> buffer(8192);
    for (ssize_t n; (n = ::recv(r, buffer.data(), buffer.size(), 0)) > 0;)
        out.write(buffer.data(), n);
    out.close();
    sender.join();
    ::close(r);
    ::close(listener);
    return double(timer.nsecsElapsed()) / 1e9;
}

struct Network
{
    QTemporaryDir dir{ScratchParent() + "/tv-bench-uploads-XXXXXX"};
    TestServer server;

    bool Start()
    {
        if (qEnvironmentVariableIsEmpty("TV_TESTSERVER"))
            qputenv("TV_TESTSERVER", TV_TESTSERVER_SCRIPT);
        return dir.isValid() && server.Start();
    }
    QString Home(const QString& i_user) const { return dir.path() + "/" + i_user; }
    QString Share() const { return dir.path() + "/share"; }
    QString Partial(const QString& i_user, const QString& i_name) const
    {
        return Home(i_user) + "/Tavrinel Downloads/downloading/share/" + i_name;
    }
};

void BM_LargeFileAgainstRawLoopback(benchmark::State& state)
{
    const qint64 size = IsSmallRun() ? (8LL << 20) : (1LL << 30);
    for (auto _ : state)
    {
        Network net;
        if (!net.Start() || !MakeFile(net.Share() + "/big.bin", size, false))
        {
            state.SkipWithError("set-up failed");
            return;
        }
        const double raw = RawLoopbackCopy(net.Share() + "/big.bin", net.dir.path() + "/raw.bin");
        QFile::remove(net.dir.path() + "/raw.bin");

        Node uploader;
        Node downloader;
        if (!uploader.Start("up", net.server.Port(), net.Home("up"), {"--share", net.Share()}) ||
            !downloader.Start("down", net.server.Port(), net.Home("down")))
        {
            state.SkipWithError("nodes did not start");
            return;
        }
        QElapsedTimer timer;
        timer.start();
        downloader.Command("GET up " + QByteArray::number(size) + " 0 " + Wire(net.Share() + "/big.bin"));
        if (!downloader.Wait("DOWNLOAD complete up big.bin"))
        {
            state.SkipWithError("the download did not complete");
            return;
        }
        const double nodes = double(timer.nsecsElapsed()) / 1e9;
        state.SetIterationTime(nodes);
        state.counters["client_MiB_per_s"] = double(size) / (1 << 20) / nodes;
        state.counters["raw_MiB_per_s"] = raw > 0 ? double(size) / (1 << 20) / raw : 0;
        state.counters["client_share_of_raw"] = raw > 0 ? raw / nodes : 0;
    }
}

// Users downloading at once under a total limit of 2 MiB/s; with
// state.range(1) the limit is switched on while the downloads already run.
void BM_SpeedLimit(benchmark::State& state)
{
    const int users = int(state.range(0));
    const bool midTransfer = state.range(1) != 0;
    const int limitKiB = 2048;
    const int windowMs = IsSmallRun() ? 1000 : 20000;
    // Big enough that nothing finishes inside the window, sparse so that
    // laying it out costs nothing. Before a mid-transfer switch the
    // download runs unlimited for a moment, hence the headroom.
    const qint64 size = qint64(limitKiB) * 1024 * (windowMs / 1000 + 10) + (midTransfer ? (1LL << 30) : 0);
    for (auto _ : state)
    {
        Network net;
        if (!net.Start())
        {
            state.SkipWithError("the test server did not start");
            return;
        }
        for (int u = 0; u < users; ++u)
            MakeFile(net.Share() + QString("/file%1.bin").arg(u), size, true);
        Node uploader;
        if (!uploader.Start("up", net.server.Port(), net.Home("up"), {"--share", net.Share()}))
        {
            state.SkipWithError("the uploader did not start");
            return;
        }
        uploader.Command("SLOTS " + QByteArray::number(users));
        if (!midTransfer)
            uploader.Command("LIMIT " + QByteArray::number(limitKiB));
        std::vector<std::unique_ptr<Node>> downloaders;
        for (int u = 0; u < users; ++u)
        {
            downloaders.push_back(std::make_unique<Node>());
            const QString user = QString("down%1").arg(u);
            if (!downloaders.back()->Start(user, net.server.Port(), net.Home(user)))
            {
                state.SkipWithError("a downloader did not start");
                return;
            }
            downloaders.back()->Command("GET up " + QByteArray::number(size) + " 0 " +
                                        Wire(net.Share() + QString("/file%1.bin").arg(u)));
        }
        for (int u = 0; u < users; ++u)
            if (!downloaders[size_t(u)]->Wait("DOWNLOAD downloading up file" + QByteArray::number(u) + ".bin"))
            {
                state.SkipWithError("a download did not start");
                return;
            }
        auto received = [&] {
            qint64 total = 0;
            for (int u = 0; u < users; ++u)
                total += FileSize(net.Partial(QString("down%1").arg(u), QString("file%1.bin").arg(u)));
            return total;
        };
        if (midTransfer)
            uploader.Command("LIMIT " + QByteArray::number(limitKiB));
        else
            WaitUntil([] { return false; }, IsSmallRun() ? 300 : 1000);   // every upload has settled
        // The window starts once the uploader has read the command.
        WaitUntil([] { return false; }, 50);
        const qint64 before = received();
        QElapsedTimer timer;
        timer.start();
        WaitUntil([] { return false; }, windowMs);
        const qint64 after = received();
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        const double expected = double(limitKiB) * 1024 * seconds;
        state.SetIterationTime(seconds);
        state.counters["received_MiB"] = double(after - before) / (1 << 20);
        state.counters["limit_x_window_MiB"] = expected / (1 << 20);
        state.counters["deviation_pct"] = 100.0 * (double(after - before) - expected) / expected;
    }
}

// Clock ticks the process's main thread has run (user and system).
qint64 MainThreadTicks(qint64 i_pid)
{
    QFile stat(QString("/proc/%1/task/%1/stat").arg(i_pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? fields[11].toLongLong() + fields[12].toLongLong() : -1;
}

// Many uploads at once (50 slots, 50 downloading users), limited to
// 1 MiB/s each or unlimited: the longest time any running download went
// without growing, the aborts, the total rate and the uploader's main
// thread load.
void BM_ManyUploads(benchmark::State& state)
{
    const bool limited = state.range(0) != 0;
    const int users = IsSmallRun() ? 5 : 50;
    const qint64 size = IsSmallRun() ? (4LL << 20) : (32LL << 20);
    const int windowMs = IsSmallRun() ? 2000 : 10000;
    for (auto _ : state)
    {
        Network net;
        if (!net.Start())
        {
            state.SkipWithError("the test server did not start");
            return;
        }
        for (int u = 0; u < users; ++u)
            MakeFile(net.Share() + QString("/file%1.bin").arg(u), size, true);
        Node uploader;
        if (!uploader.Start("up", net.server.Port(), net.Home("up"), {"--share", net.Share()}))
        {
            state.SkipWithError("the uploader did not start");
            return;
        }
        uploader.Command("SLOTS 50");
        uploader.Command("LIMIT " + QByteArray::number(limited ? users * 1024 : 0));
        std::vector<std::unique_ptr<Node>> downloaders;
        for (int u = 0; u < users; ++u)
        {
            downloaders.push_back(std::make_unique<Node>());
            const QString user = QString("down%1").arg(u);
            if (!downloaders.back()->Start(user, net.server.Port(), net.Home(user)))
            {
                state.SkipWithError("a downloader did not start");
                return;
            }
        }
        for (int u = 0; u < users; ++u)
            downloaders[size_t(u)]->Command("GET up " + QByteArray::number(size) + " 0 " +
                                            Wire(net.Share() + QString("/file%1.bin").arg(u)));
        for (int u = 0; u < users; ++u)
            if (!downloaders[size_t(u)]->Wait("DOWNLOAD downloading up file" + QByteArray::number(u) + ".bin"))
            {
                state.SkipWithError("a download did not start");
                return;
            }

        std::vector<qint64> last(size_t(users), -1);
        std::vector<qint64> since(size_t(users), 0);
        qint64 longestStall = 0;
        const qint64 ticksBefore = MainThreadTicks(uploader.Pid());
        QElapsedTimer timer;
        timer.start();
        qint64 before = 0;
        for (int u = 0; u < users; ++u)
            before += qMax<qint64>(0, FileSize(net.Partial(QString("down%1").arg(u), QString("file%1.bin").arg(u))));
        qint64 after = before;
        while (timer.elapsed() < windowMs)
        {
            WaitUntil([] { return false; }, 50);
            after = 0;
            bool running = false;
            for (int u = 0; u < users; ++u)
            {
                const QString name = QString("file%1.bin").arg(u);
                const bool done = downloaders[size_t(u)]->Has("DOWNLOAD complete up " + name.toUtf8());
                const qint64 now = done ? size : FileSize(net.Partial(QString("down%1").arg(u), name));
                after += now;
                running = running || !done;
                if (done || now != last[size_t(u)])
                {
                    last[size_t(u)] = now;
                    since[size_t(u)] = timer.elapsed();
                }
                longestStall = qMax(longestStall, timer.elapsed() - since[size_t(u)]);
            }
            if (!running)
                break;
        }
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        const qint64 ticks = MainThreadTicks(uploader.Pid()) - ticksBefore;
        int aborted = 0;
        for (int u = 0; u < users; ++u)
            aborted += downloaders[size_t(u)]->Has("DOWNLOAD aborted up " + QString("file%1.bin").arg(u).toUtf8());
        state.SetIterationTime(seconds);
        state.counters["users"] = users;
        state.counters["total_MiB_per_s"] = double(after - before) / (1 << 20) / seconds;
        state.counters["longest_stall_ms"] = double(longestStall);
        state.counters["aborted"] = aborted;
        state.counters["main_thread_load_pct"] = 100.0 * double(ticks) / double(sysconf(_SC_CLK_TCK)) / seconds;
    }
}

} // namespace

BENCHMARK(BM_ManyUploads)->Arg(1)->Arg(0)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeFileAgainstRawLoopback)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpeedLimit)
    ->Args({1, 0})
    ->Args({4, 0})
    ->Args({1, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

TV_QT_BENCHMARK_MAIN()
