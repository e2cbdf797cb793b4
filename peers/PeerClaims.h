#pragma once
// Who a connection belongs to. A connection names a user in its first
// message; the name is only a claim. The messenger asks here whether a
// connection reaches the user it names, what a claim from an unknown address
// may cost, and what becomes of it. Every trust below says what creates it,
// what ends it and what bounds it; every cost of a claim falls on the
// claimant's own connections and address, never on the user it names or on
// the server, but for a guessed request number with the server down (below).
//
// Reaching a user: a connection reaches the user it names when
//   - we opened it, or it came with the token of a request of ours through
//     the server (an attempt, a proof, or a late answer to an attempt);
//   - it comes from the address the server gives for the user now
//     (created by the server's address answer or by a request it relays
//     from the user; ended by another address from the server, or by its
//     answer that the user is offline, which also ends every proof of him);
//   - it comes from an address proved for the user while a connection proved
//     from there is still open and has brought something from him within
//     SILENCE_LIMIT_MS (our own messages on it do not count: only the other
//     side can show that it is still there). Proved connections are those
//     that came with our token and the claimants a proof found at the
//     address it was answered from. When the last of them closes, or all
//     of them fall silent that long, the address is his no more and a new
//     connection from there is proved again. At most MAX_PROVEN_ADDRESSES a
//     user, the newest kept.
//   What we send the user on our own goes only on a connection that reaches
//   him and has been heard from within SILENCE_LIMIT_MS (Heard); past that
//   a silent one may stay open, but the user is connected to anew.
//   Before the first login nothing is known yet: a claimed name is
//   unknown as after a login, and what is meant for the user waits for the
//   server. Only a messenger with no server at all to ask takes the name.
// Proofs: a claim from an unknown address is proved by one relayed request
//   of ours to the user, the address he answers from being his. Only for a
//   user we expect something from (an offer of a download of ours, a file
//   connection for a transfer we accepted) or one our shares show more than
//   a stranger (a request of his for them), so made-up names cost nothing.
//   One proof a user, which every claimant of him joins. A proof asks when
//   its turn comes (below); it ends when answered, when the user cannot
//   connect, after PROOF_LIMIT_MS, or when the server connection ends; a
//   claimant that leaves before does not end it, so that the answer still
//   tells against its address.
//   Before its turn, a claim waits, it is not refused:
//   - while the server has not said where the user is, for its answer
//     (ADDRESS_WAIT_MS at most): the address it gives may be the claim's,
//     and then no relayed request is needed. What a busy server delays is
//     the address answer of users who offer right after our login.
//   - for the budget of relayed requests, in one place a user (the claimants
//     of a user wait together) and MAX_WAITING_PROOFS places in all; a place
//     goes unasked after CLAIM_WAIT_MS. The place whose sources asked least of
//     late goes first, then the oldest.
//   A claim the budget has no room for is told so: what it offered is
//   refused on its own connection. One shown false (or of a user who cannot
//   be reached, or with the server down) is told nothing.
// Budgets of proofs, who spends them and what an honest user needs of them:
//   - relayed requests: one each PROOF_INTERVAL_MS on average, PROOF_BURST at
//     once, MAX_PROOFS asked at once. Spent by every claim of a user we
//     expect something from, from an address not known to be his; an
//     honest user behind a router needs one, once, within seconds of his
//     first offer from there.
//   - a source address: in MAX_PROOFS_PER_SOURCE proofs at once, asked or
//     waiting their turn, and asking in SOURCE_SHARE proofs in
//     SOURCE_SHARE_WINDOW_MS at most, so that one address takes a small share
//     of the requests; in MAX_ADDRESS_WAITS_PER_SOURCE claims waiting for the
//     server's address answer (users behind one router offer together).
//     Spent by the claimants there; honest users there need one each.
//   - a proof: MAX_SOURCES_PER_PROOF addresses whose claims its answer tells
//     against. Spent by claimants of one name; claimants past it still wait
//     on it, so the user himself, asking from where he answers, is never
//     shut out by them.
//   - a user whose proof went unanswered with the server up (he cannot be
//     reached, or the limit passed) is not proved again for
//     UNANSWERED_PAUSE_MS, whoever claims him: claims of a user who is
//     offline cost one relayed request a minute. The honest user needs
//     nothing then: he cannot answer.
//   Past these a claim is refused.
// Disproofs: when the user answers a proof from elsewhere, the address of
//   each claimant of it, gone or waiting, tells against him for DISPROOF_MS:
//   claims of him from there are refused at once, with no server message,
//   so that a claim from there is proved at most once in that time. A proof
//   answered from there (he has moved there) makes it his, and so do a new
//   address from the server and the end of all that proves where he is.
//   MAX_DISPROOFS_PER_USER a user, the oldest dropped. A claimant whose
//   proof ended unanswered with the server up is refused for its
//   connection's life.
// Accepted transfers: an offer taken from a connection that reaches its
//   user, and our acceptance of it, are remembered for ACCEPTED_MEMORY_MS
//   (MAX_ACCEPTED_PER_USER a user, his oldest dropped; MAX_ACCEPTED in all,
//   the oldest of the user holding the most dropped), with where the user's
//   connections come from: the offer's address when it came in, anywhere
//   when it came on a connection we opened. Only a file connection naming an
//   accepted transfer is proved; any other from an address not known to be
//   the user's is refused. With the server down, a file connection naming
//   one may carry it from where the user's connections come from, once and
//   only within CARRY_MS of the acceptance, unless a guess named him.
// Guesses: with the server down, a file connection from an address not known
//   to be the user's that names a request we did not accept from him is a
//   wrong guess. Numbers are the sender's own and can be guessed again from
//   other addresses, so it ends what a guess could win:
//   - the user it names (one we expect something from or took an offer of)
//     has no transfer carried from an address not known to be his until the
//     next login. He pays for it: his own file connection from such an
//     address waits for the server. At most MAX_GUESSED_USERS such users,
//     those named longest ago dropped.
//   - MAX_WRONG_GUESSES from one address within GUESS_WINDOW_MS close that
//     address to file connections for GUESS_BLOCK_MS, bar those that reach
//     their user by what is known (users behind the same router). At most
//     MAX_GUESSING_ADDRESSES addresses, those guessing longest ago dropped.
//   The honest user needs nothing of it: his file connection names what we
//   accepted, and one from where he is known to be is never a guess.
// The given addresses and the memory of offline answers are kept in a
// PeerAddressBook, bounded there.

#include "PeerAddressBook.h"

#include <QString>
#include <QtGlobal>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

class PeerConnection;

class PeerClaims
{
public:
    static constexpr size_t MAX_PROVEN_ADDRESSES = 4;
    static constexpr size_t MAX_PROOFS = 64;
    static constexpr size_t MAX_PROOFS_PER_SOURCE = 4;
    static constexpr size_t MAX_ADDRESS_WAITS_PER_SOURCE = 64;
    static constexpr size_t MAX_SOURCES_PER_PROOF = 64;
    static constexpr qint64 PROOF_LIMIT_MS = 60000;
    static constexpr qint64 PROOF_INTERVAL_MS = 500;
    static constexpr int PROOF_BURST = 4;
    static constexpr qint64 DISPROOF_MS = 60 * 1000;
    static constexpr qint64 ADDRESS_WAIT_MS = 10000;
    static constexpr size_t MAX_WAITING_PROOFS = 256;
    static constexpr qint64 CLAIM_WAIT_MS = 30000;
    static constexpr size_t SOURCE_SHARE = 8;
    static constexpr qint64 SOURCE_SHARE_WINDOW_MS = 60000;
    static constexpr qint64 UNANSWERED_PAUSE_MS = 60000;
    static constexpr size_t MAX_GUESSED_USERS = 1024;
    static constexpr size_t MAX_WRONG_GUESSES = 4;
    static constexpr qint64 GUESS_WINDOW_MS = 60000;
    static constexpr qint64 GUESS_BLOCK_MS = 5 * 60 * 1000;
    static constexpr size_t MAX_GUESSING_ADDRESSES = 4096;
    static constexpr size_t MAX_DISPROOFS_PER_USER = 16;
    static constexpr qint64 ACCEPTED_MEMORY_MS = 2 * 60 * 1000;
    static constexpr size_t MAX_ACCEPTED = 1024;
    static constexpr size_t MAX_ACCEPTED_PER_USER = 64;
    static constexpr qint64 CARRY_MS = 20000;
    static constexpr qint64 SILENCE_LIMIT_MS = 2 * 60 * 1000;

    // i_inUse: users the messenger holds something for; i_newToken: a fresh
    // token for a relayed request; i_serverless: there is no server to ask.
    PeerClaims(std::function<qint64()> i_now, std::function<std::set<std::string>()> i_inUse,
               std::function<quint32()> i_newToken, std::function<bool()> i_serverless);

    // ---- what the server and our own connections say

    // The server's address for the user; 0: offline.
    void NoteGiven(const std::string& i_user, quint32 i_address);
    // The connection came with the token of a request of ours.
    void NoteProved(const PeerConnection* ip_conn);
    // The connection is gone: what it proved, and its claim, end.
    void NoteClosed(quint64 i_id);
    // Bytes came in on the connection: what it proves is fresh again.
    void NoteHeard(quint64 i_id);
    // An offer of a transfer read from the connection, and our acceptance.
    void NoteOffer(const PeerConnection* ip_conn, quint32 i_req);
    void NoteAccepted(const std::string& i_user, quint32 i_req);
    // We are logged in again: guesses of the last absence are forgiven.
    void NoteLoggedIn() { m_guessed.clear(); }
    // A sign that the user is online (the server's word, a search of his,
    // a connection that reaches him): the word that he was not ends.
    void NoteAlive(const std::string& i_user) { m_book.NoteAlive(i_user); }

    // ---- questions

    bool Reaches(const PeerConnection* ip_conn) const;
    // Whether the other side of the connection has sent something, or the
    // connection was made, within SILENCE_LIMIT_MS.
    bool Heard(const PeerConnection* ip_conn) const;
    // Whether any address of the user is known.
    bool Knows(const std::string& i_user) const;
    bool CalledOffline(const std::string& i_user) const { return m_book.CalledOffline(i_user); }
    void Touch(const std::string& i_user) { m_book.Touch(i_user); }

    // ---- claims

    enum class Step
    {
        Joined,        // waits on the proof, or for its turn (see NextProof)
        AwaitAddress,  // waits for the server to say where the user is: ask it, unless asked
        Refused,       // shown false, or hopeless now: the claimant is told nothing
        NoRoom         // the budget has no room for it: its offer is refused on its connection
    };
    // The connection's claim, for what it offers; i_expected: we expect
    // something of the user; i_addressUnknown: the server has not said where
    // he is. o_why says why it is refused.
    Step Prove(const PeerConnection* ip_conn, bool i_expected, bool i_serverUp, bool i_addressUnknown,
               QString& o_why);
    // A waiting proof whose turn has come: its user, and the token of the
    // relayed request to send; false when none may go now.
    bool NextProof(std::string& o_user, quint32& o_token);
    // When to look for the next turn, in ms; -1 when no claim waits.
    qint64 NextTurnInMs() const;
    bool AwaitsProof(quint64 i_id) const { return m_waiting.count(i_id) > 0; }
    // The user of a proof's token; empty when none.
    std::string ProofUser(quint32 i_token) const;
    bool IsProofToken(quint32 i_token) const { return m_proofTokens.count(i_token) > 0; }
    std::vector<std::string> ProofUsers() const;

    enum class File
    {
        Carry,
        Prove,
        Refuse
    };
    // A file connection from the user for request i_req; i_expected: we
    // expect something of the user.
    File ForFile(const PeerConnection* ip_conn, quint32 i_req, bool i_serverUp, bool i_expected, QString& o_why);

    // What waited on the user's proof and may now go on, or goes.
    struct Settled
    {
        quint64 id = 0;
        bool reaches = false;
    };
    // i_over: the proof is over (answered from i_answeredFrom when not 0,
    // or not answered); else only those it now reaches go on.
    std::vector<Settled> Settle(const std::string& i_user, bool i_over, bool i_serverUp, quint32 i_answeredFrom = 0);
    // Users whose proofs passed their time, asked or waiting; old
    // disproofs, pauses, guesses and acceptances go.
    std::vector<std::string> Expire();

private:
    struct Proof
    {
        quint32 token = 0;          // 0: not asked yet
        qint64 startedMs = 0;       // asked, or began to wait
        qint64 addressUntilMs = 0;  // waits for the server's address answer until then
        qint64 queuedMs = 0;
        std::map<quint64, quint32> waiting;  // claimant -> its address
        std::set<quint32> sources;           // addresses of all its claimants
    };
    struct Evidence
    {
        quint32 address = 0;
        std::set<quint64> connections;
    };
    bool ReachesFrom(const std::string& i_user, quint32 i_address) const;
    // Whether a connection of the evidence was heard from lately.
    bool Fresh(const Evidence& i_evidence) const;
    bool Disproved(const std::string& i_user, quint32 i_address) const;
    void AddEvidence(const std::string& i_user, quint32 i_address, quint64 i_id);
    void EndEvidence(const std::string& i_user);
    void EndDisproof(const std::string& i_user, quint32 i_address);
    // Proofs the address takes part in: those waiting for the server's
    // address answer, or the others.
    size_t ProofsFrom(quint32 i_address, bool i_forAddress) const;
    size_t Asked() const;
    // How many proofs the least spent of the sources asked of late.
    size_t SourcesSpent(const Proof& i_proof) const;
    bool Unanswered(const std::string& i_user) const;
    void NoteWrongGuess(const std::string& i_user, quint32 i_address, bool i_protect);
    bool GuessingBlocked(quint32 i_address) const;
    void Disprove(const std::string& i_user, quint32 i_address);
    // Makes room for one more remembered offer of the user.
    void RoomForOffer(const std::string& i_user);
    void EndProof(const std::string& i_user);

    std::function<qint64()> m_now;
    std::function<quint32()> m_newToken;
    PeerAddressBook m_book;
    std::map<std::string, std::vector<Evidence>> m_evidence;  // newest last
    std::map<quint64, std::string> m_evidenceOf;
    std::map<quint64, qint64> m_heardMs;  // proved connection -> when last heard from
    std::map<std::string, std::vector<std::pair<quint32, qint64>>> m_disproved;  // address, until
    std::map<std::string, Proof> m_proofs;
    std::map<quint32, std::string> m_proofTokens;
    std::map<quint64, std::string> m_waiting;  // claimant -> user
    std::set<quint64> m_refused;
    std::set<quint64> m_waitedOut;  // claimants whose place went unasked: refused once
    struct Transfer
    {
        quint32 origin = 0;  // 0: anywhere
        qint64 offeredMs = 0;
        qint64 acceptedMs = -1;
    };
    std::map<std::pair<std::string, quint32>, Transfer> m_transfers;  // user, request
    qint64 m_proofTat = 0;
    std::map<std::string, qint64> m_unanswered;            // user -> proved again from then
    std::map<quint32, std::vector<qint64>> m_sourceAsked;  // address -> when its proofs asked
    std::map<std::string, qint64> m_guessed;               // user -> when a guess named him
    struct Guesses
    {
        std::vector<qint64> atMs;
        qint64 blockedUntilMs = -1;
    };
    std::map<quint32, Guesses> m_guessers;
    std::function<bool()> m_serverless;
};
