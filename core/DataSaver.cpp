#include "DataSaver.h"

#include "StateFile.h"

#include <algorithm>
#include <limits>
#include <unordered_map>

DataSaver* dataSaver = nullptr;

void SaveType(const char* ip_type) {
    if (dataSaver) dataSaver->AddSavedType(ip_type);
}

void SaveByConnection(const char* ip_type, const char* ip_other) {
    if (dataSaver) dataSaver->AddSavedByConnectionType(ip_type, ip_other);
}

namespace {

const uint32_t kNone = std::numeric_limits<uint32_t>::max();

// Item -> position in the file. Serials of the written items are usually
// dense, so a flat table indexed by serial does; a store whose saved items
// are scattered among many more transient ones falls back to a hash.
class IndexOf {
public:
    // Puts the items (serials i_min..i_max) in creation order and numbers them.
    void Build(std::vector<Item*>& io_items, uint64_t i_min, uint64_t i_max) {
        const size_t n = io_items.size();
        m_base = i_min;
        m_dense = n > 0 && i_max - i_min < 4 * uint64_t(n) + 1024;
        if (m_dense) {
            // Placing each item at its serial sorts them too.
            std::vector<Item*> bySerial(size_t(i_max - i_min + 1), nullptr);
            for (Item* p : io_items) bySerial[size_t(p->Serial() - m_base)] = p;
            m_table.assign(bySerial.size(), kNone);
            uint32_t k = 0;
            for (size_t s = 0; s < bySerial.size(); ++s)
                if (bySerial[s]) {
                    io_items[k] = bySerial[s];
                    m_table[s] = k++;
                }
        } else {
            std::vector<std::pair<uint64_t, Item*>> keyed;
            keyed.reserve(n);
            for (Item* p : io_items) keyed.emplace_back(p->Serial(), p);
            std::sort(keyed.begin(), keyed.end());
            m_hash.reserve(n);
            for (size_t k = 0; k < n; ++k) {
                io_items[k] = keyed[k].second;
                m_hash.emplace(keyed[k].second, uint32_t(k));
            }
        }
    }

    uint32_t Find(const Item* ip_item) const {
        if (m_dense) {
            const uint64_t s = ip_item->Serial() - m_base;   // wraps for smaller serials
            return s < m_table.size() ? m_table[size_t(s)] : kNone;
        }
        auto it = m_hash.find(ip_item);
        return it == m_hash.end() ? kNone : it->second;
    }

private:
    uint64_t m_base = 0;
    bool m_dense = false;
    std::vector<uint32_t> m_table;
    std::unordered_map<const Item*, uint32_t> m_hash;
};

}  // namespace

// ---------------------------------------------------------------- handlers

bool DataLoadedHandlerList::insert(DataLoadedEventHandler* ip_handler) {
    if (!ip_handler || count(ip_handler)) return false;
    m_handlers.push_back(ip_handler);
    return true;
}

bool DataLoadedHandlerList::erase(DataLoadedEventHandler* ip_handler) {
    auto it = std::find(m_handlers.begin(), m_handlers.end(), ip_handler);
    if (it == m_handlers.end()) return false;
    m_handlers.erase(it);
    return true;
}

size_t DataLoadedHandlerList::count(DataLoadedEventHandler* ip_handler) const {
    return std::find(m_handlers.begin(), m_handlers.end(), ip_handler) != m_handlers.end() ? 1 : 0;
}

// ---------------------------------------------------------------- DataSaver

DataSaver::DataSaver() { dataSaver = this; }

DataSaver::~DataSaver() {
    if (dataSaver == this) dataSaver = nullptr;
}

void DataSaver::AddSavedType(const std::string& i_type) {
    if (std::find(m_savedTypes.begin(), m_savedTypes.end(), i_type) == m_savedTypes.end())
        m_savedTypes.push_back(i_type);
}

void DataSaver::AddSavedByConnectionType(const std::string& i_type, const std::string& i_other) {
    auto& others = m_savedByConnection[i_type];
    if (std::find(others.begin(), others.end(), i_other) == others.end()) others.push_back(i_other);
}

void DataSaver::AddDataLoadedEventHandler(DataLoadedEventHandler* ip_handler) {
    m_dataLoadedEventHandlers.insert(ip_handler);
}

void DataSaver::RemoveDataLoadedEventHandler(DataLoadedEventHandler* ip_handler) {
    m_dataLoadedEventHandlers.erase(ip_handler);
}

void DataSaver::NotifyDataLoaded() {
    const std::vector<DataLoadedEventHandler*> snapshot(m_dataLoadedEventHandlers.begin(),
                                                        m_dataLoadedEventHandlers.end());
    for (DataLoadedEventHandler* h : snapshot)
        if (m_dataLoadedEventHandlers.count(h)) h->DataLoaded();
}

void DataSaver::BuildImage(statefile::Image& o_image) const {
    // The saved types that exist, in the store's order of creation.
    struct Saved {
        Type* type;
        bool full;
        std::vector<Type*> others;
    };
    std::vector<Saved> saved;
    for (Type* t : d->TypesInOrder()) {
        const bool full = std::find(m_savedTypes.begin(), m_savedTypes.end(), t->GetName()) != m_savedTypes.end();
        Saved s{t, full, {}};
        if (!full) {
            auto it = m_savedByConnection.find(t->GetName());
            if (it == m_savedByConnection.end()) continue;
            for (const std::string& name : it->second)
                if (Type* other = d->HasType(name)) s.others.push_back(other);
            if (s.others.empty()) continue;
        }
        saved.push_back(std::move(s));
    }

    std::unordered_map<const Type*, uint32_t> typeIndex;
    o_image.types.clear();
    for (const Saved& s : saved) {
        typeIndex.emplace(s.type, uint32_t(o_image.types.size()));
        o_image.types.push_back({s.type->GetName(), s.type->IsNull()});
    }

    std::vector<Item*> items;
    uint64_t lo = std::numeric_limits<uint64_t>::max(), hi = 0;
    for (const Saved& s : saved) {
        s.type->ForEachItem([&](Item* p) {
            if (!s.full) {
                bool linked = false;
                for (const ConnGroup& g : p->Groups())
                    if (g.Size() > 0 && std::find(s.others.begin(), s.others.end(), g.GetType()) != s.others.end()) {
                        linked = true;
                        break;
                    }
                if (!linked) return;
            }
            items.push_back(p);
            lo = std::min(lo, p->Serial());
            hi = std::max(hi, p->Serial());
        });
    }
    if (items.size() >= kNone) throw DataSaveFailure("too many items for the state file");

    IndexOf index;
    index.Build(items, lo, hi);

    o_image.items.clear();
    o_image.items.reserve(items.size());
    for (Item* p : items) o_image.items.push_back({typeIndex.find(p->GetType())->second, p->GetValue()});

    // Each link is seen from both ends; the end with the smaller index writes it.
    o_image.links.clear();
    for (uint32_t a = 0; a < uint32_t(items.size()); ++a) {
        for (const ConnGroup& g : items[a]->Groups()) {
            if (!typeIndex.count(g.GetType())) continue;
            g.ForEach([&](Item* other) {
                const uint32_t b = index.Find(other);
                if (b != kNone && b > a) o_image.links.emplace_back(a, b);
            });
        }
    }
}

std::string DataSaver::Save(const char* ip_path) {
    const std::string path = ip_path ? ip_path : "";
    if (path.empty()) throw DataSaveFailure("cannot save the state file: no path given");
    statefile::Image image;
    BuildImage(image);
    const std::string bytes = statefile::Encode(image);
    return statefile::WriteAtomically(path, bytes);
}

void DataSaver::Load(const char* ip_path) {
    const std::string path = ip_path ? ip_path : "";
    if (path.empty()) throw DataLoadFailure("cannot load the state file: no path given");
    std::string bytes;
    statefile::Image image;
    try {
        if (statefile::ReadFile(path, bytes) == statefile::ReadStatus::Missing) {
            NotifyDataLoaded();
            return;
        }
        image = statefile::Parse(bytes);
    } catch (const DataReadFailure& e) {
        // Not damaged, only out of reach: left as it is.
        throw DataReadFailure("cannot read the state file " + path + ": " + e.what());
    } catch (const DataLoadFailure& e) {
        // Kept for the user before any save can replace it.
        std::string error;
        const std::string kept = statefile::MoveAside(path, error);
        throw DataLoadFailure("cannot load the state file " + path + ": " + e.what() +
                              (kept.empty() ? "; it could not be moved aside: " + error : "; kept as " + kept));
    }
    statefile::Apply(image);
    NotifyDataLoaded();
}

// ---------------------------------------------------------------- apply

void statefile::Apply(const Image& i_image) {
    // Items removed by a handler during the load stay in memory until this
    // returns, so every pointer below may be tested with IsRemoved().
    Data::Operation op(d);

    const size_t typeCount = i_image.types.size();
    std::vector<Type*> types(typeCount, nullptr);
    for (size_t t = 0; t < typeCount; ++t) {
        Type* st = d->HasType(std::string(i_image.types[t].name));
        if (st && st->IsNull() == i_image.types[t].null) types[t] = st;
    }

    // A null type with one item in the file and one in the store is a shared
    // flag made before the load: the two are one item.
    std::vector<uint32_t> fileCount(typeCount, 0);
    for (const auto& it : i_image.items) ++fileCount[it.type];
    std::vector<Item*> shared(typeCount, nullptr);
    for (size_t t = 0; t < typeCount; ++t)
        if (types[t] && types[t]->IsNull() && fileCount[t] == 1 && types[t]->ItemCount() == 1)
            types[t]->ForEachItem([&](Item* p) { shared[t] = p; });

    std::vector<Item*> items(i_image.items.size(), nullptr);
    for (size_t k = 0; k < i_image.items.size(); ++k) {
        const auto& entry = i_image.items[k];
        Type* t = types[entry.type];
        if (!t) continue;
        if (!t->IsNull()) {
            items[k] = t->NewItem(Value(std::string(entry.value)));
        } else if (Item* flag = shared[entry.type]; flag && !flag->IsRemoved()) {
            items[k] = flag;
        } else {
            items[k] = t->NewItem();
        }
    }

    for (const auto& link : i_image.links) {
        Item* a = items[link.first];
        Item* b = items[link.second];
        if (!a || !b || a->IsRemoved() || b->IsRemoved()) continue;
        if (!a->GetType()->IsRelated(b->GetType())) continue;
        a->Connect(b);
    }
}
