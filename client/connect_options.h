// How a client connects: the options a program (dqpsh, vnxadmin, a language
// binding) fills once and hands to every connection of a session, the port
// request on the base port and the session on the gateway port alike.
//
// TLS modes, with libpq's meanings:
//   disable     plain DQP;
//   prefer      TLS when the server offers it, else plain (the server closes
//               a TLS attempt when its NetServer "tls" is off; the client
//               then connects again, plain);
//   require     TLS, the server's certificate not checked;
//   verify-ca   TLS, the certificate checked against ca_file;
//   verify-full verify-ca, and the certificate must name the host (a DNS
//               name or an IP address; `host`, else the host connected to).
// A client certificate (cert_file, key_file) is sent when given.
//
// The environment gives the defaults: VNX_TLSMODE, VNX_TLSROOTCERT,
// VNX_TLSCERT, VNX_TLSKEY; without them the mode is disable, so a program
// that sets nothing connects exactly as before TLS existed.
//
// Contexts are made once per distinct set of files and kept for the life of
// the process (thread-safe); a connection costs only its handshake.
#pragma once

#include <string>

#include "client/export.h"

namespace dqp {

enum class TlsMode { Disable, Prefer, Require, VerifyCa, VerifyFull };

struct TlsOptions {
    TlsMode mode = TlsMode::Disable;
    std::string ca_file;    // PEM CA bundle; needed by verify-ca and verify-full
    std::string cert_file;  // PEM client certificate (chain); optional
    std::string key_file;   // its PEM key; needed with cert_file
    std::string host;       // name verify-full checks; empty: the host connected to
};

struct ConnectOptions {
    TlsOptions tls;
    // Bounds the connect's TLS handshake and every later receive (0: no bound).
    int timeout_ms = 30000;
};

// "disable", "prefer", "require", "verify-ca", "verify-full"; false for
// anything else.
VARNEX_API bool parse_tls_mode(const std::string &text, TlsMode *out);
VARNEX_API const char *tls_mode_name(TlsMode mode);

// Environment variables for the TLS options.
inline constexpr const char *kTlsModeEnv = "VNX_TLSMODE";
inline constexpr const char *kTlsRootCertEnv = "VNX_TLSROOTCERT";
inline constexpr const char *kTlsCertEnv = "VNX_TLSCERT";
inline constexpr const char *kTlsKeyEnv = "VNX_TLSKEY";

// Overwrites the fields of *out whose variable is set. 0, or -1 with *err
// when VNX_TLSMODE is not a mode.
[[nodiscard]] VARNEX_API int tls_options_from_env(TlsOptions *out, std::string *err);

// The options checked for use: verify modes need ca_file, a certificate
// needs its key. 0, or -1 with *err.
[[nodiscard]] VARNEX_API int check_tls_options(const TlsOptions &tls, std::string *err);

// Outcomes of start_client_tls.
inline constexpr int TLS_STARTED = 0;    // fd now carries TLS
inline constexpr int TLS_NOT_ASKED = 1;  // mode disable: fd stays plain
inline constexpr int TLS_REFUSED = -2;   // the server does not offer TLS (closed at once)
inline constexpr int TLS_FAILED_START = -1;

// Starts TLS on the connected socket fd to `host` as tls says, waiting at
// most timeout_ms (0: 60 s) for the handshake. TLS_STARTED,
// TLS_NOT_ASKED, or TLS_REFUSED / TLS_FAILED_START with *err; fd is then
// unusable.
[[nodiscard]] VARNEX_API int start_client_tls(int fd, const TlsOptions &tls,
                                              const std::string &host, int timeout_ms,
                                              std::string *err);

}  // namespace dqp
