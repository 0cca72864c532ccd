// Refusals made by the request loop itself: the words MAPERROR gives for
// each and how long it gives them, and requests holding a NUL byte, which
// are refused with a reply while the session goes on (or, for requests that
// are never answered, close the connection as a malformed packet does).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recording_backend.h"

using dqp::Reply;
using recording::Session;
using Args = std::vector<std::string>;

namespace {

// A session that has connected and opened table T as "cu" (3 records).
std::unique_ptr<Session> session() {
    auto s = std::make_unique<Session>(recording::full_ops());
    EXPECT_EQ(s->ask('C', {"odb", "", "", "dsn"}, 0).type, 'Y');
    EXPECT_EQ(s->ask('1', {"T", "cu", "", "*", "", ""}).type, 'Y');
    recording::state.log.clear();
    return s;
}

// The text of a packet, whatever its arguments hold.
std::string packet(char type, const Args &args) {
    std::vector<std::string_view> views(args.begin(), args.end());
    char pkt[dqp::PKT_BUFSIZE];
    int n = dqp::build_packet(pkt, sizeof pkt, type, 77, views);
    EXPECT_GT(n, 0);
    return std::string(pkt, static_cast<size_t>(n > 0 ? n : 0));
}

struct Worded {
    char type;
    Args args;
    const char *text;
};

TEST(Refusal, MaperrorTellsEachRefusalInWords) {
    const std::string nul("a\0b", 3);
    const Worded cases[] = {
        {'M', {"cu", "12", "1", "a"}, "record 12 is beyond the last record (3) of alias cu"},
        {'I', {"cu", "0"}, "record 0 is no record number: records count from 1"},
        {'2', {std::string(80, 'a')}, "name argument 0 is longer than 79 characters"},
        {'J',
         {"cu", "k", "v", "", std::string(80, 't'), "", "C"},
         "name argument 4 is longer than 79 characters"},
        {'M', {"cu", "1", "3", "a", "b"}, "field count 3 does not match the 2 values sent"},
        {'K', {"cu", "-1"}, "field count -1 does not match the 0 values sent"},
        {'K', {"cu", "2", "a", std::string(257, 'v')}, "value 2 is longer than 256 characters"},
        {'J',
         {"cu", "k", std::string(513, 'v'), "", "T", "", "C"},
         "the FIND value is longer than 512 characters"},
        {'1', {"T", "CU", "", "*", "", ""}, "alias CU is already open: UNUSE it first"},
        {'L', {"other", "1", "", ""}, "alias other is not open with USE"},
        {'E', {"c1", "3"}, "OPEN takes the cursor name alone: parameters cannot be passed"},
        {'f', {}, "request type 'f' is not served"},
        {'\x7f', {}, "request type 0x7F is not served"},
        {'M', {"cu", "1", "1", nul}, "argument 3 holds a NUL byte, which no request may carry"},
    };
    for (const Worded &c : cases) {
        auto s = session();
        EXPECT_EQ(s->ask(c.type, c.args).type, 'N') << c.text;
        EXPECT_EQ(s->maperror(), c.text);
        EXPECT_TRUE(recording::state.log.empty()) << c.text << ": an operation was called";
    }
}

TEST(Refusal, MaperrorTellsThatAnOperationIsNotServed) {
    auto s = session();
    s->ops().update = nullptr;
    EXPECT_EQ(s->ask('M', {"cu", "1", "1", "a"}).type, 'N');
    EXPECT_EQ(s->maperror(), "this gateway does not serve UPDATE");
}

TEST(Refusal, MaperrorTellsWhyAMalformedPacketWasRefused) {
    auto s = session();
    EXPECT_EQ(s->ask_malformed('M').type, 'N');
    EXPECT_EQ(s->maperror(),
              "the request packet is malformed: its header, offsets or lengths do not fit it");
}

TEST(Refusal, MaperrorTellsTheRefusalUntilAnotherRequestIsHandled) {
    auto s = session();
    s->ask('I', {"cu", "4"});
    const char *text = "record 4 is beyond the last record (3) of alias cu";
    EXPECT_EQ(s->maperror(), text);
    EXPECT_EQ(s->maperror(), text);  // MAPERROR itself leaves it
    EXPECT_TRUE(recording::state.log.empty());
    EXPECT_EQ(s->ask('H', {"cu"}).type, 'Y');
    EXPECT_EQ(s->maperror(), recording::kBackendText);
    EXPECT_EQ(recording::state.log, (Args{"maperror"}));
}

TEST(Refusal, BackendFailureAfterARefusalIsToldByTheBackend) {
    auto s = session();
    s->ask('M', {"cu", "9", "1", "a"});
    recording::state.status = -4;
    Reply failed = s->ask('M', {"cu", "1", "1", "a"});
    EXPECT_EQ(failed.type, 'N');
    EXPECT_EQ(failed.info, -1);
    EXPECT_EQ(s->maperror(), recording::kBackendText);
}

TEST(Refusal, RequestNeverAnsweredStillClearsTheRefusal) {
    auto s = session();
    s->ask('I', {"cu", "0"});
    ASSERT_EQ(s->send_packet(packet('4', {"0"})), 0);  // LOGGING off: no reply
    EXPECT_EQ(s->maperror(), recording::kBackendText);
}

TEST(Refusal, FailedInsertThroughADeclaredCursorNamesNoRecord) {
    auto s = session();
    ASSERT_EQ(s->ask('E', {"c1"}).type, 'Y');  // 2 rows
    recording::state.status = -3;
    Reply r = s->ask('K', {"c1", "1", "a"});
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.args, (Args{"-1"}));
    recording::state.status = 0;
    EXPECT_EQ(s->ask('K', {"c1", "1", "a"}).args, (Args{"3"}));
}

// ---- NUL bytes -----------------------------------------------------------

TEST(NulByte, OutsideTheArgumentsIsRefused) {
    auto s = session();
    // UPDATE without arguments, followed by a NUL no argument covers.
    ASSERT_EQ(s->send_packet(std::string("00000000M000000000000\0", 22)), 0);
    Reply r = s->receive();
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.args, (Args{"0", "0"}));
    EXPECT_EQ(s->maperror(), "the request packet holds a NUL byte outside its arguments");
}

TEST(NulByte, InTheRunLengthCodedFormIsRefusedToo) {
    auto s = session();
    // DELETE "cu", "1" and five NULs, which travel as one escape (01 05 00).
    ASSERT_EQ(s->send_packet(packet('I', {"cu", std::string("1\0\0\0\0\0", 6)})), 0);
    Reply r = s->receive();
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.info, -1);
    EXPECT_EQ(r.args, (Args{"0", "0"}));
    EXPECT_EQ(s->maperror(), "argument 1 holds a NUL byte, which no request may carry");
    EXPECT_EQ(s->ask('I', {"cu", "1"}).type, 'Y');
}

// LOGGING and STOP are never answered and EXTENDED_FETCH only by its
// operation: any NOK would be read as the answer to the next request.
TEST(NulByte, InARequestThatIsNeverAnsweredClosesTheConnection) {
    const std::pair<char, Args> cases[] = {
        {'4', {"1", std::string("x\0.log", 6)}},
        {'B', {std::string("\0", 1)}},
        {'m', {std::string("c\0", 2), "NEXT", "1"}},
    };
    for (const auto &[type, args] : cases) {
        auto s = session();
        ASSERT_EQ(s->send_packet(packet(type, args)), 0);
        EXPECT_TRUE(s->closed()) << type;
        EXPECT_EQ(recording::state.log, (Args{"disconnect", "stop"})) << type;
    }
}

// ---- short packets, EXTENDED_FETCH -----------------------------------------

TEST(ShortPacket, OfANeverAnsweredTypeClosesTheConnection) {
    auto s = session();
    ASSERT_EQ(s->send_packet("000000004"), 0);
    EXPECT_TRUE(s->closed());
}

TEST(ExtendedFetch, RefusalWhereTheOperationAnswersIsAFailedFetch) {
    auto s = session();
    Reply r = s->ask('m', {std::string(80, 'c'), "NEXT", "1"});
    EXPECT_EQ(r.type, 'N');
    EXPECT_EQ(r.info, -1);
    EXPECT_TRUE(r.args.empty());
    EXPECT_EQ(s->maperror(), "name argument 0 is longer than 79 characters");
}

TEST(ExtendedFetch, RefusalWithoutTheOperationIsNotAnsweredButTold) {
    auto s = session();
    s->ops().extend_fetch = nullptr;
    ASSERT_EQ(s->send_packet(packet('m', {"c", "NEXT", "1"})), 0);
    EXPECT_EQ(s->maperror(), "this gateway does not serve EXTENDED_FETCH");
}

}  // namespace
