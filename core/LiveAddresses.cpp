#include "LiveAddresses.h"

#include <QObject>

#include <mutex>
#include <unordered_set>

namespace
{
// Transfer threads delete their sockets themselves, so the list is locked.
struct LiveList
{
    std::mutex mutex;
    std::unordered_set<uintptr_t> addresses;
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
    live.addresses.insert(reinterpret_cast<uintptr_t>(ip_object));
}

void UnlistLive(const void* ip_object)
{
    LiveList& live = Live();
    std::lock_guard<std::mutex> lock(live.mutex);
    live.addresses.erase(reinterpret_cast<uintptr_t>(ip_object));
}

bool IsListedLive(uintptr_t i_address)
{
    LiveList& live = Live();
    std::lock_guard<std::mutex> lock(live.mutex);
    return live.addresses.count(i_address) != 0;
}

void ListLiveUntilDestroyed(QObject* ip_object, const void* ip_address)
{
    if (!ip_object)
        return;
    ListLive(ip_address);
    // The address is captured: in destroyed() the object is half gone.
    QObject::connect(ip_object, &QObject::destroyed, [ip_address] { UnlistLive(ip_address); });
}
