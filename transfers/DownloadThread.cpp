#include "DownloadThread.h"

#include <QFile>
#include <QTcpSocket>

DownloadThread::DownloadThread(QTcpSocket* ip_socket, QFile* ip_file, qint64 i_fileSize, qint64 i_offset)
    : TransferThread(ip_socket), mp_file(ip_file), m_fileSize(i_fileSize), m_offset(i_offset)
{
}

void DownloadThread::run()
{
    const bool ok = PerformDownload();
    ReturnSocket();
    mp_file->close();
    // Buffered bytes that close() could not write count as a failed write.
    if (m_localError.isEmpty() && mp_file->error() != QFileDevice::NoError)
        m_localError = mp_file->errorString();
    if (ok && m_localError.isEmpty())
        emit DownloadComplete();
    else
        emit DownloadError();
}

bool DownloadThread::PerformDownload()
{
    // A size below what is already on disk cannot be completed by appending.
    if (m_offset < 0 || m_fileSize < m_offset)
        return false;
    QElapsedTimer measurement;
    measurement.start();
    qint64 measured = 0;
    for (;;)
    {
        if (ShouldExit())
            return false;
        const qint64 chunk = qMin<qint64>(CHUNK_SIZE, m_fileSize - m_offset);
        if (!ReadFully(m_buffer, chunk))
            return false;
        m_offset += chunk;
        measured += chunk;
        if (mp_file->write(m_buffer, chunk) != chunk)
        {
            m_localError = mp_file->errorString();
            return false;
        }
        emit DownloadProgress(m_offset, SpeedFigure(measured, measurement));
        if (m_offset == m_fileSize)
        {
            if (!mp_file->flush() || mp_file->size() != m_fileSize)
            {
                m_localError = mp_file->error() != QFileDevice::NoError
                                   ? mp_file->errorString()
                                   : QStringLiteral("the file on disk holds %1 bytes, not %2")
                                         .arg(mp_file->size())
                                         .arg(m_fileSize);
                return false;
            }
            mp_socket->close();
            return true;
        }
    }
}
