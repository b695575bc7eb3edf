// tools/remote/command_options.h
//
// The options several subcommands share, declared once: --timeout and
// --retries, --json, the options that say which targets to follow (tail,
// forward), how records are printed (tail, replay), and durations
// as users type them. Numbers and durations are checked as CLI11 parses
// them (cli/option_checks.h), so a bad value is a usage error (exit 2)
// naming the option; durations stay text until the subcommand's Run reads
// them.
//
// Threads: single-threaded tool.
#pragma once

#include <chrono>
#include <string>

#include "client/session.h"
#include "follow/follow.h"
#include "model/record_filter.h"
#include "model/time_options.h"  // parseDuration(), parseSize(): every command reads them
#include "output/record_output.h"

namespace CLI {
class App;  // declared only: CLI11 adds seconds to every file that includes it
}

namespace remote {

// What every command that talks to targets reads from the shared options.
struct CommonOptions {
  RetryPolicy retry;
  bool json = false;
  bool color = false;  // from --color and whether stdout is a terminal
};

// The shared options as typed.
struct CommonFlags {
  std::string timeout = "500ms";
  int retries = 3;
  bool json = false;
  std::string color = "auto";

  // Throws ToolError (usage) for a bad or zero --timeout.
  CommonOptions read() const;
};

// --timeout, --retries and, `withJson`, --json.
void addCommonOptions(CLI::App& command, CommonFlags& flags, bool withJson = true);
// --json alone, for a command that talks to no target (replay).
void addJsonFlag(CLI::App& command, CommonFlags& flags);

// TARGET, HOST[:PORT], of a command about one target.
void addTargetArgument(CLI::App& command, std::string& target);

// The targets to follow (tail, forward), as typed.
struct FollowFlags {
  FollowOptions follow;  // everything but the durations
  std::string duration;
  std::string renew = "10s";
  std::string rediscover = "5s";
  std::string receiveBuffer;  // empty: FollowOptions' default

  // Throws ToolError (usage), naming `command`, when no target is named or
  // a duration is bad.
  FollowOptions read(const char* command) const;
};
void addFollowOptions(CLI::App& command, FollowFlags& flags);

// How tail and replay print, as typed.
struct OutputFlags {
  OutputOptions output;  // --count and --utc; json and color come from CommonFlags
  std::string timestamps = "short";
  FilterFlags filter;
};
// --timestamps short|iso and --utc: how receive times are printed (tail,
// replay, query).
void addTimeOptions(CLI::App& command, std::string& timestamps, bool& utc);
// --count, --timestamps, --utc, --color and the record filters (tail, replay).
void addOutputOptions(CLI::App& command, OutputFlags& output, CommonFlags& flags);
// The output options as typed, with json and color from the shared ones.
OutputOptions readOutput(const OutputFlags& typed, const CommonOptions& common);

}  // namespace remote
