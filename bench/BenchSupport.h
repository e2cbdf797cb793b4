#pragma once
// What the benchmarks that lay out files share: whether this is a small run,
// where scratch trees go, and the median of repeated timings.

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define TV_BENCH_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TV_BENCH_SANITIZED 1
#endif
#endif

namespace benchsupport
{

// Sanitizer builds, or TV_BENCH_SMALL=1, run on a tenth of the data: the
// instrumented code is many times slower and only has to run once there.
inline bool IsSmallRun()
{
#ifdef TV_BENCH_SANITIZED
    return true;
#else
    const char* small = std::getenv("TV_BENCH_SMALL");
    return small && *small && std::strcmp(small, "0") != 0;
#endif
}

// Memory-backed when the machine has it: laying out many files on a disk
// file system is slow, and the timed readers then read from memory either way.
inline QString ScratchParent()
{
    const QFileInfo shm(QStringLiteral("/dev/shm"));
    return shm.isDir() && shm.isWritable() ? shm.filePath() : QDir::tempPath();
}

inline double Median(std::vector<double> i_values)
{
    if (i_values.empty())
        return 0;
    std::sort(i_values.begin(), i_values.end());
    const size_t middle = i_values.size() / 2;
    return i_values.size() % 2 ? i_values[middle] : (i_values[middle - 1] + i_values[middle]) / 2;
}

// Seconds a command takes with its output discarded, or a negative number
// when it fails: the yardsticks the client's own work is set against.
inline double TimeCommand(const QString& i_program, const QStringList& i_arguments)
{
    QProcess command;
    command.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    command.start(i_program, i_arguments);
    if (!command.waitForFinished(-1) || command.exitStatus() != QProcess::NormalExit || command.exitCode() != 0)
        return -1;
    return double(timer.nsecsElapsed()) / 1e9;
}

} // namespace benchsupport
