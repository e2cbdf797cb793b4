// Share lists that other users send, stored as a tree of folders and files
// for the share browser, and the reports to the server after each login.

#include "SharedFoldersManager.h"

#include "FileAttributeLinker.h"
#include "GeneralFunctions.h"
#include "Log.h"
#include "TextConversion.h"
#include "server.h"

void SharedFoldersManager::OnUserShare(std::string i_user, FileInfoMap& i_share,
                                       AttributeTranslationTable& i_translationTable)
{
    Log(QStringLiteral("Shared"), 1, QString("Received shared file list from user %1").arg(FromName(i_user)));

    ItemPtr user = T("user")->GetItem(i_user);
    if (!user || user["user_share"])
        return;
    ItemPtr share = user.NewItem("user_share");
    if (!share)
        return;

    Type* folderType = T("user_share_folder");
    Type* folderNameType = T("user_share_folder_name");
    Type* parentType = T("user_share_folder_parent");
    Type* childType = T("user_share_folder_child");
    Type* fileType = T("user_share_file");
    Type* fileNameType = T("user_share_file_name");
    Type* sizeType = T("file_size");
    // A later pair of a code replaces the earlier link: a file holds one
    // value of each.
    const FileAttributeLinker attributes;

    // The map is ordered by path, and a parent path sorts before its
    // children, so every parent in the list is stored before them. Each
    // folder's records are let go once stored, so that a large list is not
    // held twice, as records and as items.
    for (auto next = i_share.begin(); next != i_share.end();)
    {
        const auto node = i_share.extract(next++);
        const std::string& path = node.key();
        Item* folder = folderType->NewItem();
        share->Connect(folder);
        folder->Connect(folderNameType->GetItem(path));

        if (Item* parentName = folderNameType->HasItem(GetParentFolder(path)))
        {
            Item* parent = parentName->GetItems(folderType).Connected(share).First();
            if (parent && parent != folder)
            {
                Item* up = parentType->NewItem();
                Item* down = childType->NewItem();
                folder->Connect(up);
                parent->Connect(down);
                up->Connect(down);
            }
        }

        for (const FileInfo& record : node.mapped())
        {
            Item* file = fileType->NewItem();
            folder->Connect(file);
            file->Connect(fileNameType->GetItem(record.m_name));
            file->Connect(sizeType->GetItem(Value(static_cast<long long>(record.m_size))));
            attributes.Link(file, record.m_attributes);
        }
    }
    share.NewItem("user_share_loaded");
}

void SharedFoldersManager::OnConnectedToServer()
{
    if (!gp_server)
        return;
    // Everything shared counts, whoever may see it.
    gp_server->SendFilesFolders(int(T("shared_file_folder")->ItemCount()), int(T("shared_file")->ItemCount()));
    gp_server->GetUserStats(GetSetting("username"));
}

void SharedFoldersManager::OnReceivedUserStats(std::string i_user, UserStats i_stats)
{
    if (i_user != GetSetting("username"))
        return;
    SetSetting("upload_speed", std::to_string(i_stats.m_averageSpeed));
}
