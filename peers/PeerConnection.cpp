#include "PeerConnection.h"

#include "ProtocolCodes.h"

#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <limits>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace
{
// A first message is a user name, a type and a token: anything near this
// size is not one, and nobody gets to make us buffer megabytes before
// saying who they are.
constexpr quint32 MAX_FIRST_FRAME = 64 * 1024;
}

PeerConnection::PeerConnection(quint64 i_id, QTcpSocket* ip_socket, bool i_scrambled,
                               qint64 i_nowMs)
    : m_createdMs(i_nowMs),
      m_lastActivityMs(i_nowMs),
      m_id(i_id),
      mp_socket(ip_socket),
      m_scrambled(i_scrambled),
      mp_decoder(std::make_unique<FrameDecoder>(MAX_FIRST_FRAME, i_scrambled))
{
    mp_socket->setParent(this);
    mp_socket->setReadBufferSize(READ_BUFFER_BYTES);
}

PeerConnection::~PeerConnection()
{
    // The socket is a child; make sure none of its last signals reaches
    // anyone while it is destroyed.
    if (mp_socket)
        mp_socket->disconnect();
}

bool PeerConnection::Send(const char* ip_message, size_t i_size)
{
    if (!mp_socket || m_stage == Stage::Closed || i_size < MIN_FRAME || i_size > std::numeric_limits<quint32>::max())
        return false;
    const QByteArray frame = m_scrambled ? FrameCodec::EncodeScrambled(ip_message, i_size, FrameCodec::NewKey())
                                         : FrameCodec::Encode(ip_message, i_size);
    // Qt holds each buffer handed to it whole until its last byte is sent.
    for (qsizetype at = 0; at < frame.size(); at += OUTPUT_WINDOW)
    {
        Piece piece;
        piece.bytes = frame.size() <= OUTPUT_WINDOW ? frame : frame.mid(at, OUTPUT_WINDOW);
        Queue(std::move(piece), at + OUTPUT_WINDOW >= frame.size());
    }
    return true;
}

bool PeerConnection::SendShared(const QByteArray& i_message)
{
    const size_t size = size_t(i_message.size());
    if (!mp_socket || m_stage == Stage::Closed || size < MIN_FRAME || size > std::numeric_limits<quint32>::max())
        return false;
    // The length (and the key) go as a piece of their own; the message
    // follows from the shared bytes.
    char length[4];
    qToLittleEndian<quint32>(quint32(size), length);
    Piece head;
    Piece body;
    body.bytes = i_message;
    body.shared = true;
    if (m_scrambled)
    {
        const quint32 key = FrameCodec::NewKey();
        head.bytes = FrameCodec::Scramble(length, sizeof length, key);
        body.scrambled = true;
        body.keystream = FrameCodec::Keystream(key, 1);
    }
    else
    {
        head.bytes = QByteArray(length, sizeof length);
    }
    Queue(std::move(head), false);
    Queue(std::move(body), true);
    return true;
}

void PeerConnection::Queue(Piece i_piece, bool i_endsMessage)
{
    if (!i_piece.shared)
        m_queuedOwn += i_piece.bytes.size();
    i_piece.endsMessage = i_endsMessage;
    if (i_endsMessage)
        ++m_queuedMessages;
    m_queue.push_back(std::move(i_piece));
    Pump();
}

void PeerConnection::Pump()
{
    while (mp_socket && m_stage != Stage::Closed && !m_queue.empty() && mp_socket->bytesToWrite() < OUTPUT_WINDOW)
    {
        Piece& piece = m_queue.front();
        // A piece of its own goes whole, as it is: Qt keeps a reference
        // rather than a copy, so it is held once. Shared bytes go a window
        // at a time, each connection at its own pace.
        const qsizetype n = piece.shared ? std::min<qsizetype>(piece.bytes.size() - piece.at, OUTPUT_WINDOW)
                                         : piece.bytes.size() - piece.at;
        qint64 written;
        if (piece.at == 0 && n == piece.bytes.size() && !piece.scrambled)
        {
            written = mp_socket->write(piece.bytes);
        }
        else
        {
            QByteArray chunk(piece.bytes.constData() + piece.at, n);
            if (piece.scrambled)
                piece.keystream.Apply(chunk.data(), size_t(n));
            written = mp_socket->write(chunk);
        }
        if (written > 0)
        {
            m_inSocket.push_back(written);
            m_inSocketBytes += written;
            m_handedOut += written;
        }
        piece.at += n;
        if (!piece.shared)
            m_queuedOwn -= n;
        if (piece.at < piece.bytes.size())
            continue;
        if (piece.endsMessage)
            --m_queuedMessages;
        m_queue.pop_front();
    }
}

qint64 PeerConnection::OwnOutput() const
{
    return m_queuedOwn + InSocket();
}

qint64 PeerConnection::InSocket() const
{
    if (!mp_socket || m_stage == Stage::Closed)
        return 0;
    // The bytes waiting are the last ones handed on: a buffer whose bytes
    // are all sent has been let go.
    const qint64 waiting = mp_socket->bytesToWrite();
    while (!m_inSocket.empty() && m_inSocketBytes - m_inSocket.front() >= waiting)
    {
        m_inSocketBytes -= m_inSocket.front();
        m_inSocket.pop_front();
    }
    return m_inSocketBytes;
}

qint64 PeerConnection::Unread() const
{
    return OwnOutput() + SharedUnread() + InSystem();
}

qint64 PeerConnection::SharedUnread() const
{
    qint64 unread = 0;
    for (const Piece& piece : m_queue)
        if (piece.shared)
            unread += piece.bytes.size() - piece.at;
    return unread;
}

bool PeerConnection::HoldsShared() const
{
    return std::any_of(m_queue.begin(), m_queue.end(), [](const Piece& i_piece) { return i_piece.shared; });
}

qint64 PeerConnection::HandedToSystem() const
{
    return mp_socket && m_stage != Stage::Closed ? m_handedOut - mp_socket->bytesToWrite() : 0;
}

qint64 PeerConnection::InSystem() const
{
    if (!mp_socket || m_stage == Stage::Closed)
        return 0;
    const qint64 toSystem = m_handedOut - mp_socket->bytesToWrite();
    if (toSystem == m_acknowledged)
        return 0;
    int unsent = 0;
    const qintptr fd = mp_socket->socketDescriptor();
    if (fd < 0 || ::ioctl(int(fd), SIOCOUTQ, &unsent) != 0)
        return 0;
    m_acknowledged = toSystem - unsent;
    return unsent;
}

bool PeerConnection::HasOutput() const
{
    return !m_queue.empty() || (mp_socket && m_stage != Stage::Closed && mp_socket->bytesToWrite() > 0) ||
           InSystem() > 0;
}

void PeerConnection::Flush()
{
    if (mp_socket && m_stage != Stage::Closed)
        mp_socket->flush();
}

qint64 PeerConnection::Read()
{
    if (!mp_socket)
        return -1;
    return mp_decoder->ReadFrom(*mp_socket, true);
}

void PeerConnection::SetFrameLimit(quint32 i_limit)
{
    mp_decoder = std::make_unique<FrameDecoder>(i_limit, m_scrambled);
}

QTcpSocket* PeerConnection::ReleaseSocket()
{
    QTcpSocket* socket = mp_socket;
    if (!socket)
        return nullptr;
    StartConnectTimer(0);
    socket->disconnect();
    socket->setParent(nullptr);
    // A file connection's reader sets its own pace.
    socket->setReadBufferSize(0);
    mp_socket = nullptr;
    m_stage = Stage::Closed;
    return socket;
}

void PeerConnection::Close()
{
    const bool inSystem = InSystem() > 0;
    StartConnectTimer(0);
    m_stage = Stage::Closed;
    m_queue.clear();
    m_queuedOwn = 0;
    m_inSocket.clear();
    m_inSocketBytes = 0;
    m_queuedMessages = 0;
    if (mp_socket)
    {
        // What the system still holds for the other side goes too: closed
        // the usual way, the socket would live on without us, holding it
        // for a party that does not read.
        const qintptr fd = mp_socket->socketDescriptor();
        if (fd >= 0 && inSystem)
        {
            const linger reset{1, 0};
            ::setsockopt(int(fd), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
        mp_socket->disconnect();
        mp_socket->abort();
    }
}

bool PeerConnection::BoundSystemBuffer()
{
    const qintptr fd = mp_socket ? mp_socket->socketDescriptor() : -1;
    // The system doubles what it is given.
    const int size = int(OUTPUT_WINDOW / 2);
    return fd >= 0 && ::setsockopt(int(fd), SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0;
}

bool PeerConnection::KeepAlive(int i_idleS, int i_intervalS, int i_probes)
{
    const qintptr fd = mp_socket ? mp_socket->socketDescriptor() : -1;
    if (fd < 0)
        return false;
    const int on = 1;
    return ::setsockopt(int(fd), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
           ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPIDLE, &i_idleS, sizeof i_idleS) == 0 &&
           ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPINTVL, &i_intervalS, sizeof i_intervalS) == 0 &&
           ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPCNT, &i_probes, sizeof i_probes) == 0;
}

void PeerConnection::StartConnectTimer(int i_ms)
{
    if (i_ms <= 0)
    {
        if (mp_connectTimer)
            mp_connectTimer->stop();
        return;
    }
    if (!mp_connectTimer)
    {
        mp_connectTimer = new QTimer(this);
        mp_connectTimer->setSingleShot(true);
    }
    mp_connectTimer->start(i_ms);
}
