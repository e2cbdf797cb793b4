#include "Data.h"

#include <algorithm>
#include <cstdlib>
#include <deque>

static Data g_store;   // the one store of the process
Data* d = &g_store;
namespace {

// Every handler object alive, so an owner never touches a handler that a
// reset store has already deleted.
std::unordered_set<EventHandlerRoot*>& LiveHandlers() {
    static std::unordered_set<EventHandlerRoot*> s_live;
    return s_live;
}

bool SerialBefore(const Item* a, const Item* b) { return a->Serial() < b->Serial(); }

const size_t kBigGroup = 64;
}  // namespace

long long ParseDecimal(const std::string& i_text) {
    const char* p = i_text.c_str();
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    unsigned long long n = 0;
    bool any = false;
    while (*p >= '0' && *p <= '9') {
        unsigned digit = unsigned(*p++ - '0');
        if (n > (~0ULL - digit) / 10) {   // saturate instead of wrapping
            n = ~0ULL;
            while (*p >= '0' && *p <= '9') ++p;
            break;
        }
        n = n * 10 + digit;
        any = true;
    }
    if (!any && n == 0) return 0;
    // Values above the signed range are addresses or unsigned counters;
    // they keep their bits so AsUInt() gives them back.
    return negative ? static_cast<long long>(0ULL - n) : static_cast<long long>(n);
}

// ---------------------------------------------------------------- handlers

EventHandlerRoot::EventHandlerRoot() { LiveHandlers().insert(this); }
EventHandlerRoot::~EventHandlerRoot() { LiveHandlers().erase(this); }
bool EventHandlerRoot::IsLive(EventHandlerRoot* ip_handler) { return LiveHandlers().count(ip_handler) != 0; }

DataHandler::~DataHandler() { DisableHandlers(); }

void DataHandler::DisableHandlers() {
    for (EventHandlerRoot* h : m_handlers)
        if (EventHandlerRoot::IsLive(h)) h->m_disabled = true;
    m_handlers.clear();
}

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
    auto it = std::lower_bound(m_items.begin(), m_items.end(), ip_item, SerialBefore);
    if (it == m_items.end() || *it != ip_item) return false;
    m_items.erase(it);
    return true;
}

void ItemSet::Add(const ItemSet& i_other) {
    if (i_other.m_items.empty()) return;
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
    return Filter([&i_other](Item* p) {
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
    for (Item* p : m_items)
        if (!p->IsRemoved()) p->Remove();
}

namespace {
// A stable sort keeps the set's (serial) order for equal keys; descending
// reverses the whole ascending list, so equal keys come in reverse order.
template <class Key>
std::list<Item*> SortBy(const std::vector<Item*>& i_items, bool i_ascending, Key i_key) {
    using K = decltype(i_key(nullptr).second);
    std::vector<std::pair<K, Item*>> keyed;
    keyed.reserve(i_items.size());
    for (Item* p : i_items) {
        auto k = i_key(p);
        if (k.first) keyed.emplace_back(std::move(k.second), p);
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::list<Item*> r;
    for (auto& k : keyed) r.push_back(k.second);
    if (!i_ascending) r.reverse();
    return r;
}
}  // namespace

std::list<Item*> ItemSet::SortAlphabetic(bool i_ascending) const {
    return SortBy(m_items, i_ascending, [](Item* p) { return std::make_pair(true, p ? p->GetValue() : std::string()); });
}

std::list<Item*> ItemSet::SortAlphabeticBy(const char* ip_typeName, bool i_ascending) const {
    Type* t = d->GetType(ip_typeName);
    return SortBy(m_items, i_ascending, [t](Item* p) {
        Item* o = p ? p->GetItem(t) : nullptr;
        return std::make_pair(o != nullptr, o ? o->GetValue() : std::string());
    });
}

std::list<Item*> ItemSet::SortNumericBy(const char* ip_typeName, bool i_ascending) const {
    Type* t = d->GetType(ip_typeName);
    return SortBy(m_items, i_ascending, [t](Item* p) {
        Item* o = p ? p->GetItem(t) : nullptr;
        return std::make_pair(o != nullptr, o ? o->AsInt64() : 0LL);
    });
}

// ---------------------------------------------------------------- ConnGroup

bool ConnGroup::SerialLess::operator()(const Item* a, const Item* b) const { return a->Serial() < b->Serial(); }

bool ConnGroup::Insert(Item* ip_item) {
    if (mp_big) return mp_big->insert(ip_item).second;
    if (m_small.empty() || SerialBefore(m_small.back(), ip_item)) {
        m_small.push_back(ip_item);
    } else {
        auto it = std::lower_bound(m_small.begin(), m_small.end(), ip_item, SerialBefore);
        if (it != m_small.end() && *it == ip_item) return false;
        m_small.insert(it, ip_item);
    }
    if (m_small.size() > kBigGroup) {
        mp_big.reset(new std::set<Item*, SerialLess>(m_small.begin(), m_small.end()));
        std::vector<Item*>().swap(m_small);
    }
    return true;
}

bool ConnGroup::Erase(Item* ip_item) {
    if (mp_big) return mp_big->erase(ip_item) != 0;
    auto it = std::lower_bound(m_small.begin(), m_small.end(), ip_item, SerialBefore);
    if (it == m_small.end() || *it != ip_item) return false;
    m_small.erase(it);
    return true;
}

bool ConnGroup::Contains(Item* ip_item) const {
    if (mp_big) return mp_big->count(ip_item) != 0;
    auto it = std::lower_bound(m_small.begin(), m_small.end(), ip_item, SerialBefore);
    return it != m_small.end() && *it == ip_item;
}

Item* ConnGroup::First() const {
    if (mp_big) return mp_big->empty() ? nullptr : *mp_big->begin();
    return m_small.empty() ? nullptr : m_small.front();
}

void ConnGroup::AppendTo(std::vector<Item*>& o_items) const {
    if (mp_big)
        o_items.insert(o_items.end(), mp_big->begin(), mp_big->end());
    else
        o_items.insert(o_items.end(), m_small.begin(), m_small.end());
}

// ---------------------------------------------------------------- Item

ConnGroup* Item::Group(Type* ip_type) {
    for (auto& g : m_groups)
        if (g.GetType() == ip_type) return &g;
    return nullptr;
}

const ConnGroup* Item::Group(Type* ip_type) const {
    for (auto& g : m_groups)
        if (g.GetType() == ip_type) return &g;
    return nullptr;
}

ConnGroup& Item::MakeGroup(Type* ip_type) {
    if (ConnGroup* g = Group(ip_type)) return *g;
    m_groups.emplace_back(ip_type);
    return m_groups.back();
}

void Item::DropFromGroup(Type* ip_type, Item* ip_item) {
    for (size_t k = 0; k < m_groups.size(); ++k) {
        if (m_groups[k].GetType() != ip_type) continue;
        m_groups[k].Erase(ip_item);
        if (m_groups[k].Size() == 0) m_groups.erase(m_groups.begin() + long(k));
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
    for (auto& g : m_groups) {
        std::vector<Item*> r;
        g.AppendTo(r);
        o_items[g.GetType()] = ItemSet(std::move(r));
    }
}

bool Item::IsConnected(const char* ip_typeName) const { return GetItem(d->GetType(ip_typeName)) != nullptr; }

bool Item::IsConnected(Item* ip_other) const {
    if (!ip_other) return false;
    const ConnGroup* g = Group(ip_other->GetType());
    return g && g->Contains(ip_other);
}

size_t Item::ConnectionCount() const {
    size_t n = 0;
    for (auto& g : m_groups) n += g.Size();
    return n;
}

void Item::Connect(Item* ip_other) {
    if (!ip_other || ip_other == this || m_removed || ip_other->m_removed) return;
    Relation* mine = mp_type->Rel(ip_other->mp_type);
    if (!mine)
        throw NotRelatedException(mp_type->GetName() + " is not related to " + ip_other->mp_type->GetName());
    Data::Operation op(d);
    if (IsConnected(ip_other)) return;
    Relation* theirs = ip_other->mp_type->Rel(mp_type);
    if (mine->partners == One)
        if (Item* old = GetItem(ip_other->mp_type)) Disconnect(old);
    if (theirs->partners == One)
        if (Item* old = ip_other->GetItem(mp_type)) ip_other->Disconnect(old);
    // A handler of those disconnections may have changed the picture.
    if (m_removed || ip_other->m_removed || IsConnected(ip_other)) return;
    MakeGroup(ip_other->mp_type).Insert(ip_other);
    ip_other->MakeGroup(mp_type).Insert(this);
    d->FireConnected(this, ip_other);
}

void Item::Disconnect(Item* ip_other) {
    if (!ip_other || !IsConnected(ip_other)) return;
    Data::Operation op(d);
    DropFromGroup(ip_other->mp_type, ip_other);
    ip_other->DropFromGroup(mp_type, this);
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
    m_removed = true;
    mp_type->Unlist(this);
    mp_type->itemRemoved.Notify(this);
    d->itemRemoved.Notify(this);
    if (m_pinned) d->KillPathsOf(this);
    while (!m_groups.empty()) {
        ConnGroup& g = m_groups.back();
        Item* other = g.First();
        if (!other) {
            m_groups.pop_back();
            continue;
        }
        Disconnect(other);
    }
    d->Retire(this);
}

Item* Item::NewItem(const char* ip_typeName) {
    Type* t = d->GetType(ip_typeName);
    if (!t->IsNull()) throw NullTypeException("NewItem on the valued type " + t->GetName());
    Relation* mine = mp_type->Rel(t);
    if (!mine) throw NotRelatedException(mp_type->GetName() + " is not related to " + t->GetName());
    Relation* theirs = t->Rel(mp_type);
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

// ---------------------------------------------------------------- Type

Relation* Type::Rel(Type* ip_other) {
    auto it = m_relations.find(ip_other);
    return it == m_relations.end() ? nullptr : &it->second;
}

const Relation* Type::GetRelation(Type* ip_other) const {
    auto it = m_relations.find(ip_other);
    return it == m_relations.end() ? nullptr : &it->second;
}

void Type::RelateToType(Type* ip_other, OneOrMany i_a, OneOrMany i_b, bool i_owns) {
    if (!ip_other) throw NotRelatedException("relation to no type");
    if (m_relations.count(ip_other))
        throw AlreadyRelatedException(m_name + " is related to " + ip_other->m_name + " already");
    Relation& mine = m_relations[ip_other];
    mine.partners = i_b;
    mine.owns = i_owns;
    if (ip_other == this) {
        mine.ownedBy = i_owns;
        return;
    }
    Relation& theirs = ip_other->m_relations[this];
    theirs.partners = i_a;
    theirs.ownedBy = i_owns;
}

ItemSet Type::GetItems() const {
    std::vector<Item*> r;
    r.reserve(m_count);
    for (Item* p : m_items)
        if (p) r.push_back(p);
    return ItemSet(std::move(r));
}

Item* Type::Create(std::string i_value) {
    Data::Operation op(mp_data);
    Item* it = new Item(this, std::move(i_value), mp_data->TakeSerial());
    it->m_typeIndex = static_cast<uint32_t>(m_items.size());
    m_items.push_back(it);
    ++m_count;
    if (!m_null) m_byValue.emplace(std::string_view(it->m_value), it);
    itemAdded.Notify(it);
    mp_data->itemAdded.Notify(it);
    return it;
}

void Type::Unlist(Item* ip_item) {
    if (!m_null) {
        auto it = m_byValue.find(std::string_view(ip_item->m_value));
        if (it != m_byValue.end() && it->second == ip_item) m_byValue.erase(it);
    }
    if (ip_item->m_typeIndex < m_items.size() && m_items[ip_item->m_typeIndex] == ip_item)
        m_items[ip_item->m_typeIndex] = nullptr;
    --m_count;
    // Compact once most slots are holes; indices are rewritten.
    if (m_items.size() > 64 && m_count < m_items.size() / 4) {
        size_t w = 0;
        for (Item* p : m_items)
            if (p) {
                p->m_typeIndex = static_cast<uint32_t>(w);
                m_items[w++] = p;
            }
        m_items.resize(w);
    }
}

Item* Type::GetItem(const Value& i_value) {
    if (m_null) throw NullTypeException("GetItem by value on the null type " + m_name);
    if (Item* p = HasItem(i_value)) return p;
    return m_autoCreate ? Create(i_value.Text()) : nullptr;
}

Item* Type::HasItem(const Value& i_value) const {
    if (m_null) throw NullTypeException("HasItem by value on the null type " + m_name);
    auto it = m_byValue.find(std::string_view(i_value.Text()));
    return it == m_byValue.end() ? nullptr : it->second;
}

Item* Type::NewItem() {
    if (!m_null) throw NullTypeException("NewItem without a value on the valued type " + m_name);
    return Create(std::string());
}

Item* Type::NewItem(const Value& i_value) {
    if (m_null) throw NullTypeException("NewItem with a value on the null type " + m_name);
    if (Item* p = HasItem(i_value)) return p;
    return Create(i_value.Text());
}

Item* Type::GetGlobalNullItem() {
    if (!m_null) throw NullTypeException("GetGlobalNullItem on the valued type " + m_name);
    for (Item* p : m_items)
        if (p) return p;
    return Create(std::string());
}

// ---------------------------------------------------------------- PathNode

PathNode::PathNode(Data* ip_data, const char* ip_typeName) : mp_type(ip_data->GetType(ip_typeName)) {}

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
    m_types.emplace(i_name, t);
    m_typeOrder.push_back(t);
    return t;
}

Type* Data::GetType(const std::string& i_name) const {
    auto it = m_types.find(i_name);
    if (it == m_types.end()) throw TypeNotFoundException(i_name);
    return it->second;
}

Type* Data::HasType(const std::string& i_name) const {
    auto it = m_types.find(i_name);
    return it == m_types.end() ? nullptr : it->second;
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
    Relation* r = ip_a ? ip_a->Rel(ip_b) : nullptr;
    if (!r) {
        delete ip_handler;
        throw NotRelatedException("pair handler for unrelated types");
    }
    r->pairHandlers.push_back(ip_handler);
}

void Data::AddPathEventHandler(PathNode* ip_root, EventHandlerBase<Item*>* ip_handler) {
    auto reg = std::make_unique<PathRegistration>();
    reg->root = ip_root;
    reg->handler = ip_handler;
    PathRegistration* r = reg.get();
    m_paths.push_back(std::move(reg));
    IndexPath(ip_root, r);
    // A path whose fixed item is gone already can never fire.
    if (r->dead && r->handler) {
        delete r->handler;
        r->handler = nullptr;
    }
}

void Data::IndexPath(PathNode* ip_node, PathRegistration* ip_reg) {
    if (Item* fixed = ip_node->GetFixedItem()) {
        if (fixed->IsRemoved()) ip_reg->dead = true;
        fixed->m_pinned = true;
        m_pinnedPaths.emplace(fixed, ip_reg);
    }
    if (!ip_node->GetType()) ip_reg->dead = true;
    for (PathNode* c : ip_node->Children()) {
        if (ip_node->GetType() && c->GetType())
            if (Relation* r = ip_node->GetType()->Rel(c->GetType())) r->pathSteps.emplace_back(c, ip_reg);
        IndexPath(c, ip_reg);
    }
}

void Data::KillPathsOf(Item* ip_item) {
    auto range = m_pinnedPaths.equal_range(ip_item);
    for (auto it = range.first; it != range.second; ++it) it->second->dead = true;
    m_pinnedPaths.erase(range.first, range.second);
}

void Data::Retire(Item* ip_item) { m_retired.push_back(ip_item); }

void Data::FreeRemoved() {
    // Freed only outside every store operation, so no handler of a cascade
    // can touch a deleted item.
    std::vector<Item*> retired;
    retired.swap(m_retired);
    for (Item* p : retired) delete p;
}

void Data::PurgeRelation(Relation& io_rel) {
    if (io_rel.running) return;
    size_t w = 0;
    for (size_t k = 0; k < io_rel.pairHandlers.size(); ++k) {
        if (io_rel.pairHandlers[k]->m_disabled)
            delete io_rel.pairHandlers[k];
        else
            io_rel.pairHandlers[w++] = io_rel.pairHandlers[k];
    }
    io_rel.pairHandlers.resize(w);
    w = 0;
    for (size_t k = 0; k < io_rel.pathSteps.size(); ++k) {
        PathRegistration* reg = io_rel.pathSteps[k].second;
        if (reg->handler && reg->handler->m_disabled) {
            delete reg->handler;
            reg->handler = nullptr;
        }
        if (reg->dead || !reg->handler) continue;
        io_rel.pathSteps[w++] = io_rel.pathSteps[k];
    }
    io_rel.pathSteps.resize(w);
}

void Data::FireConnected(Item* ip_a, Item* ip_b) {
    Type* ta = ip_a->GetType();
    Type* tb = ip_b->GetType();
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
    auto pairs = [](Relation* r, Item* ip_from, Item* ip_to) {
        if (!r || r->pairHandlers.empty()) return;
        ++r->running;
        const size_t n = r->pairHandlers.size();
        bool sawDisabled = false;
        for (size_t k = 0; k < n; ++k) {
            auto* h = r->pairHandlers[k];
            if (h->m_disabled) {
                sawDisabled = true;
                continue;
            }
            ConnectionInfo ci(ip_from, ip_to);
            h->Handle(ci);
        }
        --r->running;
        if (sawDisabled) d->PurgeRelation(*r);
    };
    pairs(ta->Rel(tb), ip_a, ip_b);
    if (ta != tb) pairs(tb->Rel(ta), ip_b, ip_a);
    FirePath(ip_a, ip_b, true);
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

void Data::FirePath(Item* ip_a, Item* ip_b, bool i_connect) {
    Type* ta = ip_a->GetType();
    Type* tb = ip_b->GetType();
    Relation* rels[2] = {ta->Rel(tb), ta != tb ? tb->Rel(ta) : nullptr};
    for (Relation* r : rels) {
        if (!r || r->pathSteps.empty()) continue;
        ++r->running;
        const size_t n = r->pathSteps.size();
        bool stale = false;
        for (size_t k = 0; k < n; ++k) {
            PathNode* step = r->pathSteps[k].first;
            PathRegistration* reg = r->pathSteps[k].second;
            if (reg->dead || !reg->handler || reg->handler->m_disabled) {
                stale = true;
                continue;
            }
            const PathNodeRelation rel = step->GetRelation();
            const bool triggers = i_connect ? (rel == ConnectedNotify || rel == NotifyOnConnect)
                                            : (rel == DisconnectedNotify || rel == NotifyOnDisconnect);
            if (!triggers) continue;
            PathNode* parent = step->GetParent();
            std::vector<Item*> roots;
            if (parent->Matches(ip_a) && step->Matches(ip_b)) FirePathStep(step, reg, ip_a, ip_b, i_connect, roots);
            if (parent->Matches(ip_b) && step->Matches(ip_a)) FirePathStep(step, reg, ip_b, ip_a, i_connect, roots);
            std::vector<Item*> seen;
            for (Item* root : roots) {
                if (std::find(seen.begin(), seen.end(), root) != seen.end()) continue;
                seen.push_back(root);
                if (reg->dead || !reg->handler || reg->handler->m_disabled) break;
                if (root->IsRemoved()) continue;
                reg->handler->Handle(root);
            }
        }
        --r->running;
        if (stale) PurgeRelation(*r);
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

void Data::FirePathStep(PathNode* ip_step, PathRegistration* ip_reg, Item* ip_parent, Item* ip_child, bool i_connect,
                        std::vector<Item*>& o_roots) {
    (void)ip_reg;
    PathNode* parent = ip_step->GetParent();
    if (i_connect) {
        if (!Satisfies(ip_step, ip_child, nullptr)) return;
    } else if (!StepHolds(ip_step, ip_parent)) {
        return;
    }
    if (!Satisfies(parent, ip_parent, ip_step)) return;
    CollectRoots(parent, ip_parent, o_roots, 0);
}

void Data::CollectRoots(PathNode* ip_node, Item* ip_item, std::vector<Item*>& o_roots, int i_depth) const {
    if (i_depth > 64) return;
    PathNode* parent = ip_node->GetParent();
    if (!parent) {
        if (ip_node->Matches(ip_item)) o_roots.push_back(ip_item);
        return;
    }
    const PathNodeRelation rel = ip_node->GetRelation();
    if (rel == DisconnectedNotify || rel == DisconnectedOnly || rel == NotifyOnDisconnect) return;
    std::vector<Item*> candidates;
    if (Item* fixed = parent->GetFixedItem()) {
        if (ip_item->IsConnected(fixed)) candidates.push_back(fixed);
    } else if (const ConnGroup* g = ip_item->Group(parent->GetType())) {
        g->AppendTo(candidates);
    }
    for (Item* p : candidates)
        if (Satisfies(parent, p, ip_node)) CollectRoots(parent, p, o_roots, i_depth + 1);
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
    std::sort(all.begin(), all.end(), SerialBefore);
    all.erase(std::unique(all.begin(), all.end()), all.end());
    return ItemSet(std::move(all));
}

ItemSet Data::GetItemSubset(const ItemSet& i_items, const char* ip_typeName) const {
    Type* t = GetType(ip_typeName);
    if (i_items.empty()) return ItemSet();
    // Start from the smallest group and keep what every other item links to.
    const ConnGroup* smallest = nullptr;
    for (Item* p : i_items) {
        const ConnGroup* g = p->Group(t);
        if (!g) return ItemSet();
        if (!smallest || g->Size() < smallest->Size()) smallest = g;
    }
    std::vector<Item*> r;
    smallest->ForEach([&](Item* cand) {
        for (Item* p : i_items)
            if (!cand->IsConnected(p)) return;
        r.push_back(cand);
    });
    return ItemSet(std::move(r));
}

size_t Data::RemoveDisconnectedItems() {
    Operation op(this);
    size_t removed = 0;

    // Ownership, to a fixpoint: an owned item without an item of one of its
    // owning types goes, which may orphan what it owned in turn.
    auto lacksOwner = [](Item* p) {
        for (auto& [other, rel] : p->GetType()->m_relations)
            if (rel.ownedBy && other != p->GetType() && !p->GetItem(other)) return true;
        return false;
    };
    std::deque<Item*> work;
    for (Type* t : m_typeOrder) {
        bool owned = false;
        for (auto& [other, rel] : t->m_relations)
            if (rel.ownedBy && other != t) owned = true;
        if (owned) t->ForEachItem([&](Item* p) { work.push_back(p); });
    }
    std::vector<Item*> retired;
    while (!work.empty()) {
        Item* p = work.front();
        work.pop_front();
        if (p->IsRemoved() || !lacksOwner(p)) continue;
        std::vector<Item*> owned;
        for (auto& g : p->m_groups) {
            const Relation* rel = p->GetType()->GetRelation(g.GetType());
            if (rel && rel->owns) g.AppendTo(owned);
        }
        p->Remove();
        ++removed;
        for (Item* o : owned)
            if (!o->IsRemoved()) work.push_back(o);
    }

    // Then plain reachability from the items of root types, either direction.
    if (++m_markEpoch == 0) ++m_markEpoch;
    const uint32_t mark = m_markEpoch;
    std::vector<Item*> stack;
    for (Type* t : m_typeOrder)
        if (t->IsRoot())
            t->ForEachItem([&](Item* p) {
                if (p->m_mark != mark) {
                    p->m_mark = mark;
                    stack.push_back(p);
                }
            });
    while (!stack.empty()) {
        Item* p = stack.back();
        stack.pop_back();
        for (auto& g : p->m_groups)
            g.ForEach([&](Item* o) {
                if (o->m_mark != mark) {
                    o->m_mark = mark;
                    stack.push_back(o);
                }
            });
    }
    std::vector<Item*> unreachable;
    for (Type* t : m_typeOrder)
        if (!t->IsRoot()) t->ForEachItem([&](Item* p) {
            if (p->m_mark != mark) unreachable.push_back(p);
        });
    for (Item* p : unreachable) {
        if (p->IsRemoved()) continue;
        p->Remove();
        ++removed;
    }
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
    FreeRemoved();
    for (Type* t : m_typeOrder) {
        for (Item* p : t->m_items) delete p;
        for (auto& [other, rel] : t->m_relations)
            for (auto* h : rel.pairHandlers) delete h;
    }
    for (auto& reg : m_paths) {
        delete reg->handler;
        delete reg->root;
    }
    m_paths.clear();
    m_pinnedPaths.clear();
    for (Type* t : m_typeOrder) delete t;
    m_types.clear();
    m_typeOrder.clear();
    m_nextSerial = 1;
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
    ItemPtr(key->GetItem(i_key)) += ItemPtr(value->GetItem(i_value));
}

void ClearSetting(const std::string& i_key) {
    Type* key = d->HasType("global");
    Type* value = d->HasType("global_value");
    if (!key || !value) return;
    if (Item* k = key->HasItem(i_key)) k->Disconnect("global_value");
}

bool IsSettingYes(const std::string& i_key) { return GetSetting(i_key) == "yes"; }
