#include "Data.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

// A freed item's slot is poisoned for the address sanitizer, so a use after
// removal is still caught although the memory stays with the store.
#if defined(__SANITIZE_ADDRESS__)
#define TV_ITEM_POISON 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TV_ITEM_POISON 1
#endif
#endif
#ifdef TV_ITEM_POISON
#include <sanitizer/asan_interface.h>
#define TV_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define TV_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define TV_POISON(p, n) ((void)(p), (void)(n))
#define TV_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

Item** g_itemSlabs = nullptr;
Type** g_slabTypes = nullptr;

namespace {

// The store's items: slabs of numbered slots, the numbers of free slots,
// reused last freed first, and slabs given back once empty. Left to the
// end of the process on purpose, like the store's handlers.
class ItemPool {
public:
    static const size_t kSlab = size_t(1) << kItemSlabShift;

    // Each type takes its items from slabs of its own (i_owner numbers the
    // type), so that removing many items of one kind, as closing a large
    // results tab does, empties whole slabs that can go back to the heap,
    // where a few items of other kinds mixed in would keep them all.
    // The slab's type is written at every take: after the store's Reset a
    // new type may take over the number, and the kept slab, of an old one.
    void* Take(uint32_t i_owner, Type* ip_type, ItemId& o_id) {
        if (i_owner >= m_free.size()) m_free.resize(size_t(i_owner) + 1);
        std::vector<ItemId>& free = m_free[i_owner];
        if (free.empty()) AddSlab(i_owner);
        o_id = free.back();
        free.pop_back();
        ++m_live[o_id >> kItemSlabShift];
        m_types[o_id >> kItemSlabShift] = ip_type;
        void* slot = ItemOf(o_id);
        TV_UNPOISON(slot, sizeof(Item));
        return slot;
    }
    void Give(void* ip_slot, ItemId i_id) {
        TV_POISON(ip_slot, sizeof(Item));
        const size_t k = i_id >> kItemSlabShift;
        m_free[m_owner[k]].push_back(i_id);
        --m_live[k];
    }
    // Gives the slabs that hold no item back to the heap, keeping one.
    void Trim() {
        std::vector<bool> released(m_slabs.size(), false);
        bool kept = false, any = false;
        for (size_t k = 0; k < m_slabs.size(); ++k) {
            if (!m_slabs[k] || m_live[k] != 0) continue;
            if (!kept) {
                kept = true;
                continue;
            }
            TV_UNPOISON(m_slabs[k], kSlab * sizeof(Item));
            ::operator delete(static_cast<void*>(m_slabs[k]));
            m_slabs[k] = nullptr;
            m_types[k] = nullptr;
            released[k] = true;
            any = true;
        }
        if (!any) return;
        for (std::vector<ItemId>& free : m_free) {
            const size_t before = free.size();
            free.erase(std::remove_if(free.begin(), free.end(),
                                      [&](ItemId id) { return released[id >> kItemSlabShift]; }),
                       free.end());
            if (free.size() != before) free.shrink_to_fit();
        }
    }
    // Every number an item may have is below this.
    size_t IdLimit() const { return m_slabs.size() << kItemSlabShift; }

private:
    void AddSlab(uint32_t i_owner) {
        size_t k = 0;
        while (k < m_slabs.size() && m_slabs[k]) ++k;   // a slot a released slab left
        if (k == m_slabs.size()) {
            // The last number of all is kNoItem's.
            if (k == (size_t(1) << (32 - kItemSlabShift)) - 1) throw std::length_error("too many items in the store");
            m_slabs.push_back(nullptr);
            m_live.push_back(0);
            m_owner.push_back(0);
            m_types.push_back(nullptr);
            g_itemSlabs = m_slabs.data();
            g_slabTypes = m_types.data();
        }
        m_slabs[k] = static_cast<Item*>(::operator new(kSlab * sizeof(Item)));
        m_owner[k] = i_owner;
        TV_POISON(m_slabs[k], kSlab * sizeof(Item));
        // Taken from the back: the slab's first slot goes first.
        std::vector<ItemId>& free = m_free[i_owner];
        for (size_t s = kSlab; s-- > 0;) free.push_back(ItemId((k << kItemSlabShift) + s));
    }

    std::vector<Item*> m_slabs;     // null where a slab was given back
    std::vector<uint32_t> m_live;   // items alive per slab
    std::vector<uint32_t> m_owner;  // the type each slab serves
    std::vector<Type*> m_types;     // and that type itself, see g_slabTypes
    std::vector<std::vector<ItemId>> m_free;   // per type
};

ItemPool& Pool() {
    static auto* s_pool = new ItemPool;
    return *s_pool;
}

// The small blocks of the store: items' group tables and the partner arrays
// of small connection groups, millions of them for a large share. The heap
// would add a header to each and round it up, so they come from slabs of
// one size class each; a block's slab is found by masking its address. A
// slab that a removal empties serves any class next. Constant-initialised
// and never destroyed, so items may go at any point of the process's end.
class SmallPool {
public:
    static const size_t kMaxBytes = 256;

    // The room of the block that a request of that many bytes gets.
    static size_t RoomFor(size_t i_bytes) { return kSizes[ClassOf(i_bytes)]; }
    static size_t RoomOf(const void* ip_block) { return kSizes[SlabOf(ip_block)->cls]; }

    // 1 to kMaxBytes bytes, aligned to 8.
    void* Take(size_t i_bytes) {
        const unsigned c = ClassOf(i_bytes);
        Slab* s = m_room[c] ? m_room[c] : AddSlab(c);
        const uint32_t size = kSizes[c];
        void* p = s->free;
        if (p) {
            TV_UNPOISON(p, size);
            s->free = *static_cast<void**>(p);
        } else {
            p = reinterpret_cast<char*>(s) + s->bump;
            TV_UNPOISON(p, size);
            s->bump += size;
        }
        ++s->live;
        if (!s->free && s->bump + size > kSlab) Unlist(s);
        return p;
    }
    void Give(void* ip_block) {
        Slab* s = SlabOf(ip_block);
        *static_cast<void**>(ip_block) = s->free;
        s->free = ip_block;
        TV_POISON(ip_block, kSizes[s->cls]);
        if (!s->listed) List(s);
        if (--s->live == 0) Empty(s);
    }

private:
    static const size_t kSlab = size_t(64) << 10;
    // Steps of 8 bytes where most blocks are: a file's exactly sized
    // partner array wastes little.
    static const unsigned kClasses = 19;
    static constexpr uint16_t kSizes[kClasses] = {16,  24,  32,  40,  48,  56,  64,  72,  80, 88,
                                                  96, 104, 112, 120, 128, 160, 192, 224, 256};
    static unsigned ClassOf(size_t i_bytes) {
        if (i_bytes <= 16) return 0;
        return i_bytes <= 128 ? unsigned((i_bytes + 7) / 8) - 2 : 15 + unsigned((i_bytes - 129) / 32);
    }

    struct Run;
    struct Slab {
        void* free;     // freed blocks, linked through their first word
        Slab* next;     // among the class's slabs with room, or the idle slabs
        Slab* prev;
        Run* run;
        uint32_t live;
        uint32_t bump;  // offset of the first block never handed out
        uint16_t cls;
        bool listed;
    };
    static const uint32_t kHeader = (sizeof(Slab) + 15) & ~uint32_t(15);
    static Slab* SlabOf(const void* ip_block) {
        return reinterpret_cast<Slab*>(reinterpret_cast<uintptr_t>(ip_block) & ~uintptr_t(kSlab - 1));
    }

    static void Link(Slab*& io_head, Slab* ip_s) {
        ip_s->prev = nullptr;
        ip_s->next = io_head;
        if (io_head) io_head->prev = ip_s;
        io_head = ip_s;
    }
    static void Unlink(Slab*& io_head, Slab* ip_s) {
        if (ip_s->prev)
            ip_s->prev->next = ip_s->next;
        else
            io_head = ip_s->next;
        if (ip_s->next) ip_s->next->prev = ip_s->prev;
    }
    void List(Slab* ip_s) {
        Link(m_room[ip_s->cls], ip_s);
        ip_s->listed = true;
    }
    void Unlist(Slab* ip_s) {
        Unlink(m_room[ip_s->cls], ip_s);
        ip_s->listed = false;
    }
    static void Clean(Slab* ip_s) {
        ip_s->free = nullptr;
        ip_s->live = 0;
        ip_s->bump = kHeader;
        TV_POISON(reinterpret_cast<char*>(ip_s) + kHeader, kSlab - kHeader);
    }
    Slab* AddSlab(unsigned i_class) {
        Slab* s = TakeSlab();
        s->cls = uint16_t(i_class);
        Clean(s);
        List(s);
        return s;
    }
    void Empty(Slab* ip_s) {
        Unlist(ip_s);
        GiveSlab(ip_s);
    }

    // Slabs come from the heap in runs: the heap leaves a gap of up to a
    // slab in front of each aligned block and writes at its edges, so slabs
    // taken one by one would each cost a few pages besides their own. A run
    // goes back to the heap once none of its slabs is in use, but for one
    // kept for the next blocks.
    static const uint32_t kRunSlabs = 16;
    struct Run {
        char* base = nullptr;
        uint32_t taken = 0;   // slabs in use
        uint32_t fresh = 0;   // slabs handed out so far; the others were never touched
    };
    Slab* TakeSlab() {
        Slab* s = m_idle;
        if (s) {
            Unlink(m_idle, s);
        } else {
            if (!m_run || m_run->fresh == kRunSlabs) {
                auto run = std::make_unique<Run>();
                run->base = static_cast<char*>(::operator new(kRunSlabs * kSlab, std::align_val_t(kSlab)));
                TV_POISON(run->base, kRunSlabs * kSlab);
                m_run = run.release();
            }
            s = reinterpret_cast<Slab*>(m_run->base + m_run->fresh++ * kSlab);
            TV_UNPOISON(s, kHeader);
            s->run = m_run;
        }
        if (s->run->taken++ == 0 && s->run == m_emptyRun) m_emptyRun = nullptr;
        return s;
    }
    void GiveSlab(Slab* ip_s) {
        Run* run = ip_s->run;
        Link(m_idle, ip_s);
        if (--run->taken) return;
        if (!m_emptyRun) {
            m_emptyRun = run;
            return;
        }
        for (uint32_t k = 0; k < run->fresh; ++k) Unlink(m_idle, reinterpret_cast<Slab*>(run->base + k * kSlab));
        if (run == m_run) m_run = nullptr;
        TV_UNPOISON(run->base, kRunSlabs * kSlab);
        ::operator delete(static_cast<void*>(run->base), std::align_val_t(kSlab));
        delete run;
    }

    Slab* m_room[kClasses] = {};
    Slab* m_idle = nullptr;       // emptied slabs, of no class
    Run* m_run = nullptr;         // the run whose untouched slabs are handed out next
    Run* m_emptyRun = nullptr;    // the run kept with none of its slabs in use
};

SmallPool g_small;

}  // namespace

static Data g_store;   // the one store of the process
Data* d = &g_store;

void Data::FreeItem(Item* ip_item) {
    const ItemId id = ip_item->m_id;
    ip_item->~Item();
    Pool().Give(ip_item, id);
}

namespace {

// Every handler object alive. Left to the end of the process on purpose:
// handlers may go after every other static object.
std::unordered_set<EventHandlerRoot*>& LiveHandlers() {
    static auto* s_live = new std::unordered_set<EventHandlerRoot*>;
    return *s_live;
}

bool SerialBefore(const Item* a, const Item* b) { return a->Serial() < b->Serial(); }
// For searching a group's partner numbers for an item.
bool IdBefore(ItemId a, const Item* b) { return ItemOf(a)->Serial() < b->Serial(); }

// Connection groups: inline for one partner, a sorted array up to
// kArrayMax (what the largest small block holds), then sorted chunks of at
// most kChunk entries.
const uint32_t kArrayMax = 63;
const size_t kChunk = 512;
// Up to this many groups an item's table is a small block.
const size_t kSmallTable = SmallPool::kMaxBytes / sizeof(ConnGroup);

template <class P>
P* CheckedRealloc(P* ip_old, size_t i_count) {
    void* p = std::realloc(static_cast<void*>(ip_old), i_count * sizeof(P));
    if (!p) throw std::bad_alloc();
    return static_cast<P*>(p);
}

const char* SkipSpace(const char* p) {
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
    return p;
}

// Reads sign and digits; false when there is no digit.
bool ReadDecimal(const std::string& i_text, bool& o_negative, unsigned long long& o_n, bool& o_overflow) {
    const char* p = SkipSpace(i_text.c_str());
    o_negative = false;
    if (*p == '+' || *p == '-') o_negative = (*p++ == '-');
    o_n = 0;
    o_overflow = false;
    bool any = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        any = true;
        const unsigned digit = unsigned(*p - '0');
        if (o_overflow) continue;
        if (o_n > (ULLONG_MAX - digit) / 10)
            o_overflow = true;
        else
            o_n = o_n * 10 + digit;
    }
    return any;
}

}  // namespace

long long ParseDecimal(const std::string& i_text) {
    bool negative, overflow;
    unsigned long long n;
    if (!ReadDecimal(i_text, negative, n, overflow)) return 0;
    const unsigned long long limit = static_cast<unsigned long long>(LLONG_MAX);
    if (negative) {
        if (overflow || n > limit + 1) return LLONG_MIN;
        return n == limit + 1 ? LLONG_MIN : -static_cast<long long>(n);
    }
    if (overflow || n > limit) return LLONG_MAX;
    return static_cast<long long>(n);
}

unsigned long long ParseUnsignedDecimal(const std::string& i_text) {
    bool negative, overflow;
    unsigned long long n;
    if (!ReadDecimal(i_text, negative, n, overflow)) return 0;
    if (overflow) return ULLONG_MAX;
    return negative ? 0ULL - n : n;
}

// ---------------------------------------------------------------- handlers

EventHandlerRoot::EventHandlerRoot() { LiveHandlers().insert(this); }

EventHandlerRoot::~EventHandlerRoot() {
    if (mp_set) mp_set->m_set.erase(this);
    LiveHandlers().erase(this);
}

bool EventHandlerRoot::IsLive(EventHandlerRoot* ip_handler) { return LiveHandlers().count(ip_handler) != 0; }

std::pair<HandlerSet::const_iterator, bool> HandlerSet::insert(EventHandlerRoot* ip_handler) {
    if (!ip_handler) return {m_set.end(), false};
    if (ip_handler->mp_set && ip_handler->mp_set != this) ip_handler->mp_set->m_set.erase(ip_handler);
    ip_handler->mp_set = this;
    return m_set.insert(ip_handler);
}

size_t HandlerSet::erase(EventHandlerRoot* ip_handler) {
    if (!m_set.erase(ip_handler)) return 0;
    ip_handler->mp_set = nullptr;
    return 1;
}

void HandlerSet::DisableAll() {
    for (EventHandlerRoot* h : m_set) {
        h->m_disabled = true;
        h->mp_set = nullptr;
    }
    m_set.clear();
}

DataHandler::~DataHandler() { DisableHandlers(); }

void DataHandler::DisableHandlers() { m_handlers.DisableAll(); }

void DataHandler::Track(EventHandlerRoot* ip_handler) { m_handlers.insert(ip_handler); }

void DataHandler::AddPathHandler(PathNode* ip_root, std::function<void(Item*)> i_f) {
    auto* h = new FunctionHandler<Item*>(std::move(i_f));
    Track(h);
    d->AddPathEventHandler(ip_root, h);
}

// ---------------------------------------------------------------- ItemSet

ItemSet::ItemSet(Item* ip_item) {
    if (ip_item) m_items.push_back(ip_item);
}
ItemSet::ItemSet(const ItemPtr& i_item) : ItemSet(i_item.Get()) {}

bool ItemSet::Contains(Item* ip_item) const {
    if (!ip_item) return false;
    auto it = std::lower_bound(m_items.begin(), m_items.end(), ip_item, SerialBefore);
    return it != m_items.end() && *it == ip_item;
}

bool ItemSet::insert(Item* ip_item) {
    if (!ip_item) return false;
    if (m_items.empty() || SerialBefore(m_items.back(), ip_item)) {
        m_items.push_back(ip_item);
        return true;
    }
    auto it = std::lower_bound(m_items.begin(), m_items.end(), ip_item, SerialBefore);
    if (it != m_items.end() && *it == ip_item) return false;
    m_items.insert(it, ip_item);
    return true;
}

bool ItemSet::erase(Item* ip_item) {
    if (!ip_item) return false;
    auto it = std::lower_bound(m_items.begin(), m_items.end(), ip_item, SerialBefore);
    if (it == m_items.end() || *it != ip_item) return false;
    m_items.erase(it);
    return true;
}

void ItemSet::Add(const ItemSet& i_other) {
    if (i_other.m_items.empty() || &i_other == this) return;
    if (m_items.empty()) {
        m_items = i_other.m_items;
        return;
    }
    std::vector<Item*> merged;
    merged.reserve(m_items.size() + i_other.m_items.size());
    std::set_union(m_items.begin(), m_items.end(), i_other.m_items.begin(), i_other.m_items.end(),
                   std::back_inserter(merged), SerialBefore);
    m_items.swap(merged);
}

ItemSet ItemSet::operator+(const ItemSet& i_other) const {
    ItemSet r(*this);
    r.Add(i_other);
    return r;
}

ItemSet ItemSet::Common(const ItemSet& i_other) const {
    std::vector<Item*> r;
    std::set_intersection(m_items.begin(), m_items.end(), i_other.m_items.begin(), i_other.m_items.end(),
                          std::back_inserter(r), SerialBefore);
    return ItemSet(std::move(r));
}

template <class Pred>
ItemSet ItemSet::Filter(Pred i_pred) const {
    std::vector<Item*> r;
    for (Item* p : m_items)
        if (i_pred(p)) r.push_back(p);
    return ItemSet(std::move(r));
}

ItemSet ItemSet::GetItems(const char* ip_typeName) const { return d->GetItems(*this, ip_typeName); }

ItemSet ItemSet::Connected(const char* ip_typeName) const {
    Type* t = d->GetType(ip_typeName);
    return Filter([t](Item* p) { return p->GetItem(t) != nullptr; });
}

ItemSet ItemSet::Connected(const ItemSet& i_other) const {
    if (i_other.empty()) return ItemSet();
    if (i_other.size() <= 8)
        return Filter([&i_other](Item* p) {
            for (Item* o : i_other)
                if (p->IsConnected(o)) return true;
            return false;
        });
    // Against a large set, walk each item's own partners when it has fewer.
    return Filter([&i_other](Item* p) {
        if (p->ConnectionCount() < i_other.size()) {
            for (const ConnGroup& grp : p->Groups()) {
                bool hit = false;
                grp.ForEach([&](Item* o) {
                    if (!hit && i_other.Contains(o)) hit = true;
                });
                if (hit) return true;
            }
            return false;
        }
        for (Item* o : i_other)
            if (p->IsConnected(o)) return true;
        return false;
    });
}

ItemSet ItemSet::Connected(const ItemPtr& i_item) const {
    Item* o = i_item.Get();
    if (!o) return ItemSet();
    return Filter([o](Item* p) { return p->IsConnected(o); });
}

ItemSet ItemSet::Connected(const char* ip_typeName, const std::string& i_value) const {
    Item* o = d->GetType(ip_typeName)->HasItem(i_value);
    if (!o) return ItemSet();
    return Filter([o](Item* p) { return p->IsConnected(o); });
}

ItemSet ItemSet::NotConnected(const char* ip_typeName) const {
    Type* t = d->GetType(ip_typeName);
    return Filter([t](Item* p) { return p->GetItem(t) == nullptr; });
}

ItemSet ItemSet::NotConnected(const char* ip_typeName, const std::string& i_value) const {
    Item* o = d->GetType(ip_typeName)->HasItem(i_value);
    if (!o) return *this;
    return Filter([o](Item* p) { return !p->IsConnected(o); });
}

ItemSet ItemSet::NotConnected(const ItemPtr& i_item) const {
    Item* o = i_item.Get();
    if (!o) return *this;
    return Filter([o](Item* p) { return !p->IsConnected(o); });
}

ItemSet::operator ItemPtr() const { return ItemPtr(First()); }

void ItemSet::Remove() {
    Data::Operation op(d);
    // Handlers may remove items of the set meanwhile; those stay in memory
    // until the operation ends, so the flag can still be read.
    const std::vector<Item*> items = m_items;
    for (Item* p : items)
        if (!p->IsRemoved()) p->Remove();
}

namespace {
// A stable sort keeps the set's (serial) order for equal keys; descending
// reverses the whole ascending list, so equal keys come in reverse order.
template <class K, class KeyOf>
std::list<Item*> SortBy(const std::vector<Item*>& i_items, bool i_ascending, KeyOf i_keyOf) {
    std::vector<std::pair<K, Item*>> keyed;
    keyed.reserve(i_items.size());
    K key{};
    for (Item* p : i_items)
        if (i_keyOf(p, key)) keyed.emplace_back(key, p);
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
        if constexpr (std::is_pointer_v<K>)
            return *a.first < *b.first;
        else
            return a.first < b.first;
    });
    std::list<Item*> r;
    if (i_ascending)
        for (auto& k : keyed) r.push_back(k.second);
    else
        for (auto it = keyed.rbegin(); it != keyed.rend(); ++it) r.push_back(it->second);
    return r;
}
}  // namespace

std::list<Item*> ItemSet::SortAlphabetic(bool i_ascending) const {
    return SortBy<const std::string*>(m_items, i_ascending, [](Item* p, const std::string*& o_key) {
        o_key = &p->GetValue();
        return true;
    });
}

std::list<Item*> ItemSet::SortAlphabeticBy(const char* ip_typeName, bool i_ascending) const {
    Type* t = d->GetType(ip_typeName);
    return SortBy<const std::string*>(m_items, i_ascending, [t](Item* p, const std::string*& o_key) {
        Item* o = p->GetItem(t);
        if (!o) return false;
        o_key = &o->GetValue();
        return true;
    });
}

std::list<Item*> ItemSet::SortNumericBy(const char* ip_typeName, bool i_ascending) const {
    Type* t = d->GetType(ip_typeName);
    return SortBy<long long>(m_items, i_ascending, [t](Item* p, long long& o_key) {
        Item* o = p->GetItem(t);
        if (!o) return false;
        o_key = o->AsInt64();
        return true;
    });
}

// ---------------------------------------------------------------- ConnGroup

namespace {

// The chunk that holds, or would hold, an item of that serial.
size_t ChunkFor(const BigGroup& i_g, uint64_t i_serial) {
    const auto it = std::lower_bound(i_g.bounds.begin(), i_g.bounds.end(), i_serial);
    return it == i_g.bounds.end() ? i_g.chunks.size() - 1 : size_t(it - i_g.bounds.begin());
}

// A chunk is found by its serial bound; within it the number is looked for
// directly: a short sequential scan, where a search by serial would read
// the item of every step.
bool BigContains(const BigGroup& i_g, Item* ip_item) {
    if (i_g.chunks.empty()) return false;
    const auto& c = i_g.chunks[ChunkFor(i_g, ip_item->Serial())];
    return std::find(c.begin(), c.end(), ip_item->Id()) != c.end();
}

bool BigInsert(BigGroup& io_g, Item* ip_item) {
    const uint64_t serial = ip_item->Serial();
    if (io_g.chunks.empty() || io_g.bounds.back() < serial) {
        // Items usually join in creation order: append.
        if (io_g.chunks.empty() || io_g.chunks.back().size() >= kChunk) {
            io_g.chunks.emplace_back();
            io_g.chunks.back().reserve(kChunk);
            io_g.bounds.push_back(serial);
        }
        io_g.chunks.back().push_back(ip_item->Id());
        io_g.bounds.back() = serial;
        ++io_g.size;
        return true;
    }
    const size_t k = ChunkFor(io_g, serial);
    auto& c = io_g.chunks[k];
    auto it = std::lower_bound(c.begin(), c.end(), ip_item, IdBefore);
    if (it != c.end() && *it == ip_item->Id()) return false;
    c.insert(it, ip_item->Id());
    ++io_g.size;
    if (c.size() > kChunk) {
        std::vector<ItemId> upper(c.begin() + long(c.size() / 2), c.end());
        c.resize(c.size() / 2);
        io_g.chunks.insert(io_g.chunks.begin() + long(k) + 1, std::move(upper));
        io_g.bounds.insert(io_g.bounds.begin() + long(k), ItemOf(io_g.chunks[k].back())->Serial());
    }
    return true;
}

bool BigErase(BigGroup& io_g, Item* ip_item) {
    if (io_g.chunks.empty()) return false;
    const size_t k = ChunkFor(io_g, ip_item->Serial());
    auto& c = io_g.chunks[k];
    auto it = std::find(c.begin(), c.end(), ip_item->Id());
    if (it == c.end()) return false;
    // A chunk's bound may outlive its last item: it still parts the chunks.
    c.erase(it);
    --io_g.size;
    if (c.empty()) {
        io_g.chunks.erase(io_g.chunks.begin() + long(k));
        io_g.bounds.erase(io_g.bounds.begin() + long(k));
    }
    return true;
}

}  // namespace

size_t ConnGroup::Size() const { return Tag() == kBigTag ? Big()->size : FlatSize(); }

size_t ConnGroup::ArrayBytes(size_t i_cap) { return offsetof(Array, items) + i_cap * sizeof(ItemId); }

void ConnGroup::Destroy() {
    if (Tag() == kBigTag)
        delete Big();
    else if (Tag() == kArrayTag)
        g_small.Give(Arr());
    m_bits = 0;
}

void ConnGroup::Reserve(size_t i_count) {
    if (Tag() == kBigTag || i_count > kArrayMax || i_count < 2) return;
    if (Tag() == kArrayTag && Arr()->cap >= i_count) return;
    Resize(i_count);
}

void ConnGroup::Resize(size_t i_count) {
    static_assert(offsetof(Array, items) + kArrayMax * sizeof(ItemId) <= SmallPool::kMaxBytes, "arrays are small blocks");
    const size_t bytes = ArrayBytes(i_count);
    auto* arr = static_cast<Array*>(g_small.Take(bytes));
    arr->cap = uint16_t((SmallPool::RoomFor(bytes) - offsetof(Array, items)) / sizeof(ItemId));
    if (Tag() == kArrayTag) {
        Array* old = Arr();
        arr->size = old->size;
        std::memcpy(arr->items, old->items, old->size * sizeof(ItemId));
        g_small.Give(old);
    } else {
        arr->size = m_bits ? 1 : 0;
        arr->items[0] = m_bits ? reinterpret_cast<Item*>(m_bits)->Id() : 0;
    }
    m_bits = reinterpret_cast<uintptr_t>(arr) | kArrayTag;
}

bool ConnGroup::Insert(Item* ip_item) {
    if (Tag() == kBigTag) return BigInsert(*Big(), ip_item);
    if (Tag() == 0) {
        if (m_bits == 0) {
            m_bits = reinterpret_cast<uintptr_t>(ip_item);
            return true;
        }
        if (reinterpret_cast<Item*>(m_bits) == ip_item) return false;
        Reserve(2);
    }
    Array* arr = Arr();
    ItemId* b = arr->items;
    // Items usually join in creation order: then the place is the end.
    ItemId* pos = b + arr->size;
    if (arr->size && ItemOf(b[arr->size - 1])->Serial() > ip_item->Serial()) {
        pos = std::lower_bound(b, b + arr->size, ip_item, IdBefore);
        if (*pos == ip_item->Id()) return false;
    } else if (arr->size && b[arr->size - 1] == ip_item->Id()) {
        return false;
    }
    if (arr->size == arr->cap) {
        if (arr->cap >= kArrayMax) {
            auto* big = new BigGroup;
            big->chunks.emplace_back();
            big->chunks.back().reserve(kChunk);
            big->chunks.back().assign(b, b + arr->size);
            big->bounds.push_back(ItemOf(b[arr->size - 1])->Serial());
            big->size = arr->size;
            g_small.Give(arr);
            m_bits = reinterpret_cast<uintptr_t>(big) | kBigTag;
            return BigInsert(*big, ip_item);
        }
        const size_t at = size_t(pos - b);
        Reserve(std::min<size_t>(size_t(arr->cap) * 2, kArrayMax));
        arr = Arr();
        b = arr->items;
        pos = b + at;
    }
    std::memmove(pos + 1, pos, size_t(b + arr->size - pos) * sizeof(ItemId));
    *pos = ip_item->Id();
    ++arr->size;
    return true;
}

void ConnGroup::AppendNewest(Item* ip_item) {
    if (Tag() == kArrayTag && Arr()->size < Arr()->cap) {
        Array* arr = Arr();
        arr->items[arr->size++] = ip_item->Id();
        return;
    }
    Insert(ip_item);
}

void ConnGroup::Assign(const std::vector<Item*>& i_sorted) {
    if (i_sorted.size() < 2 || i_sorted.size() > kArrayMax) {
        for (Item* p : i_sorted) Insert(p);
        return;
    }
    Resize(i_sorted.size());
    Array* arr = Arr();
    for (size_t k = 0; k < i_sorted.size(); ++k) arr->items[k] = i_sorted[k]->Id();
    arr->size = uint16_t(i_sorted.size());
}

bool ConnGroup::Erase(Item* ip_item) {
    if (Tag() == kBigTag) return BigErase(*Big(), ip_item);
    if (Tag() == 0) {
        if (m_bits != 0 && reinterpret_cast<Item*>(m_bits) == ip_item) {
            m_bits = 0;
            return true;
        }
        return false;
    }
    Array* arr = Arr();
    ItemId* b = arr->items;
    ItemId* pos = std::find(b, b + arr->size, ip_item->Id());
    if (pos == b + arr->size) return false;
    std::memmove(pos, pos + 1, size_t(b + arr->size - pos - 1) * sizeof(ItemId));
    --arr->size;
    // Halved once a quarter full, so that a shared item left with few
    // partners does not keep the room of many.
    if (arr->cap > 8 && arr->size && arr->size <= arr->cap / 4) Resize(arr->cap / 2);
    return true;
}

bool ConnGroup::Contains(Item* ip_item) const {
    if (Tag() == kBigTag) return BigContains(*Big(), ip_item);
    if (Tag() == 0) return m_bits != 0 && reinterpret_cast<Item*>(m_bits) == ip_item;
    const Array* arr = Arr();
    const ItemId* b = arr->items;
    return std::find(b, b + arr->size, ip_item->Id()) != b + arr->size;
}

Item* ConnGroup::First() const {
    if (Tag() == kBigTag) return Big()->chunks.empty() ? nullptr : ItemOf(Big()->chunks.front().front());
    if (Tag() == kArrayTag) return Arr()->size ? ItemOf(Arr()->items[0]) : nullptr;
    return reinterpret_cast<Item*>(m_bits);
}

void ConnGroup::AppendTo(std::vector<Item*>& o_items) const {
    // Callers append many groups to one vector: it must grow geometrically,
    // or each group's reserve copies everything gathered so far.
    const size_t needed = o_items.size() + Size();
    if (needed > o_items.capacity()) o_items.reserve(std::max(needed, 2 * o_items.capacity()));
    ForEach([&](Item* p) { o_items.push_back(p); });
}

// ---------------------------------------------------------------- Item

Item::~Item() {
    for (uint16_t k = 0; k < m_groupCount; ++k) mp_groups[k].Destroy();
    FreeGroups();
}

ConnGroup* Item::Group(Type* ip_type) {
    for (uint16_t k = 0; k < m_groupCount; ++k)
        if (mp_groups[k].mp_type == ip_type) return &mp_groups[k];
    return nullptr;
}

const ConnGroup* Item::Group(Type* ip_type) const {
    for (uint16_t k = 0; k < m_groupCount; ++k)
        if (mp_groups[k].mp_type == ip_type) return &mp_groups[k];
    return nullptr;
}

// A table of up to kSmallTable groups is a small block, whose room its slab
// tells; a larger one is of the heap, with room for at least the next power
// of two of its count.
void Item::ResizeGroups(size_t i_room, size_t i_keep) {
    const bool wasHeap = m_groupCount > kSmallTable;
    if (wasHeap && i_room > kSmallTable) {
        mp_groups = CheckedRealloc<ConnGroup>(mp_groups, i_room);
        return;
    }
    void* p = i_room <= kSmallTable ? g_small.Take(i_room * sizeof(ConnGroup)) : CheckedRealloc<char>(nullptr, i_room * sizeof(ConnGroup));
    if (i_keep) std::memcpy(p, static_cast<void*>(mp_groups), i_keep * sizeof(ConnGroup));
    FreeGroups();
    mp_groups = static_cast<ConnGroup*>(p);
}

void Item::FreeGroups() {
    if (!mp_groups) return;
    if (m_groupCount > kSmallTable)
        std::free(mp_groups);
    else
        g_small.Give(mp_groups);
    mp_groups = nullptr;
}

ConnGroup& Item::MakeGroup(Type* ip_type) {
    if (ConnGroup* g = Group(ip_type)) return *g;
    const size_t count = m_groupCount;
    if (count == 0x8000) throw std::length_error("too many related types on one item");
    if (count == 0) {
        ResizeGroups(1, 0);
    } else if (count <= kSmallTable) {
        if (count * sizeof(ConnGroup) == SmallPool::RoomOf(mp_groups))
            ResizeGroups(count == kSmallTable ? 2 * count : count + 1, count);
    } else if ((count & (count - 1)) == 0) {
        ResizeGroups(count * 2, count);
    }
    ConnGroup& g = mp_groups[m_groupCount++];
    g.Init(ip_type);
    return g;
}

void Item::DropGroup(uint16_t i_k) {
    mp_groups[i_k].Destroy();
    std::memmove(static_cast<void*>(&mp_groups[i_k]), &mp_groups[i_k + 1], (m_groupCount - i_k - 1) * sizeof(ConnGroup));
    const size_t left = m_groupCount - 1u;
    if (left == 0)
        FreeGroups();
    else if (left == kSmallTable)
        ResizeGroups(left, left);
    m_groupCount = uint16_t(left);
}

void Item::DropFromGroup(Type* ip_type, Item* ip_item) {
    for (uint16_t k = 0; k < m_groupCount; ++k) {
        ConnGroup& g = mp_groups[k];
        if (g.mp_type != ip_type) continue;
        g.Erase(ip_item);
        if (g.Size() == 0) DropGroup(k);
        return;
    }
}

Item* Item::GetItem(Type* ip_type) const {
    const ConnGroup* g = Group(ip_type);
    return g ? g->First() : nullptr;
}

Item* Item::GetItem(const char* ip_typeName) const { return GetItem(d->GetType(ip_typeName)); }

void Item::GetItems(const char* ip_typeName, ItemSet& o_items) const { o_items = GetItems(d->GetType(ip_typeName)); }

ItemSet Item::GetItems(const char* ip_typeName) const { return GetItems(d->GetType(ip_typeName)); }

ItemSet Item::GetItems(Type* ip_type) const {
    std::vector<Item*> r;
    if (const ConnGroup* g = Group(ip_type)) g->AppendTo(r);
    return ItemSet(std::move(r));
}

void Item::GetConnectedItems(std::map<Type*, ItemSet>& o_items) const {
    o_items.clear();
    for (const ConnGroup& g : Groups()) {
        std::vector<Item*> r;
        g.AppendTo(r);
        o_items[g.GetType()] = ItemSet(std::move(r));
    }
}

bool Item::IsConnected(const char* ip_typeName) const { return GetItem(d->GetType(ip_typeName)) != nullptr; }

bool Item::IsConnected(Item* ip_other) const {
    if (!ip_other) return false;
    return LinkedThrough(Group(ip_other->GetType()), ip_other->Group(GetType()), ip_other);
}

bool Item::LinkedThrough(const ConnGroup* ip_mine, const ConnGroup* ip_theirs, Item* ip_other) const {
    if (!ip_mine || !ip_theirs) return false;
    // Look in the smaller of the two ends.
    if (ip_theirs->Size() < ip_mine->Size()) return ip_theirs->Contains(const_cast<Item*>(this));
    return ip_mine->Contains(ip_other);
}

size_t Item::ConnectionCount() const {
    size_t n = 0;
    for (const ConnGroup& g : Groups()) n += g.Size();
    return n;
}

void Item::Connect(Item* ip_other) {
    if (!ip_other || ip_other == this) return;
    Type* const type = GetType();
    Type* const otherType = ip_other->GetType();
    Relation* mine = type->Rel(otherType);
    if (!mine)
        throw NotRelatedException(type->GetName() + " is not related to " + otherType->GetName());
    if (m_removed || ip_other->m_removed) return;
    Data::Operation op(d);
    // Each end's group is looked up once: this is the store's busiest path.
    ConnGroup* mineGroup = Group(otherType);
    ConnGroup* theirGroup = ip_other->Group(type);
    if (LinkedThrough(mineGroup, theirGroup, ip_other)) return;
    Relation* theirs = otherType->Rel(type);
    bool dropped = false;
    if (mine->partners == One && mineGroup) {
        Disconnect(mineGroup->First());
        dropped = true;
    }
    // Looked up again: a handler of that disconnection may have changed
    // the other item's groups.
    if (theirs->partners == One)
        if (Item* old = ip_other->GetItem(type)) {
            ip_other->Disconnect(old);
            dropped = true;
        }
    // A handler of those disconnections may have changed the picture, and
    // the groups may have moved or gone.
    if (dropped) {
        if (m_removed || ip_other->m_removed || IsConnected(ip_other)) return;
        if (mine->partners == One && GetItem(otherType)) return;
        if (theirs->partners == One && ip_other->GetItem(type)) return;
        mineGroup = nullptr;
        theirGroup = nullptr;
    }
    (mineGroup ? *mineGroup : MakeGroup(otherType)).Insert(ip_other);
    (theirGroup ? *theirGroup : ip_other->MakeGroup(type)).Insert(this);
    d->FireConnected(this, ip_other, mine, theirs);
}

void Item::ConnectAll(const std::vector<Item*>& i_partners) {
    if (i_partners.empty()) return;
    Type* type = GetType();
    Type* other = i_partners.front()->GetType();
    Relation* mine = type->Rel(other);
    Relation* theirs = mine ? other->Rel(type) : nullptr;
    // In one go only where no rule of Connect could act: no partner of
    // that type to replace or repeat, no one-partner relation, no event.
    bool inOneGo = mine && other != type && !m_removed && mine->partners == Many && theirs->partners == Many &&
                   !Group(other) && !d->LinksHeard(type, other, mine, theirs);
    for (size_t k = 0; inOneGo && k < i_partners.size(); ++k) {
        const Item* p = i_partners[k];
        inOneGo = p->GetType() == other && !p->m_removed && (k == 0 || i_partners[k - 1]->Serial() < p->Serial());
        __builtin_prefetch(p->mp_groups);
    }
    if (!inOneGo) {
        for (Item* p : i_partners) Connect(p);
        return;
    }
    Data::Operation op(d);
    MakeGroup(other).Assign(i_partners);
    // The newest item of its type, as a new shared file is, goes after
    // every partner of the others: no need to read the last one's serial.
    const bool newest = type->m_items.back() == m_id;
    for (Item* p : i_partners) {
        ConnGroup* theirGroup = p->Group(type);
        ConnGroup& end = theirGroup ? *theirGroup : p->MakeGroup(type);
        if (newest)
            end.AppendNewest(this);
        else
            end.Insert(this);
    }
}

void Item::Disconnect(Item* ip_other) {
    if (!ip_other || !IsConnected(ip_other)) return;
    DisconnectConnected(ip_other);
}

void Item::DisconnectConnected(Item* ip_other) {
    Data::Operation op(d);
    ++d->m_changes;
    DropFromGroup(ip_other->GetType(), ip_other);
    ip_other->DropFromGroup(GetType(), this);
    d->NoteDisconnected(this, ip_other);
    d->FireDisconnected(this, ip_other);
}

void Item::Disconnect(const char* ip_typeName) {
    Type* t = d->GetType(ip_typeName);
    Data::Operation op(d);
    std::vector<Item*> partners;
    if (const ConnGroup* g = Group(t)) g->AppendTo(partners);
    for (Item* p : partners) Disconnect(p);
}

void Item::Remove() {
    if (m_removed) return;
    Data::Operation op(d);
    ++d->m_changes;
    m_removed = true;
    Type* const type = GetType();
    type->Unlist(this);
    type->itemRemoved.Notify(this);
    d->itemRemoved.Notify(this);
    if (m_pinned) d->KillPathsOf(this);
    // A large removal waits on memory, not on work: the partners a few
    // disconnections ahead are asked for early, their items first, then
    // their group tables, so that each disconnection finds them at hand.
    auto upcoming = [this](size_t i_n) -> Item* {
        for (size_t k = m_groupCount; k-- > 0;) {
            const ConnGroup& g = mp_groups[k];
            const size_t size = g.Size();
            if (i_n >= size) {
                i_n -= size;
                continue;
            }
            if (g.Tag() == ConnGroup::kArrayTag) return ItemOf(g.Arr()->items[i_n]);
            if (g.Tag() == ConnGroup::kBigTag) {
                for (const auto& c : g.Big()->chunks) {
                    if (i_n < c.size()) return ItemOf(c[i_n]);
                    i_n -= c.size();
                }
                return nullptr;
            }
            return g.First();
        }
        return nullptr;
    };
    const size_t kItemAhead = 6, kGroupsAhead = 3;
    for (size_t n = 0; n < kItemAhead; ++n)
        if (Item* p = upcoming(n)) __builtin_prefetch(p);
    for (size_t n = 0; n < kGroupsAhead; ++n)
        if (Item* p = upcoming(n)) __builtin_prefetch(p->mp_groups);
    while (m_groupCount) {
        Item* other = mp_groups[m_groupCount - 1].First();
        if (!other) {   // never left empty, but do not spin if it were
            DropGroup(uint16_t(m_groupCount - 1));
            continue;
        }
        if (Item* p = upcoming(kItemAhead)) __builtin_prefetch(p);
        if (Item* p = upcoming(kGroupsAhead)) __builtin_prefetch(p->mp_groups);
        // Taken from this item's own groups, so connected: no look-up first.
        DisconnectConnected(other);
    }
    d->Retire(this);
}

Item* Item::NewItem(const char* ip_typeName) {
    Type* t = d->GetType(ip_typeName);
    if (!t->IsNull()) throw NullTypeException("NewItem on the valued type " + t->GetName());
    Type* const type = GetType();
    Relation* mine = type->Rel(t);
    if (!mine) throw NotRelatedException(type->GetName() + " is not related to " + t->GetName());
    Relation* theirs = t->Rel(type);
    Data::Operation op(d);
    Item* r = nullptr;
    if (mine->partners == Many) {
        r = t->NewItem();
    } else if (Item* existing = GetItem(t)) {
        return existing;
    } else if (theirs->partners == Many) {
        r = t->GetGlobalNullItem();
    } else {
        r = t->NewItem();
    }
    Connect(r);
    return r;
}

// ---------------------------------------------------------------- ItemPtr

ItemSet ItemPtr::GetItems(const char* ip_typeName) const { return mp_item ? mp_item->GetItems(ip_typeName) : ItemSet(); }

void ItemPtr::GetItems(const char* ip_typeName, ItemSet& o_items) const {
    if (mp_item)
        mp_item->GetItems(ip_typeName, o_items);
    else
        o_items.clear();
}

ItemPtr ItemPtr::Connect(const ItemPtr& i_other) const {
    if (mp_item && i_other.mp_item) mp_item->Connect(i_other.mp_item);
    return i_other;
}

ItemPtr ItemPtr::operator-=(const ItemPtr& i_other) const {
    if (mp_item && i_other.mp_item) mp_item->Disconnect(i_other.mp_item);
    return i_other;
}

// ---------------------------------------------------------------- ValueIndex

namespace {
// Values are mostly short (names, sizes, tokens): eight bytes are mixed at
// a time, then the whole is stirred so that both the low bits (the slot)
// and the top byte (the tag) depend on every byte.
size_t HashValue(std::string_view i_value) {
    const uint64_t kMul = 0x9E3779B97F4A7C15ull;
    uint64_t h = i_value.size() * kMul;
    const char* p = i_value.data();
    size_t n = i_value.size();
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        h = (h ^ word) * kMul;
        h ^= h >> 29;
    }
    if (n) {
        uint64_t word = 0;
        for (size_t k = 0; k < n; ++k) word |= uint64_t(uint8_t(p[k])) << (8 * k);
        h = (h ^ word) * kMul;
    }
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return size_t(h);
}
// Equal texts; most values are short, and a call of memcmp would cost more
// than comparing them in a few words. Reads stay within both texts.
bool SameText(const std::string& i_a, std::string_view i_b) {
    const size_t n = i_a.size();
    if (n != i_b.size()) return false;
    const char* a = i_a.data();
    const char* b = i_b.data();
    const auto word = [](const char* p, auto i_zero) {
        decltype(i_zero) w;
        std::memcpy(&w, p, sizeof(w));
        return w;
    };
    if (n >= 8 && n <= 16)
        return word(a, uint64_t()) == word(b, uint64_t()) && word(a + n - 8, uint64_t()) == word(b + n - 8, uint64_t());
    if (n >= 4 && n < 8)
        return word(a, uint32_t()) == word(b, uint32_t()) && word(a + n - 4, uint32_t()) == word(b + n - 4, uint32_t());
    return std::memcmp(a, b, n) == 0;
}
// A slot's tag: 0 empty, kGone an entry removed, else the hash's top byte
// of the value held; the slot is chosen by the hash's low bits.
const uint8_t kGone = 0xFF;
uint8_t TagOf(size_t i_hash) {
    const auto tag = uint8_t(i_hash >> (sizeof(size_t) * CHAR_BIT - 8));
    return tag == 0 ? 1 : tag == kGone ? kGone - 1 : tag;
}
}  // namespace

Item* ValueIndex::Find(std::string_view i_value) const {
    if (!m_capacity) return nullptr;
    const size_t hash = HashValue(i_value);
    const uint8_t tag = TagOf(hash);
    const ItemId* ids = Ids();
    const uint8_t* tags = Tags();
    const size_t mask = m_capacity - 1;
    for (size_t k = hash & mask;; k = (k + 1) & mask) {
        if (!tags[k]) return nullptr;
        if (tags[k] != tag) continue;
        Item* p = ItemOf(ids[k]);
        if (SameText(p->GetValue(), i_value)) return p;
    }
}

void ValueIndex::Rehash(size_t i_capacity) {
    std::unique_ptr<uint8_t[]> old(new uint8_t[i_capacity * (sizeof(ItemId) + 1)]);
    old.swap(m_slots);
    const size_t oldCapacity = m_capacity;
    const ItemId* oldIds = reinterpret_cast<const ItemId*>(old.get());
    const uint8_t* oldTags = old.get() + oldCapacity * sizeof(ItemId);
    m_capacity = i_capacity;
    m_gone = 0;
    ItemId* ids = Ids();
    uint8_t* tags = Tags();
    std::memset(tags, 0, i_capacity);
    const size_t mask = i_capacity - 1;
    // Every value is read again, from items all over the store: each item
    // is asked for well ahead, and its text, when not held in the item,
    // once the item has come.
    const size_t kItemAhead = 16, kTextAhead = 8;
    auto held = [oldTags](size_t j) { return oldTags[j] && oldTags[j] != kGone; };
    for (size_t j = 0; j < oldCapacity; ++j) {
        if (j + kItemAhead < oldCapacity && held(j + kItemAhead)) __builtin_prefetch(ItemOf(oldIds[j + kItemAhead]));
        if (j + kTextAhead < oldCapacity && held(j + kTextAhead))
            __builtin_prefetch(ItemOf(oldIds[j + kTextAhead])->GetValue().data());
        if (!held(j)) continue;
        size_t k = HashValue(ItemOf(oldIds[j])->GetValue()) & mask;
        while (tags[k]) k = (k + 1) & mask;
        ids[k] = oldIds[j];
        tags[k] = oldTags[j];
    }
}

void ValueIndex::Insert(Item* ip_item) {
    // Load, removed entries included, kept under 0.7 so probes stay short;
    // where the entries held would not fill half of that, the removed ones
    // are dropped at the same size.
    if ((m_count + m_gone + 1) * 10 > m_capacity * 7)
        Rehash((m_count + 1) * 20 > m_capacity * 7 ? (m_capacity ? m_capacity * 2 : 16) : m_capacity);
    const size_t hash = HashValue(ip_item->GetValue());
    const size_t mask = m_capacity - 1;
    uint8_t* tags = Tags();
    size_t k = hash & mask;
    // The value is not held, so the first removed entry may take it.
    while (tags[k] && tags[k] != kGone) k = (k + 1) & mask;
    if (tags[k] == kGone) --m_gone;
    Ids()[k] = ip_item->Id();
    tags[k] = TagOf(hash);
    ++m_count;
}

void ValueIndex::Erase(Item* ip_item, bool i_mayShrink) {
    if (!m_capacity) return;
    const size_t mask = m_capacity - 1;
    const ItemId* ids = Ids();
    uint8_t* tags = Tags();
    const ItemId id = ip_item->Id();
    // A removed entry may still name the number, given to a newer item.
    size_t k = HashValue(ip_item->GetValue()) & mask;
    for (;; k = (k + 1) & mask) {
        if (!tags[k]) return;
        if (ids[k] == id && tags[k] != kGone) break;
    }
    // Marked removed, not shifted back: a shift would read the values of
    // the entries that follow, items all over the store, and a large
    // removal would wait on them one by one. Insert and Shrink drop the
    // marks when they rebuild the table.
    tags[k] = kGone;
    --m_count;
    ++m_gone;
    if (i_mayShrink) Shrink();
}

void ValueIndex::Prefetch(const Item* ip_item) const { Prefetch(ip_item->GetValue()); }

void ValueIndex::Prefetch(std::string_view i_value) const {
    if (!m_capacity) return;
    const size_t k = HashValue(i_value) & (m_capacity - 1);
    __builtin_prefetch(Tags() + k);
    __builtin_prefetch(Ids() + k);
}

void ValueIndex::Shrink() {
    size_t capacity = m_capacity;
    while (capacity > 64 && m_count * 8 < capacity) capacity /= 2;
    if (capacity != m_capacity || m_gone > m_count) Rehash(capacity);
}

void ValueIndex::Clear() {
    m_slots.reset();
    m_capacity = 0;
    m_count = 0;
    m_gone = 0;
}

// ---------------------------------------------------------------- Type

Relation* Type::Rel(Type* ip_other) {
    // A type has few relations: a short scan beats hashing on every connection.
    for (const auto& r : m_relationList)
        if (r.first == ip_other) return r.second;
    return nullptr;
}

const Relation* Type::GetRelation(Type* ip_other) const {
    for (const auto& r : m_relationList)
        if (r.first == ip_other) return r.second;
    return nullptr;
}

void Type::RelateToType(Type* ip_other, OneOrMany i_a, OneOrMany i_b, bool i_owns) {
    if (!ip_other) throw NotRelatedException("relation of " + m_name + " to no type");
    if (m_relations.count(ip_other))
        throw AlreadyRelatedException(m_name + " is related to " + ip_other->m_name + " already");
    ++mp_data->m_changes;   // ownership may change what a sweep removes
    Relation& mine = m_relations[ip_other];
    m_relationList.emplace_back(ip_other, &mine);
    mine.partners = i_b;
    mine.owns = i_owns;
    if (ip_other == this) return;   // an item never owns its own kind for the sweep
    Relation& theirs = ip_other->m_relations[this];
    ip_other->m_relationList.emplace_back(this, &theirs);
    theirs.partners = i_a;
    theirs.ownedBy = i_owns;
    if (i_owns) ip_other->m_owners.push_back(this);
}

ItemSet Type::GetItems() const {
    std::vector<Item*> r;
    r.reserve(m_count);
    for (ItemId id : m_items)
        if (id != kNoItem) r.push_back(ItemOf(id));
    return ItemSet(std::move(r));
}

Item* Type::Create(std::string i_value) {
    Data::Operation op(mp_data);
    ItemId id = 0;
    void* slot = Pool().Take(m_poolOwner, this, id);
    ++mp_data->m_changes;
    Item* it = new (slot) Item(std::move(i_value), mp_data->TakeSerial(), id);
    it->m_typeIndex = static_cast<uint32_t>(m_items.size());
    m_items.push_back(id);
    ++m_count;
    if (!m_null) m_byValue.Insert(it);
    itemAdded.Notify(it);
    mp_data->itemAdded.Notify(it);
    return it;
}

void Type::Unlist(Item* ip_item) {
    if (!m_null) {
        // Inside a larger operation (a sweep, a set's removal) the index
        // shrinks once when it ends, rather than rehashing at each halving
        // on the way down.
        const bool nested = mp_data->m_depth > 1;
        m_byValue.Erase(ip_item, !nested);
        if (nested && !m_shrinkPending) {
            m_shrinkPending = true;
            mp_data->m_shrinkTypes.push_back(this);
        }
    }
    if (ip_item->m_typeIndex < m_items.size() && m_items[ip_item->m_typeIndex] == ip_item->m_id)
        m_items[ip_item->m_typeIndex] = kNoItem;
    --m_count;
    // Compact once most slots are holes, unless someone walks the items.
    if (!m_iterating && m_items.size() > 64 && m_count < m_items.size() / 4) {
        size_t w = 0;
        for (ItemId id : m_items)
            if (id != kNoItem) {
                ItemOf(id)->m_typeIndex = static_cast<uint32_t>(w);
                m_items[w++] = id;
            }
        m_items.resize(w);
        m_items.shrink_to_fit();   // a large removal gives its memory back
    }
}

Item* Type::GetByText(std::string_view i_value) {
    if (m_null) throw NullTypeException("GetItem by value on the null type " + m_name);
    if (Item* p = m_byValue.Find(i_value)) return p;
    return m_autoCreate ? Create(std::string(i_value)) : nullptr;
}

Item* Type::HasByText(std::string_view i_value) const {
    if (m_null) throw NullTypeException("HasItem by value on the null type " + m_name);
    return m_byValue.Find(i_value);
}

Item* Type::NewItem() {
    if (!m_null) throw NullTypeException("NewItem without a value on the valued type " + m_name);
    return Create(std::string());
}

Item* Type::NewByText(std::string_view i_value) {
    if (m_null) throw NullTypeException("NewItem with a value on the null type " + m_name);
    if (Item* p = m_byValue.Find(i_value)) return p;
    return Create(std::string(i_value));
}

Item* Type::GetGlobalNullItem() {
    if (!m_null) throw NullTypeException("GetGlobalNullItem on the valued type " + m_name);
    for (ItemId id : m_items)
        if (id != kNoItem) return ItemOf(id);
    return Create(std::string());
}

// ---------------------------------------------------------------- PathNode

PathNode::PathNode(Data* ip_data, const char* ip_typeName) : mp_type((ip_data ? ip_data : d)->GetType(ip_typeName)) {}

PathNode::PathNode(Item* ip_item) : mp_type(ip_item ? ip_item->GetType() : nullptr), mp_item(ip_item) {}

PathNode::PathNode(PathNode* ip_parent, const char* ip_typeName, PathNodeRelation i_relation)
    : mp_type(d->GetType(ip_typeName)), mp_parent(ip_parent), m_relation(i_relation) {
    if (mp_parent) mp_parent->m_children.push_back(this);
}

PathNode::PathNode(PathNode* ip_parent, Item* ip_item, PathNodeRelation i_relation)
    : mp_type(ip_item ? ip_item->GetType() : nullptr), mp_item(ip_item), mp_parent(ip_parent), m_relation(i_relation) {
    if (mp_parent) mp_parent->m_children.push_back(this);
}

PathNode::~PathNode() {
    for (PathNode* c : m_children) delete c;
}

// ---------------------------------------------------------------- Data

Data::Data() = default;

Data::~Data() {
    // The process-wide store goes at exit; the items go with it, no events.
    Reset();
}

Type* Data::NewType(const std::string& i_name, bool i_root, bool i_null, bool i_autoCreate) {
    if (m_types.count(i_name)) throw TypeAlreadyExistsException(i_name);
    Type* t = new Type(this, i_name, i_root, i_null, i_autoCreate);
    t->m_poolOwner = uint32_t(m_typeOrder.size());
    m_types.emplace(i_name, t);
    m_typeOrder.push_back(t);
    return t;
}

Type* Data::GetType(const std::string& i_name) const {
    auto it = m_types.find(i_name);
    if (it == m_types.end()) throw TypeNotFoundException(i_name);
    return it->second;
}

Type* Data::GetType(const char* ip_name) const {
    if (!ip_name) throw TypeNotFoundException(std::string());
    auto& cached = m_typeCache[(reinterpret_cast<uintptr_t>(ip_name) >> 3) % kTypeCache];
    if (cached.first == ip_name && cached.second->GetName() == ip_name) return cached.second;
    Type* t = GetType(std::string(ip_name));
    cached = {ip_name, t};
    return t;
}

Type* Data::HasType(const std::string& i_name) const {
    auto it = m_types.find(i_name);
    return it == m_types.end() ? nullptr : it->second;
}

void Data::GetTypes(QHash<std::string, Type*>& o_types) const {
    o_types.clear();
    for (auto& [name, t] : m_types) o_types.insert(name, t);
}

void Data::GetTypes(QHash<QString, Type*>& o_types) const {
    o_types.clear();
    for (auto& [name, t] : m_types) o_types.insert(QString::fromLatin1(name.data(), qsizetype(name.size())), t);
}

void Data::GetTypes(std::map<std::string, Type*>& o_types) const {
    o_types.clear();
    for (auto& [name, t] : m_types) o_types.emplace(name, t);
}

size_t Data::ItemCount() const {
    size_t n = 0;
    for (Type* t : m_typeOrder) n += t->m_count;
    return n;
}

void Data::AddConnectionEventHandler(Type* ip_a, Type* ip_b, EventHandlerBase<ConnectionInfo&>* ip_handler) {
    if (!ip_handler) return;
    Relation* r = ip_a && ip_b ? ip_a->Rel(ip_b) : nullptr;
    if (!r) {
        DisposeHandler(ip_handler);
        throw NotRelatedException("pair handler for unrelated types " + (ip_a ? ip_a->GetName() : std::string("?")) +
                                  " and " + (ip_b ? ip_b->GetName() : std::string("?")));
    }
    r->pairHandlers.push_back(ip_handler);
}

void Data::AddPathEventHandler(PathNode* ip_root, EventHandlerBase<Item*>* ip_handler) {
    if (!ip_handler) return;
    if (!ip_root) {
        DisposeHandler(ip_handler);
        return;
    }
    auto* reg = new PathRegistration;
    reg->root = ip_root;
    reg->handler = ip_handler;
    m_paths.insert(reg);
    ++m_rootUse[ip_root];
    IndexPath(ip_root, reg);
    // A path whose fixed item is gone already can never fire.
    if (reg->dead) {
        DisposeHandler(reg->handler);
        reg->handler = nullptr;
    }
    if (reg->refs == 0) FreeRegistration(reg);
}

void Data::IndexPath(PathNode* ip_node, PathRegistration* ip_reg) {
    ++m_pathEpoch;
    if (Item* fixed = ip_node->GetFixedItem()) {
        if (fixed->IsRemoved()) {
            ip_reg->dead = true;
        } else {
            fixed->m_pinned = true;
            m_pinnedPaths.emplace(fixed, ip_reg);
        }
    }
    if (!ip_node->GetType()) ip_reg->dead = true;
    for (PathNode* c : ip_node->Children()) {
        if (ip_node->GetType() && c->GetType()) {
            m_pathIndex[PairKey(ip_node->GetType(), c->GetType())].steps.push_back({c, ip_reg});
            ++ip_reg->refs;
        }
        IndexPath(c, ip_reg);
    }
}

void Data::UnpinPath(PathNode* ip_node, PathRegistration* ip_reg) {
    // The fixed item may be gone; its address is only used as a key here.
    if (Item* fixed = ip_node->GetFixedItem()) {
        auto range = m_pinnedPaths.equal_range(fixed);
        for (auto it = range.first; it != range.second;) {
            if (it->second == ip_reg)
                it = m_pinnedPaths.erase(it);
            else
                ++it;
        }
    }
    for (PathNode* c : ip_node->Children()) UnpinPath(c, ip_reg);
}

void Data::FreeRegistration(PathRegistration* ip_reg) {
    UnpinPath(ip_reg->root, ip_reg);
    auto use = m_rootUse.find(ip_reg->root);
    if (use != m_rootUse.end() && --use->second == 0) {
        m_rootUse.erase(use);
        delete ip_reg->root;
    }
    if (ip_reg->handler) DisposeHandler(ip_reg->handler);
    m_paths.erase(ip_reg);
    delete ip_reg;
}

void Data::KillPathsOf(Item* ip_item) {
    auto range = m_pinnedPaths.equal_range(ip_item);
    for (auto it = range.first; it != range.second; ++it) it->second->dead = true;
    m_pinnedPaths.erase(range.first, range.second);
}

void Data::Retire(Item* ip_item) { m_retired.push_back(ip_item); }

void Data::DisposeHandler(EventHandlerRoot* ip_handler) {
    if (!ip_handler) return;
    ip_handler->m_disabled = true;
    if (m_depth == 0 && ip_handler->m_calls == 0)
        delete ip_handler;
    else
        m_deadHandlers.push_back(ip_handler);
}

void Data::AfterOperation(std::function<void()> i_f) {
    if (!i_f) return;
    if (m_depth == 0)
        i_f();
    else
        m_afterOperation.push_back(std::move(i_f));
}

void Data::OperationEnded() {
    FreeRemoved();
    // What the functions change runs in operations of its own, which end
    // here again and run what those added.
    while (!m_afterOperation.empty() && m_depth == 0) {
        std::vector<std::function<void()>> pending;
        pending.swap(m_afterOperation);
        for (auto& f : pending) f();
    }
}

void Data::FreeRemoved() {
    // Most operations free nothing.
    if (m_shrinkTypes.empty() && m_retired.empty() && m_deadHandlers.empty()) return;
    std::vector<Type*> shrink;
    shrink.swap(m_shrinkTypes);
    for (Type* t : shrink) {
        t->m_shrinkPending = false;
        t->m_byValue.Shrink();
    }
    // Freed only outside every store operation, so no handler of a cascade
    // can touch a deleted item or a deleted handler.
    std::vector<Item*> retired;
    retired.swap(m_retired);
    for (Item* p : retired) FreeItem(p);
    // A large removal gives the slabs it emptied back to the heap.
    if (retired.size() >= ItemPool::kSlab) Pool().Trim();
    std::vector<EventHandlerRoot*> handlers;
    handlers.swap(m_deadHandlers);
    for (EventHandlerRoot* h : handlers) {
        if (h->m_calls == 0)
            delete h;
        else
            m_deadHandlers.push_back(h);
    }
}

void Data::NoteDisconnected(Item* ip_a, Item* ip_b) {
    if (!mp_sweepTouched) return;
    // An item on its way out needs no second look: the sweep would skip it.
    if (!ip_a->m_removed && !ip_a->GetType()->m_owners.empty()) mp_sweepTouched->push_back(ip_a);
    if (!ip_b->m_removed && !ip_b->GetType()->m_owners.empty()) mp_sweepTouched->push_back(ip_b);
}

void Data::PurgeRelation(Relation& io_rel) {
    if (io_rel.running) return;
    size_t w = 0;
    for (size_t k = 0; k < io_rel.pairHandlers.size(); ++k) {
        auto* h = io_rel.pairHandlers[k];
        if (h->m_disabled)
            DisposeHandler(h);
        else
            io_rel.pairHandlers[w++] = h;
    }
    io_rel.pairHandlers.resize(w);
}

void Data::PurgeBucket(PathBucket& io_bucket) {
    if (io_bucket.running) return;
    size_t w = 0;
    for (size_t k = 0; k < io_bucket.steps.size(); ++k) {
        PathRegistration* reg = io_bucket.steps[k].reg;
        if (reg->handler && reg->handler->m_disabled) {
            DisposeHandler(reg->handler);
            reg->handler = nullptr;
        }
        if (reg->dead || !reg->handler) {
            if (--reg->refs == 0) FreeRegistration(reg);
            continue;
        }
        io_bucket.steps[w++] = io_bucket.steps[k];
    }
    io_bucket.steps.resize(w);
}

void Data::FirePairs(Relation* ip_rel, Item* ip_from, Item* ip_to) {
    if (!ip_rel || ip_rel->pairHandlers.empty()) return;
    struct Running {
        Data* d;
        Relation* r;
        bool stale = false;
        ~Running() {
            if (--r->running == 0 && stale) d->PurgeRelation(*r);
        }
    } running{this, ip_rel};
    ++ip_rel->running;
    const size_t n = ip_rel->pairHandlers.size();
    for (size_t k = 0; k < n; ++k) {
        auto* h = ip_rel->pairHandlers[k];
        if (h->m_disabled) {
            running.stale = true;
            continue;
        }
        ConnectionInfo ci(ip_from, ip_to);
        HandlerCall call(h);
        h->Handle(ci);
    }
}

void Data::FireConnected(Item* ip_a, Item* ip_b, Relation* ip_ab, Relation* ip_ba) {
    Type* ta = ip_a->GetType();
    Type* tb = ip_b->GetType();
    const bool notified = !ta->connected.Empty() || !connected.Empty() || !tb->connected.Empty();
    {
        ConnectionInfo ci(ip_a, ip_b);
        ta->connected.Notify(ci);
    }
    {
        ConnectionInfo ci(ip_a, ip_b);
        connected.Notify(ci);
    }
    {
        ConnectionInfo ci(ip_b, ip_a);
        tb->connected.Notify(ci);
    }
    // Handlers above may already have broken the connection again.
    if (notified && !ip_a->IsConnected(ip_b)) return;
    // The relations come from the caller, which looked them up already.
    if (!ip_ab->pairHandlers.empty()) FirePairs(ip_ab, ip_a, ip_b);
    if (ta != tb && !ip_ba->pairHandlers.empty()) FirePairs(ip_ba, ip_b, ip_a);
    FirePath(ip_a, ip_b, true, ip_ab);
}

void Data::FireDisconnected(Item* ip_a, Item* ip_b) {
    {
        ConnectionInfo ci(ip_a, ip_b);
        ip_a->GetType()->disconnected.Notify(ci);
    }
    {
        ConnectionInfo ci(ip_a, ip_b);
        disconnected.Notify(ci);
    }
    {
        ConnectionInfo ci(ip_b, ip_a);
        ip_b->GetType()->disconnected.Notify(ci);
    }
    FirePath(ip_a, ip_b, false);
}

Data::PathBucket* Data::PathBucketOf(Type* ip_a, Type* ip_b, Relation* ip_rel) {
    if (m_pathIndex.empty()) return nullptr;
    // The pair's bucket is kept with the relation until paths are indexed
    // again; buckets are never erased while the store lives.
    Relation* rel = ip_rel ? ip_rel : ip_a->Rel(ip_b);
    if (rel && rel->pathEpoch == m_pathEpoch) return static_cast<PathBucket*>(rel->pathBucket);
    auto it = m_pathIndex.find(PairKey(ip_a, ip_b));
    PathBucket* found = it == m_pathIndex.end() ? nullptr : &it->second;
    if (rel) {
        rel->pathBucket = found;
        rel->pathEpoch = m_pathEpoch;
    }
    return found;
}

bool Data::LinksHeard(Type* ip_a, Type* ip_b, Relation* ip_ab, Relation* ip_ba) {
    if (!ip_a->connected.Empty() || !connected.Empty() || !ip_b->connected.Empty()) return true;
    if (!ip_ab->pairHandlers.empty() || !ip_ba->pairHandlers.empty()) return true;
    const PathBucket* bucket = PathBucketOf(ip_a, ip_b, ip_ab);
    return bucket && !bucket->steps.empty();
}

void Data::FirePath(Item* ip_a, Item* ip_b, bool i_connect, Relation* ip_rel) {
    PathBucket* found = PathBucketOf(ip_a->GetType(), ip_b->GetType(), ip_rel);
    if (!found) return;
    PathBucket& bucket = *found;
    if (bucket.steps.empty()) return;
    struct Running {
        Data* d;
        PathBucket* b;
        bool stale = false;
        ~Running() {
            if (--b->running == 0 && stale) d->PurgeBucket(*b);
        }
    } running{this, &bucket};
    ++bucket.running;
    const size_t n = bucket.steps.size();
    PathRegistration* lastReg = nullptr;
    std::vector<Item*> called;   // roots already handed to lastReg for this change
    std::vector<Item*> roots;
    for (size_t k = 0; k < n; ++k) {
        PathNode* step = bucket.steps[k].step;
        PathRegistration* reg = bucket.steps[k].reg;
        if (reg->dead || !reg->handler || reg->handler->m_disabled) {
            running.stale = true;
            continue;
        }
        const PathNodeRelation rel = step->GetRelation();
        const bool triggers = i_connect ? (rel == ConnectedNotify || rel == NotifyOnConnect)
                                        : (rel == DisconnectedNotify || rel == NotifyOnDisconnect);
        if (!triggers) continue;
        if (reg != lastReg) {
            lastReg = reg;
            called.clear();
        }
        PathNode* parent = step->GetParent();
        roots.clear();
        if (parent->Matches(ip_a) && step->Matches(ip_b)) FirePathStep(step, ip_a, ip_b, i_connect, roots);
        if (parent->Matches(ip_b) && step->Matches(ip_a)) FirePathStep(step, ip_b, ip_a, i_connect, roots);
        for (Item* root : roots) {
            if (std::find(called.begin(), called.end(), root) != called.end()) continue;
            called.push_back(root);
            if (reg->dead || !reg->handler || reg->handler->m_disabled) break;
            EventHandlerBase<Item*>* h = reg->handler;
            HandlerCall call(h);
            h->Handle(root);
        }
    }
}

bool Data::StepHolds(PathNode* ip_step, Item* ip_parent) const {
    const PathNodeRelation rel = ip_step->GetRelation();
    if (rel == NotifyOnConnect || rel == NotifyOnDisconnect) return true;
    bool any = false;
    if (Item* fixed = ip_step->GetFixedItem()) {
        any = ip_parent->IsConnected(fixed) && Satisfies(ip_step, fixed, nullptr);
    } else if (const ConnGroup* g = ip_parent->Group(ip_step->GetType())) {
        if (ip_step->Children().empty()) {
            any = g->Size() > 0;
        } else {
            g->ForEach([&](Item* p) {
                if (!any && Satisfies(ip_step, p, nullptr)) any = true;
            });
        }
    }
    const bool mustExist = (rel == ConnectedNotify || rel == ConnectedOnly);
    return mustExist ? any : !any;
}

bool Data::Satisfies(PathNode* ip_node, Item* ip_item, PathNode* ip_skip) const {
    for (PathNode* c : ip_node->Children())
        if (c != ip_skip && !StepHolds(c, ip_item)) return false;
    return true;
}

void Data::FirePathStep(PathNode* ip_step, Item* ip_parent, Item* ip_child, bool i_connect,
                        std::vector<Item*>& o_roots) const {
    PathNode* parent = ip_step->GetParent();
    if (i_connect) {
        // The new partner must satisfy the steps below it.
        if (!ip_parent->IsConnected(ip_child) || !Satisfies(ip_step, ip_child, nullptr)) return;
    } else {
        // For a step that must not exist, no other partner may still satisfy it.
        if (ip_parent->IsConnected(ip_child) || !StepHolds(ip_step, ip_parent)) return;
    }
    if (!Satisfies(parent, ip_parent, ip_step)) return;
    CollectRoots(parent, ip_parent, o_roots);
}

void Data::CollectRoots(PathNode* ip_node, Item* ip_item, std::vector<Item*>& o_roots) const {
    PathNode* parent = ip_node->GetParent();
    if (!parent) {
        if (ip_node->Matches(ip_item)) o_roots.push_back(ip_item);
        return;
    }
    // Going up through a link that must not exist leads nowhere.
    const PathNodeRelation rel = ip_node->GetRelation();
    if (rel == DisconnectedNotify || rel == DisconnectedOnly || rel == NotifyOnDisconnect) return;
    std::vector<Item*> candidates;
    if (Item* fixed = parent->GetFixedItem()) {
        if (ip_item->IsConnected(fixed)) candidates.push_back(fixed);
    } else if (const ConnGroup* g = ip_item->Group(parent->GetType())) {
        g->AppendTo(candidates);
    }
    for (Item* p : candidates)
        if (Satisfies(parent, p, ip_node)) CollectRoots(parent, p, o_roots);
}

Item* Data::GetItem(ItemPtr i_a, ItemPtr i_b, const char* ip_typeName) const {
    if (!i_a || !i_b) return nullptr;
    ItemSet s;
    s.insert(i_a.Get());
    s.insert(i_b.Get());
    return GetItem(s, ip_typeName);
}

Item* Data::GetItem(const ItemSet& i_items, const char* ip_typeName) const {
    return GetItemSubset(i_items, ip_typeName).First();
}

ItemSet Data::GetItems(ItemPtr i_a, ItemPtr i_b, const char* ip_typeName) const {
    if (!i_a || !i_b) return ItemSet();
    ItemSet s;
    s.insert(i_a.Get());
    s.insert(i_b.Get());
    return GetItemSubset(s, ip_typeName);
}

ItemSet Data::GetItems(const ItemSet& i_items, const char* ip_typeName) const {
    Type* t = GetType(ip_typeName);
    std::vector<Item*> all;
    for (Item* p : i_items)
        if (const ConnGroup* g = p->Group(t)) g->AppendTo(all);
    if (i_items.size() > 1) {
        std::sort(all.begin(), all.end(), SerialBefore);
        all.erase(std::unique(all.begin(), all.end()), all.end());
    }
    return ItemSet(std::move(all));
}

ItemSet Data::GetItemSubset(const ItemSet& i_items, const char* ip_typeName) const {
    Type* t = GetType(ip_typeName);
    if (i_items.empty()) return ItemSet();
    // Start from the smallest group and keep what every other item links to.
    const ConnGroup* smallest = nullptr;
    Item* owner = nullptr;
    for (Item* p : i_items) {
        const ConnGroup* g = p->Group(t);
        if (!g) return ItemSet();
        if (!smallest || g->Size() < smallest->Size()) {
            smallest = g;
            owner = p;
        }
    }
    std::vector<Item*> r;
    r.reserve(smallest->Size());
    smallest->AppendTo(r);
    for (Item* p : i_items) {
        if (p == owner) continue;
        const ConnGroup* g = p->Group(t);
        if (g->Size() >= 4 * r.size() || r.size() < 16) {
            // Few candidates left: look each one up.
            r.erase(std::remove_if(r.begin(), r.end(), [p](Item* c) { return !c->IsConnected(p); }), r.end());
        } else {
            // Comparable sizes: both are in serial order, so merge.
            std::vector<Item*> other;
            other.reserve(g->Size());
            g->AppendTo(other);
            std::vector<Item*> both;
            both.reserve(std::min(r.size(), other.size()));
            std::set_intersection(r.begin(), r.end(), other.begin(), other.end(), std::back_inserter(both), SerialBefore);
            r.swap(both);
        }
        if (r.empty()) break;
    }
    return ItemSet(std::move(r));
}

size_t Data::RemoveDisconnectedItems() {
    // Nothing created, removed or disconnected since a sweep that found
    // nothing: connections made since can only have made more reachable.
    if (m_changes == m_sweptClean) return 0;
    const uint64_t changesAtStart = m_changes;
    Operation op(this);
    size_t removed = 0;

    // Ownership, to a fixpoint: an owned item without an item of one of its
    // owning types goes. Every item that loses a connection meanwhile (its
    // owner removed, or a handler's doing) is looked at again.
    std::vector<Item*> touched;
    struct Watch {
        Data* d;
        std::vector<Item*>* prev;
        ~Watch() { d->mp_sweepTouched = prev; }
    } watch{this, mp_sweepTouched};
    mp_sweepTouched = &touched;

    auto lacksOwner = [](Item* p) {
        for (Type* o : p->GetType()->m_owners)
            if (!p->Group(o)) return true;
        return false;
    };
    // Removals wait on memory: the items a few steps ahead, then their group
    // tables and value index slots, are asked for early.
    auto prefetchAhead = [](const std::vector<Item*>& i_items, size_t i_k) {
        if (i_k + 8 < i_items.size()) __builtin_prefetch(i_items[i_k + 8]);
        if (i_k + 4 < i_items.size()) {
            const Item* p = i_items[i_k + 4];
            __builtin_prefetch(p->mp_groups);
            Type* t = p->GetType();
            if (!t->m_null) t->m_byValue.Prefetch(p);
        }
    };
    std::vector<Item*> work;
    for (Type* t : m_typeOrder)
        if (!t->m_owners.empty()) t->ForEachItem([&](Item* p) { work.push_back(p); });
    for (size_t k = 0;; ++k) {
        if (k == work.size()) {
            if (touched.empty()) break;
            work.clear();
            work.swap(touched);
            k = 0;
        }
        prefetchAhead(work, k);
        Item* p = work[k];
        if (p->m_removed || !lacksOwner(p)) continue;
        p->Remove();
        ++removed;
    }
    mp_sweepTouched = watch.prev;

    // Then plain reachability from the items of root types, either direction.
    // Marks by item number, kept for the sweep alone.
    std::vector<bool> marked(Pool().IdLimit(), false);
    std::vector<Item*> stack;
    for (Type* t : m_typeOrder)
        if (t->IsRoot())
            t->ForEachItem([&](Item* p) {
                marked[p->m_id] = true;
                stack.push_back(p);
            });
    while (!stack.empty()) {
        Item* p = stack.back();
        stack.pop_back();
        for (const ConnGroup& g : p->Groups())
            g.ForEach([&](Item* o) {
                if (!marked[o->m_id]) {
                    marked[o->m_id] = true;
                    stack.push_back(o);
                }
            });
    }
    std::vector<Item*> unreachable;
    for (Type* t : m_typeOrder)
        if (!t->IsRoot()) t->ForEachItem([&](Item* p) {
            if (!marked[p->m_id]) unreachable.push_back(p);
        });
    for (size_t k = 0; k < unreachable.size(); ++k) {
        prefetchAhead(unreachable, k);
        Item* p = unreachable[k];
        if (p->m_removed) continue;
        p->Remove();
        ++removed;
    }
    if (removed == 0 && m_changes == changesAtStart) m_sweptClean = m_changes;
    return removed;
}

void Data::RemoveAllItems() {
    Operation op(this);
    for (Type* t : m_typeOrder) {
        std::vector<Item*> all;
        t->ForEachItem([&](Item* p) { all.push_back(p); });
        for (Item* p : all)
            if (!p->IsRemoved()) p->Remove();
    }
}

void Data::Reset() {
    m_depth = 0;
    m_afterOperation.clear();
    FreeRemoved();
    itemAdded.Clear();
    itemRemoved.Clear();
    connected.Clear();
    disconnected.Clear();
    for (PathRegistration* reg : m_paths) {
        delete reg->handler;
        delete reg;
    }
    for (auto& [root, uses] : m_rootUse) delete root;
    m_paths.clear();
    m_rootUse.clear();
    m_pathIndex.clear();
    ++m_pathEpoch;
    m_pinnedPaths.clear();
    for (Type* t : m_typeOrder) {
        for (ItemId id : t->m_items)
            if (id != kNoItem) FreeItem(ItemOf(id));
        for (auto& [other, rel] : t->m_relations)
            for (auto* h : rel.pairHandlers) delete h;
        delete t;
    }
    Pool().Trim();
    m_types.clear();
    m_typeOrder.clear();
    std::fill(std::begin(m_typeCache), std::end(m_typeCache), std::pair<const char*, Type*>());
    for (EventHandlerRoot* h : m_deadHandlers) delete h;
    m_deadHandlers.clear();
    m_nextSerial = 1;
    m_changes = 1;
    m_sweptClean = 0;
    mp_sweepTouched = nullptr;
}

// ---------------------------------------------------------------- helpers

ItemSet g(const char* ip_typeName) { return d->GetType(ip_typeName)->GetItems(); }

ItemSet i(const char* ip_typeName, const std::string& i_value) { return ItemSet(d->GetType(ip_typeName)->HasItem(i_value)); }

Type* T(const char* ip_typeName) { return d->GetType(ip_typeName); }

std::string GetSetting(const std::string& i_key) {
    Type* key = d->HasType("global");
    Type* value = d->HasType("global_value");
    if (!key || !value) return std::string();
    Item* k = key->HasItem(i_key);
    return k ? ItemPtr(k->GetItem(value)).AsString() : std::string();
}

void SetSetting(const std::string& i_key, const std::string& i_value) {
    Type* key = d->HasType("global");
    Type* value = d->HasType("global_value");
    if (!key || !value) return;
    Data::Operation op(d);
    ItemPtr(key->NewItem(i_key)) += ItemPtr(value->NewItem(i_value));
}

void ClearSetting(const std::string& i_key) {
    Type* key = d->HasType("global");
    Type* value = d->HasType("global_value");
    if (!key || !value) return;
    if (Item* k = key->HasItem(i_key)) k->Disconnect("global_value");
}

bool IsSettingYes(const std::string& i_key) { return GetSetting(i_key) == "yes"; }

Type* MakeType(const char* ip_name, bool i_root, bool i_null, bool i_autoCreate) {
    if (Type* existing = d->HasType(ip_name)) return existing;
    return d->NewType(ip_name, i_root, i_null, i_autoCreate);
}

void Relate(Type* ip_a, Type* ip_b, OneOrMany i_aPerB, OneOrMany i_bPerA, bool i_owns) {
    if (!ip_a->IsRelated(ip_b)) ip_a->RelateToType(ip_b, i_aPerB, i_bPerA, i_owns);
}
