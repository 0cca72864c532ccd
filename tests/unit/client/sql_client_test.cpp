// Typed SQL calls against a scripted gateway: what goes out, what comes back,
// and how malformed replies are refused.
#include "client/sql_client.h"

#include <gtest/gtest.h>

#include "fake_gateway.h"

using dqp::Failure;
using dqp::FieldDesc;
using dqp::Record;
using dqp::Row;
using dqp::SqlClient;
using fake::Gateway;
using fake::Harness;
using fake::packet;

namespace {

std::vector<std::string> data_rows(int first, int n) {
    std::vector<std::string> out;
    for (int i = first; i < first + n; i++)
        out.push_back(packet(dqp::PKT_TYPE_DATA, 0, {"   " + std::to_string(i), "row"}));
    return out;
}

}  // namespace

TEST(SqlClientConnect, SessionHandleIsSentWithLaterRequests) {
    Harness h([](Gateway &g) {
        dqp::Reply r;
        ASSERT_TRUE(g.next(&r));
        g.ok({"0", "0"}, 77);
        ASSERT_TRUE(g.next());
        g.ok({"0"});
    });
    SqlClient sql(h.client());
    ASSERT_EQ(sql.connect("vnxdemo", "ann", "pw"), 0) << sql.error();
    EXPECT_EQ(sql.handle(), 77);
    EXPECT_TRUE(sql.connected());
    ASSERT_EQ(sql.commit(), 0) << sql.error();
    auto reqs = h.join();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].type, dqp::PKT_TYPE_CONNECT);
    EXPECT_EQ(reqs[0].args, (std::vector<std::string>{"", "ann", "pw", "vnxdemo"}));
    EXPECT_EQ(reqs[1].type, dqp::PKT_TYPE_COMMIT);
    EXPECT_EQ(reqs[1].info, 77);
}

TEST(SqlClientConnect, RefusedConnectLeavesErrorHandleForMaperror) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.nok(-1, {"9", "0"});
        ASSERT_TRUE(g.next());
        g.ok({"[unixODBC] login failed\nsecond line"});
    });
    SqlClient sql(h.client());
    EXPECT_EQ(sql.connect("x", "u", "bad"), -1);
    EXPECT_EQ(sql.failure(), Failure::refused);
    EXPECT_EQ(sql.last_status(), -1);
    EXPECT_FALSE(sql.connected());
    std::string text;
    ASSERT_EQ(sql.maperror(&text), 0) << sql.error();
    EXPECT_EQ(text, "[unixODBC] login failed\nsecond line");
    auto reqs = h.join();
    EXPECT_EQ(reqs[1].type, dqp::PKT_TYPE_MAPERROR);
    EXPECT_EQ(reqs[1].info, 9);
}

TEST(SqlClientExecsql, NokKeepsStatusesAndConnectionInStep) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.nok(-1, {"-1", "7"});
        ASSERT_TRUE(g.next());
        g.ok({"no such table: nowhere"});
    });
    SqlClient sql(h.client());
    dqp::ExecResult r;
    EXPECT_EQ(sql.execsql("SELECT * FROM nowhere", &r), -1);
    EXPECT_EQ(sql.failure(), Failure::refused);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.status2, 7);
    EXPECT_TRUE(sql.usable());
    std::string text;
    EXPECT_EQ(sql.maperror(&text), 0);
    EXPECT_EQ(text, "no such table: nowhere");
}

TEST(SqlClientExecsql, BadCursorNameOrStatusIsProtocolFailure) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.ok({"0", "0", "A_NAME_OF_TWENTY_CH_"});
    });
    SqlClient sql(h.client());
    dqp::ExecResult r;
    EXPECT_EQ(sql.execsql("SELECT 1", &r), -1);
    EXPECT_EQ(sql.failure(), Failure::protocol);
    EXPECT_FALSE(sql.usable());
    // Nothing more is sent once the stream cannot be trusted.
    EXPECT_EQ(sql.execsql("SELECT 2", &r), -1);
    EXPECT_EQ(h.join().size(), 1u);
}

TEST(SqlClientFetchmany, StreamsRowsAcrossMetadataContainers) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.ok({"ID:10:N:0:", "NAME:3:C:0:"});
        for (int first = 1; first <= 2000; first += 128)
            g.meta(data_rows(first, std::min(128, 2001 - first)));
        g.reply(dqp::PKT_TYPE_EOF, 100);
    });
    SqlClient sql(h.client());
    std::vector<FieldDesc> header;
    int rows = 0;
    bool in_order = true;
    int rc = sql.fetchmany(
        "C1",
        [&](const std::vector<FieldDesc> &f) {
            header = f;
            return 0;
        },
        [&](Row &&r) {
            rows++;
            in_order = in_order && r.size() == 2 && r[0] == "   " + std::to_string(rows);
            return 0;
        });
    ASSERT_EQ(rc, 0) << sql.error();
    EXPECT_EQ(rows, 2000);
    EXPECT_TRUE(in_order);
    ASSERT_EQ(header.size(), 2u);
    EXPECT_EQ(header[0].name, "ID");
    EXPECT_EQ(header[0].width, 10);
    EXPECT_EQ(header[0].type, 'N');
    EXPECT_EQ(header[1].readonly, -1);
}

TEST(SqlClientFetchmany, EmptyResultWithoutHeader) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.reply(dqp::PKT_TYPE_EOF, 100);
    });
    SqlClient sql(h.client());
    std::vector<FieldDesc> fields{FieldDesc{}};
    std::vector<Row> rows{Row{}};
    ASSERT_EQ(sql.fetchmany("C1", &fields, &rows), 0) << sql.error();
    EXPECT_TRUE(fields.empty());
    EXPECT_TRUE(rows.empty());
}

TEST(SqlClientFetchmany, UnknownCursorIsRefused) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.nok(0, {"NOPE"});
        ASSERT_TRUE(g.next());
        g.ok({"0"});
    });
    SqlClient sql(h.client());
    std::vector<FieldDesc> f;
    std::vector<Row> rows;
    EXPECT_EQ(sql.fetchmany("nope", &f, &rows), -1);
    EXPECT_EQ(sql.failure(), Failure::refused);
    EXPECT_NE(sql.error().find("NOPE"), std::string::npos);
    EXPECT_EQ(sql.rollback(), 0) << sql.error();
}

TEST(SqlClientFetchmany, FailureAfterSomeRowsDeliversThemThenRefuses) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.meta(data_rows(1, 3));
        g.nok(0);
    });
    SqlClient sql(h.client());
    std::vector<FieldDesc> f;
    std::vector<Row> rows;
    EXPECT_EQ(sql.fetchmany("C1", &f, &rows), -1);
    EXPECT_EQ(sql.failure(), Failure::refused);
    EXPECT_EQ(rows.size(), 3u);
}

TEST(SqlClientFetchmany, RowNotMatchingHeaderFailsButStaysInStep) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.ok({"A:1:C:0:", "B:1:C:0:"});
        g.meta({packet(dqp::PKT_TYPE_DATA, 0, {"x"}), packet(dqp::PKT_TYPE_DATA, 0, {"y", "z"})});
        g.reply(dqp::PKT_TYPE_EOF, 100);
        ASSERT_TRUE(g.next());
        g.ok({"0"});
    });
    SqlClient sql(h.client());
    std::vector<FieldDesc> f;
    std::vector<Row> rows;
    EXPECT_EQ(sql.fetchmany("C1", &f, &rows), -1);
    EXPECT_NE(sql.error().find("1 values under 2 fields"), std::string::npos) << sql.error();
    EXPECT_TRUE(rows.empty());
    EXPECT_TRUE(sql.usable());
    EXPECT_EQ(sql.commit(), 0) << sql.error();
}

TEST(SqlClientFetchmany, CallerStopsEarlyAndTheRestIsDrained) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.meta(data_rows(1, 100));
        g.meta(data_rows(101, 100));
        g.reply(dqp::PKT_TYPE_EOF, 100);
        ASSERT_TRUE(g.next());
        g.ok({"0"});
    });
    SqlClient sql(h.client());
    int seen = 0;
    EXPECT_EQ(sql.fetchmany("C1", nullptr, [&](Row &&) { return ++seen == 3 ? 1 : 0; }), -1);
    EXPECT_EQ(seen, 3);
    EXPECT_EQ(sql.error(), "stopped by the caller");
    EXPECT_EQ(sql.commit(), 0) << sql.error();
}

TEST(SqlClientFetchmany, MalformedContainerBreaksTheConnection) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.meta({packet(dqp::PKT_TYPE_DATA, 0, {"x"}), "00000000T0000zzzz0001"});
    });
    SqlClient sql(h.client());
    std::vector<FieldDesc> f;
    std::vector<Row> rows;
    EXPECT_EQ(sql.fetchmany("C1", &f, &rows), -1);
    EXPECT_EQ(sql.failure(), Failure::protocol);
    EXPECT_FALSE(sql.usable());
}

TEST(SqlClientFetchmany, NestedContainerOrStrayPacketBreaksTheConnection) {
    for (int variant = 0; variant < 3; variant++) {
        Harness h([variant](Gateway &g) {
            ASSERT_TRUE(g.next());
            if (variant == 0) g.meta({packet(dqp::PKT_TYPE_METADATA, 0, {})});
            if (variant == 1) g.reply(dqp::PKT_TYPE_START, 0);
            if (variant == 2) {
                g.ok({"A:1:C:0:"});
                g.ok({"A:1:C:0:"});
            }
        });
        SqlClient sql(h.client());
        std::vector<FieldDesc> f;
        std::vector<Row> rows;
        EXPECT_EQ(sql.fetchmany("C1", &f, &rows), -1) << variant;
        EXPECT_EQ(sql.failure(), Failure::protocol) << variant;
    }
}

TEST(SqlClientFetch, SelfDescribingRowAndEnd) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.reply(dqp::PKT_TYPE_DATA, 0, {"NAME:10:C:0:SMITH", "AT:8:C:0:12:30:00", "N:4:N:2:"});
        ASSERT_TRUE(g.next());
        g.reply(dqp::PKT_TYPE_EOF, 100);
    });
    SqlClient sql(h.client());
    Record rec;
    bool end = true;
    ASSERT_EQ(sql.fetch("c1", &rec, &end), 0) << sql.error();
    EXPECT_FALSE(end);
    ASSERT_EQ(rec.fields.size(), 3u);
    EXPECT_EQ(rec.fields[1].name, "AT");
    EXPECT_EQ(rec.values, (Row{"SMITH", "12:30:00", ""}));
    EXPECT_EQ(rec.fields[2].decimals, 2);
    ASSERT_EQ(sql.fetch("c1", &rec, &end), 0) << sql.error();
    EXPECT_TRUE(end);
    EXPECT_TRUE(rec.values.empty());
}

TEST(SqlClientFetch, ValueWithoutDescriptionIsProtocolFailure) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.reply(dqp::PKT_TYPE_DATA, 0, {"SMITH"});
    });
    SqlClient sql(h.client());
    Record rec;
    bool end = false;
    EXPECT_EQ(sql.fetch("c1", &rec, &end), -1);
    EXPECT_EQ(sql.failure(), Failure::protocol);
}

TEST(SqlClientFetch, ExtendedFetchSendsKeywordAndOffset) {
    Harness h([](Gateway &g) {
        for (int i = 0; i < 2; i++) {
            ASSERT_TRUE(g.next());
            g.reply(dqp::PKT_TYPE_DATA, 0, {"A:1:C:0:x"});
        }
    });
    SqlClient sql(h.client());
    Record rec;
    bool end = false;
    ASSERT_EQ(sql.extended_fetch("C1", dqp::Scroll::prior, 0, &rec, &end), 0) << sql.error();
    ASSERT_EQ(sql.extended_fetch("C1", dqp::Scroll::absolute, -5, &rec, &end), 0) << sql.error();
    auto reqs = h.join();
    EXPECT_EQ(reqs[0].args, (std::vector<std::string>{"C1", "PREVIOUS", "0"}));
    EXPECT_EQ(reqs[1].args, (std::vector<std::string>{"C1", "ABSOLUTE", "-5"}));
}

TEST(SqlClientCursor, OpenWithMissingOrBadRowCountIsProtocolFailure) {
    for (auto args : {std::vector<std::string>{"0"}, std::vector<std::string>{"0", "12x"}}) {
        Harness h([args](Gateway &g) {
            ASSERT_TRUE(g.next());
            if (args.size() == 1)
                g.ok({args[0]});
            else
                g.ok({args[0], args[1]});
        });
        SqlClient sql(h.client());
        int32_t rows = 0;
        EXPECT_EQ(sql.open("c1", &rows), -1);
        EXPECT_EQ(sql.failure(), Failure::protocol);
    }
}

// (A text longer than one packet is sent in pieces: long_request_test.cpp.)
TEST(SqlClientCursor, OverlongNamesAndNulBytesAreNotSent) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.ok({"0", "0"});
    });
    SqlClient sql(h.client());
    EXPECT_EQ(sql.declare("ABCDEFGHIJKLMNOPQRST", "SELECT 1"), -1);
    EXPECT_TRUE(sql.usable());
    EXPECT_EQ(sql.declare("C1", std::string("SELECT 1\0 DROP", 15)), -1);
    EXPECT_TRUE(sql.usable());
    EXPECT_EQ(sql.declare("ABCDEFGHIJKLMNOPQRS", "SELECT 1"), 0) << sql.error();
    auto reqs = h.join();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].args[0], "ABCDEFGHIJKLMNOPQRS");
}

TEST(SqlClientLists, FieldlistAndTablelist) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.ok({"ID:10:N:0:0:", "ROWID:10:N:0:1:", "A:B:5:C:0:0:"});
        ASSERT_TRUE(g.next());
        g.ok({"TABLE_QUALIFIER:128:C:0:", "TABLE_OWNER:128:C:0:", "TABLE_NAME:128:C:0:",
              "TABLE_TYPE:128:C:0:", "REMARKS:254:C:0:"});
        g.meta({packet(dqp::PKT_TYPE_DATA, 0, {"", "", "customer", "TABLE", ""})});
        g.reply(dqp::PKT_TYPE_EOF, 100);
    });
    SqlClient sql(h.client());
    std::vector<FieldDesc> f;
    ASSERT_EQ(sql.fieldlist("c1", &f), 0) << sql.error();
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0].readonly, 0);
    EXPECT_EQ(f[1].readonly, 1);
    EXPECT_EQ(f[2].name, "A:B");
    std::vector<dqp::TableInfo> tables;
    ASSERT_EQ(sql.tablelist("TL", &tables), 0) << sql.error();
    ASSERT_EQ(tables.size(), 1u);
    EXPECT_EQ(tables[0].name, "customer");
    EXPECT_EQ(tables[0].type, "TABLE");
}

TEST(SqlClientReplies, WrongTypeMissingArgumentsAndGarbageFrames) {
    struct Case {
        const char *name;
        std::function<void(Gateway &)> answer;
    };
    std::vector<Case> cases = {
        {"DATA to COMMIT", [](Gateway &g) { g.reply(dqp::PKT_TYPE_DATA, 0, {"1"}); }},
        {"no status", [](Gateway &g) { g.ok(); }},
        {"bad hex", [](Gateway &g) { g.raw("0000000CY0000000z000"); }},
        {"huge frame", [](Gateway &g) { g.raw("FFFFFFFFY"); }},
        {"closed", [](Gateway &) {}},
    };
    for (const Case &c : cases) {
        Harness h([&c](Gateway &g) {
            ASSERT_TRUE(g.next());
            c.answer(g);
        });
        SqlClient sql(h.client());
        EXPECT_EQ(sql.commit(), -1) << c.name;
        EXPECT_EQ(sql.failure(), Failure::protocol) << c.name;
        EXPECT_FALSE(sql.usable()) << c.name;
    }
}

TEST(SqlClientQuery, QueryGoesAsOnePipelineUnderTheSessionsCursorName) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.ok({"0", "0"}, 0x1A);
        // All four requests arrive before any answer: a client waiting for
        // the EXECSQL answer first would leave this script waiting here.
        for (int i = 0; i < 4; i++)
            ASSERT_TRUE(g.next());
        g.ok({"0", "0", "DQP_SLT_0000001A"});
        g.ok({""});
        g.ok({"I:10:N:0:1:", "V:20:C:0:0:"});
        g.ok({"I:10:N:0:", "V:20:C:0:"});
        g.meta(data_rows(1, 3));
        g.reply(dqp::PKT_TYPE_EOF, 100);
        ASSERT_TRUE(g.next());  // the connection is in step afterwards
        g.ok({"0"});
    });
    SqlClient sql(h.client());
    ASSERT_EQ(sql.connect("d", "u", "p"), 0);
    dqp::ExecResult res;
    std::vector<FieldDesc> fields, header;
    std::vector<Row> rows;
    ASSERT_EQ(sql.query(
                  " (select i, v from t)", &res,
                  [&](const std::vector<FieldDesc> &f) { return fields = f, 0; },
                  [&](const std::vector<FieldDesc> &f) { return header = f, 0; },
                  [&](Row &&r) { return rows.push_back(std::move(r)), 0; }),
              0)
        << sql.error();
    EXPECT_EQ(res.cursor, "DQP_SLT_0000001A");
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].readonly, 1);
    EXPECT_EQ(header.size(), 2u);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2], (Row{"   3", "row"}));
    ASSERT_EQ(sql.commit(), 0) << sql.error();
    auto reqs = h.join();
    ASSERT_EQ(reqs.size(), 6u);
    EXPECT_EQ(reqs[1].type, dqp::PKT_TYPE_EXECSQL);
    EXPECT_EQ(reqs[2].type, dqp::PKT_TYPE_MAPERROR);
    EXPECT_EQ(reqs[3].type, dqp::PKT_TYPE_FIELDLIST);
    EXPECT_EQ(reqs[4].type, dqp::PKT_TYPE_FETCHMANY);
    EXPECT_EQ(reqs[4].args, (std::vector<std::string>{"DQP_SLT_0000001A"}));
    EXPECT_EQ(reqs[4].info, 0x1A);
}

TEST(SqlClientQuery, FailedQueryKeepsItsDiagnosticAndStaysInStep) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.ok({"0", "0"}, 1);
        for (int i = 0; i < 3; i++)
            ASSERT_TRUE(g.next());
        g.nok(-1, {"-1", "0"});
        g.ok({"no such table: t"});
        g.nok(0, {"DQP_SLT_00000001"});  // the FETCHMANY found no cursor
        ASSERT_TRUE(g.next());
        g.ok({"0"});
    });
    SqlClient sql(h.client());
    ASSERT_EQ(sql.connect("d", "u", "p"), 0);
    dqp::ExecResult res;
    EXPECT_EQ(sql.query("SELECT * FROM t", &res, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(sql.failure(), Failure::refused);
    EXPECT_EQ(sql.last_status(), -1);
    EXPECT_EQ(res.status, -1);
    std::string text;
    ASSERT_EQ(sql.maperror(&text), 0);  // answered from the pipeline: no request
    EXPECT_EQ(text, "no such table: t");
    ASSERT_EQ(sql.commit(), 0) << sql.error();
    auto reqs = h.join();
    ASSERT_EQ(reqs.size(), 5u);
    EXPECT_EQ(reqs[3].type, dqp::PKT_TYPE_FETCHMANY);
    EXPECT_EQ(reqs[4].type, dqp::PKT_TYPE_COMMIT);
}

TEST(SqlClientQuery, OtherStatementsAndUnreadQueryCursorsGoOneRequestAtATime) {
    Harness h([](Gateway &g) {
        ASSERT_TRUE(g.next());
        g.ok({"0", "0"}, 1);
        ASSERT_TRUE(g.next());  // UPDATE
        g.ok({"0", "0"});
        ASSERT_TRUE(g.next());  // execsql SELECT 1: its cursor is left unread
        g.ok({"0", "0", "DQP_SLT_00000001"});
        ASSERT_TRUE(g.next());  // DECLARE under that name
        g.ok({"0", "0"});
        ASSERT_TRUE(g.next());  // FETCHMANY: an empty result
        g.reply(dqp::PKT_TYPE_EOF, 100);
        ASSERT_TRUE(g.next());  // query SELECT 2: EXECSQL alone first
        g.ok({"0", "0", "DQP_SLT_00000001"});
        ASSERT_TRUE(g.next());
        g.ok({"X:10:C:0:"});
        g.meta({packet(dqp::PKT_TYPE_DATA, 0, {"1"})});
        g.reply(dqp::PKT_TYPE_EOF, 100);
    });
    SqlClient sql(h.client());
    ASSERT_EQ(sql.connect("d", "u", "p"), 0);
    dqp::ExecResult res;
    ASSERT_EQ(sql.query("UPDATE t SET a = 1", &res, nullptr, nullptr, nullptr), 0);
    EXPECT_FALSE(res.has_cursor);
    ASSERT_EQ(sql.execsql("SELECT 1", &res), 0);
    ASSERT_EQ(sql.declare("dqp_slt_00000001", "SELECT 3"), 0);  // the same name, declared
    std::vector<FieldDesc> none;
    std::vector<Row> no_rows;
    ASSERT_EQ(sql.fetchmany("DQP_SLT_00000001", &none, &no_rows), 0);  // releases one of them
    int rows = 0;
    ASSERT_EQ(sql.query("SELECT 2", &res, nullptr, nullptr, [&](Row &&) { return ++rows, 0; }), 0)
        << sql.error();
    EXPECT_EQ(rows, 1);
    auto reqs = h.join();
    std::string types;
    for (const dqp::Reply &r : reqs)
        types += static_cast<char>(r.type);
    EXPECT_EQ(types, "CGGUQGQ");  // no MAPERROR: nothing was pipelined
}
