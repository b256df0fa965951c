#include "platform/quic/quic_client_engine.h"

#include "platform/quic/quic_engine_core.h"

#include <gnutls/crypto.h>

#include <utility>

namespace velurio {

namespace {

constexpr std::size_t kClientConnectionIdLength = 8;
// The server's first id is chosen by the client: long enough to seed the Initial keys well.
constexpr std::size_t kInitialDcidLength = 16;

}  // namespace

QuicClientEngine::QuicClientEngine(std::unique_ptr<QuicEngineCore> core)
    : QuicEngine(std::move(core)) {}

QuicClientEngine::~QuicClientEngine() = default;

Result<std::unique_ptr<QuicClientEngine>, std::string> QuicClientEngine::create(
    QuicClientConfig config) {
    auto tls = QuicTlsContext::forClient();
    if (!tls) {
        return fail(tls.error());
    }
    // Clients issue no Retry tokens; their reset tokens only need to be unguessable.
    QuicEngineCore::Secret secret{};
    if (gnutls_rnd(GNUTLS_RND_KEY, secret.data(), secret.size()) != 0) {
        return fail(std::string("no random bytes for the stateless secret"));
    }
    const QuicConnectionLimits limits{config.streamSendBufferBytes, config.streamReceiveWindowBytes,
                                      config.connectionReceiveWindowBytes, config.handshakeTimeout,
                                      config.initialRtt};
    auto core =
        std::make_unique<QuicEngineCore>(std::move(tls).value(), limits, kClientConnectionIdLength,
                                         secret, std::move(config.debugLog));
    return std::unique_ptr<QuicClientEngine>(new QuicClientEngine(std::move(core)));
}

Result<QuicConnectionHandle, std::string> QuicClientEngine::connect(
    const QuicConnectOptions& options, QuicTime now) {
    if (options.alpn.empty() || options.alpn.size() > 255) {
        return fail("invalid ALPN name \"" + options.alpn + "\"");
    }
    QuicConnection::ClientSetup setup;
    setup.dcid.datalen = kInitialDcidLength;
    (void)gnutls_rnd(GNUTLS_RND_NONCE, setup.dcid.data, setup.dcid.datalen);
    setup.scid = core().freshConnectionId();
    setup.alpn = options.alpn;
    setup.maxDatagramFrameSize = options.maxDatagramFrameSize;
    setup.idleTimeout = options.idleTimeout;
    setup.keepAlive = options.keepAlive.value_or(std::chrono::milliseconds(0));
    auto created =
        QuicConnection::createClient(core(), core().nextHandle(), core().tls(), core().limits(),
                                     setup, options.local, options.remote, now);
    if (!created) {
        return fail(created.error());
    }
    QuicConnection& connection = core().adopt(std::move(created).value());
    core().route(setup.scid, connection);
    const QuicConnectionHandle handle = connection.handle();
    connection.start(now);
    core().sweep();
    return handle;
}

Result<std::int64_t, QuicStreamOpenError> QuicClientEngine::openBidiStream(
    QuicConnectionHandle connection) {
    QuicConnection* found = core().find(connection);
    if (found == nullptr) {
        return fail(QuicStreamOpenError::noConnection);
    }
    return found->openBidiStream();
}

}  // namespace velurio
