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
// Refused with NOK -1 before any backend call: names over 79 characters, record
// numbers below 1 or beyond the alias's last record, field values over 256
// characters, a field count that does not match the arguments, a FIND value
// over 512 characters, and a USE of an alias that is already open (the client
// must UNUSE it first: a second cursor under the same alias would never be
// found, and the backend's statements of the first would still be in force).
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

constexpr const char *kTag = "[dqp_server]";
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

// Record number argument i; false (and NOK -1) when it is below 1.
bool record_arg(Request &r, int i, int *record) {
    *record = decimal_arg(r, i);
    if (*record >= 1) return true;
    dqp::tracef(kTag, "record number %d refused", *record);
    send_nok(r, -1);
    return false;
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

// Fills `ref` for record `record` of `alias`; false when the alias has a
// scroll cursor that holds no such record.
bool resolve_row(const std::string &alias, int record, RowRef *ref) {
    ScrollCursor *c = find_scrollcursor(alias);
    if (c == nullptr) {
        ref->name = alias;
        memcpy(ref->rowid, kMarker, sizeof kMarker);
        ref->width = record;
        return true;
    }
    ref->name = c->table;
    ref->width = read_scrollcursor(c, record, ref->rowid, sizeof ref->rowid);
    return ref->width > 0;
}

// Field values of an UPDATE or INSERT: each in its own block with its length.
struct Values {
    std::vector<std::string> text;
    std::vector<int> lengths;
    std::vector<const char *> ptrs;
};

// Arguments first .. first + n - 1 as values; false when n is negative, more
// than the packet holds, or a value is over 256 characters.
bool values_arg(const Request &r, int first, int n, Values *v) {
    if (n < 0 || n > dqp::pkt_argc(r.packet) - first) {
        dqp::tracef(kTag, "field count %d does not match the arguments", n);
        return false;
    }
    v->text.reserve(n);
    for (int i = 0; i < n; i++) {
        v->text.push_back(r.arg(first + i));
        if (v->text.back().size() > kMaxValueLen) {
            dqp::tracef(kTag, "value %d longer than %zu characters refused", i, kMaxValueLen);
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
    if (op == nullptr) return send_nok(r, -1);
    if (!name_arg(r, 0, &alias) || !record_arg(r, 1, &record)) return;
    RowRef row;
    if (!resolve_row(alias, record, &row)) return send_nok(r, -1);
    int status = op(r.info, r.client, &r.result, row.name.c_str(), row.rowid, row.width);
    standard_reply(r, failure_to_minus1(status), {});
}

}  // namespace

// ---- open and close ----------------------------------------------------------

// USE: #0 table, #1 alias, #2 "SHARED", #3 filter, #4 order key, #5 "READONLY".
void handle_use(Request &r) {
    std::string table, alias;
    if (r.ops->use == nullptr) return send_nok(r, -1);
    if (!name_arg(r, 0, &table) || !name_arg(r, 1, &alias)) return;
    if (find_scrollcursor(alias) != nullptr) {
        dqp::tracef(kTag, "alias '%s' is already in use", alias.c_str());
        return reply_outs(r, -1);
    }
    std::string filter = without_trailing_blanks(r.arg(3));
    std::string order = without_trailing_blanks(r.arg(4));
    int shared = r.arg(2) == "SHARED" ? 1 : 0, readonly = r.arg(5) == "READONLY" ? 1 : 0;
    ScrollCursor *c = create_scrollcursor(table, alias, shared, filter);
    if (c == nullptr) return reply_outs(r, -1);
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
    if (r.ops->unuse == nullptr) return send_nok(r, -1);
    if (!name_arg(r, 0, &alias)) return;
    ScrollCursor *c = find_scrollcursor(alias);
    if (c == nullptr) return send_nok(r, -1);
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
    if (r.ops->unuse == nullptr || r.ops->zap == nullptr || r.ops->use == nullptr)
        return send_nok(r, -1);
    if (!name_arg(r, 0, &alias) || !name_arg(r, 1, &table)) return;
    ScrollCursor *old = find_scrollcursor(alias);
    if (old == nullptr) return send_nok(r, -1);
    std::string filter = without_trailing_blanks(r.arg(2)), order = old->order;
    int shared = old->shared, readonly = old->readonly;
    release_scrollcursor(old);
    int32_t status = 0, count = 0;
    r.ops->unuse(r.info, &status, &count);
    int zapped = r.ops->zap(r.info, table.c_str(), filter.c_str(), &r.out1);
    ScrollCursor *c = create_scrollcursor(table, alias, shared, filter);
    int reopened = -1;
    if (c != nullptr) {
        c->order.swap(order);
        c->readonly = readonly;
        reopened = open_table(r, c, alias, &status, &count);
        if (reopened != 0) release_scrollcursor(c);
    }
    note_open_tables(r);
    if (zapped != 0) dqp::tracef(kTag, "ZAP of '%s' failed (%d)", table.c_str(), zapped);
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
    if (r.ops->read == nullptr) return send_nok(r, -1);
    if (!name_arg(r, 0, &alias) || !record_arg(r, 1, &record)) return;
    ScrollCursor *c = find_scrollcursor(alias);
    char rowid[kRowIdBufSize];
    int width = c != nullptr ? read_scrollcursor(c, record, rowid, sizeof rowid) : -1;
    if (width <= 0) return send_nok(r, -1);
    int status = r.ops->read(r.info, r.client, r.packet, &r.result, c->table.c_str(), rowid, width,
                             r.arg(2) == "LOCK" ? 1 : 0, r.arg(3) == "READONLY" ? 1 : 0, c->shared);
    if (status != 0) send_nok(r, -1);
}

// DELETE: #0 alias, #1 record.
void handle_delete(Request &r) {
    std::string alias;
    int record = 0;
    if (r.ops->del == nullptr) return send_nok(r, -1);
    if (!name_arg(r, 0, &alias) || !record_arg(r, 1, &record)) return;
    RowRef row;
    if (!resolve_row(alias, record, &row)) return send_nok(r, -1);
    int status = r.ops->del(r.info, row.name.c_str(), row.rowid, row.width, &r.out1, &r.out2);
    reply_outs(r, failure_to_minus1(status));
}

// UPDATE: #0 alias, #1 record, #2 field count n, #3 .. #(n+2) values.
void handle_update(Request &r) {
    std::string alias;
    int record = 0;
    Values v;
    if (r.ops->update == nullptr) return send_nok(r, -1);
    if (!name_arg(r, 0, &alias) || !record_arg(r, 1, &record)) return;
    int n = decimal_arg(r, 2);
    if (!values_arg(r, 3, n, &v)) return send_nok(r, -1);
    RowRef row;
    if (!resolve_row(alias, record, &row)) return send_nok(r, -1);
    int status = r.ops->update(r.info, row.name.c_str(), row.rowid, row.width, n, v.lengths.data(),
                               v.ptrs.data(), &r.out1, &r.out2);
    reply_outs(r, failure_to_minus1(status));
}

// INSERT into a USE table: the backend returns the new row's id, which
// becomes the alias's next record; the answer is that record number.
void insert_into_table(Request &r, ScrollCursor *c, const Values &v) {
    char rowid[kRowIdBufSize] = {};
    int32_t w1 = 0, w2 = 0;
    int n = static_cast<int>(v.ptrs.size());
    int status = r.ops->insert(r.info, c->table.c_str(), rowid, n, v.lengths.data(), v.ptrs.data(),
                               &w1, &w2);
    rowid[kMaxRowIdLen] = '\0';
    if (status != 0) return reply_record(r, -1, -1);
    if (rowid[0] == '\0') {
        dqp::trace(kTag, "INSERT returned no row id; the new row has no record number");
        return reply_record(r, -1, -1);
    }
    if (write_scrollcursor(c, c->highest + 1, rowid, kMaxRowIdLen, 0) < 0)
        return reply_record(r, -1, -1);
    reply_record(r, 0, c->highest);
}

// INSERT: #0 alias, #1 field count n, #2 .. #(n+1) values. Without a scroll
// cursor the backend inserts through the client's cursor and counts the new
// record from the row count of the last OPEN.
void handle_insert(Request &r) {
    std::string alias;
    Values v;
    if (r.ops->insert == nullptr) return send_nok(r, -1);
    if (!name_arg(r, 0, &alias)) return;
    int n = decimal_arg(r, 1);
    if (!values_arg(r, 2, n, &v)) return send_nok(r, -1);
    ScrollCursor *c = find_scrollcursor(alias);
    if (c != nullptr) return insert_into_table(r, c, v);
    char marker[kRowIdBufSize] = {};
    memcpy(marker, kMarker, sizeof kMarker);
    int32_t record = r.slot().open_count != -1 ? r.slot().open_count : 0;
    int status = r.ops->insert(r.info, alias.c_str(), marker, n, v.lengths.data(), v.ptrs.data(),
                               &r.out1, &record);
    reply_record(r, failure_to_minus1(status), record);
}

// FIND: #0 alias, #1 key expression, #2 value, #3 "LOCK", #4 table, #5
// "EXACT", #6 type letter. The backend finds the row id; the answer is the
// first record of the alias that holds it.
void handle_find(Request &r) {
    std::string alias, table;
    if (r.ops->find == nullptr) return send_nok(r, -1);
    if (!name_arg(r, 0, &alias) || !name_arg(r, 4, &table)) return;
    std::string key = r.arg(1), value = r.arg(2), type = r.arg(6);
    if (value.size() > kMaxFindValueLen) {
        dqp::tracef(kTag, "FIND value longer than %zu characters refused", kMaxFindValueLen);
        return reply_record(r, -1, -1);
    }
    ScrollCursor *c = find_scrollcursor(alias);
    if (c == nullptr) return reply_record(r, -1, -1);
    char rowid[kRowIdBufSize] = {};
    int status =
        r.ops->find(r.info, r.packet, &r.result, r.arg(5) == "EXACT" ? 1 : 0,
                    type.empty() ? 0 : static_cast<unsigned char>(type[0]), table.c_str(), r.client,
                    alias.c_str(), rowid, key.c_str(), value.c_str(), r.arg(3) == "LOCK" ? 1 : 0);
    rowid[kMaxRowIdLen] = '\0';
    int record = -1;
    if (status != 0 ||
        search_scrollcursor(c, rowid, static_cast<int>(strlen(rowid)), c->highest, &record) != 0)
        return reply_record(r, -1, -1);
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
