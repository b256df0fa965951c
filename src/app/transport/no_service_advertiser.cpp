// Builds without a DNS-SD backend advertise nothing; the listeners work all the same.
#include "app/transport/service_advertiser.h"
#include "app/transport/transport_log.h"

namespace velurio {

namespace {
class NoServiceAdvertiser final : public ServiceAdvertiser {
  public:
    void publish(const QString&, const QByteArray&, quint16, const TxtRecord&) override {
        qCInfo(lcTransportServer,
               "Velurio: sem anúncio na rede local (nenhum serviço DNS-SD nesta versão)");
    }
    void withdraw() override {}
    QString publishedName() const override { return {}; }
};
}  // namespace

std::unique_ptr<ServiceAdvertiser> makePlatformServiceAdvertiser() {
    return std::make_unique<NoServiceAdvertiser>();
}

}  // namespace velurio
