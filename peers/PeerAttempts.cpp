#include "PeerAttempts.h"

#include "Log.h"
#include "PeerAddressBook.h"
#include "PeerBounds.h"
#include "ProtocolCodes.h"
#include "TextConversion.h"

#include <QtEndian>

#include <algorithm>

static_assert(PeerBounds::MAX_USERS_WITH_ANSWERS_KEPT < PeerAddressBook::MAX_USERS / 2,
              "searchers with answers kept leave room in the address book for everyone else");

namespace
{
const QString LOG_CATEGORY = QStringLiteral("Peer Messenger");

quint32 CodeOf(const QByteArray& i_message)
{
    return i_message.size() >= 4 ? qFromLittleEndian<quint32>(i_message.constData()) : 0;
}
}

// ---------------------------------------------------------------- attempts

PeerAttempts::Attempt& PeerAttempts::Begin(quint64 i_id, const std::string& i_user, const std::string& i_type,
                                           quint32 i_token, qint64 i_now)
{
    Attempt& attempt = m_attempts[i_id];
    attempt.id = i_id;
    attempt.user = i_user;
    attempt.type = i_type;
    attempt.token = i_token;
    attempt.startedMs = i_now;
    m_tokens[i_token] = i_id;
    m_byUser[i_user].push_back(i_id);
    return attempt;
}

PeerAttempts::Attempt* PeerAttempts::Find(quint64 i_id)
{
    auto it = m_attempts.find(i_id);
    return it == m_attempts.end() ? nullptr : &it->second;
}

PeerAttempts::Attempt* PeerAttempts::ByToken(quint32 i_token)
{
    auto it = m_tokens.find(i_token);
    return it == m_tokens.end() ? nullptr : Find(it->second);
}

PeerAttempts::Attempt* PeerAttempts::Pending(const std::string& i_user, const std::string& i_type)
{
    auto it = m_byUser.find(i_user);
    if (it == m_byUser.end())
        return nullptr;
    for (quint64 id : it->second)
        if (Attempt* attempt = Find(id); attempt && attempt->type == i_type)
            return attempt;
    return nullptr;
}

std::vector<quint64> PeerAttempts::AwaitingAddress(const std::string& i_user) const
{
    std::vector<quint64> waiting;
    auto it = m_byUser.find(i_user);
    if (it == m_byUser.end())
        return waiting;
    for (quint64 id : it->second)
    {
        auto attempt = m_attempts.find(id);
        if (attempt != m_attempts.end() && attempt->second.direct == Attempt::Direct::AwaitingAddress)
            waiting.push_back(id);
    }
    return waiting;
}

void PeerAttempts::EndIndirect(Attempt& io_attempt)
{
    io_attempt.indirectPending = false;
    auto token = m_tokens.find(io_attempt.token);
    if (token != m_tokens.end() && token->second == io_attempt.id)
        m_tokens.erase(token);
}

void PeerAttempts::Unindex(const Attempt& i_attempt)
{
    auto token = m_tokens.find(i_attempt.token);
    if (token != m_tokens.end() && token->second == i_attempt.id)
        m_tokens.erase(token);
    auto user = m_byUser.find(i_attempt.user);
    if (user != m_byUser.end())
    {
        auto& ids = user->second;
        ids.erase(std::remove(ids.begin(), ids.end(), i_attempt.id), ids.end());
        if (ids.empty())
            m_byUser.erase(user);
    }
}

PeerAttempts::Attempt PeerAttempts::End(quint64 i_id)
{
    auto it = m_attempts.find(i_id);
    if (it == m_attempts.end())
        return Attempt();
    const Attempt done = it->second;
    Unindex(done);
    m_attempts.erase(it);
    return done;
}

std::vector<PeerAttempts::Attempt> PeerAttempts::EndAll()
{
    std::vector<Attempt> all;
    all.reserve(m_attempts.size());
    for (auto& entry : m_attempts)
        all.push_back(std::move(entry.second));
    m_attempts.clear();
    m_tokens.clear();
    m_byUser.clear();
    return all;
}

std::vector<quint64> PeerAttempts::Ids() const
{
    std::vector<quint64> ids;
    ids.reserve(m_attempts.size());
    for (const auto& entry : m_attempts)
        ids.push_back(entry.first);
    return ids;
}

void PeerAttempts::NoteLate(quint32 i_token, const std::string& i_user, const std::string& i_type, qint64 i_now,
                            qint64 i_limitMs)
{
    m_lateTokens[i_token] = LateToken{{i_user, i_type}, i_now + i_limitMs};
}

PeerAttempts::Late PeerAttempts::TakeLate(quint32 i_token, qint64 i_now)
{
    auto late = m_lateTokens.find(i_token);
    if (late == m_lateTokens.end() || i_now > late->second.untilMs)
        return Late();
    const Late taken = late->second.late;
    m_lateTokens.erase(late);
    return taken;
}

bool PeerAttempts::ForgetLate(quint32 i_token)
{
    return m_lateTokens.erase(i_token) > 0;
}

void PeerAttempts::ExpireLate(qint64 i_now)
{
    for (auto late = m_lateTokens.begin(); late != m_lateTokens.end();)
        late = i_now > late->second.untilMs ? m_lateTokens.erase(late) : std::next(late);
}

// ---------------------------------------------------------------- kept messages

PeerAttempts::Rank PeerAttempts::RankOf(const QByteArray& i_message, bool i_answer)
{
    if (i_answer)
        return SearchAnswer;
    switch (CodeOf(i_message))
    {
    case PM_GET_SHARED_FILE_LIST:
    case PM_GET_SHARED_FILES_IN_FOLDER:
    case PM_QUEUE_UPLOAD:
    case PM_UPLOAD_PLACE_IN_LINE_REQUEST:
    case PM_TRANSFER_REQUEST:
        return OwnRequest;
    default:
        return OtherAnswer;
    }
}

void PeerAttempts::DropKept(UnsentQueue& io_queue, std::deque<Kept>::iterator i_kept,
                            std::deque<QByteArray>* op_dropped)
{
    const size_t size = size_t(i_kept->message.size());
    io_queue.bytes -= size;
    m_unsentBytes -= size;
    if (i_kept->rank != OwnRequest)
        m_answersByAge[i_kept->rank].erase(i_kept->seq);
    if (i_kept->answer && --io_queue.answers == 0)
        --m_answerUsers;
    if (op_dropped && i_kept->rank == OwnRequest)
        op_dropped->push_back(std::move(i_kept->message));
    io_queue.messages.erase(i_kept);
}

void PeerAttempts::RefusedLog(const std::string& i_user, UnsentQueue* ip_queue, const QString& i_why)
{
    // One line for a burst: the drops go on until the kept messages go.
    bool& logged = ip_queue ? ip_queue->dropLogged : m_answersDropLogged;
    if (!logged)
        Log(LOG_CATEGORY, 1,
            QString("Not keeping a message for user %1 while no connection is up: %2 (further ones dropped "
                    "silently)")
                .arg(FromName(i_user), i_why));
    logged = true;
}

bool PeerAttempts::RoomForUser(const std::string& i_user, UnsentQueue& io_queue, Rank i_rank, size_t i_size,
                               std::deque<QByteArray>& o_dropped)
{
    bool countLogged = false;
    while (io_queue.messages.size() + 1 > PeerBounds::MAX_UNSENT_MESSAGES ||
           io_queue.bytes + i_size > PeerBounds::MAX_KEPT_BYTES)
    {
        // The oldest of the lowest rank, no higher than the new one's.
        auto victim = io_queue.messages.end();
        for (auto kept = io_queue.messages.begin(); kept != io_queue.messages.end(); ++kept)
            if (kept->rank <= i_rank && (victim == io_queue.messages.end() || kept->rank < victim->rank))
                victim = kept;
        if (victim == io_queue.messages.end())
            return false;
        if (io_queue.messages.size() + 1 > PeerBounds::MAX_UNSENT_MESSAGES && !io_queue.oldestDropLogged &&
            !countLogged)
        {
            Log(LOG_CATEGORY, 1,
                QString("More than %1 unsent messages for user %2, dropping the oldest "
                        "(further ones dropped silently until a connection is up)")
                    .arg(PeerBounds::MAX_UNSENT_MESSAGES)
                    .arg(FromName(i_user)));
            io_queue.oldestDropLogged = countLogged = true;
        }
        DropKept(io_queue, victim, &o_dropped);
    }
    return true;
}

bool PeerAttempts::RoomInAll(const std::string& i_user, size_t i_size)
{
    while (m_unsentBytes + i_size > PeerBounds::MAX_KEPT_BYTES_TOTAL)
    {
        auto& byAge = m_answersByAge[SearchAnswer].empty() ? m_answersByAge[OtherAnswer]
                                                            : m_answersByAge[SearchAnswer];
        if (byAge.empty())
            return false;
        const quint64 seq = byAge.begin()->first;
        auto owner = m_unsent.find(byAge.begin()->second);
        if (owner == m_unsent.end())
        {
            byAge.erase(byAge.begin());
            continue;
        }
        auto& messages = owner->second.messages;
        auto kept = std::find_if(messages.begin(), messages.end(), [&](const Kept& i_k) { return i_k.seq == seq; });
        if (kept == messages.end())
        {
            byAge.erase(byAge.begin());
            continue;
        }
        DropKept(owner->second, kept, nullptr);
        if (messages.empty() && owner->first != i_user)
            Forget(owner);
    }
    return true;
}

bool PeerAttempts::Keep(const std::string& i_user, const char* ip_message, size_t i_size, bool i_answer,
                        qint64 i_now, std::deque<QByteArray>& o_dropped)
{
    QByteArray message(ip_message, qsizetype(i_size));
    const Rank rank = RankOf(message, i_answer);
    auto it = m_unsent.find(i_user);
    // Searchers that no connection reaches must not fill the memory, nor
    // the address book with users in use.
    if (i_answer && (it == m_unsent.end() || it->second.answers == 0) &&
        m_answerUsers >= PeerBounds::MAX_USERS_WITH_ANSWERS_KEPT)
    {
        RefusedLog(i_user, nullptr,
                   QString("answers wait for %1 users already").arg(PeerBounds::MAX_USERS_WITH_ANSWERS_KEPT));
        return it != m_unsent.end();
    }
    if (i_size > PeerBounds::MAX_KEPT_BYTES)
    {
        RefusedLog(i_user, it == m_unsent.end() ? nullptr : &it->second,
                   QString("a message of %1 bytes is past %2 a user").arg(i_size).arg(PeerBounds::MAX_KEPT_BYTES));
        return it != m_unsent.end();
    }
    UnsentQueue& queue = it == m_unsent.end() ? m_unsent[i_user] : it->second;
    if (!i_answer && CodeOf(message) != PM_GET_SHARED_FILE_LIST)
    {
        // Asked again: the copy kept goes, the new one takes its place in line.
        auto same = std::find_if(queue.messages.begin(), queue.messages.end(),
                                 [&](const Kept& i_k) { return !i_k.answer && i_k.message == message; });
        if (same != queue.messages.end())
            DropKept(queue, same, nullptr);
    }
    const bool fits = RoomForUser(i_user, queue, rank, i_size, o_dropped) &&
                      (m_unsentBytes + i_size <= PeerBounds::MAX_KEPT_BYTES_TOTAL ||
                       (rank == OwnRequest && RoomInAll(i_user, i_size)));
    if (!fits)
    {
        const bool userFull = queue.messages.size() + 1 > PeerBounds::MAX_UNSENT_MESSAGES ||
                              queue.bytes + i_size > PeerBounds::MAX_KEPT_BYTES;
        RefusedLog(i_user, userFull ? &queue : nullptr,
                   userFull ? QString("past %1 messages or %2 bytes kept for the user, and nothing that gives "
                                      "way before it")
                                  .arg(PeerBounds::MAX_UNSENT_MESSAGES)
                                  .arg(PeerBounds::MAX_KEPT_BYTES)
                            : QString("past %1 bytes kept for all").arg(PeerBounds::MAX_KEPT_BYTES_TOTAL));
        if (queue.messages.empty())
        {
            m_unsent.erase(i_user);
            return false;
        }
        return true;
    }
    Kept kept{std::move(message), i_answer, i_now, rank, m_nextSeq++};
    if (rank != OwnRequest)
        m_answersByAge[rank].emplace(kept.seq, i_user);
    if (i_answer && queue.answers++ == 0)
        ++m_answerUsers;
    queue.messages.push_back(std::move(kept));
    queue.bytes += i_size;
    m_unsentBytes += i_size;
    return true;
}

bool PeerAttempts::OnlyAnswers(const UnsentQueue& i_queue)
{
    return std::all_of(i_queue.messages.begin(), i_queue.messages.end(), [](const Kept& i_k) { return i_k.answer; });
}

bool PeerAttempts::OnlyAnswersKept(const std::string& i_user) const
{
    auto it = m_unsent.find(i_user);
    return it != m_unsent.end() && OnlyAnswers(it->second);
}

void PeerAttempts::Forget(Queues::iterator i_queue)
{
    UnsentQueue& queue = i_queue->second;
    for (const Kept& kept : queue.messages)
        if (kept.rank != OwnRequest)
            m_answersByAge[kept.rank].erase(kept.seq);
    if (queue.answers > 0)
        --m_answerUsers;
    m_unsentBytes -= queue.bytes;
    m_answersDropLogged = false;
    m_unsent.erase(i_queue);
}

std::deque<QByteArray> PeerAttempts::Take(const std::string& i_user)
{
    std::deque<QByteArray> messages;
    auto it = m_unsent.find(i_user);
    if (it == m_unsent.end())
        return messages;
    for (Kept& kept : it->second.messages)
        messages.push_back(std::move(kept.message));
    Forget(it);
    return messages;
}

// ---------------------------------------------------------------- trying again

size_t PeerAttempts::PlanRetry(qint64 i_now, size_t& o_droppedAnswers)
{
    m_retry.clear();
    std::vector<std::string> answersOnly;
    o_droppedAnswers = 0;
    for (auto it = m_unsent.begin(); it != m_unsent.end();)
    {
        UnsentQueue& queue = it->second;
        for (auto kept = queue.messages.begin(); kept != queue.messages.end();)
        {
            if (!kept->answer || i_now - kept->keptMs <= ANSWER_RETRY_MS)
            {
                ++kept;
                continue;
            }
            const qsizetype at = kept - queue.messages.begin();
            DropKept(queue, kept, nullptr);
            kept = queue.messages.begin() + at;
            ++o_droppedAnswers;
        }
        if (queue.messages.empty())
        {
            const auto gone = it++;
            Forget(gone);
            continue;
        }
        // Our own requests go before answers: a browse of the user's is not
        // held up behind searchers.
        if (OnlyAnswers(queue))
            answersOnly.push_back(it->first);
        else
            m_retry.push_back(it->first);
        ++it;
    }
    m_retry.insert(m_retry.end(), answersOnly.begin(), answersOnly.end());
    m_lined = std::unordered_set<std::string>(m_retry.begin(), m_retry.end());
    return m_retry.size();
}

void PeerAttempts::LineUp(const std::string& i_user)
{
    if (m_lined.insert(i_user).second)
        m_retry.push_back(i_user);
}

std::vector<std::string> PeerAttempts::NextRetries(size_t i_count)
{
    std::vector<std::string> users;
    while (users.size() < i_count && !m_retry.empty())
    {
        m_lined.erase(m_retry.front());
        users.push_back(std::move(m_retry.front()));
        m_retry.pop_front();
    }
    return users;
}

void PeerAttempts::AddUsers(std::set<std::string>& io_users) const
{
    for (const auto& unsent : m_unsent)
        io_users.insert(unsent.first);
    for (const auto& user : m_byUser)
        io_users.insert(user.first);
}
