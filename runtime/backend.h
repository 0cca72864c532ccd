// The backend operation table: the one seam between the shared server runtime
// and a data source. The request loop reaches the backend only through these
// 49 slots; a gateway program fills the slots it serves and leaves the rest
// null. A null slot is never called: its request is answered NOK -1 (see
// request_loop.h).
//
// Every operation returns a signed 32-bit status, 0 for success. Its first
// parameter is the request's pkt_info (the session handle after CONNECT),
// except start, stop and connect, which receive the result holder first.
// Operations that answer for themselves are given the client index and the
// packet buffer (PKT_BUFSIZE bytes) and send with the exchange functions of
// packet_exchange.h. No exception may leave an operation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vnx {

struct ScrollCursor;

// The writer handed to USE: records the row id of record `record` (1, 2, ...).
// Returns the width on success, -1 on failure.
using ScrollWriter = int (*)(ScrollCursor *cursor, int record, const char *data, int width,
                             int initial_capacity);

struct BackendOps {
    // 0 START: (result, #0 server, #1 user, #2 password, #5 options, port)
    int (*start)(int32_t *result, const char *server, const char *user, const char *password,
                 const char *options, int port);
    // 1 STOP, ABORT
    int (*stop)(int32_t *result);
    // 2 CONNECT: (result, #0 server, #1 user, #2 password, #3 dsn, &out1 error handle, port)
    int (*connect)(int32_t *result, const char *server, const char *user, const char *password,
                   const char *dsn, int32_t *error_handle, int port);
    // 3 DISCONNECT, ABORT
    int (*disconnect)(int32_t info);
    // 4 DECLARE: (info, cursor, mode 0/1 UPDATE/2 INSERT, statement, &out1, &out2, 0, table_closed)
    int (*declare)(int32_t info, const char *cursor, int mode, const char *statement,
                   int32_t *status, int32_t *row_count, int reserved, int table_closed);
    // 5 UNDECLARE
    int (*undeclare)(int32_t info, const char *cursor, int32_t *status, int32_t *row_count);
    // 6 OPEN: (info, cursor, &out1, &out2, parameter count, lengths, values, 0)
    int (*open)(int32_t info, const char *cursor, int32_t *status, int32_t *row_count, int nparams,
                const int *lengths, const char *const *values, int reserved);
    // 7 CLOSE
    int (*close)(int32_t info, const char *cursor, int32_t *status, int32_t *row_count);
    // 8 EXECSQL: (info, statement, text result [240], &result, &out1, &out2)
    int (*execsql)(int32_t info, const char *statement, char *cursor_name, int32_t *result,
                   int32_t *status, int32_t *row_count);
    // 9 (no request calls it)
    int (*count)(int32_t info, const char *alias, int32_t *count);
    // 10 DELETE: (info, table, row id, width, &out1, &out2)
    int (*del)(int32_t info, const char *table, const char *rowid, int width, int32_t *status,
               int32_t *row_count);
    // 11 FIND: (info, packet, &result, exact, type letter, table, client, alias,
    //           row-id result buffer, key expression, value, lock)
    int (*find)(int32_t info, char *packet, int32_t *result, int exact, int type_letter,
                const char *table, int client, const char *alias, char *rowid, const char *key,
                const char *value, int lock);
    // 12 INSERT: (info, table, row-id buffer, n, lengths, values, &w1, &w2)
    int (*insert)(int32_t info, const char *table, char *rowid, int n, const int *lengths,
                  const char *const *values, int32_t *status, int32_t *record);
    // 13 READ: (info, client, packet, &result, table, row id, width, lock, readonly, shared)
    int (*read)(int32_t info, int client, char *packet, int32_t *result, const char *table,
                const char *rowid, int width, int lock, int readonly, int shared);
    // 14 UPDATE: (info, table, row id, width, n, lengths, values, &out1, &out2)
    int (*update)(int32_t info, const char *table, const char *rowid, int width, int n,
                  const int *lengths, const char *const *values, int32_t *status,
                  int32_t *row_count);
    // 15 MAPERROR: (info, text result [512])
    int (*maperror)(int32_t info, char *error_text);
    // 16 FETCH: (info, client, packet, &result, cursor, 0)
    int (*fetch)(int32_t info, int client, char *packet, int32_t *result, const char *cursor,
                 int reserved);
    // 17 FETCHMANY: (info, client, packet, info, #0)
    int (*fetchmany)(int32_t info, int client, char *packet, int32_t request_info,
                     const char *cursor);
    // 18 COMMIT, 19 ROLLBACK
    int (*commit)(int32_t info, int32_t *status);
    int (*rollback)(int32_t info, int32_t *status);
    // 20 ATTACH: (info, database, shared, &out1); 21 DETACH
    int (*attach)(int32_t info, const char *database, int shared, int32_t *status);
    int (*detach)(int32_t info, int32_t *status);
    // 22 (no request calls it)
    int (*execute)(int32_t info, const char *statement);
    // 23 USE: (info, table, alias, shared, writer, cursor, filter, order, readonly, &out1, &out2)
    int (*use)(int32_t info, const char *table, char *alias, int shared, ScrollWriter writer,
               ScrollCursor *cursor, const char *filter, const char *order, int readonly,
               int32_t *status, int32_t *record_count);
    // 24 UNUSE: (info, &out1, &out2)
    int (*unuse)(int32_t info, int32_t *status, int32_t *row_count);
    // 25 ZAP: (info, table, filter, &out1)
    int (*zap)(int32_t info, const char *table, const char *filter, int32_t *status);
    // 26 FIELDLIST, 27 TABLELIST: (info, client, packet, info, #0)
    int (*fieldlist)(int32_t info, int client, char *packet, int32_t request_info,
                     const char *table);
    int (*tablelist)(int32_t info, int client, char *packet, int32_t request_info,
                     const char *pattern);
    // 28 ISLOCKED, 29 LOCK: (info, client, &result, table, row id, width)
    int (*islocked)(int32_t info, int client, int32_t *result, const char *table, const char *rowid,
                    int width);
    int (*lock)(int32_t info, int client, int32_t *result, const char *table, const char *rowid,
                int width);
    // 30 UNLOCK, 31 ISLOCKED_TABLE, 32 LOCK_TABLE, 33 RLOCK_TABLE, 34 UNLOCK_TABLE: (info, #0)
    int (*unlock)(int32_t info, const char *alias);
    int (*islock_table)(int32_t info, const char *table);
    int (*lock_table)(int32_t info, const char *table);
    int (*rlock_table)(int32_t info, const char *table);
    int (*unlock_table)(int32_t info, const char *table);
    // 35..46: FINDFILE, FILEATTRIBUTES, TXT_OPEN, TXT_CLOSE, TXT_READ, (40 unused),
    // TXT_WRITE, LOOKUP, NEW, METHOD, GETPROPERTY, SETPROPERTY. A backend that
    // serves them gets the whole request (packet, size) and fills up to four
    // text results of 512 bytes each and out1; the handler answers OK with
    // out1 and the results it names, NOK with the status.
    int (*file_ops[12])(int32_t info, const char *packet, size_t size, int32_t *out1,
                        char (*texts)[512], int *ntexts);
    // 47 EXTENDED_FETCH: (info, client, packet, &result, #0, #1, decimal #2, 0)
    int (*extend_fetch)(int32_t info, int client, char *packet, int32_t *result, const char *cursor,
                        const char *direction, int offset, int reserved);
    // 48 MEMO: (info, client, packet, info, #0, work buffer [16384], decimal #1, #2)
    int (*memo)(int32_t info, int client, char *packet, int32_t request_info, const char *cursor,
                char *work, int column, const char *mode);
};

inline constexpr int BACKEND_SLOTS = 49;
static_assert(sizeof(BackendOps) == BACKEND_SLOTS * sizeof(void *),
              "the backend operation table has 49 slots");

// Length that marks a parameter value as NULL in the lengths handed to
// OPEN and to execsql_params (its value text is then ignored).
inline constexpr int kNullParamLength = -1;
// The type flags of "PARAMS:" besides '0' (text) and '1' (NULL): b bytes
// (as hexadecimal digits), i integer, f float, n exact decimal, l bool
// ("t"/"f"), d date, t time, s timestamp, z timestamp with zone.
inline constexpr const char kTypedParamFlags[] = "bifnldtsz";

// MAPERROR's answer in a session that asked for typed values: the data
// source's message without the prefixes that name the driver manager and
// the driver, its SQLSTATE (five characters, or empty) and the detail and
// hint the data source gave (empty when none). Every text terminated.
struct TypedError {
    char message[512];
    char sqlstate[6];
    char detail[512];
    char hint[512];
};

// Operations of request forms that the 49 slots cannot carry. A backend that
// serves them registers its table once, before any request loop runs
// (set_backend_extensions); a form whose operation is null is refused.
struct BackendExtensions {
    // EXECSQL with parameters: (info, statement, value count, lengths
    // (kNullParamLength for NULL), values, text result [240], &result,
    // &out1, &out2, &row count). As execsql, and *row_count receives the
    // rows a statement without result changed (-1 when unknown).
    int (*execsql_params)(int32_t info, const char *statement, int nvalues, const int *lengths,
                          const char *const *values, char *cursor_name, int32_t *result,
                          int32_t *status, int32_t *status2, int64_t *row_count);
    // The same with each value's type: types[i] is '0' (text, converted by
    // the data source) or one of kTypedParamFlags; a "b" value is
    // hexadecimal digits, bound as the bytes they stand for.
    int (*execsql_typed_params)(int32_t info, const char *statement, int nvalues,
                                const int *lengths, const char *const *values, const char *types,
                                char *cursor_name, int32_t *result, int32_t *status,
                                int32_t *status2, int64_t *row_count);
    // 1 when the session of `info` asked for typed values at CONNECT (and
    // the backend serves them), else 0. CONNECT's OK then names the word,
    // and MAPERROR and EXECSQL answer in their typed forms below.
    int (*typed_session)(int32_t info);
    // MAPERROR of a typed session: 0 and *out filled, or -1.
    int (*typed_error)(int32_t info, TypedError *out);
    // The rows the session's last EXECSQL without parameters changed with an
    // INSERT, UPDATE, DELETE or MERGE; -1 for every other statement.
    int64_t (*last_row_count)(int32_t info);
};

// Registers (or, with null, removes) the process's extension table; the
// table must outlive every request loop.
void set_backend_extensions(const BackendExtensions *ext);
// The registered table, or null.
const BackendExtensions *backend_extensions();

}  // namespace vnx
