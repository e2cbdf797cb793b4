#pragma once
// Common set-up of the peer-network tests: the global store with the
// settings types, stopped shared timers, the data saver, a PeerMessenger on
// free loopback ports with a clock the test moves, and scripted peers made
// of raw sockets that speak the wire format written out here from the
// protocol description (independently of the client's own codec).

#include "common/TestEnvironment.h"
#include "common/TestPorts.h"
#include "DataSaver.h"
#include "Log.h"
#include "PeerMessenger.h"
#include "PeerProviders.h"
#include "ProtocolCodes.h"
#include "TimerManager.h"
#include "server.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>
#include <QtTest>

#include <zlib.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator statistics; no header of the compiler's has it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace peertest
{
const int g_waitMs = 10000;

// ---------------------------------------------------------------- bytes

inline QByteArray U32(quint32 i_value)
{
    QByteArray b(4, '\0');
    qToLittleEndian<quint32>(i_value, b.data());
    return b;
}
inline QByteArray I32(qint32 i_value) { return U32(quint32(i_value)); }
inline QByteArray I64(qint64 i_value)
{
    QByteArray b(8, '\0');
    qToLittleEndian<qint64>(i_value, b.data());
    return b;
}
inline QByteArray B8(quint8 i_value) { return QByteArray(1, char(i_value)); }
inline QByteArray Str(const QByteArray& i_bytes) { return U32(quint32(i_bytes.size())) + i_bytes; }

// A file record: present byte, name, size, extension, attribute pairs.
inline QByteArray FileRecord(const QByteArray& i_name, qint64 i_size, const QByteArray& i_ext = {},
                             std::vector<std::pair<qint32, qint32>> i_attributes = {})
{
    QByteArray r = B8(1) + Str(i_name) + I64(i_size) + Str(i_ext) + U32(quint32(i_attributes.size()));
    for (const auto& a : i_attributes)
        r += I32(a.first) + I32(a.second);
    return r;
}

inline QByteArray Zlib(const QByteArray& i_body, int i_level = 9)
{
    uLongf size = compressBound(uLong(i_body.size()));
    QByteArray out(qsizetype(size), '\0');
    const int rc = compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                             reinterpret_cast<const Bytef*>(i_body.constData()), uLong(i_body.size()), i_level);
    if (rc != Z_OK)
        qFatal("compress2 failed");
    out.resize(qsizetype(size));
    return out;
}

// A plain frame: L, then the message (code + fields).
inline QByteArray Frame(const QByteArray& i_message) { return U32(quint32(i_message.size())) + i_message; }
inline QByteArray Frame(quint32 i_code, const QByteArray& i_fields = {})
{
    return Frame(U32(i_code) + i_fields);
}

// The keystream of a scrambled frame: s0 = K, s(j+1) = s(j) * 1664525 + 1013904223;
// byte i goes with byte (i mod 4) of s(i div 4), least significant first.
inline QByteArray Xor(const QByteArray& i_bytes, quint32 i_key)
{
    QByteArray out = i_bytes;
    quint32 word = i_key;
    for (int i = 0; i < out.size(); ++i)
    {
        if (i > 0 && i % 4 == 0)
            word = word * 1664525u + 1013904223u;
        out[i] = char(quint8(out[i]) ^ quint8(word >> (8 * (i % 4))));
    }
    return out;
}
inline QByteArray Scramble(const QByteArray& i_plainFrame, quint32 i_key)
{
    return U32(i_key) + Xor(i_plainFrame, i_key);
}

inline QByteArray PeerInit(const QByteArray& i_user, const QByteArray& i_type, quint32 i_token = 0)
{
    return Frame(PM_PEER_INIT, Str(i_user) + Str(i_type) + U32(i_token));
}
inline QByteArray Pierce(quint32 i_token) { return Frame(PM_PIERCE_FIREWALL, U32(i_token)); }

inline quint32 ToU32(const QByteArray& i_bytes, int i_at = 0)
{
    return qFromLittleEndian<quint32>(i_bytes.constData() + i_at);
}

inline MemStream Stream(const QByteArray& i_message)
{
    return MemStream(i_message.constData(), size_t(i_message.size()));
}

// Reads a string field at i_at, moving i_at past it.
inline QByteArray StrAt(const QByteArray& i_bytes, int& io_at)
{
    const quint32 n = ToU32(i_bytes, io_at);
    const QByteArray s = i_bytes.mid(io_at + 4, int(n));
    io_at += 4 + int(n);
    return s;
}

// Bytes that do not compress, the same on every run.
inline QByteArray Noise(int i_size, quint32 i_seed = 12345)
{
    QByteArray noise(i_size, '\0');
    quint32 word = i_seed;
    for (char& c : noise)
        c = char((word = word * 1664525u + 1013904223u) >> 24);
    return noise;
}

// A search reply of i_files files for search 7, framed.
inline QByteArray SearchReply(const QByteArray& i_user, int i_files)
{
    QByteArray body = Str(i_user) + U32(7) + U32(quint32(i_files));
    for (int k = 0; k < i_files; ++k)
        body += FileRecord("A\\f" + QByteArray::number(k), 1);
    return Frame(U32(PM_FILE_SEARCH_RESULT) + Zlib(body + B8(0) + U32(0) + U32(0) + U32(0)));
}

// A share list as a peer sends it: folders of one file each, whose long
// names do not compress away, about 120 KiB a folder.
inline QByteArray LongList(int i_folders)
{
    const QByteArray name = Noise(120 * 1024);
    QByteArray body = U32(quint32(i_folders));
    for (int k = 0; k < i_folders; ++k)
        body += Str("F\\" + QByteArray::number(k)) + U32(1) + FileRecord(QByteArray::number(k) + name, k);
    return Frame(U32(PM_SHARED_FILE_LIST) + Zlib(body + U32(0), 1));
}

// Bytes the heap holds for the process (freed blocks the sanitizer keeps
// aside not counted).
inline size_t HeapInUse()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// ---------------------------------------------------------------- raw peers

// Reads whole frames off a raw socket, plain or scrambled.
class FrameReader
{
public:
    explicit FrameReader(bool i_scrambled = false) : m_scrambled(i_scrambled) {}

    // The next message (code + fields); empty on time-out or when the
    // connection ends first.
    QByteArray Next(QTcpSocket* ip_socket, int i_timeoutMs = g_waitMs)
    {
        QByteArray message;
        (void)QTest::qWaitFor(
            [&] {
                m_buffer += ip_socket->readAll();
                return TryTake(message) || ip_socket->state() != QAbstractSocket::ConnectedState;
            },
            i_timeoutMs);
        return message;
    }

private:
    bool TryTake(QByteArray& o_message)
    {
        const int header = m_scrambled ? 8 : 4;
        if (m_buffer.size() < header)
            return false;
        const quint32 key = m_scrambled ? ToU32(m_buffer) : 0;
        const quint32 length = m_scrambled ? ToU32(Xor(m_buffer.mid(4, 4), key)) : ToU32(m_buffer);
        if (m_buffer.size() < header + int(length))
            return false;
        const QByteArray frame = m_scrambled ? Xor(m_buffer.mid(4, 4 + int(length)), key)
                                             : m_buffer.mid(0, 4 + int(length));
        o_message = frame.mid(4);
        m_buffer.remove(0, header + int(length));
        return true;
    }

    bool m_scrambled;
    QByteArray m_buffer;
};

inline std::unique_ptr<QTcpSocket> ConnectRaw(quint16 i_port)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, i_port);
    if (!socket->waitForConnected(g_waitMs))
        return nullptr;
    return socket;
}

// A peer at the address whose system buffers take i_size bytes at most:
// what it does not read waits in the client.
// i_segment, where given, bounds the segments it receives as the links of
// the internet do, not at loopback's 64 KiB.
inline std::unique_ptr<QTcpSocket> ConnectFrom(quint16 i_port, quint32 i_address, int i_size = 4096, int i_segment = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &i_size, sizeof i_size);
    if (i_segment > 0)
        ::setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &i_segment, sizeof i_segment);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(i_address);
    ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(i_port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto socket = std::make_unique<QTcpSocket>();
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 || !socket->setSocketDescriptor(fd))
        return nullptr;
    socket->setReadBufferSize(i_size);
    // The client takes it from the listener's short line.
    QCoreApplication::processEvents();
    return socket;
}

inline void WriteRaw(QTcpSocket* ip_socket, const QByteArray& i_bytes)
{
    ip_socket->write(i_bytes);
    ip_socket->flush();
}

// True once the other side has closed the connection.
inline bool WaitClosed(QTcpSocket* ip_socket, int i_timeoutMs = g_waitMs)
{
    return QTest::qWaitFor(
        [&] {
            ip_socket->readAll();
            return ip_socket->state() == QAbstractSocket::UnconnectedState;
        },
        i_timeoutMs);
}

inline quint16 FreePort()
{
    return FreeListenPort();
}

// Runs the event loop, and the peers' own work, until the condition holds;
// false when i_ms pass first.
inline bool Spin(const std::function<bool()>& i_done, const std::function<void()>& i_work = {}, int i_ms = 6 * g_waitMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;)
    {
        if (i_work)
            i_work();
        if (i_done())
            return true;
        if (timer.elapsed() > i_ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// Spin for what takes as long as the machine allows: true once the
// condition holds, false once what i_progress counts has not changed for
// i_stillMs. A loaded machine is slower, not stuck, so the wait ends on a
// lack of progress, never on a pace the machine may not reach.
inline bool SpinWhileMoving(const std::function<bool()>& i_done, const std::function<qint64()>& i_progress,
                            const std::function<void()>& i_work = {}, int i_stillMs = g_waitMs)
{
    qint64 last = i_progress();
    QElapsedTimer still;
    still.start();
    bool stuck = false;
    const bool done = Spin(
        [&] {
            if (i_done())
                return true;
            if (const qint64 now = i_progress(); now != last)
                last = now, still.restart();
            return stuck = still.elapsed() > i_stillMs;
        },
        i_work, std::numeric_limits<int>::max());
    return done && !stuck;
}

// Takes the next incoming connection of a listener of the test.
inline QTcpSocket* Accept(QTcpServer& i_listener, int i_timeoutMs = g_waitMs)
{
    if (!i_listener.hasPendingConnections() &&
        !QTest::qWaitFor([&] { return i_listener.hasPendingConnections(); }, i_timeoutMs))
        return nullptr;
    return i_listener.nextPendingConnection();
}

// ---------------------------------------------------------------- providers

class FakeShares : public ShareListProvider
{
public:
    FakeShares() { gp_shareListProvider = this; }
    ~FakeShares() override { gp_shareListProvider = nullptr; }
    QByteArray GetSharedFilesReply(std::string i_user, bool) override
    {
        m_askedBy.push_back(i_user);
        // One copy for everyone while the body stays (m_bodyOf keeps the
        // body it was made of, so a new body has other bytes).
        if (m_bodyOf.constData() != m_body.constData())
        {
            m_bodyOf = m_body;
            m_reply = U32(PM_SHARED_FILE_LIST) + m_body;
        }
        return m_reply;
    }
    MemStream GetFolderContentsMessage(std::string i_user, unsigned int i_req, std::string i_folder, bool) override
    {
        m_askedBy.push_back(i_user);
        MemStream m;
        m.WriteUInt32(PM_SHARED_FILES_IN_FOLDER);
        const QByteArray body = Zlib(U32(i_req) + Str(QByteArray::fromStdString(i_folder)) + U32(0));
        m.WriteBytes(body.constData(), size_t(body.size()));
        return m;
    }
    size_t FolderContentsSize(std::string, std::string i_folder, bool) override
    {
        return size_t(4 + Zlib(U32(0) + Str(QByteArray::fromStdString(i_folder)) + U32(0)).size());
    }
    std::vector<std::string> m_askedBy;
    QByteArray m_body = Zlib(U32(0) + U32(0));

private:
    QByteArray m_bodyOf;
    QByteArray m_reply;
};

class FakeUploads : public UploadPlaceProvider
{
public:
    FakeUploads() { gp_uploadPlaceProvider = this; }
    ~FakeUploads() override { gp_uploadPlaceProvider = nullptr; }
    bool GetUploadPlaceInLine(const std::string& i_user, const std::string& i_file, int& o_place) override
    {
        m_asked.emplace_back(i_user, i_file);
        if (i_file != m_known)
            return false;
        o_place = m_place;
        return true;
    }
    std::vector<std::pair<std::string, std::string>> m_asked;
    std::string m_known;
    int m_place = 0;
};

// ---------------------------------------------------------------- fixture

// The test process's part of start-up, the peer network included.
class Fixture
{
public:
    qint64 m_now = 1000000;
    std::vector<QString> m_log;
    PeerMessenger* mp_messenger = nullptr;

    void SetUpStore()
    {
        ResetTestEnvironment();
        m_log.clear();
        SetLogSink([this](const QString& i_category, int, const QString& i_text, ItemPtr) {
            if (i_category == QLatin1String("Peer Messenger"))
                m_log.push_back(i_text);
        });
    }

    // The messenger on free ports, listening; own name "alice".
    PeerMessenger* NewMessenger()
    {
        mp_messenger = new PeerMessenger;
        mp_messenger->SetClock([this] { return m_now; });
        SetSetting("username", "alice");
        SetSetting("listening_port", std::to_string(FreePort()));
        SetSetting("obfuscated_listening_port", std::to_string(FreePort()));
        dataSaver->NotifyDataLoaded();
        // A test running beside this one may take a free port before the
        // messenger listens on it: new ports, and the listeners open again.
        for (int retry = 0; retry < 5 && (!mp_messenger->ListeningPort() || !mp_messenger->ObfuscatedListeningPort());
             ++retry)
        {
            SetSetting("listening_port", std::to_string(FreePort()));
            SetSetting("obfuscated_listening_port", std::to_string(FreePort()));
            mp_messenger->DataLoaded();
        }
        return mp_messenger;
    }

    // Logs the client in as alice (password "pw") at the scripted server on
    // the port; true once the server has accepted it.
    static bool LogIn(Server* ip_server, quint16 i_serverPort)
    {
        SetSetting("password", "pw");
        SetSetting("server_host", "127.0.0.1");
        SetSetting("server_port", std::to_string(i_serverPort));
        QSignalSpy connected(ip_server, &Server::Connected);
        ip_server->Connect();
        return connected.wait(g_waitMs);
    }

    void TearDown()
    {
        delete mp_messenger;
        mp_messenger = nullptr;
        // Let deferred deletions of sockets run before the store goes.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        ClearLogSink();
        d->Reset();
    }

    void Tick(qint64 i_advanceMs)
    {
        m_now += i_advanceMs;
        QMetaObject::invokeMethod(timerManager->HalfMinuteTimer(), "timeout");
    }

    bool Logged(const QString& i_part) const
    {
        for (const QString& line : m_log)
            if (line.contains(i_part))
                return true;
        return false;
    }
};

// A client made of raw sockets: logged in to the test server, with a
// listener whose ports it reports.
class ScriptedUser
{
public:
    bool LogIn(quint16 i_serverPort, const QByteArray& i_name)
    {
        m_name = i_name;
        mp_server = ConnectRaw(i_serverPort);
        if (!mp_server)
            return false;
        const QByteArray digest =
            QCryptographicHash::hash(i_name + "pw", QCryptographicHash::Md5).toHex();
        WriteRaw(mp_server.get(), Frame(SM_LOGIN, Str(i_name) + Str(digest) + U32(1)));
        const QByteArray reply = NextFromServer(SM_LOGIN);
        return reply.size() >= 5 && reply[4] == 1 && m_listener.listen(QHostAddress::LocalHost, 0);
    }

    void SetPorts(quint32 i_plain, quint32 i_scrambled)
    {
        WriteRaw(mp_server.get(), Frame(SM_SET_LISTEN_PORTS, U32(i_plain) + U32(i_scrambled)));
    }

    void SendToServer(quint32 i_code, const QByteArray& i_fields)
    {
        WriteRaw(mp_server.get(), Frame(i_code, i_fields));
    }

    // The next message of that code from the server; others are skipped.
    QByteArray NextFromServer(quint32 i_code, int i_timeoutMs = g_waitMs)
    {
        QDeadlineTimer deadline(i_timeoutMs);
        while (!deadline.hasExpired())
        {
            const QByteArray message = m_reader.Next(mp_server.get(), int(deadline.remainingTime()));
            if (message.size() >= 4 && ToU32(message) == i_code)
                return message;
        }
        return {};
    }

    QByteArray m_name;
    QTcpServer m_listener;
    std::unique_ptr<QTcpSocket> mp_server;
    FrameReader m_reader;
};

// Sets the soft descriptor limit (within the hard one) for its life.
class DescriptorLimit
{
public:
    explicit DescriptorLimit(rlim_t i_wanted)
    {
        m_set = ::getrlimit(RLIMIT_NOFILE, &m_old) == 0;
        rlimit changed = m_old;
        changed.rlim_cur = std::min(i_wanted, m_old.rlim_max);
        m_set = m_set && ::setrlimit(RLIMIT_NOFILE, &changed) == 0;
        m_now = m_set ? changed.rlim_cur : m_old.rlim_cur;
    }
    ~DescriptorLimit()
    {
        if (m_set)
            ::setrlimit(RLIMIT_NOFILE, &m_old);
    }
    bool Set() const { return m_set; }
    rlim_t Now() const { return m_now; }

private:
    rlimit m_old{};
    rlim_t m_now = 0;
    bool m_set = false;
};

// A raw peer that has opened a "P" connection to the messenger as i_user.
inline std::unique_ptr<QTcpSocket> OpenMessaging(PeerMessenger* ip_messenger, const QByteArray& i_user = "bob")
{
    auto socket = ConnectRaw(ip_messenger->ListeningPort());
    if (socket)
        WriteRaw(socket.get(), PeerInit(i_user, "P"));
    return socket;
}
}
