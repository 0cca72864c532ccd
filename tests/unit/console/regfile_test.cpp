// Export to VNX.reg byte for byte, and import of it back into a store.
#include "console/core/regfile.h"

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
    store_->set_value(kRoot, "DB_DQPBASE", "5000");
    store_->set_value(kRoot, "DB_DQPMAX", "5101");
    store_->set_value(kRoot + "\\NetServer", "DB_DATE", "x=y=z");
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
