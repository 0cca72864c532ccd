// What the port server has done since the master started, for "vnxadmin
// stats": counters of sessions started and requests refused, claims that ran
// out and gateways that could not start, how the server requests were served
// and how long they waited for their port, in a histogram of fixed size.
//
// Owned by the port-server thread, which alone counts and answers the "Stats"
// query; nothing here grows with the number of requests. The query's answer
// is one text of "name value" lines (see port_stats_text), cut to a size the
// reply packet carries.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace vnx {

// Waits in microseconds, counted in log-scale buckets: 0 to 3 µs one bucket
// each, then four buckets per power of two up to 2^31 µs (about 36 minutes;
// longer waits count in the last bucket). A percentile is the upper bound of
// the bucket that holds it: at most a quarter above the true value.
class LatencyHistogram {
  public:
    static constexpr int kBuckets = 124;
    static int bucket_of(uint64_t micros);
    // The largest wait that counts in bucket i.
    static uint64_t bucket_upper(int i);
    void add(uint64_t micros);
    uint64_t count() const { return total_; }
    // The wait that p (0 < p <= 1) of the samples do not exceed, as a bucket
    // bound; 0 when there are no samples.
    uint64_t percentile(double p) const;

  private:
    std::array<uint64_t, kBuckets> counts_{};
    uint64_t total_ = 0;
};

struct PortStats {
    time_t started = 0;  // the master's start (wall clock)
    std::chrono::steady_clock::time_point started_steady{};
    uint64_t sessions_started = 0;  // "AddUser" accepted from a gateway
    uint64_t refused_allow = 0;     // requests from outside PortServer "allow"
    uint64_t refused_cap = 0;       // server requests over a per-host cap
    uint64_t refused_stopping = 0;  // server requests while the master stops
    uint64_t claim_timeouts = 0;    // gateways ended: no session within claim_timeout
    uint64_t spawn_failures = 0;    // gateways that could not start or listen in time
    uint64_t served_by_spare = 0;   // server requests answered with a warm spare
    uint64_t served_by_new = 0;     // server requests that started their own gateway
    LatencyHistogram port_wait;     // request arrival -> port answered
};

// The counters (the port-server thread's).
PortStats &port_stats();
// Starts counting anew (master start; tests).
void port_stats_reset();

void port_stats_session_started();
void port_stats_refused_allow();
void port_stats_refused_cap();
void port_stats_refused_stopping();
void port_stats_claim_timed_out();
void port_stats_spawn_failed();
// A server request was answered with a port after `waited`.
void port_stats_port_answered(std::chrono::steady_clock::duration waited, bool from_spare);

// What the port table holds at the moment of the query.
struct PortTableView {
    int spares_wanted = 0;
    int spares_ready = 0;     // listening, waiting for a client
    int spares_starting = 0;  // started, not yet listening
    int unclaimed = 0;        // handed out, session not started
    int live = 0;             // sessions running
    // Live sessions per client address, most first.
    std::vector<std::pair<std::string, int>> live_by_host;
};

// The "Stats" answer: one "name value" line each (names of letters, digits
// and "_"), then "host ADDRESS COUNT" lines, most sessions first. Host lines
// that would take the text past max_bytes are left out and counted in
// "hosts_omitted". Ends with a line end.
std::string port_stats_text(const PortStats &stats, const PortTableView &view, size_t max_bytes);

}  // namespace vnx
