// The local share at size: the first walk and an unchanged rescan of a
// generated tree of 100,000 files in 5,000 folders, each set against `find`
// listing the same tree in the same run, the resident memory the indexed
// share takes, and the lookups that search answering and uploads make
// against the token index and the lower-case names; searches of thousands
// of exclusions and repeated requests for one large folder; and what another
// user's share list of 1,000,000 files, asked for, costs in memory while
// stored and after its removal.
//
// The tree's MP3 files are sparse and hold no frames, so no scan ever
// stores results for them and every walk asks for all of them to be scanned
// again; the requests wait in the scanner's queue. Real MP3 files are asked
// for once. So the heap the index alone takes is measured with no scanner
// listening, and the rescan is also timed with every file scanned.
//
// Sanitizer builds, or TV_BENCH_SMALL=1, use a tree a tenth of the size:
// the instrumented walk is many times slower and only has to run once there.

#include "BenchSupport.h"
#include "QtBenchmarkMain.h"
#include "Compression.h"
#include "DataSaver.h"
#include "GeneralFunctions.h"
#include "PeerMessenger.h"
#include "common/TestEnvironment.h"
#include "Log.h"
#include "PeerMessageDecoders.h"
#include "SharedFoldersManager.h"
#include "TextConversion.h"
#include "server.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTcpSocket>

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace
{

using benchsupport::IsSmallRun;
using benchsupport::Median;

// Every folder holds 20 files: the artist folders a cover and 19 singles,
// the album folders 20 tracks. 100 artists * (1 + 49 albums) = 5,000
// folders, 100,000 files; a small run has 10 artists.
const int g_albumsPerArtist = 49;
const int g_filesPerFolder = 20;

int ArtistCount()
{
    return IsSmallRun() ? 10 : 100;
}

const char* const g_words[] = {"night", "river", "golden", "echo", "blue", "storm", "city", "light",
                               "dream", "fire", "stone", "ocean", "silver", "shadow", "wild", "heart"};

const int g_wordCount = int(sizeof(g_words) / sizeof(g_words[0]));
const char* const g_syllables[] = {"ka", "ro", "mi", "tu", "le", "so", "vin", "dar"};

// A common word of titles: each is in thousands of file names.
std::string Word(int i_n)
{
    return g_words[unsigned(i_n) % unsigned(g_wordCount)];
}

// One of 2,560 rarer words: each is in about 40 file names of the full tree.
std::string RareWord(int i_n)
{
    const unsigned n = unsigned(i_n) % 2560;
    std::string word = std::string(g_syllables[n % 8]) + g_syllables[(n / 8) % 8] + g_syllables[(n / 64) % 8];
    if (n >= 512)
        word += g_syllables[n / 512];
    return word;
}

// Plain POSIX calls: the tree has to be laid out in a few seconds.
bool MakeFolder(const std::string& i_path)
{
    return ::mkdir(i_path.c_str(), 0755) == 0;
}

// Sized as music files are, nearly all sizes distinct as in a real share;
// the files are sparse, so they take neither disk nor memory.
bool MakeFile(const std::string& i_path, int i_number)
{
    const int fd = ::open(i_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const off_t size = 2000000 + off_t(i_number) * 7919 % 9000000;
    const bool sized = ::ftruncate(fd, size) == 0;
    return ::close(fd) == 0 && sized;
}

struct Tree
{
    QTemporaryDir dir{benchsupport::ScratchParent() + QStringLiteral("/bench_shares-XXXXXX")}; // removed at exit
    QString root;
    int files = 0;
    int folders = 0;
    bool complete = true;

    Tree()
    {
        root = dir.path() + QStringLiteral("/Music");
        const std::string base = std::string(QFile::encodeName(root).constData());
        complete = dir.isValid() && MakeFolder(base);
        char name[256];
        for (int a = 0; a < ArtistCount() && complete; ++a)
        {
            std::snprintf(name, sizeof(name), "/Artist %d %s", a, Word(a).c_str());
            const std::string artist = base + name;
            complete = complete && MakeFolder(artist);
            ++folders;
            complete = complete && MakeFile(artist + "/cover.jpg", files);
            ++files;
            for (int t = 1; t < g_filesPerFolder; ++t, ++files)
            {
                std::snprintf(name, sizeof(name), "/Single %02d - %s %s.mp3", t, Word(a * 5 + t).c_str(),
                              RareWord(files * 7).c_str());
                complete = complete && MakeFile(artist + name, files);
            }
            for (int b = 0; b < g_albumsPerArtist; ++b)
            {
                std::snprintf(name, sizeof(name), "/%d - %s %d", 1970 + b, Word(a + b).c_str(), b);
                const std::string album = artist + name;
                complete = complete && MakeFolder(album);
                ++folders;
                for (int t = 0; t < g_filesPerFolder; ++t, ++files)
                {
                    std::snprintf(name, sizeof(name), "/%02d - %s %s %s.mp3", t + 1, Word(a * 7 + b * 3 + t).c_str(),
                                  RareWord(files * 7).c_str(), Word(t).c_str());
                    complete = complete && MakeFile(album + name, files);
                }
            }
        }
    }
};

Tree& TheTree()
{
    static Tree tree;
    return tree;
}

// `find` listing the tree, output discarded: the yardstick of the walk.
// Returns the seconds it took, or a negative number when it failed.
double TimeFind()
{
    return benchsupport::TimeCommand(QStringLiteral("find"), {TheTree().root});
}

// The times of every `find` run so far; the ratios use their median.
std::vector<double> g_findSeconds;

double FindSeconds()
{
    while (g_findSeconds.size() < 5)
    {
        const double seconds = TimeFind();
        if (seconds < 0)
            return -1;
        g_findSeconds.push_back(seconds);
    }
    return Median(g_findSeconds);
}

// A figure of /proc/self/status in bytes ("VmRSS:", "VmHWM:"), 0 if unknown.
double StatusBytes(const char* ip_key)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(ip_key);
    while (std::getline(status, line))
        if (line.compare(0, length, ip_key) == 0)
            return std::strtod(line.c_str() + length, nullptr) * 1024;
    return 0;
}

// Bytes the heap has handed out and not taken back: unlike the resident
// size, not lowered by memory an earlier benchmark freed.
double HeapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return double(info.uordblks + info.hblkhd);
}

// Resident memory of the process in bytes, 0 if unknown.
double ResidentBytes()
{
    return StatusBytes("VmRSS:");
}

// Seconds of processor time this thread has used: other work on a shared
// machine does not count in it.
double ThreadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// The store as start-up builds it, up to the shared files.
struct Environment
{
    std::unique_ptr<DataSaver> saver;
    std::unique_ptr<Server> server;
    std::unique_ptr<SharedFoldersManager> manager;

    Environment()
    {
        d->Reset();
        saver = std::make_unique<DataSaver>();
        server = std::make_unique<Server>();
        server->CreateData();
        for (const char* type : {"file_size", "length_seconds", "mpeg_version", "channel_mode", "audio_frequency",
                                 "bitrate_mode", "bitrate"})
            if (!d->HasType(type))
                d->NewType(type, false, false, true);
        manager = std::make_unique<SharedFoldersManager>();
        manager->Init();
    }
    ~Environment()
    {
        manager.reset();
        server.reset();
        saver.reset();
        d->Reset();
    }

    void Share() { T("shared_folder")->GetItem(ToUtf8(TheTree().root)); }
};

void BM_Find(benchmark::State& state)
{
    Tree& tree = TheTree();
    if (!tree.complete)
        state.SkipWithError("the tree could not be made");
    for (auto _ : state)
    {
        const double seconds = TimeFind();
        if (seconds < 0)
        {
            state.SkipWithError("find failed");
            break;
        }
        g_findSeconds.push_back(seconds);
    }
    state.counters["entries"] = tree.files + tree.folders;
}
BENCHMARK(BM_Find)->Unit(benchmark::kMillisecond)->Iterations(5);

// The ratios are of medians, against `find` on the same tree in this run.
// The resident memory is measured at the first walk of the process, before
// freed store memory can be reused.
void BM_FirstWalk(benchmark::State& state)
{
    Tree& tree = TheTree();
    if (!tree.complete)
        state.SkipWithError("the tree could not be made");
    static bool s_measuredMemory = false;
    double residentPerFile = -1;
    std::vector<double> seconds;
    for (auto _ : state)
    {
        state.PauseTiming();
        auto env = std::make_unique<Environment>();
        const bool measuring = !s_measuredMemory;
        s_measuredMemory = true;
        const double before = measuring ? ResidentBytes() : 0;
        state.ResumeTiming();
        QElapsedTimer timer;
        timer.start();
        env->Share();
        seconds.push_back(double(timer.nsecsElapsed()) / 1e9);
        state.PauseTiming();
        if (measuring)
            residentPerFile = (ResidentBytes() - before) / tree.files;
        if (T("shared_file")->ItemCount() != size_t(tree.files))
            state.SkipWithError("not every file was shared");
        env.reset();
        state.ResumeTiming();
    }
    state.counters["files"] = tree.files;
    state.counters["folders"] = tree.folders;
    state.counters["files/s"] = benchmark::Counter(tree.files, benchmark::Counter::kIsIterationInvariantRate);
    if (FindSeconds() > 0)
        state.counters["walk/find"] = Median(seconds) / FindSeconds();
    if (residentPerFile >= 0)
        state.counters["RSS B/file"] = residentPerFile;
}
BENCHMARK(BM_FirstWalk)->Unit(benchmark::kMillisecond)->Iterations(3);

// The heap the indexed share holds after its first walk: items, their
// connections, the token index and the value strings, without the scan
// requests the walk leaves queued.
void BM_IndexMemory(benchmark::State& state)
{
    double perFile = 0;
    for (auto _ : state)
    {
        state.PauseTiming();
        auto env = std::make_unique<Environment>();
        QObject::disconnect(env->manager.get(), &SharedFoldersManager::MP3ScanRequired, nullptr, nullptr);
        const double before = HeapInUse();
        state.ResumeTiming();
        env->Share();
        state.PauseTiming();
        perFile = (HeapInUse() - before) / TheTree().files;
        env.reset();
        state.ResumeTiming();
    }
    state.counters["heap B/file"] = perFile;
}
BENCHMARK(BM_IndexMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

// Arg 1: every file carries scan results, as real MP3 files do after their
// first scan, so the rescan asks for no scan.
void BM_UnchangedRescan(benchmark::State& state)
{
    Environment env;
    env.Share();
    if (state.range(0) == 1)
        for (Item* file : g("shared_file"))
            file->Connect(T("is_scanned")->GetGlobalNullItem());
    int added = -1, removed = -1;
    QObject::connect(env.manager.get(), &SharedFoldersManager::SharedFilesRescanned, [&](int i_added, int i_removed) {
        added = i_added;
        removed = i_removed;
    });
    std::vector<double> seconds;
    for (auto _ : state)
    {
        QElapsedTimer timer;
        timer.start();
        env.manager->RescanShares();
        seconds.push_back(double(timer.nsecsElapsed()) / 1e9);
    }
    if (added != 0 || removed != 0)
        state.SkipWithError("an unchanged rescan changed files");
    state.counters["files/s"] =
        benchmark::Counter(TheTree().files, benchmark::Counter::kIsIterationInvariantRate);
    if (FindSeconds() > 0)
        state.counters["rescan/find"] = Median(seconds) / FindSeconds();
}
BENCHMARK(BM_UnchangedRescan)->Arg(0)->Arg(1)->ArgName("scanned")->Unit(benchmark::kMillisecond)->Iterations(3);

// 256 queries of that many tokens. The first token of a query is a rare
// word half of the time; the others are common words.
std::vector<std::vector<std::string>> MakeQueries(int i_tokensPerQuery)
{
    std::mt19937 random(7);
    std::vector<std::vector<std::string>> queries;
    for (int q = 0; q < 256; ++q)
    {
        std::vector<std::string> query;
        for (int k = 0; k < i_tokensPerQuery; ++k)
            query.push_back(k == 0 && q % 2 ? RareWord(int(random())) : Word(int(random())));
        queries.push_back(query);
    }
    return queries;
}

// Search answering's selection: exact token lookups, then the files linked
// to all of them.
void BM_TokenLookup(benchmark::State& state)
{
    Environment env;
    env.Share();
    const std::vector<std::vector<std::string>> queries = MakeQueries(int(state.range(0)));
    Type* tokens = T("search_token");
    size_t q = 0, matches = 0;
    for (auto _ : state)
    {
        ItemSet linked;
        for (const std::string& token : queries[q++ % queries.size()])
            linked.insert(tokens->HasItem(token));
        const ItemSet files = d->GetItemSubset(linked, "shared_file");
        matches += files.size();
        benchmark::DoNotOptimize(files);
    }
    state.counters["matches/query"] = benchmark::Counter(double(matches) / double(state.iterations()));
    state.counters["index tokens"] = double(tokens->ItemCount());
}
BENCHMARK(BM_TokenLookup)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMicrosecond);

// An upload request or a scan result finding its file by path.
void BM_PathLookup(benchmark::State& state)
{
    Environment env;
    env.Share();
    std::vector<std::string> paths;
    for (Item* file : g("shared_file"))
    {
        ItemPtr f(file);
        paths.push_back(f["shared_file_folder"].AsString() + "/" + f["shared_file_name"].AsString());
    }
    std::mt19937 random(11);
    size_t found = 0;
    for (auto _ : state)
        found += env.manager->GetSharedFileItem(paths[random() % paths.size()]) ? 1 : 0;
    if (found != size_t(state.iterations()))
        state.SkipWithError("a path was not found");
}
BENCHMARK(BM_PathLookup)->Unit(benchmark::kMicrosecond);

// The whole tree shared with everyone.
void SharePublicly(Environment& io_env)
{
    io_env.Share();
    T("shared_folder")->GetItem(ToUtf8(TheTree().root))->Connect(T("shared_public")->GetGlobalNullItem());
}

// Answering a search, from the text to the compressed reply; with no peer
// network the message goes nowhere. Queries as BM_TokenLookup makes them.
void BM_SearchAnswering(benchmark::State& state)
{
    Environment env;
    SharePublicly(env);
    size_t answered = 0;
    SetLogSink([&answered](const QString&, int, const QString& i_text, ItemPtr) {
        answered += i_text.startsWith(QLatin1String("Sending search results")) ? 1 : 0;
    });
    std::vector<std::string> texts;
    for (const std::vector<std::string>& query : MakeQueries(int(state.range(0))))
    {
        std::string text;
        for (const std::string& token : query)
            text += (text.empty() ? "" : " ") + token;
        texts.push_back(text);
    }
    std::vector<double> seconds;
    size_t q = 0;
    for (auto _ : state)
    {
        QElapsedTimer timer;
        timer.start();
        env.manager->ProcessSearch("searcher", unsigned(q), texts[q % texts.size()]);
        seconds.push_back(double(timer.nsecsElapsed()) / 1e9);
        ++q;
    }
    ClearLogSink();
    state.counters["median us"] = Median(seconds) * 1e6;
    state.counters["queries/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["answered %"] = 100.0 * double(answered) / double(state.iterations());
}
BENCHMARK(BM_SearchAnswering)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMicrosecond);

// A share of 20,000 public files named "track", and a folder of 20,001
// files named "vault" shared only with the group "friends"; a tenth of each
// in a small run.
struct SearchTree
{
    QTemporaryDir dir{benchsupport::ScratchParent() + QStringLiteral("/bench_search-XXXXXX")};
    QString publicRoot;
    QString groupRoot;
    int files = IsSmallRun() ? 2000 : 20000;
    bool complete = true;

    SearchTree()
    {
        publicRoot = dir.path() + QStringLiteral("/Public");
        groupRoot = dir.path() + QStringLiteral("/Friends");
        const std::string base = std::string(QFile::encodeName(publicRoot).constData());
        const std::string group = std::string(QFile::encodeName(groupRoot).constData());
        complete = dir.isValid() && MakeFolder(base) && MakeFolder(group);
        char name[128];
        for (int f = 0; f < files / 200 && complete; ++f)
        {
            std::snprintf(name, sizeof(name), "/Album %d", f);
            complete = MakeFolder(base + name);
            for (int t = 0; t < 200 && complete; ++t)
            {
                std::snprintf(name, sizeof(name), "/Album %d/%03d - track %s.mp3", f, t, RareWord(f * 200 + t).c_str());
                complete = MakeFile(base + name, f * 200 + t);
            }
        }
        for (int n = 0; n <= files && complete; ++n)
        {
            std::snprintf(name, sizeof(name), "/%05d - vault %s.mp3", n, RareWord(n).c_str());
            complete = MakeFile(group + name, n);
        }
    }
};

SearchTree& TheSearchTree()
{
    static SearchTree tree;
    return tree;
}

// 10,000 exclusions that match no name ("-t0000" ...), with one that
// matches every candidate: at the end (arg 0, the public files; arg 1, the
// group's files, which the searcher may not see), or among the first few
// dozen (arg 2), so that it stays in a query cut to its first tokens. Both
// words sort after the others, so a test of the exclusions in their byte
// order reaches the one that matches last.
// Target: one search under 10 ms in the Release build.
void BM_SearchManyExclusions(benchmark::State& state)
{
    SearchTree& tree = TheSearchTree();
    if (!tree.complete)
    {
        state.SkipWithError("the tree could not be made");
        return;
    }
    Environment env;
    T("shared_folder")->GetItem(ToUtf8(tree.publicRoot))->Connect(T("shared_public")->GetGlobalNullItem());
    T("shared_folder")->GetItem(ToUtf8(tree.groupRoot))->Connect(T("user_list_group")->GetItem("friends"));
    const std::string word = state.range(0) == 1 ? "vault" : "track";
    std::string text = word;
    char exclusion[16];
    for (int k = 0; k < 10000; ++k)
    {
        if (state.range(0) == 2 && k == 30)
            text += " -" + word;
        std::snprintf(exclusion, sizeof(exclusion), " -t%04d", k);
        text += exclusion;
    }
    if (state.range(0) != 2)
        text += " -" + word;
    std::vector<double> seconds, cpu;
    unsigned req = 0;
    for (auto _ : state)
    {
        QElapsedTimer timer;
        timer.start();
        const double cpuStart = ThreadSeconds();
        const MemStream message = env.manager->GetSearchResultMessage("searcher", ++req, text);
        cpu.push_back(ThreadSeconds() - cpuStart);
        seconds.push_back(double(timer.nsecsElapsed()) / 1e9);
        benchmark::DoNotOptimize(message.Data());
    }
    state.counters["files"] = double(tree.files);
    state.counters["text KB"] = double(text.size()) / 1e3;
    state.counters["median ms"] = Median(seconds) * 1e3;
    state.counters["median cpu ms"] = Median(cpu) * 1e3;
}
BENCHMARK(BM_SearchManyExclusions)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(5);

// One folder of 50,000 files (5,000 in a small run).
struct BigFolder
{
    QTemporaryDir dir{benchsupport::ScratchParent() + QStringLiteral("/bench_folder-XXXXXX")};
    QString root;
    int files = IsSmallRun() ? 5000 : 50000;
    bool complete = true;

    BigFolder()
    {
        root = dir.path() + QStringLiteral("/Everything");
        const std::string base = std::string(QFile::encodeName(root).constData());
        complete = dir.isValid() && MakeFolder(base);
        char name[128];
        for (int n = 0; n < files && complete; ++n)
        {
            std::snprintf(name, sizeof(name), "/%05d - %s %s.mp3", n, Word(n).c_str(), RareWord(n).c_str());
            complete = MakeFile(base + name, n);
        }
    }
};

// 200 requests for the contents of that folder, each with its own request
// number. Target: all 200 under 0.5 s in the Release build.
void BM_FolderRequests(benchmark::State& state)
{
    static BigFolder folder;
    if (!folder.complete)
    {
        state.SkipWithError("the folder could not be made");
        return;
    }
    Environment env;
    T("shared_folder")->GetItem(ToUtf8(folder.root))->Connect(T("shared_public")->GetGlobalNullItem());
    const std::string path = ToWirePath(ToUtf8(folder.root));
    double first = 0, total = 0, firstCpu = 0, totalCpu = 0;
    size_t size = 0;
    for (auto _ : state)
    {
        QElapsedTimer timer;
        timer.start();
        const double cpuStart = ThreadSeconds();
        for (unsigned req = 1; req <= 200; ++req)
        {
            const MemStream message = env.manager->GetFolderContentsMessage("browser", req, path, true);
            if (req == 1)
            {
                first = double(timer.nsecsElapsed()) / 1e9;
                firstCpu = ThreadSeconds() - cpuStart;
            }
            size = message.Size();
        }
        total = double(timer.nsecsElapsed()) / 1e9;
        totalCpu = ThreadSeconds() - cpuStart;
    }
    if (size == 0)
        state.SkipWithError("the folder was not answered");
    state.counters["files"] = double(folder.files);
    state.counters["message KB"] = double(size) / 1e3;
    state.counters["first ms"] = first * 1e3;
    state.counters["200 requests s"] = total;
    state.counters["first cpu ms"] = firstCpu * 1e3;
    state.counters["200 requests cpu s"] = totalCpu;
}
BENCHMARK(BM_FolderRequests)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The share list of the whole tree: built and compressed, and then asked
// for again while the share is unchanged, which copies the kept list. The
// compression alone is timed on the same body at the level used, the
// default and the strongest.
void BM_ShareListMessage(benchmark::State& state)
{
    Environment env;
    SharePublicly(env);
    size_t compressedSize = 0;
    std::vector<double> seconds;
    for (auto _ : state)
    {
        env.manager->ShareChanged();
        QElapsedTimer timer;
        timer.start();
        const MemStream message = env.manager->GetSharedFilesMessage("browser");
        seconds.push_back(double(timer.nsecsElapsed()) / 1e9);
        compressedSize = message.Size();
        benchmark::DoNotOptimize(message.Data());
    }
    QElapsedTimer again;
    again.start();
    const MemStream message = env.manager->GetSharedFilesMessage("browser");
    state.counters["repeated ms"] = double(again.nsecsElapsed()) / 1e6;
    std::string body;
    if (message.Size() < 4 || !Compression::Inflate(message.Data() + 4, message.Size() - 4, body))
    {
        state.SkipWithError("the share list does not inflate");
        return;
    }
    for (const int level : {2, 6, 9})
    {
        std::string packed;
        QElapsedTimer timer;
        timer.start();
        Compression::Compress(body.data(), body.size(), packed, level);
        const std::string suffix = " (level " + std::to_string(level) + ")";
        state.counters["compress ms" + suffix] = double(timer.nsecsElapsed()) / 1e6;
        if (level == 2)
            state.counters["build ms (without compressing)"] = Median(seconds) * 1e3 - double(timer.nsecsElapsed()) / 1e6;
        state.counters["compressed MB" + suffix] = double(packed.size()) / 1e6;
    }
    state.counters["body MB"] = double(body.size()) / 1e6;
    state.counters["message MB"] = double(compressedSize) / 1e6;
    state.counters["median ms"] = Median(seconds) * 1e3;
}
BENCHMARK(BM_ShareListMessage)->Unit(benchmark::kMillisecond)->Iterations(3);

// Storing that share list as another user's: the tree of folders and files.
void BM_StoreUserShare(benchmark::State& state)
{
    Environment env;
    SharePublicly(env);
    const MemStream message = env.manager->GetSharedFilesMessage("browser");
    std::string body;
    PeerDecoders::SharedFileList list;
    if (message.Size() < 4 || !Compression::Inflate(message.Data() + 4, message.Size() - 4, body) ||
        !PeerDecoders::DecodeSharedFileList(body.data(), body.size(), list))
    {
        state.SkipWithError("the share list does not decode");
        return;
    }
    for (auto _ : state)
    {
        state.PauseTiming();
        FileInfoMap share = list.m_share;
        state.ResumeTiming();
        env.manager->OnUserShare("sharer", share, list.m_table);
        state.PauseTiming();
        env.manager->RemoveUserShare("sharer");
        state.ResumeTiming();
    }
    state.counters["files"] = double(TheTree().files);
}
BENCHMARK(BM_StoreUserShare)->Unit(benchmark::kMillisecond)->Iterations(3);

// Resets the peak resident memory to the current one; false where the
// kernel does not allow it.
bool ResetPeak()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return bool(clear);
}

// A share list of another user as a peer sends it, asked for by browsing:
// 1,000,000 files in 10,000 folders (a tenth in a small run) over a loopback
// connection, from the frame to the stored tree, and then removed. Counters:
// the peak and the lasting resident memory it takes over what the process
// had before, and what stays after its removal.
void BM_ReceiveAskedShareList(benchmark::State& state)
{
    const int folders = IsSmallRun() ? 1000 : 10000;
    const int perFolder = 100;
    ResetTestEnvironment();
    // The server's types only: with none to ask, the peer's name is taken.
    Server().CreateData();
    auto messenger = std::make_unique<PeerMessenger>();
    SetSetting("username", "alice");
    SetSetting("listening_port", std::to_string(benchsupport::FreePort()));
    SetSetting("obfuscated_listening_port", std::to_string(benchsupport::FreePort()));
    messenger->DataLoaded();
    auto manager = std::make_unique<SharedFoldersManager>();

    QByteArray frame;
    {
        MemStream body;
        body.WriteUInt32(quint32(folders));
        for (int f = 0; f < folders; ++f)
        {
            body.WriteString("Music\\Artist " + std::to_string(f / 10) + "\\Album " + std::to_string(f));
            body.WriteUInt32(quint32(perFolder));
            for (int n = 0; n < perFolder; ++n)
            {
                FileInfo file(std::to_string(n + 1) + " - " + Word(f + n) + " " + RareWord(f * perFolder + n) + ".mp3",
                              3000000 + qint64(f * perFolder + n) * 7919 % 9000000);
                file.m_attributes.m_extension = "mp3";
                file.m_attributes.Add(ATTRIBUTE_BITRATE, n % 3 ? 320 : 192);
                file.m_attributes.Add(ATTRIBUTE_LENGTH, 120 + n % 300);
                file.m_attributes.Add(ATTRIBUTE_VBR, n % 4 == 0);
                file.Write(body);
            }
        }
        body.WriteUInt32(0);
        frame = FrameCodec::Encode(Compression::CompressMessage(PM_SHARED_FILE_LIST, body));
    }

    QTcpSocket peer;
    if (frame.isEmpty() || !benchsupport::OpenKnownMessaging(peer, messenger->ListeningPort(), "bob"))
    {
        state.SkipWithError("no list or no connection to the messenger");
        return;
    }
    Type* loaded = T("user_share_loaded");

    double peak = 0, stored = 0, retained = 0;
    for (auto _ : state)
    {
        const double before = ResidentBytes();
        const bool peakKnown = ResetPeak();
        messenger->GetUserSharedFiles("bob");
        peer.write(frame);
        if (!benchsupport::WaitUntil([loaded] { return loaded->ItemCount() != 0; }, 600000))
        {
            state.SkipWithError("the list was not stored");
            break;
        }
        state.PauseTiming();
        peak = peakKnown ? StatusBytes("VmHWM:") - before : 0;
        stored = ResidentBytes() - before;
        manager->RemoveUserShare("bob");
        retained = ResidentBytes() - before;
        state.ResumeTiming();
    }
    state.counters["files"] = double(folders * perFolder);
    state.counters["compressed MiB"] = double(frame.size()) / (1 << 20);
    state.counters["peak MiB"] = peak / (1 << 20);
    state.counters["stored MiB"] = stored / (1 << 20);
    state.counters["after removal MiB"] = retained / (1 << 20);

    peer.abort();
    manager.reset();
    messenger.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    d->Reset();
}
BENCHMARK(BM_ReceiveAskedShareList)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

TV_QT_BENCHMARK_MAIN()
