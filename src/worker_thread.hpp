#pragma once
// One background thread that runs jobs in the order they were posted, so that slow disk work
// (an fsync, compressing a day of logs) never holds up the event loop. The thread starts with
// the first job.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

class worker_thread {
public:
    worker_thread() = default;
    ~worker_thread() { stop(); }
    worker_thread(const worker_thread&) = delete;
    worker_thread& operator=(const worker_thread&) = delete;

    // Queues a job; after stop() the job is dropped.
    void post(std::function<void()> job) {
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping) return;
            m_jobs.push_back(std::move(job));
            if (!m_thread.joinable()) m_thread = std::thread([this] { run(); });
        }
        m_wake.notify_one();
    }

    // Runs the jobs already queued, then ends the thread. Callable more than once.
    void stop() {
        std::unique_lock lock(m_mutex);
        m_stopping = true;
        std::thread thread = std::move(m_thread);
        lock.unlock();
        m_wake.notify_one();
        if (thread.joinable()) thread.join();
    }

private:
    void run() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return !m_jobs.empty() || m_stopping; });
            if (m_jobs.empty()) return;
            std::function<void()> job = std::move(m_jobs.front());
            m_jobs.pop_front();
            lock.unlock();
            job();
            job = nullptr;  // its captures go before the next wait, not with the next job
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::thread m_thread;
};
