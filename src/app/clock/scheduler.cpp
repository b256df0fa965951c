#include "app/clock/scheduler.h"

#include <QTimer>

#include <utility>

namespace velurio {

QtScheduler::QtScheduler(QObject* parent) : QObject(parent) {}

QtScheduler::~QtScheduler() {
    for (auto& [id, timer] : m_timers)
        delete timer;
}

std::chrono::milliseconds QtScheduler::now() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
}

Scheduler::Id QtScheduler::schedule(std::chrono::milliseconds delay, std::function<void()> task) {
    const Id id = m_next++;
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, this, [this, id, run = std::move(task)]() {
        auto found = m_timers.find(id);
        if (found == m_timers.end())
            return;
        found->second->deleteLater();
        m_timers.erase(found);
        run();
    });
    m_timers.emplace(id, timer);
    timer->start(delay);
    return id;
}

void QtScheduler::cancel(Id id) {
    auto found = m_timers.find(id);
    if (found == m_timers.end())
        return;
    found->second->stop();
    found->second->deleteLater();
    m_timers.erase(found);
}

Scheduler::Id ManualScheduler::schedule(std::chrono::milliseconds delay,
                                        std::function<void()> task) {
    const Id id = m_next++;
    m_tasks.emplace(id, Task{m_now + delay, std::move(task)});
    return id;
}

void ManualScheduler::cancel(Id id) {
    m_tasks.erase(id);
}

void ManualScheduler::advance(std::chrono::milliseconds by) {
    const auto target = m_now + by;
    for (;;) {
        auto next = m_tasks.end();
        for (auto it = m_tasks.begin(); it != m_tasks.end(); ++it) {
            if (it->second.due <= target &&
                (next == m_tasks.end() || it->second.due < next->second.due)) {
                next = it;
            }
        }
        if (next == m_tasks.end())
            break;
        m_now = next->second.due;
        auto run = std::move(next->second.run);
        m_tasks.erase(next);
        run();
    }
    m_now = target;
}

}  // namespace velurio
