#include "app/identity/auth_store.h"

#include <QStringDecoder>

namespace velurio {

QCoro::Task<std::optional<QString>> AuthStore::read(SecretStore& store, QString account) {
    const auto result = co_await store.read(QString::fromLatin1(kService), account);
    if (result.status != SecretStore::ReadStatus::found) {
        co_return std::nullopt;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(result.data);
    if (decoder.hasError()) {
        co_return std::nullopt;
    }
    co_return text;
}

QCoro::Task<void> AuthStore::upsert(SecretStore& store, QString account, QString value) {
    // The result is deliberately dropped: the caller keeps its tokens in memory either way.
    co_await store.write(QString::fromLatin1(kService), account, value.toUtf8());
}

QCoro::Task<std::optional<AuthStore::Tokens>> AuthStore::load(SecretStore& store) {
    auto access = co_await read(store, QString::fromLatin1(kAccessAccount));
    if (!access) {
        co_return std::nullopt;
    }
    auto refresh = co_await read(store, QString::fromLatin1(kRefreshAccount));
    if (!refresh) {
        co_return std::nullopt;
    }
    co_return Tokens{std::move(*access), std::move(*refresh)};
}

QCoro::Task<void> AuthStore::save(SecretStore& store, Tokens tokens) {
    co_await upsert(store, QString::fromLatin1(kAccessAccount), tokens.accessToken);
    co_await upsert(store, QString::fromLatin1(kRefreshAccount), tokens.refreshToken);
}

QCoro::Task<void> AuthStore::clear(SecretStore& store) {
    co_await store.remove(QString::fromLatin1(kService), QString::fromLatin1(kAccessAccount));
    co_await store.remove(QString::fromLatin1(kService), QString::fromLatin1(kRefreshAccount));
}

}  // namespace velurio
