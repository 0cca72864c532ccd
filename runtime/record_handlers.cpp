// The handlers of the record-level requests: USE, UNUSE, ZAP, COUNT, READ,
// DELETE, UPDATE, INSERT, FIND, ISLOCKED and LOCK. They turn record numbers
// into row ids through the alias's scroll cursor (scroll_cursor.h) before they
// call the backend, and row ids back into record numbers for FIND and INSERT.
//
// An alias without a scroll cursor names a cursor the client declared itself:
// DELETE, UPDATE, INSERT, ISLOCKED and LOCK then hand the backend the
// positional marker "SQLSetPos()" in place of a row id and the record number
// in place of its width. READ and FIND need a scroll cursor.
//
// Refused in the runtime (refuse(): NOK -1 with the arguments of the reply
// shape, and a text for MAPERROR) before any backend call: names over 79
// characters, record numbers below 1 or beyond the alias's last record, field
// values over 256 characters, a field count that does not match the
// arguments, a FIND value over 512 characters, an alias that READ, UNUSE, ZAP
// or FIND need open and is not, and a USE of an alias that is already open
// (the client must UNUSE it first: a second cursor under the same alias would
// never be found, and the backend's statements of the first would still be in
// force). After the backend: a FIND whose row is not among the alias's
// records, an INSERT whose new row cannot be given a record number.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/packet.h"
#include "protocol/trace.h"
#include "runtime/request.h"
#include "runtime/scroll_cursor.h"

namespace vnx {

namespace {

// The positional marker, 12 bytes with its terminating zero.
constexpr char kMarker[] = "SQLSetPos()";
static_assert(sizeof kMarker == 12);
// Longest field value (a column buffer holds 256 characters and a zero).
constexpr size_t kMaxValueLen = 256;
// Longest FIND search value (the backend copies it into 513 bytes).
constexpr size_t kMaxFindValueLen = 512;

std::string without_trailing_blanks(std::string s) {
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

// Decimal value of argument i: leading digits with an optional sign, none
// gives 0; clamped to the int range.
int decimal_arg(const Request &r, int i) {
    std::string a = r.arg(i);
    long long v = strtoll(a.c_str(), nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// Record number argument i; false (and the request refused) when it is
// below 1.
bool record_arg(Request &r, int i, int *record) {
    *record = decimal_arg(r, i);
    if (*record >= 1) return true;
    refuse(r, "record " + std::to_string(*record) + " is no record number: records count from 1");
    return false;
}

// The scroll cursor of an alias opened with USE; null (and the request
// refused) when the alias is not open.
ScrollCursor *open_alias(Request &r, const std::string &alias) {
    ScrollCursor *c = find_scrollcursor(alias);
    if (c == nullptr) refuse(r, "alias " + alias + " is not open with USE");
    return c;
}

// Reads the row id of record `record` of the alias's cursor into rowid
// (kRowIdBufSize bytes); its width, or 0 (and the request refused) when the
// cursor has no such record or cannot read it.
int read_record(Request &r, ScrollCursor *c, const std::string &alias, int record, char *rowid) {
    if (record > c->highest) {
        refuse(r, "record " + std::to_string(record) + " is beyond the last record (" +
                      std::to_string(c->highest) + ") of alias " + alias);
        return 0;
    }
    int width = read_scrollcursor(c, record, rowid, kRowIdBufSize);
    if (width > 0) return width;
    refuse(r, "record " + std::to_string(record) + " of alias " + alias +
                  " cannot be read from its record list");
    return 0;
}

// table_closed is 0 while any table is open with USE, 1 otherwise.
void note_open_tables(Request &r) {
    r.slot().table_closed = scrollcursor_count() > 0 ? 0 : 1;
}

void reply_record(Request &r, int status, int record) {
    std::string rec = std::to_string(record);
    standard_reply(r, status, {rec});
}

// The row a record request names: with a scroll cursor, the table name and
// the record's row id; without one, the alias, the positional marker and the
// record number.
struct RowRef {
    std::string name;
    char rowid[kRowIdBufSize] = {};
    int width = 0;
};

// Fills `ref` for record `record` of `alias`; false (and the request
// refused) when the alias has a scroll cursor that holds no such record.
bool resolve_row(Request &r, const std::string &alias, int record, RowRef *ref) {
    ScrollCursor *c = find_scrollcursor(alias);
    if (c == nullptr) {
        ref->name = alias;
        memcpy(ref->rowid, kMarker, sizeof kMarker);
        ref->width = record;
        return true;
    }
    ref->name = c->table;
    ref->width = read_record(r, c, alias, record, ref->rowid);
    return ref->width > 0;
}

// Field values of an UPDATE or INSERT: each in its own block with its length.
struct Values {
    std::vector<std::string> text;
    std::vector<int> lengths;
    std::vector<const char *> ptrs;
};

// Arguments first .. first + n - 1 as values; false (and the request
// refused) when n is negative, more than the packet holds, or a value is over
// 256 characters.
bool values_arg(Request &r, int first, int n, Values *v) {
    int sent = std::max(dqp::pkt_argc(r.packet) - first, 0);
    if (n < 0 || n > sent) {
        refuse(r, "field count " + std::to_string(n) + " does not match the " +
                      std::to_string(sent) + " values sent");
        return false;
    }
    v->text.reserve(n);
    for (int i = 0; i < n; i++) {
        v->text.push_back(r.arg(first + i));
        if (v->text.back().size() > kMaxValueLen) {
            refuse(r, "value " + std::to_string(i + 1) + " is longer than " +
                          std::to_string(kMaxValueLen) + " characters");
            return false;
        }
    }
    for (const std::string &s : v->text) {
        v->lengths.push_back(static_cast<int>(s.size()));
        v->ptrs.push_back(s.c_str());
    }
    return true;
}

// Opens the cursor's table with the backend, which fills the cursor through
// write_scrollcursor. The backend may overwrite the alias it is given, so it
// gets a scratch copy.
int open_table(Request &r, ScrollCursor *c, const std::string &alias, int32_t *status,
               int32_t *count) {
    char scratch[kMaxCursorName + 1] = {};
    memcpy(scratch, alias.data(), std::min(alias.size(), sizeof scratch - 1));
    return r.ops->use(r.info, c->table.c_str(), scratch, c->shared, write_scrollcursor, c,
                      c->filter.c_str(), c->order.c_str(), c->readonly, status, count);
}

template <int (*BackendOps::*Slot)(int32_t, int, int32_t *, const char *, const char *, int)>
void handle_row_lock(Request &r) {
    auto op = r.ops->*Slot;
    std::string alias;
    int record = 0;
    if (!have_op(r, op)) return;
    if (!name_arg(r, 0, &alias) || !record_arg(r, 1, &record)) return;
    RowRef row;
    if (!resolve_row(r, alias, record, &row)) return;
    int status = op(r.info, r.client, &r.result, row.name.c_str(), row.rowid, row.width);
    standard_reply(r, failure_to_minus1(status), {});
}

}  // namespace

// ---- open and close ----------------------------------------------------------

// USE: #0 table, #1 alias, #2 "SHARED", #3 filter, #4 order key, #5 "READONLY".
void handle_use(Request &r) {
    std::string table, alias;
    if (!have_op(r, r.ops->use)) return;
    if (!name_arg(r, 0, &table) || !name_arg(r, 1, &alias)) return;
    if (find_scrollcursor(alias) != nullptr)
        return refuse(r, "alias " + alias + " is already open: UNUSE it first");
    std::string filter = without_trailing_blanks(r.arg(3));
    std::string order = without_trailing_blanks(r.arg(4));
    int shared = r.arg(2) == "SHARED" ? 1 : 0, readonly = r.arg(5) == "READONLY" ? 1 : 0;
    ScrollCursor *c = create_scrollcursor(table, alias, shared, filter);
    if (c == nullptr) return refuse(r, "out of memory for the records of alias " + alias);
    c->order.swap(order);
    c->readonly = readonly;
    r.slot().table_closed = 0;
    r.out1 = r.out2 = 0;
    int status = open_table(r, c, alias, &r.out1, &r.out2);
    if (status != 0) release_scrollcursor(c);
    note_open_tables(r);
    reply_outs(r, failure_to_minus1(status));
}

// UNUSE: #0 alias. The backend's status is not looked at.
void handle_unuse(Request &r) {
    std::string alias;
    if (!have_op(r, r.ops->unuse)) return;
    if (!name_arg(r, 0, &alias)) return;
    ScrollCursor *c = open_alias(r, alias);
    if (c == nullptr) return;
    release_scrollcursor(c);
    note_open_tables(r);
    r.ops->unuse(r.info, &r.out1, &r.out2);
    standard_reply(r, 0, {});
}

// ZAP: #0 alias, #1 table, #2 filter. Closes the table, empties it and opens it
// again with the same shared flag, order key and read-only flag as before.
// A failed delete is reported (NOK) after the table has been opened again.
void handle_zap(Request &r) {
    std::string alias, table;
    if (!have_op(r, r.ops->unuse) || !have_op(r, r.ops->zap) || !have_op(r, r.ops->use)) return;
    if (!name_arg(r, 0, &alias) || !name_arg(r, 1, &table)) return;
    ScrollCursor *old = open_alias(r, alias);
    if (old == nullptr) return;
    std::string filter = without_trailing_blanks(r.arg(2)), order = old->order;
    int shared = old->shared, readonly = old->readonly;
    release_scrollcursor(old);
    int32_t status = 0, count = 0;
    r.ops->unuse(r.info, &status, &count);
    int zapped = r.ops->zap(r.info, table.c_str(), filter.c_str(), &r.out1);
    ScrollCursor *c = create_scrollcursor(table, alias, shared, filter);
    if (c == nullptr) {
        note_open_tables(r);
        return refuse(r, "out of memory for the records of alias " + alias + " after ZAP");
    }
    c->order.swap(order);
    c->readonly = readonly;
    int reopened = open_table(r, c, alias, &status, &count);
    if (reopened != 0) release_scrollcursor(c);
    note_open_tables(r);
    if (zapped != 0) dqp::tracef("[dqp_server]", "ZAP of '%s' failed (%d)", table.c_str(), zapped);
    standard_reply(r, zapped != 0 || reopened != 0 ? -1 : 0, {});
}

// COUNT: #0 alias. The scroll cursor's record count; without one, the row
// count of the last OPEN (0 after CLOSE).
void handle_count(Request &r) {
    std::string alias;
    if (!name_arg(r, 0, &alias)) return;
    ScrollCursor *c = find_scrollcursor(alias);
    int count = c != nullptr ? c->highest : r.slot().open_count != -1 ? r.slot().open_count : 0;
    std::string text = std::to_string(count);
    standard_reply(r, 0, {text});
}

// ---- records -----------------------------------------------------------------

// READ: #0 alias, #1 record, #2 "LOCK", #3 "READONLY". The backend sends the
// row; only a failure is answered here.
void handle_read(Request &r) {
    std::string alias;
    int record = 0;
    if (!have_op(r, r.ops->read)) return;
    if (!name_arg(r, 0, &alias) || !record_arg(r, 1, &record)) return;
    ScrollCursor *c = open_alias(r, alias);
    char rowid[kRowIdBufSize];
    int width = c != nullptr ? read_record(r, c, alias, record, rowid) : 0;
    if (width <= 0) return;
    int status = r.ops->read(r.info, r.client, r.packet, &r.result, c->table.c_str(), rowid, width,
                             r.arg(2) == "LOCK" ? 1 : 0, r.arg(3) == "READONLY" ? 1 : 0, c->shared);
    if (status != 0) standard_reply(r, -1, {});
}

// DELETE: #0 alias, #1 record.
void handle_delete(Request &r) {
    std::string alias;
    int record = 0;
    if (!have_op(r, r.ops->del)) return;
    if (!name_arg(r, 0, &alias) || !record_arg(r, 1, &record)) return;
    RowRef row;
    if (!resolve_row(r, alias, record, &row)) return;
    int status = r.ops->del(r.info, row.name.c_str(), row.rowid, row.width, &r.out1, &r.out2);
    reply_outs(r, failure_to_minus1(status));
}

// UPDATE: #0 alias, #1 record, #2 field count n, #3 .. #(n+2) values.
void handle_update(Request &r) {
    std::string alias;
    int record = 0;
    Values v;
    if (!have_op(r, r.ops->update)) return;
    if (!name_arg(r, 0, &alias) || !record_arg(r, 1, &record)) return;
    if (!values_arg(r, 3, decimal_arg(r, 2), &v)) return;
    int n = static_cast<int>(v.ptrs.size());
    RowRef row;
    if (!resolve_row(r, alias, record, &row)) return;
    int status = r.ops->update(r.info, row.name.c_str(), row.rowid, row.width, n, v.lengths.data(),
                               v.ptrs.data(), &r.out1, &r.out2);
    reply_outs(r, failure_to_minus1(status));
}

// INSERT into a USE table: the backend returns the new row's id, which
// becomes the alias's next record; the answer is that record number.
void insert_into_table(Request &r, ScrollCursor *c, const std::string &alias, const Values &v) {
    char rowid[kRowIdBufSize] = {};
    int32_t w1 = 0, w2 = 0;
    int n = static_cast<int>(v.ptrs.size());
    int status = r.ops->insert(r.info, c->table.c_str(), rowid, n, v.lengths.data(), v.ptrs.data(),
                               &w1, &w2);
    rowid[kMaxRowIdLen] = '\0';
    if (status != 0) return reply_record(r, -1, -1);
    // The row is in the table by now; only its record number is missing.
    if (rowid[0] == '\0')
        return refuse(r, "the new row of alias " + alias +
                             " came back without a row identifier, so it has no record number");
    if (write_scrollcursor(c, c->highest + 1, rowid, kMaxRowIdLen, 0) < 0)
        return refuse(r, "the new row could not be added to the records of alias " + alias);
    reply_record(r, 0, c->highest);
}

// INSERT: #0 alias, #1 field count n, #2 .. #(n+1) values. Without a scroll
// cursor the backend inserts through the client's cursor and counts the new
// record from the row count of the last OPEN.
void handle_insert(Request &r) {
    std::string alias;
    Values v;
    if (!have_op(r, r.ops->insert)) return;
    if (!name_arg(r, 0, &alias)) return;
    if (!values_arg(r, 2, decimal_arg(r, 1), &v)) return;
    int n = static_cast<int>(v.ptrs.size());
    ScrollCursor *c = find_scrollcursor(alias);
    if (c != nullptr) return insert_into_table(r, c, alias, v);
    char marker[kRowIdBufSize] = {};
    memcpy(marker, kMarker, sizeof kMarker);
    int32_t record = r.slot().open_count != -1 ? r.slot().open_count : 0;
    int status = r.ops->insert(r.info, alias.c_str(), marker, n, v.lengths.data(), v.ptrs.data(),
                               &r.out1, &record);
    // A failed insert made no record: its NOK never names one that exists.
    reply_record(r, failure_to_minus1(status), status != 0 ? -1 : record);
}

// FIND: #0 alias, #1 key expression, #2 value, #3 "LOCK", #4 table, #5
// "EXACT", #6 type letter. The backend finds the row id; the answer is the
// first record of the alias that holds it.
void handle_find(Request &r) {
    std::string alias, table;
    if (!have_op(r, r.ops->find)) return;
    if (!name_arg(r, 0, &alias) || !name_arg(r, 4, &table)) return;
    std::string key = r.arg(1), value = r.arg(2), type = r.arg(6);
    if (value.size() > kMaxFindValueLen)
        return refuse(
            r, "the FIND value is longer than " + std::to_string(kMaxFindValueLen) + " characters");
    ScrollCursor *c = open_alias(r, alias);
    if (c == nullptr) return;
    char rowid[kRowIdBufSize] = {};
    int status =
        r.ops->find(r.info, r.packet, &r.result, r.arg(5) == "EXACT" ? 1 : 0,
                    type.empty() ? 0 : static_cast<unsigned char>(type[0]), table.c_str(), r.client,
                    alias.c_str(), rowid, key.c_str(), value.c_str(), r.arg(3) == "LOCK" ? 1 : 0);
    rowid[kMaxRowIdLen] = '\0';
    int record = -1;
    if (status != 0) return reply_record(r, -1, -1);
    if (search_scrollcursor(c, rowid, static_cast<int>(strlen(rowid)), c->highest, &record) != 0)
        return refuse(r, "the row found is not among the records of alias " + alias);
    reply_record(r, 0, record);
}

// ISLOCKED, LOCK: #0 alias, #1 record; the backend's answer is the OK reply's
// info.
void handle_islocked(Request &r) {
    handle_row_lock<&BackendOps::islocked>(r);
}

void handle_lock(Request &r) {
    handle_row_lock<&BackendOps::lock>(r);
}

}  // namespace vnx
