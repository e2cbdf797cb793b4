// Feeds arbitrary bytes to the state-file loader. Checked for every input:
// no crash or sanitizer report; a refused file leaves the store exactly as
// it was and is kept aside; an accepted file encodes back to the same bytes,
// and whatever the store then saves loads again.
//
// The first input byte picks the shape: odd, the rest is a body put behind a
// correct header (so the checksum does not hide the parser from the fuzzer);
// even, the rest is the whole file.

#include "FuzzSupport.h"
#include "core/DataSaver.h"
#include "core/StateFile.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

std::string g_folder;
DataSaver* gp_saver = nullptr;

void RemoveFolder() {
    for (const char* name : {"/state", "/state.bad", "/saved", "/saved.1"}) ::unlink((g_folder + name).c_str());
    ::rmdir(g_folder.c_str());
}

// Settings, a shared flag, an owning relation and a type linked to itself,
// each saved; and one unsaved type.
void MakeStore(DataSaver& io_saver) {
    d->Reset();
    Type* key = d->NewType("global", true, false, true);
    Type* value = d->NewType("global_value", false, false, true);
    key->RelateToType(value, Many, One, false);
    Type* wish = d->NewType("w", true, false, true);
    Type* flag = d->NewType("f", false, true, true);
    wish->RelateToType(flag, Many, One, false);
    Type* peer = d->NewType("p", true, false, false);
    peer->RelateToType(peer, Many, Many, false);
    Type* note = d->NewType("n", false, true, false);
    peer->RelateToType(note, One, Many, true);
    Type* other = d->NewType("o", false, false, true);
    other->RelateToType(key, Many, Many, false);
    io_saver.AddSavedType("global");
    io_saver.AddSavedByConnectionType("global_value", "global");
    io_saver.AddSavedType("w");
    io_saver.AddSavedType("f");
    io_saver.AddSavedType("p");
    io_saver.AddSavedByConnectionType("n", "p");

    // What start-up makes before a load.
    SetSetting("minimize_to_tray", "yes");
    flag->GetGlobalNullItem();
}

std::string Dump() {
    std::string out;
    for (Type* t : d->TypesInOrder()) {
        out += t->GetName() + "\n";
        t->ForEachItem([&](Item* p) {
            out += std::to_string(p->Serial()) + " " + p->GetValue() + ":";
            for (const ConnGroup& g : p->Groups()) g.ForEach([&](Item* o) { out += " " + std::to_string(o->Serial()); });
            out += "\n";
        });
    }
    return out + std::to_string(d->NextSerial());
}

void Check(bool i_ok, const char* ip_what) {
    if (i_ok) return;
    std::fprintf(stderr, "fuzz_stateload: %s\n", ip_what);
    std::abort();
}

void WriteFile(const std::string& i_path, const std::string& i_bytes) {
    FILE* f = std::fopen(i_path.c_str(), "wb");
    Check(f != nullptr, "cannot write the input file");
    Check(std::fwrite(i_bytes.data(), 1, i_bytes.size(), f) == i_bytes.size(), "cannot write the input file");
    std::fclose(f);
}

bool IsEmptyFolder(const char* ip_path) {
    struct stat st;
    if (ip_path[0] == '-' || ::stat(ip_path, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    DIR* dir = ::opendir(ip_path);
    if (!dir) return false;
    bool empty = true;
    while (dirent* e = ::readdir(dir))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") empty = false;
    ::closedir(dir);
    return empty;
}

// A few files the saver itself writes, in both input shapes, so that short
// runs from an empty corpus start past the header and the type names.
void Seed(const std::string& i_corpus) {
    MakeStore(*gp_saver);
    SetSetting("username", "alice");
    SetSetting("use_upnp", "yes");
    Type* wish = d->GetType("w");
    Type* peer = d->GetType("p");
    ItemPtr(wish->GetItem("a")).NewItem("f");
    wish->GetItem("b");
    ItemPtr p1 = peer->NewItem("1"), p2 = peer->NewItem("2");
    p1 += p2;
    p1.NewItem("n");
    ItemPtr(d->GetType("o")->GetItem("x")) += ItemPtr(d->GetType("global")->GetItem("username"));
    const std::string saved = g_folder + "/saved";
    gp_saver->Save(saved.c_str());
    std::string bytes;
    statefile::ReadFile(saved, bytes);
    ::unlink(saved.c_str());
    WriteFile(i_corpus + "/seed-file", std::string(1, '\0') + bytes);
    WriteFile(i_corpus + "/seed-body", std::string(1, '\1') + bytes.substr(statefile::kHeaderSize));
    d->Reset();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* ip_argc, char*** ip_argv) {
    char name[] = "/tmp/fuzz_stateload.XXXXXX";
    Check(::mkdtemp(name) != nullptr, "cannot make a folder");
    g_folder = name;
    std::atexit(RemoveFolder);
    gp_saver = new DataSaver;
    for (int k = 1; k < *ip_argc && !fuzz::InputsListed(*ip_argc, *ip_argv); ++k)
        if (IsEmptyFolder((*ip_argv)[k])) Seed((*ip_argv)[k]);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size) {
    if (i_size == 0) return 0;
    std::string file;
    if (ip_data[0] & 1) {
        const std::string body(reinterpret_cast<const char*>(ip_data + 1), i_size - 1);
        char header[statefile::kHeaderSize];
        const uint32_t fields[3] = {statefile::kVersion, uint32_t(body.size()),
                                    uint32_t(crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size())))};
        for (int k = 0; k < 8; ++k) header[k] = statefile::kMagic[k];
        for (int f = 0; f < 3; ++f)
            for (int k = 0; k < 4; ++k) header[8 + 4 * f + k] = char((fields[f] >> (8 * k)) & 0xff);
        file = std::string(header, sizeof header) + body;
    } else {
        file.assign(reinterpret_cast<const char*>(ip_data + 1), i_size - 1);
    }

    MakeStore(*gp_saver);
    const std::string before = Dump();
    const std::string path = g_folder + "/state";
    WriteFile(path, file);

    bool accepted = true;
    try {
        gp_saver->Load(path.c_str());
    } catch (const DataLoadFailure&) {
        accepted = false;
    }
    if (!accepted) {
        Check(Dump() == before, "a refused file changed the store");
        Check(::access(path.c_str(), F_OK) != 0, "a refused file was not moved aside");
        ::unlink((path + ".bad").c_str());
        return 0;
    }
    ::unlink(path.c_str());

    Check(statefile::Encode(statefile::Parse(file)) == file, "an accepted file does not encode back to itself");

    // What the store saves now must load again.
    const std::string saved = g_folder + "/saved";
    gp_saver->Save(saved.c_str());
    std::string bytes;
    Check(statefile::ReadFile(saved, bytes) == statefile::ReadStatus::Read, "the saved file is missing");
    ::unlink(saved.c_str());
    try {
        statefile::Parse(bytes);
    } catch (const DataLoadFailure&) {
        Check(false, "a saved file does not parse");
    }
    d->RemoveDisconnectedItems();
    return 0;
}
