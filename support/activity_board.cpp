// The activity board. See activity_board.h.
#include "support/activity_board.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace vnx {

namespace {

constexpr char kMagic[8] = {'V', 'N', 'X', 'B', 'R', 'D', '0', '1'};
constexpr size_t kWords = sizeof(ActivityRecord) / 8;

struct Header {
    char magic[8];
    uint32_t slots;
    uint32_t slot_size;
    int32_t baseport;
    char reserved[44];
};
static_assert(sizeof(Header) == 64);

}  // namespace

// A slot: the sequence number (odd while its writer writes) and the record
// as 8-byte words, each written and read as a relaxed atomic so that a
// reader racing its writer reads defined (if mixed) values, which the
// sequence number then rejects.
struct ActivityBoard::Slot {
    uint64_t seq;
    uint64_t words[kWords];
};

namespace {

constexpr size_t kSlotSize = sizeof(uint64_t) * (1 + kWords);
constexpr size_t kFileSize = sizeof(Header) + kSlotSize * kActivitySlots;

std::string errno_text(const char *what, const std::string &path) {
    return std::string(what) + " " + path + ": " + strerror(errno);
}

// Cuts text to at most n bytes without splitting a UTF-8 character.
size_t utf8_cut(std::string_view text, size_t n) {
    if (text.size() <= n) return text.size();
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        n--;
    return n;
}

}  // namespace

void set_activity_text(char *field, size_t size, std::string_view text) {
    size_t n = utf8_cut(text, size - 1);
    memcpy(field, text.data(), n);
    memset(field + n, 0, size - n);
}

std::string activity_text(const char *field, size_t size) {
    return std::string(field, strnlen(field, size));
}

const char *activity_state_name(uint32_t state) {
    switch (static_cast<ActivityState>(state)) {
        case ActivityState::kFree:
            return "free";
        case ActivityState::kIdle:
            return "idle";
        case ActivityState::kInTransaction:
            return "in transaction";
        case ActivityState::kRunning:
            return "running a statement";
    }
    return "unknown";
}

ActivityBoard::ActivityBoard(void *map, size_t size, bool owned)
    : map_(map), size_(size), owned_(owned) {}

ActivityBoard::~ActivityBoard() {
    if (owned_) munmap(map_, size_);
}

size_t ActivityBoard::file_size() {
    return kFileSize;
}

std::unique_ptr<ActivityBoard> ActivityBoard::create(const std::string &path, int baseport,
                                                     std::string *err) {
    // A new file, never one that is there (nor what a link there names).
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        *err = errno_text("cannot remove", path);
        return nullptr;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *err = errno_text("cannot create", path);
        return nullptr;
    }
    // 0600 whatever the umask.
    if (fchmod(fd, 0600) != 0 || ftruncate(fd, static_cast<off_t>(kFileSize)) != 0) {
        *err = errno_text("cannot size", path);
        close(fd);
        unlink(path.c_str());
        return nullptr;
    }
    void *map = mmap(nullptr, kFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        *err = errno_text("cannot map", path);
        return nullptr;
    }
    auto board = over_memory(map, baseport);
    board->owned_ = true;
    return board;
}

std::unique_ptr<ActivityBoard> ActivityBoard::over_memory(void *memory, int baseport) {
    auto *h = static_cast<Header *>(memory);
    memset(memory, 0, kFileSize);
    h->slots = kActivitySlots;
    h->slot_size = static_cast<uint32_t>(kSlotSize);
    h->baseport = baseport;
    memcpy(h->magic, kMagic, sizeof kMagic);
    return std::unique_ptr<ActivityBoard>(new ActivityBoard(memory, kFileSize, false));
}

std::unique_ptr<ActivityBoard> ActivityBoard::open(const std::string &path, bool write,
                                                   std::string *err) {
    int fd = ::open(path.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        *err = errno_text("cannot open", path);
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 077) != 0 ||
        (write && st.st_uid != geteuid()) || static_cast<size_t>(st.st_size) != kFileSize) {
        *err = path + " is not an activity board of this master (a regular file of mode 0600)";
        close(fd);
        return nullptr;
    }
    void *map =
        mmap(nullptr, kFileSize, write ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        *err = errno_text("cannot map", path);
        return nullptr;
    }
    const auto *h = static_cast<const Header *>(map);
    if (memcmp(h->magic, kMagic, sizeof kMagic) != 0 || h->slots != kActivitySlots ||
        h->slot_size != kSlotSize) {
        *err = path + " is not an activity board of this version";
        munmap(map, kFileSize);
        return nullptr;
    }
    return std::unique_ptr<ActivityBoard>(new ActivityBoard(map, kFileSize, true));
}

int ActivityBoard::baseport() const {
    return static_cast<const Header *>(map_)->baseport;
}

int ActivityBoard::slot_of(int port) const {
    long i = static_cast<long>(port) - baseport();
    return i >= 1 && i < static_cast<long>(kActivitySlots) ? static_cast<int>(i) : -1;
}

ActivityBoard::Slot *ActivityBoard::slot(int i) const {
    char *base = static_cast<char *>(map_) + sizeof(Header);
    return reinterpret_cast<Slot *>(base + kSlotSize * static_cast<size_t>(i));
}

void ActivityBoard::publish(int i, const ActivityRecord &record) {
    if (i < 0 || i >= static_cast<int>(kActivitySlots)) return;
    Slot *s = slot(i);
    uint64_t words[kWords];
    memcpy(words, &record, sizeof words);
    std::atomic_ref<uint64_t> seq(s->seq);
    const uint64_t before = seq.load(std::memory_order_relaxed);
    // An odd number left by a writer that died writing is made even here.
    const uint64_t odd = (before | 1) + ((before & 1) ? 2 : 0);
    seq.store(odd, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    // Only the words that changed are stored: a request changes a few
    // (state, times, counters), the statement text seldom.
    for (size_t w = 0; w < kWords; w++) {
        std::atomic_ref<uint64_t> word(s->words[w]);
        if (word.load(std::memory_order_relaxed) != words[w])
            word.store(words[w], std::memory_order_relaxed);
    }
    seq.store(odd + 1, std::memory_order_release);
}

int ActivityBoard::read(int i, ActivityRecord *out, int tries) const {
    if (i < 0 || i >= static_cast<int>(kActivitySlots)) return -1;
    Slot *s = slot(i);
    std::atomic_ref<uint64_t> seq(s->seq);
    uint64_t words[kWords];
    for (int t = 0; t < tries; t++) {
        const uint64_t first = seq.load(std::memory_order_acquire);
        if (first & 1) continue;
        for (size_t w = 0; w < kWords; w++)
            words[w] = std::atomic_ref<uint64_t>(s->words[w]).load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (seq.load(std::memory_order_relaxed) != first) continue;
        memcpy(out, words, sizeof words);
        // Texts end inside their fields, whatever the writer left.
        out->request[sizeof out->request - 1] = '\0';
        out->data_source[sizeof out->data_source - 1] = '\0';
        out->user[sizeof out->user - 1] = '\0';
        out->statement[sizeof out->statement - 1] = '\0';
        return 0;
    }
    return -1;
}

}  // namespace vnx
