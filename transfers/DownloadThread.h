#pragma once
// Receives one file over a handed-over file connection into the partial
// file, which the caller has opened for appending and whose length it has
// already sent as the start offset. One progress signal per chunk; exactly
// one final signal. Success means every byte is written and flushed.

#include "TransferThread.h"

#include <QString>

class QFile;

class DownloadThread : public TransferThread
{
    Q_OBJECT

public:
    DownloadThread(QTcpSocket* ip_socket, QFile* ip_file, qint64 i_fileSize, qint64 i_offset);

    // Why the file could not be written or flushed (disk full, ...); empty
    // when the file was not at fault. Read it after the thread has ended.
    QString LocalError() const { return m_localError; }

signals:
    void DownloadError();
    void DownloadProgress(qint64 i_offset, int l_bytesPerSecond);
    void DownloadComplete();

protected:
    void run() override;

private:
    bool PerformDownload();

    QFile* mp_file;
    qint64 m_fileSize;
    qint64 m_offset;
    QString m_localError;
};
