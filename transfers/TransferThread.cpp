#include "TransferThread.h"

#include <QAbstractEventDispatcher>
#include <QTcpSocket>

#include <limits>

namespace
{
// A transfer thread runs no event loop: it only ever waits on its socket
// directly. Its socket still switches its notifiers on and off around
// every write and read, which a GLib dispatcher turns into poll-set
// changes and wake-ups of the thread's own context, chunk after chunk;
// this dispatcher takes those calls and does nothing with them.
class PassiveEventDispatcher : public QAbstractEventDispatcher
{
public:
    bool processEvents(QEventLoop::ProcessEventsFlags) override { return false; }
    void registerSocketNotifier(QSocketNotifier*) override {}
    void unregisterSocketNotifier(QSocketNotifier*) override {}
    void registerTimer(int, qint64, Qt::TimerType, QObject*) override {}
    bool unregisterTimer(int) override { return true; }
    bool unregisterTimers(QObject*) override { return true; }
    QList<TimerInfo> registeredTimers(QObject*) const override { return {}; }
    int remainingTime(int) override { return -1; }
    void wakeUp() override {}
    void interrupt() override {}
};
} // namespace

TransferThread::TransferThread(QTcpSocket* ip_socket)
    : QThread(nullptr), mp_socket(ip_socket), mp_home(QThread::currentThread()), m_exit(false)
{
    // Owned by the thread from here on.
    setEventDispatcher(new PassiveEventDispatcher);
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

// A deliberate twin of the upload's SendChunk: the same loop, but a read
// waits only while nothing has arrived, and a write waits after each step.
bool TransferThread::ReadFully(char* o_bytes, qint64 i_size)
{
    qint64 got = 0;
    while (got < i_size)
    {
        const qint64 n = mp_socket->read(o_bytes + got, i_size - got);
        if (n < 0)
            return false;
        got += n;
        if (got < i_size && mp_socket->bytesAvailable() == 0 && !WaitForData())
            return false;
    }
    return true;
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

bool TransferThread::SleepUntil(const QElapsedTimer& i_timer, qint64 i_targetMs, const std::function<bool()>& i_wake)
{
    for (qint64 now = i_timer.elapsed(); now < i_targetMs; now = i_timer.elapsed())
    {
        if (ShouldExit())
            return false;
        if (i_wake && i_wake())
            return true;
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
