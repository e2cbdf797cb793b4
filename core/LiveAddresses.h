#pragma once
// The store keeps objects as their address in decimal text. An object is
// listed here while it lives, so a stored address turns back into an object
// only while that object exists: one deleted in between reads as null, never
// as freed memory.

#include "Data.h"

#include <cstdint>

class QObject;

// Lists the object until UnlistLive; call both with the pointer type that is
// stored, so the addresses match.
void ListLive(const void* ip_object);
void UnlistLive(const void* ip_object);
bool IsListedLive(uintptr_t i_address);

// Lists a QObject at the given address until it is destroyed, in
// whichever thread that happens.
void ListLiveUntilDestroyed(QObject* ip_object, const void* ip_address);

// Lists a QObject until it is destroyed, under the address of the type it is
// stored as.
template <class Object>
Object* ListLiveUntilDestroyed(Object* ip_object)
{
    ListLiveUntilDestroyed(ip_object, static_cast<const void*>(ip_object));
    return ip_object;
}

// The listed object whose address the item holds; null for a null item, an
// item without an address, or an object that is gone.
template <class Object>
Object* LiveObject(const Item* ip_item)
{
    const uintptr_t address = ip_item ? static_cast<uintptr_t>(ip_item->AsUInt()) : 0;
    return address && IsListedLive(address) ? reinterpret_cast<Object*>(address) : nullptr;
}

template <class Object>
Object* LiveObject(const ItemPtr& i_item)
{
    return LiveObject<Object>(i_item.Get());
}

// A new object, listed: for objects the store holds by address.
template <class Object, class... Args>
Object* NewListed(Args&&... i_args)
{
    auto* object = new Object(std::forward<Args>(i_args)...);
    ListLive(object);
    return object;
}

// Unlists and deletes the listed object the item names; nothing when it is
// gone already.
template <class Object>
void DeleteListed(const Item* ip_item)
{
    if (Object* object = LiveObject<Object>(ip_item))
    {
        UnlistLive(object);
        delete object;
    }
}
