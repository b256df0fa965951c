#include "host_discovery.h"
#include "platform/avahi/avahi_service_browser.h"

#include <memory>

namespace velurio::peer {

void discoverHost(QObject* owner, std::function<bool(const DiscoveredHost&)> accept,
                  std::function<void(const DiscoveredHost&)> onFound,
                  std::function<void(const QString&)> onError) {
    auto finder = std::make_shared<AvahiServiceFinder>();
    auto done = std::make_shared<bool>(false);
    finder->onFound = [accept, onFound, done](const AvahiServiceFinder::Found& found) {
        if (*done) {
            return;
        }
        DiscoveredHost host{found.name, found.address, found.port, {}};
        for (const auto& [key, value] : found.txt) {
            host.txt[key] = value;
        }
        if (accept && !accept(host)) {
            return;
        }
        *done = true;
        onFound(host);
    };
    finder->onError = onError;
    finder->browse("_velurio._tcp");
    // Keeps the finder alive with its owner.
    QObject::connect(owner, &QObject::destroyed, [finder]() mutable { finder.reset(); });
}

}  // namespace velurio::peer
