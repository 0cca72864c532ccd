#include "support/config_cache.h"

#include <gtest/gtest.h>

#include "temp_store.h"

namespace {

using vnx::get_netserver_value;
using vnx::get_registry_value;
using vnx::kNetServerKey;
using vnx::kRootKey;

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        store = temp.open();
        ASSERT_NE(store, nullptr) << temp.last_error;
        ASSERT_EQ(store->set_value(kRootKey, "DB_ROOT", "/opt/vnx"), 0);
        ASSERT_EQ(store->set_value(kNetServerKey, "DQP_TCPBUF", "16"), 0);
        ASSERT_EQ(store->set_value(kNetServerKey, "DQP_MASTERHOST", ""), 0);
        ASSERT_EQ(store->set_value(vnx::kPortServerKey, "logging", "true"), 0);
    }

    TempStore temp;
    std::unique_ptr<vnx::ConfigStore> store;
};

TEST_F(RegistryTest, CacheMatchesNamesExactly) {
    EXPECT_EQ(get_registry_value("DB_ROOT", kRootKey), "/opt/vnx");
    EXPECT_EQ(get_registry_value("db_root", kRootKey), "");
    EXPECT_EQ(get_netserver_value("dqp_tcpbuf"), "");
}

TEST_F(RegistryTest, OnlyExactRootAndNetServerPathsAreRead) {
    EXPECT_EQ(get_registry_value("DQP_TCPBUF", kNetServerKey), "16");
    EXPECT_EQ(get_registry_value("logging", vnx::kPortServerKey), "");
    EXPECT_EQ(get_registry_value("DB_ROOT", "software\\tavorin\\vnx"), "");
}

TEST_F(RegistryTest, CacheIsNeverRefreshed) {
    EXPECT_EQ(get_registry_value("DB_ROOT", kRootKey), "/opt/vnx");
    EXPECT_EQ(get_netserver_value("DQP_TCPBUF"), "16");
    ASSERT_EQ(store->set_value(kRootKey, "DB_ROOT", "/srv/vnx"), 0);
    ASSERT_EQ(store->set_value(kRootKey, "DB_DQPMAX", "5101"), 0);
    ASSERT_EQ(store->set_value(kNetServerKey, "DQP_TCPBUF", "32"), 0);
    EXPECT_EQ(get_registry_value("DB_ROOT", kRootKey), "/opt/vnx");
    EXPECT_EQ(get_registry_value("DB_DQPMAX", kRootKey), "");
    EXPECT_EQ(get_netserver_value("DQP_TCPBUF"), "16");

    vnx::release_registry_cache();  // drops the NetServer list only
    EXPECT_EQ(get_netserver_value("DQP_TCPBUF"), "32");
    EXPECT_EQ(get_registry_value("DB_ROOT", kRootKey), "/opt/vnx");
}

TEST_F(RegistryTest, WriteUpdatesStoreAndCachedCopy) {
    EXPECT_EQ(get_netserver_value("DQP_MASTERHOST"), "");
    ASSERT_EQ(vnx::write_netserver_value("DQP_MASTERHOST", "hostA"), 0);
    EXPECT_EQ(get_netserver_value("DQP_MASTERHOST"), "hostA");
    std::string data;
    ASSERT_EQ(store->get_value(kNetServerKey, "DQP_MASTERHOST", &data), 0);
    EXPECT_EQ(data, "hostA");
}

TEST_F(RegistryTest, WriteOfNameNotCachedIsSeenOnlyByDirectRead) {
    EXPECT_EQ(get_netserver_value("DQP_TCPBUF"), "16");
    ASSERT_EQ(vnx::write_netserver_value("DQP_SVRLOG", "trace.txt"), 0);
    EXPECT_EQ(get_netserver_value("DQP_SVRLOG"), "");
    EXPECT_EQ(vnx::read_netserver_value_direct("dqp_svrlog"), "trace.txt");
}

TEST_F(RegistryTest, LongNamesAndValuesReadWholeWithLaterValues) {
    const std::string data128(128, 'a'), data5000(5000, 'b'), name200(200, 'N');
    ASSERT_EQ(store->set_value(kNetServerKey, "DB_WEBROOT", data128), 0);
    ASSERT_EQ(store->set_value(kNetServerKey, name200, data5000), 0);
    ASSERT_EQ(store->set_value(kNetServerKey, "after", "still here"), 0);
    EXPECT_EQ(get_netserver_value("DB_WEBROOT"), data128);
    EXPECT_EQ(get_netserver_value(name200), data5000);
    EXPECT_EQ(get_netserver_value("after"), "still here");
}

TEST(RegistryNoStore, MissingStoreReadsEmptyAndIsTriedAgain) {
    TempStore temp;
    EXPECT_EQ(get_registry_value("DB_ROOT", kRootKey), "");
    EXPECT_EQ(vnx::write_netserver_value("DQP_MASTERHOST", "h"), -1);
    auto store = temp.open();
    ASSERT_NE(store, nullptr) << temp.last_error;
    ASSERT_EQ(store->set_value(kRootKey, "DB_ROOT", "/opt/vnx"), 0);
    EXPECT_EQ(get_registry_value("DB_ROOT", kRootKey), "/opt/vnx");
}

TEST(BaseName, BackslashThenColonThenWhole) {
    EXPECT_EQ(vnx::base_name("C:\\vnx\\logs\\dqp.log"), "dqp.log");
    EXPECT_EQ(vnx::base_name("logs\\a:b"), "a:b");
    EXPECT_EQ(vnx::base_name("C:dqp.log"), "dqp.log");
    EXPECT_EQ(vnx::base_name("a:b:c"), "b:c");
    EXPECT_EQ(vnx::base_name("dqp.log"), "dqp.log");
}

}  // namespace

TEST_F(RegistryTest, AServersOwnValuesAreReadFreshAndExactly) {
    EXPECT_EQ(vnx::read_server_value("PortServer", "logging"), "true");
    EXPECT_EQ(vnx::read_server_value("PortServer", "LOGGING", "unset"), "unset");
    EXPECT_EQ(vnx::read_server_value("ODBServer", "lock_timeout", "5"), "5");
    ASSERT_EQ(store->set_value(std::string(kRootKey) + "\\ODBServer", "lock_timeout", "0"), 0);
    EXPECT_EQ(vnx::read_server_value("ODBServer", "lock_timeout", "5"), "0");  // not cached
}
