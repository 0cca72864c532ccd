// The client table. See client_table.h.
#include "runtime/client_table.h"

#include <array>
#include <cstdlib>

#include "protocol/packet.h"
#include "protocol/trace.h"
#include "support/config_cache.h"
#include "transport/tcp.h"

namespace vnx {

namespace {

struct ClientTable {
    std::array<ClientSlot, MAX_CLIENTS> slots;
    bool initialised = false;
    int maxbufsize = dqp::PKT_MAX_SIZE;
};

ClientTable &table() {
    static ClientTable t;
    return t;
}

void initialise_once() {
    ClientTable &t = table();
    if (t.initialised) return;
    t.initialised = true;
    for (ClientSlot &s : t.slots)
        s = ClientSlot{};
    t.maxbufsize = maxbufsize_from(get_netserver_value("DQP_TCPBUF"));
}

int lowest_free_slot() {
    ClientTable &t = table();
    for (int i = 0; i < MAX_CLIENTS; i++)
        if (t.slots[i].socket < 0) return i;
    return -1;
}

}  // namespace

ClientSlot *client_slot(int client) {
    if (client < 0 || client >= MAX_CLIENTS) return nullptr;
    return &table().slots[client];
}

int maxbufsize_from(const std::string &tcpbuf) {
    if (tcpbuf.empty()) return dqp::PKT_MAX_SIZE;
    long kb = strtol(tcpbuf.c_str(), nullptr, 10);
    if (kb <= 0) return 0;  // as the value says: every packet goes alone
    if (kb >= dqp::PKT_MAX_SIZE / 1024) return dqp::PKT_MAX_SIZE;
    return static_cast<int>(kb * 1024);
}

int maxbufsize() {
    return table().maxbufsize;
}

int attach_to_client(const char *name, int transport, int port) {
    initialise_once();
    int index = lowest_free_slot();
    if (index < 0) return -1;
    ClientSlot &slot = table().slots[index];
    slot.transport = transport;
    int sock = -1;
    if (transport == TRANSPORT_TCPIP) sock = tcp_accept(name, port);
    if (sock < 0) {
        slot = ClientSlot{};
        return -1;
    }
    if (dqp::tracing())
        dqp::tracef("[attach_to_client]", "client attached to server, protocol='%s', maxbufsize=%d",
                    "tcp/ip", maxbufsize());
    slot.socket = sock;
    return index;
}

int attach_socket(int sock, int transport) {
    initialise_once();
    int index = lowest_free_slot();
    if (index < 0) return -1;
    table().slots[index] = ClientSlot{};
    table().slots[index].socket = sock;
    table().slots[index].transport = transport;
    return index;
}

int detach_from_client(int client) {
    ClientSlot *slot = client_slot(client);
    if (slot == nullptr || slot->transport != TRANSPORT_TCPIP) return -1;
    if (dqp::tracing()) dqp::trace("[detach_from_client]", "server operation terminated");
    if (slot->socket >= 0) tcp_close(slot->socket);
    *slot = ClientSlot{};
    dqp::close_log_stream();
    return 0;
}

}  // namespace vnx
