#pragma once
// What the download and the upload thread share: the exit flag, the socket
// waits and sleeps cut into short slices so that a request to exit is seen
// within a fraction of a second, and the speed figure. Neither thread owns
// its socket or its file, and neither touches the data store.

#include <QElapsedTimer>
#include <QMutex>
#include <QThread>

#include <functional>

class QTcpSocket;

class TransferThread : public QThread
{
    Q_OBJECT

public:
    // Bytes moved per step, and the size of the thread's one buffer.
    static constexpr int CHUNK_SIZE = 8192;
    // How long a peer may stay silent before the transfer fails.
    static constexpr int SOCKET_WAIT_MS = 30000;
    static constexpr int SOCKET_SLICE_MS = 250;
    static constexpr int SLEEP_SLICE_MS = 100;

    ~TransferThread() override;

    // Asks the thread to stop; returns at once. The thread then ends with
    // its error signal.
    void SignalExit();

protected:
    // The socket goes back to the thread that creates this object (the
    // transfer queue's) when run() ends.
    TransferThread(QTcpSocket* ip_socket);

    bool ShouldExit() const;
    // Until the socket has bytes to read. False on exit, on a closed
    // connection with nothing left to read, or after the full wait.
    bool WaitForData();
    // Reads exactly i_size bytes, waiting for them as above; false as above.
    bool ReadFully(char* o_bytes, qint64 i_size);
    // Until the socket's write buffer is empty; false as above.
    bool WaitForWritten();
    // Until the peer closes the connection, at most the full wait or until
    // exit is asked.
    void WaitForDisconnect();
    // Sleeps until the timer reaches i_targetMs, or until i_wake (asked
    // between slices) says the sleep no longer applies; false on exit.
    bool SleepUntil(const QElapsedTimer& i_timer, qint64 i_targetMs, const std::function<bool()>& i_wake = {});
    // Bytes per second since the measurement started; 0 in its first
    // millisecond.
    static int SpeedFigure(qint64 i_bytes, const QElapsedTimer& i_since);
    // Hands the socket back before the final signal.
    void ReturnSocket();

    QTcpSocket* mp_socket;
    char m_buffer[CHUNK_SIZE];

private:
    QThread* mp_home;
    mutable QMutex m_mutex;
    bool m_exit;
};
