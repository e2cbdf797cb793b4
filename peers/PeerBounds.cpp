#include "PeerBounds.h"

#include "PeerConnection.h"

#include <algorithm>
#include <limits>
#include <utility>

#include <sys/resource.h>

PeerBounds::PeerBounds(const Connections& i_connections, std::function<qint64()> i_now)
    : m_connections(i_connections), m_now(std::move(i_now))
{
}

size_t PeerBounds::IncomingBound()
{
    rlimit limit{};
    const size_t descriptors = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                                   ? size_t(limit.rlim_cur)
                                   : std::numeric_limits<size_t>::max();
    return std::clamp(descriptors / 4, MIN_INCOMING, MAX_INCOMING);
}

size_t PeerBounds::IncomingPerAddressBound()
{
    return std::max(IncomingBound() / 2, MIN_INCOMING);
}

namespace
{
bool Identified(const PeerConnection* ip_conn)
{
    return ip_conn->GetStage() != PeerConnection::Stage::AwaitingFirstFrame;
}

bool IdleLonger(const PeerConnection* ip_a, const PeerConnection* ip_b)
{
    return ip_a->m_lastActivityMs < ip_b->m_lastActivityMs;
}
}

PeerConnection* PeerBounds::ToCloseForIncoming(quint32 i_address, QString& o_why) const
{
    size_t total = 0;
    size_t unknownThere = 0;
    PeerConnection* oldestUnknown = nullptr;
    PeerConnection* oldestUnknownThere = nullptr;
    PeerConnection* idleLongest = nullptr;
    for (const auto& entry : m_connections)
    {
        PeerConnection* conn = entry.second;
        if (!conn->m_incoming || conn->IsClosed())
            continue;
        ++total;
        const bool there = conn->m_address == i_address;
        // The connections are in the order they came: the first unknown
        // one met is the oldest.
        if (Identified(conn))
        {
            if (!idleLongest || IdleLonger(conn, idleLongest))
                idleLongest = conn;
        }
        else
        {
            if (!oldestUnknown)
                oldestUnknown = conn;
            if (there && !unknownThere++)
                oldestUnknownThere = conn;
        }
    }
    // Connections that have not said who they are make room for each other
    // at their address; users who have said are kept, and bounded when they
    // say it.
    if (unknownThere >= IncomingPerAddressBound())
    {
        o_why = QString("%1 connections from its address have not said who they are, and a new one came").arg(unknownThere);
        return oldestUnknownThere;
    }
    if (total >= IncomingBound())
    {
        o_why = QString("%1 incoming connections are open, and a new one came").arg(total);
        return oldestUnknown ? oldestUnknown : idleLongest;
    }
    return nullptr;
}

PeerConnection* PeerBounds::ToCloseForIdentified(const PeerConnection* ip_identified,
                                                 const std::function<bool(const PeerConnection*)>& i_reaches,
                                                 bool i_mayWait, QString& o_why)
{
    if (!ip_identified->m_incoming)
        return nullptr;
    size_t known = 0;
    size_t waiting = 0;
    PeerConnection* idleLongest = nullptr;
    PeerConnection* idleLongestUnproved = nullptr;
    for (const auto& entry : m_connections)
    {
        PeerConnection* conn = entry.second;
        // It is called as the connection says who it is, before its stage moves on.
        if (!conn->m_incoming || conn->IsClosed() || conn->m_address != ip_identified->m_address ||
            (conn != ip_identified && !Identified(conn)))
            continue;
        ++known;
        if (conn == ip_identified)
            continue;
        waiting += m_awaitingAdmission.count(conn->Id());
        if (!idleLongest || IdleLonger(conn, idleLongest))
            idleLongest = conn;
        if (!i_reaches(conn) && (!idleLongestUnproved || IdleLonger(conn, idleLongestUnproved)))
            idleLongestUnproved = conn;
    }
    if (known <= IncomingPerAddressBound())
        return nullptr;
    o_why = QString("%1 users from its address are connected, and another said who it is").arg(known);
    // A name alone pushes out nobody who came first; what is known of a
    // user may, the idle longest of those only named first.
    if (!i_reaches(ip_identified))
    {
        // The server may place it there: it waits for the answer, within
        // the budget of such waits.
        const qint64 now = m_now();
        const qint64 tat = std::max(m_admissionTat, now);
        if (i_mayWait && waiting < MAX_ADMISSION_WAITS_PER_ADDRESS &&
            tat - now <= (ADMISSION_ASK_BURST - 1) * ADMISSION_ASK_INTERVAL_MS)
        {
            m_admissionTat = tat + ADMISSION_ASK_INTERVAL_MS;
            m_awaitingAdmission.insert(ip_identified->Id());
            o_why += QStringLiteral(", which waits for the server to say where its user is");
            return nullptr;
        }
        o_why += QStringLiteral(", which nothing proves");
        return const_cast<PeerConnection*>(ip_identified);
    }
    return idleLongestUnproved ? idleLongestUnproved : idleLongest;
}

bool PeerBounds::CountReceived(PeerConnection* ip_conn)
{
    const size_t held = ip_conn->IsClosed() ? 0 : ip_conn->Decoder().Held();
    m_received = m_received - ip_conn->m_heldCounted + held;
    ip_conn->m_heldCounted = held;
    return m_received > MAX_PARTIAL_FRAME_BYTES_TOTAL;
}

PeerConnection* PeerBounds::ToCloseForReceiving(const std::set<quint64>& i_spared) const
{
    PeerConnection* largest = nullptr;
    for (const auto& entry : m_connections)
    {
        PeerConnection* conn = entry.second;
        if (conn->m_heldCounted == 0 || (largest && conn->m_heldCounted <= largest->m_heldCounted))
            continue;
        if (i_spared.count(entry.first))
            continue;
        largest = conn;
    }
    return largest;
}

void PeerBounds::Forget(PeerConnection* ip_conn)
{
    m_awaitingAdmission.erase(ip_conn->Id());
    m_received -= ip_conn->m_heldCounted;
    ip_conn->m_heldCounted = 0;
}
