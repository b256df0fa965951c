// The platform's access and refresh tokens, kept across launches in the secret store as two
// items of the service "com.velurio.web.tokens" (accounts "access" and "refresh").
//
// Stateless: every call goes to the store. Store errors are never reported: a failed read is
// a missing token, a failed write leaves the previous value in place (writes replace in one
// step). The caller keeps its in-memory tokens regardless. Never logs a token.
#pragma once

#include "platform/keychain/secret_store.h"

#include <QCoroTask>
#include <QString>

#include <optional>

namespace velurio {

class AuthStore {
  public:
    struct Tokens {
        QString accessToken;
        QString refreshToken;
        friend bool operator==(const Tokens&, const Tokens&) = default;
    };

    static constexpr const char* kService = "com.velurio.web.tokens";
    static constexpr const char* kAccessAccount = "access";
    static constexpr const char* kRefreshAccount = "refresh";

    // The pair exists only when both tokens are stored and are valid UTF-8; "refresh" is read
    // only when "access" was found.
    static QCoro::Task<std::optional<Tokens>> load(SecretStore& store);
    // "access" first, then "refresh".
    static QCoro::Task<void> save(SecretStore& store, Tokens tokens);
    // Removes "access", then "refresh". Harmless when nothing is stored.
    static QCoro::Task<void> clear(SecretStore& store);

  private:
    static QCoro::Task<std::optional<QString>> read(SecretStore& store, QString account);
    static QCoro::Task<void> upsert(SecretStore& store, QString account, QString value);
};

}  // namespace velurio
