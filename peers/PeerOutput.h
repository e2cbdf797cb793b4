#pragma once
// What the client sends to other clients, and who pays for it. The
// messenger asks here before it reads a request or queues a message; the
// answers say whether it goes on now, waits, or which connection gives way.
//
// Charges: each connection is charged what its other side has yet to read
//   of all that was queued for it, shared messages included; what is held
//   counts each shared message once. Past MAX_OUTPUT_BYTES_TOTAL each
//   holder's fair share is the total over the holders (at least
//   FAIR_SHARE_FLOOR).
// Requests: every request we answer (a share list, a folder, a place in
//   line, a queue request, an offer of a file, a failed upload's notice) is
//   read only when its answer has room; until then it waits unread with
//   what came after it, and TCP slows its sender. A connection has room of
//   its own while it holds nothing, or while what it holds and the answer
//   (where its size is known) stay within MAX_UNSENT_BYTES and
//   MAX_QUEUED_MESSAGES: what one party makes us hold never passes that.
// A small answer always finds room: SMALL_ANSWER_RESERVE of the total is
//   kept for answers of at most SMALL_ANSWER_BYTES to parties holding less
//   than SMALL_PARTY_BYTES. Other answers are read only while what the
//   others hold leaves the reserve free, so a small answer waits neither
//   for big ones nor for slow readers to drain.
// Rates: how fast a party reads is what it took over the last
//   RATE_WINDOW_MS, counting only time in which the system held bytes for
//   it: bytes still in our own queues or Qt's buffer are not its refusal.
//   It has stalled when that time reaches OUTPUT_STALL_MS in the window and
//   it took nothing; a reader that paused and reads again is judged by its
//   reading, and a fast start buys no trickle later.
// Giving way: when an answer finds no room, for a party under its share,
//   the holder in the same part (the reserve or the rest) whose charge
//   would take longest to drain at its rate gives way, when that is over
//   OUTPUT_DRAIN_LIMIT_MS or it has stalled; nobody that drains in time is
//   closed. A message of ours never closes its own connection, it waits
//   its turn; an answer to a search goes instead. A connection that has
//   stalled is closed when a message of ours would pass its own bound.

#include "PeerBounds.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QtGlobal>

#include <deque>
#include <functional>
#include <map>
#include <vector>

class PeerConnection;

class PeerOutput
{
public:
    using Connections = PeerBounds::Connections;

    // An answer's size is not known before it is made.
    static constexpr qint64 UNKNOWN_SIZE = -1;

    struct Hooks
    {
        std::function<qint64()> now;  // the messenger's clock, for activity
        // Closes a connection that gives way (or stalled past its bound).
        std::function<void(PeerConnection*, const QString&)> close;
        // Reads a waiting connection's requests again.
        std::function<void(PeerConnection*)> read;
    };
    // The connections are the messenger's; timers run in i_context.
    PeerOutput(const Connections& i_connections, QObject* ip_context, Hooks i_hooks);

    // Whether a message with this code asks for an answer.
    static bool IsRequest(quint32 i_code);
    // The size its answer will have at most, where the request alone says
    // it; UNKNOWN_SIZE otherwise.
    static qint64 AnswerSize(quint32 i_code, quint32 i_requestSize);

    // The output of all, each connection charged what it has yet to read.
    struct Book
    {
        qint64 held = 0;       // each shared message once
        qint64 reserved = 0;   // held for parties under SMALL_PARTY_BYTES
        qint64 share = 0;      // each holder's fair share
        std::vector<std::pair<PeerConnection*, qint64>> charges;  // holders, in the order of their ids
        qint64 ChargeOf(const PeerConnection* ip_conn) const;
        bool UnderShare(const PeerConnection* ip_conn) const { return ChargeOf(ip_conn) < share; }
    };
    // ip_party counts as a holder even while it holds nothing.
    Book Books(const PeerConnection* ip_party) const;
    qint64 Held() const { return Books(nullptr).held; }

    // Whether the request at the front of the connection may be read now.
    // i_price gives its answer's size (UNKNOWN_SIZE when it cannot), asked
    // only when it matters and once per request. False: the connection
    // waits in line for room, and is read again once there may be some.
    bool MayRead(PeerConnection* ip_conn, const std::function<qint64()>& i_price);
    // Makes room for i_size bytes of ours (or an answer to a search) on the
    // connection, closing what gives way; false when there is none.
    bool RoomForMessage(PeerConnection* ip_conn, qint64 i_size);

    // Output was queued on the connection.
    void Queued(PeerConnection* ip_conn);
    // The system took bytes of the connection's output.
    void Written(PeerConnection* ip_conn);
    // The rate at which the other side reads (bytes a second) over the
    // window, and for how long it was measured.
    qint64 Rate(const PeerConnection* ip_conn, qint64* o_measuredMs = nullptr);
    bool IsStalled(const PeerConnection* ip_conn);
    // How long i_unread bytes would take the connection at its rate: the
    // most there is when it has stalled or reads nothing, 0 while it has
    // been measured for less than OUTPUT_MEASURE_MS.
    qint64 DrainMs(const PeerConnection* ip_conn, qint64 i_unread);

    // Connections that wait for room are looked at again: now, from the
    // event loop, or after a while when nothing else moves.
    void LookAgain();
    void LookAgainSoon();
    void LookAgainLater();
    bool AnyWaiting() const { return !m_waiting.empty(); }
    // A connection leaves the books.
    void Forget(PeerConnection* ip_conn);

private:
    struct Bucket
    {
        qint64 startMs = 0;
        qint64 ms = 0;
        qint64 bytes = 0;
    };
    struct Meter
    {
        qint64 atMs = -1;       // last look
        qint64 taken = 0;       // what the other side had taken then
        qint64 inSystem = 0;    // what the system held for it then
        std::deque<Bucket> buckets;
    };
    enum class Part { Reserve, Rest };

    bool Fits(const PeerConnection* ip_conn, const Book& i_book, qint64 i_size, Part* o_part) const;
    bool OwnRoom(const PeerConnection* ip_conn, qint64 i_size) const;
    // What gives way in that part of the output for ip_for, with how long
    // it would take to drain; null when ip_for is over its share or all
    // drain in time.
    PeerConnection* ToGiveWay(const Book& i_book, const PeerConnection* ip_for, Part i_part, qint64* o_drainMs);
    void GiveWay(PeerConnection* ip_conn, qint64 i_drainMs);
    void Wait(PeerConnection* ip_conn);
    void Observe(const PeerConnection* ip_conn);

    const Connections& m_connections;
    QObject* mp_context;
    Hooks m_hooks;
    QElapsedTimer m_clock;  // rates go by the real clock
    std::map<quint64, Meter> m_meters;
    // The size of the answer to each waiting request, once asked.
    std::map<quint64, qint64> m_prices;
    // Connections whose next request waits for room, in the order they
    // began to wait.
    std::deque<quint64> m_waiting;
    bool m_lookPosted = false;
    bool m_lookArmed = false;
};
