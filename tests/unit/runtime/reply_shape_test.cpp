// Every request type against a backend that fills every slot: the number of
// arguments of its OK reply and of each of its refusals (the runtime's own and
// the backend's failure), and what MAPERROR tells after each. Each attempt
// runs in a fresh session that has connected and opened table T under alias
// "cu" (records R1, R2, R3).
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "recording_backend.h"

using namespace vnx;
using dqp::Reply;
using Args = std::vector<std::string>;

namespace {

const std::string kName80(80, 'n');
const std::string kValue257(257, 'v');
constexpr int kByOperation = -1;  // the OK reply is the operation's own

// How an attempt is made to fail.
enum class Cause {
    kRuntime,         // refused in the runtime by its arguments
    kUnknownRow,      // FIND finds a row that is not among the records
    kNoNewRowId,      // INSERT gives the new row no row id
    kBackendFailure,  // the operation fails
};

struct Refusal {
    const char *what;
    Args args;
    Cause cause = Cause::kRuntime;
};

struct Case {
    char type;
    const char *name;
    Args ok;                        // arguments of a request that succeeds
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

Refusal name80(const char *what, Args args) {
    return {what, std::move(args)};
}

const Case kCases[] = {
    {'0', "ATTACH", {"db", "SHARED"}, 1, 1, [](BackendOps &o) { o.attach = nullptr; }, true, {}},
    {'1',
     "USE",
     {"T", "cu2", "", "*", "", ""},
     2,
     2,
     [](BackendOps &o) { o.use = nullptr; },
     true,
     {name80("long table", {kName80, "cu2", "", "*", "", ""}),
      name80("long alias", {"T", kName80, "", "*", "", ""}),
      {"alias already open", {"T", "CU", "", "*", "", ""}}}},
    {'2',
     "UNUSE",
     {"cu"},
     0,
     0,
     [](BackendOps &o) { o.unuse = nullptr; },
     false,
     {name80("long alias", {kName80}), {"alias not open", {"nothing"}}}},
    {'3', "DETACH", {}, 1, 1, [](BackendOps &o) { o.detach = nullptr; }, true, {}},
    {'5',
     "ZAP",
     {"cu", "T", "*"},
     0,
     0,
     [](BackendOps &o) { o.zap = nullptr; },
     true,
     {name80("long alias", {kName80, "T", "*"}),
      name80("long table", {"cu", kName80, "*"}),
      {"alias not open", {"nothing", "T", "*"}}}},
    {'6',
     "FIELDLIST",
     {"c1"},
     kByOperation,
     0,
     [](BackendOps &o) { o.fieldlist = nullptr; },
     false,
     {name80("long cursor", {kName80})}},
    {'7',
     "TABLELIST",
     {"c1"},
     kByOperation,
     0,
     [](BackendOps &o) { o.tablelist = nullptr; },
     false,
     {}},
    {'8',
     "ISLOCKED",
     {"cu", "1"},
     0,
     0,
     [](BackendOps &o) { o.islocked = nullptr; },
     true,
     {name80("long alias", {kName80, "1"}),
      {"record 0", {"cu", "0"}},
      {"beyond the last record", {"cu", "4"}}}},
    {'9',
     "LOCK",
     {"cu", "3"},
     0,
     0,
     [](BackendOps &o) { o.lock = nullptr; },
     true,
     {name80("long alias", {kName80, "1"}),
      {"record -1", {"cu", "-1"}},
      {"beyond the last record", {"cu", "99"}}}},
    {':', "UNLOCK", {"cu"}, 0, 0, [](BackendOps &o) { o.unlock = nullptr; }, true, {}},
    {';', "ISLOCKED_TABLE", {"T"}, 0, 0, [](BackendOps &o) { o.islock_table = nullptr; }, true, {}},
    {'<', "LOCK_TABLE", {"T"}, 0, 0, [](BackendOps &o) { o.lock_table = nullptr; }, true, {}},
    {'?', "RLOCK_TABLE", {"T"}, 0, 0, [](BackendOps &o) { o.rlock_table = nullptr; }, true, {}},
    {'@', "UNLOCK_TABLE", {"T"}, 0, 0, [](BackendOps &o) { o.unlock_table = nullptr; }, true, {}},
    {'A', "START", {"srv", "bob", "pw"}, 0, 0, [](BackendOps &o) { o.start = nullptr; }, true, {}},
    {'C',
     "CONNECT",
     {"odb", "u", "p", "dsn"},
     2,
     2,
     [](BackendOps &o) { o.connect = nullptr; },
     true,
     {}},
    {'D', "DISCONNECT", {}, 0, 0, [](BackendOps &o) { o.disconnect = nullptr; }, true, {}},
    {'E',
     "OPEN",
     {"c1"},
     2,
     2,
     [](BackendOps &o) { o.open = nullptr; },
     true,
     {name80("long cursor", {kName80}), {"second argument", {"c1", "3"}}}},
    {'F',
     "CLOSE",
     {"c1"},
     2,
     2,
     [](BackendOps &o) { o.close = nullptr; },
     true,
     {name80("long cursor", {kName80})}},
    {'G',
     "EXECSQL",
     {"update t set a = 1"},
     2,
     2,
     [](BackendOps &o) { o.execsql = nullptr; },
     true,
     {}},
    {'H', "COUNT", {"cu"}, 1, 1, nullptr, false, {name80("long alias", {kName80})}},
    {'I',
     "DELETE",
     {"cu", "2"},
     2,
     2,
     [](BackendOps &o) { o.del = nullptr; },
     true,
     {name80("long alias", {kName80, "1"}),
      {"record 0", {"cu", "0"}},
      {"beyond the last record", {"cu", "4"}}}},
    {'J',
     "FIND",
     {"cu", "k", "v", "", "T", "", "C"},
     1,
     1,
     [](BackendOps &o) { o.find = nullptr; },
     true,
     {name80("long alias", {kName80, "k", "v", "", "T", "", "C"}),
      name80("long table", {"cu", "k", "v", "", kName80, "", "C"}),
      {"long value", {"cu", "k", std::string(513, 'v'), "", "T", "", "C"}},
      {"alias not open", {"nothing", "k", "v", "", "T", "", "C"}},
      {"row not among the records", {"cu", "k", "v", "", "T", "", "C"}, Cause::kUnknownRow}}},
    {'K',
     "INSERT",
     {"cu", "1", "a"},
     1,
     1,
     [](BackendOps &o) { o.insert = nullptr; },
     true,
     {name80("long alias", {kName80, "1", "a"}),
      {"count above the values", {"cu", "2", "a"}},
      {"negative count", {"cu", "-1"}},
      {"long value", {"cu", "1", kValue257}},
      {"no row id for the new row", {"cu", "1", "a"}, Cause::kNoNewRowId}}},
    {'L',
     "READ",
     {"cu", "1", "", ""},
     kByOperation,
     0,
     [](BackendOps &o) { o.read = nullptr; },
     true,
     {name80("long alias", {kName80, "1", "", ""}),
      {"record 0", {"cu", "0", "", ""}},
      {"beyond the last record", {"cu", "4", "", ""}},
      {"alias not open", {"nothing", "1", "", ""}}}},
    {'M',
     "UPDATE",
     {"cu", "1", "1", "a"},
     2,
     2,
     [](BackendOps &o) { o.update = nullptr; },
     true,
     {name80("long alias", {kName80, "1", "1", "a"}),
      {"record 0", {"cu", "0", "1", "a"}},
      {"beyond the last record", {"cu", "12", "1", "a"}},
      {"count above the values", {"cu", "1", "3", "a", "b"}},
      {"long value", {"cu", "1", "2", "a", kValue257}}}},
    {'O', "MAPERROR", {}, 1, 0, [](BackendOps &o) { o.maperror = nullptr; }, true, {}},
    {'P',
     "FETCH",
     {"c1"},
     kByOperation,
     0,
     [](BackendOps &o) { o.fetch = nullptr; },
     false,
     {name80("long cursor", {kName80})}},
    {'Q',
     "FETCHMANY",
     {"c1"},
     kByOperation,
     0,
     [](BackendOps &o) { o.fetchmany = nullptr; },
     false,
     {name80("long cursor", {kName80})}},
    {'U',
     "DECLARE",
     {"c1", "select 1", ""},
     2,
     2,
     [](BackendOps &o) { o.declare = nullptr; },
     true,
     {name80("long cursor", {kName80, "select 1", ""})}},
    {'V',
     "UNDECLARE",
     {"c1"},
     2,
     2,
     [](BackendOps &o) { o.undeclare = nullptr; },
     true,
     {name80("long cursor", {kName80})}},
    {'X', "COMMIT", {}, 1, 1, [](BackendOps &o) { o.commit = nullptr; }, true, {}},
    {'Z', "ROLLBACK", {}, 1, 1, [](BackendOps &o) { o.rollback = nullptr; }, true, {}},
    {'a', "FINDFILE", {"x", "1"}, 1, 0, [](BackendOps &o) { o.file_ops[0] = nullptr; }, false, {}},
    {'g', "TXT_WRITE", {"x"}, 1, 0, [](BackendOps &o) { o.file_ops[6] = nullptr; }, false, {}},
    {'l', "GETPROPERTY", {"x"}, 1, 0, [](BackendOps &o) { o.file_ops[10] = nullptr; }, false, {}},
    {'o',
     "MEMO",
     {"c1", "1", "READ"},
     kByOperation,
     0,
     [](BackendOps &o) { o.memo = nullptr; },
     false,
     {name80("long cursor", {kName80, "1", "READ"})}},
};

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
    Reply r = s->ask(c.type, c.ok);
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
        expect_refusal(*s, s->ask(c.type, f.args), f.what, f.cause);
    }
}

TEST_P(ReplyShapes, MalformedPacketIsRefusedWithTheReplyArguments) {
    auto s = session();
    expect_refusal(*s, s->ask_malformed(GetParam().type), "malformed", Cause::kRuntime);
}

TEST_P(ReplyShapes, NulByteInAnArgumentIsRefusedWithTheReplyArguments) {
    Args args = GetParam().ok;
    args.push_back(std::string("a\0b", 3));
    auto s = session();
    expect_refusal(*s, s->ask(GetParam().type, args), "NUL byte", Cause::kRuntime);
}

INSTANTIATE_TEST_SUITE_P(EveryRequestType, ReplyShapes, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &info) {
                             return std::string(info.param.name);
                         });

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
    expect_refusal(*s, s->ask(c.type, c.ok), "empty slot", Cause::kRuntime);
}

INSTANTIATE_TEST_SUITE_P(
    EveryRequestType, EmptySlot,
    ::testing::ValuesIn(cases_where([](const Case &c) { return c.empty != nullptr; })),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

// Types whose failing operation the loop answers (the others answer for
// themselves, or UNUSE, whose operation's status is not looked at).
class FailedOperation : public ReplyShapes {};

TEST_P(FailedOperation, IsAnsweredWithTheReplyArguments) {
    const Case &c = GetParam();
    auto s = session();
    recording::state.status = -2;
    expect_refusal(*s, s->ask(c.type, c.ok), "failed operation", Cause::kBackendFailure);
}

INSTANTIATE_TEST_SUITE_P(
    EveryRequestType, FailedOperation,
    ::testing::ValuesIn(cases_where([](const Case &c) { return c.backend_answers_failure; })),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

}  // namespace
