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
        auto proof = m_proofs.find(user);
        if (proof != m_proofs.end())
            proof->second.waiting.erase(i_id);
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

PeerClaims::Step PeerClaims::Prove(const PeerConnection* ip_conn, bool i_expected, bool i_serverUp, quint32& o_token,
                                   QString& o_why)
{
    const std::string& user = ip_conn->m_user;
    const quint32 address = ip_conn->m_address;
    o_token = 0;
    if (m_waiting.count(ip_conn->Id()))
        return Step::Joined;
    if (m_refused.count(ip_conn->Id()))
        o_why = QStringLiteral("an earlier claim on it was not proven");
    else if (Disproved(user, address))
        o_why = QStringLiteral("the user answered from elsewhere moments ago");
    else if (!i_serverUp)
        o_why = QStringLiteral("the server is not there to ask the user");
    else if (!i_expected)
        o_why = QStringLiteral("nothing is expected from the user");
    if (!o_why.isEmpty())
        return Step::Refused;

    auto proof = m_proofs.find(user);
    const bool sourceInIt = proof != m_proofs.end() && proof->second.sources.count(address);
    if (!sourceInIt && ProofsFrom(address) >= MAX_PROOFS_PER_SOURCE)
    {
        o_why = QString("its address waits on %1 proofs already").arg(MAX_PROOFS_PER_SOURCE);
        return Step::Refused;
    }
    if (!sourceInIt && proof != m_proofs.end() && proof->second.sources.size() >= MAX_SOURCES_PER_PROOF)
    {
        o_why = QString("%1 addresses claim the user already").arg(MAX_SOURCES_PER_PROOF);
        return Step::Refused;
    }
    if (proof == m_proofs.end())
    {
        const qint64 now = m_now();
        const qint64 tat = std::max(m_proofTat, now);
        if (m_proofs.size() >= MAX_PROOFS)
            o_why = QString("%1 proofs are under way").arg(MAX_PROOFS);
        else if (tat - now > (PROOF_BURST - 1) * PROOF_INTERVAL_MS)
            o_why = QStringLiteral("claims have asked the server too often of late");
        if (!o_why.isEmpty())
            return Step::Refused;
        m_proofTat = tat + PROOF_INTERVAL_MS;
        Proof fresh;
        fresh.token = m_newToken();
        fresh.startedMs = now;
        proof = m_proofs.emplace(user, fresh).first;
        m_proofTokens[fresh.token] = user;
        o_token = fresh.token;
    }
    proof->second.waiting[ip_conn->Id()] = address;
    proof->second.sources.insert(address);
    m_waiting[ip_conn->Id()] = user;
    return o_token ? Step::Request : Step::Joined;
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

PeerClaims::File PeerClaims::ForFile(const PeerConnection* ip_conn, quint32 i_req, bool i_serverUp, QString& o_why)
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
    if (!named)
    {
        o_why = QString("request %1 names no transfer we accepted from the user").arg(i_req);
        return File::Refuse;
    }
    if (i_serverUp)
        return File::Prove;
    const Transfer& transfer = it->second;
    if (now - transfer.acceptedMs >= CARRY_MS)
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
        else if (!reaches && i_serverUp)
        {
            m_refused.insert(claimant.first);
        }
        m_waiting.erase(claimant.first);
        proof->second.waiting.erase(claimant.first);
        settled.push_back(Settled{claimant.first, reaches});
    }
    if (i_over && i_answeredFrom != 0)
        for (quint32 source : proof->second.sources)
            if (!ReachesFrom(i_user, source))
                Disprove(i_user, source);
    if (i_over)
        EndProof(i_user);
    return settled;
}

std::vector<std::string> PeerClaims::Expire()
{
    const qint64 now = m_now();
    std::vector<std::string> late;
    for (const auto& proof : m_proofs)
        if (now - proof.second.startedMs >= PROOF_LIMIT_MS)
            late.push_back(proof.first);
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

size_t PeerClaims::ProofsFrom(quint32 i_address) const
{
    return size_t(std::count_if(m_proofs.begin(), m_proofs.end(),
                                [&](const auto& i_proof) { return i_proof.second.sources.count(i_address) > 0; }));
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
