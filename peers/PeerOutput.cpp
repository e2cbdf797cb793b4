#include "PeerOutput.h"

#include "PeerConnection.h"
#include "ProtocolCodes.h"

#include <QTimer>

#include <algorithm>
#include <limits>
#include <tuple>
#include <utility>

namespace
{
// Requests that wait for room are looked at again so often while nothing
// else moves.
constexpr int LOOK_AGAIN_MS = 1000;
// The window of a rate, in this many parts: the oldest leaves it whole.
constexpr qint64 RATE_BUCKETS = 12;
// An answer that the request alone sizes: the request's texts again, with
// a reason or a few numbers.
constexpr qint64 ANSWER_OVERHEAD = 1024;
constexpr qint64 NEVER = std::numeric_limits<qint64>::max();
}

PeerOutput::PeerOutput(const Connections& i_connections, QObject* ip_context, Hooks i_hooks)
    : m_connections(i_connections), mp_context(ip_context), m_hooks(std::move(i_hooks))
{
    m_clock.start();
}

bool PeerOutput::IsRequest(quint32 i_code)
{
    switch (i_code)
    {
    case PM_GET_SHARED_FILE_LIST:
    case PM_GET_SHARED_FILES_IN_FOLDER:
    case PM_TRANSFER_REQUEST:
    case PM_QUEUE_UPLOAD:
    case PM_UPLOAD_FAILED:
    case PM_UPLOAD_PLACE_IN_LINE_REQUEST:
        return true;
    default:
        return false;
    }
}

qint64 PeerOutput::AnswerSize(quint32 i_code, quint32 i_requestSize)
{
    // A share list or a folder is as large as the share makes it.
    if (i_code == PM_GET_SHARED_FILE_LIST || i_code == PM_GET_SHARED_FILES_IN_FOLDER)
        return UNKNOWN_SIZE;
    return qint64(i_requestSize) + ANSWER_OVERHEAD;
}

qint64 PeerOutput::Book::ChargeOf(const PeerConnection* ip_conn) const
{
    for (const auto& charge : charges)
        if (charge.first == ip_conn)
            return charge.second;
    return 0;
}

PeerOutput::Book PeerOutput::Books(const PeerConnection* ip_party) const
{
    Book book;
    // Each shared message: its size and how many times it is queued.
    std::map<const char*, qint64> shared;
    for (const auto& entry : m_connections)
    {
        const PeerConnection* conn = entry.second;
        if (!conn->IsClosed())
            conn->ForEachShared([&](const QByteArray& i_message) { shared[i_message.constData()] = i_message.size(); });
    }
    for (const auto& message : shared)
        book.held += message.second;
    bool partyHolds = false;
    for (const auto& entry : m_connections)
    {
        PeerConnection* conn = entry.second;
        if (conn->IsClosed() || !conn->HasOutput())
            continue;
        const qint64 unread = conn->Unread();
        book.held += conn->OwnOutput();
        book.charges.emplace_back(conn, unread);
        if (unread < PeerBounds::SMALL_PARTY_BYTES)
            book.reserved += unread;
        partyHolds = partyHolds || conn == ip_party;
    }
    const qint64 holders = qint64(book.charges.size()) + (ip_party && !partyHolds ? 1 : 0);
    book.share = std::max(holders > 0 ? PeerBounds::MAX_OUTPUT_BYTES_TOTAL / holders : PeerBounds::MAX_OUTPUT_BYTES_TOTAL,
                          PeerBounds::FAIR_SHARE_FLOOR);
    return book;
}

bool PeerOutput::OwnRoom(const PeerConnection* ip_conn, qint64 i_size) const
{
    const qint64 own = ip_conn->OwnOutput();
    if (own == 0 && ip_conn->QueuedMessages() == 0)
        return true;
    if (ip_conn->QueuedMessages() >= PeerBounds::MAX_QUEUED_MESSAGES)
        return false;
    return i_size == UNKNOWN_SIZE ? own < PeerBounds::MAX_UNSENT_BYTES : own + i_size <= PeerBounds::MAX_UNSENT_BYTES;
}

bool PeerOutput::Fits(const PeerConnection* ip_conn, const Book& i_book, qint64 i_size, Part* o_part) const
{
    const bool small = i_size != UNKNOWN_SIZE && i_size <= PeerBounds::SMALL_ANSWER_BYTES &&
                       i_book.ChargeOf(ip_conn) + i_size <= PeerBounds::SMALL_PARTY_BYTES;
    if (o_part)
        *o_part = small ? Part::Reserve : Part::Rest;
    if (small && i_book.reserved + i_size <= PeerBounds::SMALL_ANSWER_RESERVE)
        return true;
    // The rest of the total, for any answer: it leaves the reserve free.
    const qint64 rest = std::max<qint64>(i_book.held - i_book.reserved, 0);
    const qint64 limit = PeerBounds::MAX_OUTPUT_BYTES_TOTAL - PeerBounds::SMALL_ANSWER_RESERVE;
    if (i_size == UNKNOWN_SIZE)
        return rest < limit;
    return rest == 0 || rest + i_size <= limit;
}

bool PeerOutput::MayRead(PeerConnection* ip_conn, const std::function<qint64()>& i_price)
{
    const quint64 id = ip_conn->Id();
    auto price = m_prices.find(id);
    const auto size = [&] {
        if (price == m_prices.end())
            price = m_prices.emplace(id, i_price()).first;
        return price->second;
    };
    Book book = Books(ip_conn);
    // Its own backlog first: what it asked for and has not read. An answer
    // to a connection that holds nothing, while the rest of the total has
    // room, goes unpriced.
    const bool holds = ip_conn->OwnOutput() > 0 || ip_conn->QueuedMessages() > 0;
    if (holds && !OwnRoom(ip_conn, size()))
    {
        Wait(ip_conn);
        return false;
    }
    for (;;)
    {
        Part part = Part::Rest;
        if ((!holds && price == m_prices.end() && Fits(ip_conn, book, UNKNOWN_SIZE, nullptr)) ||
            Fits(ip_conn, book, size(), &part))
        {
            m_prices.erase(id);
            return true;
        }
        qint64 drainMs = 0;
        PeerConnection* victim = ToGiveWay(book, ip_conn, part, &drainMs);
        if (!victim)
            break;
        GiveWay(victim, drainMs);
        book = Books(ip_conn);
    }
    Wait(ip_conn);
    return false;
}

bool PeerOutput::RoomForMessage(PeerConnection* ip_conn, qint64 i_size)
{
    Part part = Part::Rest;
    if (Fits(ip_conn, Books(ip_conn), i_size, &part))
        return true;
    // Qt hands its buffers to the system only from the event loop; what the
    // system takes now is not waiting.
    for (const auto& entry : m_connections)
        entry.second->Flush();
    for (;;)
    {
        const Book book = Books(ip_conn);
        if (Fits(ip_conn, book, i_size, &part))
            return true;
        qint64 drainMs = 0;
        PeerConnection* victim = ToGiveWay(book, ip_conn, part, &drainMs);
        if (!victim)
            return false;
        GiveWay(victim, drainMs);
    }
}

PeerConnection* PeerOutput::ToGiveWay(const Book& i_book, const PeerConnection* ip_for, Part i_part, qint64* o_drainMs)
{
    // A party over its share waits for its own backlog to drain.
    if (!i_book.UnderShare(ip_for))
        return nullptr;
    PeerConnection* slowest = nullptr;
    qint64 longest = PeerBounds::OUTPUT_DRAIN_LIMIT_MS;
    for (const auto& charge : i_book.charges)
    {
        // Only a holder in the part that is full makes room there.
        if (charge.first == ip_for || (charge.second < PeerBounds::SMALL_PARTY_BYTES) != (i_part == Part::Reserve))
            continue;
        const qint64 drain = DrainMs(charge.first, charge.second);
        if (drain > longest)
            std::tie(slowest, longest) = std::make_pair(charge.first, drain);
    }
    *o_drainMs = longest;
    return slowest;
}

void PeerOutput::GiveWay(PeerConnection* ip_conn, qint64 i_drainMs)
{
    const QString why = i_drainMs == NEVER ? QString("has taken none for a while")
                                           : QString("reads %1 bytes a second, %2 s for what it has yet to read")
                                                 .arg(Rate(ip_conn))
                                                 .arg(i_drainMs / 1000);
    m_hooks.close(ip_conn, QString("the output waiting on all connections passes %1 bytes, and this one %2")
                               .arg(PeerBounds::MAX_OUTPUT_BYTES_TOTAL)
                               .arg(why));
}

void PeerOutput::Wait(PeerConnection* ip_conn)
{
    if (ip_conn->IsClosed())
        return;
    if (!ip_conn->m_awaitingRoom)
    {
        ip_conn->m_awaitingRoom = true;
        m_waiting.push_back(ip_conn->Id());
    }
    LookAgainLater();
}

void PeerOutput::Queued(PeerConnection* ip_conn)
{
    ip_conn->m_lastActivityMs = m_hooks.now();
    Observe(ip_conn);
}

void PeerOutput::Written(PeerConnection* ip_conn)
{
    Observe(ip_conn);
    if (!m_waiting.empty())
        LookAgainSoon();
}

void PeerOutput::Observe(const PeerConnection* ip_conn)
{
    if (ip_conn->IsClosed())
        return;
    Meter& meter = m_meters[ip_conn->Id()];
    const qint64 now = m_clock.elapsed();
    const qint64 taken = std::max(ip_conn->Taken(), meter.taken);
    // Only time that began with bytes in the system for the other side is
    // its own: before that the bytes were still ours to hand on.
    if (meter.atMs >= 0 && meter.inSystem > 0 && now > meter.atMs)
    {
        if (meter.buckets.empty() || now - meter.buckets.back().startMs >= PeerBounds::RATE_WINDOW_MS / RATE_BUCKETS)
            meter.buckets.push_back(Bucket{now, 0, 0});
        meter.buckets.back().ms += now - meter.atMs;
        meter.buckets.back().bytes += taken - meter.taken;
    }
    while (!meter.buckets.empty() && now - meter.buckets.front().startMs >= PeerBounds::RATE_WINDOW_MS)
        meter.buckets.pop_front();
    meter.atMs = now;
    meter.taken = taken;
    meter.inSystem = ip_conn->InSystem();
}

qint64 PeerOutput::Rate(const PeerConnection* ip_conn, qint64* o_measuredMs)
{
    Observe(ip_conn);
    qint64 ms = 0;
    qint64 bytes = 0;
    auto meter = m_meters.find(ip_conn->Id());
    if (meter != m_meters.end())
        for (const Bucket& bucket : meter->second.buckets)
            ms += bucket.ms, bytes += bucket.bytes;
    if (o_measuredMs)
        *o_measuredMs = ms;
    return ms > 0 ? bytes * 1000 / ms : 0;
}

bool PeerOutput::IsStalled(const PeerConnection* ip_conn)
{
    qint64 measured = 0;
    return !ip_conn->IsClosed() && ip_conn->HasOutput() && Rate(ip_conn, &measured) == 0 &&
           measured >= PeerBounds::OUTPUT_STALL_MS;
}

qint64 PeerOutput::DrainMs(const PeerConnection* ip_conn, qint64 i_unread)
{
    qint64 measured = 0;
    const qint64 rate = Rate(ip_conn, &measured);
    if (IsStalled(ip_conn))
        return NEVER;
    // Output that has only begun has not shown how fast it goes.
    if (measured < PeerBounds::OUTPUT_MEASURE_MS)
        return 0;
    if (rate <= 0)
        return NEVER;
    return i_unread / rate * 1000 + i_unread % rate * 1000 / rate;
}

void PeerOutput::LookAgain()
{
    m_lookPosted = false;
    // One look at the books for all in line: small answers first, then
    // parties under their share; only those that fit, or may make room,
    // are read.
    std::deque<quint64> waiting = std::move(m_waiting);
    m_waiting.clear();
    Book book = Books(nullptr);
    const auto find = [&](quint64 i_id) -> PeerConnection* {
        auto it = m_connections.find(i_id);
        return it == m_connections.end() || it->second->IsClosed() ? nullptr : it->second;
    };
    const auto priced = [&](quint64 i_id) {
        auto it = m_prices.find(i_id);
        return it == m_prices.end() ? UNKNOWN_SIZE : it->second;
    };
    const auto rank = [&](quint64 i_id) {
        const PeerConnection* conn = find(i_id);
        if (!conn)
            return 2;
        const qint64 size = priced(i_id);
        return size != UNKNOWN_SIZE && size <= PeerBounds::SMALL_ANSWER_BYTES ? 0 : book.UnderShare(conn) ? 1 : 2;
    };
    std::stable_sort(waiting.begin(), waiting.end(), [&](quint64 i_a, quint64 i_b) { return rank(i_a) < rank(i_b); });
    for (quint64 id : waiting)
    {
        PeerConnection* conn = find(id);
        if (!conn)
            continue;
        if (!OwnRoom(conn, priced(id)) || !(Fits(conn, book, priced(id), nullptr) || book.UnderShare(conn)))
        {
            m_waiting.push_back(id);
            continue;
        }
        conn->m_awaitingRoom = false;
        m_hooks.read(conn);
        book = Books(nullptr);
    }
    if (!m_waiting.empty())
        LookAgainLater();
}

void PeerOutput::LookAgainSoon()
{
    if (m_lookPosted)
        return;
    m_lookPosted = true;
    QTimer::singleShot(0, mp_context, [this] { LookAgain(); });
}

void PeerOutput::LookAgainLater()
{
    // Output that has only begun may show meanwhile that it does not drain,
    // even when nothing else moves.
    if (m_lookArmed)
        return;
    m_lookArmed = true;
    QTimer::singleShot(LOOK_AGAIN_MS, mp_context, [this] {
        m_lookArmed = false;
        if (!m_waiting.empty())
            LookAgain();
    });
}

void PeerOutput::Forget(PeerConnection* ip_conn)
{
    m_meters.erase(ip_conn->Id());
    m_prices.erase(ip_conn->Id());
    // What it held may be room for a request that waits.
    if (!m_waiting.empty())
        LookAgainSoon();
}
