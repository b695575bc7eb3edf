// tests/tools/store_files.h
//
// Record stores the tools write in the test's temporary directory: a fresh
// path per case, and a wait for what another process has committed.
//
// Threads: the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "store/store.h"

namespace tooltest {

// A store path for `name`, with nothing left of an earlier run.
inline std::string freshStore(const std::string& name) {
  const std::string path = ::testing::TempDir() + name + ".db";
  for (const char* suffix : {"", "-wal", "-shm", "-lock"}) std::remove((path + suffix).c_str());
  return path;
}

// Waits (10 s at most) until the store at `db` has committed `entries`
// records and gaps.
inline bool waitForEntries(const std::string& db, std::int64_t entries) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    try {
      if (store::openStore(db, store::Access::kRead)->lastId() >= entries) return true;
    } catch (const store::StoreError&) {
      // not created yet
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    // Another process's commit: nothing to wait on.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace tooltest
