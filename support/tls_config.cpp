// The server side's TLS settings and context. See tls_config.h.
#include "support/tls_config.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

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

// The key file's mode when group or others may read or write it: -1 with
// *why and *hint; else 0.
int check_key_mode(const std::string &path, mode_t mode, std::string *why, std::string *hint) {
    if ((mode & (S_IRWXG | S_IRWXO)) == 0) return 0;
    char text[8];
    snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    *why = "the TLS key file " + path + " is readable or writable by group or others (mode " +
           text + ")";
    if (hint != nullptr) *hint = "chmod 600 " + path;
    return -1;
}

// Reads the whole PEM file `what` at path into *out; the key's mode is
// checked on the descriptor read, so no rename in between slips past. 0, or
// -1 with *why.
int read_pem_file(const char *what, const std::string &path, std::string *out, std::string *why,
                  std::string *hint) {
    if (path.empty()) {
        *why = std::string("NetServer \"") + what + "\" is empty: TLS needs it";
        return -1;
    }
    const std::string name = std::string("the TLS ") + what + " file " + path;
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        *why = "cannot read " + name + ": " + strerror(errno);
        return -1;
    }
    if (strcmp(what, "key") == 0 && check_key_mode(path, st.st_mode, why, hint) != 0) return -1;
    out->clear();
    char buf[8192];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *why = "cannot read " + name + ": " + strerror(errno);
            return -1;
        }
        if (n == 0) return 0;
        if (out->size() + static_cast<size_t>(n) > kMaxTlsFileBytes) {
            *why = name + " is larger than " + std::to_string(kMaxTlsFileBytes) + " bytes";
            return -1;
        }
        out->append(buf, static_cast<size_t>(n));
    }
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

int read_tls_material(const TlsServerSettings &s, TlsMaterial *out, std::string *why,
                      std::string *hint) {
    TlsMaterial m;
    if (read_pem_file("certificate", s.cert, &m.cert, why, hint) != 0 ||
        read_pem_file("key", s.key, &m.key, why, hint) != 0)
        return -1;
    if (s.client_cert_required && read_pem_file("CA", s.ca, &m.ca, why, hint) != 0) return -1;
    *out = std::move(m);
    return 0;
}

namespace {

struct BioFree {
    void operator()(BIO *b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

BioPtr memory_bio(const std::string &text) {
    return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

// True when the PEM reads ended at the end of the text, not at a bad block.
bool pem_ended_cleanly() {
    unsigned long e = ERR_peek_last_error();
    if (ERR_GET_LIB(e) != ERR_LIB_PEM || ERR_GET_REASON(e) != PEM_R_NO_START_LINE) return false;
    ERR_clear_error();
    return true;
}

// The certificate, then every further one in the text as its chain.
int use_certificate_chain(SSL_CTX *c, const std::string &pem) {
    BioPtr bio = memory_bio(pem);
    if (bio == nullptr) return -1;
    X509 *leaf = PEM_read_bio_X509_AUX(bio.get(), nullptr, nullptr, nullptr);
    bool ok = leaf != nullptr && SSL_CTX_use_certificate(c, leaf) == 1 &&
              SSL_CTX_clear_chain_certs(c) == 1;
    X509_free(leaf);
    if (!ok) return -1;
    while (X509 *next = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        if (SSL_CTX_add0_chain_cert(c, next) != 1) {
            X509_free(next);
            return -1;
        }
    }
    return pem_ended_cleanly() ? 0 : -1;
}

int use_private_key(SSL_CTX *c, const std::string &pem) {
    BioPtr bio = memory_bio(pem);
    if (bio == nullptr) return -1;
    EVP_PKEY *key = PEM_read_bio_PrivateKey(bio.get(), nullptr, SSL_CTX_get_default_passwd_cb(c),
                                            SSL_CTX_get_default_passwd_cb_userdata(c));
    int rc = key != nullptr && SSL_CTX_use_PrivateKey(c, key) == 1 ? 0 : -1;
    EVP_PKEY_free(key);
    return rc;
}

// Every certificate (and CRL) of the bundle trusted for client certificates,
// and their subjects offered to clients as the CAs to show one of. -1 when
// the bundle is malformed or holds no certificate.
int use_client_ca(SSL_CTX *c, const std::string &pem) {
    BioPtr bio = memory_bio(pem);
    if (bio == nullptr) return -1;
    STACK_OF(X509_INFO) *infos = PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr);
    if (infos == nullptr) return -1;
    X509_STORE *store = SSL_CTX_get_cert_store(c);
    int certs = 0, rc = 0;
    for (int i = 0; i < sk_X509_INFO_num(infos) && rc == 0; i++) {
        X509_INFO *info = sk_X509_INFO_value(infos, i);
        if (info->x509 != nullptr) {
            certs++;
            if (X509_STORE_add_cert(store, info->x509) != 1 ||
                SSL_CTX_add_client_CA(c, info->x509) != 1)
                rc = -1;
        }
        if (info->crl != nullptr && X509_STORE_add_crl(store, info->crl) != 1) rc = -1;
    }
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    return rc == 0 && certs > 0 ? 0 : -1;
}

}  // namespace

SslCtxPtr make_server_context(const TlsServerSettings &s, std::string *why, std::string *hint) {
    TlsMaterial m;
    if (read_tls_material(s, &m, why, hint) != 0) return nullptr;
    return make_server_context(s, m, why, hint);
}

SslCtxPtr make_server_context(const TlsServerSettings &s, const TlsMaterial &m, std::string *why,
                              std::string *hint) {
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
    if (use_certificate_chain(c, m.cert) != 0) {
        *why = "cannot load the TLS certificate file " + s.cert + ": " + openssl_reason();
        return nullptr;
    }
    if (use_private_key(c, m.key) != 0) {
        const std::string reason = openssl_reason();
        *why = reason.find("mismatch") != std::string::npos
                   ? "the TLS key file " + s.key + " does not match the certificate " + s.cert +
                         " (" + reason + ")"
                   : "cannot load the TLS key file " + s.key + ": " + reason;
        return nullptr;
    }
    if (SSL_CTX_check_private_key(c) != 1) {
        *why = "the TLS key file " + s.key + " does not match the certificate " + s.cert;
        ERR_clear_error();
        return nullptr;
    }
    if (s.client_cert_required) {
        if (use_client_ca(c, m.ca) != 0) {
            *why = "cannot load the TLS CA file " + s.ca + ": " + openssl_reason();
            return nullptr;
        }
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    return ctx;
}

namespace {

// The sealed file: this header, then the three texts back to back.
constexpr const char *kMaterialMagic = "VNXTLS1";
constexpr int kMaterialSeals = F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL;

int write_all(int fd, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

int seal_tls_material(const TlsMaterial &m, UniqueFd *out, std::string *why) {
    const std::string data = std::string(kMaterialMagic) + " " + std::to_string(m.cert.size()) +
                             " " + std::to_string(m.key.size()) + " " +
                             std::to_string(m.ca.size()) + "\n" + m.cert + m.key + m.ca;
    UniqueFd made(memfd_create("vnx-tls", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    UniqueFd moved(made.valid() ? fcntl(made.get(), F_DUPFD_CLOEXEC, kGatewayTlsFd + 1) : -1);
    if (!moved.valid() || write_all(moved.get(), data) != 0 ||
        fcntl(moved.get(), F_ADD_SEALS, kMaterialSeals) != 0) {
        *why = std::string("cannot hand the TLS certificate and key to the gateways: ") +
               strerror(errno);
        return -1;
    }
    *out = std::move(moved);
    return 0;
}

int read_sealed_tls_material(int fd, TlsMaterial *out, std::string *why) {
    const std::string bad = "the TLS material passed on descriptor " + std::to_string(fd);
    int seals = fcntl(fd, F_GET_SEALS);
    struct stat st {};
    if (seals < 0 || (seals & kMaterialSeals) != kMaterialSeals || fstat(fd, &st) != 0 ||
        st.st_size <= 0 || static_cast<size_t>(st.st_size) > 3 * kMaxTlsFileBytes + 64) {
        *why = bad + " is not a sealed memory file of a usable size";
        return -1;
    }
    std::string data(static_cast<size_t>(st.st_size), '\0');
    if (pread(fd, data.data(), data.size(), 0) != static_cast<ssize_t>(data.size())) {
        *why = bad + " cannot be read: " + strerror(errno);
        return -1;
    }
    size_t eol = data.find('\n');
    char magic[8] = {};
    unsigned long long sizes[3] = {};
    int used = 0;
    if (eol == std::string::npos ||
        sscanf(data.substr(0, eol).c_str(), "%7s %llu %llu %llu%n", magic, &sizes[0], &sizes[1],
               &sizes[2], &used) != 4 ||
        static_cast<size_t>(used) != eol || strcmp(magic, kMaterialMagic) != 0 ||
        sizes[0] > kMaxTlsFileBytes || sizes[1] > kMaxTlsFileBytes || sizes[2] > kMaxTlsFileBytes ||
        eol + 1 + sizes[0] + sizes[1] + sizes[2] != data.size()) {
        *why = bad + " is malformed";
        return -1;
    }
    size_t at = eol + 1;
    out->cert = data.substr(at, sizes[0]);
    out->key = data.substr(at += sizes[0], sizes[1]);
    out->ca = data.substr(at + sizes[1], sizes[2]);
    OPENSSL_cleanse(data.data(), data.size());
    return 0;
}

int inherited_tls_material(TlsMaterial *out, std::string *why) {
    const char *named = getenv(kGatewayTlsEnv);
    if (named == nullptr || named != std::to_string(kGatewayTlsFd)) return 0;
    int rc = read_sealed_tls_material(kGatewayTlsFd, out, why);
    close(kGatewayTlsFd);
    return rc == 0 ? 1 : -1;
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
