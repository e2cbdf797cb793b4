#pragma once
// Compressed replies to other users, kept until the share changes: a
// repeated share-list or folder request then costs a copy (a share list
// not even that: the whole message is kept and handed out as it is), not a
// build and a compression. A reply is kept under what was asked for and what the
// requester may see (the share roots that make it visible), never under a
// user's name: users who see alike share one copy, and a user whose view
// changes is taken to another copy at once. The owner drops every copy
// whenever what they hold can change.

#include "Compression.h"
#include "Data.h"

#include <QByteArray>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

class KeptReplies
{
public:
    using Reply = std::shared_ptr<const Compression::DeflatedTail>;

    // The key of a reply of one kind ('L', 'F', ...) about an item (or
    // none) for the requester who sees it through those share roots.
    static std::string Key(char i_kind, const Item* ip_item, const ItemSet& i_roots);

    // The kept reply, or null.
    Reply Find(const std::string& i_key);
    // Keeps the reply (unless it is null or larger than the whole budget)
    // and hands it back; the least recently used go when the budget is full.
    Reply Keep(const std::string& i_key, Reply i_reply);
    // The same for a whole message, which all who ask share; empty when
    // none is kept.
    QByteArray FindMessage(const std::string& i_key);
    QByteArray KeepMessage(const std::string& i_key, QByteArray i_message);
    void Clear();

    size_t Count() const { return m_replies.size(); }
    size_t Bytes() const { return m_bytes; }

    // Compressed bytes kept at most: the replies of a large share for a few
    // kinds of requester.
    static constexpr size_t MAX_BYTES = size_t(64) << 20;

private:
    struct Entry
    {
        Reply reply;
        QByteArray message;
        uint64_t lastUse = 0;
        size_t Bytes() const { return reply ? reply->deflated.size() : size_t(message.size()); }
    };
    const Entry* Used(const std::string& i_key);
    void Store(const std::string& i_key, Entry i_entry);
    std::unordered_map<std::string, Entry> m_replies;
    size_t m_bytes = 0;
    uint64_t m_clock = 0;
};
