// Feeds arbitrary bytes to a received share list's way into the store: the
// compressed body inflated and decoded as the peer network does, the
// folders and files stored as another user's share, and the share removed.
// Checked for every input: no crash or sanitizer report; the stored share
// holds one folder per listed folder and one file per kept record, each
// folder under its own name; its removal leaves every type with the items
// it had before.
//
// The first input byte picks the shape: even, the rest is the body as it
// comes off the wire (compressed); odd, the rest is the inflated body.

#include "FuzzSupport.h"

#include "tests/shares/SharesTestSupport.h"

#include "Compression.h"
#include "PeerMessageDecoders.h"

#include <map>

namespace
{
// A zlib bomb in a fuzz input stays cheap below this.
constexpr size_t FUZZ_INFLATE_CAP = 16u * 1024 * 1024;

// Kept until exit, as the application is.
sharestest::Environment* gp_env = nullptr;

std::map<std::string, size_t> Counts()
{
    std::map<std::string, size_t> counts;
    for (Type* type : d->TypesInOrder())
        counts[type->GetName()] = type->ItemCount();
    return counts;
}

std::string Zlib(const std::string& i_body)
{
    std::string out;
    Compression::Compress(i_body.data(), i_body.size(), out);
    return out;
}
}

extern "C" int LLVMFuzzerInitialize(int* ip_argc, char*** ip_argv)
{
    using namespace fuzz;
    StartApplication(ip_argc, ip_argv);
    gp_env = new sharestest::Environment;
    // The sender stays a known user once its share is gone.
    T("user")->GetItem("peer");
    // Another user's list: nested folders, a parent left out, a folder
    // listed twice, a record left out, attribute pairs of every code.
    const std::string body =
        U32(4) + Str("Music") + U32(1) + Record("intro.mp3", 5, {{0, 320}, {1, 200}, {2, 1}}) + Str("Music\\Rock\\Live") +
        U32(2) + Record("a.mp3", 100, {{2, 0}, {7, 1}, {0, 128}, {0, 256}}) + std::string(1, '\0') +
        Str("Music\\Rock\\Live") + U32(1) + Record("b.mp3", 7) + Str("Docs") + U32(0) + U32(1) + U32(0) +
        Str("bitrate");
    Seed(*ip_argc, *ip_argv, {std::string(1, '\0') + Zlib(body), std::string(1, '\1') + body});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size)
{
    using fuzz::Check;
    if (i_size == 0)
        return 0;
    std::string inflated;
    const char* body = reinterpret_cast<const char*>(ip_data + 1);
    size_t size = i_size - 1;
    if ((ip_data[0] & 1) == 0)
    {
        if (!Compression::Inflate(body, size, inflated, FUZZ_INFLATE_CAP))
            return 0;
        body = inflated.data();
        size = inflated.size();
    }
    PeerDecoders::SharedFileList list;
    if (!PeerDecoders::DecodeSharedFileList(body, size, list))
        return 0;

    const std::map<std::string, size_t> before = Counts();
    size_t files = 0;
    for (const auto& folder : list.m_share)
        files += folder.second.size();
    const size_t folders = list.m_share.size();
    std::vector<std::string> paths;
    for (const auto& folder : list.m_share)
        paths.push_back(folder.first);

    gp_env->Manager()->OnUserShare("peer", list.m_share, list.m_table);
    Check(T("user_share")->ItemCount() == 1 && T("user_share_loaded")->ItemCount() == 1, "the share is not stored");
    Check(T("user_share_folder")->ItemCount() == folders, "a folder is missing or stored twice");
    Check(T("user_share_file")->ItemCount() == files, "a file is missing or stored twice");
    for (const std::string& path : paths)
    {
        Item* name = T("user_share_folder_name")->HasItem(path);
        Check(name && name->GetItems("user_share_folder").size() == 1, "a folder is not under its name");
    }

    gp_env->Manager()->RemoveUserShare("peer");
    Check(Counts() == before, "the removed share left items behind");
    return 0;
}
