// Requests longer than one packet: how the client cuts them into pieces, and
// that a gateway too old to join pieces never gets a long request.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "client/sql_client.h"
#include "fake_gateway.h"
#include "protocol/pieces.h"

namespace {

using fake::Gateway;
using fake::Harness;

// Answers the probe (a PIECE, then a request type no gateway serves) as a
// gateway that joins pieces does, with one NOK -1 (`joins`), or as an older
// one, with NOK 0 for each packet; then answers every request OK.
fake::Script gateway(bool joins) {
    return [joins](Gateway &g) {
        dqp::Reply r;
        while (g.next(&r)) {
            if (r.type == dqp::PKT_TYPE_PIECE && r.args.size() == 2 && r.args[0] == "1") {
                if (!joins) g.nok(0);  // the probe's piece
            } else if (r.type == dqp::PKT_TYPE_NOK) {
                g.nok(joins ? -1 : 0);
            } else if (r.type == dqp::PKT_TYPE_EXECSQL && r.args.size() > 1) {
                g.ok({"0", "0", "", "-1"});  // the parameter form's answer
            } else if (r.type != dqp::PKT_TYPE_PIECE) {
                g.ok({"0", "0"});
            }
        }
    };
}

TEST(LongRequest, LongestArgumentsGoInPiecesTheRestStays) {
    Harness h(gateway(true));
    dqp::SqlClient sql(h.client());
    std::string stmt(20000, 's'), small(100, 'v'), big;
    while (big.size() < 70000)
        big += "é€x";  // characters of 2, 3 and 1 bytes
    dqp::ParamValue values[] = {{small}, {big}};
    dqp::ExecResult res;
    ASSERT_EQ(sql.execsql(stmt, values, &res), 0) << sql.error();
    size_t pieces_sent = h.client().pieces_sent();
    h.client().close();
    const std::vector<dqp::Reply> &seen = h.join();
    ASSERT_GE(seen.size(), 3u);
    std::map<int32_t, std::string> joined;
    size_t pieces = 0;
    for (size_t k = 2; k + 1 < seen.size(); k++) {  // after the probe, before the request
        const dqp::Reply &p = seen[k];
        ASSERT_EQ(p.type, dqp::PKT_TYPE_PIECE);
        const std::string &whole = p.info == 0 ? stmt : big;
        ASSERT_TRUE(p.info == 0 || p.info == 3) << p.info;
        EXPECT_EQ(p.args[0], std::to_string(whole.size()));
        EXPECT_GE(p.args[1].size(), dqp::kMinPieceBytes);
        EXPECT_FALSE(dqp::ends_inside_character(p.args[1]));
        joined[p.info] += p.args[1];
        pieces++;
    }
    EXPECT_EQ(pieces, pieces_sent);
    const dqp::Reply &request = seen.back();
    ASSERT_EQ(request.type, dqp::PKT_TYPE_EXECSQL);
    ASSERT_EQ(request.args.size(), 4u);
    EXPECT_EQ(joined[0] + request.args[0], stmt);
    EXPECT_EQ(request.args[1], "PARAMS");
    EXPECT_EQ(request.args[2], small);  // short: whole in the request
    EXPECT_EQ(joined[3] + request.args[3], big);
}

TEST(LongRequest, GatewayTooOldGetsNoLongRequest) {
    Harness h(gateway(false));
    dqp::SqlClient sql(h.client());
    std::string stmt = "SELECT '" + std::string(17000, 'x') + "'";
    dqp::ExecResult res;
    for (int k = 0; k < 2; k++) {  // asked once; the second is refused without asking
        EXPECT_EQ(sql.execsql(stmt, &res), -1);
        EXPECT_NE(sql.error().find("the gateway is too old for requests longer than one packet"),
                  std::string::npos)
            << sql.error();
        EXPECT_TRUE(sql.usable());
    }
    EXPECT_EQ(sql.execsql("SELECT 1", &res), 0) << sql.error();
    h.client().close();
    const std::vector<dqp::Reply> &seen = h.join();
    ASSERT_EQ(seen.size(), 3u);  // the probe's two packets and the short request
    EXPECT_EQ(seen[2].args, (std::vector<std::string>{"SELECT 1"}));
}

TEST(LongRequest, MoreArgumentsThanAPacketListsRefusedUnsent) {
    Harness h(gateway(true));
    std::vector<std::string_view> args(dqp::max_request_args(), "v");
    EXPECT_EQ(h.client().send(dqp::PKT_TYPE_EXECSQL, 0, args), dqp::Connection::kNotSent);
    EXPECT_NE(h.client().error().find("more than one packet can list"), std::string::npos);
    h.client().close();
    EXPECT_TRUE(h.join().empty());
}

}  // namespace
