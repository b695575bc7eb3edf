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
  std::string tailDuration, tailRenew = "10s";
  auto* tailCmd = app.add_subcommand("tail", "Register with a target and print its log records");
  tailCmd->add_option("target", tail.target, "HOST[:PORT]; without a port the first target that answers")
      ->required();
  tailCmd->add_option("--count", tail.count, "Stop after printing N records")->check(CLI::PositiveNumber);
  tailCmd->add_option("--duration", tailDuration, "Stop after this long (e.g. 30s)");
  tailCmd->add_option("--component", tail.components, "Show only this component (repeatable)");
  tailCmd->add_option("--min-level", tail.minLevel,
                      "Show only records at least this severe (level name or client level)");
  tailCmd->add_option("--renew", tailRenew, "Renew the registration this often (lease is 30s)")
      ->capture_default_str();
  tailCmd->add_option("--color", commonText.color, "Colour level names: auto, always, never")
      ->check(CLI::IsMember({"auto", "always", "never"}))
      ->capture_default_str();
  addCommon(tailCmd, commonText);

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
      "SPEC is a client mask (0xE0000000), a comma list of level names or client\n"
      "levels (error,warning,28), or changes to the current mask (+debug,-info).");
  setLevelCmd->add_option("target", setLevel.target, "HOST[:PORT]")->required();
  setLevelCmd->add_option("component", setLevel.component, "Component name")->required();
  setLevelCmd->add_option("spec", setLevel.spec, "Levels to enable (see below)");
  // "-debug" looks like an option to CLI11; unmatched arguments are kept
  // and taken as SPEC below, so it need not be written after "--".
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
      if (!tailDuration.empty()) tail.duration = parseDuration(tailDuration, "--duration");
      tail.renewEvery = parseDuration(tailRenew, "--renew");
      if (tail.renewEvery.count() == 0) throw ToolError{remote::kExitUsage, "--renew must be above 0"};
      return remote::runTail(common, tail);
    }
    if (*componentsCmd) return remote::runComponents(common, componentsTarget);
    if (*levelsCmd) return remote::runLevels(common, levelsTarget, levelsComponent);
    if (*setLevelCmd) {
      std::vector<std::string> extras = setLevelCmd->remaining();
      if (setLevel.spec.empty() && extras.size() == 1) {
        setLevel.spec = extras.front();
        extras.clear();
      }
      if (setLevel.spec.empty()) throw ToolError{remote::kExitUsage, "set-level: SPEC is required"};
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
