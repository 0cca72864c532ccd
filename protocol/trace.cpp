// Trace blocks of the server log. See trace.h.
#include "protocol/trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "protocol/packet.h"

namespace dqp {

namespace {

// The log of this process.
struct LogState {
    FILE *stream = nullptr;
    std::string path;  // where stream was opened, for reopen_log
    int verbose = 0;
    size_t limit = LOG_DEFAULT_LIMIT;
    size_t written = 0;    // bytes in the log
    bool stopped = false;  // the limit was reached
};

LogState &log_state() {
    static LogState state;
    return state;
}

constexpr size_t kArgShown = 56;
// Characters shown of a field that may hold a password instead of a name.
constexpr size_t kUserShown = 3;

void write_header(FILE *f, const char *tag, const char *message) {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char hms[9];
    strftime(hms, sizeof hms, "%H:%M:%S", &tm);
    fprintf(f, "DQP: **** %s ****\n", message);
    fprintf(f, "     ident        = %s\n", tag);
    fprintf(f, "     time         = %s\n", hms);
    fprintf(f, "     pid          = %08x\n", static_cast<unsigned>(getpid()));
}

void write_packet(FILE *f, const char *pkt, size_t size) {
    if (size < PKT_HEADER_SIZE) {
        fprintf(f, "     pkt_size     = %zu\n", size);
        return;
    }
    int type = pkt_type(pkt);
    const char *name = packet_type_name(type);
    if (name != nullptr)
        fprintf(f, "     pkt_type     = %s\n", name);
    else
        fprintf(f, "     pkt_type     = <unknown packet type %d (%c)>\n", type, type);
    fprintf(f, "     pkt_info     = %04X\n", static_cast<unsigned>(pkt_info(pkt)));
    fprintf(f, "     pkt_len      = %d\n", static_cast<int>(pkt_len(pkt)));
    fprintf(f, "     pkt_size     = %zu\n", size);
    int argc = pkt_argc(pkt);
    fprintf(f, "     pkt_argc     = %d\n", argc);
    if (name == nullptr || type == PKT_TYPE_METADATA || type == PKT_TYPE_ABORT) return;
    bool masks_password = (type == PKT_TYPE_START || type == PKT_TYPE_CONNECT);
    // A START of two arguments holds the user name in argument 0 and, where
    // the gateway looks for the user, argument 1 may be the password.
    bool cuts_user = type == PKT_TYPE_START && argc == 2;
    std::string_view arg;
    for (int i = 0; i < argc && packet_arg(pkt, size, i, &arg) == 0; i++) {
        if (masks_password && i == 2) {
            fprintf(f, "     pkt_argv[%2d] = ******\n", i);
        } else if (cuts_user && i == 1 && arg.size() > kUserShown) {
            fprintf(f, "     pkt_argv[%2d] = %.*s...\n", i, static_cast<int>(kUserShown),
                    arg.data());
        } else if (arg.size() > kArgShown) {
            fprintf(f, "     pkt_argv[%2d] = %.*s...\n", i, static_cast<int>(kArgShown),
                    arg.data());
        } else {
            fprintf(f, "     pkt_argv[%2d] = %.*s\n", i, static_cast<int>(arg.size()), arg.data());
        }
    }
}

// Opens path for writing without following a link, as a regular file only
// (O_NONBLOCK keeps a FIFO from blocking the open), readable by its owner
// alone: a log holds statements, user names and client addresses. A log of
// this user left readable by an older version is made so too. -1 on failure.
int open_regular(const std::string &path, int flags) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | flags,
                  LOG_FILE_MODE);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    if (st.st_uid == geteuid() && (st.st_mode & 07777) != LOG_FILE_MODE)
        (void)fchmod(fd, LOG_FILE_MODE);
    return fd;
}

}  // namespace

std::string iso_time(time_t seconds, long nanoseconds) {
    struct tm tm;
    localtime_r(&seconds, &tm);
    char date[32], zone[8];
    strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tm);
    strftime(zone, sizeof zone, "%z", &tm);  // "+0200": ISO 8601 wants "+02:00"
    char text[64];
    snprintf(text, sizeof text, "%s.%03ld%.3s:%.2s", date, nanoseconds / 1000000, zone, zone + 3);
    return text;
}

std::string iso_time_now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return iso_time(ts.tv_sec, ts.tv_nsec);
}

int set_tracing(int flag) {
    log_state().verbose = flag;
    return 1;
}

int verbose() {
    return log_state().verbose;
}

bool tracing() {
    return log_state().verbose == 1 && log_state().stream != nullptr;
}

int open_log(const std::string &path) {
    close_log_stream();
    // Never through a symbolic link, never a FIFO or device (O_NONBLOCK keeps
    // a FIFO from blocking the open), and truncated only once it is known to
    // be a regular file.
    int fd = open_regular(path, 0);
    if (fd < 0) return -1;
    if (ftruncate(fd, 0) != 0) {
        close(fd);
        return -1;
    }
    FILE *f = fdopen(fd, "w");
    if (f == nullptr) {
        close(fd);
        return -1;
    }
    log_state().stream = f;
    log_state().path = path;
    log_state().verbose = 1;
    log_state().written = 0;
    log_state().stopped = false;
    return 0;
}

std::string log_path() {
    return log_state().stream != nullptr ? log_state().path : std::string();
}

int reopen_log() {
    LogState &st = log_state();
    if (st.stream == nullptr) return 1;
    int fd = open_regular(st.path, O_APPEND);
    if (fd < 0) return -1;
    struct stat info;
    FILE *f = fstat(fd, &info) == 0 ? fdopen(fd, "a") : nullptr;
    if (f == nullptr) {
        close(fd);
        return -1;
    }
    fclose(st.stream);
    st.stream = f;
    // The limit counts what the file holds: a renamed-away log starts anew,
    // one that was left in place goes on from its size.
    st.written = static_cast<size_t>(info.st_size);
    st.stopped = st.written + strlen(LOG_STOPPED_LINE) > st.limit;
    return 0;
}

void log_line(const char *line) {
    LogState &st = log_state();
    if (!tracing() || st.stopped) return;
    const size_t n = strlen(line) + 1;
    const size_t stop_size = strlen(LOG_STOPPED_LINE);
    if (st.written + n + stop_size > st.limit) {
        fputs(LOG_STOPPED_LINE, st.stream);
        st.written += stop_size;
        st.stopped = true;
    } else {
        fputs(line, st.stream);
        fputc('\n', st.stream);
        st.written += n;
    }
    fflush(st.stream);
}

void close_log() {
    if (log_state().verbose == 1) close_log_stream();
}

void close_log_stream() {
    LogState &st = log_state();
    if (st.stream != nullptr) fclose(st.stream);
    st.stream = nullptr;
    st.path.clear();
}

int trace(const char *tag, const char *message) {
    if (tracing()) trace_packet(nullptr, 0, tag, message);
    return 1;
}

int tracef(const char *tag, const char *format, ...) {
    if (!tracing()) return 1;
    char message[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(message, sizeof message, format, ap);
    va_end(ap);
    return trace(tag, message);
}

void set_log_limit(size_t bytes) {
    log_state().limit = bytes == 0 ? LOG_DEFAULT_LIMIT : bytes;
}

int trace_packet(const char *pkt, size_t size, const char *tag, const char *message) {
    LogState &st = log_state();
    if (st.stream == nullptr || st.stopped) return 1;
    // The block is built in memory first, so its size is known before any of
    // it reaches the file.
    char *block = nullptr;
    size_t block_size = 0;
    FILE *mem = open_memstream(&block, &block_size);
    if (mem == nullptr) return 1;
    write_header(mem, tag, message);
    if (pkt != nullptr) write_packet(mem, pkt, size);
    fclose(mem);
    const size_t stop_size = strlen(LOG_STOPPED_LINE);
    if (st.written + block_size + stop_size > st.limit) {
        fputs(LOG_STOPPED_LINE, st.stream);
        st.written += stop_size;
        st.stopped = true;
    } else {
        fwrite(block, 1, block_size, st.stream);
        st.written += block_size;
    }
    free(block);
    fflush(st.stream);
    return 1;
}

}  // namespace dqp
