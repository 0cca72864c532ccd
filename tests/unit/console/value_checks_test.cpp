// Checks of values set one by one (reg set, import): DB_ROOT, the settings
// page's forms in any spelling of key and name, and the port order across a
// batch and the store.
#include "console/core/value_checks.h"

#include <sys/stat.h>

#include "console_fixture.h"

using namespace vnx::console;
using consoletest::StoreTest;

namespace {

const std::string kRoot = vnx::kRootKey;

class ValueChecks : public StoreTest {
  protected:
    // The result of checking `changes`: "" when they pass, else
    // "<index>: <reason>".
    std::string check(const std::vector<vnx::StoreChange> &changes) {
        size_t bad = 99;
        std::string reason;
        const int rc = check_value_changes(*store_, changes, &bad, &reason);
        if (rc == 0) return "";
        return std::to_string(bad) + ": " + reason;
    }
    static vnx::StoreChange set(const std::string &key, const std::string &name,
                                const std::string &data) {
        return {vnx::StoreChange::kSetValue, key, name, data};
    }
};

}  // namespace

TEST_F(ValueChecks, DbRootIsAnAbsolutePrivateDirectoryHoldingTheGateway) {
    const std::string named = "DB_ROOT \"" + root_ + "\"";
    EXPECT_EQ(db_root_problem(root_), named + " holds no odbserver program; copy odbserver there.");
    EXPECT_EQ(db_root_problem("/etc"),
              "DB_ROOT \"/etc\" holds no odbserver program; copy odbserver there.");
    install_gateway(root_);
    EXPECT_EQ(db_root_problem(root_), "");
    EXPECT_EQ(db_root_problem(root_ + "/"), "");

    EXPECT_EQ(db_root_problem("relative/dir"), "DB_ROOT \"relative/dir\" is not an absolute path.");
    EXPECT_EQ(db_root_problem(""), "DB_ROOT \"\" is not an absolute path.");
    EXPECT_EQ(db_root_problem(root_ + "/missing"),
              "DB_ROOT \"" + root_ + "/missing\" is not a directory.");
    EXPECT_EQ(db_root_problem(root_ + "/odbserver"),
              "DB_ROOT \"" + root_ + "/odbserver\" is not a directory.");
    EXPECT_EQ(db_root_problem("/tmp"),
              "DB_ROOT \"/tmp\" may be written by every user, who could replace its programs.");

    chmod((root_ + "/odbserver").c_str(), 0644);  // not executable
    EXPECT_NE(db_root_problem(root_), "");
    std::filesystem::remove(root_ + "/odbserver");
    std::filesystem::create_directory(root_ + "/odbserver");  // not a program
    EXPECT_NE(db_root_problem(root_), "");
}

TEST_F(ValueChecks, SettingsValuesGetTheSettingsChecksInAnySpelling) {
    EXPECT_EQ(value_problem(kRoot, "DB_DQPBASE", "-5"),
              "The base port address must be a number from 1 to 65535");
    EXPECT_EQ(value_problem("software/tavorin/vnx", "db_dqpbase", "0"),
              "The base port address must be a number from 1 to 65535");
    EXPECT_EQ(value_problem(kRoot, "DB_DQPMAX", ""), "You must specify the maximum port address");
    EXPECT_EQ(value_problem(kRoot + "\\PortServer", "LOGGING", "maybe"),
              "Logging must be true or false (also yes/no, on/off, 1/0, in any case)");
    EXPECT_EQ(value_problem(kRoot + "\\PortServer", "DQP_RETRIES", "three"),
              "Retries must be a number");
    EXPECT_EQ(value_problem(vnx::kNetServerKey, "DB_DATE", "a=b"),
              "The system date format must be one of American, British, French, German, "
              "Italian, ANSII or Japan");
    EXPECT_EQ(value_problem(vnx::kNetServerKey, "DB_MAXWKA", ""),
              "The maximum recordset must be at least 10");
    EXPECT_EQ(value_problem(kRoot, "DB_ROOT", "/etc"),
              "DB_ROOT \"/etc\" holds no odbserver program; copy odbserver there");

    // Forms the page itself would store differently still pass as they are.
    EXPECT_EQ(value_problem(kRoot + "\\PortServer", "logging", "TRUE"), "");
    EXPECT_EQ(value_problem(vnx::kNetServerKey, "DB_DATE", "british"), "");
    EXPECT_EQ(value_problem(vnx::kNetServerKey, "DB_MAXWKA", "5"), "");
    // Values the console does not know are free text within the limits.
    EXPECT_EQ(value_problem(vnx::kNetServerKey, "DB_DQPBASE", "-5"), "");
    EXPECT_EQ(value_problem(kRoot + "\\ODBServer", "x=y", "\"a\" = \\b"), "");
    EXPECT_EQ(value_problem(kRoot + "\\ODBServer", "x", std::string(8193, 'v')),
              "the value is longer than 8192 bytes");
    EXPECT_EQ(value_problem(kRoot + "\\..", "x", "1"), "the key path has a \"..\" key name");
}

TEST_F(ValueChecks, PortOrderTakesThePortsABatchLeavesWithTheStoresForTheOthers) {
    store_->set_value(kRoot, "DB_DQPBASE", "5000");
    store_->set_value(kRoot, "DB_DQPMAX", "5101");
    const std::string above = "The maximum port address must be above the base port address";
    EXPECT_EQ(check({set(kRoot, "DB_DQPMAX", "5000")}), "0: " + above);
    EXPECT_EQ(check({set(kRoot, "A", "1"), set(kRoot, "DB_DQPBASE", "5101")}), "1: " + above);
    // The later change of the two is blamed.
    EXPECT_EQ(check({set(kRoot, "DB_DQPMAX", "6000"), set(kRoot, "DB_DQPBASE", "7000")}),
              "1: " + above);
    EXPECT_EQ(check({set(kRoot, "DB_DQPBASE", "7000"), set(kRoot, "DB_DQPMAX", "6000")}),
              "1: " + above);
    // A port range moved as a whole passes; the last setting of a port counts.
    EXPECT_EQ(check({set(kRoot, "DB_DQPBASE", "8600"), set(kRoot, "DB_DQPMAX", "8701")}), "");
    EXPECT_EQ(check({set(kRoot, "DB_DQPBASE", "9000"), set(kRoot, "DB_DQPBASE", "5050")}), "");
    // The form is checked first, at its own change.
    EXPECT_EQ(check({set(kRoot, "A", "1"), set(kRoot, "DB_DQPBASE", "-5")}),
              "1: The base port address must be a number from 1 to 65535");

    // A port the store lacks is not compared.
    store_->delete_value(kRoot, "DB_DQPMAX");
    EXPECT_EQ(check({set(kRoot, "DB_DQPBASE", "9000")}), "");
}
