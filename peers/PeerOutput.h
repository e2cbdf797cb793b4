#pragma once
// What the client sends to other clients, and who pays for it. The
// messenger asks here before it reads a request or queues a message; the
// answers say whether it goes on now, waits, or which connection gives way.
//
// Charges: each connection is charged what its other side has yet to read
//   of all that was queued for it, shared messages included, and what the
//   system still holds in its socket. What is held is one total: each
//   shared message once, each connection's own output and its socket's send
//   queue. Past MAX_OUTPUT_BYTES_TOTAL each holder's fair share is the total
//   over the holders (at least FAIR_SHARE_FLOOR).
// Requests: every request we answer (a share list, a folder, a place in
//   line, a queue request, an offer of a file, a failed upload's notice) is
//   read only when its answer has room: until then it waits unread with
//   what came after it, and TCP slows its sender. A connection has room of
//   its own while it holds nothing, or while what it holds and the answer
//   (where its size is known) stay within MAX_UNSENT_BYTES and
//   MAX_QUEUED_MESSAGES: what one party makes us hold never passes that.
// One total: what parties holding less than SMALL_PARTY_BYTES hold counts
//   against SMALL_ANSWER_RESERVE up to it and against the rest of the total
//   past it; all others' against the rest; each shared message once on each
//   side. A small answer (at most SMALL_ANSWER_BYTES, to a party that then
//   holds at most SMALL_PARTY_BYTES) fits in the reserve while it has room,
//   any answer in the rest while that has room. So big answers and slow
//   readers of them never take the reserve, and however many parties hold
//   small answers, all together stay within the total.
// Rates: how fast a party reads is what it took over the last
//   RATE_WINDOW_MS, counting only time in which the system held bytes for
//   it: bytes still in our own queues or Qt's buffer are not its refusal.
//   It has stalled when that time reaches OUTPUT_STALL_MS in the window and
//   it took nothing; a reader that paused and reads again is judged by its
//   reading, and a fast start buys no trickle past the window. What it took
//   counts whenever it took it, however close two looks come. Nothing is
//   judged before OUTPUT_MEASURE_MS of such time: a slow reader's system
//   tells what it took only a window at a time.
// Giving way: when an answer finds no room, for a party under its share,
//   the holder whose charge would take longest to drain at its rate gives
//   way (for a small answer, only one holding the reserve: slow readers of
//   big answers are never closed for it), when that is over
//   OUTPUT_DRAIN_LIMIT_MS or it has stalled; nobody that drains in time is
//   closed. When the whole total is held and a
//   small answer waits for a party that holds nothing, a holder of less
//   than SMALL_PARTY_BYTES that has taken nothing for SMALL_HOLDER_STALL_MS
//   of its own time gives way too, the one idle longest first: many small
//   holders that never read fill the total, and their first bytes taken
//   must not buy them the minutes a slow reader is given. What it held is
//   small, and it may ask again. A party that already holds waits for its
//   own to drain, so holders that never read do not close one another, nor
//   a slow reader whose window shut for a few seconds.
//   A message of ours never closes its own connection, it waits its turn;
//   an answer to a search goes instead. A connection that has stalled is
//   closed when a message of ours would pass its own bound.
// In line for room: small answers first, then parties under their share;
//   among them those holding least, then those with least sent and unread,
//   first, so that a party asking once is not behind floods of requests.

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
    struct Charge
    {
        PeerConnection* conn = nullptr;
        qint64 charge = 0;    // what its other side has yet to take
        qint64 own = 0;       // of that, what it alone holds
        bool shares = false;  // it holds bytes of a shared message
    };
    struct Book
    {
        qint64 held = 0;       // each shared message once
        qint64 small = 0;      // of that, what parties under SMALL_PARTY_BYTES hold
        qint64 share = 0;      // each holder's fair share
        std::vector<Charge> charges;  // holders, in the order of their ids
        qint64 ChargeOf(const PeerConnection* ip_conn) const;
        bool UnderShare(const PeerConnection* ip_conn) const { return ChargeOf(ip_conn) < share; }
    };
    // ip_party counts as a holder even while it holds nothing. Valid until
    // the next call.
    const Book& Books(const PeerConnection* ip_party);
    qint64 Held() { return Books(nullptr).held; }

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
        qint64 idleMs = 0;      // its own time since it last took anything
        std::deque<Bucket> buckets;
    };
    enum class Part { Reserve, Rest };

    bool Fits(const PeerConnection* ip_conn, const Book& i_book, qint64 i_size, Part* o_part) const;
    // Whether the connection holds anything, and its charge.
    static bool Count(PeerConnection* ip_conn, Charge& o_charge);
    // Counts the connection again in the book, or leaves the whole to be
    // counted again.
    void Recount(PeerConnection* ip_conn);
    bool OwnRoom(const PeerConnection* ip_conn, qint64 i_size) const;
    // What gives way for an answer of that part to ip_for, with why; null
    // when ip_for is over its share or all drain in time.
    PeerConnection* ToGiveWay(const Book& i_book, const PeerConnection* ip_for, Part i_part, QString& o_why);
    void GiveWay(PeerConnection* ip_conn, const QString& i_why);
    // How long the other side had taken nothing, while the system held
    // bytes for it, at the last look.
    qint64 IdleMs(const PeerConnection* ip_conn) const;
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
    Book m_book;
    bool m_bookValid = false;
    qint64 m_bookAtMs = 0;
    bool m_lookPosted = false;
    bool m_lookArmed = false;
    // A look at those in line is under way, and in it nothing gave way for
    // an answer of the part (by Part).
    bool m_looking = false;
    bool m_nothingGivesWay[2] = {false, false};
};
