#pragma once
// Our attempts to connect to users, and the messages kept for users while no
// "P" connection reaches them. The messenger makes the connections and talks
// to the server; it asks here what is under way for a user and what goes out
// when.
//
// An attempt begins when something must reach a user and no connection
// does: a kept message ("P"; one attempt a user serves all his kept
//   messages), a file connection ("F"; each request its own attempt) or a
//   distributed one ("D"; one a user). It is made directly (to the address
//   given, or the one the server gives) and through the server (a relayed
//   request with a fresh token) at once.
// It ends
//   - when a leg is up: the first wins, the other's connect is closed;
//   - when both legs have failed (refused, no connect within 20 s, no
//     address, no address answer within 30 s, the user cannot connect, no
//     pierce within 60 s): its kept messages are discarded;
//   - whole, its direct connect too, when the server connection ends: what
//     the server was asked for it is lost with that connection. "P" keeps its
//     messages for the next login; "D" is reported failed. A pierce that
//     answers its relayed request, already on its way, is still taken for
//     DROP_PIERCE_MS; an "F" attempt is reported failed once that time has
//     passed without it, so that its upload goes back to the queue quietly.
// Attempts begin at most RETRY_BATCH a turn of RETRY_INTERVAL_MS: past that,
//   and while users are lined up, a user waits in line, so that the transfer
//   queue asking thousands of users again at a login sends no burst.
// It is tried again after the next login, for every user with kept messages,
//   spread out: RETRY_BATCH users a turn, a turn every RETRY_INTERVAL_MS,
//   users with requests of ours before those with only answers kept.
//   Answers to searches kept longer than ANSWER_RETRY_MS are dropped first:
//   the searcher has moved on. It is also begun when the server gives the
//   address of a user messages wait for, and begun anew when the server
//   says a user it has been under way for RENEW_AFTER_MS is online: its
//   relayed request may have gone to a client of his that is gone.
// Kept messages: per user in order. What gives way first: answers to
//   searches, then our other answers (a denial, a response, a place in
//   line), and last our own requests to him (for his list, a folder, a
//   queued file, his place in line, an offer); within each, the oldest.
//   Bounds: MAX_UNSENT_MESSAGES and MAX_KEPT_BYTES a user, past which what
//   ranks no higher than the new message gives way, else the new one is not
//   kept; MAX_KEPT_BYTES_TOTAL for all, past which only a request of ours is
//   kept, pushing out the oldest answers kept for anyone. Users with answers
//   to searches kept: at most MAX_USERS_WITH_ANSWERS_KEPT, below what the
//   address book holds; an answer to one more is not kept. (See PeerBounds.)
//   Only what is ours to say to the user is kept: an answer to a request
//   from a connection that does not reach him is never kept (the messenger
//   puts it on that connection). Each goes out once, when a connection
//   reaching the user is up. A message of ours equal to one kept replaces
//   it, as the transfer queue asks again at each login; requests for share
//   lists are not merged: each browse waits for a list of its own.
// Costs: attempts are found by id, by token and by user; what one event does
//   is in proportion to that user's attempts and messages.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <deque>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class PeerAttempts
{
public:
    static constexpr qint64 ANSWER_RETRY_MS = 5000;
    static constexpr qint64 RENEW_AFTER_MS = 5000;
    static constexpr size_t RETRY_BATCH = 32;
    static constexpr int RETRY_INTERVAL_MS = 20;
    static constexpr int DROP_PIERCE_MS = 5000;

    struct Attempt
    {
        quint64 id = 0;
        std::string user;
        std::string type;
        quint32 token = 0;
        enum class Direct { AwaitingAddress, Connecting, Failed } direct = Direct::Failed;
        bool indirectPending = false;
        qint64 startedMs = 0;
        quint64 directConnection = 0;
    };

    // ---- attempts

    Attempt& Begin(quint64 i_id, const std::string& i_user, const std::string& i_type, quint32 i_token,
                   qint64 i_now);
    Attempt* Find(quint64 i_id);
    // The attempt whose relayed request has the token; null when none.
    Attempt* ByToken(quint32 i_token);
    // The user's attempt of the type under way; null when none.
    Attempt* Pending(const std::string& i_user, const std::string& i_type);
    // The user's attempts that wait for the server's address of him.
    std::vector<quint64> AwaitingAddress(const std::string& i_user) const;
    // The relayed request is over: its token answers nothing any more.
    void EndIndirect(Attempt& io_attempt);
    // Takes the attempt off the books.
    Attempt End(quint64 i_id);
    // Takes every attempt off the books (the server connection ended).
    std::vector<Attempt> EndAll();
    std::vector<quint64> Ids() const;
    size_t Count() const { return m_attempts.size(); }
    bool HasToken(quint32 i_token) const { return m_tokens.count(i_token) || m_lateTokens.count(i_token); }

    // An attempt that ended while its relayed request was out (the direct
    // way won, or the server connection ended): the user may answer it all
    // the same, within i_limitMs, and a connection of the type is his.
    struct Late
    {
        std::string user;  // empty: no such token in time
        std::string type;
    };
    void NoteLate(quint32 i_token, const std::string& i_user, const std::string& i_type, qint64 i_now,
                  qint64 i_limitMs);
    // The late token still in time, taken off the books.
    Late TakeLate(quint32 i_token, qint64 i_now);
    // Takes the token off the books; false when it was not there (taken).
    bool ForgetLate(quint32 i_token);
    void ExpireLate(qint64 i_now);

    // ---- kept messages

    // Keeps a message for the user within the bounds; false when nothing is
    // kept for him. o_dropped: requests of ours to him that gave way.
    bool Keep(const std::string& i_user, const char* ip_message, size_t i_size, bool i_answer, qint64 i_now,
              std::deque<QByteArray>& o_dropped);
    bool HasKept(const std::string& i_user) const { return m_unsent.count(i_user) > 0; }
    // Whether all that is kept for the user are answers to searches.
    bool OnlyAnswersKept(const std::string& i_user) const;
    // The user's kept messages, in order, taken off the books.
    std::deque<QByteArray> Take(const std::string& i_user);

    // ---- trying again after a login

    // Drops answers kept longer than ANSWER_RETRY_MS and lines up the users
    // still waited for; o_droppedAnswers counts what was dropped. Returns
    // how many users are lined up.
    size_t PlanRetry(qint64 i_now, size_t& o_droppedAnswers);
    // The next users in line, at most i_count.
    std::vector<std::string> NextRetries(size_t i_count);
    bool RetriesWaiting() const { return !m_retry.empty(); }
    void StopRetries()
    {
        m_retry.clear();
        m_lined.clear();
    }
    // Lines the user up behind those waiting, once.
    void LineUp(const std::string& i_user);

    // Users with attempts or kept messages.
    void AddUsers(std::set<std::string>& io_users) const;

private:
    // What gives way first: the lowest rank.
    enum Rank { SearchAnswer = 0, OtherAnswer = 1, OwnRequest = 2 };
    struct Kept
    {
        QByteArray message;
        bool answer = false;
        qint64 keptMs = 0;
        Rank rank = OwnRequest;
        quint64 seq = 0;
    };
    struct UnsentQueue
    {
        std::deque<Kept> messages;
        size_t bytes = 0;
        size_t answers = 0;
        bool dropLogged = false;
        bool oldestDropLogged = false;
    };
    using Queues = std::unordered_map<std::string, UnsentQueue>;
    static bool OnlyAnswers(const UnsentQueue& i_queue);
    static Rank RankOf(const QByteArray& i_message, bool i_answer);
    void Unindex(const Attempt& i_attempt);
    void Forget(Queues::iterator i_queue);
    // Takes one kept message off the books; o_dropped gets it when it is a
    // request of ours.
    void DropKept(UnsentQueue& io_queue, std::deque<Kept>::iterator i_kept, std::deque<QByteArray>* op_dropped);
    // Makes room in the user's queue for a message of the rank and size;
    // false when what ranks no higher does not free enough.
    bool RoomForUser(const std::string& i_user, UnsentQueue& io_queue, Rank i_rank, size_t i_size,
                     std::deque<QByteArray>& o_dropped);
    // Makes room in all for a request of ours, pushing out the oldest
    // answers kept for anyone; false when there are none left to push.
    bool RoomInAll(const std::string& i_user, size_t i_size);
    void RefusedLog(const std::string& i_user, UnsentQueue* ip_queue, const QString& i_why);

    std::map<quint64, Attempt> m_attempts;
    std::map<quint32, quint64> m_tokens;
    std::unordered_map<std::string, std::vector<quint64>> m_byUser;
    struct LateToken
    {
        Late late;
        qint64 untilMs = 0;
    };
    std::map<quint32, LateToken> m_lateTokens;

    Queues m_unsent;
    size_t m_unsentBytes = 0;
    size_t m_answerUsers = 0;
    quint64 m_nextSeq = 0;
    // Answers kept, by rank, oldest first: what gives way for a request of
    // ours past the bound of all.
    std::map<quint64, std::string> m_answersByAge[2];
    // Answers dropped for the bound of all users' kept messages were logged
    // since the kept ones last went.
    bool m_answersDropLogged = false;
    std::deque<std::string> m_retry;
    std::unordered_set<std::string> m_lined;  // those in m_retry
};
