// The byte channel of a connection. See tls_channel.h.
#include "protocol/tls_channel.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

namespace dqp {

namespace {

// Descriptors above this are always plain; a session for one is refused.
constexpr int kMaxChannels = 65536;

std::array<std::atomic<SSL *>, kMaxChannels> &channels() {
    static std::array<std::atomic<SSL *>, kMaxChannels> table{};
    return table;
}

bool in_table(int fd) {
    return fd >= 0 && fd < kMaxChannels;
}

// ---- the socket BIO: recv/send on the descriptor, never SIGPIPE ----

int bio_fd(BIO *b) {
    return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(b)));
}

bool retryable(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

int bio_write(BIO *b, const char *data, int len) {
    BIO_clear_retry_flags(b);
    ssize_t n = send(bio_fd(b), data, static_cast<size_t>(len), MSG_NOSIGNAL);
    if (n < 0 && retryable(errno)) BIO_set_retry_write(b);
    return static_cast<int>(n);
}

int bio_read(BIO *b, char *data, int len) {
    BIO_clear_retry_flags(b);
    ssize_t n = recv(bio_fd(b), data, static_cast<size_t>(len), 0);
    if (n < 0 && retryable(errno)) BIO_set_retry_read(b);
    return static_cast<int>(n);
}

long bio_ctrl(BIO *, int cmd, long, void *) {
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int bio_create(BIO *b) {
    BIO_set_init(b, 1);
    return 1;
}

BIO_METHOD *socket_method() {
    static BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "vnx socket");
        if (m == nullptr) return m;
        BIO_meth_set_write(m, bio_write);
        BIO_meth_set_read(m, bio_read);
        BIO_meth_set_ctrl(m, bio_ctrl);
        BIO_meth_set_create(m, bio_create);
        return m;
    }();
    return method;
}

// Waits until fd is readable or writable as asked; false when the time ran
// out or poll failed.
bool wait_socket(int fd, bool for_write, int timeout_ms) {
    pollfd p{fd, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    int n;
    do {
        n = poll(&p, 1, timeout_ms);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

// errno for an SSL call that failed with `code`; EAGAIN for the retryable.
int errno_for(int code) {
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) return EAGAIN;
    if (code == SSL_ERROR_SYSCALL && errno != 0) return errno;
    return EPROTO;
}

// SSL_get_error reads this thread's error queue, which must hold nothing
// from before the call it explains. The queue is empty unless a failure left
// an entry (ours are emptied as soon as they are read; another OpenSSL user
// of the thread, a data-source driver, may leave one), and a look at it costs
// less than clearing it before every record: clear only what is there.
void drop_stale_errors() {
    if (ERR_peek_error() != 0) ERR_clear_error();
}

}  // namespace

int channel_attach(int fd, SSL *ssl) {
    if (!in_table(fd)) {
        SSL_free(ssl);
        errno = EBADF;
        return -1;
    }
    if (SSL *old = channels()[fd].exchange(ssl)) SSL_free(old);
    return 0;
}

void channel_detach(int fd) {
    if (!in_table(fd)) return;
    if (SSL *old = channels()[fd].exchange(nullptr)) SSL_free(old);
}

SSL *channel_tls(int fd) {
    return in_table(fd) ? channels()[fd].load(std::memory_order_relaxed) : nullptr;
}

long channel_recv(int fd, char *buf, size_t n) {
    SSL *ssl = channel_tls(fd);
    if (ssl == nullptr) return recv(fd, buf, n, 0);
    size_t got = 0;
    drop_stale_errors();
    if (SSL_read_ex(ssl, buf, n, &got) == 1) return static_cast<long>(got);
    int code = SSL_get_error(ssl, 0);
    // A clean close_notify, or the peer's FIN without one: the DQP peers
    // close without close_notify, so both count as the end of the stream.
    bool closed = code == SSL_ERROR_ZERO_RETURN || (code == SSL_ERROR_SYSCALL && errno == 0) ||
                  (code == SSL_ERROR_SSL &&
                   ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING);
    int err = errno_for(code);
    ERR_clear_error();
    if (closed) return 0;
    errno = err;
    return -1;
}

long channel_send(int fd, const char *buf, size_t n) {
    SSL *ssl = channel_tls(fd);
    if (ssl == nullptr) return send(fd, buf, n, MSG_NOSIGNAL);
    for (;;) {
        size_t sent = 0;
        drop_stale_errors();
        if (SSL_write_ex(ssl, buf, n, &sent) == 1) return static_cast<long>(sent);
        int code = SSL_get_error(ssl, 0);
        bool want = code == SSL_ERROR_WANT_WRITE || code == SSL_ERROR_WANT_READ;
        int err = want ? ETIMEDOUT : errno_for(code);
        ERR_clear_error();
        if (want && wait_socket(fd, code == SSL_ERROR_WANT_WRITE, kSendWaitMs))
            continue;  // the same buffer again, as SSL_write demands
        errno = err;
        return -1;
    }
}

size_t channel_pending(int fd) {
    SSL *ssl = channel_tls(fd);
    if (ssl == nullptr) return 0;
    // With read-ahead, bytes of a record not yet decrypted wait in the
    // session too: SSL_has_pending counts them.
    size_t n = static_cast<size_t>(SSL_pending(ssl));
    return n > 0 ? n : SSL_has_pending(ssl) == 1 ? 1 : 0;
}

int peek_first_byte(int fd, unsigned char *byte) {
    for (;;) {
        ssize_t n = recv(fd, byte, 1, MSG_PEEK);
        if (n < 0 && errno == EINTR) continue;
        return n > 0 ? 1 : static_cast<int>(n);
    }
}

SSL *tls_new_session(SSL_CTX *ctx, int fd, bool server, std::string *why) {
    BIO_METHOD *method = socket_method();
    SSL *ssl = method != nullptr ? SSL_new(ctx) : nullptr;
    BIO *bio = ssl != nullptr ? BIO_new(method) : nullptr;
    if (bio == nullptr) {
        *why = tls_error_text("cannot make a TLS session");
        SSL_free(ssl);
        return nullptr;
    }
    BIO_set_data(bio, reinterpret_cast<void *>(static_cast<intptr_t>(fd)));
    SSL_set_bio(ssl, bio, bio);
    if (server)
        SSL_set_accept_state(ssl);
    else
        SSL_set_connect_state(ssl);
    return ssl;
}

int tls_handshake_step(int fd, bool *want_write, std::string *why) {
    SSL *ssl = channel_tls(fd);
    if (ssl == nullptr) {
        *why = "no TLS session on the connection";
        return TLS_FAILED;
    }
    ERR_clear_error();
    errno = 0;
    int rc = SSL_do_handshake(ssl);
    if (rc == 1) return TLS_DONE;
    int code = SSL_get_error(ssl, rc);
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
        *want_write = code == SSL_ERROR_WANT_WRITE;
        return TLS_WANT;
    }
    if (code == SSL_ERROR_SYSCALL && errno != 0)
        *why = std::string("connection failed during the TLS handshake: ") + strerror(errno);
    else if (code == SSL_ERROR_SYSCALL || code == SSL_ERROR_ZERO_RETURN)
        *why = "connection closed during the TLS handshake";
    else
        *why = tls_error_text("TLS handshake failed");
    if (long v = SSL_get_verify_result(ssl); v != X509_V_OK)
        *why += std::string(" (certificate: ") + X509_verify_cert_error_string(v) + ")";
    ERR_clear_error();  // read or not, nothing is left for the next call
    return TLS_FAILED;
}

int tls_handshake(int fd, int timeout_ms, std::string *why, bool *peer_silent) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) == 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int result = -1;
    for (;;) {
        bool want_write = false;
        int rc = tls_handshake_step(fd, &want_write, why);
        if (rc == TLS_DONE) {
            result = 0;
            break;
        }
        if (rc == TLS_FAILED) break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0 || !wait_socket(fd, want_write, static_cast<int>(left.count()))) {
            *why = "no TLS handshake within " + std::to_string(timeout_ms) + " ms";
            break;
        }
    }
    if (result != 0 && peer_silent != nullptr) {
        SSL *ssl = channel_tls(fd);
        *peer_silent = ssl != nullptr && BIO_number_read(SSL_get_rbio(ssl)) == 0;
    }
    if (flags >= 0 && (flags & O_NONBLOCK) == 0) fcntl(fd, F_SETFL, flags);
    return result;
}

std::string channel_protocol(int fd) {
    SSL *ssl = channel_tls(fd);
    return ssl == nullptr ? std::string() : std::string(SSL_get_version(ssl));
}

std::string channel_cipher(int fd) {
    SSL *ssl = channel_tls(fd);
    const char *name = ssl != nullptr ? SSL_get_cipher_name(ssl) : nullptr;
    return name == nullptr ? std::string() : std::string(name);
}

std::string tls_error_text(const std::string &otherwise) {
    std::string text;
    while (unsigned long e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        const char *reason = ERR_reason_error_string(e);
        text = reason != nullptr ? reason : buf;  // the last is the nearest cause
    }
    return text.empty() ? otherwise : text;
}

}  // namespace dqp
