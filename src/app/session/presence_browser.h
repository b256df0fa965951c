// Browsing the local network for tablets that announce their presence (DNS-SD), behind an
// interface so the account flow can be tested with a stand-in. The backend is chosen at build
// time: Avahi where it is built in, else a browser that finds nothing.
//
// Main thread only: results are delivered on the thread's event loop. Lifetime: owned by the
// account flow; onResultsChanged is never called after the browser is destroyed.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace velurio {

// One service found: its instance name and its TXT record in wire order.
struct PresenceResult {
    QString name;
    std::vector<std::pair<QByteArray, QByteArray>> txt;

    // The value of `key` in the TXT record; nothing when the key is absent.
    std::optional<QByteArray> txtValue(const QByteArray& key) const {
        for (const auto& [k, v] : txt) {
            if (k == key)
                return v;
        }
        return std::nullopt;
    }
};

class PresenceBrowser {
  public:
    virtual ~PresenceBrowser() = default;
    // Starts browsing for `type` ("_service._tcp"); false when it cannot start (no daemon).
    virtual bool browse(const QByteArray& type) = 0;
    // The full set of services found so far, after every change.
    std::function<void(const std::vector<PresenceResult>&)> onResultsChanged;
};

std::unique_ptr<PresenceBrowser> makePlatformPresenceBrowser();

}  // namespace velurio
