#pragma once
// Null-safe store look-ups for the shell's widgets: a widget may outlive the
// types it made (tests reset the store between cases), so a missing type
// gives a null handle, on which every ItemPtr operation is harmless.

#include "Data.h"

// The item of the type with that value, never created; null when missing.
inline ItemPtr FindItem(const char* ip_typeName, const Value& i_value)
{
    Type* type = d->HasType(ip_typeName);
    return type ? ItemPtr(type->HasItem(i_value)) : ItemPtr();
}

// The item of the (auto-create) type with that value, created when missing.
inline ItemPtr GetItem(const char* ip_typeName, const Value& i_value)
{
    Type* type = d->HasType(ip_typeName);
    return type ? ItemPtr(type->GetItem(i_value)) : ItemPtr();
}

// A new valueless item of a null type.
inline ItemPtr NewNullItem(const char* ip_typeName)
{
    Type* type = d->HasType(ip_typeName);
    return type ? ItemPtr(type->NewItem()) : ItemPtr();
}

// Every item of the type; empty when the type is missing.
inline ItemSet AllItems(const char* ip_typeName)
{
    Type* type = d->HasType(ip_typeName);
    return type ? type->GetItems() : ItemSet();
}
