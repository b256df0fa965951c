#include "host_discovery.h"

namespace velurio::peer {

void discoverHost(QObject*, std::function<bool(const DiscoveredHost&)>,
                  std::function<void(const DiscoveredHost&)>,
                  std::function<void(const QString&)> onError) {
    onError(QStringLiteral("this build has no DNS-SD support (Avahi)"));
}

}  // namespace velurio::peer
