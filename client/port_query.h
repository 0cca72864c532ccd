// Reaching a gateway through the master's port server.
//
// A client connects to the base port, names a server type ("odb") and gets the
// port of the gateway that was started for it; then it talks DQP to that port.
// The port server also answers "?Active" and packet queries ("GetUser").
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "client/dqp_client.h"

namespace dqp {

// Asks the port server at host:base_port for a server of `type`. 0 and the
// port in *port, or -1 with the reason in *err. With tls the request travels
// as tls says (connect_options.h); *encrypted then tells whether it did (under
// "prefer" the server decides).
VARNEX_API int request_server(const std::string &host, int base_port, const std::string &type,
                              int *port, std::string *err, int timeout_ms = 120000,
                              const TlsOptions *tls = nullptr, bool *encrypted = nullptr);

// Connects to a new gateway of `type` started for this client: request_server
// followed by Connection::open. Null and *err on failure. With options both
// hops use its TLS options; under "prefer" the gateway hop does what the
// base port did (the gateway serves one connection: a refused TLS attempt
// would use it up).
VARNEX_API std::unique_ptr<Connection> open_session(const std::string &host, int base_port,
                                                    const std::string &type, std::string *err,
                                                    int *port = nullptr,
                                                    const ConnectOptions *options = nullptr);

// Text query "?<command>": 0 and the answer text ("0" for "Active"), or -1.
// timeout_ms bounds the connect and each receive.
VARNEX_API int text_query(const std::string &host, int base_port, const std::string &command,
                          std::string *answer, std::string *err, int timeout_ms = 10000,
                          const TlsOptions *tls = nullptr);

// Packet query (type "n", info 0, the fields): 0 and the reply packet, or -1.
// The reply is read until the port server closes the connection; timeout_ms
// bounds the connect and each receive.
VARNEX_API int packet_query(const std::string &host, int base_port,
                            const std::vector<std::string> &fields, Reply *reply, std::string *err,
                            int timeout_ms = 10000, const TlsOptions *tls = nullptr);

// More "GetUser" answers than any port table holds: a peer that gives them
// is no port server (or a broken one), and the listing stops.
inline constexpr size_t kMaxListedSessions = 4096;

// The live sessions as "GetUser" lines, in slot order, asked within
// timeout_ms in all. -1 and *err when a query fails, the time runs out or
// the peer lists more than kMaxListedSessions.
VARNEX_API int list_sessions(const std::string &host, int base_port,
                             std::vector<std::string> *lines, std::string *err,
                             int timeout_ms = 10000, const TlsOptions *tls = nullptr);

// The port server's statistics ("Stats" query): its "name value" lines as
// pairs, in the order sent ("host" lines give the address and count as the
// value, "192.0.2.7 3"). -1 and *err when the query fails, is refused or the
// answer is not such lines. A port server older than the query answers
// "Command Stats not found", reported as such.
VARNEX_API int port_stats(const std::string &host, int base_port,
                          std::vector<std::pair<std::string, std::string>> *values,
                          std::string *err, int timeout_ms = 10000,
                          const TlsOptions *tls = nullptr);

}  // namespace dqp
