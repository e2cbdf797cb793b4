#include "UploadRateLimiter.h"

#include <limits>

void UploadRateLimiter::SetLimits(int i_total, int i_perUpload)
{
    QMutexLocker lock(&m_uploadSpeedMutex);
    m_uploadSpeedLimit = i_total;
    m_perUploadSpeedLimit = i_perUpload;
    m_uploadAllowance = 0;
}

void UploadRateLimiter::ClearLimits()
{
    QMutexLocker lock(&m_uploadSpeedMutex);
    m_uploadSpeedLimit = 0;
    m_perUploadSpeedLimit = 0;
}

int UploadRateLimiter::GetUploadSpeed() const
{
    QMutexLocker lock(&m_uploadSpeedMutex);
    return m_uploadSpeedLimit;
}

int UploadRateLimiter::GetPerUploadSpeed() const
{
    QMutexLocker lock(&m_uploadSpeedMutex);
    return m_perUploadSpeedLimit;
}

qint64 UploadRateLimiter::GetAllowance() const
{
    QMutexLocker lock(&m_uploadSpeedMutex);
    return m_uploadAllowance;
}

qint64 UploadRateLimiter::Settle(qint64 i_unsettled)
{
    QMutexLocker lock(&m_uploadSpeedMutex);
    if (i_unsettled >= m_uploadAllowance)
    {
        const qint64 left = i_unsettled - m_uploadAllowance;
        m_uploadAllowance = 0;
        return left;
    }
    m_uploadAllowance -= i_unsettled;
    return 0;
}

void UploadRateLimiter::Credit(qint64 i_bytes, int i_share)
{
    if (i_share > 0)
        i_bytes = qMin(i_bytes, BytesAllowed(i_share, BANKED_MS));
    if (i_bytes <= 0)
        return;
    QMutexLocker lock(&m_uploadSpeedMutex);
    const qint64 most = m_uploadSpeedLimit > 0 ? BytesAllowed(m_uploadSpeedLimit, BANKED_MS)
                                               : std::numeric_limits<qint64>::max();
    if (m_uploadAllowance >= most)
        return;
    const qint64 room = most - m_uploadAllowance;
    m_uploadAllowance += i_bytes < room ? i_bytes : room;
}

qint64 UploadRateLimiter::BytesAllowed(int i_limit, qint64 i_ms)
{
    if (i_limit <= 0 || i_ms <= 0)
        return 0;
    const __int128 bytes = static_cast<__int128>(i_limit) * 1024 * i_ms / 1000;
    const __int128 most = std::numeric_limits<qint64>::max();
    return static_cast<qint64>(bytes < most ? bytes : most);
}

qint64 UploadRateLimiter::MillisecondsFor(qint64 i_bytes, int i_limit)
{
    if (i_limit <= 0 || i_bytes <= 0)
        return 0;
    return i_bytes / i_limit;
}
