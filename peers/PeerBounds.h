#pragma once
// Every bound on what other clients can make this one hold, and what gives
// way at each. The messenger asks here before it takes in or sends out
// more; the answers say what may go on and which connection is closed.
//
// Incoming connections: a quarter of the descriptor limit (16 to 1,024),
//   half of that from one address, which may be a whole network behind one
//   router. When a new one would pass a bound, one goes first: the oldest
//   that has not said who it is, else the one idle longest. The bound of an
//   address takes only connections that have had IDENTIFY_GRACE_MS to say
//   who they are; the total bound, which protects the client, takes any.
// Our connects: MAX_CONNECTING under way, of which relayed ones (made for
//   others through the server) at most MAX_RELAYED_CONNECTING; each kind
//   has MAX_WAITING_CONNECTS places in line; past that a connect is refused.
// Output: a request (share list, folder, place in line) is read only while
//   its connection's own output is under MAX_UNSENT_BYTES and
//   MAX_QUEUED_MESSAGES, and the output of all under MAX_OUTPUT_BYTES_TOTAL;
//   otherwise it waits unread, with whatever the peer sent after it, until
//   there is room. A message that several connections send (one share list
//   for everyone who sees alike) is held once and counted once. Past the
//   total, what gives way is what does not move: connections whose output
//   has not drained for OUTPUT_STALL_MS, the one holding the most first.
//   Messages of ours and answers to searches are not requests: one that
//   would pass its connection's bound closes the connection when that has
//   stopped reading (an answer is dropped instead); one that would pass the
//   total closes the stalled, and then the connections holding the most
//   output of their own (an answer is dropped rather than close a moving one).
// Frames being received: each within the limit of its code (see
//   PeerFrameLimit); the bytes received on all connections together within
//   MAX_PARTIAL_FRAME_BYTES_TOTAL. Past it the connection holding the most
//   is closed, but a share list we asked for is not while bytes of it keep
//   coming: those are bounded by the user's own requests.
// Kept messages (while a connection to the user is being made):
//   MAX_UNSENT_MESSAGES per user, the oldest dropped; answers to searches
//   only within MAX_UNSENT_ANSWER_BYTES per user and _TOTAL for all, further
//   ones dropped.
// Search results: MAX_RESULTS_PER_USER of one search from one user and
//   MAX_RESULTS_PER_SEARCH in all; a reply past them is cut to what fits.

#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <functional>
#include <map>

class PeerConnection;

class PeerBounds
{
public:
    using Connections = std::map<quint64, PeerConnection*>;

    static constexpr size_t MAX_INCOMING = 1024;
    static constexpr size_t MIN_INCOMING = 16;
    static constexpr qint64 IDENTIFY_GRACE_MS = 5000;

    static constexpr size_t MAX_CONNECTING = 256;
    static constexpr size_t MAX_WAITING_CONNECTS = 64;
    static constexpr size_t MAX_RELAYED_CONNECTING = 192;

    static constexpr qint64 MAX_UNSENT_BYTES = 8 * 1024 * 1024;
    static constexpr size_t MAX_QUEUED_MESSAGES = 64;
    static constexpr qint64 MAX_OUTPUT_BYTES_TOTAL = 64 * 1024 * 1024;
    static constexpr qint64 OUTPUT_STALL_MS = 30000;

    static constexpr size_t MAX_PARTIAL_FRAME_BYTES_TOTAL = 128 * 1024 * 1024;
    static constexpr qint64 RECEIVE_STALL_MS = 30000;

    static constexpr size_t MAX_UNSENT_MESSAGES = 1000;
    static constexpr size_t MAX_UNSENT_ANSWER_BYTES = 4 * 1024 * 1024;
    static constexpr size_t MAX_UNSENT_ANSWER_BYTES_TOTAL = 32 * 1024 * 1024;

    static constexpr size_t MAX_RESULTS_PER_USER = 5000;
    static constexpr size_t MAX_RESULTS_PER_SEARCH = 300000;

    // The connections are the messenger's; the clock is its clock.
    PeerBounds(const Connections& i_connections, std::function<qint64()> i_now);

    // From the soft descriptor limit, read at each call.
    static size_t IncomingBound();
    static size_t IncomingPerAddressBound();
    // The incoming connection to close so that one more from the address
    // fits, with the reason; null when it fits.
    PeerConnection* ToCloseForIncoming(quint32 i_address, QString& o_why) const;

    // Output held for all connections: each one's own, and each shared
    // message once.
    qint64 OutputHeld() const;
    // Whether the connection's own output leaves room for a request's reply.
    bool MayTakeRequest(const PeerConnection* ip_conn) const;
    // Holds output that has not drained for OUTPUT_STALL_MS.
    bool IsStalled(const PeerConnection* ip_conn) const;
    // The stalled connection holding the most output; with i_anyHolder,
    // when none is stalled, the one holding the most output of its own.
    PeerConnection* ToCloseForOutput(bool i_anyHolder) const;

    // Counts what the connection's frame buffer holds; true when all
    // together pass MAX_PARTIAL_FRAME_BYTES_TOTAL.
    bool CountReceived(PeerConnection* ip_conn);
    size_t ReceivedHeld() const { return m_received; }
    // The connection to close while the frames received pass their bound:
    // the one holding the most, a moving share list we asked for aside
    // (i_asked tells those).
    PeerConnection* ToCloseForReceiving(const std::function<bool(const PeerConnection*)>& i_asked) const;
    // A connection leaves the books.
    void Forget(PeerConnection* ip_conn);

private:
    const Connections& m_connections;
    std::function<qint64()> m_now;
    size_t m_received = 0;
};
