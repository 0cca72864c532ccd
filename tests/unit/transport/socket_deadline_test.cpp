// Telling a connection's socket by what a connect opened, and bounding a
// wait on it by shutting it down.
#include "transport/socket_deadline.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/unique_fd.h"

namespace {

using vnx::SocketId;

struct Pair {
    vnx::UniqueFd a, b;
    Pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            a.reset(fds[0]);
            b.reset(fds[1]);
        }
    }
};

SocketId find(int fd) {
    for (const SocketId &id : vnx::open_sockets())
        if (id.fd == fd) return id;
    return {};
}

TEST(SocketDeadline, NewSocketIsTheOneThatAppeared) {
    const SocketId x{5, 1, 100}, y{6, 1, 101}, x_reused{5, 1, 102};
    struct Case {
        const char *what;
        std::vector<SocketId> before, after;
        int want_fd;
        ino_t want_ino;
    } cases[] = {
        {"nothing new", {x}, {x}, -1, 0},
        {"one new", {x}, {x, y}, 6, 101},
        {"two new: which is unknown", {}, {x, y}, -1, 0},
        {"a number closed and opened again is new", {x}, {x_reused}, 5, 102},
        {"one gone, none new", {x, y}, {y}, -1, 0},
    };
    for (const Case &c : cases) {
        SocketId got = vnx::new_socket(c.before, c.after);
        EXPECT_EQ(got.fd, c.want_fd) << c.what;
        EXPECT_EQ(got.valid() ? got.ino : 0, c.want_ino) << c.what;
    }
}

TEST(SocketDeadline, OpenSocketsSeesANewPairAndNotAClosedOne) {
    const std::vector<SocketId> before = vnx::open_sockets();
    Pair p;
    ASSERT_TRUE(p.a.valid());
    SocketId a = find(p.a.get());
    ASSERT_TRUE(a.valid());
    EXPECT_TRUE(vnx::still_open(a));
    EXPECT_FALSE(vnx::new_socket(before, vnx::open_sockets()).valid()) << "two appeared";
    int fd = p.a.get();
    p.a.reset();
    EXPECT_FALSE(vnx::still_open(a));
    int pipes[2];
    ASSERT_EQ(pipe(pipes), 0);
    vnx::UniqueFd r(pipes[0]), w(pipes[1]);
    EXPECT_FALSE(vnx::still_open(a)) << "fd " << fd << " may now be a pipe, not that socket";
    EXPECT_FALSE(vnx::socket_deadline_arm(a, 1000)) << "a closed socket is never armed";
}

// A wait that outlasts the bound ends with end of file; one that is
// disarmed in time leaves the socket working.
TEST(SocketDeadline, BoundShutsTheSocketOnlyWhenItRunsOut) {
    struct Case {
        int timeout_ms;
        bool wait_on_it;
    } cases[] = {{50, true}, {600000, false}};
    for (const Case &c : cases) {
        Pair p;
        SocketId a = find(p.a.get());
        ASSERT_TRUE(vnx::socket_deadline_arm(a, c.timeout_ms));
        char byte = 0;
        if (c.wait_on_it) {
            EXPECT_EQ(recv(p.a.get(), &byte, 1, 0), 0) << "the blocked receive ends";
            EXPECT_TRUE(vnx::socket_deadline_disarm());
        } else {
            EXPECT_FALSE(vnx::socket_deadline_disarm());
            ASSERT_EQ(send(p.b.get(), "k", 1, MSG_NOSIGNAL), 1);
            EXPECT_EQ(recv(p.a.get(), &byte, 1, 0), 1) << "the socket still works";
        }
        EXPECT_FALSE(vnx::socket_deadline_disarm()) << "nothing is armed any more";
    }
}

}  // namespace
