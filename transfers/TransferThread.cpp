#include "TransferThread.h"

#include <QTcpSocket>

#include <limits>

TransferThread::TransferThread(QTcpSocket* ip_socket)
    : QThread(nullptr), mp_socket(ip_socket), mp_home(QThread::currentThread()), m_exit(false)
{
}

TransferThread::~TransferThread() = default;

void TransferThread::SignalExit()
{
    QMutexLocker lock(&m_mutex);
    m_exit = true;
}

bool TransferThread::ShouldExit() const
{
    QMutexLocker lock(&m_mutex);
    return m_exit;
}

bool TransferThread::WaitForData()
{
    QElapsedTimer waited;
    waited.start();
    for (;;)
    {
        if (ShouldExit())
            return false;
        if (mp_socket->bytesAvailable() > 0)
            return true;
        if (mp_socket->state() != QAbstractSocket::ConnectedState)
            return false;
        const qint64 left = SOCKET_WAIT_MS - waited.elapsed();
        if (left <= 0)
            return false;
        mp_socket->waitForReadyRead(int(qMin<qint64>(SOCKET_SLICE_MS, left)));
    }
}

bool TransferThread::WaitForWritten()
{
    // Most writes go straight out; only a full send buffer needs a wait.
    mp_socket->flush();
    QElapsedTimer waited;
    waited.start();
    while (mp_socket->bytesToWrite() > 0)
    {
        if (ShouldExit() || mp_socket->state() != QAbstractSocket::ConnectedState)
            return false;
        const qint64 left = SOCKET_WAIT_MS - waited.elapsed();
        if (left <= 0)
            return false;
        mp_socket->waitForBytesWritten(int(qMin<qint64>(SOCKET_SLICE_MS, left)));
    }
    return true;
}

void TransferThread::WaitForDisconnect()
{
    QElapsedTimer waited;
    waited.start();
    while (mp_socket->state() != QAbstractSocket::UnconnectedState && !ShouldExit())
    {
        const qint64 left = SOCKET_WAIT_MS - waited.elapsed();
        if (left <= 0)
            return;
        mp_socket->waitForDisconnected(int(qMin<qint64>(SOCKET_SLICE_MS, left)));
    }
}

bool TransferThread::SleepUntil(const QElapsedTimer& i_timer, qint64 i_targetMs)
{
    for (qint64 now = i_timer.elapsed(); now < i_targetMs; now = i_timer.elapsed())
    {
        if (ShouldExit())
            return false;
        QThread::msleep(static_cast<unsigned long>(qMin<qint64>(SLEEP_SLICE_MS, i_targetMs - now)));
    }
    return true;
}

int TransferThread::SpeedFigure(qint64 i_bytes, const QElapsedTimer& i_since)
{
    const qint64 ms = i_since.elapsed();
    if (ms <= 0)
        return 0;
    const qint64 speed = i_bytes * 1000 / ms;
    return speed > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : int(speed);
}

void TransferThread::ReturnSocket()
{
    mp_socket->moveToThread(mp_home);
}
