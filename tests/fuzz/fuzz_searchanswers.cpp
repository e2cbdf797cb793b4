// Feeds arbitrary search texts to the search answering of a small real
// share: a public folder, a folder for a user-list group and one for the
// user list, on disk. Checked for every input: no crash or sanitizer
// report; the parser keeps no empty token and no quote in one; a reply
// goes out only for a text that parses, decodes with the peer network's
// own decoder, names the asker's request and 1 to 200 files, each a file
// the asker may see whose name holds every "*" part and no "-" word.
//
// The first input byte picks the asker: a stranger, a user in the group or
// a listed user; the rest is the search text.

#include "FuzzSupport.h"

#include "tests/shares/SharesTestSupport.h"

#include "Compression.h"
#include "GeneralFunctions.h"
#include "PeerMessageDecoders.h"
#include "SearchParser.h"

#include <QFileInfo>

namespace
{
// Kept until exit, as the application is.
sharestest::Environment* gp_env = nullptr;
// A fixed place rather than a random temporary name: folder names are part
// of what a search matches, and a fixed seed must do the same on every run.
// Runs at the same time make the same files there, so they share it, and
// it stays for the next run.
const char* const SHARE_ROOT = "/tmp/tavrinel-fuzz-searchanswers";
std::string g_public, g_group, g_listed;   // wire form

const char* const g_users[] = {"stranger", "friend", "listed"};

std::string Wire(const QString& i_path)
{
    return ToWirePath(sharestest::U8(i_path));
}

bool StartsWith(const std::string& i_text, const std::string& i_prefix)
{
    return i_text.compare(0, i_prefix.size(), i_prefix) == 0;
}
}

extern "C" int LLVMFuzzerInitialize(int* ip_argc, char*** ip_argv)
{
    using namespace sharestest;
    fuzz::StartApplication(ip_argc, ip_argv);
    gp_env = new Environment;
    Relate(MakeType("global", true, false, true), MakeType("global_value", false, false, true), Many, One);
    SetSetting("username", "me");
    const QString root = QString::fromLatin1(SHARE_ROOT);
    const char* const names[] = {"01 - First Song.mp3", "02 - Second song.MP3", "notes first.txt",
                                 "Live \"at\" home - first.ogg", "-dash *star.mp3", "caf\xc3\xa9 noir.flac",
                                 "tab\there.mp3", "UPPER lower Mixed.wav"};
    int n = 0;
    for (const char* folder : {"/Public/Some Band", "/Public/Other", "/Group", "/List/deep/er"})
        for (const char* name : names)
        {
            const QString path = root + folder + "/" + QString::fromUtf8(name);
            const qint64 size = 1000 + n++;
            if (QFileInfo(path).size() != size)
                MakeFile(path, size);
        }
    gp_env->Manager()->Init();
    Share(root + "/Public") += T("shared_public")->GetGlobalNullItem();
    Share(root + "/List") += T("shared_userlist")->GetGlobalNullItem();
    Share(root + "/Group") += T("user_list_group")->GetItem("friends");
    ItemPtr(T("user")->GetItem("friend")).NewItem("in_user_list") += T("user_list_group")->GetItem("friends");
    ItemPtr(T("user")->GetItem("listed")).NewItem("in_user_list");
    g_public = Wire(root + "/Public");
    g_group = Wire(root + "/Group");
    g_listed = Wire(root + "/List");

    const auto asking = [](char i_asker, const std::string& i_text) { return std::string(1, i_asker) + i_text; };
    fuzz::Seed(*ip_argc, *ip_argv,
               {asking(0, "first"), asking(1, "*irs -notes \"some band\""), asking(2, "first -\"second song\" *.mp3"),
                asking(0, "caf\xc3\xa9 \t noir")});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* ip_data, size_t i_size)
{
    using fuzz::Check;
    if (i_size == 0)
        return 0;
    const int asker = ip_data[0] % 3;
    const std::string text(reinterpret_cast<const char*>(ip_data + 1), i_size - 1);

    SearchParser parser;
    const bool parsed = parser.SetSearchText(text);
    for (const auto* tokens :
         {&parser.GetIncludedTokenSet(), &parser.GetIncludedPartTokenSet(), &parser.GetExcludedTokenSet()})
        for (const std::string& token : *tokens)
            Check(!token.empty() && token.find('"') == std::string::npos, "an empty or quoted token");

    const MemStream message = gp_env->Manager()->GetSearchResultMessage(g_users[asker], 77, text);
    if (message.Size() == 0)
        return 0;
    Check(parsed, "a reply to a text that does not parse");
    std::string body;
    quint32 code = 0;
    InputStream in(message.Data(), message.Size());
    in.ReadUInt32(code);
    Check(code == PM_FILE_SEARCH_RESULT, "a reply of another code");
    Check(Compression::Inflate(message.Data() + 4, message.Size() - 4, body), "a reply that does not inflate");
    PeerDecoders::SearchResult reply;
    Check(PeerDecoders::DecodeSearchResult(body.data(), body.size(), reply), "a reply that does not decode");
    Check(reply.m_user == "me" && reply.m_req == 77, "a reply for another request");
    Check(!reply.m_files.empty() && reply.m_files.size() <= 200, "a reply of no or too many files");
    for (const FileInfo& file : reply.m_files)
    {
        const std::string name = file.m_name.substr(file.m_name.rfind('\\') + 1);
        for (const std::string& part : parser.GetIncludedPartTokenSet())
            Check(name.find(part) != std::string::npos, "a file without a part asked for");
        for (const std::string& word : parser.GetExcludedTokenSet())
            Check(name.find(word) == std::string::npos, "a file with an excluded word");
        const bool visible = StartsWith(file.m_name, g_public + "\\") ||
                             (asker > 0 && StartsWith(file.m_name, g_listed + "\\")) ||
                             (asker == 1 && StartsWith(file.m_name, g_group + "\\"));
        Check(visible, "a file the asker may not see");
    }
    return 0;
}
