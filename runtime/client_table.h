// The client table: 100 process-wide client slots, each one client's
// connection and per-client state. A slot is free while its socket is below 0.
// A slot index is the "client" argument of every send and receive.
//
// The table, like the rest of a gateway's runtime, belongs to the process's
// single request thread.
#pragma once

#include <string>

#include "transport/tcp.h"

namespace vnx {

inline constexpr int MAX_CLIENTS = 100;
inline constexpr int TRANSPORT_TCPIP = 1;

struct ClientSlot {
    int socket = -1;            // connection; -1 = free
    int transport = 0;          // 1 = TCP/IP; anything else makes send and receive fail
    std::string peer_name;      // client's dotted-decimal address, shown in trace lines
    int open_count = 0;         // second result of the last OPEN; 0 after CLOSE
    int port = 0;               // port served
    int table_closed = 1;       // 1 at start and after CLOSE; 0 while USE has a table open
    FrameReader reader;         // the connection's received bytes; emptied with the slot
    bool idle_timeout = false;  // the connection has the idle wait's receive timeout
};

// The slot for `client`, or null when the index is out of range.
ClientSlot *client_slot(int client);

// Takes the lowest free slot and connects it through the transport
// (tcp_accept(name, port) for transport 1). On the first call, frees every slot
// and reads maxbufsize from "DQP_TCPBUF". Returns the slot index, or -1 when no
// slot is free or the transport fails (the slot stays free).
int attach_to_client(const char *name, int transport, int port);

// Closes the slot's connection, frees it, closes the log stream. 0, or -1 for
// an unknown transport.
int detach_from_client(int client);

// Size bound of a METADATA packet: "DQP_TCPBUF" kilobytes, at most 16384;
// 16384 when the value is absent or empty.
int maxbufsize();
// Computes maxbufsize from a "DQP_TCPBUF" text.
int maxbufsize_from(const std::string &tcpbuf);

// Occupies a free slot with an already connected socket (tests, tools);
// returns the index or -1.
int attach_socket(int socket, int transport);

}  // namespace vnx
