// Typed record calls of libdqpclient.
//
// RecordClient runs the record-level requests of the DQP protocol (USE, UNUSE,
// ZAP, COUNT, READ, DELETE, UPDATE, INSERT, FIND, the record and table locks,
// MEMO) through an SqlClient, whose connection, session handle and failure
// reporting it shares: a table is opened under an alias and its records are
// addressed by record number, 1 for the first. Replies are checked as strictly
// as SqlClient checks its own; every call returns 0 or -1 with the reason in
// the SqlClient's error() and failure(). The RecordClient owns nothing.
//
// Long text columns (type M) come in a READ as a placeholder text ("Bitmap
// image", empty when null) and are read with MEMO; the gateway leaves them
// out of UPDATE and INSERT, so record access cannot write them (SQL can).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "client/sql_client.h"

namespace dqp {

// Aliases and table names the gateway accepts: 1 to 79 characters.
inline constexpr size_t kMaxAliasName = 79;

// How a table is opened with USE.
struct UseOptions {
    bool shared = false;
    bool readonly = false;
    std::string filter;  // a condition on the table's rows; empty or "*": every row
    std::string order;   // the order key, or empty
};

// Keyed search with FIND.
struct FindOptions {
    bool exact = false;
    bool lock = false;
    char type = 'C';  // the key's type letter: C, N, D, L
};

// Receives the pieces of a long column in order; last is true for the final one.
using ChunkFn = std::function<int(std::string_view chunk, bool last)>;

class VARNEX_API RecordClient {
  public:
    explicit RecordClient(SqlClient &sql) : sql_(sql) {}

    // USE: opens `table` under `alias`; *records receives its record count.
    int use(std::string_view table, std::string_view alias, const UseOptions &opt,
            int32_t *records = nullptr);
    int unuse(std::string_view alias);
    // ZAP: empties the table open under `alias` (rows matching `filter`) and
    // opens it again.
    int zap(std::string_view alias, std::string_view table, std::string_view filter = {});
    int count(std::string_view alias, int32_t *records);
    // READ record n. *end is set when the gateway sent no row.
    int read(std::string_view alias, int32_t recno, bool lock, Record *out, bool *end,
             bool readonly = false);
    int remove(std::string_view alias, int32_t recno);
    // UPDATE record n with the values of its first values.size() columns.
    int update(std::string_view alias, int32_t recno, const std::vector<std::string> &values);
    // INSERT a record; *recno receives its record number.
    int insert(std::string_view alias, const std::vector<std::string> &values, int32_t *recno);
    // FIND the first record whose `key` matches `value` in the table opened
    // as `alias` under the name `table`; *recno receives its record number.
    int find(std::string_view alias, std::string_view table, std::string_view key,
             std::string_view value, const FindOptions &opt, int32_t *recno);
    // Record locks. The gateway grants a lock or finds a record free with OK
    // (*answer then receives 0) and refuses a record held by another session
    // like any other failure (Failure::refused; MAPERROR gives the data
    // source's reason). The table locks are granted at once.
    int islocked(std::string_view alias, int32_t recno, int32_t *answer);
    int lock(std::string_view alias, int32_t recno, int32_t *answer = nullptr);
    int unlock(std::string_view name, int32_t *answer = nullptr);
    // Table locks (argument: the table's name).
    int islocked_table(std::string_view table, int32_t *answer);
    int lock_table(std::string_view table, bool shared);
    int unlock_table(std::string_view table);
    // MEMO: reads column `column` (0-based) of the row `cursor` stands on (a
    // declared cursor, or an alias whose record was read last), in
    // pieces handed to on_chunk; or collected whole into *text.
    int memo(std::string_view cursor, int column, const ChunkFn &on_chunk);
    int memo(std::string_view cursor, int column, std::string *text);

  private:
    int check_alias(std::string_view alias, const char *what);
    int number_reply(int type, std::span<const std::string_view> args, int32_t *out,
                     const char *what);
    int lock_reply(int type, std::initializer_list<std::string_view> args, int32_t *answer);

    SqlClient &sql_;
};

}  // namespace dqp
