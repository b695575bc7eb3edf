// tools/example_host/main.cpp
//
// tarvin-example-host: a small application on the stand-in framework that
// loads the remote log target plug-in and logs at a steady rate (--rate max:
// as fast as it can) from several
// threads, so that tarvin-remote has something to show. Three components
// (net, db, ui) describe five levels each; debug and trace start disabled,
// as they would in production, and can be enabled remotely.
//
// It prints the UDP port its target bound ("target port 57008") on stdout,
// runs until SIGINT, SIGTERM or --duration, then detaches and releases the
// target and unloads the plug-in.
//
// Threads: the main thread sets up, waits for a stop signal with
// sigtimedwait() and tears down; --threads logging threads call
// TARVIN_LOG. SIGINT and SIGTERM are blocked in every thread, so only the
// main thread's sigtimedwait() sees them.
#include <arpa/inet.h>
#include <dirent.h>
#include <signal.h>
#include <sys/socket.h>

#include <tarvin/framework.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/option_checks.h"
#include "wire/wire_format.h"

namespace {

// Numeric levels of the host side; their client levels are 31, 30, 29, 28, 27.
constexpr unsigned int kError = 3;
constexpr unsigned int kWarning = 4;
constexpr unsigned int kInfo = 5;
constexpr unsigned int kDebug = 7;
constexpr unsigned int kTrace = 8;
constexpr unsigned int kDefaultMask = (1u << kError) | (1u << kWarning) | (1u << kInfo);

const tarvin::LevelDescriptions kLevels = {{kError, "error"},
                                           {kWarning, "warning"},
                                           {kInfo, "info"},
                                           {kDebug, "debug"},
                                           {kTrace, "trace"}};

struct Message {
  const char* component;
  unsigned int level;
  const char* text;
};

// One cycle of what the application says; disabled levels are dropped by
// the framework, so enabling debug remotely makes the debug lines appear.
constexpr Message kScript[] = {
    {"net", kInfo, "accepted connection"},
    {"net", kDebug, "read 512 bytes"},
    {"db", kInfo, "query done"},
    {"net", kTrace, "poll returned 1"},
    {"ui", kWarning, "frame took 40 ms"},
    {"db", kDebug, "cache hit"},
    {"net", kWarning, "slow peer"},
    {"ui", kInfo, "redraw"},
    {"db", kError, "deadlock detected, retrying"},
    {"ui", kDebug, "pointer moved"},
};

// The UDP port in 57008-57017 that one of our descriptors is bound to: the
// target's log socket, since this process opens no other socket. Read from
// our own descriptors rather than by asking the range with DRQs, which
// cannot tell our target from another process's.
std::optional<std::uint16_t> findTargetPort() {
  DIR* fds = ::opendir("/proc/self/fd");
  if (fds == nullptr) return std::nullopt;
  std::optional<std::uint16_t> port;
  while (const dirent* entry = ::readdir(fds)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == ::dirfd(fds)) continue;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET) {
      continue;  // not a socket, or not ours to look at
    }
    const std::uint16_t bound = ntohs(address.sin_port);
    if (bound >= wire::kFirstPort && bound < wire::kFirstPort + wire::kPortCount) port = bound;
  }
  ::closedir(fds);
  return port;
}

// `perThreadRate` 0: no pacing, as fast as log() returns (--rate max).
void logLoop(unsigned int thread, unsigned int threads, double perThreadRate,
             const std::atomic<bool>& stop) {
  using Clock = std::chrono::steady_clock;
  const bool paced = perThreadRate > 0;
  const auto period = paced ? std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(1.0 / perThreadRate))
                            : Clock::duration::zero();
  auto next = Clock::now();
  unsigned long counter = 0;
  // Threads start at different places of the script so that together they
  // cover it evenly.
  std::size_t step = thread * (std::size(kScript) / threads);
  while (!stop.load(std::memory_order_relaxed)) {
    const Message& m = kScript[step++ % std::size(kScript)];
    TARVIN_LOG(m.component, m.level, std::string(m.text) + " (#" + std::to_string(++counter) + ")");
    if (!paced) continue;
    next += period;
    std::this_thread::sleep_until(next);
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Example application that logs through the remote log target plug-in.",
               "tarvin-example-host"};
  std::string pluginPath = tarvin::defaultPluginPath();
  std::string name = "tarvin-example-host";
  std::string rateText = "10";
  unsigned int threads = 2;
  std::string duration;
  app.set_version_flag("--version", "tarvin-example-host " TARVIN_VERSION);
  app.add_option("--plugin", pluginPath, "Path of libtarvint_remote.so.1")->capture_default_str();
  app.add_option("--name", name, "Application name the target reports")->capture_default_str();
  const CLI::Validator rateCheck = cli::numberCheck(0.1, 100000.0);
  app.add_option(
         "--rate", rateText,
         "Messages per second, all threads together (disabled levels included), up to 100000; "
         "max: each thread logs as fast as it can")
      ->check([rateCheck](const std::string& text) -> std::string {
        if (text == "max") return "";
        return rateCheck(text);
      })
      ->type_name("NUMBER|max")
      ->capture_default_str();
  app.add_option("--threads", threads, "Logging threads")
      ->check(cli::wholeNumberCheck(1, 64))
      ->type_name("N")
      ->capture_default_str();
  app.add_option("--duration", duration,
                 "Stop after this long (e.g. 30s; default: until SIGINT/SIGTERM)")
      ->check(cli::durationCheck())
      ->type_name("DURATION");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "tarvin-example-host: error: " << e.what()
              << "\nRun with --help for more information.\n";
    return 2;
  }

  // Blocked before any thread starts (the plug-in's worker included), so
  // the signals wait for sigtimedwait() below.
  sigset_t stopSignals;
  ::sigemptyset(&stopSignals);
  ::sigaddset(&stopSignals, SIGINT);
  ::sigaddset(&stopSignals, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  tarvin::setApplicationName(name);  // before the target, so discovery finds it named
  for (const char* component : {"net", "db", "ui"})
    tarvin::defineComponent(component, kDefaultMask, kLevels);

  std::string error;
  std::unique_ptr<tarvin::Plugin> plugin = tarvin::Plugin::load(pluginPath, error);
  if (!plugin) {
    std::cerr << "tarvin-example-host: error: cannot load plug-in " << pluginPath << ": " << error
              << '\n';
    return 1;
  }
  ILogTarget* target = plugin->createTarget();
  if (target == nullptr) {
    std::cerr << "tarvin-example-host: error: " << pluginPath << " makes no log targets\n";
    return 1;
  }
  tarvin::attachTarget(target);

  const std::optional<std::uint16_t> port = findTargetPort();
  if (port) {
    std::cout << "target port " << *port << std::endl;
  } else {
    // The target still takes messages; it just cannot be reached (see syslog).
    std::cerr << "tarvin-example-host: warning: the target bound no port of " << wire::kFirstPort
              << "-" << wire::kFirstPort + wire::kPortCount - 1 << '\n';
  }
  const double rate = rateText == "max" ? 0 : std::stod(rateText);
  std::cout << "logging "
            << (rate > 0 ? rateText + " messages/s" : std::string("as fast as it can")) << " from "
            << threads << " threads as \"" << name << "\" (components net, db, ui)" << std::endl;

  std::atomic<bool> stop{false};
  std::vector<std::thread> loggers;
  for (unsigned int i = 0; i < threads; ++i)
    loggers.emplace_back(logLoop, i, threads, rate / threads, std::cref(stop));

  timespec limit{};
  timespec* wait = nullptr;
  if (!duration.empty()) {
    const std::chrono::milliseconds ms = *cli::parseDuration(duration);  // checked while parsing
    limit.tv_sec = static_cast<time_t>(ms.count() / 1000);
    limit.tv_nsec = static_cast<long>(ms.count() % 1000) * 1'000'000;
    wait = &limit;
  }
  int signal = -1;
  do {
    signal = ::sigtimedwait(&stopSignals, nullptr, wait);
  } while (signal < 0 && errno == EINTR);  // EAGAIN: the duration has passed

  stop = true;
  for (std::thread& t : loggers) t.join();
  tarvin::detachTarget(target);  // no log() may run into a released target
  plugin->releaseTarget(target);
  plugin.reset();
  std::cout << "stopped" << (signal > 0 ? std::string(" on ") + ::strsignal(signal) : std::string())
            << std::endl;
  return 0;
}
