#include "platform/avahi/avahi_service_browser.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>

namespace velurio {

namespace {

void resolved(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
              const char* name, const char*, const char*, const char*, const AvahiAddress* address,
              uint16_t port, AvahiStringList* txt, AvahiLookupResultFlags, void* userdata) {
    auto* finder = static_cast<AvahiServiceFinder*>(userdata);
    if (event == AVAHI_RESOLVER_FOUND && address != nullptr && finder->onFound) {
        AvahiServiceFinder::Found found;
        found.name = QString::fromUtf8(name);
        char text[AVAHI_ADDRESS_STR_MAX] = {};
        avahi_address_snprint(text, sizeof text, address);
        found.address = QString::fromUtf8(text);
        found.port = port;
        // The parsed list is in reverse wire order.
        for (AvahiStringList* item = txt; item != nullptr;
             item = avahi_string_list_get_next(item)) {
            char* key = nullptr;
            char* value = nullptr;
            size_t size = 0;
            if (avahi_string_list_get_pair(item, &key, &value, &size) == 0) {
                found.txt.insert(found.txt.begin(),
                                 {QByteArray(key),
                                  value != nullptr ? QByteArray(value, static_cast<qsizetype>(size))
                                                   : QByteArray()});
                avahi_free(key);
                avahi_free(value);
            }
        }
        finder->onFound(found);
    }
    avahi_service_resolver_free(resolver);
}

void browsed(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
             AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
             AvahiLookupResultFlags, void* userdata) {
    if (event != AVAHI_BROWSER_NEW) {
        return;
    }
    AvahiClient* client = avahi_service_browser_get_client(browser);
    avahi_service_resolver_new(client, interface, protocol, name, type, domain, AVAHI_PROTO_UNSPEC,
                               static_cast<AvahiLookupFlags>(0), &resolved, userdata);
}

}  // namespace

AvahiServiceFinder::AvahiServiceFinder() = default;

AvahiServiceFinder::~AvahiServiceFinder() {
    if (m_client != nullptr) {
        avahi_client_free(m_client);  // frees the browser and resolvers
    }
}

bool AvahiServiceFinder::browse(const QByteArray& type) {
    int error = 0;
    if (m_client == nullptr) {
        m_client = avahi_client_new(m_poll.poll(), static_cast<AvahiClientFlags>(0), nullptr,
                                    nullptr, &error);
    }
    if (m_client == nullptr) {
        if (onError) {
            onError(QString::fromUtf8(avahi_strerror(error)));
        }
        return false;
    }
    m_browser =
        avahi_service_browser_new(m_client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type.constData(),
                                  nullptr, static_cast<AvahiLookupFlags>(0), &browsed, this);
    if (m_browser == nullptr) {
        if (onError) {
            onError(QString::fromUtf8(avahi_strerror(avahi_client_errno(m_client))));
        }
        return false;
    }
    return true;
}

}  // namespace velurio
