#pragma once
// Analyses shared MP3 files on the shared-files manager's worker thread: the
// MPEG version, channel mode, sampling-rate index, and the bitrate with
// whether it is constant. Requests wait in the scanner's own queue, results
// leave as queued calls; the scanner never touches the store.

#include <QMutex>
#include <QObject>
#include <QString>

#include <string>

class MP3Scanner : public QObject
{
    Q_OBJECT

public:
    MP3Scanner();
    ~MP3Scanner() override;

    // Any thread: the scan in progress stops before its next block and every
    // later one returns at once without a result.
    void Quit();

    // Any thread: queues a scan of the file. The worker thread runs the
    // queued scans one at a time, in the order they were asked for.
    void QueueScan(const QString& i_file);

    // Reads the whole file (UTF-8 path) and takes the vote; the outputs mean
    // something only when it returns true. `bitrate` is -1 until a result.
    bool ScanMP3(std::string file, int& mpegVersion, std::string& channelMode, int& frequency, bool& isVBR,
                 int& bitrate);

public slots:
    // A failed scan emits nothing and logs nothing: the next walk asks again.
    void OnMP3ScanRequired(QString i_file);

signals:
    void MP3Scanned(QString i_file, int i_mpegVersion, QString i_channelMode, int i_frequency, bool i_isVBR,
                    int i_bitrate);

private:
    bool IsQuitting();
    // Worker thread: runs the queued scans until none is left or quitting.
    void RunQueuedScans();

    bool m_quit = false;
    // Guards m_quit and the queue.
    QMutex m_mutex;

    // A first walk asks for every MP3 file of the share at once, far faster
    // than they scan; a queued call per file would hold a UTF-16 copy of
    // each path. So the waiting paths are kept back to back, each as the
    // length (in UTF-16 units) it shares with the one before it and the
    // rest in UTF-8.
    std::string m_queue;
    // Bytes of m_queue already taken by the worker thread.
    size_t m_queueTaken = 0;
    // The last path queued, and the last taken: what the next one is
    // written, and read, against.
    QString m_lastQueued;
    QString m_lastTaken;
    // A call of RunQueuedScans is posted or running.
    bool m_running = false;
};
