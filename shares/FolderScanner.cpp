// The folder walk of SharedFoldersManager and the search-token index it
// keeps: every regular file below a share becomes a `shared_file` item
// linked to its folder, name, size and the tokens of its path.

#include "SharedFoldersManager.h"

#include "DownloadFolderProvider.h"
#include "FolderListing.h"
#include "GeneralFunctions.h"
#include "HeapMemory.h"
#include "Log.h"
#include "TextConversion.h"

#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace
{

const QString SHARED_CATEGORY = QStringLiteral("Shared");

bool IsMP3Name(const std::string& i_name)
{
    if (i_name.size() <= 4)
        return false;
    const std::string suffix = i_name.substr(i_name.size() - 4);
    return suffix == ".mp3" || suffix == ".MP3";
}

// What each byte parts: runs of letters, digits and bytes of 0x80 and
// above (kWordBreak), and runs between spaces and path separators
// (kRunBreak, which break words too).
enum : uint8_t { kWordBreak = 1, kRunBreak = 2 };
struct SeparatorTable
{
    uint8_t kind[256];
    SeparatorTable()
    {
        for (int c = 0; c < 256; ++c)
        {
            const bool wordBreak = SharedFoldersManager::IsSearchTokenSeparator(static_cast<unsigned char>(c));
            const bool runBreak = c == ' ' || c == '/' || c == '\\';
            kind[c] = uint8_t((wordBreak ? kWordBreak : 0) | (runBreak ? kRunBreak : 0));
        }
    }
};
const SeparatorTable g_tokenBreaks;

// The tokens of a text in index form, in no order: its words, and its runs
// that hold more than one word (a run of one word is that word already).
template <class Add>
void ForEachToken(const std::string& i_text, Add i_add)
{
    const std::string_view text(i_text);
    size_t wordStart = 0;
    size_t runStart = 0;
    bool runSplit = false;
    for (size_t k = 0; k <= text.size(); ++k)
    {
        const uint8_t kind =
            k < text.size() ? g_tokenBreaks.kind[static_cast<unsigned char>(text[k])] : kWordBreak | kRunBreak;
        if (!kind)
            continue;
        if (k > wordStart)
            i_add(text.substr(wordStart, k - wordStart));
        wordStart = k + 1;
        if (kind & kRunBreak)
        {
            if (runSplit && k > runStart)
                i_add(text.substr(runStart, k - runStart));
            runStart = k + 1;
            runSplit = false;
        }
        else
        {
            runSplit = true;
        }
    }
}

// The order of token lists: shorter first, then by bytes. Any one order
// serves for merging two lists, and most pairs differ in length, which
// spares comparing their bytes.
int CompareTokens(std::string_view i_a, std::string_view i_b)
{
    if (i_a.size() != i_b.size())
        return i_a.size() < i_b.size() ? -1 : 1;
    return i_a.compare(i_b);
}

// The tokens GetSearchTokens gives, in the order above, as views into
// o_text (the text in index form): a file's name is split once per new
// file, and a tree of strings costs more than the split itself.
void SortedTokens(const std::string& i_text, std::string& o_text, std::vector<std::string_view>& o_tokens)
{
    // Moved through, so that the text's room is kept from one file to the next.
    o_text.assign(i_text);
    o_text = SharedFoldersManager::ToIndexForm(std::move(o_text));
    o_tokens.clear();
    ForEachToken(o_text, [&](std::string_view i_token) { o_tokens.push_back(i_token); });
    std::sort(o_tokens.begin(), o_tokens.end(),
              [](std::string_view i_a, std::string_view i_b) { return CompareTokens(i_a, i_b) < 0; });
    o_tokens.erase(std::unique(o_tokens.begin(), o_tokens.end()), o_tokens.end());
}

// The index tokens of a folder's path, in the order above, each with its
// item once looked up. The separator between folder and name splits every
// token, so a file's tokens are those of its folder and those of its name:
// the folder's are worked out once for all its files.
using FolderTokens = std::vector<std::pair<std::string, Item*>>;

// Connects the file to the union of both token lists.
void ConnectTokens(ItemPtr i_file, FolderTokens& io_folderTokens, const std::vector<std::string_view>& i_nameTokens,
                   Type* ip_tokenType, std::vector<Item*>& io_tokens)
{
    // The union of both sorted lists, each token's item looked up.
    io_tokens.clear();
    auto folderToken = io_folderTokens.begin();
    auto nameToken = i_nameTokens.begin();
    while (folderToken != io_folderTokens.end() || nameToken != i_nameTokens.end())
    {
        const int order = nameToken == i_nameTokens.end()       ? -1
                          : folderToken == io_folderTokens.end() ? 1
                                                                 : CompareTokens(folderToken->first, *nameToken);
        if (order <= 0)
        {
            if (order == 0)
                ++nameToken;
            if (!folderToken->second)
                folderToken->second = ip_tokenType->GetItem(folderToken->first);
            io_tokens.push_back(folderToken->second);
            ++folderToken;
        }
        else
        {
            io_tokens.push_back(ip_tokenType->GetItem(*nameToken));
            ++nameToken;
        }
    }
    // The file's links to its tokens are made in one go, in the order the
    // groups keep, oldest token first.
    std::sort(io_tokens.begin(), io_tokens.end(),
              [](const Item* i_a, const Item* i_b) { return i_a->Serial() < i_b->Serial(); });
    i_file->ConnectAll(io_tokens);
}

// Whether the folder listed under the path is the given one or lies below
// it, links resolved. A path that no longer leads to the folder listed (a
// link changed in between) counts as within: where that folder lies is not
// known.
bool LiesWithin(const std::string& i_path, const FolderId& i_listed, const FolderId& i_folder)
{
    std::string path = ToUtf8(QFileInfo(FromUtf8(i_path)).canonicalFilePath());
    bool listed = false;
    while (!path.empty())
    {
        struct stat st = {};
        const bool found = ::stat(path.c_str(), &st) == 0;
        const FolderId id{static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino)};
        if (!listed && !(found && id == i_listed))
            return true;
        listed = true;
        if (found && id == i_folder)
            return true;
        const size_t slash = path.rfind('/');
        path = slash == std::string::npos || path == "/" ? std::string() : slash == 0 ? "/" : path.substr(0, slash);
    }
    return !listed;
}

} // namespace

// One walk of a share: its listings, the real folders it has reached, and
// the one it never enters.
struct ShareWalk
{
    FolderListing listing;
    std::unordered_set<FolderId, FolderIdHash> walked;
    std::optional<FolderId> unfinishedDownloads;
};

void SharedFoldersManager::AddSharedFiles(std::string i_root, std::string i_folder)
{
    Item* root = T("shared_folder")->HasItem(i_root);
    if (!root)
        return;
    const QString folderPath = FromUtf8(i_folder);
    if (!QDir::isAbsolutePath(folderPath))
    {
        Log(SHARED_CATEGORY, 1, QStringLiteral("Adding folder %1 as part of sharing %2").arg(folderPath, FromUtf8(i_root)));
        // An empty or relative path would name the working folder.
        Log(SHARED_CATEGORY, 2, QStringLiteral("Folder %1 is not an absolute path and is not shared").arg(folderPath));
        return;
    }
    {
        ShareWalk walk;
        // The client's own unfinished downloads, wherever the download
        // folder is now, by what they are rather than how a path spells
        // them: a partial file listed would go out as if it were whole.
        struct stat st;
        if (gp_downloadFolderProvider &&
            ::stat(gp_downloadFolderProvider->UnfinishedDownloadsFolder().c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            walk.unfinishedDownloads =
                FolderId{static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino)};
        // Under its clean path, as every folder below it is: two spellings
        // of one share are one set of folders. That path may lead anywhere.
        WalkSharedFolder(root, CleanFolderPath(i_folder), walk, true);
    }
    // Inside a rescan, the rescan says it once for all shares.
    if (!mp_walkedFolders)
        LogLeftOut();
    // The walk's passing memory (the listings its workers read, the tables
    // the store outgrew) goes back to the system rather than staying with
    // the process for good.
    heapmemory::ReturnFreeMemory();
}

void SharedFoldersManager::LogLeftOut()
{
    if (m_leftOut.Any())
        Log(SHARED_CATEGORY, 1,
            QStringLiteral("Left out of the share: %1 unreadable files, %2 names holding \"\\\", %3 names that are "
                           "not valid UTF-8")
                .arg(m_leftOut.unreadable)
                .arg(m_leftOut.backslash)
                .arg(m_leftOut.notUtf8));
    m_leftOut = LeftOutEntries();
}

void SharedFoldersManager::WalkSharedFolder(Item* ip_root, const std::string& i_folder, ShareWalk& io_walk,
                                            bool i_mayLieAnywhere)
{
    // A folder that is gone or cannot be read lists nothing, so its recorded
    // files are removed below; the walk's own line is the only trace of it.
    FolderContents contents;
    io_walk.listing.Take(i_folder, contents);
    if (!contents.pseudoFileSystem.empty())
    {
        Log(SHARED_CATEGORY, 1,
            QStringLiteral("Not sharing %1: it is on a %2 file system, which holds no files")
                .arg(FromUtf8(i_folder), FromLatin1(contents.pseudoFileSystem)));
        return;
    }
    if (contents.listed && contents.id == io_walk.unfinishedDownloads)
    {
        Log(SHARED_CATEGORY, 1,
            QStringLiteral("Not sharing %1: it holds the unfinished downloads").arg(FromUtf8(i_folder)));
        return;
    }
    // A real subfolder of a folder outside them is outside them too; one
    // reached through a link may be anywhere below them. Placed after the
    // listing, so a link changed in between cannot slip one through.
    if (contents.listed && i_mayLieAnywhere && io_walk.unfinishedDownloads &&
        LiesWithin(i_folder, contents.id, *io_walk.unfinishedDownloads))
    {
        Log(SHARED_CATEGORY, 1,
            QStringLiteral("Not sharing %1: it lies within the unfinished downloads").arg(FromUtf8(i_folder)));
        return;
    }
    // Each real folder once, under the first path that reaches it, however
    // many links lead to it: links back up would never end, and links
    // across would list a folder many times over.
    if (contents.listed && !io_walk.walked.insert(contents.id).second)
    {
        Log(SHARED_CATEGORY, 2,
            QStringLiteral("Not following %1: the folder it leads to is shared already").arg(FromUtf8(i_folder)));
        return;
    }
    m_leftOut.Add(contents.leftOut);

    const std::string& rootPath = ip_root->GetValue();
    Log(SHARED_CATEGORY, 1,
        QStringLiteral("Adding folder %1 as part of sharing %2").arg(FromUtf8(i_folder), FromUtf8(rootPath)));

    ItemPtr folder = T("shared_file_folder")->GetItem(i_folder);
    folder += ip_root;
    if (mp_walkedFolders)
        mp_walkedFolders->push_back(folder);
    const ItemSet recorded = folder.GetItems("shared_file");
    Type* fileType = T("shared_file");
    Type* nameType = T("shared_file_name");
    Type* sizeType = T("shared_file_size");
    Type* scannedType = T("is_scanned");
    Type* tokenType = T("search_token");

    // The recorded file of a listed name, found without a store-wide
    // lookup. Files are recorded in the order of the listing that found
    // them, so in a folder that did not change each is the next one; from
    // the first that is not, they are found by name, of two with one name
    // the older, as the store would. Which of them the listing still holds
    // is marked here.
    const std::vector<Item*>& recordedFiles = recorded.Items();
    std::vector<bool> found(recordedFiles.size(), false);
    size_t inOrder = 0;
    bool ordered = true;
    std::unordered_map<std::string_view, size_t> recordedByName;
    const auto findRecorded = [&](const std::string& i_name) -> Item* {
        if (ordered && inOrder < recordedFiles.size())
        {
            Item* next = recordedFiles[inOrder];
            const Item* nameItem = next->GetItem(nameType);
            if (nameItem && nameItem->GetValue() == i_name && !next->IsRemoved())
            {
                found[inOrder++] = true;
                return next;
            }
        }
        if (ordered)
        {
            ordered = false;
            recordedByName.reserve(recordedFiles.size());
            for (size_t k = 0; k < recordedFiles.size(); ++k)
                if (const Item* nameItem = recordedFiles[k]->GetItem(nameType))
                    recordedByName.emplace(nameItem->GetValue(), k);
        }
        const auto known = recordedByName.find(i_name);
        if (known == recordedByName.end() || recordedFiles[known->second]->IsRemoved())
            return nullptr;
        found[known->second] = true;
        return recordedFiles[known->second];
    };

    FolderTokens folderTokens;
    std::string nameText;
    std::vector<std::string_view> nameTokens;
    std::vector<Item*> tokenItems;
    bool folderTokensMade = false;
    std::string filePath;   // its room kept from one file to the next

    const std::vector<FolderEntry>& entries = contents.entries;
    // Entry paths as the listing gives them: below the folder's clean path.
    std::string base = ToUtf8(QDir::cleanPath(FromUtf8(i_folder)));
    if (base.empty() || base.back() != '/')
        base += '/';
    // Links are left to the walk itself: what they lead to is often
    // walked already.
    std::vector<std::string> subfolders;
    for (const FolderEntry& entry : entries)
        if (entry.isFolder && !entry.isLink)
            subfolders.push_back(base + entry.name);
    io_walk.listing.ReadAhead(subfolders);

    for (auto at = entries.begin(); at != entries.end(); ++at)
    {
        const FolderEntry& entry = *at;
        const std::string& name = entry.name;
        if (!entry.isFolder)
        {
            const std::string size = std::to_string(entry.size);
            // The next file's look-ups are asked for while this one is
            // stored: in a large share they would each wait on memory.
            if (at + 1 != entries.end() && !at[1].isFolder)
            {
                nameType->PrefetchText(at[1].name);
                sizeType->PrefetchText(std::to_string(at[1].size));
            }

            ItemPtr file = findRecorded(name);
            if (file)
            {
                const Item* sizeItem = file->GetItem(sizeType);
                if (!sizeItem || sizeItem->GetValue() != size)
                    RecordNewSize(file, size);
            }
            else
            {
                ItemPtr nameItem = nameType->GetItem(name);
                file = fileType->NewItem();
                file += folder;
                file += nameItem;
                file += sizeType->GetItem(size);
                ++m_filesAdded;
            }

            if (IsMP3Name(name) && !file->GetItem(scannedType))
                emit MP3ScanRequired(FromUtf8(filePath.assign(base).append(name)));

            // A file's tokens depend only on its folder and name, which never
            // change for an item: once linked, they are complete.
            if (!file->GetItem(tokenType))
            {
                if (!folderTokensMade)
                {
                    SortedTokens(i_folder, nameText, nameTokens);
                    for (std::string_view token : nameTokens)
                        folderTokens.emplace_back(token, nullptr);
                    folderTokensMade = true;
                }
                SortedTokens(name, nameText, nameTokens);
                ConnectTokens(file, folderTokens, nameTokens, tokenType, tokenItems);
                m_searchTokenFiles.Clear();
            }
        }
        else
        {
            WalkSharedFolder(ip_root, base + name, io_walk, entry.isLink);
            // Looked up again after the subfolder's walk, which may have
            // changed the store.
            for (auto& token : folderTokens)
                token.second = nullptr;
        }
    }

    // Files recorded for this folder that the listing no longer holds.
    for (size_t k = 0; k < recordedFiles.size(); ++k)
    {
        if (found[k])
            continue;
        recordedFiles[k]->Remove();
        ++m_filesRemoved;
    }
}

void SharedFoldersManager::RecordNewSize(ItemPtr i_file, const std::string& i_size)
{
    i_file += T("shared_file_size")->GetItem(i_size);
    // Other content: the earlier scan no longer describes it, and what a
    // new scan cannot judge must not keep its values.
    i_file.Disconnect("is_scanned");
    for (const char* attribute : AUDIO_ATTRIBUTE_TYPES)
        i_file.Disconnect(attribute);
}

std::string SharedFoldersManager::CleanFolderPath(const std::string& i_path)
{
    return ToUtf8(QDir::cleanPath(FromUtf8(i_path)));
}

std::string SharedFoldersManager::SharedFilePath(ItemPtr i_file)
{
    return i_file["shared_file_folder"].AsString() + "/" + i_file["shared_file_name"].AsString();
}

bool SharedFoldersManager::CheckSharedFileOnDisk(ItemPtr i_file, qint64& o_size)
{
    struct stat st;
    if (!i_file || ::stat(SharedFilePath(i_file).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    o_size = qint64(st.st_size);
    const std::string size = std::to_string(o_size);
    if (i_file["shared_file_size"].AsString() != size)
        RecordNewSize(i_file, size);
    return true;
}

void SharedFoldersManager::OnSharedFileFolderAdded(Item* ip_item)
{
    ip_item->Connect(T("shared_file_folder_lowercase_name")->GetItem(GetAbsoluteFileName(ip_item->GetValue())));
}

void SharedFoldersManager::OnSharedFileNameAdded(Item* ip_item)
{
    ip_item->Connect(T("shared_file_lowercase_name")->GetItem(GetAbsoluteFileName(ip_item->GetValue())));
}

void SharedFoldersManager::TokenizeSharedFile(ItemPtr i_file)
{
    if (!i_file)
        return;
    const std::string text = i_file["shared_file_folder"].AsString() + "\\" + i_file["shared_file_name"].AsString();
    Type* tokenType = T("search_token");
    for (const std::string& token : GetSearchTokens(text))
        i_file += tokenType->GetItem(token);
    m_searchTokenFiles.Clear();
}

std::set<std::string> SharedFoldersManager::GetSearchTokens(const std::string& i_text)
{
    const std::string text = ToIndexForm(i_text);

    std::set<std::string> tokens;
    ForEachToken(text, [&tokens](std::string_view i_token) { tokens.emplace(i_token); });
    return tokens;
}

std::string SharedFoldersManager::ToIndexForm(std::string i_text)
{
    for (char& c : i_text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return i_text;
}

bool SharedFoldersManager::IsSearchTokenSeparator(unsigned char i_c)
{
    if (i_c >= 0x80)
        return false;
    const bool letter = (i_c >= 'a' && i_c <= 'z') || (i_c >= 'A' && i_c <= 'Z');
    const bool digit = i_c >= '0' && i_c <= '9';
    return !letter && !digit;
}
