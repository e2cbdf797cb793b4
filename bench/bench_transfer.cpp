// Transfers between real client processes (tv_transfer_node) through the
// scripted server on loopback:
// - BM_LargeFile: one large file from "up" to "down", set against a raw
//   loopback copy of the same file (two threads, plain sockets, 8 KiB and
//   64 KiB buffers, the receiver writing to disk) measured in the same run;
//   the CPU time each client process used per GiB and each one's resident
//   size before and after the transfer, and at its peak;
// - BM_SpeedLimit: the total upload limit with 1 and 4 downloading users,
//   and switched on while a download runs: the bytes received over the
//   window against the limit times the window, and the busiest one-second
//   window against the limit;
// - BM_ManyUploads: 50 uploads at once (50 slots, 50 downloading users),
//   limited and unlimited: the downloads that moved, the longest time one
//   went without growing, aborts, the total rate (unlimited: against the
//   single transfer of BM_LargeFile) and the uploader's main-thread load.
// Small runs (sanitizers, TV_BENCH_SMALL) move a little data over short
// windows; the full run moves 1 GiB and measures the limit over 20 s.

#include "BenchSupport.h"
#include "QtBenchmarkMain.h"
#include "UploadRateLimiter.h"
#include "UploadThread.h"
#include "common/TestServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using namespace benchsupport;

namespace
{

const int kWaitMs = 300000;
const double kMiB = 1 << 20;
const double kGiB = double(1LL << 30);

void Pause(int i_ms)
{
    WaitUntil([] { return false; }, i_ms);
}

// What /proc tells of a process: CPU seconds of all its threads (user and
// system), resident size and peak resident size.
struct ProcessFigures
{
    double cpuSeconds = -1;
    double rssMiB = -1;
    double peakMiB = -1;
};

ProcessFigures Figures(qint64 i_pid)
{
    ProcessFigures figures;
    QFile stat(QString("/proc/%1/stat").arg(i_pid));
    if (stat.open(QIODevice::ReadOnly))
    {
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 12)
            figures.cpuSeconds =
                double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
    }
    QFile status(QString("/proc/%1/status").arg(i_pid));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n'))
        {
            const QList<QByteArray> words = line.simplified().split(' ');
            if (words.size() >= 2 && words[0] == "VmRSS:")
                figures.rssMiB = words[1].toDouble() / 1024;
            else if (words.size() >= 2 && words[0] == "VmHWM:")
                figures.peakMiB = words[1].toDouble() / 1024;
        }
    return figures;
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

double ThreadCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A raw copy of the file over a loopback TCP connection: a sender thread
// reading the file, a receiver writing it to disk, both with buffers of the
// given size. Seconds taken (negative on failure) and the CPU seconds both
// threads used.
struct RawCopy
{
    double seconds = -1;
    double cpuSeconds = 0;
};

RawCopy RawLoopbackCopy(const QString& i_source, const QString& i_target, size_t i_buffer)
{
    RawCopy result;
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return result;
    QElapsedTimer timer;
    timer.start();
    double senderCpu = 0;
    std::thread sender([&] {
        const double cpuBefore = ThreadCpuSeconds();
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        {
            QFile in(i_source);
            if (in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            {
                std::vector<char> buffer(i_buffer);
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
        senderCpu = ThreadCpuSeconds() - cpuBefore;
    });
    const double cpuBefore = ThreadCpuSeconds();
    const int r = ::accept(listener, nullptr, nullptr);
    QFile out(i_target);
    out.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    std::vector<char> buffer(i_buffer);
    for (ssize_t n; (n = ::recv(r, buffer.data(), buffer.size(), 0)) > 0;)
        out.write(buffer.data(), n);
    out.close();
    const double receiverCpu = ThreadCpuSeconds() - cpuBefore;
    sender.join();
    ::close(r);
    ::close(listener);
    result.seconds = double(timer.nsecsElapsed()) / 1e9;
    result.cpuSeconds = senderCpu + receiverCpu;
    return result;
}

struct Network
{
    // The full run writes gigabytes: to the disk, as a user's client does;
    // small runs stay in memory.
    QTemporaryDir dir{(IsSmallRun() ? ScratchParent() : QDir::tempPath()) + "/tv-bench-transfer-XXXXXX"};
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
    QString Complete(const QString& i_user, const QString& i_name) const
    {
        return Home(i_user) + "/Tavrinel Downloads/complete/share/" + i_name;
    }
    // What a user holds of a download so far, wherever it is: the partial
    // file while it runs, the whole file once it is complete.
    qint64 Received(const QString& i_user, const QString& i_name) const
    {
        const QFileInfo complete(Complete(i_user, i_name));
        if (complete.exists())
            return complete.size();
        const QFileInfo partial(Partial(i_user, i_name));
        return partial.exists() ? partial.size() : 0;
    }
};

// The rate of the last BM_LargeFile run, the yardstick of the many uploads.
double g_singleMiBPerSecond = 0;

// One uploader ("up") sharing a sparse file per user, and the downloading
// users ("down<n>"), each of which asks for its own file ("file<n>.bin").
struct Crowd
{
    Network net;
    Node uploader;
    std::vector<std::unique_ptr<Node>> downloaders;

    static QString User(int i_user) { return QString("down%1").arg(i_user); }
    static QString File(int i_user) { return QString("file%1.bin").arg(i_user); }

    // Starts everything; the commands go to the uploader before the
    // downloads are asked for. Returns once every download runs, or the
    // reason why not.
    QString Start(int i_users, qint64 i_size, const QList<QByteArray>& i_uploaderCommands)
    {
        if (!net.Start())
            return "the test server did not start";
        for (int u = 0; u < i_users; ++u)
            MakeFile(net.Share() + "/" + File(u), i_size, true);
        if (!uploader.Start("up", net.server.Port(), net.Home("up"), {"--share", net.Share()}))
            return "the uploader did not start";
        for (const QByteArray& command : i_uploaderCommands)
            uploader.Command(command);
        for (int u = 0; u < i_users; ++u)
        {
            downloaders.push_back(std::make_unique<Node>());
            if (!downloaders.back()->Start(User(u), net.server.Port(), net.Home(User(u))))
                return "a downloader did not start";
        }
        for (int u = 0; u < i_users; ++u)
            downloaders[size_t(u)]->Command("GET up " + QByteArray::number(i_size) + " 0 " +
                                            Wire(net.Share() + "/" + File(u)));
        for (int u = 0; u < i_users; ++u)
            if (!downloaders[size_t(u)]->Wait("DOWNLOAD downloading up " + File(u).toUtf8()))
                return "a download did not start";
        return {};
    }

    qint64 Received(int i_user) const { return net.Received(User(i_user), File(i_user)); }
};

void BM_LargeFile(benchmark::State& state)
{
    const qint64 size = IsSmallRun() ? (8LL << 20) : (1LL << 30);
    const double gib = double(size) / kGiB;
    for (auto _ : state)
    {
        Network net;
        if (!net.Start() || !MakeFile(net.Share() + "/big.bin", size, false))
        {
            state.SkipWithError("set-up failed");
            return;
        }
        const RawCopy raw = RawLoopbackCopy(net.Share() + "/big.bin", net.dir.path() + "/raw.bin", 8192);
        QFile::remove(net.dir.path() + "/raw.bin");
        const RawCopy raw64 = RawLoopbackCopy(net.Share() + "/big.bin", net.dir.path() + "/raw.bin", 65536);
        QFile::remove(net.dir.path() + "/raw.bin");

        Node uploader;
        Node downloader;
        if (!uploader.Start("up", net.server.Port(), net.Home("up"), {"--share", net.Share()}) ||
            !downloader.Start("down", net.server.Port(), net.Home("down")))
        {
            state.SkipWithError("nodes did not start");
            return;
        }
        const ProcessFigures upBefore = Figures(uploader.Pid());
        const ProcessFigures downBefore = Figures(downloader.Pid());
        const qint64 upMainBefore = MainThreadTicks(uploader.Pid());
        const qint64 downMainBefore = MainThreadTicks(downloader.Pid());
        QElapsedTimer timer;
        timer.start();
        downloader.Command("GET up " + QByteArray::number(size) + " 0 " + Wire(net.Share() + "/big.bin"));
        if (!downloader.Wait("DOWNLOAD downloading up big.bin"))
        {
            state.SkipWithError("the download did not start");
            return;
        }
        const qint64 negotiated = timer.nsecsElapsed();
        if (!downloader.Wait("DOWNLOAD complete up big.bin"))
        {
            state.SkipWithError("the download did not complete");
            return;
        }
        const double seconds = double(timer.nsecsElapsed() - negotiated) / 1e9;
        const ProcessFigures upAfter = Figures(uploader.Pid());
        const ProcessFigures downAfter = Figures(downloader.Pid());
        const double ticksPerGiB = double(sysconf(_SC_CLK_TCK)) * gib;
        const double upMain = double(MainThreadTicks(uploader.Pid()) - upMainBefore) / ticksPerGiB;
        const double downMain = double(MainThreadTicks(downloader.Pid()) - downMainBefore) / ticksPerGiB;
        if (net.Received("down", "big.bin") != size)
        {
            state.SkipWithError("the downloaded file has the wrong size");
            return;
        }
        state.SetIterationTime(seconds);
        const double client = double(size) / kMiB / seconds;
        g_singleMiBPerSecond = client;
        state.counters["client_MiB_per_s"] = client;
        state.counters["negotiation_ms"] = double(negotiated) / 1e6;
        state.counters["raw8k_MiB_per_s"] = double(size) / kMiB / raw.seconds;
        state.counters["raw64k_MiB_per_s"] = double(size) / kMiB / raw64.seconds;
        state.counters["share_of_raw8k"] = raw.seconds / seconds;
        state.counters["share_of_raw64k"] = raw64.seconds / seconds;
        state.counters["raw8k_cpu_s_per_GiB"] = raw.cpuSeconds / gib;
        state.counters["up_cpu_s_per_GiB"] = (upAfter.cpuSeconds - upBefore.cpuSeconds) / gib;
        state.counters["down_cpu_s_per_GiB"] = (downAfter.cpuSeconds - downBefore.cpuSeconds) / gib;
        state.counters["up_main_thread_cpu_s_per_GiB"] = upMain;
        state.counters["down_main_thread_cpu_s_per_GiB"] = downMain;
        state.counters["up_rss_before_MiB"] = upBefore.rssMiB;
        state.counters["up_rss_after_MiB"] = upAfter.rssMiB;
        state.counters["up_rss_peak_MiB"] = upAfter.peakMiB;
        state.counters["down_rss_before_MiB"] = downBefore.rssMiB;
        state.counters["down_rss_after_MiB"] = downAfter.rssMiB;
        state.counters["down_rss_peak_MiB"] = downAfter.peakMiB;
    }
}

// Users downloading at once under a total limit (20 MB/s; 2 MiB/s in small
// runs); with state.range(1) the limit is switched on while the downloads
// already run. The received bytes are sampled every 50 ms: their sum over
// the whole window and over the busiest one-second stretch of it are set
// against the limit.
void BM_SpeedLimit(benchmark::State& state)
{
    const int users = int(state.range(0));
    const bool midTransfer = state.range(1) != 0;
    // 20,000,000 bytes per second, in the KiB/s the setting takes.
    const int limitKiB = IsSmallRun() ? 2048 : 19531;
    const int windowMs = IsSmallRun() ? 1000 : 20000;
    // Big enough that nothing finishes inside the window, sparse so that
    // laying it out costs nothing. Before a mid-transfer switch the
    // download runs unlimited for a moment, hence the headroom.
    const qint64 size = qint64(limitKiB) * 1024 * (windowMs / 1000 + 10) + (midTransfer ? (1LL << 30) : 0);
    for (auto _ : state)
    {
        Crowd crowd;
        QList<QByteArray> commands{"SLOTS " + QByteArray::number(users)};
        if (!midTransfer)
            commands.append("LIMIT " + QByteArray::number(limitKiB));
        const QString failure = crowd.Start(users, size, commands);
        if (!failure.isEmpty())
        {
            state.SkipWithError(failure.toUtf8().constData());
            return;
        }
        Node& uploader = crowd.uploader;
        auto received = [&] {
            qint64 total = 0;
            for (int u = 0; u < users; ++u)
                total += crowd.Received(u);
            return total;
        };
        if (midTransfer)
            uploader.Command("LIMIT " + QByteArray::number(limitKiB));
        else
            Pause(IsSmallRun() ? 300 : 1000);   // every upload has settled
        // The window starts once the uploader has read the command.
        Pause(50);
        struct Sample
        {
            qint64 atNs;
            qint64 bytes;
        };
        std::vector<Sample> samples;
        QElapsedTimer timer;
        timer.start();
        samples.push_back({0, received()});
        while (timer.elapsed() < windowMs)
        {
            Pause(50);
            samples.push_back({timer.nsecsElapsed(), received()});
        }
        const double seconds = double(samples.back().atNs) / 1e9;
        const double bytesPerSecond = double(limitKiB) * 1024;
        const double expected = bytesPerSecond * seconds;
        const double got = double(samples.back().bytes - samples.front().bytes);
        // The busiest stretch of at least one second between two samples.
        double busiest = 0;
        size_t from = 0;
        for (size_t to = 1; to < samples.size(); ++to)
        {
            while (from + 1 < to && samples[to].atNs - samples[from + 1].atNs >= 1000000000LL)
                ++from;
            const qint64 span = samples[to].atNs - samples[from].atNs;
            if (span >= 1000000000LL)
                busiest = qMax(busiest, double(samples[to].bytes - samples[from].bytes) * 1e9 / double(span));
        }
        state.SetIterationTime(seconds);
        state.counters["limit_MB_per_s"] = bytesPerSecond / 1e6;
        state.counters["received_MB_per_s"] = got / seconds / 1e6;
        state.counters["deviation_pct"] = 100.0 * (got - expected) / expected;
        state.counters["busiest_1s_over_pct"] = 100.0 * (busiest - bytesPerSecond) / bytesPerSecond;
    }
}

// Many uploads at once (50 slots, 50 downloading users), limited to
// 1 MiB/s each or unlimited. The window starts once every download runs
// (held back by a low limit until then) and the measured limit is in force
// and ends when all are complete or after 10 s: the downloads that moved in
// it, the longest time an unfinished one went without growing, the aborts,
// the total rate
// (against the limit, or against the single transfer of BM_LargeFile) and
// the uploader's main thread load.
void BM_ManyUploads(benchmark::State& state)
{
    const bool limited = state.range(0) != 0;
    const int users = IsSmallRun() ? 5 : 50;
    const qint64 size = IsSmallRun() ? (4LL << 20) : (limited ? (32LL << 20) : (64LL << 20));
    const int windowMs = IsSmallRun() ? 2000 : 10000;
    for (auto _ : state)
    {
        Crowd crowd;
        // Until every upload runs, a low limit (64 KiB/s each: a chunk's
        // sleep stays short, so the switch below takes effect at once)
        // keeps the first ones from finishing while a late one is still
        // being negotiated.
        const QString failure = crowd.Start(users, size, {"SLOTS 50", "LIMIT " + QByteArray::number(users * 64)});
        if (!failure.isEmpty())
        {
            state.SkipWithError(failure.toUtf8().constData());
            return;
        }
        Node& uploader = crowd.uploader;
        uploader.Command("LIMIT " + QByteArray::number(limited ? users * 1024 : 0));
        // Time for the command to arrive and, when limited, for every
        // upload to run at its share.
        Pause(limited ? (IsSmallRun() ? 300 : 1000) : 50);

        auto held = [&](int i_user) { return crowd.Received(i_user); };
        std::vector<qint64> first(size_t(users), 0);
        std::vector<qint64> last(size_t(users), 0);
        std::vector<qint64> since(size_t(users), 0);
        qint64 longestStall = 0;
        const qint64 ticksBefore = MainThreadTicks(uploader.Pid());
        QElapsedTimer timer;
        timer.start();
        for (int u = 0; u < users; ++u)
            first[size_t(u)] = last[size_t(u)] = held(u);
        int completed = 0;
        while (timer.elapsed() < windowMs && completed < users)
        {
            Pause(50);
            completed = 0;
            for (int u = 0; u < users; ++u)
            {
                const qint64 now = held(u);
                completed += now == size;
                if (now != last[size_t(u)] || now == size)
                {
                    last[size_t(u)] = now;
                    since[size_t(u)] = timer.elapsed();
                }
                longestStall = qMax(longestStall, timer.elapsed() - since[size_t(u)]);
            }
        }
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        const qint64 ticks = MainThreadTicks(uploader.Pid()) - ticksBefore;
        qint64 moved = 0;
        int progressed = 0;
        int aborted = 0;
        for (int u = 0; u < users; ++u)
        {
            moved += last[size_t(u)] - first[size_t(u)];
            progressed += last[size_t(u)] > first[size_t(u)];
            aborted += crowd.downloaders[size_t(u)]->Has("DOWNLOAD aborted up " + Crowd::File(u).toUtf8());
        }
        const double total = double(moved) / kMiB / seconds;
        state.SetIterationTime(seconds);
        state.counters["users"] = users;
        state.counters["progressed"] = progressed;
        state.counters["completed"] = completed;
        state.counters["total_MiB_per_s"] = total;
        if (limited)
            state.counters["limit_MiB_per_s"] = users;
        else if (g_singleMiBPerSecond > 0)
            state.counters["total_vs_single"] = total / g_singleMiBPerSecond;
        state.counters["longest_stall_ms"] = double(longestStall);
        state.counters["aborted"] = aborted;
        state.counters["main_thread_load_pct"] = 100.0 * double(ticks) / double(sysconf(_SC_CLK_TCK)) / seconds;
    }
}

// The peer of one upload on a raw loopback socket, on a thread of its own:
// it reads the request number, sends the offset 0, then reads what comes,
// at most i_bytesPerSecond (0: as fast as it can).
class PacedReader
{
public:
    PacedReader(int i_fd, double i_bytesPerSecond) : m_fd(i_fd)
    {
        timeval slice{0, 50000};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
        m_thread = std::thread([this, i_bytesPerSecond] { Run(i_bytesPerSecond); });
    }
    ~PacedReader()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
private:
    void Run(double i_bytesPerSecond)
    {
        char request[4];
        for (size_t got = 0; got < sizeof request && !m_stop;)
        {
            const ssize_t n = ::recv(m_fd, request + got, sizeof request - got, 0);
            if (n == 0)
                return;
            got += n > 0 ? size_t(n) : 0;
        }
        const char offset[8] = {};
        if (::send(m_fd, offset, sizeof offset, 0) != ssize_t(sizeof offset))
            return;
        std::vector<char> buffer(65536);
        const auto start = std::chrono::steady_clock::now();
        while (!m_stop)
        {
            size_t want = buffer.size();
            if (i_bytesPerSecond > 0)
            {
                const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                const double allowed = i_bytesPerSecond * seconds - double(m_bytes);
                if (allowed < 1024)
                {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    continue;
                }
                want = size_t(qMin(allowed, double(buffer.size())));
            }
            const ssize_t n = ::recv(m_fd, buffer.data(), want, 0);
            if (n == 0)
                return;
            if (n > 0)
                m_bytes += n;
        }
    }

    int m_fd;
    std::atomic<bool> m_stop{false};
    // Only the reader's thread uses it.
    qint64 m_bytes = 0;
    std::thread m_thread;
};

// Two uploads sharing a total limit, one to a slow peer and one to a fast
// one (see the top). Both connections have small socket buffers, so the
// slow peer soon holds its upload back; the window starts after that. What
// the uploads sent is counted, not what the peers read: the kernel's
// buffers on the slow connection shrink and grow for many seconds, and the
// slow peer's reads then do not show what its upload sent.
void BM_SlowAndFast(benchmark::State& state)
{
    const int limitKiB = 4000;
    const double slowBytesPerSecond = 200 * 1024;
    const int warmUpMs = IsSmallRun() ? 1000 : 3000;
    const int windowMs = IsSmallRun() ? 2000 : 10000;
    for (auto _ : state)
    {
        QTemporaryDir dir(ScratchParent() + "/tv-bench-slow-fast-XXXXXX");
        UploadRateLimiter limiter;
        limiter.SetLimits(limitKiB, limitKiB / 2);
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (!dir.isValid() || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener, 2) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        {
            ::close(listener);
            state.SkipWithError("set-up failed");
            return;
        }
        struct Lane
        {
            // The offset of the last progress signal: what the upload sent.
            qint64 sent = 0;
            std::unique_ptr<QFile> file;
            std::unique_ptr<QTcpSocket> socket;
            std::unique_ptr<UploadThread> thread;
            std::unique_ptr<PacedReader> reader;
        };
        std::vector<Lane> lanes(2);
        // Takes the progress signals on this thread; gone before the lanes.
        QObject progress;
        bool ready = true;
        for (size_t i = 0; i < lanes.size() && ready; ++i)
        {
            Lane& lane = lanes[i];
            const QString path = dir.filePath(QString("file%1").arg(i));
            lane.file = std::make_unique<QFile>(path);
            ready = MakeFile(path, qint64(limitKiB) * 1024 * (warmUpMs + windowMs) / 1000 * 2, true) &&
                    lane.file->open(QIODevice::ReadOnly);
            lane.socket = std::make_unique<QTcpSocket>();
            lane.socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 65536);
            lane.socket->connectToHost(QHostAddress::LocalHost, ntohs(address.sin_port));
            const int fd = ready && lane.socket->waitForConnected(kWaitMs) ? ::accept(listener, nullptr, nullptr) : -1;
            ready = fd >= 0;
            if (!ready)
                break;
            const int receiveBuffer = 131072;
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
            lane.reader = std::make_unique<PacedReader>(fd, i == 0 ? slowBytesPerSecond : 0);
            lane.thread = std::make_unique<UploadThread>(lane.socket.get(), lane.file.get(), int(i) + 1, &limiter);
            QObject::connect(lane.thread.get(), &UploadThread::UploadProgress, &progress,
                             [&lane](qint64 i_offset, int) { lane.sent = i_offset; });
            lane.socket->setParent(nullptr);
            lane.socket->moveToThread(lane.thread.get());
            lane.thread->start();
        }
        ::close(listener);
        double slow = 0;
        double fast = 0;
        double seconds = 0;
        if (ready)
        {
            Pause(warmUpMs);
            const qint64 slowBefore = lanes[0].sent;
            const qint64 fastBefore = lanes[1].sent;
            QElapsedTimer timer;
            timer.start();
            Pause(windowMs);
            seconds = double(timer.nsecsElapsed()) / 1e9;
            slow = double(lanes[0].sent - slowBefore);
            fast = double(lanes[1].sent - fastBefore);
        }
        // The readers close their ends, which ends any upload still waiting
        // to write.
        for (Lane& lane : lanes)
            if (lane.thread)
                lane.thread->SignalExit();
        for (Lane& lane : lanes)
        {
            lane.reader.reset();
            if (lane.thread)
                lane.thread->wait();
        }
        if (!ready)
        {
            state.SkipWithError("set-up failed");
            return;
        }
        const double limit = double(limitKiB) * 1024 * seconds;
        state.SetIterationTime(seconds);
        state.counters["limit_KiB_per_s"] = limitKiB;
        state.counters["total_share"] = (slow + fast) / limit;
        state.counters["fast_share"] = fast / limit;
        state.counters["slow_share"] = slow / limit;
    }
}

} // namespace

BENCHMARK(BM_LargeFile)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpeedLimit)
    ->Args({1, 0})
    ->Args({4, 0})
    ->Args({1, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManyUploads)->Arg(1)->Arg(0)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SlowAndFast)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

TV_QT_BENCHMARK_MAIN()
