#pragma once
// Sends one shared file over a handed-over file connection: the request
// number, then the start offset read from the peer, then the file from that
// offset up to the size it was offered at, within the speed limit of the
// shared rate limiter. One progress signal per chunk; exactly one final
// signal.

#include "TransferThread.h"

class QFile;
class UploadRateLimiter;

class UploadThread : public TransferThread
{
    Q_OBJECT

public:
    // Without a limiter the upload is never limited. The file stays open
    // when the thread ends.
    UploadThread(QTcpSocket* ip_socket, QFile* ip_file, int i_transferReq,
                 UploadRateLimiter* ip_limiter = nullptr);

    // Before the start: the size the peer was offered. Exactly that many
    // bytes are then sent, whatever the file holds by now; without it, the
    // size the file has when the upload starts.
    void SetOfferedSize(qint64 i_size) { m_size = i_size; }

    // Where the file ended short of the offered size, when that failed the
    // upload; -1 otherwise. Read once the final signal has arrived.
    qint64 FileEndedAt() const { return m_fileEndedAt; }

signals:
    void UploadError();
    void UploadProgress(qint64 i_offset, int l_bytesPerSecond);
    void UploadComplete();

protected:
    void run() override;

private:
    bool PerformUpload();
    bool Handshake(qint64& o_offset);
    bool SendChunk(qint64 i_size);

    QFile* mp_file;
    int m_transferReq;
    qint64 m_size = -1;
    UploadRateLimiter* mp_limiter;
    qint64 m_fileEndedAt = -1;
};
