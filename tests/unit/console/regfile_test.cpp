// Export to VNX.reg byte for byte, and import of it back into a store.
#include "console/core/regfile.h"

#include <sqlite3.h>

#include "console_fixture.h"

using namespace vnx::console;
using consoletest::StoreTest;

namespace {

const std::string kRoot = vnx::kRootKey;

class RegFile : public StoreTest {
  protected:
    // A second, empty store to import into.
    std::unique_ptr<vnx::ConfigStore> other_store() {
        std::string err;
        auto s = vnx::ConfigStore::open(root_ + "/other.db", true, &err);
        EXPECT_NE(s, nullptr) << err;
        return s;
    }
    // Imports `lines` (after the header) into the fixture's store.
    int import_lines(const std::string &lines, ConsoleMessage *msg) {
        write_file(root_ + "/in.reg", "REGEDIT\n" + lines);
        return import_registry(*store_, root_ + "/in.reg", msg);
    }
};

}  // namespace

TEST_F(RegFile, ExportWritesHeaderRootThenSubkeysInOrderUnescaped) {
    store_->set_value(kRoot, "DB_DQPBASE", "5000");
    store_->set_value(kRoot + "\\PortServer", "logging", "true");  // created before NetServer
    store_->set_value(kRoot + "\\NetServer", "DB_DATE", "a=b \"quoted\" \\back");
    store_->set_value(kRoot + "\\NetServer\\Users\\ann", "password", "not exported");
    store_->set_value(kRoot + "\\NetServer\\Groups", "staff", "2");
    store_->set_value(kRoot + "\\NetServer", "logfile", "net.log");
    store_->set_value(kRoot + "\\Other", "x", "not exported");
    ConsoleMessage msg;
    ASSERT_EQ(export_registry(*store_, export_path(*store_), &msg), 0) << msg.text;
    EXPECT_EQ(file(root_ + "/VNX.reg"),
              "REGEDIT\n"
              ";Varnex registry file\n"
              "SOFTWARE\\Tavorin\\VNX\\DB_ROOT=" +
                  root_ +
                  "\n"
                  "SOFTWARE\\Tavorin\\VNX\\DB_DQPBASE=5000\n"
                  "SOFTWARE\\Tavorin\\VNX\\NetServer\\DB_DATE=a=b \"quoted\" \\back\n"
                  "SOFTWARE\\Tavorin\\VNX\\NetServer\\logfile=net.log\n"
                  "SOFTWARE\\Tavorin\\VNX\\PortServer\\logging=true\n");
}

TEST_F(RegFile, ExportWithoutSubkeysAndLongValuesWhole) {
    const std::string long_data(300, 'd');
    store_->set_value(kRoot, "LONG", long_data);
    ConsoleMessage msg;
    ASSERT_EQ(export_registry(*store_, root_ + "/VNX.reg", &msg), 0);
    EXPECT_EQ(file(root_ + "/VNX.reg"),
              "REGEDIT\n;Varnex registry file\n"
              "SOFTWARE\\Tavorin\\VNX\\DB_ROOT=" +
                  root_ + "\nSOFTWARE\\Tavorin\\VNX\\LONG=" + long_data + "\n");
}

TEST_F(RegFile, ExportThatCannotCreateItsFileSaysWhere) {
    ConsoleMessage msg;
    const std::string path = root_ + "/missing/VNX.reg";
    EXPECT_EQ(export_registry(*store_, path, &msg), -1);
    EXPECT_EQ(msg.caption, "Server Information");
    EXPECT_EQ(msg.text, "Cann't create export file '" + path + "'");
    store_->delete_value(kRoot, "DB_ROOT");
    EXPECT_EQ(export_path(*store_), "");
}

TEST_F(RegFile, ImportRoundTripRestoresEveryExportedValue) {
    install_gateway(root_);  // DB_ROOT must be an installation to be imported
    store_->set_value(kRoot, "DB_DQPBASE", "5000");
    store_->set_value(kRoot, "DB_DQPMAX", "5101");
    store_->set_value(kRoot + "\\NetServer", "DB_DATE", "British");
    store_->set_value(kRoot + "\\NetServer", "DB_NOTE", "x=y=z");
    store_->set_value(kRoot + "\\NetServer", "DB_WEBROOT", "");
    store_->set_value(kRoot + "\\ODBServer", "logging", "true");
    store_->set_value(kRoot + "\\PortServer", "DQP_RETRIES", "3");
    ConsoleMessage msg;
    ASSERT_EQ(export_registry(*store_, root_ + "/VNX.reg", &msg), 0);
    auto other = other_store();
    ASSERT_EQ(import_registry(*other, root_ + "/VNX.reg", &msg), 0) << msg.text;
    for (const std::string &key :
         {kRoot, kRoot + "\\NetServer", kRoot + "\\ODBServer", kRoot + "\\PortServer"}) {
        vnx::ValueList a, b;
        store_->list_values(key, &a);
        other->list_values(key, &b);
        EXPECT_EQ(a, b) << key;
    }
}

TEST_F(RegFile, MalformedLinesRefuseTheWholeImportWithTheLineNumber) {
    const std::string good = "SOFTWARE\\Tavorin\\VNX\\A=1\n";
    const struct {
        std::string text;
        int line;
    } bad[] = {
        {"", 1},
        {"REGEDIT4\n" + good, 1},
        {"REGEDIT\n;c\n" + good + "SOFTWARE\\Tavorin\\VNX\\NoEquals\n", 4},
        {"REGEDIT\n" + good + "SOFTWARE\\Other\\X=1\n", 3},
        {"REGEDIT\n" + good + "SOFTWARE\\Tavorin\\VNX\\=1\n", 3},
        {"REGEDIT\n" + good + "SOFTWARE\\Tavorin\\VNX\\Net\\\\X=1\n", 3},
        {"REGEDIT\n" + good + "SOFTWARE\\Tavorin\\VNX\\B=two\nlines\n", 4},
        {"REGEDIT\n" + good + std::string("SOFTWARE\\Tavorin\\VNX\\B=n\0l\n", 26), 3},
    };
    auto other = other_store();
    for (const auto &[text, line] : bad) {
        write_file(root_ + "/bad.reg", text);
        ConsoleMessage msg;
        EXPECT_EQ(import_registry(*other, root_ + "/bad.reg", &msg), -1) << text;
        EXPECT_NE(msg.text.find("line " + std::to_string(line) + ":"), std::string::npos)
            << msg.text;
        EXPECT_FALSE(other->key_exists(kRoot)) << text;  // nothing half-written
    }
}

TEST_F(RegFile, ImportSkipsBlankAndCommentLinesAndReportsMissingFile) {
    write_file(root_ + "/ok.reg",
               "REGEDIT\n;Varnex registry file\n\nSOFTWARE\\Tavorin\\VNX\\NetServer\\Nodes\\"
               "db1=scott/tiger\n; note\nsoftware\\tavorin\\vnx\\DB_DQPBASE=6000");
    auto other = other_store();
    ConsoleMessage msg;
    ASSERT_EQ(import_registry(*other, root_ + "/ok.reg", &msg), 0) << msg.text;
    std::string data;
    EXPECT_EQ(other->get_value(kRoot + "\\NetServer\\Nodes", "db1", &data), 0);
    EXPECT_EQ(data, "scott/tiger");
    EXPECT_EQ(other->get_value(kRoot, "DB_DQPBASE", &data), 0);
    EXPECT_EQ(data, "6000");

    EXPECT_EQ(import_registry(*other, root_ + "/none.reg", &msg), -1);
    EXPECT_NE(msg.text.find("none.reg"), std::string::npos);
}

TEST_F(RegFile, ExportImportExportGivesIdenticalBytesForAwkwardNamesAndValues) {
    install_gateway(root_);
    const std::vector<std::pair<std::string, std::string>> awkward = {
        {"a=b", "c"},
        {"=", "="},
        {"q\"uote", "\"quoted data\""},
        {"\"", "\""},
        {"back\\slash", "\\\\server\\share\\"},
        {"ends\\", "x=y=z"},
        {"\\\"\\\"", "\\\""},
        {" spaced name ", "  leading and trailing  "},
        {"ünïcödé 名前", "日本語 ✓"},
        {"empty", ""},
        {"long", std::string(8192, 'L')},
        {"tab", "a\tb"},
        {";not a comment", "REGEDIT"},
    };
    for (const char *key : {"", "\\NetServer", "\\ODBServer", "\\PortServer"}) {
        for (const auto &[name, data] : awkward)
            ASSERT_EQ(store_->set_value(kRoot + key, name, data), 0) << store_->error();
    }
    ConsoleMessage msg;
    ASSERT_EQ(export_registry(*store_, root_ + "/first.reg", &msg), 0) << msg.text;
    auto other = other_store();
    ASSERT_EQ(import_registry(*other, root_ + "/first.reg", &msg), 0) << msg.text;
    ASSERT_EQ(export_registry(*other, root_ + "/second.reg", &msg), 0) << msg.text;
    EXPECT_EQ(file(root_ + "/second.reg"), file(root_ + "/first.reg"));

    vnx::ValueList back;
    other->list_values(kRoot + "\\ODBServer", &back);
    EXPECT_EQ(back, vnx::ValueList(awkward.begin(), awkward.end()));
}

TEST_F(RegFile, QuotedValueNameHoldsEqualsSignsQuotesAndBackslashes) {
    ConsoleMessage msg;
    ASSERT_EQ(import_lines("SOFTWARE\\Tavorin\\VNX\\NetServer\\\"a=b\"=c\n"
                           "SOFTWARE\\Tavorin\\VNX\\NetServer\\\"q\\\"x\\\\y\"=\"d\"\n"
                           "SOFTWARE\\Tavorin\\VNX\\NetServer\\plain=y=z\n",
                           &msg),
              0)
        << msg.text;
    EXPECT_EQ(values(vnx::kNetServerKey),
              (vnx::ValueList{{"a=b", "c"}, {"q\"x\\y", "\"d\""}, {"plain", "y=z"}}));

    store_->set_value(kRoot + "\\NetServer", "x", "1");
    ASSERT_EQ(export_registry(*store_, root_ + "/VNX.reg", &msg), 0);
    EXPECT_NE(file(root_ + "/VNX.reg")
                  .find("\\NetServer\\\"a=b\"=c\n"
                        "SOFTWARE\\Tavorin\\VNX\\NetServer\\\"q\\\"x\\\\y\"=\"d\"\n"
                        "SOFTWARE\\Tavorin\\VNX\\NetServer\\plain=y=z\n"),
              std::string::npos)
        << file(root_ + "/VNX.reg");
}

TEST_F(RegFile, MalformedQuotedNamesRefuseTheWholeImport) {
    const std::string net = "SOFTWARE\\Tavorin\\VNX\\NetServer\\";
    const struct {
        std::string line;
        const char *reason;
    } bad[] = {
        {net + "\"a=b=c", "the quoted value name has no closing quote"},
        {net + "\"a\\nb\"=c", "a backslash in a quoted value name must come before \\ or \""},
        {net + "\"a\"b=c", "no \"=\" after the quoted value name"},
        {net + "\"\"=c", "empty value name"},
    };
    for (const auto &[line, reason] : bad) {
        ConsoleMessage msg;
        EXPECT_EQ(import_lines(net + "first=1\n" + line + "\n", &msg), -1) << line;
        EXPECT_EQ(msg.text, "Import file '" + root_ + "/in.reg' line 3: " + reason +
                                "; nothing was imported.");
        EXPECT_FALSE(store_->key_exists(vnx::kNetServerKey)) << line;
    }
}

TEST_F(RegFile, ValuesTheChecksRefuseRefuseTheWholeImportNamingTheLine) {
    install_gateway(root_);
    store_->set_value(kRoot, "DB_DQPBASE", "5000");
    store_->set_value(kRoot, "DB_DQPMAX", "5101");
    const std::string vnx = "SOFTWARE\\Tavorin\\VNX\\";
    const struct {
        std::string line;
        std::string reason;
    } bad[] = {
        {vnx + "DB_DQPBASE=-5", "The base port address must be a number from 1 to 65535"},
        {vnx + "DB_DQPMAX=4000", "The maximum port address must be above the base port address"},
        {vnx + "DB_ROOT=/etc", "DB_ROOT \"/etc\" holds no odbserver program; copy odbserver there"},
        {vnx + "NetServer\\big=" + std::string(5 * 1024 * 1024, 'v'),
         "the value is longer than 8192 bytes"},
        {vnx + std::string(100000, 'k') + "\\x=1", "the key path is longer than 512 bytes"},
        {vnx + "..\\x=1", "the key path has a \"..\" key name"},
        {vnx + "NetServer\\x=esc\x1b", "the value holds a control character"},
    };
    for (const auto &[line, reason] : bad) {
        ConsoleMessage msg;
        EXPECT_EQ(import_lines(";c\n" + vnx + "NetServer\\first=1\n" + line + "\n", &msg), -1)
            << reason;
        EXPECT_EQ(msg.caption, "Server Information");
        EXPECT_EQ(msg.text, "Import file '" + root_ + "/in.reg' line 4: " + reason +
                                "; nothing was imported.");
        EXPECT_FALSE(store_->key_exists(vnx::kNetServerKey)) << reason;
        EXPECT_EQ(value(kRoot, "DB_DQPBASE"), "5000");
        EXPECT_EQ(value(kRoot, "DB_ROOT"), root_);
    }
    ConsoleMessage msg;
    EXPECT_EQ(import_lines(vnx + "DB_ROOT=" + root_ + "\n" + vnx + "DB_DQPBASE=6000\n" + vnx +
                               "DB_DQPMAX=6101\n",
                           &msg),
              0)
        << msg.text;
    EXPECT_EQ(value(kRoot, "DB_DQPBASE"), "6000");
}

TEST_F(RegFile, ExportRefusesAStoredValueItsFileCouldNotCarry) {
    store_->set_value(kRoot + "\\NetServer", "note", "one line");
    write_file(root_ + "/VNX.reg", "earlier export\n");
    // A value written before the store's limits existed, put in past them.
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open((root_ + "/registry.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "UPDATE key_values SET data = 'two' || char(10) || "
                           "'SOFTWARE\\Tavorin\\VNX\\DB_ROOT=/tmp' WHERE name = 'note'",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    ConsoleMessage msg;
    EXPECT_EQ(export_registry(*store_, root_ + "/VNX.reg", &msg), -1);
    EXPECT_EQ(msg.text,
              "Cannot export value \"note\" of SOFTWARE\\Tavorin\\VNX\\NetServer: the value "
              "holds a control character; nothing was exported.");
    EXPECT_EQ(file(root_ + "/VNX.reg"), "earlier export\n");
}
