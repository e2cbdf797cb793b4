// The transfer queue: the upload queue. Queue requests from peers, the
// effective order of the queued uploads, the place in line, starting uploads
// in free slots, and users we stop or start sharing with.

#include "TransferQueueManager.h"
#include "TransferQueueInternal.h"

#include "Log.h"
#include "PeerMessenger.h"
#include "SharedFoldersManager.h"
#include "server.h"

#include <algorithm>
#include <vector>

using namespace TransferQueueInternal;

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

void TransferQueueManager::OnQueueUploadRequested(std::string i_user, std::string i_file, bool i_reached)
{
    Data::Operation op(d);
    ItemPtr user = T("user")->GetItem(i_user);
    Log(kCategory, 1,
        QStringLiteral("Queue upload requested by %1 for file %2").arg(FromName(i_user), Text(i_file)), user);

    ItemPtr file = sharedFoldersManager ? sharedFoldersManager->GetSharedFileItem(LocalForm(i_file)) : ItemPtr();
    if (!file || !sharedFoldersManager->IsFileSharedWithUser(file, i_user, i_reached))
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
    for (auto paused = m_fileRetryAfter.begin(); paused != m_fileRetryAfter.end();)
        paused = paused->second.hasExpired() ? m_fileRetryAfter.erase(paused) : std::next(paused);
    const std::list<Item*> candidates = queued->GetItems("upload_entry").SortNumericBy("effective_upload_order");
    for (Item* entry : candidates)
    {
        ItemPtr upload(entry);
        // An entry removed earlier in this pass is no longer queued.
        if (upload["upload_entry_status"].Get() != queued)
            continue;
        ItemPtr user = upload["user"];
        if (!IsOnline(user) || IsUploadingToUser(user.Get()) || m_fileRetryAfter.count(user.AsString()))
            continue;
        // Shares change after queueing: only what is still shared with the
        // user is offered, and files change after the scan: it is offered
        // at the size it has now, which its thread then sends exactly.
        qint64 size = 0;
        if (!IsStillShared(upload) || !sharedFoldersManager->CheckSharedFileOnDisk(upload["shared_file"], size))
        {
            DenyUnshared(upload);
            continue;
        }
        const unsigned int req =
            peerMessenger->RequestUpload(user.AsString(), upload["filename_as_requested"].AsString(), size);
        SetUploadEntryStatus(upload, "requesting");
        upload += T("transfer_req")->GetItem(Value(req));
        upload += T("file_size")->GetItem(Value(size));
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
