// The transfer queue's model: the store schema, start and end, the clock,
// and the ordered passes that ask uploaders for downloads in slices.

#include "TransferQueueManager.h"
#include "TransferQueueInternal.h"

#include "DataSaver.h"
#include "Log.h"
#include "PeerMessenger.h"
#include "TimerManager.h"
#include "TransferThread.h"
#include "server.h"

#include <QDir>
#include <QElapsedTimer>

#include <unordered_set>
#include <vector>

TransferQueueManager* transferQueueManager = nullptr;

namespace TransferQueueInternal
{

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

} // namespace TransferQueueInternal

using namespace TransferQueueInternal;

namespace
{

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

    // The size is the one offered to the peer, which the thread sends.
    for (const char* name : {"user", "shared_file", "file_size"})
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
    // A partial file remembers the download it was started for (user, wire
    // name and size), also once that download is removed, so that no other
    // file is ever appended to it. A download that finished under a free
    // name remembers that name.
    Type* partial = d->NewType("partial_file", true, false, true);
    d->NewType("complete_file_name", false, false, true);
    RelateShared(partial, "user");
    RelateShared(partial, "file_size");
    RelateShared(partial, "file_name");
    RelateShared(download, "partial_file");
    RelateShared(download, "complete_file_name");
    SaveType("partial_file");
    SaveByConnection("user", "partial_file");
    SaveByConnection("file_size", "partial_file");
    SaveByConnection("file_name", "partial_file");
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
        connect(peerMessenger, &PeerMessenger::ConnectionToUserFailed, this,
                &TransferQueueManager::OnConnectionToUserFailed);
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

    // Search replies and place-in-line answers read the upload queue; the
    // walk of the shares leaves out the unfinished downloads.
    gp_uploadStatusProvider = this;
    gp_uploadPlaceProvider = this;
    gp_transferExpectations = this;
    gp_downloadFolderProvider = this;
}

std::string TransferQueueManager::UnfinishedDownloadsFolder()
{
    return ToUtf8(SlashForm(DownloadRoot(false)));
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
                if (TransferThread* thread = LiveObject<TransferThread>(item))
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
    if (gp_transferExpectations == this)
        gp_transferExpectations = nullptr;
    if (gp_downloadFolderProvider == this)
        gp_downloadFolderProvider = nullptr;
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

// ---------------------------------------------------------------- clock and timer test

void TransferQueueManager::SetClock(std::function<QDateTime()> i_now)
{
    m_clock = std::move(i_now);
}

QDateTime TransferQueueManager::CurrentTime() const
{
    return m_clock ? m_clock() : QDateTime::currentDateTime();
}

std::string TransferQueueManager::Now() const
{
    return ToLatin1(CurrentTime().toString(Qt::TextDate));
}

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

// ---------------------------------------------------------------- ordered passes

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
            const Pass::Held download = pass.downloads[pass.next++];
            if (m_removedInPass.count(download.serial))
                continue;
            if (!PassStep(pass, download.item))
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
    if (m_removedInPass.count(i_pass.user.serial) || !IsOnline(i_pass.user.item))
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
        m_removedInPass.insert(ip_item->Serial());
}

void TransferQueueManager::OnUserRemoved(Item* ip_item)
{
    if (!m_passes.empty())
        m_removedInPass.insert(ip_item->Serial());
}
