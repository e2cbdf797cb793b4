#include "KeptReplies.h"

#include <algorithm>

namespace
{
void AppendSerial(std::string& io_key, uint64_t i_serial)
{
    io_key.append(reinterpret_cast<const char*>(&i_serial), sizeof(i_serial));
}
} // namespace

std::string KeptReplies::Key(char i_kind, const Item* ip_item, const ItemSet& i_roots)
{
    // Serials rather than addresses: a serial is never given again, while
    // the address of a removed item may be.
    std::string key(1, i_kind);
    key.reserve(1 + sizeof(uint64_t) * (1 + i_roots.size()));
    AppendSerial(key, ip_item ? ip_item->Serial() : 0);
    for (const Item* root : i_roots)
        AppendSerial(key, root->Serial());
    return key;
}

const KeptReplies::Entry* KeptReplies::Used(const std::string& i_key)
{
    const auto kept = m_replies.find(i_key);
    if (kept == m_replies.end())
        return nullptr;
    kept->second.lastUse = ++m_clock;
    return &kept->second;
}

KeptReplies::Reply KeptReplies::Find(const std::string& i_key)
{
    const Entry* kept = Used(i_key);
    return kept ? kept->reply : nullptr;
}

QByteArray KeptReplies::FindMessage(const std::string& i_key)
{
    const Entry* kept = Used(i_key);
    return kept ? kept->message : QByteArray();
}

KeptReplies::Reply KeptReplies::Keep(const std::string& i_key, Reply i_reply)
{
    if (i_reply)
        Store(i_key, Entry{i_reply, QByteArray(), 0});
    return i_reply;
}

QByteArray KeptReplies::KeepMessage(const std::string& i_key, QByteArray i_message)
{
    if (!i_message.isEmpty())
        Store(i_key, Entry{nullptr, i_message, 0});
    return i_message;
}

void KeptReplies::Store(const std::string& i_key, Entry i_entry)
{
    const size_t size = i_entry.Bytes();
    if (size > MAX_BYTES)
        return;
    if (const auto old = m_replies.find(i_key); old != m_replies.end())
    {
        m_bytes -= old->second.Bytes();
        m_replies.erase(old);
    }
    while (m_bytes + size > MAX_BYTES && !m_replies.empty())
    {
        const auto oldest = std::min_element(m_replies.begin(), m_replies.end(), [](const auto& i_a, const auto& i_b) {
            return i_a.second.lastUse < i_b.second.lastUse;
        });
        m_bytes -= oldest->second.Bytes();
        m_replies.erase(oldest);
    }
    m_bytes += size;
    i_entry.lastUse = ++m_clock;
    m_replies[i_key] = std::move(i_entry);
}

void KeptReplies::Clear()
{
    if (m_replies.empty())
        return;
    m_replies.clear();
    m_bytes = 0;
}
