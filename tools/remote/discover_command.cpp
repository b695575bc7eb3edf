// tools/remote/discover_command.cpp
//
// `tarvin-remote discover`: a DRQ to every port of the range on each host
// (or to the one port of HOST:PORT), answers collected for a window
// (find_targets.h) and printed one line per target, sorted by address and
// port.
//
// Threads: single-threaded tool.
#include <arpa/inet.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "base/json_line.h"
#include "base/stop_signal.h"
#include "base/tool_error.h"
#include "base/visible_text.h"
#include "cli/option_checks.h"
#include "client/discovery_sweep.h"
#include "client/find_targets.h"
#include "remote/command.h"
#include "remote/command_options.h"

namespace remote {
namespace {

struct DiscoverOptions {
  CommonFlags common;
  std::vector<std::string> hosts;  // empty: 127.0.0.1
  bool broadcast = false;
  std::string window = "1s";
};

int runDiscover(const DiscoverOptions& options) {
  const CommonOptions common = options.common.read();
  const std::chrono::milliseconds window = parseDuration(options.window, "--wait");
  installStopHandlers();
  Session session(common.retry, options.broadcast);
  const std::vector<std::string> hosts =
      options.hosts.empty() ? std::vector<std::string>{"127.0.0.1"} : options.hosts;

  DiscoverySweep sweep;
  std::vector<Endpoint> named;  // HOST:PORT given: each must answer
  for (const std::string& host : hosts) {
    const TargetAddress given = parseTargetAddress(host);
    if (given.port) {
      named.push_back(resolve(given.host, *given.port));
      sweep.addPort(named.back());
    } else {
      sweep.addHost(resolve(given.host, 0));
    }
  }

  const FoundTargets result = findTargets(session, sweep, common.retry.retries + 1, window);
  const auto& found = result.found;
  const auto& refused = result.refused;

  for (const auto& [key, target] : found) {
    if (common.json) {
      nlohmann::json line = {
          {"target", target.from.text()},
          {"port", key.second},
          {"uuid", codec::uuidToHex(target.response.uuid)},
          {"application", target.response.applicationName},
      };
      std::cout << jsonLine(line) << '\n';
    } else {
      std::cout << target.from.text() << "  " << codec::uuidToHex(target.response.uuid) << "  "
                << visible(target.response.applicationName) << '\n';
    }
  }
  std::cout.flush();
  for (const Endpoint& target : named) {
    if (found.contains(targetKey(target))) continue;
    throw ToolError{
        ErrorKind::kNoAnswer,
        (refused.contains(targetKey(target)) ? "nothing listens on " : "no target answered on ") +
            target.text()};
  }
  if (found.empty()) {
    std::string where;
    for (const std::string& host : hosts) where += (where.empty() ? "" : ", ") + host;
    const bool closed = refused.size() == sweep.size();
    throw ToolError{ErrorKind::kNoAnswer,
                    (closed ? "nothing listens on " : "no target answered on ") + where +
                        (named.size() == sweep.size() ? "" : " ports " + targetPortRange())};
  }
  return 0;
}

}  // namespace

const Command kDiscoverCommand = {
    "discover", "List the targets that answer a discovery request", [](CLI::App& app) -> Run {
      auto options = std::make_shared<DiscoverOptions>();
      app.add_option("hosts", options->hosts,
                     "HOST (every port of the range) or HOST:PORT; default 127.0.0.1");
      app.add_flag("--broadcast", options->broadcast, "Allow broadcast addresses among the hosts");
      app.add_option("--wait", options->window, "How long to collect answers")
          ->check(cli::durationCheck())
          ->type_name("DURATION")
          ->capture_default_str();
      addCommonOptions(app, options->common);
      return [options] { return runDiscover(*options); };
    }};

}  // namespace remote
