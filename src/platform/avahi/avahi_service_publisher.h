// Publishes one DNS-SD service through the Avahi daemon. Runs on the Qt event loop of its
// thread. Without a reachable daemon the service waits for one to appear, and says so in the
// log; a name collision renames the service the way Avahi does ("name #2", ...).
#pragma once

#include "platform/avahi/avahi_qt_poll.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <utility>
#include <vector>

struct AvahiClient;
struct AvahiEntryGroup;

namespace velurio {

class AvahiServicePublisher {
  public:
    using Txt = std::vector<std::pair<QByteArray, QByteArray>>;

    AvahiServicePublisher();
    ~AvahiServicePublisher();
    AvahiServicePublisher(const AvahiServicePublisher&) = delete;
    AvahiServicePublisher& operator=(const AvahiServicePublisher&) = delete;

    // Publishes, or replaces what was published, with these values. TXT entries keep their order.
    void publish(const QString& name, const QByteArray& type, quint16 port, Txt txt);
    void withdraw();
    // The name the service carries now (after any rename); empty when nothing is registered.
    QString publishedName() const { return m_registered ? m_name : QString(); }

  private:
    static void clientCallback(AvahiClient* client, int state, void* userdata);
    static void groupCallback(AvahiEntryGroup* group, int state, void* userdata);
    void ensureClient();
    void registerService();
    void rename();

    AvahiQtPoll m_poll;
    AvahiClient* m_client = nullptr;
    AvahiEntryGroup* m_group = nullptr;
    bool m_wanted = false;
    bool m_registered = false;
    QString m_name;
    QByteArray m_type;
    quint16 m_port = 0;
    Txt m_txt;
};

}  // namespace velurio
