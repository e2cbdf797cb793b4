#include "PeerConnection.h"

#include "ProtocolCodes.h"

#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <netinet/in.h>
#include <netinet/tcp.h>
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
    if (!mp_socket || m_stage == Stage::Closed || i_size < MIN_FRAME)
        return false;
    const QByteArray wire = m_scrambled
                                ? FrameCodec::EncodeScrambled(ip_message, i_size, FrameCodec::NewKey())
                                : FrameCodec::Encode(ip_message, i_size);
    return mp_socket->write(wire) == wire.size();
}

bool PeerConnection::OutputFull(size_t i_size)
{
    if (!mp_socket || m_stage == Stage::Closed)
        return false;
    const qint64 size = qint64(std::min<size_t>(i_size, size_t(MAX_UNSENT_BYTES)));
    if (mp_socket->bytesToWrite() + size <= MAX_UNSENT_BYTES)
        return false;
    // Qt hands its buffer to the system only from the event loop; what the
    // system takes now is not waiting.
    mp_socket->flush();
    const qint64 waiting = mp_socket ? mp_socket->bytesToWrite() : 0;
    return waiting > 0 && waiting + size > MAX_UNSENT_BYTES;
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
    mp_socket = nullptr;
    m_stage = Stage::Closed;
    return socket;
}

void PeerConnection::Close()
{
    StartConnectTimer(0);
    m_stage = Stage::Closed;
    if (mp_socket)
    {
        mp_socket->disconnect();
        mp_socket->abort();
    }
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
