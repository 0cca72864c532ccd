// Certificates that TLS tests make for themselves with the openssl program:
// a CA and a server certificate it signed (for localhost and 127.0.0.1), a
// client certificate it signed, a second CA that signed nothing the servers
// show, and a self-signed server certificate. Keys are EC P-256 (quick to
// make), written with mode 0600 as the servers demand.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace vnxtest {

struct TlsCerts {
    std::string dir;
    std::string ca, other_ca;             // CA certificates
    std::string server_cert, server_key;  // signed by ca: DNS localhost, IP 127.0.0.1
    std::string client_cert, client_key;  // signed by ca
    std::string self_cert, self_key;      // self-signed, CN=selfsigned

    // Makes every file in dir (which must exist); false when openssl failed.
    bool make(const std::string &in) {
        dir = in;
        ca = dir + "/ca.crt";
        other_ca = dir + "/other_ca.crt";
        server_cert = dir + "/server.crt";
        server_key = dir + "/server.key";
        client_cert = dir + "/client.crt";
        client_key = dir + "/client.key";
        self_cert = dir + "/self.crt";
        self_key = dir + "/self.key";
        std::ofstream(dir + "/server.ext") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
        bool ok = self_signed("ca", "Test CA") && self_signed("other_ca", "Other CA") &&
                  self_signed("self", "selfsigned") && signed_by_ca("server", "localhost", true) &&
                  signed_by_ca("client", "tester", false);
        for (const std::string &key : {server_key, client_key, self_key, dir + "/ca.key"})
            chmod(key.c_str(), 0600);
        return ok;
    }

    // Writes a renewed server certificate (new key, same names) over the
    // old files; its serial differs, which tests compare.
    bool renew_server() { return signed_by_ca("server", "localhost", true); }

  private:
    static bool run(const std::string &cmd) {
        return system((cmd + " >/dev/null 2>&1").c_str()) == 0;
    }
    static std::string new_key(const std::string &key) {
        return "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + key;
    }
    bool self_signed(const std::string &name, const std::string &cn) {
        return run("openssl req -x509 " + new_key(dir + "/" + name + ".key") + " -out " + dir +
                   "/" + name + ".crt -days 2 -subj '/CN=" + cn + "'");
    }
    bool signed_by_ca(const std::string &name, const std::string &cn, bool server) {
        std::string base = dir + "/" + name;
        return run("openssl req " + new_key(base + ".key") + " -out " + base +
                   ".csr -subj '/CN=" + cn + "'") &&
               run("openssl x509 -req -in " + base + ".csr -CA " + dir + "/ca.crt -CAkey " + dir +
                   "/ca.key -set_serial " + std::to_string(rand() % 1000000 + 2) + " -out " + base +
                   ".crt -days 2" + (server ? " -extfile " + dir + "/server.ext" : "")) &&
               chmod((base + ".key").c_str(), 0600) == 0;
    }
};

}  // namespace vnxtest
