// A gateway's session notices to its master: the packet query "AddUser" when
// its client starts a session and "RemUser" when the session ends, sent to
// the master's port server with tcp_query.
#pragma once

#include <string>
#include <vector>

namespace vnx {

// Sends one query packet (type "n", info 0, the given fields) to the port
// server on host, at the port announced by the master that started this
// process (VNX_MASTER_PORT), else the base port (services entry "db_dqpbase",
// else DB_DQPBASE), and returns field 0 of the reply in *reply (cut to
// reply_size - 1 bytes when longer). 0 when a reply was read, -1 on any
// failure (*reply untouched). Waits at most a few seconds for the reply.
[[nodiscard]] int tcp_query(const std::vector<std::string> &fields, const std::string &host,
                            std::string *reply, size_t reply_size = 256);

// Session notice of this gateway: "AddUser" (add = true) or "RemUser" with the
// type code followed by the client's address, the user name, the port and
// GID/UID -1. "RemUser" is sent only when an earlier "AddUser" of this process
// was answered 0. Returns the number the port server answered, 0 for a
// "RemUser" that was not sent, or a negative value when the request failed.
// The host the session notices go to: NetServer "DQP_MASTERHOST", else this
// host's own name.
std::string notice_host();

// Looks host up and forgets the answer, so that the process's first notice
// does not pay for the resolver's one-time set-up (reading nsswitch.conf,
// hosts and gai.conf, about half a millisecond on a new process). Safe to
// call on any thread.
void warm_host_lookup(const std::string &host);

[[nodiscard]] int notify_port_server(bool add, const std::string &user_name,
                                     const std::string &port_text, const std::string &type_code);

// "IdleUser": this gateway's client has gone and the gateway stays, holding
// a kept data-source connection for another client; the port server then
// counts it for no client address until its next "AddUser". Sent only
// after an "AddUser" of this process was answered 0. The number the port
// server answered, 0 when not sent, negative when the request failed.
[[nodiscard]] int notify_port_server_idle(const std::string &port_text);

}  // namespace vnx
