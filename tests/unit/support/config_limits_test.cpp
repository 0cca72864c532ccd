// Limits of the configuration store: the checks at their boundaries, and the
// store refusing (writing nothing) what lies beyond them.
#include "support/config_limits.h"

#include <gtest/gtest.h>

#include "support/config_store.h"
#include "temp_store.h"

namespace {

using vnx::kMaxKeyPathBytes;
using vnx::kMaxValueDataBytes;
using vnx::kMaxValueNameBytes;

// A key path of exactly `bytes` bytes below "SOFTWARE".
std::string key_of_length(size_t bytes) {
    std::string key = "SOFTWARE";
    while (key.size() + 2 <= bytes)
        key += "\\" + std::string(std::min<size_t>(bytes - key.size() - 1, 100), 'k');
    if (key.size() < bytes) key += "k";
    return key;
}

}  // namespace

TEST(ConfigLimits, KeyPathAtMost512BytesOfNonEmptyNamesWithoutDotsOrControls) {
    ASSERT_EQ(key_of_length(kMaxKeyPathBytes).size(), 512u);
    EXPECT_EQ(vnx::key_path_problem(key_of_length(512)), "");
    EXPECT_EQ(vnx::key_path_problem(key_of_length(513)), "the key path is longer than 512 bytes");
    EXPECT_EQ(vnx::key_path_problem(std::string(100000, 'k')),
              "the key path is longer than 512 bytes");
    EXPECT_EQ(vnx::key_path_problem(""), "the key path is empty");
    EXPECT_EQ(vnx::key_path_problem("A\\\\B"), "the key path has an empty key name");
    EXPECT_EQ(vnx::key_path_problem("A\\B\\"), "the key path has an empty key name");
    EXPECT_EQ(vnx::key_path_problem("A\\..\\B"), "the key path has a \"..\" key name");
    EXPECT_EQ(vnx::key_path_problem(".\\B"), "the key path has a \".\" key name");
    EXPECT_EQ(vnx::key_path_problem("A\\..."), "");  // only "." and ".." are special
    for (const char c : {'\x01', '\t', '\n', '\x1f', '\x7f'}) {
        EXPECT_EQ(vnx::key_path_problem(std::string("A\\B") + c),
                  "the key path holds a control character")
            << int(c);
    }
    EXPECT_EQ(vnx::key_path_problem("SOFTWARE\\Tavorin\\VNX\\Ünïcode \"x=y\""), "");
}

TEST(ConfigLimits, ValueNameHoldsOneTo255BytesWithoutControls) {
    EXPECT_EQ(vnx::value_name_problem(std::string(kMaxValueNameBytes, 'n')), "");
    EXPECT_EQ(vnx::value_name_problem(std::string(256, 'n')),
              "the value name is longer than 255 bytes");
    EXPECT_EQ(vnx::value_name_problem(""), "the value name is empty");
    EXPECT_EQ(vnx::value_name_problem("a\tb"), "the value name holds a control character");
    EXPECT_EQ(vnx::value_name_problem("a=b \"c\" \\d"), "");
}

TEST(ConfigLimits, ValueDataHoldsAtMost8192BytesAndOnlyTheTabOfTheControls) {
    EXPECT_EQ(vnx::value_data_problem(""), "");
    EXPECT_EQ(vnx::value_data_problem(std::string(kMaxValueDataBytes, 'd')), "");
    EXPECT_EQ(vnx::value_data_problem(std::string(8193, 'd')),
              "the value is longer than 8192 bytes");
    EXPECT_EQ(vnx::value_data_problem("a\tb"), "");
    for (const char *bad : {"two\nlines", "cr\r", "esc\x1b", "del\x7f"}) {
        EXPECT_EQ(vnx::value_data_problem(bad), "the value holds a control character") << bad;
    }
    // Multi-byte characters count by their bytes.
    EXPECT_EQ(vnx::value_data_problem(std::string(8190, 'x') + "é"), "");
    EXPECT_EQ(vnx::value_data_problem(std::string(8191, 'x') + "é"),
              "the value is longer than 8192 bytes");
}

TEST(ConfigLimits, StoreRefusesWritesBeyondTheLimitsAndWritesNothing) {
    TempStore temp;
    auto store = temp.open();
    ASSERT_NE(store, nullptr) << temp.last_error;
    const std::string net = vnx::kNetServerKey;
    EXPECT_EQ(store->set_value(net, "big", std::string(5 * 1024 * 1024, 'v')), -1);
    EXPECT_EQ(store->error(), "the value is longer than 8192 bytes");
    EXPECT_EQ(store->set_value(net + "\\" + std::string(100000, 'k'), "x", "1"), -1);
    EXPECT_EQ(store->set_value(net + "\\..\\x", "x", "1"), -1);
    EXPECT_EQ(store->create_key(net + "\\..\\x"), -1);
    EXPECT_EQ(store->set_value(net, "", "1"), -1);
    EXPECT_EQ(store->set_value(net, "x", "line\nbreak"), -1);
    EXPECT_FALSE(store->key_exists(net));

    // A batch with one change beyond the limits writes none of them.
    const std::vector<vnx::StoreChange> batch = {
        {vnx::StoreChange::kSetValue, net, "good", "1"},
        {vnx::StoreChange::kSetValue, net, std::string(256, 'n'), "1"},
    };
    EXPECT_EQ(store->apply(batch), -1);
    EXPECT_EQ(store->error(), "the value name is longer than 255 bytes");
    EXPECT_FALSE(store->key_exists(net));

    EXPECT_EQ(store->set_value(net, std::string(255, 'n'), std::string(8192, 'd')), 0);
    std::string data;
    EXPECT_EQ(store->get_value(net, std::string(255, 'n'), &data), 0);
    EXPECT_EQ(data.size(), 8192u);
}
