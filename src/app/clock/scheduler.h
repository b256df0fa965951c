#pragma once
// Deferred work for the overlay (laser fade, hint bubble), behind an interface so tests can
// drive time by hand instead of waiting real seconds. Main thread only.

#include <QObject>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>

class QTimer;

namespace velurio {

class Scheduler {
  public:
    using Id = std::uint64_t;
    virtual ~Scheduler() = default;
    // A monotonic time.
    virtual std::chrono::milliseconds now() const = 0;
    // Runs `task` once after `delay`; the id cancels it. Ids are never 0.
    virtual Id schedule(std::chrono::milliseconds delay, std::function<void()> task) = 0;
    // Cancelling an id that already ran or was cancelled does nothing.
    virtual void cancel(Id id) = 0;
    // Cancels the task `id` names, if any, and sets `id` to 0 (which names no task).
    void cancelAndClear(Id& id) { cancel(std::exchange(id, 0)); }
};

// Real time, with Qt timers on the main thread.
class QtScheduler final : public QObject, public Scheduler {
  public:
    explicit QtScheduler(QObject* parent = nullptr);
    ~QtScheduler() override;
    std::chrono::milliseconds now() const override;
    Id schedule(std::chrono::milliseconds delay, std::function<void()> task) override;
    void cancel(Id id) override;

  private:
    std::map<Id, QTimer*> m_timers;
    Id m_next = 1;
};

// Time that moves only when `advance` is called; tasks run in due order (scheduling order for
// equal due times), including tasks scheduled by tasks that run during the advance.
class ManualScheduler final : public Scheduler {
  public:
    std::chrono::milliseconds now() const override { return m_now; }
    Id schedule(std::chrono::milliseconds delay, std::function<void()> task) override;
    void cancel(Id id) override;
    void advance(std::chrono::milliseconds by);
    std::size_t pending() const { return m_tasks.size(); }

  private:
    struct Task {
        std::chrono::milliseconds due;
        std::function<void()> run;
    };
    std::map<Id, Task> m_tasks;
    std::chrono::milliseconds m_now{0};
    Id m_next = 1;
};

}  // namespace velurio
