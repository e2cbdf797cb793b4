// Answers to other users who browse this client: the whole share list and
// the files of one folder, each limited to what the asking user may see.

#include "SharedFoldersManager.h"

#include "Compression.h"
#include "GeneralFunctions.h"
#include "Log.h"
#include "SharedFolderInfo.h"
#include "TextConversion.h"

#include <algorithm>
#include <limits>
#include <map>
#include <string_view>
#include <vector>

namespace
{

const QString SHARED_CATEGORY = QStringLiteral("Shared");

// The share list of a large share is megabytes: the strongest level takes
// seconds over it and the default still longer than building the list, for
// a quarter less on the wire. The receiver cannot tell the levels apart.
constexpr int SHARE_LIST_LEVEL = 2;

qint32 ClampToInt32(long long i_value)
{
    return qint32(std::clamp<long long>(i_value, std::numeric_limits<qint32>::min(),
                                        std::numeric_limits<qint32>::max()));
}

// The types a file record is made from, looked up once per reply.
struct FileTypes
{
    Type* size = T("shared_file_size");
    Type* bitrate = T("bitrate");
    Type* mode = T("bitrate_mode");
};

// Fills a record (reusing its storage) for a shared file under the name.
void FillFileInfo(FileInfo& o_info, Item* ip_file, std::string_view i_name, const FileTypes& i_types)
{
    o_info.m_name.assign(i_name.data(), i_name.size());
    o_info.m_size = ItemPtr(ip_file->GetItem(i_types.size)).AsInt64();
    o_info.m_attributes.m_extension.clear();
    o_info.m_attributes.m_attributes.clear();
    if (GetFileExtension(o_info.m_name) != "mp3")
        return;
    o_info.m_attributes.m_extension = "mp3";
    if (Item* bitrate = ip_file->GetItem(i_types.bitrate))
        o_info.m_attributes.Add(ATTRIBUTE_BITRATE, ClampToInt32(bitrate->AsInt64()));
    if (Item* mode = ip_file->GetItem(i_types.mode))
        o_info.m_attributes.Add(ATTRIBUTE_VBR, mode->GetValue() == "vbr" ? 1 : 0);
}

// One record of a share-list folder: its listed name (a view into the
// store) and size, by which the folder's records are ordered and told
// apart, and where its bytes lie in the folder's buffer.
struct ListedFile
{
    std::string_view name;
    qint64 size;
    size_t offset;
    size_t length;

    bool operator<(const ListedFile& i_other) const
    {
        const int order = name.compare(i_other.name);
        return order < 0 || (order == 0 && size < i_other.size);
    }
    bool operator==(const ListedFile& i_other) const { return name == i_other.name && size == i_other.size; }
};

// Deflates a reply body for keeping; null when zlib fails.
KeptReplies::Reply DeflateReply(const MemStream& i_body, int i_level = SHARE_LIST_LEVEL)
{
    auto reply = std::make_shared<Compression::DeflatedTail>();
    if (!Compression::DeflateTail(i_body.Data(), i_body.Size(), *reply, i_level))
        return nullptr;
    return reply;
}

// The body of the share list of the folders in those share roots,
// compressed; null when it cannot be made.
KeptReplies::Reply BuildShareList(const ItemSet& i_roots)
{
    // Folders by their wire path: ordered bytewise, and two folders that
    // come to one wire path are listed once with the files of both.
    std::map<std::string, std::vector<Item*>> folders;
    for (Item* folder : i_roots.GetItems("shared_file_folder"))
        folders[ToWirePath(folder->GetValue())].push_back(folder);

    // Each file is read from the store once: its record is written into the
    // folder's buffer at once, and the buffer copied over in record order.
    const FileTypes types;
    Type* fileType = T("shared_file");
    Type* nameType = T("shared_file_name");
    MemStream body;
    MemStream records;
    FileInfo record;
    std::vector<ListedFile> files;
    bool ok = body.WriteUInt32(quint32(folders.size()));
    for (const auto& folder : folders)
    {
        records.Clear();
        files.clear();
        for (Item* item : folder.second)
        {
            for (Item* file : item->GetItems(fileType))
            {
                // The folder part holds no "\" once in wire form, so the
                // text after the last "\" of the whole path is the name's.
                const Item* nameItem = file->GetItem(nameType);
                std::string_view name = nameItem ? std::string_view(nameItem->GetValue()) : std::string_view();
                const size_t backslash = name.rfind('\\');
                if (backslash != std::string_view::npos)
                    name.remove_prefix(backslash + 1);
                FillFileInfo(record, file, name, types);
                const size_t offset = records.Size();
                ok = ok && record.Write(records);
                files.push_back({name, record.m_size, offset, records.Size() - offset});
            }
        }
        std::stable_sort(files.begin(), files.end());
        files.erase(std::unique(files.begin(), files.end()), files.end());
        ok = ok && body.WriteString(folder.first) && body.WriteUInt32(quint32(files.size()));
        for (const ListedFile& file : files)
            ok = ok && body.WriteBytes(records.Data() + file.offset, file.length);
    }
    ok = ok && body.WriteUInt32(0);   // attribute translation table: always empty
    return ok ? DeflateReply(body) : nullptr;
}

// The body of a folder reply after its head (request number and path): the
// folder's files with their names in full and no attributes, compressed;
// null when it cannot be made.
KeptReplies::Reply BuildFolderContents(Item* ip_folder)
{
    SharedFolderInfo contents;
    for (Item* file : ItemPtr(ip_folder).GetItems("shared_file"))
    {
        ItemPtr f(file);
        contents.m_files.insert(FileInfo(f["shared_file_name"].AsString(), f["shared_file_size"].AsInt64()));
    }
    MemStream body;
    return contents.Write(body) ? DeflateReply(body, Compression::BEST_LEVEL) : nullptr;
}

} // namespace

FileInfo SharedFoldersManager::GetSharedFileInfo(ItemPtr i_file, std::string i_name) const
{
    FileInfo info;
    if (i_file)
        FillFileInfo(info, i_file, i_name, FileTypes());
    return info;
}

QByteArray SharedFoldersManager::GetSharedFilesReply(std::string i_user, bool i_reached)
{
    Log(SHARED_CATEGORY, 1, QString("Shared file list requested by user %1").arg(FromName(i_user)));

    const ItemSet roots = GetUserSharedFolders(i_user, i_reached);
    const std::string key = KeptReplies::Key('L', nullptr, roots);
    QByteArray message = m_keptReplies.FindMessage(key);
    if (message.isEmpty())
    {
        if (const KeptReplies::Reply list = BuildShareList(roots))
        {
            const MemStream built = Compression::CompressMessage(PM_SHARED_FILE_LIST, MemStream(), *list, SHARE_LIST_LEVEL);
            message = m_keptReplies.KeepMessage(key, QByteArray(built.Data(), qsizetype(built.Size())));
        }
    }
    if (message.isEmpty())
        Log(SHARED_CATEGORY, 1, QString("Could not build the shared file list for user %1").arg(FromName(i_user)));
    return message;
}

MemStream SharedFoldersManager::GetSharedFilesMessage(std::string i_user)
{
    const QByteArray message = GetSharedFilesReply(i_user, true);
    return MemStream(message.constData(), size_t(message.size()));
}

KeptReplies::Reply SharedFoldersManager::KeptFolderContents(const std::string& i_user, const std::string& i_folder,
                                                            bool i_reached)
{
    // Only a folder the user may see, named exactly as it is stored.
    Item* folder = T("shared_file_folder")->HasItem(ToLocalPath(i_folder));
    if (!folder)
        return nullptr;
    const ItemSet seenThrough = ItemPtr(folder).GetItems("shared_folder").Common(GetUserSharedFolders(i_user, i_reached));
    if (seenThrough.empty())
        return nullptr;
    const std::string key = KeptReplies::Key('F', folder, seenThrough);
    KeptReplies::Reply contents = m_keptReplies.Find(key);
    if (!contents)
        contents = m_keptReplies.Keep(key, BuildFolderContents(folder));
    return contents;
}

namespace
{
// The head differs from request to request: the request number and the
// path as the requester wrote it.
MemStream FolderHead(unsigned int i_req, const std::string& i_folder)
{
    MemStream head;
    if (!(head.WriteUInt32(i_req) && head.WriteString(i_folder) && head.WriteUInt32(1) && head.WriteString(i_folder)))
        return MemStream();
    return head;
}
}

size_t SharedFoldersManager::FolderContentsSize(std::string i_user, std::string i_folder, bool i_reached)
{
    const KeptReplies::Reply contents = KeptFolderContents(i_user, i_folder, i_reached);
    const MemStream head = FolderHead(0, i_folder);
    if (!contents || head.Size() == 0)
        return 0;
    // The code, the zlib header and check, the head stored at worst, the tail.
    return 4 + 2 + 4 + head.Size() + 5 * (head.Size() / 16384 + 1) + contents->deflated.size();
}

MemStream SharedFoldersManager::GetFolderContentsMessage(std::string i_user, unsigned int i_req,
                                                         std::string i_folder, bool i_reached)
{
    const KeptReplies::Reply contents = KeptFolderContents(i_user, i_folder, i_reached);
    if (!contents)
        return MemStream();
    const MemStream head = FolderHead(i_req, i_folder);
    MemStream message;
    if (head.Size() != 0)
        message = Compression::CompressMessage(PM_SHARED_FILES_IN_FOLDER, head, *contents);
    if (message.Size() == 0)
        Log(SHARED_CATEGORY, 1, QString("Could not build the contents of folder %1 for user %2")
                                    .arg(FromUtf8(i_folder), FromName(i_user)));
    return message;
}

void SharedFoldersManager::ShareChanged()
{
    m_keptReplies.Clear();
}

void SharedFoldersManager::OnSharedRecordChanged(ConnectionInfo&)
{
    ShareChanged();
}

void SharedFoldersManager::WatchSharedRecords()
{
    // Share roots gain and lose folders, visibility and groups; folders
    // gain and lose files; a file's size may be replaced in place. The
    // types are watched whole: their links are made one at a time, never in
    // the bulk path that watching slows.
    for (const char* type : {"shared_folder", "shared_file_folder", "shared_file_size"})
    {
        AddHandler(T(type)->connected, this, &SharedFoldersManager::OnSharedRecordChanged);
        AddHandler(T(type)->disconnected, this, &SharedFoldersManager::OnSharedRecordChanged);
    }
    // A file's name and scan results: only their links to own files are
    // heard (bitrates are linked to received files in bulk), and only when
    // made; they are broken only with the file, which leaves its folder.
    for (const char* type : {"shared_file_name", "bitrate", "bitrate_mode"})
        AddPairHandler(T("shared_file"), T(type), this, &SharedFoldersManager::OnSharedRecordChanged);
}
