// Finds services of one DNS-SD type through the Avahi daemon and resolves them to an address,
// a port and a TXT record. Runs on the Qt event loop of its thread.
#pragma once

#include "platform/avahi/avahi_qt_poll.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <utility>
#include <vector>

struct AvahiClient;
struct AvahiServiceBrowser;

namespace velurio {

class AvahiServiceFinder {
  public:
    struct Found {
        QString name;
        QString address;  // numeric
        quint16 port = 0;
        std::vector<std::pair<QByteArray, QByteArray>> txt;  // in wire order
    };

    AvahiServiceFinder();
    ~AvahiServiceFinder();
    AvahiServiceFinder(const AvahiServiceFinder&) = delete;
    AvahiServiceFinder& operator=(const AvahiServiceFinder&) = delete;

    // Calls onFound for every service of `type` resolved from now on; onError with a description
    // when no daemon can be reached. False when browsing could not start.
    bool browse(const QByteArray& type);
    std::function<void(const Found&)> onFound;
    std::function<void(const QString&)> onError;

  private:
    AvahiQtPoll m_poll;
    AvahiClient* m_client = nullptr;
    AvahiServiceBrowser* m_browser = nullptr;
};

}  // namespace velurio
