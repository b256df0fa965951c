#include "usbmux/plist.h"

#include <limits>
#include <string>

namespace velurio::PlistValue {

Plist dictionary() {
    return Plist(plist_new_dict());
}
Plist array() {
    return Plist(plist_new_array());
}

Plist string(std::string_view value) {
    // libplist copies a NUL-terminated text.
    const std::string copy(value);
    return Plist(plist_new_string(copy.c_str()));
}

Plist unsignedInteger(std::uint64_t value) {
    return Plist(plist_new_uint(value));
}

void set(plist_t dict, const char* key, Plist value) {
    plist_dict_set_item(dict, key, value.release());
}

void append(plist_t array, Plist value) {
    plist_array_append_item(array, value.release());
}

bool isDictionary(plist_t node) noexcept {
    return node != nullptr && plist_get_node_type(node) == PLIST_DICT;
}

bool isArray(plist_t node) noexcept {
    return node != nullptr && plist_get_node_type(node) == PLIST_ARRAY;
}

namespace {
plist_t itemOfType(plist_t dict, const char* key, plist_type type) {
    if (!isDictionary(dict))
        return nullptr;
    plist_t item = plist_dict_get_item(dict, key);
    if (item == nullptr || plist_get_node_type(item) != type)
        return nullptr;
    return item;
}
}  // namespace

std::optional<std::string_view> stringForKey(plist_t dict, const char* key) {
    plist_t item = itemOfType(dict, key, PLIST_STRING);
    if (item == nullptr)
        return std::nullopt;
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(item, &length);
    if (text == nullptr)
        return std::nullopt;
    return std::string_view(text, static_cast<std::size_t>(length));
}

std::optional<std::uint64_t> integerForKey(plist_t dict, const char* key) {
    plist_t item = itemOfType(dict, key, PLIST_UINT);
    if (item == nullptr)
        return std::nullopt;
    std::uint64_t value = 0;
    plist_get_uint_val(item, &value);
    return value;
}

plist_t dictionaryForKey(plist_t dict, const char* key) {
    return itemOfType(dict, key, PLIST_DICT);
}

plist_t arrayForKey(plist_t dict, const char* key) {
    return itemOfType(dict, key, PLIST_ARRAY);
}

std::string toXML(plist_t node) {
    if (node == nullptr)
        return {};
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    if (xml == nullptr)
        return {};
    std::string text(xml, length);
    plist_to_xml_free(xml);
    return text;
}

Plist fromXML(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max())
        return nullptr;
    plist_t node = nullptr;
    plist_from_xml(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::uint32_t>(bytes.size()), &node);
    return Plist(node);
}

}  // namespace velurio::PlistValue
