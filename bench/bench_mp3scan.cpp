// The MP3 scan at share size: 1,000 files of about 1 MB (copies of a few
// lame encodings) scanned one after the other, as the worker thread does,
// against `cat` reading the same files to /dev/null in the same run. Both
// read from memory: the files lie in /dev/shm when the machine has it, and
// are read once before any timing.
//
// Sanitizer builds, or TV_BENCH_SMALL=1, scan a tenth of the files.

#include "BenchSupport.h"
#include "QtBenchmarkMain.h"
#include "MP3Scanner.h"
#include "TextConversion.h"
#include "tests/shares/MP3TestFiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace
{

using benchsupport::IsSmallRun;
using benchsupport::Median;

struct Encoding
{
    const char* name;
    const char* rate;
    double seconds;   // about 1 MB at its bitrate
    QStringList options;
};

struct Files
{
    QTemporaryDir dir{benchsupport::ScratchParent() + QStringLiteral("/bench_mp3scan-XXXXXX")}; // removed at exit
    QStringList paths;
    std::vector<std::string> utf8Paths;
    double bytes = 0;
    QString failure;

    Files()
    {
        if (!dir.isValid())
        {
            failure = QStringLiteral("no folder for the files");
            return;
        }
        const std::vector<Encoding> encodings{{"cbr128", "44.1", 64, {"-b", "128", "-m", "j"}},
                                              {"vbr", "44.1", 48, {"-V", "2", "-m", "j"}},
                                              {"cbr160", "48", 52, {"-b", "160", "-m", "s"}},
                                              {"cbr64", "22.05", 128, {"-b", "64", "-m", "m"}}};
        QStringList sources;
        for (const Encoding& e : encodings)
        {
            const QString wav = dir.filePath(QString::fromLatin1(e.name) + QStringLiteral(".wav"));
            const QString mp3 = dir.filePath(QString::fromLatin1(e.name) + QStringLiteral(".mp3"));
            if (!mp3test::WriteWav(wav, int(QString::fromLatin1(e.rate).toDouble() * 1000), 2, e.seconds))
            {
                failure = QStringLiteral("cannot write ") + wav;
                return;
            }
            failure = mp3test::EncodeWithLame(wav, mp3, QString::fromLatin1(e.rate), e.options);
            QFile::remove(wav);
            if (!failure.isEmpty())
                return;
            sources << mp3;
        }
        const int count = IsSmallRun() ? 100 : 1000;
        QDir().mkpath(dir.filePath(QStringLiteral("share")));
        for (int k = 0; k < count; ++k)
        {
            const QString path = dir.filePath(QStringLiteral("share/%1.mp3").arg(k, 4, 10, QLatin1Char('0')));
            if (!QFile::copy(sources[k % sources.size()], path))
            {
                failure = QStringLiteral("cannot copy to ") + path;
                return;
            }
            paths << path;
            utf8Paths.push_back(ToUtf8(path));
            bytes += double(QFileInfo(path).size());
        }
    }
};

Files& TheFiles()
{
    static Files files;
    return files;
}

// Seconds of `cat` over every file, or a negative number when it failed.
double TimeCat()
{
    return benchsupport::TimeCommand(QStringLiteral("cat"), TheFiles().paths);
}

std::vector<double> g_catSeconds;

double CatSeconds()
{
    while (g_catSeconds.size() < 5)
    {
        const double seconds = TimeCat();
        if (seconds < 0)
            return -1;
        g_catSeconds.push_back(seconds);
    }
    return Median(g_catSeconds);
}

double MBPerSecond(double i_seconds)
{
    return i_seconds > 0 ? TheFiles().bytes / 1e6 / i_seconds : 0;
}

void BM_Cat(benchmark::State& state)
{
    Files& files = TheFiles();
    if (!files.failure.isEmpty())
    {
        state.SkipWithError(qPrintable(files.failure));
        return;
    }
    TimeCat();   // the first read fills the cache when the files are on disk
    for (auto _ : state)
    {
        const double seconds = TimeCat();
        if (seconds < 0)
        {
            state.SkipWithError("cat failed");
            break;
        }
        g_catSeconds.push_back(seconds);
    }
    state.counters["files"] = files.paths.size();
    state.counters["MB/s"] = MBPerSecond(Median(g_catSeconds));
}
BENCHMARK(BM_Cat)->Unit(benchmark::kMillisecond)->Iterations(5);

// The ratio is of the scan's rate to `cat`'s, both medians of this run.
void BM_ScanMP3(benchmark::State& state)
{
    Files& files = TheFiles();
    if (!files.failure.isEmpty())
    {
        state.SkipWithError(qPrintable(files.failure));
        return;
    }
    MP3Scanner scanner;
    std::vector<double> seconds;
    size_t judged = 0;
    for (auto _ : state)
    {
        QElapsedTimer timer;
        timer.start();
        judged = 0;
        for (const std::string& path : files.utf8Paths)
        {
            int version = 0, frequency = 0, bitrate = -1;
            std::string mode;
            bool vbr = false;
            judged += scanner.ScanMP3(path, version, mode, frequency, vbr, bitrate) ? 1 : 0;
        }
        seconds.push_back(double(timer.nsecsElapsed()) / 1e9);
    }
    if (judged != files.utf8Paths.size())
        state.SkipWithError("a file gave no result");
    state.counters["files"] = files.paths.size();
    state.counters["MB/s"] = MBPerSecond(Median(seconds));
    if (CatSeconds() > 0)
        state.counters["rate/cat"] = CatSeconds() / Median(seconds);
}
BENCHMARK(BM_ScanMP3)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

TV_QT_BENCHMARK_MAIN()
