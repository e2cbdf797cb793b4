#include "UploadRateLimiter.h"

#include <limits>

UploadRateLimiter::UploadRateLimiter()
{
    m_clock.start();
}

void UploadRateLimiter::SetLimits(int i_total, int i_perUpload)
{
    QMutexLocker lock(&m_uploadSpeedMutex);
    m_uploadSpeedLimit = i_total;
    m_perUploadSpeedLimit = i_perUpload;
    m_uploadAllowance = 0;
    m_filledNs = m_clock.nsecsElapsed();
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

qint64 UploadRateLimiter::Pay(qint64 i_bytes)
{
    QMutexLocker lock(&m_uploadSpeedMutex);
    if (m_uploadSpeedLimit <= 0 || i_bytes <= 0)
        return 0;
    Fill();
    m_uploadAllowance -= i_bytes;
    return m_uploadAllowance < 0 ? MillisecondsFor(-m_uploadAllowance, m_uploadSpeedLimit) : 0;
}

void UploadRateLimiter::Credit(qint64 i_bytes)
{
    QMutexLocker lock(&m_uploadSpeedMutex);
    const qint64 most = MostHeld();
    if (i_bytes <= 0 || m_uploadAllowance >= most)
        return;
    m_uploadAllowance += qMin(i_bytes, most - m_uploadAllowance);
}

void UploadRateLimiter::Fill()
{
    const qint64 now = m_clock.nsecsElapsed();
    const qint64 most = MostHeld();
    if (m_uploadSpeedLimit <= 0 || m_uploadAllowance >= most)
    {
        m_filledNs = now;
        return;
    }
    const __int128 perSecond = static_cast<__int128>(m_uploadSpeedLimit) * 1024;
    const __int128 bytes = perSecond * (now - m_filledNs) / 1000000000;
    if (bytes >= most - m_uploadAllowance)
    {
        m_uploadAllowance = most;
        m_filledNs = now;
        return;
    }
    m_uploadAllowance += static_cast<qint64>(bytes);
    // Only whole bytes are added; the time of the part of a byte left over
    // counts at the next fill, else frequent fills would lose it.
    m_filledNs += static_cast<qint64>(bytes * 1000000000 / perSecond);
}

qint64 UploadRateLimiter::MostHeld() const
{
    return m_uploadSpeedLimit > 0 ? BytesAllowed(m_uploadSpeedLimit, BURST_MS)
                                  : std::numeric_limits<qint64>::max();
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
    const __int128 perSecond = static_cast<__int128>(i_limit) * 1024;
    return static_cast<qint64>((static_cast<__int128>(i_bytes) * 1000 + perSecond - 1) / perSecond);
}
