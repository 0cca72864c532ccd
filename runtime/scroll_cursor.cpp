// Scroll cursors. See scroll_cursor.h.
//
// Layout: record n occupies bytes (n - 1) x width .. n x width - 1 of the block
// or of the spill file, the row id followed by zero bytes up to the width.
// The width only grows: a row id longer than every earlier one re-lays the
// records at the new width (integer row ids as decimal text grow by one byte
// at 10, 100, 1000 ... so this happens a handful of times per table).
#include "runtime/scroll_cursor.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "protocol/trace.h"
#include "support/config_cache.h"

namespace vnx {

namespace {

constexpr const char *kWriteTag = "[write_scrollcursor]";
constexpr const char *kReadTag = "[read_scrollcursor]";
// Largest block, in records; beyond it a cursor spills to its file.
constexpr int kMaxBlockRecords = 1 << 30;
constexpr int kMaxRecords = INT_MAX - 1;
constexpr size_t kFirstIndexSlots = 1024;

// The process's cursors, in creation order.
struct CursorList {
    std::vector<std::unique_ptr<ScrollCursor>> items;
};
CursorList &cursor_list() {
    static CursorList list;
    return list;
}

int g_blocks_allowed = -1;
bool g_fail_index = false;

std::string upper(std::string s) {
    for (char &c : s)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

// The alias as it may appear in a file name: letters, digits, '_' and '-'
// kept, anything else (a '/', a '.') made '_', so a client's alias can never
// name a path outside the spill directory.
std::string file_safe(const std::string &alias) {
    std::string s = alias;
    for (char &c : s)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') c = '_';
    return s;
}

std::unique_ptr<char[]> alloc_block(size_t bytes) {
    if (g_blocks_allowed == 0) return nullptr;
    if (g_blocks_allowed > 0) g_blocks_allowed--;
    return std::unique_ptr<char[]>(new (std::nothrow) char[bytes]);
}

// FNV-1a with a final avalanche, so that the low bits the table uses depend
// on every byte.
uint64_t hash_rowid(const char *p, size_t len) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < len; i++)
        h = (h ^ static_cast<unsigned char>(p[i])) * 0x100000001b3ull;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    return h;
}

bool write_all(int fd, const char *p, size_t n, off_t at) {
    while (n > 0) {
        ssize_t w = pwrite(fd, p, n, at);
        if (w <= 0) {
            if (w < 0 && errno == EINTR) continue;
            return false;
        }
        p += w, n -= static_cast<size_t>(w), at += w;
    }
    return true;
}

bool read_all(int fd, char *p, size_t n, off_t at) {
    while (n > 0) {
        ssize_t r = pread(fd, p, n, at);
        if (r <= 0) {
            if (r < 0 && errno == EINTR) continue;
            return false;
        }
        p += r, n -= static_cast<size_t>(r), at += r;
    }
    return true;
}

off_t record_offset(int record, int width) {
    return static_cast<off_t>(record - 1) * width;
}

// Record `record`'s stored bytes (width of them) into buf; false on a read
// error of the file.
bool load_record(const ScrollCursor *c, int record, char *buf) {
    if (c->block) {
        memcpy(buf, c->block.get() + static_cast<size_t>(record - 1) * c->width, c->width);
        return true;
    }
    return read_all(c->file, buf, c->width, record_offset(record, c->width));
}

// True when record `record` holds exactly the row id `p` (`len` bytes).
bool record_equals(const ScrollCursor *c, int record, const char *p, int len) {
    if (len > c->width) return false;
    char buf[kRowIdBufSize];
    const char *rec = buf;
    if (c->block)
        rec = c->block.get() + static_cast<size_t>(record - 1) * c->width;
    else if (!load_record(c, record, buf))
        return false;
    return memcmp(rec, p, len) == 0 && (len == c->width || rec[len] == '\0');
}

// ---- row-id index ------------------------------------------------------------
//
// A slot holds a record number in its low 26 bits and the top 6 bits of the
// row id's hash above them, so that most probes that meet another row id are
// told apart without touching the record itself. Cursors beyond 2^26 - 1
// records (67 million) drop their index and are searched by scanning.

constexpr int kTagShift = 26;
constexpr uint32_t kRecordMask = (1u << kTagShift) - 1;
// Largest capacity a writer's hint may pre-size the index for.
constexpr size_t kMaxIndexHint = 1u << 20;

uint32_t tag_of(uint64_t hash) {
    return static_cast<uint32_t>(hash >> (64 - (32 - kTagShift))) << kTagShift;
}

// The slot where the row id `p` (`len` bytes, hash `h`) is entered, or the
// empty slot where it would go.
size_t index_probe(const ScrollCursor *c, uint64_t h, const char *p, int len) {
    const RowIdIndex &ix = c->index;
    uint32_t tag = tag_of(h);
    size_t i = h & ix.mask;
    for (; ix.slots[i] != 0; i = (i + 1) & ix.mask) {
        uint32_t v = ix.slots[i];
        if ((v & ~kRecordMask) == tag &&
            record_equals(c, static_cast<int>(v & kRecordMask), p, len))
            break;
    }
    return i;
}

void index_drop(RowIdIndex &ix) {
    ix.slots.reset();
    ix.mask = ix.entries = 0;
    ix.stale = true;
}

// Enters `record` unless an earlier record holds the same row id (the first
// one wins). The table has room: callers grow it first. False when the record
// number does not fit a slot.
bool index_insert(ScrollCursor *c, int record, const char *p, int len) {
    if (static_cast<uint32_t>(record) > kRecordMask) return false;
    RowIdIndex &ix = c->index;
    uint64_t h = hash_rowid(p, len);
    size_t i = index_probe(c, h, p, len);
    if (ix.slots[i] != 0) return true;
    ix.slots[i] = tag_of(h) | static_cast<uint32_t>(record);
    ix.entries++;
    return true;
}

// Slot count that keeps `entries` at most three quarters full.
size_t index_size_for(size_t entries) {
    size_t n = kFirstIndexSlots;
    while (entries * 4 > n * 3)
        n *= 2;
    return n;
}

// Builds the index afresh from records 1 .. highest. False when it gets no
// memory, a record cannot be read or the cursor is too large for it; the
// cursor is then searched by scanning.
bool index_rebuild(ScrollCursor *c, size_t slots) {
    RowIdIndex &ix = c->index;
    index_drop(ix);
    if (g_fail_index || static_cast<uint32_t>(c->highest) > kRecordMask) return false;
    ix.slots.reset(new (std::nothrow) uint32_t[slots]());
    if (!ix.slots) return false;
    ix.mask = slots - 1;
    char buf[kRowIdBufSize];
    for (int r = 1; r <= c->highest; r++) {
        if (!load_record(c, r, buf) ||
            !index_insert(c, r, buf, static_cast<int>(strnlen(buf, c->width)))) {
            index_drop(ix);
            return false;
        }
    }
    ix.stale = false;
    return true;
}

// Enters the record just appended, growing the table when it is three
// quarters full. The first record sizes the table for the writer's hint.
void index_append(ScrollCursor *c, int record, const char *p, int len, int hint) {
    RowIdIndex &ix = c->index;
    if (ix.stale && record != 1) return;  // rebuilt by the next search
    if (!ix.slots || (ix.entries + 1) * 4 > (ix.mask + 1) * 3) {
        size_t want = std::max(ix.entries + 1,
                               std::min(static_cast<size_t>(std::max(hint, 0)), kMaxIndexHint));
        index_rebuild(c, index_size_for(want));
        return;  // the rebuild entered every record up to this one
    }
    if (!index_insert(c, record, p, len)) index_drop(ix);
}

// ---- spill file --------------------------------------------------------------

// Creates the spill file and unlinks it at once: the descriptor keeps it
// alive exactly as long as the cursor, and nothing is left behind when the
// process ends in any way. A leftover of the same name (a recycled pid) is
// removed first.
int open_spill_file(ScrollCursor *c) {
    std::string path = scrollcursor_spill_dir() + "/" + c->file_name;
    int fd = -1;
    for (int attempt = 0; attempt < 2 && fd < 0; attempt++) {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0 && errno == EEXIST) unlink(path.c_str());
    }
    if (fd < 0) {
        dqp::tracef(kWriteTag, "failed to create SCROLLCURSOR file '%s'", c->file_name.c_str());
        return -1;
    }
    if (unlink(path.c_str()) != 0) {
        close(fd);
        dqp::tracef(kWriteTag, "failed to reopen SCROLLCURSOR file '%s'", c->file_name.c_str());
        return -1;
    }
    return fd;
}

// Moves the cursor from its block (if any) to a new spill file. The block is
// freed only once every record is in the file; on failure the cursor stays
// as it was.
int spill(ScrollCursor *c) {
    int fd = open_spill_file(c);
    if (fd < 0) return -1;
    if (c->block && c->highest > 0 &&
        !write_all(fd, c->block.get(), static_cast<size_t>(c->highest) * c->width, 0)) {
        close(fd);
        dqp::trace(kWriteTag, "failed to write to SCROLLCURSOR file");
        return -1;
    }
    c->file = fd;
    c->block.reset();
    c->capacity = 0;
    return 0;
}

// Copies records first .. first + count - 1 from the file at the cursor's
// width to `to` at `width`, in one read and one write.
// The writer runs inside the backend, so no exception may leave it: a buffer
// that cannot be had is a failed copy.
bool copy_widened(const ScrollCursor *c, int to, int first, int count, int width) try {
    std::vector<char> in(static_cast<size_t>(count) * c->width);
    std::vector<char> out(static_cast<size_t>(count) * width, '\0');
    if (!read_all(c->file, in.data(), in.size(), record_offset(first, c->width))) return false;
    for (int i = 0; i < count; i++)
        memcpy(&out[static_cast<size_t>(i) * width], &in[static_cast<size_t>(i) * c->width],
               c->width);
    return write_all(to, out.data(), out.size(), record_offset(first, width));
} catch (const std::bad_alloc &) {
    return false;
}

// Re-lays the records at a larger width in a new spill file, which replaces
// the old one only once every record is in it: a failure leaves the cursor
// as it was.
int widen_file(ScrollCursor *c, int width) {
    constexpr int kChunk = 4096;
    int fd = open_spill_file(c);
    if (fd < 0) return -1;
    for (int first = 1; first <= c->highest; first += kChunk) {
        if (!copy_widened(c, fd, first, std::min(kChunk, c->highest - first + 1), width)) {
            close(fd);
            dqp::trace(kWriteTag, "failed to write to SCROLLCURSOR file");
            return -1;
        }
    }
    close(c->file);
    c->file = fd;
    c->width = width;
    return 0;
}

// ---- block -------------------------------------------------------------------

// Gives the block `capacity` records of `width` bytes, copying the records
// written so far. False when the memory cannot be had (nothing changes).
bool regrow_block(ScrollCursor *c, int capacity, int width) {
    std::unique_ptr<char[]> nb = alloc_block(static_cast<size_t>(capacity) * width);
    if (!nb) return false;
    if (c->block && width == c->width) {
        memcpy(nb.get(), c->block.get(), static_cast<size_t>(c->highest) * width);
    } else if (c->block) {
        for (int r = 0; r < c->highest; r++) {
            char *to = nb.get() + static_cast<size_t>(r) * width;
            memcpy(to, c->block.get() + static_cast<size_t>(r) * c->width, c->width);
            memset(to + c->width, 0, width - c->width);
        }
    }
    c->block = std::move(nb);
    c->capacity = capacity;
    c->width = width;
    return true;
}

// Makes room in memory for record `record` of `len` bytes: the first block,
// a doubled block, or a wider one. False when memory runs out.
bool make_room(ScrollCursor *c, int record, int len, int initial_capacity) {
    int width = std::max(c->width, len);
    if (!c->block) {
        int cap = initial_capacity < 1 ? kDefaultScrollCapacity
                                       : std::min(initial_capacity, kMaxBlockRecords);
        return regrow_block(c, std::max(cap, record), width);
    }
    int cap = c->capacity;
    while (record > cap && cap <= kMaxBlockRecords / 2)
        cap *= 2;
    if (record > cap) return false;
    if (cap == c->capacity && width == c->width) return true;
    return regrow_block(c, cap, width);
}

int store_in_block(ScrollCursor *c, int record, const char *data, int len) {
    char *to = c->block.get() + static_cast<size_t>(record - 1) * c->width;
    memcpy(to, data, len);
    memset(to + len, 0, c->width - len);
    return len;
}

int store_in_file(ScrollCursor *c, int record, const char *data, int len) {
    if (c->width < 1) c->width = len;
    if (len > c->width && widen_file(c, len) != 0) return -1;
    char buf[kRowIdBufSize] = {};
    memcpy(buf, data, len);
    if (!write_all(c->file, buf, c->width, record_offset(record, c->width))) {
        dqp::trace(kWriteTag, "failed to write to SCROLLCURSOR file");
        return -1;
    }
    return len;
}

// Length of the row id in `data` (up to its first zero byte, at most `width`
// bytes); -1 when it is empty or longer than a row id may be.
int rowid_length(const char *data, int width) {
    if (data == nullptr || width < 1) return -1;
    size_t len = strnlen(data, std::min(width, kMaxRowIdLen + 1));
    if (len < 1 || len > static_cast<size_t>(kMaxRowIdLen)) return -1;
    return static_cast<int>(len);
}

}  // namespace

// ---- list --------------------------------------------------------------------

ScrollCursor *create_scrollcursor(const std::string &table, const std::string &alias, int shared,
                                  const std::string &filter) {
    if (table.size() > static_cast<size_t>(kMaxCursorName) ||
        alias.size() > static_cast<size_t>(kMaxCursorName))
        return nullptr;
    auto c = std::unique_ptr<ScrollCursor>(new (std::nothrow) ScrollCursor);
    if (!c) return nullptr;
    c->table = table;
    c->alias = upper(alias);
    char pid[16];
    snprintf(pid, sizeof pid, "%08x", static_cast<unsigned>(getpid()));
    c->file_name = file_safe(alias) + "_" + pid + ".sc";
    c->filter = filter;
    c->shared = shared;
    cursor_list().items.push_back(std::move(c));
    return cursor_list().items.back().get();
}

ScrollCursor *find_scrollcursor(const std::string &alias) {
    std::string key = upper(alias);
    for (auto &c : cursor_list().items)
        if (c->alias == key) return c.get();
    return nullptr;
}

void release_scrollcursor(ScrollCursor *cursor) {
    if (cursor == nullptr) return;
    auto &items = cursor_list().items;
    auto it = std::find_if(items.begin(), items.end(),
                           [cursor](const auto &p) { return p.get() == cursor; });
    if (it == items.end()) return;
    if (cursor->file >= 0) close(cursor->file);
    items.erase(it);
}

void release_all_scrollcursors() {
    while (!cursor_list().items.empty())
        release_scrollcursor(cursor_list().items.back().get());
}

int scrollcursor_count() {
    return static_cast<int>(cursor_list().items.size());
}

std::string scrollcursor_spill_dir() {
    std::string root = get_registry_value("DB_ROOT", kRootKey);
    return root.empty() ? std::string(".") : root;
}

// ---- records -----------------------------------------------------------------

int write_scrollcursor(ScrollCursor *c, int record, const char *data, int width,
                       int initial_capacity) {
    if (c == nullptr) return -1;
    int len = rowid_length(data, width);
    if (len < 0) {
        dqp::tracef(kWriteTag, "row id of record %d empty or over %d bytes", record, kMaxRowIdLen);
        return -1;
    }
    if (record < 1 || record > c->highest + 1 || record > kMaxRecords) {
        dqp::tracef(kWriteTag, "record %d out of order (highest %d)", record, c->highest);
        return -1;
    }
    bool in_memory = c->file < 0 && make_room(c, record, len, initial_capacity);
    if (!in_memory && c->file < 0 && spill(c) != 0) return -1;
    int stored =
        in_memory ? store_in_block(c, record, data, len) : store_in_file(c, record, data, len);
    if (stored < 0) return -1;
    if (record > c->highest) {
        c->highest = record;
        index_append(c, record, data, len, initial_capacity);
    } else {
        c->index.stale = true;  // an earlier record changed: rebuilt on the next search
    }
    return len;
}

int read_scrollcursor(ScrollCursor *c, int record, char *dest, int dest_size) {
    if (c == nullptr || dest == nullptr) return -1;
    if (record > c->highest) {
        dqp::trace(kReadTag, "attempt to read beyond SCROLLCURSOR file EOF");
        return -1;
    }
    if (record < 1) {
        dqp::tracef(kReadTag, "record number %d below 1", record);
        return -1;
    }
    if (!c->block && c->file < 0) return 0;
    char buf[kRowIdBufSize];
    if (!load_record(c, record, buf)) {
        dqp::trace(kReadTag, "failed to read SCROLLCURSOR file");
        return -1;
    }
    int len = static_cast<int>(strnlen(buf, c->width));
    if (len + 1 > dest_size) return -1;
    memcpy(dest, buf, len);
    dest[len] = '\0';
    return len;
}

int search_scrollcursor(ScrollCursor *c, const char *rowid, int len, int count, int *record) {
    if (c == nullptr || rowid == nullptr || record == nullptr || len < 1 || len > kMaxRowIdLen)
        return -1;
    count = std::min(count, c->highest);
    if (count < 1 || (!c->block && c->file < 0)) return -1;
    RowIdIndex &ix = c->index;
    if (ix.stale) index_rebuild(c, index_size_for(static_cast<size_t>(c->highest)));
    if (!ix.stale) {
        uint32_t v = ix.slots[index_probe(c, hash_rowid(rowid, len), rowid, len)];
        int r = static_cast<int>(v & kRecordMask);
        if (v == 0 || r > count) return -1;  // none, or the first equal one lies beyond `count`
        *record = r;
        return 0;
    }
    for (int r = 1; r <= count; r++) {
        if (record_equals(c, r, rowid, len)) {
            *record = r;
            return 0;
        }
    }
    return -1;
}

size_t scrollcursor_memory(const ScrollCursor *c) {
    if (c == nullptr) return 0;
    size_t block = c->block ? static_cast<size_t>(c->capacity) * c->width : 0;
    size_t index = c->index.slots ? (c->index.mask + 1) * sizeof(uint32_t) : 0;
    return sizeof(ScrollCursor) + block + index;
}

void scrollcursor_fail_blocks_after(int allowed) {
    g_blocks_allowed = allowed;
}

void scrollcursor_fail_index(bool fail) {
    g_fail_index = fail;
}

}  // namespace vnx
