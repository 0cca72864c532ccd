// vnxadmin's settings catalog as a real process: "settings show --all" shows
// what the store holds beside each default, "settings reference" prints the
// Markdown reference, and "reg set" and "import" refuse a value outside its
// type.
#include <fstream>
#include <sstream>

#include "support/config_store.h"
#include "vnxadmin_harness.h"

using vnxtest::Result;

namespace {

class VnxadminSettingsCatalog : public vnxtest::VnxadminTest {
  protected:
    void SetUp() override {
        VnxadminTest::SetUp();
        init();
    }
    // The whitespace-separated words of the line of `out` whose first two
    // words are `key` and `name`; empty when there is none.
    static std::vector<std::string> row(const std::string &out, const std::string &key,
                                        const std::string &name) {
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream in(line);
            std::vector<std::string> words;
            for (std::string w; in >> w;)
                words.push_back(w);
            if (words.size() >= 2 && words[0] == key && words[1] == name) return words;
        }
        return {};
    }
    // The first line of `out` that starts with `start`.
    static std::string line_with(const std::string &out, const std::string &start) {
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind(start, 0) == 0) return line;
        return {};
    }
};

TEST_F(VnxadminSettingsCatalog, ShowAllGivesTheStoredValueAndTheDefaultOfAnUnsetOne) {
    ASSERT_EQ(run({"reg", "set", "ODBServer", "lock_timeout", "12"}).status, 0);
    const Result r = run({"settings", "show", "--all"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(row(r.out, "KEY", "NAME"),
              (std::vector<std::string>{"KEY", "NAME", "VALUE", "DEFAULT"}));
    EXPECT_EQ(row(r.out, "ODBServer", "lock_timeout"),
              (std::vector<std::string>{"ODBServer", "lock_timeout", "12", "5"}));
    EXPECT_EQ(row(r.out, "PortServer", "max_pending_per_host"),
              (std::vector<std::string>{"PortServer", "max_pending_per_host", "(default)", "8"}));
    // init's own defaults are stored values.
    EXPECT_EQ(row(r.out, "PortServer", "spares"),
              (std::vector<std::string>{"PortServer", "spares", "1", "1"}));
    EXPECT_EQ(row(r.out, "(root)", "DB_DQPBASE"),
              (std::vector<std::string>{"(root)", "DB_DQPBASE", "5000", "(none)"}));
}

TEST_F(VnxadminSettingsCatalog, ShowAllPointsOutANameTheServersWouldNotFind) {
    // The store replaces in place whatever the case, so the odd spelling
    // has to be the first one written.
    ASSERT_EQ(run({"reg", "set", "ODBServer", "Require_Login", "true"}).status, 0);
    const Result r = run({"settings", "show", "--all"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(default; a value \"Require_Login\" differs in case)"), std::string::npos)
        << r.out;
}

TEST_F(VnxadminSettingsCatalog, ShowAllCountsEntriesAndPlainShowStaysThePage) {
    ASSERT_EQ(run({"groups", "add", "staff", "--id", "2"}).status, 0);
    ASSERT_EQ(
        run({"users", "add", "ann", "--password", "pw", "--id", "7", "--group", "staff"}).status,
        0);
    const Result all = run({"settings", "show", "--all"});
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_NE(line_with(all.out, "NetServer\\Users ").find(" 1 subkey "), std::string::npos)
        << all.out;
    EXPECT_NE(line_with(all.out, "NetServer\\Groups ").find(" 1 value "), std::string::npos);
    // init makes no Nodes key: a missing key holds no entries.
    EXPECT_NE(line_with(all.out, "NetServer\\Nodes ").find(" 0 values "), std::string::npos);
    // Without --all: the console's page, as before.
    const Result page = run({"settings", "show"});
    ASSERT_EQ(page.status, 0);
    EXPECT_EQ(page.out.rfind("NAME", 0), 0u);
    EXPECT_NE(page.out.find("STORED AS"), std::string::npos);
    EXPECT_EQ(page.out.find("lock_timeout"), std::string::npos);
    EXPECT_EQ(run({"settings", "show", "--everything"}).status, 2);
}

TEST_F(VnxadminSettingsCatalog, ReferenceIsTheCommittedDocument) {
    const Result r = run({"settings", "reference"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, vnxtest::slurp(VNX_SOURCE_DIR "/docs/configuration.md"));
}

// ---- values checked by the settings table where they are written ----

TEST_F(VnxadminSettingsCatalog, RegSetRefusesAValueOutsideItsTypeWithExitTwo) {
    const struct {
        const char *key, *name, *data, *accepted;
    } refused[] = {
        {"ODBServer", "require_login", "TRUE ", "true or false (also yes/no, on/off, 1/0"},
        {"ODBServer", "require_login", "enabled", "true or false"},
        {"PortServer", "max_pending_per_host", "-3", "a whole number from 0 to 200 (count)"},
        {"PortServer", "spares", "abc", "a whole number from 0 to 16 (count)"},
        {"NetServer", "tls", "bogus", "off, allow or require"},
        {"NetServer", "tls_cert", "server.pem", "an absolute path"},
        {"PortServer", "listen", "localhost", "one numeric address"},
        // The store finds the value whatever the case of the name given.
        {"odbserver", "POOL", "maybe", "true or false"},
    };
    for (const auto &c : refused) {
        const std::string before = run({"reg", "get", c.key, c.name}).out;
        const Result r = run({"reg", "set", c.key, c.name, c.data});
        EXPECT_EQ(r.status, 2) << c.name << " " << c.data;
        EXPECT_NE(r.err.find("is \"" + std::string(c.data) + "\""), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("; accepted: " + std::string(c.accepted)), std::string::npos) << r.err;
        EXPECT_EQ(run({"reg", "get", c.key, c.name}).out, before) << "nothing was written";
    }
    // Every spelling of a switch, in any case, is taken as written.
    for (const char *on : {"YES", "On", "1", "false"})
        EXPECT_EQ(run({"reg", "set", "ODBServer", "require_login", on}).status, 0) << on;
}

TEST_F(VnxadminSettingsCatalog, ShowAllMarksAStoredValueItsTypeRefuses) {
    // Written past vnxadmin, as an older version or another tool could.
    std::string err;
    auto store = vnx::ConfigStore::open(store_, false, &err);
    ASSERT_NE(store, nullptr) << err;
    ASSERT_EQ(
        store->set_value(std::string(vnx::kRootKey) + "\\ODBServer", "require_login", "enabled"),
        0);
    store.reset();
    const Result r = run({"settings", "show", "--all"});
    EXPECT_NE(r.out.find("\"enabled\" (refused; read as true)"), std::string::npos) << r.out;
}

TEST_F(VnxadminSettingsCatalog, RegSetOfAValueNoProgramReadsWarnsButWrites) {
    Result r = run({"reg", "set", "ODBServer", "site_note", "rack 4"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("warning: no program reads value \"site_note\""), std::string::npos)
        << r.err;
    EXPECT_EQ(run({"reg", "get", "ODBServer", "site_note"}).out, "rack 4\n");
    // Keys the table does not list values of take anything silently.
    r = run({"reg", "set", "NetServer\\Users\\ann", "User ID", "7"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

TEST_F(VnxadminSettingsCatalog, ImportRefusesAValueOutsideItsType) {
    std::ofstream(dir_ + "/in.reg") << "REGEDIT\n"
                                    << "SOFTWARE\\Tavorin\\VNX\\ODBServer\\pool_idle=30\n"
                                    << "SOFTWARE\\Tavorin\\VNX\\NetServer\\tls=sometimes\n";
    const Result r = run({"import", dir_ + "/in.reg"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("line 3: NetServer \"tls\" is \"sometimes\"; accepted: off, allow or "
                         "require"),
              std::string::npos)
        << r.err;
    EXPECT_NE(run({"reg", "get", "ODBServer", "pool_idle"}).status, 0) << "nothing was imported";
}

}  // namespace
