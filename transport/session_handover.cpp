// Handing a client's connection between gateways. See session_handover.h.
#include "transport/session_handover.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "protocol/trace.h"
#include "support/unique_fd.h"

namespace vnx {

namespace {

constexpr char kMagic[] = "VNXH1";
constexpr size_t kMagicLen = sizeof kMagic - 1;
constexpr size_t kFieldMax = 4096;       // a login field, a name, an address
constexpr size_t kBytesMax = 4 * 16392;  // the client's unread bytes
constexpr size_t kMessageMax = kMagicLen + 6 * 4 + 5 * kFieldMax + kBytesMax;
constexpr int kMessageWaitMs = 2000;  // an offer's body after its connect
constexpr int kDoneWaitMs = 5000;     // the offering side's work after its commit

void put_field(std::string *out, const std::string &v) {
    uint32_t n = static_cast<uint32_t>(v.size());
    for (int i = 0; i < 4; i++)
        out->push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    out->append(v);
}

bool take_field(std::string_view *in, size_t max, std::string *v) {
    if (in->size() < 4) return false;
    uint32_t n = 0;
    for (int i = 0; i < 4; i++)
        n |= static_cast<uint32_t>(static_cast<unsigned char>((*in)[i])) << (8 * i);
    in->remove_prefix(4);
    if (n > max || n > in->size()) return false;
    v->assign(in->substr(0, n));
    in->remove_prefix(n);
    return true;
}

std::string encode_offer(const HandoverOffer &o) {
    std::string m(kMagic, kMagicLen);
    for (const std::string *f : {&o.dsn, &o.user, &o.password, &o.start_user, &o.client_address})
        put_field(&m, *f);
    put_field(&m, o.bytes);
    return m;
}

bool decode_offer(std::string_view in, HandoverOffer *o) {
    if (in.substr(0, kMagicLen) != std::string_view(kMagic, kMagicLen)) return false;
    in.remove_prefix(kMagicLen);
    for (std::string *f : {&o->dsn, &o->user, &o->password, &o->start_user, &o->client_address})
        if (!take_field(&in, kFieldMax, f)) return false;
    return take_field(&in, kBytesMax, &o->bytes) && in.empty();
}

// True when the peer of a Unix socket runs as this process's user.
bool same_user(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == geteuid();
}

bool wait_readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    int rc;
    while ((rc = poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    return rc > 0;
}

bool fill_address(const std::string &path, sockaddr_un *a) {
    if (path.size() >= sizeof a->sun_path) return false;
    memset(a, 0, sizeof *a);
    a->sun_family = AF_UNIX;
    memcpy(a->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// The pid in "pool-<key>-<pid>.sock", or 0 when the name is not a holder's.
pid_t holder_pid(const std::string &name, const std::string &key) {
    const std::string prefix = key.empty() ? "pool-" : "pool-" + key + "-";
    const std::string suffix = ".sock";
    if (name.size() <= prefix.size() + suffix.size() || name.rfind(prefix, 0) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return 0;
    size_t dash = name.rfind('-');
    std::string digits = name.substr(dash + 1, name.size() - suffix.size() - dash - 1);
    if (digits.empty() || digits.size() > 9 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return static_cast<pid_t>(atol(digits.c_str()));
}

// Receives one offer message with its descriptor from a connected peer.
bool receive_offer(int peer, HandoverOffer *offer, int *client) {
    *client = -1;
    if (!wait_readable(peer, kMessageWaitMs)) return false;
    std::string buf(kMessageMax, '\0');
    iovec iov{buf.data(), buf.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(peer, &msg, MSG_CMSG_CLOEXEC);
    if (n <= 0) return false;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
            c->cmsg_len == CMSG_LEN(sizeof(int)))
            memcpy(client, CMSG_DATA(c), sizeof(int));
    bool whole = (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0;
    if (*client >= 0 && whole && decode_offer({buf.data(), static_cast<size_t>(n)}, offer))
        return true;
    if (*client >= 0) close(*client);
    *client = -1;
    return false;
}

// Reads one byte within timeout_ms; 0 when none came (end of file, time
// out, error).
char read_byte(int fd, int timeout_ms) {
    char byte = 0;
    if (!wait_readable(fd, timeout_ms) || recv(fd, &byte, 1, 0) != 1) return 0;
    return byte;
}

// Sends the offer to the holder at `path`: the connection to read its
// answer on, or an invalid one when it could not be sent.
UniqueFd send_offer(const std::string &path, int client, const std::string &message) {
    sockaddr_un a;
    if (!fill_address(path, &a)) return UniqueFd();
    UniqueFd s(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!s.valid() || connect(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return UniqueFd();
    if (!same_user(s.get())) return UniqueFd();
    iovec iov{const_cast<char *>(message.data()), message.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &client, sizeof(int));
    if (sendmsg(s.get(), &msg, MSG_NOSIGNAL) != static_cast<ssize_t>(message.size()))
        return UniqueFd();
    return s;
}

using Clock = std::chrono::steady_clock;

// A holder asked, and until when its answer is awaited.
struct Asked {
    UniqueFd conn;
    Clock::time_point until;
};

int ms_until(Clock::time_point t) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    return ms <= 0 ? 0 : static_cast<int>(std::min<long long>(ms, 1 << 30));
}

// Reads the answer waiting on `conn` and commits on a taken one: true when
// the commit went out (the client is then the holder's, or nobody's).
bool commit_if_taken(int conn) {
    char byte = 0;
    if (recv(conn, &byte, 1, MSG_DONTWAIT) != 1 || byte != kHandoverTaken) return false;
    // A failed send means the holder closed its end unread: it does not serve.
    return send(conn, &kHandoverCommit, 1, MSG_NOSIGNAL) == 1;
}

}  // namespace

std::string handover_key(const std::string &dsn, const std::string &user) {
    // 64-bit FNV-1a: cheap on the offering side, which would otherwise pay
    // for setting up a crypto library at CONNECT. Two logins that share a
    // key only cost a declined offer: the holder compares the names.
    uint64_t h = 14695981039346656037ull;
    auto mix = [&h](unsigned char c) { h = (h ^ c) * 1099511628211ull; };
    for (char c : dsn)
        mix(static_cast<unsigned char>(c));
    mix(0);  // keeps ("ab", "c") apart from ("a", "bc")
    for (char c : user)
        mix(static_cast<unsigned char>(c));
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    return hex;
}

std::vector<std::string> holder_sockets(const std::string &root, const std::string &key) {
    std::vector<std::string> found;
    DIR *d = opendir(root.c_str());
    if (d == nullptr) return found;
    while (dirent *e = readdir(d)) {
        pid_t pid = holder_pid(e->d_name, key);
        if (pid <= 0) continue;
        std::string path = root + "/" + e->d_name;
        if (pid != getpid() && kill(pid, 0) != 0 && errno == ESRCH)
            unlink(path.c_str());  // its holder was killed
        else
            found.push_back(path);
    }
    closedir(d);
    return found;
}

int take_holder_slot(const std::string &root, int max) {
    for (int n = 0; n < max; n++) {
        std::string path = root + "/pool-slot-" + std::to_string(n);
        UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.valid()) continue;
        if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return fd.release();
    }
    return -1;
}

int holder_listen(const std::string &root, const std::string &key, std::string *path,
                  std::string *why) {
    *path = root + "/pool-" + key + "-" + std::to_string(getpid()) + ".sock";
    sockaddr_un a;
    if (key.empty() || !fill_address(*path, &a)) {
        *why = "the socket path " + *path + " is too long";
        return -1;
    }
    UniqueFd s(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!s.valid()) {
        *why = std::string("socket: ") + strerror(errno);
        return -1;
    }
    unlink(path->c_str());     // a file of an earlier process with this pid
    mode_t old = umask(0177);  // the socket is made 0600 from the start
    int rc = bind(s.get(), reinterpret_cast<sockaddr *>(&a), sizeof a);
    umask(old);
    if (rc != 0 || listen(s.get(), 8) != 0) {
        *why = std::string("bind/listen ") + *path + ": " + strerror(errno);
        unlink(path->c_str());
        return -1;
    }
    return s.release();
}

int holder_wait(int listener, int timeout_ms, HandoverOffer *offer, int *client, int *peer) {
    *client = *peer = -1;
    pollfd p{listener, POLLIN, 0};
    int rc = poll(&p, 1, timeout_ms);
    if (rc < 0) return errno == EINTR ? 0 : -1;
    if (rc == 0) return 0;
    UniqueFd conn(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn.valid()) return errno == ECONNABORTED || errno == EINTR ? 0 : -1;
    if (!same_user(conn.get()) || !receive_offer(conn.get(), offer, client)) {
        dqp::trace("[holder_wait]", "an offer was declined: another user, or malformed");
        (void)handover_answer(conn.get(), kHandoverDeclined);
        return 0;
    }
    *peer = conn.release();
    return 1;
}

int handover_answer(int peer, char answer) {
    return send(peer, &answer, 1, MSG_NOSIGNAL) == 1 ? 0 : -1;
}

bool holder_committed(int peer, int timeout_ms) {
    return read_byte(peer, timeout_ms) == kHandoverCommit;
}

void holder_done(int peer) {
    (void)read_byte(peer, kDoneWaitMs);
}

bool offer_client(const std::string &root, const std::string &key, int client,
                  const HandoverOffer &offer, const std::function<void()> &taken,
                  int answer_wait_ms) {
    if (offer.bytes.size() > kBytesMax) return false;
    const std::string message = encode_offer(offer);
    const std::vector<std::string> holders = holder_sockets(root, key);
    size_t next = 0;
    std::vector<Asked> asked;
    Clock::time_point next_at = Clock::now();
    for (;;) {
        // The next holder is asked when none is awaited, or when those asked
        // have been slow for kOfferStaggerMs (one may hang in its check).
        if (next < holders.size() && (asked.empty() || Clock::now() >= next_at)) {
            UniqueFd conn = send_offer(holders[next++], client, message);
            auto now = Clock::now();
            next_at = now + std::chrono::milliseconds(kOfferStaggerMs);
            if (conn.valid())
                asked.push_back({std::move(conn), now + std::chrono::milliseconds(answer_wait_ms)});
            continue;
        }
        std::erase_if(asked, [](const Asked &a) { return Clock::now() >= a.until; });
        if (asked.empty() && next >= holders.size()) return false;
        if (asked.empty()) continue;
        int wait = ms_until(asked.front().until);
        for (const Asked &a : asked)
            wait = std::min(wait, ms_until(a.until));
        if (next < holders.size()) wait = std::min(wait, ms_until(next_at));
        std::vector<pollfd> polls;
        for (const Asked &a : asked)
            polls.push_back({a.conn.get(), POLLIN, 0});
        int rc = poll(polls.data(), polls.size(), std::max(wait, 1));
        if (rc < 0 && errno != EINTR) return false;
        for (size_t i = polls.size(); rc > 0 && i-- > 0;) {
            if (polls[i].revents == 0) continue;
            if (commit_if_taken(polls[i].fd)) {
                if (taken) taken();
                return true;  // closing the connections tells the holder `taken` is done
            }
            asked.erase(asked.begin() + static_cast<std::ptrdiff_t>(i));  // declined or gone
        }
    }
}

}  // namespace vnx
