// Answers to other users who browse this client: the whole share list and
// the files of one folder, each limited to what the asking user may see.

#include "SharedFoldersManager.h"

#include "Compression.h"
#include "GeneralFunctions.h"
#include "Log.h"
#include "PeerMessenger.h"
#include "SharedFolderInfo.h"
#include "TextConversion.h"

#include <algorithm>
#include <limits>

namespace
{

const QString SHARED_CATEGORY = QStringLiteral("Shared");

// zlib's default level: the share list of a large share is several
// megabytes, which the strongest level takes ten times as long to pack for
// a fraction of a percent less. The receiver cannot tell the difference.
constexpr int SHARE_LIST_LEVEL = 6;

qint32 ClampToInt32(long long i_value)
{
    return qint32(std::clamp<long long>(i_value, std::numeric_limits<qint32>::min(),
                                        std::numeric_limits<qint32>::max()));
}

} // namespace

FileInfo SharedFoldersManager::GetSharedFileInfo(ItemPtr i_file, std::string i_name) const
{
    FileInfo info(std::move(i_name), i_file["shared_file_size"].AsInt64());
    if (GetFileExtension(info.m_name) != "mp3")
        return info;
    info.m_attributes.m_extension = "mp3";
    if (ItemPtr bitrate = i_file["bitrate"])
        info.m_attributes.Add(ATTRIBUTE_BITRATE, ClampToInt32(bitrate.AsInt64()));
    if (ItemPtr mode = i_file["bitrate_mode"])
        info.m_attributes.Add(ATTRIBUTE_VBR, mode.AsString() == "vbr" ? 1 : 0);
    return info;
}

MemStream SharedFoldersManager::GetSharedFilesMessage(std::string i_user)
{
    Log(SHARED_CATEGORY, 1, QString("Shared file list requested by user %1").arg(FromLatin1(i_user)));

    // Folders by their wire path: ordered bytewise, and two folders that
    // come to one wire path are listed once with the files of both.
    FileInfoMap folders;
    Type* fileType = T("shared_file");
    Type* nameType = T("shared_file_name");
    for (Item* folder : GetUserSharedFolders(i_user).GetItems("shared_file_folder"))
    {
        std::set<FileInfo>& files = folders[ToWirePath(folder->GetValue())];
        for (Item* file : folder->GetItems(fileType))
        {
            // The folder part holds no "\" once in wire form, so the text
            // after the last "\" of the whole path is that of the name.
            const std::string& name = ItemPtr(file->GetItem(nameType)).AsString();
            const size_t backslash = name.rfind('\\');
            files.insert(GetSharedFileInfo(file, backslash == std::string::npos ? name : name.substr(backslash + 1)));
        }
    }

    MemStream body;
    bool ok = body.WriteUInt32(quint32(folders.size()));
    for (const auto& folder : folders)
    {
        ok = ok && body.WriteString(folder.first) && body.WriteUInt32(quint32(folder.second.size()));
        for (const FileInfo& file : folder.second)
            ok = ok && file.Write(body);
    }
    ok = ok && body.WriteUInt32(0);   // attribute translation table: always empty

    MemStream message;
    if (ok)
        message = Compression::CompressMessage(PM_SHARED_FILE_LIST, body, SHARE_LIST_LEVEL);
    if (message.Size() == 0)
        Log(SHARED_CATEGORY, 1, QString("Could not build the shared file list for user %1").arg(FromLatin1(i_user)));
    return message;
}

void SharedFoldersManager::OnFilesInFoldersRequested(std::string i_user, unsigned int i_req, std::string i_folder)
{
    const MemStream message = GetFolderContentsMessage(i_user, i_req, i_folder);
    if (message.Size() > 0 && peerMessenger)
        peerMessenger->SendMessage(i_user, message);
}

MemStream SharedFoldersManager::GetFolderContentsMessage(std::string i_user, unsigned int i_req,
                                                         std::string i_folder)
{
    // Only a folder the user may see, named exactly as it is stored.
    ItemPtr folder = T("shared_file_folder")->HasItem(ToLocalPath(i_folder));
    if (!folder || !IsInVisibleShare(folder, GetUserSharedFolders(i_user)))
        return MemStream();

    // Names in full and no attributes: this reply lists the folder as it is.
    SharedFolderInfo contents;
    for (Item* file : folder.GetItems("shared_file"))
    {
        ItemPtr f(file);
        contents.m_files.insert(FileInfo(f["shared_file_name"].AsString(), f["shared_file_size"].AsInt64()));
    }

    MemStream body;
    const bool ok = body.WriteUInt32(i_req) && body.WriteString(i_folder) && body.WriteUInt32(1) &&
                    body.WriteString(i_folder) && contents.Write(body);
    MemStream message;
    if (ok)
        message = Compression::CompressMessage(PM_SHARED_FILES_IN_FOLDER, body);
    if (message.Size() == 0)
        Log(SHARED_CATEGORY, 1, QString("Could not build the contents of folder %1 for user %2")
                                    .arg(FromUtf8(i_folder), FromLatin1(i_user)));
    return message;
}
