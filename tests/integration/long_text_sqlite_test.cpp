// Long character values (SQLite TEXT, described as SQL_LONGVARCHAR) through a
// real gateway: a client that does not ask at CONNECT sees the placeholder
// exactly as before; one that asks gets the text in FETCH, EXTENDED_FETCH
// and FETCHMANY rows alike, cut with the marker beyond the limit, while MEMO
// still reads the whole value.
#include <gtest/gtest.h>

#include <cstdio>

#include "client/sql_client.h"
#include "odbc_harness.h"
#include "protocol/long_text.h"
#include "protocol/packet.h"

using namespace vnxtest;
using Rows = std::vector<std::vector<std::string>>;

namespace {

// 5000 bytes of two-byte and one-byte characters.
std::string text_5000() {
    std::string s;
    while (s.size() < 5000)
        s += "gr\xC3\xBC\xC3\x9F"
             "e-";
    return s;
}

// 10000 times "ü": 20000 bytes, every other one a continuation byte.
std::string text_20000() {
    std::string s;
    for (int i = 0; i < 10000; i++)
        s += "\xC3\xBC";
    return s;
}

bool ends_with(const std::string &s, std::string_view tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class LongText : public OdbcGateway {
  protected:
    void SetUp() override {
        OdbcGateway::SetUp();
        add_sqlite_dsn();
        auto c = start_gateway();
        ASSERT_NE(c, nullptr);
        int32_t h = connect_dsn(*c, "vnxtest");
        ASSERT_GT(h, 0);
        exec_ok(*c, h, "CREATE TABLE lt (id INTEGER PRIMARY KEY, body TEXT)");
        exec_ok(*c, h, "INSERT INTO lt VALUES (1, '" + text_5000() + "')");
        exec_ok(*c, h, "INSERT INTO lt VALUES (2, NULL)");
        exec_ok(*c, h, "INSERT INTO lt VALUES (3, '')");
        exec_ok(*c, h,
                "INSERT INTO lt VALUES (4, replace(hex(zeroblob(10000)), '00', '\xC3\xBC'))");
        EXPECT_EQ(ask(*c, 'X', h).type, 'Y');
        ask(*c, 'D', h);
    }
    // A new gateway session whose CONNECT carries `options` as argument 0.
    int32_t session(std::unique_ptr<dqp::Connection> *c, const std::string &options) {
        *c = start_gateway();
        if (*c == nullptr) return 0;
        dqp::Reply r = ask(**c, 'C', 0, {options, "", "", "vnxtest"});
        EXPECT_EQ(r.type, 'Y');
        return r.type == 'Y' ? r.info : 0;
    }
    // Every row of the query read one FETCH at a time, values only (each
    // checked to carry its description first).
    Rows fetch_one_by_one(dqp::Connection &c, int32_t h, const std::string &sql,
                          std::vector<std::string> *descriptions) {
        std::string cursor = exec_ok(c, h, sql);
        Rows rows;
        for (;;) {
            dqp::Reply r = ask(c, 'P', h, {cursor});
            if (r.type != 'T') {
                EXPECT_EQ(r.type, 'R');
                break;
            }
            rows.push_back(split_described(r.args, descriptions));
        }
        return rows;
    }
    std::vector<std::string> split_described(const std::vector<std::string> &args,
                                             std::vector<std::string> *descriptions) {
        std::vector<std::string> values;
        descriptions->clear();
        for (const std::string &a : args) {
            dqp::FieldDesc d;
            std::string v;
            EXPECT_EQ(dqp::parse_described_value(a, &d, &v), 0) << a.substr(0, 40);
            descriptions->push_back(a.substr(0, a.size() - v.size()));
            values.push_back(v);
        }
        return values;
    }
    // MEMO of one column of a cursor's current row, reassembled.
    std::string memo(dqp::Connection &c, int32_t h, const std::string &cursor, int column) {
        EXPECT_EQ(c.send('o', h, {cursor, std::to_string(column), "READ"}), 0);
        std::string text;
        for (;;) {
            dqp::Reply r;
            EXPECT_EQ(c.receive(&r), 0) << c.error();
            if (r.type != 'T' && r.type != 'R') {
                ADD_FAILURE() << "MEMO answered " << static_cast<char>(r.type);
                return text;
            }
            if (!r.args.empty()) text += r.args[0];
            if (r.type == 'R') return text;
        }
    }
};

}  // namespace

TEST_F(LongText, ClientsThatDoNotAskSeeThePlaceholderAsBefore) {
    // Older clients send "" (the client library) or a server name here.
    for (const char *options : {"", "odb", "longtext"}) {
        std::unique_ptr<dqp::Connection> c;
        int32_t h = session(&c, options);
        ASSERT_GT(h, 0) << options;
        std::vector<std::string> header;
        EXPECT_EQ(query(*c, h, "SELECT id, body FROM lt ORDER BY id", &header),
                  (Rows{{"         1", "Bitmap image"},
                        {"         2", ""},
                        {"         3", "Bitmap image"},
                        {"         4", "Bitmap image"}}))
            << options;
        EXPECT_EQ(header, (std::vector<std::string>{"id:10:N:0:", "body:4:M:0:"}));
        std::string cursor = exec_ok(*c, h, "SELECT id, body FROM lt WHERE id = 1");
        dqp::Reply row = ask(*c, 'P', h, {cursor});
        EXPECT_EQ(row.type, 'T');
        EXPECT_EQ(row.args,
                  (std::vector<std::string>{"id:10:N:0:         1", "body:4:M:0:Bitmap image"}));
        dqp::Reply fields = ask(*c, '6', h, {cursor});
        EXPECT_EQ(fields.args, (std::vector<std::string>{"id:10:N:0:0:", "body:4:M:0:0:"}));
    }
}

TEST_F(LongText, AskingChangesNothingForResultsWithoutLongColumns) {
    std::unique_ptr<dqp::Connection> old_client, new_client;
    int32_t h_old = session(&old_client, "odb");
    int32_t h_new = session(&new_client, std::string(dqp::kLongTextOption));
    ASSERT_GT(h_old, 0);
    ASSERT_GT(h_new, 0);
    const std::string sql = "SELECT id, length(body), substr(body, 1, 7) FROM lt ORDER BY id";
    std::vector<std::string> header_old, header_new;
    Rows rows_old = query(*old_client, h_old, sql, &header_old);
    EXPECT_EQ(rows_old.size(), 4u);
    EXPECT_EQ(query(*new_client, h_new, sql, &header_new), rows_old);
    EXPECT_EQ(header_new, header_old);
}

TEST_F(LongText, AskingSendsTheTextAlikeInEveryFetchPath) {
    std::unique_ptr<dqp::Connection> c;
    // Among other words, as a client may send its server name as well.
    int32_t h = session(&c, "odb LONGTEXT");
    ASSERT_GT(h, 0);
    const std::string sql = "SELECT id, body FROM lt WHERE id < 4 ORDER BY id";
    const Rows expected{{"         1", text_5000()}, {"         2", ""}, {"         3", ""}};

    std::vector<std::string> header;
    EXPECT_EQ(query(*c, h, sql, &header), expected);  // EXECSQL + FETCHMANY
    EXPECT_EQ(header, (std::vector<std::string>{"id:10:N:0:", "body:8000:T:0:"}));

    // EXECSQL with parameters makes its cursor the same way.
    dqp::Reply with_params =
        ask(*c, 'G', h, {"SELECT id, body FROM lt WHERE id < ? ORDER BY id", "PARAMS:0", "4"});
    ASSERT_EQ(with_params.type, 'Y');
    ASSERT_GE(with_params.args.size(), 3u);
    header.clear();
    EXPECT_EQ(fetch_all(*c, h, with_params.args[2], &header), expected);
    EXPECT_EQ(header, (std::vector<std::string>{"id:10:N:0:", "body:8000:T:0:"}));

    std::vector<std::string> descriptions;
    EXPECT_EQ(fetch_one_by_one(*c, h, sql, &descriptions), expected);  // EXECSQL + FETCH
    EXPECT_EQ(descriptions, (std::vector<std::string>{"id:10:N:0:", "body:8000:T:0:"}));

    ASSERT_EQ(ask(*c, 'U', h, {"lc", sql, ""}).type, 'Y');  // DECLARE, OPEN, EXTENDED_FETCH
    ASSERT_EQ(ask(*c, 'E', h, {"lc"}).type, 'Y');
    Rows scrolled;
    for (int i = 0; i < 3; i++) {
        dqp::Reply r = ask(*c, 'm', h, {"lc", "NEXT", "0"});
        ASSERT_EQ(r.type, 'T');
        scrolled.push_back(split_described(r.args, &descriptions));
    }
    EXPECT_EQ(scrolled, expected);
    EXPECT_EQ(ask(*c, '6', h, {"lc"}).args,
              (std::vector<std::string>{"id:10:N:0:0:", "body:8000:T:0:0:"}));
}

TEST_F(LongText, ValueOverTheLimitIsCutAtACharacterWithTheMarker) {
    std::unique_ptr<dqp::Connection> c;
    int32_t h = session(&c, "LONGTEXT");
    ASSERT_GT(h, 0);
    const std::string full = text_20000();
    Rows many = query(*c, h, "SELECT body FROM lt WHERE id = 4");
    ASSERT_EQ(many.size(), 1u);
    const std::string &v = many[0][0];
    EXPECT_LE(v.size(), dqp::kLongTextMax);
    ASSERT_TRUE(ends_with(v, dqp::kLongTextCut)) << v.substr(v.size() - 10);
    std::string prefix = v.substr(0, v.size() - dqp::kLongTextCut.size());
    EXPECT_EQ(prefix.size() % 2, 0u) << "a character was split";
    EXPECT_GT(prefix.size(), dqp::kLongTextMax - 16);
    EXPECT_EQ(prefix, full.substr(0, prefix.size()));

    // FETCH gives the same text, and MEMO then reads the whole value.
    ASSERT_EQ(ask(*c, 'U', h, {"mc", "SELECT id, body FROM lt WHERE id = 4", ""}).type, 'Y');
    ASSERT_EQ(ask(*c, 'E', h, {"mc"}).type, 'Y');
    dqp::Reply r = ask(*c, 'P', h, {"mc"});
    ASSERT_EQ(r.type, 'T');
    std::vector<std::string> descriptions;
    EXPECT_EQ(split_described(r.args, &descriptions)[1], v);
    EXPECT_EQ(memo(*c, h, "mc", 1), full);
}

TEST_F(LongText, SeveralLongValuesShareOneReplyPacket) {
    std::unique_ptr<dqp::Connection> c;
    int32_t h = session(&c, "LONGTEXT");
    ASSERT_GT(h, 0);
    const std::string full = text_20000();
    const std::string sql = "SELECT body, body, body, id FROM lt WHERE id = 4";
    auto check = [&](const std::vector<std::string> &values, size_t described) {
        ASSERT_EQ(values.size(), 4u);
        size_t packet = dqp::PKT_HEADER_SIZE + described;
        for (const std::string &v : values)
            packet += 8 + v.size();
        EXPECT_LE(packet, static_cast<size_t>(dqp::PKT_MAX_SIZE));
        for (int i = 0; i < 3; i++) {
            const std::string &v = values[static_cast<size_t>(i)];
            ASSERT_TRUE(ends_with(v, dqp::kLongTextCut));
            std::string prefix = v.substr(0, v.size() - dqp::kLongTextCut.size());
            EXPECT_EQ(prefix, full.substr(0, prefix.size()));
            EXPECT_GT(prefix.size(), 4000u);  // the room is shared, not given up
        }
        EXPECT_EQ(values[3], "         4");
    };
    Rows many = query(*c, h, sql);
    ASSERT_EQ(many.size(), 1u);
    check(many[0], 0);
    std::vector<std::string> descriptions;
    Rows one = fetch_one_by_one(*c, h, sql, &descriptions);
    ASSERT_EQ(one.size(), 1u);
    size_t described = 0;
    for (const std::string &d : descriptions)
        described += d.size();
    check(one[0], described);
}

TEST_F(LongText, DqpshPrintsTheText) {
    int port = free_port();
    pid_t pid = vnx::spawn_server(gateway_program() + " " + std::to_string(port), port);
    ASSERT_GT(pid, 0);
    own(pid);
    ASSERT_EQ(vnx::wait_for_child(port, pid), 0);
    std::string cmd = "VNXPASSWORD= " VNX_DQPSH_PATH " --gateway-port " + std::to_string(port) +
                      " -d vnxtest --csv -c 'SELECT id, body FROM lt WHERE id < 4 ORDER BY id'" +
                      " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << out;
    EXPECT_EQ(out, "id,body\n1," + text_5000() + "\n2,\n3,\n");
}
