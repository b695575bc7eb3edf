// tests/support/target_fixture.h
//
// The plug-in loaded into the stand-in host as a real host would load it,
// targets made and released through its factory, and the process-wide
// counts (descriptors, threads) that show what a target holds.
//
// Threads: the test's thread.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "support/interpose.h"
#include "support/loopback_client.h"
#include "support/syslog_capture.h"
#include "tarvin/framework.h"
#include "wire/wire_format.h"

// Loaded on first use, kept for the test process.
tarvin::Plugin& plugin();

// A target made through the factory; released when it goes out of scope.
class Target {
 public:
  explicit Target(std::uint16_t port = wire::kFirstPort);
  ~Target();
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;

  ILogTarget* operator->() const { return target; }
  ILogTarget* get() const { return target; }
  std::uint16_t port() const { return boundPort; }
  // Logs one message with the framework's convention, bypassing the masks.
  void log(unsigned int level, const std::string& text) const;

 private:
  ILogTarget* target;
  std::uint16_t boundPort;
};

int openDescriptors();
std::set<long> threadIds();  // of this process
int runningThreads();

// Resets the host, the fault hooks and the captured messages before each test.
class TargetTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};
