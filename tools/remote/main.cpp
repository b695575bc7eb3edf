// tools/remote/main.cpp
//
// tarvin-remote: the command line of the remote client. Parses arguments
// with CLI11 into the option structs of commands.h and runs one subcommand.
// Exit codes: 0 done, 1 no answer or a peer error, 2 usage.
//
// Threads: single-threaded tool.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <charconv>
#include <cmath>
#include <iostream>

#include "remote/commands.h"

namespace {

using remote::ToolError;

// "500ms", "2s", "1.5" (seconds), "1m".
std::chrono::milliseconds parseDuration(const std::string& text, const char* option) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(text.data(), end, value);
  const std::string unit(stop, end);
  double scale = -1;
  if (unit.empty() || unit == "s") scale = 1000;
  if (unit == "ms") scale = 1;
  if (unit == "m" || unit == "min") scale = 60'000;
  if (ec != std::errc() || scale < 0 || !(value >= 0) || !std::isfinite(value)) {
    throw ToolError{remote::kExitUsage, std::string(option) + ": invalid duration '" + text +
                                            "' (examples: 500ms, 2s, 1.5, 1m)"};
  }
  return std::chrono::milliseconds(std::llround(value * scale));
}

struct CommonText {
  std::string timeout = "500ms";
  int retries = 3;
  bool json = false;
  std::string color = "auto";
};

void addCommon(CLI::App* command, CommonText& common, bool withJson = true) {
  command->add_option("--timeout", common.timeout, "How long to wait for each answer")
      ->capture_default_str();
  command->add_option("--retries", common.retries, "Resends of an unanswered request")
      ->check(CLI::Range(0, 100))
      ->capture_default_str();
  if (withJson) command->add_flag("--json", common.json, "Print JSON, one object per line");
}

// The options of tail and forward that say which targets to follow.
struct FollowText {
  std::string duration;
  std::string renew = "10s";
  std::string rediscover = "5s";
};

void addFollow(CLI::App* command, remote::FollowOptions& follow, FollowText& text) {
  command->add_option("targets", follow.targets,
                      "HOST[:PORT] each; without a port the first target that answers on HOST");
  command->add_option("--discover", follow.discoverHosts,
                      "Follow every target on these hosts, and new ones as they appear");
  command->add_flag("--broadcast", follow.broadcast,
                    "Allow broadcast addresses among --discover hosts; alone, discover on 255.255.255.255");
  command->add_option("--rediscover", text.rediscover, "Look for new targets this often")
      ->capture_default_str();
  command->add_option("--renew", text.renew, "Renew each registration this often (lease is 30s)")
      ->capture_default_str();
  command->add_option("--duration", text.duration, "Stop after this long (e.g. 30s)");
  command->add_option("--pcap", follow.pcapPath,
                      "Also write every received datagram to this pcap file (see replay)");
}

void parseFollow(remote::FollowOptions& follow, const FollowText& text, const char* command) {
  if (follow.targets.empty() && !follow.discovering()) {
    throw ToolError{remote::kExitUsage, std::string(command) + ": name a TARGET, or use --discover or --broadcast"};
  }
  if (!text.duration.empty()) follow.duration = parseDuration(text.duration, "--duration");
  follow.renewEvery = parseDuration(text.renew, "--renew");
  follow.rediscoverEvery = parseDuration(text.rediscover, "--rediscover");
  if (follow.renewEvery.count() == 0) throw ToolError{remote::kExitUsage, "--renew must be above 0"};
  if (follow.rediscoverEvery.count() == 0) throw ToolError{remote::kExitUsage, "--rediscover must be above 0"};
}

void addOutput(CLI::App* command, remote::OutputOptions& output, CommonText& common) {
  command->add_option("--count", output.count, "Stop after printing N records")->check(CLI::PositiveNumber);
  command->add_option("--component", output.components, "Show only this component (repeatable)");
  command->add_option("--min-level", output.minLevel,
                      "Show only records at least this severe (level name or client level)");
  command->add_option("--color", common.color, "Colour level names: auto, always, never")
      ->check(CLI::IsMember({"auto", "always", "never"}))
      ->capture_default_str();
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Talks to tarvin remote log targets over UDP (ports 57008-57017).", "tarvin-remote"};
  app.require_subcommand(1);
  CommonText commonText;

  remote::DiscoverOptions discover;
  std::string discoverWindow = "1s";
  auto* discoverCmd = app.add_subcommand("discover", "List the targets that answer a discovery request");
  discoverCmd->add_option("hosts", discover.hosts, "Hosts to ask (default 127.0.0.1)");
  discoverCmd->add_flag("--broadcast", discover.broadcast, "Allow broadcast addresses among the hosts");
  discoverCmd->add_option("--wait", discoverWindow, "How long to collect answers")->capture_default_str();
  addCommon(discoverCmd, commonText);

  remote::TailOptions tail;
  FollowText tailText;
  auto* tailCmd = app.add_subcommand("tail", "Register with targets and print their log records");
  addFollow(tailCmd, tail.follow, tailText);
  addOutput(tailCmd, tail.output, commonText);
  addCommon(tailCmd, commonText);

  remote::ForwardOptions forward;
  FollowText forwardText;
  std::string facility = "user";
  auto* forwardCmd = app.add_subcommand("forward", "Send the log records of targets to a syslog collector");
  forwardCmd->footer(
      "Each record becomes one RFC 5424 message: severity from the client level\n"
      "(31 err, 30 warning, 29 info, 28 and below debug), MSGID the component,\n"
      "structured data [tarvin@32473 target uuid seq level ...]. TCP frames are\n"
      "octet-counted; a lost connection is retried, the last --resend messages\n"
      "are sent again after reconnecting.");
  addFollow(forwardCmd, forward.follow, forwardText);
  forwardCmd->add_option("--to", forward.to, "Collector: udp://HOST[:PORT] or tcp://HOST[:PORT] (port 514)")
      ->required();
  forwardCmd->add_option("--facility", facility, "Syslog facility: user, daemon, local0-local7 or 0-23")
      ->capture_default_str();
  forwardCmd->add_option("--queue", forward.queueCapacity, "Messages kept while a TCP collector is away")
      ->check(CLI::Range(1, 10'000'000))
      ->capture_default_str();
  forwardCmd->add_option("--resend", forward.resendWindow, "Messages sent again after a TCP reconnect")
      ->check(CLI::Range(0, 1'000'000))
      ->capture_default_str();
  addCommon(forwardCmd, commonText, /*withJson=*/false);

  remote::ReplayOptions replay;
  auto* replayCmd = app.add_subcommand("replay", "Print a capture of tail --pcap as tail printed it");
  replayCmd->add_option("file", replay.file, "pcap file (tail --pcap, or tcpdump of the targets' traffic)")
      ->required();
  addOutput(replayCmd, replay.output, commonText);
  replayCmd->add_flag("--json", commonText.json, "Print JSON, one object per line");

  std::string componentsTarget;
  auto* componentsCmd = app.add_subcommand("components", "List a target's components and enabled levels");
  componentsCmd->add_option("target", componentsTarget, "HOST[:PORT]")->required();
  addCommon(componentsCmd, commonText);

  std::string levelsTarget, levelsComponent;
  auto* levelsCmd = app.add_subcommand("levels", "Show the levels of one component");
  levelsCmd->add_option("target", levelsTarget, "HOST[:PORT]")->required();
  levelsCmd->add_option("component", levelsComponent, "Component name")->required();
  addCommon(levelsCmd, commonText);

  remote::SetLevelOptions setLevel;
  std::string setLevelFor;
  auto* setLevelCmd = app.add_subcommand("set-level", "Change the enabled levels of one component");
  setLevelCmd->footer(
      "LEVELS is a client mask (0xE0000000), a comma list of level names or client\n"
      "levels (error,warning,28), or changes to the current mask (+debug,-info).");
  setLevelCmd->add_option("target", setLevel.target, "HOST[:PORT]")->required();
  setLevelCmd->add_option("component", setLevel.component, "Component name")->required();
  setLevelCmd->add_option("levels", setLevel.levels, "Levels to enable (see below)");
  // "-debug" looks like an option to CLI11; unmatched arguments are kept
  // and taken as LEVELS below, so it need not be written after "--".
  setLevelCmd->allow_extras();
  setLevelCmd->add_option("--for", setLevelFor,
                          "Keep the change this long (e.g. 1m), then restore the old mask");
  addCommon(setLevelCmd, commonText, /*withJson=*/false);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "tarvin-remote: error: " << e.what() << "\nRun with --help for more information.\n";
    return remote::kExitUsage;
  }

  try {
    remote::CommonOptions common;
    common.retry.timeout = parseDuration(commonText.timeout, "--timeout");
    common.retry.retries = commonText.retries;
    common.json = commonText.json;
    common.color = commonText.color == "always" || (commonText.color == "auto" && ::isatty(STDOUT_FILENO));
    if (common.retry.timeout.count() == 0) throw ToolError{remote::kExitUsage, "--timeout must be above 0"};

    if (*discoverCmd) {
      discover.window = parseDuration(discoverWindow, "--wait");
      return remote::runDiscover(common, discover);
    }
    if (*tailCmd) {
      parseFollow(tail.follow, tailText, "tail");
      tail.output.json = common.json;
      tail.output.color = common.color;
      return remote::runTail(common, tail);
    }
    if (*forwardCmd) {
      parseFollow(forward.follow, forwardText, "forward");
      const auto code = remote::syslog::parseFacility(facility);
      if (!code) throw ToolError{remote::kExitUsage, "--facility: unknown facility '" + facility + "'"};
      forward.facility = *code;
      return remote::runForward(common, forward);
    }
    if (*replayCmd) {
      replay.output.json = common.json;
      replay.output.color = common.color;
      return remote::runReplay(replay);
    }
    if (*componentsCmd) return remote::runComponents(common, componentsTarget);
    if (*levelsCmd) return remote::runLevels(common, levelsTarget, levelsComponent);
    if (*setLevelCmd) {
      std::vector<std::string> extras = setLevelCmd->remaining();
      if (setLevel.levels.empty() && extras.size() == 1) {
        setLevel.levels = extras.front();
        extras.clear();
      }
      if (setLevel.levels.empty()) throw ToolError{remote::kExitUsage, "set-level: LEVELS is required"};
      if (!extras.empty()) throw ToolError{remote::kExitUsage, "set-level: unexpected argument '" + extras.front() + "'"};
      if (!setLevelFor.empty()) setLevel.temporaryFor = parseDuration(setLevelFor, "--for");
      return remote::runSetLevel(common, setLevel);
    }
  } catch (const ToolError& error) {
    std::cerr << "tarvin-remote: error: " << error.message << '\n';
    return error.exitCode;
  } catch (const std::exception& error) {
    std::cerr << "tarvin-remote: error: " << error.what() << '\n';
    return remote::kExitNoAnswer;
  }
  return remote::kExitUsage;
}
