// Who may see which shared folder and file. A user sees a shared folder when
// not `unshared` and the folder is public, or the user is on the user list
// and the folder is shared with the list, or with one of the user's groups.
// A name that whoever asks only claims is shown what a stranger is: the
// list and the groups are the user's, not the claimant's.

#include "SharedFoldersManager.h"

#include "GeneralFunctions.h"

namespace
{

// GetAbsoluteFileName without the lower-casing: runs of separators shrink to
// their first character and one trailing separator goes.
std::string CollapseSeparators(const std::string& i_path)
{
    std::string out;
    out.reserve(i_path.size());
    for (char c : i_path)
    {
        const bool separator = c == '/' || c == '\\';
        if (separator && !out.empty() && (out.back() == '/' || out.back() == '\\'))
            continue;
        out += c;
    }
    if (!out.empty() && (out.back() == '/' || out.back() == '\\'))
        out.pop_back();
    return out;
}

// A local path splits at its last "/": on disk "\" is an ordinary byte of a
// file name. A text without any "/" is both its own folder and its own name,
// so it never names a file of a share rooted at "/" (whose folder normalises
// to "").
void SplitLocalPath(const std::string& i_path, std::string& o_folder, std::string& o_name)
{
    const size_t slash = i_path.rfind('/');
    if (slash == std::string::npos)
    {
        o_folder = i_path;
        o_name = i_path;
        return;
    }
    o_folder = i_path.substr(0, slash);
    o_name = i_path.substr(slash + 1);
}

} // namespace

ItemSet SharedFoldersManager::GetUserSharedFolders(std::string i_user, bool i_reached)
{
    ItemPtr user = T("user")->HasItem(i_user);
    if (user.IsConnected("unshared"))
        return ItemSet();
    ItemSet folders = g("shared_public").GetItems("shared_folder");
    ItemPtr entry = i_reached ? user["in_user_list"] : ItemPtr();
    if (!entry)
        return folders;
    folders.Add(g("shared_userlist").GetItems("shared_folder"));
    folders.Add(entry.GetItems("user_list_group").GetItems("shared_folder"));
    return folders;
}

bool SharedFoldersManager::IsFileSharedWithUser(ItemPtr i_file, std::string i_user, bool i_reached)
{
    ItemPtr user = T("user")->GetItem(i_user);
    if (!i_file || user.IsConnected("unshared"))
        return false;
    const ItemSet roots = i_file["shared_file_folder"].GetItems("shared_folder");
    if (!roots.Connected("shared_public").empty())
        return true;
    ItemPtr entry = i_reached ? user["in_user_list"] : ItemPtr();
    if (!entry)
        return false;
    if (!roots.Connected("shared_userlist").empty())
        return true;
    return !entry.GetItems("user_list_group").Connected(roots).empty();
}

bool SharedFoldersManager::ShowsMoreThanToStrangers(const std::string& i_user)
{
    return GetUserSharedFolders(i_user).size() > GetUserSharedFolders(i_user, false).size();
}

bool SharedFoldersManager::IsInVisibleShare(Item* ip_folder, const ItemSet& i_visibleRoots)
{
    if (!ip_folder)
        return false;
    // A folder lies in few shares, and a user sees few: checked one by one
    // rather than by listing every folder the user may see.
    Type* rootType = T("shared_folder");
    for (const ConnGroup& group : ip_folder->Groups())
    {
        if (group.GetType() != rootType)
            continue;
        bool visible = false;
        group.ForEach([&](Item* i_root) { visible = visible || i_visibleRoots.Contains(i_root); });
        return visible;
    }
    return false;
}

ItemPtr SharedFoldersManager::GetSharedFileItem(std::string i_path)
{
    std::string folderKey, nameKey;
    SplitLocalPath(GetAbsoluteFileName(i_path), folderKey, nameKey);
    ItemPtr folderLower = T("shared_file_folder_lowercase_name")->HasItem(folderKey);
    ItemPtr nameLower = T("shared_file_lowercase_name")->HasItem(nameKey);
    if (!folderLower || !nameLower)
        return ItemPtr();

    const ItemSet folders = folderLower.GetItems("shared_file_folder");
    const ItemSet files = nameLower.GetItems("shared_file_name").GetItems("shared_file").Connected(folders);
    if (files.size() <= 1)
        return files;

    // Names that differ only in letter case normalise alike; the one written
    // exactly as asked wins.
    std::string exactFolder, exactName;
    SplitLocalPath(CollapseSeparators(i_path), exactFolder, exactName);
    for (Item* file : files)
    {
        ItemPtr f(file);
        if (f["shared_file_name"].AsString() == exactName
            && CollapseSeparators(f["shared_file_folder"].AsString()) == exactFolder)
            return f;
    }
    return files;
}
