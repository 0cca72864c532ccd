// The server side's TLS settings and the OpenSSL context made from them.
//
// The master and every gateway read the same NetServer values: "tls" (off,
// allow, require), "tls_cert" and "tls_key" (PEM files), "tls_ca" and
// "tls_client_cert" (off, require: clients must show a certificate that
// tls_ca signed). A context is made once, at start (a gateway: before it
// signals that it listens, so a warm spare hands out no work but the
// handshake) and again at the master's reload; a context that cannot be made
// keeps the program from starting, or keeps the previous one at a reload,
// with a reason that names the file.
//
// The key file must be readable by its owner alone. The protocol floor is
// TLS 1.2. TLS 1.2 offers only forward-secret AEAD suites (ECDHE with
// AES-GCM or ChaCha20-Poly1305), not OpenSSL's default list with its CBC and
// SHA-1 suites; NetServer "tls_ciphers" replaces that list (OpenSSL's cipher
// list syntax), and a list OpenSSL can make nothing of stops the start or
// the reload, naming it. TLS 1.3's suites are all AEAD and stay OpenSSL's.
// Nothing here touches a socket.
//
// The master hands its gateways the PEM texts it loaded and checked, not the
// paths: it seals them into an anonymous memory file (memfd, sealed against
// any change) that each gateway inherits as kGatewayTlsFd, named in
// kGatewayTlsEnv. A key file whose mode or contents change after the master
// checked it then breaks no new session, and the key never lands in a file.
// A gateway started by hand reads the files itself.
#pragma once

#include <memory>
#include <string>

#include "support/unique_fd.h"

struct ssl_ctx_st;

namespace vnx {

enum class TlsServerMode { Off, Allow, Require };

// The TLS 1.2 suites offered unless NetServer "tls_ciphers" says otherwise.
inline constexpr const char *kDefaultTlsCiphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

struct TlsServerSettings {
    TlsServerMode mode = TlsServerMode::Off;
    std::string cert;  // PEM certificate (chain) path; needed unless Off
    std::string key;   // PEM private key path; needed unless Off
    std::string ca;    // PEM CA bundle for client certificates
    bool client_cert_required = false;
    std::string ciphers;  // TLS 1.2 cipher list ("tls_ciphers"); empty: kDefaultTlsCiphers
    bool operator==(const TlsServerSettings &) const = default;
};

// "off", "allow", "require" (any case); false for anything else.
bool parse_tls_server_mode(const std::string &text, TlsServerMode *out);
const char *tls_server_mode_name(TlsServerMode mode);

// Reads the NetServer values. 0, or -1 with *why naming the malformed value
// (an empty value is its default).
[[nodiscard]] int read_tls_settings(TlsServerSettings *out, std::string *why);

// Owns an SSL_CTX.
struct SslCtxFree {
    void operator()(ssl_ctx_st *ctx) const;
};
using SslCtxPtr = std::shared_ptr<ssl_ctx_st>;

// The server context for settings that are not Off: certificate and key
// loaded and matched, the CA loaded when client certificates are required.
// Null with *why naming the file and the cause when a file is missing,
// unreadable, malformed, the key does not match, or the key file is readable
// by group or others (*hint then says how to mend it).
SslCtxPtr make_server_context(const TlsServerSettings &settings, std::string *why,
                              std::string *hint = nullptr);

// The PEM texts a server context is made from.
struct TlsMaterial {
    std::string cert;  // the certificate, then its chain
    std::string key;   // the private key
    std::string ca;    // the CA bundle; empty unless client certificates are required
};

// Reads the files settings name, with the checks make_server_context makes
// (present, readable, the key file readable by its owner alone, no file
// above kMaxTlsFileBytes). 0, or -1 with *why naming the file (and *hint).
inline constexpr size_t kMaxTlsFileBytes = 4u << 20;
[[nodiscard]] int read_tls_material(const TlsServerSettings &settings, TlsMaterial *out,
                                    std::string *why, std::string *hint = nullptr);

// The server context from texts already read; messages name settings' paths.
// Null with *why when a text is malformed, the key does not match the
// certificate, or the CA bundle holds no certificate.
SslCtxPtr make_server_context(const TlsServerSettings &settings, const TlsMaterial &material,
                              std::string *why, std::string *hint = nullptr);

// The descriptor a gateway inherits the master's sealed TLS texts as, and the
// environment variable through which the master says they are there.
inline constexpr int kGatewayTlsFd = 4;
inline constexpr const char *kGatewayTlsEnv = "VNX_GATEWAY_TLS";

// Master: material in a new sealed memory file, close-on-exec and above
// kGatewayTlsFd (so that placing it there in a child clears close-on-exec).
// 0, or -1 with *why.
[[nodiscard]] int seal_tls_material(const TlsMaterial &material, UniqueFd *out, std::string *why);

// Reads the texts back from a sealed memory file (never moving its offset,
// which every gateway shares). 0, or -1 with *why when fd is not such a file
// or its contents are malformed.
[[nodiscard]] int read_sealed_tls_material(int fd, TlsMaterial *out, std::string *why);

// Gateway: 1 with the texts the master passed (kGatewayTlsFd, closed then),
// 0 when the master passed none (the files are read), -1 with *why when it
// said it did but the descriptor holds no readable material.
[[nodiscard]] int inherited_tls_material(TlsMaterial *out, std::string *why);

// Runs one handshake of ctx against a client of this process in memory: the
// algorithm look-ups and tables that OpenSSL fills at a process's first
// handshake are then ready, and a client's handshake costs only itself.
void warm_tls_context(ssl_ctx_st *ctx);

// A text that changes when the settings or the files they name change
// (device, inode, size, modification time): the master retires its spares
// when it does.
std::string tls_fingerprint(const TlsServerSettings &settings);

}  // namespace vnx
