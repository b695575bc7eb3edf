// tools/remote/discover_command.cpp
//
// `tarvin-remote discover`: a DRQ to every port of the range on each host,
// answers collected for a window and printed one line per target, sorted by
// address and port.
//
// The window is split into rounds (one per attempt); each round resends the
// DRQ to every port that has not answered yet, so a lost datagram costs one
// round, not the target. Broadcast answers come from the targets' own
// addresses, so broadcast DRQs are resent every round.
//
// Threads: single-threaded tool.
#include <arpa/inet.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/option_checks.h"
#include "remote/command.h"
#include "remote/command_options.h"
#include "remote/discovery_sweep.h"
#include "remote/json_line.h"
#include "remote/stop_signal.h"
#include "remote/tool_error.h"

namespace remote {
namespace {

struct DiscoverOptions {
  CommonFlags common;
  std::vector<std::string> hosts;  // empty: 127.0.0.1
  bool broadcast = false;
  std::string window = "1s";
};

struct Found {
  Endpoint from;
  codec::DiscoveryResponse response;
};

// Sort key: address in host order, then port.
std::pair<std::uint32_t, std::uint16_t> sortKey(const Endpoint& e) {
  return {ntohl(e.address.sin_addr.s_addr), ntohs(e.address.sin_port)};
}

int runDiscover(const DiscoverOptions& options) {
  const CommonOptions common = options.common.read();
  const std::chrono::milliseconds window = parseDuration(options.window, "--wait");
  Session session(common.retry, options.broadcast);
  const std::vector<std::string> hosts =
      options.hosts.empty() ? std::vector<std::string>{"127.0.0.1"} : options.hosts;

  DiscoverySweep sweep;
  for (const std::string& host : hosts) sweep.addHost(resolve(host, 0));

  std::map<std::pair<std::uint32_t, std::uint16_t>, Found> found;
  const int rounds = common.retry.retries + 1;
  const auto roundLength = window / rounds;
  for (int round = 0; round < rounds && !stopRequested(); ++round) {
    sweep.send(session, [&](const Endpoint& probe) { return found.contains(sortKey(probe)); });
    const auto deadline = Clock::now() + roundLength;
    Received received;
    while (session.receive(deadline, received) == Session::Wait::kDatagram) {
      if (auto* response = std::get_if<codec::DiscoveryResponse>(&received.datagram)) {
        found.emplace(sortKey(received.from), Found{received.from, std::move(*response)});
      }
    }
  }

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
                << target.response.applicationName << '\n';
    }
  }
  std::cout.flush();
  if (found.empty()) {
    std::string where;
    for (const std::string& host : hosts) where += (where.empty() ? "" : ", ") + host;
    throw ToolError{kExitNoAnswer, "no target answered on " + where};
  }
  return 0;
}

}  // namespace

const Command kDiscoverCommand = {
    "discover", "List the targets that answer a discovery request", [](CLI::App& app) -> Run {
      auto options = std::make_shared<DiscoverOptions>();
      app.add_option("hosts", options->hosts, "Hosts to ask (default 127.0.0.1)");
      app.add_flag("--broadcast", options->broadcast, "Allow broadcast addresses among the hosts");
      app.add_option("--wait", options->window, "How long to collect answers")
          ->check(cli::durationCheck())
          ->type_name("DURATION")
          ->capture_default_str();
      addCommonOptions(app, options->common);
      return [options] { return runDiscover(*options); };
    }};

}  // namespace remote
