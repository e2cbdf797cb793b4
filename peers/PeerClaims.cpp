#include "PeerClaims.h"

#include "PeerConnection.h"

#include <algorithm>
#include <utility>

PeerClaims::PeerClaims(std::function<qint64()> i_now, std::function<std::set<std::string>()> i_inUse,
                       std::function<quint32()> i_newToken, std::function<bool()> i_serverless)
    : m_now(i_now),
      m_newToken(std::move(i_newToken)),
      m_book(i_now, [this, inUse = std::move(i_inUse)] {
          std::set<std::string> users = inUse();
          for (const auto& proof : m_proofs)
              users.insert(proof.first);
          for (const auto& evidence : m_evidence)
              users.insert(evidence.first);
          return users;
      }),
      m_serverless(std::move(i_serverless))
{
}

// ---------------------------------------------------------------- facts

void PeerClaims::NoteGiven(const std::string& i_user, quint32 i_address)
{
    // Another address, or none: what was proved of him, or against
    // addresses as his, is of another time.
    if (i_address == 0 || i_address != m_book.Given(i_user))
    {
        EndEvidence(i_user);
        m_disproved.erase(i_user);
    }
    if (i_address != 0)
        EndDisproof(i_user, i_address);
    m_book.NoteGiven(i_user, i_address);
    // Claims that waited for this answer wait for their turn now.
    auto proof = m_proofs.find(i_user);
    if (proof != m_proofs.end())
        proof->second.addressUntilMs = 0;
}

void PeerClaims::NoteProved(const PeerConnection* ip_conn)
{
    if (!ip_conn->m_incoming || ip_conn->m_address == 0 || ip_conn->m_user.empty())
        return;
    EndDisproof(ip_conn->m_user, ip_conn->m_address);
    AddEvidence(ip_conn->m_user, ip_conn->m_address, ip_conn->Id());
}

void PeerClaims::NoteClosed(quint64 i_id)
{
    m_refused.erase(i_id);
    m_heardMs.erase(i_id);
    m_waitedOut.erase(i_id);
    auto proved = m_evidenceOf.find(i_id);
    if (proved != m_evidenceOf.end())
    {
        auto user = m_evidence.find(proved->second);
        if (user != m_evidence.end())
        {
            auto& list = user->second;
            for (Evidence& evidence : list)
                evidence.connections.erase(i_id);
            list.erase(std::remove_if(list.begin(), list.end(),
                                      [](const Evidence& i_e) { return i_e.connections.empty(); }),
                       list.end());
            // Nothing shows where he is any more: he may have moved to an
            // address that told against him.
            if (list.empty())
            {
                m_disproved.erase(user->first);
                m_evidence.erase(user);
            }
        }
        m_evidenceOf.erase(proved);
    }
    auto waiting = m_waiting.find(i_id);
    if (waiting != m_waiting.end())
    {
        const std::string user = waiting->second;
        m_waiting.erase(waiting);
        // The proof goes on: its answer still tells against the address.
        // A place not asked yet that nobody waits in goes.
        auto proof = m_proofs.find(user);
        if (proof != m_proofs.end())
        {
            proof->second.waiting.erase(i_id);
            if (proof->second.token == 0 && proof->second.waiting.empty())
                EndProof(user);
        }
    }
}

void PeerClaims::NoteHeard(quint64 i_id)
{
    if (m_evidenceOf.count(i_id))
        m_heardMs[i_id] = m_now();
}

void PeerClaims::NoteOffer(const PeerConnection* ip_conn, quint32 i_req)
{
    if (!m_transfers.count({ip_conn->m_user, i_req}))
        RoomForOffer(ip_conn->m_user);
    Transfer transfer;
    transfer.origin = ip_conn->m_incoming ? ip_conn->m_address : 0;
    transfer.offeredMs = m_now();
    m_transfers[{ip_conn->m_user, i_req}] = transfer;
}

void PeerClaims::NoteAccepted(const std::string& i_user, quint32 i_req)
{
    auto it = m_transfers.find({i_user, i_req});
    if (it != m_transfers.end())
        it->second.acceptedMs = m_now();
}

// ---------------------------------------------------------------- questions

bool PeerClaims::Reaches(const PeerConnection* ip_conn) const
{
    if (!ip_conn->m_incoming || ip_conn->m_weAsked || m_serverless())
        return true;
    return ReachesFrom(ip_conn->m_user, ip_conn->m_address);
}

bool PeerClaims::ReachesFrom(const std::string& i_user, quint32 i_address) const
{
    if (i_address == 0)
        return false;
    if (m_book.Given(i_user) == i_address)
        return true;
    auto it = m_evidence.find(i_user);
    return it != m_evidence.end() && std::any_of(it->second.begin(), it->second.end(), [&](const Evidence& i_e) {
               return i_e.address == i_address && Fresh(i_e);
           });
}

bool PeerClaims::Fresh(const Evidence& i_evidence) const
{
    const qint64 now = m_now();
    return std::any_of(i_evidence.connections.begin(), i_evidence.connections.end(), [&](quint64 i_id) {
        auto heard = m_heardMs.find(i_id);
        return heard != m_heardMs.end() && now - heard->second < SILENCE_LIMIT_MS;
    });
}

bool PeerClaims::Heard(const PeerConnection* ip_conn) const
{
    return m_now() - std::max(ip_conn->m_lastReceivedMs, ip_conn->m_createdMs) < SILENCE_LIMIT_MS;
}

bool PeerClaims::Knows(const std::string& i_user) const
{
    return m_book.Given(i_user) != 0 || m_evidence.count(i_user);
}

bool PeerClaims::Disproved(const std::string& i_user, quint32 i_address) const
{
    auto it = m_disproved.find(i_user);
    if (it == m_disproved.end())
        return false;
    const qint64 now = m_now();
    return std::any_of(it->second.begin(), it->second.end(),
                       [&](const auto& i_d) { return i_d.first == i_address && now < i_d.second; });
}

// ---------------------------------------------------------------- claims

PeerClaims::Step PeerClaims::Prove(const PeerConnection* ip_conn, bool i_expected, bool i_serverUp,
                                   bool i_addressUnknown, QString& o_why)
{
    const std::string& user = ip_conn->m_user;
    const quint32 address = ip_conn->m_address;
    if (m_waiting.count(ip_conn->Id()))
        return Step::Joined;
    if (m_waitedOut.erase(ip_conn->Id()))
    {
        o_why = QStringLiteral("its claim waited its turn out");
        return Step::NoRoom;
    }
    if (m_refused.count(ip_conn->Id()))
        o_why = QStringLiteral("an earlier claim on it was not proven");
    else if (Disproved(user, address))
        o_why = QStringLiteral("the user answered from elsewhere moments ago");
    else if (!i_serverUp)
        o_why = QStringLiteral("the server is not there to ask the user");
    else if (!i_expected)
        o_why = QStringLiteral("nothing is expected from the user");
    else if (Unanswered(user))
        o_why = QStringLiteral("the user did not answer a proof moments ago");
    if (!o_why.isEmpty())
        return Step::Refused;

    auto proof = m_proofs.find(user);
    const bool sourceInIt = proof != m_proofs.end() && proof->second.sources.count(address);
    // Waiting for the server's answer spends no relayed request: users
    // behind one router offer together.
    const bool forAddress = proof == m_proofs.end() ? i_addressUnknown : proof->second.addressUntilMs != 0;
    if (!sourceInIt && forAddress && ProofsFrom(address, true) >= MAX_ADDRESS_WAITS_PER_SOURCE)
    {
        o_why = QString("%1 claims from its address wait for the server already").arg(MAX_ADDRESS_WAITS_PER_SOURCE);
        return Step::NoRoom;
    }
    if (!sourceInIt && !forAddress && ProofsFrom(address, false) >= MAX_PROOFS_PER_SOURCE)
    {
        o_why = QString("its address waits on %1 proofs already").arg(MAX_PROOFS_PER_SOURCE);
        return Step::NoRoom;
    }
    // A proof full of addresses still takes a claimant to wait on it, only
    // not as one of its sources: the user's own claim from where he will
    // answer is not shut out by those that came first.
    const bool fullOfSources =
        !sourceInIt && proof != m_proofs.end() && proof->second.sources.size() >= MAX_SOURCES_PER_PROOF;
    const qint64 now = m_now();
    bool fresh = false;
    if (proof == m_proofs.end())
    {
        if (m_proofs.size() - Asked() >= MAX_WAITING_PROOFS)
        {
            o_why = QString("%1 claims wait their turn already").arg(MAX_WAITING_PROOFS);
            return Step::NoRoom;
        }
        Proof place;
        place.startedMs = place.queuedMs = now;
        // The server's answer may say the claim is the user's: no relayed
        // request is spent before it.
        if (i_addressUnknown)
            place.addressUntilMs = now + ADDRESS_WAIT_MS;
        proof = m_proofs.emplace(user, place).first;
        fresh = true;
    }
    proof->second.waiting[ip_conn->Id()] = address;
    if (!fullOfSources)
        proof->second.sources.insert(address);
    m_waiting[ip_conn->Id()] = user;
    if (!fresh)
        return Step::Joined;
    // Its turn may be now: see NextProof.
    return proof->second.addressUntilMs != 0 ? Step::AwaitAddress : Step::Joined;
}

bool PeerClaims::NextProof(std::string& o_user, quint32& o_token)
{
    o_user.clear();
    o_token = 0;
    const qint64 now = m_now();
    const qint64 tat = std::max(m_proofTat, now);
    if (Asked() >= MAX_PROOFS || tat - now > (PROOF_BURST - 1) * PROOF_INTERVAL_MS)
        return false;
    auto best = m_proofs.end();
    size_t bestSpent = 0;
    for (auto it = m_proofs.begin(); it != m_proofs.end(); ++it)
    {
        const Proof& place = it->second;
        if (place.token != 0 || (place.addressUntilMs != 0 && now < place.addressUntilMs) || place.waiting.empty())
            continue;
        const size_t spent = SourcesSpent(place);
        if (spent >= SOURCE_SHARE)
            continue;
        if (best == m_proofs.end() || spent < bestSpent ||
            (spent == bestSpent && place.queuedMs < best->second.queuedMs))
        {
            best = it;
            bestSpent = spent;
        }
    }
    if (best == m_proofs.end())
        return false;
    m_proofTat = tat + PROOF_INTERVAL_MS;
    Proof& proof = best->second;
    proof.token = m_newToken();
    proof.startedMs = now;
    proof.addressUntilMs = 0;
    m_proofTokens[proof.token] = best->first;
    for (quint32 source : proof.sources)
        m_sourceAsked[source].push_back(now);
    o_user = best->first;
    o_token = proof.token;
    return true;
}

qint64 PeerClaims::NextTurnInMs() const
{
    const qint64 now = m_now();
    qint64 next = -1;
    const auto sooner = [&](qint64 i_at) { next = next < 0 ? i_at : std::min(next, i_at); };
    for (const auto& entry : m_proofs)
    {
        const Proof& place = entry.second;
        if (place.token != 0)
            continue;
        sooner(place.queuedMs + CLAIM_WAIT_MS);
        sooner(place.addressUntilMs != 0 ? place.addressUntilMs : std::max(m_proofTat - (PROOF_BURST - 1) * PROOF_INTERVAL_MS, now));
    }
    // A place held back by its sources' share, or by the proofs asked,
    // is looked at again within a second.
    return next < 0 ? -1 : std::clamp<qint64>(next - now, 20, 1000);
}

std::string PeerClaims::ProofUser(quint32 i_token) const
{
    auto it = m_proofTokens.find(i_token);
    return it == m_proofTokens.end() ? std::string() : it->second;
}

std::vector<std::string> PeerClaims::ProofUsers() const
{
    std::vector<std::string> users;
    for (const auto& proof : m_proofs)
        users.push_back(proof.first);
    return users;
}

PeerClaims::File PeerClaims::ForFile(const PeerConnection* ip_conn, quint32 i_req, bool i_serverUp, bool i_expected,
                                     QString& o_why)
{
    auto it = m_transfers.find({ip_conn->m_user, i_req});
    const qint64 now = m_now();
    const bool named = it != m_transfers.end() && it->second.acceptedMs >= 0 &&
                       now - it->second.acceptedMs < ACCEPTED_MEMORY_MS;
    if (Reaches(ip_conn))
    {
        // Each acceptance is carried once.
        if (named)
            m_transfers.erase(it);
        return File::Carry;
    }
    if (GuessingBlocked(ip_conn->m_address))
    {
        o_why = QStringLiteral("its address guessed request numbers moments ago");
        return File::Refuse;
    }
    if (!named)
    {
        o_why = QString("request %1 names no transfer we accepted from the user").arg(i_req);
        if (!i_serverUp)
        {
            const auto held = m_transfers.lower_bound({ip_conn->m_user, 0});
            NoteWrongGuess(ip_conn->m_user, ip_conn->m_address,
                           i_expected || (held != m_transfers.end() && held->first.first == ip_conn->m_user));
        }
        return File::Refuse;
    }
    if (i_serverUp)
        return File::Prove;
    const Transfer& transfer = it->second;
    if (m_guessed.count(ip_conn->m_user))
        o_why = QString("the server is down and a guess named the user; request %1 waits for the server").arg(i_req);
    else if (now - transfer.acceptedMs >= CARRY_MS)
        o_why = QString("the server is down and request %1 was accepted more than %2 s ago").arg(i_req).arg(CARRY_MS / 1000);
    else if (transfer.origin != 0 && transfer.origin != ip_conn->m_address)
        o_why = QString("the server is down and request %1 was offered from another address").arg(i_req);
    if (!o_why.isEmpty())
        return File::Refuse;
    m_transfers.erase(it);
    return File::Carry;
}

std::vector<PeerClaims::Settled> PeerClaims::Settle(const std::string& i_user, bool i_over, bool i_serverUp,
                                                    quint32 i_answeredFrom)
{
    std::vector<Settled> settled;
    auto proof = m_proofs.find(i_user);
    if (proof == m_proofs.end())
        return settled;
    const bool asked = proof->second.token != 0;
    const std::map<quint64, quint32> waiting = proof->second.waiting;
    for (const auto& claimant : waiting)
    {
        const bool reaches = ReachesFrom(i_user, claimant.second);
        if (!reaches && !i_over)
            continue;
        if (reaches && m_book.Given(i_user) != claimant.second)
            AddEvidence(i_user, claimant.second, claimant.first);
        if (!reaches && i_answeredFrom != 0)
            Disprove(i_user, claimant.second);
        else if (!reaches && i_serverUp && asked)
            m_refused.insert(claimant.first);
        else if (!reaches && i_serverUp)
            m_waitedOut.insert(claimant.first);
        m_waiting.erase(claimant.first);
        proof->second.waiting.erase(claimant.first);
        settled.push_back(Settled{claimant.first, reaches});
    }
    if (i_over && i_answeredFrom != 0)
        for (quint32 source : proof->second.sources)
            if (!ReachesFrom(i_user, source))
                Disprove(i_user, source);
    // Unanswered with the server there: he cannot be reached now, whoever
    // claims him.
    if (i_over && asked && i_answeredFrom == 0 && i_serverUp)
        m_unanswered[i_user] = m_now() + UNANSWERED_PAUSE_MS;
    // A place not asked yet, that nobody waits in any more, costs nothing.
    if (i_over || (!asked && proof->second.waiting.empty()))
        EndProof(i_user);
    return settled;
}

std::vector<std::string> PeerClaims::Expire()
{
    const qint64 now = m_now();
    std::vector<std::string> late;
    for (const auto& proof : m_proofs)
        if (now - proof.second.startedMs >= (proof.second.token != 0 ? PROOF_LIMIT_MS : CLAIM_WAIT_MS))
            late.push_back(proof.first);
    for (auto user = m_unanswered.begin(); user != m_unanswered.end();)
        user = now >= user->second ? m_unanswered.erase(user) : std::next(user);
    for (auto source = m_sourceAsked.begin(); source != m_sourceAsked.end();)
    {
        auto& times = source->second;
        times.erase(std::remove_if(times.begin(), times.end(),
                                   [&](qint64 i_at) { return now - i_at >= SOURCE_SHARE_WINDOW_MS; }),
                    times.end());
        source = times.empty() ? m_sourceAsked.erase(source) : std::next(source);
    }
    for (auto guesser = m_guessers.begin(); guesser != m_guessers.end();)
    {
        auto& times = guesser->second.atMs;
        times.erase(std::remove_if(times.begin(), times.end(), [&](qint64 i_at) { return now - i_at >= GUESS_WINDOW_MS; }),
                    times.end());
        guesser = times.empty() && now >= guesser->second.blockedUntilMs ? m_guessers.erase(guesser) : std::next(guesser);
    }
    for (auto user = m_disproved.begin(); user != m_disproved.end();)
    {
        auto& list = user->second;
        list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& i_d) { return now >= i_d.second; }),
                   list.end());
        user = list.empty() ? m_disproved.erase(user) : std::next(user);
    }
    for (auto transfer = m_transfers.begin(); transfer != m_transfers.end();)
        transfer = now - transfer->second.offeredMs >= ACCEPTED_MEMORY_MS &&
                           now - transfer->second.acceptedMs >= ACCEPTED_MEMORY_MS
                       ? m_transfers.erase(transfer)
                       : std::next(transfer);
    return late;
}

// ---------------------------------------------------------------- books

void PeerClaims::AddEvidence(const std::string& i_user, quint32 i_address, quint64 i_id)
{
    auto& list = m_evidence[i_user];
    auto it = std::find_if(list.begin(), list.end(), [&](const Evidence& i_e) { return i_e.address == i_address; });
    if (it == list.end())
    {
        if (list.size() >= MAX_PROVEN_ADDRESSES)
        {
            for (quint64 id : list.front().connections)
                m_evidenceOf.erase(id);
            list.erase(list.begin());
        }
        list.push_back(Evidence{i_address, {}});
        it = std::prev(list.end());
    }
    it->connections.insert(i_id);
    m_evidenceOf[i_id] = i_user;
    // Proved just now: it has brought our token, or the claim proved.
    m_heardMs[i_id] = m_now();
}

void PeerClaims::EndEvidence(const std::string& i_user)
{
    auto it = m_evidence.find(i_user);
    if (it == m_evidence.end())
        return;
    for (const Evidence& evidence : it->second)
        for (quint64 id : evidence.connections)
            m_evidenceOf.erase(id);
    m_evidence.erase(it);
}

void PeerClaims::EndDisproof(const std::string& i_user, quint32 i_address)
{
    auto it = m_disproved.find(i_user);
    if (it == m_disproved.end())
        return;
    auto& list = it->second;
    list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& i_d) { return i_d.first == i_address; }),
               list.end());
    if (list.empty())
        m_disproved.erase(it);
}

size_t PeerClaims::ProofsFrom(quint32 i_address, bool i_forAddress) const
{
    return size_t(std::count_if(m_proofs.begin(), m_proofs.end(), [&](const auto& i_proof) {
        return (i_proof.second.addressUntilMs != 0) == i_forAddress && i_proof.second.sources.count(i_address) > 0;
    }));
}

size_t PeerClaims::Asked() const
{
    return m_proofTokens.size();
}

size_t PeerClaims::SourcesSpent(const Proof& i_proof) const
{
    const qint64 now = m_now();
    size_t least = SIZE_MAX;
    for (quint32 source : i_proof.sources)
    {
        auto it = m_sourceAsked.find(source);
        const size_t spent = it == m_sourceAsked.end()
                                 ? 0
                                 : size_t(std::count_if(it->second.begin(), it->second.end(), [&](qint64 i_at) {
                                       return now - i_at < SOURCE_SHARE_WINDOW_MS;
                                   }));
        least = std::min(least, spent);
    }
    return least == SIZE_MAX ? 0 : least;
}

bool PeerClaims::Unanswered(const std::string& i_user) const
{
    auto it = m_unanswered.find(i_user);
    return it != m_unanswered.end() && m_now() < it->second;
}

void PeerClaims::NoteWrongGuess(const std::string& i_user, quint32 i_address, bool i_protect)
{
    const qint64 now = m_now();
    if (i_protect)
    {
        if (!m_guessed.count(i_user) && m_guessed.size() >= MAX_GUESSED_USERS)
            m_guessed.erase(std::min_element(m_guessed.begin(), m_guessed.end(), [](const auto& i_a, const auto& i_b) {
                return i_a.second < i_b.second;
            }));
        m_guessed[i_user] = now;
    }
    if (!m_guessers.count(i_address) && m_guessers.size() >= MAX_GUESSING_ADDRESSES)
    {
        // A closed address is kept before one that only guessed.
        const auto last = [](const Guesses& i_g) { return std::max(i_g.atMs.empty() ? 0 : i_g.atMs.back(), i_g.blockedUntilMs); };
        m_guessers.erase(std::min_element(m_guessers.begin(), m_guessers.end(), [&](const auto& i_a, const auto& i_b) {
            return last(i_a.second) < last(i_b.second);
        }));
    }
    Guesses& guesses = m_guessers[i_address];
    auto& times = guesses.atMs;
    times.erase(std::remove_if(times.begin(), times.end(), [&](qint64 i_at) { return now - i_at >= GUESS_WINDOW_MS; }),
                times.end());
    times.push_back(now);
    if (times.size() >= MAX_WRONG_GUESSES)
    {
        guesses.blockedUntilMs = now + GUESS_BLOCK_MS;
        times.clear();
    }
}

bool PeerClaims::GuessingBlocked(quint32 i_address) const
{
    auto it = m_guessers.find(i_address);
    return it != m_guessers.end() && m_now() < it->second.blockedUntilMs;
}

void PeerClaims::Disprove(const std::string& i_user, quint32 i_address)
{
    EndDisproof(i_user, i_address);
    auto& list = m_disproved[i_user];
    if (list.size() >= MAX_DISPROOFS_PER_USER)
        list.erase(list.begin());
    list.emplace_back(i_address, m_now() + DISPROOF_MS);
}

void PeerClaims::RoomForOffer(const std::string& i_user)
{
    // What one user offers makes room among his own offers only; past the
    // total, the user holding the most gives way.
    const auto oldestOf = [this](const std::string& i_of) {
        auto first = m_transfers.lower_bound({i_of, 0});
        auto oldest = m_transfers.end();
        size_t count = 0;
        for (auto it = first; it != m_transfers.end() && it->first.first == i_of; ++it, ++count)
            if (oldest == m_transfers.end() || it->second.offeredMs < oldest->second.offeredMs)
                oldest = it;
        return std::make_pair(oldest, count);
    };
    auto own = oldestOf(i_user);
    if (own.second >= MAX_ACCEPTED_PER_USER)
    {
        m_transfers.erase(own.first);
        return;
    }
    if (m_transfers.size() < MAX_ACCEPTED)
        return;
    std::map<std::string, size_t> counts;
    const std::string* most = nullptr;
    for (const auto& transfer : m_transfers)
    {
        const size_t count = ++counts[transfer.first.first];
        if (!most || count > counts[*most])
            most = &transfer.first.first;
    }
    if (most)
        m_transfers.erase(oldestOf(std::string(*most)).first);
}

void PeerClaims::EndProof(const std::string& i_user)
{
    auto proof = m_proofs.find(i_user);
    if (proof == m_proofs.end())
        return;
    for (const auto& claimant : proof->second.waiting)
        m_waiting.erase(claimant.first);
    m_proofTokens.erase(proof->second.token);
    m_proofs.erase(proof);
}
