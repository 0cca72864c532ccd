// Typed record calls against a scripted gateway.
#include "client/record_client.h"

#include <gtest/gtest.h>

#include "fake_gateway.h"

using dqp::Failure;
using dqp::RecordClient;
using dqp::SqlClient;
using fake::Gateway;
using fake::Harness;
using Args = std::vector<std::string>;

TEST(RecordClient, UseSendsItsFlagsAndAnswersTheRecordCount) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.ok({"0", "3"});
        ASSERT_TRUE(g.next());
        g.ok({"0", "0"});
    });
    SqlClient sql(h.client());
    RecordClient rec(sql);
    int32_t n = 0;
    dqp::UseOptions opt;
    opt.shared = true;
    opt.filter = "city = 'Osaka'";
    ASSERT_EQ(rec.use("customer", "cu", opt, &n), 0) << sql.error();
    EXPECT_EQ(n, 3);
    opt = dqp::UseOptions{};
    opt.readonly = true;
    opt.order = "name";
    ASSERT_EQ(rec.use("customer", "c2", opt, &n), 0) << sql.error();
    auto reqs = h.join();
    EXPECT_EQ(reqs[0].type, dqp::PKT_TYPE_USE);
    EXPECT_EQ(reqs[0].args, (Args{"customer", "cu", "SHARED", "city = 'Osaka'", "", ""}));
    // No filter travels as "*", the gateway's word for every row.
    EXPECT_EQ(reqs[1].args, (Args{"customer", "c2", "", "*", "name", "READONLY"}));
}

TEST(RecordClient, ReadGivesTheRecordAsDescribedValues) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.reply(dqp::PKT_TYPE_DATA, 0, {"ID:10:N:0:         2", "NAME:30:C:0:Lucia"});
        ASSERT_TRUE(g.next());
        g.nok(-1);
    });
    SqlClient sql(h.client());
    RecordClient rec(sql);
    dqp::Record r;
    bool end = true;
    ASSERT_EQ(rec.read("cu", 2, true, &r, &end), 0) << sql.error();
    EXPECT_FALSE(end);
    EXPECT_EQ(r.values, (dqp::Row{"         2", "Lucia"}));
    EXPECT_EQ(rec.read("cu", 99, false, &r, &end), -1);
    EXPECT_EQ(sql.failure(), Failure::refused);
    auto reqs = h.join();
    EXPECT_EQ(reqs[0].args, (Args{"cu", "2", "LOCK", ""}));
    EXPECT_EQ(reqs[1].args, (Args{"cu", "99", "", ""}));
}

TEST(RecordClient, WritesSendCountsAndValuesInOrder) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.ok({"0", "0"});
        ASSERT_TRUE(g.next());
        g.ok({"4"});
        ASSERT_TRUE(g.next());
        g.ok({"0", "0"});
    });
    SqlClient sql(h.client());
    RecordClient rec(sql);
    ASSERT_EQ(rec.update("cu", 2, {"2", "O'Neil"}), 0) << sql.error();
    int32_t recno = 0;
    ASSERT_EQ(rec.insert("cu", {"4", "Ann", ""}, &recno), 0) << sql.error();
    EXPECT_EQ(recno, 4);
    ASSERT_EQ(rec.remove("cu", 4), 0) << sql.error();
    auto reqs = h.join();
    EXPECT_EQ(reqs[0].args, (Args{"cu", "2", "2", "2", "O'Neil"}));
    EXPECT_EQ(reqs[1].args, (Args{"cu", "3", "4", "Ann", ""}));
    EXPECT_EQ(reqs[2].type, dqp::PKT_TYPE_DELETE);
    EXPECT_EQ(reqs[2].args, (Args{"cu", "4"}));
}

TEST(RecordClient, FindSendsAllSevenArguments) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.ok({"3"});
        ASSERT_TRUE(g.next());
        g.nok(-1);
    });
    SqlClient sql(h.client());
    RecordClient rec(sql);
    int32_t recno = 0;
    dqp::FindOptions opt;
    opt.exact = true;
    opt.type = 'N';
    ASSERT_EQ(rec.find("cu", "customer", "ID", "3", opt, &recno), 0) << sql.error();
    EXPECT_EQ(recno, 3);
    EXPECT_EQ(rec.find("cu", "customer", "NAME", "Zed", dqp::FindOptions{}, &recno), -1);
    EXPECT_EQ(sql.failure(), Failure::refused);
    auto reqs = h.join();
    EXPECT_EQ(reqs[0].args, (Args{"cu", "ID", "3", "", "customer", "EXACT", "N"}));
    EXPECT_EQ(reqs[1].args, (Args{"cu", "NAME", "Zed", "", "customer", "", "C"}));
}

TEST(RecordClient, CountAndLocksReadTheirAnswers) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.ok({"17"});
        ASSERT_TRUE(g.next());
        g.ok({}, 1);  // OK: free; the info is the request's own, no answer
        ASSERT_TRUE(g.next());
        g.ok({}, 0);
        ASSERT_TRUE(g.next());
        g.nok(-1);  // held by another session
        ASSERT_TRUE(g.next());
        g.ok({"seventeen"});
    });
    SqlClient sql(h.client());
    RecordClient rec(sql);
    int32_t n = 0, locked = -1;
    ASSERT_EQ(rec.count("cu", &n), 0) << sql.error();
    EXPECT_EQ(n, 17);
    ASSERT_EQ(rec.islocked("cu", 2, &locked), 0) << sql.error();
    EXPECT_EQ(locked, 0);
    locked = -1;
    ASSERT_EQ(rec.unlock("cu", &locked), 0) << sql.error();
    EXPECT_EQ(locked, 0);
    EXPECT_EQ(rec.islocked("cu", 2, &locked), -1);
    EXPECT_EQ(sql.failure(), Failure::refused);
    EXPECT_EQ(rec.count("cu", &n), -1);
    EXPECT_EQ(sql.failure(), Failure::protocol);
    auto reqs = h.join();
    EXPECT_EQ(reqs[1].type, dqp::PKT_TYPE_ISLOCKED);
    EXPECT_EQ(reqs[2].type, dqp::PKT_TYPE_UNLOCK);
    EXPECT_EQ(reqs[2].args, (Args{"cu"}));
}

TEST(RecordClient, MemoJoinsItsPieces) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.reply(dqp::PKT_TYPE_DATA, 0, {std::string(16384 - 40, 'a')});
        g.reply(dqp::PKT_TYPE_EOF, 0, {"tail"});
        ASSERT_TRUE(g.next());
        g.reply(dqp::PKT_TYPE_EOF, 0);
        ASSERT_TRUE(g.next());
        g.nok(-1);
    });
    SqlClient sql(h.client());
    RecordClient rec(sql);
    std::string text;
    ASSERT_EQ(rec.memo("C1", 2, &text), 0) << sql.error();
    EXPECT_EQ(text, std::string(16384 - 40, 'a') + "tail");
    ASSERT_EQ(rec.memo("C1", 3, &text), 0) << sql.error();
    EXPECT_EQ(text, "");
    EXPECT_EQ(rec.memo("NOPE", 0, &text), -1);
    EXPECT_EQ(sql.failure(), Failure::refused);
    auto reqs = h.join();
    EXPECT_EQ(reqs[0].args, (Args{"C1", "2", "READ"}));
}

TEST(RecordClient, OverlongNamesAreRefusedBeforeSending) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.ok({});
    });
    SqlClient sql(h.client());
    RecordClient rec(sql);
    EXPECT_EQ(rec.unuse(std::string(80, 'a')), -1);
    EXPECT_EQ(rec.unuse(""), -1);
    EXPECT_EQ(rec.unuse(std::string(79, 'a')), 0) << sql.error();
    EXPECT_EQ(h.join().size(), 1u);
}
