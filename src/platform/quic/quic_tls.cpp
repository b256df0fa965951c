#include "platform/quic/quic_tls.h"

#include <ngtcp2/ngtcp2_crypto_gnutls.h>

#include <utility>

namespace velurio {

namespace {

// TLS 1.3 only, with the AEADs QUIC defines, and no middlebox compatibility records (QUIC has
// no ChangeCipherSpec).
constexpr const char* kPriority =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+AES-128-GCM:+AES-256-GCM:+CHACHA20-POLY1305:"
    "+AES-128-CCM:%DISABLE_TLS13_COMPAT_MODE";

std::string describe(const char* what, int code) {
    return std::string(what) + ": " + gnutls_strerror(code);
}

gnutls_datum_t datum(std::string_view text) {
    return gnutls_datum_t{reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
                          static_cast<unsigned int>(text.size())};
}

Result<GnutlsPriority, std::string> makePriority() {
    gnutls_priority_t priority = nullptr;
    if (const int rv = gnutls_priority_init(&priority, kPriority, nullptr);
        rv != GNUTLS_E_SUCCESS) {
        return fail(describe("gnutls_priority_init", rv));
    }
    return GnutlsPriority(priority);
}

Result<GnutlsCredentials, std::string> makeCredentials() {
    gnutls_certificate_credentials_t credentials = nullptr;
    if (const int rv = gnutls_certificate_allocate_credentials(&credentials);
        rv != GNUTLS_E_SUCCESS) {
        return fail(describe("gnutls_certificate_allocate_credentials", rv));
    }
    return GnutlsCredentials(credentials);
}

}  // namespace

Result<std::unique_ptr<QuicTlsContext>, std::string> QuicTlsContext::forServer(
    std::string_view certificatePem, std::string_view privateKeyPem,
    const std::vector<std::string>& alpns) {
    if (alpns.empty()) {
        return fail(std::string("no ALPN name"));
    }
    for (const std::string& alpn : alpns) {
        if (alpn.empty() || alpn.size() > 255) {
            return fail("invalid ALPN name \"" + alpn + "\"");
        }
    }
    auto credentials = makeCredentials();
    if (!credentials) {
        return fail(credentials.error());
    }
    const gnutls_datum_t certificate = datum(certificatePem);
    const gnutls_datum_t key = datum(privateKeyPem);
    if (const int rv = gnutls_certificate_set_x509_key_mem2(credentials->get(), &certificate, &key,
                                                            GNUTLS_X509_FMT_PEM, nullptr, 0);
        rv < 0) {
        return fail(describe("certificate and key", rv));
    }
    auto priority = makePriority();
    if (!priority) {
        return fail(priority.error());
    }
    std::unique_ptr<QuicTlsContext> context(
        new QuicTlsContext(true, std::move(credentials).value(), std::move(priority).value()));
    context->m_alpns = alpns;
    return context;
}

Result<std::unique_ptr<QuicTlsContext>, std::string> QuicTlsContext::forClient() {
    auto credentials = makeCredentials();
    if (!credentials) {
        return fail(credentials.error());
    }
    auto priority = makePriority();
    if (!priority) {
        return fail(priority.error());
    }
    return std::unique_ptr<QuicTlsContext>(
        new QuicTlsContext(false, std::move(credentials).value(), std::move(priority).value()));
}

Result<GnutlsSession, std::string> QuicTlsContext::newSession(
    ngtcp2_crypto_conn_ref* connectionRef, const std::vector<std::string>& alpns) const {
    // No session tickets and no early data: every connection is a full handshake.
    const unsigned flags = (m_server ? unsigned{GNUTLS_SERVER} : unsigned{GNUTLS_CLIENT}) |
                           unsigned{GNUTLS_NO_TICKETS} | unsigned{GNUTLS_NO_END_OF_EARLY_DATA};
    gnutls_session_t raw = nullptr;
    if (const int rv = gnutls_init(&raw, flags); rv != GNUTLS_E_SUCCESS) {
        return fail(describe("gnutls_init", rv));
    }
    GnutlsSession session(raw);
    const int configured = m_server ? ngtcp2_crypto_gnutls_configure_server_session(raw)
                                    : ngtcp2_crypto_gnutls_configure_client_session(raw);
    if (configured != 0) {
        return fail(std::string("ngtcp2 could not prepare the TLS session"));
    }
    if (const int rv = gnutls_priority_set(raw, m_priority.get()); rv != GNUTLS_E_SUCCESS) {
        return fail(describe("gnutls_priority_set", rv));
    }
    if (const int rv = gnutls_credentials_set(raw, GNUTLS_CRD_CERTIFICATE, m_credentials.get());
        rv != GNUTLS_E_SUCCESS) {
        return fail(describe("gnutls_credentials_set", rv));
    }
    std::vector<gnutls_datum_t> names;
    names.reserve(alpns.size());
    for (const std::string& alpn : alpns) {
        names.push_back(datum(alpn));
    }
    unsigned alpnFlags = GNUTLS_ALPN_MANDATORY;
    if (m_server) {
        alpnFlags |= GNUTLS_ALPN_SERVER_PRECEDENCE;
    }
    if (const int rv = gnutls_alpn_set_protocols(raw, names.data(),
                                                 static_cast<unsigned>(names.size()), alpnFlags);
        rv != GNUTLS_E_SUCCESS) {
        return fail(describe("gnutls_alpn_set_protocols", rv));
    }
    gnutls_session_set_ptr(raw, connectionRef);
    return session;
}

}  // namespace velurio
