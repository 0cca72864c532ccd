// The record-level requests against a recording backend, over a socket pair:
// what each handler passes to the backend, what it answers, the positional
// marker path for aliases without a scroll cursor, and the refusal of bad
// input before the backend is called.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "client/dqp_client.h"
#include "runtime/client_table.h"
#include "runtime/packet_exchange.h"
#include "runtime/request_loop.h"
#include "runtime/scroll_cursor.h"
#include "support/config_cache.h"
#include "support/temp_store.h"

using namespace vnx;
using dqp::Reply;
using Args = std::vector<std::string>;

namespace {

// What the recording backend saw, and what it is to answer.
struct Backend {
    std::vector<std::string> log;
    std::vector<std::string> rows;  // row ids USE writes, in record order
    int use_status = 0;
    int zap_status = 0;
    int read_status = 0;
    int find_status = 0;
    std::string found_rowid;
    std::string inserted_rowid = "NEW1";
    int32_t lock_answer = 0;
};
Backend be;

std::string s(const char *p) {
    return p == nullptr ? "(null)" : p;
}
std::string n(long v) {
    return std::to_string(v);
}

int rec_use(int32_t info, const char *table, char *alias, int shared, ScrollWriter writer,
            ScrollCursor *cursor, const char *filter, const char *order, int readonly,
            int32_t *status, int32_t *count) {
    be.log.push_back("use " + n(info) + " " + table + " " + alias + " " + n(shared) + " [" +
                     filter + "] [" + order + "] " + n(readonly));
    for (size_t i = 0; i < be.rows.size(); i++)
        if (writer(cursor, (int)i + 1, be.rows[i].c_str(), (int)be.rows[i].size(), 0) < 0)
            return -1;
    strcpy(alias, "DQP_READ_00000001");  // the operation may write over the alias
    *status = 0;
    *count = (int32_t)be.rows.size();
    return be.use_status;
}
int rec_unuse(int32_t, int32_t *, int32_t *) {
    be.log.push_back("unuse");
    return -9;  // not looked at
}
int rec_zap(int32_t, const char *table, const char *filter, int32_t *) {
    be.log.push_back(std::string("zap ") + table + " [" + filter + "]");
    return be.zap_status;
}
int rec_read(int32_t info, int client, char *packet, int32_t *, const char *table,
             const char *rowid, int width, int lock, int readonly, int shared) {
    be.log.push_back(std::string("read ") + table + " " + rowid + " " + n(width) + " " + n(lock) +
                     " " + n(readonly) + " " + n(shared));
    if (be.read_status != 0) return be.read_status;
    std::string_view row[] = {rowid};
    (void)dqp_send_reply(client, packet, 'T', info, row);  // the client side checks what arrived
    return 0;
}
int rec_delete(int32_t, const char *name, const char *rowid, int width, int32_t *out1,
               int32_t *out2) {
    be.log.push_back("delete " + s(name) + " " + rowid + " " + n(width));
    *out1 = 3;
    *out2 = 4;
    return 0;
}
int rec_update(int32_t, const char *name, const char *rowid, int width, int count,
               const int *lengths, const char *const *values, int32_t *out1, int32_t *) {
    std::string line = "update " + s(name) + " " + rowid + " " + n(width) + " " + n(count);
    for (int i = 0; i < count; i++)
        line += " " + std::string(values[i]) + "/" + n(lengths[i]);
    be.log.push_back(line);
    *out1 = 6;
    return 0;
}
int rec_insert(int32_t, const char *name, char *rowid, int count, const int *,
               const char *const *values, int32_t *, int32_t *record) {
    std::string line = "insert " + s(name) + " " + rowid + " " + n(count);
    for (int i = 0; i < count; i++)
        line += " " + std::string(values[i]);
    be.log.push_back(line);
    if (strcmp(rowid, "SQLSetPos()") == 0)
        *record += 1;
    else
        strcpy(rowid, be.inserted_rowid.c_str());
    return 0;
}
int rec_find(int32_t, char *, int32_t *, int exact, int letter, const char *table, int,
             const char *alias, char *rowid, const char *key, const char *value, int lock) {
    be.log.push_back("find " + s(table) + " " + alias + " " + key + " [" + value + "] " + n(exact) +
                     " " + std::string(1, (char)(letter ? letter : '0')) + " " + n(lock));
    strcpy(rowid, be.found_rowid.c_str());
    return be.find_status;
}
int rec_islocked(int32_t, int, int32_t *result, const char *name, const char *rowid, int width) {
    be.log.push_back("islocked " + s(name) + " " + rowid + " " + n(width));
    *result = be.lock_answer;
    return 0;
}
int rec_lock(int32_t, int, int32_t *result, const char *name, const char *rowid, int width) {
    be.log.push_back("lock " + s(name) + " " + rowid + " " + n(width));
    *result = be.lock_answer;
    return 0;
}
int rec_declare(int32_t, const char *cursor, int, const char *, int32_t *, int32_t *, int,
                int table_closed) {
    be.log.push_back(std::string("declare ") + cursor + " " + n(table_closed));
    return 0;
}
int rec_open(int32_t, const char *, int32_t *, int32_t *count, int, const int *,
             const char *const *, int) {
    *count = 12;
    return 0;
}
int rec_stop(int32_t *) {
    return 0;
}

BackendOps recording_ops() {
    BackendOps ops{};
    ops.use = rec_use;
    ops.unuse = rec_unuse;
    ops.zap = rec_zap;
    ops.read = rec_read;
    ops.del = rec_delete;
    ops.update = rec_update;
    ops.insert = rec_insert;
    ops.find = rec_find;
    ops.islocked = rec_islocked;
    ops.lock = rec_lock;
    ops.declare = rec_declare;
    ops.open = rec_open;
    ops.stop = rec_stop;
    return ops;
}

std::vector<std::string> numbered_rows(int count) {
    std::vector<std::string> rows;
    for (int i = 1; i <= count; i++)
        rows.push_back(std::to_string(100 + i));
    return rows;
}

class RecordRequests : public ::testing::Test {
  protected:
    void SetUp() override {
        be = Backend{};
        be.rows = {"R1", "R2", "R3"};
        root_ = "/tmp/vnx_rh_XXXXXX";
        ASSERT_NE(mkdtemp(root_.data()), nullptr);
        auto st = store_.open();
        ASSERT_TRUE(st);
        ASSERT_EQ(st->set_value(kRootKey, "DB_ROOT", root_), 0);
        reset_registry_cache_for_tests();
        ops_ = recording_ops();
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        int slot = attach_socket(fds[0], TRANSPORT_TCPIP);
        ASSERT_GE(slot, 0);
        loop_ = std::thread([slot, this] {
            dqp_request_loop(slot, &ops_);
            detach_from_client(slot);
        });
        conn_ = dqp::Connection::adopt(fds[1], 5000);
    }
    void TearDown() override {
        end_loop();
        scrollcursor_fail_blocks_after(-1);
        rmdir(root_.c_str());
    }
    void end_loop() {
        if (!loop_.joinable()) return;
        conn_->close();
        loop_.join();
    }
    Reply ask(int type, std::initializer_list<std::string_view> args = {}, int32_t info = 7) {
        Reply r;
        EXPECT_EQ(conn_->request(type, info, args, &r), 0) << conn_->error();
        return r;
    }
    // USE of CUSTOMER under `alias`, shared, no filter, not read-only.
    Reply use(const std::string &alias = "cust") {
        return ask('1', {"CUSTOMER", alias, "SHARED", "*", "", ""});
    }
    static void expect_nok(const Reply &r, const char *what) {
        EXPECT_EQ(r.type, 'N') << what;
        EXPECT_EQ(r.info, -1) << what;
    }

    TempStore store_;
    std::string root_;
    BackendOps ops_;
    std::thread loop_;
    std::unique_ptr<dqp::Connection> conn_;
};

}  // namespace

// ---- USE, UNUSE, COUNT -------------------------------------------------------

TEST_F(RecordRequests, UseFillsTheCursorAndCountAnswersFromIt) {
    Reply r = ask('1', {"CUSTOMER", "cust", "SHARED", "age > 30  ", "name desc ", "READONLY"});
    EXPECT_EQ(r.type, 'Y');
    EXPECT_EQ(r.info, 7);
    EXPECT_EQ(r.args, (Args{"0", "3"}));
    EXPECT_EQ(be.log, (Args{"use 7 CUSTOMER cust 1 [age > 30] [name desc] 1"}));
    EXPECT_EQ(ask('H', {"CUST"}).args, (Args{"3"}));
}

TEST_F(RecordRequests, UseFlagsAreExactWords) {
    ask('1', {"T", "a", "shared", "*", "", "readonly"});
    EXPECT_EQ(be.log.back(), "use 7 T a 0 [*] [] 0");
}

TEST_F(RecordRequests, SecondUseOfAnOpenAliasIsRefused) {
    ASSERT_EQ(use("cust").type, 'Y');
    Reply again = use("CUST");
    expect_nok(again, "second USE");
    EXPECT_EQ(be.log.size(), 1u);
    EXPECT_EQ(ask('H', {"cust"}).args, (Args{"3"}));
}

TEST_F(RecordRequests, FailedUseReleasesItsCursor) {
    be.use_status = 5;
    Reply r = use();
    expect_nok(r, "USE");
    EXPECT_EQ(r.args, (Args{"0", "3"}));
    expect_nok(ask('L', {"cust", "1", "", ""}), "READ after failed USE");
    be.use_status = 0;
    EXPECT_EQ(use().type, 'Y');  // the alias is free again
}

TEST_F(RecordRequests, UseMarksTheTableOpenUntilTheLastUnuse) {
    use("a");
    use("b");
    ask('U', {"c1", "select 1", ""});
    ask('2', {"a"});
    ask('U', {"c2", "select 1", ""});
    ask('2', {"b"});
    ask('U', {"c3", "select 1", ""});
    EXPECT_EQ(be.log[2], "declare c1 0");
    EXPECT_EQ(be.log[4], "declare c2 0");
    EXPECT_EQ(be.log[6], "declare c3 1");
}

TEST_F(RecordRequests, UnuseReleasesTheCursorAndIgnoresTheBackendStatus) {
    use();
    ask('E', {"somecursor"});  // open_count 12
    Reply r = ask('2', {"Cust"});
    EXPECT_EQ(r.type, 'Y');
    EXPECT_TRUE(r.args.empty());
    EXPECT_EQ(be.log.back(), "unuse");
    EXPECT_EQ(ask('H', {"cust"}).args, (Args{"12"}));  // back to the last OPEN's count
}

TEST_F(RecordRequests, UnuseOfUnknownAliasCallsNothing) {
    expect_nok(ask('2', {"nothing"}), "UNUSE");
    EXPECT_TRUE(be.log.empty());
}

// ---- READ ----------------------------------------------------------------------

TEST_F(RecordRequests, ReadPassesTheRowIdAndFlags) {
    use();
    Reply r = ask('L', {"cust", "2", "LOCK", ""}, 9);
    EXPECT_EQ(r.type, 'T');
    EXPECT_EQ(r.args, (Args{"R2"}));
    EXPECT_EQ(be.log.back(), "read CUSTOMER R2 2 1 0 1");
    ask('L', {"cust", "3", "lock", "READONLY"});
    EXPECT_EQ(be.log.back(), "read CUSTOMER R3 2 0 1 1");
}

TEST_F(RecordRequests, ReadOutsideTheRecordsIsRefusedBeforeTheBackend) {
    use();
    for (const char *rec : {"0", "-1", "4", "", "x", "99999999999"})
        expect_nok(ask('L', {"cust", rec, "", ""}), rec);
    expect_nok(ask('L', {"never", "1", "", ""}), "alias never opened");
    EXPECT_EQ(be.log.size(), 1u);
}

TEST_F(RecordRequests, FailedReadIsAnsweredNokWithoutArguments) {
    use();
    be.read_status = 3;
    Reply r = ask('L', {"cust", "1", "", ""});
    expect_nok(r, "READ");
    EXPECT_TRUE(r.args.empty());
}

TEST_F(RecordRequests, DecimalRowIdsTravelUnpadded) {
    be.rows = {"7", "42", "1000000"};
    use();
    ask('L', {"cust", "2", "", ""});
    EXPECT_EQ(be.log.back(), "read CUSTOMER 42 2 0 0 1");
    ask('L', {"cust", "3", "", ""});
    EXPECT_EQ(be.log.back(), "read CUSTOMER 1000000 7 0 0 1");
}

// ---- DELETE, UPDATE, ISLOCKED, LOCK -------------------------------------------

TEST_F(RecordRequests, DeleteWithCursorAndWithMarker) {
    use();
    Reply r = ask('I', {"cust", "3"});
    EXPECT_EQ(r.type, 'Y');
    EXPECT_EQ(r.args, (Args{"3", "4"}));
    EXPECT_EQ(be.log.back(), "delete CUSTOMER R3 2");
    ask('I', {"mycursor", "5"});
    EXPECT_EQ(be.log.back(), "delete mycursor SQLSetPos() 5");
    expect_nok(ask('I', {"cust", "4"}), "beyond the last");
    expect_nok(ask('I', {"mycursor", "0"}), "record 0");
    EXPECT_EQ(be.log.size(), 3u);
}

TEST_F(RecordRequests, UpdatePassesEachValueWithItsLength) {
    use();
    Reply r = ask('M', {"cust", "1", "2", "Smith", ""});
    EXPECT_EQ(r.args, (Args{"6", "0"}));
    EXPECT_EQ(be.log.back(), "update CUSTOMER R1 2 2 Smith/5 /0");
    ask('M', {"mycursor", "4", "1", "x"});
    EXPECT_EQ(be.log.back(), "update mycursor SQLSetPos() 4 1 x/1");
}

TEST_F(RecordRequests, UpdateRefusesBadValues) {
    use();
    std::string v256(256, 'v'), v257(257, 'v');
    EXPECT_EQ(ask('M', {"cust", "1", "1", v256}).type, 'Y');
    expect_nok(ask('M', {"cust", "1", "1", v257}), "value of 257");
    expect_nok(ask('M', {"cust", "1", "3", "a", "b"}), "count above the values");
    expect_nok(ask('M', {"cust", "1", "-1"}), "negative count");
    expect_nok(ask('M', {"cust", "9", "1", "a"}), "beyond the last");
    EXPECT_EQ(be.log.size(), 2u);
}

TEST_F(RecordRequests, LockAndIslockedAnswerWithTheBackendsResult) {
    use();
    be.lock_answer = 55;
    Reply r = ask('9', {"cust", "2"});
    EXPECT_EQ(r.type, 'Y');
    EXPECT_EQ(r.info, 55);
    EXPECT_TRUE(r.args.empty());
    EXPECT_EQ(be.log.back(), "lock CUSTOMER R2 2");
    ask('8', {"mycursor", "6"});
    EXPECT_EQ(be.log.back(), "islocked mycursor SQLSetPos() 6");
    expect_nok(ask('8', {"cust", "-3"}), "negative record");
}

// ---- INSERT --------------------------------------------------------------------

TEST_F(RecordRequests, InsertAppendsTheNewRowIdAsTheNextRecord) {
    use();
    Reply r = ask('K', {"cust", "2", "a", "b"});
    EXPECT_EQ(r.type, 'Y');
    EXPECT_EQ(r.args, (Args{"4"}));
    EXPECT_EQ(be.log.back(), "insert CUSTOMER  2 a b");
    EXPECT_EQ(ask('H', {"cust"}).args, (Args{"4"}));
    ask('L', {"cust", "4", "", ""});
    EXPECT_EQ(be.log.back(), "read CUSTOMER NEW1 4 0 0 1");
    be.found_rowid = "NEW1";
    EXPECT_EQ(ask('J', {"cust", "ID", "x", "", "CUSTOMER", "", "C"}).args, (Args{"4"}));
}

TEST_F(RecordRequests, InsertWithoutNewRowIdFails) {
    use();
    be.inserted_rowid = "";
    Reply r = ask('K', {"cust", "1", "a"});
    expect_nok(r, "INSERT");
    EXPECT_EQ(ask('H', {"cust"}).args, (Args{"3"}));
}

TEST_F(RecordRequests, InsertWithMarkerCountsFromTheLastOpen) {
    ask('E', {"mycursor"});  // 12 rows
    Reply r = ask('K', {"mycursor", "1", "z"});
    EXPECT_EQ(r.args, (Args{"13"}));
    EXPECT_EQ(be.log.back(), "insert mycursor SQLSetPos() 1 z");
}

TEST_F(RecordRequests, InsertRefusesACountAboveItsValues) {
    use();
    expect_nok(ask('K', {"cust", "2", "a"}), "count above the values");
    EXPECT_EQ(be.log.size(), 1u);
}

// ---- FIND ----------------------------------------------------------------------

TEST_F(RecordRequests, FindAnswersTheFirstRecordHoldingTheRowId) {
    be.rows = numbered_rows(5000);
    be.rows[4000] = "150";  // record 4001 repeats record 50's row id
    use();
    be.found_rowid = "150";
    Reply r = ask('J', {"cust", "name", "Smi", "LOCK", "CUSTOMER", "EXACT", "Cx"}, 3);
    EXPECT_EQ(r.type, 'Y');
    EXPECT_EQ(r.info, 3);
    EXPECT_EQ(r.args, (Args{"50"}));
    EXPECT_EQ(be.log.back(), "find CUSTOMER cust name [Smi] 1 C 1");
    be.found_rowid = "5100";
    EXPECT_EQ(ask('J', {"cust", "id", "5100", "", "CUSTOMER", "", "N"}).args, (Args{"5000"}));
}

TEST_F(RecordRequests, FindAnswersNokWhenTheRowIsNotAmongTheRecords) {
    use();
    be.found_rowid = "R9";
    Reply r = ask('J', {"cust", "k", "v", "", "CUSTOMER", "", "C"});
    expect_nok(r, "row id not among the records");
    EXPECT_EQ(r.args, (Args{"-1"}));
    be.found_rowid = "R1";
    be.find_status = -1;
    expect_nok(ask('J', {"cust", "k", "v", "", "CUSTOMER", "", "C"}), "backend found nothing");
}

TEST_F(RecordRequests, FindOnAliasWithoutCursorCallsNothing) {
    expect_nok(ask('J', {"nothing", "k", "v", "", "T", "", "C"}), "no cursor");
    use();
    expect_nok(ask('J', {"cust", "k", std::string(513, 'v'), "", "T", "", "C"}), "long value");
    EXPECT_EQ(be.log.size(), 1u);
}

// ---- ZAP -----------------------------------------------------------------------

TEST_F(RecordRequests, ZapClosesEmptiesAndReopensWithTheSameFlags) {
    ask('1', {"CUSTOMER", "cust", "", "*", "name", "READONLY"});
    be.rows = {"Q1"};
    Reply r = ask('5', {"cust", "CUSTOMER", "age > 3 "});
    EXPECT_EQ(r.type, 'Y');
    EXPECT_TRUE(r.args.empty());
    EXPECT_EQ(be.log, (Args{"use 7 CUSTOMER cust 0 [*] [name] 1", "unuse", "zap CUSTOMER [age > 3]",
                            "use 7 CUSTOMER cust 0 [age > 3] [name] 1"}));
    EXPECT_EQ(ask('H', {"cust"}).args, (Args{"1"}));
    ask('L', {"cust", "1", "", ""});
    EXPECT_EQ(be.log.back(), "read CUSTOMER Q1 2 0 0 0");
}

TEST_F(RecordRequests, FailedZapIsReportedAndTheTableStaysOpen) {
    use();
    be.zap_status = -1;
    expect_nok(ask('5', {"cust", "CUSTOMER", "*"}), "ZAP");
    EXPECT_EQ(ask('H', {"cust"}).args, (Args{"3"}));
}

TEST_F(RecordRequests, ZapOfUnknownAliasCallsNothing) {
    expect_nok(ask('5', {"cust", "CUSTOMER", "*"}), "ZAP");
    EXPECT_TRUE(be.log.empty());
}

TEST_F(RecordRequests, FailedReopenAfterZapLeavesNoCursor) {
    use();
    be.use_status = -1;
    expect_nok(ask('5', {"cust", "CUSTOMER", "*"}), "ZAP");
    expect_nok(ask('L', {"cust", "1", "", ""}), "READ");
}

// ---- names, spill, end of loop ------------------------------------------------

TEST_F(RecordRequests, NamesOver79CharactersAreRefused) {
    std::string a80(80, 'a');
    expect_nok(ask('1', {"T", a80, "", "*", "", ""}), "USE alias");
    expect_nok(ask('1', {a80, "a", "", "*", "", ""}), "USE table");
    expect_nok(ask('L', {a80, "1", "", ""}), "READ");
    expect_nok(ask('I', {a80, "1"}), "DELETE");
    expect_nok(ask('J', {"a", "k", "v", "", a80, "", "C"}), "FIND table");
    expect_nok(ask('H', {a80}), "COUNT");
    EXPECT_TRUE(be.log.empty());
    EXPECT_EQ(ask('1', {"T", std::string(79, 'a'), "", "*", "", ""}).type, 'Y');
}

TEST_F(RecordRequests, SpilledCursorServesEveryRecord) {
    scrollcursor_fail_blocks_after(0);
    be.rows = numbered_rows(3000);
    ASSERT_EQ(use().type, 'Y');
    for (int rec : {1, 2048, 2049, 3000}) {
        ask('L', {"cust", std::to_string(rec), "", ""});
        std::string id = std::to_string(100 + rec);
        EXPECT_EQ(be.log.back(), "read CUSTOMER " + id + " " + n((long)id.size()) + " 0 0 1");
    }
    be.found_rowid = "2600";
    EXPECT_EQ(ask('J', {"cust", "id", "2600", "", "CUSTOMER", "", "N"}).args, (Args{"2500"}));
    DIR *d = opendir(root_.c_str());
    int entries = 0;
    while (dirent *e = readdir(d))
        entries += e->d_name[0] != '.';
    closedir(d);
    EXPECT_EQ(entries, 0);  // the spill file is never visible in DB_ROOT
}

TEST_F(RecordRequests, EndOfLoopFreesEveryCursor) {
    use("a");
    use("b");
    ASSERT_EQ(conn_->send('B', 0), 0);
    EXPECT_TRUE(conn_->peer_closed(5000));
    end_loop();
    EXPECT_EQ(scrollcursor_count(), 0);
}
