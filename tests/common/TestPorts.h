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

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The file every test process shares, opened once: readable and writable by
// every user of the machine whatever the umask of the process that made it,
// since tests run clients as other users too. -1, said once, where it cannot
// be had.
inline int PortFile()
{
    static const int file = [] {
        const char* path = "/tmp/tavrinel-test-ports";
        // Open what is there before making it: a sticky /tmp may refuse
        // O_CREAT on a file of another user even where its mode allows.
        int fd = ::open(path, O_RDWR | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT)
            fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST)
            fd = ::open(path, O_RDWR | O_CLOEXEC);
        if (fd < 0)
        {
            qWarning("Test ports are not reserved: %s cannot be opened (%s); a test running beside this one "
                     "may take a port this one was handed",
                     path, strerror(errno));
            return -1;
        }
        struct stat status = {};
        if (::fstat(fd, &status) == 0 && status.st_uid == ::geteuid() && (status.st_mode & 07777) != 0666 &&
            ::fchmod(fd, 0666) != 0)
            qWarning("Test ports: %s cannot be made usable by every user (%s)", path, strerror(errno));
        return fd;
    }();
    return file;
}

// Locks the port's byte of the shared file; the lock goes with the process.
// False when another process holds it; true, reserving nothing, where the
// file cannot be had or locked (said once).
inline bool ReservePort(quint16 i_port)
{
    const int file = PortFile();
    if (file < 0)
        return true;
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = i_port;
    lock.l_len = 1;
    if (::fcntl(file, F_SETLK, &lock) == 0)
        return true;
    if (errno == EACCES || errno == EAGAIN)
        return false;
    static bool said = false;
    if (!said)
        qWarning("Test ports are not reserved: the lock on /tmp/tavrinel-test-ports fails (%s)", strerror(errno));
    said = true;
    return true;
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
