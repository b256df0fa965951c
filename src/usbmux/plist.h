// Property lists as the usbmuxd protocol carries them: an owning handle for libplist nodes and
// the few typed look-ups and builders the client and its stand-in need.
//
// A `Plist` owns its node tree and frees it when destroyed; look-ups return views or copies
// that never take ownership. A tree is used by one thread at a time.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace velurio {

struct PlistDeleter {
    void operator()(plist_t node) const noexcept { plist_free(node); }
};
using Plist = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistDeleter>;

namespace PlistValue {

Plist dictionary();
Plist array();
Plist string(std::string_view value);
Plist unsignedInteger(std::uint64_t value);

// Sets `key` of `dict` to `value`, replacing an earlier value; the dictionary takes ownership.
void set(plist_t dict, const char* key, Plist value);
void append(plist_t array, Plist value);

// The node's kind; false for a null handle.
bool isDictionary(plist_t node) noexcept;
bool isArray(plist_t node) noexcept;

// `key` of a dictionary when it holds a node of the asked kind; nullopt (or null) otherwise,
// also when `dict` is null or not a dictionary.
std::optional<std::string_view> stringForKey(plist_t dict, const char* key);
std::optional<std::uint64_t> integerForKey(plist_t dict, const char* key);
plist_t dictionaryForKey(plist_t dict, const char* key);
plist_t arrayForKey(plist_t dict, const char* key);

// The XML text of a node (libplist's own writer). Empty when the node cannot be written. The
// writer recurses once per nesting level: write only trees we built, never a parsed reply
// (parsing, look-ups and freeing are not recursive and take any depth a reply can hold).
std::string toXML(plist_t node);
// Parses an XML property list; null when the bytes are not one.
Plist fromXML(std::span<const std::uint8_t> bytes);

}  // namespace PlistValue
}  // namespace velurio
