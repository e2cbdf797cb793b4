// Answers to the distributed searches that reach this client: the matching
// files the searcher may see, sent straight to the searcher when there are
// 1 to 200 of them. There is no negative answer.

#include "SharedFoldersManager.h"

#include "Compression.h"
#include "GeneralFunctions.h"
#include "Log.h"
#include "PeerMessenger.h"
#include "SearchParser.h"
#include "TextConversion.h"
#include "UploadStatusProvider.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <string_view>
#include <vector>

namespace
{

const QString SEARCH_CATEGORY = QStringLiteral("Search");

const std::string NO_NAME;

// More matches than this and the search is too vague to answer.
constexpr size_t MAX_SEARCH_RESULTS = 200;

// The substring tests of one search: a name passes when it holds every
// part and no excluded token. The token that decided the last name is tried
// first: in a share of similar names one token mostly decides them all, so
// a query whose exclusions drop every file costs about one test per file.
class NameTests
{
public:
    NameTests(const std::set<std::string>& i_parts, const std::set<std::string>& i_excluded)
        : m_parts(i_parts.begin(), i_parts.end()), m_excluded(i_excluded.begin(), i_excluded.end())
    {
    }

    bool Passes(const std::string& i_name)
    {
        return !AnyIs(m_excluded, i_name, true) && !AnyIs(m_parts, i_name, false);
    }

private:
    // Whether any of the tokens is (or is not) in the name; the first such
    // token moves to the front.
    static bool AnyIs(std::vector<std::string_view>& io_tokens, const std::string& i_name, bool i_inName)
    {
        for (size_t k = 0; k < io_tokens.size(); ++k)
            if ((i_name.find(io_tokens[k]) != std::string::npos) == i_inName)
            {
                std::swap(io_tokens[0], io_tokens[k]);
                return true;
            }
        return false;
    }

    std::vector<std::string_view> m_parts;
    std::vector<std::string_view> m_excluded;
};

// The own average upload speed as the server last reported it; the server
// sends a signed figure, which is never passed on negative.
quint32 OwnUploadSpeed()
{
    const long long speed = ParseDecimal(GetSetting("upload_speed"));
    return quint32(std::clamp<long long>(speed, 0, std::numeric_limits<quint32>::max()));
}

// The item's links to items of that type, or null when it has none.
const ConnGroup* GroupOf(const Item* ip_item, Type* ip_type)
{
    for (const ConnGroup& group : ip_item->Groups())
        if (group.GetType() == ip_type)
            return &group;
    return nullptr;
}

// Moves io_position forward to the first serial not below i_serial, in
// steps that double, so a long array passed by few lookups is mostly
// skipped; whether i_serial is there.
bool SeekSerial(const std::vector<uint64_t>& i_serials, size_t& io_position, uint64_t i_serial)
{
    const size_t count = i_serials.size();
    size_t low = io_position;
    size_t high = io_position;
    for (size_t step = 1; high < count && i_serials[high] < i_serial; step *= 2)
    {
        low = high + 1;
        high += step;
    }
    high = std::min(high, count);
    io_position = size_t(std::lower_bound(i_serials.begin() + low, i_serials.begin() + high, i_serial) -
                         i_serials.begin());
    return io_position < count && i_serials[io_position] == i_serial;
}

} // namespace

void SharedFoldersManager::OnDNetSearchRequest(std::string i_user, unsigned int i_req, std::string i_searchText)
{
    ProcessSearch(i_user, i_req, i_searchText);
}

void SharedFoldersManager::OnSearchTokenLinksChanged(ConnectionInfo&)
{
    m_searchTokenFiles.Clear();
}

void SharedFoldersManager::ForEachSearchCandidate(const std::set<std::string>& i_tokens,
                                                  const std::function<bool(Item*)>& i_visit) const
{
    Type* tokenType = T("search_token");
    Type* fileType = T("shared_file");
    std::vector<std::pair<const Item*, const ConnGroup*>> tokens;
    for (const std::string& token : i_tokens)
    {
        const Item* item = tokenType->HasItem(token);
        const ConnGroup* files = item ? GroupOf(item, fileType) : nullptr;
        if (!files)
            return;
        tokens.emplace_back(item, files);
    }
    if (tokens.empty())
        return;
    // The rarest token's files are walked in order; each is kept when the
    // other tokens' file serials, rarer ones first as they reject most, hold
    // its serial too. The serials are kept between searches, so no file's
    // item is read before it matches, and no intersection is built: a walk
    // the visitor ends early costs only the files it reached.
    std::stable_sort(tokens.begin(), tokens.end(),
                     [](const auto& i_a, const auto& i_b) { return i_a.second->Size() < i_b.second->Size(); });
    const std::vector<const SearchTokenFiles::Serials*> serials = m_searchTokenFiles.Get(tokens);
    const SearchTokenFiles::Serials& rarest = *serials[0];
    std::vector<size_t> positions(tokens.size(), 0);
    size_t next = 0;
    tokens[0].second->ForEachWhile([&](Item* i_file) {
        const uint64_t serial = rarest[next++];
        for (size_t k = 1; k < tokens.size(); ++k)
            if (!SeekSerial(*serials[k], positions[k], serial))
                return true;
        return i_visit(i_file);
    });
}

void SharedFoldersManager::ProcessSearch(std::string i_user, unsigned int i_req, std::string i_searchText)
{
    const MemStream message = GetSearchResultMessage(i_user, i_req, i_searchText);
    if (message.Size() == 0)
        return;
    Log(SEARCH_CATEGORY, 1, QString("Sending search results to user %1 for search string %2")
                                .arg(FromName(i_user), FromUtf8(i_searchText)));
    if (peerMessenger)
        peerMessenger->SendAnswer(i_user, message);
}

MemStream SharedFoldersManager::GetSearchResultMessage(std::string i_user, unsigned int i_req,
                                                       std::string i_searchText)
{
    SearchParser parser;
    if (!parser.SetSearchText(i_searchText))
        return MemStream();

    // The index holds its tokens lower-cased, and searchers send the text as
    // typed: the whole tokens are looked up in the index's own form.
    std::set<std::string> included;
    for (const std::string& token : parser.GetIncludedTokenSet())
        included.insert(ToIndexForm(token));
    const ItemSet visibleRoots = GetUserSharedFolders(i_user);
    if (visibleRoots.empty())
        return MemStream();
    Type* folderType = T("shared_file_folder");
    Type* nameType = T("shared_file_name");

    // Visibility comes first, so files the searcher may not see cost no
    // substring test. Candidates come in creation order, in which a
    // folder's files mostly follow one another: each run of them asks once.
    // Counting stops at the first match beyond the limit: nothing is sent then.
    NameTests nameTests(parser.GetIncludedPartTokenSet(), parser.GetExcludedTokenSet());
    Item* lastFolder = nullptr;
    bool lastFolderVisible = false;
    std::vector<Item*> matches;
    ForEachSearchCandidate(included, [&](Item* i_file) {
        Item* folder = i_file->GetItem(folderType);
        if (folder != lastFolder)
        {
            lastFolder = folder;
            lastFolderVisible = IsInVisibleShare(folder, visibleRoots);
        }
        if (!lastFolderVisible)
            return true;
        const Item* nameItem = i_file->GetItem(nameType);
        if (!nameTests.Passes(nameItem ? nameItem->GetValue() : NO_NAME))
            return true;
        matches.push_back(i_file);
        return matches.size() <= MAX_SEARCH_RESULTS;
    });
    if (matches.empty() || matches.size() > MAX_SEARCH_RESULTS)
        return MemStream();

    // Two files can come to one wire path (a folder "/a" with a file "b\c"
    // and a folder "/a/b" with a file "c"); the path is listed once.
    std::map<std::string, FileInfo> records;
    for (Item* file : matches)
    {
        ItemPtr f(file);
        std::string path = ToWirePath(f["shared_file_folder"].AsString() + "/" + f["shared_file_name"].AsString());
        records.emplace(path, GetSharedFileInfo(f, path));
    }

    MemStream body;
    body.WriteString(GetSetting("username"));
    body.WriteUInt32(i_req);
    body.WriteUInt32(quint32(records.size()));
    for (const auto& record : records)
        record.second.Write(body);
    body.WriteByte(gp_uploadStatusProvider && gp_uploadStatusProvider->IsFreeToUpload() ? 1 : 0);
    body.WriteUInt32(OwnUploadSpeed());
    body.WriteUInt32(gp_uploadStatusProvider ? gp_uploadStatusProvider->QueuedUploadCount() : 0);
    body.WriteUInt32(0);   // attribute translation table: always empty

    MemStream message = Compression::CompressMessage(PM_FILE_SEARCH_RESULT, body);
    if (message.Size() == 0)
        Log(SEARCH_CATEGORY, 1, QString("Could not compress the search results for user %1").arg(FromName(i_user)));
    return message;
}
