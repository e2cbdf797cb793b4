// The transfer queue: the download queue. Adding, finding and removing
// downloads, asking uploaders to queue them and for their place in line,
// the status of a download, and the uploader's offer to send one.

#include "TransferQueueManager.h"
#include "TransferQueueInternal.h"

#include "DownloadPaths.h"
#include "Log.h"
#include "MemStream.h"
#include "PeerMessenger.h"
#include "ProtocolCodes.h"
#include "server.h"

#include <QFileInfo>

#include <map>
#include <unordered_map>

using namespace TransferQueueInternal;

std::string TransferQueueManager::RemotePath(ItemPtr i_download)
{
    return i_download["remote_folder"].AsString() + "\\" + i_download["file_name"].AsString();
}

ItemPtr TransferQueueManager::NewDownload(const DownloadRequest& i_request, long long& io_order)
{
    ItemPtr download = T("download_entry")->NewItem();
    download += T("user")->GetItem(i_request.user);
    download += T("file_name")->GetItem(i_request.fileName);
    download += T("remote_folder")->GetItem(i_request.remoteFolder);
    download += T("file_size")->GetItem(Value(static_cast<long long>(i_request.size)));
    download += T("subfolder_save_level")->GetItem(Value(i_request.subfolderSaveLevel));

    // An order number belongs to one entry; a counter that fell behind (an
    // edited state file) must not take an older entry's number.
    Type* orderType = T("download_order");
    while (Item* taken = orderType->HasItem(Value(io_order)))
    {
        if (!taken->IsConnected("download_entry"))
            break;
        ++io_order;
    }
    download += orderType->GetItem(Value(io_order));
    ++io_order;
    return download;
}

ItemPtr TransferQueueManager::AddDownload(std::string i_user, std::string i_fileName, std::string i_remoteFolder,
                                          qint64 i_size, int i_subfolderSaveLevel)
{
    if (ItemPtr existing = GetDownloadEntry(i_user, i_fileName, i_remoteFolder))
        return existing;

    Data::Operation op(d);
    long long order = ParseDecimal(GetSetting("transfer_order_counter"));
    ItemPtr download = NewDownload({i_user, i_fileName, i_remoteFolder, i_size, i_subfolderSaveLevel}, order);
    SetSetting("transfer_order_counter", Value(order));

    if (gp_server)
        gp_server->TrackUser(i_user);

    if (IsFinishedOnDisk(download))
    {
        SetDownloadEntryStatus(download, "complete");
        return download;
    }
    SetDownloadEntryStatus(download, "queued");
    if (IsOnline(download["user"]))
    {
        if (peerMessenger)
            peerMessenger->QueueDownload(i_user, RemotePath(download));
        RequestDownloadPlaceInLine(download);
    }
    return download;
}

std::vector<ItemPtr> TransferQueueManager::AddDownloads(const std::vector<DownloadRequest>& i_requests)
{
    std::vector<ItemPtr> entries;
    entries.reserve(i_requests.size());
    // The queued downloads of each user who is online, asked for in a pass
    // of that user's.
    std::vector<Pass> asks;
    std::unordered_map<Item*, size_t> askOf;
    std::vector<std::string> tracked;
    {
        Data::Operation op(d);
        const long long first = ParseDecimal(GetSetting("transfer_order_counter"));
        long long order = first;
        // One moment for all: reading the clock is dear at this count.
        const std::string now = Now();
        // A download whose complete folder is missing is not on disk: one
        // look per folder rather than one per file.
        std::map<std::pair<Item*, int>, bool> folderExists;
        for (const DownloadRequest& request : i_requests)
        {
            if (ItemPtr existing = GetDownloadEntry(request.user, request.fileName, request.remoteFolder))
            {
                entries.push_back(existing);
                continue;
            }
            ItemPtr download = NewDownload(request, order);
            entries.push_back(download);
            Item* user = download["user"];
            auto [ask, added] = askOf.try_emplace(user, asks.size());
            if (added)
            {
                tracked.push_back(request.user);
                Pass pass;
                pass.kind = Pass::Reask;
                pass.user = user;
                asks.push_back(std::move(pass));
            }
            auto [folder, fresh] =
                folderExists.try_emplace({download["remote_folder"].Get(), request.subfolderSaveLevel}, false);
            if (fresh)
                folder->second = QFileInfo(SlashForm(GetDownloadTargetFolder(download, true))).isDir();
            const bool finished = folder->second && IsFinishedOnDisk(download);
            SetEntryStatus(download, kDownloadSide, finished ? "complete" : "queued", now);
            if (!finished && IsOnline(user))
                asks[ask->second].downloads.push_back(download.Get());
        }
        if (order != first)
            SetSetting("transfer_order_counter", Value(order));
    }
    if (gp_server)
        for (const std::string& user : tracked)
            gp_server->TrackUser(user);
    for (Pass& pass : asks)
        if (!pass.downloads.empty())
            StartPass(std::move(pass));
    return entries;
}

ItemPtr TransferQueueManager::GetDownloadEntry(std::string i_user, std::string i_fileName, std::string i_remoteFolder)
{
    return ItemNamedBy("download_entry", T("user")->HasItem(i_user), T("file_name")->HasItem(i_fileName),
                       T("remote_folder")->HasItem(i_remoteFolder));
}

ItemPtr TransferQueueManager::DownloadOfRemotePath(const std::string& i_user, const std::string& i_path)
{
    // Split as results and queued downloads are: a "/" is part of a name.
    std::string folder;
    std::string name;
    SplitWirePath(i_path, &folder, &name);
    return GetDownloadEntry(i_user, name, folder);
}

void TransferQueueManager::QueueDownloadIfUserOnline(ItemPtr i_download)
{
    if (!i_download)
        return;
    const std::string path = RemotePath(i_download);
    const std::string status = i_download["download_entry_status"].AsString();
    ItemPtr user = i_download["user"];
    if (status == "local error")
    {
        Log(kCategory, 1, QStringLiteral("Download status %1, not re-queueing %2").arg(FromLatin1(status), Text(path)),
            i_download);
        return;
    }
    if (!IsOnline(user))
    {
        Log(kCategory, 1,
            QStringLiteral("User %1 offline, not re-queueing %2").arg(FromName(user.AsString()), Text(path)),
            i_download);
        return;
    }
    Log(kCategory, 1,
        QStringLiteral("User %1 appears to still be online, re-queueing %2").arg(FromName(user.AsString()), Text(path)),
        i_download);
    if (peerMessenger)
        peerMessenger->QueueDownload(user.AsString(), path);
}

bool TransferQueueManager::IsActivelyDownloadingFromUser(std::string i_user)
{
    Item* user = T("user")->HasItem(i_user);
    Item* downloading = T("download_entry_status")->HasItem("downloading");
    if (!user || !downloading)
        return false;
    return d->GetItem(ItemPtr(user), ItemPtr(downloading), "download_entry") != nullptr;
}

bool TransferQueueManager::ExpectsTransferWith(const std::string& i_user)
{
    Item* user = T("user")->HasItem(i_user);
    if (!user)
        return false;
    for (Item* download : user->GetItems("download_entry"))
        if (ItemPtr(download)["download_entry_status"].AsString() != "complete")
            return true;
    for (Item* upload : user->GetItems("upload_entry"))
        if (ItemPtr(upload)["upload_entry_status"]["is_active"])
            return true;
    return false;
}

bool TransferQueueManager::IsAnythingDownloading() const
{
    Item* downloading = T("download_entry_status")->HasItem("downloading");
    return downloading && downloading->IsConnected("download_entry");
}

void TransferQueueManager::RequestDownloadPlaceInLine(ItemPtr i_download)
{
    if (!i_download)
        return;
    const std::string user = i_download["user"].AsString();
    Log(kCategory, 1,
        QStringLiteral("Requesting place in line for download of %1 from %2")
            .arg(Text(i_download["file_name"].AsString()), FromName(user)),
        i_download);
    MemStream message = NewMessage(PM_UPLOAD_PLACE_IN_LINE_REQUEST);
    message.WriteString(RemotePath(i_download));
    if (peerMessenger)
        peerMessenger->SendMessage(user, message);
}

void TransferQueueManager::RequestUserDownloadsPlaceInLine(std::string i_user)
{
    Item* user = T("user")->HasItem(i_user);
    Item* queued = T("download_entry_status")->HasItem("queued");
    if (!user || !queued)
        return;
    for (Item* download : d->GetItems(ItemPtr(user), ItemPtr(queued), "download_entry"))
        RequestDownloadPlaceInLine(download);
}

void TransferQueueManager::OnDownloadPlaceInLine(std::string i_user, std::string i_file, int i_place)
{
    ItemPtr download = DownloadOfRemotePath(i_user, i_file);
    if (download)
        download += T("place_in_line")->GetItem(Value(i_place));
}

void TransferQueueManager::SetDownloadEntryStatus(ItemPtr i_download, std::string i_status)
{
    if (!i_download)
        return;
    Data::Operation op(d);
    SetEntryStatus(i_download, kDownloadSide, i_status);
}

void TransferQueueManager::RemoveDownload(ItemPtr i_download)
{
    if (!i_download)
        return;
    Data::Operation op(d);
    ReleaseTransfer(i_download, kDownloadSide);
    i_download.Remove();
}

void TransferQueueManager::OnFileTransferRequest(std::string i_user, int i_direction, unsigned int i_req,
                                                 std::string i_file, qint64 i_fileSize)
{
    ItemPtr user = T("user")->HasItem(i_user);
    if (i_direction != 1)
    {
        Log(kCategory, 1,
            QStringLiteral("Received download request from %1 for file %2, currently not processing")
                .arg(FromName(i_user), Text(i_file)),
            user);
        return;
    }
    Log(kCategory, 1,
        QStringLiteral("Received upload request from %1 for file %2, req %3").arg(FromName(i_user), Text(i_file)).arg(i_req),
        user);

    ItemPtr download = DownloadOfRemotePath(i_user, i_file);
    // The number names this offer only, whatever the answer: an uploader
    // that restarted counts again from its last saved number, and another
    // download of the user that an earlier offer with it named must not take
    // this offer's file connection.
    if (Item* req = T("remote_transfer_req")->HasItem(Value(i_req)))
        for (Item* older : req->GetItems("download_entry"))
            if (older != download.Get() && older->GetItem("user") == user.Get())
                ItemPtr(older) -= ItemPtr(req);
    if (!download)
    {
        Log(kCategory, 2, QStringLiteral("Denied, Cancelled"), user);
        if (peerMessenger)
            peerMessenger->DenyTransferRequest(i_user, i_req, "Cancelled");
        return;
    }
    const std::string status = download["download_entry_status"].AsString();
    if (status == "complete")
    {
        Log(kCategory, 2, QStringLiteral("Denied, Complete"), download);
        if (peerMessenger)
            peerMessenger->DenyTransferRequest(i_user, i_req, "Complete");
        return;
    }
    // The uploader's size is the one its bytes will follow; a stale queued
    // size would end a longer file early or wait forever for a shorter one,
    // and it decides which partial file the transfer may resume.
    Data::Operation op(d);
    const long long queuedSize = download["file_size"].AsInt64();
    if (i_fileSize > 0 && i_fileSize != queuedSize)
    {
        Log(kCategory, 2,
            QStringLiteral("Offered size %1 differs from the queued size %2, using the offered size")
                .arg(i_fileSize)
                .arg(queuedSize),
            download);
        download += T("file_size")->GetItem(Value(static_cast<long long>(i_fileSize)));
    }
    // While another download writes the same partial file, an offer for
    // this one is turned down, so that its uploader does not offer it again
    // at once.
    if (OtherWriterOf(download, ChoosePartialFile(download)))
    {
        Log(kCategory, 2, QStringLiteral("Denied, Cancelled: another download is writing the same file"), download);
        if (peerMessenger)
            peerMessenger->DenyTransferRequest(i_user, i_req, "Cancelled");
        return;
    }

    download += T("remote_transfer_req")->GetItem(Value(i_req));
    if (status == "downloading")
    {
        Log(kCategory, 2, QStringLiteral("Transfer is already downloading, cancelling..."), download);
        SetDownloadEntryStatus(download, "aborted");
    }
    if (peerMessenger)
        peerMessenger->AcceptTransferRequest(i_user, i_req, false, 0);
    Log(kCategory, 2, QStringLiteral("Accepted"), download);
}
