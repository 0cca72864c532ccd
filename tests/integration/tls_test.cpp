// TLS end to end: a real master and its gateways with NetServer "tls" off,
// allow and require, clients of every mode, certificates the tests make,
// stalled and broken handshakes, a certificate renewed under a running
// master, and a cancel on an encrypted session.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/wait.h>

#include <fstream>
#include <thread>
#include <vector>

#include "client/connect_options.h"
#include "client/sql_client.h"
#include "master_harness.h"
#include "protocol/socket_io.h"
#include "protocol/tls_channel.h"
#include "tests/tls_certs.h"

using namespace vnxtest;

namespace {

// Runs for hours unless something stops it.
constexpr char kEndlessQuery[] =
    "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 100000000000) "
    "SELECT count(*) FROM c";

double cpu_seconds(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos) return 0;
    std::istringstream fields(stat.substr(paren + 2));
    std::string f;
    long ticks = 0;
    for (int i = 3; i <= 15 && (fields >> f); i++)
        if (i == 14 || i == 15) ticks += atol(f.c_str());
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class Tls : public Master {
  protected:
    void SetUp() override {
        Master::SetUp();
        certs_dir_ = root_ + "/certs";
        std::filesystem::create_directories(certs_dir_);
        ASSERT_TRUE(certs_.make(certs_dir_));
        set_tls_value("tls_cert", certs_.server_cert);
        set_tls_value("tls_key", certs_.server_key);
        set_tls_value("tls_ca", certs_.ca);
    }
    void set_tls_value(const std::string &name, const std::string &data) {
        EXPECT_EQ(store_->set_value(vnx::kNetServerKey, name, data), 0);
    }
    // Starts the master with NetServer "tls" = mode; waits until it answers
    // a TLS "?Active" (under "require" a plain one is refused).
    pid_t start_with(const std::string &mode) {
        set_tls_value("tls", mode);
        pid_t pid = start_master(mode != "require");
        if (mode == "require") {
            EXPECT_TRUE(wait_claimed(pid, 10000));
            EXPECT_TRUE(wait_active_tls(10000));
        }
        return pid;
    }
    bool wait_active_tls(int timeout_ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        dqp::TlsOptions tls = probe_;
        std::string answer, err;
        while (std::chrono::steady_clock::now() < end) {
            if (dqp::text_query("127.0.0.1", base_, "Active", &answer, &err, 2000, &tls) == 0 &&
                answer == "0")
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    static dqp::TlsOptions mode(dqp::TlsMode m, const std::string &ca = "") {
        dqp::TlsOptions o;
        o.mode = m;
        o.ca_file = ca;
        return o;
    }
    // A session on a new gateway with these options, STARTed; null and a
    // test failure when it cannot be had.
    std::unique_ptr<dqp::Connection> session(const dqp::TlsOptions &tls, std::string *err,
                                             pid_t *gateway = nullptr) {
        dqp::ConnectOptions o;
        o.tls = tls;
        o.timeout_ms = 60000;
        auto c = dqp::open_session("127.0.0.1", base_, "odb", err, nullptr, &o);
        if (c == nullptr) return nullptr;
        dqp::SqlClient sql(*c);
        int32_t pid = 0;
        if (sql.start("tester", "", &pid) != 0) {
            *err = "START failed: " + c->error();
            return nullptr;
        }
        if (gateway != nullptr) *gateway = pid;
        return c;
    }
    // The serial number of the certificate the port server shows now.
    long base_port_serial() {
        std::string err;
        int fd = dqp::connect_tcp("127.0.0.1", base_, 5000, &err);
        if (fd < 0) return -1;
        long serial = -1;
        if (dqp::start_client_tls(fd, mode(dqp::TlsMode::Require), "127.0.0.1", 5000, &err) ==
            dqp::TLS_STARTED) {
            X509 *cert = SSL_get1_peer_certificate(dqp::channel_tls(fd));
            serial = cert != nullptr ? ASN1_INTEGER_get(X509_get0_serialNumber(cert)) : -1;
            X509_free(cert);
        }
        dqp::channel_detach(fd);
        close(fd);
        return serial;
    }
    std::string master_err(size_t n = 0) {
        return read_file(root_ + "/master" + std::to_string(n) + ".err");
    }

    std::string certs_dir_;
    TlsCerts certs_;
    dqp::TlsOptions probe_ = mode(dqp::TlsMode::Require);  // wait_active_tls's
};

TEST_F(Tls, AllowServesPlainAndTlsClientsOnBothHops) {
    start_with("allow");
    std::string err;
    EXPECT_GT(request(), 0);  // a client that never heard of TLS
    bool encrypted = false;
    int port = 0;
    dqp::TlsOptions tls = mode(dqp::TlsMode::VerifyFull, certs_.ca);
    ASSERT_EQ(dqp::request_server("127.0.0.1", base_, "odb", &port, &err, 20000, &tls, &encrypted),
              0)
        << err;
    EXPECT_TRUE(encrypted);
    auto c = session(tls, &err);
    ASSERT_NE(c, nullptr) << err;
    EXPECT_TRUE(c->encrypted());
    EXPECT_EQ(c->tls_protocol(), "TLSv1.3");
    EXPECT_FALSE(c->tls_cipher().empty());
    auto plain = session(mode(dqp::TlsMode::Disable), &err);
    ASSERT_NE(plain, nullptr) << err;
    EXPECT_FALSE(plain->encrypted());
}

TEST_F(Tls, RequireClosesPlainClientsAndKeepsTheGatewaysNoticesWorking) {
    start_with("require");
    std::string err;
    EXPECT_EQ(request("odb", &err), -1);
    std::string answer = "unset";
    dqp::text_query("127.0.0.1", base_, "Active", &answer, &err);
    EXPECT_TRUE(answer.empty() || answer == "unset") << answer;  // closed without an answer
    auto c = session(mode(dqp::TlsMode::Require), &err);
    ASSERT_NE(c, nullptr) << err;
    EXPECT_TRUE(c->encrypted());
    // START reached the master as the gateway's plain "AddUser" notice: the
    // session is listed (asked over TLS).
    dqp::TlsOptions tls = mode(dqp::TlsMode::Require);
    std::vector<std::string> lines;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (lines.size() != 1 && std::chrono::steady_clock::now() < end) {
        EXPECT_EQ(dqp::list_sessions("127.0.0.1", base_, &lines, &err, 5000, &tls), 0) << err;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(lines.size(), 1u);
    // The statistics query (vnxadmin stats) likewise: over TLS only.
    std::vector<std::pair<std::string, std::string>> values;
    EXPECT_EQ(dqp::port_stats("127.0.0.1", base_, &values, &err, 5000, &tls), 0) << err;
    EXPECT_FALSE(values.empty());
    EXPECT_NE(dqp::port_stats("127.0.0.1", base_, &values, &err, 5000), 0);
}

TEST_F(Tls, OffGivesTlsClientsAClearErrorAndPreferFallsBackToPlain) {
    start_with("off");
    std::string err;
    int port = 0;
    dqp::TlsOptions tls = mode(dqp::TlsMode::Require);
    EXPECT_EQ(dqp::request_server("127.0.0.1", base_, "odb", &port, &err, 20000, &tls), -1);
    EXPECT_NE(err.find("the server does not offer TLS"), std::string::npos) << err;
    auto c = session(mode(dqp::TlsMode::Prefer), &err);
    ASSERT_NE(c, nullptr) << err;
    EXPECT_FALSE(c->encrypted());
}

TEST_F(Tls, VerifyFullRefusesAWrongHostNameAndVerifyCaAWrongCa) {
    start_with("allow");
    std::string err;
    int port = 0;
    dqp::TlsOptions wrong_host = mode(dqp::TlsMode::VerifyFull, certs_.ca);
    wrong_host.host = "db.example.org";
    EXPECT_EQ(dqp::request_server("127.0.0.1", base_, "odb", &port, &err, 20000, &wrong_host), -1);
    EXPECT_NE(err.find("certificate"), std::string::npos) << err;
    dqp::TlsOptions wrong_ca = mode(dqp::TlsMode::VerifyCa, certs_.other_ca);
    EXPECT_EQ(dqp::request_server("127.0.0.1", base_, "odb", &port, &err, 20000, &wrong_ca), -1);
    EXPECT_NE(err.find("certificate"), std::string::npos) << err;
}

TEST_F(Tls, ClientCertificateRequiredRefusesAClientWithoutOne) {
    set_tls_value("tls_client_cert", "require");
    probe_.cert_file = certs_.client_cert;
    probe_.key_file = certs_.client_key;
    start_with("require");
    std::string err;
    EXPECT_EQ(session(mode(dqp::TlsMode::Require), &err), nullptr);
    dqp::TlsOptions with_cert = mode(dqp::TlsMode::VerifyFull, certs_.ca);
    with_cert.cert_file = certs_.client_cert;
    with_cert.key_file = certs_.client_key;
    auto c = session(with_cert, &err);
    ASSERT_NE(c, nullptr) << err;
    EXPECT_TRUE(c->encrypted());
}

TEST_F(Tls, StalledHandshakeOnTheBasePortDelaysNobodyAndIsClosedAtTheDeadline) {
    start_with("allow");
    std::string err;
    int stalled = dqp::connect_tcp("127.0.0.1", base_, 10000, &err);
    ASSERT_GE(stalled, 0) << err;
    const char start_of_hello[] = "\x16\x03\x01";
    ASSERT_EQ(dqp::write_full(stalled, start_of_hello, 3), 3);
    // Meanwhile another client gets its port and its session.
    auto c = session(mode(dqp::TlsMode::Require), &err);
    EXPECT_NE(c, nullptr) << err;
    // The request deadline closes the stalled one (the read returns 0).
    char b;
    EXPECT_EQ(dqp::read_full(stalled, &b, 1), 0);
    close(stalled);
}

TEST_F(Tls, StalledHandshakeOnAGatewayEndsAtTheClaimTimeout) {
    set_port_server_value("claim_timeout", "1");
    start_with("allow");
    std::string err;
    int port = request("odb", &err);
    ASSERT_GT(port, 0) << err;
    int stalled = dqp::connect_tcp("127.0.0.1", port, 30000, &err);
    ASSERT_GE(stalled, 0) << err;
    ASSERT_EQ(dqp::write_full(stalled, "\x16\x03", 2), 2);
    char b;
    EXPECT_LE(dqp::read_full(stalled, &b, 1), 0);  // closed, not left hanging
    close(stalled);
    // The port server was never held up.
    EXPECT_GT(request(), 0);
}

TEST_F(Tls, KeyReadableByOthersOrMissingCertificateRefusesTheMasterToStart) {
    chmod(certs_.server_key.c_str(), 0640);
    set_tls_value("tls", "allow");
    pid_t pid = start_master(false);
    EXPECT_NE(wait_exit(pid, 10000), 0);
    EXPECT_NE(master_err(0).find(certs_.server_key), std::string::npos) << master_err(0);
    EXPECT_NE(master_err(0).find("chmod 600"), std::string::npos) << master_err(0);
    chmod(certs_.server_key.c_str(), 0600);
    set_tls_value("tls_cert", certs_dir_ + "/absent.crt");
    pid = start_master(false);
    EXPECT_NE(wait_exit(pid, 10000), 0);
    EXPECT_NE(master_err(1).find("absent.crt"), std::string::npos) << master_err(1);
}

TEST_F(Tls, KeyMadeReadableByOthersAfterStartBreaksNoNewSession) {
    start_with("allow");
    chmod(certs_.server_key.c_str(), 0644);
    // Each session needs a new gateway: they take the key the master checked.
    std::vector<std::unique_ptr<dqp::Connection>> open;
    std::string err;
    for (dqp::TlsMode m :
         {dqp::TlsMode::VerifyFull, dqp::TlsMode::VerifyFull, dqp::TlsMode::VerifyFull,
          dqp::TlsMode::VerifyFull, dqp::TlsMode::Disable, dqp::TlsMode::Disable}) {
        open.push_back(session(mode(m, certs_.ca), &err));
        ASSERT_NE(open.back(), nullptr) << open.size() << ": " << err;
        EXPECT_EQ(open.back()->encrypted(), m != dqp::TlsMode::Disable);
    }
    chmod(certs_.server_key.c_str(), 0600);
}

TEST_F(Tls, GatewayRefusesToStartWithAnUnreadableCertificate) {
    set_tls_value("tls", "require");
    set_tls_value("tls_cert", certs_dir_ + "/absent.crt");
    std::string out = root_ + "/gw.err";
    std::string cmd = root_ + "/odbserver " + root_ + "/odbserver " +
                      std::to_string(free_base_port()) + " 2>" + out;
    int st = system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) != 0);
    EXPECT_NE(read_file(out).find("absent.crt"), std::string::npos) << read_file(out);
}

TEST_F(Tls, ReloadLoadsARenewedCertificateAndOpenSessionsGoOn) {
    set_spares(1);
    pid_t master = start_with("allow");
    std::string err;
    auto open = session(mode(dqp::TlsMode::VerifyFull, certs_.ca), &err);
    ASSERT_NE(open, nullptr) << err;
    long before = base_port_serial();
    ASSERT_GT(before, 0);
    ASSERT_TRUE(certs_.renew_server());
    kill(master, SIGHUP);
    long after = before;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (after == before && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        after = base_port_serial();
    }
    EXPECT_NE(after, before);
    // A new session's gateway shows the renewed certificate too: the spare
    // started before the reload was replaced.
    auto fresh = session(mode(dqp::TlsMode::VerifyFull, certs_.ca), &err);
    ASSERT_NE(fresh, nullptr) << err;
    X509 *cert = SSL_get1_peer_certificate(dqp::channel_tls(fresh->fd()));
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(ASN1_INTEGER_get(X509_get0_serialNumber(cert)), after);
    X509_free(cert);
    // The session opened before the reload still answers.
    dqp::Reply r;
    EXPECT_EQ(open->request('O', 0, {}, &r), 0) << open->error();
}

TEST_F(Tls, ReloadWithABrokenCertificateKeepsTheOneInUse) {
    pid_t master = start_with("allow");
    long before = base_port_serial();
    ASSERT_GT(before, 0);
    std::ofstream(certs_.server_cert) << "-----BEGIN CERTIFICATE-----\nnot base64\n";
    kill(master, SIGHUP);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (master_err().find("TLS reload refused") == std::string::npos &&
           std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(master_err().find("TLS reload refused, the certificate in use is kept"),
              std::string::npos)
        << master_err();
    EXPECT_EQ(base_port_serial(), before);
    // A new gateway shows the certificate kept, not the broken file.
    std::string err;
    auto fresh = session(mode(dqp::TlsMode::VerifyFull, certs_.ca), &err);
    ASSERT_NE(fresh, nullptr) << err;
    X509 *cert = SSL_get1_peer_certificate(dqp::channel_tls(fresh->fd()));
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(ASN1_INTEGER_get(X509_get0_serialNumber(cert)), before);
    X509_free(cert);
}

TEST_F(Tls, CancelStopsTheRunningStatementOfAnEncryptedSession) {
    use_sqlite_dsn("vnxtls", "tls.db");
    start_with("require");
    std::string err;
    pid_t gateway = 0;
    auto c = session(mode(dqp::TlsMode::Require), &err, &gateway);
    ASSERT_NE(c, nullptr) << err;
    ASSERT_GT(gateway, 0);
    dqp::SqlClient sql(*c);
    ASSERT_EQ(sql.connect("vnxtls", "", ""), 0) << c->error();
    double cpu = cpu_seconds(gateway);
    dqp::ExecResult res;
    std::thread canceller([&] {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (cpu_seconds(gateway) < cpu + 0.3 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(c->cancel(), 0);
    });
    EXPECT_NE(sql.execsql(kEndlessQuery, &res), 0);
    canceller.join();
    // The session goes on, still encrypted: the urgent byte never entered
    // the TLS stream.
    ASSERT_EQ(sql.execsql("SELECT 1", &res), 0) << c->error();
    EXPECT_TRUE(c->encrypted());
}

}  // namespace
