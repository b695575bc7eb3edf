// tests/tools/tool_process.h
//
// The tools as a user runs them: a Child is one binary started with its
// stdout and stderr on pipes, read while it runs; run() starts one and
// collects everything until it exits; ExampleHost is a
// tarvin-example-host for the length of a test case.
//
// Threads: a Child belongs to the test's thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "common/unique_fd.h"

namespace tooltest {

using namespace std::chrono_literals;

struct Outcome {
  int exitCode = -1;  // -1: killed after the time limit
  std::string out;
  std::string err;
};

class Child {
 public:
  explicit Child(const std::vector<std::string>& args);
  ~Child();  // kills a child that is still running
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Reads output until `ready(outcome)` holds (true) or `limit` passes or
  // the child closes its output (false).
  bool waitFor(const std::function<bool(const Outcome&)>& ready, std::chrono::milliseconds limit = 10s);
  // Sends `signal` (unless 0), then reads until the child exits; kills it
  // after `limit` so that a hang fails the test instead of the whole run.
  Outcome finish(int signal = 0, std::chrono::milliseconds limit = 20s);
  const Outcome& seen() const { return outcome; }
  pid_t pid() const { return child; }

 private:
  bool pump(std::chrono::steady_clock::time_point deadline);

  pid_t child = -1;
  UniqueFd out, err;
  Outcome outcome;
};

Outcome run(const std::vector<std::string>& args, std::chrono::milliseconds limit = 20s);
// tarvin-remote with these arguments, run to its end.
Outcome remote(std::vector<std::string> args, std::chrono::milliseconds limit = 20s);

std::vector<std::string> lines(const std::string& text);
bool contains(const std::string& text, const std::string& part);

// One tarvin-example-host; stopped with SIGTERM, expecting a clean exit.
class ExampleHost {
 public:
  explicit ExampleHost(const std::string& rate = "200", const std::string& name = "e2e-host");
  ~ExampleHost();
  std::string target() const { return "127.0.0.1:" + std::to_string(port); }
  int port = 0;
  pid_t pid = -1;

 private:
  Child process;
};

}  // namespace tooltest
