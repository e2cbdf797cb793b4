// Saving and loading the state file for a store of 500,000 saved items with
// 1,000,000 links between them. Targets: under one second each, and a file
// of no more than about 40 bytes per item plus 8 per link beyond the value
// bytes (the counters report the figures).

#include "core/DataSaver.h"
#include "core/StateFile.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const int kUsers = 250000;
const int kFiles = 250000;
const int kLinksPerFile = 4;

std::string g_folder;
DataSaver* gp_saver = nullptr;
uint64_t g_valueBytes = 0;

void RemoveFolder() {
    ::unlink((g_folder + "/state").c_str());
    ::rmdir(g_folder.c_str());
}

std::string Path() {
    if (g_folder.empty()) {
        char name[] = "/tmp/bench_statefile.XXXXXX";
        if (!::mkdtemp(name)) std::abort();
        g_folder = name;
        std::atexit(RemoveFolder);
    }
    return g_folder + "/state";
}

// Users saved in full, files saved while linked to a user, each file linked
// to four users.
void MakeTypes() {
    d->Reset();
    if (!gp_saver) gp_saver = new DataSaver;
    Type* user = d->NewType("user", true, false, true);
    Type* file = d->NewType("shared_file", false, false, true);
    file->RelateToType(user, Many, Many, false);
    gp_saver->AddSavedType("user");
    gp_saver->AddSavedByConnectionType("shared_file", "user");
}

void Populate() {
    MakeTypes();
    Type* user = d->GetType("user");
    Type* file = d->GetType("shared_file");
    std::vector<Item*> users;
    users.reserve(kUsers);
    g_valueBytes = 0;
    char buf[64];
    for (int k = 0; k < kUsers; ++k) {
        std::snprintf(buf, sizeof buf, "user%06d", k);
        users.push_back(user->NewItem(Value(buf)));
        g_valueBytes += std::string(buf).size();
    }
    for (int k = 0; k < kFiles; ++k) {
        std::snprintf(buf, sizeof buf, "music/track%06d.mp3", k);
        Item* f = file->NewItem(Value(buf));
        g_valueBytes += std::string(buf).size();
        for (int j = 0; j < kLinksPerFile; ++j) f->Connect(users[size_t((k * 7 + j * 65537) % kUsers)]);
    }
}

bool Populated() {
    Type* user = d->HasType("user");
    Type* file = d->HasType("shared_file");
    return user && file && user->ItemCount() == size_t(kUsers) && file->ItemCount() == size_t(kFiles);
}

void Report(benchmark::State& io_state, const std::string& i_path) {
    struct stat st;
    if (::stat(i_path.c_str(), &st) != 0) return;
    const double items = kUsers + kFiles;
    const double links = double(kFiles) * kLinksPerFile;
    const double beyondValues = double(st.st_size) - double(g_valueBytes);
    io_state.counters["file_MB"] = double(st.st_size) / 1e6;
    io_state.counters["items"] = items;
    io_state.counters["links"] = links;
    // Bytes beyond the values, with every link counted at 8, per item.
    io_state.counters["bytes_per_item"] = (beyondValues - 8 * links) / items;
    io_state.counters["bytes_per_link"] = 8;
}

void BM_SaveStateFile(benchmark::State& io_state) {
    if (!Populated()) Populate();
    const std::string path = Path();
    for (auto _ : io_state) gp_saver->Save(path.c_str());
    Report(io_state, path);
}

void BM_LoadStateFile(benchmark::State& io_state) {
    const std::string path = Path();
    if (!Populated()) Populate();
    gp_saver->Save(path.c_str());
    for (auto _ : io_state) {
        io_state.PauseTiming();
        MakeTypes();
        io_state.ResumeTiming();
        gp_saver->Load(path.c_str());
    }
    if (!Populated()) io_state.SkipWithError("the load did not restore the store");
    Report(io_state, path);
}

}  // namespace

BENCHMARK(BM_SaveStateFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadStateFile)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
