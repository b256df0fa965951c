// The Avahi backend of the service advertiser.
#include "app/transport/service_advertiser.h"
#include "platform/avahi/avahi_service_publisher.h"

namespace velurio {

namespace {
class AvahiServiceAdvertiser final : public ServiceAdvertiser {
  public:
    void publish(const QString& name, const QByteArray& type, quint16 port,
                 const TxtRecord& txt) override {
        m_publisher.publish(name, type, port, txt);
    }
    void withdraw() override { m_publisher.withdraw(); }
    QString publishedName() const override { return m_publisher.publishedName(); }

  private:
    AvahiServicePublisher m_publisher;
};
}  // namespace

std::unique_ptr<ServiceAdvertiser> makePlatformServiceAdvertiser() {
    return std::make_unique<AvahiServiceAdvertiser>();
}

}  // namespace velurio
