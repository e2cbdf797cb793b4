#include "LiveAddresses.h"

#include "OpenAddressing.h"

#include <QObject>

#include <mutex>
#include <vector>

namespace
{
// The addresses by open addressing: a tab of a popular search lists and
// unlists a hundred thousand rows, and a node-based set paid a heap block
// and several cache misses for each.
class AddressSet
{
public:
    void Insert(uintptr_t i_address)
    {
        if ((m_count + 1) * 2 > m_slots.size())
            Rehash(m_slots.empty() ? 64 : m_slots.size() * 2);
        size_t k = Home(i_address);
        while (m_slots[k] != 0)
        {
            if (m_slots[k] == i_address)
                return;
            k = (k + 1) & m_mask;
        }
        m_slots[k] = i_address;
        ++m_count;
    }

    void Erase(uintptr_t i_address)
    {
        if (m_count == 0)
            return;
        size_t hole = Home(i_address);
        while (m_slots[hole] != i_address)
        {
            if (m_slots[hole] == 0)
                return;
            hole = (hole + 1) & m_mask;
        }
        hole = ShiftBackAfterHole(
            hole, m_mask, [this](size_t j) { return m_slots[j] != 0; }, [this](size_t j) { return Home(m_slots[j]); },
            [this](size_t i_from, size_t i_to) { m_slots[i_to] = m_slots[i_from]; });
        m_slots[hole] = 0;
        --m_count;
        // A closed tab gives the room of its rows back.
        if (m_slots.size() > 64 && m_count * 8 < m_slots.size())
            Rehash(m_slots.size() / 2);
    }

    bool Contains(uintptr_t i_address) const
    {
        if (m_count == 0)
            return false;
        for (size_t k = Home(i_address); m_slots[k] != 0; k = (k + 1) & m_mask)
            if (m_slots[k] == i_address)
                return true;
        return false;
    }

private:
    size_t Home(uintptr_t i_address) const
    {
        return size_t((uint64_t(i_address) * 0x9E3779B97F4A7C15ull) >> m_shift);
    }

    void Rehash(size_t i_capacity)
    {
        std::vector<uintptr_t> old(i_capacity, 0);
        old.swap(m_slots);
        m_mask = i_capacity - 1;
        m_shift = 64;
        for (size_t c = i_capacity; c > 1; c >>= 1)
            --m_shift;
        for (uintptr_t address : old)
            if (address != 0)
            {
                size_t k = Home(address);
                while (m_slots[k] != 0)
                    k = (k + 1) & m_mask;
                m_slots[k] = address;
            }
    }

    std::vector<uintptr_t> m_slots;   // 0 where empty; a power of two long
    size_t m_mask = 0;
    unsigned m_shift = 64;
    size_t m_count = 0;
};

// Transfer threads delete their sockets themselves, so the list is locked.
struct LiveList
{
    std::mutex mutex;
    AddressSet addresses;
};

// Never destroyed: objects that outlive main() still unlist themselves.
LiveList& Live()
{
    static LiveList* s_live = new LiveList;
    return *s_live;
}
} // namespace

void ListLive(const void* ip_object)
{
    if (!ip_object)
        return;
    LiveList& live = Live();
    std::lock_guard<std::mutex> lock(live.mutex);
    live.addresses.Insert(reinterpret_cast<uintptr_t>(ip_object));
}

void UnlistLive(const void* ip_object)
{
    LiveList& live = Live();
    std::lock_guard<std::mutex> lock(live.mutex);
    live.addresses.Erase(reinterpret_cast<uintptr_t>(ip_object));
}

bool IsListedLive(uintptr_t i_address)
{
    LiveList& live = Live();
    std::lock_guard<std::mutex> lock(live.mutex);
    return live.addresses.Contains(i_address);
}

void ListLiveUntilDestroyed(QObject* ip_object, const void* ip_address)
{
    if (!ip_object)
        return;
    ListLive(ip_address);
    // The address is captured: in destroyed() the object is half gone.
    QObject::connect(ip_object, &QObject::destroyed, [ip_address] { UnlistLive(ip_address); });
}
