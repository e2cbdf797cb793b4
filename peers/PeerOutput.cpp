#include "PeerOutput.h"

#include "PeerConnection.h"
#include "ProtocolCodes.h"

#include <QTcpSocket>
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
// How long a count of all output is taken as it stands.
constexpr qint64 BOOK_FRESH_MS = 100;
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
    const auto charge = std::lower_bound(charges.begin(), charges.end(), ip_conn->Id(),
                                         [](const Charge& i_charge, quint64 i_id) { return i_charge.conn->Id() < i_id; });
    return charge != charges.end() && charge->conn == ip_conn ? charge->charge : 0;
}

bool PeerOutput::Count(PeerConnection* ip_conn, Charge& o_charge)
{
    // What the system holds for the other side is held as surely as what
    // waits in our queues.
    const qint64 inSystem = ip_conn->InSystem();
    if (inSystem == 0 && !ip_conn->HasOutput())
        return false;
    const qint64 own = ip_conn->OwnOutput() + inSystem;
    o_charge = Charge{ip_conn, own + ip_conn->SharedUnread(), own, ip_conn->HoldsShared()};
    return true;
}

const PeerOutput::Book& PeerOutput::Books(const PeerConnection* ip_party)
{
    // Counted whole now and then; in between each connection is counted
    // again as it queues or hands on output, and what drains meanwhile
    // only makes the count high.
    if (!m_bookValid || m_clock.elapsed() - m_bookAtMs >= BOOK_FRESH_MS)
    {
        m_book = Book();
        // Each shared message: its size, once however often it is queued,
        // and once more if small parties hold it.
        std::map<const char*, std::pair<qint64, bool>> shared;
        for (const auto& entry : m_connections)
        {
            PeerConnection* conn = entry.second;
            Charge charge;
            if (conn->IsClosed() || !Count(conn, charge))
                continue;
            m_book.held += charge.own;
            if (charge.charge < PeerBounds::SMALL_PARTY_BYTES)
                m_book.small += charge.own;
            m_book.charges.push_back(charge);
            conn->ForEachShared([&](const QByteArray& i_message) {
                auto& message = shared[i_message.constData()];
                message.first = i_message.size();
                message.second = message.second || charge.charge < PeerBounds::SMALL_PARTY_BYTES;
            });
        }
        for (const auto& message : shared)
        {
            m_book.held += message.second.first;
            if (message.second.second)
                m_book.small += message.second.first;
        }
        m_bookValid = true;
        m_bookAtMs = m_clock.elapsed();
    }
    const bool partyHolds = ip_party && m_book.ChargeOf(ip_party) > 0;
    const qint64 holders = qint64(m_book.charges.size()) + (ip_party && !partyHolds ? 1 : 0);
    m_book.share = std::max(holders > 0 ? PeerBounds::MAX_OUTPUT_BYTES_TOTAL / holders : PeerBounds::MAX_OUTPUT_BYTES_TOTAL,
                            PeerBounds::FAIR_SHARE_FLOOR);
    return m_book;
}

void PeerOutput::Recount(PeerConnection* ip_conn)
{
    if (!m_bookValid)
        return;
    auto at = std::lower_bound(m_book.charges.begin(), m_book.charges.end(), ip_conn->Id(),
                               [](const Charge& i_charge, quint64 i_id) { return i_charge.conn->Id() < i_id; });
    const bool had = at != m_book.charges.end() && at->conn == ip_conn;
    Charge charge;
    const bool holds = !ip_conn->IsClosed() && Count(ip_conn, charge);
    // Shared messages are counted once for all: counted whole again.
    if ((had && at->shares) || (holds && charge.shares))
    {
        m_bookValid = false;
        return;
    }
    if (had)
    {
        m_book.held -= at->own;
        if (at->charge < PeerBounds::SMALL_PARTY_BYTES)
            m_book.small -= at->own;
    }
    if (holds)
    {
        m_book.held += charge.own;
        if (charge.charge < PeerBounds::SMALL_PARTY_BYTES)
            m_book.small += charge.own;
    }
    if (had && holds)
        *at = charge;
    else if (had)
        m_book.charges.erase(at);
    else if (holds)
        m_book.charges.insert(at, charge);
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
    if (small && i_book.small + i_size <= PeerBounds::SMALL_ANSWER_RESERVE)
        return true;
    // The rest of the total, for any answer: what small parties hold past
    // the reserve is in it too.
    const qint64 rest = i_book.held - std::min(i_book.small, PeerBounds::SMALL_ANSWER_RESERVE);
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
    const Book* book = &Books(ip_conn);
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
        if ((!holds && price == m_prices.end() && Fits(ip_conn, *book, UNKNOWN_SIZE, nullptr)) ||
            Fits(ip_conn, *book, size(), &part))
        {
            m_prices.erase(id);
            return true;
        }
        QString why;
        PeerConnection* victim = ToGiveWay(*book, ip_conn, part, why);
        if (!victim)
        {
            // Nothing gives way for the rest in line either, this time round.
            if (m_looking && book->UnderShare(ip_conn))
                m_nothingGivesWay[int(part)] = true;
            break;
        }
        GiveWay(victim, why);
        book = &Books(ip_conn);
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
        const Book& book = Books(ip_conn);
        if (Fits(ip_conn, book, i_size, &part))
            return true;
        QString why;
        PeerConnection* victim = ToGiveWay(book, ip_conn, part, why);
        if (!victim)
            return false;
        GiveWay(victim, why);
    }
}

PeerConnection* PeerOutput::ToGiveWay(const Book& i_book, const PeerConnection* ip_for, Part i_part, QString& o_why)
{
    // A party over its share waits for its own backlog to drain.
    if (!i_book.UnderShare(ip_for))
        return nullptr;
    const bool asksFirst = i_book.ChargeOf(ip_for) == 0;
    PeerConnection* chosen = nullptr;
    // The longest to drain, then the longest without taking anything.
    std::pair<qint64, qint64> longest(PeerBounds::OUTPUT_DRAIN_LIMIT_MS, 0);
    for (const Charge& charge : i_book.charges)
    {
        // A small answer has the reserve: only those holding it give way for
        // one, never slow readers of big answers.
        if (charge.conn == ip_for || (i_part == Part::Reserve && charge.charge >= PeerBounds::SMALL_PARTY_BYTES))
            continue;
        std::pair<qint64, qint64> key(DrainMs(charge.conn, charge.charge), 0);
        // The whole total is held and a small answer waits for a party that
        // holds nothing yet: a small holder that has taken nothing for a
        // while has stopped, whatever its window says of what it took at
        // first. Parties that already hold wait for their own, so holders
        // that never read cannot close one another, nor a slow reader.
        if (i_part == Part::Reserve && asksFirst && charge.charge < PeerBounds::SMALL_PARTY_BYTES)
        {
            key.second = IdleMs(charge.conn);
            if (key.second >= PeerBounds::SMALL_HOLDER_STALL_MS)
                key.first = NEVER;
        }
        if (key > longest)
            std::tie(chosen, longest) = std::make_pair(charge.conn, key);
    }
    if (!chosen)
        return nullptr;
    if (longest.first != NEVER)
        o_why = QString("reads %1 bytes a second, %2 s for what it has yet to read").arg(Rate(chosen)).arg(longest.first / 1000);
    else if (longest.second > 0)
        o_why = QString("has taken nothing for %1 s").arg(longest.second / 1000);
    else
        o_why = QStringLiteral("has taken none for a while");
    return chosen;
}

void PeerOutput::GiveWay(PeerConnection* ip_conn, const QString& i_why)
{
    m_hooks.close(ip_conn, QString("the output waiting on all connections passes %1 bytes, and this one %2")
                               .arg(PeerBounds::MAX_OUTPUT_BYTES_TOTAL)
                               .arg(i_why));
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
    Recount(ip_conn);
}

void PeerOutput::Written(PeerConnection* ip_conn)
{
    Observe(ip_conn);
    Recount(ip_conn);
    if (!m_waiting.empty())
        LookAgainSoon();
}

void PeerOutput::Observe(const PeerConnection* ip_conn)
{
    if (ip_conn->IsClosed())
        return;
    Meter& meter = m_meters[ip_conn->Id()];
    const qint64 now = m_clock.elapsed();
    // Looks within one millisecond are one look: what was taken meanwhile
    // counts at the next, not lost with no time to put it in.
    if (now == meter.atMs)
        return;
    const qint64 inSystem = ip_conn->InSystem();
    const qint64 taken = std::max(ip_conn->HandedToSystem() - inSystem, meter.taken);
    // Only time that began with bytes in the system for the other side is
    // its own: before that the bytes were still ours to hand on. What it
    // took meanwhile it read all the same: a system that takes our bytes at
    // once often holds none when we look, and what a reader took at first
    // it may take its time over.
    const bool own = meter.inSystem > 0;
    if (meter.atMs >= 0 && now > meter.atMs && (own || taken > meter.taken))
    {
        if (meter.buckets.empty() || now - meter.buckets.back().startMs >= PeerBounds::RATE_WINDOW_MS / RATE_BUCKETS)
            meter.buckets.push_back(Bucket{now, 0, 0});
        meter.buckets.back().bytes += taken - meter.taken;
        if (own)
        {
            meter.buckets.back().ms += now - meter.atMs;
            meter.idleMs += now - meter.atMs;
        }
    }
    if (taken > meter.taken)
        meter.idleMs = 0;
    while (!meter.buckets.empty() && now - meter.buckets.front().startMs >= PeerBounds::RATE_WINDOW_MS)
        meter.buckets.pop_front();
    meter.atMs = now;
    meter.taken = taken;
    meter.inSystem = inSystem;
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

qint64 PeerOutput::IdleMs(const PeerConnection* ip_conn) const
{
    auto meter = m_meters.find(ip_conn->Id());
    return meter == m_meters.end() ? 0 : meter->second.idleMs;
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
    // parties under their share, each of those holding the least, and then
    // asking the least, first; only those that fit, or may make room, are
    // read.
    std::deque<quint64> waiting = std::move(m_waiting);
    m_waiting.clear();
    const Book* book = &Books(nullptr);
    const auto find = [&](quint64 i_id) -> PeerConnection* {
        auto it = m_connections.find(i_id);
        return it == m_connections.end() || it->second->IsClosed() ? nullptr : it->second;
    };
    const auto priced = [&](quint64 i_id) {
        auto it = m_prices.find(i_id);
        return it == m_prices.end() ? UNKNOWN_SIZE : it->second;
    };
    struct InLine
    {
        int rank;
        qint64 charge;
        qint64 asking;
        quint64 id;
    };
    std::vector<InLine> line;
    line.reserve(waiting.size());
    for (quint64 id : waiting)
    {
        const PeerConnection* conn = find(id);
        if (!conn)
        {
            line.push_back(InLine{3, 0, 0, id});
            continue;
        }
        const qint64 size = priced(id);
        const int rank = size != UNKNOWN_SIZE && size <= PeerBounds::SMALL_ANSWER_BYTES ? 0 : book->UnderShare(conn) ? 1 : 2;
        line.push_back(InLine{rank, book->ChargeOf(conn), conn->Socket() ? conn->Socket()->bytesAvailable() : 0, id});
    }
    std::stable_sort(line.begin(), line.end(), [](const InLine& i_a, const InLine& i_b) {
        return std::tie(i_a.rank, i_a.charge, i_a.asking) < std::tie(i_b.rank, i_b.charge, i_b.asking);
    });
    m_looking = true;
    m_nothingGivesWay[0] = m_nothingGivesWay[1] = false;
    for (const InLine& in : line)
    {
        PeerConnection* conn = find(in.id);
        if (!conn)
            continue;
        Part part = Part::Rest;
        const bool fits = Fits(conn, *book, priced(in.id), &part);
        if (!OwnRoom(conn, priced(in.id)) || !(fits || (book->UnderShare(conn) && !m_nothingGivesWay[int(part)])))
        {
            m_waiting.push_back(in.id);
            continue;
        }
        conn->m_awaitingRoom = false;
        m_hooks.read(conn);
        book = &Books(nullptr);
    }
    m_looking = false;
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
    Recount(ip_conn);
    // What it held may be room for a request that waits.
    if (!m_waiting.empty())
        LookAgainSoon();
}
