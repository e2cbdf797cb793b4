#include "PeerAddressBook.h"

#include "Log.h"

#include <QString>

#include <algorithm>
#include <utility>

PeerAddressBook::PeerAddressBook(std::function<qint64()> i_now, std::function<std::set<std::string>()> i_inUse)
    : m_now(std::move(i_now)), m_inUse(std::move(i_inUse))
{
}

PeerAddressBook::Entry* PeerAddressBook::EntryOf(const std::string& i_user)
{
    auto it = m_entries.find(i_user);
    if (it == m_entries.end())
    {
        // Every new entry counts towards the next round, taken or not.
        const bool roundDue = m_untilRound == 0;
        if (!roundDue)
            --m_untilRound;
        if (m_entries.size() >= MAX_USERS)
        {
            if (roundDue)
                MakeRoom();
            if (m_entries.size() >= MAX_USERS)
            {
                if (!m_fullLogged)
                    Log(QStringLiteral("Peer Messenger"), 1,
                        QString("The address book is full of %1 users in use: further addresses from the server "
                                "are not kept for a while")
                            .arg(m_entries.size()));
                m_fullLogged = true;
                return nullptr;
            }
        }
        it = m_entries.emplace(i_user, Entry()).first;
    }
    it->second.usedMs = m_now();
    return &it->second;
}

bool PeerAddressBook::NoteGiven(const std::string& i_user, quint32 i_address)
{
    Entry* entry = EntryOf(i_user);
    if (!entry)
        return false;
    if (i_address == 0)
    {
        // Where the user was still counts for a connection from there.
        entry->offlineMs = entry->usedMs;
        return true;
    }
    entry->given = i_address;
    entry->offlineMs = -1;
    return true;
}

quint32 PeerAddressBook::Given(const std::string& i_user) const
{
    auto it = m_entries.find(i_user);
    return it == m_entries.end() ? 0 : it->second.given;
}

bool PeerAddressBook::CalledOffline(const std::string& i_user) const
{
    auto it = m_entries.find(i_user);
    return it != m_entries.end() && it->second.offlineMs >= 0 &&
           m_now() - it->second.offlineMs < OFFLINE_MEMORY_MS;
}

void PeerAddressBook::NoteAlive(const std::string& i_user)
{
    auto it = m_entries.find(i_user);
    if (it != m_entries.end())
        it->second.offlineMs = -1;
}

void PeerAddressBook::Touch(const std::string& i_user)
{
    auto it = m_entries.find(i_user);
    if (it != m_entries.end())
        it->second.usedMs = m_now();
}

void PeerAddressBook::MakeRoom()
{
    const std::set<std::string> inUse = m_inUse();
    std::vector<std::pair<qint64, const std::string*>> idle;
    idle.reserve(m_entries.size());
    for (const auto& entry : m_entries)
        if (!inUse.count(entry.first))
            idle.emplace_back(entry.second.usedMs, &entry.first);
    const size_t count = std::min(ROOM_AT_ONCE, idle.size());
    std::nth_element(idle.begin(), idle.begin() + qsizetype(count), idle.end());
    // Names are copied first: erasing frees the strings pointed at.
    std::vector<std::string> gone;
    for (size_t k = 0; k < count; ++k)
        gone.push_back(*idle[k].second);
    for (const std::string& user : gone)
        m_entries.erase(user);
    // The round is paid for by the entries after it: the room it made, and
    // as many again refused when it made too little.
    m_untilRound = ROOM_AT_ONCE;
    if (!gone.empty())
        m_fullLogged = false;
}
