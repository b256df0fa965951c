// GnuTLS for the QUIC engines: the server's certificate and key (PEM), the client's empty
// credentials, and one TLS 1.3 session per connection prepared for QUIC by ngtcp2's GnuTLS
// helper.
//
// The client does not verify the server's certificate or name: peers authenticate each other
// with the attestation tokens exchanged over the connection, not with TLS certificates, and a
// host's certificate is self-signed. TLS still encrypts and protects the connection.
//
// Threads: the engine's thread. Lifetime: a context outlives every session made from it.
#pragma once

#include "protocol/result.h"

#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2_crypto.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velurio {

struct GnutlsSessionDeleter {
    void operator()(gnutls_session_t session) const noexcept { gnutls_deinit(session); }
};
using GnutlsSession = std::unique_ptr<gnutls_session_int, GnutlsSessionDeleter>;
struct GnutlsCredentialsDeleter {
    void operator()(gnutls_certificate_credentials_t credentials) const noexcept {
        gnutls_certificate_free_credentials(credentials);
    }
};
using GnutlsCredentials =
    std::unique_ptr<gnutls_certificate_credentials_st, GnutlsCredentialsDeleter>;
struct GnutlsPriorityDeleter {
    void operator()(gnutls_priority_t priority) const noexcept { gnutls_priority_deinit(priority); }
};
using GnutlsPriority = std::unique_ptr<gnutls_priority_st, GnutlsPriorityDeleter>;

class QuicTlsContext {
  public:
    // Fails with GnuTLS's description when the PEM texts do not hold a certificate and its key,
    // or when an ALPN name is empty or longer than 255 bytes.
    static Result<std::unique_ptr<QuicTlsContext>, std::string> forServer(
        std::string_view certificatePem, std::string_view privateKeyPem,
        const std::vector<std::string>& alpns);
    static Result<std::unique_ptr<QuicTlsContext>, std::string> forClient();

    // A session offering (client) or accepting (server, in the order given at creation) the
    // ALPN names, which ngtcp2's helper finds the connection of through `connectionRef`.
    Result<GnutlsSession, std::string> newSession(ngtcp2_crypto_conn_ref* connectionRef,
                                                  const std::vector<std::string>& alpns) const;
    const std::vector<std::string>& serverAlpns() const noexcept { return m_alpns; }

  private:
    QuicTlsContext(bool server, GnutlsCredentials credentials, GnutlsPriority priority)
        : m_server(server),
          m_credentials(std::move(credentials)),
          m_priority(std::move(priority)) {}

    bool m_server;
    GnutlsCredentials m_credentials;
    GnutlsPriority m_priority;
    std::vector<std::string> m_alpns;
};

}  // namespace velurio
