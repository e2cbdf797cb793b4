#pragma once
// Loopback socket pairs, a recorder of the threads' signals (it lives on
// the main thread, so the signals arrive queued, as in the client) and file
// helpers for the transfer-thread tests.

#include "DownloadThread.h"
#include "UploadThread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>

#include <memory>
#include <utility>
#include <vector>

namespace threadtest
{
const int g_threadWaitMs = 20000;

// Two connected sockets on 127.0.0.1, both without a parent.
inline std::pair<QTcpSocket*, QTcpSocket*> LoopbackPair()
{
    QTcpServer listener;
    if (!listener.listen(QHostAddress::LocalHost, 0))
        qFatal("cannot listen on loopback");
    auto* client = new QTcpSocket;
    client->connectToHost(QHostAddress::LocalHost, listener.serverPort());
    if (!client->waitForConnected(g_threadWaitMs) || !listener.waitForNewConnection(g_threadWaitMs))
        qFatal("loopback connection failed");
    QTcpSocket* server = listener.nextPendingConnection();
    server->setParent(nullptr);
    return {client, server};
}

// The hand-over the transfer queue does: signals cut, no parent, the socket
// moved to the thread.
inline void HandOver(QTcpSocket* ip_socket, QThread* ip_thread)
{
    ip_socket->disconnect();
    ip_socket->setParent(nullptr);
    ip_socket->moveToThread(ip_thread);
}

inline QByteArray RandomBytes(qint64 i_size)
{
    QByteArray b(int(i_size), '\0');
    for (int i = 0; i < b.size(); ++i)
        b[i] = char(QRandomGenerator::global()->bounded(256));
    return b;
}

inline void WriteFile(const QString& i_path, const QByteArray& i_bytes)
{
    QFile f(i_path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(i_bytes) != i_bytes.size())
        qFatal("cannot write test file");
}

inline QByteArray ReadFile(const QString& i_path)
{
    QFile f(i_path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline QByteArray I64(qint64 i_value)
{
    QByteArray b(8, '\0');
    qToLittleEndian<qint64>(i_value, b.data());
    return b;
}

// Reads exactly i_size bytes on the main thread (blocking).
inline QByteArray ReadExactly(QTcpSocket* ip_socket, qint64 i_size, int i_timeoutMs = g_threadWaitMs)
{
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (out.size() < i_size && t.elapsed() < i_timeoutMs)
    {
        if (ip_socket->bytesAvailable() == 0)
            ip_socket->waitForReadyRead(100);
        out += ip_socket->read(i_size - out.size());
    }
    return out;
}

// Writes and pushes the bytes out on the main thread.
inline void WriteNow(QTcpSocket* ip_socket, const QByteArray& i_bytes)
{
    ip_socket->write(i_bytes);
    while (ip_socket->bytesToWrite() > 0 && ip_socket->waitForBytesWritten(g_threadWaitMs))
    {
    }
}

// Records the signals of one thread on the main thread, with the time each
// arrived. Declared after its thread, it stops the thread first when a
// failed check leaves the test early.
class Recorder : public QObject
{
public:
    struct Progress
    {
        qint64 offset;
        int speed;
        qint64 atMs;
    };

    explicit Recorder(DownloadThread* ip_thread) : mp_thread(ip_thread)
    {
        m_clock.start();
        connect(ip_thread, &DownloadThread::DownloadProgress, this, &Recorder::OnProgress);
        connect(ip_thread, &DownloadThread::DownloadComplete, this, [this] { ++m_complete; });
        connect(ip_thread, &DownloadThread::DownloadError, this, [this] { ++m_error; });
    }
    explicit Recorder(UploadThread* ip_thread) : mp_thread(ip_thread)
    {
        m_clock.start();
        connect(ip_thread, &UploadThread::UploadProgress, this, &Recorder::OnProgress);
        connect(ip_thread, &UploadThread::UploadComplete, this, [this] { ++m_complete; });
        connect(ip_thread, &UploadThread::UploadError, this, [this] { ++m_error; });
    }

    ~Recorder() override
    {
        mp_thread->SignalExit();
        mp_thread->wait();
    }

    int Finals() const { return m_complete + m_error; }
    bool WaitFinal(int i_timeoutMs = g_threadWaitMs)
    {
        QElapsedTimer t;
        t.start();
        while (Finals() == 0 && t.elapsed() < i_timeoutMs)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        return Finals() > 0;
    }

    QElapsedTimer m_clock;
    std::vector<Progress> m_progress;
    int m_complete = 0;
    int m_error = 0;

private:
    TransferThread* mp_thread;

    void OnProgress(qint64 i_offset, int i_speed)
    {
        m_progress.push_back({i_offset, i_speed, m_clock.elapsed()});
    }
};
} // namespace threadtest
