// The folder walk of SharedFoldersManager and the search-token index it
// keeps: every regular file below a share becomes a `shared_file` item
// linked to its folder, name, size and the tokens of its path.

#include "SharedFoldersManager.h"

#include "GeneralFunctions.h"
#include "Log.h"
#include "TextConversion.h"

#include <QDir>
#include <QFileInfo>

#include <unordered_set>

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

template <class IsSeparator>
void AddTokens(const std::string& i_text, IsSeparator i_isSeparator, std::set<std::string>& io_tokens)
{
    size_t start = 0;
    for (size_t k = 0; k <= i_text.size(); ++k)
    {
        if (k < i_text.size() && !i_isSeparator(static_cast<unsigned char>(i_text[k])))
            continue;
        if (k > start)
            io_tokens.insert(i_text.substr(start, k - start));
        start = k + 1;
    }
}

} // namespace

void SharedFoldersManager::AddSharedFiles(std::string i_root, std::string i_folder)
{
    ItemPtr root = T("shared_folder")->HasItem(i_root);
    if (!root)
        return;
    const QString folderPath = FromUtf8(i_folder);
    Log(SHARED_CATEGORY, 1, QStringLiteral("Adding folder %1 as part of sharing %2").arg(folderPath, FromUtf8(i_root)));
    if (!QDir::isAbsolutePath(folderPath))
    {
        // An empty or relative path would name the working folder.
        Log(SHARED_CATEGORY, 2, QStringLiteral("Folder %1 is not an absolute path and is not shared").arg(folderPath));
        return;
    }

    ItemPtr folder = T("shared_file_folder")->GetItem(i_folder);
    folder += root;
    const ItemSet recorded = folder.GetItems("shared_file");
    std::unordered_set<Item*> found;

    const QFileInfo folderInfo(folderPath);
    QFileInfoList entries;
    if (folderInfo.isDir() && folderInfo.isReadable() && folderInfo.isExecutable())
        entries = QDir(folderPath).entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot);
    else
        Log(SHARED_CATEGORY, 2, QStringLiteral("Folder %1 cannot be read; its files are no longer shared").arg(folderPath));

    const QString canonical = folderInfo.canonicalFilePath();
    const bool guarding = !canonical.isEmpty() && m_foldersBeingWalked.insert(canonical).second;

    Type* fileType = T("shared_file");
    Type* nameType = T("shared_file_name");
    Type* sizeType = T("shared_file_size");
    for (const QFileInfo& entry : entries)
    {
        if (entry.isFile())
        {
            const std::string name = ToUtf8(entry.fileName());
            const std::string size = std::to_string(entry.size());

            ItemPtr nameItem = nameType->HasItem(name);
            ItemPtr file;
            if (nameItem)
                file = d->GetItem(folder, nameItem, "shared_file");
            else
                nameItem = nameType->GetItem(name);

            if (!file)
            {
                file = fileType->NewItem();
                file += folder;
                file += nameItem;
                file += sizeType->GetItem(size);
                ++m_filesAdded;
            }
            else
            {
                found.insert(file);
                if (file["shared_file_size"].AsString() != size)
                {
                    file += sizeType->GetItem(size);
                    // Other content: the earlier scan no longer describes it.
                    file.Disconnect("is_scanned");
                }
            }

            if (IsMP3Name(name) && !file.IsConnected("is_scanned"))
                emit MP3ScanRequired(entry.absoluteFilePath());

            // A file's tokens depend only on its folder and name, which never
            // change for an item: once linked, they are complete.
            if (!file.IsConnected("search_token"))
                TokenizeSharedFile(file);
        }
        else if (entry.isDir())
        {
            const QString target = entry.canonicalFilePath();
            if (m_foldersBeingWalked.count(target))
            {
                Log(SHARED_CATEGORY, 2,
                    QStringLiteral("Not following %1: it leads back into %2").arg(entry.absoluteFilePath(), target));
                continue;
            }
            AddSharedFiles(i_root, ToUtf8(entry.absoluteFilePath()));
        }
    }

    if (guarding)
        m_foldersBeingWalked.erase(canonical);

    // Files recorded for this folder that the listing no longer holds.
    for (Item* file : recorded)
    {
        if (found.count(file))
            continue;
        file->Remove();
        ++m_filesRemoved;
    }
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
}

std::set<std::string> SharedFoldersManager::GetSearchTokens(const std::string& i_text)
{
    std::string text = i_text;
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');

    std::set<std::string> tokens;
    AddTokens(text, IsSearchTokenSeparator, tokens);
    AddTokens(text, [](unsigned char i_c) { return i_c == ' ' || i_c == '/' || i_c == '\\'; }, tokens);
    return tokens;
}

bool SharedFoldersManager::IsSearchTokenSeparator(unsigned char i_c)
{
    if (i_c >= 0x80)
        return false;
    const bool letter = (i_c >= 'a' && i_c <= 'z') || (i_c >= 'A' && i_c <= 'Z');
    const bool digit = i_c >= '0' && i_c <= '9';
    return !letter && !digit;
}
