// dqpsh: a small DQP shell. It asks a master's port server for a gateway (or
// connects to a gateway port directly) and sends requests typed one per line,
// printing each reply. Commands come from -c options, else from standard
// input ("dqp> " prompt on a terminal).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "client/dqp_client.h"
#include "client/port_query.h"
#include "protocol/packet.h"
#include "support/config_cache.h"

namespace {

struct Shell {
    std::string host = "127.0.0.1";
    int base_port = 0;
    int direct_port = 0;
    std::string type = "odb";
    std::unique_ptr<dqp::Connection> gateway;
    bool quit = false;
};

using Words = std::vector<std::string>;
using Command = int (*)(Shell &, const Words &);

void print_reply(const dqp::Reply &r) {
    const char *name = dqp::packet_type_name(r.type);
    printf("%s info=%d", name != nullptr ? name + 9 : "?", r.info);
    for (const std::string &a : r.args)
        printf(" [%s]", a.c_str());
    printf("\n");
}

int need_gateway(Shell &sh) {
    if (sh.gateway != nullptr) return 0;
    std::string err;
    int port = sh.direct_port;
    if (port == 0) {
        if (sh.base_port == 0) {
            fprintf(stderr, "dqpsh: no base port\nhint: give --base-port or set DB_DQPBASE\n");
            return -1;
        }
        if (dqp::request_server(sh.host, sh.base_port, sh.type, &port, &err) != 0) {
            fprintf(stderr, "dqpsh: no gateway\ndetail: %s\n", err.c_str());
            return -1;
        }
        printf("gateway on port %d\n", port);
    }
    sh.gateway = dqp::Connection::open(sh.host, port, &err);
    if (sh.gateway == nullptr) {
        fprintf(stderr, "dqpsh: %s\n", err.c_str());
        return -1;
    }
    return 0;
}

// Sends a request and prints its reply (or the rows of a result).
int request(Shell &sh, int type, int32_t info, const Words &args, bool expect_reply = true) {
    if (need_gateway(sh) != 0) return -1;
    std::vector<std::string_view> views(args.begin(), args.end());
    if (sh.gateway->send(type, info, views) != 0) {
        fprintf(stderr, "dqpsh: %s\n", sh.gateway->error().c_str());
        return -1;
    }
    if (!expect_reply) return 0;
    dqp::Reply r;
    if (sh.gateway->receive(&r) != 0) {
        fprintf(stderr, "dqpsh: %s\n", sh.gateway->error().c_str());
        sh.gateway.reset();
        return -1;
    }
    print_reply(r);
    return r.type == dqp::PKT_TYPE_NOK ? 1 : 0;
}

int cmd_active(Shell &sh, const Words &) {
    std::string answer, err;
    if (dqp::text_query(sh.host, sh.base_port, "Active", &answer, &err) != 0) {
        fprintf(stderr, "dqpsh: %s\n", err.c_str());
        return -1;
    }
    printf("%s\n", answer.c_str());
    return 0;
}

int cmd_sessions(Shell &sh, const Words &) {
    std::vector<std::string> lines;
    std::string err;
    if (dqp::list_sessions(sh.host, sh.base_port, &lines, &err) != 0) {
        fprintf(stderr, "dqpsh: %s\n", err.c_str());
        return -1;
    }
    for (const std::string &l : lines)
        printf("%s\n", l.c_str());
    printf("(%zu session%s)\n", lines.size(), lines.size() == 1 ? "" : "s");
    return 0;
}

int cmd_start(Shell &sh, const Words &w) {
    std::string user = w.size() > 1 ? w[1] : "dqpsh", pw = w.size() > 2 ? w[2] : "";
    return request(sh, dqp::PKT_TYPE_START, 0, {"", user, pw});
}

int cmd_stop(Shell &sh, const Words &) {
    int rc = request(sh, dqp::PKT_TYPE_STOP, 0, {}, false);
    sh.gateway.reset();
    return rc;
}

// send TYPE INFO [ARG...]: any request, TYPE as its character.
int cmd_send(Shell &sh, const Words &w) {
    if (w.size() < 2 || w[1].size() != 1) {
        fprintf(stderr, "dqpsh: usage: send TYPE [INFO [ARG...]]\n");
        return -1;
    }
    int32_t info = w.size() > 2 ? static_cast<int32_t>(strtol(w[2].c_str(), nullptr, 10)) : 0;
    Words args(w.size() > 3 ? w.begin() + 3 : w.end(), w.end());
    bool silent = w[1][0] == dqp::PKT_TYPE_LOGGING || w[1][0] == dqp::PKT_TYPE_STOP ||
                  w[1][0] == dqp::PKT_TYPE_ABORT;
    return request(sh, w[1][0], info, args, !silent);
}

int cmd_quit(Shell &sh, const Words &) {
    sh.quit = true;
    return 0;
}

int cmd_help(Shell &, const Words &);

struct Entry {
    const char *name;
    Command fn;
    const char *help;
};

constexpr Entry kCommands[] = {
    {"active", cmd_active, "ask the port server whether it is active"},
    {"sessions", cmd_sessions, "list the live sessions (GetUser)"},
    {"start", cmd_start, "start [USER [PASSWORD]]: get a gateway and send START"},
    {"send", cmd_send, "send TYPE [INFO [ARG...]]: any request"},
    {"stop", cmd_stop, "send STOP and leave the gateway"},
    {"quit", cmd_quit, "leave dqpsh"},
    {"help", cmd_help, "this list"},
};

int cmd_help(Shell &, const Words &) {
    for (const Entry &e : kCommands)
        printf("  %-9s %s\n", e.name, e.help);
    return 0;
}

int run_line(Shell &sh, const std::string &line) {
    std::istringstream in(line);
    Words w;
    for (std::string word; in >> word;)
        w.push_back(word);
    if (w.empty() || w[0][0] == '#') return 0;
    for (const Entry &e : kCommands)
        if (w[0] == e.name) return e.fn(sh, w);
    fprintf(stderr, "dqpsh: unknown command \"%s\"\nhint: type help\n", w[0].c_str());
    return -1;
}

void usage(FILE *out) {
    fprintf(out,
            "usage: dqpsh [--host HOST] [--base-port N | --port P] [--type NAME] [-c COMMAND]...\n"
            "The base port defaults to DB_DQPBASE of the configuration store ($VNX_REGISTRY).\n");
}

}  // namespace

int main(int argc, char **argv) {
    Shell sh;
    std::vector<std::string> commands;
    sh.base_port = atoi(vnx::get_registry_value("DB_DQPBASE", vnx::kRootKey).c_str());
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        bool has_value = i + 1 < argc;
        if (a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "--host" && has_value) {
            sh.host = argv[++i];
        } else if (a == "--base-port" && has_value) {
            sh.base_port = atoi(argv[++i]);
        } else if (a == "--port" && has_value) {
            sh.direct_port = atoi(argv[++i]);
        } else if (a == "--type" && has_value) {
            sh.type = argv[++i];
        } else if (a == "-c" && has_value) {
            commands.push_back(argv[++i]);
        } else {
            usage(stderr);
            return 2;
        }
    }
    int failures = 0;
    if (!commands.empty()) {
        for (const std::string &c : commands)
            if (run_line(sh, c) < 0) failures++;
        return failures == 0 ? 0 : 1;
    }
    bool tty = isatty(0);
    std::string line;
    while (!sh.quit) {
        if (tty) printf("dqp> "), fflush(stdout);
        if (!std::getline(std::cin, line)) break;
        if (run_line(sh, line) < 0) failures++;
    }
    return failures == 0 ? 0 : 1;
}
