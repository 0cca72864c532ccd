// Handing a client socket to a holder over its Unix socket: what arrives,
// what is declined, and how holders are found.
#include "transport/session_handover.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>

#include "support/unique_fd.h"

namespace {

using vnx::HandoverOffer;

class Handover : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vnx_handover_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        key_ = vnx::handover_key("pg", "vnx");
    }
    void TearDown() override { std::filesystem::remove_all(root_); }
    HandoverOffer sample() const {
        return {"pg", "vnx", "secret", "tester", "127.0.0.1", std::string("0000001Fframe\0x", 15)};
    }

    // One hand-over under way: a holder listening, a client connection
    // (`near` is offered, `far` is the client's end), the offer made from
    // another thread, and what the holder received.
    struct Exchange {
        vnx::UniqueFd listener, near, far;
        std::future<bool> taken;
        HandoverOffer got;
        int client = -1, peer = -1;
    };

    // Starts offering `sent` (with `on_taken` and the offerer's wait) and
    // receives it at the holder; false (with a failure recorded) when any
    // step fails.
    bool exchange(Exchange *x, const HandoverOffer &sent, std::function<void()> on_taken,
                  int answer_wait_ms = vnx::kAnswerWaitMs) {
        std::string path, why;
        x->listener = vnx::UniqueFd(vnx::holder_listen(root_, key_, &path, &why));
        int pair[2];
        if (!x->listener.valid() || socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
            ADD_FAILURE() << "no holder socket or client pair: " << why;
            return false;
        }
        x->near = vnx::UniqueFd(pair[0]);
        x->far = vnx::UniqueFd(pair[1]);
        x->taken = std::async(std::launch::async, [this, x, &sent, on_taken, answer_wait_ms] {
            return vnx::offer_client(root_, key_, x->near.get(), sent, on_taken, answer_wait_ms);
        });
        if (vnx::holder_wait(x->listener.get(), 5000, &x->got, &x->client, &x->peer) != 1) {
            ADD_FAILURE() << "the offer did not arrive";
            return false;
        }
        return true;
    }

    // Waits until n holders of the key listen.
    bool eventually_holders(size_t n) {
        for (int i = 0; i < 500; i++) {
            if (vnx::holder_sockets(root_, key_).size() == n) return true;
            usleep(10000);
        }
        return false;
    }

    std::string root_, key_;
};

TEST_F(Handover, KeyDependsOnDataSourceAndUserOnly) {
    EXPECT_EQ(key_.size(), 16u);
    EXPECT_EQ(key_, vnx::handover_key("pg", "vnx"));
    EXPECT_NE(key_, vnx::handover_key("pgv", "nx")) << "the two names are kept apart";
    EXPECT_NE(key_, vnx::handover_key("pg", "other"));
}

TEST_F(Handover, HolderSocketIsPrivateAndFoundByItsKey) {
    std::string path, why;
    vnx::UniqueFd l(vnx::holder_listen(root_, key_, &path, &why));
    ASSERT_TRUE(l.valid()) << why;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(vnx::holder_sockets(root_, key_), std::vector<std::string>{path});
    EXPECT_TRUE(vnx::holder_sockets(root_, vnx::handover_key("pg", "x")).empty());
    EXPECT_EQ(vnx::holder_sockets(root_, "").size(), 1u);
}

TEST_F(Handover, StaleHolderFileOfAGoneProcessIsRemoved) {
    pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    waitpid(child, nullptr, 0);
    std::string stale = root_ + "/pool-" + key_ + "-" + std::to_string(child) + ".sock";
    std::ofstream(stale) << "";
    EXPECT_TRUE(vnx::holder_sockets(root_, key_).empty());
    EXPECT_FALSE(std::filesystem::exists(stale));
}

TEST_F(Handover, OfferArrivesWholeWithAWorkingSocket) {
    HandoverOffer sent = sample();
    std::atomic<bool> ended{false};
    Exchange x;
    ASSERT_TRUE(exchange(&x, sent, [&] { ended = true; }));
    vnx::UniqueFd c(x.client), p(x.peer);
    const HandoverOffer &got = x.got;
    EXPECT_EQ(got.dsn, sent.dsn);
    EXPECT_EQ(got.user, sent.user);
    EXPECT_EQ(got.password, sent.password);
    EXPECT_EQ(got.start_user, sent.start_user);
    EXPECT_EQ(got.client_address, sent.client_address);
    EXPECT_EQ(got.bytes, sent.bytes) << "bytes after a NUL arrive too";
    ASSERT_EQ(vnx::handover_answer(p.get(), vnx::kHandoverTaken), 0);
    ASSERT_TRUE(vnx::holder_committed(p.get())) << "a waiting offerer commits";
    EXPECT_TRUE(x.taken.get());
    EXPECT_TRUE(ended) << "the offering side's work runs once it committed";
    ASSERT_EQ(write(c.get(), "hi", 2), 2);
    char buf[2] = {};
    EXPECT_EQ(read(x.far.get(), buf, 2), 2) << "the passed descriptor is the client's connection";
    EXPECT_EQ(std::string(buf, 2), "hi");
}

TEST_F(Handover, DeclinedOfferLeavesTheClientWithTheOfferer) {
    HandoverOffer sent = sample();
    Exchange x;
    ASSERT_TRUE(exchange(&x, sent, nullptr));
    close(x.client);
    vnx::UniqueFd p(x.peer);
    ASSERT_EQ(vnx::handover_answer(p.get(), vnx::kHandoverDeclined), 0);
    EXPECT_FALSE(x.taken.get());
}

// A holder that took the descriptor but answered only after the offering
// side stopped waiting (or an offerer that went after the answer): the
// offerer keeps the client, and the holder, never committed, must not
// serve it.
TEST_F(Handover, LateTakenAnswerIsNeverCommitted) {
    HandoverOffer sent = sample();
    bool ran_taken = false;
    Exchange x;
    ASSERT_TRUE(exchange(
        &x, sent, [&] { ran_taken = true; }, 50));
    vnx::UniqueFd c(x.client), p(x.peer);
    EXPECT_FALSE(x.taken.get()) << "no answer in time: the offerer serves the client";
    EXPECT_FALSE(ran_taken);
    (void)vnx::handover_answer(p.get(), vnx::kHandoverTaken);  // too late; may fail
    EXPECT_FALSE(vnx::holder_committed(p.get()));
    ASSERT_EQ(write(x.near.get(), "ok", 2), 2);
    char buf[2] = {};
    EXPECT_EQ(read(x.far.get(), buf, 2), 2) << "the client still talks to the offerer";
}

// A holder that took the descriptor and went without answering is a
// decline: the offerer keeps the client.
TEST_F(Handover, HolderGoneWithoutAnswerLeavesTheClientWithTheOfferer) {
    HandoverOffer sent = sample();
    Exchange x;
    ASSERT_TRUE(exchange(&x, sent, nullptr));
    close(x.client);
    close(x.peer);
    EXPECT_FALSE(x.taken.get());
}

// Holders stuck in their check (other processes that never answer) do
// not keep the client from one that answers: it is asked while they are
// still awaited, whichever of them is asked first.
TEST_F(Handover, HoldersThatNeverAnswerDoNotHoldTheClientBack) {
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    vnx::UniqueFd release(go[1]);
    std::vector<pid_t> stuck;
    for (int i = 0; i < 2; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            std::string path, why;
            int l = vnx::holder_listen(root_, key_, &path, &why);
            char byte;
            (void)!read(go[0], &byte, 1);  // offers wait in its backlog, unanswered
            if (l >= 0) unlink(path.c_str());
            _exit(l >= 0 ? 0 : 1);
        }
        ASSERT_GT(pid, 0);
        stuck.push_back(pid);
    }
    close(go[0]);
    ASSERT_TRUE(eventually_holders(2));
    HandoverOffer sent = sample();
    Exchange x;
    // An answer wait far beyond the holder's: asking one holder after
    // another's whole wait would not reach this one in its 5 s.
    ASSERT_TRUE(exchange(&x, sent, nullptr, 600000));
    vnx::UniqueFd c(x.client), p(x.peer);
    ASSERT_EQ(vnx::handover_answer(p.get(), vnx::kHandoverTaken), 0);
    EXPECT_TRUE(vnx::holder_committed(p.get()));
    EXPECT_TRUE(x.taken.get());
    release.reset();
    for (pid_t pid : stuck) {
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0) << "a stuck holder could listen";
    }
}

TEST_F(Handover, MalformedOfferIsDeclinedAndWaitingGoesOn) {
    std::string path, why;
    vnx::UniqueFd l(vnx::holder_listen(root_, key_, &path, &why));
    ASSERT_TRUE(l.valid()) << why;
    auto sender = std::async(std::launch::async, [&] {
        vnx::UniqueFd s(socket(AF_UNIX, SOCK_SEQPACKET, 0));
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        if (connect(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return 'E';
        (void)!write(s.get(), "VNXH1\xff\xff\xff\xff", 9);  // a field longer than the message
        char answer = 0;
        return read(s.get(), &answer, 1) == 1 ? answer : 'E';
    });
    HandoverOffer got;
    int client = -1, peer = -1;
    EXPECT_EQ(vnx::holder_wait(l.get(), 5000, &got, &client, &peer), 0);
    EXPECT_EQ(client, -1);
    EXPECT_EQ(sender.get(), vnx::kHandoverDeclined);
}

TEST_F(Handover, HolderSlotsNeverExceedTheMaximumAndFreeOnClose) {
    EXPECT_EQ(vnx::take_holder_slot(root_, 0), -1) << "a maximum of 0 keeps nothing";
    vnx::UniqueFd a(vnx::take_holder_slot(root_, 2)), b(vnx::take_holder_slot(root_, 2));
    ASSERT_TRUE(a.valid());
    ASSERT_TRUE(b.valid());
    EXPECT_EQ(vnx::take_holder_slot(root_, 2), -1);
    a.reset();
    vnx::UniqueFd c(vnx::take_holder_slot(root_, 2));
    EXPECT_TRUE(c.valid()) << "a closed slot is free again";
}

// Processes that take a place at once: exactly `max` get one, and a place
// held by a process that exits is free again.
TEST_F(Handover, HolderSlotsAreExactBetweenProcessesAndFreedByExit) {
    constexpr int kProcs = 6;
    int results[2], go[2];
    ASSERT_EQ(pipe(results), 0);
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < kProcs; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            int slot = vnx::take_holder_slot(root_, 2);
            char got = slot >= 0 ? 'Y' : 'N';
            (void)!write(results[1], &got, 1);
            char byte;
            (void)!read(go[0], &byte, 1);  // holds its place until the parent lets go
            _exit(0);
        }
        ASSERT_GT(pid, 0);
        children.push_back(pid);
    }
    close(results[1]);
    close(go[0]);
    int taken = 0;
    for (int i = 0; i < kProcs; i++) {
        char got = 0;
        ASSERT_EQ(read(results[0], &got, 1), 1);
        taken += got == 'Y';
    }
    EXPECT_EQ(taken, 2);
    EXPECT_EQ(vnx::take_holder_slot(root_, 2), -1);
    close(go[1]);
    for (pid_t pid : children)
        waitpid(pid, nullptr, 0);
    close(results[0]);
    vnx::UniqueFd after(vnx::take_holder_slot(root_, 2));
    EXPECT_TRUE(after.valid()) << "the places of exited holders are free";
}

TEST_F(Handover, NoHolderMeansNotTaken) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    vnx::UniqueFd near(pair[0]), far(pair[1]);
    EXPECT_FALSE(vnx::offer_client(root_, key_, near.get(), sample(), nullptr));
}

}  // namespace
