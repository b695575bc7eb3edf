// tools/remote/discover_command.cpp
//
// `tarvin-remote discover`: a DRQ to every port of the range on each host
// (or to the one port of HOST:PORT), answers collected for a window and
// printed one line per target, sorted by address and port. The window ends
// early once every port asked has answered or was refused as closed.
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
#include <set>

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

  std::map<std::pair<std::uint32_t, std::uint16_t>, Found> found;
  std::set<std::pair<std::uint32_t, std::uint16_t>> refused;
  const auto settled = [&](const Endpoint& probe) {
    return found.contains(sortKey(probe)) || refused.contains(sortKey(probe));
  };
  const auto allSettled = [&] {
    return std::all_of(sweep.endpoints().begin(), sweep.endpoints().end(), settled);
  };
  const int rounds = common.retry.retries + 1;
  const auto roundLength = window / rounds;
  for (int round = 0; round < rounds && !stopRequested() && !allSettled(); ++round) {
    sweep.send(session, settled);
    const auto deadline = Clock::now() + roundLength;
    Received received;
    for (;;) {
      const auto wait = session.receive(deadline, received);
      if (wait == Session::Wait::kRefused) {
        refused.insert(sortKey(received.from));
        if (allSettled()) break;  // every port answered or is closed: nothing more will come
        continue;
      }
      if (wait != Session::Wait::kDatagram) break;
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
  for (const Endpoint& target : named) {
    if (found.contains(sortKey(target))) continue;
    throw ToolError{kExitNoAnswer, (refused.contains(sortKey(target)) ? "nothing listens on "
                                                                        : "no target answered on ") +
                                       target.text()};
  }
  if (found.empty()) {
    std::string where;
    for (const std::string& host : hosts) where += (where.empty() ? "" : ", ") + host;
    const bool closed = refused.size() == sweep.size();
    throw ToolError{kExitNoAnswer, (closed ? "nothing listens on " : "no target answered on ") + where +
                                       (named.size() == sweep.size() ? "" : " ports " + targetPortRange())};
  }
  return 0;
}

}  // namespace

const Command kDiscoverCommand = {
    "discover", "List the targets that answer a discovery request", [](CLI::App& app) -> Run {
      auto options = std::make_shared<DiscoverOptions>();
      app.add_option("hosts", options->hosts, "HOST (every port of the range) or HOST:PORT; default 127.0.0.1");
      app.add_flag("--broadcast", options->broadcast, "Allow broadcast addresses among the hosts");
      app.add_option("--wait", options->window, "How long to collect answers")
          ->check(cli::durationCheck())
          ->type_name("DURATION")
          ->capture_default_str();
      addCommonOptions(app, options->common);
      return [options] { return runDiscover(*options); };
    }};

}  // namespace remote
