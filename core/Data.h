#pragma once
// The data store: one in-memory graph of typed items that holds all program
// state. Managers and views keep their state here and react to its events.
// Everything in this header runs on the main thread only.

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <QHash>

class Data;
class Type;
class Item;
class ItemPtr;
class ItemSet;
class PathNode;
class HandlerSet;
struct PathRegistration;

// ---------------------------------------------------------------- exceptions

struct TypeNotFoundException : std::logic_error {
    explicit TypeNotFoundException(const std::string& i_name) : std::logic_error("no type named " + i_name) {}
};
struct TypeAlreadyExistsException : std::logic_error {
    explicit TypeAlreadyExistsException(const std::string& i_name) : std::logic_error("type exists already: " + i_name) {}
};
struct NullTypeException : std::logic_error {
    explicit NullTypeException(const std::string& i_what) : std::logic_error(i_what) {}
};
struct NotRelatedException : std::logic_error {
    explicit NotRelatedException(const std::string& i_what) : std::logic_error(i_what) {}
};
struct AlreadyRelatedException : std::logic_error {
    explicit AlreadyRelatedException(const std::string& i_what) : std::logic_error(i_what) {}
};

// ---------------------------------------------------------------- values

// An item's value is always text; numbers are decimal, object addresses are
// written as unsigned decimal so they survive a round trip through AsUInt().
class Value {
public:
    Value() = default;
    Value(const std::string& i_text) : m_text(i_text) {}
    Value(std::string&& i_text) : m_text(std::move(i_text)) {}
    Value(const char* i_text) : m_text(i_text ? i_text : "") {}
    Value(char* i_text) : m_text(i_text ? i_text : "") {}
    Value(int i_n) : m_text(std::to_string(i_n)) {}
    Value(unsigned int i_n) : m_text(std::to_string(i_n)) {}
    Value(long i_n) : m_text(std::to_string(i_n)) {}
    Value(unsigned long i_n) : m_text(std::to_string(i_n)) {}
    Value(long long i_n) : m_text(std::to_string(i_n)) {}
    Value(unsigned long long i_n) : m_text(std::to_string(i_n)) {}
    template <class T>
    Value(T* ip_object) : m_text(std::to_string(static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(ip_object)))) {}
    template <class T>
    Value(const T* ip_object) : m_text(std::to_string(static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(ip_object)))) {}

    const std::string& Text() const { return m_text; }
    operator const std::string&() const { return m_text; }

private:
    std::string m_text;
};

// Read like strtoll: leading white space, an optional sign, then the leading
// decimal digits; 0 when there are none; out-of-range values saturate.
long long ParseDecimal(const std::string& i_text);
// Read like strtoull: as above, a minus sign negates modulo 2^64 and values
// above the range saturate at the maximum. Object addresses read back here.
unsigned long long ParseUnsignedDecimal(const std::string& i_text);

// ---------------------------------------------------------------- events

// The two items of a connection event; for a type's own event `from` is the
// item of that type.
struct ConnectionInfo {
    ConnectionInfo() = default;
    ConnectionInfo(Item* ip_from, Item* ip_to) : from(ip_from), to(ip_to) {}
    Item* from = nullptr;
    Item* to = nullptr;
};

class EventHandlerRoot {
public:
    EventHandlerRoot();
    EventHandlerRoot(const EventHandlerRoot&) = delete;
    EventHandlerRoot& operator=(const EventHandlerRoot&) = delete;
    virtual ~EventHandlerRoot();
    // Whether the handler object still exists.
    static bool IsLive(EventHandlerRoot* ip_handler);

    bool m_disabled = false;
    // Calls of this handler that have not returned; it is never deleted
    // while one runs, even when its owner disables it from inside.
    unsigned m_calls = 0;

private:
    friend class HandlerSet;
    HandlerSet* mp_set = nullptr;   // the owner's set, told when the handler goes
};

template <class T>
class EventHandlerBase : public EventHandlerRoot {
public:
    virtual void Handle(T i_arg) = 0;
};

// A handler written for connection events taken by value fits the store's
// connection events (which pass a reference) as well.
template <>
class EventHandlerBase<ConnectionInfo> : public EventHandlerBase<ConnectionInfo&> {
public:
    virtual void Handle(ConnectionInfo i_arg) = 0;
    void Handle(ConnectionInfo& i_arg) override { Handle(ConnectionInfo(i_arg)); }
};

// Binds an owner object and one of its member functions. The member may take
// the event's argument type or a plain copy of it (ConnectionInfo& or ConnectionInfo).
template <class Owner, class T, class M = T>
class EventHandler : public EventHandlerBase<T> {
public:
    using Method = void (Owner::*)(M);
    EventHandler(Owner* ip_owner, Method i_method) : mp_owner(ip_owner), m_method(i_method) {}
    void Handle(T i_arg) override { (mp_owner->*m_method)(i_arg); }

private:
    Owner* mp_owner;
    Method m_method;
};

// A handler that calls a function object; for small owners and tests.
template <class T>
class FunctionHandler : public EventHandlerBase<T> {
public:
    explicit FunctionHandler(std::function<void(T)> i_f) : m_f(std::move(i_f)) {}
    void Handle(T i_arg) override { m_f(i_arg); }

private:
    std::function<void(T)> m_f;
};

// Counts a running call of a handler for as long as it is in scope.
struct HandlerCall {
    explicit HandlerCall(EventHandlerRoot* ip_h) : mp_h(ip_h) { ++mp_h->m_calls; }
    ~HandlerCall() { --mp_h->m_calls; }
    HandlerCall(const HandlerCall&) = delete;
    HandlerCall& operator=(const HandlerCall&) = delete;
    EventHandlerRoot* mp_h;
};

// Owns its handlers. Notifies in registration order over a snapshot: a
// handler added while a notification runs is first called at the next one;
// a disabled handler is deleted instead of called, but only when no
// notification of this event runs and the handler itself is not running.
template <class T>
class Event {
public:
    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    ~Event();

    void Add(EventHandlerBase<T>* ip_handler) { if (ip_handler) m_handlers.push_back(ip_handler); }
    void insert(EventHandlerBase<T>* ip_handler) { Add(ip_handler); }
    bool Empty() const { return m_handlers.empty(); }
    size_t Size() const { return m_handlers.size(); }
    // Most events of most types have no handler: that case costs no call.
    void Notify(T i_arg) {
        if (!m_handlers.empty()) NotifyHandlers(i_arg);
    }
    // Deletes every handler; only outside a notification.
    void Clear();

private:
    void NotifyHandlers(T i_arg);
    void Purge();
    std::vector<EventHandlerBase<T>*> m_handlers;
    int m_running = 0;
};

// The handlers of one owner. A handler that is deleted takes itself out, so
// the set never names a freed handler; disabling flags every handler in it.
class HandlerSet {
public:
    using const_iterator = std::set<EventHandlerRoot*>::const_iterator;
    HandlerSet() = default;
    HandlerSet(const HandlerSet&) = delete;
    HandlerSet& operator=(const HandlerSet&) = delete;
    ~HandlerSet() { DisableAll(); }

    std::pair<const_iterator, bool> insert(EventHandlerRoot* ip_handler);
    size_t erase(EventHandlerRoot* ip_handler);
    size_t count(EventHandlerRoot* ip_handler) const { return m_set.count(ip_handler); }
    size_t size() const { return m_set.size(); }
    bool empty() const { return m_set.empty(); }
    const_iterator begin() const { return m_set.begin(); }
    const_iterator end() const { return m_set.end(); }
    // Flags every handler as disabled and forgets them.
    void DisableAll();
    void clear() { DisableAll(); }

private:
    friend class EventHandlerRoot;
    std::set<EventHandlerRoot*> m_set;
};

// Base of every object that registers store handlers: the handlers are
// disabled when the object goes, so none is ever called on a dead owner.
class DataHandler {
public:
    DataHandler() = default;
    DataHandler(const DataHandler&) = delete;
    DataHandler& operator=(const DataHandler&) = delete;
    virtual ~DataHandler();

    // A class whose own destructor removes store items calls this first.
    void DisableHandlers();

    // Registers a handler of this owner on an event (type or store-wide).
    template <class Owner, class T, class M>
    EventHandlerBase<T>* AddHandler(Event<T>& i_event, Owner* ip_owner, void (Owner::*i_method)(M)) {
        auto* h = new EventHandler<Owner, T, M>(ip_owner, i_method);
        Track(h);
        i_event.Add(h);
        return h;
    }
    template <class Owner, class M>
    void AddPathHandler(PathNode* ip_root, Owner* ip_owner, void (Owner::*i_method)(M));
    template <class Owner, class M>
    void AddPairHandler(Type* ip_a, Type* ip_b, Owner* ip_owner, void (Owner::*i_method)(M));
    void AddPathHandler(PathNode* ip_root, std::function<void(Item*)> i_f);

    void Track(EventHandlerRoot* ip_handler);

    HandlerSet m_handlers;
};

class DataLoadedEventHandler {
public:
    virtual ~DataLoadedEventHandler() = default;
    virtual void DataLoaded() = 0;
};

// ---------------------------------------------------------------- relations

enum OneOrMany { One = 0, Many = 1 };

struct Relation {
    OneOrMany partners = Many;   // how many items of the other type one item of this type may hold
    bool owns = false;           // this type owns the other for the sweep
    bool ownedBy = false;        // the other type owns this one
    std::vector<EventHandlerBase<ConnectionInfo&>*> pairHandlers;  // registered as (this, other)
    int running = 0;
    // The store's path subscriptions for this pair of types, as last looked up.
    void* pathBucket = nullptr;
    uint64_t pathEpoch = 0;
};

// ---------------------------------------------------------------- item sets

// An ordered set of items (oldest first, by creation serial) with set algebra.
class ItemSet {
public:
    using const_iterator = std::vector<Item*>::const_iterator;

    ItemSet() = default;
    ItemSet(Item* ip_item);
    ItemSet(const ItemPtr& i_item);
    // The vector must be in serial order without repeats.
    explicit ItemSet(std::vector<Item*>&& i_sorted) : m_items(std::move(i_sorted)) {}

    const_iterator begin() const { return m_items.begin(); }
    const_iterator end() const { return m_items.end(); }
    size_t size() const { return m_items.size(); }
    bool empty() const { return m_items.empty(); }
    void clear() { m_items.clear(); }
    size_t count(Item* ip_item) const { return Contains(ip_item) ? 1 : 0; }
    bool Contains(Item* ip_item) const;
    bool insert(Item* ip_item);
    bool erase(Item* ip_item);
    Item* First() const { return m_items.empty() ? nullptr : m_items.front(); }
    const std::vector<Item*>& Items() const { return m_items; }

    void Add(const ItemSet& i_other);
    ItemSet operator+(const ItemSet& i_other) const;
    ItemSet Common(const ItemSet& i_other) const;
    ItemSet GetItems(const char* ip_typeName) const;
    ItemSet Connected(const char* ip_typeName) const;
    ItemSet Connected(const ItemSet& i_other) const;
    ItemSet Connected(const ItemPtr& i_item) const;
    ItemSet Connected(const char* ip_typeName, const std::string& i_value) const;
    ItemSet NotConnected(const char* ip_typeName) const;
    ItemSet NotConnected(const char* ip_typeName, const std::string& i_value) const;
    ItemSet NotConnected(const ItemPtr& i_item) const;
    operator ItemPtr() const;
    void Remove();

    std::list<Item*> SortAlphabetic(bool i_ascending = true) const;
    std::list<Item*> SortAlphabeticBy(const char* ip_typeName, bool i_ascending = true) const;
    std::list<Item*> SortNumericBy(const char* ip_typeName, bool i_ascending = true) const;

    bool operator==(const ItemSet& i_other) const { return m_items == i_other.m_items; }
    bool operator!=(const ItemSet& i_other) const { return m_items != i_other.m_items; }

private:
    template <class Pred>
    ItemSet Filter(Pred i_pred) const;
    std::vector<Item*> m_items;
};

// ---------------------------------------------------------------- items

struct BigGroup;

// Items live in slabs of the store's own pool, so a connection names its
// partner by a 32-bit number rather than a pointer: half the memory per
// connection, and no allocator header per item.
using ItemId = uint32_t;
const unsigned kItemSlabShift = 12;
// The first item of every slab; slab k holds the ids k << kItemSlabShift on.
extern Item** g_itemSlabs;
// The type of every slab's items: a slab serves one type, so an item finds
// its type by its number and needs no pointer of its own.
extern Type** g_slabTypes;
inline Item* ItemOf(ItemId i_id);
// No item has this number: it marks a removed item's place.
const ItemId kNoItem = ~ItemId(0);

// The connections of one item to the items of one other type, in serial
// order. One partner is held inline, a few in a sorted array that carries
// its own size and capacity; large groups (shared flag items with many
// thousands of partners) become chunked so that inserting and removing stay
// cheap. Sixteen bytes: the form is in the low bits of the one word.
class ConnGroup {
public:
    Type* GetType() const { return mp_type; }
    bool Insert(Item* ip_item);
    // Adds a partner newer than every partner it holds and not among them.
    void AppendNewest(Item* ip_item);
    // Fills an empty group with partners in serial order without repeats.
    void Assign(const std::vector<Item*>& i_sorted);
    bool Erase(Item* ip_item);
    bool Contains(Item* ip_item) const;
    Item* First() const;
    size_t Size() const;
    void AppendTo(std::vector<Item*>& o_items) const;
    template <class F>
    void ForEach(F i_f) const;
    // Visits in serial order until the function returns false; false when
    // the walk was ended that way.
    template <class F>
    bool ForEachWhile(F i_f) const;

private:
    friend class Item;
    // Sized by the store's small-block classes, so its room is what the
    // class holds; never more than kArrayMax partners.
    struct Array {
        uint16_t size;
        uint16_t cap;
        ItemId items[1];
    };
    static const uintptr_t kArrayTag = 1;
    static const uintptr_t kBigTag = 2;
    static const uintptr_t kTagMask = 3;
    void Init(Type* ip_type) {
        mp_type = ip_type;
        m_bits = 0;
    }
    void Destroy();
    // Grows an array form to hold at least that many partners.
    void Reserve(size_t i_count);
    // Moves the array into a block of room for at least that many partners.
    void Resize(size_t i_count);
    static size_t ArrayBytes(size_t i_cap);
    uintptr_t Tag() const { return m_bits & kTagMask; }
    Array* Arr() const { return reinterpret_cast<Array*>(m_bits & ~kTagMask); }
    BigGroup* Big() const { return reinterpret_cast<BigGroup*>(m_bits & ~kTagMask); }
    uint32_t FlatSize() const { return Tag() == kArrayTag ? Arr()->size : (m_bits ? 1 : 0); }

    Type* mp_type;
    uintptr_t m_bits;   // 0: empty; untagged: the one partner's address; else an Array or BigGroup
};

// The groups of an item, for range-for.
struct ConnGroupRange {
    const ConnGroup* b;
    const ConnGroup* e;
    const ConnGroup* begin() const { return b; }
    const ConnGroup* end() const { return e; }
    size_t size() const { return size_t(e - b); }
    bool empty() const { return b == e; }
};

class Item {
public:
    Type* GetType() const { return g_slabTypes[m_id >> kItemSlabShift]; }
    const std::string& GetValue() const { return m_value; }
    uint64_t Serial() const { return m_serial; }
    ItemId Id() const { return m_id; }
    bool IsRemoved() const { return m_removed; }

    const std::string& AsString() const { return m_value; }
    const char* AsCStr() const { return m_value.c_str(); }
    long AsInt() const { return static_cast<long>(ParseDecimal(m_value)); }
    unsigned long AsUInt() const { return static_cast<unsigned long>(ParseUnsignedDecimal(m_value)); }
    long long AsInt64() const { return ParseDecimal(m_value); }

    Item* GetItem(const char* ip_typeName) const;
    Item* HasItem(const char* ip_typeName) const { return GetItem(ip_typeName); }
    Item* GetItem(Type* ip_type) const;
    void GetItems(const char* ip_typeName, ItemSet& o_items) const;
    ItemSet GetItems(const char* ip_typeName) const;
    ItemSet GetItems(Type* ip_type) const;
    void GetConnectedItems(std::map<Type*, ItemSet>& o_items) const;
    bool IsConnected(const char* ip_typeName) const;
    bool IsConnected(Item* ip_other) const;
    bool IsDisconnectedFromAll() const { return m_groupCount == 0; }
    size_t ConnectionCount() const;

    void Connect(Item* ip_other);
    // Connects to each of the partners, all of one type and in serial
    // order without repeats; a new shared file's tokens. Where this item
    // has none of that type yet and nothing is told of such links, they
    // are made in one go, otherwise one by one.
    void ConnectAll(const std::vector<Item*>& i_partners);
    void Disconnect(Item* ip_other);
    void Disconnect(const char* ip_typeName);
    void Remove();
    Item* NewItem(const char* ip_typeName);

    ConnGroupRange Groups() const { return {mp_groups, mp_groups + m_groupCount}; }

private:
    friend class Data;
    friend class Type;
    Item(std::string&& i_value, uint64_t i_serial, ItemId i_id)
        : m_value(std::move(i_value)), m_serial(i_serial), m_groupCount(0), m_removed(0), m_pinned(0), m_id(i_id) {}
    ~Item();
    Item(const Item&) = delete;
    Item& operator=(const Item&) = delete;

    ConnGroup* Group(Type* ip_type);
    const ConnGroup* Group(Type* ip_type) const;
    // Whether the two ends' groups (either may be null) link this item
    // and ip_other; reads the smaller one.
    bool LinkedThrough(const ConnGroup* ip_mine, const ConnGroup* ip_theirs, Item* ip_other) const;
    // Disconnect of a partner known to be connected.
    void DisconnectConnected(Item* ip_other);
    ConnGroup& MakeGroup(Type* ip_type);
    void DropFromGroup(Type* ip_type, Item* ip_item);
    // Takes the emptied group k out of the table.
    void DropGroup(uint16_t i_k);
    // Moves the table into a block of room for that many groups, keeping
    // the first i_keep.
    void ResizeGroups(size_t i_room, size_t i_keep);
    void FreeGroups();

    // Fifty-six bytes: the serial shares its word with the group count and
    // the flags, and the type is the slab's (see g_slabTypes).
    std::string m_value;
    uint64_t m_serial : 46;
    uint64_t m_groupCount : 16;
    uint64_t m_removed : 1;
    uint64_t m_pinned : 1;   // a path subscription names this item
    ConnGroup* mp_groups = nullptr;   // room for at least m_groupCount, see ResizeGroups
    uint32_t m_typeIndex = 0;
    ItemId m_id = 0;
};

inline Item* ItemOf(ItemId i_id) {
    return g_itemSlabs[i_id >> kItemSlabShift] + (i_id & ((1u << kItemSlabShift) - 1));
}

// The null-safe handle every caller uses: reads on a null handle give "",
// 0, null or an empty set; writes do nothing.
class ItemPtr {
public:
    ItemPtr() = default;
    ItemPtr(Item* ip_item) : mp_item(ip_item) {}

    Item* Get() const { return mp_item; }
    operator Item*() const { return mp_item; }
    Item* operator->() const { return mp_item; }
    explicit operator bool() const { return mp_item != nullptr; }
    bool IsNull() const { return mp_item == nullptr; }
    bool operator==(const ItemPtr& i_o) const { return mp_item == i_o.mp_item; }
    bool operator!=(const ItemPtr& i_o) const { return mp_item != i_o.mp_item; }
    bool operator==(Item* ip_o) const { return mp_item == ip_o; }
    bool operator!=(Item* ip_o) const { return mp_item != ip_o; }
    bool operator==(std::nullptr_t) const { return mp_item == nullptr; }
    bool operator!=(std::nullptr_t) const { return mp_item != nullptr; }

    ItemPtr operator[](const char* ip_typeName) const { return GetItem(ip_typeName); }
    ItemPtr GetItem(const char* ip_typeName) const { return mp_item ? mp_item->GetItem(ip_typeName) : nullptr; }
    ItemPtr HasItem(const char* ip_typeName) const { return GetItem(ip_typeName); }
    ItemSet GetItems(const char* ip_typeName) const;
    void GetItems(const char* ip_typeName, ItemSet& o_items) const;
    bool IsConnected(const char* ip_typeName) const { return mp_item && mp_item->IsConnected(ip_typeName); }
    bool IsConnected(const ItemPtr& i_other) const { return mp_item && i_other.mp_item && mp_item->IsConnected(i_other.mp_item); }
    bool IsDisconnectedFromAll() const { return !mp_item || mp_item->IsDisconnectedFromAll(); }

    ItemPtr Connect(const ItemPtr& i_other) const;
    ItemPtr operator+=(const ItemPtr& i_other) const { return Connect(i_other); }
    ItemPtr operator-=(const ItemPtr& i_other) const;
    void Disconnect(const char* ip_typeName) const { if (mp_item) mp_item->Disconnect(ip_typeName); }
    void Disconnect(const ItemPtr& i_other) const { *this -= i_other; }
    void Remove() const { if (mp_item) mp_item->Remove(); }
    ItemPtr NewItem(const char* ip_typeName) const { return mp_item ? mp_item->NewItem(ip_typeName) : nullptr; }

    std::string AsString() const { return mp_item ? mp_item->AsString() : std::string(); }
    const char* AsCStr() const { return mp_item ? mp_item->AsCStr() : ""; }
    long AsInt() const { return mp_item ? mp_item->AsInt() : 0; }
    unsigned long AsUInt() const { return mp_item ? mp_item->AsUInt() : 0; }
    long long AsInt64() const { return mp_item ? mp_item->AsInt64() : 0; }

private:
    Item* mp_item = nullptr;
};

// ---------------------------------------------------------------- types

// The items of a valued type by value: open addressing over item numbers,
// the keys being the items' own values. Each slot also has a byte of the
// value's hash (0: empty), so a probe compares values only on a match.
class ValueIndex {
public:
    ValueIndex() = default;
    ValueIndex(const ValueIndex&) = delete;
    ValueIndex& operator=(const ValueIndex&) = delete;

    Item* Find(std::string_view i_value) const;
    void Insert(Item* ip_item);
    // Without i_mayShrink the table keeps its size until Shrink().
    void Erase(Item* ip_item, bool i_mayShrink = true);
    // Asks for the slot where a search for the item starts; a removal of
    // many items calls it a few items ahead.
    void Prefetch(const Item* ip_item) const;
    void Prefetch(std::string_view i_value) const;
    // Halves the table while it is mostly empty, and drops the marks of
    // removed entries once they outnumber the entries held.
    void Shrink();
    void Clear();
    size_t Size() const { return m_count; }

private:
    void Rehash(size_t i_capacity);
    ItemId* Ids() const { return reinterpret_cast<ItemId*>(m_slots.get()); }
    uint8_t* Tags() const { return m_slots.get() + m_capacity * sizeof(ItemId); }
    // The item numbers of all slots, then their tags (empty, removed, or
    // a hash byte of the value held).
    std::unique_ptr<uint8_t[]> m_slots;
    size_t m_capacity = 0;   // a power of two, or 0
    size_t m_count = 0;      // entries held
    size_t m_gone = 0;       // slots marked removed
};

class Type {
public:
    const std::string& GetName() const { return m_name; }
    bool IsRoot() const { return m_root; }
    bool IsNull() const { return m_null; }
    bool IsAutoCreate() const { return m_autoCreate; }

    ItemSet GetItems() const;
    size_t ItemCount() const { return m_count; }
    // Text is looked up as it is, with no copy into a Value. The text
    // overloads are templates so that they take text only: a number, even
    // a literal 0, still goes through Value.
    template <class S>
    using IfString = std::enable_if_t<std::is_same_v<S, std::string> || std::is_same_v<S, std::string_view>, Item*>;
    template <class C>
    using IfChar = std::enable_if_t<std::is_same_v<C, char>, Item*>;
    Item* GetItem(const Value& i_value) { return GetByText(i_value.Text()); }
    template <class S>
    IfString<S> GetItem(const S& i_text) { return GetByText(i_text); }
    template <class C>
    IfChar<C> GetItem(const C* ip_text) { return GetByText(ip_text ? ip_text : ""); }
    Item* operator[](const Value& i_value) { return GetByText(i_value.Text()); }
    template <class S>
    IfString<S> operator[](const S& i_text) { return GetByText(i_text); }
    template <class C>
    IfChar<C> operator[](const C* ip_text) { return GetByText(ip_text ? ip_text : ""); }
    Item* HasItem(const Value& i_value) const { return HasByText(i_value.Text()); }
    template <class S>
    IfString<S> HasItem(const S& i_text) const { return HasByText(i_text); }
    template <class C>
    IfChar<C> HasItem(const C* ip_text) const { return HasByText(ip_text ? ip_text : ""); }
    Item* NewItem();                       // a new valueless item of a null type
    // The existing or a new item of a valued type.
    Item* NewItem(const Value& i_value) { return NewByText(i_value.Text()); }
    template <class S>
    IfString<S> NewItem(const S& i_text) { return NewByText(i_text); }
    template <class C>
    IfChar<C> NewItem(const C* ip_text) { return NewByText(ip_text ? ip_text : ""); }
    Item* GetGlobalNullItem();
    // Asks for the memory a look-up of that text will read: a walk over
    // many values calls it for the next one while it works on this one.
    void PrefetchText(std::string_view i_text) const { m_byValue.Prefetch(i_text); }

    void RelateToType(Type* ip_other, OneOrMany i_a, OneOrMany i_b, bool i_owns);
    const Relation* GetRelation(Type* ip_other) const;
    bool IsRelated(Type* ip_other) const { return GetRelation(ip_other) != nullptr; }
    const std::unordered_map<Type*, Relation>& Relations() const { return m_relations; }

    // Calls the function on each item that exists when the walk starts, in
    // creation order; items created meanwhile are not visited, items removed
    // meanwhile are skipped.
    template <class F>
    void ForEachItem(F i_f) const {
        ++m_iterating;
        struct Done {
            const Type* t;
            ~Done() { --t->m_iterating; }
        } done{this};
        const size_t n = m_items.size();
        for (size_t k = 0; k < n && k < m_items.size(); ++k)
            if (m_items[k] != kNoItem) i_f(ItemOf(m_items[k]));
    }

    Event<Item*> itemAdded;
    Event<Item*> itemRemoved;
    Event<ConnectionInfo&> connected;
    Event<ConnectionInfo&> disconnected;

private:
    friend class Data;
    friend class Item;
    Type(Data* ip_data, std::string i_name, bool i_root, bool i_null, bool i_autoCreate)
        : mp_data(ip_data), m_name(std::move(i_name)), m_root(i_root), m_null(i_null), m_autoCreate(i_autoCreate) {}
    ~Type() = default;

    Item* Create(std::string i_value);
    Item* GetByText(std::string_view i_value);
    Item* HasByText(std::string_view i_value) const;
    Item* NewByText(std::string_view i_value);
    void Unlist(Item* ip_item);
    Relation* Rel(Type* ip_other);

    Data* mp_data;
    std::string m_name;
    bool m_root, m_null, m_autoCreate;
    // Creation order, kNoItem where an item was removed; by number, which
    // takes half the room of an address.
    std::vector<ItemId> m_items;
    size_t m_count = 0;
    mutable int m_iterating = 0;  // walks in progress; no compaction meanwhile
    ValueIndex m_byValue;
    uint32_t m_poolOwner = 0;   // whose slabs of the store's pool this type's items take
    bool m_shrinkPending = false;  // listed in the store's m_shrinkTypes
    std::unordered_map<Type*, Relation> m_relations;
    std::vector<std::pair<Type*, Relation*>> m_relationList;   // the same, for look-ups
    std::vector<Type*> m_owners;  // types that own this one
};

// ---------------------------------------------------------------- paths

enum PathNodeRelation {
    ConnectedNotify = 0,    // must exist; making it triggers
    ConnectedOnly = 1,      // must exist; condition only
    NotifyOnConnect = 2,    // making it triggers
    DisconnectedNotify = 3, // must not exist; breaking it triggers
    DisconnectedOnly = 4,   // must not exist; condition only
    NotifyOnDisconnect = 5  // breaking it triggers
};

// One step of a path of types (or fixed items). The root is made with a
// store and a type name, or with one fixed item; each step registers itself
// with its parent. Build the tree with new: the store owns and deletes it
// once it is registered.
class PathNode {
public:
    PathNode(Data* ip_data, const char* ip_typeName);
    explicit PathNode(Item* ip_item);
    PathNode(PathNode* ip_parent, const char* ip_typeName, PathNodeRelation i_relation);
    PathNode(PathNode* ip_parent, Item* ip_item, PathNodeRelation i_relation);
    ~PathNode();
    PathNode(const PathNode&) = delete;
    PathNode& operator=(const PathNode&) = delete;

    Type* GetType() const { return mp_type; }
    Item* GetFixedItem() const { return mp_item; }
    PathNode* GetParent() const { return mp_parent; }
    PathNodeRelation GetRelation() const { return m_relation; }
    const std::vector<PathNode*>& Children() const { return m_children; }

    bool Matches(Item* ip_item) const { return mp_item ? ip_item == mp_item : ip_item->GetType() == mp_type; }

private:
    Type* mp_type = nullptr;
    Item* mp_item = nullptr;
    PathNode* mp_parent = nullptr;
    PathNodeRelation m_relation = ConnectedNotify;
    std::vector<PathNode*> m_children;
};

struct PathRegistration {
    PathNode* root = nullptr;
    EventHandlerBase<Item*>* handler = nullptr;
    bool dead = false;   // a fixed item of the path was removed
    int refs = 0;        // index entries that still name this registration
};

// ---------------------------------------------------------------- the store

class Data {
public:
    Data();
    ~Data();
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;

    Type* NewType(const std::string& i_name, bool i_root, bool i_null, bool i_autoCreate);
    Type* GetType(const std::string& i_name) const;
    // The same, for names given as literals: the common case, found by the
    // name's address without building a string.
    Type* GetType(const char* ip_name) const;
    Type* HasType(const std::string& i_name) const;
    void GetTypes(QHash<std::string, Type*>& o_types) const;
    void GetTypes(QHash<QString, Type*>& o_types) const;
    void GetTypes(std::map<std::string, Type*>& o_types) const;
    std::vector<Type*> TypesInOrder() const { return m_typeOrder; }

    // Pair handlers run on connection only; `from` is always the item of ip_a.
    void AddConnectionEventHandler(Type* ip_a, Type* ip_b, EventHandlerBase<ConnectionInfo&>* ip_handler);
    void AddPathEventHandler(PathNode* ip_root, EventHandlerBase<Item*>* ip_handler);

    Item* GetItem(ItemPtr i_a, ItemPtr i_b, const char* ip_typeName) const;
    Item* GetItem(const ItemSet& i_items, const char* ip_typeName) const;
    ItemSet GetItems(ItemPtr i_a, ItemPtr i_b, const char* ip_typeName) const;
    ItemSet GetItems(const ItemSet& i_items, const char* ip_typeName) const;
    ItemSet GetItemSubset(const ItemSet& i_items, const char* ip_typeName) const;

    size_t RemoveDisconnectedItems();

    uint64_t NextSerial() const { return m_nextSerial; }
    size_t ItemCount() const;

    // Drops every item, type and subscription (store-wide handlers too),
    // without events; for tests, which share one global store per process.
    void Reset();
    // Removes every item (with events) but keeps types, relations and handlers.
    void RemoveAllItems();

    Event<Item*> itemAdded;
    Event<Item*> itemRemoved;
    Event<ConnectionInfo&> connected;
    Event<ConnectionInfo&> disconnected;

    // Runs the function once the outermost store operation has returned, or
    // at once when none runs: a handler that hears of many changes in one
    // operation (a thousand entries removed) can do its follow-up work once.
    // Each call adds one run; the function must not throw.
    void AfterOperation(std::function<void()> i_f);

    // Brackets every operation so that memory of removed items (and of
    // dropped handlers) is freed only when the outermost one returns. A
    // caller that makes many changes opens one around them all, so that
    // what follows them runs once.
    struct Operation {
        explicit Operation(Data* ip_d) : mp_d(ip_d) { ++mp_d->m_depth; }
        ~Operation() { if (--mp_d->m_depth == 0) mp_d->OperationEnded(); }
        Operation(const Operation&) = delete;
        Operation& operator=(const Operation&) = delete;
        Data* mp_d;
    };

private:
    friend class Item;
    friend class Type;
    friend class DataHandler;
    friend class EventHandlerRoot;

    struct PathStep {
        PathNode* step;
        PathRegistration* reg;
    };
    struct PathBucket {
        std::vector<PathStep> steps;
        int running = 0;
    };
    struct PairHash {
        size_t operator()(const std::pair<Type*, Type*>& i_p) const {
            return std::hash<Type*>()(i_p.first) * 31 + std::hash<Type*>()(i_p.second);
        }
    };
    static std::pair<Type*, Type*> PairKey(Type* ip_a, Type* ip_b) {
        return std::less<Type*>()(ip_a, ip_b) ? std::make_pair(ip_a, ip_b) : std::make_pair(ip_b, ip_a);
    }

    uint64_t TakeSerial() { return m_nextSerial++; }
    // Destroys an item and gives its slot back to the pool.
    static void FreeItem(Item* ip_item);
    void Retire(Item* ip_item);
    void FreeRemoved();
    void OperationEnded();
    void DisposeHandler(EventHandlerRoot* ip_handler);
    void FirePairs(Relation* ip_rel, Item* ip_from, Item* ip_to);
    // The path subscriptions through links of these two types, if any.
    // ip_rel: the relation of ip_a to ip_b, which keeps the last look-up.
    PathBucket* PathBucketOf(Type* ip_a, Type* ip_b, Relation* ip_rel);
    // Whether any handler or path subscription hears of such links.
    bool LinksHeard(Type* ip_a, Type* ip_b, Relation* ip_ab, Relation* ip_ba);
    // ip_rel: the relation of ip_a's type to ip_b's, when the caller has it.
    void FirePath(Item* ip_a, Item* ip_b, bool i_connect, Relation* ip_rel = nullptr);
    void FirePathStep(PathNode* ip_step, Item* ip_parent, Item* ip_child, bool i_connect,
                      std::vector<Item*>& o_roots) const;
    bool Satisfies(PathNode* ip_node, Item* ip_item, PathNode* ip_skip) const;
    bool StepHolds(PathNode* ip_step, Item* ip_parent) const;
    void CollectRoots(PathNode* ip_node, Item* ip_item, std::vector<Item*>& o_roots) const;
    void IndexPath(PathNode* ip_node, PathRegistration* ip_reg);
    void KillPathsOf(Item* ip_item);
    void PurgeBucket(PathBucket& io_bucket);
    void PurgeRelation(Relation& io_rel);
    void FreeRegistration(PathRegistration* ip_reg);
    void UnpinPath(PathNode* ip_node, PathRegistration* ip_reg);
    void FireConnected(Item* ip_a, Item* ip_b, Relation* ip_ab, Relation* ip_ba);
    void FireDisconnected(Item* ip_a, Item* ip_b);
    void NoteDisconnected(Item* ip_a, Item* ip_b);

    std::unordered_map<std::string, Type*> m_types;
    // Types last found by a name's address; the name is still compared,
    // and the table is emptied when types go.
    static const size_t kTypeCache = 64;
    mutable std::pair<const char*, Type*> m_typeCache[kTypeCache] = {};
    std::vector<Type*> m_typeOrder;
    uint64_t m_nextSerial = 1;
    int m_depth = 0;
    std::vector<Item*> m_retired;
    std::vector<std::function<void()>> m_afterOperation;
    // Types whose value index shrinks when the outermost operation ends.
    std::vector<Type*> m_shrinkTypes;
    std::vector<EventHandlerRoot*> m_deadHandlers;
    std::unordered_set<PathRegistration*> m_paths;
    std::unordered_map<PathNode*, int> m_rootUse;
    std::unordered_map<std::pair<Type*, Type*>, PathBucket, PairHash> m_pathIndex;
    std::unordered_multimap<Item*, PathRegistration*> m_pinnedPaths;
    std::vector<Item*>* mp_sweepTouched = nullptr;
    // Items created, removed or disconnected so far, and that count when a
    // sweep last found nothing to remove.
    uint64_t m_pathEpoch = 1;   // counts path indexing; see Relation::pathEpoch
    uint64_t m_changes = 1;
    uint64_t m_sweptClean = 0;
};

extern Data* d;

// Types that several subsystems use are made by whichever comes first; the
// others take the type as it is. The same holds for relations.
Type* MakeType(const char* ip_name, bool i_root, bool i_null, bool i_autoCreate);
void Relate(Type* ip_a, Type* ip_b, OneOrMany i_aPerB, OneOrMany i_bPerA, bool i_owns = false);

// All items of the named type of the global store.
ItemSet g(const char* ip_typeName);
// The item of the named type with that value, as a set (empty when none); never creates.
ItemSet i(const char* ip_typeName, const std::string& i_value);
// The type of that name on the global store; throws TypeNotFoundException.
Type* T(const char* ip_typeName);

// Settings: a `global` key item connected to one `global_value` item. These
// do nothing and return "" while the types do not exist yet.
std::string GetSetting(const std::string& i_key);
void SetSetting(const std::string& i_key, const std::string& i_value);
void ClearSetting(const std::string& i_key);
bool IsSettingYes(const std::string& i_key);

// ---------------------------------------------------------------- templates

template <class T>
Event<T>::~Event() {
    for (auto* h : m_handlers) delete h;
}

template <class T>
void Event<T>::NotifyHandlers(T i_arg) {
    struct Running {
        Event* e;
        bool sawDisabled = false;
        ~Running() {
            if (--e->m_running == 0 && sawDisabled) e->Purge();
        }
    } running{this};
    ++m_running;
    const size_t n = m_handlers.size();
    for (size_t k = 0; k < n; ++k) {
        EventHandlerBase<T>* h = m_handlers[k];
        if (h->m_disabled) {
            running.sawDisabled = true;
            continue;
        }
        HandlerCall call(h);
        h->Handle(i_arg);
    }
}

template <class T>
void Event<T>::Purge() {
    size_t w = 0;
    for (size_t r = 0; r < m_handlers.size(); ++r) {
        if (m_handlers[r]->m_disabled && m_handlers[r]->m_calls == 0)
            delete m_handlers[r];
        else
            m_handlers[w++] = m_handlers[r];
    }
    m_handlers.resize(w);
}

template <class T>
void Event<T>::Clear() {
    std::vector<EventHandlerBase<T>*> all;
    all.swap(m_handlers);
    for (auto* h : all) delete h;
}

template <class Owner, class M>
void DataHandler::AddPathHandler(PathNode* ip_root, Owner* ip_owner, void (Owner::*i_method)(M)) {
    auto* h = new EventHandler<Owner, Item*, M>(ip_owner, i_method);
    Track(h);
    d->AddPathEventHandler(ip_root, h);
}

template <class Owner, class M>
void DataHandler::AddPairHandler(Type* ip_a, Type* ip_b, Owner* ip_owner, void (Owner::*i_method)(M)) {
    auto* h = new EventHandler<Owner, ConnectionInfo&, M>(ip_owner, i_method);
    Track(h);
    d->AddConnectionEventHandler(ip_a, ip_b, h);
}

// ---------------------------------------------------------------- ConnGroup walk

struct BigGroup {
    std::vector<std::vector<ItemId>> chunks;   // each sorted; chunk ranges ascending
    // Per chunk, a serial no lower than its last item's and lower than every
    // item's of the chunks after it.
    std::vector<uint64_t> bounds;
    size_t size = 0;
};

template <class F>
void ConnGroup::ForEach(F i_f) const {
    const uintptr_t tag = Tag();
    if (tag == kBigTag) {
        for (const auto& c : Big()->chunks)
            for (ItemId id : c) i_f(ItemOf(id));
    } else if (tag == kArrayTag) {
        const Array* arr = Arr();
        for (uint32_t k = 0; k < arr->size; ++k) i_f(ItemOf(arr->items[k]));
    } else if (m_bits) {
        i_f(reinterpret_cast<Item*>(m_bits));
    }
}

template <class F>
bool ConnGroup::ForEachWhile(F i_f) const {
    const uintptr_t tag = Tag();
    if (tag == kBigTag) {
        for (const auto& c : Big()->chunks)
            for (ItemId id : c)
                if (!i_f(ItemOf(id))) return false;
    } else if (tag == kArrayTag) {
        const Array* arr = Arr();
        for (uint32_t k = 0; k < arr->size; ++k)
            if (!i_f(ItemOf(arr->items[k]))) return false;
    } else if (m_bits) {
        return i_f(reinterpret_cast<Item*>(m_bits));
    }
    return true;
}
