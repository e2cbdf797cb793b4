#pragma once
// Ports for the listeners a test opens on the client's behalf. A port probed
// with bind(0) comes from the system's ephemeral range, where an outgoing
// connection of any test running beside this one can take it before the
// client listens there; ports below that range are taken only by listeners.
// Each process starts at its own place, so tests running side by side seldom
// probe the same port, and a port handed out stays this process's own until
// it ends: no other test process hands it out meanwhile.

#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QTcpServer>

#include <fcntl.h>
#include <unistd.h>

// Locks the port's byte of a file that every test process shares; the lock
// goes with the process. True, reserving nothing, where the file cannot be
// had.
inline bool ReservePort(quint16 i_port)
{
    static const int file = ::open("/tmp/tavrinel-test-ports", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = i_port;
    lock.l_len = 1;
    return file < 0 || ::fcntl(file, F_SETLK, &lock) == 0;
}

inline quint16 FreeListenPort()
{
    static const quint32 low = 10000;
    static const quint32 count = [] {
        quint32 ephemeralLow = 32768;
        QFile range(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
        if (range.open(QIODevice::ReadOnly))
        {
            bool ok = false;
            const quint32 read = range.readLine().simplified().split(' ').value(0).toUInt(&ok);
            if (ok)
                ephemeralLow = read;
        }
        return ephemeralLow > low + 1000 ? ephemeralLow - low : 0;
    }();
    static quint32 next = count ? quint32(QCoreApplication::applicationPid()) * 613u % count : 0;
    for (int tries = 0; count && tries < 2000; ++tries)
    {
        const quint16 port = quint16(low + next++ % count);
        QTcpServer probe;
        if (ReservePort(port) && probe.listen(QHostAddress::AnyIPv4, port))
            return port;
    }
    QTcpServer probe;
    probe.listen(QHostAddress::AnyIPv4, 0);
    return probe.serverPort();
}
