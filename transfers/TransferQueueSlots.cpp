// The transfer queue: the upload slots and the total upload speed limit,
// shared with the upload threads through the rate limiter.

#include "TransferQueueManager.h"
#include "TransferQueueInternal.h"

#include <QDateTime>

#include <algorithm>
#include <limits>

using namespace TransferQueueInternal;

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
        if (QDateTime* measured = LiveObject<QDateTime>(entry["last_speed_measurement_time"].Get()))
            *measured = now;
        if (qint64* since = LiveObject<qint64>(entry["bytes_since_last_receipt"].Get()))
            *since = 0;
    }
}

int TransferQueueManager::GetUploadSpeed()
{
    return m_uploadRateLimiter.GetUploadSpeed();
}
