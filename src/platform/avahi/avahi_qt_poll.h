// An AvahiPoll whose watches and timeouts are QSocketNotifiers and QTimers, so the Avahi
// client runs on the Qt event loop of the thread that creates it.
#pragma once

#include <avahi-common/watch.h>

namespace velurio {

class AvahiQtPoll {
  public:
    AvahiQtPoll();
    AvahiQtPoll(const AvahiQtPoll&) = delete;
    AvahiQtPoll& operator=(const AvahiQtPoll&) = delete;

    // Valid for the lifetime of this object; every client using it must be freed first.
    const AvahiPoll* poll() const { return &m_poll; }

  private:
    AvahiPoll m_poll;
};

}  // namespace velurio
