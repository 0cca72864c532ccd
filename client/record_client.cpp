// Typed record calls of libdqpclient. See record_client.h.
#include "client/record_client.h"

#include "protocol/packet.h"

namespace dqp {

namespace {

const char *flag(bool on, const char *word) {
    return on ? word : "";
}

// The gateway pastes a filter after " WHERE " unless it is exactly "*", its
// word for "every row": an empty filter would end the statement in WHERE.
std::string_view filter_arg(std::string_view filter) {
    return filter.find_first_not_of(' ') == std::string_view::npos ? "*" : filter;
}

// MEMO names a declared cursor or an alias opened with USE (the record read
// last), so the longer alias names count.
bool memo_name(std::string_view name) {
    if (name.empty() || name.size() > kMaxAliasName) return false;
    for (unsigned char c : name)
        if (c <= ' ' || c == 0x7F) return false;
    return true;
}

}  // namespace

int RecordClient::check_alias(std::string_view alias, const char *what) {
    if (!alias.empty() && alias.size() <= kMaxAliasName) return 0;
    return sql_.fail(std::string(what) + ": names are 1 to " + std::to_string(kMaxAliasName) +
                     " characters");
}

// A request whose OK reply carries one decimal argument (COUNT, INSERT, FIND).
int RecordClient::number_reply(int type, std::span<const std::string_view> args, int32_t *out,
                               const char *what) {
    Reply r;
    if (sql_.call(type, args, 1, &r) != 0) return -1;
    int32_t n = 0;
    if (parse_decimal(r.args[0], &n) != 0)
        return sql_.broken(std::string(what) + " answered with \"" + r.args[0] +
                           "\", not a number");
    if (out != nullptr) *out = n;
    return 0;
}

// A lock request: OK means granted (not locked, for the tests), so *answer
// becomes 0. The OK reply's info is no answer: the table requests leave it at
// the request's own info (the session handle). A held lock is refused like
// any other failure; MAPERROR tells which it was.
int RecordClient::lock_reply(int type, std::initializer_list<std::string_view> args,
                             int32_t *answer) {
    if (sql_.call(type, args, 0) != 0) return -1;
    if (answer != nullptr) *answer = 0;
    return 0;
}

int RecordClient::use(std::string_view table, std::string_view alias, const UseOptions &opt,
                      int32_t *records) {
    if (check_alias(table, "USE") != 0 || check_alias(alias, "USE") != 0) return -1;
    Reply r;
    if (sql_.call(PKT_TYPE_USE,
                  {table, alias, flag(opt.shared, "SHARED"), filter_arg(opt.filter), opt.order,
                   flag(opt.readonly, "READONLY")},
                  2, &r) != 0)
        return -1;
    int32_t n = 0;
    if (parse_decimal(r.args[1], &n) != 0 || n < 0)
        return sql_.broken("USE answered a record count that is not a number");
    if (records != nullptr) *records = n;
    return 0;
}

int RecordClient::unuse(std::string_view alias) {
    if (check_alias(alias, "UNUSE") != 0) return -1;
    return sql_.call(PKT_TYPE_UNUSE, {alias}, 0);
}

int RecordClient::zap(std::string_view alias, std::string_view table, std::string_view filter) {
    if (check_alias(alias, "ZAP") != 0 || check_alias(table, "ZAP") != 0) return -1;
    return sql_.call(PKT_TYPE_ZAP, {alias, table, filter_arg(filter)}, 0);
}

int RecordClient::count(std::string_view alias, int32_t *records) {
    if (check_alias(alias, "COUNT") != 0) return -1;
    std::string_view args[] = {alias};
    return number_reply(PKT_TYPE_COUNT, args, records, "COUNT");
}

int RecordClient::read(std::string_view alias, int32_t recno, bool lock, Record *out, bool *end,
                       bool readonly) {
    if (check_alias(alias, "READ") != 0) return -1;
    std::string n = std::to_string(recno);
    if (sql_.send_request(PKT_TYPE_READ,
                          {alias, n, flag(lock, "LOCK"), flag(readonly, "READONLY")}) != 0)
        return -1;
    if (sql_.read_record(out, end) == 0) return 0;
    // The gateway's refusal carries no name: say which record was refused.
    if (sql_.failure() != Failure::refused) return -1;
    Reply nok;
    nok.type = PKT_TYPE_NOK;
    nok.info = sql_.last_status();
    return sql_.refuse(nok, "READ of record " + n + " of \"" + std::string(alias) + "\"");
}

int RecordClient::remove(std::string_view alias, int32_t recno) {
    if (check_alias(alias, "DELETE") != 0) return -1;
    std::string n = std::to_string(recno);
    return sql_.call(PKT_TYPE_DELETE, {alias, n}, 2);
}

int RecordClient::update(std::string_view alias, int32_t recno,
                         const std::vector<std::string> &values) {
    if (check_alias(alias, "UPDATE") != 0) return -1;
    if (values.empty()) return sql_.fail("UPDATE: no values");
    std::string n = std::to_string(recno), count = std::to_string(values.size());
    std::vector<std::string_view> args{alias, n, count};
    args.insert(args.end(), values.begin(), values.end());
    return sql_.call(PKT_TYPE_UPDATE, args, 2);
}

int RecordClient::insert(std::string_view alias, const std::vector<std::string> &values,
                         int32_t *recno) {
    if (check_alias(alias, "INSERT") != 0) return -1;
    if (values.empty()) return sql_.fail("INSERT: no values");
    std::string count = std::to_string(values.size());
    std::vector<std::string_view> args{alias, count};
    args.insert(args.end(), values.begin(), values.end());
    return number_reply(PKT_TYPE_INSERT, args, recno, "INSERT");
}

int RecordClient::find(std::string_view alias, std::string_view table, std::string_view key,
                       std::string_view value, const FindOptions &opt, int32_t *recno) {
    if (check_alias(alias, "FIND") != 0 || check_alias(table, "FIND") != 0) return -1;
    if (key.empty()) return sql_.fail("FIND: no key expression");
    std::string type(1, opt.type);
    std::string_view args[] = {
        alias, key, value, flag(opt.lock, "LOCK"), table, flag(opt.exact, "EXACT"), type};
    return number_reply(PKT_TYPE_FIND, args, recno, "FIND");
}

int RecordClient::islocked(std::string_view alias, int32_t recno, int32_t *answer) {
    if (check_alias(alias, "ISLOCKED") != 0) return -1;
    std::string n = std::to_string(recno);
    return lock_reply(PKT_TYPE_ISLOCKED, {alias, n}, answer);
}

int RecordClient::lock(std::string_view alias, int32_t recno, int32_t *answer) {
    if (check_alias(alias, "LOCK") != 0) return -1;
    std::string n = std::to_string(recno);
    return lock_reply(PKT_TYPE_LOCK, {alias, n}, answer);
}

int RecordClient::unlock(std::string_view name, int32_t *answer) {
    if (check_alias(name, "UNLOCK") != 0) return -1;
    return lock_reply(PKT_TYPE_UNLOCK, {name}, answer);
}

int RecordClient::islocked_table(std::string_view table, int32_t *answer) {
    if (check_alias(table, "ISLOCKED_TABLE") != 0) return -1;
    return lock_reply(PKT_TYPE_ISLOCKED_TABLE, {table}, answer);
}

int RecordClient::lock_table(std::string_view table, bool shared) {
    if (check_alias(table, "LOCK_TABLE") != 0) return -1;
    return lock_reply(shared ? PKT_TYPE_RLOCK_TABLE : PKT_TYPE_LOCK_TABLE, {table}, nullptr);
}

int RecordClient::unlock_table(std::string_view table) {
    if (check_alias(table, "UNLOCK_TABLE") != 0) return -1;
    return lock_reply(PKT_TYPE_UNLOCK_TABLE, {table}, nullptr);
}

int RecordClient::memo(std::string_view cursor, int column, const ChunkFn &on_chunk) {
    if (!memo_name(cursor))
        return sql_.fail("MEMO: a cursor or alias name is 1 to " + std::to_string(kMaxAliasName) +
                         " characters without blanks");
    if (column < 0) return sql_.fail("MEMO: column numbers start at 0");
    std::string col = std::to_string(column);
    if (sql_.send_request(PKT_TYPE_MEMO, {cursor, col, "READ"}) != 0) return -1;
    bool stopped = false;
    for (;;) {
        Reply r;
        if (sql_.next_reply(&r) != 0) return -1;
        if (r.type == PKT_TYPE_NOK) return sql_.refuse(r, "MEMO");
        if (r.type != PKT_TYPE_DATA && r.type != PKT_TYPE_EOF)
            return sql_.broken("unexpected packet inside a MEMO answer");
        bool last = r.type == PKT_TYPE_EOF;
        // A DATA piece always carries its text; the closing EOF may come empty.
        if (r.args.size() > 1 || (!last && r.args.empty()))
            return sql_.broken("malformed MEMO piece");
        std::string_view chunk = r.args.empty() ? std::string_view() : r.args[0];
        if (!stopped && on_chunk(chunk, last) != 0) stopped = true;
        if (last) return stopped ? sql_.fail("stopped by the caller") : 0;
    }
}

int RecordClient::memo(std::string_view cursor, int column, std::string *text) {
    text->clear();
    return memo(cursor, column, [text](std::string_view chunk, bool) {
        text->append(chunk);
        return 0;
    });
}

}  // namespace dqp
