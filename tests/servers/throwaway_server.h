// Throwaway database servers for the tests that need PostgreSQL or MariaDB:
// each runs from its own data directory in a temporary folder, on its own
// loopback port, as the unprivileged user "nobody" when the tests run as root,
// and is stopped and removed afterwards. Nothing depends on a system service.
// When a server's programs are not installed, start() fails with a message
// saying which package is missing, and the tests that need it skip.
#pragma once

#include <string>
#include <vector>

namespace vnxtest {

class ThrowawayServer {
  public:
    virtual ~ThrowawayServer() = default;
    // Starts the server (once); false and why() when it cannot.
    virtual bool start() = 0;
    // Stops the server now (the data directory stays, for restart()).
    virtual void stop() = 0;
    virtual bool restart() = 0;
    // Stops the server and removes its folder.
    virtual void destroy() = 0;
    // The odbc.ini body of a DSN for this server (user "vnx", password "secret").
    virtual std::string dsn_body(const std::string &extra = "") const = 0;

    // False when the server's programs are not installed (tests skip);
    // a server that is installed but fails to start fails its tests.
    bool installed() const { return installed_; }
    int port() const { return port_; }
    const std::string &why() const { return why_; }
    const std::string &dir() const { return dir_; }

  protected:
    // Makes the server's folder, owned by the user the server runs as.
    bool make_dir(const char *prefix);
    bool fail(const std::string &why) {
        why_ = why;
        return false;
    }
    bool not_installed(const std::string &why) {
        installed_ = false;
        return fail(why);
    }
    int port_ = 0;
    bool installed_ = true;
    std::string dir_, why_;
};

class PostgresServer : public ThrowawayServer {
  public:
    bool start() override;
    void stop() override;
    bool restart() override;
    void destroy() override;
    std::string dsn_body(const std::string &extra = "") const override;

  private:
    bool pg_ctl_start();
    std::string bin_;
    bool running_ = false;
};

class MariadbServer : public ThrowawayServer {
  public:
    bool start() override;
    void stop() override;
    bool restart() override;
    void destroy() override;
    std::string dsn_body(const std::string &extra = "") const override;

  private:
    bool launch();
    int pid_ = -1;
};

// Runs a program (as "nobody" when this process is root) with its output in
// `log`; with wait, returns its exit code (-1 when it could not run),
// otherwise its pid.
int run_unprivileged(const std::vector<std::string> &argv, const std::string &log, bool wait);

}  // namespace vnxtest
