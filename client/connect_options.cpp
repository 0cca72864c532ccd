// How a client connects. See connect_options.h.
#include "client/connect_options.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include "protocol/tls_channel.h"

namespace dqp {

namespace {

struct CtxFree {
    void operator()(SSL_CTX *c) const { SSL_CTX_free(c); }
};

bool verifies(TlsMode mode) {
    return mode == TlsMode::VerifyCa || mode == TlsMode::VerifyFull;
}

// A client context for the options' files; null with *err naming the file.
std::unique_ptr<SSL_CTX, CtxFree> make_context(const TlsOptions &tls, std::string *err) {
    ERR_clear_error();
    std::unique_ptr<SSL_CTX, CtxFree> ctx(SSL_CTX_new(TLS_client_method()));
    if (ctx == nullptr) {
        *err = tls_error_text("cannot make a TLS context");
        return nullptr;
    }
    SSL_CTX *c = ctx.get();
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    SSL_CTX_set_options(c, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_clear_mode(c, SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_read_ahead(c, 1);  // one recv for what has arrived
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
    if (verifies(tls.mode)) {
        if (SSL_CTX_load_verify_locations(c, tls.ca_file.c_str(), nullptr) != 1) {
            *err = "cannot load the TLS CA file " + tls.ca_file + ": " +
                   tls_error_text("not a usable PEM file");
            return nullptr;
        }
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
    }
    if (!tls.cert_file.empty()) {
        if (SSL_CTX_use_certificate_chain_file(c, tls.cert_file.c_str()) != 1) {
            *err = "cannot load the TLS certificate file " + tls.cert_file + ": " +
                   tls_error_text("not a usable PEM file");
            return nullptr;
        }
        if (SSL_CTX_use_PrivateKey_file(c, tls.key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(c) != 1) {
            *err = "cannot load the TLS key file " + tls.key_file + ": " +
                   tls_error_text("it does not match the certificate");
            return nullptr;
        }
    }
    return ctx;
}

// The context for these options, made at the first use and then shared.
SSL_CTX *context_for(const TlsOptions &tls, std::string *err) {
    static std::mutex lock;
    static std::map<std::string, std::unique_ptr<SSL_CTX, CtxFree>> made;
    std::string key = std::string(verifies(tls.mode) ? "v|" : "n|") + tls.ca_file + "|" +
                      tls.cert_file + "|" + tls.key_file;
    std::lock_guard<std::mutex> hold(lock);
    auto it = made.find(key);
    if (it != made.end()) return it->second.get();
    auto ctx = make_context(tls, err);
    if (ctx == nullptr) return nullptr;
    return made.emplace(key, std::move(ctx)).first->second.get();
}

// Names the host the certificate must show (verify-full) and the server
// name sent (SNI, for names only).
int set_peer_name(SSL *ssl, const TlsOptions &tls, const std::string &connected, std::string *err) {
    const std::string &name = tls.host.empty() ? connected : tls.host;
    unsigned char ip[16];
    bool is_ip =
        inet_pton(AF_INET, name.c_str(), ip) == 1 || inet_pton(AF_INET6, name.c_str(), ip) == 1;
    if (!is_ip && !name.empty()) SSL_set_tlsext_host_name(ssl, name.c_str());
    if (tls.mode != TlsMode::VerifyFull) return 0;
    X509_VERIFY_PARAM *param = SSL_get0_param(ssl);
    int ok = is_ip ? X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str())
                   : X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size());
    if (ok != 1 || name.empty()) {
        *err = "cannot check the server's certificate for host \"" + name + "\"";
        return -1;
    }
    return 0;
}

}  // namespace

bool parse_tls_mode(const std::string &text, TlsMode *out) {
    static const std::pair<const char *, TlsMode> kModes[] = {{"disable", TlsMode::Disable},
                                                              {"prefer", TlsMode::Prefer},
                                                              {"require", TlsMode::Require},
                                                              {"verify-ca", TlsMode::VerifyCa},
                                                              {"verify-full", TlsMode::VerifyFull}};
    for (const auto &[name, mode] : kModes) {
        if (text == name) {
            *out = mode;
            return true;
        }
    }
    return false;
}

const char *tls_mode_name(TlsMode mode) {
    switch (mode) {
        case TlsMode::Prefer:
            return "prefer";
        case TlsMode::Require:
            return "require";
        case TlsMode::VerifyCa:
            return "verify-ca";
        case TlsMode::VerifyFull:
            return "verify-full";
        default:
            return "disable";
    }
}

int tls_options_from_env(TlsOptions *out, std::string *err) {
    if (const char *mode = getenv(kTlsModeEnv); mode != nullptr && *mode != '\0') {
        if (!parse_tls_mode(mode, &out->mode)) {
            *err = std::string(kTlsModeEnv) + " is \"" + mode +
                   "\": disable, prefer, require, verify-ca or verify-full";
            return -1;
        }
    }
    if (const char *v = getenv(kTlsRootCertEnv); v != nullptr && *v != '\0') out->ca_file = v;
    if (const char *v = getenv(kTlsCertEnv); v != nullptr && *v != '\0') out->cert_file = v;
    if (const char *v = getenv(kTlsKeyEnv); v != nullptr && *v != '\0') out->key_file = v;
    return 0;
}

int check_tls_options(const TlsOptions &tls, std::string *err) {
    if (verifies(tls.mode) && tls.ca_file.empty()) {
        *err = std::string("TLS mode ") + tls_mode_name(tls.mode) +
               " needs a CA file (--tls-ca or " + kTlsRootCertEnv + ")";
        return -1;
    }
    if (tls.cert_file.empty() != tls.key_file.empty()) {
        *err = "a TLS client certificate needs its key, and a key its certificate";
        return -1;
    }
    return 0;
}

int start_client_tls(int fd, const TlsOptions &tls, const std::string &host, int timeout_ms,
                     std::string *err) {
    if (tls.mode == TlsMode::Disable) return TLS_NOT_ASKED;
    if (check_tls_options(tls, err) != 0) return TLS_FAILED_START;
    SSL_CTX *ctx = context_for(tls, err);
    if (ctx == nullptr) return TLS_FAILED_START;
    channel_forget(fd);
    SSL *ssl = tls_new_session(ctx, fd, false, err);
    if (ssl == nullptr) return TLS_FAILED_START;
    if (set_peer_name(ssl, tls, host, err) != 0) {
        SSL_free(ssl);
        return TLS_FAILED_START;
    }
    if (channel_attach(fd, ssl) != 0) {
        *err = "descriptor out of range for TLS";
        return TLS_FAILED_START;
    }
    bool silent = false;
    std::string why;
    if (tls_handshake(fd, timeout_ms > 0 ? timeout_ms : 60000, &why, &silent) == 0)
        return TLS_STARTED;
    channel_detach(fd);
    if (silent) {
        *err =
            "the server does not offer TLS (it closed the connection at the TLS handshake; "
            "its NetServer \"tls\" is off)";
        return TLS_REFUSED;
    }
    *err = why;
    return TLS_FAILED_START;
}

}  // namespace dqp
