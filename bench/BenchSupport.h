#pragma once
// What the benchmarks share: whether this is a small run, where scratch
// trees go, the median of repeated timings, free loopback ports and waiting
// with the event loop running, resident memory.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include "FrameCodec.h"
#include "Log.h"
#include "MemStream.h"
#include "ProtocolCodes.h"
#include "TextConversion.h"
#include "common/TestPorts.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

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

// The process's resident memory in MiB, from /proc/self/statm; 0 where
// that is missing.
inline double ResidentMiB()
{
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm)
        return 0;
    long pages = 0, resident = 0;
    const int read = std::fscanf(statm, "%ld %ld", &pages, &resident);
    std::fclose(statm);
    return read == 2 ? double(resident) * double(getpagesize()) / (1024.0 * 1024.0) : 0;
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

// A port nothing listens on now, so the client's peer listeners keep off
// the default ports. Taken below the ephemeral range as the tests take theirs:
// a port probed with listen(0) can go to another program's outgoing
// connection before the client listens on it.
inline quint16 FreePort()
{
    return FreeListenPort();
}

// Runs the event loop until the condition holds; false when i_ms pass first.
inline bool WaitUntil(const std::function<bool()>& i_done, int i_ms)
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

// A raw peer's messaging connection to the client's listener on i_port,
// opened as i_user; false when it does not connect.
inline bool OpenMessaging(QTcpSocket& io_peer, quint16 i_port, const std::string& i_user)
{
    io_peer.connectToHost(QHostAddress::LocalHost, i_port);
    if (!io_peer.waitForConnected(10000))
        return false;
    MemStream init;
    init.WriteUInt32(PM_PEER_INIT);
    init.WriteString(i_user);
    init.WriteString("P");
    init.WriteUInt32(0);
    io_peer.write(FrameCodec::Encode(init));
    return true;
}

// The same, returning once the messenger has taken the connection as
// i_user's, so that what it sends the user goes on it.
inline bool OpenKnownMessaging(QTcpSocket& io_peer, quint16 i_port, const std::string& i_user)
{
    bool known = false;
    const QString opened = QString("User %1 opened a connection of type P").arg(FromName(i_user));
    SetLogSink([&](const QString&, int, const QString& i_text, ItemPtr) { known = known || i_text.contains(opened); });
    const bool open = OpenMessaging(io_peer, i_port, i_user) && WaitUntil([&] { return known; }, 10000);
    ClearLogSink();
    return open;
}

} // namespace benchsupport
