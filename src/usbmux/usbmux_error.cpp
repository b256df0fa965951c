#include "usbmux/usbmux_error.h"

namespace velurio {

namespace {
class PlistErrorCategory final : public std::error_category {
  public:
    const char* name() const noexcept override { return "plist"; }
    std::string message(int value) const override {
        if (value == static_cast<int>(PlistError::notPropertyList)) {
            return "not a property list";
        }
        return "unknown property-list error";
    }
};
}  // namespace

const std::error_category& plistErrorCategory() noexcept {
    static const PlistErrorCategory category;
    return category;
}

std::error_code make_error_code(PlistError error) noexcept {
    return {static_cast<int>(error), plistErrorCategory()};
}

USBMuxError USBMuxError::posix(int errnoValue, std::string detail) {
    return {std::error_code(errnoValue, std::generic_category()), std::move(detail), std::nullopt};
}

bool USBMuxError::is(int errnoValue) const noexcept {
    return code == std::error_code(errnoValue, std::generic_category());
}

std::string USBMuxError::message() const {
    std::string text = code.message();
    if (!detail.empty()) {
        text += ": ";
        text += detail;
    }
    return text;
}

}  // namespace velurio
