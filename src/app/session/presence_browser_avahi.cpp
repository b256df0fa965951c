#include "app/session/presence_browser.h"
#include "platform/avahi/avahi_service_browser.h"

#include <QLoggingCategory>

#include <map>

namespace velurio {

namespace {

Q_LOGGING_CATEGORY(lcPresence, "velurio.session.presence")

// Keeps every service resolved so far, by name (a service resolved again replaces its entry).
class AvahiPresenceBrowser final : public PresenceBrowser {
  public:
    AvahiPresenceBrowser() {
        m_finder.onFound = [this](const AvahiServiceFinder::Found& found) {
            m_results[found.name] = PresenceResult{found.name, found.txt};
            if (!onResultsChanged)
                return;
            std::vector<PresenceResult> all;
            all.reserve(m_results.size());
            for (const auto& [name, result] : m_results) {
                all.push_back(result);
            }
            onResultsChanged(all);
        };
        m_finder.onError = [](const QString& description) {
            qCWarning(lcPresence).noquote() << "presence browsing failed:" << description;
        };
    }
    bool browse(const QByteArray& type) override { return m_finder.browse(type); }

  private:
    AvahiServiceFinder m_finder;
    std::map<QString, PresenceResult> m_results;
};

}  // namespace

std::unique_ptr<PresenceBrowser> makePlatformPresenceBrowser() {
    return std::make_unique<AvahiPresenceBrowser>();
}

}  // namespace velurio
