#include "app/identity/platform_keys.h"

#include "app/identity/identity_log.h"

#include <QFile>
#include <QStringDecoder>

namespace velurio::PlatformKeys {

namespace {

QString overrideFile() {
    return qEnvironmentVariable(kEnvironmentVariable);
}

Result<QString, ES256VerificationError> readText(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return fail(ES256VerificationError{ES256VerificationError::Kind::invalidKey, {}});
    }
    // A PEM file is a few hundred bytes; refuse anything absurd rather than read it all.
    const QByteArray bytes = file.read(64 * 1024);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError() || text.isEmpty()) {
        return fail(ES256VerificationError{ES256VerificationError::Kind::invalidKey, {}});
    }
    return text;
}

}  // namespace

Source source() {
    if (!overrideFile().isEmpty()) {
        return Source::environment;
    }
    if (QFile::exists(QString::fromLatin1(kResourcePath))) {
        return Source::embedded;
    }
    return Source::none;
}

Result<QString, ES256VerificationError> publicKeyPEM() {
    switch (source()) {
        case Source::environment:
            return readText(overrideFile());
        case Source::embedded:
            return readText(QString::fromLatin1(kResourcePath));
        case Source::none:
            break;
    }
    return fail(ES256VerificationError{ES256VerificationError::Kind::invalidKey, {}});
}

void logTrustAnchor() {
    switch (source()) {
        case Source::environment:
            qCWarning(lcIdentity,
                      "Velurio: ATENÇÃO: chave pública da plataforma lida de %s (variável %s, só "
                      "para desenvolvimento)",
                      qUtf8Printable(overrideFile()), kEnvironmentVariable);
            break;
        case Source::embedded:
            qCInfo(lcIdentity, "Velurio: chave pública da plataforma embutida no aplicativo");
            break;
        case Source::none:
            qCWarning(lcIdentity,
                      "Velurio: nenhuma chave pública da plataforma neste build; toda conexão de "
                      "iPad será recusada");
            break;
    }
}

}  // namespace velurio::PlatformKeys
