#pragma once
// Sends one shared file over a handed-over file connection: the request
// number, then the start offset read from the peer, then the file from that
// offset, within the speed limit of the shared rate limiter. One progress
// signal per chunk; exactly one final signal.

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
    UploadRateLimiter* mp_limiter;
};
