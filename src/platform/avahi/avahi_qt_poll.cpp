#include "platform/avahi/avahi_qt_poll.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <avahi-common/timeval.h>
#include <sys/time.h>

// Avahi's opaque watch and timeout types are ours to define.
struct AvahiWatch {
    int fd = -1;
    AvahiWatchEvent events = static_cast<AvahiWatchEvent>(0);
    AvahiWatchEvent lastEvent = static_cast<AvahiWatchEvent>(0);
    AvahiWatchCallback callback = nullptr;
    void* userdata = nullptr;
    QPointer<QSocketNotifier> readNotifier;
    QPointer<QSocketNotifier> writeNotifier;
};

struct AvahiTimeout {
    AvahiTimeoutCallback callback = nullptr;
    void* userdata = nullptr;
    QTimer* timer = nullptr;
};

namespace velurio {
namespace {

void fire(AvahiWatch* watch, AvahiWatchEvent event) {
    watch->lastEvent = event;
    // The callback may free the watch: nothing touches it afterwards.
    watch->callback(watch, watch->fd, event, watch->userdata);
}

void applyEvents(AvahiWatch* watch, AvahiWatchEvent events) {
    watch->events = events;
    if (watch->readNotifier) {
        watch->readNotifier->setEnabled((events & AVAHI_WATCH_IN) != 0);
    }
    if (watch->writeNotifier) {
        watch->writeNotifier->setEnabled((events & AVAHI_WATCH_OUT) != 0);
    }
}

AvahiWatch* watchNew(const AvahiPoll*, int fd, AvahiWatchEvent events, AvahiWatchCallback callback,
                     void* userdata) {
    auto* watch = new AvahiWatch;
    watch->fd = fd;
    watch->callback = callback;
    watch->userdata = userdata;
    watch->readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read);
    watch->writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write);
    QObject::connect(watch->readNotifier, &QSocketNotifier::activated, watch->readNotifier,
                     [watch] { fire(watch, AVAHI_WATCH_IN); });
    QObject::connect(watch->writeNotifier, &QSocketNotifier::activated, watch->writeNotifier,
                     [watch] { fire(watch, AVAHI_WATCH_OUT); });
    applyEvents(watch, events);
    return watch;
}

void watchUpdate(AvahiWatch* watch, AvahiWatchEvent events) {
    applyEvents(watch, events);
}

AvahiWatchEvent watchGetEvents(AvahiWatch* watch) {
    return watch->lastEvent;
}

void watchFree(AvahiWatch* watch) {
    // The notifier may be emitting right now: let the event loop delete it.
    for (QSocketNotifier* notifier : {watch->readNotifier.data(), watch->writeNotifier.data()}) {
        if (notifier != nullptr) {
            notifier->setEnabled(false);
            notifier->disconnect();
            notifier->deleteLater();
        }
    }
    delete watch;
}

void timeoutUpdate(AvahiTimeout* timeout, const struct timeval* tv) {
    timeout->timer->stop();
    if (tv == nullptr) {
        return;  // disabled
    }
    const AvahiUsec usec = -avahi_age(tv);  // microseconds until tv; negative when past
    timeout->timer->start(usec <= 0 ? 0 : static_cast<int>((usec + 999) / 1000));
}

AvahiTimeout* timeoutNew(const AvahiPoll*, const struct timeval* tv, AvahiTimeoutCallback callback,
                         void* userdata) {
    auto* timeout = new AvahiTimeout;
    timeout->callback = callback;
    timeout->userdata = userdata;
    timeout->timer = new QTimer;
    timeout->timer->setSingleShot(true);
    QObject::connect(timeout->timer, &QTimer::timeout, timeout->timer,
                     [timeout] { timeout->callback(timeout, timeout->userdata); });
    timeoutUpdate(timeout, tv);
    return timeout;
}

void timeoutFree(AvahiTimeout* timeout) {
    timeout->timer->stop();
    timeout->timer->disconnect();
    timeout->timer->deleteLater();
    delete timeout;
}

}  // namespace

AvahiQtPoll::AvahiQtPoll() : m_poll{} {
    m_poll.userdata = this;
    m_poll.watch_new = &watchNew;
    m_poll.watch_update = &watchUpdate;
    m_poll.watch_get_events = &watchGetEvents;
    m_poll.watch_free = &watchFree;
    m_poll.timeout_new = &timeoutNew;
    m_poll.timeout_update = &timeoutUpdate;
    m_poll.timeout_free = &timeoutFree;
}

}  // namespace velurio
