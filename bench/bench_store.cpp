// Speed and memory of the data store at a million items.
//
// BM_BuildStore: 1,000,000 items of five types with 2,000,000 connections,
//   one handler on every event of every type and of the store.
//   Targets: under 1.5 s and under 300 MB resident (counters rss_mb, the
//   process's VmRSS after the build, and rss_delta_mb).
// BM_Sweep: the same store with about 10% of the non-root items cut off
//   from every root, swept. Target: under 0.5 s.
// BM_GetItemSubset: the users linked to both of two groups of 100,000 users
//   (half of them shared). Target: under 20 ms.
// BM_ItemMemory: resident bytes per item when each item has one connection
//   (to a shared flag item, and in pairs). Aim: about 150 bytes.

#include "core/Data.h"

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace
{

const int USERS = 100000;
const int FOLDERS = 200000;
const int FILES = 699998;   // with the users, folders and two flag items: 1,000,000

// Resident set size of this process in kB.
long ResidentKb()
{
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return 0;
    char line[256];
    long kb = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "VmRSS:", 6) == 0)
            kb = std::strtol(line + 6, nullptr, 10);
    std::fclose(f);
    return kb;
}

// Counts every event; one handler object per event.
class Counter : public DataHandler
{
public:
    long m_items = 0;
    long m_connections = 0;
    void OnItem(Item*) { ++m_items; }
    void OnConnection(ConnectionInfo&) { ++m_connections; }

    void Watch(Event<Item*>& io_added, Event<Item*>& io_removed, Event<ConnectionInfo&>& io_connected,
               Event<ConnectionInfo&>& io_disconnected)
    {
        AddHandler(io_added, this, &Counter::OnItem);
        AddHandler(io_removed, this, &Counter::OnItem);
        AddHandler(io_connected, this, &Counter::OnConnection);
        AddHandler(io_disconnected, this, &Counter::OnConnection);
    }
};

struct Store
{
    Type* user;
    Type* folder;
    Type* file;
    Type* online;
    Type* shared;
};

Store MakeTypes()
{
    Store s;
    s.user = d->NewType("user", true, false, true);
    s.folder = d->NewType("folder", false, false, true);
    s.file = d->NewType("file", false, false, true);
    s.online = d->NewType("is_online", false, true, false);
    s.shared = d->NewType("is_shared", false, true, false);
    s.user->RelateToType(s.online, Many, One, false);
    s.user->RelateToType(s.folder, One, Many, false);
    s.folder->RelateToType(s.folder, Many, Many, false);
    s.folder->RelateToType(s.shared, Many, One, false);
    s.folder->RelateToType(s.file, One, Many, false);
    s.user->RelateToType(s.file, One, Many, false);
    return s;
}

void Watch(Counter& io_counter, const Store& i_s)
{
    for (Type* t : {i_s.user, i_s.folder, i_s.file, i_s.online, i_s.shared})
        io_counter.Watch(t->itemAdded, t->itemRemoved, t->connected, t->disconnected);
    io_counter.Watch(d->itemAdded, d->itemRemoved, d->connected, d->disconnected);
}

// Builds the million items; returns the number of connections made.
long Build(const Store& i_s)
{
    long connections = 0;
    Item* online = i_s.online->GetGlobalNullItem();
    Item* shared = i_s.shared->GetGlobalNullItem();
    std::vector<Item*> users(USERS), folders(FOLDERS);
    for (int k = 0; k < USERS; ++k) {
        users[size_t(k)] = i_s.user->NewItem("user" + std::to_string(k));
        users[size_t(k)]->Connect(online);
        ++connections;
    }
    for (int k = 0; k < FOLDERS; ++k) {
        Item* f = i_s.folder->NewItem("dir" + std::to_string(k));
        folders[size_t(k)] = f;
        f->Connect(users[size_t(k % USERS)]);
        f->Connect(shared);
        connections += 2;
        if (k >= USERS) {
            f->Connect(folders[size_t(k - USERS)]);   // parent, of the same user
            ++connections;
        }
    }
    for (int k = 0; k < FILES; ++k) {
        Item* f = i_s.file->NewItem("f" + std::to_string(k));
        Item* folder = folders[size_t(k % FOLDERS)];
        folder->Connect(f);
        f->Connect(users[size_t(k % FOLDERS % USERS)]);
        connections += 2;
    }
    return connections;
}

void Teardown()
{
    d->Reset();
    malloc_trim(0);
}

void BM_BuildStore(benchmark::State& state)
{
    double rss = 0, delta = 0;
    long connections = 0, items = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Teardown();
        const long before = ResidentKb();
        Store s = MakeTypes();
        Counter counter;
        Watch(counter, s);
        state.ResumeTiming();

        connections = Build(s);

        state.PauseTiming();
        items = long(d->ItemCount());
        rss = ResidentKb() / 1024.0;
        delta = (ResidentKb() - before) / 1024.0;
        benchmark::DoNotOptimize(counter.m_connections);
        counter.DisableHandlers();
        Teardown();
        state.ResumeTiming();
    }
    state.counters["items"] = double(items);
    state.counters["connections"] = double(connections);
    state.counters["rss_mb"] = rss;
    state.counters["rss_delta_mb"] = delta;
}
BENCHMARK(BM_BuildStore)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_Sweep(benchmark::State& state)
{
    size_t removed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Teardown();
        Store s = MakeTypes();
        Counter counter;
        Watch(counter, s);
        Build(s);
        // Cut the folders and files of every tenth user off from the roots.
        Item* shared = s.shared->GetGlobalNullItem();
        for (int k = 0; k < USERS; k += 10) {
            ItemPtr user = s.user->HasItem("user" + std::to_string(k));
            for (Item* f : user.GetItems("folder"))
                ItemPtr(f) -= ItemPtr(shared);
            user.Disconnect("folder");
            user.Disconnect("file");
        }
        state.ResumeTiming();

        removed = d->RemoveDisconnectedItems();

        state.PauseTiming();
        counter.DisableHandlers();
        Teardown();
        state.ResumeTiming();
    }
    state.counters["removed"] = double(removed);
}
BENCHMARK(BM_Sweep)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_GetItemSubset(benchmark::State& state)
{
    Teardown();
    Type* user = d->NewType("user", true, false, true);
    Type* group = d->NewType("user_list_group", true, false, true);
    user->RelateToType(group, Many, Many, false);
    ItemPtr a = group->GetItem("a");
    ItemPtr b = group->GetItem("b");
    // Users join the groups in a scattered order.
    const int n = 150000;
    std::vector<ItemPtr> users;
    for (int k = 0; k < n; ++k)
        users.push_back(user->GetItem("user" + std::to_string(k)));
    for (int k = 0; k < n; ++k) {
        const int u = int((long(k) * 7919) % n);
        if (u < 100000)
            a += users[size_t(u)];
        if (u >= 50000)
            b += users[size_t(u)];
    }
    const ItemSet both = ItemSet(a) + ItemSet(b);
    size_t found = 0;
    for (auto _ : state) {
        ItemSet r = d->GetItemSubset(both, "user");
        found = r.size();
        benchmark::DoNotOptimize(r);
    }
    state.counters["found"] = double(found);
    Teardown();
}
BENCHMARK(BM_GetItemSubset)->Unit(benchmark::kMillisecond);

void BM_ItemMemory(benchmark::State& state)
{
    const bool pairs = state.range(0) == 1;
    const int n = 1000000;
    double perItem = 0;
    for (auto _ : state) {
        Teardown();
        const long before = ResidentKb();
        Type* item = d->NewType("file", false, false, true);
        Type* other = d->NewType(pairs ? "file_size" : "is_complete", false, !pairs, true);
        item->RelateToType(other, Many, One, false);
        if (pairs) {
            for (int k = 0; k < n / 2; ++k)
                ItemPtr(item->NewItem("file" + std::to_string(k))) += ItemPtr(other->NewItem(std::to_string(k)));
        } else {
            ItemPtr flag = other->GetGlobalNullItem();
            for (int k = 0; k < n; ++k)
                ItemPtr(item->NewItem("file" + std::to_string(k))) += flag;
        }
        perItem = (ResidentKb() - before) * 1024.0 / double(d->ItemCount());
    }
    state.counters["bytes_per_item"] = perItem;
    Teardown();
}
BENCHMARK(BM_ItemMemory)->Arg(0)->Arg(1)->ArgName("pairs")->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
