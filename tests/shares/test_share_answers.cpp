// What other users get from this client's shares: search replies, the
// share list and folder contents, each read back with the peer network's
// own decoders, on real folders; and received share lists stored as trees.

#include "SharesTestSupport.h"

#include "Compression.h"
#include "GeneralFunctions.h"
#include "PeerMessageDecoders.h"
#include "SearchParser.h"
#include "SharedFolderInfo.h"
#include "UploadStatusProvider.h"

#include <QTemporaryDir>

#include <map>
#include <QtTest>

using namespace sharestest;

namespace
{

// The body of a compressed message of that code; empty when the message is
// empty, of another code or not a valid zlib stream.
std::string Body(const MemStream& i_message, quint32 i_code)
{
    std::string body;
    if (i_message.Size() < 4)
        return body;
    InputStream in(i_message.Data(), i_message.Size());
    quint32 code = 0;
    in.ReadUInt32(code);
    if (code != i_code || !Compression::Inflate(i_message.Data() + 4, i_message.Size() - 4, body))
        body.clear();
    return body;
}

class StubUploads : public UploadStatusProvider
{
public:
    StubUploads() { gp_uploadStatusProvider = this; }
    ~StubUploads() override { gp_uploadStatusProvider = nullptr; }
    bool IsFreeToUpload() override { return true; }
    unsigned int QueuedUploadCount() override { return 7; }
};

ItemPtr ListUser(const std::string& i_user, std::initializer_list<const char*> i_groups = {})
{
    ItemPtr entry = ItemPtr(T("user")->GetItem(i_user)).NewItem("in_user_list");
    for (const char* group : i_groups)
        entry += T("user_list_group")->GetItem(group);
    return entry;
}

std::string Wire(const QString& i_path)
{
    return ToWirePath(U8(i_path));
}

// The record names of a search reply, in wire order.
QStringList Names(const PeerDecoders::SearchResult& i_reply)
{
    QStringList names;
    for (const FileInfo& file : i_reply.m_files)
        names << QString::fromUtf8(file.m_name.c_str()).section('\\', -1);
    return names;
}

// The item of that type and value, never created.
ItemPtr Named(const char* i_type, const std::string& i_value)
{
    return T(i_type)->HasItem(i_value);
}

FileInfo Record(const std::string& i_name, qint64 i_size, std::vector<AttributeMap::Attribute> i_pairs = {})
{
    FileInfo file(i_name, i_size);
    file.m_attributes.m_attributes = std::move(i_pairs);
    return file;
}

// The files linked to every one of the tokens, as the store intersects them.
std::vector<Item*> LinkedToAll(const std::set<std::string>& i_tokens)
{
    ItemSet tokens;
    for (const std::string& token : i_tokens)
    {
        Item* item = T("search_token")->HasItem(token);
        if (!item)
            return {};
        tokens.insert(item);
    }
    return tokens.empty() ? std::vector<Item*>() : d->GetItemSubset(tokens, "shared_file").Items();
}

} // namespace

class TestShareAnswers : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void searchMatchesTokensPartsAndExclusions();
    void searchReplyBody();
    void searchSeesOnlyVisibleFilesAndStopsAbove200();
    void searchCandidatesFollowIndexChanges();
    void searchIndexAgreesWithFilesAfterChangesAndReload();
    void shareListRoundTrip();
    void folderContents();
    void boundedQueriesAndKeptReplies();
    void receivedTrees();
    void receivedListWaitsForRemoval();
    void ownStatisticsSetUploadSpeed();
    void folderInfoRecord();

private:
    // Answers the search as the given user; false when nothing is sent.
    bool Search(const std::string& i_user, const std::string& i_text, PeerDecoders::SearchResult& o_reply);
    bool Finds(const std::string& i_text, const QString& i_name);

    std::unique_ptr<Environment> mp_env;
    std::unique_ptr<QTemporaryDir> mp_dir;
    SharedFoldersManager* mp_m = nullptr;
    QString m_public, m_group;
};

void TestShareAnswers::init()
{
    mp_env = std::make_unique<Environment>();
    mp_m = mp_env->Manager();
    // The settings, as start-up makes them before the shared files.
    Relate(MakeType("global", true, false, true), MakeType("global_value", false, false, true), Many, One);
    SetSetting("username", "me");

    mp_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(mp_dir->isValid());
    m_public = mp_dir->path() + "/Public";
    m_group = mp_dir->path() + "/Group";
    MakeFile(m_public + "/Some Band/01 - First Song.mp3", 3000);
    MakeFile(m_public + "/Some Band/02 - Second song.MP3", 4000);
    MakeFile(m_public + "/Some Band/notes first.txt", 5);
    MakeFile(m_public + "/Empty/.hidden", 1);
    MakeFile(m_group + "/first secret.mp3", 6);
    MakeFile(mp_dir->path() + "/List/first private.txt", 7);
    mp_m->Init();
    Share(m_public) += T("shared_public")->GetGlobalNullItem();
    Share(mp_dir->path() + "/List") += T("shared_userlist")->GetGlobalNullItem();
    Share(m_group) += T("user_list_group")->GetItem("friends");
    ListUser("friend", {"friends"});
    ListUser("listed");
}

void TestShareAnswers::cleanup()
{
    mp_env.reset();
    mp_dir.reset();
}

bool TestShareAnswers::Search(const std::string& i_user, const std::string& i_text,
                              PeerDecoders::SearchResult& o_reply)
{
    const std::string body = Body(mp_m->GetSearchResultMessage(i_user, 42, i_text), PM_FILE_SEARCH_RESULT);
    return !body.empty() && PeerDecoders::DecodeSearchResult(body.data(), body.size(), o_reply);
}

bool TestShareAnswers::Finds(const std::string& i_text, const QString& i_name)
{
    PeerDecoders::SearchResult reply;
    return Search("stranger", i_text, reply) && Names(reply).contains(i_name);
}

void TestShareAnswers::searchMatchesTokensPartsAndExclusions()
{
    const QString first = "01 - First Song.mp3";
    // Whole tokens match whatever their case, anywhere in the path.
    QVERIFY(Finds("first", first));
    QVERIFY(Finds("FIRST Song", first));
    QVERIFY(Finds("band first", first));
    QVERIFY(!Finds("firs", first));
    // Parts and exclusions look at the name only, in its own case.
    QVERIFY(Finds("first *Son", first));
    QVERIFY(!Finds("first *son", first));
    QVERIFY(!Finds("first *Band", first));
    QVERIFY(!Finds("first -Song", first));
    QVERIFY(Finds("first -song", first));
    QVERIFY(Finds("first -Band", first));
    QVERIFY(Finds("first -notes", first));
    QVERIFY(!Finds("first -notes", "notes first.txt"));

    // Nothing for rejected texts, parts or exclusions alone, unknown tokens.
    PeerDecoders::SearchResult reply;
    for (const char* text : {"", "first -", "*Song", "-Song", "\"\"", "first nosuchword"})
        QVERIFY2(!Search("stranger", text, reply), text);
}

void TestShareAnswers::searchReplyBody()
{
    ItemPtr first = FileItem(m_public + "/Some Band", "01 - First Song.mp3");
    first += T("bitrate")->GetItem("192");
    first += T("bitrate_mode")->GetItem("cbr");
    ItemPtr second = FileItem(m_public + "/Some Band", "02 - Second song.MP3");
    second += T("bitrate_mode")->GetItem("vbr");

    PeerDecoders::SearchResult reply;
    QVERIFY(Search("stranger", "some band", reply));
    QCOMPARE(reply.m_user, std::string("me"));   // the replier, not the searcher
    QCOMPARE(reply.m_req, 42u);
    QCOMPARE(reply.m_files.size(), size_t(3));
    const std::string folder = Wire(m_public + "/Some Band\\");
    QCOMPARE(reply.m_files[0].m_name, folder + "01 - First Song.mp3");
    QCOMPARE(reply.m_files[0].m_size, qint64(3000));
    QCOMPARE(reply.m_files[0].m_attributes.m_extension, std::string("mp3"));
    QCOMPARE(reply.m_files[0].m_attributes.m_attributes,
             (std::vector<AttributeMap::Attribute>{{0, 192}, {2, 0}}));
    QCOMPARE(reply.m_files[1].m_name, folder + "02 - Second song.MP3");
    QCOMPARE(reply.m_files[1].m_attributes.m_extension, std::string("mp3"));
    QCOMPARE(reply.m_files[1].m_attributes.m_attributes, (std::vector<AttributeMap::Attribute>{{2, 1}}));
    QCOMPARE(reply.m_files[2].m_name, folder + "notes first.txt");
    QCOMPARE(reply.m_files[2].m_attributes.m_extension, std::string());
    QVERIFY(reply.m_files[2].m_attributes.m_attributes.empty());
    // No upload queue yet, no speed reported yet.
    QCOMPARE(reply.m_freeSlot, false);
    QCOMPARE(reply.m_speed, 0u);
    QCOMPARE(reply.m_queued, 0u);
    QVERIFY(reply.m_table.empty());

    StubUploads uploads;
    SetSetting("upload_speed", "-5");
    QVERIFY(Search("stranger", "some band", reply));
    QCOMPARE(reply.m_freeSlot, true);
    QCOMPARE(reply.m_speed, 0u);
    QCOMPARE(reply.m_queued, 7u);
    SetSetting("upload_speed", "123456");
    QVERIFY(Search("stranger", "some band", reply));
    QCOMPARE(reply.m_speed, 123456u);

    // Two files that come to one wire path are one record, and the count
    // says so.
    MakeFile(m_public + "/Pair/b\\c", 11);
    MakeFile(m_public + "/Pair/b/c", 12);
    mp_m->RescanShares();
    QVERIFY(Search("stranger", "pair", reply));
    QCOMPARE(reply.m_files.size(), size_t(1));
    QCOMPARE(reply.m_files[0].m_name, Wire(m_public + "/Pair/b/c"));

    // Search results are logged when they are sent.
    LogCapture log("Search");
    mp_m->ProcessSearch("stranger", 9, "pair");
    QCOMPARE(log.Lines(), QStringList{"Sending search results to user stranger for search string pair"});
}

void TestShareAnswers::searchSeesOnlyVisibleFilesAndStopsAbove200()
{
    PeerDecoders::SearchResult reply;
    // The group folder is for its members only, the user-list folder for
    // the users on the list; the unshared see nothing.
    QVERIFY(Finds("first", "01 - First Song.mp3"));
    QVERIFY(!Finds("secret", "first secret.mp3"));
    QVERIFY(!Finds("private", "first private.txt"));
    QVERIFY(!Search("listed", "secret", reply));
    QVERIFY(Search("listed", "private", reply));
    QVERIFY(Search("friend", "secret", reply));
    QVERIFY(Search("friend", "private", reply));
    ItemPtr(T("user")->GetItem("friend")).NewItem("unshared");
    QVERIFY(!Search("friend", "first", reply));

    // 199 more public files named "track" make 200 with the group's one.
    for (int k = 0; k < 199; ++k)
        MakeFile(m_public + QString("/Tracks/track %1.txt").arg(k), 1);
    MakeFile(m_group + "/track hidden.txt", 1);
    mp_m->RescanShares();
    QVERIFY(Search("stranger", "track", reply));
    QCOMPARE(reply.m_files.size(), size_t(199));
    ListUser("member", {"friends"});
    QVERIFY(Search("member", "track", reply));
    QCOMPARE(reply.m_files.size(), size_t(200));
    MakeFile(m_public + "/Tracks/track 199.txt", 1);
    mp_m->RescanShares();
    QVERIFY(Search("stranger", "track", reply));
    QCOMPARE(reply.m_files.size(), size_t(200));
    QVERIFY(!Search("member", "track", reply));
}

void TestShareAnswers::searchCandidatesFollowIndexChanges()
{
    // Files holding every mix of four colours, some mixes twice, all in
    // one folder; "silver" is in one file only.
    const std::vector<std::string> words = {"red", "green", "blue", "gold", "mix", "silver"};
    const auto makeFiles = [&](int i_from, int i_to) {
        for (int k = i_from; k < i_to; ++k)
        {
            QString name = m_public + QString("/Mix/%1").arg(k);
            for (int w = 0; w < 4; ++w)
                if (k & (1 << w))
                    name += " " + QString::fromStdString(words[size_t(w)]);
            MakeFile(name + (k == 7 ? " silver.txt" : ".txt"), 1);
        }
    };
    makeFiles(0, 24);
    mp_m->RescanShares();

    // Every combination of the tokens finds what the store's own
    // intersection finds, in the same order, also when the visitor stops.
    const auto check = [&](const char* i_when) {
        for (unsigned mask = 1; mask < (1u << words.size()); ++mask)
        {
            std::set<std::string> tokens;
            for (size_t w = 0; w < words.size(); ++w)
                if (mask & (1u << w))
                    tokens.insert(words[w]);
            const std::vector<Item*> expected = LinkedToAll(tokens);
            std::vector<Item*> all, firstTwo;
            mp_m->ForEachSearchCandidate(tokens, [&](Item* i_file) {
                all.push_back(i_file);
                return true;
            });
            mp_m->ForEachSearchCandidate(tokens, [&](Item* i_file) {
                firstTwo.push_back(i_file);
                return firstTwo.size() < 2;
            });
            const QByteArray what = QByteArray(i_when) + " tokens " + QByteArray::number(mask);
            QVERIFY2(all == expected, what.constData());
            const size_t stop = std::min<size_t>(2, expected.size());
            QVERIFY2(firstTwo == std::vector<Item*>(expected.begin(), expected.begin() + stop), what.constData());
        }
    };
    check("first walk");
    QVERIFY(!LinkedToAll({"red", "mix"}).empty());
    QVERIFY(!LinkedToAll({"silver"}).empty());

    // Files go, others come; the lists searches keep must follow.
    QVERIFY(QFile::remove(m_public + "/Mix/7 red green blue silver.txt"));
    QVERIFY(QFile::remove(m_public + "/Mix/5 red blue.txt"));
    makeFiles(24, 40);
    mp_m->RescanShares();
    QVERIFY(LinkedToAll({"silver"}).empty());
    check("after a rescan");

    PeerDecoders::SearchResult reply;
    QVERIFY(Search("stranger", "mix RED gold", reply));
    QCOMPARE(Names(reply), (QStringList{"11 red green gold.txt", "13 red blue gold.txt", "15 red green blue gold.txt",
                                        "25 red gold.txt", "27 red green gold.txt", "29 red blue gold.txt",
                                        "31 red green blue gold.txt", "9 red gold.txt"}));

    // An unshared folder takes its files out of the index at once.
    Share(m_public).Remove();
    check("unshared");
    QVERIFY(!Search("stranger", "mix red", reply));
}

void TestShareAnswers::searchIndexAgreesWithFilesAfterChangesAndReload()
{
    // Every token of a shared file's path leads searches to exactly the
    // files whose own folder and name hold it, in creation order.
    const auto agree = [&](const char* i_when) {
        std::map<std::string, std::vector<Item*>> expected;
        for (Item* file : g("shared_file"))
        {
            ItemPtr f(file);
            const std::string path = f["shared_file_folder"].AsString() + "\\" + f["shared_file_name"].AsString();
            for (const std::string& token : SharedFoldersManager::GetSearchTokens(path))
                expected[token].push_back(file);
        }
        QVERIFY2(T("search_token")->ItemCount() == expected.size(), i_when);
        for (const auto& entry : expected)
        {
            std::vector<Item*> found;
            mp_m->ForEachSearchCandidate({entry.first}, [&found](Item* i_file) {
                found.push_back(i_file);
                return true;
            });
            QVERIFY2(found == entry.second, (std::string(i_when) + ": " + entry.first).c_str());
        }
    };
    mp_m->RescanShares();
    agree("first walk");

    MakeFile(m_public + "/Some Band/03 - Third Song.mp3", 10);
    MakeFile(m_public + "/Live/01 - First Song.mp3", 11);
    QVERIFY(QFile::remove(m_public + "/Some Band/notes first.txt"));
    QVERIFY(QDir(mp_dir->path()).rename("List", "Listed"));
    mp_m->RescanShares();
    agree("changed tree");

    const QString stateFile = mp_dir->path() + "/state";
    mp_env->Saver()->Save(QFile::encodeName(stateFile).constData());
    mp_env.reset();
    mp_env = std::make_unique<Environment>();
    mp_m = mp_env->Manager();
    Relate(MakeType("global", true, false, true), MakeType("global_value", false, false, true), Many, One);
    mp_env->Saver()->Load(QFile::encodeName(stateFile).constData());
    mp_m->Init();
    agree("reloaded");
    QVERIFY(Finds("third", "03 - Third Song.mp3"));
}

void TestShareAnswers::shareListRoundTrip()
{
    ItemPtr first = FileItem(m_public + "/Some Band", "01 - First Song.mp3");
    first += T("bitrate")->GetItem("320");
    first += T("bitrate_mode")->GetItem("vbr");
    MakeFile(m_public + "/Some Band/odd\\name.txt", 9);
    mp_m->RescanShares();

    LogCapture log("Shared");
    const std::string body = Body(mp_m->GetSharedFilesMessage("stranger"), PM_SHARED_FILE_LIST);
    QCOMPARE(log.Count("Shared file list requested by user stranger"), 1);
    PeerDecoders::SharedFileList list;
    QVERIFY(PeerDecoders::DecodeSharedFileList(body.data(), body.size(), list));
    QVERIFY(list.m_table.empty());

    // Every public folder, the empty one and the root included; no group folder.
    QStringList paths;
    for (const auto& folder : list.m_share)
        paths << QString::fromUtf8(folder.first.c_str());
    const QString root = QString::fromUtf8(Wire(m_public).c_str());
    QCOMPARE(paths, (QStringList{root, root + "\\Empty", root + "\\Some Band"}));
    const std::set<FileInfo>& band = list.m_share[Wire(m_public + "/Some Band")];
    QCOMPARE(band.size(), size_t(3));
    // A name holding "\", which the wire cannot carry, is not shared.
    QCOMPARE(band.begin()->m_name, std::string("01 - First Song.mp3"));
    QVERIFY(!band.count(FileInfo("name.txt", 9)));

    // Stored as another user's list, it mirrors the share.
    mp_m->OnUserShare("mirror", list.m_share, list.m_table);
    ItemPtr share = Named("user", "mirror")["user_share"];
    QVERIFY(share.IsConnected("user_share_loaded"));
    QCOMPARE(share.GetItems("user_share_folder").size(), size_t(3));
    ItemPtr bandFolder =
        share.GetItems("user_share_folder").Connected(Named("user_share_folder_name", Wire(m_public + "/Some Band")));
    QVERIFY(bandFolder);
    QCOMPARE(bandFolder.GetItems("user_share_file").size(), size_t(3));
    ItemPtr song = bandFolder.GetItems("user_share_file").Connected(Named("user_share_file_name", "01 - First Song.mp3"));
    QCOMPARE(song["file_size"].AsString(), std::string("3000"));
    QCOMPARE(song["bitrate"].AsString(), std::string("320"));
    QCOMPARE(song["bitrate_mode"].AsString(), std::string("vbr"));
    ItemPtr empty =
        share.GetItems("user_share_folder").Connected(Named("user_share_folder_name", Wire(m_public + "/Empty")));
    QVERIFY(empty.GetItems("user_share_file").empty());
    // Both sub-folders hang below the root.
    ItemPtr rootFolder = share.GetItems("user_share_folder").Connected(Named("user_share_folder_name", Wire(m_public)));
    const ItemSet children =
        rootFolder.GetItems("user_share_folder_child").GetItems("user_share_folder_parent").GetItems("user_share_folder");
    QCOMPARE(children.size(), size_t(2));
    QVERIFY(children.Contains(bandFolder) && children.Contains(empty));

    // An unshared user gets a list all the same, with no folder in it.
    ItemPtr(T("user")->GetItem("banned")).NewItem("unshared");
    const std::string none = Body(mp_m->GetSharedFilesMessage("banned"), PM_SHARED_FILE_LIST);
    QVERIFY(PeerDecoders::DecodeSharedFileList(none.data(), none.size(), list));
    QVERIFY(list.m_share.empty());
    QCOMPARE(none.size(), size_t(8));
}

void TestShareAnswers::folderContents()
{
    ItemPtr first = FileItem(m_public + "/Some Band", "01 - First Song.mp3");
    first += T("bitrate")->GetItem("192");
    MakeFile(m_public + "/Some Band/odd\\name.txt", 9);
    mp_m->RescanShares();

    const std::string folder = Wire(m_public + "/Some Band");
    const std::string body = Body(mp_m->GetFolderContentsMessage("stranger", 77, folder, true), PM_SHARED_FILES_IN_FOLDER);
    InputStream in(body.data(), body.size());
    quint32 req = 0, count = 0;
    std::string path, again;
    in.ReadUInt32(req);
    in.ReadString(path);
    in.ReadUInt32(count);
    in.ReadString(again);
    SharedFolderInfo files;
    QVERIFY(files.Read(in));
    QVERIFY(in.Ok());
    QCOMPARE(in.Remaining(), size_t(0));
    QCOMPARE(req, 77u);
    QCOMPARE(path, folder);
    QCOMPARE(count, 1u);
    QCOMPARE(again, folder);
    // Full names, sizes, and no attributes even for a scanned MP3 file.
    QCOMPARE(files.m_files.size(), size_t(3));
    QCOMPARE(files.m_files.begin()->m_name, std::string("01 - First Song.mp3"));
    QCOMPARE(files.m_files.begin()->m_size, qint64(3000));
    QVERIFY(files.m_files.begin()->m_attributes == AttributeMap());
    QCOMPARE(files.m_files.rbegin()->m_name, std::string("notes first.txt"));

    // Nothing for a folder the user may not see, written in another case,
    // or ending in a separator; nor for one that is not shared at all.
    QVERIFY(mp_m->GetFolderContentsMessage("stranger", 1, Wire(m_group), true).Size() == 0);
    QVERIFY(mp_m->GetFolderContentsMessage("friend", 1, Wire(m_group), true).Size() > 0);
    QVERIFY(mp_m->GetFolderContentsMessage("stranger", 1, Wire(m_public + "/some band"), true).Size() == 0);
    QVERIFY(mp_m->GetFolderContentsMessage("stranger", 1, folder + "\\", true).Size() == 0);
    QVERIFY(mp_m->GetFolderContentsMessage("stranger", 1, Wire(mp_dir->path()), true).Size() == 0);

    // The size told before a request is read is never less than the answer,
    // and nothing where there is no answer.
    for (quint32 req : {0u, 77u, 0xFFFFFFFFu})
    {
        const size_t told = mp_m->FolderContentsSize("stranger", folder, true);
        const size_t real = mp_m->GetFolderContentsMessage("stranger", req, folder, true).Size();
        QVERIFY2(told >= real && told <= real + 2 * folder.size() + 64, qPrintable(QString("%1 %2").arg(told).arg(real)));
    }
    QCOMPARE(mp_m->FolderContentsSize("stranger", Wire(m_group), true), size_t(0));
}

void TestShareAnswers::boundedQueriesAndKeptReplies()
{
    // A query of thousands of exclusions and parts answers as the query cut
    // to the first tokens of each kind: the parts and exclusions past the
    // bound, which would keep the song out, count for nothing.
    const std::string song = "01 - First Song.mp3";
    std::set<std::string> seen;
    std::string parts, cutParts;
    for (size_t from = 0; from < song.size(); ++from)
        for (size_t length = 1; from + length <= song.size(); ++length)
        {
            const std::string part = song.substr(from, length);
            if (part.find(' ') != std::string::npos || !seen.insert(part).second)
                continue;
            parts += " *" + part;
            if (seen.size() <= SearchParser::MAX_TOKENS_PER_KIND)
                cutParts += " *" + part;
        }
    std::string exclusions, cutExclusions;
    for (int k = 0; k < 3000; ++k)
    {
        exclusions += " -x" + std::to_string(k);
        parts += " *y" + std::to_string(k);
        if (size_t(k) < SearchParser::MAX_TOKENS_PER_KIND)
            cutExclusions += " -x" + std::to_string(k);
    }
    const MemStream full = mp_m->GetSearchResultMessage("stranger", 5, "first" + parts + exclusions + " -Song");
    const MemStream cut = mp_m->GetSearchResultMessage("stranger", 5, "first" + cutParts + cutExclusions);
    QVERIFY(seen.size() > SearchParser::MAX_TOKENS_PER_KIND);
    QVERIFY(full.Size() > 0);
    QCOMPARE(std::string(full.Data(), full.Size()), std::string(cut.Data(), cut.Size()));
    PeerDecoders::SearchResult reply;
    QVERIFY(Search("stranger", "first" + cutParts + cutExclusions, reply));
    QCOMPARE(Names(reply), QStringList{QString::fromStdString(song)});
    // The group's file is for its members only, however long the query.
    QVERIFY(!Search("stranger", "secret" + exclusions, reply));
    QVERIFY(Search("friend", "secret" + exclusions, reply));

    // A folder reply: the request number and the path as written go around
    // the kept files; kept and freshly built, the bytes are the same.
    const std::string band = Wire(m_public + "/Some Band");
    const auto folderReply = [&](const std::string& i_user, quint32 i_req, const std::string& i_path) {
        const MemStream message = mp_m->GetFolderContentsMessage(i_user, i_req, i_path, true);
        return std::string(message.Data(), message.Size());
    };
    const auto listing = [&](const std::string& i_reply, quint32 i_req, const std::string& i_path) {
        const std::string body = Body(MemStream(i_reply.data(), i_reply.size()), PM_SHARED_FILES_IN_FOLDER);
        InputStream in(body.data(), body.size());
        quint32 req = 0, count = 0;
        std::string path, again;
        SharedFolderInfo files;
        const bool read = in.ReadUInt32(req) && in.ReadString(path) && in.ReadUInt32(count) && in.ReadString(again) &&
                          files.Read(in) && in.Remaining() == 0;
        QStringList names;
        for (const FileInfo& file : files.m_files)
            names << QString::fromStdString(file.m_name) + " " + QString::number(file.m_size);
        return read && req == i_req && path == i_path && count == 1 && again == i_path ? names : QStringList{"unread"};
    };
    const std::string built = folderReply("stranger", 8, band);
    QVERIFY(mp_m->KeptReplyCount() > 0);
    const std::string kept = folderReply("listed", 8, band);
    mp_m->ShareChanged();
    QCOMPARE(mp_m->KeptReplyCount(), size_t(0));
    QCOMPARE(kept, folderReply("stranger", 8, band));
    QCOMPARE(kept, built);
    const QStringList files{"01 - First Song.mp3 3000", "02 - Second song.MP3 4000", "notes first.txt 5"};
    QCOMPARE(listing(kept, 8, band), files);
    std::string slashed = band;
    slashed[slashed.rfind('\\')] = '/';
    QCOMPARE(listing(folderReply("stranger", 9, slashed), 9, slashed), files);

    // A rescan that changes the folder, a size replaced in place and a scan
    // result each change what is served.
    MakeFile(m_public + "/Some Band/03 - Third.mp3", 6);
    mp_m->RescanShares();
    QCOMPARE(listing(folderReply("stranger", 8, band), 8, band),
             (QStringList{files[0], files[1], "03 - Third.mp3 6", files[2]}));
    FileItem(m_public + "/Some Band", "notes first.txt") += T("shared_file_size")->GetItem("55");
    QVERIFY(listing(folderReply("stranger", 8, band), 8, band).contains("notes first.txt 55"));
    const auto shareList = [&](const std::string& i_user) {
        const std::string body = Body(mp_m->GetSharedFilesMessage(i_user), PM_SHARED_FILE_LIST);
        PeerDecoders::SharedFileList list;
        if (!PeerDecoders::DecodeSharedFileList(body.data(), body.size(), list))
            list.m_share["unread"];
        return list.m_share;
    };
    const std::string bandFolder = Wire(m_public + "/Some Band");
    QVERIFY(shareList("stranger")[bandFolder].count(FileInfo("notes first.txt", 55)));
    mp_m->OnMP3Scanned(QString::fromStdString(U8(m_public) + "/Some Band/03 - Third.mp3"), 1, "Stereo", 44100, false,
                       160);
    FileInfo third("03 - Third.mp3", 6);
    third.m_attributes.m_extension = "mp3";
    third.m_attributes.Add(ATTRIBUTE_BITRATE, 160);
    third.m_attributes.Add(ATTRIBUTE_VBR, 0);
    const std::set<FileInfo> scanned = shareList("stranger")[bandFolder];
    QVERIFY(scanned.count(third) && scanned.find(third)->m_attributes == third.m_attributes);

    // The group's folder, kept for a member, is no one else's; nor once the
    // member leaves the group, though nothing of the share changed.
    const std::string group = Wire(m_group);
    QVERIFY(folderReply("friend", 1, group).size() > 0);
    QVERIFY(shareList("friend").count(group));
    for (const char* outsider : {"stranger", "listed", "nobody"})
    {
        QVERIFY2(folderReply(outsider, 1, group).empty(), outsider);
        QVERIFY2(!shareList(outsider).count(group), outsider);
    }
    ItemPtr(T("user")->HasItem("friend"))["in_user_list"] -= T("user_list_group")->HasItem("friends");
    QVERIFY(folderReply("friend", 1, group).empty());
    QVERIFY(!shareList("friend").count(group));
    QVERIFY(!Search("friend", "secret" + exclusions, reply));
}

void TestShareAnswers::receivedTrees()
{
    FileInfoMap share;
    share["a\\b"];
    share["a\\b\\c"] = {Record("x.mp3", 5, {{2, 5}, {7, 1}, {0, 128}, {0, 256}, {1, 300}}),
                        Record("y.mp3", 6, {{2, 0}})};
    share["single"];
    AttributeTranslationTable table;
    LogCapture log("Shared");
    FileInfoMap copy = share;
    mp_m->OnUserShare("anna", share, table);
    mp_m->OnUserShare("ben", copy, table);
    QCOMPARE(log.Count("Received shared file list from user anna"), 1);

    auto folderOf = [](const char* i_user, const char* i_path) {
        ItemPtr s = Named("user", i_user)["user_share"];
        return ItemPtr(s.GetItems("user_share_folder").Connected(Named("user_share_folder_name", i_path)));
    };
    auto parentOf = [](ItemPtr i_folder) {
        return ItemPtr(i_folder["user_share_folder_parent"]["user_share_folder_child"]["user_share_folder"]);
    };
    for (const char* user : {"anna", "ben"})
    {
        ItemPtr ab = folderOf(user, "a\\b");
        ItemPtr abc = folderOf(user, "a\\b\\c");
        ItemPtr single = folderOf(user, "single");
        QVERIFY(ab && abc && single);
        // 'a' is not in the list: 'a\b' is a top-level folder.
        QVERIFY(!parentOf(ab));
        QCOMPARE(parentOf(abc), ab);
        QVERIFY(!parentOf(single));
        QVERIFY(single.GetItems("user_share_folder_child").empty());
        QVERIFY(ab.GetItems("user_share_file").empty());
    }
    // One name item for both users' folders, each parent in its own share.
    QCOMPARE(Named("user_share_folder_name", "a\\b")->GetItems("user_share_folder").size(), size_t(2));
    QVERIFY(parentOf(folderOf("anna", "a\\b\\c")) != parentOf(folderOf("ben", "a\\b\\c")));

    ItemPtr x = folderOf("anna", "a\\b\\c").GetItems("user_share_file").Connected(Named("user_share_file_name", "x.mp3"));
    QCOMPARE(x["file_size"].AsString(), std::string("5"));
    QCOMPARE(x["bitrate_mode"].AsString(), std::string("vbr"));
    QCOMPARE(x["bitrate"].AsString(), std::string("256"));
    QCOMPARE(x["length_seconds"].AsString(), std::string("300"));
    QCOMPARE(x.GetItems("bitrate").size(), size_t(1));
    ItemPtr y = folderOf("anna", "a\\b\\c").GetItems("user_share_file").Connected(Named("user_share_file_name", "y.mp3"));
    QCOMPARE(y["bitrate_mode"].AsString(), std::string("cbr"));
    QVERIFY(!y["bitrate"]);
}

void TestShareAnswers::receivedListWaitsForRemoval()
{
    FileInfoMap first;
    first["music"] = {Record("one.mp3", 1)};
    FileInfoMap second;
    second["films"] = {Record("two.avi", 2)};
    AttributeTranslationTable table;
    mp_m->OnUserShare("anna", first, table);
    const size_t items = d->ItemCount();
    LogCapture log("Shared");
    mp_m->OnUserShare("anna", second, table);
    QCOMPARE(log.Count("Received shared file list from user anna"), 1);
    QCOMPARE(d->ItemCount(), items);
    QVERIFY(!Named("user_share_folder_name", "films"));

    mp_m->RemoveUserShare("anna");
    mp_m->OnUserShare("anna", second, table);
    ItemPtr share = Named("user", "anna")["user_share"];
    QCOMPARE(share.GetItems("user_share_folder").size(), size_t(1));
    QVERIFY(!share.GetItems("user_share_folder").Connected(Named("user_share_folder_name", "films")).empty());
    QVERIFY(!Named("user_share_folder_name", "music"));
}

void TestShareAnswers::ownStatisticsSetUploadSpeed()
{
    mp_m->OnReceivedUserStats("someone", UserStats(999, 1, 2, 3));
    QCOMPARE(GetSetting("upload_speed"), std::string());
    mp_m->OnReceivedUserStats("me", UserStats(0, 1, 2, 3));
    QCOMPARE(GetSetting("upload_speed"), std::string("0"));
    mp_m->OnReceivedUserStats("me", UserStats(4096, 1, 2, 3));
    QCOMPARE(GetSetting("upload_speed"), std::string("4096"));
    mp_m->OnReceivedUserStats("ME", UserStats(1, 1, 2, 3));
    QCOMPARE(GetSetting("upload_speed"), std::string("4096"));
}

void TestShareAnswers::folderInfoRecord()
{
    SharedFolderInfo info;
    info.m_files = {Record("b", 2), Record("a", 1, {{0, 1}})};
    MemStream out;
    QVERIFY(info.Write(out));

    // A record whose present byte is 0 carries nothing and is skipped.
    MemStream wire;
    wire.WriteUInt32(3);
    Record("a", 1, {{0, 1}}).Write(wire);
    wire.WriteByte(0);
    Record("b", 2).Write(wire);
    wire.WriteUInt32(0);
    SharedFolderInfo back;
    QVERIFY(back.Read(wire));
    QCOMPARE(back.m_files.size(), size_t(2));
    QCOMPARE(back.m_files.begin()->m_name, std::string("a"));
    QVERIFY(back.m_files.begin()->m_attributes == info.m_files.begin()->m_attributes);
    QCOMPARE(back.m_files.rbegin()->m_size, qint64(2));

    // Short or oversized input fails.
    MemStream shortInput(out.Data(), out.Size() - 1);
    QVERIFY(!back.Read(shortInput));
    MemStream huge;
    huge.WriteUInt32(MAX_FOLDER_RECORDS + 1);
    QVERIFY(!back.Read(huge));
}

QTEST_MAIN(TestShareAnswers)
#include "test_share_answers.moc"
