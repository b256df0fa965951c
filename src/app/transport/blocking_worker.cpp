#include "app/transport/blocking_worker.h"

#include <pthread.h>

namespace velurio {

BlockingWorker::BlockingWorker(std::string name)
    : m_name(std::move(name)), m_thread([this](const std::stop_token& stop) { run(stop); }) {}

BlockingWorker::~BlockingWorker() {
    {
        std::lock_guard lock(m_lock);
        m_jobs.clear();
    }
    m_thread.request_stop();
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void BlockingWorker::enqueue(std::function<void()> job) {
    {
        std::lock_guard lock(m_lock);
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_one();
}

int BlockingWorker::pending() const {
    std::lock_guard lock(m_lock);
    return static_cast<int>(m_jobs.size()) + m_running;
}

void BlockingWorker::run(const std::stop_token& stop) {
    pthread_setname_np(pthread_self(), m_name.substr(0, 15).c_str());
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(m_lock);
            if (!m_wake.wait(lock, stop, [this] { return !m_jobs.empty(); })) {
                return;  // stop requested
            }
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
            m_running = 1;
        }
        job();
        std::lock_guard lock(m_lock);
        m_running = 0;
    }
}

}  // namespace velurio
