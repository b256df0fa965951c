// Advertising the control listener on the local network (DNS-SD). The backend is chosen at
// build time: Avahi on Linux, nothing where no backend exists.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace velurio {

// One TXT entry "key=value"; the record keeps the order of the list.
using TxtRecord = std::vector<std::pair<QByteArray, QByteArray>>;

class ServiceAdvertiser {
  public:
    virtual ~ServiceAdvertiser() = default;
    // Publishes (or re-publishes with new values) one service. Failures are logged, never
    // fatal: the listener keeps running unadvertised. Runs on the main thread.
    virtual void publish(const QString& name, const QByteArray& type, quint16 port,
                         const TxtRecord& txt) = 0;
    // Withdraws the service, if published.
    virtual void withdraw() = 0;
    // The name the service finally carries (after a collision rename), empty when unpublished.
    virtual QString publishedName() const = 0;
};

// The platform's advertiser (the Avahi client where it is built in).
std::unique_ptr<ServiceAdvertiser> makePlatformServiceAdvertiser();

}  // namespace velurio
