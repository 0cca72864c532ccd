// The first-byte dispatch of a new connection, as the port server and the
// gateways run it: the input arrives on a non-blocking socket; the TLS
// record byte starts a server handshake that is stepped until it fails or
// waits for bytes that never come, anything else is cut into frames by the
// frame reader. Neither path may crash, read out of bounds, leak a session
// or loop without end, whatever the bytes.
#include <fcntl.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/frame_reader.h"
#include "protocol/tls_channel.h"

namespace {

// A server context without a certificate: every record of a hostile
// ClientHello is still parsed before the handshake fails for want of one.
SSL_CTX *server_context() {
    static SSL_CTX *ctx = [] {
        SSL_CTX *c = SSL_CTX_new(TLS_server_method());
        SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
        return c;
    }();
    return ctx;
}

void run_tls(int fd) {
    std::string why;
    if (dqp::channel_attach(fd, dqp::tls_new_session(server_context(), fd, true, &why)) != 0)
        return;
    bool want_write = false;
    for (int step = 0; step < 64; step++)
        if (dqp::tls_handshake_step(fd, &want_write, &why) != dqp::TLS_WANT) break;
    char sink[4096];
    while (dqp::channel_recv(fd, sink, sizeof sink) > 0) {
    }
    dqp::channel_detach(fd);
}

void run_plain(int fd) {
    dqp::FrameReader reader;
    std::string_view frame;
    while (reader.next_frame(fd, dqp::PKT_MAX_SIZE, &frame) == dqp::FRAME_READY)
        reader.consume(frame.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, sv) != 0) return 0;
    if (size > 0 && send(sv[1], data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) {
        close(sv[0]);
        close(sv[1]);
        return 0;
    }
    shutdown(sv[1], SHUT_WR);  // the peer sends nothing more
    unsigned char first = 0;
    dqp::channel_forget(sv[0]);
    if (dqp::peek_first_byte(sv[0], &first) == 1) {
        if (first == dqp::kTlsRecordByte)
            run_tls(sv[0]);
        else
            run_plain(sv[0]);
    }
    close(sv[0]);
    close(sv[1]);
    return 0;
}
