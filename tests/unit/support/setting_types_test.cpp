// The settings table's types: each form's accepted and refused texts, the
// servers' typed reads of a store (defaults, a security switch failing
// closed), the check of stored values, and the master's snapshot that
// gateways read instead of the store.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "support/settings_catalog.h"
#include "support/settings_snapshot.h"
#include "temp_store.h"

namespace {

using vnx::SettingEntry;

struct TypeCase {
    const char *key, *name, *text;
    const char *reading;  // the canonical text; null: refused
};

// One row per form; the accepted spellings and their neighbours that are not.
const TypeCase kTypeCases[] = {
    // switch
    {"ODBServer", "pool", "true", "true"},
    {"ODBServer", "pool", "TRUE", "true"},
    {"ODBServer", "pool", "Yes", "true"},
    {"ODBServer", "pool", "on", "true"},
    {"ODBServer", "pool", "1", "true"},
    {"ODBServer", "pool", "FALSE", "false"},
    {"ODBServer", "pool", "no", "false"},
    {"ODBServer", "pool", "Off", "false"},
    {"ODBServer", "pool", "0", "false"},
    {"ODBServer", "pool", "", "false"},
    {"ODBServer", "pool", " true", nullptr},
    {"ODBServer", "pool", "true ", nullptr},
    {"ODBServer", "pool", "y", nullptr},
    {"ODBServer", "pool", "2", nullptr},
    {"ODBServer", "pool", "enabled", nullptr},
    // integer with range
    {"PortServer", "spares", "0", "0"},
    {"PortServer", "spares", "16", "16"},
    {"PortServer", "spares", "007", "7"},
    {"PortServer", "spares", "", "1"},
    {"PortServer", "spares", "17", nullptr},
    {"PortServer", "spares", "abc", nullptr},
    {"PortServer", "spares", "+1", nullptr},
    {"PortServer", "spares", " 1", nullptr},
    {"PortServer", "spares", "1.0", nullptr},
    {"PortServer", "spares", "99999999999999999999999", nullptr},
    {"PortServer", "max_pending_per_host", "-3", nullptr},
    {"ODBServer", "max_statement_bytes", "16383", nullptr},
    {"ODBServer", "max_statement_bytes", "1073741824", "1073741824"},
    // word
    {"NetServer", "tls", "ALLOW", "allow"},
    {"NetServer", "tls", "require", "require"},
    {"NetServer", "tls", "", "off"},
    {"NetServer", "tls", "bogus", nullptr},
    {"NetServer", "tls", "allow ", nullptr},
    {"NetServer", "tls_client_cert", "allow", nullptr},
    // path
    {"NetServer", "tls_cert", "/etc/vnx/server.pem", "/etc/vnx/server.pem"},
    {"NetServer", "tls_cert", "", ""},
    {"NetServer", "tls_cert", "server.pem", nullptr},
    // address and address list
    {"PortServer", "listen", "::1", "::1"},
    {"PortServer", "listen", "localhost", nullptr},
    {"PortServer", "allow", "10.0.0.0/8, ::1 192.0.2.7", "10.0.0.0/8, ::1 192.0.2.7"},
    {"PortServer", "allow", "10.0.0.0/8, office-pc", nullptr},
    // text
    {"NetServer", "tls_ciphers", "ECDHE+AESGCM", "ECDHE+AESGCM"},
};

TEST(SettingTypes, EachFormAcceptsItsTextsAndRefusesTheRest) {
    for (const TypeCase &c : kTypeCases) {
        SCOPED_TRACE(std::string(c.key) + " " + c.name + " \"" + c.text + "\"");
        const SettingEntry *row = vnx::find_setting(c.key, c.name);
        ASSERT_NE(row, nullptr);
        std::string reading = "untouched", why;
        const int rc = vnx::check_setting_text(*row, c.text, &reading, &why);
        if (c.reading != nullptr) {
            EXPECT_EQ(rc, 0) << why;
            EXPECT_EQ(reading, c.reading);
        } else {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(reading, "untouched");
            // The refusal names the value, the text and what is accepted.
            EXPECT_NE(why.find(std::string(c.key) + " \"" + c.name + "\" is \"" + c.text + "\""),
                      std::string::npos)
                << why;
            EXPECT_NE(why.find("; accepted: "), std::string::npos) << why;
        }
    }
}

TEST(SettingTypes, RefusalsSpellOutTheAcceptedValues) {
    std::string why;
    ASSERT_EQ(check_setting_text(*vnx::find_setting("NetServer", "tls"), "bogus", nullptr, &why),
              -1);
    EXPECT_EQ(why, "NetServer \"tls\" is \"bogus\"; accepted: off, allow or require");
    ASSERT_EQ(check_setting_text(*vnx::find_setting("PortServer", "max_pending_per_host"), "-3",
                                 nullptr, &why),
              -1);
    EXPECT_NE(why.find("a whole number from 0 to 200 (count)"), std::string::npos) << why;
    ASSERT_EQ(check_setting_text(*vnx::find_setting("PortServer", "allow"), "10.0.0.0/8, pc",
                                 nullptr, &why),
              -1);
    EXPECT_NE(why.find("\"pc\" is not an address or a network"), std::string::npos) << why;
}

TEST(SettingTypes, KeysAreFoundByRowNameOrFullPathInAnyCase) {
    EXPECT_NE(vnx::find_setting("SOFTWARE\\Tavorin\\VNX\\odbserver", "pool"), nullptr);
    EXPECT_NE(vnx::find_setting("SOFTWARE\\Tavorin\\VNX", "DB_ROOT"), nullptr);
    EXPECT_EQ(vnx::find_setting("ODBServer", "POOL"), nullptr);
    EXPECT_NE(vnx::find_setting_any_case("ODBServer", "POOL"), nullptr);
    EXPECT_TRUE(vnx::setting_key_known("NetServer"));
    EXPECT_FALSE(vnx::setting_key_known("NetServer\\Users\\ann"));
}

// The servers' reads of a store, and the snapshot a master hands its gateways.
class SettingReads : public ::testing::Test {
  protected:
    void SetUp() override {
        store_ = temp_.open();
        ASSERT_NE(store_, nullptr) << temp_.last_error;
        snapshot_ = temp_.path() + ".snapshot";
    }
    void TearDown() override {
        unsetenv(vnx::kSettingsSnapshotEnv);
        std::remove(snapshot_.c_str());
    }
    void set(const char *key, const char *name, const char *data) {
        ASSERT_EQ(store_->set_value(std::string(vnx::kRootKey) + "\\" + key, name, data), 0);
    }
    TempStore temp_;
    std::unique_ptr<vnx::ConfigStore> store_;
    std::string snapshot_;
};

TEST_F(SettingReads, RefusedTextsReadAsTheDefaultAndASecuritySwitchFailsClosed) {
    EXPECT_FALSE(vnx::setting_switch("ODBServer", "require_login"));  // absent: default
    EXPECT_EQ(vnx::setting_number("PortServer", "claim_timeout"), 60);
    set("ODBServer", "require_login", " true");
    set("ODBServer", "pool", "bogus");
    set("PortServer", "spares", "abc");
    set("NetServer", "tls", "ALLOW");
    EXPECT_TRUE(vnx::setting_switch("ODBServer", "require_login"));
    EXPECT_FALSE(vnx::setting_switch("ODBServer", "pool"));
    EXPECT_EQ(vnx::setting_number("PortServer", "spares"), 1);
    EXPECT_EQ(vnx::setting_word("NetServer", "tls"), "allow");
    set("ODBServer", "require_login", "Off");
    EXPECT_FALSE(vnx::setting_switch("ODBServer", "require_login"));
}

TEST_F(SettingReads, StoredValuesProblemChecksWhatTheServersRead) {
    const vnx::ValueList fine = {{"spares", "3"}, {"a_note", "anything"}};
    EXPECT_EQ(vnx::stored_values_problem("PortServer", fine), "");
    // The console's own fields are checked where they are written, not here.
    EXPECT_EQ(vnx::stored_values_problem("PortServer", {{"DQP_RETRIES", "x"}}), "");
    EXPECT_EQ(vnx::stored_values_problem("PortServer", {{"spares", "3"}, {"claim_timeout", "0"}}),
              "PortServer \"claim_timeout\" is \"0\"; accepted: a whole number from 1 to 86400 "
              "(seconds)");
}

TEST_F(SettingReads, AGatewayReadsTheMastersSnapshotInsteadOfTheStore) {
    set("NetServer", "tls", "bogus");
    set("ODBServer", "lock_timeout", "9");
    std::string why;
    ASSERT_EQ(
        vnx::write_settings_snapshot(
            snapshot_, {{"NetServer", {{"tls", "off"}}}, {"ODBServer", {{"pool", "true"}}}}, &why),
        0)
        << why;
    struct stat st {};
    ASSERT_EQ(stat(snapshot_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    setenv(vnx::kSettingsSnapshotEnv, snapshot_.c_str(), 1);
    EXPECT_EQ(vnx::read_server_value("NetServer", "tls"), "off");
    EXPECT_EQ(vnx::read_server_value("odbserver", "lock_timeout", "none"), "none");
    EXPECT_TRUE(vnx::setting_switch("ODBServer", "pool"));
    // A key the snapshot lacks comes from the store.
    set("PortServer", "claim_timeout", "30");
    EXPECT_EQ(vnx::setting_number("PortServer", "claim_timeout"), 30);
    // A new snapshot replaces the old one for the next read.
    ASSERT_EQ(vnx::write_settings_snapshot(snapshot_, {{"NetServer", {{"tls", "require"}}}}, &why),
              0);
    EXPECT_EQ(vnx::read_server_value("NetServer", "tls"), "require");
    // One that others could have written is not trusted: the store answers.
    ASSERT_EQ(chmod(snapshot_.c_str(), 0644), 0);
    EXPECT_EQ(vnx::read_server_value("NetServer", "tls"), "bogus");
}

TEST_F(SettingReads, SnapshotsRefuseLinesThatWouldBreakAndCutFilesAreNotRead) {
    std::string why;
    EXPECT_EQ(
        vnx::write_settings_snapshot(snapshot_, {{"NetServer", {{"tls", "off\nx\ty"}}}}, &why), -1);
    EXPECT_EQ(vnx::write_settings_snapshot(snapshot_, {{"NetServer", {{"a\tb", "off"}}}}, &why),
              -1);
    // Tabs in the data are kept.
    ASSERT_EQ(vnx::write_settings_snapshot(snapshot_, {{"NetServer", {{"note", "a\tb"}}}}, &why),
              0);
    std::vector<vnx::SnapshotKey> keys;
    ASSERT_EQ(vnx::read_settings_snapshot(snapshot_, &keys), 0);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].second, (vnx::ValueList{{"note", "a\tb"}}));
    for (const char *text : {"VNX settings 1\n[NetServer]\ntls\toff", "VNX settings 1\ntls\toff\n",
                             "other\n[NetServer]\n"}) {
        std::ofstream(snapshot_, std::ios::trunc) << text;
        EXPECT_EQ(vnx::read_settings_snapshot(snapshot_, &keys), -1) << text;
    }
}

}  // namespace
