// tests/tools/tool_process.h
//
// The tools as a user runs them: a Child is one binary started with its
// stdout and stderr on pipes, read while it runs; remote() runs
// tarvin-remote to its end; ExampleHost is a tarvin-example-host for the
// length of a test case.
//
// Threads: a Child belongs to the test's thread.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/socket_address.h"
#include "common/unique_fd.h"

namespace tooltest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Outcome {
  int exitCode = -1;  // -1: killed after the time limit
  std::string out;
  std::string err;
};

class Child {
 public:
  // Not copyable (UniqueFd members): one owner kills and reaps the child.
  explicit Child(const std::vector<std::string>& args) {
    int ends[2][2];  // stdout, stderr
    if (::pipe2(ends[0], O_CLOEXEC) != 0 || ::pipe2(ends[1], O_CLOEXEC) != 0) return;
    child = ::fork();
    if (child == 0) {
      ::dup2(ends[0][1], STDOUT_FILENO);
      ::dup2(ends[1][1], STDERR_FILENO);
      std::vector<char*> argv;
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    for (int i = 0; i < 2; ++i) {
      ::close(ends[i][1]);
      pipes[i].reset(ends[i][0]);
    }
  }
  ~Child() {  // kills a child that is still running
    if (child <= 0) return;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  }
  // Reads output until `ready(outcome)` holds (true) or `limit` passes or
  // the child closes its output (false).
  bool waitFor(const std::function<bool(const Outcome&)>& ready,
               std::chrono::milliseconds limit = 10s) {
    const auto deadline = Clock::now() + limit;
    while (!ready(outcome)) {
      if (Clock::now() >= deadline || !pump(deadline)) return false;
    }
    return true;
  }
  // Sends `signal` (unless 0), then reads until the child exits; kills it
  // after `limit` so that a hang fails the test instead of the whole run.
  Outcome finish(int signal = 0, std::chrono::milliseconds limit = 20s) {
    if (child <= 0) return outcome;
    if (signal != 0) ::kill(child, signal);
    const auto deadline = Clock::now() + limit;
    bool killed = false;
    while (pump(Clock::now() + 100ms)) {
      if (Clock::now() >= deadline && !killed) killed = ::kill(child, SIGKILL) == 0;
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    child = -1;
    if (!killed && WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
    return outcome;
  }
  const Outcome& seen() const { return outcome; }
  pid_t pid() const { return child; }
  // Stops reading the child's stdout, as a reader that stopped: its
  // writes block once the pipe is full. false: reads it again.
  void holdOutput(bool on = true) { holding = on; }

 private:
  // One poll() of at most 100 ms over both pipes; false once both are closed.
  bool pump(Clock::time_point deadline) {
    if ((!pipes[0] || holding) && !pipes[1]) return false;
    pollfd fds[2] = {{pipes[0].get(), POLLIN, 0}, {pipes[1].get(), POLLIN, 0}};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (holding) fds[0].fd = -1;
    ::poll(fds, 2, static_cast<int>(std::clamp<long>(left.count(), 0, 100)));
    for (int i = 0; i < 2; ++i) {
      if (!pipes[i] || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(pipes[i].get(), buffer, sizeof buffer);
      if (n <= 0) pipes[i].reset();
      if (n > 0) (i == 0 ? outcome.out : outcome.err).append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  }

  pid_t child = -1;
  UniqueFd pipes[2];     // stdout, stderr
  bool holding = false;  // stdout is not read
  Outcome outcome;
};

// tarvin-remote with these arguments, run to its end, and a test failure
// unless it exits with `expectedExit`.
inline Outcome remote(std::vector<std::string> args, int expectedExit = 0) {
  args.insert(args.begin(), TARVIN_REMOTE_BIN);
  const Outcome outcome = Child(args).finish();
  EXPECT_EQ(outcome.exitCode, expectedExit)
      << "tarvin-remote " << args.at(1) << ": " << outcome.err;
  return outcome;
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// One tarvin-example-host; stopped with SIGTERM, expecting a clean exit.
class ExampleHost {
 public:
  explicit ExampleHost(const std::string& rate = "200", const std::string& name = "e2e-host")
      : process({TARVIN_EXAMPLE_HOST_BIN, "--plugin", TARVIN_PLUGIN_PATH, "--name", name, "--rate",
                 rate, "--threads", "2"}) {
    process.waitFor([&](const Outcome& o) {
      const std::size_t at = o.out.find("target port ");
      if (at == std::string::npos || o.out.find('\n', at) == std::string::npos) return false;
      port = std::stoi(o.out.substr(at + 12));
      return true;
    });
    EXPECT_NE(port, 0) << "example host did not start: " << process.seen().err;
  }
  ~ExampleHost() {
    EXPECT_EQ(process.finish(SIGTERM).exitCode, 0) << "example host: " << process.seen().err;
  }
  std::string target() const { return "127.0.0.1:" + std::to_string(port); }
  int port = 0;

 private:
  Child process;
};

}  // namespace tooltest
