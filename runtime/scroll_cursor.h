// Scroll cursors: the gateway's map from record numbers to row ids, one per
// alias opened with USE. The backend fills a cursor through the writer
// `write_scrollcursor` while it opens the table (records 1, 2, 3 ... in
// order); INSERT appends; READ, DELETE, UPDATE, LOCK and ISLOCKED read a
// record's row id; FIND turns a row id back into the first record that holds
// it.
//
// Storage: records live in one memory block that doubles from 2048 records
// (or the capacity the first writer asks for); record n sits at (n - 1) x
// stride, padded with zero bytes, so row ids of varying length (integer row
// ids travel as their decimal text, without padding) come back exactly as
// written. When memory cannot be had the cursor moves its records to a spill
// file "ALIAS_PID.sc" in the DB_ROOT directory, in the same layout. The file is
// unlinked the moment it is created and only its descriptor is kept, so no
// spill file outlives its cursor, however the gateway ends (STOP, SIGTERM,
// SIGKILL, a crash).
//
// Look-up: a hash index from row id to its first record number makes the
// search for a row id cost O(1) whatever the number of records; it works on a
// spilled cursor too. Should the index itself not get memory, the search falls
// back to a scan in record order, which still answers the first equal record.
//
// Row ids are 1 to 256 bytes and hold no zero byte. Aliases are stored in
// upper case and found without regard to case; names over 79 characters are
// refused. The cursors and their list belong to the gateway's single request
// thread: nothing here locks. No function throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/backend.h"

namespace vnx {

// Longest row id a cursor stores, and the buffer size that holds one with its
// terminating zero.
inline constexpr int kMaxRowIdLen = 256;
inline constexpr int kRowIdBufSize = kMaxRowIdLen + 1;
// Longest table name or alias.
inline constexpr int kMaxCursorName = 79;
// Records of a new block unless the first writer asks for another capacity.
inline constexpr int kDefaultScrollCapacity = 2048;

// Open-addressing table of record numbers (0 = empty slot), keyed by the
// hash of the record's row id. The row ids themselves stay in the block or
// the file: the index costs 4 bytes per slot and no more.
struct RowIdIndex {
    std::unique_ptr<uint32_t[]> slots;
    size_t mask = 0;     // slot count - 1 (a power of two); 0 with no table
    size_t entries = 0;  // distinct row ids entered
    bool stale = true;   // must be rebuilt before the next search
};

struct ScrollCursor {
    std::string table;      // table name given to USE (at most 79 characters)
    std::string alias;      // alias in upper case (at most 79 characters)
    std::string file_name;  // spill file name "%s_%08x.sc" (alias as received, pid)
    std::string filter;     // USE's filter (#3), trailing blanks removed
    std::string order;      // USE's order key, kept so ZAP can open the table again
    int readonly = 0;       // USE's read-only flag, kept for ZAP
    int shared = 0;         // USE's shared flag

    std::unique_ptr<char[]> block;  // records in memory; null once spilled
    int capacity = 0;               // records the block holds
    int file = -1;                  // spill file descriptor (already unlinked); -1 none
    int highest = 0;                // highest record number written: the record count
    int width = 0;  // stride in bytes (longest row id so far); 0 until the first write
    RowIdIndex index;
};

// Creates a cursor for `table` under `alias` and appends it to the process's
// list. Null when either name is longer than 79 characters or memory fails.
ScrollCursor *create_scrollcursor(const std::string &table, const std::string &alias, int shared,
                                  const std::string &filter);
// The first cursor in list order whose alias equals `alias` without regard to
// case; null when there is none.
ScrollCursor *find_scrollcursor(const std::string &alias);
// Frees the cursor's memory, closes its spill file and removes it from the
// list. A null cursor is ignored.
void release_scrollcursor(ScrollCursor *cursor);
// Releases every cursor (end of the request loop).
void release_all_scrollcursors();
// Number of cursors in the list.
int scrollcursor_count();

// The writer handed to the backend by USE (a ScrollWriter). Stores the row id
// `data` (its bytes up to the first zero byte, at most `width` of them) as
// record `record`. Records must come in order: 1 .. highest + 1 (an existing
// record may be written again). `initial_capacity` is the number of records
// to expect, read at the first write: a writer that knows the row count
// passes it and gets a block and an index of the right size at once; below 1
// gives 2048 and doubling. Returns the row id's length, or -1 for an empty or
// over-long row id, a record number out of order, or a failed spill.
int write_scrollcursor(ScrollCursor *cursor, int record, const char *data, int width,
                       int initial_capacity);
// Copies record `record`'s row id and a terminating zero into `dest`
// (`dest_size` bytes, at least the row id's length + 1). Returns the row id's
// length; 0 when the cursor holds neither block nor file; -1 for a record
// number below 1 or above `highest`, a short destination or a read error.
int read_scrollcursor(ScrollCursor *cursor, int record, char *dest, int dest_size);
// Searches records 1 .. `count` for the row id `rowid` (`len` bytes). 0 and
// the first equal record number in *record, or -1 when none is equal.
int search_scrollcursor(ScrollCursor *cursor, const char *rowid, int len, int count, int *record);

// Bytes the cursor holds in memory for its records and index (benchmarks).
size_t scrollcursor_memory(const ScrollCursor *cursor);

// Test hooks. After `allowed` more successful block allocations, every block
// allocation fails as if memory had run out (-1: never fail).
void scrollcursor_fail_blocks_after(int allowed);
// While set, the row-id index gets no memory (the search falls back to a scan).
void scrollcursor_fail_index(bool fail);
// The directory spill files are made in: DB_ROOT, else the current directory.
std::string scrollcursor_spill_dir();

}  // namespace vnx
