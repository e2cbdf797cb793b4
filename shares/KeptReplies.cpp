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

KeptReplies::Reply KeptReplies::Find(const std::string& i_key)
{
    const auto kept = m_replies.find(i_key);
    if (kept == m_replies.end())
        return nullptr;
    kept->second.lastUse = ++m_clock;
    return kept->second.reply;
}

KeptReplies::Reply KeptReplies::Keep(const std::string& i_key, Reply i_reply)
{
    if (!i_reply || i_reply->deflated.size() > MAX_BYTES)
        return i_reply;
    const size_t size = i_reply->deflated.size();
    if (const auto old = m_replies.find(i_key); old != m_replies.end())
    {
        m_bytes -= old->second.reply->deflated.size();
        m_replies.erase(old);
    }
    while (m_bytes + size > MAX_BYTES && !m_replies.empty())
    {
        const auto oldest = std::min_element(m_replies.begin(), m_replies.end(), [](const auto& i_a, const auto& i_b) {
            return i_a.second.lastUse < i_b.second.lastUse;
        });
        m_bytes -= oldest->second.reply->deflated.size();
        m_replies.erase(oldest);
    }
    m_bytes += size;
    m_replies[i_key] = Entry{i_reply, ++m_clock};
    return i_reply;
}

void KeptReplies::Clear()
{
    if (m_replies.empty())
        return;
    m_replies.clear();
    m_bytes = 0;
}
