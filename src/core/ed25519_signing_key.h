// An Ed25519 signing key held in memory, created at random or from its 32-byte raw form.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

struct evp_pkey_st;

namespace velurio {

class Ed25519SigningKey {
  public:
    static constexpr std::size_t kRawSize = 32;

    // Nothing only if the system's random generator fails.
    static std::optional<Ed25519SigningKey> generate();
    // Exactly 32 bytes; any other length gives nothing.
    static std::optional<Ed25519SigningKey> fromRawRepresentation(
        std::span<const std::uint8_t> raw);

    std::array<std::uint8_t, kRawSize> rawRepresentation() const;
    std::array<std::uint8_t, kRawSize> publicKeyRawRepresentation() const;
    std::array<std::uint8_t, 64> sign(std::span<const std::uint8_t> message) const;
    // Verification with a raw 32-byte public key.
    static bool verify(std::span<const std::uint8_t> publicKey,
                       std::span<const std::uint8_t> message,
                       std::span<const std::uint8_t> signature);

  private:
    explicit Ed25519SigningKey(std::shared_ptr<evp_pkey_st> key) : m_key(std::move(key)) {}
    std::shared_ptr<evp_pkey_st> m_key;
};

}  // namespace velurio
