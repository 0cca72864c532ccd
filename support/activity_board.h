// The activity board: what each gateway is doing now, in one small shared
// file that the gateways write and administrators read ("vnxadmin
// sessions"), so that publishing costs a request a few hundred bytes of
// memory writes and never a message or a lock.
//
// The file, "activity.board" in DB_ROOT, is made by the master at start
// (mode 0600: statement texts and user names are for the master's user and
// root alone) and mapped by every gateway. It holds a header and one
// fixed-size slot per port of the port table; slot i belongs to the gateway
// on base port + i, which alone writes it. A writer makes the slot's
// sequence number odd, writes the record, and makes it even again; a reader
// copies the record between two reads of an even, unchanged sequence number,
// so it never takes a torn record as whole. Texts are cut to their fields
// and always end with a NUL; nothing read from the file is trusted beyond
// its field.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vnx {

inline constexpr const char *kActivityBoardName = "activity.board";
inline constexpr uint32_t kActivitySlots = 200;  // the port table's size

enum class ActivityState : uint32_t {
    kFree = 0,           // no gateway writes the slot
    kIdle = 1,           // waiting for a request, no transaction open
    kInTransaction = 2,  // waiting for a request, changes not yet committed
    kRunning = 3,        // serving a request
};

// One gateway's record, as published. Plain data, a multiple of 8 bytes.
struct ActivityRecord {
    uint32_t state = 0;  // ActivityState
    int32_t pid = 0;     // the gateway
    int32_t port = 0;    // the gateway's port
    int32_t reserved = 0;
    int64_t since_ms = 0;    // when the running request (else the state) began, ms since the epoch
    uint64_t rows_sent = 0;  // result rows sent since CONNECT
    char request[24] = {};   // the request running or last served ("EXECSQL")
    char data_source[64] = {};  // CONNECT's data source
    char user[64] = {};         // CONNECT's data-source user
    char statement[512] = {};   // the SQL text last received, cut to fit
};
static_assert(sizeof(ActivityRecord) % 8 == 0);

// Copies text into a field of `size` bytes: cut at a character boundary to
// fit, always NUL-terminated.
void set_activity_text(char *field, size_t size, std::string_view text);
// A field's text up to its NUL or its end.
std::string activity_text(const char *field, size_t size);
const char *activity_state_name(uint32_t state);

// The board mapped into this process (writer or reader).
class ActivityBoard {
  public:
    ~ActivityBoard();
    ActivityBoard(const ActivityBoard &) = delete;
    ActivityBoard &operator=(const ActivityBoard &) = delete;

    // Makes a new board at path for a port table above baseport (any file
    // there is replaced), mode 0600. Null and *err on failure.
    static std::unique_ptr<ActivityBoard> create(const std::string &path, int baseport,
                                                 std::string *err);
    // Maps an existing board for writing (a gateway) or reading. Refused
    // when it is no regular file, is a link, is readable or writable by
    // group or others, is owned by another user than this process's
    // (writing) or is not a board of the right size.
    static std::unique_ptr<ActivityBoard> open(const std::string &path, bool write,
                                               std::string *err);
    // The same over memory of the board's size (tests).
    static std::unique_ptr<ActivityBoard> over_memory(void *memory, int baseport);
    static size_t file_size();

    int baseport() const;
    // The slot of port, or -1 outside base port + 1 ... + kActivitySlots - 1.
    int slot_of(int port) const;
    // Publishes a record into slot i (the one writer of that slot).
    void publish(int slot, const ActivityRecord &record);
    // Reads slot i: 0 and the record, -1 when no whole copy could be taken
    // in `tries` attempts (its writer is writing, or died writing).
    [[nodiscard]] int read(int slot, ActivityRecord *out, int tries = 1000) const;

  private:
    ActivityBoard(void *map, size_t size, bool owned);
    struct Slot;
    Slot *slot(int i) const;
    void *map_;
    size_t size_;
    bool owned_;
};

}  // namespace vnx
