// The settings catalog: its rows are well formed, docs/configuration.md is
// its generated text, and every value name the sources read has a row.
#include "support/settings_catalog.h"

#include <gtest/gtest.h>
#include <strings.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(SettingsCatalog, RowsAreCompleteAndNoValueIsListedTwice) {
    const std::set<std::string> readers = {
        "master",          "gateway",         "console",         "all",
        "master, gateway", "master, console", "gateway, console"};
    std::set<std::string> seen;
    for (const vnx::SettingEntry &e : vnx::settings_catalog()) {
        SCOPED_TRACE(std::string(e.key) + " " + e.name);
        EXPECT_NE(std::string(e.name), "");
        EXPECT_NE(vnx::setting_form(e), "");
        EXPECT_NE(std::string(e.default_text), "");
        EXPECT_NE(std::string(e.meaning), "");
        EXPECT_EQ(readers.count(e.readers), 1u) << e.readers;
        EXPECT_EQ(e.holds_entries(), e.name[0] == '(');
        // A default the readers apply is a value of the row's own type.
        std::string canonical, why;
        if (!e.holds_entries() && e.default_text[0] != '(') {
            EXPECT_EQ(vnx::check_setting_text(e, e.default_text, &canonical, &why), 0) << why;
        }
        if (e.when_refused != nullptr) {
            EXPECT_EQ(vnx::check_setting_text(e, e.when_refused, &canonical, &why), 0) << why;
        }
        // The store finds value names without regard to case: two rows that
        // differ only in case would name one stored value.
        std::string id = e.key + std::string("\\") + e.name;
        for (char &c : id)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        EXPECT_TRUE(seen.insert(id).second) << "listed twice";
    }
}

TEST(SettingsCatalog, FindSettingMatchesKeyInAnyCaseAndNameExactly) {
    ASSERT_NE(vnx::find_setting("odbserver", "lock_timeout"), nullptr);
    EXPECT_STREQ(vnx::find_setting("ODBServer", "lock_timeout")->default_text, "5");
    EXPECT_EQ(vnx::find_setting("ODBServer", "LOCK_TIMEOUT"), nullptr);
    EXPECT_EQ(vnx::find_setting("PortServer", "lock_timeout"), nullptr);
    EXPECT_STREQ(vnx::find_setting("", "DB_ROOT")->key, "");
    EXPECT_EQ(vnx::setting_key_path(*vnx::find_setting("", "DB_ROOT")), "SOFTWARE\\Tavorin\\VNX");
    EXPECT_EQ(vnx::setting_key_path(*vnx::find_setting("NetServer", "DQP_TCPBUF")),
              "SOFTWARE\\Tavorin\\VNX\\NetServer");
}

TEST(SettingsCatalog, MarkdownEscapesPipesAndGivesEachKeyOneTable) {
    const std::string md = vnx::settings_reference_markdown();
    EXPECT_NE(md.find("| `logging` | true\\|false | false | reload |"), std::string::npos);
    EXPECT_NE(md.find("| `spares` | integer 0..16 (count) | 1 | reload |"), std::string::npos);
    // PortServer, ODBServer and NetServer each carry a "logging": three
    // tables, not one row under the wrong heading.
    size_t headings = 0;
    for (size_t at = md.find("\n## "); at != std::string::npos; at = md.find("\n## ", at + 1))
        headings++;
    EXPECT_EQ(headings, 7u);  // root, PortServer, ODBServer, NetServer, Users, Groups, Nodes
    EXPECT_NE(md.find("## `SOFTWARE\\Tavorin\\VNX\\NetServer\\Users`"), std::string::npos);
    // Every table row has the six cells of its heading.
    std::istringstream lines(md);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] != '|') continue;
        size_t cells = 0;
        for (size_t i = 0; i < line.size(); ++i)
            if (line[i] == '|' && (i == 0 || line[i - 1] != '\\')) cells++;
        EXPECT_EQ(cells, 7u) << line;
    }
}

TEST(SettingsCatalog, CommittedReferenceIsTheGeneratedText) {
    const fs::path doc = fs::path(VNX_SOURCE_DIR) / "docs" / "configuration.md";
    ASSERT_TRUE(fs::exists(doc)) << doc;
    EXPECT_EQ(read_file(doc), vnx::settings_reference_markdown())
        << "regenerate it: vnxadmin settings reference > docs/configuration.md";
}

// ---- the sources against the catalog ----

struct ReadPattern {
    const char *expression;
    int key_group;          // group holding the key, 0 when fixed_key is used
    const char *fixed_key;  // the key every match reads; null: any key will do
    int name_group;
};

// How the code spells a read of a stored value. A form whose key is not a
// literal accepts a row of that name under any key.
const ReadPattern kReadPatterns[] = {
    {R"re(read_server_value\(\s*"(\w+)"\s*,\s*"([^"]+)")re", 1, nullptr, 2},
    {R"re(read_server_value\(\s*[^",)][^,)]*,\s*"([^"]+)")re", 0, nullptr, 1},
    {R"re(odbserver_value\(\s*"([^"]+)")re", 0, "ODBServer", 1},
    {R"re(config_(?:number|text)\(\s*values\s*,\s*"([^"]+)")re", 0, "PortServer", 1},
    {R"re(setting_(?:switch|number|word)(?:_in)?\(\s*(?:values\s*,\s*)?"(\w+)"\s*,\s*"([^"]+)")re",
     1, nullptr, 2},
    {R"re(read_tls_value\(\s*"([^"]+)")re", 0, "NetServer", 1},
    {R"re(get_netserver_value\(\s*"([^"]+)")re", 0, "NetServer", 1},
    {R"re(read_netserver_value_direct\(\s*"([^"]+)")re", 0, "NetServer", 1},
    {R"re(get_registry_value\(\s*"([^"]+)"\s*,\s*(?:vnx::)?kRootKey)re", 0, "", 1},
    {R"re(get_value\(\s*kRootKey\s*,\s*"([^"]+)")re", 0, "", 1},
    // The console's settings page: {"id", "Caption", "subkey", "NAME", any_case, kind ...}.
    {R"re(\{"[^"]*",\s*"[^"]*",\s*"(\w*)",\s*"([^"]+)",\s*(?:true|false),\s*SettingKind::)re", 1,
     nullptr, 2},
};

// After load_registry_key, the code walks the values comparing names.
const char *kListedNamePattern = R"re(\bv?name\s*[!=]=\s*"([A-Za-z_][\w ]*)")re";

struct Read {
    std::string file, key, name;  // key "*": a row of that name under any key
};

bool catalog_has(const Read &r) {
    if (r.key != "*") return vnx::find_setting(r.key, r.name) != nullptr;
    for (const vnx::SettingEntry &e : vnx::settings_catalog())
        if (r.name == e.name) return true;
    return false;
}

void scan_text(const std::string &file, const std::string &text, std::vector<Read> *out) {
    for (const ReadPattern &p : kReadPatterns) {
        const std::regex re(p.expression);
        for (std::sregex_iterator m(text.begin(), text.end(), re), end; m != end; ++m) {
            std::string key = p.key_group > 0          ? (*m)[p.key_group].str()
                              : p.fixed_key != nullptr ? p.fixed_key
                                                       : "*";
            out->push_back({file, key, (*m)[p.name_group].str()});
        }
    }
    if (text.find("load_registry_key(") == std::string::npos) return;
    const std::regex listed(kListedNamePattern);
    for (std::sregex_iterator m(text.begin(), text.end(), listed), end; m != end; ++m)
        out->push_back({file, "*", (*m)[1].str()});
}

std::vector<Read> scan_sources() {
    std::vector<Read> reads;
    const fs::path root(VNX_SOURCE_DIR);
    for (const char *dir :
         {"master", "runtime", "gateway", "transport", "support", "protocol", "console/core"}) {
        for (const auto &entry : fs::directory_iterator(root / dir)) {
            if (entry.path().extension() != ".cpp") continue;
            // The catalog's own rows are not reads.
            if (entry.path().filename() == "settings_catalog.cpp") continue;
            scan_text(fs::relative(entry.path(), root).string(), read_file(entry.path()), &reads);
        }
    }
    return reads;
}

TEST(SettingsCatalog, ScannerFindsEachFormOfRead) {
    std::vector<Read> reads;
    scan_text("a.cpp",
              "read_server_value(\"ODBServer\", \"x1\");\n"
              "read_server_value(name + \"Server\", \"x2\");\n"
              "odbserver_value(\"x3\", \"\");\n"
              "config_number(values, \"x4\", 1, 0, 9); config_text(values, \"x5\");\n"
              "get_netserver_value(\"x6\"); read_netserver_value_direct(\"x7\");\n"
              "get_registry_value(\"x8\",\n    kRootKey);\n"
              "store.get_value(kRootKey, \"x9\", &v);\n"
              "{\"id\", \"Caption\", \"NetServer\", \"x10\", true, SettingKind::kText, 0, 0},\n"
              "setting_switch(\"ODBServer\", \"x13\"); setting_number_in(values, \"PortServer\", "
              "\"x14\");\n",
              &reads);
    // Names compared after load_registry_key count only in files that call it.
    scan_text("b.cpp", "if (name == \"x11\") return;", &reads);
    scan_text("c.cpp", "load_registry_key(key); if (vname != \"x12\") continue;", &reads);
    std::vector<std::string> got;
    for (const Read &r : reads)
        got.push_back(r.key + "/" + r.name);
    const std::vector<std::string> want = {
        "ODBServer/x1",  "*/x2",           "ODBServer/x3", "PortServer/x4", "PortServer/x5",
        "ODBServer/x13", "PortServer/x14", "NetServer/x6", "NetServer/x7",  "/x8",
        "/x9",           "NetServer/x10",  "*/x12"};
    EXPECT_EQ(got, want);
}

TEST(SettingsCatalog, EveryValueNameReadInTheSourcesHasARow) {
    const std::vector<Read> reads = scan_sources();
    // A scanner that finds nothing would pass anything: the sources read
    // dozens of values, among them these.
    ASSERT_GE(reads.size(), 30u);
    std::set<std::string> names;
    for (const Read &r : reads)
        names.insert(r.name);
    for (const char *known :
         {"DB_ROOT", "spares", "log_max", "lock_timeout", "DQP_TCPBUF", "DB_DATE", "logging"})
        EXPECT_EQ(names.count(known), 1u) << known << " not found by the scanner";
    for (const Read &r : reads) {
        EXPECT_TRUE(catalog_has(r)) << r.file << " reads " << (r.key == "*" ? "" : r.key + " ")
                                    << "\"" << r.name << "\", which the settings catalog lacks";
    }
}

}  // namespace
