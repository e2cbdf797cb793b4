#include "PeerBounds.h"

#include "PeerConnection.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

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

PeerConnection* PeerBounds::ToCloseForIncoming(quint32 i_address, QString& o_why) const
{
    const qint64 now = m_now();
    // The first to go: one that has not said who it is, the oldest of them;
    // else the one idle longest.
    const auto before = [](const PeerConnection* ip_a, const PeerConnection* ip_b) {
        const bool aKnown = ip_a->GetStage() != PeerConnection::Stage::AwaitingFirstFrame;
        const bool bKnown = ip_b->GetStage() != PeerConnection::Stage::AwaitingFirstFrame;
        if (aKnown != bKnown)
            return !aKnown;
        return aKnown ? ip_a->m_lastActivityMs < ip_b->m_lastActivityMs : ip_a->m_createdMs < ip_b->m_createdMs;
    };
    size_t total = 0;
    size_t fromAddress = 0;
    PeerConnection* first = nullptr;
    PeerConnection* firstFromAddress = nullptr;
    for (const auto& entry : m_connections)
    {
        PeerConnection* conn = entry.second;
        if (!conn->m_incoming || conn->IsClosed())
            continue;
        ++total;
        if (!first || before(conn, first))
            first = conn;
        if (conn->m_address != i_address)
            continue;
        ++fromAddress;
        if (now - conn->m_createdMs >= IDENTIFY_GRACE_MS && (!firstFromAddress || before(conn, firstFromAddress)))
            firstFromAddress = conn;
    }
    if (fromAddress >= IncomingPerAddressBound() && firstFromAddress)
    {
        o_why = QString("%1 connections from its address are open, and a new one came").arg(fromAddress);
        return firstFromAddress;
    }
    if (total >= IncomingBound())
    {
        o_why = QString("%1 incoming connections are open, and a new one came").arg(total);
        return first;
    }
    return nullptr;
}

qint64 PeerBounds::OutputHeld() const
{
    qint64 held = 0;
    std::vector<std::pair<const char*, qint64>> shared;
    for (const auto& entry : m_connections)
    {
        const PeerConnection* conn = entry.second;
        if (conn->IsClosed())
            continue;
        held += conn->OwnOutput();
        conn->ForEachShared([&](const QByteArray& i_message) { shared.emplace_back(i_message.constData(), i_message.size()); });
    }
    std::sort(shared.begin(), shared.end());
    shared.erase(std::unique(shared.begin(), shared.end()), shared.end());
    for (const auto& message : shared)
        held += message.second;
    return held;
}

bool PeerBounds::MayTakeRequest(const PeerConnection* ip_conn) const
{
    return ip_conn->OwnOutput() < MAX_UNSENT_BYTES && ip_conn->QueuedMessages() < MAX_QUEUED_MESSAGES;
}

bool PeerBounds::IsStalled(const PeerConnection* ip_conn) const
{
    return !ip_conn->IsClosed() && ip_conn->HasOutput() && m_now() - ip_conn->m_lastDrainMs >= OUTPUT_STALL_MS;
}

PeerConnection* PeerBounds::ToCloseForOutput(bool i_anyHolder) const
{
    PeerConnection* stalled = nullptr;
    qint64 stalledHolds = 0;
    PeerConnection* holder = nullptr;
    qint64 holderHolds = 0;
    for (const auto& entry : m_connections)
    {
        PeerConnection* conn = entry.second;
        if (conn->IsClosed() || !conn->HasOutput())
            continue;
        const qint64 own = conn->OwnOutput();
        if (IsStalled(conn))
        {
            qint64 holds = own;
            conn->ForEachShared([&](const QByteArray& i_message) { holds += i_message.size(); });
            if (!stalled || holds > stalledHolds)
                std::tie(stalled, stalledHolds) = std::make_pair(conn, holds);
        }
        if (own > holderHolds)
            std::tie(holder, holderHolds) = std::make_pair(conn, own);
    }
    return stalled ? stalled : i_anyHolder ? holder : nullptr;
}

bool PeerBounds::CountReceived(PeerConnection* ip_conn)
{
    const size_t held = ip_conn->IsClosed() ? 0 : ip_conn->Decoder().Held();
    m_received = m_received - ip_conn->m_heldCounted + held;
    ip_conn->m_heldCounted = held;
    return m_received > MAX_PARTIAL_FRAME_BYTES_TOTAL;
}

PeerConnection* PeerBounds::ToCloseForReceiving(const std::function<bool(const PeerConnection*)>& i_asked) const
{
    const qint64 now = m_now();
    PeerConnection* largest = nullptr;
    for (const auto& entry : m_connections)
    {
        PeerConnection* conn = entry.second;
        if (conn->m_heldCounted == 0 || (largest && conn->m_heldCounted <= largest->m_heldCounted))
            continue;
        if (now - conn->m_lastReceivedMs < RECEIVE_STALL_MS && i_asked(conn))
            continue;
        largest = conn;
    }
    return largest;
}

void PeerBounds::Forget(PeerConnection* ip_conn)
{
    m_received -= ip_conn->m_heldCounted;
    ip_conn->m_heldCounted = 0;
}
