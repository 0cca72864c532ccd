// The settings page's model: loading, every check in its order, saving.
#include "console/core/settings.h"

#include "console_fixture.h"

using namespace vnx::console;
using consoletest::StoreTest;

namespace {

const std::string kPortServer = std::string(vnx::kRootKey) + "\\PortServer";

class SettingsTest : public StoreTest {
  protected:
    Settings valid() {
        Settings s;
        s.text[kBasePort] = "5000";
        s.text[kMaxPort] = "5101";
        s.text[kRetries] = "3";
        s.text[kTimeout] = "20";
        s.text[kDelay] = "100";
        s.text[kListenerLogFile] = "port.log";
        s.text[kListenerLogging] = "true";
        s.text[kRecordSets] = "50";
        s.text[kDateFormat] = "British";
        s.text[kServerLogFile] = "net.log";
        s.text[kServerLogging] = "false";
        s.text[kWebRoot] = "/var/www";
        s.text[kClassDirectory] = "/opt/classes";
        return s;
    }
    // Saves s and expects the refusal (caption, text), with nothing written.
    void expect_refused(Settings s, const std::string &caption, const std::string &text) {
        const std::string before = value(vnx::kRootKey, "DB_DQPBASE");
        ConsoleMessage msg;
        EXPECT_EQ(save_settings(*store_, s, &msg), -1);
        EXPECT_EQ(msg.caption, caption);
        EXPECT_EQ(msg.text, text);
        EXPECT_EQ(value(vnx::kRootKey, "DB_DQPBASE"), before);
        EXPECT_EQ(value(vnx::kNetServerKey, "DB_DATE"), "<absent>");
    }
};

}  // namespace

TEST_F(SettingsTest, LoadMatchesRootNamesExactlyAndOthersInAnyCase) {
    store_->set_value(vnx::kRootKey, "db_dqpbase", "1234");  // wrong case: not the base port
    store_->set_value(vnx::kRootKey, "DB_DQPMAX", "5101");
    store_->set_value(kPortServer, "dqp_retries", "9");  // matched exactly: ignored
    store_->set_value(kPortServer, "DQP_TIMEOUT", "20");
    store_->set_value(kPortServer, "LOGFILE", "port.log");
    store_->set_value(kPortServer, "Logging", "TrUe");
    store_->set_value(vnx::kNetServerKey, "db_maxwka", "40");
    store_->set_value(vnx::kNetServerKey, "LOGGING", "yes");
    Settings s;
    ConsoleMessage msg;
    ASSERT_EQ(load_settings(*store_, &s, &msg), 0);
    EXPECT_EQ(s.text[kBasePort], "");
    EXPECT_EQ(s.text[kMaxPort], "5101");
    EXPECT_EQ(s.text[kRetries], "");
    EXPECT_EQ(s.text[kTimeout], "20");
    EXPECT_EQ(s.text[kListenerLogFile], "port.log");
    EXPECT_EQ(s.text[kListenerLogging], "true");  // "TRUE" in any case sets it
    EXPECT_EQ(s.text[kRecordSets], "40");
    EXPECT_EQ(s.text[kServerLogging], "true");  // so does every other spelling the servers take
    EXPECT_EQ(s.text[kDateFormat], "");
}

TEST_F(SettingsTest, LoadWithoutSubkeysLeavesFieldsEmpty) {
    Settings s;
    ConsoleMessage msg;
    ASSERT_EQ(load_settings(*store_, &s, &msg), 0);
    EXPECT_EQ(s.text[kBasePort], "");
    EXPECT_EQ(s.text[kServerLogging], "false");
}

TEST_F(SettingsTest, RequiredFieldsRefusedInOrderWithTheirCaptions) {
    Settings s = valid();
    s.text[kBasePort] = "  ";
    s.text[kMaxPort] = "";
    expect_refused(s, "TCPIP Information", "You must specify the base port address.");
    s.text[kBasePort] = "5000";
    s.text[kDateFormat] = "";
    expect_refused(s, "User Information", "You must specify the maximum port address.");
    s.text[kMaxPort] = "5101";
    s.text[kRecordSets] = "";
    expect_refused(s, "User Information", "You must specify a system date format.");
    s.text[kDateFormat] = "German";
    expect_refused(s, "User Information", "The maximum recordset must be at least 10.");
}

TEST_F(SettingsTest, PortsThatAreNotNumbersOrOutOfRangeAreRefused) {
    const char *base_text = "The base port address must be a number from 1 to 65535.";
    const char *max_text = "The maximum port address must be a number from 1 to 65535.";
    for (const char *bad : {"12a", "-5", "0", "65536", "999999", "5 000"}) {
        Settings s = valid();
        s.text[kBasePort] = bad;
        expect_refused(s, "TCPIP Information", base_text);
        s = valid();
        s.text[kMaxPort] = bad;
        expect_refused(s, "TCPIP Information", max_text);
    }
}

TEST_F(SettingsTest, MaximumAtOrBelowBaseIsRefused) {
    for (const char *max : {"4999", "5000"}) {
        Settings s = valid();
        s.text[kMaxPort] = max;
        expect_refused(s, "TCPIP Information",
                       "The maximum port address must be above the base port address.");
    }
}

TEST_F(SettingsTest, NumbersSwitchesAndDateFormatMustHaveTheirForm) {
    Settings s = valid();
    s.text[kRetries] = "three";
    expect_refused(s, "User Information", "Retries must be a number.");
    s = valid();
    s.text[kRecordSets] = "1O";
    expect_refused(s, "User Information", "Record Sets must be a number.");
    s = valid();
    s.text[kServerLogging] = "maybe";
    expect_refused(s, "User Information",
                   "Logging must be true or false (also yes/no, on/off, 1/0, in any case).");
    s = valid();
    s.text[kDateFormat] = "Klingon";
    expect_refused(s, "User Information",
                   "The system date format must be one of American, British, French, German, "
                   "Italian, ANSII or Japan.");
}

TEST_F(SettingsTest, TextsBeyondTheStoresLimitsAreRefusedByTheirField) {
    Settings s = valid();
    s.text[kListenerLogFile] = std::string(8193, 'f');
    expect_refused(s, "User Information", "Log File: the value is longer than 8192 bytes.");
    s = valid();
    s.text[kWebRoot] = "/var/www\x1b[2J";
    expect_refused(s, "User Information", "Web root: the value holds a control character.");
    s = valid();
    s.text[kClassDirectory] = std::string(8192, 'c');
    ConsoleMessage msg;
    EXPECT_EQ(save_settings(*store_, s, &msg), 0) << msg.text;
}

TEST_F(SettingsTest, SaveWritesEveryValueTrimmedWithLowerCaseLogNames) {
    store_->set_value(kPortServer, "LOGGING", "TRUE");
    store_->set_value(vnx::kNetServerKey, "LOGFILE", "old.log");
    Settings s = valid();
    s.text[kBasePort] = " 5000 ";
    s.text[kRecordSets] = "5";      // below 10 but typed: saved as typed
    s.text[kDateFormat] = "ansii";  // the list's spelling is stored
    s.text[kWebRoot] = "";          // empty fields are written empty
    ConsoleMessage msg;
    ASSERT_EQ(save_settings(*store_, s, &msg), 0) << msg.text;
    EXPECT_EQ(value(vnx::kRootKey, "DB_DQPBASE"), "5000");
    EXPECT_EQ(value(vnx::kRootKey, "DB_DQPMAX"), "5101");
    EXPECT_EQ(values(kPortServer), (vnx::ValueList{{"logging", "true"},
                                                   {"DQP_RETRIES", "3"},
                                                   {"DQP_TIMEOUT", "20"},
                                                   {"DQP_SPAWNWAIT", "100"},
                                                   {"logfile", "port.log"}}));
    EXPECT_EQ(values(vnx::kNetServerKey), (vnx::ValueList{{"logfile", "net.log"},
                                                          {"DB_MAXWKA", "5"},
                                                          {"DB_DATE", "ANSII"},
                                                          {"logging", "false"},
                                                          {"DB_WEBROOT", ""},
                                                          {"DB_CLASSDIR", "/opt/classes"}}));

    Settings back;
    ASSERT_EQ(load_settings(*store_, &back, &msg), 0);
    EXPECT_EQ(back.text[kBasePort], "5000");
    EXPECT_EQ(back.text[kListenerLogging], "true");
}

TEST(SettingNames, EveryFieldHasAUniqueName) {
    for (int id = 0; id < kSettingCount; ++id)
        EXPECT_EQ(setting_by_name(kSettingFields[id].name), id);
    EXPECT_EQ(setting_by_name("BASE-PORT"), kBasePort);
    EXPECT_EQ(setting_by_name("nonsense"), -1);
}
