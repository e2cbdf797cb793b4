// The local share at size: the first walk and an unchanged rescan of a
// generated tree of 20,000 files in 1,000 folders, and the lookups that
// search answering and uploads make against the token index and the
// lower-case names.

#include "DataSaver.h"
#include "SharedFoldersManager.h"
#include "TextConversion.h"
#include "server.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace
{

const int g_artists = 50;
const int g_albumsPerArtist = 19;       // + one artist folder each: 1,000 folders
const int g_tracksPerAlbum = 21;        // 50 * 19 * 21 = 19,950 files ...
const int g_filesPerArtistFolder = 1;   // ... + 50 = 20,000

const char* const g_words[] = {"night", "river", "golden", "echo", "blue", "storm", "city", "light",
                               "dream", "fire", "stone", "ocean", "silver", "shadow", "wild", "heart"};

const int g_wordCount = int(sizeof(g_words) / sizeof(g_words[0]));
const char* const g_syllables[] = {"ka", "ro", "mi", "tu", "le", "so", "vin", "dar"};

// A common word of titles: each is in thousands of file names.
std::string Word(int i_n)
{
    return g_words[unsigned(i_n) % unsigned(g_wordCount)];
}

// One of 512 rarer words: each is in about 40 file names.
std::string RareWord(int i_n)
{
    const unsigned n = unsigned(i_n) % 512;
    return std::string(g_syllables[n % 8]) + g_syllables[(n / 8) % 8] + g_syllables[n / 64];
}

struct Tree
{
    QTemporaryDir dir;
    QString root;
    int files = 0;
    int folders = 0;

    Tree()
    {
        root = dir.path() + QStringLiteral("/Music");
        for (int a = 0; a < g_artists; ++a)
        {
            const QString artist = root + QStringLiteral("/Artist %1 %2").arg(a).arg(QString::fromLatin1(Word(a)));
            QDir().mkpath(artist);
            ++folders;
            for (int f = 0; f < g_filesPerArtistFolder; ++f, ++files)
                QFile(artist + QStringLiteral("/cover.jpg")).open(QIODevice::WriteOnly);
            for (int b = 0; b < g_albumsPerArtist; ++b)
            {
                const QString album =
                    artist + QStringLiteral("/%1 - %2 %3").arg(2000 + b).arg(QString::fromLatin1(Word(a + b))).arg(b);
                QDir().mkpath(album);
                ++folders;
                for (int t = 0; t < g_tracksPerAlbum; ++t, ++files)
                {
                    QFile f(album + QStringLiteral("/%1 - %2 %3 %4.mp3")
                                        .arg(t + 1, 2, 10, QChar('0'))
                                        .arg(QString::fromLatin1(Word(a * 7 + b * 3 + t)))
                                        .arg(QString::fromLatin1(RareWord(files * 7)))
                                        .arg(QString::fromLatin1(Word(t))));
                    f.open(QIODevice::WriteOnly);
                    f.write("x", 1);
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

void BM_FirstWalk(benchmark::State& state)
{
    Tree& tree = TheTree();
    for (auto _ : state)
    {
        state.PauseTiming();
        auto env = std::make_unique<Environment>();
        state.ResumeTiming();
        env->Share();
        state.PauseTiming();
        if (T("shared_file")->ItemCount() != size_t(tree.files))
            state.SkipWithError("not every file was shared");
        env.reset();
        state.ResumeTiming();
    }
    state.counters["files"] = tree.files;
    state.counters["folders"] = tree.folders;
    state.counters["files/s"] = benchmark::Counter(tree.files, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_FirstWalk)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_UnchangedRescan(benchmark::State& state)
{
    Environment env;
    env.Share();
    int added = -1, removed = -1;
    QObject::connect(env.manager.get(), &SharedFoldersManager::SharedFilesRescanned, [&](int i_added, int i_removed) {
        added = i_added;
        removed = i_removed;
    });
    for (auto _ : state)
        env.manager->RescanShares();
    if (added != 0 || removed != 0)
        state.SkipWithError("an unchanged rescan changed files");
    state.counters["files/s"] =
        benchmark::Counter(TheTree().files, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_UnchangedRescan)->Unit(benchmark::kMillisecond)->Iterations(3);

// Search answering's selection: exact token lookups, then the files linked
// to all of them. The first token of a query is a rare word half of the
// time; the others are common words.
void BM_TokenLookup(benchmark::State& state)
{
    Environment env;
    env.Share();
    const int tokensPerQuery = int(state.range(0));
    std::mt19937 random(7);
    std::vector<std::vector<std::string>> queries;
    for (int q = 0; q < 256; ++q)
    {
        std::vector<std::string> query;
        for (int k = 0; k < tokensPerQuery; ++k)
            query.push_back(k == 0 && q % 2 ? RareWord(int(random())) : Word(int(random())));
        queries.push_back(query);
    }
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

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
