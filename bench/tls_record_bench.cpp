// tls_record_bench: the floor under a TLS round trip. One thread holds both
// ends of a loopback TCP connection and moves a request (24 bytes) one way
// and a reply (120 bytes) back, as a MAPERROR round trip does, through the
// project's channel (channel_send / channel_recv):
//   plain        no TLS session on either end: send and recv only;
//   tls          TLS on both ends with OpenSSL's default ciphers (what the
//                servers and clients negotiate);
//   tls_raw      the same records written and read with SSL_write_ex and
//                SSL_read_ex directly, without the channel around them;
//   aes128gcm, chacha20
//                the channel with the TLS 1.3 suite narrowed to one cipher,
//   tls12        the channel with TLS 1.2 (its default AES-256-GCM suite):
//                these three for information only (the servers keep the
//                defaults and negotiate TLS 1.3).
// No thread switches and no waiting: each figure is the CPU work of both
// ends of one round trip, and tls minus plain is what encryption adds at
// the least: four AEAD records, each through OpenSSL's record layer.
// The certificates are made by the openssl program in a temporary directory.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "protocol/socket_io.h"
#include "protocol/tls_channel.h"
#include "support/tls_config.h"
#include "tests/tls_certs.h"

namespace {

enum Variant { kPlain, kTls, kTlsRaw, kAes128, kChaCha, kTls12, kVariants };
const char *const kNames[kVariants] = {"plain", "tls", "tls_raw", "aes128gcm", "chacha20", "tls12"};

constexpr size_t kRequest = 24, kReply = 120;

struct Certs {
    std::string dir;
    vnxtest::TlsCerts files;
    bool ok = false;
    Certs() {
        char tmpl[] = "/tmp/vnx_tlsrec_XXXXXX";
        if (mkdtemp(tmpl) == nullptr) return;
        dir = tmpl;
        ok = files.make(dir);
    }
    ~Certs() {
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }
};

Certs &certs() {
    static Certs c;
    return c;
}

// A connected loopback pair, TCP_NODELAY on both ends; false on failure.
bool loopback_pair(int *client, int *server) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return false;
    *client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(*client, reinterpret_cast<sockaddr *>(&addr), len) != 0) return false;
    *server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    dqp::set_nodelay(*client);
    dqp::set_nodelay(*server);
    return *server >= 0;
}

// Both ends of one connection, with TLS sessions attached unless plain.
struct Pair {
    int client = -1, server = -1;
    SSL_CTX *client_ctx = nullptr;
    vnx::SslCtxPtr server_ctx;

    ~Pair() {
        for (int fd : {client, server}) {
            if (fd < 0) continue;
            dqp::channel_detach(fd);
            close(fd);
        }
        SSL_CTX_free(client_ctx);
    }

    bool open(Variant v, std::string *why) {
        if (!loopback_pair(&client, &server)) {
            *why = "no loopback connection";
            return false;
        }
        if (v == kPlain) return true;
        vnx::TlsServerSettings s;
        s.mode = vnx::TlsServerMode::Allow;
        s.cert = certs().files.server_cert;
        s.key = certs().files.server_key;
        server_ctx = vnx::make_server_context(s, why);
        client_ctx = SSL_CTX_new(TLS_client_method());
        if (server_ctx == nullptr || client_ctx == nullptr) return false;
        SSL_CTX_set_read_ahead(client_ctx, 1);
        if (v == kAes128) SSL_CTX_set_ciphersuites(client_ctx, "TLS_AES_128_GCM_SHA256");
        if (v == kChaCha) SSL_CTX_set_ciphersuites(client_ctx, "TLS_CHACHA20_POLY1305_SHA256");
        if (v == kTls12) SSL_CTX_set_max_proto_version(client_ctx, TLS1_2_VERSION);
        SSL *c = dqp::tls_new_session(client_ctx, client, false, why);
        SSL *sv = dqp::tls_new_session(server_ctx.get(), server, true, why);
        if (c == nullptr || sv == nullptr || dqp::channel_attach(client, c) != 0 ||
            dqp::channel_attach(server, sv) != 0)
            return false;
        return handshake(why);
    }

    // Both handshakes in this one thread: each step runs without waiting.
    bool handshake(std::string *why) {
        for (int fd : {client, server})
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        int done = 0;
        for (int i = 0; i < 1000 && done != 3; i++) {
            for (int k = 0; k < 2; k++) {
                bool want_write = false;
                int rc = dqp::tls_handshake_step(k == 0 ? client : server, &want_write, why);
                if (rc == dqp::TLS_FAILED) return false;
                if (rc == dqp::TLS_DONE) done |= 1 << k;
            }
        }
        for (int fd : {client, server})
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return done == 3;
    }
};

// Reads exactly n bytes through the channel into a buffer as large as the
// frame reader's, as the frame reader asks.
bool take(int fd, size_t n, char *buf, size_t cap) {
    size_t got = 0;
    while (got < n) {
        long r = dqp::channel_recv(fd, buf + got, cap - got);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return got == n;
}

bool take_raw(SSL *ssl, size_t n, char *buf, size_t cap) {
    size_t got = 0;
    while (got < n) {
        size_t r = 0;
        if (SSL_read_ex(ssl, buf + got, cap - got, &r) != 1) return false;
        got += r;
    }
    return got == n;
}

void BM_RoundTrip(benchmark::State &state) {
    const Variant v = static_cast<Variant>(state.range(0));
    if (!certs().ok) {
        state.SkipWithError("openssl could not make the certificates");
        return;
    }
    Pair pair;
    std::string why;
    if (!pair.open(v, &why)) {
        state.SkipWithError(why.c_str());
        return;
    }
    state.SetLabel(v == kPlain ? "plain" : dqp::channel_cipher(pair.client));
    char request[kRequest], reply[kReply];
    memset(request, 'Q', sizeof request);
    memset(reply, 'R', sizeof reply);
    static char buf[32768];
    SSL *c = dqp::channel_tls(pair.client), *s = dqp::channel_tls(pair.server);
    for (auto _ : state) {
        bool ok;
        if (v == kTlsRaw) {
            size_t n = 0;
            ok = SSL_write_ex(c, request, kRequest, &n) == 1 &&
                 take_raw(s, kRequest, buf, sizeof buf) &&
                 SSL_write_ex(s, reply, kReply, &n) == 1 && take_raw(c, kReply, buf, sizeof buf);
        } else {
            ok = dqp::write_full(pair.client, request, kRequest) == kRequest &&
                 take(pair.server, kRequest, buf, sizeof buf) &&
                 dqp::write_full(pair.server, reply, kReply) == kReply &&
                 take(pair.client, kReply, buf, sizeof buf);
        }
        if (!ok) {
            state.SkipWithError("a read or write failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RoundTrip)->DenseRange(kPlain, kVariants - 1)->Repetitions(5)->ReportAggregatesOnly();

// Remembers the CPU time of each aggregate: one thread does all the work,
// so CPU time is the figure, and it does not move with the machine's load.
class CpuReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs)
            cpu_ns_[r.benchmark_name()] = r.GetAdjustedCPUTime();
    }
    // The median of variant v; 0 when it did not run.
    double median_ns(int v) const {
        auto it = cpu_ns_.find("BM_RoundTrip/" + std::to_string(v) + "/repeats:5_median");
        return it == cpu_ns_.end() ? 0.0 : it->second;
    }

  private:
    std::map<std::string, double> cpu_ns_;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    CpuReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double plain = reporter.median_ns(kPlain);
    if (plain <= 0) return 0;
    printf("\nCPU per round trip (both ends, one thread), medians of 5 repetitions:\n");
    for (int v = kPlain; v < kVariants; v++) {
        double ns = reporter.median_ns(v);
        if (ns <= 0) continue;
        printf("  %-10s %8.0f ns   ratio to plain %.2f   added %6.0f ns\n", kNames[v], ns,
               ns / plain, ns - plain);
    }
    return 0;
}
