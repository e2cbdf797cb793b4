#pragma once
// The byte allowance that every running upload shares, with the total and
// the per-upload speed limit (KiB/s, 0 = no limit). The transfer queue sets
// the limits on the main thread; upload threads settle and credit here. The
// mutex is held only for these few reads and writes, never while a thread
// sleeps, reads or writes.

#include <QMutex>
#include <QtGlobal>

class UploadRateLimiter
{
public:
    UploadRateLimiter() = default;
    UploadRateLimiter(const UploadRateLimiter&) = delete;
    UploadRateLimiter& operator=(const UploadRateLimiter&) = delete;

    // A limit comes into force: both limits are set and the allowance
    // emptied.
    void SetLimits(int i_total, int i_perUpload);
    // No limit: both are 0. The allowance keeps its value; nothing uses it
    // while the per-upload limit is 0.
    void ClearLimits();

    int GetUploadSpeed() const;
    int GetPerUploadSpeed() const;
    qint64 GetAllowance() const;

    // Pays the bytes sent but not yet paid for out of the allowance and
    // returns the part the allowance could not cover.
    qint64 Settle(qint64 i_unsettled);
    // Adds bytes to the allowance; nothing happens for 0 or less. Time in
    // which uploads could not send (a peer that stopped reading) must not
    // come out later as a burst above the total, so only what i_share
    // (KiB/s, 0: no bound) allows over BANKED_MS is taken at once, and
    // while a total limit is in force the allowance holds at most what
    // that limit allows over BANKED_MS.
    void Credit(qint64 i_bytes, int i_share = 0);

    static constexpr int BANKED_MS = 100;

    // What a limit of i_limit KiB/s allows over i_ms milliseconds, in bytes;
    // computed wide so that a long pause cannot overflow.
    static qint64 BytesAllowed(int i_limit, qint64 i_ms);
    // How long the bytes take at i_limit KiB/s, in (roughly) milliseconds.
    static qint64 MillisecondsFor(qint64 i_bytes, int i_limit);

private:
    mutable QMutex m_uploadSpeedMutex;
    qint64 m_uploadAllowance = 0;
    int m_uploadSpeedLimit = 0;
    int m_perUploadSpeedLimit = 0;
};
