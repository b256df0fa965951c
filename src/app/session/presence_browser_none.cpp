#include "app/session/presence_browser.h"

namespace velurio {

namespace {

// A build without DNS-SD: nothing is ever found.
class NoPresenceBrowser final : public PresenceBrowser {
  public:
    bool browse(const QByteArray&) override { return false; }
};

}  // namespace

std::unique_ptr<PresenceBrowser> makePlatformPresenceBrowser() {
    return std::make_unique<NoPresenceBrowser>();
}

}  // namespace velurio
