#include "support/config_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <set>

#include "temp_store.h"

namespace {

using vnx::ConfigStore;
using vnx::ValueList;

// Value rows in the store file, counted past the store's own interface.
int count_value_rows(const std::string &path) {
    sqlite3 *db = nullptr;
    sqlite3_stmt *stmt = nullptr;
    int count = -1;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT count(*) FROM key_values", -1, &stmt, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
        count = sqlite3_column_int(stmt, 0);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return count;
}

class ConfigStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        store = temp.open();
        ASSERT_NE(store, nullptr) << temp.last_error;
    }

    TempStore temp;
    std::unique_ptr<ConfigStore> store;
};

TEST(NormalizeKeyPath, SlashesBecomeBackslashesAndEmptyPartsGo) {
    EXPECT_EQ(vnx::normalize_key_path("SOFTWARE/Tavorin//VNX/"), "SOFTWARE\\Tavorin\\VNX");
    EXPECT_EQ(vnx::normalize_key_path("\\\\a\\/b\\"), "a\\b");
    EXPECT_EQ(vnx::normalize_key_path("NetServer"), "NetServer");
    EXPECT_EQ(vnx::normalize_key_path(""), "");
    EXPECT_EQ(vnx::normalize_key_path("/\\/"), "");
}

TEST(ConfigStoreOpen, MissingFileWithoutCreateFails) {
    TempStore temp;
    std::string err;
    EXPECT_EQ(ConfigStore::open(temp.path(), false, &err), nullptr);
    EXPECT_EQ(err,
              "cannot open configuration store \"" + temp.path() + "\": No such file or directory");
    EXPECT_EQ(ConfigStore::open_default(&err), nullptr);
}

TEST(ConfigStoreOpen, OtherSqliteDatabaseIsRefused) {
    TempStore temp;
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(temp.path().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t (x)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    std::string err;
    EXPECT_EQ(ConfigStore::open(temp.path(), true, &err), nullptr);
    EXPECT_EQ(err,
              "cannot open configuration store \"" + temp.path() + "\": not a configuration store");
}

TEST_F(ConfigStoreTest, KeyNamesMatchWithoutRegardToCase) {
    ASSERT_EQ(store->create_key("SOFTWARE\\Tavorin\\VNX\\NetServer"), 0);
    EXPECT_TRUE(store->key_exists("software\\TAVORIN\\vnx\\netserver"));
    EXPECT_FALSE(store->key_exists("SOFTWARE\\Tavorin\\VNX\\NetServer2"));
    ASSERT_EQ(store->set_value("SOFTWARE\\TAVORIN\\VNX\\NETSERVER", "DB_DATE", "dmy"), 0);
    ValueList values;
    ASSERT_EQ(store->list_values("SOFTWARE\\Tavorin\\VNX\\NetServer", &values), 0);
    EXPECT_EQ(values, (ValueList{{"DB_DATE", "dmy"}}));
}

TEST_F(ConfigStoreTest, ReplacingValueKeepsPlaceAndTakesNewName) {
    ASSERT_EQ(store->set_value("K", "LOGGING", "true"), 0);
    ASSERT_EQ(store->set_value("K", "logfile", "port.log"), 0);
    ASSERT_EQ(store->set_value("K", "DQP_TIMEOUT", "30"), 0);
    ASSERT_EQ(store->set_value("k", "logging", "false"), 0);
    ValueList values;
    ASSERT_EQ(store->list_values("K", &values), 0);
    EXPECT_EQ(values,
              (ValueList{{"logging", "false"}, {"logfile", "port.log"}, {"DQP_TIMEOUT", "30"}}));
}

TEST_F(ConfigStoreTest, GetValueAbsentReturnsOneAndEmptyData) {
    ASSERT_EQ(store->set_value("K", "a", "1"), 0);
    std::string data = "stale";
    EXPECT_EQ(store->get_value("K", "b", &data), 1);
    EXPECT_EQ(data, "");
    EXPECT_EQ(store->get_value("Other", "a", &data), 1);
}

TEST_F(ConfigStoreTest, DeleteKeyRemovesWholeSubtreeOnly) {
    ASSERT_EQ(store->set_value("N\\Users", "count", "2"), 0);
    ASSERT_EQ(store->set_value("N\\Users\\bob", "User ID", "7"), 0);
    ASSERT_EQ(store->set_value("N\\Users\\bob\\deeper", "x", "1"), 0);
    ASSERT_EQ(store->set_value("N\\UsersOld", "keep", "yes"), 0);
    ASSERT_EQ(store->set_value("N", "top", "1"), 0);

    ASSERT_EQ(store->delete_key("n\\USERS"), 0);
    EXPECT_FALSE(store->key_exists("N\\Users"));
    EXPECT_FALSE(store->key_exists("N\\Users\\bob\\deeper"));
    ValueList values;
    ASSERT_EQ(store->list_values("N\\UsersOld", &values), 0);
    EXPECT_EQ(values, (ValueList{{"keep", "yes"}}));
    ASSERT_EQ(store->list_values("N", &values), 0);
    EXPECT_EQ(values, (ValueList{{"top", "1"}}));
    EXPECT_EQ(count_value_rows(temp.path()), 2);  // no orphans left to grow the file
}

// One writer of the concurrency test: opens the store (racing the other to
// create it) and writes 500 values. Returns the exit status for the parent.
int write_500_values(const std::string &path, int writer) {
    std::string err;
    auto store = ConfigStore::open(path, true, &err);
    for (int i = 0; store && i < 500; ++i) {
        const std::string n = std::to_string(writer) + "_" + std::to_string(i);
        if (store->set_value(vnx::kNetServerKey, "v" + n, "d" + n) != 0) {
            err = store->error();
            store.reset();
        }
    }
    if (!store) fprintf(stderr, "writer %d: %s\n", writer, err.c_str());
    return store ? 0 : 1;
}

// Two processes write 500 values each into one key at the same moment; the
// busy timeout and immediate transactions must let every write through.
TEST(ConfigStoreConcurrency, TwoProcessesWritingAtOnceLoseNothing) {
    TempStore temp;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            close(go[1]);
            char byte;
            (void)!read(go[0], &byte, 1);  // returns when the parent closes the pipe
            _exit(write_500_values(temp.path(), c));
        }
    }
    close(go[0]);
    close(go[1]);
    for (pid_t child : children) {
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_EQ(status, 0);
    }

    auto store = temp.open();
    ASSERT_NE(store, nullptr) << temp.last_error;
    ValueList values;
    ASSERT_EQ(store->list_values(vnx::kNetServerKey, &values), 0);
    using ValueSet = std::set<std::pair<std::string, std::string>>;
    ValueSet expected;
    for (int c = 0; c < 2; ++c) {
        for (int i = 0; i < 500; ++i) {
            const std::string n = std::to_string(c) + "_" + std::to_string(i);
            expected.insert({"v" + n, "d" + n});
        }
    }
    EXPECT_EQ(values.size(), 1000u);
    EXPECT_EQ(ValueSet(values.begin(), values.end()), expected);
}

}  // namespace

TEST_F(ConfigStoreTest, ApplyWritesAllChangesOrNone) {
    const std::string users = "SOFTWARE\\Tavorin\\VNX\\NetServer\\Users\\ann";
    ASSERT_EQ(store->set_value(users, "password", "old"), 0);
    ASSERT_EQ(store->set_value(users, "Comment", "goes"), 0);
    // The last change fails (empty key path): the earlier ones are rolled back.
    EXPECT_LT(store->apply({{vnx::StoreChange::kDeleteKey, users, {}, {}},
                            {vnx::StoreChange::kSetValue, users, "password", "new"},
                            {vnx::StoreChange::kSetValue, "", "x", "y"}}),
              0);
    vnx::ValueList values;
    ASSERT_EQ(store->list_values(users, &values), 0);
    EXPECT_EQ(values, (vnx::ValueList{{"password", "old"}, {"Comment", "goes"}}));

    EXPECT_EQ(store->apply({{vnx::StoreChange::kDeleteKey, users, {}, {}},
                            {vnx::StoreChange::kSetValue, users, "password", "new"},
                            {vnx::StoreChange::kDeleteValue, users, "absent", {}},
                            {vnx::StoreChange::kCreateKey, users + "\\sub", {}, {}}}),
              0);
    ASSERT_EQ(store->list_values(users, &values), 0);
    EXPECT_EQ(values, (vnx::ValueList{{"password", "new"}}));
    EXPECT_TRUE(store->key_exists(users + "\\sub"));
}
