// tools/remote/commands.h
//
// The subcommands of tarvin-remote and the options they take after parsing.
// main.cpp turns the command line into these structs; each run* function
// does one subcommand and returns the exit code (0 done, 1 no answer or peer
// error), throwing ToolError for failures that end it early.
//
// Threads: single-threaded tool.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "remote/follow.h"
#include "remote/record_output.h"
#include "remote/note.h"
#include "remote/session.h"
#include "remote/tool_error.h"
#include "remote/syslog_format.h"

namespace remote {

struct CommonOptions {
  RetryPolicy retry;
  bool json = false;
  bool color = false;  // decided by main from --color and isatty(stdout)
};

struct DiscoverOptions {
  std::vector<std::string> hosts;  // empty: 127.0.0.1
  bool broadcast = false;
  std::chrono::milliseconds window{1000};
};
int runDiscover(const CommonOptions& common, const DiscoverOptions& options);

struct TailOptions {
  FollowOptions follow;
  OutputOptions output;  // json and color as in CommonOptions
};
int runTail(const CommonOptions& common, const TailOptions& options);

struct ReplayOptions {
  std::string file;
  OutputOptions output;
};
int runReplay(const ReplayOptions& options);

struct ForwardOptions {
  FollowOptions follow;
  std::string to;  // udp://HOST[:PORT] or tcp://HOST[:PORT]
  int facility = syslog::kFacilityUser;
  std::size_t queueCapacity = 10'000;  // messages waiting for a TCP collector
  std::size_t resendWindow = 256;      // messages sent again after a reconnect
};
int runForward(const CommonOptions& common, const ForwardOptions& options);

int runComponents(const CommonOptions& common, const std::string& target);
int runLevels(const CommonOptions& common, const std::string& target, const std::string& component);

struct SetLevelOptions {
  std::string target;
  std::string component;
  std::string levels;  // as typed: 0x..., a,b or +a,-b
  std::optional<std::chrono::milliseconds> temporaryFor;
};
int runSetLevel(const CommonOptions& common, const SetLevelOptions& options);

// Shared by the subcommands: the level descriptions of one component, read
// with a GLVD. Throws ToolError when the target does not answer.
codec::LevelDescriptions fetchLevelDescriptions(Session& session, const Endpoint& target,
                                                const std::string& component);

}  // namespace remote
