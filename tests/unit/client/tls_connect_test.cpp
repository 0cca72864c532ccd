// TLS between a client (connect_options.h) and a server context
// (support/tls_config.h) over a loopback TCP pair: frames through the frame
// reader, verification modes, client certificates, a server that does not
// speak TLS, a ClientHello trickled a byte at a time, garbage after the
// record byte, and the refusals of unusable server files.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "client/connect_options.h"
#include "protocol/frame_reader.h"
#include "protocol/packet.h"
#include "protocol/rle.h"
#include "protocol/socket_io.h"
#include "protocol/tls_channel.h"
#include "support/tls_config.h"
#include "tests/tls_certs.h"

namespace {

using dqp::TlsMode;

class TlsConnect : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/vnx_tls_unit_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        certs_ = new vnxtest::TlsCerts;
        ASSERT_TRUE(certs_->make(tmpl)) << "openssl could not make the test certificates";
    }
    static void TearDownTestSuite() {
        std::filesystem::remove_all(certs_->dir);
        delete certs_;
    }
    void TearDown() override {
        for (int fd : {client_, server_}) {
            if (fd < 0) continue;
            dqp::channel_detach(fd);
            close(fd);
        }
    }
    // A connected loopback TCP pair: client_ and server_.
    void connect_pair() {
        int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), len), 0);
        ASSERT_EQ(listen(listener, 1), 0);
        getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
        std::string err;
        client_ = dqp::connect_tcp("127.0.0.1", ntohs(a.sin_port), 0, &err);
        ASSERT_GE(client_, 0) << err;
        server_ = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        close(listener);
        ASSERT_GE(server_, 0);
        dqp::channel_forget(server_);
    }
    vnx::SslCtxPtr server_context(bool client_cert = false) {
        vnx::TlsServerSettings s;
        s.mode = vnx::TlsServerMode::Allow;
        s.cert = certs_->server_cert;
        s.key = certs_->server_key;
        s.ca = certs_->ca;
        s.client_cert_required = client_cert;
        std::string why;
        vnx::SslCtxPtr ctx = vnx::make_server_context(s, &why);
        EXPECT_NE(ctx, nullptr) << why;
        return ctx;
    }
    // Runs the server's handshake on a thread while the client starts TLS.
    // The client's result; *server_rc the server's.
    int handshake(const dqp::TlsOptions &tls, const std::string &host, int *server_rc,
                  std::string *err, bool client_cert_required = false) {
        vnx::SslCtxPtr ctx = ctx_ != nullptr ? ctx_ : server_context(client_cert_required);
        std::string why;
        ssl_st *ssl = dqp::tls_new_session(ctx.get(), server_, true, &why);
        EXPECT_EQ(dqp::channel_attach(server_, ssl), 0);
        std::thread server([&] { *server_rc = dqp::tls_handshake(server_, 5000, &why); });
        int rc = dqp::start_client_tls(client_, tls, host, 5000, err);
        if (rc != dqp::TLS_STARTED) {
            shutdown(client_, SHUT_RDWR);  // the server's handshake ends too
        }
        server.join();
        return rc;
    }
    static dqp::TlsOptions options(TlsMode mode, const std::string &ca = "") {
        dqp::TlsOptions o;
        o.mode = mode;
        o.ca_file = ca;
        return o;
    }
    static vnxtest::TlsCerts *certs_;
    int client_ = -1, server_ = -1;
    vnx::SslCtxPtr ctx_;  // handshake's server context when set
};

vnxtest::TlsCerts *TlsConnect::certs_ = nullptr;

// The frame of a packet text of text_len varied letters (which the
// run-length code cannot shrink).
std::string make_frame(size_t text_len) {
    std::string pkt(text_len, 'x');
    for (size_t i = 0; i < text_len; i++)
        pkt[i] = static_cast<char>('a' + (i * 7) % 26);
    std::string frame(dqp::PKT_MAX_SIZE, '\0');
    int n = dqp::frame_encode(pkt.data(), pkt.size(), frame.data(), frame.size());
    frame.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return frame;
}

TEST_F(TlsConnect, FramesOfEverySizeCrossTheTlsStreamWholeAndInOrder) {
    connect_pair();
    int server_rc = -1;
    std::string err;
    ASSERT_EQ(handshake(options(TlsMode::Require), "127.0.0.1", &server_rc, &err), dqp::TLS_STARTED)
        << err;
    ASSERT_EQ(server_rc, 0);
    EXPECT_TRUE(dqp::channel_encrypted(client_));
    EXPECT_FALSE(dqp::channel_protocol(client_).empty());
    // Frames at the boundaries, written back to back: the reader must cut
    // them apart exactly, whatever the records hold.
    std::string all;
    std::vector<std::string> frames;
    for (size_t len : {21u, 22u, 253u, 16000u, 100u}) {
        frames.push_back(make_frame(len));
        ASSERT_FALSE(frames.back().empty());
        all += frames.back();
    }
    std::thread writer([&] {
        EXPECT_EQ(dqp::write_full(client_, all.data(), all.size()), static_cast<long>(all.size()));
    });
    dqp::FrameReader reader;
    for (const std::string &want : frames) {
        std::string_view got;
        ASSERT_EQ(reader.next_frame(server_, dqp::PKT_MAX_SIZE, &got), dqp::FRAME_READY);
        EXPECT_EQ(got, want);
        reader.consume(got.size());
    }
    writer.join();
    // The peer's close (no close_notify) reads as a close, not an error.
    dqp::channel_detach(client_);
    close(client_);
    client_ = -1;
    std::string_view none;
    EXPECT_EQ(reader.next_frame(server_, dqp::PKT_MAX_SIZE, &none), dqp::FRAME_CLOSED);
}

// An error some other OpenSSL user of this thread left in the queue (a
// failed handshake, a driver's own TLS) must not be taken for the channel's:
// SSL_get_error reads the queue.
void leave_stale_error() {
    ERR_raise(ERR_LIB_SSL, SSL_R_BAD_PACKET_LENGTH);
    ASSERT_NE(ERR_peek_error(), 0u);
}

TEST_F(TlsConnect, StaleQueuedErrorDoesNotTurnThePeersCloseIntoAFailure) {
    connect_pair();
    int server_rc = -1;
    std::string err;
    ASSERT_EQ(handshake(options(TlsMode::Require), "127.0.0.1", &server_rc, &err), dqp::TLS_STARTED)
        << err;
    const std::string frame = make_frame(30);
    ASSERT_EQ(dqp::write_full(client_, frame.data(), frame.size()),
              static_cast<long>(frame.size()));
    dqp::channel_detach(client_);
    close(client_);
    client_ = -1;
    dqp::FrameReader reader;
    std::string_view got;
    leave_stale_error();
    ASSERT_EQ(reader.next_frame(server_, dqp::PKT_MAX_SIZE, &got), dqp::FRAME_READY);
    EXPECT_EQ(got, frame);
    reader.consume(got.size());
    leave_stale_error();
    EXPECT_EQ(reader.next_frame(server_, dqp::PKT_MAX_SIZE, &got), dqp::FRAME_CLOSED);
}

TEST_F(TlsConnect, StaleQueuedErrorDoesNotTurnANonBlockingWaitIntoAFailure) {
    connect_pair();
    int server_rc = -1;
    std::string err;
    ASSERT_EQ(handshake(options(TlsMode::Require), "127.0.0.1", &server_rc, &err), dqp::TLS_STARTED)
        << err;
    fcntl(server_, F_SETFL, fcntl(server_, F_GETFL) | O_NONBLOCK);
    char buf[64];
    leave_stale_error();
    errno = 0;
    EXPECT_EQ(dqp::channel_recv(server_, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EAGAIN);
    // And the wait ends in a read as soon as a record comes.
    ASSERT_EQ(dqp::write_full(client_, "0000000AYZ", 10), 10);
    leave_stale_error();
    long n = -1;
    for (int i = 0; i < 500 && n < 0; i++) {
        n = dqp::channel_recv(server_, buf, sizeof buf);
        if (n < 0) {
            ASSERT_EQ(errno, EAGAIN);
            usleep(2000);
        }
    }
    EXPECT_EQ(n, 10);
}

TEST_F(TlsConnect, ForgedRecordFailsTheReadAndLeavesNoErrorQueued) {
    connect_pair();
    int server_rc = -1;
    std::string err;
    ASSERT_EQ(handshake(options(TlsMode::Require), "127.0.0.1", &server_rc, &err), dqp::TLS_STARTED)
        << err;
    // An application-data record whose body no key made: authentication fails.
    const char forged[] =
        "\x17\x03\x03\x00\x20"
        "abcdefghijklmnopqrstuvwxyz012345";
    ASSERT_EQ(send(client_, forged, sizeof forged - 1, 0), static_cast<ssize_t>(sizeof forged - 1));
    char buf[64];
    errno = 0;
    EXPECT_EQ(dqp::channel_recv(server_, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EPROTO);
    EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(TlsConnect, VerifyCaAcceptsTheRightCaAndRefusesAnother) {
    connect_pair();
    int server_rc = -1;
    std::string err;
    EXPECT_EQ(handshake(options(TlsMode::VerifyCa, certs_->ca), "127.0.0.1", &server_rc, &err),
              dqp::TLS_STARTED)
        << err;
    TearDown();
    client_ = server_ = -1;
    connect_pair();
    EXPECT_EQ(
        handshake(options(TlsMode::VerifyCa, certs_->other_ca), "127.0.0.1", &server_rc, &err),
        dqp::TLS_FAILED_START);
    EXPECT_NE(err.find("certificate"), std::string::npos) << err;
}

TEST_F(TlsConnect, VerifyFullChecksTheHostNameAndTheIpAddress) {
    for (const char *host : {"localhost", "127.0.0.1"}) {
        connect_pair();
        int server_rc = -1;
        std::string err;
        EXPECT_EQ(handshake(options(TlsMode::VerifyFull, certs_->ca), host, &server_rc, &err),
                  dqp::TLS_STARTED)
            << host << ": " << err;
        TearDown();
        client_ = server_ = -1;
    }
    for (const char *host : {"db.example.org", "127.0.0.2"}) {
        connect_pair();
        int server_rc = -1;
        std::string err;
        EXPECT_EQ(handshake(options(TlsMode::VerifyFull, certs_->ca), host, &server_rc, &err),
                  dqp::TLS_FAILED_START)
            << host;
        EXPECT_NE(err.find("certificate"), std::string::npos) << err;
        TearDown();
        client_ = server_ = -1;
    }
}

TEST_F(TlsConnect, RequiredClientCertificateMissingFailsAndPresentPasses) {
    connect_pair();
    int server_rc = 0;
    std::string err;
    // TLS 1.3: the client may finish before the server's refusal arrives;
    // the server's side fails either way.
    handshake(options(TlsMode::Require), "127.0.0.1", &server_rc, &err, true);
    EXPECT_EQ(server_rc, -1);
    TearDown();
    client_ = server_ = -1;
    connect_pair();
    dqp::TlsOptions with_cert = options(TlsMode::Require);
    with_cert.cert_file = certs_->client_cert;
    with_cert.key_file = certs_->client_key;
    EXPECT_EQ(handshake(with_cert, "127.0.0.1", &server_rc, &err, true), dqp::TLS_STARTED) << err;
    EXPECT_EQ(server_rc, 0);
}

TEST_F(TlsConnect, ServerThatClosesAtTheHandshakeIsReportedAsOfferingNoTls) {
    connect_pair();
    std::thread server([&] {
        char buf[512];
        ssize_t n = recv(server_, buf, sizeof buf, 0);  // the ClientHello, then close
        EXPECT_GT(n, 0);
        EXPECT_EQ(static_cast<unsigned char>(buf[0]), dqp::kTlsRecordByte);
        close(server_);
        server_ = -1;
    });
    std::string err;
    EXPECT_EQ(dqp::start_client_tls(client_, options(TlsMode::Require), "127.0.0.1", 5000, &err),
              dqp::TLS_REFUSED);
    server.join();
    EXPECT_NE(err.find("does not offer TLS"), std::string::npos) << err;
    EXPECT_FALSE(dqp::channel_encrypted(client_));
}

TEST_F(TlsConnect, ClientHelloTrickledOneByteAtATimeCompletesTheServerHandshake) {
    connect_pair();
    // A client session whose records are captured from a memory BIO, then
    // written to the socket a byte at a time.
    SSL_CTX *cctx = SSL_CTX_new(TLS_client_method());
    SSL *c = SSL_new(cctx);
    BIO *rbio = BIO_new(BIO_s_mem()), *wbio = BIO_new(BIO_s_mem());
    SSL_set_bio(c, rbio, wbio);
    SSL_set_connect_state(c);
    EXPECT_EQ(SSL_do_handshake(c), -1);  // wants the server's answer
    char *hello = nullptr;
    long hello_len = BIO_get_mem_data(wbio, &hello);
    ASSERT_GT(hello_len, 5);
    vnx::SslCtxPtr ctx = server_context();
    std::string why;
    ASSERT_EQ(dqp::channel_attach(server_, dqp::tls_new_session(ctx.get(), server_, true, &why)),
              0);
    fcntl(server_, F_SETFL, fcntl(server_, F_GETFL) | O_NONBLOCK);  // as the port server's
    bool want_write = false;
    for (long i = 0; i < hello_len; i++) {
        ASSERT_EQ(send(client_, hello + i, 1, 0), 1);
        usleep(200);
        int rc = dqp::tls_handshake_step(server_, &want_write, &why);
        ASSERT_EQ(rc, dqp::TLS_WANT) << "byte " << i << ": " << why;
    }
    // The whole hello is in: the server answers (ServerHello onwards).
    char answer[1];
    ASSERT_EQ(recv(client_, answer, 1, MSG_PEEK), 1);
    EXPECT_EQ(static_cast<unsigned char>(answer[0]), dqp::kTlsRecordByte);
    SSL_free(c);
    SSL_CTX_free(cctx);
}

TEST_F(TlsConnect, GarbageAfterTheRecordByteFailsTheHandshakeWithoutHanging) {
    connect_pair();
    vnx::SslCtxPtr ctx = server_context();
    std::string why;
    ASSERT_EQ(dqp::channel_attach(server_, dqp::tls_new_session(ctx.get(), server_, true, &why)),
              0);
    const char junk[] = "\x16\x03\x01\x00\x05garbage that is no handshake at all";
    ASSERT_EQ(send(client_, junk, sizeof junk - 1, 0), static_cast<ssize_t>(sizeof junk - 1));
    EXPECT_EQ(dqp::tls_handshake(server_, 5000, &why), -1);
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(TlsConnect, PeerClosingMidHandshakeFailsItAndLeavesNoErrorQueued) {
    connect_pair();
    vnx::SslCtxPtr ctx = server_context();
    std::string why;
    ASSERT_EQ(dqp::channel_attach(server_, dqp::tls_new_session(ctx.get(), server_, true, &why)),
              0);
    // The start of a ClientHello record that announces more than comes.
    const char part[] = "\x16\x03\x01\x01\x00\x01\x00\x00\xfc\x03\x03";
    ASSERT_EQ(send(client_, part, sizeof part - 1, 0), static_cast<ssize_t>(sizeof part - 1));
    shutdown(client_, SHUT_WR);
    EXPECT_EQ(dqp::tls_handshake(server_, 5000, &why), -1);
    EXPECT_NE(why.find("closed"), std::string::npos) << why;
    EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST_F(TlsConnect, ServerContextRefusesAKeyReadableByOthersAndNamesTheFile) {
    std::string key = certs_->dir + "/open.key";
    std::filesystem::copy_file(certs_->server_key, key,
                               std::filesystem::copy_options::overwrite_existing);
    chmod(key.c_str(), 0644);
    vnx::TlsServerSettings s;
    s.mode = vnx::TlsServerMode::Require;
    s.cert = certs_->server_cert;
    s.key = key;
    std::string why, hint;
    EXPECT_EQ(vnx::make_server_context(s, &why, &hint), nullptr);
    EXPECT_NE(why.find(key), std::string::npos) << why;
    EXPECT_NE(why.find("0644"), std::string::npos) << why;
    EXPECT_EQ(hint, "chmod 600 " + key);
    chmod(key.c_str(), 0600);
    EXPECT_NE(vnx::make_server_context(s, &why, &hint), nullptr) << why;
}

TEST_F(TlsConnect, ServerContextRefusesMissingAndMismatchedFiles) {
    vnx::TlsServerSettings s;
    s.mode = vnx::TlsServerMode::Allow;
    s.cert = certs_->dir + "/missing.crt";
    s.key = certs_->server_key;
    std::string why;
    EXPECT_EQ(vnx::make_server_context(s, &why), nullptr);
    EXPECT_NE(why.find("missing.crt"), std::string::npos) << why;
    s.cert = certs_->self_cert;  // a good certificate with another key
    EXPECT_EQ(vnx::make_server_context(s, &why), nullptr);
    EXPECT_NE(why.find("mismatch"), std::string::npos) << why;
    s.cert = certs_->server_key;  // a key where the certificate should be
    EXPECT_EQ(vnx::make_server_context(s, &why), nullptr);
    EXPECT_NE(why.find(certs_->server_key), std::string::npos) << why;
}

TEST_F(TlsConnect, SealedMaterialSurvivesTheFilesAndServesAHandshake) {
    vnx::TlsServerSettings s;
    s.mode = vnx::TlsServerMode::Allow;
    s.cert = certs_->server_cert;
    s.key = certs_->server_key;
    s.ca = certs_->ca;
    s.client_cert_required = true;
    vnx::TlsMaterial read, back;
    std::string why;
    ASSERT_EQ(vnx::read_tls_material(s, &read, &why), 0) << why;
    vnx::UniqueFd sealed;
    ASSERT_EQ(vnx::seal_tls_material(read, &sealed, &why), 0) << why;
    EXPECT_GT(sealed.get(), vnx::kGatewayTlsFd);
    EXPECT_EQ(write(sealed.get(), "x", 1), -1);  // sealed against change
    ASSERT_EQ(vnx::read_sealed_tls_material(sealed.get(), &back, &why), 0) << why;
    EXPECT_TRUE(back.cert == read.cert && back.key == read.key && back.ca == read.ca);
    // The files may go: the context comes from the texts.
    s.cert = s.key = s.ca = certs_->dir + "/gone.pem";
    s.client_cert_required = false;
    ctx_ = vnx::make_server_context(s, back, &why);
    ASSERT_NE(ctx_, nullptr) << why;
    connect_pair();
    int server_rc = 0;
    std::string err;
    EXPECT_EQ(handshake(options(TlsMode::VerifyFull, certs_->ca), "localhost", &server_rc, &err),
              dqp::TLS_STARTED)
        << err;
    EXPECT_EQ(server_rc, 0);
}

TEST_F(TlsConnect, ContextFromMemoryRefusesBadTextsAndBadSealedFiles) {
    vnx::TlsServerSettings s;
    s.mode = vnx::TlsServerMode::Allow;
    s.cert = "server.crt";
    s.key = "server.key";
    s.ca = "ca.crt";
    vnx::TlsMaterial good;
    std::string why;
    {
        vnx::TlsServerSettings files = s;
        files.cert = certs_->server_cert;
        files.key = certs_->server_key;
        files.ca = certs_->ca;
        files.client_cert_required = true;
        ASSERT_EQ(vnx::read_tls_material(files, &good, &why), 0) << why;
    }
    vnx::TlsMaterial other_cert, key_as_cert, no_ca = good;
    ASSERT_EQ(vnx::read_tls_material(
                  {vnx::TlsServerMode::Allow, certs_->self_cert, certs_->server_key, "", false, ""},
                  &other_cert, &why),
              0)
        << why;
    key_as_cert = good;
    key_as_cert.cert = good.key;
    no_ca.ca = "no certificate here\n";
    const struct {
        const vnx::TlsMaterial *m;
        bool client_cert;
        const char *says;
    } cases[] = {
        {&other_cert, false,
         "the TLS key file server.key does not match the certificate server.crt"},
        {&key_as_cert, false, "cannot load the TLS certificate file server.crt"},
        {&no_ca, true, "cannot load the TLS CA file ca.crt"},
    };
    for (const auto &c : cases) {
        s.client_cert_required = c.client_cert;
        why.clear();
        EXPECT_EQ(vnx::make_server_context(s, *c.m, &why), nullptr) << c.says;
        EXPECT_EQ(why.find(c.says), 0u) << why;
        EXPECT_EQ(ERR_peek_error(), 0u) << c.says;
    }
    // Only a sealed memory file of the right form passes.
    vnx::UniqueFd plain(open(certs_->server_cert.c_str(), O_RDONLY | O_CLOEXEC));
    vnx::UniqueFd unsealed(memfd_create("t", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    vnx::UniqueFd forged(memfd_create("t", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    const std::string lie = "VNXTLS1 999 1 1\nshort";
    ASSERT_EQ(write(forged.get(), lie.data(), lie.size()), static_cast<ssize_t>(lie.size()));
    ASSERT_EQ(fcntl(forged.get(), F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK), 0);
    ASSERT_EQ(write(unsealed.get(), lie.data(), lie.size()), static_cast<ssize_t>(lie.size()));
    for (int fd : {plain.get(), unsealed.get(), forged.get(), -1}) {
        vnx::TlsMaterial m;
        EXPECT_EQ(vnx::read_sealed_tls_material(fd, &m, &why), -1) << fd;
        EXPECT_NE(why.find("TLS material"), std::string::npos) << why;
    }
}

TEST_F(TlsConnect, FingerprintChangesWhenTheCertificateIsRenewed) {
    std::string dir = certs_->dir + "/renew";
    std::filesystem::create_directories(dir);
    vnxtest::TlsCerts own;
    ASSERT_TRUE(own.make(dir));
    vnx::TlsServerSettings s;
    s.mode = vnx::TlsServerMode::Allow;
    s.cert = own.server_cert;
    s.key = own.server_key;
    std::string before = vnx::tls_fingerprint(s);
    EXPECT_EQ(vnx::tls_fingerprint(s), before);
    ASSERT_TRUE(own.renew_server());
    EXPECT_NE(vnx::tls_fingerprint(s), before);
}

TEST(TlsOptions, ModesParseAsLibpqSpellsThemAndNothingElse) {
    TlsMode m;
    for (const char *name : {"disable", "prefer", "require", "verify-ca", "verify-full"}) {
        ASSERT_TRUE(dqp::parse_tls_mode(name, &m)) << name;
        EXPECT_STREQ(dqp::tls_mode_name(m), name);
    }
    for (const char *bad : {"", "Require", "verify_full", "on", "true"})
        EXPECT_FALSE(dqp::parse_tls_mode(bad, &m)) << bad;
}

TEST(TlsOptions, EnvironmentFillsTheOptionsAndABadModeIsRefused) {
    setenv(dqp::kTlsModeEnv, "verify-full", 1);
    setenv(dqp::kTlsRootCertEnv, "/x/ca.crt", 1);
    dqp::TlsOptions o;
    std::string err;
    EXPECT_EQ(dqp::tls_options_from_env(&o, &err), 0);
    EXPECT_EQ(o.mode, TlsMode::VerifyFull);
    EXPECT_EQ(o.ca_file, "/x/ca.crt");
    setenv(dqp::kTlsModeEnv, "sometimes", 1);
    EXPECT_EQ(dqp::tls_options_from_env(&o, &err), -1);
    EXPECT_NE(err.find("VNX_TLSMODE"), std::string::npos);
    unsetenv(dqp::kTlsModeEnv);
    unsetenv(dqp::kTlsRootCertEnv);
}

TEST(TlsOptions, VerifyModesWithoutCaAndCertificateWithoutKeyAreRefused) {
    dqp::TlsOptions o;
    std::string err;
    o.mode = TlsMode::VerifyCa;
    EXPECT_EQ(dqp::check_tls_options(o, &err), -1);
    o.ca_file = "/x/ca.crt";
    EXPECT_EQ(dqp::check_tls_options(o, &err), 0);
    o.cert_file = "/x/client.crt";
    EXPECT_EQ(dqp::check_tls_options(o, &err), -1);
}

// The suite a TLS 1.2 client offering only `ciphers` gets from `server`, in
// memory; empty when the handshake fails.
std::string tls12_suite(SSL_CTX *server, const char *ciphers) {
    SSL_CTX *client_ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_max_proto_version(client_ctx, TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(client_ctx, ciphers);
    SSL *srv = SSL_new(server), *cli = SSL_new(client_ctx);
    BIO *a = nullptr, *b = nullptr;
    BIO_new_bio_pair(&a, 0, &b, 0);
    SSL_set_bio(srv, a, a);
    SSL_set_bio(cli, b, b);
    SSL_set_accept_state(srv);
    SSL_set_connect_state(cli);
    bool done = false;
    for (int i = 0; i < 16 && !done; i++)
        done = (SSL_do_handshake(cli) == 1) & (SSL_do_handshake(srv) == 1);
    std::string suite = done ? SSL_get_cipher_name(cli) : "";
    SSL_free(cli);
    SSL_free(srv);
    SSL_CTX_free(client_ctx);
    ERR_clear_error();
    return suite;
}

TEST_F(TlsConnect, Tls12OffersAeadSuitesOnlyUnlessTheSettingChoosesOthers) {
    vnx::SslCtxPtr ctx = server_context();
    ASSERT_NE(ctx, nullptr);
    for (const char *cbc : {"ECDHE-ECDSA-AES128-SHA", "ECDHE-ECDSA-AES256-SHA",
                            "ECDHE-ECDSA-AES128-SHA256", "AES128-SHA"})
        EXPECT_EQ(tls12_suite(ctx.get(), cbc), "") << cbc;
    for (const char *aead : {"ECDHE-ECDSA-AES128-GCM-SHA256", "ECDHE-ECDSA-AES256-GCM-SHA384",
                             "ECDHE-ECDSA-CHACHA20-POLY1305"})
        EXPECT_EQ(tls12_suite(ctx.get(), aead), aead);

    vnx::TlsServerSettings s;
    s.mode = vnx::TlsServerMode::Allow;
    s.cert = certs_->server_cert;
    s.key = certs_->server_key;
    s.ciphers = "ECDHE-ECDSA-AES128-SHA";
    std::string why, hint;
    vnx::SslCtxPtr chosen = vnx::make_server_context(s, &why, &hint);
    ASSERT_NE(chosen, nullptr) << why;
    EXPECT_EQ(tls12_suite(chosen.get(), "ECDHE-ECDSA-AES128-SHA"), "ECDHE-ECDSA-AES128-SHA");
    s.ciphers = "NO-SUCH-SUITE";
    EXPECT_EQ(vnx::make_server_context(s, &why, &hint), nullptr);
    EXPECT_EQ(why.rfind("NetServer \"tls_ciphers\" is \"NO-SUCH-SUITE\"", 0), 0u) << why;
    EXPECT_FALSE(hint.empty());
}

}  // namespace
