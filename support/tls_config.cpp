// The server side's TLS settings and context. See tls_config.h.
#include "support/tls_config.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "support/config_cache.h"
#include "support/settings_catalog.h"

namespace vnx {

namespace {

// The OpenSSL error queue's nearest cause, emptied.
std::string openssl_reason() {
    std::string text;
    while (unsigned long e = ERR_get_error()) {
        const char *reason = ERR_reason_error_string(e);
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        text = reason != nullptr ? reason : buf;
    }
    return text.empty() ? "not a usable PEM file" : text;
}

// 0 when path can be opened for reading, else -1 with *why.
int check_readable(const char *what, const std::string &path, std::string *why) {
    if (path.empty()) {
        *why = std::string("NetServer \"") + what + "\" is empty: TLS needs it";
        return -1;
    }
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *why =
            std::string("cannot read the TLS ") + what + " file " + path + ": " + strerror(errno);
        return -1;
    }
    close(fd);
    return 0;
}

// 0 when the key file is readable by its owner alone.
int check_key_mode(const std::string &path, std::string *why, std::string *hint) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        *why = "cannot read the TLS key file " + path + ": " + strerror(errno);
        return -1;
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) == 0) return 0;
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    *why = "the TLS key file " + path + " is readable or writable by group or others (mode " +
           mode + ")";
    if (hint != nullptr) *hint = "chmod 600 " + path;
    return -1;
}

void stat_text(const std::string &path, std::string *out) {
    struct stat st {};
    *out += path;
    if (path.empty() || stat(path.c_str(), &st) != 0) {
        *out += "|-;";
        return;
    }
    char buf[160];
    snprintf(buf, sizeof buf, "|%lu:%lu:%lld:%lld.%09ld;", static_cast<unsigned long>(st.st_dev),
             static_cast<unsigned long>(st.st_ino), static_cast<long long>(st.st_size),
             static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
    *out += buf;
}

}  // namespace

void SslCtxFree::operator()(ssl_ctx_st *ctx) const {
    SSL_CTX_free(ctx);
}

bool parse_tls_server_mode(const std::string &text, TlsServerMode *out) {
    if (text.empty() || strcasecmp(text.c_str(), "off") == 0)
        *out = TlsServerMode::Off;
    else if (strcasecmp(text.c_str(), "allow") == 0)
        *out = TlsServerMode::Allow;
    else if (strcasecmp(text.c_str(), "require") == 0)
        *out = TlsServerMode::Require;
    else
        return false;
    return true;
}

const char *tls_server_mode_name(TlsServerMode mode) {
    switch (mode) {
        case TlsServerMode::Allow:
            return "allow";
        case TlsServerMode::Require:
            return "require";
        default:
            return "off";
    }
}

namespace {

// A NetServer TLS value checked by the settings table: 0 with its reading
// (an empty value: the default), or -1 with *why naming it.
int read_tls_value(const char *name, std::string *out, std::string *why) {
    const SettingEntry *row = find_setting("NetServer", name);
    return check_setting_text(*row, read_server_value("NetServer", name), out, why);
}

}  // namespace

int read_tls_settings(TlsServerSettings *out, std::string *why) {
    TlsServerSettings s;
    std::string mode, client;
    if (read_tls_value("tls", &mode, why) != 0 || read_tls_value("tls_cert", &s.cert, why) != 0 ||
        read_tls_value("tls_key", &s.key, why) != 0 || read_tls_value("tls_ca", &s.ca, why) != 0 ||
        read_tls_value("tls_client_cert", &client, why) != 0)
        return -1;
    (void)parse_tls_server_mode(mode, &s.mode);  // the table accepted one of its words
    s.client_cert_required = client == "require";
    if (read_tls_value("tls_ciphers", &s.ciphers, why) != 0) return -1;
    *out = s;
    return 0;
}

SslCtxPtr make_server_context(const TlsServerSettings &s, std::string *why, std::string *hint) {
    if (check_readable("certificate", s.cert, why) != 0 || check_readable("key", s.key, why) != 0 ||
        check_key_mode(s.key, why, hint) != 0)
        return nullptr;
    if (s.client_cert_required && check_readable("CA", s.ca, why) != 0) return nullptr;
    ERR_clear_error();
    SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()), SslCtxFree{});
    if (ctx == nullptr) {
        *why = "cannot make a TLS context: " + openssl_reason();
        return nullptr;
    }
    SSL_CTX *c = ctx.get();
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    const std::string ciphers = s.ciphers.empty() ? kDefaultTlsCiphers : s.ciphers;
    if (SSL_CTX_set_cipher_list(c, ciphers.c_str()) != 1) {
        *why = "NetServer \"tls_ciphers\" is \"" + ciphers + "\": OpenSSL finds no cipher in it (" +
               openssl_reason() + ")";
        if (hint != nullptr)
            *hint = "give OpenSSL cipher names separated by \":\", such as " +
                    std::string(kDefaultTlsCiphers) + ", or leave it empty";
        return nullptr;
    }
    // Peers close without close_notify; the DQP stream has its own end.
    SSL_CTX_set_options(c, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_clear_mode(c, SSL_MODE_RELEASE_BUFFERS);
    // One recv takes what has arrived, not a record header and then its body.
    SSL_CTX_set_read_ahead(c, 1);
    // Clients never resume: tickets would only cost a record per handshake.
    SSL_CTX_set_num_tickets(c, 0);
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
    if (SSL_CTX_use_certificate_chain_file(c, s.cert.c_str()) != 1) {
        *why = "cannot load the TLS certificate file " + s.cert + ": " + openssl_reason();
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(c, s.key.c_str(), SSL_FILETYPE_PEM) != 1) {
        *why = "cannot load the TLS key file " + s.key + ": " + openssl_reason();
        return nullptr;
    }
    if (SSL_CTX_check_private_key(c) != 1) {
        *why = "the TLS key file " + s.key + " does not match the certificate " + s.cert;
        ERR_clear_error();
        return nullptr;
    }
    if (s.client_cert_required) {
        STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(s.ca.c_str());
        if (names == nullptr || SSL_CTX_load_verify_locations(c, s.ca.c_str(), nullptr) != 1) {
            if (names != nullptr) sk_X509_NAME_pop_free(names, X509_NAME_free);
            *why = "cannot load the TLS CA file " + s.ca + ": " + openssl_reason();
            return nullptr;
        }
        SSL_CTX_set_client_CA_list(c, names);
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    return ctx;
}

void warm_tls_context(ssl_ctx_st *server) {
    SSL_CTX *client_ctx = SSL_CTX_new(TLS_client_method());
    SSL *srv = SSL_new(server), *cli = client_ctx != nullptr ? SSL_new(client_ctx) : nullptr;
    BIO *a = nullptr, *b = nullptr;
    if (srv != nullptr && cli != nullptr && BIO_new_bio_pair(&a, 0, &b, 0) == 1) {
        SSL_set_bio(srv, a, a);
        SSL_set_bio(cli, b, b);
        SSL_set_accept_state(srv);
        SSL_set_connect_state(cli);
        for (int i = 0; i < 16; i++) {
            int c = SSL_do_handshake(cli), s = SSL_do_handshake(srv);
            if (c == 1 && s == 1) break;
        }
    }
    SSL_free(cli);
    SSL_free(srv);
    SSL_CTX_free(client_ctx);
    ERR_clear_error();
}

std::string tls_fingerprint(const TlsServerSettings &s) {
    std::string out = std::string(tls_server_mode_name(s.mode)) +
                      (s.client_cert_required ? "|client;" : "|;") + s.ciphers + "|";
    if (s.mode == TlsServerMode::Off) return out;
    stat_text(s.cert, &out);
    stat_text(s.key, &out);
    stat_text(s.ca, &out);
    return out;
}

}  // namespace vnx
