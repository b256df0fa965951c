#include "platform/quic/quic_types.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>

namespace velurio {

namespace {

sockaddr_in asIpv4(const sockaddr_storage& storage) {
    sockaddr_in in{};
    std::memcpy(&in, &storage, sizeof(in));
    return in;
}

sockaddr_in6 asIpv6(const sockaddr_storage& storage) {
    sockaddr_in6 in6{};
    std::memcpy(&in6, &storage, sizeof(in6));
    return in6;
}

}  // namespace

QuicEndpoint::QuicEndpoint() {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    std::memcpy(&m_storage, &in, sizeof(in));
    m_length = sizeof(in);
}

QuicEndpoint QuicEndpoint::ipv4(std::array<std::uint8_t, 4> address, std::uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    std::memcpy(&in.sin_addr, address.data(), address.size());
    QuicEndpoint endpoint;
    std::memcpy(&endpoint.m_storage, &in, sizeof(in));
    endpoint.m_length = sizeof(in);
    return endpoint;
}

QuicEndpoint QuicEndpoint::ipv6(const std::array<std::uint8_t, 16>& address, std::uint16_t port,
                                std::uint32_t scopeId) {
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    in6.sin6_scope_id = scopeId;
    std::memcpy(&in6.sin6_addr, address.data(), address.size());
    QuicEndpoint endpoint;
    std::memset(&endpoint.m_storage, 0, sizeof(endpoint.m_storage));
    std::memcpy(&endpoint.m_storage, &in6, sizeof(in6));
    endpoint.m_length = sizeof(in6);
    return endpoint;
}

std::optional<QuicEndpoint> QuicEndpoint::parse(std::string_view address, std::uint16_t port) {
    const std::string text(address);
    std::array<std::uint8_t, 4> v4{};
    if (inet_pton(AF_INET, text.c_str(), v4.data()) == 1) {
        return ipv4(v4, port);
    }
    std::array<std::uint8_t, 16> v6{};
    if (inet_pton(AF_INET6, text.c_str(), v6.data()) == 1) {
        return ipv6(v6, port);
    }
    return std::nullopt;
}

std::optional<QuicEndpoint> QuicEndpoint::fromSockaddr(const sockaddr* address,
                                                       std::size_t length) {
    if (address == nullptr || length < sizeof(sa_family_t)) {
        return std::nullopt;
    }
    sa_family_t family = 0;
    std::memcpy(&family,
                reinterpret_cast<const std::uint8_t*>(address) + offsetof(sockaddr, sa_family),
                sizeof(family));
    QuicEndpoint endpoint;
    if (family == AF_INET && length >= sizeof(sockaddr_in)) {
        std::memcpy(&endpoint.m_storage, address, sizeof(sockaddr_in));
        endpoint.m_length = sizeof(sockaddr_in);
        return endpoint;
    }
    if (family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        std::memset(&endpoint.m_storage, 0, sizeof(endpoint.m_storage));
        std::memcpy(&endpoint.m_storage, address, sizeof(sockaddr_in6));
        endpoint.m_length = sizeof(sockaddr_in6);
        return endpoint;
    }
    return std::nullopt;
}

std::uint16_t QuicEndpoint::port() const noexcept {
    return ntohs(isIpv6() ? asIpv6(m_storage).sin6_port : asIpv4(m_storage).sin_port);
}

std::array<std::uint8_t, 16> QuicEndpoint::hostKey() const noexcept {
    std::array<std::uint8_t, 16> key{};
    if (isIpv6()) {
        const sockaddr_in6 in6 = asIpv6(m_storage);
        std::memcpy(key.data(), &in6.sin6_addr, key.size());
    } else {
        const sockaddr_in in = asIpv4(m_storage);
        key[10] = 0xff;
        key[11] = 0xff;
        std::memcpy(key.data() + 12, &in.sin_addr, 4);
    }
    return key;
}

std::string QuicEndpoint::toString() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (isIpv6()) {
        const sockaddr_in6 in6 = asIpv6(m_storage);
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof(text));
        return "[" + std::string(text) + "]:" + std::to_string(port());
    }
    const sockaddr_in in = asIpv4(m_storage);
    inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text));
    return std::string(text) + ":" + std::to_string(port());
}

bool operator==(const QuicEndpoint& a, const QuicEndpoint& b) noexcept {
    if (a.m_storage.ss_family != b.m_storage.ss_family || a.port() != b.port()) {
        return false;
    }
    if (a.isIpv6()) {
        const sockaddr_in6 x = asIpv6(a.m_storage);
        const sockaddr_in6 y = asIpv6(b.m_storage);
        return std::memcmp(&x.sin6_addr, &y.sin6_addr, sizeof(x.sin6_addr)) == 0 &&
               x.sin6_scope_id == y.sin6_scope_id;
    }
    return asIpv4(a.m_storage).sin_addr.s_addr == asIpv4(b.m_storage).sin_addr.s_addr;
}

}  // namespace velurio
