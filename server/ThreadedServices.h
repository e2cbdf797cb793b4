#pragma once
// The worker thread for work that may block for seconds on the network (the
// UPnP exchanges with the router), so that the main thread never waits for
// it. Jobs run one after another in the order they were posted. A job never
// touches the data store or logs: what it has to say goes back to the main
// thread through Report(), whose signal the owner connects queued.

#include <QStringList>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class ThreadedServices : public QThread
{
    Q_OBJECT

public:
    explicit ThreadedServices(QObject* ip_parent = nullptr);
    // Stops and waits without a bound; an owner that must not hang calls
    // Stop() and wait(ms) itself first.
    ~ThreadedServices() override;

    // Queues a job and starts the thread on first use; ignored once stopping.
    // Main thread.
    void Post(std::function<void()> i_job);

    // Drops the queued jobs and lets the thread end once the running job, if
    // any, returns. Any thread.
    void Stop();
    bool IsStopping() const;

    // For jobs: hands lines to the main thread (emits LinesReported).
    void Report(const QStringList& i_lines);

signals:
    void LinesReported(QStringList i_lines);

protected:
    void run() override;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    bool m_started = false;
};
