// A named thread that runs blocking jobs (usbmuxd requests, reads and writes on a device
// stream) one after another, off the main thread, and hands each result back to the main
// thread.
//
// post(job, context, done): `job` runs on the worker; `done(result)` then runs on the thread of
// `context` (queued), only if `context` still exists by then. Jobs run in the order posted, so a
// worker with one job posted at a time has exactly one blocking call in flight.
//
// Threads: post() and the destructor are called from the owner's thread (the main thread).
// Lifetime: the destructor stops taking jobs, drops the ones not started and joins the thread,
// so it waits for the job in flight: unblock it first (shut its socket down). A job must not
// touch the owner: it gets everything it needs by value (shared_ptr for a socket).
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QPointer>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace velurio {

class BlockingWorker {
  public:
    // `name` is the thread's name as the system shows it (at most 15 characters are kept).
    explicit BlockingWorker(std::string name);
    ~BlockingWorker();
    BlockingWorker(const BlockingWorker&) = delete;
    BlockingWorker& operator=(const BlockingWorker&) = delete;

    template <typename Job, typename Done>
    void post(Job job, QObject* context, Done done) {
        QPointer<QObject> target(context);
        enqueue([job = std::move(job), target, done = std::move(done)]() mutable {
            auto result = job();
            if (target == nullptr) {
                return;
            }
            QMetaObject::invokeMethod(
                target.data(),
                [target, done = std::move(done), result = std::move(result)]() mutable {
                    if (target != nullptr) {
                        done(std::move(result));
                    }
                },
                Qt::QueuedConnection);
        });
    }

    // Jobs posted and not yet finished (the one in flight included).
    int pending() const;

  private:
    void enqueue(std::function<void()> job);
    void run(const std::stop_token& stop);

    mutable std::mutex m_lock;
    std::condition_variable_any m_wake;
    std::deque<std::function<void()>> m_jobs;  // guarded by m_lock
    int m_running = 0;                         // guarded by m_lock
    std::string m_name;
    std::jthread m_thread;  // last: starts after the fields above exist
};

}  // namespace velurio
