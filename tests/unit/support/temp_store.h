// A configuration store of its own for each test: VNX_REGISTRY names a file in
// a fresh temporary directory, removed afterwards; the registry cache starts
// empty.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/config_cache.h"
#include "support/config_store.h"

class TempStore {
  public:
    TempStore() {
        std::string dir = "/tmp/vnx_store_XXXXXX";
        if (mkdtemp(dir.data()) != nullptr) dir_ = dir;
        path_ = dir_ + "/registry.db";
        setenv("VNX_REGISTRY", path_.c_str(), 1);
        vnx::reset_registry_cache_for_tests();
    }
    ~TempStore() {
        for (const char *suffix : {"", "-wal", "-shm"})
            std::remove((path_ + suffix).c_str());
        rmdir(dir_.c_str());
        unsetenv("VNX_REGISTRY");
        vnx::reset_registry_cache_for_tests();
    }

    const std::string &path() const { return path_; }
    // Opens the store, creating it when needed; null and last_error on failure.
    std::unique_ptr<vnx::ConfigStore> open() {
        return vnx::ConfigStore::open(path_, true, &last_error);
    }

    std::string last_error;

  private:
    std::string dir_, path_;
};
