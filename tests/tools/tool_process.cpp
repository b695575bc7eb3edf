// tests/tools/tool_process.cpp
//
// Subprocesses for the end-to-end tests of the tools: fork and exec with
// pipes, output read in poll() with deadlines.
//
// Threads: a Child belongs to the test's thread.
#include "tool_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>

namespace tooltest {

using Clock = std::chrono::steady_clock;

Child::Child(const std::vector<std::string>& args) {
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return;
  child = ::fork();
  if (child == 0) {
    ::dup2(outPipe[1], STDOUT_FILENO);
    ::dup2(errPipe[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  out.reset(outPipe[0]);
  err.reset(errPipe[0]);
}

Child::~Child() {
  if (child <= 0) return;
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

bool Child::pump(Clock::time_point deadline) {
  if (!out && !err) return false;
  pollfd fds[2] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (::poll(fds, 2, static_cast<int>(std::clamp<long>(left.count(), 0, 100))) < 0 && errno != EINTR) return false;
  for (int i = 0; i < 2; ++i) {
    UniqueFd& fd = i == 0 ? out : err;
    if (!fd || fds[i].revents == 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n <= 0) {
      fd.reset();
    } else {
      (i == 0 ? outcome.out : outcome.err).append(buffer, static_cast<std::size_t>(n));
    }
  }
  return true;
}

bool Child::waitFor(const std::function<bool(const Outcome&)>& ready, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!ready(outcome)) {
    if (Clock::now() >= deadline || !pump(deadline)) return false;
  }
  return true;
}

Outcome Child::finish(int signal, std::chrono::milliseconds limit) {
  if (child <= 0) return outcome;
  if (signal != 0) ::kill(child, signal);
  const auto deadline = Clock::now() + limit;
  bool killed = false;
  while (out || err) {
    if (Clock::now() >= deadline && !killed) {
      ::kill(child, SIGKILL);
      killed = true;
    }
    if (!pump(Clock::now() + 100ms) && (out || err)) break;
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  child = -1;
  if (!killed && WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
  return outcome;
}

Outcome run(const std::vector<std::string>& args, std::chrono::milliseconds limit) {
  return Child(args).finish(/*signal=*/0, limit);
}

Outcome remote(std::vector<std::string> args, std::chrono::milliseconds limit) {
  args.insert(args.begin(), TARVIN_REMOTE_BIN);
  return run(args, limit);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

ExampleHost::ExampleHost(const std::string& rate, const std::string& name)
    : process({TARVIN_EXAMPLE_HOST_BIN, "--plugin", TARVIN_PLUGIN_PATH, "--name", name, "--rate", rate,
               "--threads", "2"}) {
  pid = process.pid();
  process.waitFor([&](const Outcome& o) {
    const std::size_t at = o.out.find("target port ");
    if (at == std::string::npos || o.out.find('\n', at) == std::string::npos) return false;
    port = std::stoi(o.out.substr(at + 12));
    return true;
  });
}

ExampleHost::~ExampleHost() {
  const Outcome outcome = process.finish(SIGTERM);
  EXPECT_EQ(outcome.exitCode, 0) << "example host: " << outcome.err;
}

}  // namespace tooltest
