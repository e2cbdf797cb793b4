#include "TransferQueueManager.h"

#include "DataSaver.h"
#include "DownloadPaths.h"
#include "DownloadThread.h"
#include "GeneralFunctions.h"
#include "Log.h"
#include "MemStream.h"
#include "PeerMessenger.h"
#include "ProtocolCodes.h"
#include "SharedFoldersManager.h"
#include "TextConversion.h"
#include "TimerManager.h"
#include "UploadThread.h"
#include "server.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QThread>
#include <QtEndian>

#include <algorithm>
#include <limits>
#include <memory>
#include <unordered_set>

TransferQueueManager* transferQueueManager = nullptr;

namespace
{

const char* const kCategory = "Transfer Queue";
// How far "name (n)" is counted for a free file name.
const int kMaxNumberedNames = 9999;

// An n:1 partner: many entries may share one partner item.
void RelateShared(Type* ip_entry, const char* ip_other)
{
    Relate(ip_entry, T(ip_other), Many, One);
}

// A 1:1 partner: the partner item belongs to one entry.
void RelateOwn(Type* ip_entry, const char* ip_other)
{
    Relate(ip_entry, T(ip_other), One, One);
}

template <class Object>
Object* AddressOf(Item* ip_item)
{
    return ip_item ? reinterpret_cast<Object*>(static_cast<uintptr_t>(ip_item->AsUInt())) : nullptr;
}

QString Text(const std::string& i_bytes)
{
    return FromUtf8(i_bytes);
}

bool IsActiveStatus(Item* ip_status)
{
    return ip_status && ip_status->IsConnected("is_active");
}

bool IsOnline(ItemPtr i_user)
{
    return i_user.IsConnected("is_online");
}

// The item of the type that the three items name together; null when one
// of them does not exist.
Item* ItemNamedBy(const char* ip_type, Item* ip_a, Item* ip_b, Item* ip_c)
{
    if (!ip_a || !ip_b || !ip_c)
        return nullptr;
    ItemSet keys;
    keys.insert(ip_a);
    keys.insert(ip_b);
    keys.insert(ip_c);
    return d->GetItem(keys, ip_type);
}

void CloseFileConnection(QTcpSocket* ip_socket)
{
    ip_socket->disconnect();
    ip_socket->close();
    ip_socket->deleteLater();
}

} // namespace

// The types under which a download or an upload entry keeps its status and
// its run-time objects.
struct TransferSide
{
    using TypeName = const char*;
    TypeName entry, status;
    // The objects that live while the transfer runs; the position is where
    // the next byte is written or read.
    TypeName thread, file, socket, position;
};

namespace
{

const TransferSide kDownloadSide{"download_entry",  "download_entry_status", "download_thread",
                                 "download_file",   "download_socket",       "write_position"};
const TransferSide kUploadSide{"upload_entry", "upload_entry_status", "upload_thread",
                               "upload_file",  "upload_socket",       "read_position"};

} // namespace

TransferQueueManager::TransferQueueManager()
{
    transferQueueManager = this;

    // ---- schema: the download side
    Type* download = d->NewType("download_entry", true, true, true);
    for (const char* name : {"file_name", "remote_folder", "download_folder", "transfer_req", "remote_transfer_req"})
        d->NewType(name, false, false, true);
    d->NewType("download_socket", true, false, true);
    d->NewType("download_file", true, false, true);
    d->NewType("write_position", false, false, true);
    d->NewType("download_entry_status", false, false, true);
    d->NewType("download_order", false, false, true);
    d->NewType("upload_socket", true, false, true);
    d->NewType("upload_file", true, false, true);
    d->NewType("read_position", false, false, true);
    d->NewType("upload_entry_status", true, false, true);
    d->NewType("upload_order", false, false, true);
    d->NewType("is_active", false, true, true);
    for (const char* name : {"last_receipt_time", "last_speed_measurement_time", "bytes_per_second",
                             "bytes_since_last_receipt", "place_in_line", "last_place_in_line_request_time"})
        d->NewType(name, false, false, true);
    d->NewType("download_thread", true, false, true);
    d->NewType("subfolder_save_level", false, false, true);
    d->NewType("last_status_change_time", false, false, true);

    for (const char* name : {"user", "file_name", "remote_folder", "file_size", "download_folder"})
        RelateShared(download, name);
    RelateOwn(download, "transfer_req");
    RelateShared(download, "remote_transfer_req");
    for (const char* name : {"download_socket", "download_thread", "download_file"})
        RelateOwn(download, name);
    for (const char* name : {"write_position", "download_entry_status"})
        RelateShared(download, name);
    for (const char* name : {"download_order", "last_receipt_time", "last_speed_measurement_time",
                             "bytes_per_second", "bytes_since_last_receipt"})
        RelateOwn(download, name);
    for (const char* name : {"place_in_line", "subfolder_save_level", "last_status_change_time"})
        RelateShared(download, name);
    RelateShared(T("download_entry_status"), "is_active");
    RelateShared(T("user"), "last_place_in_line_request_time");

    AddHandler(T("write_position")->itemRemoved, this, &TransferQueueManager::OnWritePositionRemoved);
    AddHandler(T("last_receipt_time")->itemRemoved, this, &TransferQueueManager::OnLastReceiptTimeRemoved);
    AddHandler(T("last_speed_measurement_time")->itemRemoved, this,
               &TransferQueueManager::OnLastSpeedMeasurementTimeRemoved);
    AddHandler(T("bytes_per_second")->itemRemoved, this, &TransferQueueManager::OnBytesPerSecondRemoved);
    AddHandler(T("bytes_since_last_receipt")->itemRemoved, this,
               &TransferQueueManager::OnBytesSinceLastReceiptRemoved);
    AddHandler(T("read_position")->itemRemoved, this, &TransferQueueManager::OnReadPositionRemoved);
    // Passes that send in slices hold entries across event-loop turns.
    AddHandler(download->itemRemoved, this, &TransferQueueManager::OnDownloadEntryRemoved);
    AddHandler(T("user")->itemRemoved, this, &TransferQueueManager::OnUserRemoved);

    SaveType("download_entry");
    for (const char* name : {"user", "file_name", "remote_folder", "file_size", "download_folder",
                             "download_entry_status", "download_order", "subfolder_save_level"})
        SaveByConnection(name, "download_entry");

    // ---- schema: the upload side
    Type* upload = d->NewType("upload_entry", true, true, true);
    for (const char* name : {"filename_as_requested", "upload_start_time", "bytes_uploaded"})
        d->NewType(name, false, false, true);
    d->NewType("upload_thread", true, false, true);
    d->NewType("effective_upload_order", false, false, true);
    AddHandler(T("bytes_uploaded")->itemRemoved, this, &TransferQueueManager::OnBytesUploadedRemoved);

    for (const char* name : {"user", "shared_file"})
        RelateShared(upload, name);
    for (const char* name : {"upload_socket", "upload_file"})
        RelateOwn(upload, name);
    for (const char* name : {"read_position", "upload_entry_status"})
        RelateShared(upload, name);
    for (const char* name : {"upload_order", "transfer_req"})
        RelateOwn(upload, name);
    RelateShared(T("upload_entry_status"), "is_active");
    for (const char* name : {"filename_as_requested", "upload_start_time", "bytes_uploaded", "last_status_change_time"})
        RelateShared(upload, name);
    for (const char* name : {"last_receipt_time", "last_speed_measurement_time", "bytes_per_second",
                             "bytes_since_last_receipt", "upload_thread", "effective_upload_order"})
        RelateOwn(upload, name);

    // ---- schema: refusals and completed downloads
    d->NewType("denial_reason", false, false, true);
    RelateShared(download, "denial_reason");
    RelateShared(upload, "denial_reason");

    Type* complete = d->NewType("complete_download", true, true, true);
    const char* const completeValues[] = {"complete_download_folder", "complete_download_relative_folder",
                                          "complete_download_filename", "complete_download_file_size",
                                          "complete_download_completion_time"};
    for (const char* name : completeValues)
        d->NewType(name, false, false, true);
    RelateShared(complete, "user");
    for (const char* name : completeValues)
        RelateShared(complete, name);
    RelateShared(complete, "search_request_text");
    SaveType("complete_download");
    for (const char* name : completeValues)
        SaveByConnection(name, "complete_download");
    SaveByConnection("user", "complete_download");
    // A record keeps the search it came from after its entry is removed.
    SaveByConnection("search_request_text", "complete_download");

    // ---- schema: which download a file on disk belongs to
    // A partial file remembers the download it was started for (user and
    // size), also once that download is removed, so that no other file of
    // the same name is ever appended to it. A download that finished under
    // a free name remembers that name.
    Type* partial = d->NewType("partial_file", true, false, true);
    d->NewType("complete_file_name", false, false, true);
    RelateShared(partial, "user");
    RelateShared(partial, "file_size");
    RelateShared(download, "partial_file");
    RelateShared(download, "complete_file_name");
    SaveType("partial_file");
    SaveByConnection("user", "partial_file");
    SaveByConnection("file_size", "partial_file");
    SaveByConnection("complete_file_name", "download_entry");

    // ---- users coming online, settings, the active statuses
    {
        PathNode* root = new PathNode(d, "user");
        new PathNode(root, "is_online", ConnectedNotify);
        AddPathHandler(root, this, &TransferQueueManager::OnUserOnline);
    }

    if (GetSetting("download_folder").empty())
        SetSetting("download_folder", ToUtf8(QDir::homePath() + QStringLiteral("/Tavrinel Downloads")));
    if (GetSetting("transfer_order_counter").empty())
        SetSetting("transfer_order_counter", "1");
    SetSetting("transfer_req_counter", "1");

    ItemPtr active = T("is_active")->GetGlobalNullItem();
    ItemPtr(T("download_entry_status")->GetItem("downloading")) += active;
    for (const char* status : {"connecting", "uploading", "requesting", "waiting for offset"})
        ItemPtr(T("upload_entry_status")->GetItem(status)) += active;

    if (GetSetting("upload_speed_limit").empty())
    {
        SetSetting("upload_speed_limit", "0");
        SetSetting("upload_speed_limit_enabled", "no");
    }
    SetSetting("upload_slots", "1");

    // ---- the peer network and the shared timers
    if (peerMessenger)
    {
        connect(peerMessenger, &PeerMessenger::FileTransferRequested, this, &TransferQueueManager::OnFileTransferRequest);
        connect(peerMessenger, &PeerMessenger::FileConnectionRequested, this, &TransferQueueManager::OnFileConnection);
        connect(peerMessenger, &PeerMessenger::QueueUploadRequested, this, &TransferQueueManager::OnQueueUploadRequested);
        connect(peerMessenger, &PeerMessenger::FileConnectionAccepted, this,
                &TransferQueueManager::OnFileConnectionAccepted);
        connect(peerMessenger, &PeerMessenger::FileTransferResponse, this, &TransferQueueManager::OnFileTransferResponse);
        connect(peerMessenger, &PeerMessenger::UploadFailed, this, &TransferQueueManager::OnUploadFailedNotification);
        connect(peerMessenger, &PeerMessenger::UploadDenied, this, &TransferQueueManager::OnUploadDeniedNotification);
        connect(peerMessenger, &PeerMessenger::DownloadPlaceInLine, this, &TransferQueueManager::OnDownloadPlaceInLine);
    }
    if (timerManager)
    {
        connect(timerManager->FiveMinuteTimer(), &QTimer::timeout, this, &TransferQueueManager::PeriodicCheck);
        connect(timerManager->HalfMinuteTimer(), &QTimer::timeout, this, &TransferQueueManager::EveryHalfMinute);
    }

    m_passTimer.setSingleShot(true);
    m_passTimer.setInterval(0);
    connect(&m_passTimer, &QTimer::timeout, this, &TransferQueueManager::RunPasses);

    if (dataSaver)
        dataSaver->AddDataLoadedEventHandler(this);

    // Search replies and place-in-line answers read the upload queue.
    gp_uploadStatusProvider = this;
    gp_uploadPlaceProvider = this;
}

TransferQueueManager::~TransferQueueManager()
{
    DisableHandlers();
    if (dataSaver)
        dataSaver->RemoveDataLoadedEventHandler(this);

    // Every thread is told first, so they all wind down at once.
    std::vector<TransferThread*> threads;
    for (const char* type : {"upload_thread", "download_thread"})
        if (Type* t = d->HasType(type))
            for (Item* item : t->GetItems())
                if (TransferThread* thread = AddressOf<TransferThread>(item))
                {
                    thread->SignalExit();
                    threads.push_back(thread);
                }
    for (TransferThread* thread : threads)
        thread->wait();

    if (gp_uploadStatusProvider == this)
        gp_uploadStatusProvider = nullptr;
    if (gp_uploadPlaceProvider == this)
        gp_uploadPlaceProvider = nullptr;
    if (transferQueueManager == this)
        transferQueueManager = nullptr;
}

void TransferQueueManager::DataLoaded()
{
    Data::Operation op(d);
    ItemPtr queued = T("download_entry_status")->GetItem("queued");
    Type* statusType = T("download_entry_status");
    Type* userType = T("user");
    std::vector<Item*> users;
    std::unordered_set<Item*> seen;
    T("download_entry")->ForEachItem([&](Item* ip_download) {
        Item* status = ip_download->GetItem(statusType);
        if (!status || (status != queued.Get() && status->GetValue() != "complete"))
            ip_download->Connect(queued.Get());
        if (Item* user = ip_download->GetItem(userType))
            if (seen.insert(user).second)
                users.push_back(user);
    });
    if (gp_server)
        for (Item* user : users)
            gp_server->TrackUser(user->GetValue());

    emit TransfersLoaded();
    DetermineUploadSpeedLimit();
}

// ---------------------------------------------------------------- timer test

void TransferQueueManager::StartTimerTest()
{
    connect(&m_timerTestTimer, &QTimer::timeout, this, &TransferQueueManager::TimerTest, Qt::UniqueConnection);
    m_timerTestTimer.setSingleShot(false);
    m_timerTestTimer.start(1000);
    m_timerTestElapsed.start();
}

void TransferQueueManager::TimerTest()
{
    Log("Timer Test", 1, QStringLiteral("Timeout: %1 milliseconds behind schedule").arg(m_timerTestElapsed.elapsed() - 1000));
    m_timerTestElapsed.restart();
}

// ---------------------------------------------------------------- download queue

std::string TransferQueueManager::Now() const
{
    return ToLatin1(CurrentTime().toString(Qt::TextDate));
}

std::string TransferQueueManager::RemotePath(ItemPtr i_download)
{
    return i_download["remote_folder"].AsString() + "\\" + i_download["file_name"].AsString();
}

ItemPtr TransferQueueManager::AddDownload(std::string i_user, std::string i_fileName, std::string i_remoteFolder,
                                          qint64 i_size, int i_subfolderSaveLevel)
{
    if (ItemPtr existing = GetDownloadEntry(i_user, i_fileName, i_remoteFolder))
        return existing;

    Data::Operation op(d);
    ItemPtr download = T("download_entry")->NewItem();
    ItemPtr user = T("user")->GetItem(i_user);
    download += user;
    download += T("file_name")->GetItem(i_fileName);
    download += T("remote_folder")->GetItem(i_remoteFolder);
    download += T("file_size")->GetItem(Value(static_cast<long long>(i_size)));
    download += T("subfolder_save_level")->GetItem(Value(i_subfolderSaveLevel));

    // An order number belongs to one entry; a counter that fell behind (an
    // edited state file) must not take an older entry's number.
    Type* orderType = T("download_order");
    long long order = ParseDecimal(GetSetting("transfer_order_counter"));
    while (Item* taken = orderType->HasItem(Value(order)))
    {
        if (!taken->IsConnected("download_entry"))
            break;
        ++order;
    }
    download += orderType->GetItem(Value(order));
    SetSetting("transfer_order_counter", Value(order + 1));

    if (gp_server)
        gp_server->TrackUser(i_user);

    if (IsFinishedOnDisk(download))
    {
        SetDownloadEntryStatus(download, "complete");
        return download;
    }
    SetDownloadEntryStatus(download, "queued");
    if (IsOnline(user))
    {
        if (peerMessenger)
            peerMessenger->QueueDownload(i_user, RemotePath(download));
        RequestDownloadPlaceInLine(download);
    }
    return download;
}

ItemPtr TransferQueueManager::GetDownloadEntry(std::string i_user, std::string i_fileName, std::string i_remoteFolder)
{
    return ItemNamedBy("download_entry", T("user")->HasItem(i_user), T("file_name")->HasItem(i_fileName),
                       T("remote_folder")->HasItem(i_remoteFolder));
}

ItemPtr TransferQueueManager::DownloadOfRemotePath(const std::string& i_user, const std::string& i_path)
{
    return GetDownloadEntry(i_user, GetFileName(i_path), GetFolder(i_path));
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

void TransferQueueManager::PeriodicCheck()
{
    if (IsAnythingDownloading())
        return;

    Pass pass;
    pass.kind = Pass::Requeue;
    ItemSet candidates;
    for (const char* status : {"aborted", "queued"})
        if (Item* statusItem = T("download_entry_status")->HasItem(status))
            candidates.Add(statusItem->GetItems("download_entry"));
    if (candidates.empty())
        return;
    Type* userType = T("user");
    std::vector<Item*> online;
    online.reserve(candidates.size());
    for (Item* download : candidates)
        if (IsOnline(download->GetItem(userType)))
            online.push_back(download);
    if (online.empty())
        return;

    Log(kCategory, 1, QStringLiteral("Not currently downloading anything, re-queueing inactive downloads"));
    for (Item* download : ItemSet(std::move(online)).SortNumericBy("download_order"))
        pass.downloads.push_back(download);
    StartPass(std::move(pass));
}

void TransferQueueManager::OnUserOnline(Item* ip_user)
{
    ItemPtr user(ip_user);
    const std::string name = user.AsString();
    ItemSet downloads = user.GetItems("download_entry");
    if (!downloads.empty())
    {
        Log(kCategory, 1, QStringLiteral("User %1 went online, processing pending downloads").arg(FromName(name)), user);
        Pass pass;
        pass.kind = Pass::UserOnline;
        pass.user = ip_user;
        for (Item* download : downloads.SortNumericBy("download_order"))
            pass.downloads.push_back(download);
        StartPass(std::move(pass));
    }
    // The user may also be waiting for one of our uploads.
    StartNewUploads();
}

bool TransferQueueManager::IsActivelyDownloadingFromUser(std::string i_user)
{
    Item* user = T("user")->HasItem(i_user);
    Item* downloading = T("download_entry_status")->HasItem("downloading");
    if (!user || !downloading)
        return false;
    return d->GetItem(ItemPtr(user), ItemPtr(downloading), "download_entry") != nullptr;
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

    Data::Operation op(d);
    download += T("remote_transfer_req")->GetItem(Value(i_req));
    if (status == "downloading")
    {
        Log(kCategory, 2, QStringLiteral("Transfer is already downloading, cancelling..."), download);
        SetDownloadEntryStatus(download, "aborted");
    }
    // The uploader's size is the one its bytes will follow; a stale queued
    // size would end a longer file early or wait forever for a shorter one.
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
    if (peerMessenger)
        peerMessenger->AcceptTransferRequest(i_user, i_req, false, 0);
    Log(kCategory, 2, QStringLiteral("Accepted"), download);
}

// ---------------------------------------------------------------- ordered passes

void TransferQueueManager::StartPass(Pass&& i_pass)
{
    m_passes.push_back(std::move(i_pass));
    // A pass behind another waits for its turn, so sends keep their order.
    if (m_passes.size() == 1)
        RunPasses();
}

void TransferQueueManager::RunPasses()
{
    QElapsedTimer slice;
    slice.start();
    while (!m_passes.empty())
    {
        Pass& pass = m_passes.front();
        while (pass.next < pass.downloads.size())
        {
            Item* download = pass.downloads[pass.next++];
            if (m_removedInPass.count(download))
                continue;
            if (!PassStep(pass, download))
            {
                pass.next = pass.downloads.size();
                break;
            }
            if (slice.elapsed() >= m_passSliceMs && (pass.next < pass.downloads.size() || m_passes.size() > 1))
            {
                m_passTimer.start();
                return;
            }
        }
        if (pass.next >= pass.downloads.size())
            m_passes.pop_front();
    }
    m_removedInPass.clear();
}

bool TransferQueueManager::PassStep(const Pass& i_pass, Item* ip_download)
{
    ItemPtr download(ip_download);
    const std::string status = download["download_entry_status"].AsString();
    if (i_pass.kind == Pass::Requeue)
    {
        // What changed since the pass began decides: a download that started
        // meanwhile ends the pass, one that moved on is left alone.
        if (IsAnythingDownloading())
            return false;
        if (status == "aborted" || status == "queued")
            QueueDownloadIfUserOnline(download);
        return true;
    }

    // A user who went offline meanwhile is asked again when back online.
    if (m_removedInPass.count(i_pass.user) || !IsOnline(i_pass.user))
        return false;
    if (i_pass.kind == Pass::Reask)
    {
        if (status != "queued" && status != "aborted")
            return true;
        if (peerMessenger)
            peerMessenger->QueueDownload(download["user"].AsString(), RemotePath(download));
        if (status == "queued")
            RequestDownloadPlaceInLine(download);
        return true;
    }
    if (status == "complete" || status == "denied")
        return true;
    if (IsFinishedOnDisk(download))
    {
        SetDownloadEntryStatus(download, "complete");
        return true;
    }
    if (peerMessenger)
        peerMessenger->QueueDownload(download["user"].AsString(), RemotePath(download));
    RequestDownloadPlaceInLine(download);
    Log(kCategory, 2, QStringLiteral("Queueing %1").arg(Text(download["file_name"].AsString())), download);
    return true;
}

void TransferQueueManager::OnDownloadEntryRemoved(Item* ip_item)
{
    if (!m_passes.empty())
        m_removedInPass.insert(ip_item);
}

void TransferQueueManager::OnUserRemoved(Item* ip_item)
{
    if (!m_passes.empty())
        m_removedInPass.insert(ip_item);
}

// ---------------------------------------------------------------- run-time objects

// One handler per type, as each type is registered on its own: deliberate
// twins, each freeing the object its type holds.

void TransferQueueManager::OnWritePositionRemoved(Item* ip_item)
{
    delete AddressOf<qint64>(ip_item);
}

void TransferQueueManager::OnReadPositionRemoved(Item* ip_item)
{
    delete AddressOf<qint64>(ip_item);
}

void TransferQueueManager::OnLastReceiptTimeRemoved(Item* ip_item)
{
    delete AddressOf<QDateTime>(ip_item);
}

void TransferQueueManager::OnLastSpeedMeasurementTimeRemoved(Item* ip_item)
{
    delete AddressOf<QDateTime>(ip_item);
}

void TransferQueueManager::OnBytesPerSecondRemoved(Item* ip_item)
{
    delete AddressOf<int>(ip_item);
}

void TransferQueueManager::OnBytesSinceLastReceiptRemoved(Item* ip_item)
{
    delete AddressOf<qint64>(ip_item);
}

void TransferQueueManager::OnBytesUploadedRemoved(Item* ip_item)
{
    delete AddressOf<qint64>(ip_item);
}

ItemPtr TransferQueueManager::EntryOfThread(const QObject* ip_thread, const TransferSide& i_side) const
{
    // The address alone finds the item; a thread that is no longer recorded
    // is never dereferenced.
    Item* thread = ip_thread ? T(i_side.thread)->HasItem(Value(ip_thread)) : nullptr;
    return thread ? ItemPtr(thread)[i_side.entry] : ItemPtr();
}

bool TransferQueueManager::SetEntryStatus(ItemPtr i_entry, const TransferSide& i_side, const std::string& i_status)
{
    const bool wasActive = IsActiveStatus(i_entry[i_side.status].Get());
    Item* status = T(i_side.status)->GetItem(i_status);
    i_entry += status;
    i_entry += T("last_status_change_time")->GetItem(Now());
    if (!wasActive || IsActiveStatus(status))
        return false;
    ReleaseTransfer(i_entry, i_side);
    return true;
}

void TransferQueueManager::ReleaseTransfer(ItemPtr i_entry, const TransferSide& i_side)
{
    // The thread first: it alone uses the file and the socket while it runs.
    if (ItemPtr item = i_entry[i_side.thread])
    {
        TransferThread* thread = AddressOf<TransferThread>(item.Get());
        item.Remove();
        if (thread)
        {
            thread->SignalExit();
            thread->wait();
            // Deferred, so that a signal it queued before it ended finds no
            // entry rather than a new thread at the same address.
            thread->deleteLater();
        }
    }
    if (ItemPtr item = i_entry[i_side.file])
    {
        QFile* file = AddressOf<QFile>(item.Get());
        item.Remove();
        if (file)
        {
            file->close();
            delete file;
        }
    }
    if (ItemPtr item = i_entry[i_side.socket])
    {
        QTcpSocket* socket = AddressOf<QTcpSocket>(item.Get());
        item.Remove();
        if (socket)
            CloseFileConnection(socket);
    }
    for (const char* type : {i_side.position, "last_receipt_time", "last_speed_measurement_time", "bytes_per_second",
                             "bytes_since_last_receipt"})
        i_entry[type].Remove();
}

void TransferQueueManager::AddProgressObjects(ItemPtr i_entry, const QDateTime& i_now)
{
    i_entry += T("last_receipt_time")->GetItem(Value(new QDateTime(i_now)));
    i_entry += T("last_speed_measurement_time")->GetItem(Value(new QDateTime(i_now)));
    i_entry += T("bytes_per_second")->GetItem(Value(new int(0)));
    i_entry += T("bytes_since_last_receipt")->GetItem(Value(new qint64(0)));
}

void TransferQueueManager::RecordProgress(ItemPtr i_entry, const TransferSide& i_side, qint64 i_offset,
                                          int i_bytesPerSecond, const QDateTime& i_receipt)
{
    if (qint64* position = AddressOf<qint64>(i_entry[i_side.position].Get()))
        *position = i_offset;
    if (int* speed = AddressOf<int>(i_entry["bytes_per_second"].Get()))
        *speed = i_bytesPerSecond;
    if (QDateTime* receipt = AddressOf<QDateTime>(i_entry["last_receipt_time"].Get()))
        *receipt = i_receipt;
}

void TransferQueueManager::StartThread(ItemPtr i_entry, const TransferSide& i_side, QTcpSocket* ip_socket,
                                       TransferThread* ip_thread)
{
    ip_socket->setParent(nullptr);
    ip_socket->moveToThread(ip_thread);
    i_entry += T(i_side.thread)->GetItem(Value(ip_thread));
    ip_thread->start(QThread::InheritPriority);
}

// ---------------------------------------------------------------- download connection and completion

namespace
{

QString SlashForm(QString i_path)
{
    return i_path.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

} // namespace

QString TransferQueueManager::DownloadRoot(bool i_complete)
{
    QString root = FromUtf8(GetSetting("download_folder"));
    root.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return root + (i_complete ? QStringLiteral("\\complete") : QStringLiteral("\\downloading"));
}

std::vector<std::string> TransferQueueManager::KeptParts(ItemPtr i_download)
{
    return KeptSubfolders(i_download["remote_folder"].AsString(), i_download["subfolder_save_level"].AsInt());
}

QString TransferQueueManager::GetDownloadTargetFolder(ItemPtr i_download, bool i_complete)
{
    return DownloadRoot(i_complete) + GetDownloadRelativeDownloadFolder(i_download);
}

QString TransferQueueManager::GetDownloadRelativeDownloadFolder(ItemPtr i_download)
{
    QString relative;
    for (const std::string& part : KeptParts(i_download))
        relative += QLatin1Char('\\') + FromUtf8(part);
    return relative;
}

QString TransferQueueManager::GetDownloadTargetPath(ItemPtr i_download, bool i_complete)
{
    // Where the download's own file is when it took another name.
    if (!i_complete)
        if (ItemPtr own = i_download["partial_file"])
            return FromUtf8(own.AsString()).replace(QLatin1Char('/'), QLatin1Char('\\'));
    return GetDownloadTargetFolder(i_download, i_complete) + QLatin1Char('\\') +
           (i_complete ? CompleteFileName(i_download) : FromUtf8(CleanPathComponent(i_download["file_name"].AsString())));
}

QString TransferQueueManager::CompleteFileName(ItemPtr i_download)
{
    ItemPtr own = i_download["complete_file_name"];
    return FromUtf8(own ? own.AsString() : CleanPathComponent(i_download["file_name"].AsString()));
}

bool TransferQueueManager::DoesDownloadItemCompleteFilenameExist(ItemPtr i_download)
{
    return i_download && QFileInfo::exists(SlashForm(GetDownloadTargetPath(i_download, true)));
}

bool TransferQueueManager::IsFinishedOnDisk(ItemPtr i_download)
{
    // A file of another size under the name is another file, and a partial
    // file of the download's own means it is not done.
    const QFileInfo done(SlashForm(GetDownloadTargetPath(i_download, true)));
    if (!i_download || !done.isFile() || done.size() != i_download["file_size"].AsInt64())
        return false;
    const QString partial = ChoosePartialFile(i_download);
    return partial.isEmpty() || !QFileInfo::exists(partial);
}

QString TransferQueueManager::ChoosePartialFile(ItemPtr i_download, ItemPtr* o_record)
{
    const QString root = SlashForm(DownloadRoot(false));
    ItemPtr own = i_download["partial_file"];
    const QString ownPath = own ? FromUtf8(own.AsString()) : QString();
    if (own && IsBelowFolder(ownPath, root) && QFileInfo::exists(ownPath))
    {
        if (o_record)
            *o_record = own;
        return ownPath;
    }
    const qint64 size = i_download["file_size"].AsInt64();
    const QString folder = SlashForm(GetDownloadTargetFolder(i_download, false));
    const QString name = FromUtf8(CleanPathComponent(i_download["file_name"].AsString()));
    for (int n = 1; n <= kMaxNumberedNames; ++n)
    {
        const QString path = folder + QLatin1Char('/') + (n == 1 ? name : NumberedName(name, n));
        ItemPtr record = T("partial_file")->HasItem(ToUtf8(path));
        const QFileInfo file(path);
        // A free name; a partial file started for a file of this size (the
        // same file from another source); one from before partial files
        // were remembered, when it can only be this download's.
        const bool free = !file.exists() && !file.isSymLink();
        if (free || (record ? record["file_size"].AsInt64() == size : IsUnclaimedPartialOf(i_download, file)))
        {
            if (o_record)
                *o_record = free ? ItemPtr() : record;
            return path;
        }
    }
    return QString();
}

bool TransferQueueManager::IsUnclaimedPartialOf(ItemPtr i_download, const QFileInfo& i_file)
{
    const qint64 size = i_download["file_size"].AsInt64();
    if (i_file.isDir() || i_file.size() > size)
        return false;
    // Another pending download of the name but of another size may have
    // started it: then nobody can tell, and it stays as it is.
    const QString folder = GetDownloadTargetFolder(i_download, false);
    if (Item* name = i_download["file_name"].Get())
        for (Item* other : name->GetItems("download_entry"))
        {
            ItemPtr entry(other);
            if (other != i_download.Get() && entry["file_size"].AsInt64() != size &&
                entry["download_entry_status"].AsString() != "complete" &&
                GetDownloadTargetFolder(entry, false) == folder)
                return false;
        }
    return true;
}

void TransferQueueManager::RemoveDownloadDownloadingFolderIfAppropriate(ItemPtr i_download)
{
    if (!i_download)
        return;
    if (Item* folder = i_download["remote_folder"].Get())
        for (Item* other : folder->GetItems("download_entry"))
            if (ItemPtr(other)["download_entry_status"].AsString() != "complete")
                return;
    // Only the kept subfolders, deepest first; the walk never climbs above
    // "downloading", which goes only when the download kept no subfolder.
    const QString root = SlashForm(DownloadRoot(false));
    QString folder = SlashForm(GetDownloadTargetFolder(i_download, false));
    const size_t steps = std::max<size_t>(1, KeptParts(i_download).size());
    for (size_t k = 0; k < steps && (folder == root || IsBelowFolder(folder, root)); ++k)
    {
        QDir().rmdir(folder);
        folder = folder.left(folder.lastIndexOf(QLatin1Char('/')));
    }
}

ItemPtr TransferQueueManager::OtherWriterOf(ItemPtr i_download, const QString& i_path)
{
    Item* downloading = T("download_entry_status")->HasItem("downloading");
    if (!downloading || i_path.isEmpty())
        return ItemPtr();
    for (Item* other : downloading->GetItems("download_entry"))
        if (other != i_download.Get() && SlashForm(GetDownloadTargetPath(other, false)) == i_path)
            return other;
    return ItemPtr();
}

void TransferQueueManager::FailLocally(ItemPtr i_download, const QString& i_what, const QString& i_why)
{
    Log(kCategory, 2, i_what, i_download);
    Log(kCategory, 3, i_why, i_download);
    SetDownloadEntryStatus(i_download, "local error");
}

void TransferQueueManager::OnFileConnection(std::string i_user, QTcpSocket* ip_socket, unsigned int i_requestID)
{
    Item* user = T("user")->HasItem(i_user);
    Log(kCategory, 1, QStringLiteral("File connection created by user %1 for req %2").arg(FromName(i_user)).arg(i_requestID),
        user);
    if (!ip_socket)
        return;
    Item* req = T("remote_transfer_req")->HasItem(Value(i_requestID));
    ItemPtr download = user && req ? d->GetItem(ItemPtr(user), ItemPtr(req), "download_entry") : nullptr;
    if (!download)
    {
        CloseFileConnection(ip_socket);
        Log(kCategory, 2, QStringLiteral("Download not found, aborting"), user);
        return;
    }
    // One writer per partial file: a second connection for a running or
    // finished download, or for a file another download is writing, goes.
    const std::string status = download["download_entry_status"].AsString();
    if (status == "downloading" || status == "complete")
    {
        CloseFileConnection(ip_socket);
        Log(kCategory, 2, QStringLiteral("Download is already %1, closing the new connection").arg(FromLatin1(status)),
            download);
        return;
    }
    ItemPtr record;
    const QString path = ChoosePartialFile(download, &record);
    if (path.isEmpty())
    {
        CloseFileConnection(ip_socket);
        FailLocally(download, QStringLiteral("Could not open file, aborting"),
                    QStringLiteral("No free name for a partial file in %1")
                        .arg(SlashForm(GetDownloadTargetFolder(download, false))));
        return;
    }
    if (OtherWriterOf(download, path))
    {
        CloseFileConnection(ip_socket);
        Log(kCategory, 2, QStringLiteral("Another download is writing %1, closing the connection").arg(path), download);
        return;
    }

    const QString folder = QFileInfo(path).path();
    if (!IsBelowFolder(path, SlashForm(DownloadRoot(false))))
    {
        CloseFileConnection(ip_socket);
        FailLocally(download, QStringLiteral("Could not open file, aborting"),
                    QStringLiteral("%1 is not below the downloading folder").arg(path));
        return;
    }
    if (!QDir().mkpath(folder))
    {
        CloseFileConnection(ip_socket);
        FailLocally(download, QStringLiteral("Could not open file, aborting"),
                    QStringLiteral("Could not create the folder %1").arg(folder));
        return;
    }
    auto file = std::make_unique<QFile>(path);
    // WriteOnly alone would truncate what earlier transfers wrote.
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append))
    {
        CloseFileConnection(ip_socket);
        FailLocally(download, QStringLiteral("Could not open file, aborting"),
                    QStringLiteral("%1: %2").arg(path, file->errorString()));
        return;
    }
    const qint64 size = download["file_size"].AsInt64();
    const qint64 offset = file->size();
    if (offset > size)
    {
        CloseFileConnection(ip_socket);
        FailLocally(download, QStringLiteral("Could not open file, aborting"),
                    QStringLiteral("%1 holds %2 bytes, more than the file's %3").arg(path).arg(offset).arg(size));
        return;
    }
    char offsetBytes[8];
    qToLittleEndian<qint64>(offset, offsetBytes);
    ip_socket->write(offsetBytes, 8);
    ip_socket->flush();

    Data::Operation op(d);
    // A file started now belongs to this download alone; one resumed keeps
    // the download it was started for.
    if (!record)
    {
        record = T("partial_file")->GetItem(ToUtf8(path));
        for (Item* other : record.GetItems("download_entry"))
            ItemPtr(other) -= record;
        record += download["user"];
        record += download["file_size"];
    }
    download += record;
    QFile* openFile = file.release();
    download += T("download_socket")->GetItem(Value(ip_socket));
    download += T("download_file")->GetItem(Value(openFile));
    download += T("write_position")->GetItem(Value(new qint64(offset)));
    SetDownloadEntryStatus(download, "downloading");
    AddProgressObjects(download, QDateTime::currentDateTime());

    ip_socket->disconnect();
    auto* thread = new DownloadThread(ip_socket, openFile, size, offset);
    connect(thread, &DownloadThread::DownloadError, this, &TransferQueueManager::OnDownloadError);
    connect(thread, &DownloadThread::DownloadProgress, this, &TransferQueueManager::OnDownloadProgress);
    connect(thread, &DownloadThread::DownloadComplete, this, &TransferQueueManager::OnDownloadComplete);
    StartThread(download, kDownloadSide, ip_socket, thread);
    Log(kCategory, 2, QStringLiteral("Downloading"), download);
}

void TransferQueueManager::OnDownloadProgress(qint64 i_offset, int i_bytesPerSecond)
{
    ItemPtr download = EntryOfThread(sender(), kDownloadSide);
    if (!download)
        return;
    // UTC: the same instant, without the time-zone look-up that local time
    // costs on every chunk.
    RecordProgress(download, kDownloadSide, i_offset, i_bytesPerSecond, QDateTime::currentDateTimeUtc());
    emit DownloadProgressed(download);
}

void TransferQueueManager::OnDownloadError()
{
    ItemPtr download = EntryOfThread(sender(), kDownloadSide);
    if (!download)
        return;
    auto* thread = AddressOf<DownloadThread>(download["download_thread"].Get());
    thread->wait();
    // A file that could not be written is this side's fault: asking the
    // uploader again would only fail again.
    const QString why = thread->LocalError();
    if (!why.isEmpty())
    {
        const QFile* file = AddressOf<QFile>(download["download_file"].Get());
        FailLocally(download, QStringLiteral("Could not write %1").arg(file ? file->fileName() : QString()), why);
        return;
    }
    SetDownloadEntryStatus(download, "aborted");
}

void TransferQueueManager::OnDownloadComplete()
{
    ItemPtr download = EntryOfThread(sender(), kDownloadSide);
    if (!download)
        return;
    AddressOf<DownloadThread>(download["download_thread"].Get())->wait();

    // The file's own path: the download folder may have changed meanwhile.
    const QFile* file = AddressOf<QFile>(download["download_file"].Get());
    const QString source = file ? file->fileName() : SlashForm(GetDownloadTargetPath(download, false));
    const QString folder = SlashForm(GetDownloadTargetFolder(download, true));
    const QString name = FromUtf8(CleanPathComponent(download["file_name"].AsString()));
    QString destination = folder + QLatin1Char('/') + name;
    QString why;
    if (!IsBelowFolder(destination, SlashForm(DownloadRoot(true))))
        why = QStringLiteral("%1 is not below the complete folder").arg(destination);
    else if (!QDir().mkpath(folder))
        why = QStringLiteral("Could not create the folder %1").arg(folder);
    else
    {
        // A name already taken is never replaced: the file takes the next
        // free one beside it.
        int n = 1;
        while (QFileInfo(destination).exists() || QFileInfo(destination).isSymLink())
        {
            if (++n > kMaxNumberedNames)
            {
                why = QStringLiteral("No free name for %1 in %2").arg(name, folder);
                break;
            }
            destination = folder + QLatin1Char('/') + NumberedName(name, n);
        }
        if (why.isEmpty() && !QFile::rename(source, destination))
            why = QStringLiteral("The file system refused the rename");
    }
    if (!why.isEmpty())
    {
        FailLocally(download, QStringLiteral("Could not move %1 to %2").arg(source, destination), why);
        return;
    }

    Data::Operation op(d);
    // The partial file is gone; nothing is to be resumed from its name.
    download["partial_file"].Remove();
    if (destination != folder + QLatin1Char('/') + name)
    {
        const QString taken = QFileInfo(destination).fileName();
        download += T("complete_file_name")->GetItem(ToUtf8(taken));
        Log(kCategory, 2, QStringLiteral("%1 exists already, saved as %2").arg(name, destination), download);
    }
    SetDownloadEntryStatus(download, "complete");
    RemoveDownloadDownloadingFolderIfAppropriate(download);
    AddCompleteRecord(download);
}

void TransferQueueManager::AddCompleteRecord(ItemPtr i_download)
{
    ItemPtr user = i_download["user"];
    // The record names the file where it now is.
    const std::string folder = ToUtf8(GetDownloadTargetFolder(i_download, true));
    const std::string name = ToUtf8(CompleteFileName(i_download));
    if (ItemNamedBy("complete_download", user.Get(), T("complete_download_folder")->HasItem(folder),
                    T("complete_download_filename")->HasItem(name)))
        return;
    ItemPtr record = T("complete_download")->NewItem();
    record += user;
    record += T("complete_download_folder")->GetItem(folder);
    record += T("complete_download_relative_folder")->GetItem(ToUtf8(GetDownloadRelativeDownloadFolder(i_download)));
    record += T("complete_download_filename")->GetItem(name);
    record += T("complete_download_file_size")->GetItem(i_download["file_size"].AsString());
    record += T("complete_download_completion_time")->GetItem(Now());
    // Downloads carry a search once the search views relate the two.
    Type* searchType = d->HasType("search_request_text");
    if (searchType && T("download_entry")->IsRelated(searchType))
        if (ItemPtr search = i_download.Get()->GetItem(searchType))
            record += search;
    emit CompleteDownloadAdded(record);
}

// ---------------------------------------------------------------- upload queue

namespace
{

std::string LocalForm(std::string i_path)
{
    std::replace(i_path.begin(), i_path.end(), '\\', '/');
    return i_path;
}

qint64 OrderOf(ItemPtr i_upload, const char* ip_type)
{
    return i_upload[ip_type].AsInt64();
}

} // namespace

void TransferQueueManager::SetClock(std::function<QDateTime()> i_now)
{
    m_clock = std::move(i_now);
}

QDateTime TransferQueueManager::CurrentTime() const
{
    return m_clock ? m_clock() : QDateTime::currentDateTime();
}

size_t TransferQueueManager::ActiveUploadCount() const
{
    size_t n = 0;
    for (Item* status : T("is_active")->GetGlobalNullItem()->GetItems("upload_entry_status"))
        n += status->GetItems("upload_entry").size();
    return n;
}

ItemSet TransferQueueManager::ActiveUploads() const
{
    ItemSet all;
    for (Item* status : T("is_active")->GetGlobalNullItem()->GetItems("upload_entry_status"))
        all.Add(status->GetItems("upload_entry"));
    return all;
}

bool TransferQueueManager::IsUploadingToUser(Item* ip_user) const
{
    for (Item* upload : ip_user->GetItems("upload_entry"))
        if (IsActiveStatus(upload->GetItem("upload_entry_status")))
            return true;
    return false;
}

bool TransferQueueManager::IsStillShared(ItemPtr i_upload)
{
    ItemPtr file = i_upload["shared_file"];
    return file && sharedFoldersManager && sharedFoldersManager->IsFileSharedWithUser(file, i_upload["user"].AsString());
}

void TransferQueueManager::DenyUnshared(ItemPtr i_upload)
{
    ItemPtr user = i_upload["user"];
    Log(kCategory, 2,
        QStringLiteral("%1 is no longer shared with %2, denying and removing the upload")
            .arg(Text(i_upload["filename_as_requested"].AsString()), FromName(user.AsString())),
        user);
    if (peerMessenger)
        peerMessenger->DenyUpload(user.AsString(), i_upload["filename_as_requested"].AsString(), "File not shared.");
    RemoveUpload(i_upload);
}

void TransferQueueManager::OnQueueUploadRequested(std::string i_user, std::string i_file)
{
    Data::Operation op(d);
    ItemPtr user = T("user")->GetItem(i_user);
    Log(kCategory, 1,
        QStringLiteral("Queue upload requested by %1 for file %2").arg(FromName(i_user), Text(i_file)), user);

    ItemPtr file = sharedFoldersManager ? sharedFoldersManager->GetSharedFileItem(LocalForm(i_file)) : ItemPtr();
    if (!file || !sharedFoldersManager->IsFileSharedWithUser(file, i_user))
    {
        Log(kCategory, 2, QStringLiteral("Denied, file not shared"), user);
        if (peerMessenger)
            peerMessenger->DenyUpload(i_user, i_file, "File not shared.");
        return;
    }

    if (ItemPtr upload = d->GetItem(user, file, "upload_entry"))
    {
        Item* status = upload["upload_entry_status"].Get();
        if (IsActiveStatus(status) || upload["upload_entry_status"].AsString() == "queued")
        {
            Log(kCategory, 2, QStringLiteral("Already queued"), user);
            return;
        }
        Log(kCategory, 2, QStringLiteral("%1, re-queueing").arg(FromLatin1(upload["upload_entry_status"].AsString())),
            user);
        SetUploadEntryStatus(upload, "queued");
        StartNewUploads();
        return;
    }

    ItemPtr upload = T("upload_entry")->NewItem();
    upload += user;
    upload += file;
    upload += T("filename_as_requested")->GetItem(i_file);
    SetUploadEntryStatus(upload, "queued");
    const long long order = ParseDecimal(GetSetting("transfer_order_counter"));
    upload += T("upload_order")->GetItem(Value(order));
    SetSetting("transfer_order_counter", Value(order + 1));
    OrderNewUpload(upload);
    Log(kCategory, 2, QStringLiteral("Queued"), user);
    if (gp_server)
        gp_server->TrackUser(i_user);
    StartNewUploads();
}

bool TransferQueueManager::IsFreeToUpload()
{
    return ParseDecimal(GetSetting("upload_slots")) > static_cast<long long>(ActiveUploadCount());
}

unsigned int TransferQueueManager::QueuedUploadCount()
{
    Item* queued = T("upload_entry_status")->HasItem("queued");
    return queued ? static_cast<unsigned int>(queued->GetItems("upload_entry").size()) : 0;
}

bool TransferQueueManager::GetUploadPlaceInLine(const std::string& i_user, const std::string& i_file, int& o_place)
{
    Item* user = T("user")->HasItem(i_user);
    Item* file = T("filename_as_requested")->HasItem(i_file);
    ItemPtr upload;
    if (user && file)
        upload = d->GetItem(ItemPtr(user), ItemPtr(file), "upload_entry");
    if (!upload)
        return false;
    o_place = 0;
    if (upload["upload_entry_status"].AsString() != "queued")
        return true;
    // Its rank among the queued entries in effective order.
    const qint64 own = OrderOf(upload, "effective_upload_order");
    int ahead = 0;
    for (Item* other : upload["upload_entry_status"].GetItems("upload_entry"))
        if (other != upload.Get() && ItemPtr(other)["effective_upload_order"] &&
            OrderOf(other, "effective_upload_order") < own)
            ++ahead;
    o_place = ahead + 1;
    return true;
}

bool TransferQueueManager::UploadEntrySortCompare(ItemPtr i_a, ItemPtr i_b)
{
    ItemPtr userA = i_a["user"];
    ItemPtr userB = i_b["user"];
    if (userA.Get() != userB.Get())
    {
        const int priorityA = GetUserGroupDownloadPriority(userA.AsString());
        const int priorityB = GetUserGroupDownloadPriority(userB.AsString());
        if (priorityA != priorityB)
            return priorityA > priorityB;
        const bool privilegedA = userA.IsConnected("is_privileged");
        const bool privilegedB = userB.IsConnected("is_privileged");
        if (privilegedA != privilegedB)
            return privilegedA;
    }
    return OrderOf(i_a, "upload_order") < OrderOf(i_b, "upload_order");
}

int TransferQueueManager::GetUserGroupDownloadPriority(std::string i_user)
{
    ItemPtr entry = ItemPtr(T("user")->HasItem(i_user))["in_user_list"];
    int priority = 0;
    for (Item* group : entry.GetItems("user_list_group"))
        priority = std::max(priority, int(ItemPtr(group)["group_download_priority"].AsInt()));
    return priority;
}

void TransferQueueManager::OrderNewUpload(ItemPtr i_upload)
{
    Type* effective = T("effective_upload_order");
    std::vector<Item*> sequence;
    bool taken = false;
    auto take = [&] {
        for (Item* upload : T("upload_entry")->GetItems().SortNumericBy("effective_upload_order"))
            if (upload != i_upload.Get())
                sequence.push_back(upload);
        taken = true;
    };

    if (!mp_lastOrderedUpload)
    {
        take();
        if (sequence.empty())
        {
            i_upload += effective->GetItem(Value(1));
            mp_lastOrderedUpload = i_upload.Get();
            return;
        }
        mp_lastOrderedUpload = sequence.back();
    }
    if (UploadEntrySortCompare(mp_lastOrderedUpload, i_upload))
    {
        i_upload += effective->GetItem(Value(OrderOf(mp_lastOrderedUpload, "effective_upload_order") + 1));
        mp_lastOrderedUpload = i_upload.Get();
        return;
    }

    // It goes before a queued entry: insert it and number them all again.
    if (!taken)
        take();
    mp_lastOrderedUpload = sequence.back();
    auto at = std::find_if(sequence.begin(), sequence.end(),
                           [&](Item* other) { return UploadEntrySortCompare(i_upload, other); });
    sequence.insert(at, i_upload.Get());
    long long number = 1;
    for (Item* upload : sequence)
        ItemPtr(upload) += effective->GetItem(Value(number++));
}

void TransferQueueManager::DetermineUploadsEffectiveOrder()
{
    Data::Operation op(d);
    std::vector<Item*> all;
    T("upload_entry")->ForEachItem([&](Item* ip_upload) { all.push_back(ip_upload); });
    std::stable_sort(all.begin(), all.end(),
                     [this](Item* a, Item* b) { return UploadEntrySortCompare(a, b); });
    Type* effective = T("effective_upload_order");
    long long number = 0;
    for (Item* upload : all)
        ItemPtr(upload) += effective->GetItem(Value(number++));
    // The cursor is rebuilt from the new numbers by the next new entry.
    mp_lastOrderedUpload = nullptr;
}

void TransferQueueManager::StartNewUploads()
{
    long long freeSlots = ParseDecimal(GetSetting("upload_slots")) - static_cast<long long>(ActiveUploadCount());
    if (freeSlots <= 0 || !peerMessenger)
        return;
    Item* queued = T("upload_entry_status")->HasItem("queued");
    if (!queued)
        return;

    Data::Operation op(d);
    const std::list<Item*> candidates = queued->GetItems("upload_entry").SortNumericBy("effective_upload_order");
    for (Item* entry : candidates)
    {
        ItemPtr upload(entry);
        // An entry removed earlier in this pass is no longer queued.
        if (upload["upload_entry_status"].Get() != queued)
            continue;
        ItemPtr user = upload["user"];
        if (!IsOnline(user) || IsUploadingToUser(user.Get()))
            continue;
        // Shares change after queueing: only what is still shared with the
        // user is offered.
        if (!IsStillShared(upload))
        {
            DenyUnshared(upload);
            continue;
        }
        const unsigned int req = peerMessenger->RequestUpload(
            user.AsString(), upload["filename_as_requested"].AsString(), upload["shared_file"]["shared_file_size"].AsInt64());
        SetUploadEntryStatus(upload, "requesting");
        upload += T("transfer_req")->GetItem(Value(req));
        --freeSlots;
        DetermineUploadSpeedLimit();
        if (freeSlots <= 0)
            break;
    }
}

void TransferQueueManager::UnshareUser(std::string i_user)
{
    Data::Operation op(d);
    ItemPtr user = T("user")->GetItem(i_user);
    user += T("unshared")->GetGlobalNullItem();
    bool freed = false;
    for (Item* upload : user.GetItems("upload_entry"))
    {
        if (peerMessenger)
            peerMessenger->DenyUpload(i_user, ItemPtr(upload)["filename_as_requested"].AsString(), "File not shared.");
        freed = ReleaseAndRemoveUpload(upload) || freed;
    }
    if (freed)
    {
        DetermineUploadSpeedLimit();
        StartNewUploads();
    }
}

void TransferQueueManager::ReshareUser(std::string i_user)
{
    ItemPtr(T("user")->GetItem(i_user)) -= T("unshared")->GetGlobalNullItem();
}

void TransferQueueManager::AssertNoExtraUploads()
{
    const long long slotCount = ParseDecimal(GetSetting("upload_slots"));
    const long long active = static_cast<long long>(ActiveUploadCount());
    // More than the slots is legitimate for a while after the slots were
    // lowered; it is worth a line, not a stop.
    if (active > slotCount)
        Log(kCategory, 1, QStringLiteral("%1 uploads active, more than the %2 upload slots").arg(active).arg(slotCount));
}

// ---------------------------------------------------------------- upload negotiation and status

void TransferQueueManager::SetUploadEntryStatus(ItemPtr i_upload, std::string i_status)
{
    if (!i_upload)
        return;
    Data::Operation op(d);
    if (!SetEntryStatus(i_upload, kUploadSide, i_status))
        return;

    if (i_status == "aborted")
    {
        ItemPtr user = i_upload["user"];
        Log(kCategory, 1,
            QStringLiteral("Upload of %1 to %2 aborted, sending upload failed notification.")
                .arg(Text(i_upload["shared_file"]["shared_file_name"].AsString()), FromName(user.AsString())),
            user);
        MemStream message = NewMessage(PM_UPLOAD_FAILED);
        message.WriteString(i_upload["filename_as_requested"].AsString());
        if (peerMessenger)
            peerMessenger->SendMessage(user.AsString(), message);
    }
    DetermineUploadSpeedLimit();
}

bool TransferQueueManager::ReleaseAndRemoveUpload(ItemPtr i_upload)
{
    const bool wasActive = IsActiveStatus(i_upload["upload_entry_status"].Get());
    ReleaseTransfer(i_upload, kUploadSide);
    if (mp_lastOrderedUpload == i_upload.Get())
        mp_lastOrderedUpload = nullptr;
    i_upload.Remove();
    return wasActive;
}

void TransferQueueManager::RemoveUpload(ItemPtr i_upload)
{
    if (!i_upload)
        return;
    Data::Operation op(d);
    // A freed slot goes to the next queued upload.
    if (ReleaseAndRemoveUpload(i_upload))
    {
        DetermineUploadSpeedLimit();
        StartNewUploads();
    }
}

void TransferQueueManager::OnFileTransferResponse(std::string i_user, unsigned int i_req, bool i_accepted, bool,
                                                  qint64, std::string i_denialReason)
{
    ItemPtr user = T("user")->GetItem(i_user);
    Log(kCategory, 1,
        QStringLiteral("Received file transfer response from user %1 for req %2, transfer %3")
            .arg(FromName(i_user))
            .arg(i_req)
            .arg(i_accepted ? QStringLiteral("accepted") : QStringLiteral("not accepted")),
        user);
    ItemPtr req = T("transfer_req")->HasItem(Value(i_req));
    if (!req)
    {
        Log(kCategory, 2, QStringLiteral("req not found"), user);
        return;
    }
    if (req.IsConnected("download_entry"))
    {
        Log(kCategory, 2, QStringLiteral("Found download, not processing"), user);
        return;
    }
    ItemPtr upload = req["upload_entry"];
    if (!upload)
    {
        Log(kCategory, 2, QStringLiteral("Neither upload or download attached to req, weird"), user);
        return;
    }
    Log(kCategory, 2, QStringLiteral("Found upload"), user);
    if (upload["user"].Get() != user.Get())
    {
        Log(kCategory, 2,
            QStringLiteral("Upload user %1 not the same as user who opened the connection, not doing anything")
                .arg(FromName(upload["user"].AsString())),
            user);
        return;
    }

    Data::Operation op(d);
    if (!i_accepted)
    {
        Log(kCategory, 2, QStringLiteral("Upload was not accepted, marking denied"), user);
        upload += T("denial_reason")->GetItem(i_denialReason);
        SetUploadEntryStatus(upload, "denied");
        StartNewUploads();
        return;
    }
    const std::string status = upload["upload_entry_status"].AsString();
    if (status != "requesting")
    {
        Log(kCategory, 2,
            QStringLiteral("Upload no longer in requesting phase, instead status is %1. Not processing.")
                .arg(FromLatin1(status)),
            user);
        return;
    }
    if (!IsStillShared(upload))
    {
        DenyUnshared(upload);
        return;
    }

    // Built from what the share holds, never from the peer's text.
    ItemPtr shared = upload["shared_file"];
    const QString path = SlashForm(Text(shared["shared_file_folder"].AsString() + "/" + shared["shared_file_name"].AsString()));
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadOnly))
    {
        Log(kCategory, 2,
            QStringLiteral("File could not be opened, marking local error and sending denial message. Shouldn't we have "
                           "done this before we requested the transfer?"),
            user);
        Log(kCategory, 3, QStringLiteral("%1: %2").arg(path, file->errorString()), user);
        if (peerMessenger)
            peerMessenger->DenyUpload(i_user, upload["filename_as_requested"].AsString(), "File read error.");
        SetUploadEntryStatus(upload, "local error");
        StartNewUploads();
        return;
    }
    Log(kCategory, 2, QStringLiteral("Requesting file connection to user"), user);
    if (peerMessenger)
        peerMessenger->RequestFileConnectionToUser(i_user);
    upload += T("upload_file")->GetItem(Value(file.release()));
    SetUploadEntryStatus(upload, "connecting");
}

void TransferQueueManager::OnFileConnectionAccepted(std::string i_user, QTcpSocket* ip_socket)
{
    if (!ip_socket)
        return;
    Item* user = T("user")->HasItem(i_user);
    Item* connecting = T("upload_entry_status")->HasItem("connecting");
    ItemSet uploads = user && connecting ? d->GetItems(ItemPtr(user), ItemPtr(connecting), "upload_entry") : ItemSet();
    if (uploads.empty())
    {
        CloseFileConnection(ip_socket);
        return;
    }
    ItemPtr upload = static_cast<ItemPtr>(uploads);
    QFile* file = AddressOf<QFile>(upload["upload_file"].Get());

    Data::Operation op(d);
    upload += T("upload_socket")->GetItem(Value(ip_socket));
    SetUploadEntryStatus(upload, "uploading");
    AddProgressObjects(upload, CurrentTime());
    upload += T("read_position")->GetItem(Value(new qint64(0)));

    ip_socket->disconnect();
    auto* thread = new UploadThread(ip_socket, file, int(upload["transfer_req"].AsUInt()), &m_uploadRateLimiter);
    connect(thread, &UploadThread::UploadError, this, &TransferQueueManager::OnUploadError);
    connect(thread, &UploadThread::UploadProgress, this, &TransferQueueManager::OnUploadProgress);
    connect(thread, &UploadThread::UploadComplete, this, &TransferQueueManager::OnUploadComplete);
    StartThread(upload, kUploadSide, ip_socket, thread);
}

void TransferQueueManager::OnUploadProgress(qint64 i_offset, int i_bytesPerSecond)
{
    ItemPtr upload = EntryOfThread(sender(), kUploadSide);
    if (!upload)
        return;
    // UTC as for downloads; the test clock stands in when set.
    RecordProgress(upload, kUploadSide, i_offset, i_bytesPerSecond, m_clock ? m_clock() : QDateTime::currentDateTimeUtc());
    emit UploadProgressed(upload);
}

void TransferQueueManager::OnUploadComplete()
{
    ItemPtr upload = EntryOfThread(sender(), kUploadSide);
    if (!upload)
        return;
    const int* speedObject = AddressOf<int>(upload["bytes_per_second"].Get());
    const int speed = speedObject ? *speedObject : 0;
    Log(kCategory, 1, QStringLiteral("Recording upload speed of %1").arg(speed));
    if (upload["shared_file"]["shared_file_size"].AsInt64() > 1048576 && speed > 0 && gp_server)
        gp_server->SendUploadSpeed(speed);
    Data::Operation op(d);
    SetUploadEntryStatus(upload, "complete");
    StartNewUploads();
}

void TransferQueueManager::OnUploadError()
{
    ItemPtr upload = EntryOfThread(sender(), kUploadSide);
    if (!upload)
        return;
    Data::Operation op(d);
    SetUploadEntryStatus(upload, "aborted");
    StartNewUploads();
}

ItemPtr TransferQueueManager::NotifiedDownload(const std::string& i_user, const std::string& i_file,
                                               const QString& i_what)
{
    ItemPtr user = T("user")->GetItem(i_user);
    Log(kCategory, 1, i_what, user);
    ItemPtr download = DownloadOfRemotePath(i_user, i_file);
    if (!download)
        Log(kCategory, 2, QStringLiteral("Download not found."), user);
    return download;
}

void TransferQueueManager::OnUploadDeniedNotification(std::string i_user, std::string i_file, std::string i_reason)
{
    ItemPtr download =
        NotifiedDownload(i_user, i_file,
                         QStringLiteral("Received peer notification from %1 that upload of %2 was denied, reason: %3")
                             .arg(FromName(i_user), Text(i_file), Text(i_reason)));
    if (!download)
        return;
    // A peer that stops sharing with us denies finished files too; what we
    // hold already stays as it is.
    if (download["download_entry_status"].AsString() == "complete")
    {
        Log(kCategory, 2, QStringLiteral("Download found, already complete, leaving it."), download);
        return;
    }
    Log(kCategory, 2, QStringLiteral("Download found, marking as denied."), download);
    Data::Operation op(d);
    download += T("denial_reason")->GetItem(i_reason);
    SetDownloadEntryStatus(download, "denied");
}

void TransferQueueManager::OnUploadFailedNotification(std::string i_user, std::string i_file)
{
    ItemPtr download = NotifiedDownload(
        i_user, i_file,
        QStringLiteral("Received peer notification from %1 that upload of %2 failed").arg(FromName(i_user), Text(i_file)));
    if (!download)
        return;
    Log(kCategory, 2, QStringLiteral("Download found!"), download);
    // An offer we accepted whose file connection never became a transfer
    // (it never came, or broke in the handshake) failed as surely as one
    // that broke mid-file: the user sees it, and it is asked for again.
    if (download["download_entry_status"].AsString() == "queued" && download["remote_transfer_req"])
    {
        Log(kCategory, 2, QStringLiteral("The accepted transfer never started, marking aborted"), download);
        SetDownloadEntryStatus(download, "aborted");
    }
    QueueDownloadIfUserOnline(download);
}

void TransferQueueManager::EveryHalfMinute()
{
    Data::Operation op(d);
    const QDateTime now = CurrentTime();

    // Uploads stuck in a negotiating status.
    std::vector<Item*> stuck;
    for (const char* name : {"requesting", "connecting", "waiting for offset"})
        if (Item* status = T("upload_entry_status")->HasItem(name))
            for (Item* upload : status->GetItems("upload_entry"))
            {
                const QDateTime changed = QDateTime::fromString(
                    FromLatin1(ItemPtr(upload)["last_status_change_time"].AsString()), Qt::TextDate);
                if (!changed.isValid() || changed.msecsTo(now) >= 30000)
                    stuck.push_back(upload);
            }
    for (Item* upload : stuck)
    {
        ItemPtr entry(upload);
        Log(kCategory, 1,
            QStringLiteral("Upload of %1 to %2 timed out in %3 phase, aborting")
                .arg(Text(entry["shared_file"]["shared_file_name"].AsString()), FromName(entry["user"].AsString()),
                     FromLatin1(entry["upload_entry_status"].AsString())));
        SetUploadEntryStatus(entry, "aborted");
    }
    if (!stuck.empty())
        StartNewUploads();

    // Waiting downloads, at most every ten minutes per user: the queue
    // request again, then the place in line. An uploader that restarted
    // without being seen offline has forgotten the request, and one that
    // could not be reached never had it; asking twice costs it nothing.
    ItemSet waiting;
    for (const char* name : {"queued", "aborted"})
        if (Item* status = T("download_entry_status")->HasItem(name))
            waiting.Add(status->GetItems("download_entry"));
    std::vector<Item*> users;
    std::unordered_set<Item*> seen;
    Type* userType = T("user");
    for (Item* download : waiting)
        if (Item* user = download->GetItem(userType))
            if (IsOnline(user) && seen.insert(user).second)
                users.push_back(user);
    for (Item* user : users)
    {
        ItemPtr u(user);
        if (IsActivelyDownloadingFromUser(u.AsString()))
            continue;
        ItemPtr last = u["last_place_in_line_request_time"];
        if (last)
        {
            const QDateTime asked = QDateTime::fromString(FromLatin1(last.AsString()), Qt::TextDate);
            if (asked.isValid() && asked.msecsTo(now) < 600000)
                continue;
        }
        ItemSet own;
        for (Item* download : u.GetItems("download_entry"))
            if (waiting.count(download))
                own.insert(download);
        Pass pass;
        pass.kind = Pass::Reask;
        pass.user = user;
        for (Item* download : own.SortNumericBy("download_order"))
            pass.downloads.push_back(download);
        u += T("last_place_in_line_request_time")->GetItem(Now());
        StartPass(std::move(pass));
    }
}

// ---------------------------------------------------------------- upload slots and speed limit

void TransferQueueManager::SetUploadSlots(int i_slots)
{
    if (i_slots < 1 || i_slots > 99)
        return;
    const long long previous = ParseDecimal(GetSetting("upload_slots"));
    SetSetting("upload_slots", Value(i_slots));
    if (i_slots > previous)
        StartNewUploads();
}

void TransferQueueManager::SetUploadSpeedLimit(int i_limit)
{
    SetSetting("upload_speed_limit", Value(i_limit));
    DetermineUploadSpeedLimit();
}

void TransferQueueManager::EnableUploadSpeedLimit(bool i_enabled)
{
    SetSetting("upload_speed_limit_enabled", i_enabled ? "yes" : "no");
    DetermineUploadSpeedLimit();
}

void TransferQueueManager::DetermineUploadSpeedLimit()
{
    const long long limit = ParseDecimal(GetSetting("upload_speed_limit"));
    if (limit <= 0 || limit > std::numeric_limits<int>::max() || GetSetting("upload_speed_limit_enabled") != "yes")
    {
        m_uploadRateLimiter.ClearLimits();
        return;
    }
    const ItemSet active = ActiveUploads();
    const int total = int(limit);
    const int each = active.empty() ? total : std::max(1, int(total / static_cast<long long>(active.size())));
    m_uploadRateLimiter.SetLimits(total, each);
    const QDateTime now = CurrentTime();
    for (Item* upload : active)
    {
        ItemPtr entry(upload);
        if (QDateTime* measured = AddressOf<QDateTime>(entry["last_speed_measurement_time"].Get()))
            *measured = now;
        if (qint64* since = AddressOf<qint64>(entry["bytes_since_last_receipt"].Get()))
            *since = 0;
    }
}

int TransferQueueManager::GetUploadSpeed()
{
    return m_uploadRateLimiter.GetUploadSpeed();
}
