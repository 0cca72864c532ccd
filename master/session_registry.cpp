// The session registry file and the master's count of live sessions.
//
// Every access goes through pread/pwrite at an explicit offset, so no file
// position is shared and the console's reads never race a seek. Records are
// read and written whole (92 bytes per call). The descriptor is opened with
// close-on-exec: gateways started by the port server must not inherit it.
//
// Signalling is guarded against recycled pids: a pid named by the file is
// signalled only while it is still one of our gateways (a child of this
// process, or a program that lives in the DB_ROOT directory). A users.db left
// over from before a reboot therefore never kills an unrelated process.
#include "master/session_registry.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "support/config_cache.h"
#include "support/config_store.h"
#include "support/datetime.h"
#include "support/unique_fd.h"

namespace vnx {

namespace {

// Field offsets and sizes inside a record slot.
constexpr int kOffStatus = 0;
constexpr int kOffGid = 4;
constexpr int kOffUid = 8;
constexpr int kOffProcess = 12;
constexpr int kOffName = 16;
constexpr int kOffType = 41;
constexpr int kOffDate = 66;
constexpr int kOffTime = 77;
constexpr int kOffPort = 88;
constexpr int kTypeField = 25;
constexpr int kDateField = 11;
constexpr int kTimeField = 11;

constexpr unsigned char kEndMarker = 0x1A;

// Process-wide registry state. The descriptor and the cursor belong to the
// port-server thread; the count is atomic because the console reads it from
// its own thread.
struct SessionRegistryState {
    int fd = -1;
    std::atomic<int> live{0};
    int cursor = 0;  // "GetUser" slot index
};

SessionRegistryState g_registry;

off_t slot_offset(int slot) {
    return static_cast<off_t>(SESSION_HEADER_SIZE) +
           static_cast<off_t>(slot) * static_cast<off_t>(SESSION_RECORD_SIZE);
}

void put_i32(unsigned char *p, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    p[0] = static_cast<unsigned char>(u & 0xFF);
    p[1] = static_cast<unsigned char>((u >> 8) & 0xFF);
    p[2] = static_cast<unsigned char>((u >> 16) & 0xFF);
    p[3] = static_cast<unsigned char>((u >> 24) & 0xFF);
}

int32_t get_i32(const unsigned char *p) {
    const uint32_t u = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                       (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    return static_cast<int32_t>(u);
}

// Copies `text` into a field of `size` bytes (already zeroed), cut to
// size - 1 bytes so that the terminating NUL always fits.
void put_text(unsigned char *p, int size, const std::string &text) {
    const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
    std::memcpy(p, text.data(), n);
}

// The text of a field up to its first NUL, never beyond the field.
std::string get_text(const unsigned char *p, int size) {
    const void *nul = std::memchr(p, 0, static_cast<size_t>(size));
    const size_t n = nul ? static_cast<size_t>(static_cast<const unsigned char *>(nul) - p)
                         : static_cast<size_t>(size);
    return std::string(reinterpret_cast<const char *>(p), n);
}

// Reads slot `slot` of `fd`: the byte count, fewer than a record at the end
// of the file, negative on a read error.
ssize_t pread_slot(int fd, int slot, unsigned char buf[SESSION_RECORD_SIZE]) {
    ssize_t got;
    do {
        got = pread(fd, buf, SESSION_RECORD_SIZE, slot_offset(slot));
    } while (got < 0 && errno == EINTR);
    return got;
}

// True when slot `slot` was read whole; false at the end of the file.
bool read_slot(int fd, int slot, unsigned char buf[SESSION_RECORD_SIZE]) {
    return pread_slot(fd, slot, buf) == SESSION_RECORD_SIZE;
}

// Writes a whole record in one call.
bool write_slot(int fd, int slot, const unsigned char buf[SESSION_RECORD_SIZE]) {
    ssize_t put;
    do {
        put = pwrite(fd, buf, SESSION_RECORD_SIZE, slot_offset(slot));
    } while (put < 0 && errno == EINTR);
    return put == SESSION_RECORD_SIZE;
}

bool slot_is_live(const unsigned char buf[SESSION_RECORD_SIZE]) {
    return buf[kOffStatus] == static_cast<unsigned char>(SESSION_LIVE);
}

// Marks a live slot free by writing it back whole with the status "*".
bool free_slot(int fd, int slot, unsigned char buf[SESSION_RECORD_SIZE]) {
    buf[kOffStatus] = static_cast<unsigned char>(SESSION_FREE);
    return write_slot(fd, slot, buf);
}

void uncount_session() {
    int n = g_registry.live.load();
    while (n > 0 && !g_registry.live.compare_exchange_weak(n, n - 1)) {
    }
}

// The DB_ROOT directory; empty when it is not configured.
std::string db_root() {
    return get_registry_value("DB_ROOT", kRootKey);
}

// Switches four-digit years on for its lifetime and restores the previous
// setting afterwards, so login dates are always DD/MM/CCYY.
class CenturyOn {
  public:
    CenturyOn() : saved_(date_settings().century) { date_settings().century = true; }
    ~CenturyOn() { date_settings().century = saved_; }
    CenturyOn(const CenturyOn &) = delete;
    CenturyOn &operator=(const CenturyOn &) = delete;

  private:
    bool saved_;
};

// Parent pid from /proc/<pid>/stat, or -1. The command name in field 2 may
// hold blanks and parentheses, so parsing starts after its last ')'.
pid_t parent_pid_of(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char buf[1024];
    const ssize_t got = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (got <= 0) return -1;
    buf[got] = '\0';
    const char *close_paren = std::strrchr(buf, ')');
    if (close_paren == nullptr) return -1;
    char state = 0;
    long ppid = -1;
    if (std::sscanf(close_paren + 1, " %c %ld", &state, &ppid) != 2) return -1;
    return static_cast<pid_t>(ppid);
}

// The program file of `pid` as the kernel reports it, or empty.
std::string program_of(pid_t pid) {
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    char buf[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof buf)) return {};
    return std::string(buf, static_cast<size_t>(n));
}

// `dir` with symbolic links and "." / ".." resolved, or empty.
std::string resolved_dir(const std::string &dir) {
    if (dir.empty()) return {};
    char buf[PATH_MAX];
    if (realpath(dir.c_str(), buf) == nullptr) return {};
    return buf;
}

// The fields of a record slot; texts stop at their NUL or their field's end.
SessionRecord decode_fields(const unsigned char in[SESSION_RECORD_SIZE]) {
    SessionRecord r;
    r.status = static_cast<char>(in[kOffStatus]);
    r.gid = get_i32(in + kOffGid);
    r.uid = get_i32(in + kOffUid);
    r.process = get_i32(in + kOffProcess);
    r.name = get_text(in + kOffName, SESSION_NAME_FIELD);
    r.type_field = get_text(in + kOffType, kTypeField);
    r.login_date = get_text(in + kOffDate, kDateField);
    r.login_time = get_text(in + kOffTime, kTimeField);
    r.port = get_i32(in + kOffPort);
    return r;
}

}  // namespace

void encode_session_record(const SessionRecord &r, unsigned char out[SESSION_RECORD_SIZE]) {
    std::memset(out, 0, SESSION_RECORD_SIZE);
    out[kOffStatus] = static_cast<unsigned char>(r.status);
    put_i32(out + kOffGid, r.gid);
    put_i32(out + kOffUid, r.uid);
    put_i32(out + kOffProcess, r.process);
    put_text(out + kOffName, SESSION_NAME_FIELD, r.name);
    put_text(out + kOffType, kTypeField, r.type_field);
    put_text(out + kOffDate, kDateField, r.login_date);
    put_text(out + kOffTime, kTimeField, r.login_time);
    put_i32(out + kOffPort, r.port);
}

SessionRecord decode_session_record(const unsigned char in[SESSION_RECORD_SIZE]) {
    return decode_fields(in);
}

std::string session_registry_path() {
    return db_root() + "/users.db";
}

int reset_session_registry() {
    close_session_registry();
    g_registry.live = 0;
    g_registry.cursor = 0;
    // Without a DB_ROOT the path would be "/users.db": the registry stays
    // closed rather than write into the root directory.
    if (db_root().empty()) return 0;
    const std::string path = session_registry_path();
    if (path.empty()) return 0;
    unlink(path.c_str());
    // The owner writes it; the group (the console's users) reads it; others
    // never see who is logged in from where. fchmod: the umask may take more.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        kSessionRegistryMode);
    if (fd < 0) return 0;
    (void)fchmod(fd, kSessionRegistryMode);
    unsigned char fresh[SESSION_HEADER_SIZE + 1] = {};
    fresh[SESSION_HEADER_SIZE] = kEndMarker;
    const ssize_t put = pwrite(fd, fresh, sizeof fresh, 0);
    close(fd);
    return put == static_cast<ssize_t>(sizeof fresh) ? 1 : 0;
}

int open_session_registry() {
    if (g_registry.fd >= 0) return g_registry.fd;
    if (db_root().empty()) return -1;
    const int fd = open(session_registry_path().c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    lseek(fd, SESSION_HEADER_SIZE, SEEK_SET);
    g_registry.fd = fd;
    return fd;
}

void close_session_registry() {
    if (g_registry.fd >= 0) close(g_registry.fd);
    g_registry.fd = -1;
}

int register_session(const std::string &name, int32_t process, int32_t port, int32_t gid,
                     int32_t uid, const std::string &type_field) {
    ++g_registry.live;
    const int fd = open_session_registry();
    if (fd < 0) return 0;

    unsigned char buf[SESSION_RECORD_SIZE];
    int slot = 0;
    while (read_slot(fd, slot, buf) && slot_is_live(buf))
        ++slot;

    {
        SessionRecord r;
        r.status = SESSION_LIVE;
        r.gid = gid;
        r.uid = uid;
        r.process = process;
        r.name = name;
        r.type_field = type_field;
        const time_t now = time(nullptr);
        {
            CenturyOn century;
            r.login_date = format_date(now);
        }
        r.login_time = format_time(now);
        r.port = port;
        encode_session_record(r, buf);
    }
    write_slot(fd, slot, buf);
    return 0;
}

int unregister_session(const std::string & /*name*/, int32_t process, int32_t port, int32_t gid,
                       int32_t uid, const std::string & /*type_field*/) {
    uncount_session();
    const int fd = open_session_registry();
    if (fd < 0) return 0;
    unsigned char buf[SESSION_RECORD_SIZE];
    for (int slot = 0; read_slot(fd, slot, buf); ++slot) {
        if (!slot_is_live(buf)) continue;
        if (get_i32(buf + kOffGid) == gid && get_i32(buf + kOffUid) == uid &&
            get_i32(buf + kOffProcess) == process && get_i32(buf + kOffPort) == port) {
            free_slot(fd, slot, buf);
            break;
        }
    }
    return 0;
}

int release_session_process(int32_t process) {
    if (process <= 0) return 0;
    const int fd = open_session_registry();
    if (fd < 0) return 0;
    // Every live record of the process goes: a gateway serves one session, so
    // a second one can only be a leftover that must not outlive it.
    int freed = 0;
    unsigned char buf[SESSION_RECORD_SIZE];
    for (int slot = 0; read_slot(fd, slot, buf); ++slot) {
        if (slot_is_live(buf) && get_i32(buf + kOffProcess) == process) {
            free_slot(fd, slot, buf);
            uncount_session();
            ++freed;
        }
    }
    return freed > 0 ? 1 : 0;
}

std::string database_type_name(const std::string &code) {
    static const struct {
        const char *code;
        const char *name;
    } kNames[] = {{"ORA", "Oracle"}, {"SYB", "Sybase"},  {"INF", "Informix"}, {"ING", "Ingres"},
                  {"DB2", "db2"},    {"REC", "Tavorin"}, {"ODB", "ODBC"}};
    std::string upper = code;
    for (char &c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const auto &entry : kNames) {
        if (upper == entry.code) return std::string(entry.name);
    }
    return code;
}

namespace {

// The "GetUser" line of a live record:
//   name,TYPE NAME,address,process,port,date time,[gid,uid]
std::string session_line(const SessionRecord &r) {
    const size_t code_len = std::min<size_t>(r.type_field.size(), 3);
    std::string line = r.name;
    line += ',';
    line += database_type_name(r.type_field.substr(0, code_len));
    line += ',';
    line += r.type_field.substr(code_len);
    line += ',' + std::to_string(r.process) + ',' + std::to_string(r.port) + ',';
    line += r.login_date + ' ' + r.login_time + ',';
    if (r.gid >= 0 || r.uid >= 0) {
        line += '[' + std::to_string(r.gid) + ',' + std::to_string(r.uid) + ']';
    }
    return line;
}

}  // namespace

int list_session(int restart_flag, std::string *out) {
    out->clear();
    if (g_registry.live.load() < 1 || g_registry.fd < 0) return -1;
    if (restart_flag == 0) {
        g_registry.cursor = 0;
    } else if (g_registry.cursor < INT_MAX) {
        ++g_registry.cursor;
    }
    // Only the slot at the cursor can match: a free slot there ends the listing.
    unsigned char buf[SESSION_RECORD_SIZE];
    if (!read_slot(g_registry.fd, g_registry.cursor, buf) || !slot_is_live(buf)) return -1;
    *out = session_line(decode_session_record(buf));
    return 0;
}

namespace {

// Directly inside dir: nothing after "<dir>/" holds a '/'.
bool directly_inside(const std::string &path, const std::string &dir) {
    const std::string prefix = dir == "/" ? dir : dir + "/";
    if (path.compare(0, prefix.size(), prefix) != 0) return false;
    const std::string rest = path.substr(prefix.size());
    return !rest.empty() && rest.find('/') == std::string::npos;
}

// The first argument of pid's command line (the path the master started it
// by), or empty.
std::string first_argument_of(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return {};
    char buf[PATH_MAX + 1];
    const ssize_t got = read(fd.get(), buf, sizeof buf - 1);
    if (got <= 0) return {};
    buf[got] = '\0';
    return std::string(buf, strnlen(buf, static_cast<size_t>(got)));
}

// A gateway started through a symbolic link in the directory: the program it
// names resolves to the program the kernel runs.
bool started_through_link_in(pid_t pid, const std::string &root, const std::string &program) {
    const std::string arg0 = first_argument_of(pid);
    if (arg0.empty() || arg0[0] != '/') return false;
    const size_t slash = arg0.rfind('/');
    if (resolved_dir(arg0.substr(0, slash == 0 ? 1 : slash)) != root) return false;
    char buf[PATH_MAX];
    if (realpath(arg0.c_str(), buf) == nullptr) return false;
    return program == buf;
}

}  // namespace

bool is_our_gateway(pid_t pid, const std::string &db_root) {
    if (pid <= 0 || pid == getpid()) return false;
    if (parent_pid_of(pid) == getpid()) return true;
    const std::string program = program_of(pid);
    const std::string root = resolved_dir(db_root);
    if (program.empty() || root.empty()) return false;
    // (A program replaced on disk reads "<path> (deleted)" and still counts.)
    if (directly_inside(program, root)) return true;
    return started_through_link_in(pid, root, program);
}

void terminate_sessions() {
    const int fd = open_session_registry();
    if (fd < 0) return;
    const std::string root = db_root();
    unsigned char buf[SESSION_RECORD_SIZE];
    for (int slot = 0; read_slot(fd, slot, buf); ++slot) {
        if (!slot_is_live(buf)) continue;
        const pid_t pid = static_cast<pid_t>(get_i32(buf + kOffProcess));
        if (is_our_gateway(pid, root)) kill(pid, SIGTERM);
    }
}

int live_sessions() {
    return g_registry.live.load();
}

int read_session_file(const std::string &path, std::vector<SessionRecord> *out) {
    out->clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    UniqueFd owned(fd);
    unsigned char buf[SESSION_RECORD_SIZE];
    for (int slot = 0;; ++slot) {
        const ssize_t got = pread_slot(fd, slot, buf);
        if (got < 0) return -1;
        if (got < SESSION_RECORD_SIZE) return 0;
        out->push_back(decode_session_record(buf));
    }
}

}  // namespace vnx
