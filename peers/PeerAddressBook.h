#pragma once
// Where the server says other users are: the address it gives for each
// (a user behind a router is given the router's), and, briefly, its answer
// that a user is offline: OFFLINE_MEMORY_MS at most, until a sign of life
// (an address, the server's word that he is online, a search or a
// connection of his) ends it. It spares only address requests for answers
// to searches kept for him; our own requests always ask. PeerClaims decides
// what the addresses are worth.
// Bound: MAX_USERS users. Room is made ROOM_AT_ONCE at a time, those least
// recently of use first, never those still in use; the users in use are
// asked for once a round, and a round is paid for by ROOM_AT_ONCE new
// entries at least: while a round frees less than that (nothing idle), the
// entries past the bound are not kept until the next round. Users in use are
// bounded apart (answers waiting for searchers are, below MAX_USERS), so the
// book does not fill with them in use; past that, it stops taking answers.

#include <QtGlobal>

#include <functional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

class PeerAddressBook
{
public:
    static constexpr size_t MAX_USERS = 10000;
    static constexpr size_t ROOM_AT_ONCE = MAX_USERS / 8;
    static constexpr qint64 OFFLINE_MEMORY_MS = 20000;

    // i_inUse: the users with connections or waiting messages, whose
    // entries are kept.
    PeerAddressBook(std::function<qint64()> i_now, std::function<std::set<std::string>()> i_inUse);

    // The server's answer; 0: the user is offline. False when the book is
    // full of users in use and it is not kept.
    bool NoteGiven(const std::string& i_user, quint32 i_address);
    // The address the server gives for the user; 0 when none.
    quint32 Given(const std::string& i_user) const;
    // Whether the server said, moments ago, that the user is offline.
    bool CalledOffline(const std::string& i_user) const;
    // The user showed he is online; makes no entry.
    void NoteAlive(const std::string& i_user);
    // The user's entry was of use now.
    void Touch(const std::string& i_user);
    size_t Size() const { return m_entries.size(); }

private:
    struct Entry
    {
        quint32 given = 0;
        qint64 offlineMs = -1;
        qint64 usedMs = 0;
    };
    Entry* EntryOf(const std::string& i_user);
    void MakeRoom();

    std::function<qint64()> m_now;
    std::function<std::set<std::string>()> m_inUse;
    std::unordered_map<std::string, Entry> m_entries;
    // New entries the book may still take before the next round: room made
    // by the last round, or what it pays for when it freed too little.
    size_t m_untilRound = 0;
    bool m_fullLogged = false;
};
