// The store contract and the identity layer against a real secret service (gnome-keyring on
// the private session bus that scripts/with-services starts), through QtKeychain.
#include "platform/keychain/keychain_secret_store.h"
#include "store_contract_tests.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace velurio::test {
namespace {

std::unique_ptr<SecretStore> makeKeychainStore() {
    return std::make_unique<KeychainSecretStore>();
}

INSTANTIATE_TEST_SUITE_P(Keychain, StoreContract,
                         ::testing::Values(StoreParam{"keychain", makeKeychainStore}),
                         [](const auto&) { return std::string("keychain"); });

TEST(SecretStoreChoice, ARunningSecretServiceIsChosen) {
    ensureApplication();
    ASSERT_FALSE(qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        << "run under scripts/with-services (session bus and keyring)";
    EXPECT_EQ(probeSecretService(), SecretServiceAvailability::available);
    LogCapture log;
    const auto store = makeSecretStore();
    EXPECT_EQ(store->backendName(), QStringLiteral("keychain"));
    EXPECT_TRUE(log.contains(QStringLiteral("chaveiro do sistema")));
}

}  // namespace
}  // namespace velurio::test

namespace velurio::test {
namespace {

// Counts the secret service's items for one token account, as another client sees them.
int itemsFor(const char* account) {
    const std::string command = std::string("secret-tool search --all server ") +
                                AuthStore::kService + " user " + account + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    int count = 0;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        count += std::string_view(line).starts_with("[/") ? 1 : 0;
    }
    ::pclose(pipe);
    return count;
}

TEST(KeychainAuthStore, SavingTwiceLeavesOneItemPerAccount) {
    ensureApplication();
    KeychainSecretStore store;
    await(AuthStore::save(store, {QStringLiteral("a1"), QStringLiteral("r1")}));
    await(AuthStore::save(store, {QStringLiteral("a2"), QStringLiteral("r2")}));
    EXPECT_EQ(itemsFor(AuthStore::kAccessAccount), 1);
    EXPECT_EQ(itemsFor(AuthStore::kRefreshAccount), 1);
    EXPECT_EQ(await(AuthStore::load(store)),
              (AuthStore::Tokens{QStringLiteral("a2"), QStringLiteral("r2")}));
    await(AuthStore::clear(store));
    EXPECT_EQ(itemsFor(AuthStore::kAccessAccount), 0);
    EXPECT_EQ(itemsFor(AuthStore::kRefreshAccount), 0);
}

}  // namespace
}  // namespace velurio::test
