// The transfer queue: negotiation and status. An upload from the peer's
// answer through its file connection and thread to its end, the status of
// an upload, the peers' notices about our downloads, and the half-minute
// check of stuck negotiations and waiting downloads.

#include "TransferQueueManager.h"
#include "TransferQueueInternal.h"

#include "Log.h"
#include "MemStream.h"
#include "PeerMessenger.h"
#include "ProtocolCodes.h"
#include "RegularFile.h"
#include "SharedFoldersManager.h"
#include "UploadThread.h"
#include "server.h"

#include <QDateTime>
#include <QFile>
#include <QTcpSocket>

#include <cstring>
#include <memory>
#include <unordered_set>
#include <vector>

using namespace TransferQueueInternal;

// ---------------------------------------------------------------- upload status

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

// ---------------------------------------------------------------- upload negotiation

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
    const QString path = Text(SharedFoldersManager::SharedFilePath(shared));
    // Only a regular file is opened, and the open never waits: this is the
    // main thread, and a FIFO put in the file's place would hold it for good.
    // A file gone, or something else in its place, is no longer shared.
    int error = 0;
    auto file = std::make_unique<QFile>();
    const RegularFileStatus opened = OpenRegularFileForReading(path, *file, QIODevice::ReadOnly, error);
    if (opened == RegularFileStatus::NotRegular || opened == RegularFileStatus::Missing)
    {
        DenyUnshared(upload);
        return;
    }
    if (opened != RegularFileStatus::Opened)
    {
        Log(kCategory, 2,
            QStringLiteral("File could not be opened, marking local error and sending denial message. Shouldn't we have "
                           "done this before we requested the transfer?"),
            user);
        Log(kCategory, 3, QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(strerror(error))), user);
        if (peerMessenger)
            peerMessenger->DenyUpload(i_user, upload["filename_as_requested"].AsString(), "File read error.");
        SetUploadEntryStatus(upload, "local error");
        StartNewUploads();
        return;
    }
    Log(kCategory, 2, QStringLiteral("Requesting file connection to user"), user);
    if (peerMessenger)
        peerMessenger->RequestFileConnectionToUser(i_user);
    upload += T("upload_file")->GetItem(Value(ListLiveUntilDestroyed(file.release())));
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
    QFile* file = LiveObject<QFile>(upload["upload_file"].Get());
    m_fileFailures.erase(i_user);

    Data::Operation op(d);
    upload += T("upload_socket")->GetItem(Value(ListLiveUntilDestroyed(ip_socket)));
    SetUploadEntryStatus(upload, "uploading");
    AddProgressObjects(upload, CurrentTime());
    upload += T("read_position")->GetItem(Value(NewListed<qint64>(0)));

    ip_socket->disconnect();
    auto* thread = new UploadThread(ip_socket, file, int(upload["transfer_req"].AsUInt()), &m_uploadRateLimiter);
    thread->SetOfferedSize(OfferedSize(upload));
    connect(thread, &UploadThread::UploadError, this, &TransferQueueManager::OnUploadError);
    connect(thread, &UploadThread::UploadProgress, this, &TransferQueueManager::OnUploadProgress);
    connect(thread, &UploadThread::UploadComplete, this, &TransferQueueManager::OnUploadComplete);
    StartThread(upload, kUploadSide, ip_socket, thread);
}

void TransferQueueManager::OnConnectionToUserFailed(std::string i_user, std::string i_type)
{
    if (i_type != "F")
        return;
    Item* user = T("user")->HasItem(i_user);
    Item* connecting = T("upload_entry_status")->HasItem("connecting");
    ItemSet uploads = user && connecting ? d->GetItems(ItemPtr(user), ItemPtr(connecting), "upload_entry") : ItemSet();
    if (uploads.empty())
        return;
    // Each file connection asked for is one upload's, in the order asked.
    ItemPtr upload = static_cast<ItemPtr>(uploads);
    const bool again = ++m_fileFailures[i_user] > 1;
    Log(kCategory, 1,
        QStringLiteral("No file connection to %1 for the upload of %2; it goes back to its place in the queue%3")
            .arg(FromName(i_user), Text(upload["shared_file"]["shared_file_name"].AsString()),
                 again ? QStringLiteral(", offered again in %1 s").arg(FILE_RETRY_MS / 1000) : QString()),
        ItemPtr(user));
    Data::Operation op(d);
    // Nothing failed that the user could do anything about: no notice.
    SetUploadEntryStatus(upload, "queued");
    if (again)
    {
        m_fileRetryAfter[i_user] = QDeadlineTimer(FILE_RETRY_MS);
        QTimer::singleShot(FILE_RETRY_MS, Qt::PreciseTimer, this, [this] { StartNewUploads(); });
    }
    StartNewUploads();
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
    const int* speedObject = LiveObject<int>(upload["bytes_per_second"].Get());
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
    const auto* thread = qobject_cast<const UploadThread*>(sender());
    if (thread && thread->FileEndedAt() >= 0)
    {
        ItemPtr user = upload["user"];
        Log(kCategory, 1,
            QStringLiteral("Upload of %1 to %2 failed: the file ends at %3 of the %4 bytes offered")
                .arg(Text(upload["shared_file"]["shared_file_name"].AsString()), FromName(user.AsString()))
                .arg(thread->FileEndedAt())
                .arg(OfferedSize(upload)),
            user);
    }
    Data::Operation op(d);
    SetUploadEntryStatus(upload, "aborted");
    StartNewUploads();
}

// ---------------------------------------------------------------- peer notices and the half-minute check

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
