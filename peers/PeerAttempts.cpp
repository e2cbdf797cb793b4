#include "PeerAttempts.h"

#include "Log.h"
#include "PeerBounds.h"
#include "ProtocolCodes.h"
#include "TextConversion.h"

#include <QtEndian>

#include <algorithm>

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

bool PeerAttempts::Keep(const std::string& i_user, const char* ip_message, size_t i_size, bool i_answer,
                        qint64 i_now, std::deque<QByteArray>& o_dropped)
{
    auto it = m_unsent.find(i_user);
    const size_t bytes = it == m_unsent.end() ? 0 : it->second.bytes;
    const bool userFull = bytes + i_size > PeerBounds::MAX_UNSENT_ANSWER_BYTES;
    if (i_answer && (userFull || m_unsentBytes + i_size > PeerBounds::MAX_UNSENT_ANSWER_BYTES_TOTAL))
    {
        // Searchers that no connection reaches must not fill the memory.
        bool& logged = userFull && it != m_unsent.end() ? it->second.dropLogged : m_answersDropLogged;
        if (!logged)
            Log(LOG_CATEGORY, 1,
                QString("Dropping answers to user %1 while no connection is up: past %2 bytes kept "
                        "for the user or %3 for all")
                    .arg(FromName(i_user))
                    .arg(PeerBounds::MAX_UNSENT_ANSWER_BYTES)
                    .arg(PeerBounds::MAX_UNSENT_ANSWER_BYTES_TOTAL));
        logged = true;
        return it != m_unsent.end();
    }
    UnsentQueue& queue = it == m_unsent.end() ? m_unsent[i_user] : it->second;
    QByteArray message(ip_message, qsizetype(i_size));
    if (!i_answer && CodeOf(message) != PM_GET_SHARED_FILE_LIST)
    {
        // Asked again: the copy kept goes, the new one takes its place in line.
        auto same = std::find_if(queue.messages.begin(), queue.messages.end(),
                                 [&](const Kept& i_k) { return !i_k.answer && i_k.message == message; });
        if (same != queue.messages.end())
        {
            queue.bytes -= size_t(same->message.size());
            m_unsentBytes -= size_t(same->message.size());
            queue.messages.erase(same);
        }
    }
    queue.messages.push_back(Kept{std::move(message), i_answer, i_now});
    queue.bytes += i_size;
    m_unsentBytes += i_size;
    if (queue.messages.size() > PeerBounds::MAX_UNSENT_MESSAGES)
    {
        QByteArray oldest = std::move(queue.messages.front().message);
        queue.messages.pop_front();
        queue.bytes -= size_t(oldest.size());
        m_unsentBytes -= size_t(oldest.size());
        o_dropped.push_back(std::move(oldest));
        // One line for the burst: the drops go on until the messages go.
        if (!queue.oldestDropLogged)
            Log(LOG_CATEGORY, 1,
                QString("More than %1 unsent messages for user %2, dropping the oldest "
                        "(further ones dropped silently until a connection is up)")
                    .arg(PeerBounds::MAX_UNSENT_MESSAGES)
                    .arg(FromName(i_user)));
        queue.oldestDropLogged = true;
    }
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

void PeerAttempts::Forget(std::unordered_map<std::string, UnsentQueue>::iterator i_queue)
{
    m_unsentBytes -= i_queue->second.bytes;
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
            queue.bytes -= size_t(kept->message.size());
            m_unsentBytes -= size_t(kept->message.size());
            kept = queue.messages.erase(kept);
            ++o_droppedAnswers;
        }
        if (queue.messages.empty())
        {
            m_answersDropLogged = false;
            it = m_unsent.erase(it);
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
    return m_retry.size();
}

std::vector<std::string> PeerAttempts::NextRetries(size_t i_count)
{
    std::vector<std::string> users;
    while (users.size() < i_count && !m_retry.empty())
    {
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
