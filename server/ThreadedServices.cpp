#include "ThreadedServices.h"

ThreadedServices::ThreadedServices(QObject* ip_parent)
    : QThread(ip_parent)
{
    setObjectName(QStringLiteral("ThreadedServices"));
}

ThreadedServices::~ThreadedServices()
{
    Stop();
    wait();
}

void ThreadedServices::Post(std::function<void()> i_job)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            return;
        m_jobs.push_back(std::move(i_job));
        if (m_started)
        {
            m_wake.notify_one();
            return;
        }
        m_started = true;
    }
    start();
}

void ThreadedServices::Stop()
{
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        dropped.swap(m_jobs);
    }
    m_wake.notify_all();
    // The dropped jobs are destroyed here, outside the lock.
}

bool ThreadedServices::IsStopping() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopping;
}

void ThreadedServices::Report(const QStringList& i_lines)
{
    if (!i_lines.isEmpty())
        emit LinesReported(i_lines);
}

void ThreadedServices::run()
{
    for (;;)
    {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_stopping)
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();
    }
}
