#pragma once
// Every bound on what other clients can make this one hold, and what gives
// way at each. The messenger asks here before it takes in or sends out
// more; the answers say what may go on and which connection is closed.
// What one party holds is charged to it, so that what one peer floods or
// leaves unread never delays, closes or costs another.
//
// Incoming connections: a quarter of the descriptor limit (16 to 1,024),
//   half of that from one address, which may be a whole network behind one
//   router. Users who said who they are are never closed for connections
//   that have not: the two are bounded apart. When a new connection would
//   pass the bound of its address for those that have not said who they
//   are, the oldest of them goes; when one says who it is and the users of
//   its address pass that bound, a newcomer that reaches its user (the
//   server places him there, or he was proved there; see PeerClaims) pushes
//   out the one idle longest, of those that do not first. A newcomer that
//   nothing proves yet waits for the server to say where its user is, then
//   pushes out or goes itself, so made-up names never push out those there
//   first. The wait is a budget: MAX_ADMISSION_WAITS_PER_ADDRESS at once
//   at an address, and an address request of ours each
//   ADMISSION_ASK_INTERVAL_MS on average, ADMISSION_ASK_BURST at once.
//   Newcomers at full addresses spend it; an honest one there needs one
//   answer of the server. Past it, or with nobody to ask, the newcomer goes
//   itself. Past the total, which protects the client, the oldest that has
//   not said who it is goes, else the one idle longest.
// Our connects: MAX_CONNECTING under way, of which relayed ones (made for
//   others through the server) at most MAX_RELAYED_CONNECTING; each kind
//   has MAX_WAITING_CONNECTS places in line; past that a connect is refused.
// Output: all that is held, each shared message once and what the system
//   holds in the sockets included, within MAX_OUTPUT_BYTES_TOTAL, of which
//   SMALL_ANSWER_RESERVE is kept for small answers, however many parties
//   hold it; each connection within MAX_UNSENT_BYTES and
//   MAX_QUEUED_MESSAGES of its own. Who is charged what, how fast each
//   reads, what waits for room and what gives way: see PeerOutput.
// Frames being received: each within the limit of its code (see
//   PeerFrameLimit); the bytes received on all connections together within
//   MAX_PARTIAL_FRAME_BYTES_TOTAL. Past it the connection holding the most
//   is closed, but a share list we asked for is not while bytes of it keep
//   coming: those are bounded by the user's own requests.
// Proofs of claims: see PeerClaims.
// Kept messages (while a connection to the user is being made):
//   MAX_UNSENT_MESSAGES and MAX_KEPT_BYTES per user, MAX_KEPT_BYTES_TOTAL for
//   all, answers giving way before our own requests (see PeerAttempts); at
//   most MAX_USERS_WITH_ANSWERS_KEPT users with answers to searches kept, so
//   that the address book never fills with searchers.
// Search results: MAX_RESULTS_PER_USER of one search from one user and
//   MAX_RESULTS_PER_SEARCH in all; a reply past them is cut to what fits.

#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <vector>

class PeerConnection;

class PeerBounds
{
public:
    using Connections = std::map<quint64, PeerConnection*>;

    static constexpr size_t MAX_INCOMING = 1024;
    static constexpr size_t MIN_INCOMING = 16;
    static constexpr size_t MAX_ADMISSION_WAITS_PER_ADDRESS = 8;
    static constexpr qint64 ADMISSION_ASK_INTERVAL_MS = 250;
    static constexpr int ADMISSION_ASK_BURST = 8;

    static constexpr size_t MAX_CONNECTING = 256;
    static constexpr size_t MAX_WAITING_CONNECTS = 64;
    static constexpr size_t MAX_RELAYED_CONNECTING = 192;

    static constexpr qint64 MAX_UNSENT_BYTES = 8 * 1024 * 1024;
    static constexpr size_t MAX_QUEUED_MESSAGES = 64;
    static constexpr qint64 MAX_OUTPUT_BYTES_TOTAL = 64 * 1024 * 1024;
    static constexpr qint64 OUTPUT_STALL_MS = 30000;
    static constexpr qint64 OUTPUT_DRAIN_LIMIT_MS = 10 * 60 * 1000;
    static constexpr qint64 OUTPUT_MEASURE_MS = 5000;
    static constexpr qint64 FAIR_SHARE_FLOOR = 1024 * 1024;
    static constexpr qint64 RATE_WINDOW_MS = 60000;
    static constexpr qint64 SMALL_ANSWER_BYTES = 64 * 1024;
    static constexpr qint64 SMALL_PARTY_BYTES = 256 * 1024;
    static constexpr qint64 SMALL_ANSWER_RESERVE = 4 * 1024 * 1024;
    static constexpr qint64 SMALL_HOLDER_STALL_MS = 15000;

    static constexpr size_t MAX_PARTIAL_FRAME_BYTES_TOTAL = 128 * 1024 * 1024;
    static constexpr qint64 RECEIVE_STALL_MS = 30000;

    static constexpr size_t MAX_UNSENT_MESSAGES = 1000;
    static constexpr size_t MAX_KEPT_BYTES = 1024 * 1024;
    static constexpr size_t MAX_KEPT_BYTES_TOTAL = 16 * 1024 * 1024;
    static constexpr size_t MAX_USERS_WITH_ANSWERS_KEPT = 4096;

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
    // The identified connection to close now that ip_identified has said
    // who it is, ip_identified itself included, with the reason; null when
    // its address is within bounds, or when it waits for the server's
    // answer (AwaitsAdmission). i_reaches: whether a connection reaches the
    // user it names; i_mayWait: the server may be asked where its user is.
    // Asked again once the wait ends.
    PeerConnection* ToCloseForIdentified(const PeerConnection* ip_identified,
                                         const std::function<bool(const PeerConnection*)>& i_reaches, bool i_mayWait,
                                         QString& o_why);
    bool AwaitsAdmission(quint64 i_id) const { return m_awaitingAdmission.count(i_id) > 0; }
    const std::set<quint64>& AwaitingAdmission() const { return m_awaitingAdmission; }
    void EndAdmissionWait(quint64 i_id) { m_awaitingAdmission.erase(i_id); }

    // Counts what the connection's frame buffer holds; true when all
    // together pass MAX_PARTIAL_FRAME_BYTES_TOTAL.
    bool CountReceived(PeerConnection* ip_conn);
    size_t ReceivedHeld() const { return m_received; }
    // The connection to close while the frames received pass their bound:
    // the one holding the most, the connections in i_spared aside.
    PeerConnection* ToCloseForReceiving(const std::set<quint64>& i_spared) const;
    // A connection leaves the books.
    void Forget(PeerConnection* ip_conn);

private:
    const Connections& m_connections;
    std::function<qint64()> m_now;
    size_t m_received = 0;
    std::set<quint64> m_awaitingAdmission;
    qint64 m_admissionTat = 0;
};
