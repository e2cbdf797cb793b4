#pragma once
// One TCP connection to another client, owned by the PeerMessenger: its
// socket, framing (plain or scrambled), where it stands in the handshake,
// and the facts the messenger's bookkeeping needs. The messenger wires the
// socket's signals and decides what every frame means.

#include "FrameCodec.h"

#include <QByteArray>
#include <QObject>
#include <QtGlobal>

#include <deque>
#include <memory>
#include <string>

class QTcpSocket;
class QTimer;

class PeerConnection : public QObject
{
    Q_OBJECT

public:
    enum class Stage
    {
        Connecting,             // outgoing TCP connect under way
        AwaitingFirstFrame,     // incoming; PM_PEER_INIT or PM_PIERCE_FIREWALL expected
        AwaitingRequestNumber,  // "F" whose other side asked: 4 raw bytes expected
        Open,                   // "P" or "D" exchanging frames
        Closed
    };

    // Takes the socket as a child. A scrambled connection scrambles every
    // frame it sends and expects every frame it reads to be scrambled.
    PeerConnection(quint64 i_id, QTcpSocket* ip_socket, bool i_scrambled, qint64 i_nowMs);
    ~PeerConnection() override;

    quint64 Id() const { return m_id; }
    QTcpSocket* Socket() const { return mp_socket; }
    bool IsScrambled() const { return m_scrambled; }
    Stage GetStage() const { return m_stage; }
    void SetStage(Stage i_stage) { m_stage = i_stage; }
    bool IsClosed() const { return m_stage == Stage::Closed; }

    // What a connection's socket buffers of incoming data beyond the frame
    // being taken in; the rest waits in the system until the frames before
    // it are handled. Small, since a connection whose request waits for
    // room is not read, and many may wait at once.
    static constexpr qint64 READ_BUFFER_BYTES = 64 * 1024;
    // Output waits in the connection's queue and goes to the socket as the
    // system takes it: a message of its own whole, shared bytes this much
    // at a time.
    static constexpr qint64 OUTPUT_WINDOW = 256 * 1024;

    // Frames one message (code + fields) and queues it, a large one in
    // windows so that what is held falls as it is sent. False when the
    // connection is closed or the message cannot be framed for it.
    bool Send(const char* ip_message, size_t i_size);
    // The same for a message whose bytes others hold too (a share list that
    // many ask for): it is framed and scrambled piece by piece as it goes,
    // and never copied whole.
    bool SendShared(const QByteArray& i_message);
    // Moves queued output into the socket up to the window.
    void Pump();
    // Output this connection alone holds: in its socket and its queue, the
    // bytes of shared messages aside. What went to the socket counts whole
    // until its last byte is sent: Qt keeps each buffer handed to it until
    // then, the bytes already sent too.
    qint64 OwnOutput() const;
    // Whether anything waits to be sent, in the queue, the socket or the
    // system.
    bool HasOutput() const;
    // What the other side has yet to take of all that was queued for it,
    // shared bytes and what the system holds for it included.
    qint64 Unread() const;
    // The bytes of shared messages still to go, and whether there are any.
    qint64 SharedUnread() const;
    bool HoldsShared() const;
    // Bytes ever handed on to the system; less what it holds, what the
    // other side has taken.
    qint64 HandedToSystem() const;
    // What the system holds of our output for the other side: its socket's
    // send queue, sent or not, until the other side acknowledges it. Asked
    // of the system only while some of what went there may be unacknowledged.
    qint64 InSystem() const;
    // Messages in the queue, and the shared messages among them (each
    // listed once per time it is queued).
    size_t QueuedMessages() const { return m_queuedMessages; }
    template <typename Visit>
    void ForEachShared(Visit i_visit) const
    {
        for (const Piece& piece : m_queue)
            if (piece.shared)
                i_visit(piece.bytes);
    }
    // Hands what Qt holds to the system now; the rest waits for the event loop.
    void Flush();

    // Moves the socket's bytes of the next frame into the decoder and no
    // more: frames not yet handled wait in the socket, and before the
    // handshake is done raw data after the first frame stays there.
    // -1 on a read error.
    qint64 Read();
    FrameDecoder& Decoder() { return *mp_decoder; }
    const FrameDecoder& Decoder() const { return *mp_decoder; }
    // After the first frame: a fresh decoder with the limit of the type.
    void SetFrameLimit(quint32 i_limit);

    // Hands the socket out: every signal connection of it cut, no parent,
    // no longer this connection's. The connection is then closed.
    QTcpSocket* ReleaseSocket();
    // Drops the connection at once; the socket goes with this object.
    void Close();

    // Keeps what the system holds of our output for the other side near our
    // own window, rather than the megabytes it grows to for a party that
    // does not read. Not for a file connection, whose thread sets its pace.
    bool BoundSystemBuffer();

    // TCP keepalive: after i_idleS quiet seconds the system probes the other
    // side every i_intervalS seconds and fails the socket after i_probes
    // unanswered probes, so a peer that vanished without closing is noticed.
    bool KeepAlive(int i_idleS, int i_intervalS, int i_probes);

    // Starts (or with 0 stops) the time limit of an outgoing connect.
    void StartConnectTimer(int i_ms);
    QTimer* ConnectTimer() const { return mp_connectTimer; }

    std::string m_user;           // the other side, once known
    std::string m_type;           // "P", "F" or "D", once known
    bool m_weAsked = false;       // the connection serves a request of ours
    qint64 m_createdMs = 0;
    qint64 m_lastActivityMs = 0;  // last bytes in or out, or message queued
    qint64 m_lastReceivedMs = 0;  // last bytes in
    quint64 m_attemptId = 0;      // outgoing direct leg of one of our attempts
    quint32 m_pierceToken = 0;    // outgoing answer to a relayed request
    bool m_incoming = false;      // accepted by a listener
    quint32 m_address = 0;        // the other side's IPv4 address, when incoming
    bool m_announced = false;     // "D": DistributedConnectionOpened went out for it
    bool m_busy = false;          // its incoming data is being handled
    bool m_readAgain = false;     // more to handle once the current pass ends
    bool m_turnPending = false;   // a further turn of reading is scheduled
    bool m_lost = false;          // the other side has gone; what it sent is still read
    bool m_unaskedLogged = false; // a search result for no search of ours was logged
    bool m_replyDropLogged = false; // a reply dropped for its gone other side was logged
    size_t m_heldCounted = 0;     // what its frame buffer held when last counted
    bool m_answerDropLogged = false; // an answer dropped for its full output was logged
    bool m_awaitingRoom = false;  // its next request waits for room in the output
    bool m_fileRequestRead = false; // "F" whose other side asked: the request number is in
    quint32 m_fileRequest = 0;

private:
    struct Piece
    {
        QByteArray bytes;      // shared: the message as others hold it; else the frame as it goes
        qsizetype at = 0;      // bytes handed to the socket
        bool shared = false;
        bool scrambled = false;
        bool endsMessage = false;
        FrameCodec::Keystream keystream;  // a scrambled shared message: the keystream at `at`
    };
    void Queue(Piece i_piece, bool i_endsMessage);
    // The buffers handed to the socket that Qt still holds, in bytes.
    qint64 InSocket() const;
    std::deque<Piece> m_queue;
    qint64 m_queuedOwn = 0;       // bytes of the queue's own pieces not yet handed on
    // Sizes of the buffers handed to the socket, oldest first, while any of
    // their bytes wait there; those found all sent are dropped on the way.
    mutable std::deque<qint64> m_inSocket;
    mutable qint64 m_inSocketBytes = 0;
    size_t m_queuedMessages = 0;
    qint64 m_handedOut = 0;       // bytes ever handed to the socket
    // Bytes the system had acknowledged when last asked: while all that went
    // to it is, it holds nothing.
    mutable qint64 m_acknowledged = 0;
    quint64 m_id;
    QTcpSocket* mp_socket;
    bool m_scrambled;
    Stage m_stage = Stage::AwaitingFirstFrame;
    std::unique_ptr<FrameDecoder> mp_decoder;
    QTimer* mp_connectTimer = nullptr;
};
