// A configuration store in a temporary directory that is also its DB_ROOT.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "support/config_store.h"

namespace consoletest {

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vnx_console_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        std::string err;
        store_ = vnx::ConfigStore::open(root_ + "/registry.db", true, &err);
        ASSERT_NE(store_, nullptr) << err;
        store_->set_value(vnx::kRootKey, "DB_ROOT", root_);
    }
    void TearDown() override {
        store_.reset();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    std::string value(const std::string &key, const std::string &name) {
        std::string data;
        return store_->get_value(key, name, &data) == 0 ? data : "<absent>";
    }
    vnx::ValueList values(const std::string &key) {
        vnx::ValueList list;
        store_->list_values(key, &list);
        return list;
    }
    std::string file(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    void write_file(const std::string &path, const std::string &text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    // Makes `dir` look like an installation: an executable "odbserver" in it.
    void install_gateway(const std::string &dir) {
        write_file(dir + "/odbserver", "#!/bin/sh\n");
        std::filesystem::permissions(dir + "/odbserver", std::filesystem::perms(0755));
    }

    std::string root_;
    std::unique_ptr<vnx::ConfigStore> store_;
};

}  // namespace consoletest
