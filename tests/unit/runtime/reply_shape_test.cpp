// Every request type against a backend that fills every slot: the number of
// arguments of its OK reply and of each of its refusals (the runtime's own and
// the backend's failure), and what MAPERROR tells after each. Each attempt
// runs in a fresh session that has connected and opened table T under alias
// "cu" (records R1, R2, R3).
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "recording_backend.h"

using namespace vnx;
using dqp::Reply;
using Args = std::vector<std::string>;

namespace {

constexpr int kByOperation = -1;  // the OK reply is the operation's own

// Arguments written "a|b|c"; "" is none. N80 stands for a name of 80
// characters, V257 and V513 for values of 257 and 513.
Args args_of(const std::string &text) {
    Args out;
    for (size_t at = 0; !text.empty() && at <= text.size();) {
        size_t bar = std::min(text.find('|', at), text.size());
        std::string a = text.substr(at, bar - at);
        out.push_back(a == "N80"    ? std::string(80, 'n')
                      : a == "V257" ? std::string(257, 'v')
                      : a == "V513" ? std::string(513, 'v')
                                    : a);
        at = bar + 1;
    }
    return out;
}

// How an attempt is made to fail.
enum class Cause {
    kRuntime,         // refused in the runtime by its arguments
    kUnknownRow,      // FIND finds a row that is not among the records
    kNoNewRowId,      // INSERT gives the new row no row id
    kBackendFailure,  // the operation fails
};

struct Refusal {
    const char *what;
    const char *args;
    Cause cause = Cause::kRuntime;
};

struct Case {
    char type;
    const char *name;
    const char *ok;                 // arguments of a request that succeeds
    int ok_args;                    // arguments of its OK reply, or kByOperation
    int nok_args;                   // arguments of every NOK
    void (*empty)(BackendOps &);    // empties the type's slot; null: it has none
    bool backend_answers_failure;   // a failing operation is answered NOK by the loop
    std::vector<Refusal> refusals;  // besides the malformed packet, the NUL byte,
                                    // the empty slot and the failing operation
};

// Test names and failure messages show the request's name.
void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

#define EMPTY(slot) [](BackendOps &o) { o.slot = nullptr; }

// clang-format off
const Case kCases[] = {
    {'0', "ATTACH", "db|SHARED", 1, 1, EMPTY(attach), true, {}},
    {'1', "USE", "T|cu2||*||", 2, 2, EMPTY(use), true,
     {{"long table", "N80|cu2||*||"}, {"long alias", "T|N80||*||"},
      {"alias already open", "T|CU||*||"}}},
    {'2', "UNUSE", "cu", 0, 0, EMPTY(unuse), false,
     {{"long alias", "N80"}, {"alias not open", "nothing"}}},
    {'3', "DETACH", "", 1, 1, EMPTY(detach), true, {}},
    {'5', "ZAP", "cu|T|*", 0, 0, EMPTY(zap), true,
     {{"long alias", "N80|T|*"}, {"long table", "cu|N80|*"}, {"alias not open", "nothing|T|*"}}},
    {'6', "FIELDLIST", "c1", kByOperation, 0, EMPTY(fieldlist), false, {{"long cursor", "N80"}}},
    {'7', "TABLELIST", "c1", kByOperation, 0, EMPTY(tablelist), false, {}},
    {'8', "ISLOCKED", "cu|1", 0, 0, EMPTY(islocked), true,
     {{"long alias", "N80|1"}, {"record 0", "cu|0"}, {"beyond the last record", "cu|4"}}},
    {'9', "LOCK", "cu|3", 0, 0, EMPTY(lock), true,
     {{"long alias", "N80|1"}, {"record -1", "cu|-1"}, {"beyond the last record", "cu|99"}}},
    {':', "UNLOCK", "cu", 0, 0, EMPTY(unlock), true, {}},
    {';', "ISLOCKED_TABLE", "T", 0, 0, EMPTY(islock_table), true, {}},
    {'<', "LOCK_TABLE", "T", 0, 0, EMPTY(lock_table), true, {}},
    {'?', "RLOCK_TABLE", "T", 0, 0, EMPTY(rlock_table), true, {}},
    {'@', "UNLOCK_TABLE", "T", 0, 0, EMPTY(unlock_table), true, {}},
    {'A', "START", "srv|bob|pw", 0, 0, EMPTY(start), true, {}},
    {'C', "CONNECT", "odb|u|p|dsn", 2, 2, EMPTY(connect), true, {}},
    {'D', "DISCONNECT", "", 0, 0, EMPTY(disconnect), true, {}},
    {'E', "OPEN", "c1", 2, 2, EMPTY(open), true,
     {{"long cursor", "N80"}, {"second argument", "c1|3"}}},
    {'F', "CLOSE", "c1", 2, 2, EMPTY(close), true, {{"long cursor", "N80"}}},
    {'G', "EXECSQL", "update t set a = 1", 2, 2, EMPTY(execsql), true, {}},
    {'H', "COUNT", "cu", 1, 1, nullptr, false, {{"long alias", "N80"}}},
    {'I', "DELETE", "cu|2", 2, 2, EMPTY(del), true,
     {{"long alias", "N80|1"}, {"record 0", "cu|0"}, {"beyond the last record", "cu|4"}}},
    {'J', "FIND", "cu|k|v||T||C", 1, 1, EMPTY(find), true,
     {{"long alias", "N80|k|v||T||C"}, {"long table", "cu|k|v||N80||C"},
      {"long value", "cu|k|V513||T||C"}, {"alias not open", "nothing|k|v||T||C"},
      {"row not among the records", "cu|k|v||T||C", Cause::kUnknownRow}}},
    {'K', "INSERT", "cu|1|a", 1, 1, EMPTY(insert), true,
     {{"long alias", "N80|1|a"}, {"count above the values", "cu|2|a"},
      {"negative count", "cu|-1"}, {"long value", "cu|1|V257"},
      {"no row id for the new row", "cu|1|a", Cause::kNoNewRowId}}},
    {'L', "READ", "cu|1||", kByOperation, 0, EMPTY(read), true,
     {{"long alias", "N80|1||"}, {"record 0", "cu|0||"}, {"beyond the last record", "cu|4||"},
      {"alias not open", "nothing|1||"}}},
    {'M', "UPDATE", "cu|1|1|a", 2, 2, EMPTY(update), true,
     {{"long alias", "N80|1|1|a"}, {"record 0", "cu|0|1|a"},
      {"beyond the last record", "cu|12|1|a"}, {"count above the values", "cu|1|3|a|b"},
      {"long value", "cu|1|2|a|V257"}}},
    {'O', "MAPERROR", "", 1, 0, EMPTY(maperror), true, {}},
    {'P', "FETCH", "c1", kByOperation, 0, EMPTY(fetch), false, {{"long cursor", "N80"}}},
    {'Q', "FETCHMANY", "c1", kByOperation, 0, EMPTY(fetchmany), false, {{"long cursor", "N80"}}},
    {'U', "DECLARE", "c1|select 1|", 2, 2, EMPTY(declare), true, {{"long cursor", "N80|select 1|"}}},
    {'V', "UNDECLARE", "c1", 2, 2, EMPTY(undeclare), true, {{"long cursor", "N80"}}},
    {'X', "COMMIT", "", 1, 1, EMPTY(commit), true, {}},
    {'Z', "ROLLBACK", "", 1, 1, EMPTY(rollback), true, {}},
    {'a', "FINDFILE", "x|1", 1, 0, EMPTY(file_ops[0]), false, {}},
    {'g', "TXT_WRITE", "x", 1, 0, EMPTY(file_ops[6]), false, {}},
    {'l', "GETPROPERTY", "x", 1, 0, EMPTY(file_ops[10]), false, {}},
    {'o', "MEMO", "c1|1|READ", kByOperation, 0, EMPTY(memo), false,
     {{"long cursor", "N80|1|READ"}}},
};
// clang-format on
#undef EMPTY

std::string case_name(const ::testing::TestParamInfo<Case> &info) {
    return info.param.name;
}

// The NOK arguments of a refusal made before any operation ran.
Args refusal_args(const Case &c) {
    if (c.type == 'J' || c.type == 'K') return {"-1"};
    return Args(static_cast<size_t>(c.nok_args), "0");
}

using recording::Session;

class ReplyShapes : public ::testing::TestWithParam<Case> {
  protected:
    // A session that has connected and opened "cu".
    std::unique_ptr<Session> session() {
        auto s = std::make_unique<Session>(recording::full_ops());
        EXPECT_EQ(s->ask('C', {"odb", "", "", "dsn"}, 0).type, 'Y');
        EXPECT_EQ(s->ask('1', {"T", "cu", "", "*", "", ""}).type, 'Y');
        recording::state.log.clear();
        return s;
    }
    // The refusal's NOK, and after it what MAPERROR tells: the runtime's own
    // reason for its refusals, the backend's text for the backend's failure.
    // A refusal by the arguments alone calls no operation.
    void expect_refusal(Session &s, const Reply &r, const std::string &what, Cause cause) {
        const Case &c = GetParam();
        EXPECT_EQ(r.type, 'N') << what;
        EXPECT_EQ(r.args.size(), static_cast<size_t>(c.nok_args)) << what;
        if (cause == Cause::kRuntime) {
            EXPECT_EQ(r.args, refusal_args(c)) << what;
            EXPECT_TRUE(recording::state.log.empty()) << what << ": an operation was called";
        }
        if (c.type == 'A') return;  // a refused START ends the session
        std::string text = s.maperror();
        if (cause == Cause::kBackendFailure)
            EXPECT_EQ(text, recording::kBackendText) << what;
        else
            EXPECT_NE(text, recording::kBackendText) << what;
        EXPECT_FALSE(text.empty()) << what;
    }
};

TEST_P(ReplyShapes, OkReplyCarriesItsArguments) {
    const Case &c = GetParam();
    auto s = session();
    Reply r = s->ask(c.type, args_of(c.ok));
    if (c.ok_args == kByOperation) {
        EXPECT_EQ(r.args, c.type == 'L' ? Args{"R1"} : Args{"by op"});
        return;
    }
    EXPECT_EQ(r.type, 'Y');
    EXPECT_EQ(r.args.size(), static_cast<size_t>(c.ok_args));
}

TEST_P(ReplyShapes, RefusalsOfItsArgumentsCarryTheReplyArguments) {
    const Case &c = GetParam();
    for (const Refusal &f : c.refusals) {
        auto s = session();
        if (f.cause == Cause::kUnknownRow) recording::state.found_rowid = "R9";
        if (f.cause == Cause::kNoNewRowId) recording::state.new_rowid = "";
        expect_refusal(*s, s->ask(c.type, args_of(f.args)), f.what, f.cause);
    }
}

TEST_P(ReplyShapes, MalformedPacketIsRefusedWithTheReplyArguments) {
    auto s = session();
    expect_refusal(*s, s->ask_malformed(GetParam().type), "malformed", Cause::kRuntime);
}

TEST_P(ReplyShapes, NulByteInAnArgumentIsRefusedWithTheReplyArguments) {
    Args args = args_of(GetParam().ok);
    args.push_back(std::string("a\0b", 3));
    auto s = session();
    expect_refusal(*s, s->ask(GetParam().type, args), "NUL byte", Cause::kRuntime);
}

INSTANTIATE_TEST_SUITE_P(EveryRequestType, ReplyShapes, ::testing::ValuesIn(kCases), case_name);

std::vector<Case> cases_where(bool (*keep)(const Case &)) {
    std::vector<Case> out;
    for (const Case &c : kCases)
        if (keep(c)) out.push_back(c);
    return out;
}

// Types that call an operation.
class EmptySlot : public ReplyShapes {};

TEST_P(EmptySlot, IsRefusedWithTheReplyArguments) {
    const Case &c = GetParam();
    auto s = session();
    c.empty(s->ops());
    expect_refusal(*s, s->ask(c.type, args_of(c.ok)), "empty slot", Cause::kRuntime);
}

INSTANTIATE_TEST_SUITE_P(
    EveryRequestType, EmptySlot,
    ::testing::ValuesIn(cases_where([](const Case &c) { return c.empty != nullptr; })), case_name);

// Types whose failing operation the loop answers (the others answer for
// themselves, or UNUSE, whose operation's status is not looked at).
class FailedOperation : public ReplyShapes {};

TEST_P(FailedOperation, IsAnsweredWithTheReplyArguments) {
    const Case &c = GetParam();
    auto s = session();
    recording::state.status = -2;
    expect_refusal(*s, s->ask(c.type, args_of(c.ok)), "failed operation", Cause::kBackendFailure);
}

INSTANTIATE_TEST_SUITE_P(EveryRequestType, FailedOperation,
                         ::testing::ValuesIn(cases_where([](const Case &c) {
                             return c.backend_answers_failure;
                         })),
                         case_name);

}  // namespace
