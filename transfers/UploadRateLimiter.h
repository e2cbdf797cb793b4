#pragma once
// The byte allowance that every running upload shares, with the total and
// the per-upload speed limit (KiB/s, 0 = no limit). The transfer queue sets
// the limits on the main thread; upload threads pay here for what they send.
//
// The allowance fills at the total limit over real time, whichever upload
// pays next, so what a slow upload leaves is there for the others and the
// uploads together keep to the total. It holds at most BURST_MS of the
// total: time in which peers did not read cannot come out later as more
// than one short burst. A payment may run it into debt; the upload then
// waits until the allowance has grown back to cover its bytes. Uploads that
// all want more than their share thus queue for it in turn, chunk by
// chunk, and each gets about its share.
//
// The mutex is held only for these few reads and writes, never while a
// thread sleeps, reads or writes.

#include <QElapsedTimer>
#include <QMutex>
#include <QtGlobal>

class UploadRateLimiter
{
public:
    UploadRateLimiter();
    UploadRateLimiter(const UploadRateLimiter&) = delete;
    UploadRateLimiter& operator=(const UploadRateLimiter&) = delete;

    // A limit comes into force: both limits are set and the allowance
    // emptied; it fills from now on.
    void SetLimits(int i_total, int i_perUpload);
    // No limit: both are 0. The allowance keeps its value; nothing uses it
    // while the per-upload limit is 0.
    void ClearLimits();

    int GetUploadSpeed() const;
    int GetPerUploadSpeed() const;
    qint64 GetAllowance() const;

    // Pays bytes that were sent under the limit out of the allowance and
    // returns how many milliseconds the paying upload waits before it sends
    // again: 0 when the allowance covered them, and always 0 without a
    // total limit (nothing is charged then).
    qint64 Pay(qint64 i_bytes);
    // Adds bytes to the allowance, up to what it may hold; nothing happens
    // for 0 or less.
    void Credit(qint64 i_bytes);

    static constexpr int BURST_MS = 200;

    // What a limit of i_limit KiB/s allows over i_ms milliseconds, in bytes;
    // computed wide so that a long pause cannot overflow.
    static qint64 BytesAllowed(int i_limit, qint64 i_ms);
    // How long the bytes take at i_limit KiB/s, in milliseconds, rounded
    // up.
    static qint64 MillisecondsFor(qint64 i_bytes, int i_limit);

private:
    // Adds what the total allowed since the last fill. Under the mutex.
    void Fill();
    qint64 MostHeld() const;

    mutable QMutex m_uploadSpeedMutex;
    qint64 m_uploadAllowance = 0;
    int m_uploadSpeedLimit = 0;
    int m_perUploadSpeedLimit = 0;
    QElapsedTimer m_clock;
    // When the allowance was last filled, on m_clock.
    qint64 m_filledNs = 0;
};
