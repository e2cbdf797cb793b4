#include "UploadThread.h"

#include "UploadRateLimiter.h"

#include <QFile>
#include <QTcpSocket>
#include <QtEndian>

UploadThread::UploadThread(QTcpSocket* ip_socket, QFile* ip_file, int i_transferReq,
                           UploadRateLimiter* ip_limiter)
    : TransferThread(ip_socket), mp_file(ip_file), m_transferReq(i_transferReq), mp_limiter(ip_limiter)
{
}

void UploadThread::run()
{
    const bool ok = PerformUpload();
    ReturnSocket();
    if (ok)
        emit UploadComplete();
    else
        emit UploadError();
}

bool UploadThread::Handshake(qint64& o_offset)
{
    char request[4];
    qToLittleEndian<quint32>(quint32(m_transferReq), request);
    if (mp_socket->write(request, 4) != 4 || !WaitForWritten())
        return false;
    char offset[8];
    if (!ReadFully(offset, 8))
        return false;
    o_offset = qFromLittleEndian<qint64>(offset);
    return true;
}

// A deliberate twin of ReadFully, for writing.
bool UploadThread::SendChunk(qint64 i_size)
{
    qint64 written = 0;
    while (written < i_size)
    {
        const qint64 n = mp_socket->write(m_buffer + written, i_size - written);
        if (n < 0)
            return false;
        written += n;
        if (!WaitForWritten())
            return false;
    }
    return true;
}

bool UploadThread::PerformUpload()
{
    qint64 offset = 0;
    if (!Handshake(offset))
        return false;
    // The peer expects the size it was offered, not what the file holds by
    // now: a file that grew is sent up to that size, and one that shrank
    // fails where it ends, rather than leave the peer waiting for the rest.
    const qint64 length = m_size >= 0 ? m_size : mp_file->size();
    // The offset must name a byte of the file: an offset at the end (or a
    // file of 0 bytes) leaves nothing to send.
    if (offset < 0 || offset >= length || !mp_file->seek(offset))
        return false;

    QElapsedTimer measurement;
    measurement.start();
    qint64 measured = 0;
    int lastLimit = mp_limiter ? mp_limiter->GetUploadSpeed() : 0;
    QElapsedTimer timer;
    timer.start();
    // The last chunk, when it went under a limit and is not yet paid for.
    qint64 unpaid = 0;
    for (;;)
    {
        if (ShouldExit())
            return false;
        const int limit = mp_limiter ? mp_limiter->GetPerUploadSpeed() : 0;
        if (limit != lastLimit)
        {
            measurement.restart();
            measured = 0;
        }
        if (limit != 0 && unpaid > 0)
        {
            const qint64 waitMs = mp_limiter->Pay(unpaid);
            // A new share ends the wait: at 1 KiB/s a chunk takes eight
            // seconds to pay off, and a raised limit should not wait for
            // that. The new limits start from an empty allowance.
            auto shareChanged = [&] { return mp_limiter->GetPerUploadSpeed() != limit; };
            if (!SleepUntil(timer, timer.elapsed() + waitMs, shareChanged))
                return false;
        }
        unpaid = 0;
        const qint64 chunk = qMin<qint64>(CHUNK_SIZE, length - offset);
        const qint64 got = mp_file->read(m_buffer, chunk);
        if (got != chunk)
        {
            if (got >= 0)
                m_fileEndedAt = offset + got;
            return false;
        }
        if (!SendChunk(chunk))
            return false;
        offset += chunk;
        measured += chunk;
        // Bytes sent without a limit are never paid for later.
        if (limit != 0)
            unpaid = chunk;
        emit UploadProgress(offset, SpeedFigure(measured, measurement));
        lastLimit = limit;
        if (offset == length)
        {
            WaitForDisconnect();
            return true;
        }
    }
}
