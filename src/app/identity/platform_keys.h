// The platform's ES256 public key: the trust anchor for device attestations.
//
// It is a build input: CMake's VELURIO_PLATFORM_PUBKEY embeds the operator's PEM file as the
// resource ":/velurio/platform-pubkey.pem". A build without it has no key: publicKeyPEM()
// fails and every hello is rejected. For development only, the environment variable
// VELURIO_PLATFORM_PUBKEY_FILE names another PEM file; its use is logged loudly. No persisted
// setting can change the key.
#pragma once

#include "core/es256_verifier.h"
#include "protocol/result.h"

#include <QString>

namespace velurio::PlatformKeys {

inline constexpr char kResourcePath[] = ":/velurio/platform-pubkey.pem";
inline constexpr char kEnvironmentVariable[] = "VELURIO_PLATFORM_PUBKEY_FILE";

enum class Source { environment, embedded, none };

// Where publicKeyPEM() reads from right now.
Source source();

// The PEM text, from the development file when the variable is set, else from the embedded
// resource. invalidKey when there is none or it cannot be read (a set but unreadable
// development file does not fall back to the embedded key).
Result<QString, ES256VerificationError> publicKeyPEM();

// One log line at start saying which trust anchor is in force (a warning when none is, or
// when the development override is used).
void logTrustAnchor();

}  // namespace velurio::PlatformKeys
