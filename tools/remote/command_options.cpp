// tools/remote/command_options.cpp
//
// Shared options: how they appear in --help, and how their text becomes
// values.
//
// Threads: single-threaded tool.
#include "remote/command_options.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdint>
#include <limits>

#include "base/tool_error.h"
#include "cli/option_checks.h"

namespace remote {

CommonOptions CommonFlags::read() const {
  CommonOptions common;
  common.retry.timeout = parseDuration(timeout, "--timeout");
  common.retry.retries = retries;
  common.json = json;
  common.color = color == "always" || (color == "auto" && ::isatty(STDOUT_FILENO));
  return common;
}

void addCommonOptions(CLI::App& command, CommonFlags& flags, bool withJson) {
  command.add_option("--timeout", flags.timeout, "How long to wait for each answer")
      ->check(cli::durationCheck())
      ->type_name("DURATION")
      ->capture_default_str();
  command.add_option("--retries", flags.retries, "Resends of an unanswered request")
      ->check(cli::wholeNumberCheck(0, 100))
      ->type_name("N")
      ->capture_default_str();
  if (withJson) addJsonFlag(command, flags);
}

void addJsonFlag(CLI::App& command, CommonFlags& flags) {
  command.add_flag("--json", flags.json, "Print JSON, one object per line");
}

void addTargetArgument(CLI::App& command, std::string& target) {
  command.add_option("target", target, "HOST[:PORT]")->required();
}

FollowOptions FollowFlags::read(const char* command) const {
  FollowOptions out = follow;
  if (out.targets.empty() && !out.discovering()) {
    throw ToolError{ErrorKind::kBadInput,
                    std::string(command) + ": name a TARGET, or use --discover or --broadcast"};
  }
  if (!duration.empty()) out.duration = parseDuration(duration, "--duration");
  out.renewEvery = parseDuration(renew, "--renew");
  out.rediscoverEvery = parseDuration(rediscover, "--rediscover");
  if (!receiveBuffer.empty()) {
    out.receiveBuffer = parseSize(receiveBuffer, "--rcvbuf");
    out.receiveBufferGiven = true;
  }
  return out;
}

void addFollowOptions(CLI::App& command, FollowFlags& flags) {
  FollowOptions& follow = flags.follow;
  command.add_option("targets", follow.targets,
                     "HOST[:PORT] each; without a port the first target that answers on HOST");
  command.add_option("--discover", follow.discoverHosts,
                     "Follow every target on these hosts, and new ones as they appear");
  command.add_flag(
      "--broadcast", follow.broadcast,
      "Allow broadcast addresses among --discover hosts; alone, discover on 255.255.255.255");
  command.add_option("--rediscover", flags.rediscover, "Look for new targets this often")
      ->check(cli::durationCheck())
      ->type_name("DURATION")
      ->capture_default_str();
  command.add_option("--renew", flags.renew, "Renew each registration this often (lease is 30s)")
      ->check(cli::durationCheck())
      ->type_name("DURATION")
      ->capture_default_str();
  command.add_option("--duration", flags.duration, "Stop after this long (e.g. 30s, 1h30m)")
      ->check(cli::durationCheck())
      ->type_name("DURATION");
  command.add_option("--rcvbuf", flags.receiveBuffer,
                     "Receive buffer for bursts, one per target, default 32M (beyond "
                     "net.core.rmem_max only as root; "
                     "the size granted is said at the end)");
  command.add_option(
      "--pcap", follow.pcapPath,
      "Also write every received datagram to this pcap file (see replay); - writes it to "
      "standard output instead of the records");
}

void addTimeOptions(CLI::App& command, std::string& timestamps, bool& utc) {
  command
      .add_option("--timestamps", timestamps,
                  "Receive times: short (time of day, with the date when not today) or iso (RFC "
                  "3339)")
      ->check(CLI::IsMember({"short", "iso"}))
      ->capture_default_str();
  command.add_flag("--utc", utc, "Show times in UTC");
}

void addOutputOptions(CLI::App& command, OutputFlags& output, CommonFlags& flags) {
  command.add_option("--count", output.output.count, "Stop after printing N records")
      ->check(cli::wholeNumberCheck(1, std::numeric_limits<long>::max()))
      ->type_name("N");
  addFilterOptions(command, output.filter);
  addTimeOptions(command, output.timestamps, output.output.utc);
  command.add_option("--color", flags.color, "Colour level names and targets: auto, always, never")
      ->check(CLI::IsMember({"auto", "always", "never"}))
      ->capture_default_str();
}

OutputOptions readOutput(const OutputFlags& typed, const CommonOptions& common) {
  OutputOptions output = typed.output;
  output.isoTimes = typed.timestamps == "iso";
  output.json = common.json;
  output.color = common.color;
  return output;
}

}  // namespace remote
